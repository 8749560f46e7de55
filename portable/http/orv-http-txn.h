// The transaction record of the HTTP client (one request and its response) and the observer
// interface through which a transfer reports progress, writes log lines and is asked whether to
// stop.
#pragma once

#include <cstdint>

#include "orv-coll.h"
#include "orv-string.h"
#include "orv-time.h"
#include "orv-transfer-observer.h"

// Header maps: names keep the caller's case, lookups ignore it; iteration is in name order.
using COrvHttpHeaderMap = COrvRBMap<COrvStringA, COrvStringA, COrvStringNoCaseTraits<COrvStringA>>;

// Runs the observer's abort check (nothing when pObserver is null). False with err filled (the
// observer's code, enNetCancelled when it gave none, and its text) when the transfer must stop.
[[nodiscard]] bool OrvHttpCheckAbort(IOrvTransferObserver* pObserver, class COrvError& err);
// Writes a log line through the observer (nothing when it is null).
void OrvHttpObserverLog(IOrvTransferObserver* pObserver, int nLevel, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));

// A cookie of the jar or of a response. See orv-http-cookie.h for parsing and matching.
class COrvHttpCookie {
public:
    COrvStringA m_sName;
    COrvStringA m_sValue;
    COrvStringA m_sPath;
    // The "domain" attribute without leading and trailing dots; empty for a host-only cookie.
    COrvStringA m_sDomain;
    // The host that sent the cookie (lower case); a host-only cookie goes back to it alone.
    COrvStringA m_sOriginHost;
    // The "secure" attribute: the cookie is sent over TLS only.
    bool m_bSecure = false;
    // When the cookie expires ("max-age" or "expires"); 0: it lasts as long as the jar. A time
    // in the past deletes the cookie it replaces.
    OrvTime m_tExpires = 0;
};

// Body modes of a request.
enum : int {
    enHttpBodyString = 0,  // the body string
    enHttpBodyBuffer = 1,  // a caller's buffer (m_pBody, m_n64BodyLen)
    enHttpBodyStream = 2,  // the caller writes the body after the header
};
// Receive modes of a response.
enum : int {
    enHttpRecvMemory = 0,  // the body is read into m_sBody
    enHttpRecvStream = 2,  // the caller reads the body itself (response stream)
};
// Values of m_n64RecvBodyLen besides a byte count.
constexpr int64_t kOrvHttpLenUnknown = -1;
constexpr int64_t kOrvHttpLenChunked = -2;
// The limit of a body held in memory, and of a chunked body.
constexpr int64_t kOrvHttpMaxMemoryBody = 536870912;

// One request and its response. Reusable: ResetResponse clears the response half before the
// next exchange. Not copyable; one thread at a time.
class COrvHttpTxn {
public:
    COrvHttpTxn() = default;
    COrvHttpTxn(const COrvHttpTxn&) = delete;
    COrvHttpTxn& operator=(const COrvHttpTxn&) = delete;

    // Clears every response field (status, reason, headers, cookies, body, lengths, flags).
    void ResetResponse();
    // The response header of that name (any case); empty when absent.
    COrvStringA GetResponseHeader(const char* pszName) const;
    // The request header of that name (any case); empty when absent. *pbFound tells presence.
    COrvStringA GetRequestHeader(const char* pszName, bool* pbFound = nullptr) const;

    // ---- request ----
    COrvStringA m_sMethod = "GET";
    COrvStringA m_sPath;  // "/" when empty
    COrvHttpHeaderMap m_requestHeaders;
    bool m_bAddStandardHeaders = true;
    int m_nBodyMode = enHttpBodyString;
    COrvStringA m_sRequestBody;
    const void* m_pBody = nullptr;
    int64_t m_n64BodyLen = 0;  // -1: chunked
    int64_t m_n64BytesSent = 0;
    bool m_bHandleStatus = true;
    bool m_bFollowRedirects = true;
    bool m_bRetryAfterReconnect = false;

    // ---- response ----
    int m_nStatus = 0;
    COrvStringA m_sReason;
    COrvHttpHeaderMap m_responseHeaders;
    // Every "set-cookie" value as received, in order.
    COrvArray<COrvStringA> m_setCookieLines;
    // Every "cookie" value as received (server side), in order.
    COrvArray<COrvStringA> m_cookieLines;
    // The cookies parsed from m_setCookieLines when cookies are enabled.
    COrvArray<COrvHttpCookie> m_responseCookies;
    int m_nRecvMode = enHttpRecvMemory;
    bool m_bReadUntilClose = false;
    bool m_bBodyComplete = false;
    int64_t m_n64RecvBodyLen = kOrvHttpLenUnknown;
    // The server asked for the connection to be closed ("connection: close").
    bool m_bConnectionClose = false;
    COrvStringA m_sBody;
    COrvStringA m_sServer;
};

// "h=[...]" text of a header map for log lines: "name: value" pairs joined by "; ".
COrvStringA OrvHttpDescribeHeaders(const COrvHttpHeaderMap& headers);
// Body description of a log line: the length, "[chunked]" or "[unknown]", followed by
// "(incomplete)" when bComplete is false.
COrvStringA OrvHttpDescribeBody(int64_t n64Len, bool bComplete);
