// Time values of the library: construction, breakdown, file-time conversion, text formats, parsing
// of Internet and user dates, duration texts and sleeps. The waitable timer is in orv-timer.h.
//
// Every function here may be called from any thread at the same time: breakdowns use the
// reentrant C library forms and nothing changes process-wide state (the time zone is read from the
// environment, never set).
#pragma once

#include <cstdint>

#include "orv-string.h"

struct tm;

// Seconds since 1970-01-01 00:00:00 UTC; 0 means "no time" (the null time).
using OrvTime = int64_t;
// A signed count of seconds.
using OrvTimeSpan = int64_t;

// 100-nanosecond units between 1601-01-01 and 1970-01-01: the origin of file times.
constexpr uint64_t kOrvFileTimeEpochOffset = 116444736000000000ULL;
constexpr uint64_t kOrvFileTimeUnitsPerSecond = 10000000ULL;

// The current time. Never fails.
OrvTime OrvTimeNow();

// Builds a time from calendar fields (month 1-12, day 1-31), read as UTC when bUtc is set and as
// local time otherwise; nDst is the daylight flag for local time (-1: let the zone decide). Each
// field outside year >= 1900, month 1-12, day 1-31, hour <= 23, minute <= 59, second <= 59 is
// reported as an E_FAIL assertion and the fields are still converted (out-of-range values carry
// over). A result before 1970 or one the C library cannot represent is reported as an E_INVALIDARG
// assertion and gives -1.
OrvTime OrvTimeConstruct(bool bUtc, int nYear, int nMonth, int nDay, int nHour, int nMinute,
                         int nSecond, int nDst = -1);

// days * 86400 + hours * 3600 + minutes * 60 + seconds.
constexpr OrvTimeSpan OrvTimeSpanOf(int64_t nDays, int64_t nHours, int64_t nMinutes,
                                    int64_t nSeconds) {
    return nDays * 86400 + nHours * 3600 + nMinutes * 60 + nSeconds;
}

// The latest time the library breaks down: 2037-12-31 00:00:00 UTC (computed once).
OrvTime OrvTimeUpperLimit();

// Breaks a time down into UTC (OrvUtcTime) or local (OrvLocalTime) calendar fields. Fails for a
// null pTm (soft assertion) and for a time after the upper limit or before 1970 (soft assertion,
// text "time is out of range [1980-2037]: %llx" with the raw value). The null time breaks down to
// 1970-01-01. On failure *pTm (when given) is zeroed and pstrError (when given) holds the text.
[[nodiscard]] bool OrvUtcTime(OrvTime t, struct tm* pTm, COrvStringA* pstrError = nullptr);
[[nodiscard]] bool OrvLocalTime(OrvTime t, struct tm* pTm, COrvStringA* pstrError = nullptr);

// Formats a time with a strftime pattern in local time (bLocal) or UTC. Gives "(null-time)" for the
// null time, "(bad-time-1)" when the breakdown fails and "(bad-time-2)" when the result does not
// fit into 127 characters. A null pattern is reported (soft assertion) and the default pattern
// used.
constexpr const char* kOrvDefaultTimeFormat = "%Y-%m-%d %H:%M:%S";
COrvStringA OrvFormatTime(OrvTime t, const char* pszPattern = kOrvDefaultTimeFormat,
                          bool bLocal = true);
COrvStringW OrvFormatTimeW(OrvTime t, const char16_t* pszPattern, bool bLocal = true);

// The local time in the user's locale (taken from LANG / LC_ALL / LC_TIME): the locale's date
// format and time format joined by one space, as UTF-8 (OrvLocaleTimeText) or UTF-16. The null
// time and a failed breakdown give the same texts as OrvFormatTime.
COrvStringA OrvLocaleTimeText(OrvTime t);
COrvStringW OrvLocaleTimeTextW(OrvTime t);

// File time (100 ns units since 1601) to a time: 0 stays 0; a file time before 1970 is reported
// (soft assertion) and gives 0. The second form returns false instead of asserting and then
// stores 0.
OrvTime OrvTimeFromFileTime(uint64_t nFileTime);
[[nodiscard]] bool OrvTimeFromFileTime(uint64_t nFileTime, OrvTime& t);
// Time to a file time: 0 stays 0; with bLocalToUtc the time is taken as local wall-clock fields
// (counted as if they were UTC) and moved to UTC first. A time a file time cannot hold (before
// 1601 or beyond its 64 bits) is reported (soft assertion) and gives 0.
uint64_t OrvTimeToFileTime(OrvTime t, bool bLocalToUtc = false);

