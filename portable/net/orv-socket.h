// COrvSocket: one TCP connection (optionally with TLS over it) with buffered, time-limited sends
// and receives, name resolution with an IPv4 preference, connect time-outs and retries, a
// disconnect that another thread may call, and uniform error texts and result codes. The same
// class also serves listening sockets and UDP datagrams (unicast and multicast);
// OrvSocketWaitEvents waits on several sockets at once.
//
// Error texts of system failures read "[<action> <peer>]: <text>", where the text comes from the
// module's own table of errno values ("Socket Error %d" for others). EMFILE and ENFILE give
// enNetResources, EINVAL and EBADF enNetBadRequest, every other errno enNetConnection. Every
// transport failure of a send, receive or TLS step closes the socket hard; time-outs are
// enNetConnection so that callers retry. SIGPIPE is never raised by a send.
//
// Threads: a socket is used by one owner thread (recorded at connect). Disconnect may be called
// from any thread at any time; every other member belongs to the owner.
#pragma once

#include <atomic>
#include <cstdint>

#include "orv-connect-settings.h"
#include "orv-error.h"
#include "orv-lock.h"
#include "orv-string.h"

class IOrvTransferObserver;
class COrvSslServerContext;

// The process-wide fault-injection counts and switches. A count n > 0 makes every n-th send
// (or receive) of the process fail as if the network dropped it; 0 disables it.
struct OrvSocketFaultSettings {
    unsigned nDropSend = 0;
    unsigned nDropRecv = 0;
    bool bDisableUdp = false;     // UDP sends and receives fail
    bool bDisableAccept = false;  // listening sockets accept nothing
};

// Where the settings come from. By default they are read once, on first use, from the DWORD
// values DropSend, DropRecv, DisableUDP and DisableAccept of the product's key in the settings
// store (kOrvProductKey under HKEY_CURRENT_USER); a missing key or value leaves that count or
// switch off. An installed loader replaces the store (null puts the store back); either way the
// settings are read again on their next use. Any thread; install it at start-up.
using OrvSocketFaultLoaderFn = OrvSocketFaultSettings (*)();
void OrvSetSocketFaultLoader(OrvSocketFaultLoaderFn pfn);
// Replaces the settings in force (tests, or the store after a change). Resets the running send
// and receive counts. Any thread.
void OrvSetSocketFaultSettings(const OrvSocketFaultSettings& settings);
// The settings in force, loaded on first use.
OrvSocketFaultSettings OrvGetSocketFaultSettings();

// The local address every outgoing connection binds to before connecting ("" or null: none).
// A failed bind is logged and the connect goes on unbound. Any thread; set it at start-up.
void OrvSetSocketBindAddress(const char* pszAddress);

// A host as URLs, Host headers and CONNECT targets write it: an IPv6 literal ("::1") in
// brackets ("[::1]"); a name, an IPv4 address or a literal already in brackets as it is.
COrvStringA OrvHostUrlForm(const char* pszHost);

class COrvSocket {
public:
    static constexpr int kBufferSize = 262144;  // send and receive buffers, allocated lazily
    static constexpr int kMaxLine = 32768;      // a line this long or longer is refused
    static constexpr int kDefaultTimeout = 90;  // seconds
    static constexpr unsigned kDefaultTlsOptions = 816;

    // Closed, with the defaults: IPv6 allowed, time-outs of 90 seconds, no observer.
    COrvSocket();
    // Closes hard.
    ~COrvSocket();
    COrvSocket(const COrvSocket&) = delete;
    COrvSocket& operator=(const COrvSocket&) = delete;

    // Connects to pszHost (a name, a dotted IPv4 address or an IPv6 literal, with or without the
    // brackets of a URL) at nPort with the connection's settings. Closes the socket first when it
    // is open. Names are resolved with the port; IPv4 addresses are tried first, in the
    // resolver's order, then IPv6 ones when IPv6 is allowed; the observer's abort check runs
    // between attempts. An address failing with enNetCertificate, enNetNoMemory, enNetResources,
    // enNetCancelled or 14 ends the loop. A connect time-out > 0 waits in one-second steps (abort
    // check after each; "Connecting to <peer>: timeout" when they run out); 0 blocks. Send and
    // receive time-outs of 0 mean 90 seconds. With bTls the TLS client is started over the new
    // connection with settings.m_tls (see StartTls). While the connect fails with
    // enNetConnection it is made again, up to settings.m_nAttempts times in all: each new attempt
    // starts no sooner than the previous one's start plus its connect time-out (90 seconds for 0),
    // stopping early when the observer's abort check says so, and waits twice as long. Records
    // the calling thread as the owner. Blocks. On failure the socket is closed and err says why.
    [[nodiscard]] bool Connect(const char* pszHost, int nPort, bool bTls,
                               const COrvConnectSettings& settings, IOrvTransferObserver* pObserver,
                               COrvError& err);
    // The older shape of Connect with a separate code and text.
    [[nodiscard]] bool Connect(const char* pszHost, int nPort, bool bTls,
                               const COrvConnectSettings& settings, IOrvTransferObserver* pObserver,
                               int& nCode, COrvStringA& strError);

