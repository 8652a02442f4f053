#include "app/QNStatusMenu.h"

#include "model/QNProfile.h"
#include "platform/QNSystemServices.h"
#include "util/QNStrings.h"
#include "util/QNUtilities.h"

namespace {

const QString kImageOnNormal = QStringLiteral("menuIconOnNormal");
const QString kImageOnSelected = QStringLiteral("menuIconOnSelected");
const QString kImageOffNormal = QStringLiteral("menuIconOffNormal");
const QString kImageOffSelected = QStringLiteral("menuIconOffSelected");
const QString kImageEngineDownNormal = QStringLiteral("menuIconEngineDownNormal");
const QString kImageEngineDownSelected = QStringLiteral("menuIconEngineDownSelected");

} // namespace

QNStatusMenu::QNStatusMenu(QNMenuInterface& menu, QNStatusMenuOwner& owner, QNSystemServices& systemServices,
                           const QNStrings& strings)
    : _menu(menu)
    , _owner(owner)
    , _systemServices(systemServices)
    , _strings(strings) {
    buildFixedItems();
    _menu.setDelegate(this);
}

QNStatusMenu::~QNStatusMenu() {
    _menu.setDelegate(nullptr);
}

// The fixed part of the menu: proxying off, the anchor the profiles go below, the statistics block,
// the settings tool and quit.
void QNStatusMenu::buildFixedItems() {
    using Description = QNMenuInterface::ItemDescription;
    const auto text = [this](const char* key) { return _strings.localizedString(QLatin1StringView(key)); };
    const QList<Description> items = {
        {TagEngineDown, text("engineNotRunning"), QNMenuAction::None, false, false, false, nullptr},
        {TagProxyingOff, text("proxyingOff"), QNMenuAction::Profile, false, true, true, nullptr},
        {TagAnchor, QString(), QNMenuAction::None, true, false, true, nullptr},
        {TagConnections, text("connections"), QNMenuAction::None, false, false, false, nullptr},
        {TagSent, text("sent"), QNMenuAction::None, false, false, false, nullptr},
        {TagReceived, text("received"), QNMenuAction::None, false, false, false, nullptr},
        {TagStatisticsEnd, QString(), QNMenuAction::None, true, false, true, nullptr},
        {0, text("preferences"), QNMenuAction::Preferences, false, false, true, nullptr},
        {0, QString(), QNMenuAction::None, true, false, true, nullptr},
        {0, text("quit"), QNMenuAction::Quit, false, false, true, nullptr},
    };
    for (const Description& description : items) {
        QNMenuItem* item = _menu.insertItem(_menu.numberOfItems(), description);
        if (item && ((description.tag >= TagConnections && description.tag <= TagStatisticsEnd) ||
                     description.tag == TagEngineDown)) {
            item->setHidden(true);
        }
    }
    _dirty = true;
    _rebuildProfiles = true;
}

void QNStatusMenu::showInMenuBar(bool on) {
    if (on == _menuletOn) {
        return;
    }
    _menuletOn = on;
    if (on) {
        _menu.createStatusItem();
        _rebuildProfiles = true;
        _dirty = true;
        updateStatusItem();
    } else if (_menu.hasStatusItem()) {
        _menu.removeStatusItem();
    }
}

void QNStatusMenu::updateStatusItem() {
    _menu.setToolTip(toolTip());
    if (!_owner.engineConnected()) {
        _menu.setStatusImages(kImageEngineDownNormal, kImageEngineDownSelected);
    } else if (_owner.activeProfileIdentifier() == -1) {
        _menu.setStatusImages(kImageOffNormal, kImageOffSelected);
    } else {
        _menu.setStatusImages(kImageOnNormal, kImageOnSelected);
    }
}

void QNStatusMenu::updateMenu() {
    if (!_dirty && !_rebuildProfiles) {
        return;
    }
    const qint64 active = _owner.activeProfileIdentifier();
    const bool off = active == -1;
    if (QNMenuItem* item = _menu.itemWithTag(TagProxyingOff)) {
        item->setState(off);
    }
    if (QNMenuItem* item = _menu.itemWithTag(TagEngineDown)) {
        item->setHidden(_owner.engineConnected());
    }
    if (_rebuildProfiles) {
        rebuildProfileItems();
        _rebuildProfiles = false;
    }

    const int first = _menu.indexOfItemWithTag(TagProfile);
    if (first >= 0) {
        for (int index = first; index < _menu.numberOfItems(); ++index) {
            QNMenuItem* item = _menu.itemAtIndex(index);
            item->setEnabled(true);
            if (item->tag() != TagProfile) {
                break;
            }
            const std::shared_ptr<QNProfile> profile = item->representedObject();
            item->setState(!off && profile && qint64(profile->identifier()) == active);
        }
    }

    for (int tag : {int(TagConnections), int(TagSent), int(TagReceived)}) {
        if (QNMenuItem* item = _menu.itemWithTag(tag)) {
            item->setHidden(off);
            if (!off) {
                setStatisticsTitle(tag);
            }
        }
    }
    if (QNMenuItem* item = _menu.itemWithTag(TagStatisticsEnd)) {
        item->setHidden(off);
    }
    _dirty = false;
}

