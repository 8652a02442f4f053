// The agent as a process, driven by the settings tool and its surroundings: its command line, start-up,
// switching through the settings tool, signals, a profile that fails to compile, uninstalling, the login
// session and a second agent. What the controller decides in each case is tested with fakes in tests/app.

#include "test_fixture.h"

#include "support/QNFakeLogind.h"

namespace {

const QString kSample = "Local SOCKS";

TEST_F(AgentTest, AnswersVersionAndHelpWithoutStarting) {
    for (const auto& [argument, exitCode] : {std::pair{"--version", 0}, {"--help", 0}, {"--bogus", 2}}) {
        const QNTestProcessResult result = qnRunProcess(kAgentPath, {QLatin1StringView(argument)}, {}, _environment);
        EXPECT_EQ(result.exitCode, exitCode) << argument;
        EXPECT_FALSE((result.standardOutput + result.standardError).isEmpty()) << argument;
    }
    EXPECT_FALSE(QFileInfo::exists(path("config")));
    EXPECT_EQ(_peer->agentsAccepted(), 0);
}

// From a fresh user's start to uninstalling: what the settings tool changes reaches the engine, what the
// engine reports reaches the statistics service, and uninstalling leaves the agent running out of service.
TEST_F(AgentTest, SettingsToolDrivesTheEngineUntilUninstalled) {
    startAgent();
    // A fresh user: an empty profile and the logging flag off; nothing recorded; the DNS cache flushed.
    EXPECT_EQ(_peer->values(kQNKernelOptionProfile), QList<QByteArray>{QByteArray()});
    EXPECT_EQ(_peer->values(kQNKernelOptionLogging), QList<QByteArray>{QByteArray(1, '\0')});
    for (const QString& key : {kQNUserDefaultActiveProfileIdentifier, kQNUserDefaultSafety, kQNUserDefaultProfiles}) {
        EXPECT_FALSE(domain().contains(key)) << key.toStdString();
    }
    EXPECT_EQ(_fakes.calls(), QStringList{"resolvectl flush-caches"});

    activateSample();
    const QByteArray expected = compiledProfile(kSample);
    ASSERT_FALSE(expected.isEmpty());
    EXPECT_EQ(lastProfile(), expected);
    EXPECT_TRUE(domain().value(kQNUserDefaultSafety).toBool());

    // The figures the engine reports are what the statistics service answers.
    ASSERT_TRUE(_peer->sendConnections(12));
    ASSERT_TRUE(_peer->sendDataSent(4096));
    ASSERT_TRUE(_peer->sendDataReceived(10 * 1024 * 1024));
    ASSERT_TRUE(qnWaitUntil([this] { return statistics().arguments().value(2).toULongLong() == 10u * 1024 * 1024; }));
    EXPECT_EQ(statistics().arguments().value(0).toInt(), 12);
    EXPECT_EQ(ok({"stats"}), "Connections: 12\nSent: 4.0 KB (4096 bytes)\nReceived: 10.0 MB (10485760 bytes)\n");

    // A changed definition of the active profile is sent again; a list without it switches to none quietly.
    panel({"rename", kSample, "Renamed"});
    EXPECT_EQ(lastProfile(), compiledProfile("Renamed"));
    _posted.clear();
    panel({"delete", "Renamed"});
    EXPECT_TRUE(lastProfile().isEmpty());
    EXPECT_FALSE(domain().contains(kQNUserDefaultSafety));
    EXPECT_EQ(agentPostedUpToTermination(),
              (QStringList{kQNNotificationActiveProfileIdentifier, kQNNotificationTerminateComplete}));

    // The uninstall script installed beside the agent ran with privileges; the agent still serves.
    const QStringList uninstalls = _fakes.calls().filter("pkexec");
    ASSERT_EQ(uninstalls.size(), 1);
    EXPECT_TRUE(uninstalls.at(0).endsWith("/share/quillon/uninstall.sh")) << uninstalls.at(0).toStdString();
    EXPECT_TRUE(_agent->isRunning());
    EXPECT_EQ(statistics().type(), QDBusMessage::ReplyMessage);
}

TEST_F(AgentTest, SignalsQuitInOrderAndACleanRestartAnnouncesNothing) {
    startAgent();
    activateSample();
    ok({"set", kQNUserDefaultEnableLogging, "yes"});
    ASSERT_TRUE(qnWaitUntil([this] { return QFileInfo::exists(logPath()); }));
    const qint64 active = storedActive();
    ASSERT_GT(active, 0);

    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        const int closed = _peer->agentsClosed();
        EXPECT_EQ(stopAgent(signalNumber), 0);
        // Switched off without recording it: the profile comes back at the next start, "safety" goes.
        ASSERT_TRUE(_peer->waitForClose(closed + 1, kProgramWait));
        EXPECT_TRUE(lastProfile().isEmpty());
        EXPECT_EQ(storedActive(), active);
        EXPECT_FALSE(domain().contains(kQNUserDefaultSafety));
        EXPECT_FALSE(QFileInfo::exists(logPath()));

        _posted.clear();
        startAgent();
        EXPECT_EQ(lastProfile(), compiledProfile(kSample));
        EXPECT_TRUE(QFileInfo::exists(logPath()));
    }
    // Nothing was posted at the last start: the first notification is the one uninstalling causes.
    EXPECT_EQ(agentPostedUpToTermination(),
              (QStringList{kQNNotificationActiveProfileIdentifier, kQNNotificationTerminateComplete}));
}

