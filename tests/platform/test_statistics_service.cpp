#include "platform/QNStatisticsProtocol.h"
#include "platform/QNStatisticsService.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>

#include <gtest/gtest.h>

namespace {

// Answers with whatever the test put in it, or without figures.
struct FixedStatistics : QNStatisticsProtocol {
    bool statisticsWithConnections(qint32* connections, quint64* dataSent, quint64* dataReceived) override {
        ++calls;
        *connections = this->connections;
        *dataSent = sent;
        *dataReceived = received;
        return answer;
    }

    qint32 connections = 0;
    quint64 sent = 0;
    quint64 received = 0;
    bool answer = true;
    int calls = 0;
};

class StatisticsServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QDBusConnection::sessionBus().isConnected()) {
            GTEST_SKIP() << "needs a session bus (run under dbus-run-session)";
        }
        _caller = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("qn-statistics-caller"));
        ASSERT_TRUE(_caller.isConnected());
    }
    void TearDown() override { QDBusConnection::disconnectFromBus(QStringLiteral("qn-statistics-caller")); }

    // A call from a connection of its own, as another program makes it. The event loop turns while it
    // waits, since the service answers on it.
    QDBusMessage call(const QString& interface = QString::fromLatin1(QNStatisticsService::kInterfaceName),
                      const QString& method = QStringLiteral("statisticsWithConnections")) {
        return _caller.call(QDBusMessage::createMethodCall(name, QString::fromLatin1(QNStatisticsService::kObjectPath),
                                                           interface, method),
                            QDBus::BlockWithGui, 20000);
    }
    static QVariantList figures(qint32 connections, quint64 sent, quint64 received) {
        return {connections, qulonglong(sent), qulonglong(received)};
    }

    // Never the agent's own name, so an agent on the same bus is left alone.
    const QString name =
        QStringLiteral("com.fernhollowsoftware.quillon.test.p%1").arg(QCoreApplication::applicationPid());
    QDBusConnection _caller{QStringLiteral("unset")};
};

} // namespace

TEST_F(StatisticsServiceTest, RemoteCallerGetsLiveFiguresInOrder) {
    FixedStatistics provider;
    provider.connections = 7;
    provider.sent = 1234567890123ULL;
    provider.received = 18446744073709551615ULL;
    QNStatisticsService service(&provider, QDBusConnection::sessionBus(), name);
    ASSERT_TRUE(service.startServer());
    EXPECT_TRUE(service.startServer()); // already serving

    QDBusMessage reply = call();
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    // On the wire: a 32-bit signed count and two unsigned 64-bit byte counts, in that order.
    EXPECT_EQ(reply.signature(), QStringLiteral("itt"));
    EXPECT_EQ(reply.arguments(), figures(7, 1234567890123ULL, 18446744073709551615ULL));

    // Asked again, not cached.
    provider.connections = 0;
    provider.sent = 5;
    provider.received = 6;
    EXPECT_EQ(call().arguments(), figures(0, 5, 6));
    EXPECT_EQ(provider.calls, 2);

    // What outside tools see when they look.
    const QString introspection =
        call(QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"))
            .arguments()
            .value(0)
            .toString();
    EXPECT_TRUE(introspection.contains(QLatin1String("interface name=\"com.fernhollowsoftware.quillon.Statistics\"")))
        << introspection.toStdString();
    for (const char* arg : {"connections", "dataSent", "dataReceived"}) {
        EXPECT_TRUE(introspection.contains(QLatin1String(arg))) << arg;
    }

    // A provider without figures is an error for the caller.
    provider.answer = false;
    EXPECT_EQ(call().errorName(), QStringLiteral("org.freedesktop.DBus.Error.Failed"));
}

// Owning the name is what keeps a second agent from starting.
TEST_F(StatisticsServiceTest, OnlyOneOwnerOfTheNamePerBus) {
    FixedStatistics first;
    first.connections = 1;
    FixedStatistics second;
    second.connections = 2;
    QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("qn-second"));
    ASSERT_TRUE(other.isConnected());
    {
        QNStatisticsService running(&first, QDBusConnection::sessionBus(), name);
        QNStatisticsService latecomer(&second, other, name);
        ASSERT_TRUE(running.startServer());
        EXPECT_FALSE(latecomer.startServer());
        EXPECT_FALSE(latecomer.isServing());
        EXPECT_EQ(call().arguments().value(0), QVariant(1));

        running.stopServer();
        ASSERT_TRUE(latecomer.startServer());
        EXPECT_EQ(call().arguments().value(0), QVariant(2));
        latecomer.stopServer();
    }
    // Released: nobody answers under the name any more.
    EXPECT_EQ(call().errorName(), QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"));
    QDBusConnection::disconnectFromBus(QStringLiteral("qn-second"));

    // Without a bus nothing starts.
    QNStatisticsService unconnected(&first, QDBusConnection(QStringLiteral("qn-no-such-connection")), name);
    EXPECT_FALSE(unconnected.startServer());
    EXPECT_FALSE(unconnected.isServing());
}
