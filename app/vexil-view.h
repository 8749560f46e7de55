// The console view: the command field, the Run button and the output pane. Run starts the field's
// command through a console pipe that streams the command's output into the pane; the view writes
// a banner line before it and "--- End of Log ---" after it, and saves the pane's text on request.
#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include "orv-string.h"
#include "output-pane.h"

class CTvConsolePipe;

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
    // temporary file beside it, see COrvReplacingFile). On failure strError holds "Cannot open file "
    // or "Error writing to file ", the path, ": " and the system's reason (and is left alone on
    // success); an existing file then stays as it was.
    bool SaveLog(const char* pszPath, COrvStringA& strError);
    // The frame's Save command: asks for a file (proposing "vexil.txt", confirming before an
    // existing file is replaced) and saves; a failure is shown in a message box owned by pOwner.
    void Save(QWidget* pOwner);

    QLineEdit* CommandField() { return m_edtCommand; }
    QPushButton* RunButton() { return m_btnRun; }
    COutputPane* OutputPane() { return m_edtOutput; }
    // Whether a pipe started by this view has not yet reported its end.
    bool IsRunning() const { return m_pPipe != nullptr; }

public slots:
    // The Run button, Enter, or the start-up command.
    void OnRun();

signals:
    // Emitted when a pipe's end notification has been handled (the end line is in the pane).
    void PipeFinished();

protected:
    void keyPressEvent(QKeyEvent* pEvent) override;
    // Shows the command field's placeholder only while the field is not focused.
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;

private:
    void OnPipeDone(quintptr nPipe);
    // Tells the user that the command holds a character the locale's set cannot hold.
    void ShowUnencodable(const QString& strCommand);

    CTvConsolePipe* m_pPipe = nullptr;  // owned only until started: the pipe ends its own life
    bool m_bInteractive = false;
    COutputPane* m_edtOutput = nullptr;
    QLineEdit* m_edtCommand = nullptr;
    QPushButton* m_btnRun = nullptr;
};
