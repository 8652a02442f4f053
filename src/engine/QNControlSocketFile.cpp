#include "QNControlSocketFile.h"

#include "util/QNSystemError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <utility>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool fillAddress(const QByteArray& path, sockaddr_un* address) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof address->sun_path) {
        return false;
    }
    std::memcpy(address->sun_path, path.constData(), size_t(path.size()));
    return true;
}

} // namespace

QNControlSocketFile::QNControlSocketFile(QString path)
    : _path(std::move(path)) {}

QNControlSocketFile::~QNControlSocketFile() {
    close();
}

int QNControlSocketFile::listen(int backlog, QString* error, bool* removedStale) {
    const QByteArray path = QFile::encodeName(_path);
    sockaddr_un address;
    if (!fillAddress(path, &address)) {
        *error = QStringLiteral("the socket path is empty or too long: %1").arg(_path);
        return -1;
    }
    const QString folder = QFileInfo(_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create the folder %1").arg(folder);
        return -1;
    }
    if (!clearStale(error, removedStale)) {
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(fd, backlog) < 0) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(_path, QNSystemErrorText(errno));
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    struct stat status {};
    if (::stat(path.constData(), &status) == 0) {
        _device = status.st_dev;
        _inode = status.st_ino;
    }
    _fd = fd;
    return fd;
}

void QNControlSocketFile::close() {
    if (_fd < 0) {
        return;
    }
    ::close(_fd);
    _fd = -1;
    // Only the file this process bound: a successor may already have put its own in place.
    const QByteArray path = QFile::encodeName(_path);
    struct stat status {};
    if (::lstat(path.constData(), &status) == 0 && status.st_dev == _device && status.st_ino == _inode) {
        ::unlink(path.constData());
    }
}

bool QNControlSocketFile::clearStale(QString* error, bool* removedStale) {
    if (removedStale != nullptr) {
        *removedStale = false;
    }
    const QByteArray path = QFile::encodeName(_path);
    struct stat status {};
    if (::lstat(path.constData(), &status) < 0) {
        if (errno == ENOENT) {
            return true;
        }
        *error = QStringLiteral("cannot examine %1: %2").arg(_path, QNSystemErrorText(errno));
        return false;
    }
    if (!S_ISSOCK(status.st_mode)) {
        // Never remove something that is not ours to remove.
        *error = QStringLiteral("%1 exists and is not a socket").arg(_path);
        return false;
    }
    // A socket file is either a live engine's or left behind by one that died: only connecting tells.
    sockaddr_un address;
    fillAddress(path, &address);
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        *error = QStringLiteral("cannot create a socket: %1").arg(QNSystemErrorText(errno));
        return false;
    }
    const int result = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int connectError = errno;
    ::close(probe);
    // A full backlog (EAGAIN) still means someone is listening.
    if (result == 0 || connectError == EAGAIN) {
        *error = QStringLiteral("another engine is already listening on %1").arg(_path);
        return false;
    }
    if (connectError != ECONNREFUSED) {
        *error = QStringLiteral("cannot use %1: %2").arg(_path, QNSystemErrorText(connectError));
        return false;
    }
    if (::unlink(path.constData()) < 0 && errno != ENOENT) {
        *error = QStringLiteral("cannot remove the stale socket %1: %2").arg(_path, QNSystemErrorText(errno));
        return false;
    }
    if (removedStale != nullptr) {
        *removedStale = true;
    }
    return true;
}
