// The TLS step of a connection: OpenSSL (through the seam of orv-ssl) over the lower step.
#include "orv-tls-transport.h"

#include <errno.h>

#include <new>

#include "orv-socket-os.h"
#include "orv-ssl-io.h"

COrvTlsTransport::COrvTlsTransport(std::unique_ptr<IOrvTransport> pLower, const char* pszHost,
                                   int nPort, const COrvTlsSettings& tls)
    : m_pLower(std::move(pLower)), m_sHost(pszHost), m_nPort(nPort), m_tls(tls) {}

COrvTlsTransport::~COrvTlsTransport() {
    Close(true);
    delete static_cast<COrvSslIoChannel*>(m_pChannel);
}

int COrvTlsTransport::ChannelRead(void* pCtx, void* pBuf, int nMax) {
    auto* self = static_cast<COrvTlsTransport*>(pCtx);
    int nGot = 0;
    COrvError e;
    if (!self->m_pLower->Recv(pBuf, nMax, nGot, e)) {
        if (!self->m_lowerErr.Failed())
            (void)self->m_lowerErr.Pass(e);
        return -1;
    }
    return nGot;
}

int COrvTlsTransport::ChannelWrite(void* pCtx, const void* pData, int nLen) {
    auto* self = static_cast<COrvTlsTransport*>(pCtx);
    COrvError e;
    if (!self->m_pLower->Send(pData, nLen, e) || (!self->m_bInSend && !self->m_pLower->Flush(e))) {
        if (!self->m_lowerErr.Failed())
            (void)self->m_lowerErr.Pass(e);
        return -1;
    }
    return nLen;
}

bool COrvTlsTransport::ChannelFlush(void* pCtx) {
    auto* self = static_cast<COrvTlsTransport*>(pCtx);
    COrvError e;
    if (self->m_pLower->Flush(e))
        return true;
    if (!self->m_lowerErr.Failed())
        (void)self->m_lowerErr.Pass(e);
    return false;
}

bool COrvTlsTransport::Connect(int64_t nDeadlineMs, IOrvTransferObserver* pObserver,
                               COrvError& err) {
    Close(true);
    if (!m_pLower->Connect(nDeadlineMs, pObserver, err))
        return false;
    COrvStringA sStep;
    sStep.Format("TLS handshake with %s:%d", m_sHost.GetString(), m_nPort);
    if (!OrvTransportBeforeDeadline(nDeadlineMs, sStep, err)) {
        m_pLower->Close(true);
        return false;
    }
    if (m_pChannel == nullptr) {
        auto* pChannel = new (std::nothrow) COrvSslIoChannel;
        if (pChannel == nullptr) {
            m_pLower->Close(true);
            return err.Set(enNetNoMemory, "TLS: out of memory");
        }
        pChannel->m_pCtx = this;
        pChannel->m_pfnRead = &ChannelRead;
        pChannel->m_pfnWrite = &ChannelWrite;
        pChannel->m_pfnFlush = &ChannelFlush;
        m_pChannel = pChannel;
    }
    m_lowerErr.Clear();
    COrvError e;
    if (!OrvSslIoStartClientOver(static_cast<COrvSslIoChannel*>(m_pChannel), m_sHost, m_nPort,
                                 m_tls.m_sClientCertificate, m_tls.m_sCaFile, m_tls.m_nOptions,
                                 m_tls.m_bTrustAny, m_pSsl, e)) {
        m_pLower->Close(true);
        // The step below failed first: that is the cause, with its code and errno.
        if (m_lowerErr.Failed())
            return err.Pass(m_lowerErr, sStep + ": ");
        return err.Pass(e);
    }
    return true;
}

bool COrvTlsTransport::Failed(bool bWrite, int r, int nKind, int nSslError, COrvError& err) {
    const int nErrno = errno;
    const char* pszAction = bWrite ? "writing" : "reading";
    if (m_lowerErr.Failed())
        (void)err.Pass(m_lowerErr);
    else if (nKind == kOrvSslIoWantX509)
        (void)err.Set(enNetServer, "Client certificate is required for this connection");
    else if (nKind == kOrvSslIoZeroReturn)
        (void)err.SetFormat(enNetConnection, "SSL connection closed while %s", pszAction);
    else if (nKind == kOrvSslIoSyscall && nErrno != 0)
        (void)err.SetErrnoText(nErrno,
                               COrvStringA("SSL ") + pszAction + ": " + OrvSocketErrnoText(nErrno));
    else if (bWrite)
        (void)err.SetFormat(enNetConnection, "SSL write error: c=%d err=%d t=%s", r, nSslError,
                            OrvSslIoErrorText().GetString());
    else
        (void)err.SetFormat(enNetConnection, "SSL read error: bc=%d err=%d t=%s", r, nSslError,
                            OrvSslIoErrorText().GetString());
    Close(true);
    return false;
}

bool COrvTlsTransport::Send(const void* pData, int nLen, COrvError& err) {
    if (m_pSsl == nullptr)
        return err.Set(enNetBadRequest, "SSL not initialized");
    int nKind = 0, nSslError = 0;
    m_bInSend = true;
    const int r = OrvSslIoWrite(m_pSsl, pData, nLen, nKind, nSslError);
    m_bInSend = false;
    if (r == nLen)
        return true;
    return Failed(true, r, nKind, nSslError, err);
}

bool COrvTlsTransport::Flush(COrvError& err) {
    if (m_pSsl == nullptr)
        return err.Set(enNetBadRequest, "SSL not initialized");
    if (m_pLower->Flush(err))
        return true;
    Close(true);
    return false;
}

bool COrvTlsTransport::Recv(void* pBuf, int nMax, int& nGot, COrvError& err) {
    nGot = 0;
    if (m_pSsl == nullptr)
        return err.Set(enNetBadRequest, "SSL session closed prematurely");
    int nKind = 0, nSslError = 0;
    const int r = OrvSslIoRead(m_pSsl, pBuf, nMax, nKind, nSslError);
    if (r > 0) {
        nGot = r;
        return true;
    }
    // close_notify, or the stream ended under it without one: the bytes so far are all.
    if (!m_lowerErr.Failed() &&
        (nKind == kOrvSslIoZeroReturn || (nKind == kOrvSslIoSyscall && errno == 0)))
        return true;
    return Failed(false, r, nKind, nSslError, err);
}

void COrvTlsTransport::Close(bool bHard) {
    if (m_pSsl != nullptr) {
        if (bHard || m_lowerErr.Failed()) {
            OrvSslIoFree(m_pSsl, !m_lowerErr.Failed());
        } else {
            COrvStringA sFailure;
            OrvSslIoShutdownAndFree(m_pSsl, sFailure);
        }
        m_pSsl = nullptr;
    }
    m_pLower->Close(bHard);
}

COrvStringA COrvTlsTransport::Describe() const {
    COrvStringA s;
    s.Format("TLS to %s:%d over ", m_sHost.GetString(), m_nPort);
    return s + m_pLower->Describe();
}

bool COrvTlsTransport::HasPendingInput(bool /*bAskSystem*/) {
    // A TLS stream may hold records that carry no data (session tickets): only bytes already
    // buffered below count.
    return m_pSsl != nullptr && (OrvSslIoPending(m_pSsl) > 0 || m_pLower->HasPendingInput(false));
}

bool COrvTlsTransport::IsSessionReused() const {
    return OrvSslIoSessionReused(m_pSsl);
}
