// OrvAuth: the library's SCRAM scheme (RFC 5802 with SHA-256) carried in HTTP headers, client and
// server side. Requests carry "OrvAuth " + optional sid="..", + data=".." (Base64 of a SCRAM
// message); challenges are "OrvAuth realm="..",[sid="..",]data="..".
//
// The three variants differ in how the password is prepared before PBKDF2 (chosen by the
// server's "o=" option): enSCRAM_SHA256 uses the password itself with HMAC-SHA-256;
// "pwdMD5" uses the hexadecimal MD5 of the password with HMAC-SHA-256; "s256ps512" uses the
// hexadecimal SHA-256 of the password with HMAC-SHA-512 (64-byte salted password). Keys then
// follow RFC 5802 with SHA-256 ("Client Key", "Server Key").
#pragma once

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-http-auth.h"
#include "orv-lock.h"
#include "orv-string.h"
#include "orv-time.h"

enum OrvAuthType : int {
    enSCRAM_SHA256 = 0,
    enSCRAM_SHA256_PBKDF2_HMAC_SHA256_MD5 = 1,
    enSCRAM_SHA256_PBKDF2_HMAC_SHA512 = 2,
};

enum OrvScramState : int {
    enSetUserInfo = 0,
    enClientFirstMessageReceived,
    enServerFirstMessageSent,
    enServerFirstMessageRecieved,
    enClientFinalMessageSent,
    enClientFinalMessageReceived,
    enServerVerified,
    enAuthRejected,
    enServerError,
};

// The smallest iteration count a client accepts.
constexpr int kOrvScramMinIterations = 100;

// The salted password of a variant. Failures: "PBKDF2 failed".
[[nodiscard]] bool OrvScramSaltedPassword(OrvAuthType eType, const char* pszPassword,
                                          const COrvStringA& sSalt, int nIterations,
                                          COrvStringA& sOut, COrvError& err);
// A user name with "=" and "," escaped as "=3D" and "=2C".
COrvStringA OrvScramEscapeName(const char* pszName);
// The reverse; false for "=" followed by anything but "3D" or "2C", or a bare ",".
[[nodiscard]] bool OrvScramUnescapeName(const COrvStringA& sName, COrvStringA& sOut);

// A client's first message "n,,n=USER,r=NONCE".
struct COrvScramClientFirst {
    COrvStringA m_sUser;   // unescaped
    COrvStringA m_sNonce;  // the client nonce
    COrvStringA m_sBare;   // the message without the "n,," header
};
// Failures (enNetBadRequest): "SCRAM Auth: bad request".
[[nodiscard]] bool OrvScramParseClientFirst(const COrvStringA& sMsg, COrvScramClientFirst& msg,
                                            COrvError& err);

// A server's first message "r=NONCE,s=SALT,i=COUNT[,o=OPTION]".
struct COrvScramServerFirst {
    COrvStringA m_sNonce;
    COrvStringA m_sSalt;  // decoded
    int m_nIterations = 0;
    OrvAuthType m_eType = enSCRAM_SHA256;
};
// Failures (enNetServer): "SCRAM Auth: bad server response", "SCRAM Auth: bad server response -
// bad base64 encoding", "SCRAM Auth: bad server response - iterations count is too low".
[[nodiscard]] bool OrvScramParseServerFirst(const COrvStringA& sMsg, COrvScramServerFirst& msg,
                                            COrvError& err);

// The client side of one server (realm). Not shared between threads.
class COrvAuthClient {
public:
    // Starts again: state enSetUserInfo, nothing sent.
    void Reset();
    // The first message for the user.
    COrvStringA ClientFirst(const char* pszUser);
    // The final message answering the server's first. Failures as OrvScramParseServerFirst and
    // "SCRAM Auth: bad server response - nonce mismatch" (enNetServer).
    [[nodiscard]] bool ClientFinal(const COrvStringA& sServerFirst, const char* pszPassword,
                                   COrvStringA& sOut, COrvError& err);
    // Checks the server's final message. "v=" with a wrong signature: "SCRAM Auth: Server
    // signature mismatch" (enNetAuth); "e=unknown-user" and "e=invalid-proof": "Unauthorized"
    // (enNetAuth); other "e=": "SCRAM Auth: " + the error (enNetServer); anything else "SCRAM
    // Auth: unexpected server response" (enNetServer).
    [[nodiscard]] bool VerifyServerFinal(const COrvStringA& sServerFinal, COrvError& err);

