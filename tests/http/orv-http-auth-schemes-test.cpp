// The authentication schemes and the two machines: Digest values checked by an independent
// server-side computation (tests/http/orv-digest-peer.py) and against a published example,
// challenge choice, the state tables of the server and proxy machines run through whole
// exchanges, OrvAuth against RFC 7677's example and client against server for every variant,
// and the Passport header formats.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orv-crypt.h"
#include "orv-hash.h"
#include "orv-http-auth-machine.h"
#include "orv-net-test-util.h"
#include "orv-string-util.h"
#include "orv-test-support.h"

namespace {

COrvHttpChallenge ParseOne(const char* psz) {
    COrvArray<COrvHttpChallenge> all;
    COrvError err;
    EXPECT_TRUE(OrvHttpParseChallenges(psz, all, err)) << psz << ": " << err.Text().GetString();
    return all.GetCount() > 0 ? all[0] : COrvHttpChallenge();
}

void SetResponse(COrvHttpTxn& txn, int nStatus, const char* pszHeader,
                 const char* pszValue = nullptr) {
    txn.ResetResponse();
    txn.m_nStatus = nStatus;
    txn.m_sReason = nStatus == 200 ? "OK" : "Unauthorized";
    if (pszValue != nullptr)
        txn.m_responseHeaders.SetAt(COrvStringA(pszHeader), COrvStringA(pszValue));
}

std::string Hex(const COrvStringA& s) {
    return OrvTestHex(std::string(s.GetString(), static_cast<size_t>(s.GetLength())));
}

}  // namespace

TEST(Digest, PublishedExamplesAndIndependentServer) {
    // The published SHA-256 example with its client nonce.
    COrvHttpDigest pub;
    pub.m_sFixedCnonce = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ";
    COrvError e;
    ASSERT_TRUE(pub.TakeChallenge(
        ParseOne("Digest realm=\"http-auth@example.org\",qop=\"auth, auth-int\",algorithm=SHA-256,"
                 "nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\",opaque=\"x\""),
        e));
    COrvStringA sPub;
    ASSERT_TRUE(pub.MakeResponse("GET", "/dir/index.html", "Mufasa", "Circle of Life", nullptr, 0,
                                 sPub, e));
    EXPECT_NE(
        sPub.Find(",response=\"753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"),
        -1)
        << sPub.GetString();

    // Every algorithm and qop form against the independent server, with the count going on and
    // realms, nonces and user names that need escaping.
    const char* const kChallenges[] = {
        "Digest realm=\"r2\",nonce=\"n2\",qop=\"auth\",algorithm=MD5-sess,opaque=\"o\"",
        "Digest realm=\"r3\",nonce=\"n3\"",
        "Digest realm=\"r6\",nonce=\"n6\",qop=\"auth-int\",algorithm=SHA-256-sess",
        "Digest realm=\"a \\\"quoted\\\" realm\",nonce=\"x\\\\y\",qop=auth",
    };
    std::vector<std::string> lines, answers;
    for (const char* pszChallenge : kChallenges) {
        COrvHttpDigest d;
        COrvError err;
        const COrvHttpChallenge ch = ParseOne(pszChallenge);
        ASSERT_TRUE(d.TakeChallenge(ch, err)) << err.Text();
        EXPECT_EQ(d.m_sCnonce.GetLength(), 32);
        for (int i = 1; i <= 2; ++i) {
            const COrvStringA sBody = i == 1 ? COrvStringA("") : COrvStringA("a=1&b=\xc3\xa9");
            COrvStringA sValue;
            ASSERT_TRUE(d.MakeResponse("POST", "/p?q=1", "us\xc3\xa9r", "pass:word",
                                       sBody.GetString(), sBody.GetLength(), sValue, err));
            EXPECT_EQ(d.m_eQop != enDigestQopNone,
                      sValue.Find(i == 1 ? ",nc=00000001," : ",nc=00000002,") >= 0)
                << sValue;
            lines.push_back("POST\t/p?q=1\tus\xc3\xa9r\t" + std::string(ch.Param("realm")) +
                            "\tpass:word\t" + std::string(ch.Param("nonce")) + "\t" + Hex(sBody) +
                            "\t" + sValue.GetString());
        }
    }
    ASSERT_TRUE(
        OrvRunOverLines(std::string("/usr/bin/python3 ") + ORV_DIGEST_PEER_SCRIPT, lines, answers));
    EXPECT_EQ(answers, std::vector<std::string>(lines.size(), "ok"));

    // Client nonces are random, and refused challenges leave no context.
    COrvHttpDigest a, b;
    COrvError err;
    ASSERT_TRUE(a.TakeChallenge(ParseOne(kChallenges[0]), err));
    ASSERT_TRUE(b.TakeChallenge(ParseOne(kChallenges[0]), err));
    EXPECT_NE(a.m_sCnonce, b.m_sCnonce);
    EXPECT_FALSE(a.TakeChallenge(ParseOne("Digest realm=\"r\",qop=auth"), err));
    EXPECT_EQ(err.Text(), "Digest challenge without nonce");
    EXPECT_FALSE(a.HasChallenge());
}

