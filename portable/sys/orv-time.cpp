// Time construction, breakdown, conversions, text formats, parsing and duration texts.
#include "orv-time.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

#include "orv-clock.h"
#include "orv-result.h"
#include "orv-time-os.h"
#include "orv-trace.h"
#include "orv-utf.h"

namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

constexpr const char* kRangeText = "time is out of range [1980-2037]: ";

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A small sscanf: "%d" and "%Nd" read a signed decimal (N characters at most, sign included),
// "%Ns" up to N non-blank characters into a buffer of N + 1; blanks in the format skip any blanks,
// other characters must match. Unlike sscanf a number that overflows int ends the scan. Returns
// the number of fields stored.
int Scan(const char* psz, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    int nFields = 0;
    const char* p = psz;
    for (const char* f = pszFormat; *f; ++f) {
        if (IsSpace(*f)) {
            while (IsSpace(*p)) {
                ++p;
            }
            continue;
        }
        if (*f != '%') {
            if (*p != *f) {
                break;
            }
            ++p;
            continue;
        }
        ++f;
        int nWidth = 0;
        while (IsDigit(*f)) {
            nWidth = nWidth * 10 + (*f++ - '0');
        }
        while (IsSpace(*p)) {
            ++p;
        }
        if (*f == 'd') {
            int nLeft = nWidth > 0 ? nWidth : 64;
            bool bNeg = false;
            if ((*p == '+' || *p == '-') && nLeft > 1) {
                bNeg = *p == '-';
                ++p;
                --nLeft;
            }
            if (!IsDigit(*p)) {
                break;
            }
            int64_t n = 0;
            bool bOverflow = false;
            while (nLeft > 0 && IsDigit(*p)) {
                n = n * 10 + (*p++ - '0');
                --nLeft;
                if (n > 2147483647LL) {
                    bOverflow = true;
                    break;
                }
            }
            if (bOverflow) {
                break;
            }
            *va_arg(args, int*) = static_cast<int>(bNeg ? -n : n);
            ++nFields;
        } else if (*f == 's' && nWidth > 0) {
            char* pOut = va_arg(args, char*);
            int n = 0;
            while (n < nWidth && *p && !IsSpace(*p)) {
                pOut[n++] = *p++;
            }
            pOut[n] = 0;
            if (n == 0) {
                break;
            }
            ++nFields;
        } else {
            break;
        }
    }
    va_end(args);
    return nFields;
}

bool IsLeapYear(int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int nYear, int nMonth) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return nMonth == 2 && IsLeapYear(nYear) ? 29 : kDays[nMonth - 1];
}

// Whether the fields name a real moment (no carry-over); nMaxSecond allows a leap second.
bool ValidFields(int y, int mo, int d, int h, int mi, int s, int nMinYear, int nMaxYear,
                 int nMaxSecond = 59) {
    return y >= nMinYear && y <= nMaxYear && mo >= 1 && mo <= 12 && d >= 1 &&
           d <= DaysInMonth(y, mo) && h >= 0 && h <= 23 && mi >= 0 && mi <= 59 && s >= 0 &&
           s <= nMaxSecond;
}

// Converts calendar fields without reporting: false when the result lies before 1970 or cannot
// be represented.
bool MakeTime(bool bUtc, int y, int mo, int d, int h, int mi, int s, int nDst, OrvTime& t) {
    struct tm tmFields = {};
    tmFields.tm_year = y - 1900;
    tmFields.tm_mon = mo - 1;
    tmFields.tm_mday = d;
    tmFields.tm_hour = h;
    tmFields.tm_min = mi;
    tmFields.tm_sec = s;
    tmFields.tm_isdst = bUtc ? 0 : nDst;
    int64_t n = 0;
    if (!OrvTimeOsMake(&tmFields, bUtc, n) || n < 0) {
        t = 0;
        return false;
    }
    t = n;
    return true;
}

// Day number of a proleptic Gregorian date (days since 1970-01-01).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool Breakdown(OrvTime t, bool bLocal, struct tm* pTm, COrvStringA* pstrError) {
    if (!pTm) {
        SOFTASSERT(pTm != nullptr);
        if (pstrError) {
            *pstrError = "no output for the time breakdown";
        }
        return false;
    }
    if (t > OrvTimeUpperLimit() || t < 0 || !OrvClockBreakdown(t, bLocal, pTm)) {
        SOFTASSERT(t <= OrvTimeUpperLimit() && t >= 0);
        std::memset(pTm, 0, sizeof(*pTm));
        if (pstrError) {
            pstrError->Format("time is out of range [1980-2037]: %llx",
                              static_cast<unsigned long long>(t));
        }
        return false;
    }
    return true;
}

