#include "settings/QNSettingsSession.h"

#include "model/QNProfile.h"
#include "model/QNProfileCheck.h"
#include "model/QNXMLElement.h"
#include "model/QNXMLText.h"
#include "platform/QNNotificationCenter.h"
#include "platform/QNPreferenceStore.h"
#include "settings/QNSettingsChecks.h"
#include "settings/QNSettingsStrings.h"
#include "util/QNConstants.h"
#include "util/QNPreferenceValues.h"
#include "util/QNStrings.h"

#include <QDir>
#include <QFileInfo>

#include <limits>

namespace {

const QStringList kSettingsKeys = {kQNUserDefaultEnableLogging, kQNUserDefaultShowInMenuBar,
                                   kQNUserDefaultCheckForUpdates, kQNUserDefaultSSHTunnelLogVerbosity,
                                   kQNUserDefaultSafetyOverride};

// Every program writes the file, so two dictionaries are compared in the form the model gives them: a
// number stored as a real or a text that reads the same is the same profile.
bool sameProfile(const QVariantMap& a, const QVariantMap& b) {
    if (a == b) {
        return true;
    }
    if (a.isEmpty() || b.isEmpty()) {
        return false;
    }
    return QNProfile(a).settings() == QNProfile(b).settings();
}

QVariantList profilesOf(const QVariantMap& preferences) {
    const QVariant value = preferences.value(kQNUserDefaultProfiles);
    return value.typeId() == QMetaType::QVariantList ? value.toList() : QVariantList();
}

std::optional<quint32> identifierOf(const QVariant& entry) {
    if (entry.typeId() != QMetaType::QVariantMap) {
        return std::nullopt;
    }
    return QNProfile(entry.toMap()).identifier();
}

bool validName(const QString& name) {
    return !name.trimmed().isEmpty();
}

} // namespace

QNSettingsSession::QNSettingsSession(QNPreferenceStore& store, QNNotificationCenter* center, QObject* parent)
    : QObject(parent)
    , _store(store)
    , _center(center) {
    // Several file events come with one rename; one read answers them all.
    _reloadTimer.setSingleShot(true);
    _reloadTimer.setInterval(50);
    connect(&_reloadTimer, &QTimer::timeout, this, &QNSettingsSession::reload);
}

void QNSettingsSession::watch() {
    watchFile();
    connect(&_watcher, &QFileSystemWatcher::fileChanged, this, [this] { _reloadTimer.start(); });
    connect(&_watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        watchFile();
        _reloadTimer.start();
    });
    if (_center) {
        for (const QString& name :
             {kQNNotificationProfiles, kQNNotificationActiveProfileIdentifier, kQNNotificationSettings}) {
            _center->addObserver([this](const QString&, const QString&) { _reloadTimer.start(); }, name, QString());
        }
    }
}

void QNSettingsSession::watchFile() {
    // The store replaces the file by renaming, which ends a watch on the file itself: the folder is watched
    // too, and the file again whenever it is back.
    const QFileInfo file(_store.filePath());
    if (file.dir().exists() && !_watcher.directories().contains(file.absolutePath())) {
        _watcher.addPath(file.absolutePath());
    }
    if (file.exists() && !_watcher.files().contains(file.absoluteFilePath())) {
        _watcher.addPath(file.absoluteFilePath());
    }
}

void QNSettingsSession::reload() {
    merge(_store.loadPreferences());
}

