#include "text-attr-store.h"

#include <algorithm>

void CTextAttrStore::Add(int64_t nAt, const CTextAttrRun* pRuns, int nRuns) {
    for (int i = 0; i < nRuns; ++i) {
        if (pRuns[i].nLength <= 0 || pRuns[i].attr.IsDefault()) {
            continue;
        }
        const int64_t nStart = nAt + pRuns[i].nStart;
        const int64_t nEnd = nStart + pRuns[i].nLength;
        if (!m_runs.empty() && m_runs.back().nEnd == nStart &&
            m_runs.back().attr == pRuns[i].attr) {
            m_runs.back().nEnd = nEnd;  // a run that a read split in two
        } else if (m_runs.empty() || m_runs.back().nEnd <= nStart) {
            m_runs.push_back(CRun{nStart, nEnd, pRuns[i].attr});
        }
    }
}

void CTextAttrStore::DropBefore(int64_t nPos) {
    while (!m_runs.empty() && m_runs.front().nEnd <= nPos) {
        m_runs.pop_front();
    }
    if (!m_runs.empty() && m_runs.front().nStart < nPos) {
        m_runs.front().nStart = nPos;
    }
}

CTextAttrStore::CCursor CTextAttrStore::From(int64_t nPos) const {
    CCursor cursor;
    cursor.m_pStore = this;
    // the first run that ends after nPos
    auto it = std::upper_bound(m_runs.begin(), m_runs.end(), nPos,
                               [](int64_t n, const CRun& run) { return n < run.nEnd; });
    cursor.m_nRun = static_cast<size_t>(it - m_runs.begin());
    return cursor;
}

const CTextAttr& CTextAttrStore::CCursor::At(int64_t nPos) {
    const std::deque<CRun>& runs = m_pStore->m_runs;
    while (m_nRun < runs.size() && runs[m_nRun].nEnd <= nPos) {
        ++m_nRun;
    }
    if (m_nRun < runs.size() && runs[m_nRun].nStart <= nPos) {
        return runs[m_nRun].attr;
    }
    return m_pStore->m_default;
}
