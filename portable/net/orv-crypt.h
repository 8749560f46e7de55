// Small cryptographic services over OpenSSL 3 (EVP and provider interfaces only): password-based
// AES encryption of short strings in two output forms, the 8-bit check value, Base64 in two
// alphabets, one-time passwords (HOTP, TOTP) with their provisioning URI and QR image, random
// numbers and unique names, RSA keys and short-data encryption, self-signed certificates, a small
// certificate authority for the library's own servers, and data protection for the current user.
//
// Strings hold bytes: the AES and RSA outputs are binary (callers choose a text encoding, such as
// Base64, for storage). Every fallible operation returns false with a result code and a text and
// then leaves its outputs unchanged. Any thread may call any function; one
// COrvCertificateAuthority is not shared between threads without a lock.
//
// The AES password forms carry no authentication tag: a wrong password is recognised by the
// cipher's padding and by the one check-value byte, and about one wrong password in 65,536 passes
// both and yields garbage instead of an error. Use them for obscuring stored settings, not for
// data an attacker may alter; the data protection pair (AES-256-GCM) is authenticated.
#pragma once

#include <stdint.h>

#include "orv-error.h"
#include "orv-string-util.h"
#include "orv-string.h"

// ---- check value and password-based AES ----

// One byte: starting at 0, for each byte b the value becomes (value rotated right by one) + b.
uint8_t OrvCheckValue(const void* pData, int nLen);

// Random32 form: 8-byte salt (4 random bytes and the current time as a little-endian 32-bit
// number), then AES-256-CBC (PKCS padding) of a padding header and the plaintext, then the check
// value of header and plaintext in clear. The header is one byte n and n random bytes, n = 32 -
// length for plaintexts shorter than 32 bytes, else 0, so that short texts do not reveal their
// length. Key and IV come from EVP_BytesToKey (SHA-1, 1024 rounds) over password and salt. Two
// encryptions of one text differ.
[[nodiscard]] bool OrvEncryptAesRandom32(const COrvStringA& strPlain, const char* pszPassword,
                                         COrvStringA& strOut, COrvError& err);
// Fails with "OrvDecryptAesRandom32: string to decrypt too short: " + the input in hex for 17
// bytes or fewer, and with "bad decryption password" for a wrong password, tampered or truncated
// data (all enNetBadRequest).
[[nodiscard]] bool OrvDecryptAesRandom32(const COrvStringA& strIn, const char* pszPassword,
                                         COrvStringA& strPlain, COrvError& err);
// Repeatable form: AES-256-CBC of the plaintext, then its check value c; the salt is 7 * i + c
// for i = 0..7, so equal texts under equal passwords give equal outputs (which reveals equality).
[[nodiscard]] bool OrvEncryptAesRepeatable(const COrvStringA& strPlain, const char* pszPassword,
                                           COrvStringA& strOut, COrvError& err);
// Fails with "OrvDecryptAes: string to decrypt too short, likely caused by wrong encryption
// password or options" for 9 bytes or fewer, "OrvDecryptAes: bad decryption password or options"
// for a wrong password or damaged data.
[[nodiscard]] bool OrvDecryptAesRepeatable(const COrvStringA& strIn, const char* pszPassword,
                                           COrvStringA& strPlain, COrvError& err);
// The same four with a separate code and text.
[[nodiscard]] bool OrvEncryptAesRandom32(const COrvStringA& strPlain, const char* pszPassword,
                                         COrvStringA& strOut, int& nCode, COrvStringA& strError);
[[nodiscard]] bool OrvDecryptAesRandom32(const COrvStringA& strIn, const char* pszPassword,
                                         COrvStringA& strPlain, int& nCode, COrvStringA& strError);
[[nodiscard]] bool OrvEncryptAesRepeatable(const COrvStringA& strPlain, const char* pszPassword,
                                           COrvStringA& strOut, int& nCode, COrvStringA& strError);
