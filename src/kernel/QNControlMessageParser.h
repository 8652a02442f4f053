#pragma once

#include "kernel/QNAtomTypes.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <functional>

// Frames and decodes the byte stream coming from the engine. Every message is an atom: u32 length
// (header included), u32 type, payload, both header words in host byte order. The parser knows
// nothing of sockets so the same code is fed by the control channel, the benchmark and the fuzzer.
//
// The engine is outside our control, so its bytes are treated as hostile: a length below the header
// size or above kMaximumMessageLength cannot be framed. On a byte stream nothing marks where the next
// message starts, so from then on every byte is dropped until clear() (the socket is closed and opened
// again): starting over at the next read would make the outcome depend on how the socket happened to cut
// the bytes, and could read the inside of a message as one. A payload too short for its type is consumed
// and ignored; unknown types are skipped. Every call that has a complete message to look at consumes at
// least one byte, so parsing always advances.
//
// The messages: 'conn' (signed 32-bit, a negative count counts as 0), 'datr' and 'dats' (unsigned
// 64-bit), 'loge' (UTF-8 text).
class QNControlMessageParser {
public:
    static constexpr quint32 kHeaderSize = kQNAtomHeaderSize;
    static constexpr quint32 kMaximumMessageLength = 1024 * 1024;

    // Called once per well-formed message, after the message has been consumed, so a callback may
    // clear or refill the parser.
    struct Callbacks {
        std::function<void(qint32 connections)> connections; // already clamped at 0
        std::function<void(quint64 dataReceived)> dataReceived;
        std::function<void(quint64 dataSent)> dataSent;
        std::function<void(const QByteArray& text)> log; // raw UTF-8, no terminator
    };

    QNControlMessageParser() = default;
    explicit QNControlMessageParser(Callbacks callbacks);

    void setCallbacks(Callbacks callbacks);

    // Buffers bytes (drops them once framing is lost); nothing is parsed until parseControlSocketData is called.
    void appendData(QByteArrayView bytes);
    // Handles the first complete message. True when bytes remain that may hold another one.
    bool parseControlSocketData();
    // appendData, then parseControlSocketData until it answers false.
    void feed(QByteArrayView bytes);

    // Bytes received and not yet parsed.
    QByteArray controlBufferData() const;
    qsizetype bufferedSize() const { return _buffer.size() - _offset; }
    // Drops the buffered bytes and gives their memory back; a new stream starts framed.
    void clear();

    // An unframeable length was seen since construction or the last clear; nothing more will be parsed.
    bool framingLost() const { return _framingLost; }

    // Messages framed (whatever their type) and bytes thrown away as unframeable since construction or the last clear.
    quint64 messageCount() const { return _messageCount; }
    quint64 discardedByteCount() const { return _discardedByteCount; }

private:
    void discardBuffered();
    void dispatch(quint32 type, const char* payload, quint32 payloadLength);

    Callbacks _callbacks;
    QByteArray _buffer;
    // Start of the unparsed bytes in _buffer; the consumed prefix is dropped on the next append
    // instead of after every message, so several messages in one read cost one move.
    qsizetype _offset = 0;
    quint64 _messageCount = 0;
    quint64 _discardedByteCount = 0;
    bool _framingLost = false;
};
