#include "output-text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <vector>

namespace {

constexpr int kTabColumns = 8;

}  // namespace

int COutputText::CharColumns(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
        return 0;
    }
    if ((c >= 0x300 && c < 0x370) || (c >= 0x200B && c <= 0x200F)) {
        return 0;  // combining marks and zero-width characters
    }
    if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
        (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
        (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
        (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
        (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD)) {
        return 2;
    }
    return 1;
}

namespace {

// The units of a block of 16 by kind: bit k of each mask stands for p[k].
struct CBlockKinds {
    uint32_t nOther;  // not printable ASCII (0x20 to 0x7E)
    uint32_t nCr;
    uint32_t nLf;
};

// The same for the first n units (at most 16) of p, one at a time.
CBlockKinds ClassifyN(const char16_t* p, int n) {
    CBlockKinds kinds{0, 0, 0};
    for (int k = 0; k < n; ++k) {
        kinds.nOther |= static_cast<uint32_t>(p[k] < 0x20 || p[k] >= 0x7F) << k;
        kinds.nCr |= static_cast<uint32_t>(p[k] == u'\r') << k;
        kinds.nLf |= static_cast<uint32_t>(p[k] == u'\n') << k;
    }
    return kinds;
}

[[gnu::always_inline]] inline CBlockKinds Classify16(const char16_t* p) {
#if defined(__SSE2__)
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    // shifted by 0x8000 - 0x20, exactly the printable units become the smallest signed values
    const __m128i shift = _mm_set1_epi16(static_cast<short>(0x8000 - 0x20));
    const __m128i bound = _mm_set1_epi16(static_cast<short>(0x8000 + 0x7F - 0x20));
    const auto Mask = [](__m128i a, __m128i b) {
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(a, b)));
    };
    const __m128i cr = _mm_set1_epi16(0x0D);
    const __m128i lf = _mm_set1_epi16(0x0A);
    CBlockKinds kinds;
    kinds.nOther = ~Mask(_mm_cmplt_epi16(_mm_add_epi16(lo, shift), bound),
                         _mm_cmplt_epi16(_mm_add_epi16(hi, shift), bound)) &
                   0xFFFFu;
    kinds.nCr = Mask(_mm_cmpeq_epi16(lo, cr), _mm_cmpeq_epi16(hi, cr));
    kinds.nLf = Mask(_mm_cmpeq_epi16(lo, lf), _mm_cmpeq_epi16(hi, lf));
    return kinds;
#else
    return ClassifyN(p, 16);
#endif
}

// The same for 64 units: four blocks of 16, bit k for p[k].
struct CBlockKinds64 {
    uint64_t nOther;
    uint64_t nCr;
    uint64_t nLf;
};

[[gnu::always_inline]] inline CBlockKinds64 Classify64(const char16_t* p) {
    CBlockKinds64 kinds{0, 0, 0};
#pragma GCC unroll 4
    for (int b = 0; b < 4; ++b) {
        const CBlockKinds block = Classify16(p + 16 * b);
        kinds.nOther |= static_cast<uint64_t>(block.nOther) << (16 * b);
        kinds.nCr |= static_cast<uint64_t>(block.nCr) << (16 * b);
        kinds.nLf |= static_cast<uint64_t>(block.nLf) << (16 * b);
    }
    return kinds;
}

// The lowest set bit's index. Bit 63 is set as a guard, so that an empty mask gives 63 instead of
// an undefined result (and the compiler needs no branch for it).
[[gnu::always_inline]] inline int LowBit(uint64_t n) {
    return __builtin_ctzll(n | (uint64_t{1} << 63));
}

