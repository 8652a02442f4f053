// The status menu's logic on the real tray menu, offscreen, with a controller of the test's own.

#include "QNAppTestSupport.h"

#include "app/QNStatusMenu.h"
#include "model/QNProfile.h"
#include "util/QNStrings.h"

#include <gtest/gtest.h>

namespace {

struct FakeOwner : QNStatusMenuOwner {
    qint64 active = -1;
    QList<std::shared_ptr<QNProfile>> profileList;
    qint32 connectionCount = 0;
    QList<qint64> chosen;

    qint64 activeProfileIdentifier() const override { return active; }
    const QList<std::shared_ptr<QNProfile>>& profiles() const override { return profileList; }
    qint32 connections() const override { return connectionCount; }
    quint64 dataSent() const override { return 0; }
    quint64 dataReceived() const override { return 0; }
    void profileChosen(qint64 identifier) override { chosen << identifier; }
    void quitChosen() override {}
};

std::shared_ptr<QNProfile> profile(const QString& name, quint32 identifier) {
    return QNProfile::profileWithName(name, {}, {}, {}, identifier);
}

struct StatusMenuTest : ::testing::Test {
    QNTrayMenu menu;
    FakeOwner owner;
    FakeSystemServices services;
    QNStatusMenu statusMenu{menu, owner, services, QNStrings::mainBundle()};

