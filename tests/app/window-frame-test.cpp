// The main frame and the program's start-up: what the window shows, its commands and shortcuts,
// the about box, the command line, the program's folder, and how the program ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDialog>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QTest>
#include <chrono>
#include <climits>
#include <clocale>
#include <string>
#include <thread>
#include <vector>

#include "about-box.h"
#include "main-frame.h"
#include "orv-string.h"
#include "orv-ui-thread.h"
#include "support/orv-test-support.h"
#include "window-test-util.h"

extern char** environ;

namespace {

// Runs a program through env(1), which takes "NAME=value" to set a variable and "-u", "NAME" to
// remove one before the program's own arguments. Without a file to wait for: its exit code, or -1
// when it did not end within 20 s. With one: 0 once the file appeared (the tests' commands make
// theirs whole by a rename or write it last), then the program is killed; -1 when it did not.
int RunProgram(std::vector<std::string> args, const std::string& untilFile = "") {
    args.insert(args.begin(), "/usr/bin/env");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -2;
    }
    int nStatus = 0;
    const bool bDone = OrvWaitFor(
        [&] {
            return untilFile.empty() ? waitpid(pid, &nStatus, WNOHANG) != 0
                                     : access(untilFile.c_str(), F_OK) == 0;
        },
        20000);
    if (!bDone || !untilFile.empty()) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return bDone ? 0 : -1;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}

// Shows a frame and waits until it is on the screen.
class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        frame.resize(700, 500);
        frame.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
    }
    CMainFrame frame;
};

}  // namespace

TEST_F(FrameTest, ToolbarTabOrderResizeShortcutsAndAboutBox) {
    EXPECT_EQ(frame.menuWidget(), nullptr);
    // toolbar order with its separators (null); only Clear, Save and Help are enabled at first
    const QList<QAction*> expected = {frame.ActionClear(),
                                      frame.ActionSave(),
                                      frame.ActionStop(),
                                      frame.ActionPrint(),
                                      nullptr,
                                      frame.ActionCut(),
                                      frame.ActionCopy(),
                                      frame.ActionPaste(),
                                      nullptr,
                                      frame.ActionHelp()};
    const QList<QAction*> actions = frame.ToolBar()->actions();
    ASSERT_EQ(actions.size(), expected.size());
    for (int i = 0; i < actions.size(); ++i) {
        EXPECT_EQ(actions[i]->isSeparator() ? nullptr : actions[i], expected[i]) << i;
        EXPECT_TRUE(expected[i] == nullptr ||
                    actions[i]->isEnabled() == (i == 0 || i == 1 || i == 9))
            << i;
    }
    // Run is the default button below which the pane sits; Tab goes field, Run, pane; the
    // placeholder shows only while the empty field is not focused
    CVexilView& view = frame.View();
    EXPECT_TRUE(view.RunButton()->isDefault());
    EXPECT_GT(view.OutputPane()->geometry().top(), view.CommandField()->geometry().bottom());
    view.CommandField()->setFocus();
    ASSERT_TRUE(WaitFor([&] { return view.CommandField()->hasFocus(); }, 2000));
    EXPECT_TRUE(view.CommandField()->placeholderText().isEmpty());
    QTest::keyClick(view.CommandField(), Qt::Key_Tab);
    EXPECT_TRUE(view.RunButton()->hasFocus());
    EXPECT_FALSE(view.CommandField()->placeholderText().isEmpty());
    QTest::keyClick(view.RunButton(), Qt::Key_Tab);
    EXPECT_TRUE(view.OutputPane()->hasFocus());
    // resizing moves Run with the right edge and grows the field and the pane
    const QRect field = view.CommandField()->geometry();
    const QRect run = view.RunButton()->geometry();
    const QRect pane = view.OutputPane()->geometry();
    frame.resize(400, 300);
    ASSERT_TRUE(WaitFor([&] { return view.width() < 450; }, 2000));
    QCoreApplication::processEvents();
    EXPECT_LT(view.CommandField()->width(), field.width());
    EXPECT_EQ(view.RunButton()->width(), run.width());
    EXPECT_EQ(view.width() - view.RunButton()->geometry().right(),
              view.width() + 300 - run.right());
    EXPECT_LT(view.OutputPane()->height(), pane.height());
    EXPECT_EQ(view.OutputPane()->width(), view.width());

    // from the command field: keys without a command change nothing, Ctrl+N clears, Help shows
    // the about box, which Escape closes
    frame.activateWindow();
    view.AppendText(u"something\n");
    QLineEdit* pField = view.CommandField();
    pField->setFocus();
    ASSERT_TRUE(WaitFor([&] { return pField->hasFocus(); }, 2000));
    for (QKeyCombination key : {Qt::CTRL | Qt::Key_O, Qt::CTRL | Qt::Key_P,
                                QKeyCombination(Qt::Key_F6), Qt::SHIFT | Qt::Key_F6}) {
        QTest::keyClick(pField, key.key(), key.keyboardModifiers());
    }
    EXPECT_EQ(view.OutputPane()->GetTextLength(), 11);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    QTest::keyClick(pField, Qt::Key_N, Qt::ControlModifier);
    EXPECT_EQ(view.OutputPane()->GetTextLength(), 0);
    bool bClosed = false;
    OnNextModal<CAboutDlg>([&](CAboutDlg* pDialog) {
        QTest::keyClick(pDialog, Qt::Key_Escape);
        bClosed = !pDialog->isVisible();
    });
    frame.ActionHelp()->trigger();
    EXPECT_TRUE(bClosed);
}

