#include "mirror-ring.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "orv-thread.h"

namespace {

size_t PageSize() {
    static const size_t s_nPage = [] {
        const long n = sysconf(_SC_PAGESIZE);
        return n > 0 ? static_cast<size_t>(n) : size_t{4096};
    }();
    return s_nPage;
}

// Makes the pages of memory files ahead of the rings that write to them, on a thread of its own.
// A large ring's first pass over its memory otherwise has its writer wait while the kernel
// allocates and zeroes each page the write reaches; a page that exists in the file already costs
// the writer only its mapping, about half as much. Lives for the rest of the process once started,
// as the spare rings do; it holds nothing but the copies of descriptors it was handed, each closed
// once its pages are made.
class CPageMaker {
public:
    // Asks for the bytes [nFrom, nFrom + nLength) of the memory file fd to be made. The request
    // holds a copy of the descriptor, so that the ring may go away meanwhile. False when no
    // thread can do it (it could not be started) or the descriptor cannot be copied.
    bool Ask(int fd, size_t nFrom, size_t nLength) {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_eState == EState::Failed) {
            return false;
        }
        const int nCopy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (nCopy < 0) {
            return false;
        }
        m_requests.push_back({nCopy, static_cast<off_t>(nFrom), static_cast<off_t>(nLength)});
        if (m_eState == EState::Idle) {
            COrvStringA strError;
            if (!m_thread.Start(strError)) {
                m_eState = EState::Failed;
                close(nCopy);
                m_requests.clear();
                return false;
            }
            m_eState = EState::Running;
        }
        lock.unlock();
        m_work.notify_one();
        return true;
    }

private:
    struct CRequest {
        int fd;
        off_t nFrom;
        off_t nLength;
    };
    class CThread : public COrvThread {
    public:
        explicit CThread(CPageMaker& maker) : m_maker(maker) {}
        bool Run(int&, COrvStringA&) override {
            pthread_setname_np(pthread_self(), "vexil-pages");
            m_maker.Serve();
            return true;
        }

    private:
        CPageMaker& m_maker;
    };
    enum class EState { Idle, Running, Failed };

    [[noreturn]] void Serve() {
        for (;;) {
            CRequest request;
            {
                std::unique_lock<std::mutex> lock(m_lock);
                m_work.wait(lock, [this] { return !m_requests.empty(); });
                request = m_requests.front();
                m_requests.pop_front();
            }
            // allocates what is not there yet and leaves every existing byte as it is; where it
            // fails (no memory) the writer's faults make the pages, as without this thread
            (void)fallocate(request.fd, 0, request.nFrom, request.nLength);
            close(request.fd);
        }
    }

    std::mutex m_lock;
    std::condition_variable m_work;
    std::deque<CRequest> m_requests;
    EState m_eState = EState::Idle;
    CThread m_thread{*this};
};

// Never destroyed: its thread runs on until the process ends.
CPageMaker& PageMaker() {
    static CPageMaker* s_pMaker = new CPageMaker;
    return *s_pMaker;
}

