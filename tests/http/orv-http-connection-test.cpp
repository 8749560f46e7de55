// The HTTP connection of the socket engine against real servers on loopback: nginx for what
// ordinary servers do (files, gzip, HEAD, 304, 404, keep-alive, TLS; curl fetching the same URLs
// must give the same bytes), and the scripted server of orv-http-peer.py for what they will not do
// on demand (redirect loops, bad framing, digests, mid-body closes, 426, cookies, uploads, and
// redirects to other origins).
#include "orv-http-connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "http/orv-http-test-util.h"
#include "orv-http-multipart.h"
#include "orv-http-peers.h"
#include "orv-test-net.h"
#include "orv-url.h"

namespace {

OrvHttpPeers* g_peers = nullptr;

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 4096) & 0xff);
    return s;
}

std::string Doc(const char* pszName) {
    return OrvReadFileBytes(g_peers->DocPath(pszName));
}

class OrvHttpConnectionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_peers = new OrvHttpPeers;
        std::string text;
        for (int i = 0; i < 4000; ++i)
            text += "line " + std::to_string(i) + " of a text that gzip squeezes well\n";
        bool bOk = g_peers->MakeCertificate() && g_peers->WriteDoc("small.txt", "hello nginx\n") &&
                   g_peers->WriteDoc("text.txt", text) &&
                   g_peers->WriteDoc("big.bin", Pattern(9 * 1024 * 1024 + 17)) &&
                   g_peers->WriteDoc("mid.bin", Pattern(480000)) && g_peers->StartNginx() &&
                   g_peers->StartScript(ORV_HTTP_PEER_SCRIPT);
        if (!bOk)
            s_error = g_peers->Error();
    }
    static void TearDownTestSuite() {
        delete g_peers;
        g_peers = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_error.empty()) << s_error; }

    // A connection to nginx (plain or TLS) or to the scripted server.
    void Configure(COrvHttpConnection& conn, int nPort, bool bHttps = false) {
        conn.m_sHost = "127.0.0.1";
        conn.m_nPort = nPort;
        conn.m_bHttps = bHttps;
        conn.m_net = OrvTestNet(5, 20, 20, true);
        conn.m_pObserver = &m_obs;
    }
    // The test's connection, configured as above.
    COrvHttpConnection& Connect(int nPort, bool bHttps = false) {
        Configure(m_conn, nPort, bHttps);
        return m_conn;
    }
    // A GET of pszPath; the body, and in *pbOk whether it succeeded.
    static std::string Get(COrvHttpConnection& conn, COrvHttpTxn& txn, const std::string& path,
                           COrvError& err, bool* pbOk) {
        txn.m_sMethod = "GET";
        txn.m_sPath = ToOrv(path);
        err.Clear();
        *pbOk = OrvHttpSendReceive(conn, txn, err);
        return ToStd(txn.m_sBody);
    }
    // A GET of /small.txt that must succeed on the connection.
    static void ExpectSmall(COrvHttpConnection& conn) {
        COrvHttpTxn txn;
        COrvError err;
        bool bOk = false;
        EXPECT_EQ("hello nginx\n", Get(conn, txn, "/small.txt", err, &bOk)) << err.Text();
    }
    // The whole streamed body, read in slices of nSlice bytes.
    static std::string ReadAll(COrvHttpConnection& conn, COrvHttpTxn& txn, int nSlice) {
        std::string got;
        std::vector<char> buf(nSlice);
        COrvError err;
        int n;
        while ((n = conn.ReadBody(txn, buf.data(), nSlice, err)) > 0)
            got.append(buf.data(), n);
        EXPECT_EQ(0, n) << err.Text();
        return got;
    }

    static inline std::string s_error;
    OrvTestObserver m_obs;
    COrvHttpConnection m_conn;
};

// ---- nginx ----

