// The process-wide effective proxy (automatic, manual or none), its automatic test, and the
// system's proxy settings (desktop settings, PAC scripts and the http_proxy / https_proxy /
// no_proxy environment, through libproxy).
#pragma once

#include "orv-error.h"
#include "orv-lock.h"
#include "orv-string.h"

// Proxy settings: those a caller hands to OrvSetAndTestEffectiveProxy and the effective ones.
struct COrvProxySettings {
    bool m_bUseProxy_Auto = false;    // ask the system (OrvGetSystemProxySettings)
    bool m_bUseProxy_Manual = false;  // use m_sHost:m_nPort
    COrvStringA m_sHost;              // may begin with "socks5://"
    int m_nPort = 0;
    COrvStringA m_sUserId;
    COrvStringA m_sPasswd;
    bool m_bTrustCA = false;  // the automatic test trusts any certificate
    // The proxy test server: its host and path, and the ports of its plain and TLS sides.
    COrvStringA m_sTestHost;
    COrvStringA m_sTestPath = "/Z_time_checker.php";
    int m_nTestPortHttp = 80;
    int m_nTestPortHttps = 443;

    // "m_bUseProxy_Auto=%d m_bUseProxy_Manual=%d m_sHost=%s m_nPort=%d m_sUserId=%s
    // m_sPasswd=... TrustCA=%d": the password is never shown.
    COrvStringA LogForm() const;
};

// Guards the effective proxy. Taken briefly by every connection that may use a proxy.
extern COrvCriticalSection g_eff_proxy_lock;

// A copy of the effective proxy, taken under g_eff_proxy_lock; *pbDetermined (when given) says
// whether it has been determined. Any thread.
COrvProxySettings OrvGetEffectiveProxy(bool* pbDetermined = nullptr);

// OrvSetAndTestEffectiveProxy: under g_eff_proxy_lock stores settings as the effective proxy.
// When bForce is set or the proxy was not determined yet, determines it: automatic asks
// OrvGetSystemProxySettings for "http://" + test host + test path (failure: "OrvSetAndTest
// EffectiveProxy: OrvGetSystemProxySettings ERR: " + text, the proxy is cleared) and takes its
// host and port ("Use Auto Proxy " + the log form); with bTest it then runs DoOrvHttpTestTxn to
// the plain and the https URL of the test server ("OrvSetAndTestEffectiveProxy: TEST AUTO PLAIN
// err=" / "... TEST AUTO HTTPS err=" + text on failure; "Proxy Connection works for HTTP and
// HTTPS" on success). Manual: "Use Manual Proxy " + the log form. Neither: "Use No Proxy", host
// and port cleared. Log lines go into sLog, one per line. False with err filled when the system
// settings or the test failed. Blocks (the test); other threads that connect wait meanwhile.
[[nodiscard]] bool OrvSetAndTestEffectiveProxy(const COrvProxySettings& settings, bool bForce,
                                               bool bTest, COrvStringA& sLog, COrvError& err);
// The shape with a separate error text (the code is dropped).
[[nodiscard]] bool OrvSetAndTestEffectiveProxy(const COrvProxySettings& settings, bool bForce,
                                               bool bTest, COrvStringA& sLog, COrvStringA& sError);

// Forgets the effective proxy: nothing in use, not determined. For tests and shutdown.
void OrvResetEffectiveProxy();

// The proxy the system names for a URL.
struct COrvSystemProxy {
    bool m_bDirect = true;  // no proxy for this URL
    COrvStringA m_sHost;    // "socks5://host" for a SOCKS proxy; an IPv6 literal in brackets
    int m_nPort = 0;
    COrvStringA m_sUserId;  // credentials the settings carry for the proxy (unescaped)
    COrvStringA m_sPasswd;
};

// OrvGetSystemProxySettings: the proxy the system's settings give for pszUrl (desktop settings,
// PAC, http_proxy / https_proxy / no_proxy). The first usable answer wins: "direct://" means
// no proxy, "http://host[:port]" an HTTP proxy (port 8080 when none), "socks5://host[:port]",
// "socks5h://host[:port]" and "socks://host[:port]" a SOCKS5 proxy (port 1080 when none). The
// host may be an IPv6 literal in brackets and may follow "user[:password]@". The settings are
// read through one libproxy factory kept for the process; libproxy (libproxy.so.1) is loaded on
// the first call. Fails (enNetNotFound) with "No proxy settings could be determined for " + URL
// when the system gives no usable answer, and with "Proxy settings are not available: " + why
// when the settings cannot be read ("Cannot load libproxy.so.1: ..." without libproxy). Blocks (a
// PAC script may be fetched); any thread.
[[nodiscard]] bool OrvGetSystemProxySettings(const char* pszUrl, COrvSystemProxy& proxy,
                                             COrvError& err);
// Parses one answer of the system ("direct://", "http://u:p@h:p", "socks5h://[::1]:1080", ...).
// False for any other form.
bool OrvParseSystemProxyAnswer(const char* pszAnswer, COrvSystemProxy& proxy);

// The route of a connection: the proxy it goes through (empty host: direct).
struct COrvHttpProxyRoute {
    COrvStringA m_sHost;  // may begin with "socks5://"
    int m_nPort = 0;
    COrvStringA m_sUserId;
    COrvStringA m_sPassword;
};

// Whether a host is local and so never goes through a proxy: "localhost" (any case), "0", or a
// name that begins with "127.", "10.", "192.168.", "0." or "172." followed by a number from 16
// to 31 and a dot. A pure function; any thread.
bool OrvHttpIsLocalHost(const char* pszHost);

// The route of a connection to pszHost: no proxy for a local host or when bUseProxy is false;
// else the effective proxy (copied under g_eff_proxy_lock) when automatic or manual proxying is
// on, with its credentials, else the default proxy credentials given. Any thread; takes
// g_eff_proxy_lock briefly.
COrvHttpProxyRoute OrvHttpChooseRoute(const char* pszHost, bool bUseProxy,
                                      const COrvStringA& sProxyUserId,
                                      const COrvStringA& sProxyPassword);
