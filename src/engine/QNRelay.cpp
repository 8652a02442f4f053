#include "QNRelay.h"

#include "util/QNSystemError.h"

#include "QNEngineText.h"
#include "QNLoopbackSocket.h"
#include "QNNameTable.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

// The kernel's option names for the pre-redirect destination; the netfilter headers that define them do
// not mix with the C library's.
#ifndef SO_ORIGINAL_DST
#define SO_ORIGINAL_DST 80
#endif
#ifndef IP6T_SO_ORIGINAL_DST
#define IP6T_SO_ORIGINAL_DST 80
#endif

namespace {

constexpr int kEventBatch = 256;
constexpr int kAcceptBatch = 64;
constexpr int kListenBacklog = 1024;

// Whether an address belongs to this machine: only a local address can be bound.
bool isLocalAddress(const QNEngineTarget& target) {
    const int fd = ::socket(target.isIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    // Any port: only whether the address can be bound matters.
    QNEngineTarget anyPort = target;
    anyPort.port = 0;
    socklen_t length = 0;
    const sockaddr_storage address = anyPort.socketAddress(&length);
    const int result = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length);
    ::close(fd);
    return result == 0;
}

} // namespace

QNRelay::QNRelay(quint32 mark, int connectTimeoutSeconds, Callbacks callbacks, QObject* parent)
    : QObject(parent)
    , _mark(mark)
    , _connectTimeoutSeconds(connectTimeoutSeconds)
    , _callbacks(std::move(callbacks)) {
    _deadlineTimer.setInterval(1000);
    connect(&_deadlineTimer, &QTimer::timeout, this, [this] {
        checkDeadlines();
        collect();
    });
}

QNRelay::~QNRelay() {
    _connections.clear();
    for (const auto& [token, fd] : _waiting) {
        ::close(fd);
    }
    for (const std::shared_ptr<Listener>& listener : std::as_const(_listeners)) {
        for (QNRelayConnection::Endpoint& endpoint : listener->endpoints) {
            if (endpoint.fd >= 0) {
                ::close(endpoint.fd);
            }
        }
    }
    delete _notifier;
    if (_epollFd >= 0) {
        ::close(_epollFd);
    }
}

bool QNRelay::start(QString* error) {
    _epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (_epollFd < 0) {
        *error = QStringLiteral("cannot create an epoll set: %1").arg(QNSystemErrorText());
        return false;
    }
    _notifier = new QSocketNotifier(_epollFd, QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, &QNRelay::processEvents);
    _deadlineTimer.start();
    return true;
}

std::optional<quint16> QNRelay::listen(quint32 uid, QString* error) {
    if (const auto it = _listeners.constFind(uid); it != _listeners.cend()) {
        return (*it)->port;
    }
    // The redirect names one port for both families, so the IPv6 socket must get the IPv4 one's number;
    // when another program holds it on ::1, try another.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const int fd4 = QNLoopbackSocket::bind(AF_INET, SOCK_STREAM, 0, kListenBacklog);
        if (fd4 < 0) {
            *error = QStringLiteral("cannot listen on 127.0.0.1: %1").arg(QNSystemErrorText());
            return std::nullopt;
        }
        const quint16 port = QNLoopbackSocket::port(fd4);
        int fd6 = QNLoopbackSocket::bind(AF_INET6, SOCK_STREAM, port, kListenBacklog);
        if (fd6 < 0 && errno == EADDRINUSE) {
            ::close(fd4);
            continue;
        }
        // Without IPv6 on this machine there is nothing to redirect to ::1: IPv4 alone is served.
        if (fd6 < 0 && errno != EADDRNOTAVAIL && errno != EAFNOSUPPORT) {
            ::close(fd4);
            *error = QStringLiteral("cannot listen on ::1: %1").arg(QNSystemErrorText());
            return std::nullopt;
        }
        auto listener = std::make_shared<Listener>();
        listener->uid = uid;
        listener->port = port;
        listener->endpoints[0] = QNRelayConnection::Endpoint{nullptr, fd4, EPOLLIN, true};
        listener->endpoints[1] = QNRelayConnection::Endpoint{nullptr, fd6, EPOLLIN, true};
        for (QNRelayConnection::Endpoint& endpoint : listener->endpoints) {
            if (endpoint.fd < 0) {
                continue;
            }
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.ptr = &endpoint;
            ::epoll_ctl(_epollFd, EPOLL_CTL_ADD, endpoint.fd, &event);
        }
        _listeners.insert(uid, listener);
        return port;
    }
    *error = QStringLiteral("no port free on both 127.0.0.1 and ::1");
    return std::nullopt;
}

