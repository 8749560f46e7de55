#include "orv-file.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "orv-file-os.h"
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

unsigned ModeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : ~0u;
}

int g_nCalls = 0;

long FullDiskWrite(int, const void*, size_t) {
    errno = ENOSPC;
    return -1;
}

long NoKernelCopy(int, off_t*, int, off_t*, size_t, unsigned) {
    errno = EXDEV;
    return -1;
}

// Waits for a forked child and returns its exit code (-1 when it did not exit).
int ExitOf(pid_t pid) {
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

class FileTest : public ::testing::Test {
protected:
    void SetUp() override { g_nCalls = 0; }
    std::string F(const std::string& name) const { return m_dir.File(name); }
    OrvTempDir m_dir;
    OrvSysScope m_scope;
    COrvError err;
};

}  // namespace

TEST_F(FileTest, InjectedWriteFaultsAndTheBufferedWriter) {
    OrvFile f;
    ASSERT_TRUE(f.OpenWrite(F("w").c_str(), false, 0, err));
    g_orv_sys.write = [](int fd, const void* p, size_t n) -> long {  // short, then interrupted
        if (++g_nCalls == 2) {
            errno = EINTR;
            return -1;
        }
        return g_orv_sys_real.write(fd, p, n > 3 ? 3 : n);
    };
    ASSERT_TRUE(f.Write("0123456789", 10, err)) << Text(err);
    g_orv_sys.write = FullDiskWrite;
    EXPECT_FALSE(f.Write("x", 1, err));
    EXPECT_EQ(err.Code(), 10);
    g_orv_sys.write = g_orv_sys_real.write;
    ASSERT_TRUE(f.Close(err));
    EXPECT_EQ(OrvReadFileBytes(F("w")), "0123456789");

    COrvBufferedFile bf(8);
    ASSERT_TRUE(bf.OpenWrite(F("b").c_str(), false, 0, err));
    ASSERT_TRUE(bf.Write("abc", 3, err) && bf.Write("def", 3, err));
    EXPECT_EQ(OrvReadFileBytes(F("b")), "");  // still buffered
    ASSERT_TRUE(bf.Write("ghi", 3, err));     // does not fit: the first six go out
    EXPECT_EQ(OrvReadFileBytes(F("b")), "abcdef");
    ASSERT_TRUE(bf.Write("0123456789", 10, err));  // larger than the buffer: straight through
    ASSERT_TRUE(bf.Write("z", 1, err) && bf.Close(err));
    ASSERT_TRUE(bf.OpenWrite(F("b").c_str(), true, 0, err));
    EXPECT_EQ(bf.GetPosition(), 20u);
    ASSERT_TRUE(bf.Write("!", 1, err));
    g_orv_sys.write = FullDiskWrite;
    EXPECT_FALSE(bf.Close(err));
    EXPECT_FALSE(bf.File().IsOpen());
    EXPECT_EQ(OrvReadFileBytes(F("b")), "abcdefghi0123456789z");
}

TEST_F(FileTest, WholeFilesChunksAndCopies) {
    std::string big(3 * 262144 + 17, 0);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 31 + i / 7);
    ASSERT_TRUE(OrvWriteFileBytes(F("src"), big));
    chmod(F("src").c_str(), 0640);
    COrvStringA s;
    ASSERT_TRUE(OrvCopyFile(F("src").c_str(), F("dst").c_str(), err)) << Text(err);
    EXPECT_TRUE(OrvReadFileBytes(F("dst")) == big);
    EXPECT_EQ(ModeOf(F("dst")), 0640u);
    g_orv_sys.copy_file_range = NoKernelCopy;  // the block copy
    ASSERT_TRUE(OrvCopyFile(F("src").c_str(), F("dst2").c_str(), err)) << Text(err);
    EXPECT_TRUE(OrvReadFileBytes(F("dst2")) == big);
    g_orv_sys.write = FullDiskWrite;  // a full disk: the partial copy is removed
    EXPECT_FALSE(OrvCopyFile(F("src").c_str(), F("d3").c_str(), err));
    EXPECT_FALSE(Exists(F("d3")));
    g_orv_sys = g_orv_sys_real;

    g_orv_sys.read = [](int fd, void* p, size_t n) -> long {  // interrupted and short reads
        if (++g_nCalls % 3 == 1) {
            errno = EINTR;
            return -1;
        }
        return g_orv_sys_real.read(fd, p, n > 4096 ? 4096 : n);
    };
    ASSERT_TRUE(OrvReadWholeFile(F("src").c_str(), s, err)) << Text(err);
    EXPECT_TRUE(OrvStr(s) == big);
    g_orv_sys.read = [](int, void*, size_t) -> long {
        errno = EIO;
        return -1;
    };
    EXPECT_FALSE(OrvReadWholeFile(F("src").c_str(), s, err));
    EXPECT_TRUE(s.IsEmpty());
    g_orv_sys.read = g_orv_sys_real.read;

    // In pieces through one buffer, and stopped by the receiver after taking the second piece.
    for (const bool bStop : {true, false}) {
        std::pair<std::string, bool> ctx{"", bStop};
        const bool bOk = OrvReadFileChunks(
            F("src").c_str(),
            [](void* pCtx, const void* p, size_t n) {
                auto* pc = static_cast<std::pair<std::string, bool>*>(pCtx);
                pc->first.append(static_cast<const char*>(p), n);
                return !pc->second || pc->first.size() < 200000;
            },
            &ctx, err, 100000);
        EXPECT_EQ(bOk, !bStop);
        EXPECT_TRUE(ctx.first == (bStop ? big.substr(0, 200000) : big));
    }
}

