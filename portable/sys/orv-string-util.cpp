// Number parsers, formatting, error texts, checks and text conversions (portable part).
#include "orv-string-util.h"

#include <string.h>

#include <limits>
#include <type_traits>

#include "orv-result.h"
#include "orv-trace.h"
#include "orv-utf.h"

COrvStringW g_ThouSep;

namespace {

COrvStringA Narrow(const char* psz) {
    return COrvStringA(psz ? psz : "");
}
COrvStringA Narrow(const OrvWChar* psz) {
    COrvStringA str;
    OrvUtf16ToUtf8(psz ? psz : u"", str);
    return str;
}
// The bad character of a format message: a narrow text's whole UTF-8 sequence when one starts
// there (else the byte), a wide text's surrogate pair when one starts there (else the unit).
COrvStringA BadCharText(const char* p) {
    // The text is NUL-terminated: the decoder sees at most the bytes up to the NUL.
    size_t nAvail = 1;
    while (nAvail < 4 && p[nAvail] != 0)
        ++nAvail;
    const OrvUtf8Step st = OrvUtf8DecodeOne(p, nAvail);
    return COrvStringA(p, st.eStatus == enUtfOk ? st.nLen : 1);
}
COrvStringA BadCharText(const OrvWChar* p) {
    const int n = (OrvIsHighSurrogate(p[0]) && OrvIsLowSurrogate(p[1])) ? 2 : 1;
    COrvStringA str;
    OrvUtf16ToUtf8(p, n, str);
    return str;
}

// One decimal (or octal) parser for every width; nMax is the largest magnitude (of either sign).
// Writes nOut and bNeg only on success.
template <typename T, typename U>
bool ParseNumber(const T* psz, const char* pszContext, U nMax, bool bSigned, unsigned nBase,
                 bool bCheckOverflow, const char* pszName, const char* pszOverflow, U& nOut,
                 bool& bNeg, int& nError, COrvStringA& strError) {
    static const T kEmpty[1] = {0};
    const T* p = psz ? psz : kEmpty;
    bool bMinus = false;
    if (bSigned && *p == '-') {
        bMinus = true;
        ++p;
    }
    U n = 0;
    for (;; ++p) {
        const T ch = *p;
        if (ch >= '0' && ch < static_cast<T>('0' + nBase)) {
            const U d = static_cast<U>(ch - '0');
            if (bCheckOverflow && n > (nMax - d) / nBase) {
                nError = enNetBadRequest;
                strError = COrvStringA(pszOverflow) + Narrow(psz);
                return false;
            }
            n = static_cast<U>(n * nBase + d);
            continue;
        }
        if (ch == 0 || ch == ' ' || ch == '\n')
            break;
        nError = enNetBadRequest;
        strError = COrvStringA("bad ") + pszName + " number in " + Narrow(pszContext) + ": " +
                   Narrow(psz) + ": " + BadCharText(p);
        return false;
    }
    nOut = n;
    bNeg = bMinus;
    return true;
}

template <typename T, typename S>
bool ParseSigned(const T* psz, const char* pszContext, const char* pszName, const char* pszOver,
                 S& nValue, int& nError, COrvStringA& strError) {
    using U = std::make_unsigned_t<S>;
    const U nMax = static_cast<U>(std::numeric_limits<S>::max());
    U n = 0;
    bool bNeg = false;
    // The magnitude limit is the same for both signs: the type's minimum itself is an overflow.
    if (!ParseNumber<T, U>(psz, pszContext, nMax, true, 10, true, pszName, pszOver, n, bNeg, nError,
                           strError))
        return false;
    nValue = bNeg ? static_cast<S>(0 - n) : static_cast<S>(n);
    return true;
}

template <typename U>
bool ParseUnsigned(const char* psz, const char* pszContext, const char* pszName,
                   const char* pszOver, unsigned nBase, bool bCheck, U& nValue, int& nError,
                   COrvStringA& strError) {
    bool bNeg = false;
    const U nMax = std::numeric_limits<U>::max();
    return ParseNumber<char, U>(psz, pszContext, nMax, false, nBase, bCheck, pszName, pszOver,
                                nValue, bNeg, nError, strError);
}

}  // namespace

bool OrvParseInt32A(const char* psz, const char* pszContext, int32_t& nValue, int& nError,
                    COrvStringA& strError) {
    return ParseSigned(psz, pszContext, "Int32(A)", "integer overflow 32-bit: ", nValue, nError,
                       strError);
}
bool OrvParseInt32W(const OrvWChar* psz, const char* pszContext, int32_t& nValue, int& nError,
                    COrvStringA& strError) {
    return ParseSigned(psz, pszContext, "Int32(W)", "integer overflow 32-bit: ", nValue, nError,
                       strError);
}
bool OrvParseInt64A(const char* psz, const char* pszContext, int64_t& nValue, int& nError,
                    COrvStringA& strError) {
    return ParseSigned(psz, pszContext, "Int64(A)", "integer overflow 64-bit: ", nValue, nError,
                       strError);
}
bool OrvParseUInt32A(const char* psz, const char* pszContext, uint32_t& nValue, int& nError,
                     COrvStringA& strError) {
    return ParseUnsigned(psz, pszContext, "UInt32(A)", "uinteger overflow 32-bit: ", 10, true,
                         nValue, nError, strError);
}
bool OrvParseUInt64A(const char* psz, const char* pszContext, uint64_t& nValue, int& nError,
                     COrvStringA& strError) {
    return ParseUnsigned(psz, pszContext, "UInt64(A)", "uinteger overflow 64-bit: ", 10, true,
                         nValue, nError, strError);
}
bool OrvParseOctalUInt32A(const char* psz, const char* pszContext, uint32_t& nValue, int& nError,
                          COrvStringA& strError) {
    return ParseUnsigned(psz, pszContext, "OctalUInt32(A)", "", 8, false, nValue, nError, strError);
}

