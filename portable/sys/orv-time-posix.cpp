// The operating-system side of time: clock, C library conversions, the user's locale, sleeps,
// the time zone.
#include <errno.h>
#include <langinfo.h>
#include <locale.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "orv-clock.h"
#include "orv-iconv.h"
#include "orv-result.h"
#include "orv-time-os.h"
#include "orv-time.h"
#include "orv-trace.h"

namespace {

// The "C" locale for fixed formats and the user's locale for the locale text, made once and kept
// for the life of the process (locale objects are safe to use from any thread).
locale_t CLocale() {
    static const locale_t s_loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return s_loc;
}

locale_t UserLocale() {
    static const locale_t s_loc = [] {
        locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
        if (loc == static_cast<locale_t>(0)) {
            // LANG names a locale that is not installed: fall back to the time part only.
            loc = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
        }
        return loc;
    }();
    return s_loc;
}

// Converts text in the locale's character set to UTF-8; UTF-8 and ASCII pass unchanged.
bool ToUtf8(const char* psz, const char* pszCodeset, COrvStringA& strOut) {
    COrvIconv conv;
    // Plain ASCII is UTF-8 already as well.
    if (OrvCharsetIsUtf8(pszCodeset) || strcasecmp(pszCodeset, "ANSI_X3.4-1968") == 0 ||
        !conv.Open("UTF-8", pszCodeset)) {
        strOut = psz;
        return true;
    }
    char szOut[1024];
    const char* pIn = psz;
    size_t nIn = std::strlen(psz);
    char* pOut = szOut;
    size_t nOut = sizeof(szOut) - 1;
    if (conv.Convert(&pIn, &nIn, &pOut, &nOut) == static_cast<size_t>(-1)) {
        return false;
    }
    *pOut = 0;
    strOut = szOut;
    return true;
}

bool SleepFor(struct timespec ts, bool bAlertable) {
    while (::nanosleep(&ts, &ts) < 0) {
        if (errno != EINTR) {
            return true;
        }
        if (bAlertable) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool OrvTimeOsMake(struct tm* pTm, bool bUtc, int64_t& t) {
    errno = 0;
    const time_t r = bUtc ? ::timegm(pTm) : ::mktime(pTm);
    if (r == static_cast<time_t>(-1) && errno != 0) {
        t = -1;
        return false;
    }
    t = r;
    return true;
}

size_t OrvTimeOsFormat(char* pBuf, size_t nCap, const char* pszPattern, const struct tm* pTm) {
    const locale_t loc = CLocale();
    if (loc == static_cast<locale_t>(0)) {
        return ::strftime(pBuf, nCap, pszPattern, pTm);
    }
    return ::strftime_l(pBuf, nCap, pszPattern, pTm, loc);
}

bool OrvTimeOsLocaleText(const struct tm* pTm, COrvStringA& strOut) {
    const locale_t loc = UserLocale();
    if (loc == static_cast<locale_t>(0)) {
        return false;
    }
    // A leading blank keeps a legitimately empty result apart from "does not fit".
    char szDate[256], szTime[256];
    COrvStringA strDateFmt(" "), strTimeFmt(" ");
    strDateFmt += ::nl_langinfo_l(D_FMT, loc);
    strTimeFmt += ::nl_langinfo_l(T_FMT, loc);
    if (::strftime_l(szDate, sizeof(szDate), strDateFmt, pTm, loc) == 0 ||
        ::strftime_l(szTime, sizeof(szTime), strTimeFmt, pTm, loc) == 0) {
        return false;
    }
    COrvStringA strJoined;
    strJoined.Format("%s %s", szDate + 1, szTime + 1);
    return ToUtf8(strJoined, ::nl_langinfo_l(CODESET, loc), strOut);
}

bool OrvTimeOsSleep(int64_t nMs, bool bAlertable) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(nMs / 1000);
    ts.tv_nsec = static_cast<long>(nMs % 1000) * 1000000L;
    return SleepFor(ts, bAlertable);
}

void OrvGetTimeZoneInfo(OrvTimeZoneInfo& info) {
    info = OrvTimeZoneInfo();
    struct tm tmNow;
    if (!OrvClockBreakdown(OrvClockNow(), true, &tmNow)) {
        return;
    }
    info.bDaylightNow = tmNow.tm_isdst > 0;
    // Sample the middle of every month of this year: standard and daylight offsets and names.
    bool bHaveStandard = false;
    for (int nMonth = 0; nMonth < 12; ++nMonth) {
        struct tm tmProbe = {};
        tmProbe.tm_year = tmNow.tm_year;
        tmProbe.tm_mon = nMonth;
        tmProbe.tm_mday = 15;
        tmProbe.tm_hour = 12;
        tmProbe.tm_isdst = -1;
        time_t t = ::timegm(&tmProbe);
        struct tm tmLocal;
        if (t == static_cast<time_t>(-1) || !OrvClockBreakdown(t, true, &tmLocal)) {
            continue;
        }
        const int nBias = static_cast<int>(-tmLocal.tm_gmtoff / 60);
        if (tmLocal.tm_isdst > 0) {
            if (!info.bHasDaylight) {
                info.bHasDaylight = true;
                info.nDaylightBias = nBias;  // made relative below
                info.strDaylightName = tmLocal.tm_zone ? tmLocal.tm_zone : "";
            }
        } else if (!bHaveStandard) {
            bHaveStandard = true;
            info.nBias = nBias;
            info.strStandardName = tmLocal.tm_zone ? tmLocal.tm_zone : "";
        }
    }
    if (info.bHasDaylight) {
        info.nDaylightBias -= info.nBias;
    } else {
        info.strDaylightName = info.strStandardName;
    }
}
