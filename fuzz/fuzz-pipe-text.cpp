// Fuzz target: a pipe's bytes on their way into the pane. Plain ASCII widened and normalised in
// one pass must equal the unit-by-unit rule and write nothing past its room; refused bytes must be
// there when it refuses. The normalised text's line index, worked out apart (as the reader does)
// and copied in, must give the text model the same lines and columns as scanning it in place, in
// one append or two.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz-check.h"
#include "output-text.h"
#include "text-pane.h"

namespace {

constexpr char16_t kSentinel = 0x7777;

void CheckWiden(const char* p, int n, bool bAfterCr) {
    std::vector<char16_t> wide(static_cast<size_t>(n) + 16 + 8, kSentinel);
    std::vector<char16_t> out(2 * static_cast<size_t>(n) + 32 + 8, kSentinel);
    const int nOut = TextPaneWidenAscii(p, n, bAfterCr, wide.data(), out.data());
    for (size_t k = static_cast<size_t>(n) + 16; k < wide.size(); ++k) {
        Check(wide[k] == kSentinel);
    }
    for (size_t k = 2 * static_cast<size_t>(n) + 32; k < out.size(); ++k) {
        Check(out[k] == kSentinel);
    }
    bool bRefused = false;
    std::u16string expected;
    for (int i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        bRefused = bRefused || c == 0 || c == 0x1B || c >= 0x80;
        const char prev = i > 0 ? p[i - 1] : bAfterCr ? '\r' : 0;
        if (c == '\n' && prev != '\r') {
            expected += u'\r';
        }
        expected += static_cast<char16_t>(c);
    }
    Check(bRefused == (nOut < 0));
    if (nOut < 0) {
        return;
    }
    Check(std::u16string(out.data(), static_cast<size_t>(nOut)) == expected);
    for (int i = 0; i < n; ++i) {
        Check(wide[static_cast<size_t>(i)] == static_cast<unsigned char>(p[i]));
    }
    Check(TextPaneWidenAscii(p, n, bAfterCr, nullptr, nullptr) == n);
}

void CheckSameModel(const COutputText& a, const COutputText& b) {
    Check(a.GetLength() == b.GetLength() && a.GetLineCount() == b.GetLineCount());
    Check(a.GetMaxColumns() == b.GetMaxColumns());
    Check(a.GetLastLineColumns() == b.GetLastLineColumns());
    Check(a.IsTabFree() == b.IsTabFree());
    for (int nLine = 0; nLine < a.GetLineCount(); ++nLine) {
        Check(a.LineIndex(nLine) == b.LineIndex(nLine));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 1 || nSize > 4096) {
        return 0;
    }
    const bool bAfterCr = (pData[0] & 1) != 0;
    const char* p = reinterpret_cast<const char*>(pData + 1);
    const int n = static_cast<int>(nSize - 1);
    CheckWiden(p, n, bAfterCr);

    // the bytes as UTF-16 units (any value), normalised, in one append or split in two
    std::u16string units;
    for (int i = 0; i + 1 < n; i += 2) {
        const auto c = static_cast<char16_t>(pData[1 + i] | (pData[2 + i] << 8));
        units += c != 0 ? c : u'x';  // the pane's text holds no NUL
    }
    std::vector<char16_t> text(2 * units.size() + 1);
    const int nText =
        TextPaneNormaliseLineEnds(units.data(), static_cast<int>(units.size()), text.data());
    const int nSplit = nText > 0 ? pData[0] % (nText + 1) : 0;
    COutputText indexed;
    COutputText scanned;
    CTextLineScan scan;
    for (const auto& [nFrom, nTo] : {std::pair{0, nSplit}, std::pair{nSplit, nText}}) {
        const CTextLineIndex& lines = scan.Scan(text.data() + nFrom, nTo - nFrom);
        indexed.Append(text.data() + nFrom, nTo - nFrom, &lines);
        scanned.Append(text.data() + nFrom, nTo - nFrom);
    }
    CheckSameModel(indexed, scanned);
    return 0;
}
