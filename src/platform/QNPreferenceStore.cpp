#include "platform/QNPreferenceStore.h"

#include "util/QNSystemError.h"

#include "platform/QNPlistCodec.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kTemporarySuffix = QStringLiteral(".tmp-");

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

int closeDescriptor(int fd) {
    // Linux releases the descriptor even when close reports EINTR, so it is never retried.
    return ::close(fd);
}

// An open descriptor closed when the owner goes away.
class Descriptor {
public:
    explicit Descriptor(int fd = -1)
        : _fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    int get() const { return _fd; }
    bool valid() const { return _fd >= 0; }
    void reset(int fd = -1) {
        if (_fd >= 0) {
            closeDescriptor(_fd);
        }
        _fd = fd;
    }
    int release() {
        const int fd = _fd;
        _fd = -1;
        return fd;
    }

private:
    int _fd;
};

// Creates the missing folders of a path owner-only, and takes group and other access off the last one when it is ours.
bool ensureFolder(const QString& folder, QString* error) {
    const QString clean = QDir::cleanPath(QDir(folder).absolutePath());
    const QStringList parts = clean.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString path;
    for (const QString& part : parts) {
        path += QLatin1Char('/') + part;
        struct stat existing {};
        if (::stat(encoded(path).constData(), &existing) == 0) {
            continue;
        }
        if (::mkdir(encoded(path).constData(), 0700) != 0 && errno != EEXIST) {
            *error = QStringLiteral("cannot create the folder %1: %2").arg(path, QNSystemErrorText(errno));
            return false;
        }
    }
    struct stat status {};
    if (::stat(encoded(clean).constData(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        *error = QStringLiteral("%1 is not a folder").arg(clean);
        return false;
    }
    // Tighten only: a folder the user made read-only stays read-only.
    if (status.st_uid == ::geteuid() && (status.st_mode & 077) != 0) {
        ::chmod(encoded(clean).constData(), status.st_mode & 07700);
    }
    return true;
}

// Opens a regular file without waiting: a FIFO put in its place would block open() until a writer came.
// Anything but a regular file is refused. On failure returns -1 with the reason in *problem; errno then
// still tells a missing file apart.
int openRegularFile(const QString& path, int flags, mode_t mode, QString* problem) {
    Descriptor file(::open(encoded(path).constData(), flags | O_NONBLOCK | O_CLOEXEC, mode));
    struct stat status {};
    int statusFlags = -1;
    if (!file.valid() || ::fstat(file.get(), &status) != 0 ||
        (S_ISREG(status.st_mode) && (statusFlags = ::fcntl(file.get(), F_GETFL)) < 0) ||
        (S_ISREG(status.st_mode) && ::fcntl(file.get(), F_SETFL, statusFlags & ~O_NONBLOCK) != 0)) {
        const int code = errno;
        *problem = QNSystemErrorText(code);
        file.reset();
        errno = code;
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        *problem = QStringLiteral("not a regular file");
        errno = EINVAL;
        return -1;
    }
    return file.release();
}

// The exclusive lock on the sibling ".lock" file, held until destruction.
class FileLock {
public:
    bool acquire(const QString& lockPath, QString* error) {
        // Not through a symbolic link: the lock file is created in the user's folder, never elsewhere.
        QString problem;
        _descriptor.reset(openRegularFile(lockPath, O_RDWR | O_CREAT | O_NOFOLLOW, 0600, &problem));
        if (!_descriptor.valid()) {
            *error = QStringLiteral("cannot open the lock file %1: %2").arg(lockPath, problem);
            return false;
        }
        while (::flock(_descriptor.get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                *error = QStringLiteral("cannot lock %1: %2").arg(lockPath, QNSystemErrorText(errno));
                _descriptor.reset();
                return false;
            }
        }
        return true;
    }

private:
    Descriptor _descriptor;
};

bool writeAll(int fd, const QByteArray& data, QString* error) {
    const char* bytes = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, bytes, size_t(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            *error = QNSystemErrorText(errno);
            return false;
        }
        bytes += written;
        left -= written;
    }
    return true;
}

void syncFolder(const QString& folder) {
    Descriptor directory(::open(encoded(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.valid()) {
        ::fsync(directory.get());
    }
}

} // namespace

QNPreferenceStore::QNPreferenceStore()
    : QNPreferenceStore(defaultFilePath()) {}

QNPreferenceStore::QNPreferenceStore(const QString& filePath)
    : _filePath(filePath) {}

QString QNPreferenceStore::defaultFilePath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    // XDG base directories: a relative value is ignored.
    if (base.isEmpty() || QDir::isRelativePath(base)) {
        base = QDir::homePath() + QStringLiteral("/.config");
    }
    return base + QStringLiteral("/quillon/") + kQNNotificationIdentifierApplication + QStringLiteral(".plist");
}

QVariantMap QNPreferenceStore::loadPreferences() {
    // Nothing is created for a plain read: without the folder there is no file either.
    if (!QFileInfo(QFileInfo(_filePath).absolutePath()).isDir()) {
        _preferences.clear();
        return _preferences;
    }
    FileLock lock;
    QString ignored;
    // A folder we cannot write to still allows reading: writes replace the file by rename, so an unlocked
    // read sees one whole version or the other.
    const bool locked = lock.acquire(lockFilePath(), &ignored);
    _preferences = readLocked(locked).value_or(QVariantMap());
    return _preferences;
}

bool QNPreferenceStore::savePreferenceObject(const QVariant& object, const QString& key) {
    return updatePreferences([&](QVariantMap& preferences) {
        preferences.insert(key, object);
        return true;
    });
}

bool QNPreferenceStore::removePreferenceObjectWithKey(const QString& key) {
    return updatePreferences([&](QVariantMap& preferences) {
        preferences.remove(key);
        return true;
    });
}

bool QNPreferenceStore::updatePreferences(const Change& change) {
    QString error;
    const QString folder = QFileInfo(_filePath).absolutePath();
    if (!ensureFolder(folder, &error)) {
        return fail(error);
    }
    FileLock lock;
    if (!lock.acquire(lockFilePath(), &error)) {
        return fail(error);
    }
    const auto current = readLocked(true);
    if (!current) {
        return fail(
            QStringLiteral("%1 cannot be read and was not moved aside, so it is left untouched").arg(_filePath));
    }
    QVariantMap domain = *current;
    if (!change(domain)) {
        _preferences = *current;
        return true;
    }
    if (!writeLocked(domain)) {
        _preferences = *current;
        return false;
    }
    _preferences = domain;
    return true;
}

QNPreferenceStore::ReadResult QNPreferenceStore::readFile() const {
    ReadResult result;
    Descriptor file(openRegularFile(_filePath, O_RDONLY, 0, &result.problem));
    if (!file.valid()) {
        result.outcome = errno == ENOENT ? ReadOutcome::Missing : ReadOutcome::Damaged;
        return result;
    }
    QByteArray data;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            result.outcome = ReadOutcome::Damaged;
            result.problem = QNSystemErrorText(errno);
            return result;
        }
        if (count == 0) {
            break;
        }
        // One byte over the limit is enough for the codec to refuse it.
        if (data.size() > QNPlistCodec::kMaximumInputSize) {
            break;
        }
        data.append(buffer, count);
    }
    QString problem;
    auto domain = QNPlistCodec::dictionaryWithData(data, &problem);
    if (!domain) {
        result.outcome = ReadOutcome::Damaged;
        result.problem = problem;
        return result;
    }
    result.outcome = ReadOutcome::Read;
    result.domain = *domain;
    return result;
}

