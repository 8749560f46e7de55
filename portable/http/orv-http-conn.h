// HTTP connections by engine: what a connection is configured with, the route it takes (direct
// or through the effective proxy, never through a proxy for a local host), the engine that
// carries its transactions (the library's socket engine or the platform engine over libcurl,
// chosen per connection), the one-shot transaction-by-URL entries and the connection pool.
//
// The socket engine (orv-http-socket-engine.h) is installed from the start;
// OrvHttpSetSocketEngineFactory replaces it. Without one, a connection that asks for it fails
// with "Socket engine not available" (enNetNotReady).
#pragma once

#include <cstdint>
#include <memory>

#include "orv-coll.h"
#include "orv-connect-settings.h"
#include "orv-error.h"
#include "orv-http-txn.h"
#include "orv-lock.h"
#include "orv-string.h"

class IOrvByteSink;

// The limit of a file read by a "file:" URL.
constexpr int kOrvHttpFileUrlMax = 262144;

// What a connection is configured with. Plain data; copied into the connection.
struct COrvHttpConnConfig {
    COrvStringA m_sHost;  // the configured endpoint
    int m_nPort = 0;      // 0: 80 or 443 by m_bHttps
    bool m_bHttps = false;
    // Server credentials; sent only to the configured origin (scheme, host, port).
    COrvStringA m_sUserId;
    COrvStringA m_sPassword;
    // Take the effective proxy when connecting (unless the host is local).
    bool m_bUseProxy = true;
    // Proxy credentials; replaced by the effective proxy's when that is taken.
    COrvStringA m_sProxyUserId;
    COrvStringA m_sProxyPassword;
    IOrvTransferObserver* m_pObserver = nullptr;  // not owned
    // false: the library's socket engine; true: the platform engine (libcurl).
    bool m_bUsePlatformEngine = false;
    bool m_bCookies = false;
    // Time-outs (seconds: connect, the longest silence while sending or receiving), connect
    // attempts, IPv6, and the TLS settings of this connection alone (trust-any, a CA file
    // trusted beside the process's roots, a client certificate). Both engines read every field
    // with the same meaning; the platform engine keeps its own library's TLS versions and
    // ciphers (the options word) and makes one connect attempt.
    COrvConnectSettings m_net{.m_nConnectTimeout = 90};
    // Where a 2xx response body goes when the txn's receive mode is enHttpRecvStream: written
    // as it arrives, without the memory limit. Not owned. Without it receive mode 2 fails.
    IOrvByteSink* m_pRecvSink = nullptr;
};

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

// An engine that carries the transactions of one connection. One thread at a time.
class IOrvHttpEngine {
public:
    virtual ~IOrvHttpEngine() = default;
    // The whole exchange with its retries: sends txn's request, reads the response into txn and
    // acts on the status (credentials, redirects, errors). True on success; false with err
    // filled. With body mode enHttpBodyStream it returns true once the request header is sent;
    // the caller then calls WriteBody and FinishBody. Blocks.
    [[nodiscard]] virtual bool SendReceive(COrvHttpTxn& txn, COrvError& err) = 0;
    // Writes bytes of a streamed (mode 2) body. False with err filled when the transfer failed.
    [[nodiscard]] virtual bool WriteBody(COrvHttpTxn& txn, const void* pData, int64_t nLen,
                                         COrvError& err) = 0;
    // Ends a streamed body and reads and interprets the response, as SendReceive does.
    [[nodiscard]] virtual bool FinishBody(COrvHttpTxn& txn, COrvError& err) = 0;
    // Closes the transport; the next exchange connects again. Never fails.
    virtual void Close() = 0;
    // Transport connections opened so far (a kept-alive connection counts once).
    virtual int64_t ConnectionsOpened() const = 0;
};

// Makes the socket engine for a connection whose configuration cfg outlives the engine. Null
// when it cannot be made.
using OrvHttpEngineFactory = std::unique_ptr<IOrvHttpEngine> (*)(const COrvHttpConnConfig& cfg);
// Installs the socket engine's factory (null removes it); returns the previous one. Call it at
// start-up, before connections are made.
OrvHttpEngineFactory OrvHttpSetSocketEngineFactory(OrvHttpEngineFactory pfn);
// Whether a socket engine is installed.
bool OrvHttpSocketEngineAvailable();

// A connection: its configuration and the engine its use-platform-engine byte chose, made on
// first use. Not copyable; one thread at a time.
class COrvHttpEngineConnection {
public:
    explicit COrvHttpEngineConnection(const COrvHttpConnConfig& cfg) : m_cfg(cfg) {}
    COrvHttpEngineConnection(const COrvHttpEngineConnection&) = delete;
    COrvHttpEngineConnection& operator=(const COrvHttpEngineConnection&) = delete;

    // The configuration. Changing the engine byte or the endpoint takes effect after Close.
    COrvHttpConnConfig& Config() { return m_cfg; }
    const COrvHttpConnConfig& Config() const { return m_cfg; }

