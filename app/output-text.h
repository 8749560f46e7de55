// The output pane's text model: the characters and the line index in mirrored rings, with the
// widest line kept up to date, and the column rules the view paints by.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "mirror-ring.h"
#include "text-pane.h"

// The halves of a UTF-16 surrogate pair.
inline bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
inline bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

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
    // (at most a tab stop more, where tabs are left that fall differently). Constant time.
    int64_t GetMaxColumns() const;
    // Columns of the last line, kept up to date by every change.
    int64_t GetLastLineColumns() const { return m_nLastCols; }
    // Characters removed from the front since the text was last cleared or rewritten: the
    // position of the first live character counted over everything appended since, so that
    // positions held across changes stay comparable.
    int64_t GetDropped() const { return m_nDropped; }
    // Whether the live text holds no tab: columns then add up the same from any start, so that
    // the columns of a line that lost its front follow from those counted from its old start.
    bool IsTabFree() const { return m_nTabEnd <= m_nBase; }
    // Columns of the part of the first line removed from the front (0 when it lost nothing), and
    // where that line started, counted as GetDropped counts.
    int64_t GetFirstLineLostColumns() const {
        MeasureFirstDrop();
        return m_nFirstDropCols;
    }
    int64_t GetFirstLineOrigin() const {
        return m_nDropped - static_cast<int64_t>(m_nBase - m_nFirstLineOrigin);
    }
    // The number of printable ASCII units (one column each) at the start of p[0..n).
    static int PrintableRun(const char16_t* p, int n);
    // Changes whenever positions stop being comparable to earlier ones (Clear, a change inside the
    // text); appends and removals at the front keep it.
    uint64_t GetGeneration() const { return m_nGeneration; }

    // Appends n characters (cost proportional to n). Text that cannot get memory is dropped.
    // pLines, when given, is the text's line index (CTextLineScan): its line starts are copied
    // in instead of being looked for.
    void Append(const char16_t* p, int n, const CTextLineIndex* pLines = nullptr);
    // Replaces characters nStart..nEnd (clamped, ordered) by n characters. Appends and removals
    // at the front take the fast paths; any other change rebuilds the text (cost proportional to
    // the whole text). pLines is used by an append only.
    void Replace(int nStart, int nEnd, const char16_t* p, int n,
                 const CTextLineIndex* pLines = nullptr);
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
    // A complete line's width, kept while no later line is at least as wide; its line is
    // counted from the first line since the last Clear.
    using CLineWidth = CTextLineWidth;

    // The start of line nIndex (absolute ring index) as an absolute position's low 32 bits.
    uint32_t LineStart(uint64_t nIndex) const {
        return m_lineRing.Capacity() > 0 ? *m_lineRing.At(nIndex) : 0;
    }
    // The start of live line nLine relative to the first live character.
    int LineOffset(int nLine) const {
        return static_cast<int>(LineStart(m_nLineBase + static_cast<uint64_t>(nLine)) -
                                static_cast<uint32_t>(m_nBase));
    }
    // Measures what the first line lost up to m_nBase into m_nFirstDropCols.
    void MeasureFirstDrop() const;
    // Room for n more characters and as many more lines; false when there is no memory.
    bool ReserveFor(int n);
    // The capacity to grow a ring to for nNeeded elements, of which nBound suffice at the bound.
    size_t GrowTo(size_t nCap, size_t nNeeded, size_t nBound) const;
    // Where Append records the lines it completes: their starts, gathered and written to the
    // line ring in pieces, and their widths, for the widest-line window.
    class CLineSink {
    public:
        explicit CLineSink(COutputText& text);
        // A line ended; the next starts at nNext units after the start of the appended text.
        void End(int nNext, int64_t nCols) {
            if (m_nStarts == kStarts) {
                Flush();
            }
            m_starts[m_nStarts++] = static_cast<uint32_t>(m_nBase + static_cast<uint64_t>(nNext));
            ++m_nNextLine;
            if (m_pBack != nullptr && m_pBack->nCols == nCols) {
                m_pBack->nLine = m_nNextLine - 1;  // lines of one width: the last stands for all
            } else {
                Widest(m_nNextLine - 1, nCols);
            }
        }
        // widths are counted from the line's start; a tab is noted for IsTabFree
        static constexpr bool kNotesTabs = true;
        void Tab(int nAt) { m_text.m_nTabEnd = m_nBase + static_cast<uint64_t>(nAt) + 1; }
        // The starts of n lines at the offsets from the absolute position nBase.
        void Starts(uint64_t nBase, const uint32_t* pOffsets, int n);
        // The number of the line the next line end completes, and a move past n line ends whose
        // starts and widths were given on their own.
        int64_t FirstNewLine() const { return m_nNextLine; }
        void Advance(int n) { m_nNextLine += n; }
        // Line nLine, nCols wide, completed after every line in the window.
        void Widest(int64_t nLine, int64_t nCols);
        void Flush();

    private:
        // starts go to the ring a buffer's worth at a time: one write of the ring's file each
        static constexpr size_t kStarts = 4096;
        COutputText& m_text;
        uint64_t m_nBase;      // absolute position of the appended text
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
    int64_t m_nLinesDropped = 0;  // lines removed from the front since the last Clear
    // Columns of the part of the first line already removed: m_nFirstDropCols for the part
    // before m_nFirstDropFrom, and the removed characters from there to m_nBase, still in the
    // ring, measured when asked for (MeasureFirstDrop) or before they are overwritten.
    mutable int64_t m_nFirstDropCols = 0;
    mutable uint64_t m_nFirstDropFrom = 0;
    uint64_t m_nFirstLineOrigin = 0;  // where the first line started before it lost its front
    uint64_t m_nTabEnd = 0;           // just after the last tab appended (0: none yet)
    int64_t m_nDropped = 0;
    uint64_t m_nGeneration = 0;
    size_t m_nExpectedMax = 0;
};

// Works out the line index of texts on the thread that makes them (a pipe's reader), so that the
// pane's owner only copies the starts in (COutputText::Append). Keeps its buffers from one text to
// the next. Not thread-safe; any one thread.
class CTextLineScan {
public:
    // The index of the n units at p, valid until the next Scan. Every LF after a CR ends a line
    // (in normalised text, every LF); an LF at p[0] is taken as not after a CR.
    const CTextLineIndex& Scan(const char16_t* p, int n) { return Scan(p, n, m_starts, m_widest); }
    // The same with the line starts and widest lines written to the given buffers (from their
    // starts), which grow as needed.
    const CTextLineIndex& Scan(const char16_t* p, int n, CTextBuffer<uint32_t>& starts,
                               CTextBuffer<CTextLineWidth>& widest);

private:
    struct CSink;
    CTextBuffer<uint32_t> m_starts;
    CTextBuffer<CTextLineWidth> m_widest;
    CTextLineIndex m_index;
};
