// The output pane: its text buffer, the edit-control operations the pipe uses, the limit, the
// cross-thread host, and the widget's selection and copy.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QImage>
#include <QScrollBar>
#include <QTest>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "output-pane.h"
#include "window-test-util.h"

namespace {

std::u16string Text(const COutputText& text) {
    return std::u16string(text.Data(), static_cast<size_t>(text.GetLength()));
}

std::u16string Text(const COutputPane& pane) {
    return Text(pane.Text());
}

void Append(COutputText& text, const std::u16string& s) {
    text.Append(s.data(), static_cast<int>(s.size()));
}

int64_t WidestMeasured(const COutputText& text);

}  // namespace

TEST(OutputText, LinesEndOnlyAtCrLfPairs) {
    COutputText text;
    EXPECT_EQ(text.GetLineCount(), 1);
    EXPECT_EQ(text.LineLength(0), 0);
    // a lone LF and a lone CR stay inside their lines; a pair split between appends still ends one
    Append(text, u"ab\r\ncd\nef\rg\r");
    Append(text, u"\nlast");
    ASSERT_EQ(text.GetLineCount(), 3);
    EXPECT_EQ(text.LineIndex(0), 0);
    EXPECT_EQ(text.LineLength(0), 2);
    EXPECT_EQ(text.LineIndex(1), 4);
    EXPECT_EQ(text.LineLength(1), 7);  // "cd\nef\rg"
    EXPECT_EQ(text.LineIndex(2), 13);
    EXPECT_EQ(text.LineLength(2), 4);
    EXPECT_EQ(text.LineFromChar(0), 0);
    EXPECT_EQ(text.LineFromChar(3), 0);  // the LF of the first line end
    EXPECT_EQ(text.LineFromChar(4), 1);
    EXPECT_EQ(text.LineFromChar(12), 1);
    EXPECT_EQ(text.LineFromChar(13), 2);
    EXPECT_EQ(text.LineFromChar(1000), 2);
    EXPECT_EQ(text.LineIndex(99), 13);  // clamped to the last line
}

TEST(OutputText, ALargeTextGrowsToItsBoundWithoutMoving) {
    // With the bound known, the buffer is reserved at the first append: every later append up
    // to the bound finds the text where it was (a move would copy megabytes on the UI thread).
    constexpr int kMax = 3 * 1024 * 1024;
    COutputText text;
    text.SetExpectedMax(kMax);
    const std::u16string line = u"0123456789abcdef\r\n";  // 18 characters
    Append(text, line);
    int nLines = 1;
    const char16_t* pBefore = text.Data();
    while (text.GetLength() + static_cast<int>(line.size()) <= kMax) {
        Append(text, line);
        ++nLines;
    }
    EXPECT_EQ(text.Data(), pBefore);
    // removing at the front and appending again moves nothing either: the live text starts
    // further on by what was removed
    const int nCycles = kMax / 3 / 18;
    for (int i = 0; i < nCycles; ++i) {
        text.EraseFront(18);
        Append(text, line);
    }
    EXPECT_EQ(text.Data(), pBefore + nCycles * 18);
    EXPECT_EQ(text.GetLineCount(), nLines + 1);
    EXPECT_EQ(text.LineIndex(nLines - 1), text.GetLength() - 18);
    EXPECT_EQ(text.LineLength(nLines - 1), 16);
    EXPECT_EQ(std::u16string(text.Data(text.LineIndex(7)), 18), line);
}