bool OrvParseIPv4(const char* psz, unsigned char abAddr[4], int& nError, COrvStringA& strError) {
    const char* p = psz ? psz : "";
    unsigned char ab[4] = {0, 0, 0, 0};
    int nDots = 0;
    int nOctet = 0;
    bool bDigits = false;
    const char* pszWhy = nullptr;
    for (; *p && !pszWhy; ++p) {
        if (*p >= '0' && *p <= '9') {
            nOctet = nOctet * 10 + (*p - '0');
            if (nOctet > 255)
                pszWhy = "octet out of range";
            bDigits = true;
        } else if (*p == '.') {
            if (!bDigits)
                pszWhy = "unexpected end of octet";
            else if (nDots == 3)
                pszWhy = "extra octet";
            else {
                ab[nDots++] = static_cast<unsigned char>(nOctet);
                nOctet = 0;
                bDigits = false;
            }
        } else {
            pszWhy = "expected digit or dot";
        }
    }
    if (!pszWhy && !bDigits)
        pszWhy = "unexpected end of last octet";
    if (!pszWhy && nDots < 3)
        pszWhy = "missing last octet(s)";
    if (pszWhy) {
        nError = enNetBadRequest;
        strError.Format("bad IPv4 address '%s': %s", psz ? psz : "", pszWhy);
        return false;
    }
    ab[3] = static_cast<unsigned char>(nOctet);
    for (int i = 0; i < 4; ++i)
        abAddr[i] = ab[i];
    return true;
}

int64_t OrvParseSize(const char* psz) {
    const char* p = psz ? psz : "";
    int64_t n = 0;
    for (; *p; ++p) {
        int64_t nMul = 0;
        if (*p >= '0' && *p <= '9') {
            const int d = *p - '0';
            if (n > (kOrvBadSize - 1 - d) / 10)
                return kOrvBadSize;
            n = n * 10 + d;
            continue;
        }
        if (*p == 'K' || *p == 'k')
            nMul = 1024;
        else if (*p == 'M' || *p == 'm')
            nMul = 1048576;
        if (nMul == 0 || p[1] != 0 || n > (kOrvBadSize - 1) / nMul)
            return kOrvBadSize;
        return n * nMul;
    }
    return n;
}

bool OrvParseSizeRange(const char* psz, int64_t& nFirst, int64_t& nSecond, COrvStringA& strError) {
    const COrvStringA str(psz ? psz : "");
    const int iComma = str.Find(',');
    if (iComma < 0) {
        strError = "no comma in size range: " + str;
        return false;
    }
    if (str.Find(',', iComma + 1) >= 0) {
        strError = "more than one comma in size range: " + str;
        return false;
    }
    const COrvStringA strFirst = str.Left(iComma);
    const COrvStringA strSecond = str.Mid(iComma + 1);
    const int64_t n1 = OrvParseSize(strFirst);
    if (n1 == kOrvBadSize) {
        strError = "first size bad in range: " + strFirst;
        return false;
    }
    const int64_t n2 = OrvParseSize(strSecond);
    if (n2 == kOrvBadSize) {
        strError = "second size bad in range: " + strSecond;
        return false;
    }
    nFirst = n1;
    nSecond = n2;
    return true;
}

int OrvSplit(const COrvStringW& str, int iStart, OrvWChar chSep, bool bTrim,
             COrvArray<COrvStringW>& arr) {
    const int nLen = str.GetLength();
    int nAdded = 0;
    if (iStart < 0 || iStart > nLen)
        return 0;
    int i = iStart;
    while (i <= nLen) {
        int iSep = i < nLen ? str.Find(chSep, i) : -1;
        if (iSep < 0)
            iSep = nLen;
        COrvStringW strPiece = str.Mid(i, iSep - i);
        if (bTrim)
            strPiece.Trim();
        if (arr.Add(strPiece) == COrvArray<COrvStringW>::kNoIndex)
            break;
        ++nAdded;
        i = iSep + 1;
    }
    return nAdded;
}

COrvStringA OrvFormatCount(uint32_t nCount) {
    COrvStringA str;
    if (nCount < 10000)
        str.Format("%u", nCount);
    else if (nCount < 10000000)
        str.Format("%uK", nCount / 1000);
    else
        str.Format("%uM", nCount / 1000000);
    return str;
}

