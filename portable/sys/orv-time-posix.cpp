// The operating-system side of time: clock, C library conversions, the user's locale, sleeps,
// the time zone and the waitable timer on timerfd.
#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

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
    if (!pszCodeset || strcasecmp(pszCodeset, "UTF-8") == 0 ||
        strcasecmp(pszCodeset, "ANSI_X3.4-1968") == 0) {
        strOut = psz;
        return true;
    }
    iconv_t cd = iconv_open("UTF-8", pszCodeset);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        strOut = psz;
        return true;
    }
    char szOut[1024];
    char* pIn = const_cast<char*>(psz);
    size_t nIn = std::strlen(psz);
    char* pOut = szOut;
    size_t nOut = sizeof(szOut) - 1;
    const size_t r = iconv(cd, &pIn, &nIn, &pOut, &nOut);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) {
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

void TimerFailure(const char* pszWhat, int nErrno, int& nCode, COrvStringA& strError) {
    nCode = OrvResultFromErrno(nErrno);
    strError.Format("cannot %s waitable timer: ", pszWhat);
    strError += OrvErrnoText(nErrno);
}

bool ArmTimer(int fd, const struct timespec& due, int& nCode, COrvStringA& strError) {
    struct itimerspec its = {};
    its.it_value = due;
    // An all-zero value would disarm: a due time at or before the epoch is simply "already past".
    if (its.it_value.tv_sec <= 0 && its.it_value.tv_nsec <= 0) {
        its.it_value.tv_sec = 0;
        its.it_value.tv_nsec = 1;
    }
    if (::timerfd_settime(fd, TFD_TIMER_ABSTIME, &its, nullptr) < 0) {
        TimerFailure("set", errno, nCode, strError);
        return false;
    }
    nCode = enNetOk;
    strError.Empty();
    return true;
}

}  // namespace

int64_t OrvTimeOsNow() {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}

bool OrvTimeOsBreakdown(int64_t t, bool bLocal, struct tm* pTm) {
    const time_t tt = static_cast<time_t>(t);
    return (bLocal ? ::localtime_r(&tt, pTm) : ::gmtime_r(&tt, pTm)) != nullptr;
}

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
    const time_t now = static_cast<time_t>(OrvTimeOsNow());
    struct tm tmNow;
    if (!::localtime_r(&now, &tmNow)) {
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
        if (t == static_cast<time_t>(-1) || !::localtime_r(&t, &tmLocal)) {
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

COrvWaitableTimer::~COrvWaitableTimer() {
    int nCode;
    COrvStringA strError;
    if (m_fd >= 0) {
        Close(nCode, strError);
    }
}

bool COrvWaitableTimer::Create(int& nCode, COrvStringA& strError) {
    if (m_fd >= 0) {
        Close(nCode, strError);
    }
    // An alarm clock wakes a suspended system; without the right to use one, an ordinary clock.
    int fd = ::timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC | TFD_NONBLOCK);
    if (fd < 0 && (errno == EPERM || errno == EINVAL)) {
        fd = ::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
    }
    if (fd < 0) {
        TimerFailure("create", errno, nCode, strError);
        return false;
    }
    m_fd = fd;
    nCode = enNetOk;
    strError.Empty();
    return true;
}

bool COrvWaitableTimer::Set(OrvTime tDue, int& nCode, COrvStringA& strError) {
    if (!CheckCreated("set", nCode, strError)) {
        return false;
    }
    struct timespec due = {};
    due.tv_sec = static_cast<time_t>(tDue);
    return ArmTimer(m_fd, due, nCode, strError);
}

bool COrvWaitableTimer::SetAfter(int64_t nMilliseconds, int& nCode, COrvStringA& strError) {
    if (!CheckCreated("set", nCode, strError)) {
        return false;
    }
    if (nMilliseconds < 0) {
        nMilliseconds = 0;
    }
    struct timespec due;
    ::clock_gettime(CLOCK_REALTIME, &due);
    due.tv_sec += static_cast<time_t>(nMilliseconds / 1000);
    due.tv_nsec += static_cast<long>(nMilliseconds % 1000) * 1000000L;
    if (due.tv_nsec >= 1000000000L) {
        due.tv_nsec -= 1000000000L;
        ++due.tv_sec;
    }
    return ArmTimer(m_fd, due, nCode, strError);
}

bool COrvWaitableTimer::Cancel(int& nCode, COrvStringA& strError) {
    if (!CheckCreated("cancel", nCode, strError)) {
        return false;
    }
    const struct itimerspec its = {};
    if (::timerfd_settime(m_fd, 0, &its, nullptr) < 0) {
        TimerFailure("cancel", errno, nCode, strError);
        return false;
    }
    nCode = enNetOk;
    strError.Empty();
    return true;
}

bool COrvWaitableTimer::Wait(int nTimeoutMs, int& nCode, COrvStringA& strError) {
    if (!CheckCreated("wait for", nCode, strError)) {
        return false;
    }
    // Poll only, never read: the expiry count stays, so the timer stays signalled (manual reset).
    struct timespec start;
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int nLeft = nTimeoutMs;
        if (nTimeoutMs >= 0) {
            struct timespec now;
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            const int64_t nElapsed =
                (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000L;
            nLeft = nElapsed >= nTimeoutMs ? 0 : static_cast<int>(nTimeoutMs - nElapsed);
        }
        struct pollfd pfd = {m_fd, POLLIN, 0};
        const int r = ::poll(&pfd, 1, nLeft);
        if (r > 0) {
            nCode = enNetOk;
            strError.Empty();
            return true;
        }
        if (r == 0) {
            nCode = enNetTimeout;
            strError = "waitable timer wait timed out";
            return false;
        }
        if (errno != EINTR) {
            TimerFailure("wait for", errno, nCode, strError);
            return false;
        }
    }
}

bool COrvWaitableTimer::Close(int& nCode, COrvStringA& strError) {
    if (!CheckCreated("close", nCode, strError)) {
        return false;
    }
    const int fd = m_fd;
    m_fd = -1;
    // Not retried: Linux releases the descriptor even when close reports EINTR.
    if (::close(fd) < 0 && errno != EINTR) {
        TimerFailure("close", errno, nCode, strError);
        return false;
    }
    nCode = enNetOk;
    strError.Empty();
    return true;
}
