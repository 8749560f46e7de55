// The output pane: the limit the pipe's insertion keeps, and the cross-thread host.
#include <gtest/gtest.h>

#include <QApplication>
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
