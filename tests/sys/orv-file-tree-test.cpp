// Tree operations under hostile and unlucky conditions: links swapped in mid-walk, trees deeper
// than a path can name, the source as its own destination, links and special files in the way,
// other and full file systems.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "orv-file.h"
#include "orv-log.h"
#include "orv-sys.h"
#include "support/orv-test-support.h"

namespace {

std::string Text(const COrvError& err) {
    return err.Text().GetString();
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

struct stat Stat(const std::string& path) {
    struct stat st;
    memset(&st, 0, sizeof st);
    lstat(path.c_str(), &st);
    return st;
}

// Fills a folder (made with its parents) with n old ".log" files holding sText.
void FillLogs(const std::string& folder, int n, const std::string& sText) {
    COrvError err;
    ASSERT_TRUE(OrvCreateFolder(folder.c_str(), 0, err)) << Text(err);
    for (int i = 0; i < n; ++i) {
        const std::string path = folder + "/f" + std::to_string(i) + ".log";
        ASSERT_TRUE(OrvWriteFileBytes(path, sText));
        ASSERT_TRUE(OrvSetFileTimes(path.c_str(), time(nullptr) - 10 * 86400, 0, err));
    }
}

int CountFiles(const std::string& folder, const std::string& sText) {
    int n = 0;
    for (int i = 0; i < 100; ++i)
        n += OrvReadFileBytes(folder + "/f" + std::to_string(i) + ".log") == sText ? 1 : 0;
    return n;
}

// A folder replaced by a link to another, once, at the first touch of one of its files: what a
// hostile user does between the walk's listing and its work.
struct Swap {
    std::string sFolder, sOutside;
    bool bDone = false;

    // Swaps when psz names the trigger file "f0.log".
    void At(const char* psz) {
        const char* pBase = strrchr(psz, '/');
        if (bDone || strncmp(pBase != nullptr ? pBase + 1 : psz, "f0.log", 6) != 0)
            return;
        bDone = true;
        EXPECT_EQ(rename(sFolder.c_str(), (sFolder + ".moved").c_str()), 0);
        EXPECT_EQ(symlink(sOutside.c_str(), sFolder.c_str()), 0);
    }
};
Swap g_swap;

class FileTreeTest : public ::testing::Test {
protected:
    void SetUp() override { g_swap = Swap(); }
    std::string F(const std::string& name) const { return m_dir.File(name); }
    OrvTempDir m_dir;
    OrvSysScope m_scope;
};

}  // namespace

TEST_F(FileTreeTest, FolderSwappedForALinkMidWalkLeavesTheOutsideAlone) {
    // The hook sits on every way to delete or open a file by path or by folder.
    g_orv_sys.unlink = [](const char* p) { return g_swap.At(p), g_orv_sys_real.unlink(p); };
    g_orv_sys.unlinkat = [](int fd, const char* p, int nFlags) {
        return g_swap.At(p), g_orv_sys_real.unlinkat(fd, p, nFlags);
    };
    g_orv_sys.open = [](const char* p, int nFlags, unsigned nMode) {
        return g_swap.At(p), g_orv_sys_real.open(p, nFlags, nMode);
    };
    g_orv_sys.openat = [](int fd, const char* p, int nFlags, unsigned nMode) {
        return g_swap.At(p), g_orv_sys_real.openat(fd, p, nFlags, nMode);
    };
    enum Op { kDelete, kCleanLogs, kCopy };
    struct Case {
        Op op;
        const char* pszSwapped;  // the folder replaced by a link, under the tree
        const char* pszFiles;    // the folder whose files are being worked on
    };
    const Case kCases[] = {{kDelete, "a", "a/b"}, {kCleanLogs, "d", "d"}, {kCopy, "a", "a/b"}};
    int nCase = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(nCase);
        const std::string sCase = F("case" + std::to_string(nCase++));
        const std::string sTree = sCase + "/tree", sOutside = sCase + "/outside";
        const std::string sFiles = c.pszFiles;
        FillLogs(sTree + "/" + sFiles, 30, "inside");
        // The outside looks like the swapped folder from where the walk stands.
        const std::string sRel = sFiles.substr(strlen(c.pszSwapped));
        FillLogs(sOutside + sRel, 30, "outside");
        g_swap = Swap{sTree + "/" + c.pszSwapped, sOutside};
        COrvError err;
        if (c.op == kDelete) {
            (void)TvRecursiveDeleteFolder(sTree.c_str(), true, err);
        } else if (c.op == kCleanLogs) {
            COrvLog log;
            log.SetLogFile((sCase + "/clean.txt").c_str());
            (void)log.TvCleanUpLogs(sTree.c_str(), 1, 0);
        } else {
            (void)TvCopyFolder(sTree.c_str(), (sCase + "/copy").c_str(), err);
            EXPECT_EQ(CountFiles(sCase + "/copy/" + sFiles, "outside"), 0);
        }
        EXPECT_TRUE(g_swap.bDone);
        EXPECT_EQ(CountFiles(sOutside + sRel, "outside"), 30);
    }
}

