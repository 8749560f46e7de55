// Container templates: growth and rehash rules, node blocks, hashes, iteration order, the
// red-black invariants, random operation sequences against the standard containers, and
// allocation failures injected at every allocation of a sequence.
#include "orv-coll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "support/orv-coll-test-util.h"

namespace {

using IntTraits = COrvElementTraits<int>;
using TArray = COrvArray<int, IntTraits, OrvTestAlloc>;
using TStrArray = COrvArray<COrvStringA, COrvElementTraits<COrvStringA>, OrvTestAlloc>;
using TList = COrvList<int, IntTraits, OrvTestAlloc>;
using TMap = COrvMap<int, int, IntTraits, IntTraits, OrvTestAlloc>;
using TStrMap = COrvMap<COrvStringA, int, COrvElementTraits<COrvStringA>, IntTraits, OrvTestAlloc>;
using TTree = COrvRBMap<int, int, IntTraits, IntTraits, OrvTestAlloc>;

COrvStringA Orv(const std::string& s) {  // any bytes, NUL included
    return COrvStringA(s.data(), static_cast<int>(s.size()));
}

std::string Str(const COrvStringA& s) {
    return std::string(static_cast<const char*>(s), s.GetLength());
}

std::vector<int> Contents(const TArray& a) {
    return std::vector<int>(a.GetData(), a.GetData() + a.GetCount());
}

// Forward contents, after checking that the backward walk and the count agree with them.
std::vector<int> Contents(const TList& l) {
    std::vector<int> v;
    for (ORVPOSITION pos = l.GetHeadPosition(); pos != nullptr;)
        v.push_back(l.GetNext(pos));
    std::vector<int> back;
    for (ORVPOSITION pos = l.GetTailPosition(); pos != nullptr;)
        back.push_back(l.GetPrev(pos));
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(v, back);
    EXPECT_EQ(v.size(), l.GetCount());
    return v;
}

// Pairs in iteration order, after checking that iteration runs over the bins in index order.
template <class Map>
std::vector<std::pair<int, int>> Contents(const Map& m) {
    std::vector<std::pair<int, int>> v;
    uint32_t nLastBin = 0;
    for (ORVPOSITION pos = m.GetStartPosition(); pos != nullptr;) {
        const auto* p = m.GetNext(pos);
        const uint32_t nBin = static_cast<uint32_t>(p->m_key) % m.GetHashTableSize();
        EXPECT_GE(nBin, nLastBin);
        nLastBin = nBin;
        v.emplace_back(p->m_key, p->m_value);
    }
    EXPECT_EQ(v.size(), m.GetCount());
    return v;
}

std::vector<std::pair<int, int>> Contents(const TTree& t) {
    std::vector<std::pair<int, int>> v;
    for (ORVPOSITION pos = t.GetHeadPosition(); pos != nullptr;) {
        const auto* p = t.GetNext(pos);
        v.emplace_back(p->m_key, p->m_value);
    }
    std::vector<std::pair<int, int>> back;
    for (ORVPOSITION pos = t.GetTailPosition(); pos != nullptr;) {
        const auto* p = t.GetPrev(pos);
        back.emplace_back(p->m_key, p->m_value);
    }
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(v, back);
    return v;
}

class CollTest : public ::testing::Test {
protected:
    void SetUp() override {
        OrvTestAlloc::Reset();
        m_nLiveAtStart = OrvTestAlloc::s_nLive;
    }
    void TearDown() override {
        EXPECT_EQ(OrvTestAlloc::s_nLive, m_nLiveAtStart) << "leaked blocks";
    }

