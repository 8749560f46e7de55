// Authorization headers of the HTTP client, the challenge parser, and the Basic steps of the two
// challenge-answering machines (server: 401/403, proxy: 407).
//
// The auth states live on the connection: server 0 none, 1 Basic, 2 Digest, 3 and 4 NTLM
// negotiate and authenticate sent, 5 NTLM authorised, 6 stored token sent, 7 token sign-in
// requested, 9 and 10 nothing sent; proxy 0 none, 1 Basic, 3, 4 NTLM, 5 authorised. The other
// schemes plug in through IOrvHttpAuthSchemes; without it their challenges are answered with
// "Auth method not supported: ".
#pragma once

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-http-txn.h"
#include "orv-string-util.h"
#include "orv-string.h"

struct COrvHttpRequestContext;

// Scheme codes handed to the machines.
enum OrvHttpAuthScheme : int {
    enHttpAuthNone = 0,  // a scheme the machines do not know
    enHttpAuthBasic = 1,
    enHttpAuthDigest = 2,
    enHttpAuthNtlm = 3,
    enHttpAuthPassport = 6,
    enHttpAuthOrvAuth = 8,  // the library's own SCRAM scheme
};

// One challenge of a "www-authenticate" or "proxy-authenticate" value.
struct COrvHttpChallenge {
    COrvHttpChallenge() = default;
    COrvHttpChallenge(const COrvHttpChallenge& other) { *this = other; }
    // Copies scheme, token and every parameter (a parameter that cannot be stored is lost).
    COrvHttpChallenge& operator=(const COrvHttpChallenge& other);
    // The value of a parameter (any case); empty when absent.
    COrvStringA Param(const char* pszName) const;

    COrvStringA m_sScheme;  // lower case
    COrvStringA m_sToken;   // a bare token after the scheme (NTLM data), else empty
    // name (any case) -> value (quotes removed, backslash escapes resolved)
    COrvHttpHeaderMap m_params;
};

// The code of a scheme token (compared in lower case): basic 1, digest 2, ntlm 3, passport1.4 6,
// orvauth 8; everything else ("negotiate", "kerberos", "orvmd5", ...) enHttpAuthNone.
OrvHttpAuthScheme OrvHttpAuthSchemeCode(const char* pszScheme);

// Parses a challenge value: one or more challenges, each a scheme token followed by a bare token
// or name=value parameters separated by ","; values are tokens or quoted strings. Failures: an
// empty value "no auth header" (enNetAuth); "bad = after name", "bad token after name =",
// "no , after name=value" (enNetServer); no scheme "no authentication methods" (enNetAuth).
// challenges holds what was parsed before a failure.
[[nodiscard]] bool OrvHttpParseChallenges(const char* pszValue,
                                          COrvArray<COrvHttpChallenge>& challenges, COrvError& err);

// "Basic " + Base64 of "user:password".
COrvStringA OrvHttpBasicAuthValue(const char* pszUser, const char* pszPassword);

// The schemes beyond Basic: Digest, NTLM, token sign-in and the library's own scheme. Installed
// on the request context and the response context by the connection once they exist.
class IOrvHttpAuthSchemes {
public:
    // The header value of a server state other than 1 (2, 3, 4, 6). False with err filled when
    // it cannot be made.
    [[nodiscard]] virtual bool ServerAuthorization(int nState, const COrvHttpTxn& txn,
                                                   const COrvHttpRequestContext& ctx,
                                                   COrvStringA& sValue, COrvError& err) = 0;
    // The header value of a proxy state other than 1 (3, 4).
    [[nodiscard]] virtual bool ProxyAuthorization(int nState, const COrvHttpTxn& txn,
                                                  const COrvHttpRequestContext& ctx,
                                                  COrvStringA& sValue, COrvError& err) = 0;
    // Whether the machine answers challenges of this scheme code.
    virtual bool Supports(int nScheme, bool bProxy) const = 0;
    // The rank of a Digest challenge's algorithm: 0 for one the machine does not know, higher for
    // a stronger one.
    virtual int DigestStrength(const COrvHttpChallenge& challenge) const = 0;
    // One transition of the server (bProxy false) or proxy machine for a scheme it supports.
    // sText comes in as the text built so far ("Server says: ..." for the server, empty for the
    // proxy) and goes out as the exchange's error text; nCode goes out as enNetRetry or a failure
    // code.
    virtual void Step(int nScheme, bool bProxy, const COrvHttpChallenge& challenge,
                      const COrvHttpTxn& txn, int& nState, int& nCode, COrvStringA& sText) = 0;

protected:
    ~IOrvHttpAuthSchemes() = default;
};

