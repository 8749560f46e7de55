#include "orv-log.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "orv-result.h"
#include "orv-sys.h"
#include "support/orv-test-support.h"

namespace {

constexpr int64_t kTuesday = 1709647620;  // 2024-03-05 14:07:00 UTC
std::atomic<int64_t> s_nNow{kTuesday};
int64_t FakeClock() {
    return s_nNow.load();
}

// Runs fn(t, i) for i < nLines on each of nThreads threads and waits for them.
void RunWriters(int nThreads, int nLines, const std::function<void(int, int)>& fn) {
    std::vector<std::thread> threads;
    for (int t = 0; t < nThreads; ++t)
        threads.emplace_back([&fn, t, nLines] {
            for (int i = 0; i < nLines; ++i)
                fn(t, i);
        });
    for (auto& thread : threads)
        thread.join();
}

// Every line of the text, split at CR LF; an unterminated tail is a line of its own.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t nPos = 0; nPos < text.size();) {
        const size_t nEnd = std::min(text.find("\r\n", nPos), text.size());
        lines.push_back(text.substr(nPos, nEnd - nPos));
        nPos = nEnd + 2;
    }
    return lines;
}

// Injected write failures: the first s_nPartial bytes of a call get through, then ENOSPC.
std::atomic<int> s_nFailures{0};
std::atomic<long> s_nPartial{0};
long FailingWrite(int fd, const void* p, size_t n) {
    if (s_nFailures.load() > 0) {
        const long nPartial = s_nPartial.exchange(0);
        if (nPartial > 0 && static_cast<size_t>(nPartial) < n)
            return g_orv_sys_real.write(fd, p, static_cast<size_t>(nPartial));
        --s_nFailures;
        errno = ENOSPC;
        return -1;
    }
    return g_orv_sys_real.write(fd, p, n);
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        s_nNow = kTuesday;
        g_orv_log_verbosity = 2;
        g_orv_program_name = "logtest";
        m_log.SetClock(&FakeClock);
    }
    void TearDown() override { g_orv_log_verbosity = 2; }
    std::string Read(const std::string& name) { return OrvReadFileBytes(m_dir.File(name)); }
    // The line prefix at the fake clock's time.
    std::string Prefix() {
        const time_t t = static_cast<time_t>(s_nNow.load());
        struct tm tmUtc;
        gmtime_r(&t, &tmUtc);
        char sz[32];
        strftime(sz, sizeof(sz), "%Y-%m-%d %H:%M:%S ", &tmUtc);
        return sz + std::to_string(OrvGetThreadNumber()) + " ";
    }
    std::string Report(const char* pszFile) {
        return "logtest: Cannot write log file " + m_dir.File(pszFile) + ": " +
               std::string(OrvErrnoText(ENOSPC)) + "\n";
    }
    // Every line of the file matches "<prefix>writer T line I"; each (T, I) once.
    std::set<std::pair<int, int>> Writers(const std::string& name, const char* pszRest = "") {
        const std::regex line(std::string("2024-03-05 14:07:00 \\d+ writer (\\d) line (\\d+)") +
                              pszRest);
        std::set<std::pair<int, int>> seen;
        for (const auto& one : SplitLines(Read(name))) {
            std::smatch m;
            EXPECT_TRUE(std::regex_match(one, m, line)) << one;
            EXPECT_TRUE(m.empty() || seen.insert({std::stoi(m[1]), std::stoi(m[2])}).second) << one;
        }
        return seen;
    }

    OrvTempDir m_dir;
    COrvLog m_log;
};

TEST_F(LogTest, WriteFailureIsReportedClosesAndTheNextEntryReopens) {
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.Write("first\n");
    OrvSysScope scope;
    g_orv_sys.write = &FailingWrite;
    s_nFailures = 1;
    testing::internal::CaptureStderr();
    m_log.Write("full disk\n");
    EXPECT_EQ(Report("vexil-240305.log"), testing::internal::GetCapturedStderr());
    EXPECT_FALSE(m_log.IsOpen());
    m_log.Write("second\n");
    EXPECT_TRUE(m_log.IsOpen());
    // A short write followed by a failure leaves a fragment; the next entry starts a new line.
    s_nPartial = 10;
    s_nFailures = 1;
    m_log.Write("torn entry\n");
    m_log.Write("third\n");
    const std::string p = Prefix();
    EXPECT_EQ(p + "first\r\n" + p + "second\r\n" + p.substr(0, 10) + "\r\n" + p + "third\r\n",
              Read("vexil-240305.log"));

    // Under concurrent writers: reported once, the failed batch lost, every later entry whole.
    s_nFailures = 1;
    testing::internal::CaptureStderr();
    RunWriters(3, 30, [this](int t, int i) { m_log.Printf("writer %d line %d\n", t, i); });
    EXPECT_EQ(Report("vexil-240305.log"), testing::internal::GetCapturedStderr());
    EXPECT_GE(SplitLines(Read("vexil-240305.log")).size(), 4u + 90u - 3u);
}

