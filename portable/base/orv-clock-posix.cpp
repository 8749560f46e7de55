// The clocks on clock_gettime and the breakdown on the reentrant C library calls.
#include <time.h>

#include "orv-clock.h"

namespace {

int64_t ReadNs(clockid_t nClock) {
    struct timespec ts;
    ::clock_gettime(nClock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

int64_t OrvClockRealtimeNs() {
    return ReadNs(CLOCK_REALTIME);
}

int64_t OrvClockMonotonicNs() {
    return ReadNs(CLOCK_MONOTONIC);
}

int64_t OrvClockNow() {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

bool OrvClockBreakdown(int64_t t, bool bLocal, struct tm* pTm) {
    const time_t tt = static_cast<time_t>(t);
    return (bLocal ? ::localtime_r(&tt, pTm) : ::gmtime_r(&tt, pTm)) != nullptr;
}
