#include "orv-crypt.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "orv-fd.h"
#include "orv-file.h"
#include "orv-qrcode.h"
#include "orv-ssl-io.h"
#include "orv-sys.h"
#include "orv-trace.h"
#include "orv-url.h"

namespace {

// ---- small owners of OpenSSL objects ----

template <class T, void (*Free)(T*)>
class COwned {
public:
    COwned() = default;
    explicit COwned(T* p) : m_p(p) {}
    ~COwned() {
        if (m_p != nullptr)
            Free(m_p);
    }
    COwned(const COwned&) = delete;
    COwned& operator=(const COwned&) = delete;
    T* Get() const { return m_p; }
    T** Out() { return &m_p; }
    T* Release() {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

void FreeBio(BIO* p) {
    BIO_free_all(p);
}
void FreeBn(BIGNUM* p) {
    BN_free(p);
}
void FreeAsn1Integer(ASN1_INTEGER* p) {
    ASN1_INTEGER_free(p);
}
using CCipherCtx = COwned<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using CPkey = COwned<EVP_PKEY, EVP_PKEY_free>;
using CPkeyCtx = COwned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using CBio = COwned<BIO, FreeBio>;
using CX509 = COwned<X509, X509_free>;
using CBn = COwned<BIGNUM, FreeBn>;
using CAsn1Int = COwned<ASN1_INTEGER, FreeAsn1Integer>;
using CExt = COwned<X509_EXTENSION, X509_EXTENSION_free>;

// pszPrefix followed by OpenSSL's queued errors (emptied); the failure is recorded in err.
bool SslFail(COrvError& err, const char* pszPrefix, int nCode = enNetBadRequest) {
    COrvStringA s(pszPrefix);
    s += OrvSslIoErrorText();
    return err.Set(nCode, s);
}

// The passphrase callback of the PEM readers: a key protected by a passphrase is not read (the
// default callback would ask for one on the terminal and block).
int NoPassphrase(char*, int, int, void*) {
    return -1;
}

const unsigned char* Bytes(const COrvStringA& s) {
    return reinterpret_cast<const unsigned char*>(s.GetString());
}

// The contents of a memory BIO as a string.
bool BioText(BIO* pBio, COrvStringA& s) {
    char* p = nullptr;
    const long n = BIO_get_mem_data(pBio, &p);
    return n >= 0 && s.SetString(p, static_cast<int>(n));
}

// ---- password-based AES ----

constexpr int kSaltLen = 8;
constexpr int kBlock = 16;

// Key and IV for AES-256-CBC from the password and salt. pszWhat names the operation in texts.
bool DeriveKey(const char* pszWhat, const uint8_t* pSalt, const char* pszPassword,
               unsigned char abKey[32], unsigned char abIv[16], COrvError& err) {
    const char* p = pszPassword != nullptr ? pszPassword : "";
    if (EVP_BytesToKey(EVP_aes_256_cbc(), EVP_sha1(), pSalt,
                       reinterpret_cast<const unsigned char*>(p), static_cast<int>(strlen(p)), 1024,
                       abKey, abIv) != 32) {
        ERR_clear_error();
        return err.SetFormat(enNetBadRequest, "%s: EVP_BytesToKey error", pszWhat);
    }
    return true;
}

// AES-256-CBC with PKCS padding over nLen bytes into out. A set-up failure is reported as
// "<what>: EVP_EncryptInit_ex error"; a decryption whose padding does not check out returns
// false with *pbBadData set instead (a wrong password, or damaged data).
bool AesCbc(const char* pszWhat, bool bEncrypt, const uint8_t* pSalt, const char* pszPassword,
            const unsigned char* pIn, int nLen, COrvStringA& out, COrvError& err, bool* pbBadData) {
    unsigned char abKey[32], abIv[16];
    if (!DeriveKey(pszWhat, pSalt, pszPassword, abKey, abIv, err))
        return false;
    CCipherCtx ctx(EVP_CIPHER_CTX_new());
    const bool bInit = ctx && EVP_CipherInit_ex(ctx.Get(), EVP_aes_256_cbc(), nullptr, abKey, abIv,
                                                bEncrypt ? 1 : 0) == 1;
    OPENSSL_cleanse(abKey, sizeof abKey);
    if (!bInit) {
        ERR_clear_error();
        return err.SetFormat(enNetBadRequest, "%s: EVP_EncryptInit_ex error", pszWhat);
    }
    COrvStringA result;
    char* pOut = result.GetBufferSetLength(nLen + kBlock);
    if (pOut == nullptr)
        return err.Set(enNetNoMemory, "Not enough memory");
    int n1 = 0, n2 = 0;
    unsigned char* pu = reinterpret_cast<unsigned char*>(pOut);
    if (EVP_CipherUpdate(ctx.Get(), pu, &n1, pIn, nLen) != 1 ||
        EVP_CipherFinal_ex(ctx.Get(), pu + n1, &n2) != 1) {
        ERR_clear_error();
        OPENSSL_cleanse(pOut, nLen + kBlock);
        if (!bEncrypt) {
            *pbBadData = true;
            return false;
        }
        return err.SetFormat(enNetBadRequest, "%s: EVP_EncryptInit_ex error", pszWhat);
    }
    result.ReleaseBuffer(n1 + n2);
    out = result;
    return true;
}

COrvStringA HexText(const COrvStringA& s) {
    static const char kDigits[] = "0123456789ABCDEF";
    COrvStringA out;
    for (int i = 0; i < s.GetLength(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

}  // namespace

uint8_t OrvCheckValue(const void* pData, int nLen) {
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    unsigned c = 0;
    for (int i = 0; i < nLen; ++i)
        c = (((c >> 1) | (c << 7)) + p[i]) & 0xFF;
    return static_cast<uint8_t>(c);
}

bool OrvEncryptAesRandom32(const COrvStringA& strPlain, const char* pszPassword,
                           COrvStringA& strOut, COrvError& err) {
    static const char kWhat[] = "OrvEncryptAesRandom32";
    const int nLen = strPlain.GetLength();
    const int nPad = nLen < 32 ? 32 - nLen : 0;
    // Salt: four random bytes and the time; header: its length byte and random bytes.
    uint8_t abSalt[kSaltLen];
    uint8_t abHeader[1 + 32];
    const uint32_t nNow = static_cast<uint32_t>(time(nullptr));
    if (RAND_bytes(abSalt, 4) != 1 || RAND_bytes(abHeader + 1, 32) != 1)
        return SslFail(err, "OrvEncryptAesRandom32: RAND_bytes failed: ");
    for (int i = 0; i < 4; ++i)
        abSalt[4 + i] = static_cast<uint8_t>(nNow >> (8 * i));
    abHeader[0] = static_cast<uint8_t>(nPad);
    COrvStringA inner(reinterpret_cast<const char*>(abHeader), 1 + nPad);
    if (!inner.Append(strPlain))
        return err.Set(enNetNoMemory, "Not enough memory");
    const uint8_t nCheck = OrvCheckValue(inner.GetString(), inner.GetLength());
    COrvStringA cipher;
    bool bBad = false;
    if (!AesCbc(kWhat, true, abSalt, pszPassword, Bytes(inner), inner.GetLength(), cipher, err,
                &bBad))
        return false;
    COrvStringA out(reinterpret_cast<const char*>(abSalt), kSaltLen);
    if (!out.Append(cipher) || !out.AppendChar(static_cast<char>(nCheck)))
        return err.Set(enNetNoMemory, "Not enough memory");
    strOut = out;
    return true;
}

bool OrvDecryptAesRandom32(const COrvStringA& strIn, const char* pszPassword, COrvStringA& strPlain,
                           COrvError& err) {
    static const char kWhat[] = "OrvDecryptAesRandom32";
    const int nLen = strIn.GetLength();
    if (nLen <= 17)
        return err.Set(enNetBadRequest,
                       "OrvDecryptAesRandom32: string to decrypt too short: " + HexText(strIn));
    const uint8_t* pIn = Bytes(strIn);
    COrvStringA inner;
    bool bBad = false;
    if (!AesCbc(kWhat, false, pIn, pszPassword, pIn + kSaltLen, nLen - kSaltLen - 1, inner, err,
                &bBad) &&
        !bBad)
        return false;
    // The header's length byte must lie inside what was decrypted before it is used.
    if (bBad || inner.IsEmpty() || 1 + static_cast<unsigned char>(inner[0]) > inner.GetLength() ||
        OrvCheckValue(inner.GetString(), inner.GetLength()) != pIn[nLen - 1])
        return err.Set(enNetBadRequest, "bad decryption password");
    strPlain = inner.Mid(1 + static_cast<unsigned char>(inner[0]));
    return true;
}

bool OrvEncryptAesRepeatable(const COrvStringA& strPlain, const char* pszPassword,
                             COrvStringA& strOut, COrvError& err) {
    const uint8_t nCheck = OrvCheckValue(strPlain.GetString(), strPlain.GetLength());
    uint8_t abSalt[kSaltLen];
    for (int i = 0; i < kSaltLen; ++i)
        abSalt[i] = static_cast<uint8_t>(7 * i + nCheck);
    COrvStringA out;
    bool bBad = false;
    if (!AesCbc("OrvEncryptAesRepeatable", true, abSalt, pszPassword, Bytes(strPlain),
                strPlain.GetLength(), out, err, &bBad))
        return false;
    if (!out.AppendChar(static_cast<char>(nCheck)))
        return err.Set(enNetNoMemory, "Not enough memory");
    strOut = out;
    return true;
}

bool OrvDecryptAesRepeatable(const COrvStringA& strIn, const char* pszPassword,
                             COrvStringA& strPlain, COrvError& err) {
    const int nLen = strIn.GetLength();
    if (nLen <= 9)
        return err.Set(enNetBadRequest,
                       "OrvDecryptAes: string to decrypt too short, likely caused by wrong "
                       "encryption password or options");
    const uint8_t nCheck = Bytes(strIn)[nLen - 1];
    uint8_t abSalt[kSaltLen];
    for (int i = 0; i < kSaltLen; ++i)
        abSalt[i] = static_cast<uint8_t>(7 * i + nCheck);
    COrvStringA plain;
    bool bBad = false;
    if (!AesCbc("OrvDecryptAesRepeatable", false, abSalt, pszPassword, Bytes(strIn), nLen - 1,
                plain, err, &bBad) &&
        !bBad)
        return false;
    if (bBad || OrvCheckValue(plain.GetString(), plain.GetLength()) != nCheck)
        return err.Set(enNetBadRequest, "OrvDecryptAes: bad decryption password or options");
    strPlain = plain;
    return true;
}

namespace {

using AesFn = bool (*)(const COrvStringA&, const char*, COrvStringA&, COrvError&);
bool WithCode(AesFn fn, const COrvStringA& strIn, const char* pszPassword, COrvStringA& strOut,
              int& nCode, COrvStringA& strError) {
    COrvError err;
    if (fn(strIn, pszPassword, strOut, err))
        return true;
    err.CopyTo(&nCode, &strError);
    return false;
}

}  // namespace

bool OrvEncryptAesRandom32(const COrvStringA& strPlain, const char* pszPassword,
                           COrvStringA& strOut, int& nCode, COrvStringA& strError) {
    return WithCode(OrvEncryptAesRandom32, strPlain, pszPassword, strOut, nCode, strError);
}
bool OrvDecryptAesRandom32(const COrvStringA& strIn, const char* pszPassword, COrvStringA& strPlain,
                           int& nCode, COrvStringA& strError) {
    return WithCode(OrvDecryptAesRandom32, strIn, pszPassword, strPlain, nCode, strError);
}
bool OrvEncryptAesRepeatable(const COrvStringA& strPlain, const char* pszPassword,
                             COrvStringA& strOut, int& nCode, COrvStringA& strError) {
    return WithCode(OrvEncryptAesRepeatable, strPlain, pszPassword, strOut, nCode, strError);
}
bool OrvDecryptAesRepeatable(const COrvStringA& strIn, const char* pszPassword,
                             COrvStringA& strPlain, int& nCode, COrvStringA& strError) {
    return WithCode(OrvDecryptAesRepeatable, strIn, pszPassword, strPlain, nCode, strError);
}

// ---- one-time passwords ----

namespace {

// A context with HMAC and SHA-1 already fetched, made once; each code works on a copy of it, so
// that no algorithm lookup happens per code.
EVP_MAC_CTX* HmacSha1Template() {
    static EVP_MAC_CTX* const s_pCtx = [] {
        EVP_MAC* pMac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        EVP_MAC_CTX* pCtx = pMac != nullptr ? EVP_MAC_CTX_new(pMac) : nullptr;
        EVP_MAC_free(pMac);  // the context keeps its own reference
        char szDigest[] = "SHA1";
        const OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, szDigest, 0),
            OSSL_PARAM_construct_end()};
        if (pCtx != nullptr && EVP_MAC_CTX_set_params(pCtx, params) != 1) {
            EVP_MAC_CTX_free(pCtx);
            pCtx = nullptr;
        }
        return pCtx;
    }();
    return s_pCtx;
}

bool HmacSha1(const COrvStringA& strKey, const unsigned char* pData, size_t nLen,
              unsigned char* pOut, size_t& nOut) {
    EVP_MAC_CTX* pTemplate = HmacSha1Template();
    EVP_MAC_CTX* pCtx = pTemplate != nullptr ? EVP_MAC_CTX_dup(pTemplate) : nullptr;
    const bool bOk =
        pCtx != nullptr &&
        EVP_MAC_init(pCtx, Bytes(strKey), static_cast<size_t>(strKey.GetLength()), nullptr) == 1 &&
        EVP_MAC_update(pCtx, pData, nLen) == 1 &&
        EVP_MAC_final(pCtx, pOut, &nOut, EVP_MAX_MD_SIZE) == 1;
    EVP_MAC_CTX_free(pCtx);
    return bOk;
}

}  // namespace

int OrvHotpCode(const COrvStringA& strKey, uint64_t nCounter, int nDigits) {
    ORV_ASSERT_TEXT(!strKey.IsEmpty(), "!key.IsEmpty()");
    ORV_ASSERT_TEXT(nDigits >= 6 && nDigits <= 9,
                    "decimal_digits_count>=6 && decimal_digits_count<= 9");
    if (strKey.IsEmpty() || nDigits < 6 || nDigits > 9)
        return -1;
    unsigned char abCounter[8];
    for (int i = 0; i < 8; ++i)
        abCounter[i] = static_cast<unsigned char>(nCounter >> (56 - 8 * i));
    unsigned char abMac[EVP_MAX_MD_SIZE];
    size_t nMac = 0;
    if (!HmacSha1(strKey, abCounter, sizeof abCounter, abMac, nMac) || nMac != 20) {
        ERR_clear_error();
        return -1;
    }
    const int nOffset = abMac[19] & 15;
    const uint32_t nBits = (static_cast<uint32_t>(abMac[nOffset] & 0x7F) << 24) |
                           (static_cast<uint32_t>(abMac[nOffset + 1]) << 16) |
                           (static_cast<uint32_t>(abMac[nOffset + 2]) << 8) | abMac[nOffset + 3];
    uint32_t nMod = 1;
    for (int i = 0; i < nDigits; ++i)
        nMod *= 10;
    return static_cast<int>(nBits % nMod);
}

int OrvTotpCode(const COrvStringA& strKey, int64_t nUnixTime, int nDigits) {
    return OrvHotpCode(strKey, static_cast<uint64_t>(nUnixTime < 0 ? 0 : nUnixTime / kOrvTotpStep),
                       nDigits);
}

bool OrvTotpSetup(const char* pszIssuer, const char* pszAccount, COrvStringA& strSecret,
                  COrvStringA& strUri, COrvStringA& strQrDataUri, COrvError& err) {
    uint8_t abKey[20];
    if (!OrvRandomBytes(abKey, sizeof abKey, err))
        return false;
    const COrvStringA secret = OrvBase32Encode(abKey, sizeof abKey, false);
    OPENSSL_cleanse(abKey, sizeof abKey);
    const COrvStringA issuer = OrvUrlEscapeQueryValueA(pszIssuer != nullptr ? pszIssuer : "");
    const COrvStringA account = OrvUrlEscapeQueryValueA(pszAccount != nullptr ? pszAccount : "");
    COrvStringA uri;
    if (secret.IsEmpty() ||
        !uri.Format("otpauth://totp/%s:%s?secret=%s&issuer=%s", issuer.GetString(),
                    account.GetString(), secret.GetString(), issuer.GetString()))
        return err.Set(enNetNoMemory, "Not enough memory");
    COrvStringA qr;
    if (!OrvQrEncodeToSvgDataUri(uri, qr, err))
        return false;
    strSecret = secret;
    strUri = uri;
    strQrDataUri = qr;
    return true;
}

// ---- random numbers and names ----

bool OrvRandomBytes(void* pBuf, int nLen, COrvError& err) {
    if (nLen > 0 && RAND_bytes(static_cast<unsigned char*>(pBuf), nLen) != 1)
        return SslFail(err, "RAND_bytes failed: ");
    return true;
}

bool OrvRandomInt(uint32_t nRange, uint32_t& nValue, COrvError& err) {
    ORV_ASSERT_TEXT(nRange > 0, "range>0");
    if (nRange == 0)
        return err.Set(enNetBadRequest, "random number range is empty");
    // Draws below the largest multiple of the range are uniform modulo the range.
    const uint32_t nLimit = UINT32_MAX - UINT32_MAX % nRange;
    for (;;) {
        uint32_t n;
        if (!OrvRandomBytes(&n, sizeof n, err))
            return false;
        if (n < nLimit) {
            nValue = n % nRange;
            return true;
        }
    }
}

COrvStringA OrvUniqueName() {
    static std::atomic<unsigned long long> s_nCounter{0};
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmLocal;
    const time_t t = tv.tv_sec;
    localtime_r(&t, &tmLocal);
    COrvStringA s;
    s.Format("%02d%02d%02d_%02d%02d%02d-%x-%llx-%06ld", tmLocal.tm_year % 100, tmLocal.tm_mon + 1,
             tmLocal.tm_mday, tmLocal.tm_hour, tmLocal.tm_min, tmLocal.tm_sec,
             static_cast<unsigned>(getpid()), ++s_nCounter, static_cast<long>(tv.tv_usec));
    return s;
}

bool OrvGuidText(COrvStringA& strGuid, COrvError& err) {
    uint8_t b[16];
    if (!OrvRandomBytes(b, sizeof b, err))
        return false;
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    COrvStringA s;
    s.Format("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             static_cast<unsigned>(b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3]),
             static_cast<unsigned>(b[4] << 8 | b[5]), static_cast<unsigned>(b[6] << 8 | b[7]), b[8],
             b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    strGuid = s;
    return true;
}

// ---- RSA and certificates ----

namespace {

// A key from PEM text: selection EVP_PKEY_KEYPAIR for a private key, 0 for a public key given
// either alone or with its private half.
EVP_PKEY* ParseKey(const COrvStringA& strPem, int nSelection) {
    // The common forms through the PEM readers (fast); others, such as a PKCS#1 public key,
    // through the decoders.
    BIO* pBio = BIO_new_mem_buf(strPem.GetString(), strPem.GetLength());
    if (pBio == nullptr)
        return nullptr;
    EVP_PKEY* pKey = nullptr;
    if (nSelection == 0 && strPem.Find("-----BEGIN PUBLIC KEY-----") >= 0)
        pKey = PEM_read_bio_PUBKEY(pBio, nullptr, NoPassphrase, nullptr);
    else if (strPem.Find(" PRIVATE KEY-----") >= 0)
        pKey = PEM_read_bio_PrivateKey(pBio, nullptr, NoPassphrase, nullptr);
    BIO_free(pBio);
    if (pKey != nullptr)
        return pKey;
    ERR_clear_error();
    OSSL_DECODER_CTX* pCtx =
        OSSL_DECODER_CTX_new_for_pkey(&pKey, "PEM", nullptr, nullptr, nSelection, nullptr, nullptr);
    if (pCtx == nullptr)
        return nullptr;
    const unsigned char* p = Bytes(strPem);
    size_t n = static_cast<size_t>(strPem.GetLength());
    const bool bOk = OSSL_DECODER_from_data(pCtx, &p, &n) == 1;
    OSSL_DECODER_CTX_free(pCtx);
    if (!bOk) {
        EVP_PKEY_free(pKey);
        return nullptr;
    }
    return pKey;
}

// A BIO over the bytes of a PEM text (read only).
BIO* MemBio(const COrvStringA& s) {
    return BIO_new_mem_buf(s.GetString(), s.GetLength());
}

}  // namespace

bool OrvRsaGenerateKey(int nBits, unsigned long nPubExponent, COrvStringA& strPrivatePem,
                       COrvStringA& strPublicPem, COrvError& err) {
    ORV_ASSERT_TEXT((nPubExponent & 1) == 1, "(pub_exponent&1)==1");
    if ((nPubExponent & 1) != 1 || nBits < 1024)
        return err.SetFormat(enNetBadRequest, "bad RSA key parameters (%d bits, exponent %lu)",
                             nBits, nPubExponent);
    CPkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    CBn e(BN_new());
    CPkey key;
    if (!ctx || !e || BN_set_word(e.Get(), nPubExponent) != 1 ||
        EVP_PKEY_keygen_init(ctx.Get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.Get(), nBits) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.Get(), e.Get()) != 1 ||
        EVP_PKEY_generate(ctx.Get(), key.Out()) != 1)
        return SslFail(err, "RSA key generation failed: ");
    // The private key in the traditional "RSA PRIVATE KEY" form, read back from a memory BIO.
    CBio bio(BIO_new(BIO_s_mem()));
    OSSL_ENCODER_CTX* pEnc =
        OSSL_ENCODER_CTX_new_for_pkey(key.Get(), EVP_PKEY_KEYPAIR, "PEM", "type-specific", nullptr);
    const bool bWritten = bio && pEnc != nullptr && OSSL_ENCODER_to_bio(pEnc, bio.Get()) == 1;
    OSSL_ENCODER_CTX_free(pEnc);
    if (!bWritten)
        return SslFail(err, "PEM_write_bio_RSAPrivateKey failed: ");
    const int nPending = static_cast<int>(BIO_pending(bio.Get()));
    COrvStringA priv;
    char* p = priv.GetBufferSetLength(nPending);
    if (p == nullptr)
        return err.Set(enNetNoMemory, "Not enough memory");
    const int nRead = BIO_read(bio.Get(), p, nPending);
    if (nRead != nPending) {
        OPENSSL_cleanse(p, nPending);
        return err.SetFormat(enNetBadRequest, "length mismatch on BIO_read(key) (%d vs %d)", nRead,
                             nPending);
    }
    CBio pub(BIO_new(BIO_s_mem()));
    COrvStringA pubText;
    if (!pub || PEM_write_bio_PUBKEY(pub.Get(), key.Get()) != 1 || !BioText(pub.Get(), pubText))
        return SslFail(err, "PEM_write_bio_PUBKEY failed: ");
    strPrivatePem = priv;
    strPublicPem = pubText;
    return true;
}

bool OrvRsaEncrypt(const COrvStringA& strKeyPem, const COrvStringA& strData, COrvStringA& strOut,
                   COrvError& err) {
    CPkey key(ParseKey(strKeyPem, 0));
    if (!key || !EVP_PKEY_is_a(key.Get(), "RSA"))
        return SslFail(err, "Cannot parse RSA public key: ");
    CPkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.Get(), nullptr));
    size_t nOut = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.Get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.Get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
        EVP_PKEY_CTX_set_rsa_oaep_md_name(ctx.Get(), "SHA256", nullptr) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md_name(ctx.Get(), "SHA256", nullptr) != 1 ||
        EVP_PKEY_encrypt(ctx.Get(), nullptr, &nOut, Bytes(strData),
                         static_cast<size_t>(strData.GetLength())) != 1)
        return SslFail(err, "Cannot encrypt data: ");
    ORV_ASSERT_TEXT(nOut <= USHRT_MAX, "rsa_encrypted_len<=USHRT_MAX");
    if (nOut > 0xFFFF)
        return err.Set(enNetBadRequest, "Cannot encrypt data: key too large");
    COrvStringA out;
    unsigned char* p = reinterpret_cast<unsigned char*>(out.GetBufferSetLength(2 + nOut));
    if (p == nullptr)
        return err.Set(enNetNoMemory, "Not enough memory");
    if (EVP_PKEY_encrypt(ctx.Get(), p + 2, &nOut, Bytes(strData),
                         static_cast<size_t>(strData.GetLength())) != 1)
        return SslFail(err, "Cannot encrypt data: ");
    p[0] = static_cast<unsigned char>(nOut >> 8);
    p[1] = static_cast<unsigned char>(nOut);
    out.ReleaseBuffer(static_cast<int>(2 + nOut));
    strOut = out;
    return true;
}

