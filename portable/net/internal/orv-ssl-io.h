// The seam between the socket and the TLS module: the socket keeps its TLS connection as an
// opaque pointer and reads, writes, starts and ends it through these calls, so that only
// orv-ssl.cpp includes OpenSSL.
#pragma once

#include "orv-error.h"
#include "orv-string.h"

class COrvSslServerContext;

// What a TLS read or write ended with.
enum OrvSslIoKind : int {
    kOrvSslIoOk = 0,
    kOrvSslIoZeroReturn,  // the peer closed the TLS connection
    kOrvSslIoWantRead,
    kOrvSslIoWantWrite,
    kOrvSslIoWantX509,
    kOrvSslIoSyscall,  // errno (0: the peer ended the stream without close_notify)
    kOrvSslIoOther,
};

// One SSL_read / SSL_write: the result (> 0 bytes, else <= 0), with the kind and OpenSSL's own
// error number in nSslError. errno is left as the call set it.
int OrvSslIoRead(void* pSsl, void* pBuf, int nLen, int& nKind, int& nSslError);
int OrvSslIoWrite(void* pSsl, const void* pBuf, int nLen, int& nKind, int& nSslError);
// The texts of OpenSSL's error queue joined by "; " (the queue is emptied), "" when empty.
COrvStringA OrvSslIoErrorText();
// Sends close_notify (a failure is returned in strFailure) and frees the connection.
void OrvSslIoShutdownAndFree(void* pSsl, COrvStringA& strFailure);
// Frees the connection without a shutdown; bKeepSession keeps its session resumable (a healthy
// connection closed at once), otherwise OpenSSL drops it (a failed one).
void OrvSslIoFree(void* pSsl, bool bKeepSession);

// The TLS client over the connected descriptor fd: makes the connection, applies the options
// word, runs the handshake (within nTimeoutSeconds), uses and fills the session cache (keyed by
// host, port, client certificate and trust settings) and verifies the peer unless bTrustAny.
// pszCertPem names a PEM file with the client certificate and key ("" for none); pszCaFile a PEM
// file of certificates this connection alone trusts beside the context's roots ("" for none);
// pExplicitSession is an SSL_SESSION to resume (or null). On success pSsl holds the connection;
// on failure it is null and err says why.
bool OrvSslIoStartClient(int fd, const char* pszHost, int nPort, const char* pszCertPem,
                         const char* pszCaFile, unsigned nOptions, bool bTrustAny,
                         int nTimeoutSeconds, void* pExplicitSession, void*& pSsl, COrvError& err);
// Where the records of a TLS connection go when they do not go to a descriptor: the caller's
// blocking functions over its own byte stream (the step below a TLS transport). Must outlive the
// connection.
struct COrvSslIoChannel {
    void* m_pCtx = nullptr;
    // Reads 1..nMax bytes: the count, 0 at the end of the stream, -1 on failure.
    int (*m_pfnRead)(void* pCtx, void* pBuf, int nMax) = nullptr;
    // Writes all nLen bytes: nLen, or -1 on failure.
    int (*m_pfnWrite)(void* pCtx, const void* pData, int nLen) = nullptr;
    // Pushes out what the writes left in a buffer.
    bool (*m_pfnFlush)(void* pCtx) = nullptr;
};
// The TLS client as OrvSslIoStartClient, over a channel instead of a descriptor: the handshake's
// waits are those of the channel's functions.
bool OrvSslIoStartClientOver(COrvSslIoChannel* pChannel, const char* pszHost, int nPort,
                             const char* pszCertPem, const char* pszCaFile, unsigned nOptions,
                             bool bTrustAny, void*& pSsl, COrvError& err);
// The shared body of both: pChannel null means the descriptor fd.
bool OrvSslIoStartClientOn(int fd, COrvSslIoChannel* pChannel, const char* pszHost, int nPort,
                           const char* pszCertPem, const char* pszCaFile, unsigned nOptions,
                           bool bTrustAny, int nTimeoutSeconds, void* pExplicitSession, void*& pSsl,
                           COrvError& err);
// The TLS server handshake over the accepted descriptor fd.
bool OrvSslIoAccept(int fd, COrvSslServerContext& ctx, int nTimeoutSeconds, void*& pSsl,
                    COrvError& err);
// Decrypted bytes the connection holds that no read has taken yet.
int OrvSslIoPending(void* pSsl);
// Whether the handshake resumed a session.
bool OrvSslIoSessionReused(void* pSsl);
// Takes one more reference to the SSL_SESSION pSession (null: nothing).
void OrvSslIoSessionUpRef(void* pSession);
// Stores the session of the connection pSsl in the client cache under pszKey (tests).
bool OrvSslIoCacheCopyFrom(void* pSsl, const char* pszKey);
