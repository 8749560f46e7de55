// The file side of the settings store: folders of keys, the values file and its lock.
//
// Every function returns 0 or an errno value (EBADMSG: the values file is damaged; the parser's
// text then goes to pstrDetail when one is given). Internal to the store and its tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "orv-fd.h"
#include "orv-regfile.h"

// Name of the values file inside a key's folder.
extern const char kOrvRegValuesFile[];

// The folder of a root key (see orv-registry.h), from the environment. EINVAL for an unknown
// root.
int OrvRegHiveFolder(uint32_t nRoot, std::string& strDir, bool& bMachine);
// The folder name that stands for a key name: UTF-8 with '/', '%' and a leading '.' written as
// %2F, %25 and %2E. EINVAL for an empty name, one longer than 255 units, or one with a NUL or an
// unpaired surrogate.
int OrvRegEncodeKeyName(const char16_t* pName, size_t nLen, std::string& strOut);
// The key name a folder name stands for; false for names the store did not make.
bool OrvRegDecodeKeyName(const char* pszFolder, std::u16string& strOut);
// Finds the folder of a path of key names ('\\' between levels, empty levels skipped) under
// strBase, matching each level without regard to case; with bCreate, makes missing levels (and
// strBase itself). ENOENT when a level is missing and not created; ENOTDIR when one is no folder.
int OrvRegResolve(const std::string& strBase, const char16_t* pszSubKey, bool bCreate,
                  bool bMachine, std::string& strDir);
// Reads the values of the key in strDir; a key without a values file has no values. ENOENT when
// the folder itself is gone.
int OrvRegReadValues(const std::string& strDir, std::vector<OrvRegFileValue>& values,
                     std::string* pstrDetail = nullptr);
// The values of one key as last read, with the file they were read from held open. While it is
// open, its inode number cannot be given to another file, so a path that still names the same
// device and inode (with the same size and change time) still has the same contents: values files
// are only ever replaced whole, never written in place.
struct OrvRegValuesCache {
    OrvFd fd;
    uint64_t nDev = 0, nIno = 0, nSize = 0;
    int64_t nMtimeNs = 0, nCtimeNs = 0;
    std::vector<OrvRegFileValue> values;
};
// As OrvRegReadValues, answered from cache when the values file is still the one cached (one
// stat); otherwise the file is read and the cache refilled. *ppValues points into the cache (or
// to an empty list) until the next call.
int OrvRegReadValuesCached(const std::string& strDir, OrvRegValuesCache& cache,
                           const std::vector<OrvRegFileValue>** ppValues);
// Locks the key against other writers, reads its values, lets change edit them and, when change
// returns 0 and bWrite is still set, writes them back atomically and durably. Returns the first
// failure (change's own errno value included).
int OrvRegUpdateValues(
    const std::string& strDir, bool bMachine,
    const std::function<int(std::vector<OrvRegFileValue>&, bool& bWrite)>& change,
    std::string* pstrDetail = nullptr);
// The names of the subkeys in strDir, in order of their folded names; pnLastWrite (optional) gets
// the key's last change time.
int OrvRegListSubKeys(const std::string& strDir, std::vector<std::u16string>& names,
                      int64_t* pnLastWrite = nullptr);
// Deletes the key in strDir: its values file, its lock-free temporary files, then the folder
// itself. ENOTEMPTY when it has subkeys.
int OrvRegDeleteKeyFolder(const std::string& strDir);