    // Takes over a connected TCP descriptor (from accept or socketpair): the socket owns it from
    // now on and records the calling thread as owner. pszPeer names the peer in texts.
    void Attach(int fd, const char* pszPeer);

    // Starts TLS on the connected socket as a client (see orv-ssl.h) with the connection's TLS
    // settings: the options word, trust-any (no check of the server certificate), the CA file
    // this connection trusts beside the process's roots, the client certificate. On failure the
    // socket is closed. Owner thread; blocks for the handshake.
    [[nodiscard]] bool StartTls(const char* pszHost, const COrvTlsSettings& tls, COrvError& err);
    // Runs the TLS server handshake on an accepted socket with the server context. On failure
    // the socket is closed. Owner thread; blocks.
    [[nodiscard]] bool AcceptTls(COrvSslServerContext& ctx, COrvError& err);

    // Closes the socket: shuts TLS down (failures are logged); bHard closes the descriptor at
    // once, otherwise the sending direction is shut down, one read of at most 256 bytes waits up
    // to 9 seconds for the peer to finish, and the descriptor is closed. Afterwards every field
    // has its default again (buffers freed, time-outs 90 seconds). Owner thread.
    void Close(bool bHard);
    // Ends the connection from any thread. From the owner (or with no owner) it closes hard. From
    // another thread it shuts the connection down without touching the rest of the object: the
    // owner's pending operation returns with a failure, and its next one fails with "socket has
    // closed, please retry" and closes the socket.
    void Disconnect();

    // Sends nLen (> 0) bytes: into the send buffer while buffered sending is on, else at once.
    // Blocks up to the send time-out, one deadline for the whole call however the bytes go out
    // (plain or TLS). On failure the socket is closed. Owner thread.
    [[nodiscard]] bool Send(const void* pData, int nLen, COrvError& err);
    [[nodiscard]] bool SendString(const char* psz, COrvError& err);
    // Buffered sending on or off (off does not flush).
    void SetBuffered(bool bBuffered) { m_bBuffered = bBuffered; }
    // Sends what is buffered. On failure the socket is closed.
    [[nodiscard]] bool Flush(COrvError& err);

    // Receives one byte; at the end of the stream returns true with bEof set. Blocks up to the
    // receive time-out; on failure the socket is closed.
    [[nodiscard]] bool RecvByte(unsigned char& ch, bool& bEof, COrvError& err);
    // Receives exactly nLen bytes; the end of the stream before that is a failure
    // (enNetEndOfStream). Blocks.
    [[nodiscard]] bool RecvExact(void* pBuf, int nLen, COrvError& err);
    // Receives between 1 and nMax bytes (what is buffered, or one read); nGot 0 means the end of
    // the stream. Blocks until something arrives.
    [[nodiscard]] bool Recv(void* pBuf, int nMax, int& nGot, COrvError& err);
    // Receives a line: the bytes up to LF, without the LF and the CRs right before it. A line of
    // 32768 bytes or more fails with "line too long" (enNetServer). The end of the stream after
    // some bytes gives them as the last line; before any byte it is a failure (enNetEndOfStream).
    // Failure texts start with "receiving line: ". Blocks.
    [[nodiscard]] bool RecvLine(COrvStringA& strLine, COrvError& err);
    // Receives everything until the end of the stream and appends it to strOut; more than nMax
    // bytes in all fails with enNetResources (strOut then holds the first nMax). Blocks.
    [[nodiscard]] bool RecvAll(COrvStringA& strOut, int64_t nMax, COrvError& err);
    // Makes at least nLen bytes visible without consuming them (fewer only at the end of the
    // stream): pData points into the receive buffer, valid until the next receive; nAvail is the
    // count. The buffer doubles when nLen needs it. Blocks.
    [[nodiscard]] bool Peek(int nLen, const unsigned char*& pData, int& nAvail, COrvError& err);
    // Bytes received and not yet consumed.
    int GetBufferedCount() const { return m_nRecvLen - m_nRecvPos; }

