// The crash archive and the sequence that follows the dump (in the crash helper's own process).
#include <dirent.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "orv-crash-helper.h"
#include "orv-crash-report.h"
#include "orv-crash.h"
#include "orv-file.h"
#include "orv-log.h"
#include "orv-osver.h"
#include "orv-process.h"
#include "orv-zip.h"

extern char** environ;

namespace {

void Report(IOrvTransferObserver* pProgress, const char* pszText) {
    if (pProgress)
        pProgress->OnLog(0, pszText);
}

COrvStringA Number(uint64_t n) {
    COrvStringA s;
    s.Format("%llu", static_cast<unsigned long long>(n));
    return s;
}

void AddDisk(COrvStringA& s, const char* pszPath) {
    struct statvfs st;
    if (statvfs(pszPath, &st) != 0) {
        s.AppendFormat("Disk of %s: free space error=%s\n", pszPath, strerror(errno));
        return;
    }
    const uint64_t nUnit = st.f_frsize ? st.f_frsize : st.f_bsize;
    s.AppendFormat("Disk of %s: avail=%s free=%s total=%s\n", pszPath,
                   Number(st.f_bavail * nUnit).GetString(), Number(st.f_bfree * nUnit).GetString(),
                   Number(st.f_blocks * nUnit).GetString());
}

// A value of /proc/meminfo in bytes (its lines are "Name:  123 kB").
uint64_t MemInfo(const COrvStringA& sInfo, const char* pszName) {
    const char* p = strstr(sInfo.GetString(), pszName);
    if (p == nullptr)
        return 0;
    p += strlen(pszName);
    while (*p == ' ' || *p == ':')
        ++p;
    return strtoull(p, nullptr, 10) * 1024;
}

COrvStringA SystemInfo() {
    COrvStringA s = g_orv_diag_header;
    if (!s.IsEmpty() && s[s.GetLength() - 1] != '\n')
        s += "\r\n";
    s += "--- System Disk Info ---\r\n";
    AddDisk(s, "/");
    const char* pszHome = getenv("HOME");
    if (pszHome && *pszHome && strcmp(pszHome, "/") != 0)
        AddDisk(s, pszHome);
    COrvStringA sTemp;
    COrvError err;
    if (OrvGetTempFolder(sTemp, err))
        AddDisk(s, sTemp);
    s += "--- Memory Info ---\n";
    COrvStringA sInfo;
    if (OrvReadWholeFile("/proc/meminfo", sInfo, err)) {
        const uint64_t nTotal = MemInfo(sInfo, "MemTotal");
        const uint64_t nAvail = MemInfo(sInfo, "MemAvailable");
        const uint64_t nCommit = MemInfo(sInfo, "CommitLimit");
        const uint64_t nCommitted = MemInfo(sInfo, "Committed_AS");
        s.AppendFormat("Memory is in use: %d percent.\r\n",
                       nTotal ? static_cast<int>((nTotal - nAvail) * 100 / nTotal) : 0);
        s.AppendFormat("Physical memory: %s free out of %s total bytes.\r\n",
                       Number(nAvail).GetString(), Number(nTotal).GetString());
        s.AppendFormat("Paging file: %s free out of %s total bytes.\r\n",
                       Number(nCommit > nCommitted ? nCommit - nCommitted : 0).GetString(),
                       Number(nCommit).GetString());
        const uint64_t nSpace = uint64_t(1) << 47;  // the user address space of x86-64
        COrvStringA sStatus;
        uint64_t nUsed = 0;
        if (OrvReadWholeFile("/proc/self/status", sStatus, err))
            nUsed = MemInfo(sStatus, "VmSize");
        s.AppendFormat("Virtual memory: %s free out of %s total bytes.\r\n",
                       Number(nSpace - nUsed).GetString(), Number(nSpace).GetString());
    }
    s += "--- Processes Info ---\r\n";
    char szSelf[4096];
    const ssize_t n = readlink("/proc/self/exe", szSelf, sizeof(szSelf) - 1);
    szSelf[n > 0 ? n : 0] = '\0';
    int anVersion[4];
    const char* pszName = strrchr(szSelf, '/');
    OrvModuleVersionFromFileName(pszName ? pszName + 1 : szSelf, anVersion);
    s.AppendFormat("Our Module: Path=%s Ver=%d.%d.%d.%d\r\n", szSelf, anVersion[0], anVersion[1],
                   anVersion[2], anVersion[3]);
    s += RfGetProcessAndModuleList();
    // One line end throughout.
    s.Replace("\r\n", "\n");
    s.Replace("\n", "\r\n");
    return s;
}

bool IsFolder(const char* pszPath) {
    struct stat st;
    return stat(pszPath, &st) == 0 && S_ISDIR(st.st_mode);
}

// The files a diagnostic path contributes: a folder its regular files (no sub-folders, no ".exe"
// and no executable files), a file itself.
void CollectFiles(const COrvStringA& sPath, COrvArray<COrvStringA>& files) {
    if (!IsFolder(sPath)) {
        files.Add(sPath);
        return;
    }
    DIR* pDir = opendir(sPath);
    if (pDir == nullptr)
        return;
    while (dirent* pEnt = readdir(pDir)) {
        COrvStringA sFile = sPath;
        if (sFile.IsEmpty() || sFile[sFile.GetLength() - 1] != '/')
            sFile += '/';
        sFile += pEnt->d_name;
        struct stat st;
        if (lstat(sFile, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0111))
            continue;
        const int nLen = static_cast<int>(strlen(pEnt->d_name));
        if (nLen >= 4 && strcasecmp(pEnt->d_name + nLen - 4, ".exe") == 0)
            continue;
        files.Add(sFile);
    }
    closedir(pDir);
}

}  // namespace

