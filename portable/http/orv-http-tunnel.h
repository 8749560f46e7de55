// COrvHttpConnectTransport: the step that opens a tunnel through an HTTP proxy with a CONNECT
// request on the step below it (TCP to the proxy) and answers the proxy's 407 itself (Basic, and
// the schemes installed beside it, NTLM's three messages on one connection). From then on bytes
// pass through unchanged.
#pragma once

#include <memory>

#include "orv-http-io.h"
#include "orv-transport.h"

class IOrvHttpAuthSchemes;

// What the CONNECT step needs to know.
struct COrvHttpTunnelSettings {
    COrvStringA m_sProxyHost;  // for texts and the proxy's auth step
    int m_nProxyPort = 0;
    COrvStringA m_sHost;  // the target ("host:port" of the request, an IPv6 literal in brackets)
    int m_nPort = 0;
    COrvStringA m_sProxyUserId;
    COrvStringA m_sProxyPassword;
    // The proxy auth state the connection has reached (orv-http-auth.h); the step goes on from it.
    int m_nProxyAuthState = 0;
    IOrvHttpAuthSchemes* m_pAuthSchemes = nullptr;  // not owned
    // The time-outs of the tunnel once it is open (seconds; the exchange runs on the lower step's).
    int m_nSendTimeout = 90;
    int m_nRecvTimeout = 90;
};

class COrvHttpConnectTransport : public IOrvTransport {
public:
    COrvHttpConnectTransport(std::unique_ptr<IOrvTransport> pLower,
                             const COrvHttpTunnelSettings& settings);
    COrvHttpConnectTransport(const COrvHttpConnectTransport&) = delete;
    COrvHttpConnectTransport& operator=(const COrvHttpConnectTransport&) = delete;

    // Logs "Using CONNECT proxy %s:%d to connect to host %s:%d", connects the lower step and
    // exchanges "CONNECT host:port" (headers Connection: Keep-Alive and Host) until the proxy
    // answers 2xx, answering each 407 on the same connection (at most five requests). A proxy
    // that asked for credentials and hung up is connected once more for the answer. Failures
    // read "CONNECT through proxy %s:%d: " + the cause; the proxy's 503 and 504 keep their own
    // texts ("Proxy reported ..."); a proxy that closes the opened tunnel gives "Proxy %s:%d
    // closed connection after CONNECT".
    [[nodiscard]] bool Connect(int64_t nDeadlineMs, IOrvTransferObserver* pObserver,
                               COrvError& err) override;
    [[nodiscard]] bool Send(const void* pData, int nLen, COrvError& err) override {
        return m_pLower->Send(pData, nLen, err);
    }
    [[nodiscard]] bool Flush(COrvError& err) override { return m_pLower->Flush(err); }
    // Bytes the proxy sent after its answer come first.
    [[nodiscard]] bool Recv(void* pBuf, int nMax, int& nGot, COrvError& err) override;
    void Shutdown() override { m_pLower->Shutdown(); }
    void Close(bool bHard) override;
    // "CONNECT to host:port over " + the lower step's description.
    COrvStringA Describe() const override;
    bool IsOpen() const override { return m_pLower->IsOpen(); }
    bool HasPendingInput(bool bAskSystem) override {
        return m_reader.Buffered() > 0 || m_pLower->HasPendingInput(bAskSystem);
    }
    [[nodiscard]] bool SetTimeouts(int nSendTimeout, int nRecvTimeout, COrvError& err) override {
        return m_pLower->SetTimeouts(nSendTimeout, nRecvTimeout, err);
    }

    // The proxy auth state reached (the connection keeps it for its next tunnel).
    int ProxyAuthState() const { return m_settings.m_nProxyAuthState; }
    // The status with which the proxy refused the tunnel (0: none).
    int RefusalStatus() const { return m_nRefusal; }

private:
    // One round on a freshly connected lower step. *pbAgain: the proxy asked for credentials
    // and hung up, so a new connection may carry the answer.
    [[nodiscard]] bool Exchange(IOrvTransferObserver* pObserver, COrvError& err, bool* pbAgain);

    std::unique_ptr<IOrvTransport> m_pLower;
    COrvHttpTunnelSettings m_settings;
    COrvTransportByteStream m_stream;
    COrvHttpReader m_reader;
    int m_nRefusal = 0;
};
