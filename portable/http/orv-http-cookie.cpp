#include "orv-http-cookie.h"

#include <cstring>

#include "orv-psl.h"
#include "orv-trace.h"

namespace {

bool IsIpLiteral(const COrvStringA& s) {
    if (s.Find(':') >= 0)
        return true;
    for (int i = 0; i < s.GetLength(); ++i) {
        const char c = s[i];
        if (!(c == '.' || (c >= '0' && c <= '9')))
            return false;
    }
    return !s.IsEmpty();
}

}  // namespace

bool OrvHttpDomainMatch(const char* pszHost, const char* pszDomain) {
    COrvStringA sHost(pszHost);
    COrvStringA sDomain(pszDomain);
    sHost.MakeLower();
    sDomain.MakeLower();
    if (sDomain.IsEmpty() || sHost.IsEmpty())
        return false;
    if (sHost == sDomain)
        return true;
    if (IsIpLiteral(sHost))
        return false;
    const int nHost = sHost.GetLength();
    const int nDomain = sDomain.GetLength();
    return nHost > nDomain && sHost[nHost - nDomain - 1] == '.' &&
           std::strcmp(sHost.GetString() + nHost - nDomain, sDomain.GetString()) == 0;
}

bool OrvHttpPathMatch(const char* pszRequestPath, const char* pszCookiePath) {
    const size_t nCookie = strlen(pszCookiePath);
    if (strncmp(pszRequestPath, pszCookiePath, nCookie) != 0)
        return false;
    return pszRequestPath[nCookie] == 0 || (nCookie > 0 && pszCookiePath[nCookie - 1] == '/') ||
           pszRequestPath[nCookie] == '/';
}

COrvStringA OrvHttpDefaultCookiePath(const char* pszRequestPath) {
    COrvStringA sPath(pszRequestPath);
    const int iQuery = sPath.FindOneOf("?#");
    if (iQuery >= 0)
        sPath.Truncate(iQuery);
    const int iSlash = sPath.ReverseFind('/');
    if (sPath.IsEmpty() || sPath[0] != '/' || iSlash <= 0)
        return COrvStringA("/");
    sPath.Truncate(iSlash);
    return sPath;
}

bool OrvHttpCookieMatches(const COrvHttpCookie& cookie, const char* pszHost, bool bHttps,
                          const char* pszPath) {
    if (cookie.m_bSecure && !bHttps)
        return false;
    if (pszPath != nullptr && !cookie.m_sPath.IsEmpty()) {
        // The request's path without its query; "/" when it has no absolute path.
        COrvStringA sRequest(pszPath);
        const int iQuery = sRequest.FindOneOf("?#");
        if (iQuery >= 0)
            sRequest.Truncate(iQuery);
        if (sRequest.IsEmpty() || sRequest[0] != '/')
            sRequest = "/";
        if (!OrvHttpPathMatch(sRequest, cookie.m_sPath))
            return false;
    }
    if (!cookie.m_sDomain.IsEmpty())
        return OrvHttpDomainMatch(pszHost, cookie.m_sDomain);
    return cookie.m_sOriginHost.CompareNoCase(pszHost) == 0 && !cookie.m_sOriginHost.IsEmpty();
}

namespace {

// "max-age": an optional "-" and digits; anything else leaves the attribute unused. A value of
// 0 or less expires the cookie at once.
bool ParseMaxAge(const COrvStringA& sValue, OrvTime tNow, OrvTime& tExpires) {
    const char* p = sValue.GetString();
    const bool bNegative = *p == '-';
    if (bNegative)
        ++p;
    if (*p < '0' || *p > '9')
        return false;
    int64_t n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (n < (int64_t(1) << 40))
            n = n * 10 + (*p - '0');
    }
    if (*p != 0)
        return false;
    tExpires = bNegative || n == 0 ? 1 : tNow + n;
    return true;
}

