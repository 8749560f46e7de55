// Tests of the printf engine OrvVFormat: its own string and character rules, size prefixes,
// truncation, measuring, format errors, and agreement of numeric output with the C library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "orv-format.h"

namespace {

// Formats into a buffer of nSize characters (none and 0: measuring); returns the result.
int Run(void* pBuffer, int nSize, bool bWide, const void* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const int n = OrvVFormat(pBuffer, nSize, bWide, pszFormat, nullptr, args);
    va_end(args);
    return n;
}

// The whole text, or "<error>".
template <typename C, typename... T>
std::basic_string<C> F(const C* pszFormat, T... args) {
    C buf[2048];
    const int n = Run(buf, 2048, sizeof(C) == 2, pszFormat, args...);
    return n < 0 ? std::basic_string<C>(std::begin("<error>"), std::end("<error>") - 1)
                 : std::basic_string<C>(buf, static_cast<size_t>(n));
}
template <typename... T>
std::string A(const char* pszFormat, T... args) {
    return F(pszFormat, args...);
}
template <typename... T>
std::u16string W(const char16_t* pszFormat, T... args) {
    return F(pszFormat, args...);
}

}  // namespace

TEST(OrvVFormat, StringsAndCharactersInBothWidths) {
    const char* pNullA = nullptr;
    EXPECT_EQ(W(u"%s|%S|%hs|%ls", u"wide", "narrow", "h", u"l"), u"wide|narrow|h|l");
    EXPECT_EQ(A("%s|%S|%ls|%hs", "narrow", u"wide", u"l", "h"), "narrow|wide|l|h");
    EXPECT_EQ(A("[%8s]", pNullA), "[  (null)]");
    EXPECT_EQ(A("[%5.2s]", "abcdef"), "[ab]");
    EXPECT_EQ(A("[%-4c]", 'x'), "[x   ]");
    EXPECT_EQ(A("[%*s]", -4, "a"), "[a   ]");
    EXPECT_EQ(A("%%%c%C", 'a', u'\u0142'), "%aB");  // a wide character keeps its low 8 bits
    EXPECT_EQ(W(u"%S", "\xE9"), u"\u00E9");         // widened byte by byte
    // A wide string into narrow output becomes UTF-8 and is not padded.
    EXPECT_EQ(A("[%6ls]", u"\u00E9\U0001F600"), "[\xC3\xA9\xF0\x9F\x98\x80]");
    EXPECT_EQ(A("[%.1ls]", u"\U0001F600x"), "[]");  // the cut never splits a pair
    // A precision-bounded argument is not read past its precision.
    const char aNoNul[3] = {'a', 'b', 'c'};
    EXPECT_EQ(A("%.3s", aNoNul), "abc");
}

TEST(OrvVFormat, SizePrefixesAndErrors) {
    EXPECT_EQ(A("%I64d %lld %I64u", -9000000000LL, 9000000000LL, 18000000000ULL),
              "-9000000000 9000000000 18000000000");
    EXPECT_EQ(A("%I32d %Fd %Ld %Nd %ld %hd", 1, 2, 3, 4, 5L, 70000), "1 2 3 4 5 4464");
    EXPECT_EQ(W(u"%I64x", 0x123456789ABLL), u"123456789ab");
    // Refused: %n, %a, a width from the list before %d, a negative precision from the list, a
    // lone % at the end, unknown conversions, absurd widths (not overflowed).
    EXPECT_EQ(A("%n", nullptr) + A("%a", 1.0) + A("%*d", 3, 1) + A("%.*s", -1, "x") + A("abc%") +
                  A("%q") + A("%99999999999d", 1),
              "<error><error><error><error><error><error><error>");
    EXPECT_EQ(::Run(nullptr, 0, false, "%n"), -1);
    // The output written before the error stays terminated.
    char buf[16];
    EXPECT_EQ(::Run(buf, sizeof(buf), false, "ab%zd", 1), -1);
    EXPECT_STREQ(buf, "ab");
}
