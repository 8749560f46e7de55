// The pane's text model under a flood: the chunks a reader delivers (255 bytes of output each,
// line ends already CR LF) appended to a text bounded as the pane bounds it, the oldest text
// dropped as new text arrives. Beside it in the same run, the least any line-indexed store must
// do with the same chunks: copy them and note where each line starts.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "mirror-ring.h"
#include "output-pane.h"
#include "output-text.h"
#include "text-pane.h"

namespace {

constexpr int64_t kUnits = 96 * 1024 * 1024;  // units appended per iteration: three pane fills

// Output of the workloads bench-view runs, as the reader hands it over: chunks of what 255
// bytes decode to, "\n" already "\r\n".
const std::u16string& Output(int nWorkload) {
    static std::u16string texts[4];
    std::u16string& t = texts[nWorkload];
    if (t.empty()) {
        std::string s;
        s.reserve(8 * 1024 * 1024);
        for (int i = 1; s.size() < 8 * 1024 * 1024; ++i) {
            switch (nWorkload) {
                case 0:
                    s += std::to_string(i) + "\r\n";
                    break;
                case 1:
                    s += std::string(199, '0') + "\r\n";
                    break;
                case 2:
                    s += std::string(4096, 'a');
                    break;
                default:
                    s += "y\r\n";
                    break;
            }
        }
        t.assign(s.begin(), s.end());
    }
    return t;
}

const char* Name(int nWorkload) {
    static const char* names[] = {"seq lines", "200-char lines", "one long line", "yes"};
    return names[nWorkload];
}

// Calls fn(text, length, chunk number) for each chunk of the output until nUnits have gone: what
// 255 bytes of output become, 255 units plus one per line end. The cuts are found once, before
// any timing; the numbers repeat as the output does.
template <typename Fn>
void ForEachChunk(int nWorkload, int64_t nUnits, Fn fn) {
    const std::u16string& text = Output(nWorkload);
    static std::vector<int> cuts[4];
    std::vector<int>& lengths = cuts[nWorkload];
    if (lengths.empty()) {
        for (size_t nPos = 0; nPos + 512 <= text.size();) {
            int nBytes = 0;
            int n = 0;
            while (nBytes < 255) {
                nBytes += text[nPos + static_cast<size_t>(n)] == u'\r' ? 0 : 1;
                ++n;
            }
            if (text[nPos + static_cast<size_t>(n) - 1] == u'\r') {
                ++n;  // the LF of a line end read with its CR
            }
            lengths.push_back(n);
            nPos += static_cast<size_t>(n);
        }
    }
    size_t nPos = 0;
    size_t nChunk = 0;
    for (int64_t nDone = 0; nDone < nUnits; ++nChunk) {
        if (nChunk == lengths.size()) {
            nChunk = 0;
            nPos = 0;
        }
        const int n = lengths[nChunk];
        fn(text.data() + nPos, n, nChunk);
        nPos += static_cast<size_t>(n);
        nDone += n;
    }
}

// One flood through a pane's text store bounded at nLimit, as the pane keeps it; pfnLines gives
// each chunk's line index, or null to have the store scan the chunk itself.
template <class TLines>
void FillModel(int nWorkload, int nLimit, TLines pfnLines) {
    COutputText model;
    model.SetExpectedMax(nLimit);
    ForEachChunk(nWorkload, kUnits, [&](const char16_t* p, int n, size_t nChunk) {
        model.Append(p, n, pfnLines(nChunk));
        const int nOver = model.GetLength() - nLimit;
        if (nOver > 0) {
            model.EraseFront(nOver);
        }
    });
    benchmark::DoNotOptimize(model.GetMaxColumns());
    benchmark::DoNotOptimize(model.GetLineCount());
}

void PaneText(benchmark::State& state) {
    const int nWorkload = static_cast<int>(state.range(0));
    const int nLimit = COutputPane::kDefaultLimit;
    // second argument 1: a pane made for the first time, whose rings' pages the kernel has to make
    // and zero; 0: one that takes back the rings of the one before (a cleared or new pane)
    const bool bFresh = state.range(1) != 0;
    state.SetLabel(std::string(Name(nWorkload)) + (bFresh ? ", fresh rings" : ", rings reused"));
    for (auto _ : state) {
        if (bFresh) {
            state.PauseTiming();
            CMirrorRingBytes::DropSpares();
            state.ResumeTiming();
        }
        FillModel(nWorkload, nLimit, [](size_t) -> const CTextLineIndex* { return nullptr; });
    }
    state.SetBytesProcessed(state.iterations() * kUnits * 2);
}

// The pane's side of the same flood when a reader thread has worked out each chunk's lines
// (CTextLineScan) and hands them over with it: done once before the timing.
void PaneTextIndexed(benchmark::State& state) {
    const int nWorkload = static_cast<int>(state.range(0));
    const int nLimit = COutputPane::kDefaultLimit;
    state.SetLabel(std::string(Name(nWorkload)) + ", rings reused");
    struct CIndexed {
        std::vector<uint32_t> starts;
        std::vector<CTextLineWidth> widest;
        CTextLineIndex lines;
    };
    std::vector<CIndexed> indexes;
    CTextLineScan scan;
    ForEachChunk(nWorkload, static_cast<int64_t>(Output(nWorkload).size()),
                 [&](const char16_t* p, int n, size_t nChunk) {
                     if (nChunk < indexes.size()) {
                         return;
                     }
                     const CTextLineIndex& lines = scan.Scan(p, n);
                     CIndexed& indexed = indexes.emplace_back();
                     indexed.starts.assign(lines.pStarts, lines.pStarts + lines.nLines);
                     indexed.widest.assign(lines.pWidest, lines.pWidest + lines.nWidest);
                     indexed.lines = lines;
                 });
    for (CIndexed& indexed : indexes) {
        indexed.lines.pStarts = indexed.starts.data();
        indexed.lines.pWidest = indexed.widest.data();
    }
    for (auto _ : state) {
        FillModel(nWorkload, nLimit, [&](size_t nChunk) { return &indexes[nChunk].lines; });
    }
    state.SetBytesProcessed(state.iterations() * kUnits * 2);
}

// What the reader thread takes on instead: the line index of every chunk.
void LineScan(benchmark::State& state) {
    const int nWorkload = static_cast<int>(state.range(0));
    state.SetLabel(Name(nWorkload));
    CTextLineScan scan;
    for (auto _ : state) {
        ForEachChunk(nWorkload, kUnits, [&](const char16_t* p, int n, size_t) {
            benchmark::DoNotOptimize(scan.Scan(p, n).nLines);
        });
    }
    state.SetBytesProcessed(state.iterations() * kUnits * 2);
}

void CopyAndIndex(benchmark::State& state) {
    const int nWorkload = static_cast<int>(state.range(0));
    state.SetLabel(Name(nWorkload));
    std::vector<char16_t> store(COutputPane::kDefaultLimit + 1024);
    std::vector<uint32_t> starts(COutputPane::kDefaultLimit / 2 + 1024);
    for (auto _ : state) {
        size_t nEnd = 0;
        size_t nLines = 0;
        ForEachChunk(nWorkload, kUnits, [&](const char16_t* p, int n, size_t) {
            if (nEnd + static_cast<size_t>(n) > store.size()) {
                nEnd = 0;  // wrap instead of dropping: the floor does not pay for removal
                nLines = 0;
            }
            std::memcpy(store.data() + nEnd, p, static_cast<size_t>(n) * sizeof(char16_t));
            for (int i = 0; i < n; ++i) {
                if (p[i] == u'\n') {
                    starts[nLines++] = static_cast<uint32_t>(nEnd + static_cast<size_t>(i) + 1);
                }
            }
            nEnd += static_cast<size_t>(n);
        });
        benchmark::DoNotOptimize(store.data());
        benchmark::DoNotOptimize(nLines);
    }
    state.SetBytesProcessed(state.iterations() * kUnits * 2);
}

// What a reader does to each chunk before it reaches the pane: an LF without a CR gains one. The
// output as the reader has it, LF line ends; beside it the plain loop over the units.
std::u16string ReaderText(int nWorkload) {
    std::u16string text = Output(nWorkload);
    text.erase(std::remove(text.begin(), text.end(), u'\r'), text.end());
    return text;
}

template <typename Fn>
void Normalise(benchmark::State& state, Fn normalise) {
    const int nWorkload = static_cast<int>(state.range(0));
    state.SetLabel(Name(nWorkload));
    const std::u16string text = ReaderText(nWorkload);
    std::vector<char16_t> out(2 * 255 + 1);
    for (auto _ : state) {
        for (size_t nPos = 0; nPos + 255 <= text.size(); nPos += 255) {
            benchmark::DoNotOptimize(normalise(text.data() + nPos, 255, out.data()));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size() / 255 * 255));
}

void NormaliseLineEnds(benchmark::State& state) {
    Normalise(state, TextPaneNormaliseLineEnds);
}

void NormaliseUnitByUnit(benchmark::State& state) {
    Normalise(state, [](const char16_t* p, int n, char16_t* pOut) {
        int nOut = 0;
        for (int i = 0; i < n; ++i) {
            if (p[i] == u'\n' && (i == 0 || p[i - 1] != u'\r')) {
                pOut[nOut++] = u'\r';
            }
            pOut[nOut++] = p[i];
        }
        pOut[nOut] = 0;
        return nOut;
    });
}

// All a reader does to the bytes of a plain ASCII flood between the read and the hand-over: each
// 64 KiB read cut into 255-byte chunks, each widened and normalised into the text gathered for
// the pane (a CR at a chunk's end held for the next). Mode 0 then indexes the read's text in one
// scan, as the reader does; mode 1 does not index it (the widening alone).
void ReaderPass(benchmark::State& state) {
    const int nWorkload = static_cast<int>(state.range(0));
    const bool bIndex = state.range(1) == 0;
    state.SetLabel(std::string(Name(nWorkload)) + (bIndex ? ", scan per read" : ", no index"));
    const std::u16string wide = ReaderText(nWorkload);
    const std::string text(wide.begin(), wide.end());
    constexpr size_t kChunk = 255;
    constexpr size_t kRead = 64 * 1024;
    CTextBuffer<char16_t> out;
    CTextBuffer<uint32_t> starts;
    CTextBuffer<CTextLineWidth> widest;
    out.resize(2 * kRead + 64);
    char16_t chunk[kChunk + 17];
    CTextLineScan scan;
    const size_t nEnd = text.size() / kRead * kRead;
    for (auto _ : state) {
        bool bHeldCr = false;
        for (size_t nRead = 0; nRead < nEnd; nRead += kRead) {
            size_t nOut = 0;
            for (size_t nPos = nRead; nPos < nRead + kRead; nPos += kChunk) {
                const int n = static_cast<int>(std::min(kChunk, nRead + kRead - nPos));
                const char* p = text.data() + nPos;
                const int nFirst = bHeldCr ? 1 : 0;
                const int nBytes = n - (p[n - 1] == '\r' ? 1 : 0);
                out.data()[nOut] = u'\r';
                nOut +=
                    static_cast<size_t>(nFirst + TextPaneWidenAscii(p, nBytes, bHeldCr, chunk,
                                                                    out.data() + nOut + nFirst));
                bHeldCr = nBytes < n;
            }
            if (bIndex) {
                benchmark::DoNotOptimize(
                    scan.Scan(out.data(), static_cast<int>(nOut), starts, widest).nLines);
            }
            benchmark::DoNotOptimize(out.data());
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(nEnd));
}

}  // namespace

BENCHMARK(ReaderPass)->ArgsProduct({{0, 1, 2, 3}, {0, 1}});
BENCHMARK(NormaliseLineEnds)->DenseRange(0, 3);
BENCHMARK(NormaliseUnitByUnit)->DenseRange(0, 3);
BENCHMARK(PaneText)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK(PaneTextIndexed)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(LineScan)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(CopyAndIndex)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Iterations(2);

BENCHMARK_MAIN();
