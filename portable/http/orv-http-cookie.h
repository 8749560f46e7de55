// Cookies: parsing "set-cookie" values, the connection's cookie jar, and the "Cookie" header it
// builds for a request.
//
// The jar keeps a cookie per name, domain (the host for a host-only cookie) and path, so that
// sites and paths do not overwrite each other's cookies. A cookie goes only where it belongs:
// one with a domain to that domain and its subdomains, one without to the host that set it
// alone, a secure one only over TLS, and only to request paths under its path. A server cannot
// set a cookie for a domain it does not belong to, nor for a public suffix. An expiry in the
// past deletes the stored cookie.
#pragma once

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-http-txn.h"
#include "orv-string.h"
#include "orv-time.h"

// Parses one "set-cookie" value sent by pszHost in answer to a request for pszRequestPath:
// name=value pairs separated by ";", the first pair is the cookie (its name must not be empty).
// "path" is stored when it starts with "/", else the request's directory is (see
// OrvHttpDefaultCookiePath); "domain" (leading and trailing dots removed, lower case) is stored;
// "secure" is noted; "max-age" (seconds; 0 or less expires at once) sets the expiry, and wins
// over "expires" (an Internet date, also with "-" between its parts); unparsable values of
// either are ignored. "comment", "version", "httponly" and unknown attributes are skipped.
// Blanks around names and values are trimmed. tNow 0 is the current time. Failures
// (enNetBadRequest): "bad cookie: " + value when the first pair has no "=" or an empty name;
// "cookie domain is a public suffix: " + domain when the domain is a public suffix other than
// the host itself (that host gets a host-only cookie); "cookie domain does not match host: " +
// domain when the domain does not domain-match the host.
[[nodiscard]] bool OrvHttpParseSetCookie(const char* pszValue, const char* pszHost,
                                         COrvHttpCookie& cookie, COrvError& err,
                                         const char* pszRequestPath = "/", OrvTime tNow = 0);

// True when pszHost is pszDomain or ends with "." + pszDomain (ASCII case ignored). An empty
// domain matches nothing; an IP address host matches its exact text only.
bool OrvHttpDomainMatch(const char* pszHost, const char* pszDomain);
// True when a request path (without query) lies under a cookie path: the same, or the cookie
// path followed by "/" in the request path, or a cookie path that ends with "/" as its prefix.
bool OrvHttpPathMatch(const char* pszRequestPath, const char* pszCookiePath);
// The path a cookie without a usable "path" gets: the request path (query dropped) up to its
// last "/", or "/" when that leaves nothing or the path does not start with "/".
COrvStringA OrvHttpDefaultCookiePath(const char* pszRequestPath);
// True when the cookie may be sent to this host over this scheme, and, when pszPath is given,
// for this request path (its query is ignored).
bool OrvHttpCookieMatches(const COrvHttpCookie& cookie, const char* pszHost, bool bHttps,
                          const char* pszPath = nullptr);

// The connection's jar: a hash map made with 17 bins and loads 0.75, 0.25 and 2.25, block 10,
// keyed by name, domain (or host) and path. Not locked.
class COrvHttpCookieJar {
public:
    COrvHttpCookieJar();
    COrvHttpCookieJar(const COrvHttpCookieJar&) = delete;
    COrvHttpCookieJar& operator=(const COrvHttpCookieJar&) = delete;

    // Stores the cookie, replacing one of the same name, domain and path. False on allocation
    // failure.
    bool Set(const COrvHttpCookie& cookie);
    // Raw insert of a cookie that must be new: one already present is reported as the assertion
    // "key already in Key Map: COrvHttpCookie: " + name and changes nothing (false).
    bool Insert(const COrvHttpCookie& cookie);
    // A cookie of that name (any domain and path), or null.
    const COrvHttpCookie* Find(const char* pszName) const;
    size_t GetCount() const { return m_map.GetCount(); }
    void RemoveAll() { m_map.RemoveAll(); }

    // Parses every "set-cookie" line of the response sent by pszHost for the request path of txn
    // into the jar and appends the stored cookies to txn.m_responseCookies; one that has expired
    // removes its stored namesake instead. Lines that do not parse are skipped (and logged at
    // level 4 through pObserver). Returns the number stored.
    int AcceptResponse(COrvHttpTxn& txn, const char* pszHost,
                       IOrvTransferObserver* pObserver = nullptr);
    // The "Cookie" value for a request to pszHost and pszPath: every matching cookie that has
    // not expired (at tNow; 0: now) as "%s=%s", joined by "; ", longer paths first and then in
    // name order; empty when none match.
    COrvStringA BuildHeader(const char* pszHost, bool bHttps, const char* pszPath = "/",
                            OrvTime tNow = 0) const;

private:
    static COrvStringA KeyOf(const COrvHttpCookie& cookie);

    COrvMap<COrvStringA, COrvHttpCookie> m_map;
};
