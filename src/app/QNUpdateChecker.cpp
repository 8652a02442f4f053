#include "app/QNUpdateChecker.h"

#include "platform/QNSystemServices.h"
#include "util/QNAlertPresenter.h"
#include "util/QNStrings.h"
#include "util/QNUtilities.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QStringDecoder>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// The whole body as text, or none when it is not valid UTF-8.
QString decodedVersion(const QByteArray& body) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(body);
    return decoder.hasError() ? QString() : text;
}

// A reply that carries the server's answer: success, or an HTTP error status whose body counts all the
// same. Everything else (no connection, a broken transfer, the time-out) is a failed download.
bool answeredByServer(const QNetworkReply* reply) {
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
        return false;
    }
    const int error = reply->error();
    return error == QNetworkReply::NoError ||
           (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError) ||
           (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}

} // namespace

QNUpdateChecker::QNUpdateChecker(Parts parts, QObject* parent)
    : QObject(parent)
    , _parts(std::move(parts)) {
    if (_parts.temporaryFolder.isEmpty()) {
        _parts.temporaryFolder = QDir::tempPath();
    }
    // The request's own time-out only notices silence; this one also ends a transfer that trickles on.
    _downloadDeadline = new QTimer(this);
    _downloadDeadline->setSingleShot(true);
    connect(_downloadDeadline, &QTimer::timeout, this, [this] {
        if (_updateURLDownload) {
            download(_updateURLDownload, QNetworkReply::TimeoutError);
        }
    });
}

QNUpdateChecker::~QNUpdateChecker() {
    setUpdateCheckTimer(nullptr);
    cancelDownload();
}

QUrl QNUpdateChecker::defaultBaseURL() {
    const QUrl fixed(kQNURLBase);
    const QString replacement = qEnvironmentVariable("QUILLON_UPDATE_BASE_URL");
    if (replacement.isEmpty()) {
        return fixed;
    }
    const QUrl url(replacement, QUrl::StrictMode);
    const bool web = url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
    return url.isValid() && web && !url.host().isEmpty() ? url : fixed;
}

QString QNUpdateChecker::applicationVersion() {
    return QStringLiteral(QUILLON_VERSION);
}

QUrl QNUpdateChecker::urlWithBase(const QString& address) const {
    QUrl url(address);
    url.setScheme(_parts.baseURL.scheme());
    url.setHost(_parts.baseURL.host());
    url.setPort(_parts.baseURL.port());
    return url;
}

QString QNUpdateChecker::updateDownloadFilePath(const QString& folder) {
    if (folder.isEmpty()) {
        return QString();
    }
    const QDir directory(folder);
    for (int number = 0; number <= kQNUpdateCheckFileNumberMaximum; ++number) {
        const QString name = number == 0 ? kQNCheckForUpdateFileName
                                         : QStringLiteral("%1-%2").arg(kQNCheckForUpdateFileName).arg(number);
        const QString path = directory.filePath(name);
        // O_EXCL also refuses a dangling link; only a file made here and now is ours to write.
        const int descriptor =
            ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (descriptor >= 0) {
            ::close(descriptor);
            return path;
        }
        if (errno != EEXIST) {
            return QString();
        }
    }
    return QString();
}

// Scheduling

void QNUpdateChecker::setCheckForUpdates(bool on, const QVariantMap& preferences) {
    _checkForUpdates = on;
    if (!on) {
        setUpdateCheckTimer(nullptr);
        cancelDownload();
        return;
    }
    if (_stopped) {
        return;
    }
    const QDateTime now = _parts.now();
    const QVariant stored = preferences.value(kQNUserDefaultNextUpdateCheckDate);
    QDateTime next = stored.typeId() == QMetaType::QDateTime ? stored.toDateTime() : QDateTime();
    if (!next.isValid()) {
        next = now.addMSecs(_parts.checkInterval.count());
        _parts.savePreferenceObject(next, kQNUserDefaultNextUpdateCheckDate);
    }
    // A check that fell due meanwhile runs shortly after the load. A date more than a week ahead cannot
    // be one this agent wrote (the clock was wrong then): it waits no longer than a week.
    const std::chrono::milliseconds left(now.msecsTo(next));
    scheduleUpdateCheck(
        std::clamp(left, _parts.minimumInterval, std::max(_parts.minimumInterval, _parts.checkInterval)));
}

