// The retrying helpers over the system-call table, the atomic file replacement and the owned
// descriptor, with failures put in through the table.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "orv-fd.h"
#include "orv-sys.h"
#include "orv-test-support.h"

namespace {

std::vector<std::string> FolderNames(const std::string& sDir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(sDir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string s = e->d_name;
            if (s != "." && s != "..")
                names.push_back(s);
        }
        closedir(d);
    }
    return names;
}

unsigned ModeOf(const std::string& sPath) {
    struct stat st {};
    return ::stat(sPath.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(OrvSysReplaceFile, ReplacesWholeAndKeepsTheOldMode) {
    OrvTempDir dir;
    const std::string sPath = dir.File("log.txt");
    ASSERT_TRUE(OrvWriteFileBytes(sPath, "old contents"));
    ASSERT_EQ(::chmod(sPath.c_str(), 0640), 0);

    const std::string sNew(300000, 'n');
    EXPECT_EQ(OrvSysReplaceFile(sPath.c_str(), sNew.data(), sNew.size()), 0);
    EXPECT_EQ(OrvReadFileBytes(sPath), sNew);
    EXPECT_EQ(ModeOf(sPath), 0640u);

    // A new file gets the mode asked for; no temporary file is left beside either.
    const std::string sFresh = dir.File("fresh.txt");
    EXPECT_EQ(OrvSysReplaceFile(sFresh.c_str(), "x", 1, 0600), 0);
    EXPECT_EQ(ModeOf(sFresh), 0600u);
    EXPECT_EQ(FolderNames(dir.Path()).size(), 2u);
}

TEST(OrvSysReplaceFile, AnyFailingStepKeepsTheOldFileAndLeavesNoTemporary) {
    OrvTempDir dir;
    const std::string sPath = dir.File("keep.txt");
    const std::string sOld = "the old log\r\n";
    const std::string sNew(100000, 'z');

    // A full disk part-way through the write, a failing sync, a failing rename.
    struct Case {
        const char* pszName;
        void (*inject)(OrvSysCalls&);
        int nErrno;
    };
    static int s_nWrites;
    const Case kCases[] = {
        {"write ENOSPC after a short write",
         [](OrvSysCalls& t) {
             s_nWrites = 0;
             t.write = [](int fd, const void* p, size_t n) -> long {
                 if (s_nWrites++ == 0)
                     return g_orv_sys_real.write(fd, p, n / 2);
                 errno = ENOSPC;
                 return -1;
             };
         },
         ENOSPC},
        {"fsync EIO",
         [](OrvSysCalls& t) {
             t.fsync = [](int) {
                 errno = EIO;
                 return -1;
             };
         },
         EIO},
        {"rename EACCES",
         [](OrvSysCalls& t) {
             t.rename = [](const char*, const char*) {
                 errno = EACCES;
                 return -1;
             };
         },
         EACCES},
    };
    for (const Case& c : kCases) {
        ASSERT_TRUE(OrvWriteFileBytes(sPath, sOld));
        {
            OrvSysScope scope;
            c.inject(g_orv_sys);
            EXPECT_EQ(OrvSysReplaceFile(sPath.c_str(), sNew.data(), sNew.size()), c.nErrno)
                << c.pszName;
        }
        EXPECT_EQ(OrvReadFileBytes(sPath), sOld) << c.pszName;
        EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{"keep.txt"}) << c.pszName;
    }
}

TEST(OrvSysHelpers, InterruptedCallsAreRetried) {
    OrvSysScope scope;
    static int s_nCalls;
    s_nCalls = 0;
    // Two interruptions, then the real call: the helpers must hide both.
    g_orv_sys.poll = [](pollfd* p, nfds_t n, int ms) {
        if (s_nCalls++ < 2) {
            errno = EINTR;
            return -1;
        }
        return g_orv_sys_real.poll(p, n, ms);
    };
    g_orv_sys.read = [](int fd, void* p, size_t n) -> long {
        if (s_nCalls++ % 2 == 0) {
            errno = EINTR;
            return -1;
        }
        return g_orv_sys_real.read(fd, p, n < 3 ? n : 3);  // short reads too
    };
    int fds[2];
    ASSERT_EQ(OrvSysPipe(fds), 0);
    OrvFd rd(fds[0]), wr(fds[1]);
    EXPECT_NE(fcntl(rd.Get(), F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_TRUE(OrvSysWriteAll(wr.Get(), "abcdefgh", 8));
    pollfd pfd{rd.Get(), POLLIN, 0};
    EXPECT_EQ(OrvSysPoll(&pfd, 1, 1000), 1);
    wr.Reset();
    char buf[16] = {};
    s_nCalls = 0;
    EXPECT_EQ(OrvSysReadAll(rd.Get(), buf, sizeof buf), 8);
    EXPECT_STREQ(buf, "abcdefgh");
}

TEST(OrvFd, ClosesExactlyOnceAcrossMoves) {
    OrvSysScope scope;
    static std::vector<int> s_closed;
    s_closed.clear();
    g_orv_sys.close = [](int fd) {
        s_closed.push_back(fd);
        return g_orv_sys_real.close(fd);
    };
    int fds[2];
    ASSERT_EQ(OrvSysPipe(fds), 0);
    {
        OrvFd a(fds[0]);
        OrvFd b(std::move(a));
        EXPECT_FALSE(a.IsValid());
        OrvFd c;
        c = std::move(b);
        EXPECT_EQ(c.Get(), fds[0]);
        OrvFd d(fds[1]);
        const int nRaw = d.Release();
        EXPECT_EQ(nRaw, fds[1]);
        EXPECT_TRUE(s_closed.empty());
        OrvSysClose(nRaw);
    }
    EXPECT_EQ(s_closed, (std::vector<int>{fds[1], fds[0]}));
}

}  // namespace
