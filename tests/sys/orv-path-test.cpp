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
    std::vector<OrvReport> Asserts() const { return m_reports.Reports(); }
    OrvReportCapture m_reports;
};

std::string Narrow(const COrvStringW& s) {
    COrvStringA a;
    EXPECT_TRUE(OrvUtf16ToUtf8(s, a));
    return a.GetString();
}

}  // namespace

TEST_F(PathTest, LongPathForms) {
    struct {
        const char* pszIn;
        const char16_t* pszOut;
    } kGood[] = {{"c:", u"\\\\?\\c:\\"},
                 {"//srv/sh/x", u"\\\\?\\UNC\\srv\\sh\\x"},
                 {"//srv/sh", u"\\\\?\\UNC\\srv\\sh"},
                 {"//?/c:/already", u"\\\\?\\c:\\already"}};
    for (const auto& r : kGood) {
        COrvStringW s;
        COrvError err;
        ASSERT_TRUE(OrvToLongPathW(r.pszIn, s, err)) << r.pszIn << ": " << err.Text().GetString();
        EXPECT_TRUE(s == r.pszOut) << r.pszIn << " gave " << Narrow(s);
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

    COrvStringA s;
    ASSERT_TRUE(OrvMakeValidFileName(" a:b?. ", 100, s));
    EXPECT_STREQ(s, "a_b_");
    ASSERT_TRUE(OrvMakeValidFileName("a<<<<<<<<<<<<<<<<b", 100, s));  // 16 -> 8 -> 4 -> 2
    EXPECT_STREQ(s, "a__b");
    EXPECT_FALSE(OrvMakeValidFileName(" . ", 100, s));
    EXPECT_TRUE(s.IsEmpty());
    // Cut on a character boundary: "é" is two bytes.
    ASSERT_TRUE(OrvMakeValidFileName("ab\xc3\xa9z", 3, s));
    EXPECT_STREQ(s, "ab");
    // A cut that exposes a trailing "." trims it; a no-break space (C2 A0) is kept whole.
    ASSERT_TRUE(OrvMakeValidFileName("ab. c", 3, s));
    EXPECT_STREQ(s, "ab");
    ASSERT_TRUE(OrvMakeValidFileName("a\xc2\xa0", 10, s));
    EXPECT_STREQ(s, "a\xc2\xa0");
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
