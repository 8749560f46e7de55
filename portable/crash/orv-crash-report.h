// Diagnostic archives of the crash reports and of "send logs to support".
#pragma once

#include "orv-error.h"
#include "orv-string.h"
#include "orv-transfer-observer.h"

// Builds the archive pszZipPath: "_sysinfo.txt" (the diagnostic header, disks, memory and
// processes), the extra file (when given) as pszExtraName, and the files of the diagnostic paths
// (a folder's files without sub-folders, ".exe" and executable files), each named by
// OrvDiagEntryName. Progress lines go to pProgress (may be null). Closes g_orv_log first so that
// the packed log is complete. "cannot open ZIP file at " + path.
[[nodiscard]] bool TvCreateDiagnosticZip(const char* pszZipPath, const char* pszExtraFile,
                                         const char* pszExtraName, IOrvTransferObserver* pProgress,
                                         COrvError& err);

// Uploads pszFile to https://host + pszPath as the multipart form of "destname" (text/plain,
// pszDestName) and "file" (application/octet-stream, the file's name); sResponse gets the body.
// Up to 3 attempts: only connection failures and retry-now start another one; the third failure
// adds "; TvUploadMimeFileInForm: too many attempts". The host may carry ":port".
[[nodiscard]] bool TvUploadMimeFileInForm(const char* pszHost, const char* pszPath,
                                          const char* pszFile, const char* pszDestName,
                                          COrvStringA& sResponse, IOrvTransferObserver* pProgress,
                                          COrvError& err);
// Logs in with the account and returns the ticket page's address: the "support_url=" answer with
// "?auth=" and the "auth=" answer appended. "No User Account UserId is specified", "No User
// Account password is specified", "Server Says: \n" + answer.
[[nodiscard]] bool TvGetCreateTicketUrl(COrvStringA& sUrl, COrvError& err);
// Submits a ticket form to sUrl (on host); a 302 with an empty body answers "url=" + location.
[[nodiscard]] bool TvSubmitSupportTicket(const char* pszHost, const char* pszUrl,
                                         const char* pszSubject, const char* pszMessage,
                                         const char* pszFileName, int nReport,
                                         COrvStringA& sResponse, IOrvTransferObserver* pProgress,
                                         COrvError& err);

// The windows of an interactive crash sequence, supplied by programs with a user interface. The
// crash helper's reporting process shows them (never the crashed process), on its only thread;
// the sequence's severe message boxes go through OrvSevereMessageBox and the UI thread that Open
// installs.
class IOrvCrashWindows {
public:
    virtual ~IOrvCrashWindows() = default;
    // Makes windows possible (the application object, the UI thread). False when no display is
    // available: the sequence then runs as in a non-interactive process.
    virtual bool Open() = 0;
    // The crash dialog: the kind, the archive's path and the ticket check box (bTicket, checked
    // at start). 1 for OK, 2 for Cancel.
    virtual int ShowDialog(const char* pszKind, const char* pszZipPath, bool& bTicket) = 0;
    // Opens the modeless progress window with its title and first text; each line reported to
    // the sink (OnLog) becomes its text. Owned by the caller: deleting it closes the window.
    virtual IOrvTransferObserver* OpenProgress(const char* pszTitle, const char* pszText) = 0;
};
// Installs the crash windows (null: none, crash reports are sent as in a non-interactive
// process); returns the previous ones.
IOrvCrashWindows* OrvSetCrashWindows(IOrvCrashWindows* pWindows);
// Opens an address with the desktop's handler (xdg-open) and waits for it to hand it on.
[[nodiscard]] bool OrvOpenUrlInBrowser(const char* pszUrl, COrvError& err);

// Opens a web page (the ticket); vexil passes OrvOpenUrlInBrowser.
using OrvOpenUrlFn = bool (*)(const char* pszUrl, COrvError& err);
// Packs the logs (and pszTraceFile when given, as "trace.txt") into pszZipPath, uploads them to
// the support host, submits a ticket that names the stored file and opens the ticket's page with
// pfnOpen. The progress sink gets the archive's size as its byte total. True only when every step
// succeeded; the error text names the step that failed ("Cannot create ZIP file with logs: ",
// "Cannot send ZIP file with logs: ", "Cannot Submit Ticket: ", ...).
[[nodiscard]] bool TvSendLogsToSupport(const char* pszZipPath, const char* pszHost,
                                       const char* pszSubject, const char* pszMessage,
                                       const char* pszTraceFile, IOrvTransferObserver* pProgress,
                                       OrvOpenUrlFn pfnOpen, COrvError& err);