bool OrvRsaDecrypt(const COrvStringA& strPrivatePem, const COrvStringA& strData,
                   COrvStringA& strOut, COrvError& err) {
    CPkey key(ParseKey(strPrivatePem, EVP_PKEY_KEYPAIR));
    if (!key || !EVP_PKEY_is_a(key.Get(), "RSA"))
        return SslFail(err, "Cannot parse RSA private key: ");
    const unsigned char* pIn = Bytes(strData);
    const int nLen = strData.GetLength();
    if (nLen < 2 || (pIn[0] << 8 | pIn[1]) != nLen - 2)
        return err.Set(enNetBadRequest, "Cannot decrypt data: bad length");
    CPkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.Get(), nullptr));
    size_t nOut = 0;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.Get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.Get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
        EVP_PKEY_CTX_set_rsa_oaep_md_name(ctx.Get(), "SHA256", nullptr) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md_name(ctx.Get(), "SHA256", nullptr) != 1 ||
        EVP_PKEY_decrypt(ctx.Get(), nullptr, &nOut, pIn + 2, nLen - 2) != 1)
        return SslFail(err, "Cannot decrypt data: ");
    COrvStringA out;
    unsigned char* p = reinterpret_cast<unsigned char*>(out.GetBufferSetLength(nOut));
    if (p == nullptr)
        return err.Set(enNetNoMemory, "Not enough memory");
    if (EVP_PKEY_decrypt(ctx.Get(), p, &nOut, pIn + 2, nLen - 2) != 1)
        return SslFail(err, "Cannot decrypt data: ");
    out.ReleaseBuffer(static_cast<int>(nOut));
    strOut = out;
    return true;
}

