// The pane's text model and the rings under it, checked against a plain string while text flows
// through a bounded pane, wraps around its rings and is cleared, so that rings taken back from
// earlier texts hold exactly the new text; and the pane's scroll bars during a flood.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollBar>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "mirror-ring.h"
#include "output-pane.h"
#include "output-text.h"

namespace {

// The live text of a bounded pane as a string: appended at the end, removed at the front.
struct CPlainText {
    std::u16string text;
    size_t nFront = 0;

    std::u16string Live() const { return text.substr(nFront); }
    void EraseFront(size_t n) {
        nFront += n;
        if (nFront > (1u << 20)) {
            text.erase(0, nFront);
            nFront = 0;
        }
    }
};

// Starts of the lines of a text whose lines end with CR LF.
std::vector<int> LineStarts(const std::u16string& s) {
    std::vector<int> starts{0};
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i] == u'\n' && s[i - 1] == u'\r') {
            starts.push_back(static_cast<int>(i) + 1);
        }
    }
    return starts;
}

void ExpectSame(const COutputText& model, const CPlainText& plain) {
    const std::u16string live = plain.Live();
    ASSERT_EQ(model.GetLength(), static_cast<int>(live.size()));
    ASSERT_TRUE(std::equal(live.begin(), live.end(), model.Data()));
    const std::vector<int> starts = LineStarts(live);
    ASSERT_EQ(model.GetLineCount(), static_cast<int>(starts.size()));
    int64_t nWidest = 0;  // the lines after the first: printable ASCII, CRs and LFs only
    for (size_t k = 0; k < starts.size(); ++k) {
        ASSERT_EQ(model.LineIndex(static_cast<int>(k)), starts[k]) << k;
        const int nEnd = k + 1 < starts.size() ? starts[k + 1] - 2 : static_cast<int>(live.size());
        if (k > 0) {
            nWidest = std::max<int64_t>(nWidest,
                                        std::count_if(live.begin() + starts[k], live.begin() + nEnd,
                                                      [](char16_t c) { return c >= 0x20; }));
        }
    }
    // the first line may count up to a tab stop more than what is left of it
    const int64_t nFirst = std::count_if(
        live.begin(),
        live.begin() + (starts.size() > 1 ? starts[1] - 2 : static_cast<int>(live.size())),
        [](char16_t c) { return c >= 0x20; });
    EXPECT_GE(model.GetMaxColumns(), std::max(nWidest, nFirst));
    EXPECT_LE(model.GetMaxColumns(), std::max(nWidest, nFirst + 7));
}

}  // namespace

TEST(PaneTextModel, RingsTakenBackAfterClearHoldTheNewTextExactly) {
    CMirrorRingBytes::DropSpares();
    // a bound whose rings are large enough to be kept for reuse when released
    constexpr int kMax = 600 * 1024;
    COutputText model;
    model.SetExpectedMax(kMax);
    std::mt19937 rng(39);
    // Pieces as a reader hands them over: short and long lines, CR LF pairs split between
    // appends, lone CRs and LFs inside lines.
    const std::u16string pieces[] = {u"y\r\n",
                                     u"12345\r\n",
                                     u"\r",
                                     u"\n",
                                     u"ab\rc\nd",
                                     std::u16string(300, u'x') + u"\r\n",
                                     std::u16string(9000, u'z')};
    for (int nRound = 0; nRound < 2; ++nRound) {
        CPlainText plain;
        for (int nOp = 0; nOp < 30000; ++nOp) {
            const std::u16string& piece = pieces[rng() % std::size(pieces)];
            model.Append(piece.data(), static_cast<int>(piece.size()));
            plain.text += piece;
            // removals of a chunk's trim at a time (or any other count, which now and then
            // leaves the LF of a line end at the front), and what goes past the bound
            int nErase = 0;
            if (model.GetLength() > kMax - 255) {
                nErase = rng() % 4 == 0 ? static_cast<int>(rng() % 300) : 255;
            }
            nErase = std::max(nErase, model.GetLength() - nErase - kMax);
            if (nErase > 0 && rng() % 8 != 0) {
                model.EraseFront(nErase);
                plain.EraseFront(static_cast<size_t>(nErase));
                // where the first line ends is what a removal at the front changes
                const size_t nEnd = plain.text.find(u"\r\n", plain.nFront);
                ASSERT_EQ(model.LineIndex(1), nEnd == std::u16string::npos
                                                  ? 0
                                                  : static_cast<int>(nEnd - plain.nFront) + 2);
            }
            if (nOp % 5000 == 4999) {
                ASSERT_NO_FATAL_FAILURE(ExpectSame(model, plain));
            }
        }
        ASSERT_NO_FATAL_FAILURE(ExpectSame(model, plain));
        EXPECT_GT(model.GetDropped(), 4 * kMax);  // the rings went round several times
        const size_t nSpareBefore = CMirrorRingBytes::SpareBytes();
        model.Clear();
        // the cleared text's rings wait for reuse, and its next append takes them back
        EXPECT_GT(CMirrorRingBytes::SpareBytes(), nSpareBefore);
        EXPECT_EQ(model.GetLength(), 0);
        EXPECT_EQ(model.GetLineCount(), 1);
        model.Append(u"", 0);
        const char16_t szFirst[] = u"first\r\n";
        model.Append(szFirst, 7);
        EXPECT_EQ(CMirrorRingBytes::SpareBytes(), nSpareBefore);
        model.EraseFront(7);
        EXPECT_EQ(model.GetLineCount(), 1);
    }
    CMirrorRingBytes::DropSpares();
    EXPECT_EQ(CMirrorRingBytes::SpareBytes(), 0u);
}

