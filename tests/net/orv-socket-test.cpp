// COrvSocket against real peers on loopback: the receive forms, line limits, time-outs and
// retries, refused connects, disconnects from another thread, injected faults, UDP and the
// event wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "orv-net-test-util.h"
#include "orv-registry.h"
#include "orv-socket-os.h"
#include "orv-socket.h"
#include "orv-sys.h"
#include "orv-test-net.h"
#include "orv-trace.h"
#include "orv-transfer-observer.h"

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Text(const COrvError& err) {
    return err.Text().GetString();
}

// A listener on 127.0.0.1 whose peer side is run by a function on a thread.
class LoopbackPeer {
public:
    template <class Fn>
    explicit LoopbackPeer(Fn fn) {
        COrvError err;
        EXPECT_TRUE(m_listen.Listen("127.0.0.1", 0, 8, err)) << Text(err);
        m_thread = std::thread([this, fn] {
            COrvSocket peer;
            COrvError errAccept;
            if (m_listen.Accept(peer, 10000, errAccept))
                fn(peer);
        });
    }
    ~LoopbackPeer() { m_thread.join(); }
    int Port() const { return m_listen.GetLocalPort(); }

private:
    COrvSocket m_listen;
    std::thread m_thread;
};

bool ConnectPlain(COrvSocket& s, int nPort, COrvError& err, int nConnect = 5, int nSend = 5) {
    err.Clear();
    return s.Connect("127.0.0.1", nPort, false, OrvTestNet(nConnect, nSend, 5), nullptr, err);
}

struct FaultReset {
    ~FaultReset() { OrvSetSocketFaultSettings(OrvSocketFaultSettings{}); }
};

