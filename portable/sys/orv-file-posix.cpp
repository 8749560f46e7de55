// Files and folders on Linux: every call goes through the replaceable system-call table.
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "orv-fd.h"
#include "orv-file-os.h"
#include "orv-file.h"
#include "orv-lock.h"
#include "orv-log.h"
#include "orv-path.h"
#include "orv-process.h"
#include "orv-sys.h"

namespace {

// prefix + path + ": " + the system's message, with the errno's library code.
bool SysFail(COrvError& err, int nErrno, const char* pszPrefix, const char* pszPath,
             bool bLock = false) {
    COrvStringA s;
    s.Format("%s%s: ", pszPrefix, pszPath != nullptr ? pszPath : "");
    s += OrvErrnoText(nErrno);
    return err.Set(OrvResultFromErrno(nErrno, bLock ? OrvErrnoUse::Lock : OrvErrnoUse::General), s);
}

}  // namespace

bool OrvFileFail(COrvError& err, int nErrno, const char* pszPrefix, const char* pszPath) {
    return SysFail(err, nErrno, pszPrefix, pszPath);
}

namespace {

const char* Safe(const char* psz) {
    return psz != nullptr ? psz : "";
}

OrvTime BirthOrChange(const char* pszPath, const struct stat& st) {
    struct statx stx;
    if (pszPath != nullptr &&
        statx(AT_FDCWD, pszPath, AT_SYMLINK_NOFOLLOW, STATX_BTIME, &stx) == 0 &&
        (stx.stx_mask & STATX_BTIME) != 0)
        return static_cast<OrvTime>(stx.stx_btime.tv_sec);
    return static_cast<OrvTime>(st.st_ctime);
}

const char* BaseName(const char* pszPath) {
    const char* p = strrchr(pszPath, '/');
    return p != nullptr ? p + 1 : pszPath;
}

// Fills info from the item's own status (lstat) and, for a link, its target's.
void FillInfo(const char* pszPath, const struct stat& st, OrvFileInfo& info) {
    info = OrvFileInfo();
    info.sPath = pszPath;
    info.sName = BaseName(pszPath);
    const struct stat* pst = &st;
    struct stat stTarget;
    if (S_ISLNK(st.st_mode)) {
        info.bIsLink = 1;
        char szTarget[4096];
        const long n =
            OrvSysRetry([&] { return g_orv_sys.readlink(pszPath, szTarget, sizeof szTarget - 1); });
        if (n >= 0)
            info.sLinkTarget.SetString(szTarget, static_cast<int>(n));
        if (OrvSysRetry([&] { return g_orv_sys.stat(pszPath, &stTarget); }) == 0)
            pst = &stTarget;
    }
    info.bIsFolder = S_ISDIR(pst->st_mode) ? 1 : 0;
    info.bIsFile = S_ISREG(pst->st_mode) ? 1 : 0;
    info.nSize = info.bIsFile ? static_cast<uint64_t>(pst->st_size) : 0;
    info.tModification = static_cast<OrvTime>(pst->st_mtime);
    info.tCreation = BirthOrChange(pst == &st ? pszPath : nullptr, *pst);
    info.nAttributes = OrvAttributesFromMode(pst->st_mode, info.sName, pszPath);
}

std::atomic<uint32_t> s_nTempCounter{0};
COrvStringA s_sTempCached;  // guarded by g_temp_folder_lock
const char* s_pszTempBase = "/tmp";

COrvCriticalSection s_diskLock("OrvSystemDisk");
COrvStringA s_sSystemDisk("/");

}  // namespace

// ---- OrvFile ----

OrvFile::~OrvFile() {
    if (m_fd >= 0)
        OrvSysClose(m_fd);
}

