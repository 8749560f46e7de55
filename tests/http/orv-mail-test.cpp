// The mail sender against a real SMTP server (aiosmtpd on loopback, started by the tests), its
// messages read back by Python's email package; the address validator, the reply reader, the
// quoted-printable and header-word encoders and the stored settings.
#include "orv-mail.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "orv-socket.h"
#include "orv-ssl.h"
#include "orv-test-servers.h"
#include "orv-test-support.h"

namespace {

const std::string kPeer = ORV_SMTP_PEER_SCRIPT;

// The test CA, and a server certificate it signed for 127.0.0.1.
class MailCerts {
public:
    static MailCerts& Get() {
        static MailCerts certs;
        return certs;
    }
    std::string Ca() const { return m_dir.File("ca.pem"); }
    std::string Cert() const { return m_dir.File("srv.pem"); }
    std::string Key() const { return m_dir.File("srv.key"); }
    bool Ok() const { return m_bOk; }

private:
    MailCerts() {
        const std::string d = m_dir.Path();
        OrvWriteFileBytes(d + "/ext", "subjectAltName=IP:127.0.0.1\n");
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
        m_bOk = OrvTestRunShell("cd " + d + " && openssl req -x509" + ec +
                                "-keyout ca.key -out ca.pem -days 2 -subj /CN=orv-mail-ca "
                                ">/dev/null 2>&1 && openssl req" +
                                ec +
                                "-keyout srv.key -out srv.csr -subj /CN=127.0.0.1 "
                                ">/dev/null 2>&1 && openssl x509 -req -in srv.csr -CA ca.pem "
                                "-CAkey ca.key -CAcreateserial -out srv.pem -days 2 -extfile "
                                "ext >/dev/null 2>&1") == 0;
    }
    OrvTempDir m_dir;
    bool m_bOk = false;
};

// One server of the peer script, with its spool folder.
class SmtpPeer {
public:
    bool Start(const std::vector<std::string>& opts) {
        std::vector<std::string> argv = {"/usr/bin/python3", kPeer, "serve", m_dir.Path()};
        argv.insert(argv.end(), opts.begin(), opts.end());
        argv.push_back(MailCerts::Get().Cert());
        argv.push_back(MailCerts::Get().Key());
        std::string error;
        if (!m_proc.Start(argv, m_dir.File("peer.log"), error))
            return false;
        return OrvWaitFor(
                   [&] {
                       const std::string out = m_proc.Output();
                       const size_t i = out.find("PORT ");
                       m_nPort = i == std::string::npos ? 0 : atoi(out.c_str() + i + 5);
                       return m_nPort > 0 || !m_proc.Running();
                   },
                   20000) &&
               m_nPort > 0;
    }
    int Port() const { return m_nPort; }
    std::string Spool(int n, const char* pszExt) const {
        return m_dir.File("msg-" + std::to_string(n) + pszExt);
    }
    bool HasMessage() const { return access(Spool(1, ".eml").c_str(), F_OK) == 0; }
    // What Python's email package read from message n; attachments as att-N in the folder.
    std::map<std::string, std::string> Parse(int n) const {
        std::map<std::string, std::string> out;
        const std::string text = OrvRunCapture("/usr/bin/python3 " + kPeer + " parse " +
                                               Spool(n, ".eml") + " " + m_dir.Path() + " 2>&1");
        size_t i = 0;
        while (i < text.size()) {
            size_t e = text.find('\n', i);
            if (e == std::string::npos)
                e = text.size();
            const std::string line = text.substr(i, e - i);
            const size_t eq = line.find('=');
            out[line.substr(0, eq)] = eq == std::string::npos ? line : line.substr(eq + 1);
            i = e + 1;
        }
        return out;
    }
    std::string File(const std::string& name) const { return m_dir.File(name); }

private:
    OrvTempDir m_dir;
    OrvTestProcess m_proc;
    int m_nPort = 0;
};

class MailTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MailCerts::Get().Ok()) << "openssl is needed (package openssl)";
        m_settings.strSmtpServer = "127.0.0.1";
        m_settings.strSenderEmail = "sender@orv-mail.test";
        m_msg.strRecipients = "one@orv-mail.test";
        m_msg.strSubject = "Status";
        m_msg.strBody = "Hello\n";
    }
    void StartPeer(const std::vector<std::string>& opts) {
        ASSERT_TRUE(m_peer.Start(opts)) << "python3-aiosmtpd is needed";
        m_settings.nPort = m_peer.Port();
    }
    std::string Envelope() const { return OrvReadFileBytes(m_peer.Spool(1, ".env")); }

    OrvMailSettings m_settings;
    OrvMailMessage m_msg;
    SmtpPeer m_peer;
};

