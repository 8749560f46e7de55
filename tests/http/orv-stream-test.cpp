// The read-only response stream and the gzip stream.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "orv-http-test-util.h"
#include "orv-http-wire.h"
#include "orv-stream.h"

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
    COrvError e1;
    EXPECT_EQ(-1, stream.Read(nullptr, 1, e1));
    EXPECT_STREQ("HTTP response stream is not open", e1.Text());
    COrvError e2;
    EXPECT_FALSE(stream.Open(false, e2));
    EXPECT_STREQ("HTTP response stream: bad receieve body mode 0", e2.Text());
    txn.m_nRecvMode = enHttpRecvStream;
    COrvError e3;
    EXPECT_FALSE(stream.Open(true, e3));
    EXPECT_STREQ("HTTP response stream is read-only", e3.Text());
    ASSERT_TRUE(stream.Open(false, err));
    COrvError e4;
    EXPECT_FALSE(stream.Open(false, e4));
    EXPECT_STREQ("Stream already open", e4.Text());

    COrvError end;
    EXPECT_EQ(sBody, Drain(stream, end, 4096));
    EXPECT_STREQ("End of HTTP stream at pos 300000", end.Text());
    EXPECT_EQ(enNetEndOfStream, end.Code());
    EXPECT_TRUE(txn.m_bBodyComplete);
    char c;
    COrvError after;
    EXPECT_EQ(-1, stream.Read(&c, 1, after));
    EXPECT_STREQ("unexpected EOF", after.Text());
    EXPECT_EQ(enNetEndOfStream, after.Code());
    char next[4];
    EXPECT_EQ(4, m.reader.ReadFull(next, 4, err));  // nothing past the body was taken
    EXPECT_EQ(0, std::string(next, 4).compare("NEXT"));
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
    COrvStringA sWant;
    sWant.Format("End of stream at pos %d", static_cast<int>(sPlain.size()));
    EXPECT_STREQ(sWant, end.Text());
    EXPECT_EQ(enNetEndOfStream, end.Code());
    server.join();
    close(fds[0]);
    close(fds[1]);
}

TEST(HttpGzipStream, OpenRulesAndDecodeErrors) {
    COrvGzipStream none(nullptr);
    COrvError e1;
    EXPECT_FALSE(none.Open(false, e1));
    EXPECT_STREQ("source stream is NULL", e1.Text());
    COrvError e2;
    EXPECT_FALSE(none.Open(true, e2));
    EXPECT_STREQ("Gunzip stream is read-only", e2.Text());
    COrvError e3;
    EXPECT_EQ(-1, none.Read(nullptr, 1, e3));
    EXPECT_STREQ("Gunzip stream is not open", e3.Text());

    const std::string sGz = GzipBytes(std::string(50000, 'z'));
    std::string sCorrupt = sGz;
    sCorrupt[sCorrupt.size() / 2] ^= 0x55;
    sCorrupt[sCorrupt.size() / 2 + 1] ^= 0x55;
    struct {
        std::string sData;
        const char* pszText;
    } cases[] = {{"XXXXXXXXXXXXXXXXXXXX", "gzip decode error (header)"},
                 {sGz.substr(0, 5), "gzip decode error (header)"},
                 {sGz.substr(0, sGz.size() - 4), "gzip decode error (data)"},
                 {sCorrupt, "gzip decode error (data)"},
                 {sGz + "trailing", "gzip decode error (data after the gzip stream)"}};
    for (const auto& c : cases) {
        MemReader m(c.sData);
        COrvHttpTxn txn;
        txn.m_nRecvMode = enHttpRecvStream;
        txn.m_bReadUntilClose = true;
        COrvHttpResponseStream body(&m.reader, &txn);
        COrvGzipStream gz(&body);
        COrvError err;
        ASSERT_TRUE(gz.Open(false, err));
        Drain(gz, err);
        EXPECT_STREQ(c.pszText, err.Text());
        EXPECT_EQ(enNetBadRequest, err.Code());
    }
}

TEST(HttpGzipStream, ConcatenatedMembersAreReadWhole) {
    const std::string sFirst(70000, 'a');
    MemReader m(GzipBytes(sFirst) + GzipBytes("second"), 1000);
    COrvHttpTxn txn;
    txn.m_nRecvMode = enHttpRecvStream;
    txn.m_bReadUntilClose = true;
    COrvHttpResponseStream body(&m.reader, &txn);
    COrvGzipStream gz(&body);
    COrvError err;
    ASSERT_TRUE(gz.Open(false, err));
    EXPECT_EQ(sFirst + "second", Drain(gz, err, 777));
    EXPECT_EQ(enNetEndOfStream, err.Code()) << err.Text();
}
