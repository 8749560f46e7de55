// The debug trace, the assertion entry of the whole library, and the process-wide thread numbers.
#pragma once

#include <cstdarg>
#include <cstdint>

// Process-wide switches, set before any user code runs.
extern unsigned char g_orv_trace_on;     // 0: trace calls and the assertion's trace line do nothing
extern unsigned char g_orv_trace_short;  // bit 0: short prefix "HHMMSS.mmm t=pid-thread: "
extern unsigned char g_orv_trace_to_utf8;  // 1: the sink converts each line to UTF-8

// Formats one trace line with its prefix and hands it to the sink. Any thread; safe before static
// initialisation. Returns the number of characters of the line (0 while tracing is off).
int OrvTrace(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
int OrvTraceV(const char* pszFormat, va_list args);
int OrvTraceW(const char16_t* pszFormat, ...);

// Writes the trace prefix into a caller's buffer of nLen characters (cut to nLen - 1 and
// terminated); returns the characters written, 0 when nLen < 1.
int OrvTracePrefix(char* pBuf, int nLen);
int OrvTracePrefixW(char16_t* pBuf, int nLen);

// Entry of every hard (ASSERT, hard = 1) and soft (SOFTASSERT, hard = 0) assertion. Calls the hook
// when one is installed and returns its non-zero result; otherwise writes the "!!!ASSERT" trace
// line. Never stops the program. Any thread.
using OrvAssertHook = int (*)(const char* pszFile, int nLine, long nErr, const char* pszExpr,
                              int nHard);
int OrvAssertFailed(const char* pszFile, int nLine, long nErr, const char* pszExpr, int nHard);
// Installs (or with null removes) the hook; returns what it stored.
OrvAssertHook OrvSetAssertHook(OrvAssertHook pHook);

// The container failure route: OrvAssertFailed(file, line, hr, "AtlThrow", 0).
void OrvAtlThrow(long hr, const char* pszFile, int nLine);

#define ORV_ATL_E_OUTOFMEMORY 0x8007000EL
#define ORV_ATL_E_INVALIDARG 0x80070057L
#define ORV_ATL_E_FAIL 0x80004005L

#define ASSERT(expr) ((expr) ? (void)0 : (void)OrvAssertFailed(__FILE__, __LINE__, 0, #expr, 1))
#define SOFTASSERT(expr) ((expr) ? (void)0 : (void)OrvAssertFailed(__FILE__, __LINE__, 0, #expr, 0))
// Reports a given condition text (used where the reported text is fixed, not the C expression).
#define ORV_ASSERT_TEXT(expr, text) \
    ((expr) ? (void)0 : (void)OrvAssertFailed(__FILE__, __LINE__, 0, text, 1))

// The calling thread's process-unique number (1, 2, ...; 0 is never handed out), assigned on
// first use.
int64_t OrvGetThreadNumber();
// Number of threads that have been given a number and not yet ended.
int64_t OrvLiveThreadCount();
