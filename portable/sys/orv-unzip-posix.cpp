// Extraction of a zip archive into a folder. The archive is read through minizip over a
// descriptor; every file-system step is taken relative to the descriptor of the folder above it
// (openat, mkdirat, symlinkat) with O_NOFOLLOW, so that no name, link or race can lead a write
// outside the target folder.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <unzip.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <unordered_set>

#include "orv-fd.h"
#include "orv-sys.h"
#include "orv-zip-os.h"
#include "orv-zip.h"

namespace {

constexpr size_t kCopyBlock = 65536;
constexpr size_t kMaxLinkTarget = 2048;

// ---- minizip reads the archive through our descriptor ----

struct CArchiveStream {
    int fd = -1;
    uint64_t nPos = 0;
    int nErrno = 0;
    // minizip reads headers a few bytes at a time: they come from this buffer.
    unsigned char aBuf[65536];
    uint64_t nBufStart = 0;
    size_t nBufLen = 0;
};

voidpf ZCALLBACK StreamOpen(voidpf pOpaque, const void*, int) {
    return pOpaque;
}

// Reads up to nSize bytes at nAt; the count (short only at the end), or -1 with errno.
long ReadAt(int fd, void* pBuf, size_t nSize, uint64_t nAt) {
    size_t nDone = 0;
    while (nDone < nSize) {
        const long r = OrvSysRetry([&] {
            return g_orv_sys.pread(fd, static_cast<char*>(pBuf) + nDone, nSize - nDone,
                                   static_cast<off_t>(nAt + nDone));
        });
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        nDone += static_cast<size_t>(r);
    }
    return static_cast<long>(nDone);
}

uLong ZCALLBACK StreamRead(voidpf, voidpf pStream, void* pBuf, uLong nSize) {
    auto* s = static_cast<CArchiveStream*>(pStream);
    auto* pOut = static_cast<unsigned char*>(pBuf);
    size_t nDone = 0;
    while (nDone < nSize) {
        const uint64_t nAt = s->nPos + nDone;
        if (nAt >= s->nBufStart && nAt < s->nBufStart + s->nBufLen) {
            const size_t nOff = static_cast<size_t>(nAt - s->nBufStart);
            const size_t n = std::min<size_t>(nSize - nDone, s->nBufLen - nOff);
            memcpy(pOut + nDone, s->aBuf + nOff, n);
            nDone += n;
            continue;
        }
        if (nSize - nDone >= sizeof s->aBuf) {  // large reads go straight to the caller
            const long r = ReadAt(s->fd, pOut + nDone, nSize - nDone, nAt);
            if (r < 0)
                s->nErrno = errno;
            nDone += r > 0 ? static_cast<size_t>(r) : 0;
            break;
        }
        const long r = ReadAt(s->fd, s->aBuf, sizeof s->aBuf, nAt);
        if (r <= 0) {
            if (r < 0)
                s->nErrno = errno;
            break;
        }
        s->nBufStart = nAt;
        s->nBufLen = static_cast<size_t>(r);
    }
    s->nPos += nDone;
    return static_cast<uLong>(nDone);
}

uLong ZCALLBACK StreamWrite(voidpf, voidpf, const void*, uLong) {
    return 0;
}

ZPOS64_T ZCALLBACK StreamTell(voidpf, voidpf pStream) {
    return static_cast<CArchiveStream*>(pStream)->nPos;
}

long ZCALLBACK StreamSeek(voidpf, voidpf pStream, ZPOS64_T nOffset, int nOrigin) {
    auto* s = static_cast<CArchiveStream*>(pStream);
    uint64_t nBase = 0;
    if (nOrigin == ZLIB_FILEFUNC_SEEK_CUR) {
        nBase = s->nPos;
    } else if (nOrigin == ZLIB_FILEFUNC_SEEK_END) {
        struct stat st;
        if (OrvSysRetry([&] { return g_orv_sys.fstat(s->fd, &st); }) != 0) {
            s->nErrno = errno;
            return -1;
        }
        nBase = static_cast<uint64_t>(st.st_size);
    }
    s->nPos = nBase + nOffset;
    return 0;
}

int ZCALLBACK StreamClose(voidpf, voidpf) {
    return 0;
}

int ZCALLBACK StreamError(voidpf, voidpf pStream) {
    return static_cast<CArchiveStream*>(pStream)->nErrno;
}

// Owns minizip's reader.
class CUnzipHandle {
public:
    explicit CUnzipHandle(unzFile h) : m_h(h) {}
    ~CUnzipHandle() {
        if (m_h != nullptr)
            unzClose(m_h);
    }
    CUnzipHandle(const CUnzipHandle&) = delete;
    CUnzipHandle& operator=(const CUnzipHandle&) = delete;
    unzFile Get() const { return m_h; }

private:
    unzFile m_h;
};

// ---- entry names ----

// Splits an entry name into its parts, refusing every name that could reach outside the target:
// absolute paths, drive letters, backslashes and ".." parts. Empty and "." parts are dropped.
bool SplitEntryName(const char* pszName, size_t nNameLen, COrvArray<COrvStringA>& aParts,
                    COrvError& err) {
    const size_t nLen = strlen(pszName);
    const char* pszWhy = nullptr;
    if (nLen != nNameLen)
        pszWhy = "it holds a NUL character";
    else if (nLen == 0)
        pszWhy = "it is empty";
    else if (pszName[0] == '/')
        pszWhy = "it is an absolute path";
    else if (nLen >= 2 && pszName[1] == ':' &&
             ((pszName[0] | 0x20) >= 'a' && (pszName[0] | 0x20) <= 'z'))
        pszWhy = "it starts with a drive letter";
    else if (strchr(pszName, '\\') != nullptr)
        pszWhy = "it holds a backslash";
    for (const char* p = pszName; pszWhy == nullptr && *p != 0;) {
        const char* pEnd = strchr(p, '/');
        const size_t n = pEnd != nullptr ? static_cast<size_t>(pEnd - p) : strlen(p);
        if (n == 2 && p[0] == '.' && p[1] == '.')
            pszWhy = "it has a \"..\" part";
        else if (n > 0 && !(n == 1 && p[0] == '.') &&
                 aParts.Add(COrvStringA(p, static_cast<int>(n))) == SIZE_MAX)
            return err.Set(enNetNoMemory, "Cannot split entry name");
        p += n;
        if (*p == '/')
            ++p;
    }
    if (pszWhy == nullptr && aParts.GetCount() == 0)
        pszWhy = "it names no file";
    if (pszWhy != nullptr)
        return err.SetFormat(enNetBadRequest, "Unsafe zip entry refused: '%s': %s", pszName,
                             pszWhy);
    return true;
}

// Whether a link at depth nDepth below the target (0: directly in it) with this target stays
// inside the target folder, read as text: every ".." climbs one folder.
bool LinkStaysInside(const char* pszTarget, size_t nDepth) {
    if (*pszTarget == 0 || *pszTarget == '/' || strchr(pszTarget, '\\') != nullptr)
        return false;
    long long nLevel = static_cast<long long>(nDepth);
    for (const char* p = pszTarget; *p != 0;) {
        const char* pEnd = strchr(p, '/');
        const size_t n = pEnd != nullptr ? static_cast<size_t>(pEnd - p) : strlen(p);
        if (n == 2 && p[0] == '.' && p[1] == '.') {
            if (--nLevel < 0)
                return false;
        } else if (n > 0 && !(n == 1 && p[0] == '.')) {
            ++nLevel;
        }
        p += n;
        if (*p == '/')
            ++p;
    }
    return true;
}

// ---- the target folder ----

// Opens (creating when missing) the folder sName inside dirfd, never through a link.
bool OpenSubFolder(const OrvFd& dir, const COrvStringA& sName, const char* pszEntry, OrvFd& out,
                   COrvError& err) {
    const int nFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = OrvSysRetry([&] { return openat(dir.Get(), sName, nFlags); });
    if (fd < 0 && errno == ENOENT) {
        if (OrvSysRetry([&] { return mkdirat(dir.Get(), sName, 0755); }) != 0 && errno != EEXIST)
            return err.SetErrno(
                errno, COrvStringA("Cannot create folder for zip entry '") + pszEntry + "': ");
        fd = OrvSysRetry([&] { return openat(dir.Get(), sName, nFlags); });
    }
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR)
            return err.SetFormat(enNetBadRequest,
                                 "Unsafe zip entry refused: '%s': its path runs through a link or "
                                 "a file ('%s')",
                                 pszEntry, sName.GetString());
        return err.SetErrno(errno,
                            COrvStringA("Cannot open folder for zip entry '") + pszEntry + "': ");
    }
    out = OrvFd(fd);
    return true;
}

