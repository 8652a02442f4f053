// The agent's life as a process: first start, switching on through the settings tool, unclean and clean
// ends, quitting on a signal, and a second agent in the same session.

#include "test_agent_fixture.h"

#include <QFileInfo>

namespace {

TEST_F(AgentTest, AnswersVersionAndHelpWithoutStarting) {
    for (const char* argument : {"--version", "--help"}) {
        const QNTestProcessResult result = qnRunProcess(kAgentPath, {QLatin1StringView(argument)}, {}, environment);
        EXPECT_EQ(result.exitCode, 0) << argument;
        EXPECT_FALSE(result.standardOutput.isEmpty()) << argument;
    }
    const QNTestProcessResult wrong = qnRunProcess(kAgentPath, {QStringLiteral("--bogus")}, {}, environment);
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_FALSE(QFileInfo::exists(path("config")));
    EXPECT_EQ(peer->agentsAccepted(), 0);
}

TEST_F(AgentTest, FreshUserHandsTheEngineAnEmptyProfileAndTheLoggingFlag) {
    startAgent();
    ASSERT_EQ(peer->frames().size(), 2);
    EXPECT_EQ(peer->frames().at(0).option, 0u);
    EXPECT_TRUE(peer->frames().at(0).value.isEmpty());
    EXPECT_EQ(peer->frames().at(1).option, 1u);
    EXPECT_EQ(peer->frames().at(1).value, QByteArray(1, '\0'));
    const QVariantMap domain = stored();
    EXPECT_FALSE(domain.contains(kQNUserDefaultActiveProfileIdentifier));
    EXPECT_FALSE(domain.contains(kQNUserDefaultSafety));
    EXPECT_FALSE(domain.contains(kQNUserDefaultProfiles));
    EXPECT_EQ(records(), QStringList{QStringLiteral("resolvectl flush-caches")});
    EXPECT_EQ(peer->garbageBytes(), 0);
}

TEST_F(AgentTest, ActivationSendsExactlyTheCompiledStream) {
    startAgent();
    activateSample();
    const QByteArray expected = compiledProfile(QStringLiteral("Local SOCKS"));
    ASSERT_FALSE(expected.isEmpty());
    EXPECT_EQ(lastProfile(), expected);
    EXPECT_TRUE(stored().value(kQNUserDefaultSafety).toBool());
    // One flush per switch: start-up, import, activation.
    EXPECT_EQ(records().count(QStringLiteral("resolvectl flush-caches")), 3);

    // The figures the engine reports are what the statistics service answers.
    ASSERT_TRUE(peer->sendConnections(12));
    ASSERT_TRUE(peer->sendDataSent(4096));
    ASSERT_TRUE(peer->sendDataReceived(10 * 1024 * 1024));
    ASSERT_TRUE(waitFor(
        [this] {
            const QList<QVariant> values = statistics().arguments();
            return values.size() == 3 && values.at(2).toULongLong() == 10u * 1024 * 1024;
        },
        kAgentWait));
    const QList<QVariant> values = statistics().arguments();
    EXPECT_EQ(values.at(0).toInt(), 12);
    EXPECT_EQ(values.at(1).toULongLong(), 4096u);
    const QNTestProcessResult stats = quillonctl({QStringLiteral("stats")});
    EXPECT_EQ(QString::fromUtf8(stats.standardOutput),
              QStringLiteral("Connections: 12\nSent: 4.0 KB (4096 bytes)\nReceived: 10.0 MB (10485760 bytes)\n"));
}

TEST_F(AgentTest, RestartAfterAKillHonoursTheSafetyMarker) {
    struct Case {
        const char* name;
        bool safetyOverride;
    };
    quillonctl({QStringLiteral("import"), kSampleProfilePath});
    for (const Case c : {Case{"without override", false}, Case{"with override", true}}) {
        SCOPED_TRACE(c.name);
        startAgent();
        const qsizetype frames = peer->frames().size();
        quillonctl({QStringLiteral("activate"), QStringLiteral("Local SOCKS")});
        ASSERT_TRUE(peer->waitForFrames(frames + 1, kAgentWait));
        quillonctl({QStringLiteral("set"), kQNUserDefaultSafetyOverride,
                    c.safetyOverride ? QStringLiteral("yes") : QStringLiteral("no")});
        ASSERT_TRUE(stored().value(kQNUserDefaultSafety).toBool());
        const qint64 active = stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong();
        EXPECT_EQ(stopAgent(SIGKILL), -1);

        posted.clear();
        startAgent();
        if (c.safetyOverride) {
            EXPECT_EQ(lastProfile(), compiledProfile(QStringLiteral("Local SOCKS")));
            EXPECT_EQ(stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong(), active);
            EXPECT_TRUE(stored().value(kQNUserDefaultSafety).toBool());
        } else {
            EXPECT_TRUE(lastProfile().isEmpty());
            EXPECT_EQ(stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong(), -1);
            EXPECT_FALSE(stored().contains(kQNUserDefaultSafety));
        }
        EXPECT_TRUE(waitForPosted(kQNNotificationActiveProfileIdentifier));
        EXPECT_EQ(stopAgent(SIGTERM), 0);
    }
}

TEST_F(AgentTest, SignalsQuitInOrderAndACleanRestartAnnouncesNothing) {
    startAgent();
    activateSample();
    quillonctl({QStringLiteral("set"), kQNUserDefaultEnableLogging, QStringLiteral("yes")});
    ASSERT_TRUE(waitFor([this] { return QFileInfo::exists(logPath()); }, kAgentWait));
    const qint64 active = stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong();
    ASSERT_NE(active, -1);

    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        const int closed = peer->agentsClosed();
        EXPECT_EQ(stopAgent(signalNumber), 0);
        // Switched off without recording it: the profile comes back at the next start, "safety" goes.
        ASSERT_TRUE(peer->waitForClose(closed + 1, kAgentWait));
        EXPECT_TRUE(lastProfile().isEmpty());
        EXPECT_EQ(stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong(), active);
        EXPECT_FALSE(stored().contains(kQNUserDefaultSafety));
        EXPECT_FALSE(QFileInfo::exists(logPath()));
        EXPECT_TRUE(QFileInfo::exists(path("state/quillon")));

        posted.clear();
        startAgent();
        EXPECT_EQ(lastProfile(), compiledProfile(QStringLiteral("Local SOCKS")));
        EXPECT_TRUE(QFileInfo::exists(logPath()));
        // Nothing was posted at that start: the first notification is the one uninstalling causes.
        EXPECT_EQ(postedUpToTermination(),
                  (QStringList{kQNNotificationActiveProfileIdentifier, kQNNotificationTerminateComplete}));
        // Back in service for the next round.
        quillonctl({QStringLiteral("activate"), QStringLiteral("Local SOCKS")});
        EXPECT_EQ(stopAgent(SIGTERM), 0);
        startAgent();
    }
}

TEST_F(AgentTest, ASecondAgentExitsAndTouchesNothing) {
    startAgent();
    activateSample();
    const QByteArray preferences = readFile(preferencePath());
    const QDateTime modified = QFileInfo(preferencePath()).lastModified();
    const qsizetype frames = peer->frames().size();
    const qsizetype flushes = records().size();

    const QNTestProcessResult second = qnRunProcess(kAgentPath, {}, {}, environment);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_TRUE(second.standardError.contains("already running")) << second.standardError.toStdString();
    EXPECT_EQ(readFile(preferencePath()), preferences);
    EXPECT_EQ(QFileInfo(preferencePath()).lastModified(), modified);
    EXPECT_FALSE(QFileInfo::exists(path("state")));
    EXPECT_EQ(records().size(), flushes);
    // The first agent is still the engine's only one and still serves.
    EXPECT_EQ(peer->agentsAccepted(), 1);
    EXPECT_EQ(peer->frames().size(), frames);
    EXPECT_EQ(statistics().type(), QDBusMessage::ReplyMessage);
}

} // namespace
