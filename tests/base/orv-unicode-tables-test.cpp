// Tests of the character tables: range tables sorted and merged, the class predicates, and the
// simple upper-case mapping.
#include "orv-unicode-tables.h"

#include <gtest/gtest.h>

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
    EXPECT_TRUE(OrvIsLetterW(u'A'));
    EXPECT_TRUE(OrvIsLetterW(u'\u00E9'));
    EXPECT_TRUE(OrvIsLetterW(u'\u4E2D'));
    EXPECT_FALSE(OrvIsLetterW(u'5'));
    EXPECT_FALSE(OrvIsLetterW(u'@'));
    EXPECT_TRUE(OrvIsLetterOrDigitW(u'5'));
    EXPECT_FALSE(OrvIsLetterOrDigitW(u' '));
    EXPECT_TRUE(OrvIsSpaceW(u'\u3000'));
    EXPECT_TRUE(OrvIsSpaceW(u'\u200B'));
    EXPECT_FALSE(OrvIsSpaceW(u'\u200C'));
    EXPECT_FALSE(OrvIsSpaceW(u'a'));
    EXPECT_TRUE(OrvIsSpaceA('\v'));
    EXPECT_FALSE(OrvIsSpaceA('\x85'));
}

TEST(StringClasses, UpperCaseMapping) {
    EXPECT_EQ(OrvUpperCodePoint(U'a'), U'A');
    EXPECT_EQ(OrvUpperCodePoint(U'Z'), U'Z');
    EXPECT_EQ(OrvUpperCodePoint(U'\u00E9'), U'\u00C9');
    EXPECT_EQ(OrvUpperCodePoint(U'\u00F7'), U'\u00F7');  // the division sign has no case
    EXPECT_EQ(OrvUpperCodePoint(U'\u00FF'), U'\u0178');
    EXPECT_EQ(OrvUpperCodePoint(U'\u00DF'), U'\u00DF');  // no single-character capital
    EXPECT_EQ(OrvUpperCodePoint(U'\u0131'), U'I');
    EXPECT_EQ(OrvUpperCodePoint(U'\u03C2'), U'\u03A3');  // final sigma
    EXPECT_EQ(OrvUpperCodePoint(U'\u0451'), U'\u0401');
    EXPECT_EQ(OrvUpperCodePoint(U'\u0101'), U'\u0100');
    EXPECT_EQ(OrvUpperCodePoint(U'\u0100'), U'\u0100');
    EXPECT_EQ(OrvUpperCodePoint(U'\uFF41'), U'\uFF21');
    EXPECT_EQ(OrvUpperCodePoint(U'\U0001F600'), U'\U0001F600');
}

}  // namespace
