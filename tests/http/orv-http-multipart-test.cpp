// The multipart writer, checked against Python's email parser, and the form-submit parser.
#include <string>

#include "orv-http-multipart.h"
#include "orv-http-test-util.h"
#include "orv-http-wire.h"
#include "orv-test-support.h"

namespace {

// Writes a crash-report-like upload into a sink: a text part, a file part, the closing line.
// Returns the length computed beforehand from the measuring calls.
int64_t WriteUpload(COrvMemorySink& sink, COrvHttpTxn& txn, const COrvStringA& sBoundary,
                    const std::string& sFile, COrvError& err) {
    const char* pszText = "form-data; name=\"destname\"";
    const char* pszFile = "form-data; name=\"file\"; filename=\"tv_crash.zip\"";
    const int64_t nLen = OrvHttpMultipartTextPart(nullptr, nullptr, sBoundary, pszText,
                                                  "text/plain", "dest/x", err) +
                         OrvHttpMultipartFileHeader(nullptr, nullptr, sBoundary, pszFile,
                                                    "application/octet-stream", err) +
                         static_cast<int64_t>(sFile.size()) +
                         OrvHttpMultipartFileEnd(nullptr, nullptr, err) +
                         OrvHttpMultipartClose(nullptr, nullptr, sBoundary, err);
    txn.m_n64BodyLen = nLen;
    EXPECT_GT(
        OrvHttpMultipartTextPart(&sink, &txn, sBoundary, pszText, "text/plain", "dest/x", err), 0);
    EXPECT_GT(OrvHttpMultipartFileHeader(&sink, &txn, sBoundary, pszFile,
                                         "application/octet-stream", err),
              0);
    EXPECT_TRUE(OrvHttpWriteBody(sink, txn, sFile.data(), static_cast<int64_t>(sFile.size()), err));
    EXPECT_EQ(2, OrvHttpMultipartFileEnd(&sink, &txn, err));
    EXPECT_GT(OrvHttpMultipartClose(&sink, &txn, sBoundary, err), 0);
    return nLen;
}

std::string BinaryFile() {
    std::string s;
    for (int i = 0; i < 5000; ++i)
        s += static_cast<char>((i * 37) & 0xFF);
    s += "\r\n--not-the-boundary\r\n";
    return s;
}

}  // namespace

TEST(HttpMultipart, UploadParsedByPythonsEmailParser) {
    OrvTempDir dir;
    COrvStringA sBoundary;
    COrvError err;
    ASSERT_TRUE(OrvHttpNewBoundary(sBoundary, err));
    const std::string sFile = BinaryFile();
    COrvMemorySink sink;
    COrvHttpTxn txn;
    const int64_t nLen = WriteUpload(sink, txn, sBoundary, sFile, err);
    ASSERT_FALSE(err.Failed()) << err.Text().GetString();
    ASSERT_EQ(nLen, sink.Data().GetLength());

    const std::string sMessage = "Content-Type: multipart/form-data; boundary=\"" +
                                 ToStd(sBoundary) + "\"\r\nMIME-Version: 1.0\r\n\r\n" +
                                 ToStd(sink.Data());
    ASSERT_TRUE(OrvWriteFileBytes(dir.File("msg"), sMessage));
    ASSERT_TRUE(OrvWriteFileBytes(
        dir.File("check.py"),
        "import sys, email, email.policy\n"
        "m = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.HTTP)\n"
        "assert m.is_multipart(), 'not multipart'\n"
        "for p in m.iter_parts():\n"
        "    d, n = p.get_payload(decode=True), p.get_param('name', header='content-disposition')\n"
        "    print(n, p.get_filename(), p.get_content_type(), len(d))\n"
        "    open(sys.argv[1] + '.' + n, 'wb').write(d)\n"));
    int nStatus = 0;
    const std::string sOut = OrvRunCapture(
        "python3 " + dir.File("check.py") + " " + dir.File("msg") + " 2>&1", &nStatus);
    ASSERT_EQ(0, nStatus) << sOut;
    EXPECT_EQ("destname None text/plain 6\nfile tv_crash.zip application/octet-stream " +
                  std::to_string(sFile.size()) + "\n",
              sOut);
    EXPECT_EQ(sFile, OrvReadFileBytes(dir.File("msg.file")));
    EXPECT_EQ("dest/x", OrvReadFileBytes(dir.File("msg.destname")));
}

TEST(HttpMultipart, HeaderInjectionIsRefused) {
    COrvHttpTxn txn;
    COrvMemorySink sink;
    COrvError err;
    EXPECT_EQ(-1, OrvHttpMultipartTextPart(&sink, &txn, "b", "form-data; name=\"a\"\r\nX: 1",
                                           "text/plain", "v", err));
    EXPECT_EQ(enNetBadRequest, err.Code());
    EXPECT_EQ(0, sink.Data().GetLength());
}

TEST(HttpFormSubmit, RoundTripFromTheWriter) {
    COrvStringA sBoundary;
    COrvError err;
    ASSERT_TRUE(OrvHttpNewBoundary(sBoundary, err));
    const std::string sFile = BinaryFile() + std::string("\0\0tail", 6);
    COrvMemorySink sink;
    COrvHttpTxn txn;
    WriteUpload(sink, txn, sBoundary, sFile, err);
    COrvArray<COrvHttpFormPart> parts;
    ASSERT_TRUE(OrvHttpParseFormSubmit("multipart/form-data; boundary=" + sBoundary, sink.Data(),
                                       parts, err))
        << err.Text().GetString();
    ASSERT_EQ(2u, parts.GetCount());
    EXPECT_EQ("destname|dest/x|text/plain|file|tv_crash.zip",
              ToStd(parts[0].m_sName + "|" + parts[0].m_sData + "|" + parts[0].m_sContentType +
                    "|" + parts[1].m_sName + "|" + parts[1].m_sFileName));
    EXPECT_EQ(sFile, ToStd(parts[1].m_sData));
}

TEST(HttpFormSubmit, MalformedBodies) {
    const char* pszType = "multipart/form-data; boundary=\"XX\"";
    const std::string sPart = "--XX\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n";
    const struct {
        const char* pszType;
        std::string sBody;
        const char* pszText;
    } cases[] = {
        {pszType, "junk" + sPart, "Bad part start at pos 0 in submit body"},
        {pszType, "--XX\r\nContent-Disposition: form-data; name=a\n\nv\r\n--XX--",
         "No \\r in header end in form submit body: header_end=44"},
        {pszType, sPart.substr(0, sPart.size() - 2),
         "Cannot find end boundary in submit body: header_start=6"},
    };
    for (const auto& c : cases) {
        COrvArray<COrvHttpFormPart> parts;
        COrvError err;
        EXPECT_FALSE(OrvHttpParseFormSubmit(c.pszType, ToOrv(c.sBody), parts, err)) << c.pszText;
        EXPECT_STREQ(c.pszText, err.Text());
        EXPECT_EQ(enNetBadRequest, err.Code());
    }
}
