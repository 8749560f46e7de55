// Process information for diagnostics, and running a program with its output captured.
#pragma once

#include <cstdint>

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-string.h"

// The list of running processes and their modules as text: the heading "*Processes*:" and, for
// each process, the line "pid=%d %s user=%s" (name, and the user's name or "?" when it cannot be
// read) followed by one line per module, indented by four spaces: the program file first, then
// each mapped shared object, each with its version ":%d.%d.%d.%d" taken from the numbers after
// ".so." in its file name (0.0.0.0 when there are none). Processes whose modules cannot be read
// (other users') are listed without modules. Lines end with "\r\n"; names and paths are written
// through OrvEscapeListText. When the process table
// cannot be read at all, the text "RfGetProcessAndModuleList: cannot init process info!!!\r\n".
// Blocks on /proc; any thread.
COrvStringA RfGetProcessAndModuleList();

// A name or path as the process list writes it: backslash, CR, LF and tab as "\\", "\r", "\n" and
// "\t", other control characters as "\xHH", so that no name can start or forge a line. Pure.
COrvStringA OrvEscapeListText(const char* pszText);

// The version numbers in a shared object's file name ("libssl.so.3" gives 3, 0, 0, 0;
// "libstdc++.so.6.0.30" gives 6, 0, 30, 0); each part at most 65535. Pure.
void OrvModuleVersionFromFileName(const char* pszFileName, int anVersion[4]);

// A process that holds a file open.
struct OrvProcessEntry {
    int nPid = 0;
    COrvStringA sName;
};

// The processes (this one included) that hold the file at pszPath open, found through their
// descriptor tables; processes whose tables cannot be read are not seen. processes is emptied
// first. False with the text "Cannot list processes using '%s': " + system text when the file
// or the process table cannot be examined. Blocks; any thread.
[[nodiscard]] bool OrvGetProcessesUsingFile(const char* pszPath,
                                            COrvArray<OrvProcessEntry>& processes, COrvError& err);

// Finding the desktop shell's process and windows has no meaning on this system: always false,
// with the code of ENOTSUP and the text "Finding the desktop shell: " + its system text.
[[nodiscard]] bool OrvFindDesktopShell(int& nPid, COrvError& err);

// Runs pszProgram (a path, not searched in PATH) with pszArguments split into words as a shell
// would split them (blanks separate words; '...' and "..." quote, \ escapes outside single
// quotes; no expansions), with an empty standard input, its standard output and error both
// appended to the file pszOutputFile (created 0644 when missing) in pieces of up to 32768 bytes.
// Waits for it without a time limit; nExitCode is its exit status, or 128 + the signal that ended
// it. The child gets exactly descriptors 0, 1 and 2; no zombie remains on any path. False with
// nExitCode -1 and one of the texts "OrvRunProgramOutputToFile: opening pipe for stdout: ",
// "OrvRunProgramOutputToFile: opening pipe for stdin: ", "OrvRunProgramOutputToFile: opening
// output file '%s': ", "OrvRunProgramOutputToFile: bad arguments: unterminated quote",
// "CreateProcess() failed: ", "reading child output: ", "writing output: ", "waiting for child to
// terminate: " (+ system text). Blocks; any thread.
[[nodiscard]] bool OrvRunProgramOutputToFile(const char* pszProgram, const char* pszArguments,
                                             const char* pszOutputFile, int& nExitCode,
                                             COrvError& err);
// The older shape: the error text only.
bool OrvRunProgramOutputToFile(const char* pszProgram, const char* pszArguments,
                               const char* pszOutputFile, int& nExitCode, COrvStringA& strError);
// Splits a command line into words by the rules above. False when a quote is not closed. Pure.
[[nodiscard]] bool OrvSplitArguments(const char* pszArguments, COrvArray<COrvStringA>& words);

// A program to start: the child gets exactly descriptors 0, 1 and 2 (each the caller's own, or the
// descriptor given), no signal blocked and SIGPIPE at its default, whatever the caller did with
// them.
struct COrvSpawnSpec {
    const char* pszProgram = nullptr;  // a path; looked up in PATH when bSearchPath
    char* const* argv = nullptr;       // argv[0] first, ended by a null pointer
    bool bSearchPath = false;
    int hStdIn = -1;  // -1: the caller's own
    int hStdOut = -1;
    int hStdErr = -1;
    bool bNewGroup = false;  // the child leads a process group of its own
};
// Starts the program; nPid is the child's. False with the system error and the text
// pszContext + system text when it cannot start. Any thread.
[[nodiscard]] bool OrvSpawnProcess(const COrvSpawnSpec& spec, int& nPid, const char* pszContext,
                                   COrvError& err);

// How a child ended.
struct COrvChildExit {
    bool bSignalled = false;  // ended by a signal (nCode is the signal) or exited (its status)
    int nCode = 0;
    bool bCoreDumped = false;
    // The exit status, or 128 + the signal, as a shell reports it.
    int ShellCode() const { return bSignalled ? 128 + nCode : nCode; }
};
// Reaps the child nPid: with bWait waits for its end, otherwise only looks. 1 when it has ended
// (exit says how), 0 while it runs (only without bWait), -1 with errno set otherwise (ECHILD: no
// child of this process, or already reaped). Retried on EINTR. Any thread.
int OrvReapProcess(int nPid, bool bWait, COrvChildExit& exit);
