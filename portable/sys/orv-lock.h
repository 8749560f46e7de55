// Locks: the named re-entrant critical section with its too-long report, its scoped guard, the
// bounded lock attempt, the re-entrant reader-writer lock, the event and the cross-process named
// mutex.
//
// Owners are recognised by the process-wide thread numbers (OrvGetThreadNumber).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "orv-string.h"

// Wait without a time limit.
constexpr unsigned kOrvInfinite = 0xFFFFFFFFu;

// Clock of the locks in seconds since 1970 (the too-long report, the bounded lock attempt). Tests
// put in their own; null restores the system clock. Returns the previous one. Set it before the
// locks concerned are used by other threads.
using OrvLockClockFn = int64_t (*)();
OrvLockClockFn OrvSetLockClock(OrvLockClockFn pfn);
// The current time of the locks' clock.
int64_t OrvLockNow();

// Where the lock and thread layer sends the lines it logs (the too-long report, the poster's
// refusal). The log module installs its process-wide log here; without a sink the lines go to the
// trace. Returns the previous sink. The sink must not take a named COrvCriticalSection.
using OrvLogLineFn = void (*)(const char* pszLine);
OrvLogLineFn OrvSetLockLogSink(OrvLogLineFn pfn);
// Formats one line and hands it to the sink. Any thread.
void OrvLockLog(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

// The re-entrant named lock. A named lock reports a waiter that arrives when the lock has been
// held for 30 seconds or more ("!!!LOCKTOOLONG!!!"), before the waiter blocks; an unnamed one never
// reports. Construction is constant, so global instances are usable from any static initialiser;
// a lock that was never constructed (or was destroyed) does nothing.
class COrvCriticalSection {
public:
    // pszName: a constant text kept by pointer (null: no report).
    constexpr explicit COrvCriticalSection(const char* pszName = nullptr)
        : m_pszName(pszName), m_nInitialised(1) {}
    // Leaves the lock first when the calling thread holds it.
    ~COrvCriticalSection();
    COrvCriticalSection(const COrvCriticalSection&) = delete;
    COrvCriticalSection& operator=(const COrvCriticalSection&) = delete;

    // Takes the lock, blocking while another thread holds it; re-entrant. pszLocker (a constant
    // text or null) is remembered as the first holder's name for the report. Any thread.
    void Lock(const char* pszLocker = nullptr);
    // Takes the lock when that needs no wait; true when taken (depth incremented). Never blocks.
    [[nodiscard]] bool TryLock();
    // Leaves one level. Unlocking a lock the caller does not hold is reported (soft assertion) and
    // ignored.
    void Unlock();

    // Recursion depth of the holder, 0 when free. A hint for other threads.
    int GetDepth() const { return m_nDepth.load(std::memory_order_relaxed); }
    // Whether the calling thread holds the lock.
    bool IsHeldByMe() const;
    const char* GetName() const { return m_pszName; }
    // Seconds since 1970 of the last acquisition from free, or of the last release to free.
    int64_t GetTakenAt() const { return m_nTakenAt.load(std::memory_order_relaxed); }

private:
    const char* m_pszName;
    std::atomic<const char*> m_pszLocker{nullptr};
    std::atomic<int> m_nDepth{0};
    int m_nInitialised;
    std::atomic<int64_t> m_nTakenAt{0};
    std::atomic<int64_t> m_nOwner{0};  // thread number of the holder, 0 when free
    std::mutex m_section;
};

// Holds a COrvCriticalSection for a scope: locks in the constructor, unlocks in the destructor when
// still locked. A null lock makes every member do nothing.
class TvAutoCriticalSection {
public:
    explicit TvAutoCriticalSection(COrvCriticalSection* pLock, const char* pszLocker = nullptr);
    explicit TvAutoCriticalSection(COrvCriticalSection& lock, const char* pszLocker = nullptr)
        : TvAutoCriticalSection(&lock, pszLocker) {}
    ~TvAutoCriticalSection();
    TvAutoCriticalSection(const TvAutoCriticalSection&) = delete;
    TvAutoCriticalSection& operator=(const TvAutoCriticalSection&) = delete;

    // Leaves the lock early (nothing when not locked).
    void Unlock();
    // Takes it again (nothing when already locked).
    void Lock(const char* pszLocker = nullptr);
    bool IsLocked() const { return m_bLocked; }

private:
    COrvCriticalSection* m_pLock;
    bool m_bLocked = false;
};

// A lock that a caller may decline to wait for when its holder looks stuck: LockUnlessStale gives
// up at once when another thread is interested and the holder took the lock nMaxSeconds or more
// ago. Not re-entrant in the bounded sense: the guard below holds at most one level.
class COrvStaleLock {
public:
    constexpr COrvStaleLock() = default;
    COrvStaleLock(const COrvStaleLock&) = delete;
    COrvStaleLock& operator=(const COrvStaleLock&) = delete;

    // Takes the lock (blocking while a fresh holder has it) and returns true; returns false at
    // once, without the lock, when the holder took it nMaxSeconds or more ago. Any thread.
    bool LockUnlessStale(int nMaxSeconds);
    // Leaves the lock taken by LockUnlessStale.
    void Unlock();
    // Seconds since 1970 at which the current holder took it, 0 when free.
    int64_t GetTakenAt() const { return m_nTakenAt.load(std::memory_order_relaxed); }

private:
    std::atomic<int32_t> m_nInterest{0};
    std::atomic<int64_t> m_nTakenAt{0};
    COrvCriticalSection m_lock;
};

// Scoped use of COrvStaleLock: releases in its destructor what it took.
class COrvStaleLockGuard {
public:
    COrvStaleLockGuard() = default;
    ~COrvStaleLockGuard() { Unlock(); }
    COrvStaleLockGuard(const COrvStaleLockGuard&) = delete;
    COrvStaleLockGuard& operator=(const COrvStaleLockGuard&) = delete;

    // As COrvStaleLock::LockUnlessStale. A guard that already holds a lock reports "m_lock==NULL"
    // (soft assertion) and returns false without touching either lock.
    bool LockUnlessStale(COrvStaleLock& lock, int nMaxSeconds);
    // Leaves the held lock, if any.
    void Unlock();
    bool IsLocked() const { return m_pLock != nullptr; }

private:
    COrvStaleLock* m_pLock = nullptr;
};

// An event: manual reset (stays set until Reset) or auto reset (a successful Wait resets it and
// releases one waiter). Every operation returns true on success or false with a library code and
// an error text.
class COrvEvent {
public:
    COrvEvent() = default;
    // Closes it; waiters must be gone.
    ~COrvEvent();
    COrvEvent(const COrvEvent&) = delete;
    COrvEvent& operator=(const COrvEvent&) = delete;

    // Creates (or re-creates) the event. pszName is only kept for texts. Fails with
    // enNetNoMemory when it cannot be allocated. Not to be called while other threads use it.
    [[nodiscard]] bool Create(const char* pszName, bool bManualReset, bool bInitiallySet,
                              int& nCode, COrvStringA& strError);
    bool Create(const char* pszName, bool bManualReset, bool bInitiallySet);
    // Sets it, releasing waiters. Closed: "cannot set closed event" (enNetBadRequest). Any thread.
    bool Set(int& nCode, COrvStringA& strError);
    bool Set();
    // Clears it. Closed: "cannot reset closed event" (enNetBadRequest). Any thread.
    bool Reset(int& nCode, COrvStringA& strError);
    bool Reset();
    // Waits up to nTimeoutMs milliseconds (kOrvInfinite: no limit) until it is set. A time-out
    // fails with "event timeout" (enNetTimeout); closed: "cannot wait for closed event"
    // (enNetServer). Blocks. Any thread.
    [[nodiscard]] bool Wait(unsigned nTimeoutMs, int& nCode, COrvStringA& strError);
    bool Wait(unsigned nTimeoutMs = kOrvInfinite);
    // Closes it (later operations fail as closed).
    void Close();
    bool IsOpen() const { return m_pImpl != nullptr; }
    const COrvStringA& GetName() const { return m_strName; }

private:
    struct Impl;
    COrvStringA m_strName;
    Impl* m_pImpl = nullptr;
};

// A named lock shared by every process of the machine that uses the same name: an exclusive
// flock on a lock file. A lock whose owner process died is released by the system and then taken
// as an abandoned mutex is. Re-entrant for the owning thread; threads of one process exclude each
// other too.
class COrvMutex {
public:
    // pszName: a name (the lock file is then "/tmp/orv-mutex-" + name + ".lock", characters other
    // than letters, digits, '.', '_' and '-' written as %XX) or an absolute path of the lock file.
    // Opening is deferred to the first Lock.
    explicit COrvMutex(const char* pszName);
    // Releases a lock still held and closes the file.
    ~COrvMutex();
    COrvMutex(const COrvMutex&) = delete;
    COrvMutex& operator=(const COrvMutex&) = delete;

    // Takes the lock within nTimeoutMs milliseconds (kOrvInfinite: no limit; 0: only try). True
    // when taken (the owner's count grows when it holds it already). False with "mutex timeout"
    // (enNetTimeout) or the system error of opening or locking the file (path in the text).
    // Blocks up to the time-out. Any thread.
    [[nodiscard]] bool Lock(unsigned nTimeoutMs, int& nCode, COrvStringA& strError);
    bool Lock(unsigned nTimeoutMs = kOrvInfinite);
    // Leaves one level. A caller that is not the owner is reported ("this_thread_id ==
    // m_locker_thread_id") and nothing changes.
    void Unlock();
    const COrvStringA& GetName() const { return m_strName; }
    // The lock file used.
    const COrvStringA& GetPath() const { return m_strPath; }

private:
    bool OpenFile(int& nCode, COrvStringA& strError);  // platform part
    bool LockFile(unsigned nTimeoutMs, int& nCode, COrvStringA& strError);
    void UnlockFile();
    void CloseFile();

    COrvStringA m_strName;
    COrvStringA m_strPath;
    int m_nCount = 0;
    int64_t m_nOwner = 0;  // guarded by m_gate
    int m_fd = -1;
    std::mutex m_gate;  // guards the in-process owner fields
    struct Impl;
    Impl* m_pImpl = nullptr;  // the condition the in-process waiters sleep on
};

// The re-entrant reader-writer lock. A writer may also read and write again; a write lock taken
// with downgrade stays exclusive after UnlockWrite until the writer's last UnlockRead. Readers are
// counted per thread. Every member may be called from any thread and blocks where it says so.
class COrvReadWriteLock {
public:
    COrvReadWriteLock();
    ~COrvReadWriteLock();
    COrvReadWriteLock(const COrvReadWriteLock&) = delete;
    COrvReadWriteLock& operator=(const COrvReadWriteLock&) = delete;

    // Takes a read hold; blocks while another thread writes.
    void LockRead();
    // Leaves one read hold of the caller.
    void UnlockRead();
    // Takes a write hold; blocks until no other thread reads or writes. With bDowngrade the hold
    // lasts past UnlockWrite until the caller's last UnlockRead.
    void LockWrite(bool bDowngrade = false);
    // Leaves one write hold of the caller.
    void UnlockWrite();
    // As LockWrite, but returns false at once when another thread writes or is about to.
    [[nodiscard]] bool TryLockWrite(bool bDowngrade = false);
    // As LockRead, but returns false at once when another thread writes; nHeldMs then holds how
    // long that writer has held the lock in milliseconds (0 when unknown), and 0 on success.
    [[nodiscard]] bool TryLockRead(unsigned& nHeldMs);

private:
    struct Entry {
        int nRead = 0;
        int nWrite = 0;
    };
    struct Impl;
    void LockWriteGated(bool bDowngrade);
    void TakeWrite(bool bDowngrade);
    static uint32_t Tick();

    std::atomic<int32_t> m_nWriterGate{0};
    COrvCriticalSection m_guard{"COrvReadWriteLock"};
    int m_nActiveReaders = 0;
    COrvEvent m_noReaders;
    int m_nWaitingWriters = 0;
    bool m_bReleaseOnLastRead = false;
    std::atomic<int64_t> m_nWriter{0};
    std::atomic<uint32_t> m_nWriterSince{0};
    Impl* m_pImpl;  // the per-thread table
};

// The named process-wide locks: standard output, and the temporary folder.
extern COrvCriticalSection g_orv_stdout_cs;
extern COrvCriticalSection g_temp_folder_lock;
