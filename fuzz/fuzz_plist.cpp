// Feeds arbitrary bytes to the property-list codec, as the preference file reader gets them from disk:
// whatever it accepts must write out and read back.
#include "platform/QNPlistCodec.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    const auto value = QNPlistCodec::propertyListWithData(input, &error);
    check(value || !error.isEmpty());
    (void)QNPlistCodec::dictionaryWithData(input);
    if (!value) {
        return 0;
    }
    // Texts with characters XML cannot carry are refused on the way out; everything else goes round.
    for (const auto format : {QNPlistCodec::Format::XML, QNPlistCodec::Format::Binary}) {
        const auto written = QNPlistCodec::dataWithPropertyList(*value, format);
        if (written) {
            QString again;
            check(QNPlistCodec::propertyListWithData(*written, &again).has_value());
        }
    }
    return 0;
}
