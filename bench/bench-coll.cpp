// Hash map and ordered map against std::unordered_map and std::map, measured in the same run:
// insertion, hit and miss lookups at 1k, 100k and 1M integer and string keys, and ordered-map
// lookups. After the runs a table gives each case's CPU time per key for orv-lib and for the
// standard container, and their ratio (below 1.00: orv-lib is faster). Hash-map lookups are also
// measured on a map made with the standard container's load policy (column "orv load1").
//
// Fairness. Both sides get the very same key objects, inserted in the same order and looked up
// in the same order. For string keys that means COrvStringA on both sides: the standard
// containers hash it with std::hash<std::string_view> (the standard string hash, with its hash
// codes cached in the nodes as for std::string) and compare it as std::string_view (length,
// then characters; ordinal order), so the only difference measured is the container and its
// hash function. The probe keys are strings of their own, made in lookup order (as a key
// parsed from input would be), not copies sharing the stored keys' blocks. A third column runs
// the standard containers over std::string keys (whose short-string buffer keeps the characters
// inside the node) as a reference: it shows what the string type itself costs.
//
// Each case runs --benchmark_repetitions times (3 unless given); the table takes the median.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "orv-coll.h"

namespace {

// Keys for a map of n elements: n distinct keys to insert, the same keys shuffled for hit
// lookups, and n keys that are certainly absent for miss lookups.
template <typename K>
struct KeySet {
    std::vector<K> inserted;
    std::vector<K> hits;
    std::vector<K> misses;
};

std::vector<uint32_t> DistinctRandom(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint32_t> v;
    v.reserve(n * 2 + 16);
    while (v.size() < n * 2) {
        for (size_t i = v.size(); i < n * 2 + 16; ++i)
            v.push_back(rng() & 0x7FFFFFFF);
        std::sort(v.begin(), v.end());
        v.erase(std::unique(v.begin(), v.end()), v.end());
    }
    std::shuffle(v.begin(), v.end(), rng);
    v.resize(n * 2);
    return v;
}

template <typename K>
K MakeKey(uint32_t x);
template <>
int MakeKey<int>(uint32_t x) {
    return static_cast<int>(x);
}
template <>
std::string MakeKey<std::string>(uint32_t x) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "key_%u", x);
    return buf;
}
template <>
COrvStringA MakeKey<COrvStringA>(uint32_t x) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "key_%u", x);
    return COrvStringA(buf);
}

template <typename K>
const KeySet<K>& Keys(size_t n) {
    static std::map<size_t, KeySet<K>> s_cache;
    auto it = s_cache.find(n);
    if (it != s_cache.end())
        return it->second;
    const std::vector<uint32_t> raw = DistinctRandom(n, static_cast<unsigned>(n));
    KeySet<K>& ks = s_cache[n];
    for (size_t i = 0; i < n; ++i) {
        ks.inserted.push_back(MakeKey<K>(raw[i]));
        ks.misses.push_back(MakeKey<K>(raw[n + i]));
    }
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (size_t i : order)  // new keys equal to the inserted ones, made in lookup order
        ks.hits.push_back(MakeKey<K>(raw[i]));
    return ks;
}

std::string_view View(const COrvStringA& s) {
    return {static_cast<const char*>(s), static_cast<size_t>(s.GetLength())};
}
// The standard containers' view of a COrvStringA key: the standard string hash and comparisons.
// The hash is not declared noexcept, so libstdc++ caches it in the nodes, as it does for
// std::string keys.
struct StdStrHash {
    size_t operator()(const COrvStringA& s) const { return std::hash<std::string_view>()(View(s)); }
};
struct StdStrEqual {
    bool operator()(const COrvStringA& a, const COrvStringA& b) const { return View(a) == View(b); }
};
struct StdStrLess {
    bool operator()(const COrvStringA& a, const COrvStringA& b) const { return View(a) < View(b); }
};

// Uniform access to the containers. K is the bench's key kind: int or std::string; the orv and
// std sides use int or COrvStringA keys (the same objects), the reference side std::string.
template <typename K>
using OrvKey = std::conditional_t<std::is_same_v<K, int>, int, COrvStringA>;

