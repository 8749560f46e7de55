// The crash helper's minidump writer: the standard minidump format (little-endian, 32-bit file
// offsets), x86-64 contexts, with the Linux streams for /proc texts. The crashed process is
// traced with ptrace while its threads' registers are read; its memory is read through
// /proc/PID/mem.
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "orv-crash-os.h"
#include "orv-fd.h"
#include "orv-file.h"
#include "orv-sys.h"
#include "orv-utf.h"

#if !defined(__x86_64__)
#error "the minidump writer knows the x86-64 context only"
#endif

namespace {

// Stream types: the standard ones and the Linux ones.
constexpr uint32_t kThreadListStream = 3;
constexpr uint32_t kModuleListStream = 4;
constexpr uint32_t kMemoryListStream = 5;
constexpr uint32_t kExceptionStream = 6;
constexpr uint32_t kSystemInfoStream = 7;
constexpr uint32_t kLinuxCpuInfo = 0x47670003;
constexpr uint32_t kLinuxProcStatus = 0x47670004;
constexpr uint32_t kLinuxCmdLine = 0x47670006;
constexpr uint32_t kLinuxAuxv = 0x47670008;
constexpr uint32_t kLinuxMaps = 0x47670009;

constexpr uint32_t kContextSize = 1232;         // the x86-64 context record
constexpr uint32_t kContextFlags = 0x0010000F;  // x86-64: control, integer, segments, float
constexpr uint32_t kThreadSize = 48;
constexpr uint32_t kModuleSize = 108;
constexpr uint32_t kElfBuildIdSignature = 0x4c457042;  // "BpEL"
constexpr uint64_t kStackBelowSp = 128;                // the red zone below the stack pointer
constexpr uint64_t kMaxStack = 512 * 1024;             // stack bytes kept per thread
constexpr int kMaxScanFrames = 250;

// The registers of one thread, as the context record wants them.
struct SRegs {
    uint64_t a[16];  // rax rcx rdx rbx rsp rbp rsi rdi r8 .. r15, the context's order
    uint64_t nRip, nFlags;
    uint16_t nCs, nDs, nEs, nFs, nGs, nSs;
    uint8_t aFx[512];
};

struct SThread {
    pid_t nTid;
    bool bAttached;
    SRegs regs;
    uint64_t nStackStart;
    uint32_t nStackSize, nStackRva, nContextRva;
};

// The dump as it grows: every stream appended, offsets handed back.
class CDump {
public:
    uint32_t Size() const { return static_cast<uint32_t>(m_a.size()); }
    uint32_t Append(const void* p, size_t n) {
        Align();
        const uint32_t nRva = Size();
        const uint8_t* pb = static_cast<const uint8_t*>(p);
        m_a.insert(m_a.end(), pb, pb + n);
        return nRva;
    }
    uint32_t Reserve(size_t n) {
        Align();
        const uint32_t nRva = Size();
        m_a.resize(m_a.size() + n, 0);
        return nRva;
    }
    template <typename T>
    void Put(uint32_t nAt, T v) {
        memcpy(&m_a[nAt], &v, sizeof(T));
    }
    void PutBytes(uint32_t nAt, const void* p, size_t n) { memcpy(&m_a[nAt], p, n); }
    uint8_t* At(uint32_t nAt) { return &m_a[nAt]; }
    // A length-prefixed UTF-16 string with its terminator.
    uint32_t String(const char* psz, size_t nLen) {
        std::vector<char16_t> a(nLen + 1);
        int n =
            OrvUtf8ToUtf16(psz, static_cast<int>(nLen), true, a.data(), static_cast<int>(a.size()));
        if (n < 0)
            n = 0;
        const uint32_t nRva = Reserve(4 + 2 * static_cast<size_t>(n) + 2);
        Put<uint32_t>(nRva, static_cast<uint32_t>(2 * n));
        PutBytes(nRva + 4, a.data(), 2 * static_cast<size_t>(n));
        return nRva;
    }
    const std::vector<uint8_t>& Bytes() const { return m_a; }

private:
    void Align() { m_a.resize((m_a.size() + 7) & ~size_t(7), 0); }
    std::vector<uint8_t> m_a;
};

struct SDirEntry {
    uint32_t nType, nSize, nRva;
};

bool ReadText(const char* pszPath, COrvStringA& s) {
    COrvError err;
    return OrvReadWholeFile(pszPath, s, err);
}

// Reads what can be read of [nAddr, nAddr + nLen) into p; returns the bytes read from the start.
size_t ReadMem(int fdMem, uint64_t nAddr, void* p, size_t nLen) {
    size_t nDone = 0;
    while (nDone < nLen) {
        const ssize_t n = pread(fdMem, static_cast<char*>(p) + nDone, nLen - nDone,
                                static_cast<off_t>(nAddr + nDone));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        nDone += static_cast<size_t>(n);
    }
    return nDone;
}

void RegsFromGregs(const SOrvCrashRecord& rec, SRegs& r) {
    const uint64_t* g = rec.aGregs;
    // mcontext order: r8..r15, rdi, rsi, rbp, rbx, rdx, rax, rcx, rsp, rip, eflags, cs|gs|fs.
    r.a[0] = g[13];  // rax
    r.a[1] = g[14];  // rcx
    r.a[2] = g[12];  // rdx
    r.a[3] = g[11];  // rbx
    r.a[4] = g[15];  // rsp
    r.a[5] = g[10];  // rbp
    r.a[6] = g[9];   // rsi
    r.a[7] = g[8];   // rdi
    for (int i = 0; i < 8; ++i)
        r.a[8 + i] = g[i];
    r.nRip = g[16];
    r.nFlags = g[17];
    r.nCs = static_cast<uint16_t>(g[18] & 0xffff);
    r.nGs = static_cast<uint16_t>((g[18] >> 16) & 0xffff);
    r.nFs = static_cast<uint16_t>((g[18] >> 32) & 0xffff);
    r.nSs = 0x2b;
    r.nDs = r.nEs = 0;
    memcpy(r.aFx, rec.aFxSave, sizeof(r.aFx));
}

void RegsFromPtrace(const user_regs_struct& u, const user_fpregs_struct& f, SRegs& r) {
    const uint64_t a[16] = {u.rax, u.rcx, u.rdx, u.rbx, u.rsp, u.rbp, u.rsi, u.rdi,
                            u.r8,  u.r9,  u.r10, u.r11, u.r12, u.r13, u.r14, u.r15};
    memcpy(r.a, a, sizeof(a));
    r.nRip = u.rip;
    r.nFlags = u.eflags;
    r.nCs = static_cast<uint16_t>(u.cs);
    r.nDs = static_cast<uint16_t>(u.ds);
    r.nEs = static_cast<uint16_t>(u.es);
    r.nFs = static_cast<uint16_t>(u.fs);
    r.nGs = static_cast<uint16_t>(u.gs);
    r.nSs = static_cast<uint16_t>(u.ss);
    static_assert(sizeof(f) == sizeof(r.aFx));
    memcpy(r.aFx, &f, sizeof(r.aFx));
}

uint32_t WriteContext(CDump& dump, const SRegs& r) {
    const uint32_t nRva = dump.Reserve(kContextSize);
    dump.Put<uint32_t>(nRva + 0x30, kContextFlags);
    uint32_t nMxcsr;
    memcpy(&nMxcsr, r.aFx + 24, 4);
    dump.Put<uint32_t>(nRva + 0x34, nMxcsr);
    const uint16_t aSeg[6] = {r.nCs, r.nDs, r.nEs, r.nFs, r.nGs, r.nSs};
    dump.PutBytes(nRva + 0x38, aSeg, sizeof(aSeg));
    dump.Put<uint32_t>(nRva + 0x44, static_cast<uint32_t>(r.nFlags));
    dump.PutBytes(nRva + 0x78, r.a, sizeof(r.a));
    dump.Put<uint64_t>(nRva + 0xF8, r.nRip);
    dump.PutBytes(nRva + 0x100, r.aFx, sizeof(r.aFx));
    return nRva;
}

const SOrvMapsLine* FindMapping(const std::vector<SOrvMapsLine>& maps, uint64_t nAddr) {
    for (const SOrvMapsLine& m : maps)
        if (nAddr >= m.nStart && nAddr < m.nEnd)
            return &m;
    return nullptr;
}

// The stack of one thread: from below its stack pointer to the end of the stack's mapping, at
// most kMaxStack bytes.
void WriteStack(CDump& dump, int fdMem, const std::vector<SOrvMapsLine>& maps, SThread& t) {
    t.nStackStart = 0;
    t.nStackSize = 0;
    t.nStackRva = 0;
    const uint64_t nSp = t.regs.a[4];
    const SOrvMapsLine* pMap = FindMapping(maps, nSp);
    if (pMap == nullptr || !pMap->bRead)
        return;
    uint64_t nLo = nSp >= kStackBelowSp ? nSp - kStackBelowSp : 0;
    if (nLo < pMap->nStart)
        nLo = pMap->nStart;
    uint64_t nHi = pMap->nEnd;
    if (nHi - nLo > kMaxStack)
        nHi = nLo + kMaxStack;
    std::vector<uint8_t> a(nHi - nLo);
    const size_t nRead = ReadMem(fdMem, nLo, a.data(), a.size());
    if (nRead == 0)
        return;
    t.nStackStart = nLo;
    t.nStackSize = static_cast<uint32_t>(nRead);
    t.nStackRva = dump.Append(a.data(), nRead);
}

// The build id of the ELF image mapped at nBase, read from its notes in memory.
bool ReadBuildId(int fdMem, uint64_t nBase, std::vector<uint8_t>& aId) {
    Elf64_Ehdr eh;
    if (ReadMem(fdMem, nBase, &eh, sizeof(eh)) != sizeof(eh) ||
        memcmp(eh.e_ident, ELFMAG, SELFMAG) || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        eh.e_phentsize != sizeof(Elf64_Phdr) || eh.e_phnum == 0 || eh.e_phnum > 256)
        return false;
    std::vector<Elf64_Phdr> aPh(eh.e_phnum);
    const size_t nPhBytes = aPh.size() * sizeof(Elf64_Phdr);
    if (ReadMem(fdMem, nBase + eh.e_phoff, aPh.data(), nPhBytes) != nPhBytes)
        return false;
    uint64_t nBias = nBase;
    for (const Elf64_Phdr& ph : aPh)
        if (ph.p_type == PT_LOAD && ph.p_offset == 0) {
            nBias = nBase - (ph.p_vaddr & ~uint64_t(0xfff));
            break;
        }
    for (const Elf64_Phdr& ph : aPh) {
        if (ph.p_type != PT_NOTE || ph.p_memsz == 0 || ph.p_memsz > 65536)
            continue;
        std::vector<uint8_t> a(ph.p_memsz);
        if (ReadMem(fdMem, nBias + ph.p_vaddr, a.data(), a.size()) != a.size())
            continue;
        size_t nAt = 0;
        while (nAt + sizeof(Elf64_Nhdr) <= a.size()) {
            Elf64_Nhdr nh;
            memcpy(&nh, &a[nAt], sizeof(nh));
            const size_t nName = (nh.n_namesz + 3) & ~size_t(3);
            const size_t nDesc = (nh.n_descsz + 3) & ~size_t(3);
            const size_t nData = nAt + sizeof(nh);
            if (nName > a.size() - nData || nDesc > a.size() - nData - nName)
                break;
            if (nh.n_type == NT_GNU_BUILD_ID && nh.n_namesz == 4 &&
                memcmp(&a[nData], "GNU", 4) == 0 && nh.n_descsz > 0) {
                aId.assign(a.begin() + static_cast<long>(nData + nName),
                           a.begin() + static_cast<long>(nData + nName + nh.n_descsz));
                return true;
            }
            nAt = nData + nName + nDesc;
        }
    }
    return false;
}

struct SModule {
    uint64_t nBase, nEnd;
    const char* pszPath;
    size_t nPathLen;
};

// Modules: each file mapped from offset 0, with the mappings of the same file that follow it.
std::vector<SModule> CollectModules(const std::vector<SOrvMapsLine>& maps) {
    std::vector<SModule> a;
    for (const SOrvMapsLine& m : maps) {
        if (m.nPathLen == 0 || m.pszPath[0] != '/')
            continue;
        if (!a.empty() && a.back().nPathLen == m.nPathLen &&
            memcmp(a.back().pszPath, m.pszPath, m.nPathLen) == 0 && m.nStart >= a.back().nEnd) {
            a.back().nEnd = m.nEnd;
            continue;
        }
        if (m.nOffset == 0)
            a.push_back({m.nStart, m.nEnd, m.pszPath, m.nPathLen});
    }
    return a;
}

const SModule* FindModule(const std::vector<SModule>& mods, uint64_t nAddr) {
    for (const SModule& m : mods)
        if (nAddr >= m.nBase && nAddr < m.nEnd)
            return &m;
    return nullptr;
}

bool IsOurs(const std::vector<SModule>& mods, uint64_t nAddr) {
    const SModule* p = FindModule(mods, nAddr);
    return p && OrvIsFamilyModule(COrvStringA(p->pszPath, static_cast<int>(p->nPathLen)));
}

// The crashing thread's instruction and the return addresses found on its stack (words that point
// into executable mappings, at most kMaxScanFrames of them): does one lie in our modules?
bool ScanForOurs(const CDump& dump, const std::vector<SOrvMapsLine>& maps,
                 const std::vector<SModule>& mods, const SThread& t) {
    if (IsOurs(mods, t.regs.nRip))
        return true;
    int nFrames = 1;
    const uint8_t* p = dump.Bytes().data() + t.nStackRva;
    const uint64_t nSkip = t.regs.a[4] > t.nStackStart ? t.regs.a[4] - t.nStackStart : 0;
    for (uint64_t i = nSkip & ~uint64_t(7); i + 8 <= t.nStackSize && nFrames < kMaxScanFrames;
         i += 8) {
        uint64_t v;
        memcpy(&v, p + i, 8);
        const SOrvMapsLine* pMap = FindMapping(maps, v);
        if (pMap == nullptr || !pMap->bExec)
            continue;
        ++nFrames;
        if (IsOurs(mods, v))
            return true;
    }
    return false;
}

void AttachAll(pid_t nPid, std::vector<SThread>& threads, pid_t nCrashTid) {
    char szTask[64];
    snprintf(szTask, sizeof(szTask), "/proc/%d/task", nPid);
    DIR* pDir = opendir(szTask);
    if (pDir != nullptr) {
        while (dirent* pEnt = readdir(pDir)) {
            const pid_t nTid = static_cast<pid_t>(atoi(pEnt->d_name));
            if (nTid > 0)
                threads.push_back({nTid, false, {}, 0, 0, 0, 0});
        }
        closedir(pDir);
    }
    // The crashing thread first: readers select it when the exception does not name one.
    for (size_t i = 1; i < threads.size(); ++i)
        if (threads[i].nTid == nCrashTid)
            std::swap(threads[0], threads[i]);
    for (SThread& t : threads) {
        if (ptrace(PTRACE_SEIZE, t.nTid, nullptr, nullptr) != 0)
            continue;
        if (ptrace(PTRACE_INTERRUPT, t.nTid, nullptr, nullptr) != 0) {
            ptrace(PTRACE_DETACH, t.nTid, nullptr, nullptr);
            continue;
        }
        int nStatus;
        while (waitpid(t.nTid, &nStatus, __WALL) < 0 && errno == EINTR) {
        }
        t.bAttached = true;
    }
}

void DetachAll(std::vector<SThread>& threads) {
    for (SThread& t : threads)
        if (t.bAttached)
            ptrace(PTRACE_DETACH, t.nTid, nullptr, nullptr);
}

uint32_t AppendFile(CDump& dump, const char* pszPath, uint32_t& nSize) {
    COrvStringA s;
    nSize = 0;
    if (!ReadText(pszPath, s) || s.IsEmpty())
        return 0;
    nSize = static_cast<uint32_t>(s.GetLength());
    return dump.Append(s.GetString(), nSize);
}

}  // namespace

