// Crash reports: the fatal-signal, terminate, pure-virtual and assertion handlers, and the crash
// helper that writes the minidump and the crash archive.
//
// The crashed process does only async-signal-safe work: it starts a helper process prepared at
// installation (this program again, with the helper switch), hands it a fixed record of the
// crash and the settings through a pipe, allows it to trace the process (PR_SET_PTRACER) and
// waits for its answer. The helper reads the threads, registers and memory through ptrace and
// /proc, writes the minidump, answers, and then (detached from the crashed process) packs the
// crash archive, tells the user (message boxes, a progress window and the crash dialog of the
// windows that OrvSetCrashWindows installed) or logs, and uploads. The crashed process then
// resets the signal to its default action and raises it again, so that its exit status, core
// dumps and the system's crash collector see the original signal. A fault inside the handler, or
// a helper that cannot start, ends the process by that signal at once.
//
// Kinds: "CRASH" (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, handled on an alternate
// signal stack so that a stack overflow is reported too, without a stack check), "EXCEPTION"
// (the terminate handler), "PURE-VIRTUAL" (a pure virtual call), "ASSERT" (OrvAssertReport).
// "PARAM-WRONG" has no Linux source: the C library has no invalid-parameter handler, and there is
// no exception policy of window callbacks to clear.
#pragma once

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-string.h"

// Process-wide settings of crash reports, set by the program; call OrvCrashSettingsChanged after
// changing them so that a later crash hands the new values to the helper. The log file
// (g_orv_log) and g_orv_interactive are taken at the same moments.
extern COrvStringA g_orv_product_name;           // "Tovrin" until set
extern COrvStringA g_orv_support_host;           // empty: no support server, nothing is sent
extern COrvStringA g_orv_upload_path;            // "/scripts/upload-file"
extern COrvStringA g_orv_identifier_text;        // part of upload names
extern COrvStringA g_orv_diag_header;            // first lines of "_sysinfo.txt"
extern COrvArray<COrvStringA> g_orv_diag_paths;  // files and folders packed into archives
// Fields of support requests.
extern COrvStringA g_orv_account_user;
extern COrvStringA g_orv_account_password;
extern COrvStringA g_orv_computer_id;
extern COrvStringA g_orv_computer_serial;
extern COrvStringA g_orv_product_version;
// A PEM file of extra roots that the support server's certificate may chain to (empty: the
// built-in roots only). The server's certificate is always verified.
extern COrvStringA g_orv_support_roots;

// Installs the handlers once per process (later calls only refresh the settings) and prepares the
// helper: the program's own path, its arguments, an alternate signal stack for the calling
// thread. The program must call OrvCrashHelperMain at the top of main. "Cannot install crash
// handlers: " + reason.
[[nodiscard]] bool OrvInstallCrashHandlers(COrvError& err);
// Takes the settings above into the record a crash hands to the helper. Any thread.
void OrvCrashSettingsChanged();

// The helper's entry: when argv carries the helper switch, runs the helper and returns its exit
// code; otherwise returns -1 at once and the program goes on.
int OrvCrashHelperMain(int argc, char** argv);

// Runs the crash sequence for the calling thread without a signal (its registers are taken
// here): the helper writes the dump and the archive; returns once the dump is written.
void OrvPrepareAndSendMiniDump(const char* pszMessage, const char* pszKind);

// The assertion hook (install with OrvSetAssertHook): the first assertion of the process is
// logged as "\n!!!ASSERT: c=%d s=%s Src: %s:%d\n" ("SOFTASSERT" for soft ones, "-no-file-" for a
// null file); a hard one also runs the crash sequence with kind "ASSERT" and returns 1. Later
// assertions return 0 and fall through to the trace line.
int OrvAssertReport(const char* pszFile, int nLine, long nErr, const char* pszExpr, int nHard);
