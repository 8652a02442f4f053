#pragma once

#include "util/QNUtilities.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

#include <sys/socket.h>

// Where a connection is going: the original destination, and its host name when one is known.
struct QNEngineTarget {
    QNAddressWords address{}; // IPv4 in the last word
    bool isIPv6 = false;
    quint16 port = 0;
    QString hostName;         // empty when unknown
    QString application = {}; // path of the program that opened the connection; empty when unknown

    // An IPv4 address, or an IPv4-mapped IPv6 one (::ffff:a.b.c.d), which reaches the same host.
    bool isIPv4() const;
    // The host name when it is one a proxy can be asked for: 1 to 255 letters, digits, '-', '_' and '.'.
    bool hasUsableName() const;
    // The address as text ("10.0.0.1", "fd00::1"); a mapped address in its IPv4 form.
    QString addressText() const;
    // What a proxy is asked to reach: the usable name, else the address; IPv6 in brackets, with the port.
    // "example.org:443", "[fd00::1]:80"; without the port when omitPort80 is set and the port is 80.
    QByteArray authority(bool omitPort80 = false) const;

    // "10.0.0.1:80", "[fd00::1]:443": the address, for log lines.
    QString toString() const;

    // The socket address of this address and port; *length is the size of its family's form.
    sockaddr_storage socketAddress(socklen_t* length) const;
    // Address and port of an IPv4 or IPv6 socket address; nullopt for any other family.
    static std::optional<QNEngineTarget> fromSocketAddress(const sockaddr_storage& address);

    bool operator==(const QNEngineTarget&) const = default;
};
