#include "model/QNXMLText.h"

#include "model/QNXMLElement.h"
#include "util/QNStrings.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QXmlStreamReader>

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// ---- names and characters ----

// XML name characters without the colon, which separates prefix and local name.
bool isNameStartCharacter(char32_t c) {
    return (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') || (c >= 0xC0 && c <= 0xD6) ||
           (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
           (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
           (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool isNameCharacter(char32_t c) {
    return isNameStartCharacter(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// Characters an XML 1.0 document can carry, literally or as a reference.
bool isXMLCharacter(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// Walks a text by code point; a lone surrogate comes out as itself (and so fails isXMLCharacter).
template <typename Visit> void forEachCodePoint(const QString& text, Visit visit) {
    const qsizetype length = text.size();
    for (qsizetype i = 0; i < length; ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < length && text.at(i + 1).isLowSurrogate()) {
            visit(QChar::surrogateToUcs4(c, text.at(i + 1)));
            ++i;
        } else {
            visit(char32_t(c.unicode()));
        }
    }
}

// A qualified name (prefix:local or local), the form the stream reader accepts even without namespace processing.
bool isXMLName(const QString& name) {
    const QStringList parts = name.split(QLatin1Char(':'));
    if (parts.size() > 2) {
        return false;
    }
    for (const QString& part : parts) {
        if (part.isEmpty()) {
            return false;
        }
        bool first = true;
        bool valid = true;
        forEachCodePoint(part, [&](char32_t c) {
            valid = valid && (first ? isNameStartCharacter(c) : isNameCharacter(c));
            first = false;
        });
        if (!valid) {
            return false;
        }
    }
    return true;
}

// ---- writing ----

void appendEscaped(QString& out, const QString& text, bool attribute) {
    forEachCodePoint(text, [&](char32_t c) {
        switch (c) {
        case '&':
            out += QLatin1String("&amp;");
            return;
        case '<':
            out += QLatin1String("&lt;");
            return;
        case '>':
            out += QLatin1String("&gt;");
            return;
        case '\r':
            // Parsers turn a literal CR into LF; the reference survives.
            out += QLatin1String("&#13;");
            return;
        case '"':
            out += attribute ? QLatin1String("&quot;") : QLatin1String("\"");
            return;
        case '\t':
        case '\n':
            // Attribute values are normalised to spaces unless written as references.
            if (attribute) {
                out += c == '\t' ? QLatin1String("&#9;") : QLatin1String("&#10;");
                return;
            }
            break;
        default:
            break;
        }
        if (!isXMLCharacter(c)) {
            c = 0xFFFD;
        }
        if (QChar::requiresSurrogates(c)) {
            out += QChar(QChar::highSurrogate(c));
            out += QChar(QChar::lowSurrogate(c));
        } else {
            out += QChar(char16_t(c));
        }
    });
}

bool appendElement(QString& out, const QNXMLElement& element, int depth) {
    if (depth > QNXMLText::maximumDepth || !isXMLName(element.name())) {
        return false;
    }
    const QString indent(2 * (depth - 1), QLatin1Char(' '));
    out += indent;
    out += QLatin1Char('<');
    out += element.name();
    if (const auto& attributes = element.attributes()) {
        for (auto it = attributes->constBegin(); it != attributes->constEnd(); ++it) {
            if (!isXMLName(it.key())) {
                return false;
            }
            out += QLatin1Char(' ');
            out += it.key();
            out += QLatin1String("=\"");
            appendEscaped(out, it.value(), true);
            out += QLatin1Char('"');
        }
    }

    bool hasChildren = false;
    if (const auto& elements = element.elements()) {
        for (const auto& child : *elements) {
            if (!child) {
                continue;
            }
            if (!hasChildren) {
                out += QLatin1String(">\n");
                hasChildren = true;
            }
            if (!appendElement(out, *child, depth + 1)) {
                return false;
            }
        }
    }
    if (hasChildren) {
        out += indent;
        out += QLatin1String("</");
    } else if (!element.data().isEmpty()) {
        out += QLatin1Char('>');
        appendEscaped(out, element.data(), false);
        out += QLatin1String("</");
    } else {
        out += QLatin1String("/>\n");
        return true;
    }
    out += element.name();
    out += QLatin1String(">\n");
    return true;
}

// ---- reading ----

bool hasTextAt(QStringView data, qsizetype at, QLatin1StringView text) {
    return data.sliced(at).startsWith(text);
}

qsizetype indexOfText(QStringView data, qsizetype from, QLatin1StringView text) {
    const qsizetype index = data.indexOf(text, from);
    return index < 0 ? data.size() : index;
}

// The first start tag that takes the document past an attribute limit. The stream reader compares each attribute
// of a tag with all the others before it hands the tag over, so one tag with a million attributes would keep it
// busy for hours, and many tags just under the per-tag limit add up the same way; this linear look ahead refuses
// such a document first. Counting "=" outside quotes counts attributes; comments, CDATA sections and processing
// instructions are stepped over.
struct CrowdedTag {
    qsizetype index = -1;
    bool documentWide = false;
};

CrowdedTag findCrowdedTag(QStringView data, int maximum, qint64 maximumWork) {
    const qsizetype size = data.size();
    qint64 work = 0;
    qsizetype i = 0;
    while (i < size) {
        if (data[i] != u'<') {
            ++i;
        } else if (hasTextAt(data, i, "<!--"_L1)) {
            i = indexOfText(data, i + 4, "-->"_L1) + 3;
        } else if (hasTextAt(data, i, "<![CDATA["_L1)) {
            i = indexOfText(data, i + 9, "]]>"_L1) + 3;
        } else if (hasTextAt(data, i, "<?"_L1)) {
            i = indexOfText(data, i + 2, "?>"_L1) + 2;
        } else if (hasTextAt(data, i, "<!"_L1)) {
            i += 2;
        } else {
            const qsizetype start = i;
            int count = 0;
            char16_t quote = 0;
            // A "<" cannot stand inside a tag, not even quoted, so a malformed tag ends there.
            for (++i; i < size && data[i] != u'<'; ++i) {
                const char16_t c = data[i].unicode();
                if (quote != 0) {
                    if (c == quote) {
                        quote = 0;
                    }
                } else if (c == u'"' || c == u'\'') {
                    quote = c;
                } else if (c == u'>') {
                    ++i;
                    break;
                } else if (c == u'=') {
                    if (++count > maximum) {
                        return {start, false};
                    }
                    // The n-th attribute of a tag is compared with the n - 1 before it.
                    work += count;
                    if (work > maximumWork) {
                        return {start, true};
                    }
                }
            }
        }
    }
    return {};
}

QNXMLText::Result failure(const QString& errorString, qint64 lineNumber = 0, qint64 columnNumber = 0) {
    QNXMLText::Result result;
    result.errorString = errorString;
    result.lineNumber = lineNumber;
    result.columnNumber = columnNumber;
    return result;
}

std::optional<QNXMLText::Result> crowdedTagFailure(QStringView text) {
    const CrowdedTag tag =
        findCrowdedTag(text, QNXMLText::maximumAttributeCount, QNXMLText::maximumAttributeComparisons);
    if (tag.index < 0) {
        return std::nullopt;
    }
    // Line and column (both from 1) as the stream reader counts them.
    const QStringView before = text.first(tag.index);
    const qint64 line = before.count(u'\n') + 1;
    const qint64 column = tag.index - (before.lastIndexOf(u'\n') + 1) + 1;
    const QString error =
        tag.documentWide
            ? QNLocalizedString(QStringLiteral("xmlErrorTooManyAttributesInDocument"))
            : QNLocalizedString(QStringLiteral("xmlErrorTooManyAttributes")).arg(QNXMLText::maximumAttributeCount);
    return failure(error, line, column);
}

// ---- encodings ----

// The value of the encoding declaration, empty when there is none.
QString declaredEncoding(QStringView text) {
    if (!text.startsWith("<?xml"_L1) || text.size() < 6 || !QChar(text[5]).isSpace()) {
        return QString();
    }
    const qsizetype end = text.indexOf("?>"_L1);
    if (end < 0) {
        return QString();
    }
    static const QRegularExpression encoding(QStringLiteral("\\sencoding\\s*=\\s*([\"'])([^\"']*)\\1"));
    const QRegularExpressionMatch match = encoding.match(text.first(end));
    return match.hasMatch() ? match.captured(2) : QString();
}

bool isOneOf(const QString& name, std::initializer_list<const char*> names) {
    return std::any_of(names.begin(), names.end(), [&](const char* known) {
        return name.compare(QLatin1StringView(known), Qt::CaseInsensitive) == 0;
    });
}

// The text of the document, decoded once here and handed to the stream reader as it is, so the reader never
// switches to a decoder of its own and every limit is checked on what it reads. The encoding comes from a byte
// order mark or the UTF-16/32 form of the first "<", else UTF-8; the declaration may confirm it or, for a document
// without a mark, ask for ISO-8859-1 (or its subset US-ASCII). Any other encoding is refused.
std::optional<QString> decodedText(const QByteArray& data, QNXMLText::Result* error) {
    using Encoding = QStringConverter::Encoding;
    const std::optional<Encoding> detected = QStringConverter::encodingForData(data, u'<');
    Encoding encoding = detected.value_or(Encoding::Utf8);
    QStringDecoder decoder(encoding);
    QString text = decoder.decode(data);
    const QString declared = declaredEncoding(text);
    bool accepted = declared.isEmpty();
    if (!accepted && (encoding == Encoding::Utf8)) {
        accepted = isOneOf(declared, {"UTF-8", "UTF8", "US-ASCII", "ASCII"});
        if (!accepted && !detected &&
            isOneOf(declared, {"ISO-8859-1", "ISO8859-1", "ISO_8859-1", "Latin1", "Latin-1"})) {
            accepted = true;
            encoding = Encoding::Latin1;
            decoder = QStringDecoder(encoding);
            text = decoder.decode(data);
        }
    } else if (!accepted) {
        const bool wide32 =
            encoding == Encoding::Utf32 || encoding == Encoding::Utf32LE || encoding == Encoding::Utf32BE;
        accepted = declared.startsWith(wide32 ? "UTF-32"_L1 : "UTF-16"_L1, Qt::CaseInsensitive);
    }
    if (!accepted) {
        *error = failure(QNLocalizedString(QStringLiteral("xmlErrorEncoding")).arg(declared));
        return std::nullopt;
    }
    if (decoder.hasError()) {
        *error = failure(QNLocalizedString(QStringLiteral("xmlErrorEncodedContent"))
                             .arg(QString::fromLatin1(QStringConverter::nameForEncoding(encoding))));
        return std::nullopt;
    }
    return text;
}

QNXMLText::Result failure(const QString& errorString, const QXmlStreamReader& reader) {
    // The reader counts columns from 0 before the first character of a line.
    return failure(errorString, qMax<qint64>(1, reader.lineNumber()), qMax<qint64>(1, reader.columnNumber()));
}

// Element and attribute names repeat endlessly in a document; sharing one copy of each keeps a large tree small.
class NameTable {
public:
    QString intern(QStringView name) {
        QString key = name.toString();
        const auto it = _names.constFind(key);
        if (it != _names.constEnd()) {
            return *it;
        }
        if (_names.size() < capacity) {
            _names.insert(key, key);
        }
        return key;
    }

private:
    static constexpr qsizetype capacity = 1024;
    QHash<QString, QString> _names;
};

struct OpenElement {
    std::shared_ptr<QNXMLElement> element;
    QString text;
    bool hasChildren = false;
};

} // namespace

QString QNXMLText::Result::message() const {
    if (ok()) {
        return QString();
    }
    if (lineNumber <= 0) {
        return errorString;
    }
    return QNLocalizedString(QStringLiteral("xmlErrorPosition"))
        .arg(QString::number(lineNumber), QString::number(columnNumber), errorString);
}

QByteArray QNXMLText::dataWithXMLElement(const QNXMLElement& root) {
    QString text = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    if (!appendElement(text, root, 1)) {
        return QByteArray();
    }
    return text.toUtf8();
}

QNXMLText::Result QNXMLText::xmlElementWithData(const QByteArray& data) {
    if (data.size() > maximumSize) {
        return failure(QNLocalizedString(QStringLiteral("xmlErrorTooLarge")).arg(maximumSize));
    }

    Result encodingError;
    const std::optional<QString> text = decodedText(data, &encodingError);
    if (!text) {
        return encodingError;
    }
    if (auto crowded = crowdedTagFailure(*text)) {
        return *crowded;
    }

    // Read from the text, the reader takes it as it is and ignores the declared encoding.
    QXmlStreamReader reader(*text);
    // Names are kept as written; a prefix is part of the name and xmlns declarations are plain attributes.
    reader.setNamespaceProcessing(false);

    NameTable names;
    std::vector<OpenElement> open;
    std::shared_ptr<QNXMLElement> root;
    qint64 elementCount = 0;

    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            // Refusing the declaration refuses every entity definition with it: nothing is expanded or fetched.
            return failure(QNLocalizedString(QStringLiteral("xmlErrorDocumentType")), reader);
        case QXmlStreamReader::EntityReference:
            return failure(QNLocalizedString(QStringLiteral("xmlErrorEntityReference")), reader);
        case QXmlStreamReader::StartElement: {
            if (open.size() >= std::size_t(maximumDepth)) {
                return failure(QNLocalizedString(QStringLiteral("xmlErrorTooDeep")).arg(maximumDepth), reader);
            }
            if (++elementCount > maximumElementCount) {
                return failure(QNLocalizedString(QStringLiteral("xmlErrorTooManyElements")).arg(maximumElementCount),
                               reader);
            }
            const QString name = names.intern(reader.qualifiedName());
            if (!isXMLName(name)) {
                return failure(QNLocalizedString(QStringLiteral("xmlErrorInvalidName")).arg(name), reader);
            }
            auto element = QNXMLElement::xmlElementWithName(name);
            const QXmlStreamAttributes attributes = reader.attributes();
            if (!attributes.isEmpty()) {
                QNXMLElement::Attributes table;
                for (const auto& attribute : attributes) {
                    // The stream reader lets some malformed attribute names through; the writer would refuse them.
                    const QString attributeName = names.intern(attribute.qualifiedName());
                    if (!isXMLName(attributeName)) {
                        return failure(QNLocalizedString(QStringLiteral("xmlErrorInvalidName")).arg(attributeName),
                                       reader);
                    }
                    table.insert(attributeName, attribute.value().toString());
                }
                element->setAttributes(table);
            }
            if (open.empty()) {
                root = element;
            } else {
                OpenElement& parent = open.back();
                // Text around child elements is layout, not data.
                parent.hasChildren = true;
                parent.text.clear();
                parent.element->appendElement(element);
            }
            open.push_back({element, QString(), false});
            break;
        }
        case QXmlStreamReader::Characters:
            if (!open.empty() && !open.back().hasChildren) {
                open.back().text += reader.text();
            }
            break;
        case QXmlStreamReader::EndElement:
            if (!open.empty()) {
                OpenElement& closing = open.back();
                if (!closing.hasChildren) {
                    closing.element->setData(closing.text.isNull() ? QStringLiteral("") : closing.text);
                }
                open.pop_back();
            }
            break;
        default:
            // Comments, processing instructions and the declaration carry nothing for the tree.
            break;
        }
    }
    if (reader.hasError()) {
        return failure(reader.errorString(), reader);
    }
    if (!root) {
        return failure(QNLocalizedString(QStringLiteral("xmlErrorNoElement")), reader);
    }
    Result result;
    result.element = root;
    return result;
}

QNXMLText::Result QNXMLText::xmlElementWithContentsOfFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return failure(QNLocalizedString(QStringLiteral("xmlErrorUnreadable")).arg(file.errorString()));
    }
    // Pipes report no size, so the limit is enforced on what is actually read.
    if (file.size() > maximumSize) {
        return failure(QNLocalizedString(QStringLiteral("xmlErrorTooLarge")).arg(maximumSize));
    }
    QByteArray data;
    while (data.size() <= maximumSize) {
        const QByteArray chunk = file.read(maximumSize + 1 - data.size());
        if (chunk.isEmpty()) {
            break;
        }
        data += chunk;
    }
    if (file.error() != QFileDevice::NoError) {
        return failure(QNLocalizedString(QStringLiteral("xmlErrorUnreadable")).arg(file.errorString()));
    }
    return xmlElementWithData(data);
}
