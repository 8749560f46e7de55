// The rotating log file (COrvLog, g_orv_log), the trace file, and the severe message box.
//
// A log entry is one line (or several) written whole under the log object's own lock, with the
// local time and the thread number in front ("2024-03-05 14:07:00 12 text"), line ends turned
// into CR LF. With a log folder and a prefix the file name follows the date: prefix-YYMMDD.log
// (daily), prefix-YYMMDD-HHMM.log (per-run names), prefix-YYMM.log (monthly). The log reports its
// own failures on standard error as "<program name>: <message>\n" and never into itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <mutex>

#include "orv-coll.h"
#include "orv-lock.h"
#include "orv-string.h"

class IOrvUiWindow;
struct OrvFileInfo;

// Process-wide switches, initialised before any user code runs. Set them at start-up, before
// other threads log.
extern int g_orv_log_verbosity;            // 2; 9 turns every COrvLog write off
extern COrvStringA g_orv_program_name;     // first field of the log's standard-error reports
extern COrvStringA g_orv_log_header_text;  // written at the top of files opened after a rotation
extern int g_orv_log_header_count;         // rotations that found a header text (all logs)
extern unsigned char g_orv_interactive;    // 1 when the process may show windows

class COrvLog {
public:
    // Enabled, no folder, no file: entries are dropped until SetLogFolder or SetLogFile.
    COrvLog();
    // Closes the file.
    ~COrvLog();
    COrvLog(const COrvLog&) = delete;
    COrvLog& operator=(const COrvLog&) = delete;

    // Rotating names in pszFolder (UTF-8) starting with pszPrefix; with bPerRunNames each file
    // name also carries the hour and minute of its opening. Both must be non-empty (reported as
    // "!sFolderA.IsEmpty()" / "!sPrefixA.IsEmpty()", nothing changes). Enables the log and closes
    // the current file; the next entry opens the file of its date. When the folder changes from a
    // non-empty one, "*** Switching to new global log folder %s\n" goes to the old file first and
    // "*** Switched to new global log folder %s\n" to the new one. Any thread.
    void SetLogFolder(const char* pszFolder, const char* pszPrefix, bool bPerRunNames = false);

    // A fixed file name, no rotation; closes the current file and enables the log when the name is
    // non-empty. A name with a '/' names its own folder (the part before the last '/');
    // otherwise the file goes into the log folder. Any thread.
    void SetLogFile(const char* pszName);

    // Year-and-month stamps (prefix-YYMM.log) instead of daily ones. Takes effect at the next
    // entry. Any thread.
    void SetMonthly(bool bMonthly);
    // strftime pattern of the line time (local time); null or empty: "%Y-%m-%d %H:%M:%S" + " ".
    void SetTimeFormat(const char* pszFormat);

