#include "orv-log.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "orv-console.h"
#include "orv-lock.h"
#include "orv-result.h"
#include "orv-sys.h"
#include "orv-trace.h"
#include "support/orv-test-support.h"
#include "support/orv-test-ui-loop.h"

namespace {

// 2024-03-05 14:07:00 UTC.
constexpr int64_t kTuesday = 1709647620;
std::atomic<int64_t> s_nNow{kTuesday};
int64_t FakeClock() {
    return s_nNow.load();
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        s_nNow = kTuesday;
        g_orv_log_verbosity = 2;
        g_orv_log_header_count = 0;
        g_orv_log_header_text = "";
        g_orv_program_name = "logtest";
        m_log.SetClock(&FakeClock);
    }
    void TearDown() override {
        g_orv_log_verbosity = 2;
        g_orv_log_header_text = "";
    }
    std::string Read(const std::string& name) { return OrvReadFileBytes(m_dir.File(name)); }
    std::string Tn() { return std::to_string(OrvGetThreadNumber()); }
    // The line prefix at the fake clock's time.
    std::string Prefix() {
        const time_t t = static_cast<time_t>(s_nNow.load());
        struct tm tmUtc;
        gmtime_r(&t, &tmUtc);
        char sz[32];
        strftime(sz, sizeof(sz), "%Y-%m-%d %H:%M:%S ", &tmUtc);
        return sz + Tn() + " ";
    }
    void ManyWriters(bool bBuffered);
    void WritersAcrossMidnight(bool bBuffered);

    OrvTempDir m_dir;
    COrvLog m_log;
};

TEST_F(LogTest, EntriesCarryTimeAndThreadAndEndInCrLf) {
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.Write("a\nb");
    m_log.Write("already\r\n");
    m_log.Printf("%s=%d\n", "n", 42);
    m_log.WriteRaw("raw\n");
    m_log.WriteW(u"wide \u00e9\n");
    m_log.PrintfW(u"%s:%d\n", u"w", 7);
    m_log.WriteRawW(u"\r\r\n");
    const std::string p = "2024-03-05 14:07:00 " + Tn() + " ";
    EXPECT_EQ(p + "a\r\nb" + p + "already\r\n" + p + "n=42\r\n" + "raw\r\n" + p +
                  "wide \xC3\xA9\r\n" + p + "w:7\r\n" + "\r\r\n",
              Read("vexil-240305.log"));
    EXPECT_EQ(m_dir.File("vexil-240305.log"), std::string(m_log.GetFilePath()));
    EXPECT_TRUE(m_log.IsOpen());  // kept open between entries
}

TEST_F(LogTest, FileNamesDailyPerRunAndMonthly) {
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil", true);
    m_log.Write("run\n");
    EXPECT_EQ(m_dir.File("vexil-240305-1407.log"), std::string(m_log.GetFilePath()));
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil", false);
    m_log.SetMonthly(true);
    m_log.Write("month\n");
    EXPECT_EQ(m_dir.File("vexil-2403.log"), std::string(m_log.GetFilePath()));
    EXPECT_NE(std::string::npos, Read("vexil-240305-1407.log").find("run"));
    EXPECT_NE(std::string::npos, Read("vexil-2403.log").find("month"));

    m_log.SetTimeFormat("[%H%M] ");
    m_log.Write("custom\n");
    EXPECT_NE(std::string::npos, Read("vexil-2403.log").find("[1407] " + Tn() + " custom\r\n"));
}

TEST_F(LogTest, MidnightRotationWritesTheHeaderOnlyAfterTheFirstFile) {
    g_orv_log_header_text = "=== vexil 1.0 ===\r\n";
    s_nNow = 1709683199;  // 2024-03-05 23:59:59
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.Write("before\n");
    s_nNow = 1709683201;  // 2024-03-06 00:00:01
    m_log.Write("after\n");
    m_log.Write("more\n");
    EXPECT_EQ("2024-03-05 23:59:59 " + Tn() + " before\r\n", Read("vexil-240305.log"));
    EXPECT_EQ("=== vexil 1.0 ===\r\n2024-03-06 00:00:01 " + Tn() + " after\r\n" +
                  "2024-03-06 00:00:01 " + Tn() + " more\r\n",
              Read("vexil-240306.log"));
    EXPECT_EQ(2, g_orv_log_header_count);

    // Without a header text nothing is written and nothing counted.
    g_orv_log_header_text = "";
    s_nNow = 1709683201 + 86400;
    m_log.Write("third\n");
    EXPECT_EQ(0u, Read("vexil-240307.log").find("2024-03-07"));
    EXPECT_EQ(2, g_orv_log_header_count);
}

