#include "orv-http-orvauth.h"

#include "orv-crypt.h"
#include "orv-hash.h"
#include "orv-string-util.h"

namespace {

constexpr int kKeyLength = 32;

COrvStringA B64(const COrvStringA& s) {
    return OrvBase64Encode(s.GetString(), s.GetLength());
}

bool UnB64(const COrvStringA& s, COrvStringA& out) {
    return OrvBase64Decode(s.GetString(), s.GetLength(), false, out);
}

COrvStringA Xor(const COrvStringA& a, const COrvStringA& b) {
    COrvStringA s;
    for (int i = 0; i < a.GetLength() && i < b.GetLength(); ++i)
        s.AppendChar(static_cast<char>(a[i] ^ b[i]));
    return s;
}

// Splits "a=x,b=y" into its attributes; false for an empty attribute or one without "x=".
bool SplitAttributes(const COrvStringA& sMsg, COrvArray<COrvStringA>& parts) {
    int i = 0;
    for (;;) {
        int j = sMsg.Find(',', i);
        if (j < 0)
            j = sMsg.GetLength();
        const COrvStringA s = sMsg.Mid(i, j - i);
        if (s.GetLength() < 2 || s[1] != '=' || parts.Add(s) == static_cast<size_t>(-1))
            return false;
        if (j == sMsg.GetLength())
            return true;
        i = j + 1;
    }
}

// A nonce of printable characters without ",": Base64 of 18 random bytes.
bool NewNonce(COrvStringA& s, COrvError& err) {
    unsigned char ab[18];
    COrvError randErr;
    if (!OrvRandomBytes(ab, sizeof ab, randErr))
        return err.Set(enNetServer, "failed to generate nonces: " + randErr.Text());
    s = OrvBase64Encode(ab, sizeof ab);
    return true;
}

struct Keys {
    COrvStringA m_sClientKey;
    COrvStringA m_sStoredKey;
    COrvStringA m_sServerKey;
};

Keys KeysOf(const COrvStringA& sSalted) {
    Keys k;
    k.m_sClientKey = OrvHmac(enHashSha256, sSalted, COrvStringA("Client Key"));
    k.m_sStoredKey = OrvHash(enHashSha256, k.m_sClientKey);
    k.m_sServerKey = OrvHmac(enHashSha256, sSalted, COrvStringA("Server Key"));
    return k;
}

// The final message without its proof for a combined nonce.
COrvStringA FinalWithoutProof(const COrvStringA& sNonce) {
    return "c=biws,r=" + sNonce;
}

}  // namespace

bool OrvScramSaltedPassword(OrvAuthType eType, const char* pszPassword, const COrvStringA& sSalt,
                            int nIterations, COrvStringA& sOut, COrvError& err) {
    const COrvStringA sPassword(pszPassword);
    switch (eType) {
        case enSCRAM_SHA256_PBKDF2_HMAC_SHA256_MD5:
            return OrvPbkdf2(enHashSha256, OrvHexLower(OrvHash(enHashMd5, sPassword)), sSalt,
                             nIterations, kKeyLength, sOut, err);
        case enSCRAM_SHA256_PBKDF2_HMAC_SHA512:
            return OrvPbkdf2(enHashSha512, OrvHexLower(OrvHash(enHashSha256, sPassword)), sSalt,
                             nIterations, 64, sOut, err);
        default:
            return OrvPbkdf2(enHashSha256, sPassword, sSalt, nIterations, kKeyLength, sOut, err);
    }
}

COrvStringA OrvScramEscapeName(const char* pszName) {
    COrvStringA s;
    for (const char* p = pszName; *p != 0; ++p) {
        if (*p == '=')
            s += "=3D";
        else if (*p == ',')
            s += "=2C";
        else
            s.AppendChar(*p);
    }
    return s;
}