// The hash map with the given loads (optimal, low and high threshold); the defaults unless told.
template <typename K, float kOptimal = 0.75f, float kLow = 0.25f, float kHigh = 2.25f>
struct OrvHash {
    using Key = OrvKey<K>;
    COrvMap<Key, int> m{17, kOptimal, kLow, kHigh};
    void Insert(const Key& k, int v) { m.SetAt(k, v); }
    bool Find(const Key& k) const { return m.Lookup(k) != nullptr; }
};
// The same map made with the standard container's load policy: at most one element per bin,
// about half a bin per element after a rehash (the defaults allow 2.25 and aim at 0.75). It
// separates the cost of the default policy's longer chains from the cost of the container.
template <typename K>
using OrvHashLoad1 = OrvHash<K, 0.5f, 0.25f, 1.0f>;
template <typename K>
struct StdHash {
    using Key = OrvKey<K>;
    using Map = std::conditional_t<std::is_same_v<K, int>, std::unordered_map<int, int>,
                                   std::unordered_map<COrvStringA, int, StdStrHash, StdStrEqual>>;
    Map m;
    void Insert(const Key& k, int v) { m[k] = v; }
    bool Find(const Key& k) const { return m.find(k) != m.end(); }
};
struct RefHash {
    using Key = std::string;
    std::unordered_map<std::string, int> m;
    void Insert(const Key& k, int v) { m[k] = v; }
    bool Find(const Key& k) const { return m.find(k) != m.end(); }
};
template <typename K>
struct OrvTree {
    using Key = OrvKey<K>;
    COrvRBMap<Key, int> m;
    void Insert(const Key& k, int v) { m.SetAt(k, v); }
    bool Find(const Key& k) const { return m.Lookup(k) != nullptr; }
};
template <typename K>
struct StdTree {
    using Key = OrvKey<K>;
    using Map = std::conditional_t<std::is_same_v<K, int>, std::map<int, int>,
                                   std::map<COrvStringA, int, StdStrLess>>;
    Map m;
    void Insert(const Key& k, int v) { m[k] = v; }
    bool Find(const Key& k) const { return m.find(k) != m.end(); }
};
struct RefTree {
    using Key = std::string;
    std::map<std::string, int> m;
    void Insert(const Key& k, int v) { m[k] = v; }
    bool Find(const Key& k) const { return m.find(k) != m.end(); }
};

