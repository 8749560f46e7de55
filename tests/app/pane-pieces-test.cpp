// The chunks of one read reach the pane together: inserted in one go, they must leave the pane as
// inserting them one by one does, trims near the limit included.
#include <gtest/gtest.h>

#include <QScrollBar>
#include <random>
#include <string>
#include <vector>

#include "output-pane.h"
#include "output-text.h"
#include "text-model-expect.h"

namespace {

void ExpectSamePane(const COutputPane& a, const COutputPane& b) {
    ASSERT_NO_FATAL_FAILURE(ExpectSameModel(a.Text(), b.Text()));
    ASSERT_EQ(a.FirstVisibleLine(), b.FirstVisibleLine());
}

}  // namespace

TEST(PanePieces, ChunksOfOneReadLeaveThePaneAsTheyWouldOneByOne) {
    // Limits where every read trims, where a read is longer than what a trim leaves (one go
    // cannot give the same result, and the chunks go one by one), and where trims are rare. The
    // view is scrolled away from the end now and then, so that removed lines move it.
    const char16_t* const kParts[] = {u"\n", u"\r\n", u"\r", u"\t", u"abc", u"0123456789"};
    for (const int nLimit : {300, 2000, 20000}) {
        SCOPED_TRACE(nLimit);
        COutputPane together;
        COutputPane oneByOne;
        for (COutputPane* pPane : {&together, &oneByOne}) {
            pPane->resize(300, 200);
            pPane->SetLimitText(nLimit);
        }
        std::mt19937 rng(static_cast<unsigned>(nLimit));
        CTextLineScan scan;
        int nInOneGo = 0;
        for (int nRead = 0; nRead < 300; ++nRead) {
            std::u16string text;
            std::vector<int> pieces;
            for (int nChunks = static_cast<int>(rng() % 6) + 2; nChunks > 0; --nChunks) {
                std::u16string raw;
                for (int n = static_cast<int>(rng() % 40); n > 0; --n) {
                    raw += kParts[rng() % std::size(kParts)];
                }
                std::u16string out(2 * raw.size() + 1, u'\0');
                const int nOut =
                    TextPaneNormaliseLineEnds(raw.data(), static_cast<int>(raw.size()), out.data());
                CTextPaneOutput piece;
                piece.pText = out.c_str();
                piece.nText = nOut;
                TextPaneInsertOutputT(oneByOne, piece);
                text.append(out, 0, static_cast<size_t>(nOut));
                pieces.push_back(nOut);
            }
            CTextPaneOutput chunk;
            chunk.pText = text.c_str();
            chunk.nText = static_cast<int>(text.size());
            chunk.lines = scan.Scan(text.data(), chunk.nText);
            chunk.pPieces = pieces.data();
            chunk.nPieces = static_cast<int>(pieces.size());
            if (together.InsertOutputPieces(chunk)) {
                ++nInOneGo;
            } else {
                TextPaneInsertOutputT(together, chunk);
            }
            if (nRead % 37 == 0) {
                together.verticalScrollBar()->setValue(0);
                oneByOne.verticalScrollBar()->setValue(0);
            }
            ASSERT_NO_FATAL_FAILURE(ExpectSamePane(together, oneByOne)) << "read " << nRead;
        }
        // a limit below a read's length sends most reads one by one
        EXPECT_GT(nInOneGo, nLimit == 300 ? 0 : 250);
        EXPECT_LT(nInOneGo, nLimit == 300 ? 100 : 301);
    }
}