TEST(OutputText, TextFlowingThroughManyTimesOverMatchesAModel) {
    // A bound of 64 Ki characters and some 40 times as much text through it, as a flood goes
    // through a full pane: the text wraps around its storage again and again. Lines of random
    // lengths, tabs, lone CRs and LFs, and CR LF pairs split between appends; after every step
    // the text, its lines and the widest line agree with a plain string. The same without the
    // bound known: the text grows, and what goes at the front is given up.
    constexpr int kMax = 64 * 1024;
    for (const bool bBounded : {true, false}) {
        SCOPED_TRACE(bBounded ? "bounded" : "unbounded");
        COutputText text;
        if (bBounded) {
            text.SetExpectedMax(kMax);
        }
        std::u16string model;
        std::mt19937 random(7);
        const char16_t kPieces[] = {u'a', u'b', u'\t', u'\r', u'\n', u'x', u'\u4e00', u' '};
        for (int nStep = 0; nStep < 12000; ++nStep) {
            std::u16string chunk;
            const int nLen = static_cast<int>(random() % 400);
            for (int i = 0; i < nLen; ++i) {
                if (random() % 12 == 0) {
                    chunk += u"\r\n";
                } else {
                    chunk += kPieces[random() % 8];
                }
            }
            Append(text, chunk);
            model += chunk;
            const int nOver = static_cast<int>(model.size()) - kMax;
            if (nOver > 0) {
                text.EraseFront(nOver);
                model.erase(0, static_cast<size_t>(nOver));
            }
            if (nStep % 500 != 499) {
                ASSERT_EQ(text.GetLength(), static_cast<int>(model.size()));
                continue;
            }
            ASSERT_EQ(Text(text), model) << "step " << nStep;
            // the lines: a CR LF pair ends one, except a pair whose CR was removed
            int nLine = 0;
            for (size_t i = 0; i <= model.size(); ++i) {
                if (i == 0 || (i >= 2 && model[i - 1] == u'\n' && model[i - 2] == u'\r')) {
                    ASSERT_EQ(text.LineIndex(nLine), static_cast<int>(i)) << "step " << nStep;
                    ASSERT_EQ(text.LineFromChar(static_cast<int>(i)), nLine);
                    ++nLine;
                }
            }
            ASSERT_EQ(text.GetLineCount(), nLine);
            // the widest line may count up to one tab stop more for a first line that lost its
            // start
            const int64_t nWidest = WidestMeasured(text);
            EXPECT_GE(text.GetMaxColumns(), nWidest);
            EXPECT_LE(text.GetMaxColumns(), nWidest + 8);
        }
    }
}

TEST(OutputText, RemovingTheCrOfAPairJoinsTheLines) {
    COutputText text;
    Append(text, u"ab\r\ncd");
    text.EraseFront(3);  // "\ncd": the LF alone no longer ends a line
    EXPECT_EQ(text.GetLineCount(), 1);
    EXPECT_EQ(text.LineLength(0), 3);
}

TEST(OutputText, ChangesInsideTheTextRebuildTheLines) {
    COutputText text;
    Append(text, u"one\r\ntwo\r\nthree");
    text.Replace(3, 5, u" and ", 5);  // the first line end replaced
    EXPECT_EQ(Text(text), u"one and two\r\nthree");
    EXPECT_EQ(text.GetLineCount(), 2);
    EXPECT_EQ(text.LineIndex(1), 13);
    text.Replace(0, 0, u"x\r\n", 3);
    EXPECT_EQ(text.GetLineCount(), 3);
    EXPECT_EQ(text.LineLength(0), 1);
}

TEST(OutputText, ColumnsFollowTabsAndWideCharacters) {
    EXPECT_EQ(COutputText::AdvanceColumns(u"ab\tc", 4, 0), 9);
    EXPECT_EQ(COutputText::AdvanceColumns(u"\t", 1, 7), 8);
    EXPECT_EQ(COutputText::AdvanceColumns(u"\u4e2d\u6587", 2, 0), 4);
    EXPECT_EQ(COutputText::AdvanceColumns(u"\r\n\a", 3, 0), 0);
    EXPECT_EQ(COutputText::AdvanceColumns(u"\U0001F600x", 3, 0), 3);  // a pair, two columns
    COutputText text;
    Append(text, u"abc\r\n\tx\r\nlonger line");
    EXPECT_EQ(text.GetMaxColumns(), 11);
    EXPECT_EQ(text.GetLastLineColumns(), 11);
}

