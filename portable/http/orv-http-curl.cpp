// The platform HTTP engine over libcurl.
//
// One easy handle and one multi handle per connection: the multi handle keeps the transport
// alive between transactions and lets a streamed request body (body mode 2) be fed by the caller
// after the header has gone out (the read callback pauses until the caller writes). libcurl
// follows no redirects, answers no challenge on its own and keeps no cookies unless asked: the
// engine decides, as the socket engine does, when to supply credentials (once per exchange),
// where a redirect goes, and what a status means.
#include "orv-http-curl.h"

// The engine calls libcurl through its own table of pointers, which the type-checking macros of
// the header would not reach.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <poll.h>
#include <string.h>

#include <iterator>
#include <mutex>

#include "orv-http-body.h"
#include "orv-http-io.h"
#include "orv-http-libraries.h"
#include "orv-http-proxy.h"
#include "orv-http-response.h"
#include "orv-http-wire.h"
#include "orv-shared-library.h"
#include "orv-socket.h"
#include "orv-ssl.h"
#include "orv-sys.h"
#include "orv-url.h"

namespace {

// The one table of libcurl failures and their classes; codes not listed are enHttpErrOther.
struct CurlCodeEntry {
    CURLcode code;
    OrvHttpErrorClass cls;
};
constexpr CurlCodeEntry kCurlCodes[] = {
    {CURLE_COULDNT_RESOLVE_PROXY, enHttpErrConnection},
    {CURLE_COULDNT_RESOLVE_HOST, enHttpErrConnection},
    {CURLE_COULDNT_CONNECT, enHttpErrConnection},
    {CURLE_OPERATION_TIMEDOUT, enHttpErrConnection},
    {CURLE_SEND_ERROR, enHttpErrConnection},
    {CURLE_RECV_ERROR, enHttpErrConnection},
    {CURLE_GOT_NOTHING, enHttpErrConnection},
    {CURLE_PARTIAL_FILE, enHttpErrConnection},
    {CURLE_SSL_CONNECT_ERROR, enHttpErrConnection},
    {CURLE_PROXY, enHttpErrConnection},
    {CURLE_PEER_FAILED_VERIFICATION, enHttpErrAuth},
    {CURLE_SSL_CERTPROBLEM, enHttpErrAuth},
    {CURLE_SSL_CIPHER, enHttpErrAuth},
    {CURLE_SSL_CACERT_BADFILE, enHttpErrAuth},
    {CURLE_SSL_ISSUER_ERROR, enHttpErrAuth},
    {CURLE_SSL_PINNEDPUBKEYNOTMATCH, enHttpErrAuth},
    {CURLE_SSL_INVALIDCERTSTATUS, enHttpErrAuth},
    {CURLE_SSL_CRL_BADFILE, enHttpErrAuth},
    {CURLE_SSL_CLIENTCERT, enHttpErrAuth},
    {CURLE_USE_SSL_FAILED, enHttpErrAuth},
    {CURLE_LOGIN_DENIED, enHttpErrAuth},
    {CURLE_AUTH_ERROR, enHttpErrAuth},
};

// Upload slices and the longest silence accepted while sending or receiving.
constexpr size_t kUploadSlice = 32768;

// libcurl is loaded on first use (see OrvHttpCurlLibrary): the functions the engine calls, one
// pointer each, filled when the library is loaded.
// clang-format off
#define ORV_CURL_FUNCTIONS(X) \
    X(curl_global_init) \
    X(curl_easy_init) \
    X(curl_easy_cleanup) \
    X(curl_easy_reset) \
    X(curl_easy_setopt) \
    X(curl_easy_getinfo) \
    X(curl_easy_pause) \
    X(curl_easy_strerror) \
    X(curl_slist_append) \
    X(curl_slist_free_all) \
    X(curl_multi_init) \
    X(curl_multi_cleanup) \
    X(curl_multi_setopt) \
    X(curl_multi_add_handle) \
    X(curl_multi_remove_handle) \
    X(curl_multi_perform) \
    X(curl_multi_poll) \
    X(curl_multi_timeout) \
    X(curl_multi_info_read) \
    X(curl_multi_strerror)
// clang-format on

struct SCurlFunctions {
#define ORV_CURL_POINTER(name) decltype(&::name) name = nullptr;
    ORV_CURL_FUNCTIONS(ORV_CURL_POINTER)
#undef ORV_CURL_POINTER
};
SCurlFunctions g_curl;

#define ORV_CURL_ENTRY(name) OrvLibraryFunction(#name, &g_curl.name),
const SOrvLibraryFunction kCurlFunctions[] = {ORV_CURL_FUNCTIONS(ORV_CURL_ENTRY)};
#undef ORV_CURL_ENTRY

std::once_flag g_curl_init_once;
bool g_curl_init_ok = false;

bool IsRedirect(int nStatus) {
    return nStatus == 301 || nStatus == 302 || nStatus == 303 || nStatus == 307 || nStatus == 308;
}

// Basic alone when the challenges offer nothing else, so that the credentials go with the next
// request; else any scheme libcurl knows.
unsigned long AuthMask(const COrvStringA& sChallenges) {
    COrvStringA s = sChallenges;
    s.MakeLower();
    s.Trim();
    if (strncmp(s, "basic", 5) == 0 && s.Find("digest") < 0 && s.Find("ntlm") < 0 &&
        s.Find("negotiate") < 0)
        return CURLAUTH_BASIC;
    return CURLAUTH_ANY;
}

COrvStringA Str(const char* psz) {
    return COrvStringA(psz);
}

COrvStringA Prefixed(const char* pszPrefix, const COrvStringA& sText) {
    COrvStringA s(pszPrefix);
    s += sText;
    return s;
}

class COrvHttpCurlEngine final : public IOrvHttpEngine {
public:
    explicit COrvHttpCurlEngine(const COrvHttpConnConfig& cfg) : m_cfg(cfg) { m_szErr[0] = 0; }
    ~COrvHttpCurlEngine() override {
        Detach();
        if (m_pEasy)
            g_curl.curl_easy_cleanup(m_pEasy);
        if (m_pMulti)
            g_curl.curl_multi_cleanup(m_pMulti);
        g_curl.curl_slist_free_all(m_pHeaders);
    }

