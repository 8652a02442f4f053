#include "tunnel/QNSSHTunnelConnection.h"

#include "model/QNProxy.h"
#include "tunnel/QNSSHTunnelSession.h"
#include "util/QNConstants.h"

#include <cerrno>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Reads from one side per wake-up stop after this many system calls, so one busy client cannot starve
// the others.
constexpr int kReadsPerWake = 16;

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

} // namespace

std::unique_ptr<QNSSHTunnelConnection>
QNSSHTunnelConnection::sshTunnelConnectionWithSocket(int socket, QNSSHTunnelSession& session) {
    const int noDelay = 1;
    if (setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay)) != 0) {
        close(socket);
        return nullptr;
    }
    return std::make_unique<QNSSHTunnelConnection>(socket, session);
}

QNSSHTunnelConnection::QNSSHTunnelConnection(int socket, QNSSHTunnelSession& session)
    : _socket(socket)
    , _session(session)
    , _inputData(kQNSSHTunnelConnectionBufferSizeMaximum)
    , _outputData(kQNSSHTunnelConnectionBufferSizeMaximum) {
    _state = QNSSHTunnelConnectionStateHeader;
    ssh_callbacks_init(&_callbacks);
    _callbacks.userdata = this;
    _callbacks.channel_data_function = &QNSSHTunnelConnection::channelData;
    _callbacks.channel_eof_function = &QNSSHTunnelConnection::channelEOF;
    _callbacks.channel_close_function = &QNSSHTunnelConnection::channelClose;
}

QNSSHTunnelConnection::~QNSSHTunnelConnection() {
    stop();
    close(_socket);
}

short QNSSHTunnelConnection::pollEvents() const {
    short events = 0;
    if (!_clientEOF && _inputData.freeSpace() > 0) {
        events |= POLLIN;
    }
    if (!_outputData.isEmpty()) {
        events |= POLLOUT;
    }
    return events;
}

void QNSSHTunnelConnection::handleEvents(short revents) {
    if (_finished) {
        return;
    }
    if (revents & POLLERR) {
        end(QNSSHTunnelConnectionStateError);
        return;
    }
    if (revents & POLLOUT) {
        processOutput();
    }
    if (!_finished && (revents & (POLLIN | POLLHUP))) {
        processInput();
    }
    if (!_finished && (revents & POLLHUP)) {
        // Gone both ways: poll would report it on every turn, so stop polling the socket and finish with
        // what is buffered.
        _clientHungUp = true;
        _clientEOF = true;
        finishDirections();
    }
}

bool QNSSHTunnelConnection::run() {
    if (_finished) {
        return false;
    }
    bool progress = false;
    if (_awaitingChannel && _channel) {
        progress |= pollChannelOpen();
    }
    if (_state == QNSSHTunnelConnectionStateRelay) {
        progress |= writeChannel();
    }
    if (!_finished && _channel && !_awaitingChannel) {
        progress |= readChannel();
        progress |= processOutput();
    }
    if (!_finished && _state == QNSSHTunnelConnectionStateRelay) {
        progress |= finishDirections();
    }
    return progress;
}

bool QNSSHTunnelConnection::windowReopened() const {
    return _windowShut && !_finished && _channel && ssh_channel_window_size(_channel) > 0;
}

void QNSSHTunnelConnection::stop() {
    if (!_finished) {
        _state = QNSSHTunnelConnectionStateClosed;
        _finished = true;
    }
    freeChannel();
}

bool QNSSHTunnelConnection::processInput() {
    bool moved = false;
    for (int reads = 0; reads < kReadsPerWake && !_clientEOF; ++reads) {
        qsizetype length = 0;
        char* region = _inputData.writableRegion(&length);
        if (length == 0) {
            break;
        }
        const ssize_t count = recv(_socket, region, size_t(length), 0);
        if (count > 0) {
            _inputData.commit(count);
            moved = true;
            if (count < length) {
                break;
            }
        } else if (count == 0) {
            _clientEOF = true;
        } else if (errno == EINTR) {
            continue;
        } else if (wouldBlock(errno)) {
            break;
        } else {
            end(QNSSHTunnelConnectionStateError);
            return moved;
        }
    }

    if (_refused) {
        // Nothing the client says now is of use; reading on shows when it leaves.
        _inputData.consume(_inputData.size());
        if (_clientEOF) {
            end(QNSSHTunnelConnectionStateClosed);
        }
        return moved;
    }
    if (_state == QNSSHTunnelConnectionStateHeader || _state == QNSSHTunnelConnectionStateRequest) {
        parseHeader();
        if (!_finished && _clientEOF &&
            (_state == QNSSHTunnelConnectionStateHeader || _state == QNSSHTunnelConnectionStateRequest)) {
            end(QNSSHTunnelConnectionStateClosed);
        }
    }
    return moved;
}

