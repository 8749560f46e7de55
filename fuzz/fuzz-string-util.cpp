// Fuzz target: the number, IPv4 and size parsers, OrvDecodeMimeWords and OrvHtmlToText, plus the
// other text functions of orv-string-util. Checks the parsers' contract (success leaves the error
// untouched; failure sets code 6 and a message and leaves the value unchanged), agreement of the
// decimal parsers with the C library, and that the decoders produce valid UTF-8 where they must.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz-check.h"
#include "orv-string-util.h"
#include "orv-utf.h"

namespace {

bool ValidUtf8(const COrvStringA& str) {
    int nStatus = -1;
    int nPos = -1;
    OrvUtf8ToUtf16(str, str.GetLength(), true, nullptr, 0, &nStatus, &nPos);
    return nPos == -1;
}

bool StartsWith(const COrvStringA& str, const char* psz) {
    return strncmp(str, psz, strlen(psz)) == 0;
}

template <typename V, typename T>
void Parse(bool (*pfn)(const T*, const char*, V&, int&, COrvStringA&), const T* psz,
           const char* pszOverflow, const char* pszBad, bool* pbOk, V* pnValue) {
    const V nSentinel = static_cast<V>(0x5A5A5A5A);
    V n = nSentinel;
    int nErr = -1;
    COrvStringA strErr("untouched");
    const bool b = pfn(psz, "fuzz", n, nErr, strErr);
    if (b) {
        Check(nErr == -1 && strErr == "untouched");
    } else {
        Check(n == nSentinel && nErr == 6);
        Check((pszOverflow[0] && StartsWith(strErr, pszOverflow)) || StartsWith(strErr, pszBad));
    }
    *pbOk = b;
    *pnValue = n;
}

// Where the C library reads the number whole (up to NUL or space) and in range, so must we.
void Decimal(const char* psz) {
    const bool bDigitsOnly = psz[0] != ' ' && psz[0] != '+' && psz[0] != '\t' && psz[0] != '\n' &&
                             psz[0] != '\v' && psz[0] != '\f' && psz[0] != '\r';
    bool b = false;
    int64_t n64 = 0;
    Parse(OrvParseInt64A, psz, "integer overflow 64-bit: ", "bad Int64(A) number in fuzz: ", &b,
          &n64);
    char* pEnd = nullptr;
    errno = 0;
    const long long ll = strtoll(psz, &pEnd, 10);
    const bool bWhole = pEnd != psz && (*pEnd == 0 || *pEnd == ' ' || *pEnd == '\n');
    const bool bLl = errno != ERANGE && bWhole && bDigitsOnly;
    if (bLl && ll != LLONG_MIN)
        Check(b && n64 == ll);
    if (b && bDigitsOnly && pEnd != psz)  // both stop at the same place
        Check(n64 == ll);

    int32_t n32 = 0;
    Parse(OrvParseInt32A, psz, "integer overflow 32-bit: ", "bad Int32(A) number in fuzz: ", &b,
          &n32);
    if (bLl && ll >= -INT32_MAX && ll <= INT32_MAX)
        Check(b && n32 == ll);
    if (b)
        Check(n32 != INT32_MIN);

    uint64_t u64 = 0;
    Parse(OrvParseUInt64A, psz, "uinteger overflow 64-bit: ", "bad UInt64(A) number in fuzz: ", &b,
          &u64);
    if (psz[0] != '-' && bDigitsOnly) {
        errno = 0;
        const unsigned long long ull = strtoull(psz, &pEnd, 10);
        const bool bUll =
            errno != ERANGE && pEnd != psz && (*pEnd == 0 || *pEnd == ' ' || *pEnd == '\n');
        if (bUll)
            Check(b && u64 == ull);
        uint32_t u32 = 0;
        Parse(OrvParseUInt32A, psz,
              "uinteger overflow 32-bit: ", "bad UInt32(A) number in fuzz: ", &b, &u32);
        if (bUll && ull <= UINT32_MAX)
            Check(b && u32 == ull);
    }
    uint32_t o32 = 0;
    Parse(OrvParseOctalUInt32A, psz, "", "bad OctalUInt32(A) number in fuzz: ", &b, &o32);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536)
        return 0;
    const unsigned nMode = data[0];
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const char* psz = text.c_str();  // stops at the first NUL, as the callers' texts do
    const COrvStringA str(psz);

