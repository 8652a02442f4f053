// The wire encodings of key files: SSH strings and mpints, protocol-1 binary and decimal big numbers.
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

bool writeUInt32(QByteArray* buffer, quint64 start, quint32 value) {
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    return writeBytes(buffer, start, bytes, 4);
}

} // namespace

bool QNFingerprint::readString(const QByteArray& buffer, QString* string, quint32* offset) {
    if (!offset) {
        return false;
    }
    const quint64 length = quint64(buffer.size());
    const quint64 start = *offset;
    if (start + 4 >= length) {
        return false;
    }
    const quint64 count = readUInt32(buffer, start);
    const quint64 end = start + 4 + count;
    if (count > kMaximumStringLength || end > length || end > kMaximumOffset) {
        return false;
    }
    if (string) {
        *string = QString::fromUtf8(buffer.constData() + start + 4, static_cast<qsizetype>(count));
    }
    *offset = static_cast<quint32>(end);
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
    if (bigNumber && !BN_bin2bn(bytesAt(buffer, start + 2), static_cast<int>(count), bigNumber)) {
        return false;
    }
    *offset = static_cast<quint32>(end);
    return true;
}

bool QNFingerprint::readBigNumber2(const QByteArray& buffer, BIGNUM* bigNumber, quint32* offset) {
    if (!offset) {
        return false;
    }
    const quint64 length = quint64(buffer.size());
    const quint64 start = *offset;
    if (start + 4 >= length) {
        return false;
    }
    const quint64 count = readUInt32(buffer, start);
    const quint64 end = start + 4 + count;
    if (count > kMaximumBigNumberLength || end > length || end > kMaximumOffset) {
        return false;
    }
    // Two's complement: a set top bit is a negative number, which no key holds.
    if (count > 0 && (byteAt(buffer, start + 4) & 0x80) != 0) {
        return false;
    }
    if (bigNumber && !BN_bin2bn(bytesAt(buffer, start + 4), static_cast<int>(count), bigNumber)) {
        return false;
    }
    *offset = static_cast<quint32>(end);
    return true;
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
    const QByteArray bytes = string.toUtf8();
    const quint64 start = *offset;
    if (!writeUInt32(buffer, start, static_cast<quint32>(bytes.size())) ||
        !writeBytes(buffer, start + 4, bytes.constData(), quint64(bytes.size()))) {
        return false;
    }
    *offset = static_cast<quint32>(start + 4 + quint64(bytes.size()));
    return true;
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
    const quint64 start = *offset;
    if (!writeUInt32(buffer, start, static_cast<quint32>(value.size())) ||
        !writeBytes(buffer, start + 4, value.constData(), quint64(value.size()))) {
        return false;
    }
    *offset = static_cast<quint32>(start + 4 + quint64(value.size()));
    return true;
}