TEST_F(LogTest, SwitchingFoldersIsAnnouncedInBothFiles) {
    OrvTempDir other;
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.Write("one\n");
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");  // same folder: no lines
    m_log.SetLogFolder(other.Path().c_str(), "vexil");
    m_log.Write("two\n");
    const std::string p = "2024-03-05 14:07:00 " + Tn() + " ";
    EXPECT_EQ(p + "one\r\n" + p + "*** Switching to new global log folder " + other.Path() + "\r\n",
              Read("vexil-240305.log"));
    EXPECT_EQ(p + "*** Switched to new global log folder " + other.Path() + "\r\n" + p + "two\r\n",
              OrvReadFileBytes(other.File("vexil-240305.log")));
}

TEST_F(LogTest, VerbosityNineAndDisabledWriteNothing) {
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    g_orv_log_verbosity = 9;
    m_log.Write("w\n");
    m_log.Printf("p %d\n", 1);
    m_log.WriteRaw("r\n");
    m_log.PrintfW(u"pw\n");
    EXPECT_FALSE(m_log.IsOpen());
    EXPECT_EQ("", Read("vexil-240305.log"));
    g_orv_log_verbosity = 2;
    m_log.Close(false);
    m_log.Write("disabled\n");
    EXPECT_EQ("", Read("vexil-240305.log"));
    m_log.Close(true);
    m_log.Write("on\n");
    EXPECT_NE(std::string::npos, Read("vexil-240305.log").find("on\r\n"));

    m_log.Reset();
    EXPECT_FALSE(m_log.IsEnabled());
    EXPECT_EQ("", std::string(m_log.GetFilePath()));
}

TEST_F(LogTest, FixedFileNameAndEmptyArguments) {
    COrvLog log;
    log.Write("dropped: no folder, no file\n");
    log.SetLogFile(m_dir.File("fixed.log").c_str());
    log.Write("x\n");
    EXPECT_EQ(m_dir.File("fixed.log"), std::string(log.GetFilePath()));
    EXPECT_NE(std::string::npos, Read("fixed.log").find(" x\r\n"));

    int nAsserts = 0;
    static int* s_pn = nullptr;
    s_pn = &nAsserts;
    OrvAssertHook prev =
        OrvSetAssertHook([](const char*, int, long, const char*, int) { return ++*s_pn; });
    log.SetLogFolder("", "vexil");
    log.SetLogFolder(m_dir.Path().c_str(), nullptr);
    OrvSetAssertHook(prev);
    EXPECT_EQ(2, nAsserts);
    EXPECT_EQ(m_dir.File("fixed.log"), std::string(log.GetFilePath()));  // unchanged
}

TEST_F(LogTest, OpenFailureIsReportedAndDisablesUntilReconfigured) {
    m_log.SetLogFolder(m_dir.File("no/such/folder").c_str(), "vexil");
    testing::internal::CaptureStderr();
    m_log.Write("lost\n");
    m_log.Write("also lost, silently\n");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, err.find("logtest: Cannot open log file " + m_dir.File("no/such/folder") +
                           "/vexil-240305.log: "));
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n'));
    EXPECT_FALSE(m_log.IsEnabled());
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.Write("back\n");
    EXPECT_NE(std::string::npos, Read("vexil-240305.log").find("back"));
}

// Injected write failures: the first nFailAfter bytes of a call get through, then ENOSPC.
std::atomic<int> s_nFailures{0};
std::atomic<long> s_nPartial{0};
long FailingWrite(int fd, const void* p, size_t n) {
    if (s_nFailures.load() > 0) {
        const long nPartial = s_nPartial.exchange(0);
        if (nPartial > 0 && static_cast<size_t>(nPartial) < n) {
            return g_orv_sys_real.write(fd, p, static_cast<size_t>(nPartial));  // short write
        }
        --s_nFailures;
        errno = ENOSPC;
        return -1;
    }
    return g_orv_sys_real.write(fd, p, n);
}