TEST(PaneTextModel, SmallRingsAndFullSparesGoBackToTheSystem) {
    CMirrorRingBytes::DropSpares();
    {
        CMirrorRing<char> small;
        ASSERT_TRUE(small.Reserve(64 * 1024, 0, 0));
    }
    EXPECT_EQ(CMirrorRingBytes::SpareBytes(), 0u);
    // more released rings than are kept: the oldest go, the newest wait
    std::vector<CMirrorRing<char>> rings(6);
    for (size_t i = 0; i < rings.size(); ++i) {
        ASSERT_TRUE(rings[i].Reserve((i + 1) << 20, 0, 0));
    }
    rings.clear();
    const size_t nKept = CMirrorRingBytes::SpareBytes();
    EXPECT_EQ(nKept, (3u + 4 + 5 + 6) << 20);
    // a ring of a size that waits takes it; another size makes a new one
    CMirrorRing<char> again;
    ASSERT_TRUE(again.Reserve(5u << 20, 0, 0));
    EXPECT_EQ(CMirrorRingBytes::SpareBytes(), nKept - (5u << 20));
    CMirrorRing<char> other;
    ASSERT_TRUE(other.Reserve(7u << 20, 0, 0));
    EXPECT_EQ(CMirrorRingBytes::SpareBytes(), nKept - (5u << 20));
    CMirrorRingBytes::DropSpares();
}

namespace {

// Counts the paint events of the widgets it watches.
class CPaints : public QObject {
public:
    int m_nPaints = 0;

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override {
        m_nPaints += pEvent->type() == QEvent::Paint ? 1 : 0;
        return QObject::eventFilter(pObject, pEvent);
    }
};

}  // namespace

TEST(PaneScrollBars, AFloodRepaintsThemOnlyWhereTheyChangeAndLeavesThemExact) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char szName[] = "pane-text-model-test";
    char* argv[] = {szName, nullptr};
    QApplication app(argc, argv);
    COutputPane pane;
    pane.resize(600, 400);
    pane.show();
    QApplication::processEvents();
    CPaints bars;
    CPaints view;
    pane.verticalScrollBar()->installEventFilter(&bars);
    pane.horizontalScrollBar()->installEventFilter(&bars);
    pane.viewport()->installEventFilter(&view);
    std::u16string lines;
    for (int i = 0; i < 100; ++i) {
        lines += u"yyyyyyy\r\n";
    }
    for (int i = 0; i < 300; ++i) {
        pane.SetSel(-1, -1);
        pane.ReplaceSel(lines.c_str());
        pane.FlushLayout();
        QApplication::processEvents();
    }
    // once the handle is as small as it gets, at the end, a growing range does not move it
    EXPECT_GE(view.m_nPaints, 300);
    EXPECT_LT(bars.m_nPaints, view.m_nPaints / 4);
    // what the bars hold is exact all the same: the view follows the end
    const QScrollBar* pV = pane.verticalScrollBar();
    EXPECT_EQ(pV->maximum(), pane.Text().GetLineCount() - pane.VisibleLineCount());
    EXPECT_EQ(pV->value(), pV->maximum());
    EXPECT_EQ(pane.FirstVisibleLine(), pV->value());
    // the user's scrolling still moves the view
    pane.verticalScrollBar()->setValue(10);
    EXPECT_EQ(pane.FirstVisibleLine(), 10);
    EXPECT_FALSE(pane.IsFollowing());
}
