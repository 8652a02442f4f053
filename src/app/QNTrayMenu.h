#pragma once

#include "app/QNMenuInterface.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <memory>

class QAction;
class QActionGroup;
class QMenu;
class QSystemTrayIcon;

// The status menu on screen: a QMenu whose items are QActions, carried by a QSystemTrayIcon. Without a
// tray host (or on the offscreen platform) there is no icon and the menu lives on unseen.
class QNTrayMenu : public QObject, public QNMenuInterface {
    Q_OBJECT

public:
    explicit QNTrayMenu(QObject* parent = nullptr);
    ~QNTrayMenu() override;

    // True when a tray icon can be shown on this desktop.
    static bool trayAvailable();
    // The resource path of a status image by name (":/icons/<name>.svg").
    static QString imagePath(const QString& imageName);

    void setDelegate(QNMenuDelegate* delegate) override { _delegate = delegate; }

    int numberOfItems() const override;
    QNMenuItem* itemAtIndex(int index) const override;
    QNMenuItem* itemWithTag(int tag) const override;
    int indexOfItemWithTag(int tag) const override;
    QNMenuItem* insertItem(int index, const ItemDescription& description) override;
    void removeItemAtIndex(int index) override;

    void createStatusItem() override;
    void removeStatusItem() override;
    bool hasStatusItem() const override { return _hasStatusItem; }
    void setStatusImages(const QString& image, const QString& alternateImage) override;
    void setToolTip(const QString& text) override;
    QString toolTip() const { return _toolTip; }

    QMenu* menu() const { return _menu.get(); }
    // The icon on screen, or null (headless, or no status item).
    QSystemTrayIcon* trayIcon() const { return _trayIcon; }
    // The image shown now: the alternate one while the menu is open.
    QString currentImage() const;

private:
    class Item;

    void menuAboutToShow();
    void menuAboutToHide();
    void itemTriggered(QAction* action);
    void applyIcon();

    std::unique_ptr<QMenu> _menu;
    QList<Item*> _items;
    QActionGroup* _choices;
    QNMenuDelegate* _delegate = nullptr;
    QSystemTrayIcon* _trayIcon = nullptr;
    bool _hasStatusItem = false;
    bool _open = false;
    QString _image;
    QString _alternateImage;
    QString _toolTip = QStringLiteral("Quillon");
};