TEST_F(LogTest, WriteFailureIsReportedClosesAndTheNextEntryReopens) {
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.Write("first\n");
    OrvSysScope scope;
    g_orv_sys.write = &FailingWrite;
    s_nFailures = 1;
    testing::internal::CaptureStderr();
    m_log.Write("full disk\n");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("logtest: Cannot write log file " + m_dir.File("vexil-240305.log") + ": " +
                  std::string(OrvErrnoText(ENOSPC)) + "\n",
              err);
    EXPECT_FALSE(m_log.IsOpen());
    m_log.Write("second\n");
    EXPECT_TRUE(m_log.IsOpen());

    // A short write followed by a failure leaves a fragment; the next entry starts a new line.
    s_nPartial = 10;
    s_nFailures = 1;
    testing::internal::CaptureStderr();
    m_log.Write("torn entry\n");
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("Cannot write"));
    m_log.Write("third\n");
    const std::string p = "2024-03-05 14:07:00 " + Tn() + " ";
    EXPECT_EQ(p + "first\r\n" + p + "second\r\n" + p.substr(0, 10) + "\r\n" + p + "third\r\n",
              Read("vexil-240305.log"));
}

// Every line of the text, split at CR LF; the text must end in CR LF.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t nPos = 0;
    while (nPos < text.size()) {
        const size_t nEnd = text.find("\r\n", nPos);
        if (nEnd == std::string::npos) {
            lines.push_back(text.substr(nPos));  // an unterminated tail: a torn line
            break;
        }
        lines.push_back(text.substr(nPos, nEnd - nPos));
        nPos = nEnd + 2;
    }
    return lines;
}

// Group commit: what reached write(2), recorded line by line. Entry texts are "id <n>"; an entry
// counts as handed to the kernel once a write call carrying it has returned.
constexpr int kMaxIds = 4096;
std::atomic<bool> s_bWritten[kMaxIds];
std::atomic<int> s_nWriteCalls{0};
std::atomic<int> s_nSlowWriteUs{0};
long RecordingWrite(int fd, const void* p, size_t n) {
    ++s_nWriteCalls;
    if (s_nSlowWriteUs.load() > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(s_nSlowWriteUs.load()));
    }
    const long nDone = g_orv_sys_real.write(fd, p, n);
    const std::string bytes(static_cast<const char*>(p),
                            nDone > 0 ? static_cast<size_t>(nDone) : 0);
    for (size_t nPos = bytes.find(" id "); nPos != std::string::npos;
         nPos = bytes.find(" id ", nPos + 1)) {
        const size_t nEnd = bytes.find("\r\n", nPos);
        if (nEnd != std::string::npos) {
            const int nId = std::atoi(bytes.c_str() + nPos + 4);
            if (nId >= 0 && nId < kMaxIds) {
                s_bWritten[nId] = true;
            }
        }
    }
    return nDone;
}

TEST_F(LogTest, EveryEntryIsInTheKernelWhenTheCallReturnsAndWaitersShareOneWrite) {
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    for (auto& b : s_bWritten) {
        b = false;
    }
    OrvSysScope scope;
    g_orv_sys.write = &RecordingWrite;
    s_nWriteCalls = 0;
    s_nSlowWriteUs = 2000;  // a slow disk: entries of the other threads pile up meanwhile
    constexpr int kThreads = 4;
    constexpr int kLines = 60;
    std::atomic<int> nNotYetWritten{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                const int nId = t * kLines + i;
                m_log.Printf("writer %d id %d\n", t, nId);
                if (!s_bWritten[nId].load()) {
                    ++nNotYetWritten;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    s_nSlowWriteUs = 0;
    EXPECT_EQ(0, nNotYetWritten.load());
    // While one thread writes, the others' entries wait and go out together with the next write
    // (one entry per write would make kThreads * kLines writes; batches here average about two).
    EXPECT_LT(s_nWriteCalls.load(), kThreads * kLines * 4 / 5);
    const auto lines = SplitLines(Read("vexil-240305.log"));
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
    std::set<int> ids;
    const std::regex line("2024-03-05 14:07:00 \\d+ writer (\\d) id (\\d+)");
    for (const auto& one : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(one, m, line)) << one;
        ids.insert(std::stoi(m[2]));
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), ids.size());
}

