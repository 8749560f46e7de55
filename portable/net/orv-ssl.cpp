// TLS over OpenSSL 3: the process-wide client context and its trust store, the client session
// cache, the TLS start of the socket, the peer check, certificate descriptions and the server
// side. The only file of the library that includes OpenSSL.
#include "orv-ssl.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <mutex>

#include "orv-lock.h"
#include "orv-log.h"
#include "orv-psl-library.h"
#include "orv-socket-os.h"
#include "orv-ssl-io.h"
#include "orv-sys.h"
#include "orv-trace.h"

// The built-in roots, one PEM text line per entry, ending with a null entry (generated at build
// time from the system's CA certificates).
extern const char* const g_orv_embedded_cacert[];

namespace {

// The two optional sets of the embedded source and the option words that add them. Empty in
// this build: a product that needs extra roots compiled in fills them.
const char* const kExtraRoots1[] = {nullptr};
const char* const kExtraRoots2[] = {nullptr};
const char kExtraWord1[] = "embedded_extra1";
const char kExtraWord2[] = "embedded_extra2";

const char kSystemBundle[] = "/etc/ssl/certs/ca-certificates.crt";

const char kCipherListA[] =
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-SHA384:"
    "ECDHE-ECDSA-AES256-SHA384:ECDHE-RSA-AES256-SHA:ECDHE-ECDSA-AES256-SHA:"
    "SRP-DSS-AES-256-CBC-SHA:SRP-RSA-AES-256-CBC-SHA:SRP-AES-256-CBC-SHA:"
    "DHE-DSS-AES256-GCM-SHA384:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-AES256-SHA256:"
    "DHE-DSS-AES256-SHA256:DHE-RSA-AES256-SHA:DHE-DSS-AES256-SHA:DHE-RSA-CAMELLIA256-SHA:"
    "DHE-DSS-CAMELLIA256-SHA:ECDH-RSA-AES256-GCM-SHA384:ECDH-ECDSA-AES256-GCM-SHA384:"
    "ECDH-RSA-AES256-SHA384:ECDH-ECDSA-AES256-SHA384:ECDH-RSA-AES256-SHA:ECDH-ECDSA-AES256-SHA:"
    "AES256-GCM-SHA384:AES256-SHA256:AES256-SHA:CAMELLIA256-SHA:PSK-AES256-CBC-SHA:"
    "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-SHA256:"
    "ECDHE-ECDSA-AES128-SHA256:ECDHE-RSA-AES128-SHA:ECDHE-ECDSA-AES128-SHA:"
    "SRP-DSS-AES-128-CBC-SHA:SRP-RSA-AES-128-CBC-SHA:SRP-AES-128-CBC-SHA:"
    "DHE-DSS-AES128-GCM-SHA256:DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES128-SHA256:"
    "DHE-DSS-AES128-SHA256:DHE-RSA-AES128-SHA:DHE-DSS-AES128-SHA:DHE-RSA-SEED-SHA:"
    "DHE-DSS-SEED-SHA:DHE-RSA-CAMELLIA128-SHA:DHE-DSS-CAMELLIA128-SHA:"
    "ECDH-RSA-AES128-GCM-SHA256:ECDH-ECDSA-AES128-GCM-SHA256:ECDH-RSA-AES128-SHA256:"
    "ECDH-ECDSA-AES128-SHA256:ECDH-RSA-AES128-SHA:ECDH-ECDSA-AES128-SHA:AES128-GCM-SHA256:"
    "AES128-SHA256:AES128-SHA:SEED-SHA:CAMELLIA128-SHA:IDEA-CBC-SHA:PSK-AES128-CBC-SHA:"
    "ECDHE-RSA-RC4-SHA:ECDHE-ECDSA-RC4-SHA:ECDH-RSA-RC4-SHA:ECDH-ECDSA-RC4-SHA:RC4-SHA:RC4-MD5:"
    "PSK-RC4-SHA:SRP-DSS-3DES-EDE-CBC-SHA:SRP-RSA-3DES-EDE-CBC-SHA:SRP-3DES-EDE-CBC-SHA:"
    "PSK-3DES-EDE-CBC-SHA:EDH-RSA-DES-CBC-SHA:EDH-DSS-DES-CBC-SHA:DES-CBC-SHA:"
    "EXP-EDH-RSA-DES-CBC-SHA:EXP-EDH-DSS-DES-CBC-SHA:EXP-DES-CBC-SHA:EXP-RC2-CBC-MD5:"
    "EXP-RC4-MD5";

// List A without the given suites (B), or without its first n suites (C).
COrvStringA CipherListWithout(const char* const* apDrop, int nDrop, int nSkipFirst) {
    COrvStringA sOut;
    const char* p = kCipherListA;
    int i = 0;
    while (*p != 0) {
        const char* pEnd = strchr(p, ':');
        const int n = pEnd != nullptr ? static_cast<int>(pEnd - p) : static_cast<int>(strlen(p));
        bool bKeep = i >= nSkipFirst;
        for (int k = 0; k < nDrop && bKeep; ++k)
            bKeep = !(static_cast<int>(strlen(apDrop[k])) == n && strncmp(apDrop[k], p, n) == 0);
        if (bKeep) {
            if (!sOut.IsEmpty())
                sOut += ':';
            sOut.Append(p, n);
        }
        ++i;
        p += n;
        if (*p == ':')
            ++p;
    }
    return sOut;
}

const COrvStringA& CipherListB() {
    static const char* const kDrop[] = {"ECDHE-RSA-AES256-SHA", "AES256-SHA",
                                        "ECDHE-RSA-AES128-SHA", "AES128-SHA"};
    static const COrvStringA s = CipherListWithout(kDrop, 4, 0);
    return s;
}

const COrvStringA& CipherListC() {
    static const COrvStringA s = CipherListWithout(nullptr, 0, 6);
    return s;
}

// Process-wide state.
COrvCriticalSection g_ctxLock("vSslContext");
SSL_CTX* g_pCtx = nullptr;
X509_LOOKUP_METHOD* g_pEmbeddedMethod = nullptr;
X509_LOOKUP_METHOD* g_pSystemMethod = nullptr;
std::mutex g_optionsMutex;
bool g_bTrustSystem = false;
COrvStringA g_strRootOptions;
COrvStringA g_strCustomPattern;
int g_nKeyIndex = -1;
bool g_bLocksInstalled = false;
std::atomic<bool> g_bHandshakeTrace{false};

// Session cache: a small fixed table, oldest-first eviction by insertion number.
constexpr int kCacheSize = 256;
struct CacheEntry {
    COrvStringA strKey;
    SSL_SESSION* pSession = nullptr;
    uint64_t nSeq = 0;
};
COrvCriticalSection g_cacheLock("vSslSessionCache");
CacheEntry g_cache[kCacheSize];
uint64_t g_nCacheSeq = 0;

COrvStringA ErrorQueueText() {
    COrvStringA s;
    unsigned long e;
    while ((e = ERR_get_error()) != 0) {
        char sz[256];
        ERR_error_string_n(e, sz, sizeof sz);
        if (!s.IsEmpty())
            s += "; ";
        s += sz;
    }
    return s;
}

void CacheRemoveLocked(CacheEntry& e) {
    if (e.pSession != nullptr)
        SSL_SESSION_free(e.pSession);
    e.pSession = nullptr;
    e.strKey.Empty();
    e.nSeq = 0;
}

void CacheDropExpiredLocked() {
    const long long nNow = static_cast<long long>(time(nullptr));
    for (CacheEntry& e : g_cache) {
        if (e.pSession == nullptr)
            continue;
        const long long nEnd = static_cast<long long>(SSL_SESSION_get_time(e.pSession)) +
                               SSL_SESSION_get_timeout(e.pSession);
        if (nEnd < nNow || !SSL_SESSION_is_resumable(e.pSession))
            CacheRemoveLocked(e);
    }
}

// Stores pSession (the reference passes to the cache) under pszKey.
void CachePut(const char* pszKey, SSL_SESSION* pSession) {
    TvAutoCriticalSection guard(g_cacheLock);
    CacheEntry* pSlot = nullptr;
    for (CacheEntry& e : g_cache) {
        if (e.pSession != nullptr && e.strKey.Compare(pszKey) == 0) {
            pSlot = &e;
            break;
        }
    }
    if (pSlot == nullptr) {
        for (CacheEntry& e : g_cache) {
            if (e.pSession == nullptr) {
                pSlot = &e;
                break;
            }
        }
    }
    if (pSlot == nullptr) {
        pSlot = &g_cache[0];
        for (CacheEntry& e : g_cache) {
            if (e.nSeq < pSlot->nSeq)
                pSlot = &e;
        }
    }
    CacheRemoveLocked(*pSlot);
    pSlot->strKey = pszKey;
    pSlot->pSession = pSession;
    pSlot->nSeq = ++g_nCacheSeq;
}

// Sets the cached session of pszKey on pSsl; false when there is none.
bool CacheApply(const char* pszKey, SSL* pSsl) {
    TvAutoCriticalSection guard(g_cacheLock);
    CacheDropExpiredLocked();
    for (CacheEntry& e : g_cache) {
        if (e.pSession != nullptr && e.strKey.Compare(pszKey) == 0)
            return SSL_set_session(pSsl, e.pSession) == 1;
    }
    return false;
}

// OpenSSL hands every new client session here (after the handshake for TLS 1.2, with each
// ticket for TLS 1.3); connections that use the cache carry their key.
int OnNewSession(SSL* pSsl, SSL_SESSION* pSession) {
    const char* pszKey = static_cast<const char*>(SSL_get_ex_data(pSsl, g_nKeyIndex));
    if (pszKey == nullptr)
        return 0;
    CachePut(pszKey, pSession);
    return 1;
}

void FreeKey(void*, void* p, CRYPTO_EX_DATA*, int, long, void*) {
    free(p);
}

// Adds the certificates of a PEM text to the store; returns the count.
int AddPemToStore(X509_STORE* pStore, BIO* pBio, bool bServerAuthOnly) {
    int nAdded = 0;
    for (;;) {
        X509* pCert = PEM_read_bio_X509_AUX(pBio, nullptr, nullptr, nullptr);
        if (pCert == nullptr)
            break;
        if (!bServerAuthOnly || X509_check_purpose(pCert, X509_PURPOSE_SSL_SERVER, 1) > 0) {
            if (X509_STORE_add_cert(pStore, pCert) == 1)
                ++nAdded;
        }
        X509_free(pCert);
    }
    // The end of the text leaves a "no start line" error behind.
    ERR_clear_error();
    return nAdded;
}

// Adds the certificates of a PEM file to the store; the count, 0 with err filled.
int AddPemFileToStore(X509_STORE* pStore, const char* pszPemPath, COrvError& err) {
    BIO* pBio = BIO_new_file(pszPemPath, "r");
    if (pBio == nullptr) {
        ERR_clear_error();
        err.SetFormat(enNetNotFound, "SSL: Cannot load trusted root certificates from '%s': %s",
                      pszPemPath, "cannot open the file");
        return 0;
    }
    const int n = AddPemToStore(pStore, pBio, false);
    BIO_free(pBio);
    if (n == 0)
        err.SetFormat(enNetBadRequest, "SSL: Cannot load trusted root certificates from '%s': %s",
                      pszPemPath, "no certificate in the file");
    return n;
}

int AddLinesToStore(X509_STORE* pStore, const char* const* apLines) {
    COrvStringA sPem;
    for (const char* const* p = apLines; *p != nullptr; ++p) {
        sPem += *p;
        sPem += '\n';
    }
    if (sPem.IsEmpty())
        return 0;
    BIO* pBio = BIO_new_mem_buf(sPem.GetString(), sPem.GetLength());
    if (pBio == nullptr)
        return 0;
    const int n = AddPemToStore(pStore, pBio, false);
    BIO_free(pBio);
    return n;
}

bool OptionWordSet(const COrvStringA& sWords, const char* pszWord) {
    const char* p = sWords.GetString();
    const size_t nWord = strlen(pszWord);
    while (*p != 0) {
        while (*p == ' ' || *p == ',')
            ++p;
        const char* pEnd = p;
        while (*pEnd != 0 && *pEnd != ',')
            ++pEnd;
        const char* pTrim = pEnd;
        while (pTrim > p && pTrim[-1] == ' ')
            --pTrim;
        if (static_cast<size_t>(pTrim - p) == nWord && strncasecmp(p, pszWord, nWord) == 0)
            return true;
        p = pEnd;
    }
    return false;
}

// The lookup sources of the trust store. They load their certificates into the store when
// asked through X509_LOOKUP_ctrl with one of these commands.
enum { kLoadEmbedded = 1001, kLoadSystem = 1002 };

int LookupCtrl(X509_LOOKUP* pLookup, int nCmd, const char*, long, char** ppRet) {
    X509_STORE* pStore = X509_LOOKUP_get_store(pLookup);
    if (pStore == nullptr)
        return 0;
    int n = 0;
    if (nCmd == kLoadEmbedded) {
        COrvStringA sWords;
        {
            std::lock_guard<std::mutex> guard(g_optionsMutex);
            sWords = g_strRootOptions;
        }
        n = AddLinesToStore(pStore, g_orv_embedded_cacert);
        if (OptionWordSet(sWords, kExtraWord1))
            n += AddLinesToStore(pStore, kExtraRoots1);
        if (OptionWordSet(sWords, kExtraWord2))
            n += AddLinesToStore(pStore, kExtraRoots2);
    } else if (nCmd == kLoadSystem) {
        BIO* pBio = BIO_new_file(kSystemBundle, "r");
        if (pBio == nullptr) {
            if (ppRet != nullptr)
                *ppRet = nullptr;
            return 0;
        }
        n = AddPemToStore(pStore, pBio, true);
        BIO_free(pBio);
    }
    return n > 0 ? 1 : 0;
}

X509_LOOKUP_METHOD* MakeLookupMethod(const char* pszName) {
    X509_LOOKUP_METHOD* p = X509_LOOKUP_meth_new(pszName);
    if (p != nullptr)
        X509_LOOKUP_meth_set_ctrl(p, LookupCtrl);
    return p;
}

// Loads one source into the context's store; logs a failure.
bool LoadSource(SSL_CTX* pCtx, X509_LOOKUP_METHOD*& pMethod, const char* pszName, int nCmd,
                COrvStringA* pstrError) {
    if (pMethod == nullptr)
        pMethod = MakeLookupMethod(pszName);
    X509_STORE* pStore = SSL_CTX_get_cert_store(pCtx);
    X509_LOOKUP* pLookup = pMethod != nullptr ? X509_STORE_add_lookup(pStore, pMethod) : nullptr;
    if (pLookup != nullptr && X509_LOOKUP_ctrl(pLookup, nCmd, nullptr, 0, nullptr) == 1)
        return true;
    COrvStringA sWhy = ErrorQueueText();
    if (sWhy.IsEmpty())
        sWhy = nCmd == kLoadSystem ? "no usable certificate in " : "no usable certificate";
    if (nCmd == kLoadSystem) {
        if (sWhy.Right(1) == " ")
            sWhy += kSystemBundle;
        g_orv_log.Printf("SSL: Cannot load trusted root certificates from system: %s\n",
                         sWhy.GetString());
    } else {
        g_orv_log.Printf("SSL: Cannot load trusted root certificates from '%s': %s\n", pszName,
                         sWhy.GetString());
    }
    if (pstrError != nullptr)
        *pstrError = sWhy;
    return false;
}

// Called when the server asks for a client certificate and the connection has none (or none the
// server accepts): the handshake stops with SSL_ERROR_WANT_X509_LOOKUP, reported as "Client
// certificate is required for this connection", rather than going on without one into a failure
// that names no cause.
int OnClientCertRequest(SSL* /*pSsl*/, X509** /*ppCert*/, EVP_PKEY** /*ppKey*/) {
    return -1;
}

bool CreateContextLocked(COrvError& err) {
    SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
    if (pCtx == nullptr) {
        ERR_clear_error();
        return err.Set(enNetNoMemory, "SSL: Not enough memory for context");
    }
    if (g_nKeyIndex < 0)
        g_nKeyIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeKey);
    // Verification is done after the handshake (OrvSslVerifyPeer), so that trust-any can
    // skip it and a failure gets the library's own text; the chain result is kept by OpenSSL.
    SSL_CTX_set_verify(pCtx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(pCtx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(pCtx, OnNewSession);
    SSL_CTX_set_client_cert_cb(pCtx, OnClientCertRequest);
    LoadSource(pCtx, g_pEmbeddedMethod, "embedded_cacert", kLoadEmbedded, nullptr);
    bool bSystem;
    {
        std::lock_guard<std::mutex> guard(g_optionsMutex);
        bSystem = g_bTrustSystem;
    }
    if (bSystem)
        LoadSource(pCtx, g_pSystemMethod, "system_cacert", kLoadSystem, nullptr);
    g_pCtx = pCtx;
    return true;
}

SSL_CTX* EnsureContext(COrvError& err) {
    TvAutoCriticalSection guard(g_ctxLock);
    if (g_pCtx == nullptr && !CreateContextLocked(err))
        return nullptr;
    return g_pCtx;
}

bool IsNumericAddress(const char* pszHost) {
    unsigned char buf[16];
    return inet_pton(AF_INET, pszHost, buf) == 1 || inet_pton(AF_INET6, pszHost, buf) == 1;
}

// Waits for the descriptor as OpenSSL asked; false at the deadline.
bool WaitFd(int fd, bool bWrite, int64_t nDeadline) {
    if (fd < 0)
        return false;  // a channel's functions block themselves
    const int64_t nLeft = nDeadline - OrvSocketNowMs();
    if (nLeft <= 0)
        return false;
    pollfd pfd{fd, static_cast<short>(bWrite ? POLLOUT : POLLIN), 0};
    return OrvSysPoll(&pfd, 1, static_cast<int>(nLeft)) > 0;
}

// The session cache key of a client connection: the peer, and everything that decides whose
// identity a resumed session stands for. A session is resumed without a new certificate
// exchange, so one made with another client certificate (or none), or checked under other rules,
// must never be offered. The plain case (no client certificate, verified with the built-in
// rules) is "host:port".
COrvStringA SessionCacheKey(SSL* pSsl, const char* pszHost, int nPort, bool bTrustAny,
                            const char* pszCaFile) {
    COrvStringA sKey;
    sKey.Format("%s:%d", pszHost, nPort);
    if (X509* pClient = SSL_get_certificate(pSsl); pClient != nullptr) {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int nMd = 0;
        sKey += " client=";
        if (X509_digest(pClient, EVP_sha256(), md, &nMd) == 1) {
            for (unsigned i = 0; i < nMd; ++i)
                sKey.AppendFormat("%02x", md[i]);
        }
    }
    if (bTrustAny)
        sKey += " trust-any";
    if (pszCaFile != nullptr && *pszCaFile != 0)
        sKey += COrvStringA(" ca=") + pszCaFile;
    std::lock_guard<std::mutex> guard(g_optionsMutex);
    if (g_bTrustSystem)
        sKey += " system-roots";
    if (!g_strRootOptions.IsEmpty())
        sKey += " roots=" + g_strRootOptions;
    if (!g_strCustomPattern.IsEmpty())
        sKey += " pattern=" + g_strCustomPattern;
    return sKey;
}

// Runs a handshake step (SSL_connect or SSL_accept) again while it waits for the socket, until it
// completes (1), fails, or the deadline passes. Returns the step's last result; nErr holds its
// SSL_get_error code when that is not 1.
int DriveHandshake(SSL* pSsl, int fd, int64_t nDeadline, int (*pfnStep)(SSL*), int& nErr) {
    for (;;) {
        ERR_clear_error();
        const int r = pfnStep(pSsl);
        if (r == 1)
            return r;
        nErr = SSL_get_error(pSsl, r);
        if ((nErr != SSL_ERROR_WANT_READ && nErr != SSL_ERROR_WANT_WRITE) ||
            !WaitFd(fd, nErr == SSL_ERROR_WANT_WRITE, nDeadline))
            return r;
    }
}

int KindOf(int nSslError) {
    switch (nSslError) {
        case SSL_ERROR_NONE:
            return kOrvSslIoOk;
        case SSL_ERROR_ZERO_RETURN:
            return kOrvSslIoZeroReturn;
        case SSL_ERROR_WANT_READ:
            return kOrvSslIoWantRead;
        case SSL_ERROR_WANT_WRITE:
            return kOrvSslIoWantWrite;
        case SSL_ERROR_WANT_X509_LOOKUP:
            return kOrvSslIoWantX509;
        case SSL_ERROR_SYSCALL:
            return kOrvSslIoSyscall;
        default:
            return kOrvSslIoOther;
    }
}

// Handshake progress of a traced connection, one log line per step.
void TraceInfoCallback(const SSL* pSsl, int nWhere, int nRet) {
    COrvStringA s;
    if (nWhere & SSL_ST_CONNECT)
        s = "SSL_connect: ";
    else if (nWhere & SSL_ST_ACCEPT)
        s = "SSL_accept: ";
    else if (pSsl != nullptr)  // start, done and alerts carry no role bit; the connection has one
        s = SSL_is_server(const_cast<SSL*>(pSsl)) ? "SSL_accept: " : "SSL_connect: ";
    else
        s.Format("SSL_unknown(%d): ", nWhere);
    const char* pszState = pSsl != nullptr ? SSL_state_string_long(pSsl) : "";
    if (nWhere & SSL_CB_HANDSHAKE_START) {
        s += "HANDSHAKE_START";
    } else if (nWhere & SSL_CB_HANDSHAKE_DONE) {
        s += "HANDSHAKE_DONE";
    } else if (nWhere & SSL_CB_ALERT) {
        s += (nWhere & SSL_CB_READ) ? "recv " : "send ";
        s.AppendFormat("alert %s: %s", SSL_alert_type_string_long(nRet),
                       SSL_alert_desc_string_long(nRet));
    } else if (nWhere & SSL_CB_EXIT) {
        s += "EXIT: ";
        s += nRet == 0 ? "FAULT: " : nRet < 0 ? "ERROR: " : "SUCCESS: ";
        s += pszState;
    } else if (nWhere & SSL_CB_LOOP) {
        s.AppendFormat("LOOP: %s", pszState);
    } else {
        return;
    }
    g_orv_log.Printf("%s\n", s.GetString());
}

// Reads and writes of the socket BIO of a traced connection; the callback argument holds the
// descriptor (asking the BIO for it would run this callback again).
long TraceBioCallback(BIO* pBio, int nOper, const char* /*pArg*/, size_t nLen, int nArgi,
                      long /*nArgl*/, int nRet, size_t* pnProcessed) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_callback_arg(pBio)));
    const char* pszName = BIO_method_name(pBio);
    // After a read or write the count is what was moved; after a failure, the result.
    const long nDone = nRet > 0 && pnProcessed != nullptr ? static_cast<long>(*pnProcessed) : nRet;
    switch (nOper) {
        case BIO_CB_FREE:
            g_orv_log.Printf("free - %s\n", pszName);
            break;
        case BIO_CB_READ:
            g_orv_log.Printf("read(%d,%d) - %s fd=%d\n", fd, static_cast<int>(nLen), pszName, fd);
            break;
        case BIO_CB_WRITE:
            g_orv_log.Printf("write(%d,%d) - %s fd=%d\n", fd, static_cast<int>(nLen), pszName, fd);
            break;
        case BIO_CB_PUTS:
            g_orv_log.Printf("puts() - %s\n", pszName);
            break;
        case BIO_CB_GETS:
            g_orv_log.Printf("gets(%d) - %s\n", static_cast<int>(nLen), pszName);
            break;
        case BIO_CB_CTRL:
            g_orv_log.Printf("ctrl(%d) - %s\n", nArgi, pszName);
            break;
        case BIO_CB_RETURN | BIO_CB_READ:
            g_orv_log.Printf("read return %ld\n", nDone);
            break;
        case BIO_CB_RETURN | BIO_CB_WRITE:
            g_orv_log.Printf("write return %ld\n", nDone);
            break;
        case BIO_CB_RETURN | BIO_CB_GETS:
            g_orv_log.Printf("gets return %ld\n", nDone);
            break;
        case BIO_CB_RETURN | BIO_CB_PUTS:
            g_orv_log.Printf("puts return %ld\n", nDone);
            break;
        case BIO_CB_RETURN | BIO_CB_CTRL:
            g_orv_log.Printf("ctrl return %ld\n", nDone);
            break;
        default:
            g_orv_log.Printf("bio callback - unknown type (%d)\n", nOper);
            break;
    }
    return nRet;
}

