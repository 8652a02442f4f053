// The wire encodings of key files: SSH strings (text and binary) and mpints, protocol-1 binary and decimal
// big numbers.
// Every position is computed in 64 bits so that no length read from the input can wrap an offset.

#include "fingerprint/QNFingerprint.h"

#include <algorithm>
#include <string>

namespace {

// No legitimate key needs more: strings hold names, nonces and certificate parts, and 8192 bytes of
// mpint is a 65536-bit number.
constexpr quint64 kMaximumStringLength = 262144;
constexpr quint64 kMaximumBigNumberLength = 8192;
// The decimal form of the largest mpint we accept has fewer digits than this; converting is quadratic,
// so a hostile run of digits is cut off here.
constexpr quint64 kMaximumDecimalDigits = 20000;
constexpr quint64 kMaximumOffset = 0xFFFFFFFFu;

quint8 byteAt(const QByteArray& buffer, quint64 at) {
    return static_cast<quint8>(buffer.at(static_cast<qsizetype>(at)));
}

quint32 readUInt32(const QByteArray& buffer, quint64 at) {
    return (quint32(byteAt(buffer, at)) << 24) | (quint32(byteAt(buffer, at + 1)) << 16) |
           (quint32(byteAt(buffer, at + 2)) << 8) | quint32(byteAt(buffer, at + 3));
}

quint16 readUInt16(const QByteArray& buffer, quint64 at) {
    return static_cast<quint16>((quint32(byteAt(buffer, at)) << 8) | quint32(byteAt(buffer, at + 1)));
}

const unsigned char* bytesAt(const QByteArray& buffer, quint64 at) {
    return reinterpret_cast<const unsigned char*>(buffer.constData()) + at;
}

bool isDigit(quint8 byte) {
    return byte >= '0' && byte <= '9';
}

bool isBlank(quint8 byte) {
    return byte == ' ' || byte == '\t';
}

// Places count bytes at start, growing the buffer when they reach past its end.
bool writeBytes(QByteArray* buffer, quint64 start, const char* bytes, quint64 count) {
    const quint64 end = start + count;
    if (end > kMaximumOffset) {
        return false;
    }
    if (end > quint64(buffer->size())) {
        buffer->append(static_cast<qsizetype>(end - quint64(buffer->size())), '\0');
    }
    if (count > 0) {
        std::copy(bytes, bytes + count, buffer->data() + start);
    }
    return true;
}

// Writes a 32-bit length and the bytes behind it at *offset, and moves the offset past them.
bool writeLengthPrefixedField(QByteArray* buffer, const QByteArray& bytes, quint32* offset) {
    const quint64 start = *offset;
    const quint64 count = quint64(bytes.size());
    const quint32 value = static_cast<quint32>(count);
    const char header[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    if (!writeBytes(buffer, start, header, 4) || !writeBytes(buffer, start + 4, bytes.constData(), count)) {
        return false;
    }
    *offset = static_cast<quint32>(start + 4 + count);
    return true;
}

// The data of a field behind a 32-bit length at start: where it begins and how long it is. The length
// word must not end the buffer, and the data must fit in it and below the largest offset.
bool lengthPrefixedField(const QByteArray& buffer, quint64 start, quint64 maximumCount, quint64* dataStart,
                         quint64* count) {
    const quint64 length = quint64(buffer.size());
    if (start + 4 >= length) {
        return false;
    }
    *dataStart = start + 4;
    *count = readUInt32(buffer, start);
    const quint64 end = *dataStart + *count;
    return *count <= maximumCount && end <= length && end <= kMaximumOffset;
}

// Converts count big-endian bytes at dataStart (when a number is wanted) and moves the offset past them.
bool takeBigNumber(const QByteArray& buffer, quint64 dataStart, quint64 count, BIGNUM* bigNumber, quint32* offset) {
    if (bigNumber && !BN_bin2bn(bytesAt(buffer, dataStart), static_cast<int>(count), bigNumber)) {
        return false;
    }
    *offset = static_cast<quint32>(dataStart + count);
    return true;
}

} // namespace

bool QNFingerprint::readString(const QByteArray& buffer, QString* string, quint32* offset) {
    quint64 dataStart = 0;
    quint64 count = 0;
    if (!offset || !lengthPrefixedField(buffer, *offset, kMaximumStringLength, &dataStart, &count)) {
        return false;
    }
    if (string) {
        *string = QString::fromUtf8(buffer.constData() + dataStart, static_cast<qsizetype>(count));
    }
    *offset = static_cast<quint32>(dataStart + count);
    return true;
}

bool QNFingerprint::readData(const QByteArray& buffer, QByteArray* data, quint32* offset) {
    quint64 dataStart = 0;
    quint64 count = 0;
    if (!offset || !lengthPrefixedField(buffer, *offset, kMaximumStringLength, &dataStart, &count)) {
        return false;
    }
    if (data) {
        *data = buffer.mid(static_cast<qsizetype>(dataStart), static_cast<qsizetype>(count));
    }
    *offset = static_cast<quint32>(dataStart + count);
    return true;
}

bool QNFingerprint::readBigNumber(const QByteArray& buffer, BIGNUM* bigNumber, quint32* offset) {
    if (!offset) {
        return false;
    }
    const quint64 length = quint64(buffer.size());
    const quint64 start = *offset;
    if (start + 2 >= length) {
        return false;
    }
    const quint64 count = (quint64(readUInt16(buffer, start)) + 7) / 8;
    const quint64 end = start + 2 + count;
    // In the private-key file the numbers are always followed by the comment and the private part.
    if (end >= length || end > kMaximumOffset) {
        return false;
    }
    return takeBigNumber(buffer, start + 2, count, bigNumber, offset);
}

bool QNFingerprint::readBigNumber2(const QByteArray& buffer, BIGNUM* bigNumber, quint32* offset) {
    quint64 dataStart = 0;
    quint64 count = 0;
    if (!offset || !lengthPrefixedField(buffer, *offset, kMaximumBigNumberLength, &dataStart, &count)) {
        return false;
    }
    // Two's complement: a set top bit is a negative number, which no key holds.
    if (count > 0 && (byteAt(buffer, dataStart) & 0x80) != 0) {
        return false;
    }
    return takeBigNumber(buffer, dataStart, count, bigNumber, offset);
}

bool QNFingerprint::readBigNumber3(const QByteArray& buffer, BIGNUM* bigNumber, quint32* offset) {
    if (!offset) {
        return false;
    }
    const quint64 length = quint64(buffer.size());
    quint64 start = *offset;
    while (start < length && isBlank(byteAt(buffer, start))) {
        ++start;
    }
    if (start >= length || !isDigit(byteAt(buffer, start))) {
        return false;
    }
    quint64 end = start;
    while (end < length && isDigit(byteAt(buffer, end))) {
        ++end;
    }
    if (end - start > kMaximumDecimalDigits || end > kMaximumOffset) {
        return false;
    }
    if (bigNumber) {
        const std::string digits(buffer.constData() + start, static_cast<size_t>(end - start));
        BIGNUM* target = bigNumber;
        if (BN_dec2bn(&target, digits.c_str()) == 0) {
            return false;
        }
    }
    *offset = static_cast<quint32>(end);
    return true;
}

bool QNFingerprint::writeString(QByteArray* buffer, const QString& string, quint32* offset) {
    if (!buffer || !offset) {
        return false;
    }
    return writeLengthPrefixedField(buffer, string.toUtf8(), offset);
}

bool QNFingerprint::writeData(QByteArray* buffer, const QByteArray& data, quint32* offset) {
    if (!buffer || !offset) {
        return false;
    }
    return writeLengthPrefixedField(buffer, data, offset);
}

bool QNFingerprint::writeBigNumber(QByteArray* buffer, const BIGNUM* bigNumber, quint32* offset) {
    if (!buffer || !bigNumber || !offset || BN_is_negative(bigNumber)) {
        return false;
    }
    const int byteCount = BN_num_bytes(bigNumber);
    // One spare byte in front for the zero that keeps a set top bit from reading as a sign.
    QByteArray value(byteCount + 1, '\0');
    BN_bn2bin(bigNumber, reinterpret_cast<unsigned char*>(value.data()) + 1);
    if (byteCount == 0 || (static_cast<quint8>(value.at(1)) & 0x80) == 0) {
        value.remove(0, 1);
    }
    return writeLengthPrefixedField(buffer, value, offset);
}
