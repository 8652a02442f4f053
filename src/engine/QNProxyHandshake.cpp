#include "engine/QNProxyHandshake.h"

#include "engine/QNHTTPHead.h"
#include "socks/QNSOCKSWire.h"
#include "util/QNConstants.h"

namespace {

using Wire = QNSOCKSWire;

// Proxy types as the profile stream numbers them.
enum ProxyType : quint32 {
    kSOCKS4 = 1,
    kSOCKS4A = 2,
    kSOCKS5 = 3,
    kHTTPTransparent = 4,
    kHTTPNonTransparent = 5,
    kHTTPConnect = 6,
    kSSHTunnel = 7,
};

bool isPlainHTTP(quint32 type) {
    return type == kHTTPTransparent || type == kHTTPNonTransparent;
}

QString typeName(quint32 type) {
    switch (type) {
    case kSOCKS4:
        return QStringLiteral("SOCKS4");
    case kSOCKS4A:
        return QStringLiteral("SOCKS4a");
    case kSOCKS5:
        return QStringLiteral("SOCKS5");
    case kHTTPTransparent:
        return QStringLiteral("HTTP transparent");
    case kHTTPNonTransparent:
        return QStringLiteral("HTTP");
    case kHTTPConnect:
        return QStringLiteral("HTTP CONNECT");
    case kSSHTunnel:
        return QStringLiteral("SSH tunnel");
    default:
        return QStringLiteral("type %1").arg(type);
    }
}

QNEngineTarget hopTarget(const QNDecodedProxy& proxy) {
    QNEngineTarget target;
    target.address = proxy.host;
    target.isIPv6 = proxy.hostIsIPv6;
    target.port = proxy.port;
    return target;
}

Wire::Address socks5Address(const QNEngineTarget& target) {
    if (target.hasUsableName()) {
        return Wire::Address::name(target.hostName.toLatin1(), target.port);
    }
    if (target.isIPv4()) {
        return Wire::Address::ipv4(target.address[3], target.port);
    }
    quint8 bytes[16];
    for (int i = 0; i < 16; ++i) {
        bytes[i] = quint8(target.address[i / 4] >> (24 - 8 * (i % 4)));
    }
    return Wire::Address::ipv6(bytes, target.port);
}

} // namespace

struct QNProxyHandshake::State {
    enum class Phase {
        Setup,
        SOCKS4Reply,
        SOCKS5Method,
        SOCKS5Authentication,
        SOCKS5Reply,
        ConnectReply,
        Done,
        Failed
    };

    QList<QNDecodedProxy> hops;
    QNEngineTarget target;
    qsizetype hop = 0;
    Phase phase = Phase::Setup;
    QByteArray input;
    QByteArray output;
    QByteArray leftover;
    qsizetype scanResume = 0;
    QString failure;
    std::unique_ptr<QNHTTPProxyStream> stream;

    qsizetype last() const { return hops.size() - 1; }
    const QNDecodedProxy& current() const { return hops[hop]; }
    // Hop index is asked to reach the next hop, the last one the destination.
    QNEngineTarget nextTarget(qsizetype index) const { return index == last() ? target : hopTarget(hops[index + 1]); }
    QString label(qsizetype index) const {
        return QStringLiteral("at hop %1 of %2 (%3)")
            .arg(index + 1)
            .arg(hops.size())
            .arg(QNProxyHandshake::describe(hops[index]));
    }

    Status failAt(qsizetype index, const QString& reason) {
        phase = Phase::Failed;
        failure = QStringLiteral("%1: %2").arg(label(index), reason);
        input.clear();
        return Status::Failed;
    }
    // The hop refused to reach what it was asked to: the next hop is the one that failed, or the
    // destination when this is the last.
    Status failConnect(const QString& reason) {
        if (hop == last()) {
            return failAt(hop, reason);
        }
        return failAt(hop + 1, QStringLiteral("not reachable through hop %1: %2").arg(hop + 1).arg(reason));
    }

