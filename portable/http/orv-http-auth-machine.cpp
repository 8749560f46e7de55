#include "orv-http-auth-machine.h"

#include "orv-http-connection.h"
#include "orv-http-wire.h"
#include "orv-string-util.h"
#include "orv-url.h"

namespace {

void Retry(int& nCode, COrvStringA& sText, const char* pszPrefix) {
    nCode = enNetRetry;
    sText = pszPrefix + sText;
}

// The bytes of the request body that Digest auth-int covers; false for a streamed body.
bool BodyOf(const COrvHttpTxn& txn, const void*& pBody, int64_t& nLen) {
    switch (txn.m_nBodyMode) {
        case enHttpBodyString:
            pBody = txn.m_sRequestBody.GetString();
            nLen = txn.m_sRequestBody.GetLength();
            return true;
        case enHttpBodyBuffer:
            pBody = txn.m_pBody;
            nLen = txn.m_pBody != nullptr && txn.m_n64BodyLen > 0 ? txn.m_n64BodyLen : 0;
            return true;
        default:
            return false;
    }
}

COrvStringA PathOf(const COrvHttpTxn& txn) {
    return txn.m_sPath.IsEmpty() ? COrvStringA("/") : txn.m_sPath;
}

}  // namespace

bool COrvHttpAuthMachine::ServerAuthorization(int nState, const COrvHttpTxn& txn,
                                              const COrvHttpRequestContext& ctx,
                                              COrvStringA& sValue, COrvError& err) {
    switch (nState) {
        case enServerAuthDigest: {
            const void* pBody = nullptr;
            int64_t nLen = 0;
            if (!BodyOf(txn, pBody, nLen) && m_digest.m_eQop == enDigestQopAuthInt)
                return err.Set(enNetAuth, "Digest auth-int cannot cover a streamed body");
            return m_digest.MakeResponse(txn.m_sMethod, PathOf(txn), ctx.m_sUserId, ctx.m_sPassword,
                                         pBody, nLen, sValue, err);
        }
        case enServerAuthNtlmNegotiate:
            sValue = "NTLM " + m_ntlm.MakeNegotiate();
            return true;
        case enServerAuthNtlmAuthenticate: {
            COrvStringA s;
            if (!m_ntlm.MakeAuthenticate(ctx.m_sUserId, ctx.m_sPassword, s, err))
                return false;
            sValue = "NTLM " + s;
            return true;
        }
        case enServerAuthToken:
            if (m_sStoredAuthorization.IsEmpty())
                return err.Set(enNetAuth, "no stored authorization value");
            sValue = m_sStoredAuthorization;
            return true;
        default:
            return err.SetFormat(enNetAuth, "bad auth state %d, report to %s", nState,
                                 kOrvHttpSupportAddress);
    }
}

bool COrvHttpAuthMachine::ProxyAuthorization(int nState, const COrvHttpTxn&,
                                             const COrvHttpRequestContext& ctx, COrvStringA& sValue,
                                             COrvError& err) {
    if (nState == enProxyAuthNtlmNegotiate) {
        sValue = "NTLM " + m_proxyNtlm.MakeNegotiate();
        return true;
    }
    if (nState == enProxyAuthNtlmAuthenticate) {
        COrvStringA s;
        if (!m_proxyNtlm.MakeAuthenticate(ctx.m_sProxyUserId, ctx.m_sProxyPassword, s, err)) {
            err.AddContext("Proxy NTLM: ");
            return false;
        }
        sValue = "NTLM " + s;
        return true;
    }
    return err.SetFormat(enNetAuth, "bad Proxy Auth state %d, report to %s", nState,
                         kOrvHttpSupportAddress);
}

bool COrvHttpAuthMachine::Supports(int nScheme, bool bProxy) const {
    if (bProxy)
        return nScheme == enHttpAuthNtlm;
    return nScheme == enHttpAuthDigest || nScheme == enHttpAuthNtlm ||
           nScheme == enHttpAuthOrvAuth || (nScheme == enHttpAuthPassport && m_pPassport);
}

void COrvHttpAuthMachine::ConnectionClosed() {
    m_ntlm.Reset();
    m_proxyNtlm.Reset();
    if (m_nServerState == enServerAuthNtlmNegotiate ||
        m_nServerState == enServerAuthNtlmAuthenticate ||
        m_nServerState == enServerAuthNtlmAuthorised)
        m_nServerState = enServerAuthNone;
    if (m_nProxyState >= enProxyAuthNtlmNegotiate)
        m_nProxyState = enProxyAuthNone;
}

