#include "main-frame.h"

#include <fontconfig/fontconfig.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "about-box.h"
#include "command-line.h"
#include "console-pipe.h"
#include "crash-report.h"
#include "display-probe.h"
#include "orv-log.h"
#include "orv-program-path.h"
#include "orv-thread.h"
#include "qt-ui-thread.h"

// The compiled-in resources live in the static library; this registers them with Qt.
static void InitVexilResources() {
    Q_INIT_RESOURCE(vexil);
}

namespace {

// Characters that need no quoting in a shell word.
bool IsShellSafe(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("_@%+=:,./-", c) != nullptr;
}

// The program's arguments as text: decoded with the set that commands are converted back to for
// the shell (the locale's; UTF-8 in the C locale), so that a command runs with the bytes it was
// given. (Qt would take them as UTF-8 in every locale.)
QString FromChildCharset(const QByteArray& bytes) {
    CPipeDecoder decoder(PipeChildCharset());
    const int nLen = static_cast<int>(bytes.size());
    std::vector<char16_t> text(static_cast<size_t>(CPipeDecoder::OutputRoom(nLen)) +
                               CPipeDecoder::kMaxCarry + 1);
    int n = decoder.Decode(bytes.constData(), nLen, text.data());
    n += decoder.Flush(text.data() + n);
    return QString(reinterpret_cast<const QChar*>(text.data()), n);
}

}  // namespace

// ---- CMainFrame -----------------------------------------------------------------------------

CMainFrame::CMainFrame(QWidget* pParent) : QMainWindow(pParent), m_view(this) {
    InitVexilResources();
    setWindowTitle(QStringLiteral("vexil"));
    setWindowIcon(VexilProgramIcon());
    // No menu bar: the frame's commands are on the toolbar and its keyboard shortcuts.
    setMenuBar(nullptr);

    m_wndToolBar = new QToolBar(this);
    m_wndToolBar->setObjectName(QStringLiteral("toolbar"));
    m_wndToolBar->setMovable(false);
    m_wndToolBar->setFloatable(false);
    m_wndToolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_wndToolBar->setIconSize(QSize(16, 16));
    m_wndToolBar->setContextMenuPolicy(Qt::PreventContextMenu);
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);

    m_pClear = AddCommand(QStringLiteral("new"), QStringLiteral("Clear"), true);
    m_pSave = AddCommand(QStringLiteral("save"), QStringLiteral("Save"), true);
    // Enabled while a command runs.
    m_pStop = AddCommand(QStringLiteral("stop"), QStringLiteral("Stop"), false);
    m_pPrint = AddCommand(QStringLiteral("print"), QString(), false);
    m_wndToolBar->addSeparator();
    m_pCut = AddCommand(QStringLiteral("cut"), QString(), false);
    m_pCopy = AddCommand(QStringLiteral("copy"), QString(), false);
    m_pPaste = AddCommand(QStringLiteral("paste"), QString(), false);
    m_wndToolBar->addSeparator();
    m_pHelp = AddCommand(QStringLiteral("help"), QStringLiteral("Help"), true);

    // The shortcuts work wherever the focus is in the window, the command field included.
    m_pClear->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    m_pSave->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    // Ctrl+. as in many programs that stop what runs, and Ctrl+Break where the key exists.
    m_pStop->setShortcuts(
        {QKeySequence(Qt::CTRL | Qt::Key_Period), QKeySequence(Qt::CTRL | Qt::Key_Pause)});
    connect(m_pClear, &QAction::triggered, &m_view, &CVexilView::Clear);
    connect(m_pStop, &QAction::triggered, &m_view, &CVexilView::Stop);
    connect(&m_view, &CVexilView::RunningChanged, m_pStop, &QAction::setEnabled);
    connect(m_pSave, &QAction::triggered, this, [this] { m_view.Save(this); });
    connect(m_pHelp, &QAction::triggered, this, &CMainFrame::OnAppAbout);
    // Help's second command, offered only when a support server is configured.
    if (VexilSupportConfigured()) {
        auto* pSendLogs = m_wndToolBar->addAction(QStringLiteral("Send logs to support..."));
        pSendLogs->setObjectName(QStringLiteral("send-logs"));
        connect(pSendLogs, &QAction::triggered, this, [this] { VexilSendLogsToSupport(this); });
    }

    // Find in the pane: window-wide keys only, the toolbar stays as it is.
    auto addKey = [this](const char* pszName, const QKeySequence& key, auto fn) {
        auto* pAction = new QAction(this);
        pAction->setObjectName(QString::fromLatin1(pszName));
        pAction->setShortcut(key);
        connect(pAction, &QAction::triggered, this, fn);
        addAction(pAction);
    };
    addKey("find", QKeySequence(Qt::CTRL | Qt::Key_F), [this] { m_view.FindBar()->Open(); });
    addKey("findNext", QKeySequence(Qt::Key_F3), [this] { m_view.FindBar()->Step(false); });
    addKey("findPrevious", QKeySequence(Qt::SHIFT | Qt::Key_F3),
           [this] { m_view.FindBar()->Step(true); });

    auto* pReady = new QLabel(QStringLiteral("Ready"));
    pReady->setObjectName(QStringLiteral("status"));
    statusBar()->addWidget(pReady, 1);
    connect(&m_view, &CVexilView::StatusChanged, pReady, &QLabel::setText);
    statusBar()->setSizeGripEnabled(true);

    setCentralWidget(&m_view);
    resize(720, 480);
}