// A file or link is made under a temporary name beside its place and renamed into it once it is
// complete, so a failed entry never destroys an item that an earlier extraction left there
// (rename replaces a link itself, never what it points to).
COrvStringA TempName() {
    static std::atomic<unsigned> s_nCounter{0};
    COrvStringA s;
    s.Format(".orv-unzip-%d-%u", static_cast<int>(getpid()), s_nCounter.fetch_add(1));
    return s;
}

bool MoveIntoPlace(const OrvFd& dir, const COrvStringA& sTemp, const COrvStringA& sLeaf,
                   const char* pszEntry, COrvError& err) {
    if (OrvSysRetry([&] { return renameat(dir.Get(), sTemp, dir.Get(), sLeaf); }) == 0)
        return true;
    err.SetErrno(errno, COrvStringA("Cannot create zip entry '") + pszEntry + "': ");
    (void)unlinkat(dir.Get(), sTemp, 0);
    return false;
}

// The permission bits a file gets from an entry's attributes: the archive's own bits without
// setuid, setgid, sticky and world-write; 0644 (0444 when marked read-only) when it gives none.
mode_t FileMode(uLong nExternal) {
    const mode_t nUnix = static_cast<mode_t>(nExternal >> 16);
    if ((nUnix & 0777) != 0)
        return nUnix & 0777 & ~static_cast<mode_t>(S_IWOTH);
    return (nExternal & 0x01) != 0 ? 0444 : 0644;
}