void QNSettingsSession::merge(const QVariantMap& preferences) {
    const QVariantMap previous = _preferences;
    _preferences = preferences;

    QList<Entry> merged;
    QList<quint32> reloaded;
    QList<quint32> conflicts;
    for (const QVariantMap& stored : QNPreferenceValues::profileDictionaries(preferences)) {
        const auto profile = QNProfile::profileWithSettings(stored);
        if (std::any_of(merged.cbegin(), merged.cend(),
                        [&](const Entry& e) { return e.profile->identifier() == profile->identifier(); })) {
            continue; // the agent only ever finds the first of two profiles with one identifier
        }
        const qsizetype known = indexOf(profile->identifier());
        if (known < 0) {
            merged.append(Entry{profile, stored, false, false});
            continue;
        }
        Entry current = _entries.at(known);
        if (!sameProfile(current.base, stored)) {
            if (current.edited) {
                if (!current.conflict) {
                    conflicts.append(profile->identifier());
                }
                current.conflict = true;
            } else {
                current.profile = profile;
                current.base = stored;
                reloaded.append(profile->identifier());
            }
        }
        merged.append(current);
    }
    // An edited profile deleted elsewhere stays, so that the user can keep it.
    for (const Entry& current : std::as_const(_entries)) {
        const bool stillThere = std::any_of(merged.cbegin(), merged.cend(), [&](const Entry& e) {
            return e.profile->identifier() == current.profile->identifier();
        });
        if (!stillThere && current.edited) {
            Entry vanished = current;
            if (!vanished.conflict) {
                conflicts.append(vanished.profile->identifier());
            }
            vanished.conflict = true;
            vanished.base = QVariantMap();
            merged.append(vanished);
        }
    }

    auto shape = [](const QList<Entry>& list) {
        QStringList rows;
        for (const Entry& e : list) {
            rows.append(QString::number(e.profile->identifier()) + QLatin1Char(':') + e.profile->name());
        }
        return rows;
    };
    const bool shapeChanged = shape(merged) != shape(_entries);
    _entries = merged;

    const auto stored = QNPreferenceValues::integerValue(preferences, kQNUserDefaultActiveProfileIdentifier);
    const qint64 active =
        stored && indexOf(quint32(*stored)) >= 0 && *stored >= 0 && *stored <= std::numeric_limits<quint32>::max()
            ? *stored
            : -1;
    const bool activeChanged = active != _activeIdentifier;
    _activeIdentifier = active;

    if (shapeChanged) {
        emit profilesChanged();
    }
    for (quint32 identifier : std::as_const(reloaded)) {
        emit profileReloaded(identifier);
    }
    for (quint32 identifier : std::as_const(conflicts)) {
        emit conflictDetected(identifier);
    }
    if (activeChanged) {
        emit activeIdentifierChanged(_activeIdentifier);
    }
    for (const QString& key : kSettingsKeys) {
        if (previous.value(key) != preferences.value(key)) {
            emit settingsChanged();
            break;
        }
    }
}

qsizetype QNSettingsSession::indexOf(quint32 identifier) const {
    for (qsizetype i = 0; i < _entries.size(); ++i) {
        if (_entries.at(i).profile->identifier() == identifier) {
            return i;
        }
    }
    return -1;
}

std::shared_ptr<QNProfile> QNSettingsSession::profile(quint32 identifier) const {
    const qsizetype index = indexOf(identifier);
    return index < 0 ? nullptr : _entries.at(index).profile;
}

const QNSettingsSession::Entry* QNSettingsSession::entry(quint32 identifier) const {
    const qsizetype index = indexOf(identifier);
    return index < 0 ? nullptr : &_entries.at(index);
}

qsizetype QNSettingsSession::storedIndex(const QVariantList& profiles, quint32 identifier) {
    for (qsizetype i = 0; i < profiles.size(); ++i) {
        if (identifierOf(profiles.at(i)) == identifier) {
            return i;
        }
    }
    return -1;
}

std::optional<quint32> QNSettingsSession::nextIdentifier(const QVariantList& profiles, quint32 count) {
    quint32 highest = 0;
    for (const QVariant& entry : profiles) {
        highest = qMax(highest, identifierOf(entry).value_or(0));
    }
    if (quint64(highest) + count > std::numeric_limits<quint32>::max()) {
        return std::nullopt;
    }
    return highest + 1;
}

