// What the time functions take from the operating system (implemented in orv-time-posix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "orv-string.h"

struct tm;

// timegm / mktime of the fields (normalised in place); false when the C library fails.
bool OrvTimeOsMake(struct tm* pTm, bool bUtc, int64_t& t);
// strftime in the "C" locale into pBuf (nCap bytes); the count written, 0 when it does not fit.
size_t OrvTimeOsFormat(char* pBuf, size_t nCap, const char* pszPattern, const struct tm* pTm);
// The user's locale date format and time format of the fields, joined by one space, as UTF-8.
bool OrvTimeOsLocaleText(const struct tm* pTm, COrvStringA& strOut);
// Sleeps nMs milliseconds; with bAlertable a signal ends the sleep early (then false).
bool OrvTimeOsSleep(int64_t nMs, bool bAlertable);