bool OrvScramUnescapeName(const COrvStringA& sName, COrvStringA& sOut) {
    COrvStringA s;
    for (int i = 0; i < sName.GetLength(); ++i) {
        const char c = sName[i];
        if (c == ',')
            return false;
        if (c != '=') {
            s.AppendChar(c);
            continue;
        }
        const COrvStringA sCode = sName.Mid(i + 1, 2);
        if (sCode == "3D")
            s.AppendChar('=');
        else if (sCode == "2C")
            s.AppendChar(',');
        else
            return false;
        i += 2;
    }
    sOut = s;
    return true;
}

bool OrvScramParseClientFirst(const COrvStringA& sMsg, COrvScramClientFirst& msg, COrvError& err) {
    msg = COrvScramClientFirst();
    // Only "n,," is taken: no channel binding and no authorisation identity.
    if (sMsg.Left(3) != "n,,")
        return err.Set(enNetBadRequest, "SCRAM Auth: bad request");
    COrvArray<COrvStringA> parts;
    const COrvStringA sBare = sMsg.Mid(3);
    if (!SplitAttributes(sBare, parts) || parts.GetCount() < 2 || parts[0][0] != 'n' ||
        parts[1][0] != 'r' || parts[1].GetLength() < 3 ||
        !OrvScramUnescapeName(parts[0].Mid(2), msg.m_sUser) || msg.m_sUser.IsEmpty())
        return err.Set(enNetBadRequest, "SCRAM Auth: bad request");
    msg.m_sNonce = parts[1].Mid(2);
    msg.m_sBare = sBare;
    return true;
}

bool OrvScramParseServerFirst(const COrvStringA& sMsg, COrvScramServerFirst& msg, COrvError& err) {
    msg = COrvScramServerFirst();
    COrvArray<COrvStringA> parts;
    if (!SplitAttributes(sMsg, parts) || parts.GetCount() < 3 || parts.GetCount() > 4 ||
        parts[0][0] != 'r' || parts[1][0] != 's' || parts[2][0] != 'i')
        return err.Set(enNetServer, "SCRAM Auth: bad server response");
    msg.m_sNonce = parts[0].Mid(2);
    if (!UnB64(parts[1].Mid(2), msg.m_sSalt) || msg.m_sSalt.IsEmpty())
        return err.Set(enNetServer, "SCRAM Auth: bad server response - bad base64 encoding");
    const COrvStringA sCount = parts[2].Mid(2);
    int64_t n = 0;
    for (int i = 0; i < sCount.GetLength(); ++i) {
        if (sCount[i] < '0' || sCount[i] > '9' || n > 100000000)
            return err.Set(enNetServer, "SCRAM Auth: bad server response");
        n = n * 10 + (sCount[i] - '0');
    }
    if (sCount.IsEmpty() || n > 100000000)
        return err.Set(enNetServer, "SCRAM Auth: bad server response");
    if (n < kOrvScramMinIterations)
        return err.Set(enNetServer,
                       "SCRAM Auth: bad server response - iterations count is too low");
    msg.m_nIterations = static_cast<int>(n);
    if (parts.GetCount() == 4) {
        if (parts[3] == "o=pwdMD5")
            msg.m_eType = enSCRAM_SHA256_PBKDF2_HMAC_SHA256_MD5;
        else if (parts[3] == "o=s256ps512")
            msg.m_eType = enSCRAM_SHA256_PBKDF2_HMAC_SHA512;
        else
            return err.Set(enNetServer, "SCRAM Auth: bad server response");
    }
    return true;
}

// ---- client ----

void COrvAuthClient::Reset() {
    m_sid.Empty();
    m_state = enSetUserInfo;
    m_type = enSCRAM_SHA256;
    m_sClientNonce.Empty();
    m_sSaltedPassword.Empty();
    m_client_key.Empty();
    m_bFirstSent = false;
    m_sClientFirstBare.Empty();
    m_sServerSignature.Empty();
}

