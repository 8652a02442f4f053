// Tunnel sessions against a real sshd: client keys, the host-key pin, ciphers, keep-alive, the loss of the
// server, and the tunnel server's reports, orders and lifetime.
#include "QNTunnelTestSupport.h"

#include "model/QNProxy.h"
#include "support/QNTestEchoServer.h"
#include "support/QNTestSSHServer.h"
#include "support/QNTestWait.h"
#include "tunnel/QNSSHTunnelServer.h"
#include "util/QNStrings.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <thread>

namespace {

QString text(const char* key) {
    return QNLocalizedString(QString::fromLatin1(key));
}

// Runs one tunnel until it connected or failed.
struct Tunnel {
    QNRecordingTunnelDelegate delegate;
    std::shared_ptr<QNSSHTunnelServer> server = QNSSHTunnelServer::tunnelServerWithDelegate(&delegate, 0);
    quint16 port = 0;

    bool run(const QNProxy& proxy) {
        port = server->createTunnel(proxy);
        server->start();
        return delegate.waitForConnected();
    }
    QString error() const { return delegate.errors.value(0); }
};

class TunnelSessionTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sshd.isValid()); }
    QNTestSSHServer sshd;
};

TEST_F(TunnelSessionTest, ClientKeys) {
    const struct {
        const char* name;
        const char* type;
        bool pem;
        const char* passphraseOnDisk;
        const char* passphraseGiven;
        bool authorized;
        const char* errorKey; // null: connects
    } cases[] = {
        {"PEMRSA", "rsa", true, nullptr, nullptr, true, nullptr},
        {"PEMRSAEncrypted", "rsa", true, "secret", "secret", true, nullptr},
        {"Ed25519", "ed25519", false, nullptr, nullptr, true, nullptr},
        {"Ed25519Encrypted", "ed25519", false, "secret", "secret", true, nullptr},
        {"ECDSA", "ecdsa", false, nullptr, nullptr, true, nullptr},
        {"EncryptedWithoutPassphrase", "ed25519", false, "secret", nullptr, true,
         "authenticationFailedInvalidClientKey"},
        {"WrongPassphrase", "rsa", true, "secret", "wrong", true, "authenticationFailedInvalidClientKey"},
        {"NotAuthorized", "ed25519", false, nullptr, nullptr, false, "authenticationFailedInvalidClientKey"},
        {"NoClientKey", nullptr, false, nullptr, nullptr, true, "authenticationFailed"},
    };
    QList<QByteArray> keys;
    for (const auto& c : cases) {
        keys << (c.type ? sshd.makeClientKey(QString::fromLatin1(c.type), QString::fromLatin1(c.passphraseOnDisk),
                                             c.pem, c.authorized)
                        : QByteArray());
    }
    ASSERT_TRUE(sshd.start());
    for (qsizetype index = 0; index < keys.size(); ++index) {
        const auto& c = cases[index];
        SCOPED_TRACE(c.name);
        Tunnel tunnel;
        const bool connected = tunnel.run(*qnTunnelProxy(sshd, keys[index], QString::fromLatin1(c.passphraseGiven)));
        if (!c.errorKey) {
            EXPECT_TRUE(connected) << tunnel.error().toStdString();
        } else {
            ASSERT_TRUE(tunnel.delegate.waitForErrors());
            EXPECT_FALSE(connected);
            EXPECT_TRUE(tunnel.error().endsWith(QStringLiteral(" - ") + text(c.errorKey)))
                << tunnel.error().toStdString();
        }
    }
}