TEST_F(OrvHttpConnectionTest, NginxFilesMatchCurlOnOneConnection) {
    for (const bool bHttps : {false, true}) {
        const int nPort = bHttps ? g_peers->NginxTlsPort() : g_peers->NginxPort();
        COrvHttpConnection conn;
        Configure(conn, nPort, bHttps);
        m_obs.m_nProgress = 0;
        for (const char* pszName : {"/small.txt", "/text.txt", "/big.bin", "/small.txt"}) {
            COrvHttpTxn txn;
            // Over TLS gzip is asked for: the body comes back as the file.
            if (bHttps)
                txn.m_requestHeaders.SetAt("Accept-Encoding", "gzip");
            COrvError err;
            bool bOk = false;
            const std::string body = Get(conn, txn, pszName, err, &bOk);
            ASSERT_TRUE(bOk) << pszName << ": " << err.Text();
            EXPECT_TRUE(txn.m_bBodyComplete);
            EXPECT_EQ(Doc(pszName + 1), body) << pszName;
            const std::string url = std::string(bHttps ? "--compressed https" : "http") +
                                    "://127.0.0.1:" + std::to_string(nPort) + pszName;
            EXPECT_EQ(OrvRunCapture("curl -s -k " + url), body);
        }
        EXPECT_EQ(1, conn.ConnectionsOpened());
        EXPECT_EQ(bHttps, ToStd(conn.DescribeTransport()).rfind("TLS to ", 0) == 0);
        EXPECT_EQ(4, m_obs.m_nProgress);
    }
}

TEST_F(OrvHttpConnectionTest, StreamedBodyIsReadDrainedOrDropped) {
    COrvHttpConnection& conn = Connect(g_peers->NginxPort());
    COrvHttpTxn txn;
    txn.m_nRecvMode = enHttpRecvStream;
    txn.m_sPath = "/big.bin";
    COrvError err;
    ASSERT_TRUE(OrvHttpSendReceive(conn, txn, err)) << err.Text();
    EXPECT_TRUE(txn.m_sBody.IsEmpty());
    EXPECT_FALSE(txn.m_bBodyComplete);
    EXPECT_EQ(Doc("big.bin"), ReadAll(conn, txn, 100000));
    EXPECT_TRUE(txn.m_bBodyComplete);
    // A small body left unread is read away; the connection stays. A large one is not worth
    // reading: the connection is closed and made again.
    for (const char* pszPath : {"/text.txt", "/big.bin"}) {
        txn.m_sPath = pszPath;
        ASSERT_TRUE(OrvHttpSendReceive(conn, txn, err)) << err.Text();
        ExpectSmall(conn);
        EXPECT_EQ(pszPath[1] == 't' ? 1 : 2, conn.ConnectionsOpened());
    }
}

// ---- the scripted server ----

// One answer of the scripted server per row, each on a fresh connection.
TEST_F(OrvHttpConnectionTest, ScriptedAnswers) {
    std::string chunked;
    for (int i = 0; i < 3; ++i)
        chunked += "0123456789abcdefghijklmnopqrstuvwxyz";
    const struct {
        const char* pszPath;
        int nCode;            // enNetOk: succeeds
        const char* pszText;  // the failure's text (its start), or the body when it succeeds
        int nOpened;          // connections opened
        int nConnected;       // whether the connection is kept (-1: either)
    } cases[] = {
        // clang-format off
        {"/chunked?mode=upper", enNetOk, chunked.c_str(), 1, 1},
        {"/chunked?mode=ext", enNetServer, "bad chunk length: 6c;name=value", 1, 0},
        {"/digest", enNetOk, nullptr, 1, -1},
        {"/digest?md5=bad", enNetConnection, "Client Received from Server: MD5 of body", 1, -1},
        {"/digest?crc=bad", enNetConnection, "Client Received from Server: CRC-32 of", 1, -1},
        {"/redirect?to=ftp://127.0.0.1/x", enNetServer, "Cannot parse redirect URL", 1, -1},
        {"/code?c=503", enNetServer, "Server says: Service Unavailable (status code 503)", 1, 1},
        {"/code?c=507&r=Full", enNetResources, "Server says: Full (status code 507)", 1, 1},
        {"/close", enNetOk, "closing", 1, 0},
        {"/upgrade", enNetOk, "secure", 2, 1},  // 426: on to TLS on a second connection
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszPath);
        COrvHttpConnection conn;
        Configure(conn, g_peers->ScriptPort());
        COrvHttpTxn txn;
        COrvError err;
        bool bOk = false;
        const std::string body = Get(conn, txn, c.pszPath, err, &bOk);
        EXPECT_EQ(c.nCode == enNetOk, bOk) << err.Text();
        EXPECT_EQ(c.nCode, err.Code());
        if (c.pszText != nullptr) {
            EXPECT_EQ(0, (bOk ? ToOrv(body) : err.Text()).Find(c.pszText)) << err.Text();
        }
        EXPECT_EQ(c.nOpened, conn.ConnectionsOpened());
        if (c.nConnected >= 0) {
            EXPECT_EQ(c.nConnected == 1, conn.IsConnected());
        }
    }
}

