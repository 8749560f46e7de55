// The portable half of COrvSocket: buffers, the send and receive forms, fault injection, the
// observer's checks, connect retries and the close / disconnect rules. System calls live in
// orv-socket-posix.cpp, TLS in orv-ssl.cpp.
#include "orv-socket.h"

#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "orv-log.h"
#include "orv-registry.h"
#include "orv-socket-os.h"
#include "orv-ssl-io.h"
#include "orv-ssl.h"
#include "orv-trace.h"
#include "orv-transfer-observer.h"

namespace {

// Fault settings: loaded once, on first use, through the installed loader.
std::mutex g_faultMutex;
OrvSocketFaultLoaderFn g_pfnFaultLoader = nullptr;
bool g_bFaultLoaded = false;
OrvSocketFaultSettings g_fault;
std::atomic<unsigned> g_nDropSend{0};
std::atomic<unsigned> g_nDropRecv{0};
std::atomic<uint64_t> g_nSendCount{0};
std::atomic<uint64_t> g_nRecvCount{0};

// The counts and switches as the product's key in the settings store holds them; a missing key or
// value leaves that count or switch off.
OrvSocketFaultSettings FaultsFromSettingsStore() {
    OrvSocketFaultSettings f;
    COrvRegKey key;
    COrvError err;
    if (!key.Open(enOrvHKeyCurrentUser, kOrvProductKey, ORV_KEY_READ, err))
        return f;
    uint32_t n = 0;
    if (key.QueryDWORDValue(u"DropSend", n, err))
        f.nDropSend = n;
    err.Clear();
    if (key.QueryDWORDValue(u"DropRecv", n, err))
        f.nDropRecv = n;
    err.Clear();
    if (key.QueryDWORDValue(u"DisableUDP", n, err))
        f.bDisableUdp = n != 0;
    err.Clear();
    if (key.QueryDWORDValue(u"DisableAccept", n, err))
        f.bDisableAccept = n != 0;
    return f;
}

void LoadFaultsLocked() {
    if (g_bFaultLoaded)
        return;
    g_bFaultLoaded = true;
    g_fault = g_pfnFaultLoader != nullptr ? g_pfnFaultLoader() : FaultsFromSettingsStore();
    g_nDropSend = g_fault.nDropSend;
    g_nDropRecv = g_fault.nDropRecv;
}

// True when this send (or receive) is the one the count drops.
bool DropThisOne(std::atomic<unsigned>& nEvery, std::atomic<uint64_t>& nCount) {
    {
        static std::once_flag once;
        std::call_once(once, [] {
            std::lock_guard<std::mutex> guard(g_faultMutex);
            LoadFaultsLocked();
        });
    }
    const unsigned n = nEvery.load(std::memory_order_relaxed);
    if (n == 0)
        return false;
    return (nCount.fetch_add(1, std::memory_order_relaxed) + 1) % n == 0;
}

}  // namespace

void OrvSetSocketFaultLoader(OrvSocketFaultLoaderFn pfn) {
    std::lock_guard<std::mutex> guard(g_faultMutex);
    g_pfnFaultLoader = pfn;
    g_bFaultLoaded = false;
}

void OrvSetSocketFaultSettings(const OrvSocketFaultSettings& settings) {
    std::lock_guard<std::mutex> guard(g_faultMutex);
    g_bFaultLoaded = true;
    g_fault = settings;
    g_nDropSend = settings.nDropSend;
    g_nDropRecv = settings.nDropRecv;
    g_nSendCount = 0;
    g_nRecvCount = 0;
}

OrvSocketFaultSettings OrvGetSocketFaultSettings() {
    std::lock_guard<std::mutex> guard(g_faultMutex);
    LoadFaultsLocked();
    return g_fault;
}

COrvStringA OrvHostUrlForm(const char* pszHost) {
    COrvStringA s(pszHost != nullptr ? pszHost : "");
    if (!s.IsEmpty() && s[0] != '[' && s.Find(':') >= 0) {
        s.Insert(0, '[');
        s += "]";
    }
    return s;
}

