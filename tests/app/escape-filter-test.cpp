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

struct Filtered {
    std::u16string text;
    std::vector<CTextAttrRun> runs;
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
        for (CTextAttrRun run : runs) {
            run.nStart += static_cast<int>(out.text.size());
            if (!out.runs.empty() &&
                out.runs.back().nStart + out.runs.back().nLength == run.nStart &&
                out.runs.back().attr == run.attr) {
                out.runs.back().nLength += run.nLength;
            } else {
                out.runs.push_back(run);
            }
        }
        out.text.append(buf.data(), static_cast<size_t>(n));
    }
    return out;
}

Filtered FilterWhole(const std::string& input) {
    return FilterInPieces(input, input.size() + 1);
}

CTextAttr Fore(uint32_t nColour, uint8_t nFlags = 0) {
    CTextAttr attr;
    attr.nFore = nColour;
    attr.nFlags = nFlags;
    return attr;
}

uint32_t Index(int n) {
    return CTextAttr::kColourIndexed | static_cast<uint32_t>(n);
}

uint32_t Rgb(uint32_t n) {
    return CTextAttr::kColourRgb | n;
}

void ExpectRun(const Filtered& f, size_t i, int nStart, int nLength, const CTextAttr& attr) {
    ASSERT_LT(i, f.runs.size());
    EXPECT_EQ(f.runs[i].nStart, nStart) << "run " << i;
    EXPECT_EQ(f.runs[i].nLength, nLength) << "run " << i;
    EXPECT_EQ(f.runs[i].attr.nFore, attr.nFore) << "run " << i;
    EXPECT_EQ(f.runs[i].attr.nBack, attr.nBack) << "run " << i;
    EXPECT_EQ(f.runs[i].attr.nFlags, attr.nFlags) << "run " << i;
}

}  // namespace

TEST(EscapeFilter, SgrColoursAndStylesBecomeRuns) {
    // What ls --color=always writes: a reset, bold blue, then plain text.
    Filtered f = FilterWhole("\x1b[0m\x1b[01;34mbin\x1b[0m\nplain \x1b[31mred\x1b[m!");
    EXPECT_EQ(f.text, u"bin\nplain red!");
    ASSERT_EQ(f.runs.size(), 2u);
    ExpectRun(f, 0, 0, 3, Fore(Index(4), CTextAttr::kBold));
    ExpectRun(f, 1, 10, 3, Fore(Index(1)));

    // Bright, 256 and 24-bit colours with ';' and with ':', backgrounds and their resets.
    f = FilterWhole(
        "\x1b[92ma\x1b[38;5;208mb\x1b[38;2;1;2;3mc\x1b[38:2::10:20:30md\x1b[38:2:4:5:6me"
        "\x1b[39;48;5;17mf\x1b[104mg\x1b[49mh");
    EXPECT_EQ(f.text, u"abcdefgh");
    ASSERT_EQ(f.runs.size(), 7u);
    ExpectRun(f, 0, 0, 1, Fore(Index(10)));
    ExpectRun(f, 1, 1, 1, Fore(Index(208)));
    ExpectRun(f, 2, 2, 1, Fore(Rgb(0x010203)));
    ExpectRun(f, 3, 3, 1, Fore(Rgb(0x0A141E)));
    ExpectRun(f, 4, 4, 1, Fore(Rgb(0x040506)));
    CTextAttr back;
    back.nBack = Index(17);
    ExpectRun(f, 5, 5, 1, back);
    back.nBack = Index(12);
    ExpectRun(f, 6, 6, 1, back);

    // Styles switch on and off one by one; 4:0 ends an underline, 22 bold and faint.
    f = FilterWhole("\x1b[1;3;4;7;9ma\x1b[4:0;23mb\x1b[22;27;29mc\x1b[2;4:3md\x1b[24;22me");
    EXPECT_EQ(f.text, u"abcde");
    ASSERT_EQ(f.runs.size(), 3u);
    ExpectRun(f, 0, 0, 1,
              Fore(0, CTextAttr::kBold | CTextAttr::kItalic | CTextAttr::kUnderline |
                          CTextAttr::kInverse | CTextAttr::kStrike));
    ExpectRun(f, 1, 1, 1, Fore(0, CTextAttr::kBold | CTextAttr::kInverse | CTextAttr::kStrike));
    ExpectRun(f, 2, 3, 1, Fore(0, CTextAttr::kFaint | CTextAttr::kUnderline));

    // Colours out of range change nothing, and the attributes after them still apply.
    f = FilterWhole("\x1b[38;5;300;1mx\x1b[0;38;2;256;0;0my");
    EXPECT_EQ(f.text, u"xy");
    ASSERT_EQ(f.runs.size(), 1u);
    ExpectRun(f, 0, 0, 1, Fore(0, CTextAttr::kBold));
}

