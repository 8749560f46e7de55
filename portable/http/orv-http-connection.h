// The client connection of the socket engine: one kept-alive connection to a server endpoint,
// the exchange with its attempts (OrvHttpSendReceive), sending requests, receiving and acting on
// responses (redirects, the switch to TLS, cookies, auth states), and the connect step.
//
// A connection is used by one thread at a time; Close may be called by that thread only (the
// socket's own Disconnect serves other threads).
#pragma once

#include <cstdint>

#include "orv-error.h"
#include "orv-http-body.h"
#include "orv-http-cookie.h"
#include "orv-http-io.h"
#include "orv-http-txn.h"
#include "orv-socket.h"
#include "orv-string.h"

class IOrvHttpAuthSchemes;
class COrvHttpConnection;
struct COrvHttpRedirectTarget;

// COrvSocket as the byte source and sink of the wire layer. Reads take what the socket has
// buffered or one read of the descriptor (large reads land in the caller's memory); writes go
// through the socket's send buffer, which Flush pushes out. Socket failures keep the socket's
// text and code. Not owning.
class COrvSocketByteStream : public IOrvByteSource, public IOrvByteSink {
public:
    explicit COrvSocketByteStream(COrvSocket* pSocket) : m_pSocket(pSocket) {}
    int ReadSome(void* pBuf, int nMax, COrvError& err) override;
    bool WriteAll(const void* pData, int64_t nLen, COrvError& err) override;
    bool Flush(COrvError& err) override;

private:
    COrvSocket* m_pSocket;
};

// How a connection reaches its current endpoint.
enum class OrvHttpRoute : int {
    enDirect = 0,     // TCP (and TLS for https) to the host itself
    enHttpProxy,      // plain target through an HTTP proxy, requests with absolute URIs
    enConnectTunnel,  // a CONNECT tunnel through an HTTP proxy, then TLS or plain inside
    enSocks5,         // a SOCKS5 proxy ("socks5://" host), then TLS or plain inside
};

// The connect step for the proxy routes. It must leave conn.Socket() connected to the endpoint
// (through the proxy) with TLS started when conn.IsHttps() and the route is not enHttpProxy,
// and return true; or return false with err filled (the connection closes the socket then).
// The CONNECT request of a tunnel is exchanged with OrvHttpSendReceive on conn itself with
// SetInConnect(true). Runs on the connection's thread.
using OrvHttpProxyConnectFn = bool (*)(COrvHttpConnection& conn, OrvHttpRoute route,
                                       COrvError& err);
// Installs the connect step of the proxy routes (null removes it) and returns the previous one;
// OrvHttpProxyConnect (orv-http-socket-engine.h) is installed from the start. Without one a
// connection with a proxy fails to connect with "Connecting through proxy %s:%d: proxy routes
// are not available" (enNetNotReady). Call at start-up.
OrvHttpProxyConnectFn OrvHttpSetProxyConnector(OrvHttpProxyConnectFn pfn);

// One connection to a configured endpoint. Not copyable; owned by the caller.
class COrvHttpConnection {
public:
    COrvHttpConnection();
    // Closes hard.
    ~COrvHttpConnection();
    COrvHttpConnection(const COrvHttpConnection&) = delete;
    COrvHttpConnection& operator=(const COrvHttpConnection&) = delete;

    // ---- configuration (set before the exchange) ----
    COrvStringA m_sHost;  // the configured endpoint every exchange starts from
    int m_nPort = 0;      // 0: 443 for https, 80 otherwise
    bool m_bHttps = false;
    // Time-outs, connect attempts, address families and TLS settings of every transport this
    // connection makes (to the server or to its proxy).
    COrvConnectSettings m_net;
    COrvStringA m_sUserId;  // server credentials, offered to the configured origin only
    COrvStringA m_sPassword;
    // The target is plain HTTP, so a proxy in use is addressed as an HTTP proxy; the value the
    // current flag returns to at the start of every exchange.
    bool m_bPlainTarget = true;
    COrvStringA m_sProxyUserId;
    COrvStringA m_sProxyPassword;
    // The proxy of this connection: empty host means direct; the host may begin with
    // "socks5://". The caller (or the route choice above the connection) fills it.
    COrvStringA m_sProxyHost;
    int m_nProxyPort = 0;
    IOrvTransferObserver* m_pObserver = nullptr;  // not owned
    bool m_bCookies = false;
    // The schemes beyond Basic (null: their challenges are "Auth method not supported").
    IOrvHttpAuthSchemes* m_pAuthSchemes = nullptr;

    // ---- state ----
    const COrvStringA& CurrentHost() const { return m_sCurHost; }
    int CurrentPort() const { return m_nCurPort; }
    bool IsHttps() const { return m_bCurHttps; }
    bool IsConnected() const { return m_bConnected && m_socket.IsOpen(); }
    // The route the next connect takes, from the proxy fields and the current endpoint.
    OrvHttpRoute Route() const;
    int ServerAuthState() const { return m_nServerAuthState; }
    int ProxyAuthState() const { return m_nProxyAuthState; }
    void SetServerAuthState(int n) { m_nServerAuthState = n; }
    void SetProxyAuthState(int n) { m_nProxyAuthState = n; }
    COrvHttpCookieJar& CookieJar() { return m_jar; }
    // TCP connections opened so far (a kept-alive connection counts once).
    int64_t ConnectionsOpened() const { return m_n64Connects; }
    // Redirects followed on this connection.
    int RedirectCount() const { return m_nRedirects; }