// The Authorization value for the server state: states 0, -1 and 9 add nothing (empty value,
// true). Every other state needs a user id ("Server requests authentication %d, but you have not
// provided even UserID", enNetAuth); 5, 7, 10 then add nothing; 1 is Basic; 2, 3, 4, 6 come from
// the schemes ("Auth method not supported: " and the scheme name without them); a state outside
// 1..10 is "bad auth state %d, report to <support address>" (enNetAuth). With
// m_bSendCredentials cleared nothing is added.
[[nodiscard]] bool OrvHttpServerAuthorization(const COrvHttpTxn& txn,
                                              const COrvHttpRequestContext& ctx,
                                              COrvStringA& sValue, COrvError& err);
// The Proxy-Authorization value: 0 and -1 nothing; other states need a proxy user id ("Proxy
// requests authentication %d, but you have not provided even UserID", enNetProxyAuth); 5
// nothing; 1 Basic; 3, 4 from the schemes; any other (2 included) "bad Proxy Auth state %d,
// report to <support address>" (enNetAuth).
[[nodiscard]] bool OrvHttpProxyAuthorization(const COrvHttpTxn& txn,
                                             const COrvHttpRequestContext& ctx, COrvStringA& sValue,
                                             COrvError& err);

// The support address named in the bad-state texts.
extern const char* const kOrvHttpSupportAddress;

// What a 401/403/407 step needs besides the txn.
struct COrvHttpAuthStepContext {
    COrvStringA m_sHost;            // the server (or proxy) host, for the log line
    bool m_bTunnelRequest = false;  // the 407 answers a CONNECT
    // False after a redirect to another origin: the configured credentials are not offered.
    bool m_bCredentialsAllowed = true;
    IOrvHttpAuthSchemes* m_pSchemes = nullptr;
    IOrvTransferObserver* m_pObserver = nullptr;
};

// The server machine on a 401 or 403 (after the one-time-password check): the text becomes
// "Server says: %s (status code %d)"; the "www-authenticate" challenges are parsed and the first
// supported scheme steps. Basic: state 1 already -> state 0, "Incorrect Basic auth UserID or
// Password: " + text, enNetAuth; otherwise logs "Basic authentication requested by server
// <host>: <text>", state 1, "[requesting Basic auth]: " + text, enNetRetry. No supported scheme:
// state 0, "Auth method not supported: <scheme>, Error: <parser text>" + "; " + text, enNetAuth.
// Always returns false with err filled.
bool OrvHttpServerAuthStep(const COrvHttpTxn& txn, const COrvHttpAuthStepContext& ctx, int& nState,
                           COrvError& err);
// The proxy machine on a 407: a parse failure (enNetProxyAuth) clears the state and appends
// "; proxy header: " + the header. Basic: state 1 already -> state 0, "Incorrect Proxy Basic
// Authentication Credentials", enNetProxyAuth; otherwise logs "Basic authentication requested by
// HTTP proxy " (or "Connect proxy ") + host, state 1, "[requesting Proxy Basic Auth]", enNetRetry.
// Other schemes without support: state 0, "Proxy Auth method not supported: " + scheme,
// enNetProxyAuth. Always returns false with err filled.
bool OrvHttpProxyAuthStep(const COrvHttpTxn& txn, const COrvHttpAuthStepContext& ctx, int& nState,
                          COrvError& err);
