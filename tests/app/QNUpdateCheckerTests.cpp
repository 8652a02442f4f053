// The update check against a scripted local HTTP server, with a real preference store, a clock of the
// test's own and fakes for the alert and the desktop.

#include "QNAppTestSupport.h"

#include "app/QNUpdateChecker.h"
#include "platform/QNPreferenceStore.h"
#include "support/QNScopedEnvironment.h"
#include "support/QNTestHTTPServer.h"
#include "support/QNTestWait.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const QString kNewer = "A newer version of Quillon is available (%1).";

class UpdateCheckerTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    const QString temporaryFolder = dir.filePath("tmp");
    QNPreferenceStore store{dir.filePath("domain.plist")};
    QNTestHTTPServer server;
    QNetworkAccessManager manager;
    FakeSystemServices services;
    const QDateTime clock = QDateTime(QDate(2024, 3, 1), QTime(12, 0), Qt::UTC);

    void SetUp() override {
        ASSERT_TRUE(server.isListening());
        ASSERT_TRUE(QDir().mkpath(temporaryFolder));
    }

    QNUpdateChecker::Parts parts(QNAlertPresenter& presenter) {
        QNUpdateChecker::Parts parts;
        parts.loadPreferences = [this] { return store.loadPreferences(); };
        parts.savePreferenceObject = [this](const QVariant& object, const QString& key) {
            store.savePreferenceObject(object, key);
        };
        parts.alertPresenter = &presenter;
        parts.systemServices = &services;
        parts.strings = &QNStrings::mainBundle();
        parts.networkAccessManager = &manager;
        parts.baseURL = server.baseURL();
        parts.runningVersion = "2.0.0";
        parts.temporaryFolder = temporaryFolder;
        parts.now = [this] { return clock; };
        return parts;
    }

    std::unique_ptr<QNUpdateChecker> makeChecker(QNAlertPresenter& presenter, std::chrono::milliseconds timeout = 60s,
                                                 const QUrl& baseURL = QUrl()) {
        QNUpdateChecker::Parts made = parts(presenter);
        made.timeout = timeout;
        if (!baseURL.isEmpty()) {
            made.baseURL = baseURL;
        }
        return std::make_unique<QNUpdateChecker>(std::move(made));
    }

    // One check from the timer to its end; nothing of it may be left behind.
    void runCheck(QNUpdateChecker& checker, const QNTestHTTPServer::Response& response) {
        server.setResponse(response);
        checker.updateCheckTimer();
        ASSERT_TRUE(checker.downloading());
        ASSERT_TRUE(qnWaitUntil([&] { return !checker.downloading(); }));
        EXPECT_TRUE(checker.updateFilePath().isNull());
        EXPECT_TRUE(QDir(temporaryFolder).isEmpty());
    }

    QUrl address(const QString& path) const { return server.baseURL().resolved(QUrl(path)); }
};