// Maps nCap bytes twice in a row; null when that cannot be had. *pbCopied tells that the upper
// half is a plain second copy (no memory file to map twice); otherwise *pFd is the memory file,
// which the mapping now owns.
char* MapMirrored(size_t nCap, bool* pbCopied, int* pFd) {
    void* pArea =
        mmap(nullptr, 2 * nCap, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (pArea == MAP_FAILED) {
        return nullptr;
    }
    char* pBase = static_cast<char*>(pArea);
    const int fd = memfd_create("vexil-ring", MFD_CLOEXEC);
    if (fd >= 0) {
        const bool bOk = ftruncate(fd, static_cast<off_t>(nCap)) == 0 &&
                         mmap(pBase, nCap, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) !=
                             MAP_FAILED &&
                         mmap(pBase + nCap, nCap, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED,
                              fd, 0) != MAP_FAILED;
        if (bOk) {
            *pbCopied = false;
            *pFd = fd;
            return pBase;
        }
        close(fd);
    }
    // no memory file: private memory whose upper half every write copies
    if (mmap(pBase, 2 * nCap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
             0) == MAP_FAILED) {
        munmap(pBase, 2 * nCap);
        return nullptr;
    }
    *pbCopied = true;
    return pBase;
}

// A released ring's mapping, kept for reuse.
using CSpare = CMirrorRingBytes::CMapping;

// The mappings of released rings, the newest last. One pane's worth at most (its text ring and
// its line-start ring): a window that clears its pane or makes a new one takes its old rings
// back, while one that is done with them keeps no more than the pane it had. Small rings are cheap
// to make again and go back to the system at once, so that a text growing step by step does not
// push the large rings out.
class CSpares {
public:
    static constexpr size_t kMinBytes = 1u << 20;
    static constexpr size_t kMaxBytes = 192u << 20;
    static constexpr size_t kMaxCount = 2;

    // Adopts the mapping, or unmaps it (and older ones) when that would go over the bounds.
    void Put(const CSpare& spare) {
        std::vector<CSpare> gone;
        if (spare.nCap < kMinBytes) {
            gone.push_back(spare);
            Unmap(gone);
            return;
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_spares.push_back(spare);
            m_nBytes += Bytes(spare);
            m_nMade += Made(spare);
            while (m_nBytes > kMaxBytes || m_spares.size() > kMaxCount) {
                gone.push_back(m_spares.front());
                m_nBytes -= Bytes(m_spares.front());
                m_nMade -= Made(m_spares.front());
                m_spares.erase(m_spares.begin());
            }
        }
        Unmap(gone);
    }
    // The newest mapping of exactly nCap bytes; false when none waits.
    bool Take(size_t nCap, CSpare* pSpare) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (size_t i = m_spares.size(); i-- > 0;) {
            if (m_spares[i].nCap == nCap) {
                *pSpare = m_spares[i];
                m_nBytes -= Bytes(m_spares[i]);
                m_nMade -= Made(m_spares[i]);
                m_spares.erase(m_spares.begin() + static_cast<std::ptrdiff_t>(i));
                return true;
            }
        }
        return false;
    }
    size_t GetMadeBytes() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_nMade;
    }
    void Drop() {
        std::vector<CSpare> gone;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            gone.swap(m_spares);
            m_nBytes = 0;
            m_nMade = 0;
        }
        Unmap(gone);
    }

private:
    // The memory a mapping holds: one copy of the ring, or two where the upper half is a copy.
    static size_t Bytes(const CSpare& spare) { return spare.bCopied ? 2 * spare.nCap : spare.nCap; }
    // The pages of it that exist: those its ring made ahead of its writes, in both halves where
    // the upper half is a copy.
    static size_t Made(const CSpare& spare) {
        return spare.bCopied ? 2 * spare.nPopulated : spare.nPopulated;
    }
    static void Unmap(const std::vector<CSpare>& spares) {
        for (const CSpare& spare : spares) {
            munmap(spare.pBase, 2 * spare.nCap);
            if (spare.fd >= 0) {
                close(spare.fd);
            }
        }
    }

    std::mutex m_lock;
    std::vector<CSpare> m_spares;
    size_t m_nBytes = 0;  // held in mappings, made or not: what the bounds count
    size_t m_nMade = 0;
};

// Never destroyed: rings released during the process's exit still find it.
CSpares& Spares() {
    static CSpares* s_pSpares = new CSpares;
    return *s_pSpares;
}

}  // namespace

size_t CMirrorRingBytes::SpareBytes() {
    return Spares().GetMadeBytes();
}

void CMirrorRingBytes::DropSpares() {
    Spares().Drop();
}

CMirrorRingBytes::~CMirrorRingBytes() {
    Release();
}

