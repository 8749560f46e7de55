// The auth machine installed on a real connection of the socket engine, against a scripted
// server on loopback that checks NTLM with impacket (one handshake on one kept-alive connection)
// and Digest with stale nonces, and squid asking for NTLM or Basic in front of it. The peers
// start once for the suite.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "orv-http-auth-machine.h"
#include "orv-http-conn.h"
#include "orv-http-connection.h"
#include "orv-net-test-util.h"
#include "orv-test-net.h"
#include "orv-test-servers.h"
#include "orv-test-support.h"

namespace {

class AuthPeerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Peers& p = *(s_peers = new Peers);
        const std::string portFile = p.dir.File("port");
        if (!p.peer.Start({"/usr/bin/python3", ORV_AUTH_PEER_SCRIPT, portFile}, p.dir.File("out"),
                          p.error))
            return;
        if (!OrvWaitFor([&] { return !OrvReadFileBytes(portFile).empty(); }, 10000))
            p.error = "package python3-impacket: " + p.peer.Output();
        p.nPort = atoi(OrvReadFileBytes(portFile).c_str());
        p.squid.m_bNtlm = true;
        (void)(p.error.empty() && p.squid.Start(p.squidDir.Path(), p.error));
    }
    static void TearDownTestSuite() {
        delete s_peers;
        s_peers = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_peers->error.empty()) << s_peers->error; }

    void Configure(COrvHttpConnection& conn, const char* pszUser, const char* pszPassword) {
        conn.m_sHost = "127.0.0.1";
        conn.m_nPort = s_peers->nPort;
        conn.m_net = OrvTestNet(5, 20, 20);
        conn.m_sUserId = pszUser;
        conn.m_sPassword = pszPassword;
        m_machine = std::make_unique<COrvHttpAuthMachine>();
        m_machine->m_sHost = "127.0.0.1";
        m_machine->m_sUserId = pszUser;
        m_machine->m_sPassword = pszPassword;
        conn.m_pAuthSchemes = m_machine.get();
    }
    // A GET of pszPath on conn; its body, "" when it failed.
    static std::string Fetch(COrvHttpConnection& conn, const char* pszPath, COrvError& err) {
        COrvHttpTxn txn;
        txn.m_sPath = pszPath;
        err.Clear();
        return OrvHttpSendReceive(conn, txn, err) ? txn.m_sBody.GetString() : "";
    }

    struct Peers {
        OrvTempDir dir, squidDir;
        OrvTestProcess peer;
        OrvTestSquid squid;
        int nPort = 0;
        std::string error;
    };
    static inline Peers* s_peers = nullptr;
    std::unique_ptr<COrvHttpAuthMachine> m_machine;
};

// NTLM and Digest through the auth machine: the server's verdict, the state the connection ends
// in. A server that closes after its NTLM challenge gets the handshake again on the next
// connection; Digest answers a stale nonce again, three times at most.
TEST_F(AuthPeerTest, NtlmAndDigestHandshakes) {
    const struct {
        const char* pszPath;
        const char* pszUser;
        const char* pszPassword;
        const char* pszBody;  // "": refused with pszText
        const char* pszText;
        int nState;
        int nConnections;
    } kCases[] = {
        // clang-format off
        {"/ntlm", "CORP\\alice", "S3cret!", "ntlm ok conn=", "", enServerAuthNtlmAuthorised, 1},
        {"/ntlm", "CORP\\alice", "nope", "", "Incorrect NTLM Auth UserID or Password: ...",
         enServerAuthNtlmNegotiate, 1},
        {"/ntlm-close-once", "CORP\\alice", "S3cret!", "ntlm ok conn=", "",
         enServerAuthNtlmAuthorised, 2},
        {"/digest-stale", "u", "p", "digest ok conn=", "", -1, 1},
        {"/digest-everstale", "u", "p", "", "Digest authentication failed due to everlasting ...",
         enServerAuthNone, 1},
        // clang-format on
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.pszPath) + " " + c.pszPassword);
        COrvHttpConnection conn;
        Configure(conn, c.pszUser, c.pszPassword);
        COrvError err;
        const std::string body = Fetch(conn, c.pszPath, err);
        EXPECT_EQ(body.substr(0, strlen(c.pszBody)), c.pszBody) << err.Text();
        const std::string text = c.pszText;  // "..." at the end: its start
        EXPECT_EQ(OrvStr(err.Text()).substr(0, text.find("...")), text.substr(0, text.find("...")));
        EXPECT_EQ(err.Code(), *c.pszText ? enNetAuth : enNetOk);
        if (c.nState >= 0) {
            EXPECT_EQ(conn.ServerAuthState(), c.nState);
        }
        EXPECT_EQ(conn.ConnectionsOpened(), c.nConnections);
        if (strcmp(c.pszPath, "/digest-stale") == 0) {
            // The next request answers the kept nonce at once with the next count.
            const std::string again = Fetch(conn, c.pszPath, err);
            EXPECT_EQ(again, body);
            EXPECT_EQ(m_machine->m_digest.m_nNonceCount, 2u);
        }
    }
}