    bool Init() {
        m_pEasy = g_curl.curl_easy_init();
        m_pMulti = g_curl.curl_multi_init();
        if (m_pMulti)
            g_curl.curl_multi_setopt(m_pMulti, CURLMOPT_MAXCONNECTS, 4L);
        return m_pEasy != nullptr && m_pMulti != nullptr;
    }

    bool SendReceive(COrvHttpTxn& txn, COrvError& err) override;
    bool WriteBody(COrvHttpTxn& txn, const void* pData, int64_t nLen, COrvError& err) override;
    bool FinishBody(COrvHttpTxn& txn, COrvError& err) override;
    void Close() override {
        Detach();
        m_idleSocket = CURL_SOCKET_BAD;
        // A fresh multi handle drops the kept-alive transports of the old one.
        if (m_pMulti) {
            g_curl.curl_multi_cleanup(m_pMulti);
            m_pMulti = g_curl.curl_multi_init();
            if (m_pMulti)
                g_curl.curl_multi_setopt(m_pMulti, CURLMOPT_MAXCONNECTS, 4L);
        }
    }
    int64_t ConnectionsOpened() const override { return m_nConnects; }

private:
    static size_t OnHeader(char* p, size_t nSize, size_t nItems, void* pv);
    static size_t OnBody(char* p, size_t nSize, size_t nItems, void* pv);
    static size_t OnRead(char* p, size_t nSize, size_t nItems, void* pv);
    static int OnSeek(void* pv, curl_off_t nOffset, int nOrigin);
    static CURLcode OnSslContext(CURL* h, void* pSslCtx, void* pv);

    void ResetTarget(const COrvHttpTxn& txn);
    bool Loop(COrvHttpTxn& txn, COrvError& err);
    bool Start(COrvHttpTxn& txn, COrvError& err);
    bool Drive(bool bUntilUploadWanted, COrvError& err);
    bool Interpret(COrvHttpTxn& txn, COrvError& err);
    bool InterpretStatus(COrvHttpTxn& txn, COrvError& err);
    bool AskServerCredentials(const COrvHttpTxn& txn, COrvError& err);
    bool AskProxyCredentials(const COrvStringA& sServerText, COrvError& err);
    bool Redirect(COrvHttpTxn& txn, COrvError& err);
    bool TunnelRefused(COrvHttpTxn& txn, COrvError& err);
    void LogResponse(const COrvHttpTxn& txn, const COrvError* pErr);
    bool OnOrigin() const {
        return m_sCurHost.CompareNoCase(m_cfg.m_sHost) == 0 && m_nCurPort == ConfiguredPort() &&
               m_bCurHttps == m_cfg.m_bHttps;
    }
    int ConfiguredPort() const {
        return m_cfg.m_nPort > 0 ? m_cfg.m_nPort : (m_cfg.m_bHttps ? 443 : 80);
    }
    void Detach() {
        if (m_bAdded && m_pMulti && m_pEasy)
            g_curl.curl_multi_remove_handle(m_pMulti, m_pEasy);
        m_bAdded = false;
    }

    const COrvHttpConnConfig& m_cfg;
    CURL* m_pEasy = nullptr;
    CURLM* m_pMulti = nullptr;
    curl_slist* m_pHeaders = nullptr;
    bool m_bAdded = false;
    bool m_bDone = false;
    CURLcode m_result = CURLE_OK;
    char m_szErr[CURL_ERROR_SIZE];
    int64_t m_nConnects = 0;
    // The plain transport the last transfer left open (CURL_SOCKET_BAD: none or TLS).
    curl_socket_t m_idleSocket = CURL_SOCKET_BAD;
    int m_nRedirects = 0;  // on this connection: the first three are logged

    // The exchange: where it goes now, and what it has supplied.
    COrvStringA m_sCurHost;
    int m_nCurPort = 0;
    bool m_bCurHttps = false;
    COrvStringA m_sCurPath;
    bool m_bServerCreds = false;
    // Proxy credentials, once the proxy asked for them (or a streamed body needs them at once),
    // go with every later transaction to the same proxy; m_bProxyAsked says whether the proxy
    // asked during this transaction (a second time means they were refused).
    bool m_bProxyCreds = false;
    bool m_bProxyAsked = false;
    COrvStringA m_sProxyKey;  // the proxy and user that m_bProxyCreds and m_nProxyAuth are for
    // The schemes libcurl may answer with: Basic alone when that is all the peer offered (sent
    // at once), else any (libcurl then asks once more to learn the scheme).
    unsigned long m_nServerAuth = CURLAUTH_ANY;
    unsigned long m_nProxyAuth = CURLAUTH_ANY;
    bool m_bReconnected = false;
    int m_nAttempt = 0;
    COrvHttpProxyRoute m_route;
    COrvStringA m_sUrl;

