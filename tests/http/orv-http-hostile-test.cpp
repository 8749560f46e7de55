// Both engines against the scripted server of orv-http-peer.py when it misbehaves or answers in
// the less common forms: bytes beyond a response, interim answers, lengths on bodiless statuses,
// bodies that end with the connection, gzip members, redirect references of every form, 303,
// credential headers on a redirect, and a proxy that refuses or hangs up. Cookies of the socket
// engine under real domain names reach the same server through a proxy route of the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "http/orv-http-test-util.h"
#include "orv-http-conn.h"
#include "orv-http-connection.h"
#include "orv-http-peers.h"
#include "orv-http-proxy.h"
#include "orv-test-net.h"
#include "orv-url.h"

namespace {

OrvHttpPeers* g_peers = nullptr;

// The engine byte: true runs the platform engine.
class HostileTest : public ::testing::TestWithParam<bool> {
protected:
    static void SetUpTestSuite() {
        g_peers = new OrvHttpPeers;
        if (!g_peers->MakeCertificate() || !g_peers->StartScript(ORV_HTTP_PEER_SCRIPT))
            s_error = g_peers->Error();
    }
    static void TearDownTestSuite() {
        delete g_peers;
        g_peers = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_error.empty()) << s_error; }
    void TearDown() override { OrvResetEffectiveProxy(); }

    COrvHttpConnConfig Config(bool bHttps = false) const {
        COrvHttpConnConfig cfg;
        cfg.m_sHost = "127.0.0.1";
        cfg.m_nPort = g_peers->ScriptPort();
        cfg.m_bHttps = bHttps;
        cfg.m_bUsePlatformEngine = GetParam();
        cfg.m_net = OrvTestNet(5, 5, 5, true);
        return cfg;
    }
    static bool Get(COrvHttpEngineConnection& conn, COrvHttpTxn& txn, const std::string& path,
                    COrvError& err) {
        txn.m_sPath = ToOrv(path);
        err.Clear();
        return conn.SendReceive(txn, err);
    }
    static std::string Port() { return std::to_string(g_peers->ScriptPort()); }
    static std::string Echoed(const COrvHttpTxn& txn, const std::string& name) {
        return EchoHeader(ToStd(txn.m_sBody), name);
    }
    static std::string Field(const COrvHttpTxn& txn, const std::string& name) {
        const std::string json = ToStd(txn.m_sBody), key = "\"" + name + "\": ";
        const size_t f = json.find(key), i = f == std::string::npos ? json.size() : f + key.size();
        return json.substr(i, json.find(',', i) - i);
    }

    static inline std::string s_error;
};

TEST_P(HostileTest, BytesBeyondAResponseNeverAnswerTheNextRequest) {
    for (const char* pszKind : {"long", "chunk", "204", "304", "late"}) {
        SCOPED_TRACE(pszKind);
        COrvHttpEngineConnection conn(Config());
        COrvHttpTxn txn;
        COrvError err;
        ASSERT_TRUE(Get(conn, txn, std::string("/extra?kind=") + pszKind, err)) << err.Text();
        const bool bBodiless = pszKind[0] == '2' || pszKind[0] == '3';
        EXPECT_EQ(bBodiless ? "" : "hello", ToStd(txn.m_sBody));
        if (pszKind[0] == 'l' && pszKind[1] == 'a')
            usleep(300000);  // the stray bytes arrive while the connection is idle
        COrvHttpTxn next;
        ASSERT_TRUE(Get(conn, next, "/echo", err)) << err.Text();
        EXPECT_EQ("\"GET\"", Field(next, "method"));
        EXPECT_NE("forged", ToStd(next.GetResponseHeader("x-conn-requests")));
    }
}

