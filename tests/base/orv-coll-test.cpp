// Container templates: growth and rehash rules, node blocks, hashes, iteration order, bad
// positions, and random operation sequences against the standard containers, once as they are
// and once with an allocation failure injected at every allocation of the sequence.
#include "orv-coll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <list>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/orv-coll-test-util.h"

namespace {

using IntTraits = COrvElementTraits<int>;
using STraits = COrvElementTraits<COrvStringA>;
using TArray = COrvArray<int, IntTraits, OrvTestAlloc>;
using TList = COrvList<int, IntTraits, OrvTestAlloc>;
using TMap = COrvMap<int, int, IntTraits, IntTraits, OrvTestAlloc>;
using TStrMap = COrvMap<COrvStringA, int, STraits, IntTraits, OrvTestAlloc>;
using TTree = COrvRBMap<int, int, IntTraits, IntTraits, OrvTestAlloc>;
using TStrTree = COrvRBMap<COrvStringA, int, STraits, IntTraits, OrvTestAlloc>;
using Pairs = std::vector<std::pair<int, int>>;

COrvStringA Orv(const std::string& s) {  // any bytes, NUL included
    return COrvStringA(s.data(), static_cast<int>(s.size()));
}
int Orv(int n) {
    return n;
}
std::string Plain(const COrvStringA& s) {
    return OrvStr(s);
}
int Plain(int v) {
    return v;
}
template <class P>
auto Plain(const P* p) {
    return std::pair(Plain(p->m_key), p->m_value);
}

std::vector<int> Contents(const TArray& a) {
    return std::vector<int>(a.GetData(), a.GetData() + a.GetCount());
}

// Elements in iteration order, after checking that the count agrees and that a list or a tree
// walks backwards to the same sequence.
template <class C>
auto Contents(const C& c) {
    std::vector<decltype(Plain(c.GetNext(std::declval<ORVPOSITION&>())))> v, back;
    constexpr bool kBothWays = requires {
        c.GetTailPosition();
    };
    ORVPOSITION pos = nullptr;
    if constexpr (kBothWays)
        pos = c.GetHeadPosition();
    else
        pos = c.GetStartPosition();
    while (pos != nullptr)
        v.push_back(Plain(c.GetNext(pos)));
    if constexpr (kBothWays) {
        for (ORVPOSITION pos = c.GetTailPosition(); pos != nullptr;)
            back.push_back(Plain(c.GetPrev(pos)));
        EXPECT_TRUE(std::equal(v.begin(), v.end(), back.rbegin(), back.rend()));
    }
    EXPECT_EQ(v.size(), c.GetCount());
    return v;
}

using CollTest = OrvAllocTest;

TEST_F(CollTest, ArrayEditingHandlesItsOwnElements) {
    COrvArray<COrvStringA, STraits, OrvTestAlloc> a;
    a.Add(COrvStringA("a"));
    // Adding an element of the array itself while the buffer moves must copy it first.
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(a.Add(a[0]), static_cast<size_t>(i + 1));
    EXPECT_EQ(Plain(a[40]), "a");

    TArray b;
    for (int i = 0; i < 5; ++i)
        b.Add(i);
    ASSERT_TRUE(b.InsertAt(2, 9, 2));
    ASSERT_TRUE(b.InsertAt(0, b[6]));  // own element, shifted by the insertion
    ASSERT_TRUE(b.RemoveAt(1, 4));
    EXPECT_EQ(Contents(b), (std::vector<int>{4, 2, 3, 4}));
    EXPECT_EQ(b.Append(b), 4u);
    EXPECT_EQ(Contents(b), (std::vector<int>{4, 2, 3, 4, 4, 2, 3, 4}));
}

TEST_F(CollTest, BadIndexesAndPositionsChangeNothingAndAreReported) {
    TArray a;
    a.Add(1);
    a.Add(2);
    a.GetAt(2) = 55;  // lands in the scratch element, not in the array
    EXPECT_FALSE(a.SetAt(2, 9) || a.RemoveAt(1, 2) || a.RemoveAt(3, 0) || a.InsertAt(3, 9));
    EXPECT_EQ(Contents(a), (std::vector<int>{1, 2}));
    EXPECT_EQ(m_reports.CountAtl(ORV_ATL_E_INVALIDARG), 5u);
}

// ---------------------------------------------------------------------------------------------
// Random operation sequences. Each fixture applies a random operation to its container and to a
// standard model and tells whether the container claims to have stored what it was given;
// queries check their answers on the way. Snapshot() is everything a refused operation must
// leave as it was.

struct ArrayFixture {
    static constexpr int kSteps = 5000, kFailSteps = 300;
    TArray a, src;
    std::vector<int> model;
    ArrayFixture() {
        for (int i = 0; i < 150; ++i)
            src.Add(i);
    }
    std::vector<int> Contents() const { return ::Contents(a); }
    auto Snapshot() const { return std::pair(Contents(), a.GetCapacity()); }
    bool Step(std::mt19937& rng, int) {
        auto& v = model;
        const int x = static_cast<int>(rng() % 1000);
        const size_t op = v.empty() ? 0 : rng() % 10, i = v.empty() ? 0 : rng() % v.size();
        const size_t j = rng() % (v.size() + 1), n = std::min<size_t>(rng() % 3, v.size() - i);
        if (op < 3)
            return v.push_back(x), a.Add(x) != TArray::kNoIndex;
        if (op == 3)
            return v.insert(v.begin() + j, n, x), a.InsertAt(j, x, n);
        if (op < 6)
            return v.erase(v.begin() + i, v.begin() + i + n), a.RemoveAt(i, n);
        if (op == 6)
            return v[i] = x, a.SetAt(i, x);
        if (op == 7)
            return v.resize(rng() % (v.size() + 20)), a.SetCount(v.size());
        if (op == 8 && v.size() > 300)
            return v.clear(), a.RemoveAll(), true;
        if (op == 8)
            return v.insert(v.end(), v.begin(), v.end()), a.Append(a) != TArray::kNoIndex;
        if (n == 0)
            return v = ::Contents(src), a.Copy(src);
        a.FreeExtra();  // keeps the contents whether or not it could shrink
        return false;
    }
};

struct ListFixture {
    static constexpr int kSteps = 4000, kFailSteps = 500;
    TList l{4};
    std::list<int> model;
    std::vector<int> Contents() const { return ::Contents(l); }
    std::vector<int> Snapshot() const { return Contents(); }
    bool Step(std::mt19937& rng, int) {
        auto& s = model;
        const int x = static_cast<int>(rng() % 100);
        const int op = s.empty() ? 0 : static_cast<int>(rng() % 7);
        const size_t i = s.empty() ? 0 : rng() % s.size();
        auto it = std::next(s.begin(), static_cast<long>(i));
        ORVPOSITION pos = l.FindIndex(i);
        if (op == 0)
            return s.push_back(x), l.AddTail(x) != nullptr;
        if (op == 1)
            return s.push_front(x), l.AddHead(x) != nullptr;
        if (op == 2)
            return s.insert(it, x), l.InsertBefore(pos, x) != nullptr;
        if (op == 3)
            return s.insert(std::next(it), x), l.InsertAfter(pos, x) != nullptr;
        if (op == 4)
            return s.erase(it), l.RemoveAt(pos);
        const int nEnd = op == 5 ? s.front() : s.back();
        EXPECT_EQ(op == 5 ? l.RemoveHead() : l.RemoveTail(), nEnd);
        op == 5 ? s.pop_front() : s.pop_back();
        return true;
    }
};

// Keys for the keyed containers: small integers (negative ones too), or strings of many lengths
// sharing long prefixes, some with bytes above 127 (negative in the hash).
int KeyOf(int n, int) {
    return n - 20;
}
std::string KeyOf(int n, std::string) {
    return std::string(n % 13, 'p') + std::to_string(n) + (n % 4 ? "" : "\xE9\x80");
}

template <class C, class K, uint32_t nBlock, int nSteps>
struct KeyedFixture {
    static constexpr int kSteps = nSteps, kFailSteps = nSteps / 3;
    static constexpr bool kTree = requires(C c) { c.FindFirstKeyAfter(Orv(K())); };
    static C Make() {
        if constexpr (kTree)
            return C(nBlock);
        else
            return C(17, 0.75f, 0.25f, 2.25f, nBlock);
    }
    C c = Make();
    std::map<K, int> model;

