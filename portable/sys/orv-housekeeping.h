// Housekeeping of the temporary folder and of folders of rotating files. The log cleaning is a
// member of COrvLog (TvCleanUpLogs in orv-log.h), since it holds that log's lock.
#pragma once

#include "orv-coll.h"
#include "orv-string.h"

// The cut-off time of the cleaning operations: now - nDays days when nDays >= 1, else now -
// nHours hours (seconds since 1970).
int64_t TvCleanUpCutOff(int64_t nNow, int nDays, int nHours);

// Deletes the library's temporary files older than nDays days (nDays below 1: all of them):
// "tvtm_*", "tv*.tmp", "Tovrin*.zip" and "tv_crash*.zip" in the temporary folder and "*._tvtmp"
// in pszFolder (null or empty: none there). Failures are logged ("TvCleanUpTempFiles: cannot
// delete %s: %s"). Deleted paths are added to pDeleted when given. Returns the number deleted.
// Blocks; any thread.
int TvCleanUpTempFiles(const char* pszFolder, int nDays, COrvArray<COrvStringA>* pDeleted);

// Keeps the nKeep newest files (by modification time) of pszFolder that match pszMask (shell
// wildcards) and deletes the older ones; failures are logged. Returns the number deleted, or -1
// when the folder cannot be listed. Blocks; any thread.
int TvCleanupAllExceptLatestFiles(const char* pszFolder, const char* pszMask, int nKeep);