TEST(OrvSocket, ReceiveFormsOverLoopback) {
    std::string big(300000, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    LoopbackPeer peer([&](COrvSocket& s) {
        COrvError err;
        s.SetBuffered(true);
        EXPECT_TRUE(s.SendString("first\r\nsecond\nthird\r\r\nZ12345678", err));
        EXPECT_TRUE(s.Send(big.data(), static_cast<int>(big.size()), err));
        EXPECT_TRUE(s.SendString("tail-without-newline", err));
        EXPECT_TRUE(s.Flush(err)) << Text(err);
        s.Close(false);
    });
    COrvSocket s;
    COrvError err;
    ASSERT_TRUE(ConnectPlain(s, peer.Port(), err)) << Text(err);
    EXPECT_EQ("127.0.0.1:" + std::to_string(peer.Port()), s.GetPeerText().GetString());
    COrvStringA line;
    for (const char* psz : {"first", "second", "third"}) {
        ASSERT_TRUE(s.RecvLine(line, err));
        EXPECT_STREQ(psz, line);
    }
    unsigned char ch = 0;
    bool bEof = true;
    ASSERT_TRUE(s.RecvByte(ch, bEof, err));
    EXPECT_FALSE(bEof);
    EXPECT_EQ('Z', ch);
    char four[4];
    ASSERT_TRUE(s.RecvExact(four, 4, err));
    EXPECT_EQ(0, memcmp(four, "1234", 4));
    // A peek larger than the 256 KiB buffer grows it and consumes nothing.
    const unsigned char* p = nullptr;
    int nAvail = 0;
    ASSERT_TRUE(s.Peek(4 + 300000, p, nAvail, err)) << Text(err);
    ASSERT_GE(nAvail, 4 + 300000);
    EXPECT_EQ(0, memcmp(p, "5678", 4));
    EXPECT_EQ(0, memcmp(p + 4, big.data(), big.size()));
    ASSERT_TRUE(s.RecvExact(four, 4, err));
    std::string got(big.size(), 0);
    ASSERT_TRUE(s.RecvExact(got.data(), static_cast<int>(got.size()), err));
    EXPECT_TRUE(got == big);
    COrvStringA rest;
    ASSERT_TRUE(s.RecvAll(rest, 1000, err));
    EXPECT_STREQ("tail-without-newline", rest);
    ASSERT_TRUE(s.RecvByte(ch, bEof, err));
    EXPECT_TRUE(bEof);
    EXPECT_FALSE(s.RecvLine(line, err));
    EXPECT_EQ(enNetEndOfStream, err.Code());
}

TEST(OrvSocket, LineLimit) {
    LoopbackPeer peer([](COrvSocket& s) {
        COrvError err;
        // The CR of the line end does not count.
        const std::string lines = std::string(32767, 'a') + "\r\n" + std::string(32768, 'b') + "\n";
        EXPECT_TRUE(s.SendString(lines.c_str(), err));
    });
    COrvSocket s;
    COrvError err;
    ASSERT_TRUE(ConnectPlain(s, peer.Port(), err));
    COrvStringA line;
    ASSERT_TRUE(s.RecvLine(line, err)) << Text(err);
    EXPECT_EQ(32767, line.GetLength());
    EXPECT_FALSE(s.RecvLine(line, err));
    EXPECT_STREQ("receiving line: line too long", err.Text());
}

TEST(OrvSocket, RefusedConnectNamesAndErrnoTable) {
    const int nPort = OrvTestFreePort();
    COrvSocket s;
    COrvError err;
    EXPECT_FALSE(ConnectPlain(s, nPort, err));
    EXPECT_EQ(enNetConnection, err.Code());
    EXPECT_EQ(0u, Text(err).find("[connecting to 127.0.0.1:" + std::to_string(nPort) + "]: "))
        << Text(err);
    EXPECT_FALSE(s.IsOpen());
    for (const auto& [nErrno, nCode] : {std::pair{EMFILE, enNetResources},
                                        {EINVAL, enNetBadRequest},
                                        {ECONNRESET, enNetConnection}})
        EXPECT_EQ(nCode, OrvResultFromErrno(nErrno, OrvErrnoUse::Socket)) << nErrno;

    COrvConnectSettings v4only = OrvTestNet(1, 1, 1);
    v4only.m_bAllowIPv6 = false;
    err.Clear();
    EXPECT_FALSE(s.Connect("::1", 9, false, v4only, nullptr, err));
    EXPECT_STREQ("No IP v4 addresses and IP v6 is not allowed", err.Text());
    {
        LoopbackPeer peer([](COrvSocket& p) {
            COrvError e;
            EXPECT_TRUE(p.SendString("hi\n", e));
        });
        ASSERT_TRUE(s.Connect("localhost", peer.Port(), false, OrvTestNet(2, 2, 2), nullptr, err))
            << Text(err);
        COrvStringA line;
        ASSERT_TRUE(s.RecvLine(line, err));
        EXPECT_STREQ("hi", line);
        s.Close(true);
    }
    // An IPv6 literal connects with or without the brackets of a URL.
    for (const char* pszHost : {"::1", "[::1]"}) {
        COrvSocket listener, c;
        ASSERT_TRUE(listener.Listen("::1", 0, 4, err)) << Text(err);
        EXPECT_TRUE(
            c.Connect(pszHost, listener.GetLocalPort(), false, OrvTestNet(2, 2, 2), nullptr, err))
            << pszHost << ": " << Text(err);
    }
    // The peer thread has ended: the table can be replaced without racing it.
    OrvSysScope scope;
    g_orv_sys.getaddrinfo = [](const char*, const char*, const addrinfo*, addrinfo**) {
        return EAI_NONAME;
    };
    err.Clear();
    EXPECT_FALSE(s.Connect("nowhere.invalid", 80, false, OrvTestNet(1, 1, 1), nullptr, err));
    EXPECT_EQ("getaddrinfo error " + std::to_string(EAI_NONAME) + "; name=nowhere.invalid; port=80",
              Text(err));
}

TEST(OrvSocket, ConnectTimeoutStepsRetriesAndStop) {
    // A listener whose accept queue is full: further connects get no answer.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof sa;
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
    ASSERT_EQ(0, listen(fd, 0));
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &nLen);
    std::vector<int> fill;
    for (int i = 0; i < 8; ++i) {
        fill.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        connect(fill.back(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int nPort = ntohs(sa.sin_port);
    const struct {
        int nTimeout, nAttempts, nStopAfter;
        int64_t nMaxMs;
    } cases[] = {
        {1, 2, 0, 4500},   // one second, then a second attempt of two seconds
        {30, 1, 1, 2500},  // the observer stops the connect after its first step
    };
    COrvSocket s;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nTimeout);
        OrvTestObserver obs;
        obs.m_nStopAfter = c.nStopAfter;
        COrvConnectSettings net = OrvTestNet(c.nTimeout, 5, 5);
        net.m_nAttempts = c.nAttempts;
        COrvError err;
        const int64_t t0 = NowMs();
        EXPECT_FALSE(s.Connect("127.0.0.1", nPort, false, net, &obs, err));
        const int64_t nMs = NowMs() - t0;
        EXPECT_GE(nMs, c.nStopAfter ? 0 : 2900);
        EXPECT_LT(nMs, c.nMaxMs);
        EXPECT_GE(obs.m_nChecks.load(), c.nStopAfter ? 1 : 3);
        EXPECT_EQ(c.nStopAfter ? enNetCancelled : enNetConnection, err.Code());
        if (!c.nStopAfter) {
            EXPECT_EQ("Connecting to 127.0.0.1:" + std::to_string(nPort) + ": timeout", Text(err));
        }
    }
    for (int c : fill)
        close(c);
    close(fd);
}

TEST(OrvSocket, DisconnectFromAnotherThreadEndsABlockedReceive) {
    std::atomic<bool> bDone{false};
    LoopbackPeer peer([&](COrvSocket&) { OrvWaitFor([&] { return bDone.load(); }, 10000); });
    COrvSocket s;
    COrvError err;
    ASSERT_TRUE(ConnectPlain(s, peer.Port(), err));
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        s.Disconnect();
    });
    COrvStringA line;
    const int64_t t0 = NowMs();
    EXPECT_FALSE(s.RecvLine(line, err));
    EXPECT_LT(NowMs() - t0, 3000);
    EXPECT_NE(std::string::npos, Text(err).find("socket has closed, please retry")) << Text(err);
    EXPECT_EQ(enNetConnection, err.Code());
    EXPECT_FALSE(s.IsOpen());
    other.join();
    EXPECT_FALSE(s.SendString("x", err));
    bDone = true;
}