bool OrvParseMapsLine(const char* pLine, size_t nLen, SOrvMapsLine& line) {
    line = SOrvMapsLine();
    size_t i = 0;
    auto hex = [&](uint64_t& v, char cEnd) {
        size_t nDigits = 0;
        v = 0;
        for (; i < nLen && pLine[i] != cEnd; ++i, ++nDigits) {
            const char c = pLine[i];
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                return false;
            if (nDigits >= 16)
                return false;
            v = v * 16 + static_cast<uint64_t>(d);
        }
        if (i >= nLen || nDigits == 0)
            return false;
        ++i;  // the separator
        return true;
    };
    uint64_t nDev;
    if (!hex(line.nStart, '-') || !hex(line.nEnd, ' ') || line.nEnd < line.nStart)
        return false;
    if (i + 5 > nLen || pLine[i + 4] != ' ')
        return false;
    line.bRead = pLine[i] == 'r';
    line.bWrite = pLine[i + 1] == 'w';
    line.bExec = pLine[i + 2] == 'x';
    i += 5;
    if (!hex(line.nOffset, ' ') || !hex(nDev, ':') || !hex(nDev, ' '))
        return false;
    size_t nDigits = 0;
    for (; i < nLen && pLine[i] >= '0' && pLine[i] <= '9'; ++i, ++nDigits) {
        if (nDigits >= 19)
            return false;
        line.nInode = line.nInode * 10 + static_cast<uint64_t>(pLine[i] - '0');
    }
    if (nDigits == 0)
        return false;
    while (i < nLen && pLine[i] == ' ')
        ++i;
    line.pszPath = pLine + i;
    line.nPathLen = nLen - i;
    // A file removed since it was mapped keeps its path with this mark.
    static const char kDeleted[] = " (deleted)";
    const size_t nMark = sizeof(kDeleted) - 1;
    if (line.nPathLen > nMark && memcmp(line.pszPath + line.nPathLen - nMark, kDeleted, nMark) == 0)
        line.nPathLen -= nMark;
    return true;
}

