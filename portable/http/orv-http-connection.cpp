#include "orv-http-connection.h"

#include <cstdlib>
#include <cstring>

#include "orv-http-auth.h"
#include "orv-http-proxy.h"
#include "orv-http-response.h"
#include "orv-http-tunnel.h"
#include "orv-http-wire.h"
#include "orv-socks-proxy.h"
#include "orv-tcp-transport.h"
#include "orv-tls-transport.h"
#include "orv-url.h"

namespace {

// Connect, send and receive time-outs (seconds) while talking to an HTTP proxy.
constexpr int kProxyStepTimeout = 10;

// Stale bodies shorter than this are read away so that the connection can be kept.
constexpr int64_t kDrainLimit = 524288;

// Replaces whatever err holds by code and text (the exchange's own decisions override the
// lower layer's text, which the caller already saw as the attempt's failure).
bool Replace(COrvError& err, int nCode, const COrvStringA& sText) {
    err.Clear();
    return err.Set(nCode, sText);
}

int64_t RequestBodyLength(const COrvHttpTxn& txn) {
    if (txn.m_nBodyMode == enHttpBodyString && txn.m_n64BodyLen >= 0)
        return txn.m_sRequestBody.GetLength();
    return txn.m_n64BodyLen;
}

}  // namespace

// ---- COrvHttpConnection ----

COrvHttpConnection::COrvHttpConnection() = default;

COrvHttpConnection::~COrvHttpConnection() {
    Close(true);
}

OrvHttpRoute COrvHttpConnection::Route() const {
    if (m_sProxyHost.IsEmpty())
        return OrvHttpRoute::enDirect;
    if (m_sProxyHost.Left(9).CompareNoCase("socks5://") == 0)
        return OrvHttpRoute::enSocks5;
    if (m_bPlainThroughProxy && !m_bCurHttps)
        return OrvHttpRoute::enHttpProxy;
    return OrvHttpRoute::enConnectTunnel;
}

void COrvHttpConnection::Close(bool bHard) {
    if (m_pTransport) {
        m_pTransport->Close(bHard);
        m_pTransport.reset();
    }
    m_pTunnel = nullptr;
    m_stream.SetTransport(nullptr);
    m_reader.Reset();
    m_bConnected = false;
    m_bViaHttpProxy = false;
    m_bBodyPending = false;
    m_nExchangesOnSocket = 0;
    // NTLM is bound to its connection: a challenge taken on this one cannot be answered on the
    // next, which starts the handshake again with its negotiate message.
    if (m_nServerAuthState == 4)
        m_nServerAuthState = 3;
    if (m_nProxyAuthState == 4)
        m_nProxyAuthState = 3;
}

void COrvHttpConnection::Shutdown() {
    if (m_pTransport)
        m_pTransport->Shutdown();
}

COrvStringA COrvHttpConnection::DescribeTransport() const {
    return TransportOpen() ? m_pTransport->Describe() : COrvStringA();
}

bool COrvHttpConnection::HasStrayBytes(bool bAskSocket) {
    if (m_reader.Buffered() > 0)
        return true;
    return m_pTransport && m_pTransport->IsOpen() && m_pTransport->HasPendingInput(bAskSocket);
}

bool COrvHttpConnection::AtConfiguredOrigin() const {
    const int nPort = m_nPort != 0 ? m_nPort : DefaultPort(m_bHttps);
    return m_bCurHttps == m_bHttps && m_nCurPort == nPort && m_sCurHost.CompareNoCase(m_sHost) == 0;
}

void COrvHttpConnection::ReturnToConfigured() {
    const int nPort = m_nPort != 0 ? m_nPort : DefaultPort(m_bHttps);
    if (TransportOpen() && !AtConfiguredOrigin())
        Close(true);
    m_sCurHost = m_sHost;
    m_nCurPort = nPort;
    m_bCurHttps = m_bHttps;
    m_bPlainThroughProxy = m_bPlainTarget;
    m_bDowngraded = false;
}