COrvStringW Widen(const COrvStringA& str) {
    COrvStringW strW;
    COrvStringA strError;
    if (!OrvUtf8ToUtf16(str, str.GetLength(), strW, strError)) {
        strW.Empty();
    }
    return strW;
}

bool Fail(const char* pszPrefix, const char* psz, int nResult, OrvTime& t, int& nCode,
          COrvStringA& strError) {
    t = 0;
    nCode = nResult;
    strError = pszPrefix;
    strError += psz;
    return false;
}

}  // namespace

OrvTime OrvTimeNow() {
    return OrvClockNow();
}

OrvTime OrvTimeConstruct(bool bUtc, int nYear, int nMonth, int nDay, int nHour, int nMinute,
                         int nSecond, int nDst) {
    if (nYear < 1900) {
        OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
    }
    if (nMonth < 1 || nMonth > 12) {
        OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
    }
    if (nDay < 1 || nDay > 31) {
        OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
    }
    if (nHour < 0 || nHour > 23) {
        OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
    }
    if (nMinute < 0 || nMinute > 59) {
        OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
    }
    if (nSecond < 0 || nSecond > 59) {
        OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
    }
    OrvTime t = 0;
    if (!MakeTime(bUtc, nYear, nMonth, nDay, nHour, nMinute, nSecond, nDst, t)) {
        OrvAtlThrow(ORV_ATL_E_INVALIDARG, __FILE__, __LINE__);
        return -1;
    }
    return t;
}

OrvTime OrvTimeUpperLimit() {
    static const OrvTime s_limit = [] {
        OrvTime t = 0;
        MakeTime(true, 2037, 12, 31, 0, 0, 0, 0, t);
        return t;
    }();
    return s_limit;
}

bool OrvUtcTime(OrvTime t, struct tm* pTm, COrvStringA* pstrError) {
    return Breakdown(t, false, pTm, pstrError);
}

bool OrvLocalTime(OrvTime t, struct tm* pTm, COrvStringA* pstrError) {
    return Breakdown(t, true, pTm, pstrError);
}

COrvStringA OrvFormatTime(OrvTime t, const char* pszPattern, bool bLocal) {
    if (!pszPattern) {
        SOFTASSERT(pszPattern != nullptr);
        pszPattern = kOrvDefaultTimeFormat;
    }
    if (t == 0) {
        return COrvStringA("(null-time)");
    }
    struct tm tmFields;
    if (!Breakdown(t, bLocal, &tmFields, nullptr)) {
        return COrvStringA("(bad-time-1)");
    }
    // A leading blank keeps the result non-empty, so that strftime's 0 always means "too long"
    // and an empty pattern gives an empty text.
    COrvStringA strPattern(" ");
    strPattern += pszPattern;
    char szBuf[129];
    const size_t n = OrvTimeOsFormat(szBuf, sizeof(szBuf), strPattern, &tmFields);
    if (n == 0) {
        return COrvStringA("(bad-time-2)");
    }
    return COrvStringA(szBuf + 1, static_cast<int>(n - 1));
}

COrvStringW OrvFormatTimeW(OrvTime t, const char16_t* pszPattern, bool bLocal) {
    COrvStringA strPattern;
    if (!pszPattern) {
        SOFTASSERT(pszPattern != nullptr);
        strPattern = kOrvDefaultTimeFormat;
    } else {
        OrvUtf16ToUtf8(pszPattern, strPattern);
    }
    return Widen(OrvFormatTime(t, strPattern, bLocal));
}

COrvStringA OrvLocaleTimeText(OrvTime t) {
    if (t == 0) {
        return COrvStringA("(null-time)");
    }
    struct tm tmFields;
    COrvStringA strOut;
    if (!Breakdown(t, true, &tmFields, nullptr) || !OrvTimeOsLocaleText(&tmFields, strOut)) {
        return COrvStringA("(bad-time-1)");
    }
    return strOut;
}

COrvStringW OrvLocaleTimeTextW(OrvTime t) {
    return Widen(OrvLocaleTimeText(t));
}

bool OrvTimeFromFileTime(uint64_t nFileTime, OrvTime& t) {
    if (nFileTime == 0) {
        t = 0;
        return true;
    }
    if (nFileTime < kOrvFileTimeEpochOffset) {
        t = 0;
        return false;
    }
    // At most (2^64 - offset) / 10^7, far inside the signed range.
    t = static_cast<OrvTime>((nFileTime - kOrvFileTimeEpochOffset) / kOrvFileTimeUnitsPerSecond);
    return true;
}

