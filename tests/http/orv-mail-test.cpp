// The mail sender against a real SMTP server (aiosmtpd on loopback, started by the tests), its
// messages read back by Python's email package; the reply reader, the quoted-printable and
// header-word encoders and the stored settings.
#include "orv-mail.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The folder with the test CA (ca.pem) and a server certificate it signed for 127.0.0.1
// (srv.pem, srv.key); empty when openssl failed.
const std::string& CertDir() {
    static OrvTempDir s_dir;
    static const std::string s_path = [] {
        const std::string req =
            "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
        const std::string cmd =
            "cd " + s_dir.Path() + " && (" + req +
            "-x509 -keyout ca.key -out ca.pem -days 2 -subj /CN=orv-mail-ca && " + req +
            "-keyout srv.key -out srv.csr -subj /CN=127.0.0.1 && openssl "
            "x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
            "-out srv.pem -days 2 -extfile ext) >/dev/null 2>&1";
        const bool bOk = OrvWriteFileBytes(s_dir.File("ext"), "subjectAltName=IP:127.0.0.1\n") &&
                         OrvTestRunShell(cmd) == 0;
        return bOk ? s_dir.Path() : std::string();
    }();
    return s_path;
}

// One server of the peer script, with its spool folder.
class SmtpPeer {
public:
    bool Start(std::vector<std::string> opts) {
        opts.insert(opts.begin(), {"/usr/bin/python3", kPeer, "serve", m_dir.Path()});
        opts.insert(opts.end(), {CertDir() + "/srv.pem", CertDir() + "/srv.key"});
        std::string error;
        return m_proc.Start(opts, m_dir.File("peer.log"), error) &&
               OrvWaitFor(
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
    std::string Envelope(int n = 1) const { return File(Msg(n, ".env")); }
    bool HasMessage() const { return access(m_dir.File(Msg(1, ".eml")).c_str(), F_OK) == 0; }
    // What Python's email package read from message n; body and attachments (att-N) as files.
    std::map<std::string, std::string> Parse(int n) const {
        std::map<std::string, std::string> out;
        const std::string text =
            OrvRunCapture("/usr/bin/python3 " + kPeer + " parse " + m_dir.File(Msg(n, ".eml")) +
                          " " + m_dir.Path() + " 2>&1");
        for (size_t i = 0, e; i < text.size(); i = e + 1) {
            e = std::min(text.find('\n', i), text.size());
            const size_t eq = text.find('=', i);
            out[text.substr(i, std::min(eq, e) - i)] =
                eq < e ? text.substr(eq + 1, e - eq - 1) : "";
        }
        return out;
    }
    std::string File(const std::string& name) const { return OrvReadFileBytes(m_dir.File(name)); }

private:
    static std::string Msg(int n, const char* pszExt) {
        return "msg-" + std::to_string(n) + pszExt;
    }
    OrvTempDir m_dir;
    OrvTestProcess m_proc;
    int m_nPort = 0;
};

class MailTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(CertDir().empty()) << "openssl is needed (package openssl)";
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
    void Send() {
        COrvError err;
        ASSERT_TRUE(OrvSendMail(m_settings, m_msg, err)) << err.Text().GetString();
    }

    OrvMailSettings m_settings;
    OrvMailMessage m_msg;
    SmtpPeer m_peer;
};

// Headers, a body with dots at line starts, text, binary and empty attachments; then an HTML
// body, and a body line and a subject longer than SMTP carries, arriving whole in lines it does.
TEST_F(MailTest, DeliversWhatPythonReadsBack) {
    StartPeer({});
    OrvTempDir files;
    std::mt19937 rng(35);
    std::string binary(5 * 1024 * 1024, '\0');
    for (char& c : binary)
        c = static_cast<char>(rng());
    const std::string text = "line one\r\n.dot line\nSchlu\xc3\x9f\n";
    ASSERT_TRUE(OrvWriteFileBytes(files.File("notes.txt"), text) &&
                OrvWriteFileBytes(files.File("data.bin"), binary) &&
                OrvWriteFileBytes(files.File("empty.dat"), ""));
    for (const char* psz : {"notes.txt", "data.bin", "empty.dat"})
        m_msg.attachments.Add(files.File(psz).c_str());
    m_msg.strRecipients = "one@orv-mail.test; Two <two@orv-mail.test>,three@orv-mail.test";
    const std::string subject =
        "Gr\xc3\xbc\xc3\x9f\x65 \xe2\x80\x94 a subject long enough to need more than one encoded "
        "word \xe2\x9c\x93";
    m_msg.strSubject = subject.c_str();
    m_msg.strSenderName = "J\xc3\xb6rg \"the sender\"";
    m_msg.strBody = ".starts with a dot\n.\nmiddle\r\n..two\n";
    Send();
    const std::string to = "one@orv-mail.test,two@orv-mail.test,three@orv-mail.test";
    EXPECT_EQ("from=sender@orv-mail.test\nto=" + to + "\nlogin=\ntls=0\n", m_peer.Envelope());
    auto m = m_peer.Parse(1);
    const std::map<std::string, std::string> kWant = {
        {"to-count", "1"},
        {"to", to},
        {"subject", subject},
        {"from", "J\xc3\xb6rg \"the sender\"|sender@orv-mail.test"},
        {"defects", "0"},
        {"body-type", "text/plain"},
        {"attachments", "3"},
        {"att-0", "notes.txt|text/plain|0"},
        {"att-1", "data.bin|application/octet-stream|0"},
        {"att-2", "empty.dat|application/octet-stream|0"}};
    for (const auto& [key, value] : kWant)
        EXPECT_EQ(value, m[key]) << key;
    EXPECT_LE(atoi(m["longest-line"].c_str()), 76);
    EXPECT_EQ(".starts with a dot\n.\nmiddle\n..two\n", m_peer.File("body"));
    EXPECT_EQ(text, m_peer.File("att-0"));
    EXPECT_TRUE(binary == m_peer.File("att-1"));
    EXPECT_EQ("", m_peer.File("att-2"));

    // A body line and a subject longer than SMTP carries arrive whole.
    m_msg.attachments.RemoveAll();
    const std::string longLine = std::string(1500, 'w') + " \t", longSubject(1200, 's');
    m_msg.strSubject = longSubject.c_str();
    m_msg.strBody = (".lead\r\n" + longLine + "\r\n.\n").c_str();
    Send();
    m = m_peer.Parse(2);
    EXPECT_EQ(longSubject, m["subject"]);
    EXPECT_EQ(".lead\n" + longLine + "\n.\n", m_peer.File("body"));
    EXPECT_LE(atoi(m["longest-line"].c_str()), 998);
}

// TLS from the start and STARTTLS (trusting the test CA or not), logins, refusals and broken
// connections; a failure delivers nothing and never sends the password in the clear.
TEST_F(MailTest, SecurityLoginsAndServerFailures) {
    // clang-format off
    const struct {
        std::vector<std::string> opts;  // the peer's options
        bool bTls, bStartTls, bCa;
        const char* pszLogin;  // user:password, or ""
        int nCode;             // enNetOk: delivered
        const char* pszText;   // failure text start, or what the envelope holds
    } kCases[] = {
        {{"--tls"}, 1, 0, 0, "", enNetCertificate, ""},
        {{"--tls"}, 1, 0, 1, "", enNetOk, "login=\ntls=1\n"},
        {{"--starttls", "--auth"}, 0, 1, 1, "mailuser:wrong", enNetAuth, "not authenticated: 535"},
        {{"--starttls", "--auth"}, 0, 1, 1, "mailuser:secret", enNetOk, "login=mailuser\ntls=1\n"},
        {{"--auth"}, 0, 1, 0, "mailuser:secret", enNetAuth, "server 127.0.0.1 does not offer STAR"},
        {{"--reject", "two@orv-mail.test"}, 0, 0, 0, "", enNetServer, "bad recipient: 550 5.1.1"},
        {{"--drop-in-data"}, 0, 0, 0, "", enNetConnection, ""}};
    // clang-format on
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.opts[0] + " " + c.pszLogin);
        SmtpPeer peer;
        ASSERT_TRUE(peer.Start(c.opts)) << "python3-aiosmtpd is needed";
        OrvMailSettings s = m_settings;
        s.nPort = peer.Port();
        s.bSecureSsl = c.bTls;
        s.bStartTls = c.bStartTls;
        s.strTrustedCa = c.bCa ? (CertDir() + "/ca.pem").c_str() : "";
        const char* pszColon = strchr(c.pszLogin, ':');
        s.strUserId = pszColon ? std::string(c.pszLogin, pszColon).c_str() : "";
        s.strPassword = pszColon ? pszColon + 1 : "";
        if (!c.bCa)
            OrvSslCleanup();  // forget a CA trusted by an earlier case
        m_msg.strRecipients = "one@orv-mail.test;two@orv-mail.test";
        m_msg.strBody = COrvStringA('x', 1 << 20) + "\n";
        COrvError err;
        EXPECT_EQ(c.nCode == enNetOk, OrvSendMail(s, m_msg, err)) << err.Text().GetString();
        EXPECT_EQ(c.nCode, err.Code()) << err.Text().GetString();
        const std::string got = c.nCode == enNetOk ? peer.Envelope() : OrvStr(err.Text());
        const size_t at = got.find(c.pszText);  // in the envelope, or the start of the text
        EXPECT_TRUE(c.nCode == enNetOk ? at != std::string::npos : at == 0) << got;
        EXPECT_EQ(c.nCode == enNetOk, peer.HasMessage());
    }
}

