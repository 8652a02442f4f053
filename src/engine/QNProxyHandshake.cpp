#include "engine/QNProxyHandshake.h"

// Placeholder until the handshakes land: every connection fails at hop 1.
struct QNProxyHandshake::State {
    QList<QNDecodedProxy> hops;
    QNEngineTarget target;
};

QNProxyHandshake::QNProxyHandshake(QList<QNDecodedProxy> hops, QNEngineTarget target)
    : _state(std::make_unique<State>(State{std::move(hops), std::move(target)})) {}

QNProxyHandshake::~QNProxyHandshake() = default;

std::optional<QNEngineTarget> QNProxyHandshake::firstHop() const {
    if (_state->hops.isEmpty()) {
        return std::nullopt;
    }
    const QNDecodedProxy& hop = _state->hops.first();
    QNEngineTarget target;
    target.address = hop.host;
    target.isIPv6 = hop.hostIsIPv6;
    target.port = hop.port;
    return target;
}

QNProxyHandshake::Status QNProxyHandshake::start() {
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
    return QStringLiteral("at hop 1 of %1: not implemented").arg(_state->hops.size());
}

std::unique_ptr<QNHTTPProxyStream> QNProxyHandshake::takeStream() {
    return nullptr;
}

QString QNProxyHandshake::describe(const QNDecodedProxy& proxy) {
    return QStringLiteral("\"%1\"").arg(proxy.name);
}
