#include "support/QNTestEchoServer.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <vector>

namespace {

struct Client {
    QByteArray pending;
    bool ended = false;
};

} // namespace

QNTestEchoServer::QNTestEchoServer(const QByteArray& greeting)
    : _greeting(greeting) {
    _listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    _wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        listen(_listener, SOMAXCONN) == 0 &&
        getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        _port = ntohs(address.sin_port);
        _thread = std::thread([this] { run(); });
    }
}

QNTestEchoServer::~QNTestEchoServer() {
    eventfd_write(_wake, 1);
    if (_thread.joinable()) {
        _thread.join();
    }
    close(_listener);
    close(_wake);
}

void QNTestEchoServer::run() {
    std::map<int, Client> clients;
    std::vector<pollfd> descriptors;
    while (true) {
        descriptors = {{_wake, POLLIN, 0}, {_listener, POLLIN, 0}};
        for (const auto& [fd, client] : clients) {
            descriptors.push_back(
                {fd, short((client.ended ? 0 : POLLIN) | (client.pending.isEmpty() ? 0 : POLLOUT)), 0});
        }
        if (poll(descriptors.data(), nfds_t(descriptors.size()), -1) < 0 && errno != EINTR) {
            break;
        }
        if (descriptors[0].revents) {
            break;
        }
        if (descriptors[1].revents) {
            int fd = -1;
            while ((fd = accept4(_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                ++_accepted;
                clients[fd].pending = _greeting;
            }
        }
        for (size_t index = 2; index < descriptors.size(); ++index) {
            const int fd = descriptors[index].fd;
            Client& client = clients[fd];
            bool drop = descriptors[index].revents & POLLERR;
            if (descriptors[index].revents & (POLLIN | POLLHUP)) {
                char buffer[65536];
                const ssize_t count = recv(fd, buffer, sizeof(buffer), 0);
                if (count > 0) {
                    client.pending.append(buffer, count);
                } else if (count == 0) {
                    client.ended = true;
                } else if (errno != EAGAIN) {
                    drop = true;
                }
            }
            if (!client.pending.isEmpty()) {
                const ssize_t count = send(fd, client.pending.constData(), size_t(client.pending.size()), MSG_NOSIGNAL);
                if (count > 0) {
                    client.pending.remove(0, count);
                } else if (count < 0 && errno != EAGAIN) {
                    drop = true;
                }
            }
            if (drop || (client.ended && client.pending.isEmpty())) {
                if (!drop) {
                    shutdown(fd, SHUT_WR);
                }
                close(fd);
                clients.erase(fd);
            }
        }
    }
    for (const auto& entry : clients) {
        close(entry.first);
    }
}
