// The output pane of the window: a read-only, fixed-pitch text view built for large, fast-growing
// logs. It keeps its own UTF-16 buffer with line starts, paints only the visible lines and costs
// time proportional to the inserted text on each insertion, however much text it already holds.
#pragma once

#include <QAbstractScrollArea>
#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "mirror-ring.h"
#include "output-stage.h"
#include "owner-call-queue.h"
#include "text-attr-store.h"
#include "text-pane.h"
#include "text-search.h"

// The pane's text: UTF-16 code units with the start of every line. A line ends with the pair
// CR LF; a CR or LF on its own is an ordinary (invisible) character of its line. The characters
// and the line starts live in mirrored rings (CMirrorRing): removing text at the front moves a
// start index and nothing else, and text that flows through a full pane is never copied again
// once it is in, so that a flood costs the same for every character however long it lasts.
// Positions are character offsets from the first live character. Not thread-safe.
class COutputText {
public:
    int GetLength() const { return static_cast<int>(m_nEnd - m_nBase); }
    // Always at least 1: an empty text is one empty line.
    int GetLineCount() const { return static_cast<int>(m_nLineEnd - m_nLineBase); }
    // The line that holds character nChar (clamped to 0..length).
    int LineFromChar(int nChar) const;
    // Offset of the first character of line nLine (clamped to the last line).
    int LineIndex(int nLine) const;
    // Characters of line nLine without its line end.
    int LineLength(int nLine) const;
    // The characters from nPos on, GetLength() - nPos of them in a row; valid until the next
    // change.
    const char16_t* Data(int nPos = 0) const {
        return m_ring.Capacity() > 0 ? m_ring.At(m_nBase + static_cast<uint64_t>(nPos)) : u"";
    }
    // Columns of the widest line the text holds now: a tab advances to the next multiple of 8,
    // East Asian wide characters take two columns, control characters none. Lines removed from
    // the front no longer count; a first line that lost its beginning counts with what is left
    // (at most a tab stop more, where its tabs fall differently). Constant time.
    int64_t GetMaxColumns() const;
    // Columns of the last line, kept up to date by every change.
    int64_t GetLastLineColumns() const { return m_nLastCols; }
    // Characters removed from the front since the text was last cleared or rewritten: the
    // position of the first live character counted over everything appended since, so that
    // positions held across changes stay comparable.
    int64_t GetDropped() const { return m_nDropped; }
    // Changes whenever positions stop being comparable to earlier ones (Clear, a change inside the
    // text); appends and removals at the front keep it.
    uint64_t GetGeneration() const { return m_nGeneration; }

    // Appends n characters (cost proportional to n). Text that cannot get memory is dropped.
    void Append(const char16_t* p, int n);
    // Replaces characters nStart..nEnd (clamped, ordered) by n characters. Appends and removals
    // at the front take the fast paths; any other change rebuilds the text (cost proportional to
    // the whole text).
    void Replace(int nStart, int nEnd, const char16_t* p, int n);
    // Removes the first n characters (clamped to the length). Cost proportional to n plus the
    // logarithm of the line count.
    void EraseFront(int n);
    void Clear();
    // The most characters the owner keeps (0: no bound). Once the text is large, the rings grow
    // straight to that many characters and a little room, instead of doubling past it: a text
    // at its bound then never has to grow (a copy of tens of megabytes that would stall the
    // window).
    void SetExpectedMax(int nChars) { m_nExpectedMax = static_cast<size_t>(std::max(nChars, 0)); }

    // Columns taken by the characters p[0..n) starting at column nCol; returns the end column.
    // 64 bits: a line of tens of millions of tabs has more columns than an int holds pixels.
    static int64_t AdvanceColumns(const char16_t* p, int n, int64_t nCol);
    // Columns one code point occupies (0 for control characters other than tab, 2 for wide).
    static int CharColumns(char32_t c);

private:
    // A complete line's width, kept while no later line is at least as wide.
    struct CLineWidth {
        int64_t nLine;  // counted from the first line since the last Clear
        int64_t nCols;
    };

    // The start of line nIndex (absolute ring index) as an absolute position's low 32 bits.
    uint32_t LineStart(uint64_t nIndex) const {
        return m_lineRing.Capacity() > 0 ? *m_lineRing.At(nIndex) : 0;
    }
    // The start of live line nLine relative to the first live character.
    int LineOffset(int nLine) const {
        return static_cast<int>(LineStart(m_nLineBase + static_cast<uint64_t>(nLine)) -
                                static_cast<uint32_t>(m_nBase));
    }
    // Room for n more characters and as many more lines; false when there is no memory.
    bool ReserveFor(int n);
    // The capacity to grow a ring to for nNeeded elements, of which nBound suffice at the bound.
    size_t GrowTo(size_t nCap, size_t nNeeded, size_t nBound) const;
    // Where Append records the lines it completes: their starts, gathered and written to the
    // line ring in pieces, and their widths, for the widest-line window.
    class CLineSink {
    public:
        explicit CLineSink(COutputText& text);
        // A line ended; the next starts at absolute position nNextStart.
        void End(uint64_t nNextStart, int64_t nCols) {
            if (m_nStarts == kStarts) {
                Flush();
            }
            m_starts[m_nStarts++] = static_cast<uint32_t>(nNextStart);
            ++m_nNextLine;
            if (m_pBack != nullptr && m_pBack->nCols == nCols) {
                m_pBack->nLine = m_nNextLine - 1;  // lines of one width: the last stands for all
            } else {
                Widest(nCols);
            }
        }
        void Flush();

