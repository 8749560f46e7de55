// The crash helper: started by the crashed process with the helper switch, it writes the
// minidump, answers, and then, as a process of its own, runs the rest of the crash sequence.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "orv-crash-helper.h"
#include "orv-crash-os.h"
#include "orv-crash.h"
#include "orv-file.h"
#include "orv-log.h"

namespace {

bool ReadExactly(int fd, void* p, size_t nLen) {
    char* pc = static_cast<char*>(p);
    while (nLen > 0) {
        const ssize_t n = read(fd, pc, nLen);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        pc += n;
        nLen -= static_cast<size_t>(n);
    }
    return true;
}

void Answer(int fd, char c) {
    while (write(fd, &c, 1) < 0 && errno == EINTR) {
    }
    close(fd);
}

COrvStringA Unescape(const char* p, const char* pEnd) {
    COrvStringA s;
    for (; p < pEnd; ++p) {
        if (*p == '\\' && p + 1 < pEnd) {
            ++p;
            s += *p == 'n' ? '\n' : *p == 'r' ? '\r' : *p;
        } else {
            s += *p;
        }
    }
    return s;
}

}  // namespace

void OrvApplyCrashSettings(const char* pText, size_t nLen, SOrvCrashSettings& settings) {
    const char* p = pText;
    const char* pEnd = pText + nLen;
    while (p < pEnd) {
        const char* pLineEnd = static_cast<const char*>(memchr(p, '\n', pEnd - p));
        if (pLineEnd == nullptr)
            pLineEnd = pEnd;
        const char* pEq = static_cast<const char*>(memchr(p, '=', pLineEnd - p));
        if (pEq != nullptr) {
            const COrvStringA sKey(p, static_cast<int>(pEq - p));
            const COrvStringA sValue = Unescape(pEq + 1, pLineEnd);
            if (sKey == "product")
                g_orv_product_name = sValue;
            else if (sKey == "host")
                g_orv_support_host = sValue;
            else if (sKey == "upload")
                g_orv_upload_path = sValue;
            else if (sKey == "ident")
                g_orv_identifier_text = sValue;
            else if (sKey == "header")
                g_orv_diag_header = sValue;
            else if (sKey == "user")
                g_orv_account_user = sValue;
            else if (sKey == "password")
                g_orv_account_password = sValue;
            else if (sKey == "compid")
                g_orv_computer_id = sValue;
            else if (sKey == "serial")
                g_orv_computer_serial = sValue;
            else if (sKey == "version")
                g_orv_product_version = sValue;
            else if (sKey == "roots")
                g_orv_support_roots = sValue;
            else if (sKey == "log")
                settings.sLogPath = sValue;
            else if (sKey == "interactive")
                g_orv_interactive = sValue == "1" ? 1 : 0;
            else if (sKey == "diag")
                g_orv_diag_paths.Add(sValue);
        }
        p = pLineEnd + 1;
    }
}

int OrvCrashHelperMain(int argc, char** argv) {
    if (argc < 3 || strcmp(argv[1], kCrashHelperSwitch) != 0)
        return -1;
    const int fdAnswer = atoi(argv[2]);
    SOrvCrashRecord rec;
    if (!ReadExactly(STDIN_FILENO, &rec, sizeof(rec)) || rec.nMagic != SOrvCrashRecord::kMagic ||
        rec.nSettingsLen > 16 * 1024 * 1024)
        return 2;
    COrvStringA sSettings;
    char* pSettings = sSettings.GetBuffer(static_cast<int>(rec.nSettingsLen));
    if (pSettings == nullptr || !ReadExactly(STDIN_FILENO, pSettings, rec.nSettingsLen))
        return 2;
    sSettings.ReleaseBuffer(static_cast<int>(rec.nSettingsLen));
    rec.szKind[sizeof(rec.szKind) - 1] = '\0';
    rec.szMessage[sizeof(rec.szMessage) - 1] = '\0';
    // The crashed process's standard input is not ours to keep.
    const int fdNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fdNull >= 0) {
        dup2(fdNull, STDIN_FILENO);
        close(fdNull);
    }
    // A file-size limit inherited from the crashed process fails writes instead of ending us.
    signal(SIGXFSZ, SIG_IGN);
    SOrvCrashSettings settings;
    OrvApplyCrashSettings(sSettings.GetString(), rec.nSettingsLen, settings);
    if (!settings.sLogPath.IsEmpty())
        g_orv_log.SetLogFile(settings.sLogPath);

    COrvStringA sMessage(rec.szMessage);
    if (strcmp(rec.szKind, "CRASH") == 0)
        sMessage = g_orv_product_name +
                   " has crashed and we are sorry for that.\nClick OK to assemble Crash Report.";
    COrvStringA sDumpPath;
    const bool bDumped = OrvCrashWriteDumpFile(rec, sDumpPath);
    if (!bDumped) {
        Answer(fdAnswer, kCrashAnswerPassOn);
        return 0;
    }
    Answer(fdAnswer, kCrashAnswerDumped);
    if (rec.nFlags & kCrashFlagDumpOnly)
        return 0;
    // The crashed process waits for this process to end; the rest runs in a child of its own.
    const pid_t nChild = fork();
    if (nChild != 0)
        return 0;
    return OrvCrashReportSequence(rec.szKind, sMessage, sDumpPath) ? 0 : 1;
}

bool OrvCrashWriteDumpFile(const SOrvCrashRecord& rec, COrvStringA& sDumpPath) {
    const bool bSignal = rec.nSignal != 0;
    g_orv_log.Printf("\n\n===%s=== msg=%s\n", rec.szKind, bSignal ? "signal" : rec.szMessage);
    if (bSignal) {
        const bool bCheck = (rec.nFlags & kCrashFlagCheckModules) != 0;
        g_orv_log.Printf("Report exception: check_stack=%d\n", bCheck ? 1 : 0);
        if (!bCheck)
            g_orv_log.Printf("Stack not walkable, report exception\n");
    }
    COrvError err;
    OrvFile file;
    if (!OrvCreateTempFile(nullptr, "TVD", file, sDumpPath, err)) {
        OrvSevereMessageBox(
            nullptr, ("Crash Processing: cannot get file for crash: " + err.Text()).GetString(),
            g_orv_product_name.GetString(), 0x10);
        return true;
    }
    COrvError errClose;
    (void)file.Close(errClose);
    g_orv_log.Printf("PrepareMiniDump: minidump_filepath=%s\n", sDumpPath.GetString());
    bool bOurs = true;
    if (!OrvWriteMinidump(rec, sDumpPath, &bOurs, err)) {
        const COrvStringA sText = "OrvPrepareAndSendMiniDump: cannot dump: " + err.Text();
        g_orv_log.Printf("!!! %s\n", sText.GetString());
        OrvFile errFile;
        COrvError errWrite;
        if (!errFile.OpenWrite(sDumpPath, false, kOrvModeGiven | 0600, errWrite) ||
            !errFile.Write(sText.GetString(), static_cast<size_t>(sText.GetLength()), errWrite))
            g_orv_log.Printf("!!! Cannot write dump file: %s\n", errWrite.Text().GetString());
        return true;
    }
    if ((rec.nFlags & kCrashFlagCheckModules) && !bOurs) {
        g_orv_log.Printf("Not our module, ignore exception\n");
        unlink(sDumpPath);
        sDumpPath.Empty();
        return false;
    }
    return true;
}