    std::vector<std::pair<K, int>> Contents() const {
        auto v = ::Contents(c);
        std::sort(v.begin(), v.end());
        return v;
    }
    auto Snapshot() const {
        if constexpr (kTree) {
            EXPECT_TRUE(c.IsValidTree());
            return ::Contents(c);
        } else {
            return std::pair(::Contents(c), c.GetHashTableSize());
        }
    }
    // The key range grows during the first half of a sequence and shrinks in the second, so
    // that the bins are rehashed both ways.
    bool Step(std::mt19937& rng, int step) {
        const int nRange = 50 + std::min(step, kSteps - step) / 10;
        const K key = KeyOf(static_cast<int>(rng() % nRange), K());
        const auto k = Orv(key);
        const int op = static_cast<int>(rng() % 6);
        if (op <= 1 || (op == 2 && step < kSteps / 2)) {
            model[key] = step;
            return c.SetAt(k, step) != nullptr;
        }
        if (op <= 3) {
            EXPECT_EQ(c.RemoveKey(k), model.erase(key) == 1);
        } else if (op == 4) {
            const auto* p = c.Lookup(k);
            const auto it = model.find(key);
            EXPECT_EQ(p != nullptr, it != model.end());
            EXPECT_TRUE(p == nullptr || p->m_value == it->second);
        } else if constexpr (kTree) {
            // The first key after a key, as upper_bound gives it, and removed there.
            ORVPOSITION pos = c.FindFirstKeyAfter(k);
            const auto it = model.upper_bound(key);
            EXPECT_EQ(pos == nullptr, it == model.end());
            if (pos != nullptr && it != model.end()) {
                EXPECT_EQ(Plain(c.GetKeyAt(pos)), it->first);
                EXPECT_TRUE(c.RemoveAt(pos));
                model.erase(it);
            }
        } else if (!model.empty()) {
            // Removal at a position reached by iteration.
            ORVPOSITION pos = c.GetStartPosition();
            for (auto n = rng() % model.size(); n > 0; --n)
                c.GetNext(pos);
            model.erase(Plain(c.GetKeyAt(pos)));
            EXPECT_TRUE(c.RemoveAtPos(pos));
        }
        return true;
    }
};

template <class F>
class Sequence : public CollTest {
protected:
    // Runs nSteps random operations from seed on a fresh container, failing allocation number
    // nFailAt (0: none). An operation hit by the failure must raise one out-of-memory report and,
    // when it says so, leave the container as it was. Without failures the container must match
    // its model every few steps, with one at the end. Returns the number of allocations made.
    long Run(long nFailAt, int nSteps) {
        F f;
        std::mt19937 rng(static_cast<unsigned>(F::kSteps + nSteps));
        OrvTestAlloc::Reset(nFailAt);
        m_reports.Clear();
        for (int step = 0; step < nSteps && !HasFailure(); ++step) {
            const auto before = f.Snapshot();
            const auto saved = f.model;
            const long nFailedBefore = OrvTestAlloc::s_nFailed;
            if (!f.Step(rng, step) && OrvTestAlloc::s_nFailed != nFailedBefore) {
                EXPECT_EQ(f.Snapshot(), before) << "failed at allocation " << nFailAt;
                f.model = saved;
            }
            if ((nFailAt == 0 && step % 5 == 0) || step == nSteps - 1) {
                EXPECT_EQ(f.Contents(), F().Contents().size() ? decltype(f.Contents())() : Model(f))
                    << "step " << step << ", failed allocation " << nFailAt;
            }
        }
        EXPECT_EQ(m_reports.Count(), static_cast<size_t>(OrvTestAlloc::s_nFailed));
        EXPECT_EQ(m_reports.CountAtl(ORV_ATL_E_OUTOFMEMORY), m_reports.Count());
        return OrvTestAlloc::s_nCalls;
    }
    static auto Model(const F& f) { return decltype(f.Contents())(f.model.begin(), f.model.end()); }
};

using Fixtures = ::testing::Types<ArrayFixture, ListFixture, KeyedFixture<TMap, int, 1, 6000>,
                                  KeyedFixture<TStrMap, std::string, 10, 6000>,
                                  KeyedFixture<TTree, int, 3, 4000>,
                                  KeyedFixture<TStrTree, std::string, 7, 4000>>;
TYPED_TEST_SUITE(Sequence, Fixtures);

TYPED_TEST(Sequence, MatchesTheStandardContainer) {
    this->Run(0, TypeParam::kSteps);
}

TYPED_TEST(Sequence, AllocationFailureLeavesTheContainerAsItWas) {
    const long nTotal = this->Run(0, TypeParam::kFailSteps);
    ASSERT_GT(nTotal, 10);
    for (long n = 1; n <= nTotal && !this->HasFailure(); ++n)
        this->Run(n, TypeParam::kFailSteps);
}

}  // namespace