void QNUpdateChecker::stop() {
    _stopped = true;
    setUpdateCheckTimer(nullptr);
    cancelDownload();
}

void QNUpdateChecker::scheduleUpdateCheck(std::chrono::milliseconds interval) {
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setInterval(interval);
    connect(timer, &QTimer::timeout, this, &QNUpdateChecker::updateCheckTimer);
    timer->start();
    setUpdateCheckTimer(timer);
}

void QNUpdateChecker::setUpdateCheckTimer(QTimer* timer) {
    if (_updateCheckTimer == timer) {
        return;
    }
    if (_updateCheckTimer) {
        _updateCheckTimer->stop();
        // Later: the old timer may be the one whose signal is running now.
        _updateCheckTimer->deleteLater();
    }
    _updateCheckTimer = timer;
}

std::optional<std::chrono::milliseconds> QNUpdateChecker::scheduledInterval() const {
    if (!_updateCheckTimer || !_updateCheckTimer->isActive()) {
        return std::nullopt;
    }
    return _updateCheckTimer->intervalAsDuration();
}

void QNUpdateChecker::updateCheckTimer() {
    if (_stopped) {
        return;
    }
    cancelDownload();
    _updateFilePath = updateDownloadFilePath(_parts.temporaryFolder);
    if (!_updateFilePath.isNull()) {
        setUpdateURLDownload(updateDownload(_updateFilePath));
        if (!_updateURLDownload) {
            removeUpdateFile();
        }
    }
    // Advanced before the result is known: a failed check waits for the next one.
    _parts.savePreferenceObject(_parts.now().addMSecs(_parts.checkInterval.count()), kQNUserDefaultNextUpdateCheckDate);
    scheduleUpdateCheck(_parts.checkInterval);
}

// The download

