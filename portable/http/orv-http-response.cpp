#include "orv-http-response.h"

#include "orv-http-auth.h"
#include "orv-http-body.h"
#include "orv-http-cookie.h"
#include "orv-http-wire.h"
#include "orv-url.h"

#include <cstring>

namespace {

bool IsRedirect(int nStatus) {
    return nStatus == 301 || nStatus == 302 || nStatus == 303 || nStatus == 305 || nStatus == 307 ||
           nStatus == 308;
}

bool ServerSays(const COrvHttpTxn& txn, int nCode, COrvError& err) {
    return err.SetFormat(nCode, "Server says: %s (status code %d)", txn.m_sReason.GetString(),
                         txn.m_nStatus);
}

// Reads or skips the body and checks and unpacks it. False with err filled.
bool TakeBody(COrvHttpReader& reader, COrvHttpTxn& txn, COrvHttpResponseContext& ctx,
              COrvHttpResponseOutcome& outcome, COrvError& err) {
    const int nStatus = txn.m_nStatus;
    const bool b2xx = nStatus >= 200 && nStatus <= 299;
    // A proxy's 2xx answer to CONNECT ends with its header: the tunnel follows. Interim, 204
    // and 304 responses and answers to HEAD have no body whatever their header announces.
    const bool bNoBody = txn.m_sMethod.CompareNoCase("HEAD") == 0 ||
                         (b2xx && txn.m_sMethod.CompareNoCase("CONNECT") == 0) || nStatus < 200 ||
                         nStatus == 204 || nStatus == 304;
    if (bNoBody) {
        txn.m_bBodyComplete = true;
        return true;
    }
    if (txn.m_n64RecvBodyLen == kOrvHttpLenUnknown) {
        // Without a length the end of the body is the end of the connection.
        txn.m_bReadUntilClose = true;
        outcome.m_bClose = true;
    }
    if (txn.m_nRecvMode == enHttpRecvStream && b2xx)
        return true;
    if (txn.m_n64RecvBodyLen >= kOrvHttpMaxMemoryBody) {
        outcome.m_bClose = true;
        if (b2xx)
            return err.SetFormat(enNetBadRequest,
                                 "Response body is too long for memory, %lld bytes",
                                 static_cast<long long>(txn.m_n64RecvBodyLen));
        OrvHttpObserverLog(ctx.m_pObserver, 3,
                           "Error Response body is too long for memory, %lld bytes",
                           static_cast<long long>(txn.m_n64RecvBodyLen));
        return true;
    }
    if (!OrvHttpRecvBody(reader, txn, err)) {
        outcome.m_bClose = true;
        return false;
    }
    if (!OrvHttpCheckBodyDigests(txn, err))
        return false;
    if (txn.GetResponseHeader("content-encoding").CompareNoCase("gzip") == 0) {
        COrvStringA sPlain;
        COrvError zipErr;
        if (!OrvGunzip(txn.m_sBody.GetString(), txn.m_sBody.GetLength(), sPlain, zipErr))
            return err.Set(enNetBadRequest, "Cannot unzip response body: " + zipErr.Text());
        txn.m_sBody = sPlain;
    }
    return true;
}

bool Redirect(COrvHttpTxn& txn, COrvHttpResponseContext& ctx, COrvHttpResponseOutcome& outcome,
              COrvError& err) {
    // A token sign-in that comes with a redirect is answered by its scheme.
    if (ctx.m_pAuthSchemes != nullptr && ctx.m_pAuthSchemes->Supports(enHttpAuthPassport, false)) {
        COrvArray<COrvHttpChallenge> challenges;
        COrvError parseErr;
        if (OrvHttpParseChallenges(txn.GetResponseHeader("www-authenticate"), challenges,
                                   parseErr)) {
            for (size_t i = 0; i < challenges.GetCount(); ++i) {
                if (OrvHttpAuthSchemeCode(challenges[i].m_sScheme) == enHttpAuthPassport) {
                    int nCode = enNetAuth;
                    COrvStringA sText;
                    ctx.m_pAuthSchemes->Step(enHttpAuthPassport, false, challenges[i], txn,
                                             ctx.m_nServerAuthState, nCode, sText);
                    return err.Set(nCode, sText);
                }
            }
        }
    }
    const COrvStringA sBase =
        OrvHttpRequestUrl(ctx.m_bHttps, ctx.m_sHost, ctx.m_nPort, txn.m_sPath);
    if (!OrvHttpRedirectTarget(txn.GetResponseHeader("location"), sBase, outcome.m_redirect, err))
        return false;
    outcome.m_sRedirectUrl = outcome.m_redirect.m_sUrl;
    return err.Set(enNetRetry, "[Redirecting]");
}

// Bytes that may go into a request target as they are: printable ASCII but the space.
bool KeepsInTarget(unsigned char c) {
    return c > 0x20 && c < 0x7f;
}

}  // namespace

