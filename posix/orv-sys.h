// The system calls that tests must be able to fail, behind one replaceable table.
//
// Library code calls these through g_orv_sys (or the retrying helpers below) instead of calling
// the C library directly, so that a test can put in a function that returns ENOSPC, EINTR or a
// short count. The table is plain data whose entries are named after the call they stand for:
// replace entries before the code under test runs and put the saved table back afterwards (see
// OrvSysScope). Every entry behaves like the call it names: -1 (or nullptr) with errno set.
//
// This header belongs to the library's internals and its tests; it is not part of the public
// interface.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstddef>

struct flock;

struct OrvSysCalls {
    // Files and descriptors.
    int (*open)(const char* pszPath, int nFlags, unsigned nMode);
    long (*read)(int fd, void* pBuf, size_t nLen);
    long (*write)(int fd, const void* pBuf, size_t nLen);
    long (*pread)(int fd, void* pBuf, size_t nLen, off_t nOffset);
    long (*pwrite)(int fd, const void* pBuf, size_t nLen, off_t nOffset);
    int (*fsync)(int fd);
    int (*rename)(const char* pszFrom, const char* pszTo);
    int (*close)(int fd);
    int (*fstat)(int fd, struct stat* pSt);
    int (*stat)(const char* pszPath, struct stat* pSt);
    int (*lstat)(const char* pszPath, struct stat* pSt);
    int (*unlink)(const char* pszPath);
    int (*mkdir)(const char* pszPath, unsigned nMode);
    int (*rmdir)(const char* pszPath);
    int (*ftruncate)(int fd, off_t nLength);
    off_t (*lseek)(int fd, off_t nOffset, int nWhence);
    int (*flock)(int fd, int nOperation);
    int (*fcntl_lock)(int fd, int nCmd, struct flock* pLock);  // F_SETLK, F_SETLKW, F_GETLK
    int (*symlink)(const char* pszTarget, const char* pszLink);
    long (*readlink)(const char* pszPath, char* pBuf, size_t nLen);
    int (*utimensat)(int dirfd, const char* pszPath, const struct timespec* pTimes, int nFlags);
    int (*chmod)(const char* pszPath, unsigned nMode);
    int (*statvfs)(const char* pszPath, struct statvfs* pSt);
    DIR* (*opendir)(const char* pszPath);
    long (*copy_file_range)(int fdIn, off_t* pOffIn, int fdOut, off_t* pOffOut, size_t nLen,
                            unsigned nFlags);
    // Relative to a folder's descriptor: tree walks use these so that no path is resolved twice.
    int (*openat)(int fdDir, const char* pszName, int nFlags, unsigned nMode);
    int (*fstatat)(int fdDir, const char* pszName, struct stat* pSt, int nFlags);
    int (*unlinkat)(int fdDir, const char* pszName, int nFlags);
    int (*mkdirat)(int fdDir, const char* pszName, unsigned nMode);
    int (*renameat)(int fdFromDir, const char* pszFrom, int fdToDir, const char* pszTo);
    int (*symlinkat)(const char* pszTarget, int fdDir, const char* pszLink);
    long (*readlinkat)(int fdDir, const char* pszName, char* pBuf, size_t nLen);
    int (*mknodat)(int fdDir, const char* pszName, unsigned nMode, dev_t nDev);
    int (*fchmod)(int fd, unsigned nMode);
    // Waiting and wake-ups.
    int (*poll)(struct pollfd* pFds, nfds_t nFds, int nTimeoutMs);
    int (*pipe2)(int* pFds, int nFlags);
    int (*eventfd)(unsigned nInitial, int nFlags);
    int (*timerfd_create)(int nClock, int nFlags);
    int (*timerfd_settime)(int fd, int nFlags, const struct itimerspec* pNew,
                           struct itimerspec* pOld);
    // Sockets and names.
    int (*socket)(int nDomain, int nType, int nProtocol);
    int (*connect)(int fd, const struct sockaddr* pAddr, socklen_t nLen);
    int (*bind)(int fd, const struct sockaddr* pAddr, socklen_t nLen);
    int (*listen)(int fd, int nBacklog);
    int (*accept4)(int fd, struct sockaddr* pAddr, socklen_t* pLen, int nFlags);
    long (*send)(int fd, const void* pBuf, size_t nLen, int nFlags);
    long (*recv)(int fd, void* pBuf, size_t nLen, int nFlags);
    long (*sendto)(int fd, const void* pBuf, size_t nLen, int nFlags, const struct sockaddr* pAddr,
                   socklen_t nAddrLen);
    long (*recvfrom)(int fd, void* pBuf, size_t nLen, int nFlags, struct sockaddr* pAddr,
                     socklen_t* pAddrLen);
    int (*setsockopt)(int fd, int nLevel, int nName, const void* pVal, socklen_t nLen);
    int (*getsockopt)(int fd, int nLevel, int nName, void* pVal, socklen_t* pLen);
    int (*shutdown)(int fd, int nHow);
    // Returns 0 or an EAI_ code, like getaddrinfo(3); EAI_SYSTEM leaves errno set.
    int (*getaddrinfo)(const char* pszNode, const char* pszService, const struct addrinfo* pHints,
                       struct addrinfo** ppResult);
    // Ids of the calling thread alone: the kernel's calls, not the C library's wrappers (which
    // change every thread of the process). A value of -1 (as unsigned) leaves that id as it is.
    int (*thread_setresuid)(unsigned nReal, unsigned nEffective, unsigned nSaved);
    int (*thread_setresgid)(unsigned nReal, unsigned nEffective, unsigned nSaved);
    int (*thread_setgroups)(size_t nCount, const unsigned* pGroups);
};

