// The Linux half of the console pipe: pipes, the child process, the reader thread, the background
// reaper of children and the character-set conversions through iconv.
#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <pthread.h>  // pthread_sigmask, pthread_setname_np
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "console-pipe.h"
#include "escape-filter.h"
#include "orv-descriptor.h"
#include "orv-process.h"
#include "orv-thread.h"
#include "orv-trace.h"
#include "orv-utf.h"

namespace {

// Native-order UTF-16 as iconv names it.
constexpr const char* kUtf16Native =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// Input lines end with LF: the shell would take a CR as part of the line's last word.
constexpr char16_t kInputLineEnd[] = u"\n";

// The longest piece of a command passed as one argument to the shell; a longer command is split.
// Far below the system's limit for one argument (32 pages), whatever the page size.
constexpr int kMaxArgument = 64 * 1024;
// Joins its arguments into one command and runs it, leaving no variable or argument of its own.
constexpr const char* kJoinScript =
    "vexil_command_=; for vexil_piece_ do vexil_command_=$vexil_command_$vexil_piece_; done; "
    "unset vexil_piece_; set --; eval \"unset vexil_command_; $vexil_command_\"";

// A character-set name reduced for comparison: letters upper-cased, "-", "_" and "." left out.
// False when the name is longer than the room (no set of interest is).
bool ReducedCharsetName(const char* pszName, char (&sz)[16]) {
    int n = 0;
    for (const char* p = pszName; *p; ++p) {
        if (*p == '-' || *p == '_' || *p == '.') {
            continue;
        }
        if (n == static_cast<int>(sizeof sz) - 1) {
            return false;
        }
        sz[n++] = static_cast<char>(*p >= 'a' && *p <= 'z' ? *p - 'a' + 'A' : *p);
    }
    sz[n] = 0;
    return true;
}

// Whether a character-set name means ASCII under one of its usual names ("ANSI_X3.4-1968" is the
// C library's name for the set of the C locale).
bool IsAsciiName(const char* pszName) {
    char sz[16];
    if (!pszName || !ReducedCharsetName(pszName, sz)) {
        return false;
    }
    for (const char* pszAscii : {"ANSIX341968", "ASCII", "USASCII", "ISO646US", "646"}) {
        if (strcmp(sz, pszAscii) == 0) {
            return true;
        }
    }
    return false;
}

// The descriptor moved to 3 or above (so that the child's standard descriptors can be set up
// without clobbering it), close-on-exec. Returns -1 (fd closed) on failure.
int AboveStandard(int fd) {
    if (fd < 0 || fd >= 3) {
        return fd;
    }
    const int nNew = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    OrvFdClose(fd);
    return nNew;
}

// A pipe with both ends close-on-exec and above the standard descriptors.
bool MakePipe(int* pnRead, int* pnWrite) {
    int fds[2];
    if (OrvFdPipe(fds) != 0) {
        return false;
    }
    fds[0] = AboveStandard(fds[0]);
    fds[1] = AboveStandard(fds[1]);
    if (fds[0] < 0 || fds[1] < 0) {
        if (fds[0] >= 0) {
            OrvFdClose(fds[0]);
        }
        if (fds[1] >= 0) {
            OrvFdClose(fds[1]);
        }
        return false;
    }
    *pnRead = fds[0];
    *pnWrite = fds[1];
    return true;
}

void CloseIfOpen(int& fd) {
    if (fd >= 0) {
        OrvFdClose(fd);
        fd = -1;
    }
}

// Writes everything to fd without letting SIGPIPE stop the program: the signal is blocked on this
// thread for the write, and a SIGPIPE that the write raised is taken off again. The rest of the
// program keeps its own disposition (and children do not inherit an ignored SIGPIPE).
bool WriteWithoutSigpipe(int fd, const void* p, size_t n) {
    sigset_t pipeSet;
    sigset_t oldMask;
    sigset_t pending;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask);
    sigemptyset(&pending);
    sigpending(&pending);
    const bool bWasPending = sigismember(&pending, SIGPIPE) == 1;
    const bool bOk = OrvFdWriteAll(fd, p, n);
    const int nErr = errno;
    if (!bOk && nErr == EPIPE && !bWasPending) {
        const struct timespec zero = {0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    errno = nErr;
    return bOk;
}

// Wakes a thread that polls the eventfd.
void Signal(int fd) {
    if (fd < 0) {
        return;
    }
    const uint64_t one = 1;
    WriteWithoutSigpipe(fd, &one, sizeof one);
}

// Reaps the children that pipes have let go of. A child is waited for at once when it has already
// exited; otherwise the reaper's thread (started on first need) waits for it in the background:
// through a pidfd where the kernel has them, else by looking again every 200 ms. Nothing is
// reported: the pipe never shows an exit status. The object lives as long as the process.
class CChildReaper {
public:
    static CChildReaper& Get() {
        static CChildReaper* s_pReaper = new CChildReaper;  // never destroyed: its thread runs on
        return *s_pReaper;
    }

    void Reap(pid_t pid) {
        if (pid <= 0) {
            return;
        }
        std::unique_lock<std::mutex> lock(m_lock);
        // Made on the first hand-over, needed or not, so that the reaper's descriptor count stays
        // the same from then on.
        if (m_hWake < 0) {
            m_hWake = AboveStandard(OrvFdEventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        }
        lock.unlock();
        if (TryWait(pid)) {
            return;
        }
        // Through syscall: the C library's own wrapper lacks C linkage in its header here.
        const int nPidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        lock.lock();
        if (!m_bStarted && m_hWake >= 0) {
            // The thread runs as long as the process; nobody waits for it.
            COrvStringA strError;
            m_bStarted = m_thread.Start(strError);
            m_thread.CloseHandle();
        }
        m_children.push_back({pid, nPidFd >= 0 ? AboveStandard(nPidFd) : -1});
        Signal(m_hWake);
    }

private:
    struct Child {
        pid_t pid;
        int hPidFd;  // -1 when the kernel gave none
    };

    // Reaps pid if it has exited; true also when it is no child of ours any more.
    static bool TryWait(pid_t pid) {
        COrvChildExit exit;
        const int r = OrvReapProcess(pid, false, exit);
        return r > 0 || (r < 0 && errno == ECHILD);
    }

    class CThread : public COrvThread {
    public:
        explicit CThread(CChildReaper* pReaper) : m_pReaper(pReaper) {}
        bool Run(int&, COrvStringA&) override {
            m_pReaper->Loop();
            return true;
        }

    private:
        CChildReaper* m_pReaper;
    };

    void Loop() {
        std::vector<pollfd> fds;
        for (;;) {
            bool bAllPidFds = true;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                fds.assign(1, pollfd{m_hWake, POLLIN, 0});
                for (const Child& child : m_children) {
                    if (child.hPidFd >= 0) {
                        fds.push_back(pollfd{child.hPidFd, POLLIN, 0});
                    } else {
                        bAllPidFds = false;
                    }
                }
            }
            int r;
            do {
                r = OrvFdPoll(fds.data(), fds.size(), bAllPidFds ? -1 : 200);
            } while (r < 0 && errno == EINTR);
            uint64_t nCount;
            while (OrvFdRead(m_hWake, &nCount, sizeof nCount) > 0) {
            }
            std::lock_guard<std::mutex> guard(m_lock);
            for (size_t i = 0; i < m_children.size();) {
                if (TryWait(m_children[i].pid)) {
                    if (m_children[i].hPidFd >= 0) {
                        OrvFdClose(m_children[i].hPidFd);
                    }
                    m_children[i] = m_children.back();
                    m_children.pop_back();
                } else {
                    ++i;
                }
            }
        }
    }

    std::mutex m_lock;
    std::vector<Child> m_children;
    int m_hWake = -1;
    bool m_bStarted = false;
    CThread m_thread{this};
};

// How long the reader waits, once the output has ended, for a shell that has not exited yet: the
// output ends as the shell closes its descriptors on the way out, a moment before it can be reaped.
// A shell that is still there after this runs on; the end does not wait for it.
constexpr int kExitGraceMs = 250;
// Without a pidfd the reader looks for the shell's exit this often.
constexpr int kExitPollMs = 100;
// Reads in a row, while output streams in, before the reader looks at its wake-up and the child.
constexpr int kReadsBetweenPolls = 64;
// The most one read takes from the pipe (what the pipe holds, up to this), and the most one chunk
// handed to OnOutput holds: the pane sees chunks of at most kChunkMax bytes however much a read
// brought, so that the per-chunk rules (trimming near the limit, tags) stay as they are, while
// the reader makes one system call per 64 KiB instead of one per 255 bytes.
constexpr int kReadMax = 64 * 1024;
constexpr int kChunkMax = 255;
// What the output pipe may hold (the most an unprivileged process may ask for by default).
constexpr int kPipeRoom = 1024 * 1024;

}  // namespace

int PipeChunkLength(const char* p, int n, bool bUtf8) {
    if (n <= kChunkMax) {
        return n;
    }
    int nCut = kChunkMax;
    if (bUtf8) {
        // p[nCut] continues a sequence: move the cut to the sequence's first byte, when that is
        // within a sequence's length
        int k = nCut;
        while (k > nCut - 3 && (static_cast<unsigned char>(p[k]) & 0xC0) == 0x80) {
            --k;
        }
        if (k < nCut && static_cast<unsigned char>(p[k]) >= 0xC0) {
            nCut = k;
        }
    }
    if (p[nCut - 1] == '\r' && p[nCut] == '\n') {
        --nCut;
    }
    return nCut;
}

namespace {

int64_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

CPipeExit ExitFromChild(const COrvChildExit& child) {
    CPipeExit exit;
    exit.kind = child.bSignalled ? CPipeExit::EKind::Signalled : CPipeExit::EKind::Exited;
    exit.nCode = child.nCode;
    exit.bCoreDumped = child.bCoreDumped;
    return exit;
}

}  // namespace

// The reader thread of one pipe. Owned by the pipe, which waits for it in Close; a pipe that
// destroys itself on this thread hands the object over to the thread, which deletes it once Run
// has returned.
class CPipeReaderThread : public COrvThread {
public:
    explicit CPipeReaderThread(CConsolePipe* pPipe) : m_pPipe(pPipe) {}
    bool Run(int&, COrvStringA&) override {
        CConsolePipe::ReaderThreadProc(m_pPipe);
        return true;
    }
    // Called on this thread only: the object goes when the thread ends.
    void DeleteWhenDone() { m_bDeleteWhenDone = true; }

private:
    CConsolePipe* m_pPipe;
};

namespace {

// Does nothing on the owner thread: a call made after a post returns once the post was handled.
void NoPaneCall(ITextPane&, void*) {}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Conversions

CPipeDecoder::CPipeDecoder(const char* pszCharset) {
    if (!OrvCharsetIsUtf8(pszCharset)) {
        (void)m_iconv.Open(kUtf16Native, pszCharset);  // unknown to iconv: decoded as UTF-8
    }
}

CPipeDecoder::~CPipeDecoder() = default;

int CPipeDecoder::DecodeIconv(const char* p, int nLen, char16_t* pOut) {
    const char* pIn = p;
    size_t nIn = static_cast<size_t>(nLen);
    char* pDst = reinterpret_cast<char*>(pOut);
    // Every input byte gives at most one unit here (none of the locale sets packs more).
    size_t nRoom = static_cast<size_t>(nLen + kMaxCarry) * sizeof(char16_t);
    while (nIn > 0) {
        if (m_iconv.Convert(&pIn, &nIn, &pDst, &nRoom) != static_cast<size_t>(-1)) {
            break;
        }
        if (errno == EINVAL && nIn <= static_cast<size_t>(kMaxCarry)) {
            memcpy(m_carry, pIn, nIn);  // the input ends inside a sequence
            m_nCarry = static_cast<int>(nIn);
            nIn = 0;
            break;
        }
        if (nRoom < sizeof(char16_t)) {
            break;  // cannot happen with the room given; never loop on it
        }
        // A byte that cannot be converted (or a sequence too long to carry).
        const char16_t nBad = 0xFFFD;
        memcpy(pDst, &nBad, sizeof nBad);
        pDst += sizeof nBad;
        nRoom -= sizeof nBad;
        ++pIn;
        --nIn;
        m_iconv.Reset();
    }
    const int nOut = static_cast<int>((pDst - reinterpret_cast<char*>(pOut)) / 2);
    pOut[nOut] = 0;
    return nOut;
}

const char* PipeChildCharset() {
    const char* pszCharset = g_pszPipeCharset ? g_pszPipeCharset : nl_langinfo(CODESET);
    if (!pszCharset || !*pszCharset || IsAsciiName(pszCharset)) {
        return "UTF-8";
    }
    return pszCharset;
}

bool PipeEncode(const char16_t* psz, int nLen, const char* pszCharset, COrvStringA& strOut,
                int* pnUnencodable) {
    strOut.Empty();
    if (pnUnencodable) {
        *pnUnencodable = -1;
    }
    if (!psz) {
        return true;
    }
    if (nLen < 0) {
        nLen = 0;
        while (psz[nLen]) {
            ++nLen;
        }
    }
    if (nLen == 0) {
        return true;
    }
    if (OrvCharsetIsUtf8(pszCharset)) {
        return OrvUtf16ToUtf8(psz, nLen, strOut);
    }
    COrvIconv iconv;
    if (!iconv.Open(pszCharset, kUtf16Native)) {
        return OrvUtf16ToUtf8(psz, nLen, strOut);  // a set iconv does not know: as the decoder
    }
    // Four bytes per unit hold every multi-byte set; the end sequence of a stateful set fits the
    // spare 16.
    const int nCap = nLen * 4 + 16;
    char* pBuf = strOut.GetBuffer(nCap);
    if (!pBuf) {
        return false;
    }
    const char* pIn = reinterpret_cast<const char*>(psz);
    size_t nIn = static_cast<size_t>(nLen) * sizeof(char16_t);
    char* pDst = pBuf;
    size_t nRoom = static_cast<size_t>(nCap);
    const char* pStart = pIn;
    bool bOk = iconv.Convert(&pIn, &nIn, &pDst, &nRoom) != static_cast<size_t>(-1) &&
               iconv.Convert(nullptr, nullptr, &pDst, &nRoom) != static_cast<size_t>(-1);
    // EILSEQ: a character the set cannot hold (or a broken surrogate); EINVAL: the text ends in
    // the first half of a pair. The room given holds every set's bytes, so E2BIG cannot happen.
    const int nErr = bOk ? 0 : errno;
    if (!bOk) {
        strOut.ReleaseBuffer(0);
        if (pnUnencodable && (nErr == EILSEQ || nErr == EINVAL)) {
            *pnUnencodable = static_cast<int>((pIn - pStart) / 2);
        }
        return false;
    }
    strOut.ReleaseBuffer(static_cast<int>(pDst - pBuf));
    return true;
}

// ---------------------------------------------------------------------------------------------
// The pipe

int g_nPipeKillDelayMs = 3000;

bool CConsolePipe::Stop() {
    std::lock_guard<std::mutex> guard(m_lock);
    // Noted before the signal: the shell may be reaped the moment it arrives, and its exit must
    // read as stopped.
    const bool bWasRequested = m_bStopRequested.exchange(true);
    if (m_nProcessGroup <= 0 || kill(-m_nProcessGroup, SIGTERM) != 0) {
        m_bStopRequested = bWasRequested;
        return false;  // nothing started, or the group is gone
    }
    m_nKillAtMs = MonotonicMs() + std::max(1, g_nPipeKillDelayMs);
    Signal(m_hWake);  // the reader now waits with a time-out for the SIGKILL
    return true;
}

bool CConsolePipe::ReapIfExited() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_hProcess == 0) {
        return true;
    }
    COrvChildExit exit;
    const int r = OrvReapProcess(m_hProcess, false, exit);
    if (r == 0) {
        return false;
    }
    if (r > 0) {
        ReportExit(ExitFromChild(exit));
    }  // else no child of ours any more: nothing to tell
    m_hProcess = 0;
    CloseIfOpen(m_hPidFd);
    return true;
}