OrvTime OrvTimeFromFileTime(uint64_t nFileTime) {
    OrvTime t = 0;
    if (!OrvTimeFromFileTime(nFileTime, t)) {
        SOFTASSERT(nFileTime >= kOrvFileTimeEpochOffset);
    }
    return t;
}

uint64_t OrvTimeToFileTime(OrvTime t, bool bLocalToUtc) {
    if (t == 0) {
        return 0;
    }
    if (bLocalToUtc) {
        // t holds local wall-clock fields counted as UTC: read them back as local time.
        struct tm tmFields;
        int64_t nUtc = 0;
        if (!OrvClockBreakdown(t, false, &tmFields)) {
            SOFTASSERT(!"local time cannot be broken down");
            return 0;
        }
        tmFields.tm_isdst = -1;
        if (!OrvTimeOsMake(&tmFields, false, nUtc)) {
            SOFTASSERT(!"local time cannot be converted to UTC");
            return 0;
        }
        t = nUtc;
    }
    constexpr int64_t kMinTime = -static_cast<int64_t>(kOrvFileTimeEpochOffset / 10000000ULL);
    constexpr int64_t kMaxTime =
        static_cast<int64_t>((~0ULL - kOrvFileTimeEpochOffset) / kOrvFileTimeUnitsPerSecond);
    if (t < kMinTime || t > kMaxTime) {
        SOFTASSERT(t >= kMinTime && t <= kMaxTime);
        return 0;
    }
    return static_cast<uint64_t>(t - kMinTime) * kOrvFileTimeUnitsPerSecond;
}

bool OrvCheckDosTimeRange(OrvTime t, int& nCode, COrvStringA& strError) {
    struct tm tmFields = {};
    const bool bBroken = OrvClockBreakdown(t, true, &tmFields);
    if (bBroken && t <= OrvTimeUpperLimit() && tmFields.tm_year >= 80) {
        nCode = enNetOk;
        strError.Empty();
        return true;
    }
    char szBuf[64];
    nCode = enNetBadRequest;
    strError = kRangeText;
    if (bBroken && OrvTimeOsFormat(szBuf, sizeof(szBuf), kOrvDefaultTimeFormat, &tmFields) > 0) {
        strError += szBuf;
    } else {
        strError.AppendFormat("%lld", static_cast<long long>(t));
    }
    return false;
}

bool OrvFormatIsoTime(OrvTime t, COrvStringA& strOut) {
    struct tm f;
    if (!Breakdown(t, false, &f, nullptr)) {
        strOut.Empty();
        return false;
    }
    strOut.Format("%04d-%02d-%02dT%02d:%02d:%02d.000Z", f.tm_year + 1900, f.tm_mon + 1, f.tm_mday,
                  f.tm_hour, f.tm_min, f.tm_sec);
    return true;
}

bool OrvFormatInetTime(OrvTime t, COrvStringA& strOut) {
    struct tm f;
    if (!Breakdown(t, false, &f, nullptr)) {
        strOut.Empty();
        return false;
    }
    strOut.Format("%s, %02d %s %04d %02d:%02d:%02d GMT", kWeekdays[f.tm_wday], f.tm_mday,
                  kMonths[f.tm_mon], f.tm_year + 1900, f.tm_hour, f.tm_min, f.tm_sec);
    return true;
}

