// TLS against `openssl s_server` on loopback with certificates the suite makes (a test CA; good,
// expired, single-label and wildcard server certificates), and against the library's own TLS
// server. Servers start once for the suite and stop at its end.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <chrono>
#include <map>
#include <regex>
#include <string>
#include <thread>

#include "orv-log.h"
#include "orv-net-test-util.h"
#include "orv-socket.h"
#include "orv-ssl-io.h"
#include "orv-ssl.h"
#include "orv-test-net.h"

namespace {

struct KeyAndCert {
    EVP_PKEY* pKey = nullptr;
    X509* pCert = nullptr;
};

// Makes a P-256 key and a certificate for pszCn with the alternative names given (a plain entry is
// a DNS name; "IP:..." and "DNS:..." are taken as written), valid from nFromDays to
// nToDays relative to now, signed by the issuer (self-signed when it is null).
KeyAndCert MakeCert(const char* pszCn, const std::vector<std::string>& dns, long nFromDays,
                    long nToDays, const KeyAndCert* pIssuer, bool bCa) {
    KeyAndCert kc;
    kc.pKey = EVP_EC_gen("P-256");
    kc.pCert = X509_new();
    X509_set_version(kc.pCert, 2);
    static long nSerial = 1;
    ASN1_INTEGER_set(X509_get_serialNumber(kc.pCert), ++nSerial);
    X509_gmtime_adj(X509_getm_notBefore(kc.pCert), nFromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(kc.pCert), nToDays * 86400);
    X509_set_pubkey(kc.pCert, kc.pKey);
    X509_NAME* pName = X509_get_subject_name(kc.pCert);
    X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(pszCn), -1, -1, 0);
    X509_set_issuer_name(kc.pCert,
                         pIssuer != nullptr ? X509_get_subject_name(pIssuer->pCert) : pName);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, pIssuer != nullptr ? pIssuer->pCert : kc.pCert, kc.pCert, nullptr, nullptr,
                   0);
    auto addExt = [&](int nid, const std::string& value) {
        X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
        X509_add_ext(kc.pCert, e, -1);
        X509_EXTENSION_free(e);
    };
    addExt(NID_basic_constraints, bCa ? "critical,CA:TRUE" : "CA:FALSE");
    if (bCa)
        addExt(NID_key_usage, "critical,keyCertSign,cRLSign");
    if (!dns.empty()) {
        std::string san;
        for (const std::string& d : dns) {
            const bool bTyped = d.rfind("IP:", 0) == 0 || d.rfind("DNS:", 0) == 0;
            san += (san.empty() ? "" : ",") + (bTyped ? d : "DNS:" + d);
        }
        addExt(NID_subject_alt_name, san);
    }
    X509_sign(kc.pCert, pIssuer != nullptr ? pIssuer->pKey : kc.pKey, EVP_sha256());
    return kc;
}

void WritePem(const KeyAndCert& kc, const std::string& certPath, const std::string& keyPath) {
    FILE* f = fopen(certPath.c_str(), "w");
    PEM_write_X509(f, kc.pCert);
    fclose(f);
    f = fopen(keyPath.c_str(), "w");
    PEM_write_PrivateKey(f, kc.pKey, nullptr, nullptr, 0, nullptr, nullptr);
    fclose(f);
}

// A certificate and a private key in one PEM file, as a client certificate is configured.
void WriteCombinedPem(X509* pCert, EVP_PKEY* pKey, const std::string& path) {
    FILE* f = fopen(path.c_str(), "w");
    PEM_write_X509(f, pCert);
    PEM_write_PrivateKey(f, pKey, nullptr, nullptr, 0, nullptr, nullptr);
    fclose(f);
}

std::vector<std::string> ManyNames(int n) {
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i)
        names.push_back("name" + std::to_string(i) + ".example.com");
    return names;
}