void CConsolePipe::ReportExit(CPipeExit exit) {
    exit.bStopRequested = m_bStopRequested;
    m_pExitReport->Set(exit);
}

bool CConsolePipe::EnsureHiddenConsole() {
    g_bConsoleAllocated = true;
    return g_bConsoleAllocated;
}

int CConsolePipe::Run(const char16_t* pszCommand) {
    // Held until Run is done with the object: the reader waits for it before it starts, so that
    // a quick end of output cannot destroy the object under Run.
    std::unique_lock<std::mutex> gate(m_gate);
    CollectEndedReader();
    if (m_hReaderThread && (m_dwFlags & CPIPE_INTERACTIVE)) {
        COrvStringW line(pszCommand ? pszCommand : u"");
        COrvStringA bytes;
        int nUnencodable = -1;
        if (!PipeEncode(line, -1, m_szCharset, bytes, &nUnencodable) && nUnencodable >= 0) {
            return kPipeUnencodable;
        }
        line += kInputLineEnd;
        WriteInput(line);
        return 0;
    }
    if (m_hReaderThread) {
        return 2;
    }
    if (!pszCommand || !*pszCommand) {
        return 1;
    }
    snprintf(m_szCharset, sizeof m_szCharset, "%s", PipeChildCharset());
    {
        // Refused before anything is made: the command as given, or nothing.
        COrvStringA bytes;
        int nUnencodable = -1;
        if (!PipeEncode(pszCommand, -1, m_szCharset, bytes, &nUnencodable)) {
            return nUnencodable >= 0 ? kPipeUnencodable : 2;
        }
    }
    if (fcntl(STDERR_FILENO, F_GETFD) < 0 && !EnsureHiddenConsole()) {
        return 2;
    }

    int hOutputRead = -1;
    int hOutputWrite = -1;
    int hInputRead = -1;
    int hInputWrite = -1;
    int nResult = 2;
    if (MakePipe(&hOutputRead, &hOutputWrite) && MakePipe(&hInputRead, &hInputWrite)) {
        m_hWake = AboveStandard(OrvFdEventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    }
    if (m_hWake >= 0) {
        // Room for a flood to run ahead while the reader and the window are busy (on a machine
        // with few cores they share them with the command): fewer stops and wake-ups for both
        // ends. The kernel's default is 64 KiB; where it refuses more, that stays.
        fcntl(hOutputRead, F_SETPIPE_SZ, kPipeRoom);
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_hStdoutRead = hOutputRead;
            m_hStdinWrite = hInputWrite;
        }
        hOutputRead = hInputWrite = -1;
        if (!StartProcess(pszCommand, hOutputWrite, hInputRead, hOutputWrite)) {
            nResult = 1;
        } else {
            // From here only the child holds the write end of the output pipe: the output ends
            // when the child and whatever inherited it have closed it.
            CloseIfOpen(hOutputWrite);
            CloseIfOpen(hInputRead);
            if (!(m_dwFlags & CPIPE_INTERACTIVE)) {
                // Nothing is ever written to a one-shot command: its input is at its end at once,
                // so that a command that reads it (cat, read, a question) ends instead of waiting.
                std::lock_guard<std::mutex> guard(m_lock);
                CloseIfOpen(m_hStdinWrite);
            }
            m_pReader = new (std::nothrow) CPipeReaderThread(this);
            COrvStringA strError;
            if (m_pReader != nullptr && m_pReader->Start(strError)) {
                // The reader waits for m_gate, so it is still there to have its number.
                m_hReaderThread = static_cast<uint64_t>(m_pReader->GetThreadNumber());
                nResult = 0;
            } else {
                delete m_pReader;
                m_pReader = nullptr;
            }
        }
    }
    CloseIfOpen(hOutputRead);
    CloseIfOpen(hOutputWrite);
    CloseIfOpen(hInputRead);
    CloseIfOpen(hInputWrite);
    if (nResult != 0) {
        Close();
    }
    return nResult;
}