    // The attempt.
    COrvHttpTxn* m_pTxn = nullptr;
    COrvStringA m_sHeaderBlock;
    COrvStringA m_sBody;
    bool m_bBodyToSink = false;
    bool m_bStatusShown = false;  // the header of the response being received is in the txn
    COrvError m_cbErr;            // a failure found inside a callback
    const char* m_pUp = nullptr;
    int64_t m_nUpLeft = 0;
    int64_t m_nUpTotal = 0;  // bytes handed to libcurl (for rewinds)
    bool m_bStreamBody = false;
    bool m_bUpEnd = false;
    bool m_bUpWaiting = false;
};

size_t COrvHttpCurlEngine::OnHeader(char* p, size_t nSize, size_t nItems, void* pv) {
    auto* self = static_cast<COrvHttpCurlEngine*>(pv);
    const size_t n = nSize * nItems;
    // A new status line starts a new response (after 100 Continue or an answered challenge).
    if (n >= 5 && strncmp(p, "HTTP/", 5) == 0) {
        self->m_sHeaderBlock = COrvStringA();
        self->m_sBody = COrvStringA();
        self->m_bStatusShown = false;
    }
    if (self->m_sHeaderBlock.GetLength() + n > static_cast<size_t>(kOrvHttpMaxLine) * 4) {
        self->m_cbErr.Set(enNetServer, "HTTP response header too long");
        return 0;
    }
    if (!self->m_sHeaderBlock.Append(p, static_cast<int>(n))) {
        self->m_cbErr.Set(enNetNoMemory, "Out of memory for the response header");
        return 0;
    }
    return n;
}

size_t COrvHttpCurlEngine::OnBody(char* p, size_t nSize, size_t nItems, void* pv) {
    auto* self = static_cast<COrvHttpCurlEngine*>(pv);
    const size_t n = nSize * nItems;
    if (self->m_bBodyToSink && self->m_pTxn != nullptr) {
        // The status and headers are the caller's to see while the body streams to the sink
        // (a resumed download tells 206 from 200 by them).
        if (!self->m_bStatusShown) {
            COrvMemorySource src(self->m_sHeaderBlock);
            COrvHttpReader reader(&src, 4096);
            if (!OrvHttpRecvResponseHeader(reader, *self->m_pTxn, self->m_cbErr))
                return 0;
            self->m_bStatusShown = true;
        }
        const int nStatus = self->m_pTxn->m_nStatus;
        if (nStatus >= 200 && nStatus < 300) {
            COrvError err;
            if (!self->m_cfg.m_pRecvSink->WriteAll(p, static_cast<int64_t>(n), err)) {
                err.AddContext("Receiving body: ");
                self->m_cbErr.Pass(err);
                return 0;
            }
            return n;
        }
    }
    const int64_t nNew = static_cast<int64_t>(self->m_sBody.GetLength()) + static_cast<int64_t>(n);
    if (nNew >= kOrvHttpMaxMemoryBody) {
        self->m_cbErr.SetFormat(enNetBadRequest, "Response body is too long for memory, %lld bytes",
                                static_cast<long long>(nNew));
        return 0;
    }
    // Grow geometrically: appending slices one by one would copy the body over and over.
    const int nLen = self->m_sBody.GetLength();
    if (nNew > self->m_sBody.GetAllocLength()) {
        int64_t nCap = static_cast<int64_t>(self->m_sBody.GetAllocLength()) * 2;
        if (nCap < nNew)
            nCap = nNew + 65536;
        if (nCap >= kOrvHttpMaxMemoryBody)
            nCap = kOrvHttpMaxMemoryBody - 1;
        if (!self->m_sBody.Preallocate(static_cast<int>(nCap))) {
            self->m_cbErr.Set(enNetNoMemory, "Out of memory for the response body");
            return 0;
        }
        self->m_sBody.ReleaseBuffer(nLen);
    }
    if (!self->m_sBody.Append(p, static_cast<int>(n))) {
        self->m_cbErr.Set(enNetNoMemory, "Out of memory for the response body");
        return 0;
    }
    return n;
}

size_t COrvHttpCurlEngine::OnRead(char* p, size_t nSize, size_t nItems, void* pv) {
    auto* self = static_cast<COrvHttpCurlEngine*>(pv);
    size_t n = nSize * nItems;
    if (self->m_nUpLeft > 0) {
        if (n > kUploadSlice)
            n = kUploadSlice;
        if (static_cast<int64_t>(n) > self->m_nUpLeft)
            n = static_cast<size_t>(self->m_nUpLeft);
        memcpy(p, self->m_pUp, n);
        self->m_pUp += n;
        self->m_nUpLeft -= static_cast<int64_t>(n);
        self->m_nUpTotal += static_cast<int64_t>(n);
        if (self->m_pTxn)
            self->m_pTxn->m_n64BytesSent += static_cast<int64_t>(n);
        return n;
    }
    if (self->m_bStreamBody && !self->m_bUpEnd) {
        self->m_bUpWaiting = true;
        return CURL_READFUNC_PAUSE;
    }
    return 0;
}

CURLcode COrvHttpCurlEngine::OnSslContext(CURL* /*h*/, void* pSslCtx, void* pv) {
    auto* self = static_cast<COrvHttpCurlEngine*>(pv);
    COrvError err;
    if (OrvSslAddTrustedFileToContext(pSslCtx, self->m_cfg.m_net.m_tls.m_sCaFile, err) > 0)
        return CURLE_OK;
    OrvHttpObserverLog(self->m_cfg.m_pObserver, 3, "WinInet: %s", err.Text().GetString());
    return CURLE_SSL_CACERT_BADFILE;
}

int COrvHttpCurlEngine::OnSeek(void* pv, curl_off_t nOffset, int nOrigin) {
    auto* self = static_cast<COrvHttpCurlEngine*>(pv);
    // Only a rewind of a body held in memory can be done (libcurl asks when it must resend).
    if (nOrigin != SEEK_SET || nOffset != 0 || self->m_bStreamBody || self->m_pTxn == nullptr)
        return CURL_SEEKFUNC_CANTSEEK;
    self->m_pUp -= self->m_nUpTotal;
    self->m_nUpLeft += self->m_nUpTotal;
    self->m_nUpTotal = 0;
    return CURL_SEEKFUNC_OK;
}

void COrvHttpCurlEngine::ResetTarget(const COrvHttpTxn& txn) {
    m_sCurHost = m_cfg.m_sHost;
    m_nCurPort = ConfiguredPort();
    m_bCurHttps = m_cfg.m_bHttps;
    m_sCurPath = txn.m_sPath.IsEmpty() ? Str("/") : txn.m_sPath;
}

bool COrvHttpCurlEngine::SendReceive(COrvHttpTxn& txn, COrvError& err) {
    Detach();
    if (txn.m_nRecvMode != enHttpRecvMemory && txn.m_nRecvMode != enHttpRecvStream)
        return err.SetFormat(enNetBadRequest, "HTTP response stream: bad receieve body mode %d",
                             txn.m_nRecvMode);
    if (txn.m_nRecvMode == enHttpRecvStream && m_cfg.m_pRecvSink == nullptr)
        return err.Set(enNetBadRequest,
                       "Platform engine: a streamed response needs the connection's receive sink");
    ResetTarget(txn);
    m_bServerCreds = false;
    m_bProxyAsked = false;
    m_nServerAuth = CURLAUTH_ANY;
    m_bReconnected = false;
    m_nAttempt = 0;
    const bool bOk = Loop(txn, err);
    if (txn.m_nBodyMode != enHttpBodyStream || !bOk)
        LogResponse(txn, bOk ? nullptr : &err);
    return bOk;
}

bool COrvHttpCurlEngine::Loop(COrvHttpTxn& txn, COrvError& err) {
    COrvError last;
    for (;;) {
        if (++m_nAttempt >= 6) {
            COrvStringA s = last.Text();
            s += "; OrvHttpSendReceive: Too many attempts";
            return err.Set(last.Failed() ? last.Code() : enNetRetry, s);
        }
        COrvError e;
        bool bOk = Start(txn, e);
        if (bOk && txn.m_nBodyMode == enHttpBodyStream) {
            // The header is out when libcurl asks for the first body bytes.
            bOk = Drive(true, e);
            if (bOk && !m_bDone)
                return true;
            if (bOk)
                bOk = Interpret(txn, e);
            if (bOk)
                return true;
            // A step that ended before any body byte was taken (a CONNECT that asked for proxy
            // credentials) is taken again; once the caller's body is going, nothing can be sent
            // again from here.
            if (e.Code() == enNetRetry && m_nUpTotal == 0) {
                last = e;
                continue;
            }
            return err.Pass(e);
        }
        if (bOk)
            bOk = Drive(false, e) && Interpret(txn, e);
        if (bOk)
            return true;
        last = e;
        if (e.Code() == enNetRetry)
            continue;
        if (e.Code() == enNetConnection && txn.m_bRetryAfterReconnect && !m_bReconnected) {
            m_bReconnected = true;
            Close();
            ResetTarget(txn);
            continue;
        }
        return err.Pass(e);
    }
}

bool COrvHttpCurlEngine::Start(COrvHttpTxn& txn, COrvError& err) {
    Detach();
    m_pTxn = &txn;
    txn.ResetResponse();
    txn.m_n64BytesSent = 0;
    m_sHeaderBlock = COrvStringA();
    m_sBody = COrvStringA();
    m_bStatusShown = false;
    m_cbErr.Clear();
    m_bDone = false;
    m_result = CURLE_OK;
    m_szErr[0] = 0;
    if (m_pEasy == nullptr || m_pMulti == nullptr)
        return err.Set(enNetNoMemory, "Platform engine: no libcurl handle");
    if (m_pTxn->m_pBody == nullptr && txn.m_nBodyMode == enHttpBodyBuffer && txn.m_n64BodyLen > 0)
        return err.Set(enNetBadRequest, "no body buffer for the request body");
    if (!OrvHttpCheckAbort(m_cfg.m_pObserver, err))
        return false;
    if (m_cfg.m_pObserver) {
        int nCode = enNetOk;
        COrvStringA sText;
        if (!m_cfg.m_pObserver->OnProgress(-1, 0, nCode, sText))
            return err.Set(nCode == enNetOk ? enNetCancelled : nCode,
                           sText.IsEmpty() ? Str("transfer cancelled") : sText);
    }

    m_route = OrvHttpChooseRoute(m_sCurHost, m_cfg.m_bUseProxy, m_cfg.m_sProxyUserId,
                                 m_cfg.m_sProxyPassword);
    COrvStringA sProxyKey;
    (void)sProxyKey.Format("%s:%d %s", m_route.m_sHost.GetString(), m_route.m_nPort,
                           m_route.m_sUserId.GetString());
    if (sProxyKey.Compare(m_sProxyKey) != 0) {
        m_sProxyKey = sProxyKey;
        m_bProxyCreds = false;
        m_nProxyAuth = CURLAUTH_ANY;
    }
    // A streamed body cannot be sent twice: through an HTTP proxy (not a tunnel, whose
    // challenge comes before the body) the configured credentials go at once, as Basic unless
    // the proxy named its scheme before.
    if (txn.m_nBodyMode == enHttpBodyStream && !m_bCurHttps && !m_route.m_sHost.IsEmpty() &&
        strncasecmp(m_route.m_sHost, "socks5://", 9) != 0 && !m_route.m_sUserId.IsEmpty() &&
        !m_bProxyCreds) {
        m_bProxyCreds = true;
        m_nProxyAuth = CURLAUTH_BASIC;
    }
    const bool bSocks = strncasecmp(m_route.m_sHost, "socks5://", 9) == 0;
    const bool bViaHttpProxy = !m_route.m_sHost.IsEmpty() && !bSocks && !m_bCurHttps;

    // The header the socket engine would send: it checks the request (CR or LF in any field,
    // body mode, length) and gives the standard headers; libcurl writes the Request-Line, Host
    // (unless the caller gave one) and the body framing.
    COrvHttpRequestContext ctx;
    ctx.m_sHost = m_sCurHost;
    ctx.m_nPort = m_nCurPort;
    ctx.m_bHttps = m_bCurHttps;
    ctx.m_bViaHttpProxy = bViaHttpProxy;
    // Off the configured origin the caller's own credential headers stay behind.
    ctx.m_bSendCredentials = OnOrigin();
    COrvStringA sPathSaved = txn.m_sPath;
    txn.m_sPath = m_sCurPath;
    COrvStringA sHeader;
    const bool bBuilt = OrvHttpBuildRequestHeader(txn, ctx, sHeader, err);
    txn.m_sPath = sPathSaved;
    if (!bBuilt)
        return false;
    g_curl.curl_slist_free_all(m_pHeaders);
    m_pHeaders = nullptr;
    bool bHostGiven = false;
    txn.GetRequestHeader("Host", &bHostGiven);
    bool bAcceptGiven = false;
    txn.GetRequestHeader("Accept", &bAcceptGiven);
    int nPos = sHeader.Find('\n');  // past the Request-Line
    while (nPos >= 0 && nPos + 1 < sHeader.GetLength()) {
        const int nEnd = sHeader.Find('\n', nPos + 1);
        if (nEnd < 0)
            break;
        COrvStringA sLine = sHeader.Mid(nPos + 1, nEnd - nPos - 1);
        nPos = nEnd;
        sLine.TrimRight();
        if (sLine.IsEmpty())
            break;
        if ((!bHostGiven && strncasecmp(sLine, "host:", 5) == 0) ||
            strncasecmp(sLine, "content-length:", 15) == 0)
            continue;
        m_pHeaders = g_curl.curl_slist_append(m_pHeaders, sLine);
    }
    m_pHeaders = g_curl.curl_slist_append(m_pHeaders, "Expect:");
    if (!bAcceptGiven)
        m_pHeaders = g_curl.curl_slist_append(m_pHeaders, "Accept:");
    if (m_pHeaders == nullptr)
        return err.Set(enNetNoMemory, "Platform engine: out of memory for headers");

    // The body.
    m_bStreamBody = txn.m_nBodyMode == enHttpBodyStream;
    m_bUpEnd = false;
    m_bUpWaiting = false;
    m_nUpTotal = 0;
    int64_t nBodyLen = txn.m_n64BodyLen;
    if (txn.m_nBodyMode == enHttpBodyString) {
        m_pUp = txn.m_sRequestBody.GetString();
        m_nUpLeft = txn.m_sRequestBody.GetLength();
        if (nBodyLen >= 0)
            nBodyLen = m_nUpLeft;
    } else if (txn.m_nBodyMode == enHttpBodyBuffer) {
        m_pUp = static_cast<const char*>(txn.m_pBody);
        m_nUpLeft = nBodyLen > 0 ? nBodyLen : 0;
    } else {
        m_pUp = nullptr;
        m_nUpLeft = 0;
    }

    m_sUrl = OrvHttpRequestUrl(m_bCurHttps, m_sCurHost, m_nCurPort, m_sCurPath);

    OrvHttpObserverLog(m_cfg.m_pObserver, 4, "CReq-> %s:%d[%d] %s %s h=[%s] b=%s",
                       m_cfg.m_sHost.GetString(), ConfiguredPort(), m_cfg.m_bHttps ? 1 : 0,
                       txn.m_sMethod.GetString(), m_sCurPath.GetString(),
                       OrvHttpDescribeHeaders(txn.m_requestHeaders).GetString(),
                       OrvHttpDescribeBody(nBodyLen, true).GetString());

    // curl_easy_reset keeps the live transports, the TLS sessions and the cookies.
    CURL* h = m_pEasy;
    g_curl.curl_easy_reset(h);
    g_curl.curl_easy_setopt(h, CURLOPT_URL, m_sUrl.GetString());
    g_curl.curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    g_curl.curl_easy_setopt(h, CURLOPT_ERRORBUFFER, m_szErr);
    g_curl.curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    g_curl.curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    g_curl.curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &COrvHttpCurlEngine::OnHeader);
    g_curl.curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    g_curl.curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &COrvHttpCurlEngine::OnBody);
    g_curl.curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    g_curl.curl_easy_setopt(h, CURLOPT_HTTPHEADER, m_pHeaders);
    const COrvConnectSettings& net = m_cfg.m_net;
    g_curl.curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(net.m_nConnectTimeout));
    const int nSilence =
        net.m_nRecvTimeout > net.m_nSendTimeout ? net.m_nRecvTimeout : net.m_nSendTimeout;
    if (!net.m_bAllowIPv6)
        g_curl.curl_easy_setopt(h, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
    g_curl.curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    g_curl.curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(nSilence));
    g_curl.curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 262144L);
    g_curl.curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(kUploadSlice * 2));
    g_curl.curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    m_bBodyToSink = txn.m_nRecvMode == enHttpRecvStream;

    // The route: libcurl must never take a proxy from the environment on its own.
    g_curl.curl_easy_setopt(h, CURLOPT_NOPROXY, "");
    if (m_route.m_sHost.IsEmpty()) {
        g_curl.curl_easy_setopt(h, CURLOPT_PROXY, "");
    } else {
        COrvStringA sProxy = OrvHostUrlForm(bSocks ? m_route.m_sHost.Mid(9) : m_route.m_sHost);
        (void)sProxy.AppendFormat(":%d", m_route.m_nPort);
        OrvHttpObserverLog(m_cfg.m_pObserver, 4, "WinInet: Using manual proxy %s",
                           sProxy.GetString());
        g_curl.curl_easy_setopt(h, CURLOPT_PROXY, sProxy.GetString());
        g_curl.curl_easy_setopt(
            h, CURLOPT_PROXYTYPE,
            static_cast<long>(bSocks ? CURLPROXY_SOCKS5_HOSTNAME : CURLPROXY_HTTP));
        if (m_bProxyCreds) {
            g_curl.curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, m_route.m_sUserId.GetString());
            g_curl.curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, m_route.m_sPassword.GetString());
            g_curl.curl_easy_setopt(h, CURLOPT_PROXYAUTH, m_nProxyAuth);
        }
    }
    // Server credentials go to the configured origin only, never after a redirect left it.
    if (m_bServerCreds && OnOrigin()) {
        g_curl.curl_easy_setopt(h, CURLOPT_USERNAME, m_cfg.m_sUserId.GetString());
        g_curl.curl_easy_setopt(h, CURLOPT_PASSWORD, m_cfg.m_sPassword.GetString());
        g_curl.curl_easy_setopt(h, CURLOPT_HTTPAUTH, m_nServerAuth);
    }
    const COrvTlsSettings& tls = m_cfg.m_net.m_tls;
    if (tls.m_bTrustAny) {
        g_curl.curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
        g_curl.curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    } else if (!tls.m_sCaFile.IsEmpty()) {
        // Added to the trust store of this handle's own TLS context, beside the default roots.
        g_curl.curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &COrvHttpCurlEngine::OnSslContext);
        g_curl.curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, this);
    }
    if (!tls.m_sClientCertificate.IsEmpty()) {
        g_curl.curl_easy_setopt(h, CURLOPT_SSLCERT, tls.m_sClientCertificate.GetString());
        g_curl.curl_easy_setopt(h, CURLOPT_SSLCERTTYPE, "PEM");
        g_curl.curl_easy_setopt(h, CURLOPT_SSLKEY, tls.m_sClientCertificate.GetString());
    }
    if (m_cfg.m_bCookies)
        g_curl.curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");

    const bool bHasBody =
        m_bStreamBody || nBodyLen != 0 || txn.m_sMethod == "POST" || txn.m_sMethod == "PUT";
    if (txn.m_sMethod.CompareNoCase("HEAD") == 0) {
        g_curl.curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (bHasBody) {
        g_curl.curl_easy_setopt(h, CURLOPT_POST, 1L);
        g_curl.curl_easy_setopt(h, CURLOPT_READFUNCTION, &COrvHttpCurlEngine::OnRead);
        g_curl.curl_easy_setopt(h, CURLOPT_READDATA, this);
        g_curl.curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, &COrvHttpCurlEngine::OnSeek);
        g_curl.curl_easy_setopt(h, CURLOPT_SEEKDATA, this);
        if (nBodyLen >= 0)
            g_curl.curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                                    static_cast<curl_off_t>(nBodyLen));
        if (txn.m_sMethod != "POST")
            g_curl.curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, txn.m_sMethod.GetString());
    } else if (txn.m_sMethod == "GET") {
        g_curl.curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
        g_curl.curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, txn.m_sMethod.GetString());
    }

    // A plain connection kept from the last transfer that has become readable holds bytes no
    // request asked for (or the peer's close): it must not carry this one.
    if (m_idleSocket != CURL_SOCKET_BAD) {
        struct pollfd p = {m_idleSocket, POLLIN, 0};
        if (OrvSysPoll(&p, 1, 0) > 0)
            Close();
        m_idleSocket = CURL_SOCKET_BAD;
    }
    if (g_curl.curl_multi_add_handle(m_pMulti, h) != CURLM_OK)
        return err.Set(enNetNoMemory, "Platform engine: cannot start the transfer");
    m_bAdded = true;
    return true;
}

