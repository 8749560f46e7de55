// COrvTcpTransport: the lowest step of every outgoing connection, one COrvSocket to a host and
// port with the connection's time-outs and connect attempts. Sends collect in the socket's send
// buffer until Flush.
#pragma once

#include "orv-connect-settings.h"
#include "orv-socket.h"
#include "orv-transport.h"

class COrvTcpTransport : public IOrvTransport {
public:
    // pszHost: a name, a dotted IPv4 address or an IPv6 literal (brackets allowed).
    COrvTcpTransport(const char* pszHost, int nPort, const COrvConnectSettings& settings);
    ~COrvTcpTransport() override = default;

    // The socket's connect (see COrvSocket::Connect) without TLS; a deadline shortens the
    // connect time-out to what is left of it.
    // Takes over a connected descriptor (from accept or socketpair) instead of connecting; the
    // transport owns it from now on. pszPeer names the peer in texts.
    void Attach(int fd, const char* pszPeer) {
        m_socket.Attach(fd, pszPeer);
        m_socket.SetBuffered(true);
    }
    [[nodiscard]] bool Connect(int64_t nDeadlineMs, IOrvTransferObserver* pObserver,
                               COrvError& err) override;
    [[nodiscard]] bool Send(const void* pData, int nLen, COrvError& err) override;
    [[nodiscard]] bool Flush(COrvError& err) override;
    [[nodiscard]] bool Recv(void* pBuf, int nMax, int& nGot, COrvError& err) override;
    // The socket's Disconnect.
    void Shutdown() override;
    void Close(bool bHard) override;
    // "TCP to host:port".
    COrvStringA Describe() const override;
    bool IsOpen() const override { return m_socket.IsOpen(); }
    bool HasPendingInput(bool bAskSystem) override;
    [[nodiscard]] bool SetTimeouts(int nSendTimeout, int nRecvTimeout, COrvError& err) override;

private:
    COrvStringA m_sHost;
    int m_nPort;
    COrvConnectSettings m_settings;
    COrvSocket m_socket;
};
