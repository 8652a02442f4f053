#pragma once

#include <QList>
#include <QString>
#include <QVariant>
#include <QtGlobal>

#include <array>
#include <memory>

class QLocale;
class QNXMLElement;

// An IPv4 or IPv6 address as four 32-bit words in host byte order, most significant group first.
// An IPv4 address sits in word 3 with words 0 to 2 zero.
using QNAddressWords = std::array<quint32, 4>;

// Static helpers shared by the whole system: parsing and validation of ports, ranges and addresses,
// name resolution, hex and size texts, fingerprint display, temporary files and version comparison.
class QNUtilities {
public:
    QNUtilities() = delete;

    // Ports and ranges typed by the user.
    static bool validatePortString(const QString& string);
    static bool validatePortRangeString(const QString& string);
    static bool validateServerAliveIntervalString(const QString& string);
    static bool parsePortRangeString(const QString& string, quint16* portStart, quint16* portEnd);

    // Addresses. Out-parameters may be null; when given they are always written.
    static bool parseIPRangeString(const QString& string, QNAddressWords* ipAddressStart, QNAddressWords* ipAddressEnd,
                                   bool* isIPv6);
    static bool resolveHost(const QString& host, QNAddressWords* ipAddress, bool* isIPv6);

    // Writes 2 * length upper-case hex characters (no terminator) for the given bytes.
    static void convertDataToString(const quint8* data, char* string, quint32 length);
    static QString dataSizeString(quint64 size);
    // The same with the counts below 1024 written for the given locale (dataSizeString uses the system's).
    static QString dataSizeString(quint64 size, const QLocale& locale);
    static QString formatFingerprint(const QString& fingerprint);
    // A new, empty, owner-only file in the temporary folder; null on failure. The caller removes it.
    static QString temporaryfilePath();

    // -1 when a is older than b, 0 when equal, 1 when newer. A null text has no components.
    static int compareVersionString(const QString& a, const QString& b);

    // Reading stored values the lenient way the settings dictionaries and XML attributes need:
    // a leading signed decimal integer after white space (no digits: 0; beyond 64 bits: clamped),
    // numbers as they are, booleans as 0/1; anything else 0.
    static qint64 integerValue(const QString& text);
    static qint64 integerValue(const QVariant& value);
    // true for a non-zero number or a text starting (after white space) with Y, y, T, t or a non-zero integer.
    static bool boolValue(const QVariant& value);

    // Siblings ordered by their numeric "order" attribute; stable. Lives with the XML tree in the model library.
    static QList<std::shared_ptr<QNXMLElement>> sortedXMLElements(const QList<std::shared_ptr<QNXMLElement>>& elements);
};
