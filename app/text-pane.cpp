#include "text-pane.h"

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>

#include "orv-string.h"

namespace {

// One unit written to pOut[nOut] with a CR before it when it is an LF without a CR before it;
// without a branch on the text: a CR is always stored and kept only where it is due.
inline void NormaliseUnit(char16_t c, char16_t& prev, char16_t* pOut, int& nOut) {
    pOut[nOut] = u'\r';
    nOut += (c == u'\n') & (prev != u'\r');
    pOut[nOut++] = c;
    prev = c;
}

#if defined(__x86_64__)
// How eight units become eight to sixteen when the LFs of a mask gain a CR each: for each unit
// written, the two bytes of the unit it copies (0x80 for a CR, which shuffles in as 0), the CRs
// to add in, and how many units the eight become.
struct CLineEndExpansion {
    uint8_t shuffle[32];
    uint16_t fill[16];
    int nUnits;
};

constexpr std::array<CLineEndExpansion, 256> kLineEndExpansions = [] {
    std::array<CLineEndExpansion, 256> table{};
    for (unsigned nMask = 0; nMask < 256; ++nMask) {
        CLineEndExpansion& e = table[nMask];
        int j = 0;
        for (int nFrom = 0; nFrom < 8; ++nFrom) {
            if ((nMask >> nFrom) & 1) {
                e.shuffle[2 * j] = e.shuffle[2 * j + 1] = 0x80;
                e.fill[j++] = u'\r';
            }
            e.shuffle[2 * j] = static_cast<uint8_t>(2 * nFrom);
            e.shuffle[2 * j + 1] = static_cast<uint8_t>(2 * nFrom + 1);
            e.fill[j++] = 0;
        }
        for (; j < 16; ++j) {
            e.shuffle[2 * j] = e.shuffle[2 * j + 1] = 0x80;
        }
        e.nUnits = 8 + std::popcount(nMask);
    }
    return table;
}();

// Writes the eight units with a CR before each one whose bit is set in nBare (bit k for unit k),
// in two stores of eight units; returns the units that count (8 and the CRs).
[[gnu::target("ssse3")]] [[gnu::always_inline]] inline int ExpandEight(__m128i units,
                                                                       unsigned nBare,
                                                                       char16_t* pOut) {
    const CLineEndExpansion& e = kLineEndExpansions[nBare];
    const auto* pOrder = reinterpret_cast<const __m128i*>(e.shuffle);
    const auto* pFill = reinterpret_cast<const __m128i*>(e.fill);
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(pOut),
        _mm_or_si128(_mm_shuffle_epi8(units, _mm_loadu_si128(pOrder)), _mm_loadu_si128(pFill)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pOut + 8),
                     _mm_or_si128(_mm_shuffle_epi8(units, _mm_loadu_si128(pOrder + 1)),
                                  _mm_loadu_si128(pFill + 1)));
    return e.nUnits;
}

// Eight units at a time: the LFs that need a CR are found at once, and the eight are written with
// their CRs in two shuffles from a table. Stops before the last eight units that are not all
// there; each store of sixteen units stays within the 2 * nLen room, since eight units read have
// written at most sixteen. Returns the units written and advances i and prev.
[[gnu::target("ssse3")]] int NormaliseEights(const char16_t* p, int nLen, char16_t* pOut, int& i,
                                             char16_t& prev) {
    const __m128i lf = _mm_set1_epi16(0x0A);
    const __m128i cr = _mm_set1_epi16(0x0D);
    int nOut = 0;
    for (; i + 8 <= nLen; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i before = _mm_insert_epi16(_mm_slli_si128(units, 2), prev, 0);
        const __m128i bare =
            _mm_andnot_si128(_mm_cmpeq_epi16(before, cr), _mm_cmpeq_epi16(units, lf));
        const unsigned nBare =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(bare, _mm_setzero_si128())));
        prev = p[i + 7];
        if (nBare == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pOut + nOut), units);
            nOut += 8;
            continue;
        }
        nOut += ExpandEight(units, nBare, pOut + nOut);
    }
    return nOut;
}

