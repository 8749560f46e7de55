// The output pane: its text buffer, the edit-control operations the pipe uses, the limit, the
// cross-thread host, and the widget's scrolling, selection and copy.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QImage>
#include <QScrollBar>
#include <QTest>
#include <atomic>
#include <chrono>
#include <random>
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

std::pair<int, int> Sel(const ITextPane& pane) {
    std::pair<int, int> sel{-2, -2};
    pane.GetSel(&sel.first, &sel.second);
    return sel;
}

}  // namespace

TEST(OutputText, ColumnsReplaceAndAGrowthThatNeverMovesTheText) {
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
    // changes inside the text rebuild the lines; a line past the last is the last one
    text.Clear();
    Append(text, u"one\r\ntwo\r\nthree");
    text.Replace(3, 5, u" and ", 5);
    EXPECT_EQ(Text(text), u"one and two\r\nthree");
    EXPECT_EQ(text.GetLineCount(), 2);
    EXPECT_EQ(text.LineIndex(99), 13);
    text.Replace(0, 0, u"x\r\n", 3);
    EXPECT_EQ(text.GetLineCount(), 3);
    EXPECT_EQ(text.LineLength(0), 1);

    // With the bound known, the buffer is reserved at the first append: appends up to the bound
    // and front removals find the text where it was (a move copies megabytes on the UI thread).
    constexpr int kMax = 3 * 1024 * 1024;
    text.Clear();
    text.SetExpectedMax(kMax);
    const std::u16string line = u"0123456789abcdef\r\n";  // 18 characters
    Append(text, line);
    const char16_t* pFirst = text.Data();
    while (text.GetLength() + 18 <= kMax) {
        Append(text, line);
    }
    EXPECT_EQ(text.Data(), pFirst);
    const int nLines = text.GetLineCount();
    for (int i = 0; i < 1000; ++i) {
        text.EraseFront(18);
        Append(text, line);
    }
    EXPECT_EQ(text.Data(), pFirst + 1000 * 18);
    EXPECT_EQ(text.GetLineCount(), nLines);
    EXPECT_EQ(text.LineIndex(nLines - 2), text.GetLength() - 18);
}

TEST(OutputText, TextFlowingThroughManyTimesOverMatchesAModel) {
    // Random pieces (long runs of plain ASCII for the block-wise scan, tabs, control and wide
    // characters, pairs, lone CRs and LFs, CR LF pairs) appended in random lengths that split
    // line ends but never a pair, some 20 times the bound through it, as a flood goes through a
    // full pane. After every step the length agrees with a plain string; now and then the text,
    // its lines, the last line's columns counted one code point at a time and the widest line
    // (up to a tab stop more for a first line that lost its start) do too. The same without the
    // bound known: the text grows, and what goes at the front is given up.
    constexpr int kMax = 64 * 1024;
    const std::u16string kOthers[] = {u"\t", u"\a",   u"\u4e00", u"\U0001F600", u"\r",
                                      u"\n", u"\r\n", u"\u00e9", u"\x7f"};
    for (const bool bBounded : {true, false}) {
        SCOPED_TRACE(bBounded ? "bounded" : "unbounded");
        COutputText text;
        if (bBounded) {
            text.SetExpectedMax(kMax);
        }
        std::u16string model;
        std::mt19937 random(7);
        for (int nStep = 0; nStep < 6000; ++nStep) {
            std::u16string chunk;
            while (chunk.size() < random() % 400) {
                if (random() % 3 != 0) {
                    chunk.append(random() % 40, static_cast<char16_t>(u'!' + random() % 90));
                } else {
                    chunk += kOthers[random() % std::size(kOthers)];
                }
            }
            Append(text, chunk);
            model += chunk;
            int nOver = static_cast<int>(model.size()) - kMax;
            if (nOver > 0 && model[static_cast<size_t>(nOver)] >= 0xDC00 &&
                model[static_cast<size_t>(nOver)] < 0xE000) {
                ++nOver;  // the pane never cuts a pair either
            }
            if (nOver > 0) {
                text.EraseFront(nOver);
                model.erase(0, static_cast<size_t>(nOver));
            }
            ASSERT_EQ(text.GetLength(), static_cast<int>(model.size()));
            if (nStep % 250 != 249) {
                continue;
            }
            ASSERT_EQ(Text(text), model) << "step " << nStep;
            int64_t nCol = 0;
            int64_t nWidest = 0;
            int nLine = 0;
            for (size_t i = 0; i < model.size(); ++i) {
                const char16_t c = model[i];
                if (c == u'\n' && i > 0 && model[i - 1] == u'\r') {
                    nWidest = std::max(nWidest, nCol);
                    nCol = 0;
                    ++nLine;
                    ASSERT_EQ(text.LineIndex(nLine), static_cast<int>(i + 1)) << "step " << nStep;
                    ASSERT_EQ(text.LineFromChar(static_cast<int>(i + 1)), nLine);
                } else if (c == u'\t') {
                    nCol += 8 - nCol % 8;
                } else if (c >= 0xD800 && c < 0xDC00 && i + 1 < model.size()) {
                    nCol += COutputText::CharColumns(0x10000 + ((char32_t(c) - 0xD800) << 10) +
                                                     (model[++i] - 0xDC00));
                } else {
                    nCol += COutputText::CharColumns(c);
                }
            }
            ASSERT_EQ(text.GetLineCount(), nLine + 1) << "step " << nStep;
            EXPECT_EQ(text.GetLastLineColumns(), nCol) << "step " << nStep;
            nWidest = std::max(nWidest, nCol);
            EXPECT_EQ(WidestMeasured(text), nWidest) << "step " << nStep;
            EXPECT_GE(text.GetMaxColumns(), nWidest);
            EXPECT_LE(text.GetMaxColumns(), nWidest + 8);
        }
    }
}

