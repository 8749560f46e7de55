// Raw rate of the console pipe: "seq 1 1000000" streamed through CConsolePipe into the in-memory
// pane (255-byte reads, one synchronous pane call per chunk), against the same command writing to
// /dev/null on its own and against reading its output through popen, in the same run.
// The in-memory pane's host (a test double) hands each chunk to its owner thread through one
// condition variable, a sleep and a wake-up per chunk on each side; the window's own pane host is
// faster (bench-view measures it), so this rate is the pipe's over that host, not its ceiling.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <memory>

#include "console-pipe.h"
#include "text-pane-memory.h"

extern char** environ;

namespace {

constexpr const char* kCommand = "seq 1 1000000";
constexpr int64_t kBytes = 6888896;  // what the command writes

// Mean wall time per iteration of each case, for the ratio table.
double g_dPipe = 0;
double g_dAlone = 0;
double g_dPopen = 0;

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_PipeIntoPane(benchmark::State& state) {
    double dTotal = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        auto pHost = std::make_shared<CTextPaneMemoryHost>();
        auto* pPipe = new CTvConsolePipe(false, pHost, 0);
        if (pPipe->Run(u"seq 1 1000000") != 0) {
            delete pPipe;
            state.SkipWithError("the pipe did not start");
            return;
        }
        if (!pHost->WaitPipeDone(1, 600000)) {
            state.SkipWithError("the pipe did not end");
            return;
        }
        int nLen = 0;
        pHost->RunOnOwner([&](CTextPaneMemory& pane) { nLen = pane.GetTextLength(); });
        benchmark::DoNotOptimize(nLen);
        dTotal += Seconds(t0);
        if (nLen != kBytes + 1000000) {  // every LF became CR LF
            state.SkipWithError("the pane does not hold the whole output");
            return;
        }
    }
    g_dPipe = dTotal / static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_CommandAlone(benchmark::State& state) {
    double dTotal = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                        const_cast<char*>("seq 1 1000000 > /dev/null"), nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("sh did not start");
            return;
        }
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
        dTotal += Seconds(t0);
    }
    g_dAlone = dTotal / static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_Popen(benchmark::State& state) {
    double dTotal = 0;
    static char buf[65536];
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        FILE* pFile = popen(kCommand, "r");
        if (!pFile) {
            state.SkipWithError("popen failed");
            return;
        }
        int64_t nTotal = 0;
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, pFile)) > 0) {
            nTotal += static_cast<int64_t>(n);
        }
        pclose(pFile);
        dTotal += Seconds(t0);
        if (nTotal != kBytes) {
            state.SkipWithError("popen read a different amount");
            return;
        }
    }
    g_dPopen = dTotal / static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * kBytes);
}

BENCHMARK(BM_PipeIntoPane)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CommandAlone)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Popen)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_dPipe > 0 && g_dAlone > 0 && g_dPopen > 0) {
        printf("\n%-40s %10s %12s\n", "seq 1 1000000 (6.9 MB)", "ms", "vs alone");
        printf("%-40s %10.1f %11.2fx\n", "sh -c 'seq ... > /dev/null'", g_dAlone * 1e3, 1.0);
        printf("%-40s %10.1f %11.2fx\n", "popen, 64 KiB reads", g_dPopen * 1e3,
               g_dPopen / g_dAlone);
        printf("%-40s %10.1f %11.2fx\n", "CConsolePipe into the in-memory pane", g_dPipe * 1e3,
               g_dPipe / g_dAlone);
        printf("pipe vs popen: %.2fx\n", g_dPipe / g_dPopen);
    }
    return 0;
}
