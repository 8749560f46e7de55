#include "orv-descriptor.h"

#include <unistd.h>

#include "orv-sys.h"

int OrvFdOpen(const char* pszPath, int nFlags, unsigned nMode) {
    return OrvSysOpen(pszPath, nFlags, nMode);
}

long OrvFdRead(int fd, void* pBuf, size_t nLen) {
    return OrvSysRead(fd, pBuf, nLen);
}

long OrvFdReadAt(int fd, void* pBuf, size_t nLen, off_t nOffset) {
    return OrvSysRetry([&] { return g_orv_sys.pread(fd, pBuf, nLen, nOffset); });
}

bool OrvFdWriteAll(int fd, const void* pBuf, size_t nLen) {
    return OrvSysWriteAll(fd, pBuf, nLen);
}

int OrvFdClose(int fd) {
    return OrvSysClose(fd);
}

int OrvFdPoll(struct pollfd* pFds, nfds_t nFds, int nTimeoutMs) {
    return OrvSysPoll(pFds, nFds, nTimeoutMs);
}

int OrvFdPipe(int* pFds, int nFlags) {
    return OrvSysPipe(pFds, nFlags);
}

int OrvFdEventfd(unsigned nInitial, int nFlags) {
    return g_orv_sys.eventfd(nInitial, nFlags);
}