bool OrvFile::Open(int fdDir, const char* pszName, const char* pszPath, int nFlags, unsigned nMode,
                   const char* pszPrefix, const char* pszSuffix, COrvError& err) {
    if (m_fd >= 0) {
        OrvSysClose(m_fd);
        m_fd = -1;
    }
    m_sPath = Safe(pszPath);
    const int fd = OrvSysOpenAt(fdDir, Safe(pszName), nFlags, nMode);
    if (fd < 0) {
        const int e = errno;
        COrvStringA s;
        s.Format("%s%s%s", pszPrefix, m_sPath.GetString(), pszSuffix);
        s += OrvErrnoText(e);
        return err.Set(OrvResultFromErrno(e), s);
    }
    m_fd = fd;
    m_bReadOnly = (nFlags & O_ACCMODE) == O_RDONLY;
    return true;
}

bool OrvFile::OpenRead(const char* pszPath, COrvError& err) {
    return Open(AT_FDCWD, pszPath, pszPath, O_RDONLY, 0, "cannot open file '", "' for read: ", err);
}

bool OrvFile::OpenReadWrite(const char* pszPath, COrvError& err) {
    return Open(AT_FDCWD, pszPath, pszPath, O_RDWR | O_CREAT, 0644,
                "Cannot open for read/write local file ", ": ", err);
}

bool OrvFile::OpenWrite(const char* pszPath, bool bAppend, unsigned nMode, COrvError& err) {
    const unsigned nBits = (nMode & kOrvModeGiven) != 0 ? (nMode & 07777) : 0644;
    const int nFlags = O_WRONLY | O_CREAT | (bAppend ? O_APPEND : O_TRUNC);
    return Open(AT_FDCWD, pszPath, pszPath, nFlags, nBits, "Cannot open for write local file ",
                ": ", err);
}

bool OrvFile::CreateNew(const char* pszPath, unsigned nMode, COrvError& err) {
    return Open(AT_FDCWD, pszPath, pszPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, nMode & 07777,
                "Cannot open for write local file ", ": ", err);
}

bool OrvFile::Close(COrvError& err) {
    if (m_fd < 0)
        return true;
    const int fd = m_fd;
    m_fd = -1;
    if (OrvSysClose(fd) != 0)
        return SysFail(err, errno, "Cannot close file: ", m_sPath);
    return true;
}

bool OrvFile::Write(const void* pData, size_t nLen, COrvError& err) {
    const char* p = static_cast<const char*>(pData);
    size_t nDone = 0;
    while (nDone < nLen) {
        const long n = OrvSysRetry([&] { return g_orv_sys.write(m_fd, p + nDone, nLen - nDone); });
        if (n < 0)
            return SysFail(err, errno, "Cannot write local file ", m_sPath);
        if (n == 0) {
            return err.SetFormat(
                enNetResources, "written less than requested for file %s: %d != %d",
                m_sPath.GetString(), static_cast<int>(nDone), static_cast<int>(nLen));
        }
        nDone += static_cast<size_t>(n);
    }
    return true;
}

long long OrvFile::Read(void* pBuf, size_t nLen, COrvError& err) {
    const long n = OrvSysRead(m_fd, pBuf, nLen);
    if (n < 0) {
        SysFail(err, errno, "Cannot read local file ", m_sPath);
        return -1;
    }
    return n;
}

bool OrvFile::GetSize(uint64_t& nSize, COrvError& err) {
    nSize = 0;
    struct stat st;
    if (OrvSysRetry([&] { return g_orv_sys.fstat(m_fd, &st); }) != 0)
        return SysFail(err, errno, "Cannot get size of ", m_sPath);
    nSize = static_cast<uint64_t>(st.st_size);
    return true;
}

bool OrvFile::GetPosition(uint64_t& nPos, COrvError& err) {
    nPos = 0;
    const off_t n = g_orv_sys.lseek(m_fd, 0, SEEK_CUR);
    if (n < 0)
        return SysFail(err, errno, "Cannot get position of ", m_sPath);
    nPos = static_cast<uint64_t>(n);
    return true;
}

bool OrvFile::SetPosition(uint64_t nPos, COrvError& err) {
    if (nPos > static_cast<uint64_t>(INT64_MAX) ||
        g_orv_sys.lseek(m_fd, static_cast<off_t>(nPos), SEEK_SET) < 0)
        return SysFail(err, nPos > static_cast<uint64_t>(INT64_MAX) ? EINVAL : errno,
                       "Cannot set position of ", m_sPath);
    return true;
}

