// The agent's SSH tunnels end to end: profiles with SSH-tunnel proxies imported and switched with the
// settings tool, a real sshd on 127.0.0.1, and the engine peer seeing each tunnel's port in the profile stream.

#include "kernel/QNProfileStreamDecoder.h"
#include "support/QNTestSSHServer.h"
#include "test_fixture.h"
#include "util/QNDataAdditions.h"

#include <QTcpSocket>

namespace {

const QString kTunnelFailed = "quillon: The SSH tunnel failed ";

bool acceptsConnections(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(kProgramWait);
}

class TunnelAgentTest : public AgentTest {
protected:
    QNTestSSHServer _sshd;
    QByteArray _clientKey;

    void SetUp() override {
        AgentTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        ASSERT_TRUE(_sshd.isValid()) << "the tests need OpenSSH's sshd and ssh-keygen";
        _clientKey = _sshd.makeClientKey("ed25519");
        ASSERT_FALSE(_clientKey.isEmpty());
        ASSERT_TRUE(_sshd.start());
    }

    QString tunnelProxyXML(const QString& name, int order) const {
        return QStringLiteral(R"(<proxy cipher="default" host="127.0.0.1" identifier="%1" name="%2" order="%1" )"
                              R"(port="%3" type="sshTunnel" username="%4"><clientKey>%5</clientKey></proxy>)")
            .arg(order)
            .arg(name)
            .arg(_sshd.port())
            .arg(_sshd.user(), QNDataAdditions::base64String(_clientKey));
    }
    // A profile whose one rule sends everything through its first proxy item.
    void importProfile(const QString& name, const QString& proxiesXML) {
        const QString document =
            QStringLiteral(R"(<profiles><profile name="%1"><proxies>%2</proxies><rules>)"
                           R"(<rule action="proxy" enabled="true" name="All" proxyIdentifier="0"/></rules>)"
                           R"(</profile></profiles>)")
                .arg(name, proxiesXML);
        const QString file = path("import.xml");
        ASSERT_TRUE(writeFile(file, document.toUtf8()));
        panel({"import", file});
    }

    // The README's example, filled in for the test's sshd and imported under another name.
    void importExample(const QString& name) {
        QString source = sampleProfilePath();
        source.replace("local-socks.xml", "ssh-tunnel.xml");
        QString document = QString::fromUtf8(readFile(source));
        ASSERT_TRUE(document.contains("CLIENT_KEY"));
        document.replace("Through SSH", name)
            .replace("SSH_HOST", "127.0.0.1")
            .replace("port=\"22\"", QStringLiteral("port=\"%1\"").arg(_sshd.port()))
            .replace("SSH_USER", _sshd.user())
            .replace("CLIENT_KEY", QNDataAdditions::base64String(_clientKey));
        const QString file = path("example.xml");
        ASSERT_TRUE(writeFile(file, document.toUtf8()));
        panel({"import", file});
    }

