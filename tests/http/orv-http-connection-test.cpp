// The HTTP connection of the socket engine against real servers on loopback: nginx for what
// ordinary servers do (files, gzip, HEAD, 304, 404, keep-alive, TLS; curl fetching the same URLs
// must give the same bytes), and the scripted server of orv-http-peer.py for what they will not do
// on demand (redirect loops, bad framing, digests, mid-body closes, 426, cookies, uploads, and
// redirects to other origins).
#include "orv-http-connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "http/orv-http-test-util.h"
#include "orv-http-multipart.h"
#include "orv-http-peers.h"
#include "orv-sys.h"
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

class OrvHttpConnectionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_peers = new OrvHttpPeers;
        const std::string text = [] {
            std::string s;
            for (int i = 0; i < 4000; ++i)
                s += "line " + std::to_string(i) + " of a text that gzip squeezes well\n";
            return s;
        }();
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
        conn.m_net.m_tls.m_bTrustAny = true;
        conn.m_net.m_nConnectTimeout = 5;
        conn.m_net.m_nSendTimeout = 20;
        conn.m_net.m_nRecvTimeout = 20;
        conn.m_pObserver = &m_obs;
    }
    // The test's connection, configured as above.
    COrvHttpConnection& Connect(int nPort, bool bHttps = false) {
        Configure(m_conn, nPort, bHttps);
        return m_conn;
    }
    static std::string Get(COrvHttpConnection& conn, COrvHttpTxn& txn, const char* pszPath,
                           COrvError& err, bool* pbOk) {
        txn.m_sMethod = "GET";
        txn.m_sPath = pszPath;
        *pbOk = OrvHttpSendReceive(conn, txn, err);
        return ToStd(txn.m_sBody);
    }
    std::string Curl(const std::string& args) {
        int nStatus = 0;
        std::string out = OrvRunCapture("curl -s -k " + args, &nStatus);
        EXPECT_EQ(0, nStatus) << "curl " << args;
        return out;
    }
    std::string Url(int nPort, const std::string& path, bool bHttps = false) {
        return std::string(bHttps ? "https" : "http") + "://127.0.0.1:" + std::to_string(nPort) +
               path;
    }

    static inline std::string s_error;
    OrvTestObserver m_obs;
    COrvHttpConnection m_conn;
};

// ---- nginx ----

TEST_F(OrvHttpConnectionTest, NginxFilesMatchCurlOnOneConnection) {
    COrvHttpConnection& conn = Connect(g_peers->NginxPort());
    for (const char* pszName : {"/small.txt", "/text.txt", "/big.bin", "/small.txt"}) {
        COrvHttpTxn txn;
        COrvError err;
        bool bOk = false;
        const std::string body = Get(conn, txn, pszName, err, &bOk);
        ASSERT_TRUE(bOk) << pszName << ": " << err.Text().GetString();
        EXPECT_EQ(200, txn.m_nStatus);
        EXPECT_TRUE(txn.m_bBodyComplete);
        EXPECT_EQ(OrvReadFileBytes(g_peers->DocPath(pszName + 1)), body) << pszName;
        EXPECT_EQ(Curl(Url(g_peers->NginxPort(), pszName)), body) << pszName;
        EXPECT_NE(std::string::npos, std::string(txn.m_sServer).find("nginx"));
    }
    EXPECT_EQ(1, conn.ConnectionsOpened());
    // One request line and one response line per exchange, with the configured endpoint.
    const std::string sReq = "4 CReq-> 127.0.0.1:" + std::to_string(g_peers->NginxPort()) +
                             "[0] GET /small.txt h=[] b=0";
    EXPECT_EQ(2, m_obs.Count(sReq));
    EXPECT_EQ(4, m_obs.Count("4 CRsp<- 127.0.0.1:" + std::to_string(g_peers->NginxPort()) +
                             "[0] 200 'OK'"));
    EXPECT_EQ(4, m_obs.m_nProgress);
}

