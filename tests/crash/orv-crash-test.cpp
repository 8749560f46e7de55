// Crash reports end to end: a real program crashes in each way; its helper writes the minidump and
// the archive; lldb reads the dump back with the program and names the crashing function.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "crash-support-server.h"
#include "orv-crash-helper.h"
#include "orv-crash-os.h"
#include "orv-crash-report.h"
#include "orv-crash.h"
#include "orv-test-servers.h"
#include "orv-test-support.h"

namespace {

struct SRun {
    int nStatus = -1;
    std::string out;
    std::string log;
    std::vector<std::string> zips;
};

// Runs the crash program with the folder as its temporary folder; returns once the program and
// its helper (which shares the program's standard output) have ended.
SRun RunCrash(const OrvTempDir& dir, const std::string& kind, const std::string& env = "",
              const std::string& program = ORV_CRASH_PROGRAM) {
    SRun run;
    run.out = OrvRunCapture(env + " TMPDIR=" + dir.Path() + " exec " + program + " " + kind + " " +
                                dir.Path() + " 2>&1",
                            &run.nStatus);
    run.log = OrvReadFileBytes(dir.File("crash.log"));
    run.zips = OrvCrashZips(dir);
    return run;
}

std::string Peer(const std::string& args) {
    return OrvRunCapture("python3 " ORV_CRASH_PEER_SCRIPT " " + args + " 2>&1");
}

struct SCrashCase {
    const char* pszKind;
    int nSignal;  // the signal that ends the program, 0: it exits with nExit
    int nExit;
    const char* pszFunction;  // named in lldb's backtrace of the crashing thread
    const char* pszLogLine;
};

const SCrashCase kCases[] = {
    {"null-write", SIGSEGV, 0, "CrashNullWrite", "===CRASH=== msg=signal"},
    {"abort", SIGABRT, 0, "CrashAbort", "Report exception: check_stack=1"},
    {"stack-overflow", SIGSEGV, 0, "CrashRecurse", "Stack not walkable, report exception"},
    {"divide", SIGFPE, 0, "CrashDivide", "===CRASH=== msg=signal"},
    {"illegal", SIGILL, 0, "CrashIllegal", "===CRASH=== msg=signal"},
    {"bus", SIGBUS, 0, "CrashBus", "===CRASH=== msg=signal"},
    {"exception", SIGABRT, 0, "CrashThrow",
     "===EXCEPTION=== msg=Unhandled C++ exception, please report to product support"},
    {"pure-virtual", SIGABRT, 0, "CrashPureVirtual",
     "===PURE-VIRTUAL=== msg=Pure Virtual Call, please report to support"},
    {"assert", 0, 3, "CrashAssert", "!!!ASSERT: c=7 s=nValue == 3 Src: "},
    {"assert-no-file", 0, 3, "CrashAssert", "!!!ASSERT: c=7 s=nValue == 3 Src: -no-file-:42"},
    {"thread", SIGSEGV, 0, "CrashOnThread", "===CRASH=== msg=signal"},
    {"thread-overflow", SIGSEGV, 0, "CrashRecurse", "Stack not walkable, report exception"},
};

void PrintTo(const SCrashCase& c, std::ostream* os) {
    *os << c.pszKind;
}

class CrashKinds : public testing::TestWithParam<SCrashCase> {};

TEST_P(CrashKinds, DumpArchiveAndSignal) {
    const SCrashCase& c = GetParam();
    OrvTempDir dir;
    const SRun run = RunCrash(dir, c.pszKind);
    if (c.nSignal) {
        ASSERT_TRUE(WIFSIGNALED(run.nStatus)) << run.out << run.log;
        EXPECT_EQ(c.nSignal, WTERMSIG(run.nStatus));
    } else {
        ASSERT_TRUE(WIFEXITED(run.nStatus)) << run.out << run.log;
        EXPECT_EQ(c.nExit, WEXITSTATUS(run.nStatus));
    }
    EXPECT_NE(std::string::npos, run.log.find(c.pszLogLine)) << run.log;
    ASSERT_EQ(1u, run.zips.size()) << run.log;

    // The archive: system information, the dump, the log under its path's entry name.
    const std::string entries = Peer("list " + run.zips[0]);
    const std::string logEntry = OrvDiagEntryName(dir.File("crash.log").c_str()).GetString();
    EXPECT_EQ("_sysinfo.txt\nminidump.dmp\n" + logEntry + "\n", entries);
    const std::string dump = dir.File("minidump.dmp");
    Peer("extract " + run.zips[0] + " minidump.dmp " + dump);

    const std::string bt = OrvRunCapture("timeout 120 lldb -b -o 'target create --core " + dump +
                                         " " ORV_CRASH_PROGRAM "' -o 'thread info' -o 'bt' 2>&1");
    EXPECT_NE(std::string::npos, bt.find(c.pszFunction)) << bt;
    if (c.nSignal && std::string(c.pszKind) != "abort" && std::string(c.pszKind) != "exception" &&
        std::string(c.pszKind) != "pure-virtual") {
        EXPECT_NE(std::string::npos, bt.find("stop reason = signal")) << bt;
    }
    // The thread lldb selects is the one that crashed.
    const size_t nTid = run.out.find("tid=");
    if (nTid != std::string::npos) {
        const std::string tid = run.out.substr(nTid + 4, run.out.find('\n', nTid) - nTid - 4);
        EXPECT_NE(std::string::npos, bt.find("tid = " + tid + ",")) << bt;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashKinds, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<SCrashCase>& info) {
                             std::string s = info.param.pszKind;
                             for (char& ch : s)
                                 if (ch == '-')
                                     ch = '_';
                             return s;
                         });

// One report per process: after a reported assertion a crash writes its dump but no archive, and
// the second assertion falls through to the trace line.
TEST(CrashOneShot, SecondCrashMakesNoSecondArchive) {
    OrvTempDir dir;
    const SRun run = RunCrash(dir, "assert-then-crash");
    ASSERT_TRUE(WIFSIGNALED(run.nStatus)) << run.out;
    EXPECT_EQ(SIGSEGV, WTERMSIG(run.nStatus));
    EXPECT_EQ(1u, run.zips.size()) << run.log;
    size_t nAsserts = 0;
    for (size_t at = run.log.find("!!!ASSERT"); at != std::string::npos;
         at = run.log.find("!!!ASSERT", at + 1))
        ++nAsserts;
    EXPECT_EQ(1u, nAsserts) << run.log;
    // The crash still wrote its dump file.
    EXPECT_NE(std::string::npos, run.log.find("===CRASH=== msg=signal")) << run.log;
}

// A dump that cannot be written leaves its error text in the archive instead.
TEST(CrashSequence, UnwrittenDumpLeavesItsError) {
    OrvTempDir dir;
    const SRun run = RunCrash(dir, "dump-too-big");
    ASSERT_TRUE(WIFSIGNALED(run.nStatus)) << run.out;
    ASSERT_EQ(1u, run.zips.size()) << run.log;
    const std::string logEntry = OrvDiagEntryName(dir.File("crash.log").c_str()).GetString();
    EXPECT_EQ("_sysinfo.txt\nminidump.err\n" + logEntry + "\n", Peer("list " + run.zips[0]));
    Peer("extract " + run.zips[0] + " minidump.err " + dir.File("err.txt"));
    EXPECT_EQ(0u,
              OrvReadFileBytes(dir.File("err.txt"))
                  .rfind("OrvPrepareAndSendMiniDump: cannot dump: Cannot write the minidump: ", 0))
        << OrvReadFileBytes(dir.File("err.txt"));
    EXPECT_NE(std::string::npos, run.log.find("!!! OrvPrepareAndSendMiniDump: cannot dump: "));
}

// The crash handler cannot finish (its helper cannot start, or it faults itself): the process
// still ends by the crash's own signal, at once, without a report.
TEST(CrashHandler, FailingHandlerEndsByTheSignal) {
    const struct {
        const char* pszKind;
        int nSignal;
    } kCases[] = {{"no-helper", SIGSEGV}, {"fault-in-handler", SIGFPE}};
    for (const auto& c : kCases) {
        OrvTempDir dir;
        const std::string copy = dir.File("crash-copy");
        ASSERT_EQ(0, system(("cp " ORV_CRASH_PROGRAM " " + copy).c_str()));
        // A hang is ended by the deadline with SIGKILL; timeout passes the signal on otherwise.
        const SRun run = RunCrash(dir, c.pszKind, "", "timeout -s KILL 30 " + copy);
        ASSERT_TRUE(WIFSIGNALED(run.nStatus)) << c.pszKind << run.out;
        EXPECT_EQ(c.nSignal, WTERMSIG(run.nStatus)) << c.pszKind << run.out;
        EXPECT_TRUE(run.zips.empty()) << c.pszKind;
    }
}

// A fault on a thread where no frame lies in the program's modules is passed on unreported.
TEST(CrashModules, ForeignFaultIsPassedOn) {
    OrvTempDir dir;
    const SRun run = RunCrash(dir, "foreign");
    ASSERT_TRUE(WIFSIGNALED(run.nStatus)) << run.out;
    EXPECT_EQ(SIGSEGV, WTERMSIG(run.nStatus));
    EXPECT_TRUE(run.zips.empty());
    EXPECT_NE(std::string::npos, run.log.find("Not our module, ignore exception")) << run.log;
}

// Without a support server the archive is kept and named; with one the upload is attempted.
TEST(CrashSequence, NoSupportServerKeepsTheArchive) {
    OrvTempDir dir;
    const SRun run = RunCrash(dir, "null-write");
    ASSERT_EQ(1u, run.zips.size());
    EXPECT_NE(std::string::npos,
              run.log.find("Crash report kept in " + run.zips[0] + ": no support server is set"))
        << run.log;
    EXPECT_EQ(std::string::npos, run.log.find("Submitting crash report")) << run.log;
}

// A non-interactive crash uploads its archive with the form fields and file name of the upload
// form and logs the outcome.
TEST_F(CrashSupportServer, CrashReportIsUploaded) {
    OrvTempDir dir;
    const SRun run = RunCrash(dir, "null-write",
                              "ORV_CRASH_TEST_HOST=" + m_host + " ORV_CRASH_TEST_ROOTS=" + m_roots);
    ASSERT_EQ(1u, run.zips.size()) << run.log;
    EXPECT_NE(std::string::npos, run.log.find("Submitting crash report")) << run.log;
    EXPECT_NE(std::string::npos, run.log.find("Crash report submitted")) << run.log;
    const std::string requests = Requests();
    const std::string zipName = run.zips[0].substr(run.zips[0].rfind('/') + 1);
    EXPECT_NE(std::string::npos, requests.find("\"path\": \"/scripts/upload-file\"")) << requests;
    EXPECT_NE(std::string::npos,
              requests.find("{\"name\": \"destname\", \"filename\": null, \"type\": "
                            "\"text/plain\", \"len\": 18, \"text\": \"crash-2-crash-test\"}"))
        << requests;
    EXPECT_NE(std::string::npos,
              requests.find("{\"name\": \"file\", \"filename\": \"" + zipName +
                            "\", \"type\": \"application/octet-stream\", \"len\": " +
                            std::to_string(OrvReadFileBytes(run.zips[0]).size())))
        << requests;
}

// Without the test CA the server's certificate is refused: one attempt, no retry, no upload.
TEST_F(CrashSupportServer, UnverifiedServerGetsNothing) {
    OrvTempDir dir;
    const SRun run = RunCrash(dir, "null-write", "ORV_CRASH_TEST_HOST=" + m_host);
    EXPECT_NE(std::string::npos, run.log.find("!!! FAILED to submit crash report: err="))
        << run.log;
    size_t nAttempts = 0;
    for (size_t at = run.log.find("error on Submit"); at != std::string::npos;
         at = run.log.find("error on Submit", at + 1))
        ++nAttempts;
    EXPECT_EQ(1u, nAttempts) << run.log;
    EXPECT_EQ(std::string::npos, Requests().find("upload-file"));
}

}  // namespace