TEST(OutputText, ColumnsOfRandomTextAgreeWithAUnitByUnitCount) {
    // Long runs of plain ASCII (the block-wise scan) broken by tabs, control characters, wide
    // characters and pairs at every offset, lone CRs and LFs and CR LF pairs, appended in random
    // pieces that split line ends: each line's columns, the last line's and the widest
    // agree with a count made one code point at a time.
    std::mt19937 random(11);
    const std::u16string kOthers[] = {u"\t", u"\a",   u"\u4e00", u"\U0001F600", u"\r",
                                      u"\n", u"\r\n", u"\u00e9", u"\x7f"};
    for (int nRound = 0; nRound < 300; ++nRound) {
        std::u16string all;
        while (all.size() < 3000) {
            if (random() % 3 != 0) {
                all.append(random() % 40, static_cast<char16_t>(u'!' + random() % 90));
            } else {
                all += kOthers[random() % std::size(kOthers)];
            }
        }
        COutputText text;
        for (size_t nPos = 0; nPos < all.size();) {
            size_t n = std::min<size_t>(1 + random() % 70, all.size() - nPos);
            if (all[nPos + n - 1] >= 0xD800 && all[nPos + n - 1] < 0xDC00) {
                ++n;  // the reader never splits a pair: it decodes whole code points
            }
            text.Append(all.data() + nPos, static_cast<int>(n));
            nPos += n;
        }
        // the count: lines end after CR LF; a tab goes to the next multiple of 8
        int64_t nCol = 0;
        int64_t nWidest = 0;
        int nLine = 0;
        for (size_t i = 0; i < all.size(); ++i) {
            const char16_t c = all[i];
            if (c == u'\n' && i > 0 && all[i - 1] == u'\r') {
                nWidest = std::max(nWidest, nCol);
                nCol = 0;
                ++nLine;
                ASSERT_EQ(text.LineIndex(nLine), static_cast<int>(i + 1)) << "round " << nRound;
            } else if (c == u'\t') {
                nCol += 8 - nCol % 8;
            } else if (c >= 0xD800 && c < 0xDC00 && i + 1 < all.size()) {
                nCol += COutputText::CharColumns(0x10000 + ((char32_t(c) - 0xD800) << 10) +
                                                 (all[i + 1] - 0xDC00));
                ++i;
            } else {
                nCol += COutputText::CharColumns(c);
            }
        }
        ASSERT_EQ(text.GetLineCount(), nLine + 1) << "round " << nRound;
        EXPECT_EQ(text.GetLastLineColumns(), nCol) << "round " << nRound;
        EXPECT_EQ(text.GetMaxColumns(), std::max(nWidest, nCol)) << "round " << nRound;
        EXPECT_EQ(WidestMeasured(text), std::max(nWidest, nCol)) << "round " << nRound;
    }
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

TEST(OutputPane, SelectionFollowsEditControlRules) {
    COutputPane pane;
    pane.ReplaceSel(u"hello\r\nworld");
    int s = -2;
    int e = -2;
    pane.GetSel(&s, &e);
    EXPECT_EQ(s, 12);
    EXPECT_EQ(e, 12);
    pane.SetSel(7, -1);
    pane.GetSel(&s, &e);
    EXPECT_EQ(s, 7);
    EXPECT_EQ(e, 12);
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("world"));
    pane.SetSel(4, 1);  // reversed: the same range
    pane.GetSel(&s, &e);
    EXPECT_EQ(s, 1);
    EXPECT_EQ(e, 4);
    EXPECT_EQ(pane.LineFromChar(-1), 0);
    pane.SetSel(-1, 0);  // drops the selection, the caret stays at the larger end
    pane.GetSel(&s, &e);
    EXPECT_EQ(s, 4);
    EXPECT_EQ(e, 4);
    pane.SetSel(100, 200);
    pane.GetSel(&s, &e);
    EXPECT_EQ(s, 12);
    EXPECT_EQ(e, 12);
    EXPECT_EQ(pane.LineFromChar(-1), 1);
    EXPECT_EQ(pane.LineIndex(-1), 7);
    EXPECT_EQ(pane.LineIndex(1), 7);
    EXPECT_EQ(pane.LineIndex(2), -1);
    // replacing a selection in the middle
    pane.SetSel(0, 5);
    pane.ReplaceSel(u"bye");
    EXPECT_EQ(Text(pane), u"bye\r\nworld");
    pane.GetSel(&s, &e);
    EXPECT_EQ(s, 3);
    EXPECT_EQ(e, 3);
    EXPECT_EQ(pane.LineIndex(1), 5);
}