std::unique_ptr<IOrvTransport> COrvHttpConnection::BuildTransport(
    OrvHttpRoute route, COrvHttpConnectTransport** ppTunnel) const {
    *ppTunnel = nullptr;
    std::unique_ptr<IOrvTransport> p;
    if (route == OrvHttpRoute::enDirect) {
        p.reset(new (std::nothrow) COrvTcpTransport(m_sCurHost, m_nCurPort, m_net));
    } else if (route == OrvHttpRoute::enSocks5) {
        // One attempt that blocks until the system gives up, then the connection's time-outs.
        COrvConnectSettings toProxy = m_net;
        toProxy.m_nConnectTimeout = 0;
        toProxy.m_nAttempts = 1;
        std::unique_ptr<IOrvTransport> pTcp(
            new (std::nothrow) COrvTcpTransport(m_sProxyHost.Mid(9), m_nProxyPort, toProxy));
        if (pTcp)
            p.reset(new (std::nothrow)
                        COrvSocks5Transport(std::move(pTcp), m_sCurHost, m_nCurPort));
    } else {
        COrvConnectSettings toProxy = m_net;
        toProxy.m_nConnectTimeout = kProxyStepTimeout;
        toProxy.m_nSendTimeout = kProxyStepTimeout;
        toProxy.m_nRecvTimeout = kProxyStepTimeout;
        toProxy.m_nAttempts = 1;
        p.reset(new (std::nothrow) COrvTcpTransport(m_sProxyHost, m_nProxyPort, toProxy));
        if (p && route == OrvHttpRoute::enConnectTunnel) {
            COrvHttpTunnelSettings t;
            t.m_sProxyHost = m_sProxyHost;
            t.m_nProxyPort = m_nProxyPort;
            t.m_sHost = m_sCurHost;
            t.m_nPort = m_nCurPort;
            t.m_sProxyUserId = m_sProxyUserId;
            t.m_sProxyPassword = m_sProxyPassword;
            t.m_nProxyAuthState = m_nProxyAuthState;
            t.m_pAuthSchemes = m_pAuthSchemes;
            t.m_nSendTimeout = m_net.m_nSendTimeout;
            t.m_nRecvTimeout = m_net.m_nRecvTimeout;
            auto* pTunnel = new (std::nothrow) COrvHttpConnectTransport(std::move(p), t);
            p.reset(pTunnel);
            *ppTunnel = pTunnel;
        }
    }
    // TLS to the target itself: its name, not a proxy's, is what the certificate must match.
    if (p && m_bCurHttps && route != OrvHttpRoute::enHttpProxy)
        p.reset(new (std::nothrow)
                    COrvTlsTransport(std::move(p), m_sCurHost, m_nCurPort, m_net.m_tls));
    if (!p)
        *ppTunnel = nullptr;
    return p;
}

bool COrvHttpConnection::Connect(COrvError& err) {
    Close(true);
    OrvHttpRoute route = Route();
    // The configured host's route was chosen above the connection; a redirect that leads to a
    // local host leaves the proxy.
    if (route != OrvHttpRoute::enDirect && m_sCurHost.CompareNoCase(m_sHost) != 0 &&
        OrvHttpIsLocalHost(m_sCurHost))
        route = OrvHttpRoute::enDirect;
    m_pTransport = BuildTransport(route, &m_pTunnel);
    if (!m_pTransport)
        return err.Set(enNetNoMemory, "out of memory for the connection");
    bool bOk = m_pTransport->Connect(0, m_pObserver, err);
    m_nRefusal = 0;
    if (m_pTunnel != nullptr) {
        m_nProxyAuthState = m_pTunnel->ProxyAuthState();
        m_nRefusal = m_pTunnel->RefusalStatus();
    }
    if (bOk && route == OrvHttpRoute::enHttpProxy) {
        OrvHttpObserverLog(m_pObserver, 3, "Using HTTP proxy %s:%d to connect to host %s:%d",
                           m_sProxyHost.GetString(), m_nProxyPort, m_sCurHost.GetString(),
                           m_nCurPort);
        bOk = m_pTransport->SetTimeouts(m_net.m_nSendTimeout, m_net.m_nRecvTimeout, err);
    }
    if (!bOk) {
        Close(true);
        return false;
    }
    m_stream.SetTransport(m_pTransport.get());
    m_bViaHttpProxy = route == OrvHttpRoute::enHttpProxy;
    m_bConnected = true;
    ++m_n64Connects;
    return true;
}

bool COrvHttpConnection::PrepareExchange(COrvError& err) {
    if (!m_bBodyPending)
        return true;
    m_bBodyPending = false;
    const int64_t nLen = m_n64PendingLen;
    if (nLen < 0 && nLen != kOrvHttpLenUnknown && nLen != kOrvHttpLenChunked) {
        Close(true);
        return err.SetFormat(enNetBadRequest, "bad incoming body length %lld",
                             static_cast<long long>(nLen));
    }
    if (m_bCloseAfterBody) {
        Close(true);
        return true;
    }
    if (m_pendingBody.IsDone() || !TransportOpen())
        return true;
    const bool bDrain = (nLen >= 0 && nLen < kDrainLimit) || nLen == kOrvHttpLenChunked;
    if (!bDrain) {
        Close(true);
        return true;
    }
    char* p = static_cast<char*>(std::malloc(kDrainLimit));
    if (p == nullptr) {
        Close(true);
        return true;
    }
    COrvError drainErr;
    int n;
    while ((n = m_pendingBody.Read(p, static_cast<int>(kDrainLimit), drainErr)) > 0) {
    }
    std::free(p);
    // A body that cannot be read away leaves the connection in an unknown place: start afresh.
    if (n < 0 || !TransportOpen())
        Close(true);
    return true;
}

