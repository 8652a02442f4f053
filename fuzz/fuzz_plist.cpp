// Feeds arbitrary bytes to the property-list codec, as the preference file reader gets them from disk:
// whatever it accepts must write out and read back.
#include "QNFuzzCheck.h"

#include "platform/QNPlistCodec.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    const auto value = QNPlistCodec::propertyListWithData(input, &error);
    qnFuzzCheck(value || !error.isEmpty());
    (void)QNPlistCodec::dictionaryWithData(input);
    if (!value) {
        return 0;
    }
    // Texts with characters XML cannot carry are refused on the way out; everything else goes round.
    for (const auto format : {QNPlistCodec::Format::XML, QNPlistCodec::Format::Binary}) {
        const auto written = QNPlistCodec::dataWithPropertyList(*value, format);
        if (written) {
            QString again;
            qnFuzzCheck(QNPlistCodec::propertyListWithData(*written, &again).has_value());
        }
    }
    return 0;
}