namespace {

// Sets a certificate's serial from 16 bytes.
bool SetSerial(X509* pCert, const uint8_t abSerial[16]) {
    CBn bn(BN_bin2bn(abSerial, 16, nullptr));
    CAsn1Int serial(bn ? BN_to_ASN1_INTEGER(bn.Get(), nullptr) : nullptr);
    return serial && X509_set_serialNumber(pCert, serial.Get()) == 1;
}

bool AddName(X509_NAME* pName, const char* pszField, const char* pszValue) {
    if (pszValue == nullptr || *pszValue == 0)
        return true;
    return X509_NAME_add_entry_by_txt(pName, pszField, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(pszValue), -1, -1,
                                      0) == 1;
}

// Adds an extension in the configuration syntax ("critical,CA:FALSE").
bool AddExt(X509* pCert, X509* pIssuer, int nNid, const char* pszValue) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, pIssuer, pCert, nullptr, nullptr, 0);
    CExt ext(X509V3_EXT_conf_nid(nullptr, &ctx, nNid, pszValue));
    return ext && X509_add_ext(pCert, ext.Get(), -1) == 1;
}

// A new certificate for pKey: version 3, the serial, validity from an hour ago for nDays.
bool NewCertificate(CX509& cert, EVP_PKEY* pKey, const uint8_t abSerial[16], int nDays,
                    COrvError& err) {
    *cert.Out() = X509_new();
    if (!cert)
        return SslFail(err, "X509_new failed: ", enNetNoMemory);
    if (X509_set_version(cert.Get(), 2) != 1)
        return SslFail(err, "X509_set_version failed: ");
    if (!SetSerial(cert.Get(), abSerial))
        return SslFail(err, "X509_set_serialNumber failed: ");
    if (X509_gmtime_adj(X509_getm_notBefore(cert.Get()), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.Get()), 86400L * nDays) == nullptr)
        return SslFail(err, "X509_gmtime_adj failed: ");
    if (X509_set_pubkey(cert.Get(), pKey) != 1)
        return SslFail(err, "X509_set_pubkey failed: ");
    return true;
}

