// The escape filter: SGR sequences become attribute runs, every other sequence disappears, and a
// sequence split anywhere between two calls is understood as if whole.
#include "escape-filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text-pane.h"

namespace {

std::u16string U16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// A run as the tests write it: start, length, foreground, background, style flags.
struct SRun {
    int nStart;
    int nLength;
    uint32_t nFore;
    uint32_t nBack = 0;
    uint8_t nFlags = 0;
    bool operator==(const SRun&) const = default;
};

struct Filtered {
    std::u16string text;
    std::vector<SRun> runs;
};

// Filters the text in pieces of nCut units, merging the runs as a pane would receive them.
Filtered FilterInPieces(const std::string& input, size_t nCut) {
    CEscapeFilter filter;
    Filtered out;
    const std::u16string in = U16(input);
    for (size_t i = 0; i < in.size(); i += nCut) {
        const std::u16string piece = in.substr(i, nCut);
        std::vector<char16_t> buf(piece.size() + 1);
        std::vector<CTextAttrRun> runs;
        const int n = filter.Filter(piece.data(), static_cast<int>(piece.size()), buf.data(), runs);
        for (const CTextAttrRun& run : runs) {
            const int nStart = run.nStart + static_cast<int>(out.text.size());
            SRun* pLast = out.runs.empty() ? nullptr : &out.runs.back();
            if (pLast && pLast->nStart + pLast->nLength == nStart &&
                pLast->nFore == run.attr.nFore && pLast->nBack == run.attr.nBack &&
                pLast->nFlags == run.attr.nFlags) {
                pLast->nLength += run.nLength;
            } else {
                out.runs.push_back(
                    {nStart, run.nLength, run.attr.nFore, run.attr.nBack, run.attr.nFlags});
            }
        }
        out.text.append(buf.data(), static_cast<size_t>(n));
    }
    return out;
}

constexpr uint32_t Index(uint32_t n) {
    return CTextAttr::kColourIndexed | n;
}

}  // namespace

TEST(EscapeFilter, SgrBecomesRunsOtherSequencesVanishAndAnySplitGivesTheSame) {
    struct Case {
        std::string input;
        std::u16string text;
        std::vector<SRun> runs;
    };
    const Case cases[] = {
        // what a colouring directory listing writes: a reset, bold blue, then plain text
        {"\x1b[0m\x1b[01;34mbin\x1b[0m\nplain \x1b[31mred\x1b[m!",
         u"bin\nplain red!",
         {{0, 3, Index(4), 0, CTextAttr::kBold}, {10, 3, Index(1)}}},
        // bright, 256 and 24-bit colours with ';' and with ':', backgrounds and their resets
        {"\x1b[92ma\x1b[38;5;208mb\x1b[38;2;1;2;3mc\x1b[38:2::10:20:30;49md\x1b[38:2:4:5:6me"
         "\x1b[39;48;5;17mf\x1b[104mg\x1b[49mh",
         u"abcdefgh",
         {{0, 1, Index(10)},
          {1, 1, Index(208)},
          {2, 1, CTextAttr::kColourRgb | 0x010203},
          {3, 1, CTextAttr::kColourRgb | 0x0A141E},
          {4, 1, CTextAttr::kColourRgb | 0x040506},
          {5, 1, 0, Index(17)},
          {6, 1, 0, Index(12)}}},
        // styles switch on and off one by one; 4:0 ends an underline, 22 bold and faint
        {"\x1b[1;3;4;7;9ma\x1b[4:0;23mb\x1b[22;27;29mc\x1b[2;4:3md\x1b[24;22me",
         u"abcde",
         {{0, 1, 0, 0, 0x3D}, {1, 1, 0, 0, 0x31}, {3, 1, 0, 0, 0x0A}}},
        // colours out of range change nothing, and the attributes after them still apply
        {"\x1b[38;5;300;1mx\x1b[0;38;2;256;0;0my", u"xy", {{0, 1, 0, 0, CTextAttr::kBold}}},
        // cursor moves, erasing, private modes, titles ended by BEL and by ST, a character set,
        // keypad mode, a device control string, saved cursor and an SGR with a private marker
        {"a\x1b[2J\x1b[1;1Hb\x1b[K\x1b[?25lc\x1b]0;title\x07"
         "d\x1b]2;t\x1b\\e\x1b(Bf\x1b=g\x1bPq#0\x1b\\h\x1b[>4;2mi\x1b"
         "7\x1b"
         "8j",
         u"abcdefghij",
         {}},
        // CAN cancels a sequence; a line feed inside a CSI sequence still ends the line
        {"x\x1b[31\x18y\x1b[3\n1mz", u"xy\nz", {{3, 1, Index(1)}}},
    };
    for (const Case& c : cases) {
        for (size_t nCut = 1; nCut <= c.input.size(); ++nCut) {
            SCOPED_TRACE("case " + std::to_string(&c - cases) + " in pieces of " +
                         std::to_string(nCut));
            const Filtered f = FilterInPieces(c.input, nCut);
            EXPECT_EQ(f.text, c.text);
            EXPECT_EQ(f.runs, c.runs);
        }
    }
    // An OSC that never ends gives up after its bound: the text after it shows again.
    const std::string longTitle = "0;" + std::string(CEscapeFilter::kMaxString, 't') + "after";
    EXPECT_EQ(FilterInPieces("\x1b]" + longTitle, 1 << 20).text,
              U16(longTitle.substr(CEscapeFilter::kMaxString)));
}