void CConsolePipe::Close() {
    if (m_hReaderThread) {
        if (static_cast<uint64_t>(OrvGetThreadNumber()) == m_hReaderThread) {
            m_pReader->DeleteWhenDone();  // the reader destroys its own pipe at the end
        } else {
            m_bStop = true;
            Signal(m_hWake);
            m_pReader->Wait();
            delete m_pReader;
        }
        m_pReader = nullptr;
        m_hReaderThread = 0;
    }
    m_bStop = false;
    m_bReaderEnded = false;
    m_bStopRequested = false;
    m_nKillAtMs = 0;
    ReleaseHandles();
    CloseIfOpen(m_hWake);
}

void CConsolePipe::ReleaseHandles() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_hProcess) {
        CChildReaper::Get().Reap(m_hProcess);
        m_hProcess = 0;
    }
    m_nProcessGroup = 0;
    CloseIfOpen(m_hPidFd);
    CloseIfOpen(m_hStdinWrite);
    CloseIfOpen(m_hStdoutRead);
}

void CConsolePipe::CollectEndedReader() {
    if (m_hReaderThread && m_bReaderEnded) {
        m_pReader->Wait();
        delete m_pReader;
        m_pReader = nullptr;
        m_hReaderThread = 0;
        m_bReaderEnded = false;
        CloseIfOpen(m_hWake);
    }
}