TEST_F(MailTest, BadInputIsRefusedBeforeConnecting) {
    m_settings.nPort = 1;  // a connection attempt would fail with another text
    using S = OrvMailSettings;
    using M = OrvMailMessage;
    const struct {
        void (*mutate)(S&, M&);
        const char* pszText;
    } kCases[] = {
        {[](S&, M& m) { m.strSubject = "Hi\r\nBcc: x@evil.test"; }, "Subject cannot contain CR"},
        {[](S&, M& m) { m.strRecipients = "a@b.test>\r\nDATA"; },
         "Recipient Email address cannot contain CR"},
        {[](S&, M& m) { m.strRecipients = "ok@b.test; a@b.test> NOTIFY=NEVER"; },
         "Recipient Email address cannot contain spaces, control characters, '<' or '>'"}};
    for (const auto& c : kCases) {
        S s = m_settings;
        M m;
        m.strRecipients = m_msg.strRecipients;
        m.strSubject = m_msg.strSubject;
        c.mutate(s, m);
        COrvError err;
        EXPECT_FALSE(OrvSendMail(s, m, err));
        EXPECT_EQ(0, strncmp(err.Text(), c.pszText, strlen(c.pszText))) << err.Text().GetString();
    }
}

TEST(MailReplyTest, ReadsRepliesAndRefusesBrokenOnes) {
    const struct {
        const char* pszWire;
        int nCode;  // the reply's code, or the failure's
        const char* pszText;
    } kCases[] = {{"250-orv.test\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n", 250,
                   "orv.test; STARTTLS; AUTH LOGIN"},
                  {"", enNetConnection, "reading reply from srv: socket closed (EOF)"},
                  {"250-more\r\n", enNetConnection, "Server EOF"}};
    for (const auto& c : kCases) {
        int fds[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        ASSERT_EQ(static_cast<ssize_t>(strlen(c.pszWire)),
                  write(fds[1], c.pszWire, strlen(c.pszWire)));
        close(fds[1]);
        COrvSocket sock;
        sock.Attach(fds[0], "srv");
        OrvSmtpReply reply;
        COrvError err;
        const bool bOk = OrvSmtpReadReply(sock, "srv", reply, err);
        EXPECT_EQ(c.nCode > 100, bOk) << c.pszWire;
        EXPECT_EQ(c.nCode, bOk ? reply.nCode : err.Code()) << c.pszWire;
        EXPECT_STREQ(c.pszText, bOk ? reply.strText.GetString() : err.Text().GetString());
    }
}

// Every input comes back byte for byte from Python's two quoted-printable decoders (the C one
// and the pure one, which also drops white space at line ends), in lines of at most 76
// characters, none starting with a dot, all but the last ending in a soft break. The inputs
// have the shapes the encoder treats apart: binary, long lines, white space and dots at line
// edges, every line-end form, text and binary in one file, sizes ending anywhere in a block.
TEST(MailEncodingTest, QuotedPrintableRoundTripsThroughPythonInShortLines) {
    std::mt19937 rng(2045);
    const auto pick = [&](const std::string& alphabet, size_t n) {
        std::string s;
        while (s.size() < n)
            s += alphabet.empty() ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()];
        return s;
    };
    const auto text = [&](size_t n) {
        static const char* const kEnds[] = {"\r\n", "\n", "\r", " \r\n", "\t\n", "  "};
        std::string s;
        while (s.size() < n)
            s += std::string(rng() % 4 == 0 ? 1 + rng() % 3 : 0, '.') +
                 pick("abcdefghij KLMNOP=,;.\t", rng() % 300) + kEnds[rng() % 6];
        return s.substr(0, n);
    };
    std::vector<std::string> corpus = {"", std::string(200, '.'),
                                       std::string(150, 'a') + "=" + std::string(80, ' ') + "x\t"};
    for (int c = 0; c < 256 * 3; ++c)
        corpus[0] += static_cast<char>(c);
    for (size_t n = 1; n < 40; n += 3)
        corpus.insert(corpus.end(), {pick("", n), pick(". \t\r\na=", n)});
    for (int i = 0; i < 12; ++i) {
        const size_t n = 1 + rng() % 5000;
        corpus.insert(corpus.end(), {pick("", n), text(n), text(n) + pick("", n) + text(n)});
    }
    OrvTempDir dir;
    for (size_t n = 0; n < corpus.size(); ++n) {
        COrvStringA out("kept ");
        COrvError err;
        ASSERT_TRUE(OrvQuotedPrintableEncode(corpus[n].data(), corpus[n].size(), out, err));
        ASSERT_EQ(0, strncmp("kept ", out.GetString(), 5));
        const std::string enc = OrvStr(out).substr(5);
        ASSERT_TRUE(OrvWriteFileBytes(dir.File(std::to_string(n) + ".in"), corpus[n]) &&
                    OrvWriteFileBytes(dir.File(std::to_string(n) + ".qp"), enc));
        for (size_t iLine = 0, e; iLine < enc.size(); iLine = e + 2) {
            e = std::min(enc.find("\r\n", iLine), enc.size());
            const std::string line = enc.substr(iLine, e - iLine);
            ASSERT_LE(line.size(), 76u) << n;
            EXPECT_EQ(std::string::npos, line.find_first_of("\r\n")) << n;
            EXPECT_NE('.', line[0]) << n;
            EXPECT_TRUE(e == enc.size() ? line.back() != ' ' && line.back() != '\t'
                                        : line.back() == '=')
                << n;
        }
    }
    EXPECT_EQ("checked " + std::to_string(corpus.size()) + "\n",
              OrvRunCapture("/usr/bin/python3 " + kPeer + " qp-decode " + dir.Path() + " 2>&1"));
}