TEST_F(OrvHttpConnectionTest, NginxTlsAndGzip) {
    COrvHttpConnection& conn = Connect(g_peers->NginxTlsPort(), true);
    const std::string text = OrvReadFileBytes(g_peers->DocPath("text.txt"));
    COrvHttpTxn txn;
    txn.m_requestHeaders.SetAt("Accept-Encoding", "gzip");
    COrvError err;
    bool bOk = false;
    EXPECT_EQ(text, Get(conn, txn, "/text.txt", err, &bOk));
    ASSERT_TRUE(bOk) << err.Text().GetString();
    EXPECT_EQ("gzip", ToStd(txn.GetResponseHeader("content-encoding")));
    EXPECT_EQ(text, Curl("--compressed " + Url(g_peers->NginxTlsPort(), "/text.txt", true)));

    COrvHttpTxn big;
    EXPECT_EQ(OrvReadFileBytes(g_peers->DocPath("big.bin")), Get(conn, big, "/big.bin", err, &bOk));
    EXPECT_TRUE(bOk) << err.Text().GetString();
    EXPECT_EQ(0u, ToStd(conn.DescribeTransport()).rfind("TLS to ", 0)) << conn.DescribeTransport();
    EXPECT_EQ(1, conn.ConnectionsOpened());
}

TEST_F(OrvHttpConnectionTest, NginxHeadNotModifiedAndNotFoundKeepTheConnection) {
    COrvHttpConnection& conn = Connect(g_peers->NginxPort());
    COrvHttpTxn head;
    head.m_sMethod = "HEAD";
    head.m_sPath = "/big.bin";
    COrvError err;
    ASSERT_TRUE(OrvHttpSendReceive(conn, head, err)) << err.Text().GetString();
    EXPECT_EQ(9 * 1024 * 1024 + 17, head.m_n64RecvBodyLen);
    EXPECT_TRUE(head.m_sBody.IsEmpty());
    const COrvStringA sModified = head.GetResponseHeader("last-modified");
    ASSERT_FALSE(sModified.IsEmpty());

    COrvHttpTxn cond;
    cond.m_sPath = "/big.bin";
    cond.m_requestHeaders.SetAt("If-Modified-Since", sModified);
    ASSERT_TRUE(OrvHttpSendReceive(conn, cond, err)) << err.Text().GetString();
    EXPECT_EQ(304, cond.m_nStatus);
    EXPECT_EQ(kOrvHttpLenUnknown, cond.m_n64RecvBodyLen);
    EXPECT_TRUE(cond.m_bBodyComplete);
    EXPECT_TRUE(cond.m_sBody.IsEmpty());

    COrvHttpTxn missing;
    bool bOk = true;
    const std::string body = Get(conn, missing, "/no-such-file", err, &bOk);
    EXPECT_FALSE(bOk);
    EXPECT_EQ(enNetNotFound, err.Code());
    EXPECT_STREQ("Not Found by server", err.Text());
    EXPECT_EQ(404, missing.m_nStatus);
    EXPECT_NE(std::string::npos, body.find("404 Not Found"));

    COrvHttpTxn after;
    err.Clear();
    EXPECT_EQ("hello nginx\n", Get(conn, after, "/small.txt", err, &bOk));
    EXPECT_TRUE(bOk) << err.Text().GetString();
    EXPECT_EQ(1, conn.ConnectionsOpened());
}

TEST_F(OrvHttpConnectionTest, StreamedBodyIsReadDrainedOrDropped) {
    COrvHttpConnection& conn = Connect(g_peers->NginxPort());
    COrvHttpTxn txn;
    txn.m_nRecvMode = enHttpRecvStream;
    txn.m_sPath = "/big.bin";
    COrvError err;
    ASSERT_TRUE(OrvHttpSendReceive(conn, txn, err)) << err.Text().GetString();
    EXPECT_TRUE(txn.m_sBody.IsEmpty());
    EXPECT_FALSE(txn.m_bBodyComplete);
    std::string got;
    std::vector<char> buf(100000);
    int n;
    while ((n = conn.ReadBody(txn, buf.data(), static_cast<int>(buf.size()), err)) > 0)
        got.append(buf.data(), n);
    ASSERT_EQ(0, n) << err.Text().GetString();
    EXPECT_TRUE(txn.m_bBodyComplete);
    EXPECT_EQ(OrvReadFileBytes(g_peers->DocPath("big.bin")), got);

    // A small body left unread is read away; the connection stays.
    COrvHttpTxn small;
    small.m_nRecvMode = enHttpRecvStream;
    small.m_sPath = "/text.txt";
    ASSERT_TRUE(OrvHttpSendReceive(conn, small, err)) << err.Text().GetString();
    COrvHttpTxn next;
    bool bOk = false;
    EXPECT_EQ("hello nginx\n", Get(conn, next, "/small.txt", err, &bOk));
    EXPECT_TRUE(bOk);
    EXPECT_EQ(1, conn.ConnectionsOpened());

    // A large one is not worth reading: the connection is closed and made again.
    txn.m_sPath = "/big.bin";
    ASSERT_TRUE(OrvHttpSendReceive(conn, txn, err)) << err.Text().GetString();
    EXPECT_EQ("hello nginx\n", Get(conn, next, "/small.txt", err, &bOk));
    EXPECT_TRUE(bOk);
    EXPECT_EQ(2, conn.ConnectionsOpened());
}

