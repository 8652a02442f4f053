#include "platform/QNPlatformAlertPresenter.h"
#include "platform/QNPlatformSystemServices.h"
#include "support/QNFakePrograms.h"
#include "support/QNScopedEnvironment.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>

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

// Headless, an alert is one line on stderr and in the log, answered with the default button.
TEST(AlertPresenter, HeadlessAlertIsOneLineAndTheDefaultAnswer) {
    ASSERT_TRUE(QNPlatformAlertPresenter::headless());
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    QNPlatformAlertPresenter presenter;
    presenter.setErrorStream(stream);
    QStringList logged;
    presenter.setLogSink([&](const QString& line) { logged << line; });
    const QNAlert alert{QStringLiteral("The SSH tunnel failed: Office\nproxy"),
                        QStringLiteral("authentication was denied"), QStringLiteral("OK"), QStringLiteral("Cancel"),
                        QStringLiteral("Skip")};
    EXPECT_EQ(presenter.runModal(alert), QNAlertDefaultReturn);
    const QString line = QStringLiteral("The SSH tunnel failed: Office proxy authentication was denied");
    EXPECT_EQ(logged, QStringList{line});

    std::rewind(stream);
    char buffer[1024] = {};
    const size_t length = std::fread(buffer, 1, sizeof buffer - 1, stream);
    std::fclose(stream);
    EXPECT_EQ(QString::fromLocal8Bit(buffer, qsizetype(length)), QStringLiteral("quillon: ") + line + u'\n');
}

} // namespace
