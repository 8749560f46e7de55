// The main frame of vexil (toolbar, status bar, the console view as central widget) and the
// program's start-up.
#pragma once

#include <QAction>
#include <QMainWindow>
#include <QString>
#include <QToolBar>
#include <functional>
#include <memory>

#include "vexil-view.h"

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(QWidget* pParent = nullptr);
    ~CMainFrame() override;

    CVexilView& View() { return m_view; }
    QToolBar* ToolBar() { return m_wndToolBar; }
    // The toolbar's commands, in toolbar order: Clear, Save, Stop, Print, Cut, Copy, Paste, Help.
    QAction* ActionClear() { return m_pClear; }
    QAction* ActionSave() { return m_pSave; }
    QAction* ActionStop() { return m_pStop; }
    QAction* ActionPrint() { return m_pPrint; }
    QAction* ActionCut() { return m_pCut; }
    QAction* ActionCopy() { return m_pCopy; }
    QAction* ActionPaste() { return m_pPaste; }
    QAction* ActionHelp() { return m_pHelp; }

public slots:
    // Shows the about box modally over the active window.
    void OnAppAbout();

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;

private:
    QAction* AddCommand(const QString& strIcon, const QString& strText, bool bEnabled);

    CVexilView m_view;
    QToolBar* m_wndToolBar = nullptr;
    QAction* m_pClear = nullptr;
    QAction* m_pSave = nullptr;
    QAction* m_pStop = nullptr;
    QAction* m_pPrint = nullptr;
    QAction* m_pCut = nullptr;
    QAction* m_pCopy = nullptr;
    QAction* m_pPaste = nullptr;
    QAction* m_pHelp = nullptr;
};

// The command given on the program's command line: empty without arguments; a single argument as
// it is; several arguments joined by blanks, each quoted for the shell where needed, so that the
// command runs as the user typed it (vexil ls "my dir" runs ls 'my dir'). The bytes are decoded
// with the character set commands are run with (PipeChildCharset; call setlocale first).
QString VexilCommandFromArgs(int argc, char** argv);

// Makes the folder of the program's own file the current directory, so that commands run there.
// Returns false (and changes nothing) when the folder cannot be found or entered.
bool VexilEnterProgramFolder();

// Without a session bus address and without the user's bus socket, Qt's accessibility bridge
// has the D-Bus library launch a bus of its own while the first widgets are made (a daemon
// started for this window, left running). Hold sets the address to "disabled:" for that time, so
// that no bus is looked for; Restore takes it out again, so that the commands the window runs
// get the environment the program was given. Call Hold before the QApplication is made, Restore
// once the frame is built.
void VexilHoldSessionBus();
void VexilRestoreSessionBus();

// A non-empty strCommand is put into the frame's command field and started (CVexilView::
// RunBeforeShown), then the frame is shown. With fnPainted, it is called with the command's exit
// status (CVexilView::LastExitStatus) once the end line has been painted into the shown window;
// the returned object watches for that and must live until then.
std::unique_ptr<QObject> VexilShowAndRun(CMainFrame& frame, const QString& strCommand,
                                         std::function<void(int)> fnPainted);

// Creates the frame, shows it and runs the event loop until the frame is closed; a non-empty
// strCommand is put into the command field and started before the frame is shown. Needs a
// QApplication, whose creation set the process's locale from the environment: the numeric category
// goes back to "C" here and stays so. Returns the loop's result: 1 after a normal close. With
// bExitAtEnd and a command, the frame closes by itself once the command's end line is painted, and
// the result is the command's exit status (CVexilView::LastExitStatus).
int VexilRun(const QString& strCommand, bool bExitAtEnd = false);

// The whole program: start-up on the arguments, then VexilRun. Returns the process exit code: 1
// after a normal close, the command's exit status with --exit-at-end, 0 when no frame can be
// created (no display) and after --help or
// --version, 2 for an option it does not know (the usage then goes to standard error).
int VexilMain(int argc, char** argv);
