#include "tunnel/QNSOCKSRequestParser.h"

#include "util/QNConstants.h"

#include <QRegularExpression>

#include <arpa/inet.h>

namespace {

constexpr char kSOCKS4Version = 4;
constexpr char kSOCKS5Version = 5;
constexpr quint8 kCommandConnect = 1;
constexpr quint8 kSOCKS4Granted = 0x5A;
constexpr quint8 kSOCKS4Rejected = 0x5B;
constexpr quint8 kMethodNoAuthentication = 0x00;
constexpr quint8 kMethodNoneAcceptable = 0xFF;
constexpr quint8 kAddressIPv4 = 1;
constexpr quint8 kAddressName = 3;
constexpr quint8 kAddressIPv6 = 4;
// SSH channel open-failure reason for a destination the server could not reach.
constexpr int kSSHOpenConnectFailed = 2;

quint8 byteAt(QByteArrayView input, qsizetype index) {
    return quint8(input[index]);
}

quint16 bigEndian16(QByteArrayView input, qsizetype index) {
    return quint16((byteAt(input, index) << 8) | byteAt(input, index + 1));
}

QByteArray socks4Reply(quint8 code) {
    QByteArray reply(8, '\0');
    reply[1] = char(code);
    return reply;
}

QNSOCKSRequestParser::Result needMore() {
    return {};
}

QNSOCKSRequestParser::Result closeWithoutReply() {
    QNSOCKSRequestParser::Result result;
    result.outcome = QNSOCKSRequestParser::Outcome::Close;
    return result;
}

} // namespace

QByteArray QNSOCKSRequestParser::Result::connectReply(bool granted, quint8 socks5Code) const {
    if (!isSOCKS5) {
        return socks4Reply(granted ? kSOCKS4Granted : kSOCKS4Rejected);
    }
    QByteArray reply;
    reply.reserve(3 + boundAddress.size());
    reply.append(kSOCKS5Version);
    reply.append(char(granted ? 0x00 : socks5Code));
    reply.append('\0');
    reply.append(boundAddress);
    return reply;
}

QNSOCKSRequestParser::Result QNSOCKSRequestParser::parseHeader(Stage stage, QByteArrayView input) {
    // Only a bounded prefix is looked at, so a header that is not complete within it is garbage whatever
    // follows, and the answer never depends on how the input was cut.
    const bool truncated = input.size() >= kQNSSHTunnelConnectionHeaderSizeMaximum;
    input = input.first(qMin(input.size(), kQNSSHTunnelConnectionHeaderSizeMaximum));
    if (input.isEmpty()) {
        return needMore();
    }
    Result result;
    if (input[0] == kSOCKS4Version) {
        result = parseSOCKSHeader4(input);
    } else if (input[0] == kSOCKS5Version) {
        result = stage == Stage::Header ? parseSOCKSHeader5Greeting(input) : parseSOCKSHeader5Request(input);
    } else {
        return closeWithoutReply();
    }
    if (result.outcome == Outcome::NeedMore && truncated) {
        return closeWithoutReply();
    }
    return result;
}

QNSOCKSRequestParser::Result QNSOCKSRequestParser::parseSOCKSHeader4(QByteArrayView input) {
    if (input.size() < 8) {
        return needMore();
    }
    const qsizetype userEnd = input.indexOf('\0', 8);
    if (userEnd < 0) {
        return needMore();
    }
    Result result;
    // DSTIP 0.0.0.x with x not 0 marks SOCKS 4a: the host name follows the user identifier.
    const bool isSOCKS4A =
        byteAt(input, 4) == 0 && byteAt(input, 5) == 0 && byteAt(input, 6) == 0 && byteAt(input, 7) != 0;
    qsizetype lastNul = userEnd;
    if (isSOCKS4A) {
        lastNul = input.indexOf('\0', userEnd + 1);
        if (lastNul < 0) {
            return needMore();
        }
        result.host = QString::fromUtf8(input.sliced(userEnd + 1, lastNul - userEnd - 1));
    } else {
        result.host = QStringLiteral("%1.%2.%3.%4")
                          .arg(byteAt(input, 4))
                          .arg(byteAt(input, 5))
                          .arg(byteAt(input, 6))
                          .arg(byteAt(input, 7));
    }
    result.port = bigEndian16(input, 2);
    result.consumed = lastNul + 1;
    if (byteAt(input, 1) == kCommandConnect) {
        result.outcome = Outcome::Connect;
    } else {
        result.outcome = Outcome::Refused;
        result.reply = socks4Reply(kSOCKS4Rejected);
    }
    return result;
}

