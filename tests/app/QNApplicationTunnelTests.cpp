// The controller's SSH tunnels with a real tunnel server against the test's sshd: one server for every tunnel
// of the active profile, the retry and its count, errors of replaced servers, and failures that arrive while
// an alert is up. Ports, threads and listeners, and what the user sees of a failure, are checked end to end.

#include "QNApplicationFixture.h"

#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "support/QNTestSSHServer.h"
#include "support/QNTestWait.h"
#include "tunnel/QNSSHTunnelServer.h"
#include "tunnel/QNSSHTunnelSession.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QThread>

namespace {

// Waits without running the event loop, so that what the session threads post stays queued.
bool waitWithoutEvents(const std::function<bool()>& condition) {
    const QDeadlineTimer deadline(kWait);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(5);
    }
    return true;
}

class TunnelCoordinationTest : public ApplicationTest {
protected:
    QNTestSSHServer sshd;
    QByteArray clientKey;

    void SetUp() override {
        ApplicationTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_TRUE(sshd.isValid()) << "the tests need OpenSSH's sshd and ssh-keygen";
        clientKey = sshd.makeClientKey("ed25519");
        ASSERT_TRUE(sshd.start());
    }

    std::shared_ptr<QNProxy> tunnelProxy(const QString& name, quint16 port = 0) const {
        return QNProxy::proxyWithName(name, QNProxyTypeSSHTunnel, "127.0.0.1", port ? port : sshd.port(), sshd.user(),
                                      QString(), {}, false, QNProxyCipherDefault, clientKey, QString(), {}, QString(),
                                      0);
    }
    static std::shared_ptr<QNProxy> socksProxy() {
        return QNProxy::proxyWithName("SOCKS", QNProxyTypeSOCKS5, "127.0.0.1", 1080, QString(), QString(), {}, false, 0,
                                      {}, QString(), {}, QString(), 0);
    }
    static QVariantMap profile(const QString& name, quint32 identifier,
                               const QList<std::shared_ptr<QNProxyItem>>& proxies, const QString& rulePort = "443") {
        const auto rule =
            QNRule::ruleWithName("Office", {}, {"10.1.0.0-10.1.255.255"}, {rulePort}, 1, proxies.value(0), true);
        return QNProfile::profileWithName(name, proxies, {rule}, {}, identifier)->settings();
    }

    bool allConnected() const {
        const auto& server = app->sshServer();
        return server && !server->sessions().empty() &&
               std::all_of(server->sessions().begin(), server->sessions().end(),
                           [](const auto& session) { return session->connected(); });
    }
    // The server running now has reported that all its tunnels are up.
    bool waitForConnected() {
        return qnWaitUntil([&] { return allConnected() && app->retryCount() == 0; });
    }
    // Tunnel lines of the activity log that are not a session's start or end: the failures acted on.
    qsizetype loggedFailures() const {
        qsizetype count = 0;
        for (const QByteArray& line : logContent().split('\n')) {
            static const QRegularExpression state(" - (starting|running|stopping|stopped)\r$");
            count += line.contains(" - SSH tunnel - ") && !state.match(QString::fromUtf8(line)).hasMatch() ? 1 : 0;
        }
        return count;
    }
};