// Sixteen bytes at a time: the refused bytes, the LFs that need a CR (after the byte before, held
// in the top lane of last) and the two halves widened, all from one load. The last bytes, fewer
// than sixteen, go through the same steps padded with spaces, whose units land past those that
// count. Returns what TextPaneWidenAscii returns.
[[gnu::target("ssse3")]] int WidenSixteens(const char* p, int n, bool bAfterCr, char16_t* pWide,
                                           char16_t* pOut) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i esc = _mm_set1_epi8(0x1B);
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    __m128i last = _mm_slli_si128(_mm_cvtsi32_si128(bAfterCr ? '\r' : 0), 15);
    int nOut = 0;
    for (int i = 0; i < n; i += 16) {
        const int nValid = std::min(16, n - i);
        __m128i bytes;
        if (nValid == 16) {
            bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        } else {
            alignas(16) char tail[16];
            std::memset(tail, ' ', sizeof tail);
            std::memcpy(tail, p + i, static_cast<size_t>(nValid));
            bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(tail));
        }
        // a byte above 0x7F has its top bit set, a NUL or an ESC compares equal
        const __m128i bad = _mm_or_si128(
            bytes, _mm_or_si128(_mm_cmpeq_epi8(bytes, zero), _mm_cmpeq_epi8(bytes, esc)));
        if (_mm_movemask_epi8(bad) != 0) {
            return -1;
        }
        const __m128i lo = _mm_unpacklo_epi8(bytes, zero);
        const __m128i hi = _mm_unpackhi_epi8(bytes, zero);
        if (pWide != nullptr) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pWide + i), lo);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pWide + i + 8), hi);
        }
        if (pOut == nullptr) {
            continue;
        }
        const __m128i before = _mm_alignr_epi8(bytes, last, 15);
        last = bytes;
        const auto nBare = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_andnot_si128(_mm_cmpeq_epi8(before, cr), _mm_cmpeq_epi8(bytes, lf))));
        if (nBare == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pOut + nOut), lo);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pOut + nOut + 8), hi);
            nOut += nValid;
            continue;
        }
        // each half's count is 8 and its CRs, also for the padding (which has no LF)
        const int nLow = ExpandEight(lo, nBare & 0xFF, pOut + nOut);
        const int nHigh = ExpandEight(hi, nBare >> 8, pOut + nOut + nLow);
        nOut += nValid + nLow + nHigh - 16;
    }
    return pOut != nullptr ? nOut : n;
}

const bool g_bShuffles = __builtin_cpu_supports("ssse3");
#endif

}  // namespace

int TextPaneNormaliseLineEnds(const char16_t* p, int nLen, char16_t* pOut) {
    // An LF without a CR before it gains one; everything else is copied.
    int nOut = 0;
    char16_t prev = 0;
    int i = 0;
#if defined(__x86_64__)
    if (g_bShuffles) {
        nOut = NormaliseEights(p, nLen, pOut, i, prev);
    }
#endif
    for (; i < nLen; ++i) {
        NormaliseUnit(p[i], prev, pOut, nOut);
    }
    pOut[nOut] = 0;
    return nOut;
}

int TextPaneWidenAscii(const char* p, int n, bool bAfterCr, char16_t* pWide, char16_t* pOut) {
#if defined(__x86_64__)
    if (g_bShuffles) {
        return WidenSixteens(p, n, bAfterCr, pWide, pOut);
    }
#endif
    int nOut = 0;
    char16_t prev = bAfterCr ? u'\r' : 0;
    for (int i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if (c == 0 || c == 0x1B || c >= 0x80) {
            return -1;
        }
        if (pWide != nullptr) {
            pWide[i] = c;
        }
        if (pOut != nullptr) {
            NormaliseUnit(c, prev, pOut, nOut);
        }
    }
    return pOut != nullptr ? nOut : n;
}

void TextPaneNormaliseRuns(const char16_t* p, int nLen, CTextAttrRun* pRuns, int nRuns) {
    // Every LF without a CR before it gains one, which moves everything after it by one unit.
    // The run boundaries are visited in order, with the units added before each.
    int nAdded = 0;
    int i = 0;
    auto addedBefore = [&](int nPos) {
        for (; i < nPos && i < nLen; ++i) {
            if (p[i] == u'\n' && (i == 0 || p[i - 1] != u'\r')) {
                ++nAdded;
            }
        }
        return nAdded;
    };
    for (int r = 0; r < nRuns; ++r) {
        const int nStart = pRuns[r].nStart + addedBefore(pRuns[r].nStart);
        const int nEnd =
            pRuns[r].nStart + pRuns[r].nLength + addedBefore(pRuns[r].nStart + pRuns[r].nLength);
        pRuns[r].nStart = nStart;
        pRuns[r].nLength = nEnd - nStart;
    }
}

int TextPanePrepareAppend(ITextPane& pane) {
    return TextPanePrepareAppendT(pane);
}

void TextPaneAppend(ITextPane& pane, const char16_t* pszText) {
    TextPanePrepareAppend(pane);
    if (!pszText || !*pszText) {
        return;
    }
    COrvStringW text;
    if (!TextPaneNormalised(pszText, text)) {
        pane.ReplaceSel(pszText);  // no memory for the copy: the text as it is
        return;
    }
    pane.ReplaceSel(text);
}

void TextPaneInsertOutput(ITextPane& pane, const CTextPaneOutput& chunk) {
    TextPaneInsertOutputT(pane, chunk);
}

bool ITextPaneHost::AppendOutput(const CTextPaneOutput& chunk) {
    return Invoke([&](ITextPane& pane) { TextPaneInsertOutput(pane, chunk); });
}

bool TextPaneNormalised(const char16_t* pszText, COrvStringW& out) {
    const int nLen = static_cast<int>(std::char_traits<char16_t>::length(pszText));
    char16_t* pBuf = out.GetBuffer(2 * nLen);  // a failed GetBuffer leaves out as it was
    if (!pBuf) {
        return false;
    }
    out.ReleaseBuffer(TextPaneNormaliseLineEnds(pszText, nLen, pBuf));
    return true;
}
