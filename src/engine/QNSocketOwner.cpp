#include "QNSocketOwner.h"

#include "engine/QNConnectHook.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype kRecentOwners = 32;

void fillAddress(const QNEngineTarget& endpoint, __be32* words) {
    if (endpoint.isIPv6) {
        for (int index = 0; index < 4; ++index) {
            words[index] = htonl(endpoint.address[size_t(index)]);
        }
    } else {
        words[0] = htonl(endpoint.address[3]);
    }
}

// "socket:[12345]" to 12345.
std::optional<quint64> socketLinkInode(const char* link, ssize_t length) {
    constexpr char kPrefix[] = "socket:[";
    constexpr ssize_t kPrefixLength = sizeof kPrefix - 1;
    if (length <= kPrefixLength + 1 || std::memcmp(link, kPrefix, size_t(kPrefixLength)) != 0 ||
        link[length - 1] != ']') {
        return std::nullopt;
    }
    quint64 value = 0;
    for (ssize_t index = kPrefixLength; index < length - 1; ++index) {
        if (link[index] < '0' || link[index] > '9') {
            return std::nullopt;
        }
        value = value * 10 + quint64(link[index] - '0');
    }
    return value;
}

} // namespace

QNSocketOwner::QNSocketOwner(QString procRoot)
    : _procRoot(std::move(procRoot)) {
    _netlink = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
}

QNSocketOwner::~QNSocketOwner() {
    if (_netlink >= 0) {
        ::close(_netlink);
    }
}

std::optional<QNSocketOwner::Socket> QNSocketOwner::socketOf(const QNEngineTarget& local,
                                                             const QNEngineTarget& remote) {
    if (_netlink < 0 || local.isIPv6 != remote.isIPv6) {
        return std::nullopt;
    }
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = local.isIPv6 ? AF_INET6 : AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = htons(local.port);
    message.request.id.idiag_dport = htons(remote.port);
    fillAddress(local, message.request.id.idiag_src);
    fillAddress(remote, message.request.id.idiag_dst);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(_netlink, &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) <
        0) {
        return std::nullopt;
    }
    alignas(nlmsghdr) char buffer[8192];
    const ssize_t count = ::recv(_netlink, buffer, sizeof buffer, 0);
    if (count < ssize_t(sizeof(nlmsghdr))) {
        return std::nullopt;
    }
    const auto* header = reinterpret_cast<const nlmsghdr*>(buffer);
    if (!NLMSG_OK(header, size_t(count)) || header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        return std::nullopt;
    }
    const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
    return Socket{diag->idiag_inode, quint64(diag->id.idiag_cookie[0]) | quint64(diag->id.idiag_cookie[1]) << 32};
}

QList<pid_t> QNSocketOwner::processesOf(quint32 uid) const {
    QList<pid_t> result;
    const QByteArray root = QFile::encodeName(_procRoot);
    DIR* directory = ::opendir(root.constData());
    if (directory == nullptr) {
        return result;
    }
    const int rootFd = ::dirfd(directory);
    while (const dirent* entry = ::readdir(directory)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        struct stat status {};
        if (pid <= 0 || *end != '\0' || ::fstatat(rootFd, entry->d_name, &status, 0) < 0 || status.st_uid != uid) {
            continue;
        }
        result.append(pid_t(pid));
    }
    ::closedir(directory);
    // Newest first: a connection just opened most often comes from a program just started.
    std::sort(result.begin(), result.end(), std::greater<>());
    return result;
}

bool QNSocketOwner::scan(pid_t pid, quint64 wanted) {
    const QByteArray path = QFile::encodeName(_procRoot) + '/' + QByteArray::number(pid) + "/fd";
    DIR* directory = ::opendir(path.constData());
    if (directory == nullptr) {
        return false;
    }
    const int fd = ::dirfd(directory);
    bool found = false;
    char link[64];
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const ssize_t length = ::readlinkat(fd, entry->d_name, link, sizeof link);
        const std::optional<quint64> inode = length > 0 ? socketLinkInode(link, length) : std::nullopt;
        if (!inode) {
            continue;
        }
        if (_owners.size() >= kMaximumRemembered) {
            _owners.clear();
        }
        _owners.insert(*inode, pid);
        found = found || *inode == wanted;
    }
    ::closedir(directory);
    return found;
}

void QNSocketOwner::noteOwner(pid_t pid) {
    _recent.removeAll(pid);
    _recent.prepend(pid);
    if (_recent.size() > kRecentOwners) {
        _recent.removeLast();
    }
}

std::optional<QString> QNSocketOwner::executableOf(quint64 inode, quint32 uid) {
    std::optional<pid_t> owner;
    if (const auto it = _owners.constFind(inode); it != _owners.cend()) {
        owner = *it;
    } else {
        // Recent owners first, and only then the list of all the user's processes, which costs a stat each.
        for (const pid_t pid : QList<pid_t>(_recent)) {
            if (scan(pid, inode)) {
                owner = pid;
                break;
            }
        }
        for (const pid_t pid : owner ? QList<pid_t>() : processesOf(uid)) {
            if (!_recent.contains(pid) && scan(pid, inode)) {
                owner = pid;
                break;
            }
        }
    }
    if (!owner) {
        return std::nullopt;
    }
    // The process must still be the user's: a pid may have been reused since it was remembered.
    const QByteArray base = QFile::encodeName(_procRoot) + '/' + QByteArray::number(*owner);
    struct stat status {};
    char path[4096];
    const ssize_t length = ::readlink((base + "/exe").constData(), path, sizeof path - 1);
    if (::stat(base.constData(), &status) < 0 || status.st_uid != uid || length <= 0) {
        _owners.remove(inode);
        return std::nullopt;
    }
    noteOwner(*owner);
    QString executable = QFile::decodeName(QByteArray(path, length));
    if (executable.endsWith(QStringLiteral(" (deleted)"))) {
        executable.chop(10); // replaced on disk since it started: still that program
    }
    return executable;
}

std::optional<QString> QNSocketOwner::executableOf(const QNEngineTarget& local, const QNEngineTarget& remote,
                                                   quint32 uid) {
    const std::optional<Socket> socket = socketOf(local, remote);
    if (!socket) {
        return std::nullopt;
    }
    if (_hook != nullptr) {
        // What the hook did not see (a connection older than the watch) stays unknown: no scan stalls the relay.
        const std::optional<QNConnectHook::Record> record = _hook->take(socket->cookie);
        if (!record || record->uid != uid || record->executable.isEmpty()) {
            return std::nullopt;
        }
        return record->executable;
    }
    return socket->inode != 0 ? executableOf(socket->inode, uid) : std::nullopt;
}
