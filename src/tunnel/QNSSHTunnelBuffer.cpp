#include "tunnel/QNSSHTunnelBuffer.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr qsizetype kInitialStorage = 16 * 1024;
}

void QNSSHTunnelBuffer::consume(qsizetype count) {
    _head += qMin(count, size());
    if (_head == _tail) {
        _head = _tail = 0;
    }
}

char* QNSSHTunnelBuffer::writableRegion(qsizetype* length) {
    const auto storageSize = qsizetype(_storage.size());
    if (_tail == storageSize && _head > 0) {
        std::memmove(_storage.data(), _storage.data() + _head, size_t(size()));
        _tail -= _head;
        _head = 0;
    }
    if (_tail == qsizetype(_storage.size()) && qsizetype(_storage.size()) < _capacity) {
        _storage.resize(size_t(std::min(std::max(2 * storageSize, kInitialStorage), _capacity)));
    }
    *length = qsizetype(_storage.size()) - _tail;
    return _storage.data() + _tail;
}

qsizetype QNSSHTunnelBuffer::append(const char* bytes, qsizetype count) {
    qsizetype appended = 0;
    while (appended < count) {
        qsizetype length = 0;
        char* region = writableRegion(&length);
        if (length == 0) {
            break;
        }
        const qsizetype piece = qMin(length, count - appended);
        std::memcpy(region, bytes + appended, size_t(piece));
        commit(piece);
        appended += piece;
    }
    return appended;
}
