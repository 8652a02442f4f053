#include "platform/QNPlistXMLReader.h"

#include "platform/QNPlistXMLValues.h"

#include <QByteArrayView>
#include <QVariantList>
#include <QVariantMap>

#include <charconv>
#include <cstring>
#include <vector>

namespace {

using QNPlistXMLValues::isSpace;
using QNPlistXMLValues::trimmed;

enum class Element { Plist, Dict, Array, Key, String, Integer, Real, True, False, Data, Date, Unknown };

Element elementNamed(QByteArrayView name) {
    static const std::pair<const char*, Element> names[] = {
        {"plist", Element::Plist},   {"dict", Element::Dict},       {"array", Element::Array}, {"key", Element::Key},
        {"string", Element::String}, {"integer", Element::Integer}, {"real", Element::Real},   {"true", Element::True},
        {"false", Element::False},   {"data", Element::Data},       {"date", Element::Date},
    };
    for (const auto& [candidate, element] : names) {
        if (name == candidate) {
            return element;
        }
    }
    return Element::Unknown;
}

void appendUtf8(QByteArray& text, char32_t c) {
    const char32_t one[] = {c};
    text.append(QString::fromUcs4(one, 1).toUtf8());
}

class Reader {
public:
    Reader(const QByteArray& data, int maximumDepth, qint64 maximumValueCount)
        : _begin(data.constData())
        , _position(data.constData())
        , _end(data.constData() + data.size())
        , _maximumDepth(maximumDepth)
        , _maximumValueCount(maximumValueCount) {}

    std::optional<QVariant> read(QString* error) {
        if (!checkCharacters() || !readDocument()) {
            if (error) {
                *error = _problem;
            }
            return std::nullopt;
        }
        return std::move(_root);
    }

private:
    // A dictionary, an array or the <plist> element, while its contents are read.
    struct Frame {
        Element element;
        QVariantList list;
        QVariantMap map;
        QString key;
        bool hasKey = false;
        std::optional<QVariant> value; // of <plist>
    };

    struct Tag {
        QByteArrayView name;
        bool empty = false;
    };

    bool fail(const QString& what) {
        const qsizetype line = QByteArrayView(_begin, _position - _begin).count('\n') + 1;
        _problem = QStringLiteral("the data is not a well-formed XML property list: %1 (line %2)").arg(what).arg(line);
        return false;
    }
    bool failLimit(const QString& what) {
        const qsizetype line = QByteArrayView(_begin, _position - _begin).count('\n') + 1;
        _problem = QStringLiteral("%1 (line %2)").arg(what).arg(line);
        return false;
    }

    qsizetype left() const { return _end - _position; }
    bool startsWith(const char* text) const { return QByteArrayView(_position, left()).startsWith(text); }
    void skipSpace() {
        while (_position < _end && isSpace(*_position)) {
            ++_position;
        }
    }
    // Moves past the next occurrence of marker; false when there is none.
    bool skipPast(const char* marker) {
        const qsizetype at = QByteArrayView(_position, left()).indexOf(marker);
        if (at < 0) {
            return false;
        }
        _position += at + qsizetype(std::strlen(marker));
        return true;
    }

    // Control characters other than tab and line ends, NUL among them, have no place in XML.
    bool checkCharacters() {
        for (const char* at = _begin; at < _end; ++at) {
            if (uchar(*at) < 0x20 && !isSpace(*at)) {
                _position = at;
                return fail(QStringLiteral("it holds the control character 0x%1")
                                .arg(int(uchar(*at)), 2, 16, QLatin1Char('0')));
            }
        }
        return true;
    }

    bool readDocument() {
        if (startsWith("\xEF\xBB\xBF")) {
            _position += 3;
        }
        for (;;) {
            skipSpace();
            if (_position == _end) {
                break;
            }
            if (*_position != '<') {
                return fail(QStringLiteral("text outside of an element"));
            }
            if (!readMarkup()) {
                return false;
            }
        }
        if (!_frames.empty()) {
            return fail(QStringLiteral("the document ends inside <%1>").arg(nameOf(_frames.back().element)));
        }
        if (!_root) {
            return fail(QStringLiteral("the document holds no value"));
        }
        return true;
    }

