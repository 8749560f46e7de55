#include "output-pane.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

// Refresh period while text changes: layout and repaint are coalesced into one per tick, so that a
// flood of small insertions costs one paint per tick and not one per insertion.
constexpr int kRefreshMs = 16;
constexpr int kMarginPx = 2;
// Characters counted left of the view, beyond which a paint remembers where it stopped.
constexpr int kSkipRemembered = 4096;

// Characters drawn as one run: printable ASCII and Latin-1, whose glyphs share the font's pitch.
bool IsRunChar(char16_t c) {
    return (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c <= 0x17F);
}

// While output streams in, the pane takes what waits in the stage this often.
constexpr int kOutputPollMs = 1;

// Characters of a text given as pointer and length: none for a null pointer, up to the
// terminating zero for a negative length.
int TextLength(const char16_t* p, int n) {
    if (p == nullptr) {
        return 0;
    }
    return n >= 0 ? n : static_cast<int>(std::char_traits<char16_t>::length(p));
}

// A scroll bar that draws itself again only when what it shows changes in pixels: while a flood
// grows the range every frame, a handle that stays at the end (a few pixels at the bottom) is not
// painted again and again. The pane sets range, page and value between BeginSync and EndSync,
// which compares what they show with what was shown before, once for all of them.
class CPaneScrollBar final : public QScrollBar {
public:
    explicit CPaneScrollBar(Qt::Orientation orientation) : QScrollBar(orientation) {}

    void BeginSync() {
        m_bSyncing = true;
        blockSignals(true);
    }
    void EndSync() {
        blockSignals(false);
        m_bSyncing = false;
        if (m_bChanged) {
            m_bChanged = false;
            sliderChange(SliderValueChange);
        }
    }

protected:
    void sliderChange(SliderChange change) override {
        if (m_bSyncing) {
            m_bChanged = true;
            return;
        }
        QStyleOptionSlider opt;
        initStyleOption(&opt);
        const QRect handle =
            style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, this);
        // the arrows show whether the handle is at either end
        const int nEnds = (value() <= minimum() ? 1 : 0) | (value() >= maximum() ? 2 : 0) |
                          (minimum() < maximum() ? 4 : 0);
        if (change != SliderOrientationChange && handle == m_handle && nEnds == m_nEnds) {
            return;
        }
        m_handle = handle;
        m_nEnds = nEnds;
        QScrollBar::sliderChange(change);
    }

private:
    QRect m_handle;
    int m_nEnds = -1;
    bool m_bSyncing = false;
    bool m_bChanged = false;
};

}  // namespace

// ---- COutputPane ----------------------------------------------------------------------------

COutputPane::COutputPane(QWidget* pParent)
    : QAbstractScrollArea(pParent), m_pHost(std::make_shared<CQtPaneHost>(this)) {
    m_text.SetExpectedMax(m_nLimit);
    // first: everything after this may lay the bars out
    setVerticalScrollBar(new CPaneScrollBar(Qt::Vertical));
    setHorizontalScrollBar(new CPaneScrollBar(Qt::Horizontal));
    QFont font;
    if (QFontDatabase::families().contains(QStringLiteral("Courier New"))) {
        font = QFont(QStringLiteral("Courier New"));
    } else {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    }
    font.setPointSize(10);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    setFont(font);
    setFocusPolicy(Qt::StrongFocus);
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setAutoFillBackground(true);
    viewport()->setBackgroundRole(QPalette::Base);
    setAttribute(Qt::WA_InputMethodEnabled, false);

    m_layoutTimer.setSingleShot(true);
    m_layoutTimer.setInterval(kRefreshMs);
    connect(&m_layoutTimer, &QTimer::timeout, this, &COutputPane::FlushLayout);
    m_outputTimer.setSingleShot(true);
    m_outputTimer.setTimerType(Qt::PreciseTimer);
    m_outputTimer.setInterval(kOutputPollMs);
    connect(&m_outputTimer, &QTimer::timeout, this, &COutputPane::InsertWaitingOutput);
    m_autoScrollTimer.setInterval(50);
    connect(&m_autoScrollTimer, &QTimer::timeout, this, &COutputPane::AutoScrollTick);
    UpdateMetrics();
    UpdateScrollBars();
}

COutputPane::~COutputPane() {
    m_pHost->Detach();
}

bool COutputPane::event(QEvent* pEvent) {
    return CQtPaneHost::HandleEvent(pEvent) || QAbstractScrollArea::event(pEvent);
}

QSize COutputPane::sizeHint() const {
    return QSize(80 * m_nCharW, 25 * m_nLineH);
}

void COutputPane::SetLimitText(int nLimit) {
    InsertWaitingOutput();
    m_nLimit = nLimit > 0 ? nLimit : kDefaultLimit;
    m_text.SetExpectedMax(m_nLimit);
}

void COutputPane::GetSel(int* pnStart, int* pnEnd) const {
    if (pnStart != nullptr) {
        *pnStart = std::min(m_nEditAnchor, m_nEditCaret);
    }
    if (pnEnd != nullptr) {
        *pnEnd = std::max(m_nEditAnchor, m_nEditCaret);
    }
}

void COutputPane::GetVisibleSel(int* pnStart, int* pnEnd) const {
    const int nAnchor = m_bEditSelPending ? m_nEditAnchor : m_nAnchor;
    const int nCaret = m_bEditSelPending ? m_nEditCaret : m_nCaret;
    if (pnStart != nullptr) {
        *pnStart = std::min(nAnchor, nCaret);
    }
    if (pnEnd != nullptr) {
        *pnEnd = std::max(nAnchor, nCaret);
    }
}

void COutputPane::SetSel(int nStart, int nEnd, bool bNoScroll) {
    InsertWaitingOutput();
    const int nLen = m_text.GetLength();
    if (nEnd < 0 || nEnd > nLen) {
        nEnd = nLen;
    }
    // The user sees this selection once the UI thread gets its turn, unless an insertion at the
    // end (or a removal at the front) takes it first: then it was only where to insert.
    if (nStart >= 0) {
        nStart = std::min(nStart, nLen);
        m_nEditAnchor = std::min(nStart, nEnd);
        m_nEditCaret = std::max(nStart, nEnd);
    } else {
        m_nEditAnchor = m_nEditCaret;
    }
    m_bEditSelPending = true;
    if (!m_bInsertingBatch) {
        viewport()->update();
    }
    if (!bNoScroll) {
        ScrollCaret();
    }
}

