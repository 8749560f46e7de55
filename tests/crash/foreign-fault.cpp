// A library outside the program's family of modules: it crashes on a thread of its own, where no
// frame of the program lies.
#include <pthread.h>

namespace {
volatile int* volatile g_pNull = nullptr;

void* Crash(void*) {
    *g_pNull = 2;
    return nullptr;
}
}  // namespace

extern "C" void ForeignCrashOnThread() {
    pthread_t t;
    pthread_create(&t, nullptr, Crash, nullptr);
}