// ---------------------------------------------------------------------------------------------

COrvSocket::COrvSocket() = default;

COrvSocket::~COrvSocket() {
    Close(true);
    OrvSslFreeSession(m_pResumeSession);
}

void COrvSocket::SetTlsSessionToResume(void* pSession) {
    OrvSslIoSessionUpRef(pSession);
    OrvSslFreeSession(m_pResumeSession);
    m_pResumeSession = pSession;
}

void COrvSocket::ResetFields() {
    free(m_pRecv);
    free(m_pSend);
    m_pRecv = nullptr;
    m_pSend = nullptr;
    m_nRecvCap = m_nRecvLen = m_nRecvPos = 0;
    m_nSendLen = 0;
    m_bBuffered = false;
    m_bTls = false;
    m_tls = COrvTlsSettings();
    m_bUdp = false;
    m_strPeerHost.Empty();
    m_strPeerText.Empty();
    m_nPeerPort = 0;
    m_nSendTimeout = m_nRecvTimeout = m_nWaitTimeout = kDefaultTimeout;
    m_nRecvLowWater = 1;
    m_nOwnerThread = 0;
    m_nStartMs = 0;
    m_pObserver = nullptr;
    m_bClosedOutside = false;
    m_bFailed = false;
}

void COrvSocket::Close(bool bHard) {
    TvAutoCriticalSection guard(m_lock, "COrvSocket::Close");
    if (m_pSsl != nullptr) {
        COrvStringA strFailure;
        // After a disconnect from outside or a failure the connection is gone: no close_notify.
        if (m_bClosedOutside || m_bFailed || bHard)
            OrvSslIoFree(m_pSsl, !m_bClosedOutside && !m_bFailed);
        else
            OrvSslIoShutdownAndFree(m_pSsl, strFailure);
        if (!strFailure.IsEmpty())
            g_orv_log.Printf("vSocket::Close: TLS shutdown of %s failed: %s\n",
                             m_strPeerText.GetString(), strFailure.GetString());
        m_pSsl = nullptr;
    }
    const int fd = m_fd.exchange(-1);
    if (fd >= 0)
        OrvSocketOsClose(fd, bHard && !m_bClosedOutside);
    ResetFields();
}

void COrvSocket::Disconnect() {
    TvAutoCriticalSection guard(m_lock, "COrvSocket::Disconnect");
    const int fd = m_fd.load();
    const int64_t nOwner = m_nOwnerThread.load();
    if (fd >= 0 && m_pObserver != nullptr && nOwner == 0)
        g_orv_log.Printf("Socket of %s:%d has no m_thread_id\n", m_strPeerHost.GetString(),
                         m_nPeerPort);
    if (nOwner != 0 && nOwner != OrvGetThreadNumber()) {
        if (fd < 0) {
            g_orv_log.Printf("Socket (not-conn) disconnecting from OUTside. owner=%lld\n",
                             static_cast<long long>(nOwner));
            return;
        }
        g_orv_log.Printf("Socket of %s:%d disconnectINT from OUTside. owner=%lld\n",
                         m_strPeerHost.GetString(), m_nPeerPort, static_cast<long long>(nOwner));
        // Shutting down wakes the owner's pending call; the descriptor itself is closed by the
        // owner, so that its number cannot be reused under a call the owner is still making.
        m_bClosedOutside = true;
        OrvSocketOsShutdown(fd);
        return;
    }
    g_orv_log.Printf("Socket of %s:%d disconnecting from INside. owner=%lld\n",
                     m_strPeerHost.GetString(), m_nPeerPort, static_cast<long long>(nOwner));
    guard.Unlock();
    Close(true);
}

bool COrvSocket::AbortRequested(COrvError& err) {
    if (m_pObserver == nullptr)
        return false;
    int nCode = enNetOk;
    COrvStringA strText;
    if (!m_pObserver->ShouldAbort(nCode, strText))
        return false;
    if (strText.IsEmpty())
        strText = "cancelled";
    err.Set(nCode != enNetOk ? nCode : enNetCancelled, strText);
    return true;
}

