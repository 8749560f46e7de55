// Punycode (RFC 3492) and host-name conversion. See orv-punycode.h for the contracts.
#include "orv-punycode.h"

#include <string.h>
#include <strings.h>

#include "orv-coll.h"
#include "orv-utf.h"

namespace {

constexpr uint32_t kBase = 36;
constexpr uint32_t kTMin = 1;
constexpr uint32_t kTMax = 26;
constexpr uint32_t kSkew = 38;
constexpr uint32_t kDamp = 700;
constexpr uint32_t kInitialBias = 72;
constexpr uint32_t kInitialN = 0x80;
constexpr uint32_t kMaxInt = 0xFFFFFFFFu;

constexpr char kEncodeOverflow[] = "Cannot encode to PUNYCODE: overflow";

uint32_t Adapt(uint32_t delta, uint32_t nPoints, bool bFirst) {
    delta = bFirst ? delta / kDamp : delta / 2;
    delta += delta / nPoints;
    uint32_t k = 0;
    while (delta > ((kBase - kTMin) * kTMax) / 2) {
        delta /= kBase - kTMin;
        k += kBase;
    }
    return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

// Value of a Punycode digit (either case), kBase for anything else.
uint32_t DigitValue(unsigned c) {
    if (c - '0' < 10u)
        return c - '0' + 26;
    if (c - 'a' < 26u)
        return c - 'a';
    if (c - 'A' < 26u)
        return c - 'A';
    return kBase;
}

char DigitChar(uint32_t d) {
    return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26));
}

uint32_t Threshold(uint32_t k, uint32_t bias) {
    if (k <= bias)
        return kTMin;
    if (k >= bias + kTMax)
        return kTMax;
    return k - bias;
}

inline int Length(const char* psz, int nLen) {
    if (psz == nullptr)
        return 0;
    return nLen >= 0 ? nLen : static_cast<int>(strlen(psz));
}

bool AppendUtf8(COrvStringA& out, const char32_t* p, int n) {
    const int nNeed = OrvUtf32ToUtf8(p, n, nullptr, 0);
    const int nOld = out.GetLength();
    char* pOut = out.GetBuffer(nOld + nNeed + 1);
    if (pOut == nullptr)
        return false;
    const int nGot = OrvUtf32ToUtf8(p, n, pOut + nOld, nNeed + 1);
    out.ReleaseBuffer(nOld + nGot);
    return true;
}

bool IsAscii(const char* p, int n) {
    for (int i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(p[i]) >= 0x80)
            return false;
    }
    return true;
}

// Encodes code points, appending to out.
bool EncodeCodePoints(const char32_t* pIn, int n, COrvStringA& out, COrvError& err) {
    uint32_t nBasic = 0;
    for (int j = 0; j < n; ++j) {
        if (pIn[j] < 0x80) {
            out.AppendChar(static_cast<char>(pIn[j]));
            ++nBasic;
        }
    }
    if (nBasic > 0)
        out.AppendChar('-');
    uint32_t cp = kInitialN;
    uint32_t delta = 0;
    uint32_t bias = kInitialBias;
    uint32_t h = nBasic;
    while (h < static_cast<uint32_t>(n)) {
        uint32_t m = kMaxInt;
        for (int j = 0; j < n; ++j) {
            if (pIn[j] >= cp && pIn[j] < m)
                m = pIn[j];
        }
        if (m - cp > (kMaxInt - delta) / (h + 1))
            return err.Set(enNetBadRequest, kEncodeOverflow);
        delta += (m - cp) * (h + 1);
        cp = m;
        for (int j = 0; j < n; ++j) {
            if (pIn[j] < cp && ++delta == 0)
                return err.Set(enNetBadRequest, kEncodeOverflow);
            if (pIn[j] == cp) {
                uint32_t q = delta;
                for (uint32_t k = kBase;; k += kBase) {
                    const uint32_t t = Threshold(k, bias);
                    if (q < t)
                        break;
                    out.AppendChar(DigitChar(t + (q - t) % (kBase - t)));
                    q = (q - t) / (kBase - t);
                }
                out.AppendChar(DigitChar(q));
                bias = Adapt(delta, h + 1, h == nBasic);
                delta = 0;
                ++h;
            }
        }
        ++delta;
        ++cp;
    }
    return true;
}

// Decodes Punycode, appending UTF-8 to out.
bool DecodeAppend(const char* pIn, int n, COrvStringA& out, COrvError& err) {
    COrvArray<char32_t> cps;
    int b = 0;
    for (int j = 0; j < n; ++j) {
        if (pIn[j] == '-')
            b = j;
    }
    for (int j = 0; j < b; ++j) {
        const auto c = static_cast<unsigned char>(pIn[j]);
        if (c >= 0x80)
            return err.Set(enNetBadRequest, "Punycode decoding error: bad digit");
        if (cps.Add(c) == cps.kNoIndex)
            return err.Set(enNetNoMemory, "Out of memory");
    }
    uint32_t cp = kInitialN;
    uint32_t i = 0;
    uint32_t bias = kInitialBias;
    for (int in = b > 0 ? b + 1 : 0; in < n;) {
        const uint32_t oldi = i;
        uint32_t w = 1;
        for (uint32_t k = kBase;; k += kBase) {
            if (in >= n)
                return err.Set(enNetBadRequest, "Punycode decoding error: incomplete string");
            const uint32_t digit = DigitValue(static_cast<unsigned char>(pIn[in++]));
            if (digit >= kBase)
                return err.Set(enNetBadRequest, "Punycode decoding error: bad digit");
            if (digit > (kMaxInt - i) / w)
                return err.Set(enNetBadRequest, "Punycode decoding error: integer overflow");
            i += digit * w;
            const uint32_t t = Threshold(k, bias);
            if (digit < t)
                break;
            if (w > kMaxInt / (kBase - t))
                return err.Set(enNetBadRequest, "Punycode decoding error: integer overflow");
            w *= kBase - t;
        }
        const auto nOut = static_cast<uint32_t>(cps.GetCount()) + 1;
        bias = Adapt(i - oldi, nOut, oldi == 0);
        if (i / nOut > kMaxInt - cp)
            return err.Set(enNetBadRequest, "Punycode decoding error: integer overflow");
        cp += i / nOut;
        i %= nOut;
        if (cp < 0x80 || OrvIsSurrogate(cp) || cp > 0x10FFFF)
            return err.Set(enNetBadRequest, "Punycode decoding error: wrong insert position");
        if (!cps.InsertAt(i, static_cast<char32_t>(cp)))
            return err.Set(enNetNoMemory, "Out of memory");
        ++i;
    }
    if (!AppendUtf8(out, cps.GetData(), static_cast<int>(cps.GetCount())))
        return err.Set(enNetNoMemory, "Out of memory");
    return true;
}