// Group commit: what reached write(2). Entry texts are "id <n>"; an entry counts as handed to the
// kernel once a write call carrying it has returned.
constexpr int kMaxIds = 4096;
std::atomic<bool> s_bWritten[kMaxIds];
std::atomic<int> s_nWriteCalls{0};
std::atomic<int> s_nSlowWriteUs{0};
long RecordingWrite(int fd, const void* p, size_t n) {
    ++s_nWriteCalls;
    std::this_thread::sleep_for(std::chrono::microseconds(s_nSlowWriteUs.load()));
    const long nDone = g_orv_sys_real.write(fd, p, n);
    const std::string bytes(static_cast<const char*>(p), nDone > 0 ? size_t(nDone) : 0);
    for (size_t i = bytes.find(" id "); i != std::string::npos; i = bytes.find(" id ", i + 1)) {
        const int nId = std::atoi(bytes.c_str() + i + 4);
        if (bytes.find("\r\n", i) != std::string::npos && nId >= 0 && nId < kMaxIds)
            s_bWritten[nId] = true;
    }
    return nDone;
}

TEST_F(LogTest, EveryEntryIsInTheKernelWhenTheCallReturnsAndWaitersShareOneWrite) {
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    for (auto& b : s_bWritten)
        b = false;
    OrvSysScope scope;
    g_orv_sys.write = &RecordingWrite;
    s_nWriteCalls = 0;
    s_nSlowWriteUs = 2000;  // a slow disk: entries of the other threads pile up meanwhile
    constexpr int kThreads = 4, kLines = 60;
    std::atomic<int> nNotYetWritten{0};
    RunWriters(kThreads, kLines, [&](int t, int i) {
        m_log.Printf("writer %d line %d id %d\n", t, i, t * kLines + i);
        nNotYetWritten += !s_bWritten[t * kLines + i].load();
    });
    s_nSlowWriteUs = 0;
    EXPECT_EQ(0, nNotYetWritten.load());
    // While one thread writes, the others' entries wait and go out together with the next write.
    EXPECT_LT(s_nWriteCalls.load(), kThreads * kLines * 4 / 5);
    EXPECT_EQ(size_t(kThreads * kLines), Writers("vexil-240305.log", " id \\d+").size());
}

// A write that gives out at most 7 bytes a call.
long ShortWrite(int fd, const void* p, size_t n) {
    return g_orv_sys_real.write(fd, p, n < 7 ? n : 7);
}

TEST_F(LogTest, ConcurrentWritersNeverTearOrLoseLinesAlsoWithShortWrites) {
    for (const char* pszName : {"dn", "ds", "bn", "bs"}) {  // direct or buffered, short writes
        SCOPED_TRACE(pszName);
        const bool bBuffered = pszName[0] == 'b', bShort = pszName[1] == 's';
        m_log.SetLogFolder(m_dir.Path().c_str(), pszName);
        m_log.SetBuffered(bBuffered);
        OrvSysScope scope;
        if (bShort)
            g_orv_sys.write = &ShortWrite;
        // Buffered, enough lines that the buffer fills while the others go on appending.
        const int nLines = bShort && !bBuffered ? 50 : 1000;
        testing::internal::CaptureStderr();
        RunWriters(3, nLines,
                   [this](int t, int i) { m_log.Printf("writer %d line %d payload\n", t, i); });
        m_log.Flush();
        EXPECT_EQ("", testing::internal::GetCapturedStderr());
        EXPECT_EQ(size_t(3 * nLines),
                  Writers(std::string(pszName) + "-240305.log", " payload").size());
    }
}

// A write hook that logs into the log being written, as an assertion hook might.
COrvLog* s_pNestedLog = nullptr;
std::atomic<int> s_nNestedCalls{0};
long NestingWrite(int fd, const void* p, size_t n) {
    if (s_nNestedCalls++ == 0)
        s_pNestedLog->Printf("nested %s\n", "entry");
    return g_orv_sys_real.write(fd, p, n);
}

TEST_F(LogTest, AnEntryMadeWhileTheLogWritesIsWrittenWholeWithoutDeadlock) {
    for (const bool bBuffered : {false, true}) {
        const std::string name = bBuffered ? "buffered" : "vexil";
        m_log.SetLogFolder(m_dir.Path().c_str(), name.c_str());
        m_log.SetBuffered(bBuffered);
        m_log.Write("open\n");
        m_log.Flush();
        OrvSysScope scope;
        s_pNestedLog = &m_log;
        s_nNestedCalls = 0;
        g_orv_sys.write = &NestingWrite;
        m_log.Write("outer\n");
        m_log.Flush();
        const std::string p = Prefix();
        EXPECT_EQ(p + "open\r\n" + p + "nested entry\r\n" + p + "outer\r\n",
                  Read(name + "-240305.log"));
    }
}

