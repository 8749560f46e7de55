// The transport steps (SOCKS5, CONNECT, TLS) over a scripted lower step: what each one writes,
// how it reads the peer's bytes, and what its failures say, with the first failure's code and
// system error number kept as it travels up.
#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "orv-http-tunnel.h"
#include "orv-socks-proxy.h"
#include "orv-tls-transport.h"

namespace {

// What the scripted lower step does and saw. Shared with the test, which keeps it after the
// stack that owns the fake is gone.
struct Wire {
    std::vector<std::string> replies;  // the peer's bytes, one string per connection
    int nSlice = 1 << 30;              // at most this many bytes per receive
    int nFailConnect = 0;              // errno of a failed connect (0: none)
    int nFailRecvAt = -1;              // receives fail (ECONNRESET) once this many bytes are read
    std::string sent;                  // everything flushed, all connections
    int nConnects = 0;
    int nFlushes = 0;
};

class FakeTransport : public IOrvTransport {
public:
    explicit FakeTransport(Wire* pWire) : m_pWire(pWire) {}
    bool Connect(int64_t, IOrvTransferObserver*, COrvError& err) override {
        if (m_pWire->nFailConnect != 0)
            return err.SetErrno(m_pWire->nFailConnect, "[connecting fake]: ");
        const size_t i = static_cast<size_t>(m_pWire->nConnects++);
        m_sIn = i < m_pWire->replies.size() ? m_pWire->replies[i] : std::string();
        m_nPos = 0;
        m_bOpen = true;
        return true;
    }
    bool Send(const void* p, int n, COrvError& err) override {
        if (!m_bOpen)
            return err.Set(enNetConnection, "fake closed");
        m_sOut.append(static_cast<const char*>(p), n);
        return true;
    }
    bool Flush(COrvError& err) override {
        if (!m_bOpen)
            return err.Set(enNetConnection, "fake closed");
        m_pWire->sent += m_sOut;
        m_sOut.clear();
        ++m_pWire->nFlushes;
        return true;
    }
    bool Recv(void* p, int nMax, int& nGot, COrvError& err) override {
        nGot = 0;
        if (!m_bOpen)
            return err.Set(enNetConnection, "fake closed");
        if (m_pWire->nFailRecvAt >= 0 && static_cast<int>(m_nPos) >= m_pWire->nFailRecvAt) {
            Close(true);
            return err.SetErrno(ECONNRESET, "[receiving data fake]: ");
        }
        nGot = static_cast<int>(
            std::min<size_t>({size_t(nMax), size_t(m_pWire->nSlice), m_sIn.size() - m_nPos}));
        if (m_pWire->nFailRecvAt >= 0)
            nGot = std::min(nGot, m_pWire->nFailRecvAt - static_cast<int>(m_nPos));
        memcpy(p, m_sIn.data() + m_nPos, nGot);
        m_nPos += nGot;
        return true;
    }
    void Shutdown() override {}
    void Close(bool) override { m_bOpen = false; }
    COrvStringA Describe() const override { return "fake"; }
    bool IsOpen() const override { return m_bOpen; }
    bool HasPendingInput(bool) override { return m_nPos < m_sIn.size(); }
    bool SetTimeouts(int, int, COrvError&) override { return true; }

private:
    Wire* m_pWire;
    std::string m_sIn, m_sOut;
    size_t m_nPos = 0;
    bool m_bOpen = false;
};

std::unique_ptr<IOrvTransport> Fake(Wire& w) {
    return std::make_unique<FakeTransport>(&w);
}

std::unique_ptr<IOrvTransport> Socks(std::unique_ptr<IOrvTransport> p, const char* pszHost) {
    return std::make_unique<COrvSocks5Transport>(std::move(p), pszHost, 443);
}

std::unique_ptr<IOrvTransport> Tunnel(std::unique_ptr<IOrvTransport> p) {
    COrvHttpTunnelSettings t;
    t.m_sProxyHost = "127.0.0.1";
    t.m_nProxyPort = 3128;
    t.m_sHost = "example.test";
    t.m_nPort = 443;
    t.m_sProxyUserId = "user";
    t.m_sProxyPassword = "pw";
    return std::make_unique<COrvHttpConnectTransport>(std::move(p), t);
}

std::unique_ptr<IOrvTransport> Tls(std::unique_ptr<IOrvTransport> p) {
    COrvTlsSettings tls;
    tls.m_bTrustAny = true;
    return std::make_unique<COrvTlsTransport>(std::move(p), "example.test", 443, tls);
}

const std::string kGreetOk("\x05\x00", 2);
const std::string kSocksOk("\x05\x00\x00\x01\x7f\x00\x00\x01\x01\xbb", 10);
const std::string kGreeting("\x05\x01\x00", 3);
// The SOCKS5 request for example.test:443.
const std::string kSocksName(
    "\x05\x01\x00\x03\x0c"
    "example.test\x01\xbb",
    19);
const std::string k200 = "HTTP/1.1 200 Connection established\r\n\r\n";
const std::string k407 =
    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"p\"\r\n"
    "Content-Length: 0\r\n";
const std::string kConnectReq = "CONNECT example.test:443 HTTP/1.1\r\nHost: example.test:443\r\n";
const std::string kTail = "Connection: Keep-Alive\r\nContent-Length: 0\r\n";
const std::string kBasic = "Proxy-Authorization: Basic dXNlcjpwdw==\r\n";

struct Case {
    const char* pszName;
    std::function<std::unique_ptr<IOrvTransport>(Wire&)> build;
    std::vector<std::string> replies;
    int nFailRecvAt = -1;
    int nFailConnect = 0;
    int nCode = enNetOk;    // enNetOk: the connect succeeds
    std::string text;       // the failure's text, or its start when it ends with "..."
    int nErrno = 0;         // the system error number kept
    std::string sentStart;  // what the stack wrote first
    int nConnects = 1;      // connections of the lowest step
    int nSlice = 1 << 30;
};

std::vector<Case> Cases() {
    auto socks = [](std::string host) {
        return [host](Wire& w) { return Socks(Fake(w), host.c_str()); };
    };
    auto tunnel = [](Wire& w) { return Tunnel(Fake(w)); };
    auto tls = [](Wire& w) { return Tls(Fake(w)); };
    auto tlsTunnel = [](Wire& w) { return Tls(Tunnel(Fake(w))); };
    const std::string ex = "example.test";
    const std::string n255(255, 'n');
    const std::string forbidden = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
    const std::string plain = "HTTP/1.1 400 Bad Request\r\n\r\n";
    const std::string tunnelSays = "CONNECT through proxy 127.0.0.1:3128: ";
    const std::string tlsSays = "TLS handshake with example.test:443: ";
    const int n200 = static_cast<int>(k200.size());
    // clang-format off
    return {
        // SOCKS5: the greeting's answers.
        {"socks version 4", socks(ex), {std::string("\x04\x00", 2)}, -1, 0, enNetConnection,
         "SOCKS5 proxy handshake: bad SOCKS version number 4 (not a SOCKS5 proxy?)", 0, kGreeting},
        {"socks bad method", socks(ex), {"\x05\x07"}, -1, 0, enNetProxyAuth,
         "SOCKS5 proxy handshake: proxy server returns bad authentication method 7"},
        // SOCKS5: the connect reply, field by field (some one byte per receive).
        {"socks refused", socks(ex), {kGreetOk + std::string("\x05\x05\x00\x01", 4)}, -1, 0,
         enNetConnection, "SOCKS5 connect: connection refused", 0, kGreeting + kSocksName},
        {"socks address type", socks(ex), {kGreetOk + std::string("\x05\0\0\x05", 4)}, -1, 0,
         enNetBadRequest, "SOCKS5 connect: unrecognized address type 5"},
        {"socks eof in name", socks(ex), {kGreetOk + std::string("\x05\0\0\x03\x05" "ab", 7)}, -1,
         0, enNetConnection, "SOCKS5 connect: unexpected EOF after BND.ADDR length", 0, "", 1, 1},
        // SOCKS5: the longest name a request holds; one more is refused before it is written.
        {"socks name 255", socks(n255), {kGreetOk + kSocksOk}, -1, 0, enNetOk, "", 0,
         kGreeting + std::string("\x05\x01\x00\x03\xff", 5) + n255},
        {"socks name 256", socks(n255 + "n"), {kGreetOk}, -1, 0, enNetBadRequest,
         "SOCKS5 connect: destination address too long", 0, kGreeting},
        // CONNECT: the proxy's answers; a 407 answered on the same connection, or on a new one
        // when the proxy closes.
        {"connect ok", tunnel, {k200}, -1, 0, enNetOk, "", 0, kConnectReq + kTail + "\r\n"},
        {"connect basic", tunnel, {k407 + "\r\n" + k200}, -1, 0, enNetOk, "", 0,
         kConnectReq + kTail + "\r\n" + kConnectReq + kTail + kBasic},
        {"connect basic reconnect", tunnel, {k407 + "Connection: close\r\n\r\n", k200}, -1, 0,
         enNetOk, "", 0, "", 2},
        {"connect basic refused", tunnel, {k407 + "\r\n" + k407 + "\r\n"}, -1, 0, enNetProxyAuth,
         tunnelSays + "Incorrect Proxy Basic Authentication Credentials"},
        {"connect reset", tunnel, {k200}, 5, 0, enNetConnection,
         tunnelSays + "[receiving data fake]: ...", ECONNRESET},
        {"connect proxy down", tunnel, {}, -1, ECONNREFUSED, enNetConnection,
         tunnelSays + "[connecting fake]: ...", ECONNREFUSED, "", 0},
        // TLS over each: the handshake names the target and its first cause; a step below that
        // failed keeps its own text, with the context of each step added once.
        {"tls plain answer", tls, {plain}, -1, 0, enNetConnection,
         tlsSays + "wrong version number (the server answered in plain text?)", 0, "\x16\x03"},
        {"tls over refused tunnel", tlsTunnel, {forbidden}, -1, 0, enNetServer,
         tunnelSays + "Server says: Forbidden (status code 403)"},
        {"tls over tunnel reset", tlsTunnel, {k200}, n200, 0, enNetConnection,
         tlsSays + "[receiving data fake]: ...", ECONNRESET, kConnectReq},
    };
    // clang-format on
}

TEST(OrvTransportStack, StepsOverAScriptedPeer) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.pszName);
        Wire w;
        w.replies = c.replies;
        w.nFailRecvAt = c.nFailRecvAt;
        w.nFailConnect = c.nFailConnect;
        w.nSlice = c.nSlice;
        auto p = c.build(w);
        COrvError err;
        const bool bOk = p->Connect(0, nullptr, err);
        EXPECT_EQ(c.nCode == enNetOk, bOk) << err.Text();
        EXPECT_EQ(c.nCode, err.Code()) << err.Text();
        const std::string text = err.Text().GetString();
        if (c.text.size() > 3 && c.text.compare(c.text.size() - 3, 3, "...") == 0)
            EXPECT_EQ(0u, text.rfind(c.text.substr(0, c.text.size() - 3), 0)) << text;
        else
            EXPECT_EQ(c.text, text);
        EXPECT_EQ(c.nErrno, err.SystemError());
        EXPECT_EQ(0u, w.sent.rfind(c.sentStart, 0)) << w.sent;
        EXPECT_EQ(c.nConnects, w.nConnects);
        // A failed connect leaves nothing open; a good one passes bytes through.
        EXPECT_EQ(bOk, p->IsOpen());
        if (bOk) {
            const size_t nBefore = w.sent.size();
            EXPECT_TRUE(OrvTransportSendFlush(*p, "ping", 4, err)) << err.Text();
            EXPECT_EQ("ping", w.sent.substr(nBefore));
        }
    }
}

// Bytes the proxy sent after its answer belong to the tunnel: they come first.
TEST(OrvTransportStack, TunnelKeepsBytesAfterTheAnswer) {
    Wire w;
    w.replies = {k200 + "early"};
    auto p = Tunnel(Fake(w));
    COrvError err;
    ASSERT_TRUE(p->Connect(0, nullptr, err)) << err.Text();
    EXPECT_TRUE(p->HasPendingInput(false));
    char buf[5];
    ASSERT_TRUE(OrvTransportRecvExact(*p, buf, 5, "eof", err)) << err.Text();
    EXPECT_EQ("early", std::string(buf, 5));
    EXPECT_EQ("TLS to example.test:443 over CONNECT to example.test:443 over fake",
              std::string(Tls(Tunnel(Fake(w)))->Describe().GetString()));
}

}  // namespace
