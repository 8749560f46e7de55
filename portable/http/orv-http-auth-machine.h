// The schemes beyond Basic for the two challenge-answering machines (server: 401/403, proxy:
// 407): Digest, NTLM (one handshake per machine, bound to the connection it runs on), OrvAuth
// and the Passport token, and a stand-alone driver that takes a response's status and headers and
// gives the next request's Authorization and Proxy-Authorization values, with no socket inside.
//
// A COrvHttpAuthMachine belongs to one connection (install it as the connection's
// m_pAuthSchemes) or stands alone; one thread at a time.
#pragma once

#include "orv-error.h"
#include "orv-http-auth.h"
#include "orv-http-digest.h"
#include "orv-http-orvauth.h"
#include "orv-ntlm.h"
#include "orv-string.h"

// Server auth states.
enum OrvServerAuthState : int {
    enServerAuthNone = 0,
    enServerAuthBasic = 1,
    enServerAuthDigest = 2,
    enServerAuthNtlmNegotiate = 3,     // the negotiate message is sent
    enServerAuthNtlmAuthenticate = 4,  // the authenticate message is sent
    enServerAuthNtlmAuthorised = 5,    // nothing more is sent
    enServerAuthToken = 6,             // a stored value (Passport token, OrvAuth) is sent
    enServerAuthSignIn = 7,            // Passport sign-in requested
    enServerAuthOff = 9,               // no header; 401/403 are plain server errors
    enServerAuthOffToo = 10,
};
// Proxy auth states.
enum OrvProxyAuthState : int {
    enProxyAuthNone = 0,
    enProxyAuthBasic = 1,
    enProxyAuthNtlmNegotiate = 3,
    enProxyAuthNtlmAuthenticate = 4,
    enProxyAuthNtlmAuthorised = 5,
};

// Signs in to a Passport nexus for a challenge (the sign-in exchange itself belongs to the
// application, which knows the nexus address from its settings).
class IOrvPassportSignIn {
public:
    // True with the Authorization value made from the nexus's "from-PP"; false with err. txn is
    // the request that was answered with the challenge, pszHost its host.
    [[nodiscard]] virtual bool SignIn(const COrvHttpChallenge& challenge, const COrvHttpTxn& txn,
                                      const char* pszHost, const char* pszUser,
                                      const char* pszPassword, COrvStringA& sAuthorization,
                                      COrvError& err) = 0;

protected:
    ~IOrvPassportSignIn() = default;
};

class COrvHttpAuthMachine : public IOrvHttpAuthSchemes {
public:
    // ---- IOrvHttpAuthSchemes ----
    [[nodiscard]] bool ServerAuthorization(int nState, const COrvHttpTxn& txn,
                                           const COrvHttpRequestContext& ctx, COrvStringA& sValue,
                                           COrvError& err) override;
    [[nodiscard]] bool ProxyAuthorization(int nState, const COrvHttpTxn& txn,
                                          const COrvHttpRequestContext& ctx, COrvStringA& sValue,
                                          COrvError& err) override;
    // Server: Digest, NTLM, OrvAuth, and Passport when a sign-in is installed. Proxy: NTLM.
    bool Supports(int nScheme, bool bProxy) const override;
    int DigestStrength(const COrvHttpChallenge& challenge) const override {
        return OrvHttpDigestStrength(challenge);
    }
    // The transitions of both machines; see the texts in the .cpp's table comments.
    void Step(int nScheme, bool bProxy, const COrvHttpChallenge& challenge, const COrvHttpTxn& txn,
              int& nState, int& nCode, COrvStringA& sText) override;

    // Forgets both NTLM handshakes (the connection closed: the next one starts again).
    void ConnectionClosed();

