#include "orv-sys.h"

#include "orv-fd.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

// Each entry is the C library's own call; the lambdas only adapt the types of the table.
const OrvSysCalls g_orv_sys_real = {
    .open = [](const char* p, int f, unsigned m) { return ::open(p, f, static_cast<mode_t>(m)); },
    .read = [](int fd, void* b, size_t n) -> long { return ::read(fd, b, n); },
    .write = [](int fd, const void* b, size_t n) -> long { return ::write(fd, b, n); },
    .pread = [](int fd, void* b, size_t n, off_t o) -> long { return ::pread(fd, b, n, o); },
    .pwrite = [](int fd, const void* b, size_t n, off_t o) -> long {
        return ::pwrite(fd, b, n, o);
    },
    .fsync = ::fsync,
    .rename = ::rename,
    .close = ::close,
    .fstat = ::fstat,
    .stat = [](const char* p, struct stat* s) { return ::stat(p, s); },
    .lstat = ::lstat,
    .unlink = ::unlink,
    .mkdir = [](const char* p, unsigned m) { return ::mkdir(p, static_cast<mode_t>(m)); },
    .rmdir = ::rmdir,
    .ftruncate = ::ftruncate,
    .lseek = ::lseek,
    .flock = ::flock,
    .fcntl_lock = [](int fd, int cmd, struct flock* l) { return ::fcntl(fd, cmd, l); },
    .symlink = ::symlink,
    .readlink = [](const char* p, char* b, size_t n) -> long { return ::readlink(p, b, n); },
    .utimensat = ::utimensat,
    .chmod = [](const char* p, unsigned m) { return ::chmod(p, static_cast<mode_t>(m)); },
    .statvfs = [](const char* p, struct statvfs* s) { return ::statvfs(p, s); },
    .opendir = ::opendir,
    .copy_file_range = [](int fi, off_t* oi, int fo, off_t* oo, size_t n, unsigned f) -> long {
        return ::copy_file_range(fi, oi, fo, oo, n, f);
    },
    .openat = [](int d, const char* p, int f,
                 unsigned m) { return ::openat(d, p, f, static_cast<mode_t>(m)); },
    .fstatat = ::fstatat,
    .unlinkat = ::unlinkat,
    .mkdirat = [](int d, const char* p,
                  unsigned m) { return ::mkdirat(d, p, static_cast<mode_t>(m)); },
    .renameat = ::renameat,
    .symlinkat = ::symlinkat,
    .readlinkat = [](int d, const char* p, char* b, size_t n) -> long {
        return ::readlinkat(d, p, b, n);
    },
    .mknodat = [](int d, const char* p, unsigned m,
                  dev_t n) { return ::mknodat(d, p, static_cast<mode_t>(m), n); },
    .fchmod = [](int fd, unsigned m) { return ::fchmod(fd, static_cast<mode_t>(m)); },
    .poll = ::poll,
    .pipe2 = ::pipe2,
    .eventfd = ::eventfd,
    .timerfd_create = ::timerfd_create,
    .timerfd_settime = ::timerfd_settime,
    .socket = ::socket,
    .connect = ::connect,
    .bind = ::bind,
    .listen = ::listen,
    .accept4 = ::accept4,
    .send = [](int fd, const void* b, size_t n, int f) -> long { return ::send(fd, b, n, f); },
    .recv = [](int fd, void* b, size_t n, int f) -> long { return ::recv(fd, b, n, f); },
    .sendto = [](int fd, const void* b, size_t n, int f, const struct sockaddr* a,
                 socklen_t l) -> long { return ::sendto(fd, b, n, f, a, l); },
    .recvfrom = [](int fd, void* b, size_t n, int f, struct sockaddr* a, socklen_t* l) -> long {
        return ::recvfrom(fd, b, n, f, a, l);
    },
    .setsockopt = ::setsockopt,
    .getsockopt = ::getsockopt,
    .shutdown = ::shutdown,
    .getaddrinfo = ::getaddrinfo,
    .thread_setresuid =
        [](unsigned r, unsigned e, unsigned s) {
            return static_cast<int>(::syscall(SYS_setresuid, r, e, s));
        },
    .thread_setresgid =
        [](unsigned r, unsigned e, unsigned s) {
            return static_cast<int>(::syscall(SYS_setresgid, r, e, s));
        },
    .thread_setgroups =
        [](size_t n, const unsigned* p) {
            return static_cast<int>(::syscall(SYS_setgroups, n, p));
        },
};
OrvSysCalls g_orv_sys = g_orv_sys_real;

