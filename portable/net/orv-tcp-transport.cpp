// The TCP step of a connection over COrvSocket.
#include "orv-tcp-transport.h"

#include <poll.h>

#include "orv-socket-os.h"
#include "orv-sys.h"

COrvTcpTransport::COrvTcpTransport(const char* pszHost, int nPort,
                                   const COrvConnectSettings& settings)
    : m_sHost(pszHost), m_nPort(nPort), m_settings(settings) {}

bool COrvTcpTransport::Connect(int64_t nDeadlineMs, IOrvTransferObserver* pObserver,
                               COrvError& err) {
    COrvConnectSettings s = m_settings;
    if (nDeadlineMs != 0) {
        const int64_t nLeftMs = nDeadlineMs - OrvSocketNowMs();
        if (nLeftMs <= 0)
            return err.SetFormat(enNetConnection, "Connecting to %s:%d: timeout",
                                 m_sHost.GetString(), m_nPort);
        const int nLeft = static_cast<int>((nLeftMs + 999) / 1000);
        if (s.m_nConnectTimeout == 0 || s.m_nConnectTimeout > nLeft)
            s.m_nConnectTimeout = nLeft;
        s.m_nAttempts = 1;
    }
    if (!m_socket.Connect(m_sHost, m_nPort, false, s, pObserver, err))
        return false;
    m_socket.SetBuffered(true);
    return true;
}

bool COrvTcpTransport::Send(const void* pData, int nLen, COrvError& err) {
    return m_socket.Send(pData, nLen, err);
}

bool COrvTcpTransport::Flush(COrvError& err) {
    return m_socket.Flush(err);
}

bool COrvTcpTransport::Recv(void* pBuf, int nMax, int& nGot, COrvError& err) {
    return m_socket.Recv(pBuf, nMax, nGot, err);
}

void COrvTcpTransport::Shutdown() {
    m_socket.Disconnect();
}

void COrvTcpTransport::Close(bool bHard) {
    m_socket.Close(bHard);
}

COrvStringA COrvTcpTransport::Describe() const {
    COrvStringA s;
    s.Format("TCP to %s:%d", OrvHostUrlForm(m_sHost).GetString(), m_nPort);
    return s;
}

bool COrvTcpTransport::HasPendingInput(bool bAskSystem) {
    if (m_socket.GetBufferedCount() > 0)
        return true;
    if (!bAskSystem || !m_socket.IsOpen())
        return false;
    struct pollfd p = {m_socket.GetDescriptor(), POLLIN, 0};
    return OrvSysPoll(&p, 1, 0) > 0;
}

bool COrvTcpTransport::SetTimeouts(int nSendTimeout, int nRecvTimeout, COrvError& err) {
    return m_socket.SetTimeouts(nSendTimeout, nRecvTimeout, err);
}
