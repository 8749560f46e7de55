// Tests of the character tables: range tables sorted and merged, and the class predicates.
#include "orv-unicode-tables.h"

#include <gtest/gtest.h>

#include <tuple>

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

}  // namespace