bool SignAndWrite(X509* pCert, EVP_PKEY* pSigner, COrvStringA& strPem, COrvError& err) {
    // Keys that carry their own digest (Ed25519) take none.
    const EVP_MD* pMd = EVP_PKEY_is_a(pSigner, "ED25519") || EVP_PKEY_is_a(pSigner, "ED448")
                            ? nullptr
                            : EVP_sha256();
    if (X509_sign(pCert, pSigner, pMd) <= 0)
        return SslFail(err, "X509_sign failed: ");
    CBio bio(BIO_new(BIO_s_mem()));
    COrvStringA pem;
    if (!bio || PEM_write_bio_X509(bio.Get(), pCert) != 1 || !BioText(bio.Get(), pem))
        return SslFail(err, "PEM_write_bio_X509 failed: ");
    strPem = pem;
    return true;
}

}  // namespace

bool OrvMakeSelfSignedCertificate(const COrvStringA& strKeyPem, const OrvCertNames& names,
                                  int nDays, bool bCa, COrvStringA& strCertPem, COrvError& err) {
    CPkey key(ParseKey(strKeyPem, EVP_PKEY_KEYPAIR));
    if (!key)
        return SslFail(err, "bad private key: ");
    uint8_t abSerial[16];
    if (!OrvRandomBytes(abSerial, sizeof abSerial, err))
        return false;
    abSerial[0] &= 0x7F;
    CX509 cert;
    if (!NewCertificate(cert, key.Get(), abSerial, nDays, err))
        return false;
    X509_NAME* pName = X509_get_subject_name(cert.Get());
    if (!AddName(pName, "C", names.pszCountry) || !AddName(pName, "O", names.pszOrganization) ||
        !AddName(pName, "OU", names.pszUnit) || !AddName(pName, "CN", names.pszCommonName))
        return SslFail(err, "X509_NAME_add_entry_by_txt failed: ");
    if (X509_set_issuer_name(cert.Get(), pName) != 1)
        return SslFail(err, "X509_set_issuer_name failed: ");
    if (!AddExt(cert.Get(), cert.Get(), NID_basic_constraints,
                bCa ? "critical,CA:TRUE" : "critical,CA:FALSE") ||
        !AddExt(cert.Get(), cert.Get(), NID_subject_key_identifier, "hash") ||
        (bCa && !AddExt(cert.Get(), cert.Get(), NID_key_usage, "critical,keyCertSign,cRLSign")))
        return SslFail(err, "X509_add_ext failed: ");
    return SignAndWrite(cert.Get(), key.Get(), strCertPem, err);
}

