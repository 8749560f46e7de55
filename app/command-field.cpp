#include "command-field.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <limits>

CCommandField::CCommandField(QWidget* pParent) : QLineEdit(pParent) {
    // A line edit cuts its text at 32767 characters unless told otherwise, and the cut command
    // would run: commands are as long as the user makes them.
    setMaxLength(std::numeric_limits<int>::max());
    connect(this, &QLineEdit::textChanged, this, &CCommandField::OnTextChanged);
}

void CCommandField::SetCommand(const QString& strCommand) {
    m_bSetting = true;
    if (strCommand.size() <= kEditableMax) {
        m_strLong.clear();
        m_bShortened = false;
        setReadOnly(false);
        setToolTip(QString());
        setText(strCommand);
    } else {
        m_strLong = strCommand;
        m_bShortened = true;
        setReadOnly(true);
        setToolTip(
            QStringLiteral("Too long to edit here: Enter runs it whole, Ctrl+C copies it "
                           "whole, Delete empties the field"));
        setText(strCommand.left(kShownHead) +
                QStringLiteral(" \u2026 [%1 characters]").arg(strCommand.size()));
        setCursorPosition(0);
    }
    m_bSetting = false;
}

QString CCommandField::Command() const {
    return m_bShortened ? m_strLong : text();
}

void CCommandField::keyPressEvent(QKeyEvent* pEvent) {
    if (m_bShortened) {
        if (pEvent->key() == Qt::Key_Backspace || pEvent->key() == Qt::Key_Delete) {
            SetCommand(QString());
            return;
        }
        if (pEvent->matches(QKeySequence::Copy)) {
            QApplication::clipboard()->setText(m_strLong);
            return;
        }
    } else if (pEvent->matches(QKeySequence::Paste) && !isReadOnly()) {
        // A long paste goes into the field shortened at once, without being laid out first.
        const QString strPaste = QApplication::clipboard()->text();
        const QString strText = text();
        if (strText.size() - selectedText().size() + strPaste.size() > kEditableMax) {
            const int nFrom = hasSelectedText() ? selectionStart() : cursorPosition();
            const int nTo = hasSelectedText() ? selectionEnd() : cursorPosition();
            SetCommand(strText.left(nFrom) + strPaste + strText.mid(nTo));
            return;
        }
    }
    QLineEdit::keyPressEvent(pEvent);
}

void CCommandField::OnTextChanged() {
    // Any other way in (a drop, the context menu's paste, a middle click): shortened now, so that
    // the long text is laid out this once and never painted.
    if (!m_bSetting && !m_bShortened && text().size() > kEditableMax) {
        SetCommand(text());
    }
}
