#include "QNConnectHook.h"

#include "engine/bpf/connect_hook.h"
#include "util/QNSystemError.h"

#include <QByteArrayList>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The compiled kernel programs, embedded at build time.
extern const unsigned char kQNConnectHookObject[];
extern const size_t kQNConnectHookObjectSize;

namespace {

// libbpf's own messages: the first warning, usually the most telling, is kept to explain a failure.
thread_local QString firstLibbpfMessage;

int keepLibbpfMessage(enum libbpf_print_level level, const char* format, va_list arguments) {
    if (level == LIBBPF_DEBUG || !firstLibbpfMessage.isEmpty()) {
        return 0;
    }
    char text[512];
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    if (length > 0) {
        firstLibbpfMessage = QString::fromLocal8Bit(text).section(QLatin1Char('\n'), 0, 0).trimmed();
    }
    return 0;
}

QString failure(const char* what, int code) {
    QString text = QStringLiteral("%1: %2").arg(QLatin1String(what), QNSystemErrorText(code));
    if (!firstLibbpfMessage.isEmpty()) {
        text += QStringLiteral(" (%1)").arg(firstLibbpfMessage);
    }
    return text;
}

// mountinfo escapes spaces and the like as \ooo.
QByteArray unescapeMountField(const QByteArray& field) {
    QByteArray result;
    for (qsizetype index = 0; index < field.size(); ++index) {
        if (field[index] == '\\' && index + 3 < field.size()) {
            const QByteArray digits = field.mid(index + 1, 3);
            bool ok = false;
            const int value = digits.toInt(&ok, 8);
            if (ok && digits.size() == 3 && value < 256) {
                result.append(char(value));
                index += 3;
                continue;
            }
        }
        result.append(field[index]);
    }
    return result;
}

} // namespace

QString QNConnectHook::cgroup2Root(const QByteArray& mountinfo) {
    for (const QByteArray& line : mountinfo.split('\n')) {
        // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - FSTYPE SOURCE SUPEROPTIONS
        const QByteArrayList fields = line.split(' ');
        const qsizetype separator = fields.indexOf("-");
        if (separator < 6 || separator + 1 >= fields.size() || fields[separator + 1] != "cgroup2") {
            continue;
        }
        return QFile::decodeName(unescapeMountField(fields[4]));
    }
    return {};
}

QString QNConnectHook::joinPath(const char* names, size_t length, bool whole) {
    if (!whole || length == 0) {
        return {};
    }
    QStringList parts;
    size_t start = 0;
    for (size_t index = 0; index < length; ++index) {
        if (names[index] == '\0') {
            if (index == start) {
                return {}; // an empty name: not a path the kernel would give
            }
            parts.prepend(QFile::decodeName(QByteArray(names + start, qsizetype(index - start))));
            start = index + 1;
        }
    }
    if (start != length || parts.isEmpty()) {
        return {};
    }
    return QLatin1Char('/') + parts.join(QLatin1Char('/'));
}