// Bits set in a mask, without relying on a population-count instruction.
[[gnu::always_inline]] inline int Count64(uint64_t n) {
    n = n - ((n >> 1) & 0x5555555555555555u);
    n = (n & 0x3333333333333333u) + ((n >> 2) & 0x3333333333333333u);
    n = (n + (n >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<int>((n * 0x0101010101010101u) >> 56);
}

// The LFs among the n units at p: every line end a scan can find has one.
int CountLfs(const char16_t* p, int n) {
    int nCount = 0;
    int i = 0;
    for (; i + 64 <= n; i += 64) {
        nCount += Count64(Classify64(p + i).nLf);
    }
    for (; i < n; ++i) {
        nCount += p[i] == u'\n' ? 1 : 0;
    }
    return nCount;
}

// The columns of one unit that is not printable ASCII at p[i] (a pair counts at its first half,
// which then also consumes the second); returns the new column and advances i past the unit.
int64_t AdvanceOther(const char16_t* p, int n, int& i, int64_t nCol) {
    const char16_t c = p[i];
    if (c == u'\t') {
        nCol += kTabColumns - nCol % kTabColumns;
    } else if (IsHighSurrogate(c) && i + 1 < n && IsLowSurrogate(p[i + 1])) {
        nCol += COutputText::CharColumns(0x10000 + ((char32_t(c) - 0xD800) << 10) +
                                         (p[i + 1] - 0xDC00));
        ++i;
    } else if (!IsLowSurrogate(c)) {
        // (the second half of a pair split between two appends: its first half counted)
        nCol += COutputText::CharColumns(c);
    }
    ++i;
    return nCol;
}

}  // namespace

int COutputText::PrintableRun(const char16_t* p, int n) {
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const uint32_t nOther = Classify16(p + i).nOther;
        if (nOther != 0) {
            return i + std::countr_zero(nOther);
        }
    }
    while (i < n && p[i] >= 0x20 && p[i] < 0x7F) {
        ++i;
    }
    return i;
}

int64_t COutputText::AdvanceColumns(const char16_t* p, int n, int64_t nCol) {
    // runs of printable ASCII, a column each, and the units between them one by one
    int i = 0;
    while (i < n) {
        const int nRun = PrintableRun(p + i, n - i);
        nCol += nRun;
        i += nRun;
        if (i < n) {
            nCol = AdvanceOther(p, n, i, nCol);
        }
    }
    return nCol;
}

int COutputText::LineFromChar(int nChar) const {
    nChar = std::clamp(nChar, 0, GetLength());
    const int nLines = GetLineCount();
    if (nChar >= LineOffset(nLines - 1)) {
        return nLines - 1;  // the last line, where streamed output goes
    }
    // the last line start that is <= nChar; offsets from the first live character increase
    const uint32_t* pFirst = m_lineRing.At(m_nLineBase);
    const uint32_t nBase = static_cast<uint32_t>(m_nBase);
    const uint32_t* it = std::upper_bound(
        pFirst, pFirst + nLines, static_cast<uint32_t>(nChar),
        [nBase](uint32_t nValue, uint32_t nStart) { return nValue < nStart - nBase; });
    return static_cast<int>(it - pFirst) - 1;
}

int COutputText::LineIndex(int nLine) const {
    return LineOffset(std::clamp(nLine, 0, GetLineCount() - 1));
}

int COutputText::LineLength(int nLine) const {
    nLine = std::clamp(nLine, 0, GetLineCount() - 1);
    const int nStart = LineIndex(nLine);
    int nEnd = GetLength();
    if (nLine + 1 < GetLineCount()) {
        nEnd = LineIndex(nLine + 1) - 2;  // the CR LF
    }
    return nEnd - nStart;
}

