#include "orv-http-auth.h"
#include "orv-http-request-context.h"
#include "orv-string-util.h"

#include <cstring>

const char* const kOrvHttpSupportAddress = "support@vexil.invalid";

namespace {

bool IsTokenChar(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u <= 32 || u >= 127)
        return false;
    return std::strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
}

void SkipSpaces(const char*& p) {
    while (*p == ' ' || *p == '\t')
        ++p;
}

COrvStringA ReadToken(const char*& p) {
    const char* pStart = p;
    while (IsTokenChar(*p))
        ++p;
    return COrvStringA(pStart, static_cast<int>(p - pStart));
}

// A token68 may carry "/" and end with "=" padding.
COrvStringA ReadToken68(const char*& p) {
    const char* pStart = p;
    while (IsTokenChar(*p) || *p == '/')
        ++p;
    while (*p == '=')
        ++p;
    return COrvStringA(pStart, static_cast<int>(p - pStart));
}

// True when a bare token (not a parameter name) starts at p: the token is followed by the end, a
// ",", or blanks and then not "=".
bool BareTokenAt(const char* p) {
    while (IsTokenChar(*p) || *p == '/')
        ++p;
    while (*p == '=')
        ++p;
    SkipSpaces(p);
    return *p == 0 || *p == ',';
}

const char* StateSchemeName(int nState) {
    switch (nState) {
        case 2:
            return "Digest";
        case 3:
        case 4:
            return "NTLM";
        case 6:
            return "Passport";
        default:
            return "unknown";
    }
}

}  // namespace

COrvHttpChallenge& COrvHttpChallenge::operator=(const COrvHttpChallenge& other) {
    if (this == &other)
        return *this;
    m_sScheme = other.m_sScheme;
    m_sToken = other.m_sToken;
    m_params.RemoveAll();
    for (ORVPOSITION pos = other.m_params.GetHeadPosition(); pos != nullptr;) {
        const auto* p = other.m_params.GetNext(pos);
        m_params.SetAt(p->m_key, p->m_value);
    }
    return *this;
}

COrvStringA COrvHttpChallenge::Param(const char* pszName) const {
    const auto* p = m_params.Lookup(COrvStringA(pszName));
    return p ? p->m_value : COrvStringA();
}

OrvHttpAuthScheme OrvHttpAuthSchemeCode(const char* pszScheme) {
    COrvStringA s(pszScheme);
    s.MakeLower();
    if (s == "basic")
        return enHttpAuthBasic;
    if (s == "digest")
        return enHttpAuthDigest;
    if (s == "ntlm")
        return enHttpAuthNtlm;
    if (s == "passport1.4")
        return enHttpAuthPassport;
    if (s == "orvauth")
        return enHttpAuthOrvAuth;
    return enHttpAuthNone;
}

bool OrvHttpParseChallenges(const char* pszValue, COrvArray<COrvHttpChallenge>& challenges,
                            COrvError& err) {
    challenges.RemoveAll();
    const char* p = pszValue ? pszValue : "";
    SkipSpaces(p);
    if (*p == 0)
        return err.Set(enNetAuth, "no auth header");
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == ',')
            ++p;
        if (*p == 0)
            break;
        COrvStringA sScheme = ReadToken(p);
        if (sScheme.IsEmpty())
            return err.Set(enNetServer, "bad = after name");
        const size_t i = challenges.Add();
        if (i == static_cast<size_t>(-1))
            return err.Set(enNetNoMemory, "out of memory for challenges");
        COrvHttpChallenge& ch = challenges[i];
        ch.m_sScheme = sScheme.MakeLower();
        SkipSpaces(p);
        if (*p != 0 && *p != ',' && BareTokenAt(p)) {
            ch.m_sToken = ReadToken68(p);
            SkipSpaces(p);
            continue;
        }
        // Parameters until the end or the next scheme.
        while (*p != 0) {
            while (*p == ' ' || *p == '\t' || *p == ',')
                ++p;
            if (*p == 0)
                break;
            const char* pName = p;
            COrvStringA sName = ReadToken(p);
            SkipSpaces(p);
            if (*p != '=') {
                if (!sName.IsEmpty() && (*p == 0 || *p == ',' || IsTokenChar(*p))) {
                    p = pName;  // the next challenge starts here
                    break;
                }
                return err.Set(enNetServer, "bad = after name");
            }
            if (sName.IsEmpty())
                return err.Set(enNetServer, "bad = after name");
            ++p;
            SkipSpaces(p);
            COrvStringA sValue;
            if (*p == '"') {
                ++p;
                while (*p != 0 && *p != '"') {
                    if (*p == '\\' && p[1] != 0)
                        ++p;
                    sValue.AppendChar(*p++);
                }
                if (*p != '"')
                    return err.Set(enNetServer, "bad token after name =");
                ++p;
            } else {
                sValue = ReadToken68(p);
                if (sValue.IsEmpty())
                    return err.Set(enNetServer, "bad token after name =");
            }
            ch.m_params.SetAt(sName, sValue);
            SkipSpaces(p);
            if (*p != 0 && *p != ',')
                return err.Set(enNetServer, "no , after name=value");
        }
    }
    if (challenges.GetCount() == 0)
        return err.Set(enNetAuth, "no authentication methods");
    return true;
}

