// Find in the output pane: the occurrences kept up to date while text arrives and leaves, against
// a plain reference, and the find bar in the real frame.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QTest>
#include <random>
#include <string>
#include <vector>

#include "find-bar.h"
#include "main-frame.h"
#include "text-search.h"
#include "window-test-util.h"

namespace {

// The plain reference, ignoring case: at every position, compare unit by unit; after a match go
// on behind it.
std::vector<int64_t> Reference(const std::u16string& text, const std::u16string& pattern,
                               int64_t nBase) {
    std::vector<int64_t> out;
    for (size_t i = 0; i + pattern.size() <= text.size();) {
        size_t k = 0;
        while (k < pattern.size() && TextFoldCase(text[i + k]) == TextFoldCase(pattern[k])) {
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

std::vector<int64_t> Find(const std::u16string& text, const std::u16string& pattern) {
    std::vector<int64_t> out;
    CTextSearcher(pattern.data(), static_cast<int>(pattern.size()), false)
        .FindAll(text.data(), static_cast<int64_t>(text.size()), 0, out);
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
                  Reference(all.substr(static_cast<size_t>(nDropped)), u"needle", nDropped))
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
    // case folding as a reader expects it: the Kelvin sign is a k, and sigma has three forms
    EXPECT_EQ(Find(u"Kelvin \u212a, k and K", u"k"), (std::vector<int64_t>{0, 7, 10, 16}));
    EXPECT_EQ(Find(u"\u03a3\u03c3\u03c2", u"\u03c3"), (std::vector<int64_t>{0, 1, 2}));
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
    // back in the pane, Ctrl+End then Shift+Ctrl+Home selects the whole text
    QTest::keyClick(&Pane(), Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(&Pane(), Qt::Key_Home, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(Pane().GetSelectedText().size(), Pane().GetTextLength());
}
