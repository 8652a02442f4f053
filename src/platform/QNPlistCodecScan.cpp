#include "platform/QNPlistCodecScan.h"

#include <QList>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr qsizetype kHeaderSize = 8;
constexpr qsizetype kTrailerSize = 32;
constexpr uchar kMarkerDate = 0x33;
constexpr uchar kMarkerInteger16 = 0x14;
constexpr uchar kMarkerOneItemArray = 0xA1;
constexpr int kKindASCIIString = 0x5;
constexpr int kKindUTF16String = 0x6;
constexpr int kKindUID = 0x8;
constexpr int kKindArray = 0xA;
constexpr int kKindSet = 0xC;
constexpr int kKindDictionary = 0xD;

quint64 readBigEndian(const uchar* bytes, int width) {
    quint64 value = 0;
    for (int index = 0; index < width; ++index) {
        value = (value << 8) | bytes[index];
    }
    return value;
}

void appendBigEndian(QByteArray& data, quint64 value, int width) {
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
        data.append(char((value >> shift) & 0xFF));
    }
}

void setProblem(QString* problem, const QString& text) {
    if (problem) {
        *problem = text;
    }
}

// The trailer and offset table of a binary property list, checked against the data's size.
class BinaryLayout {
public:
    bool read(const QByteArray& data, QString* problem) {
        _bytes = reinterpret_cast<const uchar*>(data.constData());
        _size = data.size();
        if (_size < kHeaderSize + kTrailerSize + 2) {
            setProblem(problem, QStringLiteral("the binary property list is truncated"));
            return false;
        }
        const uchar* trailer = _bytes + _size - kTrailerSize;
        _offsetSize = trailer[6];
        _referenceSize = trailer[7];
        _objectCount = readBigEndian(trailer + 8, 8);
        _topObject = readBigEndian(trailer + 16, 8);
        _tableOffset = readBigEndian(trailer + 24, 8);
        const quint64 tableEnd = quint64(_size - kTrailerSize);
        const bool sizesValid = _offsetSize >= 1 && _offsetSize <= 8 && _referenceSize >= 1 && _referenceSize <= 8;
        if (!sizesValid || _objectCount == 0 || _topObject >= _objectCount || _tableOffset < quint64(kHeaderSize) ||
            _tableOffset > tableEnd || _objectCount > (tableEnd - _tableOffset) / quint64(_offsetSize)) {
            setProblem(problem, QStringLiteral("the binary property list's trailer is inconsistent"));
            return false;
        }
        return true;
    }

    quint64 objectCount() const { return _objectCount; }
    quint64 topObject() const { return _topObject; }

    // Start of an object, or none when the offset table points outside the object area.
    std::optional<quint64> objectOffset(quint64 index) const {
        const quint64 offset = readBigEndian(_bytes + _tableOffset + index * quint64(_offsetSize), _offsetSize);
        if (offset < quint64(kHeaderSize) || offset >= _tableOffset) {
            return std::nullopt;
        }
        return offset;
    }

    uchar byteAt(quint64 offset) const { return _bytes[offset]; }

    // The high four bits of an object's marker byte: its kind.
    std::optional<int> kindOf(quint64 index) const {
        const auto offset = objectOffset(index);
        return offset ? std::optional<int>(_bytes[*offset] >> 4) : std::nullopt;
    }

    // A string object inside the object area without a NUL character: libplist fails an assertion on a
    // dictionary key of any other kind, or one whose length differs from its C string length.
    bool isUsableKey(quint64 index) const {
        const auto offset = objectOffset(index);
        if (!offset) {
            return false;
        }
        const int kind = _bytes[*offset] >> 4;
        if (kind != kKindASCIIString && kind != kKindUTF16String) {
            return false;
        }
        quint64 position = *offset + 1;
        const auto count = objectCount(*offset, &position);
        const quint64 unit = kind == kKindUTF16String ? 2 : 1;
        if (!count || *count > _tableOffset / unit || !hasBytes(position, *count * unit)) {
            return false;
        }
        for (quint64 at = 0; at < *count; ++at) {
            const uchar* character = _bytes + position + at * unit;
            if (character[0] == 0 && (unit == 1 || character[1] == 0)) {
                return false;
            }
        }
        return true;
    }
    bool hasBytes(quint64 offset, quint64 count) const {
        return offset <= _tableOffset && count <= _tableOffset - offset;
    }

