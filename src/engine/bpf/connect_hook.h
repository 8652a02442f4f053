// The record the connect hook keeps for each watched connection, shared by the kernel program and the engine.
#pragma once

#include <linux/types.h>

#define QN_HOOK_MAX_USERS 1024
#define QN_HOOK_MAX_RECORDS 8192
#define QN_HOOK_PATH_BYTES 512
// The path reaches the root: it is whole.
#define QN_HOOK_COMPLETE 1u

struct qn_connect_record {
    __u32 pid;
    __u32 uid;
    __u32 flags;
    __u32 length;
    char path[QN_HOOK_PATH_BYTES];
};