// One s_server per certificate, started once for the suite.
class TlsEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        KeyAndCert ca = MakeCert("Orv Test CA", {}, -1, 30, nullptr, true);
        WritePem(ca, Path("ca.pem"), Path("ca-key.pem"));
        struct Spec {
            const char* pszName;
            const char* pszCn;
            std::vector<std::string> dns;
            long nFrom, nTo;
            bool bClientCert = false;  // the server demands a client certificate from the test CA
        } specs[] = {
            {"good", "good.example.com", {"good.example.com"}, -1, 30},
            {"expired", "good.example.com", {"good.example.com"}, -30, -1},
            {"single", "localhost", {"localhost"}, -1, 30},
            {"wild", "*.wild.example.com", {"*.wild.example.com"}, -1, 30},
            // Addresses: two IP entries, and a CN and a DNS entry that only read as addresses.
            {"ip", "127.0.0.3", {"IP:127.0.0.1", "IP:::1", "DNS:127.0.0.2"}, -1, 30},
            {"mtls", "good.example.com", {"good.example.com"}, -1, 30, true},
            // Wildcards over a private-section suffix and over an upper-case ICANN one.
            {"psl", "*.github.io", {"*.github.io", "*.CO.UK"}, -1, 30},
            // A common name beside DNS names, of which there are more than 64; and a
            // certificate with a common name alone.
            {"many", "cn.example.com", ManyNames(80), -1, 30},
            {"cnonly", "cnonly.example.com", {}, -1, 30},
        };
        for (const Spec& s : specs) {
            KeyAndCert kc = MakeCert(s.pszCn, s.dns, s.nFrom, s.nTo, &ca, false);
            WritePem(kc, Path(std::string(s.pszName) + ".pem"),
                     Path(std::string(s.pszName) + "-key.pem"));
            X509_free(kc.pCert);
            EVP_PKEY_free(kc.pKey);
        }
        // Client certificates: one file with the certificate and its key, and one whose key
        // belongs to another certificate.
        KeyAndCert client = MakeCert("orv client", {}, -1, 30, &ca, false);
        KeyAndCert other = MakeCert("orv other", {}, -1, 30, &ca, false);
        WriteCombinedPem(client.pCert, client.pKey, Path("client.pem"));
        WriteCombinedPem(client.pCert, other.pKey, Path("client-wrong-key.pem"));
        for (KeyAndCert* p : {&client, &other, &ca}) {
            X509_free(p->pCert);
            EVP_PKEY_free(p->pKey);
        }
        if (!OrvHaveProgram("openssl")) {
            m_strMissing = "openssl is not installed (package openssl; run scripts/setup.sh)";
            return;
        }
        for (const Spec& s : specs) {
            const std::string name = s.pszName;
            auto& proc = m_servers[name];
            proc = std::make_unique<OrvPeerProcess>();
            std::vector<std::string> args = {
                "openssl", "s_server",          "-accept", "127.0.0.1:0",
                "-cert",   Path(name + ".pem"), "-key",    Path(name + "-key.pem"),
                "-www",    "-tlsextdebug"};
            if (s.bClientCert)
                args.insert(args.end(), {"-Verify", "1", "-CAfile", Path("ca.pem")});
            if (OrvHaveProgram("stdbuf"))
                args.insert(args.begin(), {"stdbuf", "-o0"});
            proc->Start(args, Path(name + ".log"));
            int nPort = 0;
            OrvWaitFor(
                [&] {
                    std::smatch m;
                    const std::string out = proc->Output();
                    if (std::regex_search(out, m, std::regex("ACCEPT 127\\.0\\.0\\.1:([0-9]+)")))
                        nPort = std::stoi(m[1]);
                    return nPort != 0 && OrvLoopbackListening(nPort);
                },
                10000);
            if (nPort == 0)
                m_strMissing = "s_server " + name + " did not start: " + proc->Output();
            m_ports[name] = nPort;
        }
        COrvError err;
        if (OrvSslAddTrustedRoots(Path("ca.pem").c_str(), err) != 1)
            m_strMissing = std::string("cannot trust the test CA: ") + err.Text().GetString();
    }
    void TearDown() override {
        for (auto& [name, proc] : m_servers)
            proc->Stop();
    }
    static std::string Path(const std::string& name) { return m_dir->File(name); }
    static int Port(const std::string& name) { return m_ports[name]; }
    static std::string Log(const std::string& name) { return m_servers[name]->Output(); }

    static inline std::string m_strMissing;

private:
    static inline std::unique_ptr<OrvTempDir> m_dir = std::make_unique<OrvTempDir>();
    static inline std::map<std::string, int> m_ports;
    static inline std::map<std::string, std::unique_ptr<OrvPeerProcess>> m_servers;
};

const auto* g_env = ::testing::AddGlobalTestEnvironment(new TlsEnvironment);

constexpr unsigned kCacheOn = COrvSocket::kDefaultTlsOptions & ~kOrvTlsNoSessionCache;

class OrvSsl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TlsEnvironment::m_strMissing.empty()) << TlsEnvironment::m_strMissing;
    }
    // Plain connect to the named server, then TLS with pszHost as the server name.
    bool StartTlsAs(COrvSocket& s, const char* pszServer, const char* pszHost, unsigned nOptions,
                    COrvError& err, bool bTrustAny = false, const std::string& cert = "") {
        if (!s.Connect("127.0.0.1", TlsEnvironment::Port(pszServer), false, OrvTestNet(5, 5, 5),
                       nullptr, err))
            return false;
        COrvTlsSettings tls;
        tls.m_nOptions = nOptions;
        tls.m_bTrustAny = bTrustAny;
        tls.m_sClientCertificate = cert.c_str();
        return s.StartTls(pszHost, tls, err);
    }
    // One request of the s_server status page; true when its status line came back.
    static bool FetchStatus(COrvSocket& s) {
        COrvError err;
        COrvStringA line;
        if (!s.SendString("GET / HTTP/1.0\r\n\r\n", err) || !s.RecvLine(line, err))
            return false;
        COrvStringA rest;
        (void)s.RecvAll(rest, 1 << 20, err);
        return line.Find("200") >= 0;
    }
};

TEST_F(OrvSsl, GoodCertificateConnectsAndIsDescribed) {
    COrvSocket s;
    COrvError err;
    ASSERT_TRUE(StartTlsAs(s, "good", "good.example.com", COrvSocket::kDefaultTlsOptions, err))
        << err.Text().GetString();
    EXPECT_TRUE(s.IsTls());
    const std::string desc = OrvSslDescribePeer(s.GetTlsHandle()).GetString();
    EXPECT_NE(std::string::npos, desc.find(" [SUBJECT] '/CN=good.example.com'")) << desc;
    EXPECT_NE(std::string::npos, desc.find("[ISSUER] '/CN=Orv Test CA'")) << desc;
    EXPECT_TRUE(std::regex_search(desc, std::regex("\\[THUMBPRINT\\] SHA-1=[0-9A-F]{40}$")))
        << desc;
    EXPECT_TRUE(FetchStatus(s));
    EXPECT_STREQ("NULL SSL !!!", OrvSslDescribePeer(nullptr));
}

