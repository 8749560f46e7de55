// What the thread class needs from the operating system (implemented in orv-thread-posix.cpp).
// Internal to the library.
#pragma once

// Starts a detached thread running pfn(pArg). True when it was created.
bool OrvOsStartThread(void (*pfn)(void*), void* pArg);
// The system's id of the calling thread.
int OrvOsThreadId();
// Applies a Windows-style priority (-15..15, 0: unchanged) to the thread nOsThreadId as a nice
// value relative to the caller's. A raise that needs privileges goes as far as RLIMIT_NICE allows.
// True when applied (fully or that far); false when nothing of it could be applied.
bool OrvOsSetThreadPriority(int nOsThreadId, int nPriority);
// The nice value an unprivileged thread can reach on the way from nBase to nWanted under the
// RLIMIT_NICE soft limit nLimit (which allows nice values down to 20 - nLimit): nWanted itself for
// a lowering or an allowed raise, the limit's floor for a raise beyond it, nBase when no raise is
// allowed.
int OrvOsNiceWithinLimit(int nWanted, int nBase, unsigned long long nLimit);
// Gives up the processor.
void OrvOsYield();
