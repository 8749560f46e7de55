#include "find-bar.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QScrollBar>
#include <algorithm>

#include "output-pane.h"

CFindBar::CFindBar(COutputPane* pPane) : QFrame(pPane), m_pPane(pPane) {
    setObjectName(QStringLiteral("findBar"));
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Raised);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);

    m_edtPattern = new QLineEdit(this);
    m_edtPattern->setObjectName(QStringLiteral("find"));
    m_edtPattern->setPlaceholderText(QStringLiteral("Find"));
    // The field's clear button comes with the bar's first opening: the window's start need not
    // look up and decode its icon.
    m_edtPattern->setMinimumWidth(16 * fontMetrics().averageCharWidth());
    m_chkCase = new QCheckBox(QStringLiteral("Match case"), this);
    m_chkCase->setObjectName(QStringLiteral("matchCase"));
    m_lblCount = new QLabel(this);
    m_lblCount->setObjectName(QStringLiteral("count"));
    m_lblCount->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("88888 of 88888")));
    m_btnPrevious = new QToolButton(this);
    m_btnPrevious->setObjectName(QStringLiteral("previous"));
    m_btnPrevious->setArrowType(Qt::UpArrow);
    m_btnPrevious->setToolTip(QStringLiteral("Previous (Shift+F3)"));
    m_btnNext = new QToolButton(this);
    m_btnNext->setObjectName(QStringLiteral("next"));
    m_btnNext->setArrowType(Qt::DownArrow);
    m_btnNext->setToolTip(QStringLiteral("Next (Enter, F3)"));
    m_btnClose = new QToolButton(this);
    m_btnClose->setObjectName(QStringLiteral("close"));
    m_btnClose->setText(QStringLiteral("\u00D7"));
    m_btnClose->setToolTip(QStringLiteral("Close (Escape)"));
    m_btnClose->setAutoRaise(true);

    auto* pLayout = new QHBoxLayout(this);
    pLayout->setContentsMargins(4, 2, 2, 2);
    pLayout->setSpacing(4);
    pLayout->addWidget(m_edtPattern, 1);
    pLayout->addWidget(m_chkCase);
    pLayout->addWidget(m_lblCount);
    pLayout->addWidget(m_btnPrevious);
    pLayout->addWidget(m_btnNext);
    pLayout->addWidget(m_btnClose);

    // incremental: every change of the pattern or of "Match case" searches again
    connect(m_edtPattern, &QLineEdit::textChanged, this, &CFindBar::Search);
    connect(m_chkCase, &QCheckBox::toggled, this, &CFindBar::Search);
    connect(m_btnPrevious, &QToolButton::clicked, this, [this] { Step(true); });
    connect(m_btnNext, &QToolButton::clicked, this, [this] { Step(false); });
    connect(m_btnClose, &QToolButton::clicked, this, &CFindBar::Close);
    connect(m_pPane, &COutputPane::FindChanged, this, &CFindBar::UpdateCount);
    m_edtPattern->installEventFilter(this);
    // the pane's size places the bar; Escape in the pane closes it
    m_pPane->installEventFilter(this);
    hide();
}

void CFindBar::Open() {
    const bool bWasVisible = isVisible();
    if (!bWasVisible) {
        m_edtPattern->setClearButtonEnabled(true);
        Place();
        show();
        raise();
        m_pPane->BeginFind();
        if (!m_edtPattern->text().isEmpty()) {
            Search();
        }
    }
    m_edtPattern->setFocus(Qt::ShortcutFocusReason);
    m_edtPattern->selectAll();
}

void CFindBar::Close() {
    if (!isVisible()) {
        return;
    }
    hide();
    m_pPane->EndFind();
    m_pPane->setFocus(Qt::OtherFocusReason);
}

void CFindBar::Step(bool bBackward) {
    if (!isVisible()) {
        Open();
    }
    m_pPane->FindNext(bBackward);
}

void CFindBar::Search() {
    m_pPane->SetFindPattern(m_edtPattern->text(), m_chkCase->isChecked());
    UpdateCount();
}

void CFindBar::UpdateCount() {
    if (m_edtPattern->text().isEmpty() || !isVisible()) {
        m_lblCount->clear();
        return;
    }
    const int nCount = m_pPane->FindMatchCount();
    const int nCurrent = m_pPane->FindCurrentMatch();
    if (nCount == 0) {
        m_lblCount->setText(QStringLiteral("No matches"));
    } else if (nCurrent == 0) {
        m_lblCount->setText(QStringLiteral("%1 matches").arg(nCount));
    } else {
        m_lblCount->setText(QStringLiteral("%1 of %2").arg(nCurrent).arg(nCount));
    }
    // The bar was sized for the count it showed when it opened: it grows when a longer count
    // would no longer fit (seven-digit counts and more), and stays as wide while it is open, so
    // that it does not jump at every step.
    if (sizeHint().width() > width()) {
        Place();
    }
}

void CFindBar::Place() {
    // over the top right corner of the pane's text area, clear of the vertical scroll bar
    const QRect area = m_pPane->viewport()->geometry();
    const QSize size = sizeHint().boundedTo(QSize(area.width(), sizeHint().height()));
    resize(size);
    move(std::max(area.left(), area.right() - size.width() - 1), area.top() + 1);
}

bool CFindBar::HandleKey(QKeyEvent* pEvent) {
    const bool bShift = pEvent->modifiers() & Qt::ShiftModifier;
    switch (pEvent->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_F3:
            Step(bShift);
            return true;
        case Qt::Key_Escape:
            Close();
            return true;
        default:
            return false;
    }
}

bool CFindBar::eventFilter(QObject* pObject, QEvent* pEvent) {
    if (pObject == m_pPane) {
        if (pEvent->type() == QEvent::Resize && isVisible()) {
            Place();
        } else if (pEvent->type() == QEvent::KeyPress && isVisible() &&
                   static_cast<QKeyEvent*>(pEvent)->key() == Qt::Key_Escape) {
            Close();
            return true;
        }
    } else if (pObject == m_edtPattern && pEvent->type() == QEvent::KeyPress) {
        // Enter stays in the bar: in the view it would run the command
        return HandleKey(static_cast<QKeyEvent*>(pEvent));
    }
    return QFrame::eventFilter(pObject, pEvent);
}

void CFindBar::keyPressEvent(QKeyEvent* pEvent) {
    if (!HandleKey(pEvent)) {
        QFrame::keyPressEvent(pEvent);
    }
}
