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
#include "orv-error.h"
#include "orv-http-engine.h"
#include "orv-http-proxy.h"
#include "orv-http-txn.h"
#include "orv-lock.h"
#include "orv-string.h"

// The limit of a file read by a "file:" URL.
constexpr int kOrvHttpFileUrlMax = 262144;

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
    // not available" (enNetNotReady), or "Platform engine not available: " + why
    // (OrvHttpCreateCurlEngine: enNetNotFound when libcurl is missing, else enNetNotReady).
    [[nodiscard]] bool SendReceive(COrvHttpTxn& txn, COrvError& err);
    [[nodiscard]] bool WriteBody(COrvHttpTxn& txn, const void* pData, int64_t nLen, COrvError& err);
    [[nodiscard]] bool FinishBody(COrvHttpTxn& txn, COrvError& err);
    // Closes the transport and drops the engine (the byte is read again on the next use).
    void Close();
    // Transport connections opened by the current engine (0 without one).
    int64_t ConnectionsOpened() const { return m_pEngine ? m_pEngine->ConnectionsOpened() : 0; }

private:
    [[nodiscard]] bool EnsureEngine(COrvError& err);

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