    // The object references held by a container (arrays, sets, dictionaries: keys then values); an empty
    // list for every other object. False when the object or its references lie outside the object area.
    bool references(quint64 index, QList<quint64>* result, bool* container = nullptr) const {
        result->clear();
        const auto offset = objectOffset(index);
        if (!offset) {
            return false;
        }
        const uchar marker = _bytes[*offset];
        const int kind = marker >> 4;
        const bool isContainer = kind == kKindArray || kind == kKindSet || kind == kKindDictionary;
        if (container) {
            *container = isContainer;
        }
        if (!isContainer) {
            return true;
        }
        quint64 position = *offset + 1;
        const auto elements = objectCount(*offset, &position);
        if (!elements) {
            return false;
        }
        const quint64 count = *elements;
        const quint64 available = (_tableOffset - position) / quint64(_referenceSize);
        const quint64 referenceCount = kind == kKindDictionary ? count * 2 : count;
        if (count > available || referenceCount > available) {
            return false;
        }
        result->reserve(qsizetype(referenceCount));
        for (quint64 item = 0; item < referenceCount; ++item) {
            const quint64 reference = readBigEndian(_bytes + position + item * quint64(_referenceSize), _referenceSize);
            if (reference >= _objectCount) {
                return false;
            }
            result->append(reference);
        }
        return true;
    }

private:
    // The element count of the object at offset: the marker's low four bits, or when they are all set the
    // integer object that follows. *position moves past the count; none when it runs past the object area.
    std::optional<quint64> objectCount(quint64 offset, quint64* position) const {
        const quint64 count = _bytes[offset] & 0x0F;
        if (count != 0x0F) {
            return count;
        }
        if (!hasBytes(*position, 1)) {
            return std::nullopt;
        }
        const uchar countMarker = _bytes[*position];
        const int width = 1 << (countMarker & 0x0F);
        if ((countMarker >> 4) != 0x1 || width > 8 || !hasBytes(*position + 1, quint64(width))) {
            return std::nullopt;
        }
        const quint64 value = readBigEndian(_bytes + *position + 1, width);
        *position += 1 + quint64(width);
        return value;
    }

    const uchar* _bytes = nullptr;
    qsizetype _size = 0;
    int _offsetSize = 0;
    int _referenceSize = 0;
    quint64 _objectCount = 0;
    quint64 _topObject = 0;
    quint64 _tableOffset = 0;
};

// Counts the values the tree below an object expands to, each object counted once per reference, with
// the result per object remembered so that shared objects cost nothing the second time. The nesting
// below each object is remembered too: a shared object first met near the top may be referred to again
// from deep down, and its own levels then add to that depth.
class ExpansionCounter {
public:
    ExpansionCounter(const BinaryLayout& layout, int maximumDepth, qint64 maximumValueCount)
        : _layout(layout)
        , _maximumDepth(maximumDepth)
        , _maximumValueCount(maximumValueCount)
        , _counts(size_t(layout.objectCount()), kUnknown)
        , _heights(size_t(layout.objectCount()), 0) {}

