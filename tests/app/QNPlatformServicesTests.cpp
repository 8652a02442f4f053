#include "platform/QNPlatformAlertPresenter.h"
#include "platform/QNPlatformSystemServices.h"
#include "platform/QNSignalHandler.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace {

// A PATH holding only fake programs that append their arguments to a record file.
struct FakePrograms {
    QTemporaryDir dir;
    QByteArray savedPath = qgetenv("PATH");

    explicit FakePrograms(const QStringList& names) {
        for (const QString& name : names) {
            QFile script(dir.filePath(name));
            script.open(QIODevice::WriteOnly);
            script.write("#!/bin/sh\necho \"$(basename \"$0\") $*\" >> \"" + QFile::encodeName(record()) + "\"\n");
            script.close();
            script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        // /bin stays for the scripts' own tools, after ours.
        qputenv("PATH", QFile::encodeName(dir.path()) + ":/usr/bin:/bin");
    }
    ~FakePrograms() { qputenv("PATH", savedPath); }

    QString record() const { return dir.filePath(QStringLiteral("record")); }
    QStringList lines() const {
        QFile file(record());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
};

TEST(SystemServices, RunTheirProgramsAndWait) {
    FakePrograms fakes({QStringLiteral("resolvectl"), QStringLiteral("pkexec")});
    QNPlatformSystemServices services(QStringLiteral("/opt/q/share/quillon/uninstall.sh"), fakes.dir.path());
    services.clearDNSCache();
    // Waited for: the record is there as soon as the call returns.
    EXPECT_EQ(fakes.lines(), QStringList{QStringLiteral("resolvectl flush-caches")});
    services.runUninstallScript();
    EXPECT_EQ(fakes.lines().value(1), QStringLiteral("pkexec /opt/q/share/quillon/uninstall.sh"));
}

TEST(SystemServices, MissingProgramsMeanNothingRuns) {
    FakePrograms fakes({});
    qputenv("PATH", QFile::encodeName(fakes.dir.path()));
    QNPlatformSystemServices services(QStringLiteral("/nonexistent/uninstall.sh"), fakes.dir.path());
    services.clearDNSCache();
    services.runUninstallScript();
    EXPECT_TRUE(fakes.lines().isEmpty());
}

TEST(SystemServices, AHungProgramIsEndedAtTheLimit) {
    QTemporaryDir dir;
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
    ASSERT_TRUE(spy.size() == 2 || spy.wait(20000));
    while (spy.size() < 2 && spy.wait(20000)) {
    }
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