#define ORV_DECIMAL_PAIR(NameA, NameW, Type, Fmt) \
    COrvStringA NameA(Type n) {                   \
        COrvStringA str;                          \
        str.Format(Fmt, n);                       \
        return str;                               \
    }                                             \
    COrvStringW NameW(Type n) {                   \
        COrvStringW str;                          \
        str.Format(u##Fmt, n);                    \
        return str;                               \
    }
ORV_DECIMAL_PAIR(OrvFormatUInt32A, OrvFormatUInt32W, uint32_t, "%u")
ORV_DECIMAL_PAIR(OrvFormatInt64A, OrvFormatInt64W, int64_t, "%lld")
ORV_DECIMAL_PAIR(OrvFormatUInt64A, OrvFormatUInt64W, uint64_t, "%llu")
ORV_DECIMAL_PAIR(OrvFormatDouble2A, OrvFormatDouble2W, double, "%.2f")
#undef ORV_DECIMAL_PAIR

namespace {
template <typename T>
COrvStringT<T> GroupDigits(const COrvStringT<T>& str, const COrvStringT<T>& strSep) {
    const int nLen = str.GetLength();
    int iEnd = str.Find(static_cast<T>('.'));
    if (iEnd <= 0)
        iEnd = nLen;
    const int iFirst = (nLen > 0 && str[0] == '-') ? 1 : 0;
    // Separators go before the positions end - 3, end - 6, ... above iFirst; the first of them
    // is the one closest to the start.
    if (iEnd - 3 <= iFirst)
        return str;
    const int nSeps = (iEnd - 3 - iFirst - 1) / 3 + 1;
    const int nSep = strSep.GetLength();
    COrvStringT<T> strOut;
    if (!strOut.Preallocate(nLen + nSeps * nSep))
        return str;
    const T* p = str;
    int iNext = iEnd - 3 * nSeps;  // position of the first separator
    int i = 0;
    for (; i < iEnd; ++i) {
        if (i == iNext) {
            strOut.Append(strSep);
            iNext += 3;
        }
        strOut.AppendChar(p[i]);
    }
    strOut.Append(p + i, nLen - i);
    return strOut;
}
}  // namespace

COrvStringA OrvGroupDigits(const COrvStringA& str) {
    COrvStringA strSep(",");
    if (!g_ThouSep.IsEmpty())
        OrvUtf16ToUtf8(g_ThouSep, strSep);
    return GroupDigits(str, strSep);
}
COrvStringW OrvGroupDigits(const COrvStringW& str) {
    return GroupDigits(str, g_ThouSep.IsEmpty() ? COrvStringW(u",") : g_ThouSep);
}

COrvStringW OrvFormatDouble(double d, int nMaxDecimals) {
    COrvStringA str;
    str.Format("%#.16g", d);
    if (d != d || d - d != 0) {  // NaN or infinite: no fraction to shape
        COrvStringW w;
        for (int i = 0; i < str.GetLength(); ++i)
            w.AppendChar(static_cast<OrvWChar>(str[i]));
        return w;
    }
    const int iDot = str.Find('.');
    if (iDot < 0) {
        str += ".0";
    } else {
        int iEnd = str.FindOneOf("eE", iDot);
        if (iEnd < 0)
            iEnd = str.GetLength();
        const COrvStringA strOld = str.Mid(iDot + 1, iEnd - iDot - 1);
        COrvStringA strNew = strOld.Left(nMaxDecimals < 0 ? 0 : nMaxDecimals);
        strNew.TrimRight('0');
        if (strNew.IsEmpty())
            strNew = "0";
        if (strNew != strOld)
            str.Replace(iDot + 1, iEnd - iDot - 1, strNew);
    }
    COrvStringW w;
    for (int i = 0; i < str.GetLength(); ++i)
        w.AppendChar(static_cast<OrvWChar>(str[i]));
    return w;
}

namespace {

// One encoder for both string kinds: two digits per byte into a buffer of the final size.
template <class TString, class TChar>
TString HexEncode(const void* pBytes, int nCount, bool bLower) {
    static const char kLower[] = "0123456789abcdef";
    static const char kUpper[] = "0123456789ABCDEF";
    const char* pDigits = bLower ? kLower : kUpper;
    TString str;
    if (nCount <= 0 || pBytes == nullptr || nCount > INT32_MAX / 2)
        return str;
    TChar* p = str.GetBufferSetLength(nCount * 2);
    if (p == nullptr)
        return str;
    const unsigned char* pb = static_cast<const unsigned char*>(pBytes);
    for (int i = 0; i < nCount; ++i) {
        p[2 * i] = static_cast<TChar>(pDigits[pb[i] >> 4]);
        p[2 * i + 1] = static_cast<TChar>(pDigits[pb[i] & 15]);
    }
    str.ReleaseBuffer(nCount * 2);
    return str;
}

}  // namespace

COrvStringW OrvHexEncode(const void* pBytes, int nCount, bool bLower) {
    return HexEncode<COrvStringW, OrvWChar>(pBytes, nCount, bLower);
}

COrvStringA OrvHexEncodeA(const void* pBytes, int nCount, bool bLower) {
    return HexEncode<COrvStringA, char>(pBytes, nCount, bLower);
}

COrvStringA OrvHexDump(const void* pBytes, int nCount) {
    constexpr int kLimit = 131072;
    static const char kHex[] = "0123456789ABCDEF";
    COrvStringA str;
    str.Format("@%d:", nCount);
    const unsigned char* pb = static_cast<const unsigned char*>(pBytes);
    const int nDump = pb == nullptr || nCount < 0 ? 0 : (nCount < kLimit ? nCount : kLimit);
    // Sized up front: at most five characters a byte and the "...".
    const int nStart = str.GetLength();
    char* p = str.GetBufferSetLength(nStart + 5 * nDump + 3);
    if (p == nullptr)
        return str;
    char* q = p + nStart;
    for (int i = 0; i < nDump; ++i) {
        const unsigned char c = pb[i];
        if (c >= 32 && c <= 127) {
            *q++ = static_cast<char>(c);
            *q++ = '(';
            *q++ = kHex[c >> 4];
            *q++ = kHex[c & 15];
            *q++ = ')';
        } else {
            *q++ = '[';
            *q++ = kHex[c >> 4];
            *q++ = kHex[c & 15];
            *q++ = ']';
        }
    }
    if (nDump < nCount && pb != nullptr) {
        memcpy(q, "...", 3);
        q += 3;
    }
    str.ReleaseBuffer(static_cast<int>(q - p));
    return str;
}

COrvStringA OrvEscapeC(const char* psz) {
    COrvStringA str;
    bool bAfterHex = false;
    for (const char* p = psz ? psz : ""; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool bHexDigit =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (c == '\n') {
            str += "\\n";
            bAfterHex = false;
        } else if (c == '\t') {
            str += "\\t";
            bAfterHex = false;
        } else if (c >= 32 && c <= 126 && !(bAfterHex && bHexDigit)) {
            str.AppendChar(static_cast<char>(c));
            bAfterHex = false;
        } else {
            str.AppendFormat("\\x%02X", c);
            bAfterHex = true;
        }
    }
    return str;
}

COrvStringA OrvHResultName(int32_t nCode) {
    static const struct {
        uint32_t nCode;
        const char* pszName;
    } kNames[] = {
        {0x00000000u, "S_OK"},
        {0x00000001u, "S_FALSE"},
        {0x80004001u, "E_NOTIMPL"},
        {0x80004005u, "E_FAIL"},
        {0x80020003u, "DISP_E_MEMBERNOTFOUND"},
        {0x80020009u, "DISP_E_EXCEPTION"},
        {0x80070005u, "E_ACCESSDENIED"},
        {0x8007000Eu, "E_OUTOFMEMORY"},
        {0x80070057u, "E_INVALIDARG"},
    };
    for (const auto& e : kNames)
        if (e.nCode == static_cast<uint32_t>(nCode))
            return COrvStringA(e.pszName);
    return OrvErrorText(nCode);
}

COrvStringA OrvErrorText(int nCode) {
    return OrvErrnoText(nCode);
}

bool OrvCheckBadChars(const char* psz, COrvStringA& strError) {
    const COrvStringA str(psz ? psz : "");
    const int n = str.GetLength();
    if (n >= 14 && str[0] == 'S' && str[n - 14] == '-' && str[n - 7] == '_')
        return true;
    for (int i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(str[i]);
        if (c < 32 && c != 1 && c != 10 && c != 13 && c != 25) {
            strError.Format("String contains bad char 0x%02X", c);
            return false;
        }
    }
    return true;
}

bool OrvCheckPrintable(const char* psz, COrvStringA& strError) {
    for (const char* p = psz ? psz : ""; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 32) {
            strError.Format("String contains unprintable character 0x%02X", c);
            return false;
        }
    }
    return true;
}