    // One step of the HTTP exchange on a 401 with an "OrvAuth" challenge: true with the
    // Authorization value to send next and sText ("[OrvAuth: sending first client message]",
    // "[OrvAuth: sending final client message]", "[OrvAuth: server verified]"); false with err:
    // "Wrong realm: " + realm when m_realm is set and differs, "Unathorized" when the
    // exchange is over, "OrvAuth: bad server response - bad base64 encoding", and the message
    // failures above.
    [[nodiscard]] bool Step(const COrvHttpChallenge& challenge, const char* pszUser,
                            const char* pszPassword, COrvStringA& sAuthorization,
                            COrvStringA& sText, COrvError& err);

    COrvStringA m_realm;  // the expected realm; empty: any
    COrvStringA m_sid;
    OrvScramState m_state = enSetUserInfo;
    OrvAuthType m_type = enSCRAM_SHA256;
    COrvStringA m_sClientNonce;
    COrvStringA m_sSaltedPassword;
    COrvStringA m_client_key;
    int m_pbkdf2_hash_length = 32;
    int m_salted_password_length = 32;
    // For reproducible exchanges: a client nonce used instead of a random one when set.
    COrvStringA m_sFixedNonce;

private:
    bool m_bFirstSent = false;
    COrvStringA m_sClientFirstBare;
    COrvStringA m_sServerSignature;
};

// The stored record of a user's password: "TYPE:ITERATIONS:SALT:KEY" with the salt and the key
// (StoredKey followed by ServerKey, 64 bytes) in Base64. A new random 16-byte salt when sSalt
// is empty.
[[nodiscard]] bool OrvScramMakeRecord(OrvAuthType eType, const char* pszPassword,
                                      const COrvStringA& sSalt, int nIterations,
                                      COrvStringA& sRecord, COrvError& err);

// Where the server finds a user's stored record.
class IOrvAuthUserStore {
public:
    // True with the record; false with err for an unknown user (enNetNotFound) or a failure.
    [[nodiscard]] virtual bool GetAuthData(const COrvStringA& sUser, COrvStringA& sRecord,
                                           COrvError& err) = 0;

protected:
    ~IOrvAuthUserStore() = default;
};

// What the server answers a request.
struct COrvAuthServerReply {
    int m_nStatus = 401;             // 200: authorised; 401: challenge; 400: bad request
    COrvStringA m_sWwwAuthenticate;  // with 401
    COrvStringA m_sUser;             // with 200: the authorised user
    COrvStringA m_sText;             // why the request was not authorised (empty for steps)
};

// The server side: a session table keyed by sid, guarded by the named lock
// "OrvScramAuthServerSessions"; sessions expire after m_nSessionSeconds. Any thread.
class COrvAuthServer {
public:
    COrvAuthServer(const char* pszRealm, IOrvAuthUserStore* pStore);
    COrvAuthServer(const COrvAuthServer&) = delete;
    COrvAuthServer& operator=(const COrvAuthServer&) = delete;

    // Answers the request's Authorization value (null or empty: none).
    void HandleRequest(const char* pszAuthorization, COrvAuthServerReply& reply);
    // The message layer for one session: the server's first message for a client's first, and
    // the final message for a client's final. The session (sid) is made by ServerFirst.
    [[nodiscard]] bool ServerFirst(const COrvStringA& sClientFirst, COrvStringA& sSid,
                                   COrvStringA& sOut, COrvError& err);
    [[nodiscard]] bool ServerFinal(const COrvStringA& sSid, const COrvStringA& sClientFinal,
                                   COrvStringA& sOut, COrvError& err);
    int SessionCount();

    int m_nSessionSeconds = 300;
    int m_nIterations = 4096;  // of records made by OrvScramMakeRecord's callers
    // For reproducible exchanges: the server's part of the nonce.
    COrvStringA m_sFixedServerNonce;

private:
    struct Session {
        OrvScramState m_state = enSetUserInfo;
        COrvStringA m_sUser;
        COrvStringA m_sNonce;       // combined
        COrvStringA m_sAuthPrefix;  // client-first-bare "," server-first
        COrvStringA m_sStoredKey;
        COrvStringA m_sServerKey;
        OrvTime m_tCreated = 0;
    };
    COrvStringA Challenge(const char* pszSid, const COrvStringA& sData) const;
    void DropExpired();

    COrvStringA m_sRealm;
    IOrvAuthUserStore* m_pStore;
    COrvCriticalSection m_lock{"OrvScramAuthServerSessions"};
    COrvMap<COrvStringA, Session> m_sessions;
};