TEST_F(LogTest, BufferedEntriesReachTheFileOnlyAtFlushPoints) {
    const std::string file = "vexil-240305.log";
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.SetBuffered(true);
    // Formatted into the buffer and normalised there, as written through.
    const std::string big(10000, 'x');  // more than the buffer's first room
    m_log.Write("a\nb\r\n");
    m_log.WriteRaw("raw\n");
    m_log.Printf("%s\n", big.c_str());
    EXPECT_EQ("", Read(file));
    m_log.Flush();
    std::string expect = Prefix() + "a\r\nb\r\n" + "raw\r\n" + Prefix() + big + "\r\n";
    EXPECT_EQ(expect, Read(file));

    // Switching buffering off is a flush point too; then entries are in the file at once.
    m_log.Printf("before %s\n", "off");
    m_log.Printf("%s", "");  // an empty entry of the same second flushes nothing
    EXPECT_EQ(expect, Read(file));
    m_log.SetBuffered(false);
    m_log.Write("through\n");
    expect += Prefix() + "before off\r\n" + Prefix() + Prefix() + "through\r\n";
    EXPECT_EQ(expect, Read(file));
    {
        // Buffered entries are not lost when the log moves to another file or goes away.
        COrvLog log;
        log.SetClock(&FakeClock);
        log.SetLogFile(m_dir.File("fixed.log").c_str());
        log.SetBuffered(true);
        log.Write("before destruction\n");
        log.SetLogFile(m_dir.File("other.log").c_str());
        EXPECT_EQ(Prefix() + "before destruction\r\n", Read("fixed.log"));
        log.Write("in other\n");
    }
    EXPECT_EQ(Prefix() + "in other\r\n", Read("other.log"));
}

TEST_F(LogTest, BufferedWriteFailureIsReportedAndTheEntriesFollowAfterTheReopen) {
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.SetBuffered(true);
    m_log.Write("first\n");
    m_log.Flush();
    const std::string p = Prefix();
    OrvSysScope scope;
    g_orv_sys.write = &FailingWrite;
    m_log.Write("second\n");
    m_log.Write("third\n");
    s_nPartial = 10;  // ten bytes get through, then the disk is full
    s_nFailures = 1;
    m_log.Flush();
    EXPECT_FALSE(m_log.IsOpen());
    EXPECT_EQ(p + "first\r\n" + p.substr(0, 10), Read("vexil-240305.log"));
    // Still full at the next entry, which retries: nothing lost.
    s_nFailures = 1;
    m_log.Write("fourth\n");
    EXPECT_FALSE(m_log.IsOpen());
    // Room again: the next entry reopens the file and everything follows, the cut line completed.
    m_log.Write("fifth\n");
    const std::string before =
        p + "first\r\n" + p + "second\r\n" + p + "third\r\n" + p + "fourth\r\n" + p + "fifth\r\n";
    EXPECT_EQ(before, Read("vexil-240305.log"));

    // A change of date after a failed flush writes the old day's entries into the old day's file.
    m_log.Write("sixth\n");
    s_nPartial = 10;
    s_nFailures = 1;
    m_log.Flush();
    s_nNow += 86400;
    m_log.Write("next day\n");
    EXPECT_EQ(before + p + "sixth\r\n", Read("vexil-240305.log"));
    // But a line cut in one file is not continued in another: when the old day's file stays full,
    // the new day's file gets the whole later entries and no tail of the cut line.
    m_log.Flush();
    const std::string pNext = Prefix();
    m_log.Write("seventh\n");
    s_nPartial = 10;
    s_nFailures = 2;  // the cut write, then the attempt at the change of date
    m_log.Flush();
    s_nNow += 86400;
    m_log.Write("day three\n");
    m_log.Flush();
    EXPECT_EQ(pNext + "next day\r\n" + pNext.substr(0, 10), Read("vexil-240306.log"));
    EXPECT_EQ(Prefix() + "day three\r\n", Read("vexil-240307.log"));
}

TEST_F(LogTest, AFreshProcessWritesTheBufferedGlobalLogAtExit) {
    const std::string path = m_dir.File("exit.log");
    // This test program again, running only the helper case below.
    ASSERT_EQ(0, std::system(("ORV_BUFFERED_HELPER_PATH='" + path + "' /proc/" +
                              std::to_string(getpid()) +
                              "/exe --gtest_filter=LogTest.Helpers >/dev/null 2>&1")
                                 .c_str()));
    EXPECT_NE(std::string::npos, OrvReadFileBytes(path).find(" logged just before exit\r\n"));
}

TEST_F(LogTest, Helpers) {
    if (const char* pszPath = getenv("ORV_BUFFERED_HELPER_PATH")) {
        g_orv_log.SetLogFile(pszPath);
        g_orv_log.SetBuffered(true);
        g_orv_log.Write("logged just before exit\n");
        EXPECT_EQ("", OrvReadFileBytes(pszPath));
    }
}

}  // namespace