    void choose(int index) { statusMenu.menuItemChosen(*menu.itemAtIndex(index)); }
};

TEST_F(StatusMenuTest, RebuildsFromTheProfilesAndTheActiveOne) {
    struct Case {
        const char* name;
        QList<std::shared_ptr<QNProfile>> profiles;
        qint64 active;
        QString expected; // menuLayout() without the fixed items at the end
    };
    const auto a = profile("Office", 1);
    const auto b = profile("R&D", 7);
    const QString hidden = "3:Connections-|4:Sent-|5:Received-|6:----";
    // A count of 0 is still shown while a profile is active.
    const QString zero = "3:Connections: 0|4:Sent: 0 B|5:Received: 0 B|6:---";
    const QList<Case> cases = {
        {"no profiles, off", {}, -1, QStringLiteral("1:Proxying Off*|2:---|") + hidden},
        {"profiles, off", {a, b}, -1, QStringLiteral("1:Proxying Off*|2:---|11:Office|11:R&D|12:---|") + hidden},
        {"profiles, second active", {a, b}, 7, QStringLiteral("1:Proxying Off|2:---|11:Office|11:R&D*|12:---|") + zero},
        {"active identifier names no profile", {a}, 9, QStringLiteral("1:Proxying Off|2:---|11:Office|12:---|") + zero},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        owner.profileList = c.profiles;
        owner.active = c.active;
        statusMenu.setRebuildProfiles();
        openAndCloseMenu(menu);
        EXPECT_EQ(menuLayout(menu), "13:Engine not running-|" + c.expected + "|0:Settings…|0:---|0:Quit Quillon");
        EXPECT_FALSE(statusMenu.dirty());
        EXPECT_FALSE(statusMenu.rebuildProfiles());
    }
}

TEST_F(StatusMenuTest, RefreshesOnlyWhenFlagged) {
    owner.profileList = {profile("Office", 1)};
    openAndCloseMenu(menu);
    const QString before = menuLayout(menu);

    // Changes without a flag stay invisible: the refresh is lazy.
    owner.active = 1;
    owner.profileList << profile("Home", 2);
    openAndCloseMenu(menu);
    EXPECT_EQ(menuLayout(menu), before);

    // Dirty refreshes marks and statistics, but keeps the profile items; rebuilding brings in the new list.
    statusMenu.setDirty();
    openAndCloseMenu(menu);
    EXPECT_TRUE(
        menuLayout(menu).startsWith("13:Engine not running-|1:Proxying Off|2:---|11:Office*|12:---|3:Connections: 0|"))
        << menuLayout(menu).toStdString();
    statusMenu.setRebuildProfiles();
    openAndCloseMenu(menu);
    EXPECT_TRUE(menuLayout(menu).startsWith("13:Engine not running-|1:Proxying Off|2:---|11:Office*|11:Home|12:---|"))
        << menuLayout(menu).toStdString();
}

// Figures that arrive while the menu is open and a profile is active retitle their line at once; otherwise
// they wait for the next opening.
TEST_F(StatusMenuTest, StatisticsRetitleLiveOnlyWhileOpenAndActive) {
    owner.profileList = {profile("Office", 1)};
    QNMenuItem* line = menu.itemWithTag(QNStatusMenu::TagConnections);
    for (const auto& [active, open] : {std::pair{1, true}, {1, false}, {-1, true}}) {
        SCOPED_TRACE(::testing::Message() << "active " << active << (open ? ", open" : ", closed"));
        owner.active = active;
        statusMenu.setDirty();
        openMenu(menu);
        if (!open) {
            closeMenu(menu);
        }
        const QString shown = line->title();
        ++owner.connectionCount;
        statusMenu.statisticsChanged(QNStatusMenu::TagConnections);
        const QString current = QStringLiteral("Connections: %1").arg(owner.connectionCount);
        const bool live = open && active != -1;
        EXPECT_EQ(line->title(), live ? current : shown);
        EXPECT_EQ(statusMenu.dirty(), !live);
        if (open) {
            closeMenu(menu);
        }
        openAndCloseMenu(menu);
        if (active != -1) {
            EXPECT_EQ(line->title(), current);
        }
    }
}

TEST_F(StatusMenuTest, ChoosingAProfileSwitchesOnlyOnChange) {
    owner.profileList = {profile("Office", 1), profile("Home", 4294967295u)};
    openAndCloseMenu(menu);
    const int off = menu.indexOfItemWithTag(QNStatusMenu::TagProxyingOff);
    const int first = menu.indexOfItemWithTag(QNStatusMenu::TagProfile);
    struct Case {
        const char* name;
        qint64 active;
        int index;
        QList<qint64> expected;
    };
    const Case cases[] = {
        {"off item while off", -1, off, {}},
        {"the active profile again", 1, first, {}},
        {"another profile", 1, first + 1, {4294967295LL}},
        {"off item while on", 1, off, {-1}},
        {"a profile while off", -1, first, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        owner.active = c.active;
        owner.chosen.clear();
        openAndCloseMenu(menu);
        ASSERT_FALSE(statusMenu.rebuildProfiles());
        choose(c.index);
        EXPECT_EQ(owner.chosen, c.expected);
        EXPECT_EQ(statusMenu.rebuildProfiles(), !c.expected.isEmpty());
    }
}

TEST_F(StatusMenuTest, SettingsItemOpensTheSettingsTool) {
    const int settings = menu.numberOfItems() - 3;
    ASSERT_EQ(menu.itemAtIndex(settings)->title(), "Settings…");
    choose(settings);
    EXPECT_EQ(services.settingsOpened, 1);
}

TEST_F(StatusMenuTest, StatusItemFollowsTheSettingAndShowsTheState) {
    statusMenu.showInMenuBar(true);
    EXPECT_TRUE(menu.hasStatusItem());
    for (const auto& [active, image] : {std::pair<qint64, QString>{-1, "menuIconOff"}, {3, "menuIconOn"}}) {
        owner.active = active;
        statusMenu.updateStatusItem();
        EXPECT_EQ(menu.currentImage(), image + "Normal");
        openMenu(menu);
        EXPECT_EQ(menu.currentImage(), image + "Selected");
        closeMenu(menu);
    }
    statusMenu.showInMenuBar(false);
    EXPECT_FALSE(menu.hasStatusItem());

    // Every new status item rebuilds and refreshes at its first opening.
    statusMenu.showInMenuBar(true);
    EXPECT_TRUE(statusMenu.rebuildProfiles());
    EXPECT_TRUE(statusMenu.dirty());
}

} // namespace
