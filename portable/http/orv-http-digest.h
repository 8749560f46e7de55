// HTTP Digest authentication of the client (RFC 2617 and RFC 7616): MD5, MD5-sess, SHA-256 and
// SHA-256-sess, qop "auth" and "auth-int" (the body's hash, used only when the server offers
// nothing else), nonce count, opaque and stale nonces. One COrvHttpDigest holds the context of
// one server; no I/O.
#pragma once

#include <cstdint>

#include "orv-error.h"
#include "orv-http-auth.h"
#include "orv-string.h"

enum OrvDigestAlg : int {
    enDigestMd5 = 0,
    enDigestSha256 = 1,
};
enum OrvDigestQop : int {
    enDigestQopNone = 0,  // the RFC 2069 form: no client nonce, no count
    enDigestQopAuth = 1,
    enDigestQopAuthInt = 2,
};

// How many stale nonces in a row a server may send before the exchange is given up.
constexpr int kOrvDigestMaxStale = 3;

// The rank of a Digest challenge among several: 0 for an algorithm this client does not know,
// higher for a stronger one (SHA-256 above MD5).
int OrvHttpDigestStrength(const COrvHttpChallenge& challenge);

class COrvHttpDigest {
public:
    // Takes a "digest" challenge: "realm", "nonce", "opaque", "algorithm", "qop", "stale". A new
    // client nonce (16 random bytes in hexadecimal) is made and the count restarts. Failures
    // (enNetAuth; the context is then empty): "Digest challenge without nonce", "Digest
    // algorithm not supported: %s", "Digest qop not supported: %s", and the random generator's
    // "failed to generate nonces: ".
    [[nodiscard]] bool TakeChallenge(const COrvHttpChallenge& challenge, COrvError& err);
    // The "Authorization" value for one request: "Digest username=..,realm=..,uri=..,
    // algorithm=..,nonce=.." then ",cnonce=.." (with qop), ",opaque=.." (when given),
    // ",qop=..,nc=%08x" (with qop) and ",response=..". The count grows by one per call. The
    // body (pBody, nBodyLen bytes) is hashed for auth-int only. Failures (enNetAuth): "no Digest
    // challenge", "CR, LF or quote in Digest user name".
    [[nodiscard]] bool MakeResponse(const char* pszMethod, const char* pszUri, const char* pszUser,
                                    const char* pszPassword, const void* pBody, int64_t nBodyLen,
                                    COrvStringA& sValue, COrvError& err);
    bool HasChallenge() const { return !m_sNonce.IsEmpty(); }

    COrvStringA m_sRealm;
    COrvStringA m_sNonce;
    COrvStringA m_sOpaque;
    bool m_bHaveOpaque = false;
    OrvDigestAlg m_eAlg = enDigestMd5;
    bool m_bSess = false;  // MD5-sess or SHA-256-sess
    OrvDigestQop m_eQop = enDigestQopNone;
    bool m_bStale = false;
    uint32_t m_nNonceCount = 0;
    COrvStringA m_sCnonce;
    // The hexadecimal HA1 (for -sess the session key), made by the first response to a nonce.
    COrvStringA m_sSessKeyA;
    // For reproducible responses: a client nonce used instead of a random one when set.
    COrvStringA m_sFixedCnonce;

private:
    COrvStringA HexHash(const COrvStringA& s) const;
};
