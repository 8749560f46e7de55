// The output pane of the window: a read-only, fixed-pitch text view built for large, fast-growing
// logs. It keeps its own UTF-16 buffer with line starts, paints only the visible lines and costs
// time proportional to the inserted text on each insertion, however much text it already holds.
#pragma once

#include <QAbstractScrollArea>
#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "output-pane-host.h"
#include "output-text.h"
#include "text-attr-store.h"
#include "text-pane.h"
#include "text-search.h"

class QPainter;

// The pane widget, the Qt implementation of ITextPane. It holds at most GetLimitText()
// characters; unlike an edit control, which would cut the newest text at its limit, an insertion
// that would go beyond drops the oldest text first, so that the newest output is always shown.
// The selection has an anchor and a caret; SetSel puts the caret at the larger end. UI thread
// only, except Host(), whose handle any thread may use.
//
// A steady view: the pane follows the end of the text while its view shows the last line. Once
// the user scrolls away from it, insertions at the end no longer move the view; scrolling back
// to the end (the scroll bar, the wheel, Ctrl+End) follows again. The selection the user sees is
// kept through insertions: an insertion at the end (or the removal of old text at the front)
// moves only the insertion point that GetSel reports, while what the user selected stays
// selected, shifted with the text when old text goes. Any other SetSel or ReplaceSel becomes the
// selection the user sees, as in an edit control.
//
// Find: the pane highlights every occurrence of a pattern, keeps the occurrences up to date while
// output arrives and moves the selection from one to the next.
class COutputPane final : public QAbstractScrollArea, public ITextPane {
    Q_OBJECT
public:
    // 32 Mi characters (64 MiB of UTF-16), some 4 million lines of ordinary output. A command
    // that never stops writing keeps the pane at this size: even with the shortest lines ("y"
    // from yes), the text ring and the line-start ring stay near 140 MB resident and the program
    // near 300 MB. Text leaves at the front by moving a start index (the rings are mapped twice),
    // so no operation while output streams in depends on the text's size.
    static constexpr int kDefaultLimit = 32 * 1024 * 1024;

    explicit COutputPane(QWidget* pParent = nullptr);
    // Detaches the host first: waiting and later calls from reader threads fail at once.
    ~COutputPane() override;

    // The handle the console pipes use to reach this pane from their reader threads.
    std::shared_ptr<ITextPaneHost> Host() const { return m_pHost; }

    // ITextPane
    int GetTextLength() const override { return m_text.GetLength(); }
    unsigned GetLimitText() const override { return static_cast<unsigned>(m_nLimit); }
    void GetSel(int* pnStart, int* pnEnd) const override;
    void SetSel(int nStart, int nEnd, bool bNoScroll = false) override;
    void ReplaceSel(const char16_t* pszText) override { ReplaceSel(pszText, -1); }
    int LineFromChar(int nIndex = -1) const override;
    int LineIndex(int nLine = -1) const override;
    void ScrollCaret() override;

    // Replaces the selection by n characters (n -1: up to the NUL) and puts the caret after them.
    // pLines, when given, is the line index of the n characters (CTextLineScan), which an
    // insertion at the end copies in instead of looking for the lines.
    void ReplaceSel(const char16_t* p, int n, const CTextLineIndex* pLines = nullptr);
    // Inserts output made of several chunks (chunk.nPieces > 1) at the end as inserting them one
    // by one would leave it (the trim near the limit before each, the limit after each), in one
    // removal at the front and one insertion with the whole text's line index. False, changing
    // nothing, where one go cannot give the same result (a limit so low that the pieces' own
    // text would be trimmed): then the chunks go one by one.
    bool InsertOutputPieces(const CTextPaneOutput& chunk);
    // Display attributes: text inserted at the end keeps its runs, which are drawn (colours,
    // bold, italic, underline, strike, inverse); any other change inside the text drops them.
    void ReplaceSelStyled(const char16_t* pszText, const CTextAttrRun* pRuns, int nRuns) override;
    // The same for n characters at p, with their line index when given (see ReplaceSel).
    void ReplaceSelStyled(const char16_t* p, int n, const CTextAttrRun* pRuns, int nRuns,
                          const CTextLineIndex* pLines);
    // The attributes of the character at nPos.
    CTextAttr AttrAt(int nPos) const;
    // Sets the limit; 0 or less selects kDefaultLimit. Text beyond a lower limit stays until the
    // next insertion.
    void SetLimitText(int nLimit);
    // Replaces the whole text (an empty text clears the pane) and puts the caret at the start.
    void SetText(const char16_t* p, int n = -1);
    const COutputText& Text() const { return m_text; }
    // The whole text, or the selected part, as a QString.
    QString GetText() const;
    QString GetSelectedText() const;
    // Copies the selection to the clipboard (nothing happens without a selection).
    void Copy();
    void SelectAll();

