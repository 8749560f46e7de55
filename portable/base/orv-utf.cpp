// UTF-8 / UTF-16 / UTF-32 converters: one decoder per input form, one encoder per output form and
// one conversion loop that applies the common rules (NUL ends the input, one unit kept for the
// terminating NUL, status codes, error position or U+FFFD repair).
#include "orv-utf.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "orv-trace.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr char32_t kReplacement = 0xFFFD;

enum class Kind { Char, End, Invalid, Incomplete };

// One decoding step: what was found at the current position and how many input units it covers
// (for invalid input: the units replaced by one U+FFFD).
struct Step {
    Kind kind;
    char32_t c;
    int len;
};

struct Options {
    bool bPairs;        // UTF-16 surrogate pairs stand for supplementary characters
    bool bAcceptPairs;  // UTF-8 input: an encoded surrogate pair is one character
};

inline bool IsCont(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Decodes the three bytes of an encoded low surrogate (ED B0..BF 80..BF, checked by the caller)
// into pOut; returns the number of units produced.
int DecodeEncodedLowSurrogate(const unsigned char* p, char16_t* pOut) {
    pOut[0] = static_cast<char16_t>(((p[0] & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
    return 1;
}

struct Utf8Dec {
    using Unit = char;
    static Step Decode(const char* pIn, int i, int n, const Options& o) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(pIn) + i;
        const int nLeft = n - i;
        if (p[0] == 0)
            return {Kind::End, 0, 0};
        if (p[0] < 0x80)
            return {Kind::Char, p[0], 1};
        // A NUL ends the input: a sequence is looked at no further than the first one.
        int nAvail = nLeft < 4 ? nLeft : 4;
        for (int k = 1; k < nAvail; ++k) {
            if (p[k] == 0) {
                nAvail = k;
                break;
            }
        }
        const OrvUtf8Step st =
            OrvUtf8DecodeOne(pIn + i, static_cast<size_t>(nAvail), o.bAcceptPairs);
        if (st.eStatus == enUtfInvalid)
            return {Kind::Invalid, 0, st.nLen};
        if (st.eStatus == enUtfIncomplete)
            return {Kind::Incomplete, 0, st.nLen};
        const char32_t c = st.c;
        if (OrvIsHighSurrogate(c)) {
            // Only reachable with bAcceptPairs: an encoded high surrogate must be followed by an
            // encoded low surrogate.
            int k = 3;
            const unsigned char want[3] = {0xED, 0xB0, 0x80};
            for (int j = 0; j < 3; ++j, ++k) {
                if (k >= nLeft || p[k] == 0)
                    return {Kind::Incomplete, 0, 3};
                const unsigned b = p[k];
                const bool bOk = j == 0   ? b == want[0]
                                 : j == 1 ? (b >= 0xB0 && b <= 0xBF)
                                          : IsCont(static_cast<unsigned char>(b));
                if (!bOk)
                    return {Kind::Invalid, 0, 3};
            }
            char16_t temp[2];
            const int nTempLen = DecodeEncodedLowSurrogate(p + 3, temp);
            ORV_ASSERT_TEXT(nTempLen == 1, "nTempLen==1");
            const char32_t high = c, low = temp[0];
            return {Kind::Char, OrvCombineSurrogates(high, low), 6};
        }
        return {Kind::Char, c, st.nLen};
    }
};

struct Utf16Dec {
    using Unit = char16_t;
    static Step Decode(const char16_t* p, int i, int n, const Options& o) {
        const char32_t u = p[i];
        if (u == 0)
            return {Kind::End, 0, 0};
        if (!o.bPairs || !OrvIsSurrogate(u))
            return {Kind::Char, u, 1};
        if (OrvIsLowSurrogate(u))
            return {Kind::Invalid, 0, 1};
        if (i + 1 >= n || p[i + 1] == 0)
            return {Kind::Incomplete, 0, 1};
        const char32_t v = p[i + 1];
        if (!OrvIsLowSurrogate(v))
            return {Kind::Invalid, 0, 1};
        return {Kind::Char, OrvCombineSurrogates(u, v), 2};
    }
};

struct Utf32Dec {
    using Unit = char32_t;
    static Step Decode(const char32_t* p, int i, int, const Options&) {
        const char32_t u = p[i];
        if (u == 0)
            return {Kind::End, 0, 0};
        if (u > 0x10FFFF || OrvIsSurrogate(u))
            return {Kind::Invalid, 0, 1};
        return {Kind::Char, u, 1};
    }
};

struct Utf8Enc {
    using Unit = char;
    static bool Representable(char32_t, const Options&) { return true; }
    static int Units(char32_t c) { return OrvUtf8Length(c); }
    static void Put(char* p, char32_t c) { OrvUtf8EncodeOne(c, p); }
};

struct Utf16Enc {
    using Unit = char16_t;
    // Without pairs a supplementary character has no UTF-16 form and counts as invalid input.
    static bool Representable(char32_t c, const Options& o) { return o.bPairs || c < 0x10000; }
    static int Units(char32_t c) { return c < 0x10000 ? 1 : 2; }
    static void Put(char16_t* p, char32_t c) {
        if (c < 0x10000) {
            p[0] = static_cast<char16_t>(c);
        } else {
            p[0] = OrvHighSurrogateOf(c);
            p[1] = OrvLowSurrogateOf(c);
        }
    }
};

struct Utf32Enc {
    using Unit = char32_t;
    static bool Representable(char32_t, const Options&) { return true; }
    static int Units(char32_t) { return 1; }
    static void Put(char32_t* p, char32_t c) { p[0] = c; }
};

template <typename T>
int ScanLength(const T* p) {
    if constexpr (sizeof(T) == 1) {
        const size_t n = strlen(p);
        return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
    } else {
        int n = 0;
        while (n < INT_MAX && p[n] != 0)
            ++n;
        return n;
    }
}

constexpr uint64_t kHigh = 0x8080808080808080ULL;
constexpr uint64_t kOnes = 0x0101010101010101ULL;

// True when all eight bytes of w lie in 01..7F.
inline bool AllAsciiNonZero(uint64_t w) {
    return ((w & kHigh) | ((w - kOnes) & ~w & kHigh)) == 0;
}

// Copies the run of ASCII bytes (01..7F) at pIn[i..n) into the UTF-16/UTF-32 output, 16 bytes at a
// time while both the input and the output room allow. Stops at the first other byte.
template <typename OutT>
void AsciiRun(const char* pIn, int& i, int n, OutT* pOut, int64_t& nOut, int64_t nRoom) {
    while (n - i >= 16 && nRoom - nOut >= 16) {
        uint64_t w0, w1;
        memcpy(&w0, pIn + i, 8);
        memcpy(&w1, pIn + i + 8, 8);
        if (!AllAsciiNonZero(w0) || !AllAsciiNonZero(w1))
            break;
        if (pOut) {
            OutT* q = pOut + nOut;
            const unsigned char* s = reinterpret_cast<const unsigned char*>(pIn + i);
            for (int k = 0; k < 16; ++k)
                q[k] = static_cast<OutT>(s[k]);
        }
        i += 16;
        nOut += 16;
    }
    while (i < n && nOut < nRoom) {
        const unsigned char b = static_cast<unsigned char>(pIn[i]);
        if (b == 0 || b >= 0x80)
            break;
        if (pOut)
            pOut[nOut] = static_cast<OutT>(b);
        ++i;
        ++nOut;
    }
}

// Converts the longest prefix of pIn[i..n) made of well-formed characters (no NUL, no encoded
// surrogate) while the output keeps room for the largest character; stops before anything else
// and leaves it to the general step. Starts no character at or after iStop. OutT is char16_t
// (pairs) or char32_t.
template <typename OutT>
void WellFormedRun(const char* pIn, int& iRef, int n, OutT* pOut, int64_t& nOutRef, int64_t nRoom,
                   int iStop) {
    const unsigned char* const p = reinterpret_cast<const unsigned char*>(pIn);
    int i = iRef;
    int64_t nOut = nOutRef;
    while (i < iStop && n - i >= 4 && nRoom - nOut >= 2) {
        const unsigned b0 = p[i];
        if (b0 - 1u < 0x7Fu) {
            uint64_t w;
            if (n - i >= 16 && nRoom - nOut >= 16 && (memcpy(&w, p + i, 8), AllAsciiNonZero(w))) {
                AsciiRun(pIn, i, iStop < n ? iStop : n, pOut, nOut, nRoom);
                continue;
            }
            if (pOut)
                pOut[nOut] = static_cast<OutT>(b0);
            ++nOut;
            ++i;
            continue;
        }
        const unsigned b1 = p[i + 1];
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            if ((b1 & 0xC0) != 0x80)
                break;
            if (pOut)
                pOut[nOut] = static_cast<OutT>(((b0 & 0x1F) << 6) | (b1 & 0x3F));
            ++nOut;
            i += 2;
            continue;
        }
        const unsigned b2 = p[i + 2];
        if ((b0 & 0xF0) == 0xE0) {
            const unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80, hi = b0 == 0xED ? 0x9F : 0xBF;
            if (b1 < lo || b1 > hi || (b2 & 0xC0) != 0x80)
                break;
            if (pOut)
                pOut[nOut] =
                    static_cast<OutT>(((b0 & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F));
            ++nOut;
            i += 3;
            continue;
        }
        if (b0 >= 0xF0 && b0 <= 0xF4) {
            const unsigned b3 = p[i + 3];
            const unsigned lo = b0 == 0xF0 ? 0x90 : 0x80, hi = b0 == 0xF4 ? 0x8F : 0xBF;
            if (b1 < lo || b1 > hi || (b2 & 0xC0) != 0x80 || (b3 & 0xC0) != 0x80)
                break;
            const char32_t c =
                ((b0 & 0x07) << 18) | ((b1 & 0x3F) << 12) | ((b2 & 0x3F) << 6) | (b3 & 0x3F);
            if constexpr (sizeof(OutT) == 2) {
                if (pOut) {
                    pOut[nOut] = OrvHighSurrogateOf(c);
                    pOut[nOut + 1] = OrvLowSurrogateOf(c);
                }
                nOut += 2;
            } else {
                if (pOut)
                    pOut[nOut] = c;
                ++nOut;
            }
            i += 4;
            continue;
        }
        break;
    }
    iRef = i;
    nOutRef = nOut;
}

// ---- vector path for UTF-8 to UTF-16 (x86: SSSE3, SSE4.1 and POPCNT, chosen at run time) ----
//
// A block is the 16 input bytes at the current position (a character boundary). It is checked as a
// stream of its own (the bytes before it play no part) with the lookup-table validation of Keiser
// and Lemire, plus a NUL test. The block covers the characters that end inside it: every byte gets
// a 16-bit lane holding the value of the character that ends there (its payload bits combined with
// those of the one or two bytes before it when they continue the same character); the lanes of
// character ends are kept and packed with a shuffle. A four-byte character keeps two lanes: its
// third byte yields the high surrogate, its last byte the low one. A block with anything else in
// its covered bytes (invalid or cut sequence, NUL, encoded surrogate) is left to the scalar path,
// which then carries on for at least 16 bytes before the vector path is tried again.
//
// Output goes to a small stack buffer first (whole vectors, never beyond it) and is copied to the
// caller's buffer in exact lengths, so that no unit after the result is ever written; a block of
// 16 ASCII bytes goes straight to the caller's buffer when nothing is pending.

std::atomic<int> g_nVectorPath{-1};  // -1 not decided yet, 0 scalar only, 1 vector path

#if defined(__x86_64__) || defined(__i386__)

bool CpuHasVectorPath() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1") &&
           __builtin_cpu_supports("popcnt");
}

// Shuffle controls that pack the 16-bit lanes selected by an 8-bit mask to the front, and the
// number of lanes each mask selects.
struct PackTable {
    alignas(16) uint8_t ctl[256][16];
    uint8_t count[256];
};

constexpr PackTable MakePackTable() {
    PackTable t{};
    for (int m = 0; m < 256; ++m) {
        int k = 0;
        for (int lane = 0; lane < 8; ++lane) {
            if (m & (1 << lane)) {
                t.ctl[m][2 * k] = static_cast<uint8_t>(2 * lane);
                t.ctl[m][2 * k + 1] = static_cast<uint8_t>(2 * lane + 1);
                ++k;
            }
        }
        t.count[m] = static_cast<uint8_t>(k);
        for (int j = 2 * k; j < 16; ++j)
            t.ctl[m][j] = 0x80;  // zero
    }
    return t;
}

constexpr PackTable kPack = MakePackTable();

#define ORV_UTF_TARGET __attribute__((target("ssse3,sse4.1,popcnt")))

ORV_UTF_TARGET inline __m128i Load16(const uint8_t* p) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
}

// Nonzero bytes mark errors of the 16 bytes read as a stream of their own (Keiser and Lemire,
// "Validating UTF-8 in less than one instruction per byte", the lookup algorithm).
ORV_UTF_TARGET inline __m128i BlockErrors(__m128i a, __m128i hiNib) {
    constexpr uint8_t kTooShort = 1 << 0, kTooLong = 1 << 1, kOverlong3 = 1 << 2,
                      kTooLarge = 1 << 3, kSurrogate = 1 << 4, kOverlong2 = 1 << 5,
                      kTooLarge1000 = 1 << 6, kOverlong4 = 1 << 6, kTwoConts = 1 << 7;
    constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;
    alignas(16) static constexpr uint8_t kByte1High[16] = {
        kTooLong,
        kTooLong,
        kTooLong,
        kTooLong,
        kTooLong,
        kTooLong,
        kTooLong,
        kTooLong,
        kTwoConts,
        kTwoConts,
        kTwoConts,
        kTwoConts,
        kTooShort | kOverlong2,
        kTooShort,
        kTooShort | kOverlong3 | kSurrogate,
        kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
    alignas(16) static constexpr uint8_t kByte1Low[16] = {
        kCarry | kOverlong3 | kOverlong2 | kOverlong4,
        kCarry | kOverlong2,
        kCarry,
        kCarry,
        kCarry | kTooLarge,
        kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
        kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000};
    alignas(16) static constexpr uint8_t kByte2High[16] = {
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort};
    const __m128i nib = _mm_set1_epi8(0x0F);
    const __m128i prev1 = _mm_slli_si128(a, 1);
    const __m128i b1h =
        _mm_shuffle_epi8(Load16(kByte1High), _mm_and_si128(_mm_srli_epi16(prev1, 4), nib));
    const __m128i b1l = _mm_shuffle_epi8(Load16(kByte1Low), _mm_and_si128(prev1, nib));
    const __m128i b2h = _mm_shuffle_epi8(Load16(kByte2High), hiNib);
    const __m128i special = _mm_and_si128(_mm_and_si128(b1h, b1l), b2h);
    // Third and fourth bytes of three- and four-byte sequences must be continuation bytes.
    const __m128i third = _mm_subs_epu8(_mm_slli_si128(a, 2), _mm_set1_epi8(0xE0 - 0x80));
    const __m128i fourth = _mm_subs_epu8(_mm_slli_si128(a, 3), _mm_set1_epi8(0xF0 - 0x80));
    const __m128i must23 =
        _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(static_cast<char>(0x80)));
    return _mm_xor_si128(must23, special);
}

// Converts 16 ASCII bytes (checked by the caller) into 16 units at q.
ORV_UTF_TARGET inline void WidenAscii(__m128i a, char16_t* q) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q), _mm_cvtepu8_epi16(a));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q + 8), _mm_unpackhi_epi8(a, _mm_setzero_si128()));
}

