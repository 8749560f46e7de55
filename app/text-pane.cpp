#include "text-pane.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <string>

#include "orv-string.h"

int TextPaneNormaliseLineEnds(const char16_t* p, int nLen, char16_t* pOut) {
    // An LF without a CR before it gains one; everything else is copied. Written without branches
    // on the text: a CR is always stored and kept only where it is due.
    int nOut = 0;
    char16_t prev = 0;
    int i = 0;
#if defined(__SSE2__)
    // Eight units at a time: those without an LF that needs a CR, most of a text with long lines,
    // are copied in one piece; otherwise the pieces between such LFs are, each followed by its CR.
    // The stores run up to 8 units past what they keep, so this stops 16 units before the end:
    // every unit read so far has written at most two.
    const __m128i lf = _mm_set1_epi16(0x0A);
    const __m128i cr = _mm_set1_epi16(0x0D);
    const auto Copy8 = [](char16_t* pTo, const char16_t* pFrom) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pTo),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(pFrom)));
    };
    while (i + 16 <= nLen) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i before = _mm_insert_epi16(_mm_slli_si128(units, 2), prev, 0);
        const __m128i bare =
            _mm_andnot_si128(_mm_cmpeq_epi16(before, cr), _mm_cmpeq_epi16(units, lf));
        unsigned nBare =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(bare, _mm_setzero_si128())));
        prev = p[i + 7];
        int nPos = 0;
        while (nBare != 0) {
            const int k = std::countr_zero(nBare);
            Copy8(pOut + nOut, p + i + nPos);
            nOut += k - nPos;
            pOut[nOut++] = u'\r';
            nPos = k;
            nBare &= nBare - 1;
        }
        Copy8(pOut + nOut, p + i + nPos);
        nOut += 8 - nPos;
        i += 8;
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
