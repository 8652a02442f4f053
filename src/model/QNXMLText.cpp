#include "model/QNXMLText.h"

#include "model/QNXMLElement.h"
#include "util/QNStrings.h"

#include <QFile>
#include <QHash>
#include <QStringDecoder>
#include <QXmlStreamReader>

#include <optional>
#include <utility>
#include <vector>

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

template <typename Unit> bool hasTextAt(const Unit* data, qsizetype size, qsizetype at, const char* text) {
    for (qsizetype k = 0; text[k] != 0; ++k) {
        if (at + k >= size || data[at + k] != Unit(text[k])) {
            return false;
        }
    }
    return true;
}

template <typename Unit> qsizetype indexOfText(const Unit* data, qsizetype size, qsizetype from, const char* text) {
    for (qsizetype i = from; i < size; ++i) {
        if (hasTextAt(data, size, i, text)) {
            return i;
        }
    }
    return size;
}

// Index of the first start tag with more than maximum attributes, or -1. The stream reader compares each attribute
// of a tag with all the others before it hands the tag over, so one tag with a million attributes would keep it
// busy for hours; this linear look ahead refuses such a tag first. Counting "=" outside quotes counts attributes;
// comments, CDATA sections and processing instructions are stepped over.
template <typename Unit> qsizetype indexOfCrowdedTag(const Unit* data, qsizetype size, int maximum) {
    qsizetype i = 0;
    while (i < size) {
        if (data[i] != Unit('<')) {
            ++i;
        } else if (hasTextAt(data, size, i, "<!--")) {
            i = indexOfText(data, size, i + 4, "-->") + 3;
        } else if (hasTextAt(data, size, i, "<![CDATA[")) {
            i = indexOfText(data, size, i + 9, "]]>") + 3;
        } else if (hasTextAt(data, size, i, "<?")) {
            i = indexOfText(data, size, i + 2, "?>") + 2;
        } else if (hasTextAt(data, size, i, "<!")) {
            i += 2;
        } else {
            const qsizetype start = i;
            int count = 0;
            Unit quote = 0;
            // A "<" cannot stand inside a tag, not even quoted, so a malformed tag ends there.
            for (++i; i < size && data[i] != Unit('<'); ++i) {
                const Unit c = data[i];
                if (quote != 0) {
                    if (c == quote) {
                        quote = 0;
                    }
                } else if (c == Unit('"') || c == Unit('\'')) {
                    quote = c;
                } else if (c == Unit('>')) {
                    ++i;
                    break;
                } else if (c == Unit('=') && ++count > maximum) {
                    return start;
                }
            }
        }
    }
    return -1;
}

// Line and column (both from 1) of a position, for the look ahead's error; UTF-8 continuation bytes take no column.
template <typename Unit> std::pair<qint64, qint64> positionOf(const Unit* data, qsizetype index) {
    qint64 line = 1;
    qint64 column = 1;
    for (qsizetype i = 0; i < index; ++i) {
        if (data[i] == Unit('\n')) {
            ++line;
            column = 1;
        } else if (sizeof(Unit) > 1 || (quint8(data[i]) & 0xC0) != 0x80) {
            ++column;
        }
    }
    return {line, column};
}

QNXMLText::Result failure(const QString& errorString, qint64 lineNumber = 0, qint64 columnNumber = 0) {
    QNXMLText::Result result;
    result.errorString = errorString;
    result.lineNumber = lineNumber;
    result.columnNumber = columnNumber;
    return result;
}

template <typename Unit> std::optional<QNXMLText::Result> crowdedTagFailure(const Unit* data, qsizetype size) {
    const qsizetype index = indexOfCrowdedTag(data, size, QNXMLText::maximumAttributeCount);
    if (index < 0) {
        return std::nullopt;
    }
    const auto [line, column] = positionOf(data, index);
    return failure(QNLocalizedString(QStringLiteral("xmlErrorTooManyAttributes")).arg(QNXMLText::maximumAttributeCount),
                   line, column);
}

// The look ahead works on characters: bytes for UTF-8 and the other ASCII-compatible encodings, UTF-16 otherwise.
std::optional<QNXMLText::Result> crowdedTagFailure(const QByteArray& data) {
    const auto encoding = QStringConverter::encodingForData(data, u'<');
    if (encoding && *encoding != QStringConverter::Utf8 && *encoding != QStringConverter::Latin1) {
        QStringDecoder decoder(*encoding);
        const QString text = decoder.decode(data);
        return crowdedTagFailure(text.utf16(), text.size());
    }
    return crowdedTagFailure(data.constData(), data.size());
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

    if (auto crowded = crowdedTagFailure(data)) {
        return *crowded;
    }

    QXmlStreamReader reader(data);
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
