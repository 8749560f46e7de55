// The pane's text model against a plain string while text flows through a bounded pane, wraps
// around rings taken back from an earlier text, and the pane's scroll bars during a flood.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollBar>
#include <random>
#include <string>

#include "mirror-ring.h"
#include "output-pane.h"

TEST(PaneTextModel, RingsTakenBackAfterClearHoldTheNewTextExactly) {
    constexpr int kMax = 600 * 1024;  // rings large enough to be kept for reuse
    COutputText model;
    model.SetExpectedMax(kMax);
    std::mt19937 rng(39);
    const std::u16string pieces[] = {u"y\r\n", u"12345\r\n", u"\r", u"\n", u"ab\rc\nd"};
    const std::u16string line(64, u'z');  // without a line end: lines of any length
    for (int nRound = 0; nRound < 2; ++nRound) {
        std::u16string plain;  // the live text: plain.substr(nFront)
        size_t nFront = 0;
        for (int nOp = 0; nOp < 250000; ++nOp) {
            const std::u16string& piece =
                rng() % 16 == 0 ? line : pieces[rng() % std::size(pieces)];
            model.Append(piece.data(), static_cast<int>(piece.size()));
            plain += piece;
            // a chunk's trim, or any count (which now and then leaves an LF at the front)
            int nErase = rng() % 4 == 0 ? static_cast<int>(rng() % 300) : 255;
            nErase = std::max(nErase, model.GetLength() - kMax);
            if (model.GetLength() > kMax - 255 && nErase > 0) {
                model.EraseFront(nErase);
                nFront += static_cast<size_t>(nErase);
                const size_t nEnd = plain.find(u"\r\n", nFront);
                ASSERT_EQ(model.LineIndex(1),
                          nEnd == std::u16string::npos ? 0 : static_cast<int>(nEnd - nFront) + 2);
            }
        }
        const std::u16string live = plain.substr(nFront);
        ASSERT_EQ(std::u16string(model.Data(), static_cast<size_t>(model.GetLength())), live);
        int nLine = 0;
        for (size_t i = 1; i < live.size(); ++i) {
            if (live[i - 1] == u'\r' && live[i] == u'\n') {
                ASSERT_EQ(model.LineIndex(++nLine), static_cast<int>(i) + 1);
            }
        }
        EXPECT_EQ(model.GetLineCount(), nLine + 1);
        EXPECT_GT(model.GetDropped(), kMax);  // the rings went round
        const size_t nSpare = CMirrorRingBytes::SpareBytes();
        model.Clear();
        EXPECT_GT(CMirrorRingBytes::SpareBytes(), nSpare);  // kept, and taken back next
    }
    CMirrorRingBytes::DropSpares();
    EXPECT_EQ(CMirrorRingBytes::SpareBytes(), 0u);
}

namespace {
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
    QScrollBar* pV = pane.verticalScrollBar();
    EXPECT_EQ(pV->maximum(), pane.Text().GetLineCount() - pane.VisibleLineCount());
    EXPECT_EQ(pV->value(), pV->maximum());
    pV->setValue(10);  // the user's scrolling still moves the view
    EXPECT_EQ(pane.FirstVisibleLine(), 10);
}