TEST_F(MailTest, DeliversHeadersBodyAndAttachmentsThatPythonReadsBack) {
    StartPeer({});
    OrvTempDir files;
    std::mt19937 rng(35);
    std::string binary(5 * 1024 * 1024, '\0');
    for (char& c : binary)
        c = static_cast<char>(rng());
    const std::string text = "line one\r\n.dot line\nSchlu\xc3\x9f\n";
    ASSERT_TRUE(OrvWriteFileBytes(files.File("notes.txt"), text));
    ASSERT_TRUE(OrvWriteFileBytes(files.File("data.bin"), binary));
    ASSERT_TRUE(OrvWriteFileBytes(files.File("empty.dat"), ""));
    m_msg.attachments.Add(files.File("notes.txt").c_str());
    m_msg.attachments.Add(files.File("data.bin").c_str());
    m_msg.attachments.Add(files.File("empty.dat").c_str());
    m_msg.strRecipients = "one@orv-mail.test; Two <two@orv-mail.test>,three@orv-mail.test";
    const std::string subject =
        "Gr\xc3\xbc\xc3\x9f\x65 \xe2\x80\x94 a subject long enough to "
        "need more than one encoded word \xe2\x9c\x93";
    m_msg.strSubject = subject.c_str();
    m_msg.strSenderName = "J\xc3\xb6rg \"the sender\"";
    m_msg.strBody = ".starts with a dot\n.\nmiddle\r\n..two\n";
    COrvError err;
    const time_t tSent = time(nullptr);
    ASSERT_TRUE(OrvSendMail(m_settings, m_msg, err)) << err.Text().GetString();

    EXPECT_EQ(
        "from=sender@orv-mail.test\nto=one@orv-mail.test,two@orv-mail.test,"
        "three@orv-mail.test\nlogin=\ntls=0\n",
        Envelope());
    auto m = m_peer.Parse(1);
    EXPECT_EQ("1", m["to-count"]);
    EXPECT_EQ("one@orv-mail.test,two@orv-mail.test,three@orv-mail.test", m["to"]);
    EXPECT_EQ(subject, m["subject"]);
    EXPECT_EQ("J\xc3\xb6rg \"the sender\"|sender@orv-mail.test", m["from"]);
    EXPECT_EQ("1.0", m["mime-version"]);
    EXPECT_NE(std::string::npos, m["message-id"].find("@orv-mail.test>"));
    EXPECT_NEAR(static_cast<double>(tSent), atof(m["date"].c_str()), 60.0);
    EXPECT_EQ("0", m["defects"]);
    EXPECT_EQ("text/plain", m["body-type"]);
    EXPECT_EQ(".starts with a dot\n.\nmiddle\n..two\n", OrvReadFileBytes(m_peer.File("body")));
    EXPECT_EQ("3", m["attachments"]);
    EXPECT_EQ("notes.txt|text/plain|0", m["att-0"]);
    EXPECT_EQ("data.bin|application/octet-stream|0", m["att-1"]);
    EXPECT_EQ("empty.dat|application/octet-stream|0", m["att-2"]);
    EXPECT_EQ(text, OrvReadFileBytes(m_peer.File("att-0")));
    EXPECT_TRUE(binary == OrvReadFileBytes(m_peer.File("att-1")));
    EXPECT_EQ("", OrvReadFileBytes(m_peer.File("att-2")));
    EXPECT_LE(atoi(m["longest-line"].c_str()), 76);
}