[[nodiscard]] bool OrvDecryptAesRepeatable(const COrvStringA& strIn, const char* pszPassword,
                                           COrvStringA& strPlain, int& nCode,
                                           COrvStringA& strError);

// Base64 in both alphabets: OrvBase64Encode / OrvBase64Decode of orv-string-util.h with bUrlSafe
// false ("+", "/") or true ("-", "_").

// ---- one-time passwords ----

// HOTP: HMAC-SHA-1 of the counter (8 bytes, most significant first) under the key, dynamically
// truncated to 31 bits, modulo 10^digits. -1 for an empty key or a digit count outside 6..9
// (reported through ASSERT as well).
int OrvHotpCode(const COrvStringA& strKey, uint64_t nCounter, int nDigits);
// The TOTP step in seconds.
constexpr int kOrvTotpStep = 30;
// TOTP: HOTP with the number of 30-second steps since 1970 at nUnixTime.
int OrvTotpCode(const COrvStringA& strKey, int64_t nUnixTime, int nDigits);
// A new TOTP secret (20 random bytes) as unpadded Base32, its provisioning URI
// "otpauth://totp/ISSUER:ACCOUNT?secret=SECRET&issuer=ISSUER" (issuer and account
// percent-encoded, so that spaces, "&", ":" or "#" in them cannot break it) and that URI as a QR
// code SVG data URI. True only when all three were made.
[[nodiscard]] bool OrvTotpSetup(const char* pszIssuer, const char* pszAccount,
                                COrvStringA& strSecret, COrvStringA& strUri,
                                COrvStringA& strQrDataUri, COrvError& err);

// ---- random numbers and names ----

// Bytes from OpenSSL's generator.
[[nodiscard]] bool OrvRandomBytes(void* pBuf, int nLen, COrvError& err);
// A uniform number in 0..nRange-1 (nRange > 0, asserted "range>0").
[[nodiscard]] bool OrvRandomInt(uint32_t nRange, uint32_t& nValue, COrvError& err);
// "YYMMDD_HHMMSS-PID-COUNTER-MICROSECONDS" (local time; process id and a process-wide counter
// in hex): unique within the machine.
COrvStringA OrvUniqueName();
// A random (version 4) GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
[[nodiscard]] bool OrvGuidText(COrvStringA& strGuid, COrvError& err);

// ---- RSA and certificates ----

// A new RSA key of nBits with an odd public exponent (asserted "(pub_exponent&1)==1"): the
// private key as "RSA PRIVATE KEY" PEM and the public key as "PUBLIC KEY" PEM.
[[nodiscard]] bool OrvRsaGenerateKey(int nBits, unsigned long nPubExponent,
                                     COrvStringA& strPrivatePem, COrvStringA& strPublicPem,
                                     COrvError& err);
// Encrypts a short text for the holder of the private key: a 2-byte big-endian length, then the
// RSA ciphertext. Padding is OAEP with SHA-256 (PKCS#1 v1.5 encryption is open to padding-oracle
// attacks), so the text may be at most key bytes - 66 long. strKeyPem is a public or a private
// key in PEM. "Cannot parse RSA public key: ", "Cannot encrypt data: ".
[[nodiscard]] bool OrvRsaEncrypt(const COrvStringA& strKeyPem, const COrvStringA& strData,
                                 COrvStringA& strOut, COrvError& err);
// The reverse with the private key. "Cannot parse RSA private key: ", "Cannot decrypt data: ".
[[nodiscard]] bool OrvRsaDecrypt(const COrvStringA& strPrivatePem, const COrvStringA& strData,
                                 COrvStringA& strOut, COrvError& err);

