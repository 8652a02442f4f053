// The address operations of QNUtilities: literal and range parsing and name resolution.
#include "util/QNUtilities.h"

#include "util/QNTextScanning.h"

#include <QByteArray>
#include <QUrl>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

using namespace QNTextScanning;

namespace {

// Longer than any address text inet_pton accepts; spares converting hostile input.
constexpr qsizetype kMaxAddressTextLength = 64;

QNAddressWords wordsFromIPv6(const unsigned char* bytes) {
    QNAddressWords words{};
    for (int word = 0; word < 4; ++word) {
        words[word] = quint32(bytes[4 * word]) << 24 | quint32(bytes[4 * word + 1]) << 16 |
                      quint32(bytes[4 * word + 2]) << 8 | quint32(bytes[4 * word + 3]);
    }
    return words;
}

QNAddressWords wordsFromIPv4(const in_addr& address) {
    QNAddressWords words{};
    words[3] = ntohl(address.s_addr);
    return words;
}

// The text as a C string for inet_pton, or empty when it cannot be an address at all. An embedded
// NUL would otherwise cut the text short and let "127.0.0.1\0junk" pass.
QByteArray addressText(QStringView text) {
    if (text.isEmpty() || text.size() > kMaxAddressTextLength) {
        return QByteArray();
    }
    for (QChar unit : text) {
        if (unit.unicode() == 0 || unit.unicode() > 0x7E) {
            return QByteArray();
        }
    }
    return text.toLatin1();
}

bool parseIPv6(QStringView text, QNAddressWords* words) {
    const QByteArray ascii = addressText(text);
    in6_addr address{};
    if (ascii.isEmpty() || inet_pton(AF_INET6, ascii.constData(), &address) != 1) {
        return false;
    }
    *words = wordsFromIPv6(address.s6_addr);
    return true;
}

bool parseIPv4(QStringView text, QNAddressWords* words) {
    const QByteArray ascii = addressText(text);
    in_addr address{};
    if (ascii.isEmpty() || inet_pton(AF_INET, ascii.constData(), &address) != 1) {
        return false;
    }
    *words = wordsFromIPv4(address);
    return true;
}

bool parseIPRange(QStringView text, QNAddressWords& start, QNAddressWords& end, bool& isIPv6) {
    const QStringView whole = trimmed(text);
    const QList<QStringView> parts = whole.split(u'-');
    if (parts.size() == 2) {
        const QStringView first = trimmed(parts[0]);
        const QStringView second = trimmed(parts[1]);
        QNAddressWords firstWords{};
        QNAddressWords secondWords{};
        if (parseIPv6(first, &firstWords) && parseIPv6(second, &secondWords)) {
            start = firstWords;
            end = secondWords;
            isIPv6 = true;
            return true;
        }
        if (!parseIPv4(first, &start)) {
            return false;
        }
        return parseIPv4(second, &end);
    }
    if (parseIPv6(whole, &start)) {
        isIPv6 = true;
        return true;
    }
    return parseIPv4(whole, &start);
}

// The name to look up: a URL text stands for its host part. Null when the text is a URL without one.
QString lookupName(const QString& host) {
    const QUrl url(host, QUrl::TolerantMode);
    const QString scheme = url.scheme();
    // QUrl lower-cases the scheme, so the text is compared without regard to case.
    if (!url.isValid() || scheme.isEmpty() || !host.startsWith(scheme, Qt::CaseInsensitive)) {
        return host;
    }
    return url.host();
}

QByteArray encodedName(const QString& name) {
    QByteArray encoded;
    for (QChar unit : name) {
        if (unit.unicode() > 0x7F) {
            // International names go to the resolver in their ASCII form.
            encoded = QUrl::toAce(name);
            break;
        }
    }
    if (encoded.isEmpty()) {
        encoded = name.toUtf8();
    }
    return encoded.contains('\0') ? QByteArray() : encoded;
}

bool lookUp(const QByteArray& name, QNAddressWords& address, bool& isIPv6) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    // IPv6 only, without AI_V4MAPPED so no IPv4-mapped addresses; IPv4 only when that finds nothing.
    addrinfo* result = nullptr;
    hints.ai_family = AF_INET6;
    if (getaddrinfo(name.constData(), nullptr, &hints, &result) != 0) {
        result = nullptr;
        hints.ai_family = AF_INET;
        if (getaddrinfo(name.constData(), nullptr, &hints, &result) != 0) {
            return false;
        }
    }
    bool found = false;
    if (result != nullptr && result->ai_addr != nullptr) {
        if (result->ai_family == AF_INET6 && result->ai_addrlen >= socklen_t(sizeof(sockaddr_in6))) {
            sockaddr_in6 socketAddress{};
            std::memcpy(&socketAddress, result->ai_addr, sizeof socketAddress);
            address = wordsFromIPv6(socketAddress.sin6_addr.s6_addr);
            isIPv6 = true;
            found = true;
        } else if (result->ai_family == AF_INET && result->ai_addrlen >= socklen_t(sizeof(sockaddr_in))) {
            sockaddr_in socketAddress{};
            std::memcpy(&socketAddress, result->ai_addr, sizeof socketAddress);
            address = wordsFromIPv4(socketAddress.sin_addr);
            found = true;
        }
    }
    freeaddrinfo(result);
    return found;
}

bool resolve(const QString& host, QNAddressWords& address, bool& isIPv6) {
    if (parseIPv6(host, &address)) {
        isIPv6 = true;
        return true;
    }
    if (parseIPv4(host, &address)) {
        return true;
    }
    const QString name = lookupName(host);
    if (name.isEmpty()) {
        return false;
    }
    const QByteArray encoded = encodedName(name);
    if (encoded.isEmpty()) {
        return false;
    }
    QNAddressWords found{};
    bool foundIPv6 = false;
    if (!lookUp(encoded, found, foundIPv6)) {
        return false;
    }
    address = found;
    isIPv6 = foundIPv6;
    return true;
}

} // namespace

bool QNUtilities::parseIPRangeString(const QString& string, QNAddressWords* ipAddressStart,
                                     QNAddressWords* ipAddressEnd, bool* isIPv6) {
    QNAddressWords start{};
    QNAddressWords end{};
    bool family = false;
    const bool valid = parseIPRange(string, start, end, family);
    if (ipAddressStart) {
        *ipAddressStart = start;
    }
    if (ipAddressEnd) {
        *ipAddressEnd = end;
    }
    if (isIPv6) {
        *isIPv6 = family;
    }
    return valid;
}

bool QNUtilities::resolveHost(const QString& host, QNAddressWords* ipAddress, bool* isIPv6) {
    QNAddressWords address{};
    bool family = false;
    const bool valid = resolve(host, address, family);
    if (ipAddress) {
        *ipAddress = address;
    }
    if (isIPv6) {
        *isIPv6 = family;
    }
    return valid;
}
