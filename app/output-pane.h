// The output pane of the window: a read-only, fixed-pitch text view built for large, fast-growing
// logs. It keeps its own UTF-16 buffer with line starts, paints only the visible lines and costs
// time proportional to the inserted text on each insertion, however much text it already holds.
#pragma once

#include <QAbstractScrollArea>
#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "text-attr-store.h"
#include "text-pane.h"

// The pane's text: UTF-16 code units with the start of every line. A line ends with the pair
// CR LF; a CR or LF on its own is an ordinary (invisible) character of its line. Removing text at
// the front is cheap: the removed prefix stays in the buffer as a dead head until it is as large as
// half the live text, and is then dropped in one move, so each removed character costs a constant
// amount of work on average. Positions are character offsets from the first live character. Not
// thread-safe.
class COutputText {
public:
    int GetLength() const { return static_cast<int>(m_text.size() - m_nHead); }
    // Always at least 1: an empty text is one empty line.
    int GetLineCount() const { return static_cast<int>(m_lines.size() - m_nLineHead); }
    // The line that holds character nChar (clamped to 0..length).
    int LineFromChar(int nChar) const;
    // Offset of the first character of line nLine (clamped to the last line).
    int LineIndex(int nLine) const;
    // Characters of line nLine without its line end.
    int LineLength(int nLine) const;
    // The characters from nPos on; valid until the next change.
    const char16_t* Data(int nPos = 0) const { return m_text.data() + m_nHead + nPos; }
    // Columns of the widest line seen since the last Clear: a tab advances to the next multiple
    // of 8, East Asian wide characters take two columns, control characters none. Removing text
    // does not lower it (the scroll range only stays wider than needed).
    int GetMaxColumns() const { return m_nMaxCols; }
    // Columns of the last line, kept up to date by every change.
    int GetLastLineColumns() const { return m_nLastCols; }

    // Appends n characters (cost proportional to n).
    void Append(const char16_t* p, int n);
    // Replaces characters nStart..nEnd (clamped, ordered) by n characters. Appends and removals
    // at the front take the fast paths; any other change rebuilds the line table (cost
    // proportional to the whole text).
    void Replace(int nStart, int nEnd, const char16_t* p, int n);
    // Removes the first n characters (clamped to the length).
    void EraseFront(int n);
    void Clear();
    // The most characters the owner keeps (0: no bound). Once the text is large, its buffers are
    // reserved for that many characters and the dead head in one step, instead of doubling: a
    // reservation is only address space until it is written, and a text at its bound is then
    // never copied to grow (a copy of tens of megabytes that would stall the window).
    void SetExpectedMax(int nChars) { m_nExpectedMax = static_cast<size_t>(std::max(nChars, 0)); }

    // Columns taken by the characters p[0..n) starting at column nCol; returns the end column.
    static int AdvanceColumns(const char16_t* p, int n, int nCol);
    // Columns one code point occupies (0 for control characters other than tab, 2 for wide).
    static int CharColumns(char32_t c);

private:
    void Compact();
    void RebuildLines();
    // Makes room for n more characters and as many more lines, reserving for the expected
    // maximum once the text is large.
    void ReserveFor(int n);

    std::vector<char16_t> m_text;      // dead head, then the live text
    size_t m_nHead = 0;                // dead characters at the front of m_text
    std::vector<uint32_t> m_lines{0};  // line starts as indexes into m_text (dead head included)
    size_t m_nLineHead = 0;            // dead entries at the front of m_lines
    int m_nLastCols = 0;               // columns of the last line
    int m_nMaxCols = 0;
    size_t m_nExpectedMax = 0;
};

class COutputPane;

