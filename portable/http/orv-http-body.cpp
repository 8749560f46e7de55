#include "orv-http-body.h"
#include "orv-string-util.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kSizeLineMax = 1024;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

void COrvHttpBodyReader::Start(COrvHttpReader* pReader, int64_t n64Len, bool bUntilClose,
                               int64_t n64ChunkedLimit) {
    m_pReader = pReader;
    m_n64Len = n64Len;
    m_n64Pos = 0;
    m_n64Limit = n64ChunkedLimit;
    m_bLastChunk = false;
    m_err.Clear();
    if (n64Len == kOrvHttpLenChunked) {
        m_eState = kChunkSize;
    } else if (n64Len >= 0) {
        m_n64Left = n64Len;
        m_eState = n64Len > 0 ? kFixed : kDone;
    } else {
        m_eState = bUntilClose ? kUntilClose : kDone;
    }
}

bool COrvHttpBodyReader::ReadChunkLine(COrvStringA& sLine, COrvError& err) {
    const int r = m_pReader->ReadLine(sLine, kSizeLineMax, err);
    if (r == COrvHttpReader::kFail)
        return false;
    if (r == COrvHttpReader::kEof)
        return err.Set(enNetConnection, "socket closed while receiving chunked content");
    return true;
}

bool COrvHttpBodyReader::ReadSizeLine(COrvError& err) {
    COrvStringA sLine;
    if (!ReadChunkLine(sLine, err))
        return false;
    const char* p = sLine.GetString();
    int64_t n = 0;
    int nDigits = 0;
    for (int d; (d = OrvHexDigitValue(*p)) >= 0; ++p) {
        if (n < (int64_t(1) << 40))  // larger sizes fail on the limit below
            n = n * 16 + d;
        ++nDigits;
    }
    while (IsBlank(*p))
        ++p;
    if (nDigits == 0 || *p != 0)
        return err.SetFormat(enNetServer, "bad chunk length: %s", sLine.GetString());
    if (m_n64Limit > 0 && m_n64Pos + n >= m_n64Limit)
        return err.SetFormat(enNetResources, "chunked body too long: %lld",
                             static_cast<long long>(m_n64Pos + n));
    m_n64Left = n;
    m_bLastChunk = n == 0;
    m_eState = n == 0 ? kChunkClose : kChunkData;
    return true;
}

bool COrvHttpBodyReader::ReadClosingLine(COrvError& err) {
    COrvStringA sLine;
    if (!ReadChunkLine(sLine, err))
        return false;
    COrvStringA sTrimmed = sLine;
    if (!sTrimmed.Trim().IsEmpty())
        return err.SetFormat(enNetServer, "bad chunk closing: %s", sLine.GetString());
    m_eState = m_bLastChunk ? kDone : kChunkSize;
    return true;
}

int COrvHttpBodyReader::Read(void* pBuf, int nMax, COrvError& err) {
    for (;;) {
        switch (m_eState) {
            case kIdle:
            case kDone:
                return 0;
            case kFailed:
                err.Pass(m_err);
                return -1;
            case kChunkSize:
                if (!ReadSizeLine(m_err))
                    break;
                continue;
            case kChunkClose:
                if (!ReadClosingLine(m_err))
                    break;
                continue;
            case kFixed:
            case kChunkData:
            case kUntilClose: {
                int nWant = nMax;
                if (m_eState != kUntilClose && m_n64Left < nWant)
                    nWant = static_cast<int>(m_n64Left);
                const int n = m_pReader->Read(pBuf, nWant, m_err);
                if (n < 0)
                    break;
                if (n == 0) {
                    if (m_eState == kUntilClose) {
                        m_eState = kDone;
                        return 0;
                    }
                    if (m_eState == kChunkData)
                        m_err.Set(enNetConnection, "socket closed while receiving chunked content");
                    else
                        m_err.SetFormat(enNetConnection,
                                        "socket closed while receiving body at %lld of %lld bytes",
                                        static_cast<long long>(m_n64Pos),
                                        static_cast<long long>(m_n64Len));
                    break;
                }
                m_n64Pos += n;
                if (m_eState != kUntilClose) {
                    m_n64Left -= n;
                    if (m_n64Left == 0)
                        m_eState = m_eState == kFixed ? kDone : kChunkClose;
                }
                return n;
            }
        }
        // A failure: remember it for later calls.
        m_eState = kFailed;
        err.Pass(m_err);
        return -1;
    }
}