// Server NTLM: 0 -> 3 "[requesting NTLM1 auth]: "; 3 -> 4 with the challenge "[requesting NTLM2
// auth]: "; 4 -> 3 "Incorrect NTLM Auth UserID or Password: " (enNetAuth); 5 -> 3 "[requesting
// NTLM3 auth]: "; any other state -> 0 "NTLM auth got into bad state %d, report to ...".
void COrvHttpAuthMachine::ServerNtlm(const COrvHttpChallenge& ch, int& nState, int& nCode,
                                     COrvStringA& sText) {
    switch (nState) {
        case enServerAuthNone:
            OrvHttpObserverLog(m_pObserver, 3, "NTLM auth negotiation requested by server %s: %s",
                               m_sHost.GetString(), sText.GetString());
            nState = enServerAuthNtlmNegotiate;
            return Retry(nCode, sText, "[requesting NTLM1 auth]: ");
        case enServerAuthNtlmNegotiate: {
            if (ch.m_sToken.IsEmpty()) {
                // The server lost the handshake (a new connection): start it again.
                return Retry(nCode, sText, "[requesting NTLM1 auth]: ");
            }
            COrvError err;
            if (!m_ntlm.TakeChallenge(ch.m_sToken, err)) {
                nState = enServerAuthNone;
                nCode = enNetAuth;
                sText = err.Text();
                return;
            }
            OrvHttpObserverLog(m_pObserver, 3, "NTLM auth: %s",
                               m_ntlm.Challenge().m_sDescription.GetString());
            nState = enServerAuthNtlmAuthenticate;
            return Retry(nCode, sText, "[requesting NTLM2 auth]: ");
        }
        case enServerAuthNtlmAuthenticate:
            nState = enServerAuthNtlmNegotiate;
            nCode = enNetAuth;
            sText = "Incorrect NTLM Auth UserID or Password: " + sText;
            return;
        case enServerAuthNtlmAuthorised:
            OrvHttpObserverLog(m_pObserver, 3, "NTLM auth requested again");
            nState = enServerAuthNtlmNegotiate;
            return Retry(nCode, sText, "[requesting NTLM3 auth]: ");
        default:
            nCode = enNetAuth;
            sText.Format("NTLM auth got into bad state %d, report to %s", nState,
                         kOrvHttpSupportAddress);
            nState = enServerAuthNone;
            return;
    }
}

// Proxy NTLM: 0 -> 3, 3 -> 4 with the challenge, 4 -> 0 "Incorrect NTLM Proxy Authentication
// Credentials (NTLM-2)", 5 -> 3; others -> 0 with the bad-state text (enNetProxyAuth).
void COrvHttpAuthMachine::ProxyNtlm(const COrvHttpChallenge& ch, int& nState, int& nCode,
                                    COrvStringA& sText) {
    nCode = enNetRetry;
    switch (nState) {
        case enProxyAuthNone:
            OrvHttpObserverLog(m_pObserver, 3, "Proxy NTLM auth negotiation started by %s",
                               m_sProxyHost.GetString());
            nState = enProxyAuthNtlmNegotiate;
            sText = "NTLM Proxy Authentication rejected: go to NTLM-1";
            return;
        case enProxyAuthNtlmNegotiate: {
            if (ch.m_sToken.IsEmpty()) {
                sText = "NTLM Proxy Authentication rejected: go to NTLM-1";
                return;
            }
            COrvError err;
            if (!m_proxyNtlm.TakeChallenge(ch.m_sToken, err)) {
                nState = enProxyAuthNone;
                nCode = enNetProxyAuth;
                sText = err.Text();
                return;
            }
            COrvStringA sDomain;
            const COrvStringA& sName = m_proxyNtlm.Challenge().m_sTargetName;
            for (int i = 0; i + 1 < sName.GetLength(); i += 2)
                sDomain.AppendChar(sName[i + 1] == 0 ? sName[i] : '?');
            OrvHttpObserverLog(m_pObserver, 3, "Proxy NTLM auth domain: %s", sDomain.GetString());
            nState = enProxyAuthNtlmAuthenticate;
            sText = "NTLM Proxy Authentication rejected: go from NTLM-1 to NTLM-2";
            return;
        }
        case enProxyAuthNtlmAuthenticate:
            nState = enProxyAuthNone;
            nCode = enNetProxyAuth;
            sText = "Incorrect NTLM Proxy Authentication Credentials (NTLM-2)";
            return;
        case enProxyAuthNtlmAuthorised:
            OrvHttpObserverLog(m_pObserver, 3, "Proxy NTLM auth requested again");
            nState = enProxyAuthNtlmNegotiate;
            sText = "NTLM Proxy Authentication: go from Authoirzed to NTLM-1";
            return;
        default:
            nCode = enNetProxyAuth;
            sText.Format("NTLM auth got into bad state %d, report to %s", nState,
                         kOrvHttpSupportAddress);
            nState = enProxyAuthNone;
            return;
    }
}

