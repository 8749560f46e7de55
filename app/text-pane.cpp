#include "text-pane.h"

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

#include <array>
#include <bit>
#include <string>

#include "orv-string.h"

namespace {

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
        const CLineEndExpansion& e = kLineEndExpansions[nBare];
        const auto* pOrder = reinterpret_cast<const __m128i*>(e.shuffle);
        const auto* pFill = reinterpret_cast<const __m128i*>(e.fill);
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(pOut + nOut),
            _mm_or_si128(_mm_shuffle_epi8(units, _mm_loadu_si128(pOrder)), _mm_loadu_si128(pFill)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pOut + nOut + 8),
                         _mm_or_si128(_mm_shuffle_epi8(units, _mm_loadu_si128(pOrder + 1)),
                                      _mm_loadu_si128(pFill + 1)));
        nOut += e.nUnits;
    }
    return nOut;
}

const bool g_bShuffles = __builtin_cpu_supports("ssse3");
#endif

}  // namespace

int TextPaneNormaliseLineEnds(const char16_t* p, int nLen, char16_t* pOut) {
    // An LF without a CR before it gains one; everything else is copied. Written without branches
    // on the text: a CR is always stored and kept only where it is due.
    int nOut = 0;
    char16_t prev = 0;
    int i = 0;
#if defined(__x86_64__)
    if (g_bShuffles) {
        nOut = NormaliseEights(p, nLen, pOut, i, prev);
    }
#endif
    for (; i < nLen; ++i) {
        const char16_t ch = p[i];
        pOut[nOut] = u'\r';
        nOut += (ch == u'\n') & (prev != u'\r');
        pOut[nOut++] = ch;
        prev = ch;
    }
    pOut[nOut] = 0;
    return nOut;
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