// Puts the handshake and BIO trace on pSsl when tracing is switched on.
void TraceIfOn(SSL* pSsl, BIO* pBio, int fd) {
    if (!g_bHandshakeTrace.load(std::memory_order_relaxed))
        return;
    SSL_set_info_callback(pSsl, TraceInfoCallback);
    BIO_set_callback_arg(pBio, reinterpret_cast<char*>(static_cast<intptr_t>(fd)));
    BIO_set_callback_ex(pBio, TraceBioCallback);
}

// Case-insensitive glob with "*" for any run of characters.
bool GlobMatch(const char* pPat, const char* pStr) {
    if (*pPat == 0)
        return *pStr == 0;
    if (*pPat == '*') {
        for (const char* p = pStr;; ++p) {
            if (GlobMatch(pPat + 1, p))
                return true;
            if (*p == 0)
                return false;
        }
    }
    if (*pStr == 0)
        return false;
    const unsigned char a = static_cast<unsigned char>(*pPat);
    const unsigned char b = static_cast<unsigned char>(*pStr);
    if ((a >= 'A' && a <= 'Z' ? a + 32 : a) != (b >= 'A' && b <= 'Z' ? b + 32 : b))
        return false;
    return GlobMatch(pPat + 1, pStr + 1);
}

// Splits at "." into labels; false when there are more than nMax.
int SplitLabels(const char* psz, const char** apStart, int* anLen, int nMax) {
    int n = 0;
    const char* p = psz;
    for (;;) {
        const char* pDot = strchr(p, '.');
        const int nLen = pDot != nullptr ? static_cast<int>(pDot - p) : static_cast<int>(strlen(p));
        if (n == nMax)
            return -1;
        apStart[n] = p;
        anLen[n] = nLen;
        ++n;
        if (pDot == nullptr)
            return n;
        p = pDot + 1;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------

bool OrvSslInit(COrvError& err) {
    TvAutoCriticalSection guard(g_ctxLock);
    if (g_pCtx != nullptr)
        return err.Set(enNetBadRequest, "SSL Library already initialized");
    return CreateContextLocked(err);
}

bool OrvSslInit(int& nCode, COrvStringA& strError) {
    COrvError err;
    const bool bOk = OrvSslInit(err);
    err.CopyTo(&nCode, &strError);
    return bOk;
}

bool OrvSslIsInitialized() {
    TvAutoCriticalSection guard(g_ctxLock);
    return g_pCtx != nullptr;
}

void OrvSslCleanup() {
    OrvSslSessionCacheClear();
    TvAutoCriticalSection guard(g_ctxLock);
    if (g_pCtx != nullptr)
        SSL_CTX_free(g_pCtx);
    g_pCtx = nullptr;
}

void OrvSslSetTrustSystemRoots(bool bTrust) {
    std::lock_guard<std::mutex> guard(g_optionsMutex);
    g_bTrustSystem = bTrust;
}

bool OrvSslReloadSystemRoots(COrvStringA& strError) {
    TvAutoCriticalSection guard(g_ctxLock);
    if (g_pCtx == nullptr) {
        strError = "SSL context is not initialized yet";
        return false;
    }
    bool bSystem;
    {
        std::lock_guard<std::mutex> g(g_optionsMutex);
        bSystem = g_bTrustSystem;
    }
    if (!bSystem)
        return true;
    return LoadSource(g_pCtx, g_pSystemMethod, "system_cacert", kLoadSystem, &strError);
}

void OrvSslSetRootOptions(const char* pszWords) {
    std::lock_guard<std::mutex> guard(g_optionsMutex);
    g_strRootOptions = pszWords != nullptr ? pszWords : "";
}

int OrvSslAddTrustedRoots(const char* pszPemPath, COrvError& err) {
    SSL_CTX* pCtx = EnsureContext(err);
    if (pCtx == nullptr)
        return 0;
    TvAutoCriticalSection guard(g_ctxLock);
    return AddPemFileToStore(SSL_CTX_get_cert_store(pCtx), pszPemPath, err);
}

int OrvSslAddTrustedFileToContext(void* pSslCtx, const char* pszPemPath, COrvError& err) {
    return AddPemFileToStore(SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(pSslCtx)), pszPemPath,
                             err);
}

void OrvSslSetHandshakeTrace(bool bOn) {
    g_bHandshakeTrace.store(bOn, std::memory_order_relaxed);
}

void OrvSslSetCustomNamePattern(const char* pszPattern) {
    std::lock_guard<std::mutex> guard(g_optionsMutex);
    g_strCustomPattern = pszPattern != nullptr ? pszPattern : "";
}

bool OrvSslNameMatches(const char* pszCertName, const char* pszHost) {
    if (pszCertName == nullptr || pszHost == nullptr)
        return false;
    constexpr int kMax = 64;
    const char* apCert[kMax];
    int anCert[kMax];
    const char* apHost[kMax];
    int anHost[kMax];
    const int nCert = SplitLabels(pszCertName, apCert, anCert, kMax);
    const int nHost = SplitLabels(pszHost, apHost, anHost, kMax);
    // An address is matched against the IP address entries only (OrvSslVerifyPeer).
    if (nCert < 2 || nHost < 0 || nCert > nHost || IsNumericAddress(pszHost))
        return false;
    for (int i = 0; i < nCert; ++i) {
        if (anCert[i] == 0)
            return false;
    }
    for (int i = 0; i < nHost; ++i) {
        if (anHost[i] == 0)
            return false;
    }
    if (nCert != nHost)
        return false;
    for (int i = 0; i < nCert; ++i) {
        const bool bWild = anCert[i] == 1 && apCert[i][0] == '*';
        if (bWild) {
            // Only a whole left-most label, never over an address or a public suffix.
            if (i != 0 || IsNumericAddress(pszHost))
                return false;
            // The list's private section (hosting services such as "github.io") names
            // registries whose customers get certificates for "*.<service>": only the ICANN
            // section forbids a wildcard. The list holds lower-case names.
            COrvStringA sRest(apCert[1]);
            sRest.MakeLower();
            const psl_ctx_t* pPsl = OrvPslBuiltin();
            if (pPsl != nullptr ? OrvPslIsPublicSuffix(pPsl, sRest, PSL_TYPE_ICANN) : nCert < 3)
                return false;
            continue;
        }
        if (memchr(apCert[i], '*', anCert[i]) != nullptr)
            return false;
        if (anCert[i] != anHost[i] || strncasecmp(apCert[i], apHost[i], anCert[i]) != 0)
            return false;
    }
    return true;
}

COrvStringA OrvSslDescribePeer(void* pSslIn) {
    COrvStringA s;
    SSL* pSsl = static_cast<SSL*>(pSslIn);
    if (pSsl == nullptr) {
        s = "NULL SSL !!!";
        return s;
    }
    X509* pCert = SSL_get1_peer_certificate(pSsl);
    if (pCert == nullptr) {
        s = " [NO PEER CERTIFICATE]";
        return s;
    }
    char sz[512];
    const X509_NAME* pSubject = X509_get_subject_name(pCert);
    const X509_NAME* pIssuer = X509_get_issuer_name(pCert);
    COrvStringA sSubject, sIssuer, sThumb;
    if (pSubject == nullptr)
        sSubject = "[NO SUBJECT]";
    else if (X509_NAME_oneline(pSubject, sz, sizeof sz) == nullptr)
        sSubject = "ERROR GETTING SUBJECT";
    else
        sSubject = sz;
    if (pIssuer == nullptr || X509_NAME_oneline(pIssuer, sz, sizeof sz) == nullptr)
        sIssuer = "[NO ISSUER]";
    else
        sIssuer = sz;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int nMd = 0;
    if (X509_digest(pCert, EVP_sha1(), md, &nMd) != 1) {
        sThumb = "ERROR COMPUTING SHA-1 THUMBPRINT";
    } else {
        sThumb = "SHA-1=";
        for (unsigned i = 0; i < nMd; ++i)
            sThumb.AppendFormat("%02X", md[i]);
    }
    X509_free(pCert);
    s.Format(" [SUBJECT] '%s' [ISSUER] '%s' [THUMBPRINT] %s", sSubject.GetString(),
             sIssuer.GetString(), sThumb.GetString());
    return s;
}

bool OrvSslVerifyPeer(void* pSslIn, const char* pszHost, COrvStringA& strError) {
    SSL* pSsl = static_cast<SSL*>(pSslIn);
    if (pSsl == nullptr) {
        strError = "NULL SSL !!!";
        return false;
    }
    const long nVerify = SSL_get_verify_result(pSsl);
    if (nVerify != X509_V_OK) {
        strError.Format("No Certificate or it does not verify (error %d): %s",
                        static_cast<int>(nVerify), X509_verify_cert_error_string(nVerify));
        strError += OrvSslDescribePeer(pSsl);
        return false;
    }
    X509* pCert = SSL_get1_peer_certificate(pSsl);
    if (pCert == nullptr) {
        strError = "Cannot get server certificate";
        return false;
    }
    // A numeric host is checked only against the certificate's IP address entries, byte for
    // byte; a DNS name or the common name that happens to read as an address never vouches for
    // it. "[::1]" is taken as "::1".
    unsigned char abHost[16];
    int nHostLen = 0;
    {
        COrvStringA sHost = pszHost != nullptr ? pszHost : "";
        if (sHost.GetLength() > 2 && sHost[0] == '[' && sHost[sHost.GetLength() - 1] == ']')
            sHost = sHost.Mid(1, sHost.GetLength() - 2);
        if (inet_pton(AF_INET, sHost, abHost) == 1)
            nHostLen = 4;
        else if (inet_pton(AF_INET6, sHost, abHost) == 1)
            nHostLen = 16;
    }
    COrvStringA sPattern;
    {
        std::lock_guard<std::mutex> guard(g_optionsMutex);
        sPattern = g_strCustomPattern;
    }
    // Every name is compared, however many the certificate carries; the joined list is only for
    // the failure text.
    COrvStringA sJoined;
    auto matches = [&](const COrvStringA& sName) {
        if (!sJoined.IsEmpty())
            sJoined += ",";
        sJoined += sName;
        if (!sPattern.IsEmpty())
            return GlobMatch(sPattern, sName);
        return nHostLen == 0 && OrvSslNameMatches(sName, pszHost);
    };
    bool bMatch = false;
    bool bHaveDnsName = false;
    GENERAL_NAMES* pAlt = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(pCert, NID_subject_alt_name, nullptr, nullptr));
    if (pAlt != nullptr) {
        for (int i = 0; i < sk_GENERAL_NAME_num(pAlt) && !bMatch; ++i) {
            const GENERAL_NAME* pName = sk_GENERAL_NAME_value(pAlt, i);
            if (pName->type == GEN_IPADD) {
                const int nLen = ASN1_STRING_length(pName->d.iPAddress);
                const unsigned char* p = ASN1_STRING_get0_data(pName->d.iPAddress);
                if (nHostLen != 0 && nLen == nHostLen && memcmp(p, abHost, nLen) == 0) {
                    bMatch = true;
                    break;
                }
                char sz[INET6_ADDRSTRLEN] = {};
                if ((nLen == 4 || nLen == 16) &&
                    inet_ntop(nLen == 4 ? AF_INET : AF_INET6, p, sz, sizeof sz) != nullptr)
                    bMatch = matches(COrvStringA(sz));
                continue;
            }
            if (pName->type != GEN_DNS)
                continue;
            bHaveDnsName = true;
            const ASN1_IA5STRING* pStr = pName->d.dNSName;
            const int nLen = ASN1_STRING_length(pStr);
            const char* p = reinterpret_cast<const char*>(ASN1_STRING_get0_data(pStr));
            // A name with an embedded NUL is a forgery and never matches.
            if (nLen <= 0 || memchr(p, 0, nLen) != nullptr)
                continue;
            bMatch = matches(COrvStringA(p, nLen));
        }
        GENERAL_NAMES_free(pAlt);
    }
    // The common name counts only when the certificate has no DNS name at all: a certificate
    // that lists its DNS names vouches for those alone.
    if (!bMatch && !bHaveDnsName) {
        char szCn[257] = {};
        if (X509_NAME_get_text_by_NID(X509_get_subject_name(pCert), NID_commonName, szCn,
                                      sizeof szCn) > 0) {
            const COrvStringA sSans = sJoined;
            sJoined.Empty();
            bMatch = matches(COrvStringA(szCn));
            if (!sSans.IsEmpty()) {
                sJoined += ",";
                sJoined += sSans;
            }
        }
    }
    X509_free(pCert);
    if (bMatch)
        return true;
    if (!sPattern.IsEmpty())
        strError.Format("Name(s) in certificate '%s' didn't match custom pattern '%s'",
                        sJoined.GetString(), sPattern.GetString());
    else
        strError.Format("Name(s) in certificate '%s' didn't match server name '%s'",
                        sJoined.GetString(), pszHost);
    return false;
}

