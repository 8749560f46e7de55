// The window's speed and memory on floods of output, with the raw pipe as the peer measured in the
// same run.
//
//  - RawPipe: `seq 1 1000000` read straight from a pipe (64 KiB reads, nothing shown): the most
//    any viewer could do.
//  - ViewSeq: the real frame, shown, running the same command through the real console pipe, from
//    Run until "--- End of Log ---" is in the pane, under the event loop the program runs. The
//    run fails unless the pane then holds the banner, every byte of the output and the end line.
//    Counters: bytes per second; the pane's repaints during the run (it must have shown the output
//    as it came); the resident memory the run added, at its peak and at the end, over the UTF-16
//    size of the pane's text (goal: at most 4).
//  - ViewFlood: `yes` for some seconds against a pane whose limit is the default. Counters: the
//    peak resident size of the process, the pane's length against its limit, and the gaps between
//    ticks of a 10 ms timer while the flood runs, the longest and the 99th percentile (the
//    window's responsiveness), beside the same for the idle window just before (the machine's
//    load alone).
//
// Runs on the offscreen platform unless QT_QPA_PLATFORM or a display says otherwise; run it under
// xvfb-run to include the X server's drawing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "main-frame.h"
#include "qt-ui-thread.h"

extern char** environ;

namespace {

constexpr const char* kSeqCommand = "seq 1 1000000";

// Mean wall time of one run of the raw pipe and of the view, and the command's output size, for
// the summary after the table.
double g_dRawSeconds = 0;
double g_dViewSeconds = 0;
int64_t g_nSeqBytes = 0;

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

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

// Starts a new peak: VmHWM drops to the current resident size. False when the kernel refuses.
bool ResetPeakResident() {
    std::FILE* pFile = std::fopen("/proc/self/clear_refs", "we");
    if (pFile == nullptr) {
        return false;
    }
    const bool bOk = std::fputs("5", pFile) >= 0;
    return std::fclose(pFile) == 0 && bOk;
}

// Counts the paint events a widget receives.
class CPaintCounter : public QObject {
public:
    int m_nPaints = 0;

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override {
        if (pEvent->type() == QEvent::Paint) {
            ++m_nPaints;
        }
        return QObject::eventFilter(pObject, pEvent);
    }
};

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

// Runs the command in the frame's view under an event loop, as the program does, until the view
// has handled the pipe's end (its end line is in the pane), then lets the last repaint happen.
void RunInView(CMainFrame& frame, const char* pszCommand) {
    QEventLoop loop;
    const QMetaObject::Connection done =
        QObject::connect(&frame.View(), &CVexilView::PipeFinished, &loop, &QEventLoop::quit);
    frame.View().SetCommand(QString::fromUtf8(pszCommand));
    frame.View().OnRun();
    if (frame.View().IsRunning()) {
        loop.exec();
    }
    QObject::disconnect(done);
    frame.View().OutputPane()->FlushLayout();
    QCoreApplication::processEvents();
}

// Whether the pane holds exactly the banner of the command, nOutput bytes of single-byte output
// in nLines lines (each LF now CR LF), and the end line.
bool HoldsWholeRun(const COutputPane& pane, const char* pszCommand, int64_t nOutput,
                   int64_t nLines) {
    static const std::u16string kEnd = u"--- End of Log ---\r\n\r\n";
    const std::u16string banner =
        u"--- " + QString::fromUtf8(pszCommand).toStdU16String() + u" ---\r\n";
    const int64_t nLen = pane.GetTextLength();
    if (nLen != static_cast<int64_t>(banner.size()) + nOutput + nLines +
                    static_cast<int64_t>(kEnd.size())) {
        return false;
    }
    const char16_t* p = pane.Text().Data();
    return std::u16string(p, banner.size()) == banner &&
           std::u16string(p + nLen - kEnd.size(), kEnd.size()) == kEnd;
}

void RawPipe(benchmark::State& state) {
    int64_t nBytes = 0;
    double dTotal = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        nBytes = ReadRaw(kSeqCommand);
        dTotal += SecondsSince(start);
    }
    if (nBytes <= 0) {
        state.SkipWithError("the command could not be run");
        return;
    }
    g_dRawSeconds = dTotal / static_cast<double>(state.iterations());
    g_nSeqBytes = nBytes;
    state.SetBytesProcessed(nBytes * state.iterations());
}