void COutputPane::SetSelection(int nAnchor, int nCaret) {
    const int nLen = m_text.GetLength();
    nAnchor = std::clamp(nAnchor, 0, nLen);
    nCaret = std::clamp(nCaret, 0, nLen);
    m_nEditAnchor = nAnchor;
    m_nEditCaret = nCaret;
    m_bEditSelPending = false;
    if (nAnchor == m_nAnchor && nCaret == m_nCaret) {
        return;
    }
    m_nAnchor = nAnchor;
    m_nCaret = nCaret;
    viewport()->update();
}

void COutputPane::CommitSel() {
    if (m_bEditSelPending) {
        SetSelection(m_nEditAnchor, m_nEditCaret);
    }
}

void COutputPane::ReplaceSel(const char16_t* p, int n, const CTextLineIndex* pLines) {
    InsertWaitingOutput();
    n = TextLength(p, n);
    if (n > m_nLimit) {
        // only the newest part of an oversized insertion can be held
        p += n - m_nLimit;
        n = m_nLimit;
        pLines = nullptr;
    }
    int nStart = 0;
    int nEnd = 0;
    GetSel(&nStart, &nEnd);
    NoteReplaceForAttrs(nStart, nEnd, n);
    const int nLen = m_text.GetLength();
    // Output arrives as an insertion at the end and, near the limit, a removal at the front: the
    // selection the user sees stays on its text. Anything else is an edit of the selection.
    const bool bAtEnd = nStart == nLen;
    const bool bFromFront = nStart == 0 && n == 0 && nEnd > 0 && nEnd < nLen;
    const bool bKeepView = bAtEnd || bFromFront;
    int nLinesBefore = m_text.GetLineCount();
    m_text.Replace(nStart, nEnd, p, n, pLines);
    int nCaret = nStart + n;
    int nRemoved = 0;
    int nLinesRemoved = 0;
    if (bFromFront) {
        nRemoved = nEnd;
        nLinesRemoved = nLinesBefore - m_text.GetLineCount();
    }
    // Make room by dropping the oldest text, so that the newest output is always kept.
    const int nOver = m_text.GetLength() - m_nLimit;
    if (nOver > 0) {
        nLinesBefore = m_text.GetLineCount();
        m_text.EraseFront(nOver);
        NoteEraseFrontForAttrs(nOver);
        nCaret = std::max(0, nCaret - nOver);
        nRemoved += nOver;
        nLinesRemoved += nLinesBefore - m_text.GetLineCount();
    }
    // the view stays on the lines it showed, as far as they are still there
    m_nTopLine = std::max(0, m_nTopLine - nLinesRemoved);
    m_nEditAnchor = m_nEditCaret = nCaret;
    if (bKeepView) {
        m_bEditSelPending = false;
        m_nAnchor = std::max(0, m_nAnchor - nRemoved);
        m_nCaret = std::max(0, m_nCaret - nRemoved);
    } else {
        SetSelection(nCaret, nCaret);
    }
    if (bFromFront) {
        // the caret at the start of what is left is not meant to be seen: the insertion at the
        // end that follows a removal at the front places it
        if (!m_bInsertingBatch) {
            ScheduleLayout();
        }
        return;
    }
    // as an edit control does, the replacement scrolls the caret into view (when following)
    ScrollCaret();
}

bool COutputPane::InsertOutputPieces(const CTextPaneOutput& chunk) {
    // Every step of the one-by-one insertion removes text at the front only, so what it leaves
    // is the last nKept units of the pane's text followed by the pieces; the lengths tell nKept.
    const int64_t nOld = m_text.GetLength();
    int64_t nKept = nOld;
    for (int i = 0; i < chunk.nPieces; ++i) {
        nKept = TextPaneLengthBeforeInsert(static_cast<unsigned>(nKept), GetLimitText());
        nKept = std::min<int64_t>(nKept + chunk.pPieces[i], m_nLimit);
    }
    const int64_t nErase = nOld + chunk.nText - nKept;
    if (chunk.nText > m_nLimit || (nErase > 0 && nErase >= nOld)) {
        return false;
    }
    if (nErase > 0) {
        SetSel(0, static_cast<int>(nErase), true);
        ReplaceSel(u"", 0);
    }
    const int nEnd = m_text.GetLength();
    SetSel(nEnd, nEnd);
    ScrollCaret();
    ReplaceSel(chunk.pText, chunk.nText, chunk.lines.bValid ? &chunk.lines : nullptr);
    return true;
}

void COutputPane::SetText(const char16_t* p, int n) {
    InsertWaitingOutput();
    n = TextLength(p, n);
    m_text.Clear();
    m_attrs.Clear();
    m_nAttrBase = 0;
    if (n > m_nLimit) {
        p += n - m_nLimit;
        n = m_nLimit;
    }
    m_text.Append(p, n);
    SetSelection(0, 0);
    m_nTopLine = 0;
    m_nLeftCol = 0;
    m_bFollow = true;
    ScheduleLayout();
}

// ---- display attributes ----

void COutputPane::ReplaceSelStyled(const char16_t* pszText, const CTextAttrRun* pRuns, int nRuns) {
    ReplaceSelStyled(pszText, -1, pRuns, nRuns, nullptr);
}

void COutputPane::ReplaceSelStyled(const char16_t* p, int n, const CTextAttrRun* pRuns, int nRuns,
                                   const CTextLineIndex* pLines) {
    InsertWaitingOutput();
    const int nLen = TextLength(p, n);
    int nStart = 0;
    int nEnd = 0;
    GetSel(&nStart, &nEnd);
    const bool bAtEnd = nStart == m_text.GetLength();
    // where the text's first character counts; an oversized text loses its front
    const int64_t nAt = m_nAttrBase + nStart - std::max(0, nLen - m_nLimit);
    ReplaceSel(p, nLen, pLines);
    if (bAtEnd) {
        m_attrs.Add(nAt, pRuns, nRuns);
        m_attrs.DropBefore(m_nAttrBase);
    }
}