TEST_F(OrvSsl, ExpiredCertificateFailsUnlessTrustAny) {
    COrvSocket s;
    COrvError err;
    EXPECT_FALSE(StartTlsAs(s, "expired", "good.example.com", COrvSocket::kDefaultTlsOptions, err));
    EXPECT_EQ(enNetCertificate, err.Code());
    EXPECT_EQ(0u, std::string(err.Text())
                      .find("No Certificate or it does not verify (error 10): "
                            "certificate has expired [SUBJECT] "))
        << err.Text().GetString();
    EXPECT_FALSE(s.IsOpen());
    COrvError err2;
    ASSERT_TRUE(s.Connect("127.0.0.1", TlsEnvironment::Port("expired"), true,
                          OrvTestNet(5, 5, 5, true), nullptr, err2))
        << err2.Text().GetString();
    EXPECT_TRUE(FetchStatus(s));
}

TEST_F(OrvSsl, NamesThatDoNotMatch) {
    COrvSocket s;
    COrvError err;
    EXPECT_FALSE(StartTlsAs(s, "good", "other.example.com", COrvSocket::kDefaultTlsOptions, err));
    EXPECT_EQ(enNetCertificate, err.Code());
    EXPECT_STREQ(
        "Name(s) in certificate 'good.example.com' didn't match server "
        "name 'other.example.com'",
        err.Text());
    // A single-label name never matches, even the host it names.
    COrvError err2;
    EXPECT_FALSE(s.Connect("localhost", TlsEnvironment::Port("single"), true, OrvTestNet(5, 5, 5),
                           nullptr, err2));
    EXPECT_STREQ(
        "Name(s) in certificate 'localhost' didn't match server name "
        "'localhost'",
        err2.Text());
    // A custom pattern replaces the host check.
    OrvSslSetCustomNamePattern("*.example.com");
    COrvError err3;
    EXPECT_TRUE(StartTlsAs(s, "good", "other.example.com", COrvSocket::kDefaultTlsOptions, err3))
        << err3.Text().GetString();
    OrvSslSetCustomNamePattern("*.example.org");
    COrvError err4;
    EXPECT_FALSE(StartTlsAs(s, "good", "good.example.com", COrvSocket::kDefaultTlsOptions, err4));
    EXPECT_STREQ(
        "Name(s) in certificate 'good.example.com' didn't match custom "
        "pattern '*.example.org'",
        err4.Text());
    OrvSslSetCustomNamePattern(nullptr);
}

TEST_F(OrvSsl, WildcardCertificate) {
    const struct {
        const char* pszHost;
        bool bOk;
    } cases[] = {{"www.wild.example.com", true},
                 {"WWW.Wild.Example.COM", true},
                 {"a.b.wild.example.com", false},
                 {"wild.example.com", false}};
    for (const auto& c : cases) {
        COrvSocket s;
        COrvError err;
        EXPECT_EQ(c.bOk, StartTlsAs(s, "wild", c.pszHost, COrvSocket::kDefaultTlsOptions, err))
            << c.pszHost << ": " << err.Text().GetString();
    }
}

TEST_F(OrvSsl, AddressHostsMatchOnlyIpEntries) {
    const struct {
        const char* pszServer;
        const char* pszHost;
        const char* pszError;  // null: verifies
    } cases[] = {
        {"ip", "127.0.0.1", nullptr},
        {"ip", "::1", nullptr},
        {"ip", "0:0:0:0:0:0:0:1", nullptr},  // the same address written out
        {"ip", "[::1]", nullptr},
        // Neither the DNS entry nor the common name that read as addresses vouch for them.
        {"ip", "127.0.0.2",
         "Name(s) in certificate '127.0.0.1,::1,127.0.0.2' didn't match server name "
         "'127.0.0.2'"},
        {"ip", "127.0.0.3",
         "Name(s) in certificate '127.0.0.1,::1,127.0.0.2' didn't match server name "
         "'127.0.0.3'"},
        {"ip", "::2",
         "Name(s) in certificate '127.0.0.1,::1,127.0.0.2' didn't match server name "
         "'::2'"},
        {"good", "127.0.0.1",
         "Name(s) in certificate 'good.example.com' didn't match server name "
         "'127.0.0.1'"},
    };
    for (const auto& c : cases) {
        COrvSocket s;
        COrvError err;
        const bool bOk = StartTlsAs(s, c.pszServer, c.pszHost, COrvSocket::kDefaultTlsOptions, err);
        if (c.pszError == nullptr) {
            EXPECT_TRUE(bOk) << c.pszHost << ": " << err.Text().GetString();
            if (bOk) {
                EXPECT_TRUE(FetchStatus(s)) << c.pszHost;
            }
        } else {
            EXPECT_FALSE(bOk) << c.pszHost;
            EXPECT_EQ(enNetCertificate, err.Code()) << c.pszHost;
            EXPECT_STREQ(c.pszError, err.Text()) << c.pszHost;
        }
    }
    // The whole connect by address verifies against the IP entry as well.
    COrvSocket s;
    COrvError err;
    ASSERT_TRUE(
        s.Connect("127.0.0.1", TlsEnvironment::Port("ip"), true, OrvTestNet(5, 5, 5), nullptr, err))
        << err.Text().GetString();
    EXPECT_TRUE(FetchStatus(s));
}