TEST_F(OrvHttpConnectionTest, BodyLeftPartlyReadIsDrainedWithoutWaitingForMore) {
    // Reading the start of a long body that arrives fast makes receives wait for large pieces;
    // reading the rest away before the next request must not wait for bytes beyond the body's
    // end (only the receive time-out would end that wait).
    const std::string mid = OrvReadFileBytes(g_peers->DocPath("mid.bin"));
    const std::string text = OrvReadFileBytes(g_peers->DocPath("text.txt"));
    ASSERT_GT(text.size(), 150000u);
    ASSERT_LT(mid.size(), 500000u);
    // Counts receives that came back with fewer bytes than the low-water mark they waited for:
    // on a connection the server keeps open only the receive time-out ends such a wait.
    OrvSysScope scope;
    static int s_nShortWakes;
    s_nShortWakes = 0;
    g_orv_sys.recv = [](int fd, void* p, size_t n, int f) -> long {
        int nLow = 1;
        socklen_t nLowLen = sizeof nLow;
        if (g_orv_sys_real.getsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &nLow, &nLowLen) != 0)
            nLow = 1;
        const long r = g_orv_sys_real.recv(fd, p, n, f);
        if (r > 0 && static_cast<size_t>(r) < std::min(static_cast<size_t>(nLow), n))
            ++s_nShortWakes;
        return r;
    };
    COrvHttpConnection& conn = Connect(g_peers->NginxPort());
    conn.m_net.m_nRecvTimeout = 1;
    for (const int nFirst : {1000, 300000, 400000}) {
        COrvHttpTxn txn;
        txn.m_nRecvMode = enHttpRecvStream;
        txn.m_sPath = "/mid.bin";
        COrvError err;
        ASSERT_TRUE(OrvHttpSendReceive(conn, txn, err)) << err.Text().GetString();
        std::vector<char> buf(nFirst);
        std::string got;
        while (static_cast<int>(got.size()) < nFirst) {
            const int n =
                conn.ReadBody(txn, buf.data(), nFirst - static_cast<int>(got.size()), err);
            ASSERT_GT(n, 0) << err.Text().GetString();
            got.append(buf.data(), n);
        }
        EXPECT_EQ(mid.substr(0, got.size()), got);
        COrvHttpTxn next;
        bool bOk = false;
        EXPECT_EQ("hello nginx\n", Get(conn, next, "/small.txt", err, &bOk));
        EXPECT_TRUE(bOk) << err.Text().GetString();
    }
    // Read to its end in small slices, then the next response on the same connection.
    COrvHttpTxn txn;
    txn.m_nRecvMode = enHttpRecvStream;
    txn.m_sPath = "/text.txt";
    COrvError err;
    ASSERT_TRUE(OrvHttpSendReceive(conn, txn, err)) << err.Text().GetString();
    std::string got;
    std::vector<char> buf(1000);
    int n;
    while ((n = conn.ReadBody(txn, buf.data(), static_cast<int>(buf.size()), err)) > 0)
        got.append(buf.data(), n);
    ASSERT_EQ(0, n) << err.Text().GetString();
    EXPECT_EQ(text, got);
    COrvHttpTxn next;
    bool bOk = false;
    EXPECT_EQ("hello nginx\n", Get(conn, next, "/small.txt", err, &bOk));
    EXPECT_TRUE(bOk) << err.Text().GetString();
    EXPECT_EQ(1, conn.ConnectionsOpened());
    EXPECT_EQ(0, s_nShortWakes);
}

// ---- the scripted server ----

