// The kernel half of the engine's program lookup: on every TCP connect of a watched user, remembers which
// process made it and the path of that process's executable, by the socket's cookie. The engine reads the
// record when the connection reaches it, so a program that exits at once is still known.
//
// Only the kernel fields used here are declared; libbpf relocates them against the running kernel's BTF.

// The kernel's types first: libbpf's headers build on them.
#include <linux/bpf.h>

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>

#include "connect_hook.h"

#define SOCK_STREAM_TYPE 1
#define PATH_DEPTH 64

struct qstr {
    const unsigned char* name;
} __attribute__((preserve_access_index));

struct dentry {
    struct dentry* d_parent;
    struct qstr d_name;
} __attribute__((preserve_access_index));

struct vfsmount {
    struct dentry* mnt_root;
} __attribute__((preserve_access_index));

struct mount {
    struct mount* mnt_parent;
    struct dentry* mnt_mountpoint;
    struct vfsmount mnt;
} __attribute__((preserve_access_index));

struct path {
    struct vfsmount* mnt;
    struct dentry* dentry;
} __attribute__((preserve_access_index));

struct file {
    struct path f_path;
} __attribute__((preserve_access_index));

struct mm_struct {
    struct file* exe_file;
} __attribute__((preserve_access_index));

struct task_struct {
    struct mm_struct* mm;
} __attribute__((preserve_access_index));

// Users whose connections are recorded: those whose rules name programs.
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, QN_HOOK_MAX_USERS);
    __type(key, __u32);
    __type(value, __u8);
} watched SEC(".maps");

// Socket cookie to its record; the oldest go first when full.
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, QN_HOOK_MAX_RECORDS);
    __type(key, __u64);
    __type(value, struct qn_connect_record);
} records SEC(".maps");

// A record is larger than the stack allows: it is put together here.
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct qn_connect_record);
} scratch SEC(".maps");

// Where the walk from the executable up to the root stands between the loop's calls.
struct walk {
    struct dentry* dentry;
    struct vfsmount* vfsmnt;
    struct mount* mnt;
};

// One step up: a name appended to the record, or a move from a mount's root to where it is mounted.
static long walk_step(__u32 step, void* data) {
    struct walk* walk = data;
    __u32 zero = 0;
    struct qn_connect_record* record = bpf_map_lookup_elem(&scratch, &zero);
    if (!record) {
        return 1;
    }
    struct dentry* dentry = walk->dentry;
    struct vfsmount* vfsmnt = walk->vfsmnt;
    struct mount* mnt = walk->mnt;
    struct dentry* parent = BPF_CORE_READ(dentry, d_parent);
    if (dentry == BPF_CORE_READ(vfsmnt, mnt_root) || dentry == parent) {
        struct mount* above = BPF_CORE_READ(mnt, mnt_parent);
        if (!above || above == mnt) {
            record->flags |= QN_HOOK_COMPLETE;
            return 1;
        }
        walk->dentry = BPF_CORE_READ(mnt, mnt_mountpoint);
        walk->mnt = above;
        walk->vfsmnt = (struct vfsmount*)((char*)above + bpf_core_field_offset(struct mount, mnt));
        return 0;
    }
    __u32 length = record->length;
    if (length >= QN_HOOK_PATH_BYTES / 2) {
        return 1; // too long to keep whole: the engine asks /proc instead
    }
    const unsigned char* name = BPF_CORE_READ(dentry, d_name.name);
    long copied =
        bpf_probe_read_kernel_str(&record->path[length & (QN_HOOK_PATH_BYTES / 2 - 1)], QN_HOOK_PATH_BYTES / 2, name);
    if (copied <= 0) {
        return 1;
    }
    record->length = length + (__u32)copied;
    walk->dentry = parent;
    return 0;
}

// The executable's path into the scratch record, leaf first: its names one after the other, each ending
// in a NUL.
static __always_inline void executable_path(void) {
    struct task_struct* task = (struct task_struct*)bpf_get_current_task();
    struct file* exe = BPF_CORE_READ(task, mm, exe_file);
    if (!exe) {
        return;
    }
    struct walk walk = {
        .dentry = BPF_CORE_READ(exe, f_path.dentry),
        .vfsmnt = BPF_CORE_READ(exe, f_path.mnt),
    };
    walk.mnt = (struct mount*)((char*)walk.vfsmnt - bpf_core_field_offset(struct mount, mnt));
    bpf_loop(PATH_DEPTH, walk_step, &walk, 0);
}

static __always_inline void note(struct bpf_sock_addr* context) {
    if (context->type != SOCK_STREAM_TYPE) {
        return;
    }
    __u32 uid = (__u32)bpf_get_current_uid_gid();
    if (!bpf_map_lookup_elem(&watched, &uid)) {
        return;
    }
    __u32 zero = 0;
    struct qn_connect_record* record = bpf_map_lookup_elem(&scratch, &zero);
    if (!record) {
        return;
    }
    record->pid = (__u32)(bpf_get_current_pid_tgid() >> 32);
    record->uid = uid;
    record->flags = 0;
    record->length = 0;
    executable_path();
    __u64 cookie = bpf_get_socket_cookie(context);
    bpf_map_update_elem(&records, &cookie, record, BPF_ANY);
}

SEC("cgroup/connect4")
int quillon_connect4(struct bpf_sock_addr* context) {
    note(context);
    return 1;
}

SEC("cgroup/connect6")
int quillon_connect6(struct bpf_sock_addr* context) {
    note(context);
    return 1;
}

// The helpers that read the current task and kernel memory are offered to GPL-compatible programs only.
char LICENSE[] SEC("license") = "GPL";
