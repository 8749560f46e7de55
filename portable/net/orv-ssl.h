// The TLS channel over OpenSSL 3: the process-wide client context with its trust store, the
// client session cache, the check of the server certificate against the host name, the
// description of a peer certificate, and the server side for the library's own servers.
//
// The trust store takes its roots from two named sources: "embedded_cacert" (a bundle compiled
// into the library from the system's CA certificates at build time, plus two optional sets added
// when the root option list names them) and "system_cacert" (the system's CA bundle, loaded only
// while system roots are trusted). Load failures are logged, never fatal.
//
// The connection itself is started and used through COrvSocket (StartTls, AcceptTls); this
// header holds the process-wide parts. OpenSSL's own security level is never lowered.
#pragma once

#include "orv-error.h"
#include "orv-string.h"

// Bits of the TLS options word (default COrvSocket::kDefaultTlsOptions, 816).
enum : unsigned {
    kOrvTlsNoSsl3 = 1,        // exclude SSL 3.0
    kOrvTlsNoTls10 = 2,       // exclude TLS 1.0
    kOrvTlsNoTls11 = 4,       // exclude TLS 1.1
    kOrvTlsNoTls12 = 8,       // exclude TLS 1.2
    kOrvTlsReserved16 = 16,   // set by default; not tested by the client start
    kOrvTlsCipherListA = 32,  // cipher lists, applied in the order A, B, C: the last one wins
    kOrvTlsCipherListB = 64,
    kOrvTlsCipherListC = 128,
    kOrvTlsSni = 256,             // send the host name (without a final dot) unless it is an
                                  // address ("[::1]" included)
    kOrvTlsNoSessionCache = 512,  // neither use nor fill the client session cache
};

// Creates the process-wide client context and loads the trust store. Fails with "SSL Library
// already initialized" when it exists, "SSL: Not enough memory for context" (enNetNoMemory).
// Connecting creates the context itself when needed. Any thread.
[[nodiscard]] bool OrvSslInit(COrvError& err);
[[nodiscard]] bool OrvSslInit(int& nCode, COrvStringA& strError);
// Whether the context exists.
bool OrvSslIsInitialized();
// Frees the context and empties the session cache (the next connect creates a new one). Call it
// only while no TLS connection is being started.
void OrvSslCleanup();

// Whether the system's CA bundle is trusted as well (the proxy settings' TrustCA byte). Read when
// the context is made; OrvSslReloadSystemRoots applies a change to an existing context.
void OrvSslSetTrustSystemRoots(bool bTrust);
// Loads the system roots into the context again (when trusted). False with the reason in
// strError when the context does not exist ("SSL context is not initialized yet") or nothing could
// be loaded. Any thread.
[[nodiscard]] bool OrvSslReloadSystemRoots(COrvStringA& strError);
// Comma-separated option words that add the optional root sets of the embedded bundle
// ("embedded_extra1", "embedded_extra2"). Read when the context is made.
void OrvSslSetRootOptions(const char* pszWords);
// Adds the certificates of a PEM file to the trust store of the context (creating the context
// when needed); for private certificate authorities. Returns the count added (0 with err set).
[[nodiscard]] int OrvSslAddTrustedRoots(const char* pszPemPath, COrvError& err);
// Adds the certificates of a PEM file to the trust store of an OpenSSL SSL_CTX* of one connection
// (the platform engine's); the count, 0 with err set as above.
[[nodiscard]] int OrvSslAddTrustedFileToContext(void* pSslCtx, const char* pszPemPath,
                                                COrvError& err);
// A name pattern ("*" matches any run of characters) that the certificate names must match
// instead of the host name; null or empty restores the host check.
void OrvSslSetCustomNamePattern(const char* pszPattern);

// Diagnostic trace of TLS connections started (client and server) while it is on: the handshake
// steps ("SSL_connect: LOOP: ...", "SSL_accept: HANDSHAKE_DONE", "... EXIT: SUCCESS: ...",
// alerts as "recv alert ..."/"send alert ...") and every read and write of the socket
// ("read(%d,%d) - socket fd=%d", "read return %d", ...) go to g_orv_log. Off by default. Any
// thread; a connection keeps the setting it started with.
void OrvSslSetHandshakeTrace(bool bOn);

