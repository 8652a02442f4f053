#pragma once

#include <QtGlobal>

// The engine's listeners: sockets bound to 127.0.0.1 or ::1 only (never the wildcard address), where the
// nftables redirect delivers a user's connections and name queries.
class QNLoopbackSocket {
public:
    // A non-blocking, close-on-exec socket of the family (AF_INET or AF_INET6, the latter IPv6 only) and type
    // bound to the loopback address on port (0: the kernel picks); a stream socket also listens with the
    // backlog. -1 with errno set when any step fails.
    static int bind(int family, int type, quint16 port, int backlog);
    // The port a socket is bound to, 0 when it cannot be read.
    static quint16 port(int fd);
};
