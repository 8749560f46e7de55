// Settings store: reads per second of a 32-bit value and durable writes per second, against an
// ini-like file handled with the standard library in the same run.
//
// The peer keeps "name=value" lines in one file. Its read opens the file with std::ifstream,
// scans the lines for the name and converts the number, which is what a program without a
// settings library does; its durable write reads the lines, changes one, writes a temporary file
// with stdio, fsyncs it, renames it over the old one and fsyncs the folder, the same guarantee the
// store gives (the store also takes its lock and keeps case-insensitive names and typed values).
// Both keys hold 20 values.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "orv-registry.h"

namespace {

std::string s_root;
std::string s_ini;

void Setup() {
    if (!s_root.empty())
        return;
    char szTmpl[] = "/tmp/orv-bench-reg-XXXXXX";
    s_root = mkdtemp(szTmpl);
    setenv("ORV_REGISTRY_ROOT", s_root.c_str(), 1);
    COrvRegKey key;
    COrvError err;
    if (!key.Create(enOrvHKeyCurrentUser, u"Software\\Bench", ORV_KEY_ALL_ACCESS, err))
        abort();
    std::ofstream ini(s_ini = s_root + "/bench.ini");
    for (int i = 0; i < 20; ++i) {
        std::u16string name = u"Value";
        name += static_cast<char16_t>(u'A' + i);
        if (!key.SetDWORDValue(name.c_str(), static_cast<uint32_t>(i * 1000), err))
            abort();
        ini << "Value" << static_cast<char>('A' + i) << "=" << i * 1000 << "\n";
    }
}

void BM_StoreReadDword(benchmark::State& state) {
    Setup();
    COrvRegKey key;
    COrvError err;
    if (!key.Open(enOrvHKeyCurrentUser, u"Software\\Bench", ORV_KEY_READ, err))
        abort();
    uint32_t n = 0;
    for (auto _ : state) {
        if (!key.QueryDWORDValue(u"valuem", n, err))
            abort();
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations());
}

bool IniRead(const std::string& name, long& value) {
    std::ifstream in(s_ini);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == name.size() && line.compare(0, eq, name) == 0) {
            value = std::stol(line.substr(eq + 1));
            return true;
        }
    }
    return false;
}

void BM_PeerIniReadDword(benchmark::State& state) {
    Setup();
    long n = 0;
    for (auto _ : state) {
        if (!IniRead("ValueM", n))
            abort();
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_StoreDurableWrite(benchmark::State& state) {
    Setup();
    COrvRegKey key;
    COrvError err;
    if (!key.Open(enOrvHKeyCurrentUser, u"Software\\Bench", ORV_KEY_ALL_ACCESS, err))
        abort();
    uint32_t n = 0;
    for (auto _ : state)
        if (!key.SetDWORDValue(u"ValueC", ++n, err))
            abort();
    state.SetItemsProcessed(state.iterations());
}

void BM_PeerIniDurableWrite(benchmark::State& state) {
    Setup();
    long n = 0;
    for (auto _ : state) {
        std::vector<std::string> lines;
        {
            std::ifstream in(s_ini);
            std::string line;
            while (std::getline(in, line))
                lines.push_back(line);
        }
        for (std::string& l : lines)
            if (l.rfind("ValueC=", 0) == 0)
                l = "ValueC=" + std::to_string(++n);
        const std::string tmp = s_ini + ".tmp";
        FILE* f = fopen(tmp.c_str(), "we");
        for (const std::string& l : lines)
            fprintf(f, "%s\n", l.c_str());
        fflush(f);
        fsync(fileno(f));
        fclose(f);
        rename(tmp.c_str(), s_ini.c_str());
        const int fd = open(s_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        fsync(fd);
        close(fd);
    }
    state.SetItemsProcessed(state.iterations());
}

// Wall-clock rates: a read or write that waits on the kernel or the disk costs its caller that
// time.
BENCHMARK(BM_StoreReadDword)->UseRealTime();
BENCHMARK(BM_PeerIniReadDword)->UseRealTime();
BENCHMARK(BM_StoreDurableWrite)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_PeerIniDurableWrite)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!s_root.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(s_root, ec);
    }
    return 0;
}