TEST_F(OrvSsl, HandshakeTraceGoesToTheLogOnlyWhenSwitchedOn) {
    OrvTempDir dir;
    const std::string logPath = dir.File("trace.log");
    auto connect = [&](bool bTrace) {
        OrvSslSetHandshakeTrace(bTrace);
        COrvSocket s;
        COrvError err;
        const bool bOk =
            StartTlsAs(s, "good", "good.example.com", COrvSocket::kDefaultTlsOptions, err);
        OrvSslSetHandshakeTrace(false);
        EXPECT_TRUE(bOk) << err.Text().GetString();
        const int fd = s.GetDescriptor();
        EXPECT_TRUE(FetchStatus(s));
        s.Close(false);
        return fd;
    };
    g_orv_log.SetLogFile(logPath.c_str());
    const int fd = connect(true);
    g_orv_log.Reset();
    const std::string traced = OrvReadFileBytes(logPath);
    for (const char* psz :
         {"SSL_connect: HANDSHAKE_START", "SSL_connect: LOOP: SSLv3/TLS write client hello",
          "SSL_connect: LOOP: SSLv3/TLS read server hello", "SSL_connect: HANDSHAKE_DONE",
          "SSL_connect: EXIT: SUCCESS: SSL negotiation finished successfully",
          "SSL_connect: send alert warning: close notify", "free - socket"})
        EXPECT_NE(std::string::npos, traced.find(psz)) << psz << " in:\n" << traced;
    const std::string fds = std::to_string(fd);
    EXPECT_TRUE(std::regex_search(
        traced, std::regex("write\\(" + fds + ",[0-9]+\\) - socket fd=" + fds + "\r?\n")))
        << traced;
    EXPECT_TRUE(std::regex_search(
        traced, std::regex("read\\(" + fds + ",[0-9]+\\) - socket fd=" + fds + "\r?\n")))
        << traced;
    EXPECT_TRUE(std::regex_search(traced, std::regex("read return [1-9][0-9]*\r?\n")));
    EXPECT_TRUE(std::regex_search(traced, std::regex("write return [1-9][0-9]*\r?\n")));

    // Switched off: the same connection writes none of it.
    g_orv_log.SetLogFile(dir.File("quiet.log").c_str());
    connect(false);
    g_orv_log.Reset();
    const std::string quiet = OrvReadFileBytes(dir.File("quiet.log"));
    EXPECT_EQ(std::string::npos, quiet.find("SSL_connect")) << quiet;
    EXPECT_EQ(std::string::npos, quiet.find(" - socket fd=")) << quiet;
    EXPECT_EQ(std::string::npos, quiet.find("read return")) << quiet;
}

TEST_F(OrvSsl, ClientCertificates) {
    {
        // Accepted: the server finishes the handshake and answers.
        COrvSocket s;
        COrvError err;
        ASSERT_TRUE(StartTlsAs(s, "mtls", "good.example.com", COrvSocket::kDefaultTlsOptions, err,
                               false, TlsEnvironment::Path("client.pem")))
            << err.Text().GetString();
        EXPECT_TRUE(FetchStatus(s));
    }
    {
        // None configured while the server asks for one: the lookup for a certificate fails.
        COrvSocket s;
        COrvError err;
        EXPECT_FALSE(
            StartTlsAs(s, "mtls", "good.example.com", COrvSocket::kDefaultTlsOptions, err));
        EXPECT_EQ(enNetAuth, err.Code());
        EXPECT_STREQ("Client certificate is required for this connection", err.Text());
        EXPECT_FALSE(s.IsOpen());
    }
    {
        // A key that belongs to another certificate is refused before any byte is sent.
        COrvSocket s;
        COrvError err;
        EXPECT_FALSE(StartTlsAs(s, "mtls", "good.example.com", COrvSocket::kDefaultTlsOptions, err,
                                false, TlsEnvironment::Path("client-wrong-key.pem")));
        EXPECT_EQ(enNetAuth, err.Code());
        EXPECT_STREQ("server private key check failed", err.Text());
    }
    {
        // A file without a key cannot be used at all.
        COrvSocket s;
        COrvError err;
        EXPECT_FALSE(StartTlsAs(s, "mtls", "good.example.com", COrvSocket::kDefaultTlsOptions, err,
                                false, TlsEnvironment::Path("ca.pem")));
        EXPECT_EQ(enNetAuth, err.Code());
        EXPECT_EQ(0u, std::string(err.Text()).find("Cannot load client certificate '"))
            << err.Text().GetString();
    }
    {
        // The server is still serving after the failures.
        COrvSocket s;
        COrvError err;
        ASSERT_TRUE(StartTlsAs(s, "mtls", "good.example.com", COrvSocket::kDefaultTlsOptions, err,
                               false, TlsEnvironment::Path("client.pem")))
            << err.Text().GetString();
        EXPECT_TRUE(FetchStatus(s));
    }
    // A server that does not ask is unaffected by the missing certificate.
    COrvSocket s;
    COrvError err;
    ASSERT_TRUE(StartTlsAs(s, "good", "good.example.com", COrvSocket::kDefaultTlsOptions, err))
        << err.Text().GetString();
    EXPECT_TRUE(FetchStatus(s));
}

