// Connections without servers: the local-host rule, the route choice, the system proxy
// answers, the effective proxy's log form and modes, file and bad URLs,
// the engine seam with TryBoth, and the pool under threads.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "orv-http-conn.h"
#include "orv-http-proxy.h"
#include "orv-http-test-util.h"
#include "orv-test-support.h"

namespace {

TEST(LocalHost, RuleCoversLoopbackAndPrivateRanges) {
    for (const char* p :
         {"LocalHost", "0", "127.9.9.9", "10.1.2.3", "192.168.0.1", "172.16.0.1", "172.31.255.255"})
        EXPECT_TRUE(OrvHttpIsLocalHost(p)) << p;
    for (const char* p : {"172.15.0.1", "172.32.0.1", "172.160.0.1", "172.16x", "192.169.0.1", "00",
                          "", "localhostx", "11.0.0.1"})
        EXPECT_FALSE(OrvHttpIsLocalHost(p)) << p;
    EXPECT_FALSE(OrvHttpIsLocalHost(nullptr));
}

class RouteTest : public ::testing::Test {
protected:
    void TearDown() override { OrvResetEffectiveProxy(); }
    void Set(const COrvProxySettings& s) {
        COrvStringA sLog;
        COrvError err;
        ASSERT_TRUE(OrvSetAndTestEffectiveProxy(s, true, false, sLog, err)) << err.Text();
        m_sLog = sLog;
    }
    COrvStringA m_sLog;
};

TEST_F(RouteTest, ManualProxyIsTakenForRemoteHostsOnly) {
    COrvProxySettings s;
    s.m_bUseProxy_Manual = true;
    s.m_sHost = "proxy.example";
    s.m_nPort = 3128;
    s.m_sUserId = "pu";
    s.m_sPasswd = "secret-pw";
    Set(s);
    EXPECT_EQ(ToStd(m_sLog).find("secret-pw"), std::string::npos) << m_sLog.GetString();
    auto route = [](const char* pszHost, bool bUseProxy) {
        const COrvHttpProxyRoute r = OrvHttpChooseRoute(pszHost, bUseProxy, "cu", "cp");
        return ToStd(r.m_sHost) + ":" + std::to_string(r.m_nPort) + " " + ToStd(r.m_sUserId) + ":" +
               ToStd(r.m_sPassword);
    };
    EXPECT_EQ(route("remote.example", true), "proxy.example:3128 pu:secret-pw");
    EXPECT_EQ(route("192.168.1.1", true).find("proxy"), std::string::npos);
    EXPECT_EQ(route("remote.example", false).find("proxy"), std::string::npos);
    // The connection's own proxy credentials stand when the effective proxy has none.
    s.m_sUserId = "";
    s.m_sPasswd = "";
    Set(s);
    EXPECT_EQ(route("remote.example", true), "proxy.example:3128 cu:cp");
    // Neither automatic nor manual: no proxy, host and port cleared.
    s.m_bUseProxy_Manual = false;
    Set(s);
    EXPECT_EQ(route("remote.example", true).find("proxy"), std::string::npos);
    EXPECT_EQ(OrvGetEffectiveProxy().m_nPort, 0);
}

TEST(SystemProxy, AnswersAreParsed) {
    // Credentials, IPv6 literals and socks5h, as desktop settings and PAC scripts give them;
    // an empty expectation: refused, leaving a direct answer.
    const std::pair<const char*, const char*> cases[] = {
        {"HTTP://proxy.lan/", "proxy.lan:8080 :"},
        {"socks://s.lan", "socks5://s.lan:1080 :"},
        {"http://u%40x:p%3Aw@[::1]:3128", "[::1]:3128 u@x:p:w"},
        {"socks5h://me@127.0.0.1:1081", "socks5://127.0.0.1:1081 me:"},
        {"ftp://x:1", ""},
        {"http://h:65536", ""},
        {"http://[::1]x:1", ""},
        {"http://u@", ""},
    };
    for (const auto& [pszAnswer, pszWant] : cases) {
        COrvSystemProxy p;
        p.m_sHost = "left.example";
        EXPECT_EQ(*pszWant != 0, OrvParseSystemProxyAnswer(pszAnswer, p)) << pszAnswer;
        const std::string got = ToStd(p.m_sHost) + ":" + std::to_string(p.m_nPort) + " " +
                                ToStd(p.m_sUserId) + ":" + ToStd(p.m_sPasswd);
        EXPECT_EQ(*pszWant ? got : "", pszWant);
        EXPECT_EQ(*pszWant == 0, p.m_bDirect && p.m_sHost.IsEmpty()) << pszAnswer;
    }
}

TEST(OneShot, FileUrlsAreCappedAndBadUrlsRefused) {
    OrvTempDir dir;
    std::string big(300000, 'a');
    big.back() = 'z';
    ASSERT_TRUE(OrvWriteFileBytes(dir.File("big file"), big));
    ASSERT_TRUE(OrvWriteFileBytes(dir.File("small"), "tiny"));
    COrvHttpConnConfig cfg;
    COrvHttpTxn txn;
    COrvError err;
    const std::string url = "file://" + dir.Path() + "/big%20file";
    ASSERT_TRUE(DoOrvHttpTxnAndClose(url.c_str(), txn, cfg, err)) << err.Text();
    EXPECT_TRUE(ToStd(txn.m_sBody) == big.substr(0, kOrvHttpFileUrlMax));
    const std::string small = "file://" + dir.Path() + "/small";
    ASSERT_TRUE(DoOrvHttpTxnAndClose(small.c_str(), txn, cfg, err)) << err.Text();
    EXPECT_EQ(ToStd(txn.m_sBody), "tiny");

    const struct {
        std::string url;
        int code;
        const char* prefix;
    } bad[] = {
        {"file://" + dir.Path() + "/none", enNetNotFound, "Reading file://: "},
        {"file:" + dir.Path() + "/small", enNetBadRequest, "Bad File URL: "},
        {"ftp://127.0.0.1/x", enNetBadRequest, "DoOrvHttpTxnAndClose bad URL: ftp://"},
        {"http://h:99999/", enNetBadRequest, "cannot crack URL "},
    };
    for (const auto& b : bad) {
        COrvError e;
        EXPECT_FALSE(DoOrvHttpTxnAndClose(b.url.c_str(), txn, cfg, e)) << b.url;
        EXPECT_EQ(e.Code(), b.code) << b.url << " " << e.Text();
        EXPECT_EQ(ToStd(e.Text()).rfind(b.prefix, 0), 0u) << e.Text();
    }
}

// A socket engine that answers from memory, failing as told.
struct FakeEngine : IOrvHttpEngine {
    static std::atomic<int> s_calls;
    static std::atomic<bool> s_fail;
    bool SendReceive(COrvHttpTxn& txn, COrvError& err) override {
        ++s_calls;
        if (s_fail)
            return err.Set(enNetConnection, "fake socket engine down");
        txn.m_nStatus = 200;
        txn.m_sBody = "from the socket engine";
        return true;
    }
    bool WriteBody(COrvHttpTxn&, const void*, int64_t, COrvError&) override { return true; }
    bool FinishBody(COrvHttpTxn&, COrvError&) override { return true; }
    void Close() override {}
    int64_t ConnectionsOpened() const override { return 1; }
};
std::atomic<int> FakeEngine::s_calls{0};
std::atomic<bool> FakeEngine::s_fail{false};
std::unique_ptr<IOrvHttpEngine> MakeFake(const COrvHttpConnConfig&) {
    return std::make_unique<FakeEngine>();
}

TEST(EngineSeam, TryBothFallsBackAndJoinsTheTexts) {
    const OrvHttpEngineFactory pfnInstalled = OrvHttpSetSocketEngineFactory(&MakeFake);
    ASSERT_NE(pfnInstalled, nullptr);
    COrvHttpConnConfig cfg;
    COrvHttpTxn txn;
    COrvError err;
    FakeEngine::s_fail = false;
    FakeEngine::s_calls = 0;
    ASSERT_TRUE(DoOrvHttpTxnAndCloseTryBoth("http://127.0.0.1:1/x", txn, cfg, err));
    EXPECT_EQ(ToStd(txn.m_sBody), "from the socket engine");
    EXPECT_EQ(FakeEngine::s_calls, 1);
    // The socket engine fails; the platform engine finds nothing listening on port 1 either.
    FakeEngine::s_fail = true;
    COrvError both;
    EXPECT_FALSE(DoOrvHttpTxnAndCloseTryBoth("http://127.0.0.1:1/x", txn, cfg, both));
    EXPECT_EQ(ToStd(both.Text()).rfind("fake socket engine down; WinInet: ", 0), 0u) << both.Text();
    EXPECT_EQ(both.Code(), enNetConnection);
    EXPECT_EQ(txn.m_nStatus, 0) << "the failed first attempt's response was reset";
    EXPECT_EQ(OrvHttpSetSocketEngineFactory(pfnInstalled), &MakeFake);
}

TEST(Pool, KeepsAtMostTenAndOnePerKey) {
    COrvHttpConnectionPool pool;
    std::vector<std::unique_ptr<COrvHttpEngineConnection>> conns;
    for (int i = 0; i < 12; ++i) {
        COrvHttpConnConfig cfg;
        cfg.m_sHost = "127.0.0.1";
        cfg.m_nPort = 1000 + i;
        conns.push_back(pool.Take(cfg));
        ASSERT_TRUE(conns.back());
    }
    COrvHttpEngineConnection* pFirst = conns[0].get();
    for (auto& p : conns)
        pool.Give(std::move(p));
    EXPECT_EQ(pool.Count(), COrvHttpConnectionPool::kLimit);
    COrvHttpConnConfig cfg;
    cfg.m_sHost = "127.0.0.1";
    cfg.m_nPort = 1000;
    cfg.m_sPassword = "new";
    auto again = pool.Take(cfg);
    EXPECT_EQ(again.get(), pFirst) << "an idle connection for the key is reused";
    EXPECT_EQ(ToStd(again->Config().m_sPassword), "new");
    EXPECT_EQ(pool.Count(), 9);
    cfg.m_sUserId = "other";
    auto other = pool.Take(cfg);
    EXPECT_NE(other.get(), pFirst) << "another user never gets this connection";
    // A second connection for a key already pooled is closed, not kept.
    auto twin = pool.Take(cfg);
    pool.Give(std::move(other));
    pool.Give(std::move(twin));
    EXPECT_EQ(pool.Count(), 10);
    pool.Give(std::move(again));
    EXPECT_EQ(pool.Count(), 10);
}

TEST(Pool, ThreadsTakeAndGiveUnderTheLock) {
    COrvHttpConnectionPool pool;
    std::atomic<int> nTaken{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                COrvHttpConnConfig cfg;
                cfg.m_sHost = "h";
                cfg.m_nPort = (t * 7 + i) % 13;
                auto p = pool.Take(cfg);
                if (p)
                    ++nTaken;
                pool.Give(std::move(p));
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(nTaken, 800);
    EXPECT_LE(pool.Count(), COrvHttpConnectionPool::kLimit);
    EXPECT_GT(pool.Count(), 0);
}

TEST(EffectiveProxy, ReadersSeeWholeSettingsWhileAWriterChangesThem) {
    std::atomic<bool> bStop{false};
    std::atomic<int> nTorn{0};
    std::thread writer([&] {
        for (int i = 0; i < 100; ++i) {
            COrvProxySettings s;
            s.m_bUseProxy_Manual = true;
            s.m_sHost = i % 2 ? "odd.example" : "even.example";
            s.m_nPort = i % 2 ? 1111 : 2222;
            COrvStringA sLog;
            COrvError err;
            (void)OrvSetAndTestEffectiveProxy(s, true, false, sLog, err);
        }
        bStop = true;
    });
    std::thread reader([&] {
        while (!bStop) {
            const COrvHttpProxyRoute r = OrvHttpChooseRoute("remote.example", true, "", "");
            if (r.m_sHost.IsEmpty())
                continue;
            const bool bOdd = ToStd(r.m_sHost) == "odd.example";
            if ((bOdd && r.m_nPort != 1111) || (!bOdd && r.m_nPort != 2222))
                ++nTorn;
        }
    });
    writer.join();
    reader.join();
    EXPECT_EQ(nTorn, 0);
    OrvResetEffectiveProxy();
}

}  // namespace