TEST_F(OrvHttpConnectionTest, RedirectOnEveryRequestUsesFiveAttempts) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    COrvHttpTxn txn;
    COrvError err;
    bool bOk = true;
    Get(conn, txn, "/redirect-loop", err, &bOk);
    EXPECT_STREQ("[Redirecting]; OrvHttpSendReceive: Too many attempts", err.Text());
    EXPECT_EQ(5, m_obs.Count("4 CReq-> "));
    EXPECT_EQ(5, conn.RedirectCount());
    EXPECT_EQ(1, conn.ConnectionsOpened());
}

TEST_F(OrvHttpConnectionTest, RelativeAndSchemeRelativeRedirectsFromTls) {
    const int nPort = g_peers->ScriptPort();
    COrvHttpConnection& conn = Connect(nPort, true);
    COrvHttpTxn txn;
    COrvError err;
    bool bOk = false;
    std::string body = Get(conn, txn, "/redirect?to=/echo%3Fq%3D1", err, &bOk);
    ASSERT_TRUE(bOk) << err.Text();
    EXPECT_NE(std::string::npos, body.find("\"target\": \"/echo?q=1\""));
    EXPECT_NE(std::string::npos, body.find("\"tls\": true"));
    EXPECT_EQ("2", ToStd(txn.GetResponseHeader("x-conn-requests")));  // no reconnect

    // "//localhost:port/..." keeps https and goes to the other host.
    const std::string to = "//localhost:" + std::to_string(nPort) + "/echo";
    body = Get(conn, txn, "/redirect?code=308&to=" + to, err, &bOk);
    ASSERT_TRUE(bOk) << err.Text();
    EXPECT_NE(std::string::npos, body.find("\"tls\": true"));
    EXPECT_EQ("localhost:" + std::to_string(nPort), EchoHeader(body, "host"));
    EXPECT_EQ("localhost", ToStd(conn.CurrentHost()));
    EXPECT_EQ(2, conn.ConnectionsOpened());

    // The next exchange starts at the configured endpoint again.
    body = Get(conn, txn, "/echo", err, &bOk);
    EXPECT_EQ("127.0.0.1:" + std::to_string(nPort), EchoHeader(body, "host"));
    EXPECT_EQ(3, conn.ConnectionsOpened());

    // Without following, the 3xx is the answer.
    txn.m_bFollowRedirects = false;
    EXPECT_EQ("moved", Get(conn, txn, "/redirect?to=/echo", err, &bOk));
    EXPECT_TRUE(bOk);
    EXPECT_EQ(302, txn.m_nStatus);
}