// "expires": an Internet date; the old form with "-" between day, month and year is read too.
bool ParseExpires(COrvStringA sValue, OrvTime& tExpires) {
    sValue.Replace('-', ' ');
    OrvTime t = 0;
    int nCode = 0;
    COrvStringA sError;
    if (!OrvParseInetTime(sValue, t, nCode, sError))
        return false;
    tExpires = t > 0 ? t : 1;
    return true;
}

}  // namespace

bool OrvHttpParseSetCookie(const char* pszValue, const char* pszHost, COrvHttpCookie& cookie,
                           COrvError& err, const char* pszRequestPath, OrvTime tNow) {
    cookie = COrvHttpCookie();
    if (tNow == 0)
        tNow = OrvTimeNow();
    const COrvStringA sValue(pszValue);
    int iStart = 0;
    const int n = sValue.GetLength();
    bool bMaxAge = false;
    for (bool bFirst = true; iStart <= n; bFirst = false) {
        int iEnd = sValue.Find(';', iStart);
        if (iEnd < 0)
            iEnd = n;
        COrvStringA sPair = sValue.Mid(iStart, iEnd - iStart);
        iStart = iEnd + 1;
        const int iEq = sPair.Find('=');
        COrvStringA sName = iEq >= 0 ? sPair.Left(iEq) : sPair;
        COrvStringA sVal = iEq >= 0 ? sPair.Mid(iEq + 1) : COrvStringA();
        sName.Trim();
        sVal.Trim();
        if (bFirst) {
            if (iEq < 0 || sName.IsEmpty())
                return err.SetFormat(enNetBadRequest, "bad cookie: %s", sValue.GetString());
            cookie.m_sName = sName;
            cookie.m_sValue = sVal;
            continue;
        }
        if (sName.CompareNoCase("path") == 0) {
            cookie.m_sPath = sVal;
        } else if (sName.CompareNoCase("domain") == 0) {
            sVal.TrimLeft('.').TrimRight('.');
            cookie.m_sDomain = sVal.MakeLower();
        } else if (sName.CompareNoCase("secure") == 0) {
            cookie.m_bSecure = true;
        } else if (sName.CompareNoCase("max-age") == 0) {
            // Max-Age wins over Expires wherever either stands.
            bMaxAge = ParseMaxAge(sVal, tNow, cookie.m_tExpires) || bMaxAge;
        } else if (sName.CompareNoCase("expires") == 0 && !bMaxAge) {
            (void)ParseExpires(sVal, cookie.m_tExpires);
        }
        // comment, version, httponly and others are skipped.
    }
    // A path that does not start with "/" is replaced by the directory of the request.
    if (cookie.m_sPath.IsEmpty() || cookie.m_sPath[0] != '/')
        cookie.m_sPath = OrvHttpDefaultCookiePath(pszRequestPath != nullptr ? pszRequestPath : "/");
    COrvStringA sHost(pszHost);
    sHost.MakeLower();
    cookie.m_sOriginHost = sHost;
    if (cookie.m_sDomain.IsEmpty())
        return true;
    // A public suffix ("com", "co.uk") names no site: such a cookie would go to every site under
    // it. The host that is itself that name keeps it as a host-only cookie.
    if (OrvPublicSuffixPos(cookie.m_sDomain) == 0) {
        if (cookie.m_sDomain == sHost) {
            cookie.m_sDomain.Empty();
            return true;
        }
        const COrvStringA sDomain = cookie.m_sDomain;
        cookie = COrvHttpCookie();
        return err.SetFormat(enNetBadRequest, "cookie domain is a public suffix: %s",
                             sDomain.GetString());
    }
    if (!OrvHttpDomainMatch(pszHost, cookie.m_sDomain)) {
        const COrvStringA sDomain = cookie.m_sDomain;
        cookie = COrvHttpCookie();
        return err.SetFormat(enNetBadRequest, "cookie domain does not match host: %s",
                             sDomain.GetString());
    }
    return true;
}

