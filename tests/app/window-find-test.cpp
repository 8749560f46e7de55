// Find in the output pane: the search itself against a plain reference, the occurrences kept up
// to date while text arrives and leaves, a full pane, and the find bar in the real frame.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "find-bar.h"
#include "main-frame.h"
#include "text-search.h"
#include "window-test-util.h"

namespace {

// The plain reference: at every position, compare unit by unit; after a match go on behind it.
std::vector<int64_t> Reference(const std::u16string& text, const std::u16string& pattern,
                               bool bMatchCase, int64_t nBase = 0) {
    std::vector<int64_t> out;
    if (pattern.empty()) {
        return out;
    }
    auto same = [&](char16_t a, char16_t b) {
        return bMatchCase ? a == b : TextFoldCase(a) == TextFoldCase(b);
    };
    for (size_t i = 0; i + pattern.size() <= text.size();) {
        size_t k = 0;
        while (k < pattern.size() && same(text[i + k], pattern[k])) {
            ++k;
        }
        if (k == pattern.size()) {
            out.push_back(nBase + static_cast<int64_t>(i));
            i += pattern.size();
        } else {
            ++i;
        }
    }
    return out;
}

std::vector<int64_t> Find(const std::u16string& text, const std::u16string& pattern,
                          bool bMatchCase, int64_t nBase = 0) {
    std::vector<int64_t> out;
    CTextSearcher(pattern.data(), static_cast<int>(pattern.size()), bMatchCase)
        .FindAll(text.data(), static_cast<int64_t>(text.size()), nBase, out);
    return out;
}

std::vector<int64_t> Matches(const CTextMatches& m) {
    std::vector<int64_t> out;
    for (size_t i = 0; i < m.Count(); ++i) {
        out.push_back(m.At(i));
    }
    return out;
}

}  // namespace

TEST(TextSearch, FindsWhatThePlainComparisonFinds) {
    // An alphabet with case pairs, letters that fold from three or four units (k, K, the Kelvin
    // sign; sigma in three forms), a surrogate pair and line ends; lengths around the 16-unit
    // steps of the scan, so that occurrences sit across and at the end of every step.
    const std::u16string alphabet = u"aAbBkK\u212a\u03c3\u03a3\u03c2 \r\n\U0001F600";
    std::mt19937 rng(7);
    for (int nRound = 0; nRound < 400; ++nRound) {
        std::u16string text;
        const int nLen = nRound < 80 ? nRound : static_cast<int>(rng() % 3000);
        for (int i = 0; i < nLen; ++i) {
            text += alphabet[rng() % alphabet.size()];
        }
        for (int nPat = 0; nPat < 6; ++nPat) {
            std::u16string pattern;
            const int nPatLen = 1 + static_cast<int>(rng() % 3);
            // half of the patterns are taken from the text, so that they occur
            if (nPat % 2 == 0 && text.size() > 3) {
                pattern = text.substr(rng() % (text.size() - 3), static_cast<size_t>(nPatLen));
            } else {
                for (int i = 0; i < nPatLen; ++i) {
                    pattern += alphabet[rng() % alphabet.size()];
                }
            }
            for (bool bCase : {true, false}) {
                ASSERT_EQ(Find(text, pattern, bCase, 100), Reference(text, pattern, bCase, 100))
                    << "round " << nRound << " case " << bCase;
            }
        }
    }
    // case folding as a reader expects it (the reference uses the same folding)
    EXPECT_EQ(Find(u"Kelvin \u212a, k and K", u"k", false), (std::vector<int64_t>{0, 7, 10, 16}));
    EXPECT_EQ(Find(u"\u03a3\u03c3\u03c2", u"\u03c3", false), (std::vector<int64_t>{0, 1, 2}));
}

TEST(TextSearch, OccurrencesFollowAppendsRemovalsAndClears) {
    COutputText text;
    CTextMatches matches;
    matches.SetPattern(u"needle", 6, false);
    std::u16string all;  // everything appended since the last clear
    auto update = [&] {
        return matches.Update(text.Data(), text.GetLength(), text.GetDropped(),
                              text.GetGeneration());
    };
    auto expect = [&](const char* pszWhen) {
        const int64_t nDropped = text.GetDropped();
        EXPECT_EQ(Matches(matches),
                  Reference(all.substr(static_cast<size_t>(nDropped)), u"needle", false, nDropped))
            << pszWhen;
    };
    auto append = [&](const std::u16string& s) {
        text.Append(s.data(), static_cast<int>(s.size()));
        all += s;
    };
    EXPECT_FALSE(update());
    append(u"a NEEDLE and a nee");
    EXPECT_TRUE(update());
    expect("first");
    // an occurrence split between two appends, one right after it, and appends that add none
    append(u"dleNeedle x");
    EXPECT_TRUE(update());
    EXPECT_EQ(matches.Count(), 3u);
    append(u"y");
    EXPECT_FALSE(update());
    // removal at the front: an occurrence that lost its first character is gone
    text.EraseFront(3);
    EXPECT_TRUE(update());
    expect("front cut into the first");
    EXPECT_EQ(matches.Count(), 2u);
    std::mt19937 rng(3);
    for (int i = 0; i < 300; ++i) {
        append(rng() % 4 == 0 ? u"needle\r\n" : u"hay hay\r\n");
        if (i % 7 == 0) {
            text.EraseFront(static_cast<int>(rng() % 40));
        }
        update();
        ASSERT_NO_FATAL_FAILURE(expect("stream"));
    }
    // a clear makes positions start again
    text.Clear();
    all.clear();
    append(u"needle");
    EXPECT_TRUE(update());
    EXPECT_EQ(Matches(matches), (std::vector<int64_t>{0}));
    // a new pattern searches the whole text again
    matches.SetPattern(u"e", 1, true);
    update();
    EXPECT_EQ(Matches(matches), (std::vector<int64_t>{1, 2, 5}));
    EXPECT_EQ(matches.LowerBound(2), 1u);
    EXPECT_EQ(matches.LowerBound(6), 3u);
}

