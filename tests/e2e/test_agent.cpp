// The agent as a process, driven by the settings tool and its surroundings: first start, switching through
// the settings tool, unclean and clean ends, logging, uninstalling, the login session and a second agent.

#include "test_fixture.h"

#include "support/QNFakeLogind.h"

namespace {

const QString kSample = QStringLiteral("Local SOCKS");

TEST_F(AgentTest, AnswersVersionAndHelpWithoutStarting) {
    for (const auto& [argument, exitCode] : {std::pair{"--version", 0}, {"--help", 0}, {"--bogus", 2}}) {
        const QNTestProcessResult result = qnRunProcess(kAgentPath, {QLatin1StringView(argument)}, {}, _environment);
        EXPECT_EQ(result.exitCode, exitCode) << argument;
        EXPECT_FALSE((result.standardOutput + result.standardError).isEmpty()) << argument;
    }
    EXPECT_FALSE(QFileInfo::exists(path("config")));
    EXPECT_EQ(_peer->agentsAccepted(), 0);
}

TEST_F(AgentTest, FreshUserHandsTheEngineAnEmptyProfileAndTheLoggingFlag) {
    startAgent();
    ASSERT_EQ(_peer->frames().size(), 2);
    EXPECT_EQ(_peer->frames().at(0).option, 0u);
    EXPECT_TRUE(_peer->frames().at(0).value.isEmpty());
    EXPECT_EQ(_peer->frames().at(1).option, 1u);
    EXPECT_EQ(_peer->frames().at(1).value, QByteArray(1, '\0'));
    for (const QString& key : {kQNUserDefaultActiveProfileIdentifier, kQNUserDefaultSafety, kQNUserDefaultProfiles}) {
        EXPECT_FALSE(domain().contains(key)) << key.toStdString();
    }
    EXPECT_EQ(_fakes.calls(), QStringList{QStringLiteral("resolvectl flush-caches")});
    EXPECT_EQ(_peer->garbageBytes(), 0);
}

TEST_F(AgentTest, SettingsToolDrivesTheEngine) {
    startAgent();
    activateSample();
    const QByteArray expected = compiledProfile(kSample);
    ASSERT_FALSE(expected.isEmpty());
    EXPECT_EQ(lastProfile(), expected);
    EXPECT_TRUE(domain().value(kQNUserDefaultSafety).toBool());
    // One flush per switch: start-up, import, activation.
    EXPECT_EQ(dnsFlushes(), 3);

    // The figures the engine reports are what the statistics service answers.
    ASSERT_TRUE(_peer->sendConnections(12));
    ASSERT_TRUE(_peer->sendDataSent(4096));
    ASSERT_TRUE(_peer->sendDataReceived(10 * 1024 * 1024));
    ASSERT_TRUE(qnWaitUntil([this] { return statistics().arguments().value(2).toULongLong() == 10u * 1024 * 1024; }));
    EXPECT_EQ(statistics().arguments().value(0).toInt(), 12);
    EXPECT_EQ(ok({QStringLiteral("stats")}),
              QStringLiteral("Connections: 12\nSent: 4.0 KB (4096 bytes)\nReceived: 10.0 MB (10485760 bytes)\n"));

    // A changed definition of the active profile is sent again; a list without it switches to none quietly.
    panel({QStringLiteral("rename"), kSample, QStringLiteral("Renamed")});
    EXPECT_EQ(lastProfile(), compiledProfile(QStringLiteral("Renamed")));
    _posted.clear();
    panel({QStringLiteral("delete"), QStringLiteral("Renamed")});
    EXPECT_TRUE(lastProfile().isEmpty());
    EXPECT_FALSE(domain().contains(kQNUserDefaultSafety));
    EXPECT_EQ(agentPostedUpToTermination(),
              (QStringList{kQNNotificationActiveProfileIdentifier, kQNNotificationTerminateComplete}));
}

TEST_F(AgentTest, RestartAfterAKillHonoursTheSafetyMarker) {
    ok({QStringLiteral("import"), sampleProfilePath()});
    for (const bool safetyOverride : {false, true}) {
        SCOPED_TRACE(safetyOverride ? "with override" : "without override");
        startAgent();
        panel({QStringLiteral("activate"), kSample});
        ok({QStringLiteral("set"), kQNUserDefaultSafetyOverride,
            safetyOverride ? QStringLiteral("yes") : QStringLiteral("no")});
        ASSERT_TRUE(domain().value(kQNUserDefaultSafety).toBool());
        const qint64 active = storedActive();
        EXPECT_EQ(stopAgent(SIGKILL), -1);

        _posted.clear();
        startAgent();
        EXPECT_EQ(lastProfile(), safetyOverride ? compiledProfile(kSample) : QByteArray());
        EXPECT_EQ(storedActive(), safetyOverride ? active : -1);
        EXPECT_EQ(domain().value(kQNUserDefaultSafety).toBool(), safetyOverride);
        EXPECT_TRUE(waitForPosted(kQNNotificationActiveProfileIdentifier));
        EXPECT_EQ(stopAgent(SIGTERM), 0);
    }
}

TEST_F(AgentTest, SignalsQuitInOrderAndACleanRestartAnnouncesNothing) {
    startAgent();
    activateSample();
    ok({QStringLiteral("set"), kQNUserDefaultEnableLogging, QStringLiteral("yes")});
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
    panel({QStringLiteral("import"), path("broken.xml")});
    ok({QStringLiteral("set"), kQNUserDefaultEnableLogging, QStringLiteral("yes")});
    ASSERT_TRUE(qnWaitUntil([this] { return QFileInfo::exists(logPath()); }));
    _posted.clear();

    // The settings tool records the choice and tells the agent, which does not answer a panel's change,
    // and yet does here, because the switch failed.
    ok({QStringLiteral("activate"), QStringLiteral("Broken")});
    ASSERT_TRUE(waitForPosted(kQNNotificationActiveProfileIdentifier));
    EXPECT_EQ(storedActive(), -1);
    EXPECT_TRUE(lastProfile().isEmpty());
    // Headless, the alert is one line on stderr and one in the log.
    const QString alert = QStringLiteral("The rule's port is not a port or port range: no port");
    EXPECT_TRUE(_agent->waitForStderr(QStringLiteral("quillon: ") + alert));
    const QString log = QString::fromUtf8(readFile(logPath()));
    EXPECT_TRUE(log.contains(QStringLiteral(" - Quillon - ") + alert + QStringLiteral("\r\n"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral(" - Quillon - error enabling proxy\r\n"))) << log.toStdString();
}

TEST_F(AgentTest, LoggingKeepsTheFileOnlyWhileOn) {
    startAgent();
    // An engine line while logging is off leaves no trace.
    ASSERT_TRUE(_peer->sendLog("before logging\n"));
    panel({QStringLiteral("set"), kQNUserDefaultEnableLogging, QStringLiteral("yes")});
    EXPECT_EQ(_peer->frames().last().option, 1u);
    EXPECT_EQ(_peer->frames().last().value, QByteArray(1, '\1'));

    ASSERT_TRUE(_peer->sendLog("profile Local SOCKS: 1 proxies"));
    ASSERT_TRUE(_peer->sendLog("second line\n"));
    ASSERT_TRUE(qnWaitUntil([this] { return readFile(logPath()).contains("second line\n"); }));
    // Engine lines are kept as they come, each after a time stamp; the formats are the log's own tests' business.
    const QString log = QString::fromUtf8(readFile(logPath()));
    EXPECT_TRUE(log.contains(QLatin1String(" - Quillon 2.0.0 - log opened\r\n"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QLatin1String(" - profile Local SOCKS: 1 proxies"))) << log.toStdString();
    EXPECT_TRUE(log.endsWith(QLatin1String(" - second line\n"))) << log.toStdString();
    EXPECT_FALSE(log.contains(QLatin1String("before logging")));

    panel({QStringLiteral("set"), kQNUserDefaultEnableLogging, QStringLiteral("no")});
    EXPECT_EQ(_peer->frames().last().value, QByteArray(1, '\0'));
    EXPECT_FALSE(QFileInfo::exists(logPath()));
}

TEST_F(AgentTest, UninstallTakesTheAgentOutOfServiceAndLeavesItRunning) {
    startAgent();
    activateSample();
    const int closed = _peer->agentsClosed();
    _posted.clear();

    EXPECT_EQ(agentPostedUpToTermination(),
              (QStringList{kQNNotificationActiveProfileIdentifier, kQNNotificationTerminateComplete}));
    ASSERT_TRUE(_peer->waitForClose(closed + 1, kProgramWait));
    EXPECT_TRUE(lastProfile().isEmpty());
    EXPECT_EQ(storedActive(), -1);
    const QStringList uninstalls = _fakes.calls().filter(QStringLiteral("pkexec"));
    ASSERT_EQ(uninstalls.size(), 1);
    EXPECT_TRUE(uninstalls.at(0).endsWith(QStringLiteral("/share/quillon/uninstall.sh")))
        << uninstalls.at(0).toStdString();
    EXPECT_TRUE(_agent->isRunning());
    EXPECT_EQ(statistics().type(), QDBusMessage::ReplyMessage);
}

// The switching itself is the controller's (tested with a fake monitor); this is the agent listening to logind.
TEST_F(AgentTest, SessionSwitchedAwayAndBack) {
    QNFakeLogind logind(QStringLiteral("e2e-logind"), true);
    ASSERT_TRUE(logind.isValid());
    ok({QStringLiteral("import"), sampleProfilePath()});
    ok({QStringLiteral("set"), kQNUserDefaultSafetyOverride, QStringLiteral("yes")});
    ok({QStringLiteral("activate"), kSample});
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
