// The console view: the command field, the Run button and the output pane. Run starts the field's
// command through a console pipe that streams the command's output into the pane; the view writes
// a banner line before it and "--- End of Log ---" after it, and saves the pane's text on request.
#pragma once

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "command-field.h"
#include "command-history.h"
#include "find-bar.h"
#include "orv-string.h"
#include "output-pane.h"

class CTvConsolePipe;
class CPipeExitReport;
struct CPipeExit;

// The status bar's text while a command runs, nElapsedMs after it started: "Running for 3 s".
QString VexilRunningText(qint64 nElapsedMs);
// The status bar's text once a command has ended: "Exit code 2 after 3.4 s", "Stopped (SIGTERM)
// after 12 s", "Killed by SIGSEGV after 0.2 s" ...
QString VexilExitText(const CPipeExit& exit, qint64 nElapsedMs);
// The status bar's text while the output of a command that Stop has ended is still held open by
// a process that left the command's process group (setsid), nElapsedMs after the start.
QString VexilStoppedHeldText(const CPipeExit& exit, qint64 nElapsedMs);
// A duration as the status bar shows it: "0.4 s", "3.4 s", "12 s", "2 min 5 s", "1 h 3 min".
QString VexilDurationText(qint64 nMs);

class CVexilView : public QWidget {
    Q_OBJECT
public:
    explicit CVexilView(QWidget* pParent = nullptr);
    // A pipe that still runs is not stopped: its reader finds the pane gone and ends on its own.
    ~CVexilView() override;

    // Puts text into the command field (used at start-up with the program's arguments).
    void SetCommand(const QString& strCommand);
    // Empties the pane; output of a running command continues at the top.
    void Clear();
    // Inserts text at the end of the pane, as the pipe inserts output: LF and CR LF become CR LF,
    // and near the pane's limit the oldest 255 characters go first.
    void AppendText(const char16_t* pszText);
    // Writes the pane's whole text to the file at the UTF-8 path, as UTF-8 with the pane's CR LF
    // line ends; an existing file is replaced only once the whole text is written (through a
    // temporary file beside it, see COrvReplacingFile). On failure strError holds "Cannot open file
    // " or "Error writing to file ", the path, ": " and the system's reason (and is left alone on
    // success); an existing file then stays as it was.
    bool SaveLog(const char* pszPath, COrvStringA& strError);
    // The frame's Save command: asks for a file (proposing "vexil.txt", confirming before an
    // existing file is replaced) and saves; a failure is shown in a message box owned by pOwner.
    void Save(QWidget* pOwner);

    CCommandField* CommandField() { return m_edtCommand; }
    QPushButton* RunButton() { return m_btnRun; }
    COutputPane* OutputPane() { return m_edtOutput; }
    // The find bar over the pane (Ctrl+F).
    CFindBar* FindBar() { return m_pFindBar; }
    // Whether a pipe started by this view has not yet reported its end.
    bool IsRunning() const { return m_pPipe != nullptr; }
    // How the last command that ended did, as a shell's $? gives it: its exit code, 128 + the
    // signal's number when a signal ended it, 0 when it closed its output and still runs (and
    // before any command has ended).
    int LastExitStatus() const { return m_nLastExitStatus; }
    // What the status bar shows about the command: "Ready" before the first, the running time
    // while one runs, its exit status and time after its end line.
    QString StatusText() const { return m_strStatus; }
    CCommandHistory& History() { return m_history; }

    // Runs the field's command as OnRun does, before the window is first shown (the start-up
    // command): the command's start overlaps the window's first layout and paint. A message about
    // a command that cannot start waits for the event loop, so that it comes over the window.
    void RunBeforeShown();

public slots:
    // The Run button, Enter, or the start-up command.
    void OnRun();
    // The frame's Stop command: asks the running command to end (see CConsolePipe::Stop).
    void Stop();

signals:
    // Emitted when a pipe's end notification has been handled (the end line is in the pane).
    void PipeFinished();
    // A command started or ended (Stop is enabled while one runs).
    void RunningChanged(bool bRunning);
    // The status text changed.
    void StatusChanged(const QString& strStatus);

protected:
    void keyPressEvent(QKeyEvent* pEvent) override;
    // Shows the command field's placeholder only while the field is not focused.
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;

private:
    void OnPipeDone(quintptr nPipe);
    // A message box owned by the view; held back until the event loop runs while
    // m_bHoldMessages is set.
    void Tell(const QString& strText, const QString& strCaption);
    // Tells the user that the command holds a character the locale's set cannot hold.
    void ShowUnencodable(const QString& strCommand);
    void SetStatus(const QString& strStatus);
    // What the status bar says while the command's output is open.
    QString RunningStatus() const;
    // Up and Down in the command field walk through the history.
    bool WalkHistory(bool bOlder);

    CTvConsolePipe* m_pPipe = nullptr;  // owned only until started: the pipe ends its own life
    bool m_bInteractive = false;
    bool m_bHoldMessages = false;  // set by RunBeforeShown
    COutputPane* m_edtOutput = nullptr;
    CCommandField* m_edtCommand = nullptr;
    QPushButton* m_btnRun = nullptr;
    CCommandHistory m_history{CCommandHistory::DefaultPath()};
    std::shared_ptr<CPipeExitReport> m_pExitReport;  // of the command that runs
    QElapsedTimer m_elapsed;                         // since the command started
    QTimer m_statusTimer;                            // updates the running time
    QString m_strStatus = QStringLiteral("Ready");
    int m_nLastExitStatus = 0;
    CFindBar* m_pFindBar = nullptr;
};