TEST_P(HostileTest, InterimAnswersBodilessStatusesAndOddBodies) {
    COrvHttpEngineConnection conn(Config());
    COrvHttpTxn txn;
    COrvError err;
    ASSERT_TRUE(Get(conn, txn, "/interim", err)) << err.Text();
    EXPECT_EQ(200, txn.m_nStatus);
    EXPECT_EQ("final", ToStd(txn.m_sBody));
    // 204 and 304 announce 50 bytes that never come: waiting for them would meet the time-out.
    for (const char* pszCode : {"204", "304"}) {
        ASSERT_TRUE(Get(conn, txn, std::string("/nobody?code=") + pszCode, err)) << err.Text();
        EXPECT_EQ(atoi(pszCode), txn.m_nStatus);
        EXPECT_TRUE(txn.m_sBody.IsEmpty());
    }
    EXPECT_EQ("3", ToStd(txn.GetResponseHeader("x-conn-requests")));
    EXPECT_EQ(1, conn.ConnectionsOpened());
    // Bodies that end with the connection, and gzip bodies of several members or with garbage.
    for (const char* pszV : {"10", "close", "te"}) {
        ASSERT_TRUE(Get(conn, txn, std::string("/until-close?v=") + pszV, err)) << err.Text();
        EXPECT_EQ("body until the end", ToStd(txn.m_sBody)) << pszV;
    }
    std::string text;
    for (int i = 0; i < 1000; ++i)
        text += "gzip text line\n";
    ASSERT_TRUE(Get(conn, txn, "/gzip?kind=members", err)) << err.Text();
    EXPECT_EQ(text + "second member\n", ToStd(txn.m_sBody));
    EXPECT_FALSE(Get(conn, txn, "/gzip?kind=garbage", err));
    EXPECT_EQ(enNetBadRequest, err.Code());
    EXPECT_EQ(0, err.Text().Find("Cannot unzip response body: ")) << err.Text();
}

TEST_P(HostileTest, SeeOtherTurnsAPostIntoAGetWithoutBody) {
    COrvHttpEngineConnection conn(Config());
    COrvHttpTxn txn;
    txn.m_sMethod = "POST";
    txn.m_sRequestBody = "field=value";
    txn.m_n64BodyLen = txn.m_sRequestBody.GetLength();
    txn.m_requestHeaders.SetAt("Content-Type", "application/x-www-form-urlencoded");
    COrvError err;
    ASSERT_TRUE(Get(conn, txn, "/redirect?code=303&to=/echo", err)) << err.Text();
    EXPECT_EQ("\"GET\"", Field(txn, "method"));
    EXPECT_EQ("0", Field(txn, "body_len"));
    EXPECT_EQ("", Echoed(txn, "content-type"));
}

