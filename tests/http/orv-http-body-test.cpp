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

const std::string kChunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string kFox = "The quick brown fox jumps over the lazy dog";
const std::string kGz = GzipBytes("short text");

// Whole responses: the result, the code, the error text (or the body), and whether the
// connection must close after them.
TEST(HttpBody, ResponsesAndTheirOutcomes) {
    const std::string sMd5 = "x-orv-content-md5: 9E107D9D372BB6826BD81D3542A419D6\r\n";
    const std::string sBadMd5 = "x-orv-content-md5: 9e107d9d372bb6826bd81d3542a419d7\r\n";
    // clang-format off
    const struct {
        std::string sWire;
        int nCode;            // enNetOk: received
        const char* pszText;  // the failure text, or the body ("" unchecked)
        int nClose;           // -1: unchecked
    } kCases[] = {
        {kChunked + "A  \t\r\n0123456789\r\n1a\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\nNEXT",
         enNetOk, "0123456789abcdefghijklmnopqrstuvwxyz", 0},
        {kChunked + "5\r\nhelloX\r\n0\r\n\r\n", enNetServer, "bad chunk closing: X", 1},
        {kChunked + "5\r\nhel", enNetConnection, "socket closed while receiving chunked", 1},
        {kChunked + "20000000\r\n", enNetResources, "chunked body too long: 536870912", 1},
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", enNetConnection, "socket closed", 1},
        // Without a length the body ends with the connection, asked for or not.
        {"HTTP/1.0 200 OK\r\n\r\nall the same", enNetOk, "all the same", 1},
        // An interim answer is skipped and keeps the connection.
        {"HTTP/1.1 100 Continue\r\n\r\n" + Response("", "ok"), enNetOk, "ok", 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 536870912\r\n\r\n", enNetBadRequest,
         "Response body is too long for memory, 536870912 bytes", 1},
        {Response(sMd5 + "x-orv-content-crc32: 414fa339\r\n", kFox), enNetOk, kFox.c_str(), 0},
        {Response(sBadMd5, kFox), enNetConnection, "Client Received from Server: MD5 of body", -1},
        {Response("Content-Encoding: gzip\r\n", kGz.substr(0, kGz.size() - 6)), enNetBadRequest,
         "Cannot unzip response body: gzip inflate failed", -1}};
    // clang-format on
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.sWire.substr(0, 80));
        Exchange ex(c.sWire);
        EXPECT_EQ(c.nCode == enNetOk, ex.Run());
        EXPECT_EQ(c.nCode, ex.err.Code()) << ex.err.Text().GetString();
        const std::string got = c.nCode == enNetOk ? ToStd(ex.txn.m_sBody) : ToStd(ex.err.Text());
        EXPECT_EQ(0u, got.find(c.pszText)) << got;
        if (c.nClose >= 0) {
            EXPECT_EQ(c.nClose == 1, ex.outcome.m_bClose);
        }
        if (c.sWire.find("NEXT") != std::string::npos) {
            char next[4];  // the next response starts right after this one
            EXPECT_EQ(4, ex.m.reader.ReadFull(next, 4, ex.err)) << ex.err.Text().GetString();
        }
    }
}

// The limits: every chunk counts toward the total, until-close stops at the limit, gzip bombs
// stop inflating.
TEST(HttpBody, LimitsAndLargeBodies) {
    COrvHttpTxn txn;
    txn.m_n64RecvBodyLen = kOrvHttpLenChunked;
    MemReader over("8\r\n01234567\r\n8\r\n89abcdef\r\n0\r\n\r\n"),
        fits("8\r\n01234567\r\n7\r\n89abcde\r\n0\r\n\r\n");
    COrvError err;
    EXPECT_FALSE(OrvHttpRecvBody(over.reader, txn, err, 16));
    EXPECT_STREQ("chunked body too long: 16", err.Text());
    err.Clear();
    EXPECT_TRUE(OrvHttpRecvBody(fits.reader, txn, err, 16));
    EXPECT_EQ(15, txn.m_sBody.GetLength());
    COrvHttpTxn untilClose;
    untilClose.m_bReadUntilClose = true;
    MemReader m(std::string(100, 'x'));
    EXPECT_FALSE(OrvHttpRecvBody(m.reader, untilClose, err, 64));
    EXPECT_STREQ("Response body is too long for memory, 64 bytes", err.Text());

    // 64 MiB of zeros compress to about 64 KiB; the limit stops inflation long before.
    const std::string sBomb = GzipBytes(std::string(64 << 20, '\0'));
    COrvStringA sOut;
    COrvError e;
    EXPECT_FALSE(OrvGunzip(sBomb.data(), static_cast<int>(sBomb.size()), sOut, e, 1 << 20));
    EXPECT_EQ(0, e.Text().Find("Response body is too long for memory, "));
    EXPECT_TRUE(sOut.IsEmpty());
}

