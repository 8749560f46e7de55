// The socket engine behind IOrvHttpEngine: one COrvHttpConnection configured from the
// connection's settings, with the route chosen at every exchange.
#include "orv-http-socket-engine.h"

#include "orv-http-connection.h"
#include "orv-http-proxy.h"

#include <cstdlib>
#include <new>

namespace {

// Bytes read per step when a response body is handed to the receive sink.
constexpr int kSinkSlice = 262144;

class COrvHttpSocketEngine : public IOrvHttpEngine {
public:
    explicit COrvHttpSocketEngine(const COrvHttpConnConfig& cfg) : m_cfg(cfg) {}
    ~COrvHttpSocketEngine() override { std::free(m_pSlice); }
    COrvHttpSocketEngine(const COrvHttpSocketEngine&) = delete;
    COrvHttpSocketEngine& operator=(const COrvHttpSocketEngine&) = delete;

    bool SendReceive(COrvHttpTxn& txn, COrvError& err) override {
        if (txn.m_nRecvMode == enHttpRecvStream && m_cfg.m_pRecvSink == nullptr)
            return err.Set(
                enNetBadRequest,
                "Socket engine: a streamed response needs the connection's receive sink");
        Apply();
        if (!m_conn.SendReceive(txn, err))
            return false;
        return txn.m_nBodyMode == enHttpBodyStream || BodyToSink(txn, err);
    }

    bool WriteBody(COrvHttpTxn& txn, const void* pData, int64_t nLen, COrvError& err) override {
        return m_conn.WriteBody(txn, pData, nLen, err);
    }

    bool FinishBody(COrvHttpTxn& txn, COrvError& err) override {
        return m_conn.FinishBody(txn, err) && m_conn.ReceiveResponse(txn, err) &&
               BodyToSink(txn, err);
    }

    void Close() override { m_conn.Close(true); }

    int64_t ConnectionsOpened() const override { return m_conn.ConnectionsOpened(); }

private:
    // Copies the configuration into the connection and chooses the route for this exchange.
    void Apply() {
        const int nPort = m_cfg.m_nPort != 0 ? m_cfg.m_nPort : (m_cfg.m_bHttps ? 443 : 80);
        // The endpoint is copied only when the configuration changed it, so that a switch to
        // TLS the server asked for (426) stays with the connection.
        if (!m_bApplied || m_cfg.m_sHost.Compare(m_sAppliedHost) != 0 || nPort != m_nAppliedPort ||
            m_cfg.m_bHttps != m_bAppliedHttps) {
            m_conn.m_sHost = m_cfg.m_sHost;
            m_conn.m_nPort = nPort;
            m_conn.m_bHttps = m_cfg.m_bHttps;
            m_sAppliedHost = m_cfg.m_sHost;
            m_nAppliedPort = nPort;
            m_bAppliedHttps = m_cfg.m_bHttps;
            m_bApplied = true;
        }
        m_conn.m_sUserId = m_cfg.m_sUserId;
        m_conn.m_sPassword = m_cfg.m_sPassword;
        m_conn.m_pObserver = m_cfg.m_pObserver;
        m_conn.m_bCookies = m_cfg.m_bCookies;
        m_conn.m_net = m_cfg.m_net;

        const COrvHttpProxyRoute route = OrvHttpChooseRoute(
            m_cfg.m_sHost, m_cfg.m_bUseProxy, m_cfg.m_sProxyUserId, m_cfg.m_sProxyPassword);
        // A kept-alive transport belongs to the route it was made on.
        if (route.m_sHost.Compare(m_conn.m_sProxyHost) != 0 ||
            route.m_nPort != m_conn.m_nProxyPort ||
            route.m_sUserId.Compare(m_conn.m_sProxyUserId) != 0 ||
            route.m_sPassword.Compare(m_conn.m_sProxyPassword) != 0) {
            m_conn.Close(true);
            m_conn.m_sProxyHost = route.m_sHost;
            m_conn.m_nProxyPort = route.m_nPort;
            m_conn.m_sProxyUserId = route.m_sUserId;
            m_conn.m_sProxyPassword = route.m_sPassword;
            m_conn.SetProxyAuthState(0);
        }
    }

    // A 2xx body left by a streamed receive goes to the sink as it arrives.
    bool BodyToSink(COrvHttpTxn& txn, COrvError& err) {
        if (txn.m_nRecvMode != enHttpRecvStream || txn.m_bBodyComplete)
            return true;
        if (m_pSlice == nullptr) {
            m_pSlice = static_cast<char*>(std::malloc(kSinkSlice));
            if (m_pSlice == nullptr) {
                m_conn.Close(true);
                return err.Set(enNetNoMemory, "Socket engine: out of memory for the body");
            }
        }
        for (;;) {
            const int n = m_conn.ReadBody(txn, m_pSlice, kSinkSlice, err);
            if (n < 0)
                return false;
            if (n == 0)
                return true;
            if (!m_cfg.m_pRecvSink->WriteAll(m_pSlice, n, err)) {
                m_conn.Close(true);
                return false;
            }
        }
    }

    const COrvHttpConnConfig& m_cfg;
    COrvHttpConnection m_conn;
    bool m_bApplied = false;
    COrvStringA m_sAppliedHost;
    int m_nAppliedPort = 0;
    bool m_bAppliedHttps = false;
    char* m_pSlice = nullptr;
};

}  // namespace

std::unique_ptr<IOrvHttpEngine> OrvHttpCreateSocketEngine(const COrvHttpConnConfig& cfg) {
    return std::unique_ptr<IOrvHttpEngine>(new (std::nothrow) COrvHttpSocketEngine(cfg));
}
