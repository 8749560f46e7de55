// The start-up command: started before the window is shown, with the banner still first and the
// end line painted into the shown window before --exit-at-end lets the program go; and the
// session-bus address held back while the window is built.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QTest>
#include <QWindow>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>

#include "display-probe.h"
#include "main-frame.h"
#include "orv-sys.h"
#include "support/orv-test-support.h"
#include "window-test-util.h"

namespace {

// What VexilShowAndRun reported, and what the frame looked like at each step.
struct SStart {
    bool bVisibleAtStart = true;
    bool bPainted = false;
    bool bExposedWhenPainted = false;
    int nStatus = -1;
    std::u16string text;
};

SStart RunAtStart(const QString& strCommand, bool bHide = false) {
    SStart seen;
    CMainFrame frame;
    QObject::connect(&frame.View(), &CVexilView::RunningChanged, [&](bool bRunning) {
        if (bRunning) {
            seen.bVisibleAtStart = frame.isVisible();
        }
    });
    const auto pWatch = VexilShowAndRun(frame, strCommand, [&](int nStatus) {
        seen.bPainted = true;
        seen.nStatus = nStatus;
        seen.bExposedWhenPainted = frame.windowHandle()->isExposed();
        seen.text = PaneText(*frame.View().OutputPane());
    });
    if (bHide) {
        frame.hide();
    }
    EXPECT_TRUE(WaitFor([&] { return seen.bPainted; }, 20000)) << strCommand.toStdString();
    return seen;
}

}  // namespace

TEST(StartCommand, RunsBeforeTheWindowShowsAndEndsOnceItsEndLineIsPainted) {
    struct {
        const char* pszCommand;
        int nStatus;
        const char16_t* pszText;
    } const cases[] = {
        // output that ends its line, output that does not, and none at all
        {"printf 'a\\nb\\n'; exit 3", 3,
         u"--- printf 'a\\nb\\n'; exit 3 ---\r\na\r\nb\r\n--- End of Log ---\r\n\r\n"},
        {"printf x", 0, u"--- printf x ---\r\nx\r\n--- End of Log ---\r\n\r\n"},
        {"true", 0, u"--- true ---\r\n--- End of Log ---\r\n\r\n"},
    };
    for (const auto& c : cases) {
        const SStart seen = RunAtStart(QString::fromUtf8(c.pszCommand));
        EXPECT_FALSE(seen.bVisibleAtStart) << c.pszCommand;
        EXPECT_TRUE(seen.bExposedWhenPainted) << c.pszCommand;
        EXPECT_EQ(seen.nStatus, c.nStatus) << c.pszCommand;
        EXPECT_EQ(seen.text, std::u16string(c.pszText)) << c.pszCommand;
    }
}

TEST(StartCommand, AWindowThatIsNeverShownDoesNotHoldTheEndBack) {
    QElapsedTimer timer;
    timer.start();
    const SStart seen = RunAtStart(QStringLiteral("exit 4"), true);
    EXPECT_TRUE(seen.bPainted);
    EXPECT_FALSE(seen.bExposedWhenPainted);
    EXPECT_EQ(seen.nStatus, 4);
    EXPECT_LT(timer.elapsed(), 15000);
}

TEST(StartCommand, AFailedStartIsToldOverTheShownWindow) {
    // no pipe can be made for the command
    OrvSysScope sys;
    g_orv_sys.pipe2 = [](int*, int) {
        errno = EMFILE;
        return -1;
    };
    const QString strCommand = QStringLiteral("echo never");
    CMainFrame frame;
    auto pVisibleAtMessage = std::make_shared<bool>(false);
    auto pSeen = ExpectMessageBox(
        QMessageBox::Ok, [pVisibleAtMessage, pFrame = QPointer<CMainFrame>(&frame)](QMessageBox*) {
            *pVisibleAtMessage = pFrame != nullptr && pFrame->isVisible();
            return true;
        });
    const auto pWatch = VexilShowAndRun(frame, strCommand, {});
    ASSERT_TRUE(WaitFor([&] { return pSeen->bSeen; }));
    EXPECT_TRUE(*pVisibleAtMessage);
    EXPECT_EQ(pSeen->strText, QStringLiteral("Can't execute that!"));
    EXPECT_FALSE(frame.View().IsRunning());
    // the banner stays, as for a pressed Run
    EXPECT_EQ(PaneText(*frame.View().OutputPane()),
              (QStringLiteral("--- ") + strCommand + QStringLiteral(" ---\r\n")).toStdU16String());
}