COrvStringA COrvAuthClient::ClientFirst(const char* pszUser) {
    Reset();
    COrvError err;
    if (!m_sFixedNonce.IsEmpty() || !NewNonce(m_sClientNonce, err))
        m_sClientNonce = m_sFixedNonce;
    m_sClientFirstBare = "n=" + OrvScramEscapeName(pszUser) + ",r=" + m_sClientNonce;
    m_bFirstSent = true;
    return "n,," + m_sClientFirstBare;
}

bool COrvAuthClient::ClientFinal(const COrvStringA& sServerFirst, const char* pszPassword,
                                 COrvStringA& sOut, COrvError& err) {
    COrvScramServerFirst msg;
    if (!OrvScramParseServerFirst(sServerFirst, msg, err))
        return false;
    if (m_sClientNonce.IsEmpty() ||
        msg.m_sNonce.Left(m_sClientNonce.GetLength()) != m_sClientNonce ||
        msg.m_sNonce.GetLength() == m_sClientNonce.GetLength())
        return err.Set(enNetServer, "SCRAM Auth: bad server response - nonce mismatch");
    m_state = enServerFirstMessageRecieved;
    m_type = msg.m_eType;
    if (!OrvScramSaltedPassword(m_type, pszPassword, msg.m_sSalt, msg.m_nIterations,
                                m_sSaltedPassword, err))
        return false;
    m_salted_password_length = m_sSaltedPassword.GetLength();
    m_pbkdf2_hash_length = m_type == enSCRAM_SHA256_PBKDF2_HMAC_SHA512 ? 64 : 32;
    const Keys k = KeysOf(m_sSaltedPassword);
    m_client_key = k.m_sClientKey;
    const COrvStringA sWithoutProof = FinalWithoutProof(msg.m_sNonce);
    const COrvStringA sAuthMessage = m_sClientFirstBare + "," + sServerFirst + "," + sWithoutProof;
    const COrvStringA sSignature = OrvHmac(enHashSha256, k.m_sStoredKey, sAuthMessage);
    m_sServerSignature = OrvHmac(enHashSha256, k.m_sServerKey, sAuthMessage);
    sOut = sWithoutProof + ",p=" + B64(Xor(k.m_sClientKey, sSignature));
    m_state = enClientFinalMessageSent;
    return true;
}

bool COrvAuthClient::VerifyServerFinal(const COrvStringA& sServerFinal, COrvError& err) {
    if (sServerFinal.Left(2) == "e=") {
        m_state = enAuthRejected;
        const COrvStringA sError = sServerFinal.Mid(2);
        if (sError == "unknown-user" || sError == "invalid-proof")
            return err.Set(enNetAuth, "Unauthorized");
        m_state = enServerError;
        return err.Set(enNetServer, "SCRAM Auth: " + sError);
    }
    if (sServerFinal.Left(2) != "v=" || m_state != enClientFinalMessageSent) {
        m_state = enServerError;
        return err.Set(enNetServer, "SCRAM Auth: unexpected server response");
    }
    COrvStringA sSignature;
    if (!UnB64(sServerFinal.Mid(2), sSignature)) {
        m_state = enServerError;
        return err.Set(enNetServer, "SCRAM Auth: bad server response - bad base64 encoding");
    }
    if (!OrvBytesEqual(sSignature, m_sServerSignature)) {
        m_state = enAuthRejected;
        return err.Set(enNetAuth, "SCRAM Auth: Server signature mismatch");
    }
    m_state = enServerVerified;
    return true;
}