bool COrvSocket::CheckUsable(COrvError& err) {
    if (m_bClosedOutside || m_fd < 0) {
        if (m_fd >= 0)
            FailClose();
        return err.Set(enNetConnection, "socket has closed, please retry");
    }
    return true;
}

bool COrvSocket::SocketError(int nErrno, const char* pszAction, COrvError& err,
                             const char* pszSuffix) {
    COrvStringA str;
    str.Format("[%s %s]: ", pszAction, m_strPeerText.GetString());
    str += OrvSocketErrnoText(nErrno);
    str += pszSuffix;
    return err.Set(OrvResultFromErrno(nErrno, OrvErrnoUse::Socket), str);
}

// ---------------------------------------------------------------------------------------------
// Connecting

bool COrvSocket::ConnectOnce(const char* pszHost, int nPort, bool bTls,
                             const COrvConnectSettings& settings, IOrvTransferObserver* pObserver,
                             int nConnectTimeout, COrvError& err) {
    Close(true);
    {
        TvAutoCriticalSection guard(m_lock, "COrvSocket::Connect");
        m_strPeerHost = pszHost != nullptr ? pszHost : "";
        m_nPeerPort = nPort;
        m_bAllowIPv6 = settings.m_bAllowIPv6;
        m_pObserver = pObserver;
        m_nStartMs = OrvSocketNowMs();
        m_nOwnerThread = OrvGetThreadNumber();
        m_nSendTimeout = settings.m_nSendTimeout > 0 ? settings.m_nSendTimeout : kDefaultTimeout;
        m_nRecvTimeout = settings.m_nRecvTimeout > 0 ? settings.m_nRecvTimeout : kDefaultTimeout;
    }
    // Kept across the close that a failure makes, so that the caller sees who failed.
    const int64_t nOwner = m_nOwnerThread;
    if (!ConnectName(m_strPeerHost, nPort, nConnectTimeout, err)) {
        Close(true);
        return false;
    }
    if (!ApplyTimeouts(err)) {
        Close(true);
        return false;
    }
    if (bTls && !StartTls(m_strPeerHost, settings.m_tls, err))
        return false;
    m_nOwnerThread = nOwner;
    return true;
}

bool COrvSocket::Connect(const char* pszHost, int nPort, bool bTls,
                         const COrvConnectSettings& settings, IOrvTransferObserver* pObserver,
                         int& nCode, COrvStringA& strError) {
    COrvError err;
    const bool bOk = Connect(pszHost, nPort, bTls, settings, pObserver, err);
    err.CopyTo(&nCode, &strError);
    return bOk;
}

bool COrvSocket::Connect(const char* pszHost, int nPort, bool bTls,
                         const COrvConnectSettings& settings, IOrvTransferObserver* pObserver,
                         COrvError& err) {
    const int nAttempts = settings.m_nAttempts > 0 ? settings.m_nAttempts : 1;
    int nTimeout = settings.m_nConnectTimeout;
    for (int iAttempt = 1;; ++iAttempt) {
        COrvError errAttempt;
        const int64_t nStart = OrvSocketNowMs();
        if (ConnectOnce(pszHost, nPort, bTls, settings, pObserver, nTimeout, errAttempt))
            return true;
        if (errAttempt.Code() != enNetConnection || iAttempt >= nAttempts) {
            err.Pass(errAttempt);
            return false;
        }
        // The next attempt starts no sooner than the previous one's time-out would have ended.
        const int64_t nUntil = nStart + int64_t(nTimeout > 0 ? nTimeout : kDefaultTimeout) * 1000;
        for (int64_t nNow = OrvSocketNowMs(); nNow < nUntil; nNow = OrvSocketNowMs()) {
            m_pObserver = pObserver;
            if (AbortRequested(err)) {
                m_pObserver = nullptr;
                return false;
            }
            m_pObserver = nullptr;
            const int64_t nStep = nUntil - nNow < 200 ? nUntil - nNow : 200;
            OrvSocketSleepMs(static_cast<int>(nStep));
        }
        nTimeout = nTimeout > 0 ? nTimeout * 2 : kDefaultTimeout * 2;
    }
}

