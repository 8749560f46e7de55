#include "orv-sys.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace {

int RealOpen(const char* pszPath, int nFlags, unsigned nMode) {
    return ::open(pszPath, nFlags, static_cast<mode_t>(nMode));
}
long RealRead(int fd, void* pBuf, size_t nLen) {
    return ::read(fd, pBuf, nLen);
}
long RealWrite(int fd, const void* pBuf, size_t nLen) {
    return ::write(fd, pBuf, nLen);
}
int RealFsync(int fd) {
    return ::fsync(fd);
}
int RealRename(const char* pszFrom, const char* pszTo) {
    return ::rename(pszFrom, pszTo);
}
int RealClose(int fd) {
    return ::close(fd);
}

}  // namespace

const OrvSysCalls g_orv_sys_real = {RealOpen,  RealRead,   RealWrite,
                                    RealFsync, RealRename, RealClose};
OrvSysCalls g_orv_sys = g_orv_sys_real;

int OrvSysOpen(const char* pszPath, int nFlags, unsigned nMode) {
    int fd;
    do {
        fd = g_orv_sys.open(pszPath, nFlags | O_CLOEXEC, nMode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

long OrvSysRead(int fd, void* pBuf, size_t nLen) {
    long n;
    do {
        n = g_orv_sys.read(fd, pBuf, nLen);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool OrvSysWriteAll(int fd, const void* pBuf, size_t nLen) {
    const char* p = static_cast<const char*>(pBuf);
    while (nLen > 0) {
        long n = g_orv_sys.write(fd, p, nLen);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        p += n;
        nLen -= static_cast<size_t>(n);
    }
    return true;
}

int OrvSysFsync(int fd) {
    int rc;
    do {
        rc = g_orv_sys.fsync(fd);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

int OrvSysRename(const char* pszFrom, const char* pszTo) {
    int rc;
    do {
        rc = g_orv_sys.rename(pszFrom, pszTo);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

int OrvSysClose(int fd) {
    return g_orv_sys.close(fd);
}
