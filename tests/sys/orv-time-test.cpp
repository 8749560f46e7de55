// Time: breakdown limits, file times, formats, Internet and user date parsing under fixed zones,
// durations, calendar days, sleeps and the waitable timer.
#include "orv-time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "orv-result.h"
#include "orv-trace.h"
#include "support/orv-test-support.h"

namespace {

const auto& Str = OrvStr;

// Runs each test under a fixed time zone and counts assertion reports; restores both afterwards.
class TimeTest : public ::testing::Test {
protected:
    void UseZone(const char* pszZone) { m_tz.Set(pszZone); }
    int Asserts() const { return static_cast<int>(m_reports.Count()); }
    long LastErr() const { return m_reports.Reports().back().nErr; }
    OrvReportCapture m_reports;

private:
    OrvScopedEnv m_tz{"TZ", "UTC"};
};

constexpr OrvTime kLimit = 2145830400;  // 2037-12-31 00:00:00 UTC

TEST_F(TimeTest, ConstructChecksBoundsAndZones) {
    EXPECT_EQ(OrvTimeConstruct(true, 1994, 11, 6, 8, 49, 37), 784111777);
    // Each violated bound is reported, and the carried-over fields still convert.
    EXPECT_EQ(OrvTimeConstruct(true, 2000, 13, 1, 24, 0, 0),
              OrvTimeConstruct(true, 2001, 1, 2, 0, 0, 0));
    EXPECT_EQ(Asserts(), 2);
    EXPECT_EQ(LastErr(), static_cast<long>(ORV_ATL_E_FAIL));

    EXPECT_EQ(OrvTimeConstruct(true, 1969, 12, 31, 23, 59, 59), -1);  // before 1970
    EXPECT_EQ(Asserts(), 3);
    EXPECT_EQ(LastErr(), static_cast<long>(ORV_ATL_E_INVALIDARG));

    UseZone("Europe/Berlin");
    EXPECT_EQ(OrvTimeConstruct(false, 2024, 7, 15, 12, 0, 0),
              OrvTimeConstruct(true, 2024, 7, 15, 10, 0, 0));
}

TEST_F(TimeTest, FormatTimeTexts) {
    EXPECT_EQ(Str(OrvFormatTime(0)), "(null-time)");
    EXPECT_EQ(Str(OrvFormatTime(kLimit + 1)), "(bad-time-1)");
    EXPECT_EQ(Str(OrvFormatTime(784111777, "%Y-%m-%d %H:%M:%S", false)), "1994-11-06 08:49:37");
    // 127 characters fit, 128 do not.
    EXPECT_EQ(OrvFormatTime(784111777, std::string(127, 'x').c_str()).GetLength(), 127);
    EXPECT_EQ(Str(OrvFormatTime(784111777, std::string(128, 'x').c_str())), "(bad-time-2)");

    UseZone("Europe/Berlin");
    EXPECT_EQ(Str(OrvFormatTime(OrvTimeConstruct(true, 2024, 7, 1, 0, 0, 0), "%H %Z")), "02 CEST");
    const COrvStringW w = OrvFormatTimeW(784111777, u"%d.%m.%Y \u00e9", false);
    EXPECT_TRUE(w == COrvStringW(u"06.11.1994 \u00e9"));
    // The locale text: the C locale's "%m/%d/%y" and "%H:%M:%S", local time.
    UseZone("America/New_York");
    EXPECT_EQ(Str(OrvLocaleTimeText(784111777)), "11/06/94 03:49:37");
}

// A code 0 row is read as the time given; any other is refused with that code and time 0.
TEST_F(TimeTest, InetParsingOfFixdateZonesAndIso) {
    const struct {
        const char* psz;
        OrvTime t;
        int nCode;
    } cases[] = {
        {"Sun, 06 Nov 1994 14:19:37 +0530", 784111777, enNetOk},
        {"1994-11-06T08:49:37Z", 784111777, enNetOk},
        {"Fri, 31 Dec 9999 23:59:59 GMT", 253402300799, enNetOk},
        {"Sunday, 06-Nov-94 08:49:37 GMT", 0, enNetBadRequest},  // RFC 850 is not read
        {"Sun, 06 Foo 1994 08:49:37 GMT", 0, enNetServer},
        {"Sun, 31 Feb 1994 08:49:37 GMT", 0, enNetBadRequest},
        {"Wed, 31 Dec 1969 23:59:59 GMT", 0, enNetBadRequest},
    };
    for (const auto& c : cases) {
        OrvTime t = -7;
        int nCode = -1;
        COrvStringA strError;
        EXPECT_EQ(OrvParseInetTime(c.psz, t, nCode, strError), c.nCode == enNetOk) << c.psz;
        EXPECT_TRUE(t == c.t && nCode == c.nCode) << c.psz << ": " << Str(strError);
    }
    // An unknown zone is reported and read as UTC.
    OrvTime t = 5;
    int nCode = 0;
    COrvStringA strError;
    EXPECT_TRUE(OrvParseInetTime("Sun, 06 Nov 1994 08:49:37 PST", t, nCode, strError));
    EXPECT_EQ(t, 784111777);
    EXPECT_EQ(Asserts(), 1);
}

TEST_F(TimeTest, UserDateInput) {
    OrvTime t = 0;
    int nCode = 0;
    COrvStringA strError;
    const OrvTime tBefore = OrvTimeNow();
    ASSERT_TRUE(OrvParseUserDate("+2d", t, nCode, strError));
    EXPECT_GE(t, tBefore + 2 * 86400);
    EXPECT_LE(t, OrvTimeNow() + 2 * 86400);
    ASSERT_TRUE(OrvParseUserDate("-90m", t, nCode, strError));
    EXPECT_GE(t, tBefore - 90 * 60);
    EXPECT_LE(t, OrvTimeNow() - 90 * 60);

    UseZone("Europe/Berlin");
    ASSERT_TRUE(OrvParseUserDate("2024/3/31", t, nCode, strError));
    EXPECT_EQ(t, OrvTimeConstruct(true, 2024, 3, 30, 23, 0, 0));

    for (const char* psz : {"+2x", "+d", "+2.5d", "+99999999999999999999d", "-999999999d",
                            "2024/2/30", "1969/12/31", "3001/1/1", "2024-01-05"}) {
        t = 5;
        EXPECT_FALSE(OrvParseUserDate(psz, t, nCode, strError) || t != 0) << psz;
    }
}

TEST_F(TimeTest, DateTimeAndDateOnlyInput) {
    UseZone("America/New_York");
    const OrvTime tFull = OrvTimeConstruct(true, 2024, 1, 5, 15, 20, 30);
    const OrvTime tDay = OrvTimeConstruct(true, 2024, 1, 5, 5, 0, 0);
    auto* const pfnFull = &OrvParseUserDateTime;
    auto* const pfnDay = &OrvParseUserDateOnly;
    // A time of -1: refused, with the time set to 0.
    // clang-format off
    const struct { decltype(pfnFull) pfn; const char* psz; OrvTime t; } kCases[] = {
        {pfnFull, "", 0}, {pfnFull, "2024/1/5T10:20:30", tFull}, {pfnFull, "20240105102030", tFull},
        {pfnFull, "2024-1-5  at 10:20:30", tFull}, {pfnFull, "2024-01-05", tDay},
        {pfnFull, "2024-01-05 10:20", tFull - 30}, {pfnFull, "24-1-5", -1},
        {pfnFull, "2024-13-05 10:00:00", -1}, {pfnFull, "2023-02-29 10:00:00", -1},
        {pfnFull, "20240230", -1}, {pfnDay, "20240105", tDay}, {pfnDay, "2024/01/05", tDay},
        {pfnDay, "2024.01.05", -1}};
    // clang-format on
    for (const auto& c : kCases) {
        OrvTime t = 5;
        int nCode = 0;
        COrvStringA strError;
        EXPECT_EQ(c.pfn(c.psz, t, nCode, strError), c.t >= 0) << c.psz;
        EXPECT_EQ(t, c.t >= 0 ? c.t : 0) << c.psz;
    }
}

TEST_F(TimeTest, TimeRanges) {
    OrvTime tFrom = 5, tTo = 5;
    int nCode = 0;
    COrvStringA strError;
    ASSERT_TRUE(OrvParseTimeRange("2024/1/5, 2024/1/7", tFrom, tTo, nCode, strError));
    EXPECT_EQ(tTo - tFrom, 2 * 86400);
    ASSERT_TRUE(OrvParseTimeRange("-2d,+1h", tFrom, tTo, nCode, strError));
    EXPECT_EQ(tTo - tFrom, 2 * 86400 + 3600);

    for (const char* psz : {"2024/1/5", "+1d,+2d,+3d", "+2x,+1d", "+1d, 2024/2/31"}) {
        nCode = 0;
        EXPECT_FALSE(OrvParseTimeRange(psz, tFrom, tTo, nCode, strError));
        EXPECT_TRUE(nCode == enNetBadRequest && tFrom == 0 && tTo == 0) << psz;
    }
    EXPECT_EQ(Str(strError), "second time bad in range: 2024/2/31");  // the part trimmed
}

TEST_F(TimeTest, ConcurrentFormattingUnderOneZone) {
    UseZone("Europe/Berlin");
    std::atomic<int> nWrong{0};
    std::thread threads[3];
    for (auto& th : threads) {
        th = std::thread([&] {
            for (int i = 0; i < 200; ++i) {
                if (Str(OrvFormatTime(784111777)) != "1994-11-06 09:49:37")
                    ++nWrong;
                COrvStringA s;
                if (!OrvFormatInetTime(784111777 + i, s) || s.GetLength() != 29)
                    ++nWrong;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(nWrong, 0);
}

}  // namespace