// An HTML body goes as HTML; a body line or a subject longer than SMTP carries arrives whole,
// in lines SMTP carries.
TEST_F(MailTest, LongAndHtmlContentArrivesAsWritten) {
    StartPeer({});
    const std::string longLine = std::string(1500, 'w') + " \t";
    const std::string longSubject = "Report " + std::string(1200, 's');
    const struct {
        std::string subject;
        std::string body;
        const char* pszType;
        std::string expected;
    } cases[] = {
        {"Status", "<html><body><p>Hi</p></body></html>\n", "text/html", ""},
        {longSubject, ".lead\r\n" + longLine + "\r\n.\n\xc3\xa4 end \n", "text/plain",
         ".lead\n" + longLine + "\n.\n\xc3\xa4 end \n"},
    };
    int n = 0;
    for (const auto& c : cases) {
        m_msg.strSubject = c.subject.c_str();
        m_msg.strBody = c.body.c_str();
        COrvError err;
        ASSERT_TRUE(OrvSendMail(m_settings, m_msg, err)) << err.Text().GetString();
        auto m = m_peer.Parse(++n);
        EXPECT_EQ(c.subject, m["subject"]);
        EXPECT_EQ(c.pszType, m["body-type"]);
        EXPECT_EQ(c.expected.empty() ? c.body : c.expected, OrvReadFileBytes(m_peer.File("body")));
        EXPECT_LE(atoi(m["longest-line"].c_str()), 998);
    }
}

TEST_F(MailTest, TlsFromTheStartVerifiesTheServerCertificate) {
    StartPeer({"--tls"});
    m_settings.bSecureSsl = true;
    // Without the test CA the certificate is not trusted.
    OrvSslCleanup();
    COrvError err;
    EXPECT_FALSE(OrvSendMail(m_settings, m_msg, err));
    EXPECT_EQ(enNetCertificate, err.Code()) << err.Text().GetString();
    EXPECT_FALSE(m_peer.HasMessage());

    m_settings.strTrustedCa = MailCerts::Get().Ca().c_str();
    COrvError err2;
    ASSERT_TRUE(OrvSendMail(m_settings, m_msg, err2)) << err2.Text().GetString();
    EXPECT_NE(std::string::npos, Envelope().find("tls=1"));
}

TEST_F(MailTest, StartTlsUpgradesBeforeTheLogin) {
    StartPeer({"--starttls", "--auth"});
    m_settings.bStartTls = true;
    m_settings.strTrustedCa = MailCerts::Get().Ca().c_str();
    m_settings.strUserId = "mailuser";
    m_settings.strPassword = "wrong";
    COrvError err;
    EXPECT_FALSE(OrvSendMail(m_settings, m_msg, err));
    EXPECT_EQ(enNetAuth, err.Code());
    EXPECT_EQ(0, strncmp(err.Text(), "not authenticated: 535", 22)) << err.Text().GetString();

    m_settings.strPassword = "secret";
    COrvError err2;
    ASSERT_TRUE(OrvSendMail(m_settings, m_msg, err2)) << err2.Text().GetString();
    EXPECT_EQ("from=sender@orv-mail.test\nto=one@orv-mail.test\nlogin=mailuser\ntls=1\n",
              Envelope());
}

TEST_F(MailTest, WithoutStartTlsOfferedMailGoesPlainButNeverThePassword) {
    StartPeer({"--auth"});
    m_settings.bStartTls = true;
    m_settings.strUserId = "mailuser";
    m_settings.strPassword = "secret";
    COrvError err;
    EXPECT_FALSE(OrvSendMail(m_settings, m_msg, err));
    EXPECT_EQ(enNetAuth, err.Code());
    EXPECT_NE(nullptr, strstr(err.Text(), "does not offer STARTTLS")) << err.Text().GetString();
    EXPECT_FALSE(m_peer.HasMessage());

    m_settings.strUserId = "";
    COrvError err2;
    ASSERT_TRUE(OrvSendMail(m_settings, m_msg, err2)) << err2.Text().GetString();
    EXPECT_NE(std::string::npos, Envelope().find("tls=0"));
}

