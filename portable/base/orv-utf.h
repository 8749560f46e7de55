// Conversions between UTF-8, UTF-16 and UTF-32 over caller buffers, and their string wrappers;
// the surrogate helpers, the one-sequence UTF-8 decoder and encoder, and the streaming UTF-8
// decoder that every other part of the library (and the program) builds on.
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

// ---- one UTF-8 sequence ----

// What OrvUtf8DecodeOne found: with enUtfOk the code point c of a well-formed sequence of nLen
// bytes; with enUtfInvalid the nLen bytes (at least 1) that make up the longest start of a
// sequence that cannot be completed, which one U+FFFD replaces; with enUtfIncomplete the input
// ended after nLen bytes that start a well-formed sequence.
struct OrvUtf8Step {
    OrvUtfStatus eStatus;
    char32_t c;
    int nLen;
};

// Decodes the UTF-8 sequence at p, looking at no more than nAvail (at least 1) bytes. Overlong
// forms, values above U+10FFFF and encoded surrogates are invalid, except that with
// bAcceptHighSurrogate an encoded high surrogate (ED A0-AF xx) decodes to its value, for a caller
// that pairs it with an encoded low one. A NUL byte is an ordinary character. Any thread.
inline OrvUtf8Step OrvUtf8DecodeOne(const char* p, size_t nAvail,
                                    bool bAcceptHighSurrogate = false) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    const unsigned b0 = u[0];
    if (b0 < 0x80)
        return {enUtfOk, b0, 1};
    int nNeed;
    unsigned lo = 0x80, hi = 0xBF;
    char32_t c;
    if (b0 < 0xC2) {
        return {enUtfInvalid, 0, 1};
    } else if (b0 < 0xE0) {
        nNeed = 1;
        c = b0 & 0x1F;
    } else if (b0 < 0xF0) {
        nNeed = 2;
        if (b0 == 0xE0)
            lo = 0xA0;
        else if (b0 == 0xED)
            hi = bAcceptHighSurrogate ? 0xAF : 0x9F;
        c = b0 & 0x0F;
    } else if (b0 < 0xF5) {
        nNeed = 3;
        if (b0 == 0xF0)
            lo = 0x90;
        else if (b0 == 0xF4)
            hi = 0x8F;
        c = b0 & 0x07;
    } else {
        return {enUtfInvalid, 0, 1};
    }
    for (int k = 1; k <= nNeed; ++k) {
        if (static_cast<size_t>(k) >= nAvail)
            return {enUtfIncomplete, 0, k};
        const unsigned b = u[k];
        if (k == 1 ? (b < lo || b > hi) : (b & 0xC0) != 0x80)
            return {enUtfInvalid, 0, k};
        c = (c << 6) | (b & 0x3F);
    }
    return {enUtfOk, c, nNeed + 1};
}

// Bytes of the UTF-8 form of c (c at most U+10FFFF).
constexpr int OrvUtf8Length(char32_t c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Writes the UTF-8 form of c (at most U+10FFFF; surrogates are written as they are) to p, which
// has room for OrvUtf8Length(c) bytes, and returns that count.
inline int OrvUtf8EncodeOne(char32_t c, char* p) {
    if (c < 0x80) {
        p[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        p[0] = static_cast<char>(0xC0 | (c >> 6));
        p[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        p[0] = static_cast<char>(0xE0 | (c >> 12));
        p[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        p[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    p[0] = static_cast<char>(0xF0 | (c >> 18));
    p[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    p[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    p[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

// ---- streaming UTF-8 decoding ----

// Decodes UTF-8 that arrives in chunks (a pipe, a socket) into UTF-16. A sequence cut by the end
// of a chunk is kept (at most kMaxCarry bytes) and completed by the next chunk; each invalid piece
// becomes one U+FFFD, as in the converters above. NUL bytes pass as U+0000. One object per
// stream; not for two threads at once.
class COrvUtf8StreamDecoder {
public:
    static constexpr int kMaxCarry = 3;

    // Decodes nLen bytes at p, after the bytes kept from the chunk before, into pOut, which must
    // have room for nLen + kMaxCarry units. Returns the count of units written (no NUL).
    int Decode(const char* p, int nLen, char16_t* pOut);
    // Ends the stream: a sequence still incomplete becomes one U+FFFD in pOut (room for one
    // unit). Returns the count written (0 or 1); the decoder is then ready for a new stream.
    int Finish(char16_t* pOut);
    // Bytes kept from the last chunk, waiting for the rest of their sequence.
    int Pending() const { return m_nCarry; }

private:
    unsigned char m_carry[kMaxCarry] = {};
    int m_nCarry = 0;
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
[[nodiscard]] bool OrvUtf8ToUtf16(const char* psz, int nLen, COrvStringW& strOut,
                                  COrvStringA& strError);

// Bytes of a text file whose form is not known, to UTF-8: a UTF-8 mark is dropped, UTF-16 LE/BE
// (by their marks) are decoded, anything else is returned unchanged.
[[nodiscard]] bool OrvBytesToUtf8(const COrvStringA& bytes, COrvStringA& strOut);

// Name of a Windows code page ("CP1252" ...), or null when the table has none.
const char* OrvCodePageName(int nCodePage);