COrvCertificateAuthority::~COrvCertificateAuthority() {
    X509_free(static_cast<X509*>(m_pCert));
    EVP_PKEY_free(static_cast<EVP_PKEY*>(m_pKey));
}

bool COrvCertificateAuthority::Load(const COrvStringA& strCertPem, const COrvStringA& strKeyPem,
                                    COrvError& err) {
    CBio certBio(MemBio(strCertPem));
    if (!certBio)
        return SslFail(err, "CA certificate: BIO_new_mem_buf(): ");
    CX509 cert(PEM_read_bio_X509(certBio.Get(), nullptr, NoPassphrase, nullptr));
    if (!cert)
        return SslFail(err, "parsing CA certificate: ");
    CBio keyBio(MemBio(strKeyPem));
    if (!keyBio)
        return SslFail(err, "CA key: BIO_new_mem_buf(): ");
    CPkey key(PEM_read_bio_PrivateKey(keyBio.Get(), nullptr, NoPassphrase, nullptr));
    if (!key)
        return SslFail(err, "parsing CA private key: ");
    if (X509_check_private_key(cert.Get(), key.Get()) != 1)
        return SslFail(err, "CA private key does not match the CA certificate: ");
    X509_free(static_cast<X509*>(m_pCert));
    EVP_PKEY_free(static_cast<EVP_PKEY*>(m_pKey));
    m_pCert = cert.Release();
    m_pKey = key.Release();
    return true;
}