    bool readMarkup() {
        if (startsWith("<?")) {
            return skipPast("?>") || fail(QStringLiteral("a processing instruction is not closed"));
        }
        if (startsWith("<!--")) {
            return skipPast("-->") || fail(QStringLiteral("a comment is not closed"));
        }
        if (startsWith("<!DOCTYPE")) {
            return skipDocumentType();
        }
        if (startsWith("</")) {
            return closeContainer();
        }
        if (startsWith("<!")) {
            return fail(QStringLiteral("markup that is not an element"));
        }
        Tag tag;
        return readTag(&tag) && openElement(tag);
    }

    bool skipDocumentType() {
        if (!_frames.empty() || _root) {
            return fail(QStringLiteral("a document type inside the document"));
        }
        // Up to the first '>' outside quotes and outside an internal subset in brackets.
        char quote = 0;
        bool subset = false;
        for (++_position; _position < _end; ++_position) {
            const char c = *_position;
            if (quote) {
                quote = c == quote ? 0 : quote;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[' || c == ']') {
                subset = c == '[';
            } else if (c == '>' && !subset) {
                ++_position;
                return true;
            }
        }
        return fail(QStringLiteral("the document type is not closed"));
    }

    // A start tag from its '<' to past its '>': the name, then attributes whose quoted values may hold
    // anything, '>' and "/>" included.
    bool readTag(Tag* tag) {
        const char* nameStart = ++_position;
        while (_position < _end && !isSpace(*_position) && *_position != '/' && *_position != '>') {
            ++_position;
        }
        tag->name = QByteArrayView(nameStart, _position - nameStart);
        if (tag->name.isEmpty()) {
            return fail(QStringLiteral("a tag without a name"));
        }
        for (;;) {
            skipSpace();
            if (_position == _end) {
                return fail(QStringLiteral("the tag <%1> is not closed").arg(QString::fromUtf8(tag->name)));
            }
            if (*_position == '>' || startsWith("/>")) {
                tag->empty = *_position == '/';
                _position += tag->empty ? 2 : 1;
                return true;
            }
            if (!skipAttribute()) {
                return fail(QStringLiteral("a malformed attribute in <%1>").arg(QString::fromUtf8(tag->name)));
            }
        }
    }

    bool skipAttribute() {
        const char* nameStart = _position;
        while (_position < _end && !isSpace(*_position) && *_position != '=' && *_position != '>' &&
               *_position != '/') {
            ++_position;
        }
        if (_position == nameStart) {
            return false;
        }
        skipSpace();
        if (_position == _end || *_position != '=') {
            return false;
        }
        ++_position;
        skipSpace();
        if (_position == _end || (*_position != '"' && *_position != '\'')) {
            return false;
        }
        const char quote[] = {*_position++, 0};
        return skipPast(quote);
    }

    static QString nameOf(Element element) {
        switch (element) {
        case Element::Plist:
            return QStringLiteral("plist");
        case Element::Dict:
            return QStringLiteral("dict");
        default:
            return QStringLiteral("array");
        }
    }

    // Where the next value would go can take one, and there is room for one more.
    bool acceptValue() {
        if (_frames.empty() && _root) {
            return fail(QStringLiteral("content after the end of the property list"));
        }
        if (!_frames.empty()) {
            const Frame& frame = _frames.back();
            if (frame.element == Element::Plist && frame.value) {
                return fail(QStringLiteral("<plist> holds more than one value"));
            }
            if (frame.element == Element::Dict && !frame.hasKey) {
                return fail(QStringLiteral("a value in a dictionary has no key"));
            }
        }
        return countValue();
    }

    bool countValue() {
        if (++_values > _maximumValueCount) {
            return failLimit(QStringLiteral("the property list holds more than %1 values").arg(_maximumValueCount));
        }
        return true;
    }

    void addValue(QVariant value) {
        if (_frames.empty()) {
            _root = std::move(value);
            return;
        }
        Frame& frame = _frames.back();
        switch (frame.element) {
        case Element::Plist:
            frame.value = std::move(value);
            break;
        case Element::Dict:
            frame.map.insert(frame.key, std::move(value));
            frame.hasKey = false;
            break;
        default:
            frame.list.append(std::move(value));
            break;
        }
    }