void QNRelay::stopListening(quint32 uid) {
    const std::shared_ptr<Listener> listener = _listeners.take(uid);
    if (!listener) {
        return;
    }
    for (QNRelayConnection::Endpoint& endpoint : listener->endpoints) {
        if (endpoint.fd >= 0) {
            ::close(endpoint.fd);
            endpoint.fd = -1;
        }
    }
    _closedListeners.push_back(listener);
}

QMap<quint32, quint16> QNRelay::ports() const {
    QMap<quint32, quint16> result;
    for (auto it = _listeners.cbegin(); it != _listeners.cend(); ++it) {
        result.insert(it.key(), (*it)->port);
    }
    return result;
}

QNRelayCounters QNRelay::counters(quint32 uid) const {
    const auto it = _counters.constFind(uid);
    return it == _counters.cend() ? QNRelayCounters{} : **it;
}

void QNRelay::resetBytes(quint32 uid) {
    const std::shared_ptr<QNRelayCounters> counters = countersFor(uid);
    counters->received = 0;
    counters->sent = 0;
}

std::shared_ptr<QNRelayCounters> QNRelay::countersFor(quint32 uid) {
    auto it = _counters.find(uid);
    if (it == _counters.end()) {
        it = _counters.insert(uid, std::make_shared<QNRelayCounters>());
    }
    return *it;
}

void QNRelay::processEvents() {
    epoll_event events[kEventBatch];
    for (;;) {
        const int count = ::epoll_wait(_epollFd, events, kEventBatch, 0);
        for (int index = 0; index < count; ++index) {
            auto* endpoint = static_cast<QNRelayConnection::Endpoint*>(events[index].data.ptr);
            if (endpoint->owner != nullptr) {
                endpoint->owner->handle(endpoint, events[index].events);
                if (endpoint->owner->isFinished()) {
                    _finished.push_back(endpoint->owner);
                }
                continue;
            }
            for (const std::shared_ptr<Listener>& listener : std::as_const(_listeners)) {
                for (QNRelayConnection::Endpoint& candidate : listener->endpoints) {
                    if (&candidate == endpoint) {
                        accept(*listener, candidate.fd);
                    }
                }
            }
        }
        collect();
        if (count < kEventBatch) {
            return;
        }
    }
}

void QNRelay::collect() {
    for (QNRelayConnection* connection : _finished) {
        _connections.erase(connection);
    }
    _finished.clear();
    _closedListeners.clear();
}

void QNRelay::accept(Listener& listener, int fd) {
    for (int round = 0; round < kAcceptBatch && fd >= 0; ++round) {
        const int client = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                _callbacks.log(listener.uid, QStringLiteral("cannot accept a connection: %1").arg(QNSystemErrorText()));
            }
            return;
        }
        route(listener.uid, client);
    }
}

namespace {

void resetClient(int fd) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
}

} // namespace

bool QNRelay::needsRealAddress(const QNEngineTarget& target, const QNRouteDecision& decision) {
    constexpr quint32 kProxyTypeSOCKS4 = 1;
    if (target.isIPv6 || !QNNameTable::isFake(target.address[3])) {
        return false;
    }
    return decision.action == QNRouteDecision::Action::Direct ||
           (decision.action == QNRouteDecision::Action::Proxy && !decision.hops.isEmpty() &&
            decision.hops.constLast().type == kProxyTypeSOCKS4);
}

quint64 QNRelay::wait(int clientFd) {
    const quint64 token = _nextWaiting++;
    _waiting.emplace(token, clientFd);
    return token;
}

std::optional<int> QNRelay::stopWaiting(quint64 token) {
    const auto it = _waiting.find(token);
    if (it == _waiting.end()) {
        return std::nullopt;
    }
    const int fd = it->second;
    _waiting.erase(it);
    return fd;
}