COrvHttpCookieJar::COrvHttpCookieJar() : m_map(17, 0.75f, 0.25f, 2.25f, 10) {}

COrvStringA COrvHttpCookieJar::KeyOf(const COrvHttpCookie& cookie) {
    COrvStringA s = cookie.m_sName;
    s += '\n';
    s += cookie.m_sDomain.IsEmpty() ? cookie.m_sOriginHost : cookie.m_sDomain;
    s += '\n';
    s += cookie.m_sPath;
    return s;
}

bool COrvHttpCookieJar::Set(const COrvHttpCookie& cookie) {
    return m_map.SetAt(KeyOf(cookie), cookie) != nullptr;
}

bool COrvHttpCookieJar::Insert(const COrvHttpCookie& cookie) {
    if (m_map.Lookup(KeyOf(cookie)) != nullptr) {
        const COrvStringA sText = "key already in Key Map: COrvHttpCookie: " + cookie.m_sName;
        OrvAssertFailed(__FILE__, __LINE__, 0, sText, 1);
        return false;
    }
    return Set(cookie);
}

const COrvHttpCookie* COrvHttpCookieJar::Find(const char* pszName) const {
    for (ORVPOSITION pos = m_map.GetStartPosition(); pos != nullptr;) {
        const auto* p = m_map.GetNext(pos);
        if (p->m_value.m_sName == pszName)
            return &p->m_value;
    }
    return nullptr;
}

int COrvHttpCookieJar::AcceptResponse(COrvHttpTxn& txn, const char* pszHost,
                                      IOrvTransferObserver* pObserver) {
    int nStored = 0;
    const OrvTime tNow = OrvTimeNow();
    for (size_t i = 0; i < txn.m_setCookieLines.GetCount(); ++i) {
        COrvHttpCookie cookie;
        COrvError err;
        if (!OrvHttpParseSetCookie(txn.m_setCookieLines[i], pszHost, cookie, err, txn.m_sPath,
                                   tNow)) {
            OrvHttpObserverLog(pObserver, 4, "Cookie refused: %s", err.Text().GetString());
            continue;
        }
        // An expiry in the past deletes the cookie of the same name, domain and path.
        if (cookie.m_tExpires != 0 && cookie.m_tExpires <= tNow) {
            m_map.RemoveKey(KeyOf(cookie));
            continue;
        }
        if (Set(cookie)) {
            txn.m_responseCookies.Add(cookie);
            ++nStored;
        }
    }
    return nStored;
}

COrvStringA COrvHttpCookieJar::BuildHeader(const char* pszHost, bool bHttps, const char* pszPath,
                                           OrvTime tNow) const {
    if (tNow == 0)
        tNow = OrvTimeNow();
    // Longer paths first, then name order: the same header whatever the map's bin layout.
    COrvRBMap<COrvStringA, const COrvHttpCookie*> sorted;
    for (ORVPOSITION pos = m_map.GetStartPosition(); pos != nullptr;) {
        const auto* p = m_map.GetNext(pos);
        const COrvHttpCookie& c = p->m_value;
        if ((c.m_tExpires != 0 && c.m_tExpires <= tNow) ||
            !OrvHttpCookieMatches(c, pszHost, bHttps, pszPath))
            continue;
        COrvStringA sOrder;
        (void)sOrder.Format("%08d\n", 99999999 - c.m_sPath.GetLength());
        sorted.SetAt(sOrder + p->m_key, &c);
    }
    COrvStringA s;
    for (ORVPOSITION pos = sorted.GetHeadPosition(); pos != nullptr;) {
        const auto* p = sorted.GetNext(pos)->m_value;
        if (!s.IsEmpty())
            s += "; ";
        s.AppendFormat("%s=%s", p->m_sName.GetString(), p->m_sValue.GetString());
    }
    return s;
}