TEST_F(MailTest, RefusalsAndBrokenConnectionsAreFailures) {
    struct Case {
        std::vector<std::string> opts;
        int nCode;
        const char* pszPrefix;
    } cases[] = {
        {{"--reject", "two@orv-mail.test"}, enNetServer, "bad recipient: 550 5.1.1"},
        {{"--greet421"}, enNetServer, "not welcome: 421 4.3.2"},
        {{"--drop-in-data"}, enNetConnection, ""},
    };
    for (const Case& c : cases) {
        SmtpPeer peer;
        ASSERT_TRUE(peer.Start(c.opts));
        m_settings.nPort = peer.Port();
        m_msg.strRecipients = "one@orv-mail.test;two@orv-mail.test";
        m_msg.strBody = COrvStringA('x', 1 << 20) + "\n";
        COrvError err;
        EXPECT_FALSE(OrvSendMail(m_settings, m_msg, err)) << c.opts[0];
        EXPECT_EQ(c.nCode, err.Code()) << err.Text().GetString();
        EXPECT_EQ(0, strncmp(err.Text(), c.pszPrefix, strlen(c.pszPrefix)))
            << err.Text().GetString();
        EXPECT_FALSE(peer.HasMessage());
    }
}

TEST_F(MailTest, BadInputIsRefusedBeforeConnecting) {
    // Port 1 on loopback: a connection attempt would fail with another text.
    m_settings.nPort = 1;
    struct Case {
        void (*mutate)(OrvMailSettings&, OrvMailMessage&);
        const char* pszText;
    } cases[] = {
        {[](OrvMailSettings& s, OrvMailMessage&) { s.strSmtpServer = ""; },
         "SMTP server is not specified, set it up in Tools -> Program Options -> Connect"},
        {[](OrvMailSettings&, OrvMailMessage& m) { m.strRecipients = " ; ,"; },
         "Recipient Email address cannot be empty"},
        {[](OrvMailSettings& s, OrvMailMessage&) { s.strSenderEmail = ""; },
         "Sender Email address cannot be empty"},
        {[](OrvMailSettings&, OrvMailMessage& m) { m.strSubject = "Hi\r\nBcc: x@evil.test"; },
         "Subject cannot contain CR or LF"},
        {[](OrvMailSettings&, OrvMailMessage& m) { m.strSenderName = "A\nB"; },
         "Sender name cannot contain CR or LF"},
        {[](OrvMailSettings&, OrvMailMessage& m) { m.strRecipients = "a@b.test>\r\nDATA"; },
         "Recipient Email address cannot contain CR or LF"},
        {[](OrvMailSettings& s, OrvMailMessage&) { s.strSenderEmail = "a@b.test\rRSET"; },
         "Sender Email address cannot contain CR or LF"},
        {[](OrvMailSettings&, OrvMailMessage& m) {
             m.strRecipients = "ok@b.test; a@b.test> NOTIFY=NEVER";
         },
         "Recipient Email address cannot contain spaces, control characters, '<' or '>'"},
        {[](OrvMailSettings& s, OrvMailMessage&) { s.strReturnPath = "r@b.test>SIZE=1"; },
         "Return path cannot contain spaces"},
        {[](OrvMailSettings&, OrvMailMessage& m) { m.attachments.Add("/tmp/x\ny.txt"); },
         "Attachment file name cannot contain CR or LF"},
        {[](OrvMailSettings&, OrvMailMessage& m) { m.attachments.Add("/nonexistent/a.txt"); },
         "attachment: "},
    };
    for (const Case& c : cases) {
        OrvMailSettings s = m_settings;
        OrvMailMessage m;
        m.strRecipients = m_msg.strRecipients;
        m.strSubject = m_msg.strSubject;
        c.mutate(s, m);
        COrvError err;
        EXPECT_FALSE(OrvSendMail(s, m, err));
        EXPECT_EQ(0, strncmp(err.Text(), c.pszText, strlen(c.pszText))) << err.Text().GetString();
    }
}

