// Conversions between UTF-8, UTF-16 and UTF-32 over caller buffers, and their string wrappers.
//
// Every converter takes, in this order: the input, its length in input units (-1: up to the first
// NUL; a NUL inside an explicit length also ends the input), for directions that involve UTF-16 a
// pairing flag (true: surrogate pairs stand for supplementary characters), the output buffer or
// null, the output capacity in units, an optional status out-parameter, an optional error-position
// out-parameter, and an option flag (UTF-8 input: accept an encoded surrogate pair as one
// character). The result is the number of output units produced, not counting the NUL.
//
// With an output buffer and a capacity above 0 one unit is always kept for the terminating NUL,
// which is written in every case. With a null buffer or capacity 0 nothing is written and the
// result is the length the conversion needs. When the caller asks for the error position, invalid
// input stops the conversion (status 1, or 2 when the input ends inside a sequence) and the
// position of the offending input unit is stored (-1 while there is none); otherwise each invalid
// unit or sequence becomes U+FFFD and conversion goes on. The converters never allocate and may be
// called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "orv-string.h"

// ---- surrogates ----

// UTF-16 surrogate code units: high (D800-DBFF) lead a pair, low (DC00-DFFF) end it.
constexpr bool OrvIsSurrogate(uint32_t u) {
    return u >= 0xD800 && u <= 0xDFFF;
}
constexpr bool OrvIsHighSurrogate(uint32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
constexpr bool OrvIsLowSurrogate(uint32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}
// The supplementary code point of a high and a low surrogate (callers check both first).
constexpr char32_t OrvCombineSurrogates(uint32_t uHigh, uint32_t uLow) {
    return 0x10000 + ((uHigh - 0xD800) << 10) + (uLow - 0xDC00);
}
// The two halves of a supplementary code point c (0x10000 to 0x10FFFF).
constexpr char16_t OrvHighSurrogateOf(char32_t c) {
    return static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
}
constexpr char16_t OrvLowSurrogateOf(char32_t c) {
    return static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
}

// Status codes stored by the converters.
enum OrvUtfStatus : int {
    enUtfOk = 0,          // complete
    enUtfInvalid = 1,     // invalid input sequence
    enUtfIncomplete = 2,  // input ends inside a sequence
    enUtfOutputFull = 3,  // the next character does not fit the output
};

int OrvUtf8ToUtf16(const char* pIn, int nInLen, bool bPairs, char16_t* pOut, int nOutCap,
                   int* pnStatus = nullptr, int* pnErrorPos = nullptr, bool bAcceptPairs = false);
int OrvUtf8ToUtf32(const char* pIn, int nInLen, char32_t* pOut, int nOutCap,
                   int* pnStatus = nullptr, int* pnErrorPos = nullptr, bool bAcceptPairs = false);
int OrvUtf16ToUtf8(const char16_t* pIn, int nInLen, bool bPairs, char* pOut, int nOutCap,
                   int* pnStatus = nullptr, int* pnErrorPos = nullptr, bool bOption = false);
int OrvUtf16ToUtf32(const char16_t* pIn, int nInLen, bool bPairs, char32_t* pOut, int nOutCap,
                    int* pnStatus = nullptr, int* pnErrorPos = nullptr, bool bOption = false);
int OrvUtf16ToUtf16(const char16_t* pIn, int nInLen, bool bPairs, char16_t* pOut, int nOutCap,
                    int* pnStatus = nullptr, int* pnErrorPos = nullptr, bool bOption = false);
int OrvUtf32ToUtf8(const char32_t* pIn, int nInLen, char* pOut, int nOutCap,
                   int* pnStatus = nullptr, int* pnErrorPos = nullptr, bool bOption = false);
int OrvUtf32ToUtf16(const char32_t* pIn, int nInLen, bool bPairs, char16_t* pOut, int nOutCap,
                    int* pnStatus = nullptr, int* pnErrorPos = nullptr, bool bOption = false);

// For tests and benchmarks: whether UTF-8 to UTF-16 conversion may use its vector path (SSSE3,
// SSE4.1 and POPCNT, used only when the processor has them; allowed by default). Results are the
// same either way. Returns the previous setting; any thread may call it.
bool OrvUtfAllowVectorPath(bool bAllow);

// Wide text to UTF-8; invalid UTF-16 becomes U+FFFD. Returns false (output empty) only when the
// string buffer cannot be allocated.
bool OrvUtf16ToUtf8(const char16_t* psz, COrvStringA& strOut);
bool OrvUtf16ToUtf8(const char16_t* psz, int nLen, COrvStringA& strOut);

// UTF-8 text (nLen bytes, -1: up to the NUL) to UTF-16. Empty input gives the empty string and
// true. Invalid input fails with "bad UTF-8 sequence at pos %d in string %s" in strError and an
// empty output.
bool OrvUtf8ToUtf16(const char* psz, int nLen, COrvStringW& strOut, COrvStringA& strError);

// Bytes of a text file whose form is not known, to UTF-8: a UTF-8 mark is dropped, UTF-16 LE/BE
// (by their marks) are decoded, anything else is returned unchanged.
bool OrvBytesToUtf8(const COrvStringA& bytes, COrvStringA& strOut);

// Name of a Windows code page ("CP1252" ...), or null when the table has none.
const char* OrvCodePageName(int nCodePage);
