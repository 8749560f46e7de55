// Message digests, HMAC and PBKDF2 for the authentication schemes: MD4 (our own, since OpenSSL 3
// keeps it only in its legacy provider), MD5, SHA-256 and SHA-512 through OpenSSL's default
// provider, and RC4 (also our own) for the NTLM session key exchange. Results are raw bytes in a
// string; OrvHexLower gives the hexadecimal form. Any thread may call any function.
#pragma once

#include <cstdint>

#include "orv-error.h"
#include "orv-string.h"

enum OrvHashAlg : int {
    enHashMd4,
    enHashMd5,
    enHashSha256,
    enHashSha512,
};

// The digest length in bytes (16, 16, 32, 64).
int OrvHashLength(OrvHashAlg eAlg);
// The digest of nLen bytes. Empty only when OpenSSL cannot run the digest.
COrvStringA OrvHash(OrvHashAlg eAlg, const void* pData, int nLen);
inline COrvStringA OrvHash(OrvHashAlg eAlg, const COrvStringA& s) {
    return OrvHash(eAlg, s.GetString(), s.GetLength());
}
// HMAC of the data under the key. Empty only when OpenSSL fails.
COrvStringA OrvHmac(OrvHashAlg eAlg, const COrvStringA& sKey, const void* pData, int nLen);
inline COrvStringA OrvHmac(OrvHashAlg eAlg, const COrvStringA& sKey, const COrvStringA& s) {
    return OrvHmac(eAlg, sKey, s.GetString(), s.GetLength());
}
// PBKDF2 with HMAC over eAlg (MD5 is refused), nOutLen bytes. False with "PBKDF2 failed"
// (enNetBadRequest) for a count below 1 or an OpenSSL failure.
[[nodiscard]] bool OrvPbkdf2(OrvHashAlg eAlg, const COrvStringA& sPassword,
                             const COrvStringA& sSalt, int nIterations, int nOutLen,
                             COrvStringA& sOut, COrvError& err);
// Lower-case hexadecimal of bytes.
COrvStringA OrvHexLower(const void* pData, int nLen);
inline COrvStringA OrvHexLower(const COrvStringA& s) {
    return OrvHexLower(s.GetString(), s.GetLength());
}
// RC4 of nLen bytes under the key, in place.
void OrvRc4(const COrvStringA& sKey, uint8_t* pData, int nLen);
// Compares equal-length byte strings in time that does not depend on where they differ.
bool OrvBytesEqual(const COrvStringA& a, const COrvStringA& b);