TEST_F(FileTreeTest, CopyingOntoItselfIsRefused) {
    ASSERT_EQ(mkdir(F("t").c_str(), 0755), 0);
    ASSERT_TRUE(OrvWriteFileBytes(F("t/a"), "data"));
    ASSERT_EQ(symlink("a", F("t/l").c_str()), 0);
    ASSERT_EQ(link(F("t/a").c_str(), F("t/h").c_str()), 0);
    COrvError err;
    for (const char* pszTo : {"t/./a", "t/l", "t/h"}) {
        EXPECT_FALSE(OrvCopyFile(F("t/a").c_str(), F(pszTo).c_str(), err)) << pszTo;
        EXPECT_EQ(OrvReadFileBytes(F("t/a")), "data");
    }
    EXPECT_FALSE(TvCopyFolder(F("t").c_str(), F("t/").c_str(), err));
    EXPECT_FALSE(TvCopyFolder(F("t").c_str(), F("t/sub").c_str(), err));
    EXPECT_EQ(OrvReadFileBytes(F("t/a")), "data");
    EXPECT_FALSE(Exists(F("t/sub/sub")));
}

TEST_F(FileTreeTest, CopyNeverWritesThroughALinkInTheDestination) {
    COrvError err;
    ASSERT_TRUE(OrvCreateFolder(F("src/sub").c_str(), 0, err));
    ASSERT_TRUE(OrvWriteFileBytes(F("src/sub/x"), "x"));
    ASSERT_TRUE(OrvWriteFileBytes(F("src/f2"), "f2"));
    ASSERT_TRUE(OrvWriteFileBytes(F("src/f3"), "new"));
    ASSERT_EQ(mkdir(F("outside").c_str(), 0755), 0);
    ASSERT_TRUE(OrvCreateFolder(F("dst1").c_str(), 0, err));
    ASSERT_TRUE(OrvCreateFolder(F("dst2").c_str(), 0, err));
    ASSERT_EQ(symlink(F("outside").c_str(), F("dst1/sub").c_str()), 0);
    ASSERT_EQ(symlink(F("outside/new").c_str(), F("dst2/f2").c_str()), 0);
    ASSERT_TRUE(OrvWriteFileBytes(F("dst2/f3"), "old"));  // a plain file is overwritten
    EXPECT_FALSE(TvCopyFolder(F("src").c_str(), F("dst1").c_str(), err));
    EXPECT_FALSE(TvCopyFolder(F("src").c_str(), F("dst2").c_str(), err));
    EXPECT_FALSE(Exists(F("outside/x")) || Exists(F("outside/new")));
    ASSERT_EQ(unlink(F("dst2/f2").c_str()), 0);
    ASSERT_TRUE(TvCopyFolder(F("src").c_str(), F("dst2").c_str(), err)) << Text(err);
    EXPECT_EQ(OrvReadFileBytes(F("dst2/f3")), "new");
}

