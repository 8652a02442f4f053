#include "platform/QNStatisticsProtocol.h"
#include "platform/QNStatisticsService.h"

#include "support/QNTestProcess.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

class FixedStatistics : public QNStatisticsProtocol {
public:
    bool statisticsWithConnections(qint32* connections, quint64* dataSent, quint64* dataReceived) override {
        ++calls;
        if (connections != nullptr) {
            *connections = this->connections;
        }
        if (dataSent != nullptr) {
            *dataSent = sent;
        }
        if (dataReceived != nullptr) {
            *dataReceived = received;
        }
        return answer;
    }

    qint32 connections = 0;
    quint64 sent = 0;
    quint64 received = 0;
    bool answer = true;
    int calls = 0;
};

// Runs dbus-send while our event loop keeps turning, since the service answers on it.
QNTestProcessResult dbusSend(const QString& destination, const QString& method) {
    QNTestProcessResult result;
    QProcess process;
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    process.start(QStringLiteral("dbus-send"), {QStringLiteral("--session"), QStringLiteral("--print-reply"),
                                                QStringLiteral("--dest=") + destination,
                                                QString::fromLatin1(QNStatisticsService::kObjectPath), method});
    loop.exec();
    result.started = process.error() != QProcess::FailedToStart;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    return result;
}

const QString statisticsMethod = QStringLiteral("com.fernhollowsoftware.quillon.Statistics.statisticsWithConnections");

// The reply's values, one "type value" per line, in order.
QStringList replyValues(const QByteArray& output) {
    QStringList values;
    for (const QString& line : QString::fromUtf8(output).split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1String("int32 ")) || trimmed.startsWith(QLatin1String("uint64 "))) {
            values << trimmed;
        }
    }
    return values;
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

    QNTestProcessResult reply = dbusSend(name, statisticsMethod);
    ASSERT_EQ(reply.exitCode, 0) << reply.standardError.constData();
    EXPECT_EQ(replyValues(reply.standardOutput),
              (QStringList{QStringLiteral("int32 7"), QStringLiteral("uint64 1234567890123"),
                           QStringLiteral("uint64 18446744073709551615")}));

    // Asked again, not cached.
    provider.connections = 0;
    provider.sent = 5;
    provider.received = 6;
    reply = dbusSend(name, statisticsMethod);
    EXPECT_EQ(replyValues(reply.standardOutput),
              (QStringList{QStringLiteral("int32 0"), QStringLiteral("uint64 5"), QStringLiteral("uint64 6")}));
    EXPECT_EQ(provider.calls, 2);

    // What outside tools see when they look.
    reply = dbusSend(name, QStringLiteral("org.freedesktop.DBus.Introspectable.Introspect"));
    const QString xml = QString::fromUtf8(reply.standardOutput);
    EXPECT_TRUE(xml.contains(QLatin1String("interface name=\"com.fernhollowsoftware.quillon.Statistics\"")))
        << xml.toStdString();
    for (const char* arg : {"connections", "dataSent", "dataReceived"}) {
        EXPECT_TRUE(xml.contains(QLatin1String(arg))) << arg;
    }
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
        EXPECT_EQ(replyValues(dbusSend(name, statisticsMethod).standardOutput).value(0), QStringLiteral("int32 1"));

        running.stopServer();
        ASSERT_TRUE(latecomer.startServer());
        EXPECT_EQ(replyValues(dbusSend(name, statisticsMethod).standardOutput).value(0), QStringLiteral("int32 2"));
        latecomer.stopServer();
    }
    // Released: nobody answers under the name any more.
    const QNTestProcessResult reply = dbusSend(name, statisticsMethod);
    EXPECT_NE(reply.exitCode, 0);
    EXPECT_TRUE(reply.standardError.contains("ServiceUnknown") || reply.standardError.contains("NameHasNoOwner"))
        << reply.standardError.constData();
    QDBusConnection::disconnectFromBus(QStringLiteral("qn-second"));
}

TEST_F(StatisticsServiceTest, ProviderWithoutFiguresAnswersWithAnError) {
    FixedStatistics provider;
    provider.answer = false;
    QNStatisticsService service(&provider, QDBusConnection::sessionBus(), name);
    ASSERT_TRUE(service.startServer());
    const QNTestProcessResult reply = dbusSend(name, statisticsMethod);
    EXPECT_NE(reply.exitCode, 0);
    EXPECT_TRUE(reply.standardError.contains("org.freedesktop.DBus.Error.Failed")) << reply.standardError.constData();
}

TEST(StatisticsService, WithoutABusNothingStarts) {
    FixedStatistics provider;
    QNStatisticsService service(&provider, QDBusConnection(QStringLiteral("qn-no-such-connection")),
                                QStringLiteral("com.fernhollowsoftware.quillon.test.none"));
    EXPECT_FALSE(service.startServer());
    EXPECT_FALSE(service.isServing());
}
