// Copying a 512 MiB file and reading it whole: OrvCopyFile against cp, and reading it through
// OrvReadFileChunks (one reused buffer, as cat does) against cat to /dev/null, in the same run on
// the same file. OrvReadWholeFile is measured too: it must fault in 512 MiB of fresh memory for
// the string, which cat never does, so it is not the like-for-like figure. The peers run as child
// processes; their start-up (about a millisecond) is small beside half a gigabyte. The file stays
// in the page cache between runs, so every contender reads from memory and writes to the same file
// system.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "orv-file.h"

namespace {

const size_t kFileSize = size_t{512} << 20;
std::string s_folder;
std::string s_src;
std::string s_dst;

void MakeSource() {
    char szTemplate[] = "/var/tmp/orv-bench-file-XXXXXX";
    const char* psz = mkdtemp(szTemplate);
    if (psz == nullptr) {
        perror("mkdtemp");
        exit(1);
    }
    s_folder = psz;
    s_src = s_folder + "/src.bin";
    s_dst = s_folder + "/dst.bin";
    FILE* f = fopen(s_src.c_str(), "wb");
    std::string block(size_t{1} << 20, 0);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 2654435761u >> 13);
    for (size_t n = 0; n < kFileSize; n += block.size()) {
        block[0] = static_cast<char>(n >> 20);  // no two blocks alike
        fwrite(block.data(), 1, block.size(), f);
    }
    fclose(f);
}

void RunShell(benchmark::State& state, const std::string& cmd) {
    if (system(cmd.c_str()) != 0)
        state.SkipWithError(("failed: " + cmd).c_str());
}

void BM_OrvCopyFile(benchmark::State& state) {
    for (auto _ : state) {
        COrvError err;
        if (!OrvCopyFile(s_src.c_str(), s_dst.c_str(), err))
            state.SkipWithError(err.Text().GetString());
        state.PauseTiming();
        unlink(s_dst.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_CpCopy(benchmark::State& state) {
    const std::string cmd = "cp '" + s_src + "' '" + s_dst + "'";
    for (auto _ : state) {
        RunShell(state, cmd);
        state.PauseTiming();
        unlink(s_dst.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_OrvReadWholeFile(benchmark::State& state) {
    for (auto _ : state) {
        COrvStringA s;
        COrvError err;
        if (!OrvReadWholeFile(s_src.c_str(), s, err) ||
            static_cast<size_t>(s.GetLength()) != kFileSize)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(s.GetString());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_OrvReadFileChunks(benchmark::State& state) {
    for (auto _ : state) {
        size_t nTotal = 0;
        COrvError err;
        const bool bOk = OrvReadFileChunks(
            s_src.c_str(),
            [](void* pCtx, const void* pData, size_t nLen) {
                benchmark::DoNotOptimize(pData);
                *static_cast<size_t*>(pCtx) += nLen;
                return true;
            },
            &nTotal, err);
        if (!bOk || nTotal != kFileSize)
            state.SkipWithError("read failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_CatRead(benchmark::State& state) {
    const std::string cmd = "cat '" + s_src + "' > /dev/null";
    for (auto _ : state)
        RunShell(state, cmd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

// Interleaved so that a change in the machine's load hits both sides alike.
BENCHMARK(BM_OrvCopyFile)
    ->Iterations(6)
    ->Repetitions(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CpCopy)->Iterations(6)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrvReadWholeFile)
    ->Iterations(6)
    ->Repetitions(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrvReadFileChunks)
    ->Iterations(6)
    ->Repetitions(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CatRead)->Iterations(6)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    MakeSource();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(s_dst.c_str());
    unlink(s_src.c_str());
    rmdir(s_folder.c_str());
    return 0;
}
