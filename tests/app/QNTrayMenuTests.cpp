#include "QNAppTestSupport.h"

#include "app/QNTrayMenu.h"
#include "model/QNProfile.h"
#include "support/QNTestWait.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QMenu>

#include <gtest/gtest.h>

namespace {

// Records what the tray menu reports, in order.
struct RecordingDelegate : QNMenuDelegate {
    QStringList events;
    void menuNeedsUpdate() override { events << QStringLiteral("needsUpdate"); }
    void menuWillOpen() override { events << QStringLiteral("willOpen"); }
    void menuDidClose() override { events << QStringLiteral("didClose"); }
    void menuItemChosen(QNMenuItem& item) override { events << QStringLiteral("chosen:%1").arg(item.title()); }
};

QNMenuInterface::ItemDescription description(int tag, const QString& title, bool checkable = false) {
    QNMenuInterface::ItemDescription item;
    item.tag = tag;
    item.title = title;
    item.action = QNMenuAction::Profile;
    item.checkable = checkable;
    return item;
}

TEST(TrayMenu, ItemsMirrorTheirActions) {
    QNTrayMenu tray;
    tray.insertItem(0, description(1, QStringLiteral("first")));
    tray.insertItem(1, description(3, QStringLiteral("third")));
    tray.insertItem(1, description(2, QStringLiteral("R&D"), true));
    const QList<QAction*> actions = tray.menu()->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(tray.indexOfItemWithTag(2), 1);
    // "&" would otherwise turn into a mnemonic and vanish.
    EXPECT_EQ(actions.at(1)->text(), QStringLiteral("R&&D"));
    EXPECT_EQ(tray.itemWithTag(2)->title(), QStringLiteral("R&D"));

    QNMenuItem* item = tray.itemWithTag(2);
    item->setHidden(true);
    EXPECT_FALSE(actions.at(1)->isVisible());
    item->setEnabled(false);
    EXPECT_FALSE(actions.at(1)->isEnabled());
    item->setState(true);
    EXPECT_TRUE(actions.at(1)->isChecked());

    tray.removeItemAtIndex(0);
    EXPECT_EQ(tray.numberOfItems(), 2);
    EXPECT_EQ(tray.menu()->actions().size(), 2);
    EXPECT_EQ(tray.indexOfItemWithTag(1), -1);
    EXPECT_EQ(tray.itemWithTag(9), nullptr);
}

TEST(TrayMenu, ChoosingKeepsTheMarkAndReportsAfterTheClick) {
    QNTrayMenu tray;
    RecordingDelegate delegate;
    tray.setDelegate(&delegate);
    tray.insertItem(0, description(11, QStringLiteral("Active"), true))->setState(true);
    tray.insertItem(1, description(11, QStringLiteral("Other"), true));
    QAction* active = tray.menu()->actions().at(0);
    QAction* other = tray.menu()->actions().at(1);

    active->trigger();
    other->trigger();
    // The marks are the menu logic's, not Qt's toggling.
    EXPECT_TRUE(active->isChecked());
    EXPECT_FALSE(other->isChecked());
    EXPECT_TRUE(delegate.events.isEmpty());
    ASSERT_TRUE(qnWaitUntil([&] { return delegate.events.size() == 2; }));
    EXPECT_EQ(delegate.events, (QStringList{QStringLiteral("chosen:Active"), QStringLiteral("chosen:Other")}));
}

TEST(TrayMenu, ItemRemovedBeforeItsChoiceIsDeliveredIsDropped) {
    QNTrayMenu tray;
    RecordingDelegate delegate;
    tray.setDelegate(&delegate);
    tray.insertItem(0, description(11, QStringLiteral("Gone")));
    tray.menu()->actions().at(0)->trigger();
    tray.removeItemAtIndex(0);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    EXPECT_TRUE(delegate.events.isEmpty());
}

TEST(TrayMenu, OpeningAsksForAnUpdateFirstAndShowsTheAlternateImage) {
    QNTrayMenu tray;
    RecordingDelegate delegate;
    tray.setDelegate(&delegate);
    tray.setStatusImages(QStringLiteral("menuIconOnNormal"), QStringLiteral("menuIconOnSelected"));
    emit tray.menu()->aboutToShow();
    EXPECT_EQ(tray.currentImage(), QStringLiteral("menuIconOnSelected"));
    emit tray.menu()->aboutToHide();
    EXPECT_EQ(tray.currentImage(), QStringLiteral("menuIconOnNormal"));
    EXPECT_EQ(delegate.events,
              (QStringList{QStringLiteral("needsUpdate"), QStringLiteral("willOpen"), QStringLiteral("didClose")}));
}

TEST(TrayMenu, HeadlessStatusItemHasNoIconAndTheImagesAreCompiledIn) {
    QNTrayMenu tray;
    ASSERT_FALSE(QNTrayMenu::trayAvailable());
    tray.createStatusItem();
    EXPECT_TRUE(tray.hasStatusItem());
    EXPECT_EQ(tray.trayIcon(), nullptr);
    tray.removeStatusItem();
    EXPECT_FALSE(tray.hasStatusItem());
    for (const char* name : {"menuIconOnNormal", "menuIconOnSelected", "menuIconOffNormal", "menuIconOffSelected"}) {
        const QIcon icon(QNTrayMenu::imagePath(QLatin1StringView(name)));
        EXPECT_FALSE(icon.pixmap(22, 22).isNull()) << name;
    }
}

} // namespace