TEST(OutputPane, FullPaneKeepsTheNewestText) {
    COutputPane pane;
    pane.SetLimitText(1000);
    EXPECT_EQ(pane.GetLimitText(), 1000u);
    std::u16string all;
    for (int i = 0; i < 400; ++i) {
        // the pipe's own insertion: 255 characters go when the pane is near its limit
        std::u16string chunk = u"y\ny\ny\ny\ny\ny\ny\ny\ny\n" + std::u16string(1, u'0' + i % 10);
        TextPaneAppend(pane, chunk.c_str());
        for (char16_t c : chunk) {
            if (c == u'\n') {
                all += u'\r';
            }
            all += c;
        }
        ASSERT_LE(pane.GetTextLength(), 1000);
        // whatever was dropped, it was the oldest text: the pane holds the end of everything
        const std::u16string held = Text(pane);
        ASSERT_EQ(held, all.substr(all.size() - held.size())) << "chunk " << i;
    }
    EXPECT_GT(pane.GetTextLength(), 700);
    // one insertion larger than the whole limit keeps its end
    std::u16string big(1500, u'x');
    big += u"END";
    pane.SetSel(0, -1);
    pane.ReplaceSel(big.c_str());
    EXPECT_EQ(pane.GetTextLength(), 1000);
    EXPECT_EQ(Text(pane).substr(997), u"END");
    // SetLimitText(0) restores the default
    pane.SetLimitText(0);
    EXPECT_EQ(pane.GetLimitText(), static_cast<unsigned>(COutputPane::kDefaultLimit));
}

TEST_F(ShownPane, ScrollCaretFollowsTheEnd) {
    for (int i = 0; i < 500; ++i) {
        TextPaneAppend(pane, u"some output line\n");
    }
    pane.FlushLayout();
    const int nLast = pane.Text().GetLineCount() - 1;
    EXPECT_GT(pane.FirstVisibleLine(), 0);
    EXPECT_LE(pane.FirstVisibleLine(), nLast);
    EXPECT_GE(pane.FirstVisibleLine() + pane.VisibleLineCount(), nLast + 1);
    EXPECT_EQ(pane.verticalScrollBar()->value(), pane.FirstVisibleLine());
    EXPECT_EQ(pane.verticalScrollBar()->maximum(), pane.FirstVisibleLine());
    // a long line gives the horizontal scroll bar a range, and the caret at its end scrolls there
    TextPaneAppend(pane, std::u16string(300, u'w').c_str());
    pane.FlushLayout();
    EXPECT_GT(pane.horizontalScrollBar()->maximum(), 0);
    EXPECT_GT(pane.horizontalScrollBar()->value(), 0);
    // Clear returns to the top left
    pane.SetText(u"", 0);
    pane.FlushLayout();
    EXPECT_EQ(pane.FirstVisibleLine(), 0);
    EXPECT_EQ(pane.horizontalScrollBar()->value(), 0);
}

TEST_F(ShownPane, MouseSelectionCopyAndSelectAll) {
    pane.ReplaceSel(u"first line\r\nsecond line\r\n");
    pane.FlushLayout();
    QWidget* pView = pane.viewport();
    const QFontMetrics fm(pane.font());
    const int y = fm.lineSpacing() / 2;
    // drag over "first" in the first line
    const QPoint from(2, y);
    const QPoint to(2 + 5 * fm.horizontalAdvance(QLatin1Char('M')), y);
    EXPECT_EQ(pane.CharFromPoint(from), 0);
    EXPECT_EQ(pane.CharFromPoint(to), 5);
    QTest::mousePress(pView, Qt::LeftButton, Qt::NoModifier, from);
    QTest::mouseMove(pView, to);
    QTest::mouseRelease(pView, Qt::LeftButton, Qt::NoModifier, to);
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("first"));
    EXPECT_TRUE(pane.hasFocus());
    QApplication::clipboard()->clear();
    QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("first"));
    // a point below the last line selects to the end of the text
    EXPECT_EQ(pane.CharFromPoint(QPoint(2, 50 * fm.lineSpacing())), pane.GetTextLength());
    QTest::keyClick(&pane, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(pane.GetSelectedText(), pane.GetText());
    // typing changes nothing: the pane is read-only
    QTest::keyClicks(&pane, "xyz");
    QTest::keyClick(&pane, Qt::Key_Backspace);
    EXPECT_EQ(pane.GetText(), QStringLiteral("first line\r\nsecond line\r\n"));
    // shift and arrows extend the selection from the caret
    pane.SetSel(0, 0);
    QTest::keyClick(&pane, Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("first line"));
    QTest::keyClick(&pane, Qt::Key_Right, Qt::ShiftModifier);  // over the whole line end
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("first line\r\n"));
}

