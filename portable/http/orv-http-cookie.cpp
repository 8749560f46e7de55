#include "orv-http-cookie.h"

#include <cstring>

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

bool OrvHttpCookieMatches(const COrvHttpCookie& cookie, const char* pszHost, bool bHttps) {
    if (cookie.m_bSecure && !bHttps)
        return false;
    if (!cookie.m_sDomain.IsEmpty())
        return OrvHttpDomainMatch(pszHost, cookie.m_sDomain);
    return cookie.m_sOriginHost.CompareNoCase(pszHost) == 0 && !cookie.m_sOriginHost.IsEmpty();
}

bool OrvHttpParseSetCookie(const char* pszValue, const char* pszHost, COrvHttpCookie& cookie,
                           COrvError& err) {
    cookie = COrvHttpCookie();
    const COrvStringA sValue(pszValue);
    int iStart = 0;
    const int n = sValue.GetLength();
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
        }
        // comment, max-age, version, httponly, expires and others are skipped.
    }
    COrvStringA sHost(pszHost);
    cookie.m_sOriginHost = sHost.MakeLower();
    if (!cookie.m_sDomain.IsEmpty() && !OrvHttpDomainMatch(pszHost, cookie.m_sDomain)) {
        const COrvStringA sDomain = cookie.m_sDomain;
        cookie = COrvHttpCookie();
        return err.SetFormat(enNetBadRequest, "cookie domain does not match host: %s",
                             sDomain.GetString());
    }
    return true;
}

COrvHttpCookieJar::COrvHttpCookieJar() : m_map(17, 0.75f, 0.25f, 2.25f, 10) {}

bool COrvHttpCookieJar::Set(const COrvHttpCookie& cookie) {
    return m_map.SetAt(cookie.m_sName, cookie) != nullptr;
}

bool COrvHttpCookieJar::Insert(const COrvHttpCookie& cookie) {
    if (m_map.Lookup(cookie.m_sName) != nullptr) {
        const COrvStringA sText = "key already in Key Map: COrvHttpCookie: " + cookie.m_sName;
        OrvAssertFailed(__FILE__, __LINE__, 0, sText, 1);
        return false;
    }
    return Set(cookie);
}

const COrvHttpCookie* COrvHttpCookieJar::Find(const char* pszName) const {
    const auto* p = m_map.Lookup(COrvStringA(pszName));
    return p ? &p->m_value : nullptr;
}

int COrvHttpCookieJar::AcceptResponse(COrvHttpTxn& txn, const char* pszHost,
                                      IOrvTransferObserver* pObserver) {
    int nStored = 0;
    for (size_t i = 0; i < txn.m_setCookieLines.GetCount(); ++i) {
        COrvHttpCookie cookie;
        COrvError err;
        if (!OrvHttpParseSetCookie(txn.m_setCookieLines[i], pszHost, cookie, err)) {
            OrvHttpObserverLog(pObserver, 4, "Cookie refused: %s", err.Text().GetString());
            continue;
        }
        if (Set(cookie)) {
            txn.m_responseCookies.Add(cookie);
            ++nStored;
        }
    }
    return nStored;
}

COrvStringA COrvHttpCookieJar::BuildHeader(const char* pszHost, bool bHttps) const {
    // Name order makes the header the same whatever the map's bin layout.
    COrvRBMap<COrvStringA, const COrvHttpCookie*> sorted;
    for (ORVPOSITION pos = m_map.GetStartPosition(); pos != nullptr;) {
        const auto* p = m_map.GetNext(pos);
        if (OrvHttpCookieMatches(p->m_value, pszHost, bHttps))
            sorted.SetAt(p->m_key, &p->m_value);
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
