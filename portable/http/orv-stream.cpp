#include "orv-stream.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kStreamBuffer = 262144;

// The inflater and the gzip header record it fills (done == 1 once the header is read).
struct GzState {
    z_stream z;
    gz_header h;
};

const char* DecodeErrorText(const GzState* g) {
    return g->h.done == 1 ? "gzip decode error (data)" : "gzip decode error (header)";
}

}  // namespace

// ---- the response stream ----

COrvHttpResponseStream::COrvHttpResponseStream(COrvHttpReader* pReader, COrvHttpTxn* pTxn)
    : m_pReader(pReader), m_pTxn(pTxn) {}

COrvHttpResponseStream::~COrvHttpResponseStream() {
    Close();
}

bool COrvHttpResponseStream::Open(bool bWrite, COrvError& err) {
    if (m_bOpen)
        return err.Set(enNetBadRequest, "Stream already open");
    if (bWrite)
        return err.Set(enNetBadRequest, "HTTP response stream is read-only");
    if (m_pTxn == nullptr || m_pReader == nullptr)
        return err.Set(enNetBadRequest, "HTTP response stream is not open");
    if (m_pTxn->m_nRecvMode != enHttpRecvStream)
        return err.SetFormat(enNetBadRequest, "HTTP response stream: bad receieve body mode %d",
                             m_pTxn->m_nRecvMode);
    m_pBuf = static_cast<char*>(std::malloc(kStreamBuffer));
    if (m_pBuf == nullptr)
        return err.Set(enNetNoMemory, "out of memory for the response stream");
    // A streamed body is not held in memory, so no memory limit applies to it.
    m_body.Start(m_pReader, m_pTxn->m_n64RecvBodyLen, m_pTxn->m_bReadUntilClose, 0);
    m_nBufPos = m_nBufEnd = 0;
    m_n64Pos = 0;
    m_bEndReported = false;
    m_bOpen = true;
    return true;
}

int COrvHttpResponseStream::Read(void* pBuf, int nMax, COrvError& err) {
    if (!m_bOpen) {
        err.Set(enNetBadRequest, "HTTP response stream is not open");
        return -1;
    }
    if (m_nBufPos == m_nBufEnd) {
        if (m_bEndReported) {
            err.Set(enNetEndOfStream, "unexpected EOF");
            return -1;
        }
        // Fill the buffer as far as the body gives bytes without waiting at its end.
        m_nBufPos = m_nBufEnd = 0;
        while (m_nBufEnd < kStreamBuffer) {
            const int n = m_body.Read(m_pBuf + m_nBufEnd, kStreamBuffer - m_nBufEnd, err);
            if (n < 0)
                return -1;
            if (n == 0)
                break;
            m_nBufEnd += n;
            if (m_pReader->Buffered() == 0)
                break;  // more would block; hand out what is there
        }
        if (m_body.IsDone())
            m_pTxn->m_bBodyComplete = true;
        if (m_nBufEnd == 0) {
            m_bEndReported = true;
            err.SetFormat(enNetEndOfStream, "End of HTTP stream at pos %lld",
                          static_cast<long long>(m_n64Pos));
            return -1;
        }
    }
    if (nMax <= 0)
        return 0;
    const int n = nMax < m_nBufEnd - m_nBufPos ? nMax : m_nBufEnd - m_nBufPos;
    std::memcpy(pBuf, m_pBuf + m_nBufPos, n);
    m_nBufPos += n;
    m_n64Pos += n;
    return n;
}

bool COrvHttpResponseStream::Write(const void*, int, COrvError& err) {
    return err.Set(enNetBadRequest, "HTTP response stream is read-only");
}

void COrvHttpResponseStream::Close() {
    std::free(m_pBuf);
    m_pBuf = nullptr;
    m_bOpen = false;
}

// ---- the gzip stream ----

COrvGzipStream::COrvGzipStream(IOrvStream* pSource) : m_pSource(pSource) {}

COrvGzipStream::~COrvGzipStream() {
    Close();
}

