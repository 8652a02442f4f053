// Clients of a running tunnel: the exact SOCKS replies on the wire, real SOCKS clients, many clients at
// once, large transfers, and teardown while busy. One sshd and one tunnel serve the whole suite.
#include "QNTunnelTestSupport.h"

#include "model/QNProxy.h"
#include "support/QNTestEchoServer.h"
#include "support/QNTestProcess.h"
#include "support/QNTestSSHServer.h"
#include "support/QNTestWait.h"
#include "tunnel/QNSSHTunnelServer.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

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
// the connection.
struct WireCase {
    const char* name;
    std::function<QList<QByteArray>(quint16 echoPort, quint16 closedPort)> sent;
    std::function<QByteArray(quint16 echoPort, quint16 closedPort)> received;
};

const QByteArray kGreeting = QByteArray::fromHex("050100");
const QByteArray kGranted5 = QByteArray::fromHex("0500");

QByteArray socks5IPv4(quint8 command, quint16 port) {
    return QByteArray(1, 5) + char(command) + QByteArray::fromHex("00017f000001") + port16(port);
}

const WireCase kWireCases[] = {
    {"SOCKS4ConnectRelaysAndHalfCloses",
     [](quint16 echoPort, quint16) {
         return QList<QByteArray>{QByteArray::fromHex("0401") + port16(echoPort) + QByteArray::fromHex("7f000001") +
                                  "me" + '\0' + "ping"};
     },
     [](quint16, quint16) { return QByteArray::fromHex("005a000000000000") + "ping"; }},
    {"SOCKS4aName",
     [](quint16 echoPort, quint16) {
         return QList<QByteArray>{QByteArray::fromHex("0401") + port16(echoPort) + QByteArray::fromHex("00000001") +
                                      '\0' + "127.0.0.1" + '\0',
                                  "pong"};
     },
     [](quint16, quint16) { return QByteArray::fromHex("005a000000000000") + "pong"; }},
    {"SOCKS5GreetingRequestAndPayloadInOnePacket",
     [](quint16 echoPort, quint16) { return QList<QByteArray>{kGreeting + socks5IPv4(1, echoPort) + "early"}; },
     [](quint16 echoPort, quint16) {
         return kGranted5 + QByteArray::fromHex("05000001") + QByteArray::fromHex("7f000001") + port16(echoPort) +
                "early";
     }},
    {"SOCKS5SplitIntoSingleBytes",
     [](quint16 echoPort, quint16) {
         QList<QByteArray> pieces;
         for (const char byte : kGreeting + socks5IPv4(1, echoPort)) {
             pieces << QByteArray(1, byte);
         }
         return pieces << "late";
     },
     [](quint16 echoPort, quint16) {
         return kGranted5 + QByteArray::fromHex("05000001") + QByteArray::fromHex("7f000001") + port16(echoPort) +
                "late";
     }},
    {"SOCKS4BindIsRejected",
     [](quint16 echoPort, quint16) {
         return QList<QByteArray>{QByteArray::fromHex("0402") + port16(echoPort) + QByteArray::fromHex("7f000001") +
                                  '\0'};
     },
     [](quint16, quint16) { return QByteArray::fromHex("005b000000000000"); }},
    {"SOCKS5UDPAssociateIsNotSupported",
     [](quint16, quint16) {
         return QList<QByteArray>{kGreeting, QByteArray::fromHex("050300010a0102030035")};
     },
     [](quint16, quint16) { return kGranted5 + QByteArray::fromHex("050700010a0102030035"); }},
    {"SOCKS5UserPasswordOnly", [](quint16, quint16) { return QList<QByteArray>{QByteArray::fromHex("050102")}; },
     [](quint16, quint16) { return QByteArray::fromHex("05ff"); }},
    {"SOCKS5UnknownAddressTypeIsNotAnswered",
     [](quint16, quint16) {
         return QList<QByteArray>{kGreeting, QByteArray::fromHex("05010009aabbccdd0050")};
     },
     [](quint16, quint16) { return kGranted5; }},
    {"NotSOCKSIsClosedWithoutReply", [](quint16, quint16) { return QList<QByteArray>{"GET / HTTP/1.0\r\n\r\n"}; },
     [](quint16, quint16) { return QByteArray(); }},
    {"SOCKS5EmptyHostName",
     [](quint16 echoPort, quint16) {
         return QList<QByteArray>{kGreeting + QByteArray::fromHex("0501000300") + port16(echoPort)};
     },
     [](quint16 echoPort, quint16) { return kGranted5 + QByteArray::fromHex("0504000300") + port16(echoPort); }},
    {"SOCKS5RefusedDestination",
     [](quint16, quint16 closedPort) { return QList<QByteArray>{kGreeting + socks5IPv4(1, closedPort)}; },
     [](quint16, quint16 closedPort) {
         return kGranted5 + QByteArray::fromHex("050500017f000001") + port16(closedPort);
     }},
    {"SOCKS4RefusedDestination",
     [](quint16, quint16 closedPort) {
         return QList<QByteArray>{QByteArray::fromHex("0401") + port16(closedPort) + QByteArray::fromHex("7f000001") +
                                  '\0'};
     },
     [](quint16, quint16) { return QByteArray::fromHex("005b000000000000"); }},
};

TEST_F(TunnelRelayTest, RepliesOnTheWire) {
    const quint16 closedPort = qnFreeLocalPort();
    for (const WireCase& c : kWireCases) {
        SCOPED_TRACE(c.name);
        QNTestClientSocket client(tunnelPort);
        ASSERT_TRUE(client.isConnected());
        for (const QByteArray& piece : c.sent(echo->port(), closedPort)) {
            ASSERT_TRUE(client.send(piece));
        }
        client.shutdownWrite();
        EXPECT_EQ(client.readAll().toHex(), c.received(echo->port(), closedPort).toHex());
    }
}

TEST_F(TunnelRelayTest, RealSOCKSClients) {
    QTemporaryDir site;
    ASSERT_TRUE(site.isValid());
    const QByteArray page = randomBytes(200000).toBase64();
    QFile file(site.filePath(QStringLiteral("page.txt")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(page);
    file.close();
    QProcess http;
    const quint16 httpPort = qnFreeLocalPort();
    http.start(QStringLiteral("python3"),
               {QStringLiteral("-u"), QStringLiteral("-m"), QStringLiteral("http.server"), QString::number(httpPort),
                QStringLiteral("--bind"), QStringLiteral("127.0.0.1"), QStringLiteral("--directory"), site.path()});
    ASSERT_TRUE(http.waitForStarted());
    ASSERT_TRUE(qnWaitUntil([&] { return http.readAllStandardOutput().contains("Serving HTTP"); }));

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
        const QString url = QStringLiteral("http://%1:%2/page.txt").arg(QLatin1String(c.host)).arg(httpPort);
        const QNTestProcessResult result =
            qnRunProcess(QStringLiteral("curl"), {QStringLiteral("-sS"), QString::fromLatin1(c.option), proxy, url});
        EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
        EXPECT_TRUE(result.standardOutput == page);
    }
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
    http.kill();
    http.waitForFinished();
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