TEST_F(LogTest, EachLineCarriesTheThreadNumberOfItsOwnThread) {
    // The thread that writes a batch writes the others' entries too: the prefix must still name
    // the thread that logged each entry.
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    OrvSysScope scope;
    g_orv_sys.write = &RecordingWrite;
    s_nSlowWriteUs = 200;
    std::vector<std::thread> threads;
    std::vector<int64_t> numbers(3);
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            numbers[t] = OrvGetThreadNumber();
            for (int i = 0; i < 40; ++i) {
                m_log.Printf("from %d\n", t);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    s_nSlowWriteUs = 0;
    int nLines = 0;
    for (const auto& one : SplitLines(Read("vexil-240305.log"))) {
        const int t = one.back() - '0';
        ASSERT_TRUE(t >= 0 && t < 3) << one;
        EXPECT_EQ(
            "2024-03-05 14:07:00 " + std::to_string(numbers[t]) + " from " + std::to_string(t),
            one);
        ++nLines;
    }
    EXPECT_EQ(120, nLines);
}

// Writers that log at full speed from several threads: every line whole, none lost, in either
// mode.
void LogTest::ManyWriters(bool bBuffered) {
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.SetBuffered(bBuffered);
    constexpr int kThreads = 4;
    constexpr int kLines = 1500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kLines; ++i) {
                if (i % 2) {
                    m_log.Printf("writer %d line %d %s\n", t, i, "payload-payload-payload");
                } else {
                    m_log.Write(("writer " + std::to_string(t) + " line " + std::to_string(i) +
                                 " payload-payload-payload\n")
                                    .c_str());
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    m_log.Flush();
    const std::string text = Read("vexil-240305.log");
    const std::regex line(
        "2024-03-05 14:07:00 \\d+ writer (\\d) line (\\d+) payload-payload-payload");
    std::set<std::pair<int, int>> seen;
    size_t nPos = 0;
    int nBad = 0;
    while (nPos < text.size()) {
        const size_t nEnd = text.find("\r\n", nPos);
        ASSERT_NE(std::string::npos, nEnd);
        std::smatch m;
        const std::string one = text.substr(nPos, nEnd - nPos);
        if (std::regex_match(one, m, line)) {
            seen.insert({std::stoi(m[1]), std::stoi(m[2])});
        } else {
            ++nBad;
        }
        nPos = nEnd + 2;
    }
    EXPECT_EQ(0, nBad);
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
}

TEST_F(LogTest, ConcurrentWritersNeverTearOrLoseLines) {
    ManyWriters(false);
}

TEST_F(LogTest, BufferedConcurrentWritersNeverTearOrLoseLines) {
    ManyWriters(true);
}

TEST_F(LogTest, SwitchingModesUnderConcurrentWritersLosesNothing) {
    // Entries on their way through the default mode's queue while the log turns buffered, and
    // buffered ones while it turns back, all arrive whole and once.
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    constexpr int kThreads = 3;
    constexpr int kLines = 2000;
    std::atomic<bool> bDone{false};
    std::thread toggler([&] {
        bool bBuffered = false;
        while (!bDone.load()) {
            bBuffered = !bBuffered;
            m_log.SetBuffered(bBuffered);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            m_log.Flush();
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kLines; ++i) {
                if (i % 3) {
                    m_log.Printf("writer %d line %d\n", t, i);
                } else {
                    m_log.Write(
                        ("writer " + std::to_string(t) + " line " + std::to_string(i) + "\n")
                            .c_str());
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    bDone = true;
    toggler.join();
    m_log.Flush();
    std::set<std::pair<int, int>> seen;
    const std::regex line("2024-03-05 14:07:00 \\d+ writer (\\d) line (\\d+)");
    for (const auto& one : SplitLines(Read("vexil-240305.log"))) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(one, m, line)) << one;
        EXPECT_TRUE(seen.insert({std::stoi(m[1]), std::stoi(m[2])}).second) << one;
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
}

void LogTest::WritersAcrossMidnight(bool bBuffered) {
    // Writers keep logging while the clock passes midnight and the folder changes twice: every
    // line is whole, none is lost, each file holds only lines of its own date, the header comes
    // only in files after the first, and the switch lines sit in the old and the new file.
    g_orv_log_header_text = "=== header ===\r\n";
    OrvTempDir other;
    s_nNow = 1709683199;  // 2024-03-05 23:59:59
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.SetBuffered(bBuffered);
    m_log.Write("writer 9 line 0\n");  // the first file of the process
    constexpr int kThreads = 3;
    constexpr int kLines = 400;
    std::atomic<int> nCalls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                m_log.Printf("writer %d line %d\n", t, i);
                ++nCalls;
            }
        });
    }
    // Each step waits until the writers have made some entries (or are all done).
    auto waitForCalls = [&](int nMore) {
        const int nTarget = nCalls.load() + nMore;
        while (nCalls.load() < nTarget && nCalls.load() < kThreads * kLines) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    };
    waitForCalls(30);
    s_nNow = 1709683201;  // 2024-03-06 00:00:01
    waitForCalls(30);
    m_log.SetLogFolder(other.Path().c_str(), "vexil");
    waitForCalls(30);
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    for (auto& thread : threads) {
        thread.join();
    }
    m_log.Flush();
    std::set<std::pair<int, int>> seen;
    int nSwitching = 0;
    int nSwitched = 0;
    const std::regex line("(2024-03-0[56]) \\d\\d:\\d\\d:\\d\\d \\d+ writer (\\d) line (\\d+)");
    auto scan = [&](const std::string& path, const std::string& date) {
        const std::string text = OrvReadFileBytes(path);
        int nHeaders = 0;
        for (const auto& one : SplitLines(text)) {
            std::smatch m;
            if (one == "=== header ===") {
                ++nHeaders;
            } else if (one.find("*** Switching to new global log folder ") != std::string::npos) {
                ++nSwitching;
            } else if (one.find("*** Switched to new global log folder ") != std::string::npos) {
                ++nSwitched;
            } else {
                const bool bMatch = std::regex_match(one, m, line);
                EXPECT_TRUE(bMatch) << path << ": " << one;
                if (bMatch) {
                    EXPECT_EQ(date, m[1].str()) << path;
                    EXPECT_TRUE(seen.insert({std::stoi(m[2]), std::stoi(m[3])}).second) << one;
                }
            }
        }
        return nHeaders;
    };
    // Rotations: the first file (no header), midnight (header), the switch to the other folder
    // (header) and the switch back, which opens the day's file in the first folder again (a
    // second header there).
    EXPECT_EQ(0, scan(m_dir.File("vexil-240305.log"), "2024-03-05"));
    EXPECT_EQ(1, scan(other.File("vexil-240306.log"), "2024-03-06"));
    EXPECT_EQ(2, scan(m_dir.File("vexil-240306.log"), "2024-03-06"));
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines + 1), seen.size());
    EXPECT_EQ(4, g_orv_log_header_count);
    EXPECT_EQ(2, nSwitching);
    EXPECT_EQ(2, nSwitched);
}

