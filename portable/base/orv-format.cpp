// The printf engine OrvVFormat: one pass over the format that parses each conversion into a
// FormatSpec and hands it to the writer of its kind (characters, strings, plain decimals, the C
// library's numeric formatter), counting every character and storing those that fit.
#include "orv-format.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orv-utf.h"

char* OrvDecimalBackward(char* pEnd, uint64_t n) {
    do {
        *--pEnd = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    return pEnd;
}

char* OrvDecimalBackward(char* pEnd, int64_t n) {
    const bool bNeg = n < 0;
    char* p =
        OrvDecimalBackward(pEnd, bNeg ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n));
    if (bNeg)
        *--p = '-';
    return p;
}

namespace {

constexpr int64_t kMaxOutput = 0x7FFFFFF0;

// The output of one OrvVFormat call: counts every character, stores those that fit.
template <typename C>
struct FormatOut {
    C* m_p;          // null while measuring
    int64_t m_nCap;  // characters that may be stored (the NUL slot excluded)
    int64_t m_n;     // characters produced so far

    int64_t Room() const { return m_n < m_nCap ? m_nCap - m_n : 0; }
    void Put(C c) {
        if (m_n < m_nCap)
            m_p[m_n] = c;
        ++m_n;
    }
    void PutN(const C* s, int64_t k) {
        if (k <= 0)
            return;
        const int64_t r = Room();
        if (r > 0)
            std::memcpy(m_p + m_n, s, static_cast<size_t>(k < r ? k : r) * sizeof(C));
        m_n += k;
    }
    void Fill(C c, int64_t k) {
        if (k <= 0)
            return;
        const int64_t r = Room();
        for (int64_t i = 0, e = k < r ? k : r; i < e; ++i)
            m_p[m_n + i] = c;
        m_n += k;
    }
    // Narrow characters widened unit by unit (each byte keeps its value).
    void PutWidened(const char* s, int64_t k) {
        if constexpr (sizeof(C) == 1) {
            PutN(s, k);
        } else {
            const int64_t r = Room();
            for (int64_t i = 0, e = k < r ? k : r; i < e; ++i)
                m_p[m_n + i] = static_cast<unsigned char>(s[i]);
            m_n += k;
        }
    }
    // Pads a field of nField characters that holds nLen of its own: in front unless bLeft (with
    // '0' when bZero), behind with spaces when bLeft.
    void PadFront(bool bLeft, bool bZero, int64_t nPad) {
        if (!bLeft)
            Fill(bZero ? '0' : ' ', nPad);
    }
    void PadBack(bool bLeft, int64_t nPad) {
        if (bLeft)
            Fill(' ', nPad);
    }
};

// Length of a text of either width, reading at most nMax units.
int64_t BoundedLength(const void* p, bool bWide, int64_t nMax) {
    int64_t n = 0;
    if (bWide) {
        const char16_t* s = static_cast<const char16_t*>(p);
        while (n < nMax && s[n] != 0)
            ++n;
    } else {
        const char* s = static_cast<const char*>(p);
        if (nMax > 0x7FFFFFFF)
            return static_cast<int64_t>(std::strlen(s));
        const void* z = std::memchr(s, 0, static_cast<size_t>(nMax));
        n = z != nullptr ? static_cast<const char*>(z) - s : nMax;
    }
    return n;
}

enum SizeKind { enSizeInt, enSizeLong, enSize64 };

// One conversion as written in the format, from its '%' up to its letter.
template <typename C>
struct FormatSpec {
    const C* pStart = nullptr;      // the '%'
    const C* pSizeStart = nullptr;  // the first size prefix (or the letter)
    bool bLeft = false;
    bool bZero = false;
    bool bStar = false;   // width or precision came from the arguments
    bool bPlain = false;  // no flags, width or star before the precision
    int64_t nWidth = 0;
    int64_t nPrec = -1;  // -1: none
    SizeKind eSize = enSizeInt;
    int nNarrowWide = 0;  // 0 none, 1 narrow ("h"), 2 wide ("l", "w")
    int nShort = 0;       // count of "h"
    C conv = 0;
};

// Reads decimal digits at f into *pn (added to *pn * 10 digit by digit). False, f at the digit
// that made the value pass kMaxOutput, when it does.
template <typename C>
bool ParseDigits(const C*& f, int64_t* pn) {
    for (; *f >= '0' && *f <= '9'; ++f) {
        *pn = *pn * 10 + (*f - '0');
        if (*pn > kMaxOutput)
            return false;
    }
    return true;
}

// Flags, width (a '*' takes an int argument; negative means left-aligned).
template <typename C>
bool ParseFlagsAndWidth(const C*& f, va_list* pArgs, FormatSpec<C>& s) {
    for (;; ++f) {
        if (*f == '-') {
            s.bLeft = true;
        } else if (*f == '0') {
            s.bZero = true;
        } else if (*f == '#' || *f == '+' || *f == ' ') {
        } else if (*f == '*') {
            s.bStar = true;
            const int w = va_arg(*pArgs, int);
            if (w < 0) {
                s.bLeft = true;
                s.nWidth = -static_cast<int64_t>(w);
            } else {
                s.nWidth = w;
            }
        } else {
            break;
        }
    }
    if (*f >= '0' && *f <= '9')
        s.nWidth = 0;
    return ParseDigits(f, &s.nWidth);
}

// The precision after '.' (a '*' takes an int argument; negative is an error).
template <typename C>
bool ParsePrecision(const C*& f, va_list* pArgs, FormatSpec<C>& s) {
    if (*f != '.')
        return true;
    ++f;
    if (*f == '*') {
        ++f;
        s.bStar = true;
        const int p = va_arg(*pArgs, int);
        if (p < 0)
            return false;
        s.nPrec = p;
        return true;
    }
    s.nPrec = 0;
    return ParseDigits(f, &s.nPrec);
}

// Size prefixes (repeatable): "I64", "I32", "ll", "l", "w", "h", and "F", "L", "N" (ignored).
template <typename C>
void ParseSize(const C*& f, FormatSpec<C>& s) {
    for (;;) {
        if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
            s.eSize = enSize64;
            f += 3;
        } else if (f[0] == 'I' && f[1] == '3' && f[2] == '2') {
            f += 3;
        } else if (f[0] == 'l' && f[1] == 'l') {
            s.eSize = enSize64;
            f += 2;
        } else if (*f == 'l' || *f == 'w') {
            if (s.eSize != enSize64)
                s.eSize = enSizeLong;
            s.nNarrowWide = 2;
            ++f;
        } else if (*f == 'h') {
            s.nNarrowWide = 1;
            ++s.nShort;
            ++f;
        } else if (*f == 'F' || *f == 'L' || *f == 'N') {
            ++f;
        } else {
            break;
        }
    }
}

