// What the trace needs from the operating system (implemented in orv-trace-posix.cpp). Internal
// to the library.
#pragma once

#include <cstddef>

// Takes / releases the process-wide trace lock. The lock is usable before any static initialiser
// has run; the trace takes it only once OrvTraceOsLockReady() says so.
void OrvTraceOsLock();
void OrvTraceOsUnlock();
bool OrvTraceOsLockReady();

// The process id.
unsigned OrvTraceOsProcessId();
// True when the environment switch ORV_TRACE is "1" (read once, at start-up).
bool OrvTraceOsEnvEnabled();
// Writes the bytes to standard error through the replaceable system calls.
void OrvTraceOsWriteStderr(const char* p, size_t n);