bool COrvHttpConnection::SendRequest(COrvHttpTxn& txn, COrvError& err) {
    if (m_pObserver != nullptr) {
        int nCode = enNetOk;
        COrvStringA sText;
        if (!m_pObserver->OnProgress(-1, 0, nCode, sText))
            return err.Set(nCode == enNetOk ? enNetCancelled : nCode,
                           sText.IsEmpty() ? COrvStringA("transfer cancelled") : sText);
    }
    if (m_sCurHost.IsEmpty())
        ReturnToConfigured();
    OrvHttpObserverLog(m_pObserver, 4, "CReq-> %s:%d[%d] %s %s h=[%s] b=%s", m_sHost.GetString(),
                       m_nPort != 0 ? m_nPort : DefaultPort(m_bHttps), m_bHttps ? 1 : 0,
                       txn.m_sMethod.GetString(), txn.m_sPath.GetString(),
                       OrvHttpDescribeHeaders(txn.m_requestHeaders).GetString(),
                       OrvHttpDescribeBody(RequestBodyLength(txn), true).GetString());
    if (IsConnected() && m_nExchangesOnSocket > 0 && HasStrayBytes(true))
        Close(true);
    if (!IsConnected()) {
        if (!Connect(err)) {
            // A proxy's refusal of the tunnel is this request's answer.
            if (m_nRefusal != 0) {
                txn.ResetResponse();
                txn.m_nStatus = m_nRefusal;
            }
            return false;
        }
    }

    // Credentials and cookies stay with the origin they were given for.
    const bool bOwnOrigin = AtConfiguredOrigin() && !m_bDowngraded;
    COrvHttpRequestContext ctx;
    ctx.m_sHost = m_sCurHost;
    ctx.m_nPort = m_nCurPort;
    ctx.m_bHttps = m_bCurHttps;
    ctx.m_bViaHttpProxy = m_bViaHttpProxy;
    ctx.m_nServerAuthState = bOwnOrigin ? m_nServerAuthState : 0;
    ctx.m_sUserId = m_sUserId;
    ctx.m_sPassword = m_sPassword;
    // Also decides whether the caller's own Authorization, Cookie and Proxy-Authorization go.
    ctx.m_bSendCredentials = bOwnOrigin;
    // A streamed body cannot be sent twice: through a plain HTTP proxy the configured
    // credentials go with it at once (Basic) unless the proxy already named its scheme.
    if (txn.m_nBodyMode == enHttpBodyStream && m_bViaHttpProxy && m_nProxyAuthState == 0 &&
        !m_sProxyUserId.IsEmpty())
        m_nProxyAuthState = 1;
    ctx.m_nProxyAuthState = m_nProxyAuthState;
    ctx.m_sProxyUserId = m_sProxyUserId;
    ctx.m_sProxyPassword = m_sProxyPassword;
    if (m_bCookies && !m_bDowngraded)
        ctx.m_sCookieHeader = m_jar.BuildHeader(m_sCurHost, m_bCurHttps, txn.m_sPath);
    ctx.m_pAuthSchemes = m_pAuthSchemes;
    if (!OrvHttpSendRequest(m_stream, txn, ctx, err)) {
        // Refusals before sending keep the connection; a failed write has closed the transport.
        if (!TransportOpen())
            Close(true);
        return false;
    }
    return true;
}

bool COrvHttpConnection::ActOnRedirect(const COrvHttpRedirectTarget& to, COrvHttpTxn& txn,
                                       COrvError& err) {
    ++m_nRedirects;
    if (m_nRedirects <= 3)
        OrvHttpObserverLog(m_pObserver, 3, "Redirecting to %s", to.m_sUrl.GetString());
    if (to.m_bHttps != m_bCurHttps || to.m_nPort != m_nCurPort ||
        to.m_sHost.CompareNoCase(m_sCurHost) != 0) {
        Close(true);
        if (m_bCurHttps && !to.m_bHttps)
            m_bDowngraded = true;
        m_sCurHost = to.m_sHost;
        m_nCurPort = to.m_nPort;
        m_bCurHttps = to.m_bHttps;
    }
    OrvHttpRedirectMethod(txn.m_nStatus, txn);
    txn.m_sPath = to.m_sPath;
    (void)err;
    return false;
}

