#include "platform/QNPlistCodec.h"
#include "platform/QNPreferenceStore.h"
#include "support/QNScopedEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kFileName = QStringLiteral("com.fernhollowsoftware.quillon.plist");

int modeOf(const QString& path) {
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0) {
        return -1;
    }
    return int(status.st_mode & 07777);
}

QByteArray contentsOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

class PreferenceStore : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(_root.isValid()); }

    QString folder() const { return _root.filePath(QStringLiteral("config/quillon")); }
    QString filePath() const { return folder() + QLatin1Char('/') + kFileName; }
    QStringList folderEntries() const {
        return QDir(folder()).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    }
    QVariantMap fileDomain() const {
        return QNPlistCodec::dictionaryWithData(contentsOf(filePath())).value_or(QVariantMap());
    }

    QTemporaryDir _root;
};

TEST_F(PreferenceStore, FileLivesUnderTheConfigurationHome) {
    QNScopedEnvironment home("HOME", _root.path().toLocal8Bit());
    QNScopedEnvironment configHome("XDG_CONFIG_HOME");
    struct Case {
        const char* what;
        std::optional<QByteArray> value;
        QString expected;
    };
    const Case cases[] = {
        {"set", QByteArray("/srv/cfg"), QStringLiteral("/srv/cfg/quillon/") + kFileName},
        {"unset", std::nullopt, _root.path() + QStringLiteral("/.config/quillon/") + kFileName},
        {"empty", QByteArray(""), _root.path() + QStringLiteral("/.config/quillon/") + kFileName},
        {"relative: invalid, so ignored", QByteArray("cfg"),
         _root.path() + QStringLiteral("/.config/quillon/") + kFileName},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        configHome.set(c.value);
        EXPECT_EQ(QNPreferenceStore::defaultFilePath(), c.expected);
        EXPECT_EQ(QNPreferenceStore().filePath(), c.expected);
    }
}

TEST_F(PreferenceStore, MissingFileIsAnEmptyDomainAndOnlyAWriteCreatesPrivateFolders) {
    QNPreferenceStore store(filePath());
    EXPECT_TRUE(store.loadPreferences().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(_root.filePath(QStringLiteral("config"))));
    ASSERT_TRUE(store.savePreferenceObject(true, QStringLiteral("enableLogging")));
    EXPECT_EQ(modeOf(_root.filePath(QStringLiteral("config"))), 0700);
    EXPECT_EQ(modeOf(folder()), 0700);
    EXPECT_EQ(modeOf(store.lockFilePath()), 0600);
}

TEST_F(PreferenceStore, WritesAreWholeOwnerOnlyAndKeepOtherKeys) {
    // A folder made by someone else with a looser mode is tightened; the file another program wrote keeps
    // the keys we do not know.
    ASSERT_TRUE(QDir().mkpath(folder()));
    ::chmod(QFile::encodeName(folder()).constData(), 0755);
    const QVariantMap foreign{{QStringLiteral("somebodyElses"), QVariantList{qint64(1), QStringLiteral("x")}},
                              {QStringLiteral("safety"), true}};
    writeFile(filePath(), *QNPlistCodec::dataWithPropertyList(foreign, QNPlistCodec::Format::Binary));

    QNPreferenceStore store(filePath());
    ASSERT_TRUE(store.savePreferenceObject(qint64(-1), QStringLiteral("activeProfileIdentifier")));
    ASSERT_TRUE(store.savePreferenceObject(QStringLiteral("2.1"), QStringLiteral("skipUpdateVersion")));
    ASSERT_TRUE(store.removePreferenceObjectWithKey(QStringLiteral("safety")));
    ASSERT_TRUE(store.removePreferenceObjectWithKey(QStringLiteral("never there")));

    const QVariantMap expected{{QStringLiteral("somebodyElses"), QVariantList{qint64(1), QStringLiteral("x")}},
                               {QStringLiteral("activeProfileIdentifier"), qint64(-1)},
                               {QStringLiteral("skipUpdateVersion"), QStringLiteral("2.1")}};
    EXPECT_EQ(fileDomain(), expected);
    EXPECT_EQ(store.preferences(), expected);
    EXPECT_EQ(QNPreferenceStore(filePath()).loadPreferences(), expected);
    EXPECT_TRUE(contentsOf(filePath()).startsWith("<?xml")) << "the binary file is rewritten as XML";
    EXPECT_EQ(modeOf(filePath()), 0600);
    EXPECT_EQ(modeOf(folder()), 0700);
    EXPECT_EQ(folderEntries(), (QStringList{kFileName, kFileName + QStringLiteral(".lock")}));
}

