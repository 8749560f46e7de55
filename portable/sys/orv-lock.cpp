// The portable part of the locks; the flock-based mutex file lives in orv-lock-posix.cpp.
#include "orv-lock.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <ctime>
#include <new>

#include "orv-clock.h"
#include "orv-coll.h"
#include "orv-result.h"
#include "orv-trace.h"

namespace {

int64_t SystemClock() {
    return OrvClockNow();
}

std::atomic<OrvLockClockFn> s_pfnClock{nullptr};
std::atomic<OrvLogLineFn> s_pfnLogSink{nullptr};

// How long a named lock may be held before a waiter reports it.
constexpr int64_t kTooLongSeconds = 30;

}  // namespace

// Both are constant-initialised, so other translation units may use them from their own static
// initialisers.
constinit COrvCriticalSection g_orv_stdout_cs("g_orv_stdout_cs");
constinit COrvCriticalSection g_temp_folder_lock("g_temp_folder_lock");

OrvLockClockFn OrvSetLockClock(OrvLockClockFn pfn) {
    return s_pfnClock.exchange(pfn);
}

int64_t OrvLockNow() {
    OrvLockClockFn pfn = s_pfnClock.load(std::memory_order_acquire);
    return pfn ? pfn() : SystemClock();
}

OrvLogLineFn OrvSetLockLogSink(OrvLogLineFn pfn) {
    return s_pfnLogSink.exchange(pfn);
}

void OrvLockLog(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    COrvStringA strLine;
    strLine.FormatV(pszFormat, args);
    va_end(args);
    OrvLogLineFn pfn = s_pfnLogSink.load(std::memory_order_acquire);
    if (pfn) {
        pfn(strLine);
    } else {
        OrvTrace("%s", static_cast<const char*>(strLine));
    }
}

// ---------------------------------------------------------------------------------------------
// COrvCriticalSection

COrvCriticalSection::~COrvCriticalSection() {
    if (!m_nInitialised) {
        return;
    }
    if (IsHeldByMe()) {
        m_nDepth.store(0, std::memory_order_relaxed);
        m_nOwner.store(0, std::memory_order_relaxed);
        m_section.unlock();
    }
    // From here on the lock is a no-op, so late users during process exit do no harm.
    m_nInitialised = 0;
}

bool COrvCriticalSection::IsHeldByMe() const {
    return m_nOwner.load(std::memory_order_relaxed) == OrvGetThreadNumber();
}