// The names a certificate vouches for, as real servers present them.
TEST_F(OrvSsl, CertificateNamesThatMatch) {
    const struct {
        const char* pszServer;
        const char* pszHost;
        bool bMatch;
    } cases[] = {
        {"psl", "octocat.github.io", true},  // a private-section suffix takes a wildcard
        {"psl", "OctoCat.GitHub.IO", true},
        {"psl", "example.co.uk", false},  // "*.CO.UK" is refused like "*.co.uk"
        {"many", "name0.example.com", true},
        {"many", "name79.example.com", true},  // names past the 64th are compared too
        {"many", "cn.example.com", false},     // the CN does not count beside DNS names
        {"cnonly", "cnonly.example.com", true},
        {"good", "good.example.com.", true},  // a fully qualified name
    };
    for (const auto& c : cases) {
        COrvSocket s;
        COrvError err;
        const bool bOk = StartTlsAs(s, c.pszServer, c.pszHost, COrvSocket::kDefaultTlsOptions, err);
        EXPECT_EQ(c.bMatch, bOk) << c.pszHost << ": " << err.Text().GetString();
        if (bOk)
            EXPECT_TRUE(FetchStatus(s));
        else
            EXPECT_EQ(enNetCertificate, err.Code()) << c.pszHost;
        s.Close(false);
    }
    // A failure names every name that was compared, the CN only where it counted.
    COrvSocket s;
    COrvError err;
    ASSERT_FALSE(StartTlsAs(s, "many", "cn.example.com", COrvSocket::kDefaultTlsOptions, err));
    const std::string text = err.Text().GetString();
    EXPECT_NE(std::string::npos, text.find("name79.example.com'")) << text;
    EXPECT_EQ(std::string::npos, text.find("'cn.example.com,")) << text;
}