// Parses the conversion at f (its '%'), leaving f at the conversion letter. False on a format
// error, with f where the error was found.
template <typename C>
bool ParseSpec(const C*& f, va_list* pArgs, FormatSpec<C>& s) {
    s.pStart = f++;
    if (!ParseFlagsAndWidth(f, pArgs, s))
        return false;
    s.bPlain = f == s.pStart + 1 && !s.bStar;
    if (!ParsePrecision(f, pArgs, s))
        return false;
    s.pSizeStart = f;
    ParseSize(f, s);
    s.conv = *f;
    return s.conv != 0;
}

// Whether "%s" / "%c" (or their other-width forms "%S" / "%C") take a 16-bit argument: the
// natural width of the output, the other one for the capital letter, and "h" / "l" / "w" decide.
template <typename C>
bool TextArgIsWide(const FormatSpec<C>& s) {
    if (s.nNarrowWide == 1)
        return false;
    if (s.nNarrowWide == 2)
        return true;
    const bool bWideOut = sizeof(C) == 2;
    return (s.conv == 'c' || s.conv == 's') ? bWideOut : !bWideOut;
}

// "%c" and "%C": one character in a field of the width, cut by the precision.
template <typename C>
void FormatChar(FormatOut<C>& o, const FormatSpec<C>& s, va_list* pArgs) {
    const int v = va_arg(*pArgs, int);
    C ch;
    if constexpr (sizeof(C) == 2)
        ch = TextArgIsWide(s) ? static_cast<C>(v) : static_cast<C>(static_cast<unsigned char>(v));
    else
        ch = static_cast<C>(v & 0xFF);
    int64_t nField = s.nWidth > 1 ? s.nWidth : 1;
    if (s.nPrec >= 0 && nField > s.nPrec)
        nField = s.nPrec;
    const int64_t nLen = nField < 1 ? nField : 1;
    o.PadFront(s.bLeft, s.bZero, nField - nLen);
    if (nLen > 0)
        o.Put(ch);
    o.PadBack(s.bLeft, nField - nLen);
}

