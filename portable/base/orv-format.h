// The printf engine of the library (OrvVFormat, behind every Format of COrvStringT, the log and
// the trace) and the decimal digits of integers that the engine and the log write directly.
#pragma once

#include <cstdarg>
#include <cstdint>

// The printf engine of the library, one routine for both widths. bWide says whether pFormat,
// pBuffer and the natural string arguments ("%s", "%c") are 16-bit. With a null pBuffer it only
// measures and returns an upper bound of the output length in characters. With a buffer of
// nSize characters it writes at most nSize - 1 characters and a NUL, and returns the number of
// characters the complete output has; a result not below nSize means the output was cut. On a
// format error it returns -1 (what was written is NUL-terminated). *ppEnd, when ppEnd is given,
// receives the position in the format where it stopped. The engine has its own size prefixes
// ("I64", "I32", "h", "l", "w") and its own "%s"/"%S"/"%c"/"%C" rules; numeric conversions go to
// the C library's formatter. args is consumed; callers that format twice pass a va_copy.
// Any thread; allocates only to widen a numeric conversion of more than 512 characters (failure
// then counts as a format error).
int OrvVFormat(void* pBuffer, int nSize, bool bWide, const void* pFormat, const void** ppEnd,
               va_list args);

// Room for the decimal text of any 64-bit integer: 20 digits and a sign.
constexpr int kOrvDecimalChars = 21;

// Writes the decimal text of n ("-" in front when negative) backwards so that it ends just before
// pEnd, and returns its first character. At least kOrvDecimalChars characters in front of pEnd
// must be writable. No NUL is written. Any thread.
char* OrvDecimalBackward(char* pEnd, uint64_t n);
char* OrvDecimalBackward(char* pEnd, int64_t n);