TEST(MailReplyTest, ReadsRepliesAndRefusesBrokenOnes) {
    struct Case {
        const char* pszWire;
        bool bOk;
        int nCode;
        const char* pszText;
    } cases[] = {
        {"220 ready\r\n", true, 220, "ready"},
        {"250-orv.test\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n", true, 250,
         "orv.test; STARTTLS; AUTH LOGIN"},
        {"354\r\n", true, 354, ""},
        {"250-a\r\n251 b\r\n", false, enNetServer, "bad reply from srv: 251 b"},
        {"hello\r\n", false, enNetServer, "bad reply from srv: hello"},
        {"25\r\n", false, enNetServer, "bad reply from srv: 25"},
        {"", false, enNetConnection, "reading reply from srv: socket closed (EOF)"},
        {"250-more\r\n", false, enNetConnection, "Server EOF"},
    };
    for (const Case& c : cases) {
        int fds[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        ASSERT_EQ(static_cast<ssize_t>(strlen(c.pszWire)),
                  write(fds[1], c.pszWire, strlen(c.pszWire)));
        close(fds[1]);
        COrvSocket sock;
        sock.Attach(fds[0], "srv");
        OrvSmtpReply reply;
        COrvError err;
        EXPECT_EQ(c.bOk, OrvSmtpReadReply(sock, "srv", reply, err)) << c.pszWire;
        EXPECT_EQ(c.nCode, c.bOk ? reply.nCode : err.Code()) << c.pszWire;
        EXPECT_STREQ(c.pszText, c.bOk ? reply.strText.GetString() : err.Text().GetString());
    }
}

TEST(MailAddressTest, ValidatesAddresses) {
    const struct {
        const char* pszAddress;
        const char* pszError;  // "" when valid
    } cases[] = {
        {"john.o'neil+tag@mail.example.com", ""},
        {"a_b-c@xn--bcher-kva.de", ""},
        {"", "Email address cannot be empty"},
        {"a@b.c", "E-mail address is too short: a@b.c"},
        {"john.example.com", "E-mail address does not contain '@': john.example.com"},
        {"a@b@example.com", "E-mail address cannot contain more than one '@': a@b@example.com"},
        {"john..doe@example.com", "E-mail address cannot contain '..': john..doe@example.com"},
        {".john@example.com", "E-mail address cannot start with '.': .john@example.com"},
        {"john@example.com.", "E-mail address cannot end with '.': john@example.com."},
        {"john+@example.com", "E-mail box name cannot end with '+'"},
        {"jo hn@example.com",
         "E-mail box name cannot contain character ' ', it can be only a-z A-Z 0-9 _ - @ . + '"},
        {"john@exa_mple.com",
         "E-mail server name cannot contain character '_', it can be only a-z A-Z 0-9 - ."},
        {"_-_@example.com", "E-mail name does not contain letters or digits"},
        {"john@a.b", "E-mail server name is too short"},
        {"john@localhost", "E-mail server name is invalid"},
        {"john@10.0.0.1", "E-mail server name is invalid"},
    };
    for (const auto& c : cases) {
        int nCode = -1;
        COrvStringA strError;
        EXPECT_EQ(*c.pszError == 0, OrvValidateEmail(c.pszAddress, nCode, strError));
        EXPECT_STREQ(c.pszError, strError.GetString());
        EXPECT_EQ(*c.pszError ? enNetBadRequest : enNetOk, nCode);
    }
}

// Inputs of the shapes the encoder treats apart: binary, text with long lines, white space at
// line ends, dots at line starts, every line-end form, text and binary in one file, of sizes
// that end anywhere in a line or a block.
std::vector<std::string> QpCorpus() {
    std::mt19937 rng(2045);
    const auto pick = [&](const std::string& alphabet, size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i)
            s += alphabet[rng() % alphabet.size()];
        return s;
    };
    const auto binary = [&](size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i)
            s += static_cast<char>(rng());
        return s;
    };
    const auto text = [&](size_t n) {
        static const char* const kEnds[] = {"\r\n", "\n", "\r", " \r\n", "\t\n", "  "};
        std::string s;
        while (s.size() < n) {
            if (rng() % 4 == 0)
                s += std::string(1 + rng() % 3, '.');
            s += pick("abcdefghij KLMNOP=,;.\t", rng() % 300) + kEnds[rng() % 6];
        }
        return s.substr(0, n);
    };
    std::vector<std::string> corpus;
    std::string all;
    for (int c = 0; c < 256 * 3; ++c)
        all += static_cast<char>(c);
    corpus.push_back(all);
    corpus.push_back("");
    corpus.push_back(std::string(200, '.'));
    corpus.push_back(std::string(150, 'a') + "=" + std::string(80, ' ') + "x\t");
    for (size_t n = 1; n < 40; ++n) {
        corpus.push_back(binary(n));
        corpus.push_back(pick(". \t\r\na=", n));
    }
    for (int i = 0; i < 30; ++i) {
        const size_t n = 1 + rng() % 5000;
        corpus.push_back(binary(n));
        corpus.push_back(text(n));
        corpus.push_back(text(n) + binary(n) + text(n));
    }
    return corpus;
}