TEST_F(OrvHttpConnectionTest, ReconnectsAndRetries) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    COrvHttpTxn txn;
    COrvError err;
    bool bOk = false;
    // A failed body closes; the next exchange reconnects.
    Get(conn, txn, "/chunked?mode=ext", err, &bOk);
    Get(conn, txn, "/chunked", err, &bOk);
    EXPECT_TRUE(bOk) << err.Text();
    EXPECT_EQ(kOrvHttpLenChunked, txn.m_n64RecvBodyLen);
    EXPECT_EQ(2, conn.ConnectionsOpened());
    // The endpoint keeps TLS after an upgrade.
    EXPECT_EQ("secure", Get(conn, txn, "/upgrade", err, &bOk));
    EXPECT_EQ(0u, ToStd(conn.DescribeTransport()).rfind("TLS to ", 0)) << conn.DescribeTransport();
    EXPECT_EQ("secure", Get(conn, txn, "/upgrade", err, &bOk));
    EXPECT_TRUE(conn.IsHttps());
    EXPECT_EQ(3, conn.ConnectionsOpened());

    // Closed mid-body: retried once when allowed, not more.
    COrvHttpConnection mid;
    Configure(mid, g_peers->ScriptPort());
    m_obs.lines.clear();
    for (const bool bRetry : {false, true}) {
        txn.m_bRetryAfterReconnect = bRetry;
        Get(mid, txn, "/midbody", err, &bOk);
        EXPECT_EQ(enNetConnection, err.Code());
        EXPECT_EQ(0, err.Text().Find("socket closed while receiving body at 10 of 1000"));
        EXPECT_EQ(bRetry ? 3 : 1, m_obs.Count("4 CReq-> "));
        EXPECT_EQ(bRetry ? 3 : 1, mid.ConnectionsOpened());
    }

    // A kept-alive connection the server closed while idle: the close is seen before sending
    // when it has arrived by then, else the request that met it is sent once more.
    COrvHttpConnection idle;
    Configure(idle, g_peers->ScriptPort());
    m_obs.lines.clear();
    EXPECT_EQ("bye", Get(idle, txn, "/then-close", err, &bOk));
    EXPECT_TRUE(idle.IsConnected());  // the server said nothing about closing
    Get(idle, txn, "/echo", err, &bOk);
    ASSERT_TRUE(bOk) << err.Text();
    EXPECT_EQ("1", ToStd(txn.GetResponseHeader("x-conn-requests")));
    EXPECT_EQ(2, idle.ConnectionsOpened());
    EXPECT_GE(m_obs.Count("4 CReq-> "), 2);
    EXPECT_LE(m_obs.Count("4 CReq-> "), 3);
    // A body without a length on a kept-alive connection, read until the server closes.
    txn.m_bReadUntilClose = true;
    EXPECT_EQ("body until the end", Get(idle, txn, "/until-close", err, &bOk));
    EXPECT_FALSE(idle.IsConnected());
}

