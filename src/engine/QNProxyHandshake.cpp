#include "QNProxyHandshake.h"

// Placeholder until the proxy protocols land: every proxied connection fails at its first hop.

QNProxyHandshake::QNProxyHandshake(QList<QNDecodedProxy> hops, QNEngineTarget target)
    : _hops(std::move(hops))
    , _target(std::move(target)) {}

QNProxyHandshake::~QNProxyHandshake() = default;

std::optional<QNEngineTarget> QNProxyHandshake::firstHop() const {
    if (_hops.isEmpty()) {
        return std::nullopt;
    }
    const QNDecodedProxy& hop = _hops.constFirst();
    return QNEngineTarget{hop.host, hop.hostIsIPv6, hop.port, {}};
}

QNProxyHandshake::Status QNProxyHandshake::start() {
    _failureReason = QStringLiteral("at hop 1 of %1: proxies are not supported yet").arg(_hops.size());
    return Status::Failed;
}

QByteArray QNProxyHandshake::takeOutput() {
    return {};
}

QNProxyHandshake::Status QNProxyHandshake::feed(QByteArrayView) {
    return Status::Failed;
}

QByteArray QNProxyHandshake::takeLeftover() {
    return {};
}

QString QNProxyHandshake::failureReason() const {
    return _failureReason;
}

std::unique_ptr<QNHTTPProxyStream> QNProxyHandshake::takeStream() {
    return nullptr;
}
