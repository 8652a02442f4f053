#pragma once

#include <QtGlobal>

#include <vector>

// A bounded first-in first-out byte queue for one direction of a client connection. Storage grows with
// what is actually held, up to the bound, so hundreds of quiet connections cost little.
class QNSSHTunnelBuffer {
public:
    explicit QNSSHTunnelBuffer(qsizetype capacity)
        : _capacity(capacity) {}

    qsizetype size() const { return _tail - _head; }
    bool isEmpty() const { return _tail == _head; }
    qsizetype freeSpace() const { return _capacity - size(); }
    const char* data() const { return _storage.data() + _head; }

    void consume(qsizetype count);
    // A region at the end to fill (empty only when the queue is full); commit what was filled.
    char* writableRegion(qsizetype* length);
    void commit(qsizetype count) { _tail += count; }
    // Appends as much as fits; returns how much that was.
    qsizetype append(const char* bytes, qsizetype count);

private:
    std::vector<char> _storage;
    qsizetype _head = 0;
    qsizetype _tail = 0;
    qsizetype _capacity;
};
