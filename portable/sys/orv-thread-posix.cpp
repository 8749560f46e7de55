// The operating-system side of COrvThread: detached pthreads, thread ids and nice values.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>

#include "orv-thread-os.h"

namespace {

struct StartArgs {
    void (*pfn)(void*);
    void* pArg;
};

void* Trampoline(void* p) {
    StartArgs args = *static_cast<StartArgs*>(p);
    delete static_cast<StartArgs*>(p);
    args.pfn(args.pArg);
    return nullptr;
}

// The nice offset that stands for a Windows thread priority.
int NiceOffset(int nPriority) {
    if (nPriority <= -15) {
        return 19;  // idle
    }
    if (nPriority >= 15) {
        return -20;  // time critical
    }
    return -5 * nPriority;  // lowest +10, below normal +5, above normal -5, highest -10
}

}  // namespace

bool OrvOsStartThread(void (*pfn)(void*), void* pArg) {
    StartArgs* pArgs = new (std::nothrow) StartArgs{pfn, pArg};
    if (!pArgs) {
        return false;
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete pArgs;
        return false;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc;
    do {
        rc = pthread_create(&thread, &attr, Trampoline, pArgs);
    } while (rc == EINTR);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete pArgs;
        return false;
    }
    return true;
}

int OrvOsThreadId() {
    return static_cast<int>(::syscall(SYS_gettid));
}

bool OrvOsSetThreadPriority(int nOsThreadId, int nPriority) {
    if (nPriority == 0) {
        return true;
    }
    // On Linux a nice value set for a thread id applies to that thread alone. The new thread
    // starts with the nice value of the thread that starts it (the caller).
    errno = 0;
    const int nBase = ::getpriority(PRIO_PROCESS, 0);
    if (nBase == -1 && errno != 0) {
        return false;
    }
    int nNice = nBase + NiceOffset(nPriority);
    nNice = nNice < -20 ? -20 : (nNice > 19 ? 19 : nNice);
    auto apply = [nOsThreadId](int nValue) {
        int rc;
        do {
            rc = ::setpriority(PRIO_PROCESS, static_cast<id_t>(nOsThreadId), nValue);
        } while (rc < 0 && errno == EINTR);
        return rc == 0;
    };
    if (apply(nNice)) {
        return true;
    }
    if ((errno != EACCES && errno != EPERM) || nNice >= nBase) {
        return false;
    }
    // A raise beyond what an unprivileged process may do: go as far as RLIMIT_NICE allows.
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NICE, &limit) != 0) {
        return false;
    }
    const unsigned long long nLimit =
        limit.rlim_cur == RLIM_INFINITY ? ~0ull : static_cast<unsigned long long>(limit.rlim_cur);
    const int nAllowed = OrvOsNiceWithinLimit(nNice, nBase, nLimit);
    return nAllowed != nBase && apply(nAllowed);
}

int OrvOsNiceWithinLimit(int nWanted, int nBase, unsigned long long nLimit) {
    if (nWanted >= nBase) {
        return nWanted;  // lowering the priority needs no privilege
    }
    // An unprivileged thread may go down to the nice value 20 - limit, and never below -20.
    const int nFloor = nLimit >= 40 ? -20 : 20 - static_cast<int>(nLimit);
    if (nFloor >= nBase) {
        return nBase;  // no raise allowed at all
    }
    return nWanted > nFloor ? nWanted : nFloor;
}

void OrvOsYield() {
    ::sched_yield();
}
