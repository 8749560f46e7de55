#include "orv-ntlm.h"

#include <cstring>

#include "orv-crypt.h"
#include "orv-hash.h"
#include "orv-string-util.h"
#include "orv-time.h"
#include "orv-utf.h"

namespace {

constexpr char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
// The fixed part of a challenge message up to the server challenge, and with the target
// information fields.
constexpr int kChallengeMin = 32;
constexpr int kChallengeWithInfo = 48;
// Authenticate message: signature, type, six fields, flags, version, integrity code.
constexpr int kAuthHeader = 88;
constexpr int kMicOffset = 72;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t kFiletimeEpoch = 11644473600ull;
constexpr uint32_t kAvFlagMic = 0x2;
constexpr uint32_t kTargetInfoFlag = 0x00800000;

uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void Put16(COrvStringA& s, uint32_t v) {
    s.AppendChar(static_cast<char>(v & 0xff));
    s.AppendChar(static_cast<char>((v >> 8) & 0xff));
}
void Put32(COrvStringA& s, uint32_t v) {
    Put16(s, v & 0xffff);
    Put16(s, v >> 16);
}
void Put64(COrvStringA& s, uint64_t v) {
    Put32(s, static_cast<uint32_t>(v));
    Put32(s, static_cast<uint32_t>(v >> 32));
}

// A security buffer field (length, maximum length, offset) whose bytes must lie inside the
// message.
bool Field(const uint8_t* p, int nLen, int iField, COrvStringA& sOut) {
    const uint32_t n = Get16(p + iField);
    const uint32_t off = Get32(p + iField + 4);
    // An empty field may point anywhere (some servers leave its offset at the message's end or
    // beyond).
    if (n == 0) {
        sOut.Empty();
        return true;
    }
    if (off > static_cast<uint32_t>(nLen) || n > static_cast<uint32_t>(nLen) - off)
        return false;
    sOut.SetString(reinterpret_cast<const char*>(p) + off, static_cast<int>(n));
    return true;
}

// UTF-16LE bytes of UTF-8 text; the upper-case form when bUpper (ASCII and Latin-1 letters).
bool ToUtf16Le(const char* psz, bool bUpper, COrvStringA& sOut, COrvError& err) {
    const int nIn = static_cast<int>(strlen(psz));
    COrvStringA s;
    COrvStringW w;
    COrvStringA sConvError;
    if (!OrvUtf8ToUtf16(psz, nIn, w, sConvError)) {
        int iPos = 0;
        for (;;) {
            const OrvUtf8Step step = OrvUtf8DecodeOne(psz + iPos, static_cast<size_t>(nIn - iPos));
            if (step.eStatus != enUtfOk)
                break;
            iPos += step.nLen;
        }
        return err.SetFormat(enNetAuth, "failed to convert to UTF-16 LE (nSourceErrorPos=%d)",
                             iPos);
    }
    for (int i = 0; i < w.GetLength(); ++i) {
        char16_t c = w[i];
        if (bUpper && ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)))
            c = static_cast<char16_t>(c - 0x20);
        Put16(s, c);
    }
    sOut = s;
    return true;
}

// The text of a UTF-16LE AV pair value as UTF-8.
COrvStringA Utf16LeText(const COrvStringA& s) {
    COrvStringW w;
    for (int i = 0; i + 1 < s.GetLength(); i += 2)
        w.AppendChar(static_cast<char16_t>(static_cast<uint8_t>(s[i]) |
                                           static_cast<uint8_t>(s[i + 1]) << 8));
    COrvStringA out;
    (void)OrvUtf16ToUtf8(w.GetString(), w.GetLength(), out);
    return out;
}

COrvStringA DescribePair(const COrvNtlmAvPair& pair) {
    COrvStringA s;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(pair.m_sValue.GetString());
    const int n = pair.m_sValue.GetLength();
    switch (pair.m_nId) {
        case enNtlmAvNbComputerName:
            s.Format("NetBIOSComputerName: %s", Utf16LeText(pair.m_sValue).GetString());
            break;
        case enNtlmAvNbDomainName:
            s.Format("NetBIOSDomainName: %s", Utf16LeText(pair.m_sValue).GetString());
            break;
        case enNtlmAvDnsComputerName:
            s.Format("DNSComputerName: %s", Utf16LeText(pair.m_sValue).GetString());
            break;
        case enNtlmAvDnsDomainName:
            s.Format("DNSDomainName: %s", Utf16LeText(pair.m_sValue).GetString());
            break;
        case enNtlmAvDnsTreeName:
            s.Format("DNSTreeName: %s", Utf16LeText(pair.m_sValue).GetString());
            break;
        case enNtlmAvTargetName:
            s.Format("TargetName: %s", Utf16LeText(pair.m_sValue).GetString());
            break;
        case enNtlmAvFlags:
            s.Format("Flags: 0x%x", n >= 4 ? Get32(p) : 0u);
            break;
        case enNtlmAvTimestamp:
            s.Format("Timestamp: 0x%llx", n >= 8 ? static_cast<unsigned long long>(
                                                       Get32(p) | uint64_t{Get32(p + 4)} << 32)
                                                 : 0ull);
            break;
        case enNtlmAvSingleHost:
            s.Format("SingleHostData: %s", OrvHexLower(pair.m_sValue).GetString());
            break;
        case enNtlmAvChannelBindings:
            s.Format("ChannelBinding: %s", OrvHexLower(pair.m_sValue).GetString());
            break;
        default:
            s = "Invalid";
    }
    return s;
}

