#include "platform/QNAgentLock.h"

#include "util/QNSystemError.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The folder exists (made here when missing), is a real folder of this user, and nobody else may enter it.
bool checkDirectory(const QByteArray& path, QString* message) {
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        *message = QStringLiteral("cannot make %1: %2").arg(QFile::decodeName(path), QNSystemErrorText());
        return false;
    }
    struct stat status {};
    if (::lstat(path.constData(), &status) != 0) {
        *message = QStringLiteral("cannot look at %1: %2").arg(QFile::decodeName(path), QNSystemErrorText());
        return false;
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::getuid() || (status.st_mode & 077) != 0) {
        *message = QStringLiteral("%1 is not a folder of this user closed to others").arg(QFile::decodeName(path));
        return false;
    }
    return true;
}

} // namespace

QNAgentLock::~QNAgentLock() {
    if (_fd >= 0) {
        ::close(_fd);
    }
}

QString QNAgentLock::defaultDirectoryPath() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        return runtime + QStringLiteral("/quillon");
    }
    return QStringLiteral("/tmp/quillon-%1").arg(::getuid());
}

QNAgentLock::Result QNAgentLock::acquire(const QString& directoryPath, QString* message) {
    const QByteArray directory = QFile::encodeName(directoryPath);
    if (!checkDirectory(directory, message)) {
        return Result::Failed;
    }
    const QByteArray path = directory + "/agent.lock";
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *message = QStringLiteral("cannot open %1: %2").arg(QFile::decodeName(path), QNSystemErrorText());
        return Result::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        *message =
            held ? QString() : QStringLiteral("cannot lock %1: %2").arg(QFile::decodeName(path), QNSystemErrorText());
        if (held) {
            // The holder wrote its process number; a short read only loses that detail.
            char buffer[32] = {};
            const ssize_t count = ::pread(fd, buffer, sizeof buffer - 1, 0);
            const QByteArray pid = QByteArray(buffer, count > 0 ? qsizetype(count) : 0).trimmed();
            bool numeric = false;
            pid.toLongLong(&numeric);
            if (numeric) {
                *message = QStringLiteral("process %1").arg(QString::fromLatin1(pid));
            }
        }
        ::close(fd);
        return held ? Result::HeldByAnother : Result::Failed;
    }
    // For the message a second agent prints; should the write fail, only that detail is lost.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    [[maybe_unused]] const bool written =
        ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) == pid.size();
    _fd = fd;
    return Result::Acquired;
}
