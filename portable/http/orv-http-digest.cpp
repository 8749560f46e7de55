#include "orv-http-digest.h"

#include "orv-crypt.h"
#include "orv-hash.h"
#include "orv-trace.h"

namespace {

// Reads an algorithm name; false for one this client does not know.
bool ParseAlgorithm(const COrvStringA& sName, OrvDigestAlg& eAlg, bool& bSess) {
    COrvStringA s = sName;
    s.Trim();
    bSess = false;
    if (s.GetLength() > 5 && s.Right(5).CompareNoCase("-sess") == 0) {
        bSess = true;
        s.Truncate(s.GetLength() - 5);
    }
    if (s.IsEmpty() && !bSess) {
        eAlg = enDigestMd5;  // no algorithm given: MD5
        return true;
    }
    if (s.CompareNoCase("MD5") == 0) {
        eAlg = enDigestMd5;
        return true;
    }
    if (s.CompareNoCase("SHA-256") == 0) {
        eAlg = enDigestSha256;
        return true;
    }
    return false;
}

// Whether a comma-separated list holds the token (any case).
bool ListHas(const COrvStringA& sList, const char* pszToken) {
    int i = 0;
    while (i <= sList.GetLength()) {
        int j = sList.Find(',', i);
        if (j < 0)
            j = sList.GetLength();
        COrvStringA s = sList.Mid(i, j - i);
        s.Trim();
        if (s.CompareNoCase(pszToken) == 0)
            return true;
        i = j + 1;
    }
    return false;
}

// A value inside a quoted string: backslash and quote escaped.
COrvStringA Quoted(const char* psz) {
    COrvStringA s;
    for (; *psz != 0; ++psz) {
        if (*psz == '\\' || *psz == '"')
            s.AppendChar('\\');
        s.AppendChar(*psz);
    }
    return s;
}

}  // namespace

int OrvHttpDigestStrength(const COrvHttpChallenge& challenge) {
    OrvDigestAlg eAlg;
    bool bSess;
    if (!ParseAlgorithm(challenge.Param("algorithm"), eAlg, bSess))
        return 0;
    return eAlg == enDigestSha256 ? 2 : 1;
}

COrvStringA COrvHttpDigest::HexHash(const COrvStringA& s) const {
    return OrvHexLower(OrvHash(m_eAlg == enDigestSha256 ? enHashSha256 : enHashMd5, s));
}

bool COrvHttpDigest::TakeChallenge(const COrvHttpChallenge& challenge, COrvError& err) {
    const COrvStringA sFixed = m_sFixedCnonce;
    *this = COrvHttpDigest();
    const COrvStringA sAlg = challenge.Param("algorithm");
    OrvDigestAlg eAlg;
    bool bSess;
    if (!ParseAlgorithm(sAlg, eAlg, bSess))
        return err.Set(enNetAuth, "Digest algorithm not supported: " + sAlg);
    const COrvStringA sQop = challenge.Param("qop");
    OrvDigestQop eQop = enDigestQopNone;
    if (ListHas(sQop, "auth"))
        eQop = enDigestQopAuth;
    else if (ListHas(sQop, "auth-int"))
        eQop = enDigestQopAuthInt;
    else if (!sQop.IsEmpty())
        return err.Set(enNetAuth, "Digest qop not supported: " + sQop);
    const COrvStringA sNonce = challenge.Param("nonce");
    if (sNonce.IsEmpty())
        return err.Set(enNetAuth, "Digest challenge without nonce");
    COrvStringA sCnonce = sFixed;
    if (sCnonce.IsEmpty()) {
        unsigned char ab[16];
        COrvError randErr;
        if (!OrvRandomBytes(ab, sizeof ab, randErr))
            return err.Set(enNetAuth, "failed to generate nonces: " + randErr.Text());
        sCnonce = OrvHexLower(ab, sizeof ab);
    }
    m_sFixedCnonce = sFixed;
    m_sRealm = challenge.Param("realm");
    m_sNonce = sNonce;
    m_bHaveOpaque = challenge.m_params.Lookup(COrvStringA("opaque")) != nullptr;
    m_sOpaque = challenge.Param("opaque");
    m_eAlg = eAlg;
    m_bSess = bSess;
    m_eQop = eQop;
    m_bStale = challenge.Param("stale").CompareNoCase("true") == 0;
    m_sCnonce = sCnonce;
    return true;
}

