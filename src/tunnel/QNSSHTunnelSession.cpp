#include "tunnel/QNSSHTunnelSession.h"

#include "model/QNProxy.h"
#include "tunnel/QNSSHTunnelConnection.h"
#include "tunnel/QNSSHTunnelServer.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"
#include "util/QNSystemError.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <libssh/server.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Every session's messages go through this one object on the main thread. It is never deleted, so a
// delegate call it delivers may release the session and the server that sent it.
QObject* mainThreadMailbox() {
    static QObject* mailbox = new QObject;
    return mailbox;
}

// Rounds of connection work per wake-up: work that one connection's libssh calls create for another is
// picked up at once, without looping forever.
constexpr int kServiceRounds = 8;
// How long accepting pauses when the process is out of descriptors.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// A keep-alive interval longer than this is taken as this (a day), so time arithmetic cannot overflow.
constexpr qint64 kAliveIntervalMaximum = 24 * 60 * 60;

int millisecondsUntil(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return int(std::clamp<qint64>(left + 1, 0, std::numeric_limits<int>::max()));
}

} // namespace

std::shared_ptr<QNSSHTunnelSession>
QNSSHTunnelSession::sshTunnelSessionWithProxy(const std::shared_ptr<QNProxy>& proxy, quint32 verbosity,
                                              const std::weak_ptr<QNSSHTunnelServer>& server) {
    return std::make_shared<QNSSHTunnelSession>(proxy, verbosity, server);
}

QNSSHTunnelSession::QNSSHTunnelSession(const std::shared_ptr<QNProxy>& proxy, quint32 verbosity,
                                       const std::weak_ptr<QNSSHTunnelServer>& server)
    : _proxy(proxy)
    , _server(server)
    , _verbosity(verbosity) {
    mainThreadMailbox();
    _wakeFD = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

QNSSHTunnelSession::~QNSSHTunnelSession() {
    stop();
    if (_serverSocket >= 0) {
        close(_serverSocket);
    }
    if (_wakeFD >= 0) {
        close(_wakeFD);
    }
}

quint16 QNSSHTunnelSession::createServerSocket() {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        return 0;
    }
    const int reuse = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    // Loopback only: a wildcard address would open the tunnel to the whole network.
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, SOMAXCONN) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listener);
        return 0;
    }
    _serverSocket = listener;
    _port = ntohs(address.sin_port);
    _proxy->setLocalTunnelPort(_port);
    return _port;
}

void QNSSHTunnelSession::start() {
    if (_thread.joinable()) {
        return;
    }
    _thread = std::thread([this] { run(); });
}

void QNSSHTunnelSession::stop() {
    _quit = true;
    wake();
    if (_thread.joinable()) {
        _thread.join();
    }
    // What the thread said before it ended ("stopping", "stopped", a last error) reaches the server now.
    QCoreApplication::sendPostedEvents(mainThreadMailbox(), QEvent::MetaCall);
}

void QNSSHTunnelSession::wake() {
    if (_wakeFD >= 0) {
        const eventfd_t one = 1;
        eventfd_write(_wakeFD, one);
    }
}

void QNSSHTunnelSession::run() {
    // libssh keeps its log callback per thread.
    ssh_set_log_callback([](int, const char*, const char* text, void* userData) {
        static_cast<QNSSHTunnelSession*>(userData)->log(QString::fromUtf8(text));
    });
    ssh_set_log_userdata(this);
    if (connect() && !_quit) {
        serve();
    }
    disconnect();
    ssh_set_log_callback(nullptr);
    ssh_set_log_userdata(nullptr);
}

void QNSSHTunnelSession::serve() {
    std::vector<pollfd> descriptors;
    bool busy = false;
    while (!_quit) {
        descriptors.clear();
        descriptors.push_back({_wakeFD, POLLIN, 0});
        short sshEvents = POLLIN;
        if (ssh_get_status(_session) & SSH_WRITE_PENDING) {
            sshEvents |= POLLOUT;
        }
        descriptors.push_back({ssh_get_fd(_session), sshEvents, 0});
        const bool listening = _accepting && _serverSocket >= 0 && Clock::now() >= _acceptPausedUntil;
        descriptors.push_back({listening ? _serverSocket : -1, POLLIN, 0});
        const size_t polledConnections = _connections.size();
        for (const auto& connection : _connections) {
            descriptors.push_back(
                {connection->wantsPolling() ? connection->socket() : -1, connection->pollEvents(), 0});
        }

        const int ready = poll(descriptors.data(), nfds_t(descriptors.size()), busy ? 0 : pollTimeout());
        if (ready < 0 && errno != EINTR) {
            error(QNSystemErrorText());
            _quit = true;
            break;
        }
        if (descriptors[0].revents) {
            eventfd_t value = 0;
            eventfd_read(_wakeFD, &value);
        }
        if (_quit) {
            break;
        }
        if (descriptors[1].revents) {
            pumpSSH();
        }
        if (descriptors[2].revents) {
            acceptClients();
        }
        for (size_t index = 0; index < polledConnections; ++index) {
            if (const short revents = descriptors[3 + index].revents) {
                _connections[index]->handleEvents(revents);
            }
        }
        // Before the connections are served: a keep-alive may take in packets for them.
        if (_keepAlive && Clock::now() >= _aliveDue) {
            aliveTimer();
        }
        busy = serviceConnections();
        // libssh 0.10 leaves a session whose socket failed "connected" but in its error state.
        if (!ssh_is_connected(_session) || (ssh_get_status(_session) & (SSH_CLOSED | SSH_CLOSED_ERROR))) {
            const char* message = ssh_get_disconnect_message(_session);
            error(message ? QString::fromUtf8(message) : QNLocalizedString(QStringLiteral("sshTunnelFailed")));
            _quit = true;
        }
    }
}