    // First line shown at the top, and the number of whole lines the viewport shows.
    int FirstVisibleLine() const { return m_nTopLine; }
    int VisibleLineCount() const;
    // First column shown at the left; the horizontal scroll bar counts columns.
    int64_t FirstVisibleColumn() const { return m_nLeftCol; }
    // Whether insertions at the end scroll the view along (the view shows the last line).
    bool IsFollowing() const { return m_bFollow; }
    // The selection the user sees, which insertions at the end leave alone.
    void GetVisibleSel(int* pnStart, int* pnEnd) const;

    // Find. BeginFind remembers where a new pattern's search starts: the selection's start, or
    // the top line when nothing is selected. SetFindPattern searches the whole text for the
    // pattern (empty: none), highlights every occurrence and selects the first one from that
    // start on (wrapping to the first of all); false when there is none. FindNext selects the
    // next occurrence after the current one (bBackward: before it), wrapping around; false when
    // there is none. EndFind drops the pattern and its highlights.
    void BeginFind();
    bool SetFindPattern(const QString& strPattern, bool bMatchCase);
    bool FindNext(bool bBackward);
    void EndFind();
    // Occurrences the text holds now, and the number (1-based) of the selected one, 0 when no
    // occurrence is selected.
    int FindMatchCount() const;
    int FindCurrentMatch() const;
    // Lays out pending changes (scroll bars, repaint) at once instead of on the next refresh tick.
    void FlushLayout();
    // Inserts the output that reader threads have handed over and that is still waiting. Every
    // change of the text and every public reader of it that may follow output (SetSel,
    // ReplaceSel, SetText, GetText, find, save) does this first, so that output handed over before
    // is in place; painting shows what is inserted.
    void InsertWaitingOutput();
    // Character nearest to a point of the viewport (clamped to the text).
    int CharFromPoint(const QPoint& pt) const;