int OrvSysOpen(const char* pszPath, int nFlags, unsigned nMode) {
    return OrvSysRetry([&] { return g_orv_sys.open(pszPath, nFlags | O_CLOEXEC, nMode); });
}

int OrvSysOpenAt(int fdDir, const char* pszName, int nFlags, unsigned nMode) {
    if (fdDir == AT_FDCWD)  // a path: through the same entry as every other open by path
        return OrvSysOpen(pszName, nFlags, nMode);
    return OrvSysRetry([&] { return g_orv_sys.openat(fdDir, pszName, nFlags | O_CLOEXEC, nMode); });
}

long OrvSysRead(int fd, void* pBuf, size_t nLen) {
    return OrvSysRetry([&] { return g_orv_sys.read(fd, pBuf, nLen); });
}

long OrvSysReadAll(int fd, void* pBuf, size_t nLen) {
    char* p = static_cast<char*>(pBuf);
    size_t nDone = 0;
    while (nDone < nLen) {
        const long n = OrvSysRead(fd, p + nDone, nLen - nDone);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        nDone += static_cast<size_t>(n);
    }
    return static_cast<long>(nDone);
}

bool OrvSysWriteAllWith(long (*pfnWrite)(int, const void*, size_t), int fd, const void* pBuf,
                        size_t nLen, size_t* pnWritten) {
    const char* p = static_cast<const char*>(pBuf);
    size_t nDone = 0;
    bool bOk = true;
    while (nDone < nLen) {
        const long n = pfnWrite(fd, p + nDone, nLen - nDone);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            bOk = false;
            break;
        }
        if (n == 0) {
            errno = ENOSPC;
            bOk = false;
            break;
        }
        nDone += static_cast<size_t>(n);
    }
    if (pnWritten != nullptr) {
        *pnWritten = nDone;
    }
    return bOk;
}

bool OrvSysWriteAll(int fd, const void* pBuf, size_t nLen) {
    return OrvSysWriteAllWith(g_orv_sys.write, fd, pBuf, nLen, nullptr);
}

int OrvSysFsync(int fd) {
    return OrvSysRetry([&] { return g_orv_sys.fsync(fd); });
}

int OrvSysRename(const char* pszFrom, const char* pszTo) {
    return OrvSysRetry([&] { return g_orv_sys.rename(pszFrom, pszTo); });
}

int OrvSysClose(int fd) {
    return g_orv_sys.close(fd);
}

namespace {

long long MonotonicMs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int OrvSysPoll(struct pollfd* pFds, nfds_t nFds, int nTimeoutMs) {
    const long long nEnd = nTimeoutMs >= 0 ? MonotonicMs() + nTimeoutMs : 0;
    int nWait = nTimeoutMs;
    for (;;) {
        const int r = g_orv_sys.poll(pFds, nFds, nWait);
        if (r >= 0 || errno != EINTR)
            return r;
        if (nTimeoutMs >= 0) {
            const long long nLeft = nEnd - MonotonicMs();
            nWait = nLeft > 0 ? static_cast<int>(nLeft) : 0;
        }
    }
}

int OrvSysPipe(int* pFds, int nFlags) {
    return g_orv_sys.pipe2(pFds, nFlags | O_CLOEXEC);
}

void OrvFd::Reset(int fd) {
    const int old = std::exchange(m_fd, fd);
    if (old >= 0 && old != fd)
        OrvSysClose(old);
}
