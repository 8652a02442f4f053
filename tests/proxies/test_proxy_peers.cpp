// Handshakes and the plain-HTTP stream against real proxy servers on loopback: microsocks (SOCKS 5),
// dante (SOCKS 4), tinyproxy (CONNECT and absolute-URI requests), and the small servers of
// tests/support/peers where no package fits (SOCKS 4a, a transparent HTTP proxy, the origin server).
#include "QNProxyPeerDriver.h"
#include "QNProxyTestValues.h"

#include "support/QNTestChildProcess.h"
#include "support/QNTestWait.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>

namespace {

constexpr quint32 kLoopback = 0x7F000001;

QString findProgram(const QString& name) {
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty()
               ? QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
               : found;
}

// A peer process, ended with the test.
struct Peer {
    std::unique_ptr<QNTestChildProcess> process;
    quint16 port = 0;
};

// One of our Python peers; it prints "listening PORT" once it accepts connections.
Peer startScript(const QString& script, const QStringList& arguments = {}) {
    Peer peer;
    peer.process = std::make_unique<QNTestChildProcess>(QStringLiteral("python3"));
    if (!peer.process->start(QStringList{QStringLiteral(QN_TEST_PEERS_DIR "/") + script} + arguments) ||
        !peer.process->waitForStdoutLines(1)) {
        return peer;
    }
    peer.port = quint16(peer.process->stdoutLines.first().section(u' ', 1).toUInt());
    return peer;
}

// A packaged server told to listen on port; ready once it accepts connections.
Peer startProgram(const QString& program, const QStringList& arguments, quint16 port) {
    Peer peer;
    peer.process = std::make_unique<QNTestChildProcess>(program);
    if (peer.process->start(arguments) &&
        qnWaitUntil([&] { return !peer.process->isRunning() || qnIsListening(port); }) && peer.process->isRunning()) {
        peer.port = port;
    }
    return peer;
}

Peer startMicrosocks(const QStringList& credentials = {}) {
    const quint16 port = qnFreeLoopbackPort();
    return startProgram(
        findProgram(QStringLiteral("microsocks")),
        QStringList{QStringLiteral("-i"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(port)} +
            credentials,
        port);
}

bool writeFile(const QString& path, const QString& text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) == text.toUtf8().size();
}

// Privileged servers drop to nobody when started as root.
QString unprivilegedUser(const QString& userLine, const QString& groupLine) {
    return geteuid() == 0 ? userLine + u'\n' + groupLine + u'\n' : QString();
}

Peer startDante(const QTemporaryDir& folder) {
    const quint16 port = qnFreeLoopbackPort();
    const QString config = folder.filePath(QStringLiteral("sockd.conf"));
    writeFile(config, QStringLiteral("logoutput: stderr\n"
                                     "internal: 127.0.0.1 port = %1\n"
                                     "external: 127.0.0.1\n"
                                     "clientmethod: none\n"
                                     "socksmethod: none\n"
                                     "%2"
                                     "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                                     "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n")
                          .arg(port)
                          .arg(unprivilegedUser(QStringLiteral("user.privileged: root"),
                                                QStringLiteral("user.unprivileged: nobody"))));
    return startProgram(findProgram(QStringLiteral("danted")), {QStringLiteral("-f"), config}, port);
}

Peer startTinyproxy(const QTemporaryDir& folder) {
    const quint16 port = qnFreeLoopbackPort();
    const QString config = folder.filePath(QStringLiteral("tinyproxy.conf"));
    writeFile(config, QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\n"
                                     "BasicAuth bob pw\n%2")
                          .arg(port)
                          .arg(unprivilegedUser(QStringLiteral("User nobody"), QStringLiteral("Group nogroup"))));
    return startProgram(findProgram(QStringLiteral("tinyproxy")), {QStringLiteral("-d"), QStringLiteral("-c"), config},
                        port);
}

// The first of the programs that is not installed; empty when all are.
QString missingProgram(const QStringList& programs) {
    for (const QString& program : programs) {
        if (findProgram(program).isEmpty()) {
            return program;
        }
    }
    return {};
}

#define QN_SKIP_WITHOUT(...)                                                                                           \
    if (const QString missing = missingProgram({__VA_ARGS__}); !missing.isEmpty()) {                                   \
        GTEST_SKIP() << missing.toStdString() << " is not installed (scripts/install-deps installs it)";               \
    }

class ProxyPeers : public testing::Test {
protected:
    void SetUp() override {
        QN_SKIP_WITHOUT(QStringLiteral("python3"))
        _origin = startScript(QStringLiteral("http_echo_server.py"));
        ASSERT_NE(_origin.port, 0) << "the origin server did not start";
    }

    QNEngineTarget origin(const QString& hostName = QString()) const {
        return testTarget(kLoopback, _origin.port, hostName);
    }

    // The request as the origin server received it, or the failure.
    static QString fetch(QNProxyPeerDriver& driver, const QByteArray& request) {
        if (!driver.connect()) {
            return QStringLiteral("failed: ") + driver.failure();
        }
        const QByteArray body = driver.exchange(request);
        return body.isEmpty() ? QStringLiteral("failed: ") + driver.failure() : QString::fromUtf8(body);
    }