// The modification time of an entry: the "UT" field's when present, else its DOS date and time
// read as local time.
time_t EntryTime(const unz_file_info64& info, const unsigned char* pExtra, size_t nExtra) {
    for (size_t i = 0; i + 4 <= nExtra;) {
        const unsigned nId = pExtra[i] | pExtra[i + 1] << 8;
        const size_t nLen = pExtra[i + 2] | pExtra[i + 3] << 8;
        if (i + 4 + nLen > nExtra)
            break;
        if (nId == 0x5455 && nLen >= 5 && (pExtra[i + 4] & 1) != 0) {
            const unsigned char* p = pExtra + i + 5;
            return static_cast<time_t>(static_cast<int32_t>(
                static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24));
        }
        i += 4 + nLen;
    }
    struct tm tmLocal = {};
    tmLocal.tm_year = static_cast<int>(info.tmu_date.tm_year) - 1900;
    tmLocal.tm_mon = static_cast<int>(info.tmu_date.tm_mon);
    tmLocal.tm_mday = static_cast<int>(info.tmu_date.tm_mday);
    tmLocal.tm_hour = static_cast<int>(info.tmu_date.tm_hour);
    tmLocal.tm_min = static_cast<int>(info.tmu_date.tm_min);
    tmLocal.tm_sec = static_cast<int>(info.tmu_date.tm_sec);
    tmLocal.tm_isdst = -1;
    return mktime(&tmLocal);
}

// Moves encryption-header bytes from the data into aHeader; true while some are still missing.
bool TakeHeader(unsigned char* aHeader, size_t& nHeader, unsigned char*& p, size_t& n) {
    while (nHeader > 0 && n > 0) {
        aHeader[12 - nHeader--] = *p++;
        --n;
    }
    return nHeader > 0;
}

// A raw inflate stream, ended by the destructor.
struct CInflater {
    z_stream z = {};
    bool bInit = false;
    bool Init() {
        bInit = inflateInit2(&z, -MAX_WBITS) == Z_OK;
        return bInit;
    }
    ~CInflater() {
        if (bInit)
            inflateEnd(&z);
    }
};