    bool openElement(const Tag& tag) {
        const Element element = elementNamed(tag.name);
        switch (element) {
        case Element::Plist:
            if (!_frames.empty() || _root) {
                return fail(QStringLiteral("<plist> inside the document"));
            }
            if (tag.empty) {
                return fail(QStringLiteral("<plist> is empty"));
            }
            _frames.push_back(Frame{Element::Plist, {}, {}, {}, false, {}});
            return true;
        case Element::Dict:
        case Element::Array:
            return openContainer(element, tag.empty);
        case Element::Key:
            return readKey(tag);
        case Element::Unknown:
            return fail(QStringLiteral("an unknown element <%1>").arg(QString::fromUtf8(tag.name)));
        default:
            return acceptValue() && readLeaf(element, tag);
        }
    }

    bool openContainer(Element element, bool empty) {
        if (!acceptValue()) {
            return false;
        }
        if (_containers >= _maximumDepth) {
            return failLimit(QStringLiteral("values are nested more than %1 levels deep").arg(_maximumDepth));
        }
        if (empty) {
            addValue(element == Element::Dict ? QVariant(QVariantMap()) : QVariant(QVariantList()));
            return true;
        }
        ++_containers;
        _frames.push_back(Frame{element, {}, {}, {}, false, {}});
        return true;
    }

    bool closeContainer() {
        const char* nameStart = _position + 2;
        _position = nameStart;
        while (_position < _end && !isSpace(*_position) && *_position != '>') {
            ++_position;
        }
        const QByteArrayView name(nameStart, _position - nameStart);
        skipSpace();
        if (_position == _end || *_position != '>') {
            return fail(QStringLiteral("the end tag </%1> is not closed").arg(QString::fromUtf8(name)));
        }
        ++_position;
        if (_frames.empty() || elementNamed(name) != _frames.back().element) {
            return fail(QStringLiteral("an unexpected end tag </%1>").arg(QString::fromUtf8(name)));
        }
        Frame frame = std::move(_frames.back());
        _frames.pop_back();
        switch (frame.element) {
        case Element::Plist:
            if (!frame.value) {
                return fail(QStringLiteral("<plist> is empty"));
            }
            _root = std::move(frame.value);
            return true;
        case Element::Dict:
            if (frame.hasKey) {
                return fail(QStringLiteral("the key \"%1\" has no value").arg(frame.key));
            }
            --_containers;
            addValue(QVariant(frame.map));
            return true;
        default:
            --_containers;
            addValue(QVariant(frame.list));
            return true;
        }
    }

    bool readKey(const Tag& tag) {
        if (_frames.empty() || _frames.back().element != Element::Dict || _frames.back().hasKey) {
            return fail(QStringLiteral("a key outside of a dictionary, or two keys in a row"));
        }
        QString key;
        if (!countValue() || !readText(tag, &key)) {
            return false;
        }
        _frames.back().key = std::move(key);
        _frames.back().hasKey = true;
        return true;
    }

    bool readText(const Tag& tag, QString* text) {
        QByteArray bytes;
        if (!tag.empty && !readContent(tag.name, &bytes)) {
            return false;
        }
        *text = QString::fromUtf8(bytes);
        return QNPlistXMLReader::isStorableText(*text) ||
               fail(QStringLiteral("<%1> holds a character XML cannot carry").arg(QString::fromUtf8(tag.name)));
    }

    bool readLeaf(Element element, const Tag& tag) {
        if (element == Element::String) {
            QString text;
            if (!readText(tag, &text)) {
                return false;
            }
            addValue(QVariant(std::move(text)));
            return true;
        }
        QByteArray content;
        if (!tag.empty && !readContent(tag.name, &content)) {
            return false;
        }
        std::optional<QVariant> value;
        switch (element) {
        case Element::Integer:
            value = QNPlistXMLValues::integerWithText(content);
            break;
        case Element::Real:
            value = QNPlistXMLValues::realWithText(content);
            break;
        case Element::Date:
            value = QNPlistXMLValues::dateWithText(content);
            break;
        case Element::Data:
            value = QNPlistXMLValues::dataWithText(content);
            break;
        default: // true and false: at most white space inside
            if (!trimmed(content).isEmpty()) {
                break;
            }
            value = QVariant(element == Element::True);
            break;
        }
        if (!value) {
            return fail(QStringLiteral("<%1> does not hold a valid value").arg(QString::fromUtf8(tag.name)));
        }
        addValue(std::move(*value));
        return true;
    }