const COrvNtlmAvPair* FindPair(const COrvNtlmChallenge& ch, uint16_t nId) {
    for (size_t i = 0; i < ch.m_avPairs.GetCount(); ++i)
        if (ch.m_avPairs[i].m_nId == nId)
            return &ch.m_avPairs[i];
    return nullptr;
}

// Appends a security buffer field pointing at the payload offset, and the payload.
void PackField(COrvStringA& sHeader, COrvStringA& sPayload, const COrvStringA& sValue) {
    Put16(sHeader, static_cast<uint32_t>(sValue.GetLength()));
    Put16(sHeader, static_cast<uint32_t>(sValue.GetLength()));
    Put32(sHeader, static_cast<uint32_t>(kAuthHeader + sPayload.GetLength()));
    sPayload += sValue;
}

bool RandomOrFixed(const COrvStringA& sFixed, int nLen, COrvStringA& sOut, COrvError& err) {
    if (sFixed.GetLength() == nLen) {
        sOut = sFixed;
        return true;
    }
    char ab[16];
    COrvError randErr;
    if (!OrvRandomBytes(ab, nLen, randErr))
        return err.Set(enNetAuth, "failed to generate nonces: " + randErr.Text());
    sOut.SetString(ab, nLen);
    return true;
}

}  // namespace

void COrvNtlmChallenge::Clear() {
    m_sMessage.Empty();
    m_dwFlags = 0;
    memset(m_abServerChallenge, 0, sizeof m_abServerChallenge);
    m_sTargetName.Empty();
    m_avPairs.RemoveAll();
    m_sDescription.Empty();
}

COrvStringA OrvNtlmNegotiateMessage() {
    COrvStringA s(kSignature, 8);
    Put32(s, 1);
    Put32(s, kOrvNtlmNegotiateFlags);
    Put64(s, 0);  // domain
    Put64(s, 0);  // workstation
    return s;
}

bool OrvNtlmParseChallenge(const void* pData, int nLen, COrvNtlmChallenge& ch, COrvError& err) {
    ch.Clear();
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    if (nLen < kChallengeMin)
        return err.SetFormat(enNetAuth, "input too small (expected >= %d bytes, got %d",
                             kChallengeMin, nLen);
    if (memcmp(p, kSignature, 8) != 0)
        return err.SetFormat(enNetAuth, "bad signature (%s)", OrvHexLower(p, 8).GetString());
    if (Get32(p + 8) != 2)
        return err.SetFormat(enNetAuth, "bad MessageType (%d)", static_cast<int>(Get32(p + 8)));
    ch.m_sMessage.SetString(static_cast<const char*>(pData), nLen);
    // The target name is only shown, never used: one that does not fit (some servers leave its
    // offset uninitialised) is dropped.
    if (!Field(p, nLen, 12, ch.m_sTargetName))
        ch.m_sTargetName.Empty();
    ch.m_dwFlags = Get32(p + 20);
    memcpy(ch.m_abServerChallenge, p + 24, 8);
    // Without NEGOTIATE_TARGET_INFO the bytes after the server challenge are not target
    // information.
    if (nLen < kChallengeWithInfo || (ch.m_dwFlags & kTargetInfoFlag) == 0)
        return true;
    COrvStringA sInfo;
    if (!Field(p, nLen, 40, sInfo))
        return err.Set(enNetAuth, "bad TargetInfo field");
    const uint8_t* q = reinterpret_cast<const uint8_t*>(sInfo.GetString());
    const int nInfo = sInfo.GetLength();
    for (int i = 0; i < nInfo;) {
        if (nInfo - i < 4 || Get16(q + i + 2) > nInfo - i - 4)
            return err.SetFormat(enNetAuth, "bad AVPair at offset %d", i);
        COrvNtlmAvPair pair;
        pair.m_nId = Get16(q + i);
        const int n = Get16(q + i + 2);
        if (pair.m_nId == enNtlmAvEol)
            break;
        pair.m_sValue.SetString(reinterpret_cast<const char*>(q) + i + 4, n);
        if (!ch.m_sDescription.IsEmpty())
            ch.m_sDescription += ", ";
        ch.m_sDescription += DescribePair(pair);
        if (ch.m_avPairs.Add(pair) == static_cast<size_t>(-1))
            return err.Set(enNetNoMemory, "out of memory for AV pairs");
        i += 4 + n;
    }
    return true;
}