bool UnzipFail(COrvError& err, int nCode, const char* pszEntry, const char* pszWhy) {
    return err.SetFormat(enNetBadRequest, "Unzip error %d in zip entry '%s': %s", nCode, pszEntry,
                         pszWhy);
}

// Where an entry's data lies and how large it is, read from its central record (with the Zip64
// field where one is present) and its local header.
struct CEntrySpan {
    uint64_t nStart = 0;
    uint64_t nCompressed = 0;
    uint64_t nSize = 0;
};

uint32_t Le16(const unsigned char* p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8);
}

uint32_t Le32(const unsigned char* p) {
    return Le16(p) | Le16(p + 2) << 16;
}

uint64_t Le64(const unsigned char* p) {
    return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}

// The number of bytes in front of the archive proper (a self-extracting program, say): where the
// end records say the directory ends, against where it really ends. 0 when it cannot be told.
uint64_t PrefixLength(int fd) {
    struct stat st;
    if (OrvSysRetry([&] { return g_orv_sys.fstat(fd, &st); }) != 0 || st.st_size < 22)
        return 0;
    const uint64_t nSize = static_cast<uint64_t>(st.st_size);
    const size_t nTail = static_cast<size_t>(std::min<uint64_t>(nSize, 65535 + 22 + 20 + 56));
    std::string tail(nTail, '\0');
    auto* p = reinterpret_cast<unsigned char*>(tail.data());
    if (ReadAt(fd, p, nTail, nSize - nTail) != static_cast<long>(nTail))
        return 0;
    for (size_t i = nTail - 22 + 1; i-- > 0;) {
        if (Le32(p + i) != 0x06054B50 || i + 22 + Le16(p + i + 20) != nTail)
            continue;
        uint64_t nDirEnd = static_cast<uint64_t>(Le32(p + i + 16)) + Le32(p + i + 12);
        uint64_t nAt = nSize - nTail + i;  // where the directory really ends
        if (i >= 20 + 56 && Le32(p + i - 20) == 0x07064B50 && Le32(p + i - 76) == 0x06064B50) {
            nDirEnd = Le64(p + i - 76 + 48) + Le64(p + i - 76 + 40);
            nAt -= 76;
        }
        return nAt >= nDirEnd ? nAt - nDirEnd : 0;
    }
    return 0;
}

// One archive's extraction state.
class CExtractor {
public:
    CExtractor(unzFile h, int fdRoot, const char* pszPassword, CArchiveStream& stream)
        : m_h(h),
          m_root(fdRoot),
          m_pszPassword(pszPassword),
          m_stream(stream),
          m_nShift(PrefixLength(stream.fd)) {}

    bool Entry(COrvError& err);

private:
    bool Locate(const char* pszEntry, CEntrySpan& span, COrvError& err);
    bool Put(const char* pszEntry, const unsigned char* p, size_t n, int fdOut, COrvStringA* psOut,
             COrvError& err);
    bool Data(const char* pszEntry, const unz_file_info64& info, int fdOut, COrvStringA* psOut,
              COrvError& err);

    unzFile m_h;
    OrvFd m_root;
    const char* m_pszPassword;
    CArchiveStream& m_stream;
    std::unordered_set<std::string> m_names;
    uint64_t m_nShift;          // bytes in front of the archive proper (a self-extractor's program)
    std::string m_sLastParent;  // the parts of the folder m_lastDir stands for
    OrvFd m_lastDir;
    char m_szName[65536 + 1];
    unsigned char m_aExtra[65536];
    unsigned char m_aRaw[kCopyBlock];
    unsigned char m_aBuf[kCopyBlock];
};

