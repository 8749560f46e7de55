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

// The outcome of an operation: success (bOk) clears nCode and strError; failure stores errno's
// code and "cannot <operation> waitable timer: " with its text. Returns bOk.
bool TimerOutcome(bool bOk, const char* pszWhat, int& nCode, COrvStringA& strError) {
    if (bOk) {
        nCode = enNetOk;
        strError.Empty();
        return true;
    }
    const int nErrno = errno;
    nCode = OrvResultFromErrno(nErrno);
    strError.Format("cannot %s waitable timer: ", pszWhat);
    strError += OrvErrnoText(nErrno);
    return false;
}

bool ArmTimer(int fd, const struct timespec& due, int& nCode, COrvStringA& strError) {
    struct itimerspec its = {};
    its.it_value = due;
    // An all-zero value would disarm: a due time at or before the epoch is simply "already past".
    if (its.it_value.tv_sec <= 0 && its.it_value.tv_nsec <= 0) {
        its.it_value.tv_sec = 0;
        its.it_value.tv_nsec = 1;
    }
    return TimerOutcome(g_orv_sys.timerfd_settime(fd, TFD_TIMER_ABSTIME, &its, nullptr) == 0, "set",
                        nCode, strError);
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
    if (fd >= 0) {
        m_fd = fd;
    }
    return TimerOutcome(fd >= 0, "create", nCode, strError);
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
    return TimerOutcome(g_orv_sys.timerfd_settime(m_fd, 0, &its, nullptr) == 0, "cancel", nCode,
                        strError);
}

bool COrvWaitableTimer::Wait(int nTimeoutMs, int& nCode, COrvStringA& strError) {
    if (!CheckCreated("wait for", nCode, strError)) {
        return false;
    }
    // Poll only, never read: the expiry count stays, so the timer stays signalled (manual reset).
    // OrvSysPoll goes on after a signal with the time that is left.
    struct pollfd pfd = {m_fd, POLLIN, 0};
    const int r = OrvSysPoll(&pfd, 1, nTimeoutMs);
    if (r == 0) {
        nCode = enNetTimeout;
        strError = "waitable timer wait timed out";
        return false;
    }
    return TimerOutcome(r > 0, "wait for", nCode, strError);
}

bool COrvWaitableTimer::Close(int& nCode, COrvStringA& strError) {
    if (!CheckCreated("close", nCode, strError)) {
        return false;
    }
    const int fd = m_fd;
    m_fd = -1;
    // Not retried: Linux releases the descriptor even when close reports EINTR.
    return TimerOutcome(OrvSysClose(fd) == 0 || errno == EINTR, "close", nCode, strError);
}