CTextAttr COutputPane::AttrAt(int nPos) const {
    return m_attrs.From(m_nAttrBase + nPos).At(m_nAttrBase + nPos);
}

void COutputPane::NoteReplaceForAttrs(int nStart, int nEnd, int nNew) {
    if (nStart == m_text.GetLength()) {
        return;  // an append: runs of the new text are added by ReplaceSelStyled
    }
    if (nStart == 0 && nNew == 0) {
        NoteEraseFrontForAttrs(nEnd);
        return;
    }
    // A change inside the text (never made while output streams in): the positions no longer
    // hold, the text goes on without attributes.
    m_attrs.Clear();
}

void COutputPane::NoteEraseFrontForAttrs(int nCount) {
    m_nAttrBase += nCount;
    m_attrs.DropBefore(m_nAttrBase);
}

QColor COutputPane::AttrColour(uint32_t nColour, const QColor& nDefault) const {
    // The 16 standard colours, chosen to read well on a light background.
    static const QRgb s_base[16] = {0x000000, 0xC01C28, 0x26A269, 0xA2734C, 0x12488B, 0xA347BA,
                                    0x2AA1B3, 0xD0CFCC, 0x5E5C64, 0xF66151, 0x33D17A, 0xE9AD0C,
                                    0x2A7BDE, 0xC061CB, 0x33C7DE, 0xFFFFFF};
    const uint32_t nKind = nColour & CTextAttr::kColourKindMask;
    if (nKind == CTextAttr::kColourRgb) {
        return QColor(QRgb(nColour & 0xFFFFFF));
    }
    if (nKind != CTextAttr::kColourIndexed) {
        return nDefault;
    }
    const int n = static_cast<int>(nColour & 0xFF);
    if (n < 16) {
        return QColor(s_base[n]);
    }
    if (n < 232) {
        // the 6x6x6 cube
        static const int s_level[6] = {0, 95, 135, 175, 215, 255};
        return QColor(s_level[(n - 16) / 36], s_level[(n - 16) / 6 % 6], s_level[(n - 16) % 6]);
    }
    const int nGrey = 8 + (n - 232) * 10;
    return QColor(nGrey, nGrey, nGrey);
}

int COutputPane::LineFromChar(int nChar) const {
    // -1 asks for the line of the caret (or of the selection start), as in an edit control
    if (nChar < 0) {
        nChar = std::min(m_nEditAnchor, m_nEditCaret);
    }
    return m_text.LineFromChar(nChar);
}

int COutputPane::LineIndex(int nLine) const {
    if (nLine < 0) {
        nLine = m_text.LineFromChar(m_nEditCaret);
    }
    if (nLine >= m_text.GetLineCount()) {
        return -1;
    }
    return m_text.LineIndex(nLine);
}

QString COutputPane::GetText() const {
    return QString(reinterpret_cast<const QChar*>(m_text.Data()), m_text.GetLength());
}

QString COutputPane::GetSelectedText() const {
    int nStart = 0;
    int nEnd = 0;
    GetVisibleSel(&nStart, &nEnd);
    return QString(reinterpret_cast<const QChar*>(m_text.Data(nStart)), nEnd - nStart);
}

void COutputPane::Copy() {
    CommitSel();
    if (m_nAnchor != m_nCaret) {
        QApplication::clipboard()->setText(GetSelectedText());
    }
}

void COutputPane::SelectAll() {
    SetSelection(0, m_text.GetLength());
}

int COutputPane::VisibleLineCount() const {
    return std::max(1, viewport()->height() / std::max(1, m_nLineH));
}

int64_t COutputPane::VisibleColumns() const {
    return std::max(1, viewport()->width() / std::max(1, m_nCharW));
}

int COutputPane::MaxTopLine() const {
    return std::max(0, m_text.GetLineCount() - VisibleLineCount());
}

int64_t COutputPane::MaxLeftColumn() const {
    // the widest line, one column for the caret after it and the margins on both sides
    const int64_t nMarginCols = (2 * kMarginPx + m_nCharW - 1) / m_nCharW;
    const int64_t nMax = m_text.GetMaxColumns() + 1 + nMarginCols - VisibleColumns();
    // the scroll bar holds an int
    return std::clamp<int64_t>(nMax, 0, std::numeric_limits<int>::max());
}

int64_t COutputPane::ColumnOfChar(int nChar) const {
    if (nChar >= m_text.GetLength()) {
        // the end of the text: the last line's width is kept up to date by the text itself (a
        // first line that lost its start is measured, as it is drawn)
        if (m_text.GetLineCount() > 1) {
            return m_text.GetLastLineColumns();
        }
        if (m_text.IsTabFree()) {
            // one line that may have lost its front: without tabs, what it lost comes off
            return m_text.GetLastLineColumns() - m_text.GetFirstLineLostColumns();
        }
    }
    const int nLine = m_text.LineFromChar(nChar);
    const int nStart = m_text.LineIndex(nLine);
    const int nLen = std::min(nChar - nStart, m_text.LineLength(nLine));
    return COutputText::AdvanceColumns(m_text.Data(nStart), nLen, 0);
}

void COutputPane::ScrollCaret() {
    if (m_bInsertingBatch) {
        m_bBatchScroll = true;  // once, at the end of the batch
        return;
    }
    // The insertion point at the end does not pull a view the user scrolled away from the end,
    // or is selecting in, back to it.
    if (m_nEditCaret >= m_text.GetLength() && (!m_bFollow || m_bSelecting)) {
        ScheduleLayout();
        return;
    }
    ScrollToPos(m_nEditCaret);
}

