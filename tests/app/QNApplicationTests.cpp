// The controller's spine: start-up, switching, notifications, statistics, session switching and quitting.

#include "QNApplicationFixture.h"

#include "app/QNUpdateChecker.h"
#include "kernel/QNControlChannel.h"
#include "kernel/QNProfileCompiler.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNRule.h"
#include "platform/QNStatisticsService.h"

namespace {

// A proxy by address, so compiling needs no name resolution; the rule sends one network through it.
QVariantMap profileSettings(const QString& name, quint32 identifier, const QString& port = "443") {
    const auto proxy = QNProxy::proxyWithName("Local SOCKS", 3, "127.0.0.1", 1080, QString(), QString(), {}, false, 0,
                                              {}, QString(), {}, QString(), 0);
    const auto rule = QNRule::ruleWithName("Office", {}, {"10.1.0.0-10.1.255.255"}, {port}, 1, proxy, true);
    return QNProfile::profileWithName(name, {proxy}, {rule}, {}, identifier)->settings();
}

QByteArray compiled(const QVariantMap& settings) {
    QNRecordingAlertPresenter alerts;
    QNProfileCompiler compiler(alerts, QNStrings::mainBundle());
    const auto profile = QNProfile::profileWithSettings(settings);
    return compiler.profileData(profile.get()).value_or(QByteArray("compile failed"));
}

TEST_F(ApplicationTest, StartUpHonoursTheSafetyMarker) {
    struct Case {
        const char* name;
        bool safety;
        bool safetyOverride;
        qint64 storedActive;
        qint64 expectedActive;
        qint64 expectedStored;
        bool posted;
    };
    // A clean end (no marker) is seen end to end, after signals.
    const Case cases[] = {
        {"unclean end: none, recorded and announced", true, false, 5, -1, -1, true},
        {"unclean end with override: the profile comes back", true, true, 5, 5, 5, true},
        {"override alone still announces", false, true, 5, 5, 5, true},
        {"stored identifier names no profile", false, false, 9, -1, 9, false},
        {"override with an unknown identifier announces none", true, true, 9, -1, -1, true},
    };
    const QVariantMap profile = profileSettings("Office", 5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setPreferences({{kQNUserDefaultProfiles, QVariantList{profile}},
                        {kQNUserDefaultActiveProfileIdentifier, c.storedActive},
                        {kQNUserDefaultSafety, c.safety},
                        {kQNUserDefaultSafetyOverride, c.safetyOverride}});
        posted.clear();
        const qsizetype mark = peer.frames().size();
        start();
        EXPECT_EQ(app->activeProfileIdentifier(), c.expectedActive);
        const QVariantMap domain = stored();
        EXPECT_EQ(domain.value(kQNUserDefaultActiveProfileIdentifier).toLongLong(), c.expectedStored);
        EXPECT_EQ(domain.value(kQNUserDefaultSafety).toBool(), c.expectedActive != -1);
        EXPECT_EQ(postedSoFar().contains(kQNNotificationActiveProfileIdentifier), c.posted);
        ASSERT_TRUE(peer.waitForFrames(mark + 2));
        EXPECT_EQ(peer.frames().at(mark).value, c.expectedActive == -1 ? QByteArray() : compiled(profile));
        app.reset();
    }
}

// Whatever program wrote the file, a value of the wrong kind reads as if the key were absent.
TEST_F(ApplicationTest, ValuesOfTheWrongKindReadAsAbsent) {
    const QVariantMap zero = profileSettings("Zero", 0);
    setPreferences({{kQNUserDefaultProfiles, QVariantList{"stray", zero, qint64(7)}},
                    {kQNUserDefaultActiveProfileIdentifier, QVariantMap{{"a", qint64(1)}}},
                    {kQNUserDefaultShowInMenuBar, QByteArray("0")},
                    {kQNUserDefaultSSHTunnelLogVerbosity, QVariantList{qint64(3)}}});
    start();
    ASSERT_EQ(app->profiles().size(), 1);
    EXPECT_EQ(app->profiles().first()->name(), "Zero");
    EXPECT_EQ(app->activeProfileIdentifier(), -1);
    EXPECT_TRUE(app->showInMenuBarSetting());
    EXPECT_EQ(app->verbosity(), 0u);
    app.reset();

    setPreferences({{kQNUserDefaultProfiles, "abcdefgh"}});
    start();
    EXPECT_TRUE(app->profiles().isEmpty());
}

TEST_F(ApplicationTest, OwnNotificationsAreNotHeard) {
    start();
    const int flushes = services.dnsFlushes;
    // The agent's connection gets its own signals back in order: once the marker posted after them has
    // been handled on that connection, so have they.
    bool markerSeen = false;
    agentCenter.addObserver([&](const QString&, const QString&) { markerSeen = true; }, "marker",
                            kQNNotificationIdentifierApplication);
    for (const QString& name : {kQNNotificationActiveProfileIdentifier, kQNNotificationProfiles,
                                kQNNotificationSettings, kQNNotificationTerminate}) {
        agentCenter.postNotificationName(name, kQNNotificationIdentifierApplication);
    }
    agentCenter.postNotificationName("marker", kQNNotificationIdentifierApplication);
    ASSERT_TRUE(QTest::qWaitFor([&] { return markerSeen; }, kWait));
    EXPECT_EQ(services.dnsFlushes, flushes);
    EXPECT_EQ(services.uninstalls, 0);
}

TEST_F(ApplicationTest, MenuChoiceIsRecordedAndAnnounced) {
    setPreferences({{kQNUserDefaultProfiles, QVariantList{profileSettings("Office", 1)}}});
    start();
    openAndCloseMenu(menu);
    const int office = menu.indexOfItemWithTag(QNStatusMenu::TagProfile);
    ASSERT_GE(office, 0);

    choose(office);
    EXPECT_EQ(app->activeProfileIdentifier(), 1);
    EXPECT_EQ(stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong(), 1);
    EXPECT_EQ(menu.currentImage(), "menuIconOnNormal");
    EXPECT_EQ(postedSoFar(), QStringList{kQNNotificationActiveProfileIdentifier});

    const int flushes = services.dnsFlushes;
    choose(menu.indexOfItemWithTag(QNStatusMenu::TagProxyingOff));
    EXPECT_EQ(app->activeProfileIdentifier(), -1);
    EXPECT_EQ(stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong(), -1);
    EXPECT_EQ(services.dnsFlushes, flushes + 1);
}

TEST_F(ApplicationTest, StatisticsReachTheServiceAndTheOpenMenu) {
    setPreferences({{kQNUserDefaultProfiles, QVariantList{profileSettings("Office", 1)}},
                    {kQNUserDefaultActiveProfileIdentifier, 1}});
    start();
    ASSERT_TRUE(peer.waitForFrames(2));
    openMenu(menu);
    ASSERT_TRUE(peer.sendConnections(-5));
    ASSERT_TRUE(peer.sendDataSent(2048));
    ASSERT_TRUE(peer.sendDataReceived(5 * 1024 * 1024));
    QNMenuItem* received = menu.itemWithTag(QNStatusMenu::TagReceived);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received->title() == "Received: 5.0 MB"; }, kWait));
    EXPECT_EQ(menu.itemWithTag(QNStatusMenu::TagSent)->title(), "Sent: 2.0 KB");
    EXPECT_EQ(menu.itemWithTag(QNStatusMenu::TagConnections)->title(), "Connections: 0");
    EXPECT_FALSE(app->statusMenu().dirty());

    // What the statistics service hands out; callers may ask for only part of it.
    qint32 connections = -1;
    EXPECT_TRUE(app->statisticsWithConnections(&connections, nullptr, nullptr));
    EXPECT_EQ(connections, 0);

    // Every switch zeroes the figures.
    choose(menu.indexOfItemWithTag(QNStatusMenu::TagProxyingOff));
    EXPECT_EQ(app->dataSent(), 0u);
    EXPECT_EQ(app->dataReceived(), 0u);
}

