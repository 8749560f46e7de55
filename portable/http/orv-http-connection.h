// The client connection of the socket engine: one kept-alive connection to a server endpoint,
// the exchange with its attempts (OrvHttpSendReceive), sending requests, receiving and acting on
// responses (redirects, the switch to TLS, cookies, auth states), and the choice of its route.
//
// Connecting builds the connection's transport once for the route (orv-transport.h): TCP to the
// host; TCP to a SOCKS5 proxy and the SOCKS5 step; TCP to an HTTP proxy (requests then name the
// target in absolute form); TCP to an HTTP proxy and the CONNECT step; and the TLS step on top of
// any of them for https (not for a plain HTTP proxy route). The connection then speaks HTTP to the
// top step only.
//
// A connection is used by one thread at a time; Close may be called by that thread only
// (Shutdown serves other threads).
#pragma once

#include <cstdint>
#include <memory>

#include "orv-connect-settings.h"
#include "orv-error.h"
#include "orv-http-body.h"
#include "orv-http-cookie.h"
#include "orv-http-io.h"
#include "orv-http-txn.h"
#include "orv-string.h"
#include "orv-transport.h"

class IOrvHttpAuthSchemes;
class COrvHttpConnectTransport;
struct COrvHttpRedirectTarget;

// How a connection reaches its current endpoint, and so which steps its transport has.
enum class OrvHttpRoute : int {
    enDirect = 0,     // TCP (and TLS for https) to the host itself
    enHttpProxy,      // plain target through an HTTP proxy, requests with absolute URIs
    enConnectTunnel,  // a CONNECT tunnel through an HTTP proxy, then TLS or plain inside
    enSocks5,         // a SOCKS5 proxy ("socks5://" host), then TLS or plain inside
};

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
    bool IsConnected() const { return m_bConnected && m_pTransport && m_pTransport->IsOpen(); }
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

    // The route of the open transport, top step first ("TLS to host:443 over TCP to ..."); empty
    // when closed.
    COrvStringA DescribeTransport() const;
    // The sink of a streamed request body (body mode 2) for writers of their own (multipart):
    // raw bytes on the open transport, no chunk framing.
    IOrvByteSink& Stream() { return m_stream; }

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
    // Wakes a call of the owner thread blocked in the transport; it fails, and so does every
    // later one until the owner closes. Any thread.
    void Shutdown();

private:
    [[nodiscard]] bool PrepareExchange(COrvError& err);
    void ReturnToConfigured();
    [[nodiscard]] bool Connect(COrvError& err);
    // The steps of the route to the current endpoint; *ppTunnel is set to the CONNECT step when
    // there is one. Null only when memory runs out.
    std::unique_ptr<IOrvTransport> BuildTransport(OrvHttpRoute route,
                                                  COrvHttpConnectTransport** ppTunnel) const;
    [[nodiscard]] bool ActOnRedirect(const COrvHttpRedirectTarget& to, COrvHttpTxn& txn,
                                     COrvError& err);
    // Whether bytes wait beyond the last complete response (buffered, or with bAskSocket also
    // readable on a plain connection).
    bool HasStrayBytes(bool bAskSocket);
    bool TransportOpen() const { return m_pTransport && m_pTransport->IsOpen(); }
    [[nodiscard]] bool ReceiveInner(COrvHttpTxn& txn, COrvError& err, bool* pbNothingRead);
    void LogResponse(const COrvHttpTxn& txn, bool bOk, const COrvError& err);
    bool AtConfiguredOrigin() const;
    int DefaultPort(bool bHttps) const { return bHttps ? 443 : 80; }

    std::unique_ptr<IOrvTransport> m_pTransport;
    // The CONNECT step inside m_pTransport, when the route has one (owned there).
    COrvHttpConnectTransport* m_pTunnel = nullptr;
    COrvTransportByteStream m_stream;
    COrvHttpReader m_reader{&m_stream};
    COrvHttpCookieJar m_jar;

    COrvStringA m_sCurHost;
    int m_nCurPort = 0;
    bool m_bCurHttps = false;
    bool m_bPlainThroughProxy = false;
    bool m_bViaHttpProxy = false;  // the open transport's route is enHttpProxy
    bool m_bConnected = false;
    // The status with which a proxy refused the tunnel of the last connect (0: none); the
    // request that needed the tunnel takes it as its status.
    int m_nRefusal = 0;
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
