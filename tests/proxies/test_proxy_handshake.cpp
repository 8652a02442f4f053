#include "QNProxyTestValues.h"

#include "engine/QNProxyHandshake.h"

#include <gtest/gtest.h>

namespace {

using Status = QNProxyHandshake::Status;

struct Outcome {
    Status status = Status::Continue;
    QByteArray sent;
    QByteArray leftover;
    QString failure;
    bool hasStream = false;

    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& stream, const Outcome& outcome) {
    return stream << "status " << int(outcome.status) << " sent " << outcome.sent.toHex(' ').constData() << " leftover "
                  << outcome.leftover.toHex(' ').constData() << " failure " << outcome.failure.toStdString();
}

// Runs a handshake against the proxy's whole reply, cut into pieces of the given sizes (the rest in one).
Outcome run(const QList<QNDecodedProxy>& hops, const QNEngineTarget& target, const QByteArray& replies,
            const QList<qsizetype>& cuts = {}) {
    QNProxyHandshake handshake(hops, target);
    Outcome outcome;
    if (!handshake.firstHop()) {
        outcome.status = Status::Failed;
        outcome.failure = handshake.failureReason();
        return outcome;
    }
    outcome.status = handshake.start();
    outcome.sent += handshake.takeOutput();
    qsizetype offset = 0;
    qsizetype cut = 0;
    while (outcome.status == Status::Continue && offset < replies.size()) {
        const qsizetype size = cut < cuts.size() ? cuts[cut++] : replies.size() - offset;
        outcome.status = handshake.feed(QByteArrayView(replies).sliced(offset, qMin(size, replies.size() - offset)));
        outcome.sent += handshake.takeOutput();
        offset += size;
    }
    if (outcome.status == Status::Done) {
        // Whatever followed the handshake belongs to the client, in order.
        if (offset < replies.size()) {
            handshake.feed(QByteArrayView(replies).sliced(offset));
        }
        outcome.leftover = handshake.takeLeftover();
        outcome.hasStream = handshake.takeStream() != nullptr;
    }
    outcome.failure = handshake.failureReason();
    return outcome;
}

struct HandshakeCase {
    const char* name;
    QList<QNDecodedProxy> hops;
    QNEngineTarget target;
    QByteArray replies;
    Status status;
    QByteArray sent; // every byte the handshake wrote
    QString failure; // exact failure reason
    QByteArray leftover = {};
};

const quint32 kProxyA = 0x0A000002; // 10.0.0.2
const quint32 kProxyB = 0x0A000003;
const quint32 kDestination = 0xCB007107; // 203.0.113.7

QByteArray socks5Ok() {
    return hexBytes("05 00 00 01 00000000 0000");
}

QList<HandshakeCase> cases() {
    const QNDecodedProxy socks4 = testProxy(1, "s4", kProxyA, 1080, QStringLiteral("alice"));
    const QNDecodedProxy socks4a = testProxy(2, "s4a", kProxyA, 1080);
    const QNDecodedProxy socks5 = testProxy(3, "corp", kProxyA, 1080);
    const QNDecodedProxy socks5Auth = testProxy(3, "corp", kProxyA, 1080, QStringLiteral("bob"), QStringLiteral("pw"));
    const QNDecodedProxy connect = testProxy(6, "web", kProxyA, 3128);
    const QNDecodedProxy connectAuth = testProxy(6, "web", kProxyA, 3128, QStringLiteral("bob"), QStringLiteral("pw"));
    QNDecodedProxy ssh = testProxy(7, "jump", kProxyB, 22, QStringLiteral("me"), QStringLiteral("secret"));
    ssh.localTunnelPort = 50000;
    const QNEngineTarget destination = testTarget(kDestination, 80);
    const QNEngineTarget named = testTarget(kDestination, 443, QStringLiteral("example.org"));
    const QNEngineTarget ipv6 = testTargetIPv6({0xFD000000, 0, 0, 1}, 80);
    const QByteArray greeting = hexBytes("05 01 00");
    const QByteArray request5 = hexBytes("05 01 00 01 CB007107 0050");
    const QByteArray connectRequest = "CONNECT 203.0.113.7:80 HTTP/1.1\r\nHost: 203.0.113.7:80\r\n\r\n";
    const QString s4 = QStringLiteral("at hop 1 of 1 (SOCKS4 \"s4\" 10.0.0.2:1080): ");
    const QString s5 = QStringLiteral("at hop 1 of 1 (SOCKS5 \"corp\" 10.0.0.2:1080): ");
    const QString web = QStringLiteral("at hop 1 of 1 (HTTP CONNECT \"web\" 10.0.0.2:3128): ");

    return {
        // SOCKS 4 and 4a
        {"socks4Granted",
         {socks4},
         destination,
         hexBytes("00 5A 0000 00000000") + "early",
         Status::Done,
         hexBytes("04 01 0050 CB007107") + "alice" + '\0',
         {},
         "early"},
        {"socks4ReplyVersion4",
         {socks4},
         destination,
         hexBytes("04 5A 0000 00000000"),
         Status::Done,
         hexBytes("04 01 0050 CB007107") + "alice" + '\0',
         {}},
        {"socks4Rejected",
         {socks4},
         destination,
         hexBytes("00 5B 0000 00000000"),
         Status::Failed,
         hexBytes("04 01 0050 CB007107") + "alice" + '\0',
         s4 + "request rejected or failed"},
        {"socks4NotSOCKS",
         {socks4},
         destination,
         "HTTP/1.0 400 Bad",
         Status::Failed,
         hexBytes("04 01 0050 CB007107") + "alice" + '\0',
         s4 + "bad reply (not SOCKS4)"},
        {"socks4IPv6", {socks4}, ipv6, {}, Status::Failed, {}, s4 + "SOCKS4 cannot reach the IPv6 address fd00::1"},
        {"socks4aName",
         {socks4a},
         named,
         hexBytes("00 5A 0000 00000000"),
         Status::Done,
         hexBytes("04 01 01BB 00000001 00") + "example.org" + '\0',
         {}},
        {"socks4aAddress",
         {socks4a},
         destination,
         hexBytes("00 5A 0000 00000000"),
         Status::Done,
         hexBytes("04 01 0050 CB007107 00"),
         {}},
        {"socks4aIPv6Literal",
         {socks4a},
         ipv6,
         hexBytes("00 5A 0000 00000000"),
         Status::Done,
         hexBytes("04 01 0050 00000001 00") + "fd00::1" + '\0',
         {}},
        // SOCKS 5
        {"socks5Address",
         {socks5},
         destination,
         hexBytes("05 00") + socks5Ok() + "x",
         Status::Done,
         greeting + request5,
         {},
         "x"},
        {"socks5Name",
         {socks5},
         named,
         hexBytes("05 00") + socks5Ok(),
         Status::Done,
         greeting + hexBytes("05 01 00 03 0B") + "example.org" + hexBytes("01BB"),
         {}},
        {"socks5IPv6",
         {socks5},
         ipv6,
         hexBytes("05 00 05 00 00 04 00000000000000000000000000000000 0000"),
         Status::Done,
         greeting + hexBytes("05 01 00 04 FD000000000000000000000000000001 0050"),
         {}},
        {"socks5BoundName",
         {socks5},
         destination,
         hexBytes("05 00 05 00 00 03 04") + "host" + hexBytes("1F90") + "x",
         Status::Done,
         greeting + request5,
         {},
         "x"},
        {"socks5Refused",
         {socks5},
         destination,
         hexBytes("05 00 05 05 00 01 00000000 0000"),
         Status::Failed,
         greeting + request5,
         s5 + "connection refused"},
        {"socks5UnknownAddressType",
         {socks5},
         destination,
         hexBytes("05 00 05 00 00 07 00000000 0000"),
         Status::Failed,
         greeting + request5,
         s5 + "bad reply (not SOCKS5)"},
        {"socks5WantsPassword",
         {socks5},
         destination,
         hexBytes("05 02"),
         Status::Failed,
         greeting,
         s5 + "the proxy requires a user name and password"},
        {"socks5NoMethod",
         {socks5},
         destination,
         hexBytes("05 FF"),
         Status::Failed,
         greeting,
         s5 + "the proxy requires a user name and password"},
        {"socks5Password",
         {socks5Auth},
         destination,
         hexBytes("05 02 01 00") + socks5Ok(),
         Status::Done,
         hexBytes("05 02 00 02 01 03") + "bob" + hexBytes("02") + "pw" + request5,
         {}},
        {"socks5PasswordRefused",
         {socks5Auth},
         destination,
         hexBytes("05 02 01 01"),
         Status::Failed,
         hexBytes("05 02 00 02 01 03") + "bob" + hexBytes("02") + "pw",
         s5 + "authentication refused"},
        {"socks5UnofferedMethod",
         {socks5},
         destination,
         hexBytes("05 01"),
         Status::Failed,
         greeting,
         s5 + "bad reply: the proxy chose authentication method 1, which was not offered"},
        {"socks5Garbage",
         {socks5},
         destination,
         "\x16\x03\x01",
         Status::Failed,
         greeting,
         s5 + "bad reply (not SOCKS5)"},
        // HTTP CONNECT
        {"connectOk",
         {connect},
         destination,
         "HTTP/1.0 200 Connection established\r\nX: y\r\n\r\nhello",
         Status::Done,
         connectRequest,
         {},
         "hello"},
        {"connectOkBareLineFeeds",
         {connect},
         destination,
         "HTTP/1.1 204 OK\n\nhello",
         Status::Done,
         connectRequest,
         {},
         "hello"},
        {"connectName",
         {connect},
         named,
         "HTTP/1.1 200 OK\r\n\r\n",
         Status::Done,
         "CONNECT example.org:443 HTTP/1.1\r\nHost: example.org:443\r\n\r\n",
         {}},
        {"connectIPv6",
         {connect},
         ipv6,
         "HTTP/1.1 200 OK\r\n\r\n",
         Status::Done,
         "CONNECT [fd00::1]:80 HTTP/1.1\r\nHost: [fd00::1]:80\r\n\r\n",
         {}},
        {"connectCredentials",
         {connectAuth},
         destination,
         "HTTP/1.1 200 OK\r\n\r\n",
         Status::Done,
         "CONNECT 203.0.113.7:80 HTTP/1.1\r\nHost: 203.0.113.7:80\r\nProxy-Authorization: Basic Ym9iOnB3\r\n\r\n",
         {}},
        {"connectAuthenticationRefused",
         {connectAuth},
         destination,
         "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n",
         Status::Failed,
         "CONNECT 203.0.113.7:80 HTTP/1.1\r\nHost: 203.0.113.7:80\r\nProxy-Authorization: Basic Ym9iOnB3\r\n\r\n",
         web + "authentication refused"},
        {"connectNeedsCredentials",
         {connect},
         destination,
         "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n",
         Status::Failed,
         connectRequest,
         web + "the proxy requires authentication (HTTP 407)"},
        {"connectForbidden",
         {connect},
         destination,
         "HTTP/1.1 403 Forbidden\x01\r\n\r\n",
         Status::Failed,
         connectRequest,
         web + "CONNECT refused (HTTP 403 Forbidden?)"},
        {"connectNotHTTP",
         {connect},
         destination,
         hexBytes("05 00"),
         Status::Failed,
         connectRequest,
         web + "bad reply to CONNECT (not HTTP)"},
        {"connectHeadTooLong",
         {connect},
         destination,
         "HTTP/1.1 200 OK\r\nX: " + QByteArray(16400, 'a'),
         Status::Failed,
         connectRequest,
         web + "bad reply to CONNECT (longer than 16384 bytes)"},
        // SSH tunnel: its local listener speaks SOCKS 5 without credentials
        {"sshTunnel", {ssh}, destination, hexBytes("05 00") + socks5Ok(), Status::Done, greeting + request5, {}},
    };
}

class HandshakeScript : public testing::TestWithParam<HandshakeCase> {};

// The outcome is the expected one, and the same however the proxy's bytes are cut.
TEST_P(HandshakeScript, SameOutcomeHoweverTheRepliesAreCut) {
    const HandshakeCase& c = GetParam();
    const Outcome whole = run(c.hops, c.target, c.replies);
    EXPECT_EQ(whole.status, c.status) << whole;
    EXPECT_EQ(whole.sent.toHex(' '), c.sent.toHex(' '));
    EXPECT_EQ(whole.failure, c.failure);
    EXPECT_EQ(whole.leftover, c.leftover);
    EXPECT_EQ(run(c.hops, c.target, c.replies, QList<qsizetype>(c.replies.size(), 1)), whole) << "byte by byte";
    for (qsizetype split = 1; split < c.replies.size(); ++split) {
        ASSERT_EQ(run(c.hops, c.target, c.replies, {split}), whole) << "split at " << split;
    }
}

INSTANTIATE_TEST_SUITE_P(Proxies, HandshakeScript, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<HandshakeCase>& info) { return info.param.name; });