void COutputPane::ScrollToPos(int nPos, bool bCentre) {
    const int nLine = m_text.LineFromChar(nPos);
    const int nVisible = VisibleLineCount();
    if (nLine < m_nTopLine || nLine >= m_nTopLine + nVisible) {
        m_nTopLine =
            bCentre ? nLine - nVisible / 2 : (nLine < m_nTopLine ? nLine : nLine - nVisible + 1);
        m_nTopLine = std::clamp(m_nTopLine, 0, MaxTopLine());
    }
    // Horizontally only when the position is not at the start of a line, which is where
    // streamed output leaves it; this keeps a flood of short lines from measuring anything.
    int64_t nCol = 0;
    if (nPos != m_text.LineIndex(nLine)) {
        nCol = ColumnOfChar(nPos);
    }
    const int64_t nCols = VisibleColumns();
    if (nCol < m_nLeftCol) {
        m_nLeftCol = std::max<int64_t>(0, nCol - nCols / 4);
    } else if (nCol + 1 > m_nLeftCol + nCols) {
        m_nLeftCol = nCol + 1 - nCols + nCols / 4;
    }
    m_bFollow = m_nTopLine >= MaxTopLine();
    ScheduleLayout();
}

void COutputPane::InsertWaitingOutput() {
    if (m_bInsertingBatch || !m_pHost->TakeOutput(m_batch)) {
        return;
    }
    InsertOutputBatch(m_batch);
    m_batch.Clear();
    // more may be arriving without a wake-up: look again soon, at once if the reader is ahead
    m_outputTimer.start(m_pHost->IsOutputBacklogged() ? 0 : kOutputPollMs);
}

void COutputPane::InsertOutputBatch(const COutputBatch& batch) {
    m_bInsertingBatch = true;
    m_bBatchScroll = false;
    for (size_t i = 0; i < batch.ChunkCount(); ++i) {
        TextPaneInsertOutputT(*this, batch.Chunk(i));
    }
    m_bInsertingBatch = false;
    // layout and repaint on the next refresh tick, however many batches arrive meanwhile
    if (m_bBatchScroll) {
        ScrollCaret();
    } else {
        ScheduleLayout();
    }
}

void COutputPane::ScheduleLayout() {
    m_bLayoutPending = true;
    if (!m_layoutTimer.isActive()) {
        m_layoutTimer.start();
    }
}

void COutputPane::FlushLayout() {
    m_layoutTimer.stop();
    m_bLayoutPending = false;
    UpdateFind();
    UpdateScrollBars();
    viewport()->update();
}

void COutputPane::ClampScroll() {
    m_nTopLine = std::clamp(m_nTopLine, 0, MaxTopLine());
    if (m_bFollow && !m_bSelecting) {
        m_nTopLine = MaxTopLine();
    }
    m_nLeftCol = std::clamp<int64_t>(m_nLeftCol, 0, MaxLeftColumn());
}

void COutputPane::UpdateScrollBars() {
    ClampScroll();
    // the pane made its bars (constructor): each shows the outcome of the changes below at once
    auto* pV = static_cast<CPaneScrollBar*>(verticalScrollBar());
    auto* pH = static_cast<CPaneScrollBar*>(horizontalScrollBar());
    pV->BeginSync();
    pH->BeginSync();
    const int nVisible = VisibleLineCount();
    pV->setRange(0, MaxTopLine());
    pV->setPageStep(nVisible);
    pV->setSingleStep(1);
    pV->setValue(m_nTopLine);
    // in columns: a line of millions of tabs is wider than an int counts pixels
    pH->setRange(0, static_cast<int>(MaxLeftColumn()));
    pH->setPageStep(static_cast<int>(VisibleColumns()));
    pH->setSingleStep(1);
    pH->setValue(static_cast<int>(m_nLeftCol));
    pV->EndSync();
    pH->EndSync();
}

void COutputPane::UpdateMetrics() {
    QFontMetrics fm(font());
    m_nCharW = std::max(1, fm.horizontalAdvance(QLatin1Char('M')));
    m_nLineH = std::max(1, fm.lineSpacing());
    m_nAscent = fm.ascent();
}

void COutputPane::scrollContentsBy(int, int) {
    // Only the user's scrolling gets here (the pane sets its bars with their signals blocked):
    // the view follows the end again once it shows the last line
    m_nTopLine = verticalScrollBar()->value();
    m_nLeftCol = horizontalScrollBar()->value();
    m_bFollow = m_nTopLine >= verticalScrollBar()->maximum();
    viewport()->update();
}

void COutputPane::resizeEvent(QResizeEvent* pEvent) {
    QAbstractScrollArea::resizeEvent(pEvent);
    // a view that follows the end keeps showing the last line
    UpdateScrollBars();
}

void COutputPane::changeEvent(QEvent* pEvent) {
    QAbstractScrollArea::changeEvent(pEvent);
    if (pEvent->type() == QEvent::FontChange) {
        UpdateMetrics();
        UpdateScrollBars();
        viewport()->update();
    }
}

void COutputPane::focusInEvent(QFocusEvent* pEvent) {
    QAbstractScrollArea::focusInEvent(pEvent);
    viewport()->update();
}

void COutputPane::focusOutEvent(QFocusEvent* pEvent) {
    QAbstractScrollArea::focusOutEvent(pEvent);
    viewport()->update();
}

// What every line of one paint shares: the colours, the selection the user sees, the columns in
// view and the find occurrences to highlight.
struct COutputPane::CPaintFrame {
    QColor textColor;
    QColor baseColor;
    QColor selBack;
    QColor selText;
    // find occurrences: all of them light, the selected one stronger
    QColor matchBack{255, 236, 140};
    QColor currentBack{255, 170, 70};
    int nSelStart = 0;
    int nSelEnd = 0;
    int nWidth = 0;
    int nCharW = 1;
    int64_t nFirstCol = 0;
    int64_t nLastCol = 0;
    int64_t nLeftPx = 0;
    int64_t nDropped = 0;
    int nMatchLen = 0;
    bool bMatches = false;

    // x of a column in the viewport, 64 bits, and the same clamped to what a QRect holds
    int64_t ColX(int64_t nCol) const { return kMarginPx + nCol * nCharW - nLeftPx; }
    int ClampX(int64_t nX) const {
        return static_cast<int>(std::clamp<int64_t>(nX, -nCharW, nWidth + nCharW));
    }
};

// One line being painted.
struct COutputPane::CPaintLine {
    int nStart;  // its first character
    int nLen;    // its characters without the line end
    const char16_t* p;
    int nY;     // top of its row
    int nBase;  // its base line
    // the units inside find occurrences: an output's own background leaves them
    std::vector<std::pair<int, int>> found;
};