namespace {

// The line ends of a block of printable units, CRs and LFs whose every CR and LF is part of a
// line end: bit k of nEnds stands for an LF at p[i + k]. The first line is nFirstCols wide, and
// each later one as wide as the units between its LF and the one before, less its CR.
template <class TSink>
[[gnu::always_inline]] inline void EndsOneByOne(TSink& sink, int i, uint64_t nEnds,
                                                int64_t nFirstCols) {
    int nPrev = LowBit(nEnds);
    sink.End(i + nPrev + 1, nFirstCols);
    for (nEnds &= nEnds - 1; nEnds != 0; nEnds &= nEnds - 1) {
        const int k = LowBit(nEnds);
        sink.End(i + k + 1, k - nPrev - 2);
        nPrev = k;
    }
}

// Hands the line ends of a block (nEnds, not empty) to the sink, in one call where it takes them
// so.
template <class TSink>
[[gnu::always_inline]] inline void BlockEnds(TSink& sink, int i, uint64_t nEnds,
                                             int64_t nFirstCols) {
    if constexpr (requires { sink.Ends(i, nEnds, nFirstCols); }) {
        sink.Ends(i, nEnds, nFirstCols);
    } else {
        EndsOneByOne(sink, i, nEnds, nFirstCols);
    }
}

// A block of nBlock units (at most 64, bit k for p[i + k]) of printable ASCII, CRs and LFs only.
// When every CR and LF belongs to a line end (or is a last CR that may pair with the next block),
// the units between two ends are all printable, so a line's columns are the distance between its
// ends, with no count per line; a line end at 0 has its CR in the previous block, already left
// out of the columns. Then hands the ends to the sink, moves nCol and bCr past the block and
// returns true; else returns false and changes nothing.
template <class TSink>
[[gnu::always_inline]] inline bool PairedBlock(TSink& sink, int i, int nBlock, uint64_t nCr,
                                               uint64_t nLf, bool& bCr, int64_t& nCol) {
    const uint64_t nEnds = nLf & ((nCr << 1) | (bCr ? 1u : 0u));
    const uint64_t nTrailingCr = (nCr >> (nBlock - 1)) & 1;
    if (((nCr | nLf) & ~(nEnds | (nEnds >> 1) | (nTrailingCr << (nBlock - 1)))) != 0) {
        return false;
    }
    int nPos = 0;  // first unit after the last line end in this block
    if (nEnds != 0) {
        const int k = LowBit(nEnds);
        BlockEnds(sink, i, nEnds, nCol + k - (k != 0 ? 1 : 0));
        nCol = 0;
        nPos = 64 - __builtin_clzll(nEnds);
    }
    nCol += nBlock - nPos - static_cast<int>(nTrailingCr);
    bCr = nTrailingCr != 0;
    return true;
}

// One pass over n units that finds the line ends (an LF after a CR, also the CR before p when
// bCr) and counts the columns, starting at column nCol; a CR has none, so a line's width is the
// column reached at its LF. For each line end it calls sink.End(offset after the LF, columns of
// the line), for each tab sink.Tab(offset) when TSink::kNotesTabs; returns the columns after the
// last line end. Printable ASCII and line ends go 64 units at a time, other text in blocks of 16
// whose printable runs are skipped at once; the units between are taken one by one from the mask
// of the others.
template <class TSink>
int64_t ScanLines(const char16_t* p, int n, bool bCr, int64_t nCol, TSink& sink) {
    int i = 0;
    int nSlowTo = 0;  // the units of a block of 64 that needs more than the fast path end here
    while (i < n) {
        if (i + 64 <= n && i >= nSlowTo) {
            // 64 units at a time while they are printable ASCII and paired line ends
            const CBlockKinds64 kinds = Classify64(p + i);
            if (kinds.nOther == (kinds.nCr | kinds.nLf) &&
                PairedBlock(sink, i, 64, kinds.nCr, kinds.nLf, bCr, nCol)) {
                i += 64;
                continue;
            }
            nSlowTo = i + 64;
        }
        // blocks of 16; the last one may be shorter
        const int nBlock = std::min(16, n - i);
        const CBlockKinds kinds = nBlock == 16 ? Classify16(p + i) : ClassifyN(p + i, nBlock);
        const uint32_t nAll = (1u << nBlock) - 1;
        if ((kinds.nOther & ~(kinds.nCr | kinds.nLf)) == 0) {
            // printable ASCII, CRs and LFs only, as most output is: the line ends are the LFs
            // after a CR, and a line's columns are the printable units before its end
            if (PairedBlock(sink, i, nBlock, kinds.nCr, kinds.nLf, bCr, nCol)) {
                i += nBlock;
                continue;
            }
            uint32_t nEnds = kinds.nLf & ((kinds.nCr << 1) | (bCr ? 1u : 0u));
            uint32_t nPrintable = ~kinds.nOther & nAll;
            while (nEnds != 0) {
                const int k = std::countr_zero(nEnds);
                const uint32_t nBefore = (1u << k) - 1;
                nCol += Count64(nPrintable & nBefore);
                nPrintable &= ~nBefore;
                sink.End(i + k + 1, nCol);
                nCol = 0;
                nEnds &= nEnds - 1;
            }
            nCol += Count64(nPrintable);
            bCr = ((kinds.nCr >> (nBlock - 1)) & 1) != 0;
            i += nBlock;
            continue;
        }
        uint32_t nOther = kinds.nOther;
        int nDone = 0;  // units of the block handled
        while (nOther != 0) {
            const int k = std::countr_zero(nOther);
            if (k > nDone) {
                nCol += k - nDone;
                bCr = false;
            }
            const char16_t c = p[i + k];
            if (c == u'\r') {
                bCr = true;
            } else if (c == u'\n') {
                if (bCr) {
                    sink.End(i + k + 1, nCol);
                    nCol = 0;
                }
                bCr = false;
            } else {
                // a tab, a control character or more than ASCII: may take the next unit too
                if constexpr (TSink::kNotesTabs) {
                    if (c == u'\t') {
                        sink.Tab(i + k);
                    }
                }
                int j = i + k;
                bCr = false;
                nCol = AdvanceOther(p, n, j, nCol);
                nDone = j - i;
                break;
            }
            nDone = k + 1;
            nOther &= nOther - 1;
        }
        if (nOther == 0 && nDone < nBlock) {
            nCol += nBlock - nDone;
            bCr = false;
            nDone = nBlock;
        }
        i += nDone;
    }
    return nCol;
}

}  // namespace