TEST(ProxyHandshake, ChainsGoHopByHopAndNameTheHopThatFailed) {
    QNDecodedProxy ssh = testProxy(7, "jump", 0xC6336401, 22);
    ssh.localTunnelPort = 50000;
    const QNDecodedProxy socks4 = testProxy(1, "mid", kProxyA, 1080);
    const QNDecodedProxy socks5 = testProxy(3, "corp", kProxyB, 1081, QStringLiteral("bob"), QStringLiteral("pw"));
    const QList<QNDecodedProxy> chain{ssh, socks4, socks5};
    const QNEngineTarget destination = testTarget(kDestination, 80);

    QNProxyHandshake handshake(chain, destination);
    const std::optional<QNEngineTarget> first = handshake.firstHop();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->toString(), QStringLiteral("127.0.0.1:50000"));

    // hop 1 (the tunnel) reaches hop 2, hop 2 reaches hop 3, hop 3 authenticates and reaches the destination
    const QByteArray replies =
        hexBytes("05 00") + socks5Ok() + hexBytes("00 5A 0000 00000000 05 02 01 00") + socks5Ok();
    const Outcome good = run(chain, destination, replies);
    EXPECT_EQ(good.status, Status::Done) << good;
    EXPECT_EQ(good.sent.toHex(' '),
              (hexBytes("05 01 00 05 01 00 01 0A000002 0438") + hexBytes("04 01 0439 0A000003 00") +
               hexBytes("05 02 00 02 01 03") + "bob" + hexBytes("02") + "pw" + hexBytes("05 01 00 01 CB007107 0050"))
                  .toHex(' '));

    // hop 2 cannot reach hop 3: hop 3 is the one that failed
    const Outcome unreachable =
        run(chain, destination, hexBytes("05 00") + socks5Ok() + hexBytes("00 5B 0000 00000000"));
    EXPECT_EQ(unreachable.failure,
              QStringLiteral("at hop 3 of 3 (SOCKS5 \"corp\" 10.0.0.3:1081): not reachable through "
                             "hop 2: request rejected or failed"));
    const Outcome refused = run(chain, destination, replies.first(replies.size() - 12) + hexBytes("01 01"));
    EXPECT_EQ(refused.failure, QStringLiteral("at hop 3 of 3 (SOCKS5 \"corp\" 10.0.0.3:1081): authentication refused"));

    // what the socket reports fails the hop being talked to
    QNProxyHandshake dead(chain, destination);
    EXPECT_EQ(dead.fail(QStringLiteral("connection refused")), Status::Failed);
    EXPECT_EQ(
        dead.failureReason(),
        QStringLiteral("at hop 1 of 3 (SSH tunnel \"jump\" 198.51.100.1:22 (local port 50000)): connection refused"));
}