CMainFrame::~CMainFrame() {
    // m_view is a member: take it out of the widget tree before QMainWindow deletes its children.
    takeCentralWidget();
}

QAction* CMainFrame::AddCommand(const QString& strIcon, const QString& strText, bool bEnabled) {
    QAction* pAction = m_wndToolBar->addAction(
        QIcon(QStringLiteral(":/vexil/toolbar/%1.png").arg(strIcon)), strText);
    pAction->setObjectName(strIcon);
    pAction->setEnabled(bEnabled);
    // The toolbar shows no tooltips.
    if (QWidget* pButton = m_wndToolBar->widgetForAction(pAction)) {
        pButton->installEventFilter(this);
    }
    return pAction;
}

bool CMainFrame::eventFilter(QObject* pObject, QEvent* pEvent) {
    if (pEvent->type() == QEvent::ToolTip) {
        return true;
    }
    return QMainWindow::eventFilter(pObject, pEvent);
}

void CMainFrame::OnAppAbout() {
    CAboutDlg dialog(QApplication::activeWindow() != nullptr ? QApplication::activeWindow() : this);
    dialog.exec();
}

// ---- start-up -------------------------------------------------------------------------------

QString VexilCommandFromArgs(int argc, char** argv) {
    if (argc < 2) {
        return QString();
    }
    if (argc == 2) {
        return FromChildCharset(QByteArray(argv[1]));
    }
    QByteArray command;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            command += ' ';
        }
        const char* psz = argv[i];
        bool bSafe = *psz != 0;
        for (const char* p = psz; *p != 0 && bSafe; ++p) {
            bSafe = IsShellSafe(*p);
        }
        if (bSafe) {
            command += psz;
            continue;
        }
        // single quotes keep everything but a single quote, which is closed, escaped, reopened
        command += '\'';
        for (const char* p = psz; *p != 0; ++p) {
            if (*p == '\'') {
                command += "'\\''";
            } else {
                command += *p;
            }
        }
        command += '\'';
    }
    return FromChildCharset(command);
}

namespace {

// Set while VexilHoldSessionBus has put its own value in the environment; and whether the
// program was given the variable empty (rather than not at all).
bool g_bSessionBusHeld = false;
bool g_bSessionBusWasEmpty = false;

}  // namespace