bool COrvSocket::StartTls(const char* pszHost, const COrvTlsSettings& tls, COrvError& err) {
    if (!CheckUsable(err))
        return false;
    // A TLS socket runs non-blocking: OpenSSL's reads and writes return at once and every wait
    // is a poll with what is left of the call's deadline (a blocking write would restart the
    // system's send time-out after every partial write).
    if (!SetBlocking(false, err)) {
        Close(true);
        return false;
    }
    void* pSsl = nullptr;
    m_tls = tls;
    if (!OrvSslIoStartClient(m_fd, pszHost, m_nPeerPort, m_tls.m_sClientCertificate,
                             m_tls.m_sCaFile, m_tls.m_nOptions, m_tls.m_bTrustAny, m_nRecvTimeout,
                             m_pResumeSession, pSsl, err)) {
        Close(true);
        return false;
    }
    m_pSsl = pSsl;
    m_bTls = true;
    return true;
}

bool COrvSocket::AcceptTls(COrvSslServerContext& ctx, COrvError& err) {
    if (!CheckUsable(err) || !SetBlocking(false, err)) {
        Close(true);
        return false;
    }
    void* pSsl = nullptr;
    if (!OrvSslIoAccept(m_fd, ctx, m_nRecvTimeout, pSsl, err)) {
        Close(true);
        return false;
    }
    m_pSsl = pSsl;
    m_bTls = true;
    return true;
}

bool COrvSocket::IsTlsSessionReused() const {
    return m_pSsl != nullptr && OrvSslIoSessionReused(m_pSsl);
}

// ---------------------------------------------------------------------------------------------
// Sending

bool COrvSocket::Send(const void* pData, int nLen, COrvError& err) {
    ORV_ASSERT_TEXT(nLen > 0, "len>0");
    if (nLen <= 0)
        return true;
    if (!m_bBuffered)
        return SendNow(pData, nLen, err);
    if (m_pSend == nullptr) {
        m_pSend = static_cast<unsigned char*>(malloc(kBufferSize));
        if (m_pSend == nullptr)
            return err.Set(enNetNoMemory,
                           "vSocket::SendBuf: send buffer not allocated, out of memory?");
    }
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    while (nLen > 0) {
        const int nTake = nLen < kBufferSize - m_nSendLen ? nLen : kBufferSize - m_nSendLen;
        memcpy(m_pSend + m_nSendLen, p, nTake);
        m_nSendLen += nTake;
        p += nTake;
        nLen -= nTake;
        if (m_nSendLen == kBufferSize && !Flush(err))
            return false;
    }
    return true;
}

bool COrvSocket::SendString(const char* psz, COrvError& err) {
    const int n = psz != nullptr ? static_cast<int>(strlen(psz)) : 0;
    return n == 0 || Send(psz, n, err);
}

bool COrvSocket::Flush(COrvError& err) {
    if (m_nSendLen == 0)
        return CheckUsable(err);
    const int n = m_nSendLen;
    m_nSendLen = 0;
    if (!SendNow(m_pSend, n, err)) {
        FailClose();
        return false;
    }
    return true;
}

bool COrvSocket::SendNow(const void* pData, int nLen, COrvError& err) {
    if (!CheckUsable(err))
        return false;
    if (DropThisOne(g_nDropSend, g_nSendCount)) {
        FailClose();
        return err.Set(enNetConnection, "TCP Send is dropped");
    }
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    const bool bOk = m_bTls ? SendTls(p, nLen, err) : SendPlain(p, nLen, err);
    if (!bOk) {
        FailClose();
        return false;
    }
    if (m_pObserver != nullptr) {
        m_pObserver->m_nBytesSent += nLen;
        if (m_pObserver->m_bProgressEnabled) {
            int nCode = enNetOk;
            COrvStringA strText;
            if (!m_pObserver->OnProgress(m_pObserver->m_nBytesSent, 0, nCode, strText)) {
                FailClose();
                return err.Set(nCode != enNetOk ? nCode : enNetCancelled,
                               strText.IsEmpty() ? "cancelled" : strText.GetString());
            }
        }
    }
    return true;
}

