// Housekeeping: old logs, stale temporary files, and all but the newest files of a folder.
#include "orv-housekeeping.h"

#include <algorithm>

#include "orv-file-os.h"
#include "orv-file.h"
#include "orv-log.h"
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
    const int64_t nCutOff = TvCleanUpCutOff(OrvTimeNow(), nDays, nHours);
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
    int nDeleted = 0;
    if (info.bIsFile) {
        const bool bOld = info.tModification != 0 && info.tModification < nCutOff;
        if (EndsWith(info.sName.IsEmpty() ? sPath : info.sName, ".log") &&
            (bOld || IsRunawayServerLog(info))) {
            COrvError err;
            if (TvDeleteFile(sPath, err)) {
                ++nDeleted;
                if (pDeleted != nullptr)
                    pDeleted->Add(sPath);
            } else {
                Printf("TvCleanUpLogs: cannot delete file %s: %s\n", sPath.GetString(),
                       err.Text().GetString());
            }
        }
    } else if (info.bIsFolder) {
        COrvArray<OrvFileInfo> aItems;
        COrvError err;
        if (!OrvFileListFolder(sPath, aItems, err, nullptr, nDepth > 0))
            return 0;
        for (size_t i = 0; i < aItems.GetCount(); ++i) {
            const COrvStringA sItem = sPath + "/" + aItems[i].sName;
            nDeleted += TvCleanUpLogs(sItem, nDays, nHours, nDepth + 1, &aItems[i], pDeleted);
        }
    }
    return nDeleted;
}

namespace {

int DeleteOlder(const COrvStringA& sFolder, const char* pszMask, int64_t nCutOff,
                COrvArray<COrvStringA>* pDeleted) {
    COrvArray<OrvFileInfo> aItems;
    COrvError err;
    if (!TvListDirFiles(sFolder, aItems, err, pszMask))
        return 0;
    int nDeleted = 0;
    for (size_t i = 0; i < aItems.GetCount(); ++i) {
        const OrvFileInfo& item = aItems[i];
        if (!item.bIsFile || item.bIsLink || item.tModification >= nCutOff)
            continue;
        COrvError errDelete;
        if (TvDeleteFile(item.sPath, errDelete)) {
            ++nDeleted;
            if (pDeleted != nullptr)
                pDeleted->Add(item.sPath);
        } else {
            g_orv_log.Printf("TvCleanUpTempFiles: cannot delete %s: %s\n", item.sPath.GetString(),
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
    if (OrvGetTempFolder(sTemp, err)) {
        for (const char* pszMask : {"tvtm_*", "tv*.tmp", "Tovrin*.zip", "tv_crash*.zip"})
            nDeleted += DeleteOlder(sTemp, pszMask, nCutOff, pDeleted);
    }
    if (pszFolder != nullptr && *pszFolder)
        nDeleted += DeleteOlder(COrvStringA(pszFolder), "*._tvtmp", nCutOff, pDeleted);
    return nDeleted;
}

int TvCleanupAllExceptLatestFiles(const char* pszFolder, const char* pszMask, int nKeep) {
    const COrvStringA sFolder(pszFolder != nullptr ? pszFolder : "");
    COrvArray<OrvFileInfo> aItems;
    COrvError err;
    if (!TvListDirFiles(sFolder, aItems, err, pszMask)) {
        g_orv_log.Printf("TvCleanupAllExceptLatestFiles: cannot find %s/%s: %s\n",
                         sFolder.GetString(), pszMask != nullptr ? pszMask : "",
                         err.Text().GetString());
        return -1;
    }
    COrvArray<OrvFileInfo> aFiles;
    for (size_t i = 0; i < aItems.GetCount(); ++i) {
        if (aItems[i].bIsFolder || aItems[i].bIsLink)
            continue;
        OrvFileInfo info;
        COrvError errInfo;
        if (!OrvGetFileInfo(aItems[i].sPath, info, errInfo)) {
            g_orv_log.Printf("TvCleanupAllExceptLatestFiles: cannot GetInfo: %s: %s\n",
                             aItems[i].sPath.GetString(), errInfo.Text().GetString());
            continue;
        }
        aFiles.Add(info);
    }
    // Oldest first; equal times in name order, so that the result does not depend on listing order.
    OrvFileInfo* p = aFiles.GetData();
    std::sort(p, p + aFiles.GetCount(), [](const OrvFileInfo& a, const OrvFileInfo& b) {
        if (a.tModification != b.tModification)
            return a.tModification < b.tModification;
        return a.sName < b.sName;
    });
    const size_t nKeepCount = nKeep > 0 ? static_cast<size_t>(nKeep) : 0;
    int nDeleted = 0;
    for (size_t i = 0; i + nKeepCount < aFiles.GetCount(); ++i) {
        COrvError errDelete;
        if (TvDeleteFile(aFiles[i].sPath, errDelete))
            ++nDeleted;
        else
            g_orv_log.Printf("TvCleanupAllExceptLatestFiles: cannot Delete files: %s: %s\n",
                             aFiles[i].sPath.GetString(), errDelete.Text().GetString());
    }
    return nDeleted;
}
