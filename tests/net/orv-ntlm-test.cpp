// NTLM messages: the published NTLMv2 example reproduced byte for byte (MD4 and HMAC-MD5 under it),
// challenge parsing (bounds, unknown AV pairs), and authenticate messages checked by an independent
// server-side implementation (python3-impacket).
#include <gtest/gtest.h>

#include <string>

#include "orv-crypt.h"
#include "orv-hash.h"
#include "orv-ntlm.h"
#include "orv-string-util.h"
#include "orv-test-support.h"

namespace {

std::string Hex(const COrvStringA& s) {
    return OrvTestHex(std::string(s.GetString(), static_cast<size_t>(s.GetLength())));
}

COrvStringA FromHex(const char* psz) {
    COrvStringA s;
    for (const char* p = psz; p[0] && p[1]; p += 2) {
        while (*p == ' ')
            ++p;
        s.AppendChar(static_cast<char>(OrvHexDigitValue(p[0]) * 16 + OrvHexDigitValue(p[1])));
    }
    return s;
}

// A security buffer field of a message.
COrvStringA FieldOf(const COrvStringA& msg, int iField) {
    const auto* p = reinterpret_cast<const uint8_t*>(msg.GetString());
    const int n = p[iField] | p[iField + 1] << 8;
    const int off = p[iField + 4] | p[iField + 5] << 8;
    return msg.Mid(off, n);
}

// The challenge message of the published NTLMv2 example: server challenge 0123456789abcdef,
// target name "Server", pairs NetBIOS domain "Domain" and computer "Server".
const char kExampleChallenge[] =
    "4e544c4d53535000020000000c000c003800000033828ae20123456789abcdef00000000000000002400240044"
    "000000060070170000000f53006500720076006500720002000c0044006f006d00610069006e0001000c005300"
    "6500720076006500720000000000";

}  // namespace

TEST(OrvNtlm, PublishedNtlmV2ExampleByteForByte) {
    COrvStringA sKey;
    COrvError err;
    ASSERT_TRUE(OrvNtlmNtowfV2("Password", "User", "Domain", sKey, err)) << err.Text();
    EXPECT_EQ(Hex(sKey), "0c868a403bfd7a93a3001ef22ef02e3f");

    COrvNtlmContext ctx;
    (void)ctx.MakeNegotiate();
    const COrvStringA sChallenge = FromHex(kExampleChallenge);
    ASSERT_TRUE(
        ctx.TakeChallenge(OrvBase64Encode(sChallenge.GetString(), sChallenge.GetLength()), err))
        << err.Text();
    EXPECT_EQ(ctx.Challenge().m_sDescription,
              "NetBIOSDomainName: Domain, NetBIOSComputerName: Server");
    ctx.m_sWorkstation = "COMPUTER";
    ctx.m_sFixedClientChallenge = FromHex("aaaaaaaaaaaaaaaa");
    ctx.m_sFixedSessionKey = FromHex("55555555555555555555555555555555");
    ctx.m_bUseFixedTime = true;
    ctx.m_nFixedTime = 0;
    COrvStringA sB64;
    ASSERT_TRUE(ctx.MakeAuthenticate("Domain\\User", "Password", sB64, err)) << err.Text();
    EXPECT_EQ(Hex(ctx.SessionKey()), "55555555555555555555555555555555");
    // Each field of the message: LM response, NT response (proof, then the blob), domain,
    // user, workstation, encrypted session key.
    const struct {
        int iField;
        const char* pszHex;
    } kFields[] = {
        {12, "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa"},
        {20,
         "68cd0ab851e51c96aabc927bebef6a1c01010000000000000000000000000000aaaaaaaaaaaaaaaa0000"
         "000002000c0044006f006d00610069006e0001000c005300650072007600650072000000000000000000"},
        {28, "44006f006d00610069006e00"},
        {36, "5500730065007200"},
        {44, "43004f004d0050005500540045005200"},
        {52, "c5dad2544fc9799094ce1ce90bc9d03e"}};
    for (const auto& f : kFields)
        EXPECT_EQ(Hex(FieldOf(ctx.AuthenticateMessage(), f.iField)), f.pszHex) << f.iField;
}

namespace {

// A challenge message with the given flags and target information, built by hand.
COrvStringA MakeChallenge(uint32_t dwFlags, const COrvStringA& sInfo) {
    COrvStringA s("NTLMSSP", 8);
    const auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            s.AppendChar(static_cast<char>(v >> 8 * i));
    };
    const uint32_t nInfo = static_cast<uint32_t>(sInfo.GetLength());
    put32(2), put32(0), put32(48);  // type, no target name
    put32(dwFlags);
    s += FromHex("11223344556677880000000000000000");
    put32(nInfo | nInfo << 16), put32(48);
    return s + sInfo;
}

