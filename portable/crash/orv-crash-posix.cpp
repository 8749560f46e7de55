// The crashed process's side of crash reports: the handlers, the prepared helper and the wait.
// Everything reached from a signal handler is async-signal-safe: raw system calls on memory that
// was prepared at installation, no allocation, no locks, no stdio.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>

#include "orv-crash-os.h"
#include "orv-crash.h"
#include "orv-log.h"
#include "orv-thread.h"
#include "orv-trace.h"

extern char** environ;

COrvStringA g_orv_product_name("Tovrin");
COrvStringA g_orv_support_host;
COrvStringA g_orv_upload_path("/scripts/upload-file");
COrvStringA g_orv_identifier_text;
COrvStringA g_orv_diag_header;
COrvArray<COrvStringA> g_orv_diag_paths;
COrvStringA g_orv_account_user;
COrvStringA g_orv_account_password;
COrvStringA g_orv_computer_id;
COrvStringA g_orv_computer_serial;
COrvStringA g_orv_product_version;
COrvStringA g_orv_support_roots;

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);
constexpr size_t kAltStackSize = 64 * 1024;
// How long the crashed process waits for the dump before it ends without one.
constexpr int kHelperWaitMs = 60 * 1000;

struct sigaction s_aOld[kSignalCount];
char s_szSelf[4096];
char s_szAnswerFd[16];
char s_szSwitch[32];
char* s_apArgv[4];
std::atomic<bool> s_bInstalled{false};
std::atomic<pid_t> s_nBusyTid{0};      // the thread running the crash sequence
std::atomic<bool> s_bReported{false};  // the archive was made once in this process
std::atomic<bool> s_bAssertReported{false};
// The signal that ends the process once the running sequence is done (0: the caller goes on, as
// after an assertion). A fault inside the sequence ends the process by it at once.
std::atomic<int> s_nEndSignal{0};
SOrvCrashRecord s_record;

// Two settings texts: a change writes the one not in use and then publishes it, so that a
// crash always reads a whole text.
std::mutex s_settingsLock;
COrvStringA s_asSettings[2];
std::atomic<const COrvStringA*> s_pSettings{nullptr};

pid_t RawTid() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