TEST(OrvSslNames, MatchingRules) {
    const struct {
        const char* pszCert;
        const char* pszHost;
        bool bMatch;
    } cases[] = {
        {"example.com", "example.com", true},
        {"Example.COM", "example.com", true},
        {"localhost", "localhost", false},  // a single label never matches
        {"example.com", "www.example.com", false},
        {"*.example.com", "www.example.com", true},
        {"*.example.com", "example.com", false},
        {"*.example.com", "a.b.example.com", false},   // one whole label only
        {"w*.example.com", "www.example.com", false},  // never part of a label
        {"*w.example.com", "www.example.com", false},
        {"www.*.com", "www.example.com", false},  // only the left-most label
        {"*.com", "example.com", false},          // a public suffix on its own
        {"*.co.uk", "example.co.uk", false},
        {"*.CO.UK", "example.co.uk", false},
        {"*.github.io", "octocat.github.io", true},  // private section: a customer's name
        {"*.GitHub.io", "OCTOCAT.github.io", true},
        {"*.appspot.com", "app.appspot.com", true},
        {"*.0.0.1", "127.0.0.1", false},          // never an address
        {"127.0.0.1", "127.0.0.1", false},        // addresses match IP entries only
        {"example..com", "example..com", false},  // empty labels never match
        {"example.com.", "example.com.", false},
        {"", "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.bMatch, OrvSslNameMatches(c.pszCert, c.pszHost))
            << c.pszCert << " vs " << c.pszHost;
}

TEST_F(OrvSsl, SniOnlyForNames) {
    auto count = [](const char* pszServer = "good") {
        const std::string log = TlsEnvironment::Log(pszServer);
        size_t n = 0;
        for (size_t i = log.find("server name"); i != std::string::npos;
             i = log.find("server name", i + 1))
            ++n;
        return n;
    };
    const size_t n0 = count();
    COrvSocket s;
    COrvError err;
    ASSERT_TRUE(StartTlsAs(s, "good", "good.example.com", COrvSocket::kDefaultTlsOptions, err));
    ASSERT_TRUE(FetchStatus(s));
    const size_t n1 = count();
    EXPECT_GT(n1, n0);
    EXPECT_NE(std::string::npos, TlsEnvironment::Log("good").find("good.exam"));
    s.Close(false);
    // A numeric address is never sent, even with the SNI bit set.
    COrvSocket s2;
    COrvError err2;
    ASSERT_TRUE(s2.Connect("127.0.0.1", TlsEnvironment::Port("good"), true,
                           OrvTestNet(5, 5, 5, true), nullptr, err2));
    ASSERT_TRUE(FetchStatus(s2));
    EXPECT_EQ(n1, count());
    // s_server serves one connection at a time and waits for the client's close.
    s2.Close(false);
    // Without the SNI bit a name is not sent either.
    COrvSocket s3;
    COrvError err3;
    ASSERT_TRUE(StartTlsAs(s3, "good", "good.example.com",
                           COrvSocket::kDefaultTlsOptions & ~kOrvTlsSni, err3))
        << err3.Text().GetString();
    ASSERT_TRUE(FetchStatus(s3));
    EXPECT_EQ(n1, count());
    s3.Close(false);
    // A fully qualified name goes without its final dot: "good.example.com" is 16 bytes, the
    // extension 5 more.
    COrvSocket s4;
    COrvError err4;
    ASSERT_TRUE(StartTlsAs(s4, "good", "good.example.com.", COrvSocket::kDefaultTlsOptions, err4))
        << err4.Text().GetString();
    ASSERT_TRUE(FetchStatus(s4));
    EXPECT_EQ(n1 + 1, count());
    const std::string log = TlsEnvironment::Log("good");
    const size_t iLast = log.rfind("\"server name\"");
    ASSERT_NE(std::string::npos, iLast);
    const std::string sent = "\"server name\" (id=0), len=21\n";
    EXPECT_EQ(sent, log.substr(iLast, sent.size())) << log;
    s4.Close(false);
    // An IPv6 literal as a URL writes it is an address too: no server name, and the IP entry
    // vouches for it.
    const size_t nIp = count("ip");
    COrvSocket s5;
    COrvError err5;
    ASSERT_TRUE(StartTlsAs(s5, "ip", "[::1]", COrvSocket::kDefaultTlsOptions, err5))
        << err5.Text().GetString();
    ASSERT_TRUE(FetchStatus(s5));
    EXPECT_EQ(nIp, count("ip"));
}

TEST_F(OrvSsl, SessionCacheResumesAndEvictsTheOldest) {
    OrvSslSessionCacheClear();
    const std::string key = "good.example.com:" + std::to_string(TlsEnvironment::Port("good"));
    {
        COrvSocket s;
        COrvError err;
        ASSERT_TRUE(StartTlsAs(s, "good", "good.example.com", kCacheOn, err));
        EXPECT_FALSE(s.IsTlsSessionReused());
        ASSERT_TRUE(FetchStatus(s));
    }
    EXPECT_TRUE(OrvSslSessionCacheHas(key.c_str()));
    {
        COrvSocket s;
        COrvError err;
        ASSERT_TRUE(StartTlsAs(s, "good", "good.example.com", kCacheOn, err));
        EXPECT_TRUE(s.IsTlsSessionReused());
        ASSERT_TRUE(FetchStatus(s));
    }
    {
        // Bit 9: the cache is neither used nor filled.
        OrvSslSessionCacheClear();
        COrvSocket s;
        COrvError err;
        ASSERT_TRUE(StartTlsAs(s, "good", "good.example.com", COrvSocket::kDefaultTlsOptions, err));
        EXPECT_FALSE(s.IsTlsSessionReused());
        ASSERT_TRUE(FetchStatus(s));
        EXPECT_EQ(0, OrvSslSessionCacheCount());

        // 257 entries: the first one stored is gone, the other 256 stay.
        for (int i = 0; i < 257; ++i)
            ASSERT_TRUE(
                OrvSslIoCacheCopyFrom(s.GetTlsHandle(), ("host" + std::to_string(i)).c_str()));
        EXPECT_EQ(256, OrvSslSessionCacheCount());
        EXPECT_FALSE(OrvSslSessionCacheHas("host0"));
        EXPECT_TRUE(OrvSslSessionCacheHas("host1"));
        EXPECT_TRUE(OrvSslSessionCacheHas("host256"));
        // Replacing an entry keeps the count.
        ASSERT_TRUE(OrvSslIoCacheCopyFrom(s.GetTlsHandle(), "host5"));
        EXPECT_EQ(256, OrvSslSessionCacheCount());
        ASSERT_TRUE(OrvSslIoCacheCopyFrom(s.GetTlsHandle(), "host257"));
        EXPECT_FALSE(OrvSslSessionCacheHas("host1"));
        EXPECT_TRUE(OrvSslSessionCacheHas("host5"));
    }
    OrvSslSessionCacheClear();
}

// A cached session stands for the identities it was made with: it is never resumed for another
// client certificate (or none), nor by a connection that checks what a trust-any one did not.
TEST_F(OrvSsl, SessionCacheKeepsIdentitiesApart) {
    OrvSslSessionCacheClear();
    auto start = [&](const char* pszServer, const char* pszCert, bool bTrustAny, COrvError& err,
                     bool& bReused) {
        COrvSocket s;
        if (!StartTlsAs(s, pszServer, "good.example.com", kCacheOn, err, bTrustAny,
                        pszCert != nullptr ? TlsEnvironment::Path(pszCert) : ""))
            return false;
        bReused = s.IsTlsSessionReused();
        const bool bOk = FetchStatus(s);
        s.Close(false);
        return bOk;
    };
    bool bReused = false;
    COrvError err;
    ASSERT_TRUE(start("mtls", "client.pem", false, err, bReused)) << err.Text().GetString();
    EXPECT_FALSE(bReused);
    // Without a certificate the server asks for one again, instead of a resumed session
    // passing for the certificate's owner.
    COrvError errNone;
    EXPECT_FALSE(start("mtls", nullptr, false, errNone, bReused));
    EXPECT_STREQ("Client certificate is required for this connection", errNone.Text());
    ASSERT_TRUE(start("mtls", "client.pem", false, err, bReused)) << err.Text().GetString();
    EXPECT_TRUE(bReused);

    ASSERT_TRUE(start("good", nullptr, true, err, bReused)) << err.Text().GetString();
    EXPECT_FALSE(bReused);
    ASSERT_TRUE(start("good", nullptr, false, err, bReused)) << err.Text().GetString();
    EXPECT_FALSE(bReused);
    ASSERT_TRUE(start("good", nullptr, false, err, bReused)) << err.Text().GetString();
    EXPECT_TRUE(bReused);
    OrvSslSessionCacheClear();
}

TEST_F(OrvSsl, ExplicitSessionIsResumedOrTheStartFails) {
    OrvSslSessionCacheClear();
    void* pSession = nullptr;
    {
        COrvSocket s;
        COrvError err;
        EXPECT_EQ(nullptr, OrvSslGetSession(s.GetTlsHandle()));  // no TLS connection
        ASSERT_TRUE(StartTlsAs(s, "good", "good.example.com", COrvSocket::kDefaultTlsOptions, err))
            << err.Text().GetString();
        EXPECT_FALSE(s.IsTlsSessionReused());
        // The TLS 1.3 tickets come with the first read: take the session after the response.
        ASSERT_TRUE(FetchStatus(s));
        pSession = OrvSslGetSession(s.GetTlsHandle());
        ASSERT_NE(nullptr, pSession);
    }
    // The default options (bit 9) keep the cache out of it: without the explicit session the
    // same connection is a full handshake.
    EXPECT_EQ(0, OrvSslSessionCacheCount());
    {
        COrvSocket s;
        COrvError err;
        ASSERT_TRUE(StartTlsAs(s, "good", "good.example.com", COrvSocket::kDefaultTlsOptions, err))
            << err.Text().GetString();
        EXPECT_FALSE(s.IsTlsSessionReused());
        ASSERT_TRUE(FetchStatus(s));
    }
    {
        COrvSocket s;
        COrvError err;
        // The socket keeps its own reference: the caller's may go first.
        s.SetTlsSessionToResume(pSession);
        OrvSslFreeSession(pSession);
        pSession = nullptr;
        ASSERT_TRUE(StartTlsAs(s, "good", "good.example.com", COrvSocket::kDefaultTlsOptions, err))
            << err.Text().GetString();
        EXPECT_TRUE(s.IsTlsSessionReused());
        ASSERT_TRUE(FetchStatus(s));
        // Replaced by null: the next start is a full handshake again.
        s.Close(true);
        s.SetTlsSessionToResume(nullptr);
        COrvError err2;
        ASSERT_TRUE(StartTlsAs(s, "good", "good.example.com", COrvSocket::kDefaultTlsOptions, err2))
            << err2.Text().GetString();
        EXPECT_FALSE(s.IsTlsSessionReused());
        ASSERT_TRUE(FetchStatus(s));
    }
    // A session of another server (and name) cannot be resumed here.
    {
        COrvSocket s;
        COrvError err;
        ASSERT_TRUE(
            StartTlsAs(s, "wild", "a.wild.example.com", COrvSocket::kDefaultTlsOptions, err))
            << err.Text().GetString();
        ASSERT_TRUE(FetchStatus(s));
        pSession = OrvSslGetSession(s.GetTlsHandle());
        ASSERT_NE(nullptr, pSession);
    }
    {
        COrvSocket s;
        COrvError err;
        s.SetTlsSessionToResume(pSession);
        OrvSslFreeSession(pSession);
        EXPECT_FALSE(
            StartTlsAs(s, "good", "good.example.com", COrvSocket::kDefaultTlsOptions, err));
        EXPECT_STREQ("explicit session reuse failed", err.Text().GetString());
        EXPECT_EQ(enNetConnection, err.Code());
        EXPECT_FALSE(s.IsOpen());
    }
    EXPECT_EQ(0, OrvSslSessionCacheCount());
}

// The send time-out bounds a whole TLS send, however many records and partial writes it takes.
TEST_F(OrvSsl, SendTimeoutIsOneDeadlineForTheCall) {
    COrvSslServerContext ctx;
    COrvError err;
    ASSERT_TRUE(ctx.Load(TlsEnvironment::Path("good.pem").c_str(),
                         TlsEnvironment::Path("good-key.pem").c_str(), nullptr, "prime256v1", err))
        << err.Text().GetString();
    COrvSocket listener;
    ASSERT_TRUE(listener.Listen("127.0.0.1", 0, 4, err));
    std::atomic<bool> bStop{false};
    std::thread server([&] {
        COrvSocket s;
        COrvError e;
        ASSERT_TRUE(listener.Accept(s, 10000, e));
        ASSERT_TRUE(s.AcceptTls(ctx, e)) << e.Text().GetString();
        char buf[16384];
        int nGot = 1;
        while (!bStop && s.Recv(buf, sizeof buf, nGot, e) && nGot > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        s.Close(true);
    });
    COrvSocket c;
    ASSERT_TRUE(
        c.Connect("127.0.0.1", listener.GetLocalPort(), false, OrvTestNet(5, 2, 5), nullptr, err));
    ASSERT_TRUE(c.StartTls("good.example.com", COrvTlsSettings(), err)) << err.Text().GetString();
    const std::string big(8 << 20, 'x');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.Send(big.data(), static_cast<int>(big.size()), err));
    const auto nSpent = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    bStop = true;
    EXPECT_EQ(enNetConnection, err.Code()) << err.Text().GetString();
    EXPECT_GE(nSpent, 1900);
    EXPECT_LT(nSpent, 3500);
    EXPECT_FALSE(c.IsOpen());
    server.join();
}

TEST_F(OrvSsl, LibraryServerSide) {
    COrvSslServerContext ctx;
    COrvError err;
    ASSERT_TRUE(ctx.Load(TlsEnvironment::Path("good.pem").c_str(),
                         TlsEnvironment::Path("good-key.pem").c_str(), nullptr, "prime256v1", err))
        << err.Text().GetString();
    COrvSocket listener;
    ASSERT_TRUE(listener.Listen("127.0.0.1", 0, 4, err));
    std::thread server([&] {
        COrvSocket s;
        COrvError e;
        ASSERT_TRUE(listener.Accept(s, 10000, e));
        ASSERT_TRUE(s.AcceptTls(ctx, e)) << e.Text().GetString();
        COrvStringA line;
        ASSERT_TRUE(s.RecvLine(line, e));
        EXPECT_TRUE(s.SendString(COrvStringA("tls:") + line + "\n", e));
        s.Close(false);
    });
    COrvSocket c;
    ASSERT_TRUE(
        c.Connect("127.0.0.1", listener.GetLocalPort(), false, OrvTestNet(5, 5, 5), nullptr, err));
    ASSERT_TRUE(c.StartTls("good.example.com", COrvTlsSettings(), err)) << err.Text().GetString();
    ASSERT_TRUE(c.SendString("hello\n", err));
    COrvStringA line;
    ASSERT_TRUE(c.RecvLine(line, err));
    EXPECT_STREQ("tls:hello", line);
    bool bEof = false;
    unsigned char ch;
    EXPECT_TRUE(c.RecvByte(ch, bEof, err));
    EXPECT_TRUE(bEof);
    server.join();

    COrvSslServerContext bad;
    COrvError e1, e2, e3;
    EXPECT_FALSE(bad.Load("/nonexistent/cert.pem", "/nonexistent/key.pem", nullptr, nullptr, e1));
    EXPECT_STREQ("Server certificate file not found: /nonexistent/cert.pem", e1.Text());
    EXPECT_FALSE(bad.Load(TlsEnvironment::Path("good.pem").c_str(),
                          TlsEnvironment::Path("wild-key.pem").c_str(), nullptr, nullptr, e2));
    EXPECT_EQ(0u, std::string(e2.Text()).find("Cannot load certificate/private key pair: "));
    EXPECT_FALSE(bad.Load(TlsEnvironment::Path("good.pem").c_str(),
                          TlsEnvironment::Path("good-key.pem").c_str(), nullptr, "no-such-curve",
                          e3));
    EXPECT_STREQ("Failed to look up elliptic curve 'no-such-curve'", e3.Text());
}

TEST_F(OrvSsl, HandshakeWithAPlainPeerFails) {
    COrvSocket listener;
    COrvError err;
    ASSERT_TRUE(listener.Listen("127.0.0.1", 0, 4, err));
    std::thread server([&] {
        COrvSocket s;
        COrvError e;
        ASSERT_TRUE(listener.Accept(s, 10000, e));
        (void)s.SendString("220 not tls at all\r\n", e);
        s.Close(false);
    });
    COrvSocket c;
    EXPECT_FALSE(
        c.Connect("127.0.0.1", listener.GetLocalPort(), true, OrvTestNet(5, 5, 5), nullptr, err));
    EXPECT_EQ(enNetConnection, err.Code());
    // The text names the peer and the cause, not the library's error codes.
    EXPECT_EQ("TLS handshake with 127.0.0.1:" + std::to_string(listener.GetLocalPort()) +
                  ": wrong version number (the server answered in plain text?)",
              std::string(err.Text()));
    EXPECT_FALSE(c.IsOpen());
    server.join();
}

TEST_F(OrvSsl, ContextLifecycleTexts) {
    COrvError err;
    EXPECT_TRUE(OrvSslIsInitialized());
    EXPECT_FALSE(OrvSslInit(err));
    EXPECT_STREQ("SSL Library already initialized", err.Text());
    OrvSslCleanup();
    COrvStringA strError;
    EXPECT_FALSE(OrvSslReloadSystemRoots(strError));
    EXPECT_STREQ("SSL context is not initialized yet", strError);
    int nCode = -1;
    COrvStringA strText;
    EXPECT_TRUE(OrvSslInit(nCode, strText));
    EXPECT_EQ(enNetOk, nCode);
    // The new context trusts the system roots on request, and the test CA once added again.
    OrvSslSetTrustSystemRoots(true);
    EXPECT_TRUE(OrvSslReloadSystemRoots(strError)) << strError.GetString();
    OrvSslSetTrustSystemRoots(false);
    COrvError errAdd;
    EXPECT_EQ(1, OrvSslAddTrustedRoots(TlsEnvironment::Path("ca.pem").c_str(), errAdd));
    COrvSocket s;
    ASSERT_TRUE(StartTlsAs(s, "good", "good.example.com", COrvSocket::kDefaultTlsOptions, err));
    EXPECT_TRUE(OrvSslInstallLocks());
    OrvSslRemoveLocks();
}

}  // namespace
