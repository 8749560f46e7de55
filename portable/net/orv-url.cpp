// URL record, escaping and "data:" URLs. See orv-url.h for the contracts.
#include "orv-url.h"

#include "orv-string-util.h"

#include <limits.h>
#include <string.h>
#include <strings.h>

#include "orv-format.h"
#include "orv-utf.h"

namespace {

struct SchemeEntry {
    const char* pszName;
    int nLen;
    int nDefaultPort;
};

// Indexed by OrvUrlScheme.
constexpr SchemeEntry kSchemes[] = {
    {"ftp", 3, 21}, {"gopher", 6, 70}, {"http", 4, 80},  {"https", 5, 443},
    {"file", 4, 0}, {"news", 4, 0},    {"mailto", 6, 0}, {"socks", 5, 1080},
};
constexpr int kSchemeCount = static_cast<int>(sizeof(kSchemes) / sizeof(kSchemes[0]));

inline char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

int FindScheme(const char* p, int n) {
    for (int i = 0; i < kSchemeCount; ++i) {
        if (kSchemes[i].nLen != n)
            continue;
        int j = 0;
        while (j < n && LowerAscii(p[j]) == kSchemes[i].pszName[j])
            ++j;
        if (j == n)
            return i;
    }
    return enUrlSchemeUnknown;
}

inline bool IsAlnum(unsigned c) {
    return (c - '0') < 10u || ((c | 0x20) - 'a') < 26u;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Whether a byte or character below 0x80 is copied by the escape (bQuery: the unreserved set).
inline bool KeepsAscii(unsigned c, bool bQuery) {
    return IsAlnum(c) || (bQuery && (c == '-' || c == '.' || c == '_' || c == '~'));
}

int Length(const char* psz, int nLen) {
    if (psz == nullptr)
        return 0;
    return nLen >= 0 ? nLen : static_cast<int>(strlen(psz));
}

int Length(const char16_t* psz, int nLen) {
    if (psz == nullptr)
        return 0;
    if (nLen >= 0)
        return nLen;
    int n = 0;
    while (psz[n])
        ++n;
    return n;
}

COrvStringA EscapeA(const char* psz, int nLen, bool bQuery) {
    const int n = Length(psz, nLen);
    COrvStringA out;
    char* pOut = n <= INT_MAX / 3 ? out.GetBuffer(n * 3) : nullptr;
    if (pOut == nullptr)
        return COrvStringA();
    int o = 0;
    for (int i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(psz[i]);
        if (KeepsAscii(c, bQuery)) {
            pOut[o++] = static_cast<char>(c);
        } else {
            pOut[o++] = '%';
            pOut[o++] = kHexDigits[c >> 4];
            pOut[o++] = kHexDigits[c & 15];
        }
    }
    out.ReleaseBuffer(o);
    return out;
}

COrvStringW EscapeW(const char16_t* psz, int nLen, bool bQuery) {
    const int n = Length(psz, nLen);
    COrvStringW out;
    // A UTF-16 unit gives at most three UTF-8 bytes (a pair gives four for two units).
    char16_t* pOut = n <= INT_MAX / 9 ? out.GetBuffer(n * 9) : nullptr;
    if (pOut == nullptr)
        return COrvStringW();
    int o = 0;
    for (int i = 0; i < n; ++i) {
        char32_t cp = psz[i];
        if (cp < 0x80 && KeepsAscii(cp, bQuery)) {
            pOut[o++] = static_cast<char16_t>(cp);
            continue;
        }
        if (OrvIsHighSurrogate(cp) && i + 1 < n && OrvIsLowSurrogate(psz[i + 1])) {
            cp = OrvCombineSurrogates(cp, psz[i + 1]);
            ++i;
        } else if (OrvIsSurrogate(cp)) {
            cp = 0xFFFD;
        }
        unsigned char bytes[4];
        const int nBytes = OrvUtf8EncodeOne(cp, reinterpret_cast<char*>(bytes));
        for (int b = 0; b < nBytes; ++b) {
            pOut[o++] = u'%';
            pOut[o++] = static_cast<char16_t>(kHexDigits[bytes[b] >> 4]);
            pOut[o++] = static_cast<char16_t>(kHexDigits[bytes[b] & 15]);
        }
    }
    out.ReleaseBuffer(o);
    return out;
}

// Decodes Base64 text: white space is skipped, "=" ends the data (what follows must be "=" or
// white space), padding is optional. False for any other character or a lone final character.
bool DecodeBase64(const COrvStringA& in, COrvStringA& out) {
    const int n = in.GetLength();
    const auto* p = reinterpret_cast<const unsigned char*>(in.GetString());
    char* pOut = out.GetBuffer(n / 4 * 3 + 3);
    if (pOut == nullptr)
        return false;
    int o = 0;
    unsigned acc = 0;
    int nBits = 0;
    int nChars = 0;
    bool bPad = false;
    for (int i = 0; i < n; ++i) {
        const unsigned char c = p[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            bPad = true;
            continue;
        }
        const int v = OrvBase64DigitValue(c);
        if (v < 0 || bPad) {
            out.Empty();
            return false;
        }
        ++nChars;
        acc = (acc << 6) | static_cast<unsigned>(v);
        nBits += 6;
        if (nBits >= 8) {
            nBits -= 8;
            pOut[o++] = static_cast<char>((acc >> nBits) & 0xFF);
        }
    }
    if (nChars % 4 == 1) {
        out.Empty();
        return false;
    }
    out.ReleaseBuffer(o);
    return true;
}

}  // namespace

const char* OrvUrlSchemeName(int nScheme) {
    return (nScheme >= 0 && nScheme < kSchemeCount) ? kSchemes[nScheme].pszName : nullptr;
}

int OrvUrlSchemeDefaultPort(int nScheme) {
    return (nScheme >= 0 && nScheme < kSchemeCount) ? kSchemes[nScheme].nDefaultPort : 0;
}

void COrvUrl::Reset() {
    m_scheme.Clear();
    m_nScheme = enUrlSchemeUnknown;
    m_host.Clear();
    m_user.Clear();
    m_password.Clear();
    m_nPort = 0;
    m_path.Clear();
    m_extra.Clear();
    m_bNoSlashes = false;
}

bool COrvUrl::Crack(const char* pszUrl, int nLen) {
    COrvError err;
    return Crack(pszUrl, nLen, err);
}

bool COrvUrl::Crack(const char* pszUrl, int nLen, COrvError& err) {
    Reset();
    if (pszUrl == nullptr)
        return err.Set(enNetBadRequest, "Bad URL: no text");
    size_t n;
    if (nLen < 0) {
        // Only the first kMaxUrl + 1 bytes matter: anything longer fails anyway.
        const void* pEnd = memchr(pszUrl, 0, kMaxUrl + 1);
        if (pEnd == nullptr)
            return err.Set(enNetBadRequest, "Bad URL: longer than 2089 characters");
        n = static_cast<size_t>(static_cast<const char*>(pEnd) - pszUrl);
    } else {
        n = static_cast<size_t>(nLen);
        if (n > kMaxUrl)
            return err.Set(enNetBadRequest, "Bad URL: longer than 2089 characters");
        if (memchr(pszUrl, 0, n) != nullptr)
            return err.Set(enNetBadRequest, "Bad URL: holds a NUL character");
    }
    const char* p = pszUrl;
    const char* const pEnd = pszUrl + n;

    const char* pColon = static_cast<const char*>(memchr(p, ':', n));
    if (pColon == nullptr)
        return err.Set(enNetBadRequest, "Bad URL: no scheme");
    const int nSchemeLen = static_cast<int>(pColon - p);
    if (nSchemeLen > kMaxScheme)
        return err.Set(enNetBadRequest, "Bad URL: scheme name too long");
    m_scheme.Set(p, nSchemeLen);
    m_nScheme = FindScheme(p, nSchemeLen);
    const char* q = pColon + 1;
    bool bSlashes = false;
    if (pEnd - q >= 2 && q[0] == '/' && q[1] == '/') {
        if (m_nScheme == enUrlSchemeMailto) {
            Reset();
            return err.Set(enNetBadRequest, "Bad URL: \"//\" after mailto:");
        }
        q += 2;
        bSlashes = true;
    }
    m_bNoSlashes = !bSlashes && m_nScheme == enUrlSchemeUnknown;

    if (m_nScheme == enUrlSchemeFile) {
        if (!m_path.Set(q, static_cast<int>(pEnd - q))) {
            Reset();
            return err.Set(enNetBadRequest, "Bad URL: path too long");
        }
        m_nPort = 0;
        return true;
    }

    // The authority: up to "/", "?" or "#".
    const char* pAuthEnd = q;
    while (pAuthEnd < pEnd && *pAuthEnd != '/' && *pAuthEnd != '?' && *pAuthEnd != '#')
        ++pAuthEnd;
    const char* pAt = static_cast<const char*>(memchr(q, '@', static_cast<size_t>(pAuthEnd - q)));
    const char* pHost = q;
    const char* pszFail = nullptr;
    if (pAt != nullptr) {
        if (memchr(pAt + 1, '@', static_cast<size_t>(pAuthEnd - pAt - 1)) != nullptr) {
            pszFail = "Bad URL: a second \"@\" in the authority";
        } else {
            const char* pSep =
                static_cast<const char*>(memchr(q, ':', static_cast<size_t>(pAt - q)));
            const char* pUserEnd = pSep != nullptr ? pSep : pAt;
            if (!m_user.Set(q, static_cast<int>(pUserEnd - q)))
                pszFail = "Bad URL: user name too long";
            else if (pSep != nullptr && !m_password.Set(pSep + 1, static_cast<int>(pAt - pSep - 1)))
                pszFail = "Bad URL: password too long";
        }
        pHost = pAt + 1;
    }
    const char* pHostEnd = pHost;
    if (pszFail == nullptr && pHost < pAuthEnd && *pHost == '[') {
        const char* pClose =
            static_cast<const char*>(memchr(pHost, ']', static_cast<size_t>(pAuthEnd - pHost)));
        if (pClose == nullptr || (pClose + 1 < pAuthEnd && pClose[1] != ':'))
            pszFail = "Bad URL: bad IPv6 address";
        else
            pHostEnd = pClose + 1;
    } else {
        while (pHostEnd < pAuthEnd && *pHostEnd != ':')
            ++pHostEnd;
    }
    if (pszFail == nullptr && !m_host.Set(pHost, static_cast<int>(pHostEnd - pHost)))
        pszFail = "Bad URL: host name too long";
    bool bPort = false;
    if (pszFail == nullptr && pHostEnd < pAuthEnd) {
        // *pHostEnd is ":"; an empty port counts as none.
        const char* d = pHostEnd + 1;
        if (d < pAuthEnd) {
            int nPort = 0;
            for (; d < pAuthEnd; ++d) {
                const unsigned v = static_cast<unsigned char>(*d) - '0';
                if (v > 9 || (nPort = nPort * 10 + static_cast<int>(v)) > 65535) {
                    pszFail = "Bad URL: bad port number";
                    break;
                }
            }
            // Port 0 reaches no server, and the rebuilt URL would read as the default port.
            if (pszFail == nullptr && nPort == 0)
                pszFail = "Bad URL: bad port number";
            m_nPort = nPort;
            bPort = true;
        }
    }
    if (pszFail == nullptr) {
        const char* pPathEnd = pAuthEnd;
        while (pPathEnd < pEnd && *pPathEnd != '?' && *pPathEnd != '#')
            ++pPathEnd;
        if (!m_path.Set(pAuthEnd, static_cast<int>(pPathEnd - pAuthEnd)))
            pszFail = "Bad URL: path too long";
        else if (!m_extra.Set(pPathEnd, static_cast<int>(pEnd - pPathEnd)))
            pszFail = "Bad URL: extra info too long";
    }
    if (pszFail != nullptr) {
        Reset();
        return err.Set(enNetBadRequest, pszFail);
    }
    if (!bPort)
        m_nPort = OrvUrlSchemeDefaultPort(m_nScheme);
    return true;
}

bool COrvUrl::GetUrl(COrvStringA& strUrl) const {
    strUrl.Empty();
    char* pOut = strUrl.GetBuffer(m_scheme.nLen + 3 + m_user.nLen + 1 + m_password.nLen + 1 +
                                  m_host.nLen + 6 + m_path.nLen + m_extra.nLen);
    if (pOut == nullptr)
        return false;
    char* o = pOut;
    auto put = [&o](const char* p, int n) {
        memcpy(o, p, static_cast<size_t>(n));
        o += n;
    };
    put(m_scheme.sz, m_scheme.nLen);
    *o++ = ':';
    const bool bPortShown =
        m_nPort > 0 && m_nPort <= 65535 && m_nPort != OrvUrlSchemeDefaultPort(m_nScheme);
    // Without an authority a path that starts with "//" would read as one: write the "//".
    const bool bEmptyAuthority =
        m_user.nLen == 0 && m_password.nLen == 0 && m_host.nLen == 0 && !bPortShown;
    const bool bSlashes =
        (m_nScheme != enUrlSchemeMailto && m_nScheme != enUrlSchemeNews && !m_bNoSlashes) ||
        (bEmptyAuthority && m_path.nLen >= 2 && m_path.sz[0] == '/' && m_path.sz[1] == '/');
    if (bSlashes) {
        *o++ = '/';
        *o++ = '/';
    }
    if (m_nScheme != enUrlSchemeFile) {
        if (m_user.nLen > 0 || m_password.nLen > 0) {
            put(m_user.sz, m_user.nLen);
            if (m_password.nLen > 0) {
                *o++ = ':';
                put(m_password.sz, m_password.nLen);
            }
            *o++ = '@';
        }
        put(m_host.sz, m_host.nLen);
        if (bPortShown) {
            char digits[kOrvDecimalChars];
            char* const pEnd = digits + sizeof(digits);
            *o++ = ':';
            for (const char* q = OrvDecimalBackward(pEnd, static_cast<uint64_t>(m_nPort));
                 q < pEnd;)
                *o++ = *q++;
        }
    }
    put(m_path.sz, m_path.nLen);
    put(m_extra.sz, m_extra.nLen);
    strUrl.ReleaseBuffer(static_cast<int>(o - pOut));
    return true;
}

COrvStringA COrvUrl::GetUrl() const {
    COrvStringA s;
    if (!GetUrl(s))
        s.Empty();
    return s;
}

bool COrvUrl::SetScheme(const char* pszName) {
    const int n = Length(pszName, -1);
    if (n == 0 || n > kMaxScheme || strpbrk(pszName, ":/?#@") != nullptr)
        return false;
    const int nOld = m_nScheme;
    m_scheme.Set(pszName, n);
    m_nScheme = FindScheme(pszName, n);
    if (m_nPort == 0 || m_nPort == OrvUrlSchemeDefaultPort(nOld))
        m_nPort = OrvUrlSchemeDefaultPort(m_nScheme);
    m_bNoSlashes = false;
    return true;
}

bool COrvUrl::SetHostName(const char* psz, int nLen) {
    return m_host.Set(psz, Length(psz, nLen));
}
bool COrvUrl::SetUserName(const char* psz, int nLen) {
    return m_user.Set(psz, Length(psz, nLen));
}
bool COrvUrl::SetPassword(const char* psz, int nLen) {
    return m_password.Set(psz, Length(psz, nLen));
}
bool COrvUrl::SetUrlPath(const char* psz, int nLen) {
    return m_path.Set(psz, Length(psz, nLen));
}
bool COrvUrl::SetExtraInfo(const char* psz, int nLen) {
    return m_extra.Set(psz, Length(psz, nLen));
}

COrvStringA OrvUrlEscapeA(const char* psz, int nLen) {
    return EscapeA(psz, nLen, false);
}
COrvStringW OrvUrlEscapeW(const char16_t* psz, int nLen) {
    return EscapeW(psz, nLen, false);
}
COrvStringA OrvUrlEscapeQueryValueA(const char* psz, int nLen) {
    return EscapeA(psz, nLen, true);
}
COrvStringW OrvUrlEscapeQueryValueW(const char16_t* psz, int nLen) {
    return EscapeW(psz, nLen, true);
}

int OrvUrlUnescapeTo(const char* pIn, int nInLen, char* pOut, int nOutCap) {
    const int n = Length(pIn, nInLen);
    if (pOut == nullptr || nOutCap < 0)
        nOutCap = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(pIn);
    int o = 0;
    for (int i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (c == '%' && n - i >= 3) {
            const int hi = OrvHexDigitValue(p[i + 1]);
            const int lo = hi >= 0 ? OrvHexDigitValue(p[i + 2]) : -1;
            if (lo >= 0) {
                c = static_cast<unsigned char>(hi * 16 + lo);
                i += 2;
            }
        }
        if (o < nOutCap)
            pOut[o] = static_cast<char>(c);
        ++o;
    }
    return o;
}

COrvStringA OrvUrlUnescapeA(const char* psz, int nLen) {
    const int n = Length(psz, nLen);
    COrvStringA out;
    char* pOut = out.GetBuffer(n);
    if (pOut == nullptr)
        return COrvStringA();
    out.ReleaseBuffer(OrvUrlUnescapeTo(psz, n, pOut, n));
    return out;
}

COrvStringW OrvUrlUnescapeW(const char16_t* psz, int nLen) {
    const int n = Length(psz, nLen);
    // Escapes are ASCII: convert to UTF-8, unescape the bytes, read them back as UTF-8.
    COrvStringA utf8;
    if (!OrvUtf16ToUtf8(psz != nullptr ? psz : u"", n, utf8))
        return COrvStringW();
    const COrvStringA bytes = OrvUrlUnescapeA(utf8.GetString(), utf8.GetLength());
    // The converter ends its input at a NUL: each run between escaped NULs is converted on its
    // own, and every "%00" stays a U+0000 inside the result (counted in its length).
    const char* const pBytes = bytes.GetString();
    const int nBytes = bytes.GetLength();
    auto convert = [&](char16_t* pOut, int nCap) {
        int nDone = 0;
        for (int i = 0; i <= nBytes;) {
            const void* pNul = memchr(pBytes + i, 0, static_cast<size_t>(nBytes - i));
            const int nRun = pNul != nullptr
                                 ? static_cast<int>(static_cast<const char*>(pNul) - pBytes) - i
                                 : nBytes - i;
            nDone +=
                OrvUtf8ToUtf16(pBytes + i, nRun, true, pOut != nullptr ? pOut + nDone : nullptr,
                               pOut != nullptr ? nCap - nDone : 0);
            if (pNul == nullptr)
                break;
            if (pOut != nullptr)
                pOut[nDone] = 0;
            ++nDone;
            i += nRun + 1;
        }
        return nDone;
    };
    const int nNeed = convert(nullptr, 0);
    COrvStringW out;
    char16_t* pOut = out.GetBuffer(nNeed + 1);
    if (pOut == nullptr)
        return COrvStringW();
    out.ReleaseBuffer(convert(pOut, nNeed + 1));
    return out;
}

bool OrvParseDataUrl(const char* pszUrl, int nLen, COrvStringA& strMediaType,
                     COrvArray<COrvDataUrlParam>& params, COrvStringA& strData, COrvError& err) {
    strMediaType.Empty();
    params.RemoveAll();
    strData.Empty();
    const int n = Length(pszUrl, nLen);
    if (n < 5 || strncasecmp(pszUrl, "data:", 5) != 0)
        return err.Set(enNetBadRequest, "Not a 'data:' URL");
    const char* p = pszUrl + 5;
    const char* const pEnd = pszUrl + n;
    const char* q = p;
    while (q < pEnd && *q != ';' && *q != ',')
        ++q;
    if (q == pEnd)
        return err.Set(enNetBadRequest, "Bad 'data:' URL");
    if (!strMediaType.SetString(p, static_cast<int>(q - p)))
        return err.Set(enNetNoMemory, "Out of memory");
    bool bBase64 = false;
    while (*q == ';') {
        const char* pName = q + 1;
        const char* r = pName;
        while (r < pEnd && *r != ';' && *r != ',')
            ++r;
        if (r == pEnd) {
            strMediaType.Empty();
            params.RemoveAll();
            return err.Set(enNetBadRequest, "Bad 'data:' URL");
        }
        const char* pEq =
            static_cast<const char*>(memchr(pName, '=', static_cast<size_t>(r - pName)));
        if (pEq == nullptr && r - pName == 6 && strncasecmp(pName, "base64", 6) == 0) {
            bBase64 = true;
        } else {
            const size_t i = params.Add();
            if (i == params.kNoIndex) {
                strMediaType.Empty();
                params.RemoveAll();
                return err.Set(enNetNoMemory, "Out of memory");
            }
            const char* pNameEnd = pEq != nullptr ? pEq : r;
            bool bOk = params[i].strName.SetString(pName, static_cast<int>(pNameEnd - pName));
            if (pEq != nullptr)
                bOk = bOk && params[i].strValue.SetString(pEq + 1, static_cast<int>(r - pEq - 1));
            if (!bOk) {
                strMediaType.Empty();
                params.RemoveAll();
                return err.Set(enNetNoMemory, "Out of memory");
            }
        }
        q = r;
    }
    // *q is ",".
    const char* pData = q + 1;
    COrvStringA unescaped = OrvUrlUnescapeA(pData, static_cast<int>(pEnd - pData));
    if (!bBase64) {
        strData = unescaped;
        return true;
    }
    if (!DecodeBase64(unescaped, strData)) {
        strMediaType.Empty();
        params.RemoveAll();
        strData.Empty();
        return err.Set(enNetBadRequest, "Bad Base64 data in 'data:' URL");
    }
    return true;
}

bool OrvParseDataUrl(const char* pszUrl, COrvStringA& strMediaType,
                     COrvArray<COrvDataUrlParam>& params, COrvStringA& strData, int* pnCode,
                     COrvStringA* pstrError) {
    COrvError err;
    const bool bOk = OrvParseDataUrl(pszUrl, -1, strMediaType, params, strData, err);
    err.CopyTo(pnCode, pstrError);
    return bOk;
}

// ---- references ----

namespace {

// The five components of a URI reference; each of scheme, authority, query and fragment may be
// absent, which differs from present and empty ("http://a/?" has an empty query).
struct UriParts {
    const char* pScheme = nullptr;
    int nScheme = 0;
    const char* pAuthority = nullptr;
    int nAuthority = 0;
    const char* pPath = "";
    int nPath = 0;
    const char* pQuery = nullptr;
    int nQuery = 0;
    const char* pFragment = nullptr;
    int nFragment = 0;
};

bool IsSchemeText(const char* p, int n) {
    if (n == 0 || !((p[0] >= 'a' && p[0] <= 'z') || (p[0] >= 'A' && p[0] <= 'Z')))
        return false;
    for (int i = 1; i < n; ++i) {
        const unsigned c = static_cast<unsigned char>(p[i]);
        if (!IsAlnum(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

int SpanUntil(const char* p, int i, int n, const char* pszStops) {
    while (i < n && strchr(pszStops, p[i]) == nullptr)
        ++i;
    return i;
}

// Splits a reference the way the generic syntax's regular expression does; a text before ":"
// that is no valid scheme name makes the reference relative.
void SplitReference(const char* p, int n, UriParts& u) {
    int i = 0;
    const int j = SpanUntil(p, 0, n, ":/?#");
    if (j < n && p[j] == ':' && IsSchemeText(p, j)) {
        u.pScheme = p;
        u.nScheme = j;
        i = j + 1;
    }
    if (n - i >= 2 && p[i] == '/' && p[i + 1] == '/') {
        const int k = SpanUntil(p, i + 2, n, "/?#");
        u.pAuthority = p + i + 2;
        u.nAuthority = k - i - 2;
        i = k;
    }
    int k = SpanUntil(p, i, n, "?#");
    u.pPath = p + i;
    u.nPath = k - i;
    i = k;
    if (i < n && p[i] == '?') {
        k = SpanUntil(p, i + 1, n, "#");
        u.pQuery = p + i + 1;
        u.nQuery = k - i - 1;
        i = k;
    }
    if (i < n && p[i] == '#') {
        u.pFragment = p + i + 1;
        u.nFragment = n - i - 1;
    }
}

// Drops the last segment of the output and the "/" before it.
void DropLastSegment(COrvStringA& out) {
    const int i = out.ReverseFind('/');
    out.Truncate(i > 0 ? i : 0);
}

bool StartsWith(const char* p, const char* pEnd, const char* pszPrefix) {
    const size_t n = strlen(pszPrefix);
    return static_cast<size_t>(pEnd - p) >= n && memcmp(p, pszPrefix, n) == 0;
}

bool IsExactly(const char* p, const char* pEnd, const char* psz) {
    return static_cast<size_t>(pEnd - p) == strlen(psz) && memcmp(p, psz, pEnd - p) == 0;
}

// Removes "." and ".." segments from a path, one step at a time over the input as the generic
// syntax describes it, so that "/a/b/../../../g" stops at the root ("/g").
void RemoveDotSegments(const char* p, int n, COrvStringA& out) {
    const char* pEnd = p + n;
    while (p < pEnd) {
        if (StartsWith(p, pEnd, "../")) {
            p += 3;
        } else if (StartsWith(p, pEnd, "./")) {
            p += 2;
        } else if (StartsWith(p, pEnd, "/./")) {
            p += 2;  // "/./" becomes "/"
        } else if (IsExactly(p, pEnd, "/.")) {
            out += "/";
            p = pEnd;
        } else if (StartsWith(p, pEnd, "/../")) {
            p += 3;
            DropLastSegment(out);
        } else if (IsExactly(p, pEnd, "/..")) {
            DropLastSegment(out);
            out += "/";
            p = pEnd;
        } else if (IsExactly(p, pEnd, ".") || IsExactly(p, pEnd, "..")) {
            p = pEnd;
        } else {
            const char* q = *p == '/' ? p + 1 : p;
            while (q < pEnd && *q != '/')
                ++q;
            out.Append(p, static_cast<int>(q - p));
            p = q;
        }
    }
}

}  // namespace

bool OrvUrlResolveReference(const char* pszBase, const char* pszRef, COrvStringA& strOut,
                            COrvError& err) {
    strOut.Empty();
    UriParts b;
    UriParts r;
    SplitReference(pszBase, static_cast<int>(strlen(pszBase)), b);
    SplitReference(pszRef, static_cast<int>(strlen(pszRef)), r);
    if (b.pScheme == nullptr)
        return err.SetFormat(enNetBadRequest, "Base URL is not absolute: %s", pszBase);

    const UriParts* pAuthorityFrom = &r;
    const UriParts* pQueryFrom = &r;
    COrvStringA sPath;
    if (r.pScheme != nullptr || r.pAuthority != nullptr) {
        RemoveDotSegments(r.pPath, r.nPath, sPath);
    } else {
        pAuthorityFrom = &b;
        if (r.nPath == 0) {
            sPath.SetString(b.pPath, b.nPath);
            if (r.pQuery == nullptr)
                pQueryFrom = &b;
        } else if (r.pPath[0] == '/') {
            RemoveDotSegments(r.pPath, r.nPath, sPath);
        } else {
            // The base's path up to its last "/" ("/" alone under an authority with an empty
            // path), then the reference's path.
            COrvStringA sMerged;
            if (b.pAuthority != nullptr && b.nPath == 0) {
                sMerged = "/";
            } else {
                int nKeep = b.nPath;
                while (nKeep > 0 && b.pPath[nKeep - 1] != '/')
                    --nKeep;
                sMerged.SetString(b.pPath, nKeep);
            }
            sMerged.Append(r.pPath, r.nPath);
            RemoveDotSegments(sMerged.GetString(), sMerged.GetLength(), sPath);
        }
    }
    const UriParts& s = r.pScheme != nullptr ? r : b;
    strOut.Append(s.pScheme, s.nScheme);
    strOut += ":";
    if (pAuthorityFrom->pAuthority != nullptr) {
        strOut += "//";
        strOut.Append(pAuthorityFrom->pAuthority, pAuthorityFrom->nAuthority);
    }
    strOut += sPath;
    if (pQueryFrom->pQuery != nullptr) {
        strOut += "?";
        strOut.Append(pQueryFrom->pQuery, pQueryFrom->nQuery);
    }
    if (r.pFragment != nullptr) {
        strOut += "#";
        strOut.Append(r.pFragment, r.nFragment);
    }
    return true;
}