// A change the caller declines, or one the file cannot hold, leaves it as it was. A domain the reader would
// refuse is one of those: a hostile import of hundreds of thousands of profiles would otherwise have the
// next start set the whole file aside.
TEST_F(PreferenceStore, ChangesThatCannotBeStoredLeaveTheFileAlone) {
    QNPreferenceStore store(filePath());
    const QVariantMap kept{{QStringLiteral("profiles"), QVariantList{QStringLiteral("Keep")}}};
    ASSERT_TRUE(store.savePreferenceObject(kept.first(), kept.firstKey()));
    const QByteArray before = contentsOf(filePath());
    const auto expectUnchanged = [&] {
        EXPECT_EQ(contentsOf(filePath()), before);
        EXPECT_EQ(store.preferences(), kept);
        EXPECT_EQ(folderEntries().size(), 2) << "no temporary file left behind";
    };
    EXPECT_TRUE(store.updatePreferences([](QVariantMap& preferences) {
        preferences.clear();
        return false; // declined
    }));
    expectUnchanged();
    const struct {
        const char* key;
        QVariant value;
        const char* error;
    } unstorable[] = {
        {"broken", QVariant(), "\"broken\""},
        {"profiles", QVariantList(QNPlistCodec::kMaximumValueCount, true), "more than"},
    };
    for (const auto& c : unstorable) {
        SCOPED_TRACE(c.error);
        EXPECT_FALSE(store.savePreferenceObject(c.value, QString::fromLatin1(c.key)));
        EXPECT_TRUE(store.lastError().contains(QLatin1String(c.error))) << store.lastError().toStdString();
        EXPECT_TRUE(store.lastError().contains(QLatin1String("left as it was"))) << store.lastError().toStdString();
        expectUnchanged();
    }
}

// Whether a read or a write finds it first, a damaged file is moved aside once, reported once, and kept as
// it was.
TEST_F(PreferenceStore, DamagedFileIsSetAsideReportedOnceAndNeverOverwritten) {
    const QByteArray valid = *QNPlistCodec::dataWithPropertyList(QVariantMap{{QStringLiteral("a"), true}});
    struct Case {
        const char* what;
        QByteArray data;
        bool readFirst;
    };
    const Case cases[] = {
        {"garbage", QByteArray("this is not a property list\n"), true},
        {"empty file", QByteArray(), false},
        {"truncated", valid.left(valid.size() / 2), true},
        {"root is not a dictionary", *QNPlistCodec::dataWithPropertyList(QVariantList{true}), true},
        {"binary with a broken trailer", QByteArray("bplist00").append(40, '\xff'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(QDir(folder()).removeRecursively() || !QFileInfo::exists(folder()));
        ASSERT_TRUE(QDir().mkpath(folder()));
        writeFile(filePath(), c.data);

        QStringList reports;
        QNPreferenceStore store(filePath());
        store.setReporter([&reports](const QString& message) { reports.append(message); });
        if (c.readFirst) {
            EXPECT_TRUE(store.loadPreferences().isEmpty());
            EXPECT_TRUE(store.loadPreferences().isEmpty());
        }
        ASSERT_TRUE(store.savePreferenceObject(true, QStringLiteral("enableLogging")));
        EXPECT_EQ(fileDomain(), (QVariantMap{{QStringLiteral("enableLogging"), true}}));

        const QStringList aside = QDir(folder()).entryList({kFileName + QStringLiteral(".corrupt-*")}, QDir::Files);
        ASSERT_EQ(aside.size(), 1);
        EXPECT_EQ(contentsOf(folder() + QLatin1Char('/') + aside.first()), c.data);
        ASSERT_EQ(reports.size(), 1);
        EXPECT_TRUE(reports.first().contains(filePath()));
        EXPECT_TRUE(reports.first().contains(aside.first()));
    }
}

// Runs body in a child process that ends with its return value as exit status.
pid_t forkChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body());
    }
    return pid;
}

int waitForChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// A FIFO would block open() until some writer came, and the agent would hang at start-up for good.
TEST_F(PreferenceStore, FIFOsAndLinksInPlaceOfTheFilesAreRefusedWithoutWaiting) {
    ASSERT_TRUE(QDir().mkpath(folder()));
    const QString path = filePath();
    const QString lock = path + QStringLiteral(".lock");
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    const pid_t child = forkChild([path, lock]() {
        ::alarm(20); // a blocking open ends the child instead of the test run
        QStringList reports;
        QNPreferenceStore store(path);
        store.setReporter([&reports](const QString& message) { reports.append(message); });
        // The FIFO is not a preference file: set aside like any damaged one.
        if (!store.loadPreferences().isEmpty() || reports.size() != 1 ||
            !reports.first().contains(QLatin1String("not a regular file")) || QFileInfo::exists(path)) {
            return 1;
        }
        // A FIFO, then a symbolic link, in place of the lock file: changes fail, reading goes on unlocked.
        ::unlink(QFile::encodeName(lock).constData());
        if (::mkfifo(QFile::encodeName(lock).constData(), 0600) != 0) {
            return 2;
        }
        if (store.savePreferenceObject(true, QStringLiteral("a")) ||
            !store.lastError().contains(QLatin1String("not a regular file"))) {
            return 3;
        }
        ::unlink(QFile::encodeName(lock).constData());
        const QString elsewhere = lock + QStringLiteral(".target");
        if (!QFile::link(elsewhere, lock) || store.savePreferenceObject(true, QStringLiteral("a")) ||
            QFileInfo::exists(elsewhere)) {
            return 4;
        }
        return store.loadPreferences().isEmpty() ? 0 : 5;
    });
    ASSERT_GT(child, 0);
    const int status = waitForChild(child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child hung or crashed";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: FIFO not set aside, 2: no FIFO, 3: FIFO lock used, 4: linked lock used";
}

TEST_F(PreferenceStore, DamagedFileThatCannotBeSetAsideBlocksWrites) {
    ASSERT_TRUE(QDir().mkpath(folder()));
    writeFile(filePath(), "damaged");
    writeFile(filePath() + QStringLiteral(".lock"), QByteArray());
    // A folder we may read but not change. Root is not bound by that, so the check runs as nobody.
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        for (const QString& path : {_root.path(), _root.filePath(QStringLiteral("config")), folder(), filePath(),
                                    filePath() + QStringLiteral(".lock")}) {
            ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
        }
    }
    ::chmod(QFile::encodeName(folder()).constData(), 0500);
    const QString path = filePath();
    const pid_t child = forkChild([asRoot, path]() {
        if (asRoot && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            return 10;
        }
        int reports = 0;
        QNPreferenceStore store(path);
        store.setReporter([&reports](const QString&) { ++reports; });
        if (!store.loadPreferences().isEmpty() || !store.loadPreferences().isEmpty()) {
            return 11;
        }
        if (store.savePreferenceObject(true, QStringLiteral("enableLogging")) || store.lastError().isEmpty()) {
            return 12;
        }
        return reports == 1 ? 0 : 13;
    });
    ASSERT_GT(child, 0);
    const int status = waitForChild(child);
    ::chmod(QFile::encodeName(folder()).constData(), 0700);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no unprivileged user, 11: not empty, 12: written, 13: not one report";
    EXPECT_EQ(contentsOf(filePath()), QByteArray("damaged"));
    EXPECT_TRUE(QDir(folder()).entryList({kFileName + QStringLiteral(".corrupt-*")}, QDir::Files).isEmpty());
}