// Converts blocks of well-formed characters from pIn[i..n) while at least 17 input bytes and room
// for 16 units remain (pOut null: counts only); stops at the first block it cannot take whole.
template <bool kWrite>
ORV_UTF_TARGET void VectorRunT(const char* pIn, int& iRef, int n, char16_t* pOut, int64_t& nOutRef,
                               int64_t nRoom) {
    constexpr int kStage = 512;
    alignas(16) char16_t stage[kWrite ? kStage + 16 : 1];
    int s = 0;  // units waiting in stage
    const unsigned char* const p = reinterpret_cast<const unsigned char*>(pIn);
    int i = iRef;
    int64_t nOut = nOutRef;
    const __m128i zero = _mm_setzero_si128();
    const __m128i nib = _mm_set1_epi8(0x0F);
    // Payload bits by high nibble: ASCII 7, continuation 6, leads 5, 4 and 3.
    const __m128i kPayload = _mm_setr_epi8(0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x3F,
                                           0x3F, 0x3F, 0x3F, 0x1F, 0x1F, 0x0F, 0x07);
    // Subtracted from the bytes (saturating), leaves nonzero bytes where a lead at byte 13, 14 or
    // 15 would need bytes beyond the block.
    alignas(16) static constexpr uint8_t kLastLeads[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                           0xFF, 0xEF, 0xDF, 0xBF};
    while (n - i >= 17 && nRoom - nOut - s >= 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const int nHigh = _mm_movemask_epi8(a);
        const int nZero = _mm_movemask_epi8(_mm_cmpeq_epi8(a, zero));
        if (nHigh == 0) {
            if (nZero != 0)
                break;
            if constexpr (kWrite) {
                if (s == 0) {
                    WidenAscii(a, pOut + nOut);
                    nOut += 16;
                } else {
                    WidenAscii(a, stage + s);
                    s += 16;
                }
            } else {
                nOut += 16;
            }
            i += 16;
        } else {
            const __m128i hiNib = _mm_and_si128(_mm_srli_epi16(a, 4), nib);
            const __m128i cont = _mm_cmplt_epi8(a, _mm_set1_epi8(-64));  // 80..BF
            const unsigned contBits = static_cast<unsigned>(_mm_movemask_epi8(cont)) |
                                      static_cast<unsigned>((p[i + 16] & 0xC0) == 0x80) << 16;
            // Bytes where a character ends: the next byte does not continue it.
            const unsigned ends = ~(contBits >> 1) & 0xFFFF;
            if (ends == 0)
                break;
            const int nAdv = 32 - __builtin_clz(ends);
            const unsigned covered = (1u << nAdv) - 1;
            const unsigned coveredAndNext = (2u << nAdv) - 1;
            const __m128i errs = _mm_or_si128(BlockErrors(a, hiNib), _mm_cmpeq_epi8(a, zero));
            const unsigned errBits =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(errs, zero))) ^ 0xFFFF;
            const unsigned cutBits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(
                                         _mm_subs_epu8(a, Load16(kLastLeads)), zero))) ^
                                     0xFFFF;
            if ((errBits & coveredAndNext) | (cutBits & covered))
                break;
            const __m128i l4 = _mm_cmpeq_epi8(hiNib, nib);  // F0..FF
            const unsigned l4Bits = static_cast<unsigned>(_mm_movemask_epi8(l4)) & covered;
            // Every character end lies in the covered bytes, and so does the third byte of every
            // four-byte character that starts there.
            const unsigned keep = ends | (l4Bits << 2);
            if constexpr (kWrite) {
                const __m128i pay = _mm_and_si128(a, _mm_shuffle_epi8(kPayload, hiNib));
                const __m128i q1 = _mm_and_si128(_mm_slli_si128(pay, 1), cont);
                const __m128i q2 = _mm_and_si128(_mm_slli_si128(pay, 2),
                                                 _mm_and_si128(cont, _mm_slli_si128(cont, 1)));
                __m128i lo = _mm_or_si128(
                    _mm_or_si128(_mm_cvtepu8_epi16(pay), _mm_slli_epi16(_mm_cvtepu8_epi16(q1), 6)),
                    _mm_slli_epi16(_mm_cvtepu8_epi16(q2), 12));
                __m128i hi =
                    _mm_or_si128(_mm_or_si128(_mm_unpackhi_epi8(pay, zero),
                                              _mm_slli_epi16(_mm_unpackhi_epi8(q1, zero), 6)),
                                 _mm_slli_epi16(_mm_unpackhi_epi8(q2, zero), 12));
                if (l4Bits != 0) {
                    // Third byte: high surrogate D7C0 + (value >> 4); last byte: low surrogate
                    // DC00 + (value & 3FF).
                    const __m128i m3 = _mm_slli_si128(l4, 2), m4 = _mm_slli_si128(l4, 3);
                    const __m128i kHighBase = _mm_set1_epi16(static_cast<short>(0xD7C0));
                    const __m128i kLowBase = _mm_set1_epi16(static_cast<short>(0xDC00));
                    const __m128i k3FF = _mm_set1_epi16(0x3FF);
                    lo = _mm_blendv_epi8(lo, _mm_or_si128(_mm_and_si128(lo, k3FF), kLowBase),
                                         _mm_unpacklo_epi8(m4, m4));
                    lo = _mm_blendv_epi8(lo, _mm_add_epi16(_mm_srli_epi16(lo, 4), kHighBase),
                                         _mm_unpacklo_epi8(m3, m3));
                    hi = _mm_blendv_epi8(hi, _mm_or_si128(_mm_and_si128(hi, k3FF), kLowBase),
                                         _mm_unpackhi_epi8(m4, m4));
                    hi = _mm_blendv_epi8(hi, _mm_add_epi16(_mm_srli_epi16(hi, 4), kHighBase),
                                         _mm_unpackhi_epi8(m3, m3));
                }
                const unsigned k0 = keep & 0xFF, k1 = keep >> 8;
                _mm_storeu_si128(reinterpret_cast<__m128i*>(stage + s),
                                 _mm_shuffle_epi8(lo, Load16(kPack.ctl[k0])));
                s += kPack.count[k0];
                _mm_storeu_si128(reinterpret_cast<__m128i*>(stage + s),
                                 _mm_shuffle_epi8(hi, Load16(kPack.ctl[k1])));
                s += kPack.count[k1];
            } else {
                nOut += __builtin_popcount(keep);
            }
            i += nAdv;
        }
        if constexpr (kWrite) {
            if (s >= kStage) {
                memcpy(pOut + nOut, stage, static_cast<size_t>(s) * sizeof(char16_t));
                nOut += s;
                s = 0;
            }
        }
    }
    if constexpr (kWrite) {
        if (s > 0) {
            memcpy(pOut + nOut, stage, static_cast<size_t>(s) * sizeof(char16_t));
            nOut += s;
        }
    }
    iRef = i;
    nOutRef = nOut;
}