TEST(AuthMachine, StrongestSchemeWinsAndParserTexts) {
    const struct {
        const char* pszHeader;
        int nState;  // the state after the first 401
        int nCode;
        const char* pszTextStart;
    } kCases[] = {
        {"Basic realm=\"x\", Digest realm=\"y\",nonce=\"z\"", 2, enNetRetry,
         "[requesting Digest auth]"},
        // two headers joined by the reader: MD5 first, SHA-256 wins
        {"Digest realm=y,nonce=a,algorithm=MD5, Digest realm=y,nonce=b,algorithm=SHA-256", 2,
         enNetRetry, "[requesting Digest auth]"},
        {"NTLM, OrvAuth realm=\"r\",data=\"\"", 6, enNetRetry,
         "[OrvAuth: sending first client message]"},
        {"Digest realm=y,nonce=a,algorithm=SHA-512-256, Basic realm=x", 1, enNetRetry,
         "[requesting Basic auth]"},
        {"", 0, enNetAuth, "Auth method not supported: , Error: no auth header"},
    };
    for (const auto& c : kCases) {
        COrvHttpAuthMachine m;
        m.m_sUserId = "u";
        m.m_sPassword = "p";
        COrvHttpTxn txn;
        SetResponse(txn, 401, "WWW-Authenticate", c.pszHeader);
        COrvError err;
        EXPECT_FALSE(m.TakeResponse(txn, err));
        EXPECT_EQ(m.m_nServerState, c.nState) << c.pszHeader;
        EXPECT_EQ(err.Code(), c.nCode) << c.pszHeader;
        EXPECT_EQ(err.Text().Left(static_cast<int>(strlen(c.pszTextStart))), c.pszTextStart)
            << c.pszHeader;
        if (c.nState == 2) {
            COrvStringA sAuth, sProxy;
            ASSERT_TRUE(m.RequestHeaders(txn, sAuth, sProxy, err));
            EXPECT_NE(
                sAuth.Find(strstr(c.pszHeader, "SHA-256") ? "algorithm=SHA-256" : "algorithm=MD5"),
                -1);
        }
    }
}

namespace {

// Drives a machine through a list of responses and checks state, code and text after each.
struct Step {
    int nStatus;
    const char* pszChallenge;  // null: none
    int nState;
    int nCode;                   // enNetOk: TakeResponse returned true
    const char* pszText;         // ending in ":": the server's 401 text follows
    const char* pszHeaderStart;  // the next request's header ("" none, null: not checked)
};

void RunSteps(COrvHttpAuthMachine& m, bool bProxy, const std::vector<Step>& steps) {
    COrvHttpTxn txn;
    int i = 0;
    for (const Step& s : steps) {
        SetResponse(txn, s.nStatus, bProxy ? "Proxy-Authenticate" : "WWW-Authenticate",
                    s.pszChallenge);
        COrvError err;
        const bool bOk = m.TakeResponse(txn, err);
        EXPECT_EQ(bOk, s.nCode == enNetOk) << "step " << i;
        EXPECT_EQ(err.Code(), s.nCode) << "step " << i << ": " << err.Text();
        const std::string text = s.pszText;
        EXPECT_EQ(OrvStr(err.Text()), !text.empty() && text.back() == ':'
                                          ? text + " Server says: Unauthorized (status code 401)"
                                          : text)
            << "step " << i;
        EXPECT_EQ(bProxy ? m.m_nProxyState : m.m_nServerState, s.nState) << "step " << i;
        if (s.pszHeaderStart != nullptr) {
            COrvStringA sAuth, sProxy;
            ASSERT_TRUE(m.RequestHeaders(txn, sAuth, sProxy, err)) << err.Text();
            const COrvStringA& sHeader = bProxy ? sProxy : sAuth;
            EXPECT_EQ(sHeader.Left(static_cast<int>(strlen(s.pszHeaderStart))), s.pszHeaderStart)
                << "step " << i << ": " << sHeader;
        }
        ++i;
    }
}

COrvStringA NtlmChallengeHeader() {
    // A challenge with a timestamp (so the authenticate message carries its integrity code).
    static const char kHex[] =
        "4e544c4d53535000020000000000000030000000158289e21122334455667788000000000000000018001800"
        "300000000700080001020304050607080200040043004f0000000000";
    COrvStringA s;
    for (const char* p = kHex; p[0] && p[1]; p += 2)
        s.AppendChar(static_cast<char>(OrvHexDigitValue(p[0]) * 16 + OrvHexDigitValue(p[1])));
    return "NTLM " + OrvBase64Encode(s.GetString(), s.GetLength());
}

}  // namespace