// The receive step of an attempt. *pbNothingRead tells whether the failure came before any byte
// of the reply (a kept-alive connection that the server had already closed).
bool COrvHttpConnection::ReceiveInner(COrvHttpTxn& txn, COrvError& err, bool* pbNothingRead) {
    const bool bOwnOrigin = AtConfiguredOrigin() && !m_bDowngraded;
    COrvHttpResponseContext ctx;
    ctx.m_sHost = m_sCurHost;
    ctx.m_nPort = m_nCurPort;
    ctx.m_bHttps = m_bCurHttps;
    ctx.m_bViaProxy = Route() != OrvHttpRoute::enDirect;
    ctx.m_sProxyHost = m_sProxyHost;
    ctx.m_pCookieJar = m_bCookies ? &m_jar : nullptr;
    // Another origin gets a state of its own for this exchange; the configured origin's state
    // is kept for the next one.
    ctx.m_nServerAuthState = bOwnOrigin ? m_nServerAuthState : 0;
    ctx.m_nProxyAuthState = m_nProxyAuthState;
    ctx.m_bCredentialsAllowed = bOwnOrigin;
    ctx.m_pAuthSchemes = m_pAuthSchemes;
    ctx.m_pObserver = m_pObserver;
    m_reader.SetObserver(m_pObserver);
    const int64_t nConsumedBefore = m_reader.Consumed();
    COrvHttpResponseOutcome outcome;
    const bool bOk = OrvHttpReceiveResponse(m_reader, txn, ctx, outcome, err);
    if (pbNothingRead != nullptr)
        *pbNothingRead = m_reader.Consumed() == nConsumedBefore;
    if (bOwnOrigin)
        m_nServerAuthState = ctx.m_nServerAuthState;
    m_nProxyAuthState = ctx.m_nProxyAuthState;
    if (m_reader.Consumed() != nConsumedBefore)
        ++m_nExchangesOnSocket;

    const bool bLeftToCaller = bOk && txn.m_nRecvMode == enHttpRecvStream && !txn.m_bBodyComplete &&
                               txn.m_nStatus >= 200 && txn.m_nStatus <= 299 && TransportOpen();
    if (bLeftToCaller) {
        m_pendingBody.Start(&m_reader, txn.m_n64RecvBodyLen, txn.m_bReadUntilClose, 0);
        m_bBodyPending = true;
        m_n64PendingLen = txn.m_n64RecvBodyLen;
        m_bCloseAfterBody = outcome.m_bClose;
        return true;
    }
    // Bytes beyond the end of a complete response would be read as the next one's start.
    if (outcome.m_bClose || !TransportOpen() || HasStrayBytes(false))
        Close(true);
    if (bOk)
        return true;
    if (outcome.m_bSwitchToTls) {
        // The server wants TLS on this endpoint; the configured endpoint keeps it from now on.
        if (AtConfiguredOrigin())
            m_bHttps = true;
        m_bCurHttps = true;
        Close(true);
    } else if (!outcome.m_sRedirectUrl.IsEmpty() && err.Code() == enNetRetry) {
        return ActOnRedirect(outcome.m_redirect, txn, err);
    }
    return false;
}

void COrvHttpConnection::LogResponse(const COrvHttpTxn& txn, bool bOk, const COrvError& err) {
    if (m_pObserver == nullptr)
        return;
    const COrvStringA sHeaders = OrvHttpDescribeHeaders(txn.m_responseHeaders);
    const COrvStringA sBody = OrvHttpDescribeBody(txn.m_n64RecvBodyLen, txn.m_bBodyComplete);
    if (bOk)
        OrvHttpObserverLog(m_pObserver, 4, "CRsp<- %s:%d[%d] %d '%s' h=[%s] b=%s",
                           m_sHost.GetString(), m_nPort, m_bHttps ? 1 : 0, txn.m_nStatus,
                           txn.m_sReason.GetString(), sHeaders.GetString(), sBody.GetString());
    else
        OrvHttpObserverLog(m_pObserver, 4, "CRsp<- %s:%d ERR='%s' %d '%s' h=[%s] b=%s",
                           m_sHost.GetString(), m_nPort, err.Text().GetString(), txn.m_nStatus,
                           txn.m_sReason.GetString(), sHeaders.GetString(), sBody.GetString());
}

bool COrvHttpConnection::ReceiveResponse(COrvHttpTxn& txn, COrvError& err) {
    COrvError e;
    const bool bOk = ReceiveInner(txn, e, nullptr);
    LogResponse(txn, bOk, e);
    if (!bOk)
        return err.Pass(e);
    return true;
}

