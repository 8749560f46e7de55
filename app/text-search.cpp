#include "text-search.h"

#include <QChar>
#include <algorithm>
#include <array>
#include <cstring>

namespace {

// The folding of every UTF-16 unit, made once: one table look-up per character compared.
const std::array<char16_t, 65536>& FoldTable() {
    static const std::array<char16_t, 65536> table = [] {
        std::array<char16_t, 65536> t{};
        for (uint32_t c = 0; c < 65536; ++c) {
            const char32_t f = QChar::toCaseFolded(static_cast<char32_t>(c));
            t[c] = f < 0x10000 ? static_cast<char16_t>(f) : static_cast<char16_t>(c);
        }
        return t;
    }();
    return table;
}

// Eight units side by side (one SSE register); the compiler turns the comparisons into vector
// instructions.
using CUnits8 = uint16_t __attribute__((vector_size(16)));
constexpr int kLanes = 8;

// Up to four units, each repeated in every lane; unused slots repeat the first unit, which
// costs nothing and changes nothing.
struct CUnitSet {
    CUnits8 v[4];
    explicit CUnitSet(const char16_t* set, int nSet) {
        for (int k = 0; k < 4; ++k) {
            for (int i = 0; i < kLanes; ++i) {
                v[k][i] = set[k < nSet ? k : 0];
            }
        }
    }
    // Lanes of the eight units at p that hold one of the units, as all ones.
    CUnits8 Hits(const char16_t* p) const {
        CUnits8 x;
        std::memcpy(&x, p, sizeof x);
        return reinterpret_cast<CUnits8>((x == v[0]) | (x == v[1]) | (x == v[2]) | (x == v[3]));
    }
};

bool Any(const CUnits8& hits) {
    uint64_t words[2];
    std::memcpy(words, &hits, sizeof words);
    return (words[0] | words[1]) != 0;
}

// The units that fold to the same unit as c (c itself when matching case): at most four, else
// zero (then the search folds every unit instead of comparing side by side).
int UnitsFoldingLike(char16_t c, bool bMatchCase, char16_t* out) {
    if (bMatchCase) {
        out[0] = c;
        return 1;
    }
    const auto& fold = FoldTable();
    int n = 0;
    for (uint32_t u = 0; u < 65536; ++u) {
        if (fold[u] == c) {
            if (n == 4) {
                return 0;
            }
            out[n++] = static_cast<char16_t>(u);
        }
    }
    return n;
}

}  // namespace

char16_t TextFoldCase(char16_t c) {
    return FoldTable()[c];
}

CTextSearcher::CTextSearcher(const char16_t* pPattern, int nLen, bool bMatchCase)
    : m_bMatchCase(bMatchCase) {
    if (pPattern == nullptr || nLen <= 0) {
        return;
    }
    m_pattern.assign(pPattern, static_cast<size_t>(nLen));
    if (!m_bMatchCase) {
        const auto& fold = FoldTable();
        for (char16_t& c : m_pattern) {
            c = fold[c];
        }
    }
    // usually two units each (a, A); a few letters have three or four forms
    m_nFirst = UnitsFoldingLike(m_pattern.front(), m_bMatchCase, m_first);
    m_nLast = UnitsFoldingLike(m_pattern.back(), m_bMatchCase, m_last);
}

bool CTextSearcher::MatchesAt(const char16_t* p) const {
    const size_t n = m_pattern.size();
    if (m_bMatchCase) {
        return std::memcmp(p, m_pattern.data(), n * sizeof(char16_t)) == 0;
    }
    const auto& fold = FoldTable();
    for (size_t k = 0; k < n; ++k) {
        if (fold[p[k]] != m_pattern[k]) {
            return false;
        }
    }
    return true;
}

size_t CTextSearcher::FindAll(const char16_t* p, int64_t n, int64_t nBase,
                              std::vector<int64_t>& out) const {
    return FindAllInto(p, n, nBase, out);
}

size_t CTextSearcher::FindAll(const char16_t* p, int64_t n, int64_t nBase,
                              CMatchPositions& out) const {
    return FindAllInto(p, n, nBase, out);
}

