// The output pane: the limit the pipe's insertion keeps, and the cross-thread host.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QScrollBar>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "output-pane.h"
#include "window-test-util.h"

static std::u16string Number(int i) {
    return QString::number(i).toStdU16String();
}

TEST(OutputPane, AFullPaneKeepsTheNewestText) {
    COutputPane pane;
    // A full pane keeps the newest text: whatever the pipe's insertion drops is the oldest.
    pane.SetLimitText(1000);
    std::u16string all;
    for (int i = 0; i < 400; ++i) {
        const std::u16string chunk = u"y\ny\ny\ny\ny\ny\ny\ny\ny\n" + Number(i % 10);
        TextPaneAppend(pane, chunk.c_str());
        for (char16_t c : chunk) {
            all += c == u'\n' ? u"\r\n" : std::u16string(1, c);
        }
        const std::u16string held = PaneText(pane);
        ASSERT_LE(held.size(), 1000u);
        ASSERT_EQ(held, all.substr(all.size() - held.size())) << "chunk " << i;
    }
    EXPECT_GT(pane.GetTextLength(), 700);
    // one insertion at the end larger than the whole limit keeps its own end
    pane.SetSel(pane.GetTextLength(), -1);
    pane.ReplaceSel((std::u16string(1500, u'x') + u"END").c_str());
    EXPECT_EQ(pane.GetTextLength(), 1000);
    EXPECT_EQ(PaneText(pane).substr(997), u"END");
    // the user's selection stays on its text while the pipe's trim takes the front
    pane.SelectAll();
    TextPaneAppend(pane, u"z");
    int nFrom = -1, nTo = -1;
    pane.GetVisibleSel(&nFrom, &nTo);
    EXPECT_EQ(std::pair(nFrom, nTo), std::pair(0, 1000 - 255));
}