COrvStringA OrvCrashZipName(int64_t nUtcTime) {
    const time_t t = static_cast<time_t>(nUtcTime);
    struct tm tmUtc;
    gmtime_r(&t, &tmUtc);
    COrvStringA s;
    s.Format("tv_crash_%d.%02d.%02d_%02d.%02d.%02d.zip", tmUtc.tm_year + 1900, tmUtc.tm_mon + 1,
             tmUtc.tm_mday, tmUtc.tm_hour, tmUtc.tm_min, tmUtc.tm_sec);
    return s;
}

COrvStringA OrvDiagEntryName(const char* pszPath) {
    COrvStringA s(pszPath);
    s.Replace("://", "-");
    s.Replace(':', '-');
    s.Replace('/', '-');
    s.Replace('\\', '-');
    s.Replace("--", "-");
    return s;
}

bool TvCreateDiagnosticZip(const char* pszZipPath, const char* pszExtraFile,
                           const char* pszExtraName, IOrvTransferObserver* pProgress,
                           COrvError& err) {
    Report(pProgress, "---creating zip file---");
    COrvZip* hZip = OrvZipCreateFile(pszZipPath, nullptr);
    if (hZip == nullptr)
        return err.Set(enNetConnection, COrvStringA("cannot open ZIP file at ") + pszZipPath);
    const COrvStringA sInfo = SystemInfo();
    Report(pProgress, "_sysinfo.txt");
    uint32_t nResult = OrvZipAddData(hZip, "_sysinfo.txt", sInfo.GetString(),
                                     static_cast<size_t>(sInfo.GetLength()));
    if (pszExtraFile && *pszExtraFile) {
        Report(pProgress, (COrvStringA("Adding file:\n") + pszExtraFile).GetString());
        if (nResult == 0)
            nResult = OrvZipAddFile(hZip, pszExtraName, pszExtraFile);
    }
    // The log's content must be complete on disk before it is packed.
    g_orv_log.Close(true);
    COrvArray<COrvStringA> files;
    for (size_t i = 0; i < g_orv_diag_paths.GetSize() && !g_orv_diag_paths[i].IsEmpty(); ++i)
        CollectFiles(g_orv_diag_paths[i], files);
    for (size_t i = 0; i < files.GetSize(); ++i) {
        COrvStringA sLine;
        sLine.Format("%02d%%: %s", static_cast<int>(i * 100 / files.GetSize()),
                     files[i].GetString());
        Report(pProgress, sLine);
        // A file that vanished or cannot be read is left out; the archive goes on.
        (void)OrvZipAddFile(hZip, OrvDiagEntryName(files[i]), files[i]);
    }
    Report(pProgress, "---closing zip file---");
    const uint32_t nClose = OrvZipClose(hZip);
    if (nResult == 0)
        nResult = nClose;
    if (nResult != 0) {
        char szText[256];
        OrvZipResultText(nResult, szText, sizeof(szText));
        return err.Set(enNetResources,
                       COrvStringA("cannot write ZIP file at ") + pszZipPath + ": " + szText);
    }
    return true;
}