    // For the proxy connect step: the socket, the reader beside it, and the route flags.
    COrvSocket& Socket() { return m_socket; }
    COrvHttpReader& Reader() { return m_reader; }
    COrvSocketByteStream& Stream() { return m_stream; }
    void SetViaHttpProxy(bool b) { m_bViaHttpProxy = b; }
    // The status with which a proxy refused the tunnel (0: none); the request that needed the
    // tunnel takes it as its status.
    void SetTunnelStatus(int nStatus) { m_nTunnelStatus = nStatus; }
    void SetInConnect(bool b) { m_bInConnect = b; }

    // ---- operations ----
    // The whole exchange (see OrvHttpSendReceive). Blocks.
    [[nodiscard]] bool SendReceive(COrvHttpTxn& txn, COrvError& err);
    // Connects when needed, writes the header and, for body modes 0 and 1, the body. Reports
    // progress -1 first (a refusal stops with the observer's code and text). Blocks.
    [[nodiscard]] bool SendRequest(COrvHttpTxn& txn, COrvError& err);
    // Reads and interprets the response and acts on it: closes when told, follows a redirect
    // to its new endpoint (the next send goes there), switches to TLS on 426. With receive mode
    // 2 and a 2xx status the body is left for ReadBody. Blocks.
    [[nodiscard]] bool ReceiveResponse(COrvHttpTxn& txn, COrvError& err);
    // Body bytes of a streamed request (mode 2) or of a buffer; chunked when the length is -1.
    [[nodiscard]] bool WriteBody(COrvHttpTxn& txn, const void* pData, int64_t nLen, COrvError& err);
    [[nodiscard]] bool WriteString(COrvHttpTxn& txn, const COrvStringA& s, COrvError& err);
    // A file's content as body bytes (32768-byte blocks).
    [[nodiscard]] bool WriteFile(COrvHttpTxn& txn, const char* pszPath, COrvError& err);
    // Ends a streamed body (last chunk when chunked, flush).
    [[nodiscard]] bool FinishBody(COrvHttpTxn& txn, COrvError& err);
    // Reads up to nMax bytes of a body left by ReceiveResponse (receive mode 2): the count,
    // 0 at its end (txn.m_bBodyComplete is then set), -1 with err filled (the connection is
    // closed). Blocks.
    int ReadBody(COrvHttpTxn& txn, void* pBuf, int nMax, COrvError& err);
    // Closes the socket (hard: at once; else the graceful close of the socket) and forgets
    // buffered bytes and any unread body. The next send connects again.
    void Close(bool bHard = true);

private:
    bool PrepareExchange(COrvError& err);
    void ReturnToConfigured();
    bool Connect(COrvError& err);
    bool ActOnRedirect(const COrvHttpRedirectTarget& to, COrvHttpTxn& txn, COrvError& err);
    // Whether bytes wait beyond the last complete response (buffered, or with bAskSocket also
    // readable on a plain socket).
    bool HasStrayBytes(bool bAskSocket);
    bool ReceiveInner(COrvHttpTxn& txn, COrvError& err, bool* pbNothingRead);
    void LogResponse(const COrvHttpTxn& txn, bool bOk, const COrvError& err);
    bool AtConfiguredOrigin() const;
    int DefaultPort(bool bHttps) const { return bHttps ? 443 : 80; }

    COrvSocket m_socket;
    COrvSocketByteStream m_stream{&m_socket};
    COrvHttpReader m_reader{&m_stream};
    COrvHttpCookieJar m_jar;

    COrvStringA m_sCurHost;
    int m_nCurPort = 0;
    bool m_bCurHttps = false;
    bool m_bPlainThroughProxy = false;
    bool m_bViaHttpProxy = false;
    bool m_bInConnect = false;
    bool m_bConnected = false;
    int m_nTunnelStatus = 0;
    int m_nServerAuthState = 0;
    int m_nProxyAuthState = 0;
    int m_nRedirects = 0;
    int64_t m_n64Connects = 0;
    // Exchanges completed on the open socket (0: freshly connected).
    int m_nExchangesOnSocket = 0;
    // Set when this exchange went from https to http by a redirect: no credentials or cookies.
    bool m_bDowngraded = false;
    // The body of the last response, when it was left to the caller (receive mode 2).
    COrvHttpBodyReader m_pendingBody;
    bool m_bBodyPending = false;
    int64_t m_n64PendingLen = 0;
    bool m_bCloseAfterBody = false;  // the pending body ends with the connection
};

// OrvHttpSendReceive: the whole exchange. Drains a stale body of the previous response (a known
// length below 524288 bytes, or chunked; else closes), returns the connection to its configured
// endpoint unless the body mode is 2, then sends and receives in attempts: enNetRetry (auth
// steps, redirects, "[Forcing SSL]") starts the next attempt; enNetConnection closes, returns to
// the configured endpoint and tries once more only when txn.m_bRetryAfterReconnect allows it (a
// kept-alive connection that the server had closed before the first byte of the reply is also
// tried once more); other codes fail. The sixth attempt fails with the last text +
// "; OrvHttpSendReceive: Too many attempts". With body mode 2 it returns true once the header is
// sent. Logs "CReq->" and "CRsp<-" lines at level 4 and asks the observer's abort check last.
// Blocks.
[[nodiscard]] bool OrvHttpSendReceive(COrvHttpConnection& conn, COrvHttpTxn& txn, COrvError& err);
// The shape with a separate code and text.
[[nodiscard]] bool OrvHttpSendReceive(COrvHttpConnection& conn, COrvHttpTxn& txn, int& nCode,
                                      COrvStringA& strError);
// Closes the connection (see COrvHttpConnection::Close).
void OrvHttpClose(COrvHttpConnection& conn, bool bHard);