// Server Digest: in state 2 a stale nonce retries with the new one ("[Digest auth stale
// nonce]: ") up to kOrvDigestMaxStale times in a row, then "Digest authentication failed due to
// everlasting nonce expiration"; any other 401 is "Incorrect Digest auth UserID or Password: ".
// Before state 2: "[requesting Digest auth]: ".
void COrvHttpAuthMachine::ServerDigest(const COrvHttpChallenge& ch, int& nState, int& nCode,
                                       COrvStringA& sText) {
    const bool bStale = ch.Param("stale").CompareNoCase("true") == 0;
    if (nState == enServerAuthDigest && !bStale) {
        nState = enServerAuthNone;
        nCode = enNetAuth;
        sText = "Incorrect Digest auth UserID or Password: " + sText;
        return;
    }
    if (nState == enServerAuthDigest && ++m_nStaleRun > kOrvDigestMaxStale) {
        nState = enServerAuthNone;
        nCode = enNetAuth;
        sText = "Digest authentication failed due to everlasting nonce expiration";
        return;
    }
    COrvError err;
    if (!m_digest.TakeChallenge(ch, err)) {
        nState = enServerAuthNone;
        nCode = enNetAuth;
        sText = err.Text() + "; " + sText;
        return;
    }
    if (nState == enServerAuthDigest)
        return Retry(nCode, sText, "[Digest auth stale nonce]: ");
    m_nStaleRun = 0;
    OrvHttpObserverLog(m_pObserver, 3, "Digest authentication requested by server %s: %s",
                       m_sHost.GetString(), sText.GetString());
    nState = enServerAuthDigest;
    Retry(nCode, sText, "[requesting Digest auth]: ");
}

void COrvHttpAuthMachine::Passport(const COrvHttpChallenge& ch, const COrvHttpTxn& txn, int& nState,
                                   int& nCode, COrvStringA& sText) {
    const bool bRedirect = txn.m_nStatus >= 300 && txn.m_nStatus <= 399;
    if (!bRedirect || (nState != enServerAuthNone && nState != enServerAuthToken) ||
        m_pPassport == nullptr) {
        nCode = enNetAuth;
        sText = "Incorrect Windows Live/MS Passport UserID or Password";
        return;
    }
    COrvStringA sToken;
    COrvError err;
    if (!m_pPassport->SignIn(ch, txn, m_sHost, m_sUserId, m_sPassword, sToken, err)) {
        nCode = err.Code();
        sText = "Passport auth error: " + err.Text();
        return;
    }
    m_sStoredAuthorization = sToken;
    nState = nState == enServerAuthNone ? enServerAuthToken : enServerAuthSignIn;
    Retry(nCode, sText, "[requested Passport auth]: ");
}

void COrvHttpAuthMachine::Step(int nScheme, bool bProxy, const COrvHttpChallenge& challenge,
                               const COrvHttpTxn& txn, int& nState, int& nCode,
                               COrvStringA& sText) {
    if (bProxy) {
        if (nScheme == enHttpAuthNtlm)
            return ProxyNtlm(challenge, nState, nCode, sText);
        nState = enProxyAuthNone;
        nCode = enNetProxyAuth;
        sText = "Proxy Auth method not supported: " + challenge.m_sScheme;
        return;
    }
    switch (nScheme) {
        case enHttpAuthNtlm:
            return ServerNtlm(challenge, nState, nCode, sText);
        case enHttpAuthDigest:
            return ServerDigest(challenge, nState, nCode, sText);
        case enHttpAuthPassport:
            return Passport(challenge, txn, nState, nCode, sText);
        case enHttpAuthOrvAuth: {
            COrvStringA sValue, sStep;
            COrvError err;
            if (!m_orvAuth.Step(challenge, m_sUserId, m_sPassword, sValue, sStep, err)) {
                nState = enServerAuthNone;
                nCode = err.Code();
                sText = err.Text();
                return;
            }
            m_sStoredAuthorization = sValue;
            nState = enServerAuthToken;
            nCode = enNetRetry;
            sText = sStep;
            return;
        }
        default:
            nState = enServerAuthNone;
            nCode = enNetAuth;
            sText = "Auth method not supported: " + challenge.m_sScheme + "; " + sText;
    }
}

