// The output pane as the console pipe and the view see it, and the thread-safe handle through
// which a reader thread reaches it.
//
// ITextPane is the multi-line, read-only text control that shows a command's output. Its
// positions are UTF-16 code units of the whole text; a line end in the pane is the pair CR LF,
// which counts as two units; a CR or LF on its own is an ordinary character of its line. Lines are
// not wrapped, so a line is the text between two CR LF pairs. Every ITextPane member is called on
// the pane's owner thread only (the UI thread in the program) and never blocks.
//
// ITextPaneHost is the handle a reader thread holds: it carries calls over to the owner thread,
// tells whether the pane still exists and posts the end notification of a pipe. It is shared
// (std::shared_ptr), so it outlives the pane; the owner detaches it when the pane is destroyed, and
// from then on every member fails at once. Calls and posted notifications are carried out on the
// owner thread in the order in which they were made (one queue): once a Call made after a post has
// returned true, the owner has handled the post. The pipe relies on this to learn that the view has
// forgotten it before it destroys itself.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "orv-string.h"

// Display attributes of a stretch of output text, as the command selected them with SGR escape
// sequences. A colour is 0 (the pane's own colour), kColourIndexed | n (entry n of the 256-colour
// palette: 0-7 the standard colours, 8-15 their bright forms, 16-231 a 6x6x6 cube, 232-255 greys)
// or kColourRgb | 0xRRGGBB.
struct CTextAttr {
    static constexpr uint32_t kColourIndexed = 0x01000000;
    static constexpr uint32_t kColourRgb = 0x02000000;
    static constexpr uint32_t kColourKindMask = 0xFF000000;

    static constexpr uint8_t kBold = 0x01;
    static constexpr uint8_t kFaint = 0x02;
    static constexpr uint8_t kItalic = 0x04;
    static constexpr uint8_t kUnderline = 0x08;
    static constexpr uint8_t kInverse = 0x10;
    static constexpr uint8_t kStrike = 0x20;

    uint32_t nFore = 0;
    uint32_t nBack = 0;
    uint8_t nFlags = 0;

    bool IsDefault() const { return nFore == 0 && nBack == 0 && nFlags == 0; }
    bool operator==(const CTextAttr&) const = default;
};

// Attributes for nLength units from nStart (relative to the text the run list belongs to).
struct CTextAttrRun {
    int nStart = 0;
    int nLength = 0;
    CTextAttr attr;
};

class ITextPane {
public:
    virtual ~ITextPane() = default;

    // Length of the whole text in UTF-16 units (each CR LF counts two).
    virtual int GetTextLength() const = 0;

    // Most UTF-16 units the pane holds. The pane refuses to grow past it: a replacement that would
    // is cut to what fits.
    virtual unsigned GetLimitText() const = 0;

    // The selection as [*pnStart, *pnEnd), start <= end; both equal the caret position when
    // nothing is selected. Either pointer may be null.
    virtual void GetSel(int* pnStart, int* pnEnd) const = 0;

    // Selects [nStart, nEnd). A negative nEnd, or a value past the end, means the end of the text;
    // a negative nStart drops the selection and leaves the caret where it was. The caret goes to
    // nEnd (bounded); nStart > nEnd selects the same range backwards. With bNoScroll false the
    // caret is scrolled into view.
    virtual void SetSel(int nStart, int nEnd, bool bNoScroll = false) = 0;

    // Replaces the selection by the NUL-terminated text (null counts as empty) and puts the caret,
    // with nothing selected, right after the inserted text. Not undoable. Text that would take the
    // pane past its limit is cut at the limit.
    virtual void ReplaceSel(const char16_t* pszText) = 0;

    // Zero-based line that holds character nIndex; nIndex past the end gives the last line;
    // nIndex -1 gives the line of the selection's start (the caret's line when nothing is
    // selected).
    virtual int LineFromChar(int nIndex = -1) const = 0;

    // Index of the first character of line nLine, or -1 when there is no such line; nLine -1
    // means the caret's line.
    virtual int LineIndex(int nLine = -1) const = 0;

    // Scrolls the pane so that the caret is visible.
    virtual void ScrollCaret() = 0;

