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

// Whether a name matches a listing mask (shell wildcards; a leading "." only by a leading ".";
// null,
// "*" and "*.*" match all).
bool OrvFileNameMatches(const char* pszMask, const char* pszName);
// Fills err with prefix + path + ": " + the system's text for nErrno, and its code; false.
bool OrvFileFail(COrvError& err, int nErrno, const char* pszPrefix, const char* pszPath);
// Copies the rest of fdIn to fdOut (in the kernel where the file systems allow it, else in blocks
// of 256 KiB). "cannot read file: " + from / "cannot write file: " + to.
[[nodiscard]] bool OrvFileCopyData(int fdIn, int fdOut, const char* pszFrom, const char* pszTo,
                                   COrvError& err);

// ---- walks by descriptor ----
//
// Every recursive operation walks its tree through folder descriptors: each folder is opened
// relative to its parent's descriptor without following a link at its name, and its items are
// examined, created and removed relative to that descriptor. A folder swapped for a link while
// the walk runs is then never entered, nothing outside the tree is touched, and trees deeper than
// the longest path the system resolves are walked as well. Paths are built only for messages.

#include <string>
#include <vector>

struct stat;

// Opens the folder pszName inside fdDir (AT_FDCWD: pszName is a path) for walking: fails (ENOTDIR
// or ELOOP) when the name is a link, even one put there after the caller looked. -1 with errno.
[[nodiscard]] int OrvOpenFolderAt(int fdDir, const char* pszName);
// The names in the open folder fd, without "." and "..", read from its start. 0 or an errno.
[[nodiscard]] int OrvListNamesAt(int fd, std::vector<std::string>& names);
// Deletes the file or link pszName in fdDir (TvDeleteFile's rules; texts name pszPath).
[[nodiscard]] bool OrvDeleteFileAt(int fdDir, const char* pszName, const char* pszPath,
                                   COrvError& err);
// Opens the folder that holds pszPath (following links on the way, as the caller named it) and
// gives the last part of the path in sName. -1 with errno.
[[nodiscard]] int OrvOpenParentFolder(const char* pszPath, COrvStringA& sName);
// Opens the per-user temporary folder after checking, on the descriptor, that it is a folder of
// this user that no one else may enter; sFolder receives its path. -1 with err filled.
[[nodiscard]] int OrvOpenTempFolder(COrvStringA& sFolder, COrvError& err);
