// Clients of a running tunnel: the exact SOCKS replies on the wire, the tunnel's own sockets, real SOCKS
// clients, many clients at once and large transfers. One sshd and one tunnel serve the whole suite.
#include "QNTunnelTestSupport.h"

#include "model/QNProxy.h"
#include "support/QNTestEchoServer.h"
#include "support/QNTestProcess.h"
#include "support/QNTestSSHServer.h"
#include "tunnel/QNSSHTunnelServer.h"

#include <QDir>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

namespace {

QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}

QByteArray port16(quint16 port) {
    return QByteArray(1, char(port >> 8)) + char(port & 0xFF);
}

QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (qsizetype index = 0; index < size; ++index) {
        bytes[index] = char(generator.bounded(256));
    }
    return bytes;
}

class TunnelRelayTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        sshd = new QNTestSSHServer;
        ASSERT_TRUE(sshd->isValid());
        const QByteArray key = sshd->makeClientKey(QStringLiteral("ed25519"));
        ASSERT_TRUE(sshd->start());
        echo = new QNTestEchoServer;
        delegate = new QNRecordingTunnelDelegate;
        server = QNSSHTunnelServer::tunnelServerWithDelegate(delegate, 0);
        tunnelPort = server->createTunnel(*qnTunnelProxy(*sshd, key));
        ASSERT_NE(tunnelPort, 0);
        server->start();
        ASSERT_TRUE(delegate->waitForConnected()) << delegate->errors.join(QLatin1Char('\n')).toStdString();
    }
    static void TearDownTestSuite() {
        server.reset();
        delete delegate;
        delete echo;
        delete sshd;
    }

    static inline QNTestSSHServer* sshd = nullptr;
    static inline QNTestEchoServer* echo = nullptr;
    static inline QNRecordingTunnelDelegate* delegate = nullptr;
    static inline std::shared_ptr<QNSSHTunnelServer> server;
    static inline quint16 tunnelPort = 0;
};

// What a client sends, piece by piece, before it ends its side; and all it receives until the tunnel ends
// the connection. The echo server ends its side once it has echoed, so a payload followed by the end shows
// that both half-closes travelled through the channel.
TEST_F(TunnelRelayTest, RepliesOnTheWire) {
    const QByteArray echoPort = port16(echo->port());
    const QByteArray closedPort = port16(qnFreeLocalPort());
    const QByteArray greeting = hex("050100");
    const QByteArray method = hex("0500");
    const QByteArray granted4 = hex("005a000000000000");
    QList<QByteArray> singleBytes;
    for (const char byte : qnSOCKS5Connect(echo->port())) {
        singleBytes << QByteArray(1, byte);
    }
    const struct {
        const char* name;
        QList<QByteArray> sent;
        QByteArray received;
    } cases[] = {
        {"SOCKS4ConnectRelaysAndHalfCloses",
         {hex("0401") + echoPort + hex("7f000001") + "me" + '\0' + "ping"},
         granted4 + "ping"},
        {"SOCKS4aName",
         {hex("0401") + echoPort + hex("00000001") + '\0' + "127.0.0.1" + '\0', "pong"},
         granted4 + "pong"},
        // Whatever follows a header in the same packet is read once the reply is out: nothing hangs.
        {"SOCKS5GreetingRequestAndPayloadInOnePacket",
         {qnSOCKS5Connect(echo->port()) + "early"},
         qnSOCKS5Granted(echo->port()) + "early"},
        {"SOCKS5SplitIntoSingleBytes", singleBytes << "late", qnSOCKS5Granted(echo->port()) + "late"},
        {"SOCKS5UDPAssociateIsNotSupported",
         {greeting, hex("050300010a0102030035")},
         method + hex("050700010a0102030035")},
        {"SOCKS5UnknownAddressTypeIsNotAnswered", {greeting, hex("05010009aabbccdd0050")}, method},
        {"NotSOCKSIsClosedWithoutReply", {"GET / HTTP/1.0\r\n\r\n"}, {}},
        // The reply waits for the channel: one that cannot be opened gets its protocol's failure reply with
        // the code for the reason, never a success followed by a close.
        {"SOCKS5EmptyHostName", {greeting + hex("0501000300") + echoPort}, method + hex("0504000300") + echoPort},
        {"SOCKS5RefusedDestination",
         {greeting + hex("050100017f000001") + closedPort},
         method + hex("050500017f000001") + closedPort},
        {"SOCKS4RefusedDestination", {hex("0401") + closedPort + hex("7f000001") + '\0'}, hex("005b000000000000")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QNTestClientSocket client(tunnelPort);
        ASSERT_TRUE(client.isConnected());
        for (const QByteArray& piece : c.sent) {
            ASSERT_TRUE(client.send(piece));
        }
        client.shutdownWrite();
        EXPECT_EQ(client.readAll().toHex(), c.received.toHex());
        EXPECT_TRUE(client.ended());
    }
}

// A wildcard listener would make an open proxy for the whole network; a client socket without TCP_NODELAY
// holds small replies back for the client's delayed acknowledgements. The tunnel runs in this process, so
// its sockets are among this process's descriptors: those bound to the tunnel's port.
TEST_F(TunnelRelayTest, ListensOnLoopbackOnlyAndSendsWithoutDelay) {
    QNTestClientSocket client(tunnelPort);
    ASSERT_TRUE(client.send(hex("050100")));
    ASSERT_EQ(client.read(2), hex("0500"));
    int listeners = 0;
    int accepted = 0;
    const QStringList descriptors =
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System);
    for (const QString& descriptor : descriptors) {
        const int fd = descriptor.toInt();
        sockaddr_in address{};
        socklen_t length = sizeof(address);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 || address.sin_family != AF_INET ||
            ntohs(address.sin_port) != tunnelPort) {
            continue;
        }
        int listening = 0;
        int noDelay = 0;
        socklen_t size = sizeof(int);
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size);
        getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size);
        if (listening) {
            ++listeners;
            EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        } else {
            ++accepted;
            EXPECT_TRUE(noDelay);
        }
    }
    EXPECT_EQ(listeners, 1);
    EXPECT_GE(accepted, 1);
}

