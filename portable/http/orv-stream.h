// Read streams over HTTP response bodies: the read-only response stream, and a gzip stream that
// inflates any read-only stream.
#pragma once

#include <cstdint>

#include "orv-error.h"
#include "orv-http-body.h"
#include "orv-http-io.h"
#include "orv-http-txn.h"

// A byte stream. One thread at a time.
class IOrvStream {
public:
    virtual ~IOrvStream() = default;
    // Opens the stream for reading (bWrite false) or writing. False with err filled.
    [[nodiscard]] virtual bool Open(bool bWrite, COrvError& err) = 0;
    // Reads up to nMax bytes: the count (> 0), or -1 with err filled; the end of the stream is
    // reported as a failure with enNetEndOfStream.
    virtual int Read(void* pBuf, int nMax, COrvError& err) = 0;
    // Writes all nLen bytes. False with err filled.
    [[nodiscard]] virtual bool Write(const void* pData, int nLen, COrvError& err) = 0;
    // Closes the stream; closing a closed stream does nothing.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
};

// The body of a response received with receive mode 2, read from the connection through a
// 262144-byte buffer (chunked and plain bodies alike). Open fails with "Stream already open",
// "HTTP response stream is read-only" (for writing) and "HTTP response stream: bad receieve body
// mode %d" (enNetBadRequest). Reading past the end gives "End of HTTP stream at pos %lld" and
// every read after that "unexpected EOF" (enNetEndOfStream); reading a closed stream "HTTP
// response stream is not open" (enNetBadRequest). Transport failures keep their own texts. When
// the body has been read whole the txn's m_bBodyComplete is set. The reader and the txn must
// outlive the stream.
class COrvHttpResponseStream : public IOrvStream {
public:
    COrvHttpResponseStream(COrvHttpReader* pReader, COrvHttpTxn* pTxn);
    ~COrvHttpResponseStream() override;
    [[nodiscard]] bool Open(bool bWrite, COrvError& err) override;
    int Read(void* pBuf, int nMax, COrvError& err) override;
    [[nodiscard]] bool Write(const void* pData, int nLen, COrvError& err) override;
    void Close() override;
    bool IsOpen() const override { return m_bOpen; }
    // Bytes handed to the caller so far.
    int64_t Position() const { return m_n64Pos; }

private:
    COrvHttpReader* m_pReader;
    COrvHttpTxn* m_pTxn;
    COrvHttpBodyReader m_body;
    char* m_pBuf = nullptr;
    int m_nBufPos = 0;
    int m_nBufEnd = 0;
    int64_t m_n64Pos = 0;
    bool m_bOpen = false;
    bool m_bEndReported = false;
};

// Inflates a gzip stream read from another read-only stream (not owned; opened for reading here
// when it is not open). Open fails with "Gunzip stream is read-only" (for writing), "source
// stream is NULL", "Stream already open" (enNetBadRequest). Inflation errors are "gzip decode
// error (header)" before the gzip header has been read and "gzip decode error (data)" after it
// (also for a source that ends inside the gzip stream), enNetBadRequest. Concatenated gzip
// members are inflated one after the other; other bytes after a member are "gzip decode error
// (data after the gzip stream)" (enNetBadRequest). The end gives "End of
// stream at pos %lld" (enNetEndOfStream). Reading it closed is "Gunzip stream is not open".
class COrvGzipStream : public IOrvStream {
public:
    explicit COrvGzipStream(IOrvStream* pSource);
    ~COrvGzipStream() override;
    [[nodiscard]] bool Open(bool bWrite, COrvError& err) override;
    int Read(void* pBuf, int nMax, COrvError& err) override;
    [[nodiscard]] bool Write(const void* pData, int nLen, COrvError& err) override;
    void Close() override;
    bool IsOpen() const override { return m_bOpen; }

private:
    IOrvStream* m_pSource;
    void* m_pZ = nullptr;  // the inflater state, kept out of this header
    unsigned char* m_pIn = nullptr;
    bool m_bOpen = false;
    bool m_bSourceEnded = false;
    bool m_bEnded = false;
    int64_t m_n64Pos = 0;
};