TEST_F(UpdateCheckerTest, TheVersionFileIsComparedWithThisVersionAndTheSkippedOne) {
    struct Case {
        const char* name;
        int status;
        QByteArray body;
        QVariant skip;
        QString shown; // the version in the alert; null: no alert
    };
    const Case cases[] = {
        {"newer", 200, "2.1.0", {}, "2.1.0"},
        {"equal", 200, "2.0.0", {}, {}},
        {"older", 200, "1.9.9", {}, {}},
        {"trailing line feed", 200, "2.0.1\n", {}, "2.0.1"},
        {"skipped", 200, "2.1.0", "2.1.0", {}},
        {"newer than the skipped one", 200, "2.2", "2.1.0", "2.2"},
        {"skip version of the wrong type", 200, "2.1", 7, "2.1"},
        {"error status, the body counts", 404, "2.1.0", {}, "2.1.0"},
        {"error page", 500, "<html><body>oops</body></html>", {}, {}},
        {"not UTF-8", 200, "2.1\xff", {}, {}},
        {"longer than any version file", 200, "9.0" + QByteArray(5000, ' '), {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store.removePreferenceObjectWithKey(kQNUserDefaultSkipUpdateVersion);
        if (c.skip.isValid()) {
            store.savePreferenceObject(c.skip, kQNUserDefaultSkipUpdateVersion);
        }
        QNRecordingAlertPresenter alerts(QNAlertOtherReturn);
        auto checker = makeChecker(alerts);
        runCheck(*checker, {.status = c.status, .body = c.body});
        if (c.shown.isNull()) {
            EXPECT_TRUE(alerts.alerts().isEmpty());
            continue;
        }
        ASSERT_EQ(alerts.alerts().size(), 1);
        EXPECT_EQ(alerts.alerts()[0].messageText, kNewer.arg(c.shown));
    }

    // One request per check; one seen whole: the fixed path, past every cache.
    EXPECT_EQ(server.requests().size(), qsizetype(std::size(cases)));
    const QByteArray request = server.requests().value(0);
    EXPECT_TRUE(request.startsWith("GET /update/quillon/2.txt HTTP/1.1\r\n")) << request.toStdString();
    EXPECT_TRUE(request.contains("\r\nCache-Control: no-cache\r\n")) << request.toStdString();
}

TEST_F(UpdateCheckerTest, TheAlertsButtonsOpenTheAddressesOrSkipTheVersion) {
    struct Case {
        const char* name;
        QNAlertResponse response;
        bool interactive;
        bool quitWhileOpen;
        QList<QUrl> opened;
        QVariant skipped;
    };
    const Case cases[] = {
        {"download", QNAlertDefaultReturn, true, false, {address("/download/")}, {}},
        {"learn more", QNAlertAlternateReturn, true, false, {address("/quillon/")}, {}},
        {"skip", QNAlertOtherReturn, true, false, {}, "2.1.0\n"},
        // Nobody chose the default button: a headless agent opens no browser.
        {"headless", QNAlertDefaultReturn, false, false, {}, {}},
        {"quit while the alert is open", QNAlertDefaultReturn, true, true, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store.removePreferenceObjectWithKey(kQNUserDefaultSkipUpdateVersion);
        services.opened.clear();
        ModalAlerts alerts(c.response);
        alerts.setInteractive(c.interactive);
        auto checker = makeChecker(alerts);
        if (c.quitWhileOpen) {
            alerts.whileShown = [&] { checker->stop(); };
        }
        runCheck(*checker, {.body = "2.1.0\n"});
        ASSERT_EQ(alerts.alerts().size(), 1);
        const QNAlert& alert = alerts.alerts()[0];
        EXPECT_EQ(QStringList({alert.defaultButton, alert.alternateButton, alert.otherButton}),
                  QStringList({"Download", "Learn More", "Skip This Version"}));
        // Headless, the one reported line says where the new version is.
        EXPECT_EQ(alert.informativeText, c.interactive ? QString() : address("/download/").toString());
        EXPECT_EQ(services.opened, c.opened);
        EXPECT_EQ(store.loadPreferences().value(kQNUserDefaultSkipUpdateVersion), c.skipped);
    }
}

TEST_F(UpdateCheckerTest, FailedDownloadsAreSilent) {
    QUrl refused = server.baseURL();
    {
        QTcpServer closed;
        ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
        refused.setPort(closed.serverPort());
    }
    struct Case {
        const char* name;
        QNTestHTTPServer::Response response;
        QUrl baseURL;
    };
    const Case cases[] = {
        {"never answers", {.silent = true}, {}},
        {"never ends", {.body = "2.1.0", .trickleMilliseconds = 20}, {}},
        {"cut short", {.body = "2.1", .declaredLength = 100}, {}},
        {"refused", {.body = "2.1.0"}, refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QNRecordingAlertPresenter alerts;
        auto checker = makeChecker(alerts, 500ms, c.baseURL);
        runCheck(*checker, c.response);
        EXPECT_TRUE(alerts.alerts().isEmpty());
        // The next try is a week after this one.
        EXPECT_EQ(checker->scheduledInterval(), std::optional(std::chrono::milliseconds(604800s)));
        EXPECT_EQ(store.loadPreferences().value(kQNUserDefaultNextUpdateCheckDate).toDateTime(), clock.addDays(7));
    }
}

TEST_F(UpdateCheckerTest, SettingsLoadSchedulesTheNextCheck) {
    struct Case {
        const char* name;
        bool on;
        QVariant stored;
        std::optional<std::chrono::milliseconds> interval;
        QVariant storedAfter;
    };
    const QDateTime week = clock.addDays(7);
    const Case cases[] = {
        {"first run", true, {}, 604800s, week},
        {"due in two hours", true, clock.addSecs(7200), 7200s, clock.addSecs(7200)},
        {"fell due while not running", true, clock.addDays(-3), 30s, clock.addDays(-3)},
        {"years ahead (a wrong clock)", true, clock.addYears(5), 604800s, clock.addYears(5)},
        {"not a date", true, "soon", 604800s, week},
        {"off", false, {}, std::nullopt, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store.removePreferenceObjectWithKey(kQNUserDefaultNextUpdateCheckDate);
        if (c.stored.isValid()) {
            store.savePreferenceObject(c.stored, kQNUserDefaultNextUpdateCheckDate);
        }
        QNRecordingAlertPresenter alerts;
        auto checker = makeChecker(alerts);
        checker->setCheckForUpdates(c.on, store.loadPreferences());
        EXPECT_EQ(checker->scheduledInterval(), c.interval);
        EXPECT_EQ(store.loadPreferences().value(kQNUserDefaultNextUpdateCheckDate), c.storedAfter);
    }
}

TEST_F(UpdateCheckerTest, TheTimerStartsTheCheckAndTurningTheSettingOffCancelsIt) {
    QNRecordingAlertPresenter alerts;
    QNUpdateChecker::Parts shortened = parts(alerts);
    shortened.minimumInterval = 10ms;
    QNUpdateChecker checker(std::move(shortened));
    server.setResponse({.silent = true});
    store.savePreferenceObject(clock.addDays(-1), kQNUserDefaultNextUpdateCheckDate);

    // Due: the timer starts the check, which advances the date and schedules the next one.
    checker.setCheckForUpdates(true, store.loadPreferences());
    ASSERT_TRUE(qnWaitUntil([&] { return server.requests().size() == 1; }));
    ASSERT_TRUE(checker.downloading());
    EXPECT_TRUE(QFile::exists(checker.updateFilePath()));
    EXPECT_EQ(store.loadPreferences().value(kQNUserDefaultNextUpdateCheckDate).toDateTime(), clock.addDays(7));
    EXPECT_EQ(checker.scheduledInterval(), std::optional(std::chrono::milliseconds(604800s)));

    // Off: the download ends with its file, and nothing is pending.
    checker.setCheckForUpdates(false, store.loadPreferences());
    EXPECT_FALSE(checker.downloading());
    EXPECT_TRUE(QDir(temporaryFolder).isEmpty());
    EXPECT_EQ(checker.scheduledInterval(), std::nullopt);
}

TEST(UpdateDownloadFilePath, TakesTheFirstFreeNumberedName) {
    struct Case {
        const char* name;
        QStringList existing;
        QString expected; // null: no name left
    };
    QStringList all{"QuillonUpdateCheck"};
    for (int number = 1; number <= 99; ++number) {
        all << QStringLiteral("QuillonUpdateCheck-%1").arg(number);
    }
    const Case cases[] = {
        {"free", {}, "QuillonUpdateCheck"},
        {"taken", {all[0]}, "QuillonUpdateCheck-1"},
        {"all but the last", all.mid(0, 99), "QuillonUpdateCheck-99"},
        {"all", all, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        for (const QString& name : c.existing) {
            QFile file(dir.filePath(name));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
        const QString path = QNUpdateChecker::updateDownloadFilePath(dir.path());
        EXPECT_EQ(path, c.expected.isNull() ? QString() : dir.filePath(c.expected));
    }

    // A link planted under the first name is passed over, not followed; the file made is the owner's alone.
    QTemporaryDir dir;
    const QString target = dir.filePath("victim");
    ASSERT_TRUE(QFile::link(target, dir.filePath(all[0])));
    const QString path = QNUpdateChecker::updateDownloadFilePath(dir.path());
    EXPECT_EQ(path, dir.filePath(all[1]));
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_EQ(QFile(path).permissions(),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser);
}

TEST(UpdateCheckerAddresses, TheTestRigsBaseKeepsThePaths) {
    struct Case {
        std::optional<QByteArray> environment;
        QString expected;
    };
    const Case cases[] = {
        {std::nullopt, "https://www.fernhollowsoftware.com/update/quillon/2.txt"},
        {"http://127.0.0.1:8080/elsewhere/", "http://127.0.0.1:8080/update/quillon/2.txt"},
        {"ftp://127.0.0.1/", "https://www.fernhollowsoftware.com/update/quillon/2.txt"},
    };
    for (const Case& c : cases) {
        QNScopedEnvironment environment("QUILLON_UPDATE_BASE_URL", c.environment);
        QNUpdateChecker::Parts parts;
        const QNUpdateChecker checker(std::move(parts));
        EXPECT_EQ(checker.urlWithBase(kQNURLCheckForUpdate).toString(), c.expected);
    }
}

} // namespace