bool QNSettingsSession::fail(const QString& error) {
    _lastError = error;
    return false;
}

bool QNSettingsSession::store(const Edit& edit, const QString& notification) {
    _lastError.clear();
    bool changed = false;
    const bool stored = _store.updatePreferences([&](QVariantMap& preferences) {
        QVariantList profiles = profilesOf(preferences);
        const QVariantList before = profiles;
        if (!edit(preferences, profiles)) {
            return false;
        }
        // What is not a list of profiles stays untouched unless the edit is about profiles.
        if (profiles != before) {
            preferences.insert(kQNUserDefaultProfiles, profiles);
        }
        changed = true;
        return true;
    });
    if (!stored) {
        return fail(_store.lastError());
    }
    merge(_store.preferences());
    if (changed) {
        post(notification);
    }
    return changed;
}

void QNSettingsSession::post(const QString& notification) {
    if (_center && !notification.isEmpty()) {
        _center->postNotificationName(notification, kQNNotificationIdentifierPreferencePane);
    }
}

std::optional<quint32> QNSettingsSession::addProfile(const QString& name) {
    if (!validName(name)) {
        fail(QNSettingsStrings::text("emptyName"));
        return std::nullopt;
    }
    std::optional<quint32> added;
    store(
        [&](QVariantMap&, QVariantList& profiles) {
            added = nextIdentifier(profiles);
            if (!added) {
                return fail(QNSettingsStrings::text("noIdentifier"));
            }
            const auto profile = QNProfile::profileWithIdentifier(*added, QNStrings::mainBundle());
            profile->setName(name);
            profiles.append(profile->settings());
            return true;
        },
        kQNNotificationProfiles);
    return _lastError.isEmpty() ? added : std::nullopt;
}

std::optional<quint32> QNSettingsSession::duplicateProfile(quint32 identifier) {
    const auto source = profile(identifier);
    if (!source) {
        fail(QNSettingsStrings::text("unknownProfile"));
        return std::nullopt;
    }
    // The copy is of what the user sees, unsaved edits included.
    const auto copy = source->copy();
    copy->setName(QNSettingsStrings::text("copyOf").arg(source->name()));
    std::optional<quint32> added;
    store(
        [&](QVariantMap&, QVariantList& profiles) {
            added = nextIdentifier(profiles);
            if (!added) {
                return fail(QNSettingsStrings::text("noIdentifier"));
            }
            copy->setIdentifier(*added);
            const qsizetype at = storedIndex(profiles, identifier);
            profiles.insert(at < 0 ? profiles.size() : at + 1, copy->settings());
            return true;
        },
        kQNNotificationProfiles);
    return _lastError.isEmpty() ? added : std::nullopt;
}

bool QNSettingsSession::renameProfile(quint32 identifier, const QString& name) {
    if (!validName(name)) {
        return fail(QNSettingsStrings::text("emptyName"));
    }
    const qsizetype index = indexOf(identifier);
    QVariantMap renamed;
    const bool ok = store(
        [&](QVariantMap&, QVariantList& profiles) {
            const qsizetype at = storedIndex(profiles, identifier);
            if (at < 0) {
                return fail(QNSettingsStrings::text("unknownProfile"));
            }
            // Only the name changes: the rest of the stored entry stays as it is.
            renamed = profiles.at(at).toMap();
            const bool wasBase = index >= 0 && sameProfile(_entries.at(index).base, renamed);
            renamed.insert(kQNSettingsKeyName, name);
            profiles[at] = renamed;
            if (index >= 0 && wasBase) {
                // The rename is not a change underneath the user's own edits.
                _entries[index].base = renamed;
                _entries[index].profile->setName(name);
            }
            return true;
        },
        kQNNotificationProfiles);
    if (ok) {
        emit profilesChanged();
    }
    return ok;
}

