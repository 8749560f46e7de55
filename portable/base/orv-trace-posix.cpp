// The trace's operating-system layer: a statically initialised mutex, local time, process id and
// standard error.
#include <pthread.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "orv-sys.h"
#include "orv-trace-os.h"

namespace {

// Constant-initialised: valid even for trace calls made before static initialisation.
pthread_mutex_t s_traceMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

// Set by a static initialiser, as the design of the trace lock asks: the lock is taken only once
// the library's own initialisers have run.
struct TraceLockFlag {
    bool bReady = false;
    bool bEnv = false;
    TraceLockFlag() {
        const char* psz = getenv("ORV_TRACE");
        bEnv = psz != nullptr && strcmp(psz, "1") == 0;
        bReady = true;
    }
};
TraceLockFlag s_flag;

}  // namespace

void OrvTraceOsLock() {
    pthread_mutex_lock(&s_traceMutex);
}

void OrvTraceOsUnlock() {
    pthread_mutex_unlock(&s_traceMutex);
}

bool OrvTraceOsLockReady() {
    return s_flag.bReady;
}

bool OrvTraceOsLocalNow(int& nYear, int& nMonth, int& nDay, int& nHour, int& nMinute, int& nSecond,
                        int& nMillisecond) {
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0)
        return false;
    struct tm tmLocal;
    const time_t t = ts.tv_sec;
    if (localtime_r(&t, &tmLocal) == nullptr)
        return false;
    nYear = tmLocal.tm_year + 1900;
    nMonth = tmLocal.tm_mon + 1;
    nDay = tmLocal.tm_mday;
    nHour = tmLocal.tm_hour;
    nMinute = tmLocal.tm_min;
    nSecond = tmLocal.tm_sec;
    nMillisecond = static_cast<int>(ts.tv_nsec / 1000000);
    return true;
}

unsigned OrvTraceOsProcessId() {
    return static_cast<unsigned>(getpid());
}

bool OrvTraceOsEnvEnabled() {
    return s_flag.bEnv;
}

void OrvTraceOsWriteStderr(const char* p, size_t n) {
    OrvSysWriteAll(2, p, n);
}