bool COrvHttpCurlEngine::Drive(bool bUntilUploadWanted, COrvError& err) {
    for (;;) {
        int nRunning = 0;
        const CURLMcode mc = g_curl.curl_multi_perform(m_pMulti, &nRunning);
        if (mc != CURLM_OK) {
            Detach();
            return err.SetFormat(enNetServer, "Platform engine: %s",
                                 g_curl.curl_multi_strerror(mc));
        }
        int nQueued = 0;
        while (CURLMsg* pMsg = g_curl.curl_multi_info_read(m_pMulti, &nQueued)) {
            if (pMsg->msg == CURLMSG_DONE && pMsg->easy_handle == m_pEasy) {
                m_bDone = true;
                m_result = pMsg->data.result;
            }
        }
        if (m_bDone) {
            long nConnects = 0;
            g_curl.curl_easy_getinfo(m_pEasy, CURLINFO_NUM_CONNECTS, &nConnects);
            m_nConnects += nConnects;
            m_idleSocket = CURL_SOCKET_BAD;
            if (!m_bCurHttps)
                g_curl.curl_easy_getinfo(m_pEasy, CURLINFO_ACTIVESOCKET, &m_idleSocket);
            Detach();
            return true;
        }
        if (bUntilUploadWanted && m_bUpWaiting)
            return true;
        if (!OrvHttpCheckAbort(m_cfg.m_pObserver, err)) {
            Detach();  // an unfinished transfer takes its transport with it
            return false;
        }
        // Wait for the transport or for libcurl's next timer, whichever comes first; at most
        // 200 ms so that the abort check runs.
        long nTimeout = -1;
        g_curl.curl_multi_timeout(m_pMulti, &nTimeout);
        if (nTimeout == 0)
            continue;
        g_curl.curl_multi_poll(m_pMulti, nullptr, 0,
                               nTimeout < 0 || nTimeout > 200 ? 200 : nTimeout, nullptr);
    }
}

