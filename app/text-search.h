// Finding a pattern in the output pane's text: every occurrence at once, fast enough to run on
// each key typed into the find bar over a full pane, and kept up to date while output streams in
// at the cost of the new text only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The simple case folding of one UTF-16 unit (one unit to one unit, so that a match ignoring case
// is as long as its pattern). Surrogates and units without a folding map to themselves. Any
// thread.
char16_t TextFoldCase(char16_t c);

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
    // comparison wherever both the pattern's first and last character fit.
    size_t FindAll(const char16_t* p, int64_t n, int64_t nBase, std::vector<int64_t>& out) const;

private:
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

    size_t Count() const { return m_pos.size() - m_nHead; }
    // Absolute position of match i (0 <= i < Count()), in ascending order.
    int64_t At(size_t i) const { return m_pos[m_nHead + i]; }
    // Index of the first match that starts at or after nPos (Count() when there is none).
    size_t LowerBound(int64_t nPos) const;
    // The generation of the text the matches were last brought up to date with.
    uint64_t Generation() const { return m_nGeneration; }

private:
    CTextSearcher m_searcher;
    std::vector<int64_t> m_pos;  // removed matches at the front, then the live ones
    size_t m_nHead = 0;
    int64_t m_nSearchedEnd = 0;  // absolute end of the text searched so far
    uint64_t m_nGeneration = 0;
    bool m_bStale = true;  // nothing searched since the pattern was set
};
