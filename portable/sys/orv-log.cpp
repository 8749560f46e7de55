// COrvLog: entries, rotation, the header, failure reports; the trace file; the severe message box.
#include "orv-log.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "orv-clock.h"
#include "orv-format.h"
#include "orv-log-os.h"
#include "orv-program-path.h"
#include "orv-result.h"
#include "orv-thread.h"
#include "orv-trace.h"
#include "orv-ui-thread.h"
#include "orv-utf.h"

int g_orv_log_verbosity = 2;
int g_orv_log_header_count = 0;
unsigned char g_orv_interactive = 0;

// Constructed before the static initialisers of other translation units (which run at the default
// priority), so that those may already log.
__attribute__((init_priority(101))) COrvStringA g_orv_program_name;
__attribute__((init_priority(101))) COrvStringA g_orv_log_header_text;
__attribute__((init_priority(101))) COrvLog g_orv_log;

namespace {

constexpr const char kDefaultTimeFormat[] = "%Y-%m-%d %H:%M:%S";

// Buffered mode: the buffer goes to the kernel once it holds this much.
constexpr size_t kFlushBytes = 64 * 1024;
// While writes fail, the buffer keeps at most about this much; later entries are dropped.
constexpr size_t kKeptMax = 1024 * 1024;

// The lock and thread layer logs into the process-wide log.
void LockLogLine(const char* pszLine) {
    g_orv_log.Write(pszLine);
}

// Appends the decimal digits of n to p; returns the count.
int FormatInt64(char* p, long long n) {
    char tmp[kOrvDecimalChars];
    char* pEnd = tmp + sizeof(tmp);
    const char* pFirst = OrvDecimalBackward(pEnd, static_cast<int64_t>(n));
    const int nOut = static_cast<int>(pEnd - pFirst);
    std::memcpy(p, pFirst, static_cast<size_t>(nOut));
    return nOut;
}

}  // namespace

// One entry on its way to the file. It lives on the stack of the thread that logs it; that thread
// waits until nDone is set, and the writer touches the entry no more after setting it.
struct COrvLog::Entry {
    const char* p;  // the text, line ends already CR LF
    size_t n;
    int64_t nThread;  // thread number of the thread that logs it (for the prefix)
    bool bPrefix;
    Entry* pNext;  // older entry in the pending stack; newer one in a batch being written
    std::atomic<int> nDone{0};  // 0 queued, 1 written (or dropped), 2 its thread sleeps
};

namespace {

// How a thread whose entry waits in the queue passes the time. The writer's write(2) takes a
// microsecond or two, so the waiter first spins (kSpinNs), looking at its entry without any
// system call; then it yields the processor a few times (kYields) and finally sleeps until the
// entry is written. An entry that would wait for company waits at most kCompanyNs for it.
constexpr int64_t kSpinNs = 10000;
constexpr int64_t kCompanyNs = 1500;
constexpr int kYields = 8;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The calling thread's buffer for the text of the entry it is logging, reused from entry to
// entry so that logging allocates nothing once the buffer is large enough.
struct CEntryBuffer {
    char* p = nullptr;
    size_t nCap = 0;
    bool bBusy = false;  // an entry of this thread uses it (a nested entry takes its own)
    bool bGone = false;  // destroyed at thread exit: later entries of the thread take their own
    ~CEntryBuffer() {
        std::free(p);
        p = nullptr;
        nCap = 0;
        bGone = true;
    }
    bool Reserve(size_t n) {
        if (n <= nCap) {
            return true;
        }
        size_t nNew = nCap ? nCap : 512;
        while (nNew < n) {
            nNew *= 2;
        }
        char* pNew = static_cast<char*>(std::realloc(p, nNew));
        if (!pNew) {
            return false;
        }
        p = pNew;
        nCap = nNew;
        return true;
    }
};
thread_local CEntryBuffer t_entry;

// Number of line feeds that gain a carriage return: those not already preceded by one.
size_t CountLoneLf(const char* p, size_t n) {
    size_t k = 0;
    const char* pEnd = p + n;
    for (const char* q = static_cast<const char*>(std::memchr(p, '\n', n)); q;
         q = static_cast<const char*>(
             std::memchr(q + 1, '\n', static_cast<size_t>(pEnd - q - 1)))) {
        if (q == p || q[-1] != '\r') {
            ++k;
        }
    }
    return k;
}

// Turns the n bytes at p into CR LF line ends in place, from the back: a lone LF gains a CR, an
// LF after a CR stays as it is ("\n" -> "\r\n", then "\r\r\n" -> "\r\n"). The buffer holds at
// least n + nLone bytes. Returns the new length.
size_t NormaliseInPlace(char* p, size_t n, size_t nLone) {
    if (nLone == 0) {
        return n;
    }
    size_t nOut = n + nLone;
    for (size_t i = n; i-- > 0 && nOut > i + 1;) {
        const char ch = p[i];
        p[--nOut] = ch;
        if (ch == '\n' && (i == 0 || p[i - 1] != '\r')) {
            p[--nOut] = '\r';
        }
    }
    return n + nLone;
}

}  // namespace