void VectorRun(const char* pIn, int& i, int n, char16_t* pOut, int64_t& nOut, int64_t nRoom) {
    if (pOut)
        VectorRunT<true>(pIn, i, n, pOut, nOut, nRoom);
    else
        VectorRunT<false>(pIn, i, n, pOut, nOut, nRoom);
}

#else
bool CpuHasVectorPath() {
    return false;
}
void VectorRun(const char*, int&, int, char16_t*, int64_t&, int64_t) {}
#endif

bool VectorPathOn() {
    int v = g_nVectorPath.load(std::memory_order_relaxed);
    if (v < 0) {
        v = CpuHasVectorPath() ? 1 : 0;
        g_nVectorPath.store(v, std::memory_order_relaxed);
    }
    return v != 0;
}

template <class Dec, class Enc>
int Convert(const typename Dec::Unit* pIn, int nInLen, typename Enc::Unit* pOut, int nOutCap,
            int* pnStatus, int* pnErrorPos, const Options& o) {
    if (pnErrorPos)
        *pnErrorPos = -1;
    const bool bWrite = pOut != nullptr && nOutCap > 0;
    typename Enc::Unit* const pDst = bWrite ? pOut : nullptr;
    // Measuring counts up to INT_MAX - 1 so that the result always fits an int.
    const int64_t nRoom = bWrite ? static_cast<int64_t>(nOutCap) - 1 : INT_MAX - 1;
    int n = 0;
    if (pIn != nullptr)
        n = nInLen < 0 ? ScanLength(pIn) : nInLen;
    int nStatus = enUtfOk;
    int64_t nOut = 0;
    int i = 0;
    // UTF-8 to UTF-16 with pairs: the vector path is not tried again before this position.
    [[maybe_unused]] const bool bVector =
        std::is_same_v<Dec, Utf8Dec> && std::is_same_v<Enc, Utf16Enc> && o.bPairs && VectorPathOn();
    [[maybe_unused]] int iScalarUntil = bVector ? 0 : INT_MAX;
    while (i < n) {
        if constexpr (std::is_same_v<Dec, Utf8Dec> && std::is_same_v<Enc, Utf16Enc>) {
            if (bVector && i >= iScalarUntil) {
                VectorRun(pIn, i, n, pDst, nOut, nRoom);
                iScalarUntil = i < INT_MAX - 16 ? i + 16 : INT_MAX;
            }
        }
        if constexpr (std::is_same_v<Dec, Utf8Dec> && !std::is_same_v<Enc, Utf8Enc>) {
            if (o.bPairs || sizeof(typename Enc::Unit) == 4) {
                WellFormedRun(pIn, i, n, pDst, nOut, nRoom, iScalarUntil < n ? iScalarUntil : n);
            } else if (static_cast<unsigned char>(pIn[i]) - 1u < 0x7Fu) {
                AsciiRun(pIn, i, n, pDst, nOut, nRoom);
            }
            if (i >= n)
                break;
            // The scalar run reached the point where the vector path may take over again.
            if (i >= iScalarUntil)
                continue;
        }
        const Step s = Dec::Decode(pIn, i, n, o);
        if (s.kind == Kind::End)
            break;
        char32_t c = s.c;
        if (s.kind != Kind::Char || !Enc::Representable(c, o)) {
            if (pnErrorPos) {
                nStatus = s.kind == Kind::Incomplete ? enUtfIncomplete : enUtfInvalid;
                *pnErrorPos = i;
                break;
            }
            c = kReplacement;
        }
        const int nUnits = Enc::Units(c);
        if (nOut + nUnits > nRoom) {
            nStatus = enUtfOutputFull;
            break;
        }
        if (pDst)
            Enc::Put(pDst + nOut, c);
        nOut += nUnits;
        i += s.len;
    }
    if (bWrite) {
        ORV_ASSERT_TEXT(nOut < nOutCap, "nOutputLen<nOutputBufferLen");
        pOut[nOut < nOutCap ? nOut : nOutCap - 1] = 0;
    }
    if (pnStatus)
        *pnStatus = nStatus;
    return static_cast<int>(nOut);
}

}  // namespace