TEST_F(LogTest, ConcurrentWritersAcrossMidnightAndFolderSwitches) {
    WritersAcrossMidnight(false);
}

TEST_F(LogTest, BufferedConcurrentWritersAcrossMidnightAndFolderSwitches) {
    WritersAcrossMidnight(true);
}

// A write that gives out at most 7 bytes a call.
long ShortWrite(int fd, const void* p, size_t n) {
    return g_orv_sys_real.write(fd, p, n < 7 ? n : 7);
}

TEST_F(LogTest, ShortWritesAreCompletedIntoWholeLines) {
    for (const bool bBuffered : {false, true}) {
        const std::string name = bBuffered ? "buffered" : "vexil";
        m_log.SetLogFolder(m_dir.Path().c_str(), name.c_str());
        m_log.SetBuffered(bBuffered);
        // Buffered, enough lines that the buffer fills (and is written 7 bytes at a time) while
        // the other threads go on appending.
        const int nLines = bBuffered ? 1000 : 50;
        OrvSysScope scope;
        g_orv_sys.write = &ShortWrite;
        testing::internal::CaptureStderr();
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([this, t, nLines] {
                for (int i = 0; i < nLines; ++i) {
                    m_log.Printf("short writer %d line %d\n", t, i);
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        m_log.Flush();
        EXPECT_EQ("", testing::internal::GetCapturedStderr());
        const std::regex line("2024-03-05 14:07:00 \\d+ short writer \\d line \\d+");
        const auto lines = SplitLines(Read(name + "-240305.log"));
        EXPECT_EQ(static_cast<size_t>(3 * nLines), lines.size());
        for (const auto& one : lines) {
            EXPECT_TRUE(std::regex_match(one, line)) << one;
        }
    }
}

// A write hook that logs into the log being written, as an assertion hook might.
COrvLog* s_pNestedLog = nullptr;
std::atomic<int> s_nNestedCalls{0};
long NestingWrite(int fd, const void* p, size_t n) {
    if (s_nNestedCalls++ == 0) {
        s_pNestedLog->Printf("nested %s\n", "entry");
    }
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
        g_orv_sys.write = g_orv_sys_real.write;
        const std::string p = "2024-03-05 14:07:00 " + Tn() + " ";
        EXPECT_EQ(p + "open\r\n" + p + "nested entry\r\n" + p + "outer\r\n",
                  Read(name + "-240305.log"));
    }
}

TEST_F(LogTest, WriteFailureUnderConcurrentWritersIsReportedAndTheLogRecovers) {
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.Write("first\n");
    OrvSysScope scope;
    g_orv_sys.write = &FailingWrite;
    s_nPartial = 0;
    s_nFailures = 1;
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 30; ++i) {
                m_log.Printf("writer %d line %d\n", t, i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_EQ(0u, err.find("logtest: Cannot write log file "));
    // The failed write lost its own entries (one batch); every later one is there, whole.
    const auto lines = SplitLines(Read("vexil-240305.log"));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_GE(lines.size(), 90u - 3u + 1u);
    const std::regex line("2024-03-05 14:07:00 \\d+ (first|writer \\d line \\d+)");
    for (const auto& one : lines) {
        EXPECT_TRUE(std::regex_match(one, line)) << one;
    }
    EXPECT_TRUE(m_log.IsOpen());
}

// Size of a file, 0 when it is missing.
size_t FileSize(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

TEST_F(LogTest, BufferedEntriesReachTheFileOnlyAtFlushPoints) {
    const std::string file = "vexil-240305.log";
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.SetBuffered(true);
    EXPECT_TRUE(m_log.IsBuffered());
    // Formatted into the buffer and normalised there, as written through.
    const std::string big(10000, 'x');  // more than the buffer's first room
    m_log.Printf("%s=%d\n", "n", 1);
    m_log.Write("a\nb\r\n");
    m_log.WriteRaw("raw\n");
    m_log.Printf("%s\n", big.c_str());
    m_log.PrintfW(u"%s:%d\n", u"w", 7);
    EXPECT_EQ("", Read(file));
    m_log.Flush();
    const std::string p = Prefix();
    std::string expect =
        p + "n=1\r\n" + p + "a\r\nb\r\n" + "raw\r\n" + p + big + "\r\n" + p + "w:7\r\n";
    EXPECT_EQ(expect, Read(file));

    // Each flush point writes what was buffered before it, and nothing is written before.
    auto flushedBy = [&](const std::string& what, const std::function<void()>& action) {
        const std::string line = Prefix() + "before " + what + "\r\n";
        m_log.Printf("before %s\n", what.c_str());
        m_log.Printf("%s", "");  // an empty entry of the same second flushes nothing
        EXPECT_EQ(expect, Read(file)) << what;
        expect += line + Prefix();
        action();
        EXPECT_EQ(expect, Read(file)) << what;
    };
    flushedBy("flush", [&] { m_log.Flush(); });
    flushedBy("close", [&] { m_log.Close(true); });
    flushedBy("same folder", [&] { m_log.SetLogFolder(m_dir.Path().c_str(), "vexil"); });
    flushedBy("next second", [&] {
        s_nNow += 1;
        m_log.Write("a second later\n");
        expect += Prefix() + "a second later\r\n";
    });
    flushedBy("buffered off", [&] { m_log.SetBuffered(false); });
    m_log.Write("through\n");  // the default mode again: in the file at once
    expect += Prefix() + "through\r\n";
    EXPECT_EQ(expect, Read(file));

    m_log.SetBuffered(true);
    m_log.Write("before reset\n");
    m_log.Reset();
    expect += Prefix() + "before reset\r\n";
    EXPECT_EQ(expect, Read(file));
    EXPECT_FALSE(m_log.IsBuffered());

    {
        COrvLog log;
        log.SetClock(&FakeClock);
        log.SetLogFile(m_dir.File("fixed.log").c_str());
        log.SetBuffered(true);
        log.Write("before destruction\n");
        EXPECT_EQ("", Read("fixed.log"));
        log.SetLogFile(m_dir.File("other.log").c_str());  // the old file gets its entries
        EXPECT_EQ(Prefix() + "before destruction\r\n", Read("fixed.log"));
        log.Write("in other\n");
    }
    EXPECT_EQ(Prefix() + "in other\r\n", Read("other.log"));
}

TEST_F(LogTest, BufferedEntriesGoOutWholeOnceTheBufferIsFull) {
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.SetBuffered(true);
    const std::string path = m_dir.File("vexil-240305.log");
    std::string expect;
    int i = 0;
    while (FileSize(path) == 0 && i < 10000) {
        m_log.Printf("entry %05d %s\n", i++, std::string(80, 'y').c_str());
        expect += Prefix() + "entry " + std::string(5 - std::to_string(i - 1).size(), '0') +
                  std::to_string(i - 1) + " " + std::string(80, 'y') + "\r\n";
    }
    // Written after 64 KiB and not long after; the file then holds everything logged so far.
    EXPECT_GE(expect.size(), 64u * 1024u);
    EXPECT_LT(expect.size(), 64u * 1024u + 200u);
    EXPECT_EQ(expect, Read("vexil-240305.log"));
    m_log.Write("one more\n");
    EXPECT_EQ(expect, Read("vexil-240305.log"));
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
    // Ten bytes get through, then the disk is full.
    s_nPartial = 10;
    s_nFailures = 1;
    testing::internal::CaptureStderr();
    m_log.Flush();
    const std::string report = "logtest: Cannot write log file " + m_dir.File("vexil-240305.log") +
                               ": " + std::string(OrvErrnoText(ENOSPC)) + "\n";
    EXPECT_EQ(report, testing::internal::GetCapturedStderr());
    EXPECT_FALSE(m_log.IsOpen());
    EXPECT_EQ(p + "first\r\n" + p.substr(0, 10), Read("vexil-240305.log"));

    // Still full at the next entry, which retries: reported again, nothing lost.
    s_nFailures = 1;
    testing::internal::CaptureStderr();
    m_log.Write("fourth\n");
    EXPECT_EQ(report, testing::internal::GetCapturedStderr());
    EXPECT_FALSE(m_log.IsOpen());

    // Room again: the next entry reopens the file and everything follows, the cut line completed.
    testing::internal::CaptureStderr();
    m_log.Write("fifth\n");
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_TRUE(m_log.IsOpen());
    EXPECT_EQ(
        p + "first\r\n" + p + "second\r\n" + p + "third\r\n" + p + "fourth\r\n" + p + "fifth\r\n",
        Read("vexil-240305.log"));

    const std::string before = Read("vexil-240305.log");

    // A change of date after a failed flush writes the old day's entries into the old day's file.
    m_log.Write("sixth\n");
    s_nPartial = 10;
    s_nFailures = 1;
    testing::internal::CaptureStderr();
    m_log.Flush();
    EXPECT_EQ(report, testing::internal::GetCapturedStderr());
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
    testing::internal::CaptureStderr();
    m_log.Flush();
    s_nNow += 86400;
    m_log.Write("day three\n");
    const std::string report2 = "logtest: Cannot write log file " + m_dir.File("vexil-240306.log") +
                                ": " + std::string(OrvErrnoText(ENOSPC)) + "\n";
    EXPECT_EQ(report2 + report2, testing::internal::GetCapturedStderr());
    m_log.Flush();
    EXPECT_EQ(pNext + "next day\r\n" + pNext.substr(0, 10), Read("vexil-240306.log"));
    EXPECT_EQ(Prefix() + "day three\r\n", Read("vexil-240307.log"));
}

TEST_F(LogTest, BufferedRotationPutsEachEntryIntoTheFileOfItsDate) {
    g_orv_log_header_text = "=== vexil 1.0 ===\r\n";
    s_nNow = 1709683199;  // 2024-03-05 23:59:59
    m_log.SetLogFolder(m_dir.Path().c_str(), "vexil");
    m_log.SetBuffered(true);
    m_log.Write("before\n");
    m_log.Printf("%s\n", "before too");
    const std::string pBefore = Prefix();
    EXPECT_EQ("", Read("vexil-240305.log"));
    s_nNow = 1709683201;  // 2024-03-06 00:00:01
    m_log.Write("after\n");
    // The change of date wrote the old day's entries; the new day's entry waits in the buffer.
    EXPECT_EQ(pBefore + "before\r\n" + pBefore + "before too\r\n", Read("vexil-240305.log"));
    EXPECT_EQ("", Read("vexil-240306.log"));
    m_log.Write("more\n");
    m_log.Flush();
    EXPECT_EQ("=== vexil 1.0 ===\r\n" + Prefix() + "after\r\n" + Prefix() + "more\r\n",
              Read("vexil-240306.log"));
    EXPECT_EQ(2, g_orv_log_header_count);
}

TEST_F(LogTest, BufferedGlobalLogIsWrittenAtExit) {
    // The process-wide log is destroyed at exit, which writes what it still buffers: a fresh
    // process (this test binary run again for one helper case) logs and ends.
    char szExe[4096];
    const ssize_t n = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    ASSERT_GT(n, 0);
    szExe[n] = '\0';
    const std::string path = m_dir.File("exit.log");
    const std::string cmd = "ORV_BUFFERED_HELPER_PATH='" + path + "' '" + szExe +
                            "' --gtest_filter=LogTest.BufferedHelperLogsAndExits >/dev/null 2>&1";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    const std::string text = OrvReadFileBytes(path);
    EXPECT_NE(std::string::npos, text.find(" logged just before exit\r\n")) << text;
}

TEST_F(LogTest, BufferedHelperLogsAndExits) {
    const char* pszPath = getenv("ORV_BUFFERED_HELPER_PATH");
    if (pszPath) {
        g_orv_log.SetLogFile(pszPath);
        g_orv_log.SetBuffered(true);
        g_orv_log.Write("logged just before exit\n");
        EXPECT_EQ("", OrvReadFileBytes(pszPath));
    }
}

TEST_F(LogTest, TraceBannerHasNoMarkWhenTheFileIsNotNew) {
    // The trace file is opened once per process: a fresh process (this test binary run again for
    // one helper case) opens a file that already has text.
    const std::string path = m_dir.File("old-trace.txt");
    ASSERT_TRUE(OrvWriteFileBytes(path, "old\n"));
    char szExe[4096];
    const ssize_t n = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    ASSERT_GT(n, 0);
    szExe[n] = '\0';
    const std::string cmd = "ORV_TRACE_HELPER_PATH='" + path + "' '" + szExe +
                            "' --gtest_filter=LogTest.TraceHelperOpensTheFile >/dev/null 2>&1";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    const std::string text = OrvReadFileBytes(path);
    EXPECT_EQ(0u, text.find("old\n\n\n*** TRACER LOG FROM: /")) << text;
    EXPECT_EQ(std::string::npos, text.find("\xEF\xBB\xBF"));
}

TEST_F(LogTest, TraceHelperOpensTheFile) {
    const char* pszPath = getenv("ORV_TRACE_HELPER_PATH");
    if (pszPath) {
        ASSERT_TRUE(OrvOpenTraceFile(pszPath));
    }
}

TEST_F(LogTest, LockReportsAndSevereBoxesGoToTheGlobalLog) {
    g_orv_log.SetClock(&FakeClock);
    g_orv_log.SetLogFolder(m_dir.Path().c_str(), "global");
    OrvLockLog("lock line %d\n", 5);
    g_orv_interactive = 0;
    EXPECT_EQ(0, OrvSevereMessageBox(nullptr, "disk on fire", "Alarm"));
    {
        CTestUiLoop loop;
        g_orv_interactive = 1;
        EXPECT_EQ(1, OrvSevereMessageBox(nullptr, "shown", "Box"));
        g_orv_interactive = 0;
        ASSERT_EQ(1u, loop.Boxes().size());
        EXPECT_EQ("Box", loop.Boxes()[0].first);
        EXPECT_EQ("shown", loop.Boxes()[0].second);
    }
    const std::string text = OrvReadFileBytes(m_dir.File("global-240305.log"));
    g_orv_log.Reset();
    g_orv_log.SetClock(nullptr);
    const std::string p = "2024-03-05 14:07:00 " + Tn() + " ";
    EXPECT_EQ(p + "lock line 5\r\n" + p +
                  "!!! SEVERE MESSAGE BOX: title: Alarm message: disk on fire\r\n",
              text);
}

TEST_F(LogTest, TraceFileBannerOnce) {
    const std::string path = m_dir.File("trace.txt");
    EXPECT_FALSE(OrvAppendTraceFile("before open"));
    ASSERT_TRUE(OrvOpenTraceFile(path.c_str()));
    ASSERT_TRUE(OrvOpenTraceFile("/elsewhere/ignored"));  // once per process
    EXPECT_TRUE(OrvAppendTraceFile("abc", 2));
    EXPECT_TRUE(OrvAppendTraceFileW(u"\u00e9!"));
    const std::string text = OrvReadFileBytes(path);
    time_t now = time(nullptr);
    struct tm tmUtc;
    gmtime_r(&now, &tmUtc);
    char szDate[64];
    snprintf(szDate, sizeof(szDate), "=== DATE: %04d/%02d/%02d ===\n\n", tmUtc.tm_year + 1900,
             tmUtc.tm_mon + 1, tmUtc.tm_mday);
    EXPECT_EQ(0u, text.find("\xEF\xBB\xBF\n\n*** TRACER LOG FROM: /"));
    EXPECT_NE(std::string::npos, text.find("orv-log-test ***\n"));
    const std::string tail = std::string(szDate) + "ab\xC3\xA9!";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
}

TEST_F(LogTest, ConsolePrintIsWholeAndCapped) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(8, OrvConsolePrint("x=%d \xC3\xA9\xF0\x9F\x98\x80\n", 5));
    EXPECT_EQ(3, OrvConsolePrintW(u"%s\n", u"ok"));
    std::u16string big(70000, u'a');
    big[65535] = 0xD83D;  // a pair across the limit stays out whole
    big[65536] = 0xDE00;
    EXPECT_EQ(65535, OrvConsolePrintW(u"%s", big.c_str()));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("x=5 \xC3\xA9\xF0\x9F\x98\x80\nok\n" + std::string(65535, 'a'), out);
}

}  // namespace
