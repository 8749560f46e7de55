// The insertion every pane shares: line ends normalised, the pane trimmed at its limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "text-pane-memory.h"

namespace {

TEST(TextPaneAppend, NormalisesLineEndsAndKeepsLoneCr) {
    // texts of lone LFs, lone CRs, pairs and short plain runs: only a lone LF gains a CR
    std::mt19937 random(3);
    for (int nRound = 0; nRound < 200; ++nRound) {
        std::u16string text;
        while (text.size() < 300) {
            const unsigned n = random() % 10;
            text += n == 0   ? u"\n"
                    : n == 1 ? u"\r"
                    : n == 2 ? u"\r\n"
                             : std::u16string(n - 2, u'x');
        }
        std::u16string expected;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r')) {
                expected += u'\r';
            }
            expected += text[i];
        }
        std::vector<char16_t> buf(2 * text.size() + 1);
        const int n =
            TextPaneNormaliseLineEnds(text.data(), static_cast<int>(text.size()), buf.data());
        ASSERT_EQ(std::u16string(buf.data(), static_cast<size_t>(n)), expected)
            << "round " << nRound;
        EXPECT_EQ(buf[static_cast<size_t>(n)], 0);
    }

    // the same from bytes of plain ASCII, widened in the same pass: every length around the
    // blocks of sixteen, after a CR or not, and bytes it must refuse anywhere
    for (int nRound = 0; nRound < 600; ++nRound) {
        std::string bytes;
        for (size_t nLen = nRound < 100 ? static_cast<size_t>(nRound) : random() % 700;
             bytes.size() < nLen;) {
            const unsigned n = random() % 8;
            bytes += n == 0 ? '\n' : n == 1 ? '\r' : static_cast<char>(' ' + random() % 95);
        }
        const bool bAfterCr = random() % 2 == 0;
        const bool bRefused = nRound % 5 == 4 && !bytes.empty();
        if (bRefused) {
            const char kRefused[] = {'\0', '\x1b', '\x80', '\xff'};
            bytes[random() % bytes.size()] = kRefused[random() % 4];
        }
        std::u16string expected;
        for (size_t i = 0; i < bytes.size(); ++i) {
            const char prev = i > 0 ? bytes[i - 1] : bAfterCr ? '\r' : 'x';
            if (bytes[i] == '\n' && prev != '\r') {
                expected += u'\r';
            }
            expected += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]));
        }
        const int nBytes = static_cast<int>(bytes.size());
        std::vector<char16_t> wide(bytes.size() + 16);
        std::vector<char16_t> out(2 * bytes.size() + 32);
        const int n = TextPaneWidenAscii(bytes.data(), nBytes, bAfterCr, wide.data(), out.data());
        if (bRefused) {
            EXPECT_EQ(n, -1) << "round " << nRound;
            continue;
        }
        ASSERT_EQ(std::u16string(out.data(), static_cast<size_t>(std::max(n, 0))), expected)
            << "round " << nRound;
        EXPECT_EQ(std::u16string(wide.data(), bytes.size()),
                  std::u16string(bytes.begin(), bytes.end()));
        EXPECT_EQ(TextPaneWidenAscii(bytes.data(), nBytes, bAfterCr, wide.data(), nullptr), nBytes);
    }

    CTextPaneMemory pane;
    pane.ReplaceSel(u"start");
    pane.SetSel(0, 0);  // the caret elsewhere: the insertion still goes to the end
    TextPaneAppend(pane, u"x\ny");
    TextPaneAppend(pane, nullptr);
    EXPECT_EQ(pane.GetText(), u"startx\r\ny");
}

TEST(TextPaneAppend, TrimsExactly255CharactersOnlyPastTheLimitMinus255) {
    CTextPaneMemory pane;
    pane.SetLimitText(1000);
    std::u16string text(745, u'\0');
    std::iota(text.begin(), text.end(), u'A');  // no line ends
    pane.ReplaceSel(text.c_str());
    TextPaneAppend(pane, u"1");  // length 745 is not above 745: nothing removed
    EXPECT_EQ(pane.GetTextLength(), 746);
    TextPaneAppend(pane, u"2");  // 746 > 745: the first 255 go, then the insertion
    EXPECT_EQ(pane.GetText(), text.substr(255) + u"12");
}

}  // namespace
