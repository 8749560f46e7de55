// Header blocks, Status-Lines, request and response writing, the server-side request reader.
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "orv-http-auth.h"
#include "orv-http-test-util.h"
#include "orv-http-wire.h"
#include "orv-test-support.h"

namespace {

std::string Headers(int nCount) {
    std::string s = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < nCount; ++i)
        s += "X-H" + std::to_string(i) + ": v\r\n";
    return s + "\r\n";
}

bool ReadResponse(const std::string& wire, COrvHttpTxn& txn, COrvError& err, int nSlice = 7) {
    MemReader m(wire, nSlice);
    return OrvHttpRecvResponseHeader(m.reader, txn, err);
}

COrvHttpRequestContext Ctx(const char* pszHost, int nPort, bool bHttps) {
    COrvHttpRequestContext ctx;
    ctx.m_sHost = pszHost;
    ctx.m_nPort = nPort;
    ctx.m_bHttps = bHttps;
    ctx.m_tNow = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
    return ctx;
}

}  // namespace

TEST(HttpHeader, ParsesStatusHeadersAndSpecialNames) {
    COrvHttpTxn txn;
    COrvError err;
    ASSERT_TRUE(
        ReadResponse("HTTP/1.1 404 Not Found Here\r\nServer: peer/1\r\n"
                     "Content-Length: 12 \t\r\nX-Multi:  a \t\r\nx-multi: b\r\n"
                     "Set-Cookie: a=1\r\nset-cookie: b=2; path=/\r\nConnection: close\r\n"
                     "\r\nBODY",
                     txn, err))
        << err.Text().GetString();
    EXPECT_EQ(404, txn.m_nStatus);
    EXPECT_STREQ("Not Found Here", txn.m_sReason);
    EXPECT_EQ(12, txn.m_n64RecvBodyLen);
    EXPECT_STREQ("peer/1", txn.m_sServer);
    EXPECT_STREQ("a, b", txn.GetResponseHeader("X-MULTI"));
    ASSERT_EQ(2u, txn.m_setCookieLines.GetCount());
    EXPECT_STREQ("b=2; path=/", txn.m_setCookieLines[1]);
    EXPECT_TRUE(txn.m_bConnectionClose);

    ASSERT_TRUE(
        ReadResponse("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n"
                     "Content-Length: 5\r\nContent-Length: 6\r\n\r\n",
                     txn, err));
    EXPECT_EQ(kOrvHttpLenChunked, txn.m_n64RecvBodyLen) << "chunked wins over Content-Length";
    const std::string sLong(32768 - 3, 'x');  // "X: " + this is the longest line
    ASSERT_TRUE(ReadResponse("HTTP/1.1 200 OK\r\nX: " + sLong + "\r\n\r\n", txn, err));
    EXPECT_EQ(static_cast<int>(sLong.size()), txn.GetResponseHeader("X").GetLength());
    ASSERT_TRUE(ReadResponse(Headers(99), txn, err)) << err.Text().GetString();
    EXPECT_EQ(99u, txn.m_responseHeaders.GetCount());
    ASSERT_TRUE(ReadResponse("HTTP/1.1 204 No Content\nX: a\n\n", txn, err));  // bare LF
    EXPECT_EQ(204, txn.m_nStatus);
}

