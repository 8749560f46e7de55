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
                    long nToDays, const KeyAndCert* pIssuer) {
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
    const KeyAndCert& issuer = pIssuer != nullptr ? *pIssuer : kc;
    X509_set_issuer_name(kc.pCert, X509_get_subject_name(issuer.pCert));
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer.pCert, kc.pCert, nullptr, nullptr, 0);
    auto addExt = [&](int nid, const std::string& value) {
        X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
        X509_add_ext(kc.pCert, e, -1);
        X509_EXTENSION_free(e);
    };
    addExt(NID_basic_constraints, pIssuer == nullptr ? "critical,CA:TRUE" : "CA:FALSE");
    if (pIssuer == nullptr)
        addExt(NID_key_usage, "critical,keyCertSign,cRLSign");
    std::string san;
    for (const std::string& d : dns) {
        const bool bTyped = d.rfind("IP:", 0) == 0 || d.rfind("DNS:", 0) == 0;
        san += (san.empty() ? "" : ",") + (bTyped ? d : "DNS:" + d);
    }
    if (!san.empty())
        addExt(NID_subject_alt_name, san);
    X509_sign(kc.pCert, issuer.pKey, EVP_sha256());
    return kc;
}

// Writes the certificate and the key in PEM form; into one file when the paths are the same (as a
// client certificate is configured).
void WritePem(const KeyAndCert& kc, const std::string& certPath, const std::string& keyPath) {
    FILE* f = fopen(certPath.c_str(), "w");
    PEM_write_X509(f, kc.pCert);
    if (keyPath != certPath) {
        fclose(f);
        f = fopen(keyPath.c_str(), "w");
    }
    PEM_write_PrivateKey(f, kc.pKey, nullptr, nullptr, 0, nullptr, nullptr);
    fclose(f);
}

void Free(const KeyAndCert& kc) {
    X509_free(kc.pCert);
    EVP_PKEY_free(kc.pKey);
}

// One s_server per certificate, started once for the suite.
class TlsEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        KeyAndCert ca = MakeCert("Orv Test CA", {}, -1, 30, nullptr);
        WritePem(ca, Path("ca.pem"), Path("ca-key.pem"));
        std::vector<std::string> many;  // more than 64 DNS names beside a common name
        for (int i = 0; i < 80; ++i)
            many.push_back("name" + std::to_string(i) + ".example.com");
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
            {"many", "cn.example.com", many, -1, 30},
            {"cnonly", "cnonly.example.com", {}, -1, 30},
        };
        for (const Spec& s : specs) {
            KeyAndCert kc = MakeCert(s.pszCn, s.dns, s.nFrom, s.nTo, &ca);
            WritePem(kc, Path(std::string(s.pszName) + ".pem"),
                     Path(std::string(s.pszName) + "-key.pem"));
            Free(kc);
        }
        // Client certificates: one file with the certificate and its key, and one whose key
        // belongs to another certificate.
        KeyAndCert client = MakeCert("orv client", {}, -1, 30, &ca);
        KeyAndCert other = MakeCert("orv other", {}, -1, 30, &ca);
        WritePem(client, Path("client.pem"), Path("client.pem"));
        WritePem({other.pKey, client.pCert}, Path("client-wrong-key.pem"),
                 Path("client-wrong-key.pem"));
        for (const KeyAndCert& kc : {client, other, ca})
            Free(kc);
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
                "-www"};
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
                    return nPort != 0 && OrvTestPortListening(nPort);
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
    void TearDown() override { m_servers.clear(); }
    static std::string Path(const std::string& name) { return m_dir->File(name); }
    static int Port(const std::string& name) { return m_ports[name]; }

    static inline std::string m_strMissing;

private:
    static inline std::unique_ptr<OrvTempDir> m_dir = std::make_unique<OrvTempDir>();
    static inline std::map<std::string, int> m_ports;
    static inline std::map<std::string, std::unique_ptr<OrvPeerProcess>> m_servers;
};

const auto* g_env = ::testing::AddGlobalTestEnvironment(new TlsEnvironment);

constexpr unsigned kDefault = COrvSocket::kDefaultTlsOptions;
constexpr unsigned kCacheOn = kDefault & ~kOrvTlsNoSessionCache;

std::string Text(const COrvError& err) {
    return err.Text().GetString();
}