bool OrvNtlmNtowfV2(const char* pszPassword, const char* pszUser, const char* pszDomain,
                    COrvStringA& sKey, COrvError& err) {
    COrvStringA sPassword, sUser, sDomain;
    if (!ToUtf16Le(pszPassword, false, sPassword, err) || !ToUtf16Le(pszUser, true, sUser, err) ||
        !ToUtf16Le(pszDomain, false, sDomain, err))
        return false;
    const COrvStringA sNtHash = OrvHash(enHashMd4, sPassword);
    if (sNtHash.GetLength() != 16)
        return err.Set(enNetAuth, "failed to compute MD4(Password)");
    sKey = OrvHmac(enHashMd5, sNtHash, sUser + sDomain);
    if (sKey.GetLength() != 16)
        return err.Set(enNetAuth, "failed to compute NTOWFv2: HMAC-MD5");
    return true;
}

void COrvNtlmContext::Reset() {
    m_sNegotiate.Empty();
    m_challenge.Clear();
    m_bHaveChallenge = false;
    m_sAuthenticate.Empty();
    m_sDomain.Empty();
    m_sExportedKey.Empty();
}

COrvStringA COrvNtlmContext::MakeNegotiate() {
    Reset();
    m_sNegotiate = OrvNtlmNegotiateMessage();
    return OrvBase64Encode(m_sNegotiate.GetString(), m_sNegotiate.GetLength());
}

bool COrvNtlmContext::TakeChallenge(const char* pszBase64, COrvError& err) {
    m_bHaveChallenge = false;
    COrvStringA sRaw;
    if (!OrvBase64Decode(pszBase64, static_cast<int>(strlen(pszBase64)), false, sRaw))
        return err.Set(enNetAuth, "bad base64 in NTLM challenge");
    if (!OrvNtlmParseChallenge(sRaw.GetString(), sRaw.GetLength(), m_challenge, err))
        return false;
    m_bHaveChallenge = true;
    return true;
}