namespace {

bool IsSpaceByte(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

// Appends the UTF-8 form of code point c (U+FFFD for a surrogate, 0 or a value above U+10FFFF).
void AppendUtf8(COrvStringA& out, char32_t c) {
    if (c == 0 || c > 0x10FFFF || OrvIsSurrogate(c))
        c = 0xFFFD;
    char buf[4];
    out.Append(buf, OrvUtf8EncodeOne(c, buf));
}

// True when the lower-cased text at p starts with the tag name pszName ("<script") followed by
// the end of the name (">", "/", white space or the end of the text).
bool StartsTag(const char* p, const char* pszName) {
    const size_t n = strlen(pszName);
    if (strncmp(p, pszName, n) != 0)
        return false;
    return p[n] == 0 || p[n] == '>' || p[n] == '/' || IsSpaceByte(p[n]);
}

// Decodes the character reference at str[i] ("&"): the named references amp, lt, gt, quot, apos
// and nbsp (a plain space) and the numeric forms "&#N;" and "&#xH;". Returns the index after the
// ";" and appends the character, or -1 when there is no reference (nothing appended).
int DecodeEntity(const COrvStringA& str, int i, COrvStringA& out) {
    const char* p = str.GetString() + i + 1;
    if (*p == '#') {
        const bool bHex = p[1] == 'x' || p[1] == 'X';
        const char* q = p + (bHex ? 2 : 1);
        char32_t c = 0;
        int nDigits = 0;
        for (;; ++q) {
            int d = -1;
            if (*q >= '0' && *q <= '9')
                d = *q - '0';
            else if (bHex && *q >= 'a' && *q <= 'f')
                d = *q - 'a' + 10;
            else if (bHex && *q >= 'A' && *q <= 'F')
                d = *q - 'A' + 10;
            if (d < 0)
                break;
            if (c <= 0x10FFFF)  // further digits cannot bring it back into range
                c = c * (bHex ? 16 : 10) + static_cast<char32_t>(d);
            ++nDigits;
        }
        if (nDigits == 0 || *q != ';')
            return -1;
        AppendUtf8(out, c);
        return static_cast<int>(q + 1 - str.GetString());
    }
    static const struct {
        const char* pszName;
        char ch;
    } kNamed[] = {{"amp;", '&'},  {"lt;", '<'},    {"gt;", '>'},
                  {"quot;", '"'}, {"apos;", '\''}, {"nbsp;", ' '}};
    for (const auto& e : kNamed) {
        const size_t n = strlen(e.pszName);
        if (strncmp(p, e.pszName, n) == 0) {
            out.AppendChar(e.ch);
            return i + 1 + static_cast<int>(n);
        }
    }
    return -1;
}

}  // namespace

bool OrvHtmlToText(const char* psz, COrvStringA& strOut, bool bLineBreaks) {
    const COrvStringA str(psz ? psz : "");
    COrvStringA strLower = str;
    strLower.MakeLower();
    const char* pLower = strLower.GetString();
    bool bHtml = false;
    for (int k = strLower.Find("<html"); k >= 0 && !bHtml; k = strLower.Find("<html", k + 1))
        bHtml = StartsTag(pLower + k, "<html") && pLower[k + 5] != '/' && pLower[k + 5] != 0;
    if (!bHtml) {
        strOut = str;
        return false;
    }
    COrvStringA out;
    out.Preallocate(str.GetLength());
    const int n = str.GetLength();
    int i = 0;
    while (i < n) {
        const char c = str[i];
        if (c == '&') {
            const int iNext = DecodeEntity(str, i, out);
            if (iNext > 0) {
                i = iNext;
                continue;
            }
        }
        if (c != '<') {
            out.AppendChar(c);
            ++i;
            continue;
        }
        const char* p = pLower + i;
        const char* pszEnd = nullptr;
        if (StartsTag(p, "<script"))
            pszEnd = "</script>";
        else if (StartsTag(p, "<style"))
            pszEnd = "</style>";
        else if (strncmp(p, "<!--", 4) == 0)
            pszEnd = "-->";
        if (pszEnd) {
            const int iEnd = strLower.Find(pszEnd, i);
            i = iEnd < 0 ? n : iEnd + static_cast<int>(strlen(pszEnd));
            continue;
        }
        const int iClose = str.Find('>', i);
        const int iNext = iClose < 0 ? n : iClose + 1;
        if (bLineBreaks) {
            if (StartsTag(p, "<br") || StartsTag(p, "</p") || StartsTag(p, "</div") ||
                StartsTag(p, "</tr") || StartsTag(p, "</li") ||
                (p[1] == '/' && p[2] == 'h' && p[3] >= '1' && p[3] <= '6' && p[4] == '>'))
                out.AppendChar('\n');
        }
        i = iNext;
    }
    strOut = out;
    return true;
}

namespace {

// The "Q" form: "_" is a space, "=" and two hex digits a byte, anything else itself. False for a
// "=" without two hex digits.
bool DecodeQ(const char* p, int n, COrvStringA& out) {
    for (int i = 0; i < n; ++i) {
        if (p[i] == '_') {
            out.AppendChar(' ');
        } else if (p[i] == '=') {
            if (i + 2 >= n)
                return false;
            const int h = OrvHexDigitValue(p[i + 1]);
            const int l = OrvHexDigitValue(p[i + 2]);
            if (h < 0 || l < 0)
                return false;
            out.AppendChar(static_cast<char>(h * 16 + l));
            i += 2;
        } else {
            out.AppendChar(p[i]);
        }
    }
    return true;
}

// Code points of windows-1252 bytes 0x80..0x9F; the five bytes the code page leaves undefined
// (81, 8D, 8F, 90, 9D) map to the C1 controls of the same value, as Windows converts them.
const char16_t k1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                            0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

enum Charset { enUtf8, enLatin1, enCp1252 };

// Decoded bytes of a charset to UTF-8: invalid UTF-8 becomes U+FFFD, as everywhere in the library;
// NUL bytes are dropped so that they cannot cut the header short.
void BytesToUtf8(const COrvStringA& bytes, Charset cs, COrvStringA& out) {
    const int n = bytes.GetLength();
    if (cs == enUtf8) {
        // A NUL ends the converters' input: convert the runs between NULs.
        int iRun = 0;
        for (int i = 0; i <= n; ++i) {
            if (i < n && bytes[i] != 0)
                continue;
            if (i > iRun) {
                const char* pRun = bytes.GetString() + iRun;
                const int nW = OrvUtf8ToUtf16(pRun, i - iRun, true, nullptr, 0);
                COrvStringW w;
                OrvWChar* pw = w.GetBufferSetLength(nW);
                if (pw == nullptr)
                    return;
                OrvUtf8ToUtf16(pRun, i - iRun, true, pw, nW + 1);
                w.ReleaseBuffer(nW);
                COrvStringA a;
                OrvUtf16ToUtf8(w, a);
                out += a;
            }
            iRun = i + 1;
        }
        return;
    }
    for (int i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == 0)
            continue;
        if (c < 0x80)
            out.AppendChar(static_cast<char>(c));
        else if (cs == enCp1252 && c < 0xA0)
            AppendUtf8(out, k1252[c - 0x80]);
        else
            AppendUtf8(out, c);
    }
}

// Finds encoded words. The encoded text of a word holds no white space (RFC 2047), so its end is
// the first "?=" before the next white space; the last search is remembered, which keeps a header
// with many unfinished words linear.
class CWordScanner {
public:
    explicit CWordScanner(const COrvStringA& str) : m_str(str), m_n(str.GetLength()) {}