bool CConsolePipe::WriteInput(const char16_t* pszText) {
    if (!pszText || !*pszText) {
        return false;
    }
    COrvStringA bytes;
    if (!PipeEncode(pszText, -1, m_szCharset, bytes) || bytes.IsEmpty()) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_hStdinWrite < 0) {
        return false;
    }
    return WriteWithoutSigpipe(m_hStdinWrite, static_cast<const char*>(bytes),
                               static_cast<size_t>(bytes.GetLength()));
}

bool CConsolePipe::StartProcess(const char16_t* pszCommand, int hStdOutput, int hStdInput,
                                int hStdError) {
    const bool bInteractive = (m_dwFlags & CPIPE_INTERACTIVE) != 0;
    COrvStringA command;
    if (!PipeEncode(pszCommand, -1, m_szCharset, command)) {
        return false;
    }
    const char* pszShell = g_pszPipeInterpreter ? g_pszPipeInterpreter : "/bin/sh";
    std::vector<char*> argv = {const_cast<char*>(pszShell),
                               const_cast<char*>(bInteractive ? "-s" : "-c")};
    // One argument of the system holds at most 32 pages (128 KiB with 4 KiB pages, its NUL
    // included). A longer command goes as pieces after a short script that joins them and runs
    // the whole (eval runs the text as -c would; the script's own variables are gone by then).
    std::vector<std::string> pieces;
    if (!bInteractive && command.GetLength() > kMaxArgument) {
        argv.push_back(const_cast<char*>(kJoinScript));
        argv.push_back(const_cast<char*>(pszShell));  // $0: the shell's path, as for -c COMMAND
        const char* p = command;
        for (int nPos = 0; nPos < command.GetLength(); nPos += kMaxArgument) {
            pieces.emplace_back(
                p + nPos, static_cast<size_t>(std::min(kMaxArgument, command.GetLength() - nPos)));
        }
        for (std::string& piece : pieces) {
            argv.push_back(piece.data());
        }
    } else if (!bInteractive) {
        argv.push_back(const_cast<char*>(static_cast<const char*>(command)));
    }
    argv.push_back(nullptr);

    // Exactly the three standard descriptors, in a process group of its own.
    COrvSpawnSpec spec;
    spec.pszProgram = pszShell;
    spec.argv = argv.data();
    spec.hStdIn = hStdInput;
    spec.hStdOut = hStdOutput;
    spec.hStdErr = hStdError;
    spec.bNewGroup = true;
    int pid = 0;
    COrvError err;
    if (!OrvSpawnProcess(spec, pid, "", err)) {
        return false;
    }
    // Through syscall: the C library's own wrapper lacks C linkage in its header here. Without a
    // pidfd (an older kernel) the reader looks for the exit from time to time instead.
    const int nPidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_hProcess = pid;
        m_nProcessGroup = pid;
        m_hPidFd = nPidFd >= 0 ? AboveStandard(nPidFd) : -1;
    }
    if (bInteractive) {
        // The shell, started without it, reads the command as its first input line.
        COrvStringW line(pszCommand);
        line += kInputLineEnd;
        WriteInput(line);
    }
    return true;
}

