#pragma once

#include "engine/QNProxyHandshake.h"
#include "engine/QNRuleMatcher.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

// Figures of one user's relayed traffic.
struct QNRelayCounters {
    qint32 connections = 0;
    quint64 received = 0; // from the far end to the user's program
    quint64 sent = 0;     // from the user's program to the far end
};

// One intercepted connection: the client socket the relay accepted and the socket the engine opened to
// the destination or to the first proxy. It connects, takes the proxy handshake when there is one, then
// moves bytes both ways until both directions have ended.
//
// Bytes move by splice(2) through a pipe per direction when nothing rewrites them, else through a
// buffer; either way at most kMaximumInFlight bytes per direction are held, and a side is only read while
// there is room. An end of stream on one side becomes a shutdown of writing on the other once everything
// before it is delivered. Any failure resets the client (SO_LINGER 0) so its program learns at once.
class QNRelayConnection {
public:
    static constexpr qsizetype kMaximumInFlight = 64 * 1024;
    using Clock = std::chrono::steady_clock;

    // One registered socket; epoll's data points here.
    struct Endpoint {
        QNRelayConnection* owner = nullptr;
        int fd = -1;
        quint32 mask = 0;
        bool registered = false;
    };

    QNRelayConnection(int epollFd, int clientFd, QNEngineTarget target, QNRouteDecision decision,
                      std::shared_ptr<QNRelayCounters> counters, std::function<void(const QString&)> log);
    ~QNRelayConnection();
    QNRelayConnection(const QNRelayConnection&) = delete;
    QNRelayConnection& operator=(const QNRelayConnection&) = delete;

    // Opens the outgoing socket (marked, so interception lets it pass) and starts connecting. Blocked
    // routes and sockets that cannot be opened end here: false, and the connection is finished.
    bool start(quint32 mark, Clock::time_point deadline);
    void handle(Endpoint* endpoint, quint32 events);
    // Fails a connection still connecting or in its handshake past its deadline.
    void checkDeadline(Clock::time_point now);
    bool isFinished() const { return _state == State::Finished; }

private:
    enum class State { Connecting, Handshaking, Relaying, Finished };

    struct Direction {
        Endpoint* from = nullptr;
        Endpoint* to = nullptr;
        QByteArray buffer;
        int pipe[2] = {-1, -1};
        qsizetype inPipe = 0;
        bool ended = false;    // the source reached its end of stream
        bool shutDown = false; // the end was passed on
        quint64* counter = nullptr;
        bool done() const { return shutDown; }
    };

    void connected();
    void startRelaying();
    void readHandshake();
    void pumpAll();
    // False when the direction failed (the connection is then finished).
    bool pump(Direction& direction, bool fromClient);
    bool flush(Direction& direction);
    bool fill(Direction& direction, bool fromClient);
    void updateInterest();
    void setMask(Endpoint& endpoint, quint32 mask);
    void fail(const QString& why);
    void finish(bool resetClient);

    int _epollFd;
    Endpoint _client;
    Endpoint _server;
    QNEngineTarget _target;
    QNRouteDecision _decision;
    std::shared_ptr<QNRelayCounters> _counters;
    std::function<void(const QString&)> _log;
    std::unique_ptr<QNProxyHandshake> _handshake;
    std::unique_ptr<QNHTTPProxyStream> _stream;
    Direction _up;   // client to server
    Direction _down; // server to client
    State _state = State::Connecting;
    Clock::time_point _deadline;
};
