#include "orv-osver.h"

#include <gtest/gtest.h>

TEST(OsVersionTest, WindowsNameTable) {
    // 5.2: the R2 metric first, then the suites, then the product type.
    // clang-format off
    const struct { int nMaj, nMin, nType; unsigned nSuite; bool bR2; const char* psz; } kCases[] = {
        {6, 3, kOrvOsServer, 0, false, "WinServer 2012 R2"},
        {6, 0, kOrvOsWorkstation, 0, false, "Vista"},
        {11, 0, kOrvOsWorkstation, 0, false, "Windows NT 11.0"},
        {5, 2, kOrvOsServer, kOrvSuiteStorageServer, true, "WinServer 2003 R2"},
        {5, 2, kOrvOsServer, kOrvSuiteStorageServer, false, "Win Storage Server 2003"},
        {5, 2, kOrvOsWorkstation, 0, false, "XP Pro"},
        {5, 1, kOrvOsWorkstation, kOrvSuitePersonal, false, "WinXP Home"},
        {5, 0, kOrvOsServer, kOrvSuiteEnterprise, false, "Win2000 Advanced Server"}};
    // clang-format on
    for (const auto& c : kCases)
        EXPECT_STREQ(OrvWindowsOsName(c.nMaj, c.nMin, c.nType, c.nSuite, c.bR2), c.psz);
    EXPECT_STREQ(OrvMinimumWindowsText(4), "Tovrin requires at least Windows 2000 to run");
}