// Engine lines and the control channel's failures reach the activity log only while logging is on; turning
// it on tells the engine the logging flag. An engine that goes away is shown and connected to again.
TEST_F(ApplicationTest, EngineReportsAreLoggedOnlyWhileLoggingIsOn) {
    setPreferences({{kQNUserDefaultProfiles, QVariantList{profileSettings("Office", 1)}},
                    {kQNUserDefaultActiveProfileIdentifier, 1}});
    start();
    ASSERT_TRUE(peer.waitForFrames(2));
    ASSERT_TRUE(peer.sendLog("before logging\n"));
    QCoreApplication::processEvents();
    setPreferences({{kQNUserDefaultEnableLogging, true}});
    panelCenter.postNotificationName(kQNNotificationSettings, kQNNotificationIdentifierPreferencePane);
    ASSERT_TRUE(peer.waitForFrames(3));
    EXPECT_EQ(peer.values(kQNKernelOptionLogging), (QList<QByteArray>{QByteArray(1, '\0'), QByteArray(1, '\1')}));
    ASSERT_TRUE(peer.sendLog("engine line\n"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return logContent().endsWith(" - engine line\n"); }, kWait));
    EXPECT_FALSE(logContent().contains("before logging"));

    // The engine goes away: the read side reports the end and the agent shows it until the engine is back,
    // then tells the new connection the profile and the logging flag again.
    const QByteArray profile = peer.values(kQNKernelOptionProfile).last();
    const qsizetype frames = peer.frames().size();
    peer.dropAgent();
    ASSERT_TRUE(QTest::qWaitFor([&] { return logContent().contains("Quillon - control stream error\r\n"); }, kWait));
    EXPECT_TRUE(logContent().contains("Quillon - engine not reachable\r\n"));
    EXPECT_FALSE(app->statisticsService().state().engineConnected);
    EXPECT_EQ(menu.currentImage(), "menuIconEngineDownNormal");
    EXPECT_EQ(menu.toolTip(), "Quillon: Office\nEngine not running");
    openMenu(menu);
    EXPECT_FALSE(menu.itemWithTag(QNStatusMenu::TagEngineDown)->isHidden());
    closeMenu(menu);

    ASSERT_TRUE(peer.waitForAgent(2));
    ASSERT_TRUE(peer.waitForFrames(frames + 2));
    EXPECT_EQ(peer.frames().at(frames).option, kQNKernelOptionProfile);
    EXPECT_EQ(peer.frames().at(frames).value, profile);
    EXPECT_EQ(peer.frames().at(frames + 1).value, QByteArray(1, '\1'));
    EXPECT_TRUE(app->statisticsService().state().engineConnected);
    EXPECT_EQ(menu.currentImage(), "menuIconOnNormal");
    EXPECT_EQ(menu.toolTip(), "Quillon: Office");
    EXPECT_TRUE(logContent().contains("Quillon - engine connected\r\n"));
}