void COutputText::Append(const char16_t* p, int n, const CTextLineIndex* pLines) {
    if (n <= 0 || !ReserveFor(n)) {
        return;
    }
    if (m_nEnd + static_cast<uint64_t>(n) > m_nFirstDropFrom + m_ring.Capacity()) {
        MeasureFirstDrop();  // before the write wraps onto the removed text still to be measured
    }
    // a CR at the end of the text pairs with an LF at the start of the appended text
    const bool bCr = m_nEnd > m_nBase && *m_ring.At(m_nEnd - 1) == u'\r';
    m_ring.Write(m_nEnd, p, static_cast<size_t>(n));
    CLineSink lines(*this);
    if (pLines != nullptr && !(bCr && p[0] == u'\n')) {
        if (pLines->nLastTab >= 0) {
            m_nTabEnd = m_nEnd + static_cast<uint64_t>(pLines->nLastTab) + 1;
        }
        // The lines were found where the text was made: their starts are copied in, and only
        // the first line, which continues the last one here, is measured on its own when a tab
        // makes its width depend on where it starts.
        if (pLines->nLines == 0) {
            m_nLastCols = pLines->bFirstTab ? AdvanceColumns(p, n, m_nLastCols)
                                            : m_nLastCols + pLines->nFirstCols;
        } else {
            const int64_t nFirst =
                pLines->bFirstTab
                    ? AdvanceColumns(p, static_cast<int>(pLines->pStarts[0]), m_nLastCols)
                    : m_nLastCols + pLines->nFirstCols;
            lines.Starts(m_nEnd, pLines->pStarts, pLines->nLines);
            lines.Widest(lines.FirstNewLine(), nFirst);
            for (int k = 0; k < pLines->nWidest; ++k) {
                lines.Widest(lines.FirstNewLine() + pLines->pWidest[k].nLine,
                             pLines->pWidest[k].nCols);
            }
            lines.Advance(pLines->nLines);
            m_nLastCols = pLines->nLastCols;
        }
    } else {
        m_nLastCols = ScanLines(p, n, bCr, m_nLastCols, lines);
    }
    lines.Flush();
    m_nEnd += static_cast<uint64_t>(n);
}