// minizip walks the directory, but reads the sizes and offsets of Zip64 entries wrongly on 64-bit
// systems: the span of the data is taken from the records themselves.
bool CExtractor::Locate(const char* pszEntry, CEntrySpan& span, COrvError& err) {
    unz64_file_pos pos;
    if (unzGetFilePos64(m_h, &pos) != UNZ_OK)
        return UnzipFail(err, UNZ_PARAMERROR, pszEntry, "cannot find the entry");
    unsigned char c[46];
    if (ReadAt(m_stream.fd, c, sizeof c, m_nShift + pos.pos_in_zip_directory) != sizeof c ||
        Le32(c) != 0x02014B50)
        return UnzipFail(err, UNZ_BADZIPFILE, pszEntry, "its directory record is damaged");
    span.nCompressed = Le32(c + 20);
    span.nSize = Le32(c + 24);
    uint64_t nOffset = Le32(c + 42);
    const size_t nExtra = Le16(c + 30);
    if (ReadAt(m_stream.fd, m_aExtra, nExtra,
               m_nShift + pos.pos_in_zip_directory + 46 + Le16(c + 28)) !=
        static_cast<long>(nExtra))
        return UnzipFail(err, UNZ_BADZIPFILE, pszEntry, "its directory record is damaged");
    for (size_t i = 0; i + 4 <= nExtra;) {
        const size_t nLen = Le16(m_aExtra + i + 2);
        if (i + 4 + nLen > nExtra)
            break;
        if (Le16(m_aExtra + i) == 0x0001) {
            const unsigned char* p = m_aExtra + i + 4;
            const unsigned char* pEnd = p + nLen;
            for (uint64_t* pn : {&span.nSize, &span.nCompressed, &nOffset}) {
                if (*pn != 0xFFFFFFFFu)
                    continue;
                if (p + 8 > pEnd)
                    return UnzipFail(err, UNZ_BADZIPFILE, pszEntry, "its Zip64 field is short");
                *pn = Le64(p);
                p += 8;
            }
        }
        i += 4 + nLen;
    }
    unsigned char l[30];
    if (ReadAt(m_stream.fd, l, sizeof l, m_nShift + nOffset) != sizeof l || Le32(l) != 0x04034B50)
        return UnzipFail(err, UNZ_BADZIPFILE, pszEntry, "its local header is damaged");
    span.nStart = m_nShift + nOffset + sizeof l + Le16(l + 26) + Le16(l + 28);
    return true;
}

// Where the data of an entry goes: a file, or a string (a link's target).
bool CExtractor::Put(const char* pszEntry, const unsigned char* p, size_t n, int fdOut,
                     COrvStringA* psOut, COrvError& err) {
    if (psOut == nullptr) {
        if (OrvSysWriteAll(fdOut, p, n))
            return true;
        return err.SetErrno(errno, COrvStringA("Cannot write zip entry '") + pszEntry + "': ");
    }
    if (static_cast<size_t>(psOut->GetLength()) + n > kMaxLinkTarget)
        return err.SetFormat(enNetBadRequest, "Zip link entry '%s' is longer than %d bytes",
                             pszEntry, static_cast<int>(kMaxLinkTarget));
    if (!psOut->Append(reinterpret_cast<const char*>(p), static_cast<int>(n)))
        return err.Set(enNetNoMemory, "Cannot unzip: out of memory");
    return true;
}

