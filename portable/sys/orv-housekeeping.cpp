// Housekeeping: old logs, stale temporary files, and all but the newest files of a folder.
#include "orv-housekeeping.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "orv-fd.h"
#include "orv-file-os.h"
#include "orv-file.h"
#include "orv-log.h"
#include "orv-sys.h"
#include "orv-time.h"

int64_t TvCleanUpCutOff(int64_t nNow, int nDays, int nHours) {
    if (nDays >= 1)
        return nNow - static_cast<int64_t>(nDays) * 86400;
    return nNow - static_cast<int64_t>(nHours) * 3600;
}

namespace {

// A file of the old server logs: in that folder, modified in March 2019 (local time) and at least
// a billion bytes large. Such files were written by a runaway logger and are removed at once.
bool IsRunawayServerLog(const OrvFileInfo& info) {
    if (strncmp(info.sPath, "/Library/Application Support/Tovrin/server", 42) != 0)
        return false;
    struct tm tm;
    if (info.tModification == 0 || !OrvLocalTime(info.tModification, &tm))
        return false;
    return tm.tm_year == 119 && tm.tm_mon == 2 && info.nSize >= 1000000000ull;
}

bool EndsWith(const COrvStringA& s, const char* pszEnd) {
    const int n = static_cast<int>(strlen(pszEnd));
    return s.GetLength() >= n && strcmp(s.GetString() + s.GetLength() - n, pszEnd) == 0;
}

// What one cleaning run needs at every level of its walk.
struct CleanJob {
    COrvLog& log;
    int64_t nCutOff;
    COrvArray<COrvStringA>* pDeleted;
};

// Deletes the file pszName of fdDir when it is an old log (or a runaway server log).
int CleanFileAt(const CleanJob& job, int fdDir, const char* pszName, const OrvFileInfo& info) {
    const bool bOld = info.tModification != 0 && info.tModification < job.nCutOff;
    if (!EndsWith(COrvStringA(pszName), ".log") || !(bOld || IsRunawayServerLog(info)))
        return 0;
    COrvError err;
    if (!OrvDeleteFileAt(fdDir, pszName, info.sPath, err)) {
        job.log.Printf("TvCleanUpLogs: cannot delete file %s: %s\n", info.sPath.GetString(),
                       err.Text().GetString());
        return 0;
    }
    if (job.pDeleted != nullptr)
        job.pDeleted->Add(info.sPath);
    return 1;
}

// Cleans the items of the open folder fd (at nDepth) and the folders below it, by descriptor:
// links are left alone, and a folder swapped for a link meanwhile is not entered.
int CleanFolderAt(const CleanJob& job, int fd, const COrvStringA& sFolder, int nDepth) {
    std::vector<std::string> names;
    if (OrvListNamesAt(fd, names) != 0)
        return 0;
    int nDeleted = 0;
    for (const std::string& name : names) {
        const COrvStringA sPath = sFolder + "/" + name.c_str();
        job.log.Printf("TvCleanUpLogs: sItemPath=%s\n", sPath.GetString());
        if (nDepth >= 50) {
            job.log.Printf("TvCleanUpLogs: skip level that is too deep: %s\n", sPath.GetString());
            continue;
        }
        struct stat st;
        if (OrvSysRetry(
                [&] { return g_orv_sys.fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW); }) != 0)
            continue;
        if (S_ISREG(st.st_mode)) {
            OrvFileInfo info;
            info.sPath = sPath;
            info.sName = name.c_str();
            info.tModification = static_cast<OrvTime>(st.st_mtime);
            info.nSize = static_cast<uint64_t>(st.st_size);
            nDeleted += CleanFileAt(job, fd, name.c_str(), info);
        } else if (S_ISDIR(st.st_mode)) {
            const OrvFd sub(OrvOpenFolderAt(fd, name.c_str()));
            if (sub)
                nDeleted += CleanFolderAt(job, sub.Get(), sPath, nDepth + 1);
        }
    }
    return nDeleted;
}

}  // namespace

