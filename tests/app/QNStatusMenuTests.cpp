#include "QNFakeMenu.h"

#include "app/QNStatusMenu.h"
#include "model/QNProfile.h"
#include "platform/QNSystemServices.h"
#include "util/QNStrings.h"

#include <QUrl>

#include <gtest/gtest.h>

namespace {

struct FakeOwner : QNStatusMenuOwner {
    qint64 active = -1;
    QList<std::shared_ptr<QNProfile>> profileList;
    qint32 connectionCount = 0;
    quint64 sent = 0;
    quint64 received = 0;
    QList<qint64> chosen;
    int quits = 0;

    qint64 activeProfileIdentifier() const override { return active; }
    const QList<std::shared_ptr<QNProfile>>& profiles() const override { return profileList; }
    qint32 connections() const override { return connectionCount; }
    quint64 dataSent() const override { return sent; }
    quint64 dataReceived() const override { return received; }
    void profileChosen(qint64 identifier) override { chosen << identifier; }
    void quitChosen() override { ++quits; }
};

struct CountingServices : QNSystemServices {
    int settingsOpened = 0;
    void clearDNSCache() override {}
    void runUninstallScript() override {}
    bool openUrl(const QUrl&) override { return true; }
    void openSettingsTool() override { ++settingsOpened; }
};

std::shared_ptr<QNProfile> profile(const QString& name, quint32 identifier) {
    return QNProfile::profileWithName(name, {}, {}, {}, identifier);
}

struct StatusMenuTest : ::testing::Test {
    QNFakeMenu menu;
    FakeOwner owner;
    CountingServices services;
    QNStatusMenu statusMenu{menu, owner, services, QNStrings::mainBundle()};

    int indexOfTitle(const QString& title) const {
        for (int i = 0; i < menu.items.size(); ++i) {
            if (menu.items.at(i)->description.title == title) {
                return i;
            }
        }
        return -1;
    }
};

TEST_F(StatusMenuTest, RebuildsFromTheProfilesAndTheActiveOne) {
    struct Case {
        const char* name;
        QList<std::shared_ptr<QNProfile>> profiles;
        qint64 active;
        QString expected; // QNFakeMenu::layout() joined by '|', the fixed items at the end left out
    };
    const auto a = profile(QStringLiteral("Office"), 1);
    const auto b = profile(QStringLiteral("R&D"), 7);
    const QString hidden = QStringLiteral("3:Connections-|4:Sent-|5:Received-|6:----");
    // A count of 0 is still shown while a profile is active.
    const QString zero = QStringLiteral("3:Connections: 0|4:Sent: 0 B|5:Received: 0 B|6:---");
    const QList<Case> cases = {
        {"no profiles, off", {}, -1, QStringLiteral("1:Proxying Off*|2:---|") + hidden},
        {"profiles, off", {a, b}, -1, QStringLiteral("1:Proxying Off*|2:---|11:Office|11:R&D|12:---|") + hidden},
        {"profiles, second active", {a, b}, 7, QStringLiteral("1:Proxying Off|2:---|11:Office|11:R&D*|12:---|") + zero},
        {"active identifier names no profile", {a}, 9, QStringLiteral("1:Proxying Off|2:---|11:Office|12:---|") + zero},
    };
    for (const Case& c : cases) {
        owner.profileList = c.profiles;
        owner.active = c.active;
        statusMenu.setRebuildProfiles();
        menu.open();
        menu.close();
        EXPECT_EQ(menu.layout().join(u'|'), c.expected + QStringLiteral("|0:Settings…|0:---|0:Quit Quillon")) << c.name;
        EXPECT_FALSE(statusMenu.dirty()) << c.name;
        EXPECT_FALSE(statusMenu.rebuildProfiles()) << c.name;
    }
    const QNMenuItem* item = menu.itemWithTag(QNStatusMenu::TagProfile);
    EXPECT_EQ(item->representedObject(), a);
    EXPECT_EQ(item->action(), QNMenuAction::Profile);
    EXPECT_TRUE(item->isEnabled());
}

TEST_F(StatusMenuTest, RefreshesOnlyWhenFlagged) {
    owner.profileList = {profile(QStringLiteral("Office"), 1)};
    menu.open();
    menu.close();
    const QStringList before = menu.layout();

    // Changes without a flag stay invisible: the refresh is lazy.
    owner.active = 1;
    owner.profileList << profile(QStringLiteral("Home"), 2);
    menu.open();
    menu.close();
    EXPECT_EQ(menu.layout(), before);

    // Dirty refreshes marks and statistics, but keeps the profile items.
    statusMenu.setDirty();
    menu.open();
    menu.close();
    EXPECT_EQ(menu.indexOfItemWithTag(QNStatusMenu::TagProfileSeparator), 3);
    EXPECT_TRUE(menu.itemWithTag(QNStatusMenu::TagProfile)->state());
    EXPECT_FALSE(menu.itemWithTag(QNStatusMenu::TagConnections)->isHidden());

    // Rebuilding brings in the new list.
    statusMenu.setRebuildProfiles();
    menu.open();
    EXPECT_EQ(menu.indexOfItemWithTag(QNStatusMenu::TagProfileSeparator), 4);
    EXPECT_EQ(menu.itemAtIndex(3)->title(), QStringLiteral("Home"));
}

TEST_F(StatusMenuTest, WithoutAnchorNoProfileItemsAreInserted) {
    owner.profileList = {profile(QStringLiteral("Office"), 1)};
    menu.open();
    menu.close();
    ASSERT_EQ(menu.indexOfItemWithTag(QNStatusMenu::TagProfile), 2);
    menu.removeItemAtIndex(menu.indexOfItemWithTag(QNStatusMenu::TagAnchor));

    statusMenu.setRebuildProfiles();
    menu.open();
    EXPECT_EQ(menu.indexOfItemWithTag(QNStatusMenu::TagProfile), -1);
    EXPECT_EQ(menu.indexOfItemWithTag(QNStatusMenu::TagProfileSeparator), -1);
    EXPECT_FALSE(statusMenu.rebuildProfiles());
}

TEST_F(StatusMenuTest, StatisticsRetitleLiveOnlyWhileOpenAndActive) {
    owner.profileList = {profile(QStringLiteral("Office"), 1)};
    struct Case {
        const char* name;
        qint64 active;
        bool open;
        bool retitledAtOnce;
    };
    const Case cases[] = {
        {"open and active", 1, true, true},
        {"closed and active", 1, false, false},
        {"open, no profile", -1, true, false},
        {"closed, no profile", -1, false, false},
    };
    for (const Case& c : cases) {
        owner.active = c.active;
        owner.connectionCount = 0;
        owner.sent = 0;
        owner.received = 0;
        statusMenu.setDirty();
        menu.open();
        if (!c.open) {
            menu.close();
        }
        ASSERT_FALSE(statusMenu.dirty());
        ASSERT_EQ(statusMenu.menuOpen(), c.open);

        auto* connectionsItem = static_cast<QNFakeMenu::Item*>(menu.itemWithTag(QNStatusMenu::TagConnections));
        const int changesBefore = connectionsItem->titleChanges;
        owner.connectionCount = 12;
        owner.sent = 2048;
        owner.received = 3 * 1024 * 1024;
        statusMenu.statisticsChanged(QNStatusMenu::TagConnections);
        statusMenu.statisticsChanged(QNStatusMenu::TagSent);
        statusMenu.statisticsChanged(QNStatusMenu::TagReceived);

        if (c.retitledAtOnce) {
            EXPECT_EQ(connectionsItem->title(), QStringLiteral("Connections: 12")) << c.name;
            EXPECT_EQ(menu.itemWithTag(QNStatusMenu::TagSent)->title(), QStringLiteral("Sent: 2.0 KB")) << c.name;
            EXPECT_EQ(menu.itemWithTag(QNStatusMenu::TagReceived)->title(), QStringLiteral("Received: 3.0 MB"))
                << c.name;
            EXPECT_FALSE(statusMenu.dirty()) << c.name;
        } else {
            EXPECT_EQ(connectionsItem->titleChanges, changesBefore) << c.name;
            EXPECT_TRUE(statusMenu.dirty()) << c.name;
        }
        if (c.open) {
            menu.close();
        }
        // Whatever happened, the next opening shows the current figures of an active profile.
        menu.open();
        menu.close();
        if (c.active != -1) {
            EXPECT_EQ(menu.itemWithTag(QNStatusMenu::TagConnections)->title(), QStringLiteral("Connections: 12"));
        }
    }
}

TEST_F(StatusMenuTest, ChoosingAProfileSwitchesOnlyOnChange) {
    const auto a = profile(QStringLiteral("Office"), 1);
    const auto b = profile(QStringLiteral("Home"), 4294967295u);
    owner.profileList = {a, b};
    menu.open();
    menu.close();
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
        owner.active = c.active;
        owner.chosen.clear();
        menu.open();
        menu.close();
        ASSERT_FALSE(statusMenu.rebuildProfiles());
        menu.choose(c.index);
        EXPECT_EQ(owner.chosen, c.expected) << c.name;
        EXPECT_EQ(statusMenu.rebuildProfiles(), !c.expected.isEmpty()) << c.name;
    }
}

