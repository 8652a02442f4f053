#include "platform/QNNotificationCenter.h"
#include "support/QNTestChildProcess.h"
#include "support/QNTestProcess.h"
#include "support/QNTestWait.h"
#include "util/QNConstants.h"

#include <QDBusConnection>

#include <gtest/gtest.h>

namespace {

struct Received {
    QString name;
    QString object;
    bool operator==(const Received& other) const { return name == other.name && object == other.object; }
};

std::ostream& operator<<(std::ostream& stream, const Received& received) {
    return stream << received.name.toStdString() << "/" << received.object.toStdString();
}

class NotificationCenter : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QDBusConnection::sessionBus().isConnected()) {
            GTEST_SKIP() << "needs a session bus (run under dbus-run-session)";
        }
        _second =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("notification-test-second"));
        ASSERT_TRUE(_second.isConnected());
    }
    void TearDown() override { QDBusConnection::disconnectFromBus(QStringLiteral("notification-test-second")); }

    // Observes on the second connection, recording what arrives.
    int record(QNNotificationCenter& center, const QString& name, const QString& object) {
        return center.addObserver(
            [this](const QString& n, const QString& o) {
                _received.append({n, o});
            },
            name, object);
    }

    QDBusConnection _second{QStringLiteral("unset")};
    QList<Received> _received;
};

TEST_F(NotificationCenter, ObserversSeeOnlyTheirNameAndObject) {
    QNNotificationCenter poster;
    QNNotificationCenter observer(_second);
    // The agent's view: the panel's three change notifications, filtered on the panel's object.
    for (const QString& name :
         {kQNNotificationActiveProfileIdentifier, kQNNotificationProfiles, kQNNotificationSettings}) {
        ASSERT_GT(record(observer, name, kQNNotificationIdentifierPreferencePane), 0);
    }
    // Anything on terminateComplete, whoever sends it.
    ASSERT_GT(record(observer, kQNNotificationTerminateComplete, QString()), 0);

    const QList<Received> posted{
        {kQNNotificationActiveProfileIdentifier, kQNNotificationIdentifierApplication},    // the agent's own: ignored
        {kQNNotificationActiveProfileIdentifier, kQNNotificationIdentifierPreferencePane}, // seen
        {kQNNotificationTerminate, kQNNotificationIdentifierPreferencePane},               // nobody observes it
        {kQNNotificationProfiles, kQNNotificationIdentifierPreferencePane},                // seen
        {kQNNotificationSettings, QStringLiteral("com.fernhollowsoftware.quillon.prefpane2")}, // other object
        {kQNNotificationTerminateComplete, kQNNotificationIdentifierApplication},              // seen
        {kQNNotificationTerminateComplete, QStringLiteral("")},                                // seen
        {kQNNotificationSettings, kQNNotificationIdentifierPreferencePane},                    // seen, and last
    };
    for (const Received& notification : posted) {
        ASSERT_TRUE(poster.postNotificationName(notification.name, notification.object))
            << poster.lastError().toStdString();
    }
    ASSERT_TRUE(poster.flush());
    const QList<Received> expected{posted.at(1), posted.at(3), posted.at(5), posted.at(6), posted.at(7)};
    // One sender's signals arrive in order, so once the last one is here every earlier one is too.
    EXPECT_TRUE(qnWaitUntil([&] { return _received.size() >= expected.size(); }));
    EXPECT_EQ(_received, expected);
}

