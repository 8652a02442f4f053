#pragma once

// The programs under test run as themselves on a temporary home: configuration, state and control socket
// inside it, stand-ins for resolvectl and pkexec first on PATH, and what anyone posts collected from the
// test's session bus.

#include "kernel/QNProfileCompiler.h"
#include "model/QNProfile.h"
#include "platform/QNNotificationCenter.h"
#include "platform/QNPlistCodec.h"
#include "support/QNFakePrograms.h"
#include "support/QNRecordingAlertPresenter.h"
#include "support/QNTestChildProcess.h"
#include "support/QNTestEnginePeer.h"
#include "support/QNTestProcess.h"
#include "support/QNTestWait.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#ifdef QN_QUILLONCTL_PATH
inline const QString kQuillonctlPath = QStringLiteral(QN_QUILLONCTL_PATH);
#else
inline const QString kQuillonctlPath;
#endif
#ifdef QN_QUILLON_ENGINE_PATH
inline const QString kEnginePath = QStringLiteral(QN_QUILLON_ENGINE_PATH);
#else
inline const QString kEnginePath;
#endif
#ifdef QN_QUILLON_PATH
inline const QString kAgentPath = QStringLiteral(QN_QUILLON_PATH);
#else
inline const QString kAgentPath;
#endif

inline constexpr int kProgramWait = 30000;

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& contents) {
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(contents) == contents.size();
}

// A value as it reads back from the file (string lists become lists, every integer a 64-bit one).
inline QVariant asStored(const QVariant& value) {
    const auto data = QNPlistCodec::dataWithPropertyList(QVariantList{value});
    return data ? QNPlistCodec::propertyListWithData(*data).value_or(QVariant()).toList().value(0) : QVariant();
}

class Quillonctl : public ::testing::Test {
protected:
    static inline const QString kSentinel = "testSentinel";

