// SOCKS5 against a real proxy (microsocks, started once for the suite on loopback) and a small
// fake proxy of the suite for the replies a well-behaved proxy never gives.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "orv-net-test-util.h"
#include "orv-socket.h"
#include "orv-socks-proxy.h"
#include "orv-test-net.h"

namespace {

// microsocks on 127.0.0.1, started once for the suite.
class SocksEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (!OrvHaveProgram("microsocks")) {
            m_strMissing = "microsocks is not installed (package microsocks; run scripts/setup.sh)";
            return;
        }
        m_nPort = OrvFreeLoopbackPort();
        m_proc.Start({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(m_nPort)},
                     m_dir.File("microsocks.log"));
        if (!OrvWaitFor([&] { return OrvLoopbackListening(m_nPort); }, 10000))
            m_strMissing = "microsocks did not start: " + m_proc.Output();
    }
    void TearDown() override { m_proc.Stop(); }

    static inline int m_nPort = 0;
    static inline std::string m_strMissing;

private:
    OrvTempDir m_dir;
    OrvPeerProcess m_proc;
};

const auto* g_env = ::testing::AddGlobalTestEnvironment(new SocksEnvironment);

// A fake proxy: accepts one connection, records what the client sends and answers with the
// scripted bytes (the method answer first, then the connect reply after the request arrived).
class FakeProxy {
public:
    FakeProxy(std::string greetingReply, std::string connectReply)
        : m_greeting(std::move(greetingReply)), m_reply(std::move(connectReply)) {
        COrvError err;
        EXPECT_TRUE(m_listen.Listen("127.0.0.1", 0, 4, err));
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeProxy() { m_thread.join(); }
    int Port() const { return m_listen.GetLocalPort(); }
    // Bytes received after the greeting (the connect request), once the client is gone.
    std::string Request() {
        m_thread.join();
        m_thread = std::thread([] {});
        return m_request;
    }

private:
    void Serve() {
        COrvSocket s;
        COrvError err;
        if (!m_listen.Accept(s, 10000, err))
            return;
        unsigned char head[2];
        if (!s.RecvExact(head, 2, err))
            return;
        std::string methods(head[1], '\0');
        if (head[1] > 0 && !s.RecvExact(methods.data(), head[1], err))
            return;
        if (!m_greeting.empty() && !s.Send(m_greeting.data(), int(m_greeting.size()), err))
            return;
        // Reads the request until the client stops sending, then answers.
        (void)s.SetTimeouts(1, 1, err);
        char buf[600];
        int nGot = 0;
        err.Clear();
        if (s.Recv(buf, sizeof buf, nGot, err) && nGot > 0) {
            m_request.assign(buf, nGot);
            // The request may come in pieces; a short wait gathers the rest.
            COrvError e2;
            while (m_request.size() < 5 || m_request.size() < ExpectedLength()) {
                if (!s.Recv(buf, sizeof buf, nGot, e2) || nGot == 0)
                    break;
                m_request.append(buf, nGot);
            }
            if (!m_reply.empty())
                (void)s.Send(m_reply.data(), int(m_reply.size()), err);
        }
        s.Close(true);
    }
    size_t ExpectedLength() const {
        if (m_request.size() < 5)
            return 5;
        if (m_request[3] == 1)
            return 10;
        if (m_request[3] == 4)
            return 22;
        return 4 + 1 + static_cast<unsigned char>(m_request[4]) + 2;
    }

    COrvSocket m_listen;
    std::string m_greeting, m_reply, m_request;
    std::thread m_thread;
};

bool ConnectTo(COrvSocket& s, int nPort, COrvError& err) {
    return s.Connect("127.0.0.1", nPort, false, OrvTestNet(5, 5, 5), nullptr, err);
}

const unsigned char kNoAuth[] = {0};

TEST(OrvSocks, ConnectThroughARealProxy) {
    ASSERT_TRUE(SocksEnvironment::m_strMissing.empty()) << SocksEnvironment::m_strMissing;
    // An IPv4 target, and an IPv6 one given as a URL writes it.
    const struct {
        const char* pszListen;
        const char* pszDestination;
    } targets[] = {{"127.0.0.1", "127.0.0.1"}, {"::1", "[::1]"}};
    COrvError err;
    int nChosen = -1;
    for (const auto& t : targets) {
        COrvSocket target;
        ASSERT_TRUE(target.Listen(t.pszListen, 0, 4, err)) << err.Text().GetString();
        std::thread server([&] {
            COrvSocket s;
            COrvError e;
            ASSERT_TRUE(target.Accept(s, 10000, e)) << e.Text().GetString();
            COrvStringA line;
            ASSERT_TRUE(s.RecvLine(line, e));
            EXPECT_TRUE(s.SendString(COrvStringA("echo:") + line + "\n", e));
        });
        COrvSocket s;
        ASSERT_TRUE(ConnectTo(s, SocksEnvironment::m_nPort, err)) << err.Text().GetString();
        ASSERT_TRUE(OrvSocks5Negotiate(s, kNoAuth, 1, nChosen, err)) << err.Text().GetString();
        EXPECT_EQ(0, nChosen);
        COrvStringA bound;
        int nBoundPort = 0;
        EXPECT_TRUE(
            OrvSocks5Connect(s, t.pszDestination, target.GetLocalPort(), err, &bound, &nBoundPort))
            << t.pszDestination << ": " << err.Text().GetString();
        EXPECT_FALSE(bound.IsEmpty());
        EXPECT_TRUE(s.SendString("hello\n", err));
        COrvStringA line;
        EXPECT_TRUE(s.RecvLine(line, err));
        EXPECT_STREQ("echo:hello", line);
        server.join();
    }

    // A refused destination through the real proxy: a nonzero reply closes the socket.
    const int nDead = OrvFreeLoopbackPort();
    COrvSocket s2;
    ASSERT_TRUE(ConnectTo(s2, SocksEnvironment::m_nPort, err));
    ASSERT_TRUE(OrvSocks5Negotiate(s2, kNoAuth, 1, nChosen, err));
    COrvError errRefused;
    EXPECT_FALSE(OrvSocks5Connect(s2, "127.0.0.1", nDead, errRefused));
    EXPECT_FALSE(errRefused.Text().IsEmpty());
    EXPECT_FALSE(s2.IsOpen());
}

TEST(OrvSocks, GreetingReplies) {
    struct Case {
        std::string reply;
        int nCode;
        const char* pszText;
        int nChosen;
    } cases[] = {
        {std::string("\x04\x00", 2), enNetConnection,
         "bad SOCKS version number 4 (not a SOCKS5 proxy?)", -1},
        {std::string("\x05\xff", 2), enNetProxyAuth, "unsupported authentication method", -1},
        {std::string("\x05\x07", 2), enNetProxyAuth,
         "proxy server returns bad authentication method 7", -1},
        {std::string("\x05", 1), enNetConnection, "unexpected EOF after version number", -1},
        {std::string("\x05\x02", 2), enNetOk, "", 2},
    };
    for (const Case& c : cases) {
        FakeProxy proxy(c.reply, "");
        COrvSocket s;
        COrvError err;
        ASSERT_TRUE(ConnectTo(s, proxy.Port(), err));
        const unsigned char methods[] = {0, 2};
        int nChosen = 99;
        const bool bOk = OrvSocks5Negotiate(s, methods, 2, nChosen, err);
        EXPECT_EQ(c.nCode == enNetOk, bOk);
        EXPECT_EQ(c.nCode, err.Code());
        EXPECT_STREQ(c.pszText, err.Text());
        EXPECT_EQ(c.nChosen, nChosen);
        EXPECT_EQ(bOk, s.IsOpen());
        s.Close(true);
    }
}

TEST(OrvSocks, ConnectRepliesAndRequestBytes) {
    const std::string ok("\x05\x00", 2);
    struct Case {
        std::string reply;
        int nCode;
        const char* pszText;
        const char* pszBound = "";
    } cases[] = {
        {std::string("\x05\x05\x00\x01\x7f\x00\x00\x01\x00\x50", 10), enNetConnection,
         "connection refused"},
        {std::string("\x05\x09", 2), enNetConnection, "unknown error 9"},
        {std::string("\x05\x00\x00\x05", 4), enNetBadRequest, "unrecognized address type 5"},
        {std::string("\x05\x00\x00\x04\0\0\0\0\0\0\0\0", 12), enNetConnection,
         "unexpected EOF in BND.ADDR"},
        {std::string("\x05\x00", 2), enNetConnection, "unexpected EOF after RSV"},
        {std::string("\x05\x00\x00\x01\x7f\x00", 6), enNetConnection, "unexpected EOF in BND.ADDR"},
        {std::string("\x05\x00\x00\x03\x05"
                     "ab",
                     7),
         enNetConnection, "unexpected EOF after BND.ADDR length"},
        {std::string("\x05\x00\x00\x01\x7f\x00\x00\x01", 8), enNetConnection,
         "unexpected EOF after BND.ADDR"},
        {std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x01", 9), enNetConnection,
         "unexpected EOF in BND.PORT"},
        {std::string("\x05\x00\x00\x03\x04host\x01\xbb", 11), enNetOk, "", "host"},
        // A proxy that reached the destination over IPv6 binds an IPv6 address.
        {std::string("\x05\x00\x00\x04\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x07\x01\xbb", 22),
         enNetOk, "", "2001:db8::7"},
    };
    for (const Case& c : cases) {
        FakeProxy proxy(ok, c.reply);
        COrvSocket s;
        COrvError err;
        ASSERT_TRUE(ConnectTo(s, proxy.Port(), err));
        int nChosen = -1;
        ASSERT_TRUE(OrvSocks5Negotiate(s, kNoAuth, 1, nChosen, err));
        COrvStringA bound;
        int nBoundPort = 0;
        const bool bOk = OrvSocks5Connect(s, "example.test", 8080, err, &bound, &nBoundPort);
        EXPECT_EQ(c.nCode == enNetOk, bOk) << c.pszText;
        EXPECT_EQ(c.nCode, err.Code()) << c.pszText;
        EXPECT_STREQ(c.pszText, err.Text());
        // Any failure once the request is out leaves the socket closed.
        EXPECT_EQ(bOk, s.IsOpen()) << c.pszText;
        if (bOk) {
            EXPECT_STREQ(c.pszBound, bound);
            EXPECT_EQ(443, nBoundPort);
        }
        s.Close(true);
        const std::string req = proxy.Request();
        EXPECT_EQ(std::string("\x05\x01\x00\x03\x0c"
                              "example.test\x1f\x90",
                              19),
                  req);
    }
}

TEST(OrvSocks, DestinationForms) {
    // A dotted address goes as four bytes.
    {
        FakeProxy proxy(std::string("\x05\x00", 2),
                        std::string("\x05\x00\x00\x01\x01\x02\x03\x04\x00\x16", 10));
        COrvSocket s;
        COrvError err;
        ASSERT_TRUE(ConnectTo(s, proxy.Port(), err));
        int nChosen = -1;
        ASSERT_TRUE(OrvSocks5Negotiate(s, kNoAuth, 1, nChosen, err));
        COrvStringA bound;
        int nBoundPort = 0;
        ASSERT_TRUE(OrvSocks5Connect(s, "10.1.2.3", 22, err, &bound, &nBoundPort));
        EXPECT_STREQ("1.2.3.4", bound);
        EXPECT_EQ(22, nBoundPort);
        s.Close(true);
        EXPECT_EQ(std::string("\x05\x01\x00\x01\x0a\x01\x02\x03\x00\x16", 10), proxy.Request());
    }
    // An IPv6 literal goes as sixteen bytes, brackets or not.
    for (const char* pszHost : {"::1", "[::1]"}) {
        FakeProxy proxy(std::string("\x05\x00", 2),
                        std::string("\x05\x00\x00\x01\x01\x02\x03\x04\x00\x16", 10));
        COrvSocket s;
        COrvError err;
        ASSERT_TRUE(ConnectTo(s, proxy.Port(), err));
        int nChosen = -1;
        ASSERT_TRUE(OrvSocks5Negotiate(s, kNoAuth, 1, nChosen, err));
        ASSERT_TRUE(OrvSocks5Connect(s, pszHost, 443, err)) << err.Text().GetString();
        s.Close(true);
        EXPECT_EQ(std::string("\x05\x01\x00\x04\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x01\x01\xbb", 22),
                  proxy.Request());
    }
    // 255 bytes go with length byte 255; 256 are refused before anything is written.
    {
        const std::string name255(255, 'n');
        FakeProxy proxy(std::string("\x05\x00", 2),
                        std::string("\x05\x00\x00\x01\x01\x02\x03\x04\x00\x16", 10));
        COrvSocket s;
        COrvError err;
        ASSERT_TRUE(ConnectTo(s, proxy.Port(), err));
        int nChosen = -1;
        ASSERT_TRUE(OrvSocks5Negotiate(s, kNoAuth, 1, nChosen, err));
        COrvError errLong, errEmpty;
        EXPECT_FALSE(OrvSocks5Connect(s, std::string(256, 'n').c_str(), 80, errLong));
        EXPECT_STREQ("destination address too long", errLong.Text());
        EXPECT_EQ(enNetBadRequest, errLong.Code());
        EXPECT_FALSE(OrvSocks5Connect(s, "", 80, errEmpty));
        EXPECT_STREQ("empty destination address", errEmpty.Text());
        EXPECT_TRUE(s.IsOpen());
        ASSERT_TRUE(OrvSocks5Connect(s, name255.c_str(), 80, err)) << err.Text().GetString();
        s.Close(true);
        const std::string req = proxy.Request();
        ASSERT_EQ(4u + 1 + 255 + 2, req.size());
        EXPECT_EQ(255, static_cast<unsigned char>(req[4]));
        EXPECT_EQ(name255, req.substr(5, 255));
    }
}

TEST(OrvSocks, ReplyTexts) {
    EXPECT_STREQ("no error", OrvSocks5ReplyText(0));
    EXPECT_STREQ("general SOCKS server failure", OrvSocks5ReplyText(1));
    EXPECT_STREQ("connection not allowed by ruleset", OrvSocks5ReplyText(2));
    EXPECT_STREQ("address type not supported", OrvSocks5ReplyText(8));
    EXPECT_STREQ("unknown error 200", OrvSocks5ReplyText(200));
}

}  // namespace
