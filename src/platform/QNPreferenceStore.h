#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <optional>

// The per-user preference domain "com.fernhollowsoftware.quillon": one XML property-list file,
// $XDG_CONFIG_HOME/quillon/com.fernhollowsoftware.quillon.plist, shared by the agent and the settings tool.
//
// The file is read whole and written whole. A write goes to a temporary file in the same folder, is
// synced and renamed over the old file, so a reader or a crash never sees half a file. Every
// read-modify-write holds an exclusive flock on the sibling ".lock" file from the read to the rename,
// so two processes changing different keys never lose each other's changes. The folder is 0700 and
// the file 0600: it holds proxy passwords and keys.
//
// A missing file is an empty domain. A file that cannot be read or parsed is treated as empty, reported
// once on stderr and to the reporter, and moved aside to "<file>.corrupt-<UTC time>" before anything
// is written, so it is never overwritten silently. When it cannot be moved aside, writes fail.
class QNPreferenceStore {
public:
    using Reporter = std::function<void(const QString& message)>;
    // Edits the domain in place; returning false leaves the file as it is.
    using Change = std::function<bool(QVariantMap& preferences)>;

    // The user's own domain file.
    QNPreferenceStore();
    explicit QNPreferenceStore(const QString& filePath);

    static QString defaultFilePath();
    QString filePath() const { return _filePath; }
    QString lockFilePath() const { return _filePath + QStringLiteral(".lock"); }

    // Receives the report of an unreadable or corrupt file, in addition to stderr (the agent routes it to
    // its activity log).
    void setReporter(Reporter reporter) { _reporter = std::move(reporter); }

    // The whole domain, read afresh; empty when the file is missing or unusable.
    QVariantMap loadPreferences();
    // Locked read-modify-write of one key.
    bool savePreferenceObject(const QVariant& object, const QString& key);
    bool removePreferenceObjectWithKey(const QString& key);
    // Locked read-modify-write of any number of keys. False only when the store failed (see lastError());
    // a change that declines to write counts as success.
    bool updatePreferences(const Change& change);

    // The domain as most recently read or written by this object.
    const QVariantMap& preferences() const { return _preferences; }
    // Why the last failing call failed.
    QString lastError() const { return _lastError; }

private:
    enum class ReadOutcome { Read, Missing, Damaged };
    struct ReadResult {
        ReadOutcome outcome = ReadOutcome::Missing;
        QVariantMap domain;
        QString problem;
    };

    ReadResult readFile() const;
    // The domain under the lock; none when the file is damaged and could not be moved aside.
    std::optional<QVariantMap> readLocked(bool lockHeld);
    std::optional<QString> setAside(QString* error) const;
    bool writeLocked(const QVariantMap& domain);
    void removeStaleTemporaryFiles() const;
    void report(const QString& message);
    bool fail(const QString& error);

    QString _filePath;
    Reporter _reporter;
    QVariantMap _preferences;
    QString _lastError;
    QString _lastReport;
};
