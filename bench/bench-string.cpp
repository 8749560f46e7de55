// COrvStringA formatting against the C library's snprintf into a stack buffer, measured in the
// same run, and appending one character at a time up to 1 MB. After the runs a table gives the
// Format/snprintf time ratio (the goal is at most 1.30) and the time per append at 1 KB and 1 MB.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "orv-string.h"

namespace {

void BM_FormatOrv(benchmark::State& state) {
    COrvStringA s;
    int i = 0;
    for (auto _ : state) {
        s.Format("%d %s %.3f", i, "some text", i * 0.37);
        benchmark::DoNotOptimize(s.GetString());
        ++i;
    }
}

void BM_FormatSnprintf(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        char buf[512];
        std::snprintf(buf, sizeof(buf), "%d %s %.3f", i, "some text", i * 0.37);
        benchmark::DoNotOptimize(buf);
        ++i;
    }
}

// Appends up to the target size; the time per append is the iteration time over the count.
void BM_AppendChar(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        COrvStringA s;
        for (int i = 0; i < n; ++i)
            s.AppendChar(static_cast<char>('a' + (i & 15)));
        benchmark::DoNotOptimize(s.GetString());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

BENCHMARK(BM_FormatOrv);
BENCHMARK(BM_FormatSnprintf);
BENCHMARK(BM_AppendChar)->Arg(1024)->Arg(1 << 20);

// Collects the CPU time of each run for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            m_times[r.benchmark_name()] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> m_times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto& t = reporter.m_times;
    if (t.count("BM_FormatOrv") && t.count("BM_FormatSnprintf") && t["BM_FormatSnprintf"] > 0) {
        std::printf(
            "\nFormat(\"%%d %%s %%.3f\"): COrvStringA %.1f ns, snprintf %.1f ns, ratio %.2f"
            " (goal <= 1.30)\n",
            t["BM_FormatOrv"], t["BM_FormatSnprintf"], t["BM_FormatOrv"] / t["BM_FormatSnprintf"]);
    }
    if (t.count("BM_AppendChar/1024") && t.count("BM_AppendChar/1048576")) {
        std::printf("AppendChar: %.2f ns per append up to 1 KB, %.2f ns per append up to 1 MB\n",
                    t["BM_AppendChar/1024"] / 1024.0, t["BM_AppendChar/1048576"] / 1048576.0);
    }
    return 0;
}