TEST(OutputPane, PaintsTheVisibleTextInAFixedFont) {
    COutputPane pane;
    // "Courier New" when installed, else the system's fixed font; 10 points; every column alike
    const QString strFamily = QFontDatabase::families().contains(QStringLiteral("Courier New"))
                                  ? QStringLiteral("Courier New")
                                  : QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    EXPECT_EQ(pane.font().family(), strFamily);
    EXPECT_EQ(pane.font().pointSize(), 10);
    const QFontMetrics fm(pane.font());
    EXPECT_EQ(fm.horizontalAdvance(QLatin1Char('i')), fm.horizontalAdvance(QLatin1Char('M')));
    EXPECT_EQ(pane.focusPolicy(), Qt::StrongFocus);
    pane.resize(300, 120);
    pane.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    const QImage blank = pane.viewport()->grab().toImage();
    pane.ReplaceSel(u"MMMM\tWW \u4e2d\U0001F600 \r\nline two\r\n");
    pane.FlushLayout();
    const QImage text = pane.viewport()->grab().toImage();
    EXPECT_NE(blank, text);
    // a selection changes the pixels again
    pane.SetSel(0, 4);
    const QImage selected = pane.viewport()->grab().toImage();
    EXPECT_NE(text, selected);
}

TEST(OutputPaneHost, CallsRunOnTheUiThreadInOrderWithPosts) {
    COutputPane pane;
    std::shared_ptr<ITextPaneHost> pHost = pane.Host();
    std::vector<quintptr> done;
    QObject::connect(&pane, &COutputPane::PipeDone, [&](quintptr n) { done.push_back(n); });
    bool bOnUiThread = false;
    bool bCalled = false;
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
    ASSERT_TRUE(WaitFor([&] { return bCalled; }));
    reader.join();
    EXPECT_TRUE(bOnUiThread);
    EXPECT_TRUE(bSawDone);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0], 42u);
    EXPECT_EQ(Text(pane), u"from the reader\r\n");
    // on the UI thread itself the call runs at once
    int n = 0;
    EXPECT_TRUE(pHost->Invoke([&](ITextPane&) { ++n; }));
    EXPECT_EQ(n, 1);
    EXPECT_TRUE(pHost->IsPaneAlive());
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
    const auto Last = [](int i) {
        const std::string s = "last of round " + std::to_string(i) + "\r\n";
        return std::u16string(s.begin(), s.end());
    };
    int nDone = 0;
    std::vector<int> missing;
    QObject::connect(&pane, &COutputPane::PipeDone, [&](quintptr n) {
        const std::u16string expected = Last(static_cast<int>(n));
        const COutputText& text = pane.Text();
        const int nLen = text.GetLength();
        const int nTail = static_cast<int>(expected.size());
        if (nLen < nTail || std::u16string(text.Data(nLen - nTail), nTail) != expected) {
            missing.push_back(static_cast<int>(n));
        }
        ++nDone;
    });
    std::atomic<int> nHandled{0};
    std::thread reader([&] {
        for (int i = 0; i < kRounds; ++i) {
            CTextPaneOutput chunk;
            chunk.pText = fill.c_str();
            chunk.nText = static_cast<int>(fill.size());
            for (int j = 0; j < 400; ++j) {  // more than the stage takes before it holds back
                pHost->AppendOutput(chunk);
            }
            const std::u16string last = Last(i);
            chunk.pText = last.c_str();
            chunk.nText = static_cast<int>(last.size());
            pHost->AppendOutput(chunk);
            pHost->PostPipeDone(static_cast<uintptr_t>(i));
            while (nHandled.load() <= i) {  // one round at a time
                std::this_thread::yield();
            }
        }
    });
    const bool bAll = WaitFor([&] {
        nHandled = nDone;
        return nDone == kRounds;
    });
    reader.join();
    ASSERT_TRUE(bAll);
    EXPECT_EQ(missing, std::vector<int>());
}