bool COrvHttpDigest::MakeResponse(const char* pszMethod, const char* pszUri, const char* pszUser,
                                  const char* pszPassword, const void* pBody, int64_t nBodyLen,
                                  COrvStringA& sValue, COrvError& err) {
    if (m_sNonce.IsEmpty())
        return err.Set(enNetAuth, "no Digest challenge");
    const COrvStringA sUser(pszUser);
    if (sUser.FindOneOf("\r\n\"") >= 0)
        return err.Set(enNetAuth, "CR, LF or quote in Digest user name");
    if (m_sSessKeyA.IsEmpty()) {
        COrvStringA s;
        (void)s.Format("%s:%s:%s", pszUser, m_sRealm.GetString(), pszPassword);
        m_sSessKeyA = HexHash(s);
        if (m_bSess) {
            (void)s.Format("%s:%s:%s", m_sSessKeyA.GetString(), m_sNonce.GetString(),
                           m_sCnonce.GetString());
            m_sSessKeyA = HexHash(s);
        }
    }
    SOFTASSERT(!m_sSessKeyA.IsEmpty());
    if (m_sSessKeyA.IsEmpty())
        return err.Set(enNetAuth, "Digest hash failed");
    COrvStringA sA2;
    (void)sA2.Format("%s:%s", pszMethod, pszUri);
    if (m_eQop == enDigestQopAuthInt) {
        const COrvStringA sBody(pBody ? static_cast<const char*>(pBody) : "",
                                pBody ? static_cast<int>(nBodyLen) : 0);
        sA2 += ":" + HexHash(sBody);
    }
    const COrvStringA sHa2 = HexHash(sA2);
    const char* pszQop = m_eQop == enDigestQopAuthInt ? "auth-int" : "auth";
    COrvStringA sResponse;
    ++m_nNonceCount;
    if (m_eQop != enDigestQopNone)
        (void)sResponse.Format("%s:%s:%08x:%s:%s:%s", m_sSessKeyA.GetString(), m_sNonce.GetString(),
                               m_nNonceCount, m_sCnonce.GetString(), pszQop, sHa2.GetString());
    else
        (void)sResponse.Format("%s:%s:%s", m_sSessKeyA.GetString(), m_sNonce.GetString(),
                               sHa2.GetString());
    sResponse = HexHash(sResponse);

    COrvStringA s;
    (void)s.Format("Digest username=\"%s\",realm=\"%s\",uri=\"%s\",algorithm=%s%s", pszUser,
                   Quoted(m_sRealm).GetString(), Quoted(pszUri).GetString(),
                   m_eAlg == enDigestSha256 ? "SHA-256" : "MD5", m_bSess ? "-sess" : "");
    (void)s.AppendFormat(",nonce=\"%s\"", Quoted(m_sNonce).GetString());
    if (m_eQop != enDigestQopNone)
        (void)s.AppendFormat(",cnonce=\"%s\"", m_sCnonce.GetString());
    if (m_bHaveOpaque)
        (void)s.AppendFormat(",opaque=\"%s\"", Quoted(m_sOpaque).GetString());
    if (m_eQop != enDigestQopNone)
        (void)s.AppendFormat(",qop=%s,nc=%08x", pszQop, m_nNonceCount);
    (void)s.AppendFormat(",response=\"%s\"", sResponse.GetString());
    sValue = s;
    return true;
}
