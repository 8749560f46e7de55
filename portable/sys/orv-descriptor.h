// Descriptor calls for code above the library (the window program): each behaves like the call it
// names (-1 with errno set on failure), retried on EINTR where that is safe, and goes through the
// library's system-call table, so that tests can make it fail.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

// open with O_CLOEXEC added. The descriptor, or -1.
[[nodiscard]] int OrvFdOpen(const char* pszPath, int nFlags, unsigned nMode = 0644);
// Up to nLen bytes: the count, 0 at the end, or -1.
[[nodiscard]] long OrvFdRead(int fd, void* pBuf, size_t nLen);
// Up to nLen bytes from nOffset: the count, 0 at the end, or -1.
[[nodiscard]] long OrvFdReadAt(int fd, void* pBuf, size_t nLen, off_t nOffset);
// All nLen bytes, looping over short writes; false with errno set otherwise.
[[nodiscard]] bool OrvFdWriteAll(int fd, const void* pBuf, size_t nLen);
int OrvFdClose(int fd);
// poll, with the time left of nTimeoutMs after an interruption (negative: no time limit).
[[nodiscard]] int OrvFdPoll(struct pollfd* pFds, nfds_t nFds, int nTimeoutMs);
// pipe2 with O_CLOEXEC added: 0, or -1.
[[nodiscard]] int OrvFdPipe(int* pFds, int nFlags = 0);
// eventfd: the descriptor, or -1.
[[nodiscard]] int OrvFdEventfd(unsigned nInitial, int nFlags);
