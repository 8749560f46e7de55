// Start-up: the command given on the command line starts before the window is shown, with the
// banner still first and the end line painted before --exit-at-end lets the program go; the
// session-bus address is held back while the window is built; the display probe's connection is
// handed over open.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWindow>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "display-probe.h"
#include "main-frame.h"
#include "orv-sys.h"
#include "support/orv-test-support.h"
#include "window-test-util.h"

namespace {

// Puts the named environment variables back as they were when it goes out of scope.
class CEnvScope {
public:
    explicit CEnvScope(std::vector<const char*> names) {
        for (const char* pszName : names) {
            const char* pszValue = std::getenv(pszName);
            m_saved.push_back({pszName, pszValue != nullptr, pszValue != nullptr ? pszValue : ""});
        }
    }
    ~CEnvScope() {
        for (const auto& v : m_saved) {
            v.bSet ? setenv(v.pszName, v.strValue.c_str(), 1) : unsetenv(v.pszName);
        }
    }

private:
    struct SVar {
        const char* pszName;
        bool bSet;
        std::string strValue;
    };
    std::vector<SVar> m_saved;
};

// Listens on pszPath (a leading '@' for the abstract namespace) until it goes.
struct SListener {
    explicit SListener(const std::string& strPath) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strPath.copy(addr.sun_path, strPath.size());
        if (strPath[0] == '@') {
            addr.sun_path[0] = 0;
        }
        const auto nLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strPath.size());
        bOk = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), nLen) == 0 &&
              listen(fd, 4) == 0;
    }
    ~SListener() { close(fd); }
    int fd = -1;
    bool bOk = false;
};

}  // namespace

TEST(StartCommand, RunsBeforeTheWindowShowsAndEndsOnceItsEndLineIsPainted) {
    struct {
        const char* pszCommand;
        bool bHide;  // the window is never exposed: the end is not held up for long
        int nStatus;
        const char16_t* pszText;
    } const cases[] = {
        {"printf 'a\\nb\\n'; exit 3", false, 3,
         u"--- printf 'a\\nb\\n'; exit 3 ---\r\na\r\nb\r\n--- End of Log ---\r\n\r\n"},
        {"printf x", false, 0, u"--- printf x ---\r\nx\r\n--- End of Log ---\r\n\r\n"},
        {"exit 4", true, 4, u"--- exit 4 ---\r\n--- End of Log ---\r\n\r\n"},
    };
    for (const auto& c : cases) {
        CMainFrame frame;
        bool bVisibleAtStart = true;
        bool bPainted = false;
        bool bExposed = false;
        int nStatus = -1;
        std::u16string text;
        QObject::connect(&frame.View(), &CVexilView::RunningChanged, [&](bool bRunning) {
            if (bRunning) {
                bVisibleAtStart = frame.isVisible();
            }
        });
        const auto pWatch =
            VexilShowAndRun(frame, QString::fromUtf8(c.pszCommand), [&](int nEndStatus) {
                bPainted = true;
                nStatus = nEndStatus;
                bExposed = frame.windowHandle()->isExposed();
                text = PaneText(*frame.View().OutputPane());
            });
        if (c.bHide) {
            frame.hide();
        }
        ASSERT_TRUE(WaitFor([&] { return bPainted; }, 15000)) << c.pszCommand;
        EXPECT_FALSE(bVisibleAtStart) << c.pszCommand;
        EXPECT_EQ(bExposed, !c.bHide) << c.pszCommand;
        EXPECT_EQ(nStatus, c.nStatus) << c.pszCommand;
        EXPECT_EQ(text, std::u16string(c.pszText)) << c.pszCommand;
    }
}

TEST(StartCommand, AFailedStartIsToldOverTheShownWindow) {
    OrvSysScope sys;
    g_orv_sys.pipe2 = [](int*, int) {
        errno = EMFILE;
        return -1;
    };
    CMainFrame frame;
    bool bSeen = false;
    bool bVisible = false;
    QString strText;
    QTimer poll;  // answers the message box once it is up
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (pBox != nullptr && !bSeen) {
            bSeen = true;
            bVisible = frame.isVisible();
            strText = pBox->text();
            pBox->button(QMessageBox::Ok)->click();
        }
    });
    poll.start(20);
    const auto pWatch = VexilShowAndRun(frame, QStringLiteral("echo never"), {});
    ASSERT_TRUE(WaitFor([&] { return bSeen; }));
    EXPECT_TRUE(bVisible);
    EXPECT_EQ(strText, QStringLiteral("Can't execute that!"));
    EXPECT_EQ(PaneText(*frame.View().OutputPane()), u"--- echo never ---\r\n");
}

TEST(StartCommand, TheSessionBusIsHeldOnlyWhenNoneCanBeFound) {
    CEnvScope env({"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"});
    OrvTempDir noBus;
    OrvTempDir withBus;
    SListener bus(withBus.Path() + "/bus");  // the user's bus socket, as a session leaves it
    ASSERT_TRUE(bus.bOk);
    struct {
        const char* pszAddress;  // null: not set
        std::string strRuntime;
        const char* pszHeld;  // null: not set
    } const cases[] = {
        {nullptr, noBus.Path(), "disabled:"},
        {"", noBus.Path(), "disabled:"},
        {"unix:path=/run/user/1000/bus", noBus.Path(), "unix:path=/run/user/1000/bus"},
        {nullptr, withBus.Path(), nullptr},
    };
    auto value = [] {
        const char* psz = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        return std::string(psz != nullptr ? psz : "(not set)");
    };
    for (const auto& c : cases) {
        c.pszAddress != nullptr ? setenv("DBUS_SESSION_BUS_ADDRESS", c.pszAddress, 1)
                                : unsetenv("DBUS_SESSION_BUS_ADDRESS");
        setenv("XDG_RUNTIME_DIR", c.strRuntime.c_str(), 1);
        VexilHoldSessionBus();
        EXPECT_EQ(value(), c.pszHeld != nullptr ? c.pszHeld : "(not set)");
        VexilRestoreSessionBus();
        // the commands get what the program was given
        EXPECT_EQ(value(), c.pszAddress != nullptr ? c.pszAddress : "(not set)");
    }
}

TEST(StartCommand, TheDisplayProbesConnectionIsHandedOverOpen) {
    CEnvScope env({"DISPLAY", "QT_QPA_PLATFORM", "WAYLAND_DISPLAY"});
    // a stand-in X server on a display of its own, in the abstract namespace only
    const std::string strDisplay = std::to_string(40000 + getpid() % 20000);
    auto pServer = std::make_unique<SListener>("@/tmp/.X11-unix/X" + strDisplay);
    ASSERT_TRUE(pServer->bOk);
    unsetenv("QT_QPA_PLATFORM");
    unsetenv("WAYLAND_DISPLAY");
    setenv("DISPLAY", (":" + strDisplay).c_str(), 1);
    // whether the server's end of the next connection finds it closed
    auto nextClosed = [&] {
        const int fd = accept4(pServer->fd, nullptr, nullptr, SOCK_CLOEXEC);
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
    pServer.reset();
    EXPECT_FALSE(VexilDisplayAvailable(&fdHeld));
    EXPECT_EQ(fdHeld, -1);
}
