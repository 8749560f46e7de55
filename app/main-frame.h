// The main frame of vexil (toolbar, status bar, the console view as central widget) and the
// program's start-up.
#pragma once

#include <QAction>
#include <QMainWindow>
#include <QString>
#include <QToolBar>

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

// Creates the frame, shows it and runs the event loop until the frame is closed; a non-empty
// strCommand is put into the command field and run once the loop runs. Needs a QApplication,
// whose creation set the process's locale from the environment: the numeric category goes back
// to "C" here and stays so. Returns the loop's result: 1 after a normal close. With bExitAtEnd
// and a command, the frame closes by itself once the command's end line is painted, and the
// result is the command's exit status (CVexilView::LastExitStatus).
int VexilRun(const QString& strCommand, bool bExitAtEnd = false);

// The whole program: start-up on the arguments, then VexilRun. Returns the process exit code: 1
// after a normal close, the command's exit status with --exit-at-end, 0 when no frame can be
// created (no display) and after --help or
// --version, 2 for an option it does not know (the usage then goes to standard error).
int VexilMain(int argc, char** argv);
