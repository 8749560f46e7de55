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

// Sixteen units side by side; the compiler turns the comparisons into vector instructions.
using CUnits16 = uint16_t __attribute__((vector_size(32)));
constexpr int kLanes = 16;

// Index of the first unit in p[nFrom..n) that is one of the nSet units in set, or n.
int64_t ScanForAny(const char16_t* p, int64_t nFrom, int64_t n, const char16_t* set, int nSet) {
    CUnits16 a;
    CUnits16 b;
    CUnits16 c;
    CUnits16 d;
    for (int i = 0; i < kLanes; ++i) {
        // unused slots repeat the first unit, which costs nothing and changes nothing
        a[i] = set[0];
        b[i] = set[nSet > 1 ? 1 : 0];
        c[i] = set[nSet > 2 ? 2 : 0];
        d[i] = set[nSet > 3 ? 3 : 0];
    }
    int64_t i = nFrom;
    for (; i + kLanes <= n; i += kLanes) {
        CUnits16 v;
        std::memcpy(&v, p + i, sizeof v);
        const auto hit = (v == a) | (v == b) | (v == c) | (v == d);
        uint64_t words[4];
        std::memcpy(words, &hit, sizeof words);
        if ((words[0] | words[1] | words[2] | words[3]) != 0) {
            for (int k = 0; k < kLanes; ++k) {
                if (hit[k] != 0) {
                    return i + k;
                }
            }
        }
    }
    for (; i < n; ++i) {
        for (int k = 0; k < nSet; ++k) {
            if (p[i] == set[k]) {
                return i;
            }
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
    if (m_bMatchCase) {
        m_first[0] = m_pattern[0];
        m_nFirst = 1;
        return;
    }
    const auto& fold = FoldTable();
    for (char16_t& c : m_pattern) {
        c = fold[c];
    }
    // every unit that folds to the first one: usually two (a, A), a few have three or four
    m_nFirst = 0;
    for (uint32_t u = 0; u < 65536; ++u) {
        if (fold[u] == m_pattern[0]) {
            if (m_nFirst == 4) {
                m_nFirst = 0;  // too many: the scan folds every unit instead
                break;
            }
            m_first[m_nFirst++] = static_cast<char16_t>(u);
        }
    }
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
    const int64_t m = Length();
    if (m == 0 || n < m) {
        return 0;
    }
    const size_t nBefore = out.size();
    const int64_t nLastStart = n - m;
    const auto& fold = FoldTable();
    int64_t i = 0;
    while (i <= nLastStart) {
        if (m_nFirst > 0) {
            // a candidate can start no later than nLastStart
            i = ScanForAny(p, i, nLastStart + 1, m_first, m_nFirst);
        } else {
            while (i <= nLastStart && fold[p[i]] != m_pattern[0]) {
                ++i;
            }
        }
        if (i > nLastStart) {
            break;
        }
        if (MatchesAt(p + i)) {
            out.push_back(nBase + i);
            i += m;
        } else {
            ++i;
        }
    }
    return out.size() - nBefore;
}

void CTextMatches::SetPattern(const char16_t* pPattern, int nLen, bool bMatchCase) {
    m_searcher = CTextSearcher(pPattern, nLen, bMatchCase);
    m_pos.clear();
    m_nHead = 0;
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
        m_pos.clear();
        m_nHead = 0;
        m_nSearchedEnd = nDropped;
        m_nGeneration = nGeneration;
        m_bStale = false;
    }
    // matches that lost their first character to the removal at the front are gone
    while (m_nHead < m_pos.size() && m_pos[m_nHead] < nDropped) {
        ++m_nHead;
        bChanged = true;
    }
    if (m_nHead > 0 && m_nHead >= m_pos.size() / 2) {
        m_pos.erase(m_pos.begin(), m_pos.begin() + static_cast<ptrdiff_t>(m_nHead));
        m_nHead = 0;
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
    const auto first = m_pos.begin() + static_cast<ptrdiff_t>(m_nHead);
    return static_cast<size_t>(std::lower_bound(first, m_pos.end(), nPos) - first);
}