TEST_F(FileTest, RecursiveDeleteNeverFollowsLinksAndGoesOnAfterFailures) {
    OrvTempDir outside;
    ASSERT_TRUE(OrvWriteFileBytes(outside.File("keep"), "precious"));
    for (const char* psz : {"tree", "tree/sub", "keepme"})
        ASSERT_EQ(mkdir(F(psz).c_str(), 0755), 0) << psz;
    ASSERT_TRUE(OrvWriteFileBytes(F("tree/sub/f"), "x"));
    ASSERT_EQ(symlink(outside.Path().c_str(), F("tree/sub/out").c_str()), 0);
    ASSERT_EQ(symlink("missing", F("tree/dead").c_str()), 0);
    ASSERT_EQ(symlink(outside.Path().c_str(), F("top").c_str()), 0);  // removed, not entered
    COrvArray<COrvStringA> report;
    ASSERT_TRUE(TvRecursiveDeleteFolderReport(F("tree").c_str(), true, report, err)) << Text(err);
    EXPECT_EQ(report.GetCount(), 5u);
    ASSERT_TRUE(TvRecursiveDeleteFolder(F("top").c_str(), true, err));
    EXPECT_FALSE(Exists(F("tree")) || Exists(F("top")));
    EXPECT_EQ(OrvReadFileBytes(outside.File("keep")), "precious");

    // Without the folder itself; a file that cannot go is reported and the rest goes on.
    for (const bool bFail : {false, true}) {
        ASSERT_TRUE(OrvWriteFileBytes(F("keepme/a"), "x") && OrvWriteFileBytes(F("keepme/b"), "x"));
        if (bFail)
            g_orv_sys.unlinkat = [](int fd, const char* psz, int nFlags) {
                if (strcmp(psz, "a") != 0)
                    return g_orv_sys_real.unlinkat(fd, psz, nFlags);
                errno = EBUSY;
                return -1;
            };
        report.RemoveAll();
        EXPECT_EQ(TvRecursiveDeleteFolderReport(F("keepme").c_str(), bFail, report, err), !bFail);
        EXPECT_TRUE(Exists(F("keepme")) && !Exists(F("keepme/b")));
        EXPECT_EQ(Exists(F("keepme/a")), bFail);
    }
    EXPECT_EQ(err.Code(), 8);
    bool bReported = false;
    for (size_t i = 0; i < report.GetCount(); ++i)
        bReported |= OrvStr(report[i]).rfind("Cannot delete file '" + F("keepme/a"), 0) == 0;
    EXPECT_TRUE(bReported);
}

TEST_F(FileTest, RangeLocksBetweenProcesses) {
    ASSERT_TRUE(OrvWriteFileBytes(F("lock"), "0123456789"));
    OrvFile f;
    ASSERT_TRUE(f.OpenReadWrite(F("lock").c_str(), err));
    ASSERT_TRUE(f.LockRange(10, err)) << Text(err);
    // Another process sees the lock as a sharing violation (code 8) until it is released.
    const auto ChildTries = [&]() -> int {
        const pid_t pid = fork();
        if (pid == 0) {
            OrvFile g;
            COrvError e;
            _exit(g.OpenReadWrite(F("lock").c_str(), e) && g.LockRange(10, e) ? 0 : e.Code());
        }
        return ExitOf(pid);
    };
    // The lock belongs to its handle: other opens and closes of the file here leave it in place.
    ASSERT_TRUE(OrvCopyFile(F("lock").c_str(), F("lock2").c_str(), err));
    EXPECT_EQ(ChildTries(), 8);
    OrvFile g;
    ASSERT_TRUE(g.OpenReadWrite(F("lock").c_str(), err));
    EXPECT_FALSE(g.LockRange(10, err));
    ASSERT_TRUE(f.UnlockRange(10, err));
    EXPECT_EQ(ChildTries(), 0);
}

