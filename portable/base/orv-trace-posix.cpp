// The trace's operating-system layer: a statically initialised mutex, the process id and standard
// error.
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

unsigned OrvTraceOsProcessId() {
    return static_cast<unsigned>(getpid());
}

bool OrvTraceOsEnvEnabled() {
    return s_flag.bEnv;
}

void OrvTraceOsWriteStderr(const char* p, size_t n) {
    (void)OrvSysWriteAll(2, p, n);  // nowhere left to report a failure to
}
