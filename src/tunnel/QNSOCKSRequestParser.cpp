#include "tunnel/QNSOCKSRequestParser.h"

#include "socks/QNSOCKSWire.h"
#include "util/QNConstants.h"

#include <QRegularExpression>

namespace {

using Wire = QNSOCKSWire;

// SSH channel open-failure reason for a destination the server could not reach.
constexpr int kSSHOpenConnectFailed = 2;

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
        return Wire::encodeReply4(granted ? Wire::kReply4Granted : Wire::kReply4Rejected);
    }
    return Wire::encodeReply5(granted ? Wire::kReply5Succeeded : socks5Code, boundAddress);
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
    if (quint8(input[0]) == Wire::kVersion4) {
        result = parseSOCKSHeader4(input);
    } else if (quint8(input[0]) == Wire::kVersion5) {
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
    Wire::Request4 request;
    if (Wire::decodeRequest4(input, &request) != Wire::Parse::Complete) {
        return needMore();
    }
    Result result;
    result.host = request.isSOCKS4A ? QString::fromUtf8(request.hostName)
                                    : Wire::Address::ipv4(request.ipv4, request.port).hostText();
    result.port = request.port;
    result.consumed = request.size;
    if (request.command == Wire::kCommandConnect) {
        result.outcome = Outcome::Connect;
    } else {
        result.outcome = Outcome::Refused;
        result.reply = Wire::encodeReply4(Wire::kReply4Rejected);
    }
    return result;
}

QNSOCKSRequestParser::Result QNSOCKSRequestParser::parseSOCKSHeader5Greeting(QByteArrayView input) {
    QByteArray methods;
    qsizetype size = 0;
    if (Wire::decodeGreeting5(input, &methods, &size) != Wire::Parse::Complete) {
        return needMore();
    }
    const bool accepted = methods.contains(char(Wire::kMethodNoAuthentication));
    Result result;
    result.isSOCKS5 = true;
    result.consumed = size;
    result.outcome = accepted ? Outcome::GreetingAccepted : Outcome::Refused;
    result.reply = Wire::encodeMethodChoice5(accepted ? Wire::kMethodNoAuthentication : Wire::kMethodNoneAcceptable);
    return result;
}

QNSOCKSRequestParser::Result QNSOCKSRequestParser::parseSOCKSHeader5Request(QByteArrayView input) {
    quint8 command = 0;
    Wire::Address address;
    qsizetype size = 0;
    // An incomplete request, or an address type we do not know: nothing is consumed and nothing is
    // answered.
    if (Wire::decodeMessage5(input, &command, &address, &size) != Wire::Parse::Complete) {
        return needMore();
    }
    Result result;
    result.isSOCKS5 = true;
    result.host = address.hostText();
    result.port = address.port;
    result.boundAddress = input.sliced(3, size - 3).toByteArray();
    result.consumed = size;
    if (command == Wire::kCommandConnect) {
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
