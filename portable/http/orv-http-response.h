// Receiving a response on the client: reading header and body, and acting on the status.
//
// The connection (which owns the socket) hands in a reader and what it knows about the current
// endpoint; what must change on the connection afterwards (close it, follow a redirect, switch
// to TLS, the new auth states) comes back in the context and the outcome.
#pragma once

#include "orv-error.h"
#include "orv-http-io.h"
#include "orv-http-txn.h"
#include "orv-string.h"

class COrvHttpCookieJar;
class IOrvHttpAuthSchemes;

// What the response reader needs from the connection; the auth states are updated in place.
struct COrvHttpResponseContext {
    COrvStringA m_sHost;  // the current host and port
    int m_nPort = 80;
    bool m_bHttps = false;
    bool m_bViaProxy = false;  // a proxy is in use (503 and 504 then come from it)
    bool m_bTunnelRequest = false;
    COrvStringA m_sProxyHost;
    COrvHttpCookieJar* m_pCookieJar = nullptr;  // null: cookies disabled
    int m_nServerAuthState = 0;
    int m_nProxyAuthState = 0;
    // False after a redirect left the configured origin: challenges are not answered with the
    // configured credentials.
    bool m_bCredentialsAllowed = true;
    IOrvHttpAuthSchemes* m_pAuthSchemes = nullptr;
    IOrvTransferObserver* m_pObserver = nullptr;
};

// Where a redirect leads: the scheme, host, port and request target (path and query) of the
// absolute URL it resolves to.
struct COrvHttpRedirectTarget {
    bool m_bHttps = false;
    COrvStringA m_sHost;
    int m_nPort = 0;  // the scheme's default when the URL gives none
    COrvStringA m_sPath;
    COrvStringA m_sUrl;  // without a fragment
};

// What the connection must do after a response.
struct COrvHttpResponseOutcome {
    bool m_bClose = false;        // close the connection (server said so, body unread, failure)
    bool m_bEofAtStart = false;   // the peer closed before the first byte of the reply
    bool m_bSwitchToTls = false;  // 426: use https on this endpoint from now on
    // Set with "[Redirecting]" / enNetRetry: the absolute URL the location resolves to against
    // the request's URL, and its parts.
    COrvStringA m_sRedirectUrl;
    COrvHttpRedirectTarget m_redirect;
};

// The URL of a request: "http://" or "https://", the host (an IPv6 literal in brackets), ":"
// and the port, and the path ("/" when empty).
COrvStringA OrvHttpRequestUrl(bool bHttps, const char* pszHost, int nPort, const char* pszPath);

// Resolves a "location" value against the URL of the request it answers: blanks around it are
// cut, spaces, controls and bytes outside ASCII are percent-escaped, any reference form is
// resolved (orv-url.h, OrvUrlResolveReference) and the fragment is dropped. Only http and https
// URLs with a host are followed. Failures (enNetServer): "Cannot get redirect location" for an
// empty value, "Cannot parse redirect URL" otherwise.
[[nodiscard]] bool OrvHttpRedirectTarget(const COrvStringA& sLocation, const char* pszBaseUrl,
                                         COrvHttpRedirectTarget& target, COrvError& err);

// The request that follows a redirect of nStatus: after a 303 anything but GET and HEAD becomes
// a GET without body (and without Content-Type); other statuses keep the method and the body.
void OrvHttpRedirectMethod(int nStatus, COrvHttpTxn& txn);

// The failure of a proxy's refusal of a tunnel (any answer to CONNECT but a 2xx or a 407 that
// can be answered): 503 "Proxy reported Connection error: " and 504 "Proxy reported timeout: "
// + reason (enNetConnection); any other "Server says: %s (status code %d)" (enNetServer).
// Always false.
bool OrvHttpTunnelRefused(const COrvHttpTxn& txn, COrvError& err);

// Reads the response to txn (status, headers, body) and interprets it:
// 1. a response whose status is 0, 1xx, 204 or 304, or any response to HEAD, has an empty body
//    whatever its length says; 2. a body without length is read until the connection closes
//    (m_bReadUntilClose is set); it and a "connection: close" close the connection; 3. with
//    receive mode 2 and a 2xx status the body is left to the caller, else it is read here: a known
//    length of 536870912 or more fails with a 2xx ("Response body is too long for memory, %lld
//    bytes", enNetBadRequest) and is skipped otherwise (level-3 log "Error Response body is too
//    long for memory, %lld bytes"), closing the connection;
// 4. digests (orv-http-body.h), then "content-encoding: gzip" is inflated ("Cannot unzip response
//    body: " + text, enNetBadRequest); 5. auth states: not 401/403 moves server 4 to 5, not 407
//    moves proxy 4 to 5, a 2xx moves server 7 to 6; 6. cookies go into the jar; 7. without
//    m_bHandleStatus: success; 8. interim responses (1xx but 101) are skipped before anything
//    else, a 101 closes the connection; 2xx and 304 success; inside a CONNECT
//    any other status but 407 is OrvHttpTunnelRefused;
// 9. 401/403 "Server says: %s (status code %d)": server state 9 or 10 a plain server error; a 401
//    with "x-orv-auth-alt-otp" or "otp-prompt" enNetOtpRequired with that value; else the server
//    machine (orv-http-auth.h); 10. 407 the proxy machine; 11. 301, 302, 303, 305, 307, 308
//    redirect (without m_bFollowRedirects: success): "Cannot get redirect location" (enNetServer)
//    or "[Redirecting]" (enNetRetry) with m_sRedirectUrl; 12. 426 on a plain connection
//    "[Forcing SSL]" (enNetRetry), switch to TLS and close; 13. through a proxy 503 "Proxy
//    reported Connection error: " and 504 "Proxy reported timeout: " + reason (enNetConnection);
// 14. 507 "Server says: ..." (enNetResources), 404 "Not Found by server" (enNetNotFound);
// 15. anything else "Server says: %s (status code %d)" (enNetServer).
// Transport and format failures close the connection. Blocks while reading.
[[nodiscard]] bool OrvHttpReceiveResponse(COrvHttpReader& reader, COrvHttpTxn& txn,
                                          COrvHttpResponseContext& ctx,
                                          COrvHttpResponseOutcome& outcome, COrvError& err);