std::unique_ptr<QNConnectHook> QNConnectHook::load(QString* error) {
    // Our own mounts first; then those of the first process, for an engine started in a mount namespace
    // of its own without the cgroup2 hierarchy (as "ip netns exec" makes, remounting /sys).
    int cgroup = -1;
    for (const auto& [mountinfo, prefix] :
         {std::pair(QStringLiteral("/proc/self/mountinfo"), QString()),
          std::pair(QStringLiteral("/proc/1/mountinfo"), QStringLiteral("/proc/1/root"))}) {
        QFile mounts(mountinfo);
        const QString root = mounts.open(QIODevice::ReadOnly) ? cgroup2Root(mounts.read(4 * 1024 * 1024)) : QString();
        if (!root.isEmpty()) {
            cgroup = ::open(QFile::encodeName(prefix + root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (cgroup >= 0) {
                break;
            }
        }
    }
    if (cgroup < 0) {
        *error = QStringLiteral("no cgroup2 hierarchy is mounted");
        return nullptr;
    }
    struct CloseOnReturn {
        int fd;
        ~CloseOnReturn() { ::close(fd); }
    } closeCgroup{cgroup};
    libbpf_set_print(keepLibbpfMessage);
    firstLibbpfMessage.clear();
    std::unique_ptr<QNConnectHook> hook(new QNConnectHook);
    LIBBPF_OPTS(bpf_object_open_opts, options, .object_name = "quillon_connect");
    hook->_object = bpf_object__open_mem(kQNConnectHookObject, kQNConnectHookObjectSize, &options);
    if (hook->_object == nullptr) {
        *error = failure("cannot open the connect hook", errno);
        return nullptr;
    }
    if (const int code = bpf_object__load(hook->_object); code != 0) {
        *error = failure("cannot load the connect hook, which needs CAP_BPF, CAP_PERFMON and a kernel with BTF", -code);
        return nullptr;
    }
    const char* const names[] = {"quillon_connect4", "quillon_connect6"};
    for (int index = 0; index < 2; ++index) {
        bpf_program* program = bpf_object__find_program_by_name(hook->_object, names[index]);
        hook->_links[index] = program != nullptr ? bpf_program__attach_cgroup(program, cgroup) : nullptr;
        if (hook->_links[index] == nullptr) {
            const int code = errno;
            *error = failure("cannot attach the connect hook", code);
            return nullptr;
        }
    }
    hook->_watched = bpf_object__find_map_fd_by_name(hook->_object, "watched");
    hook->_records = bpf_object__find_map_fd_by_name(hook->_object, "records");
    if (hook->_watched < 0 || hook->_records < 0) {
        *error = QStringLiteral("the connect hook lacks its tables");
        return nullptr;
    }
    return hook;
}

QNConnectHook::~QNConnectHook() {
    // Closing the links detaches the programs; they would go with the process anyway, even after kill -9.
    for (bpf_link* link : _links) {
        if (link != nullptr) {
            bpf_link__destroy(link);
        }
    }
    if (_object != nullptr) {
        bpf_object__close(_object);
    }
}

QList<quint32> QNConnectHook::programIds() const {
    QList<quint32> ids;
    bpf_program* program = nullptr;
    bpf_object__for_each_program(program, _object) {
        bpf_prog_info info{};
        __u32 length = sizeof info;
        if (bpf_obj_get_info_by_fd(bpf_program__fd(program), &info, &length) == 0) {
            ids.append(info.id);
        }
    }
    return ids;
}

bool QNConnectHook::watch(const QSet<quint32>& uids) {
    bool ok = true;
    const __u8 yes = 1;
    // Added before removed, so a user staying in the set is never missed in between.
    for (const quint32 uid : uids) {
        if (!_watchedUids.contains(uid)) {
            ok = bpf_map_update_elem(_watched, &uid, &yes, BPF_ANY) == 0 && ok;
        }
    }
    for (const quint32 uid : std::as_const(_watchedUids)) {
        if (!uids.contains(uid)) {
            bpf_map_delete_elem(_watched, &uid);
        }
    }
    _watchedUids = uids;
    return ok;
}

std::optional<QNConnectHook::Record> QNConnectHook::take(quint64 cookie) {
    qn_connect_record record{};
    if (bpf_map_lookup_elem(_records, &cookie, &record) != 0) {
        return std::nullopt;
    }
    bpf_map_delete_elem(_records, &cookie);
    Record result;
    result.pid = pid_t(record.pid);
    result.uid = record.uid;
    const size_t length = std::min<size_t>(record.length, sizeof record.path);
    result.executable = joinPath(record.path, length, (record.flags & QN_HOOK_COMPLETE) != 0);
    if (result.executable.isEmpty()) {
        // Too deep or too long for the kernel program: the process itself, while it lives, tells the rest.
        char path[4096];
        const QByteArray link = "/proc/" + QByteArray::number(record.pid) + "/exe";
        const ssize_t size = ::readlink(link.constData(), path, sizeof path - 1);
        struct stat status {};
        const bool same = ::stat(link.left(link.size() - 4).constData(), &status) == 0 && status.st_uid == record.uid;
        if (size > 0 && same) {
            result.executable = QFile::decodeName(QByteArray(path, size));
            if (result.executable.endsWith(QStringLiteral(" (deleted)"))) {
                result.executable.chop(10);
            }
        } else if (length > 0) {
            const size_t leaf = ::strnlen(record.path, length);
            result.executable = QFile::decodeName(QByteArray(record.path, qsizetype(leaf)));
        }
    }
    return result;
}
