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

void appendUtf8(QByteArray& out, char32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// Characters that end, overwrite or hide lines in a viewer: C0 controls but the tab, DEL, C1 controls and the
// Unicode line and paragraph separators.
bool needsEscape(char32_t c) {
    return (c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

void appendVisible(QByteArray& out, char32_t c) {
    if (!needsEscape(c)) {
        appendUtf8(out, c);
    } else if (c == 0) {
        out += "\\0";
    } else if (c == '\r') {
        out += "\\r";
    } else if (c == '\n') {
        out += "\\n";
    } else if (c < 0x100) {
        out += "\\x" + QByteArray::number(uint(c), 16).toUpper().rightJustified(2, '0');
    } else {
        out += "\\u" + QByteArray::number(uint(c), 16).toUpper();
    }
}

// Appends text so that it stays on one line of at most maximum bytes (out's content included): its final line
// end, if any, is kept; everything else that would break the line is escaped; what does not fit is cut at a
// character boundary and replaced by a note. Only as much of the text is looked at as can be written.
void appendHarmless(QByteArray& out, QStringView text, qsizetype maximum) {
    QByteArray lineEnd;
    if (text.endsWith(u"\r\n")) {
        lineEnd = "\r\n";
    } else if (text.endsWith(u'\n')) {
        lineEnd = "\n";
    }
    text.chop(lineEnd.size());
    const QByteArray note = ' ' + QNLocalizedString(QStringLiteral("log line cut")).arg(maximum).toUtf8();
    const qsizetype room = maximum - lineEnd.size();
    // The longest prefix that still leaves room for the note.
    qsizetype keep = out.size();
    const qsizetype length = text.size();
    for (qsizetype i = 0; i < length; ++i) {
        char32_t c = text.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < length && text.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(char16_t(c), text.at(i + 1).unicode());
            ++i;
        } else if (QChar::isSurrogate(c)) {
            c = 0xFFFD;
        }
        appendVisible(out, c);
        if (out.size() > room) {
            out.truncate(keep);
            out += note;
            break;
        }
        if (out.size() + note.size() <= room) {
            keep = out.size();
        }
    }
    out += lineEnd;
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

QNActivityLog::QNActivityLog(const QString& directoryPath, LoggingFlagSender loggingFlagSender, qint64 maximumFileSize)
    : _directoryPath(directoryPath)
    , _loggingFlagSender(std::move(loggingFlagSender))
    , _maximumFileSize(maximumFileSize) {}

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
            ::unlink(QFile::encodeName(previousLogFilePath()).constData());
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

QString QNActivityLog::previousLogFilePath() const {
    return _logFilePath.isEmpty() ? QString() : _logFilePath + kQNApplicationLogPreviousFileSuffix;
}

void QNActivityLog::appendLogString(const QString& text) {
    if (_logFileHandle < 0) {
        return;
    }
    QByteArray line = localTimestamp() + " - ";
    appendHarmless(line, text, kQNApplicationLogMaximumLineLength);
    if (_fileSize > 0 && _fileSize + line.size() > _maximumFileSize && !startNewFile()) {
        return;
    }
    writeLine(line);
}

void QNActivityLog::writeLine(const QByteArray& line) {
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
        _fileSize += written;
    }
    ::fdatasync(_logFileHandle);
}

bool QNActivityLog::startNewFile() {
    closeLogFile();
    // When the full file cannot be set aside or a new one made, nothing more is written until logging is turned
    // off (which still deletes what is there) and on again.
    if (::rename(QFile::encodeName(_logFilePath).constData(), QFile::encodeName(previousLogFilePath()).constData()) !=
            0 ||
        !openLogFile()) {
        return false;
    }
    const QString note = QNLocalizedString(QStringLiteral("log continued"))
                             .arg(kQNApplicationLogFileName + kQNApplicationLogPreviousFileSuffix);
    QByteArray line = localTimestamp() + " - ";
    appendHarmless(line, applicationLogText(note, true), kQNApplicationLogMaximumLineLength);
    writeLine(line);
    return true;
}

bool QNActivityLog::openLogFile() {
    if (!makePrivateDirectory(_directoryPath)) {
        return false;
    }
    const QString path = _directoryPath + QLatin1Char('/') + kQNApplicationLogFileName;
    const QByteArray native = QFile::encodeName(path);
    // Appends to what an earlier run may have left. Whatever else may sit at the path is refused: a link
    // (O_NOFOLLOW, or a second name of someone's file), a FIFO or device (O_NONBLOCK keeps the open itself from
    // waiting for a reader), a file of another user.
    const int handle = ::open(native.constData(),
                              O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    if (handle < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(handle, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 || info.st_uid != ::geteuid()) {
        ::close(handle);
        return false;
    }
    ::fchmod(handle, 0600);
    _logFileHandle = handle;
    _logFilePath = path;
    _fileSize = info.st_size;
    return true;
}
void QNActivityLog::closeLogFile() {
    if (_logFileHandle >= 0) {
        ::close(_logFileHandle);
        _logFileHandle = -1;
    }
}