// Copies the current entry's data to fdOut (or into *psOut). minizip hands out the raw bytes;
// decryption, inflating and the size and CRC checks are done here.
bool CExtractor::Data(const char* pszEntry, const unz_file_info64& info, int fdOut,
                      COrvStringA* psOut, COrvError& err) {
    const bool bEncrypted = (info.flag & 1) != 0;
    if (bEncrypted && (m_pszPassword == nullptr || *m_pszPassword == 0))
        return err.SetFormat(enNetAuth, "Zip entry '%s' is encrypted: a password is needed",
                             pszEntry);
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED)
        return err.SetFormat(enNetBadRequest,
                             "Zip entry '%s' uses compression method %d, which is not supported",
                             pszEntry, static_cast<int>(info.compression_method));
    CEntrySpan span;
    if (!Locate(pszEntry, span, err))
        return false;
    CInflater inf;
    if (info.compression_method == Z_DEFLATED && !inf.Init())
        return err.Set(enNetNoMemory, "Cannot unzip: out of memory");
    COrvZipCrypt crypt;
    size_t nHeader = bEncrypted ? 12 : 0;  // encryption header bytes still to take
    unsigned char aHeader[12];
    uint64_t nTotal = 0;
    uint32_t nCrc = 0;
    bool bOk = true;
    bool bStreamEnd = info.compression_method != Z_DEFLATED;
    if (bEncrypted)
        crypt.Init(m_pszPassword);
    // One wrong password in 256 passes the header's check byte and decrypts to garbage: for an
    // encrypted entry, data that fails its checks most likely had the wrong password.
    const auto DataFail = [&](int nCode, const char* pszWhy) {
        if (bEncrypted)
            return err.SetFormat(
                enNetAuth, "Wrong password for zip entry '%s' (or its data is damaged)", pszEntry);
        return UnzipFail(err, nCode, pszEntry, pszWhy);
    };
    for (uint64_t nLeft = span.nCompressed; bOk && nLeft > 0;) {
        const size_t nWant = nLeft < sizeof m_aRaw ? static_cast<size_t>(nLeft) : sizeof m_aRaw;
        const long r = ReadAt(m_stream.fd, m_aRaw, nWant, span.nStart + span.nCompressed - nLeft);
        if (r < 0) {
            bOk = err.SetErrno(errno, "Cannot read zip file: ");
            break;
        }
        if (static_cast<size_t>(r) < nWant) {
            bOk = UnzipFail(err, UNZ_BADZIPFILE, pszEntry, "the archive is cut short");
            break;
        }
        nLeft -= static_cast<uint64_t>(r);
        unsigned char* p = m_aRaw;
        size_t n = static_cast<size_t>(r);
        if (bEncrypted) {
            crypt.Decrypt(p, n);
            if (nHeader > 0 && !TakeHeader(aHeader, nHeader, p, n)) {
                // The header's last byte checks the password: the high byte of the DOS time for
                // entries with a data descriptor, else of the CRC.
                const unsigned char nCheck = (info.flag & 8) != 0
                                                 ? static_cast<unsigned char>(info.dosDate >> 8)
                                                 : static_cast<unsigned char>(info.crc >> 24);
                if (aHeader[11] != nCheck) {
                    bOk = err.SetFormat(enNetAuth, "Wrong password for zip entry '%s'", pszEntry);
                    break;
                }
            }
        }
        if (info.compression_method != Z_DEFLATED) {
            nCrc = static_cast<uint32_t>(crc32(nCrc, p, static_cast<uInt>(n)));
            nTotal += n;
            bOk = nTotal <= span.nSize ? Put(pszEntry, p, n, fdOut, psOut, err)
                                       : DataFail(UNZ_BADZIPFILE, "more data than its size says");
            continue;
        }
        inf.z.next_in = p;
        inf.z.avail_in = static_cast<uInt>(n);
        while (bOk && inf.z.avail_in > 0 && !bStreamEnd) {
            inf.z.next_out = m_aBuf;
            inf.z.avail_out = sizeof m_aBuf;
            const int zr = inflate(&inf.z, Z_NO_FLUSH);
            if (zr != Z_OK && zr != Z_STREAM_END && zr != Z_BUF_ERROR) {
                bOk = DataFail(UNZ_BADZIPFILE, "damaged data");
                break;
            }
            bStreamEnd = zr == Z_STREAM_END;
            const size_t k = sizeof m_aBuf - inf.z.avail_out;
            nCrc = static_cast<uint32_t>(crc32(nCrc, m_aBuf, static_cast<uInt>(k)));
            nTotal += k;
            if (nTotal > span.nSize)
                bOk = DataFail(UNZ_BADZIPFILE, "more data than its size says");
            else if (k > 0)
                bOk = Put(pszEntry, m_aBuf, k, fdOut, psOut, err);
        }
    }
    if (!bOk)
        return false;
    if (bEncrypted && nHeader > 0)
        return UnzipFail(err, UNZ_BADZIPFILE, pszEntry, "the encryption header is cut short");
    if (!bStreamEnd || nTotal != span.nSize)
        return DataFail(UNZ_BADZIPFILE, "less data than its size says");
    if (nCrc != info.crc)
        return DataFail(UNZ_CRCERROR, "CRC mismatch");
    return true;
}