COrvStringA OrvHttpRequestUrl(bool bHttps, const char* pszHost, int nPort, const char* pszPath) {
    COrvStringA s(bHttps ? "https://" : "http://");
    const bool bBrackets = strchr(pszHost, ':') != nullptr && pszHost[0] != '[';
    (void)s.AppendFormat(bBrackets ? "[%s]:%d" : "%s:%d", pszHost, nPort);
    s += *pszPath == 0 ? "/" : pszPath;
    return s;
}

bool OrvHttpRedirectTarget(const COrvStringA& sLocation, const char* pszBaseUrl,
                           COrvHttpRedirectTarget& target, COrvError& err) {
    target = COrvHttpRedirectTarget();
    COrvStringA sRef = sLocation;
    sRef.Trim();
    if (sRef.IsEmpty())
        return err.Set(enNetServer, "Cannot get redirect location");
    // Spaces, controls and the bytes of non-ASCII characters are escaped, as browsers do.
    COrvStringA sEscaped;
    for (int i = 0; i < sRef.GetLength(); ++i) {
        const unsigned char c = static_cast<unsigned char>(sRef[i]);
        if (KeepsInTarget(c))
            sEscaped.AppendChar(static_cast<char>(c));
        else
            (void)sEscaped.AppendFormat("%%%02X", c);
    }
    COrvStringA sUrl;
    COrvError resolveErr;
    if (!OrvUrlResolveReference(pszBaseUrl, sEscaped, sUrl, resolveErr))
        return err.Set(enNetServer, "Cannot parse redirect URL");
    // The fragment stays with the client: it never goes to a server.
    const int iHash = sUrl.Find('#');
    if (iHash >= 0)
        sUrl.Truncate(iHash);
    COrvUrl url;
    if (!url.Crack(sUrl, sUrl.GetLength()) || url.GetHostNameLength() == 0 ||
        (url.GetScheme() != enUrlSchemeHttp && url.GetScheme() != enUrlSchemeHttps))
        return err.Set(enNetServer, "Cannot parse redirect URL");
    target.m_bHttps = url.GetScheme() == enUrlSchemeHttps;
    target.m_sHost.SetString(url.GetHostName(), url.GetHostNameLength());
    target.m_nPort = url.GetPort() > 0 ? url.GetPort() : (target.m_bHttps ? 443 : 80);
    target.m_sPath.SetString(url.GetUrlPath(), url.GetUrlPathLength());
    if (target.m_sPath.IsEmpty())
        target.m_sPath = "/";
    target.m_sPath.Append(url.GetExtraInfo(), url.GetExtraInfoLength());
    target.m_sUrl = sUrl;
    return true;
}

void OrvHttpRedirectMethod(int nStatus, COrvHttpTxn& txn) {
    if (nStatus != 303 || txn.m_sMethod.CompareNoCase("HEAD") == 0 ||
        txn.m_sMethod.CompareNoCase("GET") == 0)
        return;
    txn.m_sMethod = "GET";
    txn.m_nBodyMode = enHttpBodyString;
    txn.m_sRequestBody.Empty();
    txn.m_pBody = nullptr;
    txn.m_n64BodyLen = 0;
    txn.m_requestHeaders.RemoveKey(COrvStringA("Content-Type"));
}

bool OrvHttpTunnelRefused(const COrvHttpTxn& txn, COrvError& err) {
    if (txn.m_nStatus == 503)
        return err.Set(enNetConnection, "Proxy reported Connection error: " + txn.m_sReason);
    if (txn.m_nStatus == 504)
        return err.Set(enNetConnection, "Proxy reported timeout: " + txn.m_sReason);
    return ServerSays(txn, enNetServer, err);
}