// Whether a certificate name matches the host: names and host are split at "."; the name needs
// at least two labels, no more than the host and no empty label; labels compare without regard to
// ASCII case. A "*" label matches exactly one whole host label and only as the left-most label;
// it never stands for a public suffix of the list's ICANN section ("*.com", "*.co.uk", in any
// case), while the names of its private section take one ("*.github.io"). A numeric address host
// never matches a name (addresses are checked against the IP address entries by OrvSslVerifyPeer).
bool OrvSslNameMatches(const char* pszCertName, const char* pszHost);
// Checks a finished handshake of pSsl (an OpenSSL SSL*): the chain verified, a peer certificate
// present, one of its DNS alternative names (all of them are compared; the common name only
// when there is no DNS name) matching pszHost (or the custom pattern); an address host (IPv4, IPv6,
// "[::1]") must equal one of the IP address entries byte for byte instead. False with the reason in
// strError.
[[nodiscard]] bool OrvSslVerifyPeer(void* pSsl, const char* pszHost, COrvStringA& strError);
// " [SUBJECT] '...' [ISSUER] '...' [THUMBPRINT] SHA-1=..." of the peer certificate of pSsl.
COrvStringA OrvSslDescribePeer(void* pSsl);

// OpenSSL 3 locks itself: these keep the checks of installing and removing the locking hooks
// but have nothing to install. Install before other threads use TLS; remove at shutdown.
bool OrvSslInstallLocks();
void OrvSslRemoveLocks();

// The client session cache (at most 256 entries; the oldest is evicted). An entry is keyed by
// "host:port" and, when they apply, the client certificate's SHA-256, trust-any and the trust
// settings ("host:port client=<hex> trust-any ..."), so that a session is only resumed for the
// same identity on both sides.
int OrvSslSessionCacheCount();
bool OrvSslSessionCacheHas(const char* pszKey);
void OrvSslSessionCacheClear();

// Sessions for explicit resumption (COrvSocket::SetTlsSessionToResume). A session is an opaque
// OpenSSL SSL_SESSION*; whoever gets one owns one reference and frees it with OrvSslFreeSession.
// The session of a TLS connection (an OpenSSL SSL*, e.g. COrvSocket::GetTlsHandle), with a new
// reference; null for no connection. With TLS 1.3 the resumable session (the ticket) arrives after
// the handshake and is only read with the first application data, so take it after a response came
// back. The session remembers the server name it was made for; resume it only with the same host.
void* OrvSslGetSession(void* pTls);
// Drops one reference to pSession (null: nothing).
void OrvSslFreeSession(void* pSession);

// The server side: a certificate chain, its key and the ECDH curve of one server.
class COrvSslServerContext {
public:
    COrvSslServerContext() = default;
    ~COrvSslServerContext();
    COrvSslServerContext(const COrvSslServerContext&) = delete;
    COrvSslServerContext& operator=(const COrvSslServerContext&) = delete;

    // Loads the certificate (PEM, may hold the chain), the private key, further chain
    // certificates from pszChainFile (null: none) and sets the ECDH curve (null: "prime256v1").
    // Texts: "Server certificate file not found: ", "Server key file not found: ", "Reading
    // chain file for chain: ", "Cannot load certificate chain: ", "Cannot load
    // certificate/private key pair: ", "Failed to look up elliptic curve '%s'", "Failed to set
    // ECDH support: ". Not while connections are being accepted.
    [[nodiscard]] bool Load(const char* pszCertFile, const char* pszKeyFile,
                            const char* pszChainFile, const char* pszCurve, COrvError& err);
    // TLS 1.2 cipher list of the server (OpenSSL syntax); false when it yields no cipher.
    [[nodiscard]] bool SetCipherList(const char* pszList, COrvError& err);
    bool IsLoaded() const { return m_pCtx != nullptr; }
    // The OpenSSL SSL_CTX*, for orv-ssl only.
    void* Handle() const { return m_pCtx; }

private:
    void* m_pCtx = nullptr;
};
