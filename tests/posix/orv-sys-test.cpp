// The retrying helpers over the system-call table and the owned descriptor, with failures put in
// through the table.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "orv-fd.h"
#include "orv-sys.h"

namespace {

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
        OrvFd a(fds[0]), c;
        OrvFd b(std::move(a));
        c = std::move(b);
        OrvFd d(fds[1]);
        const int nRaw = d.Release();
        EXPECT_TRUE(s_closed.empty());
        OrvSysClose(nRaw);
    }
    EXPECT_EQ(s_closed, (std::vector<int>{fds[1], fds[0]}));
}

}  // namespace