bool OrvHttpReceiveResponse(COrvHttpReader& reader, COrvHttpTxn& txn, COrvHttpResponseContext& ctx,
                            COrvHttpResponseOutcome& outcome, COrvError& err) {
    outcome = COrvHttpResponseOutcome();
    for (;;) {
        if (!OrvHttpRecvResponseHeader(reader, txn, err, &outcome.m_bEofAtStart)) {
            outcome.m_bClose = true;
            return false;
        }
        if (txn.m_bConnectionClose)
            outcome.m_bClose = true;
        if (!TakeBody(reader, txn, ctx, outcome, err))
            return false;

        const int nStatus = txn.m_nStatus;
        // Interim responses (100 Continue, 102, 103 Early Hints, ...) precede the real one. A
        // switch of protocols that was never asked for leaves the connection unusable.
        if (nStatus >= 100 && nStatus <= 199 && nStatus != 101)
            continue;
        if (nStatus == 101)
            outcome.m_bClose = true;
        if (nStatus != 401 && nStatus != 403 && ctx.m_nServerAuthState == 4)
            ctx.m_nServerAuthState = 5;
        if (nStatus != 407 && ctx.m_nProxyAuthState == 4)
            ctx.m_nProxyAuthState = 5;
        if (nStatus >= 200 && nStatus <= 299 && ctx.m_nServerAuthState == 7)
            ctx.m_nServerAuthState = 6;
        if (ctx.m_pCookieJar != nullptr)
            ctx.m_pCookieJar->AcceptResponse(txn, ctx.m_sHost, ctx.m_pObserver);

        if (!txn.m_bHandleStatus)
            return true;
        if ((nStatus >= 200 && nStatus <= 299) || nStatus == 304)
            return true;
        // A proxy that refuses a tunnel is neither a server asking for credentials nor a
        // redirect: only its 407 is answered.
        if (ctx.m_bTunnelRequest && nStatus != 407)
            return OrvHttpTunnelRefused(txn, err);
        if (nStatus == 401 || nStatus == 403) {
            if (ctx.m_nServerAuthState == 9 || ctx.m_nServerAuthState == 10)
                return ServerSays(txn, enNetServer, err);
            if (nStatus == 401) {
                COrvStringA sOtp = txn.GetResponseHeader("x-orv-auth-alt-otp");
                if (sOtp.IsEmpty())
                    sOtp = txn.GetResponseHeader("otp-prompt");
                if (!sOtp.IsEmpty())
                    return err.Set(enNetOtpRequired, sOtp);
            }
            COrvHttpAuthStepContext step;
            step.m_sHost = ctx.m_sHost;
            step.m_bCredentialsAllowed = ctx.m_bCredentialsAllowed;
            step.m_pSchemes = ctx.m_pAuthSchemes;
            step.m_pObserver = ctx.m_pObserver;
            return OrvHttpServerAuthStep(txn, step, ctx.m_nServerAuthState, err);
        }
        if (nStatus == 407) {
            COrvHttpAuthStepContext step;
            step.m_sHost = ctx.m_sProxyHost;
            step.m_bTunnelRequest = ctx.m_bTunnelRequest;
            step.m_pSchemes = ctx.m_pAuthSchemes;
            step.m_pObserver = ctx.m_pObserver;
            return OrvHttpProxyAuthStep(txn, step, ctx.m_nProxyAuthState, err);
        }
        if (IsRedirect(nStatus)) {
            if (!txn.m_bFollowRedirects)
                return true;
            return Redirect(txn, ctx, outcome, err);
        }
        if (nStatus == 426 && !ctx.m_bHttps) {
            outcome.m_bSwitchToTls = true;
            outcome.m_bClose = true;
            return err.Set(enNetRetry, "[Forcing SSL]");
        }
        if (ctx.m_bViaProxy && nStatus == 503)
            return err.Set(enNetConnection, "Proxy reported Connection error: " + txn.m_sReason);
        if (ctx.m_bViaProxy && nStatus == 504)
            return err.Set(enNetConnection, "Proxy reported timeout: " + txn.m_sReason);
        if (nStatus == 507)
            return ServerSays(txn, enNetResources, err);
        if (nStatus == 404)
            return err.Set(enNetNotFound, "Not Found by server");
        return ServerSays(txn, enNetServer, err);
    }
}