class OrvSsl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TlsEnvironment::m_strMissing.empty()) << TlsEnvironment::m_strMissing;
    }
    // Plain connect to the named server, then TLS with pszHost as the server name and the
    // client certificate file named (none when null).
    static bool StartTlsAs(COrvSocket& s, const char* pszServer, const char* pszHost,
                           COrvError& err, unsigned nOptions = kDefault, bool bTrustAny = false,
                           const char* pszCert = nullptr) {
        err.Clear();
        if (!s.Connect("127.0.0.1", TlsEnvironment::Port(pszServer), false, OrvTestNet(5, 5, 5),
                       nullptr, err))
            return false;
        COrvTlsSettings tls;
        tls.m_nOptions = nOptions;
        tls.m_bTrustAny = bTrustAny;
        const std::string cert = pszCert ? TlsEnvironment::Path(pszCert) : "";
        tls.m_sClientCertificate = cert.c_str();
        return s.StartTls(pszHost, tls, err);
    }
    // A whole connect by address (TLS included) to the named server.
    static bool ConnectTls(COrvSocket& s, const char* pszServer, COrvError& err,
                           bool bTrustAny = false, const char* pszHost = "127.0.0.1") {
        err.Clear();
        return s.Connect(pszHost, TlsEnvironment::Port(pszServer), true,
                         OrvTestNet(5, 5, 5, bTrustAny), nullptr, err);
    }
    // One request of the s_server status page; true when its status line came back.
    static bool FetchStatus(COrvSocket& s) {
        COrvError err;
        COrvStringA line, rest;
        if (!s.SendString("GET / HTTP/1.0\r\n\r\n", err) || !s.RecvLine(line, err))
            return false;
        (void)s.RecvAll(rest, 1 << 20, err);
        return line.Find("200") >= 0;
    }
};

// The names a certificate vouches for, as real servers present them: a failure names every name
// that was compared (the common name only where it counted).
TEST_F(OrvSsl, CertificateNamesAndValidity) {
    COrvSocket s;
    COrvError err;
    ASSERT_TRUE(StartTlsAs(s, "good", "good.example.com", err)) << Text(err);
    const std::string desc = OrvSslDescribePeer(s.GetTlsHandle()).GetString();
    EXPECT_NE(std::string::npos,
              desc.find(" [SUBJECT] '/CN=good.example.com' [ISSUER] '/CN=Orv Test CA'"))
        << desc;
    EXPECT_TRUE(std::regex_search(desc, std::regex("\\[THUMBPRINT\\] SHA-1=[0-9A-F]{40}$")));
    EXPECT_TRUE(FetchStatus(s));
    s.Close(false);

    const std::string ipNames = "Name(s) in certificate '127.0.0.1,::1,127.0.0.2' didn't match ";
    const struct {
        const char* pszServer;
        const char* pszHost;
        std::string error;  // empty: verifies; "..." first: a part of the text
    } cases[] = {
        {"good", "good.example.com.", ""},  // a fully qualified name
        {"good", "other.example.com",
         "Name(s) in certificate 'good.example.com' didn't match server name 'other.example.com'"},
        {"expired", "good.example.com",
         "...No Certificate or it does not verify (error 10): certificate has expired [SUBJECT] "},
        {"wild", "WWW.Wild.Example.COM", ""},
        {"wild", "a.b.wild.example.com", "..."},
        {"wild", "wild.example.com", "..."},
        {"ip", "127.0.0.1", ""},
        {"ip", "[::1]", ""},
        // Neither the DNS entry nor the common name that read as addresses vouch for them.
        {"ip", "127.0.0.2", ipNames + "server name '127.0.0.2'"},
        {"psl", "OctoCat.GitHub.IO", ""},    // a private-section suffix takes a wildcard
        {"psl", "example.co.uk", "..."},     // "*.CO.UK" is refused like "*.co.uk"
        {"many", "name79.example.com", ""},  // names past the 64th are compared too
        {"many", "cn.example.com", "...name79.example.com'"},  // not the CN beside DNS names
        {"cnonly", "cnonly.example.com", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pszServer) + " " + c.pszHost);
        const bool bOk = StartTlsAs(s, c.pszServer, c.pszHost, err);
        EXPECT_EQ(c.error.empty(), bOk) << Text(err);
        if (bOk) {
            EXPECT_TRUE(FetchStatus(s));
        } else if (!c.error.empty()) {
            EXPECT_EQ(enNetCertificate, err.Code());
            EXPECT_FALSE(s.IsOpen());
            if (c.error.rfind("...", 0) == 0) {
                EXPECT_NE(std::string::npos, Text(err).find(c.error.substr(3))) << Text(err);
                EXPECT_EQ(std::string::npos, Text(err).find("'cn.example.com,")) << Text(err);
            } else {
                EXPECT_EQ(c.error, Text(err));
            }
        }
        s.Close(false);
    }
    // Trust-any takes the expired one; a single-label name never matches, even the host it names.
    ASSERT_TRUE(ConnectTls(s, "expired", err, true)) << Text(err);
    EXPECT_TRUE(FetchStatus(s));
    EXPECT_FALSE(ConnectTls(s, "single", err, false, "localhost"));
    EXPECT_STREQ("Name(s) in certificate 'localhost' didn't match server name 'localhost'",
                 err.Text());
    // A custom pattern replaces the host check.
    OrvSslSetCustomNamePattern("*.example.com");
    EXPECT_TRUE(StartTlsAs(s, "good", "other.example.com", err)) << Text(err);
    OrvSslSetCustomNamePattern("*.example.org");
    EXPECT_FALSE(StartTlsAs(s, "good", "good.example.com", err));
    EXPECT_STREQ(
        "Name(s) in certificate 'good.example.com' didn't match custom pattern '*.example.org'",
        err.Text());
    OrvSslSetCustomNamePattern(nullptr);
    // The whole connect by address verifies against the IP entry as well.
    COrvSocket byAddress;
    ASSERT_TRUE(ConnectTls(byAddress, "ip", err)) << Text(err);
    EXPECT_TRUE(FetchStatus(byAddress));
}