void QNStatusMenu::rebuildProfileItems() {
    for (int index = _menu.indexOfItemWithTag(TagProfile); index >= 0; index = _menu.indexOfItemWithTag(TagProfile)) {
        _menu.removeItemAtIndex(index);
    }
    if (const int separator = _menu.indexOfItemWithTag(TagProfileSeparator); separator >= 0) {
        _menu.removeItemAtIndex(separator);
    }
    const QList<std::shared_ptr<QNProfile>>& profiles = _owner.profiles();
    const int anchor = _menu.indexOfItemWithTag(TagAnchor);
    if (profiles.isEmpty() || anchor < 0) {
        return;
    }
    int position = anchor + 1;
    for (const std::shared_ptr<QNProfile>& profile : profiles) {
        QNMenuInterface::ItemDescription description;
        description.tag = TagProfile;
        description.title = profile->name();
        description.action = QNMenuAction::Profile;
        description.checkable = true;
        description.representedObject = profile;
        _menu.insertItem(position++, description);
    }
    QNMenuInterface::ItemDescription separator;
    separator.tag = TagProfileSeparator;
    separator.separator = true;
    _menu.insertItem(position, separator);
}

void QNStatusMenu::menuNeedsUpdate() {
    updateMenu();
}

void QNStatusMenu::menuWillOpen() {
    _menuOpen = true;
}

void QNStatusMenu::menuDidClose() {
    _menuOpen = false;
}

void QNStatusMenu::menuItemChosen(QNMenuItem& item) {
    switch (item.action()) {
    case QNMenuAction::Profile:
        doProfile(item);
        break;
    case QNMenuAction::Preferences:
        doPreferences();
        break;
    case QNMenuAction::Quit:
        _owner.quitChosen();
        break;
    case QNMenuAction::None:
        break;
    }
}

void QNStatusMenu::doProfile(const QNMenuItem& sender) {
    const qint64 current = _owner.activeProfileIdentifier();
    qint64 identifier = current;
    if (sender.tag() == TagProfile) {
        if (const std::shared_ptr<QNProfile> profile = sender.representedObject()) {
            identifier = qint64(profile->identifier());
        }
    } else if (sender.tag() == TagProxyingOff) {
        identifier = -1;
    }
    if (identifier != current) {
        _rebuildProfiles = true;
        _owner.profileChosen(identifier);
    }
}

void QNStatusMenu::doPreferences() {
    _systemServices.openSettingsTool();
}

void QNStatusMenu::statisticsChanged(int tag) {
    if (_owner.activeProfileIdentifier() == -1 || !_menuOpen) {
        _dirty = true;
        return;
    }
    setStatisticsTitle(tag);
}

void QNStatusMenu::engineChanged() {
    updateStatusItem();
    if (!_menuOpen) {
        _dirty = true;
    } else if (QNMenuItem* item = _menu.itemWithTag(TagEngineDown)) {
        item->setHidden(_owner.engineConnected());
    }
}

// "Quillon: Office", "Quillon: Proxying Off", and on a second line that the engine is not running.
QString QNStatusMenu::toolTip() const {
    QString state = _strings.localizedString(QStringLiteral("proxyingOff"));
    const qint64 active = _owner.activeProfileIdentifier();
    for (const std::shared_ptr<QNProfile>& profile : _owner.profiles()) {
        if (active != -1 && qint64(profile->identifier()) == active) {
            state = profile->name();
        }
    }
    QString text = _strings.localizedString(QStringLiteral("toolTip")).arg(state);
    if (!_owner.engineConnected()) {
        text += QLatin1Char('\n') + _strings.localizedString(QStringLiteral("engineNotRunning"));
    }
    return text;
}

void QNStatusMenu::setStatisticsTitle(int tag) {
    QNMenuItem* item = _menu.itemWithTag(tag);
    if (!item) {
        return;
    }
    switch (tag) {
    case TagConnections:
        item->setTitle(connectionsTitle());
        break;
    case TagSent:
        item->setTitle(sentTitle());
        break;
    case TagReceived:
        item->setTitle(receivedTitle());
        break;
    default:
        break;
    }
}

QString QNStatusMenu::connectionsTitle() const {
    return QStringLiteral("%1: %2")
        .arg(_strings.localizedString(QStringLiteral("connections")))
        .arg(_owner.connections());
}

QString QNStatusMenu::sentTitle() const {
    return QStringLiteral("%1: %2").arg(_strings.localizedString(QStringLiteral("sent")),
                                        QNUtilities::dataSizeString(_owner.dataSent()));
}

QString QNStatusMenu::receivedTitle() const {
    return QStringLiteral("%1: %2").arg(_strings.localizedString(QStringLiteral("received")),
                                        QNUtilities::dataSizeString(_owner.dataReceived()));
}