TEST_F(NotificationCenter, RemovedObserverHearsNothingMore) {
    QNNotificationCenter poster;
    QNNotificationCenter observer(_second);
    const int removed = record(observer, kQNNotificationSettings, QString());
    int kept = 0;
    ASSERT_GT(
        observer.addObserver([&kept](const QString&, const QString&) { ++kept; }, kQNNotificationSettings, QString()),
        0);
    ASSERT_TRUE(poster.postNotificationName(kQNNotificationSettings, kQNNotificationIdentifierPreferencePane));
    ASSERT_TRUE(qnWaitUntil([&] { return kept == 1; }));
    observer.removeObserver(removed);
    ASSERT_TRUE(poster.postNotificationName(kQNNotificationSettings, kQNNotificationIdentifierPreferencePane));
    ASSERT_TRUE(qnWaitUntil([&] { return kept == 2; }));
    EXPECT_EQ(_received.size(), 1);

    // With no observer left the subscription is dropped; a new one works again.
    observer.removeAllObservers();
    ASSERT_GT(record(observer, kQNNotificationSettings, QString()), 0);
    ASSERT_TRUE(poster.postNotificationName(kQNNotificationSettings, kQNNotificationIdentifierPreferencePane));
    EXPECT_TRUE(qnWaitUntil([&] { return _received.size() == 2; }));
    EXPECT_EQ(kept, 2);
}

// Outside tools on both ends: a signal from dbus-send, whatever its path, is heard; what we post is what
// dbus-monitor shows.
TEST_F(NotificationCenter, OutsideToolsSendAndSeeTheWireFormat) {
    QNNotificationCenter observer(_second);
    ASSERT_GT(record(observer, kQNNotificationTerminate, kQNNotificationIdentifierPreferencePane), 0);
    const auto sent =
        qnRunProcess(QStringLiteral("dbus-send"),
                     {QStringLiteral("--session"), QStringLiteral("--type=signal"), QStringLiteral("/some/other/path"),
                      QNNotificationCenter::kInterface + QStringLiteral(".terminate"),
                      QStringLiteral("string:") + kQNNotificationIdentifierPreferencePane});
    ASSERT_EQ(sent.exitCode, 0) << sent.standardError.toStdString();
    EXPECT_TRUE(qnWaitUntil([&] { return !_received.isEmpty(); }));
    EXPECT_EQ(_received, (QList<Received>{{kQNNotificationTerminate, kQNNotificationIdentifierPreferencePane}}));

    QNTestChildProcess monitor(QStringLiteral("dbus-monitor"));
    ASSERT_TRUE(monitor.start({QStringLiteral("--session")}));
    const auto output = [&] { return monitor.stdoutLines.join(u'\n'); };
    // The monitor gives up its own name once it is watching.
    ASSERT_TRUE(qnWaitUntil([&] { return output().contains(QLatin1String("member=NameLost")); }));
    QNNotificationCenter poster;
    ASSERT_TRUE(poster.postNotificationName(kQNNotificationProfiles, kQNNotificationIdentifierPreferencePane));
    const QString wire =
        QStringLiteral("path=/com/fernhollowsoftware/quillon; interface=com.fernhollowsoftware.quillon.Notifications; "
                       "member=profiles\n   string \"com.fernhollowsoftware.quillon.prefpane\"");
    EXPECT_TRUE(qnWaitUntil([&] { return output().contains(wire); })) << output().toStdString();
}

TEST(NotificationCenterWithoutBus, RefusesClearly) {
    QNNotificationCenter center(QDBusConnection(QStringLiteral("never connected")));
    EXPECT_FALSE(center.isConnected());
    EXPECT_FALSE(center.postNotificationName(kQNNotificationSettings, kQNNotificationIdentifierPreferencePane));
    EXPECT_TRUE(center.lastError().contains(QLatin1String("no session bus")));
    EXPECT_FALSE(center.flush());
    EXPECT_EQ(center.addObserver([](const QString&, const QString&) {}, kQNNotificationSettings, QString()), 0);
    // Names a signal cannot carry are refused before the bus is asked.
    for (const QString& name : {QString(), QStringLiteral("has-dash"), QStringLiteral("9lives"),
                                QStringLiteral("dotted.name"), QString(256, QLatin1Char('a'))}) {
        EXPECT_FALSE(center.postNotificationName(name, kQNNotificationIdentifierPreferencePane));
        EXPECT_TRUE(center.lastError().contains(QLatin1String("cannot be the name"))) << name.toStdString();
    }
}

} // namespace
