// Connections by engine, the route choice, the one-shot entries and the connection pool.
#include "orv-http-conn.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "orv-fd.h"
#include "orv-http-curl.h"
#include "orv-http-proxy.h"
#include "orv-http-socket-engine.h"
#include "orv-sys.h"
#include "orv-url.h"

namespace {

// The library's own engine unless a caller installs another one.
std::atomic<OrvHttpEngineFactory> g_socket_engine_factory{&OrvHttpCreateSocketEngine};

}  // namespace

OrvHttpEngineFactory OrvHttpSetSocketEngineFactory(OrvHttpEngineFactory pfn) {
    return g_socket_engine_factory.exchange(pfn);
}

bool OrvHttpSocketEngineAvailable() {
    return g_socket_engine_factory.load() != nullptr;
}

// ---- COrvHttpEngineConnection ----

bool COrvHttpEngineConnection::EnsureEngine(COrvError& err) {
    if (m_pEngine)
        return true;
    if (m_cfg.m_bUsePlatformEngine) {
        COrvError engineErr;
        m_pEngine = OrvHttpCreateCurlEngine(m_cfg, engineErr);
        if (!m_pEngine)
            return err.Pass(engineErr, "Platform engine not available: ");
        return true;
    }
    const OrvHttpEngineFactory pfn = g_socket_engine_factory.load();
    if (pfn != nullptr)
        m_pEngine = pfn(m_cfg);
    if (!m_pEngine)
        return err.Set(enNetNotReady, "Socket engine not available");
    return true;
}

bool COrvHttpEngineConnection::SendReceive(COrvHttpTxn& txn, COrvError& err) {
    return EnsureEngine(err) && m_pEngine->SendReceive(txn, err);
}

bool COrvHttpEngineConnection::WriteBody(COrvHttpTxn& txn, const void* pData, int64_t nLen,
                                         COrvError& err) {
    return EnsureEngine(err) && m_pEngine->WriteBody(txn, pData, nLen, err);
}

bool COrvHttpEngineConnection::FinishBody(COrvHttpTxn& txn, COrvError& err) {
    return EnsureEngine(err) && m_pEngine->FinishBody(txn, err);
}

void COrvHttpEngineConnection::Close() {
    if (m_pEngine)
        m_pEngine->Close();
    m_pEngine.reset();
}

// ---- one-shot transactions ----

