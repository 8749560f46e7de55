// IOrvTransport: one step of an outgoing connection (TCP, a SOCKS5 or CONNECT proxy step, TLS).
//
// Steps stack: each one but the lowest owns the step below it and speaks through it, so a
// connection is built once, bottom up, for its route (TCP; TCP -> SOCKS5; TCP -> CONNECT; any of
// them -> TLS), and its user talks only to the top. Connect runs the lowest step's connect first
// and then each step's own exchange on top of it. A step that fails puts its own context in front
// of the lower step's error once ("TLS handshake with host:443: ...") and keeps that error's code
// and system error number; the steps above pass it on unchanged.
//
// Threads: a transport belongs to one thread; only Shutdown may be called from another.
#pragma once

#include <cstdint>

#include "orv-error.h"
#include "orv-string.h"

class IOrvTransferObserver;

class IOrvTransport {
public:
    virtual ~IOrvTransport() = default;

    // Connects this step and the steps below it. nDeadlineMs is a time of OrvSocketNowMs by which
    // the whole connect must be done (0: only the steps' own time-outs); pObserver's abort check
    // runs between the steps (null: none). On failure the transport is closed. Blocks.
    [[nodiscard]] virtual bool Connect(int64_t nDeadlineMs, IOrvTransferObserver* pObserver,
                                       COrvError& err) = 0;
    // Sends all nLen (> 0) bytes; they may wait in a buffer until Flush. On failure the
    // transport is closed. Blocks up to the send time-out.
    [[nodiscard]] virtual bool Send(const void* pData, int nLen, COrvError& err) = 0;
    // Pushes out what waits in a buffer. On failure the transport is closed.
    [[nodiscard]] virtual bool Flush(COrvError& err) = 0;
    // Receives between 1 and nMax bytes; nGot 0 means the end of the stream. On failure the
    // transport is closed. Blocks up to the receive time-out.
    [[nodiscard]] virtual bool Recv(void* pBuf, int nMax, int& nGot, COrvError& err) = 0;
    // Wakes a call blocked in this transport from another thread: the call and every later one
    // fail. Any thread.
    virtual void Shutdown() = 0;
    // Closes every step (bHard: at once; else each step ends its part politely). Never fails.
    virtual void Close(bool bHard) = 0;
    // The route as text, top step first: "TLS to example.com:443 over CONNECT to example.com:443
    // over TCP to 127.0.0.1:3128".
    virtual COrvStringA Describe() const = 0;

    virtual bool IsOpen() const = 0;
    // Whether received bytes wait that nobody asked for: bytes held by any step, or with
    // bAskSystem, on a plain connection, anything the system has for reading (bytes or the
    // peer's close).
    virtual bool HasPendingInput(bool bAskSystem) = 0;
    // The send and receive time-outs in seconds (0: 90) from now on.
    [[nodiscard]] virtual bool SetTimeouts(int nSendTimeout, int nRecvTimeout, COrvError& err) = 0;
};

// Receives exactly nLen bytes; the end of the stream before that fails with pszEof
// (enNetConnection).
[[nodiscard]] bool OrvTransportRecvExact(IOrvTransport& t, void* pBuf, int nLen, const char* pszEof,
                                         COrvError& err);
// Sends all bytes of s and flushes.
[[nodiscard]] bool OrvTransportSendFlush(IOrvTransport& t, const void* pData, int nLen,
                                         COrvError& err);
// Fails with "<pszStep>: connect time-out" (enNetConnection) when nDeadlineMs (not 0) has passed.
[[nodiscard]] bool OrvTransportBeforeDeadline(int64_t nDeadlineMs, const char* pszStep,
                                              COrvError& err);
