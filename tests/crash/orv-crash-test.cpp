// Crash reports end to end: a real program crashes in each way; its helper writes the minidump and
// the archive; lldb reads the dump back with the program and names the crashing function.
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <string>
#include <vector>

#include "crash-support-server.h"
#include "orv-crash-helper.h"
#include "orv-crash-report.h"
#include "orv-crash.h"

namespace {

struct SRun {
    int nStatus = -1;
    std::string out;
    std::string log;
    std::vector<std::string> zips;
};

// Runs a copy of the crash program (the same name, in the folder) with the folder as its
// temporary folder; returns once the program and its helper (which shares the program's standard
// output) have ended. A hang is ended by the deadline with SIGKILL; timeout passes any other
// signal on.
SRun RunCrash(const OrvTempDir& dir, const std::string& kind, const std::string& env = "") {
    SRun run;
    const std::string program = dir.File("orv-crash-program");
    run.out = OrvRunCapture("cp " ORV_CRASH_PROGRAM " " + program + " && " + env +
                                " TMPDIR=" + dir.Path() + " exec timeout -s KILL 60 " + program +
                                " " + kind + " " + dir.Path() + " 2>&1",
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
    int nSignal;             // the signal that ends the program, 0: it exits with 3
    const char* pszEntry;    // the archive's dump entry; null: no archive
    const char* pszFirst;    // a dump: a function lldb's backtrace names; an error: its beginning
    const char* pszLogLine;  // %ZIP% stands for the archive's path
};

const char kDump[] = "minidump.dmp";
const SCrashCase kCases[] = {
    {"null-write", SIGSEGV, kDump, "CrashNullWrite",
     "Crash report kept in %ZIP%: no support server is set"},
    {"stack-overflow", SIGSEGV, kDump, "CrashRecurse", "Stack not walkable, report exception"},
    {"divide", SIGFPE, kDump, "CrashDivide", "===CRASH=== msg=signal"},
    {"exception", SIGABRT, kDump, "CrashThrow",
     "===EXCEPTION=== msg=Unhandled C++ exception, please report to product support"},
    {"pure-virtual", SIGABRT, kDump, "CrashPureVirtual",
     "===PURE-VIRTUAL=== msg=Pure Virtual Call, please report to support"},
    {"assert-no-file", 0, kDump, "CrashAssert", "!!!ASSERT: c=7 s=nValue == 3 Src: -no-file-:42"},
    {"thread", SIGSEGV, kDump, "CrashOnThread", "===CRASH=== msg=signal"},
    {"thread-overflow", SIGSEGV, kDump, "CrashRecurse", "Stack not walkable, report exception"},
    // One report per process: the crash after a reported assertion writes its dump file but no
    // second archive, and the second assertion falls through to the trace line.
    {"assert-then-crash", SIGSEGV, kDump, "CrashAssert", "===CRASH=== msg=signal"},
    // A dump that cannot be written leaves its error text in the archive instead.
    {"dump-too-big", SIGSEGV, "minidump.err",
     "OrvPrepareAndSendMiniDump: cannot dump: Cannot write the minidump: ",
     "!!! OrvPrepareAndSendMiniDump: cannot dump: "},
    // A fault where no frame lies in the program's modules is passed on unreported.
    {"foreign", SIGSEGV, nullptr, nullptr, "Not our module, ignore exception"},
    // A handler that cannot finish (no helper, a fault of its own) ends by the crash's signal.
    {"no-helper", SIGSEGV, nullptr, nullptr, "crash program: no-helper"},
    {"fault-in-handler", SIGFPE, nullptr, nullptr, "crash program: fault-in-handler"},
};

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
        EXPECT_EQ(3, WEXITSTATUS(run.nStatus));
    }
    ASSERT_EQ(c.pszEntry ? 1u : 0u, run.zips.size()) << run.log;
    std::string logLine = c.pszLogLine;
    if (logLine.find("%ZIP%") != std::string::npos)
        logLine.replace(logLine.find("%ZIP%"), 5, run.zips[0]);
    EXPECT_NE(std::string::npos, run.log.find(logLine)) << run.log;
    EXPECT_EQ(run.log.find("!!!ASSERT"), run.log.rfind("!!!ASSERT")) << run.log;
    if (c.pszEntry == nullptr)
        return;

    // The archive: system information, the dump, the log under its path's entry name.
    const std::string entries = Peer("list " + run.zips[0]);
    const std::string logEntry = OrvDiagEntryName(dir.File("crash.log").c_str()).GetString();
    EXPECT_EQ("_sysinfo.txt\n" + std::string(c.pszEntry) + "\n" + logEntry + "\n", entries);
    const std::string dump = dir.File(c.pszEntry);
    Peer("extract " + run.zips[0] + " " + c.pszEntry + " " + dump);
    if (strcmp(c.pszEntry, kDump) != 0) {
        EXPECT_EQ(0u, OrvReadFileBytes(dump).rfind(c.pszFirst, 0)) << OrvReadFileBytes(dump);
        return;
    }
    const std::string bt =
        OrvRunCapture("timeout 120 lldb -b -o 'target create --core " + dump + " " +
                      dir.File("orv-crash-program") + "' -o 'thread info' -o 'bt' 2>&1");
    EXPECT_NE(std::string::npos, bt.find(c.pszFirst)) << bt;
    // A dump written at a fault stops at the signal (an abort's or an assertion's at a call).
    if (c.nSignal != 0 && c.nSignal != SIGABRT && strcmp(c.pszFirst, "CrashAssert") != 0) {
        EXPECT_NE(std::string::npos, bt.find("stop reason = signal")) << bt;
    }
    // The thread lldb selects is the one that crashed.
    const size_t nTid = run.out.find("tid=");
    if (nTid != std::string::npos) {
        const std::string tid = run.out.substr(nTid + 4, run.out.find('\n', nTid) - nTid - 4);
        EXPECT_NE(std::string::npos, bt.find("tid = " + tid + ",")) << bt;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashKinds, testing::ValuesIn(kCases));

// A non-interactive crash uploads its archive with the form fields and file name of the upload
// form.
TEST_F(CrashSupportServer, CrashReportIsUploaded) {
    OrvTempDir dir;
    const SRun run = RunCrash(dir, "null-write",
                              "ORV_CRASH_TEST_HOST=" + m_host + " ORV_CRASH_TEST_ROOTS=" + m_roots);
    ASSERT_EQ(1u, run.zips.size()) << run.log;
    EXPECT_NE(std::string::npos, run.log.find("Crash report submitted")) << run.log;
    const std::string requests = Requests();
    const std::string zipName = run.zips[0].substr(run.zips[0].rfind('/') + 1);
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

}  // namespace
