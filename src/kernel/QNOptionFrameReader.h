#pragma once

#include "kernel/QNAtomTypes.h"

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// Frames the byte stream an agent sends the engine: option frames of u32 length (header included), u32
// option and the value, header words in host byte order. The stream comes from another user's program, so
// it is hostile: a length below the header size or above the maximum cannot be framed, and since nothing
// marks where the next frame would start, nothing more is framed after it (the connection is to be closed).
class QNOptionFrameReader {
public:
    struct Frame {
        quint32 option = 0;
        QByteArray value;
    };

    explicit QNOptionFrameReader(quint32 maximumLength)
        : _maximumLength(maximumLength) {}

    void append(QByteArrayView bytes);
    // The next complete frame, consumed; nullopt when more bytes are needed or framing is lost.
    std::optional<Frame> next();
    // The length that could not be framed, once one was seen.
    std::optional<quint32> malformedLength() const { return _malformedLength; }
    qsizetype bufferedSize() const { return _buffer.size() - _offset; }
    // Drops everything: a new stream starts framed.
    void clear();

private:
    quint32 _maximumLength;
    QByteArray _buffer;
    // Start of the unframed bytes; the consumed prefix is dropped on the next append, not after every frame.
    qsizetype _offset = 0;
    std::optional<quint32> _malformedLength;
};