bool COrvAuthClient::Step(const COrvHttpChallenge& challenge, const char* pszUser,
                          const char* pszPassword, COrvStringA& sAuthorization, COrvStringA& sText,
                          COrvError& err) {
    const COrvStringA sRealm = challenge.Param("realm");
    const COrvStringA sData = challenge.Param("data");
    const COrvStringA sSid = challenge.Param("sid");
    if (sData.IsEmpty()) {
        // A fresh challenge: the first step, or a server that forgot the session.
        if (!m_realm.IsEmpty() && sRealm != m_realm)
            return err.Set(enNetAuth, "Wrong realm: " + sRealm);
        if (m_state == enServerVerified) {
            Reset();
            return err.Set(enNetAuth, "Unathorized");
        }
        const COrvStringA sFirst = ClientFirst(pszUser);
        sAuthorization = "OrvAuth data=\"" + B64(sFirst) + "\"";
        sText = "[OrvAuth: sending first client message]";
        return true;
    }
    COrvStringA sMsg;
    if (!UnB64(sData, sMsg))
        return err.Set(enNetServer, "OrvAuth: bad server response - bad base64 encoding");
    if (!sSid.IsEmpty())
        m_sid = sSid;
    if (m_bFirstSent && m_state == enSetUserInfo && sMsg.Left(2) != "e=") {
        COrvStringA sFinal;
        if (!ClientFinal(sMsg, pszPassword, sFinal, err))
            return false;
        sAuthorization = "OrvAuth sid=\"" + m_sid + "\",data=\"" + B64(sFinal) + "\"";
        sText = "[OrvAuth: sending final client message]";
        return true;
    }
    if (m_state == enClientFinalMessageSent || sMsg.Left(2) == "e=") {
        if (!VerifyServerFinal(sMsg, err))
            return false;
        sAuthorization = "OrvAuth sid=\"" + m_sid + "\"";
        sText = "[OrvAuth: server verified]";
        return true;
    }
    Reset();
    return err.Set(enNetAuth, "Unathorized");
}

// ---- server ----

bool OrvScramMakeRecord(OrvAuthType eType, const char* pszPassword, const COrvStringA& sSalt,
                        int nIterations, COrvStringA& sRecord, COrvError& err) {
    COrvStringA salt = sSalt;
    if (salt.IsEmpty()) {
        unsigned char ab[16];
        if (!OrvRandomBytes(ab, sizeof ab, err))
            return false;
        salt.SetString(reinterpret_cast<const char*>(ab), sizeof ab);
    }
    COrvStringA sSalted;
    if (!OrvScramSaltedPassword(eType, pszPassword, salt, nIterations, sSalted, err))
        return false;
    const Keys k = KeysOf(sSalted);
    sRecord.Format("%d:%d:%s:%s", static_cast<int>(eType), nIterations, B64(salt).GetString(),
                   B64(k.m_sStoredKey + k.m_sServerKey).GetString());
    return true;
}

COrvAuthServer::COrvAuthServer(const char* pszRealm, IOrvAuthUserStore* pStore)
    : m_sRealm(pszRealm), m_pStore(pStore) {}

COrvStringA COrvAuthServer::Challenge(const char* pszSid, const COrvStringA& sData) const {
    COrvStringA s;
    s.Format("OrvAuth realm=\"%s\",", m_sRealm.GetString());
    if (pszSid != nullptr && *pszSid != 0)
        s.AppendFormat("sid=\"%s\",", pszSid);
    s.AppendFormat("data=\"%s\"", B64(sData).GetString());
    return s;
}

void COrvAuthServer::DropExpired() {
    const OrvTime tNow = OrvTimeNow();
    COrvArray<COrvStringA> old;
    for (ORVPOSITION pos = m_sessions.GetStartPosition(); pos != nullptr;) {
        const auto* p = m_sessions.GetNext(pos);
        if (tNow - p->m_value.m_tCreated >= m_nSessionSeconds)
            (void)old.Add(p->m_key);
    }
    for (size_t i = 0; i < old.GetCount(); ++i)
        m_sessions.RemoveKey(old[i]);
}

int COrvAuthServer::SessionCount() {
    TvAutoCriticalSection lock(m_lock);
    DropExpired();
    return static_cast<int>(m_sessions.GetCount());
}