COutputText::CLineSink::CLineSink(COutputText& text)
    : m_text(text),
      m_nBase(text.m_nEnd),
      m_nNextLine(text.m_nLinesDropped + text.GetLineCount() - 1),
      m_pBack(text.m_widest.empty() ? nullptr : &text.m_widest.back()) {}

void COutputText::CLineSink::Flush() {
    m_text.m_lineRing.Write(m_text.m_nLineEnd, m_starts, m_nStarts);
    m_text.m_nLineEnd += m_nStarts;
    m_nStarts = 0;
}

void COutputText::CLineSink::Starts(uint64_t nBase, const uint32_t* pOffsets, int n) {
    Flush();
    // absolute, low 32 bits, made a buffer's worth at a time
    const auto nLow = static_cast<uint32_t>(nBase);
    for (int nDone = 0; nDone < n;) {
        const int nPart = std::min(n - nDone, static_cast<int>(kStarts));
        const uint32_t* pFrom = pOffsets + nDone;
        int k = 0;
#if defined(__SSE2__)
        const __m128i low = _mm_set1_epi32(static_cast<int>(nLow));
        for (; k + 4 <= nPart; k += 4) {
            const __m128i offsets = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pFrom + k));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(m_starts + k), _mm_add_epi32(offsets, low));
        }
#endif
        for (; k < nPart; ++k) {
            m_starts[k] = nLow + pFrom[k];
        }
        m_nStarts = static_cast<size_t>(nPart);
        Flush();
        nDone += nPart;
    }
}

void COutputText::CLineSink::Widest(int64_t nLine, int64_t nCols) {
    // a narrower or equal earlier line can never be the widest again
    std::deque<CLineWidth>& widest = m_text.m_widest;
    if (widest.empty() || widest.back().nCols > nCols) {
        widest.push_back({nLine, nCols});
    } else {
        // the last entry gives way: it takes the new line's place instead of a pop and a push
        auto last = std::prev(widest.end());
        while (last != widest.begin() && std::prev(last)->nCols <= nCols) {
            widest.pop_back();
            last = std::prev(widest.end());
        }
        *last = {nLine, nCols};
    }
    m_pBack = &widest.back();
}

// ---- CTextLineScan ----