int COrvLog::TvCleanUpLogs(const char* pszPath, int nDays, int nHours, int nDepth,
                           const OrvFileInfo* pInfo, COrvArray<COrvStringA>* pDeleted) {
    // The lock is held for the whole run; leaving goes through Leave so that entries queued by
    // other threads meanwhile are written afterwards.
    struct Held {
        COrvLog& log;
        explicit Held(COrvLog& l) : log(l) { log.m_lock.Lock(); }
        ~Held() { log.Leave(); }
    } held(*this);
    const CleanJob job{*this, TvCleanUpCutOff(OrvTimeNow(), nDays, nHours), pDeleted};
    const COrvStringA sPath(pszPath != nullptr ? pszPath : "");
    Printf("TvCleanUpLogs: sItemPath=%s\n", sPath.GetString());
    if (sPath.IsEmpty()) {
        Printf("TvCleanUpLogs: empty folder path\n");
        return 0;
    }
    if (nDepth >= 50) {
        Printf("TvCleanUpLogs: skip level that is too deep: %s\n", sPath.GetString());
        return 0;
    }
    OrvFileInfo info;
    if (pInfo != nullptr) {
        info = *pInfo;
    } else {
        COrvError err;
        if (!OrvGetFileInfo(sPath, info, err))
            return 0;
    }
    if (info.bIsLink && nDepth > 0)
        return 0;  // never follow a link out of the tree (the caller's own path may be one)
    if (info.bIsFile) {
        COrvStringA sName;
        const OrvFd fdDir(OrvOpenParentFolder(sPath, sName));
        if (!fdDir)
            return 0;
        info.sPath = sPath;
        return CleanFileAt(job, fdDir.Get(), sName, info);
    }
    if (!info.bIsFolder)
        return 0;
    // The top folder as the caller named it (it may be a link); below it, by descriptor only.
    const OrvFd fd(OrvSysOpen(sPath, O_RDONLY | O_DIRECTORY));
    return fd ? CleanFolderAt(job, fd.Get(), sPath, nDepth + 1) : 0;
}

namespace {

// A file of a folder, as its listing by descriptor found it.
struct FileAt {
    std::string sName;
    struct stat st;
    int nErrno;  // 0, or why its status could not be read
};

// The regular files (no links, folders or special files) of the open folder fd whose names match
// pszMask. 0 or an errno.
int ListFilesAt(int fd, const char* pszMask, std::vector<FileAt>& files) {
    files.clear();
    std::vector<std::string> names;
    if (const int e = OrvListNamesAt(fd, names); e != 0)
        return e;
    for (std::string& name : names) {
        if (!OrvFileNameMatches(pszMask, name.c_str()))
            continue;
        FileAt f{std::move(name), {}, 0};
        if (OrvSysRetry([&] {
                return g_orv_sys.fstatat(fd, f.sName.c_str(), &f.st, AT_SYMLINK_NOFOLLOW);
            }) != 0)
            f.nErrno = errno;
        else if (!S_ISREG(f.st.st_mode))
            continue;
        files.push_back(std::move(f));
    }
    return 0;
}

int DeleteOlderAt(int fd, const COrvStringA& sFolder, const char* pszMask, int64_t nCutOff,
                  COrvArray<COrvStringA>* pDeleted) {
    std::vector<FileAt> files;
    if (ListFilesAt(fd, pszMask, files) != 0)
        return 0;
    int nDeleted = 0;
    for (const FileAt& f : files) {
        if (f.nErrno != 0 || f.st.st_mtime >= nCutOff)
            continue;
        const COrvStringA sPath = sFolder + "/" + f.sName.c_str();
        COrvError errDelete;
        if (OrvDeleteFileAt(fd, f.sName.c_str(), sPath, errDelete)) {
            ++nDeleted;
            if (pDeleted != nullptr)
                pDeleted->Add(sPath);
        } else {
            g_orv_log.Printf("TvCleanUpTempFiles: cannot delete %s: %s\n", sPath.GetString(),
                             errDelete.Text().GetString());
        }
    }
    return nDeleted;
}

}  // namespace