bool COrvAuthServer::ServerFirst(const COrvStringA& sClientFirst, COrvStringA& sSid,
                                 COrvStringA& sOut, COrvError& err) {
    COrvScramClientFirst first;
    if (!OrvScramParseClientFirst(sClientFirst, first, err))
        return false;
    COrvStringA sRecord;
    if (m_pStore == nullptr || !m_pStore->GetAuthData(first.m_sUser, sRecord, err)) {
        sOut = "e=unknown-user";
        return err.Set(enNetAuth, "Unknown user: " + first.m_sUser);
    }
    // TYPE:ITERATIONS:SALT:KEY
    COrvArray<COrvStringA> fields;
    int i = 0;
    for (int j; (j = sRecord.Find(':', i)) >= 0; i = j + 1)
        (void)fields.Add(sRecord.Mid(i, j - i));
    (void)fields.Add(sRecord.Mid(i));
    COrvStringA sSalt, sKeys;
    const int nType = fields.GetCount() == 4 ? atoi(fields[0]) : -1;
    const int nIterations = fields.GetCount() == 4 ? atoi(fields[1]) : 0;
    if (nType < 0 || nType > 2 || nIterations < 1 || !UnB64(fields[2], sSalt) ||
        !UnB64(fields[3], sKeys)) {
        sOut = "e=other-error";
        return err.Set(enNetServer, "Wrong data format");
    }
    if (sKeys.GetLength() != 2 * kKeyLength) {
        sOut = "e=other-error";
        return err.Set(enNetServer, "SCRAM Auth: key length mismatch");
    }
    Session s;
    COrvStringA sServerNonce = m_sFixedServerNonce;
    if (sServerNonce.IsEmpty() && !NewNonce(sServerNonce, err))
        return false;
    s.m_sUser = first.m_sUser;
    s.m_sNonce = first.m_sNonce + sServerNonce;
    s.m_sStoredKey = sKeys.Left(kKeyLength);
    s.m_sServerKey = sKeys.Mid(kKeyLength);
    s.m_tCreated = OrvTimeNow();
    COrvStringA sFirst;
    sFirst.Format("r=%s,s=%s,i=%d", s.m_sNonce.GetString(), B64(sSalt).GetString(), nIterations);
    if (nType == enSCRAM_SHA256_PBKDF2_HMAC_SHA256_MD5)
        sFirst += ",o=pwdMD5";
    else if (nType == enSCRAM_SHA256_PBKDF2_HMAC_SHA512)
        sFirst += ",o=s256ps512";
    s.m_sAuthPrefix = first.m_sBare + "," + sFirst;
    s.m_state = enServerFirstMessageSent;
    unsigned char ab[16];
    if (!OrvRandomBytes(ab, sizeof ab, err))
        return false;
    sSid = OrvHexLower(ab, sizeof ab);
    {
        TvAutoCriticalSection lock(m_lock);
        DropExpired();
        m_sessions.SetAt(sSid, s);
    }
    sOut = sFirst;
    return true;
}

