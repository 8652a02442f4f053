// The SOCKS header parser over byte buffers: the refusals the connection only passes on, and what the tests
// on the wire do not reach (SOCKS 4 after a greeting, IPv6, the bounds on garbage, the failure codes). That
// no cut of the input changes the outcome is the fuzz harness's to check, over far more inputs.
#include "tunnel/QNSOCKSRequestParser.h"
#include "util/QNConstants.h"

#include <gtest/gtest.h>

namespace {

using Parser = QNSOCKSRequestParser;
using Outcome = Parser::Outcome;
using Stage = Parser::Stage;

QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}

struct ParseCase {
    const char* name;
    Stage stage;
    QByteArray input;
    Outcome outcome;
    qsizetype consumed;
    QByteArray reply = {};        // GreetingAccepted and Refused
    QString host = {};            // Connect
    quint16 port = 0;             // Connect
    QByteArray grantedReply = {}; // Connect: the reply once the channel is open
    QByteArray failedReply = {};  // Connect: the reply when it is not (host unreachable for SOCKS 5)
};

class SOCKSParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(SOCKSParseTest, OutcomeReplyAndDestination) {
    const ParseCase& c = GetParam();
    const Parser::Result result = Parser::parseHeader(c.stage, c.input);
    ASSERT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.consumed, c.consumed);
    EXPECT_EQ(result.reply.toHex(), c.reply.toHex());
    if (c.outcome == Outcome::Connect) {
        EXPECT_EQ(result.host, c.host);
        EXPECT_EQ(result.port, c.port);
        EXPECT_EQ(result.connectReply(true, 0).toHex(), c.grantedReply.toHex());
        EXPECT_EQ(result.connectReply(false, Parser::kSOCKS5HostUnreachable).toHex(), c.failedReply.toHex());
    }
}

const QByteArray kSOCKS4Granted = hex("005a000000000000");
const QByteArray kSOCKS4Rejected = hex("005b000000000000");

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Headers, SOCKSParseTest,
    testing::Values(
        ParseCase{"SOCKS4ZeroAddressIsNot4a", Stage::Header, hex("040100500000000000"), Outcome::Connect, 9, {},
                  "0.0.0.0", 80, kSOCKS4Granted, kSOCKS4Rejected},
        ParseCase{"SOCKS4AfterGreeting", Stage::Request, hex("040100500102030400"), Outcome::Connect, 9, {},
                  "1.2.3.4", 80, kSOCKS4Granted, kSOCKS4Rejected},
        ParseCase{"SOCKS4BindIsRejected", Stage::Header, hex("040200500102030400"), Outcome::Refused, 9,
                  kSOCKS4Rejected},
        ParseCase{"GreetingNoMethods", Stage::Header, hex("0500"), Outcome::Refused, 2, hex("05ff")},
        ParseCase{"GreetingUserPasswordOnly", Stage::Header, hex("050102"), Outcome::Refused, 3, hex("05ff")},
        ParseCase{"RequestIPv6", Stage::Request, hex("050100040000000000000000000000000000000101bb"),
                  Outcome::Connect, 22, {}, "::1", 443, hex("050000040000000000000000000000000000000101bb"),
                  hex("050400040000000000000000000000000000000101bb")},
        ParseCase{"RequestUnknownAddressTypeIsNeverAnswered", Stage::Request, hex("05010009") + QByteArray(300, 'x'),
                  Outcome::NeedMore, 0},
        ParseCase{"UnknownVersionAtRequest", Stage::Request, hex("06010001"), Outcome::Close, 0},
        ParseCase{"EndlessUserIdentifier", Stage::Header,
                  hex("0401005001020304") + QByteArray(kQNSSHTunnelConnectionHeaderSizeMaximum, 'u'), Outcome::Close, 0},
        ParseCase{"EndlessUnknownAddressType", Stage::Request,
                  hex("05010009") + QByteArray(kQNSSHTunnelConnectionHeaderSizeMaximum, 'x'), Outcome::Close, 0}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(SOCKSParse, FailureCodeFollowsTheOpenFailureReason) {
    const struct {
        const char* error;
        quint8 code;
    } cases[] = {
        {"Channel opening failure: channel 4 error (2) Connection refused", Parser::kSOCKS5ConnectionRefused},
        {"Channel opening failure: channel 4 error (2) No route to host", Parser::kSOCKS5HostUnreachable},
        {"Channel opening failure: channel 4 error (2) Name or service not known", Parser::kSOCKS5HostUnreachable},
        {"Channel opening failure: channel 4 error (1) administratively prohibited", Parser::kSOCKS5GeneralFailure},
        {"Socket error: disconnected", Parser::kSOCKS5GeneralFailure},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parser::socks5FailureCode(c.error), c.code) << c.error;
    }
}

} // namespace