bool OrvIsFamilyModule(const char* pszPath) {
    static const char* const kNames[] = {"tovrin", "tv", "vexil", "orv"};
    const char* pszName = strrchr(pszPath, '/');
    pszName = pszName ? pszName + 1 : pszPath;
    for (const char* pszFamily : kNames)
        if (strncasecmp(pszName, pszFamily, strlen(pszFamily)) == 0)
            return true;
    char szSelf[4096];
    const ssize_t n = readlink("/proc/self/exe", szSelf, sizeof(szSelf) - 1);
    if (n <= 0)
        return false;
    szSelf[n] = '\0';
    const char* pszSelf = strrchr(szSelf, '/');
    pszSelf = pszSelf ? pszSelf + 1 : szSelf;
    return strcasecmp(pszName, pszSelf) == 0;
}

bool OrvWriteMinidump(const SOrvCrashRecord& rec, const char* pszPath, bool* pbOurs,
                      COrvError& err) {
    if (pbOurs)
        *pbOurs = true;
    char szProc[64];
    snprintf(szProc, sizeof(szProc), "/proc/%d/maps", rec.nPid);
    COrvStringA sMaps;
    if (!ReadText(szProc, sMaps))
        return err.SetErrno(errno, "Cannot read the crashed process's maps: ");
    std::vector<SOrvMapsLine> maps;
    for (int nAt = 0; nAt < sMaps.GetLength();) {
        const char* p = sMaps.GetString() + nAt;
        const char* pEnd = static_cast<const char*>(memchr(p, '\n', sMaps.GetLength() - nAt));
        const size_t nLen = pEnd ? static_cast<size_t>(pEnd - p) : strlen(p);
        SOrvMapsLine line;
        if (OrvParseMapsLine(p, nLen, line))
            maps.push_back(line);
        nAt += static_cast<int>(nLen) + 1;
    }

    std::vector<SThread> threads;
    AttachAll(rec.nPid, threads, rec.nTid);
    snprintf(szProc, sizeof(szProc), "/proc/%d/mem", rec.nPid);
    OrvFd fdMem(open(szProc, O_RDONLY | O_CLOEXEC));
    if (!fdMem.IsValid()) {
        const int nErrno = errno;
        DetachAll(threads);
        return err.SetErrno(nErrno, "Cannot read the crashed process's memory: ");
    }

    CDump dump;
    const uint32_t kStreams = 10;
    dump.Reserve(32 + 12 * kStreams);
    std::vector<SDirEntry> dir;

    // Registers and stacks; the crashing thread's registers are those the signal saved.
    for (SThread& t : threads) {
        if (t.nTid == rec.nTid) {
            RegsFromGregs(rec, t.regs);
        } else if (t.bAttached) {
            user_regs_struct u;
            user_fpregs_struct f;
            memset(&f, 0, sizeof(f));
            if (ptrace(PTRACE_GETREGS, t.nTid, nullptr, &u) != 0)
                continue;
            ptrace(PTRACE_GETFPREGS, t.nTid, nullptr, &f);
            RegsFromPtrace(u, f, t.regs);
        } else {
            continue;
        }
        t.nContextRva = WriteContext(dump, t.regs);
        WriteStack(dump, fdMem.Get(), maps, t);
    }
    std::vector<SModule> mods = CollectModules(maps);
    if (pbOurs && !threads.empty() && threads[0].nTid == rec.nTid && threads[0].nContextRva)
        *pbOurs = ScanForOurs(dump, maps, mods, threads[0]);

    uint32_t nCount = 0;
    for (const SThread& t : threads)
        nCount += t.nContextRva ? 1 : 0;
    uint32_t nRva = dump.Reserve(4 + kThreadSize * nCount);
    dir.push_back({kThreadListStream, 4 + kThreadSize * nCount, nRva});
    dump.Put<uint32_t>(nRva, nCount);
    uint32_t nAt = nRva + 4;
    for (const SThread& t : threads) {
        if (!t.nContextRva)
            continue;
        dump.Put<uint32_t>(nAt, static_cast<uint32_t>(t.nTid));
        dump.Put<uint64_t>(nAt + 24, t.nStackStart);
        dump.Put<uint32_t>(nAt + 32, t.nStackSize);
        dump.Put<uint32_t>(nAt + 36, t.nStackRva);
        dump.Put<uint32_t>(nAt + 40, kContextSize);
        dump.Put<uint32_t>(nAt + 44, t.nContextRva);
        nAt += kThreadSize;
    }

    // Memory list: the stacks.
    uint32_t nMem = 0;
    for (const SThread& t : threads)
        nMem += t.nStackSize ? 1 : 0;
    nRva = dump.Reserve(4 + 16 * nMem);
    dir.push_back({kMemoryListStream, 4 + 16 * nMem, nRva});
    dump.Put<uint32_t>(nRva, nMem);
    nAt = nRva + 4;
    for (const SThread& t : threads) {
        if (!t.nStackSize)
            continue;
        dump.Put<uint64_t>(nAt, t.nStackStart);
        dump.Put<uint32_t>(nAt + 8, t.nStackSize);
        dump.Put<uint32_t>(nAt + 12, t.nStackRva);
        nAt += 16;
    }

    // Modules with their names and build ids.
    std::vector<uint32_t> aNameRva, aCvRva, aCvSize;
    for (const SModule& m : mods) {
        aNameRva.push_back(dump.String(m.pszPath, m.nPathLen));
        std::vector<uint8_t> aId;
        uint32_t nCv = 0, nCvSize = 0;
        if (ReadBuildId(fdMem.Get(), m.nBase, aId)) {
            nCvSize = static_cast<uint32_t>(4 + aId.size());
            nCv = dump.Reserve(nCvSize);
            dump.Put<uint32_t>(nCv, kElfBuildIdSignature);
            dump.PutBytes(nCv + 4, aId.data(), aId.size());
        }
        aCvRva.push_back(nCv);
        aCvSize.push_back(nCvSize);
    }
    nRva = dump.Reserve(4 + kModuleSize * mods.size());
    dir.push_back({kModuleListStream, static_cast<uint32_t>(4 + kModuleSize * mods.size()), nRva});
    dump.Put<uint32_t>(nRva, static_cast<uint32_t>(mods.size()));
    nAt = nRva + 4;
    for (size_t i = 0; i < mods.size(); ++i) {
        dump.Put<uint64_t>(nAt, mods[i].nBase);
        dump.Put<uint32_t>(nAt + 8, static_cast<uint32_t>(mods[i].nEnd - mods[i].nBase));
        dump.Put<uint32_t>(nAt + 20, aNameRva[i]);
        dump.Put<uint32_t>(nAt + 24, 0xFEEF04BD);  // the version record's signature
        dump.Put<uint32_t>(nAt + 76, aCvSize[i]);
        dump.Put<uint32_t>(nAt + 80, aCvRva[i]);
        nAt += kModuleSize;
    }

    // The exception: the signal (0 for the kinds that are not signals), its code and address.
    nRva = dump.Reserve(168);
    dir.push_back({kExceptionStream, 168, nRva});
    dump.Put<uint32_t>(nRva, static_cast<uint32_t>(rec.nTid));
    dump.Put<uint32_t>(nRva + 8, static_cast<uint32_t>(rec.nSignal));
    dump.Put<uint32_t>(nRva + 12, static_cast<uint32_t>(rec.nSigCode));
    dump.Put<uint64_t>(nRva + 24, rec.nAddress);
    for (const SThread& t : threads)
        if (t.nTid == rec.nTid && t.nContextRva) {
            dump.Put<uint32_t>(nRva + 160, kContextSize);
            dump.Put<uint32_t>(nRva + 164, t.nContextRva);
        }

    // The system: x86-64 Linux, the processor count and the kernel's version.
    struct utsname uts;
    memset(&uts, 0, sizeof(uts));
    uname(&uts);
    char szVersion[sizeof(uts.release) + sizeof(uts.version) + 2];
    snprintf(szVersion, sizeof(szVersion), "%s %s", uts.release, uts.version);
    const uint32_t nCsd = dump.String(szVersion, strlen(szVersion));
    nRva = dump.Reserve(56);
    dir.push_back({kSystemInfoStream, 56, nRva});
    dump.Put<uint16_t>(nRva, 9);  // x86-64
    const long nCpus = sysconf(_SC_NPROCESSORS_ONLN);
    dump.Put<uint8_t>(nRva + 6, static_cast<uint8_t>(nCpus > 0 && nCpus < 256 ? nCpus : 1));
    unsigned nMajor = 0, nMinor = 0, nBuild = 0;
    sscanf(uts.release, "%u.%u.%u", &nMajor, &nMinor, &nBuild);
    dump.Put<uint32_t>(nRva + 8, nMajor);
    dump.Put<uint32_t>(nRva + 12, nMinor);
    dump.Put<uint32_t>(nRva + 16, nBuild);
    dump.Put<uint32_t>(nRva + 20, 0x8201);  // Linux
    dump.Put<uint32_t>(nRva + 24, nCsd);

    // The Linux texts.
    static const struct {
        uint32_t nType;
        const char* pszFormat;
    } kTexts[] = {{kLinuxMaps, "/proc/%d/maps"},
                  {kLinuxProcStatus, "/proc/%d/status"},
                  {kLinuxCmdLine, "/proc/%d/cmdline"},
                  {kLinuxAuxv, "/proc/%d/auxv"},
                  {kLinuxCpuInfo, "/proc/cpuinfo"}};
    for (const auto& text : kTexts) {
        snprintf(szProc, sizeof(szProc), text.pszFormat, rec.nPid);
        uint32_t nSize;
        nRva = AppendFile(dump, szProc, nSize);
        if (nSize)
            dir.push_back({text.nType, nSize, nRva});
    }
    DetachAll(threads);

    // Header and directory.
    dump.Put<uint32_t>(0, 0x504d444d);  // "MDMP"
    dump.Put<uint32_t>(4, 0xa793);
    dump.Put<uint32_t>(8, static_cast<uint32_t>(dir.size()));
    dump.Put<uint32_t>(12, 32);
    dump.Put<uint32_t>(20, static_cast<uint32_t>(time(nullptr)));
    for (size_t i = 0; i < dir.size(); ++i) {
        dump.Put<uint32_t>(static_cast<uint32_t>(32 + 12 * i), dir[i].nType);
        dump.Put<uint32_t>(static_cast<uint32_t>(36 + 12 * i), dir[i].nSize);
        dump.Put<uint32_t>(static_cast<uint32_t>(40 + 12 * i), dir[i].nRva);
    }

    OrvFile file;
    if (!file.OpenWrite(pszPath, false, kOrvModeGiven | 0600, err) ||
        !file.Write(dump.Bytes().data(), dump.Bytes().size(), err)) {
        err.AddContext("Cannot write the minidump: ");
        return false;
    }
    return true;
}