bool OrvHttpRecvBody(COrvHttpReader& reader, COrvHttpTxn& txn, COrvError& err, int64_t n64Limit) {
    txn.m_sBody.Empty();
    txn.m_bBodyComplete = false;
    const int64_t nLen = txn.m_n64RecvBodyLen;
    if (nLen >= n64Limit)
        return err.SetFormat(enNetBadRequest, "Response body is too long for memory, %lld bytes",
                             static_cast<long long>(nLen));
    COrvHttpBodyReader body;
    body.Start(&reader, nLen, txn.m_bReadUntilClose, n64Limit);
    // A known length is reserved at once; otherwise the string grows as bytes arrive, up to
    // the limit, and a body that fills the limit is refused.
    int nCap = nLen > 0 ? static_cast<int>(nLen) : 65536;
    if (nLen < 0 && nCap > n64Limit)
        nCap = static_cast<int>(n64Limit);
    char* p = txn.m_sBody.GetBuffer(nCap);
    if (p == nullptr)
        return err.Set(enNetNoMemory, "out of memory for the response body");
    int nHave = 0;
    while (!body.IsDone()) {
        if (nHave == nCap) {
            if (nCap >= n64Limit) {
                txn.m_sBody.ReleaseBuffer(0);
                return err.SetFormat(enNetBadRequest,
                                     "Response body is too long for memory, %lld bytes",
                                     static_cast<long long>(nHave));
            }
            int64_t nNext = int64_t(nCap) * 2;
            if (nNext > n64Limit)
                nNext = n64Limit;
            txn.m_sBody.ReleaseBuffer(nHave);
            p = txn.m_sBody.GetBuffer(static_cast<int>(nNext));
            if (p == nullptr) {
                txn.m_sBody.Empty();
                return err.Set(enNetNoMemory, "out of memory for the response body");
            }
            nCap = static_cast<int>(nNext);
        }
        const int n = body.Read(p + nHave, nCap - nHave, err);
        if (n < 0) {
            txn.m_sBody.ReleaseBuffer(0);
            return false;
        }
        if (n == 0)
            break;
        nHave += n;
    }
    txn.m_sBody.ReleaseBuffer(nHave);
    txn.m_bBodyComplete = true;
    return true;
}

bool OrvHttpSkipBody(COrvHttpReader& reader, COrvHttpTxn& txn, COrvError& err) {
    COrvHttpBodyReader body;
    body.Start(&reader, txn.m_n64RecvBodyLen, txn.m_bReadUntilClose, 0);
    const int nSlice = 524288;
    char* p = static_cast<char*>(std::malloc(nSlice));
    if (p == nullptr)
        return err.Set(enNetNoMemory, "out of memory for draining a body");
    int n;
    while ((n = body.Read(p, nSlice, err)) > 0) {
    }
    std::free(p);
    if (n < 0)
        return false;
    txn.m_bBodyComplete = true;
    return true;
}

COrvStringA OrvMd5Hex(const void* pData, int64_t nLen) {
    unsigned char abDigest[EVP_MAX_MD_SIZE];
    unsigned int nDigest = 0;
    COrvStringA s;
    if (EVP_Digest(pData, static_cast<size_t>(nLen), abDigest, &nDigest, EVP_md5(), nullptr) != 1)
        return s;
    static const char kHex[] = "0123456789abcdef";
    for (unsigned i = 0; i < nDigest; ++i) {
        s.AppendChar(kHex[abDigest[i] >> 4]);
        s.AppendChar(kHex[abDigest[i] & 15]);
    }
    return s;
}

uint32_t OrvCrc32(const void* pData, int64_t nLen) {
    uLong c = crc32(0L, Z_NULL, 0);
    const Bytef* p = static_cast<const Bytef*>(pData);
    while (nLen > 0) {
        const uInt n = nLen > (1 << 30) ? (1u << 30) : static_cast<uInt>(nLen);
        c = crc32(c, p, n);
        p += n;
        nLen -= n;
    }
    return static_cast<uint32_t>(c);
}