bool COrvCertificateAuthority::NewSerial(uint8_t abSerial[16], COrvError& err) {
    if (RAND_bytes(abSerial, 16) != 1)
        return SslFail(err, "CSPRNG fails, serial number generation impossible: ");
    abSerial[0] &= 0x7F;  // a positive number
    // 127 random bits do not repeat unless the generator is broken: refuse rather than retry.
    int lo = 0, hi = m_nSerials;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        const int c = memcmp(m_serials.Get() + 16 * mid, abSerial, 16);
        if (c == 0)
            return err.Set(enNetBadRequest,
                           "CSPRNG insecure (repeats), serial number generation impossible");
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    bool bZero = true;
    for (int i = 0; i < 16; ++i)
        bZero = bZero && abSerial[i] == 0;
    if (bZero)
        return err.Set(enNetBadRequest, "cannot generate serial number");
    return true;
}

bool COrvCertificateAuthority::Commit(const uint8_t abSerial[16]) {
    if (m_nSerials == m_nCapacity) {
        const int nNew = m_nCapacity < 64 ? 64 : m_nCapacity * 2;
        if (!m_serials.Reallocate(static_cast<size_t>(nNew) * 16))
            return false;
        m_nCapacity = nNew;
    }
    uint8_t* p = m_serials.Get();
    int i = m_nSerials;
    while (i > 0 && memcmp(p + 16 * (i - 1), abSerial, 16) > 0)
        --i;
    memmove(p + 16 * (i + 1), p + 16 * i, static_cast<size_t>(m_nSerials - i) * 16);
    memcpy(p + 16 * i, abSerial, 16);
    ++m_nSerials;
    return true;
}