TEST_F(PreferenceStore, TwoProcessesChangingKeysAtOnceLoseNothing) {
    constexpr int kWrites = 200;
    const QString path = filePath();
    auto writer = [path](const char* prefix) {
        return [path, prefix]() {
            QNPreferenceStore store(path);
            for (int index = 0; index < kWrites; ++index) {
                if (!store.savePreferenceObject(qint64(index), QString::fromLatin1(prefix) + QString::number(index))) {
                    return 1;
                }
                // The same key from both sides: a lost update would show as a short count.
                const bool counted = store.updatePreferences([](QVariantMap& preferences) {
                    preferences.insert(QStringLiteral("counter"),
                                       preferences.value(QStringLiteral("counter")).toLongLong() + 1);
                    return true;
                });
                if (!counted) {
                    return 2;
                }
            }
            return 0;
        };
    };
    const pid_t first = forkChild(writer("first-"));
    const pid_t second = forkChild(writer("second-"));
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    const int firstStatus = waitForChild(first);
    const int secondStatus = waitForChild(second);
    ASSERT_TRUE(WIFEXITED(firstStatus) && WEXITSTATUS(firstStatus) == 0);
    ASSERT_TRUE(WIFEXITED(secondStatus) && WEXITSTATUS(secondStatus) == 0);

    QVariantMap expected{{QStringLiteral("counter"), qint64(2 * kWrites)}};
    for (int index = 0; index < kWrites; ++index) {
        expected.insert(QStringLiteral("first-") + QString::number(index), qint64(index));
        expected.insert(QStringLiteral("second-") + QString::number(index), qint64(index));
    }
    EXPECT_EQ(QNPreferenceStore(path).loadPreferences(), expected);
}

TEST_F(PreferenceStore, WriterKilledMidWriteLeavesAWholeFile) {
    // Each generation writes a payload whose size follows from its number, so a file mixing two
    // generations, a short file or an empty one is caught.
    auto payloadSize = [](qint64 generation) { return qsizetype(256 * 1024 * (1 + generation % 5)); };
    const QString path = filePath();
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        int progress[2];
        ASSERT_EQ(::pipe(progress), 0);
        const pid_t child = forkChild([&]() {
            ::close(progress[0]);
            QNPreferenceStore store(path);
            for (;;) {
                const bool written = store.updatePreferences([&](QVariantMap& preferences) {
                    const qint64 generation = preferences.value(QStringLiteral("generation")).toLongLong() + 1;
                    preferences.insert(QStringLiteral("generation"), generation);
                    preferences.insert(QStringLiteral("payload"),
                                       QByteArray(payloadSize(generation), char('a' + generation % 26)));
                    return true;
                });
                if (!written || ::write(progress[1], "w", 1) != 1) {
                    return 1;
                }
            }
        });
        ASSERT_GT(child, 0);
        ::close(progress[1]);
        // Let it finish a round-dependent number of writes, then kill it while it is inside the next one.
        char byte = 0;
        for (int seen = 0; seen < 1 + round % 3; ++seen) {
            ASSERT_EQ(::read(progress[0], &byte, 1), 1);
        }
        ::kill(child, SIGKILL);
        const int status = waitForChild(child);
        ::close(progress[0]);
        ASSERT_TRUE(WIFSIGNALED(status));

        QString error;
        const auto domain = QNPlistCodec::dictionaryWithData(contentsOf(path), &error);
        ASSERT_TRUE(domain) << error.toStdString();
        const qint64 generation = domain->value(QStringLiteral("generation")).toLongLong();
        EXPECT_GT(generation, 0);
        const QByteArray payload = domain->value(QStringLiteral("payload")).toByteArray();
        EXPECT_EQ(payload, QByteArray(payloadSize(generation), char('a' + generation % 26)));
    }
    // A killed writer may leave its temporary file behind; the next write clears it away.
    ASSERT_TRUE(QNPreferenceStore(path).savePreferenceObject(true, QStringLiteral("done")));
    EXPECT_EQ(folderEntries(), (QStringList{kFileName, kFileName + QStringLiteral(".lock")}));
}

} // namespace