TEST_P(HostileTest, CallerCredentialHeadersStayWithTheOrigin) {
    const struct {
        bool bHttps;
        std::string to;
        bool bKept;
    } cases[] = {
        {false, "/echo", true},
        {false, "http://localhost:" + Port() + "/echo", false},
        {true, "http://127.0.0.1:" + Port() + "/echo", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        COrvHttpEngineConnection conn(Config(c.bHttps));
        COrvHttpTxn txn;
        txn.m_requestHeaders.SetAt("Authorization", "Bearer secret-token");
        txn.m_requestHeaders.SetAt("Cookie", "session=secret");
        txn.m_requestHeaders.SetAt("Proxy-Authorization", "Basic c2VjcmV0");
        COrvError err;
        ASSERT_TRUE(Get(conn, txn, "/redirect?to=" + ToStd(OrvUrlEscapeA(c.to.c_str())), err))
            << err.Text();
        EXPECT_EQ(c.bKept ? "Bearer secret-token" : "", Echoed(txn, "authorization"));
        EXPECT_EQ(c.bKept ? "session=secret" : "", Echoed(txn, "cookie"));
        EXPECT_EQ(c.bKept ? "Basic c2VjcmV0" : "", Echoed(txn, "proxy-authorization"));
    }
}

// Through the scripted server acting as a proxy: the host's first label picks its behaviour.
TEST_P(HostileTest, ProxyRefusalsAndAProxyThatHangsUpAfterAsking) {
    const struct {
        const char* pszHost;
        bool bHttps;
        const char* pszPassword;
        int nStatus;
        int nCode;
        const char* pszBody;  // null: the echo of the origin
    } cases[] = {
        {"close407.test", true, "proxypass", 200, enNetOk, nullptr},
        {"close407.test", false, "proxypass", 200, enNetOk, nullptr},
        {"close407.test", true, "wrong", 407, enNetProxyAuth, ""},
        {"forbid.test", true, "proxypass", 403, enNetServer, ""},
        {"forbid.test", false, "proxypass", 403, enNetAuth, "no tunnel for you"},
        {"noauth.test", true, "proxypass", 407, enNetProxyAuth, ""},
        {"noauth.test", false, "proxypass", 407, enNetProxyAuth, "who?"},
        {"badgw.test", true, "proxypass", 502, enNetServer, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pszHost) + (c.bHttps ? " https " : " http ") + c.pszPassword);
        COrvProxySettings s;
        s.m_bUseProxy_Manual = true;
        s.m_sHost = "127.0.0.1";
        s.m_nPort = g_peers->ScriptPort();
        s.m_sUserId = "proxyuser";
        s.m_sPasswd = c.pszPassword;
        COrvStringA sLog;
        COrvError err;
        ASSERT_TRUE(OrvSetAndTestEffectiveProxy(s, true, false, sLog, err)) << err.Text();
        COrvHttpConnConfig cfg = Config(c.bHttps);
        cfg.m_sHost = c.pszHost;
        COrvHttpEngineConnection conn(cfg);
        COrvHttpTxn txn;
        const bool bOk = Get(conn, txn, "/echo", err);
        EXPECT_EQ(c.nCode == enNetOk, bOk) << err.Text();
        EXPECT_EQ(c.nCode, err.Code()) << err.Text();
        EXPECT_EQ(c.nStatus, txn.m_nStatus);
        if (c.pszBody != nullptr)
            EXPECT_EQ(c.pszBody, ToStd(txn.m_sBody));
        else
            EXPECT_EQ(c.bHttps ? "true" : "false", Field(txn, "tls"));
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, HostileTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Platform" : "Socket");
                         });

// The socket engine's cookies under real domain names: every host is reached through the
// scripted server as an HTTP proxy, which reads the absolute request target.
class CookieSitesTest : public HostileTest {};

TEST_F(CookieSitesTest, PublicSuffixRefusedAndOneCookiePerSite) {
    COrvHttpConnection conn;
    conn.m_sHost = "www.example.co.uk";
    conn.m_nPort = 80;
    conn.m_sProxyHost = "127.0.0.1";
    conn.m_nProxyPort = g_peers->ScriptPort();
    conn.m_net = OrvTestNet(5, 5, 5);
    conn.m_bCookies = true;
    auto run = [&](const std::string& path, const std::vector<std::string>& cookies,
                   const std::string& to = "") {
        std::string target = path + "?x=1";
        for (const std::string& c : cookies)
            target += "&c=" + ToStd(OrvUrlEscapeA(c.c_str()));
        if (!to.empty())
            target += "&to=" + ToStd(OrvUrlEscapeA(to.c_str()));
        COrvHttpTxn txn;
        txn.m_sPath = ToOrv(target);
        COrvError err;
        EXPECT_TRUE(OrvHttpSendReceive(conn, txn, err)) << err.Text();
        return Echoed(txn, "cookie");
    };
    // The site's cookie, and one for a public suffix that is refused.
    run("/setcookie", {"site=1; Domain=example.co.uk; Path=/", "suffix=1; Domain=co.uk", "root=1"});
    // A sibling site, reached by a redirect, sets a cookie of the same name; each site keeps
    // its own.
    const std::string shop = "http://shop.example.co.uk";
    const std::string setAtShop = shop +
                                  "/setcookie?c=" + ToStd(OrvUrlEscapeA("root=shop; Path=/")) +
                                  "&to=" + ToStd(OrvUrlEscapeA((shop + "/echo").c_str()));
    EXPECT_EQ("root=shop; site=1", run("/redirect", {}, setAtShop));
    EXPECT_EQ("root=1; site=1", run("/echo", {}));
}

}  // namespace
