// The system side of COrvSocket over BSD sockets: resolving and connecting, plain sends and
// receives with time-outs, closing, listening, UDP and the event wait. Every call goes through
// the replaceable system-call table, is retried on EINTR and opens its descriptors O_CLOEXEC;
// sends use MSG_NOSIGNAL so that a closed peer never raises SIGPIPE.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <time.h>

#include <mutex>

#include "orv-clock.h"
#include "orv-fd.h"
#include "orv-log.h"
#include "orv-socket-os.h"
#include "orv-socket.h"
#include "orv-sys.h"
#include "orv-trace.h"
#include "orv-transfer-observer.h"

namespace {

std::mutex g_bindMutex;
COrvStringA g_strBindAddress;

// One entry of the module's errno table.
struct ErrnoText {
    int nErrno;
    const char* pszText;
};

const ErrnoText kErrnoTexts[] = {
    {ECONNREFUSED, "Connection refused: no server is listening at the address"},
    {ECONNRESET, "Connection reset by the peer"},
    {ECONNABORTED, "Connection aborted"},
    {ETIMEDOUT, "Connection timed out"},
    {EHOSTUNREACH, "No route to the host"},
    {ENETUNREACH, "The network is unreachable"},
    {ENETDOWN, "The network is down"},
    {ENETRESET, "The network dropped the connection"},
    {EHOSTDOWN, "The host is down"},
    {EPIPE, "The connection is closed for sending"},
    {ENOTCONN, "The socket is not connected"},
    {EISCONN, "The socket is already connected"},
    {EINPROGRESS, "A connect is in progress"},
    {EALREADY, "An operation is already in progress"},
    {EWOULDBLOCK, "The operation would block"},
    {EADDRINUSE, "The address is already in use"},
    {EADDRNOTAVAIL, "The address is not available on this machine"},
    {EAFNOSUPPORT, "The address family is not supported"},
    {EPROTONOSUPPORT, "The protocol is not supported"},
    {ENOTSOCK, "The descriptor is not a socket"},
    {EMSGSIZE, "The message is too long"},
    {ENOBUFS, "No buffer space is available"},
    {ENOMEM, "Not enough memory"},
    {EMFILE, "Too many open descriptors in the process"},
    {ENFILE, "Too many open files in the system"},
    {EINVAL, "Invalid argument"},
    {EBADF, "Bad descriptor"},
    {EACCES, "Permission denied"},
    {EPERM, "Operation not permitted"},
    {EINTR, "The call was interrupted"},
};

// Dotted IPv4 text of a four-byte address in network order.
COrvStringA DottedText(const void* pAddr) {
    const unsigned char* b = static_cast<const unsigned char*>(pAddr);
    COrvStringA s;
    s.Format("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return s;
}

// "addr:port" ("[addr]:port" for IPv6) of a socket address.
COrvStringA AddressText(const sockaddr* pAddr) {
    COrvStringA s;
    if (pAddr->sa_family == AF_INET) {
        const sockaddr_in* p4 = reinterpret_cast<const sockaddr_in*>(pAddr);
        s = DottedText(&p4->sin_addr);
        s.AppendFormat(":%d", ntohs(p4->sin_port));
    } else if (pAddr->sa_family == AF_INET6) {
        const sockaddr_in6* p6 = reinterpret_cast<const sockaddr_in6*>(pAddr);
        char sz[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, &p6->sin6_addr, sz, sizeof sz);
        s.Format("[%s]:%d", sz, ntohs(p6->sin6_port));
    }
    return s;
}

// Parses dotted IPv4 text; false (with "Wrong IP addr: " in err) when it is none.
bool ParseIPv4(const char* psz, in_addr& addr, COrvError* pErr = nullptr) {
    if (psz != nullptr && inet_pton(AF_INET, psz, &addr) == 1)
        return true;
    if (pErr != nullptr)
        pErr->SetFormat(enNetBadRequest, "Wrong IP addr: %s", psz != nullptr ? psz : "");
    return false;
}

int SetBlockingFd(int fd, bool bBlocking) {
    const int nFlags = fcntl(fd, F_GETFL);
    if (nFlags < 0)
        return -1;
    const int nNew = bBlocking ? (nFlags & ~O_NONBLOCK) : (nFlags | O_NONBLOCK);
    return nNew == nFlags ? 0 : fcntl(fd, F_SETFL, nNew);
}

}  // namespace

int64_t OrvSocketNowMs() {
    return OrvClockMonotonicNs() / 1000000;
}

void OrvSocketSleepMs(int nMs) {
    timespec ts{nMs / 1000, (nMs % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void OrvSocketOsClose(int fd, bool bHard) {
    if (!bHard) {
        // A TLS socket runs non-blocking; the graceful wait below relies on the receive
        // time-out of a blocking read.
        SetBlockingFd(fd, true);
        g_orv_sys.shutdown(fd, SHUT_WR);
        timeval tv{9, 0};
        g_orv_sys.setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[256];
        OrvSysRetry([&] { return g_orv_sys.recv(fd, buf, sizeof buf, 0); });
        g_orv_sys.shutdown(fd, SHUT_RDWR);
    }
    OrvSysClose(fd);
}

void OrvSocketOsShutdown(int fd) {
    g_orv_sys.shutdown(fd, SHUT_RDWR);
}

void OrvSetSocketBindAddress(const char* pszAddress) {
    std::lock_guard<std::mutex> guard(g_bindMutex);
    g_strBindAddress = pszAddress != nullptr ? pszAddress : "";
}

COrvStringA OrvSocketErrnoText(int nErrno) {
    COrvStringA s;
    for (const ErrnoText& e : kErrnoTexts) {
        if (e.nErrno == nErrno) {
            s = e.pszText;
            return s;
        }
    }
    s.Format("Socket Error %d", nErrno);
    return s;
}

// ---------------------------------------------------------------------------------------------

bool COrvSocket::ConnectName(const char* pszHostIn, int nPort, int nConnectTimeout,
                             COrvError& err) {
    // An IPv6 literal as URLs write it ("[::1]") is resolved without its brackets.
    COrvStringA strHost(pszHostIn);
    if (strHost.GetLength() > 2 && strHost[0] == '[' && strHost[strHost.GetLength() - 1] == ']')
        strHost = strHost.Mid(1, strHost.GetLength() - 2);
    const char* const pszHost = strHost.GetString();
    in_addr a4{};
    if (ParseIPv4(pszHost, a4)) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(nPort));
        sa.sin_addr = a4;
        OrvTrace("    resolve numeric: sIpAddrA=%s\n", pszHost);
        return ConnectAddress(&sa, sizeof sa, nConnectTimeout, err);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char szPort[16];
    snprintf(szPort, sizeof szPort, "%d", nPort);
    addrinfo* pList = nullptr;
    int rc;
    do {
        rc = g_orv_sys.getaddrinfo(pszHost, szPort, &hints, &pList);
    } while (rc == EAI_SYSTEM && errno == EINTR);
    if (rc != 0)
        return err.SetFormat(enNetConnection, "getaddrinfo error %d; name=%s; port=%d", rc, pszHost,
                             nPort);
    COrvError errLast;
    bool bTried = false;
    bool bOk = false;
    // IPv4 addresses first, in the resolver's order; then IPv6 ones when allowed.
    for (int nPass = 0; nPass < 2 && !bOk; ++nPass) {
        const int nFamily = nPass == 0 ? AF_INET : AF_INET6;
        if (nFamily == AF_INET6 && !m_bAllowIPv6)
            break;
        for (addrinfo* p = pList; p != nullptr && !bOk; p = p->ai_next) {
            if (p->ai_family != nFamily || p->ai_addr == nullptr)
                continue;
            OrvTrace(nFamily == AF_INET ? "    v4: sIpNameA=%s -> sIpAddrA=%s\n"
                                        : "    v6: sIpNameA=%s -> sIpAddrA=%s\n",
                     pszHost, AddressText(p->ai_addr).GetString());
            if (bTried) {
                COrvError errAbort;
                if (AbortRequested(errAbort)) {
                    errLast = errAbort;
                    break;
                }
            }
            bTried = true;
            errLast.Clear();
            if (ConnectAddress(p->ai_addr, p->ai_addrlen, nConnectTimeout, errLast)) {
                bOk = true;
                break;
            }
            const int nCode = errLast.Code();
            if (nCode == enNetCertificate || nCode == enNetNoMemory || nCode == enNetResources ||
                nCode == enNetCancelled || nCode == 14)
                break;
        }
        if (errLast.Code() == enNetCancelled)
            break;
    }
    freeaddrinfo(pList);
    if (bOk)
        return true;
    if (!bTried && !errLast.Failed())
        return err.Set(enNetConnection, "No IP v4 addresses and IP v6 is not allowed");
    return err.Pass(errLast);
}

bool COrvSocket::ConnectAddress(const void* pAddrIn, unsigned nAddrLen, int nConnectTimeout,
                                COrvError& err) {
    const sockaddr* pAddr = static_cast<const sockaddr*>(pAddrIn);
    m_strPeerText = AddressText(pAddr);
    OrvFd fd(g_orv_sys.socket(pAddr->sa_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd)
        return SocketError(errno, "creating socket", err);
    COrvStringA strBind;
    {
        std::lock_guard<std::mutex> guard(g_bindMutex);
        strBind = g_strBindAddress;
    }
    if (!strBind.IsEmpty()) {
        sockaddr_storage ss{};
        socklen_t nLen = 0;
        in_addr a4{};
        in6_addr a6{};
        if (pAddr->sa_family == AF_INET && inet_pton(AF_INET, strBind, &a4) == 1) {
            sockaddr_in* p = reinterpret_cast<sockaddr_in*>(&ss);
            p->sin_family = AF_INET;
            p->sin_addr = a4;
            nLen = sizeof *p;
        } else if (pAddr->sa_family == AF_INET6 && inet_pton(AF_INET6, strBind, &a6) == 1) {
            sockaddr_in6* p = reinterpret_cast<sockaddr_in6*>(&ss);
            p->sin6_family = AF_INET6;
            p->sin6_addr = a6;
            nLen = sizeof *p;
        }
        if (nLen == 0 || g_orv_sys.bind(fd.Get(), reinterpret_cast<sockaddr*>(&ss), nLen) != 0)
            g_orv_log.Printf("vSocket::ConnectSockAddr: cannot bind to %s: %s\n",
                             strBind.GetString(),
                             OrvSocketErrnoText(nLen == 0 ? EAFNOSUPPORT : errno).GetString());
    }
    if (nConnectTimeout <= 0) {
        int rc = g_orv_sys.connect(fd.Get(), pAddr, nAddrLen);
        if (rc != 0 && errno == EINTR) {
            // The connect goes on in the background: wait for its end and read its result.
            pollfd pfd{fd.Get(), POLLOUT, 0};
            int nErr = 0;
            socklen_t nLen = sizeof nErr;
            rc = OrvSysPoll(&pfd, 1, -1) > 0 &&
                         g_orv_sys.getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &nErr, &nLen) == 0
                     ? (nErr == 0 ? 0 : (errno = nErr, -1))
                     : -1;
        }
        const int nErrno = errno;
        if (AbortRequested(err))
            return false;
        if (rc != 0)
            return SocketError(nErrno, "connecting", err);
        TvAutoCriticalSection guard(m_lock);
        m_fd = fd.Release();
        return true;
    }
    if (SetBlockingFd(fd.Get(), false) != 0)
        return SocketError(errno, "setting blocking mode", err);
    if (g_orv_sys.connect(fd.Get(), pAddr, nAddrLen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR)
            return SocketError(errno, "connecting", err);
        bool bReady = false;
        for (int iStep = 0; iStep < nConnectTimeout; ++iStep) {
            pollfd pfd{fd.Get(), POLLOUT, 0};
            const int r = OrvSysPoll(&pfd, 1, 1000);
            if (r < 0)
                return SocketError(errno, "connecting", err);
            if (r > 0) {
                bReady = true;
                break;
            }
            if (AbortRequested(err))
                return false;
        }
        if (!bReady)
            return err.SetFormat(enNetConnection, "Connecting to %s: timeout",
                                 m_strPeerText.GetString());
        int nErr = 0;
        socklen_t nLen = sizeof nErr;
        if (g_orv_sys.getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &nErr, &nLen) != 0)
            return SocketError(errno, "detect socket error", err);
        if (nErr != 0)
            return SocketError(nErr, "connecting to", err);
    }
    if (SetBlockingFd(fd.Get(), true) != 0)
        return SocketError(errno, "setting blocking mode", err);
    TvAutoCriticalSection guard(m_lock);
    m_fd = fd.Release();
    return true;
}

void COrvSocket::Attach(int fd, const char* pszPeer) {
    Close(true);
    TvAutoCriticalSection guard(m_lock);
    m_fd = fd;
    m_strPeerText = pszPeer != nullptr ? pszPeer : "";
    m_strPeerHost = m_strPeerText;
    m_nOwnerThread = OrvGetThreadNumber();
    m_nStartMs = OrvSocketNowMs();
    COrvError err;
    (void)ApplyTimeouts(err);
}

bool COrvSocket::ApplyTimeouts(COrvError& err) {
    if (m_fd < 0)
        return true;
    // Requests and TLS handshake messages are small writes that wait for an answer: without
    // TCP_NODELAY each can sit out a delayed acknowledgement. Buffered sending coalesces bulk.
    const int nOne = 1;
    g_orv_sys.setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof nOne);
    timeval tvSend{m_nSendTimeout, 0};
    timeval tvRecv{m_nRecvTimeout, 0};
    if (g_orv_sys.setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tvSend, sizeof tvSend) != 0 ||
        g_orv_sys.setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tvRecv, sizeof tvRecv) != 0)
        return SocketError(errno, "setting timeout", err);
    return true;
}

