// The find bar: a small panel over the top right corner of the output pane with the pattern
// field, "Match case", the position among the occurrences ("n of m") and buttons for the
// previous and next occurrence. The pane does the searching and highlighting; the bar only drives
// it.
#pragma once

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

class COutputPane;

class CFindBar : public QFrame {
    Q_OBJECT
public:
    // A child of the pane, hidden until opened.
    explicit CFindBar(COutputPane* pPane);

    // Shows the bar with the focus in its field, the field's text selected; a pattern still in
    // the field is searched again from the selection (or the top line).
    void Open();
    // Hides the bar, drops the highlights and gives the focus back to the pane.
    void Close();
    // The next (bBackward: previous) occurrence; opens the bar when it is hidden.
    void Step(bool bBackward);

    QLineEdit* Field() { return m_edtPattern; }
    QCheckBox* MatchCase() { return m_chkCase; }
    // "n of m", "No matches", or empty without a pattern.
    QString CountText() const { return m_lblCount->text(); }

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    void Search();
    void UpdateCount();
    void Place();
    // Handles the bar's own keys (Enter, F3, Escape); true when it took the key.
    bool HandleKey(QKeyEvent* pEvent);

    COutputPane* m_pPane;
    QLineEdit* m_edtPattern;
    QCheckBox* m_chkCase;
    QLabel* m_lblCount;
    QToolButton* m_btnPrevious;
    QToolButton* m_btnNext;
    QToolButton* m_btnClose;
};