    // The character data of a leaf element up to its end tag, with comments left out, CDATA sections
    // taken as they stand and references replaced.
    bool readContent(QByteArrayView name, QByteArray* content) {
        for (;;) {
            const auto* next = static_cast<const char*>(std::memchr(_position, '<', size_t(left())));
            if (!next) {
                return fail(QStringLiteral("<%1> is not closed").arg(QString::fromUtf8(name)));
            }
            if (!appendCharacters(next, content)) {
                return false;
            }
            if (startsWith("<!--")) {
                if (!skipPast("-->")) {
                    return fail(QStringLiteral("a comment is not closed"));
                }
            } else if (startsWith("<![CDATA[")) {
                _position += 9;
                const qsizetype length = QByteArrayView(_position, left()).indexOf("]]>");
                if (length < 0) {
                    return fail(QStringLiteral("a CDATA section is not closed"));
                }
                content->append(_position, length);
                _position += length + 3;
            } else if (startsWith("</")) {
                return readEndTag(name);
            } else {
                return fail(QStringLiteral("an element inside <%1>").arg(QString::fromUtf8(name)));
            }
        }
    }

    bool readEndTag(QByteArrayView name) {
        _position += 2;
        if (!QByteArrayView(_position, left()).startsWith(name)) {
            return fail(QStringLiteral("<%1> is not closed").arg(QString::fromUtf8(name)));
        }
        _position += name.size();
        skipSpace();
        if (_position == _end || *_position != '>') {
            return fail(QStringLiteral("<%1> is not closed").arg(QString::fromUtf8(name)));
        }
        ++_position;
        return true;
    }

    // Text from the current position up to `to`, with entity and character references replaced.
    bool appendCharacters(const char* to, QByteArray* content) {
        while (_position < to) {
            const auto* ampersand = static_cast<const char*>(std::memchr(_position, '&', size_t(to - _position)));
            const char* stop = ampersand ? ampersand : to;
            content->append(_position, stop - _position);
            _position = stop;
            if (ampersand && !appendReference(to, content)) {
                return false;
            }
        }
        return true;
    }

    bool appendReference(const char* to, QByteArray* content) {
        const QByteArrayView rest(_position + 1, to - _position - 1);
        const QByteArrayView shown = rest.first(qMin<qsizetype>(rest.size(), 12));
        const qsizetype semicolon = shown.indexOf(';');
        const QByteArrayView name = rest.first(qMax<qsizetype>(semicolon, 0));
        static const std::pair<const char*, char> named[] = {
            {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
        for (const auto& [entity, character] : named) {
            if (semicolon > 0 && name == entity) {
                content->append(character);
                _position += semicolon + 2;
                return true;
            }
        }
        const bool hexadecimal = name.startsWith("#x") || name.startsWith("#X");
        const QByteArrayView number = name.sliced(qMin<qsizetype>(name.size(), hexadecimal ? 2 : 1));
        quint32 code = 0;
        const auto [end, status] = std::from_chars(number.begin(), number.end(), code, hexadecimal ? 16 : 10);
        if (semicolon < 0 || !name.startsWith('#') || number.isEmpty() || end != number.end() ||
            status != std::errc() || !QNPlistXMLValues::isXMLCharacter(code)) {
            return fail(QStringLiteral("an unknown or invalid reference &%1").arg(QString::fromUtf8(shown)));
        }
        appendUtf8(*content, code);
        _position += semicolon + 2;
        return true;
    }

    const char* _begin;
    const char* _position;
    const char* _end;
    const int _maximumDepth;
    const qint64 _maximumValueCount;
    std::vector<Frame> _frames;
    int _containers = 0;
    qint64 _values = 0;
    std::optional<QVariant> _root;
    QString _problem;
};

} // namespace

namespace QNPlistXMLReader {

std::optional<QVariant> read(const QByteArray& data, int maximumDepth, qint64 maximumValueCount, QString* error) {
    return Reader(data, maximumDepth, maximumValueCount).read(error);
}

bool isStorableText(const QString& text) {
    if (!text.isValidUtf16()) {
        return false;
    }
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t' && u != u'\n' && u != u'\r') || u == 0xFFFE || u == 0xFFFF) {
            return false;
        }
    }
    return true;
}

} // namespace QNPlistXMLReader