// Every input comes back byte for byte from Python's two quoted-printable decoders (the C one
// and the pure one, which also drops white space at line ends), in lines of at most 76
// characters, none starting with a dot, all but the last ending in a soft break.
TEST(MailEncodingTest, QuotedPrintableRoundTripsThroughPythonInShortLines) {
    OrvTempDir dir;
    const std::vector<std::string> corpus = QpCorpus();
    for (size_t n = 0; n < corpus.size(); ++n) {
        COrvStringA out("kept ");
        COrvError err;
        ASSERT_TRUE(OrvQuotedPrintableEncode(corpus[n].data(), corpus[n].size(), out, err));
        ASSERT_EQ(0, strncmp("kept ", out.GetString(), 5));
        const std::string enc(out.GetString() + 5, out.GetLength() - 5);
        ASSERT_TRUE(OrvWriteFileBytes(dir.File(std::to_string(n) + ".in"), corpus[n]));
        ASSERT_TRUE(OrvWriteFileBytes(dir.File(std::to_string(n) + ".qp"), enc));
        for (size_t iLine = 0; iLine < enc.size();) {
            size_t e = enc.find("\r\n", iLine);
            const bool bLast = e == std::string::npos;
            e = bLast ? enc.size() : e;
            const std::string line = enc.substr(iLine, e - iLine);
            ASSERT_LE(line.size(), 76u) << n;
            EXPECT_EQ(std::string::npos, line.find_first_of("\r\n")) << n;
            EXPECT_NE('.', line[0]) << n;
            EXPECT_TRUE(bLast || line.back() == '=') << n;
            EXPECT_FALSE(bLast && (line.back() == ' ' || line.back() == '\t')) << n;
            iLine = e + 2;
        }
    }
    const std::string report =
        OrvRunCapture("/usr/bin/python3 " + kPeer + " qp-decode " + dir.Path() + " 2>&1");
    EXPECT_EQ("checked " + std::to_string(corpus.size()) + "\n", report);
}

