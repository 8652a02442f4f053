// Feeds arbitrary text to the parsers of user-typed and downloaded values: base64, ports and port ranges,
// address ranges, stored integers and version texts. Whatever a parser accepts, written back in its
// plain form, must read the same again; the validators must agree with the parser.
#include "QNFuzzCheck.h"

#include "util/QNDataAdditions.h"
#include "util/QNUtilities.h"

#include <QByteArray>
#include <QString>

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>

namespace {

QString addressText(const QNAddressWords& words, bool isIPv6) {
    unsigned char bytes[16];
    for (int i = 0; i < 16; ++i) {
        bytes[i] = static_cast<unsigned char>(words[i / 4] >> (24 - 8 * (i % 4)));
    }
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(isIPv6 ? AF_INET6 : AF_INET, isIPv6 ? bytes : bytes + 12, text, sizeof text);
    return QString::fromLatin1(text);
}

void checkBase64(const QString& text) {
    const std::optional<QByteArray> decoded = QNDataAdditions::dataWithBase64String(text);
    qnFuzzCheck(!decoded || decoded->size() <= text.size() * 3 / 4,
                "base64 gives at most three bytes for four characters");
}

void checkPorts(const QString& text) {
    quint16 start = 0;
    quint16 end = 0;
    if (QNUtilities::parsePortRangeString(text, &start, &end)) {
        qnFuzzCheck(end == 0 || end >= start, "a range never ends before it starts");
        const QString plain = end == 0 ? QString::number(start) : QStringLiteral("%1-%2").arg(start).arg(end);
        quint16 startAgain = 0;
        quint16 endAgain = 0;
        qnFuzzCheck(QNUtilities::parsePortRangeString(plain, &startAgain, &endAgain) && startAgain == start &&
                        endAgain == end,
                    "a port or range written plainly reads the same");
        qnFuzzCheck(QNUtilities::validatePortRangeString(plain), "a plainly written port or range is valid");
    }
    // A valid port is one port, not zero, and a valid keep-alive interval too.
    if (QNUtilities::validatePortString(text)) {
        qnFuzzCheck(QNUtilities::parsePortRangeString(text, &start, &end) && start != 0 && end == 0,
                    "a valid port parses as one port");
        qnFuzzCheck(QNUtilities::validatePortRangeString(text), "a valid port is a valid port list");
        qnFuzzCheck(QNUtilities::validateServerAliveIntervalString(text), "a valid port is a valid interval");
    }
}

void checkAddresses(const QString& text) {
    QNAddressWords first{};
    QNAddressWords last{};
    bool isIPv6 = false;
    if (!QNUtilities::parseIPRangeString(text, &first, &last, &isIPv6)) {
        return;
    }
    if (!isIPv6) {
        qnFuzzCheck(first[0] == 0 && first[1] == 0 && first[2] == 0 && last[0] == 0 && last[1] == 0 && last[2] == 0,
                    "an IPv4 address lives in the last word");
    }
    QString plain = addressText(first, isIPv6);
    // The same literal names the same address when resolved, without asking a name server.
    QNAddressWords resolved{};
    bool resolvedIPv6 = !isIPv6;
    qnFuzzCheck(QNUtilities::resolveHost(plain, &resolved, &resolvedIPv6) && resolved == first &&
                    resolvedIPv6 == isIPv6,
                "an address literal resolves to itself");
    if (last != QNAddressWords{}) {
        plain += u'-' + addressText(last, isIPv6);
    }
    QNAddressWords firstAgain{};
    QNAddressWords lastAgain{};
    bool isIPv6Again = !isIPv6;
    qnFuzzCheck(QNUtilities::parseIPRangeString(plain, &firstAgain, &lastAgain, &isIPv6Again) && firstAgain == first &&
                    lastAgain == last && isIPv6Again == isIPv6,
                "an address or range written plainly reads the same");
}

void checkStoredValues(const QString& text) {
    const qint64 value = QNUtilities::integerValue(text);
    qnFuzzCheck(QNUtilities::integerValue(QString::number(value)) == value,
                "a stored integer written back reads the same");
    (void)QNUtilities::boolValue(QVariant(text));

    // Versions: the text up to the first line break against the rest.
    const qsizetype cut = text.indexOf(u'\n');
    const QString a = cut < 0 ? text : text.left(cut);
    const QString b = cut < 0 ? QString() : text.mid(cut + 1);
    const int order = QNUtilities::compareVersionString(a, b);
    qnFuzzCheck(order >= -1 && order <= 1 && QNUtilities::compareVersionString(b, a) == -order,
                "version order is antisymmetric");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    // Both a UTF-8 and a Latin-1 reading, so every byte value reaches the parsers as a character.
    for (const QString& text : {QString::fromUtf8(bytes), QString::fromLatin1(bytes)}) {
        checkBase64(text);
        checkPorts(text);
        checkAddresses(text);
        checkStoredValues(text);
    }

    // Whatever the bytes, encoding then decoding gives them back (no bytes encode as the empty text, which
    // does not decode).
    if (size > 0) {
        const std::optional<QByteArray> roundTrip =
            QNDataAdditions::dataWithBase64String(QNDataAdditions::base64String(bytes));
        qnFuzzCheck(roundTrip && *roundTrip == bytes, "bytes survive base64");
    }
    return 0;
}
