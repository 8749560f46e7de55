// Response bodies: the incremental body reader (known length, until close, chunked), reading a
// body into memory with its limit, the x-orv-content-md5 / -crc32 checks and gzip inflation.
#pragma once

#include <cstdint>

#include "orv-error.h"
#include "orv-http-io.h"
#include "orv-http-txn.h"
#include "orv-string.h"

// Reads one body from a COrvHttpReader in pieces, whatever its framing. Chunked bodies: each
// size line holds hexadecimal digits (either case) followed by nothing but blanks, so a chunk
// extension is refused ("bad chunk length: " + line); after the chunk's bytes comes a line that
// is empty after trimming ("bad chunk closing: " + line); a size of 0 followed by its empty line
// ends the body, so trailer fields are refused as a bad closing; all enNetServer. End of stream
// inside is "socket closed while receiving chunked content", inside a body of known length
// "socket closed while receiving body at %lld of %lld bytes" (enNetConnection). With a limit, a
// chunked body whose total reaches it fails with "chunked body too long: %lld" (enNetResources)
// as soon as a size line announces it.
class COrvHttpBodyReader {
public:
    COrvHttpBodyReader() = default;
    // Starts a body of n64Len bytes (kOrvHttpLenChunked: chunked; kOrvHttpLenUnknown: until the
    // end of the stream when bUntilClose, else empty). n64ChunkedLimit 0 means no limit.
    void Start(COrvHttpReader* pReader, int64_t n64Len, bool bUntilClose,
               int64_t n64ChunkedLimit = kOrvHttpMaxMemoryBody);
    // Reads up to nMax body bytes. Returns the count (> 0), 0 at the end of the body, -1 with
    // err filled. After the end or a failure every call returns the same.
    int Read(void* pBuf, int nMax, COrvError& err);
    // The whole body has been read.
    bool IsDone() const { return m_eState == kDone; }
    // Body bytes handed out so far.
    int64_t Position() const { return m_n64Pos; }
    // Bytes still to come of a body of known length; -1 for any other kind of body.
    int64_t KnownLeft() const { return m_eState == kFixed ? m_n64Left : -1; }

private:
    enum State { kIdle, kFixed, kUntilClose, kChunkSize, kChunkData, kChunkClose, kDone, kFailed };
    // One line of the chunk framing; false with err set on a failed read or an early end.
    [[nodiscard]] bool ReadChunkLine(COrvStringA& sLine, COrvError& err);
    [[nodiscard]] bool ReadSizeLine(COrvError& err);
    [[nodiscard]] bool ReadClosingLine(COrvError& err);

    COrvHttpReader* m_pReader = nullptr;
    State m_eState = kIdle;
    int64_t m_n64Left = 0;  // bytes of the fixed body or of the current chunk
    int64_t m_n64Len = 0;
    int64_t m_n64Pos = 0;
    int64_t m_n64Limit = 0;
    bool m_bLastChunk = false;
    COrvError m_err;  // the failure, repeated by later calls
};

// Reads the txn's body (length m_n64RecvBodyLen, m_bReadUntilClose) into m_sBody, up to
// n64Limit bytes: a larger known length fails at once, before any memory is taken, with
// "Response body is too long for memory, %lld bytes" (enNetBadRequest); a body read until close
// or chunked fails the same way (or with the chunked text) when it reaches the limit. Sets
// m_bBodyComplete on success. Failure texts of COrvHttpBodyReader otherwise.
[[nodiscard]] bool OrvHttpRecvBody(COrvHttpReader& reader, COrvHttpTxn& txn, COrvError& err,
                                   int64_t n64Limit = kOrvHttpMaxMemoryBody);
// Reads and discards the body, in slices of up to 524288 bytes.
[[nodiscard]] bool OrvHttpSkipBody(COrvHttpReader& reader, COrvHttpTxn& txn, COrvError& err);

// Lower-case hexadecimal MD5 of bytes.
COrvStringA OrvMd5Hex(const void* pData, int64_t nLen);
// CRC-32 (the zlib polynomial) of bytes.
uint32_t OrvCrc32(const void* pData, int64_t nLen);

// Checks the body against "x-orv-content-md5" (hexadecimal, any case) and
// "x-orv-content-crc32" (hexadecimal, any case, with or without leading zeros) when present:
// "Client Received from Server: MD5 of body does not match x-orv-content-md5 header" and
// "Client Received from Server: CRC-32 of body does not match x-orv-content-crc32 header"
// (enNetConnection).
[[nodiscard]] bool OrvHttpCheckBodyDigests(const COrvHttpTxn& txn, COrvError& err);

// Inflates a gzip body (zlib's gzip wrapper, window bits 31) in 32768-byte output steps. The
// output may not reach n64Limit bytes: an inflation that does fails with
// "Response body is too long for memory, %lld bytes" (enNetBadRequest) without taking more
// memory. Concatenated gzip members are inflated one after the other into one output. "gzip
// inflate init failed", "gzip inflate failed" (with zlib's message when it has one), bytes after
// the last member that do not start another one, and a body that ends before the gzip stream
// does are enNetServer. sOut is empty on failure.
[[nodiscard]] bool OrvGunzip(const void* pData, int nLen, COrvStringA& sOut, COrvError& err,
                             int64_t n64Limit = kOrvHttpMaxMemoryBody);
