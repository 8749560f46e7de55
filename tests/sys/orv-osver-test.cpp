#include "orv-osver.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <string>

TEST(OsVersionTest, WindowsNameTable) {
    EXPECT_STREQ(OrvWindowsOsName(6, 3, kOrvOsServer, 0, false), "WinServer 2012 R2");
    EXPECT_STREQ(OrvWindowsOsName(6, 0, kOrvOsWorkstation, 0, false), "Vista");
    EXPECT_STREQ(OrvWindowsOsName(11, 0, kOrvOsWorkstation, 0, false), "Windows NT 11.0");
    // 5.2: the R2 metric first, then the suites, then the product type.
    EXPECT_STREQ(OrvWindowsOsName(5, 2, kOrvOsServer, kOrvSuiteStorageServer, true),
                 "WinServer 2003 R2");
    EXPECT_STREQ(OrvWindowsOsName(5, 2, kOrvOsServer, kOrvSuiteStorageServer, false),
                 "Win Storage Server 2003");
    EXPECT_STREQ(OrvWindowsOsName(5, 2, kOrvOsWorkstation, 0, false), "XP Pro");
    EXPECT_STREQ(OrvWindowsOsName(5, 1, kOrvOsWorkstation, kOrvSuitePersonal, false), "WinXP Home");
    EXPECT_STREQ(OrvWindowsOsName(5, 0, kOrvOsServer, kOrvSuiteEnterprise, false),
                 "Win2000 Advanced Server");
    EXPECT_STREQ(OrvMinimumWindowsText(4), "Tovrin requires at least Windows 2000 to run");
}
