#include "QNRelayConnection.h"

#include "util/QNSystemError.h"

#include "QNEngineText.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr quint32 kIn = EPOLLIN;
constexpr quint32 kOut = EPOLLOUT;
constexpr qsizetype kReadChunk = 16 * 1024;
// Rounds of read-then-write per direction and event, so one busy connection cannot starve the rest.
constexpr int kPumpRounds = 4;

QString errnoText(int error) {
    QString text = QNSystemErrorText(error);
    if (!text.isEmpty()) {
        text[0] = text[0].toLower();
    }
    return text;
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

QNRelayConnection::QNRelayConnection(int epollFd, int clientFd, QNEngineTarget target, QNRouteDecision decision,
                                     std::shared_ptr<QNRelayCounters> counters, std::function<void(const QString&)> log)
    : _epollFd(epollFd)
    , _target(std::move(target))
    , _decision(std::move(decision))
    , _counters(std::move(counters))
    , _log(std::move(log)) {
    _client = Endpoint{this, clientFd, 0, false};
    _server = Endpoint{this, -1, 0, false};
    _up.from = &_client;
    _up.to = &_server;
    _up.counter = &_counters->sent;
    _down.from = &_server;
    _down.to = &_client;
    _down.counter = &_counters->received;
    ++_counters->connections;
}

QNRelayConnection::~QNRelayConnection() {
    finish(true);
}

bool QNRelayConnection::start(quint32 mark, Clock::time_point deadline) {
    _deadline = deadline;
    const int one = 1;
    ::setsockopt(_client.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (_decision.action == QNRouteDecision::Action::Block) {
        _log(QStringLiteral("%1 %2").arg(QNEngineText::target(_target), QNEngineText::route(_decision)));
        finish(true);
        return false;
    }

    QNEngineTarget next = _target;
    if (_decision.action == QNRouteDecision::Action::Proxy) {
        _handshake = std::make_unique<QNProxyHandshake>(_decision.hops, _target);
        const std::optional<QNEngineTarget> hop = _handshake->firstHop();
        if (!hop) {
            fail(QStringLiteral(" %1").arg(_handshake->failureReason()));
            return false;
        }
        next = *hop;
    }

    _server.fd = ::socket(next.isIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (_server.fd < 0) {
        fail(QStringLiteral(": cannot open a socket: %1").arg(errnoText(errno)));
        return false;
    }
    // The mark lets the engine's own connections pass interception; without it they would loop.
    if (::setsockopt(_server.fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) < 0) {
        fail(QStringLiteral(": cannot mark the engine's socket: %1").arg(errnoText(errno)));
        return false;
    }
    ::setsockopt(_server.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    socklen_t length = 0;
    const sockaddr_storage address = next.socketAddress(&length);
    if (::connect(_server.fd, reinterpret_cast<const sockaddr*>(&address), length) < 0 && errno != EINPROGRESS) {
        const int error = errno;
        fail(_handshake ? QStringLiteral(" %1").arg(QNEngineText::hopFailure(_decision.hops, errnoText(error)))
                        : QStringLiteral(": %1").arg(errnoText(error)));
        return false;
    }
    updateInterest();
    return true;
}

void QNRelayConnection::handle(Endpoint* endpoint, quint32 events) {
    if (_state == State::Finished) {
        return;
    }
    if (_state == State::Connecting) {
        if (endpoint == &_server) {
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(_server.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                fail(_handshake ? QStringLiteral(" %1").arg(QNEngineText::hopFailure(_decision.hops, errnoText(error)))
                                : QStringLiteral(": %1").arg(errnoText(error)));
                return;
            }
            connected();
        }
    } else if (_state == State::Handshaking) {
        if (endpoint == &_server) {
            readHandshake();
        }
    } else if ((events & EPOLLERR) != 0) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(endpoint->fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            finish(true);
            return;
        }
        pumpAll();
    } else {
        pumpAll();
    }
    updateInterest();
}

void QNRelayConnection::checkDeadline(Clock::time_point now) {
    if (now < _deadline) {
        return;
    }
    if (_state == State::Connecting) {
        const QString why = QStringLiteral("no answer within the connection time-out");
        fail(_handshake ? QStringLiteral(" %1").arg(QNEngineText::hopFailure(_decision.hops, why))
                        : QStringLiteral(": %1").arg(why));
    } else if (_state == State::Handshaking) {
        fail(QStringLiteral(": the proxy handshake did not finish within the connection time-out"));
    }
}

void QNRelayConnection::connected() {
    if (!_handshake) {
        _log(QStringLiteral("%1 %2").arg(QNEngineText::target(_target), QNEngineText::route(_decision)));
        startRelaying();
        return;
    }
    _state = State::Handshaking;
    const QNProxyHandshake::Status status = _handshake->start();
    _up.buffer += _handshake->takeOutput();
    if (status == QNProxyHandshake::Status::Failed) {
        fail(QStringLiteral(" %1").arg(_handshake->failureReason()));
        return;
    }
    if (status == QNProxyHandshake::Status::Done) {
        // A plain-HTTP proxy as the only hop: nothing to agree on before the client's bytes flow.
        _stream = _handshake->takeStream();
        _log(QStringLiteral("%1 %2").arg(QNEngineText::target(_target), QNEngineText::route(_decision)));
        startRelaying();
        return;
    }
    readHandshake();
}

void QNRelayConnection::readHandshake() {
    if (!flush(_up)) {
        return;
    }
    char bytes[kReadChunk];
    for (;;) {
        const ssize_t count = ::recv(_server.fd, bytes, sizeof bytes, 0);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && wouldBlock(errno)) {
            return;
        }
        if (count <= 0) {
            fail(count == 0
                     ? QStringLiteral(": the proxy closed the connection during its handshake")
                     : QStringLiteral(": the proxy connection failed during its handshake: %1").arg(errnoText(errno)));
            return;
        }
        const QNProxyHandshake::Status status = _handshake->feed(QByteArrayView(bytes, count));
        _up.buffer += _handshake->takeOutput();
        if (status == QNProxyHandshake::Status::Failed) {
            fail(QStringLiteral(" %1").arg(_handshake->failureReason()));
            return;
        }
        if (status == QNProxyHandshake::Status::Done) {
            _down.buffer = _handshake->takeLeftover();
            *_down.counter += quint64(_down.buffer.size());
            _stream = _handshake->takeStream();
            _log(QStringLiteral("%1 %2").arg(QNEngineText::target(_target), QNEngineText::route(_decision)));
            startRelaying();
            return;
        }
        if (!flush(_up)) {
            return;
        }
    }
}

void QNRelayConnection::startRelaying() {
    _state = State::Relaying;
    if (!_stream) {
        // Without pipes (descriptors exhausted) the bytes go through the buffers instead.
        for (Direction* direction : {&_up, &_down}) {
            if (::pipe2(direction->pipe, O_NONBLOCK | O_CLOEXEC) < 0) {
                direction->pipe[0] = direction->pipe[1] = -1;
            }
        }
    }
    pumpAll();
}

void QNRelayConnection::pumpAll() {
    if (!pump(_up, true) || !pump(_down, false)) {
        return;
    }
    if (_up.done() && _down.done()) {
        finish(false);
    }
}

bool QNRelayConnection::pump(Direction& direction, bool fromClient) {
    if (!flush(direction)) {
        return false;
    }
    // A few rounds per wake-up while bytes keep coming, so a fast pair moves more than one pipe's worth
    // before going back to epoll; a round that took nothing in, or could not pass it on, ends it.
    for (int round = 0; round < kPumpRounds; ++round) {
        const quint64 taken = *direction.counter;
        const bool ended = direction.ended;
        if (!fill(direction, fromClient) || !flush(direction)) {
            return false;
        }
        const bool progressed = *direction.counter != taken || direction.ended != ended;
        if (!progressed || direction.buffer.size() + direction.inPipe > 0) {
            break;
        }
    }
    if (direction.ended && direction.buffer.isEmpty() && direction.inPipe == 0 && !direction.shutDown) {
        ::shutdown(direction.to->fd, SHUT_WR);
        direction.shutDown = true;
    }
    return true;
}

bool QNRelayConnection::flush(Direction& direction) {
    while (!direction.buffer.isEmpty()) {
        const ssize_t count =
            ::send(direction.to->fd, direction.buffer.constData(), size_t(direction.buffer.size()), MSG_NOSIGNAL);
        if (count > 0) {
            direction.buffer.remove(0, count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && wouldBlock(errno)) {
            return true;
        } else {
            finish(true);
            return false;
        }
    }
    while (direction.inPipe > 0) {
        const ssize_t count = ::splice(direction.pipe[0], nullptr, direction.to->fd, nullptr, size_t(direction.inPipe),
                                       SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (count > 0) {
            direction.inPipe -= count;
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && wouldBlock(errno)) {
            return true;
        } else {
            finish(true);
            return false;
        }
    }
    return true;
}

bool QNRelayConnection::fill(Direction& direction, bool fromClient) {
    if (direction.ended) {
        return true;
    }
    const bool splicing = !_stream && direction.pipe[0] >= 0;
    const qsizetype room = kMaximumInFlight - (splicing ? direction.inPipe : direction.buffer.size());
    if (room <= 0) {
        return true;
    }
    ssize_t count = 0;
    char bytes[kReadChunk];
    if (splicing) {
        count = ::splice(direction.from->fd, nullptr, direction.pipe[1], nullptr, size_t(room),
                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    } else {
        count = ::recv(direction.from->fd, bytes, size_t(qMin(room, kReadChunk)), 0);
    }
    if (count < 0) {
        if (errno == EINTR || wouldBlock(errno)) {
            return true;
        }
        finish(true);
        return false;
    }
    if (count == 0) {
        direction.ended = true;
        return true;
    }
    *direction.counter += quint64(count);
    if (splicing) {
        direction.inPipe += count;
        return true;
    }
    if (!_stream) {
        direction.buffer.append(bytes, count);
        return true;
    }
    QByteArray output;
    QByteArray heldForProxy;
    const QByteArrayView view(bytes, count);
    const QNHTTPProxyStream::Status status =
        fromClient ? _stream->fromClient(view, &output) : _stream->fromProxy(view, &output, &heldForProxy);
    if (status == QNHTTPProxyStream::Status::Failed) {
        _log(QStringLiteral("connection to %1 reset: %2").arg(QNEngineText::target(_target), _stream->failureReason()));
        finish(true);
        return false;
    }
    direction.buffer += output;
    _up.buffer += heldForProxy;
    return true;
}

void QNRelayConnection::updateInterest() {
    if (_state == State::Finished) {
        return;
    }
    quint32 client = 0;
    quint32 server = 0;
    if (_state == State::Connecting) {
        server = kOut;
    } else if (_state == State::Handshaking) {
        server = kIn | (_up.buffer.isEmpty() ? 0 : kOut);
    } else {
        const auto wantsRead = [this](const Direction& direction) {
            const bool splicing = !_stream && direction.pipe[0] >= 0;
            return !direction.ended && (splicing ? direction.inPipe : direction.buffer.size()) < kMaximumInFlight;
        };
        const auto holds = [](const Direction& direction) {
            return !direction.buffer.isEmpty() || direction.inPipe > 0;
        };
        client = (wantsRead(_up) ? kIn : 0) | (holds(_down) ? kOut : 0);
        server = (wantsRead(_down) ? kIn : 0) | (holds(_up) ? kOut : 0);
    }
    setMask(_client, client);
    setMask(_server, server);
}

void QNRelayConnection::setMask(Endpoint& endpoint, quint32 mask) {
    // A socket with nothing to wait for leaves the epoll set: a peer that hung up would otherwise be
    // reported again and again while the other side is slow.
    if (mask == 0) {
        if (endpoint.registered) {
            ::epoll_ctl(_epollFd, EPOLL_CTL_DEL, endpoint.fd, nullptr);
            endpoint.registered = false;
        }
        endpoint.mask = 0;
        return;
    }
    if (endpoint.registered && endpoint.mask == mask) {
        return;
    }
    epoll_event event{};
    event.events = mask;
    event.data.ptr = &endpoint;
    ::epoll_ctl(_epollFd, endpoint.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, endpoint.fd, &event);
    endpoint.registered = true;
    endpoint.mask = mask;
}

void QNRelayConnection::fail(const QString& detail) {
    _log(QStringLiteral("connection to %1 failed%2").arg(QNEngineText::target(_target), detail));
    finish(true);
}

void QNRelayConnection::finish(bool resetClient) {
    if (_state == State::Finished) {
        return;
    }
    _state = State::Finished;
    --_counters->connections;
    if (resetClient && _client.fd >= 0) {
        // Closing with a zero linger sends a reset instead of an orderly end.
        const linger reset{1, 0};
        ::setsockopt(_client.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    // Closing a descriptor takes it out of the epoll set.
    closeFd(_client.fd);
    closeFd(_server.fd);
    _client.registered = _server.registered = false;
    for (Direction* direction : {&_up, &_down}) {
        closeFd(direction->pipe[0]);
        closeFd(direction->pipe[1]);
    }
}
