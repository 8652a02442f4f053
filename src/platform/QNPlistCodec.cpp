#include "platform/QNPlistCodec.h"

#include "platform/QNPlistCodecScan.h"
#include "platform/QNPlistXMLReader.h"

#include <QDateTime>
#include <QMetaType>
#include <QStringList>

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace {

// Seconds between 1970-01-01 and 2001-01-01, the reference date of property lists.
constexpr qint64 kReferenceDateMilliseconds = 978307200000LL;
// Dates stay within the years 1000 (QNPlistXMLValues::kEarliestYear) to 9999, which every reader can print
// and parse; dates read from outside are brought into that range.
constexpr double kEarliestDateSeconds = -31588531200.0;
constexpr double kLatestDateSeconds = 252423993599.0;
const QString kUIDKey = QStringLiteral("CF$UID");

struct PlistDeleter {
    void operator()(plist_t node) const {
        if (node) {
            plist_free(node);
        }
    }
};
using PlistPointer = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};

void setError(QString* error, const QString& text) {
    if (error) {
        *error = text;
    }
}

QString childPath(const QString& path, const QString& component) {
    return path.isEmpty() ? component : path + QLatin1Char('/') + component;
}

QString describedPath(const QString& path) {
    return path.isEmpty() ? QStringLiteral("the root") : QStringLiteral("\"%1\"").arg(path);
}

// libplist 2.2 keeps every integer as 64 bits plus a width: 8 for values that fit a signed 64-bit
// number (negative ones included), 16 for unsigned values above that range. The width is not exposed,
// but node comparison looks at it, so a value compares unequal to a fresh 8-byte node of the same bits
// exactly when it is one of the large unsigned ones.
bool isLargeUnsigned(plist_t node, quint64 bits) {
    PlistPointer probe(plist_new_uint(bits));
    return !plist_compare_node_value(node, probe.get());
}

// Dates (held by libplist as a double, but handed out only as 32-bit seconds) and large unsigned
// integers cannot be made or read in full through the node API, so they go through a one-item binary
// property list, whose format holds both exactly.
std::optional<double> dateSeconds(plist_t node) {
    PlistPointer array(plist_new_array());
    plist_array_append_item(array.get(), plist_copy(node));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(array.get(), &bytes, &length);
    if (!bytes) {
        return std::nullopt;
    }
    std::unique_ptr<char, MallocDeleter> owner(bytes);
    const QByteArray data = QByteArray::fromRawData(bytes, qsizetype(length));
    return QNPlistCodecScan::firstArrayDate(data);
}

plist_t nodeFromSingleItemBinary(const QByteArray& item) {
    const QByteArray data = QNPlistCodecScan::singleItemArray(item);
    plist_t array = nullptr;
    plist_from_bin(data.constData(), uint32_t(data.size()), &array);
    if (!array) {
        return nullptr;
    }
    PlistPointer owner(array);
    plist_t first = plist_array_get_item(array, 0);
    return first ? plist_copy(first) : nullptr;
}

plist_t newDateNode(double seconds) {
    return nodeFromSingleItemBinary(QNPlistCodecScan::dateObject(seconds));
}

plist_t newLargeUnsignedNode(quint64 value) {
    return nodeFromSingleItemBinary(QNPlistCodecScan::unsignedIntegerObject(value));
}

QDateTime dateTimeWithSeconds(double seconds) {
    if (std::isnan(seconds)) {
        seconds = 0;
    }
    seconds = std::clamp(seconds, kEarliestDateSeconds, kLatestDateSeconds);
    const qint64 milliseconds = qint64(std::llround(seconds * 1000.0));
    return QDateTime::fromMSecsSinceEpoch(milliseconds + kReferenceDateMilliseconds, Qt::UTC);
}

// ---- plist -> QVariant ----

std::optional<QVariant> variantWithNode(plist_t node, int depth, QString* error);