    // As IOrvHttpEngine::SendReceive on the chosen engine. Without the engine: "Socket engine
    // not available" or "Platform engine not available" (enNetNotReady).
    [[nodiscard]] bool SendReceive(COrvHttpTxn& txn, COrvError& err);
    [[nodiscard]] bool WriteBody(COrvHttpTxn& txn, const void* pData, int64_t nLen, COrvError& err);
    [[nodiscard]] bool FinishBody(COrvHttpTxn& txn, COrvError& err);
    // Closes the transport and drops the engine (the byte is read again on the next use).
    void Close();
    // Transport connections opened by the current engine (0 without one).
    int64_t ConnectionsOpened() const { return m_pEngine ? m_pEngine->ConnectionsOpened() : 0; }

private:
    bool EnsureEngine(COrvError& err);

    COrvHttpConnConfig m_cfg;
    std::unique_ptr<IOrvHttpEngine> m_pEngine;
};

// DoOrvHttpTxnAndClose: one transaction by URL. http and https: a connection configured from
// cfg with the URL's host, port and scheme (credentials in the URL replace cfg's), the path
// (with the query) from the URL or "/", the exchange, then the connection is closed whatever
// the outcome. "file://" and "file:///" URLs: the file's first 262144 bytes become the body
// (status 200); "Reading file://: " + the system's text on failure. Failures: "cannot crack
// URL " + URL, "Bad File URL: " + URL, "DoOrvHttpTxnAndClose bad URL: " + URL (all
// enNetBadRequest), and the exchange's. Blocks.
[[nodiscard]] bool DoOrvHttpTxnAndClose(const char* pszUrl, COrvHttpTxn& txn,
                                        const COrvHttpConnConfig& cfg, COrvError& err);
// The shape with a separate code and text (either may be null).
[[nodiscard]] bool DoOrvHttpTxnAndClose(const char* pszUrl, COrvHttpTxn& txn,
                                        const COrvHttpConnConfig& cfg, int* pnCode,
                                        COrvStringA* psError);

// DoOrvHttpTxnAndCloseTryBoth: DoOrvHttpTxnAndClose on the socket engine; on failure logs
// "DoOrvHttpTxnAndCloseTryBoth: Native transaction failed: %s" (observer, level 3) and runs it
// again, with the response fields reset, on the platform engine. When that fails too it logs
// "DoOrvHttpTxnAndCloseTryBoth: WinInet transaction failed: %s"; err then holds the second
// attempt's code and the first text + "; WinInet: " + the second text. Blocks.
[[nodiscard]] bool DoOrvHttpTxnAndCloseTryBoth(const char* pszUrl, COrvHttpTxn& txn,
                                               const COrvHttpConnConfig& cfg, COrvError& err);

// The engine DoOrvHttpTestTxn uses: the socket engine once it is installed, else the platform
// engine.
bool OrvHttpTestTxnUsesPlatformEngine();

// DoOrvHttpTestTxn: a GET of pszUrl through the effective proxy (trust-any when bTrustAny) that
// checks the route works. Logs "DoOrvHttpTestTxn: url=%s proxy=%s" into sLog (a line each).
// Fails with "Cannot Connect to " (nothing answered) or "Cannot SendRecv to " + URL + ": " +
// the exchange's text. Blocks.
[[nodiscard]] bool DoOrvHttpTestTxn(const char* pszUrl, const char* pszProxyDescription,
                                    bool bTrustAny, COrvStringA& sLog, COrvError& err);

// A pool of idle connections, keyed by engine, scheme, host, port and user id; at most 10 are
// kept. All members take the lock "OrvHttpConnectionPool"; any thread.
class COrvHttpConnectionPool {
public:
    static constexpr int kLimit = 10;
    COrvHttpConnectionPool();
    // Closes and deletes every pooled connection.
    ~COrvHttpConnectionPool();
    COrvHttpConnectionPool(const COrvHttpConnectionPool&) = delete;
    COrvHttpConnectionPool& operator=(const COrvHttpConnectionPool&) = delete;

    // An idle connection for cfg's key (its configuration replaced by cfg) or a new one. The
    // caller owns it until Give. Null only when memory runs out.
    std::unique_ptr<COrvHttpEngineConnection> Take(const COrvHttpConnConfig& cfg);
    // Returns a connection for reuse; when the pool holds 10, or one for the same key, it is
    // closed and deleted instead.
    void Give(std::unique_ptr<COrvHttpEngineConnection> pConn);
    // Idle connections held.
    int Count();
    // Closes and deletes every pooled connection.
    void Clear();

private:
    COrvCriticalSection m_lock;
    COrvMap<COrvStringA, COrvHttpEngineConnection*> m_map;
    int m_nCount = 0;
};

// The process-wide pool.
extern COrvHttpConnectionPool g_orv_http_pool;