// Ends the process by nSig's default action at once (also from inside the handler).
[[noreturn]] void DieBySignal(int nSig) {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = SIG_DFL;
    sigaction(nSig, &sa, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, nSig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    syscall(SYS_tgkill, getpid(), RawTid(), nSig);
    _exit(128 + nSig);
}

void PutSetting(COrvStringA& s, const char* pszKey, const COrvStringA& sValue) {
    s += pszKey;
    s += '=';
    for (int i = 0; i < sValue.GetLength(); ++i) {
        const char c = sValue[i];
        if (c == '\\')
            s += "\\\\";
        else if (c == '\n')
            s += "\\n";
        else if (c == '\r')
            s += "\\r";
        else
            s += c;
    }
    s += '\n';
}

void WriteAll(int fd, const void* pData, size_t nLen) {
    const char* p = static_cast<const char*>(pData);
    while (nLen > 0) {
        const ssize_t n = write(fd, p, nLen);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        nLen -= static_cast<size_t>(n);
    }
}

void FormatInt(int n, char* pBuf) {
    char aTmp[16];
    int i = 0;
    do {
        aTmp[i++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n > 0 && i < 15);
    for (int j = 0; j < i; ++j)
        pBuf[j] = aTmp[i - 1 - j];
    pBuf[i] = '\0';
}

void CopyText(char* pDest, size_t nSize, const char* pszSrc) {
    size_t i = 0;
    for (; pszSrc && pszSrc[i] && i + 1 < nSize; ++i)
        pDest[i] = pszSrc[i];
    pDest[i] = '\0';
}

// Starts the helper, hands it s_record and the settings, lets it trace this process and waits
// for its answer byte (0 when it gave none). Async-signal-safe.
char RunHelper() {
    const COrvStringA* pSettings = s_pSettings.load(std::memory_order_acquire);
    s_record.nSettingsLen = pSettings ? static_cast<uint32_t>(pSettings->GetLength()) : 0;
    int aIn[2];
    int aAnswer[2];
    if (pipe2(aIn, O_CLOEXEC) != 0)
        return 0;
    if (pipe2(aAnswer, O_CLOEXEC) != 0) {
        close(aIn[0]);
        close(aIn[1]);
        return 0;
    }
    // A helper that ended early closes its input: the writes below then fail with EPIPE instead
    // of ending this process by SIGPIPE (the crash's own signal must end it). A SIGPIPE they
    // raise is taken off this thread before the mask is put back.
    sigset_t pipeSet;
    sigset_t oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
    FormatInt(aAnswer[1], s_szAnswerFd);
    // A plain fork without the C library's fork handlers, which may take locks the crash holds.
    const long nChild = syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
    if (nChild == 0) {
        dup2(aIn[0], STDIN_FILENO);
        fcntl(aAnswer[1], F_SETFD, 0);
        execve(s_szSelf, s_apArgv, environ);
        _exit(127);
    }
    close(aIn[0]);
    close(aAnswer[1]);
    char cAnswer = 0;
    if (nChild > 0) {
        // Where the kernel lets only ancestors trace, name the helper (our child) as allowed.
        prctl(PR_SET_PTRACER, nChild, 0, 0, 0);
        WriteAll(aIn[1], &s_record, sizeof(s_record));
        if (s_record.nSettingsLen > 0)
            WriteAll(aIn[1], pSettings->GetString(), s_record.nSettingsLen);
        close(aIn[1]);
        struct pollfd pfd = {aAnswer[0], POLLIN, 0};
        int nPoll;
        do
            nPoll = poll(&pfd, 1, kHelperWaitMs);
        while (nPoll < 0 && errno == EINTR);
        if (nPoll > 0) {
            ssize_t n;
            do
                n = read(aAnswer[0], &cAnswer, 1);
            while (n < 0 && errno == EINTR);
            if (n != 1)
                cAnswer = 0;
        } else {
            kill(static_cast<pid_t>(nChild), SIGKILL);
        }
        // The helper's first process ends once it answered; its child goes on with the archive.
        int nStatus;
        while (waitpid(static_cast<pid_t>(nChild), &nStatus, 0) < 0 && errno == EINTR) {
        }
        prctl(PR_SET_PTRACER, 0, 0, 0, 0);
    } else {
        close(aIn[1]);
    }
    close(aAnswer[0]);
    if (!sigismember(&oldSet, SIGPIPE)) {
        const struct timespec tsNow = {0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &tsNow) == SIGPIPE) {
        }
        pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    }
    return cAnswer;
}

// Takes the crash sequence for the calling thread; false when this thread is already in it (a
// crash inside the handler). Another thread's crash meanwhile waits for the first to finish.
bool EnterSequence() {
    const pid_t nTid = RawTid();
    for (;;) {
        pid_t nFree = 0;
        if (s_nBusyTid.compare_exchange_strong(nFree, nTid))
            return true;
        if (nFree == nTid)
            return false;
        const struct timespec ts = {0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
}

void FillRecord(const char* pszKind, const char* pszMessage, int nSig, const siginfo_t* pInfo,
                const ucontext_t* pCtx, uint32_t nFlags) {
    memset(&s_record, 0, sizeof(s_record));
    s_record.nMagic = SOrvCrashRecord::kMagic;
    s_record.nPid = getpid();
    s_record.nTid = RawTid();
    s_record.nSignal = nSig;
    s_record.nSigCode = pInfo ? pInfo->si_code : 0;
    s_record.nAddress = pInfo ? reinterpret_cast<uint64_t>(pInfo->si_addr) : 0;
    CopyText(s_record.szKind, sizeof(s_record.szKind), pszKind);
    CopyText(s_record.szMessage, sizeof(s_record.szMessage), pszMessage);
    static_assert(sizeof(s_record.aGregs) == sizeof(pCtx->uc_mcontext.gregs));
    memcpy(s_record.aGregs, pCtx->uc_mcontext.gregs, sizeof(s_record.aGregs));
    if (pCtx->uc_mcontext.fpregs)
        memcpy(s_record.aFxSave, pCtx->uc_mcontext.fpregs, sizeof(s_record.aFxSave));
    if (s_bReported.load())
        nFlags |= kCrashFlagDumpOnly;
    s_record.nFlags = nFlags;
}

// After a report made here, later crashes only write their dump.
void NoteAnswer(char cAnswer) {
    if (cAnswer == kCrashAnswerDumped && !(s_record.nFlags & kCrashFlagDumpOnly))
        s_bReported.store(true);
}

// Hands a signal that is not ours to report to the handler installed before ours, or ends the
// process by its default action.
void PassOn(int nIndex, int nSig, siginfo_t* pInfo, void* pvCtx) {
    const struct sigaction& old = s_aOld[nIndex];
    if ((old.sa_flags & SA_SIGINFO) && old.sa_sigaction) {
        old.sa_sigaction(nSig, pInfo, pvCtx);
        return;
    }
    if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN && old.sa_handler != nullptr) {
        old.sa_handler(nSig);
        return;
    }
    DieBySignal(nSig);
}

void OnFatalSignal(int nSig, siginfo_t* pInfo, void* pvCtx) {
    int nIndex = 0;
    while (nIndex < kSignalCount && kSignals[nIndex] != nSig)
        ++nIndex;
    if (!EnterSequence()) {
        // A fault inside the crash sequence: end now, by the signal the sequence was to end with.
        const int nEnd = s_nEndSignal.load();
        DieBySignal(nEnd != 0 ? nEnd : nSig);
    }
    s_nEndSignal.store(nSig);
    const ucontext_t* pCtx = static_cast<const ucontext_t*>(pvCtx);
    uint32_t nFlags = kCrashFlagCheckModules;
    const uint64_t nSp = static_cast<uint64_t>(pCtx->uc_mcontext.gregs[REG_RSP]);
    const uint64_t nAddr = reinterpret_cast<uint64_t>(pInfo->si_addr);
    // A fault near the stack pointer is the stack running into its guard. The last frame may
    // straddle the guard's edge, so that a store into the frame, up to a page above the stack
    // pointer, is the one that faults; memory there is otherwise always mapped.
    if (nSig == SIGSEGV && nAddr + 64 * 1024 >= nSp && nAddr <= nSp + 4096)
        nFlags = kCrashFlagStackOverflow;
    FillRecord("CRASH", "", nSig, pInfo, pCtx, nFlags);
    const char cAnswer = RunHelper();
    NoteAnswer(cAnswer);
    if (cAnswer == kCrashAnswerPassOn) {
        s_nEndSignal.store(0);
        s_nBusyTid.store(0);
        PassOn(nIndex, nSig, pInfo, pvCtx);
        return;
    }
    DieBySignal(nSig);
}

// The sequence for a kind that is not a signal, with the calling thread's own registers; the
// process is to end by nEndSignal afterwards (0: the caller goes on).
void RunWithoutSignal(const char* pszKind, const char* pszMessage, int nEndSignal) {
    if (!EnterSequence())
        return;
    s_nEndSignal.store(nEndSignal);
    ucontext_t ctx;
    getcontext(&ctx);
    FillRecord(pszKind, pszMessage, 0, nullptr, &ctx, 0);
    NoteAnswer(RunHelper());
    s_nEndSignal.store(0);
    s_nBusyTid.store(0);
}

// The calling thread's alternate signal stack, released when the thread ends.
struct SAltStack {
    void* p = nullptr;
    ~SAltStack() {
        if (p == nullptr)
            return;
        stack_t ss;
        memset(&ss, 0, sizeof(ss));
        ss.ss_flags = SS_DISABLE;
        sigaltstack(&ss, nullptr);
        munmap(p, kAltStackSize);
    }
};
thread_local SAltStack t_altStack;

// Gives the calling thread its alternate signal stack (once); false with errno on failure.
bool PrepareThreadStack() {
    if (t_altStack.p != nullptr)
        return true;
    void* p =
        mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return false;
    stack_t ss;
    memset(&ss, 0, sizeof(ss));
    ss.ss_sp = p;
    ss.ss_size = kAltStackSize;
    if (sigaltstack(&ss, nullptr) != 0) {
        const int nErrno = errno;
        munmap(p, kAltStackSize);
        errno = nErrno;
        return false;
    }
    t_altStack.p = p;
    return true;
}

// The hook's shape: no result.
void PrepareWorkerStack() {
    (void)PrepareThreadStack();
}

[[noreturn]] void OnTerminate() {
    RunWithoutSignal("EXCEPTION", "Unhandled C++ exception, please report to product support",
                     SIGABRT);
    DieBySignal(SIGABRT);
}

}  // namespace

// The pure virtual call of every class in the program lands here.
extern "C" [[noreturn]] void __cxa_pure_virtual() {
    if (s_bInstalled.load()) {
        RunWithoutSignal("PURE-VIRTUAL", "Pure Virtual Call, please report to support", SIGABRT);
        DieBySignal(SIGABRT);
    }
    static const char kText[] = "pure virtual method called\n";
    WriteAll(STDERR_FILENO, kText, sizeof(kText) - 1);
    std::terminate();
}

void OrvCrashSettingsChanged() {
    std::lock_guard<std::mutex> hold(s_settingsLock);
    const COrvStringA* pCur = s_pSettings.load();
    COrvStringA& s = pCur == &s_asSettings[0] ? s_asSettings[1] : s_asSettings[0];
    s.Empty();
    PutSetting(s, "product", g_orv_product_name);
    PutSetting(s, "host", g_orv_support_host);
    PutSetting(s, "upload", g_orv_upload_path);
    PutSetting(s, "ident", g_orv_identifier_text);
    PutSetting(s, "header", g_orv_diag_header);
    PutSetting(s, "user", g_orv_account_user);
    PutSetting(s, "password", g_orv_account_password);
    PutSetting(s, "compid", g_orv_computer_id);
    PutSetting(s, "serial", g_orv_computer_serial);
    PutSetting(s, "version", g_orv_product_version);
    PutSetting(s, "roots", g_orv_support_roots);
    PutSetting(s, "log", g_orv_log.GetFilePath());
    PutSetting(s, "interactive", COrvStringA(g_orv_interactive ? "1" : "0"));
    for (size_t i = 0; i < g_orv_diag_paths.GetSize(); ++i)
        PutSetting(s, "diag", g_orv_diag_paths[i]);
    s_pSettings.store(&s, std::memory_order_release);
}

bool OrvInstallCrashHandlers(COrvError& err) {
    OrvCrashSettingsChanged();
    if (s_bInstalled.load())
        return true;
    const ssize_t n = readlink("/proc/self/exe", s_szSelf, sizeof(s_szSelf) - 1);
    if (n <= 0)
        return err.SetErrno(errno, "Cannot install crash handlers: /proc/self/exe: ");
    s_szSelf[n] = '\0';
    CopyText(s_szSwitch, sizeof(s_szSwitch), kCrashHelperSwitch);
    s_apArgv[0] = s_szSelf;
    s_apArgv[1] = s_szSwitch;
    s_apArgv[2] = s_szAnswerFd;
    s_apArgv[3] = nullptr;

    if (!PrepareThreadStack())
        return err.SetErrno(errno, "Cannot install crash handlers: alternate stack: ");
    OrvSetThreadStartHook(PrepareWorkerStack);
    for (int i = 0; i < kSignalCount; ++i) {
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_sigaction = OnFatalSignal;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        if (sigaction(kSignals[i], &sa, &s_aOld[i]) != 0)
            return err.SetErrno(errno, "Cannot install crash handlers: sigaction: ");
    }
    std::set_terminate(OnTerminate);
    s_bInstalled.store(true);
    return true;
}

void OrvPrepareAndSendMiniDump(const char* pszMessage, const char* pszKind) {
    RunWithoutSignal(pszKind, pszMessage, 0);
}

int OrvAssertReport(const char* pszFile, int nLine, long nErr, const char* pszExpr, int nHard) {
    if (s_bAssertReported.exchange(true))
        return 0;
    COrvStringA sText;
    sText.Format("%s: c=%d s=%s Src: %s:%d", nHard ? "ASSERT" : "SOFTASSERT",
                 static_cast<int>(nErr), pszExpr ? pszExpr : "", pszFile ? pszFile : "-no-file-",
                 nLine);
    g_orv_log.Printf("\n!!!%s\n", sText.GetString());
    if (!nHard)
        return 0;
    RunWithoutSignal("ASSERT", sText.GetString(), 0);
    return 1;
}