bool COrvHttpCurlEngine::WriteBody(COrvHttpTxn& txn, const void* pData, int64_t nLen,
                                   COrvError& err) {
    if (!m_bAdded || !m_bStreamBody || m_pTxn != &txn)
        return err.Set(enNetBadRequest, "Platform engine: no streamed body is being sent");
    if (nLen <= 0)
        return true;
    m_pUp = static_cast<const char*>(pData);
    m_nUpLeft = nLen;
    m_bUpWaiting = false;
    g_curl.curl_easy_pause(m_pEasy, CURLPAUSE_CONT);
    if (!Drive(true, err))
        return false;
    if (m_bDone && m_nUpLeft > 0) {
        // The transfer ended before taking the body (the server answered early, or failed).
        COrvError e;
        if (Interpret(txn, e))
            return err.Set(enNetConnection, "WI written less than expected");
        return err.Pass(e);
    }
    return true;
}

bool COrvHttpCurlEngine::FinishBody(COrvHttpTxn& txn, COrvError& err) {
    if (m_pTxn != &txn || !m_bStreamBody)
        return err.Set(enNetBadRequest, "Platform engine: no streamed body is being sent");
    bool bOk = true;
    if (m_bAdded) {
        m_bUpEnd = true;
        m_bUpWaiting = false;
        g_curl.curl_easy_pause(m_pEasy, CURLPAUSE_CONT);
        bOk = Drive(false, err);
    }
    if (bOk && m_bDone)
        bOk = Interpret(txn, err);
    LogResponse(txn, bOk ? nullptr : &err);
    return bOk;
}