TEST(OutputPaneHost, PaneGoneReleasesWaitersAndFailsFast) {
    auto* pPane = new COutputPane;
    std::shared_ptr<ITextPaneHost> pHost = pPane->Host();
    std::atomic<int> nResult{-1};
    std::atomic<bool> bRan{false};
    // the UI thread does not run events until the pane is gone, so the call must be released
    std::thread reader([&] { nResult = pHost->Invoke([&](ITextPane&) { bRan = true; }) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // posted, not carried out
    delete pPane;
    reader.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(nResult, 0);
    EXPECT_FALSE(bRan);
    EXPECT_FALSE(pHost->IsPaneAlive());
    EXPECT_FALSE(pHost->PostPipeDone(1));
    EXPECT_FALSE(pHost->Invoke([&](ITextPane&) { bRan = true; }));
    EXPECT_FALSE(bRan);
}

namespace {

std::u16string Number(int i) {
    const std::string s = std::to_string(i);
    return std::u16string(s.begin(), s.end());
}

// Columns of the widest line of the live text, measured as the pane draws it (each line from
// column 0).
int64_t WidestMeasured(const COutputText& text) {
    int64_t nMax = 0;
    for (int i = 0; i < text.GetLineCount(); ++i) {
        nMax = std::max(
            nMax, COutputText::AdvanceColumns(text.Data(text.LineIndex(i)), text.LineLength(i), 0));
    }
    return nMax;
}

// Types a user's own selection of columns [nFrom, nTo) of line nLine with the keyboard.
void SelectByKeys(COutputPane& pane, int nLine, int nFrom, int nTo) {
    pane.setFocus();
    QTest::keyClick(&pane, Qt::Key_Home, Qt::ControlModifier);
    for (int i = 0; i < nLine; ++i) {
        QTest::keyClick(&pane, Qt::Key_Down);
    }
    for (int i = 0; i < nFrom; ++i) {
        QTest::keyClick(&pane, Qt::Key_Right);
    }
    for (int i = nFrom; i < nTo; ++i) {
        QTest::keyClick(&pane, Qt::Key_Right, Qt::ShiftModifier);
    }
}

}  // namespace

TEST(OutputText, TheWidestLineCountsOnlyTheTextStillHeld) {
    COutputText text;
    Append(text, std::u16string(100, u'x') + u"\r\n" + std::u16string(50, u'y') + u"\r\nz");
    EXPECT_EQ(text.GetMaxColumns(), 100);
    text.EraseFront(32);  // the widest line lost 32 columns
    EXPECT_EQ(text.GetMaxColumns(), 68);
    text.EraseFront(70);  // and then itself
    EXPECT_EQ(text.GetMaxColumns(), 50);
    // against the measured width, under random appends (tabs, wide characters, line ends split
    // between appends) and random removals at the front: never less, at most a tab stop more
    std::mt19937 rng(11);
    const std::u16string pieces[] = {u"abc", u"\t",   u"\u4e2d",    u"\r",
                                     u"\n",  u"\r\n", u"0123456789"};
    for (int i = 0; i < 3000; ++i) {
        Append(text, pieces[rng() % 7]);
        if (rng() % 5 == 0) {
            text.EraseFront(static_cast<int>(rng() % 12));
        }
        const int64_t nMeasured = WidestMeasured(text);
        ASSERT_GE(text.GetMaxColumns(), nMeasured) << "step " << i;
        ASSERT_LE(text.GetMaxColumns(), nMeasured + 8) << "step " << i;
    }
    text.Clear();
    EXPECT_EQ(text.GetMaxColumns(), 0);
}

TEST_F(ShownPane, AViewScrolledUpStaysWhileOutputArrivesAndFollowsAgainAtTheEnd) {
    auto line = [](int i) { return u"line " + Number(i) + u"\n"; };
    int n = 0;
    for (; n < 300; ++n) {
        TextPaneAppend(pane, line(n).c_str());
    }
    pane.FlushLayout();
    EXPECT_TRUE(pane.IsFollowing());
    // the user scrolls up: new output leaves the view where it is
    pane.verticalScrollBar()->setValue(40);
    EXPECT_FALSE(pane.IsFollowing());
    for (; n < 600; ++n) {
        TextPaneAppend(pane, line(n).c_str());
    }
    pane.FlushLayout();
    EXPECT_EQ(pane.FirstVisibleLine(), 40);
    EXPECT_EQ(pane.verticalScrollBar()->value(), 40);
    EXPECT_EQ(pane.verticalScrollBar()->maximum(), 601 - pane.VisibleLineCount());
    // the pipe's insertion point is still the end
    int s = 0;
    pane.GetSel(&s, nullptr);
    EXPECT_EQ(s, pane.GetTextLength());
    // back at the end (the scroll bar's maximum), output is followed again
    pane.verticalScrollBar()->setValue(pane.verticalScrollBar()->maximum());
    EXPECT_TRUE(pane.IsFollowing());
    for (; n < 700; ++n) {
        TextPaneAppend(pane, line(n).c_str());
    }
    pane.FlushLayout();
    EXPECT_EQ(pane.FirstVisibleLine(), 701 - pane.VisibleLineCount());
    // away with the wheel, back with Ctrl+End
    QTest::keyClick(&pane, Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(pane.FirstVisibleLine(), 0);
    EXPECT_FALSE(pane.IsFollowing());
    TextPaneAppend(pane, u"more\n");
    pane.FlushLayout();
    EXPECT_EQ(pane.FirstVisibleLine(), 0);
    QTest::keyClick(&pane, Qt::Key_End, Qt::ControlModifier);
    EXPECT_TRUE(pane.IsFollowing());
    TextPaneAppend(pane, u"and more\n");
    pane.FlushLayout();
    EXPECT_EQ(pane.FirstVisibleLine(), pane.Text().GetLineCount() - pane.VisibleLineCount());
}

TEST_F(ShownPane, AScrolledViewKeepsItsLinesWhileOldTextIsDropped) {
    pane.SetLimitText(4000);
    for (int i = 0; i < 300; ++i) {
        TextPaneAppend(pane, (u"row " + Number(i) + u" of the output\n").c_str());
    }
    pane.FlushLayout();
    pane.verticalScrollBar()->setValue(pane.verticalScrollBar()->maximum() - 20);
    const int nTop = pane.FirstVisibleLine();
    const std::u16string shown(pane.Text().Data(pane.Text().LineIndex(nTop)),
                               static_cast<size_t>(pane.Text().LineLength(nTop)));
    // a few more lines: the pane drops old ones at the front, the view keeps showing its line
    for (int i = 0; i < 10; ++i) {
        TextPaneAppend(pane, u"new row\n");
    }
    pane.FlushLayout();
    ASSERT_LT(pane.FirstVisibleLine(), nTop);
    const int nNewTop = pane.FirstVisibleLine();
    EXPECT_EQ(std::u16string(pane.Text().Data(pane.Text().LineIndex(nNewTop)),
                             static_cast<size_t>(pane.Text().LineLength(nNewTop))),
              shown);
    EXPECT_FALSE(pane.IsFollowing());
}

TEST_F(ShownPane, TheUsersSelectionSurvivesInsertionsAndShiftsWithDroppedText) {
    pane.SetLimitText(2000);
    const std::u16string filler = std::u16string(298, u'-') + u"\n";  // 300 with its CR
    TextPaneAppend(pane, filler.c_str());
    TextPaneAppend(pane, u"keep me selected\nsecond line\n");
    SelectByKeys(pane, 1, 5, 16);
    ASSERT_EQ(pane.GetSelectedText(), QStringLiteral("me selected"));
    // streamed output through the host, as the pipe inserts it
    std::shared_ptr<ITextPaneHost> pHost = pane.Host();
    bool bDone = false;
    std::thread reader([&] {
        for (int i = 0; i < 20; ++i) {
            pHost->Invoke([](ITextPane& p) { TextPaneAppend(p, u"output\n"); });
        }
        bDone = true;
    });
    EXPECT_TRUE(WaitFor([&] { return bDone; }));
    reader.join();
    pane.FlushLayout();
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("me selected"));
    int s = 0;
    int e = 0;
    pane.GetVisibleSel(&s, &e);
    EXPECT_EQ(s, 305);
    EXPECT_EQ(e, 316);
    // Ctrl+C copies it
    QApplication::clipboard()->clear();
    QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("me selected"));
    // the insertion point the pipe sees is the end, and shift+arrow extends the user's selection
    pane.GetSel(&s, &e);
    EXPECT_EQ(s, pane.GetTextLength());
    EXPECT_EQ(e, pane.GetTextLength());
    QTest::keyClick(&pane, Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("me selected\r\n"));
    // near the limit the oldest text goes, 255 characters before an insertion and whatever an
    // insertion takes beyond the limit: the selection moves with its text
    pane.SetSel(pane.GetTextLength(), -1);
    pane.ReplaceSel(std::u16string(1550, u'.').c_str());  // 41 beyond the limit
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("me selected\r\n"));
    TextPaneAppend(pane, std::u16string(100, u':').c_str());  // 255 go first
    const int nNow = static_cast<int>(PaneText(pane).find(u"me selected"));
    ASSERT_EQ(nNow, 305 - 41 - 255);
    pane.GetVisibleSel(&s, &e);
    EXPECT_EQ(s, nNow);
    EXPECT_EQ(e, nNow + 13);
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("me selected\r\n"));
    // an edit inside the text is not an insertion: its selection is the user's
    pane.SetSel(0, 2);
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("--"));
    pane.ReplaceSel(u"xy");
    pane.GetVisibleSel(&s, &e);
    EXPECT_EQ(s, 2);
    EXPECT_EQ(e, 2);
}