TEST(TextSearch, BlockedPositionsFollowAPlainModel) {
    // appends and front removals over many blocks, against a plain array of the same positions
    CMatchPositions positions;
    std::vector<int64_t> model;
    size_t nModelHead = 0;
    std::mt19937 rng(11);
    int64_t nNext = 0;
    auto check = [&] {
        ASSERT_EQ(positions.size(), model.size() - nModelHead);
        for (size_t i = 0; i < positions.size(); i += 1 + rng() % 1000) {
            ASSERT_EQ(positions[i], model[nModelHead + i]);
        }
        if (!positions.empty()) {
            ASSERT_EQ(positions.back(), model.back());
        }
        const int64_t nProbe = nNext > 0 ? static_cast<int64_t>(rng() % (nNext + 2)) : 0;
        const auto it = std::lower_bound(model.begin() + static_cast<ptrdiff_t>(nModelHead),
                                         model.end(), nProbe);
        ASSERT_EQ(positions.LowerBound(nProbe),
                  static_cast<size_t>(it - model.begin()) - nModelHead);
    };
    for (int nRound = 0; nRound < 200; ++nRound) {
        const size_t nAdd = rng() % (3 * CMatchPositions::kBlock);
        for (size_t i = 0; i < nAdd; ++i) {
            nNext += 1 + static_cast<int64_t>(rng() % 3);
            positions.push_back(nNext);
            model.push_back(nNext);
        }
        ASSERT_NO_FATAL_FAILURE(check());
        // sometimes all of it, sometimes up to an exact block boundary
        const size_t nLive = model.size() - nModelHead;
        size_t nPop = rng() % (nLive + 1);
        if (nRound % 5 == 0) {
            nPop = nLive;
        }
        positions.PopFront(nPop);
        nModelHead += nPop;
        ASSERT_NO_FATAL_FAILURE(check());
        if (nRound % 50 == 49) {
            positions.Clear(nRound % 100 == 99);
            nModelHead = model.size();
            ASSERT_NO_FATAL_FAILURE(check());
        }
    }
}

namespace {

class FindBarTest : public CShownFrameTest {
protected:
    CFindBar& Bar() { return *View().FindBar(); }
};

}  // namespace