    void SetUp() override {
        if (kQuillonctlPath.isEmpty()) {
            GTEST_SKIP() << "quillonctl is not built";
        }
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "the tests need a session bus (dbus-run-session)";
        ASSERT_TRUE(_home.isValid());
        ASSERT_TRUE(_fakes.isValid());
        _environment = QProcessEnvironment::systemEnvironment();
        _environment.insert("HOME", _home.path());
        _environment.insert("XDG_CONFIG_HOME", path("config"));
        _environment.insert("XDG_STATE_HOME", path("state"));
        // A runtime folder of the test's own: the agent's per-user lock lives there.
        ASSERT_TRUE(
            QDir().mkdir(path("runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        _environment.insert("XDG_RUNTIME_DIR", path("runtime"));
        _environment.insert("QUILLON_CONTROL_SOCKET", path("control.sock"));
        _environment.insert("QT_QPA_PLATFORM", "offscreen");
        _environment.insert("PATH", _fakes.searchPath());
        // The agent's "system bus" is the test's bus: no real logind can reach it, a stand-in can.
        _environment.insert("DBUS_SYSTEM_BUS_ADDRESS", _environment.value("DBUS_SESSION_BUS_ADDRESS"));
        _environment.remove("DISPLAY");
        _environment.remove("WAYLAND_DISPLAY");
        for (const QString& name : {kQNNotificationActiveProfileIdentifier, kQNNotificationProfiles,
                                    kQNNotificationSettings, kQNNotificationTerminateComplete, kSentinel}) {
            _center.addObserver(
                [this](const QString& n, const QString& o) {
                    _posted.append({n, o});
                },
                name, QString());
        }
    }

    QString path(const QString& relative) const { return _home.filePath(relative); }
    QString path(const char* relative) const { return _home.filePath(QLatin1StringView(relative)); }
    QString preferencePath() const { return path("config/quillon/com.fernhollowsoftware.quillon.plist"); }
    QString logPath() const { return path("state/quillon/Quillon.log"); }

    // The preference file as it is, never set aside.
    QVariantMap domain() const {
        return QNPlistCodec::dictionaryWithData(readFile(preferencePath())).value_or(QVariantMap());
    }
    void writeDomain(const QVariantMap& domain) const {
        ASSERT_TRUE(writeFile(preferencePath(), *QNPlistCodec::dataWithPropertyList(domain)));
    }
    QVariantList storedProfiles() const { return domain().value(kQNUserDefaultProfiles).toList(); }
    qint64 storedActive() const { return domain().value(kQNUserDefaultActiveProfileIdentifier, -2).toLongLong(); }

    QNTestProcessResult run(const QStringList& arguments, const QByteArray& input = QByteArray()) {
        return qnRunProcess(kQuillonctlPath, arguments, input, _environment);
    }
    // Runs a command that must succeed and returns what it printed.
    QString ok(const QStringList& arguments) {
        const auto result = run(arguments);
        EXPECT_EQ(result.exitCode, 0) << arguments.join(QLatin1Char(' ')).toStdString() << ": "
                                      << result.standardError.toStdString();
        return QString::fromUtf8(result.standardOutput);
    }

    // The names of every notification posted so far by programs that have ended (which program posted it
    // is seen by the agent's tests): ours is sent after theirs were routed, so when it arrives the others are in.
    QStringList takePosted() {
        const qsizetype before = _posted.size();
        EXPECT_TRUE(_center.postNotificationName(kSentinel, "test"));
        EXPECT_TRUE(qnWaitUntil([&] { return _posted.mid(before).contains({kSentinel, "test"}); }));
        QStringList names;
        for (const auto& [name, object] : std::as_const(_posted)) {
            if (name != kSentinel) {
                names << name;
            }
        }
        _posted.clear();
        return names;
    }

    QTemporaryDir _home;
    QNFakePrograms _fakes{_home.filePath("bin"), {"resolvectl", "pkexec"}};
    QProcessEnvironment _environment;
    QNNotificationCenter _center;
    QList<std::pair<QString, QString>> _posted; // name, object
};

// The real agent with an engine peer on its control socket that records every option it receives.
class AgentTest : public Quillonctl {
protected:
    void SetUp() override {
        if (kAgentPath.isEmpty()) {
            GTEST_SKIP() << "quillon is not built";
        }
        Quillonctl::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        _peer = std::make_unique<QNTestEnginePeer>(path("control.sock"));
        ASSERT_TRUE(_peer->isListening());
    }

    void TearDown() override {
        if (_agent && _agent->isRunning()) {
            stopAgent(SIGTERM);
        }
    }

    // Starts the agent and waits until its start-up is complete: connected, the profile and the logging
    // flag sent, the statistics service answering.
    void startAgent() {
        const int accepted = _peer->agentsAccepted();
        const qsizetype frames = _peer->frames().size();
        _agent = std::make_unique<QNTestChildProcess>(kAgentPath);
        ASSERT_TRUE(_agent->start({}, _environment));
        ASSERT_TRUE(_peer->waitForAgent(accepted + 1, kProgramWait));
        ASSERT_TRUE(_peer->waitForFrames(frames + 2, kProgramWait));
        ASSERT_TRUE(qnWaitUntil([this] { return statistics().type() == QDBusMessage::ReplyMessage; }, kProgramWait));
    }
    // Sends the signal and returns the exit code (-1 for a crash or a time-out).
    int stopAgent(int signalNumber) {
        _agent->signal(signalNumber);
        return _agent->waitForExit(kProgramWait);
    }

    QDBusMessage statistics() const {
        const QDBusMessage call =
            QDBusMessage::createMethodCall(kQNApplicationServerName, "/com/fernhollowsoftware/quillon",
                                           "com.fernhollowsoftware.quillon.Statistics", "statisticsWithConnections");
        return QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    }

    // Runs the settings tool for a change the agent switches for, and waits for the stream it sends.
    void panel(const QStringList& arguments) {
        const qsizetype frames = _peer->frames().size();
        ok(arguments);
        ASSERT_TRUE(_peer->waitForFrames(frames + 1, kProgramWait)) << arguments.join(u' ').toStdString();
    }
    // Imports the sample profile newcomers get and switches it on (with the agent running).
    void activateSample() {
        panel({"import", sampleProfilePath()});
        panel({"activate", "Local SOCKS"});
    }
    static QString sampleProfilePath() {
        QString source = QStringLiteral(QN_TEST_DATA_DIR);
        source.chop(qsizetype(sizeof "/tests/data") - 1);
        return source + "/resources/examples/local-socks.xml";
    }

    // What the agent posted, by name.
    QStringList agentPosted() const {
        QStringList names;
        for (const auto& [name, object] : _posted) {
            if (object == kQNNotificationIdentifierApplication) {
                names << name;
            }
        }
        return names;
    }
    bool waitForPosted(const QString& name, int count = 1) {
        return qnWaitUntil([&] { return agentPosted().count(name) >= count; }, kProgramWait);
    }
    // Everything the agent posted so far: its posts arrive in order, so once the answer to an uninstall
    // request is in, so is everything posted before it.
    QStringList agentPostedUpToTermination() {
        EXPECT_TRUE(_center.postNotificationName(kQNNotificationTerminate, kQNNotificationIdentifierPreferencePane));
        EXPECT_TRUE(waitForPosted(kQNNotificationTerminateComplete));
        return agentPosted();
    }

    // The stream the agent must send for the stored profile of that name, compiled here independently.
    QByteArray compiledProfile(const QString& name) const {
        for (const QVariant& entry : storedProfiles()) {
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
        const QList<QByteArray> streams = _peer->values(0);
        return streams.isEmpty() ? QByteArray("none") : streams.last();
    }

    std::unique_ptr<QNTestEnginePeer> _peer;
    std::unique_ptr<QNTestChildProcess> _agent;
};
