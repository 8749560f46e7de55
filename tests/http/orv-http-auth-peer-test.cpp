// The auth machine installed on a real connection of the socket engine, against a scripted
// server on loopback that checks NTLM with impacket (one handshake on one kept-alive connection)
// and Digest with stale nonces.
#include <gtest/gtest.h>

#include <string>

#include "orv-http-auth-machine.h"
#include "orv-http-connection.h"
#include "orv-net-test-util.h"
#include "orv-test-servers.h"
#include "orv-test-support.h"

namespace {

class AuthPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string portFile = m_dir.File("port");
        std::string error;
        ASSERT_TRUE(m_peer.Start({"/usr/bin/python3", ORV_AUTH_PEER_SCRIPT, portFile},
                                 m_dir.File("peer.out"), error))
            << error;
        ASSERT_TRUE(OrvWaitFor([&] { return !OrvReadFileBytes(portFile).empty(); }, 10000))
            << "package python3-impacket: " << m_peer.Output();
        m_nPort = atoi(OrvReadFileBytes(portFile).c_str());
    }
    void Configure(COrvHttpConnection& conn, const char* pszUser, const char* pszPassword) {
        conn.m_sHost = "127.0.0.1";
        conn.m_nPort = m_nPort;
        conn.m_nConnectTimeout = 5;
        conn.m_nSendTimeout = 20;
        conn.m_nRecvTimeout = 20;
        conn.m_sUserId = pszUser;
        conn.m_sPassword = pszPassword;
        m_machine.m_sHost = "127.0.0.1";
        m_machine.m_sUserId = pszUser;
        m_machine.m_sPassword = pszPassword;
        conn.m_pAuthSchemes = &m_machine;
    }

    OrvTempDir m_dir;
    OrvTestProcess m_peer;
    int m_nPort = 0;
    COrvHttpAuthMachine m_machine;
};

}  // namespace

TEST_F(AuthPeerTest, NtlmHandshakeOnOneConnection) {
    COrvHttpConnection conn;
    Configure(conn, "CORP\\alice", "S3cret!");
    COrvHttpTxn txn;
    txn.m_sPath = "/ntlm";
    COrvError err;
    ASSERT_TRUE(OrvHttpSendReceive(conn, txn, err)) << err.Text();
    EXPECT_EQ(txn.m_nStatus, 200);
    EXPECT_EQ(txn.m_sBody, "ntlm ok conn=1");
    EXPECT_EQ(conn.ServerAuthState(), enServerAuthNtlmAuthorised);

    // A wrong password: the server's refusal of the authenticate message.
    COrvHttpConnection wrong;
    Configure(wrong, "CORP\\alice", "nope");
    COrvHttpTxn txn2;
    txn2.m_sPath = "/ntlm";
    COrvError err2;
    EXPECT_FALSE(OrvHttpSendReceive(wrong, txn2, err2));
    EXPECT_EQ(err2.Code(), enNetAuth);
    EXPECT_EQ(
        err2.Text(),
        "Incorrect NTLM Auth UserID or Password: Server says: Unauthorized (status code 401)");
    EXPECT_EQ(wrong.ServerAuthState(), enServerAuthNtlmNegotiate);
}

TEST_F(AuthPeerTest, DigestStaleNonceAndItsBound) {
    COrvHttpConnection conn;
    Configure(conn, "u", "p");
    COrvHttpTxn txn;
    txn.m_sPath = "/digest-stale";
    COrvError err;
    ASSERT_TRUE(OrvHttpSendReceive(conn, txn, err)) << err.Text();
    EXPECT_EQ(txn.m_sBody, "digest ok conn=1");
    // The next request answers the kept nonce at once with the next count.
    COrvHttpTxn again;
    again.m_sPath = "/digest-stale";
    ASSERT_TRUE(OrvHttpSendReceive(conn, again, err)) << err.Text();
    EXPECT_EQ(again.m_sBody, "digest ok conn=1");
    EXPECT_EQ(m_machine.m_digest.m_nNonceCount, 2u);

    COrvHttpConnection ever;
    Configure(ever, "u", "p");
    COrvHttpTxn txn2;
    txn2.m_sPath = "/digest-everstale";
    COrvError err2;
    EXPECT_FALSE(OrvHttpSendReceive(ever, txn2, err2));
    // The first answer, three stale nonces retried, the fourth gives up.
    EXPECT_EQ(err2.Code(), enNetAuth);
    EXPECT_EQ(err2.Text(), "Digest authentication failed due to everlasting nonce expiration");
    EXPECT_EQ(ever.ServerAuthState(), enServerAuthNone);
}