int OrvUtf8ToUtf16(const char* pIn, int nInLen, bool bPairs, char16_t* pOut, int nOutCap,
                   int* pnStatus, int* pnErrorPos, bool bAcceptPairs) {
    return Convert<Utf8Dec, Utf16Enc>(pIn, nInLen, pOut, nOutCap, pnStatus, pnErrorPos,
                                      {bPairs, bAcceptPairs});
}

int OrvUtf8ToUtf32(const char* pIn, int nInLen, char32_t* pOut, int nOutCap, int* pnStatus,
                   int* pnErrorPos, bool bAcceptPairs) {
    return Convert<Utf8Dec, Utf32Enc>(pIn, nInLen, pOut, nOutCap, pnStatus, pnErrorPos,
                                      {true, bAcceptPairs});
}

int OrvUtf16ToUtf8(const char16_t* pIn, int nInLen, bool bPairs, char* pOut, int nOutCap,
                   int* pnStatus, int* pnErrorPos, bool) {
    return Convert<Utf16Dec, Utf8Enc>(pIn, nInLen, pOut, nOutCap, pnStatus, pnErrorPos,
                                      {bPairs, false});
}

int OrvUtf16ToUtf32(const char16_t* pIn, int nInLen, bool bPairs, char32_t* pOut, int nOutCap,
                    int* pnStatus, int* pnErrorPos, bool) {
    return Convert<Utf16Dec, Utf32Enc>(pIn, nInLen, pOut, nOutCap, pnStatus, pnErrorPos,
                                       {bPairs, false});
}

