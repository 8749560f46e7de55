// The system's proxy answers, local hosts and the route of a connection.
#include "orv-http-proxy.h"

#include <string.h>

#include "orv-url.h"

bool OrvParseSystemProxyAnswer(const char* pszAnswer, COrvSystemProxy& proxy) {
    proxy = COrvSystemProxy();
    if (pszAnswer == nullptr)
        return false;
    if (strcasecmp(pszAnswer, "direct://") == 0)
        return true;
    struct Kind {
        const char* pszPrefix;
        bool bSocks;
        int nDefaultPort;
    };
    // socks5h only says that the proxy resolves names, which a SOCKS5 proxy always does here.
    static const Kind kKinds[] = {{"http://", false, 8080},
                                  {"socks5://", true, 1080},
                                  {"socks5h://", true, 1080},
                                  {"socks://", true, 1080}};
    for (const Kind& k : kKinds) {
        const size_t n = strlen(k.pszPrefix);
        if (strncasecmp(pszAnswer, k.pszPrefix, n) != 0)
            continue;
        const char* pAuth = pszAnswer + n;
        const char* pEnd = pAuth + strcspn(pAuth, "/");
        // "user[:password]@" before the host; the last "@" ends it.
        const char* pHost = pAuth;
        for (const char* p = pAuth; p < pEnd; ++p) {
            if (*p == '@')
                pHost = p + 1;
        }
        COrvSystemProxy found;
        if (pHost != pAuth) {
            const char* pUserEnd = pHost - 1;
            const char* pColon = static_cast<const char*>(memchr(pAuth, ':', pUserEnd - pAuth));
            const char* pNameEnd = pColon != nullptr ? pColon : pUserEnd;
            found.m_sUserId = OrvUrlUnescapeA(pAuth, static_cast<int>(pNameEnd - pAuth));
            if (pColon != nullptr)
                found.m_sPasswd =
                    OrvUrlUnescapeA(pColon + 1, static_cast<int>(pUserEnd - pColon - 1));
        }
        const char* pHostEnd = pHost;
        if (pHost < pEnd && *pHost == '[') {
            const char* pClose = static_cast<const char*>(memchr(pHost, ']', pEnd - pHost));
            if (pClose == nullptr || pClose == pHost + 1)
                return false;
            pHostEnd = pClose + 1;
        } else {
            while (pHostEnd < pEnd && *pHostEnd != ':')
                ++pHostEnd;
        }
        if (pHostEnd == pHost || (pHostEnd < pEnd && *pHostEnd != ':'))
            return false;
        int nPort = k.nDefaultPort;
        if (pHostEnd < pEnd) {
            nPort = 0;
            if (pHostEnd + 1 == pEnd)
                return false;
            for (const char* p = pHostEnd + 1; p < pEnd; ++p) {
                if (*p < '0' || *p > '9')
                    return false;
                nPort = nPort * 10 + (*p - '0');
                if (nPort > 65535)
                    return false;
            }
            if (nPort == 0)
                return false;
        }
        found.m_bDirect = false;
        found.m_sHost = k.bSocks ? COrvStringA("socks5://") : COrvStringA();
        found.m_sHost.Append(pHost, static_cast<int>(pHostEnd - pHost));
        found.m_nPort = nPort;
        proxy = found;
        return true;
    }
    return false;
}

namespace {

// Reads a decimal number of at most 3 digits at p; -1 when there is none. *ppEnd past it.
int ReadOctet(const char* p, const char** ppEnd) {
    int n = 0;
    int nDigits = 0;
    while (*p >= '0' && *p <= '9' && nDigits < 4) {
        n = n * 10 + (*p - '0');
        ++p;
        ++nDigits;
    }
    *ppEnd = p;
    return nDigits == 0 || nDigits > 3 ? -1 : n;
}

}  // namespace

bool OrvHttpIsLocalHost(const char* pszHost) {
    if (pszHost == nullptr)
        return false;
    if (strcmp(pszHost, "0") == 0 || strcasecmp(pszHost, "localhost") == 0)
        return true;
    static const char* const kPrefixes[] = {"192.168.", "127.", "10.", "0."};
    for (const char* pszPrefix : kPrefixes) {
        if (strncmp(pszHost, pszPrefix, strlen(pszPrefix)) == 0)
            return true;
    }
    if (strncmp(pszHost, "172.", 4) == 0) {
        const char* pEnd = nullptr;
        const int n = ReadOctet(pszHost + 4, &pEnd);
        return n >= 16 && n <= 31 && *pEnd == '.';
    }
    return false;
}

COrvHttpProxyRoute OrvHttpChooseRoute(const char* pszHost, bool bUseProxy,
                                      const COrvStringA& sProxyUserId,
                                      const COrvStringA& sProxyPassword) {
    COrvHttpProxyRoute route;
    if (!bUseProxy || OrvHttpIsLocalHost(pszHost))
        return route;
    const COrvProxySettings eff = OrvGetEffectiveProxy();
    if (!eff.m_bUseProxy_Auto && !eff.m_bUseProxy_Manual)
        return route;
    if (eff.m_sHost.IsEmpty())
        return route;
    route.m_sHost = eff.m_sHost;
    route.m_nPort = eff.m_nPort;
    route.m_sUserId = eff.m_sUserId.IsEmpty() ? sProxyUserId : eff.m_sUserId;
    route.m_sPassword = eff.m_sUserId.IsEmpty() ? sProxyPassword : eff.m_sPasswd;
    return route;
}