    std::optional<QString> problem(qsizetype index) const;
    Status beginHop(qsizetype index);
    Status finishWithStream();
    Status advance();
    Status step(bool* progressed);
    Status stepSOCKS5Method(quint8 method);
    void sendSOCKS5Request();
};

std::optional<QString> QNProxyHandshake::State::problem(qsizetype index) const {
    const QNDecodedProxy& proxy = hops[index];
    const QNEngineTarget next = nextTarget(index);
    if (proxy.type < kSOCKS4 || proxy.type > kSSHTunnel) {
        return QStringLiteral("unknown proxy type %1").arg(proxy.type);
    }
    if (proxy.type == kSSHTunnel && index > 0) {
        return QStringLiteral("an SSH tunnel can only be the first hop");
    }
    if (proxy.type == kSSHTunnel && proxy.localTunnelPort.value_or(0) == 0) {
        return QStringLiteral("SSH tunnel is not running");
    }
    if (isPlainHTTP(proxy.type) && index != last()) {
        return QStringLiteral("a plain HTTP proxy can only be the last hop");
    }
    if ((proxy.type == kSOCKS4 || proxy.type == kSOCKS4A) && proxy.user && proxy.user->contains(QChar(0))) {
        return QStringLiteral("the user name contains a NUL character");
    }
    if (proxy.type == kSOCKS4 && !next.isIPv4()) {
        return QStringLiteral("SOCKS4 cannot reach the IPv6 address %1").arg(next.addressText());
    }
    if (proxy.type == kSOCKS5 && proxy.user &&
        Wire::encodeUserPassword(proxy.user->toUtf8(), proxy.password.value_or(QString()).toUtf8()).isEmpty()) {
        return QStringLiteral("user name or password longer than %1 bytes").arg(Wire::kFieldSizeMaximum);
    }
    return std::nullopt;
}

QNProxyHandshake::QNProxyHandshake(QList<QNDecodedProxy> hops, QNEngineTarget target)
    : _state(std::make_unique<State>()) {
    _state->hops = std::move(hops);
    _state->target = std::move(target);
    if (_state->hops.isEmpty()) {
        _state->phase = State::Phase::Failed;
        _state->failure = QStringLiteral("there is no proxy to go through");
        return;
    }
    for (qsizetype index = 0; index < _state->hops.size(); ++index) {
        if (const std::optional<QString> problem = _state->problem(index)) {
            _state->failAt(index, *problem);
            return;
        }
    }
}

QNProxyHandshake::~QNProxyHandshake() = default;

std::optional<QNEngineTarget> QNProxyHandshake::firstHop() const {
    if (_state->phase == State::Phase::Failed) {
        return std::nullopt;
    }
    const QNDecodedProxy& first = _state->hops.first();
    if (first.type == kSSHTunnel) {
        QNEngineTarget local;
        local.address[3] = 0x7F000001;
        local.port = *first.localTunnelPort;
        return local;
    }
    return hopTarget(first);
}

QNProxyHandshake::Status QNProxyHandshake::start() {
    if (_state->phase != State::Phase::Setup) {
        return _state->phase == State::Phase::Failed ? Status::Failed : Status::Continue;
    }
    const Status status = _state->beginHop(0);
    return status == Status::Continue ? _state->advance() : status;
}

QByteArray QNProxyHandshake::takeOutput() {
    return std::exchange(_state->output, QByteArray());
}

QNProxyHandshake::Status QNProxyHandshake::feed(QByteArrayView bytes) {
    switch (_state->phase) {
    case State::Phase::Failed:
        return Status::Failed;
    case State::Phase::Done:
        _state->leftover.append(bytes);
        return Status::Done;
    case State::Phase::Setup:
        _state->input.append(bytes);
        return Status::Continue;
    default:
        _state->input.append(bytes);
        return _state->advance();
    }
}

QNProxyHandshake::Status QNProxyHandshake::fail(const QString& reason) {
    if (_state->phase == State::Phase::Failed || _state->phase == State::Phase::Done) {
        return _state->phase == State::Phase::Failed ? Status::Failed : Status::Done;
    }
    return _state->failAt(_state->hop, reason);
}