bool COrvHttpCurlEngine::Interpret(COrvHttpTxn& txn, COrvError& err) {
    m_bDone = false;  // interpreted once
    if (m_result != CURLE_OK) {
        if (m_cbErr.Failed())
            return err.Pass(m_cbErr);
        long nConnectCode = 0;
        g_curl.curl_easy_getinfo(m_pEasy, CURLINFO_HTTP_CONNECTCODE, &nConnectCode);
        if (nConnectCode >= 100 && (nConnectCode < 200 || nConnectCode > 299))
            return TunnelRefused(txn, err);
        const int nCode = OrvHttpCurlResultCode(m_result);
        COrvStringA s;
        (void)s.Format("%s (libcurl error %d)",
                       m_szErr[0] ? m_szErr : g_curl.curl_easy_strerror(m_result),
                       static_cast<int>(m_result));
        if (nConnectCode >= 300)
            (void)s.AppendFormat(", proxy answered CONNECT with %ld", nConnectCode);
        return err.Set(nCode, s);
    }
    // The header block as received, parsed by the same reader as the socket engine's.
    COrvMemorySource src(m_sHeaderBlock);
    COrvHttpReader reader(&src, 4096);
    if (!OrvHttpRecvResponseHeader(reader, txn, err))
        return false;
    txn.m_sBody = static_cast<COrvStringA&&>(m_sBody);
    m_sBody = COrvStringA();
    txn.m_bBodyComplete = true;
    const bool bToSink = m_bBodyToSink && txn.m_nStatus >= 200 && txn.m_nStatus < 300;
    if (!bToSink) {
        if (!OrvHttpCheckBodyDigests(txn, err))
            return false;
        if (txn.GetResponseHeader("content-encoding").CompareNoCase("gzip") == 0 &&
            !txn.m_sBody.IsEmpty()) {
            COrvStringA sOut;
            COrvError zErr;
            if (!OrvGunzip(txn.m_sBody.GetString(), txn.m_sBody.GetLength(), sOut, zErr)) {
                zErr.AddContext("Cannot unzip response body: ");
                return err.Set(enNetBadRequest, zErr.Text());
            }
            txn.m_sBody = sOut;
        }
    }
    if (!txn.m_bHandleStatus)
        return true;
    return InterpretStatus(txn, err);
}

