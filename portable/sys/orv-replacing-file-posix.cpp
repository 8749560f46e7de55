#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>

#include "orv-replacing-file.h"
#include "orv-sys.h"

namespace {

// The folder part of a path with its final slash ("" for a bare name), and the name part.
void SplitPath(const COrvStringA& path, COrvStringA& strFolder, COrvStringA& strName) {
    const char* psz = path;
    const char* pSlash = strrchr(psz, '/');
    if (!pSlash) {
        strFolder.Empty();
        strName = path;
        return;
    }
    strFolder = COrvStringA(psz, static_cast<int>(pSlash - psz + 1));
    strName = pSlash + 1;
}

// A name for the temporary file beside the target: hidden, the target's name, and a part that
// differs between processes and calls. Names stay within the system's limit for one name.
COrvStringA TempName(const COrvStringA& strTarget) {
    static std::atomic<unsigned> s_nCounter{0};
    COrvStringA strFolder;
    COrvStringA strName;
    SplitPath(strTarget, strFolder, strName);
    if (strName.GetLength() > 200) {
        strName = COrvStringA(static_cast<const char*>(strName), 200);
    }
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char szUnique[64];
    snprintf(szUnique, sizeof szUnique, "-%x%x%lx.tmp", static_cast<unsigned>(getpid()),
             s_nCounter.fetch_add(1), static_cast<unsigned long>(now.tv_nsec));
    COrvStringA strTemp = strFolder;
    strTemp += ".";
    strTemp += strName;
    strTemp += szUnique;
    return strTemp;
}

// Writes the folder's entry for a renamed file to the disk, where the system allows it.
void SyncFolderOf(const COrvStringA& strPath) {
    COrvStringA strFolder;
    COrvStringA strName;
    SplitPath(strPath, strFolder, strName);
    const int fd = OrvSysOpen(strFolder.IsEmpty() ? "." : static_cast<const char*>(strFolder),
                              O_RDONLY | O_DIRECTORY, 0);
    if (fd >= 0) {
        (void)OrvSysFsync(fd);  // the file itself is on the disk already; this is the name
        OrvSysClose(fd);
    }
}

}  // namespace

COrvReplacingFile::~COrvReplacingFile() {
    Discard();
}

bool COrvReplacingFile::Fail(const char* pszPrefix, int nErrno, COrvError& err) {
    Discard();
    char sz[256];
    const char* pszReason = strerror_r(nErrno, sz, sizeof sz);
    COrvStringA sText;
    sText.Format("%s%s: %s", pszPrefix, m_strPath.GetString(),
                 pszReason != nullptr ? pszReason : "Unknown error");
    return err.SetErrnoText(nErrno, sText);
}

void COrvReplacingFile::Discard() {
    if (m_fd >= 0) {
        OrvSysClose(m_fd);
        m_fd = -1;
    }
    if (!m_strTemp.IsEmpty()) {
        g_orv_sys.unlink(m_strTemp);
        m_strTemp.Empty();
    }
}

bool COrvReplacingFile::Open(const char* pszPath, COrvError& err, unsigned nNewMode) {
    Discard();
    m_strPath = pszPath ? pszPath : "";
    m_strTarget = m_strPath;
    m_bHadOld = false;
    constexpr const char* kOpen = "Cannot open file ";
    struct stat st = {};
    if (g_orv_sys.stat(m_strPath, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return Fail(kOpen, EISDIR, err);
        }
        // Writing is refused where the user may not write the file itself, even though the
        // folder would let a new file take its place.
        if (faccessat(AT_FDCWD, m_strPath, W_OK, AT_EACCESS) != 0) {
            return Fail(kOpen, errno, err);
        }
        if (S_ISREG(st.st_mode)) {
            // A link is kept: the file it leads to is what gets replaced.
            char szReal[PATH_MAX];
            if (realpath(m_strPath, szReal) != nullptr) {
                m_strTarget = szReal;
            }
            m_bHadOld = true;
            m_nOldMode = st.st_mode & 07777;
            m_nOldUid = st.st_uid;
            m_nOldGid = st.st_gid;
        }
    } else if (errno != ENOENT) {
        return Fail(kOpen, errno, err);
    }

    struct stat lst = {};
    const bool bDirect = (m_bHadOld ? false : g_orv_sys.lstat(m_strPath, &lst) == 0);
    if (bDirect) {
        // Not a regular file (a device, a pipe), or a link that leads nowhere yet: written as it
        // is, created behind the link when missing.
        m_fd = OrvSysOpen(m_strPath, O_WRONLY | O_TRUNC | O_CREAT, 0666);
        return m_fd >= 0 || Fail(kOpen, errno, err);
    }
    // The temporary file: new and exclusive; private until it takes the target's place. A new
    // target gets the mode asked for, less the umask.
    for (int nTry = 0; nTry < 100; ++nTry) {
        m_strTemp = TempName(m_strTarget);
        m_fd = OrvSysOpen(m_strTemp, O_WRONLY | O_CREAT | O_EXCL, m_bHadOld ? 0600 : nNewMode);
        if (m_fd >= 0 || errno != EEXIST) {
            break;
        }
    }
    if (m_fd < 0) {
        const int nErr = errno;
        m_strTemp.Empty();  // not ours: never removed
        if (m_bHadOld && (nErr == EACCES || nErr == EPERM)) {
            // A file the user may write in a folder where they may not create one: it can only
            // be written in place.
            m_fd = OrvSysOpen(m_strPath, O_WRONLY | O_TRUNC, 0);
            return m_fd >= 0 || Fail(kOpen, errno, err);
        }
        return Fail(kOpen, nErr, err);
    }
    return true;
}

