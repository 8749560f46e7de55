// The command history and its file: no repeats in a row, bounded by count and size, entries of
// other instances merged under the file's lock, text of any kind kept whole, the walk with Up and
// Down, the file read and written off the owner's thread, and a file that is not ours left alone.
#include "command-history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

#include "orv-lock.h"
#include "support/orv-test-support.h"

namespace {

constexpr int kWaitMs = 20000;

// The entries the file at the path holds, one a line.
std::vector<std::string> FileLines(const std::string& path) {
    std::istringstream in(OrvReadFileBytes(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

void Add(CCommandHistory& history, const std::string& command) {
    history.Add(command);
    ASSERT_TRUE(history.WaitIdle(kWaitMs));
}

}  // namespace

TEST(CommandHistory, FileKeepsTheNewestEntriesWithoutRepeatsInPrivateFolders) {
    OrvTempDir dir;
    const std::string path = dir.Path() + "/state/vexil/history";
    {
        CCommandHistory history(path);
        history.Add("first");
        Add(history, "first");  // a repeat
    }
    EXPECT_EQ(FileLines(path), std::vector<std::string>{"first"});
    struct stat st;
    ASSERT_EQ(stat((dir.Path() + "/state/vexil").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A full file: the oldest entry goes; an instance started before another one's additions
    // keeps them when it adds its own, and walks back to them.
    std::string full;
    for (int i = 0; i < 1000; ++i) {
        full += "cmd " + std::to_string(i) + "\n";
    }
    ASSERT_TRUE(OrvWriteFileBytes(path, full));
    CCommandHistory a(path);
    CCommandHistory b(path);
    Add(a, "from a");
    Add(b, "from b");
    Add(a, "a again");
    std::vector<std::string> lines = FileLines(path);
    EXPECT_EQ(a.Entries(), lines);
    ASSERT_EQ(lines.size(), CCommandHistory::kMaxEntries);
    lines.erase(lines.begin() + 1, lines.end() - 3);
    EXPECT_EQ(lines, (std::vector<std::string>{"cmd 3", "from a", "from b", "a again"}));
}

TEST(CommandHistory, AnyTextComesBackWholeAndTheWalkKeepsTheDraft) {
    OrvTempDir dir;
    const std::string path = dir.File("history");
    const std::string odd = "a\\nb\nc\r\\\\ d \xC3\xA9";
    {
        CCommandHistory history(path);
        history.Add("first");
        Add(history, odd);
    }
    CCommandHistory history(path);
    ASSERT_TRUE(history.WaitIdle(kWaitMs));
    EXPECT_EQ(history.Entries(), (std::vector<std::string>{"first", odd}));
    // Up from a draft to the oldest and past it, then Down to the draft and past it.
    std::string shown = "draft";
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
    CCommandHistory blocked(path + "/below/history");
    Add(blocked, "x");
    EXPECT_NE(std::string(blocked.LastError().Text().GetString()).find("Not a directory"),
              std::string::npos);
    EXPECT_EQ(blocked.Entries(), std::vector<std::string>{"x"});
}

TEST(CommandHistory, TheFileIsBoundedBySizeAndLongEntriesStayOutOfIt) {
    OrvTempDir dir;
    const std::string path = dir.File("history");
    // 2000 entries of 2000 bytes: only those in the file's last megabyte are read
    std::string big;
    for (int i = 0; i < 2000; ++i) {
        big += std::to_string(100000 + i) + std::string(1994, 'x') + "\n";
    }
    ASSERT_TRUE(OrvWriteFileBytes(path, big));
    CCommandHistory history(path);
    ASSERT_TRUE(history.WaitIdle(kWaitMs));
    const size_t nFit = CCommandHistory::kMaxFileBytes / 2001;
    ASSERT_EQ(history.Entries().size(), nFit);
    EXPECT_EQ(history.Entries().front().substr(0, 6), std::to_string(102000 - nFit));
    // a command too long for the file: walked back to at once, never written, and gone from
    // the walk once another command runs; the file then holds at most its bound
    const std::string longCommand = "echo " + std::string(CCommandHistory::kMaxEntryBytes, 'y');
    Add(history, longCommand);
    std::string shown;
    ASSERT_TRUE(history.Older("", shown));
    EXPECT_EQ(shown, longCommand);
    EXPECT_EQ(OrvReadFileBytes(path), big);
    Add(history, "short");
    EXPECT_NE(history.Entries().end()[-2], longCommand);
    EXPECT_LE(OrvReadFileBytes(path).size(), CCommandHistory::kMaxFileBytes);
    EXPECT_EQ(FileLines(path).back(), "short");
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
    std::set<std::string> expected{"old", "new"};
    std::thread ta([&] {
        for (int i = 0; i < kEach; ++i) {
            a.Add("a" + std::to_string(i));
        }
    });
    for (int i = 0; i < kEach; ++i) {
        b.Add("b" + std::to_string(i));
        expected.insert({"a" + std::to_string(i), "b" + std::to_string(i)});
    }
    ta.join();
    ASSERT_TRUE(a.WaitIdle(kWaitMs));
    ASSERT_TRUE(b.WaitIdle(kWaitMs));
    const std::vector<std::string> lines = FileLines(path);
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), expected);
    EXPECT_EQ(lines.size(), expected.size());
}

TEST(CommandHistory, AHistoryThatIsNotARegularFileIsReplacedNeverWrittenThrough) {
    OrvTempDir dir;
    const std::string other = dir.File("other");
    ASSERT_TRUE(OrvWriteFileBytes(other, "keep me\n"));
    for (const char* pszKind : {"link", "pipe"}) {
        const std::string path = dir.File(std::string("history-") + pszKind);
        ASSERT_EQ(
            pszKind[0] == 'l' ? symlink(other.c_str(), path.c_str()) : mkfifo(path.c_str(), 0600),
            0);
        CCommandHistory history(path);
        ASSERT_TRUE(history.WaitIdle(kWaitMs)) << pszKind;  // a pipe does not block the read
        EXPECT_TRUE(history.Entries().empty()) << pszKind;
        Add(history, "mine");
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << pszKind;
        EXPECT_EQ(OrvReadFileBytes(path), "mine\n");
    }
    EXPECT_EQ(OrvReadFileBytes(other), "keep me\n");
}