int OrvUtf16ToUtf16(const char16_t* pIn, int nInLen, bool bPairs, char16_t* pOut, int nOutCap,
                    int* pnStatus, int* pnErrorPos, bool) {
    return Convert<Utf16Dec, Utf16Enc>(pIn, nInLen, pOut, nOutCap, pnStatus, pnErrorPos,
                                       {bPairs, false});
}

int OrvUtf32ToUtf8(const char32_t* pIn, int nInLen, char* pOut, int nOutCap, int* pnStatus,
                   int* pnErrorPos, bool) {
    return Convert<Utf32Dec, Utf8Enc>(pIn, nInLen, pOut, nOutCap, pnStatus, pnErrorPos,
                                      {true, false});
}

int OrvUtf32ToUtf16(const char32_t* pIn, int nInLen, bool bPairs, char16_t* pOut, int nOutCap,
                    int* pnStatus, int* pnErrorPos, bool) {
    return Convert<Utf32Dec, Utf16Enc>(pIn, nInLen, pOut, nOutCap, pnStatus, pnErrorPos,
                                       {bPairs, false});
}

bool OrvUtfAllowVectorPath(bool bAllow) {
    const bool bPrev = VectorPathOn();
    g_nVectorPath.store(bAllow && CpuHasVectorPath() ? 1 : 0, std::memory_order_relaxed);
    return bPrev;
}