bool COrvNtlmContext::MakeAuthenticate(const char* pszUserId, const char* pszPassword,
                                       COrvStringA& sBase64, COrvError& err) {
    if (!m_bHaveChallenge)
        return err.Set(enNetAuth, "no NTLM challenge");
    const COrvStringA sUserId(pszUserId);
    const int iSlash = sUserId.Find('\\');
    const COrvStringA sUser = iSlash >= 0 ? sUserId.Mid(iSlash + 1) : sUserId;
    m_sDomain = iSlash >= 0 ? sUserId.Left(iSlash) : COrvStringA();

    COrvStringA sKey;
    if (!OrvNtlmNtowfV2(pszPassword, sUser, m_sDomain, sKey, err)) {
        err.AddContext("failed to compute NTOWFv2: ");
        return false;
    }
    COrvStringA sClientChallenge, sRandomKey;
    if (!RandomOrFixed(m_sFixedClientChallenge, 8, sClientChallenge, err) ||
        !RandomOrFixed(m_sFixedSessionKey, 16, sRandomKey, err))
        return false;

    // The pairs go back as the server sent them; with a server timestamp the client flags the
    // integrity code.
    const COrvNtlmAvPair* pTime = FindPair(m_challenge, enNtlmAvTimestamp);
    const bool bMic = pTime != nullptr && pTime->m_sValue.GetLength() == 8;
    uint64_t nTime = m_bUseFixedTime
                         ? m_nFixedTime
                         : (static_cast<uint64_t>(OrvTimeNow()) + kFiletimeEpoch) * 10000000ull;
    COrvStringA sPairs;
    bool bFlagsSeen = false;
    for (size_t i = 0; i < m_challenge.m_avPairs.GetCount(); ++i) {
        const COrvNtlmAvPair& pair = m_challenge.m_avPairs[i];
        COrvStringA sValue = pair.m_sValue;
        if (pair.m_nId == enNtlmAvFlags && bMic && sValue.GetLength() == 4) {
            const uint32_t dw = Get32(reinterpret_cast<const uint8_t*>(sValue.GetString()));
            sValue.Empty();
            Put32(sValue, dw | kAvFlagMic);
            bFlagsSeen = true;
        }
        Put16(sPairs, pair.m_nId);
        Put16(sPairs, static_cast<uint32_t>(sValue.GetLength()));
        sPairs += sValue;
    }
    if (bMic) {
        const uint8_t* pt = reinterpret_cast<const uint8_t*>(pTime->m_sValue.GetString());
        nTime = Get32(pt) | uint64_t{Get32(pt + 4)} << 32;
        if (!bFlagsSeen) {
            Put16(sPairs, enNtlmAvFlags);
            Put16(sPairs, 4);
            Put32(sPairs, kAvFlagMic);
        }
    }
    Put32(sPairs, enNtlmAvEol);

    const COrvStringA sServerChallenge(
        reinterpret_cast<const char*>(m_challenge.m_abServerChallenge), 8);
    COrvStringA sTemp;
    Put16(sTemp, 0x0101);  // response version and highest version
    Put16(sTemp, 0);
    Put32(sTemp, 0);
    Put64(sTemp, nTime);
    sTemp += sClientChallenge;
    Put32(sTemp, 0);
    sTemp += sPairs;
    Put32(sTemp, 0);
    const COrvStringA sProof = OrvHmac(enHashMd5, sKey, sServerChallenge + sTemp);
    const COrvStringA sNtResponse = sProof + sTemp;
    COrvStringA sLmResponse;
    if (bMic)
        sLmResponse = COrvStringA('\0', 24);
    else
        sLmResponse =
            OrvHmac(enHashMd5, sKey, sServerChallenge + sClientChallenge) + sClientChallenge;
    const COrvStringA sBaseKey = OrvHmac(enHashMd5, sKey, sProof);
    if (sProof.GetLength() != 16 || sBaseKey.GetLength() != 16 || sLmResponse.GetLength() != 24)
        return err.Set(enNetAuth, "failed to compute ExportedSessionKey: HMAC-MD5");

    // With key exchange the random key, encrypted under the base key, becomes the session key.
    const bool bKeyExchange = (m_challenge.m_dwFlags & kOrvNtlmFlagKeyExchange) != 0;
    COrvStringA sEncryptedKey;
    if (bKeyExchange) {
        m_sExportedKey = sRandomKey;
        sEncryptedKey = sRandomKey;
        OrvRc4(sBaseKey, reinterpret_cast<uint8_t*>(sEncryptedKey.GetBuffer()), 16);
        sEncryptedKey.ReleaseBuffer(16);
    } else {
        m_sExportedKey = sBaseKey;
    }

    const bool bUnicode = (m_challenge.m_dwFlags & kOrvNtlmFlagUnicode) != 0;
    COrvStringA sDomainField, sUserField, sWorkstationField;
    if (bUnicode) {
        if (!ToUtf16Le(m_sDomain, false, sDomainField, err)) {
            err.AddContext("failed to pack DomainName: ");
            return false;
        }
        if (!ToUtf16Le(sUser, false, sUserField, err)) {
            err.AddContext("failed to pack UserName: ");
            return false;
        }
        if (!ToUtf16Le(m_sWorkstation, false, sWorkstationField, err)) {
            err.AddContext("failed to pack Workstation: ");
            return false;
        }
    } else {
        sDomainField = m_sDomain;
        sUserField = sUser;
        sWorkstationField = m_sWorkstation;
    }
    // The flags the server chose, limited to those this client asked for, plus key exchange
    // when the server asked for it.
    const uint32_t dwFlags =
        (m_challenge.m_dwFlags & (kOrvNtlmNegotiateFlags | kOrvNtlmFlagKeyExchange)) |
        (bUnicode ? kOrvNtlmFlagUnicode : 0x2u);
    COrvStringA sMsg(kSignature, 8), sPayload;
    Put32(sMsg, 3);
    PackField(sMsg, sPayload, sLmResponse);
    PackField(sMsg, sPayload, sNtResponse);
    PackField(sMsg, sPayload, sDomainField);
    PackField(sMsg, sPayload, sUserField);
    PackField(sMsg, sPayload, sWorkstationField);
    PackField(sMsg, sPayload, sEncryptedKey);
    Put32(sMsg, dwFlags);
    Put64(sMsg, 0);  // version
    sMsg += COrvStringA('\0', 16);
    if (sMsg.GetLength() != kAuthHeader)
        return err.SetFormat(enNetAuth, "write size mismatch (expected %d got %d)", kAuthHeader,
                             sMsg.GetLength());
    sMsg += sPayload;
    if (bMic) {
        const COrvStringA sMic =
            OrvHmac(enHashMd5, m_sExportedKey, m_sNegotiate + m_challenge.m_sMessage + sMsg);
        if (sMic.GetLength() != 16)
            return err.Set(enNetAuth, "failed to compute MIC: HMAC-MD5");
        char* pMsg = sMsg.GetBuffer();
        memcpy(pMsg + kMicOffset, sMic.GetString(), 16);
        sMsg.ReleaseBuffer(kAuthHeader + sPayload.GetLength());
    }
    m_sAuthenticate = sMsg;
    sBase64 = OrvBase64Encode(sMsg.GetString(), sMsg.GetLength());
    return true;
}
