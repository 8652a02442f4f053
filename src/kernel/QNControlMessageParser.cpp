#include "kernel/QNControlMessageParser.h"

#include <cstring>
#include <utility>

namespace {

template <typename T> T readHostOrder(const char* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

} // namespace

QNControlMessageParser::QNControlMessageParser(Callbacks callbacks)
    : _callbacks(std::move(callbacks)) {}

void QNControlMessageParser::setCallbacks(Callbacks callbacks) {
    _callbacks = std::move(callbacks);
}

void QNControlMessageParser::appendData(QByteArrayView bytes) {
    if (bytes.isEmpty()) {
        return;
    }
    if (_framingLost) {
        _discardedByteCount += quint64(bytes.size());
        return;
    }
    if (_offset > 0) {
        _buffer.remove(0, _offset);
        _offset = 0;
    }
    _buffer.append(bytes);
}

void QNControlMessageParser::feed(QByteArrayView bytes) {
    appendData(bytes);
    while (parseControlSocketData()) {
    }
}

bool QNControlMessageParser::parseControlSocketData() {
    const qsizetype available = bufferedSize();
    if (available < qsizetype(kHeaderSize)) {
        return false;
    }
    const char* message = _buffer.constData() + _offset;
    const quint32 length = readHostOrder<quint32>(message);
    const quint32 type = readHostOrder<quint32>(message + 4);
    if (length < kHeaderSize || length > kMaximumMessageLength) {
        // No way to find the next message boundary in a byte stream: drop this and everything after it.
        _framingLost = true;
        discardBuffered();
        return false;
    }
    if (qsizetype(length) > available) {
        return false;
    }

    const quint32 payloadLength = length - kHeaderSize;
    // Copy out what the callback needs before consuming, so the callback is free to touch the parser.
    char payload[8] = {};
    QByteArray text;
    if (type == kQNAtomTypeLog) {
        text = QByteArray(message + kHeaderSize, payloadLength);
    } else {
        std::memcpy(payload, message + kHeaderSize, qMin<quint32>(payloadLength, sizeof payload));
    }

    _offset += length;
    const bool more = _offset < _buffer.size();
    if (!more) {
        _buffer.resize(0); // keeps the capacity for the next read
        _offset = 0;
    }
    ++_messageCount;

    if (type == kQNAtomTypeLog) {
        if (_callbacks.log) {
            _callbacks.log(text);
        }
    } else {
        dispatch(type, payload, payloadLength);
    }
    return more && bufferedSize() > 0;
}

void QNControlMessageParser::dispatch(quint32 type, const char* payload, quint32 payloadLength) {
    switch (type) {
    case kQNAtomTypeConnections:
        if (payloadLength >= sizeof(qint32) && _callbacks.connections) {
            _callbacks.connections(qMax<qint32>(0, readHostOrder<qint32>(payload)));
        }
        break;
    case kQNAtomTypeDataReceived:
        if (payloadLength >= sizeof(quint64) && _callbacks.dataReceived) {
            _callbacks.dataReceived(readHostOrder<quint64>(payload));
        }
        break;
    case kQNAtomTypeDataSent:
        if (payloadLength >= sizeof(quint64) && _callbacks.dataSent) {
            _callbacks.dataSent(readHostOrder<quint64>(payload));
        }
        break;
    default:
        break;
    }
}

QByteArray QNControlMessageParser::controlBufferData() const {
    return _buffer.mid(_offset);
}

void QNControlMessageParser::clear() {
    _buffer.clear();
    _offset = 0;
    _messageCount = 0;
    _discardedByteCount = 0;
    _framingLost = false;
}

void QNControlMessageParser::discardBuffered() {
    _discardedByteCount += quint64(bufferedSize());
    _buffer.resize(0);
    _offset = 0;
}