int QNSSHTunnelSession::pollTimeout() const {
    // Idle, the loop sleeps until a socket or the wake-up descriptor is ready; only timers bound the wait.
    int timeout = -1;
    const auto bound = [&timeout](int milliseconds) {
        timeout = timeout < 0 ? milliseconds : std::min(timeout, milliseconds);
    };
    if (_keepAlive) {
        bound(millisecondsUntil(_aliveDue));
    }
    if (_accepting && Clock::now() < _acceptPausedUntil) {
        bound(millisecondsUntil(_acceptPausedUntil));
    }
    return timeout;
}

void QNSSHTunnelSession::pumpSSH() {
    // libssh takes 4 KiB off the socket per pass; several passes empty what a wake-up brought.
    for (int round = 0; round < kQNSSHTunnelSessionPumpRounds; ++round) {
        if (ssh_event_dopoll(_event, 0) != SSH_OK) {
            break;
        }
    }
    // Acknowledge at once: a server that sends small packets without TCP_NODELAY (sshd does for
    // forwarding) otherwise holds its next packet until our delayed acknowledgement, some 40 ms.
    const int quickAck = 1;
    setsockopt(ssh_get_fd(_session), IPPROTO_TCP, TCP_QUICKACK, &quickAck, sizeof(quickAck));
}

void QNSSHTunnelSession::acceptClients() {
    for (int accepted = 0; accepted < kQNSSHTunnelSessionAcceptsPerWake;) {
        const int client = accept4(_serverSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The client stays in the backlog; try again shortly instead of spinning on it.
                _acceptPausedUntil = Clock::now() + kAcceptPause;
            }
            return;
        }
        ++accepted;
        if (auto connection = QNSSHTunnelConnection::sshTunnelConnectionWithSocket(client, *this)) {
            _connections.push_back(std::move(connection));
        }
    }
}

bool QNSSHTunnelSession::serviceConnections() {
    bool progress = false;
    for (int round = 0; round < kServiceRounds; ++round) {
        const quint64 eventsBefore = _channelEvents;
        progress = false;
        for (const auto& connection : _connections) {
            progress |= connection->run();
        }
        // libssh calls made for one connection take in the packets of all of them. What arrived for a
        // connection after its turn (data, an end, a wider window) would otherwise wait for a packet that
        // may never come.
        if (!progress && !channelWorkArrivedSince(eventsBefore)) {
            break;
        }
        progress = true;
    }
    std::vector<QNSSHTunnelConnection*> finished;
    for (const auto& connection : _connections) {
        if (connection->isFinished()) {
            finished.push_back(connection.get());
        }
    }
    // Closing a channel flushes libssh's output, taking in packets for the others on the way.
    const quint64 eventsBeforeEnds = _channelEvents;
    for (QNSSHTunnelConnection* connection : finished) {
        endConnection(connection);
    }
    return progress || channelWorkArrivedSince(eventsBeforeEnds);
}

bool QNSSHTunnelSession::channelWorkArrivedSince(quint64 events) const {
    return _channelEvents != events || std::any_of(_connections.begin(), _connections.end(),
                                                   [](const auto& connection) { return connection->windowReopened(); });
}

void QNSSHTunnelSession::endConnection(QNSSHTunnelConnection* connection) {
    const auto found = std::find_if(_connections.begin(), _connections.end(),
                                    [connection](const auto& held) { return held.get() == connection; });
    if (found == _connections.end()) {
        return;
    }
    (*found)->stop();
    _connections.erase(found);
}

void QNSSHTunnelSession::updateAlive() {
    if (_keepAlive) {
        _aliveDue = Clock::now() + std::chrono::seconds(std::min(_proxy->serverAliveInterval(), kAliveIntervalMaximum));
    }
}

void QNSSHTunnelSession::aliveTimer() {
    // Without blocking, libssh leaves a keep-alive pending until its reply is looked at, and a call that
    // finds the reply only collects it. The second call sends when the first one only collected.
    ssh_send_keepalive(_session);
    ssh_send_keepalive(_session);
    _aliveDue = Clock::now() + std::chrono::seconds(std::min(_proxy->serverAliveInterval(), kAliveIntervalMaximum));
}

void QNSSHTunnelSession::post(std::function<void(QNSSHTunnelSession&)> message) {
    QMetaObject::invokeMethod(
        mainThreadMailbox(),
        [weak = weak_from_this(), message = std::move(message)] {
            // The strong reference keeps the session for the whole call, even when the delegate releases it.
            if (const auto self = weak.lock()) {
                message(*self);
            }
        },
        Qt::QueuedConnection);
}

void QNSSHTunnelSession::error(const QString& text) {
    post([text](QNSSHTunnelSession& session) { session.errorMain(text); });
}

void QNSSHTunnelSession::log(const QString& text) {
    post([text](QNSSHTunnelSession& session) { session.logMain(text); });
}

QString QNSSHTunnelSession::messageLine(const QString& text) const {
    return QStringLiteral("%1 - %2").arg(_proxy->summaryWithResourceBundle(QNStrings::mainBundle()), text);
}

void QNSSHTunnelSession::errorMain(const QString& text) {
    if (const auto server = _server.lock()) {
        server->sessionError(shared_from_this(), messageLine(text));
    }
}

void QNSSHTunnelSession::logMain(const QString& text) {
    if (const auto server = _server.lock()) {
        server->sessionLog(shared_from_this(), messageLine(text));
    }
}

void QNSSHTunnelSession::sessionConnect() {
    if (const auto server = _server.lock()) {
        server->sessionConnect(shared_from_this());
    }
}