void COutputPane::paintEvent(QPaintEvent*) {
    if (m_bLayoutPending) {
        // a paint requested by the system between refresh ticks shows the current state
        m_layoutTimer.stop();
        m_bLayoutPending = false;
        UpdateFind();
        UpdateScrollBars();
    }
    QPainter painter(viewport());
    painter.setFont(font());
    const QPalette& pal = palette();
    const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    CPaintFrame frame;
    frame.textColor = pal.color(QPalette::Text);
    frame.baseColor = pal.color(QPalette::Base);
    frame.selBack = pal.color(group, QPalette::Highlight);
    frame.selText = pal.color(group, QPalette::HighlightedText);
    GetVisibleSel(&frame.nSelStart, &frame.nSelEnd);
    frame.nWidth = viewport()->width();
    frame.nCharW = m_nCharW;
    frame.nFirstCol = m_nLeftCol;
    frame.nLastCol = m_nLeftCol + frame.nWidth / m_nCharW + 1;
    frame.nLeftPx = m_nLeftCol * m_nCharW;
    frame.nDropped = m_text.GetDropped();
    frame.nMatchLen = m_find.PatternLength();
    frame.bMatches =
        m_find.IsActive() && m_find.Count() > 0 && m_find.Generation() == m_text.GetGeneration();

    const int nLines = m_text.GetLineCount();
    const int nRows = viewport()->height() / m_nLineH + 1;
    CPaintLine line{};
    for (int nRow = 0; nRow < nRows && m_nTopLine + nRow < nLines; ++nRow) {
        line.nStart = m_text.LineIndex(m_nTopLine + nRow);
        line.nLen = m_text.LineLength(m_nTopLine + nRow);
        line.p = m_text.Data(line.nStart);
        line.nY = nRow * m_nLineH;
        line.nBase = line.nY + m_nAscent;
        PaintMatches(painter, frame, line);
        const std::pair<int, int> sel = PaintSelectionBack(painter, frame, line);
        PaintText(painter, frame, line);
        if (sel.second > sel.first) {
            PaintSelectedText(painter, frame, line, sel);
        }
    }

    // the caret, while the pane has the focus
    if (hasFocus()) {
        const int nCaret = m_bEditSelPending ? m_nEditCaret : m_nCaret;
        const int nLine = m_text.LineFromChar(nCaret);
        if (nLine >= m_nTopLine && nLine < m_nTopLine + nRows) {
            const int64_t nX = frame.ColX(ColumnOfChar(nCaret));
            if (nX >= 0 && nX <= frame.nWidth) {
                const int nY = (nLine - m_nTopLine) * m_nLineH;
                painter.fillRect(QRect(static_cast<int>(nX), nY, 1, m_nLineH), frame.textColor);
            }
        }
    }
}

void COutputPane::PaintMatches(QPainter& painter, const CPaintFrame& frame, CPaintLine& line) {
    // the occurrences on this line, measured left to right in one pass
    line.found.clear();
    if (!frame.bMatches) {
        return;
    }
    const int nLineEnd = line.nStart + line.nLen;
    size_t i = m_find.LowerBound(frame.nDropped + line.nStart - (frame.nMatchLen - 1));
    int nPos = 0;
    int64_t nCol = 0;
    auto advanceTo = [&](int nTo) {
        nTo = std::min(nTo, line.nLen);
        if (nTo > nPos) {
            nCol = COutputText::AdvanceColumns(line.p + nPos, nTo - nPos, nCol);
            nPos = nTo;
        }
    };
    for (; i < m_find.Count() && nCol <= frame.nLastCol; ++i) {
        const int64_t nAt = m_find.At(i) - frame.nDropped;
        if (nAt >= nLineEnd) {
            break;
        }
        advanceTo(static_cast<int>(std::max<int64_t>(nAt - line.nStart, 0)));
        line.found.emplace_back(static_cast<int>(std::max<int64_t>(nAt - line.nStart, 0)),
                                static_cast<int>(nAt - line.nStart + frame.nMatchLen));
        const int64_t nX0 = frame.ColX(nCol);
        advanceTo(static_cast<int>(nAt - line.nStart + frame.nMatchLen));
        const int64_t nX1 = frame.ColX(nCol);
        if (nX1 >= 0 && nX0 <= frame.nWidth) {
            const bool bCurrent = m_find.At(i) == m_nFindCurrent;
            painter.fillRect(
                QRect(frame.ClampX(nX0), line.nY, frame.ClampX(nX1) - frame.ClampX(nX0), m_nLineH),
                bCurrent ? frame.currentBack : frame.matchBack);
        }
    }
}

std::pair<int, int> COutputPane::PaintSelectionBack(QPainter& painter, const CPaintFrame& frame,
                                                    const CPaintLine& line) {
    // from the column of the selection's start to the column of its end on this line, one
    // column further when it takes in the line end
    const int nLineEnd = line.nStart + line.nLen;
    if (frame.nSelStart >= frame.nSelEnd || frame.nSelStart > nLineEnd ||
        frame.nSelEnd <= line.nStart) {
        return {0, 0};
    }
    const int a = std::max(frame.nSelStart, line.nStart) - line.nStart;
    const int b = std::min(frame.nSelEnd, nLineEnd) - line.nStart;
    const int64_t nColA = COutputText::AdvanceColumns(line.p, a, 0);
    int64_t nColB = nColA;
    if (nColA <= frame.nLastCol) {
        nColB = COutputText::AdvanceColumns(line.p + a, b - a, nColA);
    }
    if (frame.nSelEnd > nLineEnd) {
        ++nColB;
    }
    const int nX0 = frame.ClampX(frame.ColX(nColA));
    const int nX1 =
        frame.ClampX(nColA <= frame.nLastCol ? frame.ColX(nColB) : frame.nWidth + m_nCharW);
    painter.fillRect(QRect(nX0, line.nY, nX1 - nX0, m_nLineH), frame.selBack);
    return {nX0, nX1};
}