int TvCleanUpTempFiles(const char* pszFolder, int nDays, COrvArray<COrvStringA>* pDeleted) {
    const int64_t nNow = OrvTimeNow();
    const int64_t nCutOff = nDays >= 1 ? TvCleanUpCutOff(nNow, nDays, 0) : nNow;
    int nDeleted = 0;
    COrvStringA sTemp;
    COrvError err;
    if (const OrvFd fdTemp(OrvOpenTempFolder(sTemp, err)); fdTemp) {
        for (const char* pszMask : {"tvtm_*", "tv*.tmp", "Tovrin*.zip", "tv_crash*.zip"})
            nDeleted += DeleteOlderAt(fdTemp.Get(), sTemp, pszMask, nCutOff, pDeleted);
    }
    if (pszFolder != nullptr && *pszFolder) {
        const OrvFd fd(OrvSysOpen(pszFolder, O_RDONLY | O_DIRECTORY));
        if (fd)
            nDeleted +=
                DeleteOlderAt(fd.Get(), COrvStringA(pszFolder), "*._tvtmp", nCutOff, pDeleted);
    }
    return nDeleted;
}

int TvCleanupAllExceptLatestFiles(const char* pszFolder, const char* pszMask, int nKeep) {
    const COrvStringA sFolder(pszFolder != nullptr ? pszFolder : "");
    std::vector<FileAt> files;
    const OrvFd fd(OrvSysOpen(sFolder, O_RDONLY | O_DIRECTORY));
    const int eList = !fd ? errno : ListFilesAt(fd.Get(), pszMask, files);
    if (eList != 0) {
        COrvError err;
        OrvFileFail(err, eList, "TvListDirFiles: ", sFolder);
        g_orv_log.Printf("TvCleanupAllExceptLatestFiles: cannot find %s/%s: %s\n",
                         sFolder.GetString(), pszMask != nullptr ? pszMask : "",
                         err.Text().GetString());
        return -1;
    }
    std::vector<FileAt> aFiles;
    for (FileAt& f : files) {
        if (f.nErrno == 0) {
            aFiles.push_back(std::move(f));
            continue;
        }
        COrvError errInfo;
        OrvFileFail(errInfo, f.nErrno, "OrvGetFileInfo: Invalid attributes for ",
                    sFolder + "/" + f.sName.c_str());
        g_orv_log.Printf("TvCleanupAllExceptLatestFiles: cannot GetInfo: %s/%s: %s\n",
                         sFolder.GetString(), f.sName.c_str(), errInfo.Text().GetString());
    }
    // Oldest first; equal times in name order, so that the result does not depend on listing order.
    std::sort(aFiles.begin(), aFiles.end(), [](const FileAt& a, const FileAt& b) {
        if (a.st.st_mtime != b.st.st_mtime)
            return a.st.st_mtime < b.st.st_mtime;
        return a.sName < b.sName;
    });
    const size_t nKeepCount = nKeep > 0 ? static_cast<size_t>(nKeep) : 0;
    int nDeleted = 0;
    for (size_t i = 0; i + nKeepCount < aFiles.size(); ++i) {
        const COrvStringA sPath = sFolder + "/" + aFiles[i].sName.c_str();
        COrvError errDelete;
        if (OrvDeleteFileAt(fd.Get(), aFiles[i].sName.c_str(), sPath, errDelete))
            ++nDeleted;
        else
            g_orv_log.Printf("TvCleanupAllExceptLatestFiles: cannot Delete files: %s: %s\n",
                             sPath.GetString(), errDelete.Text().GetString());
    }
    return nDeleted;
}
