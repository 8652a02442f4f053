#include "app/QNActivityLog.h"

#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kLogFolderName = "quillon";

// mkdir -p where every folder we create is private to the user: the log names hosts the user visits.
bool makePrivateDirectory(const QString& path) {
    const QByteArray native = QFile::encodeName(QDir::cleanPath(path));
    struct stat info {};
    if (::stat(native.constData(), &info) == 0) {
        return S_ISDIR(info.st_mode);
    }
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash > 0 && !makePrivateDirectory(path.left(slash))) {
        return false;
    }
    return ::mkdir(native.constData(), 0700) == 0 || errno == EEXIST;
}

QByteArray localTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return QByteArray(text, qsizetype(length));
}

} // namespace

QNActivityLog::QNActivityLog(const QString& directoryPath, LoggingFlagSender loggingFlagSender)
    : _directoryPath(directoryPath)
    , _loggingFlagSender(std::move(loggingFlagSender)) {}

QNActivityLog::~QNActivityLog() {
    // Only closes: deleting the file is enableLogging(false)'s business, run at every orderly quit.
    closeLogFile();
}

QString QNActivityLog::defaultDirectoryPath() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) {
        const QString home = qEnvironmentVariable("HOME");
        if (home.isEmpty()) {
            return QString();
        }
        base = home + QStringLiteral("/.local/state");
    }
    return QDir::cleanPath(base + QLatin1Char('/') + QLatin1StringView(kLogFolderName));
}

QString QNActivityLog::applicationLogText(const QString& text, bool displayVersion) {
    if (displayVersion) {
        return QStringLiteral("%1 %2 - %3\r\n").arg(kQNApplicationProductName, QStringLiteral(QUILLON_VERSION), text);
    }
    return QStringLiteral("%1 - %2\r\n").arg(kQNApplicationProductName, text);
}

void QNActivityLog::enableLogging(bool on) {
    if (on == _loggingOn) {
        return;
    }
    if (on) {
        // No folder from the platform: logging is on, but lines go nowhere.
        if (!_directoryPath.isEmpty() && !openLogFile()) {
            // Left off without a word; the next settings load tries again.
            return;
        }
        appendApplicationLogString(QNLocalizedString(QStringLiteral("log opened")), true);
    } else {
        appendApplicationLogString(QNLocalizedString(QStringLiteral("log closed")), true);
        const QString path = _logFilePath;
        closeLogFile();
        if (!path.isEmpty()) {
            ::unlink(QFile::encodeName(path).constData());
        }
        _logFilePath.clear();
    }
    if (_loggingFlagSender) {
        _loggingFlagSender();
    }
    _loggingOn = on;
}

void QNActivityLog::appendApplicationLogString(const QString& text, bool displayVersion) {
    appendLogString(applicationLogText(text, displayVersion));
}

void QNActivityLog::appendLogString(const QString& text) {
    if (_logFileHandle < 0) {
        return;
    }
    const QByteArray line = localTimestamp() + " - " + text.toUtf8();
    // One write per line (a short write is finished, not split into lines), then one flush to disk.
    // Errors are not reported: there is nowhere left to report them.
    const char* data = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(_logFileHandle, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        data += written;
        left -= written;
    }
    ::fdatasync(_logFileHandle);
}

bool QNActivityLog::openLogFile() {
    if (!makePrivateDirectory(_directoryPath)) {
        return false;
    }
    const QString path = _directoryPath + QLatin1Char('/') + kQNApplicationLogFileName;
    const QByteArray native = QFile::encodeName(path);
    // Appends to what an earlier run may have left; O_NOFOLLOW keeps a planted link from redirecting us.
    const int handle = ::open(native.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (handle < 0) {
        return false;
    }
    ::fchmod(handle, 0600);
    _logFileHandle = handle;
    _logFilePath = path;
    return true;
}

void QNActivityLog::closeLogFile() {
    if (_logFileHandle >= 0) {
        ::close(_logFileHandle);
        _logFileHandle = -1;
    }
}