TEST(OutputPaneHost, CallsAndPostsRunOnTheUiThreadInOrderUntilThePaneGoes) {
    auto* pPane = new COutputPane;
    std::shared_ptr<ITextPaneHost> pHost = pPane->Host();
    std::vector<quintptr> done;
    QObject::connect(pPane, &COutputPane::PipeDone, [&](quintptr n) { done.push_back(n); });
    bool bOnUiThread = false;
    std::atomic<bool> bCalled = false;
    bool bSawDone = false;
    std::thread reader([&] {
        pHost->Invoke([&](ITextPane& p) {
            bOnUiThread = QThread::currentThread() == qApp->thread();
            TextPaneAppend(p, u"from the reader\n");
        });
        pHost->PostPipeDone(42);
        // a call after the post finds the post handled
        bCalled = pHost->Invoke([&](ITextPane&) { bSawDone = done.size() == 1; });
    });
    ASSERT_TRUE(WaitFor([&] { return bCalled.load(); }));
    reader.join();
    EXPECT_TRUE(bOnUiThread);
    EXPECT_TRUE(bSawDone);
    EXPECT_EQ(done, std::vector<quintptr>{42});
    EXPECT_EQ(PaneText(*pPane), u"from the reader\r\n");

    // The UI thread runs no events until the pane is gone, so a waiting call must be released.
    std::atomic<int> nResult{-1};
    std::atomic<bool> bRan{false};
    reader =
        std::thread([&] { nResult = pHost->Invoke([&](ITextPane&) { bRan = true; }) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // posted, not carried out
    delete pPane;
    reader.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(nResult, 0);
    EXPECT_FALSE(pHost->IsPaneAlive());
    EXPECT_FALSE(pHost->PostPipeDone(1));
    EXPECT_FALSE(bRan);
}

TEST(OutputPaneHost, EachEndNotificationFindsTheOutputHandedOverBeforeIt) {
    // A reader floods the pane, so that its last chunk has to wait for room while the UI thread
    // inserts a large batch, then posts the end notification: when the notification runs, the
    // last chunk is in the pane, in every round.
    COutputPane pane;
    pane.SetLimitText(1 << 24);
    std::shared_ptr<ITextPaneHost> pHost = pane.Host();
    constexpr int kRounds = 20;
    const std::u16string fill(1000, u'x');
    const auto Last = [](int i) { return u"last of round " + Number(i) + u"\r\n"; };
    std::vector<int> missing;
    std::atomic<int> nDone{0};
    QObject::connect(&pane, &COutputPane::PipeDone, [&](quintptr n) {
        if (!PaneText(pane).ends_with(Last(static_cast<int>(n)))) {
            missing.push_back(static_cast<int>(n));
        }
        ++nDone;
    });
    std::thread reader([&] {
        const auto Put = [&](const std::u16string& text) {
            pHost->AppendOutput({text.c_str(), static_cast<int>(text.size())});
        };
        for (int i = 0; i < kRounds; ++i) {
            for (int j = 0; j < 400; ++j) {  // more than the stage takes before it holds back
                Put(fill);
            }
            Put(Last(i));
            pHost->PostPipeDone(static_cast<uintptr_t>(i));
            while (nDone.load() <= i) {  // one round at a time
                std::this_thread::yield();
            }
        }
    });
    const bool bAll = WaitFor([&] { return nDone == kRounds; });
    reader.join();
    ASSERT_TRUE(bAll);
    EXPECT_EQ(missing, std::vector<int>());
}

TEST(OutputPane, ALineThatLosesItsFrontPaintsLikeTheSameTextInAFreshPane) {
    // A line far longer than the pane holds streams in while the view follows its end: what is
    // left of it must scroll and look as the same text does in panes that never lost anything,
    // with and without tabs (which make the columns depend on where the line starts) and wide
    // characters.
    const std::u16string kSpecials[] = {u"", u"\t", u"\u4e2d"};
    for (const std::u16string& special : kSpecials) {
        COutputPane pane;
        pane.resize(500, 120);
        pane.SetLimitText(30000);
        std::u16string chunk;
        for (int i = 0; chunk.size() < 1000; ++i) {
            chunk += static_cast<char16_t>(u'!' + (i * 7) % 90);
            if (i % 97 == 0) {
                chunk += special;
            }
        }
        for (int nChunk = 0; nChunk < 120; ++nChunk) {
            TextPaneAppend(pane, chunk.substr(0, 1000 - nChunk % 7).c_str());
            if (nChunk % 5 != 4) {
                pane.FlushLayout();
                pane.viewport()->grab();  // paints, and remembers where its counting stopped
                continue;
            }
            const std::u16string live = PaneText(pane);
            QScrollBar& bar = *pane.horizontalScrollBar();
            // a pane given the same text at once scrolls as far, where no tab may reach a tab
            // stop further
            COutputPane fresh;
            fresh.resize(pane.size());
            fresh.SetLimitText(30000);
            fresh.viewport()->grab();  // laid out as the other one is, bars and all
            TextPaneAppend(fresh, live.c_str());
            pane.FlushLayout();
            fresh.FlushLayout();
            if (special != u"\t") {
                ASSERT_EQ(bar.value(), fresh.horizontalScrollBar()->value()) << "chunk " << nChunk;
            }
            // Scrolled to a tab stop near there, the view shows what a pane holding the text
            // from a tab stop before on shows scrolled by the difference (which paints the
            // characters cut at the left edge too).
            const int nLeft = std::min(bar.value(), fresh.horizontalScrollBar()->value()) / 8 * 8;
            int64_t nCol = 0;
            size_t i = 0;
            for (; i < live.size() && nCol < nLeft - 8; ++i) {
                nCol += live[i] == u'\t' ? 8 - nCol % 8 : live[i] == u'\u4e2d' ? 2 : 1;
            }
            bar.setValue(nLeft);
            COutputPane rest;
            rest.resize(pane.size());
            rest.viewport()->grab();
            TextPaneAppend(rest, live.substr(i).c_str());
            rest.FlushLayout();
            rest.horizontalScrollBar()->setValue(nLeft - static_cast<int>(nCol));
            // (the line's row: one pane has a bar below it, the other not)
            const QRect row(0, 0, pane.viewport()->width(),
                            QFontMetrics(pane.font()).lineSpacing());
            ASSERT_EQ(pane.viewport()->grab(row).toImage(), rest.viewport()->grab(row).toImage())
                << "chunk " << nChunk << ", special " << (special.empty() ? 0 : special[0]);
        }
        // the line lost its front many times over, and the view is far to its right
        EXPECT_GT(pane.Text().GetDropped(), 60000);
        EXPECT_GT(pane.horizontalScrollBar()->value(), 20000);
    }
}