// The settings load hands "checkForUpdates" to the update check: on, a first run writes the date a week
// ahead and waits for it; off, from the settings tool, cancels the pending check.
TEST_F(ApplicationTest, SettingsLoadSchedulesAndCancelsTheUpdateCheck) {
    start();
    EXPECT_TRUE(stored().value(kQNUserDefaultNextUpdateCheckDate).toDateTime().isValid());
    EXPECT_EQ(app->updateChecker().scheduledInterval(), std::optional(std::chrono::milliseconds(604800000)));

    setPreferences({{kQNUserDefaultCheckForUpdates, false}});
    panelCenter.postNotificationName(kQNNotificationSettings, kQNNotificationIdentifierPreferencePane);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !app->updateChecker().scheduledInterval(); }, kWait));
}

TEST_F(ApplicationTest, SessionSwitchingLetsGoOfTheEngine) {
    for (const bool safetyOverride : {false, true}) {
        SCOPED_TRACE(safetyOverride ? "with override" : "without override");
        setPreferences({{kQNUserDefaultProfiles, QVariantList{profileSettings("Office", 1)}},
                        {kQNUserDefaultActiveProfileIdentifier, 1},
                        {kQNUserDefaultSafetyOverride, safetyOverride}});
        const int accepted = peer.agentsAccepted();
        const int closed = peer.agentsClosed();
        start();
        ASSERT_EQ(app->activeProfileIdentifier(), 1);
        postedSoFar();
        posted.clear();

        monitor.resignedActive();
        EXPECT_FALSE(menu.hasStatusItem());
        EXPECT_EQ(app->activeProfileIdentifier(), -1);
        EXPECT_FALSE(app->controlChannel().isControlSocketOpen());
        EXPECT_TRUE(peer.waitForClose(closed + 1));
        EXPECT_EQ(stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong(), safetyOverride ? 1 : -1);
        EXPECT_EQ(postedSoFar(), QStringList{kQNNotificationActiveProfileIdentifier});

        monitor.becameActive();
        EXPECT_TRUE(menu.hasStatusItem());
        EXPECT_TRUE(peer.waitForAgent(accepted + 2));
        EXPECT_EQ(app->activeProfileIdentifier(), safetyOverride ? 1 : -1);
        app.reset();
    }
}