std::optional<QVariantMap> QNPreferenceStore::readLocked(bool lockHeld) {
    ReadResult result = readFile();
    if (result.outcome != ReadOutcome::Damaged) {
        return result.domain;
    }
    QString error = QStringLiteral("the preference folder is not writable");
    const auto asidePath = lockHeld ? setAside(&error) : std::nullopt;
    if (asidePath) {
        report(QNLocalizedString(QStringLiteral("preferencesSetAside")).arg(_filePath, result.problem, *asidePath));
        return QVariantMap();
    }
    report(QNLocalizedString(QStringLiteral("preferencesUnusable")).arg(_filePath, result.problem, error));
    return std::nullopt;
}

std::optional<QString> QNPreferenceStore::setAside(QString* error) const {
    const QString base = _filePath + QStringLiteral(".corrupt-") +
                         QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    for (int attempt = 1; attempt < 1000; ++attempt) {
        const QString candidate = attempt == 1 ? base : base + QLatin1Char('-') + QString::number(attempt);
        // link() refuses to replace an existing file, which rename() would do silently.
        if (::link(encoded(_filePath).constData(), encoded(candidate).constData()) == 0) {
            ::unlink(encoded(_filePath).constData());
            return candidate;
        }
        if (errno == EEXIST) {
            continue;
        }
        // Some file systems have no hard links; the lock keeps our own writers out meanwhile.
        if ((errno == EPERM || errno == ENOTSUP) && !QFileInfo::exists(candidate) &&
            ::rename(encoded(_filePath).constData(), encoded(candidate).constData()) == 0) {
            return candidate;
        }
        *error = QNSystemErrorText(errno);
        return std::nullopt;
    }
    *error = QStringLiteral("too many set-aside files");
    return std::nullopt;
}