// The sink of a scan on the thread that made the text: every line's start, and from line 1 on,
// the lines wider than every later one so far (a stack: a line pops the narrower or equal ones
// before it). The buffers have room for every line the text can end.
struct CTextLineScan::CSink {
    CTextLineScan& scan;
    uint32_t* pStarts;
    CTextLineWidth* pWidest;
    int nLines = 0;
    int nWidest = 0;
    // the stack's top entry, kept out of memory while lines of its width follow (Finish stores it)
    CTextLineWidth top{0, -1};
    void End(int nNext, int64_t nCols) {
        if (nCols == top.nCols) {
            top.nLine = nLines;  // lines of one width: the last stands for all
        } else if (nLines == 0) {
            scan.m_index.nFirstCols = nCols;
            scan.m_index.bFirstTab = scan.m_index.nLastTab >= 0;
        } else {
            if (nWidest > 0) {
                pWidest[nWidest - 1] = top;
            }
            while (nWidest > 0 && pWidest[nWidest - 1].nCols <= nCols) {
                --nWidest;
            }
            top = {nLines, nCols};
            pWidest[nWidest++] = top;
        }
        pStarts[nLines++] = static_cast<uint32_t>(nNext);
    }
    // The line ends of a block (see EndsOneByOne). Runs of lines as wide as the last one, as a
    // flood of one line repeated makes, only move the stack's top to the last of them, and their
    // starts follow each other at one distance: written without a branch or a bit search per
    // line.
    [[gnu::always_inline]] void Ends(int i, uint64_t nEnds, int64_t nFirstCols) {
        const uint64_t nRest = nEnds & (nEnds - 1);
        const uint64_t nHigh = uint64_t{1} << (63 - __builtin_clzll(nEnds));
        // every later end one line's width, its CR and its LF after the one before
        const int64_t nStep = top.nCols + 2;
        const bool bSame = nLines > 0 && nFirstCols == top.nCols &&
                           (nRest == 0 || (nStep < 64 && (nRest >> nStep) == (nEnds & ~nHigh)));
        if (!bSame) {
            EndsOneByOne(*this, i, nEnds, nFirstCols);
            return;
        }
        // the starts step by one line each: written four at a time, up to three spare ones
        const int nCount = Count64(nEnds);
        const auto nFirst = static_cast<uint32_t>(i + 1 + LowBit(nEnds));
        const auto nStride = static_cast<uint32_t>(nStep);
        uint32_t* pOut = pStarts + nLines;
#if defined(__SSE2__)
        __m128i starts = _mm_set_epi32(
            static_cast<int>(nFirst + 3 * nStride), static_cast<int>(nFirst + 2 * nStride),
            static_cast<int>(nFirst + nStride), static_cast<int>(nFirst));
        const __m128i step = _mm_set1_epi32(static_cast<int>(4 * nStride));
        for (int k = 0; k < nCount; k += 4) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pOut + k), starts);
            starts = _mm_add_epi32(starts, step);
        }
#else
        for (int k = 0; k < nCount; ++k) {
            pOut[k] = nFirst + static_cast<uint32_t>(k) * nStride;
        }
#endif
        nLines += nCount;
        top.nLine = nLines - 1;
    }
    void Finish() {
        if (nWidest > 0) {
            pWidest[nWidest - 1] = top;
        }
    }
    static constexpr bool kNotesTabs = true;
    void Tab(int nAt) {
        scan.m_index.nLastTab = nAt;
    }
};

const CTextLineIndex& CTextLineScan::Scan(const char16_t* p, int n, CTextBuffer<uint32_t>& starts,
                                          CTextBuffer<CTextLineWidth>& widest) {
    n = std::max(n, 0);
    // room for a start and a width per LF, no more: the buffers of a long line stay small (a
    // reader hands them over with its text); CSink::Ends writes up to three starts past the last
    const size_t nMaxLines = static_cast<size_t>(CountLfs(p, n)) + 4;
    if (starts.size() < nMaxLines) {
        starts.resize(nMaxLines);
    }
    if (widest.size() < nMaxLines) {
        widest.resize(nMaxLines);
    }
    m_index = CTextLineIndex();
    CSink sink{*this, starts.data(), widest.data()};
    const int64_t nLast = ScanLines(p, n, false, 0, sink);
    m_index.bValid = true;
    m_index.pStarts = starts.data();
    m_index.nLines = sink.nLines;
    if (sink.nLines == 0) {
        m_index.nFirstCols = nLast;
        m_index.bFirstTab = m_index.nLastTab >= 0;
    } else {
        m_index.nLastCols = nLast;
    }
    m_index.pWidest = widest.data();
    sink.Finish();
    m_index.nWidest = sink.nWidest;
    return m_index;
}

