#include "kernel/QNAtomWriter.h"

#include "kernel/QNAtomTypes.h"

#include <cstring>
#include <limits>

namespace {

template <typename T> void appendHostOrder(QByteArray& buffer, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    buffer.append(bytes, sizeof(T));
}

} // namespace

bool QNAtomWriter::appendAtom(QByteArray& buffer, quint32 type, const char* data, quint32 dataLength) {
    if (dataLength > std::numeric_limits<quint32>::max() - kQNAtomHeaderSize) {
        return false;
    }
    appendHostOrder<quint32>(buffer, dataLength + kQNAtomHeaderSize);
    appendHostOrder<quint32>(buffer, type);
    if (dataLength != 0) {
        buffer.append(data, qsizetype(dataLength));
    }
    return true;
}

bool QNAtomWriter::appendAtom(QByteArray& buffer, quint32 type, const QByteArray& data) {
    if (quint64(data.size()) > quint64(std::numeric_limits<quint32>::max() - kQNAtomHeaderSize)) {
        return false;
    }
    return appendAtom(buffer, type, data.constData(), quint32(data.size()));
}

void QNAtomWriter::appendUInt8Atom(QByteArray& buffer, quint32 type, quint8 value) {
    appendAtom(buffer, type, reinterpret_cast<const char*>(&value), sizeof value);
}

void QNAtomWriter::appendUInt16Atom(QByteArray& buffer, quint32 type, quint16 value) {
    appendAtom(buffer, type, reinterpret_cast<const char*>(&value), sizeof value);
}

void QNAtomWriter::appendUInt32Atom(QByteArray& buffer, quint32 type, quint32 value) {
    appendAtom(buffer, type, reinterpret_cast<const char*>(&value), sizeof value);
}

void QNAtomWriter::appendUInt16PairAtom(QByteArray& buffer, quint32 type, quint16 first, quint16 last) {
    const quint16 pair[2] = {first, last};
    appendAtom(buffer, type, reinterpret_cast<const char*>(pair), sizeof pair);
}

bool QNAtomWriter::appendTextAtom(QByteArray& buffer, quint32 type, const QString& text) {
    return appendAtom(buffer, type, text.toUtf8());
}
