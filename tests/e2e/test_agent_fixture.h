#pragma once

// The real quillon process on the test's private session bus, with temporary configuration and state homes,
// an engine peer on its control socket that records every option it receives, fake resolvectl and pkexec
// that record their calls, and quillonctl as the settings tool.

#include "kernel/QNProfileCompiler.h"
#include "model/QNProfile.h"
#include "platform/QNNotificationCenter.h"
#include "platform/QNPreferenceStore.h"
#include "support/QNRecordingAlertPresenter.h"
#include "support/QNTestEnginePeer.h"
#include "support/QNTestProcess.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#if defined(QN_QUILLON_PATH) && defined(QN_QUILLONCTL_PATH)
inline const QString kAgentPath = QStringLiteral(QN_QUILLON_PATH);
inline const QString kSettingsToolPath = QStringLiteral(QN_QUILLONCTL_PATH);
#else
inline const QString kAgentPath;
inline const QString kSettingsToolPath;
#endif

// The sample profile newcomers import, found from the test data folder's place in the source tree (the
// data folder itself need not exist).
inline QString sampleProfilePath() {
    QString source = QStringLiteral(QN_TEST_DATA_DIR);
    source.chop(qsizetype(sizeof "/tests/data") - 1);
    return source + QStringLiteral("/resources/examples/local-socks.xml");
}
inline const QString kSampleProfilePath = sampleProfilePath();
inline constexpr int kAgentWait = 30000;