TEST_F(AuthPeerTest, PassportSignInAtTheNexus) {
    COrvPassportNexusSignIn nexus;
    nexus.m_sNexusUrl.Format("http://127.0.0.1:%d/nexus", s_peers->nPort);
    for (const char* pszPassword : {"s=cret", "wrong"}) {
        COrvHttpConnection conn;
        Configure(conn, "user@example.com", pszPassword);
        m_machine->m_pPassport = &nexus;
        COrvError err;
        const bool bOk = pszPassword[0] == 's';
        EXPECT_EQ(Fetch(conn, "/pp/resource", err).substr(0, 12), bOk ? "passport ok " : "");
        EXPECT_EQ(
            err.Text(),
            bOk ? "" : "Passport auth error: Passport auth bad: Passport1.4 da-status=failed");
        if (bOk) {
            EXPECT_EQ(conn.ServerAuthState(), enServerAuthToken);
        }
    }
}

// The platform engine (libcurl's own Digest and NTLM) answers the same challenges as the auth
// machine above, given the same credentials.
TEST_F(AuthPeerTest, PlatformEngineAnswersTheSameChallenges) {
    const struct {
        const char* pszPath;
        const char* pszUser;
        const char* pszPassword;
        const char* pszBody;  // null: refused with enNetAuth
    } kCases[] = {
        {"/ntlm", "CORP\\alice", "S3cret!", "ntlm ok"},
        {"/ntlm", "CORP\\alice", "wrong", nullptr},
        {"/digest-stale", "u", "p", "digest ok"},
        {"/digest-stale", "u", "wrong", nullptr},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.pszPath) + " " + c.pszPassword);
        COrvHttpTxn txn;
        txn.m_sPath = c.pszPath;
        COrvHttpConnConfig cfg;
        cfg.m_sHost = "127.0.0.1";
        cfg.m_nPort = s_peers->nPort;
        cfg.m_bUsePlatformEngine = true;
        cfg.m_sUserId = c.pszUser;
        cfg.m_sPassword = c.pszPassword;
        COrvHttpEngineConnection conn(cfg);
        COrvError err;
        EXPECT_EQ(conn.SendReceive(txn, err), c.pszBody != nullptr) << err.Text();
        EXPECT_EQ(err.Code(), c.pszBody ? enNetOk : enNetAuth) << err.Text();
        if (c.pszBody != nullptr) {
            EXPECT_EQ(txn.m_sBody.Left(static_cast<int>(strlen(c.pszBody))), c.pszBody);
        }
    }
}

// squid in front of the scripted server: NTLM (the strongest it offers) with three messages on
// one connection that then stays authorised; Basic when the schemes beyond it are not
// installed; a wrong Basic password refused.
TEST_F(AuthPeerTest, NtlmAndBasicThroughSquidForHttpAndConnect) {
    for (bool bConnect : {false, true}) {
        const struct {
            const char* pszUser;
            const char* pszPassword;
            bool bSchemes;
        } kCases[] = {{"CORP\\proxyuser", "any", true},
                      {"proxyuser", "proxypass", false},
                      {"proxyuser", "wrong", false}};
        for (const auto& c : kCases) {
            SCOPED_TRACE(std::string(bConnect ? "CONNECT " : "HTTP ") + c.pszPassword);
            COrvHttpConnection conn;
            Configure(conn, "", "");
            conn.m_sProxyHost = "127.0.0.1";
            conn.m_nProxyPort = s_peers->squid.AuthPort();
            conn.m_sProxyUserId = c.pszUser;
            conn.m_sProxyPassword = c.pszPassword;
            conn.m_bPlainTarget = !bConnect;
            if (!c.bSchemes)
                conn.m_pAuthSchemes = nullptr;
            COrvError err;
            const bool bOk = c.pszPassword[0] != 'w';
            for (int i = 0; i < (c.bSchemes ? 2 : 1); ++i)
                EXPECT_EQ(Fetch(conn, "/open", err).substr(0, 10), bOk ? "open conn=" : "")
                    << err.Text();
            if (c.bSchemes) {
                EXPECT_EQ(conn.ProxyAuthState(), enProxyAuthNtlmAuthorised);
            }
            if (!bOk) {
                EXPECT_EQ(err.Code(), enNetProxyAuth);
                EXPECT_NE(err.Text().Find("Incorrect Proxy Basic Authentication Credentials"), -1)
                    << err.Text();
            }
        }
    }
}

}  // namespace