TEST_F(FileTest, TemporaryFolderIsPrivate) {
    OrvScopedEnv tmpdir("TMPDIR", nullptr);
    OrvFileSetTempBase(m_dir.Path().c_str());
    const std::string sExpected = F("orv-" + std::to_string(getuid()));
    COrvStringA sFolder;
    ASSERT_TRUE(OrvGetTempFolder(sFolder, err)) << Text(err);
    EXPECT_EQ(std::string(sFolder), sExpected);
    // A folder someone else opened up is closed again.
    chmod(sExpected.c_str(), 0777);
    ASSERT_TRUE(OrvGetTempFolder(sFolder, err));
    EXPECT_EQ(ModeOf(sExpected), 0700u);
    // Checked on every use: replaced by a link after a good call, it is refused, and no temporary
    // file is made through it.
    ASSERT_EQ(rmdir(sExpected.c_str()), 0);
    OrvTempDir elsewhere;
    ASSERT_EQ(symlink(elsewhere.Path().c_str(), sExpected.c_str()), 0);
    OrvFile fTemp;
    COrvStringA sTempPath;
    EXPECT_FALSE(OrvCreateTempFile(nullptr, nullptr, fTemp, sTempPath, err));
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.Path()));
    unlink(sExpected.c_str());
    if (geteuid() == 0) {  // owned by another user: refused, and not ours to change
        ASSERT_EQ(mkdir(sExpected.c_str(), 0777), 0);
        ASSERT_EQ(chown(sExpected.c_str(), 4242, 4242), 0);
        ASSERT_EQ(chmod(sExpected.c_str(), 0777), 0);
        EXPECT_FALSE(OrvCreateTempFile(nullptr, nullptr, fTemp, sTempPath, err));
        EXPECT_TRUE(std::filesystem::is_empty(sExpected) && ModeOf(sExpected) == 0777u);
        rmdir(sExpected.c_str());
    }
    OrvFileSetTempBase(nullptr);
}

TEST_F(FileTest, TemporaryFilesSkipPlantedLinksAndNeverCollideAcrossProcesses) {
    COrvStringA sPath;
    ASSERT_TRUE(OrvGetTempFilePath(m_dir.Path().c_str(), "pre", sPath, err));
    const uint32_t nNext = OrvFilePeekTempCounter();
    const std::string sPid = std::to_string(getpid());
    EXPECT_EQ(std::string(sPath), F("pre_" + sPid + "_" + std::to_string(nNext - 1) + ".tmp"));
    // Someone plants a link at the next name, pointing at a file of theirs.
    const std::string sPlanted = F("pre_" + sPid + "_" + std::to_string(nNext) + ".tmp");
    ASSERT_EQ(symlink(F("victim").c_str(), sPlanted.c_str()), 0);
    OrvFile f;
    ASSERT_TRUE(OrvCreateTempFile(m_dir.Path().c_str(), "pre", f, sPath, err)) << Text(err);
    ASSERT_TRUE(f.Write("secret", 6, err) && f.Close(err));
    EXPECT_FALSE(Exists(F("victim")));
    EXPECT_EQ(ModeOf(sPath.GetString()), 0600u);

    const int kEach = 60;
    pid_t aPids[2];
    for (pid_t& pid : aPids) {
        pid = fork();
        if (pid == 0) {
            for (int i = 0; i < kEach; ++i) {
                OrvFile g;
                COrvError e;
                if (!OrvCreateTempFile(m_dir.Path().c_str(), "par", g, sPath, e) ||
                    !g.Write(sPath.GetString(), static_cast<size_t>(sPath.GetLength()), e))
                    _exit(1);
            }
            _exit(0);
        }
    }
    for (pid_t pid : aPids)
        EXPECT_EQ(ExitOf(pid), 0);
    COrvArray<OrvFileInfo> items;
    ASSERT_TRUE(TvListDirFiles(m_dir.Path().c_str(), items, err, "par_*.tmp"));
    EXPECT_EQ(items.GetCount(), static_cast<size_t>(2 * kEach));
    // Each file holds its own path: no file was written by two creators.
    for (size_t i = 0; i < items.GetCount(); ++i)
        EXPECT_EQ(OrvReadFileBytes(items[i].sPath.GetString()), std::string(items[i].sPath));
}