TEST(HttpHeader, BadHeaderBlocksAreRefused) {
    const std::string sHead = "HTTP/1.1 200 OK\r\n";
    const struct {
        std::string wire;
        const char* pszText;
    } cases[] = {
        // Codings the client cannot undo are refused rather than passed on still encoded.
        {sHead + "Transfer-Encoding: gzip, chunked\r\n\r\n",
         "Unsupported Transfer-Encoding: gzip, chunked"},
        {sHead + "Content-Length: 5\r\nContent-Length: 5\r\n\r\n",
         "Duplicate Content-Length line in HTTP header"},
        {sHead + "Content-Length: 5x\r\n\r\n", "Bad Content-Length HTTP header: 5x"},
        {sHead + "Content-Length: 99999999999999999999\r\n\r\n",
         "Bad Content-Length HTTP header: 99999999999999999999"},
        {Headers(100), "More than 100 HTTP headers"},
        {sHead + "X: " + std::string(32766, 'x') + "\r\n\r\n",
         "vHttpRecvHeader: HTTP header line too long at 32769 chars"},
        {sHead + "X: a\rb\r\n\r\n", "No LF after CR at the end of line of HTTP header"},
        {sHead + "no colon here\r\n\r\n", "Bad HTTP header line: 'no colon here'"},
        {"HTTP/1.1 20x OK\r\n\r\n", "Bad HTTP header Status-Line: 'HTTP/1.1 20x OK'"},
        {"HTTP/2 200 OK\r\n\r\n", "Bad HTTP header Status-Line: 'HTTP/2 200 OK'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszText);
        COrvHttpTxn txn;
        COrvError err;
        EXPECT_FALSE(ReadResponse(c.wire, txn, err, c.wire.size() > 1000 ? 1000 : 7));
        EXPECT_STREQ(c.pszText, err.Text());
        EXPECT_EQ(enNetServer, err.Code());
    }
    // End of stream before the first byte (a kept-alive connection closed) and inside.
    COrvHttpTxn txn;
    for (const char* pszWire : {"", "HTTP/1.1 200 OK\r\nX: 1\r\n"}) {
        MemReader m(pszWire);
        COrvError err;
        bool bAtStart = false;
        EXPECT_FALSE(OrvHttpRecvResponseHeader(m.reader, txn, err, &bAtStart));
        EXPECT_EQ(*pszWire == 0, bAtStart);
        EXPECT_STREQ(*pszWire ? "socket EOF while receiving HTTP header"
                              : "Unexpected EOF when reading reply",
                     err.Text());
        EXPECT_EQ(enNetConnection, err.Code());
    }
}

// ---- request writing ----

TEST(HttpRequest, LayoutHostRuleAndStandardHeaders) {
    COrvHttpTxn txn;
    txn.m_sMethod = "POST";
    txn.m_sPath = "/up?x=1";
    txn.m_sRequestBody = "hello";
    txn.m_requestHeaders.SetAt("X-Custom", "v");
    COrvStringA s;
    COrvError err;
    ASSERT_TRUE(OrvHttpBuildRequestHeader(txn, Ctx("example.test", 80, false), s, err));
    EXPECT_STREQ(
        "POST /up?x=1 HTTP/1.1\r\nHost: example.test\r\nConnection: Keep-Alive\r\n"
        "Content-Length: 5\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nUser-Agent: "
        "OrvSocket/11.7.9.9 (Linux)\r\nX-Custom: v\r\n\r\n",
        s);

    const struct {
        int nPort;
        bool bHttps;
        const char* pszHost;
    } hosts[] = {
        {443, true, "Host: h\r\n"}, {80, true, "Host: h:80\r\n"}, {443, false, "Host: h:443\r\n"}};
    txn.m_bAddStandardHeaders = false;
    txn.m_sPath.Empty();
    txn.m_sMethod = "GET";
    txn.m_sRequestBody.Empty();
    for (const auto& h : hosts) {
        ASSERT_TRUE(OrvHttpBuildRequestHeader(txn, Ctx("h", h.nPort, h.bHttps), s, err));
        EXPECT_EQ(std::string("GET / HTTP/1.1\r\n") + h.pszHost +
                      "Content-Length: 0\r\nX-Custom: v\r\n\r\n",
                  s.GetString());
    }
    // A caller's Host wins and still comes right after the Request-Line.
    txn.m_requestHeaders.SetAt("host", "virtual:1");
    ASSERT_TRUE(OrvHttpBuildRequestHeader(txn, Ctx("h", 81, false), s, err));
    EXPECT_STREQ("GET / HTTP/1.1\r\nHost: virtual:1\r\nContent-Length: 0\r\nX-Custom: v\r\n\r\n",
                 s);
}

TEST(HttpRequest, LineBreaksAreRefusedBeforeAnythingIsSent) {
    const struct {
        const char* pszMethod;
        const char* pszPath;
        const char* pszName;
        const char* pszValue;
        const char* pszHost;
    } cases[] = {
        {"GET", "/a\r\nX-Injected: 1", "A", "b", "h"},
        {"GET", "/", "A\nB", "b", "h"},
        {"GET", "/", "A", "b\r\nX-Injected: 1", "h"},
        {"GET", "/", "A", "b", "h\r\nX: 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszPath);
        COrvHttpTxn txn;
        txn.m_sMethod = c.pszMethod;
        txn.m_sPath = c.pszPath;
        txn.m_requestHeaders.SetAt(c.pszName, c.pszValue);
        COrvMemorySink sink;
        COrvError err;
        EXPECT_FALSE(OrvHttpSendRequest(sink, txn, Ctx(c.pszHost, 80, false), err));
        EXPECT_EQ(enNetBadRequest, err.Code());
        EXPECT_NE(-1, err.Text().Find("CR")) << err.Text().GetString();
        EXPECT_EQ(0, sink.Writes());
    }
}

// ---- the server side, over a socketpair ----

TEST(HttpServer, RequestReadingAndResponseWriting) {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    COrvFdStream client(fds[0]);
    COrvFdStream server(fds[1]);
    COrvHttpTxn txn;
    txn.m_sMethod = "MKCOL";
    txn.m_sPath = "/dir/a%20b";
    txn.m_sRequestBody = "xyz";
    COrvError err;
    ASSERT_TRUE(OrvHttpSendRequest(client, txn, Ctx("h", 80, false), err));

    COrvHttpReader reader(&server);
    COrvHttpServerRequest req;
    ASSERT_TRUE(OrvHttpRecvRequestHeader(reader, req, err)) << err.Text().GetString();
    EXPECT_STREQ("MKCOL", req.m_sMethod);
    EXPECT_EQ(enHttpMethodMkcol, req.m_eMethod);
    EXPECT_STREQ("/dir/a%20b", req.m_sTarget);
    EXPECT_STREQ("HTTP/1.1", req.m_sVersion);
    EXPECT_EQ(3, req.m_block.m_n64BodyLen);

    COrvHttpHeaderMap headers;
    headers.SetAt("Content-Length", "0");
    ASSERT_TRUE(OrvHttpWriteResponseHeader(server, 201, "Created", headers, err));
    EXPECT_EQ(1, server.Writes());
    char buf[3];
    ASSERT_EQ(3, reader.ReadFull(buf, 3, err));  // the request body

    COrvHttpReader clientReader(&client);
    COrvHttpTxn resp;
    ASSERT_TRUE(OrvHttpRecvResponseHeader(clientReader, resp, err));
    EXPECT_EQ(201, resp.m_nStatus);
    EXPECT_STREQ("OrvSocket/11.7.9.9 (Linux)", resp.m_sServer);

    headers.SetAt("X-Bad", "a\r\nb");
    EXPECT_FALSE(OrvHttpWriteResponseHeader(server, 200, "OK", headers, err));
    EXPECT_EQ(enNetBadRequest, err.Code());
    close(fds[0]);
    close(fds[1]);
}