// Whether a time fits an archive (DOS) date: local year 1980 or later and not after the upper
// limit. On failure nCode is enNetBadRequest and strError "time is out of range [1980-2037]: "
// followed by the time as "%Y-%m-%d %H:%M:%S" local time.
[[nodiscard]] bool OrvCheckDosTimeRange(OrvTime t, int& nCode, COrvStringA& strError);

// "YYYY-MM-DDThh:mm:ss.000Z" (OrvFormatIsoTime) and "Www, DD Mmm YYYY hh:mm:ss GMT"
// (OrvFormatInetTime), both UTC. False with an empty strOut when the breakdown fails.
[[nodiscard]] bool OrvFormatIsoTime(OrvTime t, COrvStringA& strOut);
[[nodiscard]] bool OrvFormatInetTime(OrvTime t, COrvStringA& strOut);

// Parses an Internet date "Www, DD Mmm YYYY hh:mm:ss ZONE" (zone gmt, utc, +hhmm or -hhmm; any
// other zone is reported and taken as UTC) or "YYYY-MM-DDThh:mm:ssZ". Failures (t = 0):
// "bad month in date: " (enNetServer), "cannot convert inet time: " for fields that give no time
// and "cannot parse inet time: " for text of neither form (enNetBadRequest), each + the text.
[[nodiscard]] bool OrvParseInetTime(const char* psz, OrvTime& t, int& nCode, COrvStringA& strError);

// User date input: "+N" or "-N" followed by d, h or m is now plus or minus N days, hours or
// minutes; otherwise "Y/M/D" (year 1970-3000) gives local midnight of that day. Failures (t = 0,
// enNetBadRequest): "bad date: " + the text.
[[nodiscard]] bool OrvParseUserDate(const char* psz, OrvTime& t, int& nCode, COrvStringA& strError);
// Date-time input as local time: "Y-M-D" or "Y/M/D", optionally followed after a space or "T" by
// "h:m:s" (missing time fields are 0), or the compact "YYYYMMDD[hhmmss]". Empty text gives the null
// time. Failures (t = 0, enNetBadRequest): "bad date and time: " + the text.
[[nodiscard]] bool OrvParseUserDateTime(const char* psz, OrvTime& t, int& nCode,
                                        COrvStringA& strError);
// Date-only input as local midnight: "YYYYMMDD", "Y-M-D" or "Y/M/D". Empty text gives the null
// time. Failures (t = 0, enNetBadRequest): "bad date: " + the text.
[[nodiscard]] bool OrvParseUserDateOnly(const char* psz, OrvTime& t, int& nCode,
                                        COrvStringA& strError);
// Two user dates separated by one comma (blanks around each side are ignored). Failures (both
// times 0, enNetBadRequest): "no comma in time range: ", "more than one comma in time range: " +
// the text; "first time bad in range: " or "second time bad in range: " + that side.
[[nodiscard]] bool OrvParseTimeRange(const char* psz, OrvTime& tFrom, OrvTime& tTo, int& nCode,
                                     COrvStringA& strError);

// Duration text for s >= 0 seconds: "N days" from four days on, else "hh:mm:ss" from one hour on,
// else "mm:ss" from one minute on, else "N sec". A negative span is reported and taken as 0.
COrvStringA OrvDurationText(OrvTimeSpan s);
COrvStringW OrvDurationTextW(OrvTimeSpan s);

// Calendar days from t1's local date to t2's local date (negative when t2's date is earlier);
// daylight-saving changes in between do not shift the count. 0 (soft assertion) when either time
// cannot be broken down.
int64_t OrvCalendarDaysBetween(OrvTime t1, OrvTime t2);

// Blocks the calling thread. OrvSleep: milliseconds, a negative value sleeps 100 ms.
// OrvSleepSeconds: a negative value is reported and sleeps 1 s; without bAllowLong 5 s or more is
// reported and sleeps 5 s. Signals do not cut these sleeps short.
void OrvSleep(int nMilliseconds);
void OrvSleepSeconds(int nSeconds, bool bAllowLong = false);
// Sleeps nSeconds (a negative value sleeps 1 s) but returns early when a signal handler runs on
// this thread: true after the full time, false when cut short.
bool OrvSleepSecondsAlertable(int nSeconds);

// The local zone as Windows describes it: UTC = local + bias (minutes). Standard and daylight
// names and biases come from the zone's rules for the current year (daylight equals standard when
// the zone has no daylight time). Never fails; the names may be empty.
struct OrvTimeZoneInfo {
    int nBias = 0;          // minutes: UTC minus local standard time
    int nDaylightBias = 0;  // minutes added to nBias during daylight time (usually -60)
    bool bHasDaylight = false;
    bool bDaylightNow = false;
    COrvStringA strStandardName;
    COrvStringA strDaylightName;
};
void OrvGetTimeZoneInfo(OrvTimeZoneInfo& info);
