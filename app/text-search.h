// Finding a pattern in the output pane's text: every occurrence at once, fast enough to run on
// each key typed into the find bar over a full pane, and kept up to date while output streams in
// at the cost of the new text only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The simple case folding of one UTF-16 unit (one unit to one unit, so that a match ignoring case
// is as long as its pattern). Surrogates and units without a folding map to themselves. Any
// thread.
char16_t TextFoldCase(char16_t c);

// Ascending positions in blocks of a fixed size: appending never moves what is stored (a growing
// array would copy millions of positions and touch twice the memory on the way up, which is most
// of a first search over a full pane), and positions leave at the front block by block. Not
// thread-safe.
class CMatchPositions {
public:
    static constexpr int kBlockShift = 13;  // 8 Ki positions, 64 KiB a block
    static constexpr size_t kBlock = size_t(1) << kBlockShift;

    size_t size() const { return m_nEnd - m_nHead; }
    bool empty() const { return m_nEnd == m_nHead; }
    int64_t operator[](size_t i) const {
        const size_t j = m_nHead + i;
        return m_blocks[j >> kBlockShift][j & (kBlock - 1)];
    }
    int64_t back() const { return (*this)[size() - 1]; }
    void push_back(int64_t nPos) {
        if ((m_nEnd & (kBlock - 1)) == 0 && (m_nEnd >> kBlockShift) == m_blocks.size()) {
            AddBlock();
        }
        m_blocks[m_nEnd >> kBlockShift][m_nEnd & (kBlock - 1)] = nPos;
        ++m_nEnd;
    }
    // Drops the first n positions (n <= size()).
    void PopFront(size_t n);
    // Drops every position; bRelease also gives the blocks' memory back (else they are kept for
    // the next search).
    void Clear(bool bRelease);
    // Index of the first position >= nPos (size() when there is none).
    size_t LowerBound(int64_t nPos) const;

private:
    void AddBlock();

    std::vector<std::unique_ptr<int64_t[]>> m_blocks;  // in use, then spares at the end
    size_t m_nHead = 0;  // index of the first live position in m_blocks[0]
    size_t m_nEnd = 0;   // one past the last position, counted from the start of m_blocks[0]
};

// One pattern, exact or ignoring case, and the search for it. Immutable once made; any thread.
class CTextSearcher {
public:
    // An empty pattern finds nothing.
    CTextSearcher() = default;
    CTextSearcher(const char16_t* pPattern, int nLen, bool bMatchCase);

    bool IsEmpty() const { return m_pattern.empty(); }
    int Length() const { return static_cast<int>(m_pattern.size()); }

    // Appends to out the positions nBase + i of the occurrences p[i..i + Length()) in p[0..n),
    // left to right, each starting after the end of the one before (no overlaps). Returns how
    // many it appended. Cost: one pass over the text, eight positions at a time, plus a
    // comparison wherever both the pattern's first and last character fit (none for patterns of
    // one or two characters, where those two decide).
    size_t FindAll(const char16_t* p, int64_t n, int64_t nBase, std::vector<int64_t>& out) const;
    size_t FindAll(const char16_t* p, int64_t n, int64_t nBase, CMatchPositions& out) const;

private:
    template <class TOut>
    size_t FindAllInto(const char16_t* p, int64_t n, int64_t nBase, TOut& out) const;
    bool MatchesAt(const char16_t* p) const;

    std::u16string m_pattern;  // folded unless m_bMatchCase
    bool m_bMatchCase = true;
    // The units that can start and end an occurrence: the pattern's first and last unit, and
    // with case ignored every unit that folds to them. Zero count: too many to test side by
    // side (the search then folds and compares unit by unit).
    char16_t m_first[4] = {};
    int m_nFirst = 0;
    char16_t m_last[4] = {};
    int m_nLast = 0;
};

// The occurrences of a pattern in a text that grows at its end and loses characters at its
// front, in absolute positions (counted from the first character since the text was last
// cleared): an update searches only what was appended and forgets what was removed. Not
// thread-safe.
class CTextMatches {
public:
    // A new pattern (empty: none); the next Update searches the whole text.
    void SetPattern(const char16_t* pPattern, int nLen, bool bMatchCase);
    bool IsActive() const { return !m_searcher.IsEmpty(); }
    int PatternLength() const { return m_searcher.Length(); }

    // Brings the matches up to date with the live text p[0..nLen), whose first character has the
    // absolute position nDropped; nGeneration changes whenever positions are no longer
    // comparable (then the whole text is searched again). Returns whether the matches changed.
    bool Update(const char16_t* p, int nLen, int64_t nDropped, uint64_t nGeneration);

    size_t Count() const { return m_pos.size(); }
    // Absolute position of match i (0 <= i < Count()), in ascending order.
    int64_t At(size_t i) const { return m_pos[i]; }
    // Index of the first match that starts at or after nPos (Count() when there is none).
    size_t LowerBound(int64_t nPos) const;
    // The generation of the text the matches were last brought up to date with.
    uint64_t Generation() const { return m_nGeneration; }

private:
    CTextSearcher m_searcher;
    CMatchPositions m_pos;
    int64_t m_nSearchedEnd = 0;  // absolute end of the text searched so far
    uint64_t m_nGeneration = 0;
    bool m_bStale = true;  // nothing searched since the pattern was set
};