    // Time-outs in seconds (0: 90), applied to the descriptor when it is open ("setting
    // timeout").
    [[nodiscard]] bool SetTimeouts(int nSendTimeout, int nRecvTimeout, COrvError& err);
    // Blocking or non-blocking mode of the descriptor ("setting blocking mode").
    [[nodiscard]] bool SetBlocking(bool bBlocking, COrvError& err);
    [[nodiscard]] bool SetNoDelay(bool bNoDelay, COrvError& err);
    [[nodiscard]] bool SetSendBufferSize(int nBytes, COrvError& err);
    // The least number of bytes a receive waits for (1: any byte wakes it), capped by the count
    // asked for; the end of the stream, an error or the time-out still end the wait with fewer
    // ("setting SO_RCVLOWAT"). A plain receive waits at most about 10 ms for such a piece and
    // then takes what is there; when nothing is, the mark drops back to 1 for the rest of the
    // wait. Setting the mark in force again costs nothing.
    [[nodiscard]] bool SetRecvLowWater(int nBytes, COrvError& err);

    // Listens on pszAddress (null or empty: "127.0.0.1") at nPort; nPort 0 lets the system choose
    // (GetLocalPort tells which). A failed bind is tried once more ("; 2nd try: " joins the two
    // texts). Owner thread.
    [[nodiscard]] bool Listen(const char* pszAddress, int nPort, int nBacklog, COrvError& err);
    // Waits up to nTimeoutMs (negative: no limit) for a connection and gives it to pAccepted
    // ("accepting connection"). Fails while accepting is disabled by the fault settings.
    [[nodiscard]] bool Accept(COrvSocket& accepted, int nTimeoutMs, COrvError& err);
    // The local port of a bound or connected socket, 0 when there is none.
    int GetLocalPort() const;

    // UDP: a datagram socket bound to pszAddress (null: any) and nPort (0: chosen by the system)
    // ("binding UDP").
    [[nodiscard]] bool UdpOpen(const char* pszAddress, int nPort, COrvError& err);
    // Joins the IPv4 multicast group on the interface with address pszInterface (null: any)
    // ("adding to multicast group", "assigning multicast interface").
    [[nodiscard]] bool UdpJoinMulticast(const char* pszGroup, const char* pszInterface,
                                        COrvError& err);
    // Sends one datagram to pszAddress:nPort (dotted IPv4). A partial send is a failure.
    [[nodiscard]] bool UdpSend(const char* pszAddress, int nPort, const void* pData, int nLen,
                               COrvError& err);
    // Receives one datagram (at most nMax bytes) within nTimeoutMs; the sender's address and port
    // are returned. "nothing received, timeout" when none arrives.
    [[nodiscard]] bool UdpRecv(void* pBuf, int nMax, int& nGot, COrvStringA& strFrom,
                               int& nFromPort, int nTimeoutMs, COrvError& err);

    // Settings, owner thread, before Connect.
    void SetObserver(IOrvTransferObserver* pObserver) { m_pObserver = pObserver; }
    // The TLS session (an OpenSSL SSL_SESSION*, e.g. from OrvSslGetSession) that the next TLS
    // client starts (Connect with bTls, StartTls) must resume; null for none. The socket takes its
    // own reference (the caller keeps and frees its own), drops the previous session and frees
    // this one when replaced or destroyed; Close keeps it. While one is set the session cache is
    // neither used nor filled, and a handshake that does not resume it fails with "explicit
    // session reuse failed" (enNetConnection), closing the socket. The session's server name
    // must be that of the host connected to.
    void SetTlsSessionToResume(void* pSession);

