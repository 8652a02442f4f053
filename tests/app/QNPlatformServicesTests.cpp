#include "platform/QNPlatformAlertPresenter.h"
#include "platform/QNPlatformSystemServices.h"
#include "platform/QNSignalHandler.h"
#include "support/QNFakePrograms.h"
#include "support/QNScopedEnvironment.h"
#include "support/QNTestWait.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace {

TEST(SystemServices, RunTheirProgramsAndWaitOrDoNothingWithoutThem) {
    QTemporaryDir dir;
    QNFakePrograms fakes(dir.filePath(QStringLiteral("bin")), {QStringLiteral("resolvectl"), QStringLiteral("pkexec")});
    QNPlatformSystemServices services(QStringLiteral("/opt/q/share/quillon/uninstall.sh"), dir.path());
    {
        // The services look their programs up on PATH when they run them.
        QNScopedEnvironment path("PATH", QFile::encodeName(fakes.searchPath()));
        services.clearDNSCache();
        // Waited for: the record is there as soon as the call returns.
        EXPECT_EQ(fakes.calls(), QStringList{QStringLiteral("resolvectl flush-caches")});
        services.runUninstallScript();
        EXPECT_EQ(fakes.calls().value(1), QStringLiteral("pkexec /opt/q/share/quillon/uninstall.sh"));
    }
    QNScopedEnvironment nowhere("PATH", QFile::encodeName(dir.filePath(QStringLiteral("empty"))));
    services.clearDNSCache();
    services.runUninstallScript();
    EXPECT_EQ(fakes.calls().size(), 2);

    // A hung program is ended at the limit.
    EXPECT_TRUE(QNPlatformSystemServices::runAndWait(QStringLiteral("/bin/sleep"), {QStringLiteral("600")}, 200));
    EXPECT_FALSE(QNPlatformSystemServices::runAndWait(dir.filePath(QStringLiteral("missing")), {}, 1000));
}

TEST(SignalHandler, TurnsSignalsIntoEvents) {
    QNSignalHandler handler;
    ASSERT_TRUE(handler.isValid());
    // Only one per process: the signal handler has one pipe to write to.
    QNSignalHandler second;
    EXPECT_FALSE(second.isValid());

    QSignalSpy spy(&handler, &QNSignalHandler::signalReceived);
    ::raise(SIGHUP);
    ::raise(SIGTERM);
    ASSERT_TRUE(qnWaitUntil([&] { return spy.size() >= 2; }));
    ASSERT_EQ(spy.size(), 2);
    EXPECT_EQ(spy.at(0).at(0).toInt(), SIGHUP);
    EXPECT_EQ(spy.at(1).at(0).toInt(), SIGTERM);
}

TEST(AlertPresenter, HeadlessAlertIsOneLineAndTheDefaultAnswer) {
    ASSERT_TRUE(QNPlatformAlertPresenter::headless());
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    QNPlatformAlertPresenter presenter;
    presenter.setErrorStream(stream);
    QStringList logged;
    presenter.setLogSink([&](const QString& line) { logged << line; });

    struct Case {
        QNAlert alert;
        QString line;
    };
    const Case cases[] = {
        {{QStringLiteral("The proxy server's address cannot be resolved: Office\nproxy"), QString(),
          QStringLiteral("OK"), QString(), QString()},
         QStringLiteral("The proxy server's address cannot be resolved: Office proxy")},
        {{QStringLiteral("The SSH tunnel failed"), QStringLiteral("authentication was denied"), QStringLiteral("OK"),
          QStringLiteral("Cancel"), QStringLiteral("Skip")},
         QStringLiteral("The SSH tunnel failed authentication was denied")},
    };
    QString expectedOutput;
    for (const Case& c : cases) {
        EXPECT_EQ(presenter.runModal(c.alert), QNAlertDefaultReturn);
        expectedOutput += QStringLiteral("quillon: ") + c.line + QLatin1Char('\n');
    }
    EXPECT_EQ(logged, (QStringList{cases[0].line, cases[1].line}));

    std::rewind(stream);
    char buffer[1024] = {};
    const size_t length = std::fread(buffer, 1, sizeof buffer - 1, stream);
    std::fclose(stream);
    EXPECT_EQ(QString::fromLocal8Bit(buffer, qsizetype(length)), expectedOutput);
}

} // namespace
