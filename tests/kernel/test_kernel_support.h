#pragma once

#include "kernel/QNAtomTypes.h"
#include "kernel/QNAtomWriter.h"
#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"

#include <QByteArray>
#include <QStringList>

#include <memory>

// Byte helpers and model builders shared by the kernel tests.
namespace qntest {

// Hex digits with any spacing: "0C000000 6D6E7270".
inline QByteArray hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text));
}

// A number as its bytes in host order.
template <typename T> QByteArray value(T number) {
    return QByteArray(reinterpret_cast<const char*>(&number), sizeof number);
}

inline QByteArray atom(quint32 type, const QByteArray& data = QByteArray()) {
    QByteArray buffer;
    QNAtomWriter::appendAtom(buffer, type, data);
    return buffer;
}

// A header that claims any length, for framing faults.
inline QByteArray header(quint32 length, quint32 type) {
    return value(length) + value(type);
}

inline QByteArray connMessage(qint32 count) {
    return atom(kQNAtomTypeConnections, value(count));
}

inline QByteArray logMessage(const QByteArray& utf8) {
    return atom(kQNAtomTypeLog, utf8);
}

// A .invalid name never resolves, and asking for it stays on this machine.
inline const QString kUnresolvableHost = QStringLiteral("nowhere.invalid");

inline std::shared_ptr<QNProxy> makeProxy(const QString& name, quint32 type, const QString& host, quint16 port,
                                          const QStringList& filterPorts = {}, const QString& username = {},
                                          const QString& password = {}) {
    return QNProxy::proxyWithName(name, type, host, port, username, password, filterPorts, false, 0, QByteArray(),
                                  QString(), QByteArray(), QString(), 0);
}

inline std::shared_ptr<QNRule> makeRule(const QString& name, const QStringList& hosts, const QStringList& ports,
                                        quint32 action, const std::shared_ptr<QNProxyItem>& proxy = nullptr,
                                        const QStringList& applications = {}, bool enabled = true) {
    return QNRule::ruleWithName(name, applications, hosts, ports, action, proxy, enabled);
}

inline std::shared_ptr<QNDNS> makeDNS(const QString& name, const QStringList& hosts, quint32 resolve,
                                      bool enabled = true) {
    return QNDNS::dnsWithName(name, hosts, resolve, enabled);
}

inline std::shared_ptr<QNProfile> makeProfile(const QString& name,
                                              const QList<std::shared_ptr<QNProxyItem>>& proxies = {},
                                              const QList<std::shared_ptr<QNRule>>& rules = {},
                                              const QList<std::shared_ptr<QNDNS>>& dns = {}) {
    return QNProfile::profileWithName(name, proxies, rules, dns, 1);
}

} // namespace qntest