// UTF-16 text into narrow output: converted to UTF-8, no padding. The cut to the precision does
// not split a surrogate pair. False when the text is longer than any output may be.
bool PutUtf16AsUtf8(FormatOut<char>& o, const FormatSpec<char>& s, const char16_t* ws,
                    int64_t nLen) {
    if (s.nPrec >= 0 && nLen == s.nPrec && nLen > 0 && OrvIsHighSurrogate(ws[nLen - 1]) &&
        OrvIsLowSurrogate(ws[nLen]))
        --nLen;
    if (nLen <= 0)
        return true;
    if (nLen > kMaxOutput)
        return false;
    if (o.m_p == nullptr) {
        o.m_n += nLen * 3;
        return true;
    }
    const int nIn = static_cast<int>(nLen);
    const int nNeed = OrvUtf16ToUtf8(ws, nIn, true, nullptr, 0);
    const int64_t r = o.Room();
    if (r > 0)
        OrvUtf16ToUtf8(ws, nIn, true, o.m_p + o.m_n,
                       static_cast<int>(r + 1 < nNeed + 1 ? r + 1 : nNeed + 1));
    o.m_n += nNeed;
    return true;
}

// "%s" and "%S": a text of either width ("(null)" for a null pointer) in a field of the width,
// cut by the precision. False on a format error.
template <typename C>
bool FormatString(FormatOut<C>& o, const FormatSpec<C>& s, va_list* pArgs) {
    bool bArgWide = TextArgIsWide(s);
    const void* pArg = va_arg(*pArgs, const void*);
    static const char s_szNull[] = "(null)";
    if (pArg == nullptr) {
        pArg = s_szNull;
        bArgWide = false;
    }
    const int64_t nMax = s.nPrec >= 0 ? s.nPrec : INT64_MAX;
    int64_t nLen = BoundedLength(pArg, bArgWide, nMax);
    if constexpr (sizeof(C) == 1) {
        if (bArgWide)
            return PutUtf16AsUtf8(o, s, static_cast<const char16_t*>(pArg), nLen);
    }
    int64_t nField = s.nWidth > nLen ? s.nWidth : nLen;
    if (s.nPrec >= 0 && nField > s.nPrec) {
        nField = s.nPrec;
        if (nLen > s.nPrec)
            nLen = s.nPrec;
    }
    o.PadFront(s.bLeft, s.bZero, nField - nLen);
    if (bArgWide || sizeof(C) == 1)
        o.PutN(static_cast<const C*>(pArg), nLen);  // same width as the output
    else
        o.PutWidened(static_cast<const char*>(pArg), nLen);
    o.PadBack(s.bLeft, nField - nLen);
    return true;
}

template <typename C>
bool IsNumericConversion(C conv) {
    return conv == 'd' || conv == 'i' || conv == 'o' || conv == 'u' || conv == 'x' || conv == 'X' ||
           conv == 'p' || conv == 'e' || conv == 'E' || conv == 'f' || conv == 'g' || conv == 'G';
}

template <typename C>
bool IsFloatConversion(C conv) {
    return conv == 'e' || conv == 'E' || conv == 'f' || conv == 'g' || conv == 'G';
}

// Measuring a numeric conversion: consumes its argument and counts an upper bound of its text.
template <typename C>
void MeasureNumber(FormatOut<C>& o, const FormatSpec<C>& s, va_list* pArgs) {
    int64_t m;
    if (IsFloatConversion(s.conv)) {
        m = (s.nPrec >= 0 ? s.nPrec : 6) + 318;
        (void)va_arg(*pArgs, double);
    } else if (s.conv == 'p') {
        m = 32;
        (void)va_arg(*pArgs, void*);
    } else if (s.eSize == enSize64) {
        m = 129;
        (void)va_arg(*pArgs, long long);
    } else if (s.eSize == enSizeLong) {
        m = 129;
        (void)va_arg(*pArgs, long);
    } else {
        m = 65;
        (void)va_arg(*pArgs, int);
    }
    // Width and precision, plus room for a sign or a "0x" prefix, which the precision does not
    // count.
    const int64_t wp = s.nWidth + (s.nPrec > 0 ? s.nPrec + 2 : 0);
    o.m_n += wp > m ? wp : m;
}