TEST_F(TunnelSessionTest, HostKeyPin) {
    const QByteArray key = sshd.makeClientKey(QStringLiteral("ed25519"));
    sshd.makeClientKey(QStringLiteral("ed25519"), QString(), false, false);
    QFile otherPublic(sshd.directory() + QStringLiteral("/client_key_2.pub"));
    ASSERT_TRUE(otherPublic.open(QIODevice::ReadOnly));
    ASSERT_TRUE(sshd.start());
    // The server holds RSA, Ed25519 and ECDSA host keys; each pin must be checked against the server's key
    // of that kind, not against the key it would present by preference.
    const struct {
        const char* name;
        QByteArray serverKey;
        bool connects;
    } cases[] = {
        {"ServerRSALine", sshd.hostKeyLine(QStringLiteral("rsa")), true},
        {"ServerEd25519Line", sshd.hostKeyLine(QStringLiteral("ed25519")), true},
        {"ServerECDSALine", sshd.hostKeyLine(QStringLiteral("ecdsa")), true},
        {"OtherKeyLine", otherPublic.readAll(), false},
        {"NotAKey", "not a key at all", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto proxy = qnTunnelProxy(sshd, key);
        proxy->setServerKey(c.serverKey);
        Tunnel tunnel;
        EXPECT_EQ(tunnel.run(*proxy), c.connects) << tunnel.error().toStdString();
        if (!c.connects) {
            EXPECT_TRUE(tunnel.error().endsWith(QStringLiteral(" - ") + text("serverKeyFingerprintDoesNotMatch")));
        }
    }
}

TEST_F(TunnelSessionTest, Ciphers) {
    const QByteArray key = sshd.makeClientKey(QStringLiteral("ed25519"));
    ASSERT_TRUE(sshd.start({QStringLiteral("LogLevel DEBUG1"),
                            QStringLiteral("Ciphers chacha20-poly1305@openssh.com,aes128-ctr,aes256-ctr")}));
    const struct {
        const char* name;
        quint32 cipher;
        const char* negotiated;  // null: fails
        const char* libraryText; // what the library says then
    } cases[] = {
        {"Default", QNProxyCipherDefault, "chacha20-poly1305@openssh.com", nullptr},
        {"AES128CTR", QNProxyCipherAES128CTR, "aes128-ctr", nullptr},
        {"AES256CTR", QNProxyCipherAES256CTR, "aes256-ctr", nullptr},
        {"RefusedByTheServer", QNProxyCipherAES128CBC, nullptr, "no match for method encryption client->server"},
        {"UnknownToTheLibrary", QNProxyCipher3DESCBCSSH1, nullptr, "no allowed algorithm"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto proxy = qnTunnelProxy(sshd, key);
        proxy->setCipher(c.cipher);
        Tunnel tunnel;
        const QString negotiated = QStringLiteral("kex: client->server cipher: %1 ").arg(QLatin1String(c.negotiated));
        const int before = sshd.logCount(negotiated);
        const bool connected = tunnel.run(*proxy);
        if (c.negotiated) {
            EXPECT_TRUE(connected) << tunnel.error().toStdString();
            EXPECT_EQ(sshd.logCount(negotiated), before + 1);
        } else {
            ASSERT_TRUE(tunnel.delegate.waitForErrors());
            EXPECT_FALSE(connected);
            // The library's own words, after the proxy's summary.
            EXPECT_TRUE(tunnel.error().contains(QLatin1String(c.libraryText))) << tunnel.error().toStdString();
        }
    }
}

TEST_F(TunnelSessionTest, KeepAliveAfterQuietIntervals) {
    const QByteArray key = sshd.makeClientKey(QStringLiteral("ed25519"));
    ASSERT_TRUE(sshd.start({QStringLiteral("LogLevel DEBUG1")}));
    auto proxy = qnTunnelProxy(sshd, key);
    proxy->setServerAliveInterval(1);
    Tunnel tunnel;
    ASSERT_TRUE(tunnel.run(*proxy));
    // One keep-alive after each quiet second: the second proves the timer repeats.
    EXPECT_TRUE(qnWaitUntil([&] { return sshd.logCount(QStringLiteral("rtype keepalive@openssh.com")) >= 2; }));
}

TEST_F(TunnelSessionTest, ServerKilledWhileServing) {
    const QByteArray key = sshd.makeClientKey(QStringLiteral("ed25519"));
    ASSERT_TRUE(sshd.start());
    QNTestEchoServer echo;
    Tunnel tunnel;
    ASSERT_TRUE(tunnel.run(*qnTunnelProxy(sshd, key)));
    QNTestClientSocket client(tunnel.port);
    ASSERT_TRUE(client.send(qnSOCKS5Connect(echo.port()) + "ping"));
    ASSERT_EQ(client.read(2 + 10 + 4).right(4), "ping");

    sshd.kill();
    // One error, the thread's teardown, and the client's connection closed with it.
    ASSERT_TRUE(tunnel.delegate.waitForLog(QStringLiteral(" - ") + text("stopped")));
    EXPECT_EQ(tunnel.delegate.errors.size(), 1);
    EXPECT_TRUE(tunnel.delegate.errors.value(0).endsWith(QStringLiteral(" - ") + text("sshTunnelFailed")))
        << tunnel.delegate.errors.value(0).toStdString();
    EXPECT_TRUE(client.waitForEnd());
}

TEST_F(TunnelSessionTest, ServerServesEarlyClientsReportsOnceAllAreUpAndDeliversDuringStop) {
    const QByteArray key = sshd.makeClientKey(QStringLiteral("ed25519"));
    ASSERT_TRUE(sshd.start());
    QNTestEchoServer echo;
    const int descriptorsBefore = qnOpenDescriptorCount();
    QNRecordingTunnelDelegate delegate;
    auto server = QNSSHTunnelServer::tunnelServerWithDelegate(&delegate, 0);
    auto proxy = qnTunnelProxy(sshd, key);
    proxy->setName(QStringLiteral("Office"));
    const quint16 first = server->createTunnel(*proxy);
    const quint16 second = server->createTunnel(*proxy);
    ASSERT_NE(first, 0);
    ASSERT_NE(second, 0);
    // The caller's proxy is not touched; each session has its own copy with its own port.
    EXPECT_EQ(proxy->localTunnelPort(), 0);
    // Connected and answered before start: the client waits in the listen backlog.
    QByteArray echoed;
    std::thread early([&] { echoed = qnSOCKS5Echo(first, echo.port(), "early bird"); });
    server->start();
    early.join();
    EXPECT_EQ(echoed, "early bird");
    ASSERT_TRUE(delegate.waitForConnected());
    ASSERT_TRUE(delegate.waitForLog(text("running"), 2));
    EXPECT_EQ(delegate.connectedCount, 1);
    const QString prefix = QStringLiteral("Office - %1 - 127.0.0.1:%2 (%3:%4) - ")
                               .arg(text("sshTunnel"))
                               .arg(sshd.port())
                               .arg(text("localhost"))
                               .arg(first);
    EXPECT_TRUE(delegate.logs.contains(prefix + text("starting")));
    EXPECT_TRUE(delegate.logs.contains(prefix + text("running")));

    server->stop();
    // Delivered while stop waited, not later.
    EXPECT_EQ(delegate.logCount(text("stopping")), 2);
    EXPECT_EQ(delegate.logCount(text("stopped")), 2);
    EXPECT_TRUE(server->sessions().empty());
    EXPECT_NE(QNTestClientSocket(first).isConnected(), true);

    // The same server works again on a fresh list and reports again.
    ASSERT_NE(server->createTunnel(*proxy), 0);
    server->start();
    ASSERT_TRUE(delegate.waitForConnected(2));
    server.reset();
    EXPECT_TRUE(qnWaitUntil([&] { return qnOpenDescriptorCount() == descriptorsBefore; }));
    EXPECT_TRUE(delegate.errors.isEmpty());
}

TEST_F(TunnelSessionTest, OneFailingTunnelKeepsTheServerFromReportingConnected) {
    const QByteArray key = sshd.makeClientKey(QStringLiteral("ed25519"));
    const QByteArray stranger = sshd.makeClientKey(QStringLiteral("ed25519"), QString(), false, false);
    ASSERT_TRUE(sshd.start());
    QNRecordingTunnelDelegate delegate;
    auto server = QNSSHTunnelServer::tunnelServerWithDelegate(&delegate, 0);
    server->createTunnel(*qnTunnelProxy(sshd, key));
    const quint16 failing = server->createTunnel(*qnTunnelProxy(sshd, stranger));
    server->start();
    ASSERT_TRUE(delegate.waitForErrors());
    ASSERT_TRUE(delegate.waitForLog(text("running")));
    ASSERT_TRUE(delegate.waitForLog(text("stopped")));
    EXPECT_EQ(delegate.connectedCount, 0);
    EXPECT_EQ(delegate.errors.size(), 1);
    // The failed session's listener is closed: its clients are refused.
    EXPECT_FALSE(QNTestClientSocket(failing).isConnected());
}

TEST_F(TunnelSessionTest, NoListenerIsReportedBeforeCreateTunnelReturns) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own checks need descriptors, and this test takes them all away.
    GTEST_SKIP() << "needs a process without sanitizers";
#endif
    QNRecordingTunnelDelegate delegate;
    auto server = QNSSHTunnelServer::tunnelServerWithDelegate(&delegate, 0);
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit scarce = saved;
    scarce.rlim_cur = 0;
    setrlimit(RLIMIT_NOFILE, &scarce);
    const quint16 port = server->createTunnel(*qnTunnelProxy(sshd));
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(port, 0);
    ASSERT_EQ(delegate.errors.size(), 1);
    EXPECT_TRUE(delegate.errors.value(0).endsWith(QStringLiteral(" - ") + text("serverSocketPortError")));
}

TEST_F(TunnelSessionTest, StoppedAndReleasedFromInsideItsOwnReport) {
    const QByteArray stranger = sshd.makeClientKey(QStringLiteral("ed25519"), QString(), false, false);
    ASSERT_TRUE(sshd.start());
    QNRecordingTunnelDelegate delegate;
    std::shared_ptr<QNSSHTunnelServer> server;
    // As the agent retries: the first failure stops and releases the server and builds a new one inside
    // the report; the second failure only stops and releases.
    delegate.onError = [&](QNSSHTunnelServer* reporting, const QString&) {
        EXPECT_EQ(reporting, server.get());
        server->stop();
        server.reset();
        if (delegate.errors.size() == 1) {
            server = QNSSHTunnelServer::tunnelServerWithDelegate(&delegate, 0);
            server->createTunnel(*qnTunnelProxy(sshd, stranger));
            server->start();
        }
    };
    server = QNSSHTunnelServer::tunnelServerWithDelegate(&delegate, 0);
    server->createTunnel(*qnTunnelProxy(sshd, stranger));
    server->start();
    ASSERT_TRUE(qnWaitUntil([&] { return delegate.errors.size() == 2 && !server; }));
}

TEST_F(TunnelSessionTest, TeardownWhileBusyClosesEveryClientAndLeaksNothing) {
    const QByteArray key = sshd.makeClientKey(QStringLiteral("ed25519"));
    ASSERT_TRUE(sshd.start());
    QNTestEchoServer echo;
    const int descriptorsBefore = qnOpenDescriptorCount();
    QNRecordingTunnelDelegate delegate;
    auto server = QNSSHTunnelServer::tunnelServerWithDelegate(&delegate, 0);
    const quint16 port = server->createTunnel(*qnTunnelProxy(sshd, key));
    server->start();
    ASSERT_TRUE(delegate.waitForConnected());

    // Clients in the middle of transfers far larger than anything buffered on the way.
    constexpr int kClients = 16;
    std::atomic<int> relaying{0};
    std::atomic<int> ended{0};
    std::vector<std::thread> clients;
    for (int index = 0; index < kClients; ++index) {
        clients.emplace_back([&] {
            QNTestClientSocket client(port);
            if (!client.send(qnSOCKS5Connect(echo.port())) || client.read(12).size() != 12) {
                return;
            }
            std::thread writer([&] {
                const QByteArray chunk(64 * 1024, 'x');
                while (client.send(chunk)) {
                }
            });
            client.read(1024 * 1024);
            ++relaying;
            if (client.waitForEnd()) {
                ++ended;
            }
            client.shutdownWrite();
            writer.join();
        });
    }
    ASSERT_TRUE(qnWaitUntil([&] { return relaying.load() == kClients; }));
    server->stop();
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(ended.load(), kClients);
    server.reset();
    // The echo server lets go of its side once sshd's connections are gone.
    EXPECT_TRUE(qnWaitUntil([&] { return qnOpenDescriptorCount() == descriptorsBefore; }))
        << qnOpenDescriptorCount() << " descriptors, " << descriptorsBefore << " before";
}

} // namespace
