// The in-memory pane (edit-control semantics), its owner-thread host and the shared insertion.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "text-pane-memory.h"

namespace {

TEST(TextPaneMemory, PositionsCountUnitsAndLinesEndWithCrLfOnly) {
    CTextPaneMemory pane;
    pane.ReplaceSel(u"ab\r\ncd\rx\ny\r\n");
    EXPECT_EQ(pane.GetTextLength(), 12);
    // Lines: "ab", "cd\rx\ny" (a lone CR or LF is an ordinary character), "".
    EXPECT_EQ(pane.GetLineCount(), 3);
    EXPECT_EQ(pane.LineIndex(0), 0);
    EXPECT_EQ(pane.LineIndex(1), 4);
    EXPECT_EQ(pane.LineIndex(2), 12);
    EXPECT_EQ(pane.LineIndex(3), -1);
    EXPECT_EQ(pane.LineFromChar(2), 0);  // the CR of the first line end
    EXPECT_EQ(pane.LineFromChar(3), 0);  // its LF
    EXPECT_EQ(pane.LineFromChar(4), 1);
    EXPECT_EQ(pane.LineFromChar(9), 1);
    EXPECT_EQ(pane.LineFromChar(500), 2);  // past the end: the last line
    // The caret is after the insertion: the empty last line.
    EXPECT_EQ(pane.LineFromChar(-1), 2);
    EXPECT_EQ(pane.LineIndex(-1), 12);
}

TEST(TextPaneMemory, SelectionIsBoundedAndOrdered) {
    CTextPaneMemory pane;
    pane.ReplaceSel(u"hello");
    int s = -1;
    int e = -1;
    pane.SetSel(2, 99);
    pane.GetSel(&s, &e);
    EXPECT_EQ(s, 2);
    EXPECT_EQ(e, 5);
    pane.SetSel(0, -1);  // everything
    pane.GetSel(&s, &e);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(e, 5);
    pane.SetSel(4, 1);  // backwards: the same range, caret at 1
    pane.GetSel(&s, &e);
    EXPECT_EQ(s, 1);
    EXPECT_EQ(e, 4);
    pane.SetSel(-1, 0);  // drop the selection, caret stays at 1
    pane.GetSel(&s, &e);
    EXPECT_EQ(s, 1);
    EXPECT_EQ(e, 1);
    pane.SetSel(50, 60);  // both past the end
    pane.ReplaceSel(u"!");
    EXPECT_EQ(pane.GetText(), u"hello!");
}

TEST(TextPaneMemory, ReplaceUpdatesLinesAndStopsAtTheLimit) {
    CTextPaneMemory pane;
    pane.ReplaceSel(u"one\r\ntwo\r\nthree");
    // Join the first two lines by replacing the CR LF, and split the last one.
    pane.SetSel(3, 5);
    pane.ReplaceSel(u"+");
    EXPECT_EQ(pane.GetText(), u"one+two\r\nthree");
    EXPECT_EQ(pane.GetLineCount(), 2);
    EXPECT_EQ(pane.LineIndex(1), 9);
    // A CR LF pair made of an existing CR and an inserted LF is a line end.
    pane.SetSel(8, 8);
    pane.ReplaceSel(u"x");  // "one+two\rx\nthree": no line end left
    EXPECT_EQ(pane.GetLineCount(), 1);
    pane.SetSel(8, 9);
    pane.ReplaceSel(u"");  // "one+two\r\nthree" again
    EXPECT_EQ(pane.GetLineCount(), 2);
    EXPECT_EQ(pane.LineIndex(1), 9);
    // Removing text in front moves the later line starts.
    pane.SetSel(0, 4);
    pane.ReplaceSel(nullptr);
    EXPECT_EQ(pane.GetText(), u"two\r\nthree");
    EXPECT_EQ(pane.LineIndex(1), 5);

    pane.SetLimitText(12);
    pane.SetSel(10, 10);
    pane.ReplaceSel(u"12345");  // only two more units fit
    EXPECT_EQ(pane.GetText(), u"two\r\nthree12");
    int s = 0;
    pane.GetSel(&s, nullptr);
    EXPECT_EQ(s, 12);
    pane.SetText(nullptr);
    EXPECT_EQ(pane.GetTextLength(), 0);
    EXPECT_EQ(pane.GetLineCount(), 1);
}

TEST(TextPaneAppend, NormalisesLineEndsAndKeepsLoneCr) {
    char16_t out[32];
    const char16_t in[] = u"a\r\nb\nc\rd\r\r\n";
    EXPECT_EQ(TextPaneNormaliseLineEnds(in, 11, out), 12);
    EXPECT_EQ(std::u16string(out), u"a\r\nb\r\nc\rd\r\r\n");
    // long texts, a CR at every offset before an LF: pieces without an LF are copied whole
    std::mt19937 random(3);
    for (int nRound = 0; nRound < 200; ++nRound) {
        std::u16string text;
        while (text.size() < 300) {
            const unsigned n = random() % 10;
            text += n == 0   ? u"\n"
                    : n == 1 ? u"\r"
                    : n == 2 ? u"\r\n"
                             : std::u16string(n * 3, u'x');
        }
        std::u16string expected;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r')) {
                expected += u'\r';
            }
            expected += text[i];
        }
        std::vector<char16_t> buf(2 * text.size() + 1);
        const int n =
            TextPaneNormaliseLineEnds(text.data(), static_cast<int>(text.size()), buf.data());
        ASSERT_EQ(std::u16string(buf.data(), static_cast<size_t>(n)), expected)
            << "round " << nRound;
        EXPECT_EQ(buf[static_cast<size_t>(n)], 0);
    }

    CTextPaneMemory pane;
    pane.ReplaceSel(u"start");
    pane.SetSel(0, 0);  // the caret elsewhere: the insertion still goes to the end
    TextPaneAppend(pane, u"x\ny");
    EXPECT_EQ(pane.GetText(), u"startx\r\ny");
    EXPECT_GT(pane.GetScrollCount(), 0);
    TextPaneAppend(pane, nullptr);
    EXPECT_EQ(pane.GetText(), u"startx\r\ny");
}