// The buffer one entry is built in: the thread's own one, or, for an entry made while the
// thread's buffer is in use (logging from inside the log), a private one. The thread counts as
// busy with an entry of the log whose counter it was given while it makes the entry (until
// Queued) and while it leaves after the entry was written (from Returning): a thread that logs
// without pause comes back with its next entry at once, so a waiting entry may expect its
// company. Not while it waits, and not after a sleep: a thread woken takes long to come back.
class COrvLog::EntryText {
public:
    explicit EntryText(std::atomic<int>& nMaking)
        : m_pBuf(t_entry.bBusy || t_entry.bGone ? &m_own : &t_entry), m_nMaking(nMaking) {
        m_pBuf->bBusy = true;
        m_nMaking.fetch_add(1, std::memory_order_relaxed);
    }
    ~EntryText() {
        Queued();
        m_pBuf->bBusy = false;
    }
    EntryText(const EntryText&) = delete;
    EntryText& operator=(const EntryText&) = delete;
    CEntryBuffer& Buf() { return *m_pBuf; }
    // The entry is made and about to be queued.
    void Queued() {
        if (m_bCounted) {
            m_bCounted = false;
            m_nMaking.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    // The entry is written and the thread, still running, leaves the log.
    void Returning() {
        if (!m_bCounted) {
            m_bCounted = true;
            m_nMaking.fetch_add(1, std::memory_order_relaxed);
        }
    }

private:
    CEntryBuffer m_own;
    CEntryBuffer* m_pBuf;
    std::atomic<int>& m_nMaking;
    bool m_bCounted = true;
};

// Holds the file (the log lock) for a configuration call; leaving it goes through Leave, so that
// entries whose threads sleep meanwhile are written.
class COrvLog::Hold {
public:
    explicit Hold(COrvLog& log) : m_log(log) { m_log.m_lock.Lock(); }
    ~Hold() { m_log.Leave(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    COrvLog& m_log;
};

COrvLog::COrvLog() {
    if (this == &g_orv_log) {
        OrvSetLockLogSink(&LockLogLine);
    }
}

COrvLog::~COrvLog() {
    if (this == &g_orv_log) {
        OrvSetLockLogSink(nullptr);
    }
    {
        Hold hold(*this);
        DrainLocked(nullptr);
        FlushBatchLocked();
        CloseLocked();
    }
    std::free(m_pBuf);
    m_pBuf = nullptr;
}

void COrvLog::SetClock(ClockFn pfn) {
    Hold hold(*this);
    DrainLocked(nullptr);
    m_pfnClock = pfn;
    m_nCachedTime = 0;
    m_nStampTime = 0;
}

void COrvLog::SetMonthly(bool bMonthly) {
    Hold hold(*this);
    DrainLocked(nullptr);
    m_bMonthly = bMonthly;
    m_nStampTime = 0;
}

void COrvLog::SetTimeFormat(const char* pszFormat) {
    Hold hold(*this);
    DrainLocked(nullptr);
    m_strTimeFormat = pszFormat ? pszFormat : "";
    m_nCachedTime = 0;
}

void COrvLog::SetLogFolder(const char* pszFolder, const char* pszPrefix, bool bPerRunNames) {
    COrvStringA sFolderA(pszFolder ? pszFolder : "");
    COrvStringA sPrefixA(pszPrefix ? pszPrefix : "");
    if (sFolderA.IsEmpty() || sPrefixA.IsEmpty()) {
        ORV_ASSERT_TEXT(!sFolderA.IsEmpty(), "!sFolderA.IsEmpty()");
        ORV_ASSERT_TEXT(!sPrefixA.IsEmpty(), "!sPrefixA.IsEmpty()");
        return;
    }
    Hold hold(*this);
    DrainLocked(nullptr);  // what was logged before the switch goes to the old file
    const bool bSwitch = !m_strFolder.IsEmpty() && m_strFolder != sFolderA;
    COrvStringA strLine;
    if (bSwitch) {
        strLine.Format("*** Switching to new global log folder %s\n",
                       static_cast<const char*>(sFolderA));
        WriteEntryLocked(strLine, strLine.GetLength(), true);
    }
    FlushBatchLocked();  // buffered entries belong to the old file
    m_strFolder = sFolderA;
    m_strPrefix = sPrefixA;
    m_bPerRunNames = bPerRunNames;
    m_bRotate = true;
    m_bEnabled.store(true, std::memory_order_relaxed);
    CloseLocked();
    m_strStamp.Empty();
    m_nStampTime = 0;
    if (bSwitch) {
        strLine.Format("*** Switched to new global log folder %s\n",
                       static_cast<const char*>(sFolderA));
        WriteEntryLocked(strLine, strLine.GetLength(), true);
    }
}

void COrvLog::SetLogFile(const char* pszName) {
    COrvStringA strName(pszName ? pszName : "");
    Hold hold(*this);
    DrainLocked(nullptr);
    FlushBatchLocked();
    CloseLocked();
    int nSlash = -1;
    for (int i = 0; i < strName.GetLength(); ++i) {
        if (strName[i] == '/') {
            nSlash = i;
        }
    }
    if (nSlash >= 0) {
        // A path: its folder part replaces the log folder, so the file is written where named.
        m_strFolder = nSlash == 0 ? COrvStringA("/") : strName.Mid(0, nSlash);
        m_strFileName = strName.Mid(nSlash + 1);
    } else {
        m_strFileName = strName;
    }
    m_bRotate = false;
    if (!strName.IsEmpty()) {
        m_bEnabled.store(true, std::memory_order_relaxed);
    }
}

void COrvLog::SetBuffered(bool bBuffered) {
    Hold hold(*this);
    DrainLocked(nullptr);
    if (!bBuffered) {
        FlushBatchLocked();
    }
    m_bBuffered.store(bBuffered, std::memory_order_relaxed);
}

bool COrvLog::IsBuffered() {
    return m_bBuffered.load(std::memory_order_relaxed);
}

void COrvLog::Flush() {
    Hold hold(*this);
    DrainLocked(nullptr);
    FlushBatchLocked();
}

void COrvLog::Close(bool bEnable) {
    Hold hold(*this);
    DrainLocked(nullptr);
    FlushBatchLocked();
    CloseLocked();
    m_bEnabled.store(bEnable, std::memory_order_relaxed);
}

void COrvLog::Reset() {
    Hold hold(*this);
    DrainLocked(nullptr);
    FlushBatchLocked();
    CloseLocked();
    m_nBufLen = 0;  // what a failed flush kept is forgotten with the rest
    m_bFlushFailed = false;
    m_bContinues = false;
    m_bBuffered.store(false, std::memory_order_relaxed);
    m_bEnabled.store(false, std::memory_order_relaxed);
    m_strFolder.Empty();
    m_strPrefix.Empty();
    m_strFileName.Empty();
    m_strStamp.Empty();
    m_bRotate = false;
    m_bPerRunNames = false;
    m_bMonthly = false;
    m_strTimeFormat.Empty();
    m_bHeaderPending = false;
    m_bTorn = false;
    m_nCachedTime = 0;
    m_nStampTime = 0;
}

COrvStringA COrvLog::GetFilePath() {
    Hold hold(*this);
    COrvStringA strPath;
    if (!m_strFolder.IsEmpty() && !m_strFileName.IsEmpty()) {
        strPath = m_strFolder;
        strPath += "/";
        strPath += m_strFileName;
    }
    return strPath;
}

bool COrvLog::IsEnabled() {
    Hold hold(*this);
    return m_bEnabled.load(std::memory_order_relaxed);
}

bool COrvLog::IsOpen() {
    Hold hold(*this);
    DrainLocked(nullptr);
    return m_fd >= 0;
}

// ---------------------------------------------------------------------------------------------
// Entries

void COrvLog::Printf(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    PrintfV(pszFormat, args);
    va_end(args);
}

void COrvLog::PrintfV(const char* pszFormat, va_list args) {
    if (g_orv_log_verbosity == 9 || !m_bEnabled.load(std::memory_order_relaxed)) {
        return;
    }
    if (m_bBuffered.load(std::memory_order_relaxed) && pszFormat) {
        va_list copy;
        va_copy(copy, args);
        const bool bDone = BufferEntry(true, nullptr, 0, pszFormat, &copy);
        va_end(copy);
        if (bDone) {
            return;
        }
    }
    {
        // Formatted straight into the thread's own buffer, without the lock and without
        // allocating.
        EntryText text(m_nMaking);
        CEntryBuffer& buf = text.Buf();
        int nLen = -1;
        if (pszFormat && buf.Reserve(256)) {
            va_list copy;
            va_copy(copy, args);
            nLen = OrvVFormat(buf.p, static_cast<int>(buf.nCap), false, pszFormat, nullptr, copy);
            va_end(copy);
            if (nLen >= static_cast<int>(buf.nCap)) {
                if (nLen < 0x7FFFFFF0 && buf.Reserve(static_cast<size_t>(nLen) + 1)) {
                    va_copy(copy, args);
                    nLen = OrvVFormat(buf.p, static_cast<int>(buf.nCap), false, pszFormat, nullptr,
                                      copy);
                    va_end(copy);
                }
                if (nLen >= static_cast<int>(buf.nCap)) {
                    nLen = -1;
                }
            }
        }
        if (nLen >= 0) {
            const size_t n = static_cast<size_t>(nLen);
            const size_t nLone = CountLoneLf(buf.p, n);
            if (buf.Reserve(n + nLone)) {
                Submit(text, buf.p, NormaliseInPlace(buf.p, n, nLone), true);
            }
            return;
        }
    }
    // A format error (or no memory): the string's formatter reports it as it always does, and
    // the entry carries what it gives (nothing).
    COrvStringA strText;
    strText.FormatV(pszFormat, args);
    WriteEntry(strText, strText.GetLength(), true);
}

void COrvLog::PrintfW(const char16_t* pszFormat, ...) {
    if (g_orv_log_verbosity == 9 || !m_bEnabled.load(std::memory_order_relaxed)) {
        return;
    }
    va_list args;
    va_start(args, pszFormat);
    COrvStringW strText;
    strText.FormatV(pszFormat, args);
    va_end(args);
    COrvStringA strUtf8;
    OrvUtf16ToUtf8(strText, strUtf8);
    WriteEntry(strUtf8, strUtf8.GetLength(), true);
}

void COrvLog::Write(const char* pszText) {
    WriteEntry(pszText, pszText ? static_cast<int>(std::strlen(pszText)) : 0, true);
}

void COrvLog::WriteRaw(const char* pszText) {
    WriteEntry(pszText, pszText ? static_cast<int>(std::strlen(pszText)) : 0, false);
}

void COrvLog::WriteW(const char16_t* pszText) {
    if (g_orv_log_verbosity == 9 || !m_bEnabled.load(std::memory_order_relaxed)) {
        return;
    }
    COrvStringA strUtf8;
    OrvUtf16ToUtf8(pszText ? pszText : u"", strUtf8);
    WriteEntry(strUtf8, strUtf8.GetLength(), true);
}

void COrvLog::WriteRawW(const char16_t* pszText) {
    if (g_orv_log_verbosity == 9 || !m_bEnabled.load(std::memory_order_relaxed)) {
        return;
    }
    COrvStringA strUtf8;
    OrvUtf16ToUtf8(pszText ? pszText : u"", strUtf8);
    WriteEntry(strUtf8, strUtf8.GetLength(), false);
}

void COrvLog::WriteEntry(const char* pszText, int nLen, bool bPrefix) {
    if (g_orv_log_verbosity == 9 || !m_bEnabled.load(std::memory_order_relaxed)) {
        return;
    }
    if (!pszText || nLen < 0) {
        nLen = 0;
    }
    const size_t n = static_cast<size_t>(nLen);
    if (m_bBuffered.load(std::memory_order_relaxed) &&
        BufferEntry(bPrefix, pszText, n, nullptr, nullptr)) {
        return;
    }
    EntryText text(m_nMaking);
    CEntryBuffer& buf = text.Buf();
    const size_t nLone = n > 0 ? CountLoneLf(pszText, n) : 0;
    if (!buf.Reserve(n + nLone + 1)) {
        return;
    }
    if (n > 0) {
        std::memcpy(buf.p, pszText, n);
    }
    Submit(text, buf.p, NormaliseInPlace(buf.p, n, nLone), bPrefix);
}

// With m_lock held by the caller (the configuration calls): writes the entry after everything
// queued before it.
void COrvLog::WriteEntryLocked(const char* pszText, int nLen, bool bPrefix) {
    WriteEntry(pszText, nLen, bPrefix);
}

// Buffered mode: appends one entry (pszFormat formatted with *pArgs, or the nLen bytes at
// pszText) to the buffer under the lock, and flushes when the buffer asks for it. False when the
// entry must take the default path instead: this thread is inside the log's own work (a write
// hook or the like logs), or the format failed (the default path reports it as it always does).
bool COrvLog::BufferEntry(bool bPrefix, const char* pszText, size_t nLen, const char* pszFormat,
                          va_list* pArgs) {
    m_lock.Lock();
    if (InsideLocked()) {
        m_lock.Unlock();
        return false;
    }
    if (m_pPending.load(std::memory_order_relaxed) != nullptr) {
        DrainLocked(nullptr);  // entries queued before the switch to buffered mode come first
    }
    if (g_orv_log_verbosity == 9 || !m_bEnabled.load(std::memory_order_relaxed)) {
        Leave();
        return true;
    }
    const int64_t nNow = m_pfnClock ? m_pfnClock() : OrvClockNow();
    if (m_bRotate) {
        Rotate(nNow);  // a new date flushes the old day's entries into the old day's file first
    }
    if (m_strFolder.IsEmpty() || m_strFileName.IsEmpty()) {
        Leave();  // nowhere to write: dropped, as in the default mode
        return true;
    }
    bool bFormatted = true;
    if (!m_bFlushFailed || m_nBufLen < kKeptMax) {
        const size_t nMark = m_nBufLen;
        m_bAppending = true;
        const bool bPrefixed = !bPrefix || AppendPrefix(nNow, OrvGetThreadNumber());
        bFormatted = bPrefixed && (pszFormat ? AppendFormatted(pszFormat, *pArgs)
                                             : AppendNormalised(pszText, nLen));
        m_bAppending = false;
        if (!bFormatted) {
            m_nBufLen = nMark;
        } else if (nMark == 0) {
            m_nBufOldest = nNow;
        }
    }
    if (m_nBufLen >= kFlushBytes || nNow - m_nBufOldest >= 1 || m_bFlushFailed ||
        !m_bBuffered.load(std::memory_order_relaxed)) {
        FlushBatchLocked();
    }
    Leave();
    return bFormatted;
}

// Formats straight into the buffer, after what it holds, and turns the line ends into CR LF.
bool COrvLog::AppendFormatted(const char* pszFormat, va_list args) {
    if (!Reserve(m_nBufLen + 256)) {
        return false;
    }
    int nLen = -1;
    for (int nTry = 0; nTry < 2; ++nTry) {
        const size_t nRoom = m_nBufCap - m_nBufLen;
        const int nSize = nRoom < 0x7FFFFFF0 ? static_cast<int>(nRoom) : 0x7FFFFFF0;
        va_list copy;
        va_copy(copy, args);
        nLen = OrvVFormat(m_pBuf + m_nBufLen, nSize, false, pszFormat, nullptr, copy);
        va_end(copy);
        if (nLen < 0) {
            return false;
        }
        if (nLen < nSize) {
            break;
        }
        // Cut: make room for the whole text and format once more.
        if (nLen >= 0x7FFFFFF0 || !Reserve(m_nBufLen + static_cast<size_t>(nLen) + 1)) {
            return false;
        }
        nLen = -1;
    }
    if (nLen < 0) {
        return false;
    }
    const size_t n = static_cast<size_t>(nLen);
    const size_t nLone = CountLoneLf(m_pBuf + m_nBufLen, n);
    if (!Reserve(m_nBufLen + n + nLone)) {
        return false;
    }
    m_nBufLen += NormaliseInPlace(m_pBuf + m_nBufLen, n, nLone);
    return true;
}

// Copies the n bytes at p to the buffer, line ends turned into CR LF.
bool COrvLog::AppendNormalised(const char* p, size_t n) {
    const size_t nLone = n > 0 ? CountLoneLf(p, n) : 0;
    if (!Reserve(m_nBufLen + n + nLone)) {
        return false;
    }
    if (n > 0) {
        std::memcpy(m_pBuf + m_nBufLen, p, n);
    }
    m_nBufLen += NormaliseInPlace(m_pBuf + m_nBufLen, n, nLone);
    return true;
}

void COrvLog::Submit(EntryText& text, const char* pszText, size_t nLen, bool bPrefix) {
    Entry entry{pszText, nLen, OrvGetThreadNumber(), bPrefix, nullptr};
    text.Queued();
    if (m_lock.IsHeldByMe()) {
        // A configuration call of this thread writes its own lines, or something the writer calls
        // logs again: the file is this thread's already.
        if (InsideLocked()) {
            WriteNestedLocked(entry);
        } else {
            DrainLocked(&entry);
        }
        return;
    }
    // Queue the entry, then either see it written by the thread that holds the file, or take the
    // file and write everything queued.
    Entry* pHead = m_pPending.load(std::memory_order_relaxed);
    do {
        entry.pNext = pHead;
    } while (!m_pPending.compare_exchange_weak(pHead, &entry, std::memory_order_release,
                                               std::memory_order_relaxed));
    // Whoever takes the file writes every queued entry. An entry that finds the file free while it
    // is alone in the queue and another thread is making an entry (formatting it, so running now)
    // waits a moment for that entry before it takes the file, so that one write carries both
    // (group commit). The check is made when the file is found free, not when the entry is
    // queued: two threads that log without pause queue their entries while the other one writes,
    // and would otherwise take turns writing one entry each. With company in the queue, or with
    // no other thread making an entry, it goes at once: a thread that is waiting, or was put off
    // the processor while waiting, is not waited for.
    int64_t nQueuedAt = 0;    // first clock reading of a long wait
    int64_t nAloneSince = 0;  // when the file was first found free while waiting for company
    auto elapsedNs = [&nQueuedAt] {
        const int64_t nTick = OrvClockMonotonicNs();
        if (nQueuedAt == 0) {
            nQueuedAt = nTick;
        }
        return nTick - nQueuedAt;
    };
    int nYields = 0;
    for (unsigned i = 1;; ++i) {
        if (entry.nDone.load(std::memory_order_acquire) != 0) {
            text.Returning();
            return;
        }
        const bool bLate = nYields >= kYields;
        if (m_lock.GetDepth() == 0) {
            bool bGo = true;
            if (!bLate && m_pPending.load(std::memory_order_relaxed) == &entry &&
                m_nMaking.load(std::memory_order_relaxed) > 0) {
                const int64_t nTick = OrvClockMonotonicNs();
                if (nAloneSince == 0) {
                    nAloneSince = nTick;
                }
                bGo = nTick - nAloneSince >= kCompanyNs;
            }
            if (bGo && m_lock.TryLock()) {
                break;
            }
        }
        if (bLate) {
            // Long enough: sleep until a writer has written the entry. Whoever holds the file
            // looks for sleepers after leaving it (Leave), so either it sees this one or this
            // one sees the file free and takes it itself.
            // (Both sides make a read-modify-write of m_nSleepers: whichever comes second in its
            // order sees what the other did before it, the queued entry or the file left free.)
            m_nSleepers.fetch_add(1, std::memory_order_acq_rel);
            if (m_lock.GetDepth() == 0) {
                m_nSleepers.fetch_sub(1, std::memory_order_relaxed);
                if (m_lock.TryLock()) {
                    break;
                }
                OrvYield();
                continue;
            }
            int nState = 0;
            if (entry.nDone.compare_exchange_strong(nState, 2, std::memory_order_acquire)) {
                std::unique_lock<std::mutex> sleep(m_sleepMutex);
                m_sleepCond.wait(
                    sleep, [&entry] { return entry.nDone.load(std::memory_order_acquire) == 1; });
            }
            m_nSleepers.fetch_sub(1, std::memory_order_relaxed);
            return;
        }
        if ((i & 15) == 0 && elapsedNs() >= kSpinNs) {
            ++nYields;
            OrvYield();
            continue;
        }
        CpuRelax();
    }
    // The file is ours: the entry is written by this drain, unless the last holder did it.
    DrainLocked(nullptr);
    text.Returning();
    Leave();
}

// Leaves the file. Entries queued meanwhile are left to the next thread that takes it (usually
// this thread's own next entry, or their own spinning threads), except those whose threads sleep:
// those are written now, unless another thread took the file, which then does the same.
void COrvLog::Leave() {
    for (;;) {
        m_lock.Unlock();
        if (m_nSleepers.fetch_add(0, std::memory_order_acq_rel) == 0 ||
            m_pPending.load(std::memory_order_relaxed) == nullptr || !m_lock.TryLock()) {
            return;
        }
        DrainLocked(nullptr);
    }
}

bool COrvLog::Reserve(size_t nLen) {
    if (nLen <= m_nBufCap) {
        return true;
    }
    size_t nCap = m_nBufCap ? m_nBufCap : 4096;
    while (nCap < nLen) {
        nCap *= 2;
    }
    char* p = static_cast<char*>(std::realloc(m_pBuf, nCap));
    if (!p) {
        return false;
    }
    m_pBuf = p;
    m_nBufCap = nCap;
    return true;
}

bool COrvLog::AppendBytes(const char* p, size_t n) {
    if (!Reserve(m_nBufLen + n)) {
        return false;
    }
    if (n > 0) {
        std::memcpy(m_pBuf + m_nBufLen, p, n);
        m_nBufLen += n;
    }
    return true;
}

bool COrvLog::AppendPrefix(int64_t nNow, int64_t nThread) {
    if (nNow != m_nCachedTime || m_nCachedTimeLen == 0) {
        // The line time changes once a second: format it once per second.
        const bool bDefault = m_strTimeFormat.IsEmpty();
        const int nLen = OrvLogOsFormatLocal(nNow, bDefault ? kDefaultTimeFormat : m_strTimeFormat,
                                             m_szCachedTime, sizeof(m_szCachedTime) - 1);
        // The same texts as the library's time formatter gives for these failures.
        const char* pszBad = nLen == -1 ? "(bad-time-1)" : "(bad-time-2)";
        if (nLen < 0) {
            std::strcpy(m_szCachedTime, pszBad);
        }
        m_nCachedTimeLen = nLen < 0 ? static_cast<int>(std::strlen(pszBad)) : nLen;
        if (bDefault) {
            m_szCachedTime[m_nCachedTimeLen++] = ' ';
        }
        m_nCachedTime = nNow;
    }
    if (!Reserve(m_nBufLen + m_nCachedTimeLen + 24)) {
        return false;
    }
    std::memcpy(m_pBuf + m_nBufLen, m_szCachedTime, m_nCachedTimeLen);
    m_nBufLen += m_nCachedTimeLen;
    m_nBufLen += FormatInt64(m_pBuf + m_nBufLen, static_cast<long long>(nThread));
    m_pBuf[m_nBufLen++] = ' ';
    return true;
}

bool COrvLog::Rotate(int64_t nNow) {
    if (nNow == m_nStampTime && !m_strStamp.IsEmpty()) {
        return false;  // already checked this second
    }
    struct tm tmLocal;
    if (!OrvClockBreakdown(nNow, true, &tmLocal)) {
        return false;  // keep the current file
    }
    m_nStampTime = nNow;
    const int nYear = tmLocal.tm_year - 100;
    const int nMonth = tmLocal.tm_mon + 1;
    COrvStringA strStamp;
    if (m_bMonthly) {
        strStamp.Format("%s-%02d%02d", static_cast<const char*>(m_strPrefix), nYear, nMonth);
    } else {
        strStamp.Format("%s-%02d%02d%02d", static_cast<const char*>(m_strPrefix), nYear, nMonth,
                        tmLocal.tm_mday);
    }
    if (strStamp == m_strStamp) {
        return false;
    }
    FlushBatchLocked();  // buffered entries of the old date go to the old date's file
    CloseLocked();
    m_strStamp = strStamp;
    if (m_bPerRunNames) {
        m_strFileName.Format("%s-%02d%02d%02d-%02d%02d", static_cast<const char*>(m_strPrefix),
                             nYear, nMonth, tmLocal.tm_mday, tmLocal.tm_hour, tmLocal.tm_min);
    } else {
        m_strFileName = strStamp;
    }
    m_strFileName += ".log";
    if (!g_orv_log_header_text.IsEmpty()) {
        // The first file of the process starts without the header; later rotations repeat it.
        if (g_orv_log_header_count++ > 0) {
            m_bHeaderPending = true;
        }
    }
    return true;
}

void COrvLog::Report(const char* pszWhat) {
    COrvStringA strLine;
    strLine.Format("%s: %s\n", static_cast<const char*>(g_orv_program_name), pszWhat);
    OrvLogOsStderr(strLine, static_cast<size_t>(strLine.GetLength()));
}

bool COrvLog::OpenLocked() {
    COrvStringA strPath = m_strFolder;
    strPath += "/";
    strPath += m_strFileName;
    int nErr = 0;
    const int fd = OrvLogOsOpenAppend(strPath, nErr);
    if (fd < 0) {
        COrvStringA strWhat;
        strWhat.Format("Cannot open log file %s: %s", static_cast<const char*>(strPath),
                       static_cast<const char*>(OrvErrnoText(nErr)));
        Report(strWhat);
        m_bEnabled.store(false, std::memory_order_relaxed);
        return false;
    }
    m_fd = fd;
    if (m_bContinues && strPath != m_strContinuesPath) {
        // The buffer starts with the rest of a line whose beginning a failed write left in a
        // file. In that file it completes the line (it stays marked until written); in another
        // one it would start a line in the middle, so there the rest is dropped.
        m_bContinues = false;
        const char* pLf = static_cast<const char*>(std::memchr(m_pBuf, '\n', m_nBufLen));
        const size_t nSkip = pLf ? static_cast<size_t>(pLf - m_pBuf) + 1 : m_nBufLen;
        std::memmove(m_pBuf, m_pBuf + nSkip, m_nBufLen - nSkip);
        m_nBufLen -= nSkip;
    }
    if (m_bTorn) {
        // The last write broke off inside an entry: end that fragment's line, so the next entry
        // starts a line of its own.
        m_bTorn = false;
        if (OrvLogOsFileSize(fd) > 0 && !WriteBytesLocked("\r\n", 2)) {
            return false;
        }
    }
    if (m_bHeaderPending) {
        m_bHeaderPending = false;
        if (!WriteBytesLocked(g_orv_log_header_text, g_orv_log_header_text.GetLength())) {
            return false;
        }
    }
    return true;
}

void COrvLog::CloseLocked() {
    if (m_fd >= 0) {
        OrvLogOsClose(m_fd);
        m_fd = -1;
    }
}

bool COrvLog::WriteBytesLocked(const char* p, size_t n, size_t* pnWritten) {
    size_t nWritten = 0;
    int nErr = 0;
    const bool bOk = OrvLogOsWrite(m_fd, p, n, nWritten, nErr);
    if (pnWritten) {
        *pnWritten = nWritten;
    }
    if (bOk) {
        return true;
    }
    m_bTorn = nWritten > 0 && p[nWritten - 1] != '\n';
    COrvStringA strWhat;
    strWhat.Format("Cannot write log file %s/%s: %s", static_cast<const char*>(m_strFolder),
                   static_cast<const char*>(m_strFileName),
                   static_cast<const char*>(OrvErrnoText(nErr)));
    Report(strWhat);
    CloseLocked();
    return false;
}

// Writes the batch built in m_pBuf, opening the file first when it is closed. In the default
// mode the batch is gone afterwards, written or not. In buffered mode what a failed write did not
// write stays in the buffer for the next attempt; an open failure (which disables the log) drops
// it, as the log drops entries while disabled.
void COrvLog::FlushBatchLocked() {
    if (m_nBufLen == 0 || m_bFlushing) {
        return;
    }
    if (m_strFileName.IsEmpty() || m_strFolder.IsEmpty()) {
        m_nBufLen = 0;
        return;
    }
    m_bFlushing = true;
    const bool bKeep = m_bBuffered.load(std::memory_order_relaxed);
    bool bOk = false;
    size_t nWritten = 0;
    if (m_fd >= 0 || OpenLocked()) {
        bOk = m_nBufLen == 0 || WriteBytesLocked(m_pBuf, m_nBufLen, &nWritten);
    } else if (!m_bEnabled.load(std::memory_order_relaxed)) {
        nWritten = m_nBufLen;  // the open failed: dropped
        bOk = true;
    }
    if (bOk || !bKeep) {
        m_nBufLen = 0;
        m_bFlushFailed = false;
        m_bContinues = false;
    } else {
        // Keep the rest. A line cut by the failed write is completed when the same file reopens.
        if (nWritten > 0) {
            m_bContinues = m_pBuf[nWritten - 1] != '\n';
            m_bTorn = false;
            m_strContinuesPath = m_strFolder;
            m_strContinuesPath += "/";
            m_strContinuesPath += m_strFileName;
        }
        std::memmove(m_pBuf, m_pBuf + nWritten, m_nBufLen - nWritten);
        m_nBufLen -= nWritten;
        m_bFlushFailed = true;
    }
    m_bFlushing = false;
}

// The heart of the log, with m_lock held: takes every queued entry (and pLast, this thread's own
// entry, after them), builds one batch of whole lines with one line time, rotates the file when
// that time asks for it, writes the batch in one write (in buffered mode: adds it to the buffer,
// which is written when it asks for it) and releases the entries' threads.
void COrvLog::DrainLocked(Entry* pLast) {
    if (m_bDraining) {
        return;  // re-entered from inside a drain: the outer one goes on
    }
    Entry* pNewest = m_pPending.exchange(nullptr, std::memory_order_acquire);
    if (!pNewest && !pLast) {
        return;
    }
    m_bDraining = true;
    // The queue is newest first: turn it round so that entries go out in the order they came.
    Entry* pFirst = pLast;
    if (pLast) {
        pLast->pNext = nullptr;
    }
    while (pNewest) {
        Entry* pOlder = pNewest->pNext;
        pNewest->pNext = pFirst;
        pFirst = pNewest;
        pNewest = pOlder;
    }
    if (g_orv_log_verbosity != 9 && m_bEnabled.load(std::memory_order_relaxed)) {
        const int64_t nNow = m_pfnClock ? m_pfnClock() : OrvClockNow();
        if (m_bRotate) {
            Rotate(nNow);
        }
        // The entries join what is buffered (in the default mode nothing, unless a failed flush
        // of buffered mode kept something just before the switch).
        const bool bBuffered = m_bBuffered.load(std::memory_order_relaxed);
        const size_t nStart = m_nBufLen;
        for (Entry* p = pFirst; p; p = p->pNext) {
            const size_t nMark = m_nBufLen;
            if ((p->bPrefix && !AppendPrefix(nNow, p->nThread)) || !AppendBytes(p->p, p->n)) {
                // No memory for a batch this large: write what is there, then this entry alone.
                m_nBufLen = nMark;
                FlushBatchLocked();
                if ((p->bPrefix && !AppendPrefix(nNow, p->nThread)) || !AppendBytes(p->p, p->n)) {
                    m_nBufLen = 0;  // not even one entry fits: it is lost
                }
            }
        }
        if (bBuffered && nStart == 0 && m_nBufLen > 0) {
            m_nBufOldest = nNow;
        }
        if (!bBuffered || m_nBufLen >= kFlushBytes || nNow - m_nBufOldest >= 1 || m_bFlushFailed) {
            FlushBatchLocked();
        }
        if (m_nBufLen == 0 && m_nBufCap > (1u << 20)) {
            // After an unusually large batch, give the memory back.
            std::free(m_pBuf);
            m_pBuf = nullptr;
            m_nBufCap = 0;
        }
    }
    // Release the waiting threads; an entry may be gone as soon as its flag is set. A thread that
    // sleeps (state 2) is woken; the wake touches only the log's own members.
    bool bWake = false;
    for (Entry* p = pFirst; p;) {
        Entry* pNext = p->pNext;
        if (p != pLast && p->nDone.exchange(1, std::memory_order_acq_rel) == 2) {
            bWake = true;
        }
        p = pNext;
    }
    if (bWake) {
        std::lock_guard<std::mutex> sleep(m_sleepMutex);
        m_sleepCond.notify_all();
    }
    m_bDraining = false;
}

// An entry made while this thread is writing a batch (something the writer called logged): it is
// written on its own, before the batch, if the file is open.
void COrvLog::WriteNestedLocked(const Entry& entry) {
    if (g_orv_log_verbosity == 9 || !m_bEnabled.load(std::memory_order_relaxed) || m_fd < 0) {
        return;
    }
    COrvStringA strLine;
    if (entry.bPrefix) {
        const int64_t nNow = m_pfnClock ? m_pfnClock() : OrvClockNow();
        char szTime[80];
        const bool bDefault = m_strTimeFormat.IsEmpty();
        const int nLen = OrvLogOsFormatLocal(nNow, bDefault ? kDefaultTimeFormat : m_strTimeFormat,
                                             szTime, sizeof(szTime));
        strLine.Format(bDefault ? "%s %lld " : "%s%lld ", nLen < 0 ? "(bad-time)" : szTime,
                       static_cast<long long>(entry.nThread));
    }
    strLine.Append(entry.p, static_cast<int>(entry.n));
    WriteBytesLocked(strLine, static_cast<size_t>(strLine.GetLength()));
}

// ---------------------------------------------------------------------------------------------
// Trace file

namespace {

constexpr int kTracePathMax = 2048;

std::mutex s_traceLock;
char s_szTracePath[kTracePathMax + 1] = {};
bool s_bTraceOpened = false;

}  // namespace

bool OrvOpenTraceFile(const char* pszPath) {
    std::lock_guard<std::mutex> hold(s_traceLock);
    if (s_bTraceOpened) {
        return true;
    }
    if (!pszPath || !*pszPath) {
        return false;
    }
    const size_t nLen = std::strlen(pszPath);
    if (nLen > static_cast<size_t>(kTracePathMax)) {
        return false;
    }
    int nErr = 0;
    const int fd = OrvLogOsOpenAppend(pszPath, nErr);
    if (fd < 0) {
        return false;
    }
    std::memcpy(s_szTracePath, pszPath, nLen + 1);
    s_bTraceOpened = true;

    COrvStringA strModule;
    COrvError errModule;
    (void)OrvGetExecutablePath(strModule, errModule);  // the banner names no program then
    struct tm tmUtc;
    const bool bTime = OrvClockBreakdown(OrvClockNow(), false, &tmUtc);
    COrvStringA strBanner;
    strBanner.Format("%s\n\n*** TRACER LOG FROM: %s ***\n=== DATE: %04d/%02d/%02d ===\n\n",
                     OrvLogOsFileSize(fd) == 0 ? "\xEF\xBB\xBF" : "",
                     static_cast<const char*>(strModule), bTime ? tmUtc.tm_year + 1900 : 0,
                     bTime ? tmUtc.tm_mon + 1 : 0, bTime ? tmUtc.tm_mday : 0);
    size_t nWritten;
    OrvLogOsWrite(fd, strBanner, static_cast<size_t>(strBanner.GetLength()), nWritten, nErr);
    OrvLogOsClose(fd);
    return true;
}

bool OrvAppendTraceFile(const char* pszText, int nLen) {
    std::lock_guard<std::mutex> hold(s_traceLock);
    if (!s_bTraceOpened || !pszText) {
        return false;
    }
    const size_t n = nLen < 0 ? std::strlen(pszText) : static_cast<size_t>(nLen);
    int nErr = 0;
    const int fd = OrvLogOsOpenAppend(s_szTracePath, nErr);
    if (fd < 0) {
        return false;
    }
    size_t nWritten;
    const bool bOk = OrvLogOsWrite(fd, pszText, n, nWritten, nErr);
    OrvLogOsClose(fd);
    return bOk;
}

bool OrvAppendTraceFileW(const char16_t* pszText, int nLen) {
    if (!pszText) {
        return false;
    }
    COrvStringA strUtf8;
    if (nLen < 0) {
        OrvUtf16ToUtf8(pszText, strUtf8);
    } else {
        OrvUtf16ToUtf8(pszText, nLen, strUtf8);
    }
    return OrvAppendTraceFile(strUtf8, strUtf8.GetLength());
}

// ---------------------------------------------------------------------------------------------
// Severe message box

int OrvSevereMessageBox(IOrvUiWindow* /*pOwner*/, const char* pszMessage, const char* pszTitle,
                        unsigned nStyle) {
    const char* pszM = pszMessage ? pszMessage : "";
    const char* pszT = pszTitle ? pszTitle : "";
    IOrvUiThread* pUi = OrvGetUiThread();
    if (g_orv_interactive && pUi) {
        return pUi->ShowMessageBox(pszT, pszM, nStyle);
    }
    g_orv_log.Printf("!!! SEVERE MESSAGE BOX: title: %s message: %s\n", pszT, pszM);
    return 0;
}