bool COrvGzipStream::Open(bool bWrite, COrvError& err) {
    if (bWrite)
        return err.Set(enNetBadRequest, "Gunzip stream is read-only");
    if (m_pSource == nullptr)
        return err.Set(enNetBadRequest, "source stream is NULL");
    if (m_bOpen)
        return err.Set(enNetBadRequest, "Stream already open");
    if (!m_pSource->IsOpen() && !m_pSource->Open(false, err))
        return false;
    GzState* g = static_cast<GzState*>(std::calloc(1, sizeof(GzState)));
    m_pIn = static_cast<unsigned char*>(std::malloc(kStreamBuffer));
    if (g == nullptr || m_pIn == nullptr) {
        std::free(g);
        std::free(m_pIn);
        m_pIn = nullptr;
        return err.Set(enNetNoMemory, "out of memory for the gzip stream");
    }
    if (inflateInit2(&g->z, 31) != Z_OK || inflateGetHeader(&g->z, &g->h) != Z_OK) {
        inflateEnd(&g->z);
        std::free(g);
        std::free(m_pIn);
        m_pIn = nullptr;
        return err.Set(enNetBadRequest, "gzip decode error (header)");
    }
    m_pZ = g;
    m_bOpen = true;
    m_bSourceEnded = m_bEnded = false;
    m_n64Pos = 0;
    return true;
}

int COrvGzipStream::Read(void* pBuf, int nMax, COrvError& err) {
    if (!m_bOpen) {
        err.Set(enNetBadRequest, "Gunzip stream is not open");
        return -1;
    }
    GzState* g = static_cast<GzState*>(m_pZ);
    z_stream* z = &g->z;
    if (m_bEnded) {
        err.SetFormat(enNetEndOfStream, "End of stream at pos %lld",
                      static_cast<long long>(m_n64Pos));
        return -1;
    }
    if (nMax <= 0)
        return 0;
    z->next_out = static_cast<Bytef*>(pBuf);
    z->avail_out = static_cast<uInt>(nMax);
    // Input runs out: one more read of the source (its end is noted, not reported).
    auto refill = [&]() {
        if (z->avail_in != 0 || m_bSourceEnded)
            return true;
        COrvError srcErr;
        const int n = m_pSource->Read(m_pIn, kStreamBuffer, srcErr);
        if (n < 0) {
            if (srcErr.Code() != enNetEndOfStream)
                return err.Pass(srcErr);
            m_bSourceEnded = true;
        } else {
            z->next_in = m_pIn;
            z->avail_in = static_cast<uInt>(n);
        }
        return true;
    };
    for (;;) {
        if (!refill())
            return -1;
        const uLong nInBefore = z->total_in;
        const int rc = inflate(z, Z_NO_FLUSH);
        const int nOut = nMax - static_cast<int>(z->avail_out);
        if (rc == Z_STREAM_END) {
            // Several gzip members may follow one another; anything else after a member would
            // be lost silently, so it is a decode error.
            if (!refill())
                return -1;
            if (z->avail_in == 0) {
                m_bEnded = true;
            } else if (z->next_in[0] != 0x1f || inflateReset(z) != Z_OK ||
                       inflateGetHeader(z, &g->h) != Z_OK) {
                err.Set(enNetBadRequest, "gzip decode error (data after the gzip stream)");
                return -1;
            }
            if (nOut > 0) {
                m_n64Pos += nOut;
                return nOut;
            }
            if (!m_bEnded)
                continue;
            err.SetFormat(enNetEndOfStream, "End of stream at pos %lld",
                          static_cast<long long>(m_n64Pos));
            return -1;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            err.Set(enNetBadRequest, DecodeErrorText(g));
            return -1;
        }
        if (nOut > 0) {
            m_n64Pos += nOut;
            return nOut;
        }
        if (m_bSourceEnded && z->avail_in == 0 && z->total_in == nInBefore) {
            err.Set(enNetBadRequest, DecodeErrorText(g));
            return -1;
        }
    }
}

bool COrvGzipStream::Write(const void*, int, COrvError& err) {
    return err.Set(enNetBadRequest, "Gunzip stream is read-only");
}

void COrvGzipStream::Close() {
    if (m_pZ != nullptr) {
        inflateEnd(&static_cast<GzState*>(m_pZ)->z);
        std::free(m_pZ);
        m_pZ = nullptr;
    }
    std::free(m_pIn);
    m_pIn = nullptr;
    m_bOpen = false;
}