    OrvReportCapture m_reports;
    long m_nLiveAtStart = 0;
};

// ---------------------------------------------------------------------------------------------
// Array

TEST_F(CollTest, ArrayGrowsByOneEighthClampedOrByTheGivenStep) {
    TArray a;
    ASSERT_TRUE(a.SetCount(100));
    EXPECT_EQ(a.GetCapacity(), 100u);  // a first buffer has exactly what is wanted
    ASSERT_NE(a.Add(1), TArray::kNoIndex);
    EXPECT_EQ(a.GetCapacity(), 112u);

    TArray b;
    ASSERT_TRUE(b.SetCount(8));
    b.Add(1);
    EXPECT_EQ(b.GetCapacity(), 12u);

    TArray c;
    ASSERT_TRUE(c.SetCount(20000));
    c.Add(1);
    EXPECT_EQ(c.GetCapacity(), 21024u);

    // Wanting more than one step takes what is wanted.
    TArray d;
    d.SetCount(10);
    d.SetCount(30);
    EXPECT_EQ(d.GetCapacity(), 30u);

    // A set step: the first buffer is at least the step, later ones grow by it.
    TArray e;
    ASSERT_TRUE(e.SetCount(10, 50));
    EXPECT_EQ(e.GetCapacity(), 50u);
    e.SetCount(51);
    EXPECT_EQ(e.GetCapacity(), 100u);

    // New elements are zero/default; shrinking the count keeps the buffer, 0 frees it.
    EXPECT_EQ(e[50], 0);
    e.SetCount(5);
    EXPECT_EQ(e.GetCapacity(), 100u);
    e.SetCount(0);
    EXPECT_EQ(e.GetCapacity(), 0u);
    EXPECT_EQ(e.GetData(), nullptr);
}

TEST_F(CollTest, ArrayEditingKeepsOrderAndHandlesItsOwnElements) {
    TStrArray a;
    a.Add(COrvStringA("a"));
    // Adding an element of the array itself while the buffer moves must copy it first.
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(a.Add(a[0]), static_cast<size_t>(i + 1));
    EXPECT_EQ(Str(a[40]), "a");

    TArray b;
    for (int i = 0; i < 5; ++i)
        b.Add(i);
    ASSERT_TRUE(b.InsertAt(2, 9, 2));
    EXPECT_EQ(Contents(b), (std::vector<int>{0, 1, 9, 9, 2, 3, 4}));
    ASSERT_TRUE(b.InsertAt(0, b[6]));  // own element, shifted by the insertion
    EXPECT_EQ(Contents(b), (std::vector<int>{4, 0, 1, 9, 9, 2, 3, 4}));
    ASSERT_TRUE(b.InsertAt(b.GetCount(), 7));
    ASSERT_TRUE(b.RemoveAt(1, 4));
    EXPECT_EQ(Contents(b), (std::vector<int>{4, 2, 3, 4, 7}));
    EXPECT_EQ(b.Append(b), 5u);
    EXPECT_EQ(Contents(b), (std::vector<int>{4, 2, 3, 4, 7, 4, 2, 3, 4, 7}));

    TArray c;
    c.Add(100);
    ASSERT_TRUE(c.Copy(b));
    EXPECT_EQ(Contents(c), Contents(b));
    c.FreeExtra();
    EXPECT_EQ(c.GetCapacity(), c.GetCount());
    EXPECT_EQ(Contents(c), Contents(b));
}

TEST_F(CollTest, ArrayInvalidIndexesChangeNothingAndReturnNoElement) {
    TArray a;
    a.Add(1);
    a.Add(2);
    a.GetAt(2) = 55;  // lands in the scratch element, not in the array
    EXPECT_EQ(a[5], 0);
    EXPECT_FALSE(a.SetAt(2, 9));
    EXPECT_FALSE(a.RemoveAt(1, 2));
    EXPECT_FALSE(a.RemoveAt(3, 0));
    EXPECT_FALSE(a.InsertAt(3, 9));
    EXPECT_EQ(Contents(a), (std::vector<int>{1, 2}));
    EXPECT_EQ(m_reports.CountAtl(ORV_ATL_E_INVALIDARG), 6u);

    int aRaw[3] = {1, 2, 3};
    COrvFixedArray<int> f(aRaw, 3);
    EXPECT_EQ(f[2], 3);
    f[3] = 7;
    EXPECT_EQ(f[3], 0);
    EXPECT_EQ(m_reports.CountExpr("nIndex < m_nSize"), 2u);
}

// ---------------------------------------------------------------------------------------------
// List

TEST_F(CollTest, ListCarvesNodesFromBlocksInAddressOrder) {
    TList l;
    EXPECT_EQ(OrvTestAlloc::s_nCalls, 0);
    std::vector<ORVPOSITION> positions;
    positions.push_back(l.AddTail(0));
    EXPECT_EQ(OrvTestAlloc::s_nCalls, 1);
    for (int i = 1; i < 10; ++i)
        positions.push_back(l.AddTail(i));
    EXPECT_EQ(OrvTestAlloc::s_nCalls, 1);
    for (size_t i = 1; i < positions.size(); ++i)
        EXPECT_GT(reinterpret_cast<uintptr_t>(positions[i]),
                  reinterpret_cast<uintptr_t>(positions[i - 1]));
    l.AddTail(10);
    EXPECT_EQ(OrvTestAlloc::s_nCalls, 2);

    // A freed node is reused before any new block; the last removal frees every block.
    l.RemoveAt(positions[3]);
    EXPECT_EQ(l.AddHead(-1), positions[3]);
    EXPECT_EQ(OrvTestAlloc::s_nCalls, 2);
    EXPECT_EQ(OrvTestAlloc::s_nLive, m_nLiveAtStart + 2);
    while (!l.IsEmpty())
        l.RemoveTail();
    EXPECT_EQ(OrvTestAlloc::s_nLive, m_nLiveAtStart);

    TList small(3);
    for (int i = 0; i < 7; ++i)
        small.AddHead(i);
    EXPECT_EQ(OrvTestAlloc::s_nCalls, 2 + 3);
}

TEST_F(CollTest, ListNullPositionsAndEmptyEndsChangeNothing) {
    TList l;
    EXPECT_EQ(l.RemoveHead(), 0);
    EXPECT_EQ(l.RemoveTail(), 0);
    EXPECT_EQ(l.GetHead(), 0);
    EXPECT_FALSE(l.RemoveHeadNoReturn());
    l.AddTail(5);
    ORVPOSITION pos = nullptr;
    EXPECT_EQ(l.GetNext(pos), 0);
    EXPECT_EQ(pos, nullptr);
    l.GetPrev(pos) = 9;  // the scratch element
    EXPECT_EQ(l.InsertBefore(nullptr, 1), nullptr);
    EXPECT_EQ(l.InsertAfter(nullptr, 1), nullptr);
    EXPECT_FALSE(l.RemoveAt(nullptr));
    l.SetAt(nullptr, 3);
    EXPECT_EQ(Contents(l), std::vector<int>{5});
    EXPECT_EQ(m_reports.CountAtl(ORV_ATL_E_FAIL), 10u);
    EXPECT_EQ(l.FindIndex(1), nullptr);
    EXPECT_EQ(l.Find(4), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Hash map

TEST_F(CollTest, MapRehashesOnTheCountThresholds) {
    TMap m;
    EXPECT_EQ(OrvTestAlloc::s_nCalls, 0);  // nothing until the first insertion
    for (int i = 0; i < 38; ++i)
        m.SetAt(i, i);
    EXPECT_EQ(m.GetHashTableSize(), 17u);
    m.SetAt(38, 38);
    EXPECT_EQ(m.GetHashTableSize(), 53u);  // 39 / 0.75 = 52, next prime 53

    // 53 x 2.25 = 119.25: the 120th key goes to 120 / 0.75 = 160 -> 163 bins.
    for (int i = 39; i < 119; ++i)
        m.SetAt(i, i);
    EXPECT_EQ(m.GetHashTableSize(), 53u);
    m.SetAt(119, 119);
    EXPECT_EQ(m.GetHashTableSize(), 163u);

    // 163 x 0.25 = 40: shrinks to 39 / 0.75 = 52 -> 53 bins when the count drops below 40.
    for (int i = 119; i >= 40; --i)
        ASSERT_TRUE(m.RemoveKey(i));
    EXPECT_EQ(m.GetHashTableSize(), 163u);
    m.RemoveKey(39);
    EXPECT_EQ(m.GetHashTableSize(), 53u);

    // 53 x 0.25 = 13 is below 17 and becomes 0: no further shrinking, even when emptied.
    for (int i = 0; i < 39; ++i)
        ASSERT_TRUE(m.RemoveKey(i));
    EXPECT_EQ(m.GetHashTableSize(), 53u);
    EXPECT_FALSE(m.RemoveKey(0));

    TMap small;
    for (int i = 0; i < 38; ++i)
        small.SetAt(i, i);
    for (int i = 0; i < 38; ++i)
        small.RemoveKey(i);
    EXPECT_EQ(small.GetHashTableSize(), 17u);
}

TEST_F(CollTest, MapSuspendedRehashKeepsBinsUntilResumed) {
    TMap m;
    m.DisableAutoRehash();
    m.DisableAutoRehash();
    for (int i = 0; i < 1000; ++i)
        m.SetAt(i, -i);
    EXPECT_EQ(m.GetHashTableSize(), 17u);
    m.EnableAutoRehash();
    m.SetAt(1000, 0);
    EXPECT_EQ(m.GetHashTableSize(), 17u);  // still suspended once
    m.EnableAutoRehash();
    m.SetAt(1001, 0);
    EXPECT_EQ(m.GetHashTableSize(), 1627u);  // 1002 / 0.75 = 1336 -> 1627
    int v = 1;
    EXPECT_TRUE(m.Lookup(999, v));
    EXPECT_EQ(v, -999);

    // A removal after resuming also rehashes when the high threshold was passed meanwhile.
    TMap r;
    r.DisableAutoRehash();
    for (int i = 0; i < 100; ++i)
        r.SetAt(i, i);
    r.EnableAutoRehash();
    r.RemoveKey(0);
    EXPECT_EQ(r.GetHashTableSize(), 163u);  // 99 / 0.75 = 132 -> 163

    // Explicit rehash and bin setup.
    TMap e;
    EXPECT_TRUE(e.InitHashTable(101, false));
    EXPECT_EQ(e.GetHashTableSize(), 101u);
    e.SetAt(1, 1);
    EXPECT_FALSE(e.InitHashTable(7));  // not empty
    EXPECT_TRUE(e.Rehash(0));
    EXPECT_EQ(e.GetHashTableSize(), 17u);
    EXPECT_EQ(Contents(e), (std::vector<std::pair<int, int>>{{1, 1}}));
}

TEST_F(CollTest, MapIteratesByBinThenMostRecentFirst) {
    TMap m;
    for (int k : {1, 2, 18, 16, 35, 17, 24})
        m.SetAt(k, k * 10);
    // 17 bins: 17 in bin 0; 35, 18, 1 in bin 1 (newest first); 2; 24 in bin 7; 16 in bin 16.
    EXPECT_EQ(Contents(m),
              (std::vector<std::pair<int, int>>{
                  {17, 170}, {35, 350}, {18, 180}, {1, 10}, {2, 20}, {24, 240}, {16, 160}}));
    // Overwriting keeps the place.
    ORVPOSITION pos = m.SetAt(18, 7);
    EXPECT_EQ(m.GetKeyAt(pos), 18);
    EXPECT_EQ(Contents(m)[2], (std::pair<int, int>(18, 7)));
    // The rehash walks the old bins in order and pushes each node at the front of its new bin:
    // with 23 bins 1 and 24 share bin 1, and 24 comes later in the old order.
    ASSERT_TRUE(m.Rehash(23));
    EXPECT_EQ(Contents(m),
              (std::vector<std::pair<int, int>>{
                  {24, 240}, {1, 10}, {2, 20}, {35, 350}, {16, 160}, {17, 170}, {18, 7}}));
    m[40] = 4;
    m[1] += 5;
    EXPECT_EQ(m.GetCount(), 8u);
    EXPECT_EQ(m[1], 15);
    int v = 0;
    EXPECT_TRUE(m.Lookup(40, v));
    EXPECT_EQ(v, 4);
}

TEST_F(CollTest, MapBinIsTheHashModuloTheBinCount) {
    // The bin computation uses a reciprocal; it must agree with % for every bin count used.
    std::mt19937 rng(17);
    for (uint32_t d : g_orv_map_primes) {
        const uint64_t nMul = orv_coll_detail::FastModMul(d);
        for (uint32_t h : {0u, 1u, d - 1, d, d + 1, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu})
            ASSERT_EQ(orv_coll_detail::FastMod(h, nMul, d), h % d) << h << " % " << d;
        for (int i = 0; i < 2000; ++i) {
            const uint32_t h = rng();
            ASSERT_EQ(orv_coll_detail::FastMod(h, nMul, d), h % d) << h << " % " << d;
        }
    }
    // Negative integer keys hash to their own value as unsigned: -1 is 4294967295 % 17 = 0.
    TMap m;
    m.SetAt(5, 0);
    m.SetAt(-1, 0);
    EXPECT_EQ(m.GetKeyAt(m.GetStartPosition()), -1);
}

TEST_F(CollTest, MapLookupsStayRightInOneBinWhileItsChainChanges) {
    // With rehashing suspended, multiples of 17 all go to bin 0 of 17 bins: one chain whose
    // head, middle and tail are removed in turn, by key and by position, between insertions.
    // Every other key of that bin must keep being found, and absent ones must not be.
    TMap m;
    m.DisableAutoRehash();
    std::map<int, int> want;
    auto check = [&](int step) {
        for (int j = 0; j < 90; ++j) {
            int v = -1;
            const auto it = want.find(17 * j);
            ASSERT_EQ(m.Lookup(17 * j, v), it != want.end())
                << "key " << 17 * j << " step " << step;
            if (it != want.end()) {
                ASSERT_EQ(v, it->second);
            }
            ASSERT_FALSE(m.Lookup(17 * j + 3, v));  // bin 3 stays empty
        }
        ASSERT_EQ(m.GetCount(), want.size());
    };
    std::mt19937 rng(9);
    for (int step = 0; step < 600; ++step) {
        const int j = static_cast<int>(rng() % 60);
        const int op = static_cast<int>(rng() % 4);
        if (op <= 1 || want.empty()) {
            m.SetAt(17 * j, step);
            want[17 * j] = step;
        } else if (op == 2) {
            ASSERT_EQ(m.RemoveKey(17 * j), want.erase(17 * j) == 1);
        } else {
            // The n-th node of the chain: the head, the tail or one between.
            const size_t n =
                rng() % 3 == 0 ? 0 : (rng() % 2 ? want.size() - 1 : rng() % want.size());
            ORVPOSITION pos = m.GetStartPosition();
            for (size_t i = 0; i < n; ++i)
                m.GetNext(pos);
            want.erase(m.GetKeyAt(pos));
            ASSERT_TRUE(m.RemoveAtPos(pos));
        }
        check(step);
    }
    // Emptied and filled again, the bins keep answering.
    for (const auto& [k, v] : std::map<int, int>(want)) {
        ASSERT_TRUE(m.RemoveKey(k));
        want.erase(k);
        check(-1);
    }
    m.SetAt(34, 1);
    want[34] = 1;
    check(-2);
    // Resuming rehashes on the next insertion; every key is found in its new bin.
    for (int j = 0; j < 90; ++j) {
        m.SetAt(17 * j, j);
        want[17 * j] = j;
    }
    m.EnableAutoRehash();
    m.SetAt(1, 1);
    want[1] = 1;
    EXPECT_EQ(m.GetHashTableSize(), 131u);  // 91 / 0.75 = 121 -> 131
    check(-3);
    EXPECT_EQ(m_reports.Count(), 0u);
}

TEST_F(CollTest, StringKeyHashesUseSignedCharactersAndFoldCaseOnRequest) {
    using T = COrvElementTraits<COrvStringA>;
    EXPECT_EQ(T::Hash(COrvStringA("")), 0u);
    EXPECT_EQ(T::Hash(COrvStringA("ab")), 97u * 33 + 98);
    // Characters above 127 count as negative: 97 x 33 - 128 and 97 x 33 - 127.
    EXPECT_EQ(T::Hash(COrvStringA("a\x80")), 3073u);
    EXPECT_EQ(T::Hash(COrvStringA("a\x81")), 3074u);
    EXPECT_EQ(T::Hash(COrvStringA("\xC3\xA9")), static_cast<uint32_t>(-61 * 33 - 87));
    EXPECT_EQ(COrvElementTraits<COrvStringW>::Hash(COrvStringW(u"a\u00E9")), 97u * 33 + 0xE9);

    using I = COrvStringNoCaseTraits<COrvStringA>;
    EXPECT_EQ(I::Hash(COrvStringA("content-length")), T::Hash(COrvStringA("CONTENT-LENGTH")));
    EXPECT_TRUE(I::CompareElements(COrvStringA("Content-Length"), COrvStringA("content-LENGTH")));
    EXPECT_FALSE(I::CompareElements(COrvStringA("abc"), COrvStringA("abd")));
    // Multi-byte letters fold through their code points: e acute to E acute, Cyrillic, Greek.
    EXPECT_EQ(I::Hash(COrvStringA("caf\xC3\xA9")), T::Hash(COrvStringA("CAF\xC3\x89")));
    EXPECT_TRUE(
        I::CompareElements(COrvStringA("\xD0\xB4\xCE\xB1"), COrvStringA("\xD0\x94\xCE\x91")));
    // Bytes that do not decode are hashed as they are (a lone continuation, a cut sequence).
    EXPECT_EQ(I::Hash(COrvStringA("\x80z")), T::Hash(COrvStringA("\x80Z")));
    EXPECT_EQ(I::Hash(COrvStringA("a\xC3")), T::Hash(COrvStringA("A\xC3")));
    EXPECT_LT(I::CompareElementsOrdered(COrvStringA("apple"), COrvStringA("BANANA")), 0);
    EXPECT_GT(I::CompareElementsOrdered(COrvStringA("abc"), COrvStringA("AB")), 0);

    using IW = COrvStringNoCaseTraits<COrvStringW>;
    EXPECT_EQ(IW::Hash(COrvStringW(u"x\u00E9")), 88u * 33 + 0xC9);
    EXPECT_TRUE(IW::CompareElements(COrvStringW(u"\u0434x"), COrvStringW(u"\u0414X")));

    // A case-insensitive map keeps the first spelling and finds every other one.
    COrvMap<COrvStringA, int, I> headers;
    headers.SetAt("Content-Type", 1);
    headers.SetAt("CONTENT-TYPE", 2);
    EXPECT_EQ(headers.GetCount(), 1u);
    EXPECT_EQ(Str(headers.GetKeyAt(headers.GetStartPosition())), "Content-Type");
    int v = 0;
    EXPECT_TRUE(headers.Lookup("content-type", v));
    EXPECT_EQ(v, 2);
}

// The string traits take several characters at a time; they must agree with the plain
// definitions (h = h * 33 + c over signed characters, memcmp order, prefixes first) at every
// length and at every position of a difference.
TEST_F(CollTest, StringKeyTraitsAgreeWithThePlainDefinitions) {
    using T = COrvElementTraits<COrvStringA>;
    using TW = COrvElementTraits<COrvStringW>;
    std::mt19937 rng(23);
    auto plainHash = [](const std::string& s) {
        uint32_t h = 0;
        for (char c : s)
            h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
        return h;
    };
    auto plainOrder = [](const std::string& a, const std::string& b) {
        const int n = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
        if (n != 0)
            return n < 0 ? -1 : 1;
        return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
    };
    for (size_t nLen = 0; nLen <= 70; ++nLen) {
        for (int nRound = 0; nRound < 20; ++nRound) {
            std::string a(nLen, 'x');
            for (char& c : a)  // the whole byte range, so that negative characters take part
                c = static_cast<char>(nRound % 2 ? rng() % 256 : 'a' + rng() % 3);
            ASSERT_EQ(T::Hash(Orv(a)), plainHash(a)) << nLen;
            std::u16string w(a.begin(), a.end());
            for (char16_t& c : w)
                c = static_cast<char16_t>(0xD7FF & (c * 257 + 1));
            uint32_t hw = 0;
            for (char16_t c : w)
                hw = hw * 33 + c;
            ASSERT_EQ(TW::Hash(COrvStringW(w.data(), static_cast<int>(w.size()))), hw) << nLen;

            // The same text, one byte changed (up or down), cut short, or extended.
            std::vector<std::string> others = {a, a.substr(0, nLen / 2), a + "z", a + '\x80'};
            if (nLen > 0) {
                std::string b = a;
                const size_t i = rng() % nLen;
                b[i] = static_cast<char>(b[i] + 1 + rng() % 255);
                others.push_back(b);
            }
            const COrvStringA sa = Orv(a);
            for (const std::string& b : others) {
                const COrvStringA sb = Orv(b);
                ASSERT_EQ(T::CompareElements(sa, sb), a == b) << nLen;
                ASSERT_EQ(T::CompareElementsOrdered(sa, sb), plainOrder(a, b)) << nLen;
                ASSERT_EQ(T::CompareElementsOrdered(sb, sa), plainOrder(b, a)) << nLen;
            }
            // A copy shares the block and is equal without a look at the characters.
            const COrvStringA sc = sa;
            EXPECT_TRUE(T::CompareElements(sa, sc));
            EXPECT_EQ(T::CompareElementsOrdered(sa, sc), 0);
        }
    }
}

TEST_F(CollTest, MapNullPositionsAndBadParametersAreReported) {
    TMap m;
    m.SetAt(1, 2);
    ORVPOSITION pos = nullptr;
    EXPECT_EQ(m.GetNext(pos), nullptr);
    int k = 7, v = 8;
    m.GetNextAssoc(pos, k, v);
    EXPECT_EQ(k, 7);
    EXPECT_EQ(v, 8);
    EXPECT_FALSE(m.RemoveAtPos(nullptr));
    EXPECT_EQ(m.GetValueAt(nullptr), 0);
    EXPECT_EQ(m_reports.CountAtl(ORV_ATL_E_FAIL), 4u);
    EXPECT_EQ(m.GetCount(), 1u);

    COrvMap<int, int> bad(0, 0.0f, 0.25f, 2.25f, 0);
    EXPECT_EQ(m_reports.CountAtl(ORV_ATL_E_INVALIDARG), 1u);
    EXPECT_EQ(bad.GetHashTableSize(), 17u);
    for (int i = 0; i < 39; ++i)
        bad.SetAt(i, i);
    EXPECT_EQ(bad.GetHashTableSize(), 53u);
}

// ---------------------------------------------------------------------------------------------
// Ordered map

TEST_F(CollTest, OrderedMapAllocatesOnFirstInsertionAndIteratesAscending) {
    TTree t;
    EXPECT_TRUE(t.IsValidTree());
    EXPECT_EQ(OrvTestAlloc::s_nCalls, 0);
    EXPECT_EQ(t.GetHeadPosition(), nullptr);
    EXPECT_EQ(t.FindFirstKeyAfter(3), nullptr);
    t.SetAt(5, 50);
    EXPECT_EQ(OrvTestAlloc::s_nCalls, 2);  // the sentinel and one node block
    for (int k : {3, 9, 1, 7})
        t.SetAt(k, k * 10);
    EXPECT_EQ(Contents(t),
              (std::vector<std::pair<int, int>>{{1, 10}, {3, 30}, {5, 50}, {7, 70}, {9, 90}}));
    EXPECT_EQ(t.GetKeyAt(t.FindFirstKeyAfter(5)), 7);
    EXPECT_EQ(t.GetKeyAt(t.FindFirstKeyAfter(0)), 1);
    EXPECT_EQ(t.FindFirstKeyAfter(9), nullptr);
    ORVPOSITION pos = nullptr;
    EXPECT_EQ(t.GetNext(pos), nullptr);
    EXPECT_FALSE(t.RemoveAt(nullptr));
    EXPECT_EQ(m_reports.CountAtl(ORV_ATL_E_FAIL), 2u);

    // Ordinal order of strings compares unsigned code units; the case-insensitive traits keep
    // the caller's spelling.
    COrvRBMap<COrvStringA, int> s;
    for (const char* p : {"b", "\xC3\xA9", "a", "ab", "B"})
        s.SetAt(p, 0);
    std::vector<std::string> order;
    for (ORVPOSITION p = s.GetHeadPosition(); p != nullptr;)
        order.push_back(Str(s.GetNext(p)->m_key));
    EXPECT_EQ(order, (std::vector<std::string>{"B", "a", "ab", "b", "\xC3\xA9"}));

    COrvRBMap<COrvStringA, int, COrvStringNoCaseTraits<COrvStringA>> h;
    h.SetAt("Host", 1);
    h.SetAt("accept", 2);
    h.SetAt("HOST", 3);
    EXPECT_EQ(h.GetCount(), 2u);
    EXPECT_EQ(Str(h.GetKeyAt(h.GetTailPosition())), "Host");
    EXPECT_EQ(h.GetValueAt(h.GetTailPosition()), 3);
}

// ---------------------------------------------------------------------------------------------
// Random operation sequences against the standard containers

TEST_F(CollTest, ArrayMatchesVectorOverRandomOperations) {
    std::mt19937 rng(1);
    TArray a;
    std::vector<int> v;
    for (int step = 0; step < 20000; ++step) {
        const int op = static_cast<int>(rng() % 10);
        const int x = static_cast<int>(rng() % 1000);
        if (op < 4 || v.empty()) {
            a.Add(x);
            v.push_back(x);
        } else if (op == 4) {
            const size_t i = rng() % (v.size() + 1);
            const size_t n = rng() % 3;
            a.InsertAt(i, x, n);
            v.insert(v.begin() + i, n, x);
        } else if (op == 5 || op == 6) {
            const size_t i = rng() % v.size();
            const size_t n = std::min<size_t>(rng() % 4, v.size() - i);
            a.RemoveAt(i, n);
            v.erase(v.begin() + i, v.begin() + i + n);
        } else if (op == 7) {
            const size_t i = rng() % v.size();
            a.SetAt(i, x);
            v[i] = x;
        } else if (op == 8) {
            const size_t n = rng() % (v.size() + 8);
            a.SetCount(n);
            v.resize(n);
        } else if (v.size() < 200) {
            a.Append(a);
            v.insert(v.end(), v.begin(), v.end());
        } else {
            a.FreeExtra();
        }
        ASSERT_EQ(Contents(a), v) << "step " << step;
    }
    EXPECT_EQ(m_reports.Count(), 0u);
}

TEST_F(CollTest, ListMatchesStdListOverRandomOperations) {
    std::mt19937 rng(2);
    TList l(7);
    std::list<int> s;
    for (int step = 0; step < 20000; ++step) {
        const int op = static_cast<int>(rng() % 8);
        const int x = static_cast<int>(rng() % 100);
        const size_t i = s.empty() ? 0 : rng() % s.size();
        auto it = std::next(s.begin(), static_cast<long>(i));
        ORVPOSITION pos = l.FindIndex(i);
        if (op == 0 || s.empty()) {
            l.AddTail(x);
            s.push_back(x);
        } else if (op == 1) {
            l.AddHead(x);
            s.push_front(x);
        } else if (op == 2) {
            l.InsertBefore(pos, x);
            s.insert(it, x);
        } else if (op == 3) {
            l.InsertAfter(pos, x);
            s.insert(std::next(it), x);
        } else if (op == 4) {
            l.RemoveAt(pos);
            s.erase(it);
        } else if (op == 5) {
            ASSERT_EQ(l.RemoveHead(), s.front());
            s.pop_front();
        } else if (op == 6) {
            ASSERT_EQ(l.RemoveTail(), s.back());
            s.pop_back();
        } else {
            // Find after a position gives the next equal element, as std::find from there.
            ORVPOSITION found = l.Find(x, pos);
            auto sit = std::find(std::next(it), s.end(), x);
            ASSERT_EQ(found == nullptr, sit == s.end());
            if (found != nullptr) {
                ASSERT_EQ(l.GetAt(found), *sit);
            }
        }
        ASSERT_EQ(Contents(l), std::vector<int>(s.begin(), s.end())) << "step " << step;
    }
    EXPECT_EQ(m_reports.Count(), 0u);
}

TEST_F(CollTest, MapMatchesUnorderedMapOverRandomOperations) {
    std::mt19937 rng(3);
    TMap m;
    std::unordered_map<int, int> u;
    // Phases with a growing and then a shrinking key range drive rehashes in both directions.
    for (int step = 0; step < 30000; ++step) {
        const int nRange = step < 15000 ? 50 + step / 10 : 50 + (30000 - step) / 10;
        const int k = static_cast<int>(rng() % nRange) - 20;
        const int op = static_cast<int>(rng() % 6);
        if (op <= 1 || (op == 2 && step < 15000)) {
            m.SetAt(k, step);
            u[k] = step;
        } else if (op <= 3) {
            ASSERT_EQ(m.RemoveKey(k), u.erase(k) == 1);
        } else if (op == 4) {
            int v = -1;
            auto it = u.find(k);
            ASSERT_EQ(m.Lookup(k, v), it != u.end());
            if (it != u.end()) {
                ASSERT_EQ(v, it->second);
            }
        } else if (!u.empty()) {
            // Remove the pair at a position reached by iteration.
            ORVPOSITION pos = m.GetStartPosition();
            for (int n = static_cast<int>(rng() % u.size()); n > 0; --n)
                m.GetNext(pos);
            const int key = m.GetKeyAt(pos);
            ASSERT_TRUE(m.RemoveAtPos(pos));
            u.erase(key);
        }
        if (step % 7 == 0 || step > 29900) {
            auto got = Contents(m);
            std::sort(got.begin(), got.end());
            std::vector<std::pair<int, int>> want(u.begin(), u.end());
            std::sort(want.begin(), want.end());
            ASSERT_EQ(got, want) << "step " << step;
        }
    }
    EXPECT_EQ(m_reports.Count(), 0u);
}

TEST_F(CollTest, StringMapMatchesUnorderedMapOverRandomOperations) {
    std::mt19937 rng(4);
    TStrMap m;
    std::unordered_map<std::string, int> u;
    for (int step = 0; step < 20000; ++step) {
        char buf[16];
        // Bytes above 127 take part in the hash as negative values.
        const auto nKey = static_cast<unsigned>(rng() % 700);
        std::snprintf(buf, sizeof(buf), "k%u%s", nKey, rng() % 3 == 0 ? "\xE9\x80" : "");
        const std::string key(buf);
        const COrvStringA s(key.c_str());
        switch (rng() % 3) {
            case 0:
                m.SetAt(s, step);
                u[key] = step;
                break;
            case 1:
                ASSERT_EQ(m.RemoveKey(s), u.erase(key) == 1);
                break;
            default: {
                const auto* p = m.Lookup(s);
                auto it = u.find(key);
                ASSERT_EQ(p != nullptr, it != u.end());
                if (p != nullptr) {
                    ASSERT_EQ(p->m_value, it->second);
                }
            }
        }
    }
    std::map<std::string, int> got;
    for (ORVPOSITION pos = m.GetStartPosition(); pos != nullptr;) {
        const auto* p = m.GetNext(pos);
        got[Str(p->m_key)] = p->m_value;
    }
    EXPECT_EQ(got, (std::map<std::string, int>(u.begin(), u.end())));
}

TEST_F(CollTest, OrderedMapMatchesStdMapAndKeepsRedBlackInvariants) {
    std::mt19937 rng(5);
    TTree t(4);
    std::map<int, int> s;
    for (int step = 0; step < 12000; ++step) {
        const int nRange = step < 6000 ? 600 : 150;
        const int k = static_cast<int>(rng() % nRange);
        const int op = static_cast<int>(rng() % 5);
        if (op <= 1) {
            t.SetAt(k, step);
            s[k] = step;
        } else if (op == 2) {
            ASSERT_EQ(t.RemoveKey(k), s.erase(k) == 1);
        } else if (op == 3) {
            ORVPOSITION pos = t.FindFirstKeyAfter(k);
            auto it = s.upper_bound(k);
            ASSERT_EQ(pos == nullptr, it == s.end());
            if (pos != nullptr) {
                ASSERT_EQ(t.GetKeyAt(pos), it->first);
                ASSERT_TRUE(t.RemoveAt(pos));
                s.erase(it);
            }
        } else {
            int v = -1;
            auto it = s.find(k);
            ASSERT_EQ(t.Lookup(k, v), it != s.end());
        }
        ASSERT_TRUE(t.IsValidTree()) << "step " << step;
        if (step % 5 == 0) {
            ASSERT_EQ(Contents(t), (std::vector<std::pair<int, int>>(s.begin(), s.end())));
        }
    }
    // Ascending and descending runs are the classic worst cases for the rebalancing.
    TTree a;
    for (int i = 0; i < 2000; ++i)
        a.SetAt(i, i);
    for (int i = 4000; i > 2000; --i)
        a.SetAt(i, i);
    ASSERT_TRUE(a.IsValidTree());
    for (int i = 0; i <= 4000; i += 2)
        a.RemoveKey(i);
    ASSERT_TRUE(a.IsValidTree());
    EXPECT_EQ(a.GetCount(), 2000u);
    EXPECT_EQ(m_reports.Count(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Allocation failure at every allocation point of a sequence

// Runs nSteps random operations from seed on a fresh container, failing allocation number
// nFailAt (0: none). Each operation reports whether it claims to have stored its element; when
// the failure hit an operation, that operation must report the failure, leave the container as
// it was and raise one out-of-memory report. At the end the container must equal the model.
// Returns the number of allocations made.
template <class Fixture>
long RunWithFailure(long nFailAt, int nSteps, unsigned seed, OrvReportCapture& reports) {
    Fixture f;
    std::mt19937 rng(seed);
    OrvTestAlloc::Reset(nFailAt);
    reports.Clear();
    for (int step = 0; step < nSteps; ++step) {
        const auto before = f.Snapshot();
        const long nFailedBefore = OrvTestAlloc::s_nFailed;
        const bool bStored = f.Step(rng);
        if (OrvTestAlloc::s_nFailed != nFailedBefore) {
            EXPECT_EQ(reports.CountAtl(ORV_ATL_E_OUTOFMEMORY), 1u) << "step " << step;
            if (!bStored) {
                EXPECT_EQ(f.Snapshot(), before) << "failed at allocation " << nFailAt;
                f.Undo();
            }
        }
        if (::testing::Test::HasFailure())
            return 0;
    }
    EXPECT_EQ(f.Contents(), f.Model()) << "failed at allocation " << nFailAt;
    return OrvTestAlloc::s_nCalls;
}

template <class Fixture>
void FailEveryAllocation(int nSteps, unsigned seed, OrvReportCapture& reports) {
    const long nTotal = RunWithFailure<Fixture>(0, nSteps, seed, reports);
    ASSERT_GT(nTotal, 10);
    for (long n = 1; n <= nTotal && !::testing::Test::HasFailure(); ++n)
        RunWithFailure<Fixture>(n, nSteps, seed, reports);
}

// Each fixture keeps its model one step behind until the step's outcome is known: Step applies
// the operation to both, Undo takes the model back when the container refused it.
struct ArrayFixture {
    TArray a, src;
    std::vector<int> v, saved;
    ArrayFixture() {
        for (int i = 0; i < 150; ++i)
            src.Add(i);
    }
    std::pair<std::vector<int>, size_t> Snapshot() const {
        return {::Contents(a), a.GetCapacity()};
    }
    std::vector<int> Contents() const { return ::Contents(a); }
    std::vector<int> Model() const { return v; }
    void Undo() { v = saved; }
    bool Step(std::mt19937& rng) {
        saved = v;
        const int x = static_cast<int>(rng() % 100);
        switch (rng() % 7) {
            case 0:
            case 1:
                v.push_back(x);
                return a.Add(x) != TArray::kNoIndex;
            case 2: {
                const size_t i = rng() % (v.size() + 1);
                v.insert(v.begin() + i, 2, x);
                return a.InsertAt(i, x, 2);
            }
            case 3: {
                const size_t n = rng() % (v.size() + 20);
                v.resize(n);
                return a.SetCount(n);
            }
            case 4:
                if (v.size() > 300) {
                    v.clear();
                    a.RemoveAll();
                    return true;
                }
                v.insert(v.end(), v.begin(), v.end());
                return a.Append(a) != TArray::kNoIndex;
            case 5:
                v = ::Contents(src);
                return a.Copy(src);
            default: {
                a.FreeExtra();  // keeps the contents whether or not it could shrink
                return false;
            }
        }
    }
};

struct ListFixture {
    TList l{4};
    std::list<int> s, saved;
    std::vector<int> Snapshot() const { return ::Contents(l); }
    std::vector<int> Contents() const { return ::Contents(l); }
    std::vector<int> Model() const { return {s.begin(), s.end()}; }
    void Undo() { s = saved; }
    bool Step(std::mt19937& rng) {
        saved = s;
        const int x = static_cast<int>(rng() % 100);
        const int op = static_cast<int>(rng() % 5);
        if (op == 0 || s.empty()) {
            s.push_back(x);
            return l.AddTail(x) != nullptr;
        }
        const size_t i = rng() % s.size();
        auto it = std::next(s.begin(), static_cast<long>(i));
        if (op == 1) {
            s.insert(it, x);
            return l.InsertBefore(l.FindIndex(i), x) != nullptr;
        }
        if (op == 2) {
            s.push_front(x);
            return l.AddHead(x) != nullptr;
        }
        s.erase(it);
        return l.RemoveAt(l.FindIndex(i));
    }
};

template <uint32_t nBlock>
struct MapFixtureT {
    TMap m{17, 0.75f, 0.25f, 2.25f, nBlock};
    std::map<int, int> s, saved;
    struct State {
        std::vector<std::pair<int, int>> pairs;
        uint32_t nBins;
        bool operator==(const State&) const = default;
    };
    State Snapshot() const { return {::Contents(m), m.GetHashTableSize()}; }
    std::map<int, int> Contents() const {
        auto v = ::Contents(m);
        return {v.begin(), v.end()};
    }
    std::map<int, int> Model() const { return s; }
    void Undo() { s = saved; }
    bool Step(std::mt19937& rng) {
        saved = s;
        const int k = static_cast<int>(rng() % 300);
        if (rng() % 3 != 0) {
            s[k] = k + 1;
            return m.SetAt(k, k + 1) != nullptr;
        }
        s.erase(k);
        m.RemoveKey(k);
        return true;
    }
};

struct TreeFixture {
    TTree t{3};
    std::map<int, int> s, saved;
    std::vector<std::pair<int, int>> Snapshot() const {
        EXPECT_TRUE(t.IsValidTree());
        return ::Contents(t);
    }
    std::map<int, int> Contents() const {
        auto v = ::Contents(t);
        return {v.begin(), v.end()};
    }
    std::map<int, int> Model() const { return s; }
    void Undo() { s = saved; }
    bool Step(std::mt19937& rng) {
        saved = s;
        const int k = static_cast<int>(rng() % 60);
        if (rng() % 5 < 3) {
            s[k] = k * 3;
            return t.SetAt(k, k * 3) != nullptr;
        }
        s.erase(k);
        t.RemoveKey(k);
        return true;
    }
};

TEST_F(CollTest, StringOrderedMapMatchesStdMap) {
    std::mt19937 rng(6);
    COrvRBMap<COrvStringA, int, COrvElementTraits<COrvStringA>, IntTraits, OrvTestAlloc> t(7);
    std::map<std::string, int> s;
    for (int step = 0; step < 12000; ++step) {
        // Keys of many lengths that share long prefixes, some with bytes above 127.
        std::string key = std::string(rng() % 20, 'p') + std::to_string(rng() % 400);
        if (rng() % 4 == 0)
            key += "\xC3\xA9";
        const COrvStringA k(key.c_str());
        switch (rng() % 3) {
            case 0:
                t.SetAt(k, step);
                s[key] = step;
                break;
            case 1:
                ASSERT_EQ(t.RemoveKey(k), s.erase(key) == 1);
                break;
            default: {
                const auto* p = t.Lookup(k);
                auto it = s.find(key);
                ASSERT_EQ(p != nullptr, it != s.end());
                if (p != nullptr) {
                    ASSERT_EQ(p->m_value, it->second);
                }
                const ORVPOSITION pos = t.FindFirstKeyAfter(k);
                auto after = s.upper_bound(key);
                ASSERT_EQ(pos != nullptr, after != s.end());
                if (pos != nullptr) {
                    ASSERT_EQ(Str(t.GetKeyAt(pos)), after->first);
                }
            }
        }
        if (step % 500 == 0) {
            ASSERT_TRUE(t.IsValidTree());
        }
    }
    std::vector<std::pair<std::string, int>> got;
    for (ORVPOSITION pos = t.GetHeadPosition(); pos != nullptr;) {
        const auto* p = t.GetNext(pos);
        got.emplace_back(Str(p->m_key), p->m_value);
    }
    EXPECT_EQ(got, (std::vector<std::pair<std::string, int>>(s.begin(), s.end())));
    EXPECT_TRUE(t.IsValidTree());
}

TEST_F(CollTest, AllocationFailureLeavesTheArrayAsItWas) {
    FailEveryAllocation<ArrayFixture>(1500, 11, m_reports);
}

TEST_F(CollTest, AllocationFailureLeavesTheListAsItWas) {
    FailEveryAllocation<ListFixture>(1500, 12, m_reports);
}

TEST_F(CollTest, AllocationFailureLeavesTheMapAsItWas) {
    // Failures hit the bins, the node blocks and the rehash arrays; a failed rehash keeps the
    // element it followed and the old bins.
    FailEveryAllocation<MapFixtureT<10>>(2000, 13, m_reports);
    FailEveryAllocation<MapFixtureT<1>>(400, 14, m_reports);
}

TEST_F(CollTest, AllocationFailureLeavesTheOrderedMapAsItWas) {
    FailEveryAllocation<TreeFixture>(1500, 15, m_reports);
}

}  // namespace