    Decimal(psz);
    {
        COrvStringW w;
        COrvStringA e;
        if (OrvUtf8ToUtf16(psz, -1, w, e)) {
            bool b = false;
            int32_t n = 0;
            Parse(OrvParseInt32W, static_cast<const OrvWChar*>(w),
                  "integer overflow 32-bit: ", "bad Int32(W) number in fuzz: ", &b, &n);
            int32_t nA = 0;
            int nErr = 0;
            COrvStringA strErr;
            Check(b == OrvParseInt32A(psz, "fuzz", nA, nErr, strErr) && (!b || n == nA));
            COrvArray<COrvStringW> arr;
            const OrvWChar chSep = w.IsEmpty() ? u',' : w[0];
            const int iStart = static_cast<int>(nMode % 4);
            const int nPieces = OrvSplit(w, iStart, chSep, (nMode & 4) != 0, arr);
            Check(nPieces == static_cast<int>(arr.GetCount()));
            Check(iStart > w.GetLength() ? nPieces == 0 : nPieces >= 1);
            const COrvStringW strCopy1 = w, strCopy2 = w;
            Check(OrvCompareOrdinal(&strCopy1, &strCopy2) == 0);
            Check(OrvCompareOrdinalNoCase(&strCopy1, &strCopy2) == 0);
            const COrvStringW strOther(u"\u00c4bc");
            const int n1 = OrvCompareOrdinalNoCase(&w, &strOther);
            const int n2 = OrvCompareOrdinalNoCase(&strOther, &w);
            Check((n1 < 0) == (n2 > 0) && (n1 == 0) == (n2 == 0));
            OrvCompareLocale(&w, &strOther);
            OrvCompareLocaleNoCase(&w, &strOther);
            const COrvStringA refs = OrvToNumericCharRefs(w);
            for (int i = 0; i < refs.GetLength(); ++i)
                Check(static_cast<unsigned char>(refs[i]) < 0x80);
            OrvGroupDigits(w);
            OrvFormatPhoneNumber(w);
        }
    }
    {
        unsigned char ab[4] = {1, 2, 3, 4};
        int nErr = 0;
        COrvStringA strErr;
        if (OrvParseIPv4(psz, ab, nErr, strErr))
            Check(strErr.IsEmpty());
        else
            Check(nErr == 6 && ab[0] == 1 && ab[1] == 2 && ab[2] == 3 && ab[3] == 4 &&
                  StartsWith(strErr, "bad IPv4 address '"));
    }
    {
        const int64_t n = OrvParseSize(psz);
        Check(n >= 0);
        int64_t a = -1;
        int64_t b = -2;
        COrvStringA strErr;
        if (OrvParseSizeRange(psz, a, b, strErr))
            Check(a >= 0 && b >= 0 && a != kOrvBadSize && b != kOrvBadSize);
        else
            Check(a == -1 && b == -2 && !strErr.IsEmpty());
    }
    {
        const COrvStringA decoded = OrvDecodeMimeWords(psz);
        if (str.Find("=?") < 0)
            Check(decoded == str);
        // Decoded words are valid UTF-8: valid input stays valid.
        if (ValidUtf8(str))
            Check(ValidUtf8(decoded));
        COrvStringA out;
        const bool bHtml = OrvHtmlToText(psz, out, (nMode & 8) != 0);
        if (!bHtml)
            Check(out == str);
        else if (ValidUtf8(str))
            Check(ValidUtf8(out));
    }
    {
        const COrvStringA esc = OrvEscapeC(psz);
        for (int i = 0; i < esc.GetLength(); ++i)
            Check(esc[i] >= 32 && esc[i] <= 126);
        COrvStringA strErr;
        (void)OrvCheckBadChars(psz, strErr);  // must not crash; either result is fine
        (void)OrvCheckPrintable(psz, strErr);
        OrvGroupDigits(str);
        OrvFormatPhoneNumber(str);
        const int nHex = static_cast<int>(text.size() < 512 ? text.size() : 512);
        Check(OrvHexEncode(text.data(), nHex, nMode & 1).GetLength() == 2 * nHex);
        OrvHexDump(text.data(), nHex);
    }
    if (text.size() >= 8) {
        double d;
        memcpy(&d, text.data(), sizeof d);
        const COrvStringW w = OrvFormatDouble(d, static_cast<int>(nMode % 20) - 2);
        Check(!w.IsEmpty());
        OrvHResultName(static_cast<int32_t>(nMode * 0x01010101u));
    }
    return 0;
}