bool COrvSocket::SetTimeouts(int nSendTimeout, int nRecvTimeout, COrvError& err) {
    m_nSendTimeout = nSendTimeout > 0 ? nSendTimeout : kDefaultTimeout;
    m_nRecvTimeout = nRecvTimeout > 0 ? nRecvTimeout : kDefaultTimeout;
    return ApplyTimeouts(err);
}

bool COrvSocket::SetBlocking(bool bBlocking, COrvError& err) {
    if (m_fd < 0 || SetBlockingFd(m_fd, bBlocking) != 0)
        return SocketError(m_fd < 0 ? EBADF : errno, "setting blocking mode", err);
    return true;
}

bool COrvSocket::SetNoDelay(bool bNoDelay, COrvError& err) {
    const int n = bNoDelay ? 1 : 0;
    if (g_orv_sys.setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &n, sizeof n) != 0)
        return SocketError(errno, "setting TCP_NODELAY", err);
    return true;
}

bool COrvSocket::SetSendBufferSize(int nBytes, COrvError& err) {
    if (g_orv_sys.setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &nBytes, sizeof nBytes) != 0)
        return SocketError(errno, "setting SO_SNDBUF", err);
    return true;
}

bool COrvSocket::SetRecvLowWater(int nBytes, COrvError& err) {
    if (nBytes < 1)
        nBytes = 1;
    if (nBytes == m_nRecvLowWater && m_fd >= 0)
        return true;
    if (g_orv_sys.setsockopt(m_fd, SOL_SOCKET, SO_RCVLOWAT, &nBytes, sizeof nBytes) != 0)
        return SocketError(errno, "setting SO_RCVLOWAT", err);
    m_nRecvLowWater = nBytes;
    return true;
}

