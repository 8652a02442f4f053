#include "support/QNTestEchoServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace {

bool sendAll(int socket, const char* bytes, ssize_t size) {
    while (size > 0) {
        const ssize_t count = send(socket, bytes, size_t(size), MSG_NOSIGNAL);
        if (count <= 0) {
            return false;
        }
        bytes += count;
        size -= count;
    }
    return true;
}

} // namespace

QNTestEchoServer::QNTestEchoServer(const QByteArray& closingLine)
    : _closingLine(closingLine) {
    _listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(_listener, SOMAXCONN) != 0 ||
        getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    _port = ntohs(address.sin_port);
    _acceptor = std::thread([this] {
        int client = -1;
        while ((client = accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
            std::lock_guard lock(_mutex);
            _clients.push_back(client);
            _threads.emplace_back([this, client] { serve(client); });
        }
    });
}

QNTestEchoServer::~QNTestEchoServer() {
    // Wakes the accepting thread, then every client's thread wherever it blocks.
    shutdown(_listener, SHUT_RDWR);
    if (_acceptor.joinable()) {
        _acceptor.join();
    }
    {
        std::lock_guard lock(_mutex);
        for (const int client : _clients) {
            shutdown(client, SHUT_RDWR);
        }
    }
    for (std::thread& thread : _threads) {
        thread.join();
    }
    close(_listener);
}

void QNTestEchoServer::serve(int client) {
    const bool echo = _closingLine.isEmpty();
    if (!echo && sendAll(client, _closingLine.constData(), _closingLine.size())) {
        shutdown(client, SHUT_WR);
    }
    char buffer[65536];
    ssize_t count = 0;
    while ((count = recv(client, buffer, sizeof(buffer), 0)) > 0 && (!echo || sendAll(client, buffer, count))) {
    }
    shutdown(client, SHUT_WR);
    std::lock_guard lock(_mutex);
    _clients.erase(std::find(_clients.begin(), _clients.end(), client));
    close(client);
}
