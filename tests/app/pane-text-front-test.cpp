// The width of a first line that loses its front while the text flows through a bounded pane:
// the removed characters are measured late, and must be measured before appends overwrite them.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "output-text.h"

namespace {

// Columns of text[nFrom..nTo) from column nCol, one unit at a time (ASCII, tabs, CR and LF).
int64_t Columns(const std::u16string& text, size_t nFrom, size_t nTo, int64_t nCol) {
    for (size_t i = nFrom; i < nTo; ++i) {
        nCol += text[i] == u'\t' ? 8 - nCol % 8 : (text[i] < 0x20 ? 0 : 1);
    }
    return nCol;
}

}  // namespace

TEST(OutputTextFront, AOneLineFloodCountsWhatItsFirstLineLostAsLongAsTheTextWraps) {
    // One line without an end, of letters and tabs at random, far longer than the ring: appended
    // in pieces, trimmed at the front to the bound, its width asked for now and then. A first line
    // that lost its start counts without the lost columns, rounded down to a tab stop. Then a
    // second case, where lines end and the first line changes between the asks.
    constexpr int kMax = 20000;
    for (const bool bLines : {false, true}) {
        SCOPED_TRACE(bLines ? "lines" : "one line");
        COutputText text;
        text.SetExpectedMax(kMax);
        std::mt19937 random(3);
        std::u16string all;  // everything appended
        size_t nFront = 0;   // units of all removed
        for (int nStep = 0; nStep < 4000; ++nStep) {
            std::u16string piece;
            for (int i = static_cast<int>(random() % 300); i > 0; --i) {
                piece += random() % 5 == 0 ? u'\t' : static_cast<char16_t>(u'a' + random() % 26);
                if (bLines && random() % 2000 == 0) {
                    piece += u"\r\n";
                }
            }
            text.Append(piece.data(), static_cast<int>(piece.size()));
            all += piece;
            const int nOver = text.GetLength() - kMax;
            if (nOver > 0) {
                text.EraseFront(nOver);
                nFront += static_cast<size_t>(nOver);
            }
            if (random() % 97 != 0) {
                continue;
            }
            // the model: where the front's line starts (a pair whose CR is gone ends nothing,
            // and its LF starts the first line), what of it is gone, and the widest line held
            size_t nLineAt = 0;
            if (nFront >= 1 && all.compare(nFront - 1, 2, u"\r\n") == 0) {
                nLineAt = nFront;
            } else if (const size_t nPair =
                           nFront >= 2 ? all.rfind(u"\r\n", nFront - 2) : std::u16string::npos;
                       nPair != std::u16string::npos) {
                nLineAt = nPair + 2;
            }
            const int64_t nLost = Columns(all, nLineAt, nFront, 0);
            int64_t nWidest = 0;
            int64_t nCol = nLost % 8;  // the rest of the first line keeps its tab stops
            for (size_t i = nFront; i < all.size(); ++i) {
                if (all[i] == u'\r' && i + 1 < all.size() && all[i + 1] == u'\n') {
                    nWidest = std::max(nWidest, nCol);
                    nCol = 0;
                    ++i;
                } else {
                    nCol = Columns(all, i, i + 1, nCol);
                }
            }
            ASSERT_EQ(text.GetMaxColumns(), std::max(nWidest, nCol)) << "step " << nStep;
        }
    }
}