bool COrvAuthServer::ServerFinal(const COrvStringA& sSid, const COrvStringA& sClientFinal,
                                 COrvStringA& sOut, COrvError& err) {
    TvAutoCriticalSection lock(m_lock);
    DropExpired();
    auto* pPair = m_sessions.Lookup(sSid);
    if (pPair == nullptr)
        return err.Set(enNetAuth, "Session expired");
    Session& s = pPair->m_value;
    if (s.m_state == enClientFinalMessageReceived) {
        sOut = "e=unexpected-error";
        return err.Set(enNetBadRequest, "SCRAM Auth: reauth");
    }
    if (s.m_state != enServerFirstMessageSent) {
        sOut = "e=unexpected-error";
        return err.Set(enNetBadRequest, "SCRAM Auth: unexpected request");
    }
    const int iProof = sClientFinal.Find(",p=");
    COrvArray<COrvStringA> parts;
    if (iProof < 0 || !SplitAttributes(sClientFinal, parts) || parts.GetCount() != 3 ||
        parts[0][0] != 'c' || parts[1][0] != 'r' || parts[2][0] != 'p') {
        sOut = "e=other-error";
        return err.Set(enNetBadRequest, "SCRAM Auth: bad request");
    }
    if (parts[0] != "c=biws") {
        sOut = "e=other-error";
        return err.Set(enNetBadRequest, "SCRAM Auth: protocol error");
    }
    if (parts[1].Mid(2) != s.m_sNonce) {
        sOut = "e=other-error";
        return err.Set(enNetBadRequest, "SCRAM Auth: server nonce mismatch");
    }
    COrvStringA sProof;
    if (!UnB64(parts[2].Mid(2), sProof)) {
        sOut = "e=other-error";
        return err.Set(enNetBadRequest, "SCRAM Auth: bad request - bad base64 encoding");
    }
    if (sProof.GetLength() != kKeyLength) {
        sOut = "e=other-error";
        return err.Set(enNetBadRequest, "SCRAM Auth: signature length mismatch");
    }
    const COrvStringA sAuthMessage = s.m_sAuthPrefix + "," + sClientFinal.Left(iProof);
    const COrvStringA sClientKey = Xor(sProof, OrvHmac(enHashSha256, s.m_sStoredKey, sAuthMessage));
    if (!OrvBytesEqual(OrvHash(enHashSha256, sClientKey), s.m_sStoredKey)) {
        s.m_state = enAuthRejected;
        m_sessions.RemoveKey(sSid);
        sOut = "e=invalid-proof";
        return err.Set(enNetAuth, "Wrong password");
    }
    s.m_state = enClientFinalMessageReceived;
    sOut = "v=" + B64(OrvHmac(enHashSha256, s.m_sServerKey, sAuthMessage));
    return true;
}

void COrvAuthServer::HandleRequest(const char* pszAuthorization, COrvAuthServerReply& reply) {
    reply = COrvAuthServerReply();
    COrvArray<COrvHttpChallenge> parsed;
    COrvError err;
    const COrvStringA sHeader(pszAuthorization ? pszAuthorization : "");
    if (sHeader.IsEmpty() || !OrvHttpParseChallenges(sHeader, parsed, err) ||
        parsed[0].m_sScheme != "orvauth") {
        if (!sHeader.IsEmpty() && err.Failed()) {
            reply.m_nStatus = 400;
            reply.m_sText = "OrvAuth: Bad request";
            return;
        }
        reply.m_sWwwAuthenticate = Challenge(nullptr, COrvStringA());
        return;
    }
    const COrvHttpChallenge& req = parsed[0];
    const COrvStringA sSid = req.Param("sid");
    COrvStringA sMsg;
    if (!UnB64(req.Param("data"), sMsg)) {
        reply.m_nStatus = 400;
        reply.m_sText = "OrvAuth: bad request - bad base64 encoding";
        return;
    }
    COrvStringA sOut;
    if (sSid.IsEmpty()) {
        COrvStringA sNewSid;
        if (!ServerFirst(sMsg, sNewSid, sOut, err)) {
            reply.m_sText = err.Text();
            if (sOut.IsEmpty()) {
                reply.m_nStatus = 400;
                return;
            }
        }
        reply.m_sWwwAuthenticate = Challenge(sNewSid, sOut);
        return;
    }
    if (sMsg.IsEmpty()) {
        // An authorised session goes on without messages.
        TvAutoCriticalSection lock(m_lock);
        DropExpired();
        const auto* p = m_sessions.Lookup(sSid);
        if (p != nullptr && p->m_value.m_state == enClientFinalMessageReceived) {
            reply.m_nStatus = 200;
            reply.m_sUser = p->m_value.m_sUser;
            return;
        }
        reply.m_sText = p == nullptr ? "Session expired" : "SCRAM Auth: unexpected request";
        reply.m_sWwwAuthenticate = Challenge(nullptr, COrvStringA());
        return;
    }
    if (!ServerFinal(sSid, sMsg, sOut, err)) {
        reply.m_sText = err.Text();
        reply.m_sWwwAuthenticate = Challenge(sOut.IsEmpty() ? nullptr : sSid.GetString(), sOut);
        return;
    }
    reply.m_sWwwAuthenticate = Challenge(sSid, sOut);
}
