// Processes from /proc, and running a program through posix_spawn.
#include "orv-process.h"

#include "orv-fd.h"
#include "orv-sys.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr size_t kPipePiece = 32768;

// The pids in /proc, ascending; false when /proc cannot be read.
bool ListPids(std::vector<int>& pids) {
    DIR* pDir = g_orv_sys.opendir("/proc");
    if (pDir == nullptr)
        return false;
    while (struct dirent* pEnt = ::readdir(pDir)) {
        char* pEnd;
        const long n = strtol(pEnt->d_name, &pEnd, 10);
        if (*pEnd == '\0' && n > 0 && pEnt->d_name[0] != '\0')
            pids.push_back(static_cast<int>(n));
    }
    ::closedir(pDir);
    std::sort(pids.begin(), pids.end());
    return true;
}

std::string ReadProcFile(int nPid, const char* pszWhat, size_t nMax) {
    char szPath[64];
    snprintf(szPath, sizeof szPath, "/proc/%d/%s", nPid, pszWhat);
    OrvFd fd(OrvSysOpen(szPath, O_RDONLY));
    std::string out;
    if (!fd)
        return out;
    char buf[8192];
    while (out.size() < nMax) {
        const long n = OrvSysRead(fd.Get(), buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string ProcessName(int nPid) {
    std::string s = ReadProcFile(nPid, "comm", 256);
    while (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

std::string UserName(int nPid) {
    const std::string status = ReadProcFile(nPid, "status", 1 << 16);
    const size_t nPos = status.find("\nUid:");
    if (nPos == std::string::npos)
        return "?";
    const uid_t uid = static_cast<uid_t>(strtoul(status.c_str() + nPos + 5, nullptr, 10));
    struct passwd pw;
    struct passwd* pResult = nullptr;
    char buf[4096];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &pResult) == 0 && pResult != nullptr)
        return pResult->pw_name;
    return std::to_string(uid);
}

void AppendModule(COrvStringA& out, const char* pszPath) {
    int v[4];
    OrvModuleVersionFromFileName(pszPath, v);
    out.AppendFormat("    %s:%d.%d.%d.%d\r\n", OrvEscapeListText(pszPath).GetString(), v[0], v[1],
                     v[2], v[3]);
}

}  // namespace

COrvStringA RfGetProcessAndModuleList() {
    std::vector<int> pids;
    if (!ListPids(pids))
        return "RfGetProcessAndModuleList: cannot init process info!!!\r\n";
    COrvStringA out("*Processes*:\r\n");
    for (int nPid : pids) {
        const std::string strName = ProcessName(nPid);
        if (strName.empty())
            continue;  // ended while we were looking
        out.AppendFormat("pid=%d %s user=%s\r\n", nPid,
                         OrvEscapeListText(strName.c_str()).GetString(),
                         OrvEscapeListText(UserName(nPid).c_str()).GetString());
        const std::string maps = ReadProcFile(nPid, "maps", 16u << 20);
        if (maps.empty())
            continue;  // another user's process: no modules
        char szExe[4096];
        char szLink[64];
        snprintf(szLink, sizeof szLink, "/proc/%d/exe", nPid);
        const long nExe = g_orv_sys.readlink(szLink, szExe, sizeof szExe - 1);
        if (nExe > 0) {
            szExe[nExe] = '\0';
            AppendModule(out, szExe);
        }
        std::vector<std::string> seen;
        size_t nStart = 0;
        while (nStart < maps.size()) {
            size_t nEnd = maps.find('\n', nStart);
            if (nEnd == std::string::npos)
                nEnd = maps.size();
            const size_t nSlash = maps.find('/', nStart);
            if (nSlash < nEnd) {
                std::string strPath = maps.substr(nSlash, nEnd - nSlash);
                const size_t nBase = strPath.rfind('/');
                const bool bShared = strPath.find(".so", nBase) != std::string::npos &&
                                     strPath.find(" (deleted)") == std::string::npos;
                if (bShared && std::find(seen.begin(), seen.end(), strPath) == seen.end()) {
                    seen.push_back(strPath);
                    AppendModule(out, strPath.c_str());
                }
            }
            nStart = nEnd + 1;
        }
    }
    return out;
}

bool OrvGetProcessesUsingFile(const char* pszPath, COrvArray<OrvProcessEntry>& processes,
                              COrvError& err) {
    processes.RemoveAll();
    struct stat stFile;
    std::vector<int> pids;
    COrvStringA strPrefix;
    strPrefix.Format("Cannot list processes using '%s': ", pszPath);
    if (g_orv_sys.stat(pszPath, &stFile) != 0)
        return err.SetErrno(errno, strPrefix);
    if (!ListPids(pids))
        return err.SetErrno(errno, strPrefix);
    for (int nPid : pids) {
        char szFds[64];
        snprintf(szFds, sizeof szFds, "/proc/%d/fd", nPid);
        DIR* pDir = g_orv_sys.opendir(szFds);
        if (pDir == nullptr)
            continue;
        bool bUses = false;
        while (struct dirent* pEnt = ::readdir(pDir)) {
            if (pEnt->d_name[0] == '.')
                continue;
            const std::string strFd = std::string(szFds) + "/" + pEnt->d_name;
            struct stat st;
            if (g_orv_sys.stat(strFd.c_str(), &st) == 0 && st.st_dev == stFile.st_dev &&
                st.st_ino == stFile.st_ino) {
                bUses = true;
                break;
            }
        }
        ::closedir(pDir);
        if (bUses) {
            OrvProcessEntry e;
            e.nPid = nPid;
            e.sName = ProcessName(nPid).c_str();
            if (processes.Add(e) == COrvArray<OrvProcessEntry>::kNoIndex)
                return err.SetErrno(ENOMEM, strPrefix);
        }
    }
    return true;
}

bool OrvRunProgramOutputToFile(const char* pszProgram, const char* pszArguments,
                               const char* pszOutputFile, int& nExitCode, COrvError& err) {
    nExitCode = -1;
    COrvArray<COrvStringA> words;
    if (!OrvSplitArguments(pszArguments, words))
        return err.Set(enNetBadRequest,
                       "OrvRunProgramOutputToFile: bad arguments: unterminated quote");
    COrvStringA strOpen;
    strOpen.Format("OrvRunProgramOutputToFile: opening output file '%s': ", pszOutputFile);
    OrvFd fdFile(OrvSysOpen(pszOutputFile, O_WRONLY | O_CREAT | O_APPEND, 0644));
    if (!fdFile)
        return err.SetErrno(errno, strOpen);
    // Both pipes are close-on-exec; the child's ends become its 0, 1 and 2 through dup2, which
    // clears the flag on the copies only.
    int aOut[2], aIn[2];
    if (OrvSysPipe(aOut) != 0)
        return err.SetErrno(errno, "OrvRunProgramOutputToFile: opening pipe for stdout: ");
    OrvFd fdOutRead(aOut[0]), fdOutWrite(aOut[1]);
    if (OrvSysPipe(aIn) != 0)
        return err.SetErrno(errno, "OrvRunProgramOutputToFile: opening pipe for stdin: ");
    OrvFd fdInRead(aIn[0]), fdInWrite(aIn[1]);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(pszProgram));
    for (size_t i = 0; i < words.GetCount(); ++i)
        argv.push_back(const_cast<char*>(words[i].GetString()));
    argv.push_back(nullptr);

    COrvSpawnSpec spec;
    spec.pszProgram = pszProgram;
    spec.argv = argv.data();
    spec.hStdIn = fdInRead.Get();
    spec.hStdOut = fdOutWrite.Get();
    spec.hStdErr = fdOutWrite.Get();
    int pid = -1;
    if (!OrvSpawnProcess(spec, pid, "CreateProcess() failed: ", err))
        return false;
    fdOutWrite.Reset();
    fdInRead.Reset();
    fdInWrite.Reset();  // the child reads end of input at once

    std::vector<char> buf(kPipePiece);
    for (;;) {
        const long n = OrvSysRead(fdOutRead.Get(), buf.data(), buf.size());
        if (n == 0)
            break;  // every writer closed: the normal end
        if (n < 0) {
            err.SetErrno(errno, "reading child output: ");
            break;
        }
        if (!OrvSysWriteAll(fdFile.Get(), buf.data(), static_cast<size_t>(n))) {
            err.SetErrno(errno, "writing output: ");
            break;
        }
    }
    // On a failure above the child may still be writing: closing our end makes its writes fail,
    // and the wait below still reaps it.
    fdOutRead.Reset();
    COrvChildExit exit;
    if (OrvReapProcess(pid, true, exit) < 0)
        return err.SetErrno(errno, "waiting for child to terminate: ");
    if (err.Failed())
        return false;
    nExitCode = exit.ShellCode();
    return true;
}

bool OrvSpawnProcess(const COrvSpawnSpec& spec, int& nPid, const char* pszContext, COrvError& err) {
    nPid = -1;
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    const int anStd[3] = {spec.hStdIn, spec.hStdOut, spec.hStdErr};
    for (int i = 0; i < 3; ++i) {
        if (anStd[i] >= 0)
            posix_spawn_file_actions_adddup2(&fa, anStd[i], i);
    }
    // Descriptors of the caller opened without close-on-exec stay out of the child too.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    sigset_t sigs;
    sigemptyset(&sigs);
    posix_spawnattr_setsigmask(&attr, &sigs);
    sigaddset(&sigs, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &sigs);
    short nFlags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (spec.bNewGroup) {
        nFlags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attr, 0);
    }
    posix_spawnattr_setflags(&attr, nFlags);
    pid_t pid = -1;
    const int nSpawn = spec.bSearchPath
                           ? posix_spawnp(&pid, spec.pszProgram, &fa, &attr, spec.argv, environ)
                           : posix_spawn(&pid, spec.pszProgram, &fa, &attr, spec.argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (nSpawn != 0)
        return err.SetErrno(nSpawn, pszContext);
    nPid = pid;
    return true;
}

int OrvReapProcess(int nPid, bool bWait, COrvChildExit& exit) {
    int nStatus = 0;
    const pid_t r = OrvSysRetry([&] { return ::waitpid(nPid, &nStatus, bWait ? 0 : WNOHANG); });
    if (r <= 0)
        return r;
    exit.bSignalled = WIFSIGNALED(nStatus);
    exit.nCode = exit.bSignalled ? WTERMSIG(nStatus) : WEXITSTATUS(nStatus);
    exit.bCoreDumped = exit.bSignalled && WCOREDUMP(nStatus);
    return 1;
}
