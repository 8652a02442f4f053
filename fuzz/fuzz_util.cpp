// Feeds arbitrary bytes to the base64 decoder and the port and address parsers, and checks the
// invariants that must hold for any input.
#include "QNFuzzCheck.h"

#include "util/QNDataAdditions.h"
#include "util/QNUtilities.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    // Both a UTF-8 and a Latin-1 reading, so every byte value reaches the parsers as a character.
    for (const QString& text : {QString::fromUtf8(bytes), QString::fromLatin1(bytes)}) {
        const std::optional<QByteArray> decoded = QNDataAdditions::dataWithBase64String(text);
        if (decoded) {
            qnFuzzCheck(decoded->size() <= text.size() * 3 / 4);
        }

        QNUtilities::validatePortString(text);
        QNUtilities::validatePortRangeString(text);
        QNUtilities::validateServerAliveIntervalString(text);

        quint16 start = 0;
        quint16 end = 0;
        if (QNUtilities::parsePortRangeString(text, &start, &end)) {
            qnFuzzCheck(end == 0 || end >= start);
        }

        QNAddressWords first{};
        QNAddressWords last{};
        bool isIPv6 = false;
        if (QNUtilities::parseIPRangeString(text, &first, &last, &isIPv6) && !isIPv6) {
            qnFuzzCheck(first[0] == 0 && first[1] == 0 && first[2] == 0 && last[0] == 0 && last[1] == 0 &&
                        last[2] == 0);
        }
    }

    // Whatever the bytes, encoding then decoding gives them back.
    if (size > 0) {
        const std::optional<QByteArray> roundTrip =
            QNDataAdditions::dataWithBase64String(QNDataAdditions::base64String(bytes));
        qnFuzzCheck(roundTrip && *roundTrip == bytes);
    }
    return 0;
}