TEST(OutputPane, SelectionAndLimitFollowEditControlRules) {
    COutputPane pane;
    pane.ReplaceSel(u"hello\r\nworld");
    EXPECT_EQ(Sel(pane), std::pair(12, 12));
    pane.SetSel(7, -1);
    EXPECT_EQ(Sel(pane), std::pair(7, 12));
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("world"));
    pane.SetSel(4, 1);  // reversed: the same range
    EXPECT_EQ(Sel(pane), std::pair(1, 4));
    EXPECT_EQ(pane.LineFromChar(-1), 0);
    pane.SetSel(-1, 0);  // drops the selection, the caret stays at the larger end
    EXPECT_EQ(Sel(pane), std::pair(4, 4));
    pane.SetSel(100, 200);
    EXPECT_EQ(Sel(pane), std::pair(12, 12));
    EXPECT_EQ(pane.LineFromChar(-1), 1);
    EXPECT_EQ(pane.LineIndex(-1), 7);
    EXPECT_EQ(pane.LineIndex(2), -1);
    pane.SetSel(0, 5);
    pane.ReplaceSel(u"bye");
    EXPECT_EQ(PaneText(pane), u"bye\r\nworld");
    EXPECT_EQ(Sel(pane), std::pair(3, 3));
    EXPECT_EQ(pane.LineIndex(1), 5);

    // A full pane keeps the newest text: whatever the pipe's insertion drops is the oldest.
    pane.SetLimitText(1000);
    pane.SetText(u"");
    std::u16string all;
    for (int i = 0; i < 400; ++i) {
        const std::u16string chunk = u"y\ny\ny\ny\ny\ny\ny\ny\ny\n" +
                                     std::u16string(1, static_cast<char16_t>(u'0' + i % 10));
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
    pane.SetLimitText(0);  // the default again
    EXPECT_EQ(pane.GetLimitText(), static_cast<unsigned>(COutputPane::kDefaultLimit));
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
    // on the UI thread itself the call runs at once
    int n = 0;
    EXPECT_TRUE(pHost->Invoke([&](ITextPane&) { ++n; }));
    EXPECT_EQ(n, 1);

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
    EXPECT_FALSE(pHost->Invoke([&](ITextPane&) { bRan = true; }));
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
    int nDone = 0;
    std::vector<int> missing;
    QObject::connect(&pane, &COutputPane::PipeDone, [&](quintptr n) {
        const std::u16string expected = Last(static_cast<int>(n));
        const std::u16string text = PaneText(pane);
        if (!text.ends_with(expected)) {
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

// A pane shown at 400 x 200 pixels.
class ShownPane : public ::testing::Test {
protected:
    void SetUp() override {
        pane.resize(400, 200);
        pane.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    }
    void AppendLines(int nFrom, int nTo, const char16_t* pszText = u"line ") {
        for (int i = nFrom; i < nTo; ++i) {
            TextPaneAppend(pane, (pszText + Number(i) + u"\n").c_str());
        }
        pane.FlushLayout();
    }
    std::u16string Line(int n) {
        return std::u16string(pane.Text().Data(pane.Text().LineIndex(n)),
                              static_cast<size_t>(pane.Text().LineLength(n)));
    }
    COutputPane pane;
};

TEST_F(ShownPane, TheViewFollowsTheEndUnlessScrolledAwayAndShowsTheEndLineFromColumnZero) {
    AppendLines(0, 300);
    EXPECT_TRUE(pane.IsFollowing());
    EXPECT_EQ(pane.FirstVisibleLine(), 301 - pane.VisibleLineCount());
    EXPECT_EQ(pane.verticalScrollBar()->value(), pane.FirstVisibleLine());
    // the user scrolls up: new output leaves the view where it is
    pane.verticalScrollBar()->setValue(40);
    EXPECT_FALSE(pane.IsFollowing());
    AppendLines(300, 600);
    EXPECT_EQ(pane.FirstVisibleLine(), 40);
    EXPECT_EQ(pane.verticalScrollBar()->maximum(), 601 - pane.VisibleLineCount());
    // the pipe's insertion point is still the end
    EXPECT_EQ(Sel(pane).first, pane.GetTextLength());
    // back at the end (the scroll bar's maximum), output is followed again
    pane.verticalScrollBar()->setValue(pane.verticalScrollBar()->maximum());
    EXPECT_TRUE(pane.IsFollowing());
    AppendLines(600, 700);
    EXPECT_EQ(pane.FirstVisibleLine(), 701 - pane.VisibleLineCount());
    // away with Ctrl+Home, back with Ctrl+End
    QTest::keyClick(&pane, Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(pane.FirstVisibleLine(), 0);
    EXPECT_FALSE(pane.IsFollowing());
    AppendLines(0, 1, u"more");
    EXPECT_EQ(pane.FirstVisibleLine(), 0);
    QTest::keyClick(&pane, Qt::Key_End, Qt::ControlModifier);
    EXPECT_TRUE(pane.IsFollowing());
    // a long line gives the horizontal scroll bar a range, and the caret at its end scrolls
    // there; the end line after it is shown from column 0 again
    TextPaneAppend(pane, std::u16string(500, u'w').c_str());
    pane.FlushLayout();
    EXPECT_GT(pane.FirstVisibleColumn(), 0);
    EXPECT_EQ(pane.horizontalScrollBar()->value(), pane.FirstVisibleColumn());
    TextPaneAppend(pane, u"\n--- End of Log ---\n\n");
    pane.FlushLayout();
    const int nEndLine = pane.Text().GetLineCount() - 3;
    EXPECT_EQ(Line(nEndLine), u"--- End of Log ---");
    EXPECT_GE(nEndLine, pane.FirstVisibleLine());
    EXPECT_LT(nEndLine, pane.FirstVisibleLine() + pane.VisibleLineCount());
    EXPECT_EQ(pane.horizontalScrollBar()->value(), 0);
    // Clear returns to the top left
    pane.SetText(u"", 0);
    pane.FlushLayout();
    EXPECT_EQ(pane.FirstVisibleLine(), 0);
    // a view scrolled up keeps showing its line while old text is dropped at the front
    pane.SetLimitText(4000);
    AppendLines(0, 300, u"row of the output ");
    pane.verticalScrollBar()->setValue(pane.verticalScrollBar()->maximum() - 20);
    const int nTop = pane.FirstVisibleLine();
    const std::u16string shown = Line(nTop);
    AppendLines(0, 10, u"new row ");
    ASSERT_LT(pane.FirstVisibleLine(), nTop);
    EXPECT_EQ(Line(pane.FirstVisibleLine()), shown);
    EXPECT_FALSE(pane.IsFollowing());
}

TEST_F(ShownPane, MouseAndKeysSelectAndCopyButNeverEdit) {
    pane.ReplaceSel(u"first line\r\nsecond line\r\n");
    pane.FlushLayout();
    const QImage text = pane.viewport()->grab().toImage();
    QWidget* pView = pane.viewport();
    const QFontMetrics fm(pane.font());  // a fixed font: every column alike
    const int y = fm.lineSpacing() / 2;
    // drag over "first" in the first line
    const QPoint from(2, y);
    const QPoint to(2 + 5 * fm.horizontalAdvance(QLatin1Char('M')), y);
    EXPECT_EQ(pane.CharFromPoint(to), 5);
    QTest::mousePress(pView, Qt::LeftButton, Qt::NoModifier, from);
    QTest::mouseMove(pView, to);
    QTest::mouseRelease(pView, Qt::LeftButton, Qt::NoModifier, to);
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("first"));
    EXPECT_NE(pane.viewport()->grab().toImage(), text);  // the selection is painted
    QApplication::clipboard()->clear();
    QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("first"));
    // a point below the last line is the end of the text
    EXPECT_EQ(pane.CharFromPoint(QPoint(2, 50 * fm.lineSpacing())), pane.GetTextLength());
    QTest::keyClick(&pane, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(pane.GetSelectedText(), pane.GetText());
    // typing changes nothing: the pane is read-only
    QTest::keyClicks(&pane, "xyz");
    QTest::keyClick(&pane, Qt::Key_Backspace);
    EXPECT_EQ(pane.GetText(), QStringLiteral("first line\r\nsecond line\r\n"));
    // shift and arrows extend the selection from the caret, over a whole line end at once
    pane.SetSel(0, 0);
    QTest::keyClick(&pane, Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("first line"));
    QTest::keyClick(&pane, Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("first line\r\n"));
}

TEST_F(ShownPane, TheUsersSelectionSurvivesInsertionsAndShiftsWithDroppedText) {
    pane.SetLimitText(2000);
    TextPaneAppend(pane, (std::u16string(298, u'-') + u"\n").c_str());  // 300 with its CR
    TextPaneAppend(pane, u"keep me selected\nsecond line\n");
    // the user's own selection, typed with the keyboard
    pane.setFocus();
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
    EXPECT_EQ(pane.GetSelectedText(), QStringLiteral("me selected"));
    int s = 0;
    int e = 0;
    pane.GetVisibleSel(&s, &e);
    EXPECT_EQ(std::pair(s, e), std::pair(305, 316));
    // the insertion point the pipe sees is the end, and shift+arrow extends the user's selection
    EXPECT_EQ(Sel(pane), std::pair(pane.GetTextLength(), pane.GetTextLength()));
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
    EXPECT_EQ(std::pair(s, e), std::pair(nNow, nNow + 13));
    // an edit inside the text is not an insertion: its selection is the user's
    pane.SetSel(0, 2);
    pane.ReplaceSel(u"xy");
    pane.GetVisibleSel(&s, &e);
    EXPECT_EQ(std::pair(s, e), std::pair(2, 2));
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
    // stands near its end
    QScrollBar* pH = pane.horizontalScrollBar();
    EXPECT_GT(pH->maximum(), nCols - 1000);
    EXPECT_LE(pH->maximum(), nCols);
    EXPECT_GT(pH->value(), nCols - 1000);
    EXPECT_EQ(pane.FirstVisibleColumn(), pH->value());
    // a point of the view finds the tabs near the end
    EXPECT_GT(
        pane.CharFromPoint(QPoint(pane.viewport()->width() / 2, pane.viewport()->height() - 5)),
        kTabs - 1000);
    // selected whole and painted, then scrolled back to its start
    pane.SetSel(6, -1);
    EXPECT_FALSE(pane.viewport()->grab().isNull());
    pane.SetSel(6, 6);
    pane.FlushLayout();
    EXPECT_EQ(pH->value(), 0);
}