TEST_F(OrvHttpConnectionTest, RedirectOnEveryRequestUsesFiveAttempts) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    COrvHttpTxn txn;
    COrvError err;
    bool bOk = true;
    Get(conn, txn, "/redirect-loop", err, &bOk);
    EXPECT_FALSE(bOk);
    EXPECT_EQ(enNetRetry, err.Code());
    EXPECT_STREQ("[Redirecting]; OrvHttpSendReceive: Too many attempts", err.Text());
    EXPECT_EQ(5, m_obs.Count("4 CReq-> "));
    // Only the first three redirects of a connection are logged.
    EXPECT_EQ(3, m_obs.Count("3 Redirecting to http://127.0.0.1:"));
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
    ASSERT_TRUE(bOk) << err.Text().GetString();
    EXPECT_NE(std::string::npos, body.find("\"target\": \"/echo?q=1\""));
    EXPECT_NE(std::string::npos, body.find("\"tls\": true"));
    EXPECT_EQ("2", ToStd(txn.GetResponseHeader("x-conn-requests")));  // no reconnect
    EXPECT_EQ(1, conn.ConnectionsOpened());

    // "//localhost:port/..." keeps https and goes to the other host.
    const std::string to = "//localhost:" + std::to_string(nPort) + "/echo";
    body = Get(conn, txn, ("/redirect?code=308&to=" + to).c_str(), err, &bOk);
    ASSERT_TRUE(bOk) << err.Text().GetString();
    EXPECT_NE(std::string::npos, body.find("\"tls\": true"));
    EXPECT_EQ("localhost:" + std::to_string(nPort), EchoHeader(body, "host"));
    EXPECT_EQ("localhost", ToStd(conn.CurrentHost()));
    EXPECT_EQ(2, conn.ConnectionsOpened());

    // The next exchange starts at the configured endpoint again.
    body = Get(conn, txn, "/echo", err, &bOk);
    ASSERT_TRUE(bOk) << err.Text().GetString();
    EXPECT_EQ("127.0.0.1:" + std::to_string(nPort), EchoHeader(body, "host"));
    EXPECT_EQ(3, conn.ConnectionsOpened());

    // Without following, the 3xx is the answer.
    txn.m_bFollowRedirects = false;
    Get(conn, txn, "/redirect?to=/echo", err, &bOk);
    EXPECT_TRUE(bOk);
    EXPECT_EQ(302, txn.m_nStatus);
    EXPECT_EQ("moved", ToStd(txn.m_sBody));
}

TEST_F(OrvHttpConnectionTest, RedirectsThatCannotBeFollowed) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    for (const char* pszPath : {"/redirect?to=ftp://127.0.0.1/x", "/redirect?to=http://"}) {
        COrvHttpTxn txn;
        COrvError err;
        bool bOk = true;
        Get(conn, txn, pszPath, err, &bOk);
        EXPECT_FALSE(bOk);
        EXPECT_EQ(enNetServer, err.Code());
        EXPECT_STREQ("Cannot parse redirect URL", err.Text());
    }
}

TEST_F(OrvHttpConnectionTest, ChunkSizes) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    COrvHttpTxn txn;
    COrvError err;
    bool bOk = false;
    std::string data;
    for (int i = 0; i < 3; ++i)
        data += "0123456789abcdefghijklmnopqrstuvwxyz";
    EXPECT_EQ(data, Get(conn, txn, "/chunked?mode=upper", err, &bOk));
    EXPECT_TRUE(bOk) << err.Text().GetString();
    EXPECT_EQ(kOrvHttpLenChunked, txn.m_n64RecvBodyLen);
    EXPECT_EQ(data, Get(conn, txn, "/chunked", err, &bOk));
    EXPECT_TRUE(bOk) << err.Text().GetString();
    const int64_t nBefore = conn.ConnectionsOpened();
    Get(conn, txn, "/chunked?mode=ext", err, &bOk);
    EXPECT_FALSE(bOk);
    EXPECT_EQ(enNetServer, err.Code());
    EXPECT_STREQ("bad chunk length: 6c;name=value", err.Text());
    EXPECT_FALSE(conn.IsConnected());  // a body failure closes
    err.Clear();
    EXPECT_EQ(data, Get(conn, txn, "/chunked", err, &bOk));
    EXPECT_EQ(nBefore + 1, conn.ConnectionsOpened());
}

TEST_F(OrvHttpConnectionTest, BodyDigests) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    COrvHttpTxn txn;
    COrvError err;
    bool bOk = false;
    Get(conn, txn, "/digest", err, &bOk);
    EXPECT_TRUE(bOk) << err.Text().GetString();
    Get(conn, txn, "/digest?md5=bad", err, &bOk);
    EXPECT_FALSE(bOk);
    EXPECT_EQ(enNetConnection, err.Code());
    EXPECT_STREQ("Client Received from Server: MD5 of body does not match x-orv-content-md5 header",
                 err.Text());
    err.Clear();
    Get(conn, txn, "/digest?crc=bad", err, &bOk);
    EXPECT_FALSE(bOk);
    EXPECT_STREQ(
        "Client Received from Server: CRC-32 of body does not match x-orv-content-crc32 header",
        err.Text());
}