bool OrvSslInstallLocks() {
    ORV_ASSERT_TEXT(!g_bLocksInstalled, "ssl_locks == NULL");
    // OpenSSL 3 makes itself thread-safe; there is nothing to install.
    g_bLocksInstalled = true;
    ORV_ASSERT_TEXT(g_bLocksInstalled, "ssl_locks != NULL");
    return true;
}

void OrvSslRemoveLocks() {
    SOFTASSERT(g_bLocksInstalled);
    g_bLocksInstalled = false;
}

int OrvSslSessionCacheCount() {
    TvAutoCriticalSection guard(g_cacheLock);
    int n = 0;
    for (const CacheEntry& e : g_cache)
        n += e.pSession != nullptr ? 1 : 0;
    return n;
}

bool OrvSslSessionCacheHas(const char* pszKey) {
    TvAutoCriticalSection guard(g_cacheLock);
    for (const CacheEntry& e : g_cache) {
        if (e.pSession != nullptr && e.strKey.Compare(pszKey) == 0)
            return true;
    }
    return false;
}

void OrvSslSessionCacheClear() {
    TvAutoCriticalSection guard(g_cacheLock);
    for (CacheEntry& e : g_cache)
        CacheRemoveLocked(e);
}

// ---------------------------------------------------------------------------------------------
// The seam used by COrvSocket

