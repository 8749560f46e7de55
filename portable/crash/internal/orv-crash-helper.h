// The crash helper's steps, seen by the helper's entry and the tests.
#pragma once

#include <cstddef>

#include "orv-crash-os.h"
#include "orv-string.h"

// Settings handed over by the crashed process that are not process-wide variables.
struct SOrvCrashSettings {
    COrvStringA sLogPath;
};
// Applies the "name=value\n" settings text to the crash settings and g_orv_interactive.
void OrvApplyCrashSettings(const char* pText, size_t nLen, SOrvCrashSettings& settings);

// Writes the dump of record into a new temporary file ("TVD" prefix), or the error text into it
// when the dump cannot be written; sDumpPath receives the file's path (empty when no file could be
// made). False when the crash lies outside the program's modules and is not to be reported (the
// file is then removed).
bool OrvCrashWriteDumpFile(const SOrvCrashRecord& record, COrvStringA& sDumpPath);

// The crash sequence after the dump: the archive, then the dialog (interactive) or the log lines,
// and the upload. False when it ended early.
bool OrvCrashReportSequence(const char* pszKind, const COrvStringA& sMessage,
                            const COrvStringA& sDumpPath);

// The archive's name for a UTC time: "tv_crash_%d.%02d.%02d_%02d.%02d.%02d.zip".
COrvStringA OrvCrashZipName(int64_t nUtcTime);
// The entry name of a diagnostic file: "://", then ":", "/" and "\\" become "-", then "--" "-".
COrvStringA OrvDiagEntryName(const char* pszPath);