TEST_F(OrvHttpConnectionTest, ClosedMidBodyIsRetriedOnlyWhenAllowed) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    COrvHttpTxn txn;
    COrvError err;
    bool bOk = true;
    Get(conn, txn, "/midbody", err, &bOk);
    EXPECT_FALSE(bOk);
    EXPECT_EQ(enNetConnection, err.Code());
    EXPECT_EQ(0u, std::string(err.Text()).find("socket closed while receiving body at 10 of 1000"))
        << err.Text().GetString();
    EXPECT_EQ(1, m_obs.Count("4 CReq-> "));
    EXPECT_EQ(1, m_obs.Count("4 CRsp<- 127.0.0.1:" + std::to_string(g_peers->ScriptPort()) +
                             " ERR='socket closed while receiving body"));

    txn.m_bRetryAfterReconnect = true;
    err.Clear();
    Get(conn, txn, "/midbody", err, &bOk);
    EXPECT_FALSE(bOk);
    EXPECT_EQ(enNetConnection, err.Code());
    EXPECT_EQ(3, m_obs.Count("4 CReq-> "));  // one retry, not more
    EXPECT_EQ(3, conn.ConnectionsOpened());
}

TEST_F(OrvHttpConnectionTest, UpgradeRequiredSwitchesToTls) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    COrvHttpTxn txn;
    COrvError err;
    bool bOk = false;
    EXPECT_EQ("secure", Get(conn, txn, "/upgrade", err, &bOk));
    EXPECT_TRUE(bOk) << err.Text().GetString();
    EXPECT_TRUE(conn.IsHttps());
    EXPECT_EQ(0u, ToStd(conn.DescribeTransport()).rfind("TLS to ", 0)) << conn.DescribeTransport();
    EXPECT_EQ(2, conn.ConnectionsOpened());
    // The endpoint keeps TLS for the next exchange.
    EXPECT_EQ("secure", Get(conn, txn, "/upgrade", err, &bOk));
    EXPECT_EQ(2, conn.ConnectionsOpened());
}

TEST_F(OrvHttpConnectionTest, StatusCodesWithoutProxy) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    struct Case {
        const char* pszPath;
        int nCode;
        const char* pszText;
    } cases[] = {
        {"/code?c=503", enNetServer, "Server says: Service Unavailable (status code 503)"},
        {"/code?c=507&r=Full", enNetResources, "Server says: Full (status code 507)"},
    };
    for (const Case& c : cases) {
        COrvHttpTxn txn;
        COrvError err;
        bool bOk = true;
        EXPECT_EQ("status body", Get(conn, txn, c.pszPath, err, &bOk));
        EXPECT_FALSE(bOk);
        EXPECT_EQ(c.nCode, err.Code()) << c.pszPath;
        EXPECT_STREQ(c.pszText, err.Text());
    }
    EXPECT_EQ(1, conn.ConnectionsOpened());
}

TEST_F(OrvHttpConnectionTest, CookiesIntoTheJarAndBack) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    conn.m_bCookies = true;
    COrvHttpTxn txn;
    COrvError err;
    bool bOk = false;
    Get(conn, txn, "/cookies", err, &bOk);
    ASSERT_TRUE(bOk) << err.Text().GetString();
    EXPECT_EQ(7u, txn.m_setCookieLines.GetCount());
    ASSERT_NE(nullptr, conn.CookieJar().Find("c"));
    EXPECT_STREQ("3", conn.CookieJar().Find("c")->m_sValue);
    EXPECT_STREQ("127.0.0.1", conn.CookieJar().Find("c")->m_sDomain);
    EXPECT_EQ(nullptr, conn.CookieJar().Find("f"));  // another domain
    EXPECT_EQ(5u, conn.CookieJar().GetCount());      // a b c d e

    const std::string body = Get(conn, txn, "/echo", err, &bOk);
    ASSERT_TRUE(bOk) << err.Text().GetString();
    EXPECT_EQ("a=1; b=2; c=3", EchoHeader(body, "cookie"));  // d is secure, e is for /x

    COrvHttpConnection off;
    Configure(off, g_peers->ScriptPort());
    Get(off, txn, "/cookies", err, &bOk);
    EXPECT_EQ(0u, off.CookieJar().GetCount());
}