std::optional<QVariant> mapWithDictionary(plist_t node, int depth, QString* error) {
    QVariantMap map;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    std::unique_ptr<void, MallocDeleter> iteratorOwner(iterator);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iterator, &key, &value);
        std::unique_ptr<char, MallocDeleter> keyOwner(key);
        if (!value) {
            break;
        }
        auto converted = variantWithNode(value, depth + 1, error);
        if (!converted) {
            return std::nullopt;
        }
        map.insert(QString::fromUtf8(key ? key : ""), *converted);
    }
    return QVariant(map);
}

std::optional<QVariant> listWithArray(plist_t node, int depth, QString* error) {
    QVariantList list;
    list.reserve(qsizetype(plist_array_get_size(node)));
    // An iterator, not plist_array_get_item: on arrays read from binary that walks the list from the start
    // each time, which makes a long array take quadratic time.
    plist_array_iter iterator = nullptr;
    plist_array_new_iter(node, &iterator);
    std::unique_ptr<void, MallocDeleter> iteratorOwner(iterator);
    for (;;) {
        plist_t item = nullptr;
        plist_array_next_item(node, iterator, &item);
        if (!item) {
            break;
        }
        auto converted = variantWithNode(item, depth + 1, error);
        if (!converted) {
            return std::nullopt;
        }
        list.append(*converted);
    }
    return QVariant(list);
}

std::optional<QVariant> variantWithNode(plist_t node, int depth, QString* error) {
    if (!node) {
        setError(error, QStringLiteral("a value is missing"));
        return std::nullopt;
    }
    const plist_type type = plist_get_node_type(node);
    if ((type == PLIST_DICT || type == PLIST_ARRAY) && depth >= QNPlistCodec::kMaximumDepth) {
        setError(error, QStringLiteral("values are nested more than %1 levels deep").arg(QNPlistCodec::kMaximumDepth));
        return std::nullopt;
    }
    switch (type) {
    case PLIST_DICT:
        return mapWithDictionary(node, depth, error);
    case PLIST_ARRAY:
        return listWithArray(node, depth, error);
    case PLIST_STRING:
    case PLIST_KEY: {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return QVariant(QString::fromUtf8(text ? text : "", text ? qsizetype(length) : 0));
    }
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return QVariant(value != 0);
    }
    case PLIST_UINT: {
        uint64_t bits = 0;
        plist_get_uint_val(node, &bits);
        if (isLargeUnsigned(node, bits)) {
            return QVariant(quint64(bits));
        }
        return QVariant(qint64(bits));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return QVariant(value);
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        return QVariant(QByteArray(bytes, bytes ? qsizetype(length) : 0));
    }
    case PLIST_DATE: {
        const auto seconds = dateSeconds(node);
        if (!seconds) {
            setError(error, QStringLiteral("a date could not be read"));
            return std::nullopt;
        }
        return QVariant(dateTimeWithSeconds(*seconds));
    }
    case PLIST_UID: {
        uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return QVariant(QVariantMap{{kUIDKey, QVariant(qint64(value))}});
    }
    default:
        setError(error, QStringLiteral("the property list holds a value of an unknown kind"));
        return std::nullopt;
    }
}

// ---- QVariant -> plist ----

plist_t nodeWithVariant(const QVariant& value, const QString& path, int depth, QString* error);

plist_t dictionaryWithPairs(const QList<std::pair<QString, QVariant>>& pairs, const QString& path, int depth,
                            QString* error) {
    PlistPointer dictionary(plist_new_dict());
    for (const auto& [key, value] : pairs) {
        const QString keyPath = childPath(path, key);
        if (!QNPlistXMLReader::isStorableText(key)) {
            setError(error, QStringLiteral("the key %1 holds a character a property list cannot store")
                                .arg(describedPath(keyPath)));
            return nullptr;
        }
        plist_t child = nodeWithVariant(value, keyPath, depth + 1, error);
        if (!child) {
            return nullptr;
        }
        plist_dict_set_item(dictionary.get(), key.toUtf8().constData(), child);
    }
    return dictionary.release();
}