TEST(ProxyHandshake, PlainHTTPLastHopHandsTheConnectionToAStream) {
    const QNDecodedProxy socks5 = testProxy(3, "corp", kProxyA, 1080);
    QNDecodedProxy transparent = testProxy(4, "t", kProxyB, 8080);
    const QNDecodedProxy nonTransparent = testProxy(5, "nt", kProxyB, 3128);
    const QNEngineTarget destination = testTarget(kDestination, 80);

    const Outcome viaSOCKS = run({socks5, nonTransparent}, destination, hexBytes("05 00") + socks5Ok());
    EXPECT_EQ(viaSOCKS.status, Status::Done);
    EXPECT_TRUE(viaSOCKS.hasStream);
    EXPECT_EQ(viaSOCKS.sent.toHex(' '), hexBytes("05 01 00 05 01 00 01 0A000003 0C38").toHex(' '));

    QNProxyHandshake direct({nonTransparent}, destination);
    EXPECT_EQ(direct.start(), Status::Done);
    EXPECT_TRUE(direct.takeOutput().isEmpty());
    EXPECT_TRUE(direct.takeStream());

    // A transparent proxy that changes nothing needs no stream; with 'anon' it does.
    EXPECT_FALSE(run({transparent}, destination, {}).hasStream);
    transparent.anonymize = true;
    EXPECT_TRUE(run({transparent}, destination, {}).hasStream);
}