int OrvSslIoRead(void* pSsl, void* pBuf, int nLen, int& nKind, int& nSslError) {
    ERR_clear_error();
    errno = 0;
    const int r = SSL_read(static_cast<SSL*>(pSsl), pBuf, nLen);
    const int nErrno = errno;
    nSslError = r > 0 ? SSL_ERROR_NONE : SSL_get_error(static_cast<SSL*>(pSsl), r);
    nKind = KindOf(nSslError);
    errno = nErrno;
    return r;
}

int OrvSslIoWrite(void* pSsl, const void* pBuf, int nLen, int& nKind, int& nSslError) {
    ERR_clear_error();
    errno = 0;
    const int r = SSL_write(static_cast<SSL*>(pSsl), pBuf, nLen);
    const int nErrno = errno;
    nSslError = r > 0 ? SSL_ERROR_NONE : SSL_get_error(static_cast<SSL*>(pSsl), r);
    nKind = KindOf(nSslError);
    errno = nErrno;
    return r;
}

COrvStringA OrvSslIoErrorText() {
    return ErrorQueueText();
}

void OrvSslIoShutdownAndFree(void* pSslIn, COrvStringA& strFailure) {
    SSL* pSsl = static_cast<SSL*>(pSslIn);
    if (pSsl == nullptr)
        return;
    ERR_clear_error();
    if (SSL_shutdown(pSsl) < 0) {
        strFailure = ErrorQueueText();
        if (strFailure.IsEmpty())
            strFailure.Format("SSL_shutdown error %d", SSL_get_error(pSsl, -1));
    }
    SSL_free(pSsl);
}