int CConsolePipe::ReaderThreadProc(CConsolePipe* pPipe) {
    pthread_setname_np(pthread_self(), "vexil-reader");  // as top -H and profilers list it
    {
        std::lock_guard<std::mutex> gate(pPipe->m_gate);  // Run is done with the object
    }
    CPipeDecoder decoder(pPipe->m_szCharset);
    CEscapeFilter filter;
    std::vector<CTextAttrRun> runs;
    std::vector<char> buf(kReadMax);  // on the heap: a reader's stack stays small
    const bool bUtf8 = decoder.IsUtf8();
    char16_t decoded[CPipeDecoder::OutputRoom(kChunkMax)];
    // the decoded text without its escape sequences, after a CR held back from the last chunk
    // (and the room TextPaneWidenAscii writes past its units)
    char16_t text[CPipeDecoder::OutputRoom(kChunkMax) + 17];
    bool bHeldCr = false;
    // Hands the filtered units that fill(pOut) writes after a CR held back from the last chunk
    // to OnOutput. A CR at the end waits for the next read (unless bFinal): an LF may follow it
    // there, and the pair must reach the pane as one line end.
    auto deliver = [&](auto fill, bool bFinal) {
        runs.clear();
        const int nFirst = bHeldCr ? 1 : 0;
        text[0] = u'\r';
        int nText = nFirst + fill(text + nFirst);
        for (CTextAttrRun& run : runs) {
            run.nStart += nFirst;
        }
        bHeldCr = !bFinal && nText > 0 && text[nText - 1] == u'\r';
        if (bHeldCr) {
            --nText;
            if (!runs.empty() && runs.back().nStart + runs.back().nLength > nText &&
                --runs.back().nLength == 0) {
                runs.pop_back();
            }
        }
        if (nText == 0) {
            return;
        }
        text[nText] = 0;
        pPipe->m_pszChunk = text;
        pPipe->m_nChunkLen = nText;
        pPipe->m_pChunkRuns = runs.data();
        pPipe->m_nChunkRuns = static_cast<int>(runs.size());
        pPipe->OnOutput(text);
        pPipe->m_pszChunk = nullptr;
        pPipe->m_pChunkRuns = nullptr;
        pPipe->m_nChunkRuns = 0;
    };
    // Plain ASCII in the default colours, as most output is: widened for OnOutput and normalised
    // into the text gathered for the pane in the same pass over the bytes, with the CR rule of
    // deliver. False, changing nothing, where that does not apply.
    auto deliverPlain = [&](const char* p, int n) {
        if (!bUtf8 || !decoder.IsAtCharacterStart() || !filter.IsInText() ||
            !filter.Current().IsDefault()) {
            return false;
        }
        const int nFirst = bHeldCr ? 1 : 0;
        const bool bTrailingCr = n > 0 && p[n - 1] == '\r';
        const int nBytes = n - (bTrailingCr ? 1 : 0);
        char16_t* pOut = pPipe->GatherRoom(static_cast<size_t>(nFirst + 2 * nBytes + 32));
        if (pOut == nullptr) {
            return false;
        }
        text[0] = pOut[0] = u'\r';
        const int nNormalised =
            TextPaneWidenAscii(p, nBytes, bHeldCr, text + nFirst, pOut + nFirst);
        if (nNormalised < 0) {
            return false;
        }
        bHeldCr = bTrailingCr;
        const int nText = nFirst + nBytes;
        if (nText == 0) {
            return true;
        }
        text[nText] = 0;
        pPipe->m_pszChunk = text;
        pPipe->m_nChunkLen = nText;
        pPipe->m_nChunkNormalised = nFirst + nNormalised;
        pPipe->OnOutput(text);
        pPipe->m_pszChunk = nullptr;
        pPipe->m_nChunkNormalised = -1;
        return true;
    };
    const int hRead = pPipe->m_hStdoutRead;
    int hPidFd;
    {
        std::lock_guard<std::mutex> guard(pPipe->m_lock);
        hPidFd = pPipe->m_hPidFd;
    }
    bool bReaped = false;
    // The read end does not block: while output streams in, the reader reads on without asking
    // poll first (one system call per chunk instead of two) and polls only once the pipe is
    // empty, or after kReadsBetweenPolls reads in a row to look at the wake-up and the child.
    const int nFlags = fcntl(hRead, F_GETFL);
    const bool bNonBlocking = nFlags >= 0 && fcntl(hRead, F_SETFL, nFlags | O_NONBLOCK) == 0;
    int nReadsSincePoll = 0;
    bool bMustPoll = !bNonBlocking;
    for (;;) {
        if (pPipe->m_bStop) {
            return 1;  // Close waits for this thread and resets the pipe itself
        }
        const int64_t nKillAt = pPipe->m_nKillAtMs.load();
        int64_t nKillLeft = -1;
        if (nKillAt != 0) {
            nKillLeft = nKillAt - MonotonicMs();
            if (nKillLeft <= 0) {
                // Stop's SIGTERM was not enough: the output is still open
                std::lock_guard<std::mutex> guard(pPipe->m_lock);
                if (pPipe->m_nProcessGroup > 0) {
                    kill(-pPipe->m_nProcessGroup, SIGKILL);
                }
                pPipe->m_nKillAtMs = 0;
                continue;
            }
        }
        if (!bMustPoll) {
            // what the pipe holds now, up to kReadMax: a read never waits for more
            const long n = OrvFdRead(hRead, buf.data(), kReadMax);
            if (n > 0) {
                for (int nAt = 0; nAt < n;) {
                    const int nChunk =
                        PipeChunkLength(buf.data() + nAt, static_cast<int>(n) - nAt, bUtf8);
                    if (!deliverPlain(buf.data() + nAt, nChunk)) {
                        deliver(
                            [&](char16_t* pOut) {
                                return PipeDecodeAndFilter(decoder, filter, buf.data() + nAt,
                                                           nChunk, decoded, pOut, runs);
                            },
                            false);
                    }
                    nAt += nChunk;
                }
                pPipe->FlushOutput();
                // a blocking descriptor is read only once poll has seen data
                bMustPoll = !bNonBlocking || ++nReadsSincePoll >= kReadsBetweenPolls;
                continue;
            }
            if (n == 0 || errno != EAGAIN) {
                break;  // end of output (or a read error, which ends it just as well)
            }
        }
        pollfd fds[3] = {{hRead, POLLIN, 0}, {pPipe->m_hWake, POLLIN, 0}, {-1, POLLIN, 0}};
        if (!bReaped && hPidFd >= 0) {
            fds[2].fd = hPidFd;
        }
        int nTimeout = !bReaped && hPidFd < 0 ? kExitPollMs : -1;
        if (nKillLeft > 0) {
            nTimeout = nTimeout < 0 ? static_cast<int>(nKillLeft)
                                    : std::min<int>(nTimeout, static_cast<int>(nKillLeft));
        }
        if (bMustPoll && bNonBlocking) {
            nTimeout = 0;  // only a look: the pipe had data a moment ago
        }
        const int r = OrvFdPoll(fds, 3, nTimeout);
        nReadsSincePoll = 0;
        if (pPipe->m_bStop) {
            return 1;
        }
        if (r < 0) {
            break;
        }
        if (fds[1].revents != 0) {
            uint64_t nCount;
            while (OrvFdRead(pPipe->m_hWake, &nCount, sizeof nCount) > 0) {
            }
        }
        if (!bReaped && (fds[2].revents != 0 || hPidFd < 0)) {
            // The shell is reaped as it exits, though what it started may hold the output on.
            bReaped = pPipe->ReapIfExited();
        }
        // the next turn reads: without blocking whatever poll said, else once it saw data
        bMustPoll = !bNonBlocking && fds[0].revents == 0;
    }
    deliver(
        [&](char16_t* pOut) { return filter.Filter(decoded, decoder.Flush(decoded), pOut, runs); },
        true);
    pPipe->FlushOutput();
    // The output usually ends as the shell exits: give it a moment to become reapable.
    for (const int64_t nUntil = MonotonicMs() + kExitGraceMs; !bReaped;) {
        bReaped = pPipe->ReapIfExited();
        const int64_t nLeft = nUntil - MonotonicMs();
        if (bReaped || nLeft <= 0) {
            break;
        }
        pollfd fd = {hPidFd, POLLIN, 0};
        // a wait, whatever it gives: the next turn looks again
        (void)OrvFdPoll(&fd, hPidFd >= 0 ? 1 : 0, std::min<int>(static_cast<int>(nLeft), 10));
    }
    if (!bReaped) {
        CPipeExit exit;
        exit.kind = CPipeExit::EKind::RunsOn;
        pPipe->ReportExit(exit);
    }
    pPipe->OnOutput(nullptr);
    if (pPipe->m_dwFlags & CPIPE_KEEP) {
        pPipe->ReleaseHandles();
        pPipe->m_bReaderEnded = true;  // the owner collects the thread; the object stays
        return 1;
    }
    // Whatever was posted to the pane's owner (the end notification) has been handled once this
    // call returns: the view has forgotten the pipe and cannot reach it any more.
    if (pPipe->m_wndOutput) {
        pPipe->m_wndOutput->Call(&NoPaneCall, nullptr);
    }
    {
        // A Run that is still busy (the input line that made the shell exit) finishes first.
        std::lock_guard<std::mutex> gate(pPipe->m_gate);
    }
    delete pPipe;
    return 1;
}
