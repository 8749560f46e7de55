// OrvAuth (SCRAM with SHA-256): RFC 7677's example exchange reproduced by the client and by the
// server, our client against our server over the HTTP machine for every variant and awkward
// user names, and the texts of refused requests and answers.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "orv-http-auth-machine.h"
#include "orv-http-orvauth.h"
#include "orv-string-util.h"

namespace {

class Users : public IOrvAuthUserStore {
public:
    bool GetAuthData(const COrvStringA& sUser, COrvStringA& sRecord, COrvError& err) override {
        auto it = m_records.find(sUser.GetString());
        if (it == m_records.end())
            return err.Set(enNetNotFound, "no such user");
        sRecord = it->second.c_str();
        return true;
    }
    void Add(const char* pszUser, OrvAuthType eType, const char* pszPassword, int nIterations) {
        COrvStringA sRecord;
        COrvError err;
        ASSERT_TRUE(
            OrvScramMakeRecord(eType, pszPassword, COrvStringA(), nIterations, sRecord, err));
        m_records[pszUser] = sRecord.GetString();
    }
    std::map<std::string, std::string> m_records;
};

COrvStringA B64(const char* psz) {
    return OrvBase64Encode(psz, static_cast<int>(strlen(psz)));
}
COrvStringA UnB64(const COrvStringA& s) {
    COrvStringA out;
    EXPECT_TRUE(OrvBase64Decode(s.GetString(), s.GetLength(), false, out));
    return out;
}

// Runs the HTTP exchange between a client machine and the server until the server says 200 or
// the client gives up; returns the client's last error (enNetOk after a 200).
COrvError Exchange(COrvHttpAuthMachine& client, COrvAuthServer& server, COrvStringA& sUser) {
    COrvHttpTxn txn;
    COrvError err;
    for (int i = 0; i < 6; ++i) {
        COrvStringA sAuth, sProxy;
        if (!client.RequestHeaders(txn, sAuth, sProxy, err))
            return err;
        COrvAuthServerReply reply;
        server.HandleRequest(sAuth, reply);
        txn.ResetResponse();
        txn.m_nStatus = reply.m_nStatus;
        if (!reply.m_sWwwAuthenticate.IsEmpty())
            txn.m_responseHeaders.SetAt(COrvStringA("WWW-Authenticate"), reply.m_sWwwAuthenticate);
        err.Clear();
        if (client.TakeResponse(txn, err)) {
            sUser = reply.m_sUser;
            return err;
        }
        if (err.Code() != enNetRetry)
            return err;
    }
    return err;
}

}  // namespace

TEST(OrvAuth, Rfc7677ExampleByClientAndServer) {
    const char* kClientFirst = "n,,n=user,r=rOprNGfwEbeRWgbNEkqO";
    const char* kServerFirst =
        "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
    const char* kClientFinal =
        "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
        "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
    const char* kServerFinal = "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=";

    COrvAuthClient client;
    client.m_sFixedNonce = "rOprNGfwEbeRWgbNEkqO";
    EXPECT_EQ(client.ClientFirst("user"), kClientFirst);
    COrvStringA sFinal;
    COrvError err;
    ASSERT_TRUE(client.ClientFinal(kServerFirst, "pencil", sFinal, err)) << err.Text();
    EXPECT_EQ(sFinal, kClientFinal);
    EXPECT_TRUE(client.VerifyServerFinal(kServerFinal, err)) << err.Text();
    EXPECT_EQ(client.m_state, enServerVerified);

    Users users;
    COrvStringA sRecord;
    ASSERT_TRUE(OrvScramMakeRecord(enSCRAM_SHA256, "pencil", UnB64("W22ZaJ0SNY7soEsUEjb6gQ=="),
                                   4096, sRecord, err));
    users.m_records["user"] = sRecord.GetString();
    COrvAuthServer server("realm", &users);
    server.m_sFixedServerNonce = "%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0";
    COrvStringA sSid, sOut;
    ASSERT_TRUE(server.ServerFirst(kClientFirst, sSid, sOut, err)) << err.Text();
    EXPECT_EQ(sOut, kServerFirst);
    ASSERT_TRUE(server.ServerFinal(sSid, kClientFinal, sOut, err)) << err.Text();
    EXPECT_EQ(sOut, kServerFinal);
    // The same final once more is a replay.
    EXPECT_FALSE(server.ServerFinal(sSid, kClientFinal, sOut, err));
    EXPECT_EQ(err.Text(), "SCRAM Auth: reauth");
}