TEST_F(StatusMenuTest, SettingsAndQuitReachTheirHandlers) {
    menu.choose(indexOfTitle(QStringLiteral("Settings…")));
    EXPECT_EQ(services.settingsOpened, 1);
    menu.choose(indexOfTitle(QStringLiteral("Quit Quillon")));
    EXPECT_EQ(owner.quits, 1);
    // The statistics lines do nothing when chosen.
    menu.choose(menu.indexOfItemWithTag(QNStatusMenu::TagConnections));
    EXPECT_TRUE(owner.chosen.isEmpty());
}

TEST_F(StatusMenuTest, StatusItemShownOnceWithTheStateImages) {
    statusMenu.showInMenuBar(false);
    EXPECT_EQ(menu.statusItemsRemoved, 0);

    statusMenu.showInMenuBar(true);
    statusMenu.showInMenuBar(true);
    EXPECT_EQ(menu.statusItemsCreated, 1);
    EXPECT_TRUE(statusMenu.menuletOn());
    EXPECT_EQ(menu.images, (QStringList{QStringLiteral("menuIconOffNormal"), QStringLiteral("menuIconOffSelected")}));

    owner.active = 3;
    statusMenu.updateStatusItem();
    EXPECT_EQ(menu.images, (QStringList{QStringLiteral("menuIconOnNormal"), QStringLiteral("menuIconOnSelected")}));

    statusMenu.showInMenuBar(false);
    statusMenu.showInMenuBar(false);
    EXPECT_EQ(menu.statusItemsRemoved, 1);
    EXPECT_FALSE(menu.statusItem);

    // Every new status item rebuilds and refreshes at its first opening.
    menu.open();
    menu.close();
    statusMenu.showInMenuBar(true);
    EXPECT_TRUE(statusMenu.rebuildProfiles());
    EXPECT_TRUE(statusMenu.dirty());
}

} // namespace
