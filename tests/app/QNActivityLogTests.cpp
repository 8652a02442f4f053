#include "app/QNActivityLog.h"
#include "support/QNScopedEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const QString kStamp = QStringLiteral("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} - ");

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

mode_t modeOf(const QString& path) {
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

// Matches the whole file against lines given as patterns after the timestamp.
void expectLines(const QString& path, const QStringList& linePatterns) {
    QString pattern = QStringLiteral("^");
    for (const QString& line : linePatterns) {
        pattern += kStamp + line;
    }
    pattern += QStringLiteral("$");
    const QString content = QString::fromUtf8(readFile(path));
    EXPECT_TRUE(QRegularExpression(pattern).match(content).hasMatch()) << content.toStdString();
}

struct ActivityLogTest : ::testing::Test {
    QTemporaryDir root;
    QString folder() const { return root.filePath(QStringLiteral("state/quillon")); }
    QString file() const { return folder() + QStringLiteral("/Quillon.log"); }
    int flagsSent = 0;
    QNActivityLog log{folder(), [this] { ++flagsSent; }};
};

TEST_F(ActivityLogTest, LinesCarryTheirExactFormats) {
    log.enableLogging(true);
    log.appendApplicationLogString(QStringLiteral("control stream error"), false);
    log.appendApplicationLogString(QStringLiteral("with version"), true);
    log.appendLogString(QStringLiteral("engine line without end"));
    log.appendLogString(QStringLiteral("ünïcode ✓\n"));
    expectLines(file(), {
                            QStringLiteral("Quillon 2\\.0\\.0 - log opened\r\n"),
                            QStringLiteral("Quillon - control stream error\r\n"),
                            QStringLiteral("Quillon 2\\.0\\.0 - with version\r\n"),
                            // An engine line without its own end runs into the next line.
                            QStringLiteral("engine line without end"),
                            QStringLiteral("ünïcode ✓\n"),
                        });
    EXPECT_EQ(modeOf(file()), mode_t(0600));
    EXPECT_EQ(modeOf(folder()), mode_t(0700));
    EXPECT_EQ(log.logFilePath(), file());
}

TEST_F(ActivityLogTest, OnlyAChangeOfStateCountsAndTurningOffDeletesTheFile) {
    log.enableLogging(false);
    EXPECT_EQ(flagsSent, 0);
    EXPECT_FALSE(QFileInfo::exists(file()));
    log.enableLogging(true);
    log.enableLogging(true);
    EXPECT_EQ(flagsSent, 1);
    expectLines(file(), {QStringLiteral("Quillon 2\\.0\\.0 - log opened\r\n")});
    log.enableLogging(false);
    EXPECT_EQ(flagsSent, 2);
    EXPECT_FALSE(QFileInfo::exists(file()));
    EXPECT_FALSE(log.loggingOn());
    EXPECT_TRUE(log.logFilePath().isEmpty());
    // Nothing is written after the close.
    log.appendLogString(QStringLiteral("late"));
    EXPECT_FALSE(QFileInfo::exists(file()));
}

TEST_F(ActivityLogTest, AppendsToWhatAnEarlierRunLeft) {
    ASSERT_TRUE(QDir().mkpath(folder()));
    QFile old(file());
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("left behind\r\n");
    old.close();
    log.enableLogging(true);
    const QString content = QString::fromUtf8(readFile(file()));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^left behind\r\n") + kStamp +
                                   QStringLiteral("Quillon 2\\.0\\.0 - log opened\r\n$"))
                    .match(content)
                    .hasMatch())
        << content.toStdString();
    // A file left with loose permissions is made private again.
    EXPECT_EQ(modeOf(file()), mode_t(0600));
}

TEST_F(ActivityLogTest, UncreatableFolderLeavesLoggingOffSilently) {
    // A plain file where the folder should be.
    QFile blocker(root.filePath(QStringLiteral("state")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    log.enableLogging(true);
    EXPECT_FALSE(log.loggingOn());
    EXPECT_EQ(flagsSent, 0);
    // The next settings load tries again and succeeds once the way is clear.
    ASSERT_TRUE(QFile::remove(blocker.fileName()));
    log.enableLogging(true);
    EXPECT_TRUE(log.loggingOn());
    EXPECT_EQ(flagsSent, 1);
}

TEST(ActivityLogWithoutFolder, IsOnButWritesNowhere) {
    int flagsSent = 0;
    QNActivityLog log(QString(), [&] { ++flagsSent; });
    log.enableLogging(true);
    EXPECT_TRUE(log.loggingOn());
    EXPECT_EQ(flagsSent, 1);
    EXPECT_TRUE(log.logFilePath().isEmpty());
    log.appendLogString(QStringLiteral("goes nowhere"));
    log.enableLogging(false);
    EXPECT_EQ(flagsSent, 2);
}

TEST(ActivityLogPath, FollowsTheStateHome) {
    QNScopedEnvironment stateHome("XDG_STATE_HOME");
    QNScopedEnvironment home("HOME");
    struct Case {
        const char* stateHome;
        const char* home;
        QString expected;
    };
    const Case cases[] = {
        {"/srv/state", "/home/a", QStringLiteral("/srv/state/quillon")},
        {"", "/home/a", QStringLiteral("/home/a/.local/state/quillon")},
        // A relative value is invalid and ignored.
        {"relative/state", "/home/a", QStringLiteral("/home/a/.local/state/quillon")},
        {"", "", QString()},
    };
    for (const Case& c : cases) {
        stateHome.set(QByteArray(c.stateHome));
        home.set(QByteArray(c.home));
        EXPECT_EQ(QNActivityLog::defaultDirectoryPath(), c.expected) << c.stateHome << " " << c.home;
    }
}

} // namespace