// curl reads the page until the server's end, which comes while curl's own side is still open: it gets
// there only if the tunnel passes a server's end on by itself (the other half-close).
TEST_F(TunnelRelayTest, RealSOCKSClients) {
    const QByteArray page = randomBytes(200000).toBase64();
    QNTestEchoServer http("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + page);
    const QString proxy = QStringLiteral("127.0.0.1:%1").arg(tunnelPort);
    // Names go to the tunnel with SOCKS 4a and SOCKS 5 host names; curl resolves them itself otherwise.
    const struct {
        const char* option;
        const char* host;
    } curlCases[] = {
        {"--socks4", "127.0.0.1"},
        {"--socks4a", "localhost"},
        {"--socks5", "127.0.0.1"},
        {"--socks5-hostname", "localhost"},
    };
    for (const auto& c : curlCases) {
        SCOPED_TRACE(c.option);
        const QString url = QStringLiteral("http://%1:%2/page.txt").arg(QLatin1String(c.host)).arg(http.port());
        const QNTestProcessResult result =
            qnRunProcess(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("--max-time"),
                                                  QStringLiteral("30"), QString::fromLatin1(c.option), proxy, url});
        EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
        EXPECT_TRUE(result.standardOutput == page);
    }
    // socat ends its side after its input and waits for the rest of the answer.
    for (const char* protocol : {"SOCKS4", "SOCKS4A"}) {
        SCOPED_TRACE(protocol);
        const QNTestProcessResult result =
            qnRunProcess(QStringLiteral("socat"),
                         {QStringLiteral("-"), QStringLiteral("%1:127.0.0.1:localhost:%2,socksport=%3")
                                                   .arg(QString::fromLatin1(protocol))
                                                   .arg(echo->port())
                                                   .arg(tunnelPort)},
                         "through socat\n");
        EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
        EXPECT_EQ(result.standardOutput, "through socat\n");
    }
}

TEST_F(TunnelRelayTest, LargeTransferBothWaysAtOnce) {
    const QByteArray payload = randomBytes(24 * 1024 * 1024);
    EXPECT_TRUE(qnSOCKS5Echo(tunnelPort, echo->port(), payload) == payload);
}

TEST_F(TunnelRelayTest, HundredsOfClientsAtOnce) {
    constexpr int kClients = 300;
    std::atomic<int> intact{0};
    std::vector<std::thread> clients;
    for (int index = 0; index < kClients; ++index) {
        clients.emplace_back([&, index] {
            const QByteArray payload = randomBytes(1000 + index * 97);
            if (qnSOCKS5Echo(tunnelPort, echo->port(), payload) == payload) {
                ++intact;
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(intact.load(), kClients);
}

} // namespace
