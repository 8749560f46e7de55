// The zip writer: entry layout, deflate engines, traditional encryption, Zip64 where needed, and
// the handle calls. Folder zipping and extraction are in orv-zip-folder-posix.cpp.
#include "orv-zip.h"

#include <libdeflate.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <zlib.h>

#include <atomic>
#include <new>

#include "orv-file.h"
#include "orv-sys.h"
#include "orv-zip-os.h"

namespace {

std::atomic<uint32_t> s_nLastResult{kOrvZipOk};

uint32_t SetLast(uint32_t n) {
    s_nLastResult.store(n, std::memory_order_relaxed);
    return n;
}

constexpr uint32_t kZipMagic = 0x5A49505A;  // a creation handle
constexpr uint32_t k32Max = 0xFFFFFFFFu;
constexpr size_t kStreamChunk = size_t{1} << 20;

// Extensions whose data is compressed already: stored, not deflated.
bool IsStoredExtension(const char* pszName) {
    static const char* const s_aExt[] = {".Z",   ".zip", ".zoo", ".arc",
                                         ".lzh", ".arj", ".gz",  ".tgz"};
    const size_t nName = strlen(pszName);
    for (const char* pszExt : s_aExt) {
        const size_t nExt = strlen(pszExt);
        if (nName >= nExt && strcasecmp(pszName + nName - nExt, pszExt) == 0)
            return true;
    }
    return false;
}

bool IsAscii(const COrvStringA& s) {
    for (int i = 0; i < s.GetLength(); ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80)
            return false;
    return true;
}

// Little-endian field writer into a fixed header buffer.
class CLe {
public:
    explicit CLe(unsigned char* p) : m_p(p), m_pStart(p) {}
    void U16(uint32_t n) {
        *m_p++ = static_cast<unsigned char>(n);
        *m_p++ = static_cast<unsigned char>(n >> 8);
    }
    void U32(uint32_t n) {
        U16(n & 0xFFFF);
        U16(n >> 16);
    }
    void U64(uint64_t n) {
        U32(static_cast<uint32_t>(n));
        U32(static_cast<uint32_t>(n >> 32));
    }
    size_t Size() const { return static_cast<size_t>(m_p - m_pStart); }

private:
    unsigned char* m_p;
    unsigned char* m_pStart;
};

uint32_t Cap32(uint64_t n) {
    return n >= k32Max ? k32Max : static_cast<uint32_t>(n);
}

}  // namespace

uint64_t g_nOrvZip64Limit = 0xFFFFFFFFu;

// ---- traditional encryption ----

void COrvZipCrypt::Init(const char* pszPassword) {
    m_k0 = 0x12345678;
    m_k1 = 0x23456789;
    m_k2 = 0x34567890;
    for (const char* p = pszPassword; *p != 0; ++p)
        Update(static_cast<unsigned char>(*p));
}

void COrvZipCrypt::Update(unsigned char c) {
    const z_crc_t* pTable = get_crc_table();
    m_k0 = pTable[(m_k0 ^ c) & 0xFF] ^ (m_k0 >> 8);
    m_k1 = (m_k1 + (m_k0 & 0xFF)) * 134775813 + 1;
    m_k2 = pTable[(m_k2 ^ (m_k1 >> 24)) & 0xFF] ^ (m_k2 >> 8);
}

void COrvZipCrypt::Encrypt(unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t t = (m_k2 & 0xFFFF) | 2;
        const unsigned char c = p[i];
        p[i] = static_cast<unsigned char>(c ^ ((t * (t ^ 1)) >> 8));
        Update(c);
    }
}

void COrvZipCrypt::Decrypt(unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t t = (m_k2 & 0xFFFF) | 2;
        p[i] = static_cast<unsigned char>(p[i] ^ ((t * (t ^ 1)) >> 8));
        Update(p[i]);
    }
}