void COrvCriticalSection::Lock(const char* pszLocker) {
    if (!m_nInitialised) {
        return;
    }
    const int64_t nMe = OrvGetThreadNumber();
    if (m_nOwner.load(std::memory_order_relaxed) == nMe) {
        // Re-entry by the holder never waits.
        m_nDepth.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (m_pszName && m_nDepth.load(std::memory_order_relaxed) > 0) {
        const int64_t nHeld = OrvLockNow() - m_nTakenAt.load(std::memory_order_relaxed);
        if (nHeld >= kTooLongSeconds) {
            const char* pszHolder = m_pszLocker.load(std::memory_order_relaxed);
            OrvLockLog(
                "TvAutoCriticalSection: !!!LOCKTOOLONG!!!: CritSection=%s Locker=%s p=%p "
                "tlock=%d\n",
                m_pszName, pszHolder ? pszHolder : "(null)", static_cast<const void*>(this),
                static_cast<int>(nHeld));
        }
    }
    m_section.lock();
    m_nOwner.store(nMe, std::memory_order_relaxed);
    m_pszLocker.store(pszLocker, std::memory_order_relaxed);
    m_nTakenAt.store(OrvLockNow(), std::memory_order_relaxed);
    m_nDepth.store(1, std::memory_order_relaxed);
}

bool COrvCriticalSection::TryLock() {
    if (!m_nInitialised) {
        return true;
    }
    const int64_t nMe = OrvGetThreadNumber();
    if (m_nOwner.load(std::memory_order_relaxed) == nMe) {
        m_nDepth.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    if (!m_section.try_lock()) {
        return false;
    }
    m_nOwner.store(nMe, std::memory_order_relaxed);
    m_pszLocker.store(nullptr, std::memory_order_relaxed);
    m_nTakenAt.store(OrvLockNow(), std::memory_order_relaxed);
    m_nDepth.store(1, std::memory_order_relaxed);
    return true;
}

void COrvCriticalSection::Unlock() {
    if (!m_nInitialised) {
        return;
    }
    const int nDepth = m_nDepth.load(std::memory_order_relaxed);
    if (nDepth < 1 || !IsHeldByMe()) {
        // Releasing a section held by another thread would break its owner: report and ignore.
        SOFTASSERT(nDepth >= 1 && IsHeldByMe());
        return;
    }
    if (nDepth > 1) {
        m_nDepth.store(nDepth - 1, std::memory_order_relaxed);
        return;
    }
    m_nDepth.store(0, std::memory_order_relaxed);
    m_nTakenAt.store(OrvLockNow(), std::memory_order_relaxed);
    m_nOwner.store(0, std::memory_order_relaxed);
    m_section.unlock();
}

// ---------------------------------------------------------------------------------------------
// TvAutoCriticalSection

TvAutoCriticalSection::TvAutoCriticalSection(COrvCriticalSection* pLock, const char* pszLocker)
    : m_pLock(pLock) {
    Lock(pszLocker);
}

TvAutoCriticalSection::~TvAutoCriticalSection() {
    Unlock();
}

void TvAutoCriticalSection::Unlock() {
    if (m_pLock && m_bLocked) {
        m_bLocked = false;
        m_pLock->Unlock();
    }
}

void TvAutoCriticalSection::Lock(const char* pszLocker) {
    if (m_pLock && !m_bLocked) {
        m_pLock->Lock(pszLocker);
        m_bLocked = true;
    }
}

// ---------------------------------------------------------------------------------------------
// COrvStaleLock

bool COrvStaleLock::LockUnlessStale(int nMaxSeconds) {
    const int32_t nInterested = m_nInterest.fetch_add(1) + 1;
    if (nInterested > 1) {
        const int64_t nTaken = m_nTakenAt.load(std::memory_order_relaxed);
        const int64_t nNow = OrvLockNow();
        if (nTaken != 0 && nTaken <= nNow && nNow - nTaken >= nMaxSeconds) {
            m_nInterest.fetch_sub(1);
            return false;
        }
    }
    m_lock.Lock();
    m_nTakenAt.store(OrvLockNow(), std::memory_order_relaxed);
    return true;
}

void COrvStaleLock::Unlock() {
    m_nTakenAt.store(0, std::memory_order_relaxed);
    m_lock.Unlock();
    m_nInterest.fetch_sub(1);
}

bool COrvStaleLockGuard::LockUnlessStale(COrvStaleLock& lock, int nMaxSeconds) {
    if (m_pLock != nullptr) {
        ORV_ASSERT_TEXT(false, "m_lock==NULL");
        return false;
    }
    if (!lock.LockUnlessStale(nMaxSeconds)) {
        return false;
    }
    m_pLock = &lock;
    return true;
}

void COrvStaleLockGuard::Unlock() {
    if (m_pLock) {
        COrvStaleLock* pLock = m_pLock;
        m_pLock = nullptr;
        pLock->Unlock();
    }
}

// ---------------------------------------------------------------------------------------------
// COrvEvent

struct COrvEvent::Impl {
    std::mutex mutex;
    std::condition_variable cond;
    bool bManualReset = true;
    bool bSet = false;
};

COrvEvent::~COrvEvent() {
    Close();
}

void COrvEvent::Close() {
    delete m_pImpl;
    m_pImpl = nullptr;
}

bool COrvEvent::Create(const char* pszName, bool bManualReset, bool bInitiallySet, int& nCode,
                       COrvStringA& strError) {
    Close();
    m_strName = pszName ? pszName : "";
    m_pImpl = new (std::nothrow) Impl;
    if (!m_pImpl) {
        nCode = enNetNoMemory;
        strError = "CreateEvent: out of memory";
        return false;
    }
    m_pImpl->bManualReset = bManualReset;
    m_pImpl->bSet = bInitiallySet;
    nCode = enNetOk;
    strError.Empty();
    return true;
}

bool COrvEvent::Create(const char* pszName, bool bManualReset, bool bInitiallySet) {
    int nCode;
    COrvStringA strError;
    return Create(pszName, bManualReset, bInitiallySet, nCode, strError);
}

bool COrvEvent::Set(int& nCode, COrvStringA& strError) {
    if (!m_pImpl) {
        nCode = enNetBadRequest;
        strError = "cannot set closed event";
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(m_pImpl->mutex);
        m_pImpl->bSet = true;
    }
    if (m_pImpl->bManualReset) {
        m_pImpl->cond.notify_all();
    } else {
        m_pImpl->cond.notify_one();
    }
    nCode = enNetOk;
    strError.Empty();
    return true;
}

bool COrvEvent::Set() {
    int nCode;
    COrvStringA strError;
    return Set(nCode, strError);
}

bool COrvEvent::Reset(int& nCode, COrvStringA& strError) {
    if (!m_pImpl) {
        nCode = enNetBadRequest;
        strError = "cannot reset closed event";
        return false;
    }
    std::lock_guard<std::mutex> hold(m_pImpl->mutex);
    m_pImpl->bSet = false;
    nCode = enNetOk;
    strError.Empty();
    return true;
}

bool COrvEvent::Reset() {
    int nCode;
    COrvStringA strError;
    return Reset(nCode, strError);
}

bool COrvEvent::Wait(unsigned nTimeoutMs, int& nCode, COrvStringA& strError) {
    if (!m_pImpl) {
        nCode = enNetServer;
        strError = "cannot wait for closed event";
        return false;
    }
    std::unique_lock<std::mutex> hold(m_pImpl->mutex);
    if (nTimeoutMs == kOrvInfinite) {
        m_pImpl->cond.wait(hold, [this] { return m_pImpl->bSet; });
    } else if (!m_pImpl->cond.wait_for(hold, std::chrono::milliseconds(nTimeoutMs),
                                       [this] { return m_pImpl->bSet; })) {
        nCode = enNetTimeout;
        strError = "event timeout";
        return false;
    }
    if (!m_pImpl->bManualReset) {
        m_pImpl->bSet = false;
    }
    nCode = enNetOk;
    strError.Empty();
    return true;
}

bool COrvEvent::Wait(unsigned nTimeoutMs) {
    int nCode;
    COrvStringA strError;
    return Wait(nTimeoutMs, nCode, strError);
}

// ---------------------------------------------------------------------------------------------
// COrvMutex (the in-process half; the file lock is in the platform part)

struct COrvMutex::Impl {
    std::condition_variable cond;
};

COrvMutex::COrvMutex(const char* pszName) : m_strName(pszName ? pszName : "") {
    if (m_strName.IsEmpty() || m_strName[0] != '/') {
        m_strPath = "/tmp/orv-mutex-";
        static const char kHex[] = "0123456789ABCDEF";
        for (int i = 0; i < m_strName.GetLength(); ++i) {
            const unsigned char ch = static_cast<unsigned char>(m_strName[i]);
            const bool bPlain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                                (ch >= '0' && ch <= '9') || ch == '.' || ch == '_' || ch == '-';
            if (bPlain) {
                m_strPath.AppendChar(static_cast<char>(ch));
            } else {
                m_strPath.AppendChar('%');
                m_strPath.AppendChar(kHex[ch >> 4]);
                m_strPath.AppendChar(kHex[ch & 15]);
            }
        }
        m_strPath += ".lock";
    } else {
        m_strPath = m_strName;
    }
    m_pImpl = new (std::nothrow) Impl;
}

COrvMutex::~COrvMutex() {
    {
        std::lock_guard<std::mutex> hold(m_gate);
        if (m_nCount > 0) {
            m_nCount = 0;
            m_nOwner = 0;
            UnlockFile();
        }
    }
    CloseFile();
    delete m_pImpl;
}

bool COrvMutex::Lock(unsigned nTimeoutMs, int& nCode, COrvStringA& strError) {
    if (!m_pImpl) {
        SOFTASSERT(m_pImpl != nullptr);
        nCode = enNetNoMemory;
        strError.Format("mutex %s: out of memory", static_cast<const char*>(m_strName));
        return false;
    }
    const int64_t nMe = OrvGetThreadNumber();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    std::unique_lock<std::mutex> hold(m_gate);
    if (m_nOwner == nMe) {
        ++m_nCount;
        nCode = enNetOk;
        strError.Empty();
        return true;
    }
    // First the other threads of this process, then the other processes.
    auto free = [this] { return m_nOwner == 0; };
    if (nTimeoutMs == kOrvInfinite) {
        m_pImpl->cond.wait(hold, free);
    } else if (!m_pImpl->cond.wait_until(hold, deadline, free)) {
        nCode = enNetTimeout;
        strError = "mutex timeout";
        return false;
    }
    m_nOwner = nMe;  // reserved while the file lock is taken without m_gate held
    hold.unlock();

    unsigned nLeftMs = nTimeoutMs;
    if (nTimeoutMs != kOrvInfinite) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        nLeftMs = left.count() > 0 ? static_cast<unsigned>(left.count()) : 0;
    }
    const bool bOk = OpenFile(nCode, strError) && LockFile(nLeftMs, nCode, strError);

    hold.lock();
    if (!bOk) {
        m_nOwner = 0;
        hold.unlock();
        m_pImpl->cond.notify_one();
        return false;
    }
    m_nCount = 1;
    nCode = enNetOk;
    strError.Empty();
    return true;
}

bool COrvMutex::Lock(unsigned nTimeoutMs) {
    int nCode;
    COrvStringA strError;
    return Lock(nTimeoutMs, nCode, strError);
}

void COrvMutex::Unlock() {
    std::unique_lock<std::mutex> hold(m_gate);
    if (m_nOwner != OrvGetThreadNumber() || m_nCount < 1) {
        ORV_ASSERT_TEXT(false, "this_thread_id == m_locker_thread_id");
        return;
    }
    if (--m_nCount > 0) {
        return;
    }
    UnlockFile();
    m_nOwner = 0;
    hold.unlock();
    if (m_pImpl) {
        m_pImpl->cond.notify_one();
    }
}

// ---------------------------------------------------------------------------------------------
// COrvReadWriteLock

struct COrvReadWriteLock::Impl {
    // Thread number -> that thread's read and write levels.
    COrvMap<int64_t, Entry> table{17, 0.75f, 0.25f, 2.25f, 10};
};

COrvReadWriteLock::COrvReadWriteLock() : m_pImpl(new (std::nothrow) Impl) {
    m_noReaders.Create("no readers", true, true);
}

COrvReadWriteLock::~COrvReadWriteLock() {
    delete m_pImpl;
}

uint32_t COrvReadWriteLock::Tick() {
    return static_cast<uint32_t>(OrvClockMonotonicNs() / 1000000);
}

void COrvReadWriteLock::LockRead() {
    TvAutoCriticalSection hold(m_guard);
    Entry& entry = m_pImpl->table[OrvGetThreadNumber()];
    ++entry.nRead;
    if (entry.nWrite == 0) {
        if (++m_nActiveReaders == 1 && m_nWaitingWriters > 0) {
            m_noReaders.Reset();
        }
    }
}

void COrvReadWriteLock::UnlockRead() {
    TvAutoCriticalSection hold(m_guard);
    const int64_t nMe = OrvGetThreadNumber();
    auto* pPair = m_pImpl->table.Lookup(nMe);
    if (pPair == nullptr || pPair->m_value.nRead < 1) {
        SOFTASSERT(pPair != nullptr && pPair->m_value.nRead >= 1);
        return;
    }
    Entry& entry = pPair->m_value;
    --entry.nRead;
    if (entry.nWrite == 0) {
        if (--m_nActiveReaders == 0 && m_nWaitingWriters > 0) {
            m_noReaders.Set();
        }
    }
    if (entry.nRead == 0) {
        const bool bNoWrites = entry.nWrite == 0;
        if (bNoWrites) {
            m_pImpl->table.RemoveKey(nMe);
        }
        if (m_bReleaseOnLastRead && bNoWrites && m_nWriter.load() == nMe) {
            // The last read of a downgraded write hold ends that hold.
            m_bReleaseOnLastRead = false;
            m_nWriter.store(0);
            m_nWriterSince.store(0);
            m_guard.Unlock();
        }
    }
}

void COrvReadWriteLock::TakeWrite(bool bDowngrade) {
    m_nWriter.store(OrvGetThreadNumber());
    const uint32_t nTick = Tick();
    m_nWriterSince.store(nTick ? nTick : 1);
    m_bReleaseOnLastRead = bDowngrade;
}

void COrvReadWriteLock::LockWrite(bool bDowngrade) {
    m_nWriterGate.fetch_add(1);
    LockWriteGated(bDowngrade);
}

void COrvReadWriteLock::LockWriteGated(bool bDowngrade) {
    m_guard.Lock();  // kept for the whole write hold
    Entry& entry = m_pImpl->table[OrvGetThreadNumber()];
    if (++entry.nWrite > 1) {
        m_bReleaseOnLastRead = bDowngrade;
        return;
    }
    m_nActiveReaders -= entry.nRead;
    if (m_nActiveReaders == 0 && m_nWaitingWriters == 0) {
        TakeWrite(bDowngrade);
        return;
    }
    if (++m_nWaitingWriters == 1) {
        SOFTASSERT(m_nActiveReaders != 0);
        m_noReaders.Reset();
    } else if (m_nActiveReaders == 0) {
        m_noReaders.Set();
    }
    do {
        // The guard is this thread's only level here: a thread entering its first write level
        // holds no other level of it.
        m_guard.Unlock();
        m_noReaders.Wait(kOrvInfinite);
        m_guard.Lock();
    } while (m_nActiveReaders != 0);
    --m_nWaitingWriters;
    m_noReaders.Set();
    TakeWrite(bDowngrade);
}

void COrvReadWriteLock::UnlockWrite() {
    const int64_t nMe = OrvGetThreadNumber();
    if (!m_guard.IsHeldByMe()) {
        SOFTASSERT(m_guard.IsHeldByMe());
        return;
    }
    auto* pPair = m_pImpl->table.Lookup(nMe);
    if (pPair == nullptr || pPair->m_value.nWrite < 1) {
        SOFTASSERT(pPair != nullptr && pPair->m_value.nWrite >= 1);
        return;
    }
    Entry& entry = pPair->m_value;
    if (--entry.nWrite == 0) {
        SOFTASSERT(m_nActiveReaders == 0);
        const int nRead = entry.nRead;
        m_nActiveReaders += nRead;
        if (m_nActiveReaders != 0 && m_nWaitingWriters > 0) {
            m_noReaders.Reset();
        }
        if (nRead == 0) {
            m_pImpl->table.RemoveKey(nMe);
            m_bReleaseOnLastRead = false;
        }
        if (!(nRead > 0 && m_bReleaseOnLastRead)) {
            m_nWriter.store(0);
            m_nWriterSince.store(0);
            m_guard.Unlock();
        }
    } else {
        // A nested level: the outer write hold continues, so the writer record stays.
        m_guard.Unlock();
    }
    m_nWriterGate.fetch_sub(1);
}

bool COrvReadWriteLock::TryLockWrite(bool bDowngrade) {
    const int32_t nGate = m_nWriterGate.fetch_add(1) + 1;
    if (nGate > 1 && m_nWriter.load() != OrvGetThreadNumber()) {
        m_nWriterGate.fetch_sub(1);
        return false;
    }
    LockWriteGated(bDowngrade);
    return true;
}

bool COrvReadWriteLock::TryLockRead(unsigned& nHeldMs) {
    m_nWriterGate.fetch_add(1);
    const int64_t nWriter = m_nWriter.load();
    if (nWriter != 0 && nWriter != OrvGetThreadNumber()) {
        const uint32_t nSince = m_nWriterSince.load();
        const uint32_t nNow = Tick();
        nHeldMs = (nSince == 0 || nNow == nSince - 1) ? 0 : nNow - nSince;
        m_nWriterGate.fetch_sub(1);
        return false;
    }
    nHeldMs = 0;
    m_nWriterGate.fetch_sub(1);
    LockRead();
    return true;
}