bool OrvFile::SetLength(uint64_t nLength, COrvError& err) {
    if (nLength > static_cast<uint64_t>(INT64_MAX))
        return SysFail(err, EINVAL, "Cannot set file length: ", m_sPath);
    if (OrvSysRetry([&] { return g_orv_sys.ftruncate(m_fd, static_cast<off_t>(nLength)); }) != 0)
        return SysFail(err, errno, "Cannot set file length: ", m_sPath);
    return true;
}

bool OrvFile::Sync(COrvError& err) {
    if (OrvSysFsync(m_fd) != 0)
        return SysFail(err, errno, "Cannot sync file: ", m_sPath);
    return true;
}

namespace {

bool RangeLock(int fd, short nType, uint64_t nLength, const char* pszPrefix,
               const COrvStringA& sPath, COrvError& err) {
    struct flock lk;
    memset(&lk, 0, sizeof lk);
    lk.l_type = nType;
    lk.l_whence = SEEK_SET;
    lk.l_start = 0;
    lk.l_len = static_cast<off_t>(nLength > static_cast<uint64_t>(INT64_MAX) ? 0 : nLength);
    if (OrvSysRetry([&] { return g_orv_sys.fcntl_lock(fd, F_OFD_SETLK, &lk); }) != 0)
        return SysFail(err, errno, pszPrefix, sPath, true);
    return true;
}

}  // namespace

bool OrvFile::LockRange(uint64_t nLength, COrvError& err) {
    return RangeLock(m_fd, m_bReadOnly ? F_RDLCK : F_WRLCK, nLength, "Cannot lock file: ", m_sPath,
                     err);
}

bool OrvFile::UnlockRange(uint64_t nLength, COrvError& err) {
    return RangeLock(m_fd, F_UNLCK, nLength, "Cannot unlock file: ", m_sPath, err);
}

bool OrvFile::GetInfo(OrvFileInfo& info, COrvError& err) {
    info = OrvFileInfo();
    struct stat st;
    if (OrvSysRetry([&] { return g_orv_sys.fstat(m_fd, &st); }) != 0)
        return SysFail(err, errno, "Cannot get info of ", m_sPath);
    FillInfo(m_sPath, st, info);
    return true;
}

// ---- whole files ----

bool OrvReadWholeFile(const char* pszPath, COrvStringA& sBytes, COrvError& err) {
    sBytes.Empty();
    const int fd = OrvSysOpen(Safe(pszPath), O_RDONLY);
    if (fd < 0)
        return SysFail(err, errno, "cannot open file to read: ", pszPath);
    OrvFd closer(fd);
    struct stat st;
    if (OrvSysRetry([&] { return g_orv_sys.fstat(fd, &st); }) != 0)
        return SysFail(err, errno, "cannot read file: ", pszPath);
    // Read straight into the string, sized from the file with one byte to spare, so that the
    // end shows as a short read without growing the string; it grows when the file grows
    // meanwhile (or has no size, as files under /proc).
    int64_t nCap = st.st_size > 0 ? st.st_size + 1 : 65536;
    int64_t nLen = 0;
    COrvStringA s;
    for (;;) {
        if (nCap > INT32_MAX - 1)
            return SysFail(err, EFBIG, "cannot read file: ", pszPath);
        char* p = s.GetBuffer(static_cast<int>(nCap));
        if (p == nullptr)
            return SysFail(err, ENOMEM, "cannot read file: ", pszPath);
        const long n = OrvSysReadAll(fd, p + nLen, static_cast<size_t>(nCap - nLen));
        if (n < 0) {
            const int e = errno;
            s.ReleaseBuffer(static_cast<int>(nLen));
            return SysFail(err, e, "cannot read file: ", pszPath);
        }
        nLen += n;
        if (nLen < nCap) {
            s.ReleaseBuffer(static_cast<int>(nLen));
            break;
        }
        // Full: probe for more with one more byte of room.
        s.ReleaseBuffer(static_cast<int>(nLen));
        nCap = nLen + (nLen / 2 > 65536 ? nLen / 2 : 65536);
    }
    sBytes = static_cast<COrvStringA&&>(s);
    return true;
}