TEST_F(OrvHttpConnectionTest, MultipartUploadParsedBackByPython) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    const std::string file = Pattern(200000);
    const std::string path = g_peers->Dir().File("upload.bin");
    ASSERT_TRUE(OrvWriteFileBytes(path, file));
    COrvStringA sBoundary;
    COrvError err;
    ASSERT_TRUE(OrvHttpNewBoundary(sBoundary, err));
    const char* pszFileDisp = "form-data; name=\"file\"; filename=\"crash.zip\"";
    const char* pszTextDisp = "form-data; name=\"destname\"";
    const char* pszOctets = "application/octet-stream";
    for (int64_t nLen : {int64_t(0), int64_t(-1)}) {  // Content-Length, then chunked
        COrvHttpTxn txn;
        txn.m_sMethod = "POST";
        txn.m_sPath = "/upload";
        txn.m_nBodyMode = enHttpBodyStream;
        txn.m_requestHeaders.SetAt("Content-Type", "multipart/form-data; boundary=" + sBoundary);
        // Null sinks measure the parts; the connection's stream writes them.
        for (IOrvByteSink* pSink : {static_cast<IOrvByteSink*>(nullptr), &conn.Stream()}) {
            int64_t nParts =
                OrvHttpMultipartTextPart(pSink, &txn, sBoundary, pszTextDisp, "text/plain",
                                         "dest.zip", err) +
                OrvHttpMultipartFileHeader(pSink, &txn, sBoundary, pszFileDisp, pszOctets, err);
            if (pSink == nullptr) {
                nParts += static_cast<int64_t>(file.size()) +
                          OrvHttpMultipartFileEnd(nullptr, &txn, err) +
                          OrvHttpMultipartClose(nullptr, &txn, sBoundary, err);
                txn.m_n64BodyLen = nLen == 0 ? nParts : nLen;
                ASSERT_TRUE(OrvHttpSendReceive(conn, txn, err)) << err.Text();
                continue;
            }
            ASSERT_GT(nParts, 0);
            ASSERT_TRUE(conn.WriteFile(txn, path.c_str(), err));
            ASSERT_GT(OrvHttpMultipartFileEnd(pSink, &txn, err), 0);
            ASSERT_GT(OrvHttpMultipartClose(pSink, &txn, sBoundary, err), 0);
        }
        ASSERT_TRUE(conn.FinishBody(txn, err)) << err.Text();
        ASSERT_TRUE(conn.ReceiveResponse(txn, err)) << err.Text();
        const std::string body = ToStd(txn.m_sBody);
        EXPECT_NE(std::string::npos, body.find("\"multipart\": true, \"defects\": 0")) << body;
        EXPECT_NE(std::string::npos,
                  body.find("{\"name\": \"file\", \"filename\": \"crash.zip\", \"type\": "
                            "\"application/octet-stream\", \"len\": 200000, \"md5\": \"" +
                            ToStd(OrvMd5Hex(file.data(), file.size())) + "\"}"))
            << body;
    }
    EXPECT_EQ(1, conn.ConnectionsOpened());
}

// Credentials and cookies stay with their origin: /auth-redirect asks for Basic "user:pass",
// sets a cookie with its redirect, and redirects to the place given.
TEST_F(OrvHttpConnectionTest, CredentialsAndCookiesStayWithTheirOrigin) {
    const std::string port = std::to_string(g_peers->ScriptPort());
    const struct {
        bool bHttps;
        std::string to;
        bool bSent;            // the redirected request carries credentials and cookie
        const char* pszError;  // the start of the failure, or null
    } cases[] = {
        {false, "/echo", true, nullptr},
        {false, "http://localhost:" + port + "/echo", false, nullptr},
        {false, "http://localhost:" + port + "/auth", false,
         "Credentials are not offered to a redirected origin"},
        // Same host and port, plain scheme: the host-only cookie set over TLS would match.
        {true, "http://127.0.0.1:" + port + "/echo", false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        COrvHttpConnection conn;
        Configure(conn, g_peers->ScriptPort(), c.bHttps);
        conn.m_sUserId = "user";
        conn.m_sPassword = "pass";
        conn.m_bCookies = true;
        COrvHttpTxn txn;
        COrvError err;
        bool bOk = false;
        const std::string body =
            Get(conn, txn, "/auth-redirect?to=" + ToStd(OrvUrlEscapeA(c.to.c_str())), err, &bOk);
        if (c.pszError != nullptr) {
            EXPECT_EQ(enNetAuth, err.Code());
            EXPECT_EQ(0, err.Text().Find(c.pszError)) << err.Text();
        } else {
            ASSERT_TRUE(bOk) << err.Text();
            EXPECT_NE(std::string::npos, body.find(c.bHttps ? "\"tls\": false" : "\"method\""));
            EXPECT_EQ(c.bSent ? "Basic dXNlcjpwYXNz" : "", EchoHeader(body, "authorization"));
            EXPECT_EQ(c.bSent ? "origin=first" : "", EchoHeader(body, "cookie"));
        }
        // The first origin keeps its state, and gets the credentials again.
        EXPECT_EQ(1, conn.ServerAuthState());
        if (!c.bHttps) {
            EXPECT_EQ("Basic dXNlcjpwYXNz",
                      EchoHeader(Get(conn, txn, "/echo", err, &bOk), "authorization"));
        }
    }
}

}  // namespace
