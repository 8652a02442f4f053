#include "engine/QNEngineTarget.h"
#include <cstring>
#include <netinet/in.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>

namespace {

constexpr qsizetype kNameSizeMaximum = 255;

bool isNameCharacter(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'_' ||
           c == u'.';
}

} // namespace

bool QNEngineTarget::isIPv4() const {
    return !isIPv6 || (address[0] == 0 && address[1] == 0 && address[2] == 0xFFFF);
}

bool QNEngineTarget::hasUsableName() const {
    if (hostName.isEmpty() || hostName.size() > kNameSizeMaximum) {
        return false;
    }
    return std::all_of(hostName.cbegin(), hostName.cend(), isNameCharacter);
}

QString QNEngineTarget::addressText() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (isIPv4()) {
        const in_addr ipv4{htonl(address[3])};
        inet_ntop(AF_INET, &ipv4, text, sizeof(text));
        return QString::fromLatin1(text);
    }
    in6_addr ipv6{};
    for (int i = 0; i < 16; ++i) {
        ipv6.s6_addr[i] = quint8(address[i / 4] >> (24 - 8 * (i % 4)));
    }
    inet_ntop(AF_INET6, &ipv6, text, sizeof(text));
    return QString::fromLatin1(text);
}

QByteArray QNEngineTarget::authority(bool omitPort80) const {
    QByteArray host;
    if (hasUsableName()) {
        host = hostName.toLatin1();
    } else if (isIPv4()) {
        host = addressText().toLatin1();
    } else {
        host = '[' + addressText().toLatin1() + ']';
    }
    if (omitPort80 && port == 80) {
        return host;
    }
    return host + ':' + QByteArray::number(port);
}

QString QNEngineTarget::toString() const {
    const QString host = addressText();
    return isIPv4() ? QStringLiteral("%1:%2").arg(host).arg(port) : QStringLiteral("[%1]:%2").arg(host).arg(port);
}

sockaddr_storage QNEngineTarget::socketAddress(socklen_t* length) const {
    sockaddr_storage storage{};
    if (isIPv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        for (int word = 0; word < 4; ++word) {
            const quint32 network = htonl(address[size_t(word)]);
            std::memcpy(in6->sin6_addr.s6_addr + 4 * word, &network, 4);
        }
        *length = sizeof(sockaddr_in6);
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address[3]);
        *length = sizeof(sockaddr_in);
    }
    return storage;
}

std::optional<QNEngineTarget> QNEngineTarget::fromSocketAddress(const sockaddr_storage& storage) {
    QNEngineTarget target;
    if (storage.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage);
        target.isIPv6 = true;
        for (int word = 0; word < 4; ++word) {
            quint32 network = 0;
            std::memcpy(&network, in6.sin6_addr.s6_addr + 4 * word, 4);
            target.address[size_t(word)] = ntohl(network);
        }
        target.port = ntohs(in6.sin6_port);
        return target;
    }
    if (storage.ss_family == AF_INET) {
        const auto& in4 = reinterpret_cast<const sockaddr_in&>(storage);
        target.address = {0, 0, 0, ntohl(in4.sin_addr.s_addr)};
        target.port = ntohs(in4.sin_port);
        return target;
    }
    return std::nullopt;
}
