#pragma once

#include "engine/QNEngineTarget.h"
#include "kernel/QNProfileStreamDecoder.h"

#include <QByteArray>

#include <optional>

// Proxies and destinations as the profile decoder would hand them to the engine.
inline QNDecodedProxy testProxy(quint32 type, const QString& name, quint32 ipv4, quint16 port,
                                std::optional<QString> user = std::nullopt,
                                std::optional<QString> password = std::nullopt) {
    QNDecodedProxy proxy;
    proxy.type = type;
    proxy.name = name;
    proxy.host = {0, 0, 0, ipv4};
    proxy.port = port;
    proxy.user = std::move(user);
    proxy.password = std::move(password);
    return proxy;
}

inline QNEngineTarget testTarget(quint32 ipv4, quint16 port, const QString& hostName = QString()) {
    QNEngineTarget target;
    target.address = {0, 0, 0, ipv4};
    target.port = port;
    target.hostName = hostName;
    return target;
}

inline QNEngineTarget testTargetIPv6(const QNAddressWords& address, quint16 port) {
    QNEngineTarget target;
    target.address = address;
    target.isIPv6 = true;
    target.port = port;
    return target;
}

// "05 01 00" and the like.
inline QByteArray hexBytes(const char* hex) {
    return QByteArray::fromHex(QByteArray(hex));
}