TEST_F(FindBarTest, CtrlFTypingEnterF3AndEscape) {
    for (int i = 0; i < 200; ++i) {
        View().AppendText(i % 50 == 7 ? u"a Warning here\n" : u"nothing to see\n");
    }
    View().CommandField()->setText(QStringLiteral("echo must not run"));
    View().CommandField()->setFocus();
    QTest::keyClick(m_pFrame.get(), Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(Bar().isVisible());
    EXPECT_TRUE(Bar().Field()->hasFocus());
    // incremental and ignoring case: every key searches again
    QTest::keyClicks(Bar().Field(), "warn");
    EXPECT_EQ(Bar().CountText(), QStringLiteral("1 of 4"));
    EXPECT_EQ(Pane().GetSelectedText(), QStringLiteral("Warn"));
    int nFirst = 0;
    Pane().GetVisibleSel(&nFirst, nullptr);
    EXPECT_EQ(Pane().Text().LineFromChar(nFirst), 7);
    // Enter and F3 go on, Shift+F3 back; past the last comes the first
    QTest::keyClick(Bar().Field(), Qt::Key_Return);
    EXPECT_EQ(Bar().CountText(), QStringLiteral("2 of 4"));
    QTest::keyClick(Bar().Field(), Qt::Key_F3);
    EXPECT_EQ(Bar().CountText(), QStringLiteral("3 of 4"));
    QTest::keyClick(Bar().Field(), Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(Bar().CountText(), QStringLiteral("2 of 4"));
    int nSecond = 0;
    Pane().GetVisibleSel(&nSecond, nullptr);
    EXPECT_EQ(Pane().Text().LineFromChar(nSecond), 57);
    QTest::keyClick(Bar().Field(), Qt::Key_F3, Qt::ShiftModifier);
    QTest::keyClick(Bar().Field(), Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(Bar().CountText(), QStringLiteral("4 of 4"));
    QTest::keyClick(Bar().Field(), Qt::Key_Return);
    EXPECT_EQ(Bar().CountText(), QStringLiteral("1 of 4"));
    EXPECT_FALSE(View().IsRunning());  // Enter in the bar never ran the command
    // "Match case" searches again
    Bar().MatchCase()->setChecked(true);
    EXPECT_EQ(Bar().CountText(), QStringLiteral("No matches"));
    Bar().MatchCase()->setChecked(false);
    EXPECT_EQ(Pane().FindMatchCount(), 4);
    // new output is searched as it arrives
    View().AppendText(u"WARNING at the end\n");
    Pane().FlushLayout();
    EXPECT_EQ(Pane().FindMatchCount(), 5);
    EXPECT_EQ(Bar().CountText(), QStringLiteral("1 of 5"));
    // Escape closes the bar and drops the highlights; the selection stays
    QTest::keyClick(Bar().Field(), Qt::Key_Escape);
    EXPECT_FALSE(Bar().isVisible());
    EXPECT_EQ(Pane().FindMatchCount(), 0);
    EXPECT_TRUE(Pane().hasFocus());
    EXPECT_EQ(Pane().GetSelectedText(), QStringLiteral("Warn"));
    // F3 opens it again with the pattern and goes on from the selection
    QTest::keyClick(m_pFrame.get(), Qt::Key_F3);
    ASSERT_TRUE(Bar().isVisible());
    EXPECT_EQ(Bar().CountText(), QStringLiteral("2 of 5"));
}

TEST_F(FindBarTest, HighlightsShowOverPlainAndColouredOutputAndLeaveWithTheBar) {
    // a plain line, and output in white on a background of its own (blue, as "\033[97;44m"
    // gives): every occurrence is marked, its letters readable on the mark, the rest of the line
    // keeps the output's colours
    View().AppendText(u"one two three two one\n");
    const std::u16string line = u"aaa two bbb\r\n";
    CTextAttrRun run;
    run.nLength = static_cast<int>(line.size());
    run.attr.nFore = CTextAttr::kColourIndexed | 15;
    run.attr.nBack = CTextAttr::kColourIndexed | 4;
    Pane().SetSel(-1, -1);
    Pane().ReplaceSelStyled(line.c_str(), &run, 1);
    Pane().SetSel(0, 0);
    Pane().FlushLayout();
    const QImage plain = Pane().viewport()->grab().toImage();
    Bar().Open();
    QTest::keyClicks(Bar().Field(), "two");
    ASSERT_EQ(Bar().CountText(), QStringLiteral("1 of 3"));
    // the bar sits over the pane's top right corner, inside it
    EXPECT_TRUE(Pane().rect().contains(Bar().geometry()));
    Pane().SetSel(0, 0);  // no selection over an occurrence
    Pane().FlushLayout();
    const QImage lit = Pane().viewport()->grab().toImage();
    const QFontMetrics fm(Pane().font());
    const int nCharW = fm.horizontalAdvance(QLatin1Char('M'));
    const int nRow2 = fm.lineSpacing() + 1;
    const QColor base = Pane().palette().color(QPalette::Base);
    const QColor blue = lit.pixelColor(2 + nCharW / 2, nRow2);  // inside "aaa"
    const int nTwo = 2 + 5 * nCharW + nCharW / 2;               // inside "two" of the second line
    EXPECT_NE(blue, base);
    EXPECT_EQ(plain.pixelColor(2 + 15 * nCharW, 1), base);  // the second "two" of the first line
    EXPECT_NE(lit.pixelColor(2 + 15 * nCharW, 1), base);
    EXPECT_NE(lit.pixelColor(nTwo, nRow2), blue);
    EXPECT_NE(lit.pixelColor(nTwo, nRow2), base);
    // the letters of "two" in the pane's dark text colour, not in white on the light mark
    int nDark = 0;
    for (int x = 2 + 4 * nCharW; x < 2 + 7 * nCharW; ++x) {
        for (int y = nRow2; y < nRow2 + fm.height() - 1; ++y) {
            nDark += lit.pixelColor(x, y).lightness() < 100 ? 1 : 0;
        }
    }
    EXPECT_GT(nDark, 0);
    // closed, the marks go and the occurrence has the output's background again
    Bar().Close();
    Pane().FlushLayout();
    const QImage closed = Pane().viewport()->grab().toImage();
    EXPECT_EQ(closed.pixelColor(2 + 15 * nCharW, 1), base);
    EXPECT_EQ(closed.pixelColor(nTwo, nRow2), blue);
}
