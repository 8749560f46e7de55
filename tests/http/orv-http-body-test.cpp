// Bodies (length, until close, chunked), digests, gzip, and the interpretation of responses.
#include <string>

#include "orv-http-auth.h"
#include "orv-http-body.h"
#include "orv-http-cookie.h"
#include "orv-http-response.h"
#include "orv-http-test-util.h"
#include "orv-http-wire.h"

namespace {

// Reads a whole response (header and body) the way the client does, from bytes given out in
// small slices.
struct Exchange {
    explicit Exchange(const std::string& wire, int nSlice = 5) : m(wire, nSlice) {}
    bool Run() {
        txn.m_sMethod = method;
        return OrvHttpReceiveResponse(m.reader, txn, ctx, outcome, err);
    }
    MemReader m;
    const char* method = "GET";
    COrvHttpTxn txn;
    COrvHttpResponseContext ctx;
    COrvHttpResponseOutcome outcome;
    COrvError err;
};

std::string Response(const std::string& sHeaders, const std::string& sBody) {
    return "HTTP/1.1 200 OK\r\n" + sHeaders + "Content-Length: " + std::to_string(sBody.size()) +
           "\r\n\r\n" + sBody;
}

}  // namespace

TEST(HttpBody, ChunkedSizesExtensionsAndClosings) {
    Exchange ok(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        "A  \t\r\n0123456789\r\n1a\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\nNEXT");
    ASSERT_TRUE(ok.Run()) << ok.err.Text().GetString();
    EXPECT_EQ("0123456789abcdefghijklmnopqrstuvwxyz", ToStd(ok.txn.m_sBody));
    EXPECT_TRUE(ok.txn.m_bBodyComplete);
    EXPECT_FALSE(ok.outcome.m_bClose);
    char c[4];
    EXPECT_EQ(4, ok.m.reader.ReadFull(c, 4, ok.err));  // the next response starts right after

    struct {
        const char* pszChunks;
        const char* pszText;
        int nCode;
    } bad[] = {
        {"5;ext=1\r\nhello\r\n0\r\n\r\n", "bad chunk length: 5;ext=1", enNetServer},
        {"0x5\r\nhello\r\n0\r\n\r\n", "bad chunk length: 0x5", enNetServer},
        {"\r\n", "bad chunk length: ", enNetServer},
        {"5\r\nhelloX\r\n0\r\n\r\n", "bad chunk closing: X", enNetServer},
        {"5\r\nhello\r\n0\r\nTrailer: x\r\n\r\n", "bad chunk closing: Trailer: x", enNetServer},
        {"5\r\nhel", "socket closed while receiving chunked content", enNetConnection},
        {"5\r\nhello\r\n", "socket closed while receiving chunked content", enNetConnection},
        {"20000000\r\n", "chunked body too long: 536870912", enNetResources},
        {"FFFFFFFFFFFFFFFFFFFFFFFF\r\n", nullptr, enNetResources},
    };
    for (const auto& b : bad) {
        Exchange ex(std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") +
                    b.pszChunks);
        EXPECT_FALSE(ex.Run()) << b.pszChunks;
        if (b.pszText) {
            EXPECT_STREQ(b.pszText, ex.err.Text());
        }
        EXPECT_EQ(b.nCode, ex.err.Code()) << b.pszChunks;
        EXPECT_TRUE(ex.outcome.m_bClose);
    }
}

TEST(HttpBody, ChunkedTotalLimitCountsEveryChunk) {
    COrvHttpTxn txn;
    txn.m_n64RecvBodyLen = kOrvHttpLenChunked;
    MemReader m("8\r\n01234567\r\n8\r\n89abcdef\r\n0\r\n\r\n");
    COrvError err;
    EXPECT_FALSE(OrvHttpRecvBody(m.reader, txn, err, 16));
    EXPECT_STREQ("chunked body too long: 16", err.Text());
    MemReader m2("8\r\n01234567\r\n7\r\n89abcde\r\n0\r\n\r\n");
    COrvError err2;
    EXPECT_TRUE(OrvHttpRecvBody(m2.reader, txn, err2, 16));
    EXPECT_EQ(15, txn.m_sBody.GetLength());
}

