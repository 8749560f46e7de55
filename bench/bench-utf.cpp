// UTF-8 to UTF-16: the library's converter against glibc iconv ("UTF-8" -> "UTF-16LE") on
// ASCII-heavy and on mixed text, in the same run. Prints bytes/s for both and the ratio. Before
// timing, both outputs are checked to be the same whole text; the library's scalar path (vector
// path forbidden) is timed too, for reference.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "orv-utf.h"

namespace {

// About 1 MB of text. ASCII-heavy: English prose with an accented word now and then. Mixed:
// sentences of about ten words, each sentence in one script (Latin with accents, Cyrillic, Greek,
// CJK, emoji), separated by ASCII spaces and punctuation, as in multilingual documents.
std::string MakeText(bool bMixed) {
    static const char* kAscii[] = {"the ",  "quick ", "brown ", "fox ",  "jumps ",  "over ",
                                   "lazy ", "dog, ",  "and ",   "then ", "runs.\n", "caf\xC3\xA9 "};
    static const char* kScripts[][3] = {
        {"na\xC3\xAFve ",
         "fa\xC3\xA7"
         "ade ",
         "stra\xC3\x9F"
         "e "},
        {"\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 ", "\xD0\xBC\xD0\xB8\xD1\x80 ",
         "\xD0\xB4\xD0\xBE\xD0\xBC "},
        {"\xCE\xB1\xCE\xB2\xCE\xB3 ", "\xCE\xBA\xCF\x8C\xCF\x83\xCE\xBC\xCE\xBF\xCF\x82 ",
         "\xCE\xBB\xCF\x8C\xCE\xB3\xCE\xBF\xCF\x82 "},
        {"\xE4\xB8\x96\xE7\x95\x8C", "\xE4\xBD\xA0\xE5\xA5\xBD", "\xE6\x97\xA5\xE6\x9C\xAC "},
        {"\xF0\x9F\x98\x80 ", "\xF0\x9F\x8E\x89", "\xF0\x9F\x91\x8D "},
        {"hello ", "world ", "text "}};
    std::mt19937 rng(1);
    std::string s;
    while (s.size() < (1u << 20)) {
        if (bMixed) {
            const auto& script = kScripts[rng() % 6];
            for (int w = 0; w < 10; ++w)
                s += script[rng() % 3];
            s += ". ";
        } else {
            s += kAscii[rng() % (rng() % 50 == 0 ? 12 : 11)];
        }
    }
    return s;
}

const std::string& Text(bool bMixed) {
    static const std::string ascii = MakeText(false), mixed = MakeText(true);
    return bMixed ? mixed : ascii;
}

// Both sides convert the whole text to the same units: iconv consumes all input without error and
// its bytes equal the library's units. Returns false (and says why) otherwise.
bool SameWork(bool bMixed) {
    const std::string& in = Text(bMixed);
    std::vector<char16_t> out(in.size() + 1);
    int nStatus = -1;
    const int n = OrvUtf8ToUtf16(in.data(), static_cast<int>(in.size()), true, out.data(),
                                 static_cast<int>(out.size()), &nStatus);
    std::vector<char> outb(in.size() * 2 + 16);
    iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    if (cd == (iconv_t)-1) {
        fprintf(stderr, "iconv_open failed\n");
        return false;
    }
    char* pi = const_cast<char*>(in.data());
    char* po = outb.data();
    size_t il = in.size(), ol = outb.size();
    const size_t r = iconv(cd, &pi, &il, &po, &ol);
    iconv_close(cd);
    const size_t nBytes = static_cast<size_t>(po - outb.data());
    const bool bSame = r == 0 && il == 0 && nStatus == 0 && nBytes == static_cast<size_t>(n) * 2 &&
                       memcmp(outb.data(), out.data(), nBytes) == 0;
    printf("%-12s %zu bytes in, %d UTF-16 units out, same output as iconv: %s\n",
           bMixed ? "mixed" : "ascii-heavy", in.size(), n, bSame ? "yes" : "NO");
    return bSame;
}

void RunOrv(benchmark::State& state, bool bMixed) {
    const std::string& in = Text(bMixed);
    std::vector<char16_t> out(in.size() + 1);
    for (auto _ : state) {
        const int n = OrvUtf8ToUtf16(in.data(), static_cast<int>(in.size()), true, out.data(),
                                     static_cast<int>(out.size()));
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * in.size());
}

void RunIconv(benchmark::State& state, bool bMixed) {
    const std::string& in = Text(bMixed);
    std::vector<char> out(in.size() * 2 + 16);
    iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    if (cd == (iconv_t)-1) {
        state.SkipWithError("iconv_open failed");
        return;
    }
    for (auto _ : state) {
        char* pi = const_cast<char*>(in.data());
        char* po = out.data();
        size_t il = in.size(), ol = out.size();
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        const size_t r = iconv(cd, &pi, &il, &po, &ol);
        benchmark::DoNotOptimize(r);
        benchmark::ClobberMemory();
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * in.size());
}

void BM_Utf8ToUtf16_Ascii_Orv(benchmark::State& s) {
    RunOrv(s, false);
}
void BM_Utf8ToUtf16_Ascii_Iconv(benchmark::State& s) {
    RunIconv(s, false);
}
void BM_Utf8ToUtf16_Mixed_Orv(benchmark::State& s) {
    RunOrv(s, true);
}
void BM_Utf8ToUtf16_Mixed_Iconv(benchmark::State& s) {
    RunIconv(s, true);
}
void BM_Utf8ToUtf16_Mixed_OrvScalar(benchmark::State& s) {
    const bool bPrev = OrvUtfAllowVectorPath(false);
    RunOrv(s, true);
    OrvUtfAllowVectorPath(bPrev);
}
BENCHMARK(BM_Utf8ToUtf16_Ascii_Orv);
BENCHMARK(BM_Utf8ToUtf16_Ascii_Iconv);
BENCHMARK(BM_Utf8ToUtf16_Mixed_Orv);
BENCHMARK(BM_Utf8ToUtf16_Mixed_Iconv);
BENCHMARK(BM_Utf8ToUtf16_Mixed_OrvScalar);

// Bytes per second of one function over the text, best of several rounds (for the ratio table).
template <typename F>
double Rate(const std::string& in, F f) {
    double best = 0;
    for (int round = 0; round < 5; ++round) {
        const auto t0 = std::chrono::steady_clock::now();
        int n = 0;
        for (; n < 20; ++n)
            f();
        const double sec =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double rate = in.size() * n / sec;
        best = rate > best ? rate : best;
    }
    return best;
}

void PrintRatios() {
    for (bool bMixed : {false, true}) {
        const std::string& in = Text(bMixed);
        std::vector<char16_t> out(in.size() + 1);
        std::vector<char> outb(in.size() * 2 + 16);
        const double orv = Rate(in, [&] {
            benchmark::DoNotOptimize(OrvUtf8ToUtf16(in.data(), static_cast<int>(in.size()), true,
                                                    out.data(), static_cast<int>(out.size())));
        });
        iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
        const double ref = Rate(in, [&] {
            char* pi = const_cast<char*>(in.data());
            char* po = outb.data();
            size_t il = in.size(), ol = outb.size();
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            benchmark::DoNotOptimize(iconv(cd, &pi, &il, &po, &ol));
        });
        iconv_close(cd);
        printf("%-12s orv %8.1f MB/s   iconv %8.1f MB/s   ratio %.2fx\n",
               bMixed ? "mixed" : "ascii-heavy", orv / 1e6, ref / 1e6, orv / ref);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!SameWork(false) || !SameWork(true))
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintRatios();
    return 0;
}
