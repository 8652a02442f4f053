#include "platform/QNStatisticsProtocol.h"
#include "platform/QNStatisticsService.h"
#include "support/QNTestChildProcess.h"
#include "support/QNTestProcess.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QRegularExpression>

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

const QString kStatisticsMethod = QStringLiteral("com.fernhollowsoftware.quillon.Statistics.statisticsWithConnections");

struct Reply {
    int exitCode = -1;
    QStringList values; // "int32 7", "uint64 5", in order
    QString output;
    QString error;
};

// Runs dbus-send while our event loop keeps turning, since the service answers on it.
Reply dbusSend(const QString& destination, const QString& method = kStatisticsMethod) {
    QNTestChildProcess process(QStringLiteral("dbus-send"));
    Reply reply;
    if (process.start({QStringLiteral("--session"), QStringLiteral("--print-reply"),
                       QStringLiteral("--dest=") + destination, QString::fromLatin1(QNStatisticsService::kObjectPath),
                       method})) {
        reply.exitCode = process.waitForExit();
    }
    for (const QString& line : std::as_const(process.stdoutLines)) {
        if (line.trimmed().contains(QRegularExpression(QStringLiteral("^(int32|uint64) ")))) {
            reply.values << line.trimmed();
        }
    }
    reply.output = process.stdoutLines.join(u'\n');
    reply.error = process.stderrLines.join(u'\n');
    return reply;
}

class StatisticsServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QDBusConnection::sessionBus().isConnected() || !qnHaveProgram(QStringLiteral("dbus-send"))) {
            GTEST_SKIP() << "needs a session bus (dbus-run-session) and dbus-send";
        }
    }

    // Never the agent's own name, so an agent on the same bus is left alone.
    const QString name =
        QStringLiteral("com.fernhollowsoftware.quillon.test.p%1").arg(QCoreApplication::applicationPid());
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

    Reply reply = dbusSend(name);
    ASSERT_EQ(reply.exitCode, 0) << reply.error.toStdString();
    EXPECT_EQ(reply.values, (QStringList{QStringLiteral("int32 7"), QStringLiteral("uint64 1234567890123"),
                                         QStringLiteral("uint64 18446744073709551615")}));

    // Asked again, not cached.
    provider.connections = 0;
    provider.sent = 5;
    provider.received = 6;
    EXPECT_EQ(dbusSend(name).values,
              (QStringList{QStringLiteral("int32 0"), QStringLiteral("uint64 5"), QStringLiteral("uint64 6")}));
    EXPECT_EQ(provider.calls, 2);

    // What outside tools see when they look.
    reply = dbusSend(name, QStringLiteral("org.freedesktop.DBus.Introspectable.Introspect"));
    EXPECT_TRUE(reply.output.contains(QLatin1String("interface name=\"com.fernhollowsoftware.quillon.Statistics\"")))
        << reply.output.toStdString();
    for (const char* arg : {"connections", "dataSent", "dataReceived"}) {
        EXPECT_TRUE(reply.output.contains(QLatin1String(arg))) << arg;
    }

    // A provider without figures is an error for the caller.
    provider.answer = false;
    reply = dbusSend(name);
    EXPECT_NE(reply.exitCode, 0);
    EXPECT_TRUE(reply.error.contains(QLatin1String("org.freedesktop.DBus.Error.Failed"))) << reply.error.toStdString();
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
        EXPECT_EQ(dbusSend(name).values.value(0), QStringLiteral("int32 1"));

        running.stopServer();
        ASSERT_TRUE(latecomer.startServer());
        EXPECT_EQ(dbusSend(name).values.value(0), QStringLiteral("int32 2"));
        latecomer.stopServer();
    }
    // Released: nobody answers under the name any more.
    const Reply reply = dbusSend(name);
    EXPECT_NE(reply.exitCode, 0);
    EXPECT_TRUE(reply.error.contains(QLatin1String("ServiceUnknown")) ||
                reply.error.contains(QLatin1String("NameHasNoOwner")))
        << reply.error.toStdString();
    QDBusConnection::disconnectFromBus(QStringLiteral("qn-second"));

    // Without a bus nothing starts.
    QNStatisticsService unconnected(&first, QDBusConnection(QStringLiteral("qn-no-such-connection")), name);
    EXPECT_FALSE(unconnected.startServer());
    EXPECT_FALSE(unconnected.isServing());
}
