#include "orv-http-io.h"

#include <errno.h>

#include <cstdlib>
#include <cstring>

#include "orv-http-txn.h"
#include "orv-sys.h"

COrvHttpReader::COrvHttpReader(IOrvByteSource* pSource, int nBufferSize)
    : m_pSource(pSource), m_nSize(nBufferSize > 0 ? nBufferSize : 65536) {}

COrvHttpReader::~COrvHttpReader() {
    std::free(m_pBuf);
}

int COrvHttpReader::Fill(COrvError& err) {
    if (m_pBuf == nullptr) {
        m_pBuf = static_cast<char*>(std::malloc(m_nSize));
        if (m_pBuf == nullptr) {
            err.Set(enNetNoMemory, "out of memory for the receive buffer");
            return -1;
        }
    }
    if (!OrvHttpCheckAbort(m_pObserver, err))
        return -1;
    const int n = m_pSource->ReadSome(m_pBuf, m_nSize, err);
    if (n < 0) {
        if (!err.Failed())
            err.Set(enNetConnection, "read failed");
        return -1;
    }
    m_nPos = 0;
    m_nEnd = n > m_nSize ? m_nSize : n;
    return n > 0 ? 1 : 0;
}

int COrvHttpReader::ReadLine(COrvStringA& sLine, int nMaxChars, COrvError& err, int* pnPartial) {
    sLine.Empty();
    if (pnPartial)
        *pnPartial = 0;
    bool bCR = false;
    for (;;) {
        if (m_nPos == m_nEnd) {
            const int r = Fill(err);
            if (r < 0)
                return kFail;
            if (r == 0) {
                if (pnPartial)
                    *pnPartial = sLine.GetLength() + (bCR ? 1 : 0);
                return kEof;
            }
        }
        // Take the run of plain characters up to the next CR or LF at once.
        const char* p = m_pBuf + m_nPos;
        const int nAvail = m_nEnd - m_nPos;
        int i = 0;
        if (!bCR) {
            while (i < nAvail && p[i] != '\n' && p[i] != '\r')
                ++i;
            if (i > 0) {
                if (sLine.GetLength() + i > nMaxChars) {
                    err.SetFormat(enNetServer,
                                  "vHttpRecvHeader: HTTP header line too long at %d chars",
                                  nMaxChars + 1);
                    return kFail;
                }
                if (!sLine.Append(p, i)) {
                    err.Set(enNetNoMemory, "out of memory for an HTTP header line");
                    return kFail;
                }
                m_nPos += i;
                m_nConsumed += i;
                continue;
            }
        }
        const char c = p[0];
        ++m_nPos;
        ++m_nConsumed;
        if (c == '\n')
            return kLine;
        if (bCR || c != '\r') {  // a CR followed by anything but LF
            err.Set(enNetServer, "No LF after CR at the end of line of HTTP header");
            return kFail;
        }
        bCR = true;
    }
}

int COrvHttpReader::Read(void* pBuf, int nMax, COrvError& err) {
    if (nMax <= 0)
        return 0;
    if (m_nPos == m_nEnd) {
        // A large read goes straight into the caller's buffer.
        if (nMax >= m_nSize) {
            if (!OrvHttpCheckAbort(m_pObserver, err))
                return -1;
            const int n = m_pSource->ReadSome(pBuf, nMax, err);
            if (n < 0) {
                if (!err.Failed())
                    err.Set(enNetConnection, "read failed");
                return -1;
            }
            m_nConsumed += n;
            return n;
        }
        const int r = Fill(err);
        if (r <= 0)
            return r;
    }
    const int n = nMax < m_nEnd - m_nPos ? nMax : m_nEnd - m_nPos;
    std::memcpy(pBuf, m_pBuf + m_nPos, n);
    m_nPos += n;
    m_nConsumed += n;
    return n;
}

