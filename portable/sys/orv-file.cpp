// The portable half of the file module: attributes, the buffered writer, and the tree operations
// built on the single-item operations of orv-file-posix.cpp.
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

// ---- trees ----

namespace {

// Receives what a recursive delete does to each item.
struct DeleteSink {
    COrvArray<COrvStringA>* pReport = nullptr;  // the reporting variant's lines, else the log

    void Line(const COrvStringA& s) const {
        if (pReport != nullptr)
            pReport->Add(s);
        else
            g_orv_log.Printf("%s\n", s.GetString());
    }
};

bool DeleteTree(const COrvStringA& sFolder, bool bDeleteSelf, const DeleteSink& sink,
                COrvError& err) {
    const bool bReport = sink.pReport != nullptr;
    bool bOk = true;
    COrvArray<OrvFileInfo> aItems;
    COrvError errList;
    if (!OrvFileListFolder(sFolder, aItems, errList, nullptr, true)) {
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
    for (size_t i = 0; i < aItems.GetCount(); ++i) {
        const OrvFileInfo& item = aItems[i];
        COrvStringA s;
        if (item.bIsFolder && !item.bIsLink) {
            bOk = DeleteTree(item.sPath, true, sink, err) && bOk;
            continue;
        }
        // Files and links of every kind: a link is removed itself, its target stays.
        const bool bUnresolved = item.bIsLink && !item.bIsFolder && !item.bIsFile;
        COrvError errDelete;
        if (TvDeleteFile(item.sPath, errDelete)) {
            if (bReport)
                s.Format("%s%s", bUnresolved ? "Deleted Unresolved Link: " : "Deleted file: ",
                         item.sPath.GetString());
            else
                s.Format("TvRecursiveDeleteFolder: deleted %s", item.sPath.GetString());
        } else {
            bOk = false;
            err.Set(errDelete.Code(), errDelete.Text());
            if (bReport && bUnresolved)
                s.Format("Cannot Delete Unresolved Link %s: %s", item.sPath.GetString(),
                         errDelete.Text().GetString());
            else if (bReport)
                s.Format("Cannot delete file '%s': %s", item.sPath.GetString(),
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
    if (OrvFileRemoveFolder(sFolder, err)) {
        if (bReport)
            s.Format("Deleted folder: %s", sFolder.GetString());
        else
            s.Format("TvRecursiveDeleteFolder: deleted %s", sFolder.GetString());
    } else {
        bOk = false;
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
    COrvStringA sFolder(pszFolder != nullptr ? pszFolder : "");
    while (sFolder.GetLength() > 1 && sFolder[sFolder.GetLength() - 1] == '/')
        sFolder.Truncate(sFolder.GetLength() - 1);
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
        COrvStringA s;
        s.Format("%s: %s", sFolder.GetString(),
                 errInfo.Failed() ? errInfo.Text().GetString() : "not a folder");
        if (sink.pReport != nullptr) {
            COrvStringA sLine;
            sLine.Format("Cannot list folder '%s': %s", sFolder.GetString(),
                         errInfo.Failed() ? errInfo.Text().GetString() : "not a folder");
            sink.Line(sLine);
        } else {
            sink.Line(COrvStringA("TvRecursiveDeleteFolder: ERR: folder error: ") + s);
        }
        return err.Set(errInfo.Failed() ? errInfo.Code() : enNetNotFound,
                       COrvStringA("TvRecursiveDeleteFolder: ERR: folder error: ") + s);
    }
    return DeleteTree(sFolder, bDeleteSelf, sink, err);
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

bool TvCopyFolder(const char* pszFrom, const char* pszTo, COrvError& err) {
    COrvArray<OrvFileInfo> aItems;
    if (!TvListDirFiles(pszFrom, aItems, err)) {
        err.AddContext("TvCopyFolder: list source files: ");
        return false;
    }
    if (!OrvCreateFolder(pszTo, 0, err)) {
        err.AddContext("TvCopyFolder: making dest folder: ");
        return false;
    }
    for (size_t i = 0; i < aItems.GetCount(); ++i) {
        const OrvFileInfo& item = aItems[i];
        const COrvStringA sTo = COrvStringA(pszTo) + "/" + item.sName;
        if (item.bIsLink) {
            if (!OrvCreateLink(sTo, item.sLinkTarget, false, err)) {
                err.AddContext("TvCopyFolder: copy file: ");
                return false;
            }
        } else if (item.bIsFolder) {
            if (!TvCopyFolder(item.sPath, sTo, err))
                return false;
        } else if (!OrvCopyFile(item.sPath, sTo, err)) {
            err.AddContext("TvCopyFolder: copy file: ");
            return false;
        }
    }
    return true;
}
