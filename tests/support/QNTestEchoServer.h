#pragma once

#include <QByteArray>

#include <atomic>
#include <thread>

// A TCP echo server on 127.0.0.1 and a free port, on a thread of its own so tests may block while it
// works. It sends back everything it reads and, when a client ends its side, ends its own once the echo
// is out (a half-close, like an ordinary server). Optionally it speaks first with a greeting.
class QNTestEchoServer {
public:
    explicit QNTestEchoServer(const QByteArray& greeting = QByteArray());
    ~QNTestEchoServer();
    QNTestEchoServer(const QNTestEchoServer&) = delete;
    QNTestEchoServer& operator=(const QNTestEchoServer&) = delete;

    quint16 port() const { return _port; }
    int connectionsAccepted() const { return _accepted.load(); }

private:
    void run();

    int _listener = -1;
    int _wake = -1;
    quint16 _port = 0;
    QByteArray _greeting;
    std::atomic<int> _accepted{0};
    std::thread _thread;
};