// Runs the event loop until the condition holds; false when the time-out passes first.
template <typename Condition> bool waitFor(Condition condition, int timeoutMilliseconds = kAgentWait) {
    QDeadlineTimer deadline(timeoutMilliseconds);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (kAgentPath.isEmpty()) {
            GTEST_SKIP() << "quillon or quillonctl is not built";
        }
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "the tests need a session bus (dbus-run-session)";
        ASSERT_TRUE(home.isValid());
        for (const char* name : {"resolvectl", "pkexec"}) {
            QFile script(path(QStringLiteral("bin/%1").arg(QLatin1StringView(name))));
            ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("bin"))));
            ASSERT_TRUE(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\necho \"$(basename \"$0\") $*\" >> \"" + QFile::encodeName(path("record")) +
                         "\"\n");
            script.close();
            script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        peer = std::make_unique<QNTestEnginePeer>(path(QStringLiteral("control.sock")));
        ASSERT_TRUE(peer->isListening());

        environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_STATE_HOME"), path(QStringLiteral("state")));
        environment.insert(QStringLiteral("QUILLON_CONTROL_SOCKET"), path(QStringLiteral("control.sock")));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("PATH"), path(QStringLiteral("bin")) + QStringLiteral(":/usr/bin:/bin"));
        // The agent's "system bus" is the test's bus: no real logind can reach it, a stand-in can.
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                           environment.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS")));
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));

        for (const QString& name : {kQNNotificationActiveProfileIdentifier, kQNNotificationTerminateComplete}) {
            center.addObserver([this](const QString& n, const QString&) { posted << n; }, name,
                               kQNNotificationIdentifierApplication);
        }
    }

    void TearDown() override {
        if (agent && agent->state() != QProcess::NotRunning) {
            stopAgent(SIGTERM);
        }
    }

    QString path(const QString& relative) const { return home.filePath(relative); }
    QString path(const char* relative) const { return home.filePath(QLatin1StringView(relative)); }
    QString logPath() const { return path("state/quillon/Quillon.log"); }
    QString preferencePath() const { return path("config/quillon/com.fernhollowsoftware.quillon.plist"); }

    // Starts the agent and waits until its start-up is complete: connected, the profile and the logging
    // flag sent, the statistics service answering.
    void startAgent() {
        const int accepted = peer->agentsAccepted();
        const qsizetype frames = peer->frames().size();
        agent = std::make_unique<QProcess>();
        agent->setProcessEnvironment(environment);
        agent->start(kAgentPath, {});
        ASSERT_TRUE(agent->waitForStarted());
        ASSERT_TRUE(peer->waitForAgent(accepted + 1, kAgentWait));
        ASSERT_TRUE(peer->waitForFrames(frames + 2, kAgentWait));
        ASSERT_TRUE(waitFor([this] { return statistics().type() == QDBusMessage::ReplyMessage; }, kAgentWait));
    }

    // Sends the signal and returns the exit code (-1 for a crash or a time-out).
    int stopAgent(int signalNumber) {
        ::kill(pid_t(agent->processId()), signalNumber);
        if (!agent->waitForFinished(kAgentWait)) {
            agent->kill();
            agent->waitForFinished();
            return -1;
        }
        agentErrors += agent->readAllStandardError();
        return agent->exitStatus() == QProcess::NormalExit ? agent->exitCode() : -1;
    }

    QDBusMessage statistics() const {
        const QDBusMessage call = QDBusMessage::createMethodCall(
            kQNApplicationServerName, QStringLiteral("/com/fernhollowsoftware/quillon"),
            QStringLiteral("com.fernhollowsoftware.quillon.Statistics"), QStringLiteral("statisticsWithConnections"));
        return QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    }

    QNTestProcessResult quillonctl(const QStringList& arguments) {
        QNTestProcessResult result = qnRunProcess(kSettingsToolPath, arguments, {}, environment);
        EXPECT_EQ(result.exitCode, 0) << arguments.join(QLatin1Char(' ')).toStdString() << ": "
                                      << result.standardError.toStdString();
        return result;
    }

    void postAsPanel(const QString& name) {
        ASSERT_TRUE(center.postNotificationName(name, kQNNotificationIdentifierPreferencePane));
    }

    bool waitForPosted(const QString& name, int count = 1) {
        return waitFor([&] { return posted.count(name) >= count; }, kAgentWait);
    }

    // Everything the agent posted so far: its posts arrive in order, so once the answer to an uninstall
    // request is in, so is everything posted before it.
    QStringList postedUpToTermination() {
        postAsPanel(kQNNotificationTerminate);
        EXPECT_TRUE(waitForPosted(kQNNotificationTerminateComplete));
        return posted;
    }

    QVariantMap stored() {
        QNPreferenceStore store(preferencePath());
        return store.loadPreferences();
    }

    QByteArray readFile(const QString& file) const {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // What resolvectl and pkexec were run with, one line per run.
    QStringList records() const {
        return QString::fromUtf8(readFile(path("record"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // The stream the agent must send for the stored profile of that name, compiled here independently.
    QByteArray compiledProfile(const QString& name) {
        for (const QVariant& entry : stored().value(kQNUserDefaultProfiles).toList()) {
            const auto profile = QNProfile::profileWithSettings(entry.toMap());
            if (profile && profile->name() == name) {
                QNRecordingAlertPresenter alerts;
                QNProfileCompiler compiler(alerts, QNStrings::mainBundle());
                return compiler.profileData(profile.get()).value_or(QByteArray());
            }
        }
        return QByteArray();
    }

    // The last profile stream the engine received.
    QByteArray lastProfile() const {
        const QList<QByteArray> streams = peer->values(0);
        return streams.isEmpty() ? QByteArray("none") : streams.last();
    }

    // Imports the sample profile and switches it on as the settings tool does.
    // Each notification the agent handles sends exactly one profile stream, so frames are counted.
    void activateSample() {
        const qsizetype frames = peer->frames().size();
        quillonctl({QStringLiteral("import"), kSampleProfilePath});
        ASSERT_TRUE(peer->waitForFrames(frames + 1, kAgentWait));
        quillonctl({QStringLiteral("activate"), QStringLiteral("Local SOCKS")});
        ASSERT_TRUE(peer->waitForFrames(frames + 2, kAgentWait));
    }

    QTemporaryDir home;
    QProcessEnvironment environment;
    std::unique_ptr<QNTestEnginePeer> peer;
    std::unique_ptr<QProcess> agent;
    QByteArray agentErrors;
    QNNotificationCenter center;
    QStringList posted;
};
