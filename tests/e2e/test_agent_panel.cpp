// The agent driven by the settings tool and by its surroundings: profile lists that change under it,
// profiles that fail to compile, logging, uninstalling, and the login session switched away and back.

#include "test_agent_fixture.h"

#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

const char kBrokenProfile[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<profiles>
  <profile name="Broken" order="0">
    <proxies>
      <proxy host="127.0.0.1" identifier="0" name="SOCKS" order="0" port="1080" type="socks5"/>
    </proxies>
    <rules>
      <rule action="proxy" enabled="true" name="Bad port" order="0" proxyIdentifier="0">
        <ports><port>no port</port></ports>
      </rule>
    </rules>
  </profile>
</profiles>
)";

class AgentPanelTest : public AgentTest {
protected:
    QString agentStandardError() {
        if (agent) {
            agentErrors += agent->readAllStandardError();
        }
        return QString::fromUtf8(agentErrors);
    }
};

TEST_F(AgentPanelTest, ListWithoutTheActiveProfileSwitchesToNoneQuietly) {
    startAgent();
    activateSample();
    ASSERT_FALSE(lastProfile().isEmpty());
    posted.clear();

    const qsizetype frames = peer->frames().size();
    quillonctl({QStringLiteral("delete"), QStringLiteral("Local SOCKS")});
    ASSERT_TRUE(peer->waitForFrames(frames + 1, kAgentWait));
    EXPECT_TRUE(lastProfile().isEmpty());
    EXPECT_FALSE(stored().contains(kQNUserDefaultSafety));
    EXPECT_EQ(postedUpToTermination(),
              (QStringList{kQNNotificationActiveProfileIdentifier, kQNNotificationTerminateComplete}));
}

TEST_F(AgentPanelTest, ProfileThatFailsToCompileIsRecordedAsNone) {
    QFile xml(path("broken.xml"));
    ASSERT_TRUE(xml.open(QIODevice::WriteOnly));
    xml.write(kBrokenProfile);
    xml.close();
    startAgent();
    const qsizetype frames = peer->frames().size();
    quillonctl({QStringLiteral("import"), xml.fileName()});
    ASSERT_TRUE(peer->waitForFrames(frames + 1, kAgentWait));
    quillonctl({QStringLiteral("set"), kQNUserDefaultEnableLogging, QStringLiteral("yes")});
    ASSERT_TRUE(waitFor([this] { return QFileInfo::exists(logPath()); }));
    posted.clear();

    // The settings tool records the choice and tells the agent, which may not post in answer to it, and
    // yet does, because the switch failed.
    quillonctl({QStringLiteral("activate"), QStringLiteral("Broken")});
    ASSERT_TRUE(waitForPosted(kQNNotificationActiveProfileIdentifier));
    EXPECT_EQ(stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong(), -1);
    EXPECT_TRUE(lastProfile().isEmpty());
    // Headless, the alert is one line on stderr and one in the log.
    const QString alert = QStringLiteral("The rule's port is not a port or port range: no port");
    EXPECT_TRUE(waitFor([&] { return agentStandardError().contains(QStringLiteral("quillon: ") + alert); }));
    const QString log = QString::fromUtf8(readFile(logPath()));
    EXPECT_TRUE(log.contains(QStringLiteral(" - Quillon - ") + alert + QStringLiteral("\r\n"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral(" - Quillon - error enabling proxy\r\n"))) << log.toStdString();
}

TEST_F(AgentPanelTest, LoggingKeepsTheFileOnlyWhileOn) {
    startAgent();
    // An engine line while logging is off leaves no trace.
    ASSERT_TRUE(peer->sendLog("before logging\n"));
    qsizetype frames = peer->frames().size();
    quillonctl({QStringLiteral("set"), kQNUserDefaultEnableLogging, QStringLiteral("yes")});
    ASSERT_TRUE(peer->waitForFrames(frames + 1, kAgentWait));
    EXPECT_EQ(peer->frames().last().option, 1u);
    EXPECT_EQ(peer->frames().last().value, QByteArray(1, '\1'));
    ASSERT_TRUE(QFileInfo::exists(logPath()));
    EXPECT_EQ(QFileInfo(logPath()).permissions() &
                  ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
              QFile::Permissions());

    ASSERT_TRUE(peer->sendLog("profile Local SOCKS: 1 proxies"));
    ASSERT_TRUE(peer->sendLog("second line\n"));
    ASSERT_TRUE(waitFor([this] { return readFile(logPath()).contains("second line\n"); }));
    const QString stamp = QStringLiteral("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} - ");
    const QRegularExpression expected(
        QStringLiteral("^") + stamp + QStringLiteral("Quillon 2\\.0\\.0 - log opened\r\n") + stamp +
        QStringLiteral("profile Local SOCKS: 1 proxies") + stamp + QStringLiteral("second line\n$"));
    const QString log = QString::fromUtf8(readFile(logPath()));
    EXPECT_TRUE(expected.match(log).hasMatch()) << log.toStdString();

    frames = peer->frames().size();
    quillonctl({QStringLiteral("set"), kQNUserDefaultEnableLogging, QStringLiteral("no")});
    ASSERT_TRUE(peer->waitForFrames(frames + 1, kAgentWait));
    EXPECT_EQ(peer->frames().last().value, QByteArray(1, '\0'));
    EXPECT_FALSE(QFileInfo::exists(logPath()));
}

TEST_F(AgentPanelTest, UninstallTakesTheAgentOutOfServiceAndLeavesItRunning) {
    startAgent();
    activateSample();
    const int closed = peer->agentsClosed();
    posted.clear();

    postAsPanel(kQNNotificationTerminate);
    ASSERT_TRUE(waitForPosted(kQNNotificationTerminateComplete));
    EXPECT_EQ(posted, (QStringList{kQNNotificationActiveProfileIdentifier, kQNNotificationTerminateComplete}));
    ASSERT_TRUE(peer->waitForClose(closed + 1, kAgentWait));
    EXPECT_TRUE(lastProfile().isEmpty());
    EXPECT_EQ(stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong(), -1);
    const QStringList uninstalls = records().filter(QStringLiteral("pkexec"));
    ASSERT_EQ(uninstalls.size(), 1);
    EXPECT_TRUE(uninstalls.at(0).endsWith(QStringLiteral("/share/quillon/uninstall.sh")))
        << uninstalls.at(0).toStdString();
    EXPECT_EQ(agent->state(), QProcess::Running);
    EXPECT_EQ(statistics().type(), QDBusMessage::ReplyMessage);
}

// A stand-in for systemd-logind on the bus the agent takes for the system bus: the caller's session and
// its Active property.
class FakeLogind : public QDBusVirtualObject {
public:
    static constexpr const char* kSessionPath = "/org/freedesktop/login1/session/_9";

    bool registerOn(QDBusConnection bus) {
        return bus.registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), this, QDBusConnection::SubPath) &&
               bus.interface()->registerService(QStringLiteral("org.freedesktop.login1")).value() ==
                   QDBusConnectionInterface::ServiceRegistered;
    }

    void setActive(bool value) {
        active = value;
        QDBusMessage signal = QDBusMessage::createSignal(QLatin1StringView(kSessionPath),
                                                         QStringLiteral("org.freedesktop.DBus.Properties"),
                                                         QStringLiteral("PropertiesChanged"));
        signal << QStringLiteral("org.freedesktop.login1.Session") << QVariantMap{{QStringLiteral("Active"), value}}
               << QStringList();
        QDBusConnection::sessionBus().send(signal);
    }

    QString introspect(const QString&) const override { return QString(); }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        QDBusConnection bus(connection);
        if (message.member() == QLatin1String("GetSession")) {
            bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(QLatin1StringView(kSessionPath)))));
        } else if (message.member() == QLatin1String("Get")) {
            bus.send(message.createReply(QVariant::fromValue(QDBusVariant(active))));
        } else {
            bus.send(message.createErrorReply(QDBusError::UnknownMethod, QStringLiteral("not here")));
        }
        return true;
    }

    bool active = true;
};