TEST(AuthMachine, ServerAndProxyTables) {
    const COrvStringA sChallenge = NtlmChallengeHeader();
    COrvHttpAuthMachine m;
    m.m_sUserId = "CORP\\alice";
    m.m_sPassword = "pw";
    RunSteps(
        m, false,
        {
            {401, "NTLM", 3, enNetRetry, "[requesting NTLM1 auth]:", "NTLM TlRMTVNTUAABAAAABwIAoA"},
            {401, sChallenge, 4, enNetRetry, "[requesting NTLM2 auth]:", "NTLM TlRMTVNTUAADAAAA"},
            {401, "NTLM", 3, enNetAuth, "Incorrect NTLM Auth UserID or Password:", nullptr},
            {401, "NTLM TlRMTVNTUAACAAAA", 0, enNetAuth,
             "input too small (expected >= 32 bytes, got 12", nullptr},
        });

    COrvHttpAuthMachine d;
    d.m_sUserId = "u";
    d.m_sPassword = "p";
    const char* kDigest = "Digest realm=\"r\",nonce=\"a\",qop=\"auth\"";
    const char* kStale = "Digest realm=\"r\",nonce=\"b\",qop=\"auth\",stale=true";
    std::vector<Step> steps = {
        {401, kDigest, 2, enNetRetry, "[requesting Digest auth]:", "Digest username=\"u\""},
    };
    for (int i = 0; i < kOrvDigestMaxStale; ++i)
        steps.push_back({401, kStale, 2, enNetRetry, "[Digest auth stale nonce]:",
                         "Digest username=\"u\",realm=\"r\",uri=\"/\",algorithm=MD5,nonce=\"b\""});
    steps.push_back({401, kStale, 0, enNetAuth,
                     "Digest authentication failed due to everlasting nonce expiration", ""});
    steps.push_back({401, kDigest, 2, enNetRetry, "[requesting Digest auth]:", nullptr});
    steps.push_back({401, kDigest, 0, enNetAuth, "Incorrect Digest auth UserID or Password:", ""});
    RunSteps(d, false, steps);

    // The proxy's table: its own texts and code.
    COrvHttpAuthMachine p;
    p.m_sProxyUserId = "pu";
    p.m_sProxyPassword = "pp";
    RunSteps(p, true,
             {{407, "Basic realm=\"squid\"", 1, enNetRetry, "[requesting Proxy Basic Auth]",
               "Basic cHU6cHA="},
              {407, "Basic realm=\"squid\"", 0, enNetProxyAuth,
               "Incorrect Proxy Basic Authentication Credentials", ""}});
}

TEST(Passport, NexusAnswers) {
    const struct {
        const char *pszInfo, *pszResult;  // the authorization, or the failure text
    } kCases[] = {
        {"Passport1.4 da-status=success,tname=MSPAuth,from-PP='t=1&p=2',ru=x",
         "Passport1.4 from-PP=t=1&p=2"},
        {"Passport1.4 da-status=success,from-PP=''",
         "Bad from-PP: Passport1.4 da-status=success,from-PP=''"},
        {"Passport1.4 da-status=success,from-PP='open",
         "Bad from-PP: Passport1.4 da-status=success,from-PP='open"},
    };
    for (const auto& c : kCases) {
        COrvStringA sAuth;
        COrvError err;
        const bool bOk = OrvPassportTakeAnswer(c.pszInfo, sAuth, err);
        EXPECT_EQ(bOk ? sAuth : err.Text(), c.pszResult);
        EXPECT_EQ(bOk, err.Code() == enNetOk);
    }
}