    QNDecodedProfile lastDecodedProfile() const {
        QString error;
        const std::optional<QNDecodedProfile> profile = QNProfileStreamDecoder::decode(lastProfile(), &error);
        EXPECT_TRUE(profile) << error.toStdString();
        return profile.value_or(QNDecodedProfile());
    }
    int agentThreads() const {
        return int(QDir(QStringLiteral("/proc/%1/task").arg(_agent->processId()))
                       .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                       .size());
    }
    qsizetype stderrCount(const QString& text) const { return _agent->stderrLines.filter(text).size(); }
    qsizetype logCount(const QString& text) const { return readFile(logPath()).count(text.toUtf8()); }
};

// What goes through a tunnel's port is the tunnel's own tests' business (curl through a real sshd); this is
// the agent running the tunnels of the active profile and ending them.
TEST_F(TunnelAgentTest, TunnelsListenWhileTheProfileIsOnAndEndWithItAndTheAgent) {
    startAgent();
    const int threads = agentThreads();
    // One SSH tunnel in the proxy list, one heading a chain.
    importProfile("Tunnels",
                  tunnelProxyXML("Jump", 0) + QStringLiteral(R"(<proxyChain name="Chain" order="1">)") +
                      tunnelProxyXML("Inner", 0) +
                      QStringLiteral(R"(<proxy host="127.0.0.1" name="Far" order="1" port="1080" type="socks5"/>)"
                                     R"(</proxyChain>)"));
    panel({"activate", "Tunnels"});
    QNDecodedProfile profile = lastDecodedProfile();
    ASSERT_EQ(profile.proxies.size(), 2);
    ASSERT_EQ(profile.proxies.at(1).members.size(), 2);
    const std::optional<quint16> jump = profile.proxies.at(0).proxy.localTunnelPort;
    const std::optional<quint16> inner = profile.proxies.at(1).members.at(0).localTunnelPort;
    ASSERT_TRUE(jump && inner);
    EXPECT_NE(*jump, *inner);
    EXPECT_FALSE(profile.proxies.at(1).members.at(1).localTunnelPort);
    EXPECT_TRUE(qnWaitUntil([&] { return agentThreads() == threads + 2; })) << agentThreads() << " vs " << threads;

    // Both sessions logged in and listen where the stream says.
    EXPECT_TRUE(qnWaitUntil([&] { return _sshd.logCount("Accepted publickey") == 2; }));
    EXPECT_TRUE(acceptsConnections(*jump));
    EXPECT_TRUE(acceptsConnections(*inner));

    // Switched off: the tunnels' threads end and their listeners close.
    panel({"activate", "none"});
    EXPECT_TRUE(lastProfile().isEmpty());
    EXPECT_TRUE(qnWaitUntil([&] { return agentThreads() == threads; })) << agentThreads() << " vs " << threads;
    EXPECT_FALSE(acceptsConnections(*jump));
    EXPECT_FALSE(acceptsConnections(*inner));

    // Quitting with tunnels running: every session thread is joined (an exit with one left would abort) and
    // no listener stays behind.
    panel({"activate", "Tunnels"});
    profile = lastDecodedProfile();
    ASSERT_TRUE(qnWaitUntil([&] { return _sshd.logCount("Accepted publickey") == 4; }));
    EXPECT_EQ(stopAgent(SIGTERM), 0);
    EXPECT_FALSE(acceptsConnections(*profile.proxies.at(0).proxy.localTunnelPort));
    EXPECT_FALSE(acceptsConnections(*profile.proxies.at(1).members.at(0).localTunnelPort));
}

// With "safetyOverride" the profile stays on after the alert; that and what happens when several tunnels
// fail are the controller's tests' business.
TEST_F(TunnelAgentTest, LostServerRestartsOnceThenAlertsAndSwitchesOff) {
    ok({"set", kQNUserDefaultEnableLogging, "yes"});
    startAgent();
    importExample("Tunnel");
    panel({"activate", "Tunnel"});
    ASSERT_TRUE(qnWaitUntil([&] { return logCount(" - running\r\n") == 1; }));
    const qsizetype streams = _peer->values(kQNKernelOptionProfile).size();
    _posted.clear();

    // The first failure is retried without a word (but logged); the retry cannot connect and is shown.
    _sshd.kill();
    ASSERT_TRUE(qnWaitUntil([&] { return stderrCount(kTunnelFailed) == 1; }));
    const QString alert = _agent->stderrLines.filter(kTunnelFailed).last();
    EXPECT_TRUE(alert.contains("SSH to 127.0.0.1 - SSH tunnel - 127.0.0.1:")) << alert.toStdString();
    EXPECT_EQ(logCount(" - the SSH connection was lost\r\n"), 1);
    // Headless, the alert is in the activity log as well, just after standard error.
    EXPECT_TRUE(qnWaitUntil([&] { return logCount(alert.mid(qsizetype(sizeof "quillon: ") - 1)) == 1; }));
    // Off and on again for the retry, then off for good.
    EXPECT_TRUE(waitForPosted(kQNNotificationActiveProfileIdentifier, 3));
    ASSERT_TRUE(qnWaitUntil([&] { return _peer->values(kQNKernelOptionProfile).size() == streams + 3; }));
    EXPECT_EQ(storedActive(), -1);
    EXPECT_TRUE(lastProfile().isEmpty());
    // A single alert, whatever else the dead tunnel said.
    EXPECT_EQ(stderrCount(kTunnelFailed), 1);
    EXPECT_EQ(stopAgent(SIGTERM), 0);
}

} // namespace
