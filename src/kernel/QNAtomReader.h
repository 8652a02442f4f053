#pragma once

#include "util/QNUtilities.h"

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <utility>

// One atom found by QNAtomReader. data points into the buffer that was walked, which must outlive it.
// The typed accessors read host-order values and answer none when the payload is not exactly the size
// the encoding needs, so a short or padded payload is never read as a value.
struct QNAtom {
    quint32 type = 0;
    quint32 length = 0;   // the whole atom, header included
    qsizetype offset = 0; // of the header within the walked buffer
    QByteArrayView data;  // length - 8 bytes

    std::optional<quint8> u8() const;
    std::optional<quint16> u16() const;
    std::optional<quint32> u32() const;
    std::optional<qint32> s32() const;
    std::optional<quint64> u64() const;
    // Two u16, first then last.
    std::optional<std::pair<quint16, quint16>> u16Pair() const;
    // UTF-8, no terminator. Malformed sequences become replacement characters; never fails.
    QString text() const;
    // 4 bytes: one u32 holding the address as a number, returned in word 3.
    std::optional<QNAddressWords> ipv4() const;
    // 16 bytes: four u32 groups, most significant first.
    std::optional<QNAddressWords> ipv6() const;
    // Two addresses, first then last (8 or 32 bytes).
    std::optional<std::pair<QNAddressWords, QNAddressWords>> ipv4Range() const;
    std::optional<std::pair<QNAddressWords, QNAddressWords>> ipv6Range() const;
};

// Walks the atoms of one buffer: a container's data or a whole stream. Each atom's length is checked
// against what is left of the buffer before anything is read from it: an atom shorter than its own header,
// a header cut off by the end, or a length that runs past the end stops the walk with a reason.
// The reader only views the buffer: the bytes must stay alive and unchanged while it and its atoms are used.
class QNAtomReader {
public:
    explicit QNAtomReader(QByteArrayView buffer)
        : _buffer(buffer) {}

    // The next atom. False at the end of the buffer or on a malformed atom; hasError() tells them apart.
    // After an error every further call answers false.
    bool next(QNAtom* atom);
    bool atEnd() const { return !hasError() && _offset == _buffer.size(); }
    bool hasError() const { return !_error.isNull(); }
    QString errorString() const { return _error; }
    qsizetype offset() const { return _offset; }

    // Every atom of the buffer, or none with *error (when given) set to the reason.
    static std::optional<QList<QNAtom>> readAll(QByteArrayView buffer, QString* error = nullptr);
    // Length and type of the atom at the start of buffer; false when fewer than 8 bytes are there.
    // For stream readers that must know how much to wait for; the length is not checked.
    static bool readHeader(QByteArrayView buffer, quint32* length, quint32* type);

private:
    QByteArrayView _buffer;
    qsizetype _offset = 0;
    QString _error;
};
