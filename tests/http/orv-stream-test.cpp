// The read-only response stream and the gzip stream.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "orv-http-test-util.h"
#include "orv-http-wire.h"
#include "orv-stream.h"
#include "orv-test-support.h"

namespace {

// Reads a stream to its end with reads of nPiece bytes; the final error goes to err.
std::string Drain(IOrvStream& s, COrvError& err, int nPiece = 1000) {
    std::string out;
    std::string buf(nPiece, '\0');
    for (;;) {
        const int n = s.Read(buf.data(), nPiece, err);
        if (n < 0)
            return out;
        out.append(buf.data(), n);
    }
}

}  // namespace

TEST(HttpResponseStream, OpenRulesAndEndOfStream) {
    const std::string sBody(300000, 'b');
    MemReader m("HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n\r\n" + sBody + "NEXT", 70000);
    COrvHttpTxn txn;
    COrvError err;
    ASSERT_TRUE(OrvHttpRecvResponseHeader(m.reader, txn, err));

    COrvHttpResponseStream stream(&m.reader, &txn);
    txn.m_nRecvMode = enHttpRecvStream;
    EXPECT_FALSE(stream.Open(true, err));  // read-only
    err.Clear();
    ASSERT_TRUE(stream.Open(false, err));

    COrvError end;
    EXPECT_EQ(sBody, Drain(stream, end, 4096));
    EXPECT_EQ(enNetEndOfStream, end.Code());
    char next[4];
    EXPECT_EQ(4, m.reader.ReadFull(next, 4, err));  // nothing past the body was taken
    EXPECT_EQ("NEXT", std::string(next, 4));
}

TEST(HttpResponseStream, ChunkedGzipBodyOverASocketpair) {
    std::string sPlain;
    for (int i = 0; i < 40000; ++i)
        sPlain += std::to_string(i) + ",";
    const std::string sGz = GzipBytes(sPlain);
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    std::thread server([&] {
        COrvFdStream out(fds[1]);
        COrvError err;
        COrvHttpTxn t;
        t.m_n64BodyLen = -1;
        std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
        EXPECT_TRUE(out.WriteAll(head.data(), static_cast<int64_t>(head.size()), err));
        for (size_t i = 0; i < sGz.size(); i += 777)
            EXPECT_TRUE(
                OrvHttpWriteBody(out, t, sGz.data() + i,
                                 static_cast<int64_t>(std::min<size_t>(777, sGz.size() - i)), err));
        EXPECT_TRUE(OrvHttpFinishBody(out, t, err));
    });
    COrvFdStream in(fds[0]);
    COrvHttpReader reader(&in);
    COrvHttpTxn txn;
    txn.m_nRecvMode = enHttpRecvStream;
    COrvError err;
    ASSERT_TRUE(OrvHttpRecvResponseHeader(reader, txn, err));
    COrvHttpResponseStream body(&reader, &txn);
    COrvGzipStream gz(&body);
    ASSERT_TRUE(gz.Open(false, err)) << err.Text().GetString();
    COrvError end;
    EXPECT_EQ(sPlain, Drain(gz, end, 3000));
    EXPECT_EQ(enNetEndOfStream, end.Code());
    server.join();
    close(fds[0]);
    close(fds[1]);
}

TEST(HttpGzipStream, DecodeErrors) {
    const std::string sGz = GzipBytes(std::string(50000, 'z'));
    // Concatenated members are read whole; everything else is a decoding error.
    const struct {
        std::string sData;
        const char* pszText;  // the error text, or what is read
    } cases[] = {{sGz.substr(0, sGz.size() - 4), "gzip decode error (data)"},
                 {sGz + "trailing", "gzip decode error (data after the gzip stream)"},
                 {GzipBytes(std::string(70000, 'a')) + GzipBytes("second"), nullptr}};
    for (const auto& c : cases) {
        MemReader m(c.sData, 1000);
        COrvHttpTxn txn;
        txn.m_nRecvMode = enHttpRecvStream;
        txn.m_bReadUntilClose = true;
        COrvHttpResponseStream body(&m.reader, &txn);
        COrvGzipStream gz(&body);
        COrvError err;
        ASSERT_TRUE(gz.Open(false, err));
        const std::string out = Drain(gz, err, 777);
        EXPECT_EQ(c.pszText ? enNetBadRequest : enNetEndOfStream, err.Code()) << err.Text();
        EXPECT_EQ(c.pszText ? c.pszText : std::string(70000, 'a') + "second",
                  c.pszText ? OrvStr(err.Text()) : out);
    }
}