bool QNSSHTunnelConnection::processOutput() {
    bool moved = false;
    while (!_outputData.isEmpty() && !_clientHungUp) {
        const ssize_t count = send(_socket, _outputData.data(), size_t(_outputData.size()), MSG_NOSIGNAL);
        if (count > 0) {
            _outputData.consume(count);
            moved = true;
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && wouldBlock(errno)) {
            return moved;
        } else {
            end(QNSSHTunnelConnectionStateError);
            return moved;
        }
    }
    if (_outputData.isEmpty()) {
        replyWritten();
    }
    return moved;
}

void QNSSHTunnelConnection::replyWritten() {
    if (_finished) {
        return;
    }
    if (_closeAfterOutput) {
        end(QNSSHTunnelConnectionStateError);
    } else if (_state == QNSSHTunnelConnectionStateHeaderReply && !_awaitingChannel) {
        if (_isSOCKS5) {
            // The request may already be here, sent together with the greeting.
            _state = QNSSHTunnelConnectionStateRequest;
            parseHeader();
        } else {
            _state = QNSSHTunnelConnectionStateRelay;
        }
    } else if (_state == QNSSHTunnelConnectionStateRequestReply && !_awaitingChannel) {
        _state = QNSSHTunnelConnectionStateRelay;
    }
}

void QNSSHTunnelConnection::parseHeader() {
    const auto stage = _state == QNSSHTunnelConnectionStateRequest ? QNSOCKSRequestParser::Stage::Request
                                                                   : QNSOCKSRequestParser::Stage::Header;
    const QNSOCKSRequestParser::Result result =
        QNSOCKSRequestParser::parseHeader(stage, QByteArrayView(_inputData.data(), _inputData.size()));
    switch (result.outcome) {
    case QNSOCKSRequestParser::Outcome::NeedMore:
        return;
    case QNSOCKSRequestParser::Outcome::Close:
        end(QNSSHTunnelConnectionStateError);
        return;
    case QNSOCKSRequestParser::Outcome::GreetingAccepted:
        _inputData.consume(result.consumed);
        _isSOCKS5 = true;
        _state = QNSSHTunnelConnectionStateHeaderReply;
        queueOutput(result.reply);
        processOutput();
        return;
    case QNSOCKSRequestParser::Outcome::Refused:
        _inputData.consume(_inputData.size());
        _isSOCKS5 = result.isSOCKS5;
        _state = QNSSHTunnelConnectionStateClosed;
        _refused = true;
        queueOutput(result.reply);
        processOutput();
        return;
    case QNSOCKSRequestParser::Outcome::Connect:
        _inputData.consume(result.consumed);
        _isSOCKS5 = result.isSOCKS5;
        _request = result;
        _host = result.host;
        _port = result.port;
        _state = _isSOCKS5 ? QNSSHTunnelConnectionStateRequestReply : QNSSHTunnelConnectionStateHeaderReply;
        _awaitingChannel = true;
        startSSHChannel();
        return;
    }
}

void QNSSHTunnelConnection::startSSHChannel() {
    _channel = ssh_channel_new(_session.session());
    if (!_channel) {
        channelFailed(QNSOCKSRequestParser::kSOCKS5GeneralFailure);
        return;
    }
    ssh_set_channel_callbacks(_channel, &_callbacks);
    pollChannelOpen();
}

bool QNSSHTunnelConnection::pollChannelOpen() {
    const int result = ssh_channel_open_forward(_channel, _host.toUtf8().constData(), _port, "localhost",
                                                _session.proxy()->localTunnelPort());
    if (result == SSH_AGAIN) {
        return false;
    }
    if (result != SSH_OK) {
        channelFailed(QNSOCKSRequestParser::socks5FailureCode(QByteArray(ssh_get_error(_session.session()))));
        return true;
    }
    _awaitingChannel = false;
    _session.updateAlive();
    queueOutput(_request.connectReply(true, 0));
    processOutput();
    return true;
}

void QNSSHTunnelConnection::channelFailed(quint8 socks5Code) {
    freeChannel();
    _awaitingChannel = false;
    _closeAfterOutput = true;
    _state = QNSSHTunnelConnectionStateError;
    queueOutput(_request.connectReply(false, socks5Code));
    processOutput();
}