QByteArray QNProxyHandshake::takeLeftover() {
    return std::exchange(_state->leftover, QByteArray());
}

QString QNProxyHandshake::failureReason() const {
    return _state->failure;
}

std::unique_ptr<QNHTTPProxyStream> QNProxyHandshake::takeStream() {
    return std::move(_state->stream);
}

QString QNProxyHandshake::describe(const QNDecodedProxy& proxy) {
    QString text = QStringLiteral("%1 \"%2\" %3").arg(typeName(proxy.type), proxy.name, hopTarget(proxy).toString());
    if (proxy.type == kSSHTunnel && proxy.localTunnelPort.value_or(0) != 0) {
        text += QStringLiteral(" (local port %1)").arg(*proxy.localTunnelPort);
    }
    return text;
}

QNProxyHandshake::Status QNProxyHandshake::State::beginHop(qsizetype index) {
    hop = index;
    scanResume = 0;
    const QNDecodedProxy& proxy = current();
    const QNEngineTarget next = nextTarget(index);
    switch (proxy.type) {
    case kSOCKS4:
    case kSOCKS4A: {
        Wire::Request4 request;
        request.command = Wire::kCommandConnect;
        request.port = next.port;
        request.userId = proxy.user.value_or(QString()).toUtf8();
        if (proxy.type == kSOCKS4A && (next.hasUsableName() || !next.isIPv4())) {
            // SOCKS 4a carries names; an IPv6 destination goes as its literal, which servers resolve.
            request.isSOCKS4A = true;
            request.hostName = next.hasUsableName() ? next.hostName.toLatin1() : next.addressText().toLatin1();
        } else {
            request.ipv4 = next.address[3];
        }
        output += Wire::encodeRequest4(request);
        phase = Phase::SOCKS4Reply;
        return Status::Continue;
    }
    case kSOCKS5:
    case kSSHTunnel: {
        // The tunnel's listener takes no credentials: the user and password are the SSH server's.
        const bool offerPassword = proxy.type == kSOCKS5 && proxy.user.has_value();
        QByteArray methods(1, char(Wire::kMethodNoAuthentication));
        if (offerPassword) {
            methods.append(char(Wire::kMethodUserPassword));
        }
        output += Wire::encodeGreeting5(methods);
        phase = Phase::SOCKS5Method;
        return Status::Continue;
    }
    case kHTTPConnect:
        output += QNHTTPHead::connectRequest(next.authority(), proxy.user, proxy.password);
        phase = Phase::ConnectReply;
        return Status::Continue;
    default:
        return finishWithStream();
    }
}

QNProxyHandshake::Status QNProxyHandshake::State::finishWithStream() {
    const QNDecodedProxy& proxy = current();
    phase = Phase::Done;
    if (proxy.type == kHTTPTransparent && !proxy.anonymize) {
        leftover += std::exchange(input, QByteArray());
        return Status::Done;
    }
    QNHTTPProxyStream::Settings settings;
    settings.mode =
        proxy.type == kHTTPTransparent ? QNHTTPProxyStream::Mode::Transparent : QNHTTPProxyStream::Mode::NonTransparent;
    settings.target = target;
    settings.user = proxy.user;
    settings.password = proxy.password;
    settings.anonymize = proxy.anonymize;
    settings.hopLabel = label(hop);
    stream = std::make_unique<QNHTTPProxyStream>(std::move(settings));
    QByteArray ignored;
    stream->fromProxy(std::exchange(input, QByteArray()), &leftover, &ignored);
    return Status::Done;
}

QNProxyHandshake::Status QNProxyHandshake::State::advance() {
    while (true) {
        bool progressed = false;
        const Status status = step(&progressed);
        if (status != Status::Continue || !progressed) {
            return status;
        }
    }
}

void QNProxyHandshake::State::sendSOCKS5Request() {
    output += Wire::encodeRequest5(Wire::kCommandConnect, socks5Address(nextTarget(hop)));
    phase = Phase::SOCKS5Reply;
}

