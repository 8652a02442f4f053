#pragma once

#include "tunnel/QNSOCKSRequestParser.h"
#include "tunnel/QNSSHTunnelBuffer.h"

#include <QString>

#include <libssh/callbacks.h>
#include <libssh/libssh.h>

#include <memory>

class QNSSHTunnelSession;

enum QNSSHTunnelConnectionState : quint32 {
    QNSSHTunnelConnectionStateNone = 0,
    QNSSHTunnelConnectionStateHeader = 1,
    QNSSHTunnelConnectionStateHeaderReply = 2,
    QNSSHTunnelConnectionStateRequest = 3,
    QNSSHTunnelConnectionStateRequestReply = 4,
    QNSSHTunnelConnectionStateRelay = 5,
    QNSSHTunnelConnectionStateError = 6,
    QNSSHTunnelConnectionStateClosed = 7,
};

// One client of a tunnel's local listener: answers it in SOCKS 4, 4a or 5, opens a direct-tcpip channel to
// the destination it names and copies bytes both ways. Lives on its session's thread; the session polls
// the client socket for it (pollEvents, handleEvents), calls run after every wake-up, and ends it once
// isFinished says so.
class QNSSHTunnelConnection {
public:
    // Takes the socket (non-blocking); null when the connection cannot be set up, the socket then closed.
    static std::unique_ptr<QNSSHTunnelConnection> sshTunnelConnectionWithSocket(int socket,
                                                                                QNSSHTunnelSession& session);
    QNSSHTunnelConnection(int socket, QNSSHTunnelSession& session);
    ~QNSSHTunnelConnection();
    QNSSHTunnelConnection(const QNSSHTunnelConnection&) = delete;
    QNSSHTunnelConnection& operator=(const QNSSHTunnelConnection&) = delete;

    int socket() const { return _socket; }
    quint32 state() const { return _state; }
    const QString& host() const { return _host; }
    quint16 port() const { return _port; }

    // What to wait for on the client socket; false when the socket needs no polling any more.
    bool wantsPolling() const { return !_finished && !_clientHungUp; }
    short pollEvents() const;
    void handleEvents(short revents);
    // Channel-side work that needs no socket event: finishing a channel open, moving data between the
    // buffers and the channel, half-closes. True when something moved.
    bool run();
    // The server's window was shut at the last write and has opened since: run has work again.
    bool windowReopened() const;
    // Marks the connection closed and closes and frees the channel.
    void stop();
    // The connection has ended and the session should drop it.
    bool isFinished() const { return _finished; }

private:
    bool processInput();
    bool processOutput();
    bool readChannel();
    bool writeChannel();
    void parseHeader();
    void startSSHChannel();
    bool pollChannelOpen();
    void channelFailed(quint8 socks5Code);
    void replyWritten();
    bool finishDirections();
    void queueOutput(const QByteArray& bytes);
    void end(quint32 state);
    void freeChannel();

    static int channelData(ssh_session session, ssh_channel channel, void* data, uint32_t length, int isStderr,
                           void* userData);
    static void channelEOF(ssh_session session, ssh_channel channel, void* userData);
    static void channelClose(ssh_session session, ssh_channel channel, void* userData);

    int _socket;
    QNSSHTunnelSession& _session;
    QNSSHTunnelBuffer _inputData;
    QNSSHTunnelBuffer _outputData;
    quint32 _state = QNSSHTunnelConnectionStateNone;
    bool _isSOCKS5 = false;
    QString _host;
    quint16 _port = 0;
    QNSOCKSRequestParser::Result _request;
    ssh_channel _channel = nullptr;
    ssh_channel_callbacks_struct _callbacks{};

    bool _finished = false;
    bool _awaitingChannel = false;  // the request waits for the channel before it is answered
    bool _closeAfterOutput = false; // a failure reply is going out; then the connection ends
    bool _refused = false;          // the request was refused; wait for the client to leave
    bool _channelBacklog = false;   // libssh holds channel data we had no room for
    bool _channelEOF = false;       // the server will send no more
    bool _channelClosed = false;    // the server closed the channel
    bool _channelEOFSent = false;   // we told the server the client will send no more
    bool _windowShut = false;       // the last write found the server's window shut
    bool _clientEOF = false;        // the client will send no more
    bool _clientHungUp = false;     // the client socket is gone both ways
    bool _clientShutdown = false;   // we told the client we will send no more
};
