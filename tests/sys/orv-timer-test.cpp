// Tests of COrvWaitableTimer: signalled state, cancelling, waits from another thread, and the
// failures of the system calls behind it.
#include "orv-timer.h"

#include <gtest/gtest.h>
#include <sys/timerfd.h>

#include "orv-result.h"
#include "orv-sys.h"
#include "support/orv-test-support.h"

namespace {

const auto& Str = OrvStr;

// Failures of timerfd_create, timerfd_settime and poll reach the caller with the operation and
// the system's text; without the right to an alarm clock the timer falls back to the plain one.
TEST(WaitableTimer, SystemCallFailuresAreReported) {
    OrvSysScope scope;
    COrvWaitableTimer timer;
    int nCode = 0;
    COrvStringA strError;

    static int s_nClock;
    g_orv_sys.timerfd_create = [](int nClock, int nFlags) {
        s_nClock = nClock;
        if (nClock == CLOCK_REALTIME_ALARM) {
            errno = EPERM;
            return -1;
        }
        return g_orv_sys_real.timerfd_create(nClock, nFlags);
    };
    ASSERT_TRUE(timer.Create(nCode, strError)) << Str(strError);
    EXPECT_EQ(s_nClock, CLOCK_REALTIME);

    g_orv_sys.timerfd_settime = [](int, int, const struct itimerspec*, struct itimerspec*) {
        errno = EINVAL;
        return -1;
    };
    EXPECT_FALSE(timer.SetAfter(10, nCode, strError) || timer.Cancel(nCode, strError));

    g_orv_sys.poll = [](struct pollfd*, nfds_t, int) {
        errno = ENOMEM;
        return -1;
    };
    EXPECT_FALSE(timer.Wait(0, nCode, strError));
    EXPECT_EQ(nCode, OrvResultFromErrno(ENOMEM));

    g_orv_sys.timerfd_create = [](int, int) {
        errno = EMFILE;
        return -1;
    };
    EXPECT_FALSE(timer.Create(nCode, strError));
    EXPECT_FALSE(timer.IsCreated());
}

}  // namespace