TEST_F(AgentPanelTest, SessionSwitchedAwayAndBack) {
    FakeLogind logind;
    ASSERT_TRUE(logind.registerOn(QDBusConnection::sessionBus()));
    struct Case {
        const char* name;
        bool safetyOverride;
    };
    quillonctl({QStringLiteral("import"), kSampleProfilePath});
    for (const Case c : {Case{"with override", true}, Case{"without override", false}}) {
        SCOPED_TRACE(c.name);
        quillonctl({QStringLiteral("set"), kQNUserDefaultSafetyOverride,
                    c.safetyOverride ? QStringLiteral("yes") : QStringLiteral("no")});
        quillonctl({QStringLiteral("activate"), QStringLiteral("Local SOCKS")});
        startAgent();
        const QByteArray profile = compiledProfile(QStringLiteral("Local SOCKS"));
        ASSERT_EQ(lastProfile(), profile);
        const qint64 active = stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong();
        const int accepted = peer->agentsAccepted();
        const int closed = peer->agentsClosed();
        const qsizetype flushes = records().count(QStringLiteral("resolvectl flush-caches"));
        posted.clear();

        logind.setActive(false);
        ASSERT_TRUE(peer->waitForClose(closed + 1, kAgentWait));
        EXPECT_TRUE(lastProfile().isEmpty());
        EXPECT_TRUE(waitForPosted(kQNNotificationActiveProfileIdentifier));
        EXPECT_EQ(stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong(), c.safetyOverride ? active : -1);

        logind.setActive(true);
        ASSERT_TRUE(peer->waitForAgent(accepted + 1, kAgentWait));
        if (c.safetyOverride) {
            ASSERT_TRUE(waitFor([&] { return lastProfile() == profile; }));
            EXPECT_TRUE(waitForPosted(kQNNotificationActiveProfileIdentifier, 2));
        }
        // One flush for the switch away, and one for the way back when the profile returns.
        EXPECT_EQ(records().count(QStringLiteral("resolvectl flush-caches")), flushes + (c.safetyOverride ? 2 : 1));
        EXPECT_EQ(stopAgent(SIGTERM), 0);
    }
}

} // namespace
