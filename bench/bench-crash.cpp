// From the fault to the end of a process with 8 threads and 200 MB resident, with the crash
// handlers writing the minidump (the helper traces the process, the process waits for the dump)
// against the same crash ended by the kernel alone, in the same run; the dump's size is reported
// beside it.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "orv-test-support.h"

extern char** environ;

namespace {

// Size of the newest dump file ("TVD*") in the folder.
int64_t DumpSize(const std::string& folder) {
    int64_t nSize = 0;
    if (DIR* p = opendir(folder.c_str())) {
        while (dirent* e = readdir(p)) {
            struct stat st;
            if (std::string(e->d_name).rfind("TVD", 0) == 0 &&
                stat((folder + "/" + e->d_name).c_str(), &st) == 0)
                nSize = st.st_size;
        }
        closedir(p);
    }
    return nSize;
}

// One crash: starts the program, waits for "ready", then times from the byte that makes it crash
// to its end. The helper's remaining work (the archive) is waited for outside the timing.
double CrashOnce(const std::string& folder, bool bHandlers) {
    int aIn[2], aOut[2];
    if (pipe(aIn) != 0 || pipe(aOut) != 0)
        abort();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, aIn[0], 0);
    posix_spawn_file_actions_adddup2(&fa, aOut[1], 1);
    posix_spawn_file_actions_addclose(&fa, aIn[1]);
    posix_spawn_file_actions_addclose(&fa, aOut[0]);
    setenv("TMPDIR", folder.c_str(), 1);
    if (bHandlers)
        unsetenv("ORV_CRASH_NO_HANDLERS");
    else
        setenv("ORV_CRASH_NO_HANDLERS", "1", 1);
    char szKind[] = "heavy";
    std::string sFolder = folder;
    char* apArgv[] = {const_cast<char*>(ORV_CRASH_PROGRAM), szKind, sFolder.data(), nullptr};
    pid_t nPid;
    if (posix_spawn(&nPid, ORV_CRASH_PROGRAM, &fa, nullptr, apArgv, environ) != 0)
        abort();
    posix_spawn_file_actions_destroy(&fa);
    close(aIn[0]);
    close(aOut[1]);
    char aBuf[64];
    if (read(aOut[0], aBuf, 6) != 6)  // "ready\n"
        abort();
    const auto t0 = std::chrono::steady_clock::now();
    if (write(aIn[1], "x", 1) != 1)
        abort();
    int nStatus;
    waitpid(nPid, &nStatus, 0);
    const double d = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    while (read(aOut[0], aBuf, sizeof(aBuf)) > 0) {  // the helper holds it until it ends
    }
    close(aIn[1]);
    close(aOut[0]);
    if (!WIFSIGNALED(nStatus) || WTERMSIG(nStatus) != SIGSEGV)
        abort();
    return d;
}

void Run(benchmark::State& state, bool bHandlers) {
    OrvTempDir dir;
    const char* pszTemp = getenv("TMPDIR");
    const std::string oldTemp = pszTemp ? pszTemp : "";
    for (auto _ : state)
        state.SetIterationTime(CrashOnce(dir.Path(), bHandlers));
    if (pszTemp)
        setenv("TMPDIR", oldTemp.c_str(), 1);
    else
        unsetenv("TMPDIR");
    if (bHandlers)
        state.counters["dump_bytes"] = static_cast<double>(DumpSize(dir.Path()));
}

void BM_CrashWithMinidump(benchmark::State& state) {
    Run(state, true);
}
void BM_CrashKernelOnly(benchmark::State& state) {
    Run(state, false);
}

BENCHMARK(BM_CrashWithMinidump)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CrashKernelOnly)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