int64_t COrvHttpReader::ReadFull(void* pBuf, int64_t nLen, COrvError& err) {
    char* p = static_cast<char*>(pBuf);
    int64_t nDone = 0;
    while (nDone < nLen) {
        const int64_t nLeft = nLen - nDone;
        const int n = Read(p + nDone, nLeft > (1 << 30) ? (1 << 30) : static_cast<int>(nLeft), err);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        nDone += n;
    }
    return nDone;
}

int COrvHttpReader::Peek(COrvError& err) {
    if (m_nPos == m_nEnd) {
        const int r = Fill(err);
        if (r < 0)
            return -1;
        if (r == 0)
            return -2;
    }
    return static_cast<unsigned char>(m_pBuf[m_nPos]);
}

// ---- memory ----

COrvMemorySource::COrvMemorySource(const void* pData, int nLen, int nSlice)
    : m_sData(static_cast<const char*>(pData), pData ? nLen : 0),
      m_nSlice(nSlice > 0 ? nSlice : 1) {}

int COrvMemorySource::ReadSome(void* pBuf, int nMax, COrvError&) {
    int n = Remaining();
    if (n > nMax)
        n = nMax;
    if (n > m_nSlice)
        n = m_nSlice;
    std::memcpy(pBuf, m_sData.GetString() + m_nPos, n);
    m_nPos += n;
    return n;
}

bool COrvMemorySink::WriteAll(const void* pData, int64_t nLen, COrvError& err) {
    ++m_nWrites;
    if (nLen < 0 || nLen > 0x7FFFFFFF - m_sData.GetLength())
        return err.Set(enNetResources, "memory sink full");
    if (!m_sData.Append(static_cast<const char*>(pData), static_cast<int>(nLen)))
        return err.Set(enNetNoMemory, "memory sink: out of memory");
    return true;
}

bool COrvMemorySink::Flush(COrvError&) {
    ++m_nFlushes;
    return true;
}

void COrvMemorySink::Clear() {
    m_sData.Empty();
    m_nWrites = 0;
    m_nFlushes = 0;
}

// ---- descriptor ----

int COrvFdStream::ReadSome(void* pBuf, int nMax, COrvError& err) {
    long n;
    do {
        n = g_orv_sys.recv(m_fd, pBuf, static_cast<size_t>(nMax), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        err.SetErrno(errno, "recv failed: ");
        return -1;
    }
    return static_cast<int>(n);
}

bool COrvFdStream::WriteAll(const void* pData, int64_t nLen, COrvError& err) {
    ++m_nWrites;
    const char* p = static_cast<const char*>(pData);
    while (nLen > 0) {
        const long n = g_orv_sys.send(m_fd, p, static_cast<size_t>(nLen), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return err.SetErrno(errno, "send failed: ");
        }
        p += n;
        nLen -= n;
    }
    return true;
}

// ---- COrvTransportByteStream ----

int COrvTransportByteStream::ReadSome(void* pBuf, int nMax, COrvError& err) {
    if (m_pTransport == nullptr) {
        (void)err.Set(enNetConnection, "not connected");
        return -1;
    }
    int nGot = 0;
    if (!m_pTransport->Recv(pBuf, nMax, nGot, err))
        return -1;
    return nGot;
}

bool COrvTransportByteStream::WriteAll(const void* pData, int64_t nLen, COrvError& err) {
    if (m_pTransport == nullptr)
        return err.Set(enNetConnection, "not connected");
    const char* p = static_cast<const char*>(pData);
    while (nLen > 0) {
        const int n = nLen > (1 << 30) ? (1 << 30) : static_cast<int>(nLen);
        if (!m_pTransport->Send(p, n, err))
            return false;
        p += n;
        nLen -= n;
    }
    return true;
}

bool COrvTransportByteStream::Flush(COrvError& err) {
    if (m_pTransport == nullptr)
        return err.Set(enNetConnection, "not connected");
    return m_pTransport->Flush(err);
}