bool COrvSocket::SendTls(const unsigned char* p, int nLen, COrvError& err) {
    if (m_pSsl == nullptr)
        return err.Set(enNetBadRequest, "SSL not initialized");
    const int64_t nDeadline = OrvSocketNowMs() + int64_t(m_nSendTimeout) * 1000;
    for (;;) {
        int nKind = 0, nSslError = 0;
        const int r = OrvSslIoWrite(m_pSsl, p, nLen, nKind, nSslError);
        const int nErrno = errno;
        if (r > 0) {
            if (r > nLen)
                return err.SetFormat(enNetServer, "SSL written too many chars to socket: %d > %d",
                                     r, nLen);
            if (r < nLen)
                return err.SetFormat(enNetServer, "SSL written not enough chars to socket: %d < %d",
                                     r, nLen);
            return true;
        }
        switch (nKind) {
            case kOrvSslIoZeroReturn:
                return err.Set(enNetConnection, "SSL connection closed while writing");
            case kOrvSslIoSyscall: {
                COrvStringA strAction;
                strAction.Format("SSL sending [%d]", r);
                return SocketError(nErrno != 0 ? nErrno : EPIPE, strAction, err);
            }
            case kOrvSslIoWantRead:
            case kOrvSslIoWantWrite: {
                COrvError errWait;
                if (!WaitReady(nKind == kOrvSslIoWantWrite, nDeadline, errWait, "SSL sending")) {
                    if (errWait.Code() == enNetTimeout)
                        return err.Set(enNetConnection, "Timeout on SSL_ERROR_WANT_WRITE");
                    return err.Pass(errWait);
                }
                continue;
            }
            default: {
                COrvStringA strErr = OrvSslIoErrorText();
                return err.SetFormat(enNetConnection, "SSL write error: c=%d err=%d t=%s", r,
                                     nSslError, strErr.GetString());
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Receiving

int COrvSocket::ReadSome(unsigned char* p, int nMax, COrvError& err) {
    if (!CheckUsable(err))
        return -1;
    if (DropThisOne(g_nDropRecv, g_nRecvCount)) {
        FailClose();
        err.Set(enNetConnection, "TCP Recv is dropped");
        return -1;
    }
    const int r = m_bTls ? ReadTls(p, nMax, err) : ReadPlain(p, nMax, err);
    if (m_bClosedOutside) {
        // A disconnect from another thread ends the pending read (often as an end of stream):
        // it is a failure, never data or a clean end.
        if (r >= 0)
            err.Set(enNetConnection, "socket has closed, please retry");
        else
            err.AddContext("socket has closed, please retry: ");
        FailClose();
        return -1;
    }
    if (r < 0)
        FailClose();
    return r;
}

int COrvSocket::ReadTls(unsigned char* p, int nMax, COrvError& err) {
    if (m_pSsl == nullptr) {
        err.Set(enNetBadRequest, "SSL session closed prematurely");
        return -1;
    }
    const int64_t nDeadline = OrvSocketNowMs() + int64_t(m_nRecvTimeout) * 1000;
    for (;;) {
        int nKind = 0, nSslError = 0;
        const int r = OrvSslIoRead(m_pSsl, p, nMax, nKind, nSslError);
        const int nErrno = errno;
        if (r > 0)
            return r;
        switch (nKind) {
            case kOrvSslIoZeroReturn:
                return 0;
            case kOrvSslIoWantRead:
            case kOrvSslIoWantWrite: {
                COrvError errWait;
                if (!WaitReady(nKind == kOrvSslIoWantWrite, nDeadline, errWait, "SSL receiving")) {
                    if (errWait.Code() == enNetTimeout)
                        err.Set(enNetConnection, "SSL timeout on WANT_READ");
                    else
                        err.Pass(errWait);
                    return -1;
                }
                continue;
            }
            case kOrvSslIoWantX509:
                err.Set(enNetServer, "Client certificate is required for this connection");
                return -1;
            case kOrvSslIoSyscall:
                // errno 0: the peer closed the TCP stream without close_notify; the bytes so far
                // are all there is.
                if (nErrno == 0 && r == 0)
                    return 0;
                SocketError(nErrno != 0 ? nErrno : ECONNRESET, "SSL receiving", err);
                return -1;
            default: {
                COrvStringA strErr = OrvSslIoErrorText();
                err.SetFormat(enNetConnection, "SSL read error: bc=%d err=%d t=%s", r, nSslError,
                              strErr.GetString());
                return -1;
            }
        }
    }
}

bool COrvSocket::EnsureRecvBuffer(int nCapacity, COrvError& err) {
    if (m_pRecv != nullptr && m_nRecvCap >= nCapacity)
        return true;
    int nNew = m_nRecvCap > 0 ? m_nRecvCap : kBufferSize;
    while (nNew < nCapacity)
        nNew *= 2;
    unsigned char* p = static_cast<unsigned char*>(realloc(m_pRecv, nNew));
    if (p == nullptr)
        return err.Set(enNetNoMemory,
                       "vSocket::PeekBuffer: recv buffer not allocated, out of memory?");
    m_pRecv = p;
    m_nRecvCap = nNew;
    return true;
}

int COrvSocket::FillRecv(COrvError& err) {
    if (!EnsureRecvBuffer(kBufferSize, err))
        return -1;
    if (m_nRecvPos == m_nRecvLen)
        m_nRecvPos = m_nRecvLen = 0;
    if (m_nRecvLen == m_nRecvCap) {
        // Move the unread bytes to the front to make room.
        memmove(m_pRecv, m_pRecv + m_nRecvPos, m_nRecvLen - m_nRecvPos);
        m_nRecvLen -= m_nRecvPos;
        m_nRecvPos = 0;
    }
    const int r = ReadSome(m_pRecv + m_nRecvLen, m_nRecvCap - m_nRecvLen, err);
    if (r > 0)
        m_nRecvLen += r;
    return r;
}

bool COrvSocket::Recv(void* pBuf, int nMax, int& nGot, COrvError& err) {
    nGot = 0;
    if (nMax <= 0)
        return true;
    if (m_nRecvPos < m_nRecvLen) {
        nGot = m_nRecvLen - m_nRecvPos < nMax ? m_nRecvLen - m_nRecvPos : nMax;
        memcpy(pBuf, m_pRecv + m_nRecvPos, nGot);
        m_nRecvPos += nGot;
        return true;
    }
    // Large reads go straight into the caller's memory.
    if (nMax >= 16384) {
        const int r = ReadSome(static_cast<unsigned char*>(pBuf), nMax, err);
        if (r < 0)
            return false;
        nGot = r;
        return true;
    }
    const int r = FillRecv(err);
    if (r < 0)
        return false;
    if (r == 0)
        return true;
    return Recv(pBuf, nMax, nGot, err);
}

bool COrvSocket::RecvByte(unsigned char& ch, bool& bEof, COrvError& err) {
    bEof = false;
    ch = 0;
    if (m_nRecvPos == m_nRecvLen) {
        const int r = FillRecv(err);
        if (r < 0)
            return false;
        if (r == 0) {
            bEof = true;
            return true;
        }
    }
    ch = m_pRecv[m_nRecvPos++];
    return true;
}

bool COrvSocket::RecvExact(void* pBuf, int nLen, COrvError& err) {
    unsigned char* p = static_cast<unsigned char*>(pBuf);
    int nDone = 0;
    while (nDone < nLen) {
        int nGot = 0;
        if (!Recv(p + nDone, nLen - nDone, nGot, err))
            return false;
        if (nGot == 0)
            return err.SetFormat(enNetEndOfStream,
                                 "[receiving data %s]: end of stream after %d of %d bytes",
                                 m_strPeerText.GetString(), nDone, nLen);
        nDone += nGot;
    }
    return true;
}

bool COrvSocket::RecvLine(COrvStringA& strLine, COrvError& err) {
    strLine.Empty();
    int nLineLen = 0;  // bytes of the line gathered so far (before the current buffer window)
    for (;;) {
        const unsigned char* pStart = m_pRecv + m_nRecvPos;
        const int nAvail = m_nRecvLen - m_nRecvPos;
        const void* pLf = nAvail > 0 ? memchr(pStart, '\n', nAvail) : nullptr;
        const int nTake = pLf != nullptr
                              ? static_cast<int>(static_cast<const unsigned char*>(pLf) - pStart)
                              : nAvail;
        // A CR that may end the line (just before the LF, or last of what has come so far) is
        // not part of the line's length.
        const bool bEndCr =
            nTake > 0 ? pStart[nTake - 1] == '\r' : nLineLen > 0 && strLine[nLineLen - 1] == '\r';
        if (nLineLen + nTake - (bEndCr ? 1 : 0) >= kMaxLine) {
            strLine.Empty();
            return err.Set(enNetServer, "receiving line: line too long");
        }
        if (nTake > 0 && !strLine.Append(reinterpret_cast<const char*>(pStart), nTake))
            return err.Set(enNetNoMemory, "receiving line: out of memory");
        nLineLen += nTake;
        m_nRecvPos += nTake;
        if (pLf != nullptr) {
            ++m_nRecvPos;
            int n = strLine.GetLength();
            while (n > 0 && strLine[n - 1] == '\r')
                --n;
            strLine.Truncate(n);
            return true;
        }
        const int r = FillRecv(err);
        if (r < 0) {
            err.AddContext("receiving line: ");
            return false;
        }
        if (r == 0) {
            if (nLineLen > 0)
                return true;
            return err.Set(enNetEndOfStream, "receiving line: end of stream");
        }
    }
}

bool COrvSocket::RecvAll(COrvStringA& strOut, int64_t nMax, COrvError& err) {
    int64_t nTotal = 0;
    unsigned char buf[65536];
    for (;;) {
        int nGot = 0;
        if (!Recv(buf, sizeof buf, nGot, err))
            return false;
        if (nGot == 0)
            return true;
        if (nTotal + nGot > nMax) {
            strOut.Append(reinterpret_cast<const char*>(buf), static_cast<int>(nMax - nTotal));
            return err.SetFormat(enNetResources, "[receiving data %s]: more than %lld bytes",
                                 m_strPeerText.GetString(), static_cast<long long>(nMax));
        }
        if (!strOut.Append(reinterpret_cast<const char*>(buf), nGot))
            return err.Set(enNetNoMemory, "receiving data: out of memory");
        nTotal += nGot;
    }
}

bool COrvSocket::Peek(int nLen, const unsigned char*& pData, int& nAvail, COrvError& err) {
    pData = nullptr;
    nAvail = 0;
    if (nLen < 0 || nLen > (1 << 30))
        return err.SetFormat(enNetBadRequest, "vSocket::Peek: bad length %d", nLen);
    if (!EnsureRecvBuffer(nLen, err))
        return false;
    while (m_nRecvLen - m_nRecvPos < nLen) {
        if (m_nRecvPos > 0 && m_nRecvLen == m_nRecvCap) {
            memmove(m_pRecv, m_pRecv + m_nRecvPos, m_nRecvLen - m_nRecvPos);
            m_nRecvLen -= m_nRecvPos;
            m_nRecvPos = 0;
        }
        if (m_nRecvCap - m_nRecvPos < nLen && !EnsureRecvBuffer(m_nRecvPos + nLen, err))
            return false;
        const int r = FillRecv(err);
        if (r < 0)
            return false;
        if (r == 0)
            break;
    }
    pData = m_pRecv + m_nRecvPos;
    nAvail = m_nRecvLen - m_nRecvPos;
    return true;
}
