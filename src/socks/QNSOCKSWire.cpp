#include "socks/QNSOCKSWire.h"

#include <arpa/inet.h>
#include <sys/socket.h>

namespace {

using Parse = QNSOCKSWire::Parse;

quint8 byteAt(QByteArrayView input, qsizetype index) {
    return quint8(input[index]);
}

quint16 bigEndian16(QByteArrayView input, qsizetype index) {
    return quint16((byteAt(input, index) << 8) | byteAt(input, index + 1));
}

quint32 bigEndian32(QByteArrayView input, qsizetype index) {
    return quint32(bigEndian16(input, index)) << 16 | bigEndian16(input, index + 2);
}

void appendBigEndian16(QByteArray& output, quint16 value) {
    output.append(char(value >> 8));
    output.append(char(value & 0xFF));
}

void appendBigEndian32(QByteArray& output, quint32 value) {
    appendBigEndian16(output, quint16(value >> 16));
    appendBigEndian16(output, quint16(value & 0xFFFF));
}

QString dottedQuad(quint32 address) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg(address & 0xFF);
}

// A two-byte message whose first byte must be one of two versions.
Parse decodePair(QByteArrayView input, quint8 version, quint8 otherVersion, quint8* second) {
    if (input.isEmpty()) {
        return Parse::NeedMore;
    }
    if (byteAt(input, 0) != version && byteAt(input, 0) != otherVersion) {
        return Parse::Invalid;
    }
    if (input.size() < 2) {
        return Parse::NeedMore;
    }
    *second = byteAt(input, 1);
    return Parse::Complete;
}

} // namespace

QNSOCKSWire::Address QNSOCKSWire::Address::ipv4(quint32 address, quint16 port) {
    Address result;
    result.type = kAddressIPv4;
    appendBigEndian32(result.value, address);
    result.port = port;
    return result;
}

QNSOCKSWire::Address QNSOCKSWire::Address::ipv6(const quint8 (&bytes)[16], quint16 port) {
    Address result;
    result.type = kAddressIPv6;
    result.value = QByteArray(reinterpret_cast<const char*>(bytes), 16);
    result.port = port;
    return result;
}

QNSOCKSWire::Address QNSOCKSWire::Address::name(QByteArrayView name, quint16 port) {
    Address result;
    result.type = kAddressName;
    result.value = name.toByteArray();
    result.port = port;
    return result;
}

QString QNSOCKSWire::Address::hostText() const {
    if (type == kAddressIPv4 && value.size() == 4) {
        return dottedQuad(bigEndian32(value, 0));
    }
    if (type == kAddressIPv6 && value.size() == 16) {
        char text[INET6_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET6, value.constData(), text, sizeof(text))) {
            return QString::fromLatin1(text);
        }
        return {};
    }
    return QString::fromUtf8(value);
}

QByteArray QNSOCKSWire::encodeRequest4(const Request4& request) {
    QByteArray output;
    output.reserve(9 + request.userId.size() + request.hostName.size() + 1);
    output.append(char(kVersion4));
    output.append(char(request.command));
    appendBigEndian16(output, request.port);
    // 0.0.0.1 tells a SOCKS 4a server that a host name follows.
    appendBigEndian32(output, request.isSOCKS4A ? 1 : request.ipv4);
    output.append(request.userId);
    output.append('\0');
    if (request.isSOCKS4A) {
        output.append(request.hostName);
        output.append('\0');
    }
    return output;
}

QNSOCKSWire::Parse QNSOCKSWire::decodeRequest4(QByteArrayView input, Request4* request) {
    if (!input.isEmpty() && byteAt(input, 0) != kVersion4) {
        return Parse::Invalid;
    }
    if (input.size() < 8) {
        return Parse::NeedMore;
    }
    const qsizetype userEnd = input.indexOf('\0', 8);
    if (userEnd < 0) {
        return Parse::NeedMore;
    }
    Request4 result;
    result.command = byteAt(input, 1);
    result.port = bigEndian16(input, 2);
    result.ipv4 = bigEndian32(input, 4);
    result.userId = input.sliced(8, userEnd - 8).toByteArray();
    result.isSOCKS4A = result.ipv4 != 0 && result.ipv4 <= 0xFF;
    qsizetype lastNul = userEnd;
    if (result.isSOCKS4A) {
        lastNul = input.indexOf('\0', userEnd + 1);
        if (lastNul < 0) {
            return Parse::NeedMore;
        }
        result.hostName = input.sliced(userEnd + 1, lastNul - userEnd - 1).toByteArray();
    }
    result.size = lastNul + 1;
    *request = std::move(result);
    return Parse::Complete;
}

QByteArray QNSOCKSWire::encodeReply4(quint8 code) {
    QByteArray reply(8, '\0');
    reply[1] = char(code);
    return reply;
}

QNSOCKSWire::Parse QNSOCKSWire::decodeReply4(QByteArrayView input, quint8* code) {
    if (!input.isEmpty() && byteAt(input, 0) != 0 && byteAt(input, 0) != kVersion4) {
        return Parse::Invalid;
    }
    if (input.size() < 8) {
        return Parse::NeedMore;
    }
    *code = byteAt(input, 1);
    return Parse::Complete;
}

QByteArray QNSOCKSWire::encodeGreeting5(QByteArrayView methods) {
    QByteArray output;
    output.append(char(kVersion5));
    output.append(char(methods.size()));
    output.append(methods.first(qMin<qsizetype>(methods.size(), 255)));
    return output;
}