TEST(ProxyHandshake, HopsThatCannotWorkFailBeforeAnyConnection) {
    const QNDecodedProxy socks5 = testProxy(3, "corp", kProxyA, 1080);
    QNDecodedProxy ssh = testProxy(7, "jump", kProxyB, 22);
    const QNDecodedProxy http = testProxy(5, "nt", kProxyB, 3128);
    const QNEngineTarget destination = testTarget(kDestination, 80);
    const struct {
        QList<QNDecodedProxy> hops;
        QString failure;
    } rows[] = {
        {{ssh}, QStringLiteral("at hop 1 of 1 (SSH tunnel \"jump\" 10.0.0.3:22): SSH tunnel is not running")},
        {{socks5, ssh},
         QStringLiteral("at hop 2 of 2 (SSH tunnel \"jump\" 10.0.0.3:22): an SSH tunnel can only be "
                        "the first hop")},
        {{http, socks5},
         QStringLiteral("at hop 1 of 2 (HTTP \"nt\" 10.0.0.3:3128): a plain HTTP proxy can only be the last hop")},
        {{testProxy(9, "odd", kProxyA, 1)},
         QStringLiteral("at hop 1 of 1 (type 9 \"odd\" 10.0.0.2:1): unknown proxy type 9")},
        {{testProxy(3, "long", kProxyA, 1080, QString(256, u'u'))},
         QStringLiteral("at hop 1 of 1 (SOCKS5 \"long\" 10.0.0.2:1080): user name or password longer than 255 bytes")},
        {{}, QStringLiteral("there is no proxy to go through")},
    };
    for (const auto& row : rows) {
        QNProxyHandshake handshake(row.hops, destination);
        EXPECT_FALSE(handshake.firstHop());
        EXPECT_EQ(handshake.start(), Status::Failed);
        EXPECT_EQ(handshake.failureReason(), row.failure);
    }
}

} // namespace