// "%d", "%i" and "%u" without flags, width or precision: written directly.
template <typename C>
bool IsPlainDecimal(const FormatSpec<C>& s) {
    return s.bPlain && s.nPrec < 0 && (s.conv == 'd' || s.conv == 'i' || s.conv == 'u');
}

template <typename C>
void FormatPlainDecimal(FormatOut<C>& o, const FormatSpec<C>& s, va_list* pArgs) {
    char aDigits[kOrvDecimalChars];
    char* pEnd = aDigits + sizeof(aDigits);
    char* p;
    if (s.conv != 'u') {
        const int64_t sv = s.eSize == enSize64     ? va_arg(*pArgs, long long)
                           : s.eSize == enSizeLong ? va_arg(*pArgs, long)
                           : s.nShort == 1         ? static_cast<short>(va_arg(*pArgs, int))
                           : s.nShort >= 2         ? static_cast<signed char>(va_arg(*pArgs, int))
                                                   : va_arg(*pArgs, int);
        p = OrvDecimalBackward(pEnd, sv);
    } else {
        const uint64_t v = s.eSize == enSize64     ? va_arg(*pArgs, unsigned long long)
                           : s.eSize == enSizeLong ? va_arg(*pArgs, unsigned long)
                           : s.nShort == 1 ? static_cast<unsigned short>(va_arg(*pArgs, unsigned))
                           : s.nShort >= 2 ? static_cast<unsigned char>(va_arg(*pArgs, unsigned))
                                           : va_arg(*pArgs, unsigned);
        p = OrvDecimalBackward(pEnd, v);
    }
    o.PutWidened(p, pEnd - p);
}

// The conversion's own text for the C library: flags, width and precision as written, the size
// as "ll", "l", "h" or "hh", and the letter. aSpec holds at least 1040 characters.
template <typename C>
void BuildCSpec(const FormatSpec<C>& s, char* aSpec) {
    int k = 0;
    for (const C* q = s.pStart; q < s.pSizeStart; ++q)
        aSpec[k++] = static_cast<char>(*q);
    if (!IsFloatConversion(s.conv) && s.conv != 'p') {
        if (s.eSize == enSize64) {
            aSpec[k++] = 'l';
            aSpec[k++] = 'l';
        } else if (s.eSize == enSizeLong) {
            aSpec[k++] = 'l';
        } else if (s.nShort > 0) {
            aSpec[k++] = 'h';
            if (s.nShort > 1)
                aSpec[k++] = 'h';
        }
    }
    aSpec[k++] = static_cast<char>(s.conv);
    aSpec[k] = 0;
}

// snprintf of one numeric argument of the kind the conversion names, taken from *pArgs.
template <typename C>
int SnprintfNumber(char* pOut, size_t nCap, const char* aSpec, const FormatSpec<C>& s,
                   va_list* pArgs) {
    if (IsFloatConversion(s.conv))
        return std::snprintf(pOut, nCap, aSpec, va_arg(*pArgs, double));
    if (s.conv == 'p')
        return std::snprintf(pOut, nCap, aSpec, va_arg(*pArgs, void*));
    if (s.eSize == enSize64)
        return std::snprintf(pOut, nCap, aSpec, va_arg(*pArgs, long long));
    if (s.eSize == enSizeLong)
        return std::snprintf(pOut, nCap, aSpec, va_arg(*pArgs, long));
    return std::snprintf(pOut, nCap, aSpec, va_arg(*pArgs, int));
}

