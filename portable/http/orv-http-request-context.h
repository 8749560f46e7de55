// What a request is built from beyond the transfer itself: the host it goes to, the route, the
// credentials and authentication states, the cookie value. Filled by the connection, read by the
// request writer and the authentication module.
#pragma once

#include <cstdint>

#include "orv-string.h"

class IOrvHttpAuthSchemes;

struct COrvHttpRequestContext {
    COrvStringA m_sHost;  // the current host
    int m_nPort = 80;
    bool m_bHttps = false;
    bool m_bViaHttpProxy = false;   // an HTTP proxy is addressed with absolute URIs
    bool m_bTunnelRequest = false;  // the request is the CONNECT to a proxy
    // Server credentials and auth state (orv-http-auth.h). m_bSendCredentials is cleared after a
    // redirect has left the configured origin: no Authorization is sent then, and the caller's
    // own "Authorization", "Cookie" and "Proxy-Authorization" headers are left out.
    int m_nServerAuthState = 0;
    COrvStringA m_sUserId;
    COrvStringA m_sPassword;
    bool m_bSendCredentials = true;
    int m_nProxyAuthState = 0;
    COrvStringA m_sProxyUserId;
    COrvStringA m_sProxyPassword;
    // The value of "Cookie" (built by the jar for this host); empty: no Cookie header.
    COrvStringA m_sCookieHeader;
    // The schemes beyond Basic (null until they are installed).
    IOrvHttpAuthSchemes* m_pAuthSchemes = nullptr;
    // The time for the Date header; 0: now.
    int64_t m_tNow = 0;
};