template <class C>
void BenchInsert(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const auto& keys = Keys<typename C::Key>(n).inserted;
    for (auto _ : state) {
        auto* c = new C;
        for (size_t i = 0; i < n; ++i)
            c->Insert(keys[i], static_cast<int>(i));
        benchmark::DoNotOptimize(c);
        state.PauseTiming();
        delete c;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

template <class C, bool bHits>
void BenchLookup(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const KeySet<typename C::Key>& ks = Keys<typename C::Key>(n);
    C c;
    for (size_t i = 0; i < n; ++i)
        c.Insert(ks.inserted[i], static_cast<int>(i));
    const auto& probe = bHits ? ks.hits : ks.misses;
    size_t i = 0;
    size_t nFound = 0;
    for (auto _ : state) {
        nFound += c.Find(probe[i]);
        if (++i == n)
            i = 0;
    }
    benchmark::DoNotOptimize(nFound);
    if (bHits ? nFound != static_cast<size_t>(state.iterations()) : nFound != 0)
        state.SkipWithError("lookup gave a wrong answer");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Remembers each case's times and prints the median per side and the ratios after the console
// output.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration)
                continue;
            std::string name = r.run_name.function_name;
            const size_t nSlash = name.find('/');
            if (nSlash == std::string::npos)
                continue;
            const std::string side = name.substr(0, nSlash);
            auto it = r.counters.find("items_per_second");
            if (it == r.counters.end() || it->second.value <= 0)
                continue;
            m_times[name.substr(nSlash + 1)][side].push_back(1e9 / it->second.value);
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-26s %10s %10s %8s %12s %10s %10s %10s\n", "case (ns per key, median)",
                    "orv", "std", "orv/std", "std::string", "orv/ref", "orv load1", "load1/std");
        for (auto& [name, sides] : m_times) {
            const double o = Median(sides, "orv");
            const double s = Median(sides, "std");
            const double r = Median(sides, "ref");
            const double l = Median(sides, "load1");
            if (o <= 0 || s <= 0)
                continue;
            std::printf("%-26s %10.1f %10.1f %8.2f", name.c_str(), o, s, o / s);
            if (r > 0)
                std::printf(" %12.1f %10.2f", r, o / r);
            else
                std::printf(" %12s %10s", "-", "-");
            if (l > 0)
                std::printf(" %10.1f %10.2f\n", l, l / s);
            else
                std::printf(" %10s %10s\n", "-", "-");
        }
    }

private:
    using Sides = std::map<std::string, std::vector<double>>;
    static double Median(Sides& sides, const char* pszSide) {
        auto it = sides.find(pszSide);
        if (it == sides.end() || it->second.empty())
            return 0;
        std::vector<double>& v = it->second;
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    std::map<std::string, Sides> m_times;
};

void Register(const std::string& side, const std::string& what, int64_t n,
              void (*f)(benchmark::State&), bool bWhole) {
    auto* b = benchmark::RegisterBenchmark((side + "/" + what).c_str(), f)->Arg(n);
    if (bWhole)
        b->Unit(benchmark::kMillisecond);
}

// One case: the orv side, the std side over the same keys and, for string keys, the reference
// side over std::string keys.
template <typename K>
void RegisterCase(const std::string& what, int64_t n, void (*fo)(benchmark::State&),
                  void (*fs)(benchmark::State&), void (*fr)(benchmark::State&), bool bWhole) {
    Register("orv", what, n, fo, bWhole);
    Register("std", what, n, fs, bWhole);
    if (!std::is_same_v<K, int>)
        Register("ref", what, n, fr, bWhole);
}

template <typename K>
void RegisterAll(const char* pszKind) {
    for (int64_t n : {1000, 100000, 1000000}) {
        const std::string k = std::string(pszKind) + "/" + std::to_string(n);
        RegisterCase<K>("map-insert/" + k, n, &BenchInsert<OrvHash<K>>, &BenchInsert<StdHash<K>>,
                        &BenchInsert<RefHash>, true);
        RegisterCase<K>("map-hit/" + k, n, &BenchLookup<OrvHash<K>, true>,
                        &BenchLookup<StdHash<K>, true>, &BenchLookup<RefHash, true>, false);
        Register("load1", "map-hit/" + k, n, &BenchLookup<OrvHashLoad1<K>, true>, false);
        RegisterCase<K>("map-miss/" + k, n, &BenchLookup<OrvHash<K>, false>,
                        &BenchLookup<StdHash<K>, false>, &BenchLookup<RefHash, false>, false);
        Register("load1", "map-miss/" + k, n, &BenchLookup<OrvHashLoad1<K>, false>, false);
        RegisterCase<K>("tree-hit/" + k, n, &BenchLookup<OrvTree<K>, true>,
                        &BenchLookup<StdTree<K>, true>, &BenchLookup<RefTree, true>, false);
        RegisterCase<K>("tree-miss/" + k, n, &BenchLookup<OrvTree<K>, false>,
                        &BenchLookup<StdTree<K>, false>, &BenchLookup<RefTree, false>, false);
    }
}

}  // namespace

int main(int argc, char** argv) {
    RegisterAll<int>("int");
    RegisterAll<std::string>("str");
    // Three repetitions unless the command line asks otherwise; the table takes the median.
    std::vector<char*> args(argv, argv + argc);
    std::string strReps = "--benchmark_repetitions=3";
    bool bReps = false;
    for (int i = 1; i < argc; ++i)
        bReps = bReps || std::string_view(argv[i]).starts_with("--benchmark_repetitions");
    if (!bReps)
        args.insert(args.begin() + 1, strReps.data());
    int nArgs = static_cast<int>(args.size());
    benchmark::Initialize(&nArgs, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