// Any other numeric conversion, through the C library's formatter: narrow output is written in
// place, wide output is formatted into a local buffer (or, above 512 characters, a heap block
// filled by a second call) and widened. False on a format error or a failed allocation.
template <typename C>
bool FormatNumberWithC(FormatOut<C>& o, const FormatSpec<C>& s, int nSize, va_list* pArgs) {
    char aSpec[1040];
    BuildCSpec(s, aSpec);
    char aLocal[512];
    char* pOut;
    size_t nOutCap;
    if constexpr (sizeof(C) == 2) {
        pOut = aLocal;
        nOutCap = sizeof(aLocal);
    } else {
        pOut = o.m_p + o.m_n;
        nOutCap = static_cast<size_t>(o.Room() + 1);
        if (o.m_n > o.m_nCap || nSize <= 0) {
            pOut = nullptr;
            nOutCap = 0;
        }
    }
    va_list aSaved;
    va_copy(aSaved, *pArgs);
    const int r = SnprintfNumber(pOut, nOutCap, aSpec, s, pArgs);
    bool bOk = r >= 0;
    if (bOk) {
        if constexpr (sizeof(C) == 2) {
            if (static_cast<size_t>(r) < sizeof(aLocal)) {
                o.PutWidened(aLocal, r);
            } else {
                char* pHeap = static_cast<char*>(std::malloc(static_cast<size_t>(r) + 1));
                bOk = pHeap != nullptr;
                if (bOk) {
                    SnprintfNumber(pHeap, static_cast<size_t>(r) + 1, aSpec, s, &aSaved);
                    o.PutWidened(pHeap, r);
                    std::free(pHeap);
                }
            }
        } else {
            o.m_n += r;
        }
    }
    va_end(aSaved);
    return bOk;
}

template <typename C>
int VFormatT(C* pBuffer, int nSize, const C* pFormat, const void** ppEnd, va_list* pArgs) {
    FormatOut<C> o{pBuffer, pBuffer == nullptr || nSize <= 0 ? 0 : nSize - 1, 0};
    const bool bMeasure = pBuffer == nullptr;
    const C* f = pFormat;
    bool bError = false;
    while (*f != 0) {
        if (*f != '%') {
            const C* s = f;
            while (*f != 0 && *f != '%')
                ++f;
            o.PutN(s, f - s);
            continue;
        }
        if (f[1] == '%') {
            o.Put('%');
            f += 2;
            continue;
        }
        FormatSpec<C> s;
        if (!ParseSpec(f, pArgs, s)) {
            bError = true;
            break;
        }
        if (s.conv == 'c' || s.conv == 'C') {
            FormatChar(o, s, pArgs);
        } else if (s.conv == 's' || s.conv == 'S') {
            if (!FormatString(o, s, pArgs)) {
                bError = true;
                break;
            }
        } else if (IsNumericConversion(s.conv)) {
            if (s.bStar || f - s.pStart > 1022) {
                bError = true;
                break;
            }
            // Measured and plain decimal conversions skip the output-limit check below; the
            // final check catches them.
            if (bMeasure || IsPlainDecimal(s)) {
                if (bMeasure)
                    MeasureNumber(o, s, pArgs);
                else
                    FormatPlainDecimal(o, s, pArgs);
                ++f;
                continue;
            }
            if (!FormatNumberWithC(o, s, nSize, pArgs)) {
                bError = true;
                break;
            }
        } else {
            bError = true;  // "n", "a" and every other letter
            break;
        }
        ++f;
        if (o.m_n > kMaxOutput) {
            bError = true;
            break;
        }
    }
    if (!bMeasure && nSize > 0)
        pBuffer[o.m_n < o.m_nCap ? o.m_n : o.m_nCap] = 0;
    if (ppEnd != nullptr)
        *ppEnd = f;
    if (bError || o.m_n > kMaxOutput)
        return -1;
    return static_cast<int>(o.m_n);
}

}  // namespace

int OrvVFormat(void* pBuffer, int nSize, bool bWide, const void* pFormat, const void** ppEnd,
               va_list args) {
    if (pFormat == nullptr) {
        if (pBuffer != nullptr && nSize > 0) {
            if (bWide)
                *static_cast<char16_t*>(pBuffer) = 0;
            else
                *static_cast<char*>(pBuffer) = 0;
        }
        if (ppEnd != nullptr)
            *ppEnd = nullptr;
        return -1;
    }
    va_list ap;
    va_copy(ap, args);
    int n;
    if (bWide)
        n = VFormatT(static_cast<char16_t*>(pBuffer), nSize, static_cast<const char16_t*>(pFormat),
                     ppEnd, &ap);
    else
        n = VFormatT(static_cast<char*>(pBuffer), nSize, static_cast<const char*>(pFormat), ppEnd,
                     &ap);
    va_end(ap);
    return n;
}