TEST(StartUp, TheProgramFolderBecomesTheCurrentOne) {
    char szBefore[PATH_MAX];
    ASSERT_NE(getcwd(szBefore, sizeof(szBefore)), nullptr);
    ASSERT_TRUE(VexilEnterProgramFolder());
    char szNow[PATH_MAX];
    ASSERT_NE(getcwd(szNow, sizeof(szNow)), nullptr);
    char szExe[PATH_MAX];
    ASSERT_NE(realpath("/proc/self/exe", szExe), nullptr);
    const std::string exe(szExe);
    EXPECT_EQ(std::string(szNow), exe.substr(0, exe.rfind('/')));
    ASSERT_EQ(chdir(szBefore), 0);
}

TEST(StartUp, AStartCommandRunsOnceAndAClosedFrameGivesOne) {
    int nBanners = -1;
    std::u16string text;
    QTimer::singleShot(0, [&] {
        CMainFrame* pFrame = nullptr;
        for (QWidget* pWidget : QApplication::topLevelWidgets()) {
            pFrame = pFrame != nullptr ? pFrame : qobject_cast<CMainFrame*>(pWidget);
        }
        if (pFrame == nullptr) {
            return;
        }
        EXPECT_EQ(pFrame->View().CommandField()->text(), QStringLiteral("echo started"));
        WaitFor([&] {
            return PaneText(*pFrame->View().OutputPane()).find(u"End of Log") !=
                   std::u16string::npos;
        });
        QTest::qWait(100);  // a second run would have shown its banner by now
        text = PaneText(*pFrame->View().OutputPane());
        nBanners = 0;
        for (size_t n = text.find(u"--- echo started ---"); n != std::u16string::npos;
             n = text.find(u"--- echo started ---", n + 1)) {
            ++nBanners;
        }
        pFrame->close();
    });
    EXPECT_EQ(VexilRun(QStringLiteral("echo started")), 1);
    EXPECT_EQ(nBanners, 1);
    EXPECT_EQ(text, u"--- echo started ---\r\nstarted\r\n--- End of Log ---\r\n\r\n");
    // the previous UI-thread services are back
    EXPECT_NE(OrvGetUiThread(), nullptr);

    // Under a user locale numbers keep their C form while the program runs; text still follows
    // the user.
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
        << "the de_DE.UTF-8 locale is missing (package locales, make setup)";
    COrvStringA strNumber;
    strNumber.Format("%.1f", 1.5);
    EXPECT_STREQ(static_cast<const char*>(strNumber), "1,5");  // the locale really changes it
    QTimer::singleShot(0, [&] {
        strNumber.Format("%.1f", 1.5);
        for (QWidget* pWidget : QApplication::topLevelWidgets()) {
            if (qobject_cast<CMainFrame*>(pWidget) != nullptr) {
                pWidget->close();
            }
        }
    });
    EXPECT_EQ(VexilRun(QString()), 1);
    EXPECT_STREQ(static_cast<const char*>(strNumber), "1.5");
    EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "de_DE.UTF-8");
    std::setlocale(LC_ALL, previous.c_str());
}

