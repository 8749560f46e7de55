#include "orv-hash.h"

#include "orv-string-util.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>

namespace {

const EVP_MD* Md(OrvHashAlg eAlg) {
    switch (eAlg) {
        case enHashMd5:
            return EVP_md5();
        case enHashSha256:
            return EVP_sha256();
        case enHashSha512:
            return EVP_sha512();
        default:
            return nullptr;
    }
}

uint32_t Rol(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

// One 64-byte block of MD4 (RFC 1320).
void Md4Block(uint32_t st[4], const uint8_t* p) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = static_cast<uint32_t>(p[4 * i]) | static_cast<uint32_t>(p[4 * i + 1]) << 8 |
               static_cast<uint32_t>(p[4 * i + 2]) << 16 |
               static_cast<uint32_t>(p[4 * i + 3]) << 24;
    uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
    static const int kS1[4] = {3, 7, 11, 19};
    static const int kS2[4] = {3, 5, 9, 13};
    static const int kS3[4] = {3, 9, 11, 15};
    static const int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (int i = 0; i < 16; ++i) {
        const uint32_t f = (b & c) | (~b & d);
        const uint32_t t = Rol(a + f + x[i], kS1[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    for (int i = 0; i < 16; ++i) {
        const uint32_t g = (b & c) | (b & d) | (c & d);
        const uint32_t t = Rol(a + g + x[(i % 4) * 4 + i / 4] + 0x5A827999u, kS2[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    for (int i = 0; i < 16; ++i) {
        const uint32_t h = b ^ c ^ d;
        const uint32_t t = Rol(a + h + x[kOrder3[i]] + 0x6ED9EBA1u, kS3[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    st[0] += a, st[1] += b, st[2] += c, st[3] += d;
}

COrvStringA Md4(const uint8_t* p, int nLen) {
    uint32_t st[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    int nDone = 0;
    for (; nLen - nDone >= 64; nDone += 64)
        Md4Block(st, p + nDone);
    uint8_t tail[128] = {};
    const int nRest = nLen - nDone;
    if (nRest > 0)
        memcpy(tail, p + nDone, static_cast<size_t>(nRest));
    tail[nRest] = 0x80;
    const int nTail = nRest < 56 ? 64 : 128;
    const uint64_t nBits = static_cast<uint64_t>(nLen) * 8;
    for (int i = 0; i < 8; ++i)
        tail[nTail - 8 + i] = static_cast<uint8_t>(nBits >> (8 * i));
    for (int i = 0; i < nTail; i += 64)
        Md4Block(st, tail + i);
    uint8_t out[16];
    for (int i = 0; i < 16; ++i)
        out[i] = static_cast<uint8_t>(st[i / 4] >> (8 * (i % 4)));
    return COrvStringA(reinterpret_cast<const char*>(out), 16);
}

}  // namespace

int OrvHashLength(OrvHashAlg eAlg) {
    switch (eAlg) {
        case enHashSha256:
            return 32;
        case enHashSha512:
            return 64;
        default:
            return 16;
    }
}

COrvStringA OrvHash(OrvHashAlg eAlg, const void* pData, int nLen) {
    if (eAlg == enHashMd4)
        return Md4(static_cast<const uint8_t*>(pData), nLen);
    unsigned char ab[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(pData, static_cast<size_t>(nLen), ab, &n, Md(eAlg), nullptr) != 1)
        return COrvStringA();
    return COrvStringA(reinterpret_cast<const char*>(ab), static_cast<int>(n));
}

COrvStringA OrvHmac(OrvHashAlg eAlg, const COrvStringA& sKey, const void* pData, int nLen) {
    const EVP_MD* pMd = Md(eAlg);
    unsigned char ab[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (pMd == nullptr ||
        HMAC(pMd, sKey.GetString(), sKey.GetLength(), static_cast<const unsigned char*>(pData),
             static_cast<size_t>(nLen), ab, &n) == nullptr)
        return COrvStringA();
    return COrvStringA(reinterpret_cast<const char*>(ab), static_cast<int>(n));
}

bool OrvPbkdf2(OrvHashAlg eAlg, const COrvStringA& sPassword, const COrvStringA& sSalt,
               int nIterations, int nOutLen, COrvStringA& sOut, COrvError& err) {
    const EVP_MD* pMd = eAlg == enHashMd5 ? nullptr : Md(eAlg);
    COrvStringA s;
    char* p = nOutLen > 0 ? s.GetBufferSetLength(nOutLen) : nullptr;
    if (pMd == nullptr || p == nullptr || nIterations < 1 ||
        PKCS5_PBKDF2_HMAC(sPassword.GetString(), sPassword.GetLength(),
                          reinterpret_cast<const unsigned char*>(sSalt.GetString()),
                          sSalt.GetLength(), nIterations, pMd, nOutLen,
                          reinterpret_cast<unsigned char*>(p)) != 1)
        return err.Set(enNetBadRequest, "PBKDF2 failed");
    s.ReleaseBuffer(nOutLen);
    sOut = s;
    return true;
}

COrvStringA OrvHexLower(const void* pData, int nLen) {
    return OrvHexEncodeA(pData, nLen, true);
}

void OrvRc4(const COrvStringA& sKey, uint8_t* pData, int nLen) {
    uint8_t s[256];
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<uint8_t>(i);
    const int nKey = sKey.GetLength();
    if (nKey == 0)
        return;
    const uint8_t* k = reinterpret_cast<const uint8_t*>(sKey.GetString());
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + k[i % nKey]) & 255;
        const uint8_t t = s[i];
        s[i] = s[j];
        s[j] = t;
    }
    for (int n = 0, i = 0, j = 0; n < nLen; ++n) {
        i = (i + 1) & 255;
        j = (j + s[i]) & 255;
        const uint8_t t = s[i];
        s[i] = s[j];
        s[j] = t;
        pData[n] ^= s[(s[i] + s[j]) & 255];
    }
}

bool OrvBytesEqual(const COrvStringA& a, const COrvStringA& b) {
    return a.GetLength() == b.GetLength() &&
           CRYPTO_memcmp(a.GetString(), b.GetString(), static_cast<size_t>(a.GetLength())) == 0;
}