bool COrvReplacingFile::Write(const void* pData, size_t nLen, COrvError& err) {
    if (m_fd < 0) {
        return Fail("Error writing to file ", EBADF, err);
    }
    return OrvSysWriteAll(m_fd, pData, nLen) || Fail("Error writing to file ", errno, err);
}

bool COrvReplacingFile::Commit(COrvError& err) {
    constexpr const char* kWrite = "Error writing to file ";
    if (m_fd < 0) {
        return Fail(kWrite, EBADF, err);
    }
    if (m_strTemp.IsEmpty()) {
        // Written directly: a device may not take fsync (EINVAL), which is no failure of ours.
        if (OrvSysFsync(m_fd) != 0 && errno != EINVAL && errno != EROFS) {
            return Fail(kWrite, errno, err);
        }
        const int fd = m_fd;
        m_fd = -1;
        return OrvSysClose(fd) == 0 || Fail(kWrite, errno, err);
    }
    if (m_bHadOld) {
        // The owner first: changing it may clear set-id bits that the mode then puts back. Only
        // a privileged user may give a file away; for everyone else the file stays theirs.
        if (fchown(m_fd, m_nOldUid, m_nOldGid) != 0) {
            (void)fchown(m_fd, static_cast<uid_t>(-1), m_nOldGid);
        }
        if (fchmod(m_fd, m_nOldMode) != 0) {
            return Fail(kWrite, errno, err);
        }
    }
    if (OrvSysFsync(m_fd) != 0) {
        return Fail(kWrite, errno, err);
    }
    const int fd = m_fd;
    m_fd = -1;
    if (OrvSysClose(fd) != 0) {
        return Fail(kWrite, errno, err);
    }
    if (OrvSysRename(m_strTemp, m_strTarget) != 0) {
        return Fail(kWrite, errno, err);
    }
    m_strTemp.Empty();
    SyncFolderOf(m_strTarget);
    return true;
}

bool OrvReplaceFileContents(const char* pszPath, const void* pData, size_t nLen, COrvError& err,
                            unsigned nNewMode) {
    COrvReplacingFile file;
    return file.Open(pszPath, err, nNewMode) && file.Write(pData, nLen, err) && file.Commit(err);
}

bool OrvIsReplacementTemp(const char* pszEntry, const char* pszName) {
    // ".NAME-<hex>.tmp", as TempName makes them.
    const size_t nName = strlen(pszName) > 200 ? 200 : strlen(pszName);
    const size_t nEntry = strlen(pszEntry);
    if (nEntry < nName + 6 || pszEntry[0] != '.' || strncmp(pszEntry + 1, pszName, nName) != 0 ||
        pszEntry[nName + 1] != '-' || strcmp(pszEntry + nEntry - 4, ".tmp") != 0)
        return false;
    for (size_t i = nName + 2; i < nEntry - 4; ++i) {
        if (!isxdigit(static_cast<unsigned char>(pszEntry[i])))
            return false;
    }
    return nEntry > nName + 6;
}