// ---- string wrappers ----

bool OrvUtf16ToUtf8(const char16_t* psz, int nLen, COrvStringA& strOut) {
    const int nNeed = OrvUtf16ToUtf8(psz, nLen, true, nullptr, 0);
    if (nNeed == 0) {
        strOut.Empty();
        return true;
    }
    COrvStringA strResult;
    char* p = strResult.GetBufferSetLength(nNeed);
    if (p == nullptr) {
        strOut.Empty();
        return false;
    }
    const int nDone = OrvUtf16ToUtf8(psz, nLen, true, p, nNeed + 1);
    strResult.ReleaseBuffer(nDone);
    strOut = static_cast<COrvStringA&&>(strResult);
    return true;
}

bool OrvUtf16ToUtf8(const char16_t* psz, COrvStringA& strOut) {
    return OrvUtf16ToUtf8(psz, -1, strOut);
}

bool OrvUtf8ToUtf16(const char* psz, int nLen, COrvStringW& strOut, COrvStringA& strError) {
    strOut.Empty();
    if (psz == nullptr || nLen == 0 || *psz == 0)
        return true;
    int nStatus = enUtfOk, nPos = -1;
    const int nNeed = OrvUtf8ToUtf16(psz, nLen, true, nullptr, 0, &nStatus, &nPos);
    if (nStatus == enUtfInvalid || nStatus == enUtfIncomplete) {
        OrvAssertFailed(__FILE__, __LINE__, 0, "FALSE", 0);
        // The input need not be NUL-terminated: quote exactly the bytes that were given.
        const int nText = nLen < 0 ? static_cast<int>(strlen(psz)) : nLen;
        const COrvStringA strText(psz, static_cast<int>(strnlen(psz, nText)));
        strError.Format("bad UTF-8 sequence at pos %d in string %s", nPos,
                        static_cast<const char*>(strText));
        return false;
    }
    if (nStatus == enUtfOutputFull) {
        strError = "out of memory";
        return false;
    }
    if (nNeed == 0)
        return true;
    COrvStringW strResult;
    char16_t* p = strResult.GetBufferSetLength(nNeed);
    if (p == nullptr) {
        strError = "out of memory";
        return false;
    }
    const int nDone = OrvUtf8ToUtf16(psz, nLen, true, p, nNeed + 1);
    strResult.ReleaseBuffer(nDone);
    strOut = static_cast<COrvStringW&&>(strResult);
    return true;
}

