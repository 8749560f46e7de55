// The debug trace, the assertion entry and the process-wide thread numbers.
#include "orv-trace.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "orv-clock.h"
#include "orv-format.h"
#include "orv-string.h"
#include "orv-trace-os.h"
#include "orv-utf.h"

unsigned char g_orv_trace_on = 1;
unsigned char g_orv_trace_short = 0;
unsigned char g_orv_trace_to_utf8 = 0;

namespace {

// Longest trace line in characters, prefix included.
constexpr int kTraceLimit = 131072;
constexpr int kPrefixBuf = 64;
constexpr int kStackChars = 1024;

// Plain variable, read and written without a lock (a pointer store is atomic on every target).
std::atomic<OrvAssertHook> s_pHook{nullptr};

// ---- thread numbers ----

std::atomic<int64_t> s_nLastThreadNumber{0};
std::atomic<int64_t> s_nLiveThreads{0};
thread_local int64_t t_nThreadNumber = 0;

// Registered on the first numbered use of a thread; its destructor runs when the thread ends.
struct ThreadNumberSlot {
    bool bCounted = false;
    ~ThreadNumberSlot() {
        if (bCounted)
            s_nLiveThreads.fetch_sub(1, std::memory_order_relaxed);
    }
};
thread_local ThreadNumberSlot t_slot;

int64_t AssignThreadNumber() {
    s_nLiveThreads.fetch_add(1, std::memory_order_relaxed);
    t_slot.bCounted = true;
    int64_t v = s_nLastThreadNumber.load(std::memory_order_relaxed);
    while (!s_nLastThreadNumber.compare_exchange_weak(v, v + 1, std::memory_order_relaxed)) {
    }
    return v + 1;
}

// ---- prefix ----

int BuildPrefix(char* pBuf, int nLen) {
    if (nLen < 1)
        return 0;
    char sz[kPrefixBuf * 2];
    const int64_t nNowNs = OrvClockRealtimeNs();
    struct tm tmLocal;
    const bool bTime = OrvClockBreakdown(nNowNs / 1000000000, true, &tmLocal);
    const int nYear = tmLocal.tm_year + 1900, nMonth = tmLocal.tm_mon + 1, nDay = tmLocal.tm_mday;
    const int nHour = tmLocal.tm_hour, nMinute = tmLocal.tm_min, nSecond = tmLocal.tm_sec;
    const int nMs = static_cast<int>(nNowNs % 1000000000 / 1000000);
    const long long nThread = static_cast<long long>(OrvGetThreadNumber());
    int n;
    if (!bTime) {
        n = snprintf(sz, sizeof sz, "(bad time)");
    } else if (g_orv_trace_short & 1) {
        n = snprintf(sz, sizeof sz, "%02d%02d%02d.%03d t=%u-%lld: ", nHour, nMinute, nSecond, nMs,
                     OrvTraceOsProcessId(), nThread);
    } else {
        n = snprintf(sz, sizeof sz, "%04d%02d%02d-%02d%02d%02d: t=%lld: ", nYear, nMonth, nDay,
                     nHour, nMinute, nSecond, nThread);
    }
    if (n < 0)
        n = 0;
    if (n > static_cast<int>(sizeof sz) - 1)
        n = static_cast<int>(sizeof sz) - 1;
    if (n > nLen - 1)
        n = nLen - 1;
    memcpy(pBuf, sz, n);
    pBuf[n] = 0;
    return n;
}

int BuildPrefix(char16_t* pBuf, int nLen) {
    if (nLen < 1)
        return 0;
    char sz[kPrefixBuf];
    const int n = BuildPrefix(sz, nLen < kPrefixBuf ? nLen : kPrefixBuf);
    for (int i = 0; i <= n; ++i)
        pBuf[i] = static_cast<unsigned char>(sz[i]);  // the prefix is ASCII
    return n;
}

// ---- sink ----

// Conversion buffer of the sink for wide lines, used under the trace lock.
char s_utf8Line[kTraceLimit + 1];

void WriteLine(const char* p, int n) {
    OrvTraceOsWriteStderr(p, static_cast<size_t>(n));
}

template <typename T>
void Sink(const T* pLine, int nLen) {
    const bool bLock = OrvTraceOsLockReady();
    if (bLock)
        OrvTraceOsLock();
    if (g_orv_trace_to_utf8 || OrvTraceOsEnvEnabled()) {
        if constexpr (sizeof(T) == 1) {
            WriteLine(pLine, nLen);
        } else {
            const int n = OrvUtf16ToUtf8(pLine, nLen, true, s_utf8Line, kTraceLimit + 1);
            WriteLine(s_utf8Line, n);
        }
    }
    if (bLock)
        OrvTraceOsUnlock();
}

template <typename T>
int Length(const T* p) {
    int n = 0;
    while (p[n])
        ++n;
    return n;
}

// prefix + "!!!badfmt:" + the format itself + "\n", at most kTraceLimit characters.
template <typename T>
int BadFormatLine(const T* pPrefix, int nPrefix, const T* pszFormat) {
    static const char kTag[] = "!!!badfmt:";
    const int nTag = static_cast<int>(sizeof kTag) - 1;
    int nFmt = Length(pszFormat);
    const int nRoom = kTraceLimit - nPrefix - nTag - 1;
    if (nFmt > nRoom)
        nFmt = nRoom;
    const int nLine = nPrefix + nTag + nFmt + 1;
    T stackLine[kPrefixBuf + kStackChars];
    T* pLine = stackLine;
    if (nLine + 1 > static_cast<int>(sizeof stackLine / sizeof(T))) {
        pLine = static_cast<T*>(malloc(sizeof(T) * (nLine + 1)));
        if (pLine == nullptr) {
            pLine = stackLine;
            nFmt = static_cast<int>(sizeof stackLine / sizeof(T)) - nPrefix - nTag - 2;
        }
    }
    int n = 0;
    for (int i = 0; i < nPrefix; ++i)
        pLine[n++] = pPrefix[i];
    for (int i = 0; i < nTag; ++i)
        pLine[n++] = static_cast<T>(kTag[i]);
    for (int i = 0; i < nFmt; ++i)
        pLine[n++] = pszFormat[i];
    pLine[n++] = '\n';
    pLine[n] = 0;
    Sink(pLine, n);
    if (pLine != stackLine)
        free(pLine);
    return n;
}

template <typename T>
int TraceLine(const T* pszFormat, va_list args) {
    if (!g_orv_trace_on)
        return 0;
    if (pszFormat == nullptr)
        return 0;
    constexpr bool bWide = sizeof(T) != 1;
    T stackLine[kPrefixBuf + kStackChars];
    const int nPrefix = BuildPrefix(stackLine, kPrefixBuf);
    const int nMax = kTraceLimit - nPrefix;  // room for the message

    va_list first;
    va_copy(first, args);
    const int nText =
        OrvVFormat(stackLine + nPrefix, kStackChars, bWide, pszFormat, nullptr, first);
    va_end(first);
    if (nText < 0)
        return BadFormatLine(stackLine, nPrefix, pszFormat);
    if (nText < kStackChars) {
        Sink(stackLine, nPrefix + nText);
        return nPrefix + nText;
    }

    const bool bCut = nText > nMax;
    const int nMsg = bCut ? nMax : nText;
    T* pLine = static_cast<T*>(malloc(sizeof(T) * (nPrefix + nMsg + 1)));
    T* pMsg;
    int nLine;
    if (pLine == nullptr) {
        // No memory for the long line: send the part that fits the stack, marked as cut.
        pLine = stackLine;
        pMsg = stackLine + nPrefix;
        pMsg[kStackChars - 3] = '\n';
        pMsg[kStackChars - 2] = '|';
        pMsg[kStackChars - 1] = 0;
        nLine = nPrefix + kStackChars - 1;
    } else {
        memcpy(pLine, stackLine, sizeof(T) * nPrefix);
        pMsg = pLine + nPrefix;
        va_list second;
        va_copy(second, args);
        const int n = OrvVFormat(pMsg, nMsg + 1, bWide, pszFormat, nullptr, second);
        va_end(second);
        if (n < 0) {
            free(pLine);
            return BadFormatLine(stackLine, nPrefix, pszFormat);
        }
        if (bCut) {
            pMsg[nMsg - 2] = '\n';
            pMsg[nMsg - 1] = '|';
            pMsg[nMsg] = 0;
        }
        nLine = nPrefix + nMsg;
    }
    Sink(pLine, nLine);
    if (pLine != stackLine)
        free(pLine);
    return nLine;
}

}  // namespace

