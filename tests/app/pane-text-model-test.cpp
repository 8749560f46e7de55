// The pane's text model against a plain string while text flows through a bounded pane and wraps
// around rings taken back from an earlier text, and a flood of every kind of character.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "mirror-ring.h"
#include "output-pane.h"
#include "output-text.h"

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

TEST(PaneTextModel, TextFlowingThroughManyTimesOverMatchesAModel) {
    // Random pieces (long runs of plain ASCII for the block-wise scan, tabs, control and wide
    // characters, pairs, lone CRs and LFs, CR LF pairs) appended in random lengths that split
    // line ends but never a pair, many times the bound through it. Now and then the text, its
    // lines and the last line's columns, counted one code point at a time, agree with a plain
    // string. The same without the bound known: the text grows, and the front is given up.
    constexpr int kMax = 64 * 1024;
    const std::u16string kOthers[] = {u"\t", u"\a",   u"\u4e00", u"\U0001F600", u"\r",
                                      u"\n", u"\r\n", u"\u00e9", u"\x7f"};
    for (const bool bBounded : {true, false}) {
        COutputText text;
        if (bBounded) {
            text.SetExpectedMax(kMax);
        }
        std::u16string model;
        std::mt19937 random(7);
        for (int nStep = 0; nStep < 3000; ++nStep) {
            std::u16string chunk;
            while (chunk.size() < random() % 400) {
                if (random() % 3 != 0) {
                    chunk.append(random() % 40, static_cast<char16_t>(u'!' + random() % 90));
                } else {
                    chunk += kOthers[random() % std::size(kOthers)];
                }
            }
            text.Append(chunk.data(), static_cast<int>(chunk.size()));
            model += chunk;
            size_t nOver = model.size() > kMax ? model.size() - kMax : 0;
            nOver += nOver > 0 && model[nOver] >= 0xDC00 && model[nOver] < 0xE000;  // a pair
            text.EraseFront(static_cast<int>(nOver));
            model.erase(0, nOver);
            if (nStep % 250 != 249) {
                continue;
            }
            ASSERT_EQ(std::u16string(text.Data(), static_cast<size_t>(text.GetLength())), model);
            int64_t nCol = 0;
            int nLine = 0;
            for (size_t i = 0; i < model.size(); ++i) {
                const char16_t c = model[i];
                if (c == u'\n' && i > 0 && model[i - 1] == u'\r') {
                    nCol = 0;
                    ASSERT_EQ(text.LineIndex(++nLine), static_cast<int>(i + 1)) << nStep;
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
            ASSERT_EQ(text.GetLineCount(), nLine + 1) << nStep;
            EXPECT_EQ(text.GetLastLineColumns(), nCol) << nStep;
        }
    }
}