COrvStringA OrvHttpBasicAuthValue(const char* pszUser, const char* pszPassword) {
    COrvStringA sPlain(pszUser);
    sPlain += ":";
    sPlain += pszPassword;
    return "Basic " + OrvBase64Encode(sPlain.GetString(), sPlain.GetLength());
}

bool OrvHttpServerAuthorization(const COrvHttpTxn& txn, const COrvHttpRequestContext& ctx,
                                COrvStringA& sValue, COrvError& err) {
    sValue.Empty();
    const int nState = ctx.m_nServerAuthState;
    if (nState == 0 || nState == -1 || nState == 9 || !ctx.m_bSendCredentials)
        return true;
    if (nState < 1 || nState > 10)
        return err.SetFormat(enNetAuth, "bad auth state %d, report to %s", nState,
                             kOrvHttpSupportAddress);
    if (ctx.m_sUserId.IsEmpty())
        return err.SetFormat(enNetAuth,
                             "Server requests authentication %d, but you have not provided even "
                             "UserID",
                             nState);
    switch (nState) {
        case 5:
        case 7:
        case 10:
            return true;
        case 1:
            sValue = OrvHttpBasicAuthValue(ctx.m_sUserId, ctx.m_sPassword);
            return true;
        case 2:
        case 3:
        case 4:
        case 6:
            if (ctx.m_pAuthSchemes != nullptr)
                return ctx.m_pAuthSchemes->ServerAuthorization(nState, txn, ctx, sValue, err);
            return err.SetFormat(enNetAuth, "Auth method not supported: %s",
                                 StateSchemeName(nState));
        default:
            return err.SetFormat(enNetAuth, "bad auth state %d, report to %s", nState,
                                 kOrvHttpSupportAddress);
    }
}

bool OrvHttpProxyAuthorization(const COrvHttpTxn& txn, const COrvHttpRequestContext& ctx,
                               COrvStringA& sValue, COrvError& err) {
    sValue.Empty();
    const int nState = ctx.m_nProxyAuthState;
    if (nState == 0 || nState == -1)
        return true;
    if (ctx.m_sProxyUserId.IsEmpty())
        return err.SetFormat(enNetProxyAuth,
                             "Proxy requests authentication %d, but you have not provided even "
                             "UserID",
                             nState);
    switch (nState) {
        case 5:
            return true;
        case 1:
            sValue = OrvHttpBasicAuthValue(ctx.m_sProxyUserId, ctx.m_sProxyPassword);
            return true;
        case 3:
        case 4:
            if (ctx.m_pAuthSchemes != nullptr)
                return ctx.m_pAuthSchemes->ProxyAuthorization(nState, txn, ctx, sValue, err);
            return err.Set(enNetProxyAuth, "Proxy Auth method not supported: NTLM");
        default:
            return err.SetFormat(enNetAuth, "bad Proxy Auth state %d, report to %s", nState,
                                 kOrvHttpSupportAddress);
    }
}

