// Cookies: parsing "set-cookie" values, the connection's cookie jar, and the "Cookie" header it
// builds for a host.
//
// The jar is keyed by cookie name, so a cookie replaces one of the same name. A cookie goes only
// to hosts it belongs to: one with a domain to that domain and its subdomains, one without to the
// host that set it alone, a secure one only over TLS. A server cannot set a cookie for a domain
// it does not belong to.
#pragma once

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-http-txn.h"
#include "orv-string.h"

// Parses one "set-cookie" value sent by pszHost: name=value pairs separated by ";", the first
// pair is the cookie (its name must not be empty); "path" and "domain" (leading and trailing dots
// removed, lower case) are stored, "secure" is noted, "comment", "max-age", "version",
// "httponly", "expires" and unknown attributes are skipped. Blanks around names and values are
// trimmed. Failures (enNetBadRequest): "bad cookie: " + value when the first pair has no "=" or
// an empty name; "cookie domain does not match host: " + domain when the domain does not
// domain-match the host.
[[nodiscard]] bool OrvHttpParseSetCookie(const char* pszValue, const char* pszHost,
                                         COrvHttpCookie& cookie, COrvError& err);

// True when pszHost is pszDomain or ends with "." + pszDomain (ASCII case ignored). An empty
// domain matches nothing; an IP address host matches its exact text only.
bool OrvHttpDomainMatch(const char* pszHost, const char* pszDomain);
// True when the cookie may be sent to this host over this scheme.
bool OrvHttpCookieMatches(const COrvHttpCookie& cookie, const char* pszHost, bool bHttps);

// The connection's jar: a hash map of name to cookie made with 17 bins and loads 0.75, 0.25 and
// 2.25, block 10. Not locked.
class COrvHttpCookieJar {
public:
    COrvHttpCookieJar();
    COrvHttpCookieJar(const COrvHttpCookieJar&) = delete;
    COrvHttpCookieJar& operator=(const COrvHttpCookieJar&) = delete;

    // Stores the cookie, replacing one of the same name. False on allocation failure.
    bool Set(const COrvHttpCookie& cookie);
    // Raw insert of a name that must be new: a name already present is reported as the
    // assertion "key already in Key Map: COrvHttpCookie: " + name and changes nothing (false).
    bool Insert(const COrvHttpCookie& cookie);
    // The cookie of that name, or null.
    const COrvHttpCookie* Find(const char* pszName) const;
    size_t GetCount() const { return m_map.GetCount(); }
    void RemoveAll() { m_map.RemoveAll(); }

    // Parses every "set-cookie" line of the response sent by pszHost into the jar and appends
    // the parsed cookies to txn.m_responseCookies. Lines that do not parse are skipped (and
    // logged at level 4 through pObserver). Returns the number stored.
    int AcceptResponse(COrvHttpTxn& txn, const char* pszHost,
                       IOrvTransferObserver* pObserver = nullptr);
    // The "Cookie" value for a request to pszHost: every matching cookie as "%s=%s", joined by
    // "; ", in name order; empty when none match.
    COrvStringA BuildHeader(const char* pszHost, bool bHttps) const;

private:
    COrvMap<COrvStringA, COrvHttpCookie> m_map;
};
