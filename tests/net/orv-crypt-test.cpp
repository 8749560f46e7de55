// The crypto helpers against independent peers: the AES password forms and RSA rebuilt in Python
// (python3-cryptography, tests/net/orv-crypt-peer.py), one-time passwords against an RFC vector and
// oathtool, certificates against the openssl command.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "orv-crypt.h"
#include "orv-net-test-util.h"
#include "orv-sys.h"

namespace {

const char kPeer[] = "/usr/bin/python3 " ORV_CRYPT_PEER_SCRIPT;

std::string Hex(const std::string& s) {
    return OrvTestHex(s);
}
std::string Hex(const COrvStringA& s) {
    return Hex(OrvStr(s));
}
std::string Unhex(const std::string& h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}
COrvStringA Str(const std::string& s) {
    return COrvStringA(s.data(), static_cast<int>(s.size()));
}
std::string Json(const std::string& s) {
    std::string out = "\"";
    for (char c : s)
        out += c == '\n' ? std::string("\\n") : c == '"' ? std::string("\\\"") : std::string(1, c);
    return out + "\"";
}
std::vector<std::string> RunPeer(const std::vector<std::string>& requests) {
    std::vector<std::string> answers;
    EXPECT_TRUE(OrvRunOverLines(kPeer, requests, answers)) << "package python3-cryptography";
    EXPECT_EQ(answers.size(), requests.size());
    answers.resize(requests.size());
    return answers;
}
// The output (with errors) of a shell command, and its exit status.
std::string Shell(const std::string& cmd, int* pnStatus = nullptr) {
    return OrvRunCapture(cmd + " 2>&1", pnStatus);
}

using EncFn = bool (*)(const COrvStringA&, const char*, COrvStringA&, COrvError&);
struct AesForm {
    const char* pszName;
    EncFn pfnEncrypt, pfnDecrypt;
    const char* pszPeerEnc;
    const char* pszPeerDec;
    const char* pszBadText;
    bool bRandom;   // differs on every encryption
    int nShortMax;  // the longest input that is "too short"
};
const AesForm kForms[] = {
    {"Random32", OrvEncryptAesRandom32, OrvDecryptAesRandom32, "enc32", "dec32",
     "bad decryption password", true, 17},
    {"Repeatable", OrvEncryptAesRepeatable, OrvDecryptAesRepeatable, "encrep", "decrep",
     "OrvDecryptAes: bad decryption password or options", false, 9},
};

TEST(OrvCrypt, AesFormsAgreeWithPythonBothWays) {
    std::mt19937 rng(3);
    const std::vector<std::string> passwords = {"", "secret", "p\xC3\xA4sswort with spaces"};
    for (const AesForm& f : kForms) {
        std::vector<std::string> requests, plains;
        std::vector<COrvStringA> ours;
        for (int n : {0, 15, 16, 31, 32, 33, 1000}) {
            std::string plain(n, '\0');
            for (char& c : plain)
                c = static_cast<char>(rng());
            const std::string& pw = passwords[plains.size() % passwords.size()];
            COrvStringA out;
            COrvError err;
            ASSERT_TRUE(f.pfnEncrypt(Str(plain), pw.c_str(), out, err)) << err.Text().GetString();
            requests.push_back(std::string("{\"op\":\"") + f.pszPeerDec + "\",\"data\":\"" +
                               Hex(out) + "\",\"pw\":\"" + Hex(pw) + "\"}");
            requests.push_back(std::string("{\"op\":\"") + f.pszPeerEnc + "\",\"plain\":\"" +
                               Hex(plain) + "\",\"pw\":\"" + Hex(pw) + "\"}");
            plains.push_back(plain);
            ours.push_back(out);
        }
        const std::vector<std::string> answers = RunPeer(requests);
        for (size_t i = 0; i < plains.size(); ++i) {
            const std::string& pw = passwords[i % passwords.size()];
            EXPECT_EQ(answers[2 * i], Hex(plains[i])) << f.pszName << " " << plains[i].size();
            COrvStringA plain;
            COrvError err;
            EXPECT_TRUE(f.pfnDecrypt(Str(Unhex(answers[2 * i + 1])), pw.c_str(), plain, err))
                << f.pszName << " " << plains[i].size() << ": " << err.Text().GetString();
            EXPECT_EQ(Hex(plain), Hex(plains[i]));
            // Same text, same password: Random32 differs every time, Repeatable never.
            COrvStringA again;
            ASSERT_TRUE(f.pfnEncrypt(Str(plains[i]), pw.c_str(), again, err));
            EXPECT_EQ(again.Equals(ours[i]), !f.bRandom);
        }
    }
}

TEST(OrvCrypt, WrongPasswordsAndDamagedInputsFailWithTheirTexts) {
    for (const AesForm& f : kForms) {
        COrvStringA sealed;
        COrvError err;
        ASSERT_TRUE(f.pfnEncrypt("attack at dawn", "right", sealed, err));
        COrvStringA kept("untouched");
        EXPECT_FALSE(f.pfnDecrypt(sealed, "wrong", kept, err));
        EXPECT_EQ(err.Code(), enNetBadRequest);
        EXPECT_STREQ(kept.GetString(), "untouched");
        // Every truncation, and every single-byte change of the repeatable (fixed) output.
        for (int n = 0; n < sealed.GetLength(); ++n) {
            COrvStringA plain, bent = sealed;
            COrvError e, e2;
            EXPECT_FALSE(f.pfnDecrypt(sealed.Left(n), "right", plain, e)) << n;
            EXPECT_GE(e.Text().Find(n <= f.nShortMax ? "too short" : f.pszBadText), 0)
                << f.pszName << " " << n << ": " << e.Text().GetString();
            bent.SetAt(n, static_cast<char>(bent[n] ^ 0x01));
            EXPECT_TRUE(f.bRandom || !f.pfnDecrypt(bent, "right", plain, e2)) << n;
        }
    }
}

TEST(OrvCrypt, OneTimePasswords) {
    const COrvStringA key("12345678901234567890");
    EXPECT_EQ(OrvTotpCode(key, 20000000000, 8), 65353130);  // past 2038
    EXPECT_EQ(OrvHotpCode(key, 0, 5) + OrvHotpCode(key, 0, 10) + OrvHotpCode(COrvStringA(), 0, 6),
              -3);

    ASSERT_TRUE(OrvHaveProgram("oathtool")) << "package oathtool";
    std::mt19937_64 rng(11);
    for (int i = 0; i < 24; ++i) {
        std::string k(1 + rng() % 40, '\0');
        for (char& c : k)
            c = static_cast<char>(rng());
        const int nDigits = 6 + i % 3;
        const bool bTotp = i % 2 == 1;
        const uint64_t n = bTotp ? rng() % 4000000000ULL : rng() >> (rng() % 64);
        const std::string cmd = "oathtool " + std::string(bTotp ? "--totp --now=@" : "--hotp -c ") +
                                std::to_string(n) + " -d " + std::to_string(nDigits) + " " + Hex(k);
        int nStatus = 0;
        const std::string peer = Shell(cmd, &nStatus);
        ASSERT_EQ(nStatus, 0) << cmd << ": " << peer;
        const int ours = bTotp ? OrvTotpCode(Str(k), static_cast<int64_t>(n), nDigits)
                               : OrvHotpCode(Str(k), n, nDigits);
        EXPECT_EQ(std::stoi(peer), ours) << cmd;
    }
}

// Broken Base64 (the other alphabet, data after padding, a lone last character) is refused and
// the output kept.
TEST(OrvCrypt, BadBase64IsRefused) {
    for (const auto& [psz, bUrlSafe] : {std::pair("ab+/", true), {"YQ==YQ", false}, {"YWJjZ", 0}}) {
        COrvStringA out("kept");
        EXPECT_FALSE(OrvBase64Decode(psz, static_cast<int>(strlen(psz)), bUrlSafe, out)) << psz;
        EXPECT_STREQ(out.GetString(), "kept");
    }
}

TEST(OrvCrypt, RsaKeysAndOaepAgreeWithPython) {
    COrvStringA priv, pub;
    COrvError err;
    ASSERT_TRUE(OrvRsaGenerateKey(2048, 65537, priv, pub, err)) << err.Text().GetString();
    EXPECT_FALSE(OrvRsaGenerateKey(2048, 65536, priv, pub, err));

    const std::string data = "short secret \x01\x02\xFF";
    COrvStringA ours;
    ASSERT_TRUE(OrvRsaEncrypt(pub, Str(data), ours, err)) << err.Text().GetString();
    const std::vector<std::string> answers =
        RunPeer({"{\"op\":\"rsadec\",\"pem\":" + Json(priv.GetString()) + ",\"data\":\"" +
                     Hex(ours) + "\"}",
                 "{\"op\":\"rsaenc\",\"pem\":" + Json(pub.GetString()) + ",\"data\":\"" +
                     Hex(data) + "\"}"});
    EXPECT_EQ(answers[0], Hex(data));
    COrvStringA plain;
    ASSERT_TRUE(OrvRsaDecrypt(priv, Str(Unhex(answers[1])), plain, err)) << err.Text().GetString();
    EXPECT_EQ(Hex(plain), Hex(data));

    // Too long for OAEP under a 2048-bit key, damaged data: refused, the output kept.
    COrvStringA out("kept");
    COrvError e1, e2;
    EXPECT_FALSE(OrvRsaEncrypt(pub, COrvStringA(std::string(191, 'x').c_str()), out, e1));
    EXPECT_FALSE(OrvRsaDecrypt(priv, ours.Left(ours.GetLength() - 1), out, e2));
    EXPECT_EQ(e2.Text().Find("Cannot decrypt data: "), 0) << e2.Text().GetString();
    EXPECT_STREQ(out.GetString(), "kept");
}

// A CA (EC key, made by the openssl command) and the authority over it.
class OrvCertAuthority : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(OrvHaveProgram("openssl")) << "package openssl";
        int nStatus = 0;
        Shell("openssl ecparam -name prime256v1 -genkey -noout -out " + m_dir.File("ca-key.pem"),
              &nStatus);
        ASSERT_EQ(nStatus, 0);
        m_caKey = Str(OrvReadFileBytes(m_dir.File("ca-key.pem")));
        OrvCertNames names;
        names.pszCommonName = "Orv Test CA";
        names.pszCountry = "DE";
        names.pszOrganization = "Tovrin";
        names.pszUnit = "Servers";
        COrvError err;
        ASSERT_TRUE(OrvMakeSelfSignedCertificate(m_caKey, names, 30, true, m_caCert, err))
            << err.Text().GetString();
        ASSERT_TRUE(OrvWriteFileBytes(m_dir.File("ca.pem"), m_caCert.GetString()));
        ASSERT_TRUE(m_ca.Load(m_caCert, m_caKey, err)) << err.Text().GetString();
        ASSERT_TRUE(OrvRsaGenerateKey(2048, 65537, m_serverKey, m_serverPub, err));
        ASSERT_TRUE(OrvWriteFileBytes(m_dir.File("server-key.pem"), m_serverKey.GetString()));
    }
    std::string Issue(const std::vector<const char*>& names, const COrvStringA& key) {
        COrvStringA pem;
        COrvError err;
        EXPECT_TRUE(m_ca.Issue(names.data(), static_cast<int>(names.size()), key, 10, pem, err))
            << err.Text().GetString();
        return pem.GetString();
    }

    OrvTempDir m_dir;
    COrvStringA m_caKey, m_caCert, m_serverKey, m_serverPub;
    COrvCertificateAuthority m_ca;
};