bool OrvBytesToUtf8(const COrvStringA& bytes, COrvStringA& strOut) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.GetString());
    const int nLen = bytes.GetLength();
    if (nLen >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        COrvStringA strResult(bytes.GetString() + 3, nLen - 3);
        if (nLen > 3 && strResult.IsEmpty()) {
            strOut.Empty();
            return false;
        }
        strOut = static_cast<COrvStringA&&>(strResult);
        return true;
    }
    if (nLen >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
        const bool bLittle = p[0] == 0xFF;
        // A trailing odd byte pairs with the string's terminating NUL.
        const int nUnits = (nLen - 1) / 2;
        if (nUnits == 0) {
            strOut.Empty();
            return true;
        }
        COrvStringW strWide;
        char16_t* pw = strWide.GetBufferSetLength(nUnits);
        if (pw == nullptr) {
            strOut.Empty();
            return false;
        }
        const unsigned char* q = p + 2;
        for (int k = 0; k < nUnits; ++k, q += 2)
            pw[k] = bLittle ? static_cast<char16_t>(q[0] | (q[1] << 8))
                            : static_cast<char16_t>((q[0] << 8) | q[1]);
        return OrvUtf16ToUtf8(strWide.GetString(), nUnits, strOut);
    }
    strOut = bytes;
    return true;
}

