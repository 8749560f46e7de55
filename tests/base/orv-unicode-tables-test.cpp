// Tests of the character tables: range tables sorted and merged, the class predicates, and the
// simple upper-case mapping.
#include "orv-unicode-tables.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

namespace {

TEST(StringClasses, RangeTablesAndPredicates) {
    struct Table {
        const OrvCharRange* p;
        int n;
    };
    for (const Table& t : {Table{g_orv_space_ranges, g_orv_space_range_count},
                           Table{g_orv_letter_ranges, g_orv_letter_range_count},
                           Table{g_orv_letter_digit_ranges, g_orv_letter_digit_range_count}}) {
        for (int i = 0; i < t.n; ++i) {
            EXPECT_LE(t.p[i].m_chFirst, t.p[i].m_chLast);
            if (i > 0) {
                EXPECT_GT(t.p[i].m_chFirst, t.p[i - 1].m_chLast + 1);  // sorted, merged
            }
        }
    }
    EXPECT_EQ(g_orv_letter_ranges[0].m_chFirst, 0x41);
    EXPECT_EQ(g_orv_letter_digit_ranges[0].m_chFirst, 0x30);
    // {character, letter, letter or digit, space}
    const std::tuple<char16_t, bool, bool, bool> kChars[] = {
        {u'A', 1, 1, 0},      {u'\u00E9', 1, 1, 0}, {u'\u4E2D', 1, 1, 0},
        {u'5', 0, 1, 0},      {u'@', 0, 0, 0},      {u' ', 0, 0, 1},
        {u'\u3000', 0, 0, 1}, {u'\u200B', 0, 0, 1}, {u'\u200C', 0, 0, 0}};
    for (const auto& [c, bLetter, bAlnum, bSpace] : kChars) {
        EXPECT_EQ(std::tuple(OrvIsLetterW(c), OrvIsLetterOrDigitW(c), OrvIsSpaceW(c)),
                  std::tuple(bLetter, bAlnum, bSpace))
            << static_cast<int>(c);
    }
    EXPECT_TRUE(OrvIsSpaceA('\v') && !OrvIsSpaceA('\x85'));
}

TEST(StringClasses, UpperCaseMapping) {
    // The division sign has no case, sharp s no single-character capital; final sigma.
    const std::pair<char32_t, char32_t> kPairs[] = {{U'a', U'A'},
                                                    {U'Z', U'Z'},
                                                    {U'\u00E9', U'\u00C9'},
                                                    {U'\u00F7', U'\u00F7'},
                                                    {U'\u00FF', U'\u0178'},
                                                    {U'\u00DF', U'\u00DF'},
                                                    {U'\u0131', U'I'},
                                                    {U'\u03C2', U'\u03A3'},
                                                    {U'\u0451', U'\u0401'},
                                                    {U'\u0101', U'\u0100'},
                                                    {U'\u0100', U'\u0100'},
                                                    {U'\uFF41', U'\uFF21'},
                                                    {U'\U0001F600', U'\U0001F600'}};
    for (const auto& [c, upper] : kPairs)
        EXPECT_EQ(OrvUpperCodePoint(c), upper) << static_cast<uint32_t>(c);
}

}  // namespace