TEST(StartUp, WithoutADisplayTheProgramEndsWithZeroAndClosingWhileACommandWritesWithOne) {
    const std::vector<std::string> noDisplay = {"-u", "DISPLAY",        "-u", "WAYLAND_DISPLAY",
                                                "-u", "QT_QPA_PLATFORM"};
    std::vector<std::string> args = noDisplay;
    args.insert(args.end(), {VEXIL_BINARY, "echo", "hi"});
    EXPECT_EQ(RunProgram(args), 0);
    // a display that does not exist counts as none
    args = noDisplay;
    args.insert(args.end(), {"DISPLAY=:97", VEXIL_BINARY});
    EXPECT_EQ(RunProgram(args), 0);

    // a flood on the output, and a quiet process of the same command that outlives the window
    OrvTempDir dir;
    const std::string pidFile = dir.File("pid");
    const std::string command = "sh -c \"echo \\$\\$ > " + pidFile + ".tmp && mv " + pidFile +
                                ".tmp " + pidFile + " && exec sleep 30\" & yes";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunProgram({"QT_QPA_PLATFORM=offscreen", VEXIL_CLOSE_HELPER, "700", command}), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    // the command was not stopped by the program
    ASSERT_TRUE(OrvWaitFor([&] { return access(pidFile.c_str(), F_OK) == 0; }, 20000));
    const pid_t nPid = static_cast<pid_t>(std::stol(OrvReadFileBytes(pidFile)));
    EXPECT_EQ(kill(nPid, 0), 0);
    kill(nPid, SIGKILL);
}

TEST(StartUp, TheCommandLineRunsExactlyAsGivenInItsOwnFolderInTheCAndALatin1Locale) {
    OrvTempDir dir;
    // Qt would take "-platform" and the word after it for itself: here both belong to the command
    // (as $0 and $1 of the inner shell).
    const std::string out = dir.File("out");
    ASSERT_EQ(RunProgram({"QT_QPA_PLATFORM=offscreen", VEXIL_BINARY, "sh", "-c",
                          "pwd > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"", "-platform", out},
                         out),
              0);
    char szBinary[PATH_MAX];
    ASSERT_NE(realpath(VEXIL_BINARY, szBinary), nullptr);
    const std::string binary = szBinary;
    EXPECT_EQ(OrvReadFileBytes(out), binary.substr(0, binary.rfind('/')) + "\n");

    for (const char* pszName : {"a.txt", "b.txt", "\xC3\xBC.txt"}) {
        ASSERT_TRUE(OrvWriteFileBytes(dir.File(pszName), "x"));
    }
    struct Case {
        std::string locale;
        std::string command;
    };
    const std::string count = dir.File("count");
    const std::string latin = dir.File("latin");
    const Case cases[] = {
        // the C locale, as under service managers: the u-umlaut must not become a "?" wildcard
        {"LC_ALL=C", "rm '" + dir.Path() + "/\xC3\xBC.txt'"},
        // a 100 KB command from the command line runs whole
        {"LC_ALL=C", "echo " + std::string(100000, 'x') + " | wc -c > '" + count + "'"},
        // Latin-1: the argument's byte for the u-umlaut reaches the shell as that byte
        {"LC_ALL=de_DE.ISO-8859-1", "printf '\xFC' > '" + latin + "'"},
    };
    for (const Case& c : cases) {
        const std::string done = dir.File("done" + std::to_string(&c - cases));
        ASSERT_EQ(RunProgram({"-u", "LANG", "-u", "LC_CTYPE", c.locale, "QT_QPA_PLATFORM=offscreen",
                              VEXIL_BINARY, c.command + "; touch '" + done + "'"},
                             done),
                  0)
            << c.locale << " (make setup puts the locales there)";
    }
    EXPECT_EQ(OrvReadFileBytes(dir.File("a.txt")), "x");
    EXPECT_EQ(OrvReadFileBytes(dir.File("b.txt")), "x");
    EXPECT_NE(access(dir.File("\xC3\xBC.txt").c_str(), F_OK), 0);
    EXPECT_EQ(OrvReadFileBytes(count), "100001\n");
    EXPECT_EQ(OrvReadFileBytes(latin), "\xFC");
}
