#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

// SOCKS 4, 4a and 5 messages in both directions: what a client sends and a server answers, encoded and
// decoded in one place so both ends of the protocol agree on every byte. Pure functions over bytes.
//
// Every decoder looks at a prefix of its input and says whether that prefix holds a complete message
// (and how long it is), needs more bytes, or cannot be that message whatever follows.
class QNSOCKSWire {
public:
    QNSOCKSWire() = delete;

    static constexpr quint8 kVersion4 = 4;
    static constexpr quint8 kVersion5 = 5;
    static constexpr quint8 kCommandConnect = 1;

    // SOCKS 4 reply codes.
    static constexpr quint8 kReply4Granted = 0x5A;
    static constexpr quint8 kReply4Rejected = 0x5B;
    static constexpr quint8 kReply4NoIdentd = 0x5C;
    static constexpr quint8 kReply4IdentdMismatch = 0x5D;

    // SOCKS 5 authentication methods.
    static constexpr quint8 kMethodNoAuthentication = 0x00;
    static constexpr quint8 kMethodUserPassword = 0x02;
    static constexpr quint8 kMethodNoneAcceptable = 0xFF;
    // The user name / password sub-negotiation (RFC 1929).
    static constexpr quint8 kUserPasswordVersion = 1;
    static constexpr quint8 kUserPasswordSuccess = 0;

    // SOCKS 5 address types.
    static constexpr quint8 kAddressIPv4 = 1;
    static constexpr quint8 kAddressName = 3;
    static constexpr quint8 kAddressIPv6 = 4;

    // SOCKS 5 reply codes.
    static constexpr quint8 kReply5Succeeded = 0x00;
    static constexpr quint8 kReply5GeneralFailure = 0x01;
    static constexpr quint8 kReply5NotAllowed = 0x02;
    static constexpr quint8 kReply5NetworkUnreachable = 0x03;
    static constexpr quint8 kReply5HostUnreachable = 0x04;
    static constexpr quint8 kReply5ConnectionRefused = 0x05;
    static constexpr quint8 kReply5TTLExpired = 0x06;
    static constexpr quint8 kReply5CommandNotSupported = 0x07;
    static constexpr quint8 kReply5AddressNotSupported = 0x08;

    // Longest host name, user name or password a SOCKS 5 length byte can carry.
    static constexpr qsizetype kFieldSizeMaximum = 255;

    enum class Parse { NeedMore, Invalid, Complete };

    // A SOCKS 5 address: type, then 4 or 16 address bytes or the name, then the port.
    struct Address {
        quint8 type = kAddressIPv4;
        QByteArray value;
        quint16 port = 0;

        static Address ipv4(quint32 address, quint16 port);
        static Address ipv6(const quint8 (&bytes)[16], quint16 port);
        static Address name(QByteArrayView name, quint16 port);
        // Dotted quad, the usual IPv6 text, or the name as UTF-8.
        QString hostText() const;
    };

    // A SOCKS 4 or 4a request. A 4a request carries DSTIP 0.0.0.x (x not 0) and a host name.
    struct Request4 {
        quint8 command = 0;
        quint16 port = 0;
        quint32 ipv4 = 0;
        QByteArray userId;
        bool isSOCKS4A = false;
        QByteArray hostName;
        qsizetype size = 0;
    };

    static QByteArray encodeRequest4(const Request4& request);
    static Parse decodeRequest4(QByteArrayView input, Request4* request);
    static QByteArray encodeReply4(quint8 code);
    // Servers answer with version 0 (some with 4); anything else is not a SOCKS 4 reply.
    static Parse decodeReply4(QByteArrayView input, quint8* code);

    // Greeting: version, method count, methods.
    static QByteArray encodeGreeting5(QByteArrayView methods);
    static Parse decodeGreeting5(QByteArrayView input, QByteArray* methods, qsizetype* size);
    static QByteArray encodeMethodChoice5(quint8 method);
    static Parse decodeMethodChoice5(QByteArrayView input, quint8* method);

    // Empty when the user name or the password is longer than a length byte allows.
    static QByteArray encodeUserPassword(QByteArrayView user, QByteArrayView password);
    // Version 1 as the RFC says, or 5 as some servers send.
    static Parse decodeUserPasswordReply(QByteArrayView input, quint8* status);

    // Request and reply share a layout: version, command or reply code, reserved, address.
    static QByteArray encodeRequest5(quint8 command, const Address& address);
    static QByteArray encodeReply5(quint8 code, const Address& bound);
    // The reply with the address part (type, address, port) given as raw bytes, as a server that echoes
    // the request's address sends it.
    static QByteArray encodeReply5(quint8 code, QByteArrayView encodedAddress);
    // *code is the command of a request or the code of a reply; Invalid for an unknown address type.
    static Parse decodeMessage5(QByteArrayView input, quint8* code, Address* address, qsizetype* size);

    static QByteArray encodeAddress(const Address& address);
    // The address starting at offset; *end is the offset just past its port.
    static Parse decodeAddress(QByteArrayView input, qsizetype offset, Address* address, qsizetype* end);

    // Why a server refused, in words, for log lines.
    static QString reply4Text(quint8 code);
    static QString reply5Text(quint8 code);
};