bool COrvSocket::WaitReady(bool bWrite, int64_t nDeadlineMs, COrvError& err,
                           const char* pszAction) {
    const int64_t nLeft = nDeadlineMs - OrvSocketNowMs();
    if (nLeft <= 0)
        return err.Set(enNetTimeout, "timeout");
    pollfd pfd{m_fd, static_cast<short>(bWrite ? POLLOUT : POLLIN), 0};
    const int r = OrvSysPoll(&pfd, 1, static_cast<int>(nLeft));
    if (r < 0)
        return SocketError(errno, pszAction, err);
    if (r == 0)
        return err.Set(enNetTimeout, "timeout");
    return true;
}

// Sends never block in the system: a full send buffer is waited for by a poll with what is left
// of the one deadline of this call, so that partial progress never restarts the time-out.
bool COrvSocket::SendPlain(const unsigned char* p, int nLen, COrvError& err) {
    const int64_t nDeadline = OrvSocketNowMs() + int64_t(m_nSendTimeout) * 1000;
    int nDone = 0;
    while (nDone < nLen) {
        const int nAsk = nLen - nDone;
        const long r = OrvSysRetry([&] {
            return g_orv_sys.send(m_fd, p + nDone, size_t(nAsk), MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        if (r > nAsk)
            return err.SetFormat(enNetServer,
                                 "Written wrong number too many chars to socket: %d > %d",
                                 static_cast<int>(r), nAsk);
        if (r >= 0) {
            nDone += static_cast<int>(r);
            continue;
        }
        COrvStringA strSuffix;
        strSuffix.Format(": send-len=%d", nLen);
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            COrvError errWait;
            if (WaitReady(true, nDeadline, errWait, "sending data"))
                continue;
            if (errWait.Code() == enNetTimeout)
                return SocketError(ETIMEDOUT, "sending data", err, strSuffix);
            return err.Pass(errWait);
        }
        return SocketError(errno, "sending data", err, strSuffix);
    }
    return true;
}

// Receives never block in the system either: every wait is a poll bounded by what is left of
// the receive time-out. A raised low-water mark makes the poll wake only once that many bytes
// are there; when they do not come within kLowWaterWaitMs, what has arrived is taken, and when
// nothing has, the mark drops back to one byte so that the rest of the wait ends with the first
// byte.
int COrvSocket::ReadPlain(unsigned char* p, int nMax, COrvError& err) {
    constexpr int kLowWaterWaitMs = 10;
    const int64_t nDeadline = OrvSocketNowMs() + int64_t(m_nRecvTimeout) * 1000;
    bool bWaited = false;
    for (;;) {
        if (m_nRecvLowWater > 1 && !bWaited) {
            const int64_t nSlice = OrvSocketNowMs() + kLowWaterWaitMs;
            COrvError errWait;
            if (!WaitReady(false, nSlice < nDeadline ? nSlice : nDeadline, errWait,
                           "receiving data") &&
                errWait.Code() != enNetTimeout) {
                err.Pass(errWait);
                return -1;
            }
            bWaited = true;
        }
        const long r =
            OrvSysRetry([&] { return g_orv_sys.recv(m_fd, p, size_t(nMax), MSG_DONTWAIT); });
        if (r >= 0)
            return static_cast<int>(r);
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (m_nRecvLowWater > 1) {
                COrvError errMark;
                if (!SetRecvLowWater(1, errMark)) {
                    err.Pass(errMark);
                    return -1;
                }
            }
            COrvError errWait;
            if (WaitReady(false, nDeadline, errWait, "receiving data"))
                continue;
            if (errWait.Code() == enNetTimeout)
                SocketError(ETIMEDOUT, "receiving data", err);
            else
                err.Pass(errWait);
            return -1;
        }
        SocketError(errno, "receiving data", err);
        return -1;
    }
}

// ---------------------------------------------------------------------------------------------
// Listening

bool COrvSocket::Listen(const char* pszAddress, int nPort, int nBacklog, COrvError& err) {
    if (nPort == 0)
        ORV_ASSERT_TEXT(m_nPeerPort == 0, "m_nPort==0");
    Close(true);
    const char* pszAddr = pszAddress != nullptr && *pszAddress != 0 ? pszAddress : "127.0.0.1";
    sockaddr_storage ss{};
    socklen_t nLen = 0;
    in6_addr a6{};
    in_addr a4{};
    if (inet_pton(AF_INET, pszAddr, &a4) == 1) {
        sockaddr_in* p = reinterpret_cast<sockaddr_in*>(&ss);
        p->sin_family = AF_INET;
        p->sin_addr = a4;
        p->sin_port = htons(static_cast<uint16_t>(nPort));
        nLen = sizeof *p;
    } else if (inet_pton(AF_INET6, pszAddr, &a6) == 1) {
        sockaddr_in6* p = reinterpret_cast<sockaddr_in6*>(&ss);
        p->sin6_family = AF_INET6;
        p->sin6_addr = a6;
        p->sin6_port = htons(static_cast<uint16_t>(nPort));
        nLen = sizeof *p;
    } else {
        return err.SetFormat(enNetBadRequest, "Wrong IP addr: %s", pszAddr);
    }
    m_strPeerText = AddressText(reinterpret_cast<sockaddr*>(&ss));
    OrvFd fd(g_orv_sys.socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd)
        return SocketError(errno, "creating socket", err);
    const int nOne = 1;
    g_orv_sys.setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
    if (g_orv_sys.bind(fd.Get(), reinterpret_cast<sockaddr*>(&ss), nLen) != 0) {
        const int nFirst = errno;
        OrvSocketSleepMs(100);
        if (g_orv_sys.bind(fd.Get(), reinterpret_cast<sockaddr*>(&ss), nLen) != 0) {
            COrvStringA strSecond("; 2nd try: ");
            strSecond += OrvSocketErrnoText(errno);
            return SocketError(nFirst, "binding", err, strSecond);
        }
    }
    if (g_orv_sys.listen(fd.Get(), nBacklog) != 0)
        return SocketError(errno, "listening", err);
    TvAutoCriticalSection guard(m_lock);
    m_fd = fd.Release();
    m_nOwnerThread = OrvGetThreadNumber();
    m_nPeerPort = GetLocalPort();
    return true;
}

bool COrvSocket::Accept(COrvSocket& accepted, int nTimeoutMs, COrvError& err) {
    if (OrvGetSocketFaultSettings().bDisableAccept)
        return err.Set(enNetConnection, "TCP Accept is disabled");
    if (!CheckUsable(err))
        return false;
    pollfd pfd{m_fd, POLLIN, 0};
    const int r = OrvSysPoll(&pfd, 1, nTimeoutMs);
    if (r < 0)
        return SocketError(errno, "accepting connection", err);
    if (r == 0)
        return SocketError(ETIMEDOUT, "accepting connection", err);
    sockaddr_storage ss{};
    socklen_t nLen = sizeof ss;
    const int fd = OrvSysRetry([&] {
        return g_orv_sys.accept4(m_fd, reinterpret_cast<sockaddr*>(&ss), &nLen, SOCK_CLOEXEC);
    });
    if (fd < 0)
        return SocketError(errno, "accepting connection", err);
    accepted.Attach(fd, AddressText(reinterpret_cast<sockaddr*>(&ss)));
    return true;
}

int COrvSocket::GetLocalPort() const {
    if (m_fd < 0)
        return 0;
    sockaddr_storage ss{};
    socklen_t nLen = sizeof ss;
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&ss), &nLen) != 0)
        return 0;
    if (ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// UDP

bool COrvSocket::UdpOpen(const char* pszAddress, int nPort, COrvError& err) {
    Close(true);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(nPort));
    if (pszAddress != nullptr && *pszAddress != 0 && !ParseIPv4(pszAddress, sa.sin_addr, &err))
        return false;
    OrvFd fd(g_orv_sys.socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!fd)
        return SocketError(errno, "creating socket", err);
    const int nOne = 1;
    g_orv_sys.setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
    m_strPeerText = AddressText(reinterpret_cast<sockaddr*>(&sa));
    if (g_orv_sys.bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        return SocketError(errno, "binding UDP", err);
    TvAutoCriticalSection guard(m_lock);
    m_fd = fd.Release();
    m_bUdp = true;
    m_nOwnerThread = OrvGetThreadNumber();
    return true;
}

bool COrvSocket::UdpJoinMulticast(const char* pszGroup, const char* pszInterface, COrvError& err) {
    if (!CheckUsable(err))
        return false;
    ip_mreq mreq{};
    if (!ParseIPv4(pszGroup, mreq.imr_multiaddr, &err))
        return false;
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    if (pszInterface != nullptr && *pszInterface != 0 &&
        !ParseIPv4(pszInterface, mreq.imr_interface, &err))
        return false;
    if (g_orv_sys.setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0)
        return SocketError(errno, "adding to multicast group", err);
    if (g_orv_sys.setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &mreq.imr_interface,
                             sizeof mreq.imr_interface) != 0)
        return SocketError(errno, "assigning multicast interface", err);
    return true;
}