TEST_F(AgentTest, ProfileThatFailsToCompileIsRecordedAsNoneAndAnnounced) {
    ASSERT_TRUE(writeFile(path("broken.xml"), R"(<profiles><profile name="Broken">
  <proxies><proxy host="127.0.0.1" identifier="0" name="SOCKS" port="1080" type="socks5"/></proxies>
  <rules><rule action="proxy" enabled="true" name="Bad port" proxyIdentifier="0"><ports><port>no port</port></ports></rule></rules>
</profile></profiles>)"));
    startAgent();
    panel({"import", "--force", path("broken.xml")});
    ok({"set", kQNUserDefaultEnableLogging, "yes"});
    ASSERT_TRUE(qnWaitUntil([this] { return QFileInfo::exists(logPath()); }));
    _posted.clear();

    // The settings tool records the choice and tells the agent, which does not answer a panel's change,
    // and yet does here, because the switch failed. The settings tool waits for that and fails with the alert.
    const QString alert = "The rule's port is not a port or port range: no port";
    const auto activated = run({"activate", "Broken"});
    EXPECT_EQ(activated.exitCode, 1);
    EXPECT_TRUE(activated.standardError.contains("profile 1 (Broken) could not be switched on: " + alert.toUtf8()))
        << activated.standardError.toStdString();
    ASSERT_TRUE(waitForPosted(kQNNotificationActiveProfileIdentifier));
    EXPECT_EQ(storedActive(), -1);
    EXPECT_TRUE(lastProfile().isEmpty());
    EXPECT_TRUE(ok({"status"}).contains("Last alert:     " + alert));
    // Headless, the alert is one line on stderr and one in the log.
    EXPECT_TRUE(_agent->waitForStderr(QStringLiteral("quillon: ") + alert));
    const QString log = QString::fromUtf8(readFile(logPath()));
    EXPECT_TRUE(log.contains(QStringLiteral(" - Quillon - ") + alert + "\r\n")) << log.toStdString();
    EXPECT_TRUE(log.contains(" - Quillon - error enabling proxy\r\n")) << log.toStdString();
}

// The switching itself is the controller's (tested with a fake monitor); this is the agent listening to logind.
TEST_F(AgentTest, SessionSwitchedAwayAndBack) {
    QNFakeLogind logind("e2e-logind", true);
    ASSERT_TRUE(logind.isValid());
    ok({"import", sampleProfilePath()});
    ok({"set", kQNUserDefaultSafetyOverride, "yes"});
    ok({"activate", kSample});
    startAgent();
    ASSERT_EQ(lastProfile(), compiledProfile(kSample));
    const int accepted = _peer->agentsAccepted();

    logind.setActive(false);
    logind.announce(true);
    ASSERT_TRUE(_peer->waitForClose(1, kProgramWait));
    EXPECT_TRUE(lastProfile().isEmpty());

    logind.setActive(true);
    logind.announce(true);
    ASSERT_TRUE(_peer->waitForAgent(accepted + 1, kProgramWait));
    EXPECT_TRUE(qnWaitUntil([&] { return lastProfile() == compiledProfile(kSample); }));
}

TEST_F(AgentTest, ASecondAgentExitsAndTouchesNothing) {
    startAgent();
    activateSample();
    const QByteArray preferences = readFile(preferencePath());
    const QDateTime modified = QFileInfo(preferencePath()).lastModified();
    const qsizetype frames = _peer->frames().size();
    const qsizetype calls = _fakes.calls().size();

    const QNTestProcessResult second = qnRunProcess(kAgentPath, {}, {}, _environment);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_TRUE(second.standardError.contains("already running")) << second.standardError.toStdString();
    EXPECT_EQ(readFile(preferencePath()), preferences);
    EXPECT_EQ(QFileInfo(preferencePath()).lastModified(), modified);
    EXPECT_FALSE(QFileInfo::exists(path("state")));
    EXPECT_EQ(_fakes.calls().size(), calls);
    // The first agent is still the engine's only one and still serves.
    EXPECT_EQ(_peer->agentsAccepted(), 1);
    EXPECT_EQ(_peer->frames().size(), frames);
    EXPECT_EQ(statistics().type(), QDBusMessage::ReplyMessage);
}

} // namespace