void OrvSslIoFree(void* pSsl, bool bKeepSession) {
    if (pSsl == nullptr)
        return;
    // Freeing a connection that never sent close_notify makes OpenSSL mark its session as not
    // resumable. A healthy connection closed at once keeps its session for the cache; one that
    // failed loses it.
    if (bKeepSession)
        SSL_set_shutdown(static_cast<SSL*>(pSsl), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    SSL_free(static_cast<SSL*>(pSsl));
    ERR_clear_error();
}

int OrvSslIoPending(void* pSsl) {
    return pSsl != nullptr ? SSL_pending(static_cast<SSL*>(pSsl)) : 0;
}

bool OrvSslIoSessionReused(void* pSsl) {
    return pSsl != nullptr && SSL_session_reused(static_cast<SSL*>(pSsl)) == 1;
}

namespace {

// The failure of a client handshake with host:port, named by its first cause: the reason of the
// first OpenSSL error (with a hint where one reason has a common cause), the system's text for a
// failed system call (its errno kept), or the time-out.
bool HandshakeFailed(const char* pszHost, int nPort, int nSslError, COrvError& err) {
    const int nErrno = errno;
    COrvStringA sWhere;
    sWhere.Format("TLS handshake with %s:%d: ", pszHost, nPort);
    const unsigned long nFirst = ERR_get_error();
    ERR_clear_error();
    if (nFirst != 0) {
        const char* pszReason = ERR_reason_error_string(nFirst);
        if (pszReason == nullptr) {
            char sz[256];
            ERR_error_string_n(nFirst, sz, sizeof sz);
            return err.Set(enNetConnection, sWhere + sz);
        }
        COrvStringA s = sWhere + pszReason;
        if (ERR_GET_REASON(nFirst) == SSL_R_WRONG_VERSION_NUMBER ||
            ERR_GET_REASON(nFirst) == SSL_R_PACKET_LENGTH_TOO_LONG)
            s += " (the server answered in plain text?)";
        return err.Set(enNetConnection, s);
    }
    if (nSslError == SSL_ERROR_SYSCALL && nErrno != 0)
        return err.SetErrnoText(nErrno, sWhere + OrvSocketErrnoText(nErrno));
    if (nSslError == SSL_ERROR_WANT_READ || nSslError == SSL_ERROR_WANT_WRITE)
        return err.Set(enNetConnection, sWhere + "timeout");
    return err.Set(enNetConnection, sWhere + "the server closed the connection");
}

// The trust of one connection: the context's roots and the certificates of pszCaFile, in a store
// of the connection's own, so that the file widens no other connection's trust.
bool SetConnectionTrust(SSL* pSsl, SSL_CTX* pCtx, const char* pszCaFile, COrvError& err) {
    X509_STORE* pStore = X509_STORE_new();
    if (pStore == nullptr) {
        ERR_clear_error();
        return err.Set(enNetNoMemory, "SSL: Not enough memory for the trust store");
    }
    {
        TvAutoCriticalSection guard(g_ctxLock);
        STACK_OF(X509)* pRoots = X509_STORE_get1_all_certs(SSL_CTX_get_cert_store(pCtx));
        for (int i = 0; pRoots != nullptr && i < sk_X509_num(pRoots); ++i)
            X509_STORE_add_cert(pStore, sk_X509_value(pRoots, i));
        sk_X509_pop_free(pRoots, X509_free);
    }
    COrvError errAdd;
    const bool bOk = AddPemFileToStore(pStore, pszCaFile, errAdd) > 0 &&
                     SSL_set1_verify_cert_store(pSsl, pStore) == 1;
    X509_STORE_free(pStore);
    ERR_clear_error();
    if (!bOk)
        return errAdd.Code() != enNetOk
                   ? err.Pass(errAdd)
                   : err.Set(enNetNoMemory, "SSL: Not enough memory for the trust store");
    return true;
}

}  // namespace

namespace {

// The BIO of a TLS connection over a channel of the caller's: reads and writes go through its
// functions, which block. They never ask to be retried, so the handshake and the reads run to
// their end without waiting on a descriptor.
COrvSslIoChannel* ChannelOf(BIO* pBio) {
    return static_cast<COrvSslIoChannel*>(BIO_get_data(pBio));
}

int ChannelWrite(BIO* pBio, const char* pData, int nLen) {
    BIO_clear_retry_flags(pBio);
    COrvSslIoChannel* pCh = ChannelOf(pBio);
    return pCh->m_pfnWrite(pCh->m_pCtx, pData, nLen);
}

int ChannelRead(BIO* pBio, char* pBuf, int nMax) {
    BIO_clear_retry_flags(pBio);
    COrvSslIoChannel* pCh = ChannelOf(pBio);
    return pCh->m_pfnRead(pCh->m_pCtx, pBuf, nMax);
}

long ChannelCtrl(BIO* pBio, int nCmd, long /*nArg*/, void* /*pArg*/) {
    if (nCmd == BIO_CTRL_FLUSH) {
        COrvSslIoChannel* pCh = ChannelOf(pBio);
        return pCh->m_pfnFlush(pCh->m_pCtx) ? 1 : 0;
    }
    return 0;
}

int ChannelCreate(BIO* pBio) {
    BIO_set_init(pBio, 1);
    return 1;
}

BIO_METHOD* ChannelMethod() {
    static BIO_METHOD* const pMethod = [] {
        BIO_METHOD* p = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "orv channel");
        if (p != nullptr) {
            BIO_meth_set_write(p, ChannelWrite);
            BIO_meth_set_read(p, ChannelRead);
            BIO_meth_set_ctrl(p, ChannelCtrl);
            BIO_meth_set_create(p, ChannelCreate);
        }
        return p;
    }();
    return pMethod;
}

}  // namespace