TEST_F(ApplicationTest, ABurstOfNotificationsIsOneReload) {
    setPreferences({{kQNUserDefaultProfiles, QVariantList{profileSettings("Office", 1), profileSettings("Home", 2)}},
                    {kQNUserDefaultActiveProfileIdentifier, 1}});
    start();
    ASSERT_TRUE(peer.waitForFrames(2));
    const QVariantMap lab = profileSettings("Lab", 3);
    setPreferences({{kQNUserDefaultProfiles, QVariantList{profileSettings("Home", 2), lab}},
                    {kQNUserDefaultActiveProfileIdentifier, 3},
                    {kQNUserDefaultEnableLogging, true}});
    const int flushes = services.dnsFlushes;
    const qsizetype mark = peer.frames().size();
    for (int i = 0; i < 300; ++i) {
        app->profilesNotification();
        if (i % 3 == 0) {
            app->activeProfileIdentifierNotification();
            app->settingsNotification();
        }
    }
    EXPECT_EQ(services.dnsFlushes, flushes);
    ASSERT_TRUE(QTest::qWaitFor([&] { return services.dnsFlushes > flushes; }, kWait));
    QCoreApplication::processEvents();
    EXPECT_EQ(services.dnsFlushes, flushes + 1);
    EXPECT_EQ(app->activeProfileIdentifier(), 3);
    EXPECT_EQ(app->profiles().size(), 2);
    EXPECT_TRUE(app->logging());
    EXPECT_TRUE(app->statusMenu().rebuildProfiles());
    ASSERT_TRUE(peer.waitForFrames(mark + 2));
    EXPECT_EQ(peer.values(kQNKernelOptionProfile).mid(mark - 1), QList<QByteArray>{compiled(lab)});

    // "terminate" is not deferred, and what waited before it does not switch a profile on after it.
    app->profilesNotification();
    app->terminateNotification();
    EXPECT_EQ(services.dnsFlushes, flushes + 2);
    QCoreApplication::processEvents();
    EXPECT_EQ(services.dnsFlushes, flushes + 2);
    EXPECT_EQ(app->activeProfileIdentifier(), -1);
}

TEST_F(ApplicationTest, NotificationWorkWaitsForAnEnableProfileInProgress) {
    setPreferences({{kQNUserDefaultProfiles, QVariantList{profileSettings("Broken", 2, "http")}}});
    start();
    const int flushes = services.dnsFlushes;
    int flushesWhileShown = -1;
    alerts.whileShown = [&] {
        app->profilesNotification();
        QCoreApplication::processEvents();
        flushesWhileShown = services.dnsFlushes;
    };
    app->enableProfile(2, true);
    EXPECT_EQ(alerts.alerts().size(), 1);
    EXPECT_EQ(flushesWhileShown, flushes);
    EXPECT_EQ(services.dnsFlushes, flushes + 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return services.dnsFlushes == flushes + 2; }, kWait));
    EXPECT_EQ(app->activeProfileIdentifier(), -1);
}

// What the agent posts and sends on "terminate" is seen end to end; here, that it is all done first.
TEST_F(ApplicationTest, TerminateIsOutOfServiceBeforeTheUninstallStepAndStaysRunning) {
    setPreferences({{kQNUserDefaultProfiles, QVariantList{profileSettings("Office", 1)}},
                    {kQNUserDefaultActiveProfileIdentifier, 1}});
    start();
    bool outOfServiceBeforeUninstall = false;
    services.onUninstall = [&] {
        outOfServiceBeforeUninstall = !menu.hasStatusItem() && app->activeProfileIdentifier() == -1 &&
                                      !app->controlChannel().isControlSocketOpen() &&
                                      stored().value(kQNUserDefaultActiveProfileIdentifier).toLongLong() == -1;
    };
    panelCenter.postNotificationName(kQNNotificationTerminate, kQNNotificationIdentifierPreferencePane);
    ASSERT_TRUE(QTest::qWaitFor([&] { return services.uninstalls == 1; }, kWait));
    EXPECT_TRUE(outOfServiceBeforeUninstall);
    EXPECT_EQ(quits, 0);
}

// The state a quit leaves is seen end to end (after signals); here, the menu's way there and the release.
TEST_F(ApplicationTest, QuitFromTheMenuReleasesEverythingOnce) {
    setPreferences({{kQNUserDefaultProfiles, QVariantList{profileSettings("Office", 1)}},
                    {kQNUserDefaultActiveProfileIdentifier, 1}});
    start();
    const int flushes = services.dnsFlushes;

    ASSERT_EQ(menu.itemAtIndex(menu.numberOfItems() - 1)->title(), "Quit Quillon");
    choose(menu.numberOfItems() - 1);
    EXPECT_EQ(quits, 1);
    EXPECT_TRUE(app->terminated());
    EXPECT_FALSE(app->statisticsService().isServing());
    EXPECT_EQ(monitor.stops, 1);
    EXPECT_EQ(services.dnsFlushes, flushes + 1);
    EXPECT_FALSE(menu.hasStatusItem());

    // Quitting twice (a second signal) does nothing more; nor does the release after it.
    app->applicationShouldTerminate();
    EXPECT_EQ(quits, 1);
    app.reset();
    EXPECT_EQ(services.dnsFlushes, flushes + 1);
}

} // namespace
