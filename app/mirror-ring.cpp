#include "mirror-ring.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

namespace {

size_t PageSize() {
    static const size_t s_nPage = [] {
        const long n = sysconf(_SC_PAGESIZE);
        return n > 0 ? static_cast<size_t>(n) : size_t{4096};
    }();
    return s_nPage;
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

// Writes n bytes to the file at nAt, all of them or false.
bool WriteAt(int fd, const char* p, size_t n, size_t nAt) {
    while (n > 0) {
        const ssize_t r = pwrite(fd, p, n, static_cast<off_t>(nAt));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
        nAt += static_cast<size_t>(r);
    }
    return true;
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
        const size_t nMade = Made(spare);
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_spares.push_back({spare, nMade});
            m_nBytes += Bytes(spare);
            m_nMade += nMade;
            while (m_nBytes > kMaxBytes || m_spares.size() > kMaxCount) {
                gone.push_back(m_spares.front().map);
                m_nBytes -= Bytes(m_spares.front().map);
                m_nMade -= m_spares.front().nMade;
                m_spares.erase(m_spares.begin());
            }
        }
        Unmap(gone);
    }
    // The newest mapping of exactly nCap bytes; false when none waits.
    bool Take(size_t nCap, CSpare* pSpare) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (size_t i = m_spares.size(); i-- > 0;) {
            if (m_spares[i].map.nCap == nCap) {
                *pSpare = m_spares[i].map;
                m_nBytes -= Bytes(m_spares[i].map);
                m_nMade -= m_spares[i].nMade;
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
            for (const CKept& kept : m_spares) {
                gone.push_back(kept.map);
            }
            m_spares.clear();
            m_nBytes = 0;
            m_nMade = 0;
        }
        Unmap(gone);
    }

private:
    // The memory a mapping holds: one copy of the ring, or two where the upper half is a copy.
    static size_t Bytes(const CSpare& spare) { return spare.bCopied ? 2 * spare.nCap : spare.nCap; }
    // The pages of it that exist: those of its memory file, or those its writes reached in both
    // halves where the upper half is a copy.
    static size_t Made(const CSpare& spare) {
        struct stat st {};
        if (spare.fd >= 0) {
            return fstat(spare.fd, &st) == 0 ? static_cast<size_t>(st.st_blocks) * 512 : 0;
        }
        return 2 * spare.nWritten;
    }
    static void Unmap(const std::vector<CSpare>& spares) {
        for (const CSpare& spare : spares) {
            munmap(spare.pBase, 2 * spare.nCap);
            if (spare.fd >= 0) {
                close(spare.fd);
            }
        }
    }

    // a spare and the pages it had made when it was put here
    struct CKept {
        CSpare map;
        size_t nMade;
    };
    std::mutex m_lock;
    std::vector<CKept> m_spares;
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

void CMirrorRingBytes::MapFor(size_t nPlace, size_t n) {
    // Pages ahead of the write are mapped at once, a stretch at a time, instead of one fault per
    // page as the copy reaches each. Runs that go on into the upper half meet pages that are
    // mapped already there.
    const size_t nEnd = std::min(m_map.nCap, nPlace + n);
    if (nEnd <= m_map.nMapped || nPlace > m_map.nMapped + kMapAheadMax) {
        // mapped already, or far beyond the pages mapped so far (the text kept by a growth starts
        // where its offset falls): the faults map those, and nothing is mapped that may wait long
        return;
    }
    // ahead by as much as is mapped already, from 64 KiB to 1 MiB: a short text maps few pages
    const size_t nPage = PageSize();
    const size_t nAhead = std::clamp<size_t>(m_map.nMapped, kMapAheadMin, kMapAheadMax);
    const size_t nTarget = std::min(m_map.nCap, (nEnd + nAhead + nPage - 1) / nPage * nPage);
    // pages of the memory file that writes made already, then the others, made as a write
    // makes them
    const size_t nMade = m_map.fd >= 0 ? (m_map.nWritten + nPage - 1) / nPage * nPage : 0;
    MapMade(std::clamp(nMade, m_map.nMapped, nTarget));
#ifdef MADV_POPULATE_WRITE
    if (m_map.nMapped < nTarget &&
        madvise(m_map.pBase + m_map.nMapped, nTarget - m_map.nMapped, MADV_POPULATE_WRITE) != 0) {
        m_map.nMapped = m_map.nCap;  // not to be had (an older kernel): the faults map the pages
        return;
    }
#endif
    m_map.nMapped = std::max(m_map.nMapped, nTarget);
}

void CMirrorRingBytes::MapMade(size_t nTo) {
    if (nTo <= m_map.nMapped) {
        return;
    }
#ifdef MADV_POPULATE_READ
    // A read maps a run of existing pages per fault, and the memory file's mapping leaves them
    // writable as they are.
    if (madvise(m_map.pBase + m_map.nMapped, nTo - m_map.nMapped, MADV_POPULATE_READ) != 0) {
        m_map.nMapped = m_map.nCap;  // not to be had (an older kernel): the faults map the pages
        return;
    }
#endif
    m_map.nMapped = nTo;
}

void CMirrorRingBytes::Write(uint64_t nOffset, const void* p, size_t n) {
    if (n == 0) {
        return;
    }
    const auto* pBytes = static_cast<const char*>(p);
    const size_t nPlace = static_cast<size_t>(nOffset % m_map.nCap);
    const size_t nLow = std::min(n, m_map.nCap - nPlace);
    const size_t nReached = n > nLow ? m_map.nCap : nPlace + n;
    // a short write that ends a long one (the rest of a hand-over) goes the same way
    const bool bLong = n >= kFileWriteMin || m_nLastWrite >= kFileWriteMin;
    m_nLastWrite = n;
    if (m_map.fd >= 0 && bLong && nPlace >= m_map.nWritten &&
        WriteAt(m_map.fd, pBytes, nLow, nPlace) && WriteAt(m_map.fd, pBytes + nLow, n - nLow, 0)) {
        m_map.nWritten = nReached;
        if (nPlace <= m_map.nMapped) {
            // mapped by reading, which maps a run of pages per fault: the next pass and the
            // next ring to take this memory write through the mapping
            const size_t nPage = PageSize();
            const size_t nTo = std::min(m_map.nCap, (nReached + nPage - 1) / nPage * nPage);
            MapMade(nTo);
        }
        return;
    }
    // over pages that exist, or a short write (or without a memory file, or without memory for
    // its pages): the mapping makes the pages that do not exist yet as the copy reaches them
    if (m_map.nMapped < m_map.nCap) {
        MapFor(nPlace, n);
    }
    char* pDst = m_map.pBase + nPlace;
    std::memcpy(pDst, p, n);
    if (m_map.bCopied) {
        // keep both halves alike: the part in the lower half has its copy above, the part that
        // ran into the upper half has its copy below
        std::memcpy(pDst + m_map.nCap, pDst, nLow);
        if (n > nLow) {
            std::memcpy(m_map.pBase, pDst + nLow, n - nLow);
        }
    }
    m_map.nWritten = std::max(m_map.nWritten, nReached);
}

void CMirrorRingBytes::Release() {
    if (m_map.pBase != nullptr) {
        Spares().Put(m_map);
    }
    m_map = CMapping();
}