    // ---- stand-alone driver ----
    // The header values for the next request of txn (empty: none). Failures carry the texts of
    // OrvHttpServerAuthorization and OrvHttpProxyAuthorization.
    [[nodiscard]] bool RequestHeaders(const COrvHttpTxn& txn, COrvStringA& sAuthorization,
                                      COrvStringA& sProxyAuthorization, COrvError& err);
    // Takes the response in txn (status and headers): moves NTLM 4 to 5 and Passport 7 to 6 as
    // the connection does, then on 401/403 runs the server machine and on 407 the proxy machine.
    // True when the response needs no authentication step; false with enNetRetry (send again
    // with RequestHeaders) or a failure code and text.
    [[nodiscard]] bool TakeResponse(const COrvHttpTxn& txn, COrvError& err);

    COrvStringA m_sUserId, m_sPassword;
    COrvStringA m_sProxyUserId, m_sProxyPassword;
    COrvStringA m_sHost, m_sProxyHost;  // for log lines
    bool m_bTunnelRequest = false;
    IOrvTransferObserver* m_pObserver = nullptr;
    IOrvPassportSignIn* m_pPassport = nullptr;
    int m_nServerState = enServerAuthNone;
    int m_nProxyState = enProxyAuthNone;

    COrvHttpDigest m_digest;
    COrvNtlmContext m_ntlm;
    COrvNtlmContext m_proxyNtlm;
    COrvAuthClient m_orvAuth;
    // The value sent in state 6 (a Passport token or the next OrvAuth message).
    COrvStringA m_sStoredAuthorization;
    int m_nStaleRun = 0;  // stale nonces in a row

private:
    void ServerNtlm(const COrvHttpChallenge& ch, int& nState, int& nCode, COrvStringA& sText);
    void ProxyNtlm(const COrvHttpChallenge& ch, int& nState, int& nCode, COrvStringA& sText);
    void ServerDigest(const COrvHttpChallenge& ch, int& nState, int& nCode, COrvStringA& sText);
    void Passport(const COrvHttpChallenge& ch, const COrvHttpTxn& txn, int& nState, int& nCode,
                  COrvStringA& sText);
};

// ---- Passport 1.4 ----

// The sign-in against a nexus: a GET of the nexus address (from the application's settings)
// whose "PassportURLs" header names "DALogin" (host and path), then a GET of that login address
// with the sign-in value (OrvPassportSignInValue), whose "authentication-info" carries the
// token (OrvPassportTakeAnswer). Both go with the nexus address's scheme. Failures: the HTTP
// client's texts, "Passport auth error: no DALogin in PassportURLs" (enNetServer), and those of
// OrvPassportTakeAnswer. Blocks.
class COrvPassportNexusSignIn : public IOrvPassportSignIn {
public:
    [[nodiscard]] bool SignIn(const COrvHttpChallenge& challenge, const COrvHttpTxn& txn,
                              const char* pszHost, const char* pszUser, const char* pszPassword,
                              COrvStringA& sAuthorization, COrvError& err) override;

    COrvStringA m_sNexusUrl;
    bool m_bTrustAnyCertificate = false;
};

// The sign-in request value sent to the nexus: "Passport1.4 sign-in=%s,pwd=%s,OrgVerb=%s,
// OrgUrl=%s,ct=%s,rver=%s,wp=%s,id=%s,ru=%s,lc=%s" with user and password percent-encoded, the
// request's method and URL, and the challenge's ct, rver, wp, id, lc; ru is "http://%s%s" from
// host and path.
COrvStringA OrvPassportSignInValue(const COrvHttpChallenge& challenge, const char* pszUser,
                                   const char* pszPassword, const char* pszMethod,
                                   const char* pszHost, const char* pszPath);
// The token of a nexus answer's "authentication-info" value ("Passport1.4 da-status=success,
// from-PP='TOKEN',..."): the stored authorization becomes "Passport1.4 from-PP=TOKEN". Failures
// (enNetAuth): "Passport auth bad: " + value when the status is not success, "Bad from-PP: " +
// value when the token is missing or unterminated.
[[nodiscard]] bool OrvPassportTakeAnswer(const char* pszAuthenticationInfo,
                                         COrvStringA& sAuthorization, COrvError& err);