// UTF-8 to code points; false for invalid input.
bool ToCodePoints(const char* p, int n, COrvArray<char32_t>& cps) {
    int nStatus = 0;
    int nErrPos = -1;
    const int nNeed = OrvUtf8ToUtf32(p, n, nullptr, 0, &nStatus, &nErrPos);
    if (nStatus != enUtfOk || !cps.SetCount(static_cast<size_t>(nNeed) + 1))
        return false;
    const int nGot = OrvUtf8ToUtf32(p, n, cps.GetData(), nNeed + 1, &nStatus, &nErrPos);
    if (nStatus != enUtfOk)
        return false;
    return cps.SetCount(static_cast<size_t>(nGot));
}

}  // namespace

bool OrvPunycodeEncode(const char* pszIn, int nLen, COrvStringA& strOut, COrvError& err) {
    strOut.Empty();
    const int n = Length(pszIn, nLen);
    COrvArray<char32_t> cps;
    if (n > 0 &&
        (memchr(pszIn, 0, static_cast<size_t>(n)) != nullptr || !ToCodePoints(pszIn, n, cps)))
        return err.Set(enNetBadRequest, "Cannot encode to PUNYCODE: bad UTF-8");
    if (!EncodeCodePoints(cps.GetData(), static_cast<int>(cps.GetCount()), strOut, err)) {
        strOut.Empty();
        return false;
    }
    return true;
}

bool OrvPunycodeDecode(const char* pszIn, int nLen, COrvStringA& strOut, COrvError& err) {
    strOut.Empty();
    if (!DecodeAppend(pszIn, Length(pszIn, nLen), strOut, err)) {
        strOut.Empty();
        return false;
    }
    return true;
}

bool OrvHostToAscii(const char* pszHost, int nLen, COrvStringA& strOut, COrvError& err) {
    strOut.Empty();
    const int n = Length(pszHost, nLen);
    COrvArray<char32_t> cps;
    for (int start = 0; start <= n;) {
        const char* pDot =
            static_cast<const char*>(memchr(pszHost + start, '.', static_cast<size_t>(n - start)));
        const int end = pDot != nullptr ? static_cast<int>(pDot - pszHost) : n;
        const char* pLabel = pszHost + start;
        const int nLabel = end - start;
        if (IsAscii(pLabel, nLabel)) {
            for (int j = 0; j < nLabel; ++j) {
                char c = pLabel[j];
                if (c >= 'A' && c <= 'Z')
                    c = static_cast<char>(c + ('a' - 'A'));
                strOut.AppendChar(c);
            }
        } else {
            if (memchr(pLabel, 0, static_cast<size_t>(nLabel)) != nullptr ||
                !ToCodePoints(pLabel, nLabel, cps)) {
                strOut.Empty();
                return err.Set(enNetBadRequest, "Cannot encode to PUNYCODE: bad UTF-8");
            }
            for (size_t j = 0; j < cps.GetCount(); ++j) {
                if (cps[j] >= 'A' && cps[j] <= 'Z')
                    cps[j] += 'a' - 'A';
            }
            strOut.Append("xn--", 4);
            if (!EncodeCodePoints(cps.GetData(), static_cast<int>(cps.GetCount()), strOut, err)) {
                strOut.Empty();
                return false;
            }
        }
        if (pDot == nullptr)
            break;
        strOut.AppendChar('.');
        start = end + 1;
    }
    return true;
}

bool OrvHostToUnicode(const char* pszHost, int nLen, COrvStringA& strOut, COrvError& err) {
    strOut.Empty();
    const int n = Length(pszHost, nLen);
    for (int start = 0; start <= n;) {
        const char* pDot =
            static_cast<const char*>(memchr(pszHost + start, '.', static_cast<size_t>(n - start)));
        const int end = pDot != nullptr ? static_cast<int>(pDot - pszHost) : n;
        const char* pLabel = pszHost + start;
        const int nLabel = end - start;
        if (nLabel >= 4 && strncasecmp(pLabel, "xn--", 4) == 0) {
            if (!DecodeAppend(pLabel + 4, nLabel - 4, strOut, err)) {
                strOut.Empty();
                return false;
            }
        } else {
            strOut.Append(pLabel, nLabel);
        }
        if (pDot == nullptr)
            break;
        strOut.AppendChar('.');
        start = end + 1;
    }
    return true;
}
