// The output pane: its text buffer, the edit-control operations the pipe uses, the limit, the
// cross-thread host, and the widget's scrolling, selection and copy.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollBar>
#include <QTest>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>

#include "output-pane.h"
#include "window-test-util.h"

namespace {

std::u16string Text(const COutputText& text) {
    return std::u16string(text.Data(), static_cast<size_t>(text.GetLength()));
}

void Append(COutputText& text, const std::u16string& s) {
    text.Append(s.data(), static_cast<int>(s.size()));
}

std::u16string Number(int i) {
    const std::string s = std::to_string(i);
    return std::u16string(s.begin(), s.end());
}

std::pair<int, int> Sel(const ITextPane& pane) {
    std::pair<int, int> sel{-2, -2};
    pane.GetSel(&sel.first, &sel.second);
    return sel;
}

}  // namespace

TEST(OutputText, ColumnsAndLineEnds) {
    for (const auto& [psz, nLen, nFrom, nCols] : {std::tuple{u"ab\tc", 4, 0, 9},
                                                  {u"\t", 1, 7, 8},
                                                  {u"\u4e2d\u6587", 2, 0, 4},
                                                  {u"\r\n\a", 3, 0, 0},
                                                  {u"\U0001F600x", 3, 0, 3}}) {
        EXPECT_EQ(COutputText::AdvanceColumns(psz, nLen, nFrom), nCols) << nFrom;
    }
    // a lone LF and a lone CR stay inside their lines; a pair split between appends ends one
    COutputText text;
    Append(text, u"ab\r\ncd\nef\rg\r");
    Append(text, u"\nlast");
    EXPECT_EQ(std::tuple(text.GetLineCount(), text.LineIndex(1), text.LineIndex(2)),
              std::tuple(3, 4, 13));
    // a change inside the text keeps the lines before it and rebuilds the rest
    text.Clear();
    Append(text, u"one\r\ntwo\r\nthree");
    text.Replace(3, 5, u" and ", 5);
    EXPECT_EQ(Text(text), u"one and two\r\nthree");
    EXPECT_EQ(std::tuple(text.GetLineCount(), text.LineIndex(1), text.LineIndex(99)),
              std::tuple(2, 13, 13));
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
    // one insertion larger than the whole limit keeps its end
    pane.SetSel(0, -1);
    pane.ReplaceSel((std::u16string(1500, u'x') + u"END").c_str());
    EXPECT_EQ(pane.GetTextLength(), 1000);
    EXPECT_EQ(PaneText(pane).substr(997), u"END");
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
            CTextPaneOutput chunk;
            chunk.pText = text.c_str();
            chunk.nText = static_cast<int>(text.size());
            pHost->AppendOutput(chunk);
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

// A pane shown at 400 x 200 pixels.
class ShownPane : public ::testing::Test {
protected:
    void SetUp() override {
        pane.resize(400, 200);
        pane.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    }
    COutputPane pane;
};

TEST_F(ShownPane, TheUsersSelectionSurvivesInsertionsAndShiftsWithDroppedText) {
    pane.SetLimitText(2000);
    TextPaneAppend(pane, (std::u16string(298, u'-') + u"\n").c_str());  // 300 with its CR
    TextPaneAppend(pane, u"keep me selected\nsecond line\n");
    // the user's own selection, typed with the keyboard from the end back to the start
    pane.setFocus();
    QTest::keyClick(&pane, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(&pane, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(&pane, Qt::Key_Down);
    for (int i = 0; i < 16; ++i) {
        QTest::keyClick(&pane, Qt::Key_Right, i < 5 ? Qt::NoModifier : Qt::ShiftModifier);
    }
    ASSERT_EQ(pane.GetSelectedText(), QStringLiteral("me selected"));
    // streamed output through the host, as the pipe inserts it
    std::shared_ptr<ITextPaneHost> pHost = pane.Host();
    std::atomic<bool> bDone = false;
    std::thread reader([&] {
        for (int i = 0; i < 20; ++i) {
            pHost->Invoke([](ITextPane& p) { TextPaneAppend(p, u"output\n"); });
        }
        bDone = true;
    });
    EXPECT_TRUE(WaitFor([&] { return bDone.load(); }));
    reader.join();
    pane.FlushLayout();
    const auto VisibleSel = [&] {
        std::pair<int, int> sel;
        pane.GetVisibleSel(&sel.first, &sel.second);
        return sel;
    };
    EXPECT_EQ(VisibleSel(), std::pair(305, 316));
    // the insertion point the pipe sees is the end, and shift+arrow extends the user's selection
    EXPECT_EQ(Sel(pane), std::pair(pane.GetTextLength(), pane.GetTextLength()));
    QTest::keyClick(&pane, Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("me selected\r\n"));
    // near the limit the oldest text goes, 255 characters before an insertion and whatever an
    // insertion takes beyond the limit: the selection moves with its text
    pane.SetSel(pane.GetTextLength(), -1);
    pane.ReplaceSel(std::u16string(1550, u'.').c_str());      // 41 beyond the limit
    TextPaneAppend(pane, std::u16string(100, u':').c_str());  // 255 go first
    const int nNow = static_cast<int>(PaneText(pane).find(u"me selected"));
    ASSERT_EQ(nNow, 305 - 41 - 255);
    EXPECT_EQ(VisibleSel(), std::pair(nNow, nNow + 13));
    // an edit inside the text is not an insertion: its selection is the user's
    pane.SetSel(0, 2);
    pane.ReplaceSel(u"xy");
    EXPECT_EQ(VisibleSel(), std::pair(2, 2));
}

TEST_F(ShownPane, ALineOfFortyMillionTabsKeepsItsScrollRange) {
    // 40 M tabs are 320 M columns, some 2.5 G pixels: more than an int holds
    constexpr int kTabs = 40 * 1000 * 1000;
    pane.SetLimitText(kTabs + 1000);
    TextPaneAppend(pane, u"start\n");
    TextPaneAppend(pane, std::u16string(kTabs, u'\t').c_str());
    pane.FlushLayout();
    const int64_t nCols = int64_t{kTabs} * 8;
    EXPECT_EQ(pane.Text().GetMaxColumns(), nCols);
    // the caret at the end of the line was scrolled into view: the scroll bar counts columns and
    // stands near its end, and a point of the view finds the tabs near the end
    QScrollBar* pH = pane.horizontalScrollBar();
    EXPECT_GT(pH->maximum(), nCols - 1000);
    EXPECT_LE(pH->maximum(), nCols);
    EXPECT_GT(pH->value(), nCols - 1000);
    EXPECT_GT(
        pane.CharFromPoint(QPoint(pane.viewport()->width() / 2, pane.viewport()->height() - 5)),
        kTabs - 1000);
    pane.SetSel(6, 6);
    pane.FlushLayout();
    EXPECT_EQ(pH->value(), 0);
}