bool COrvHttpConnection::SendReceive(COrvHttpTxn& txn, COrvError& err) {
    COrvError e;
    bool bOk = PrepareExchange(e);
    if (bOk) {
        if (txn.m_nBodyMode != enHttpBodyStream)
            ReturnToConfigured();
        bool bReconnected = false;  // the one retry after reconnecting was used
        bool bStaleRetried = false;
        bOk = false;
        for (int nAttempt = 1;; ++nAttempt) {
            if (nAttempt == 6) {
                COrvStringA s = e.Text();
                s += "; OrvHttpSendReceive: Too many attempts";
                Replace(e, e.Code(), s);
                break;
            }
            e.Clear();
            const bool bReused = IsConnected() && m_nExchangesOnSocket > 0;
            bool bNothingRead = true;
            if (SendRequest(txn, e)) {
                if (txn.m_nBodyMode == enHttpBodyStream) {
                    bOk = true;
                    break;
                }
                if (ReceiveInner(txn, e, &bNothingRead)) {
                    bOk = true;
                    break;
                }
            }
            if (e.Code() == enNetRetry)
                continue;
            if (e.Code() != enNetConnection)
                break;
            Close(true);
            ReturnToConfigured();
            // A kept-alive connection that the server closed while it was idle has not seen
            // the request: send it once more on a new connection.
            if (bReused && bNothingRead && !bStaleRetried && txn.m_nBodyMode != enHttpBodyStream) {
                bStaleRetried = true;
                continue;
            }
            if (txn.m_bRetryAfterReconnect && !bReconnected) {
                bReconnected = true;
                continue;
            }
            break;
        }
    }
    if (txn.m_nBodyMode != enHttpBodyStream || !bOk)
        LogResponse(txn, bOk, e);
    if (bOk) {
        COrvError abortErr;
        if (!OrvHttpCheckAbort(m_pObserver, abortErr))
            return err.Pass(abortErr);
        return true;
    }
    return err.Pass(e);
}

bool COrvHttpConnection::WriteBody(COrvHttpTxn& txn, const void* pData, int64_t nLen,
                                   COrvError& err) {
    if (!OrvHttpWriteBody(m_stream, txn, pData, nLen, err)) {
        if (!TransportOpen())
            Close(true);
        return false;
    }
    return true;
}

bool COrvHttpConnection::WriteString(COrvHttpTxn& txn, const COrvStringA& s, COrvError& err) {
    return WriteBody(txn, s.GetString(), s.GetLength(), err);
}

bool COrvHttpConnection::WriteFile(COrvHttpTxn& txn, const char* pszPath, COrvError& err) {
    if (!OrvHttpWriteFileBody(m_stream, txn, pszPath, err)) {
        if (!TransportOpen())
            Close(true);
        return false;
    }
    return true;
}

bool COrvHttpConnection::FinishBody(COrvHttpTxn& txn, COrvError& err) {
    if (!OrvHttpFinishBody(m_stream, txn, err)) {
        if (!TransportOpen())
            Close(true);
        return false;
    }
    return true;
}

int COrvHttpConnection::ReadBody(COrvHttpTxn& txn, void* pBuf, int nMax, COrvError& err) {
    if (!m_bBodyPending)
        return 0;
    // Receives take whatever has arrived. A raised receive low-water mark looks cheaper (fewer
    // wake-ups), but on Linux raising it may clamp the socket's receive window to the mark; the
    // receive buffer then stays small, the queue overflows, segments are dropped and a fast
    // body on loopback runs at about half speed behind the retransmissions.
    const int n = m_pendingBody.Read(pBuf, nMax, err);
    if (n < 0) {
        Close(true);
        return -1;
    }
    if (n == 0 && m_pendingBody.IsDone()) {
        txn.m_bBodyComplete = true;
        m_bBodyPending = false;
        if (m_bCloseAfterBody || HasStrayBytes(false))
            Close(true);
    }
    return n;
}

bool OrvHttpSendReceive(COrvHttpConnection& conn, COrvHttpTxn& txn, COrvError& err) {
    return conn.SendReceive(txn, err);
}

bool OrvHttpSendReceive(COrvHttpConnection& conn, COrvHttpTxn& txn, int& nCode,
                        COrvStringA& strError) {
    COrvError err;
    const bool b = conn.SendReceive(txn, err);
    nCode = err.Code();
    strError = err.Text();
    return b;
}

void OrvHttpClose(COrvHttpConnection& conn, bool bHard) {
    conn.Close(bHard);
}