    // Decodes the encoded word at index i ("=?"); on success appends it to out and returns the
    // index after its "?=", else -1 (nothing appended).
    int Decode(int i, COrvStringA& out) {
        const char* p = m_str.GetString();
        // Charset: up to the next "?", at most 64 characters, no white space; an RFC 2231
        // language ("*en") is dropped.
        int iQ1 = i + 2;
        while (iQ1 < m_n && p[iQ1] != '?' && !IsSpaceByte(p[iQ1]) && iQ1 - i <= 66)
            ++iQ1;
        if (iQ1 >= m_n || p[iQ1] != '?' || iQ1 + 2 >= m_n || p[iQ1 + 2] != '?')
            return -1;
        COrvStringA strCharset = m_str.Mid(i + 2, iQ1 - i - 2);
        const int iStar = strCharset.Find('*');
        if (iStar >= 0)
            strCharset.Truncate(iStar);
        strCharset.MakeLower();
        Charset cs;
        if (strCharset == "utf-8")
            cs = enUtf8;
        else if (strCharset == "iso-8859-1")
            cs = enLatin1;
        else if (strCharset == "windows-1252")
            cs = enCp1252;
        else
            return -1;
        const char cEnc = p[iQ1 + 1];
        const int iText = iQ1 + 3;
        const int iEnd = FindEnd(iText);
        if (iEnd < 0)
            return -1;
        COrvStringA bytes;
        bool bOk = false;
        if (cEnc == 'q' || cEnc == 'Q')
            bOk = DecodeQ(p + iText, iEnd - iText, bytes);
        else if (cEnc == 'b' || cEnc == 'B')
            bOk = OrvBase64Decode(p + iText, iEnd - iText, false, bytes);
        if (!bOk)
            return -1;
        BytesToUtf8(bytes, cs, out);
        return iEnd + 2;
    }

private:
    // Index of the first "?=" at or after iFrom that comes before any white space, or -1.
    int FindEnd(int iFrom) {
        if (!(m_iScanFrom >= 0 && iFrom >= m_iScanFrom && iFrom <= m_iScanStop)) {
            const char* p = m_str.GetString();
            int k = iFrom;
            while (k < m_n && !IsSpaceByte(p[k]) &&
                   !(p[k] == '?' && k + 1 < m_n && p[k + 1] == '='))
                ++k;
            m_iScanFrom = iFrom;
            m_iScanStop = k;
            m_bFound = k < m_n && p[k] == '?';
        }
        return m_bFound ? m_iScanStop : -1;
    }

