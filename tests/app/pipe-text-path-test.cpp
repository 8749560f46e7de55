// The reader's text path: decoding and escape filtering in one call, with its short cut for plain
// ASCII, must give exactly what the decoder and the filter give one after the other.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "console-pipe.h"

namespace {

struct CPiece {
    std::u16string text;
    std::vector<CTextAttrRun> runs;
};

// Feeds the bytes in the given cuts through a fresh decoder and filter, either through
// PipeDecodeAndFilter or through Decode and then Filter.
std::vector<CPiece> RunCuts(const std::string& bytes, const std::vector<size_t>& cuts,
                            bool bCombined) {
    CPipeDecoder decoder(nullptr);
    CEscapeFilter filter;
    std::vector<CPiece> pieces;
    size_t nPos = 0;
    for (const size_t nCut : cuts) {
        const int nLen = static_cast<int>(nCut);
        std::vector<char16_t> scratch(CPipeDecoder::OutputRoom(nLen));
        std::vector<char16_t> out(CPipeDecoder::OutputRoom(nLen));
        CPiece piece;
        const int nOut =
            bCombined ? PipeDecodeAndFilter(decoder, filter, bytes.data() + nPos, nLen,
                                            scratch.data(), out.data(), piece.runs)
                      : filter.Filter(scratch.data(),
                                      decoder.Decode(bytes.data() + nPos, nLen, scratch.data()),
                                      out.data(), piece.runs);
        piece.text.assign(out.data(), static_cast<size_t>(nOut));
        pieces.push_back(std::move(piece));
        nPos += nCut;
    }
    return pieces;
}

}  // namespace

TEST(PipeTextPath, PlainAsciiShortCutAgreesWithDecodingAndFiltering) {
    // Long plain stretches (the short cut, also 16 bytes at a time) mixed with what must take the
    // full path: colours in force over later plain chunks, sequences and UTF-8 characters split
    // between chunks, NULs, bytes that are no UTF-8, ESC and high bytes at every offset of a
    // 16-byte block, CRs and LFs.
    const std::string kOthers[] = {"\x1b[31m",
                                   "\x1b[0m",
                                   "\x1b[1;4m",
                                   "\x1b]0;title\x07",
                                   "\xc3\xa9",
                                   "\xe2\x82\xac",
                                   std::string(1, '\0'),
                                   "\xff",
                                   "\r\n",
                                   "\x1b[",
                                   "7m",
                                   "\t\x7f"};
    std::mt19937 random(5);
    for (int nRound = 0; nRound < 200; ++nRound) {
        std::string bytes;
        while (bytes.size() < 4000) {
            if (random() % 3 != 0) {
                bytes.append(random() % 70, static_cast<char>(' ' + random() % 95));
            } else {
                bytes += kOthers[random() % std::size(kOthers)];
            }
        }
        std::vector<size_t> cuts;
        for (size_t nLeft = bytes.size(); nLeft > 0;) {
            const size_t n = std::min<size_t>(nLeft, random() % 2 ? 1 + random() % 20 : 255);
            cuts.push_back(n);
            nLeft -= n;
        }
        const std::vector<CPiece> combined = RunCuts(bytes, cuts, true);
        const std::vector<CPiece> separate = RunCuts(bytes, cuts, false);
        ASSERT_EQ(combined.size(), separate.size());
        for (size_t i = 0; i < combined.size(); ++i) {
            ASSERT_EQ(combined[i].text, separate[i].text) << "round " << nRound << " cut " << i;
            ASSERT_EQ(combined[i].runs.size(), separate[i].runs.size())
                << "round " << nRound << " cut " << i;
            for (size_t r = 0; r < combined[i].runs.size(); ++r) {
                EXPECT_EQ(combined[i].runs[r].nStart, separate[i].runs[r].nStart);
                EXPECT_EQ(combined[i].runs[r].nLength, separate[i].runs[r].nLength);
                EXPECT_TRUE(combined[i].runs[r].attr == separate[i].runs[r].attr);
            }
        }
    }
}
