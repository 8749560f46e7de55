// The effective proxy and its automatic test (a transaction through it, so above the engines).
#include "orv-http-conn.h"
#include "orv-http-proxy.h"

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
            err.Pass(sysErr);
            return false;
        }
        eff.m_sHost = sys.m_bDirect ? COrvStringA() : sys.m_sHost;
        eff.m_nPort = sys.m_bDirect ? 0 : sys.m_nPort;
        // Credentials that the system's settings give for their proxy are the ones it wants.
        if (!sys.m_bDirect && !sys.m_sUserId.IsEmpty()) {
            eff.m_sUserId = sys.m_sUserId;
            eff.m_sPasswd = sys.m_sPasswd;
        }
        AppendLine(sLog, Cat("Use Auto Proxy ", eff.LogForm()));
        if (!bTest)
            return true;
        COrvStringA sProxy;
        (void)sProxy.Format("%s:%d", eff.m_sHost.GetString(), eff.m_nPort);
        COrvError testErr;
        if (!DoOrvHttpTestTxn(sUrl, sProxy, eff.m_bTrustCA, sLog, testErr)) {
            testErr.AddContext("OrvSetAndTestEffectiveProxy: TEST AUTO PLAIN err=");
            AppendLine(sLog, testErr.Text());
            err.Pass(testErr);
            return false;
        }
        COrvStringA sHttpsUrl;
        (void)sHttpsUrl.Format("https://%s:%d%s", eff.m_sTestHost.GetString(), eff.m_nTestPortHttps,
                               eff.m_sTestPath.GetString());
        if (!DoOrvHttpTestTxn(sHttpsUrl, sProxy, eff.m_bTrustCA, sLog, testErr)) {
            testErr.AddContext("OrvSetAndTestEffectiveProxy: TEST AUTO HTTPS err=");
            AppendLine(sLog, testErr.Text());
            err.Pass(testErr);
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