template <class TOut>
size_t CTextSearcher::FindAllInto(const char16_t* p, int64_t n, int64_t nBase, TOut& out) const {
    const int64_t m = Length();
    if (m == 0 || n < m) {
        return 0;
    }
    const size_t nBefore = out.size();
    const int64_t nLastStart = n - m;
    int64_t nNext = 0;  // the first position an occurrence may start at (no overlaps)
    auto tryAt = [&](int64_t i) {
        if (i >= nNext && MatchesAt(p + i)) {
            out.push_back(nBase + i);
            nNext = i + m;
        }
    };
    int64_t i = 0;
    if (m_nFirst > 0 && m_nLast > 0) {
        // Eight candidate starts at a time: a start counts only when its first unit and the
        // unit m - 1 further on both fit the pattern's ends, which leaves few to compare. The
        // sets hold exactly the units that fit, so for one or two units the fit is the match.
        const CUnitSet first(m_first, m_nFirst);
        const CUnitSet last(m_last, m_nLast);
        const bool bEndsDecide = m <= 2;
        for (; i + kLanes - 1 <= nLastStart; i += kLanes) {
            const CUnits8 hits = first.Hits(p + i) & last.Hits(p + i + m - 1);
            if (!Any(hits)) {
                continue;
            }
            for (int k = 0; k < kLanes; ++k) {
                if (hits[k] == 0) {
                    continue;
                }
                if (bEndsDecide) {
                    if (i + k >= nNext) {
                        out.push_back(nBase + i + k);
                        nNext = i + k + m;
                    }
                } else {
                    tryAt(i + k);
                }
            }
        }
    }
    const auto& fold = FoldTable();
    for (; i <= nLastStart; ++i) {
        const char16_t c = m_bMatchCase ? p[i] : fold[p[i]];
        if (c == m_pattern[0]) {
            tryAt(i);
        }
    }
    return out.size() - nBefore;
}

void CMatchPositions::AddBlock() {
    m_blocks.push_back(std::make_unique_for_overwrite<int64_t[]>(kBlock));
}

void CMatchPositions::PopFront(size_t n) {
    m_nHead += n;
    // Whole blocks before the first live position go; one is kept as a spare for the appends.
    const size_t nFreed = m_nHead >> kBlockShift;
    if (nFreed == 0) {
        return;
    }
    const size_t nInUse = (m_nEnd + kBlock - 1) >> kBlockShift;
    std::rotate(m_blocks.begin(), m_blocks.begin() + static_cast<ptrdiff_t>(nFreed),
                m_blocks.begin() + static_cast<ptrdiff_t>(nInUse));
    m_blocks.resize(std::min(m_blocks.size(), nInUse - nFreed + 1));
    m_nHead -= nFreed << kBlockShift;
    m_nEnd -= nFreed << kBlockShift;
}

void CMatchPositions::Clear(bool bRelease) {
    m_nHead = 0;
    m_nEnd = 0;
    if (bRelease) {
        m_blocks.clear();
        m_blocks.shrink_to_fit();
    }
}

size_t CMatchPositions::LowerBound(int64_t nPos) const {
    size_t nLow = 0;
    size_t nHigh = size();
    while (nLow < nHigh) {
        const size_t nMid = nLow + (nHigh - nLow) / 2;
        if ((*this)[nMid] < nPos) {
            nLow = nMid + 1;
        } else {
            nHigh = nMid;
        }
    }
    return nLow;
}

void CTextMatches::SetPattern(const char16_t* pPattern, int nLen, bool bMatchCase) {
    m_searcher = CTextSearcher(pPattern, nLen, bMatchCase);
    // the blocks stay for the next pattern's search, and go with the last pattern
    m_pos.Clear(m_searcher.IsEmpty());
    m_nSearchedEnd = 0;
    m_bStale = true;
}

bool CTextMatches::Update(const char16_t* p, int nLen, int64_t nDropped, uint64_t nGeneration) {
    if (m_searcher.IsEmpty()) {
        return false;
    }
    const int64_t nEnd = nDropped + nLen;
    bool bChanged = false;
    if (m_bStale || nGeneration != m_nGeneration || nEnd < m_nSearchedEnd) {
        bChanged = Count() > 0;
        m_pos.Clear(false);
        m_nSearchedEnd = nDropped;
        m_nGeneration = nGeneration;
        m_bStale = false;
    }
    // matches that lost their first character to the removal at the front are gone
    const size_t nGone = m_pos.LowerBound(nDropped);
    if (nGone > 0) {
        m_pos.PopFront(nGone);
        bChanged = true;
    }
    if (nEnd == m_nSearchedEnd) {
        return bChanged;
    }
    // An occurrence may have begun in the last Length() - 1 characters searched before, but not
    // inside the last match found.
    int64_t nFrom = std::max(nDropped, m_nSearchedEnd - (m_searcher.Length() - 1));
    if (Count() > 0) {
        nFrom = std::max(nFrom, m_pos.back() + m_searcher.Length());
    }
    m_nSearchedEnd = nEnd;
    if (nFrom < nEnd &&
        m_searcher.FindAll(p + (nFrom - nDropped), nEnd - nFrom, nFrom, m_pos) > 0) {
        bChanged = true;
    }
    return bChanged;
}

size_t CTextMatches::LowerBound(int64_t nPos) const {
    return m_pos.LowerBound(nPos);
}
