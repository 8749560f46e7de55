#include "orv-housekeeping.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <string>

#include "orv-file.h"
#include "orv-log.h"
#include "support/orv-test-support.h"

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Writes a file and gives it a modification time nAgeSeconds in the past.
void MakeFile(const std::string& path, int64_t nAgeSeconds) {
    ASSERT_TRUE(OrvWriteFileBytes(path, "x"));
    COrvError err;
    ASSERT_TRUE(OrvSetFileTimes(path.c_str(), time(nullptr) - nAgeSeconds, 0, err));
}

std::set<std::string> Set(const COrvArray<COrvStringA>& a) {
    std::set<std::string> s;
    for (size_t i = 0; i < a.GetCount(); ++i)
        s.insert(a[i].GetString());
    return s;
}

class HousekeepingTest : public ::testing::Test {
protected:
    std::string F(const std::string& name) const { return m_dir.File(name); }
    OrvTempDir m_dir;
    OrvTempDir m_logDir;
};

const int64_t kDay = 86400;

}  // namespace

TEST_F(HousekeepingTest, CleanUpLogsDeletesOldLogsOnly) {
    ASSERT_EQ(mkdir(F("a").c_str(), 0755), 0);
    MakeFile(F("old.log"), 10 * kDay);
    MakeFile(F("new.log"), 1 * kDay);
    MakeFile(F("old.txt"), 10 * kDay);
    MakeFile(F("a/older.log"), 30 * kDay);
    MakeFile(F("a/recent.log"), 3 * 3600);
    OrvTempDir outside;
    MakeFile(outside.File("outside.log"), 30 * kDay);
    ASSERT_EQ(symlink(outside.Path().c_str(), F("a/link").c_str()), 0);
    ASSERT_EQ(symlink(outside.File("outside.log").c_str(), F("linked.log").c_str()), 0);

    COrvLog log;
    log.SetLogFile(m_logDir.File("clean.log").c_str());
    COrvArray<COrvStringA> deleted;
    EXPECT_EQ(log.TvCleanUpLogs(m_dir.Path().c_str(), 5, 0, 0, nullptr, &deleted), 2);
    EXPECT_EQ(Set(deleted), (std::set<std::string>{F("old.log"), F("a/older.log")}));
    EXPECT_TRUE(Exists(F("new.log")) && Exists(F("old.txt")) && Exists(F("a/recent.log")));
    // Links are left alone, and so is what they point to.
    EXPECT_TRUE(Exists(outside.File("outside.log")) && Exists(F("linked.log")));

    // By hours when days is below 1.
    EXPECT_EQ(log.TvCleanUpLogs(m_dir.Path().c_str(), 0, 2, 0, nullptr, nullptr), 2);
    EXPECT_FALSE(Exists(F("a/recent.log")) || Exists(F("new.log")));

    // The caller's own path may be a link to the log folder; links below it stay untouched.
    MakeFile(F("a/again.log"), 30 * kDay);
    ASSERT_EQ(symlink(F("a").c_str(), m_logDir.File("logs").c_str()), 0);
    EXPECT_EQ(log.TvCleanUpLogs(m_logDir.File("logs").c_str(), 5, 0), 1);
    EXPECT_FALSE(Exists(F("a/again.log")));
    EXPECT_TRUE(Exists(outside.File("outside.log")));

    EXPECT_EQ(log.TvCleanUpLogs("", 1, 0), 0);
    log.Close();  // the refusal is logged
    EXPECT_NE(OrvReadFileBytes(m_logDir.File("clean.log")).find("empty folder path"),
              std::string::npos);
}

TEST_F(HousekeepingTest, CleanUpTempFiles) {
    ASSERT_EQ(mkdir(F("tmp").c_str(), 0700), 0);
    OrvScopedEnv tmpdir("TMPDIR", F("tmp").c_str());
    ASSERT_EQ(mkdir(F("work").c_str(), 0755), 0);
    for (const char* psz :
         {"tvtm_1", "tvx.tmp", "Tovrin-report.zip", "tv_crash_1.zip", "keep.tmp", "tv.tmpx"})
        MakeFile(F(std::string("tmp/") + psz), 3 * kDay);
    MakeFile(F("tmp/tvfresh.tmp"), 60);
    MakeFile(F("work/a._tvtmp"), 3 * kDay);
    MakeFile(F("work/tvtm_2"), 3 * kDay);  // the temporary masks count only in the temp folder

    COrvArray<COrvStringA> deleted;
    EXPECT_EQ(TvCleanUpTempFiles(F("work").c_str(), 2, &deleted), 5);
    EXPECT_EQ(Set(deleted),
              (std::set<std::string>{F("tmp/tvtm_1"), F("tmp/tvx.tmp"), F("tmp/Tovrin-report.zip"),
                                     F("tmp/tv_crash_1.zip"), F("work/a._tvtmp")}));
    EXPECT_TRUE(Exists(F("tmp/keep.tmp")) && Exists(F("tmp/tv.tmpx")) &&
                Exists(F("tmp/tvfresh.tmp")) && Exists(F("work/tvtm_2")));
    // Days below 1: everything that matches, however new.
    EXPECT_EQ(TvCleanUpTempFiles(nullptr, 0, nullptr), 1);
    EXPECT_FALSE(Exists(F("tmp/tvfresh.tmp")));
}