bool COrvSocket::UdpSend(const char* pszAddress, int nPort, const void* pData, int nLen,
                         COrvError& err) {
    if (OrvGetSocketFaultSettings().bDisableUdp)
        return err.Set(enNetConnection, "UDP Send is disabled");
    if (!CheckUsable(err))
        return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(nPort));
    if (!ParseIPv4(pszAddress, sa.sin_addr, &err))
        return false;
    OrvTrace("UDP -> %s:%d [[%.*s]]\n", pszAddress, nPort, nLen, static_cast<const char*>(pData));
    const long r = OrvSysRetry([&] {
        return g_orv_sys.sendto(m_fd, pData, size_t(nLen), MSG_NOSIGNAL,
                                reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    });
    if (r < 0)
        return SocketError(errno, "sending data", err);
    if (r != nLen)
        return err.SetFormat(enNetConnection, "Incomplete message sent to UDP socket: %d != %d",
                             static_cast<int>(r), nLen);
    return true;
}

bool COrvSocket::UdpRecv(void* pBuf, int nMax, int& nGot, COrvStringA& strFrom, int& nFromPort,
                         int nTimeoutMs, COrvError& err) {
    nGot = 0;
    strFrom.Empty();
    nFromPort = 0;
    if (OrvGetSocketFaultSettings().bDisableUdp)
        return err.Set(enNetConnection, "UDP Recv is disabled");
    if (!CheckUsable(err))
        return false;
    pollfd pfd{m_fd, POLLIN, 0};
    const int rp = OrvSysPoll(&pfd, 1, nTimeoutMs);
    if (rp < 0)
        return SocketError(errno, "receiving data", err);
    if (rp == 0)
        return err.Set(enNetConnection, "nothing received, timeout");
    sockaddr_storage ss{};
    socklen_t nLen = sizeof ss;
    const long r = OrvSysRetry([&] {
        return g_orv_sys.recvfrom(m_fd, pBuf, size_t(nMax), 0, reinterpret_cast<sockaddr*>(&ss),
                                  &nLen);
    });
    if (r < 0)
        return SocketError(errno, "receiving data", err);
    if (ss.ss_family != AF_INET)
        return err.SetFormat(enNetBadRequest, "UDP bad incoming protocol %d", ss.ss_family);
    const sockaddr_in* p4 = reinterpret_cast<const sockaddr_in*>(&ss);
    strFrom = DottedText(&p4->sin_addr);
    nFromPort = ntohs(p4->sin_port);
    nGot = static_cast<int>(r);
    OrvTrace("UDP <- %s:%d [[%.*s]]\n", strFrom.GetString(), nFromPort, nGot,
             static_cast<const char*>(pBuf));
    return true;
}

