// Internals of the accounts module that its tests and fuzz target reach: the reading of a
// process's ids from its /proc status text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The ids of a process as /proc/<pid>/status lists them.
struct OrvProcIds {
    uint32_t anUid[4] = {};  // real, effective, saved, file system
    uint32_t anGid[4] = {};
    std::vector<uint32_t> groups;  // supplementary groups
    uint32_t nUmask = 0;
    bool bHasUmask = false;
};

// Parses the "Uid:", "Gid:", "Groups:" and "Umask:" lines of a status text (nLen bytes, not
// NUL-terminated). False unless the Uid and Gid lines each hold four decimal ids below 2^32 and
// every group is such an id. Pure.
[[nodiscard]] bool OrvParseProcStatusIds(const char* pText, size_t nLen, OrvProcIds& ids);
