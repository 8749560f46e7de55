// Tests of COrvWaitableTimer: signalled state, cancelling, waits from another thread, and the
// failures of the system calls behind it.
#include "orv-timer.h"

#include <gtest/gtest.h>
#include <sys/timerfd.h>

#include <atomic>
#include <string>
#include <thread>

#include "orv-result.h"
#include "orv-sys.h"
#include "support/orv-test-support.h"

namespace {

const auto& Str = OrvStr;

TEST(WaitableTimer, FiresAndCancels) {
    COrvWaitableTimer timer;
    int nCode = 0;
    COrvStringA strError;
    EXPECT_FALSE(timer.Set(OrvTimeNow(), nCode, strError) || timer.Close(nCode, strError));

    ASSERT_TRUE(timer.Create(nCode, strError)) << Str(strError);
    // Not signalled before it is set.
    EXPECT_FALSE(timer.Wait(50, nCode, strError));
    EXPECT_EQ(nCode, enNetTimeout);

    // A due time in the past signals at once, and stays signalled (manual reset).
    ASSERT_TRUE(timer.Set(OrvTimeNow() - 10, nCode, strError));
    EXPECT_TRUE(timer.Wait(5000, nCode, strError));
    EXPECT_TRUE(timer.Wait(0, nCode, strError));
    ASSERT_TRUE(timer.Cancel(nCode, strError));
    EXPECT_FALSE(timer.Wait(0, nCode, strError));

    // Cancelled before it is due: it never fires.
    ASSERT_TRUE(timer.SetAfter(200, nCode, strError));
    ASSERT_TRUE(timer.Cancel(nCode, strError));
    EXPECT_FALSE(timer.Wait(600, nCode, strError));

    // Another thread's wait ends when the timer fires.
    ASSERT_TRUE(timer.SetAfter(100, nCode, strError));
    std::atomic<bool> bWoke{false};
    std::thread waiter([&] {
        int n = 0;
        COrvStringA s;
        bWoke = timer.Wait(10000, n, s);
    });
    waiter.join();
    EXPECT_TRUE(bWoke);

    ASSERT_TRUE(timer.Close(nCode, strError));
    EXPECT_FALSE(timer.IsCreated());
    EXPECT_FALSE(timer.Cancel(nCode, strError));
}

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
