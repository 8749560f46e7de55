// The client side of a SOCKS version 5 proxy (RFC 1928) over a connected transport: method
// negotiation, the CONNECT request, and COrvSocks5Transport, the step that runs both on the step
// below it. They run on the transport's thread and block up to its time-outs. End-of-stream
// failures carry enNetConnection. A failure once bytes have been exchanged closes the transport:
// the stream is then at an unknown point of the exchange.
#pragma once

#include <memory>

#include "orv-error.h"
#include "orv-string.h"
#include "orv-transport.h"

// The text of a SOCKS5 reply code ("no error", "general SOCKS server failure", ... and
// "unknown error %d" for codes past 8).
COrvStringA OrvSocks5ReplyText(int nReply);

// Offers the nMethods method bytes (1..255) and reads the proxy's choice: 0, 1 or 2 are returned
// in nChosen. A proxy that does not answer with version 5 fails with "bad SOCKS version number %d
// (not a SOCKS5 proxy?)"; 255 is "unsupported authentication method" and any other choice "proxy
// server returns bad authentication method %d" (both enNetProxyAuth). nChosen is -1 on failure.
[[nodiscard]] bool OrvSocks5Negotiate(IOrvTransport& sock, const unsigned char* pMethods,
                                      int nMethods, int& nChosen, COrvError& err);

// Asks the proxy to connect to pszHost:nPort and reads its reply. A dotted IPv4 host goes as an
// address, an IPv6 literal (with or without brackets) as its sixteen bytes, any other name
// (1..255 bytes, no ':') as a name. The bound address of the reply may be IPv4, a name or IPv6
// (given without brackets). An empty host is "empty destination address", one of 256 bytes or more
// "destination address too long" (enNetBadRequest), refused before anything is written. A
// nonzero reply code closes the socket and fails with its text (enNetConnection). On success
// strBound / nBoundPort hold the address the proxy bound (when given).
[[nodiscard]] bool OrvSocks5Connect(IOrvTransport& sock, const char* pszHost, int nPort,
                                    COrvError& err, COrvStringA* pstrBound = nullptr,
                                    int* pnBoundPort = nullptr);

// The SOCKS5 step: connects the lower step (to the proxy), offers "no authentication" and asks
// the proxy for pszHost:nPort; from then on bytes pass through unchanged. Failures: "cannot
// connect to SOCKS5 proxy: ", "SOCKS5 proxy handshake: ", "SOCKS5 connect: " + the cause.
class COrvSocks5Transport : public IOrvTransport {
public:
    // pLower reaches the proxy; pszHost and nPort are what the proxy is asked to connect to.
    COrvSocks5Transport(std::unique_ptr<IOrvTransport> pLower, const char* pszHost, int nPort);

    [[nodiscard]] bool Connect(int64_t nDeadlineMs, IOrvTransferObserver* pObserver,
                               COrvError& err) override;
    [[nodiscard]] bool Send(const void* pData, int nLen, COrvError& err) override {
        return m_pLower->Send(pData, nLen, err);
    }
    [[nodiscard]] bool Flush(COrvError& err) override { return m_pLower->Flush(err); }
    [[nodiscard]] bool Recv(void* pBuf, int nMax, int& nGot, COrvError& err) override {
        return m_pLower->Recv(pBuf, nMax, nGot, err);
    }
    void Shutdown() override { m_pLower->Shutdown(); }
    void Close(bool bHard) override { m_pLower->Close(bHard); }
    // "SOCKS5 to host:port over " + the lower step's description.
    COrvStringA Describe() const override;
    bool IsOpen() const override { return m_pLower->IsOpen(); }
    bool HasPendingInput(bool bAskSystem) override { return m_pLower->HasPendingInput(bAskSystem); }
    [[nodiscard]] bool SetTimeouts(int nSendTimeout, int nRecvTimeout, COrvError& err) override {
        return m_pLower->SetTimeouts(nSendTimeout, nRecvTimeout, err);
    }

private:
    std::unique_ptr<IOrvTransport> m_pLower;
    COrvStringA m_sHost;
    int m_nPort;
};