    private:
        static constexpr size_t kStarts = 256;
        void Widest(int64_t nCols);
        COutputText& m_text;
        int64_t m_nNextLine;   // number of the last line, counted as CLineWidth::nLine
        CLineWidth* m_pBack;   // the window's last entry (a deque keeps its elements in place)
        size_t m_nStarts = 0;  // starts gathered in m_starts
        uint32_t m_starts[kStarts];
    };

    CMirrorRing<char16_t> m_ring;  // the characters; live from m_nBase to m_nEnd
    uint64_t m_nBase = 0;
    uint64_t m_nEnd = 0;
    CMirrorRing<uint32_t> m_lineRing;  // line starts (absolute positions, low 32 bits)
    uint64_t m_nLineBase = 0;
    uint64_t m_nLineEnd = 1;  // the first line starts at 0, even before any memory
    int64_t m_nLastCols = 0;  // columns of the last line, from its original start
    // The widest complete lines, a sliding-window maximum: widths strictly decrease from front to
    // back, and each line is wider than every complete line after it. The front is the widest
    // live line; removing lines at the front only pops entries.
    std::deque<CLineWidth> m_widest;
    int64_t m_nLinesDropped = 0;   // lines removed from the front since the last Clear
    int64_t m_nFirstDropCols = 0;  // columns of the part of the first line already removed
    int64_t m_nDropped = 0;
    uint64_t m_nGeneration = 0;
    size_t m_nExpectedMax = 0;
};

class COutputPane;

// The pane's side of the handle a reader thread holds (ITextPaneHost). Calls and end
// notifications go into one queue, carried out in order on the UI thread by Drain; the caller of
// Call waits for its call. Output goes through a stage: the reader hands a chunk over and reads
// on, and the pane inserts what waits as one batch, before the next queued item and before it
// reads or changes its text itself. Created and detached by the pane; shared with the pipes, so
// it outlives the pane.
class CQtPaneHost : public ITextPaneHost, public std::enable_shared_from_this<CQtPaneHost> {
public:
    explicit CQtPaneHost(COutputPane* pPane);
    bool Call(PaneFn pfn, void* pContext) override;
    bool IsPaneAlive() const override;
    bool PostPipeDone(uintptr_t nPipe) override;
    bool AppendOutput(const CTextPaneOutput& chunk) override;
    void Detach() override;

    // Carries out the queued calls and notifications, each after the output handed over before
    // it, for at most one time slice, after which the event loop gets its turn (painting, input)
    // and the rest follows. UI thread only (the pane's drain event).
    void Drain();
    // Moves the output waiting in the stage into batch; false (and the next chunk wakes the UI
    // thread) when none waits. UI thread only.
    bool TakeOutput(COutputBatch& batch) { return m_stage.TakeOrArm(batch); }
    // Whether the reader has got well ahead: so much waits that the next batch should follow
    // at the event loop's next turn rather than after the pane's polling interval.
    bool IsOutputBacklogged() const { return m_stage.WaitingUnits() >= m_stage.MaxUnits() / 4; }

private:
    COutputPane* const m_pPane;  // used only while the queue is attached
    COwnerCallQueue m_queue;     // woken by a drain event posted to the pane
    COutputStage m_stage;        // wakes through the queue
};

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
    // from yes), the text with its dead head and the line table stay near 200 MB resident and the
    // program below 300 MB. Dropping the dead head moves the live text once for every 16 Mi
    // characters that pass through a full pane (well under a second of such a flood), some 20 to
    // 50 ms; every other operation while output streams in is independent of the text's size.
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
    void ReplaceSel(const char16_t* p, int n);
    // Display attributes: text inserted at the end keeps its runs, which are drawn (colours,
    // bold, italic, underline, strike, inverse); any other change inside the text drops them.
    void ReplaceSelStyled(const char16_t* pszText, const CTextAttrRun* pRuns, int nRuns) override;
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

    // Where the last paint stopped counting the columns of a long line left of the view.
    struct CPaintSkip {
        uint64_t nGeneration = ~uint64_t{0};
        int64_t nAbsLineStart = -1;  // the line's start, counted as GetDropped counts
        int64_t nAbsChar = 0;        // the first character not skipped
        int64_t nCol = 0;            // its column
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
    bool m_bSyncingBars = false;
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