bool CExtractor::Entry(COrvError& err) {
    unz_file_info64 info;
    const int r = unzGetCurrentFileInfo64(m_h, &info, m_szName, sizeof m_szName, m_aExtra,
                                          sizeof m_aExtra, nullptr, 0);
    if (r != UNZ_OK)
        return err.SetFormat(enNetBadRequest, "Unzip error %d: cannot read the zip directory", r);
    const char* pszEntry = m_szName;
    COrvArray<COrvStringA> aParts;
    if (!SplitEntryName(pszEntry, info.size_filename, aParts, err))
        return false;
    // The path as extracted, to catch a second entry of the same name (also "a/./b" for "a/b").
    std::string sKey;
    for (size_t i = 0; i < aParts.GetCount(); ++i)
        sKey.append(aParts[i].GetString()).append("/");
    if (!m_names.insert(sKey).second)
        return err.SetFormat(enNetBadRequest, "Duplicate zip entry refused: '%s'", pszEntry);

    const size_t nLen = strlen(pszEntry);
    const bool bFolder = pszEntry[nLen - 1] == '/';
    const bool bLink = !bFolder && ((info.external_fa >> 16) & S_IFMT) == S_IFLNK;
    const size_t nParents = aParts.GetCount() - 1;
    // Entries of one folder usually follow each other: the folder opened for the last entry
    // serves the next one of the same folder.
    const std::string sParent = sKey.substr(0, sKey.size() - aParts[nParents].GetLength() - 1);
    if (nParents == 0 || sParent != m_sLastParent) {
        m_sLastParent.clear();
        m_lastDir.Reset();
        OrvFd dir;
        const OrvFd* pUp = &m_root;
        for (size_t i = 0; i < nParents; ++i) {
            OrvFd next;
            if (!OpenSubFolder(*pUp, aParts[i], pszEntry, next, err))
                return false;
            dir = static_cast<OrvFd&&>(next);
            pUp = &dir;
        }
        if (nParents > 0) {
            m_lastDir = static_cast<OrvFd&&>(dir);
            m_sLastParent = sParent;
        }
    }
    const OrvFd* pDir = nParents > 0 ? &m_lastDir : &m_root;
    const COrvStringA& sLeaf = aParts[nParents];
    if (bFolder) {
        OrvFd sub;
        return OpenSubFolder(*pDir, sLeaf, pszEntry, sub, err);
    }
    if (bLink) {
        COrvStringA sTarget;
        if (!Data(pszEntry, info, -1, &sTarget, err))
            return false;
        if (strlen(sTarget) != static_cast<size_t>(sTarget.GetLength()) ||
            !LinkStaysInside(sTarget, nParents))
            return err.SetFormat(enNetBadRequest,
                                 "Unsafe zip entry refused: '%s': its link target '%s' leaves "
                                 "the target folder",
                                 pszEntry, sTarget.GetString());
        const COrvStringA sTemp = TempName();
        if (symlinkat(sTarget, pDir->Get(), sTemp) != 0)
            return err.SetErrno(
                errno, COrvStringA("Cannot create link for zip entry '") + pszEntry + "': ");
        return MoveIntoPlace(*pDir, sTemp, sLeaf, pszEntry, err);
    }
    // A new name is written in place; an item that an earlier extraction left there is replaced
    // only once the entry is complete.
    const int nFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    COrvStringA sTemp = sLeaf;
    int fd =
        OrvSysRetry([&] { return openat(pDir->Get(), sTemp, nFlags, FileMode(info.external_fa)); });
    if (fd < 0 && errno == EEXIST) {
        sTemp = TempName();
        fd = OrvSysRetry(
            [&] { return openat(pDir->Get(), sTemp, nFlags, FileMode(info.external_fa)); });
    }
    if (fd < 0)
        return err.SetErrno(errno,
                            COrvStringA("Cannot create file for zip entry '") + pszEntry + "': ");
    OrvFd file(fd);
    bool bOk = Data(pszEntry, info, fd, nullptr, err);
    if (bOk) {
        const time_t t = EntryTime(
            info, m_aExtra,
            info.size_file_extra < sizeof m_aExtra ? info.size_file_extra : sizeof m_aExtra);
        const struct timespec aTimes[2] = {{t, 0}, {t, 0}};
        if (t != static_cast<time_t>(-1) &&
            OrvSysRetry([&] {
                return g_orv_sys.utimensat(pDir->Get(), sTemp, aTimes, AT_SYMLINK_NOFOLLOW);
            }) != 0)
            bOk = err.SetErrno(errno,
                               COrvStringA("Cannot set times of zip entry '") + pszEntry + "': ");
    }
    if (bOk && OrvSysClose(file.Release()) != 0 && errno != EINTR)
        bOk = err.SetErrno(errno, COrvStringA("Cannot write zip entry '") + pszEntry + "': ");
    if (!bOk) {
        (void)unlinkat(pDir->Get(), sTemp, 0);  // no partial file stays behind
        return false;
    }
    return sTemp == sLeaf || MoveIntoPlace(*pDir, sTemp, sLeaf, pszEntry, err);
}

}  // namespace