bool OrvSslIoStartClient(int fd, const char* pszHost, int nPort, const char* pszCertPem,
                         const char* pszCaFile, unsigned nOptions, bool bTrustAny,
                         int nTimeoutSeconds, void* pExplicitSession, void*& pSslOut,
                         COrvError& err) {
    return OrvSslIoStartClientOn(fd, nullptr, pszHost, nPort, pszCertPem, pszCaFile, nOptions,
                                 bTrustAny, nTimeoutSeconds, pExplicitSession, pSslOut, err);
}

bool OrvSslIoStartClientOver(COrvSslIoChannel* pChannel, const char* pszHost, int nPort,
                             const char* pszCertPem, const char* pszCaFile, unsigned nOptions,
                             bool bTrustAny, void*& pSslOut, COrvError& err) {
    return OrvSslIoStartClientOn(-1, pChannel, pszHost, nPort, pszCertPem, pszCaFile, nOptions,
                                 bTrustAny, 0, nullptr, pSslOut, err);
}

bool OrvSslIoStartClientOn(int fd, COrvSslIoChannel* pChannel, const char* pszHost, int nPort,
                           const char* pszCertPem, const char* pszCaFile, unsigned nOptions,
                           bool bTrustAny, int nTimeoutSeconds, void* pExplicitSession,
                           void*& pSslOut, COrvError& err) {
    pSslOut = nullptr;
    SSL_CTX* pCtx = EnsureContext(err);
    if (pCtx == nullptr)
        return false;
    ERR_clear_error();
    SSL* pSsl = SSL_new(pCtx);
    if (pSsl == nullptr) {
        ERR_clear_error();
        return err.Set(enNetBadRequest, "cannot start SSL session");
    }
    // Freed on every failure below.
    struct Holder {
        SSL* p;
        ~Holder() {
            if (p != nullptr)
                SSL_free(p);
        }
    } holder{pSsl};
    SSL_set_mode(pSsl, SSL_MODE_AUTO_RETRY);
    if (pszCaFile != nullptr && *pszCaFile != 0 && !bTrustAny &&
        !SetConnectionTrust(pSsl, pCtx, pszCaFile, err))
        return false;
    if (pszCertPem != nullptr && *pszCertPem != 0) {
        // The key is read on its own so that one that does not belong to the certificate is told
        // apart from a file that cannot be read (OpenSSL refuses such a key when it is set).
        EVP_PKEY* pKey = nullptr;
        if (BIO* pFile = BIO_new_file(pszCertPem, "r"); pFile != nullptr) {
            pKey = PEM_read_bio_PrivateKey(pFile, nullptr, nullptr, nullptr);
            BIO_free(pFile);
        }
        if (SSL_use_certificate_chain_file(pSsl, pszCertPem) != 1 || pKey == nullptr) {
            EVP_PKEY_free(pKey);
            COrvStringA sWhy = ErrorQueueText();
            return err.SetFormat(enNetAuth, "Cannot load client certificate '%s': %s", pszCertPem,
                                 sWhy.GetString());
        }
        const bool bPair = X509_check_private_key(SSL_get_certificate(pSsl), pKey) == 1 &&
                           SSL_use_PrivateKey(pSsl, pKey) == 1;
        EVP_PKEY_free(pKey);
        if (!bPair || SSL_check_private_key(pSsl) != 1) {
            ERR_clear_error();
            return err.Set(enNetAuth, "server private key check failed");
        }
    }
    BIO* pBio = nullptr;
    if (pChannel != nullptr) {
        BIO_METHOD* pMethod = ChannelMethod();
        pBio = pMethod != nullptr ? BIO_new(pMethod) : nullptr;
        if (pBio != nullptr)
            BIO_set_data(pBio, pChannel);
    } else {
        pBio = BIO_new_socket(fd, BIO_NOCLOSE);
    }
    if (pBio == nullptr) {
        ERR_clear_error();
        return err.Set(enNetBadRequest, "cannot init BIO for socket");
    }
    SSL_set_bio(pSsl, pBio, pBio);
    TraceIfOn(pSsl, pBio, fd);
    SSL_set_connect_state(pSsl);
    if (pExplicitSession != nullptr &&
        SSL_set_session(pSsl, static_cast<SSL_SESSION*>(pExplicitSession)) != 1) {
        ERR_clear_error();
        return err.Set(enNetConnection, "explicit session reuse failed");
    }
    uint64_t nOp = 0;
    if (nOptions & kOrvTlsNoSsl3)
        nOp |= SSL_OP_NO_SSLv3;
    if (nOptions & kOrvTlsNoTls10)
        nOp |= SSL_OP_NO_TLSv1;
    if (nOptions & kOrvTlsNoTls11)
        nOp |= SSL_OP_NO_TLSv1_1;
    if (nOptions & kOrvTlsNoTls12)
        nOp |= SSL_OP_NO_TLSv1_2;
    SSL_set_options(pSsl, nOp);
    // Entries this OpenSSL no longer offers are simply left out; a list that yields no cipher
    // at all is a programming error.
    if (nOptions & kOrvTlsCipherListA) {
        const int r = SSL_set_cipher_list(pSsl, kCipherListA);
        ORV_ASSERT_TEXT(r > 0, "cipher_set_result > 0");
    }
    if (nOptions & kOrvTlsCipherListB) {
        const int r = SSL_set_cipher_list(pSsl, CipherListB());
        ORV_ASSERT_TEXT(r > 0, "cipher_set_result > 0");
    }
    if (nOptions & kOrvTlsCipherListC) {
        const int r = SSL_set_cipher_list(pSsl, CipherListC());
        ORV_ASSERT_TEXT(r > 0, "cipher_set_result > 0");
    }
    ERR_clear_error();
    // The name the server knows itself by: an IPv6 literal without the brackets of a URL, a
    // fully qualified name without its final dot (neither is a valid server name).
    COrvStringA sHost = pszHost != nullptr ? pszHost : "";
    if (sHost.GetLength() > 2 && sHost[0] == '[' && sHost[sHost.GetLength() - 1] == ']')
        sHost = sHost.Mid(1, sHost.GetLength() - 2);
    else if (sHost.GetLength() > 1 && sHost[sHost.GetLength() - 1] == '.')
        sHost.Truncate(sHost.GetLength() - 1);
    if ((nOptions & kOrvTlsSni) && !sHost.IsEmpty() && !IsNumericAddress(sHost))
        SSL_set_tlsext_host_name(pSsl, sHost.GetString());
    const bool bCache = !(nOptions & kOrvTlsNoSessionCache) && pExplicitSession == nullptr;
    if (bCache) {
        const COrvStringA sKey = SessionCacheKey(pSsl, sHost, nPort, bTrustAny, pszCaFile);
        char* pszKey = strdup(sKey.GetString());
        if (pszKey != nullptr && SSL_set_ex_data(pSsl, g_nKeyIndex, pszKey) != 1)
            free(pszKey);
        CacheApply(sKey, pSsl);
    }
    const int64_t nDeadline =
        OrvSocketNowMs() + int64_t(nTimeoutSeconds > 0 ? nTimeoutSeconds : 90) * 1000;
    int nErr = 0;
    if (const int r = DriveHandshake(pSsl, fd, nDeadline, SSL_connect, nErr); r != 1) {
        if (nErr == SSL_ERROR_WANT_X509_LOOKUP) {
            ERR_clear_error();
            return err.Set(enNetAuth, "Client certificate is required for this connection");
        }
        return HandshakeFailed(sHost, nPort, nErr, err);
    }
    if (pExplicitSession != nullptr && !SSL_session_reused(pSsl))
        return err.Set(enNetConnection, "explicit session reuse failed");
    if (!bTrustAny) {
        COrvStringA sWhy;
        if (!OrvSslVerifyPeer(pSsl, sHost, sWhy))
            return err.Set(enNetCertificate, sWhy);
    }
    pSslOut = pSsl;
    holder.p = nullptr;
    return true;
}