TEST_F(TunnelCoordinationTest, TunnelsFollowTheProfileAndFailuresRetryOncePerSuccess) {
    const auto chain = QNProxyChain::proxyChainWithName("Chain", {tunnelProxy("B"), socksProxy()}, true);
    setPreferences({{kQNUserDefaultProfiles,
                     QVariantList{profile("Two tunnels", 1, {tunnelProxy("A"), chain}),
                                  profile("Plain", 2, {socksProxy()}), profile("One tunnel", 3, {tunnelProxy("C")})}},
                    {kQNUserDefaultEnableLogging, true}});
    start();

    // One server for the proxy in the list and the one in the chain.
    app->enableProfile(1, true);
    const std::shared_ptr<QNSSHTunnelServer> first = app->sshServer();
    ASSERT_TRUE(first);
    ASSERT_EQ(first->sessions().size(), 2u);
    EXPECT_FALSE(app->stoppingTunnels());
    ASSERT_TRUE(waitForConnected());

    // The connections die: the first report restarts everything silently (and is logged), the report of the
    // other tunnel belongs to the stopped server and is not counted.
    const int flushes = services.dnsFlushes;
    sshd.killConnections();
    ASSERT_TRUE(qnWaitUntil([&] { return app->sshServer() && app->sshServer() != first; }));
    EXPECT_EQ(loggedFailures(), 1) << logContent().toStdString();
    EXPECT_EQ(services.dnsFlushes, flushes + 2);
    EXPECT_EQ(app->activeProfileIdentifier(), 1);
    // Connected again: the count starts over, so the next failure is again only retried.
    ASSERT_TRUE(waitForConnected());
    const std::shared_ptr<QNSSHTunnelServer> second = app->sshServer();
    sshd.killConnections();
    ASSERT_TRUE(qnWaitUntil([&] { return app->sshServer() && app->sshServer() != second; }));
    ASSERT_TRUE(waitForConnected());
    EXPECT_TRUE(alerts.alerts().isEmpty());
    EXPECT_EQ(app->activeProfileIdentifier(), 1);
    EXPECT_EQ(stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong(), 1);
    EXPECT_EQ(loggedFailures(), 2) << logContent().toStdString();

    // Switching while the old tunnels' failures are still on their way: they arrive as the old server stops
    // and change nothing.
    sshd.killConnections();
    ASSERT_TRUE(waitWithoutEvents([&] { return !app->sshServer()->sessions().at(0)->connected(); }));
    app->enableProfile(3, true);
    const std::shared_ptr<QNSSHTunnelServer> third = app->sshServer();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->sessions().size(), 1u);
    ASSERT_TRUE(waitForConnected());
    EXPECT_EQ(app->sshServer(), third);
    EXPECT_EQ(app->retryCount(), 0u);
    EXPECT_EQ(app->activeProfileIdentifier(), 3);
    EXPECT_EQ(loggedFailures(), 2) << logContent().toStdString();

    // A profile without tunnels has no server, and errors stay ignored until one is started.
    app->enableProfile(2, true);
    EXPECT_EQ(app->sshServer(), nullptr);
    EXPECT_TRUE(app->stoppingTunnels());
    EXPECT_TRUE(alerts.alerts().isEmpty());
}

TEST_F(TunnelCoordinationTest, FailuresWhileAnAlertIsUpAreHandledOnce) {
    const quint16 closed = qnFreeLocalPort();
    setPreferences({{kQNUserDefaultProfiles,
                     QVariantList{profile("Bad rule", 1, {tunnelProxy("A", closed)}, "http"),
                                  profile("Dead", 2, {tunnelProxy("A", closed), tunnelProxy("B", closed)})}},
                    {kQNUserDefaultEnableLogging, true},
                    {kQNUserDefaultSafetyOverride, true}});
    start();

    // The tunnel fails while the compile alert is up: its report waits, and the failed switch has stopped the
    // tunnel by the time it could be acted on.
    alerts.whileShown = [&] { qnWaitUntil([&] { return logContent().contains(" - stopped\r\n"); }); };
    app->enableProfile(1, true);
    ASSERT_TRUE(logContent().contains(" - stopped\r\n"));
    QCoreApplication::processEvents();
    EXPECT_EQ(alerts.alerts().size(), 1);
    EXPECT_EQ(app->activeProfileIdentifier(), -1);
    EXPECT_EQ(app->sshServer(), nullptr);
    EXPECT_EQ(app->retryCount(), 0u);

    // Two tunnels that cannot connect, with "safetyOverride": one retry, one alert, and the other tunnel's
    // failure after it is only logged; the profile stays on and nothing restarts again and again.
    alerts.clear();
    std::shared_ptr<QNSSHTunnelServer> alerted;
    alerts.whileShown = [&] { alerted = app->sshServer(); };
    app->enableProfile(2, true);
    ASSERT_TRUE(qnWaitUntil([&] { return alerts.alerts().size() == 1 && alerted; }));
    // Logged: the retried failure and the one after the alert.
    const QByteArray refused = "Connection refused";
    ASSERT_TRUE(qnWaitUntil([&] { return logContent().count(refused) >= 2; })) << logContent().toStdString();
    QCoreApplication::processEvents();
    EXPECT_EQ(logContent().count(refused), 2) << logContent().toStdString();
    EXPECT_EQ(alerts.alerts().size(), 1);
    EXPECT_EQ(alerts.alerts().at(0).messageText, "The SSH tunnel failed");
    EXPECT_TRUE(alerts.alerts().at(0).informativeText.contains(refused))
        << alerts.alerts().at(0).informativeText.toStdString();
    EXPECT_EQ(app->sshServer(), alerted);
    EXPECT_EQ(app->activeProfileIdentifier(), 2);
}

} // namespace