QNSOCKSWire::Parse QNSOCKSWire::decodeGreeting5(QByteArrayView input, QByteArray* methods, qsizetype* size) {
    if (!input.isEmpty() && byteAt(input, 0) != kVersion5) {
        return Parse::Invalid;
    }
    if (input.size() < 2) {
        return Parse::NeedMore;
    }
    const qsizetype count = byteAt(input, 1);
    if (input.size() < 2 + count) {
        return Parse::NeedMore;
    }
    *methods = input.sliced(2, count).toByteArray();
    *size = 2 + count;
    return Parse::Complete;
}

QByteArray QNSOCKSWire::encodeMethodChoice5(quint8 method) {
    QByteArray output;
    output.append(char(kVersion5));
    output.append(char(method));
    return output;
}

QNSOCKSWire::Parse QNSOCKSWire::decodeMethodChoice5(QByteArrayView input, quint8* method) {
    return decodePair(input, kVersion5, kVersion5, method);
}

QByteArray QNSOCKSWire::encodeUserPassword(QByteArrayView user, QByteArrayView password) {
    if (user.size() > kFieldSizeMaximum || password.size() > kFieldSizeMaximum) {
        return {};
    }
    QByteArray output;
    output.append(char(kUserPasswordVersion));
    output.append(char(user.size()));
    output.append(user);
    output.append(char(password.size()));
    output.append(password);
    return output;
}

QNSOCKSWire::Parse QNSOCKSWire::decodeUserPasswordReply(QByteArrayView input, quint8* status) {
    return decodePair(input, kUserPasswordVersion, kVersion5, status);
}

QByteArray QNSOCKSWire::encodeAddress(const Address& address) {
    QByteArray output;
    output.reserve(2 + address.value.size() + 2);
    output.append(char(address.type));
    if (address.type == kAddressName) {
        output.append(char(qMin<qsizetype>(address.value.size(), kFieldSizeMaximum)));
        output.append(address.value.first(qMin<qsizetype>(address.value.size(), kFieldSizeMaximum)));
    } else {
        output.append(address.value);
    }
    appendBigEndian16(output, address.port);
    return output;
}

QNSOCKSWire::Parse QNSOCKSWire::decodeAddress(QByteArrayView input, qsizetype offset, Address* address,
                                              qsizetype* end) {
    if (input.size() <= offset) {
        return Parse::NeedMore;
    }
    Address result;
    result.type = byteAt(input, offset);
    qsizetype valueStart = offset + 1;
    qsizetype valueSize = 0;
    switch (result.type) {
    case kAddressIPv4:
        valueSize = 4;
        break;
    case kAddressIPv6:
        valueSize = 16;
        break;
    case kAddressName:
        if (input.size() <= offset + 1) {
            return Parse::NeedMore;
        }
        valueSize = byteAt(input, offset + 1);
        valueStart = offset + 2;
        break;
    default:
        return Parse::Invalid;
    }
    if (input.size() < valueStart + valueSize + 2) {
        return Parse::NeedMore;
    }
    result.value = input.sliced(valueStart, valueSize).toByteArray();
    result.port = bigEndian16(input, valueStart + valueSize);
    *address = std::move(result);
    *end = valueStart + valueSize + 2;
    return Parse::Complete;
}

QByteArray QNSOCKSWire::encodeRequest5(quint8 command, const Address& address) {
    return encodeReply5(command, encodeAddress(address));
}

QByteArray QNSOCKSWire::encodeReply5(quint8 code, const Address& bound) {
    return encodeReply5(code, encodeAddress(bound));
}

QByteArray QNSOCKSWire::encodeReply5(quint8 code, QByteArrayView encodedAddress) {
    QByteArray output;
    output.reserve(3 + encodedAddress.size());
    output.append(char(kVersion5));
    output.append(char(code));
    output.append('\0');
    output.append(encodedAddress);
    return output;
}

QNSOCKSWire::Parse QNSOCKSWire::decodeMessage5(QByteArrayView input, quint8* code, Address* address, qsizetype* size) {
    if (!input.isEmpty() && byteAt(input, 0) != kVersion5) {
        return Parse::Invalid;
    }
    if (input.size() < 3) {
        return Parse::NeedMore;
    }
    qsizetype end = 0;
    const Parse parse = decodeAddress(input, 3, address, &end);
    if (parse == Parse::Complete) {
        *code = byteAt(input, 1);
        *size = end;
    }
    return parse;
}

QString QNSOCKSWire::reply4Text(quint8 code) {
    switch (code) {
    case kReply4Granted:
        return QStringLiteral("granted");
    case kReply4Rejected:
        return QStringLiteral("request rejected or failed");
    case kReply4NoIdentd:
        return QStringLiteral("rejected: the proxy could not reach an identd on this host");
    case kReply4IdentdMismatch:
        return QStringLiteral("rejected: the user id does not match identd's");
    default:
        return QStringLiteral("unknown reply code %1").arg(code);
    }
}

QString QNSOCKSWire::reply5Text(quint8 code) {
    switch (code) {
    case kReply5Succeeded:
        return QStringLiteral("succeeded");
    case kReply5GeneralFailure:
        return QStringLiteral("general failure");
    case kReply5NotAllowed:
        return QStringLiteral("connection not allowed by the proxy's rules");
    case kReply5NetworkUnreachable:
        return QStringLiteral("network unreachable");
    case kReply5HostUnreachable:
        return QStringLiteral("host unreachable");
    case kReply5ConnectionRefused:
        return QStringLiteral("connection refused");
    case kReply5TTLExpired:
        return QStringLiteral("TTL expired");
    case kReply5CommandNotSupported:
        return QStringLiteral("command not supported");
    case kReply5AddressNotSupported:
        return QStringLiteral("address type not supported");
    default:
        return QStringLiteral("unknown reply code %1").arg(code);
    }
}