    // ReplaceSel that also gives the inserted text display attributes: pRuns[0..nRuns) are
    // ordered, do not overlap, lie inside the text and are relative to its start; text outside
    // every run has the default attributes. A pane that shows no attributes inserts the text
    // alone, which is what this default does.
    virtual void ReplaceSelStyled(const char16_t* pszText, const CTextAttrRun* pRuns, int nRuns) {
        (void)pRuns;
        (void)nRuns;
        ReplaceSel(pszText);
    }
};

// A complete line of a text and its width in columns.
struct CTextLineWidth {
    int64_t nLine;  // counted from the first line of the text (or of the pane, see COutputText)
    int64_t nCols;
};

// An allocator that leaves the elements a vector grows by uninitialised (trivial types only), so
// that a buffer can take the room a writer needs without being zeroed first.
template <class T>
struct CUninitAllocator : std::allocator<T> {
    CUninitAllocator() = default;
    template <class U>
    explicit CUninitAllocator(const CUninitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        static_assert(std::is_trivially_default_constructible_v<U>);
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
template <class T>
using CTextBuffer = std::vector<T, CUninitAllocator<T>>;

// The buffers a reader writes one hand-over of output in: the text, its line starts and widest
// lines (CTextLineIndex) and the lengths of its pieces, each from the buffer's start. A host that
// queues the output takes them over as they are and gives others back (see CTextPaneOutput).
struct COutputBuffers {
    CTextBuffer<char16_t> text;
    CTextBuffer<uint32_t> starts;
    CTextBuffer<CTextLineWidth> widest;
    CTextBuffer<int> pieces;
    void Swap(COutputBuffers& other) noexcept {
        text.swap(other.text);
        starts.swap(other.starts);
        widest.swap(other.widest);
        pieces.swap(other.pieces);
    }
};

// The lines of a text whose every LF ends a line (normalised text), worked out on the thread that
// made the text, so that the pane's owner copies the line starts in instead of looking for them.
// Columns are counted as COutputText counts them, from column 0 at the text's start.
struct CTextLineIndex {
    bool bValid = false;                // false: no index, the text is scanned where it goes
    const uint32_t* pStarts = nullptr;  // nLines offsets, each just after an LF
    int nLines = 0;
    int64_t nFirstCols = 0;  // columns before the first LF (of the whole text without one)
    bool bFirstTab = false;  // a tab comes before the first LF: nFirstCols depends on the start
    int nLastTab = -1;       // offset of the text's last tab (-1: none)
    int64_t nLastCols = 0;   // columns after the last LF
    // The lines 1 to nLines - 1 (ended by the LF of that number) that are wider than every later
    // one the text completes, in order; line 0's width depends on the line it continues.
    const CTextLineWidth* pWidest = nullptr;
    int nWidest = 0;
};

// One chunk of a pipe's output on its way to the end of a pane: nText units at pText, followed by a
// NUL, with line ends already normalised to CR LF, and attribute runs relative to pText. With a
// line tag, a chunk that starts at the start of a line gets the tag in front (the tags after its
// own line ends are already in the text) and no attributes. The line index, when valid, is that
// of the text (without the tag). A reader hands all the chunks of one read over together: the
// text is then nPieces chunks of the lengths at pPieces, in order, each inserted as if it came on
// its own (trimmed for near the limit on its own); such text has no tag and no runs.
struct CTextPaneOutput {
    const char16_t* pText = nullptr;
    int nText = 0;
    const CTextAttrRun* pRuns = nullptr;
    int nRuns = 0;
    const char16_t* pszLineTag = nullptr;  // null: no tags
    CTextLineIndex lines;
    const int* pPieces = nullptr;  // null (or one length): one chunk
    int nPieces = 0;
    // When not null: the buffers the text, the line index and the pieces are in, each from its
    // start, with room for the NUL after the text. A host that queues the chunk may take them
    // over instead of copying them, leaving buffers without content (but with room) in their
    // place; the caller writes its next output into whatever buffers it then has.
    COutputBuffers* pBuffers = nullptr;
};

class ITextPaneHost {
public:
    // Function run on the owner thread with the pane and the caller's context.
    using PaneFn = void (*)(ITextPane& pane, void* pContext);

    virtual ~ITextPaneHost() = default;

    // Runs pfn(pane, pContext) on the pane's owner thread and waits until it has returned; called
    // from the owner thread itself, it runs it directly. Returns true once it has run. Returns
    // false at once, without running it, when the pane is gone (detached); a call that is waiting
    // when the pane goes away is released with false. Any thread. Blocks for as long as the owner
    // thread takes to get to it, never after the pane is gone.
    virtual bool Call(PaneFn pfn, void* pContext) = 0;

    // Whether the pane still exists (false once detached). Any thread; never blocks. Only a hint
    // for a caller on another thread: the pane may go away right after it answered true.
    virtual bool IsPaneAlive() const = 0;

    // Posts the end notification of the pipe whose identity is nPipe to the pane's owner, which
    // receives it later on its own thread. nPipe is an opaque value: the receiver compares it but
    // never uses it as a pointer (the pipe may be destroyed by then). Never waits; returns false,
    // posting nothing, once the pane is gone. Any thread.
    virtual bool PostPipeDone(uintptr_t nPipe) = 0;

    // Detaches the pane: from now on Call, IsPaneAlive and PostPipeDone fail at once. Called by the
    // owner, on the owner thread, before the pane is destroyed; repeated calls do nothing.
    virtual void Detach() = 0;

    // Hands a chunk of output over to the end of the pane, where it is inserted as
    // TextPaneInsertOutput does, in the order of the calls. The chunk belongs to the pane once
    // this returns: the owner inserts it before it carries out any call or notification made after
    // it, and before the owner itself reads or changes the text (Clear and Save see it). The
    // insertion may happen later, on the owner thread, so the caller may read on meanwhile; while
    // more handed-over output waits than a pane takes in a moment, the caller is held back until
    // the owner has caught up. Returns false, inserting nothing, once the pane is gone. Any thread.
    // The default inserts it through Call and waits.
    virtual bool AppendOutput(const CTextPaneOutput& chunk);

    // Runs the callable fn(ITextPane&) through Call; same contract.
    template <class F>
    bool Invoke(F&& fn) {
        using Fn = std::remove_reference_t<F>;
        return Call([](ITextPane& pane, void* pContext) { (*static_cast<Fn*>(pContext))(pane); },
                    const_cast<void*>(static_cast<const void*>(&fn)));
    }
};

// The insertion at the end of the pane that the view's own lines and the pipe's output share, on
// the owner thread:
//  1. When the text length exceeds the limit minus 255 (unsigned 32-bit arithmetic), the first 255
//     characters are removed (selected without scrolling, replaced by nothing).
//  2. The caret goes to the end of the text, scrolled into view.
//  3. Every "\r\n" of pszText becomes "\n", then every "\n" becomes "\r\n"; a lone CR stays.
//  4. The text replaces the (empty) selection at the end.
// A null or empty pszText still does steps 1 and 2. Never fails; a text that cannot be normalised
// for want of memory is inserted as it is.
void TextPaneAppend(ITextPane& pane, const char16_t* pszText);

// Step 3 of TextPaneAppend over a buffer: writes the nLen units at p with normalised line ends to
// pOut, which has room for 2 * nLen + 1 units, adds a NUL and returns the number of units written.
// Any thread.
int TextPaneNormaliseLineEnds(const char16_t* p, int nLen, char16_t* pOut);
// Plain ASCII bytes (none NUL, ESC or above 0x7F) widened to UTF-16 in one pass: the n bytes at p
// go to pWide as they are (room for n + 16 units), and with normalised line ends, as
// TextPaneNormaliseLineEnds writes them, to pOut (room for 2 * n + 32 units; no NUL added), where
// bAfterCr tells that the unit before p is a CR. Either may be null. Returns the units written to
// pOut (n when it is null), or -1 as soon as a byte is not plain ASCII: what was written then
// means nothing. Any thread.
int TextPaneWidenAscii(const char* p, int n, bool bAfterCr, char16_t* pWide, char16_t* pOut);
// The same over a NUL-terminated text into a string of its own; false (out unchanged) when there
// is no memory for it. Any thread.
bool TextPaneNormalised(const char16_t* pszText, COrvStringW& out);

// The runs of a text after TextPaneNormaliseLineEnds: moves each of the nRuns runs of the nLen
// units at p (ordered, not overlapping) to where its units are in the normalised text. Any thread.
void TextPaneNormaliseRuns(const char16_t* p, int nLen, CTextAttrRun* pRuns, int nRuns);

// The insertion of a pipe's chunk at the end of the pane, on the owner thread: steps 1 and 2 of
// TextPaneAppend, the line tag when the caret is at the start of a line, then the text with its
// runs (without runs when tagged).
void TextPaneInsertOutput(ITextPane& pane, const CTextPaneOutput& chunk);

// Step 1 and 2 of TextPaneAppend alone: trims the pane when it is near its limit and puts the
// caret at the end. Returns the resulting caret position (the text length).
int TextPanePrepareAppend(ITextPane& pane);

// Text is removed from the front of a full pane this many characters at a time.
inline constexpr unsigned kTextPaneTrimChars = 255;

// TextPanePrepareAppend and TextPaneInsertOutput for a pane of a known type: a pane that inserts
// millions of chunks calls them on itself without a virtual call per step, and hands its
// ReplaceSel the chunk's length when it takes one, instead of having it count the units.
// The length a pane of nLength characters and limit nLimit keeps before an insertion: the front
// kTextPaneTrimChars go once the length is above the limit minus those. Unsigned on purpose, as
// the edit control's users have always computed it: a limit below 255 wraps around and never
// trims.
constexpr unsigned TextPaneLengthBeforeInsert(unsigned nLength, unsigned nLimit) {
    if (nLength > nLimit - kTextPaneTrimChars) {
        return nLength > kTextPaneTrimChars ? nLength - kTextPaneTrimChars : 0;
    }
    return nLength;
}

template <class TPane>
int TextPanePrepareAppendT(TPane& pane) {
    const unsigned nOld = static_cast<unsigned>(pane.GetTextLength());
    const unsigned nLength = TextPaneLengthBeforeInsert(nOld, pane.GetLimitText());
    if (nLength != nOld) {
        pane.SetSel(0, static_cast<int>(kTextPaneTrimChars), true);
        pane.ReplaceSel(u"");
    }
    pane.SetSel(static_cast<int>(nLength), static_cast<int>(nLength));
    pane.ScrollCaret();
    return static_cast<int>(nLength);
}

template <class TPane>
void TextPaneInsertOutputT(TPane& pane, const CTextPaneOutput& chunk) {
    if (chunk.nPieces > 1) {
        if constexpr (requires { pane.InsertOutputPieces(chunk); }) {
            if (pane.InsertOutputPieces(chunk)) {
                return;  // the pane worked out what the pieces leave and took them in one go
            }
        }
        // each piece on its own, the pane measuring it (the index is that of the whole text)
        const char16_t* p = chunk.pText;
        for (int i = 0; i < chunk.nPieces; ++i) {
            CTextPaneOutput piece;
            piece.nText = chunk.pPieces[i];
            COrvStringW copy;  // a NUL after the piece, for a pane that takes none but that
            if constexpr (requires { pane.ReplaceSel(p, piece.nText); }) {
                piece.pText = p;
            } else {
                copy = COrvStringW(p, piece.nText);
                piece.pText = copy;
            }
            TextPaneInsertOutputT(pane, piece);
            p += piece.nText;
        }
        return;
    }
    TextPanePrepareAppendT(pane);
    if (chunk.pszLineTag != nullptr) {
        // At the start of a line (or of an empty pane) the line begins with its tag.
        int nSelStart = 0;
        pane.GetSel(&nSelStart, nullptr);
        if (nSelStart == pane.LineIndex(pane.LineFromChar(-1))) {
            pane.ReplaceSel(chunk.pszLineTag);
        }
    }
    if constexpr (requires { pane.ReplaceSel(chunk.pText, chunk.nText, &chunk.lines); }) {
        // a pane that takes the chunk's line index with it
        const CTextLineIndex* pLines = chunk.lines.bValid ? &chunk.lines : nullptr;
        if (chunk.nRuns > 0 && chunk.pszLineTag == nullptr) {
            pane.ReplaceSelStyled(chunk.pText, chunk.nText, chunk.pRuns, chunk.nRuns, pLines);
        } else {
            pane.ReplaceSel(chunk.pText, chunk.nText, pLines);
        }
    } else if (chunk.nRuns > 0 && chunk.pszLineTag == nullptr) {
        pane.ReplaceSelStyled(chunk.pText, chunk.pRuns, chunk.nRuns);
    } else if constexpr (requires { pane.ReplaceSel(chunk.pText, chunk.nText); }) {
        pane.ReplaceSel(chunk.pText, chunk.nText);
    } else {
        pane.ReplaceSel(chunk.pText);
    }
}