int64_t COutputPane::SkipLeftOfView(const CPaintFrame& frame, const CPaintLine& line, int& i) {
    // Characters wholly left of the view are only counted, runs of printable ASCII many at a
    // time: a line of millions of characters scrolled to its end costs little to paint. Where
    // the last paint stopped counting on a long line is remembered, in columns from the line's
    // original start: output arriving at the end of such a line then costs the new characters
    // only, also while the line loses its front at the pane's limit (where the text had no tab
    // when counted, what the line lost only comes off the columns).
    const char16_t* p = line.p;
    const int nLen = line.nLen;
    int64_t nCol = 0;
    i = 0;
    const int64_t nAbsStart = frame.nDropped + line.nStart;
    const bool bFirst = line.nStart == 0;
    const int64_t nOrigin = bFirst ? m_text.GetFirstLineOrigin() : nAbsStart;
    const int64_t nLost = bFirst ? m_text.GetFirstLineLostColumns() : 0;
    if (m_skip.nGeneration == m_text.GetGeneration() && m_skip.nAbsLineOrigin == nOrigin &&
        m_skip.nAbsChar >= nAbsStart && m_skip.nAbsChar - nAbsStart <= nLen &&
        (m_skip.nLost == nLost || m_skip.bTabFree) &&
        m_skip.nOriginCol - nLost + 2 < frame.nFirstCol) {
        i = static_cast<int>(m_skip.nAbsChar - nAbsStart);
        nCol = m_skip.nOriginCol - nLost;
    }
    const int iSkipFrom = i;
    while (i < nLen) {
        // printable ASCII up to the last column wholly left of the view
        const int64_t nRoom = std::min<int64_t>(frame.nFirstCol - 3 - nCol, nLen - i);
        if (nRoom >= 4) {
            const int nRun = COutputText::PrintableRun(p + i, static_cast<int>(nRoom));
            nCol += nRun;
            i += nRun;
            if (nRun == nRoom || i >= nLen) {
                continue;
            }
        }
        const int nUnits =
            IsHighSurrogate(p[i]) && i + 1 < nLen && IsLowSurrogate(p[i + 1]) ? 2 : 1;
        const int64_t nNext = COutputText::AdvanceColumns(p + i, nUnits, nCol);
        if (nNext + 2 >= frame.nFirstCol) {
            break;
        }
        nCol = nNext;
        i += nUnits;
    }
    if (i - iSkipFrom > kSkipRemembered) {
        m_skip = {m_text.GetGeneration(), nOrigin, nAbsStart + i,
                  nCol + nLost,           nLost,   m_text.IsTabFree()};
    }
    return nCol;
}

void COutputPane::PaintText(QPainter& painter, const CPaintFrame& frame, const CPaintLine& line) {
    // runs of same-pitch characters in one call, other characters in their cells
    const char16_t* p = line.p;
    const int nLen = line.nLen;
    const int nStart = line.nStart;
    painter.setPen(frame.textColor);
    QString run;
    int64_t nRunCol = -1;
    auto flush = [&]() {
        if (!run.isEmpty()) {
            painter.drawText(static_cast<int>(frame.ColX(nRunCol)), line.nBase, run);
            run.clear();
        }
        nRunCol = -1;
    };
    int i = 0;
    int64_t nCol = SkipLeftOfView(frame, line, i);
    // display attributes: a change ends the run; a background fills the cells
    CTextAttrStore::CCursor attrs = m_attrs.From(m_nAttrBase + nStart);
    CTextAttr attrNow;
    size_t nFound = 0;  // the first occurrence that does not end before the unit painted
    auto inFound = [&](int k) {
        while (nFound < line.found.size() && line.found[nFound].second <= k) {
            ++nFound;
        }
        return nFound < line.found.size() && line.found[nFound].first <= k;
    };
    bool bFoundNow = false;
    auto applyAttr = [&](int k) {
        const CTextAttr& attr = attrs.At(m_nAttrBase + nStart + k);
        const bool bFound = inFound(k);
        if (!(attr == attrNow) || bFound != bFoundNow) {
            flush();
            attrNow = attr;
            bFoundNow = bFound;
            QColor fore = AttrColour(attr.nFore, frame.textColor);
            QColor back = AttrColour(attr.nBack, frame.baseColor);
            if (attr.nFlags & CTextAttr::kInverse) {
                std::swap(fore, back);
            }
            if (attr.nFlags & CTextAttr::kFaint) {
                fore.setAlpha(128);
            }
            // inside an occurrence the highlight is the background: the pane's own text colour
            // reads on it, where the output's (white on blue, say) would not
            painter.setPen(bFound ? frame.textColor : fore);
            QFont styled = font();
            styled.setBold((attr.nFlags & CTextAttr::kBold) != 0);
            styled.setItalic((attr.nFlags & CTextAttr::kItalic) != 0);
            styled.setUnderline((attr.nFlags & CTextAttr::kUnderline) != 0);
            styled.setStrikeOut((attr.nFlags & CTextAttr::kStrike) != 0);
            painter.setFont(styled);
        }
        if ((attr.nBack != 0 || (attr.nFlags & CTextAttr::kInverse)) &&
            !(nStart + k >= frame.nSelStart && nStart + k < frame.nSelEnd) && !bFound) {
            const int64_t nNext = COutputText::AdvanceColumns(p + k, 1, nCol);
            QColor back = AttrColour(attr.nBack, frame.baseColor);
            if (attr.nFlags & CTextAttr::kInverse) {
                back = AttrColour(attr.nFore, frame.textColor);
            }
            const int nX0 = frame.ClampX(frame.ColX(nCol));
            painter.fillRect(QRect(nX0, line.nY, frame.ClampX(frame.ColX(nNext)) - nX0, m_nLineH),
                             back);
        }
    };
    const bool bAttrs = !m_attrs.IsEmpty();
    for (; i < nLen && nCol <= frame.nLastCol; ++i) {
        const char16_t c = p[i];
        if (bAttrs) {
            applyAttr(i);
        }
        if (IsRunChar(c)) {
            if (nCol >= frame.nFirstCol - 1) {
                if (nRunCol < 0) {
                    nRunCol = nCol;
                }
                run.append(QChar(c));
            }
            ++nCol;
            continue;
        }
        flush();
        int nUnits = 1;
        if (IsHighSurrogate(c) && i + 1 < nLen && IsLowSurrogate(p[i + 1])) {
            nUnits = 2;
        }
        const int64_t nNext = COutputText::AdvanceColumns(p + i, nUnits, nCol);
        if (c != u'\t' && nNext + 2 >= frame.nFirstCol && (c >= 0x20 && !(c >= 0x7F && c < 0xA0))) {
            painter.drawText(static_cast<int>(frame.ColX(nCol)), line.nBase,
                             QString(reinterpret_cast<const QChar*>(p + i), nUnits));
        }
        i += nUnits - 1;
        nCol = nNext;
    }
    flush();
    if (!attrNow.IsDefault()) {
        painter.setFont(font());
    }
}

