// The display attributes of a pane's text: the runs of ITextPane::ReplaceSelStyled kept at
// positions that count every character ever appended, so that dropping old text at the front
// moves no run.
#pragma once

#include <cstdint>
#include <deque>

#include "text-pane.h"

// Runs ordered by position and not overlapping; text outside every run has the default
// attributes. Not thread-safe; the pane's owner thread.
class CTextAttrStore {
public:
    // Adds nRuns runs of a text inserted at the absolute position nAt, after every run held.
    void Add(int64_t nAt, const CTextAttrRun* pRuns, int nRuns);
    // Forgets the runs, or their parts, before the absolute position nPos (text dropped).
    void DropBefore(int64_t nPos);
    void Clear() { m_runs.clear(); }
    bool IsEmpty() const { return m_runs.empty(); }
    size_t GetCount() const { return m_runs.size(); }

    // Walks the attributes of a stretch of text from left to right.
    class CCursor {
    public:
        // The attributes of the character at the absolute position nPos, which must not be
        // before the one asked for last; the default attributes outside every run.
        const CTextAttr& At(int64_t nPos);

    private:
        friend class CTextAttrStore;
        const CTextAttrStore* m_pStore = nullptr;
        size_t m_nRun = 0;
    };
    // A cursor that starts at the absolute position nPos (binary search).
    CCursor From(int64_t nPos) const;

private:
    struct CRun {
        int64_t nStart;
        int64_t nEnd;
        CTextAttr attr;
    };
    std::deque<CRun> m_runs;
    CTextAttr m_default;
};
