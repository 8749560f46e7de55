// The program the crash tests crash: orv-crash-program KIND FOLDER. It logs to FOLDER/crash.log,
// packs that log as its diagnostic path, installs the crash handlers and crashes in the way KIND
// names. Each way has a function of its own, so that a stack trace names it.
#include <dlfcn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "orv-crash.h"
#include "orv-log.h"
#include "orv-thread.h"
#include "orv-trace.h"

extern "C" void ForeignCrashOnThread();

namespace {
volatile bool g_bFaultInHandler = false;
volatile int* volatile g_pNull = nullptr;
}  // namespace

// The crash handler names its helper as allowed tracer through prctl: this one faults there when
// asked to, a second fault inside the handler.
extern "C" int prctl(int nOption, ...) noexcept {
    va_list args;
    va_start(args, nOption);
    unsigned long anArgs[4];
    for (unsigned long& n : anArgs)
        n = va_arg(args, unsigned long);
    va_end(args);
    if (g_bFaultInHandler && nOption == PR_SET_PTRACER)
        *g_pNull = 1;
    return static_cast<int>(
        syscall(SYS_prctl, nOption, anArgs[0], anArgs[1], anArgs[2], anArgs[3]));
}

// Outside the unnamed namespace: the compiler cannot see every class derived from it, so the call
// in the constructor goes through the table.
struct CBase {
    CBase() { CallIt(); }
    virtual ~CBase() = default;
    // Through a pointer the compiler cannot follow, so that the call is not resolved statically.
    __attribute__((noinline)) void CallIt() {
        CBase* volatile pSelf = this;
        pSelf->Pure();
    }
    virtual void Pure() = 0;
};
struct CDerived : CBase {
    void Pure() override {}
};

namespace {

volatile int g_nSink = 0;

__attribute__((noinline)) void CrashNullWrite() {
    *g_pNull = 1;
}

volatile int g_nDepthLimit = 1 << 30;  // never reached: the stack ends first

__attribute__((noinline)) int CrashRecurse(int n) {
    volatile char aPad[512];
    aPad[n % sizeof(aPad)] = static_cast<char>(n);
    if (n > g_nDepthLimit)
        return 0;
    return CrashRecurse(n + 1) + aPad[0];
}

volatile int g_nZero = 0;

__attribute__((noinline)) int CrashDivide() {
    return 100 / g_nZero;
}

__attribute__((noinline)) void CrashThrow() {
    throw std::runtime_error("nobody catches this");
}

__attribute__((noinline)) void CrashPureVirtual() {
    CDerived d;
    g_nSink = 1;
}

// The stores after each call keep the calls from becoming jumps, so each function keeps its frame.
__attribute__((noinline)) int CrashAssert(const char* pszFile) {
    const int n = OrvAssertFailed(pszFile, 42, 7, "nValue == 3", 1);
    g_nSink = n;
    return n;
}

__attribute__((noinline)) void CrashOnThread() {
    printf("tid=%ld\n", static_cast<long>(syscall(SYS_gettid)));
    fflush(stdout);
    CrashNullWrite();
    g_nSink = 1;
}

// A worker thread of the library whose stack runs out.
class CRecursingThread : public COrvThread {
public:
    bool Run(int&, COrvStringA&) override { return CrashRecurse(0) == 0; }
};

// Threads that keep running while another one crashes.
void IdleThreads(std::vector<std::thread>& threads, int n) {
    for (int i = 0; i < n; ++i)
        threads.emplace_back([] {
            for (;;)
                sleep(1);
        });
}

}  // namespace

int main(int argc, char** argv) {
    const int nHelper = OrvCrashHelperMain(argc, argv);
    if (nHelper >= 0)
        return nHelper;
    if (argc < 3)
        return 2;
    const std::string kind = argv[1];
    const std::string folder = argv[2];
    g_orv_log.SetLogFile((folder + "/crash.log").c_str());
    g_orv_product_name = "Vexil";
    g_orv_interactive = 0;
    g_orv_diag_paths.Add(COrvStringA((folder + "/crash.log").c_str()));
    if (const char* pszHost = getenv("ORV_CRASH_TEST_HOST"))
        g_orv_support_host = pszHost;
    if (const char* pszRoots = getenv("ORV_CRASH_TEST_ROOTS"))
        g_orv_support_roots = pszRoots;
    g_orv_identifier_text = "crash-test";
    COrvError err;
    // The benchmark's peer: the same crash ended by the kernel alone.
    const bool bHandlers = getenv("ORV_CRASH_NO_HANDLERS") == nullptr;
    if (bHandlers && !OrvInstallCrashHandlers(err)) {
        fprintf(stderr, "%s\n", err.Text().GetString());
        return 2;
    }
    OrvSetAssertHook(OrvAssertReport);
    g_orv_log.Printf("crash program: %s\n", kind.c_str());
    std::vector<std::thread> threads;
    if (kind == "null-write")
        CrashNullWrite();
    else if (kind == "stack-overflow")
        return CrashRecurse(0);
    else if (kind == "divide")
        return CrashDivide();
    else if (kind == "exception")
        CrashThrow();
    else if (kind == "pure-virtual")
        CrashPureVirtual();
    else if (kind == "assert-no-file")
        return CrashAssert(nullptr) == 1 ? 3 : 4;
    else if (kind == "assert-then-crash") {
        CrashAssert(__FILE__);
        CrashAssert(__FILE__);  // only the first is reported
        CrashNullWrite();
    } else if (kind == "thread") {
        IdleThreads(threads, 3);
        std::thread crasher(CrashOnThread);
        crasher.join();
    } else if (kind == "dump-too-big") {
        // The helper inherits the limit: the dump does not fit, the archive does.
        const struct rlimit lim = {12 * 1024, 12 * 1024};
        setrlimit(RLIMIT_FSIZE, &lim);
        CrashNullWrite();
    } else if (kind == "heavy") {
        // 8 threads and 200 MB resident; crashes once a byte arrives on standard input.
        std::vector<char> aHeap(200u << 20);
        memset(aHeap.data(), 1, aHeap.size());
        IdleThreads(threads, 7);
        printf("ready\n");
        fflush(stdout);
        char c;
        if (read(STDIN_FILENO, &c, 1) == 1)
            CrashNullWrite();
        g_nSink = aHeap[12345];
    } else if (kind == "thread-overflow") {
        CRecursingThread thread;
        COrvStringA sError;
        if (!thread.Start(sError))
            return 2;
        thread.Wait();
    } else if (kind == "fault-in-handler") {
        g_bFaultInHandler = true;
        return CrashDivide();
    } else if (kind == "no-helper") {
        // The helper is this program's file: without it the helper cannot start. Only a copy
        // in the test's folder is removed.
        if (std::string(argv[0]).rfind(folder + "/", 0) != 0 || unlink(argv[0]) != 0)
            return 2;
        CrashNullWrite();
    } else if (kind == "foreign") {
        ForeignCrashOnThread();
        for (;;)
            sleep(1);
    } else {
        fprintf(stderr, "unknown kind %s\n", kind.c_str());
        return 2;
    }
    return 5;
}