TEST_F(OrvSsl, ClientCertificates) {
    const struct {
        const char* pszServer;
        const char* pszCert;   // null: none configured
        const char* pszError;  // the start of the failure, or null
    } cases[] = {
        {"mtls", "client.pem", nullptr},
        // None configured while the server asks for one: the lookup for a certificate fails.
        {"mtls", nullptr, "Client certificate is required for this connection"},
        // A key that belongs to another certificate is refused before any byte is sent.
        {"mtls", "client-wrong-key.pem", "server private key check failed"},
        // A file without a key cannot be used at all.
        {"mtls", "ca.pem", "Cannot load client certificate '"},
        {"good", nullptr, nullptr},  // a server that does not ask is unaffected
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pszServer) + " " + (c.pszCert ? c.pszCert : "-"));
        COrvSocket s;
        COrvError err;
        const bool bOk =
            StartTlsAs(s, c.pszServer, "good.example.com", err, kDefault, false, c.pszCert);
        EXPECT_EQ(c.pszError == nullptr, bOk) << Text(err);
        if (bOk) {
            EXPECT_TRUE(FetchStatus(s));
        } else {
            EXPECT_EQ(enNetAuth, err.Code());
            EXPECT_EQ(0, err.Text().Find(c.pszError)) << Text(err);
            EXPECT_FALSE(s.IsOpen());
        }
    }
}

TEST(OrvSslNames, MatchingRules) {
    const struct {
        const char* pszCert;
        const char* pszHost;
        bool bMatch;
    } cases[] = {
        {"example.com", "example.com", true},
        {"w*.example.com", "www.example.com", false},  // never part of a label
        {"www.*.com", "www.example.com", false},       // only the left-most label
        {"*.com", "example.com", false},               // a public suffix on its own
        {"*.0.0.1", "127.0.0.1", false},               // never an address
        {"example..com", "example..com", false},       // empty labels never match
        {"example.com.", "example.com.", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.bMatch, OrvSslNameMatches(c.pszCert, c.pszHost))
            << c.pszCert << " vs " << c.pszHost;
    }
}

