// What one HTTP connection is configured with, and the interface of the engines that carry its
// transactions (the library's socket engine, the platform engine over libcurl). The engines
// include this header alone, so that neither depends on the connection layer that chooses them.
#pragma once

#include <cstdint>
#include <memory>

#include "orv-connect-settings.h"
#include "orv-error.h"
#include "orv-http-txn.h"
#include "orv-string.h"

class IOrvByteSink;
class IOrvTransferObserver;

// What a connection is configured with. Plain data; copied into the connection.
struct COrvHttpConnConfig {
    COrvStringA m_sHost;  // the configured endpoint
    int m_nPort = 0;      // 0: 80 or 443 by m_bHttps
    bool m_bHttps = false;
    // Server credentials; sent only to the configured origin (scheme, host, port).
    COrvStringA m_sUserId;
    COrvStringA m_sPassword;
    // Take the effective proxy when connecting (unless the host is local).
    bool m_bUseProxy = true;
    // Proxy credentials; replaced by the effective proxy's when that is taken.
    COrvStringA m_sProxyUserId;
    COrvStringA m_sProxyPassword;
    IOrvTransferObserver* m_pObserver = nullptr;  // not owned
    // false: the library's socket engine; true: the platform engine (libcurl).
    bool m_bUsePlatformEngine = false;
    bool m_bCookies = false;
    // Time-outs (seconds: connect, the longest silence while sending or receiving), connect
    // attempts, IPv6, and the TLS settings of this connection alone (trust-any, a CA file
    // trusted beside the process's roots, a client certificate). Both engines read every field
    // with the same meaning; the platform engine keeps its own library's TLS versions and
    // ciphers (the options word) and makes one connect attempt.
    COrvConnectSettings m_net{.m_nConnectTimeout = 90};
    // Where a 2xx response body goes when the txn's receive mode is enHttpRecvStream: written
    // as it arrives, without the memory limit. Not owned. Without it receive mode 2 fails.
    IOrvByteSink* m_pRecvSink = nullptr;
};

// An engine that carries the transactions of one connection. One thread at a time.
class IOrvHttpEngine {
public:
    virtual ~IOrvHttpEngine() = default;
    // The whole exchange with its retries: sends txn's request, reads the response into txn and
    // acts on the status (credentials, redirects, errors). True on success; false with err
    // filled. With body mode enHttpBodyStream it returns true once the request header is sent;
    // the caller then calls WriteBody and FinishBody. Blocks.
    [[nodiscard]] virtual bool SendReceive(COrvHttpTxn& txn, COrvError& err) = 0;
    // Writes bytes of a streamed (mode 2) body. False with err filled when the transfer failed.
    [[nodiscard]] virtual bool WriteBody(COrvHttpTxn& txn, const void* pData, int64_t nLen,
                                         COrvError& err) = 0;
    // Ends a streamed body and reads and interprets the response, as SendReceive does.
    [[nodiscard]] virtual bool FinishBody(COrvHttpTxn& txn, COrvError& err) = 0;
    // Closes the transport; the next exchange connects again. Never fails.
    virtual void Close() = 0;
    // Transport connections opened so far (a kept-alive connection counts once).
    virtual int64_t ConnectionsOpened() const = 0;
};