void VexilHoldSessionBus() {
    const char* pszAddress = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (pszAddress != nullptr && *pszAddress != 0) {
        return;
    }
    // The D-Bus library's own choice before it launches a bus: the user's bus socket.
    const char* pszRuntime = std::getenv("XDG_RUNTIME_DIR");
    if (pszRuntime != nullptr && *pszRuntime != 0) {
        const std::string strSocket = std::string(pszRuntime) + "/bus";
        struct stat st = {};
        if (stat(strSocket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            return;
        }
    }
    // No bus to find: Qt's accessibility bridge would have the library launch one (a daemon
    // started for this window and left behind) while the window is being built.
    g_bSessionBusWasEmpty = pszAddress != nullptr;
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    g_bSessionBusHeld = true;
}

namespace {

// The font configuration is read the first time anything asks for a font (the frame's first
// widget does): dozens of files parsed, several milliseconds, while the other core has nothing
// to do. This thread reads it while Qt connects to the display.
class CFontConfigReader : public COrvThread {
public:
    bool Run(int& /*nCode*/, COrvStringA& /*strError*/) override {
        // On failure Qt meets the same failure when it asks, and handles it.
        FcInit();
        return true;
    }
};

}  // namespace

void VexilRestoreSessionBus() {
    if (g_bSessionBusHeld) {
        if (g_bSessionBusWasEmpty) {
            setenv("DBUS_SESSION_BUS_ADDRESS", "", 1);
        } else {
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
        }
        g_bSessionBusHeld = false;
    }
}

bool VexilEnterProgramFolder() {
    COrvStringA strPath;
    COrvError err;
    if (!OrvGetExecutablePath(strPath, err)) {
        return false;
    }
    std::string folder(strPath.GetString(), static_cast<size_t>(strPath.GetLength()));
    const size_t nSlash = folder.rfind('/');
    if (nSlash == std::string::npos) {
        return false;
    }
    // the root folder keeps its slash
    folder.resize(nSlash == 0 ? 1 : nSlash);
    return chdir(folder.c_str()) == 0;
}

namespace {

// Calls a function once the frame's view has shown its last command's end line: painted into a
// window that the display shows. The command may end before the window is first exposed (it
// starts before the window is shown), and a paint into a window that is not exposed yet never
// reaches the screen; the call then waits for the window's first exposure, or for kExposeWaitMs
// when the window is not shown at all (started minimised, or on a workspace out of view), so that
// a script that waits for the program is not held up.
constexpr int kExposeWaitMs = 2000;

class CEndLinePainted : public QObject {
public:
    CEndLinePainted(CMainFrame& frame, std::function<void(int)> fnPainted)
        : m_frame(frame), m_fnPainted(std::move(fnPainted)) {
        connect(&frame.View(), &CVexilView::PipeFinished, this, [this] {
            m_bEnded = true;
            Check();
        });
    }

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override {
        // The exposure is handled (and the window painted) first; the check comes after it.
        if (pEvent->type() == QEvent::Expose && m_bEnded) {
            QMetaObject::invokeMethod(this, &CEndLinePainted::Check, Qt::QueuedConnection);
        }
        return QObject::eventFilter(pObject, pEvent);
    }

private:
    void Check() {
        if (!m_bEnded || m_bCalled) {
            return;
        }
        QWindow* pWindow = m_frame.windowHandle();
        if ((pWindow == nullptr || !pWindow->isExposed()) && !m_bWaited) {
            if (!m_bWatching) {
                m_bWatching = true;
                if (pWindow != nullptr) {
                    pWindow->installEventFilter(this);
                }
                QTimer::singleShot(kExposeWaitMs, this, [this] {
                    m_bWaited = true;
                    Check();
                });
            }
            return;
        }
        m_bCalled = true;
        m_frame.View().OutputPane()->FlushLayout();
        m_frame.View().OutputPane()->viewport()->repaint();
        m_fnPainted(m_frame.View().LastExitStatus());
    }

    CMainFrame& m_frame;
    std::function<void(int)> m_fnPainted;
    bool m_bEnded = false;
    bool m_bWatching = false;
    bool m_bWaited = false;  // kExposeWaitMs have passed since the end
    bool m_bCalled = false;
};

}  // namespace

std::unique_ptr<QObject> VexilShowAndRun(CMainFrame& frame, const QString& strCommand,
                                         std::function<void(int)> fnPainted) {
    std::unique_ptr<QObject> pWatch;
    if (!strCommand.isEmpty()) {
        if (fnPainted) {
            pWatch = std::make_unique<CEndLinePainted>(frame, std::move(fnPainted));
        }
        frame.View().SetCommand(strCommand);
        // The command starts before the window is shown: the shell's start overlaps the window's
        // first layout and paint. Its output waits in the pipe and the pane's hand-over until
        // the event loop runs, and the banner is in the pane before any of it, as for a pressed
        // Run.
        frame.View().RunBeforeShown();
    }
    frame.show();
    return pWatch;
}

int VexilRun(const QString& strCommand, bool bExitAtEnd) {
    // Creating the application took the whole locale from the environment; numbers keep the C
    // form, so that the library formats and parses them the same for every user.
    std::setlocale(LC_NUMERIC, "C");
    // The library's UI-thread services, over this event loop.
    auto* pUi = new CQtUiThread;
    IOrvUiThread* pPrevious = OrvSetUiThread(pUi);
    bool bPipesRunning = false;
    int nResult = 1;
    {
        CMainFrame frame;
        // The session-bus setting held back while the frame was built goes back for the
        // commands the window runs.
        VexilRestoreSessionBus();
        std::function<void(int)> fnPainted;
        if (bExitAtEnd) {
            fnPainted = [](int nStatus) { QCoreApplication::exit(nStatus); };
        }
        const std::unique_ptr<QObject> pWatch = VexilShowAndRun(frame, strCommand, fnPainted);
        // A normal close ends the loop with 1.
        const bool bQuitOnClose = QApplication::quitOnLastWindowClosed();
        QApplication::setQuitOnLastWindowClosed(false);
        const QMetaObject::Connection closed = QObject::connect(
            qApp, &QGuiApplication::lastWindowClosed, qApp, [] { QCoreApplication::exit(1); });
        nResult = QCoreApplication::exec();
        QObject::disconnect(closed);
        QApplication::setQuitOnLastWindowClosed(bQuitOnClose);
        bPipesRunning = frame.View().IsRunning();
    }
    pUi->Close();
    if (bPipesRunning) {
        // A command still runs and its reader may still reach the library's UI services: they
        // stay installed, closed (every call fails at once), until the process ends.
        return nResult;
    }
    OrvSetUiThread(pPrevious);
    delete pUi;
    return nResult;
}

int VexilMain(int argc, char** argv) {
    // The command comes from the original arguments, decoded with the locale's character set;
    // Qt sees only the program name, so that it takes none of the command's words for its own
    // options.
    std::setlocale(LC_ALL, "");
    const SVexilCommandLine cmdLine = VexilParseCommandLine(argc, argv);
    if (cmdLine.eStart != EVexilStart::Run) {
        const QByteArray text = cmdLine.strText.toLocal8Bit();
        std::FILE* pOut = cmdLine.eStart == EVexilStart::Exit ? stdout : stderr;
        std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), pOut);
        return cmdLine.eStart == EVexilStart::Exit ? 0 : 2;
    }
    // The command's words keep the program name in front of them.
    std::vector<char*> words{argv[0]};
    words.insert(words.end(), argv + cmdLine.nCommandIndex, argv + argc);
    const QString strCommand = VexilCommandFromArgs(static_cast<int>(words.size()), words.data());
    VexilEnterProgramFolder();  // on failure commands run where the program was started
    // The program's notices (such as a history file that had to be replaced) go to a daily log
    // beside the history, vexil-YYMMDD.log, made only when there is something to say.
    const std::string strHistory = CCommandHistory::DefaultPath();
    std::string strLogFolder;
    if (!strHistory.empty()) {
        strLogFolder = strHistory.substr(0, strHistory.rfind('/'));
        g_orv_log.SetLogFolder(strLogFolder.c_str(), "vexil");
    }
    VexilInstallCrashReports(strLogFolder);
    int fdProbe = -1;
    if (!VexilDisplayAvailable(&fdProbe)) {
        return 0;
    }
    VexilHoldSessionBus();
    // The font configuration is read beside the application's construction. That changes the
    // environment only to take a desktop's start-up notice out of it: with a notice there, no
    // thread is started, so that none reads the environment while it changes. Without the
    // thread, Qt reads the configuration where it first asks for a font.
    CFontConfigReader fonts;
    COrvStringA strNoThread;
    const bool bReading = std::getenv("DESKTOP_STARTUP_ID") == nullptr && fonts.Start(strNoThread);
    int nQtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(nQtArgc, qtArgv);
    if (bReading) {
        fonts.Wait();  // read once: the frame's first widget asks for a font
    }
    // Qt's own connection is made: the probe's can go without the server resetting in between.
    if (fdProbe >= 0) {
        close(fdProbe);
    }
    QApplication::setApplicationName(QStringLiteral("vexil"));
    QApplication::setDesktopFileName(QStringLiteral("vexil"));
    return VexilRun(strCommand, cmdLine.bExitAtEnd);
}