bool OrvZipRandomBytes(void* p, size_t n) {
    auto* pb = static_cast<unsigned char*>(p);
    while (n > 0) {
        const ssize_t r = getrandom(pb, n, 0);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        pb += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// ---- DOS times ----

uint32_t OrvZipDosTime(OrvTime t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tmLocal;
    if (localtime_r(&tt, &tmLocal) == nullptr || tmLocal.tm_year < 80)
        return (1u << 5 | 1u) << 16;  // 1980-01-01 00:00:00, the format's first day
    if (tmLocal.tm_year > 207)
        return ((127u << 9 | 12u << 5 | 31u) << 16) | (23u << 11 | 59u << 5 | 29u);
    const uint32_t nDate = static_cast<uint32_t>((tmLocal.tm_year - 80) << 9 |
                                                 (tmLocal.tm_mon + 1) << 5 | tmLocal.tm_mday);
    const uint32_t nTime =
        static_cast<uint32_t>(tmLocal.tm_hour << 11 | tmLocal.tm_min << 5 | tmLocal.tm_sec / 2);
    return nDate << 16 | nTime;
}

// ---- the target ----

COrvZipSink::~COrvZipSink() {
    if (m_bMapped && m_pMem != nullptr)
        munmap(m_pMem, m_nCap);
    free(m_pBuf);
}

bool COrvZipSink::OpenFile(const char* pszPath, COrvError& err) {
    m_pBuf = static_cast<unsigned char*>(malloc(kBufSize));
    if (m_pBuf == nullptr)
        return err.Set(enNetNoMemory, "Cannot allocate the zip buffer");
    return m_file.OpenWrite(pszPath, false, 0, err);
}

bool COrvZipSink::OpenMemory(void* pBuffer, size_t nSize) {
    m_nCap = nSize;
    if (pBuffer != nullptr) {
        m_pMem = static_cast<unsigned char*>(pBuffer);
        return true;
    }
    void* p = mmap(nullptr, nSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return false;
    m_pMem = static_cast<unsigned char*>(p);
    m_bMapped = true;
    return true;
}

bool COrvZipSink::Close(COrvError& err) {
    return m_file.Close(err);
}

uint32_t COrvZipSink::Write(const void* pData, size_t nLen, COrvError& err) {
    if (nLen == 0)
        return kOrvZipOk;
    if (m_pMem != nullptr) {
        if (nLen > m_nCap - m_nPos)
            return kOrvZipMemSize;
        memcpy(m_pMem + m_nPos, pData, nLen);
        m_nPos += nLen;
        return kOrvZipOk;
    }
    const auto* p = static_cast<const unsigned char*>(pData);
    while (nLen > 0) {
        if (m_nCount == kBufSize && Flush(err) != kOrvZipOk)
            return kOrvZipWrite;
        const size_t n = nLen < kBufSize - m_nCount ? nLen : kBufSize - m_nCount;
        memcpy(m_pBuf + m_nCount, p, n);
        m_nCount += n;
        m_nPos += n;
        p += n;
        nLen -= n;
    }
    return kOrvZipOk;
}

// A full buffer of zeros (a stored entry of a sparse file) becomes a hole in the archive file
// instead of written blocks; Finish sets the file's length, so a hole at the end counts too.
uint32_t COrvZipSink::Flush(COrvError& err) {
    if (m_nCount == kBufSize && m_pBuf[0] == 0 && memcmp(m_pBuf, m_pBuf + 1, m_nCount - 1) == 0) {
        if (!m_file.SetPosition(m_nPos, err))
            return kOrvZipWrite;
        m_bCut = true;
    } else if (m_nCount > 0 && !m_file.Write(m_pBuf, m_nCount, err)) {
        return kOrvZipWrite;
    }
    m_nCount = 0;
    return kOrvZipOk;
}

void COrvZipSink::Rewind(uint64_t nPos) {
    if (m_pMem != nullptr || nPos >= m_nPos - m_nCount) {
        m_nCount -= static_cast<size_t>(m_nPos - nPos) <= m_nCount
                        ? static_cast<size_t>(m_nPos - nPos)
                        : m_nCount;
        m_nPos = nPos;
        return;
    }
    // Bytes of the failed entry reached the file already: write over them and cut the file at
    // the end.
    COrvError errIgnored;
    m_nCount = 0;
    if (m_file.SetPosition(nPos, errIgnored))
        m_nPos = nPos;
    m_bCut = true;
}

uint32_t COrvZipSink::Finish(COrvError& err) {
    if (m_pMem != nullptr)
        return kOrvZipOk;
    if (Flush(err) != kOrvZipOk)
        return kOrvZipWrite;
    if (m_bCut && !m_file.SetLength(m_nPos, err))
        return kOrvZipWrite;
    return kOrvZipOk;
}

// ---- the handle ----

class COrvZip {
public:
    uint32_t m_nMagic = kZipMagic;
    COrvZipSink m_sink;
    COrvStringA m_sPassword;
    COrvArray<OrvZipEntryRecord> m_aEntries;
    bool m_bEnded = false;
    uint32_t m_nFailed = kOrvZipOk;
    COrvError m_err;
    int64_t m_nSelfDev = -1;  // the archive file itself, which a folder walk must not add
    int64_t m_nSelfIno = -1;
};

namespace {

bool IsHandle(const COrvZip* h) {
    return h->m_nMagic == kZipMagic;
}

// Checks a handle and the state before an addition: 0, or the result to return.
uint32_t CheckAdd(COrvZip* h, const char* pszName) {
    if (h == nullptr)
        return kOrvZipArgs;
    if (!IsHandle(h))
        return kOrvZipMixed;
    if (h->m_bEnded)
        return kOrvZipEnded;
    if (h->m_nFailed != kOrvZipOk)
        return kOrvZipPreviousError;
    if (pszName == nullptr || *pszName == 0)
        return kOrvZipArgs;
    return kOrvZipOk;
}

// Records the outcome of an addition: a failure makes later additions give kOrvZipPreviousError.
uint32_t Done(COrvZip* h, uint32_t n) {
    if (n != kOrvZipOk)
        h->m_nFailed = n;
    return SetLast(n);
}

COrvStringA EntryName(const char* pszName, bool bFolder) {
    COrvStringA s(pszName);
    s.Replace('\\', '/');
    if (bFolder && s[s.GetLength() - 1] != '/')
        s += '/';
    return s;
}

uint32_t WriteLocalHeader(COrvZip* h, const OrvZipEntryRecord& e, bool bKnown) {
    unsigned char a[30 + 17 + 20];
    CLe le(a);
    le.U32(0x04034B50);
    le.U16(e.bZip64Local ? 45 : 20);
    le.U16(e.nFlags);
    le.U16(e.nMethod);
    le.U32(e.nDosTime);
    le.U32(bKnown ? e.nCrc : 0);
    le.U32(e.bZip64Local ? k32Max : bKnown ? static_cast<uint32_t>(e.nCompressed) : 0);
    le.U32(e.bZip64Local ? k32Max : bKnown ? static_cast<uint32_t>(e.nSize) : 0);
    le.U16(static_cast<uint32_t>(e.sName.GetLength()));
    le.U16(e.bZip64Local ? 17 + 20 : 17);
    const size_t nFixed = le.Size();
    unsigned char x[17 + 20];
    CLe lx(x);
    lx.U16(0x5455);
    lx.U16(13);
    x[4] = 7;
    CLe lt(x + 5);
    lt.U32(e.nMTime);
    lt.U32(e.nATime);
    lt.U32(e.nCTime);
    if (e.bZip64Local) {
        CLe l64(x + 17);
        l64.U16(0x0001);
        l64.U16(16);
        l64.U64(bKnown ? e.nSize : 0);
        l64.U64(bKnown ? e.nCompressed : 0);
    }
    uint32_t n = h->m_sink.Write(a, nFixed, h->m_err);
    if (n == kOrvZipOk)
        n = h->m_sink.Write(e.sName.GetString(), static_cast<size_t>(e.sName.GetLength()),
                            h->m_err);
    if (n == kOrvZipOk)
        n = h->m_sink.Write(x, e.bZip64Local ? 37 : 17, h->m_err);
    return n;
}

uint32_t WriteDescriptor(COrvZip* h, const OrvZipEntryRecord& e) {
    unsigned char a[24];
    CLe le(a);
    le.U32(0x08074B50);
    le.U32(e.nCrc);
    if (e.bZip64Local) {
        le.U64(e.nCompressed);
        le.U64(e.nSize);
    } else {
        le.U32(static_cast<uint32_t>(e.nCompressed));
        le.U32(static_cast<uint32_t>(e.nSize));
    }
    return h->m_sink.Write(a, le.Size(), h->m_err);
}

// Writes data of an entry, encrypting a copy in pieces when a password is set.
uint32_t WriteData(COrvZip* h, COrvZipCrypt* pCrypt, const unsigned char* p, size_t n) {
    if (pCrypt == nullptr)
        return h->m_sink.Write(p, n, h->m_err);
    unsigned char a[65536];
    while (n > 0) {
        const size_t k = n < sizeof a ? n : sizeof a;
        memcpy(a, p, k);
        pCrypt->Encrypt(a, k);
        const uint32_t r = h->m_sink.Write(a, k, h->m_err);
        if (r != kOrvZipOk)
            return r;
        p += k;
        n -= k;
    }
    return kOrvZipOk;
}

// Starts the encryption of an entry: keys from the password, then the 12-byte header of random
// bytes whose last byte is the high byte of the DOS time (the check byte of entries with a data
// descriptor).
uint32_t WriteCryptHeader(COrvZip* h, COrvZipCrypt& crypt, const OrvZipEntryRecord& e) {
    crypt.Init(h->m_sPassword);
    unsigned char a[12];
    if (!OrvZipRandomBytes(a, sizeof a)) {
        h->m_err.SetErrno(errno, "Cannot get random bytes: ");
        return kOrvZipNotInitialised;
    }
    a[11] = static_cast<unsigned char>(e.nDosTime >> 8);
    crypt.Encrypt(a, sizeof a);
    return h->m_sink.Write(a, sizeof a, h->m_err);
}

// Remembers a completed entry for the central directory.
uint32_t Remember(COrvZip* h, OrvZipEntryRecord& e) {
    if (h->m_aEntries.Add(e) == SIZE_MAX) {
        h->m_err.Set(enNetNoMemory, "Cannot remember zip entry");
        return kOrvZipNoAlloc;
    }
    return kOrvZipOk;
}

// The end of an entry whose data went out with result n: its descriptor and its place in the
// directory, or, after any failure, the archive cut back to where the entry began.
uint32_t EndEntry(COrvZip* h, OrvZipEntryRecord& e, uint32_t n) {
    if (n == kOrvZipOk)
        n = WriteDescriptor(h, e);
    if (n == kOrvZipOk)
        n = Remember(h, e);
    if (n != kOrvZipOk)
        h->m_sink.Rewind(e.nOffset);
    return n;
}

}  // namespace

void OrvZipFillRecord(OrvZipEntryRecord& e, const char* pszName, bool bFolder, bool bEncrypt) {
    e.sName = EntryName(pszName, bFolder);
    e.nMethod = bFolder || IsStoredExtension(e.sName) ? 0 : 8;
    e.nFlags = 0x0008 | (bEncrypt && !bFolder ? 0x0001 : 0) | (IsAscii(e.sName) ? 0 : 0x0800);
}

void OrvZipSetTimes(OrvZipEntryRecord& e, OrvTime tMod, OrvTime tAccess, OrvTime tCreate) {
    e.nDosTime = OrvZipDosTime(tMod);
    e.nMTime = static_cast<uint32_t>(tMod);
    e.nATime = static_cast<uint32_t>(tAccess);
    e.nCTime = static_cast<uint32_t>(tCreate);
}

static uint32_t OrvZipCompress(OrvZipPrepared& prep, struct libdeflate_compressor* pComp) {
    OrvZipEntryRecord& e = prep.rec;
    e.nSize = prep.nData;
    e.nCrc = static_cast<uint32_t>(libdeflate_crc32(0, prep.pData, prep.nData));
    if (e.nMethod == 0) {
        e.nCompressed = prep.nData;
        return kOrvZipOk;
    }
    const size_t nBound = libdeflate_deflate_compress_bound(pComp, prep.nData);
    prep.pOut = static_cast<unsigned char*>(malloc(nBound));
    if (prep.pOut == nullptr)
        return kOrvZipNoAlloc;
    const size_t n = libdeflate_deflate_compress(pComp, prep.pData, prep.nData, prep.pOut, nBound);
    if (n == 0)
        return kOrvZipFlate;
    e.nCompressed = n;
    return kOrvZipOk;
}

OrvZipPrepared::~OrvZipPrepared() {
    free(pOut);
    free(pOwned);
}

// Writes an entry whose data is ready in memory (folders: none).
static uint32_t OrvZipWritePrepared(COrvZip* h, OrvZipPrepared& prep) {
    OrvZipEntryRecord& e = prep.rec;
    const bool bEncrypt = (e.nFlags & 0x0001) != 0;
    const unsigned char* pOut = e.nMethod == 0 ? prep.pData : prep.pOut;
    if (bEncrypt)
        e.nCompressed += 12;
    e.nOffset = h->m_sink.Pos();
    e.bZip64Local = e.nSize >= g_nOrvZip64Limit || e.nCompressed >= g_nOrvZip64Limit;
    COrvZipCrypt crypt;
    uint32_t n = WriteLocalHeader(h, e, true);
    if (n == kOrvZipOk && bEncrypt)
        n = WriteCryptHeader(h, crypt, e);
    if (n == kOrvZipOk)
        n = WriteData(h, bEncrypt ? &crypt : nullptr, pOut,
                      static_cast<size_t>(e.nCompressed - (bEncrypt ? 12 : 0)));
    return EndEntry(h, e, n);
}

namespace {

// Streams a large open file through zlib's deflate (or stored) into the archive.
uint32_t WriteStreamed(COrvZip* h, OrvZipEntryRecord& e, OrvFile& file, uint64_t nExpected) {
    const bool bEncrypt = (e.nFlags & 0x0001) != 0;
    // Deflate can grow data that does not compress by a few bytes per block: leave room for that.
    e.bZip64Local = nExpected >= g_nOrvZip64Limit - (g_nOrvZip64Limit >> 6);
    e.nOffset = h->m_sink.Pos();
    COrvZipCrypt crypt;
    uint32_t n = WriteLocalHeader(h, e, false);
    if (n == kOrvZipOk && bEncrypt)
        n = WriteCryptHeader(h, crypt, e);
    z_stream z;
    memset(&z, 0, sizeof z);
    bool bZInit = false;
    if (n == kOrvZipOk && e.nMethod == 8) {
        if (deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            n = kOrvZipFlate;
        bZInit = n == kOrvZipOk;
    }
    unsigned char* pIn = static_cast<unsigned char*>(malloc(kStreamChunk));
    unsigned char* pOut = static_cast<unsigned char*>(malloc(kStreamChunk));
    if (n == kOrvZipOk && (pIn == nullptr || pOut == nullptr))
        n = kOrvZipNoAlloc;
    uint32_t nCrc = 0;
    uint64_t nSize = 0;
    uint64_t nComp = bEncrypt ? 12 : 0;
    bool bEnd = false;
    while (n == kOrvZipOk && !bEnd) {
        const long long r = file.Read(pIn, kStreamChunk, h->m_err);
        if (r < 0) {
            n = kOrvZipRead;
            break;
        }
        bEnd = r == 0;
        nCrc = static_cast<uint32_t>(libdeflate_crc32(nCrc, pIn, static_cast<size_t>(r)));
        nSize += static_cast<uint64_t>(r);
        if (e.nMethod == 0) {
            n = WriteData(h, bEncrypt ? &crypt : nullptr, pIn, static_cast<size_t>(r));
            nComp += static_cast<uint64_t>(r);
            continue;
        }
        z.next_in = pIn;
        z.avail_in = static_cast<uInt>(r);
        do {
            z.next_out = pOut;
            z.avail_out = static_cast<uInt>(kStreamChunk);
            const int zr = deflate(&z, bEnd ? Z_FINISH : Z_NO_FLUSH);
            if (zr == Z_STREAM_ERROR) {
                n = kOrvZipFlate;
                break;
            }
            const size_t k = kStreamChunk - z.avail_out;
            n = WriteData(h, bEncrypt ? &crypt : nullptr, pOut, k);
            nComp += k;
        } while (n == kOrvZipOk && (z.avail_out == 0 || (bEnd && z.avail_in > 0)));
    }
    if (bZInit)
        deflateEnd(&z);
    free(pIn);
    free(pOut);
    e.nCrc = nCrc;
    e.nSize = nSize;
    e.nCompressed = nComp;
    // The local header promised 32-bit sizes in the descriptor: a file that grew past them while
    // it was read cannot be described.
    if (n == kOrvZipOk && !e.bZip64Local && (nSize >= k32Max || nComp >= k32Max))
        n = kOrvZipMissize;
    return EndEntry(h, e, n);
}

}  // namespace

namespace {

// Opens a source file and fills its record; reads it whole when it is small enough.
uint32_t ReadSource(const COrvZip* h, const char* pszName, const char* pszPath,
                    OrvZipPrepared& prep, OrvFile& file, COrvError& err) {
    const bool bEncrypt = !h->m_sPassword.IsEmpty();
    const int64_t nSelfDev = h->m_nSelfDev;
    const int64_t nSelfIno = h->m_nSelfIno;
    if (!file.OpenRead(pszPath, err))
        return kOrvZipNoFile;
    struct stat st;
    if (OrvSysRetry([&] { return g_orv_sys.fstat(file.GetFd(), &st); }) != 0) {
        err.SetErrno(errno, COrvStringA("Cannot get info of ") + pszPath + ": ");
        return kOrvZipRead;
    }
    if (!S_ISREG(st.st_mode)) {
        err.Set(enNetBadRequest, COrvStringA("Not a regular file: ") + pszPath);
        return kOrvZipNoFile;
    }
    if (static_cast<int64_t>(st.st_dev) == nSelfDev &&
        static_cast<int64_t>(st.st_ino) == nSelfIno) {
        prep.bSelf = true;
        err.Set(enNetBadRequest, COrvStringA("Cannot add the archive to itself: ") + pszPath);
        return kOrvZipArgs;
    }
    OrvFileInfo info;
    if (!file.GetInfo(info, err))
        return kOrvZipRead;
    OrvZipFillRecord(prep.rec, pszName, false, bEncrypt);
    OrvZipSetTimes(prep.rec, st.st_mtime, st.st_atime, info.tCreation);
    // DOS bits of the file, and a Unix mode: owner read, owner write unless read-only, and the
    // owner's execute bit when the file has one (programs and scripts stay runnable).
    const uint32_t nDos =
        info.nAttributes & (kOrvAttrReadOnly | kOrvAttrHidden | kOrvAttrSystem | kOrvAttrArchive);
    uint32_t nMode = 0x8000 | 0400 | ((nDos & kOrvAttrReadOnly) != 0 ? 0 : 0200);
    if ((st.st_mode & S_IXUSR) != 0)
        nMode |= 0100;
    prep.rec.nExternal = nMode << 16 | nDos;
    prep.nFileSize = static_cast<uint64_t>(st.st_size);
    if (prep.nFileSize > kOrvZipWholeLimit)
        return kOrvZipOk;  // streamed by the writer
    // Read the whole file (one byte beyond its size shows whether it grew meanwhile).
    size_t nCap = static_cast<size_t>(prep.nFileSize) + 1;
    prep.pOwned = static_cast<unsigned char*>(malloc(nCap));
    if (prep.pOwned == nullptr)
        return kOrvZipNoAlloc;
    size_t nLen = 0;
    for (;;) {
        if (nLen == nCap) {
            if (nCap > kOrvZipWholeLimit) {
                prep.bWhole = false;  // grew beyond the limit: let the writer stream it
                free(prep.pOwned);
                prep.pOwned = nullptr;
                COrvError errIgnored;
                return file.SetPosition(0, errIgnored) ? kOrvZipOk : kOrvZipRead;
            }
            auto* p = static_cast<unsigned char*>(realloc(prep.pOwned, nCap * 2));
            if (p == nullptr)
                return kOrvZipNoAlloc;
            prep.pOwned = p;
            nCap *= 2;
        }
        const long long r = file.Read(prep.pOwned + nLen, nCap - nLen, err);
        if (r < 0)
            return kOrvZipRead;
        if (r == 0)
            break;
        nLen += static_cast<size_t>(r);
    }
    prep.pData = prep.pOwned;
    prep.nData = nLen;
    prep.bWhole = true;
    return kOrvZipOk;
}

}  // namespace

uint32_t OrvZipPrepareFile(const COrvZip* h, const char* pszName, const char* pszPath,
                           OrvZipPrepared& prep, OrvFile& file,
                           struct libdeflate_compressor* pComp) {
    uint32_t n = ReadSource(h, pszName, pszPath, prep, file, prep.err);
    if (n == kOrvZipOk && prep.bWhole)
        n = OrvZipCompress(prep, pComp);
    return n;
}

static uint32_t OrvZipAddPrepared(COrvZip* h, OrvZipPrepared& prep, OrvFile& file) {
    if (prep.bWhole)
        return OrvZipWritePrepared(h, prep);
    return WriteStreamed(h, prep.rec, file, prep.nFileSize);
}

struct libdeflate_compressor* OrvZipCompressor() {
    return libdeflate_alloc_compressor(6);
}

void OrvZipFreeCompressor(struct libdeflate_compressor* p) {
    libdeflate_free_compressor(p);
}

uint32_t OrvZipAddReady(COrvZip* h, OrvZipPrepared& prep, OrvFile& file, uint32_t nPrepResult) {
    const uint32_t n = CheckAdd(h, "-");
    if (n != kOrvZipOk)
        return SetLast(n);
    if (nPrepResult != kOrvZipOk) {
        if (prep.err.Failed())
            h->m_err.Set(prep.err.Code(), prep.err.Text());
        else
            h->m_err.Set(nPrepResult == kOrvZipNoAlloc ? enNetNoMemory : enNetBadRequest,
                         OrvZipResultMessage(nPrepResult));
        return Done(h, nPrepResult);
    }
    return Done(h, OrvZipAddPrepared(h, prep, file));
}

// ---- public calls ----

COrvZip* OrvZipCreateFile(const char* pszPath, const char* pszPassword) {
    if (pszPath == nullptr || *pszPath == 0) {
        SetLast(kOrvZipArgs);
        return nullptr;
    }
    auto* h = new (std::nothrow) COrvZip;
    if (h == nullptr || !h->m_sink.OpenFile(pszPath, h->m_err)) {
        delete h;
        SetLast(kOrvZipNoFile);
        return nullptr;
    }
    struct stat st;
    if (OrvSysRetry([&] { return g_orv_sys.fstat(h->m_sink.Fd(), &st); }) == 0) {
        h->m_nSelfDev = static_cast<int64_t>(st.st_dev);
        h->m_nSelfIno = static_cast<int64_t>(st.st_ino);
    }
    h->m_sPassword = pszPassword != nullptr ? pszPassword : "";
    SetLast(kOrvZipOk);
    return h;
}

COrvZip* OrvZipCreateMemory(void* pBuffer, size_t nSize, const char* pszPassword) {
    if (nSize == 0) {
        SetLast(kOrvZipMemSize);
        return nullptr;
    }
    auto* h = new (std::nothrow) COrvZip;
    if (h == nullptr) {
        SetLast(kOrvZipNoAlloc);
        return nullptr;
    }
    if (!h->m_sink.OpenMemory(pBuffer, nSize)) {
        delete h;
        SetLast(kOrvZipNoAlloc);
        return nullptr;
    }
    h->m_sPassword = pszPassword != nullptr ? pszPassword : "";
    SetLast(kOrvZipOk);
    return h;
}

COrvZip* OrvZipOpenFile(const char*, const char*) {
    SetLast(kOrvZipMixed);
    return nullptr;
}

uint32_t OrvZipAddFile(COrvZip* hZip, const char* pszName, const char* pszPath) {
    uint32_t n = CheckAdd(hZip, pszName);
    if (n == kOrvZipOk && pszPath == nullptr)
        n = kOrvZipArgs;
    if (n != kOrvZipOk)
        return SetLast(n);
    OrvZipPrepared prep;
    OrvFile file;
    struct libdeflate_compressor* pComp = OrvZipCompressor();
    n = pComp == nullptr ? kOrvZipNoAlloc
                         : OrvZipPrepareFile(hZip, pszName, pszPath, prep, file, pComp);
    OrvZipFreeCompressor(pComp);
    return OrvZipAddReady(hZip, prep, file, n);
}

uint32_t OrvZipAddData(COrvZip* hZip, const char* pszName, const void* pData, size_t nLen) {
    uint32_t n = CheckAdd(hZip, pszName);
    if (n == kOrvZipOk && pData == nullptr && nLen > 0)
        n = kOrvZipArgs;
    if (n != kOrvZipOk)
        return SetLast(n);
    OrvZipPrepared prep;
    OrvZipFillRecord(prep.rec, pszName, false, !hZip->m_sPassword.IsEmpty());
    const OrvTime tNow = OrvTimeNow();
    OrvZipSetTimes(prep.rec, tNow, tNow, tNow);
    prep.rec.nExternal = (0x8000u | 0600u) << 16 | kOrvAttrArchive;
    prep.pData = static_cast<const unsigned char*>(pData);
    prep.nData = nLen;
    prep.bWhole = true;
    struct libdeflate_compressor* pComp = OrvZipCompressor();
    n = pComp == nullptr ? kOrvZipNoAlloc : OrvZipCompress(prep, pComp);
    OrvZipFreeCompressor(pComp);
    if (n == kOrvZipOk)
        n = OrvZipWritePrepared(hZip, prep);
    return Done(hZip, n);
}

void OrvZipFolderRecord(OrvZipEntryRecord& e, const char* pszName, OrvTime tMod, OrvTime tAccess,
                        OrvTime tCreate, uint32_t nDos) {
    OrvZipFillRecord(e, pszName, true, false);
    OrvZipSetTimes(e, tMod, tAccess, tCreate);
    // Owner read, write (unless read-only) and search: a folder without search permission could
    // not be used by whoever extracts it.
    const uint32_t nMode = 0x4000 | 0500 | ((nDos & kOrvAttrReadOnly) != 0 ? 0 : 0200);
    e.nExternal = nMode << 16 | 0x10 | nDos;
}

uint32_t OrvZipAddFolder(COrvZip* hZip, const char* pszName) {
    const uint32_t n = CheckAdd(hZip, pszName);
    if (n != kOrvZipOk)
        return SetLast(n);
    OrvZipPrepared prep;
    const OrvTime tNow = OrvTimeNow();
    OrvZipFolderRecord(prep.rec, pszName, tNow, tNow, tNow, 0);
    return OrvZipAddRecord(hZip, prep);
}

uint32_t OrvZipAddRecord(COrvZip* h, OrvZipPrepared& prep) {
    const uint32_t n = CheckAdd(h, "-");
    if (n != kOrvZipOk)
        return SetLast(n);
    prep.bWhole = true;
    return Done(h, OrvZipWritePrepared(h, prep));
}

namespace {

uint32_t WriteCentral(COrvZip* h, const OrvZipEntryRecord& e) {
    const bool bSize64 =
        e.bZip64Local || e.nSize >= g_nOrvZip64Limit || e.nCompressed >= g_nOrvZip64Limit;
    const bool bOff64 = e.nOffset >= g_nOrvZip64Limit;
    // The Zip64 field (when needed) comes first: minizip finds it only there.
    unsigned char x[28 + 9];
    size_t nExtra = 0;
    if (bSize64 || bOff64) {
        CLe l64(x);
        l64.U16(0x0001);
        l64.U16((bSize64 ? 16 : 0) + (bOff64 ? 8 : 0));
        if (bSize64) {
            l64.U64(e.nSize);
            l64.U64(e.nCompressed);
        }
        if (bOff64)
            l64.U64(e.nOffset);
        nExtra = l64.Size();
    }
    CLe lx(x + nExtra);
    lx.U16(0x5455);
    lx.U16(5);
    x[nExtra + 4] = 7;
    CLe lt(x + nExtra + 5);
    lt.U32(e.nMTime);
    nExtra += 9;
    unsigned char a[46];
    CLe le(a);
    le.U32(0x02014B50);
    le.U16(0x0B17);
    le.U16(bSize64 || bOff64 ? 45 : 20);
    le.U16(e.nFlags);
    le.U16(e.nMethod);
    le.U32(e.nDosTime);
    le.U32(e.nCrc);
    le.U32(bSize64 ? k32Max : static_cast<uint32_t>(e.nCompressed));
    le.U32(bSize64 ? k32Max : static_cast<uint32_t>(e.nSize));
    le.U16(static_cast<uint32_t>(e.sName.GetLength()));
    le.U16(static_cast<uint32_t>(nExtra));
    le.U16(0);  // comment
    le.U16(0);  // disk
    le.U16(0);  // internal attributes
    le.U32(e.nExternal);
    le.U32(bOff64 ? k32Max : static_cast<uint32_t>(e.nOffset));
    uint32_t n = h->m_sink.Write(a, sizeof a, h->m_err);
    if (n == kOrvZipOk)
        n = h->m_sink.Write(e.sName.GetString(), static_cast<size_t>(e.sName.GetLength()),
                            h->m_err);
    if (n == kOrvZipOk)
        n = h->m_sink.Write(x, nExtra, h->m_err);
    return n;
}

// Writes the central directory and the end record (with the Zip64 end record and locator before
// it when a count, size or offset does not fit its 16- or 32-bit field).
uint32_t EndArchive(COrvZip* h) {
    if (h->m_bEnded)
        return kOrvZipOk;
    h->m_bEnded = true;
    const uint64_t nStart = h->m_sink.Pos();
    uint32_t n = kOrvZipOk;
    for (size_t i = 0; n == kOrvZipOk && i < h->m_aEntries.GetCount(); ++i)
        n = WriteCentral(h, h->m_aEntries[i]);
    const uint64_t nDirSize = h->m_sink.Pos() - nStart;
    const uint64_t nCount = h->m_aEntries.GetCount();
    const bool b64 = nCount >= 0xFFFF || nStart >= g_nOrvZip64Limit || nDirSize >= g_nOrvZip64Limit;
    if (n == kOrvZipOk && b64) {
        const uint64_t nEnd64 = h->m_sink.Pos();
        unsigned char a[56 + 20];
        CLe le(a);
        le.U32(0x06064B50);
        le.U64(44);
        le.U16(45);
        le.U16(45);
        le.U32(0);
        le.U32(0);
        le.U64(nCount);
        le.U64(nCount);
        le.U64(nDirSize);
        le.U64(nStart);
        le.U32(0x07064B50);
        le.U32(0);
        le.U64(nEnd64);
        le.U32(1);
        n = h->m_sink.Write(a, le.Size(), h->m_err);
    }
    if (n == kOrvZipOk) {
        unsigned char a[22];
        CLe le(a);
        le.U32(0x06054B50);
        le.U16(0);
        le.U16(0);
        le.U16(nCount >= 0xFFFF ? 0xFFFF : static_cast<uint32_t>(nCount));
        le.U16(nCount >= 0xFFFF ? 0xFFFF : static_cast<uint32_t>(nCount));
        le.U32(b64 ? Cap32(nDirSize | (nDirSize >= g_nOrvZip64Limit ? k32Max : 0))
                   : Cap32(nDirSize));
        le.U32(b64 ? Cap32(nStart | (nStart >= g_nOrvZip64Limit ? k32Max : 0)) : Cap32(nStart));
        le.U16(0);
        n = h->m_sink.Write(a, sizeof a, h->m_err);
    }
    if (n == kOrvZipOk)
        n = h->m_sink.Finish(h->m_err);
    if (n != kOrvZipOk)
        h->m_nFailed = n;
    return n;
}

}  // namespace

uint32_t OrvZipGetMemory(COrvZip* hZip, void** ppData, size_t* pnLen) {
    if (ppData != nullptr)
        *ppData = nullptr;
    if (pnLen != nullptr)
        *pnLen = 0;
    if (hZip == nullptr || ppData == nullptr || pnLen == nullptr)
        return SetLast(kOrvZipArgs);
    if (!IsHandle(hZip))
        return SetLast(kOrvZipMixed);
    if (!hZip->m_sink.IsMemory())
        return SetLast(kOrvZipNotMemory);
    const bool bWasEnded = hZip->m_bEnded;
    const uint32_t n = EndArchive(hZip);
    if (n != kOrvZipOk || (bWasEnded && hZip->m_nFailed != kOrvZipOk))
        return SetLast(n != kOrvZipOk ? n : hZip->m_nFailed);
    *ppData = hZip->m_sink.Memory();
    *pnLen = static_cast<size_t>(hZip->m_sink.Pos());
    return SetLast(kOrvZipOk);
}

uint32_t OrvZipClose(COrvZip* hZip) {
    return OrvZipCloseKeep(hZip, nullptr);
}

uint32_t OrvZipCloseKeep(COrvZip* hZip, COrvError* pErr) {
    if (hZip == nullptr)
        return SetLast(kOrvZipArgs);
    if (!IsHandle(hZip))
        return SetLast(kOrvZipMixed);
    uint32_t n = EndArchive(hZip);
    if (!hZip->m_sink.Close(hZip->m_err) && n == kOrvZipOk)
        n = kOrvZipWrite;
    if (pErr != nullptr && n != kOrvZipOk && hZip->m_err.Failed())
        pErr->Set(hZip->m_err.Code(), hZip->m_err.Text());
    hZip->m_nMagic = 0;
    delete hZip;
    return SetLast(n);
}

const COrvError& OrvZipLastError(const COrvZip* hZip) {
    static const COrvError s_none;
    return hZip != nullptr && IsHandle(hZip) ? hZip->m_err : s_none;
}

uint32_t OrvZipLastResult() {
    return s_nLastResult.load(std::memory_order_relaxed);
}

const char* OrvZipResultMessage(uint32_t nCode) {
    switch (nCode == kOrvZipLastResult ? OrvZipLastResult() : nCode) {
        case kOrvZipOk:
            return "Success";
        case kOrvZipNoDuplicate:
            return "Culdn't duplicate handle";
        case kOrvZipNoFile:
            return "Couldn't create/open file";
        case kOrvZipNoAlloc:
            return "Failed to allocate memory";
        case kOrvZipWrite:
            return "Error writing to file";
        case kOrvZipNotFound:
            return "File not found in the zipfile";
        case kOrvZipMore:
            return "Still more data to unzip";
        case kOrvZipCorrupt:
            return "Zipfile is corrupt or not a zipfile";
        case kOrvZipRead:
            return "Error reading file";
        case kOrvZipArgs:
            return "Caller: faulty arguments";
        case kOrvZipNotMemory:
            return "Caller: can only get memory of a memory zipfile";
        case kOrvZipMemSize:
            return "Caller: not enough space allocated for memory zipfile";
        case kOrvZipPreviousError:
            return "Caller: there was a previous error";
        case kOrvZipEnded:
            return "Caller: additions to the zip have already been ended";
        case kOrvZipMissize:
            return "Zip-bug: the anticipated size turned out wrong";
        case kOrvZipPartialUnzip:
            return "Caller: the file had already been partially unzipped";
        case kOrvZipMixed:
            return "Caller: mixing creation and opening of zip";
        case kOrvZipNotInitialised:
            return "Zip-bug: internal initialisation not completed";
        case kOrvZipSeek:
            return "Zip-bug: trying to seek the unseekable";
        case kOrvZipNoChange:
            return "Zip-bug: tried to change mind, but not allowed";
        case kOrvZipFlate:
            return "Zip-bug: an internal error during flation";
        default:
            return "unknown zip result code";
    }
}

size_t OrvZipResultText(uint32_t nCode, char* pszBuf, size_t nSize) {
    const char* psz = OrvZipResultMessage(nCode);
    const size_t nLen = strlen(psz);
    if (pszBuf != nullptr && nSize > 0) {
        const size_t n = nLen < nSize - 1 ? nLen : nSize - 1;
        memcpy(pszBuf, psz, n);
        pszBuf[n] = 0;
    }
    return nLen;
}
