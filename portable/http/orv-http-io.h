// The byte streams the HTTP wire code reads from and writes to.
//
// The wire layer never talks to sockets itself. It reads through COrvHttpReader, a buffered reader
// over an IOrvByteSource (one "read up to N bytes" call), and writes through an IOrvByteSink (one
// "write all of these bytes" call and a flush). A socket, a TLS channel, a socketpair or a piece
// of memory becomes a transport of the HTTP layer by implementing these two small interfaces.
//
// Threads: one reader, source or sink belongs to one thread at a time.
#pragma once

#include <cstdint>

#include "orv-error.h"
#include "orv-string.h"
#include "orv-transport.h"

class IOrvTransferObserver;

// Where bytes come from.
class IOrvByteSource {
public:
    // Reads at most nMax (> 0) bytes into pBuf. Returns the count read (> 0), 0 at the end of the
    // stream (the peer closed), or -1 with err filled (a transport failure; enNetConnection for a
    // broken connection). May block until at least one byte is there.
    virtual int ReadSome(void* pBuf, int nMax, COrvError& err) = 0;

protected:
    ~IOrvByteSource() = default;
};

// Where bytes go.
class IOrvByteSink {
public:
    // Writes all nLen bytes or fails (false, err filled). One call is one write of the transport:
    // a header given whole goes out whole. Blocks until written.
    [[nodiscard]] virtual bool WriteAll(const void* pData, int64_t nLen, COrvError& err) = 0;
    // Pushes out anything the sink holds back. The default holds nothing back.
    [[nodiscard]] virtual bool Flush(COrvError& err) {
        (void)err;
        return true;
    }

protected:
    ~IOrvByteSink() = default;
};

// A buffered reader over a source: lines with a length limit, exact counts, peeking.
//
// End of stream is not an error of the reader: the calls report it by their result (ReadLine
// returns kEof, Read returns 0) so that each caller can give its own text. Before every refill
// of its buffer the reader asks the observer's abort check (when an observer is set); a stop
// fails the read with the observer's code and text.
class COrvHttpReader {
public:
    // Result of ReadLine besides a line.
    enum : int { kLine = 1, kEof = 0, kFail = -1 };

    // pSource must outlive the reader. nBufferSize bytes are allocated on the first read.
    explicit COrvHttpReader(IOrvByteSource* pSource, int nBufferSize = 65536);
    ~COrvHttpReader();
    COrvHttpReader(const COrvHttpReader&) = delete;
    COrvHttpReader& operator=(const COrvHttpReader&) = delete;

    // The observer whose abort check runs before each refill (null: none). Not owned.
    void SetObserver(IOrvTransferObserver* pObserver) { m_pObserver = pObserver; }

    // Reads one line ending at LF into sLine without its line end. A CR must be followed by LF
    // ("No LF after CR at the end of line of HTTP header", enNetServer); a CR on its own inside
    // the line is the same failure. A line longer than nMaxChars characters fails with
    // "vHttpRecvHeader: HTTP header line too long at %d chars" (enNetServer) before more memory
    // is taken. Returns kLine, kEof when the stream ended (*pnPartial, when given, is the number
    // of bytes of the unfinished line; sLine holds them), or kFail with err filled.
    int ReadLine(COrvStringA& sLine, int nMaxChars, COrvError& err, int* pnPartial = nullptr);

    // Reads up to nMax bytes: buffered bytes first, else one read of the source. Returns the
    // count (> 0), 0 at the end of the stream, -1 with err filled.
    int Read(void* pBuf, int nMax, COrvError& err);
    // Reads exactly nLen bytes. Returns nLen, or fewer when the stream ended first (those bytes
    // are in pBuf), or -1 with err filled.
    int64_t ReadFull(void* pBuf, int64_t nLen, COrvError& err);
    // Makes at least one byte available without consuming it. Returns the byte (0..255), -2 at
    // the end of the stream, -1 with err filled.
    int Peek(COrvError& err);
    // Bytes already buffered (readable without blocking).
    int Buffered() const { return m_nEnd - m_nPos; }
    // Total bytes consumed by the caller since construction.
    int64_t Consumed() const { return m_nConsumed; }
    // Forgets buffered bytes (after the transport was closed or replaced).
    void Reset() { m_nPos = m_nEnd = 0; }

private:
    // Fills the empty buffer with one read. 1: bytes there; 0: end of stream; -1: failed.
    int Fill(COrvError& err);

    IOrvByteSource* m_pSource;
    IOrvTransferObserver* m_pObserver = nullptr;
    char* m_pBuf = nullptr;
    int m_nSize;
    int m_nPos = 0;
    int m_nEnd = 0;
    int64_t m_nConsumed = 0;
};

// A source over bytes in memory, given out at most nSlice bytes per read (to exercise the
// callers' handling of short reads). The bytes are copied.
class COrvMemorySource : public IOrvByteSource {
public:
    explicit COrvMemorySource(const void* pData = nullptr, int nLen = 0, int nSlice = 1 << 30);
    explicit COrvMemorySource(const COrvStringA& s, int nSlice = 1 << 30)
        : COrvMemorySource(s.GetString(), s.GetLength(), nSlice) {}
    int ReadSome(void* pBuf, int nMax, COrvError& err) override;
    // Bytes not yet read.
    int Remaining() const { return m_sData.GetLength() - m_nPos; }

private:
    COrvStringA m_sData;
    int m_nPos = 0;
    int m_nSlice;
};

// A sink that collects everything written, and counts the writes.
class COrvMemorySink : public IOrvByteSink {
public:
    [[nodiscard]] bool WriteAll(const void* pData, int64_t nLen, COrvError& err) override;
    [[nodiscard]] bool Flush(COrvError& err) override;
    const COrvStringA& Data() const { return m_sData; }
    int Writes() const { return m_nWrites; }
    int Flushes() const { return m_nFlushes; }
    void Clear();

private:
    COrvStringA m_sData;
    int m_nWrites = 0;
    int m_nFlushes = 0;
};

// Source and sink over a connected stream descriptor (a socketpair or an accepted socket),
// through the library's system-call table (send, recv; EINTR retried). Does not own the
// descriptor. Failures: "recv failed: " / "send failed: " followed by the system's text, with the
// code of OrvResultFromErrno (a reset connection is enNetConnection).
class COrvFdStream : public IOrvByteSource, public IOrvByteSink {
public:
    explicit COrvFdStream(int fd) : m_fd(fd) {}
    int ReadSome(void* pBuf, int nMax, COrvError& err) override;
    [[nodiscard]] bool WriteAll(const void* pData, int64_t nLen, COrvError& err) override;
    int Writes() const { return m_nWrites; }

private:
    int m_fd;
    int m_nWrites = 0;
};

// A transport (the top step of a connection) as the byte source and sink of the wire layer.
// Reads take one receive of the transport; writes go into its send buffer, which Flush pushes
// out. Failures keep the transport's text and code. Not owning; the transport may be replaced.
class COrvTransportByteStream : public IOrvByteSource, public IOrvByteSink {
public:
    explicit COrvTransportByteStream(IOrvTransport* pTransport = nullptr)
        : m_pTransport(pTransport) {}
    void SetTransport(IOrvTransport* pTransport) { m_pTransport = pTransport; }
    int ReadSome(void* pBuf, int nMax, COrvError& err) override;
    [[nodiscard]] bool WriteAll(const void* pData, int64_t nLen, COrvError& err) override;
    [[nodiscard]] bool Flush(COrvError& err) override;

private:
    IOrvTransport* m_pTransport;
};
