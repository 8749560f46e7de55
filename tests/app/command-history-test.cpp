// The command history and its file: no repeats in a row, the newest 1000 kept, entries of other
// instances merged, text of any kind kept whole, the walk with Up and Down.
#include "command-history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "support/orv-test-support.h"

TEST(CommandHistory, FileKeepsTheNewestEntriesWithoutRepeats) {
    OrvTempDir dir;
    const std::string path = dir.Path() + "/state/vexil/history";
    COrvError err;
    {
        CCommandHistory history(path);
        EXPECT_TRUE(history.Entries().empty());
        for (int i = 0; i < 1005; ++i) {
            ASSERT_TRUE(history.Add("cmd " + std::to_string(i), err)) << err.Text().GetString();
            if (i % 100 == 0) {
                ASSERT_TRUE(history.Add("cmd " + std::to_string(i), err));  // a repeat
            }
        }
        ASSERT_EQ(history.Entries().size(), CCommandHistory::kMaxEntries);
        EXPECT_EQ(history.Entries().front(), "cmd 5");
        EXPECT_EQ(history.Entries().back(), "cmd 1004");
    }
    // The folders are the user's alone.
    struct stat st;
    ASSERT_EQ(stat((dir.Path() + "/state/vexil").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Two instances: each one's additions survive the other's.
    CCommandHistory a(path);
    CCommandHistory b(path);
    ASSERT_TRUE(a.Add("from a", err));
    ASSERT_TRUE(b.Add("from b", err));
    CCommandHistory c(path);
    ASSERT_EQ(c.Entries().size(), CCommandHistory::kMaxEntries);
    EXPECT_EQ(c.Entries()[CCommandHistory::kMaxEntries - 2], "from a");
    EXPECT_EQ(c.Entries().back(), "from b");
}

TEST(CommandHistory, AnyTextComesBackWholeAndTheWalkKeepsTheDraft) {
    OrvTempDir dir;
    const std::string path = dir.File("history");
    const std::string odd = "a\\nb\nc\r\\\\ d \xC3\xA9";
    COrvError err;
    {
        CCommandHistory history(path);
        ASSERT_TRUE(history.Add("first", err));
        ASSERT_TRUE(history.Add(odd, err));
    }
    CCommandHistory history(path);
    ASSERT_EQ(history.Entries().size(), 2u);
    EXPECT_EQ(history.Entries()[1], odd);

    std::string shown;
    EXPECT_FALSE(history.Newer(shown));
    ASSERT_TRUE(history.Older("draft", shown));
    EXPECT_EQ(shown, odd);
    ASSERT_TRUE(history.Older(shown, shown));
    EXPECT_EQ(shown, "first");
    EXPECT_FALSE(history.Older(shown, shown));
    ASSERT_TRUE(history.Newer(shown));
    EXPECT_EQ(shown, odd);
    ASSERT_TRUE(history.Newer(shown));
    EXPECT_EQ(shown, "draft");
    EXPECT_FALSE(history.Newer(shown));

    // A file that cannot be written keeps the entry in memory and says why.
    CCommandHistory blocked(dir.File("history") + "/below/history");
    EXPECT_FALSE(blocked.Add("x", err));
    EXPECT_NE(std::string(err.Text().GetString()).find("Not a directory"), std::string::npos)
        << err.Text().GetString();
    EXPECT_EQ(blocked.Entries().size(), 1u);
}

TEST(CommandHistory, TheFileLivesInTheStateFolder) {
    const char* pszState = std::getenv("XDG_STATE_HOME");
    const std::string oldState = pszState ? pszState : "";
    setenv("XDG_STATE_HOME", "/x/state", 1);
    EXPECT_EQ(CCommandHistory::DefaultPath(), "/x/state/vexil/history");
    setenv("XDG_STATE_HOME", "relative", 1);
    setenv("HOME", getenv("HOME") ? getenv("HOME") : "/home/u", 1);
    EXPECT_EQ(CCommandHistory::DefaultPath(),
              std::string(getenv("HOME")) + "/.local/state/vexil/history");
    if (pszState) {
        setenv("XDG_STATE_HOME", oldState.c_str(), 1);
    } else {
        unsetenv("XDG_STATE_HOME");
    }
}
