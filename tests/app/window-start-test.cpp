// Start-up: the session-bus address held back while the window is built, and the display probe's
// connection handed over open.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <string>

#include "display-probe.h"
#include "main-frame.h"
#include "support/orv-test-support.h"

TEST(StartCommand, TheDisplayProbesConnectionIsHandedOverOpen) {
    // a stand-in X server on a display of its own, in the abstract namespace only
    const std::string strDisplay = std::to_string(40000 + getpid() % 20000);
    const std::string strPath = "@/tmp/.X11-unix/X" + strDisplay;
    const int fdServer = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strPath.copy(addr.sun_path + 1, strPath.size() - 1, 1);
    const auto nLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strPath.size());
    ASSERT_EQ(bind(fdServer, reinterpret_cast<sockaddr*>(&addr), nLen), 0);
    ASSERT_EQ(listen(fdServer, 4), 0);
    OrvScopedEnv platform("QT_QPA_PLATFORM", nullptr);
    OrvScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    OrvScopedEnv display("DISPLAY", (":" + strDisplay).c_str());
    // whether the server's end of the next connection finds it closed
    auto nextClosed = [&] {
        const int fd = accept4(fdServer, nullptr, nullptr, SOCK_CLOEXEC);
        char c = 0;
        const bool bClosed = fd >= 0 && recv(fd, &c, 1, MSG_DONTWAIT) == 0;
        close(fd);
        return bClosed;
    };
    int fdHeld = -1;
    EXPECT_TRUE(VexilDisplayAvailable(&fdHeld));
    ASSERT_GE(fdHeld, 0);
    EXPECT_FALSE(nextClosed());
    close(fdHeld);
    EXPECT_TRUE(VexilDisplayAvailable());
    EXPECT_TRUE(nextClosed());
    close(fdServer);
    EXPECT_FALSE(VexilDisplayAvailable(&fdHeld));
    EXPECT_EQ(fdHeld, -1);
}

TEST(StartCommand, TheSessionBusIsHeldWhileNoneCanBeFoundAndGivenBackAsItWas) {
    OrvTempDir noBus;
    OrvScopedEnv runtime("XDG_RUNTIME_DIR", noBus.Path().c_str());
    OrvScopedEnv address("DBUS_SESSION_BUS_ADDRESS", nullptr);
    // given empty: held as disabled and given back empty; an address given is kept throughout
    for (const char* pszGiven : {"", "unix:path=/run/user/1000/bus"}) {
        address.Set(pszGiven);
        VexilHoldSessionBus();
        EXPECT_STREQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), *pszGiven ? pszGiven : "disabled:");
        VexilRestoreSessionBus();
        EXPECT_STREQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), pszGiven);
    }
}
