// COrvWaitableTimer on timerfd: an absolute CLOCK_REALTIME_ALARM timer (CLOCK_REALTIME without the
// right to wake the system), polled and never read so that it stays signalled once due.
#include <errno.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>

#include "orv-clock.h"
#include "orv-result.h"
#include "orv-sys.h"
#include "orv-timer.h"

namespace {

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
    if (g_orv_sys.timerfd_settime(fd, TFD_TIMER_ABSTIME, &its, nullptr) < 0) {
        TimerFailure("set", errno, nCode, strError);
        return false;
    }
    nCode = enNetOk;
    strError.Empty();
    return true;
}

}  // namespace

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
    int fd = g_orv_sys.timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC | TFD_NONBLOCK);
    if (fd < 0 && (errno == EPERM || errno == EINVAL)) {
        fd = g_orv_sys.timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
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
    const int64_t nNowNs = OrvClockRealtimeNs();
    struct timespec due;
    due.tv_sec = static_cast<time_t>(nNowNs / 1000000000 + nMilliseconds / 1000);
    due.tv_nsec = static_cast<long>(nNowNs % 1000000000 + nMilliseconds % 1000 * 1000000);
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
    if (g_orv_sys.timerfd_settime(m_fd, 0, &its, nullptr) < 0) {
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
    // OrvSysPoll goes on after a signal with the time that is left.
    struct pollfd pfd = {m_fd, POLLIN, 0};
    const int r = OrvSysPoll(&pfd, 1, nTimeoutMs);
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
    TimerFailure("wait for", errno, nCode, strError);
    return false;
}

bool COrvWaitableTimer::Close(int& nCode, COrvStringA& strError) {
    if (!CheckCreated("close", nCode, strError)) {
        return false;
    }
    const int fd = m_fd;
    m_fd = -1;
    // Not retried: Linux releases the descriptor even when close reports EINTR.
    if (OrvSysClose(fd) < 0 && errno != EINTR) {
        TimerFailure("close", errno, nCode, strError);
        return false;
    }
    nCode = enNetOk;
    strError.Empty();
    return true;
}