bool OrvOpenUrlInBrowser(const char* pszUrl, COrvError& err) {
    char szHandler[] = "xdg-open";
    char* apArgv[] = {szHandler, const_cast<char*>(pszUrl), nullptr};
    pid_t nPid;
    const int nErr = posix_spawnp(&nPid, szHandler, nullptr, nullptr, apArgv, environ);
    if (nErr != 0)
        return err.SetErrno(nErr, "xdg-open: ");
    int nStatus = 0;
    while (waitpid(nPid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0)
        return err.SetFormat(enNetBadRequest, "xdg-open exited with %d", WEXITSTATUS(nStatus));
    return true;
}

namespace {

IOrvCrashWindows* s_pWindows = nullptr;

void Severe(const COrvStringA& sText) {
    OrvSevereMessageBox(nullptr, sText, g_orv_product_name);
}

// The interactive ending: the dialog, then on OK the upload and, when asked for, the ticket.
void Interactive(IOrvCrashWindows& windows, const char* pszKind, const COrvStringA& sZip,
                 const COrvStringA& sDest, IOrvTransferObserver* pProgress) {
    bool bTicket = true;
    if (windows.ShowDialog(pszKind, sZip, bTicket) != 1)
        return;  // Cancel sends nothing
    const COrvStringA sSending = "Sending Crash Report:\n" + sZip;
    Report(pProgress, sSending);
    COrvStringA sResponse;
    COrvStringA sStored;
    COrvError err;
    if (!TvUploadMimeFileInForm(g_orv_support_host, g_orv_upload_path, sZip, sDest, sResponse,
                                pProgress, err)) {
        Severe(sSending + "\nCannot upload crash report: " + err.Text());
    } else {
        sResponse.Trim();
        if (sResponse.Left(9) != "filename=")
            Severe("Support Server did not accept ZIP file with logs: Server Said:\n" + sResponse);
        else
            sStored = sResponse.Mid(9);
    }
    // The ticket is asked for whatever became of the upload: it names the archive to attach.
    if (!bTicket)
        return;
    COrvStringA sUrl;
    COrvError errTicket;
    COrvStringA sSubject = g_orv_product_name + " " + pszKind;
    if (!TvGetCreateTicketUrl(sUrl, errTicket) ||
        !TvSubmitSupportTicket(g_orv_support_host, sUrl, sSubject,
                               "The program crashed; its crash report is attached.", sStored, 0,
                               sResponse, pProgress, errTicket)) {
        Severe("Cannot Create Ticket: " + errTicket.Text());
        return;
    }
    sResponse.Trim();
    if (sResponse.Left(4) != "url=") {
        Severe("Support Server says when opening ticket:\n" + sResponse);
        return;
    }
    Report(pProgress, "Creating a ticket in Support System");
    g_orv_log.Printf("Creating a ticket in Support System\n");
    if (!OrvOpenUrlInBrowser(sResponse.Mid(4), errTicket))
        Severe("Cannot open support URL to send ZIP file with logs: " + errTicket.Text());
}

}  // namespace

IOrvCrashWindows* OrvSetCrashWindows(IOrvCrashWindows* pWindows) {
    IOrvCrashWindows* pOld = s_pWindows;
    s_pWindows = pWindows;
    return pOld;
}

bool OrvCrashReportSequence(const char* pszKind, const COrvStringA& sMessage,
                            const COrvStringA& sDumpPath) {
    IOrvCrashWindows* pWindows =
        g_orv_interactive && s_pWindows && s_pWindows->Open() ? s_pWindows : nullptr;
    // The user learns of the crash first (a process without windows logs the text).
    if (!sMessage.IsEmpty())
        Severe(sMessage);
    // The progress window stays open until the sequence ends, whichever way it ends.
    std::unique_ptr<IOrvTransferObserver> progress(
        pWindows
            ? pWindows->OpenProgress(g_orv_product_name + " - Preparing Report", g_orv_product_name)
            : nullptr);
    COrvStringA sTemp;
    COrvError err;
    if (!OrvGetTempFolder(sTemp, err)) {
        Severe("Crash Processing: cannot get temp folder: " + err.Text());
        return false;
    }
    const COrvStringA sZip = sTemp + "/" + OrvCrashZipName(time(nullptr));
    Report(progress.get(), sZip);
    g_orv_log.Printf("\n\n===%s=== zip_name=%s\nminidump_path=%s\n", pszKind, sZip.GetString(),
                     sDumpPath.GetString());
    // The dump file holds the error text when the dump could not be written.
    OrvFile file;
    char aMagic[4] = {};
    COrvError errRead;
    if (file.OpenRead(sDumpPath, errRead))
        (void)file.Read(aMagic, sizeof(aMagic), errRead);
    const bool bDump = memcmp(aMagic, "MDMP", 4) == 0;
    if (!TvCreateDiagnosticZip(sZip, sDumpPath, bDump ? "minidump.dmp" : "minidump.err",
                               progress.get(), err)) {
        Severe("Cannot create ZIP dump file: " + err.Text());
        return false;
    }
    // Nothing is sent anywhere unless a support server is set; the user is told where the
    // archive is, so that it can be handed over another way.
    if (g_orv_support_host.IsEmpty()) {
        const COrvStringA sKept = "Crash report kept in " + sZip + ": no support server is set";
        g_orv_log.Printf("%s\n", sKept.GetString());
        if (pWindows)
            Severe(sKept);
        return true;
    }
    COrvStringA sDest;
    sDest.Format("crash-%d-%s", OrvGetOsVersion().nPlatform, g_orv_identifier_text.GetString());
    if (pWindows) {
        Interactive(*pWindows, pszKind, sZip, sDest, progress.get());
        return true;
    }
    g_orv_log.Printf("Submitting crash report\n");
    COrvStringA sResponse;
    if (TvUploadMimeFileInForm(g_orv_support_host, g_orv_upload_path, sZip, sDest, sResponse,
                               nullptr, err)) {
        // An answer without the stored name is a refusal, not a success.
        sResponse.Trim();
        if (sResponse.Left(9) == "filename=") {
            g_orv_log.Printf("Crash report submitted\n");
            return true;
        }
        err.Set(enNetServer,
                "Support Server did not accept ZIP file with logs: Server Said:\n" + sResponse);
    }
    g_orv_log.Printf("!!! FAILED to submit crash report: err=%s\n", err.Text().GetString());
    return false;
}