// Interrupted calls go on; drops set directly, by a loader and from the settings store fail the
// call and close the socket.
TEST(OrvSocket, InterruptedCallsAndInjectedDrops) {
    FaultReset reset;
    std::atomic<bool> bDone{false}, bSent{false};
    LoopbackPeer peer([&](COrvSocket& p) {
        COrvError e;
        EXPECT_TRUE(p.SendString("abc\nxyz\n", e));
        bSent = true;
        OrvWaitFor([&] { return bDone.load(); }, 10000);
    });
    COrvSocket s;
    COrvError err;
    ASSERT_TRUE(ConnectPlain(s, peer.Port(), err));
    // The table is replaced only once the peer thread has stopped calling through it.
    ASSERT_TRUE(OrvWaitFor([&] { return bSent.load(); }));
    {
        OrvSysScope scope;
        // Only the client's descriptor is counted: the peer thread shares the table.
        static int nRecvCalls, nSendCalls, fdClient;
        nRecvCalls = nSendCalls = 0;
        fdClient = s.GetDescriptor();
        static const auto interrupted = [](int fd, int& nCalls) {
            errno = EINTR;
            return fd == fdClient && nCalls++ == 0;
        };
        g_orv_sys.recv = [](int fd, void* p, size_t n, int f) -> long {
            return interrupted(fd, nRecvCalls) ? -1 : g_orv_sys_real.recv(fd, p, n, f);
        };
        g_orv_sys.send = [](int fd, const void* p, size_t n, int f) -> long {
            EXPECT_TRUE(f & MSG_NOSIGNAL);
            return interrupted(fd, nSendCalls) ? -1 : g_orv_sys_real.send(fd, p, n, f);
        };
        COrvStringA line;
        ASSERT_TRUE(s.RecvLine(line, err)) << Text(err);
        EXPECT_STREQ("abc", line);
        EXPECT_TRUE(s.SendString("ok", err));
        EXPECT_EQ(2, nRecvCalls);
        EXPECT_EQ(2, nSendCalls);
    }
    // Drop counts from the settings store: every second send, and every receive.
    OrvTempDir root;
    setenv("ORV_REGISTRY_ROOT", root.Path().c_str(), 1);
    {
        COrvRegKey key;
        ASSERT_TRUE(key.Create(enOrvHKeyCurrentUser, kOrvProductKey, ORV_KEY_ALL_ACCESS, err))
            << Text(err);
        ASSERT_TRUE(key.SetDWORDValue(u"DropSend", 2, err));
        ASSERT_TRUE(key.SetDWORDValue(u"DropRecv", 1, err));
    }
    OrvSetSocketFaultLoader(nullptr);  // the default loader reads the product key
    EXPECT_EQ(2u, OrvGetSocketFaultSettings().nDropSend);
    unsetenv("ORV_REGISTRY_ROOT");
    EXPECT_TRUE(s.SendString("one", err));
    EXPECT_FALSE(s.SendString("two", err));
    EXPECT_STREQ("TCP Send is dropped", err.Text());
    EXPECT_EQ(enNetConnection, err.Code());
    EXPECT_FALSE(s.IsOpen());
    bDone = true;
    LoopbackPeer second([](COrvSocket& p) {
        COrvError e;
        EXPECT_TRUE(p.SendString("abc\n", e));
    });
    COrvSocket s2;
    ASSERT_TRUE(ConnectPlain(s2, second.Port(), err));
    COrvStringA line;
    EXPECT_FALSE(s2.RecvLine(line, err));
    EXPECT_STREQ("receiving line: TCP Recv is dropped", err.Text());
}

