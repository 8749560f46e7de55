// Formatted text on standard output, serialised by g_orv_stdout_cs.
#pragma once

// Formats (the library's printf engine; a narrow format gives UTF-8 text) and writes the result
// to standard output as UTF-8, at most 65536 UTF-16 characters of it per call (a surrogate pair is
// never split), then flushes standard output. The whole write happens under g_orv_stdout_cs, so
// prints of different threads never mix. Returns the number of UTF-16 characters written. Any
// thread; blocks on the lock and the output.
int OrvConsolePrint(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
int OrvConsolePrintW(const char16_t* pszFormat, ...);

// Most UTF-16 characters one console print writes.
constexpr int kOrvConsolePrintMax = 65536;