bool QNPreferenceStore::writeLocked(const QVariantMap& domain) {
    QString error;
    const auto data = QNPlistCodec::dataWithPropertyList(domain, QNPlistCodec::Format::XML, &error);
    if (!data) {
        return fail(QStringLiteral("the preferences cannot be stored, %1 is left as it was: %2").arg(_filePath, error));
    }
    removeStaleTemporaryFiles();
    const QFileInfo info(_filePath);
    const QString folder = info.absolutePath();
    QByteArray temporaryPath =
        encoded(folder + QStringLiteral("/.") + info.fileName() + kTemporarySuffix + QStringLiteral("XXXXXX"));
    Descriptor file(::mkostemp(temporaryPath.data(), O_CLOEXEC));
    if (!file.valid()) {
        return fail(QStringLiteral("cannot create a temporary file in %1: %2").arg(folder, QNSystemErrorText(errno)));
    }
    auto abandon = [&](const QString& what) {
        const int code = errno;
        file.reset();
        ::unlink(temporaryPath.constData());
        return fail(
            QStringLiteral("cannot write %1: %2").arg(_filePath, what.isEmpty() ? QNSystemErrorText(code) : what));
    };
    if (::fchmod(file.get(), 0600) != 0) {
        return abandon(QString());
    }
    if (!writeAll(file.get(), *data, &error)) {
        return abandon(error);
    }
    if (::fsync(file.get()) != 0) {
        return abandon(QString());
    }
    if (closeDescriptor(file.release()) != 0) {
        return abandon(QString());
    }
    if (::rename(temporaryPath.constData(), encoded(_filePath).constData()) != 0) {
        return abandon(QString());
    }
    syncFolder(folder);
    return true;
}

void QNPreferenceStore::removeStaleTemporaryFiles() const {
    // Only called under the lock: every writer holds it while its temporary file exists, so any left
    // over now belongs to a writer that died.
    const QFileInfo info(_filePath);
    const QByteArray prefix = encoded(QStringLiteral(".") + info.fileName() + kTemporarySuffix);
    DIR* directory = ::opendir(encoded(info.absolutePath()).constData());
    if (!directory) {
        return;
    }
    const int folderDescriptor = ::dirfd(directory);
    while (const dirent* entry = ::readdir(directory)) {
        if (std::strncmp(entry->d_name, prefix.constData(), size_t(prefix.size())) == 0) {
            ::unlinkat(folderDescriptor, entry->d_name, 0);
        }
    }
    ::closedir(directory);
}

void QNPreferenceStore::report(const QString& message) {
    if (message == _lastReport) {
        return;
    }
    _lastReport = message;
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
    if (_reporter) {
        _reporter(message);
    }
}

bool QNPreferenceStore::fail(const QString& error) {
    _lastError = error;
    return false;
}