namespace {

// The rank of a challenge the machine answers (0: not answered): the library's own scheme, then
// Digest with SHA-256, NTLM, Digest with MD5, Passport, Basic.
int Strength(const COrvHttpChallenge& ch, bool bProxy, IOrvHttpAuthSchemes* pSchemes) {
    const int nCode = OrvHttpAuthSchemeCode(ch.m_sScheme);
    if (nCode == enHttpAuthBasic)
        return 1;
    if (nCode == enHttpAuthNone || pSchemes == nullptr || !pSchemes->Supports(nCode, bProxy))
        return 0;
    switch (nCode) {
        case enHttpAuthOrvAuth:
            return 6;
        case enHttpAuthNtlm:
            return 4;
        case enHttpAuthDigest: {
            const int n = pSchemes->DigestStrength(ch);
            return n == 0 ? 0 : (n > 1 ? 5 : 3);
        }
        default:
            return 2;
    }
}

// Picks the strongest challenge a machine answers (the first of equals); -1 when none.
int PickChallenge(const COrvArray<COrvHttpChallenge>& challenges, bool bProxy,
                  IOrvHttpAuthSchemes* pSchemes) {
    int iBest = -1;
    int nBest = 0;
    for (size_t i = 0; i < challenges.GetCount(); ++i) {
        const int n = Strength(challenges[i], bProxy, pSchemes);
        if (n > nBest) {
            nBest = n;
            iBest = static_cast<int>(i);
        }
    }
    return iBest;
}

}  // namespace

bool OrvHttpServerAuthStep(const COrvHttpTxn& txn, const COrvHttpAuthStepContext& ctx, int& nState,
                           COrvError& err) {
    COrvStringA sText;
    sText.Format("Server says: %s (status code %d)", txn.m_sReason.GetString(), txn.m_nStatus);
    if (!ctx.m_bCredentialsAllowed) {
        nState = 0;
        return err.Set(enNetAuth, "Credentials are not offered to a redirected origin: " + sText);
    }
    COrvArray<COrvHttpChallenge> challenges;
    COrvError parseErr;
    const bool bParsed =
        OrvHttpParseChallenges(txn.GetResponseHeader("www-authenticate"), challenges, parseErr);
    const int i = bParsed ? PickChallenge(challenges, false, ctx.m_pSchemes) : -1;
    if (i < 0) {
        nState = 0;
        COrvStringA s("Auth method not supported: ");
        if (challenges.GetCount() > 0)
            s += challenges[0].m_sScheme;
        s += ", Error: ";
        s += parseErr.Text();
        s += "; ";
        s += sText;
        return err.Set(enNetAuth, s);
    }
    const COrvHttpChallenge& ch = challenges[i];
    const int nCode = OrvHttpAuthSchemeCode(ch.m_sScheme);
    if (nCode != enHttpAuthBasic) {
        int nResult = enNetAuth;
        ctx.m_pSchemes->Step(nCode, false, ch, txn, nState, nResult, sText);
        return err.Set(nResult, sText);
    }
    if (nState == 1) {
        nState = 0;
        return err.Set(enNetAuth, "Incorrect Basic auth UserID or Password: " + sText);
    }
    OrvHttpObserverLog(ctx.m_pObserver, 3, "Basic authentication requested by server %s: %s",
                       ctx.m_sHost.GetString(), sText.GetString());
    nState = 1;
    return err.Set(enNetRetry, "[requesting Basic auth]: " + sText);
}

bool OrvHttpProxyAuthStep(const COrvHttpTxn& txn, const COrvHttpAuthStepContext& ctx, int& nState,
                          COrvError& err) {
    const COrvStringA sHeader = txn.GetResponseHeader("proxy-authenticate");
    COrvArray<COrvHttpChallenge> challenges;
    COrvError parseErr;
    if (!OrvHttpParseChallenges(sHeader, challenges, parseErr)) {
        nState = 0;
        // Whatever was wrong with the challenge, the proxy still wants credentials.
        return err.Set(enNetProxyAuth, parseErr.Text() + "; proxy header: " + sHeader);
    }
    const int i = PickChallenge(challenges, true, ctx.m_pSchemes);
    if (i < 0) {
        nState = 0;
        return err.Set(enNetProxyAuth,
                       "Proxy Auth method not supported: " + challenges[0].m_sScheme);
    }
    const COrvHttpChallenge& ch = challenges[i];
    const int nCode = OrvHttpAuthSchemeCode(ch.m_sScheme);
    if (nCode != enHttpAuthBasic) {
        int nResult = enNetProxyAuth;
        COrvStringA sText;
        ctx.m_pSchemes->Step(nCode, true, ch, txn, nState, nResult, sText);
        return err.Set(nResult, sText);
    }
    if (nState == 1) {
        nState = 0;
        return err.Set(enNetProxyAuth, "Incorrect Proxy Basic Authentication Credentials");
    }
    OrvHttpObserverLog(ctx.m_pObserver, 3, "Basic authentication requested by %s proxy %s",
                       ctx.m_bTunnelRequest ? "Connect" : "HTTP", ctx.m_sHost.GetString());
    nState = 1;
    return err.Set(enNetRetry, "[requesting Proxy Basic Auth]");
}
