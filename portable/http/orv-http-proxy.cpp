// The effective proxy and its automatic test.
#include "orv-http-proxy.h"

#include <string.h>

#include "orv-http-conn.h"

COrvCriticalSection g_eff_proxy_lock("g_eff_proxy_lock");

namespace {

COrvProxySettings g_eff_proxy;
bool g_eff_proxy_determined = false;

COrvStringA Cat(const char* psz, const COrvStringA& s) {
    COrvStringA r(psz);
    r += s;
    return r;
}

void AppendLine(COrvStringA& sLog, const COrvStringA& sLine) {
    sLog += sLine;
    sLog += "\n";
}

}  // namespace

COrvStringA COrvProxySettings::LogForm() const {
    COrvStringA s;
    (void)s.Format(
        "m_bUseProxy_Auto=%d m_bUseProxy_Manual=%d m_sHost=%s m_nPort=%d m_sUserId=%s "
        "m_sPasswd=... TrustCA=%d",
        m_bUseProxy_Auto ? 1 : 0, m_bUseProxy_Manual ? 1 : 0, m_sHost.GetString(), m_nPort,
        m_sUserId.GetString(), m_bTrustCA ? 1 : 0);
    return s;
}

COrvProxySettings OrvGetEffectiveProxy(bool* pbDetermined) {
    TvAutoCriticalSection lock(g_eff_proxy_lock, "OrvGetEffectiveProxy");
    if (pbDetermined)
        *pbDetermined = g_eff_proxy_determined;
    return g_eff_proxy;
}

void OrvResetEffectiveProxy() {
    TvAutoCriticalSection lock(g_eff_proxy_lock, "OrvResetEffectiveProxy");
    g_eff_proxy = COrvProxySettings();
    g_eff_proxy_determined = false;
}

bool OrvSetAndTestEffectiveProxy(const COrvProxySettings& settings, bool bForce, bool bTest,
                                 COrvStringA& sLog, COrvError& err) {
    TvAutoCriticalSection lock(g_eff_proxy_lock, "OrvSetAndTestEffectiveProxy");
    g_eff_proxy = settings;
    if (!bForce && g_eff_proxy_determined)
        return true;
    g_eff_proxy_determined = true;

    COrvProxySettings& eff = g_eff_proxy;
    if (eff.m_bUseProxy_Auto) {
        COrvStringA sUrl;
        (void)sUrl.Format("http://%s:%d%s", eff.m_sTestHost.GetString(), eff.m_nTestPortHttp,
                          eff.m_sTestPath.GetString());
        COrvSystemProxy sys;
        COrvError sysErr;
        if (!OrvGetSystemProxySettings(sUrl, sys, sysErr)) {
            eff.m_sHost = COrvStringA();
            eff.m_nPort = 0;
            sysErr.AddContext("OrvSetAndTestEffectiveProxy: OrvGetSystemProxySettings ERR: ");
            AppendLine(sLog, sysErr.Text());
            err.Set(sysErr.Code(), sysErr.Text());
            return false;
        }
        eff.m_sHost = sys.m_bDirect ? COrvStringA() : sys.m_sHost;
        eff.m_nPort = sys.m_bDirect ? 0 : sys.m_nPort;
        AppendLine(sLog, Cat("Use Auto Proxy ", eff.LogForm()));
        if (!bTest)
            return true;
        COrvStringA sProxy;
        (void)sProxy.Format("%s:%d", eff.m_sHost.GetString(), eff.m_nPort);
        COrvError testErr;
        if (!DoOrvHttpTestTxn(sUrl, sProxy, eff.m_bTrustCA, sLog, testErr)) {
            testErr.AddContext("OrvSetAndTestEffectiveProxy: TEST AUTO PLAIN err=");
            AppendLine(sLog, testErr.Text());
            err.Set(testErr.Code(), testErr.Text());
            return false;
        }
        COrvStringA sHttpsUrl;
        (void)sHttpsUrl.Format("https://%s:%d%s", eff.m_sTestHost.GetString(), eff.m_nTestPortHttps,
                               eff.m_sTestPath.GetString());
        if (!DoOrvHttpTestTxn(sHttpsUrl, sProxy, eff.m_bTrustCA, sLog, testErr)) {
            testErr.AddContext("OrvSetAndTestEffectiveProxy: TEST AUTO HTTPS err=");
            AppendLine(sLog, testErr.Text());
            err.Set(testErr.Code(), testErr.Text());
            return false;
        }
        AppendLine(sLog, COrvStringA("Proxy Connection works for HTTP and HTTPS"));
        return true;
    }
    if (eff.m_bUseProxy_Manual) {
        AppendLine(sLog, Cat("Use Manual Proxy ", eff.LogForm()));
        return true;
    }
    eff.m_sHost = COrvStringA();
    eff.m_nPort = 0;
    AppendLine(sLog, COrvStringA("Use No Proxy"));
    return true;
}

bool OrvSetAndTestEffectiveProxy(const COrvProxySettings& settings, bool bForce, bool bTest,
                                 COrvStringA& sLog, COrvStringA& sError) {
    COrvError err;
    const bool bOk = OrvSetAndTestEffectiveProxy(settings, bForce, bTest, sLog, err);
    sError = err.Text();
    return bOk;
}

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
    static const Kind kKinds[] = {
        {"http://", false, 8080}, {"socks5://", true, 1080}, {"socks://", true, 1080}};
    for (const Kind& k : kKinds) {
        const size_t n = strlen(k.pszPrefix);
        if (strncasecmp(pszAnswer, k.pszPrefix, n) != 0)
            continue;
        const char* pHost = pszAnswer + n;
        const char* pEnd = pHost + strcspn(pHost, "/");
        const char* pColon = nullptr;
        for (const char* p = pHost; p < pEnd; ++p) {
            if (*p == ':')
                pColon = p;
            if (*p == '@' || *p == ']')  // user information and IPv6 literals are not taken
                return false;
        }
        const char* pHostEnd = pColon ? pColon : pEnd;
        if (pHostEnd == pHost)
            return false;
        int nPort = k.nDefaultPort;
        if (pColon) {
            nPort = 0;
            if (pColon + 1 == pEnd)
                return false;
            for (const char* p = pColon + 1; p < pEnd; ++p) {
                if (*p < '0' || *p > '9')
                    return false;
                nPort = nPort * 10 + (*p - '0');
                if (nPort > 65535)
                    return false;
            }
            if (nPort == 0)
                return false;
        }
        proxy.m_bDirect = false;
        proxy.m_sHost = k.bSocks ? COrvStringA("socks5://") : COrvStringA();
        proxy.m_sHost.Append(pHost, static_cast<int>(pHostEnd - pHost));
        proxy.m_nPort = nPort;
        return true;
    }
    return false;
}