bool COrvCertificateAuthority::Issue(const char* const* ppszNames, int nNames,
                                     const COrvStringA& strRequesterKeyPem, int nDays,
                                     COrvStringA& strCertPem, COrvError& err) {
    if (m_pCert == nullptr)
        return err.Set(enNetBadRequest, "CA certificate not loaded");
    constexpr int kMaxNames = 32;
    if (nNames > kMaxNames)
        return err.SetFormat(enNetBadRequest, "subject name list too long (%d)", nNames);
    for (int i = 0; i < nNames || i == 0; ++i)
        if (i >= nNames || ppszNames[i] == nullptr || *ppszNames[i] == 0)
            return err.SetFormat(enNetBadRequest, "empty subject #%d", i);
    CPkey key(ParseKey(strRequesterKeyPem, 0));
    if (!key)
        return SslFail(err, "bad private key: ");
    // Compare the public halves: the CA's own key is never certified for a server. (-1: keys of
    // different types, which are not the same; -2: keys that cannot be compared.)
    const int nSame = EVP_PKEY_eq(key.Get(), static_cast<EVP_PKEY*>(m_pKey));
    if (nSame == -2)
        return SslFail(err, "pubkey lookup: ");
    if (nSame == 1)
        return err.Set(enNetBadRequest, "same-pubkey lookup: the key is the CA's own key");

    uint8_t abSerial[16];
    if (!NewSerial(abSerial, err))
        return false;
    CX509 cert;
    if (!NewCertificate(cert, key.Get(), abSerial, nDays, err))
        return false;
    X509* pCa = static_cast<X509*>(m_pCert);
    X509_NAME* pName = X509_get_subject_name(cert.Get());
    if (!AddName(pName, "CN", ppszNames[0]))
        return SslFail(err, "X509_NAME_add_entry_by_txt failed: ");
    if (X509_set_issuer_name(cert.Get(), X509_get_subject_name(pCa)) != 1)
        return SslFail(err, "X509_set_issuer_name failed: ");
    COrvStringA alt;
    for (int i = 0; i < nNames; ++i) {
        // An address (digits, dots, or any ":") is an IP entry; anything else a DNS name.
        ASN1_OCTET_STRING* pIp = a2i_IPADDRESS(ppszNames[i]);
        const bool bIp = pIp != nullptr;
        ASN1_OCTET_STRING_free(pIp);
        ERR_clear_error();
        if (strchr(ppszNames[i], ',') != nullptr)
            return err.SetFormat(enNetBadRequest, "bad subject #%d: %s", i, ppszNames[i]);
        alt.AppendFormat("%s%s:%s", i > 0 ? "," : "", bIp ? "IP" : "DNS", ppszNames[i]);
    }
    if (!AddExt(cert.Get(), pCa, NID_basic_constraints, "critical,CA:FALSE") ||
        !AddExt(cert.Get(), pCa, NID_key_usage, "critical,digitalSignature,keyEncipherment") ||
        !AddExt(cert.Get(), pCa, NID_ext_key_usage, "serverAuth,clientAuth") ||
        !AddExt(cert.Get(), pCa, NID_subject_key_identifier, "hash") ||
        !AddExt(cert.Get(), pCa, NID_authority_key_identifier, "keyid:always") ||
        !AddExt(cert.Get(), pCa, NID_subject_alt_name, alt.GetString()))
        return SslFail(err, "X509_add_ext failed: ");
    COrvStringA pem;
    if (!SignAndWrite(cert.Get(), static_cast<EVP_PKEY*>(m_pKey), pem, err))
        return false;
    if (!Commit(abSerial))
        return err.Set(enNetNoMemory, "certificate commit: not enough memory");
    strCertPem = pem;
    return true;
}

// ---- data protection ----

