// The system calls that tests must be able to fail, behind one replaceable table.
//
// Library code calls these through g_orv_sys (or the retrying helpers below) instead of calling
// the C library directly, so that a test can put in a function that returns ENOSPC, EINTR or a
// short count. The table is plain data: replace entries before the code under test runs and put
// the saved table back afterwards (see OrvSysScope).
#pragma once

#include <cstddef>

struct OrvSysCalls {
    int (*open)(const char* pszPath, int nFlags, unsigned nMode);  // like open(2); -1 + errno
    long (*read)(int fd, void* pBuf, size_t nLen);                 // like read(2)
    long (*write)(int fd, const void* pBuf, size_t nLen);          // like write(2)
    int (*fsync)(int fd);
    int (*rename)(const char* pszFrom, const char* pszTo);
    int (*close)(int fd);
};

// The table in force; starts with the real calls.
extern OrvSysCalls g_orv_sys;
// The real calls, for tests that forward to them.
extern const OrvSysCalls g_orv_sys_real;

// open with O_CLOEXEC added, retried on EINTR. Returns the descriptor or -1 with errno set.
int OrvSysOpen(const char* pszPath, int nFlags, unsigned nMode = 0644);
// Reads up to nLen bytes, retried on EINTR. Returns the count (0 at end) or -1 with errno set.
long OrvSysRead(int fd, void* pBuf, size_t nLen);
// Writes all nLen bytes, looping over short writes and EINTR. Returns true when everything was
// written; false with errno set otherwise (a write that returns 0 counts as ENOSPC).
bool OrvSysWriteAll(int fd, const void* pBuf, size_t nLen);
int OrvSysFsync(int fd);
int OrvSysRename(const char* pszFrom, const char* pszTo);
// Closes the descriptor (never retried: Linux releases it even when close reports EINTR).
int OrvSysClose(int fd);

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
