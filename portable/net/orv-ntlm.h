// NTLM version 2 messages of the client: the negotiate message, the server's challenge message
// with its target information (AV pairs), and the authenticate message (NTOWFv2, NTLMv2 and LMv2
// responses, session key, message integrity code). No I/O: messages go in and out as bytes or
// Base64 text, and one COrvNtlmContext holds one handshake (it belongs to one connection).
#pragma once

#include <cstdint>

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-string.h"

// Flags of the negotiate message: NEGOTIATE_56, NEGOTIATE_128, NEGOTIATE_NTLM, REQUEST_TARGET,
// NEGOTIATE_OEM, NEGOTIATE_UNICODE.
constexpr uint32_t kOrvNtlmNegotiateFlags = 0xA0000207u;
constexpr uint32_t kOrvNtlmFlagUnicode = 0x00000001u;
constexpr uint32_t kOrvNtlmFlagKeyExchange = 0x40000000u;

// AV pair identifiers of the target information.
enum OrvNtlmAvId : uint16_t {
    enNtlmAvEol = 0,
    enNtlmAvNbComputerName = 1,
    enNtlmAvNbDomainName = 2,
    enNtlmAvDnsComputerName = 3,
    enNtlmAvDnsDomainName = 4,
    enNtlmAvDnsTreeName = 5,
    enNtlmAvFlags = 6,
    enNtlmAvTimestamp = 7,
    enNtlmAvSingleHost = 8,
    enNtlmAvTargetName = 9,
    enNtlmAvChannelBindings = 10,
};

struct COrvNtlmAvPair {
    uint16_t m_nId = 0;
    COrvStringA m_sValue;  // raw bytes
};

// A parsed challenge message.
struct COrvNtlmChallenge {
    // Empties every field.
    void Clear();

    COrvStringA m_sMessage;  // the message as received
    uint32_t m_dwFlags = 0;
    uint8_t m_abServerChallenge[8] = {};
    COrvStringA m_sTargetName;  // raw bytes
    // Every pair up to the end-of-list pair, unknown ones included, in their order.
    COrvArray<COrvNtlmAvPair> m_avPairs;
    // The trace texts of the pairs ("NetBIOSDomainName: DOMAIN, ..."; an unknown pair is
    // "Invalid").
    COrvStringA m_sDescription;
};

// The 32-byte negotiate message: "NTLMSSP\0", type 1, kOrvNtlmNegotiateFlags, empty domain and
// workstation fields.
COrvStringA OrvNtlmNegotiateMessage();

// Parses a challenge message. Failures (enNetAuth): "input too small (expected >= %d bytes, got
// %d", "bad signature (%s)", "bad MessageType (%d)", "bad TargetInfo field", "bad AVPair at
// offset %d". Target information is read only when the flags announce it
// (NEGOTIATE_TARGET_INFO). Pairs with identifiers this client does not know are kept, described
// as "Invalid" and otherwise ignored.
[[nodiscard]] bool OrvNtlmParseChallenge(const void* pData, int nLen, COrvNtlmChallenge& ch,
                                         COrvError& err);

// NTOWFv2: HMAC-MD5 under MD4(UTF-16LE(password)) of UTF-16LE(upper-case user + domain).
// Failures: "failed to convert to UTF-16 LE (nSourceErrorPos=%d)" for invalid UTF-8 (enNetAuth).
[[nodiscard]] bool OrvNtlmNtowfV2(const char* pszPassword, const char* pszUser,
                                  const char* pszDomain, COrvStringA& sKey, COrvError& err);

// One handshake of the client.
class COrvNtlmContext {
public:
    // Forgets the handshake (a new connection starts again).
    void Reset();
    // The negotiate message in Base64; the message is kept for the integrity code.
    COrvStringA MakeNegotiate();
    // Takes the server's challenge (Base64 text). Failures: "bad base64 in NTLM challenge"
    // and those of OrvNtlmParseChallenge (enNetAuth).
    [[nodiscard]] bool TakeChallenge(const char* pszBase64, COrvError& err);
    // The authenticate message in Base64 for a user id "DOMAIN\user" or "user". Needs a taken
    // challenge ("no NTLM challenge", enNetAuth). When the challenge carries a timestamp the
    // response uses it, flags the integrity code in the AV pairs, sends an empty LM response and
    // fills the integrity code over the three messages.
    [[nodiscard]] bool MakeAuthenticate(const char* pszUserId, const char* pszPassword,
                                        COrvStringA& sBase64, COrvError& err);
    // The raw authenticate message of the last MakeAuthenticate.
    const COrvStringA& AuthenticateMessage() const { return m_sAuthenticate; }
    const COrvNtlmChallenge& Challenge() const { return m_challenge; }
    bool HasChallenge() const { return m_bHaveChallenge; }
    // The domain of the last authenticate message.
    const COrvStringA& Domain() const { return m_sDomain; }
    // The exported session key of the last authenticate message.
    const COrvStringA& SessionKey() const { return m_sExportedKey; }

    // The workstation name sent (empty by default).
    COrvStringA m_sWorkstation;
    // For reproducible messages: when set, these replace the random client challenge (8 bytes),
    // random session key (16 bytes) and the current time (a FILETIME) of the next message.
    COrvStringA m_sFixedClientChallenge;
    COrvStringA m_sFixedSessionKey;
    uint64_t m_nFixedTime = 0;
    bool m_bUseFixedTime = false;

private:
    COrvStringA m_sNegotiate;
    COrvNtlmChallenge m_challenge;
    bool m_bHaveChallenge = false;
    COrvStringA m_sAuthenticate;
    COrvStringA m_sDomain;
    COrvStringA m_sExportedKey;
};