namespace {

std::mutex g_protectMutex;
COrvStringA g_strProtectFolder;  // empty: the default
constexpr char kKeyFile[] = "data-protection.key";
constexpr int kKeyLen = 32, kNonceLen = 12, kTagLen = 16;
constexpr uint8_t kFormat = 1;

COrvStringA ProtectFolder() {
    {
        std::lock_guard<std::mutex> lock(g_protectMutex);
        if (!g_strProtectFolder.IsEmpty())
            return g_strProtectFolder;
    }
    const char* pszData = getenv("XDG_DATA_HOME");
    COrvStringA s;
    if (pszData != nullptr && *pszData == '/') {
        s = pszData;
    } else {
        const char* pszHome = getenv("HOME");
        s = pszHome != nullptr ? pszHome : "";
        s += "/.local/share";
    }
    s += "/orv";
    return s;
}

// Reads the key from an open key file after checking its owner and mode.
bool ReadKey(int fd, const COrvStringA& strPath, uint8_t abKey[kKeyLen], COrvError& err) {
    struct stat st;
    if (g_orv_sys.fstat(fd, &st) != 0)
        return err.SetErrno(errno,
                            ("Cannot read data protection key " + strPath + ": ").GetString());
    if (st.st_uid != geteuid())
        return err.Set(enNetAccessDenied,
                       "Data protection key " + strPath + " belongs to another user");
    if ((st.st_mode & 077) != 0 || !S_ISREG(st.st_mode))
        return err.SetFormat(enNetAccessDenied,
                             "Data protection key %s is open to other users (mode %03o)",
                             strPath.GetString(), static_cast<unsigned>(st.st_mode & 0777));
    if (OrvSysReadAll(fd, abKey, kKeyLen) != kKeyLen || st.st_size != kKeyLen)
        return err.Set(enNetBadRequest, "Bad data protection key " + strPath);
    return true;
}

// The user's key: read from its file, or made and written there with O_EXCL on first use. A key
// is first written under a temporary name and then linked to its name, so that another process
// never reads a half-written key.
bool LoadOrCreateKey(uint8_t abKey[kKeyLen], COrvError& err) {
    const COrvStringA folder = ProtectFolder();
    const COrvStringA path = folder + "/" + kKeyFile;
    for (int nTry = 0; nTry < 2; ++nTry) {
        OrvFd fd(OrvSysOpen(path.GetString(), O_RDONLY | O_NOFOLLOW));
        if (fd.IsValid())
            return ReadKey(fd.Get(), path, abKey, err);
        if (errno != ENOENT)
            return err.SetErrno(errno,
                                ("Cannot open data protection key " + path + ": ").GetString());
        if (!OrvCreateFolder(folder.GetString(), 0700, err))
            return false;
        const COrvStringA temp = path + "." + OrvUniqueName();
        OrvFd out(OrvSysOpen(temp.GetString(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
        if (!out.IsValid())
            return err.SetErrno(errno,
                                ("Cannot create data protection key " + temp + ": ").GetString());
        const bool bWritten = OrvRandomBytes(abKey, kKeyLen, err) &&
                              OrvSysWriteAll(out.Get(), abKey, kKeyLen) &&
                              OrvSysFsync(out.Get()) == 0;
        const int nErrno = errno;
        out.Reset();
        const bool bLinked = bWritten && link(temp.GetString(), path.GetString()) == 0;
        const int nLinkErrno = errno;
        (void)g_orv_sys.unlink(temp.GetString());
        if (!bWritten)
            return err.Failed()
                       ? false
                       : err.SetErrno(
                             nErrno,
                             ("Cannot write data protection key " + temp + ": ").GetString());
        if (bLinked)
            return true;
        if (nLinkErrno != EEXIST)  // else another process made the key first: read that one
            return err.SetErrno(nLinkErrno,
                                ("Cannot create data protection key " + path + ": ").GetString());
    }
    return err.Set(enNetBadRequest, "Cannot create data protection key " + path);
}

// AES-256-GCM with the format byte as additional data.
bool Gcm(bool bEncrypt, const uint8_t abKey[kKeyLen], const uint8_t abNonce[kNonceLen],
         const unsigned char* pIn, int nLen, unsigned char* pOut, unsigned char abTag[kTagLen]) {
    CCipherCtx ctx(EVP_CIPHER_CTX_new());
    int n = 0, nFinal = 0;
    const bool bOk =
        ctx &&
        EVP_CipherInit_ex(ctx.Get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr, bEncrypt) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.Get(), EVP_CTRL_GCM_SET_IVLEN, kNonceLen, nullptr) == 1 &&
        EVP_CipherInit_ex(ctx.Get(), nullptr, nullptr, abKey, abNonce, bEncrypt) == 1 &&
        EVP_CipherUpdate(ctx.Get(), nullptr, &n, &kFormat, 1) == 1 &&
        EVP_CipherUpdate(ctx.Get(), pOut, &n, pIn, nLen) == 1 &&
        (bEncrypt || EVP_CIPHER_CTX_ctrl(ctx.Get(), EVP_CTRL_GCM_SET_TAG, kTagLen, abTag) == 1) &&
        EVP_CipherFinal_ex(ctx.Get(), pOut + n, &nFinal) == 1 &&
        (!bEncrypt || EVP_CIPHER_CTX_ctrl(ctx.Get(), EVP_CTRL_GCM_GET_TAG, kTagLen, abTag) == 1);
    ERR_clear_error();
    return bOk;
}

}  // namespace

void OrvSetDataProtectionFolder(const char* pszFolder) {
    std::lock_guard<std::mutex> lock(g_protectMutex);
    g_strProtectFolder = pszFolder != nullptr ? pszFolder : "";
}

bool OrvProtectData(const COrvStringA& strPlain, COrvStringA& strOut, COrvError& err) {
    uint8_t abKey[kKeyLen];
    if (!LoadOrCreateKey(abKey, err)) {
        err.AddContext("Cannot protect data: ");
        return false;
    }
    const int nLen = strPlain.GetLength();
    COrvStringA out;
    unsigned char* p =
        reinterpret_cast<unsigned char*>(out.GetBufferSetLength(1 + kNonceLen + nLen + kTagLen));
    bool bOk = p != nullptr;
    if (bOk) {
        p[0] = kFormat;
        bOk = OrvRandomBytes(p + 1, kNonceLen, err) &&
              Gcm(true, abKey, p + 1, Bytes(strPlain), nLen, p + 1 + kNonceLen,
                  p + 1 + kNonceLen + nLen);
    }
    OPENSSL_cleanse(abKey, sizeof abKey);
    if (!bOk)
        return err.Failed() ? false
                            : err.Set(enNetBadRequest, "Cannot protect data: AES-GCM failed");
    strOut = out;
    return true;
}

bool OrvUnprotectData(const COrvStringA& strIn, COrvStringA& strPlain, COrvError& err) {
    const int nLen = strIn.GetLength() - 1 - kNonceLen - kTagLen;
    const unsigned char* pIn = Bytes(strIn);
    if (nLen < 0 || pIn[0] != kFormat)
        return err.Set(enNetBadRequest, "Cannot unprotect data: bad format");
    uint8_t abKey[kKeyLen];
    if (!LoadOrCreateKey(abKey, err)) {
        err.AddContext("Cannot unprotect data: ");
        return false;
    }
    COrvStringA plain;
    unsigned char* p = reinterpret_cast<unsigned char*>(plain.GetBufferSetLength(nLen));
    unsigned char abTag[kTagLen];
    memcpy(abTag, pIn + 1 + kNonceLen + nLen, kTagLen);
    const bool bOk =
        p != nullptr && Gcm(false, abKey, pIn + 1, pIn + 1 + kNonceLen, nLen, p, abTag);
    OPENSSL_cleanse(abKey, sizeof abKey);
    if (!bOk) {
        if (p != nullptr)
            OPENSSL_cleanse(p, nLen);
        return err.Set(enNetBadRequest,
                       "Cannot unprotect data: it was protected for another user or altered");
    }
    strPlain = plain;
    return true;
}