// Output a string cannot hold is refused before any byte is read (the input here is shorter
// than its stated length) and the string is kept. Encoded words of other mailers decode.
TEST(MailEncodingTest, RefusesOutputItCannotHoldAndDecodesBothWordForms) {
    const std::string input(1 << 20, '\xff');
    COrvStringA out("kept");
    COrvError err;
    EXPECT_FALSE(OrvQuotedPrintableEncode(input.data(), size_t{600} << 20, out, err));
    EXPECT_EQ(enNetNoMemory, err.Code()) << err.Text().GetString();
    EXPECT_STREQ("kept", out);
    EXPECT_STREQ("caf\xc3\xa9 au lait", OrvMailDecodeHeader("=?utf-8?Q?caf=C3=A9_au?= lait"));
    EXPECT_STREQ("\xc3\xa9t\xc3\xa9", OrvMailDecodeHeader("=?ISO-8859-1?q?=E9?= =?UTF-8?B?dMOp?="));
}

TEST(MailSettingsTest, SavesPrivatelyAndLoadsBack) {
    OrvTempDir dir;
    const std::string path = dir.File("mail.cfg");
    ASSERT_TRUE(OrvWriteFileBytes(path, "old") && chmod(path.c_str(), 0644) == 0);
    for (const bool bTls : {false, true}) {
        OrvMailSettings s, l;
        s.strSmtpServer = "smtp.orv-mail.test";
        s.nPort = 587;
        s.strUserId = "user<&>";
        s.strPassword = "p\xc3\xa4ss</PasswordEncrd>\nword";
        s.bSecureSsl = bTls;
        s.bStartTls = !bTls;
        s.strSenderEmail = "me@orv-mail.test";
        s.strReturnPath = "bounce@orv-mail.test";
        s.strTrustedCa = "/etc/ca.pem";
        COrvError err;
        ASSERT_TRUE(OrvSaveMailSettings(path.c_str(), s, err)) << err.Text().GetString();
        struct stat st;
        ASSERT_EQ(0, stat(path.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 0777);
        EXPECT_EQ(std::string::npos, OrvReadFileBytes(path).find("\xc3\xa4"));
        ASSERT_TRUE(OrvLoadMailSettings(path.c_str(), l, err)) << err.Text().GetString();
        for (const auto p : {&OrvMailSettings::strSmtpServer, &OrvMailSettings::strUserId,
                             &OrvMailSettings::strPassword, &OrvMailSettings::strSenderEmail,
                             &OrvMailSettings::strReturnPath, &OrvMailSettings::strTrustedCa})
            EXPECT_EQ(s.*p, l.*p);
        EXPECT_EQ(587, l.nPort);
        EXPECT_EQ(bTls, l.bSecureSsl);
        EXPECT_EQ(!bTls, l.bStartTls);
    }
    // A damaged password fails the load and leaves the settings as they were.
    ASSERT_TRUE(OrvWriteFileBytes(path,
                                  "<SmtpServer>x</SmtpServer>\n<PasswordEncrd>"
                                  "QUJDREVGR0hJSktMTU5PUFFSU1RVVg==</PasswordEncrd>\n"));
    OrvMailSettings l;
    l.strSmtpServer = "kept";
    COrvError err;
    EXPECT_FALSE(OrvLoadMailSettings(path.c_str(), l, err));
    EXPECT_STREQ("kept", l.strSmtpServer);
}

}  // namespace