// ---------------------------------------------------------------------------------------------
// Waiting for events

bool OrvSocketWaitEvents(COrvSocket* const* apSockets, int nSockets, const unsigned* aInEvents,
                         int nInEvents, COrvSocket* pSignal, int nTimeoutMs, int& iReady,
                         unsigned& nEvents, COrvStringA& strEvent, COrvError& err) {
    iReady = -1;
    nEvents = 0;
    strEvent.Empty();
    if (apSockets == nullptr || nSockets <= 0)
        return err.Set(enNetBadRequest, "no sockets");
    if (aInEvents == nullptr || nInEvents != nSockets)
        return err.SetFormat(enNetBadRequest, "Bad aInEvents size (expected %d got %d)", nSockets,
                             nInEvents);
    if (nSockets > 1024)
        return err.Set(enNetBadRequest, "waiting for events: too many sockets");
    pollfd aPoll[1025];
    for (int i = 0; i < nSockets; ++i) {
        if (apSockets[i] == nullptr || apSockets[i]->GetDescriptor() < 0)
            return err.SetFormat(enNetBadRequest, "bad socket descriptor in socket %d", i);
        short nAsk = 0;
        if (aInEvents[i] & (kOrvSocketEventRead | kOrvSocketEventAccept | kOrvSocketEventClose))
            nAsk |= POLLIN;
        if (aInEvents[i] & kOrvSocketEventWrite)
            nAsk |= POLLOUT;
        aPoll[i] = pollfd{apSockets[i]->GetDescriptor(), nAsk, 0};
    }
    int nPoll = nSockets;
    if (pSignal != nullptr) {
        if (pSignal->GetDescriptor() < 0)
            return err.SetFormat(enNetBadRequest, "bad socket descriptor in socket %d", nSockets);
        aPoll[nPoll++] = pollfd{pSignal->GetDescriptor(), POLLIN, 0};
    }
    const int r = OrvSysPoll(aPoll, nfds_t(nPoll), nTimeoutMs);
    if (r < 0) {
        COrvStringA s("[waiting for events]: ");
        s += OrvSocketErrnoText(errno);
        return err.Set(OrvResultFromErrno(errno, OrvErrnoUse::Socket), s);
    }
    if (r == 0)
        return err.Set(enNetConnection, "timeout");
    for (int i = 0; i < nPoll; ++i) {
        const short re = aPoll[i].revents;
        if (re == 0)
            continue;
        iReady = i;
        if (re & POLLNVAL)
            return err.SetFormat(enNetBadRequest, "bad socket descriptor in socket %d", i);
        const unsigned nAsked = i < nSockets ? aInEvents[i] : kOrvSocketEventRead;
        int nListening = 0;
        socklen_t nLen = sizeof nListening;
        getsockopt(aPoll[i].fd, SOL_SOCKET, SO_ACCEPTCONN, &nListening, &nLen);
        if ((re & POLLIN) && nListening) {
            nEvents = kOrvSocketEventAccept;
            strEvent = "event: accept";
        } else if (re & (POLLIN | POLLHUP | POLLERR)) {
            char c;
            const long n = OrvSysRetry(
                [&] { return g_orv_sys.recv(aPoll[i].fd, &c, 1, MSG_PEEK | MSG_DONTWAIT); });
            if (n > 0) {
                nEvents = kOrvSocketEventRead;
                strEvent = "event: receiving data";
            } else if (n == 0) {
                nEvents = kOrvSocketEventClose | (nAsked & kOrvSocketEventRead);
                strEvent = "event: receiving EOF";
            } else if (re & POLLOUT) {
                nEvents = kOrvSocketEventWrite;
                strEvent = "event: sending data";
            } else {
                nEvents = kOrvSocketEventClose;
                strEvent = "event: close";
            }
        } else if (re & POLLOUT) {
            nEvents = kOrvSocketEventWrite;
            strEvent = "event: sending data";
        }
        return true;
    }
    return err.Set(enNetConnection, "timeout");
}
