#pragma once

#include "socks/QNSOCKSWire.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

// The server side of the SOCKS 4, 4a and 5 headers, over whatever a client has sent so far. Pure: no
// sockets, no SSH. Every decision depends only on a bounded prefix of the input, so the outcome is the same
// however the client cuts its bytes into packets.
class QNSOCKSRequestParser {
public:
    // What the connection waits for: the first header (a SOCKS 4 request or a SOCKS 5 greeting), or, after
    // an accepted greeting, the SOCKS 5 request.
    enum class Stage { Header, Request };

    enum class Outcome {
        NeedMore,         // incomplete; nothing consumed
        Close,            // not a SOCKS header (or too long to be one): end without a reply
        GreetingAccepted, // reply queued; the request comes next
        Refused,          // failure reply queued; no channel; the client closes when it likes
        Connect,          // destination known; the reply waits for the channel
    };

    struct Result {
        Outcome outcome = Outcome::NeedMore;
        qsizetype consumed = 0;
        QByteArray reply; // GreetingAccepted and Refused
        bool isSOCKS5 = false;
        QString host;
        quint16 port = 0;
        // SOCKS 5: address type, address and port exactly as received; the reply echoes them.
        QByteArray boundAddress;

        // The reply to a Connect once the channel is open (granted) or could not be opened. socks5Code is the
        // SOCKS 5 reply code for a failure; SOCKS 4 has a single failure code.
        QByteArray connectReply(bool granted, quint8 socks5Code) const;
    };

    // SOCKS 5 reply codes used here.
    static constexpr quint8 kSOCKS5GeneralFailure = QNSOCKSWire::kReply5GeneralFailure;
    static constexpr quint8 kSOCKS5HostUnreachable = QNSOCKSWire::kReply5HostUnreachable;
    static constexpr quint8 kSOCKS5ConnectionRefused = QNSOCKSWire::kReply5ConnectionRefused;
    static constexpr quint8 kSOCKS5CommandNotSupported = QNSOCKSWire::kReply5CommandNotSupported;

    // Dispatches on the version byte: 4 is a SOCKS 4 request at either stage, 5 a greeting or a request.
    static Result parseHeader(Stage stage, QByteArrayView input);
    static Result parseSOCKSHeader4(QByteArrayView input);
    static Result parseSOCKSHeader5Greeting(QByteArrayView input);
    static Result parseSOCKSHeader5Request(QByteArrayView input);

    // The SOCKS 5 failure code for a channel that could not be opened, from libssh's error text, which
    // carries the SSH open-failure reason and the server's description.
    static quint8 socks5FailureCode(const QByteArray& channelError);
};