int OrvTraceV(const char* pszFormat, va_list args) {
    return TraceLine(pszFormat, args);
}

int OrvTrace(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const int n = TraceLine(pszFormat, args);
    va_end(args);
    return n;
}

int OrvTraceW(const char16_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const int n = TraceLine(pszFormat, args);
    va_end(args);
    return n;
}

int OrvTracePrefix(char* pBuf, int nLen) {
    return pBuf ? BuildPrefix(pBuf, nLen) : 0;
}

int OrvTracePrefixW(char16_t* pBuf, int nLen) {
    return pBuf ? BuildPrefix(pBuf, nLen) : 0;
}

int OrvAssertFailed(const char* pszFile, int nLine, long nErr, const char* pszExpr, int nHard) {
    const OrvAssertHook pHook = s_pHook.load(std::memory_order_relaxed);
    if (pHook != nullptr) {
        const int n = pHook(pszFile, nLine, nErr, pszExpr, nHard);
        if (n != 0)
            return n;
    }
    // err prints as a 32-bit value, as HRESULTs and system codes are 32-bit.
    return OrvTrace("!!!ASSERT: %s(%d): err=%d, l=%d: %s\n\n", pszFile ? pszFile : "", nLine,
                    static_cast<int>(nErr), nHard, pszExpr ? pszExpr : "");
}

OrvAssertHook OrvSetAssertHook(OrvAssertHook pHook) {
    s_pHook.store(pHook, std::memory_order_relaxed);
    return pHook;
}

void OrvAtlThrow(long hr, const char* pszFile, int nLine) {
    OrvAssertFailed(pszFile, nLine, hr, "AtlThrow", 0);
}

int64_t OrvGetThreadNumber() {
    int64_t n = t_nThreadNumber;
    if (n == 0)
        n = t_nThreadNumber = AssignThreadNumber();
    return n;
}

int64_t OrvLiveThreadCount() {
    return s_nLiveThreads.load(std::memory_order_relaxed);
}