    const COrvStringA& m_str;
    const int m_n;
    int m_iScanFrom = -1;  // start of the last scan
    int m_iScanStop = -1;  // where it stopped: the "?=", white space or the end
    bool m_bFound = false;
};

}  // namespace

COrvStringA OrvDecodeMimeWords(const char* psz) {
    const COrvStringA str(psz ? psz : "");
    if (str.Find("=?") < 0)
        return str;
    CWordScanner scanner(str);
    COrvStringA out;
    const int n = str.GetLength();
    int i = 0;
    int nOutAfterWord = -1;  // length of out right after the last decoded word, -1 after text
    while (i < n) {
        if (str[i] == '=' && i + 1 < n && str[i + 1] == '?') {
            const int nBefore = out.GetLength();
            const int iNext = scanner.Decode(i, out);
            if (iNext > 0) {
                // White space between two encoded words belongs to neither (RFC 2047, 6.2).
                if (nOutAfterWord >= 0 && nBefore > nOutAfterWord) {
                    const COrvStringA strWord = out.Mid(nBefore);
                    out.Truncate(nOutAfterWord);
                    out += strWord;
                }
                nOutAfterWord = out.GetLength();
                i = iNext;
                continue;
            }
        }
        const char c = str[i];
        if (!IsSpaceByte(c))
            nOutAfterWord = -1;
        out.AppendChar(c);
        ++i;
    }
    return out;
}

COrvStringA OrvToNumericCharRefs(const OrvWChar* psz) {
    COrvStringA out;
    for (const OrvWChar* p = psz ? psz : u""; *p; ++p) {
        unsigned c = *p;
        if (c < 0x80) {
            out.AppendChar(static_cast<char>(c));
            continue;
        }
        if (OrvIsHighSurrogate(c) && OrvIsLowSurrogate(p[1])) {
            c = OrvCombineSurrogates(c, p[1]);
            ++p;
        } else if (OrvIsSurrogate(c)) {
            c = 0xFFFD;  // a lone surrogate names no character
        }
        out.AppendFormat("&#%d;", static_cast<int>(c));
    }
    return out;
}

