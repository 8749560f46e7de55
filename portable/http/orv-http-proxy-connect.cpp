// The connect step of the socket engine's proxy routes: SOCKS5, HTTP proxies and CONNECT tunnels.
#include "orv-http-socket-engine.h"

#include "orv-http-proxy.h"
#include "orv-http-response.h"
#include "orv-socket.h"
#include "orv-socks-proxy.h"

namespace {

// Connect, send and receive time-outs (seconds) while talking to an HTTP proxy.
constexpr int kProxyStepTimeout = 10;
// CONNECT exchanges on new transports: the first, and one more when the proxy closed the
// connection after asking for credentials.
constexpr int kConnectRounds = 2;

// The proxy host without a "socks5://" prefix.
COrvStringA ProxyHostName(const COrvHttpConnection& conn) {
    if (conn.m_sProxyHost.Left(9).CompareNoCase("socks5://") == 0)
        return conn.m_sProxyHost.Mid(9);
    return conn.m_sProxyHost;
}

bool ConnectDirect(COrvHttpConnection& conn, COrvError& err) {
    conn.SetViaHttpProxy(false);
    return conn.Socket().Connect(conn.CurrentHost(), conn.CurrentPort(), conn.IsHttps(), conn.m_net,
                                 conn.m_pObserver, err);
}

bool ConnectSocks5(COrvHttpConnection& conn, COrvError& err) {
    COrvSocket& sock = conn.Socket();
    const COrvStringA sProxy = ProxyHostName(conn);
    COrvError e;
    // One attempt that blocks until the system gives up, then the connection's time-outs.
    COrvConnectSettings toProxy = conn.m_net;
    toProxy.m_nConnectTimeout = 0;
    toProxy.m_nAttempts = 1;
    if (!sock.Connect(sProxy, conn.m_nProxyPort, false, toProxy, conn.m_pObserver, e))
        return err.Pass(e, "cannot connect to SOCKS5 proxy: ");
    static const unsigned char kNoAuth[] = {0};
    int nChosen = -1;
    if (!OrvSocks5Negotiate(sock, kNoAuth, 1, nChosen, e))
        return err.Pass(e, "SOCKS5 proxy handshake: ");
    if (!OrvSocks5Connect(sock, conn.CurrentHost(), conn.CurrentPort(), e))
        return err.Pass(e, "SOCKS5 connect: ");
    conn.SetViaHttpProxy(false);
    return !conn.IsHttps() || sock.StartTls(conn.CurrentHost(), conn.m_net.m_tls, err);
}

// TCP to the HTTP proxy with the proxy step's time-outs.
bool ConnectToHttpProxy(COrvHttpConnection& conn, COrvError& err) {
    COrvConnectSettings toProxy = conn.m_net;
    toProxy.m_nConnectTimeout = kProxyStepTimeout;
    toProxy.m_nSendTimeout = kProxyStepTimeout;
    toProxy.m_nRecvTimeout = kProxyStepTimeout;
    toProxy.m_nAttempts = 1;
    return conn.Socket().Connect(conn.m_sProxyHost, conn.m_nProxyPort, false, toProxy,
                                 conn.m_pObserver, err);
}

bool RestoreTimeouts(COrvHttpConnection& conn, COrvError& err) {
    return conn.Socket().SetTimeouts(conn.m_net.m_nSendTimeout, conn.m_net.m_nRecvTimeout, err);
}

bool ConnectHttpProxy(COrvHttpConnection& conn, COrvError& err) {
    if (!ConnectToHttpProxy(conn, err))
        return false;
    OrvHttpObserverLog(conn.m_pObserver, 3, "Using HTTP proxy %s:%d to connect to host %s:%d",
                       conn.m_sProxyHost.GetString(), conn.m_nProxyPort,
                       conn.CurrentHost().GetString(), conn.CurrentPort());
    conn.SetViaHttpProxy(true);
    return RestoreTimeouts(conn, err);
}

// One CONNECT exchange on a fresh transport to the proxy. *pbAgain is set when the proxy asked
// for credentials and closed the connection: the caller tries once more on a new one.
bool ConnectExchange(COrvHttpConnection& conn, COrvError& err, bool* pbAgain) {
    *pbAgain = false;
    COrvError e;
    if (!ConnectToHttpProxy(conn, e))
        return err.Pass(e, "Connecting via Proxy: ");
    COrvStringA sTarget;
    (void)sTarget.Format("%s:%d", OrvHostUrlForm(conn.CurrentHost()).GetString(),
                         conn.CurrentPort());
    COrvHttpTxn txn;
    txn.m_sMethod = "CONNECT";
    txn.m_sPath = sTarget;
    txn.m_bFollowRedirects = false;
    txn.m_bAddStandardHeaders = false;
    txn.m_requestHeaders.SetAt("Connection", "Keep-Alive");
    txn.m_requestHeaders.SetAt("Host", sTarget);
    conn.SetViaHttpProxy(false);
    conn.SetInConnect(true);
    const int nAuthBefore = conn.ProxyAuthState();
    const bool bOk = OrvHttpSendReceive(conn, txn, e);
    conn.SetInConnect(false);
    if (txn.m_nStatus < 200 || txn.m_nStatus > 299)
        conn.SetTunnelStatus(txn.m_nStatus);
    if (bOk) {
        if (txn.m_nStatus < 200 || txn.m_nStatus > 299) {
            COrvError s;
            (void)OrvHttpTunnelRefused(txn, s);
            return err.Pass(s, "Connecting via Proxy: ");
        }
        if (!conn.Socket().IsOpen())
            return err.SetFormat(enNetConnection, "Proxy %s:%d closed connection after CONNECT",
                                 conn.m_sProxyHost.GetString(), conn.m_nProxyPort);
        conn.Reader().Reset();
        return true;
    }
    // Asked for credentials (state 1 now), and the proxy hung up before they could be sent or
    // before it answered them; the reply that never came has reset the txn's status.
    if (e.Code() == enNetConnection && conn.ProxyAuthState() == 1 && nAuthBefore != 1) {
        *pbAgain = true;
        conn.SetTunnelStatus(0);
    }
    if (txn.m_nStatus == 503 || txn.m_nStatus == 504)
        return err.Pass(e);
    return err.Pass(e, "Connecting via Proxy: ");
}

bool ConnectTunnel(COrvHttpConnection& conn, COrvError& err) {
    OrvHttpObserverLog(conn.m_pObserver, 3, "Using CONNECT proxy %s:%d to connect to host %s:%d",
                       conn.m_sProxyHost.GetString(), conn.m_nProxyPort,
                       conn.CurrentHost().GetString(), conn.CurrentPort());
    for (int nRound = 1;; ++nRound) {
        COrvError e;
        bool bAgain = false;
        if (ConnectExchange(conn, e, &bAgain))
            break;
        conn.Socket().Close(true);
        if (!bAgain || nRound == kConnectRounds)
            return err.Pass(e);
    }
    if (!RestoreTimeouts(conn, err))
        return false;
    // TLS to the target itself: its name, not the proxy's, is what the certificate must match.
    return !conn.IsHttps() || conn.Socket().StartTls(conn.CurrentHost(), conn.m_net.m_tls, err);
}

}  // namespace

bool OrvHttpProxyConnect(COrvHttpConnection& conn, OrvHttpRoute route, COrvError& err) {
    // The configured host's route was chosen above the connection; a redirect that leads to a
    // local host leaves the proxy.
    if (route == OrvHttpRoute::enDirect || (conn.CurrentHost().CompareNoCase(conn.m_sHost) != 0 &&
                                            OrvHttpIsLocalHost(conn.CurrentHost())))
        return ConnectDirect(conn, err);
    switch (route) {
        case OrvHttpRoute::enSocks5:
            return ConnectSocks5(conn, err);
        case OrvHttpRoute::enHttpProxy:
            return ConnectHttpProxy(conn, err);
        case OrvHttpRoute::enConnectTunnel:
            return ConnectTunnel(conn, err);
        case OrvHttpRoute::enDirect:
            break;
    }
    return ConnectDirect(conn, err);
}
