// Log entries per second into a daily log, with the line prefix, from one and from two threads:
// COrvLog against spdlog's daily file logger writing the same lines (time, thread, text, CR LF).
//
// COrvLog hands every entry to the kernel before Printf returns, so a crash of the process loses
// nothing. spdlog by default keeps entries in its stdio buffer (lost on a crash); it is measured
// both that way and with flush_on(trace), which gives the same guarantee as COrvLog. A third peer,
// one bare write(2) of a finished line per entry, shows what that guarantee costs on this machine.
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

#include "orv-log.h"

namespace {

std::string s_folder;
COrvLog* s_pLog = nullptr;
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
        for (const char* pszThreads : {"threads:1", "threads:2"}) {
            const double dOrv = Rate("BM_OrvLog/", pszThreads);
            const double dSpd = Rate("BM_Spdlog/", pszThreads);
            const double dFlush = Rate("BM_SpdlogFlushed/", pszThreads);
            const double dRaw = Rate("BM_RawWrite/", pszThreads);
            if (dOrv > 0 && dSpd > 0) {
                std::printf("%s: COrvLog %.0f lines/s, spdlog buffered %.0f lines/s, ratio %.2f\n",
                            pszThreads, dOrv, dSpd, dOrv / dSpd);
            }
            if (dOrv > 0 && dFlush > 0) {
                std::printf(
                    "%s: COrvLog %.0f lines/s, spdlog flush_on(trace) %.0f lines/s, ratio %.2f\n",
                    pszThreads, dOrv, dFlush, dOrv / dFlush);
            }
            if (dOrv > 0 && dRaw > 0) {
                std::printf(
                    "%s: COrvLog %.0f lines/s, bare write(2) per line %.0f lines/s, "
                    "ratio %.2f\n",
                    pszThreads, dOrv, dRaw, dOrv / dRaw);
            }
        }
    }

private:
    double Rate(const char* pszName, const char* pszThreads) {
        for (const auto& [name, rate] : m_rates) {
            if (name.find(pszName) == 0 && name.find(pszThreads) != std::string::npos) {
                return rate;
            }
        }
        return 0;
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

    benchmark::Initialize(&argc, argv);
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();

    log.Reset();
    close(s_rawFd);
    spdlog::drop_all();
    s_spd.reset();
    s_spdFlush.reset();
    std::string cmd = "rm -rf '" + s_folder + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
