#pragma once

#include "app/QNMenuInterface.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <memory>

class QNProfile;
class QNStrings;
class QNSystemServices;

// What the status menu reads from and asks of the controller that owns it.
class QNStatusMenuOwner {
public:
    virtual ~QNStatusMenuOwner() = default;

    virtual qint64 activeProfileIdentifier() const = 0;
    virtual const QList<std::shared_ptr<QNProfile>>& profiles() const = 0;
    virtual qint32 connections() const = 0;
    virtual quint64 dataSent() const = 0;
    virtual quint64 dataReceived() const = 0;
    // Whether the engine is reachable; while it is not, the status item and the menu say so.
    virtual bool engineConnected() const { return true; }

    // The user picked another profile (-1: proxying off) in the menu.
    virtual void profileChosen(qint64 identifier) = 0;
    // The user chose to quit.
    virtual void quitChosen() = 0;
};

// The status item and its menu: the profile switcher with the active profile marked, the live
// statistics of the active profile and the way to the settings tool. The menu refreshes lazily: changes
// only set flags, and the refresh happens when the menu is about to open; only the statistics lines
// change in place while it is open.
class QNStatusMenu : public QNMenuDelegate {
public:
    enum Tag {
        TagProxyingOff = 1,
        TagAnchor = 2,
        TagConnections = 3,
        TagSent = 4,
        TagReceived = 5,
        TagStatisticsEnd = 6,
        TagProfile = 11,
        TagProfileSeparator = 12,
        TagEngineDown = 13,
    };

    QNStatusMenu(QNMenuInterface& menu, QNStatusMenuOwner& owner, QNSystemServices& systemServices,
                 const QNStrings& strings);
    ~QNStatusMenu() override;
    QNStatusMenu(const QNStatusMenu&) = delete;
    QNStatusMenu& operator=(const QNStatusMenu&) = delete;

    void showInMenuBar(bool on);
    void updateStatusItem();
    void updateMenu();

    // QNMenuDelegate
    void menuNeedsUpdate() override;
    void menuWillOpen() override;
    void menuDidClose() override;
    void menuItemChosen(QNMenuItem& item) override;

    void doProfile(const QNMenuItem& sender);
    void doPreferences();

    // New statistics arrived for the line with the given tag (TagConnections, TagSent, TagReceived):
    // retitled at once while the menu is open and a profile is active, otherwise left for the next refresh.
    void statisticsChanged(int tag);
    // The engine came or went: the status item at once, the menu line at once while it is open.
    void engineChanged();

    bool menuletOn() const { return _menuletOn; }
    bool menuOpen() const { return _menuOpen; }
    bool dirty() const { return _dirty; }
    void setDirty() { _dirty = true; }
    bool rebuildProfiles() const { return _rebuildProfiles; }
    void setRebuildProfiles() { _rebuildProfiles = true; }

    // Titles of the three statistics lines, in the menu's formats.
    QString connectionsTitle() const;
    QString sentTitle() const;
    QString receivedTitle() const;

private:
    void buildFixedItems();
    void rebuildProfileItems();
    void setStatisticsTitle(int tag);
    QString toolTip() const;

    QNMenuInterface& _menu;
    QNStatusMenuOwner& _owner;
    QNSystemServices& _systemServices;
    const QNStrings& _strings;
    bool _menuletOn = false;
    bool _menuOpen = false;
    bool _dirty = false;
    bool _rebuildProfiles = false;
};