// The session cache: filled and used with its option bit only, resumed for the same name, evicting
// the oldest of 256; a cached session stands for the identities it was made with: it is never
// resumed for another client certificate (or none), nor by a connection that checks what a
// trust-any one did not.
TEST_F(OrvSsl, SessionCache) {
    OrvSslSessionCacheClear();
    const struct {
        const char* pszServer;
        const char* pszCert;
        bool bTrustAny;
        unsigned nOptions;
        bool bOk, bReused;
    } steps[] = {
        // clang-format off
        {"good", nullptr, false, kDefault, true, false},  // no bit: neither used nor filled
        {"good", nullptr, false, kCacheOn, true, false},
        {"good", nullptr, false, kCacheOn, true, true},
        {"mtls", "client.pem", false, kCacheOn, true, false},
        // Without a certificate the server asks for one again, instead of a resumed session
        // passing for the certificate's owner.
        {"mtls", nullptr, false, kCacheOn, false, false},
        {"mtls", "client.pem", false, kCacheOn, true, true},
        {"wild", nullptr, true, kCacheOn, true, false},
        {"wild", nullptr, false, kCacheOn, true, false},
        {"wild", nullptr, false, kCacheOn, true, true},
        // clang-format on
    };
    for (const auto& c : steps) {
        SCOPED_TRACE(std::string(c.pszServer) + (c.pszCert ? " cert" : "") +
                     (c.bTrustAny ? " any" : ""));
        COrvSocket s;
        COrvError err;
        const char* pszHost = c.pszServer[0] == 'w' ? "a.wild.example.com" : "good.example.com";
        const bool bOk =
            StartTlsAs(s, c.pszServer, pszHost, err, c.nOptions, c.bTrustAny, c.pszCert);
        EXPECT_EQ(c.bOk, bOk) << Text(err);
        if (bOk) {
            EXPECT_EQ(c.bReused, s.IsTlsSessionReused());
            EXPECT_TRUE(FetchStatus(s));
        }
        if (c.nOptions == kDefault) {
            EXPECT_EQ(0, OrvSslSessionCacheCount());
        }
    }
    const std::string key = "good.example.com:" + std::to_string(TlsEnvironment::Port("good"));
    EXPECT_TRUE(OrvSslSessionCacheHas(key.c_str()));

    OrvSslSessionCacheClear();
}

// The library's own TLS server side: a line echoed back, then the client's send meets a peer
// that reads slowly: the send time-out bounds the whole TLS send, however many records and
// partial writes it takes.
TEST_F(OrvSsl, LibraryServerSideAndSendTimeout) {
    COrvSslServerContext ctx;
    COrvError err;
    const std::string cert = TlsEnvironment::Path("good.pem");
    ASSERT_TRUE(ctx.Load(cert.c_str(), TlsEnvironment::Path("good-key.pem").c_str(), nullptr,
                         "prime256v1", err))
        << Text(err);
    COrvSocket listener;
    ASSERT_TRUE(listener.Listen("127.0.0.1", 0, 4, err));
    std::atomic<bool> bStop{false};
    std::thread server([&] {
        COrvSocket s;
        COrvError e;
        ASSERT_TRUE(listener.Accept(s, 10000, e));
        ASSERT_TRUE(s.AcceptTls(ctx, e)) << Text(e);
        COrvStringA line;
        ASSERT_TRUE(s.RecvLine(line, e));
        EXPECT_TRUE(s.SendString(COrvStringA("tls:") + line + "\n", e));
        char buf[16384];
        int nGot = 1;
        while (!bStop && s.Recv(buf, sizeof buf, nGot, e) && nGot > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    COrvSocket c;
    ASSERT_TRUE(
        c.Connect("127.0.0.1", listener.GetLocalPort(), false, OrvTestNet(5, 2, 5), nullptr, err));
    ASSERT_TRUE(c.StartTls("good.example.com", COrvTlsSettings(), err)) << Text(err);
    ASSERT_TRUE(c.SendString("hello\n", err));
    COrvStringA line;
    ASSERT_TRUE(c.RecvLine(line, err));
    EXPECT_STREQ("tls:hello", line);
    const std::string big(8 << 20, 'x');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.Send(big.data(), static_cast<int>(big.size()), err));
    const auto nSpent = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    bStop = true;
    EXPECT_EQ(enNetConnection, err.Code()) << Text(err);
    EXPECT_GE(nSpent, 1900);
    EXPECT_LT(nSpent, 3500);
    EXPECT_FALSE(c.IsOpen());
    server.join();

    COrvSslServerContext bad;
    err.Clear();
    EXPECT_FALSE(bad.Load(cert.c_str(), TlsEnvironment::Path("wild-key.pem").c_str(), nullptr,
                          nullptr, err));
    EXPECT_EQ(0u, Text(err).find("Cannot load certificate/private key pair: "));
}

// Trusting the system roots loads the system's bundle into the store; the test CA is added
// again for the cases after this one.
TEST_F(OrvSsl, SystemRootsLoadOnRequest) {
    COrvStringA strError;
    OrvSslSetTrustSystemRoots(true);
    EXPECT_TRUE(OrvSslReloadSystemRoots(strError)) << strError.GetString();
    OrvSslSetTrustSystemRoots(false);
    COrvError err;
    EXPECT_EQ(1, OrvSslAddTrustedRoots(TlsEnvironment::Path("ca.pem").c_str(), err));
}

}  // namespace