void COutputPane::PaintSelectedText(QPainter& painter, const CPaintFrame& frame,
                                    const CPaintLine& line, std::pair<int, int> sel) {
    // the selected part once more in the selection's text colour
    const auto [nSelX0, nSelX1] = sel;
    painter.save();
    painter.setClipRect(QRect(nSelX0, line.nY, nSelX1 - nSelX0, m_nLineH));
    painter.setPen(frame.selText);
    int64_t nCol = 0;
    const char16_t* p = line.p;
    for (int i = 0; i < line.nLen && nCol <= frame.nLastCol; ++i) {
        const int64_t nNext = COutputText::AdvanceColumns(p + i, 1, nCol);
        const char16_t c = p[i];
        if (nNext + 2 >= frame.nFirstCol && frame.ColX(nNext) >= nSelX0 &&
            frame.ColX(nCol) <= nSelX1 && c >= 0x20 && c != 0x7F && !IsLowSurrogate(c)) {
            const int nUnits =
                (IsHighSurrogate(c) && i + 1 < line.nLen && IsLowSurrogate(p[i + 1])) ? 2 : 1;
            painter.drawText(static_cast<int>(frame.ColX(nCol)), line.nBase,
                             QString(reinterpret_cast<const QChar*>(p + i), nUnits));
        }
        nCol = nNext;
    }
    painter.restore();
}

int COutputPane::CharFromPoint(const QPoint& pt) const {
    const int nLines = m_text.GetLineCount();
    int nLine = m_nTopLine + (pt.y() >= 0 ? pt.y() / m_nLineH : -1 - (-pt.y()) / m_nLineH);
    nLine = std::clamp(nLine, 0, nLines - 1);
    const int nStart = m_text.LineIndex(nLine);
    const int nLen = m_text.LineLength(nLine);
    const char16_t* p = m_text.Data(nStart);
    const int64_t nX = pt.x() + m_nLeftCol * m_nCharW - kMarginPx;
    int64_t nCol = 0;
    for (int i = 0; i < nLen; ++i) {
        const int nUnits =
            (IsHighSurrogate(p[i]) && i + 1 < nLen && IsLowSurrogate(p[i + 1])) ? 2 : 1;
        const int64_t nNext = COutputText::AdvanceColumns(p + i, nUnits, nCol);
        // the nearer edge of the character's cell
        if (nX < (nCol * m_nCharW + nNext * m_nCharW) / 2) {
            return nStart + i;
        }
        nCol = nNext;
        i += nUnits - 1;
    }
    return nStart + nLen;
}

void COutputPane::MoveCaret(int nPos, bool bKeepAnchor) {
    nPos = std::clamp(nPos, 0, m_text.GetLength());
    // never between the CR and the LF of a line end
    if (nPos > 0 && nPos < m_text.GetLength() && *m_text.Data(nPos) == u'\n' &&
        *m_text.Data(nPos - 1) == u'\r') {
        nPos += nPos > m_nCaret ? 1 : -1;
    }
    SetSelection(bKeepAnchor ? m_nAnchor : nPos, nPos);
    ScrollToPos(nPos);
    FlushLayout();
}

void COutputPane::keyPressEvent(QKeyEvent* pEvent) {
    CommitSel();
    if (pEvent->matches(QKeySequence::Copy) ||
        (pEvent->key() == Qt::Key_Insert && pEvent->modifiers() == Qt::ControlModifier)) {
        Copy();
        return;
    }
    if (pEvent->matches(QKeySequence::SelectAll)) {
        SelectAll();
        return;
    }
    const bool bShift = pEvent->modifiers() & Qt::ShiftModifier;
    const bool bCtrl = pEvent->modifiers() & Qt::ControlModifier;
    const int nLine = m_text.LineFromChar(m_nCaret);
    const int nCol = m_nCaret - m_text.LineIndex(nLine);
    auto toLine = [&](int nTarget) {
        nTarget = std::clamp(nTarget, 0, m_text.GetLineCount() - 1);
        return m_text.LineIndex(nTarget) + std::min(nCol, m_text.LineLength(nTarget));
    };
    switch (pEvent->key()) {
        case Qt::Key_Left:
            MoveCaret(m_nCaret - 1, bShift);
            return;
        case Qt::Key_Right:
            MoveCaret(m_nCaret + 1, bShift);
            return;
        case Qt::Key_Up:
            MoveCaret(toLine(nLine - 1), bShift);
            return;
        case Qt::Key_Down:
            MoveCaret(toLine(nLine + 1), bShift);
            return;
        case Qt::Key_PageUp:
            MoveCaret(toLine(nLine - VisibleLineCount()), bShift);
            return;
        case Qt::Key_PageDown:
            MoveCaret(toLine(nLine + VisibleLineCount()), bShift);
            return;
        case Qt::Key_Home:
            MoveCaret(bCtrl ? 0 : m_text.LineIndex(nLine), bShift);
            return;
        case Qt::Key_End:
            MoveCaret(
                bCtrl ? m_text.GetLength() : m_text.LineIndex(nLine) + m_text.LineLength(nLine),
                bShift);
            return;
        default:
            break;
    }
    // read-only: everything else goes to the parent (accelerators, dialog keys)
    QAbstractScrollArea::keyPressEvent(pEvent);
}

