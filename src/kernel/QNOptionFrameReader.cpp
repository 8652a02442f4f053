#include "kernel/QNOptionFrameReader.h"

#include <cstring>

namespace {

quint32 readHostOrder(const char* bytes) {
    quint32 value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

} // namespace

void QNOptionFrameReader::append(QByteArrayView bytes) {
    if (bytes.isEmpty() || _malformedLength) {
        return;
    }
    if (_offset > 0) {
        _buffer.remove(0, _offset);
        _offset = 0;
    }
    _buffer.append(bytes);
}

std::optional<QNOptionFrameReader::Frame> QNOptionFrameReader::next() {
    if (_malformedLength || bufferedSize() < qsizetype(kQNAtomHeaderSize)) {
        return std::nullopt;
    }
    const char* start = _buffer.constData() + _offset;
    const quint32 length = readHostOrder(start);
    if (length < kQNAtomHeaderSize || length > _maximumLength) {
        _malformedLength = length;
        _buffer.clear();
        _offset = 0;
        return std::nullopt;
    }
    if (qsizetype(length) > bufferedSize()) {
        return std::nullopt;
    }
    Frame frame{readHostOrder(start + 4), QByteArray(start + kQNAtomHeaderSize, length - kQNAtomHeaderSize)};
    _offset += length;
    if (_offset == _buffer.size()) {
        _buffer.resize(0); // keeps the capacity for the next read
        _offset = 0;
    }
    return frame;
}

void QNOptionFrameReader::clear() {
    _buffer = QByteArray();
    _offset = 0;
    _malformedLength.reset();
}