const char* OrvCodePageName(int nCodePage) {
    switch (nCodePage) {
        case 932:
            return "CP932";
        case 936:
            return "CP936";
        case 949:
            return "CP949";
        case 950:
            return "CP950";
        case 1250:
            return "CP1250";
        case 1251:
            return "CP1251";
        case 1252:
            return "CP1252";
        case 1253:
            return "CP1253";
        case 1254:
            return "CP1254";
        case 1255:
            return "CP1255";
        case 1256:
            return "CP1256";
        case 1257:
            return "CP1257";
        default:
            return nullptr;
    }
}

// ---- streaming UTF-8 decoding ----

namespace {

// Writes the UTF-16 form of one decoding step (U+FFFD for an invalid piece) and returns the
// count of units.
int PutStep(const OrvUtf8Step& st, char16_t* pOut) {
    if (st.eStatus != enUtfOk) {
        pOut[0] = static_cast<char16_t>(kReplacement);
        return 1;
    }
    if (st.c < 0x10000) {
        pOut[0] = static_cast<char16_t>(st.c);
        return 1;
    }
    pOut[0] = OrvHighSurrogateOf(st.c);
    pOut[1] = OrvLowSurrogateOf(st.c);
    return 2;
}

}  // namespace

int COrvUtf8StreamDecoder::Decode(const char* p, int nLen, char16_t* pOut) {
    int nOut = 0;
    int i = 0;
    if (m_nCarry > 0) {
        // The kept bytes and the first bytes of this chunk, enough for every sequence that starts
        // in the kept ones.
        char aJoin[kMaxCarry + 4];
        const int nTake = nLen < 4 ? nLen : 4;
        std::memcpy(aJoin, m_carry, static_cast<size_t>(m_nCarry));
        std::memcpy(aJoin + m_nCarry, p, static_cast<size_t>(nTake));
        const int nJoin = m_nCarry + nTake;
        int j = 0;
        while (j < m_nCarry) {
            const OrvUtf8Step st = OrvUtf8DecodeOne(aJoin + j, static_cast<size_t>(nJoin - j));
            if (st.eStatus == enUtfIncomplete) {
                // Still cut: only possible when this chunk was too short to finish it.
                std::memcpy(m_carry, aJoin + j, static_cast<size_t>(nJoin - j));
                m_nCarry = nJoin - j;
                return nOut;
            }
            nOut += PutStep(st, pOut + nOut);
            j += st.nLen;
        }
        i = j - m_nCarry;
        m_nCarry = 0;
    }
    while (i < nLen) {
        // ASCII eight bytes at a time: most output is plain text
        while (i + 8 <= nLen) {
            uint64_t nWord;
            std::memcpy(&nWord, p + i, sizeof nWord);
            if (nWord & 0x8080808080808080ULL) {
                break;
            }
            for (int k = 0; k < 8; ++k) {
                pOut[nOut + k] = static_cast<unsigned char>(p[i + k]);
            }
            i += 8;
            nOut += 8;
        }
        if (i >= nLen) {
            break;
        }
        const unsigned char b = static_cast<unsigned char>(p[i]);
        if (b < 0x80) {
            pOut[nOut++] = b;
            ++i;
            continue;
        }
        const OrvUtf8Step st = OrvUtf8DecodeOne(p + i, static_cast<size_t>(nLen - i));
        if (st.eStatus == enUtfIncomplete) {
            m_nCarry = nLen - i;
            std::memcpy(m_carry, p + i, static_cast<size_t>(m_nCarry));
            break;
        }
        nOut += PutStep(st, pOut + nOut);
        i += st.nLen;
    }
    return nOut;
}

int COrvUtf8StreamDecoder::Finish(char16_t* pOut) {
    if (m_nCarry == 0)
        return 0;
    m_nCarry = 0;
    pOut[0] = static_cast<char16_t>(kReplacement);
    return 1;
}