bool QNSettingsSession::deleteProfile(quint32 identifier) {
    const qsizetype index = indexOf(identifier);
    if (index >= 0 && _entries.at(index).base.isEmpty()) {
        // Only here, never stored (or deleted elsewhere): nothing to write.
        _entries.removeAt(index);
        emit profilesChanged();
        return true;
    }
    if (index >= 0) {
        _entries[index].edited = false;
    }
    return store(
        [&](QVariantMap& preferences, QVariantList& profiles) {
            const qsizetype at = storedIndex(profiles, identifier);
            if (at < 0) {
                return fail(QNSettingsStrings::text("unknownProfile"));
            }
            profiles.removeAt(at);
            // A stale active identifier would name the next profile given the same number.
            if (QNPreferenceValues::integerValue(preferences, kQNUserDefaultActiveProfileIdentifier) ==
                qint64(identifier)) {
                preferences.insert(kQNUserDefaultActiveProfileIdentifier, qint64(-1));
            }
            return true;
        },
        kQNNotificationProfiles);
}

bool QNSettingsSession::activateProfile(qint64 identifier) {
    return store(
        [&](QVariantMap& preferences, QVariantList& profiles) {
            if (identifier >= 0 && storedIndex(profiles, quint32(identifier)) < 0) {
                return fail(QNSettingsStrings::text("unknownProfile"));
            }
            preferences.insert(kQNUserDefaultActiveProfileIdentifier, identifier < 0 ? qint64(-1) : identifier);
            return true;
        },
        kQNNotificationActiveProfileIdentifier);
}

QList<quint32> QNSettingsSession::importProfiles(const QByteArray& document, bool force) {
    _lastError.clear();
    _importWarnings.clear();
    const QNXMLText::Result read = QNXMLText::xmlElementWithData(document);
    if (!read.ok()) {
        fail(read.message());
        return {};
    }
    const QNXMLElement& root = *read.element;
    if (root.name().compare(kQNXMLElementNameProfiles, Qt::CaseInsensitive) != 0) {
        fail(QNSettingsStrings::text("wrongRoot").arg(root.name()));
        return {};
    }
    if (!force) {
        for (const QNProfileWarning& warning : QNProfileCheck().warningsForDocument(root)) {
            _importWarnings.append(warning.text());
        }
        if (!_importWarnings.isEmpty()) {
            fail(QNSettingsStrings::text("importWarnings") + QLatin1Char('\n') +
                 _importWarnings.join(QLatin1Char('\n')));
            return {};
        }
    }
    quint32 count = 0;
    for (const auto& child : root.elements().value_or(QNXMLElement::Elements())) {
        if (child && child->name().compare(kQNXMLElementNameProfile, Qt::CaseInsensitive) == 0) {
            ++count;
        }
    }
    QList<quint32> added;
    store(
        [&](QVariantMap&, QVariantList& profiles) {
            const auto next = nextIdentifier(profiles, qMax(count, 1u));
            if (!next) {
                return fail(QNSettingsStrings::text("noIdentifier"));
            }
            const auto imported = QNProfile::profilesWithXML(root, *next);
            if (imported.isEmpty()) {
                return fail(QNSettingsStrings::text("noProfilesInDocument"));
            }
            for (const auto& profile : imported) {
                profiles.append(profile->settings());
                added.append(profile->identifier());
            }
            return true;
        },
        kQNNotificationProfiles);
    return _lastError.isEmpty() ? added : QList<quint32>();
}

QByteArray QNSettingsSession::exportProfiles(const QList<quint32>& identifiers) const {
    QList<std::shared_ptr<QNProfile>> chosen;
    for (const Entry& e : _entries) {
        if (identifiers.contains(e.profile->identifier()) && !e.base.isEmpty()) {
            chosen.append(QNProfile::profileWithSettings(e.base));
        }
    }
    return QNXMLText::dataWithXMLElement(*QNProfile::xmlElementForProfiles(chosen));
}

