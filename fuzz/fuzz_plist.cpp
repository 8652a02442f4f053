// Feeds arbitrary bytes to the property-list codec, as the preference file reader gets them from disk.
// Whatever it accepts stays within the reading limits, and writes out and reads back as the same values.
// Binary input the structure check lets through must parse, in libplist itself, within those limits.
#include "QNFuzzCheck.h"

#include "platform/QNPlistCodec.h"
#include "platform/QNPlistCodecScan.h"

#include <QByteArray>
#include <QDateTime>
#include <QVariantList>
#include <QVariantMap>

#include <plist/plist.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

constexpr qint64 kRoundTripValues = 20000;

struct Shape {
    int depth = 0;     // nested containers, the root one included
    qint64 values = 0; // dictionary keys included
};

bool isContainer(const QVariant& value) {
    return value.typeId() == QMetaType::QVariantMap || value.typeId() == QMetaType::QVariantList;
}

// Walks without recursion, so that a reader that let a deep value through shows as a broken limit here
// rather than as a crash of the walk.
Shape shapeOf(const QVariant& root) {
    Shape shape;
    std::vector<std::pair<QVariant, int>> pending{{root, 0}};
    while (!pending.empty()) {
        const auto [value, level] = pending.back();
        pending.pop_back();
        ++shape.values;
        if (!isContainer(value)) {
            continue;
        }
        shape.depth = qMax(shape.depth, level + 1);
        if (value.typeId() == QMetaType::QVariantMap) {
            const QVariantMap map = value.toMap();
            shape.values += map.size();
            for (const QVariant& child : map) {
                pending.emplace_back(child, level + 1);
            }
        } else {
            for (const QVariant& child : value.toList()) {
                pending.emplace_back(child, level + 1);
            }
        }
    }
    return shape;
}

// The same walk over libplist's own nodes, with each key counted like the binary structure check does.
Shape shapeOf(plist_t root) {
    Shape shape;
    std::vector<std::pair<plist_t, int>> pending{{root, 0}};
    while (!pending.empty()) {
        const auto [node, level] = pending.back();
        pending.pop_back();
        ++shape.values;
        const plist_type type = plist_get_node_type(node);
        if (type == PLIST_ARRAY) {
            shape.depth = qMax(shape.depth, level + 1);
            plist_array_iter iterator = nullptr;
            plist_array_new_iter(node, &iterator);
            for (plist_t child = nullptr;;) {
                plist_array_next_item(node, iterator, &child);
                if (!child) {
                    break;
                }
                pending.emplace_back(child, level + 1);
            }
            std::free(iterator);
        } else if (type == PLIST_DICT) {
            shape.depth = qMax(shape.depth, level + 1);
            shape.values += plist_dict_get_size(node);
            plist_dict_iter iterator = nullptr;
            plist_dict_new_iter(node, &iterator);
            for (;;) {
                char* key = nullptr;
                plist_t child = nullptr;
                plist_dict_next_item(node, iterator, &key, &child);
                std::free(key);
                if (!child) {
                    break;
                }
                pending.emplace_back(child, level + 1);
            }
            std::free(iterator);
        }
    }
    return shape;
}

bool withinLimits(const Shape& shape) {
    return shape.depth <= QNPlistCodec::kMaximumDepth && shape.values <= QNPlistCodec::kMaximumValueCount;
}

bool isInteger(const QVariant& value) {
    return value.typeId() == QMetaType::LongLong || value.typeId() == QMetaType::ULongLong;
}

// Values compared as the format keeps them: integers by number whatever their Qt type, reals by value
// (NaN equal to itself, -0 to 0), dates to the millisecond, or within the second the XML form keeps.
bool sameValue(const QVariant& a, const QVariant& b, bool wholeSeconds) {
    if (isInteger(a) && isInteger(b)) {
        const bool aNegative = a.typeId() == QMetaType::LongLong && a.toLongLong() < 0;
        const bool bNegative = b.typeId() == QMetaType::LongLong && b.toLongLong() < 0;
        return aNegative == bNegative && a.toULongLong() == b.toULongLong();
    }
    if (a.typeId() != b.typeId()) {
        return false;
    }
    switch (a.typeId()) {
    case QMetaType::Double:
        return a.toDouble() == b.toDouble() || (std::isnan(a.toDouble()) && std::isnan(b.toDouble()));
    case QMetaType::QDateTime: {
        const qint64 apart = std::llabs(a.toDateTime().msecsTo(b.toDateTime()));
        return wholeSeconds ? apart < 1000 : apart == 0;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap first = a.toMap();
        const QVariantMap second = b.toMap();
        if (first.keys() != second.keys()) {
            return false;
        }
        for (auto it = first.constBegin(); it != first.constEnd(); ++it) {
            if (!sameValue(it.value(), second.value(it.key()), wholeSeconds)) {
                return false;
            }
        }
        return true;
    }
    case QMetaType::QVariantList: {
        const QVariantList first = a.toList();
        const QVariantList second = b.toList();
        if (first.size() != second.size()) {
            return false;
        }
        for (qsizetype index = 0; index < first.size(); ++index) {
            if (!sameValue(first.at(index), second.at(index), wholeSeconds)) {
                return false;
            }
        }
        return true;
    }
    default:
        return a == b;
    }
}

// What the structure check accepts, libplist parses within the limits the check is there to keep.
void checkBinaryScan(const QByteArray& input) {
    if (!QNPlistCodecScan::isBinary(input) || input.size() > QNPlistCodec::kMaximumInputSize ||
        !QNPlistCodecScan::checkBinary(input, QNPlistCodec::kMaximumDepth, QNPlistCodec::kMaximumValueCount, nullptr)) {
        return;
    }
    plist_t root = nullptr;
    plist_from_bin(input.constData(), uint32_t(input.size()), &root);
    if (root) {
        qnFuzzCheck(withinLimits(shapeOf(root)), "libplist parses what the structure check accepts within the limits");
        plist_free(root);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    checkBinaryScan(input);
    QString error;
    const auto value = QNPlistCodec::propertyListWithData(input, &error);
    qnFuzzCheck(value || !error.isEmpty(), "a refusal has a reason");
    if (!value) {
        return 0;
    }
    const Shape shape = shapeOf(*value);
    qnFuzzCheck(withinLimits(shape), "what is read stays within the limits");
    // Writing tens of thousands of containers takes a second under the sanitizer (libplist's binary
    // writer most of it): the round trip is checked below that, where the mutations find plenty.
    if (shape.values > kRoundTripValues) {
        return 0;
    }
    for (const auto format : {QNPlistCodec::Format::XML, QNPlistCodec::Format::Binary}) {
        // Texts with characters XML cannot carry are refused on the way out; everything else goes round.
        const auto written = QNPlistCodec::dataWithPropertyList(*value, format, &error);
        if (!written) {
            qnFuzzCheck(!error.isEmpty(), "a refused write has a reason");
            continue;
        }
        const auto again = QNPlistCodec::propertyListWithData(*written, &error);
        qnFuzzCheck(again.has_value(), "what is written reads back");
        qnFuzzCheck(sameValue(*value, *again, format == QNPlistCodec::Format::XML),
                    "what reads back is the same value");
    }
    return 0;
}
