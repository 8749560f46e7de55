// The auth machine installed on a real connection of the socket engine, against a scripted
// server on loopback that checks NTLM with impacket (one handshake on one kept-alive connection)
// and Digest with stale nonces.
#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "orv-hash.h"
#include "orv-http-auth-machine.h"
#include "orv-http-conn.h"
#include "orv-http-connection.h"
#include "orv-net-test-util.h"
#include "orv-test-servers.h"
#include "orv-test-support.h"

namespace {

// Sends a GET of pszPath on conn.
bool Fetch(COrvHttpConnection& conn, const char* pszPath, COrvHttpTxn& txn, COrvError& err) {
    txn.m_sPath = pszPath;
    return OrvHttpSendReceive(conn, txn, err);
}

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
        conn.m_net.m_nConnectTimeout = 5;
        conn.m_net.m_nSendTimeout = 20;
        conn.m_net.m_nRecvTimeout = 20;
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
    COrvError err;
    ASSERT_TRUE(Fetch(conn, "/ntlm", txn, err)) << err.Text();
    EXPECT_EQ(txn.m_nStatus, 200);
    EXPECT_EQ(txn.m_sBody, "ntlm ok conn=1");
    EXPECT_EQ(conn.ServerAuthState(), enServerAuthNtlmAuthorised);

    // A wrong password: the server's refusal of the authenticate message.
    COrvHttpConnection wrong;
    Configure(wrong, "CORP\\alice", "nope");
    COrvHttpTxn txn2;
    COrvError err2;
    EXPECT_FALSE(Fetch(wrong, "/ntlm", txn2, err2));
    EXPECT_EQ(err2.Code(), enNetAuth);
    EXPECT_EQ(
        err2.Text(),
        "Incorrect NTLM Auth UserID or Password: Server says: Unauthorized (status code 401)");
    EXPECT_EQ(wrong.ServerAuthState(), enServerAuthNtlmNegotiate);
}

// A server that closes the connection after its challenge: the challenge cannot be answered on
// the next connection, so the handshake starts again there.
TEST_F(AuthPeerTest, NtlmHandshakeCutShortStartsAgainOnTheNextConnection) {
    COrvHttpConnection conn;
    Configure(conn, "CORP\\alice", "S3cret!");
    COrvHttpTxn txn;
    COrvError err;
    ASSERT_TRUE(Fetch(conn, "/ntlm-close-once", txn, err)) << err.Text();
    EXPECT_EQ(txn.m_sBody, "ntlm ok conn=2");
    EXPECT_EQ(conn.ServerAuthState(), enServerAuthNtlmAuthorised);
}

TEST_F(AuthPeerTest, DigestStaleNonceAndItsBound) {
    COrvHttpConnection conn;
    Configure(conn, "u", "p");
    COrvHttpTxn txn;
    COrvError err;
    ASSERT_TRUE(Fetch(conn, "/digest-stale", txn, err)) << err.Text();
    EXPECT_EQ(txn.m_sBody, "digest ok conn=1");
    // The next request answers the kept nonce at once with the next count.
    COrvHttpTxn again;
    ASSERT_TRUE(Fetch(conn, "/digest-stale", again, err)) << err.Text();
    EXPECT_EQ(again.m_sBody, "digest ok conn=1");
    EXPECT_EQ(m_machine.m_digest.m_nNonceCount, 2u);

    COrvHttpConnection ever;
    Configure(ever, "u", "p");
    COrvHttpTxn txn2;
    COrvError err2;
    EXPECT_FALSE(Fetch(ever, "/digest-everstale", txn2, err2));
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
        COrvError err;
        EXPECT_EQ(Fetch(conn, "/pp/resource", txn, err), c.bOk) << err.Text();
        EXPECT_EQ(err.Text(), c.pszText);
        if (c.bOk) {
            EXPECT_EQ(txn.m_sBody, "passport ok conn=1");
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
        cfg.m_nPort = m_nPort;
        cfg.m_bUseProxy = false;
        cfg.m_bUsePlatformEngine = true;
        cfg.m_sUserId = c.pszUser;
        cfg.m_sPassword = c.pszPassword;
        cfg.m_net.m_nConnectTimeout = 5;
        COrvHttpEngineConnection conn(cfg);
        COrvError err;
        EXPECT_EQ(conn.SendReceive(txn, err), c.pszBody != nullptr) << err.Text();
        if (c.pszBody != nullptr) {
            EXPECT_EQ(txn.m_sBody.Left(static_cast<int>(strlen(c.pszBody))), c.pszBody);
        } else {
            EXPECT_EQ(err.Code(), enNetAuth) << err.Text();
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
            COrvError err;
            ASSERT_TRUE(Fetch(conn, "/open", txn, err)) << bConnect << " " << err.Text();
            EXPECT_EQ(txn.m_sBody.Left(10), "open conn=") << bConnect;
        }
        EXPECT_EQ(conn.ProxyAuthState(), enProxyAuthNtlmAuthorised) << bConnect;

        // Basic when the schemes beyond it are not installed; a wrong password twice.
        COrvHttpConnection basic;
        ThroughProxy(basic, bConnect, "proxyuser", "proxypass", false);
        COrvHttpTxn txn;
        COrvError err;
        ASSERT_TRUE(Fetch(basic, "/open", txn, err)) << bConnect << " " << err.Text();
        COrvHttpConnection wrong;
        ThroughProxy(wrong, bConnect, "proxyuser", "wrong", false);
        COrvHttpTxn txn2;
        EXPECT_FALSE(Fetch(wrong, "/open", txn2, err = COrvError()));
        EXPECT_EQ(err.Code(), enNetProxyAuth) << bConnect;
        EXPECT_NE(err.Text().Find("Incorrect Proxy Basic Authentication Credentials"), -1)
            << bConnect << " " << err.Text();
    }
}