void COutputText::MeasureFirstDrop() const {
    // in pieces an int counts; the mirror makes each one contiguous
    while (m_nFirstDropFrom < m_nBase) {
        const int n = static_cast<int>(std::min<uint64_t>(m_nBase - m_nFirstDropFrom, 1u << 30));
        m_nFirstDropCols = AdvanceColumns(m_ring.At(m_nFirstDropFrom), n, m_nFirstDropCols);
        m_nFirstDropFrom += static_cast<uint64_t>(n);
    }
}

int64_t COutputText::GetMaxColumns() const {
    // The first line may have lost its beginning: its remaining characters start at column 0
    // now, which moves its tabs by less than one tab stop (without tabs, by nothing).
    MeasureFirstDrop();
    const int64_t nFirstLost =
        IsTabFree() ? m_nFirstDropCols : m_nFirstDropCols - m_nFirstDropCols % kTabColumns;
    if (GetLineCount() == 1) {
        return std::max<int64_t>(0, m_nLastCols - nFirstLost);
    }
    int64_t nMax = m_nLastCols;
    if (!m_widest.empty()) {
        const CLineWidth& front = m_widest.front();
        if (front.nLine == m_nLinesDropped) {
            // the first line is the widest: it counts without its lost part, and the widest of
            // the others is the next entry
            nMax = std::max(nMax, front.nCols - nFirstLost);
            if (m_widest.size() > 1) {
                nMax = std::max(nMax, m_widest[1].nCols);
            }
        } else {
            // a later line is wider than the whole first line
            nMax = std::max(nMax, front.nCols);
        }
    }
    return nMax;
}

size_t COutputText::GrowTo(size_t nCap, size_t nNeeded, size_t nBound) const {
    // With a bound, the ring takes all of it at once: a ring reserves address space only, its
    // pages are made as the text reaches them, so a small text costs no more, and a flood is
    // never copied to a larger ring. Without one, doubling, as a vector grows.
    if (m_nExpectedMax > 0 && nNeeded <= nBound) {
        return nBound;
    }
    return std::max<size_t>({nNeeded, 2 * nCap, 4096});
}

bool COutputText::ReserveFor(int n) {
    // the bound: the expected maximum, one insertion of room beyond it
    const size_t nRoom = m_nExpectedMax + m_nExpectedMax / 64 + 64 * 1024;
    const size_t nText = static_cast<size_t>(GetLength()) + static_cast<size_t>(n);
    if (nText > m_ring.Capacity()) {
        MeasureFirstDrop();  // a larger ring keeps only the live text
    }
    if (nText > m_ring.Capacity() && !m_ring.Reserve(GrowTo(m_ring.Capacity(), nText, nRoom),
                                                     m_nBase, static_cast<size_t>(GetLength()))) {
        return false;
    }
    // every line but the last ends with a CR LF: at most half the characters start a line
    const size_t nLines = static_cast<size_t>(GetLineCount()) + static_cast<size_t>(n) / 2 + 1;
    if (nLines > m_lineRing.Capacity()) {
        const bool bFirst = m_lineRing.Capacity() == 0;
        if (!m_lineRing.Reserve(GrowTo(m_lineRing.Capacity(), nLines, nRoom / 2 + 2), m_nLineBase,
                                static_cast<size_t>(GetLineCount()))) {
            return false;
        }
        if (bFirst) {
            m_lineRing.Set(m_nLineBase, static_cast<uint32_t>(m_nBase));  // the first line
        }
    }
    return true;
}

void COutputText::Replace(int nStart, int nEnd, const char16_t* p, int n,
                          const CTextLineIndex* pLines) {
    const int nLen = GetLength();
    nStart = std::clamp(nStart, 0, nLen);
    nEnd = std::clamp(nEnd, 0, nLen);
    if (nStart > nEnd) {
        std::swap(nStart, nEnd);
    }
    n = std::max(n, 0);
    if (nStart == nLen) {
        Append(p, n, pLines);
        return;
    }
    if (nStart == 0 && n == 0) {
        EraseFront(nEnd);
        return;
    }
    // a change inside the text: the whole text is laid down again
    std::vector<char16_t> text;
    text.reserve(static_cast<size_t>(nLen - (nEnd - nStart) + n));
    text.insert(text.end(), Data(), Data(nStart));
    text.insert(text.end(), p, p + n);
    text.insert(text.end(), Data(nEnd), Data(nLen));
    Clear();
    Append(text.data(), static_cast<int>(text.size()));
}