void COutputPane::mousePressEvent(QMouseEvent* pEvent) {
    if (pEvent->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(pEvent);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    CommitSel();
    const int nPos = CharFromPoint(pEvent->position().toPoint());
    SetSelection((pEvent->modifiers() & Qt::ShiftModifier) ? m_nAnchor : nPos, nPos);
    m_bSelecting = true;
    viewport()->update();
}

void COutputPane::mouseMoveEvent(QMouseEvent* pEvent) {
    if (!m_bSelecting) {
        return;
    }
    const QPoint pt = pEvent->position().toPoint();
    SetSelection(m_nAnchor, CharFromPoint(pt));
    if (viewport()->rect().contains(pt)) {
        m_autoScrollTimer.stop();
    } else if (!m_autoScrollTimer.isActive()) {
        m_autoScrollTimer.start();
    }
}

void COutputPane::AutoScrollTick() {
    if (!m_bSelecting) {
        m_autoScrollTimer.stop();
        return;
    }
    const QPoint pt = viewport()->mapFromGlobal(QCursor::pos());
    SetSelection(m_nAnchor, CharFromPoint(pt));
    ScrollToPos(m_nCaret);
    FlushLayout();
}

void COutputPane::mouseReleaseEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::LeftButton && m_bSelecting) {
        m_bSelecting = false;
        m_autoScrollTimer.stop();
        // a view that follows catches up with what arrived during the drag
        ScheduleLayout();
        QClipboard* pClip = QApplication::clipboard();
        if (m_nAnchor != m_nCaret && pClip->supportsSelection()) {
            pClip->setText(GetSelectedText(), QClipboard::Selection);
        }
    }
}

void COutputPane::contextMenuEvent(QContextMenuEvent* pEvent) {
    CommitSel();
    QMenu menu(this);
    QAction* pCopy = menu.addAction(tr("&Copy"), this, &COutputPane::Copy);
    pCopy->setEnabled(m_nAnchor != m_nCaret);
    menu.addSeparator();
    menu.addAction(tr("Select &All"), this, &COutputPane::SelectAll);
    menu.exec(pEvent->globalPos());
}

void COutputPane::mouseDoubleClickEvent(QMouseEvent* pEvent) {
    if (pEvent->button() != Qt::LeftButton) {
        return;
    }
    // select the word (letters, digits, underscores) under the pointer
    const int nPos = CharFromPoint(pEvent->position().toPoint());
    const int nLine = m_text.LineFromChar(nPos);
    const int nLineStart = m_text.LineIndex(nLine);
    const int nLineEnd = nLineStart + m_text.LineLength(nLine);
    auto isWord = [&](int i) {
        const QChar c(*m_text.Data(i));
        return c.isLetterOrNumber() || c == QLatin1Char('_');
    };
    int a = nPos;
    int b = nPos;
    while (a > nLineStart && isWord(a - 1)) {
        --a;
    }
    while (b < nLineEnd && isWord(b)) {
        ++b;
    }
    SetSelection(a, b);
}

// ---- find -----------------------------------------------------------------------------------

void COutputPane::BeginFind() {
    InsertWaitingOutput();
    CommitSel();
    int nStart = 0;
    int nEnd = 0;
    GetVisibleSel(&nStart, &nEnd);
    const int nFrom = nStart != nEnd ? nStart : m_text.LineIndex(m_nTopLine);
    m_nFindOrigin = m_text.GetDropped() + nFrom;
}

bool COutputPane::SetFindPattern(const QString& strPattern, bool bMatchCase) {
    InsertWaitingOutput();
    m_find.SetPattern(reinterpret_cast<const char16_t*>(strPattern.utf16()),
                      static_cast<int>(strPattern.size()), bMatchCase);
    m_nFindCurrent = -1;
    UpdateFind();
    viewport()->update();
    bool bFound = false;
    if (m_find.Count() > 0) {
        size_t i = m_find.LowerBound(std::max(m_nFindOrigin, m_text.GetDropped()));
        SelectMatch(i < m_find.Count() ? i : 0);
        bFound = true;
    }
    emit FindChanged();
    return bFound;
}

bool COutputPane::FindNext(bool bBackward) {
    InsertWaitingOutput();
    UpdateFind();
    const size_t nCount = m_find.Count();
    if (nCount == 0) {
        return false;
    }
    // from the selected occurrence, else from the selection the user sees
    int64_t nFrom = m_nFindCurrent;
    if (nFrom < 0) {
        int nStart = 0;
        GetVisibleSel(&nStart, nullptr);
        nFrom = m_text.GetDropped() + nStart;
    }
    size_t i = 0;
    if (!bBackward) {
        i = m_find.LowerBound(m_nFindCurrent < 0 ? nFrom : nFrom + 1);
        if (i >= nCount) {
            i = 0;
        }
    } else {
        i = m_find.LowerBound(nFrom);
        i = i == 0 ? nCount - 1 : i - 1;
    }
    SelectMatch(i);
    emit FindChanged();
    return true;
}

void COutputPane::EndFind() {
    m_find.SetPattern(nullptr, 0, true);
    m_nFindCurrent = -1;
    viewport()->update();
    emit FindChanged();
}

int COutputPane::FindMatchCount() const {
    return static_cast<int>(m_find.Count());
}

int COutputPane::FindCurrentMatch() const {
    if (m_nFindCurrent < 0) {
        return 0;
    }
    const size_t i = m_find.LowerBound(m_nFindCurrent);
    return i < m_find.Count() && m_find.At(i) == m_nFindCurrent ? static_cast<int>(i) + 1 : 0;
}

void COutputPane::SelectMatch(size_t nIndex) {
    m_nFindCurrent = m_find.At(nIndex);
    const int nStart = static_cast<int>(m_nFindCurrent - m_text.GetDropped());
    SetSelection(nStart, nStart + m_find.PatternLength());
    // the start first, so that a long line shows the occurrence from its beginning
    ScrollToPos(nStart + m_find.PatternLength(), true);
    ScrollToPos(nStart, true);
    FlushLayout();
}

void COutputPane::UpdateFind() {
    if (!m_find.IsActive()) {
        return;
    }
    const uint64_t nGeneration = m_text.GetGeneration();
    bool bChanged =
        m_find.Update(m_text.Data(), m_text.GetLength(), m_text.GetDropped(), nGeneration);
    if (nGeneration != m_nFindGeneration) {
        // the text was cleared or rewritten: the selected occurrence is gone
        m_nFindGeneration = nGeneration;
        bChanged = bChanged || m_nFindCurrent >= 0;
        m_nFindCurrent = -1;
    }
    if (bChanged) {
        emit FindChanged();
    }
}