namespace {

bool ReadFileUrl(const char* pszUrl, const COrvUrl& url, COrvHttpTxn& txn, COrvError& err) {
    if (strncasecmp(pszUrl, "file://", 7) != 0) {
        COrvStringA s("Bad File URL: ");
        s += pszUrl;
        return err.Set(enNetBadRequest, s);
    }
    const COrvStringA sPath = OrvUrlUnescapeA(url.GetUrlPath(), url.GetUrlPathLength());
    if (sPath.IsEmpty() || static_cast<int>(strlen(sPath)) != sPath.GetLength()) {
        COrvStringA s("Bad File URL: ");
        s += pszUrl;
        return err.Set(enNetBadRequest, s);
    }
    txn.ResetResponse();
    OrvFd fd(OrvSysOpen(sPath, O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        return err.SetErrno(errno, "Reading file://: ");
    COrvStringA sBody;
    char* p = sBody.GetBuffer(kOrvHttpFileUrlMax);
    if (p == nullptr)
        return err.Set(enNetNoMemory, "Reading file://: out of memory");
    const long n = OrvSysReadAll(fd.Get(), p, kOrvHttpFileUrlMax);
    if (n < 0) {
        const int e = errno;
        sBody.ReleaseBuffer(0);
        return err.SetErrno(e, "Reading file://: ");
    }
    sBody.ReleaseBuffer(static_cast<int>(n));
    txn.m_sBody = sBody;
    txn.m_nStatus = 200;
    txn.m_sReason = "OK";
    txn.m_n64RecvBodyLen = n;
    txn.m_bBodyComplete = true;
    return true;
}

}  // namespace

bool DoOrvHttpTxnAndClose(const char* pszUrl, COrvHttpTxn& txn, const COrvHttpConnConfig& cfg,
                          COrvError& err) {
    COrvUrl url;
    if (pszUrl == nullptr || !url.Crack(pszUrl)) {
        COrvStringA s("cannot crack URL ");
        s += pszUrl ? pszUrl : "";
        return err.Set(enNetBadRequest, s);
    }
    if (url.GetScheme() == enUrlSchemeFile)
        return ReadFileUrl(pszUrl, url, txn, err);
    if (url.GetScheme() != enUrlSchemeHttp && url.GetScheme() != enUrlSchemeHttps) {
        COrvStringA s("DoOrvHttpTxnAndClose bad URL: ");
        s += pszUrl;
        return err.Set(enNetBadRequest, s);
    }
    if (url.GetHostNameLength() == 0) {
        COrvStringA s("DoOrvHttpTxnAndClose bad URL: ");
        s += pszUrl;
        return err.Set(enNetBadRequest, s);
    }
    COrvHttpConnConfig c = cfg;
    c.m_bHttps = url.GetScheme() == enUrlSchemeHttps;
    c.m_sHost = url.GetHostName();
    // An IPv6 literal is kept with its brackets by the URL; the engine adds them itself.
    if (c.m_sHost.GetLength() > 2 && c.m_sHost[0] == '[')
        c.m_sHost = c.m_sHost.Mid(1, c.m_sHost.GetLength() - 2);
    c.m_nPort = url.GetPort();
    if (url.GetUserNameLength() > 0) {
        c.m_sUserId = OrvUrlUnescapeA(url.GetUserName());
        c.m_sPassword = OrvUrlUnescapeA(url.GetPassword());
    }
    COrvStringA sPathSaved = txn.m_sPath;
    txn.m_sPath = url.GetUrlPathLength() > 0 ? COrvStringA(url.GetUrlPath()) : COrvStringA("/");
    const char* pszExtra = url.GetExtraInfo();
    if (*pszExtra == '?') {
        const char* pHash = strchr(pszExtra, '#');
        txn.m_sPath.Append(pszExtra,
                           pHash ? static_cast<int>(pHash - pszExtra) : url.GetExtraInfoLength());
    }
    COrvHttpEngineConnection conn(c);
    const bool bOk = conn.SendReceive(txn, err);
    conn.Close();
    txn.m_sPath = sPathSaved;
    return bOk;
}

bool DoOrvHttpTxnAndClose(const char* pszUrl, COrvHttpTxn& txn, const COrvHttpConnConfig& cfg,
                          int* pnCode, COrvStringA* psError) {
    COrvError err;
    const bool bOk = DoOrvHttpTxnAndClose(pszUrl, txn, cfg, err);
    err.CopyTo(pnCode, psError);
    return bOk;
}

bool DoOrvHttpTxnAndCloseTryBoth(const char* pszUrl, COrvHttpTxn& txn,
                                 const COrvHttpConnConfig& cfg, COrvError& err) {
    COrvHttpConnConfig c = cfg;
    c.m_bUsePlatformEngine = false;
    COrvError first;
    if (DoOrvHttpTxnAndClose(pszUrl, txn, c, first))
        return true;
    OrvHttpObserverLog(cfg.m_pObserver, 3,
                       "DoOrvHttpTxnAndCloseTryBoth: Native transaction failed: %s",
                       first.Text().GetString());
    txn.ResetResponse();
    c.m_bUsePlatformEngine = true;
    COrvError second;
    if (DoOrvHttpTxnAndClose(pszUrl, txn, c, second))
        return true;
    OrvHttpObserverLog(cfg.m_pObserver, 3,
                       "DoOrvHttpTxnAndCloseTryBoth: WinInet transaction failed: %s",
                       second.Text().GetString());
    COrvStringA s = first.Text();
    s += "; WinInet: ";
    s += second.Text();
    return err.Set(second.Code(), s);
}

bool OrvHttpTestTxnUsesPlatformEngine() {
    return !OrvHttpSocketEngineAvailable();
}

bool DoOrvHttpTestTxn(const char* pszUrl, const char* pszProxyDescription, bool bTrustAny,
                      COrvStringA& sLog, COrvError& err) {
    (void)sLog.AppendFormat("DoOrvHttpTestTxn: url=%s proxy=%s\n", pszUrl ? pszUrl : "",
                            pszProxyDescription ? pszProxyDescription : "");
    COrvHttpConnConfig cfg;
    cfg.m_bUseProxy = true;
    cfg.m_net.m_tls.m_bTrustAny = bTrustAny;
    cfg.m_bUsePlatformEngine = OrvHttpTestTxnUsesPlatformEngine();
    cfg.m_net.m_nConnectTimeout = 10;
    COrvHttpTxn txn;
    COrvError e;
    if (DoOrvHttpTxnAndClose(pszUrl, txn, cfg, e))
        return true;
    // Nothing answered at all: the route itself does not work.
    COrvStringA s(txn.m_nStatus == 0 && e.Code() == enNetConnection ? "Cannot Connect to "
                                                                    : "Cannot SendRecv to ");
    s += pszUrl ? pszUrl : "";
    s += ": ";
    return err.Pass(e, s.GetString());
}

// ---- the pool ----

COrvHttpConnectionPool g_orv_http_pool;

namespace {

COrvStringA PoolKey(const COrvHttpConnConfig& cfg) {
    COrvStringA s;
    (void)s.Format("%d|%s|%s|%d|%s", cfg.m_bUsePlatformEngine ? 1 : 0,
                   cfg.m_bHttps ? "https" : "http", cfg.m_sHost.GetString(), cfg.m_nPort,
                   cfg.m_sUserId.GetString());
    s.MakeLower();
    return s;
}

}  // namespace

COrvHttpConnectionPool::COrvHttpConnectionPool()
    : m_lock("OrvHttpConnectionPool"), m_map(17, 0.75f, 0.25f, 2.25f, 10) {}

COrvHttpConnectionPool::~COrvHttpConnectionPool() {
    Clear();
}

std::unique_ptr<COrvHttpEngineConnection> COrvHttpConnectionPool::Take(
    const COrvHttpConnConfig& cfg) {
    const COrvStringA sKey = PoolKey(cfg);
    COrvHttpEngineConnection* p = nullptr;
    {
        TvAutoCriticalSection lock(m_lock, "COrvHttpConnectionPool::Take");
        if (m_map.Lookup(sKey, p)) {
            m_map.RemoveKey(sKey);
            --m_nCount;
        }
    }
    if (p != nullptr) {
        p->Config() = cfg;
        return std::unique_ptr<COrvHttpEngineConnection>(p);
    }
    return std::unique_ptr<COrvHttpEngineConnection>(new (std::nothrow)
                                                         COrvHttpEngineConnection(cfg));
}

void COrvHttpConnectionPool::Give(std::unique_ptr<COrvHttpEngineConnection> pConn) {
    if (!pConn)
        return;
    const COrvStringA sKey = PoolKey(pConn->Config());
    {
        TvAutoCriticalSection lock(m_lock, "COrvHttpConnectionPool::Give");
        COrvHttpEngineConnection* pOld = nullptr;
        if (m_nCount < kLimit && !m_map.Lookup(sKey, pOld) &&
            m_map.SetAt(sKey, pConn.get()) != nullptr) {
            ++m_nCount;
            (void)pConn.release();
            return;
        }
    }
    pConn->Close();  // outside the lock: closing may take a while
}

int COrvHttpConnectionPool::Count() {
    TvAutoCriticalSection lock(m_lock, "COrvHttpConnectionPool::Count");
    return m_nCount;
}

void COrvHttpConnectionPool::Clear() {
    COrvArray<COrvHttpEngineConnection*> all;
    {
        TvAutoCriticalSection lock(m_lock, "COrvHttpConnectionPool::Clear");
        for (ORVPOSITION pos = m_map.GetStartPosition(); pos != nullptr;)
            all.Add(m_map.GetNext(pos)->m_value);
        m_map.RemoveAll();
        m_nCount = 0;
    }
    for (size_t i = 0; i < all.GetCount(); ++i) {
        all[i]->Close();
        delete all[i];
    }
}