bool COrvHttpCurlEngine::InterpretStatus(COrvHttpTxn& txn, COrvError& err) {
    const int nStatus = txn.m_nStatus;
    if ((nStatus >= 200 && nStatus < 300) || nStatus == 304)
        return true;
    if (IsRedirect(nStatus) && !txn.m_bFollowRedirects)
        return true;
    COrvStringA sServer;
    if (txn.m_sReason.IsEmpty())
        (void)sServer.Format("Server says: Code %d but no text (%s)", nStatus, m_sUrl.GetString());
    else
        (void)sServer.Format("Server says: %s (code %d)", txn.m_sReason.GetString(), nStatus);
    if (nStatus == 401 || nStatus == 403) {
        if (!m_bServerCreds && OnOrigin() && !m_cfg.m_sUserId.IsEmpty())
            return AskServerCredentials(txn, err);
        return err.Set(enNetAuth, Prefixed("Credentials rejected: ", sServer));
    }
    if (nStatus == 407) {
        const COrvStringA sChallenges = txn.GetResponseHeader("proxy-authenticate");
        if (sChallenges.IsEmpty())
            return err.Set(enNetProxyAuth, Prefixed("Proxy asks for no known scheme: ", sServer));
        m_nProxyAuth = AuthMask(sChallenges);
        return AskProxyCredentials(sServer, err);
    }
    if (IsRedirect(nStatus))
        return Redirect(txn, err);
    if (nStatus == 404)
        return err.Set(enNetNotFound, "Not Found by server");
    if (nStatus == 507)
        return err.Set(enNetResources, sServer);
    if (!m_route.m_sHost.IsEmpty() && nStatus == 503)
        return err.Set(enNetConnection,
                       Prefixed("Proxy reported Connection error: ", txn.m_sReason));
    if (!m_route.m_sHost.IsEmpty() && nStatus == 504)
        return err.Set(enNetConnection, Prefixed("Proxy reported timeout: ", txn.m_sReason));
    return err.Set(enNetServer, sServer);
}