plist_t arrayWithList(const QVariantList& list, const QString& path, int depth, QString* error) {
    PlistPointer array(plist_new_array());
    for (qsizetype index = 0; index < list.size(); ++index) {
        plist_t child = nodeWithVariant(list.at(index), childPath(path, QString::number(index)), depth + 1, error);
        if (!child) {
            return nullptr;
        }
        plist_array_append_item(array.get(), child);
    }
    return array.release();
}

plist_t nodeWithText(const QString& text, const QString& path, QString* error) {
    if (!QNPlistXMLReader::isStorableText(text)) {
        setError(
            error,
            QStringLiteral("the text at %1 holds a character a property list cannot store").arg(describedPath(path)));
        return nullptr;
    }
    return plist_new_string(text.toUtf8().constData());
}

plist_t nodeWithDate(const QDateTime& date, const QString& path, QString* error) {
    if (!date.isValid()) {
        setError(error, QStringLiteral("the date at %1 is not valid").arg(describedPath(path)));
        return nullptr;
    }
    const double seconds = double(date.toMSecsSinceEpoch() - kReferenceDateMilliseconds) / 1000.0;
    if (seconds < kEarliestDateSeconds || seconds > kLatestDateSeconds) {
        setError(error, QStringLiteral("the date at %1 lies outside the years 1000 to 9999").arg(describedPath(path)));
        return nullptr;
    }
    plist_t node = newDateNode(seconds);
    if (!node) {
        setError(error, QStringLiteral("the date at %1 could not be stored").arg(describedPath(path)));
    }
    return node;
}

plist_t nodeWithUnsigned(quint64 value) {
    if (value > quint64(std::numeric_limits<qint64>::max())) {
        return newLargeUnsignedNode(value);
    }
    return plist_new_uint(value);
}

plist_t nodeWithVariant(const QVariant& value, const QString& path, int depth, QString* error) {
    const int type = value.typeId();
    const bool container = type == QMetaType::QVariantMap || type == QMetaType::QVariantHash ||
                           type == QMetaType::QVariantList || type == QMetaType::QStringList;
    if (container && depth >= QNPlistCodec::kMaximumDepth) {
        setError(error, QStringLiteral("values are nested more than %1 levels deep").arg(QNPlistCodec::kMaximumDepth));
        return nullptr;
    }
    switch (type) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        QList<std::pair<QString, QVariant>> pairs;
        for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
            pairs.append({it.key(), it.value()});
        }
        return dictionaryWithPairs(pairs, path, depth, error);
    }
    case QMetaType::QVariantHash: {
        const QVariantHash hash = value.toHash();
        QStringList keys = hash.keys();
        keys.sort();
        QList<std::pair<QString, QVariant>> pairs;
        for (const QString& key : keys) {
            pairs.append({key, hash.value(key)});
        }
        return dictionaryWithPairs(pairs, path, depth, error);
    }
    case QMetaType::QVariantList:
        return arrayWithList(value.toList(), path, depth, error);
    case QMetaType::QStringList: {
        QVariantList list;
        for (const QString& text : value.toStringList()) {
            list.append(text);
        }
        return arrayWithList(list, path, depth, error);
    }
    case QMetaType::QString:
        return nodeWithText(value.toString(), path, error);
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return plist_new_data(bytes.constData(), uint64_t(bytes.size()));
    }
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::SChar:
    case QMetaType::Char:
        return plist_new_uint(uint64_t(value.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return nodeWithUnsigned(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QDateTime:
        return nodeWithDate(value.toDateTime(), path, error);
    default:
        setError(error, QStringLiteral("the value at %1 (%2) cannot be stored in a property list")
                            .arg(describedPath(path),
                                 value.isValid() ? QString::fromLatin1(value.typeName()) : QStringLiteral("empty")));
        return nullptr;
    }
}

// Values as the readers count them against their limit: every value and every dictionary key. Stops as
// soon as the limit is passed, and below the nesting the writer refuses anyway.
qint64 valueCount(const QVariant& value, int depth, qint64 limit) {
    qint64 count = 1;
    auto add = [&](const QVariant& child, qint64 keys) {
        count += keys + valueCount(child, depth + 1, limit - count - keys);
        return count <= limit;
    };
    if (depth >= QNPlistCodec::kMaximumDepth) {
        return count;
    }
    switch (value.typeId()) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd() && add(it.value(), 1); ++it) {
        }
        break;
    }
    case QMetaType::QVariantHash: {
        const QVariantHash hash = value.toHash();
        for (auto it = hash.constBegin(); it != hash.constEnd() && add(it.value(), 1); ++it) {
        }
        break;
    }
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        for (auto it = list.constBegin(); it != list.constEnd() && add(*it, 0); ++it) {
        }
        break;
    }
    case QMetaType::QStringList:
        count += value.toStringList().size();
        break;
    default:
        break;
    }
    return count;
}

} // namespace

