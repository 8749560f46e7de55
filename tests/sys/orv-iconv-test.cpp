// Tests of COrvIconv and OrvCharsetIsUtf8.
#include "orv-iconv.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

// Converts all of in with one Convert call; returns the output, the call's result in *pr and
// the input left in *pnLeft.
std::string Convert(COrvIconv& conv, const std::string& in, size_t* pr, size_t* pnLeft,
                    size_t nRoom = 64) {
    char buf[64];
    const char* pIn = in.data();
    size_t nIn = in.size();
    char* pOut = buf;
    size_t nOut = nRoom;
    *pr = conv.Convert(&pIn, &nIn, &pOut, &nOut);
    *pnLeft = nIn;
    EXPECT_EQ(pIn, in.data() + (in.size() - nIn));
    EXPECT_EQ(static_cast<size_t>(pOut - buf), nRoom - nOut);
    return std::string(buf, static_cast<size_t>(pOut - buf));
}

TEST(Iconv, ConvertsAndReportsBadAndCutInput) {
    COrvIconv conv;
    EXPECT_FALSE(conv.IsOpen());
    ASSERT_TRUE(conv.Open("UTF-8", "ISO-8859-1"));
    size_t r;
    size_t nLeft;
    // Output full: what fits is written, the rest of the input stays.
    EXPECT_EQ(Convert(conv, "\xE9\xE9", &r, &nLeft, 3), "\xC3\xA9");
    EXPECT_TRUE(r == static_cast<size_t>(-1) && errno == E2BIG && nLeft == 1u);

    ASSERT_TRUE(conv.Open("UTF-16LE", "UTF-8"));
    // Input ending inside a sequence: EINVAL, the lead byte left over.
    EXPECT_EQ(Convert(conv, "a\xC3", &r, &nLeft), std::string("a\0", 2));
    EXPECT_TRUE(r == static_cast<size_t>(-1) && errno == EINVAL && nLeft == 1u);
    // An invalid byte: EILSEQ at that byte.
    EXPECT_EQ(Convert(conv, std::string("b\xFF") + "c", &r, &nLeft), std::string("b\0", 2));
    EXPECT_TRUE(errno == EILSEQ && nLeft == 2u);
    conv.Reset();
    EXPECT_EQ(Convert(conv, "c", &r, &nLeft), std::string("c\0", 2));
}

}  // namespace
