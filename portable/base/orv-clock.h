// The clocks of the library and the calendar breakdown of a time, in one place: the time
// functions, the log and the trace all read the system's clocks through these.
//
// Any thread; nothing here blocks or allocates.
#pragma once

#include <cstdint>

struct tm;

// Nanoseconds since 1970-01-01 00:00:00 UTC by the system's wall clock (which may jump).
int64_t OrvClockRealtimeNs();
// Nanoseconds of a clock that never jumps (counted from an arbitrary start), for intervals.
int64_t OrvClockMonotonicNs();
// Seconds since 1970 by the wall clock.
int64_t OrvClockNow();
// The UTC (bLocal false) or local calendar fields of t, seconds since 1970, as gmtime_r and
// localtime_r give them. False when the C library cannot represent t (*pTm unspecified then).
[[nodiscard]] bool OrvClockBreakdown(int64_t t, bool bLocal, struct tm* pTm);