    bool count(quint64 index, int depth, qint64* total, QString* problem) {
        qint64& known = _counts[size_t(index)];
        if (known == kVisiting) {
            setProblem(problem, QStringLiteral("the binary property list refers to itself"));
            return false;
        }
        if (known != kUnknown) {
            if (depth + _heights[size_t(index)] > _maximumDepth) {
                setProblem(problem, QStringLiteral("values are nested more than %1 levels deep").arg(_maximumDepth));
                return false;
            }
            *total = known;
            return true;
        }
        QList<quint64> children;
        bool container = false;
        if (!_layout.references(index, &children, &container)) {
            setProblem(problem, QStringLiteral("the binary property list is malformed"));
            return false;
        }
        // A UID reads as a dictionary of one key and its number: three values, one level.
        const bool uid = _layout.kindOf(index) == kKindUID;
        if ((container || uid) && depth >= _maximumDepth) {
            setProblem(problem, QStringLiteral("values are nested more than %1 levels deep").arg(_maximumDepth));
            return false;
        }
        if (_layout.kindOf(index) == kKindDictionary) {
            for (qsizetype key = 0; key < children.size() / 2; ++key) {
                if (!_layout.isUsableKey(children.at(key))) {
                    setProblem(problem, QStringLiteral("a dictionary key in the binary property list is not a string"));
                    return false;
                }
            }
        }
        _counts[size_t(index)] = kVisiting;
        qint64 sum = uid ? 3 : 1;
        int childHeight = 0;
        for (const quint64 child : children) {
            qint64 childTotal = 0;
            if (!count(child, depth + 1, &childTotal, problem)) {
                return false;
            }
            childHeight = std::max(childHeight, _heights[size_t(child)]);
            sum += childTotal;
            if (sum > _maximumValueCount) {
                setProblem(problem,
                           QStringLiteral("the property list holds more than %1 values").arg(_maximumValueCount));
                return false;
            }
        }
        _counts[size_t(index)] = sum;
        _heights[size_t(index)] = container ? childHeight + 1 : (uid ? 1 : 0);
        *total = sum;
        return true;
    }

private:
    static constexpr qint64 kUnknown = -1;
    static constexpr qint64 kVisiting = -2;

    const BinaryLayout& _layout;
    int _maximumDepth;
    qint64 _maximumValueCount;
    std::vector<qint64> _counts;
    std::vector<int> _heights; // container levels from an object down, the object itself included
};

} // namespace

namespace QNPlistCodecScan {

bool isBinary(const QByteArray& data) {
    return data.startsWith("bplist");
}

bool checkBinary(const QByteArray& data, int maximumDepth, qint64 maximumValueCount, QString* problem) {
    BinaryLayout layout;
    if (!layout.read(data, problem)) {
        return false;
    }
    if (layout.objectCount() > quint64(maximumValueCount)) {
        setProblem(problem, QStringLiteral("the property list holds more than %1 values").arg(maximumValueCount));
        return false;
    }
    ExpansionCounter counter(layout, maximumDepth, maximumValueCount);
    qint64 total = 0;
    return counter.count(layout.topObject(), 0, &total, problem);
}

QByteArray singleItemArray(const QByteArray& object) {
    QByteArray data("bplist00");
    const quint64 arrayOffset = quint64(data.size());
    data.append(char(kMarkerOneItemArray));
    data.append(char(1)); // reference to object 1
    const quint64 objectOffset = quint64(data.size());
    data.append(object);
    const quint64 tableOffset = quint64(data.size());
    appendBigEndian(data, arrayOffset, 8);
    appendBigEndian(data, objectOffset, 8);
    data.append(6, '\0');
    data.append(char(8)); // offset width
    data.append(char(1)); // reference width
    appendBigEndian(data, 2, 8);
    appendBigEndian(data, 0, 8);
    appendBigEndian(data, tableOffset, 8);
    return data;
}

QByteArray dateObject(double seconds) {
    quint64 bits = 0;
    static_assert(sizeof(bits) == sizeof(seconds));
    std::memcpy(&bits, &seconds, sizeof(bits));
    QByteArray object(1, char(kMarkerDate));
    appendBigEndian(object, bits, 8);
    return object;
}

QByteArray unsignedIntegerObject(quint64 value) {
    QByteArray object(1, char(kMarkerInteger16));
    appendBigEndian(object, 0, 8);
    appendBigEndian(object, value, 8);
    return object;
}

std::optional<double> firstArrayDate(const QByteArray& data) {
    BinaryLayout layout;
    if (!layout.read(data, nullptr)) {
        return std::nullopt;
    }
    QList<quint64> items;
    if (!layout.references(layout.topObject(), &items) || items.isEmpty()) {
        return std::nullopt;
    }
    const auto offset = layout.objectOffset(items.first());
    if (!offset || layout.byteAt(*offset) != kMarkerDate || !layout.hasBytes(*offset + 1, 8)) {
        return std::nullopt;
    }
    const quint64 bits = readBigEndian(reinterpret_cast<const uchar*>(data.constData()) + *offset + 1, 8);
    double seconds = 0;
    std::memcpy(&seconds, &bits, sizeof(seconds));
    return seconds;
}

} // namespace QNPlistCodecScan