QNSOCKSRequestParser::Result QNSOCKSRequestParser::parseSOCKSHeader5Greeting(QByteArrayView input) {
    if (input.size() < 2) {
        return needMore();
    }
    const qsizetype methodCount = byteAt(input, 1);
    if (input.size() < 2 + methodCount) {
        return needMore();
    }
    const bool accepted = input.sliced(2, methodCount).contains(char(kMethodNoAuthentication));
    Result result;
    result.isSOCKS5 = true;
    result.consumed = 2 + methodCount;
    result.outcome = accepted ? Outcome::GreetingAccepted : Outcome::Refused;
    result.reply = QByteArray(1, kSOCKS5Version) + char(accepted ? kMethodNoAuthentication : kMethodNoneAcceptable);
    return result;
}

QNSOCKSRequestParser::Result QNSOCKSRequestParser::parseSOCKSHeader5Request(QByteArrayView input) {
    if (input.size() < 4) {
        return needMore();
    }
    Result result;
    result.isSOCKS5 = true;
    qsizetype addressSize = 0;
    switch (byteAt(input, 3)) {
    case kAddressIPv4:
        addressSize = 4;
        if (input.size() < 4 + addressSize) {
            return needMore();
        }
        result.host = QStringLiteral("%1.%2.%3.%4")
                          .arg(byteAt(input, 4))
                          .arg(byteAt(input, 5))
                          .arg(byteAt(input, 6))
                          .arg(byteAt(input, 7));
        break;
    case kAddressName:
        if (input.size() < 5) {
            return needMore();
        }
        addressSize = 1 + byteAt(input, 4);
        if (input.size() < 4 + addressSize) {
            return needMore();
        }
        result.host = QString::fromUtf8(input.sliced(5, addressSize - 1));
        break;
    case kAddressIPv6: {
        addressSize = 16;
        if (input.size() < 4 + addressSize) {
            return needMore();
        }
        char text[INET6_ADDRSTRLEN] = {};
        if (!inet_ntop(AF_INET6, input.data() + 4, text, sizeof(text))) {
            return needMore();
        }
        result.host = QString::fromLatin1(text);
        break;
    }
    default:
        // An address type we do not know: nothing is consumed and nothing is answered.
        return needMore();
    }
    const qsizetype size = 4 + addressSize + 2;
    if (input.size() < size) {
        return needMore();
    }
    result.port = bigEndian16(input, 4 + addressSize);
    result.boundAddress = input.sliced(3, size - 3).toByteArray();
    result.consumed = size;
    if (byteAt(input, 0) == kSOCKS5Version && byteAt(input, 1) == kCommandConnect) {
        result.outcome = Outcome::Connect;
    } else {
        result.outcome = Outcome::Refused;
        result.reply = result.connectReply(false, kSOCKS5CommandNotSupported);
    }
    return result;
}

quint8 QNSOCKSRequestParser::socks5FailureCode(const QByteArray& channelError) {
    // libssh words an open failure as "... error (<reason>) <description>".
    static const QRegularExpression reasonPattern(QStringLiteral("error \\((\\d+)\\)"));
    const QString text = QString::fromUtf8(channelError);
    const QRegularExpressionMatch match = reasonPattern.match(text);
    if (!match.hasMatch() || match.captured(1).toInt() != kSSHOpenConnectFailed) {
        return kSOCKS5GeneralFailure;
    }
    return text.contains(QStringLiteral("refused"), Qt::CaseInsensitive) ? kSOCKS5ConnectionRefused
                                                                         : kSOCKS5HostUnreachable;
}