bool OrvReadFileChunks(const char* pszPath, OrvChunkFn fn, void* pCtx, COrvError& err,
                       size_t nChunk) {
    const int fd = OrvSysOpen(Safe(pszPath), O_RDONLY);
    if (fd < 0)
        return SysFail(err, errno, "cannot open file to read: ", pszPath);
    OrvFd closer(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (nChunk == 0)
        nChunk = size_t{1} << 20;
    // One buffer, reused: it stays in the cache and costs no page faults after the first piece.
    char* pBuf = static_cast<char*>(malloc(nChunk));
    if (pBuf == nullptr)
        return SysFail(err, ENOMEM, "cannot read file: ", pszPath);
    bool bOk = true;
    for (;;) {
        const long n = OrvSysRead(fd, pBuf, nChunk);
        if (n < 0) {
            bOk = SysFail(err, errno, "cannot read file: ", pszPath);
            break;
        }
        if (n == 0)
            break;
        if (!fn(pCtx, pBuf, static_cast<size_t>(n))) {
            bOk = err.SetFormat(enNetCancelled, "cannot read file: %s: cancelled", Safe(pszPath));
            break;
        }
    }
    free(pBuf);
    return bOk;
}

bool OrvWriteWholeFile(const char* pszPath, const void* pData, size_t nLen, COrvError& err) {
    OrvFile file;
    if (!file.OpenWrite(pszPath, false, 0, err) || !file.Write(pData, nLen, err))
        return false;
    return file.Close(err);
}

bool OrvFileCopyData(int fdIn, int fdOut, const char* pszFrom, const char* pszTo, COrvError& err) {
    posix_fadvise(fdIn, 0, 0, POSIX_FADV_SEQUENTIAL);
    // In the kernel first (no copy through user space; reflinks where the file system has them).
    for (;;) {
        const long n = OrvSysRetry([&] {
            return g_orv_sys.copy_file_range(fdIn, nullptr, fdOut, nullptr, size_t{1} << 30, 0);
        });
        if (n > 0)
            continue;
        if (n == 0)
            return true;
        const int e = errno;
        if (e == EXDEV || e == ENOSYS || e == EINVAL || e == EOPNOTSUPP || e == EBADF)
            break;
        return SysFail(err, e, e == EIO ? "cannot read file: " : "cannot write file: ",
                       e == EIO ? pszFrom : pszTo);
    }
    const size_t kBlock = 262144;
    char* pBuf = static_cast<char*>(malloc(kBlock));
    if (pBuf == nullptr)
        return SysFail(err, ENOMEM, "cannot read file: ", pszFrom);
    bool bOk = true;
    while (bOk) {
        const long n = OrvSysRead(fdIn, pBuf, kBlock);
        if (n < 0)
            bOk = SysFail(err, errno, "cannot read file: ", pszFrom);
        else if (n == 0)
            break;
        else if (!OrvSysWriteAll(fdOut, pBuf, static_cast<size_t>(n)))
            bOk = SysFail(err, errno, "cannot write file: ", pszTo);
    }
    free(pBuf);
    return bOk;
}

bool OrvGetFileSize(const char* pszPath, uint64_t& nSize, COrvError& err) {
    nSize = 0;
    const int fd = OrvSysOpen(Safe(pszPath), O_RDONLY);
    if (fd < 0)
        return SysFail(err, errno, "Cannot open file ", pszPath);
    OrvFd closer(fd);
    struct stat st;
    if (OrvSysRetry([&] { return g_orv_sys.fstat(fd, &st); }) != 0)
        return SysFail(err, errno, "Cannot get size of ", pszPath);
    nSize = static_cast<uint64_t>(st.st_size);
    return true;
}

// ---- items ----

bool OrvGetFileInfo(const char* pszPath, OrvFileInfo& info, COrvError& err) {
    info = OrvFileInfo();
    struct stat st;
    if (OrvSysRetry([&] { return g_orv_sys.lstat(Safe(pszPath), &st); }) != 0)
        return SysFail(err, errno, "OrvGetFileInfo: Invalid attributes for ", pszPath);
    FillInfo(pszPath, st, info);
    return true;
}

bool OrvSetFileTimes(const char* pszPath, OrvTime tModification, OrvTime tCreation,
                     COrvError& err) {
    (void)tCreation;  // Linux keeps no settable creation time
    struct stat st;
    if (OrvSysRetry([&] { return g_orv_sys.lstat(Safe(pszPath), &st); }) != 0)
        return SysFail(err, errno, "Cannot OrvSetFileTimes (open): ", pszPath);
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(tModification);
    times[1].tv_nsec = 0;
    if (OrvSysRetry([&] {
            return g_orv_sys.utimensat(AT_FDCWD, pszPath, times, AT_SYMLINK_NOFOLLOW);
        }) != 0)
        return SysFail(err, errno, "Cannot OrvSetFileTimes: ", pszPath);
    return true;
}

bool OrvCreateFolder(const char* pszPath, unsigned nMode, COrvError& err) {
    COrvStringA sPath(Safe(pszPath));
    while (sPath.GetLength() > 1 && sPath[sPath.GetLength() - 1] == '/')
        sPath.Truncate(sPath.GetLength() - 1);
    if (sPath.IsEmpty())
        return SysFail(err, ENOENT, "Can not create folder ", pszPath);
    const unsigned nBits = nMode != 0 ? (nMode & 07777) : 0777;
    struct stat st;
    if (OrvSysRetry([&] { return g_orv_sys.stat(sPath, &st); }) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        return SysFail(err, ENOTDIR,
                       "Cannot create folder because its place is taken by a file with the same "
                       "name: ",
                       sPath);
    }
    const int iSlash = sPath.ReverseFind('/');
    if (iSlash > 0) {
        if (!OrvCreateFolder(sPath.Left(iSlash), nMode, err))
            return false;
    } else if (iSlash == 0 && OrvSysRetry([&] { return g_orv_sys.stat("/", &st); }) != 0) {
        return SysFail(err, errno,
                       "Cannot create folder because Root folder does not exist: ", sPath);
    }
    if (OrvSysRetry([&] { return g_orv_sys.mkdir(sPath, nBits); }) == 0)
        return true;
    const int e = errno;
    if (e == EEXIST && OrvSysRetry([&] { return g_orv_sys.stat(sPath, &st); }) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;  // made by someone else meanwhile
        return SysFail(err, ENOTDIR,
                       "Cannot create folder because its place is taken by a file with the same "
                       "name: ",
                       sPath);
    }
    return SysFail(err, e, "Can not create folder ", sPath);
}

bool OrvFileNameMatches(const char* pszMask, const char* pszName) {
    if (pszMask == nullptr || strcmp(pszMask, "*.*") == 0 || strcmp(pszMask, "*") == 0)
        return true;
    return fnmatch(pszMask, pszName, FNM_PERIOD) == 0;
}

bool TvListDirFiles(const char* pszFolder, COrvArray<OrvFileInfo>& aItems, COrvError& err,
                    const char* pszMask) {
    aItems.RemoveAll();
    const char* psz = Safe(pszFolder);
    DIR* pDir = nullptr;
    do {
        pDir = g_orv_sys.opendir(psz);
    } while (pDir == nullptr && errno == EINTR);
    if (pDir == nullptr)
        return SysFail(err, errno, "TvListDirFiles: ", psz);
    bool bOk = true;
    for (;;) {
        errno = 0;
        const struct dirent* pEnt = readdir(pDir);
        if (pEnt == nullptr) {
            if (errno != 0)
                bOk = SysFail(err, errno, "TvListDirFiles: ", psz);
            break;
        }
        const char* pszName = pEnt->d_name;
        if (strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0)
            continue;
        if (!OrvFileNameMatches(pszMask, pszName))
            continue;
        COrvStringA sPath(psz);
        if (sPath.IsEmpty() || sPath[sPath.GetLength() - 1] != '/')
            sPath += '/';
        sPath += pszName;
        struct stat st;
        if (OrvSysRetry([&] { return g_orv_sys.lstat(sPath, &st); }) != 0)
            continue;  // gone meanwhile
        OrvFileInfo info;
        FillInfo(sPath, st, info);
        if ((info.nAttributes & kOrvAttrSkip) != 0)
            continue;
        if (aItems.Add(info) == SIZE_MAX) {
            bOk = SysFail(err, ENOMEM, "TvListDirFiles: ", psz);
            break;
        }
    }
    closedir(pDir);
    if (!bOk)
        aItems.RemoveAll();
    return bOk;
}

// ---- links ----

bool OrvReadLink(const char* pszPath, COrvStringA& sTarget, COrvError& err) {
    sTarget.Empty();
    char szBuf[4096];
    const long n =
        OrvSysRetry([&] { return g_orv_sys.readlink(Safe(pszPath), szBuf, sizeof szBuf); });
    if (n < 0)
        return SysFail(err, errno, "Cannot open link: ", pszPath);
    if (static_cast<size_t>(n) >= sizeof szBuf)
        return SysFail(err, ENAMETOOLONG, "Cannot open link: ", pszPath);
    sTarget.SetString(szBuf, static_cast<int>(n));
    return true;
}

bool OrvCreateLink(const char* pszLink, const char* pszTarget, bool bJunction, COrvError& err) {
    if (bJunction) {
        struct stat st;
        if (OrvSysRetry([&] { return g_orv_sys.stat(Safe(pszTarget), &st); }) != 0)
            return SysFail(err, errno, "Cannot open link: ", pszTarget);
        if (!S_ISDIR(st.st_mode))
            return SysFail(err, ENOTDIR, "Cannot open link: ", pszTarget);
    }
    if (OrvSysRetry([&] { return g_orv_sys.symlink(Safe(pszTarget), Safe(pszLink)); }) != 0)
        return SysFail(err, errno, "Cannot create symlink: ", pszLink);
    return true;
}

// ---- temporary files ----

void OrvFileSetTempBase(const char* pszBase) {
    TvAutoCriticalSection lock(g_temp_folder_lock);
    s_pszTempBase = pszBase != nullptr ? pszBase : "/tmp";
    s_sTempCached.Empty();
}

uint32_t OrvFilePeekTempCounter() {
    return s_nTempCounter.load();
}

int OrvOpenTempFolder(COrvStringA& sFolder, COrvError& err) {
    sFolder.Empty();
    TvAutoCriticalSection lock(g_temp_folder_lock);
    const char* pszTmpDir = getenv("TMPDIR");
    COrvStringA s;
    if (pszTmpDir != nullptr && pszTmpDir[0] == '/') {
        // The user's own choice: made when missing, taken as it is.
        s = pszTmpDir;
        while (s.GetLength() > 1 && s[s.GetLength() - 1] == '/')
            s.Truncate(s.GetLength() - 1);
        if (s != s_sTempCached && !OrvCreateFolder(s, 0700, err)) {
            err.AddContext("cannot create temp folder: ");
            return -1;
        }
        const int fd = OrvSysOpen(s, O_RDONLY | O_DIRECTORY);
        if (fd < 0) {
            SysFail(err, errno, "cannot create temp folder: ", s);
            return -1;
        }
        s_sTempCached = s;
        sFolder = s;
        return fd;
    }
    // Our own folder in a folder every user writes to. It is checked on its descriptor every
    // time, since a cleaner may remove it and another user make one of theirs under its name: it
    // must be a real folder (not a link) that we own and that nobody else may enter.
    s.Format("%s/orv-%u", s_pszTempBase, static_cast<unsigned>(getuid()));
    if (OrvSysRetry([&] { return g_orv_sys.mkdir(s, 0700); }) != 0 && errno != EEXIST) {
        SysFail(err, errno, "cannot create temp folder: ", s);
        return -1;
    }
    OrvFd fd(OrvSysOpen(s, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    struct stat st;
    int e = !fd || OrvSysRetry([&] { return g_orv_sys.fstat(fd.Get(), &st); }) != 0 ? errno : 0;
    if (e == ELOOP || (e == 0 && !S_ISDIR(st.st_mode)))
        e = ENOTDIR;
    else if (e == 0 && st.st_uid != getuid())
        e = EPERM;
    else if (e == 0 && (st.st_mode & 077) != 0 &&
             OrvSysRetry([&] { return g_orv_sys.fchmod(fd.Get(), 0700); }) != 0)
        e = errno;
    if (e != 0) {
        SysFail(err, e, "cannot create temp folder: ", s);
        return -1;
    }
    sFolder = s;
    return fd.Release();
}

bool OrvGetTempFolder(COrvStringA& sFolder, COrvError& err) {
    const OrvFd fd(OrvOpenTempFolder(sFolder, err));
    return fd.IsValid();
}

bool OrvGetTempFilePath(const char* pszFolder, const char* pszPrefix, COrvStringA& sPath,
                        COrvError& err) {
    sPath.Empty();
    COrvStringA sFolder;
    if (pszFolder != nullptr && *pszFolder) {
        sFolder = pszFolder;
    } else if (!OrvGetTempFolder(sFolder, err)) {
        return false;
    }
    const unsigned nCount = s_nTempCounter.fetch_add(1);
    sPath.Format("%s/%s_%d_%d.tmp", sFolder.GetString(),
                 pszPrefix != nullptr && *pszPrefix ? pszPrefix : "tvt", static_cast<int>(getpid()),
                 static_cast<int>(nCount));
    return true;
}

bool OrvCreateTempFile(const char* pszFolder, const char* pszPrefix, OrvFile& file,
                       COrvStringA& sPath, COrvError& err) {
    // The temporary folder is checked and then used through the same descriptor.
    COrvStringA sFolder(pszFolder != nullptr ? pszFolder : "");
    OrvFd fdTemp;
    if (sFolder.IsEmpty()) {
        fdTemp.Reset(OrvOpenTempFolder(sFolder, err));
        if (!fdTemp)
            return false;
    }
    const int fdDir = fdTemp ? fdTemp.Get() : AT_FDCWD;
    for (int i = 0; i < 1000; ++i) {
        if (!OrvGetTempFilePath(sFolder, pszPrefix, sPath, err))
            return false;
        const char* pszName =
            fdTemp ? sPath.GetString() + sFolder.GetLength() + 1 : sPath.GetString();
        COrvError errOpen;
        if (file.Open(fdDir, pszName, sPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600,
                      "Cannot open for write local file ", ": ", errOpen))
            return true;
        if (errOpen.Code() != enNetAlreadyExists) {
            err.Set(errOpen.Code(), errOpen.Text());
            sPath.Empty();
            return false;
        }
        // Taken (by a planted file or link, or a stale file): the next name.
    }
    sPath.Empty();
    return err.Set(enNetAlreadyExists, "Cannot open for write local file: no free temporary name");
}

// ---- desktop ----

COrvStringA OrvGetComputerName() {
    const char* psz = getenv("COMPUTERNAME");
    if (psz != nullptr && *psz)
        return COrvStringA(psz);
    char szHost[256] = {};
    if (gethostname(szHost, sizeof szHost - 1) == 0 && szHost[0] != 0)
        return COrvStringA(szHost);
    return COrvStringA("-UnknownComputer-");
}

bool OrvOpenTextInEditor(const char* pszPath, const char* pszText, COrvError& err) {
    COrvStringA sText(Safe(pszText));
    sText.Replace("\r\n", "\n");
    COrvError errWrite;
    if (!OrvWriteWholeFile(pszPath, sText.GetString(), static_cast<size_t>(sText.GetLength()),
                           errWrite)) {
        err.Set(errWrite.Code(), errWrite.Text());
        err.AddContext("Cannot open text file: ");
        return false;
    }
    // A relative name goes as "./name": one that starts with "-" is then no option.
    const COrvStringA sArg = pszPath != nullptr && pszPath[0] == '/'
                                 ? COrvStringA(pszPath)
                                 : "./" + COrvStringA(Safe(pszPath));
    char szHandler[] = "xdg-open";
    char* apszArgs[] = {szHandler, const_cast<char*>(sArg.GetString()), nullptr};
    COrvSpawnSpec spec;
    spec.pszProgram = szHandler;
    spec.argv = apszArgs;
    spec.bSearchPath = true;
    int pid = -1;
    COrvError errSpawn;
    if (!OrvSpawnProcess(spec, pid, "", errSpawn))
        return SysFail(err, errSpawn.SystemError(), "Cannot open text file: ", pszPath);
    COrvChildExit exit;
    if (OrvReapProcess(pid, true, exit) < 0)
        return SysFail(err, errno, "Cannot open text file: ", pszPath);
    if (exit.ShellCode() != 0) {
        return err.SetFormat(enNetBadRequest, "Cannot open text file: %s: xdg-open exited with %d",
                             pszPath, exit.ShellCode());
    }
    return true;
}

// ---- disk space ----

void OrvSetSystemDiskPath(const char* pszPath) {
    TvAutoCriticalSection lock(s_diskLock);
    s_sSystemDisk = pszPath != nullptr && *pszPath ? pszPath : "/";
}

COrvStringA OrvGetSystemDiskPath() {
    TvAutoCriticalSection lock(s_diskLock);
    return s_sSystemDisk;
}

namespace {

COrvStringA ReadableSize(uint64_t n) {
    static const char* const kUnits[] = {"bytes", "KB", "MB", "GB", "TB", "PB"};
    double d = static_cast<double>(n);
    int i = 0;
    while (d >= 1024.0 && i < 5) {
        d /= 1024.0;
        ++i;
    }
    COrvStringA s;
    if (i == 0)
        s.Format("%llu bytes", static_cast<unsigned long long>(n));
    else
        s.Format("%.1f %s", d, kUnits[i]);
    return s;
}

}  // namespace

bool OrvCheckDiskSpace(bool bLog, bool& bLow, COrvStringA& sMessage) {
    bLow = false;
    sMessage.Empty();
    const COrvStringA sDisk = OrvGetSystemDiskPath();
    struct statvfs sv;
    if (OrvSysRetry([&] { return g_orv_sys.statvfs(sDisk, &sv); }) != 0) {
        if (bLog) {
            g_orv_log.Printf("Disk of %s: free space error=%s\n", sDisk.GetString(),
                             OrvErrnoText(errno).GetString());
        }
        return false;
    }
    const uint64_t nUnit = sv.f_frsize != 0 ? sv.f_frsize : sv.f_bsize;
    const uint64_t nAvail = static_cast<uint64_t>(sv.f_bavail) * nUnit;
    const uint64_t nFree = static_cast<uint64_t>(sv.f_bfree) * nUnit;
    const uint64_t nTotal = static_cast<uint64_t>(sv.f_blocks) * nUnit;
    if (bLog) {
        g_orv_log.Printf("Disk of %s: avail=%s free=%s total=%s\n", sDisk.GetString(),
                         ReadableSize(nAvail).GetString(), ReadableSize(nFree).GetString(),
                         ReadableSize(nTotal).GetString());
    }
    if (OrvDiskSpaceIsLow(nAvail, nTotal)) {
        bLow = true;
        sMessage.Format("System disk (%s) space is way too low: %lld Mbytes", sDisk.GetString(),
                        static_cast<long long>(nAvail / 1048576));
        if (bLog)
            g_orv_log.Printf("%s\n", sMessage.GetString());
    }
    return true;
}