QNProxyHandshake::Status QNProxyHandshake::State::stepSOCKS5Method(quint8 method) {
    const QNDecodedProxy& proxy = current();
    const bool hasUser = proxy.type == kSOCKS5 && proxy.user.has_value();
    if (method == Wire::kMethodNoAuthentication) {
        sendSOCKS5Request();
        return Status::Continue;
    }
    if (method == Wire::kMethodUserPassword && hasUser) {
        output += Wire::encodeUserPassword(proxy.user->toUtf8(), proxy.password.value_or(QString()).toUtf8());
        phase = Phase::SOCKS5Authentication;
        return Status::Continue;
    }
    if (method == Wire::kMethodNoneAcceptable || method == Wire::kMethodUserPassword) {
        return failAt(hop, hasUser ? QStringLiteral("the proxy accepts none of the offered authentication methods")
                                   : QStringLiteral("the proxy requires a user name and password"));
    }
    return failAt(
        hop, QStringLiteral("bad reply: the proxy chose authentication method %1, which was not offered").arg(method));
}

QNProxyHandshake::Status QNProxyHandshake::State::step(bool* progressed) {
    quint8 code = 0;
    Wire::Parse parse = Wire::Parse::NeedMore;
    qsizetype size = 0;
    switch (phase) {
    case Phase::SOCKS4Reply:
        parse = Wire::decodeReply4(input, &code);
        size = 8;
        break;
    case Phase::SOCKS5Method:
        parse = Wire::decodeMethodChoice5(input, &code);
        size = 2;
        break;
    case Phase::SOCKS5Authentication:
        parse = Wire::decodeUserPasswordReply(input, &code);
        size = 2;
        break;
    case Phase::SOCKS5Reply: {
        Wire::Address bound;
        parse = Wire::decodeMessage5(input, &code, &bound, &size);
        break;
    }
    case Phase::ConnectReply: {
        QString reason;
        int status = 0;
        const QNHTTPHead::Parse reply =
            QNHTTPHead::connectReply(input, &scanResume, current().user.has_value(), &size, &reason, &status);
        if (reply == QNHTTPHead::Parse::NeedMore) {
            return Status::Continue;
        }
        if (reply == QNHTTPHead::Parse::Invalid || status == 407 || status == 401) {
            return failAt(hop, reason);
        }
        if (!reason.isEmpty()) {
            return failConnect(reason);
        }
        parse = Wire::Parse::Complete;
        code = 0;
        break;
    }
    default:
        return phase == Phase::Failed ? Status::Failed : (phase == Phase::Done ? Status::Done : Status::Continue);
    }
    if (parse == Wire::Parse::NeedMore) {
        return Status::Continue;
    }
    if (parse == Wire::Parse::Invalid) {
        if (phase == Phase::SOCKS5Authentication) {
            return failAt(hop, QStringLiteral("bad reply to authentication"));
        }
        // The tunnel's listener speaks SOCKS 5.
        return failAt(hop, QStringLiteral("bad reply (not %1)")
                               .arg(typeName(current().type == kSSHTunnel ? kSOCKS5 : current().type)));
    }
    input.remove(0, size);
    *progressed = true;
    switch (phase) {
    case Phase::SOCKS4Reply:
        if (code != Wire::kReply4Granted) {
            return failConnect(Wire::reply4Text(code));
        }
        break;
    case Phase::SOCKS5Method:
        return stepSOCKS5Method(code);
    case Phase::SOCKS5Authentication:
        if (code != Wire::kUserPasswordSuccess) {
            return failAt(hop, QStringLiteral("authentication refused"));
        }
        sendSOCKS5Request();
        return Status::Continue;
    case Phase::SOCKS5Reply:
        if (code != Wire::kReply5Succeeded) {
            return failConnect(Wire::reply5Text(code));
        }
        break;
    default:
        break;
    }
    // This hop now reaches what it was asked to.
    if (hop == last()) {
        phase = Phase::Done;
        leftover += std::exchange(input, QByteArray());
        return Status::Done;
    }
    return beginHop(hop + 1);
}