bool OrvSslIoAccept(int fd, COrvSslServerContext& ctx, int nTimeoutSeconds, void*& pSslOut,
                    COrvError& err) {
    pSslOut = nullptr;
    if (!ctx.IsLoaded())
        return err.Set(enNetBadRequest, "SSL context is not initialized yet");
    ERR_clear_error();
    SSL* pSsl = SSL_new(static_cast<SSL_CTX*>(ctx.Handle()));
    if (pSsl == nullptr) {
        ERR_clear_error();
        return err.Set(enNetBadRequest, "cannot start SSL session");
    }
    BIO* pBio = BIO_new_socket(fd, BIO_NOCLOSE);
    if (pBio == nullptr) {
        SSL_free(pSsl);
        ERR_clear_error();
        return err.Set(enNetBadRequest, "cannot init BIO for socket");
    }
    SSL_set_bio(pSsl, pBio, pBio);
    TraceIfOn(pSsl, pBio, fd);
    SSL_set_mode(pSsl, SSL_MODE_AUTO_RETRY);
    SSL_set_accept_state(pSsl);
    const int64_t nDeadline =
        OrvSocketNowMs() + int64_t(nTimeoutSeconds > 0 ? nTimeoutSeconds : 90) * 1000;
    int nErr = 0;
    if (const int r = DriveHandshake(pSsl, fd, nDeadline, SSL_accept, nErr); r != 1) {
        COrvStringA sWhy = ErrorQueueText();
        SSL_free(pSsl);
        return err.SetFormat(enNetConnection, "SSL accept error: bc=%d err=%d t=%s", r, nErr,
                             sWhy.GetString());
    }
    pSslOut = pSsl;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Server context

COrvSslServerContext::~COrvSslServerContext() {
    if (m_pCtx != nullptr)
        SSL_CTX_free(static_cast<SSL_CTX*>(m_pCtx));
}

bool COrvSslServerContext::Load(const char* pszCertFile, const char* pszKeyFile,
                                const char* pszChainFile, const char* pszCurve, COrvError& err) {
    struct stat st {};
    if (pszCertFile == nullptr || stat(pszCertFile, &st) != 0)
        return err.SetFormat(enNetNotFound, "Server certificate file not found: %s",
                             pszCertFile != nullptr ? pszCertFile : "");
    if (pszKeyFile == nullptr || stat(pszKeyFile, &st) != 0)
        return err.SetFormat(enNetNotFound, "Server key file not found: %s",
                             pszKeyFile != nullptr ? pszKeyFile : "");
    ERR_clear_error();
    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    if (pCtx == nullptr) {
        ERR_clear_error();
        return err.Set(enNetNoMemory, "SSL: Not enough memory for context");
    }
    struct Holder {
        SSL_CTX* p;
        ~Holder() {
            if (p != nullptr)
                SSL_CTX_free(p);
        }
    } holder{pCtx};
    if (SSL_CTX_use_certificate_chain_file(pCtx, pszCertFile) != 1) {
        COrvStringA sWhy = ErrorQueueText();
        return err.SetFormat(enNetBadRequest, "Cannot load certificate chain: %s",
                             sWhy.GetString());
    }
    if (pszChainFile != nullptr && *pszChainFile != 0) {
        BIO* pBio = BIO_new_file(pszChainFile, "r");
        if (pBio == nullptr) {
            COrvStringA sWhy = ErrorQueueText();
            return err.SetFormat(enNetBadRequest, "Reading chain file for chain: %s",
                                 sWhy.GetString());
        }
        int nAdded = 0;
        for (X509* pCert;
             (pCert = PEM_read_bio_X509(pBio, nullptr, nullptr, nullptr)) != nullptr;) {
            if (SSL_CTX_add_extra_chain_cert(pCtx, pCert) != 1) {
                X509_free(pCert);
                break;
            }
            ++nAdded;
        }
        BIO_free(pBio);
        ERR_clear_error();
        if (nAdded == 0)
            return err.SetFormat(enNetBadRequest, "Reading chain file for chain: %s", pszChainFile);
    }
    if (SSL_CTX_use_PrivateKey_file(pCtx, pszKeyFile, SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(pCtx) != 1) {
        COrvStringA sWhy = ErrorQueueText();
        return err.SetFormat(enNetBadRequest, "Cannot load certificate/private key pair: %s",
                             sWhy.GetString());
    }
    const char* pszName = pszCurve != nullptr && *pszCurve != 0 ? pszCurve : "prime256v1";
    int nNid = OBJ_sn2nid(pszName);
    if (nNid == NID_undef)
        nNid = EC_curve_nist2nid(pszName);
    if (nNid == NID_undef)
        return err.SetFormat(enNetBadRequest, "Failed to look up elliptic curve '%s'", pszName);
    // The named curve first, then the library defaults, so that clients without it still meet.
    int anGroups[4] = {nNid};
    int nGroups = 1;
    for (int nExtra : {NID_X25519, NID_X9_62_prime256v1, NID_secp384r1}) {
        if (nExtra != nNid)
            anGroups[nGroups++] = nExtra;
    }
    if (SSL_CTX_set1_groups(pCtx, anGroups, nGroups) != 1) {
        COrvStringA sWhy = ErrorQueueText();
        return err.SetFormat(enNetBadRequest, "Failed to set ECDH support: %s", sWhy.GetString());
    }
    static const unsigned char kSid[] = "orv-ssl-server";
    SSL_CTX_set_session_id_context(pCtx, kSid, sizeof kSid - 1);
    if (m_pCtx != nullptr)
        SSL_CTX_free(static_cast<SSL_CTX*>(m_pCtx));
    m_pCtx = pCtx;
    holder.p = nullptr;
    return true;
}

bool COrvSslServerContext::SetCipherList(const char* pszList, COrvError& err) {
    if (m_pCtx == nullptr)
        return err.Set(enNetBadRequest, "SSL context is not initialized yet");
    if (SSL_CTX_set_cipher_list(static_cast<SSL_CTX*>(m_pCtx), pszList) != 1) {
        COrvStringA sWhy = ErrorQueueText();
        return err.SetFormat(enNetBadRequest, "Cannot set cipher list '%s': %s", pszList,
                             sWhy.GetString());
    }
    return true;
}

void OrvSslIoSessionUpRef(void* pSession) {
    if (pSession != nullptr)
        SSL_SESSION_up_ref(static_cast<SSL_SESSION*>(pSession));
}

void* OrvSslGetSession(void* pSsl) {
    return pSsl != nullptr ? SSL_get1_session(static_cast<SSL*>(pSsl)) : nullptr;
}

void OrvSslFreeSession(void* pSession) {
    if (pSession != nullptr)
        SSL_SESSION_free(static_cast<SSL_SESSION*>(pSession));
}

bool OrvSslIoCacheCopyFrom(void* pSsl, const char* pszKey) {
    SSL_SESSION* p = SSL_get1_session(static_cast<SSL*>(pSsl));
    if (p == nullptr)
        return false;
    CachePut(pszKey, p);
    return true;
}
