#pragma once

#include <QByteArray>

#include <mutex>
#include <thread>
#include <vector>

// A TCP echo server on 127.0.0.1 and a free port, with a thread for each client so tests may block while
// it works. It sends back everything it reads and, when a client ends its side, ends its own once the echo
// is out (a half-close, like an ordinary server). Given a closing line it is a server that is done first
// instead: it sends the line, ends its side at once and reads on until the client ends.
class QNTestEchoServer {
public:
    explicit QNTestEchoServer(const QByteArray& closingLine = QByteArray());
    ~QNTestEchoServer();
    QNTestEchoServer(const QNTestEchoServer&) = delete;
    QNTestEchoServer& operator=(const QNTestEchoServer&) = delete;

    quint16 port() const { return _port; }

private:
    void serve(int client);

    QByteArray _closingLine;
    int _listener = -1;
    quint16 _port = 0;
    std::mutex _mutex;
    std::vector<int> _clients; // open connections
    std::vector<std::thread> _threads;
    std::thread _acceptor;
};