// The table in force; starts with the real calls.
extern OrvSysCalls g_orv_sys;
// The real calls, for tests that forward to them.
extern const OrvSysCalls g_orv_sys_real;

// Calls fn() again while it fails with EINTR; returns its last result (errno as it left it).
template <class Fn>
auto OrvSysRetry(Fn fn) -> decltype(fn()) {
    decltype(fn()) r;
    do {
        r = fn();
    } while (r < 0 && errno == EINTR);
    return r;
}

// open with O_CLOEXEC added, retried on EINTR. Returns the descriptor or -1 with errno set.
[[nodiscard]] int OrvSysOpen(const char* pszPath, int nFlags, unsigned nMode = 0644);
// openat with O_CLOEXEC added, retried on EINTR; with AT_FDCWD it is OrvSysOpen.
[[nodiscard]] int OrvSysOpenAt(int fdDir, const char* pszName, int nFlags, unsigned nMode = 0644);
// Reads up to nLen bytes, retried on EINTR. Returns the count (0 at end) or -1 with errno set.
[[nodiscard]] long OrvSysRead(int fd, void* pBuf, size_t nLen);
// Reads until nLen bytes arrived or the end of the file, looping over short reads and EINTR.
// Returns the count read (less than nLen only at the end) or -1 with errno set.
[[nodiscard]] long OrvSysReadAll(int fd, void* pBuf, size_t nLen);
// Writes all nLen bytes, looping over short writes and EINTR. Returns true when everything was
// written; false with errno set otherwise (a write that returns 0 counts as ENOSPC).
[[nodiscard]] bool OrvSysWriteAll(int fd, const void* pBuf, size_t nLen);
// The same loop through pfnWrite (g_orv_sys.write, or g_orv_sys_real.write for a report that an
// injected failure must not silence); *pnWritten, when given, receives the count written in
// either case.
[[nodiscard]] bool OrvSysWriteAllWith(long (*pfnWrite)(int, const void*, size_t), int fd,
                                      const void* pBuf, size_t nLen, size_t* pnWritten);
[[nodiscard]] int OrvSysFsync(int fd);
[[nodiscard]] int OrvSysRename(const char* pszFrom, const char* pszTo);
// Closes the descriptor (never retried: Linux releases it even when close reports EINTR).
int OrvSysClose(int fd);
// poll, retried on EINTR with the time left of nTimeoutMs (a negative time-out waits forever).
[[nodiscard]] int OrvSysPoll(struct pollfd* pFds, nfds_t nFds, int nTimeoutMs);
// pipe2 with O_CLOEXEC added. 0, or -1 with errno set.
[[nodiscard]] int OrvSysPipe(int* pFds, int nFlags = 0);

// Restores the table it saw at construction when it goes out of scope (tests).
class OrvSysScope {
public:
    OrvSysScope() : m_saved(g_orv_sys) {}
    ~OrvSysScope() { g_orv_sys = m_saved; }
    OrvSysScope(const OrvSysScope&) = delete;
    OrvSysScope& operator=(const OrvSysScope&) = delete;

private:
    OrvSysCalls m_saved;
};
