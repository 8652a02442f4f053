#pragma once

#include <QList>
#include <QSet>
#include <QString>

#include <memory>
#include <optional>

#include <sys/types.h>

struct bpf_link;
struct bpf_object;

// The eBPF half of the program lookup: kernel programs on the connect calls of every process (attached to
// the root of the cgroup2 hierarchy) record, for the users being watched, which process opened each TCP
// connection and the path of its executable, keyed by the socket's cookie. The record is made in the
// connecting process itself, so it holds even when that process exits before the engine looks.
//
// Loading needs CAP_BPF, CAP_PERFMON and CAP_NET_ADMIN, and a kernel with BTF; without them the engine
// falls back to scanning /proc.
class QNConnectHook {
public:
    struct Record {
        pid_t pid = 0;
        quint32 uid = 0;
        // The executable's full path; only its file name when the kernel could not give the whole path and
        // the process is gone; empty when neither is known.
        QString executable;
    };

    // Loads and attaches the programs; nullptr with *error set when this kernel or these rights do not allow it.
    static std::unique_ptr<QNConnectHook> load(QString* error);
    ~QNConnectHook();
    QNConnectHook(const QNConnectHook&) = delete;
    QNConnectHook& operator=(const QNConnectHook&) = delete;

    // The users whose connections are recorded from now on, replacing the earlier set.
    bool watch(const QSet<quint32>& uids);
    // The record of the connection whose socket has this cookie, removed from the kernel's table.
    std::optional<Record> take(quint64 cookie);

    // The kernel's ids of the attached programs, as bpftool lists them.
    QList<quint32> programIds() const;

    // Where the cgroup2 hierarchy is mounted, from mountinfo's text; empty when it is not.
    static QString cgroup2Root(const QByteArray& mountinfo);
    // A record's path: names leaf first, each ending in a NUL, to "/usr/bin/curl"; empty when not whole.
    static QString joinPath(const char* names, size_t length, bool whole);

private:
    QNConnectHook() = default;

    bpf_object* _object = nullptr;
    bpf_link* _links[2] = {nullptr, nullptr};
    int _watched = -1;
    int _records = -1;
    QSet<quint32> _watchedUids;
};
