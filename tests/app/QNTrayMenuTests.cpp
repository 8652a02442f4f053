#include "QNAppTestSupport.h"

#include "app/QNTrayMenu.h"
#include "support/QNTestWait.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QMenu>

#include <gtest/gtest.h>

namespace {

// Records the items chosen, in order; opening and closing are seen by the status menu's tests.
struct RecordingDelegate : QNMenuDelegate {
    QStringList chosen;
    void menuNeedsUpdate() override {}
    void menuWillOpen() override {}
    void menuDidClose() override {}
    void menuItemChosen(QNMenuItem& item) override { chosen << item.title(); }
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
    tray.insertItem(0, description(1, "first"));
    tray.insertItem(1, description(3, "third"));
    tray.insertItem(1, description(2, "R&D", true));
    const QList<QAction*> actions = tray.menu()->actions();
    ASSERT_EQ(actions.size(), 3);
    // "&" would otherwise turn into a mnemonic and vanish.
    EXPECT_EQ(actions.at(1)->text(), "R&&D");

    QNMenuItem* item = tray.itemWithTag(2);
    item->setHidden(true);
    EXPECT_FALSE(actions.at(1)->isVisible());
    item->setEnabled(false);
    EXPECT_FALSE(actions.at(1)->isEnabled());
    item->setState(true);
    EXPECT_TRUE(actions.at(1)->isChecked());

    tray.removeItemAtIndex(0);
    EXPECT_EQ(tray.menu()->actions().size(), 2);
}

TEST(TrayMenu, ChoosingKeepsTheMarkAndReportsAfterTheClick) {
    QNTrayMenu tray;
    RecordingDelegate delegate;
    tray.setDelegate(&delegate);
    tray.insertItem(0, description(11, "Active", true))->setState(true);
    tray.insertItem(1, description(11, "Other", true));
    QAction* active = tray.menu()->actions().at(0);
    QAction* other = tray.menu()->actions().at(1);

    active->trigger();
    other->trigger();
    // The marks are the menu logic's, not Qt's toggling.
    EXPECT_TRUE(active->isChecked());
    EXPECT_FALSE(other->isChecked());
    EXPECT_TRUE(delegate.chosen.isEmpty());
    ASSERT_TRUE(qnWaitUntil([&] { return delegate.chosen.size() == 2; }));
    EXPECT_EQ(delegate.chosen, (QStringList{"Active", "Other"}));
}

TEST(TrayMenu, ItemRemovedBeforeItsChoiceIsDeliveredIsDropped) {
    QNTrayMenu tray;
    RecordingDelegate delegate;
    tray.setDelegate(&delegate);
    tray.insertItem(0, description(11, "Gone"));
    tray.menu()->actions().at(0)->trigger();
    tray.removeItemAtIndex(0);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    EXPECT_TRUE(delegate.chosen.isEmpty());
}

TEST(TrayMenu, HeadlessStatusItemHasNoIconAndTheImagesAreCompiledIn) {
    QNTrayMenu tray;
    ASSERT_FALSE(QNTrayMenu::trayAvailable());
    tray.createStatusItem();
    EXPECT_EQ(tray.trayIcon(), nullptr);
    for (const char* name : {"menuIconOnNormal", "menuIconOnSelected", "menuIconOffNormal", "menuIconOffSelected"}) {
        const QIcon icon(QNTrayMenu::imagePath(QLatin1StringView(name)));
        EXPECT_FALSE(icon.pixmap(22, 22).isNull()) << name;
    }
}

} // namespace