    bool IsOpen() const { return m_fd >= 0; }
    bool IsTls() const { return m_bTls; }
    // Whether the TLS handshake resumed a session (cached or set to resume).
    bool IsTlsSessionReused() const;
    // The descriptor, -1 when closed (event waits, tests).
    int GetDescriptor() const { return m_fd; }
    const COrvStringA& GetPeerText() const { return m_strPeerText; }
    int GetPeerPort() const { return m_nPeerPort; }
    int64_t GetOwnerThread() const { return m_nOwnerThread; }
    int GetSendTimeout() const { return m_nSendTimeout; }
    int GetRecvTimeout() const { return m_nRecvTimeout; }
    // The TLS connection (an OpenSSL SSL*), null without TLS. For orv-ssl only.
    void* GetTlsHandle() const { return m_pSsl; }

private:
    friend class COrvSocketTestAccess;
    bool ConnectOnce(const char* pszHost, int nPort, bool bTls, const COrvConnectSettings& settings,
                     IOrvTransferObserver* pObserver, int nConnectTimeout, COrvError& err);
    [[nodiscard]] bool ConnectName(const char* pszHost, int nPort, int nConnectTimeout,
                                   COrvError& err);
    [[nodiscard]] bool ConnectAddress(const void* pAddr, unsigned nAddrLen, int nConnectTimeout,
                                      COrvError& err);
    bool SocketError(int nErrno, const char* pszAction, COrvError& err, const char* pszSuffix = "");
    [[nodiscard]] bool AbortRequested(COrvError& err);
    [[nodiscard]] bool CheckUsable(COrvError& err);
    [[nodiscard]] bool SendNow(const void* pData, int nLen, COrvError& err);
    [[nodiscard]] bool SendPlain(const unsigned char* p, int nLen, COrvError& err);
    [[nodiscard]] bool SendTls(const unsigned char* p, int nLen, COrvError& err);
    // One read of at most nMax bytes into p: the count, 0 at the end of the stream, -1 on failure
    // (the socket is closed then).
    int ReadSome(unsigned char* p, int nMax, COrvError& err);
    int ReadPlain(unsigned char* p, int nMax, COrvError& err);
    int ReadTls(unsigned char* p, int nMax, COrvError& err);
    // Appends one read to the receive buffer: the count, 0 at the end, -1 on failure.
    int FillRecv(COrvError& err);
    [[nodiscard]] bool EnsureRecvBuffer(int nCapacity, COrvError& err);
    [[nodiscard]] bool WaitReady(bool bWrite, int64_t nDeadlineMs, COrvError& err,
                                 const char* pszAction);
    void ResetFields();
    // Closes hard after a transport failure (a TLS session of the connection is not resumed).
    void FailClose() {
        m_bFailed = true;
        Close(true);
    }
    [[nodiscard]] bool ApplyTimeouts(COrvError& err);

    // Written by the owner under m_lock; read by Disconnect under m_lock from other threads.
    std::atomic<int> m_fd{-1};
    COrvStringA m_strPeerHost;
    COrvStringA m_strPeerText;
    int m_nPeerPort = 0;
    bool m_bTls = false;
    bool m_bAllowIPv6 = true;
    void* m_pSsl = nullptr;
    unsigned char* m_pRecv = nullptr;
    int m_nRecvCap = 0;
    int m_nRecvLen = 0;
    int m_nRecvPos = 0;
    unsigned char* m_pSend = nullptr;
    int m_nSendLen = 0;
    bool m_bBuffered = false;
    bool m_bUdp = false;
    COrvCriticalSection m_lock{"vSocket"};
    std::atomic<int64_t> m_nOwnerThread{0};
    int64_t m_nStartMs = 0;
    IOrvTransferObserver* m_pObserver = nullptr;
    COrvTlsSettings m_tls;             // of the TLS client started last
    void* m_pResumeSession = nullptr;  // one reference, dropped by the destructor
    int m_nSendTimeout = kDefaultTimeout;
    int m_nRecvTimeout = kDefaultTimeout;
    int m_nWaitTimeout = kDefaultTimeout;
    int m_nRecvLowWater = 1;  // SO_RCVLOWAT of the descriptor
    // Set by Disconnect from another thread; the owner closes at its next step.
    std::atomic<bool> m_bClosedOutside{false};
    bool m_bFailed = false;
};

// Event bits for OrvSocketWaitEvents.
enum : unsigned {
    kOrvSocketEventRead = 1,    // data (or the end of the stream) can be read
    kOrvSocketEventWrite = 2,   // data can be sent (a pending connect finished)
    kOrvSocketEventAccept = 4,  // a listening socket has a connection
    kOrvSocketEventClose = 8,   // the peer closed or the connection failed
};

// Waits up to nTimeoutMs (negative: no limit) until one of nSockets sockets (or the signal socket,
// when given) has one of the events asked for in aInEvents (one entry per socket; nInEvents must
// equal nSockets). On success iReady is the index of the first ready socket (nSockets for the
// signal socket), nEvents its events, and strEvent their name ("event: receiving data" and so
// on). Fails with "no sockets", "Bad aInEvents size (expected %d got %d)", "bad socket descriptor
// in socket %d", "timeout" (enNetConnection) or a system error ("waiting for events"). Blocks.
[[nodiscard]] bool OrvSocketWaitEvents(COrvSocket* const* apSockets, int nSockets,
                                       const unsigned* aInEvents, int nInEvents,
                                       COrvSocket* pSignal, int nTimeoutMs, int& iReady,
                                       unsigned& nEvents, COrvStringA& strEvent, COrvError& err);