bool QNSSHTunnelConnection::writeChannel() {
    _windowShut = false;
    if (_inputData.isEmpty() || _channelEOFSent || _channelClosed) {
        return false;
    }
    // Only when libssh has sent what it holds, and only what the window takes: nothing then queues up
    // inside libssh and no write waits for the server.
    if (ssh_get_status(_session.session()) & SSH_WRITE_PENDING) {
        return false;
    }
    const uint32_t window = ssh_channel_window_size(_channel);
    _windowShut = window == 0;
    const qsizetype length = qMin<qsizetype>(_inputData.size(), window);
    if (length == 0) {
        return false;
    }
    const int written = ssh_channel_write(_channel, _inputData.data(), uint32_t(length));
    if (written < 0) {
        _session.log(QString::fromUtf8(ssh_get_error(_session.session())));
        end(QNSSHTunnelConnectionStateError);
        return false;
    }
    _inputData.consume(written);
    if (written > 0) {
        _session.updateAlive();
    }
    return written > 0;
}

bool QNSSHTunnelConnection::readChannel() {
    if (!_channelBacklog) {
        return false;
    }
    qsizetype length = 0;
    char* region = _outputData.writableRegion(&length);
    if (length == 0) {
        return false;
    }
    const int count = ssh_channel_read_nonblocking(_channel, region, uint32_t(length), 0);
    if (count == SSH_EOF) {
        _channelBacklog = false;
        _channelEOF = true;
        return true;
    }
    if (count < 0) {
        _session.log(QString::fromUtf8(ssh_get_error(_session.session())));
        end(QNSSHTunnelConnectionStateError);
        return false;
    }
    _outputData.commit(count);
    if (count < length) {
        _channelBacklog = false;
    }
    if (count > 0) {
        _session.updateAlive();
    }
    return count > 0;
}

bool QNSSHTunnelConnection::finishDirections() {
    bool progress = false;
    // Client to server: once the client has nothing more, the server hears end of file.
    if (_clientEOF && _inputData.isEmpty() && !_channelEOFSent && _channel && !_channelClosed &&
        _state == QNSSHTunnelConnectionStateRelay) {
        ssh_channel_send_eof(_channel);
        _channelEOFSent = true;
        progress = true;
    }
    // Server to client: what the server sent reaches the client before its end of file.
    const bool serverDone = (_channelEOF || _channelClosed) && !_channelBacklog && _outputData.isEmpty();
    if (serverDone && !_clientShutdown && !_clientHungUp) {
        shutdown(_socket, SHUT_WR);
        _clientShutdown = true;
        progress = true;
    }
    const bool clientDone = _channelEOFSent || (_clientHungUp && _inputData.isEmpty());
    if ((serverDone && clientDone) || (_channelClosed && serverDone) || (_clientHungUp && clientDone)) {
        end(QNSSHTunnelConnectionStateClosed);
    }
    return progress;
}

void QNSSHTunnelConnection::queueOutput(const QByteArray& bytes) {
    _outputData.append(bytes.constData(), bytes.size());
}

void QNSSHTunnelConnection::end(quint32 state) {
    if (_finished) {
        return;
    }
    _state = state;
    _finished = true;
}

void QNSSHTunnelConnection::freeChannel() {
    if (!_channel) {
        return;
    }
    // The channel may outlive this object inside libssh until the server confirms the close. Freeing
    // closes an open channel; closing one that never opened would name a channel the server does not know.
    ssh_remove_channel_callbacks(_channel, &_callbacks);
    ssh_channel_free(_channel);
    _channel = nullptr;
}

int QNSSHTunnelConnection::channelData(ssh_session, ssh_channel, void* data, uint32_t length, int isStderr,
                                       void* userData) {
    auto* self = static_cast<QNSSHTunnelConnection*>(userData);
    if (isStderr) {
        return int(length);
    }
    self->_session.noteChannelEvent();
    // Until the success reply is queued, channel data must wait: it may not overtake the reply.
    if (self->_awaitingChannel || self->_finished) {
        self->_channelBacklog = true;
        return 0;
    }
    const qsizetype taken = self->_outputData.append(static_cast<const char*>(data), qsizetype(length));
    if (taken < qsizetype(length)) {
        self->_channelBacklog = true;
    }
    if (taken > 0) {
        self->_session.updateAlive();
    }
    return int(taken);
}

void QNSSHTunnelConnection::channelEOF(ssh_session, ssh_channel, void* userData) {
    auto* self = static_cast<QNSSHTunnelConnection*>(userData);
    self->_channelEOF = true;
    self->_session.noteChannelEvent();
}

void QNSSHTunnelConnection::channelClose(ssh_session, ssh_channel, void* userData) {
    auto* self = static_cast<QNSSHTunnelConnection*>(userData);
    self->_channelClosed = true;
    self->_session.noteChannelEvent();
}