TEST_F(ShownPane, AfterALongLineTheEndLineIsShownFromColumnZero) {
    for (int i = 0; i < 100; ++i) {
        TextPaneAppend(pane, u"short\n");
    }
    TextPaneAppend(pane, std::u16string(500, u'w').c_str());
    pane.FlushLayout();
    EXPECT_GT(pane.FirstVisibleColumn(), 0);
    TextPaneAppend(pane, u"\n--- End of Log ---\n\n");
    pane.FlushLayout();
    const int nEndLine = pane.Text().GetLineCount() - 3;
    EXPECT_EQ(pane.Text().LineLength(nEndLine), 18);
    EXPECT_GE(nEndLine, pane.FirstVisibleLine());
    EXPECT_LT(nEndLine, pane.FirstVisibleLine() + pane.VisibleLineCount());
    EXPECT_EQ(pane.FirstVisibleColumn(), 0);
    EXPECT_EQ(pane.horizontalScrollBar()->value(), 0);
}

TEST_F(ShownPane, ALineOfFortyMillionTabsKeepsItsScrollRange) {
    // 40 M tabs are 320 M columns, some 2.5 G pixels: more than an int holds
    constexpr int kTabs = 40 * 1000 * 1000;
    pane.SetLimitText(kTabs + 1000);
    TextPaneAppend(pane, u"start\n");
    {
        std::u16string tabs(kTabs, u'\t');
        TextPaneAppend(pane, tabs.c_str());
    }
    pane.FlushLayout();
    const int64_t nCols = int64_t{kTabs} * 8;
    EXPECT_EQ(pane.Text().GetMaxColumns(), nCols);
    // the caret at the end of the line was scrolled into view: the scroll bar counts columns and
    // stands near its end
    QScrollBar* pH = pane.horizontalScrollBar();
    EXPECT_GT(pH->maximum(), nCols - 1000);
    EXPECT_LE(pH->maximum(), nCols);
    EXPECT_GT(pH->value(), nCols - 1000);
    EXPECT_EQ(pane.FirstVisibleColumn(), pH->value());
    // painting there, and a point of the view, find the tabs near the end
    EXPECT_FALSE(pane.viewport()->grab().isNull());
    EXPECT_GT(
        pane.CharFromPoint(QPoint(pane.viewport()->width() / 2, pane.viewport()->height() - 5)),
        kTabs - 1000);
    // selecting the whole line and scrolling back to its start
    pane.SetSel(6, -1);
    pane.viewport()->grab();
    pane.SetSel(6, 6);
    pane.FlushLayout();
    EXPECT_EQ(pH->value(), 0);
}
