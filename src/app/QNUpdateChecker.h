#pragma once

#include "util/QNConstants.h"

#include <QDateTime>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QFile;
class QNAlertPresenter;
class QNStrings;
class QNSystemServices;
class QNetworkAccessManager;
class QTimer;

// The weekly update check: a one-shot timer, the download of a small text file holding the newest
// version, and an alert offering the download page, the product page or skipping that version when it
// is newer than this one. Every failure is silent and waits for the next check. Main thread only.
class QNUpdateChecker : public QObject {
    Q_OBJECT

public:
    // What the check works with; the collaborators must outlive the checker.
    struct Parts {
        // The whole preference domain read afresh, and one key saved into it.
        std::function<QVariantMap()> loadPreferences;
        std::function<void(const QVariant& object, const QString& key)> savePreferenceObject;
        QNAlertPresenter* alertPresenter = nullptr;
        QNSystemServices* systemServices = nullptr;
        const QNStrings* strings = nullptr;
        // None: the checker makes its own when it first downloads.
        QNetworkAccessManager* networkAccessManager = nullptr;
        // Scheme, host and port of the three addresses.
        QUrl baseURL = defaultBaseURL();
        QString runningVersion = applicationVersion();
        // Where the download's temporary file goes; empty means QDir::tempPath().
        QString temporaryFolder = {};
        std::chrono::milliseconds minimumInterval = milliseconds(kQNUpdateMinimumTimeInterval);
        std::chrono::milliseconds checkInterval = milliseconds(kQNUpdateCheckTimeInterval);
        std::chrono::milliseconds timeout = milliseconds(kQNUtilitiesCheckForUpdateTimeout);
        std::function<QDateTime()> now = [] { return QDateTime::currentDateTimeUtc(); };
    };

    explicit QNUpdateChecker(Parts parts, QObject* parent = nullptr);
    // Drops the timer and any download with its file.
    ~QNUpdateChecker() override;

    // The maker's site; in test rigs QUILLON_UPDATE_BASE_URL (an http or https address with a host)
    // gives the scheme, host and port instead.
    static QUrl defaultBaseURL();
    static QString applicationVersion();
    // A new, empty, owner-only file for the download in folder: "QuillonUpdateCheck", else the first
    // of "QuillonUpdateCheck-1" ... "-99" that does not exist. Created exclusively, so a name someone
    // else put there first (a link in a shared /tmp, say) is passed over and never followed. Null when
    // every name is taken or the folder cannot be written.
    static QString updateDownloadFilePath(const QString& folder);
    // address (one of the kQNURL constants) with the base's scheme, host and port.
    QUrl urlWithBase(const QString& address) const;

    // The "checkForUpdates" setting as a settings load finds it. On: schedules the next check for
    // "nextUpdateCheckDate" (writing it a week ahead when absent), at the earliest after the minimum
    // interval, replacing any pending timer. Off: cancels the pending check and any download.
    void setCheckForUpdates(bool on, const QVariantMap& preferences);
    // For good, at quit: nothing more is scheduled, and an alert still open is not acted upon.
    void stop();

    // The timer fired: starts a check, advances "nextUpdateCheckDate" and schedules the next check.
    void updateCheckTimer();
    // Each replaces (and stops or cancels) the previous one; none clears it.
    void setUpdateCheckTimer(QTimer* timer);
    void setUpdateURLDownload(QNetworkReply* download);
    // A started download of the update-check address into filePath, caches ignored, with the time-out.
    QNetworkReply* updateDownload(const QString& filePath);
    // The download's two ends: the file is evaluated, or only cleaned up.
    void downloadDidFinish(QNetworkReply* download);
    void download(QNetworkReply* download, QNetworkReply::NetworkError error);

    bool checkForUpdates() const { return _checkForUpdates; }
    // The pending timer's interval; none without a pending check.
    std::optional<std::chrono::milliseconds> scheduledInterval() const;
    bool downloading() const { return _updateURLDownload != nullptr; }
    QString updateFilePath() const { return _updateFilePath; }

private:
    static constexpr std::chrono::milliseconds milliseconds(double seconds) {
        return std::chrono::milliseconds(qint64(seconds * 1000.0));
    }

    void scheduleUpdateCheck(std::chrono::milliseconds interval);
    // Keeps what arrived; false when that ended the download.
    bool readDownload();
    void downloadEnded();
    void cancelDownload();
    void removeUpdateFile();
    void showUpdateAlert(const QString& version);

    Parts _parts;
    std::unique_ptr<QNetworkAccessManager> _ownNetworkAccessManager;
    bool _checkForUpdates = false;
    bool _stopped = false;
    QTimer* _updateCheckTimer = nullptr;
    QNetworkReply* _updateURLDownload = nullptr;
    QString _updateFilePath;
    std::unique_ptr<QFile> _updateFile;
    QTimer* _downloadDeadline = nullptr;
    qint64 _bodyLength = 0;
};