namespace {

template <typename T>
COrvStringT<T> FormatPhone(const COrvStringT<T>& str) {
    COrvStringT<T> out;
    bool bInGroup = false;
    int nGroupStart = -1;  // length of out before the open group's " ("
    for (int i = 0; i < str.GetLength(); ++i) {
        const T c = str[i];
        if (c >= '0' && c <= '9') {
            out.AppendChar(c);
        } else if (c == '+' && out.IsEmpty()) {
            out.AppendChar(c);
        } else if (c == '(' && !bInGroup) {
            bInGroup = true;
            nGroupStart = out.GetLength();
            out.Append(COrvStringT<T>(static_cast<T>(' '), 1));
            out.AppendChar(static_cast<T>('('));
        } else if (c == ')' && bInGroup) {
            bInGroup = false;
            if (out.GetLength() == nGroupStart + 2) {  // no digits: drop the group
                out.Truncate(nGroupStart);
            } else {
                out.AppendChar(static_cast<T>(')'));
                out.AppendChar(static_cast<T>(' '));
            }
        }
    }
    if (bInGroup) {  // unclosed: close it, or drop it when it holds no digits
        if (out.GetLength() == nGroupStart + 2)
            out.Truncate(nGroupStart);
        else
            out.AppendChar(static_cast<T>(')'));
    }
    // A group at either end leaves a space there; two groups in a row leave two.
    const T space[3] = {' ', ' ', 0};
    while (out.Replace(space, space + 1) > 0) {
    }
    out.Trim();
    return out;
}

}  // namespace

COrvStringA OrvFormatPhoneNumber(const COrvStringA& str) {
    return FormatPhone(str);
}
COrvStringW OrvFormatPhoneNumber(const COrvStringW& str) {
    return FormatPhone(str);
}

namespace {

// Null arguments are reported as "pstr1" / "pstr2" and sort first; true when one was null.
bool CheckArgs(const COrvStringW* pstr1, const COrvStringW* pstr2, int& nResult) {
    ASSERT(pstr1);
    ASSERT(pstr2);
    if (pstr1 && pstr2)
        return false;
    nResult = (pstr1 ? 1 : 0) - (pstr2 ? 1 : 0);
    return true;
}

// The library's case mapping (orv-coll.h) taken to lower case: a unit that has an upper-case
// form is lower case already; an upper-case unit maps to the unit whose upper-case form it is.
OrvWChar LowerUnit(OrvWChar ch) {
    const char32_t c = ch;
    if (c < 0x80)
        return (c >= 'A' && c <= 'Z') ? static_cast<OrvWChar>(c + 32) : ch;
    if (OrvUpperCodePoint(c) != c)
        return ch;
    switch (c) {
        case 0x178:
            return 0xFF;
        case 0x386:
            return 0x3AC;
        case 0x38C:
            return 0x3CC;
        case 0x4C0:
            return 0x4CF;
        default:
            break;
    }
    static const char32_t kOffsets[] = {32, 1, 37, 63, 80, 48, 16, 26};
    for (const char32_t d : kOffsets)
        if (c + d <= 0xFFFF && OrvUpperCodePoint(c + d) == c)
            return static_cast<OrvWChar>(c + d);
    return ch;
}

int CompareUnits(const COrvStringW& a, const COrvStringW& b, bool bNoCase) {
    const OrvWChar* p = a;
    const OrvWChar* q = b;
    const int na = a.GetLength();
    const int nb = b.GetLength();
    const int n = na < nb ? na : nb;
    for (int i = 0; i < n; ++i) {
        const OrvWChar c1 = bNoCase ? LowerUnit(p[i]) : p[i];
        const OrvWChar c2 = bNoCase ? LowerUnit(q[i]) : q[i];
        if (c1 != c2)
            return c1 < c2 ? -1 : 1;
    }
    return na < nb ? -1 : (na > nb ? 1 : 0);
}

}  // namespace

int OrvCompareOrdinal(const COrvStringW* pstr1, const COrvStringW* pstr2) {
    int n = 0;
    if (CheckArgs(pstr1, pstr2, n))
        return n;
    return CompareUnits(*pstr1, *pstr2, false);
}
int OrvCompareOrdinalNoCase(const COrvStringW* pstr1, const COrvStringW* pstr2) {
    int n = 0;
    if (CheckArgs(pstr1, pstr2, n))
        return n;
    return CompareUnits(*pstr1, *pstr2, true);
}

// Collation of the C library (orv-string-util-posix.cpp).
int OrvCollate(const COrvStringW& a, const COrvStringW& b, bool bNoCase);
int OrvCompareLocale(const COrvStringW* pstr1, const COrvStringW* pstr2) {
    int n = 0;
    if (CheckArgs(pstr1, pstr2, n))
        return n;
    return OrvCollate(*pstr1, *pstr2, false);
}
int OrvCompareLocaleNoCase(const COrvStringW* pstr1, const COrvStringW* pstr2) {
    int n = 0;
    if (CheckArgs(pstr1, pstr2, n))
        return n;
    return OrvCollate(*pstr1, *pstr2, true);
}

