#include "orv-http-response.h"

#include "orv-http-auth.h"
#include "orv-http-body.h"
#include "orv-http-cookie.h"
#include "orv-http-wire.h"

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
    // A proxy's 2xx answer to CONNECT ends with its header: the tunnel follows.
    const bool bNoBody = txn.m_sMethod.CompareNoCase("HEAD") == 0 ||
                         (b2xx && txn.m_sMethod.CompareNoCase("CONNECT") == 0) ||
                         (txn.m_n64RecvBodyLen == kOrvHttpLenUnknown &&
                          (nStatus < 200 || nStatus == 204 || nStatus == 304));
    if (bNoBody) {
        txn.m_bBodyComplete = true;
        return true;
    }
    if (txn.m_n64RecvBodyLen == kOrvHttpLenUnknown)
        outcome.m_bClose = true;  // the end of the body is the end of the connection
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
    COrvStringA sLocation = txn.GetResponseHeader("location");
    if (sLocation.IsEmpty())
        return err.Set(enNetServer, "Cannot get redirect location");
    const char* pszScheme = ctx.m_bHttps ? "https" : "http";
    if (sLocation.Left(2) == "//") {
        sLocation = COrvStringA(pszScheme) + ":" + sLocation;
    } else if (sLocation[0] == '/') {
        COrvStringA sBase;
        sBase.Format("%s://%s:%d", pszScheme, ctx.m_sHost.GetString(), ctx.m_nPort);
        sLocation = sBase + sLocation;
    }
    outcome.m_sRedirectUrl = sLocation;
    return err.Set(enNetRetry, "[Redirecting]");
}

}  // namespace

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
        if (nStatus == 100)
            continue;
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
            step.m_bInConnect = ctx.m_bInConnect;
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
