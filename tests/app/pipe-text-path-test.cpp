// The reader's text path: decoding and escape filtering in one call, with its short cut for plain
// ASCII, must give exactly what the decoder and the filter give one after the other.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "console-pipe.h"

namespace {

// The text and runs of each cut of the bytes, through a fresh decoder and filter: combined
// (PipeDecodeAndFilter) or one after the other (Decode, then Filter). Runs as "start+length:attr".
std::vector<std::u16string> RunCuts(const std::string& bytes, const std::vector<int>& cuts,
                                    bool bCombined) {
    CPipeDecoder decoder(nullptr);
    CEscapeFilter filter;
    std::vector<std::u16string> pieces;
    const char* p = bytes.data();
    for (const int nLen : cuts) {
        std::vector<char16_t> scratch(CPipeDecoder::OutputRoom(nLen));
        std::vector<char16_t> out(CPipeDecoder::OutputRoom(nLen));
        std::vector<CTextAttrRun> runs;
        const int nOut =
            bCombined
                ? PipeDecodeAndFilter(decoder, filter, p, nLen, scratch.data(), out.data(), runs)
                : filter.Filter(scratch.data(), decoder.Decode(p, nLen, scratch.data()), out.data(),
                                runs);
        std::u16string piece(out.data(), static_cast<size_t>(nOut));
        for (const CTextAttrRun& run : runs) {
            const std::string text =
                " " + std::to_string(run.nStart) + "+" + std::to_string(run.nLength) + ":" +
                std::to_string(run.attr.nFore) + "/" + std::to_string(run.attr.nBack) + "/" +
                std::to_string(run.attr.nFlags);
            piece.append(text.begin(), text.end());
        }
        pieces.push_back(piece);
        p += nLen;
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
        std::vector<int> cuts;
        for (size_t nLeft = bytes.size(); nLeft > 0;) {
            const size_t n = std::min<size_t>(nLeft, random() % 2 ? 1 + random() % 20 : 255);
            cuts.push_back(static_cast<int>(n));
            nLeft -= n;
        }
        ASSERT_EQ(RunCuts(bytes, cuts, true), RunCuts(bytes, cuts, false)) << "round " << nRound;
    }
}