int OrvBase64DigitValue(unsigned c, bool bUrlSafe) {
    if (c - 'A' < 26u)
        return static_cast<int>(c - 'A');
    if (c - 'a' < 26u)
        return static_cast<int>(c - 'a' + 26);
    if (c - '0' < 10u)
        return static_cast<int>(c - '0' + 52);
    if (c == (bUrlSafe ? '-' : '+'))
        return 62;
    if (c == (bUrlSafe ? '_' : '/'))
        return 63;
    return -1;
}

COrvStringA OrvBase64Encode(const void* pData, int nLen, bool bUrlSafe) {
    static const char kStandard[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static const char kUrlSafe[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    const char* kAlphabet = bUrlSafe ? kUrlSafe : kStandard;
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    COrvStringA s;
    if (nLen <= 0 || nLen > (1 << 29))
        return s;
    char* pOut = s.GetBufferSetLength((nLen + 2) / 3 * 4);
    if (pOut == nullptr)
        return s;
    int o = 0;
    int i = 0;
    for (; i + 2 < nLen; i += 3) {
        const unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        pOut[o++] = kAlphabet[v >> 18];
        pOut[o++] = kAlphabet[(v >> 12) & 63];
        pOut[o++] = kAlphabet[(v >> 6) & 63];
        pOut[o++] = kAlphabet[v & 63];
    }
    if (i < nLen) {
        const unsigned v = (p[i] << 16) | (i + 1 < nLen ? p[i + 1] << 8 : 0);
        pOut[o++] = kAlphabet[v >> 18];
        pOut[o++] = kAlphabet[(v >> 12) & 63];
        pOut[o++] = i + 1 < nLen ? kAlphabet[(v >> 6) & 63] : '=';
        pOut[o++] = '=';
    }
    s.ReleaseBuffer(o);
    return s;
}

bool OrvBase64Decode(const char* p, int n, bool bUrlSafe, COrvStringA& out) {
    COrvStringA bytes;
    if (n > 0 && !bytes.Preallocate(n / 4 * 3 + 3))
        return false;
    unsigned nBits = 0;
    int nHave = 0;
    int i = 0;
    for (; i < n && p[i] != '='; ++i) {
        const int v = OrvBase64DigitValue(static_cast<unsigned char>(p[i]), bUrlSafe);
        if (v < 0)
            return false;
        nBits = ((nBits << 6) | static_cast<unsigned>(v)) & 0xFFFFFF;
        nHave += 6;
        if (nHave >= 8) {
            nHave -= 8;
            bytes.AppendChar(static_cast<char>((nBits >> nHave) & 0xFF));
        }
    }
    for (; i < n; ++i)
        if (p[i] != '=')
            return false;
    if (nHave >= 6)  // six bits left over: a lone sextet carries no byte
        return false;
    out = bytes;
    return true;
}

COrvStringA OrvBase32Encode(const void* pData, int nLen, bool bPad) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    COrvStringA s;
    if (nLen <= 0 || nLen > (1 << 28))
        return s;
    char* pOut = s.GetBufferSetLength((nLen + 4) / 5 * 8);
    if (pOut == nullptr)
        return s;
    int o = 0;
    unsigned nBits = 0;
    int nHave = 0;
    for (int i = 0; i < nLen; ++i) {
        nBits = (nBits << 8) | p[i];
        nHave += 8;
        while (nHave >= 5) {
            nHave -= 5;
            pOut[o++] = kAlphabet[(nBits >> nHave) & 31];
        }
    }
    if (nHave > 0)
        pOut[o++] = kAlphabet[(nBits << (5 - nHave)) & 31];
    while (bPad && o % 8 != 0)
        pOut[o++] = '=';
    s.ReleaseBuffer(o);
    return s;
}

bool OrvBase32Decode(const char* p, int n, COrvStringA& out) {
    COrvStringA bytes;
    unsigned nBits = 0;
    int nHave = 0;
    int i = 0;
    for (; i < n && p[i] != '='; ++i) {
        const unsigned c = static_cast<unsigned char>(p[i]) & ~0x20u;  // either case
        const unsigned d = static_cast<unsigned char>(p[i]);
        int v;
        if (c - 'A' < 26u)
            v = static_cast<int>(c - 'A');
        else if (d - '2' < 6u)
            v = static_cast<int>(d - '2' + 26);
        else
            return false;
        nBits = (nBits << 5) | static_cast<unsigned>(v);
        nHave += 5;
        if (nHave >= 8) {
            nHave -= 8;
            if (!bytes.AppendChar(static_cast<char>((nBits >> nHave) & 0xFF)))
                return false;
        }
    }
    for (; i < n; ++i)
        if (p[i] != '=')
            return false;
    // 1, 3 or 6 characters left over cannot come from whole bytes.
    const int nRest = (i % 8);
    if (nRest == 1 || nRest == 3 || nRest == 6)
        return false;
    out = bytes;
    return true;
}