TEST_F(FileTreeTest, SpecialFilesAreMadeAnewNeverOpened) {
    COrvError err;
    ASSERT_TRUE(OrvCreateFolder(F("src/sub").c_str(), 0, err));
    ASSERT_EQ(mkfifo(F("src/fifo").c_str(), 0640), 0);
    ASSERT_TRUE(OrvWriteFileBytes(F("src/sub/f"), "f"));
    const bool bRoot = geteuid() == 0;
    if (bRoot) {
        ASSERT_EQ(mknod(F("src/null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    }
    alarm(60);  // a copy that opens the FIFO would block here for ever
    ASSERT_TRUE(TvCopyFolder(F("src").c_str(), F("copy").c_str(), err)) << Text(err);
    EXPECT_TRUE(S_ISFIFO(Stat(F("copy/fifo")).st_mode));
    EXPECT_EQ(bRoot, S_ISCHR(Stat(F("copy/null")).st_mode));

    g_orv_sys.rename = [](const char*, const char*) {
        errno = EXDEV;
        return -1;
    };
    ASSERT_TRUE(OrvMoveFolder(F("src").c_str(), F("moved").c_str(), err)) << Text(err);
    alarm(0);
    EXPECT_EQ(Stat(F("moved/fifo")).st_mode, S_IFIFO | 0640u);
}

TEST_F(FileTreeTest, MovingAFolderNeverLosesTheDestinationFirst) {
    COrvError err;
    ASSERT_TRUE(OrvCreateFolder(F("from").c_str(), 0, err));
    ASSERT_TRUE(OrvWriteFileBytes(F("from/new"), "n"));
    ASSERT_TRUE(OrvCreateFolder(F("to").c_str(), 0, err));
    ASSERT_TRUE(OrvWriteFileBytes(F("to/old"), "o"));
    const auto BothAsTheyWere = [&] {
        EXPECT_EQ(OrvReadFileBytes(F("from/new")), "n");
        EXPECT_EQ(OrvReadFileBytes(F("to/old")), "o");
        COrvArray<OrvFileInfo> items;
        ASSERT_TRUE(TvListDirFiles(m_dir.Path().c_str(), items, err));
        EXPECT_EQ(items.GetCount(), 2u);  // nothing left aside
    };
    // Refused for want of permission: nothing is deleted, and no mode changes.
    g_orv_sys.rename = [](const char*, const char*) {
        errno = EACCES;
        return -1;
    };
    ASSERT_EQ(chmod(F("to").c_str(), 0555), 0);
    EXPECT_FALSE(OrvMoveFolder(F("from").c_str(), F("to").c_str(), err));
    EXPECT_EQ(Stat(F("to")).st_mode & 0777, 0555u);
    BothAsTheyWere();
    ASSERT_EQ(chmod(F("to").c_str(), 0755), 0);
    // The destination is put aside, but the move itself then fails: it is put back.
    static int s_nRenames;
    s_nRenames = 0;
    g_orv_sys.rename = g_orv_sys_real.rename;
    g_orv_sys.renameat = [](int fdFrom, const char* pszFrom, int fdTo, const char* pszTo) {
        if (++s_nRenames == 2) {
            errno = EIO;
            return -1;
        }
        return g_orv_sys_real.renameat(fdFrom, pszFrom, fdTo, pszTo);
    };
    EXPECT_FALSE(OrvMoveFolder(F("from").c_str(), F("to").c_str(), err));
    BothAsTheyWere();
}

namespace {

// A tmpfs of its own for the test (root only), unmounted at the end.
class TmpfsTest : public FileTreeTest {
protected:
    bool Mount(const std::string& path, const char* pszOptions) {
        mkdir(path.c_str(), 0755);
        if (geteuid() != 0 || mount("tmpfs", path.c_str(), "tmpfs", 0, pszOptions) != 0)
            return false;
        m_mounts.push_back(path);
        return true;
    }
    void TearDown() override {
        for (const std::string& s : m_mounts)
            umount2(s.c_str(), MNT_DETACH);
    }
    std::vector<std::string> m_mounts;
};

// What a tree holds, item by item: type, mode, modification time, size and link target.
std::map<std::string, std::string> Describe(const std::string& top, const std::string& rel = "") {
    std::map<std::string, std::string> out;
    COrvArray<OrvFileInfo> items;
    COrvError err;
    if (!TvListDirFiles((top + rel).c_str(), items, err))
        return out;
    for (size_t i = 0; i < items.GetCount(); ++i) {
        const std::string sRel = rel + "/" + items[i].sName.GetString();
        const struct stat st = Stat(top + sRel);
        char sz[128];
        snprintf(sz, sizeof sz, "%o %lld %lld ", st.st_mode, static_cast<long long>(st.st_mtime),
                 S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) : 0LL);
        out[sRel] = sz + std::string(items[i].sLinkTarget);
        if (S_ISDIR(st.st_mode))
            out.merge(Describe(top, sRel));
    }
    return out;
}

void MakeTree(const std::string& top) {
    COrvError err;
    ASSERT_TRUE(OrvCreateFolder((top + "/a/b").c_str(), 0, err));
    ASSERT_TRUE(OrvWriteFileBytes(top + "/a/b/f", std::string(5000, 'f')));
    ASSERT_TRUE(OrvWriteFileBytes(top + "/g", "g"));
    ASSERT_EQ(symlink("a/b/f", (top + "/l").c_str()), 0);
    ASSERT_EQ(mkfifo((top + "/a/p").c_str(), 0600), 0);
    chmod((top + "/a/b/f").c_str(), 0604);
    chmod((top + "/a").c_str(), 0700);
    chmod((top + "/a/b").c_str(), 0555);
    int i = 0;
    for (const char* psz : {"/a/b/f", "/g", "/a/p", "/a/b", "/a", ""})
        ASSERT_TRUE(OrvSetFileTimes((top + psz).c_str(), 1000000000 + 1000 * ++i, 0, err));
}

}  // namespace

TEST_F(TmpfsTest, MovingToAnotherFileSystemMatchesMv) {
    if (!Mount(F("mnt"), "size=16m"))
        GTEST_SKIP() << "cannot mount a second file system (needs root)";
    MakeTree(F("ours"));
    MakeTree(F("peer"));
    COrvError err;
    alarm(60);
    ASSERT_TRUE(OrvMoveFolder(F("ours").c_str(), F("mnt/ours").c_str(), err)) << Text(err);
    alarm(0);
    ASSERT_EQ(system(("mv '" + F("peer") + "' '" + F("mnt/peer") + "'").c_str()), 0);
    EXPECT_FALSE(Exists(F("ours")));
    const auto ours = Describe(F("mnt/ours"));
    EXPECT_EQ(ours.size(), 6u);
    EXPECT_EQ(ours, Describe(F("mnt/peer")));
}

TEST_F(TmpfsTest, AFullFileSystemLeavesBothEndsAsTheyWere) {
    if (!Mount(F("full"), "size=1m"))
        GTEST_SKIP() << "cannot mount a small file system (needs root)";
    COrvError err;
    ASSERT_TRUE(OrvCreateFolder(F("big/sub").c_str(), 0, err));
    const std::string sBig(2 << 20, 'b');
    ASSERT_TRUE(OrvWriteFileBytes(F("big/sub/file"), sBig));
    ASSERT_TRUE(OrvWriteFileBytes(F("full/keep"), "keep"));
    ASSERT_TRUE(OrvWriteFileBytes(F("full/file"), "old"));
    EXPECT_FALSE(OrvMoveFile(F("big/sub/file").c_str(), F("full/file").c_str(), err));
    EXPECT_EQ(OrvReadFileBytes(F("full/file")), "old");
    EXPECT_FALSE(OrvMoveFolder(F("big").c_str(), F("full/big").c_str(), err));
    EXPECT_EQ(OrvReadFileBytes(F("big/sub/file")), sBig);
    EXPECT_EQ(Describe(F("full")).size(), 2u);  // no half-made copy left behind
}