// Output a string cannot hold is refused before any byte is read (the input here is shorter
// than its stated length); output the allocator refuses fails as well; both keep the string.
TEST(MailEncodingTest, QuotedPrintableRefusesOutputItCannotHold) {
    static OrvStringAllocator s_prev;
    s_prev = g_orv_string_alloc;
    const std::string input(1 << 20, '\xff');
    const struct {
        size_t nLen;
        bool bSmallAllocator;
    } cases[] = {{size_t{600} << 20, false}, {input.size(), true}};
    for (const auto& c : cases) {
        COrvStringA out("kept");
        if (c.bSmallAllocator) {
            g_orv_string_alloc.pfnAlloc = [](size_t n) {
                return n > (2u << 20) ? nullptr : s_prev.pfnAlloc(n);
            };
            g_orv_string_alloc.pfnRealloc = [](void* p, size_t n) {
                return n > (2u << 20) ? nullptr : s_prev.pfnRealloc(p, n);
            };
        }
        COrvError err;
        const bool bOk = OrvQuotedPrintableEncode(input.data(), c.nLen, out, err);
        g_orv_string_alloc = s_prev;
        EXPECT_FALSE(bOk);
        EXPECT_EQ(enNetNoMemory, err.Code()) << err.Text().GetString();
        EXPECT_STREQ("kept", out);
    }
}

// The round trip of encoded words is the subject check of the delivery test (and a fuzz
// target's); here the forms other mailers write.
TEST(MailEncodingTest, DecodesBothWordForms) {
    EXPECT_STREQ("caf\xc3\xa9 au lait", OrvMailDecodeHeader("=?utf-8?Q?caf=C3=A9_au?= lait"));
    EXPECT_STREQ("\xc3\xa9t\xc3\xa9", OrvMailDecodeHeader("=?ISO-8859-1?q?=E9?= =?UTF-8?B?dMOp?="));
    EXPECT_STREQ("=?koi8-r?B?9A==?=", OrvMailDecodeHeader("=?koi8-r?B?9A==?="));
}

TEST(MailSettingsTest, SavesPrivatelyAndLoadsBack) {
    OrvTempDir dir;
    const std::string path = dir.File("mail.cfg");
    ASSERT_TRUE(OrvWriteFileBytes(path, "old"));
    ASSERT_EQ(0, chmod(path.c_str(), 0644));
    OrvMailSettings s;
    s.strSmtpServer = "smtp.orv-mail.test";
    s.nPort = 587;
    s.strUserId = "user<&>";
    s.strPassword = "p\xc3\xa4ss</PasswordEncrd>\nword";
    s.bStartTls = true;
    s.strSenderEmail = "me@orv-mail.test";
    s.strReturnPath = "bounce@orv-mail.test";
    s.strTrustedCa = "/etc/ca.pem";
    COrvError err;
    ASSERT_TRUE(OrvSaveMailSettings(path.c_str(), s, err)) << err.Text().GetString();
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    const std::string file = OrvReadFileBytes(path);
    EXPECT_NE(std::string::npos, file.find("<SmtpServer>smtp.orv-mail.test</SmtpServer>\n"));
    EXPECT_NE(std::string::npos, file.find("<StartTls>1</StartTls>\n"));
    EXPECT_EQ(std::string::npos, file.find("\xc3\xa4"));

    OrvMailSettings l;
    ASSERT_TRUE(OrvLoadMailSettings(path.c_str(), l, err)) << err.Text().GetString();
    EXPECT_EQ(s.strSmtpServer, l.strSmtpServer);
    EXPECT_EQ(587, l.nPort);
    EXPECT_EQ(s.strUserId, l.strUserId);
    EXPECT_EQ(s.strPassword, l.strPassword);
    EXPECT_FALSE(l.bSecureSsl);
    EXPECT_TRUE(l.bStartTls);
    EXPECT_EQ(s.strSenderEmail, l.strSenderEmail);
    EXPECT_EQ(s.strReturnPath, l.strReturnPath);
    EXPECT_EQ(s.strTrustedCa, l.strTrustedCa);

    // A damaged password fails the load and leaves the settings as they were.
    ASSERT_TRUE(OrvWriteFileBytes(
        path,
        "<SmtpServer>x</SmtpServer>\n<PasswordEncrd>QUJDREVGR0hJSktMTU5PUFFSU1RVVg==</"
        "PasswordEncrd>\n"));
    EXPECT_FALSE(OrvLoadMailSettings(path.c_str(), l, err));
    EXPECT_EQ(s.strSmtpServer, l.strSmtpServer);
}

}  // namespace