TEST(TextPaneAppend, TrimsExactly255CharactersOnlyPastTheLimitMinus255) {
    CTextPaneMemory pane;
    pane.SetLimitText(1000);
    std::u16string text;
    for (int i = 0; i < 745; ++i) {
        text.push_back(static_cast<char16_t>(u'A' + i % 26));
    }
    pane.ReplaceSel(text.c_str());
    TextPaneAppend(pane, u"1");  // length 745 is not above 745: nothing removed
    EXPECT_EQ(pane.GetTextLength(), 746);
    EXPECT_EQ(pane.GetText().substr(0, 745), text);
    TextPaneAppend(pane, u"2");  // 746 > 745: the first 255 go, then the insertion
    const std::u16string expected = text.substr(255) + u"12";
    EXPECT_EQ(pane.GetText(), expected);
    int s = 0;
    pane.GetSel(&s, nullptr);
    EXPECT_EQ(s, pane.GetTextLength());
    // A limit below 255 wraps around in the unsigned comparison and never trims.
    CTextPaneMemory small;
    small.SetLimitText(100);
    small.ReplaceSel(text.substr(0, 90).c_str());
    TextPaneAppend(small, u"xyz");
    EXPECT_EQ(small.GetText(), text.substr(0, 90) + u"xyz");
}

TEST(TextPaneMemoryHost, CallsRunOnTheOwnerThreadInOrderWithPosts) {
    auto pHost = std::make_shared<CTextPaneMemoryHost>();
    std::thread::id owner;
    pHost->RunOnOwner([&](CTextPaneMemory&) { owner = std::this_thread::get_id(); });
    ASSERT_NE(owner, std::this_thread::get_id());

    std::thread::id ran;
    pHost->SetPipeDoneHandler([](CTextPaneMemory& pane, uintptr_t n) {
        pane.ReplaceSel(n == 7 ? u"[done 7]" : u"[other]");
    });
    EXPECT_TRUE(pHost->Invoke([&](ITextPane& pane) {
        ran = std::this_thread::get_id();
        pane.ReplaceSel(u"a");
    }));
    EXPECT_EQ(ran, owner);
    EXPECT_TRUE(pHost->PostPipeDone(7));
    // A call made after a post returns once the post has been handled.
    int nLen = 0;
    EXPECT_TRUE(pHost->Invoke([&](ITextPane& pane) { nLen = pane.GetTextLength(); }));
    EXPECT_EQ(nLen, 9);
    EXPECT_EQ(pHost->PipeDoneValues(), std::vector<uintptr_t>{7});
    EXPECT_EQ(pHost->CallCount(), 2);
    // From the owner thread itself a call runs directly instead of waiting for itself.
    bool bInner = false;
    pHost->RunOnOwner([&](CTextPaneMemory&) {
        bInner = pHost->Invoke([](ITextPane& pane) { pane.ReplaceSel(u"!"); });
    });
    EXPECT_TRUE(bInner);
    EXPECT_EQ(pHost->Text(), u"a[done 7]!");
}

TEST(TextPaneMemoryHost, DetachReleasesWaitingCallsAndFailsLaterOnes) {
    auto pHost = std::make_shared<CTextPaneMemoryHost>();
    pHost->SetOwnerDelayMs(300);
    std::atomic<int> nResult{-1};
    std::thread caller([&] {
        nResult = pHost->Invoke([](ITextPane& pane) { pane.ReplaceSel(u"late"); }) ? 1 : 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto t0 = std::chrono::steady_clock::now();
    pHost->Detach();
    caller.join();
    EXPECT_EQ(nResult.load(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
    EXPECT_FALSE(pHost->IsPaneAlive());
    EXPECT_FALSE(pHost->Invoke([](ITextPane&) {}));
    EXPECT_FALSE(pHost->PostPipeDone(1));
    pHost->SetOwnerDelayMs(0);
    EXPECT_EQ(pHost->Text(), u"");
    EXPECT_TRUE(pHost->PipeDoneValues().empty());
}

}  // namespace