namespace {

// apache2 with mod_auth_digest and an htdigest file: /md5/ with algorithm MD5 and qop=auth
// (apache 2.4 refuses MD5-sess; the -sess forms are checked by the scripted peer of the Digest
// tests).
class ApacheDigestTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string apache = OrvTestFindProgram("apache2");
        ASSERT_FALSE(apache.empty()) << "install the package apache2 (scripts/setup.sh)";
        const std::string dir = m_dir.Path();
        chmod(dir.c_str(), 0755);
        for (const char* pszSub : {"/www", "/www/md5"})
            ASSERT_EQ(mkdir((dir + pszSub).c_str(), 0755), 0);
        ASSERT_TRUE(OrvWriteFileBytes(dir + "/www/md5/a.txt", "md5 body\n"));
        // The htdigest line: user:realm:MD5(user:realm:password).
        const COrvStringA sHa1 =
            OrvHexLower(OrvHash(enHashMd5, COrvStringA("digestuser:orv:s3cret")));
        ASSERT_TRUE(OrvWriteFileBytes(dir + "/digest.pw",
                                      std::string("digestuser:orv:") + sHa1.GetString() + "\n"));
        chmod((dir + "/digest.pw").c_str(), 0644);
        const std::string mods = "/usr/lib/apache2/modules/";
        for (int nTry = 0; nTry < 5; ++nTry) {
            m_nPort = OrvTestFreePort();
            std::string conf = "ServerRoot " + dir +
                               "\nListen 127.0.0.1:" + std::to_string(m_nPort) +
                               "\nServerName orv-digest\nPidFile " + dir + "/httpd.pid\nErrorLog " +
                               dir + "/error.log\nDocumentRoot " + dir + "/www\n";
            for (const char* pszMod : {"mpm_event", "authn_core", "authz_core", "authz_user",
                                       "authn_file", "auth_digest"})
                conf += std::string("LoadModule ") + pszMod + "_module " + mods + "mod_" + pszMod +
                        ".so\n";
            if (geteuid() == 0)
                conf += "User www-data\nGroup www-data\n";
            conf +=
                "<Location /md5/>\nAuthType Digest\nAuthName orv\nAuthDigestProvider file\n"
                "AuthUserFile " +
                dir +
                "/digest.pw\nAuthDigestAlgorithm MD5\nAuthDigestQop auth\n"
                "Require valid-user\n</Location>\n";
            ASSERT_TRUE(OrvWriteFileBytes(dir + "/httpd.conf", conf));
            std::string error;
            ASSERT_TRUE(
                m_apache.Start({apache, "-d", dir, "-f", dir + "/httpd.conf", "-D", "FOREGROUND"},
                               dir + "/out.log", error))
                << error;
            OrvWaitFor([&] { return !m_apache.Running() || OrvTestPortListening(m_nPort); }, 10000);
            if (OrvTestPortListening(m_nPort))
                return;
            m_apache.Stop();
        }
        FAIL() << "apache2 did not start: " << m_apache.Output()
               << OrvReadFileBytes(dir + "/error.log");
    }

    OrvTempDir m_dir;
    OrvTestProcess m_apache;
    int m_nPort = 0;
};

}  // namespace

TEST_F(ApacheDigestTest, Md5WithQopAuthAndAWrongPassword) {
    const struct {
        const char* pszPath;
        const char* pszPassword;
        bool bOk;
        const char* pszBody;
    } kCases[] = {
        {"/md5/a.txt", "s3cret", true, "md5 body\n"},
        {"/md5/a.txt", "wrong", false, nullptr},
    };
    for (const auto& c : kCases) {
        COrvHttpAuthMachine machine;
        COrvHttpConnection conn;
        conn.m_sHost = "127.0.0.1";
        conn.m_nPort = m_nPort;
        conn.m_sUserId = "digestuser";
        conn.m_sPassword = c.pszPassword;
        conn.m_pAuthSchemes = &machine;
        for (int i = 0; i < (c.bOk ? 3 : 1); ++i) {
            COrvHttpTxn txn;
            txn.m_sPath = c.pszPath;
            COrvError err;
            EXPECT_EQ(OrvHttpSendReceive(conn, txn, err), c.bOk) << c.pszPath << " " << err.Text();
            if (c.bOk) {
                EXPECT_EQ(txn.m_sBody, c.pszBody);
            } else {
                EXPECT_EQ(err.Code(), enNetAuth);
                EXPECT_EQ(err.Text().Left(42), "Incorrect Digest auth UserID or Password: ");
            }
        }
        if (c.bOk) {
            EXPECT_EQ(machine.m_digest.m_nNonceCount, 3u) << c.pszPath;
        }
    }
}