std::string Peer(const char* pszUser, const char* pszDomain, const char* pszPassword,
                 const COrvStringA& sChallenge, const COrvStringA& sNegotiate,
                 const COrvStringA& sAuthB64) {
    return OrvRunCapture(
        std::string("echo ") + sAuthB64.GetString() + " | /usr/bin/python3 " +
        ORV_NTLM_PEER_SCRIPT + " '" + pszUser + "' '" + pszDomain + "' '" + pszPassword + "' " +
        OrvBase64Encode(sChallenge.GetString(), sChallenge.GetLength()).GetString() + " " +
        sNegotiate.GetString());
}

}  // namespace

TEST(OrvNtlm, ChallengeParserBoundsAndPairs) {
    // Timestamp, DNS names, flags, an unknown pair (id 0x55), then the end of the list.
    const COrvStringA sInfo = FromHex(
        "0700080000e1f505000000000300080068006f00730074000400040063006f000600040001000000550002"
        "00abcd00000000");
    COrvNtlmChallenge ch;
    COrvError err;
    const COrvStringA sGood = MakeChallenge(0xe2898215u, sInfo);
    ASSERT_TRUE(OrvNtlmParseChallenge(sGood.GetString(), sGood.GetLength(), ch, err)) << err.Text();
    EXPECT_EQ(ch.m_sDescription,
              "Timestamp: 0x5f5e100, DNSComputerName: host, DNSDomainName: co, Flags: 0x1, "
              "Invalid");

    // A proxy's challenge whose empty-looking target name has an uninitialised offset and whose
    // flags announce no target information: accepted, with nothing read after the challenge.
    const COrvStringA sProxy = FromHex(
        "4e544c4d535350000200000009000900aeaaaaaa070200a0a6318bcd8f0cbd780000000000003a00574f524b"
        "47524f5550");
    ASSERT_TRUE(OrvNtlmParseChallenge(sProxy.GetString(), sProxy.GetLength(), ch, err))
        << err.Text();
    EXPECT_TRUE(ch.m_avPairs.GetCount() == 0 && ch.m_sTargetName.IsEmpty());

    const struct {
        COrvStringA msg;
        const char* pszText;
    } kBad[] = {
        {sGood.Left(31), "input too small (expected >= 32 bytes, got 31"},
        // target information longer than the message
        {sGood.Left(sGood.GetLength() - 1), "bad TargetInfo field"},
        // a pair whose length runs past the list
        {MakeChallenge(0x00800001u, FromHex("0100020041000200")), "bad AVPair at offset 6"},
    };
    for (const auto& c : kBad) {
        COrvError e;
        EXPECT_FALSE(OrvNtlmParseChallenge(c.msg.GetString(), c.msg.GetLength(), ch, e));
        EXPECT_EQ(e.Text(), c.pszText);
        EXPECT_EQ(e.Code(), enNetAuth);
    }
}

TEST(OrvNtlm, IndependentServerVerifiesAuthenticateMessages) {
    const struct {
        const char* pszUserId;
        const char* pszUser;
        const char* pszDomain;
        const char* pszPassword;
        uint32_t dwFlags;
        const char* pszInfo;
    } kCases[] = {
        // timestamp present: integrity code, key exchange
        {"CORP\\alice", "alice", "CORP", "S3cret!", 0xe2898215u,
         "0200080043004f005200500007000800010203040506070800000000"},
        // no timestamp, no key exchange; user name with non-ASCII letters
        {"Dom\\J\xc3\xb6rg", "J\xc3\xb6rg", "Dom", "p\xc3\xa4ss word", 0xa2890205u,
         "01000c0053006500720076006500720000000000"},
    };
    for (const auto& c : kCases) {
        COrvNtlmContext ctx;
        const COrvStringA sNego = ctx.MakeNegotiate();
        const COrvStringA sChal = MakeChallenge(c.dwFlags, FromHex(c.pszInfo));
        COrvError err;
        ASSERT_TRUE(ctx.TakeChallenge(OrvBase64Encode(sChal.GetString(), sChal.GetLength()), err))
            << err.Text();
        COrvStringA sAuth;
        ASSERT_TRUE(ctx.MakeAuthenticate(c.pszUserId, c.pszPassword, sAuth, err)) << err.Text();
        EXPECT_EQ(Peer(c.pszUser, c.pszDomain, c.pszPassword, sChal, sNego, sAuth), "ok\n")
            << c.pszUserId << " (package python3-impacket)";
        EXPECT_NE(Peer(c.pszUser, c.pszDomain, "wrong", sChal, sNego, sAuth), "ok\n");
    }
    // Invalid UTF-8 in the password is refused, not sent.
    COrvNtlmContext ctx;
    const COrvStringA sChal = MakeChallenge(0xa2890205u, FromHex("00000000"));
    COrvError err;
    ASSERT_TRUE(ctx.TakeChallenge(OrvBase64Encode(sChal.GetString(), sChal.GetLength()), err));
    COrvStringA sAuth;
    EXPECT_FALSE(ctx.MakeAuthenticate("u", "ab\xff", sAuth, err));
    EXPECT_EQ(err.Text().Find("failed to compute NTOWFv2: "), 0);
}
