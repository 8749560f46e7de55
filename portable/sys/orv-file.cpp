// The portable half of the file module: attributes and the buffered writer.
#include "orv-file.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "orv-file-os.h"
#include "orv-log.h"
#include "orv-path.h"

uint32_t OrvAttributesFromMode(unsigned nMode, const char* pszName, const char* pszPath) {
    uint32_t n = 0;
    if ((nMode & S_IWUSR) == 0)
        n |= kOrvAttrReadOnly | kOrvAttrPortableReadOnly;
    if (pszName != nullptr && pszName[0] == '.')
        n |= kOrvAttrHidden | kOrvAttrPortableHidden;
    if (S_ISREG(nMode))
        n |= kOrvAttrArchive;
    if ((n & kOrvAttrMask) == 0)
        n |= kOrvAttrNormal;
    if (pszPath != nullptr && OrvIsSystemItemToSkip(pszPath))
        n |= kOrvAttrSkip | kOrvAttrSystem | kOrvAttrPortableSystem;
    return n;
}

bool OrvDiskSpaceIsLow(uint64_t nAvailable, uint64_t nTotal) {
    const uint64_t kFloor = 104857600ull;     // 100 MiB
    const uint64_t kCeiling = 5368709120ull;  // 5 GiB
    const bool bSmall = nAvailable < nTotal / 20 + (nTotal % 20 != 0 ? 1 : 0) ||
                        nAvailable < kFloor;  // nAvailable * 20 < nTotal, without overflow
    return bSmall && nAvailable < kCeiling;
}

// ---- the buffered writer ----

COrvBufferedFile::COrvBufferedFile(size_t nBufferSize)
    : m_nCap(nBufferSize > 0 ? nBufferSize : 1) {}

COrvBufferedFile::~COrvBufferedFile() {
    COrvError err;
    (void)Close(err);
    free(m_pBuf);
}

bool COrvBufferedFile::OpenWrite(const char* pszPath, bool bAppend, unsigned nMode,
                                 COrvError& err) {
    COrvError errClose;
    (void)Close(errClose);
    if (m_pBuf == nullptr) {
        m_pBuf = static_cast<unsigned char*>(malloc(m_nCap));
        if (m_pBuf == nullptr)
            return err.SetFormat(enNetNoMemory, "Cannot open for write local file %s: no memory",
                                 pszPath);
    }
    if (!m_file.OpenWrite(pszPath, bAppend, nMode, err))
        return false;
    m_nFilePos = 0;
    if (bAppend && !m_file.GetSize(m_nFilePos, err)) {
        COrvError errIgnored;
        (void)m_file.Close(errIgnored);
        return false;
    }
    return true;
}

bool COrvBufferedFile::Flush(COrvError& err) {
    if (m_nCount == 0)
        return true;
    if (!m_file.Write(m_pBuf, m_nCount, err))
        return false;
    m_nFilePos += m_nCount;
    m_nCount = 0;
    m_bDirty = false;
    return true;
}

bool COrvBufferedFile::Write(const void* pData, size_t nLen, COrvError& err) {
    if (!m_file.IsOpen())
        return err.Set(enNetBadRequest, "Cannot write local file: not open");
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    if (m_nCount + nLen <= m_nCap) {
        memcpy(m_pBuf + m_nCount, p, nLen);
        m_nCount += nLen;
        m_bDirty = m_bDirty || nLen > 0;
        return true;
    }
    if (!Flush(err))
        return false;
    if (nLen >= m_nCap) {
        // Larger than the buffer: straight through.
        if (!m_file.Write(p, nLen, err))
            return false;
        m_nFilePos += nLen;
        return true;
    }
    memcpy(m_pBuf, p, nLen);
    m_nCount = nLen;
    m_bDirty = true;
    return true;
}

bool COrvBufferedFile::Close(COrvError& err) {
    if (!m_file.IsOpen())
        return true;
    const bool bFlushed = Flush(err);
    const bool bClosed = m_file.Close(err);
    m_nFilePos = 0;
    m_nCount = 0;
    m_nReadPos = -1;
    m_bDirty = false;
    return bFlushed && bClosed;
}
