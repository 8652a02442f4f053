#include "QNProxyTestValues.h"

#include "socks/QNSOCKSWire.h"

#include <gtest/gtest.h>

namespace {

using Wire = QNSOCKSWire;

// Every strict prefix of a complete message needs more; the whole one is complete.
template <typename Decode> void expectCompleteOnlyWhole(const QByteArray& message, Decode decode) {
    for (qsizetype size = 0; size < message.size(); ++size) {
        ASSERT_EQ(decode(QByteArrayView(message).first(size)), Wire::Parse::NeedMore) << "prefix of " << size;
    }
    EXPECT_EQ(decode(QByteArrayView(message)), Wire::Parse::Complete);
}

// What the engine's client side encodes, the tunnel's server side decodes to the same values.
TEST(SOCKSWire, BothEndsAgreeOnRequests) {
    for (const bool isSOCKS4A : {false, true}) {
        Wire::Request4 request;
        request.command = Wire::kCommandConnect;
        request.port = 8080;
        request.ipv4 = 0xC0000201;
        request.userId = "user";
        request.isSOCKS4A = isSOCKS4A;
        request.hostName = isSOCKS4A ? "example.org" : "";
        const QByteArray message = Wire::encodeRequest4(request);
        Wire::Request4 decoded;
        expectCompleteOnlyWhole(message, [&](QByteArrayView input) { return Wire::decodeRequest4(input, &decoded); });
        EXPECT_EQ(decoded.isSOCKS4A, isSOCKS4A);
        EXPECT_EQ(decoded.port, 8080);
        EXPECT_EQ(decoded.userId, "user");
        EXPECT_EQ(decoded.hostName, request.hostName);
        EXPECT_EQ(decoded.size, message.size());
        if (!isSOCKS4A) {
            EXPECT_EQ(Wire::Address::ipv4(decoded.ipv4, 0).hostText(), QStringLiteral("192.0.2.1"));
        }
    }

    const quint8 ipv6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const struct {
        Wire::Address address;
        const char* text;
    } addresses[] = {
        {Wire::Address::ipv4(0xC0000201, 443), "192.0.2.1"},
        {Wire::Address::ipv6(ipv6, 443), "2001:db8::1"},
        {Wire::Address::name("example.org", 443), "example.org"},
    };
    for (const auto& row : addresses) {
        const QByteArray message = Wire::encodeRequest5(Wire::kCommandConnect, row.address);
        quint8 command = 0;
        Wire::Address decoded;
        qsizetype size = 0;
        expectCompleteOnlyWhole(
            message, [&](QByteArrayView input) { return Wire::decodeMessage5(input, &command, &decoded, &size); });
        EXPECT_EQ(command, Wire::kCommandConnect);
        EXPECT_EQ(decoded.hostText(), QString::fromLatin1(row.text));
        EXPECT_EQ(decoded.port, 443);
        EXPECT_EQ(size, message.size());
    }
}

TEST(SOCKSWire, DecodersRefuseOtherProtocolsAtTheFirstByte) {
    quint8 code = 0;
    Wire::Address address;
    qsizetype size = 0;
    QByteArray methods;
    Wire::Request4 request;
    const QByteArrayView http("HTTP/1.1 400");
    EXPECT_EQ(Wire::decodeReply4(http.first(1), &code), Wire::Parse::Invalid);
    EXPECT_EQ(Wire::decodeMethodChoice5(http.first(1), &code), Wire::Parse::Invalid);
    EXPECT_EQ(Wire::decodeUserPasswordReply(http.first(1), &code), Wire::Parse::Invalid);
    EXPECT_EQ(Wire::decodeMessage5(http.first(1), &code, &address, &size), Wire::Parse::Invalid);
    EXPECT_EQ(Wire::decodeGreeting5(http.first(1), &methods, &size), Wire::Parse::Invalid);
    EXPECT_EQ(Wire::decodeRequest4(http.first(1), &request), Wire::Parse::Invalid);
    // an address type nobody defined
    EXPECT_EQ(Wire::decodeMessage5(hexBytes("05 00 00 02"), &code, &address, &size), Wire::Parse::Invalid);
    // longer fields than a length byte carries
    EXPECT_TRUE(Wire::encodeUserPassword(QByteArray(256, 'u'), "p").isEmpty());
    EXPECT_FALSE(Wire::encodeUserPassword(QByteArray(255, 'u'), QByteArray(255, 'p')).isEmpty());
}

} // namespace