void ViewSeq(benchmark::State& state) {
    const int64_t nBytes = ReadRaw(kSeqCommand);
    constexpr int64_t kLines = 1000000;
    double nAdded = 0;
    double nPeakAdded = 0;
    double nUtf16 = 0;
    int nPaints = 0;
    bool bWhole = true;
    double dTotal = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto pFrame = std::make_unique<CMainFrame>();
        pFrame->show();
        QCoreApplication::processEvents();
        CPaintCounter paints;
        pFrame->View().OutputPane()->viewport()->installEventFilter(&paints);
        malloc_trim(0);
        const double nBefore = ResidentBytes();
        const bool bPeak = ResetPeakResident();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        RunInView(*pFrame, kSeqCommand);
        dTotal += SecondsSince(start);
        state.PauseTiming();
        nAdded = ResidentBytes() - nBefore;
        nPeakAdded = bPeak ? PeakResidentBytes() - nBefore : 0;
        const COutputPane& pane = *pFrame->View().OutputPane();
        nUtf16 = 2.0 * pane.GetTextLength();
        nPaints = paints.m_nPaints;
        bWhole = bWhole && HoldsWholeRun(pane, kSeqCommand, nBytes, kLines);
        pFrame.reset();
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
    if (!bWhole) {
        state.SkipWithError("the pane does not hold the banner, the whole output and the end line");
        return;
    }
    g_dViewSeconds = dTotal / static_cast<double>(state.iterations());
    state.SetBytesProcessed(nBytes * state.iterations());
    state.counters["paints"] = nPaints;
    state.counters["pane_utf16_MB"] = nUtf16 / 1e6;
    state.counters["rss_added_MB"] = nAdded / 1e6;
    state.counters["rss_per_utf16"] = nUtf16 > 0 ? nAdded / nUtf16 : 0;
    state.counters["peak_rss_per_utf16"] = nUtf16 > 0 ? nPeakAdded / nUtf16 : 0;
}

void ViewFlood(benchmark::State& state) {
    const int nSeconds = static_cast<int>(state.range(0));
    const std::string command = "timeout " + std::to_string(nSeconds) + " yes";
    std::vector<qint64> gaps;
    double nFill = 0;
    bool bEnded = true;
    std::vector<qint64> idleGaps;
    for (auto _ : state) {
        CMainFrame frame;
        frame.show();
        QCoreApplication::processEvents();
        QElapsedTimer sinceTick;
        QTimer ticker;
        std::vector<qint64>* pGaps = &idleGaps;
        QObject::connect(&ticker, &QTimer::timeout, [&] { pGaps->push_back(sinceTick.restart()); });
        // the same timer in the idle window first: what the machine's load alone costs
        QEventLoop idle;
        QTimer::singleShot(2000, &idle, &QEventLoop::quit);
        sinceTick.start();
        ticker.start(10);
        idle.exec();
        pGaps = &gaps;
        sinceTick.restart();
        RunInView(frame, command.c_str());
        ticker.stop();
        COutputPane& pane = *frame.View().OutputPane();
        nFill = static_cast<double>(pane.GetTextLength()) / pane.GetLimitText();
        const QString text = pane.GetText();
        bEnded = bEnded && text.endsWith(QStringLiteral("y\r\n--- End of Log ---\r\n\r\n"));
    }
    if (!bEnded || gaps.empty() || idleGaps.empty()) {
        state.SkipWithError("the flood did not end with its end line");
        return;
    }
    std::sort(gaps.begin(), gaps.end());
    std::sort(idleGaps.begin(), idleGaps.end());
    state.counters["idle_gap_max_ms"] = static_cast<double>(idleGaps.back());
    state.counters["idle_gap_p99_ms"] = static_cast<double>(idleGaps[idleGaps.size() * 99 / 100]);
    state.counters["peak_rss_MB"] = PeakResidentBytes() / 1e6;
    state.counters["pane_fill"] = nFill;
    state.counters["tick_gap_max_ms"] = static_cast<double>(gaps.back());
    state.counters["tick_gap_p99_ms"] = static_cast<double>(gaps[gaps.size() * 99 / 100]);
}

}  // namespace

BENCHMARK(RawPipe)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(ViewSeq)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(ViewFlood)->Arg(8)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

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
    if (g_dRawSeconds > 0 && g_dViewSeconds > 0) {
        const double dMB = static_cast<double>(g_nSeqBytes) / 1e6;
        std::printf("\n%s (%.1f MB)                      ms      MB/s\n", kSeqCommand, dMB);
        std::printf("raw pipe, 64 KiB reads             %8.1f %9.1f\n", g_dRawSeconds * 1e3,
                    dMB / g_dRawSeconds);
        std::printf("vexil view, Run to end line        %8.1f %9.1f   (goal: 10 MB/s)\n",
                    g_dViewSeconds * 1e3, dMB / g_dViewSeconds);
        std::printf("view vs raw pipe: %.1fx the time\n", g_dViewSeconds / g_dRawSeconds);
    }
    ui.Close();
    OrvSetUiThread(nullptr);
    return 0;
}
