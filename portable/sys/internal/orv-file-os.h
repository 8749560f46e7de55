// Seams of the file module for its tests. Internal to the library.
#pragma once

#include <stdint.h>

// The folder under which the per-user temporary folder "orv-<uid>" is made when $TMPDIR is not
// set; null restores "/tmp". Also forgets the cached temporary folder. Tests only.
void OrvFileSetTempBase(const char* pszBase);
// The next value of the temporary-file counter (without taking it). Tests only.
uint32_t OrvFilePeekTempCounter();
// Whether the low-space rule holds for these sizes (bytes).
bool OrvDiskSpaceIsLow(uint64_t nAvailable, uint64_t nTotal);

#include "orv-coll.h"
#include "orv-error.h"

struct OrvFileInfo;

// Removes an empty folder. "Cannot delete folder " + path + ": " + reason.
[[nodiscard]] bool OrvFileRemoveFolder(const char* pszPath, COrvError& err);
// TvListDirFiles with a choice: bNoFollow fails (ENOTDIR) when the folder path itself is a link.
[[nodiscard]] bool OrvFileListFolder(const char* pszFolder, COrvArray<OrvFileInfo>& aItems,
                                     COrvError& err, const char* pszMask, bool bNoFollow);