bool OrvHttpCheckBodyDigests(const COrvHttpTxn& txn, COrvError& err) {
    const COrvStringA sMd5 = txn.GetResponseHeader("x-orv-content-md5");
    if (!sMd5.IsEmpty() &&
        OrvMd5Hex(txn.m_sBody.GetString(), txn.m_sBody.GetLength()).CompareNoCase(sMd5) != 0)
        return err.Set(enNetConnection,
                       "Client Received from Server: MD5 of body does not match x-orv-content-md5 "
                       "header");
    const COrvStringA sCrc = txn.GetResponseHeader("x-orv-content-crc32");
    if (!sCrc.IsEmpty()) {
        const char* p = sCrc.GetString();
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
            p += 2;
        uint64_t v = 0;
        int nDigits = 0;
        for (int d; (d = OrvHexDigitValue(*p)) >= 0 && nDigits <= 16; ++p, ++nDigits)
            v = v * 16 + static_cast<uint64_t>(d);
        if (*p != 0 || nDigits == 0 ||
            v != OrvCrc32(txn.m_sBody.GetString(), txn.m_sBody.GetLength()))
            return err.Set(enNetConnection,
                           "Client Received from Server: CRC-32 of body does not match "
                           "x-orv-content-crc32 header");
    }
    return true;
}

bool OrvGunzip(const void* pData, int nLen, COrvStringA& sOut, COrvError& err, int64_t n64Limit) {
    sOut.Empty();
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (inflateInit2(&z, 31) != Z_OK)
        return err.Set(enNetServer, "gzip inflate init failed");
    z.next_in = static_cast<Bytef*>(const_cast<void*>(pData));
    z.avail_in = static_cast<uInt>(nLen > 0 ? nLen : 0);
    const int kStep = 32768;
    int nHave = 0;
    int nCap = 0;
    char* p = nullptr;
    int rc = Z_OK;
    bool bOk = true;
    while (rc != Z_STREAM_END) {
        if (nHave == nCap) {
            // Growing stops below the memory-body limit: a body that inflates further is refused.
            if (int64_t(nCap) + kStep >= n64Limit) {
                bOk = err.SetFormat(enNetBadRequest,
                                    "Response body is too long for memory, %lld bytes",
                                    static_cast<long long>(int64_t(nCap) + kStep));
                break;
            }
            // Grow by half again (at least one step) so that large bodies take few copies.
            int64_t nNext = int64_t(nCap) + (nCap / 2 > kStep ? nCap / 2 : kStep);
            if (nNext >= n64Limit)
                nNext = n64Limit - 1;
            sOut.ReleaseBuffer(nHave);
            p = sOut.GetBuffer(static_cast<int>(nNext));
            if (p == nullptr) {
                bOk = err.Set(enNetNoMemory, "out of memory for the inflated body");
                break;
            }
            nCap = static_cast<int>(nNext);
        }
        z.next_out = reinterpret_cast<Bytef*>(p + nHave);
        z.avail_out = static_cast<uInt>(nCap - nHave);
        rc = inflate(&z, Z_NO_FLUSH);
        nHave = nCap - static_cast<int>(z.avail_out);
        if (rc == Z_STREAM_END) {
            // A gzip body may be several members one after the other: each is inflated in turn.
            // Anything else after a member would be lost silently, so it fails the body.
            if (z.avail_in == 0)
                break;
            if (z.avail_in < 2 || z.next_in[0] != 0x1f || z.next_in[1] != 0x8b) {
                bOk = err.SetFormat(enNetServer,
                                    "gzip inflate failed: %u bytes of garbage after the gzip data",
                                    static_cast<unsigned>(z.avail_in));
                break;
            }
            if (inflateReset(&z) != Z_OK) {
                bOk = err.Set(enNetServer, "gzip inflate failed");
                break;
            }
            rc = Z_OK;
            continue;
        }
        if (rc == Z_BUF_ERROR && z.avail_in == 0) {
            bOk = err.Set(enNetServer, "gzip inflate failed: body ends inside the gzip stream");
            break;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            bOk = err.SetFormat(enNetServer, "gzip inflate failed%s%s", z.msg ? ": " : "",
                                z.msg ? z.msg : "");
            break;
        }
    }
    inflateEnd(&z);
    if (p != nullptr)
        sOut.ReleaseBuffer(bOk ? nHave : 0);
    if (!bOk)
        sOut.Empty();
    return bOk;
}