bool COrvHttpCurlEngine::TunnelRefused(COrvHttpTxn& txn, COrvError& err) {
    // The header block holds the proxy's answer to CONNECT; its body never reaches the engine.
    COrvMemorySource src(m_sHeaderBlock);
    COrvHttpReader reader(&src, 4096);
    if (!OrvHttpRecvResponseHeader(reader, txn, err))
        return false;
    txn.m_bBodyComplete = true;
    if (txn.m_nStatus != 407)
        return OrvHttpTunnelRefused(txn, err);
    COrvStringA sServer;
    (void)sServer.Format("Server says: %s (code %d)", txn.m_sReason.GetString(), txn.m_nStatus);
    const COrvStringA sChallenges = txn.GetResponseHeader("proxy-authenticate");
    if (sChallenges.IsEmpty())
        return err.Set(enNetProxyAuth, Prefixed("Proxy asks for no known scheme: ", sServer));
    m_nProxyAuth = AuthMask(sChallenges);
    return AskProxyCredentials(sServer, err);
}

bool COrvHttpCurlEngine::AskServerCredentials(const COrvHttpTxn& txn, COrvError& err) {
    m_nServerAuth = AuthMask(txn.GetResponseHeader("www-authenticate"));
    m_bServerCreds = true;
    OrvHttpObserverLog(m_cfg.m_pObserver, 4, "WinInet: Supplied server authentication");
    return err.Set(enNetRetry, "Authentication requested");
}

bool COrvHttpCurlEngine::AskProxyCredentials(const COrvStringA& sServerText, COrvError& err) {
    if (m_bProxyAsked || m_route.m_sHost.IsEmpty())
        return err.Set(enNetProxyAuth, Prefixed("Proxy auth rejected: ", sServerText));
    m_bProxyAsked = true;
    m_bProxyCreds = true;
    if (m_route.m_sUserId.IsEmpty())
        OrvHttpObserverLog(m_cfg.m_pObserver, 3,
                           "Empty UserId for proxy authentication requested by WinInet, not likely "
                           "to succeed");
    else
        OrvHttpObserverLog(m_cfg.m_pObserver, 4,
                           "WinInet: Supplied proxy authentication: userid=%s",
                           m_route.m_sUserId.GetString());
    return err.Set(enNetRetry, "Proxy Authentication requested");
}

bool COrvHttpCurlEngine::Redirect(COrvHttpTxn& txn, COrvError& err) {
    COrvHttpRedirectTarget to;
    if (!OrvHttpRedirectTarget(txn.GetResponseHeader("location"), m_sUrl, to, err))
        return false;
    m_bCurHttps = to.m_bHttps;
    m_nCurPort = to.m_nPort;
    m_sCurHost = to.m_sHost;
    m_sCurPath = to.m_sPath;
    OrvHttpRedirectMethod(txn.m_nStatus, txn);
    if (++m_nRedirects <= 3)
        OrvHttpObserverLog(m_cfg.m_pObserver, 3, "Redirecting to %s", to.m_sUrl.GetString());
    return err.Set(enNetRetry, "Redirect requested");
}

void COrvHttpCurlEngine::LogResponse(const COrvHttpTxn& txn, const COrvError* pErr) {
    if (m_cfg.m_pObserver == nullptr)
        return;
    const COrvStringA sHeaders = OrvHttpDescribeHeaders(txn.m_responseHeaders);
    const COrvStringA sBody = OrvHttpDescribeBody(txn.m_n64RecvBodyLen, txn.m_bBodyComplete);
    if (pErr == nullptr)
        OrvHttpObserverLog(m_cfg.m_pObserver, 4, "CRsp<- %s:%d[%d] %d '%s' h=[%s] b=%s",
                           m_cfg.m_sHost.GetString(), ConfiguredPort(), m_cfg.m_bHttps ? 1 : 0,
                           txn.m_nStatus, txn.m_sReason.GetString(), sHeaders.GetString(),
                           sBody.GetString());
    else
        OrvHttpObserverLog(m_cfg.m_pObserver, 4, "CRsp<- %s:%d ERR='%s' %d '%s' h=[%s] b=%s",
                           m_cfg.m_sHost.GetString(), ConfiguredPort(), pErr->Text().GetString(),
                           txn.m_nStatus, txn.m_sReason.GetString(), sHeaders.GetString(),
                           sBody.GetString());
}

}  // namespace

int OrvHttpCurlResultCode(int nCurlCode, OrvHttpErrorClass* pClass) {
    if (pClass)
        *pClass = enHttpErrOther;
    if (nCurlCode == CURLE_OK)
        return enNetOk;
    for (const CurlCodeEntry& e : kCurlCodes) {
        if (static_cast<int>(e.code) == nCurlCode) {
            if (pClass)
                *pClass = e.cls;
            return e.cls == enHttpErrConnection ? enNetConnection
                   : e.cls == enHttpErrAuth     ? enNetAuth
                                                : enNetServer;
        }
    }
    return enNetServer;
}

COrvSharedLibrary& OrvHttpCurlLibrary() {
    static COrvSharedLibrary s_library("libcurl.so.4", kCurlFunctions, std::size(kCurlFunctions));
    return s_library;
}

std::unique_ptr<IOrvHttpEngine> OrvHttpCreateCurlEngine(const COrvHttpConnConfig& cfg,
                                                        COrvError& err) {
    if (!OrvHttpCurlLibrary().Load(err))
        return nullptr;
    std::call_once(g_curl_init_once, [] {
        g_curl_init_ok = g_curl.curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    });
    std::unique_ptr<COrvHttpCurlEngine> p;
    if (g_curl_init_ok)
        p.reset(new (std::nothrow) COrvHttpCurlEngine(cfg));
    if (!p || !p->Init()) {
        err.Set(enNetNotReady, "libcurl cannot make its handles");
        return nullptr;
    }
    return p;
}