bool OrvParseInetTime(const char* psz, OrvTime& t, int& nCode, COrvStringA& strError) {
    if (!psz) {
        psz = "";
    }
    char szWeekday[4], szMonth[4], szZone[10];
    int d = 0, y = 0, h = 0, mi = 0, s = 0, mo = 0;
    int64_t nShift = 0;
    if (Scan(psz, "%3s, %2d %3s %4d %2d:%2d:%2d %9s", szWeekday, &d, szMonth, &y, &h, &mi, &s,
             szZone) == 8) {
        for (int i = 0; i < 12 && mo == 0; ++i) {
            if (strcasecmp(szMonth, kMonths[i]) == 0) {
                mo = i + 1;
            }
        }
        if (mo == 0) {
            return Fail("bad month in date: ", psz, enNetServer, t, nCode, strError);
        }
        const bool bOffset = (szZone[0] == '+' || szZone[0] == '-') && std::strlen(szZone) == 5 &&
                             IsDigit(szZone[1]) && IsDigit(szZone[2]) && IsDigit(szZone[3]) &&
                             IsDigit(szZone[4]);
        const int nZoneMin = bOffset ? (szZone[3] - '0') * 10 + (szZone[4] - '0') : 0;
        if (bOffset && nZoneMin < 60) {
            // Local time ahead of UTC (+) is later on the wall clock: go back to UTC.
            const int64_t nOffset =
                ((szZone[1] - '0') * 10 + (szZone[2] - '0')) * 3600LL + nZoneMin * 60LL;
            nShift = szZone[0] == '+' ? -nOffset : nOffset;
        } else if (strcasecmp(szZone, "gmt") != 0 && strcasecmp(szZone, "utc") != 0) {
            SOFTASSERT(!"unknown zone in inet time");
        }
    } else if (Scan(psz, "%4d-%2d-%2dT%2d:%2d:%2dZ", &y, &mo, &d, &h, &mi, &s) != 6) {
        return Fail("cannot parse inet time: ", psz, enNetBadRequest, t, nCode, strError);
    }
    OrvTime tUtc = 0;
    if (!ValidFields(y, mo, d, h, mi, s, 1900, 9999, 60) ||
        !MakeTime(true, y, mo, d, h, mi, s, 0, tUtc) || tUtc + nShift < 0) {
        return Fail("cannot convert inet time: ", psz, enNetBadRequest, t, nCode, strError);
    }
    t = tUtc + nShift;
    nCode = enNetOk;
    strError.Empty();
    return true;
}

bool OrvParseUserDate(const char* psz, OrvTime& t, int& nCode, COrvStringA& strError) {
    if (!psz) {
        psz = "";
    }
    const size_t nLen = std::strlen(psz);
    if (nLen < 3) {
        return Fail("bad date: ", psz, enNetBadRequest, t, nCode, strError);
    }
    if (psz[0] == '+' || psz[0] == '-') {
        int64_t nUnit = 0;
        switch (psz[nLen - 1]) {
            case 'd':
                nUnit = 86400;
                break;
            case 'h':
                nUnit = 3600;
                break;
            case 'm':
                nUnit = 60;
                break;
            default:
                return Fail("bad date: ", psz, enNetBadRequest, t, nCode, strError);
        }
        // At most a million days either way: far beyond any useful range, far from overflow.
        int64_t n = 0;
        for (size_t i = 1; i + 1 < nLen; ++i) {
            if (!IsDigit(psz[i]) || (n = n * 10 + (psz[i] - '0')) * nUnit > 86400LL * 1000000) {
                return Fail("bad date: ", psz, enNetBadRequest, t, nCode, strError);
            }
        }
        const OrvTime tResult = OrvTimeNow() + (psz[0] == '+' ? n * nUnit : -n * nUnit);
        if (tResult <= 0) {
            return Fail("bad date: ", psz, enNetBadRequest, t, nCode, strError);
        }
        t = tResult;
    } else {
        int y = 0, mo = 0, d = 0;
        if (Scan(psz, "%d/%d/%d", &y, &mo, &d) != 3 ||
            !ValidFields(y, mo, d, 0, 0, 0, 1970, 3000) ||
            !MakeTime(false, y, mo, d, 0, 0, 0, -1, t) || t == 0) {
            return Fail("bad date: ", psz, enNetBadRequest, t, nCode, strError);
        }
    }
    nCode = enNetOk;
    strError.Empty();
    return true;
}

bool OrvParseUserDateTime(const char* psz, OrvTime& t, int& nCode, COrvStringA& strError) {
    if (!psz || !*psz) {
        t = 0;
        nCode = enNetOk;
        strError.Empty();
        return true;
    }
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    bool bParsed = false;
    if (std::strlen(psz) >= 8) {
        if (Scan(psz, "%d-%d-%d", &y, &mo, &d) == 3 || Scan(psz, "%d/%d/%d", &y, &mo, &d) == 3) {
            bParsed = true;
            const char* pTime = std::strpbrk(psz, " T");
            while (pTime && *pTime && !IsDigit(*pTime)) {
                ++pTime;
            }
            if (pTime && *pTime) {
                Scan(pTime, "%d:%d:%d", &h, &mi, &s);
            }
        } else {
            y = mo = d = 0;
            bParsed = Scan(psz, "%4d%2d%2d%2d%2d%2d", &y, &mo, &d, &h, &mi, &s) >= 3;
        }
    }
    if (!bParsed || !ValidFields(y, mo, d, h, mi, s, 1970, 3000) ||
        !MakeTime(false, y, mo, d, h, mi, s, -1, t) || t == 0) {
        return Fail("bad date and time: ", psz, enNetBadRequest, t, nCode, strError);
    }
    nCode = enNetOk;
    strError.Empty();
    return true;
}

