#include "kernel/QNAtomReader.h"

#include "kernel/QNAtomTypes.h"

#include <cstring>

namespace {

template <typename T> T readHostOrder(const char* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

template <typename T> std::optional<T> exactValue(QByteArrayView data) {
    if (data.size() != qsizetype(sizeof(T))) {
        return std::nullopt;
    }
    return readHostOrder<T>(data.data());
}

QNAddressWords ipv4Words(const char* bytes) {
    return QNAddressWords{0, 0, 0, readHostOrder<quint32>(bytes)};
}

QNAddressWords ipv6Words(const char* bytes) {
    QNAddressWords words;
    for (int i = 0; i < 4; ++i) {
        words[i] = readHostOrder<quint32>(bytes + 4 * i);
    }
    return words;
}

} // namespace

std::optional<quint8> QNAtom::u8() const {
    return exactValue<quint8>(data);
}

std::optional<quint16> QNAtom::u16() const {
    return exactValue<quint16>(data);
}

std::optional<quint32> QNAtom::u32() const {
    return exactValue<quint32>(data);
}

std::optional<qint32> QNAtom::s32() const {
    return exactValue<qint32>(data);
}

std::optional<quint64> QNAtom::u64() const {
    return exactValue<quint64>(data);
}

std::optional<std::pair<quint16, quint16>> QNAtom::u16Pair() const {
    if (data.size() != 4) {
        return std::nullopt;
    }
    return std::pair{readHostOrder<quint16>(data.data()), readHostOrder<quint16>(data.data() + 2)};
}

QString QNAtom::text() const {
    return QString::fromUtf8(data);
}

std::optional<QNAddressWords> QNAtom::ipv4() const {
    if (data.size() != 4) {
        return std::nullopt;
    }
    return ipv4Words(data.data());
}

std::optional<QNAddressWords> QNAtom::ipv6() const {
    if (data.size() != 16) {
        return std::nullopt;
    }
    return ipv6Words(data.data());
}

std::optional<std::pair<QNAddressWords, QNAddressWords>> QNAtom::ipv4Range() const {
    if (data.size() != 8) {
        return std::nullopt;
    }
    return std::pair{ipv4Words(data.data()), ipv4Words(data.data() + 4)};
}

std::optional<std::pair<QNAddressWords, QNAddressWords>> QNAtom::ipv6Range() const {
    if (data.size() != 32) {
        return std::nullopt;
    }
    return std::pair{ipv6Words(data.data()), ipv6Words(data.data() + 16)};
}

bool QNAtomReader::next(QNAtom* atom) {
    if (hasError() || _offset >= _buffer.size()) {
        return false;
    }
    const qsizetype left = _buffer.size() - _offset;
    if (left < qsizetype(kQNAtomHeaderSize)) {
        _error = QStringLiteral("atom header cut off at offset %1: %2 bytes left, 8 needed").arg(_offset).arg(left);
        return false;
    }
    quint32 length = 0;
    quint32 type = 0;
    readHeader(_buffer.sliced(_offset), &length, &type);
    if (length < kQNAtomHeaderSize) {
        _error = QStringLiteral("atom '%1' at offset %2 declares length %3, shorter than its 8-byte header")
                     .arg(QNAtomTypeString(type))
                     .arg(_offset)
                     .arg(length);
        return false;
    }
    if (qint64(length) > qint64(left)) {
        _error = QStringLiteral("atom '%1' at offset %2 declares length %3 but only %4 bytes are left in its container")
                     .arg(QNAtomTypeString(type))
                     .arg(_offset)
                     .arg(length)
                     .arg(left);
        return false;
    }
    if (atom) {
        atom->type = type;
        atom->length = length;
        atom->offset = _offset;
        atom->data = _buffer.sliced(_offset + kQNAtomHeaderSize, qsizetype(length - kQNAtomHeaderSize));
    }
    _offset += length;
    return true;
}

std::optional<QList<QNAtom>> QNAtomReader::readAll(QByteArrayView buffer, QString* error) {
    QNAtomReader reader(buffer);
    QList<QNAtom> atoms;
    QNAtom atom;
    while (reader.next(&atom)) {
        atoms.append(atom);
    }
    if (reader.hasError()) {
        if (error) {
            *error = reader.errorString();
        }
        return std::nullopt;
    }
    return atoms;
}

bool QNAtomReader::readHeader(QByteArrayView buffer, quint32* length, quint32* type) {
    if (buffer.size() < qsizetype(kQNAtomHeaderSize)) {
        return false;
    }
    if (length) {
        *length = readHostOrder<quint32>(buffer.data());
    }
    if (type) {
        *type = readHostOrder<quint32>(buffer.data() + 4);
    }
    return true;
}