bool COrvHttpAuthMachine::RequestHeaders(const COrvHttpTxn& txn, COrvStringA& sAuthorization,
                                         COrvStringA& sProxyAuthorization, COrvError& err) {
    COrvHttpRequestContext ctx;
    ctx.m_sHost = m_sHost;
    ctx.m_nServerAuthState = m_nServerState;
    ctx.m_sUserId = m_sUserId;
    ctx.m_sPassword = m_sPassword;
    ctx.m_nProxyAuthState = m_nProxyState;
    ctx.m_sProxyUserId = m_sProxyUserId;
    ctx.m_sProxyPassword = m_sProxyPassword;
    ctx.m_pAuthSchemes = this;
    return OrvHttpServerAuthorization(txn, ctx, sAuthorization, err) &&
           OrvHttpProxyAuthorization(txn, ctx, sProxyAuthorization, err);
}

bool COrvHttpAuthMachine::TakeResponse(const COrvHttpTxn& txn, COrvError& err) {
    const int nStatus = txn.m_nStatus;
    if (nStatus != 401 && nStatus != 403 && m_nServerState == enServerAuthNtlmAuthenticate)
        m_nServerState = enServerAuthNtlmAuthorised;
    if (nStatus != 407 && m_nProxyState == enProxyAuthNtlmAuthenticate)
        m_nProxyState = enProxyAuthNtlmAuthorised;
    if (nStatus >= 200 && nStatus <= 299 && m_nServerState == enServerAuthSignIn)
        m_nServerState = enServerAuthToken;
    COrvHttpAuthStepContext step;
    step.m_pSchemes = this;
    step.m_pObserver = m_pObserver;
    if (nStatus == 401 || nStatus == 403) {
        if (m_nServerState == enServerAuthOff || m_nServerState == enServerAuthOffToo)
            return err.SetFormat(enNetServer, "Server says: %s (status code %d)",
                                 txn.m_sReason.GetString(), nStatus);
        step.m_sHost = m_sHost;
        return OrvHttpServerAuthStep(txn, step, m_nServerState, err);
    }
    if (nStatus == 407) {
        step.m_sHost = m_sProxyHost;
        step.m_bTunnelRequest = m_bTunnelRequest;
        return OrvHttpProxyAuthStep(txn, step, m_nProxyState, err);
    }
    if (nStatus >= 300 && nStatus <= 399 && m_pPassport != nullptr) {
        COrvArray<COrvHttpChallenge> challenges;
        COrvError parseErr;
        if (OrvHttpParseChallenges(txn.GetResponseHeader("www-authenticate"), challenges,
                                   parseErr)) {
            for (size_t i = 0; i < challenges.GetCount(); ++i) {
                if (OrvHttpAuthSchemeCode(challenges[i].m_sScheme) != enHttpAuthPassport)
                    continue;
                int nCode = enNetAuth;
                COrvStringA sText;
                Step(enHttpAuthPassport, false, challenges[i], txn, m_nServerState, nCode, sText);
                return err.Set(nCode, sText);
            }
        }
    }
    return true;
}

// ---- Passport ----

COrvStringA OrvPassportSignInValue(const COrvHttpChallenge& challenge, const char* pszUser,
                                   const char* pszPassword, const char* pszMethod,
                                   const char* pszHost, const char* pszPath) {
    COrvStringA sReturn;
    sReturn.Format("http://%s%s", pszHost, pszPath);
    COrvStringA s;
    s.Format(
        "Passport1.4 sign-in=%s,pwd=%s,OrgVerb=%s,OrgUrl=%s,ct=%s,rver=%s,wp=%s,id=%s,ru=%s,"
        "lc=%s",
        OrvUrlEscapeQueryValueA(pszUser).GetString(),
        OrvUrlEscapeQueryValueA(pszPassword).GetString(), pszMethod,
        OrvUrlEscapeQueryValueA(sReturn).GetString(), challenge.Param("ct").GetString(),
        challenge.Param("rver").GetString(), challenge.Param("wp").GetString(),
        challenge.Param("id").GetString(), OrvUrlEscapeQueryValueA(sReturn).GetString(),
        challenge.Param("lc").GetString());
    return s;
}