bool OrvParseUserDateOnly(const char* psz, OrvTime& t, int& nCode, COrvStringA& strError) {
    if (!psz || !*psz) {
        t = 0;
        nCode = enNetOk;
        strError.Empty();
        return true;
    }
    int y = 0, mo = 0, d = 0;
    // The separated forms first: "%4d%2d%2d" would read "2024-1-5" as 2024, "-1", "-5".
    const bool bParsed = Scan(psz, "%d-%d-%d", &y, &mo, &d) == 3 ||
                         Scan(psz, "%d/%d/%d", &y, &mo, &d) == 3 ||
                         Scan(psz, "%4d%2d%2d", &y, &mo, &d) == 3;
    if (!bParsed || !ValidFields(y, mo, d, 0, 0, 0, 1970, 3000) ||
        !MakeTime(false, y, mo, d, 0, 0, 0, -1, t) || t == 0) {
        return Fail("bad date: ", psz, enNetBadRequest, t, nCode, strError);
    }
    nCode = enNetOk;
    strError.Empty();
    return true;
}

bool OrvParseTimeRange(const char* psz, OrvTime& tFrom, OrvTime& tTo, int& nCode,
                       COrvStringA& strError) {
    tFrom = tTo = 0;
    if (!psz) {
        psz = "";
    }
    const char* pComma = std::strchr(psz, ',');
    if (!pComma) {
        return Fail("no comma in time range: ", psz, enNetBadRequest, tFrom, nCode, strError);
    }
    if (std::strchr(pComma + 1, ',')) {
        return Fail("more than one comma in time range: ", psz, enNetBadRequest, tFrom, nCode,
                    strError);
    }
    COrvStringA strFirst(psz, static_cast<int>(pComma - psz));
    COrvStringA strSecond(pComma + 1);
    strFirst.Trim();
    strSecond.Trim();
    COrvStringA strInner;
    if (!OrvParseUserDate(strFirst, tFrom, nCode, strInner)) {
        return Fail("first time bad in range: ", strFirst, enNetBadRequest, tFrom, nCode, strError);
    }
    if (!OrvParseUserDate(strSecond, tTo, nCode, strInner)) {
        tFrom = 0;
        return Fail("second time bad in range: ", strSecond, enNetBadRequest, tTo, nCode, strError);
    }
    nCode = enNetOk;
    strError.Empty();
    return true;
}

COrvStringA OrvDurationText(OrvTimeSpan s) {
    if (s < 0) {
        SOFTASSERT(s >= 0);
        s = 0;
    }
    COrvStringA str;
    if (s >= 345600) {
        str.Format("%lld days", static_cast<long long>(s / 86400));
    } else if (s / 3600 > 0) {
        str.Format("%02d:%02d:%02d", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                   static_cast<int>(s % 60));
    } else if (s / 60 > 0) {
        str.Format("%02d:%02d", static_cast<int>(s / 60), static_cast<int>(s % 60));
    } else {
        str.Format("%d sec", static_cast<int>(s));
    }
    return str;
}

COrvStringW OrvDurationTextW(OrvTimeSpan s) {
    return Widen(OrvDurationText(s));
}

int64_t OrvCalendarDaysBetween(OrvTime t1, OrvTime t2) {
    struct tm a, b;
    if (!Breakdown(t1, true, &a, nullptr) || !Breakdown(t2, true, &b, nullptr)) {
        SOFTASSERT(!"calendar days of a time that cannot be broken down");
        return 0;
    }
    // Day numbers of the local dates: local midnights can be 23 or 25 hours apart.
    return DaysFromCivil(b.tm_year + 1900LL, b.tm_mon + 1, b.tm_mday) -
           DaysFromCivil(a.tm_year + 1900LL, a.tm_mon + 1, a.tm_mday);
}

void OrvSleep(int nMilliseconds) {
    OrvTimeOsSleep(nMilliseconds < 0 ? 100 : nMilliseconds, false);
}

void OrvSleepSeconds(int nSeconds, bool bAllowLong) {
    if (nSeconds < 0) {
        SOFTASSERT(nSeconds >= 0);
        nSeconds = 1;
    } else if (!bAllowLong && nSeconds >= 5) {
        SOFTASSERT(nSeconds < 5);
        nSeconds = 5;
    }
    OrvTimeOsSleep(nSeconds * 1000LL, false);
}

bool OrvSleepSecondsAlertable(int nSeconds) {
    return OrvTimeOsSleep((nSeconds < 0 ? 1 : nSeconds) * 1000LL, true);
}
