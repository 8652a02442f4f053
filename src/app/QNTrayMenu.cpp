#include "app/QNTrayMenu.h"

#include <QAction>
#include <QActionGroup>
#include <QCursor>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

// Resources of a static library must be initialised by name, outside any namespace.
static void initialiseStatusImages() {
    Q_INIT_RESOURCE(quillon);
}

// One item: the QAction plus what the menu logic keeps about it. The check mark is kept here and not in
// the action, because a checkable QAction flips its own mark when chosen and the menu logic alone decides.
class QNTrayMenu::Item : public QNMenuItem {
public:
    Item(QAction* action, const ItemDescription& description)
        : _action(action)
        , _tag(description.tag)
        , _menuAction(description.action)
        , _separator(description.separator)
        , _title(description.title)
        , _representedObject(description.representedObject) {
        _action->setSeparator(description.separator);
        _action->setCheckable(description.checkable);
        _action->setEnabled(description.enabled);
        _action->setText(escaped(description.title));
    }

    QAction* qAction() const { return _action; }

    int tag() const override { return _tag; }
    bool isSeparator() const override { return _separator; }
    QNMenuAction action() const override { return _menuAction; }
    QString title() const override { return _title; }
    void setTitle(const QString& title) override {
        _title = title;
        _action->setText(escaped(title));
    }
    bool state() const override { return _state; }
    void setState(bool on) override {
        _state = on;
        if (on && !_action->isCheckable()) {
            _action->setCheckable(true);
        }
        _action->setChecked(on);
    }
    bool isHidden() const override { return !_action->isVisible(); }
    void setHidden(bool hidden) override { _action->setVisible(!hidden); }
    bool isEnabled() const override { return _action->isEnabled(); }
    void setEnabled(bool enabled) override { _action->setEnabled(enabled); }
    std::shared_ptr<QNProfile> representedObject() const override { return _representedObject; }

    // Puts the mark back after Qt toggled it on a click.
    void restoreState() { _action->setChecked(_state); }

private:
    // "&" marks a mnemonic in a QAction's text; a profile named "R&D" must show as such.
    static QString escaped(const QString& title) {
        QString text = title;
        text.replace(QLatin1Char('&'), QStringLiteral("&&"));
        return text;
    }

    QAction* _action;
    int _tag;
    QNMenuAction _menuAction;
    bool _separator;
    QString _title;
    bool _state = false;
    std::shared_ptr<QNProfile> _representedObject;
};

QNTrayMenu::QNTrayMenu(QObject* parent)
    : QObject(parent)
    , _menu(std::make_unique<QMenu>())
    , _choices(new QActionGroup(this)) {
    initialiseStatusImages();
    // Proxying off and the profiles are one exclusive choice, so styles draw them as radio items. The
    // marks themselves stay the menu logic's: see itemTriggered.
    _choices->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
    connect(_menu.get(), &QMenu::aboutToShow, this, &QNTrayMenu::menuAboutToShow);
    connect(_menu.get(), &QMenu::aboutToHide, this, &QNTrayMenu::menuAboutToHide);
}

QNTrayMenu::~QNTrayMenu() {
    removeStatusItem();
    qDeleteAll(_items);
    _items.clear();
}

bool QNTrayMenu::trayAvailable() {
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
        return false;
    }
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QString QNTrayMenu::imagePath(const QString& imageName) {
    return QStringLiteral(":/icons/%1.svg").arg(imageName);
}

int QNTrayMenu::numberOfItems() const {
    return int(_items.size());
}

QNMenuItem* QNTrayMenu::itemAtIndex(int index) const {
    return index >= 0 && index < _items.size() ? _items.at(index) : nullptr;
}

QNMenuItem* QNTrayMenu::itemWithTag(int tag) const {
    return itemAtIndex(indexOfItemWithTag(tag));
}

int QNTrayMenu::indexOfItemWithTag(int tag) const {
    for (int index = 0; index < _items.size(); ++index) {
        if (_items.at(index)->tag() == tag) {
            return index;
        }
    }
    return -1;
}

QNMenuItem* QNTrayMenu::insertItem(int index, const ItemDescription& description) {
    index = qBound(0, index, int(_items.size()));
    auto* action = new QAction(_menu.get());
    auto* item = new Item(action, description);
    QAction* before = index < _items.size() ? _items.at(index)->qAction() : nullptr;
    _menu->insertAction(before, action);
    if (description.checkable) {
        _choices->addAction(action);
    }
    _items.insert(index, item);
    connect(action, &QAction::triggered, this, [this, action] { itemTriggered(action); });
    return item;
}

void QNTrayMenu::removeItemAtIndex(int index) {
    if (index < 0 || index >= _items.size()) {
        return;
    }
    Item* item = _items.takeAt(index);
    QAction* action = item->qAction();
    _menu->removeAction(action);
    delete item;
    // Deleted later: the item may be removed from inside its own trigger.
    action->deleteLater();
}

void QNTrayMenu::itemTriggered(QAction* action) {
    // Qt has moved the marks on its own (toggling, exclusivity); put back what the menu logic set.
    for (Item* item : std::as_const(_items)) {
        item->restoreState();
    }
    // Handled after the menu has finished with the click: the choice may quit or rebuild the menu.
    QMetaObject::invokeMethod(
        this,
        [this, action = QPointer<QAction>(action)] {
            if (!action || !_delegate) {
                return;
            }
            for (Item* item : std::as_const(_items)) {
                if (item->qAction() == action) {
                    _delegate->menuItemChosen(*item);
                    return;
                }
            }
        },
        Qt::QueuedConnection);
}

void QNTrayMenu::createStatusItem() {
    if (_hasStatusItem) {
        return;
    }
    _hasStatusItem = true;
    if (!trayAvailable()) {
        return;
    }
    _trayIcon = new QSystemTrayIcon(this);
    _trayIcon->setToolTip(_toolTip);
    _trayIcon->setContextMenu(_menu.get());
    // Desktops that do not open the context menu on a plain click get it here.
    connect(_trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !_menu->isVisible()) {
            _menu->popup(QCursor::pos());
        }
    });
    applyIcon();
    _trayIcon->show();
}

void QNTrayMenu::removeStatusItem() {
    if (!_hasStatusItem) {
        return;
    }
    _hasStatusItem = false;
    if (_trayIcon) {
        _trayIcon->hide();
        _trayIcon->setContextMenu(nullptr);
        _trayIcon->deleteLater();
        _trayIcon = nullptr;
    }
}

void QNTrayMenu::setStatusImages(const QString& image, const QString& alternateImage) {
    _image = image;
    _alternateImage = alternateImage;
    applyIcon();
}

void QNTrayMenu::setToolTip(const QString& text) {
    _toolTip = text;
    if (_trayIcon) {
        _trayIcon->setToolTip(text);
    }
}

QString QNTrayMenu::currentImage() const {
    return _open && !_alternateImage.isEmpty() ? _alternateImage : _image;
}

void QNTrayMenu::applyIcon() {
    if (_trayIcon && !currentImage().isEmpty()) {
        _trayIcon->setIcon(QIcon(imagePath(currentImage())));
    }
}

void QNTrayMenu::menuAboutToShow() {
    _open = true;
    applyIcon();
    if (_delegate) {
        _delegate->menuNeedsUpdate();
        _delegate->menuWillOpen();
    }
}

void QNTrayMenu::menuAboutToHide() {
    _open = false;
    applyIcon();
    if (_delegate) {
        _delegate->menuDidClose();
    }
}