    Peer _origin;
    QTemporaryDir _folder;
};

QByteArray get(const char* path, const QByteArray& extra = {}) {
    return "GET " + QByteArray(path) + " HTTP/1.1\r\nHost: site.test\r\n" + extra + "\r\n";
}

TEST_F(ProxyPeers, MicrosocksWithAndWithoutPassword) {
    QN_SKIP_WITHOUT(QStringLiteral("microsocks"))
    const Peer open = startMicrosocks();
    ASSERT_NE(open.port, 0);
    QNProxyPeerDriver byAddress({testProxy(3, "open", kLoopback, open.port)}, origin());
    EXPECT_TRUE(fetch(byAddress, get("/one")).startsWith(QStringLiteral("GET /one HTTP/1.1\r\n")));
    // the same connection carries a second request
    EXPECT_TRUE(byAddress.exchange(get("/two")).startsWith("GET /two"));
    QNProxyPeerDriver byName({testProxy(3, "open", kLoopback, open.port)}, origin(QStringLiteral("localhost")));
    EXPECT_TRUE(fetch(byName, get("/named")).startsWith(QStringLiteral("GET /named")));

    // an IPv6 destination, and the SSH-tunnel kind, which speaks SOCKS 5 to its local listener
    const Peer origin6 =
        startScript(QStringLiteral("http_echo_server.py"), {QStringLiteral("--bind"), QStringLiteral("::1")});
    ASSERT_NE(origin6.port, 0);
    QNProxyPeerDriver toIPv6({testProxy(3, "open", kLoopback, open.port)}, testTargetIPv6({0, 0, 0, 1}, origin6.port));
    EXPECT_TRUE(fetch(toIPv6, get("/six")).startsWith(QStringLiteral("GET /six")));
    QNDecodedProxy tunnel = testProxy(7, "ssh", 0xC6336401, 22, QStringLiteral("me"), QStringLiteral("secret"));
    tunnel.localTunnelPort = open.port;
    QNProxyPeerDriver throughTunnel({tunnel}, origin());
    EXPECT_TRUE(fetch(throughTunnel, get("/tunnel")).startsWith(QStringLiteral("GET /tunnel")));

    const Peer locked =
        startMicrosocks({QStringLiteral("-u"), QStringLiteral("bob"), QStringLiteral("-P"), QStringLiteral("pw")});
    ASSERT_NE(locked.port, 0);
    const QString label = QStringLiteral("failed: at hop 1 of 1 (SOCKS5 \"locked\" 127.0.0.1:%1): ").arg(locked.port);
    QNProxyPeerDriver good(
        {testProxy(3, "locked", kLoopback, locked.port, QStringLiteral("bob"), QStringLiteral("pw"))}, origin());
    EXPECT_TRUE(fetch(good, get("/auth")).startsWith(QStringLiteral("GET /auth")));
    QNProxyPeerDriver wrong(
        {testProxy(3, "locked", kLoopback, locked.port, QStringLiteral("bob"), QStringLiteral("nope"))}, origin());
    EXPECT_EQ(fetch(wrong, get("/")), label + QStringLiteral("authentication refused"));
    QNProxyPeerDriver none({testProxy(3, "locked", kLoopback, locked.port)}, origin());
    EXPECT_EQ(fetch(none, get("/")), label + QStringLiteral("the proxy requires a user name and password"));
}

TEST_F(ProxyPeers, DanteAsSOCKS4) {
    QN_SKIP_WITHOUT(QStringLiteral("danted"))
    const Peer dante = startDante(_folder);
    ASSERT_NE(dante.port, 0) << dante.process->stderrLines.join(u'\n').toStdString();
    QNProxyPeerDriver granted({testProxy(1, "d", kLoopback, dante.port, QStringLiteral("someone"))}, origin());
    EXPECT_TRUE(fetch(granted, get("/socks4")).startsWith(QStringLiteral("GET /socks4")));
    QNProxyPeerDriver closedPort({testProxy(1, "d", kLoopback, dante.port)},
                                 testTarget(kLoopback, qnFreeLoopbackPort()));
    EXPECT_EQ(fetch(closedPort, get("/")),
              QStringLiteral("failed: at hop 1 of 1 (SOCKS4 \"d\" 127.0.0.1:%1): request rejected or failed")
                  .arg(dante.port));
}

TEST_F(ProxyPeers, OurSOCKS4aServer) {
    const Peer socks4a =
        startScript(QStringLiteral("socks4a_server.py"), {QStringLiteral("--user-id"), QStringLiteral("me")});
    ASSERT_NE(socks4a.port, 0);
    QNProxyPeerDriver named({testProxy(2, "a", kLoopback, socks4a.port, QStringLiteral("me"))},
                            origin(QStringLiteral("localhost")));
    EXPECT_TRUE(fetch(named, get("/socks4a")).startsWith(QStringLiteral("GET /socks4a")));
    QNProxyPeerDriver stranger({testProxy(2, "a", kLoopback, socks4a.port, QStringLiteral("you"))},
                               origin(QStringLiteral("localhost")));
    EXPECT_TRUE(fetch(stranger, get("/")).endsWith(QStringLiteral("rejected: the user id does not match identd's")));
}

TEST_F(ProxyPeers, TinyproxyConnectAndAbsoluteURIRequests) {
    QN_SKIP_WITHOUT(QStringLiteral("tinyproxy"))
    const Peer tiny = startTinyproxy(_folder);
    ASSERT_NE(tiny.port, 0) << tiny.process->stderrLines.join(u'\n').toStdString();
    const auto proxy = [&](quint32 type, const QString& password, bool anonymize = false) {
        QNDecodedProxy p = testProxy(type, "tiny", kLoopback, tiny.port, QStringLiteral("bob"), password);
        p.anonymize = anonymize;
        return p;
    };

    QNProxyPeerDriver connect({proxy(6, QStringLiteral("pw"))}, origin());
    EXPECT_TRUE(fetch(connect, get("/tunnelled", "Referer: kept\r\n")).contains(QStringLiteral("Referer: kept")));
    QNProxyPeerDriver refused({proxy(6, QStringLiteral("nope"))}, origin());
    const QString refusal = fetch(refused, get("/"));
    EXPECT_EQ(refusal,
              QStringLiteral("failed: at hop 1 of 1 (HTTP CONNECT \"tiny\" 127.0.0.1:%1): authentication refused")
                  .arg(tiny.port))
        << refusal.toStdString();

    // Absolute-URI requests: tinyproxy forwards each one, bodies intact, identifying headers gone.
    QNProxyPeerDriver plain({proxy(5, QStringLiteral("pw"), true)}, origin());
    const QString first = fetch(plain, get("/plain", "Referer: secret\r\nX-Forwarded-For: 10.1.1.1\r\n"));
    EXPECT_TRUE(first.startsWith(QStringLiteral("GET /plain HTTP/1.1\r\n"))) << first.toStdString();
    EXPECT_FALSE(first.contains(QStringLiteral("secret")));
    EXPECT_FALSE(first.contains(QStringLiteral("10.1.1.1")));
    // (tinyproxy closes the client's connection after each answer)
    QNProxyPeerDriver post({proxy(5, QStringLiteral("pw"))}, origin());
    const QString posted = fetch(post, "POST /form HTTP/1.1\r\nHost: site.test\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_TRUE(posted.startsWith(QStringLiteral("POST /form")) && posted.endsWith(QStringLiteral("\r\n\r\nhello")))
        << posted.toStdString();

    // A client that does not speak HTTP first goes through CONNECT.
    QNProxyPeerDriver fallback({proxy(5, QStringLiteral("pw"))}, origin());
    EXPECT_TRUE(fetch(fallback, "\r\n" + get("/after-connect")).startsWith(QStringLiteral("GET /after-connect")));
}

TEST_F(ProxyPeers, TransparentProxyGetsTheRequestsAsTheClientSentThem) {
    const Peer transparent = startScript(QStringLiteral("transparent_http_proxy.py"));
    ASSERT_NE(transparent.port, 0);
    QNDecodedProxy proxy = testProxy(4, "t", kLoopback, transparent.port);
    proxy.anonymize = true;
    QNProxyPeerDriver driver({proxy}, origin());
    const QByteArray request =
        "GET /t HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(_origin.port) + "\r\nVia: me\r\nAccept: */*\r\n\r\n";
    EXPECT_EQ(fetch(driver, request),
              QStringLiteral("GET /t HTTP/1.1\r\nHost: 127.0.0.1:%1\r\nAccept: */*\r\n\r\n").arg(_origin.port));
}

TEST_F(ProxyPeers, ThreeHopChain) {
    QN_SKIP_WITHOUT(QStringLiteral("microsocks"), QStringLiteral("danted"), QStringLiteral("tinyproxy"))
    const Peer socks5 = startMicrosocks();
    const Peer dante = startDante(_folder);
    const Peer tiny = startTinyproxy(_folder);
    ASSERT_TRUE(socks5.port && dante.port && tiny.port);
    const QList<QNDecodedProxy> chain{
        testProxy(3, "one", kLoopback, socks5.port),
        testProxy(1, "two", kLoopback, dante.port),
        testProxy(5, "three", kLoopback, tiny.port, QStringLiteral("bob"), QStringLiteral("pw")),
    };
    QNProxyPeerDriver driver(chain, origin());
    EXPECT_TRUE(fetch(driver, get("/chained")).startsWith(QStringLiteral("GET /chained HTTP/1.1")));

    // the middle hop cannot reach a hop that is not there
    QList<QNDecodedProxy> broken = chain;
    broken[2].port = qnFreeLoopbackPort();
    QNProxyPeerDriver dead(broken, origin());
    EXPECT_EQ(fetch(dead, get("/")),
              QStringLiteral("failed: at hop 3 of 3 (HTTP \"three\" 127.0.0.1:%1): not reachable "
                             "through hop 2: request rejected or failed")
                  .arg(broken[2].port));
}

} // namespace
