// The file half of COrvMutex: an exclusive flock on the lock file. The system drops the lock when
// the descriptor's last holder goes away, so a lock whose owner process died is free again.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>

#include "orv-clock.h"
#include "orv-lock.h"
#include "orv-result.h"
#include "orv-sys.h"

bool COrvMutex::OpenFile(int& nCode, COrvStringA& strError) {
    if (m_fd >= 0) {
        return true;
    }
    // O_NOFOLLOW: the default folder is shared by every account, so a planted link is refused.
    const int fd = OrvSysOpen(m_strPath, O_RDWR | O_CREAT | O_NOFOLLOW, 0666);
    if (fd < 0) {
        const int nErr = errno;
        nCode = OrvResultFromErrno(nErr);
        strError.Format("cannot open mutex file %s: %s", static_cast<const char*>(m_strPath),
                        static_cast<const char*>(OrvErrnoText(nErr)));
        return false;
    }
    // Let every account share the lock, whatever the creator's umask was; a file created by
    // another account keeps its owner's mode (fchmod fails, which is harmless).
    (void)OrvSysRetry([&] { return ::fchmod(fd, 0666); });
    m_fd = fd;
    return true;
}

bool COrvMutex::LockFile(unsigned nTimeoutMs, int& nCode, COrvStringA& strError) {
    if (nTimeoutMs == kOrvInfinite) {
        if (OrvSysRetry([&] { return g_orv_sys.flock(m_fd, LOCK_EX); }) == 0) {
            return true;
        }
    } else {
        const int64_t nDeadlineNs =
            OrvClockMonotonicNs() + static_cast<int64_t>(nTimeoutMs) * 1000000;
        for (;;) {
            if (OrvSysRetry([&] { return g_orv_sys.flock(m_fd, LOCK_EX | LOCK_NB); }) == 0) {
                return true;
            }
            if (errno != EWOULDBLOCK) {
                break;
            }
            if (OrvClockMonotonicNs() >= nDeadlineNs) {
                nCode = enNetTimeout;
                strError = "mutex timeout";
                return false;
            }
            // Another process holds it: poll, as flock has no timed wait.
            struct timespec pause = {0, 2 * 1000 * 1000};
            while (::nanosleep(&pause, &pause) < 0 && errno == EINTR) {
            }
        }
    }
    const int nErr = errno;
    nCode = OrvResultFromErrno(nErr);
    strError.Format("cannot lock mutex file %s: %s", static_cast<const char*>(m_strPath),
                    static_cast<const char*>(OrvErrnoText(nErr)));
    return false;
}

void COrvMutex::UnlockFile() {
    if (m_fd < 0) {
        return;
    }
    (void)OrvSysRetry([&] { return g_orv_sys.flock(m_fd, LOCK_UN); });
}

void COrvMutex::CloseFile() {
    if (m_fd >= 0) {
        OrvSysClose(m_fd);
        m_fd = -1;
    }
}