bool CMirrorRingBytes::Reserve(size_t nBytes, uint64_t nFrom, size_t nKeep) {
    if (nBytes <= m_map.nCap) {
        return true;
    }
    const size_t nPage = PageSize();
    const size_t nCap = (nBytes + nPage - 1) / nPage * nPage;
    CSpare spare;
    spare.nCap = nCap;
    if (!Spares().Take(nCap, &spare)) {
        spare.pBase = MapMirrored(nCap, &spare.bCopied, &spare.fd);
        if (spare.pBase == nullptr) {
            return false;
        }
    }
    nKeep = std::min(nKeep, m_map.nCap);
    CMirrorRingBytes grown;
    grown.m_map = spare;
    if (nKeep > 0) {
        grown.Write(nFrom, At(nFrom), nKeep);  // the old mirror makes the kept bytes one run
    }
    Release();
    std::swap(m_map, grown.m_map);
    return true;
}

void CMirrorRingBytes::PopulateFor(uint64_t nOffset, size_t n) {
    // The first pass of the ring over its memory: the pages ahead of the write are made at once,
    // a stretch at a time, instead of one fault per page as the copy reaches each. Runs that go
    // on into the upper half meet pages that exist already there.
    const size_t nPlace = static_cast<size_t>(nOffset % m_map.nCap);
    const size_t nEnd = std::min(m_map.nCap, nPlace + n);
    if (nEnd <= m_map.nPopulated || nPlace > m_map.nPopulated + kPopulateMax) {
        // made already, or far beyond the pages made so far (the text kept by a growth starts
        // where its offset falls): the faults make those, and nothing is made that may wait long
        return;
    }
    // ahead by as much as exists already, from 64 KiB to 1 MiB: a short text makes few pages
    const size_t nPage = PageSize();
    const size_t nAhead = std::clamp<size_t>(m_map.nPopulated, kPopulateMin, kPopulateMax);
    const size_t nTarget = std::min(m_map.nCap, (nEnd + nAhead + nPage - 1) / nPage * nPage);
    if (m_map.fd >= 0 && m_map.nPopulated >= kMakeFrom && m_map.nAsked < m_map.nCap) {
        // the stretch after this one is made meanwhile on the page maker's thread
        const size_t nWant = std::min(m_map.nCap, nTarget + kMakeAhead);
        const size_t nFrom = std::max(m_map.nAsked, nTarget);
        if (nWant > nFrom) {
            m_map.nAsked = PageMaker().Ask(m_map.fd, nFrom, nWant - nFrom) ? nWant : m_map.nCap;
        }
    }
#ifdef MADV_POPULATE_WRITE
    if (madvise(m_map.pBase + m_map.nPopulated, nTarget - m_map.nPopulated, MADV_POPULATE_WRITE) !=
        0) {
        m_map.nPopulated =
            m_map.nCap;  // not to be had (an older kernel): the faults make the pages
        return;
    }
#endif
    m_map.nPopulated = nTarget;
}

void CMirrorRingBytes::Write(uint64_t nOffset, const void* p, size_t n) {
    if (n == 0) {
        return;
    }
    std::memcpy(BeginWrite(nOffset, n), p, n);
    EndWrite(nOffset, n);
}

char* CMirrorRingBytes::BeginWrite(uint64_t nOffset, size_t n) {
    if (m_map.nPopulated < m_map.nCap && n > 0) {
        PopulateFor(nOffset, n);
    }
    return At(nOffset);
}

void CMirrorRingBytes::EndWrite(uint64_t nOffset, size_t n) {
    if (m_map.bCopied && n > 0) {
        // keep both halves alike: the part in the lower half has its copy above, the part that
        // ran into the upper half has its copy below
        char* pDst = At(nOffset);
        const size_t nPlace = static_cast<size_t>(nOffset % m_map.nCap);
        const size_t nLow = std::min(n, m_map.nCap - nPlace);
        std::memcpy(pDst + m_map.nCap, pDst, nLow);
        if (n > nLow) {
            std::memcpy(m_map.pBase, pDst + nLow, n - nLow);
        }
    }
}

void CMirrorRingBytes::Release() {
    if (m_map.pBase != nullptr) {
        Spares().Put(m_map);
    }
    m_map = CMapping();
}
