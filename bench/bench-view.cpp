// The window's speed and memory on floods of output, with the raw pipe as the peer measured in the
// same run.
//
//  - RawPipe: `seq 1 1000000` read straight from a pipe (64 KiB reads, nothing shown): the most
//    any viewer could do.
//  - ViewSeq: the real frame, shown, running the same command through the real console pipe, from
//    Run until "--- End of Log ---" is in the pane. Counters: bytes per second, and the resident
//    memory the run added over the UTF-16 size of the pane's text (goal: at most 4).
//  - ViewFlood: `yes` for a few seconds against a pane whose limit is the default. Counters: the
//    peak resident size of the process, the pane's length against its limit, and the longest gap
//    between two ticks of a 10 ms timer while the flood runs (the window's responsiveness).
//
// Runs on the offscreen platform unless QT_QPA_PLATFORM or a display says otherwise.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "main-frame.h"
#include "qt-ui-thread.h"

extern char** environ;

namespace {

constexpr const char* kSeqCommand = "seq 1 1000000";

// Resident size of this process in bytes.
double ResidentBytes() {
    long nPages = 0;
    long nResident = 0;
    std::FILE* pFile = std::fopen("/proc/self/statm", "re");
    if (pFile != nullptr) {
        if (std::fscanf(pFile, "%ld %ld", &nPages, &nResident) != 2) {
            nResident = 0;
        }
        std::fclose(pFile);
    }
    return static_cast<double>(nResident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// Peak resident size of this process in bytes (VmHWM).
double PeakResidentBytes() {
    double nPeak = 0;
    std::FILE* pFile = std::fopen("/proc/self/status", "re");
    if (pFile != nullptr) {
        char szLine[256];
        while (std::fgets(szLine, sizeof(szLine), pFile) != nullptr) {
            long nKb = 0;
            if (std::sscanf(szLine, "VmHWM: %ld kB", &nKb) == 1) {
                nPeak = static_cast<double>(nKb) * 1024;
            }
        }
        std::fclose(pFile);
    }
    return nPeak;
}

// Runs the command through /bin/sh and reads its whole output; returns the byte count.
int64_t ReadRaw(const char* pszCommand) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    const char* argv[] = {"/bin/sh", "-c", pszCommand, nullptr};
    pid_t pid = 0;
    const int nSpawn =
        posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    int64_t nTotal = 0;
    if (nSpawn == 0) {
        static char buffer[64 * 1024];
        ssize_t n = 0;
        while ((n = read(fds[0], buffer, sizeof(buffer))) > 0) {
            nTotal += n;
        }
        waitpid(pid, nullptr, 0);
    }
    close(fds[0]);
    return nSpawn == 0 ? nTotal : -1;
}

// Runs the command in the frame's view and processes events until its end line is in the pane.
void RunInView(CMainFrame& frame, const char* pszCommand) {
    frame.View().SetCommand(QString::fromUtf8(pszCommand));
    frame.View().OnRun();
    while (frame.View().IsRunning()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    frame.View().OutputPane()->FlushLayout();
    QCoreApplication::processEvents();
}

void RawPipe(benchmark::State& state) {
    int64_t nBytes = 0;
    for (auto _ : state) {
        nBytes = ReadRaw(kSeqCommand);
    }
    if (nBytes <= 0) {
        state.SkipWithError("the command could not be run");
        return;
    }
    state.SetBytesProcessed(nBytes * state.iterations());
}

void ViewSeq(benchmark::State& state) {
    const int64_t nBytes = ReadRaw(kSeqCommand);
    double nAdded = 0;
    double nUtf16 = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto pFrame = std::make_unique<CMainFrame>();
        pFrame->show();
        QCoreApplication::processEvents();
        malloc_trim(0);
        const double nBefore = ResidentBytes();
        state.ResumeTiming();
        RunInView(*pFrame, kSeqCommand);
        state.PauseTiming();
        nAdded = ResidentBytes() - nBefore;
        nUtf16 = 2.0 * pFrame->View().OutputPane()->GetTextLength();
        pFrame.reset();
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(nBytes * state.iterations());
    state.counters["pane_utf16_MB"] = nUtf16 / 1e6;
    state.counters["rss_added_MB"] = nAdded / 1e6;
    state.counters["rss_per_utf16"] = nUtf16 > 0 ? nAdded / nUtf16 : 0;
}

void ViewFlood(benchmark::State& state) {
    const int nSeconds = static_cast<int>(state.range(0));
    const std::string command = "timeout " + std::to_string(nSeconds) + " yes";
    qint64 nMaxGapMs = 0;
    double nFill = 0;
    for (auto _ : state) {
        CMainFrame frame;
        frame.show();
        QCoreApplication::processEvents();
        QElapsedTimer sinceTick;
        sinceTick.start();
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout,
                         [&] { nMaxGapMs = std::max(nMaxGapMs, sinceTick.restart()); });
        ticker.start(10);
        RunInView(frame, command.c_str());
        ticker.stop();
        COutputPane& pane = *frame.View().OutputPane();
        nFill = static_cast<double>(pane.GetTextLength()) / pane.GetLimitText();
    }
    state.counters["peak_rss_MB"] = PeakResidentBytes() / 1e6;
    state.counters["pane_fill"] = nFill;
    state.counters["max_tick_gap_ms"] = static_cast<double>(nMaxGapMs);
}

}  // namespace

BENCHMARK(RawPipe)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(ViewSeq)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(ViewFlood)->Arg(12)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

int main(int argc, char** argv) {
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    benchmark::Initialize(&argc, argv);
    int nQtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(nQtArgc, qtArgv);
    CQtUiThread ui;
    OrvSetUiThread(&ui);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ui.Close();
    OrvSetUiThread(nullptr);
    return 0;
}