std::optional<QVariant> QNPlistCodec::propertyListWithData(const QByteArray& data, QString* error) {
    if (data.isEmpty()) {
        setError(error, QStringLiteral("the data is empty"));
        return std::nullopt;
    }
    if (data.size() > kMaximumInputSize) {
        setError(error, QStringLiteral("the data is larger than %1 MiB").arg(kMaximumInputSize / (1024 * 1024)));
        return std::nullopt;
    }
    if (!QNPlistCodecScan::isBinary(data)) {
        return QNPlistXMLReader::read(data, kMaximumDepth, kMaximumValueCount, error);
    }
    QString problem;
    if (!QNPlistCodecScan::checkBinary(data, kMaximumDepth, kMaximumValueCount, &problem)) {
        setError(error, problem);
        return std::nullopt;
    }
    plist_t root = nullptr;
    plist_from_bin(data.constData(), uint32_t(data.size()), &root);
    if (!root) {
        setError(error, QStringLiteral("the binary property list is malformed"));
        return std::nullopt;
    }
    PlistPointer owner(root);
    return variantWithNode(root, 0, error);
}

std::optional<QVariantMap> QNPlistCodec::dictionaryWithData(const QByteArray& data, QString* error) {
    auto value = propertyListWithData(data, error);
    if (!value) {
        return std::nullopt;
    }
    if (value->typeId() != QMetaType::QVariantMap) {
        setError(error, QStringLiteral("the property list's root is not a dictionary"));
        return std::nullopt;
    }
    return value->toMap();
}

std::optional<QByteArray> QNPlistCodec::dataWithPropertyList(const QVariant& propertyList, Format format,
                                                             QString* error) {
    // Nothing is written that the reader would refuse.
    if (valueCount(propertyList, 0, kMaximumValueCount) > kMaximumValueCount) {
        setError(error, QStringLiteral("the property list would hold more than %1 values, the most a reader accepts")
                            .arg(kMaximumValueCount));
        return std::nullopt;
    }
    PlistPointer root(nodeWithVariant(propertyList, QString(), 0, error));
    if (!root) {
        return std::nullopt;
    }
    char* bytes = nullptr;
    uint32_t length = 0;
    if (format == Format::Binary) {
        plist_to_bin(root.get(), &bytes, &length);
    } else {
        plist_to_xml(root.get(), &bytes, &length);
    }
    if (!bytes) {
        setError(error, QStringLiteral("the property list could not be written"));
        return std::nullopt;
    }
    QByteArray result(bytes, qsizetype(length));
    if (format == Format::Binary) {
        plist_to_bin_free(bytes);
    } else {
        plist_to_xml_free(bytes);
    }
    if (result.size() > kMaximumInputSize) {
        setError(error, QStringLiteral("the property list would be larger than %1 MiB, the most a reader accepts")
                            .arg(kMaximumInputSize / (1024 * 1024)));
        return std::nullopt;
    }
    return result;
}
