// Diagnostic archives of the crash reports and of "send logs to support".
#pragma once

#include "orv-error.h"
#include "orv-transfer-observer.h"

// Builds the archive pszZipPath: "_sysinfo.txt" (the diagnostic header, disks, memory and
// processes), the extra file (when given) as pszExtraName, and the files of the diagnostic paths
// (a folder's files without sub-folders, ".exe" and executable files), each named by
// OrvDiagEntryName. Progress lines go to pProgress (may be null). Closes g_orv_log first so that
// the packed log is complete. "cannot open ZIP file at " + path.
[[nodiscard]] bool TvCreateDiagnosticZip(const char* pszZipPath, const char* pszExtraFile,
                                         const char* pszExtraName, IOrvTransferObserver* pProgress,
                                         COrvError& err);
