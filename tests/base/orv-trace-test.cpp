// Trace lines (prefixes, cut marker, bad formats, wide lines), the assertion entry and thread
// numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "orv-sys.h"
#include "orv-trace.h"

namespace {

// Turns the sink's output on and collects what it writes to standard error.
class TraceCapture {
public:
    TraceCapture() : m_savedSwitch(std::exchange(g_orv_trace_to_utf8, 1)) {
        s_lines.clear();
        g_orv_sys.write = &Write;
    }
    ~TraceCapture() {
        g_orv_trace_to_utf8 = m_savedSwitch;
        g_orv_trace_on = 1;
        g_orv_trace_short = 0;
    }
    static inline std::vector<std::string> s_lines;

private:
    static long Write(int fd, const void* p, size_t n) {
        if (fd != 2)
            return g_orv_sys_real.write(fd, p, n);
        s_lines.emplace_back(static_cast<const char*>(p), n);
        return static_cast<long>(n);
    }
    unsigned char m_savedSwitch;
    OrvSysScope m_scope;
};

std::vector<std::string>& g_lines = TraceCapture::s_lines;

// Goes through the va_list form, which has no compile-time format check.
int TraceVia(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const int n = OrvTraceV(pszFormat, args);
    va_end(args);
    return n;
}

TEST(OrvTrace, LongLinesAreCutWithMarkerAndBadFormatsQuoted) {
    TraceCapture cap;
    // Longer than the stack buffer but within the limit: complete.
    const std::string mid(5000, 'm');
    OrvTrace("%s", mid.c_str());
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].substr(g_lines[0].size() - 5000), mid);
    const int n = OrvTrace("%s", std::string(200000, 'b').c_str());
    ASSERT_EQ(g_lines.size(), 2u);
    const std::string& line = g_lines[1];
    EXPECT_EQ(std::tuple(n, line.size(), line.substr(line.size() - 3)),
              std::tuple(131072, size_t{131072}, std::string("b\n|")));

    // The UTF-8 form of a wide line is cut to the sink's buffer, on a character boundary.
    EXPECT_EQ(OrvTraceW(u"%s", std::u16string(150000, u'\u00E9').c_str()), 131072);
    ASSERT_EQ(g_lines.size(), 3u);
    EXPECT_EQ(g_lines[2].substr(g_lines[2].size() - 2), "\xC3\xA9");

    // A format the engine rejects: the line quotes the format itself.
    const char* pszBad = "value %y here";
    TraceVia(pszBad, 1);
    ASSERT_EQ(g_lines.size(), 4u);
    EXPECT_TRUE(std::regex_match(g_lines[3], std::regex(".*: t=\\d+: !!!badfmt:value %y here\n")))
        << g_lines[3];
}

// The hook sees every report; a non-zero answer suppresses the trace line.
TEST(OrvTrace, AssertionHookDecidesAboutTheTraceLine) {
    TraceCapture cap;
    static int s_nCalls;
    static std::string s_expr;
    s_nCalls = 0;
    auto hook = [](const char*, int, long nErr, const char* pszExpr, int nHard) -> int {
        ++s_nCalls;
        s_expr = pszExpr ? pszExpr : "(null)";
        return nErr == 99 ? 0 : 40 + nHard;  // 0 lets the trace line through
    };
    EXPECT_EQ(OrvSetAssertHook(hook), hook);
    EXPECT_EQ(OrvAssertFailed("f", 1, 0, "x > 1", 1), 41);
    EXPECT_EQ(s_expr, "x > 1");
    EXPECT_EQ(g_lines.size(), 0u);  // suppressed
    EXPECT_GT(OrvAssertFailed("f", 2, 99, "y", 0), 0);
    EXPECT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(s_nCalls, 2);
    OrvSetAssertHook(nullptr);
}

TEST(OrvTrace, ThreadNumbersAreUniqueAndLiveCountFollowsThreads) {
    const int64_t nMine = OrvGetThreadNumber();
    const int64_t nLiveBefore = OrvLiveThreadCount();

    constexpr int kThreads = 16;
    std::vector<int64_t> numbers(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&numbers, i] {
            numbers[i] = OrvGetThreadNumber();
            EXPECT_EQ(OrvGetThreadNumber(), numbers[i]);
        });
    for (auto& t : threads)
        t.join();
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end()), numbers.end());
    EXPECT_GT(numbers.front(), nMine);
    // Numbers come from one counter: the threads got consecutive ones.
    EXPECT_EQ(numbers.back() - numbers.front(), kThreads - 1);
    EXPECT_EQ(OrvLiveThreadCount(), nLiveBefore);
}

}  // namespace
