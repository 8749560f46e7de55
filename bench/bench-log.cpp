// Log entries per second into a daily log, with the line prefix, from one and from two threads:
// COrvLog against spdlog's daily file logger writing the same lines (time, thread, text, CR LF).
//
// Like is compared with like. By default COrvLog hands every entry to the kernel before Printf
// returns, so a crash of the process loses nothing: it runs against spdlog with flush_on(trace),
// which gives the same guarantee, and against one bare write(2) of a finished line per entry, the
// floor of that guarantee on this machine. In buffered mode COrvLog keeps entries in its buffer
// (lost on a crash) as spdlog does by default in its stdio buffer: those two run against each
// other.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/spdlog.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "orv-log.h"

namespace {

std::string s_folder;
COrvLog* s_pLog = nullptr;
COrvLog* s_pBufferedLog = nullptr;
std::shared_ptr<spdlog::logger> s_spd;
std::shared_ptr<spdlog::logger> s_spdFlush;
int s_rawFd = -1;

void BM_OrvLog(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        s_pLog->Printf("bench line %d of the log benchmark %s\n", ++i, "payload");
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_OrvLogBuffered(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        s_pBufferedLog->Printf("bench line %d of the log benchmark %s\n", ++i, "payload");
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Spdlog(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        s_spd->info("bench line {} of the log benchmark {}", ++i, "payload");
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_SpdlogFlushed(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        s_spdFlush->info("bench line {} of the log benchmark {}", ++i, "payload");
    }
    state.SetItemsProcessed(state.iterations());
}

// One write(2) of an already formatted line per entry: the floor for any logger that hands
// each entry to the kernel at once.
void BM_RawWrite(benchmark::State& state) {
    static const char kLine[] =
        "2024-03-05 14:07:00 1 bench line 123456 of the log benchmark payload\r\n";
    for (auto _ : state) {
        if (write(s_rawFd, kLine, sizeof(kLine) - 1) < 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_OrvLog)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_OrvLogBuffered)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Spdlog)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_SpdlogFlushed)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_RawWrite)->Threads(1)->Threads(2)->UseRealTime();

// Prints the usual table and remembers lines per second of each run for the ratios.
class CRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto it = run.counters.find("items_per_second");
            if (it != run.counters.end()) {
                m_rates[run.benchmark_name()] = it->second.value;
            }
        }
    }
    void PrintRatios() {
        std::printf("\nlines per second, same run (ratio > 1: COrvLog ahead)\n");
        for (const char* pszThreads : {"threads:1", "threads:2"}) {
            const double dOrv = Rate("BM_OrvLog/", pszThreads);
            const double dBuf = Rate("BM_OrvLogBuffered/", pszThreads);
            const double dSpd = Rate("BM_Spdlog/", pszThreads);
            const double dFlush = Rate("BM_SpdlogFlushed/", pszThreads);
            const double dRaw = Rate("BM_RawWrite/", pszThreads);
            Ratio(pszThreads, "COrvLog write-through", dOrv, "spdlog flush_on(trace)", dFlush);
            Ratio(pszThreads, "COrvLog write-through", dOrv, "bare write(2) per line", dRaw);
            Ratio(pszThreads, "COrvLog buffered", dBuf, "spdlog buffered", dSpd);
            Ratio(pszThreads, "COrvLog write-through", dOrv, "spdlog buffered", dSpd);
        }
    }

private:
    static void Ratio(const char* pszThreads, const char* pszOrv, double dOrv, const char* pszPeer,
                      double dPeer) {
        if (dOrv > 0 && dPeer > 0) {
            std::printf("%s: %-22s %9.0f  vs %-23s %9.0f  ratio %.2f\n", pszThreads, pszOrv, dOrv,
                        pszPeer, dPeer, dOrv / dPeer);
        }
    }
    // The median over the repetitions when there are several, otherwise the single run.
    double Rate(const char* pszName, const char* pszThreads) {
        double dRate = 0;
        for (const auto& [name, rate] : m_rates) {
            if (name.find(pszName) != 0 || name.find(pszThreads) == std::string::npos) {
                continue;
            }
            if (name.find("_median") != std::string::npos) {
                return rate;
            }
            if (name.find("_mean") == std::string::npos &&
                name.find("_stddev") == std::string::npos &&
                name.find("_cv") == std::string::npos) {
                dRate = rate;
            }
        }
        return dRate;
    }
    std::map<std::string, double> m_rates;
};

}  // namespace

int main(int argc, char** argv) {
    char szTemplate[] = "/tmp/bench-log-XXXXXX";
    if (!mkdtemp(szTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    s_folder = szTemplate;
    COrvLog log;
    log.SetLogFolder(s_folder.c_str(), "vexil");
    s_pLog = &log;
    COrvLog buffered;
    buffered.SetLogFolder(s_folder.c_str(), "vexil-buffered");
    buffered.SetBuffered(true);
    s_pBufferedLog = &buffered;
    s_spd = spdlog::daily_logger_mt("bench", s_folder + "/spd.log", 0, 0);
    s_spd->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%Y-%m-%d %H:%M:%S %t %v", spdlog::pattern_time_type::local, "\r\n"));
    s_spdFlush = spdlog::daily_logger_mt("bench-flush", s_folder + "/spd-flush.log", 0, 0);
    s_spdFlush->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%Y-%m-%d %H:%M:%S %t %v", spdlog::pattern_time_type::local, "\r\n"));
    s_spdFlush->flush_on(spdlog::level::trace);
    s_rawFd =
        open((s_folder + "/raw.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (s_rawFd < 0) {
        std::perror("open");
        return 1;
    }

    // The machine is shared and noisy: by default every case runs five times, the cases in a
    // random order each round, and the ratios compare medians. Arguments replace the defaults.
    std::vector<char*> args(argv, argv + argc);
    char szRepetitions[] = "--benchmark_repetitions=5";
    char szInterleave[] = "--benchmark_enable_random_interleaving=true";
    char szAggregates[] = "--benchmark_report_aggregates_only=true";
    if (argc == 1) {
        args.push_back(szRepetitions);
        args.push_back(szInterleave);
        args.push_back(szAggregates);
    }
    int nArgs = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&nArgs, args.data());
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();

    log.Reset();
    buffered.Reset();
    close(s_rawFd);
    spdlog::drop_all();
    s_spd.reset();
    s_spdFlush.reset();
    std::string cmd = "rm -rf '" + s_folder + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
