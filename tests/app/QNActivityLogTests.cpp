#include "app/QNActivityLog.h"
#include "support/QNScopedEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kStamp = "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} - ";

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

mode_t modeOf(const QString& path) {
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

// Matches the whole file against what came before and lines given as patterns after the timestamp.
void expectLines(const QString& path, const QStringList& linePatterns, const QString& before = QString()) {
    QString pattern = "^" + QRegularExpression::escape(before);
    for (const QString& line : linePatterns) {
        pattern += kStamp + line;
    }
    pattern += "$";
    const QString content = QString::fromUtf8(readFile(path));
    EXPECT_TRUE(QRegularExpression(pattern).match(content).hasMatch()) << content.toStdString();
}

struct ActivityLogTest : ::testing::Test {
    QTemporaryDir root;
    QString folder() const { return root.filePath("state/quillon"); }
    QString file() const { return folder() + "/Quillon.log"; }
    int flagsSent = 0;
    QNActivityLog log{folder(), [this] { ++flagsSent; }};
};

// A run appends to what an earlier one left, in a file made private again.
TEST_F(ActivityLogTest, LinesCarryTheirExactFormatsAfterWhatAnEarlierRunLeft) {
    ASSERT_TRUE(QDir().mkpath(folder()));
    QFile old(file());
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("left behind\r\n");
    ASSERT_TRUE(old.setPermissions(old.permissions() | QFileDevice::ReadOther));
    old.close();
    log.enableLogging(true);
    log.appendApplicationLogString("control stream error", false);
    log.appendApplicationLogString("with version", true);
    log.appendLogString("engine line without end");
    log.appendLogString("ünïcode ✓\n");
    expectLines(file(),
                {
                    "Quillon 2\\.0\\.0 - log opened\r\n",
                    "Quillon - control stream error\r\n",
                    "Quillon 2\\.0\\.0 - with version\r\n",
                    // An engine line without its own end runs into the next line.
                    "engine line without end",
                    "ünïcode ✓\n",
                },
                "left behind\r\n");
    EXPECT_EQ(modeOf(file()), mode_t(0600));
    EXPECT_EQ(log.logFilePath(), file());
}

TEST_F(ActivityLogTest, EngineTextStaysOnItsOwnLine) {
    struct Case {
        QString sent;
        QString written;
    };
    const Case cases[] = {
        {"forged\r\n2024-01-01 00:00:00 - Quillon - log closed\r\n",
         "forged\\r\\n2024-01-01 00:00:00 - Quillon - log closed\r\n"},
        {QStringLiteral("nul") + QChar(0) + "and\ttab\n", "nul\\0and\ttab\n"},
        {QStringLiteral("\x1b[2Jgone\rover") + QChar(0x85) + QChar(0x2028) + QChar(0x7F),
         "\\x1B[2Jgone\\rover\\x85\\u2028\\x7F"},
        {"lone end\r", "lone end\\r"},
    };
    log.enableLogging(true);
    QStringList expected = {"Quillon 2\\.0\\.0 - log opened\r\n"};
    for (const Case& c : cases) {
        log.appendLogString(c.sent);
        expected << QRegularExpression::escape(c.written);
    }
    // The agent's own messages are no different.
    log.appendApplicationLogString("alert\ntext", false);
    expected << QRegularExpression::escape("Quillon - alert\\ntext\r\n");
    // A long line is cut at a character boundary, its line end kept.
    log.appendLogString(QString(20000, QChar(0xE9)) + "\n");
    expected << "\u00e9{8000,} \\[line cut at 16384 bytes\\]\n";
    expectLines(file(), expected);
    const QByteArray content = readFile(file());
    EXPECT_LE(content.size() - content.lastIndexOf('\n', content.size() - 2) - 1, 16384);
}

TEST_F(ActivityLogTest, AFullFileIsKeptAsThePreviousOneAndBothGoAtTheEnd) {
    QNActivityLog small(folder(), {}, 4096);
    small.enableLogging(true);
    const QString line = QString(100, QLatin1Char('x')) + "\n";
    for (int i = 0; i < 100; ++i) {
        small.appendLogString(line);
        ASSERT_LE(QFileInfo(file()).size(), 4096);
    }
    const QString previous = file() + ".1";
    EXPECT_EQ(small.previousLogFilePath(), previous);
    EXPECT_GT(QFileInfo(previous).size(), 4096 - 200);
    EXPECT_TRUE(readFile(file()).contains(" - Quillon 2.0.0 - log continued: earlier lines are in Quillon.log.1\r\n"));
    small.enableLogging(false);
    EXPECT_FALSE(QFileInfo::exists(file()));
    EXPECT_FALSE(QFileInfo::exists(previous));
}

TEST_F(ActivityLogTest, RefusesAnythingButItsOwnPlainFile) {
    const QString path = file();
    const QByteArray native = QFile::encodeName(path);
    QFile outside(root.filePath("outside"));
    ASSERT_TRUE(outside.open(QIODevice::WriteOnly));
    outside.close();
    int reader = -1;
    struct Case {
        const char* what;
        std::function<bool()> plant;
    };
    const Case cases[] = {
        {"FIFO without a reader", [&] { return ::mkfifo(native.constData(), 0600) == 0; }},
        {"FIFO with a reader",
         [&] {
             reader = ::mkfifo(native.constData(), 0600) == 0 ? ::open(native.constData(), O_RDONLY | O_NONBLOCK) : -1;
             return reader >= 0;
         }},
        {"symbolic link", [&] { return QFile::link(outside.fileName(), path); }},
        {"hard link",
         [&] { return ::link(QFile::encodeName(outside.fileName()).constData(), native.constData()) == 0; }},
        {"another user's file",
         [&] {
             // Only root can give a file away; elsewhere this case says nothing.
             return ::geteuid() == 0 && QFile::copy(outside.fileName(), path) &&
                    ::chown(native.constData(), 65534, 65534) == 0;
         }},
    };
    ASSERT_TRUE(QDir().mkpath(folder()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.plant()) {
            continue;
        }
        log.enableLogging(true);
        EXPECT_FALSE(log.loggingOn());
        EXPECT_EQ(flagsSent, 0);
        EXPECT_EQ(QFileInfo(outside.fileName()).size(), 0);
        if (reader >= 0) {
            ::close(reader);
            reader = -1;
        }
        ASSERT_EQ(::unlink(native.constData()), 0);
    }
    // Left off without a word; the next settings load tries again and succeeds once the way is clear.
    log.enableLogging(true);
    EXPECT_TRUE(log.loggingOn());
    EXPECT_EQ(flagsSent, 1);
}

TEST_F(ActivityLogTest, OnlyAChangeOfStateCountsAndTurningOffDeletesTheFile) {
    log.enableLogging(false);
    EXPECT_EQ(flagsSent, 0);
    EXPECT_FALSE(QFileInfo::exists(file()));
    log.enableLogging(true);
    log.enableLogging(true);
    EXPECT_EQ(flagsSent, 1);
    expectLines(file(), {"Quillon 2\\.0\\.0 - log opened\r\n"});
    EXPECT_EQ(modeOf(folder()), mode_t(0700));
    log.enableLogging(false);
    EXPECT_EQ(flagsSent, 2);
    EXPECT_FALSE(QFileInfo::exists(file()));
    EXPECT_FALSE(log.loggingOn());
    EXPECT_TRUE(log.logFilePath().isEmpty());
    // Nothing is written after the close.
    log.appendLogString("late");
    EXPECT_FALSE(QFileInfo::exists(file()));
}

TEST(ActivityLogWithoutFolder, IsOnButWritesNowhere) {
    int flagsSent = 0;
    QNActivityLog log(QString(), [&] { ++flagsSent; });
    log.enableLogging(true);
    EXPECT_TRUE(log.loggingOn());
    EXPECT_EQ(flagsSent, 1);
    EXPECT_TRUE(log.logFilePath().isEmpty());
    log.appendLogString("goes nowhere");
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
        {"/srv/state", "/home/a", "/srv/state/quillon"},
        {"", "/home/a", "/home/a/.local/state/quillon"},
        // A relative value is invalid and ignored.
        {"relative/state", "/home/a", "/home/a/.local/state/quillon"},
        {"", "", QString()},
    };
    for (const Case& c : cases) {
        stateHome.set(QByteArray(c.stateHome));
        home.set(QByteArray(c.home));
        EXPECT_EQ(QNActivityLog::defaultDirectoryPath(), c.expected) << c.stateHome << " " << c.home;
    }
}

} // namespace
