// Zipping a folder tree: the walk, and two threads that read and deflate entries while the
// caller's thread writes them in order.
#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "orv-file.h"
#include "orv-thread.h"
#include "orv-zip-os.h"
#include "orv-zip.h"

namespace {

// At most this many entries are read and deflated ahead of the one being written (each holds at
// most twice kOrvZipWholeLimit bytes).
constexpr size_t kAhead = 3;

struct CItem {
    COrvStringA sName;  // entry name
    COrvStringA sPath;  // file-system path
    bool bFolder = false;
    OrvTime tModification = 0;
    OrvTime tCreation = 0;
    uint32_t nDos = 0;
};

// Lists the tree below sFolder into aItems, in name order per folder, folders before their
// contents. A link to a folder becomes a folder entry whose tree is not entered; dangling links
// and special files are left out.
// (The paths are taken by value: aItems, which the recursion's arguments come from, grows.)
bool Walk(const COrvStringA sFolder, const COrvStringA sPrefix, std::vector<CItem>& aItems,
          COrvError& err) {
    COrvArray<OrvFileInfo> aList;
    if (!TvListDirFiles(sFolder, aList, err))
        return false;
    std::vector<const OrvFileInfo*> aSorted;
    for (size_t i = 0; i < aList.GetCount(); ++i)
        aSorted.push_back(&aList[i]);
    std::sort(aSorted.begin(), aSorted.end(), [](const OrvFileInfo* a, const OrvFileInfo* b) {
        return strcmp(a->sName, b->sName) < 0;
    });
    for (const OrvFileInfo* p : aSorted) {
        if (!p->bIsFolder && !p->bIsFile)
            continue;
        CItem item;
        item.sName = sPrefix + p->sName;
        item.sPath = sFolder + "/" + p->sName;
        item.bFolder = p->bIsFolder != 0;
        item.tModification = p->tModification;
        item.tCreation = p->tCreation;
        item.nDos = p->nAttributes & (kOrvAttrReadOnly | kOrvAttrHidden | kOrvAttrSystem);
        aItems.push_back(item);
        if (p->bIsFolder && !p->bIsLink && !Walk(item.sPath, item.sName + "/", aItems, err))
            return false;
    }
    return true;
}

// One entry on its way into the archive.
struct CSlot {
    OrvZipPrepared prep;
    OrvFile file;
    uint32_t nResult = kOrvZipOk;
};

// The shared state of the preparing threads and the writer. Entries are claimed in order; none
// is claimed more than kAhead entries beyond the one being written.
class CPipeline {
public:
    CPipeline(const COrvZip* h, const std::vector<CItem>& aItems)
        : m_h(h), m_aItems(aItems), m_aSlots(aItems.size()), m_aReady(aItems.size(), 0) {}

    // The helper thread: prepares entries until none is left or the writer stopped.
    void Prepare() {
        struct libdeflate_compressor* pComp = OrvZipCompressor();
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_cv.wait(lock, [&] { return m_bStop || m_nNext >= m_aItems.size() || CanClaim(); });
            if (m_bStop || m_nNext >= m_aItems.size())
                break;
            ClaimAndPrepare(lock, pComp);
        }
        lock.unlock();
        OrvZipFreeCompressor(pComp);
    }

    // The writer: entry i once it is prepared, preparing entries itself meanwhile. The slot is
    // null when memory ran out for it.
    CSlot* Next(size_t i, struct libdeflate_compressor* pComp) {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_aReady[i] == 0) {
            if (CanClaim())
                ClaimAndPrepare(lock, pComp);
            else
                m_cv.wait(lock);
        }
        return m_aSlots[i].get();
    }

    // The writer is done with entry i.
    void Release(size_t i) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_aSlots[i].reset();
        m_nWritten = i + 1;
        m_cv.notify_all();
    }

    void Stop() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
        m_cv.notify_all();
    }

private:
    bool CanClaim() const { return m_nNext < m_aItems.size() && m_nNext < m_nWritten + kAhead; }

    // Claims the next entry and prepares it with the lock released.
    void ClaimAndPrepare(std::unique_lock<std::mutex>& lock, struct libdeflate_compressor* pComp) {
        const size_t i = m_nNext++;
        lock.unlock();
        std::unique_ptr<CSlot> pSlot(new (std::nothrow) CSlot);
        if (pSlot != nullptr)
            PrepareOne(m_aItems[i], *pSlot, pComp);
        lock.lock();
        m_aSlots[i] = static_cast<std::unique_ptr<CSlot>&&>(pSlot);
        m_aReady[i] = 1;
        m_cv.notify_all();
    }

    void PrepareOne(const CItem& item, CSlot& slot, struct libdeflate_compressor* pComp) {
        if (item.bFolder) {
            OrvZipFolderRecord(slot.prep.rec, item.sName, item.tModification, item.tModification,
                               item.tCreation, item.nDos);
            return;
        }
        slot.nResult = pComp == nullptr ? kOrvZipNoAlloc
                                        : OrvZipPrepareFile(m_h, item.sName, item.sPath, slot.prep,
                                                            slot.file, pComp);
    }

    const COrvZip* m_h;
    const std::vector<CItem>& m_aItems;
    std::vector<std::unique_ptr<CSlot>> m_aSlots;
    std::vector<char> m_aReady;
    size_t m_nNext = 0;
    size_t m_nWritten = 0;
    bool m_bStop = false;
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