TEST(EscapeFilter, EveryOtherSequenceIsDropped) {
    // Cursor moves, erasing, modes with a private marker, a window title ended by BEL and by
    // ST, a character set, keypad mode, a device control string, and an SGR-like sequence with
    // a private marker (which sets no colour).
    const Filtered f = FilterWhole(
        "a\x1b[2J\x1b[1;1Hb\x1b[K\x1b[?25lc\x1b]0;title\x07"
        "d\x1b]2;t\x1b\\e\x1b(Bf\x1b=g"
        "\x1bPq#0\x1b\\h\x1b[>4;2mi\x1b"
        "7\x1b"
        "8j");
    EXPECT_EQ(f.text, u"abcdefghij");
    EXPECT_TRUE(f.runs.empty());

    // CAN cancels a sequence; a line feed inside a CSI sequence still ends the line.
    EXPECT_EQ(FilterWhole("x\x1b[31\x18y\x1b[3\n1mz").text, u"xy\nz");
    EXPECT_EQ(FilterWhole("x\x1b[3\n1mz").runs.size(), 1u);

    // An OSC that never ends gives up after its bound: the text after it shows again.
    const std::string longTitle = "0;" + std::string(CEscapeFilter::kMaxString, 't') + "after";
    EXPECT_EQ(FilterWhole("\x1b]" + longTitle).text,
              U16(longTitle.substr(CEscapeFilter::kMaxString)));
}

TEST(EscapeFilter, SequencesSplitAnywhereGiveTheSameTextAndRuns) {
    const std::string input =
        "\x1b[01;32mok\x1b[0m \x1b]0;title\x1b\\\x1b[38;2;200;100;50mwarm\x1b[m\r\n\x1b[2K"
        "\x1b[4mline\x1b[24m";
    const Filtered whole = FilterWhole(input);
    EXPECT_EQ(whole.text, u"ok warm\r\nline");
    ASSERT_EQ(whole.runs.size(), 3u);
    for (size_t nCut = 1; nCut < input.size(); ++nCut) {
        const Filtered f = FilterInPieces(input, nCut);
        EXPECT_EQ(f.text, whole.text) << "pieces of " << nCut;
        ASSERT_EQ(f.runs.size(), whole.runs.size()) << "pieces of " << nCut;
        for (size_t i = 0; i < f.runs.size(); ++i) {
            ExpectRun(f, i, whole.runs[i].nStart, whole.runs[i].nLength, whole.runs[i].attr);
        }
    }
}

TEST(TextPaneNormaliseRuns, RunsMoveWithTheCrsThatLineEndsGain) {
    // "a\nbc\r\nd\ne": the first and third LF gain a CR.
    const std::u16string text = u"a\nbc\r\nd\ne";
    CTextAttrRun runs[3];
    runs[0].nStart = 0;  // "a\n"
    runs[0].nLength = 2;
    runs[1].nStart = 2;  // "bc\r\n"
    runs[1].nLength = 4;
    runs[2].nStart = 7;  // "\ne"
    runs[2].nLength = 2;
    TextPaneNormaliseRuns(text.data(), static_cast<int>(text.size()), runs, 3);
    // normalised: "a\r\nbc\r\nd\r\ne"
    EXPECT_EQ(runs[0].nStart, 0);
    EXPECT_EQ(runs[0].nLength, 3);
    EXPECT_EQ(runs[1].nStart, 3);
    EXPECT_EQ(runs[1].nLength, 4);
    EXPECT_EQ(runs[2].nStart, 8);
    EXPECT_EQ(runs[2].nLength, 3);
}