TEST_F(OrvCertAuthority, RefusesBadRequests) {
    std::vector<const char*> many(33, "x.example");
    // A key under a passphrase is refused, never asked for on the terminal.
    const COrvStringA locked = Str(Shell(
        "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -aes256 -pass pass:x"));
    const struct {
        std::vector<const char*> names;
        COrvStringA key;
        const char* pszText;
    } kBad[] = {
        {many, m_serverPub, "subject name list too long (33)"},
        {{"a.example"}, locked, "bad private key: "},
    };
    for (const auto& b : kBad) {
        COrvStringA pem("kept");
        COrvError err;
        EXPECT_FALSE(
            m_ca.Issue(b.names.data(), static_cast<int>(b.names.size()), b.key, 10, pem, err));
        EXPECT_EQ(err.Text().Find(b.pszText), 0) << err.Text().GetString();
        EXPECT_STREQ(pem.GetString(), "kept");
    }
    EXPECT_EQ(m_ca.IssuedCount(), 0);
}

// openssl verifies the certificates (one issued for the public key, one for the private key's)
// and shows the first one's fields.
TEST_F(OrvCertAuthority, OpensslVerifiesTheCertificates) {
    ASSERT_TRUE(OrvWriteFileBytes(m_dir.File("server.pem"),
                                  Issue({"server.orv.test", "127.0.0.1"}, m_serverPub)));
    ASSERT_TRUE(OrvWriteFileBytes(m_dir.File("b.pem"), Issue({"b.example"}, m_serverKey)));
    int nStatus = 0;
    const std::string verify = Shell("openssl verify -CAfile " + m_dir.File("ca.pem") + " " +
                                         m_dir.File("server.pem") + " " + m_dir.File("b.pem"),
                                     &nStatus);
    EXPECT_EQ(nStatus, 0) << verify;
    const std::string text = Shell("openssl x509 -noout -text -in " + m_dir.File("server.pem")) +
                             Shell("openssl x509 -noout -subject -in " + m_dir.File("ca.pem"));
    for (const char* psz : {"CA:FALSE", "DNS:server.orv.test, IP Address:127.0.0.1",
                            "subject=C = DE, O = Tovrin, OU = Servers, CN = Orv Test CA"})
        EXPECT_NE(text.find(psz), std::string::npos) << psz << "\n" << text;
}

