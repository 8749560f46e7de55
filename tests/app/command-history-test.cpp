// The command history and its file: no repeats in a row, bounded by count and size, entries of
// other instances merged under the file's lock, text of any kind kept whole, the walk with Up and
// Down, the file read and written off the owner's thread, and a file that is not ours left alone.
#include "command-history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include "orv-lock.h"
#include "support/orv-test-support.h"

namespace {

constexpr int kWaitMs = 20000;

// The entries the file at the path holds, one a line.
std::vector<std::string> FileLines(const std::string& path) {
    std::vector<std::string> lines;
    const std::string text = OrvReadFileBytes(path);
    for (size_t nStart = 0; nStart < text.size();) {
        const size_t nEnd = text.find('\n', nStart);
        lines.push_back(text.substr(nStart, nEnd - nStart));
        nStart = nEnd == std::string::npos ? text.size() : nEnd + 1;
    }
    return lines;
}

}  // namespace

TEST(CommandHistory, FileKeepsTheNewestEntriesWithoutRepeats) {
    OrvTempDir dir;
    const std::string path = dir.Path() + "/state/vexil/history";
    {
        CCommandHistory history(path);
        EXPECT_TRUE(history.Entries().empty());
        history.Add("first");
        history.Add("first");  // a repeat
        ASSERT_TRUE(history.WaitIdle(kWaitMs));
    }
    EXPECT_EQ(FileLines(path), std::vector<std::string>{"first"});
    // The folders are the user's alone, and so is the file.
    struct stat st;
    ASSERT_EQ(stat((dir.Path() + "/state/vexil").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A full file: the oldest entry goes; an instance started before another one's additions
    // keeps them when it adds its own.
    std::string full;
    for (int i = 0; i < 1000; ++i) {
        full += "cmd " + std::to_string(i) + "\n";
    }
    ASSERT_TRUE(OrvWriteFileBytes(path, full));
    CCommandHistory a(path);
    CCommandHistory b(path);
    a.Add("from a");
    ASSERT_TRUE(a.WaitIdle(kWaitMs));
    b.Add("from b");
    ASSERT_TRUE(b.WaitIdle(kWaitMs));
    std::vector<std::string> lines = FileLines(path);
    EXPECT_EQ(b.Entries(), lines);
    ASSERT_EQ(lines.size(), CCommandHistory::kMaxEntries);
    lines.erase(lines.begin() + 1, lines.end() - 2);
    EXPECT_EQ(lines, (std::vector<std::string>{"cmd 2", "from a", "from b"}));
    // a takes in what b wrote when it adds again
    a.Add("a again");
    ASSERT_TRUE(a.WaitIdle(kWaitMs));
    std::string shown;
    ASSERT_TRUE(a.Older("", shown));
    EXPECT_EQ(shown, "a again");
    ASSERT_TRUE(a.Older(shown, shown));
    EXPECT_EQ(shown, "from b");
}

TEST(CommandHistory, AnyTextComesBackWholeAndTheWalkKeepsTheDraft) {
    OrvTempDir dir;
    const std::string path = dir.File("history");
    const std::string odd = "a\\nb\nc\r\\\\ d \xC3\xA9";
    {
        CCommandHistory history(path);
        history.Add("first");
        history.Add(odd);
        ASSERT_TRUE(history.WaitIdle(kWaitMs));
    }
    CCommandHistory history(path);
    ASSERT_TRUE(history.WaitIdle(kWaitMs));
    ASSERT_EQ(history.Entries().size(), 2u);
    EXPECT_EQ(history.Entries()[1], odd);

    // Up from a draft to the oldest and past it, then Down to the draft and past it.
    std::string shown = "draft";
    EXPECT_FALSE(history.Newer(shown));
    for (const auto& [bOlder, bOk, expected] : {std::tuple{true, true, odd},
                                                {true, true, "first"},
                                                {true, false, "first"},
                                                {false, true, odd},
                                                {false, true, "draft"},
                                                {false, false, "draft"}}) {
        EXPECT_EQ(bOlder ? history.Older(shown, shown) : history.Newer(shown), bOk) << expected;
        EXPECT_EQ(shown, expected);
    }

    // A file that cannot be written keeps the entry in memory and says why.
    CCommandHistory blocked(dir.File("history") + "/below/history");
    blocked.Add("x");
    ASSERT_TRUE(blocked.WaitIdle(kWaitMs));
    EXPECT_NE(std::string(blocked.LastError().Text().GetString()).find("Not a directory"),
              std::string::npos)
        << blocked.LastError().Text().GetString();
    EXPECT_EQ(blocked.Entries(), std::vector<std::string>{"x"});
}

TEST(CommandHistory, TheFileIsBoundedBySizeAndLongEntriesStayOutOfIt) {
    OrvTempDir dir;
    const std::string path = dir.File("history");
    // 2000 entries of 2000 bytes: only those in the file's last megabyte are read
    std::string big;
    for (int i = 0; i < 2000; ++i) {
        const std::string number = std::to_string(100000 + i);
        big += number + std::string(2000 - number.size(), 'x') + "\n";
    }
    ASSERT_TRUE(OrvWriteFileBytes(path, big));
    CCommandHistory history(path);
    ASSERT_TRUE(history.WaitIdle(kWaitMs));
    const size_t nFit = CCommandHistory::kMaxFileBytes / 2001;
    ASSERT_EQ(history.Entries().size(), nFit);
    EXPECT_EQ(history.Entries().back().substr(0, 6), "101999");
    EXPECT_EQ(history.Entries().front().substr(0, 6), std::to_string(102000 - nFit));

    // a command too long for the file: walked back to at once, never written, and gone from
    // the walk once another command runs; the file then holds at most its bound
    const std::string longCommand = "echo " + std::string(CCommandHistory::kMaxEntryBytes, 'y');
    history.Add(longCommand);
    ASSERT_TRUE(history.WaitIdle(kWaitMs));
    std::string shown;
    ASSERT_TRUE(history.Older("", shown));
    EXPECT_EQ(shown, longCommand);
    EXPECT_EQ(OrvReadFileBytes(path), big);
    history.Add("short");
    ASSERT_TRUE(history.WaitIdle(kWaitMs));
    EXPECT_NE(history.Entries().back(), longCommand);
    EXPECT_LE(OrvReadFileBytes(path).size(), CCommandHistory::kMaxFileBytes);
    EXPECT_EQ(FileLines(path).back(), "short");

    // a file of one endless line holds no entry, and a new one replaces it
    ASSERT_TRUE(OrvWriteFileBytes(path, std::string(3 * CCommandHistory::kMaxFileBytes, 'z')));
    CCommandHistory endless(path);
    ASSERT_TRUE(endless.WaitIdle(kWaitMs));
    EXPECT_TRUE(endless.Entries().empty());
    endless.Add("after");
    ASSERT_TRUE(endless.WaitIdle(kWaitMs));
    EXPECT_EQ(OrvReadFileBytes(path), "after\n");
}

TEST(CommandHistory, TheFileIsReadAndWrittenOffTheOwnersThreadUnderItsLock) {
    OrvTempDir dir;
    const std::string path = dir.File("history");
    ASSERT_TRUE(OrvWriteFileBytes(path, "old\n"));
    {
        // Another instance holds the lock: adding does not wait for it.
        COrvMutex other((path + ".lock").c_str());
        ASSERT_TRUE(other.Lock(0));
        CCommandHistory history(path);
        history.Add("new");
        EXPECT_FALSE(history.WaitIdle(300));
        EXPECT_EQ(history.Entries().back(), "new");
        EXPECT_EQ(OrvReadFileBytes(path), "old\n");
        other.Unlock();
        ASSERT_TRUE(history.WaitIdle(kWaitMs));
        EXPECT_EQ(OrvReadFileBytes(path), "old\nnew\n");
    }

    // Two instances adding at the same moment keep every entry of both.
    constexpr int kEach = 30;
    CCommandHistory a(path);
    CCommandHistory b(path);
    std::thread ta([&] {
        for (int i = 0; i < kEach; ++i) {
            a.Add("a" + std::to_string(i));
        }
    });
    for (int i = 0; i < kEach; ++i) {
        b.Add("b" + std::to_string(i));
    }
    ta.join();
    ASSERT_TRUE(a.WaitIdle(kWaitMs));
    ASSERT_TRUE(b.WaitIdle(kWaitMs));
    const std::vector<std::string> lines = FileLines(path);
    std::set<std::string> expected(lines.begin(), lines.end());
    EXPECT_EQ(lines.size(), 2u + 2 * kEach);
    for (int i = 0; i < kEach; ++i) {
        expected.erase("a" + std::to_string(i));
        expected.erase("b" + std::to_string(i));
    }
    EXPECT_EQ(expected, (std::set<std::string>{"new", "old"}));
}

TEST(CommandHistory, AHistoryThatIsNotARegularFileIsReplacedNeverWrittenThrough) {
    OrvTempDir dir;
    const std::string other = dir.File("other");
    const std::string otherText = "keep me\nand me\n";
    ASSERT_TRUE(OrvWriteFileBytes(other, otherText));
    for (const char* pszKind : {"link", "pipe"}) {
        const std::string path = dir.File(std::string("history-") + pszKind);
        ASSERT_EQ(
            pszKind[0] == 'l' ? symlink(other.c_str(), path.c_str()) : mkfifo(path.c_str(), 0600),
            0);
        CCommandHistory history(path);
        ASSERT_TRUE(history.WaitIdle(kWaitMs)) << pszKind;  // a pipe does not block the read
        EXPECT_TRUE(history.Entries().empty()) << pszKind;
        history.Add("mine");
        ASSERT_TRUE(history.WaitIdle(kWaitMs));
        EXPECT_FALSE(history.LastError().Failed()) << history.LastError().Text().GetString();
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << pszKind;
        EXPECT_EQ(OrvReadFileBytes(path), "mine\n");
    }
    EXPECT_EQ(OrvReadFileBytes(other), otherText);
}

TEST(CommandHistory, TheFileLivesInTheStateFolder) {
    const char* pszState = std::getenv("XDG_STATE_HOME");
    const std::string oldState = pszState ? pszState : "";
    setenv("XDG_STATE_HOME", "/x/state", 1);
    EXPECT_EQ(CCommandHistory::DefaultPath(), "/x/state/vexil/history");
    setenv("XDG_STATE_HOME", "relative", 1);  // not absolute: taken as unset
    const char* pszHome = std::getenv("HOME");
    EXPECT_EQ(CCommandHistory::DefaultPath(),
              std::string(pszHome ? pszHome : "") + "/.local/state/vexil/history");
    setenv("XDG_STATE_HOME", oldState.c_str(), 1);
}