TEST(StartCommand, TheSessionBusIsHeldOnlyWhenNoneCanBeFound) {
    // The environment as the test found it comes back at the end.
    const char* pszAddress = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const char* pszRuntime = std::getenv("XDG_RUNTIME_DIR");
    const std::string strAddress = pszAddress != nullptr ? pszAddress : "";
    const std::string strRuntime = pszRuntime != nullptr ? pszRuntime : "";

    OrvTempDir noBus;
    OrvTempDir withBus;
    // the user's bus socket, as a session manager leaves it
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    const std::string strSocket = withBus.Path() + "/bus";
    ASSERT_LT(strSocket.size(), sizeof(addr.sun_path));
    strSocket.copy(addr.sun_path, strSocket.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);

    struct {
        const char* pszAddress;  // null: not set
        std::string strRuntime;
        const char* pszHeld;  // the address while held; null: not set
    } const cases[] = {
        {nullptr, noBus.Path(), "disabled:"},
        {"", noBus.Path(), "disabled:"},
        {"unix:path=/run/user/1000/bus", noBus.Path(), "unix:path=/run/user/1000/bus"},
        {nullptr, withBus.Path(), nullptr},
    };
    for (const auto& c : cases) {
        if (c.pszAddress != nullptr) {
            setenv("DBUS_SESSION_BUS_ADDRESS", c.pszAddress, 1);
        } else {
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
        }
        setenv("XDG_RUNTIME_DIR", c.strRuntime.c_str(), 1);
        VexilHoldSessionBus();
        const char* pszHeld = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        EXPECT_EQ(pszHeld != nullptr, c.pszHeld != nullptr) << c.strRuntime;
        if (pszHeld != nullptr && c.pszHeld != nullptr) {
            EXPECT_STREQ(pszHeld, c.pszHeld);
        }
        VexilRestoreSessionBus();
        const char* pszAfter = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        // what the commands get afterwards: what the program was given
        if (c.pszAddress == nullptr) {
            EXPECT_EQ(pszAfter, nullptr);
        } else {
            ASSERT_NE(pszAfter, nullptr);
            EXPECT_STREQ(pszAfter, c.pszAddress);
        }
    }
    close(fd);

    if (pszAddress != nullptr) {
        setenv("DBUS_SESSION_BUS_ADDRESS", strAddress.c_str(), 1);
    } else {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    if (pszRuntime != nullptr) {
        setenv("XDG_RUNTIME_DIR", strRuntime.c_str(), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
}

TEST(StartCommand, TheDisplayProbesConnectionIsHandedOverOpen) {
    // A stand-in X server on a display number of its own, in the abstract namespace only.
    const int nDisplay = 40000 + static_cast<int>(getpid() % 20000);
    const int fdListen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fdListen, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    const std::string strName = "/tmp/.X11-unix/X" + std::to_string(nDisplay);
    strName.copy(addr.sun_path + 1, strName.size());
    const auto nLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + strName.size());
    ASSERT_EQ(bind(fdListen, reinterpret_cast<sockaddr*>(&addr), nLen), 0);
    ASSERT_EQ(listen(fdListen, 4), 0);

    // (the tests' entry sets the platform)
    const char* pszPlatform = std::getenv("QT_QPA_PLATFORM");
    ASSERT_NE(pszPlatform, nullptr);
    const std::string strPlatform = pszPlatform;
    const char* pszDisplay = std::getenv("DISPLAY");
    const std::string strDisplay = pszDisplay != nullptr ? pszDisplay : "";
    unsetenv("QT_QPA_PLATFORM");
    setenv("DISPLAY", (":" + std::to_string(nDisplay)).c_str(), 1);
    const char* pszWayland = std::getenv("WAYLAND_DISPLAY");
    const std::string strWayland = pszWayland != nullptr ? pszWayland : "";
    unsetenv("WAYLAND_DISPLAY");

    // Whether the server's end of the next connection sees it closed.
    auto nextClosed = [&] {
        const int fd = accept4(fdListen, nullptr, nullptr, SOCK_CLOEXEC);
        char c = 0;
        const long n = fd >= 0 ? recv(fd, &c, 1, MSG_DONTWAIT) : -1;
        const bool bClosed = n == 0;
        if (fd >= 0) {
            close(fd);
        }
        return bClosed;
    };
    int fdHeld = -1;
    EXPECT_TRUE(VexilDisplayAvailable(&fdHeld));
    ASSERT_GE(fdHeld, 0);
    EXPECT_FALSE(nextClosed());
    close(fdHeld);
    EXPECT_TRUE(VexilDisplayAvailable());
    EXPECT_TRUE(nextClosed());
    close(fdListen);
    // no server any more
    EXPECT_FALSE(VexilDisplayAvailable(&fdHeld));
    EXPECT_EQ(fdHeld, -1);

    setenv("QT_QPA_PLATFORM", strPlatform.c_str(), 1);
    if (pszDisplay != nullptr) {
        setenv("DISPLAY", strDisplay.c_str(), 1);
    } else {
        unsetenv("DISPLAY");
    }
    if (pszWayland != nullptr) {
        setenv("WAYLAND_DISPLAY", strWayland.c_str(), 1);
    }
}