// The pane's side of the handle a reader thread holds (ITextPaneHost). Calls and end
// notifications go into one queue, carried out in order on the UI thread by Drain; the caller of
// Call waits for its call. Created and detached by the pane; shared with the pipes, so it outlives
// the pane.
class CQtPaneHost : public ITextPaneHost, public std::enable_shared_from_this<CQtPaneHost> {
public:
    explicit CQtPaneHost(COutputPane* pPane);
    bool Call(PaneFn pfn, void* pContext) override;
    bool IsPaneAlive() const override;
    bool PostPipeDone(uintptr_t nPipe) override;
    void Detach() override;

    // Carries out the queued calls and notifications, UI thread only (the pane's drain event).
    // While a reader streams, the next chunk's call follows within microseconds: Drain waits that
    // long for it and runs it directly, for at most one time slice, so that a flood of chunks
    // costs one trip through the event loop per slice instead of one per chunk, and the event
    // loop still gets its turn (painting, input) after every slice.
    void Drain();

private:
    struct CItem {
        PaneFn pfn = nullptr;  // null: an end notification
        void* pContext = nullptr;
        std::atomic<bool>* pbDone = nullptr;  // the waiting caller's flag; null for notifications
        uintptr_t nPipe = 0;
    };
    // Queues an item and makes sure a drain event is on its way. Caller holds m_lock.
    void QueueLocked(const CItem& item);

    mutable std::mutex m_lock;
    std::condition_variable m_done;     // a call has been carried out, or the pane went away
    std::condition_variable m_arrived;  // an item was queued
    std::deque<CItem> m_queue;
    std::atomic<int> m_nQueued{0};  // m_queue's size, for waiting without the lock
    bool m_bDrainPosted = false;
    COutputPane* m_pPane;  // null once detached; guarded by m_lock
};

// The pane widget, the Qt implementation of ITextPane. It holds at most GetLimitText()
// characters; unlike an edit control, which would cut the newest text at its limit, an insertion
// that would go beyond drops the oldest text first, so that the newest output is always shown.
// The selection has an anchor and a caret; SetSel puts the caret at the larger end. UI thread
// only, except Host(), whose handle any thread may use.
class COutputPane : public QAbstractScrollArea, public ITextPane {
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
    // Lays out pending changes (scroll bars, repaint) at once instead of on the next refresh tick.
    void FlushLayout();
    // Character nearest to a point of the viewport (clamped to the text).
    int CharFromPoint(const QPoint& pt) const;

    QSize sizeHint() const override;

signals:
    // A pipe's end notification, posted through the host; nPipe is an identity, not a pointer.
    void PipeDone(quintptr nPipe);

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
    void SetSelection(int nAnchor, int nCaret);
    void ScheduleLayout();
    void UpdateScrollBars();
    void UpdateMetrics();
    void ClampScroll();
    int ColumnOfChar(int nChar) const;
    void MoveCaret(int nPos, bool bKeepAnchor);
    void AutoScrollTick();

    // Keeps the attributes in step with a replacement of [nStart, nEnd) by nNew characters.
    void NoteReplaceForAttrs(int nStart, int nEnd, int nNew);
    void NoteEraseFrontForAttrs(int nCount);
    // The colour of an attribute colour; nDefault for the pane's own.
    QColor AttrColour(uint32_t nColour, const QColor& nDefault) const;

    COutputText m_text;
    CTextAttrStore m_attrs;   // attribute runs at absolute positions
    int64_t m_nAttrBase = 0;  // absolute position of the first live character
    std::shared_ptr<CQtPaneHost> m_pHost;
    int m_nLimit = kDefaultLimit;
    int m_nAnchor = 0;
    int m_nCaret = 0;
    int m_nTopLine = 0;  // first visible line
    int m_nLeftPx = 0;   // horizontal scroll offset in pixels
    int m_nCharW = 8;    // width of one column
    int m_nLineH = 16;   // height of one line
    int m_nAscent = 12;
    bool m_bLayoutPending = false;
    bool m_bSyncingBars = false;
    bool m_bSelecting = false;
    QTimer m_layoutTimer;      // coalesces layout and repaint while output streams in
    QTimer m_autoScrollTimer;  // scrolls while a mouse selection is dragged outside
};