// Each variant and awkward user names log in with the right password and are refused with a
// wrong one; a record with too few iterations is refused by the client.
TEST(OrvAuth, ClientAgainstServerForEveryVariant) {
    const struct {
        OrvAuthType eType;
        const char* pszUser;
        int nIterations, nCode;
        const char* pszText;  // with the right password
    } kCases[] = {{enSCRAM_SHA256, "alice", 1000, enNetOk, ""},
                  {enSCRAM_SHA256_PBKDF2_HMAC_SHA256_MD5, "bob,the=builder", 1000, enNetOk, ""},
                  {enSCRAM_SHA256_PBKDF2_HMAC_SHA512, "=2C,=3D", 1000, enNetOk, ""},
                  {enSCRAM_SHA256, "few", 99, enNetServer,
                   "SCRAM Auth: bad server response - iterations count is too low"}};
    for (const auto& c : kCases) {
        Users users;
        users.Add(c.pszUser, c.eType, "p\xc3\xa4ss", c.nIterations);
        COrvAuthServer server("realm", &users);
        for (const bool bRight : {true, false}) {
            COrvHttpAuthMachine client;
            client.m_sUserId = c.pszUser;
            client.m_sPassword = bRight ? "p\xc3\xa4ss" : "pass";
            COrvStringA sUser;
            const COrvError err = Exchange(client, server, sUser);
            EXPECT_EQ(err.Code(), bRight || c.nCode != enNetOk ? c.nCode : enNetAuth) << c.pszUser;
            EXPECT_EQ(err.Text(), bRight || c.nCode != enNetOk ? c.pszText : "Unauthorized");
            EXPECT_EQ(sUser, bRight && c.nCode == enNetOk ? c.pszUser : "");
        }
    }
}

TEST(OrvAuth, RefusedMessagesAndRecords) {
    Users users;
    users.Add("u", enSCRAM_SHA256, "pw", 4096);
    COrvAuthServer server("realm", &users);
    const COrvStringA sFirst = "n,,n=u,r=abc";
    COrvStringA sSid, sOut;
    COrvError err;
    ASSERT_TRUE(server.ServerFirst(sFirst, sSid, sOut, err));
    const COrvStringA sNonce = sOut.Mid(2, sOut.Find(',') - 2);
    const struct {
        COrvStringA sFinal;
        const char* pszText;
    } kFinals[] = {
        {"c=eSws,r=" + sNonce + ",p=AAAA", "SCRAM Auth: protocol error"},
        {"c=biws,r=abcX,p=AAAA", "SCRAM Auth: server nonce mismatch"},
        {"c=biws,r=" + sNonce + ",p=AAAA", "SCRAM Auth: signature length mismatch"},
        {"c=biws,r=" + sNonce + ",p=" + B64("0123456789abcdef0123456789abcdef"), "Wrong password"},
    };
    for (const auto& c : kFinals) {
        COrvError e;
        EXPECT_FALSE(server.ServerFinal(sSid, c.sFinal, sOut, e));
        EXPECT_EQ(e.Text(), c.pszText);
    }
    // The wrong password ended the session.
    EXPECT_FALSE(server.ServerFinal(sSid, kFinals[0].sFinal, sOut, err));
    EXPECT_EQ(err.Text(), "Session expired");

    COrvError e2;
    EXPECT_FALSE(server.ServerFirst("y,,n=u,r=abc", sSid, sOut, e2));
    EXPECT_EQ(e2.Text(), "SCRAM Auth: bad request");

    // Answers the client refuses: a nonce it did not start with, a server signature that does not
    // match.
    COrvAuthClient client;
    (void)client.ClientFirst("u");
    COrvError e1;
    EXPECT_FALSE(client.ClientFinal("r=zzz,s=AAAA,i=4096", "pw", sOut, e1));
    EXPECT_EQ(e1.Text(), "SCRAM Auth: bad server response - nonce mismatch");
    ASSERT_TRUE(
        client.ClientFinal("r=" + client.m_sClientNonce + "s,s=AAAA,i=100", "pw", sOut, err));
    COrvError e;
    EXPECT_FALSE(client.VerifyServerFinal("v=AAAA", e));
    EXPECT_EQ(e.Text(), "SCRAM Auth: Server signature mismatch");
}