TEST_F(OrvHttpConnectionTest, MultipartUploadParsedBackByPython) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    const std::string file = Pattern(200000);
    ASSERT_TRUE(OrvWriteFileBytes(g_peers->Dir().File("upload.bin"), file));
    COrvStringA sBoundary;
    COrvError err;
    ASSERT_TRUE(OrvHttpNewBoundary(sBoundary, err));
    const char* pszFileDisp = "form-data; name=\"file\"; filename=\"crash.zip\"";
    const char* pszTextDisp = "form-data; name=\"destname\"";
    for (int64_t nLen : {int64_t(0), int64_t(-1)}) {  // Content-Length, then chunked
        COrvHttpTxn txn;
        txn.m_sMethod = "POST";
        txn.m_sPath = "/upload";
        txn.m_nBodyMode = enHttpBodyStream;
        txn.m_requestHeaders.SetAt("Content-Type", "multipart/form-data; boundary=" + sBoundary);
        if (nLen == 0) {
            nLen = OrvHttpMultipartTextPart(nullptr, &txn, sBoundary, pszTextDisp, "text/plain",
                                            "dest.zip", err) +
                   OrvHttpMultipartFileHeader(nullptr, &txn, sBoundary, pszFileDisp,
                                              "application/octet-stream", err) +
                   static_cast<int64_t>(file.size()) + OrvHttpMultipartFileEnd(nullptr, &txn, err) +
                   OrvHttpMultipartClose(nullptr, &txn, sBoundary, err);
        }
        txn.m_n64BodyLen = nLen;
        ASSERT_TRUE(OrvHttpSendReceive(conn, txn, err)) << err.Text().GetString();
        IOrvByteSink* pSink = &conn.Stream();
        ASSERT_GT(OrvHttpMultipartTextPart(pSink, &txn, sBoundary, pszTextDisp, "text/plain",
                                           "dest.zip", err),
                  0);
        ASSERT_GT(OrvHttpMultipartFileHeader(pSink, &txn, sBoundary, pszFileDisp,
                                             "application/octet-stream", err),
                  0);
        ASSERT_TRUE(conn.WriteFile(txn, g_peers->Dir().File("upload.bin").c_str(), err));
        ASSERT_GT(OrvHttpMultipartFileEnd(pSink, &txn, err), 0);
        ASSERT_GT(OrvHttpMultipartClose(pSink, &txn, sBoundary, err), 0);
        ASSERT_TRUE(conn.FinishBody(txn, err)) << err.Text().GetString();
        ASSERT_TRUE(conn.ReceiveResponse(txn, err)) << err.Text().GetString();
        const std::string body = ToStd(txn.m_sBody);
        EXPECT_NE(std::string::npos, body.find("\"multipart\": true, \"defects\": 0")) << body;
        EXPECT_NE(
            std::string::npos,
            body.find("{\"name\": \"destname\", \"filename\": null, \"type\": \"text/plain\", "
                      "\"len\": 8"))
            << body;
        EXPECT_NE(std::string::npos,
                  body.find("{\"name\": \"file\", \"filename\": \"crash.zip\", \"type\": "
                            "\"application/octet-stream\", \"len\": 200000, \"md5\": \"" +
                            ToStd(OrvMd5Hex(file.data(), file.size())) + "\"}"))
            << body;
    }
    EXPECT_EQ(1, conn.ConnectionsOpened());
}

TEST_F(OrvHttpConnectionTest, ProgressRefusalStopsBeforeConnecting) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    m_obs.m_bRefuse = true;
    COrvHttpTxn txn;
    COrvError err;
    bool bOk = true;
    Get(conn, txn, "/echo", err, &bOk);
    EXPECT_FALSE(bOk);
    EXPECT_EQ(enNetCancelled, err.Code());
    EXPECT_STREQ("stopped by the user", err.Text());
    EXPECT_EQ(0, conn.ConnectionsOpened());
}

