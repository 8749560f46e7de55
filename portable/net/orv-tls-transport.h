// COrvTlsTransport: the TLS client step over any lower step (TCP, or a tunnel through a SOCKS5 or
// CONNECT proxy), with the TLS settings of its own connection. The records go through the lower
// step's Send and Recv; the certificate is checked against the target's name, not a proxy's.
#pragma once

#include <memory>

#include "orv-connect-settings.h"
#include "orv-transport.h"

class COrvTlsTransport : public IOrvTransport {
public:
    // Owns pLower. pszHost and nPort name the target (SNI, the certificate check, the session
    // cache key).
    COrvTlsTransport(std::unique_ptr<IOrvTransport> pLower, const char* pszHost, int nPort,
                     const COrvTlsSettings& tls);
    ~COrvTlsTransport() override;
    COrvTlsTransport(const COrvTlsTransport&) = delete;
    COrvTlsTransport& operator=(const COrvTlsTransport&) = delete;

    // Connects the lower step, then runs the handshake over it. A failed handshake reads
    // "TLS handshake with host:port: <cause>"; when the lower step failed under it, the cause is
    // the lower step's text, with its code and system error number.
    [[nodiscard]] bool Connect(int64_t nDeadlineMs, IOrvTransferObserver* pObserver,
                               COrvError& err) override;
    [[nodiscard]] bool Send(const void* pData, int nLen, COrvError& err) override;
    [[nodiscard]] bool Flush(COrvError& err) override;
    [[nodiscard]] bool Recv(void* pBuf, int nMax, int& nGot, COrvError& err) override;
    void Shutdown() override { m_pLower->Shutdown(); }
    // bHard: frees the TLS connection at once; else sends close_notify first.
    void Close(bool bHard) override;
    // "TLS to host:port over " + the lower step's description.
    COrvStringA Describe() const override;
    bool IsOpen() const override { return m_pSsl != nullptr && m_pLower->IsOpen(); }
    bool HasPendingInput(bool bAskSystem) override;
    [[nodiscard]] bool SetTimeouts(int nSendTimeout, int nRecvTimeout, COrvError& err) override {
        return m_pLower->SetTimeouts(nSendTimeout, nRecvTimeout, err);
    }
    // Whether the handshake resumed a cached session.
    bool IsSessionReused() const;

private:
    static int ChannelRead(void* pCtx, void* pBuf, int nMax);
    static int ChannelWrite(void* pCtx, const void* pData, int nLen);
    static bool ChannelFlush(void* pCtx);
    // A failed TLS read or write: the lower step's error when it failed under it, else the TLS
    // connection's own. Closes hard.
    bool Failed(bool bWrite, int r, int nKind, int nSslError, COrvError& err);

    std::unique_ptr<IOrvTransport> m_pLower;
    COrvStringA m_sHost;
    int m_nPort;
    COrvTlsSettings m_tls;
    void* m_pSsl = nullptr;
    void* m_pChannel = nullptr;  // COrvSslIoChannel, made on first connect
    // The first failure of the lower step under a TLS call, and whether a write is in progress
    // (writes outside one, in the handshake or in a read, are flushed at once).
    COrvError m_lowerErr;
    bool m_bInSend = false;
};