void QNRelay::route(quint32 uid, int clientFd) {
    std::optional<QNEngineTarget> target = originalDestination(clientFd);
    const auto log = [this, uid](const QString& line) { _callbacks.log(uid, line); };
    if (!target) {
        log(QStringLiteral("a connection without a known destination was refused"));
    } else if (isOwnListener(*target)) {
        log(QStringLiteral("connection to %1 refused: it would loop back into the engine")
                .arg(QNEngineText::target(*target)));
    } else if (_callbacks.name && !_callbacks.name(uid, *target)) {
        log(QStringLiteral("connection to %1 refused: the name it stands for is no longer known")
                .arg(QNEngineText::target(*target)));
    } else if (!_callbacks.identify) {
        decide(uid, clientFd, *target);
        return;
    } else {
        const quint64 token = wait(clientFd);
        _callbacks.identify(uid, clientFd, *target,
                            [this, token, uid, target = *target](const QString& executable) mutable {
                                if (const std::optional<int> fd = stopWaiting(token)) {
                                    target.application = executable;
                                    decide(uid, *fd, target);
                                }
                            });
        return;
    }
    resetClient(clientFd);
}

void QNRelay::decide(quint32 uid, int clientFd, const QNEngineTarget& target) {
    std::optional<QNRouteDecision> decision = _callbacks.route(uid, target);
    if (!decision) {
        resetClient(clientFd);
        return;
    }
    if (!needsRealAddress(target, *decision) || !_callbacks.resolve) {
        relay(uid, clientFd, target, std::move(*decision));
        return;
    }
    // The name is resolved here, as the program itself would have, and the connection goes on to that address.
    const quint64 token = wait(clientFd);
    _callbacks.resolve(
        target.hostName, [this, token, uid, target, decision = *decision](std::optional<QNEngineTarget> address) {
            const std::optional<int> fd = stopWaiting(token);
            if (!fd) {
                return;
            }
            if (!address) {
                _callbacks.log(uid, QStringLiteral("connection to %1 failed: the name could not be resolved")
                                        .arg(QNEngineText::target(target)));
                resetClient(*fd);
                return;
            }
            QNEngineTarget resolved = target;
            resolved.address = address->address;
            resolved.isIPv6 = address->isIPv6;
            relay(uid, *fd, resolved, decision);
        });
}

void QNRelay::relay(quint32 uid, int clientFd, const QNEngineTarget& target, QNRouteDecision decision) {
    const auto log = [this, uid](const QString& line) { _callbacks.log(uid, line); };
    auto connection =
        std::make_unique<QNRelayConnection>(_epollFd, clientFd, target, std::move(decision), countersFor(uid), log);
    QNRelayConnection* pointer = connection.get();
    if (pointer->start(_mark, QNRelayConnection::Clock::now() + std::chrono::seconds(_connectTimeoutSeconds))) {
        _connections.emplace(pointer, std::move(connection));
    }
}

std::optional<QNEngineTarget> QNRelay::originalDestination(int fd) const {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) < 0) {
        return std::nullopt;
    }
    sockaddr_storage original{};
    length = sizeof original;
    const bool ipv6 = local.ss_family == AF_INET6;
    if (::getsockopt(fd, ipv6 ? SOL_IPV6 : SOL_IP, ipv6 ? IP6T_SO_ORIGINAL_DST : SO_ORIGINAL_DST, &original, &length) <
        0) {
        return std::nullopt;
    }
    return QNEngineTarget::fromSocketAddress(original);
}

bool QNRelay::isOwnListener(const QNEngineTarget& target) const {
    bool ownPort = false;
    for (const std::shared_ptr<Listener>& listener : _listeners) {
        ownPort = ownPort || listener->port == target.port;
    }
    return ownPort && isLocalAddress(target);
}

void QNRelay::checkDeadlines() {
    const QNRelayConnection::Clock::time_point now = QNRelayConnection::Clock::now();
    for (auto& [pointer, connection] : _connections) {
        connection->checkDeadline(now);
        if (connection->isFinished()) {
            _finished.push_back(pointer);
        }
    }
}
