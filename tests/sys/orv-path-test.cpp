#include "orv-path.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <vector>

#include "orv-trace.h"
#include "orv-utf.h"
#include "support/orv-test-support.h"

namespace {

class PathTest : public ::testing::Test {
protected:
    OrvReportCapture m_reports;
};

std::string Narrow(const COrvStringW& s) {
    COrvStringA a;
    EXPECT_TRUE(OrvUtf16ToUtf8(s, a));
    return a.GetString();
}

}  // namespace

TEST_F(PathTest, LongPathForms) {
    // clang-format off
    const std::pair<const char*, const char16_t*> kGood[] = {
        {"c:", u"\\\\?\\c:\\"}, {"//srv/sh/x", u"\\\\?\\UNC\\srv\\sh\\x"},
        {"//srv/sh", u"\\\\?\\UNC\\srv\\sh"}, {"//?/c:/already", u"\\\\?\\c:\\already"}};
    // clang-format on
    for (const auto& [pszIn, pszOut] : kGood) {
        COrvStringW s;
        COrvError err;
        ASSERT_TRUE(OrvToLongPathW(pszIn, s, err)) << pszIn << ": " << err.Text().GetString();
        EXPECT_TRUE(s == pszOut) << pszIn << " gave " << Narrow(s);
    }
    // Invalid UTF-8 cannot name a file.
    for (const char* pszBad : {"a/b", "c:rel", "//srv", "//srv/", "///x", "1:/a", "c:/\xff"}) {
        COrvStringW s(u"junk");
        COrvError err;
        EXPECT_FALSE(OrvToLongPathW(pszBad, s, err)) << pszBad;
        EXPECT_TRUE(s.IsEmpty() && err.Code() == 6);
    }
}

TEST_F(PathTest, FileNameRules) {
    EXPECT_TRUE(OrvIsValidFileName(".hidden"));
    for (const char* psz : {"", " lead", "trail.", "trail ", "a:b", "a\\b", "a|b", "a\tb"})
        EXPECT_FALSE(OrvIsValidFileName(psz)) << psz;

    // Runs of bad characters halve (16 -> 8 -> 4 -> 2); a cut keeps characters whole ("é" is
    // two bytes) and trims a "." it exposes; a no-break space (C2 A0) is kept whole.
    // clang-format off
    const struct { const char* pszIn; int nMax; const char* pszOut; } kCases[] = {
        {" a:b?. ", 100, "a_b_"}, {"a<<<<<<<<<<<<<<<<b", 100, "a__b"}, {" . ", 100, ""},
        {"ab\xc3\xa9z", 3, "ab"}, {"ab. c", 3, "ab"}, {"a\xc2\xa0", 10, "a\xc2\xa0"}};
    // clang-format on
    COrvStringA s;
    for (const auto& c : kCases) {
        EXPECT_EQ(OrvMakeValidFileName(c.pszIn, c.nMax, s), c.pszOut[0] != 0) << c.pszIn;
        EXPECT_STREQ(s, c.pszOut);
    }
    ASSERT_TRUE(OrvMakeValidFolderName("  docs.. ", 50, s));
    EXPECT_STREQ(s, "docs");
}

TEST_F(PathTest, ProcessMacroTableFollowsXdg) {
    // The table is built once: what it holds must agree with the environment of this process.
    const char* pszConfig = getenv("XDG_CONFIG_HOME");
    const char* pszHome = getenv("HOME");
    ASSERT_NE(pszHome, nullptr);
    const std::string sExpected = pszConfig != nullptr && pszConfig[0] == '/'
                                      ? std::string(pszConfig)
                                      : std::string(pszHome) + "/.config";
    EXPECT_EQ(std::string(OrvGetMacroFolder("%APPDATA%")), sExpected);
    COrvStringA sPath("%APPDATA%/vexil/%YYYY%");
    COrvError err;
    ASSERT_TRUE(OrvExpandPathMacros(sPath, nullptr, nullptr, err));
    char szYear[16];
    const time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    snprintf(szYear, sizeof szYear, "%04d", tm.tm_year + 1900);
    EXPECT_EQ(std::string(sPath), sExpected + "/vexil/" + szYear);
}
