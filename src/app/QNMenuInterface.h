#pragma once

#include <QString>

#include <memory>

class QNProfile;

// What an item does when chosen.
enum class QNMenuAction {
    None,
    Profile,     // doProfile: switch to the item's profile, or off for tag 1
    Preferences, // doPreferences: open the settings tool
    Quit,        // orderly quit
};

// One item of the status menu. Items are found by their tag; the title, check mark, visibility and
// enabled state are all the menu logic ever touches.
class QNMenuItem {
public:
    virtual ~QNMenuItem() = default;

    virtual int tag() const = 0;
    virtual bool isSeparator() const = 0;
    virtual QNMenuAction action() const = 0;
    virtual QString title() const = 0;
    virtual void setTitle(const QString& title) = 0;
    virtual bool state() const = 0;
    virtual void setState(bool on) = 0;
    virtual bool isHidden() const = 0;
    virtual void setHidden(bool hidden) = 0;
    virtual bool isEnabled() const = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual std::shared_ptr<QNProfile> representedObject() const = 0;
};

// The menu's callbacks, in the order a real menu gives them: needs update, will open, did close;
// and an item chosen by the user.
class QNMenuDelegate {
public:
    virtual ~QNMenuDelegate() = default;

    virtual void menuNeedsUpdate() = 0;
    virtual void menuWillOpen() = 0;
    virtual void menuDidClose() = 0;
    virtual void menuItemChosen(QNMenuItem& item) = 0;
};

// Everything the menu logic needs of a menu and of the status item that carries it, so the logic runs
// against a fake without a display.
class QNMenuInterface {
public:
    struct ItemDescription {
        int tag = 0;
        QString title;
        QNMenuAction action = QNMenuAction::None;
        bool separator = false;
        bool checkable = false;
        bool enabled = true;
        std::shared_ptr<QNProfile> representedObject;
    };

    virtual ~QNMenuInterface() = default;

    virtual void setDelegate(QNMenuDelegate* delegate) = 0;

    virtual int numberOfItems() const = 0;
    virtual QNMenuItem* itemAtIndex(int index) const = 0;
    // The first item with the tag, or null.
    virtual QNMenuItem* itemWithTag(int tag) const = 0;
    // Position of the first item with the tag, or -1.
    virtual int indexOfItemWithTag(int tag) const = 0;
    // index may equal numberOfItems() to append.
    virtual QNMenuItem* insertItem(int index, const ItemDescription& description) = 0;
    virtual void removeItemAtIndex(int index) = 0;

    // The status item that shows the menu. Without a tray host these still succeed: there is simply
    // nothing on screen.
    virtual void createStatusItem() = 0;
    virtual void removeStatusItem() = 0;
    virtual bool hasStatusItem() const = 0;
    // Image names: the normal image, and the one shown while the menu is open.
    virtual void setStatusImages(const QString& image, const QString& alternateImage) = 0;
    // The text shown when the pointer rests on the status item.
    virtual void setToolTip(const QString&) {}
};
