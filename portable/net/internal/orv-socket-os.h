// The system side of the socket module, for its portable half.
#pragma once

#include <cstdint>

#include "orv-string.h"

// Milliseconds of the monotonic clock.
int64_t OrvSocketNowMs();
// Sleeps nMs milliseconds.
void OrvSocketSleepMs(int nMs);
// Closes the descriptor: bHard at once; otherwise shuts the sending direction down, waits up to
// 9 seconds for one read of at most 256 bytes (discarded) so that the peer can finish, shuts both
// directions down and closes.
void OrvSocketOsClose(int fd, bool bHard);
// Shuts both directions down (wakes a thread blocked on the descriptor); keeps it open.
void OrvSocketOsShutdown(int fd);
// The text of a socket errno value, as used in every socket error text (the TLS steps' too); its
// code is OrvResultFromErrno(nErrno, OrvErrnoUse::Socket).
COrvStringA OrvSocketErrnoText(int nErrno);