    // Formats (the library's printf engine) and writes one entry with the line prefix; the wide
    // form converts to UTF-8. Returns at once while g_orv_log_verbosity is 9. Any thread.
    //
    // By default every entry point below returns only once its entry has been handed to the
    // kernel (one write(2) of whole entries), so a crash of the process loses nothing already
    // logged. The caller formats its text without any lock; entries that arrive while another
    // thread writes are queued and written by that thread together, in one write (group commit),
    // so the line time is the time of that write. Blocks until the entry is written.
    // In buffered mode (SetBuffered) the entry is formatted into the object's buffer under its
    // lock instead, and reaches the kernel at the next flush point (see SetBuffered).
    void Printf(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
    void PrintfV(const char* pszFormat, va_list args);
    void PrintfW(const char16_t* pszFormat, ...);

    // Writes an already formatted entry with the prefix (Write) or without it (WriteRaw). Null
    // text counts as empty. Any thread.
    void Write(const char* pszText);
    void WriteW(const char16_t* pszText);
    void WriteRaw(const char* pszText);
    void WriteRawW(const char16_t* pszText);

    // Buffered mode, off by default. Entries are appended to the object's buffer and handed to the
    // kernel, whole and in order, when the buffer passes 64 KiB, when an entry finds the oldest
    // buffered one a second old or more, after a failed flush (the next entry retries), and
    // always on Flush, Close, Reset, a change of date (the old day's entries go to the old
    // day's file), SetLogFolder, SetLogFile, SetBuffered(false) and destruction. An entry still
    // in the buffer is lost when the process crashes. A failed write is reported as in the
    // default mode and closes the file; what was not written stays buffered (up to 1 MiB, later
    // entries are dropped meanwhile) and goes out after the file reopens. Any thread.
    void SetBuffered(bool bBuffered);
    bool IsBuffered();
    // Hands every buffered entry to the kernel now (nothing to do in the default mode).
    void Flush();

    // Closes the file (the next entry reopens it) and sets the enabled flag to bEnable.
    void Close(bool bEnable = true);
    // Flushes, closes the file, disables the log and forgets folder, prefix, file name, stamp,
    // the three name switches, the time format and buffered mode.
    void Reset();
    // Folder + "/" + file name when both are non-empty, otherwise empty.
    COrvStringA GetFilePath();

    bool IsEnabled();
    bool IsOpen();

    // Clock of the log in seconds since 1970 (line time and rotation); null: the system clock.
    // Tests put in their own. Any thread.
    using ClockFn = int64_t (*)();
    void SetClock(ClockFn pfn);

    // Deletes old log files under pszPath (a file or a folder, searched to a depth of 50): a file
    // whose name ends in ".log" and whose modification time is set and before the cut-off (now -
    // nDays days when nDays >= 1, else now - nHours hours). Holds this log's lock for the whole
    // run, so that no entry is written while it cleans, and logs what it does to this log
    // ("TvCleanUpLogs: ..."). Links inside the tree are never followed and left alone (pszPath
    // itself may be a link to the log folder); below pszPath the tree is walked by descriptor, so
    // a folder swapped for a link meanwhile is not entered. pInfo: the item's information when the
    // caller has it (null: read here). Deleted paths are added to pDeleted
    // when given. Returns the number of files deleted. Blocks; any thread. (orv-housekeeping.cpp)
    int TvCleanUpLogs(const char* pszPath, int nDays, int nHours, int nDepth = 0,
                      const OrvFileInfo* pInfo = nullptr,
                      COrvArray<COrvStringA>* pDeleted = nullptr);

private:
    struct Entry;
    void WriteEntry(const char* pszText, int nLen, bool bPrefix);
    class EntryText;
    class Hold;
    void Leave();
    void Submit(EntryText& text, const char* pszText, size_t nLen, bool bPrefix);
    bool BufferEntry(bool bPrefix, const char* pszText, size_t nLen, const char* pszFormat,
                     va_list* pArgs);
    bool AppendFormatted(const char* pszFormat, va_list args);
    bool AppendNormalised(const char* p, size_t n);
    bool InsideLocked() const { return m_bDraining || m_bFlushing || m_bAppending; }
    void WriteEntryLocked(const char* pszText, int nLen, bool bPrefix);
    void DrainLocked(Entry* pLast);
    void WriteNestedLocked(const Entry& entry);
    bool AppendPrefix(int64_t nNow, int64_t nThread);
    bool AppendBytes(const char* p, size_t n);
    void FlushBatchLocked();
    bool Rotate(int64_t nNow);
    bool OpenLocked();
    void CloseLocked();
    bool WriteBytesLocked(const char* p, size_t n, size_t* pnWritten = nullptr);
    bool Reserve(size_t nLen);
    void Report(const char* pszWhat);

    COrvStringA m_strFolder;
    COrvStringA m_strPrefix;
    COrvStringA m_strFileName;
    COrvStringA m_strStamp;
    bool m_bRotate = false;
    bool m_bPerRunNames = false;
    bool m_bMonthly = false;
    COrvStringA m_strTimeFormat;
    int m_fd = -1;
    // Changed under m_lock; read without it only to skip work early.
    std::atomic<bool> m_bEnabled{true};
    // Unnamed: the log never reports on itself. Its holder owns the file: it writes every queued
    // entry (group commit), and the configuration calls hold it while they change the fields.
    COrvCriticalSection m_lock;

    // Entries waiting for the holder of m_lock, newest first. Each lives on the stack of the
    // thread that logs it, which waits until the entry has been written (or dropped).
    // On a cache line of their own: waiting threads read them while the writer builds a batch.
    alignas(64) std::atomic<Entry*> m_pPending{nullptr};
    std::atomic<int> m_nMaking{0};         // threads inside an entry call (making or writing)
    std::atomic<int> m_nSleepers{0};       // threads sleeping until their entry is written
    alignas(64) bool m_bDraining = false;  // the holder is writing a batch (guards re-entry)

    std::mutex m_sleepMutex;  // with m_sleepCond: where waiting threads sleep
    std::condition_variable m_sleepCond;

    ClockFn m_pfnClock = nullptr;
    bool m_bHeaderPending = false;  // a rotation asked for the header in the next file
    bool m_bTorn = false;           // a failed write left part of an entry in the file
    // The batch being built (one write), and the line time of the last second seen.
    char* m_pBuf = nullptr;
    size_t m_nBufCap = 0;
    size_t m_nBufLen = 0;
    int64_t m_nCachedTime = 0;
    char m_szCachedTime[80] = {};
    int m_nCachedTimeLen = 0;
    int64_t m_nStampTime = 0;  // the second the stored stamp was last checked for

    // Buffered mode: m_pBuf keeps its entries between calls.
    std::atomic<bool> m_bBuffered{false};  // read without the lock only to pick the path
    bool m_bFlushing = false;              // the buffer is being written (guards re-entry)
    bool m_bAppending = false;             // an entry is being formatted into the buffer
    bool m_bFlushFailed = false;           // the last flush failed: the next entry retries
    bool m_bContinues = false;             // the buffer starts inside a line begun in a file
    int64_t m_nBufOldest = 0;              // line time of the oldest buffered entry
    COrvStringA m_strContinuesPath;        // the file that holds the beginning of that line
};

// The process-wide log; usable from static initialisers of other translation units.
extern COrvLog g_orv_log;

// Trace file (a developer aid). Opens or creates pszPath (UTF-8, at most 2048 bytes) once per
// process and appends the banner ("*** TRACER LOG FROM: ..."; the UTF-8 mark first when the file
// is new or empty). True when the file is open now or was opened before. Any thread.
bool OrvOpenTraceFile(const char* pszPath);
// Appends nLen bytes (-1: up to the NUL) to the trace file, opening and closing it for the call.
// True when the file could be opened (and written). Any thread.
bool OrvAppendTraceFile(const char* pszText, int nLen = -1);
bool OrvAppendTraceFileW(const char16_t* pszText, int nLen = -1);

// Message-box style bits understood by IOrvUiThread::ShowMessageBox.
constexpr unsigned kOrvMbOk = 0x0;
constexpr unsigned kOrvMbIconError = 0x10;

// With g_orv_interactive set and a UI thread installed, shows a message box (nStyle as
// IOrvUiThread::ShowMessageBox) and returns the button chosen; otherwise logs "!!! SEVERE
// MESSAGE BOX: title: %s message: %s\n" and returns 0. pOwner may be null. Any thread; blocks
// while the box is shown.
int OrvSevereMessageBox(IOrvUiWindow* pOwner, const char* pszMessage, const char* pszTitle,
                        unsigned nStyle = kOrvMbOk | kOrvMbIconError);