void COutputText::EraseFront(int n) {
    n = std::clamp(n, 0, GetLength());
    if (n == 0) {
        return;
    }
    if (n == GetLength()) {
        Clear();
        return;
    }
    const uint64_t nOldBase = m_nBase;
    const uint64_t nOldLineBase = m_nLineBase;
    m_nBase += static_cast<uint64_t>(n);
    m_nDropped += n;
    // Lines that started inside the removed text are gone; the line that holds the new first
    // character now starts at it. Offsets from the old first character increase.
    const uint32_t* pFirst = m_lineRing.At(m_nLineBase);
    const uint32_t nOld = static_cast<uint32_t>(nOldBase);
    auto before = [nOld](uint32_t nValue, uint32_t nStart) { return nValue < nStart - nOld; };
    // The new first line is near the front: the search gallops from there, so that it touches a
    // few neighbouring entries instead of the whole table's worth of cache lines.
    const size_t nCount = static_cast<size_t>(GetLineCount());
    size_t nHigh = 1;
    while (nHigh < nCount && !before(static_cast<uint32_t>(n), pFirst[nHigh])) {
        nHigh *= 2;
    }
    const uint32_t* it = std::upper_bound(pFirst + nHigh / 2, pFirst + std::min(nHigh, nCount),
                                          static_cast<uint32_t>(n), before);
    m_nLineBase = nOldLineBase + static_cast<uint64_t>(it - pFirst) - 1;
    // What the new first line lost is measured only when its width is asked for (the removed
    // characters stay in the ring until appends wrap onto them): reading them here would cost a
    // cache miss on text written long ago for every removal.
    if (m_nLineBase != nOldLineBase) {
        m_nFirstDropFrom = nOldBase + (LineStart(m_nLineBase) - nOld);
        m_nFirstLineOrigin = m_nFirstDropFrom;
        m_nFirstDropCols = 0;
    }
    m_lineRing.Set(m_nLineBase, static_cast<uint32_t>(m_nBase));
    // Every line but the first starts right after the LF of a CR LF: a line that starts one
    // character after the new front has that LF at the front, and the text itself is not read
    // (a cache miss on text written long ago, once per removal).
    if (m_nLineBase + 1 < m_nLineEnd &&
        LineStart(m_nLineBase + 1) == static_cast<uint32_t>(m_nBase + 1)) {
        // the CR of a line end was removed: the LF left at the front no longer ends a line, and
        // the next line, now the first, has lost nothing but an LF of no width
        ++m_nLineBase;
        m_lineRing.Set(m_nLineBase, static_cast<uint32_t>(m_nBase));
        m_nFirstDropFrom = m_nBase;
        m_nFirstLineOrigin = m_nBase;
        m_nFirstDropCols = 0;
    }
    m_nLinesDropped += static_cast<int64_t>(m_nLineBase - nOldLineBase);
    while (!m_widest.empty() && m_widest.front().nLine < m_nLinesDropped) {
        m_widest.pop_front();
    }
}

void COutputText::Clear() {
    m_ring.Release();
    m_lineRing.Release();
    m_nBase = m_nEnd = 0;
    m_nLineBase = 0;
    m_nLineEnd = 1;
    m_nLastCols = 0;
    m_widest.clear();
    m_nLinesDropped = 0;
    m_nFirstDropCols = 0;
    m_nFirstDropFrom = 0;
    m_nFirstLineOrigin = 0;
    m_nTabEnd = 0;
    m_nDropped = 0;
    ++m_nGeneration;
}