TEST_F(AuthPeerTest, PassportSignInAtTheNexus) {
    COrvPassportNexusSignIn nexus;
    nexus.m_sNexusUrl.Format("http://127.0.0.1:%d/nexus", m_nPort);
    m_machine.m_pPassport = &nexus;
    const struct {
        const char* pszPassword;
        bool bOk;
        const char* pszText;
    } kCases[] = {
        {"s=cret", true, ""},
        {"wrong", false, "Passport auth error: Passport auth bad: Passport1.4 da-status=failed"},
    };
    for (const auto& c : kCases) {
        COrvHttpConnection conn;
        Configure(conn, "user@example.com", c.pszPassword);
        COrvHttpTxn txn;
        txn.m_sPath = "/pp/resource";
        COrvError err;
        EXPECT_EQ(OrvHttpSendReceive(conn, txn, err), c.bOk) << err.Text();
        EXPECT_EQ(err.Text(), c.pszText);
        if (c.bOk) {
            EXPECT_EQ(txn.m_sBody, "passport ok conn=1");
            EXPECT_EQ(conn.ServerAuthState(), enServerAuthToken);
        }
    }
}

namespace {

// squid in front of the scripted server: Basic through basic_ncsa_auth and NTLM through
// ntlm_fake_auth on its auth port.
class ProxyAuthTest : public AuthPeerTest {
protected:
    void SetUp() override {
        AuthPeerTest::SetUp();
        m_squid.m_bNtlm = true;
        std::string error;
        ASSERT_TRUE(m_squid.Start(m_squidDir.Path(), error)) << error;
    }
    void ThroughProxy(COrvHttpConnection& conn, bool bConnect, const char* pszUser,
                      const char* pszPassword, bool bSchemes) {
        Configure(conn, "", "");
        conn.m_sProxyHost = "127.0.0.1";
        conn.m_nProxyPort = m_squid.AuthPort();
        conn.m_sProxyUserId = pszUser;
        conn.m_sProxyPassword = pszPassword;
        conn.m_bPlainTarget = !bConnect;
        if (!bSchemes)
            conn.m_pAuthSchemes = nullptr;
    }

    OrvTempDir m_squidDir;
    OrvTestSquid m_squid;
};

}  // namespace

TEST_F(ProxyAuthTest, NtlmAndBasicThroughSquidForHttpAndConnect) {
    for (bool bConnect : {false, true}) {
        // NTLM (the strongest the proxy offers): three messages on one connection, then the
        // connection stays authorised.
        COrvHttpConnection conn;
        ThroughProxy(conn, bConnect, "CORP\\proxyuser", "any", true);
        for (int i = 0; i < 2; ++i) {
            COrvHttpTxn txn;
            txn.m_sPath = "/open";
            COrvError err;
            ASSERT_TRUE(OrvHttpSendReceive(conn, txn, err)) << bConnect << " " << err.Text();
            EXPECT_EQ(txn.m_sBody.Left(10), "open conn=") << bConnect;
        }
        EXPECT_EQ(conn.ProxyAuthState(), enProxyAuthNtlmAuthorised) << bConnect;

        // Basic when the schemes beyond it are not installed; a wrong password twice.
        COrvHttpConnection basic;
        ThroughProxy(basic, bConnect, "proxyuser", "proxypass", false);
        COrvHttpTxn txn;
        txn.m_sPath = "/open";
        COrvError err;
        ASSERT_TRUE(OrvHttpSendReceive(basic, txn, err)) << bConnect << " " << err.Text();
        COrvHttpConnection wrong;
        ThroughProxy(wrong, bConnect, "proxyuser", "wrong", false);
        COrvHttpTxn txn2;
        txn2.m_sPath = "/open";
        EXPECT_FALSE(OrvHttpSendReceive(wrong, txn2, err = COrvError()));
        EXPECT_EQ(err.Code(), enNetProxyAuth) << bConnect;
        EXPECT_NE(err.Text().Find("Incorrect Proxy Basic Authentication Credentials"), -1)
            << bConnect << " " << err.Text();
    }
}