bool OrvUnzipFromFd(int fdArchive, const char* pszLabel, const char* pszTarget, COrvError& err,
                    const char* pszPassword) {
    const int fdRoot = OrvSysOpen(pszTarget, O_RDONLY | O_DIRECTORY);
    if (fdRoot < 0)
        return err.SetErrnoText(errno,
                                COrvStringA("Cannot unzip, target is not a folder: ") + pszTarget);
    OrvFd root(fdRoot);
    CArchiveStream stream;
    stream.fd = fdArchive;
    zlib_filefunc64_def funcs = {StreamOpen, StreamRead,  StreamWrite, StreamTell,
                                 StreamSeek, StreamClose, StreamError, &stream};
    CUnzipHandle h(unzOpen2_64(pszLabel, &funcs));
    if (h.Get() == nullptr) {
        if (stream.nErrno != 0)
            return err.SetErrno(stream.nErrno,
                                COrvStringA("Cannot open zip file: ") + pszLabel + ": ");
        return err.Set(enNetBadRequest, COrvStringA("Cannot open zip file: ") + pszLabel);
    }
    // Large buffers: on the heap.
    auto* pEx = new (std::nothrow) CExtractor(h.Get(), root.Release(), pszPassword, stream);
    if (pEx == nullptr)
        return err.Set(enNetNoMemory, "Cannot unzip: out of memory");
    bool bOk = true;
    int r = unzGoToFirstFile(h.Get());
    while (bOk && r == UNZ_OK) {
        bOk = pEx->Entry(err);
        if (bOk)
            r = unzGoToNextFile(h.Get());
    }
    delete pEx;
    if (bOk && r != UNZ_END_OF_LIST_OF_FILE)
        bOk = err.SetFormat(enNetBadRequest, "Unzip error %d: the zip directory is damaged", r);
    return bOk;
}

bool OrvUnzipToFolder(const char* pszZipPath, const char* pszTarget, COrvError& err,
                      const char* pszPassword) {
    if (pszZipPath == nullptr || pszTarget == nullptr)
        return err.Set(enNetBadRequest, "Cannot unzip: no archive or target given");
    struct stat st;
    if (OrvSysRetry([&] { return g_orv_sys.stat(pszTarget, &st); }) != 0 || !S_ISDIR(st.st_mode))
        return err.Set(errno == ENOENT ? enNetNotFound : enNetBadRequest,
                       COrvStringA("Cannot unzip, target is not a folder: ") + pszTarget);
    const int fd = OrvSysOpen(pszZipPath, O_RDONLY);
    if (fd < 0)
        return err.SetErrno(errno, COrvStringA("Cannot open zip file: ") + pszZipPath + ": ");
    OrvFd archive(fd);
    return OrvUnzipFromFd(fd, pszZipPath, pszTarget, err, pszPassword);
}

void OrvUnzipToFolder(const char* pszZipPath, const char* pszTarget, int* pnCode,
                      COrvStringA* psError, const char* pszPassword) {
    COrvError err;
    (void)OrvUnzipToFolder(pszZipPath, pszTarget, err, pszPassword);
    err.CopyTo(pnCode, psError);
}
