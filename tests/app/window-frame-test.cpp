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
#include <QToolButton>
#include <chrono>
#include <climits>
#include <clocale>
#include <cstdlib>
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

QString Command(std::vector<const char*> args) {
    args.insert(args.begin(), "vexil");
    return VexilCommandFromArgs(static_cast<int>(args.size()), const_cast<char**>(args.data()));
}

// Starts a program with the environment changed as given ("NAME=value" sets, "-NAME" removes);
// its process id, or 0 when it could not be started.
pid_t StartProgram(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> vars;
    for (char** p = environ; *p != nullptr; ++p) {
        vars.emplace_back(*p);
    }
    for (const std::string& change : env) {
        const std::string name =
            change[0] == '-' ? change.substr(1) : change.substr(0, change.find('='));
        std::erase_if(vars, [&](const std::string& v) { return v.rfind(name + "=", 0) == 0; });
        if (change[0] != '-') {
            vars.push_back(change);
        }
    }
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& v : vars) {
        envp.push_back(v.data());
    }
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) {
        return 0;
    }
    return pid;
}

// Starts a program as StartProgram does; returns its exit code, or -1 when it did not end within
// nMs (it is then killed), -2 when it could not be started.
int RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& env, int nMs) {
    const pid_t pid = StartProgram(args, env);
    if (pid == 0) {
        return -2;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    int nStatus = 0;
    while (waitpid(pid, &nStatus, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &nStatus, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}

// Waits up to 20 s for a file to appear (the tests' commands make theirs whole by a rename).
bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 1000; ++i) {
        if (access(path.c_str(), F_OK) == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

TEST(MainFrame, ShowsTitleToolbarAndStatusWithoutAMenu) {
    CMainFrame frame;
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
    EXPECT_EQ(frame.windowTitle(), QStringLiteral("vexil"));
    EXPECT_EQ(frame.menuWidget(), nullptr);
    EXPECT_FALSE(frame.windowIcon().isNull());
    // order, separators, texts and enabled states as in the toolbar resource, with Stop after
    // Save
    const QList<QAction*> actions = frame.ToolBar()->actions();
    ASSERT_EQ(actions.size(), 10);
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
    for (int i = 0; i < 10; ++i) {
        if (expected[i] == nullptr) {
            EXPECT_TRUE(actions[i]->isSeparator()) << i;
        } else {
            EXPECT_EQ(actions[i], expected[i]) << i;
            EXPECT_FALSE(actions[i]->icon().isNull()) << i;
        }
    }
    EXPECT_EQ(frame.ToolBar()->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
    for (QAction* pAction : {frame.ActionClear(), frame.ActionSave(), frame.ActionHelp()}) {
        EXPECT_TRUE(pAction->isEnabled());
    }
    for (QAction* pAction : {frame.ActionStop(), frame.ActionPrint(), frame.ActionCut(),
                             frame.ActionCopy(), frame.ActionPaste()}) {
        EXPECT_FALSE(pAction->isEnabled());
    }
    auto* pStatus = frame.statusBar()->findChild<QLabel*>(QStringLiteral("status"));
    ASSERT_NE(pStatus, nullptr);
    EXPECT_EQ(pStatus->text(), QStringLiteral("Ready"));
    // the view: placeholder, Run, the pane below, Tab order field, Run, pane
    CVexilView& view = frame.View();
    EXPECT_EQ(frame.centralWidget(), &view);
    EXPECT_TRUE(view.RunButton()->isDefault());
    EXPECT_GT(view.OutputPane()->geometry().top(), view.CommandField()->geometry().bottom());
    view.CommandField()->setFocus();
    ASSERT_TRUE(WaitFor([&] { return view.CommandField()->hasFocus(); }, 2000));
    // the placeholder shows only while the empty field is not focused
    EXPECT_TRUE(view.CommandField()->placeholderText().isEmpty());
    QTest::keyClick(view.CommandField(), Qt::Key_Tab);
    EXPECT_TRUE(view.RunButton()->hasFocus());
    EXPECT_EQ(view.CommandField()->placeholderText(), QStringLiteral("<enter command here>"));
    view.CommandField()->setFocus();
    EXPECT_TRUE(view.CommandField()->placeholderText().isEmpty());
    view.RunButton()->setFocus();
    QTest::keyClick(view.RunButton(), Qt::Key_Tab);
    EXPECT_TRUE(view.OutputPane()->hasFocus());
}

TEST(MainFrame, ResizingMovesRunAndGrowsFieldAndPane) {
    CMainFrame frame;
    frame.resize(700, 500);
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
    CVexilView& view = frame.View();
    const QRect field = view.CommandField()->geometry();
    const QRect run = view.RunButton()->geometry();
    const QRect pane = view.OutputPane()->geometry();
    frame.resize(400, 300);
    ASSERT_TRUE(WaitFor([&] { return view.width() < 450; }, 2000));
    QCoreApplication::processEvents();
    EXPECT_LT(view.CommandField()->width(), field.width());
    EXPECT_EQ(view.RunButton()->width(), run.width());
    EXPECT_LT(view.RunButton()->x(), run.x());
    EXPECT_EQ(view.width() - view.RunButton()->geometry().right(),
              view.width() + 300 - run.right());
    EXPECT_LT(view.OutputPane()->width(), pane.width());
    EXPECT_LT(view.OutputPane()->height(), pane.height());
    EXPECT_EQ(view.OutputPane()->width(), view.width());
}

TEST(MainFrame, ShortcutsWorkFromTheCommandField) {
    CMainFrame frame;
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
    frame.activateWindow();
    frame.View().AppendText(u"something\n");
    QLineEdit* pField = frame.View().CommandField();
    pField->setFocus();
    ASSERT_TRUE(WaitFor([&] { return pField->hasFocus(); }, 2000));
    // keys without a command change nothing
    for (QKeyCombination key : {Qt::CTRL | Qt::Key_O, Qt::CTRL | Qt::Key_P,
                                QKeyCombination(Qt::Key_F6), Qt::SHIFT | Qt::Key_F6}) {
        QTest::keyClick(pField, key.key(), key.keyboardModifiers());
    }
    EXPECT_EQ(frame.View().OutputPane()->GetTextLength(), 11);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    QTest::keyClick(pField, Qt::Key_N, Qt::ControlModifier);
    EXPECT_EQ(frame.View().OutputPane()->GetTextLength(), 0);
}

TEST(MainFrame, HelpShowsTheAboutBoxAndEscapeClosesIt) {
    CMainFrame frame;
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
    QString strText;
    QString strTitle;
    bool bHasIcon = false;
    bool bClosed = false;
    OnNextModal<CAboutDlg>([&](CAboutDlg* pDialog) {
        strTitle = pDialog->windowTitle();
        auto* pText = pDialog->findChild<QLabel*>(QStringLiteral("text"));
        strText = pText != nullptr ? pText->text() : QString();
        for (QLabel* pLabel : pDialog->findChildren<QLabel*>()) {
            bHasIcon = bHasIcon || !pLabel->pixmap().isNull();
        }
        QTest::keyClick(pDialog, Qt::Key_Escape);
        bClosed = !pDialog->isVisible();
    });
    frame.ActionHelp()->trigger();
    EXPECT_TRUE(bClosed);
    EXPECT_EQ(strTitle, QStringLiteral("About"));
    EXPECT_TRUE(strText.startsWith(QStringLiteral("vexil Application v1.0\n\n")));
    EXPECT_GT(strText.size(), 25);
    EXPECT_TRUE(bHasIcon);
}

TEST(StartUp, ArgumentsBecomeOneCommandAsTyped) {
    EXPECT_EQ(Command({}), QString());
    EXPECT_EQ(Command({"ls -l | sort"}), QStringLiteral("ls -l | sort"));  // one: verbatim
    EXPECT_EQ(Command({"ls", "my dir"}), QStringLiteral("ls 'my dir'"));
    EXPECT_EQ(Command({"echo", "it's", "", "a/b-c.d=e"}),
              QStringLiteral("echo 'it'\\''s' '' a/b-c.d=e"));
    EXPECT_EQ(Command({"printf", "%s\\n", "$HOME", "-platform"}),
              QStringLiteral("printf '%s\\n' '$HOME' -platform"));
    EXPECT_EQ(Command({"echo", "\xc3\xa9t\xc3\xa9"}),
              QString::fromUtf8("echo '\xc3\xa9t\xc3\xa9'"));
}

TEST(StartUp, TheProgramFolderBecomesTheCurrentFolder) {
    char szBefore[4096];
    ASSERT_NE(getcwd(szBefore, sizeof(szBefore)), nullptr);
    ASSERT_TRUE(VexilEnterProgramFolder());
    char szNow[4096];
    ASSERT_NE(getcwd(szNow, sizeof(szNow)), nullptr);
    char szExe[4096];
    const ssize_t n = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    ASSERT_GT(n, 0);
    szExe[n] = 0;
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
}

TEST(StartUp, NumbersKeepTheirCFormUnderAUserLocale) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    // the user's locale as the application takes it from the environment
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
    // only the numeric category: text still follows the user
    EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "de_DE.UTF-8");
    std::setlocale(LC_ALL, previous.c_str());
}

TEST(StartUp, TheProgramRunsItsArgumentsAtOnceInItsOwnFolder) {
    OrvTempDir dir;
    const std::string out = dir.File("out");
    // Qt would take "-platform" and the word after it for itself: here both belong to the command
    // (as $0 and $1 of the inner shell).
    const pid_t pid = StartProgram(
        {VEXIL_BINARY, "sh", "-c", "pwd > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"", "-platform", out},
        {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_NE(pid, 0);
    const bool bWritten = WaitForFile(out);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    char szBinary[PATH_MAX];
    ASSERT_NE(realpath(VEXIL_BINARY, szBinary), nullptr);
    const std::string binary = szBinary;
    ASSERT_TRUE(bWritten);
    EXPECT_EQ(OrvReadFileBytes(out), binary.substr(0, binary.rfind('/')) + "\n");
}

TEST(StartUp, WithoutADisplayTheProgramEndsWithZero) {
    EXPECT_EQ(RunProgram({VEXIL_BINARY, "echo", "hi"},
                         {"-DISPLAY", "-WAYLAND_DISPLAY", "-QT_QPA_PLATFORM"}, 20000),
              0);
    // a display that does not exist counts as none
    EXPECT_EQ(
        RunProgram({VEXIL_BINARY}, {"DISPLAY=:97", "-WAYLAND_DISPLAY", "-QT_QPA_PLATFORM"}, 20000),
        0);
}

TEST(StartUp, ClosingWhileACommandStillWritesEndsPromptlyWithOne) {
    OrvTempDir dir;
    const std::string pidFile = dir.File("pid");
    // a flood on the output, and a quiet process of the same command that outlives the window
    const std::string command = "sh -c \"echo \\$\\$ > " + pidFile + ".tmp && mv " + pidFile +
                                ".tmp " + pidFile + " && exec sleep 30\" & yes";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        RunProgram({VEXIL_CLOSE_HELPER, "700", command}, {"QT_QPA_PLATFORM=offscreen"}, 20000), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    // the command was not stopped by the program
    ASSERT_TRUE(WaitForFile(pidFile));
    const pid_t nPid = static_cast<pid_t>(std::stol(OrvReadFileBytes(pidFile)));
    EXPECT_EQ(kill(nPid, 0), 0);
    kill(nPid, SIGKILL);
}

// Runs the real program with a command on its command line in a locale given by the environment,
// until the file the command writes last appears; false when it did not within 20 s.
bool RunCommandInLocale(const std::string& command, const std::vector<std::string>& locale,
                        const std::string& doneFile) {
    std::vector<std::string> env = locale;
    env.push_back("QT_QPA_PLATFORM=offscreen");
    const pid_t pid = StartProgram({VEXIL_BINARY, command + "; touch '" + doneFile + "'"}, env);
    if (pid == 0) {
        return false;
    }
    const bool bDone = WaitForFile(doneFile);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return bDone;
}

TEST(StartUp, TheCommandLineRunsExactlyAsGivenInTheCAndALatin1Locale) {
    OrvTempDir dir;
    for (const char* pszName : {"a.txt", "b.txt", "\xC3\xBC.txt"}) {
        ASSERT_TRUE(OrvWriteFileBytes(dir.File(pszName), "x"));
    }
    // The C locale, as under service managers: the u-umlaut must not become a "?" wildcard.
    const std::vector<std::string> cLocale = {"LC_ALL=C", "-LANG", "-LC_CTYPE"};
    ASSERT_TRUE(
        RunCommandInLocale("rm '" + dir.Path() + "/\xC3\xBC.txt'", cLocale, dir.File("done1")));
    EXPECT_EQ(OrvReadFileBytes(dir.File("a.txt")), "x");
    EXPECT_EQ(OrvReadFileBytes(dir.File("b.txt")), "x");
    EXPECT_NE(access(dir.File("\xC3\xBC.txt").c_str(), F_OK), 0);

    // A 100 KB command from the command line runs whole.
    const std::string count = dir.File("count");
    ASSERT_TRUE(
        RunCommandInLocale("echo " + std::string(100000, 'x') + " | wc -c > '" + count + "'",
                           cLocale, dir.File("done2")));
    EXPECT_EQ(OrvReadFileBytes(count), "100001\n");

    // Latin-1: the argument's byte for the u-umlaut reaches the shell as that byte.
    const std::string latin = dir.File("latin");
    ASSERT_TRUE(RunCommandInLocale("printf '\xFC' > '" + latin + "'",
                                   {"LC_ALL=de_DE.ISO-8859-1", "-LANG"}, dir.File("done3")))
        << "is the de_DE.ISO-8859-1 locale there (make setup)?";
    EXPECT_EQ(OrvReadFileBytes(latin), "\xFC");
}