// The second preparing thread.
class CPrepareThread : public COrvThread {
public:
    explicit CPrepareThread(CPipeline& pipe) : m_pipe(pipe) {}
    bool Run(int&, COrvStringA&) override {
        m_pipe.Prepare();
        return true;
    }

private:
    CPipeline& m_pipe;
};

// The failure text of the handle's last failure: the writer's message and its reason.
bool ZipFail(COrvZip* h, uint32_t nResult, const char* pszItem, COrvError& err) {
    COrvStringA s("Can not create zip file: ");
    s += OrvZipResultMessage(nResult);
    if (pszItem != nullptr)
        s += COrvStringA(": ") + pszItem;
    const COrvError& last = OrvZipLastError(h);
    if (last.Failed())
        s += COrvStringA(": ") + last.Text();
    return err.Set(last.Failed() ? last.Code() : enNetBadRequest, s);
}

// Writes every item in order; false with err filled at the first failure.
bool AddItems(COrvZip* h, const std::vector<CItem>& aItems, COrvError& err) {
    CPipeline pipe(h, aItems);
    CPrepareThread helper(pipe);
    COrvStringA sIgnored;
    // One thread alone does all the work when a second cannot be started.
    const bool bHelper = aItems.size() > 1 && helper.Start(sIgnored);
    struct libdeflate_compressor* pComp = OrvZipCompressor();
    bool bOk = true;
    for (size_t i = 0; bOk && i < aItems.size(); ++i) {
        CSlot* pSlot = pipe.Next(i, pComp);
        uint32_t n = kOrvZipNoAlloc;
        if (pSlot == nullptr || pSlot->prep.bSelf) {
            n = pSlot == nullptr ? kOrvZipNoAlloc : kOrvZipOk;  // the archive itself: left out
        } else if (aItems[i].bFolder) {
            n = OrvZipAddRecord(h, pSlot->prep);
        } else {
            n = OrvZipAddReady(h, pSlot->prep, pSlot->file, pSlot->nResult);
        }
        if (n != kOrvZipOk)
            bOk = ZipFail(h, n, aItems[i].sPath, err);
        pipe.Release(i);
    }
    OrvZipFreeCompressor(pComp);
    pipe.Stop();
    if (bHelper)
        helper.Wait();
    return bOk;
}

}  // namespace

bool OrvZipFolder(const char* pszFolder, const char* pszZipPath, COrvError& err) {
    if (pszFolder == nullptr || pszZipPath == nullptr)
        return err.Set(enNetBadRequest, "Can not create zip file");
    COrvStringA sFolder(pszFolder);
    while (sFolder.GetLength() > 1 && sFolder[sFolder.GetLength() - 1] == '/')
        sFolder.Truncate(sFolder.GetLength() - 1);
    std::vector<CItem> aItems;
    if (!Walk(sFolder, "", aItems, err)) {
        err.AddContext("Can not create zip file: ");
        return false;
    }
    COrvZip* h = OrvZipCreateFile(pszZipPath, nullptr);
    if (h == nullptr)
        return err.Set(enNetBadRequest, "Can not create zip file");
    bool bOk = AddItems(h, aItems, err);
    COrvError errClose;
    const uint32_t n = OrvZipCloseKeep(h, &errClose);
    if (bOk && n != kOrvZipOk) {
        COrvStringA s("Can not create zip file: ");
        s += OrvZipResultMessage(n);
        if (errClose.Failed())
            s += COrvStringA(": ") + errClose.Text();
        bOk = err.Set(errClose.Failed() ? errClose.Code() : enNetBadRequest, s);
    }
    if (!bOk) {
        COrvError errIgnored;
        (void)TvDeleteFile(pszZipPath, errIgnored);
    }
    return bOk;
}

void OrvZipFolder(const char* pszFolder, const char* pszZipPath, int* pnCode,
                  COrvStringA* psError) {
    COrvError err;
    (void)OrvZipFolder(pszFolder, pszZipPath, err);
    err.CopyTo(pnCode, psError);
}
