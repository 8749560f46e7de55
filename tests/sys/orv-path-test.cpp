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

TEST_F(PathTest, SlashConversionsAndTheirAssertions) {
    EXPECT_STREQ(OrvToWindowsSlashesA("c:\\a/b", false), "c:\\a\\b");
    EXPECT_TRUE(Asserts().empty());
    EXPECT_STREQ(OrvToWindowsSlashesA("c:\\a/b", true), "c:\\a\\b");  // enforced: reported
    EXPECT_STREQ(OrvToPortableSlashesA("a\\b", true), "a/b");
    ASSERT_EQ(Asserts().size(), 2u);
    EXPECT_TRUE(Asserts()[0].nHard == 0 && Asserts()[1].nHard == 1);
    EXPECT_TRUE(Asserts()[0].nErr == 0 && Asserts()[1].nErr == 0);
}

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

TEST_F(PathTest, EnvironmentAndDateMacros) {
    const auto Env = [](const char* pszName) -> const char* {
        if (strcmp(pszName, "HOME") == 0)
            return "/home/u";
        if (strcmp(pszName, "EMPTY") == 0)
            return "";
        return nullptr;
    };
    COrvStringA s;
    ASSERT_TRUE(OrvExpandEnvironment("%NOPE%HOME%", s, Env));  // the closing % opens the next
    EXPECT_STREQ(s, "%NOPE/home/u");
    ASSERT_TRUE(OrvExpandEnvironment("a%%b%EMPTY%c", s, Env));
    EXPECT_STREQ(s, "a%%bc");

    struct tm tm = {};
    tm.tm_year = 124;
    tm.tm_mon = 2;
    tm.tm_mday = 5;
    tm.tm_wday = 2;
    tm.tm_hour = 7;
    tm.tm_min = 4;
    COrvStringA sAll("%DOW% %WOM% %HH%:%II% %YYYY%%YYYY%-%MM%-%DD%");
    OrvExpandDateMacros(sAll, &tm);
    EXPECT_STREQ(sAll, "2 1 07:04 20242024-03-05");
    sAll = "%YYYY%-%MM%-%DD% %DOW% %WOM% %HH%:%II%";
    OrvExpandDateMacros(sAll, nullptr);
    EXPECT_STREQ(sAll, "0000-00-00 -1 1 -1:-1");
}

TEST_F(PathTest, PathMacrosWithATable) {
    const OrvPathMacro table[] = {{"%APPDATA%", "/home/u/.config"}, {"%COOKIES%", ""}};
    const auto Env = [](const char* pszName) -> const char* {
        return strcmp(pszName, "TEMP") == 0 ? "/tmp/t" : nullptr;
    };
    COrvStringA sPath("%APPDATA%/x/%APPDATA%");
    COrvStringA sMacro, sFolder;
    ASSERT_TRUE(OrvExpandPathMacrosWith(sPath, table, 2, Env, nullptr, &sMacro, &sFolder));
    EXPECT_STREQ(sPath, "/home/u/.config/x//home/u/.config");
    EXPECT_STREQ(sFolder, "/home/u/.config");

    // An empty folder does not count; the environment and the date still apply.
    sPath = "%COOKIES%/%TEMP%/%UNSET%";
    sMacro.Empty();
    ASSERT_TRUE(OrvExpandPathMacrosWith(sPath, table, 2, Env, nullptr, &sMacro, &sFolder));
    // "%COOKIES%" stays; its closing "%" is tried as the start of "%/%", which stays too.
    EXPECT_STREQ(sPath, "%COOKIES%//tmp/t/%UNSET%");
    EXPECT_TRUE(sMacro.IsEmpty());
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

TEST_F(PathTest, PortableVolumes) {
    const OrvVolume vols[] = {{"Stick", "/media/u/Stick"}, {"Backup", "/mnt/b"}, {"ROOT", "/"}};
    COrvStringA s;
    COrvError err;
    ASSERT_TRUE(OrvResolvePortablePathWith("=stick:/docs/a.txt", vols, 3, s, err));
    EXPECT_STREQ(s, "/media/u/Stick/docs/a.txt");
    ASSERT_TRUE(OrvResolvePortablePathWith("=root:/etc", vols, 3, s, err));
    EXPECT_STREQ(s, "/etc");
    for (const char* psz : {"=:x", "=nolabel", "=Gone:/x"}) {
        EXPECT_FALSE(OrvResolvePortablePathWith(psz, vols, 3, s, err)) << psz;
        EXPECT_TRUE(s.IsEmpty());
        err.Clear();
    }
    const OrvVolume twins[] = {{"Stick", "/media/a"}, {"STICK", "/media/b"}};
    EXPECT_FALSE(OrvResolvePortablePathWith("=stick:/x", twins, 2, s, err));
}

TEST_F(PathTest, MountInfoLines) {
    const char* pszInfo =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "40 22 8:17 / /media/u/My\\040Disk rw - vfat /dev/sdb1 rw\n"
        "bad line\n"
        "41 22 x:y / /z rw - tmpfs t rw";
    std::vector<std::string> seen;
    OrvForEachMount(
        pszInfo,
        [](void* pCtx, unsigned nMajor, unsigned nMinor, const COrvStringA& sMount) {
            static_cast<std::vector<std::string>*>(pCtx)->push_back(
                std::to_string(nMajor) + ":" + std::to_string(nMinor) + " " + sMount.GetString());
        },
        &seen);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "8:1 /");
    EXPECT_EQ(seen[1], "8:17 /media/u/My Disk");
    EXPECT_STREQ(OrvDecodeMountEscapes("a\\x20b\\1", 8), "a b\\1");
}
