// The CONNECT step: the request and its proxy authentication on the step below.
#include "orv-http-tunnel.h"

#include "orv-http-response.h"
#include "orv-http-wire.h"
#include "orv-socket.h"

namespace {

// Connections to the proxy: the first, and one more when it hung up after asking for
// credentials.
constexpr int kRounds = 2;
// CONNECT requests in all (a 407 answered is one more).
constexpr int kRequests = 5;

bool Is2xx(int nStatus) {
    return nStatus >= 200 && nStatus <= 299;
}

}  // namespace

COrvHttpConnectTransport::COrvHttpConnectTransport(std::unique_ptr<IOrvTransport> pLower,
                                                   const COrvHttpTunnelSettings& settings)
    : m_pLower(std::move(pLower)),
      m_settings(settings),
      m_stream(m_pLower.get()),
      m_reader(&m_stream, 16384) {}

bool COrvHttpConnectTransport::Exchange(IOrvTransferObserver* pObserver, COrvError& err,
                                        bool* pbAgain) {
    *pbAgain = false;
    COrvStringA sTarget;
    (void)sTarget.Format("%s:%d", OrvHostUrlForm(m_settings.m_sHost).GetString(),
                         m_settings.m_nPort);
    COrvHttpTxn txn;
    txn.m_sMethod = "CONNECT";
    txn.m_sPath = sTarget;
    txn.m_bFollowRedirects = false;
    txn.m_bAddStandardHeaders = false;
    txn.m_requestHeaders.SetAt("Connection", "Keep-Alive");
    txn.m_requestHeaders.SetAt("Host", sTarget);
    m_reader.SetObserver(pObserver);
    const int nBefore = m_settings.m_nProxyAuthState;
    COrvError e;
    for (int nRequest = 1;; ++nRequest) {
        e.Clear();
        if (nRequest > kRequests) {
            (void)e.Set(enNetProxyAuth, "too many CONNECT requests");
            break;
        }
        if (!m_pLower->IsOpen()) {
            (void)e.Set(enNetConnection, "Proxy closed the connection");
            break;
        }
        COrvHttpRequestContext req;
        req.m_sHost = m_settings.m_sHost;
        req.m_nPort = m_settings.m_nPort;
        req.m_bTunnelRequest = true;
        // A CONNECT is read by the proxy: no server credentials, no cookies.
        req.m_bSendCredentials = false;
        req.m_nProxyAuthState = m_settings.m_nProxyAuthState;
        req.m_sProxyUserId = m_settings.m_sProxyUserId;
        req.m_sProxyPassword = m_settings.m_sProxyPassword;
        req.m_pAuthSchemes = m_settings.m_pAuthSchemes;
        if (!OrvHttpSendRequest(m_stream, txn, req, e))
            break;
        COrvHttpResponseContext rsp;
        rsp.m_sHost = m_settings.m_sHost;
        rsp.m_nPort = m_settings.m_nPort;
        rsp.m_bViaProxy = true;
        rsp.m_bTunnelRequest = true;
        rsp.m_sProxyHost = m_settings.m_sProxyHost;
        rsp.m_nProxyAuthState = m_settings.m_nProxyAuthState;
        rsp.m_bCredentialsAllowed = false;
        rsp.m_pAuthSchemes = m_settings.m_pAuthSchemes;
        rsp.m_pObserver = pObserver;
        COrvHttpResponseOutcome outcome;
        const bool bOk = OrvHttpReceiveResponse(m_reader, txn, rsp, outcome, e);
        m_settings.m_nProxyAuthState = rsp.m_nProxyAuthState;
        if (outcome.m_bClose)
            m_pLower->Close(true);
        m_nRefusal = Is2xx(txn.m_nStatus) ? 0 : txn.m_nStatus;
        if (bOk) {
            if (!Is2xx(txn.m_nStatus)) {
                (void)OrvHttpTunnelRefused(txn, e);
                break;
            }
            if (!m_pLower->IsOpen())
                return err.SetFormat(enNetConnection, "Proxy %s:%d closed connection after CONNECT",
                                     m_settings.m_sProxyHost.GetString(), m_settings.m_nProxyPort);
            return true;
        }
        if (e.Code() == enNetRetry && m_pLower->IsOpen())
            continue;
        // Asked for credentials, and the proxy hung up before they could be sent.
        if ((e.Code() == enNetRetry || e.Code() == enNetConnection) &&
            m_settings.m_nProxyAuthState != 0 && m_settings.m_nProxyAuthState != nBefore) {
            *pbAgain = true;
            m_nRefusal = 0;
        }
        break;
    }
    if (m_nRefusal == 503 || m_nRefusal == 504)
        return err.Pass(e);
    COrvStringA sContext;
    sContext.Format("CONNECT through proxy %s:%d: ", m_settings.m_sProxyHost.GetString(),
                    m_settings.m_nProxyPort);
    return err.Pass(e, sContext);
}

bool COrvHttpConnectTransport::Connect(int64_t nDeadlineMs, IOrvTransferObserver* pObserver,
                                       COrvError& err) {
    OrvHttpObserverLog(pObserver, 3, "Using CONNECT proxy %s:%d to connect to host %s:%d",
                       m_settings.m_sProxyHost.GetString(), m_settings.m_nProxyPort,
                       m_settings.m_sHost.GetString(), m_settings.m_nPort);
    m_nRefusal = 0;
    for (int nRound = 1;; ++nRound) {
        m_reader.Reset();
        COrvError e;
        if (!m_pLower->Connect(nDeadlineMs, pObserver, e)) {
            COrvStringA sContext;
            sContext.Format("CONNECT through proxy %s:%d: ", m_settings.m_sProxyHost.GetString(),
                            m_settings.m_nProxyPort);
            return err.Pass(e, sContext);
        }
        bool bAgain = false;
        if (OrvTransportBeforeDeadline(nDeadlineMs, "CONNECT", e) &&
            Exchange(pObserver, e, &bAgain))
            break;
        m_pLower->Close(true);
        // NTLM is bound to its connection: a new one starts with the negotiate message again.
        if (m_settings.m_nProxyAuthState == 4)
            m_settings.m_nProxyAuthState = 3;
        if (!bAgain || nRound == kRounds)
            return err.Pass(e);
    }
    if (m_pLower->SetTimeouts(m_settings.m_nSendTimeout, m_settings.m_nRecvTimeout, err))
        return true;
    m_pLower->Close(true);
    return false;
}

bool COrvHttpConnectTransport::Recv(void* pBuf, int nMax, int& nGot, COrvError& err) {
    if (m_reader.Buffered() > 0) {
        nGot = m_reader.Read(pBuf, nMax, err);
        return nGot >= 0;
    }
    return m_pLower->Recv(pBuf, nMax, nGot, err);
}

void COrvHttpConnectTransport::Close(bool bHard) {
    m_reader.Reset();
    m_pLower->Close(bHard);
}

COrvStringA COrvHttpConnectTransport::Describe() const {
    COrvStringA s;
    s.Format("CONNECT to %s:%d over ", OrvHostUrlForm(m_settings.m_sHost).GetString(),
             m_settings.m_nPort);
    return s + m_pLower->Describe();
}
