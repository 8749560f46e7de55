// Zipping a generated tree of mixed source text and binaries with OrvZipFolder against Info-ZIP's
// "zip -r -6 -q" on the same tree, and extracting the same archive with OrvUnzipToFolder against
// "unzip -q", in the same run. The deflate engines themselves (zlib and libdeflate at level 6)
// are measured on one mixed buffer first. The "ratio" counter is archive size / tree size.
//
// The tree is ORV_BENCH_ZIP_MB megabytes (default 64): text files of 4-64 KiB cut from the
// system's own C headers, and binaries of 64 KiB - 4 MiB cut from its shared libraries. It stays
// in the page cache, so both contenders read from memory and write to the same file system.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <libdeflate.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "orv-file.h"
#include "orv-zip.h"

namespace {

std::string s_folder, s_tree, s_zip, s_peerZip, s_out;
size_t s_nTreeBytes = 0;
std::string s_text, s_binary;  // source material

// Appends the files of a folder (not recursing) whose name passes fn, up to nMax bytes.
template <class Fn>
void Gather(const char* pszFolder, Fn fn, size_t nMax, std::string& out) {
    DIR* d = opendir(pszFolder);
    if (d == nullptr)
        return;
    while (const struct dirent* e = readdir(d)) {
        if (out.size() >= nMax)
            break;
        const std::string name = e->d_name;
        COrvStringA sBytes;
        COrvError err;
        if (fn(name) &&
            OrvReadWholeFile((std::string(pszFolder) + "/" + name).c_str(), sBytes, err))
            out.append(sBytes.GetString(), static_cast<size_t>(sBytes.GetLength()));
    }
    closedir(d);
}

void Fail(const char* psz) {
    fprintf(stderr, "bench-zip: %s\n", psz);
    exit(1);
}

void MakeTree() {
    const char* pszMb = getenv("ORV_BENCH_ZIP_MB");
    const size_t nTotal = (pszMb != nullptr ? strtoul(pszMb, nullptr, 10) : 64) << 20;
    auto ends = [](const std::string& s, const char* psz) {
        return s.size() > strlen(psz) && s.compare(s.size() - strlen(psz), strlen(psz), psz) == 0;
    };
    Gather(
        "/usr/include", [&](const std::string& n) { return ends(n, ".h"); }, 16 << 20, s_text);
    Gather(
        "/usr/lib/x86_64-linux-gnu", [&](const std::string& n) { return n.find(".so") != n.npos; },
        64 << 20, s_binary);
    if (s_text.size() < (1 << 20) || s_binary.size() < (8 << 20))
        Fail("not enough source material in /usr/include and /usr/lib");
    char szTemplate[] = "/var/tmp/orv-bench-zip-XXXXXX";
    if (mkdtemp(szTemplate) == nullptr)
        Fail("mkdtemp");
    s_folder = szTemplate;
    s_tree = s_folder + "/tree";
    s_zip = s_folder + "/orv.zip";
    s_peerZip = s_folder + "/peer.zip";
    s_out = s_folder + "/out";
    std::mt19937 rng(42);
    for (int nFile = 0; s_nTreeBytes < nTotal; ++nFile) {
        const bool bText = nFile % 8 != 0;  // about half the bytes each
        const size_t nSize = bText ? 4096 + rng() % 61440 : 65536 + rng() % (4 << 20);
        const std::string& src = bText ? s_text : s_binary;
        const size_t nAt = rng() % (src.size() - nSize);
        const std::string folder =
            s_tree + "/d" + std::to_string(nFile % 23) + "/s" + std::to_string(nFile % 7);
        COrvError err;
        if (!OrvCreateFolder(folder.c_str(), 0755, err) ||
            !OrvWriteWholeFile(
                (folder + "/f" + std::to_string(nFile) + (bText ? ".c" : ".bin")).c_str(),
                src.data() + nAt, nSize, err))
            Fail(err.Text());
        s_nTreeBytes += nSize;
    }
    COrvError err;
    if (!OrvZipFolder(s_tree.c_str(), s_zip.c_str(), err))
        Fail(err.Text());
}

uint64_t FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

void Shell(benchmark::State& state, const std::string& cmd) {
    if (system(cmd.c_str()) != 0)
        state.SkipWithError(("failed: " + cmd).c_str());
}

// One mixed buffer: 8 MiB, half text, half binary.
std::string MixedBuffer() {
    return s_text.substr(0, 4 << 20) + s_binary.substr(0, 4 << 20);
}

void BM_DeflateZlib(benchmark::State& state) {
    const std::string in = MixedBuffer();
    std::string out(compressBound(in.size()), '\0');
    size_t nOut = 0;
    for (auto _ : state) {
        z_stream z = {};
        deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z.avail_in = static_cast<uInt>(in.size());
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        nOut = z.total_out;
        deflateEnd(&z);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
    state.counters["ratio"] = static_cast<double>(nOut) / static_cast<double>(in.size());
}

void BM_DeflateLibdeflate(benchmark::State& state) {
    const std::string in = MixedBuffer();
    struct libdeflate_compressor* c = libdeflate_alloc_compressor(6);
    std::string out(libdeflate_deflate_compress_bound(c, in.size()), '\0');
    size_t nOut = 0;
    for (auto _ : state)
        nOut = libdeflate_deflate_compress(c, in.data(), in.size(), out.data(), out.size());
    libdeflate_free_compressor(c);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
    state.counters["ratio"] = static_cast<double>(nOut) / static_cast<double>(in.size());
}

void BM_OrvZipFolder(benchmark::State& state) {
    const std::string zip = s_folder + "/again.zip";
    for (auto _ : state) {
        COrvError err;
        if (!OrvZipFolder(s_tree.c_str(), zip.c_str(), err))
            state.SkipWithError(err.Text().GetString());
        state.PauseTiming();
        state.counters["ratio"] = static_cast<double>(FileSize(zip)) / s_nTreeBytes;
        unlink(zip.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s_nTreeBytes));
}

void BM_InfoZip(benchmark::State& state) {
    for (auto _ : state) {
        Shell(state, "cd '" + s_tree + "' && zip -r -6 -q '" + s_peerZip + "' .");
        state.PauseTiming();
        state.counters["ratio"] = static_cast<double>(FileSize(s_peerZip)) / s_nTreeBytes;
        unlink(s_peerZip.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s_nTreeBytes));
}

void ClearOut(benchmark::State& state) {
    state.PauseTiming();
    Shell(state, "rm -rf '" + s_out + "' && mkdir '" + s_out + "'");
    state.ResumeTiming();
}

void BM_OrvUnzipToFolder(benchmark::State& state) {
    for (auto _ : state) {
        ClearOut(state);
        COrvError err;
        if (!OrvUnzipToFolder(s_zip.c_str(), s_out.c_str(), err))
            state.SkipWithError(err.Text().GetString());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s_nTreeBytes));
}

void BM_InfoUnzip(benchmark::State& state) {
    for (auto _ : state) {
        ClearOut(state);
        Shell(state, "unzip -q '" + s_zip + "' -d '" + s_out + "'");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s_nTreeBytes));
}

BENCHMARK(BM_DeflateZlib)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DeflateLibdeflate)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OrvZipFolder)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_InfoZip)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_OrvUnzipToFolder)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_InfoUnzip)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

}  // namespace

int main(int argc, char** argv) {
    MakeTree();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const std::string cmd = "rm -rf '" + s_folder + "'";
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