TEST_F(OrvHttpConnectionTest, BodiesUntilCloseAndChunkedUploads) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    COrvHttpTxn txn;
    txn.m_bReadUntilClose = true;
    COrvError err;
    bool bOk = false;
    EXPECT_EQ("body until the end", Get(conn, txn, "/until-close", err, &bOk));
    EXPECT_TRUE(bOk) << err.Text().GetString();
    EXPECT_FALSE(conn.IsConnected());

    COrvHttpTxn post;
    post.m_sMethod = "POST";
    post.m_sPath = "/echo";
    post.m_sRequestBody = ToOrv(Pattern(70000));
    post.m_n64BodyLen = -1;
    ASSERT_TRUE(OrvHttpSendReceive(conn, post, err)) << err.Text().GetString();
    const std::string body = ToStd(post.m_sBody);
    EXPECT_EQ("chunked", EchoHeader(body, "transfer-encoding"));
    EXPECT_NE(std::string::npos,
              body.find("\"body_len\": 70000, \"body_md5\": \"" +
                        ToStd(OrvMd5Hex(post.m_sRequestBody.GetString(), 70000)) + "\""));
}

TEST_F(OrvHttpConnectionTest, ServerCloseIsHonoured) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    COrvHttpTxn txn;
    COrvError err;
    bool bOk = false;
    EXPECT_EQ("closing", Get(conn, txn, "/close", err, &bOk));
    EXPECT_TRUE(bOk);
    EXPECT_FALSE(conn.IsConnected());
    Get(conn, txn, "/echo", err, &bOk);
    EXPECT_TRUE(bOk) << err.Text().GetString();
    EXPECT_EQ(2, conn.ConnectionsOpened());
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
            Get(conn, txn, ("/auth-redirect?to=" + ToStd(OrvUrlEscapeA(c.to.c_str()))).c_str(), err,
                &bOk);
        if (c.pszError != nullptr) {
            EXPECT_FALSE(bOk);
            EXPECT_EQ(enNetAuth, err.Code());
            EXPECT_EQ(0, err.Text().Find(c.pszError)) << err.Text().GetString();
        } else {
            ASSERT_TRUE(bOk) << err.Text().GetString();
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

TEST_F(OrvHttpConnectionTest, KeptAliveConnectionClosedWhileIdleIsSentAgain) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    COrvHttpTxn txn;
    COrvError err;
    bool bOk = false;
    EXPECT_EQ("bye", Get(conn, txn, "/then-close", err, &bOk));
    ASSERT_TRUE(bOk);
    EXPECT_TRUE(conn.IsConnected());  // the server said nothing about closing
    const std::string body = Get(conn, txn, "/echo", err, &bOk);
    ASSERT_TRUE(bOk) << err.Text().GetString();
    EXPECT_EQ("1", ToStd(txn.GetResponseHeader("x-conn-requests")));
    EXPECT_EQ(2, conn.ConnectionsOpened());
    // The close is seen before sending when it has arrived by then, else the request that met
    // it is sent once more.
    EXPECT_GE(m_obs.Count("4 CReq-> "), 2);
    EXPECT_LE(m_obs.Count("4 CReq-> "), 3);
}

// A plain target behind an HTTP proxy: the transport is TCP to the proxy (here the scripted
// server, which reads the absolute request target as a proxy would).
TEST_F(OrvHttpConnectionTest, HttpProxyRouteSendsAbsoluteTargets) {
    COrvHttpConnection& conn = Connect(g_peers->ScriptPort());
    conn.m_sHost = "origin.invalid";
    conn.m_sProxyHost = "127.0.0.1";
    conn.m_nProxyPort = g_peers->ScriptPort();
    COrvHttpTxn txn;
    COrvError err;
    bool bOk = false;
    const std::string body = Get(conn, txn, "/echo", err, &bOk);
    EXPECT_TRUE(bOk) << err.Text().GetString();
    EXPECT_EQ(OrvHttpRoute::enHttpProxy, conn.Route());
    EXPECT_EQ("TCP to 127.0.0.1:" + std::to_string(g_peers->ScriptPort()),
              ToStd(conn.DescribeTransport()));
    EXPECT_NE(std::string::npos, body.find("\"target\": \"http://origin.invalid:" +
                                           std::to_string(g_peers->ScriptPort()) + "/echo\""))
        << body;
    EXPECT_EQ("no-cache", EchoHeader(body, "pragma"));
    // The tunnel and SOCKS5 routes go by the proxy's form and the target's scheme.
    conn.m_sProxyHost = "socks5://127.0.0.1";
    EXPECT_EQ(OrvHttpRoute::enSocks5, conn.Route());
}

}  // namespace
