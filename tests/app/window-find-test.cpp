// Find in the output pane: the search itself against a plain reference, the occurrences kept up
// to date while text arrives and leaves, a full pane, and the find bar in the real frame.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <deque>
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
    for (int nRound = 0; nRound < 200; ++nRound) {
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
    auto append = [&](const std::u16string& s) {
        text.Append(s.data(), static_cast<int>(s.size()));
        all += s;
    };
    EXPECT_FALSE(update());
    // an occurrence split between two appends, one right after it, an append that adds none,
    // and a removal at the front that cuts into the first occurrence
    for (const auto& [psz, nErase, bChanged, nCount] :
         {std::tuple{u"a NEEDLE and a nee", 0, true, 1},
          {u"dleNeedle x", 0, true, 3},
          {u"y", 0, false, 3},
          {u"", 3, true, 2}}) {
        append(psz);
        text.EraseFront(nErase);
        EXPECT_EQ(update(), bChanged) << nCount;
        EXPECT_EQ(matches.Count(), static_cast<size_t>(nCount));
    }
    std::mt19937 rng(3);
    for (int i = 0; i < 300; ++i) {
        append(rng() % 4 == 0 ? u"needle\r\n" : u"hay hay\r\n");
        if (i % 7 == 0) {
            text.EraseFront(static_cast<int>(rng() % 40));
        }
        update();
        const int64_t nDropped = text.GetDropped();
        ASSERT_EQ(Matches(matches),
                  Reference(all.substr(static_cast<size_t>(nDropped)), u"needle", false, nDropped))
            << i;
    }
    // a clear makes positions start again; a new pattern searches the whole text again
    text.Clear();
    append(u"needle");
    EXPECT_TRUE(update());
    EXPECT_EQ(Matches(matches), (std::vector<int64_t>{0}));
    matches.SetPattern(u"e", 1, true);
    update();
    EXPECT_EQ(Matches(matches), (std::vector<int64_t>{1, 2, 5}));
    EXPECT_EQ(std::pair(matches.LowerBound(2), matches.LowerBound(6)),
              std::pair(size_t{1}, size_t{3}));
}

TEST(TextSearch, BlockedPositionsFollowAPlainModel) {
    // appends and front removals over many blocks (sometimes all of it, now and then a clear),
    // against a plain array of the same positions
    CMatchPositions positions;
    std::deque<int64_t> model;
    std::mt19937 rng(11);
    int64_t nNext = 0;
    for (int nRound = 0; nRound < 200; ++nRound) {
        for (size_t i = rng() % (3 * CMatchPositions::kBlock); i > 0; --i) {
            nNext += 1 + static_cast<int64_t>(rng() % 3);
            positions.push_back(nNext);
            model.push_back(nNext);
        }
        const size_t nPop = nRound % 5 == 0 ? model.size() : rng() % (model.size() + 1);
        positions.PopFront(nPop);
        model.erase(model.begin(), model.begin() + static_cast<ptrdiff_t>(nPop));
        if (nRound % 50 == 49) {
            positions.Clear(nRound % 100 == 99);
            model.clear();
        }
        ASSERT_EQ(positions.size(), model.size());
        for (size_t i = 0; i < model.size(); ++i) {
            ASSERT_EQ(positions[i], model[i]) << nRound;
        }
        const int64_t nProbe = static_cast<int64_t>(rng() % (nNext + 2));
        ASSERT_EQ(positions.LowerBound(nProbe),
                  static_cast<size_t>(std::lower_bound(model.begin(), model.end(), nProbe) -
                                      model.begin()));
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
    // incremental and ignoring case: every key searches again
    QTest::keyClicks(Bar().Field(), "warn");
    EXPECT_EQ(Pane().GetSelectedText(), QStringLiteral("Warn"));
    EXPECT_EQ(Bar().CountText(), QStringLiteral("1 of 4"));
    // Shift+F3 goes back: before the first comes the last
    QTest::keyClick(Bar().Field(), Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(Bar().CountText(), QStringLiteral("4 of 4"));
    int nAt = 0;
    Pane().GetVisibleSel(&nAt, nullptr);
    EXPECT_EQ(Pane().Text().LineFromChar(nAt), 157);
    QTest::keyClick(Bar().Field(), Qt::Key_Return);
    EXPECT_FALSE(View().IsRunning());  // Enter in the bar never ran the command
    Bar().MatchCase()->setChecked(true);
    EXPECT_EQ(Bar().CountText(), QStringLiteral("No matches"));
    // Escape closes the bar and drops the highlights
    QTest::keyClick(Bar().Field(), Qt::Key_Escape);
    EXPECT_FALSE(Bar().isVisible());
    EXPECT_EQ(Pane().FindMatchCount(), 0);
}