QNetworkReply* QNUpdateChecker::updateDownload(const QString& filePath) {
    // The file was just made for us; never follow a link put in its place since.
    const int descriptor = ::open(QFile::encodeName(filePath).constData(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) {
        return nullptr;
    }
    _updateFile = std::make_unique<QFile>();
    if (!_updateFile->open(descriptor, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        _updateFile.reset();
        return nullptr;
    }
    if (!_parts.networkAccessManager) {
        _ownNetworkAccessManager = std::make_unique<QNetworkAccessManager>();
        _parts.networkAccessManager = _ownNetworkAccessManager.get();
    }
    QNetworkRequest request(urlWithBase(kQNURLCheckForUpdate));
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setTransferTimeout(int(_parts.timeout.count()));
    QNetworkReply* reply = _parts.networkAccessManager->get(request);
    reply->setReadBufferSize(kQNUpdateCheckMaximumLength + 1);
    _bodyLength = 0;
    connect(reply, &QNetworkReply::readyRead, this, [this] { readDownload(); });
    connect(reply, &QNetworkReply::finished, this, &QNUpdateChecker::downloadEnded);
    _downloadDeadline->start(_parts.timeout);
    return reply;
}

void QNUpdateChecker::setUpdateURLDownload(QNetworkReply* download) {
    if (_updateURLDownload == download) {
        return;
    }
    if (_updateURLDownload) {
        _updateURLDownload->disconnect(this);
        _updateURLDownload->abort();
        _updateURLDownload->deleteLater();
    }
    _updateURLDownload = download;
    if (!download) {
        _downloadDeadline->stop();
    }
}

bool QNUpdateChecker::readDownload() {
    QNetworkReply* reply = _updateURLDownload;
    if (!reply) {
        return false;
    }
    const QByteArray chunk = reply->read(kQNUpdateCheckMaximumLength + 1 - _bodyLength);
    _bodyLength += chunk.size();
    // A body longer than any version file, or one that cannot be kept, ends the download as failed.
    if (_bodyLength > kQNUpdateCheckMaximumLength || _updateFile->write(chunk) != chunk.size()) {
        download(reply, QNetworkReply::UnknownContentError);
        return false;
    }
    return true;
}

void QNUpdateChecker::downloadEnded() {
    QNetworkReply* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply || reply != _updateURLDownload || !readDownload()) {
        return;
    }
    if (answeredByServer(reply) && _updateFile->flush()) {
        downloadDidFinish(reply);
    } else {
        download(reply, reply->error());
    }
}

void QNUpdateChecker::downloadDidFinish(QNetworkReply*) {
    _updateFile.reset();
    QFile file(_updateFilePath);
    const QByteArray body = file.open(QIODevice::ReadOnly) ? file.read(kQNUpdateCheckMaximumLength + 1) : QByteArray();
    file.close();
    // Done with the download before the alert, which may stay open for long.
    setUpdateURLDownload(nullptr);
    removeUpdateFile();
    if (body.size() > kQNUpdateCheckMaximumLength) {
        return;
    }

    // Read afresh: the settings tool may have saved a skip version meanwhile.
    const QVariantMap preferences = _parts.loadPreferences();
    const QVariant storedSkip = preferences.value(kQNUserDefaultSkipUpdateVersion);
    const QString skipVersion = storedSkip.typeId() == QMetaType::QString ? storedSkip.toString() : QString();
    // Not UTF-8: no version text, which is never newer than anything.
    const QString version = decodedVersion(body);
    if (QNUtilities::compareVersionString(skipVersion, version) == -1 &&
        QNUtilities::compareVersionString(_parts.runningVersion, version) == -1) {
        showUpdateAlert(version);
    }
}

void QNUpdateChecker::download(QNetworkReply*, QNetworkReply::NetworkError) {
    // Silent: the next check comes a week later.
    cancelDownload();
}

void QNUpdateChecker::cancelDownload() {
    setUpdateURLDownload(nullptr);
    removeUpdateFile();
}

void QNUpdateChecker::removeUpdateFile() {
    _updateFile.reset();
    if (!_updateFilePath.isNull()) {
        QFile::remove(_updateFilePath);
        _updateFilePath.clear();
    }
}

// The alert

void QNUpdateChecker::showUpdateAlert(const QString& version) {
    const QNStrings& strings = *_parts.strings;
    QNAlert alert;
    // The version as one would write it; a line feed at the end of the file is not part of it.
    alert.messageText =
        QStringLiteral("%1 (%2).").arg(strings.localizedString(QStringLiteral("updateNeedsUpdate")), version.trimmed());
    alert.defaultButton = strings.localizedString(QStringLiteral("download"));
    alert.alternateButton = strings.localizedString(QStringLiteral("learnMore"));
    alert.otherButton = strings.localizedString(QStringLiteral("skipVersion"));
    const bool interactive = _parts.alertPresenter->interactive();
    if (!interactive) {
        // Nobody can click: the report says where the new version is, and nothing is opened or skipped.
        alert.informativeText = urlWithBase(kQNURLDownload).toString();
    }
    const QNAlertResponse response = _parts.alertPresenter->runModal(alert);
    // An alert ended by the quit was not answered by anyone.
    if (!interactive || _stopped) {
        return;
    }
    switch (response) {
    case QNAlertDefaultReturn:
        _parts.systemServices->openUrl(urlWithBase(kQNURLDownload));
        break;
    case QNAlertAlternateReturn:
        _parts.systemServices->openUrl(urlWithBase(kQNURLLearnMore));
        break;
    case QNAlertOtherReturn:
        _parts.savePreferenceObject(version, kQNUserDefaultSkipUpdateVersion);
        break;
    }
}
