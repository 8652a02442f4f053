#pragma once

#include <QByteArray>
#include <QFileSystemWatcher>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <memory>
#include <optional>

class QNNotificationCenter;
class QNPreferenceStore;
class QNProfile;

// What the settings window edits: the stored profiles, each with a working copy the user changes, and the
// settings keys. Profile-list actions (add, duplicate, rename, delete, import, activate) and settings are
// stored at once; edits of a profile's items wait for save(). Every write is one locked read-modify-write
// of the preference store followed by the settings tool's notification.
//
// Changes other programs make meanwhile are taken in as soon as the file changes or a notification arrives.
// A profile with unsaved edits is never overwritten, in either direction: when its stored form changed
// underneath, it is marked as in conflict, and save() refuses until the user keeps or drops the edits.
class QNSettingsSession : public QObject {
    Q_OBJECT

public:
    struct Entry {
        // The working copy the editors change.
        std::shared_ptr<QNProfile> profile;
        // The stored dictionary the working copy started from; empty for a profile that is stored no more.
        QVariantMap base;
        bool edited = false;
        // Stored form changed (or vanished) while edited.
        bool conflict = false;
    };

    enum class SaveResult { Saved, Refused, Conflict, Failed };

    // center may be null: changes are stored, nobody is told.
    QNSettingsSession(QNPreferenceStore& store, QNNotificationCenter* center, QObject* parent = nullptr);

    // Watches the preference file and the notifications of the agent and other settings tools.
    void watch();
    // Reads the store afresh and merges it with the working copies.
    void reload();

    const QList<Entry>& entries() const { return _entries; }
    qsizetype indexOf(quint32 identifier) const;
    std::shared_ptr<QNProfile> profile(quint32 identifier) const;
    const Entry* entry(quint32 identifier) const;
    qint64 activeIdentifier() const { return _activeIdentifier; }
    const QVariantMap& preferences() const { return _preferences; }

    // Profile list. Each returns false with lastError() set when nothing was stored.
    std::optional<quint32> addProfile(const QString& name);
    std::optional<quint32> duplicateProfile(quint32 identifier);
    bool renameProfile(quint32 identifier, const QString& name);
    bool deleteProfile(quint32 identifier);
    bool activateProfile(qint64 identifier);
    // Appends every profile of a profiles document; returns their identifiers. A document that reading would
    // change (ports cut down, rules losing their proxy...) is refused with importWarnings() unless force is set.
    QList<quint32> importProfiles(const QByteArray& document, bool force = false);
    QStringList importWarnings() const { return _importWarnings; }
    // The stored form of the profiles (unsaved edits are not in it).
    QByteArray exportProfiles(const QList<quint32>& identifiers) const;

    // Edits: the editors change the working copy and call markEdited.
    void markEdited(quint32 identifier);
    // Why the working copy would not compile; null when it would.
    QString check(quint32 identifier) const;
    // Stores the working copy when it compiles and nothing changed underneath.
    SaveResult save(quint32 identifier);
    // After a conflict: keep stores the working copy over the other change, drop takes the stored one.
    bool resolveConflict(quint32 identifier, bool keepMine);
    void revert(quint32 identifier);

    // A settings key ("enableLogging" and so on), stored and announced with "settings".
    bool setSetting(const QString& key, const QVariant& value);
    // Asks the agent to take itself out of service.
    bool postTerminate();

    QString lastError() const { return _lastError; }

signals:
    // Rows were added, removed or reordered, or names changed.
    void profilesChanged();
    // A profile's working copy was replaced by its stored form.
    void profileReloaded(quint32 identifier);
    void conflictDetected(quint32 identifier);
    void activeIdentifierChanged(qint64 identifier);
    void settingsChanged();
    void editedChanged(quint32 identifier, bool edited);

private:
    using Edit = std::function<bool(QVariantMap& preferences, QVariantList& profiles)>;

    bool store(const Edit& edit, const QString& notification);
    void merge(const QVariantMap& preferences);
    void post(const QString& notification);
    void watchFile();
    bool fail(const QString& error);
    static qsizetype storedIndex(const QVariantList& profiles, quint32 identifier);
    static std::optional<quint32> nextIdentifier(const QVariantList& profiles, quint32 count = 1);

    QNPreferenceStore& _store;
    QNNotificationCenter* _center;
    QFileSystemWatcher _watcher;
    QTimer _reloadTimer;
    QList<Entry> _entries;
    QVariantMap _preferences;
    qint64 _activeIdentifier = -1;
    QString _lastError;
    QStringList _importWarnings;
};
