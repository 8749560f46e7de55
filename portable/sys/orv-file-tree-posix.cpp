// Deleting, copying and moving files and trees. Every tree is walked by descriptor (see
// orv-file-os.h): an item is reached through its folder's descriptor, never through a path that
// could be re-routed by a link swapped in while the walk runs.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "orv-fd.h"
#include "orv-file-os.h"
#include "orv-file.h"
#include "orv-log.h"
#include "orv-sys.h"

namespace {

int StatAt(int fdDir, const char* pszName, struct stat& st) {
    return OrvSysRetry([&] { return g_orv_sys.fstatat(fdDir, pszName, &st, AT_SYMLINK_NOFOLLOW); });
}

int UnlinkAt(int fdDir, const char* pszName, int nFlags) {
    return OrvSysRetry([&] { return g_orv_sys.unlinkat(fdDir, pszName, nFlags); });
}

int RenameAt(int fdFrom, const char* pszFrom, int fdTo, const char* pszTo) {
    return OrvSysRetry([&] { return g_orv_sys.renameat(fdFrom, pszFrom, fdTo, pszTo); });
}

int FStat(int fd, struct stat& st) {
    return OrvSysRetry([&] { return g_orv_sys.fstat(fd, &st); });
}

bool SameItem(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

COrvStringA Join(const COrvStringA& sFolder, const char* pszName) {
    COrvStringA s(sFolder);
    if (s.IsEmpty() || s[s.GetLength() - 1] != '/')
        s += '/';
    s += pszName;
    return s;
}

COrvStringA Trimmed(const char* psz) {
    COrvStringA s(psz != nullptr ? psz : "");
    while (s.GetLength() > 1 && s[s.GetLength() - 1] == '/')
        s.Truncate(s.GetLength() - 1);
    return s;
}

// The path of pszName in the folder that holds pszPath.
COrvStringA Beside(const char* pszPath, const char* pszName) {
    const COrvStringA sPath = Trimmed(pszPath);
    const int iSlash = sPath.ReverseFind('/');
    return iSlash < 0 ? COrvStringA(pszName) : sPath.Left(iSlash + 1) + pszName;
}

// Names for items made next to their final place and renamed into it: hidden, and unique within
// the process.
std::atomic<unsigned> s_nScratch{0};

COrvStringA ScratchName(const char* pszBase, const char* pszKind) {
    COrvStringA s;
    // At most 100 bytes of the name, so that the scratch name stays within the system's limit.
    s.Format(".%.100s.orv-%s-%d-%u", pszBase, pszKind, static_cast<int>(getpid()),
             s_nScratch.fetch_add(1));
    return s;
}

// Runs create(name) under fresh scratch names until one is free (a name planted by someone else
// is passed over, never reused). 0, or -1 with errno.
template <class Create>
int CreateScratch(const char* pszBase, const char* pszKind, COrvStringA& sName, Create create) {
    for (int i = 0; i < 100; ++i) {
        sName = ScratchName(pszBase, pszKind);
        if (create(sName.GetString()) == 0)
            return 0;
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

// Gives the owner write and search access to a folder for a second try of a refused change, and
// puts its mode back afterwards.
class FolderWriteAccess {
public:
    // False (errno set) when the mode cannot be changed.
    bool Grant(int fd) {
        struct stat st;
        if (FStat(fd, st) != 0)
            return false;
        const unsigned nWanted = (st.st_mode & 07777) | S_IWUSR | S_IXUSR;
        if (nWanted == (st.st_mode & 07777))
            return true;
        if (OrvSysRetry([&] { return g_orv_sys.fchmod(fd, nWanted); }) != 0)
            return false;
        m_fd = fd;
        m_nMode = st.st_mode & 07777;
        return true;
    }
    ~FolderWriteAccess() {
        if (m_fd >= 0) {
            const int e = errno;
            OrvSysRetry([&] { return g_orv_sys.fchmod(m_fd, m_nMode); });
            errno = e;
        }
    }

private:
    int m_fd = -1;
    unsigned m_nMode = 0;
};

bool IsPermission(int e) {
    return e == EACCES || e == EPERM;
}

}  // namespace

// ---- the walk's pieces ----

int OrvOpenFolderAt(int fdDir, const char* pszName) {
    return OrvSysOpenAt(fdDir, pszName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

int OrvListNamesAt(int fd, std::vector<std::string>& names) {
    names.clear();
    // The listing reads through its own descriptor, which fdopendir takes over.
    const int fdList = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (fdList < 0)
        return errno;
    DIR* pDir = fdopendir(fdList);
    if (pDir == nullptr) {
        const int e = errno;
        OrvSysClose(fdList);
        return e;
    }
    rewinddir(pDir);
    int r = 0;
    for (;;) {
        errno = 0;
        const struct dirent* pEnt = readdir(pDir);
        if (pEnt == nullptr) {
            r = errno;
            break;
        }
        if (strcmp(pEnt->d_name, ".") != 0 && strcmp(pEnt->d_name, "..") != 0)
            names.emplace_back(pEnt->d_name);
    }
    closedir(pDir);
    return r;
}

int OrvOpenParentFolder(const char* pszPath, COrvStringA& sName) {
    const COrvStringA sPath = Trimmed(pszPath);
    const int iSlash = sPath.ReverseFind('/');
    COrvStringA sParent = iSlash < 0 ? COrvStringA(".") : sPath.Left(iSlash > 0 ? iSlash : 1);
    sName = iSlash < 0 ? sPath : sPath.Mid(iSlash + 1);
    int fd = OrvSysOpen(sParent, O_RDONLY | O_DIRECTORY);
    if (fd < 0 && errno == EACCES)
        fd = OrvSysOpen(sParent, O_PATH | O_DIRECTORY);  // searchable but not readable
    return fd;
}

bool OrvDeleteFileAt(int fdDir, const char* pszName, const char* pszPath, COrvError& err) {
    if (UnlinkAt(fdDir, pszName, 0) == 0)
        return true;
    const int e = errno;
    if (!IsPermission(e)) {
        struct stat st;
        if (StatAt(fdDir, pszName, st) != 0)
            return OrvFileFail(err, errno, "Cannot delete file (set attrs): ", pszPath);
        return OrvFileFail(err, e, "Cannot delete file (2nd try): ", pszPath);
    }
    // Removing a name needs write access to its folder, not to the file: the second try gets it
    // for the owner, and the folder's mode is put back whatever the outcome.
    FolderWriteAccess access;
    if (!access.Grant(fdDir))
        return OrvFileFail(err, errno, "Cannot delete file (set attrs): ", pszPath);
    if (UnlinkAt(fdDir, pszName, 0) != 0)
        return OrvFileFail(err, errno, "Cannot delete file (2nd try): ", pszPath);
    return true;
}

bool TvDeleteFile(const char* pszPath, COrvError& err) {
    COrvStringA sName;
    const OrvFd fdDir(OrvOpenParentFolder(pszPath, sName));
    if (!fdDir)
        return OrvFileFail(err, errno, "Cannot delete file (set attrs): ", pszPath);
    return OrvDeleteFileAt(fdDir.Get(), sName, pszPath != nullptr ? pszPath : "", err);
}

// ---- deleting trees ----

namespace {

// Receives what a recursive delete does to each item.
struct DeleteSink {
    COrvArray<COrvStringA>* pReport = nullptr;  // the reporting variant's lines, else the log
    bool bQuiet = false;                        // clearing away an unfinished copy: no lines

    void Line(const COrvStringA& s) const {
        if (bQuiet)
            return;
        if (pReport != nullptr)
            pReport->Add(s);
        else
            g_orv_log.Printf("%s\n", s.GetString());
    }
};

// Deletes the items of the folder pszName in fdParent and, with bDeleteSelf, the folder; sFolder
// is its path for the messages.
bool DeleteTreeAt(int fdParent, const char* pszName, const COrvStringA& sFolder, bool bDeleteSelf,
                  const DeleteSink& sink, COrvError& err) {
    const bool bReport = sink.pReport != nullptr;
    const OrvFd fd(OrvOpenFolderAt(fdParent, pszName));
    std::vector<std::string> names;
    const int eList = !fd ? errno : OrvListNamesAt(fd.Get(), names);
    if (eList != 0) {
        COrvError errList;
        OrvFileFail(errList, eList, "TvListDirFiles: ", sFolder);
        COrvStringA s;
        if (bReport)
            s.Format("Cannot list folder '%s': %s", sFolder.GetString(),
                     errList.Text().GetString());
        else
            s.Format("TvRecursiveDeleteFolder: TvListDirFiles: ERR: %s",
                     errList.Text().GetString());
        sink.Line(s);
        err.Set(errList.Code(), errList.Text());
        return false;
    }
    bool bOk = true;
    for (const std::string& name : names) {
        const char* pszItem = name.c_str();
        const COrvStringA sPath = Join(sFolder, pszItem);
        struct stat st;
        if (StatAt(fd.Get(), pszItem, st) != 0) {
            if (errno == ENOENT)
                continue;               // gone meanwhile
            memset(&st, 0, sizeof st);  // the delete below reports why
        }
        if (S_ISDIR(st.st_mode)) {
            bOk = DeleteTreeAt(fd.Get(), pszItem, sPath, true, sink, err) && bOk;
            continue;
        }
        // Files and links of every kind: a link is removed itself, its target stays.
        struct stat stTarget;
        const bool bUnresolved =
            S_ISLNK(st.st_mode) && g_orv_sys.fstatat(fd.Get(), pszItem, &stTarget, 0) != 0;
        COrvError errDelete;
        COrvStringA s;
        if (OrvDeleteFileAt(fd.Get(), pszItem, sPath, errDelete)) {
            if (bReport)
                s.Format("%s%s", bUnresolved ? "Deleted Unresolved Link: " : "Deleted file: ",
                         sPath.GetString());
            else
                s.Format("TvRecursiveDeleteFolder: deleted %s", sPath.GetString());
        } else {
            bOk = false;
            err.Set(errDelete.Code(), errDelete.Text());
            if (bReport && bUnresolved)
                s.Format("Cannot Delete Unresolved Link %s: %s", sPath.GetString(),
                         errDelete.Text().GetString());
            else if (bReport)
                s.Format("Cannot delete file '%s': %s", sPath.GetString(),
                         errDelete.Text().GetString());
            else
                s.Format("TvRecursiveDeleteFolder: TvDeleteFile: ERR: %s",
                         errDelete.Text().GetString());
        }
        sink.Line(s);
    }
    if (!bDeleteSelf)
        return bOk;
    COrvStringA s;
    if (UnlinkAt(fdParent, pszName, AT_REMOVEDIR) == 0) {
        if (bReport)
            s.Format("Deleted folder: %s", sFolder.GetString());
        else
            s.Format("TvRecursiveDeleteFolder: deleted %s", sFolder.GetString());
    } else {
        bOk = false;
        OrvFileFail(err, errno, "Cannot delete folder ", sFolder);
        if (bReport)
            s.Format("Cannot delete folder '%s': %s", sFolder.GetString(), err.Text().GetString());
        else
            s.Format("TvRecursiveDeleteFolder: cannot delete folder: %s", err.Text().GetString());
    }
    sink.Line(s);
    return bOk;
}

bool DeleteTreeEntry(const char* pszFolder, bool bDeleteSelf, const DeleteSink& sink,
                     COrvError& err) {
    const COrvStringA sFolder = Trimmed(pszFolder);
    // The folder itself may be a link: it is removed, never entered.
    OrvFileInfo info;
    COrvError errInfo;
    if (!OrvGetFileInfo(sFolder, info, errInfo) || !info.bIsFolder || info.bIsLink) {
        if (info.bIsLink && bDeleteSelf) {
            if (!TvDeleteFile(sFolder, err))
                return false;
            COrvStringA s;
            if (sink.pReport != nullptr)
                s.Format("Deleted file: %s", sFolder.GetString());
            else
                s.Format("TvRecursiveDeleteFolder: deleted %s", sFolder.GetString());
            sink.Line(s);
            return true;
        }
        const char* pszWhy = errInfo.Failed() ? errInfo.Text().GetString() : "not a folder";
        COrvStringA s;
        s.Format("%s: %s", sFolder.GetString(), pszWhy);
        if (sink.pReport != nullptr) {
            COrvStringA sLine;
            sLine.Format("Cannot list folder '%s': %s", sFolder.GetString(), pszWhy);
            sink.Line(sLine);
        } else {
            sink.Line(COrvStringA("TvRecursiveDeleteFolder: ERR: folder error: ") + s);
        }
        return err.Set(errInfo.Failed() ? errInfo.Code() : enNetNotFound,
                       COrvStringA("TvRecursiveDeleteFolder: ERR: folder error: ") + s);
    }
    return DeleteTreeAt(AT_FDCWD, sFolder, sFolder, bDeleteSelf, sink, err);
}

}  // namespace

bool TvRecursiveDeleteFolder(const char* pszFolder, bool bDeleteSelf, COrvError& err) {
    return DeleteTreeEntry(pszFolder, bDeleteSelf, DeleteSink{}, err);
}

bool TvRecursiveDeleteFolderReport(const char* pszFolder, bool bDeleteSelf,
                                   COrvArray<COrvStringA>& aReport, COrvError& err) {
    DeleteSink sink;
    sink.pReport = &aReport;
    return DeleteTreeEntry(pszFolder, bDeleteSelf, sink, err);
}

// ---- copying ----

namespace {

bool NotRegular(COrvError& err, const char* pszPrefix, const char* pszPath, const char* pszWhy) {
    return err.SetFormat(enNetBadRequest, "%s%s: %s", pszPrefix, pszPath, pszWhy);
}

// Opens the copy's destination pszName in fdDir for writing. A new file is created with nMode and
// bCreated set. bMustBeNew refuses any existing item; otherwise only a regular file that is not
// the source itself (stSource) is overwritten (truncated after the check). bFollow lets a link at
// the name lead to its target, as a caller's own path may; walks never follow one. -1 with err.
int OpenCopyTarget(int fdDir, const char* pszName, const char* pszTo, const struct stat& stSource,
                   unsigned nMode, bool bFollow, bool bMustBeNew, bool& bCreated, COrvError& err) {
    bCreated = false;
    const int nNoFollow = bFollow ? 0 : O_NOFOLLOW;
    int fd = OrvSysOpenAt(fdDir, pszName, O_WRONLY | O_CREAT | O_EXCL | nNoFollow, nMode);
    if (fd >= 0) {
        bCreated = true;
        return fd;
    }
    if (errno != EEXIST || bMustBeNew) {
        OrvFileFail(err, errno, "cannot write file: ", pszTo);
        return -1;
    }
    // Something is there already. O_NONBLOCK: a FIFO at the name must not hang the open.
    fd = OrvSysOpenAt(fdDir, pszName, O_WRONLY | O_NONBLOCK | nNoFollow);
    if (fd < 0) {
        if (errno == ELOOP)
            NotRegular(err, "cannot write file: ", pszTo, "will not write through a link");
        else
            OrvFileFail(err, errno, "cannot write file: ", pszTo);
        return -1;
    }
    OrvFd owner(fd);
    struct stat st;
    if (FStat(fd, st) != 0) {
        OrvFileFail(err, errno, "cannot write file: ", pszTo);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        NotRegular(err, "cannot write file: ", pszTo, "not a regular file");
        return -1;
    }
    if (SameItem(st, stSource)) {
        NotRegular(err, "cannot write file: ", pszTo, "it is the source file itself");
        return -1;
    }
    if (OrvSysRetry([&] { return g_orv_sys.ftruncate(fd, 0); }) != 0) {
        OrvFileFail(err, errno, "cannot write file: ", pszTo);
        return -1;
    }
    return owner.Release();
}

// Opens a file to copy from: a regular file only, so that a FIFO or device never blocks the copy.
int OpenCopySource(int fdDir, const char* pszName, const char* pszFrom, bool bFollow,
                   struct stat& st, COrvError& err) {
    const int fd = OrvSysOpenAt(fdDir, pszName, O_RDONLY | O_NONBLOCK | (bFollow ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        OrvFileFail(err, errno, "cannot open file to read: ", pszFrom);
        return -1;
    }
    OrvFd owner(fd);
    if (FStat(fd, st) != 0) {
        OrvFileFail(err, errno, "cannot read file: ", pszFrom);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        OrvFileFail(err, EISDIR, "cannot read file: ", pszFrom);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        NotRegular(err, "cannot read file: ", pszFrom, "not a regular file");
        return -1;
    }
    // Reads of a regular file never block; the flag is cleared for tidiness only.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return owner.Release();
}

// Gives the new item pszName in fdDir the source's owner (when running as root), mode (fdItem,
// or the name for items without one; links have none) and times, as a move must keep them.
void KeepAttributes(int fdDir, const char* pszName, int fdItem, const struct stat& st) {
    if (geteuid() == 0)
        (void)fchownat(fdDir, pszName, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
    // After the owner: changing the owner clears the set-id bits.
    if (fdItem >= 0)
        (void)OrvSysRetry([&] { return g_orv_sys.fchmod(fdItem, st.st_mode & 07777); });
    else if (!S_ISLNK(st.st_mode))
        (void)fchmodat(fdDir, pszName, st.st_mode & 07777, 0);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    (void)OrvSysRetry(
        [&] { return g_orv_sys.utimensat(fdDir, pszName, times, AT_SYMLINK_NOFOLLOW); });
}

// How a tree is copied.
struct CopyJob {
    bool bExact = false;  // a move: modes, times and owner kept; every item must arrive
    struct stat stTop;    // the destination's top folder, which is never copied into itself
};

// Copies the regular file pszName of fdFrom into fdTo/pszToName.
bool CopyFileAt(int fdFrom, const char* pszName, const char* pszFrom, int fdTo,
                const char* pszToName, const char* pszTo, bool bFollow, bool bExact,
                COrvError& err) {
    struct stat st;
    const OrvFd in(OpenCopySource(fdFrom, pszName, pszFrom, bFollow, st, err));
    if (!in)
        return false;
    bool bCreated = false;
    OrvFd out(OpenCopyTarget(fdTo, pszToName, pszTo, st, bExact ? 0600 : st.st_mode & 07777,
                             bFollow, bExact, bCreated, err));
    if (!out)
        return false;
    bool bOk = OrvFileCopyData(in.Get(), out.Get(), pszFrom, pszTo, err);
    if (bOk && bExact)
        KeepAttributes(fdTo, pszToName, out.Get(), st);
    if (bOk && OrvSysClose(out.Release()) != 0)
        bOk = OrvFileFail(err, errno, "cannot write file: ", pszTo);
    if (!bOk) {
        out.Reset();
        UnlinkAt(fdTo, pszToName, 0);  // the partial copy
    }
    return bOk;
}

// Makes a link, FIFO, socket or device node like the source item in fdTo/pszToName.
bool CopySpecialAt(int fdFrom, const char* pszName, const struct stat& st, int fdTo,
                   const char* pszToName, const char* pszTo, bool bExact, COrvError& err) {
    if (S_ISLNK(st.st_mode)) {
        char szTarget[4096];
        const long n = OrvSysRetry(
            [&] { return g_orv_sys.readlinkat(fdFrom, pszName, szTarget, sizeof szTarget - 1); });
        if (n < 0)
            return OrvFileFail(err, errno, "Cannot open link: ", pszTo);
        szTarget[n] = '\0';
        if (OrvSysRetry([&] { return g_orv_sys.symlinkat(szTarget, fdTo, pszToName); }) != 0)
            return OrvFileFail(err, errno, "Cannot create symlink: ", pszTo);
    } else if (OrvSysRetry([&] {
                   return g_orv_sys.mknodat(fdTo, pszToName, st.st_mode & (S_IFMT | 07777),
                                            st.st_rdev);
               }) != 0) {
        return OrvFileFail(err, errno, "cannot write file: ", pszTo);
    }
    if (bExact)
        KeepAttributes(fdTo, pszToName, -1, st);
    return true;
}

bool CopyTreeAt(int fdFrom, const COrvStringA& sFrom, int fdTo, const COrvStringA& sTo,
                const CopyJob& job, COrvError& err) {
    std::vector<std::string> names;
    const int eList = OrvListNamesAt(fdFrom, names);
    if (eList != 0) {
        OrvFileFail(err, eList, "TvListDirFiles: ", sFrom);
        err.AddContext("TvCopyFolder: list source files: ");
        return false;
    }
    for (const std::string& name : names) {
        const char* pszName = name.c_str();
        const COrvStringA sItemFrom = Join(sFrom, pszName);
        const COrvStringA sItemTo = Join(sTo, pszName);
        struct stat st;
        if (StatAt(fdFrom, pszName, st) != 0) {
            if (errno == ENOENT && !job.bExact)
                continue;  // gone meanwhile
            OrvFileFail(err, errno, "TvListDirFiles: ", sItemFrom);
            err.AddContext("TvCopyFolder: list source files: ");
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            const OrvFd sub(OrvOpenFolderAt(fdFrom, pszName));
            struct stat stSub;
            if (!sub || FStat(sub.Get(), stSub) != 0) {
                OrvFileFail(err, errno, "TvListDirFiles: ", sItemFrom);
                err.AddContext("TvCopyFolder: list source files: ");
                return false;
            }
            if (SameItem(stSub, job.stTop))
                return err.SetFormat(enNetBadRequest,
                                     "TvCopyFolder: cannot copy a folder into itself: %s",
                                     sItemFrom.GetString());
            if (OrvSysRetry([&] {
                    return g_orv_sys.mkdirat(fdTo, pszName, job.bExact ? 0700 : 0777);
                }) != 0 &&
                errno != EEXIST) {
                OrvFileFail(err, errno, "Can not create folder ", sItemTo);
                err.AddContext("TvCopyFolder: making dest folder: ");
                return false;
            }
            // An existing folder is merged into; a link or file at the name is refused.
            const OrvFd subTo(OrvOpenFolderAt(fdTo, pszName));
            if (!subTo) {
                OrvFileFail(err, errno,
                            "Cannot create folder because its place is taken by a file with the "
                            "same name: ",
                            sItemTo);
                err.AddContext("TvCopyFolder: making dest folder: ");
                return false;
            }
            if (!CopyTreeAt(sub.Get(), sItemFrom, subTo.Get(), sItemTo, job, err))
                return false;
            if (job.bExact)
                KeepAttributes(fdTo, pszName, subTo.Get(), stSub);
        } else if (S_ISREG(st.st_mode)) {
            if (!CopyFileAt(fdFrom, pszName, sItemFrom, fdTo, pszName, sItemTo, false, job.bExact,
                            err)) {
                err.AddContext("TvCopyFolder: copy file: ");
                return false;
            }
        } else if (!CopySpecialAt(fdFrom, pszName, st, fdTo, pszName, sItemTo, job.bExact, err)) {
            if (job.bExact || S_ISLNK(st.st_mode)) {
                err.AddContext("TvCopyFolder: copy file: ");
                return false;
            }
            // A FIFO, socket or device that cannot be made here (devices need root) is left out
            // of a plain copy, with the reason in the log; it is never opened.
            g_orv_log.Printf("TvCopyFolder: skipped special file %s: %s\n", sItemFrom.GetString(),
                             err.Text().GetString());
            err.Clear();
        }
    }
    return true;
}

}  // namespace

bool OrvCopyFile(const char* pszFrom, const char* pszTo, COrvError& err) {
    const char* pszF = pszFrom != nullptr ? pszFrom : "";
    const char* pszT = pszTo != nullptr ? pszTo : "";
    return CopyFileAt(AT_FDCWD, pszF, pszF, AT_FDCWD, pszT, pszT, true, false, err);
}

bool TvCopyFolder(const char* pszFrom, const char* pszTo, COrvError& err) {
    const COrvStringA sFrom = Trimmed(pszFrom);
    const COrvStringA sTo = Trimmed(pszTo);
    const OrvFd from(OrvSysOpen(sFrom, O_RDONLY | O_DIRECTORY));
    if (!from) {
        OrvFileFail(err, errno, "TvListDirFiles: ", sFrom);
        err.AddContext("TvCopyFolder: list source files: ");
        return false;
    }
    if (!OrvCreateFolder(sTo, 0, err)) {
        err.AddContext("TvCopyFolder: making dest folder: ");
        return false;
    }
    CopyJob job;
    const OrvFd to(OrvSysOpen(sTo, O_RDONLY | O_DIRECTORY));
    struct stat stFrom;
    if (!to || FStat(to.Get(), job.stTop) != 0 || FStat(from.Get(), stFrom) != 0) {
        OrvFileFail(err, errno, "Can not create folder ", sTo);
        err.AddContext("TvCopyFolder: making dest folder: ");
        return false;
    }
    if (SameItem(stFrom, job.stTop))
        return err.SetFormat(enNetBadRequest,
                             "TvCopyFolder: %s and %s are the same folder: nothing to copy",
                             sFrom.GetString(), sTo.GetString());
    return CopyTreeAt(from.Get(), sFrom, to.Get(), sTo, job, err);
}

// ---- moving ----

namespace {

bool MoveFail(COrvError& err, int nErrno, const char* pszWhat, const char* pszFrom,
              const char* pszTo, const char* pszExtra = nullptr) {
    COrvStringA s;
    s.Format("Cannot move %s %s to %s: ", pszWhat, pszFrom, pszTo);
    s += OrvErrnoText(nErrno);
    if (pszExtra != nullptr)
        s += pszExtra;
    return err.Set(OrvResultFromErrno(nErrno), s);
}

bool MoveContext(COrvError& err, const char* pszWhat, const char* pszFrom, const char* pszTo) {
    COrvStringA s;
    s.Format("Cannot move %s %s to %s: ", pszWhat, pszFrom, pszTo);
    err.AddContext(s);
    return false;
}

// The two ends of a move: each path's folder, opened, and the last part of the path.
struct MoveEnds {
    OrvFd fromDir, toDir;
    COrvStringA sFromName, sToName;

    // 0 or an errno.
    int Open(const char* pszFrom, const char* pszTo) {
        fromDir.Reset(OrvOpenParentFolder(pszFrom, sFromName));
        if (!fromDir)
            return errno;
        toDir.Reset(OrvOpenParentFolder(pszTo, sToName));
        return toDir ? 0 : errno;
    }
};

// Moves a file, link or special item to another file system: it is recreated under a scratch name
// beside the destination (with the source's mode, times and, for root, owner) and renamed over it,
// so that a link at the destination is replaced, never written through, and a failure leaves both
// ends as they were. The source is deleted last.
bool MoveItemAcross(const char* pszFrom, const char* pszTo, const struct stat& st, COrvError& err) {
    MoveEnds ends;
    if (const int e = ends.Open(pszFrom, pszTo); e != 0)
        return MoveFail(err, e, "file", pszFrom, pszTo);
    COrvStringA sScratch;
    COrvError errCopy;
    const int r = CreateScratch(ends.sToName, "new", sScratch, [&](const char* pszScratch) {
        errCopy.Clear();
        const bool bOk = S_ISREG(st.st_mode)
                             ? CopyFileAt(ends.fromDir.Get(), ends.sFromName, pszFrom,
                                          ends.toDir.Get(), pszScratch, pszTo, false, true, errCopy)
                             : CopySpecialAt(ends.fromDir.Get(), ends.sFromName, st,
                                             ends.toDir.Get(), pszScratch, pszTo, true, errCopy);
        if (!bOk)
            errno = errCopy.Code() == enNetAlreadyExists ? EEXIST : EIO;
        return bOk ? 0 : -1;
    });
    if (r != 0) {
        err.Set(errCopy.Code(), errCopy.Text());
        return MoveContext(err, "file", pszFrom, pszTo);
    }
    if (RenameAt(ends.toDir.Get(), sScratch, ends.toDir.Get(), ends.sToName) != 0) {
        const int e = errno;
        UnlinkAt(ends.toDir.Get(), sScratch, 0);
        return MoveFail(err, e, "file", pszFrom, pszTo);
    }
    return OrvDeleteFileAt(ends.fromDir.Get(), ends.sFromName, pszFrom, err);
}

// Renames the folder fdFrom/pszFrom to fdTo/pszTo. A folder with items in the way is first put
// aside under a scratch name and deleted only once the rename succeeded; when it fails, the folder
// is put back. 0 or an errno.
int RenameOverFolder(int fdFrom, const char* pszFrom, int fdTo, const char* pszTo,
                     const char* pszToPath) {
    if (RenameAt(fdFrom, pszFrom, fdTo, pszTo) == 0)
        return 0;
    if (errno != EEXIST && errno != ENOTEMPTY)
        return errno;
    COrvStringA sAside;
    if (CreateScratch(pszTo, "old", sAside, [&](const char* pszAside) {
            const int r = OrvSysRetry(
                [&] { return renameat2(fdTo, pszTo, fdTo, pszAside, RENAME_NOREPLACE); });
            if (r == 0 || errno != EINVAL)
                return r;
            // A file system without the no-replace flag: look first, then rename.
            struct stat st;
            if (StatAt(fdTo, pszAside, st) == 0) {
                errno = EEXIST;
                return -1;
            }
            return RenameAt(fdTo, pszTo, fdTo, pszAside);
        }) != 0)
        return errno;
    if (RenameAt(fdFrom, pszFrom, fdTo, pszTo) != 0) {
        const int e = errno;
        (void)RenameAt(fdTo, sAside, fdTo, pszTo);
        return e;
    }
    COrvError errDelete;
    DeleteSink quiet;
    quiet.bQuiet = true;
    if (!DeleteTreeAt(fdTo, sAside, Beside(pszToPath, sAside), true, quiet, errDelete))
        g_orv_log.Printf("OrvMoveFolder: the replaced folder %s stays as %s: %s\n", pszToPath,
                         sAside.GetString(), errDelete.Text().GetString());
    return 0;
}

// Moves a folder to another file system: the tree is copied (modes, times and, for root, owners
// kept) into a scratch folder beside the destination, which is then renamed into place; the
// source is deleted last. A failed copy removes the scratch folder and leaves both ends as they
// were.
bool MoveFolderAcross(const char* pszFrom, const char* pszTo, COrvError& err) {
    MoveEnds ends;
    if (const int e = ends.Open(pszFrom, pszTo); e != 0)
        return MoveFail(err, e, "folder", pszFrom, pszTo);
    const OrvFd from(OrvOpenFolderAt(ends.fromDir.Get(), ends.sFromName));
    struct stat stFrom;
    if (!from || FStat(from.Get(), stFrom) != 0)
        return MoveFail(err, errno, "folder", pszFrom, pszTo);
    COrvStringA sScratch;
    if (CreateScratch(ends.sToName, "new", sScratch, [&](const char* pszScratch) {
            return OrvSysRetry(
                [&] { return g_orv_sys.mkdirat(ends.toDir.Get(), pszScratch, 0700); });
        }) != 0)
        return MoveFail(err, errno, "folder", pszFrom, pszTo);
    CopyJob job;
    job.bExact = true;
    const OrvFd to(OrvOpenFolderAt(ends.toDir.Get(), sScratch));
    bool bOk = to && FStat(to.Get(), job.stTop) == 0;
    if (!bOk)
        OrvFileFail(err, errno, "Can not create folder ", pszTo);
    bOk = bOk && CopyTreeAt(from.Get(), pszFrom, to.Get(), pszTo, job, err);
    if (bOk) {
        KeepAttributes(ends.toDir.Get(), sScratch, to.Get(), stFrom);
        if (const int e =
                RenameOverFolder(ends.toDir.Get(), sScratch, ends.toDir.Get(), ends.sToName, pszTo);
            e != 0)
            bOk = OrvFileFail(err, e, "Can not create folder ", pszTo);
    }
    if (!bOk) {
        COrvError errClean;
        DeleteSink quiet;
        quiet.bQuiet = true;
        (void)DeleteTreeAt(ends.toDir.Get(), sScratch, Beside(pszTo, sScratch), true, quiet,
                           errClean);
        return MoveContext(err, "folder", pszFrom, pszTo);
    }
    return DeleteTreeAt(ends.fromDir.Get(), ends.sFromName, Trimmed(pszFrom), true, DeleteSink{},
                        err);
}

}  // namespace

bool OrvMoveFile(const char* pszFrom, const char* pszTo, COrvError& err) {
    const char* pszF = pszFrom != nullptr ? pszFrom : "";
    const char* pszT = pszTo != nullptr ? pszTo : "";
    if (OrvSysRename(pszF, pszT) == 0)
        return true;
    const int e = errno;
    if (e == EXDEV) {
        struct stat st;
        if (OrvSysRetry([&] { return g_orv_sys.lstat(pszF, &st); }) != 0)
            return MoveFail(err, errno, "file", pszF, pszT);
        if (S_ISDIR(st.st_mode)) {
            OrvFileFail(err, EISDIR, "cannot read file: ", pszF);
            return MoveContext(err, "file", pszF, pszT);
        }
        return MoveItemAcross(pszF, pszT, st, err);
    }
    if (!IsPermission(e))
        return MoveFail(err, e, "file", pszF, pszT);
    // Refused: the second try gets the owner write access to both folders, whose modes are put
    // back afterwards whatever the outcome.
    MoveEnds ends;
    if (const int eOpen = ends.Open(pszF, pszT); eOpen != 0)
        return MoveFail(err, e, "file", pszF, pszT,
                        COrvStringA("; SetFileAttributes error: ") + OrvErrnoText(eOpen));
    FolderWriteAccess fromAccess, toAccess;
    struct stat stFrom, stTo;
    const bool bSame = FStat(ends.fromDir.Get(), stFrom) == 0 &&
                       FStat(ends.toDir.Get(), stTo) == 0 && SameItem(stFrom, stTo);
    if (!fromAccess.Grant(ends.fromDir.Get()) || (!bSame && !toAccess.Grant(ends.toDir.Get())))
        return MoveFail(err, e, "file", pszF, pszT,
                        COrvStringA("; SetFileAttributes error: ") + OrvErrnoText(errno));
    if (RenameAt(ends.fromDir.Get(), ends.sFromName, ends.toDir.Get(), ends.sToName) != 0)
        return MoveFail(err, errno, "file", pszF, pszT);
    return true;
}

bool OrvMoveFolder(const char* pszFrom, const char* pszTo, COrvError& err) {
    const char* pszF = pszFrom != nullptr ? pszFrom : "";
    const char* pszT = pszTo != nullptr ? pszTo : "";
    if (OrvSysRename(pszF, pszT) == 0)
        return true;
    const int e = errno;
    if (e == EXDEV) {
        struct stat st;
        if (OrvSysRetry([&] { return g_orv_sys.lstat(pszF, &st); }) != 0)
            return MoveFail(err, errno, "folder", pszF, pszT);
        if (!S_ISDIR(st.st_mode))  // a link is moved as itself
            return MoveItemAcross(pszF, pszT, st, err);
        return MoveFolderAcross(pszF, pszT, err);
    }
    // Only a folder with items at the destination is "in the way"; any other refusal (access,
    // a file at the destination) fails with both ends untouched.
    if (e != EEXIST && e != ENOTEMPTY)
        return MoveFail(err, e, "folder", pszF, pszT);
    MoveEnds ends;
    if (const int eOpen = ends.Open(pszF, pszT); eOpen != 0)
        return MoveFail(err, eOpen, "folder", pszF, pszT);
    if (const int eMove = RenameOverFolder(ends.fromDir.Get(), ends.sFromName, ends.toDir.Get(),
                                           ends.sToName, pszT);
        eMove != 0)
        return MoveFail(err, eMove, "folder", pszF, pszT);
    return true;
}