TEST(HttpBody, LengthUntilCloseAndCutBodies) {
    const std::string sBig(200000, 'q');
    Exchange big(Response("", sBig), 4096);
    ASSERT_TRUE(big.Run());
    EXPECT_EQ(sBig, ToStd(big.txn.m_sBody));

    Exchange cut("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    EXPECT_FALSE(cut.Run());
    EXPECT_STREQ("socket closed while receiving body at 3 of 10 bytes", cut.err.Text());
    EXPECT_EQ(enNetConnection, cut.err.Code());
    EXPECT_TRUE(cut.outcome.m_bClose);

    Exchange untilClose("HTTP/1.0 200 OK\r\n\r\nall of it");
    untilClose.txn.m_bReadUntilClose = true;
    ASSERT_TRUE(untilClose.Run());
    EXPECT_STREQ("all of it", untilClose.txn.m_sBody);
    EXPECT_TRUE(untilClose.outcome.m_bClose);

    // Without a length the body ends with the connection, asked for or not.
    for (const char* psz :
         {"HTTP/1.0 200 OK\r\n\r\n", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n",
          "HTTP/1.1 200 OK\r\nTransfer-Encoding: identity\r\nContent-Length: 2\r\n\r\n"}) {
        Exchange noLength(std::string(psz) + "all the same");
        ASSERT_TRUE(noLength.Run()) << psz;
        EXPECT_STREQ("all the same", noLength.txn.m_sBody) << psz;
        EXPECT_TRUE(noLength.outcome.m_bClose) << psz;
    }

    COrvHttpTxn txn;  // until close stops at the limit
    txn.m_bReadUntilClose = true;
    MemReader m(std::string(100, 'x'));
    COrvError err;
    EXPECT_FALSE(OrvHttpRecvBody(m.reader, txn, err, 64));
    EXPECT_STREQ("Response body is too long for memory, 64 bytes", err.Text());
}

TEST(HttpBody, BodilessResponses) {
    for (const char* psz :
         {"HTTP/1.1 304 Not Modified\r\nETag: x\r\n\r\n", "HTTP/1.1 204 No Content\r\n\r\n"}) {
        Exchange ex(std::string(psz) + "HTTP/1.1 200 OK\r\n");
        ASSERT_TRUE(ex.Run()) << psz;
        EXPECT_TRUE(ex.txn.m_sBody.IsEmpty());
        EXPECT_FALSE(ex.outcome.m_bClose);  // kept alive without a length
    }
    Exchange head("HTTP/1.1 200 OK\r\nContent-Length: 999\r\n\r\n");
    head.method = "HEAD";
    ASSERT_TRUE(head.Run());
    EXPECT_EQ(999, head.txn.m_n64RecvBodyLen);
    EXPECT_TRUE(head.txn.m_sBody.IsEmpty());

    Exchange cont("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    ASSERT_TRUE(cont.Run());
    EXPECT_EQ(200, cont.txn.m_nStatus);
    EXPECT_STREQ("ok", cont.txn.m_sBody);
}

TEST(HttpBody, TooLongForMemory) {
    Exchange ok("HTTP/1.1 200 OK\r\nContent-Length: 536870912\r\n\r\n");
    EXPECT_FALSE(ok.Run());
    EXPECT_STREQ("Response body is too long for memory, 536870912 bytes", ok.err.Text());
    EXPECT_EQ(enNetBadRequest, ok.err.Code());
    EXPECT_TRUE(ok.outcome.m_bClose);

    Exchange err("HTTP/1.1 500 Oops\r\nContent-Length: 536870912\r\n\r\n");
    EXPECT_FALSE(err.Run());
    EXPECT_STREQ("Server says: Oops (status code 500)", err.err.Text());
    EXPECT_TRUE(err.outcome.m_bClose);
}

TEST(HttpBody, DigestHeaders) {
    const std::string sBody = "The quick brown fox jumps over the lazy dog";
    Exchange good(
        Response("x-orv-content-md5: 9E107D9D372BB6826BD81D3542A419D6\r\n"
                 "x-orv-content-crc32: 414fa339\r\n",
                 sBody));
    ASSERT_TRUE(good.Run()) << good.err.Text().GetString();

    Exchange md5(Response("x-orv-content-md5: 9e107d9d372bb6826bd81d3542a419d7\r\n", sBody));
    EXPECT_FALSE(md5.Run());
    EXPECT_STREQ("Client Received from Server: MD5 of body does not match x-orv-content-md5 header",
                 md5.err.Text());
    EXPECT_EQ(enNetConnection, md5.err.Code());

    Exchange crc(Response("x-orv-content-crc32: 414fa338\r\n", sBody));
    EXPECT_FALSE(crc.Run());
    EXPECT_STREQ(
        "Client Received from Server: CRC-32 of body does not match x-orv-content-crc32 header",
        crc.err.Text());
}

TEST(HttpBody, GzipBodiesAndBombs) {
    const std::string sPlain(100000, 'g');
    Exchange ok(Response("Content-Encoding: gzip\r\n", GzipBytes(sPlain)), 1000);
    ASSERT_TRUE(ok.Run()) << ok.err.Text().GetString();
    EXPECT_EQ(sPlain, ToStd(ok.txn.m_sBody));

    // 64 MiB of zeros compress to about 64 KiB; the limit stops inflation long before.
    const std::string sBomb = GzipBytes(std::string(64 << 20, '\0'));
    COrvStringA sOut;
    COrvError err;
    EXPECT_FALSE(OrvGunzip(sBomb.data(), static_cast<int>(sBomb.size()), sOut, err, 1 << 20));
    EXPECT_EQ(0, err.Text().Find("Response body is too long for memory, "));
    EXPECT_TRUE(sOut.IsEmpty());
    COrvStringA sFull;
    ASSERT_TRUE(OrvGunzip(sBomb.data(), static_cast<int>(sBomb.size()), sFull, err));
    EXPECT_EQ(64 << 20, sFull.GetLength());

    Exchange broken(Response("Content-Encoding: gzip\r\n", "not gzip at all"));
    EXPECT_FALSE(broken.Run());
    EXPECT_EQ(0, broken.err.Text().Find("Cannot unzip response body: gzip inflate failed"));
    EXPECT_EQ(enNetBadRequest, broken.err.Code());

    const std::string sGz = GzipBytes("short text");
    Exchange truncated(Response("Content-Encoding: gzip\r\n", sGz.substr(0, sGz.size() - 6)));
    EXPECT_FALSE(truncated.Run());
    EXPECT_EQ(0, truncated.err.Text().Find("Cannot unzip response body: gzip inflate failed"));
}

TEST(HttpResponse, StatusCodesAndTexts) {
    struct {
        const char* pszStatus;
        bool bProxy;
        int nCode;
        const char* pszText;
    } cases[] = {
        {"404 Nope", false, enNetNotFound, "Not Found by server"},
        {"507 Full", false, enNetResources, "Server says: Full (status code 507)"},
        {"500 Boom", false, enNetServer, "Server says: Boom (status code 500)"},
        {"503 Busy", true, enNetConnection, "Proxy reported Connection error: Busy"},
        {"504 Slow", true, enNetConnection, "Proxy reported timeout: Slow"},
        {"503 Busy", false, enNetServer, "Server says: Busy (status code 503)"},
        {"426 Upgrade", false, enNetRetry, "[Forcing SSL]"},
        {"302 Found", false, enNetServer, "Cannot get redirect location"},
    };
    for (const auto& c : cases) {
        Exchange ex(std::string("HTTP/1.1 ") + c.pszStatus + "\r\nContent-Length: 0\r\n\r\n");
        ex.ctx.m_bViaProxy = c.bProxy;
        EXPECT_FALSE(ex.Run()) << c.pszStatus;
        EXPECT_EQ(c.nCode, ex.err.Code()) << c.pszStatus;
        EXPECT_STREQ(c.pszText, ex.err.Text());
    }
    Exchange tls("HTTP/1.1 426 Upgrade\r\nContent-Length: 0\r\n\r\n");
    EXPECT_FALSE(tls.Run());
    EXPECT_TRUE(tls.outcome.m_bSwitchToTls && tls.outcome.m_bClose);
    Exchange already("HTTP/1.1 426 Upgrade\r\nContent-Length: 0\r\n\r\n");
    already.ctx.m_bHttps = true;
    EXPECT_FALSE(already.Run());
    EXPECT_EQ(enNetServer, already.err.Code());

    Exchange raw("HTTP/1.1 500 Boom\r\nContent-Length: 0\r\n\r\n");
    raw.txn.m_bHandleStatus = false;
    EXPECT_TRUE(raw.Run());
}

TEST(HttpResponse, RedirectLocations) {
    struct {
        const char* pszLocation;
        bool bHttps;
        const char* pszUrl;
    } cases[] = {{"/next?a=1", true, "https://srv:8443/next?a=1"},
                 {"//other:81/x", true, "https://other:81/x"},
                 {"//other/x", false, "http://other/x"},
                 {"http://abs/y", true, "http://abs/y"}};
    for (const char* pszStatus : {"301", "302", "303", "305", "307", "308"}) {
        for (const auto& c : cases) {
            Exchange ex(std::string("HTTP/1.1 ") + pszStatus + " R\r\nLocation: " + c.pszLocation +
                        "\r\nContent-Length: 0\r\n\r\n");
            ex.ctx.m_sHost = "srv";
            ex.ctx.m_nPort = 8443;
            ex.ctx.m_bHttps = c.bHttps;
            EXPECT_FALSE(ex.Run());
            EXPECT_EQ(enNetRetry, ex.err.Code());
            EXPECT_STREQ("[Redirecting]", ex.err.Text());
            EXPECT_STREQ(c.pszUrl, ex.outcome.m_sRedirectUrl);
        }
    }
    Exchange noFollow("HTTP/1.1 302 R\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n");
    noFollow.txn.m_bFollowRedirects = false;
    EXPECT_TRUE(noFollow.Run());
    EXPECT_TRUE(noFollow.outcome.m_sRedirectUrl.IsEmpty());
}

TEST(HttpResponse, AuthAndOtp) {
    const std::string s401 = "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n";
    Exchange basic(s401 + "WWW-Authenticate: Basic realm=\"r\"\r\n\r\n");
    basic.ctx.m_sHost = "h";
    EXPECT_FALSE(basic.Run());
    EXPECT_EQ(enNetRetry, basic.err.Code());
    EXPECT_STREQ("[requesting Basic auth]: Server says: Unauthorized (status code 401)",
                 basic.err.Text());
    EXPECT_EQ(1, basic.ctx.m_nServerAuthState);

    Exchange again(s401 + "WWW-Authenticate: Basic realm=\"r\"\r\n\r\n");
    again.ctx.m_nServerAuthState = 1;
    EXPECT_FALSE(again.Run());
    EXPECT_EQ(enNetAuth, again.err.Code());
    EXPECT_STREQ(
        "Incorrect Basic auth UserID or Password: Server says: Unauthorized (status code "
        "401)",
        again.err.Text());
    EXPECT_EQ(0, again.ctx.m_nServerAuthState);

    Exchange other(s401 + "WWW-Authenticate: Negotiate\r\n\r\n");
    EXPECT_FALSE(other.Run());
    EXPECT_EQ(enNetAuth, other.err.Code());
    EXPECT_EQ(0, other.err.Text().Find("Auth method not supported: negotiate, Error: "));

    Exchange foreign(s401 + "WWW-Authenticate: Basic realm=\"r\"\r\n\r\n");
    foreign.ctx.m_bCredentialsAllowed = false;
    EXPECT_FALSE(foreign.Run());
    EXPECT_EQ(enNetAuth, foreign.err.Code());
    EXPECT_EQ(0, foreign.ctx.m_nServerAuthState);

    Exchange otp(s401 + "otp-prompt: Enter code\r\nWWW-Authenticate: Basic\r\n\r\n");
    EXPECT_FALSE(otp.Run());
    EXPECT_EQ(enNetOtpRequired, otp.err.Code());
    EXPECT_STREQ("Enter code", otp.err.Text());

    Exchange plain("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
    plain.ctx.m_nServerAuthState = 9;
    EXPECT_FALSE(plain.Run());
    EXPECT_EQ(enNetServer, plain.err.Code());

    const std::string s407 = "HTTP/1.1 407 Proxy\r\nContent-Length: 0\r\n";
    Exchange proxy(s407 + "Proxy-Authenticate: Basic realm=x\r\n\r\n");
    proxy.ctx.m_nProxyAuthState = 1;
    EXPECT_FALSE(proxy.Run());
    EXPECT_STREQ("Incorrect Proxy Basic Authentication Credentials", proxy.err.Text());
    EXPECT_EQ(enNetProxyAuth, proxy.err.Code());

    Exchange ntlmDone("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    ntlmDone.ctx.m_nServerAuthState = 4;
    ntlmDone.ctx.m_nProxyAuthState = 4;
    ASSERT_TRUE(ntlmDone.Run());
    EXPECT_EQ(5, ntlmDone.ctx.m_nServerAuthState);
    EXPECT_EQ(5, ntlmDone.ctx.m_nProxyAuthState);
}

TEST(HttpAuth, ChallengeParsing) {
    COrvArray<COrvHttpChallenge> ch;
    COrvError err;
    ASSERT_TRUE(OrvHttpParseChallenges(
        "Digest realm=\"a \\\"b\\\"\", nonce=abc, qop=\"auth,auth-int\", NTLM TlRMTVNTUAAB==, "
        "Basic realm=x",
        ch, err))
        << err.Text().GetString();
    ASSERT_EQ(3u, ch.GetCount());
    EXPECT_STREQ("digest", ch[0].m_sScheme);
    EXPECT_STREQ("a \"b\"", ch[0].Param("REALM"));
    EXPECT_STREQ("auth,auth-int", ch[0].Param("qop"));
    EXPECT_STREQ("ntlm", ch[1].m_sScheme);
    EXPECT_STREQ("TlRMTVNTUAAB==", ch[1].m_sToken);
    EXPECT_STREQ("x", ch[2].Param("realm"));

    struct {
        const char* psz;
        const char* pszText;
    } bad[] = {{"", "no auth header"},
               {"  ", "no auth header"},
               {"Digest realm=\"r\", nonce=", "bad token after name ="},
               {"Basic realm=\"open", "bad token after name ="},
               {"Basic realm=a b=c", "no , after name=value"},
               {"Basic realm=a, (x", "bad = after name"},
               {",,,", "no authentication methods"}};
    for (const auto& b : bad) {
        COrvError e;
        EXPECT_FALSE(OrvHttpParseChallenges(b.psz, ch, e)) << b.psz;
        EXPECT_STREQ(b.pszText, e.Text()) << b.psz;
    }
}