// Names of a certificate's subject; null or empty fields are left out.
struct OrvCertNames {
    const char* pszCommonName = nullptr;
    const char* pszCountry = nullptr;
    const char* pszOrganization = nullptr;
    const char* pszUnit = nullptr;
};
// A self-signed certificate (PEM) for the key (PEM; RSA or EC): subject and issuer from names,
// a random serial, valid from an hour ago for nDays, basic constraints CA:TRUE (with key usage
// for signing certificates) when bCa, else CA:FALSE; signed with SHA-256. Each failing step names
// itself ("X509_new failed: ", "X509_set_pubkey failed: ", "X509_sign failed: ", ...).
[[nodiscard]] bool OrvMakeSelfSignedCertificate(const COrvStringA& strKeyPem,
                                                const OrvCertNames& names, int nDays, bool bCa,
                                                COrvStringA& strCertPem, COrvError& err);

// A certificate authority that issues server certificates under its own certificate and key.
// Serial numbers are 127 random bits, never repeated among those this object issued.
class COrvCertificateAuthority {
public:
    COrvCertificateAuthority() = default;
    ~COrvCertificateAuthority();
    COrvCertificateAuthority(const COrvCertificateAuthority&) = delete;
    COrvCertificateAuthority& operator=(const COrvCertificateAuthority&) = delete;

    // Parses the CA certificate and its private key (PEM). "CA certificate: BIO_new_mem_buf(): ",
    // "parsing CA certificate: ", "CA key: BIO_new_mem_buf(): ", "parsing CA private key: ", and
    // "CA private key does not match the CA certificate".
    [[nodiscard]] bool Load(const COrvStringA& strCertPem, const COrvStringA& strKeyPem,
                            COrvError& err);
    // Issues a certificate for the key in strRequesterKeyPem (public or private PEM) naming
    // nNames host names or addresses: the first is the subject's common name, all go into the
    // alternative names (IP entries for addresses). Valid from an hour ago for nDays, CA:FALSE,
    // for server and client authentication, signed with SHA-256. Refused: "empty subject #%d",
    // "subject name list too long (%d)" (more than 32), "bad private key: " (key unreadable),
    // "pubkey lookup: ", "same-pubkey lookup: " (the CA's own key), and the serial texts
    // "CSPRNG fails, serial number generation impossible: ", "CSPRNG insecure (repeats), serial
    // number generation impossible", "cannot generate serial number"; "certificate commit: "
    // when the serial cannot be recorded.
    [[nodiscard]] bool Issue(const char* const* ppszNames, int nNames,
                             const COrvStringA& strRequesterKeyPem, int nDays,
                             COrvStringA& strCertPem, COrvError& err);
    // The number of certificates issued.
    int IssuedCount() const { return m_nSerials; }

private:
    [[nodiscard]] bool NewSerial(uint8_t abSerial[16], COrvError& err);
    bool Commit(const uint8_t abSerial[16]);

    void* m_pCert = nullptr;  // X509*
    void* m_pKey = nullptr;   // EVP_PKEY*
    // The issued serials, sorted, 16 bytes each.
    COrvHeapPtr<uint8_t> m_serials;
    int m_nSerials = 0;
    int m_nCapacity = 0;
};

// ---- data protection for the current user ----

// Encrypts data so that only the current user can decrypt it: AES-256-GCM under a per-user
// random key, with a random nonce and the format byte authenticated. The key is 32 random bytes
// in the file "data-protection.key" of the user's data folder ($XDG_DATA_HOME, else
// ~/.local/share, + "/orv"), created on first use with mode 0600 and O_EXCL; a key file owned
// by another user or with a mode wider than 0600 is refused (enNetAccessDenied). Output: 1 format
// byte, 12-byte nonce, ciphertext, 16-byte tag.
[[nodiscard]] bool OrvProtectData(const COrvStringA& strPlain, COrvStringA& strOut, COrvError& err);
// Fails with "Cannot unprotect data: " and the reason: a bad format, or data that was protected
// under another key (another user) or altered.
[[nodiscard]] bool OrvUnprotectData(const COrvStringA& strIn, COrvStringA& strPlain,
                                    COrvError& err);
// The folder of the key file; null or empty restores the default. For programs that keep their
// data elsewhere, and for tests. Set it before other threads protect data.
void OrvSetDataProtectionFolder(const char* pszFolder);
