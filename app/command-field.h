// The command field: a one-line editor for commands of any length.
#pragma once

#include <QLineEdit>
#include <QString>

// A line edit lays out its whole text on every change and every paint (the cursor blinks), which
// takes seconds for a command of megabytes and leaves the window without an answer. A command
// longer than kEditableMax characters is therefore held aside whole and shown shortened: its
// first kShownHead characters and its length. The field is read-only while it holds one: Enter
// runs it whole, Ctrl+C copies it whole, Backspace or Delete empties the field. Whatever brings
// such a command in (SetCommand, a paste, a drop) ends the same way. UI thread.
class CCommandField : public QLineEdit {
    Q_OBJECT
public:
    static constexpr int kEditableMax = 10000;
    static constexpr int kShownHead = 200;

    explicit CCommandField(QWidget* pParent = nullptr);

    // Puts the command into the field, shortened when it is longer than kEditableMax.
    void SetCommand(const QString& strCommand);
    // The command in the field, whole.
    QString Command() const;
    // Whether the field shows a command shortened.
    bool IsShortened() const { return m_bShortened; }

protected:
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    void OnTextChanged();

    QString m_strLong;  // the whole command while the field shows it shortened
    bool m_bShortened = false;
    bool m_bSetting = false;  // SetCommand is changing the text
};