    QSize sizeHint() const override;

signals:
    // A pipe's end notification, posted through the host; nPipe is an identity, not a pointer.
    void PipeDone(quintptr nPipe);
    // The occurrences of the find pattern, or the selected one, changed (new output, old text
    // dropped, a new pattern, a step).
    void FindChanged();

protected:
    bool event(QEvent* pEvent) override;
    void paintEvent(QPaintEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    void scrollContentsBy(int dx, int dy) override;
    void changeEvent(QEvent* pEvent) override;
    void focusInEvent(QFocusEvent* pEvent) override;
    void focusOutEvent(QFocusEvent* pEvent) override;

private:
    // Sets the selection the user sees and the one GetSel reports.
    void SetSelection(int nAnchor, int nCaret);
    // Makes a selection set through SetSel the one the user sees, unless an insertion took it.
    void CommitSel();
    void ScheduleLayout();
    void UpdateScrollBars();
    void UpdateMetrics();
    void ClampScroll();
    int MaxTopLine() const;
    int64_t MaxLeftColumn() const;
    int64_t VisibleColumns() const;
    int64_t ColumnOfChar(int nChar) const;
    // Scrolls nPos into view (bCentre: a line out of view comes to the middle) and notes whether
    // the view now follows the end.
    void ScrollToPos(int nPos, bool bCentre = false);
    void MoveCaret(int nPos, bool bKeepAnchor);
    void AutoScrollTick();
    // Brings the find occurrences up to date with the text; emits FindChanged when they changed.
    void UpdateFind();
    void SelectMatch(size_t nIndex);

    // Keeps the attributes in step with a replacement of [nStart, nEnd) by nNew characters.
    void NoteReplaceForAttrs(int nStart, int nEnd, int nNew);
    void NoteEraseFrontForAttrs(int nCount);
    // The colour of an attribute colour; nDefault for the pane's own.
    QColor AttrColour(uint32_t nColour, const QColor& nDefault) const;

    // Inserts a batch of handed-over output, laying out once at the end.
    void InsertOutputBatch(const COutputBatch& batch);

    // Painting, line by line: the find occurrences and the selection behind the text (the
    // selection's x range on the line comes back), the text in its attributes, the selected part
    // once more in the selection's colours.
    struct CPaintFrame;
    struct CPaintLine;
    void PaintMatches(QPainter& painter, const CPaintFrame& frame, CPaintLine& line);
    std::pair<int, int> PaintSelectionBack(QPainter& painter, const CPaintFrame& frame,
                                           const CPaintLine& line);
    void PaintText(QPainter& painter, const CPaintFrame& frame, const CPaintLine& line);
    void PaintSelectedText(QPainter& painter, const CPaintFrame& frame, const CPaintLine& line,
                           std::pair<int, int> sel);
    // Counts the columns of the line's characters left of the view; returns the column reached
    // and sets i to the first character not counted.
    int64_t SkipLeftOfView(const CPaintFrame& frame, const CPaintLine& line, int& i);

    // Where the last paint stopped counting the columns of a long line left of the view.
    struct CPaintSkip {
        uint64_t nGeneration = ~uint64_t{0};
        int64_t nAbsLineOrigin = -1;  // where the line started, counted as GetDropped counts
        int64_t nAbsChar = 0;         // the first character not skipped
        int64_t nOriginCol = 0;       // its column counted from the line's origin
        int64_t nLost = 0;            // columns the line had lost from its front then
        bool bTabFree = false;        // the text held no tab then
    };

    COutputText m_text;
    CTextAttrStore m_attrs;   // attribute runs at absolute positions
    int64_t m_nAttrBase = 0;  // absolute position of the first live character
    std::shared_ptr<CQtPaneHost> m_pHost;
    int m_nLimit = kDefaultLimit;
    int m_nAnchor = 0;  // the selection the user sees
    int m_nCaret = 0;
    int m_nEditAnchor = 0;  // the selection of ITextPane (GetSel), where insertions go
    int m_nEditCaret = 0;
    bool m_bEditSelPending = false;  // set by SetSel, not yet shown or taken by an insertion
    bool m_bFollow = true;
    int m_nTopLine = 0;      // first visible line
    int64_t m_nLeftCol = 0;  // first visible column
    int m_nCharW = 8;        // width of one column
    int m_nLineH = 16;       // height of one line
    int m_nAscent = 12;
    bool m_bLayoutPending = false;
    bool m_bSelecting = false;
    QTimer m_layoutTimer;      // coalesces layout and repaint while output streams in
    QTimer m_autoScrollTimer;  // scrolls while a mouse selection is dragged outside
    // While output streams in, the stage does not wake the UI thread for each chunk: this timer
    // takes what arrived every millisecond until nothing is waiting.
    QTimer m_outputTimer;
    COutputBatch m_batch;            // the batch being inserted
    bool m_bInsertingBatch = false;  // inside InsertOutputBatch: view work waits for its end
    bool m_bBatchScroll = false;     // the caret was to be scrolled into view during the batch
    CPaintSkip m_skip;
    CTextMatches m_find;
    int64_t m_nFindOrigin = 0;    // absolute position a new pattern's search starts from
    int64_t m_nFindCurrent = -1;  // absolute position of the selected occurrence, -1: none
    uint64_t m_nFindGeneration = 0;
};