TEST(HttpResponse, StatusCodesRedirectsAndAuth) {
    const std::string s401 = "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n";
    const std::string s407 = "HTTP/1.1 407 Proxy\r\nContent-Length: 0\r\n";
    const std::string sBasic = s401 + "WWW-Authenticate: Basic realm=\"r\"\r\n";
    const std::string sOtp = s401 + "otp-prompt: Enter code\r\nWWW-Authenticate: Basic\r\n";
    const std::string sProxy = s407 + "Proxy-Authenticate: Basic realm=x\r\n";
    const std::string sSays = ": Server says: Unauthorized (status code 401)";
    // clang-format off
    const struct {
        std::string sWire;
        bool bProxy, bHttps;
        int nServerAuth, nProxyAuth;
        int nCode;
        std::string sText;     // the start of the failure text
        int nServerAuthAfter;  // -1: unchecked
    } kCases[] = {
        {"404 Nope", 0, 0, 0, 0, enNetNotFound, "Not Found by server", -1},
        {"503 Busy", 1, 0, 0, 0, enNetConnection, "Proxy reported Connection error: Busy", -1},
        {"426 Upgrade", 0, 0, 0, 0, enNetRetry, "[Forcing SSL]", -1},
        {"426 Upgrade", 0, 1, 0, 0, enNetServer, "", -1},  // already under TLS
        {"302 Found", 0, 0, 0, 0, enNetServer, "Cannot get redirect location", -1},
        {sBasic, 0, 0, 0, 0, enNetRetry, "[requesting Basic auth]" + sSays, 1},
        {sBasic, 0, 0, 1, 0, enNetAuth, "Incorrect Basic auth UserID or Password" + sSays, 0},
        {sOtp, 0, 0, 0, 0, enNetOtpRequired, "Enter code", -1},
        {sProxy, 0, 0, 0, 1, enNetProxyAuth, "Incorrect Proxy Basic", -1},
        {"200 OK", 0, 0, 4, 4, enNetOk, "", 5}};  // NTLM done on both
    // clang-format on
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.sWire);
        Exchange ex(c.sWire.find("HTTP/") == 0
                        ? c.sWire + "\r\n"
                        : "HTTP/1.1 " + c.sWire + "\r\nContent-Length: 0\r\n\r\n");
        ex.ctx.m_sHost = "h";
        ex.ctx.m_bViaProxy = c.bProxy;
        ex.ctx.m_bHttps = c.bHttps;
        ex.ctx.m_bCredentialsAllowed = true;
        ex.ctx.m_nServerAuthState = c.nServerAuth;
        ex.ctx.m_nProxyAuthState = c.nProxyAuth;
        EXPECT_EQ(c.nCode == enNetOk, ex.Run());
        EXPECT_EQ(c.nCode, ex.err.Code());
        EXPECT_EQ(0, ex.err.Text().Find(c.sText.c_str())) << ex.err.Text().GetString();
        if (c.nServerAuthAfter >= 0) {
            EXPECT_EQ(c.nServerAuthAfter, ex.ctx.m_nServerAuthState);
        }
        if (c.nProxyAuth == 4) {
            EXPECT_EQ(5, ex.ctx.m_nProxyAuthState);
        }
        const bool bUpgrade = c.sWire == "426 Upgrade" && !c.bHttps;
        EXPECT_EQ(bUpgrade, ex.outcome.m_bSwitchToTls);
        EXPECT_TRUE(!bUpgrade || ex.outcome.m_bClose);
    }
    const struct {
        const char *pszStatus, *pszLocation, *pszUrl;
    } kRedirects[] = {{"301", "/next?a=1", "https://srv:8443/next?a=1"},
                      {"303", "//other:81/x", "https://other:81/x"},
                      {"308", "http://abs/y", "http://abs/y"}};
    for (const auto& c : kRedirects) {
        Exchange ex(std::string("HTTP/1.1 ") + c.pszStatus + " R\r\nLocation: " + c.pszLocation +
                    "\r\nContent-Length: 0\r\n\r\n");
        ex.ctx.m_sHost = "srv";
        ex.ctx.m_nPort = 8443;
        ex.ctx.m_bHttps = true;
        EXPECT_FALSE(ex.Run());
        EXPECT_EQ(enNetRetry, ex.err.Code());
        EXPECT_STREQ(c.pszUrl, ex.outcome.m_sRedirectUrl);
    }
    Exchange noFollow("HTTP/1.1 302 R\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n");
    noFollow.txn.m_bFollowRedirects = false;
    EXPECT_TRUE(noFollow.Run());
    EXPECT_TRUE(noFollow.outcome.m_sRedirectUrl.IsEmpty());
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
    EXPECT_EQ("digest|a \"b\"|auth,auth-int|ntlm|TlRMTVNTUAAB==|x",
              ToStd(ch[0].m_sScheme + "|" + ch[0].Param("REALM") + "|" + ch[0].Param("qop") + "|" +
                    ch[1].m_sScheme + "|" + ch[1].m_sToken + "|" + ch[2].Param("realm")));
    const struct {
        const char *psz, *pszText;
    } kBad[] = {
        {"Digest realm=\"r\", nonce=", "bad token after name ="},
        {"Basic realm=a b=c", "no , after name=value"},
        {"Basic realm=a, (x", "bad = after name"},
    };
    for (const auto& b : kBad) {
        COrvError e;
        EXPECT_FALSE(OrvHttpParseChallenges(b.psz, ch, e)) << b.psz;
        EXPECT_STREQ(b.pszText, e.Text()) << b.psz;
    }
}

}  // namespace