TEST(OrvDataProtection, OnlyTheOwnersKeyReadsTheData) {
    OrvTempDir dir;
    const std::string mine = dir.File("mine"), theirs = dir.File("theirs");
    OrvSetDataProtectionFolder(mine.c_str());
    COrvStringA sealed, plain;
    COrvError err;
    ASSERT_TRUE(OrvProtectData(COrvStringA("pass\0word", 9), sealed, err))
        << err.Text().GetString();
    ASSERT_TRUE(OrvUnprotectData(sealed, plain, err)) << err.Text().GetString();
    EXPECT_EQ(Hex(plain), Hex(std::string("pass\0word", 9)));
    const std::string key = mine + "/data-protection.key";
    struct stat st;
    ASSERT_EQ(stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 32);

    // Another user's key (another folder) and altered data fail; the output is kept.
    OrvSetDataProtectionFolder(theirs.c_str());
    plain = "kept";
    EXPECT_FALSE(OrvUnprotectData(sealed, plain, err));
    EXPECT_EQ(err.Text().Find("Cannot unprotect data: "), 0);
    EXPECT_STREQ(plain.GetString(), "kept");
    OrvSetDataProtectionFolder(mine.c_str());
    COrvStringA bent = sealed;
    bent.SetAt(20, static_cast<char>(bent[20] ^ 0x80));
    EXPECT_FALSE(OrvUnprotectData(bent, plain, err));
    // A key open to others, or owned by another user, is refused.
    ASSERT_EQ(chmod(key.c_str(), 0644), 0);
    COrvError e1;
    EXPECT_FALSE(OrvProtectData("x", sealed, e1));
    EXPECT_EQ(e1.Code(), enNetAccessDenied) << e1.Text().GetString();
    ASSERT_EQ(chmod(key.c_str(), 0600), 0);
    COrvError e2;
    EXPECT_TRUE(geteuid() != 0 ||
                (chown(key.c_str(), 4242, 4242) == 0 && !OrvUnprotectData(sealed, plain, e2) &&
                 e2.Text().Find("belongs to another user") >= 0))
        << e2.Text().GetString();
    OrvSetDataProtectionFolder(nullptr);
}

}  // namespace
