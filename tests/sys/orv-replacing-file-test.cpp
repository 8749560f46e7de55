// Replacing a file in one step: the old file survives every failing step whole, with the reason
// in the text and the code of the system error.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "orv-replacing-file.h"
#include "orv-sys.h"
#include "orv-test-support.h"

namespace {

std::vector<std::string> FolderNames(const std::string& sDir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(sDir))
        names.push_back(e.path().filename());
    return names;
}

unsigned ModeOf(const std::string& sPath) {
    struct stat st {};
    return ::stat(sPath.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(OrvReplacingFile, ReplacesWholeAndKeepsTheOldMode) {
    OrvTempDir dir;
    const std::string sPath = dir.File("log.txt");
    ASSERT_TRUE(OrvWriteFileBytes(sPath, "old contents"));
    ASSERT_EQ(::chmod(sPath.c_str(), 0640), 0);

    const std::string sNew(300000, 'n');
    COrvError err;
    EXPECT_TRUE(OrvReplaceFileContents(sPath.c_str(), sNew.data(), sNew.size(), err))
        << err.Text().GetString();
    EXPECT_EQ(OrvReadFileBytes(sPath), sNew);
    EXPECT_EQ(ModeOf(sPath), 0640u);

    // A new file gets the mode of any new file (0666 less the umask), not the temporary file's
    // private one.
    const std::string sFresh = dir.File("fresh.txt");
    EXPECT_TRUE(OrvReplaceFileContents(sFresh.c_str(), "x", 1, err));
    const mode_t nMask = ::umask(022);
    ::umask(nMask);
    EXPECT_EQ(ModeOf(sFresh), 0666u & ~nMask);
}

TEST(OrvReplacingFile, AnyFailingStepKeepsTheOldFileAndLeavesNoTemporary) {
    OrvTempDir dir;
    const std::string sPath = dir.File("keep.txt");
    const std::string sOld = "the old log\r\n";
    const std::string sNew(100000, 'z');

    // A full disk part-way through the write, a failing sync, a failing rename.
    static int s_nCase, s_nWrites;
    const struct Case {
        const char* pszName;
        int nCode;
    } kCases[] = {{"write ENOSPC after a short write", enNetResources},
                  {"fsync EIO", enNetBadRequest},
                  {"rename EACCES", enNetAccessDenied}};
    for (const Case& c : kCases) {
        ASSERT_TRUE(OrvWriteFileBytes(sPath, sOld));
        {
            OrvSysScope scope;
            s_nCase = static_cast<int>(&c - kCases);
            s_nWrites = 0;
            g_orv_sys.write = [](int fd, const void* p, size_t n) -> long {
                if (s_nCase != 0 || s_nWrites++ == 0)
                    return g_orv_sys_real.write(fd, p, s_nCase != 0 ? n : n / 2);
                errno = ENOSPC;
                return -1;
            };
            g_orv_sys.fsync = [](int fd) {
                return s_nCase == 1 ? (errno = EIO, -1) : g_orv_sys_real.fsync(fd);
            };
            g_orv_sys.rename = [](const char* a, const char* b) {
                return s_nCase == 2 ? (errno = EACCES, -1) : g_orv_sys_real.rename(a, b);
            };
            COrvError err;
            EXPECT_FALSE(OrvReplaceFileContents(sPath.c_str(), sNew.data(), sNew.size(), err));
            EXPECT_EQ(err.Code(), c.nCode) << c.pszName;
        }
        EXPECT_EQ(OrvReadFileBytes(sPath), sOld) << c.pszName;
        EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{"keep.txt"}) << c.pszName;
    }
}

}  // namespace