TEST(OrvSocket, SendToAClosedPeerFailsWithoutSignal) {
    LoopbackPeer peer([](COrvSocket& p) { p.Close(true); });
    COrvSocket s;
    COrvError err;
    ASSERT_TRUE(ConnectPlain(s, peer.Port(), err));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string chunk(65536, 'x');
    bool bOk = true;
    for (int i = 0; i < 200 && bOk; ++i)
        bOk = s.Send(chunk.data(), static_cast<int>(chunk.size()), err);
    EXPECT_FALSE(bOk);
    EXPECT_EQ(enNetConnection, err.Code());
    EXPECT_NE(std::string::npos, Text(err).find("[sending data 127.0.0.1"));
    EXPECT_NE(std::string::npos, Text(err).find(": send-len=65536"));
    EXPECT_FALSE(s.IsOpen());
}

TEST(OrvSocket, SendTimeoutIsOneDeadlineForTheCall) {
    // A peer that takes 16 KiB every 100 ms through a small receive buffer: every send makes
    // some progress, none finishes soon.
    std::atomic<bool> bStop{false};
    LoopbackPeer peer([&](COrvSocket& p) {
        COrvError e;
        char buf[16384];
        int nGot = 1;
        while (!bStop && p.Recv(buf, sizeof buf, nGot, e) && nGot > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    COrvSocket s;
    COrvError err;
    ASSERT_TRUE(ConnectPlain(s, peer.Port(), err, 5, 2));
    ASSERT_TRUE(s.SetSendBufferSize(16384, err));
    const std::string big(8 << 20, 'x');
    const int64_t nStart = NowMs();
    EXPECT_FALSE(s.Send(big.data(), static_cast<int>(big.size()), err));
    const int64_t nSpent = NowMs() - nStart;
    bStop = true;
    EXPECT_NE(std::string::npos, Text(err).find("Connection timed out")) << Text(err);
    EXPECT_GE(nSpent, 1900);
    EXPECT_LT(nSpent, 3500);
    EXPECT_FALSE(s.IsOpen());
}

TEST(OrvSocket, Udp) {
    COrvSocket a, b;
    COrvError err;
    ASSERT_TRUE(a.UdpOpen("127.0.0.1", 0, err)) << Text(err);
    ASSERT_TRUE(b.UdpOpen("127.0.0.1", 0, err));
    ASSERT_TRUE(a.UdpSend("127.0.0.1", b.GetLocalPort(), "ping", 4, err));
    char buf[16];
    int nGot = 0, nFromPort = 0;
    COrvStringA from;
    ASSERT_TRUE(b.UdpRecv(buf, sizeof buf, nGot, from, nFromPort, 2000, err));
    EXPECT_EQ("ping", std::string(buf, nGot));
    EXPECT_STREQ("127.0.0.1", from);
    EXPECT_EQ(a.GetLocalPort(), nFromPort);
    EXPECT_FALSE(b.UdpRecv(buf, sizeof buf, nGot, from, nFromPort, 50, err));
    EXPECT_STREQ("nothing received, timeout", err.Text());
}

TEST(OrvSocket, WaitEventsOverSeveralSockets) {
    COrvSocket listener, c1, c2, s1, s2, c3;
    COrvError err;
    ASSERT_TRUE(listener.Listen("127.0.0.1", 0, 4, err));
    ASSERT_TRUE(ConnectPlain(c1, listener.GetLocalPort(), err));
    ASSERT_TRUE(listener.Accept(s1, 2000, err));
    ASSERT_TRUE(ConnectPlain(c2, listener.GetLocalPort(), err));
    ASSERT_TRUE(listener.Accept(s2, 2000, err));
    COrvSocket* apSockets[] = {&c1, &c2};
    const unsigned aIn[] = {kOrvSocketEventRead, kOrvSocketEventRead};
    int iReady = -1;
    unsigned nEvents = 0;
    COrvStringA strEvent;
    auto wait = [&](COrvSocket** ap, int n, const unsigned* aEv, int nEv, COrvSocket* pSignal,
                    int nMs) {
        err.Clear();
        return OrvSocketWaitEvents(ap, n, aEv, nEv, pSignal, nMs, iReady, nEvents, strEvent, err);
    };
    EXPECT_FALSE(wait(apSockets, 2, aIn, 2, nullptr, 50));
    EXPECT_STREQ("timeout", err.Text());

    ASSERT_TRUE(s2.SendString("data", err));
    ASSERT_TRUE(wait(apSockets, 2, aIn, 2, nullptr, 2000)) << Text(err);
    EXPECT_EQ(1, iReady);
    EXPECT_STREQ("event: receiving data", strEvent);
    char buf[4];
    ASSERT_TRUE(c2.RecvExact(buf, 4, err));
    s1.Close(true);
    ASSERT_TRUE(wait(apSockets, 2, aIn, 2, nullptr, 2000));
    EXPECT_EQ(0, iReady);
    EXPECT_STREQ("event: receiving EOF", strEvent);

    // A listening socket with a pending connection, and a signal socket.
    ASSERT_TRUE(ConnectPlain(c3, listener.GetLocalPort(), err));
    COrvSocket* apListen[] = {&listener};
    const unsigned aAccept[] = {kOrvSocketEventAccept};
    ASSERT_TRUE(wait(apListen, 1, aAccept, 1, &c2, 2000));
    EXPECT_EQ(0, iReady);
    EXPECT_STREQ("event: accept", strEvent);

    COrvSocket closed;
    COrvSocket* apBad[] = {&c2, &closed};
    EXPECT_FALSE(wait(apBad, 2, aIn, 2, nullptr, 0));
    EXPECT_STREQ("bad socket descriptor in socket 1", err.Text());
}

}  // namespace