void QNSettingsSession::markEdited(quint32 identifier) {
    const qsizetype index = indexOf(identifier);
    if (index >= 0 && !_entries.at(index).edited) {
        _entries[index].edited = true;
        emit editedChanged(identifier, true);
    }
}

QString QNSettingsSession::check(quint32 identifier) const {
    const auto working = profile(identifier);
    return working ? QNSettingsChecks::profileError(*working) : QNSettingsStrings::text("unknownProfile");
}

QNSettingsSession::SaveResult QNSettingsSession::save(quint32 identifier) {
    const qsizetype index = indexOf(identifier);
    if (index < 0) {
        fail(QNSettingsStrings::text("unknownProfile"));
        return SaveResult::Failed;
    }
    // A change made elsewhere is the first thing to tell, before anything about the profile itself.
    reload();
    if (_entries.at(index).conflict) {
        fail(QNSettingsStrings::text("conflictText").arg(identifier));
        return SaveResult::Conflict;
    }
    const QString problem = check(identifier);
    if (!problem.isNull()) {
        fail(problem);
        return SaveResult::Refused;
    }
    const QVariantMap base = _entries.at(index).base;
    const QVariantMap settings = _entries.at(index).profile->settings();
    bool conflict = false;
    const bool ok = store(
        [&](QVariantMap&, QVariantList& profiles) {
            const qsizetype at = storedIndex(profiles, identifier);
            if (at < 0 || !sameProfile(profiles.at(at).toMap(), base)) {
                conflict = true;
                return fail(QNSettingsStrings::text("conflictText").arg(identifier));
            }
            profiles[at] = settings;
            // Taken as the new starting point before the store is read back, so it is no change underneath.
            _entries[index].base = settings;
            _entries[index].edited = false;
            return true;
        },
        kQNNotificationProfiles);
    if (conflict) {
        // The next reload would find it too; the user hears about it now.
        reload();
        return SaveResult::Conflict;
    }
    if (ok) {
        emit editedChanged(identifier, false);
        return SaveResult::Saved;
    }
    return SaveResult::Failed;
}

bool QNSettingsSession::resolveConflict(quint32 identifier, bool keepMine) {
    const qsizetype index = indexOf(identifier);
    if (index < 0) {
        return fail(QNSettingsStrings::text("unknownProfile"));
    }
    if (!keepMine) {
        revert(identifier);
        return true;
    }
    const QVariantMap settings = _entries.at(index).profile->settings();
    const bool ok = store(
        [&](QVariantMap&, QVariantList& profiles) {
            const qsizetype at = storedIndex(profiles, identifier);
            if (at < 0) {
                profiles.append(settings);
            } else {
                profiles[at] = settings;
            }
            _entries[index].base = settings;
            _entries[index].edited = false;
            _entries[index].conflict = false;
            return true;
        },
        kQNNotificationProfiles);
    if (ok) {
        emit editedChanged(identifier, false);
    }
    return ok;
}

void QNSettingsSession::revert(quint32 identifier) {
    const qsizetype index = indexOf(identifier);
    if (index < 0) {
        return;
    }
    // An empty starting point differs from whatever is stored, so the merge takes the stored form (or drops
    // a profile that is stored no more).
    _entries[index].edited = false;
    _entries[index].conflict = false;
    _entries[index].base = QVariantMap();
    emit editedChanged(identifier, false);
    reload();
}

bool QNSettingsSession::setSetting(const QString& key, const QVariant& value) {
    return store(
        [&](QVariantMap& preferences, QVariantList&) {
            preferences.insert(key, value);
            return true;
        },
        kQNNotificationSettings);
}

bool QNSettingsSession::postTerminate() {
    if (!_center) {
        return fail(QStringLiteral("no session bus"));
    }
    return _center->postNotificationName(kQNNotificationTerminate, kQNNotificationIdentifierPreferencePane) ||
           fail(_center->lastError());
}