bool OrvPassportTakeAnswer(const char* pszAuthenticationInfo, COrvStringA& sAuthorization,
                           COrvError& err) {
    const COrvStringA sValue(pszAuthenticationInfo ? pszAuthenticationInfo : "");
    if (sValue.Find("da-status=success") < 0)
        return err.Set(enNetAuth, "Passport auth bad: " + sValue);
    const int i = sValue.Find("from-PP='");
    const int j = i < 0 ? -1 : sValue.Find('\'', i + 9);
    if (j <= i + 9)
        return err.Set(enNetAuth, "Bad from-PP: " + sValue);
    sAuthorization = "Passport1.4 from-PP=" + sValue.Mid(i + 9, j - i - 9);
    return true;
}

namespace {

// One GET on its own connection to an absolute URL (http or https).
bool NexusGet(const COrvStringA& sUrl, bool bTrustAny, const char* pszAuthorization,
              COrvHttpTxn& txn, COrvError& err) {
    COrvUrl url;
    if (!url.Crack(sUrl, sUrl.GetLength()) || url.GetHostNameLength() == 0 ||
        (url.GetScheme() != enUrlSchemeHttp && url.GetScheme() != enUrlSchemeHttps))
        return err.Set(enNetBadRequest, "Passport auth error: bad nexus address " + sUrl);
    COrvHttpConnection conn;
    conn.m_sHost.SetString(url.GetHostName(), url.GetHostNameLength());
    conn.m_bHttps = url.GetScheme() == enUrlSchemeHttps;
    conn.m_nPort = url.GetPort() > 0 ? url.GetPort() : (conn.m_bHttps ? 443 : 80);
    conn.m_net.m_tls.m_bTrustAny = bTrustAny;
    conn.m_net.m_nConnectTimeout = 30;
    txn.m_sPath.SetString(url.GetUrlPath(), url.GetUrlPathLength());
    txn.m_sPath.Append(url.GetExtraInfo(), url.GetExtraInfoLength());
    txn.m_bHandleStatus = false;
    if (pszAuthorization != nullptr)
        txn.m_requestHeaders.SetAt(COrvStringA("Authorization"), COrvStringA(pszAuthorization));
    return OrvHttpSendReceive(conn, txn, err);
}

}  // namespace

bool COrvPassportNexusSignIn::SignIn(const COrvHttpChallenge& challenge, const COrvHttpTxn& txn,
                                     const char* pszHost, const char* pszUser,
                                     const char* pszPassword, COrvStringA& sAuthorization,
                                     COrvError& err) {
    COrvHttpTxn nexus;
    if (!NexusGet(m_sNexusUrl, m_bTrustAnyCertificate, nullptr, nexus, err))
        return false;
    // "DARealm=...,DALogin=host/path,..."
    const COrvStringA sUrls = nexus.GetResponseHeader("passporturls");
    const int i = sUrls.Find("DALogin=");
    if (i < 0)
        return err.Set(enNetServer, "Passport auth error: no DALogin in PassportURLs");
    int j = sUrls.Find(',', i);
    if (j < 0)
        j = sUrls.GetLength();
    const bool bHttps = m_sNexusUrl.Left(6).CompareNoCase("https:") == 0;
    const COrvStringA sLogin =
        COrvStringA(bHttps ? "https://" : "http://") + sUrls.Mid(i + 8, j - i - 8);
    COrvHttpTxn login;
    const COrvStringA sValue =
        OrvPassportSignInValue(challenge, pszUser, pszPassword, txn.m_sMethod, pszHost,
                               txn.m_sPath.IsEmpty() ? COrvStringA("/") : txn.m_sPath);
    if (!NexusGet(sLogin, m_bTrustAnyCertificate, sValue, login, err))
        return false;
    return OrvPassportTakeAnswer(login.GetResponseHeader("authentication-info"), sAuthorization,
                                 err);
}
