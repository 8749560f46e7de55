// COrvMap, the hash map with chained bins. The failure rule and allocator of every container are
// described in orv-coll-base.h.
#pragma once

#include "orv-coll-base.h"

// The bin counts a hash map picks from, in ascending order.
inline constexpr uint32_t g_orv_map_primes[] = {
    17,      23,      29,      37,      41,      53,      67,      83,      103,      131,
    163,     211,     257,     331,     409,     521,     647,     821,     1031,     1291,
    1627,    2053,    2591,    3251,    4099,    5167,    6521,    8209,    10331,    13007,
    16411,   20663,   26017,   32771,   41299,   52021,   65537,   82571,   104033,   131101,
    165161,  208067,  262147,  330287,  416147,  524309,  660563,  832291,  1048583,  1321139,
    1664543, 2097169, 2642257, 3329023, 4194319, 5284493, 6658049, 8388617, 10568993, 13316089};

// COrvMap: a hash map with chained bins (17 by default). The bin of a key is its 32-bit hash
// (KTraits::Hash) modulo the bin count. Automatic rehashing: when the count exceeds bins x high
// threshold or falls below bins x low threshold (each truncated; a low count below 17 becomes 0,
// so small maps never shrink) the map rehashes to the bin count picked for its count (count /
// optimal load, raised to the next prime of g_orv_map_primes). Iteration runs over the bins in
// index order, each bin from its most recently inserted key.
template <typename K, typename V, class KTraits = COrvElementTraits<K>,
          class VTraits = COrvElementTraits<V>, class A = COrvHeapAllocator>
class COrvMap : public orv_coll_detail::MapPairs<COrvMap<K, V, KTraits, VTraits, A>, K, V> {
    using Base = orv_coll_detail::MapPairs<COrvMap, K, V>;
    friend Base;

public:
    using typename Base::CPair;

private:
    class CNode : public CPair {
    public:
        CNode(const K& key, const V& value) : CPair(key, value) {}
        explicit CNode(const K& key) : CPair(key) {}
        CNode* m_pNext;
        uint32_t m_nHash;
    };

public:
    // nBins: bins to start with; the loads: elements per bin aimed at after a rehash, and the
    // thresholds below and above which the map rehashes; nBlockSize: nodes per block. Parameters
    // that make no sense (nBins or nBlockSize 0, loads not 0 <= low < optimal < high) are reported
    // as ORV_ATL_E_INVALIDARG and replaced by the defaults.
    explicit COrvMap(uint32_t nBins = 17, float fOptimalLoad = 0.75f, float fLoThreshold = 0.25f,
                     float fHiThreshold = 2.25f, uint32_t nBlockSize = 10)
        : m_nBins(nBins),
          m_fOptimalLoad(fOptimalLoad),
          m_fLoThreshold(fLoThreshold),
          m_fHiThreshold(fHiThreshold),
          m_nBlockSize(nBlockSize) {
        if (!(fLoThreshold >= 0.0f && fLoThreshold < fOptimalLoad && fOptimalLoad < fHiThreshold &&
              fHiThreshold < 1e6f) ||
            nBins == 0 || nBlockSize == 0) {
            OrvAtlThrow(ORV_ATL_E_INVALIDARG, __FILE__, __LINE__);
            if (m_nBins == 0)
                m_nBins = 17;
            if (m_nBlockSize == 0)
                m_nBlockSize = 10;
            m_fOptimalLoad = 0.75f;
            m_fLoThreshold = 0.25f;
            m_fHiThreshold = 2.25f;
        }
        UpdateRehashThresholds();
    }
    ~COrvMap() { RemoveAll(); }
    COrvMap(const COrvMap&) = delete;
    COrvMap& operator=(const COrvMap&) = delete;

    size_t GetCount() const { return m_nElements; }
    bool IsEmpty() const { return m_nElements == 0; }
    // Current number of bins (also before the bin array exists).
    uint32_t GetHashTableSize() const { return m_nBins; }

    // Stores value under key (inserting or overwriting) and returns the pair's position. After
    // an allocation failure (reported as ORV_ATL_E_OUTOFMEMORY) the result is null and the map is
    // unchanged. A failed automatic rehash after a successful insertion is reported the same way
    // but keeps the new element (the map stays valid with its old bins).
    ORVPOSITION SetAt(const K& key, const V& value) {
        const uint32_t h = KTraits::Hash(key);
        if (CNode* p = FindWithHash(key, h)) {
            p->m_value = value;
            return Pos(p);
        }
        void* pRaw = TakeNode();
        if (pRaw == nullptr)
            return nullptr;
        return Pos(Insert(::new (pRaw) CNode(key, value), h));
    }
    // The value of key, inserting a default-constructed one when absent. After an allocation
    // failure (reported; map unchanged) the result is the scratch "no element".
    V& operator[](const K& key) {
        const uint32_t h = KTraits::Hash(key);
        if (CNode* p = FindWithHash(key, h))
            return p->m_value;
        void* pRaw = TakeNode();
        if (pRaw == nullptr)
            return orv_coll_detail::NoElement<V>();
        return Insert(::new (pRaw) CNode(key), h)->m_value;
    }

    // Removes key; true when it was present. May rehash (see the class comment).
    bool RemoveKey(const K& key) {
        if (m_pBins == nullptr)
            return false;
        const uint32_t h = KTraits::Hash(key);
        Bin& bin = m_pBins[BinOf(h)];
        for (CNode** ppLink = &bin.pHead; *ppLink != nullptr; ppLink = &(*ppLink)->m_pNext) {
            if (Matches(*ppLink, key, h)) {
                Unlink(bin, ppLink);
                return true;
            }
        }
        return false;
    }
    // Removes the pair at pos; a null pos is reported as ORV_ATL_E_FAIL (result false).
    bool RemoveAtPos(ORVPOSITION pos) {
        CNode* pNode = Node(pos);
        if (pNode == nullptr)
            return false;
        if (m_pBins == nullptr) {  // an empty map has no positions
            OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
            return false;
        }
        Bin& bin = m_pBins[BinOf(pNode->m_nHash)];
        CNode** ppLink = &bin.pHead;
        while (*ppLink != pNode) {
            if (*ppLink == nullptr) {  // not a node of this map
                OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
                return false;
            }
            ppLink = &(*ppLink)->m_pNext;
        }
        Unlink(bin, ppLink);
        return true;
    }

    // Destroys every pair and frees the bins and the node blocks; the bin count stays.
    void RemoveAll() {
        if (m_pBins != nullptr) {
            for (uint32_t i = 0; i < m_nBins; ++i) {
                for (CNode* p = m_pBins[i].pHead; p != nullptr;) {
                    CNode* pNext = p->m_pNext;
                    p->~CNode();
                    p = pNext;
                }
            }
            A::Free(m_pBins);
            m_pBins = nullptr;
        }
        m_nElements = 0;
        m_pFree = nullptr;
        orv_coll_detail::FreeBlocks<A>(&m_pBlocks);
    }

    // Sets the bin count of an empty map (and with bAllocNow creates the bins at once, else on
    // the first insertion). False when the map is not empty or nBins is 0 (reported as
    // ORV_ATL_E_INVALIDARG) or the bins cannot be allocated (ORV_ATL_E_OUTOFMEMORY); the map is
    // then unchanged.
    bool InitHashTable(uint32_t nBins, bool bAllocNow = true) {
        if (nBins == 0 || m_nElements != 0) {
            OrvAtlThrow(ORV_ATL_E_INVALIDARG, __FILE__, __LINE__);
            return false;
        }
        Bin* pNew = nullptr;
        if (bAllocNow) {
            pNew = AllocBins(nBins);
            if (pNew == nullptr)
                return false;
        }
        A::Free(m_pBins);
        m_pBins = pNew;
        SetBinCount(nBins);
        return true;
    }

    // Rehashes to nBins bins (0: the count picked for the element count). Nothing happens when
    // the count is the current one; without bins only the count changes. False when the new bins
    // cannot be allocated (reported; map unchanged).
    bool Rehash(uint32_t nBins = 0) {
        if (nBins == 0)
            nBins = PickSize(m_nElements);
        if (nBins == m_nBins)
            return true;
        if (m_pBins == nullptr) {
            SetBinCount(nBins);
            return true;
        }
        Bin* pNew = AllocBins(nBins);
        if (pNew == nullptr)
            return false;
        const uint64_t nMul = orv_coll_detail::FastModMul(nBins);
        for (uint32_t i = 0; i < m_nBins; ++i) {
            for (CNode* p = m_pBins[i].pHead; p != nullptr;) {
                CNode* pNext = p->m_pNext;
                PushFront(pNew[orv_coll_detail::FastMod(p->m_nHash, nMul, nBins)], p);
                p = pNext;
            }
        }
        A::Free(m_pBins);
        m_pBins = pNew;
        SetBinCount(nBins);
        return true;
    }

    // Suspends automatic rehashing (nestable) and resumes it. The next insertion or removal after
    // the last resume rehashes when a threshold has been passed meanwhile.
    void DisableAutoRehash() { ++m_nLockCount; }
    void EnableAutoRehash() {
        if (m_nLockCount > 0)
            --m_nLockCount;
    }
    bool IsLocked() const { return m_nLockCount != 0; }

    // Iteration: the first position (null when empty); GetNext returns the pair at pos and moves
    // pos to the next one (null at the end); GetNextAssoc copies key and value instead. A null
    // pos is reported as ORV_ATL_E_FAIL: GetNext then returns null and GetNextAssoc leaves key
    // and value untouched.
    ORVPOSITION GetStartPosition() const {
        if (m_pBins == nullptr || m_nElements == 0)
            return nullptr;
        for (uint32_t i = 0; i < m_nBins; ++i) {
            if (m_pBins[i].pHead != nullptr)
                return Pos(m_pBins[i].pHead);
        }
        return nullptr;
    }
    CPair* GetNext(ORVPOSITION& pos) {
        CNode* p = Node(pos);
        if (p != nullptr)
            pos = Pos(NextNode(p));
        return p;
    }
    const CPair* GetNext(ORVPOSITION& pos) const {
        return const_cast<COrvMap*>(this)->GetNext(pos);
    }

private:
    static ORVPOSITION Pos(CNode* p) { return reinterpret_cast<ORVPOSITION>(p); }
    static ORVPOSITION Pos(const CNode* p) { return Pos(const_cast<CNode*>(p)); }
    static CNode* Node(ORVPOSITION pos) {
        if (pos == nullptr)
            OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
        return reinterpret_cast<CNode*>(pos);
    }

    uint32_t BinOf(uint32_t h) const { return orv_coll_detail::FastMod(h, m_nBinMul, m_nBins); }

    // Equal keys have equal hashes, so the stored hash spares most comparisons of unequal keys;
    // keys of scalar type compare as cheaply as the hashes and skip it.
    static bool Matches(const CNode* p, const K& key, uint32_t h) {
        if constexpr (std::is_scalar_v<K>)
            return KTraits::CompareElements(p->m_key, key);
        else
            return p->m_nHash == h && KTraits::CompareElements(p->m_key, key);
    }

    // A key whose filter bit is clear is absent. Otherwise the bin names the one node worth
    // reading first: the head when its hash is the key's, else the second node (the head cannot
    // hold the key then). Only if that node does not hold it does the search go on along the
    // chain from there. The choice is made from the bin alone, so the node can be fetched
    // without waiting for another node, and no branch waits on memory for keys held by either of
    // the first two nodes.
    CNode* FindWithHash(const K& key, uint32_t h) const {
        if (m_pBins == nullptr)
            return nullptr;
        const Bin& bin = m_pBins[BinOf(h)];
        if ((bin.nFilter & FilterBit(h)) == 0)
            return nullptr;
        CNode* p = bin.nHeadHash == h ? bin.pHead : bin.pSecond;
        for (; p != nullptr; p = p->m_pNext) {
            if (Matches(p, key, h))
                return p;
        }
        return nullptr;
    }
    CNode* Find(const K& key) const { return FindWithHash(key, KTraits::Hash(key)); }

    CNode* NextNode(const CNode* p) const {
        if (p->m_pNext != nullptr)
            return p->m_pNext;
        for (uint32_t i = BinOf(p->m_nHash) + 1; i < m_nBins; ++i) {
            if (m_pBins[i].pHead != nullptr)
                return m_pBins[i].pHead;
        }
        return nullptr;
    }

    // A bin: its chain's head and, kept up to date beside it, the second node, the head's hash
    // and a 32-bit filter of the chain (for every node the bit its hash selects is set). A
    // zero-filled bin is an empty one. Insertion updates a bin without reading a node; removal
    // rebuilds it from the chain that remains.
    struct Bin {
        CNode* pHead;
        CNode* pSecond;
        uint32_t nHeadHash;
        uint32_t nFilter;
    };
    // Five bits of the hash, mixed so that keys of one bin (equal modulo the bin count) still
    // differ in them, select the filter bit.
    static uint32_t FilterBit(uint32_t h) { return 1u << ((h * 0x9E3779B1u) >> 27); }

    static void PushFront(Bin& bin, CNode* p) {
        p->m_pNext = bin.pHead;
        bin.pSecond = bin.pHead;
        bin.pHead = p;
        bin.nHeadHash = p->m_nHash;
        bin.nFilter |= FilterBit(p->m_nHash);
    }
    // Takes the node *ppLink out of bin's chain and frees it.
    void Unlink(Bin& bin, CNode** ppLink) {
        CNode* p = *ppLink;
        *ppLink = p->m_pNext;
        Summarise(bin);
        FreeNode(p);
    }
    static void Summarise(Bin& bin) {
        const CNode* p = bin.pHead;
        bin.pSecond = p ? p->m_pNext : nullptr;
        bin.nHeadHash = p ? p->m_nHash : 0;
        bin.nFilter = 0;
        for (; p != nullptr; p = p->m_pNext)
            bin.nFilter |= FilterBit(p->m_nHash);
    }

    // nBins empty bins.
    Bin* AllocBins(uint32_t nBins) {
        auto* p = size_t{nBins} <= SIZE_MAX / sizeof(Bin)
                      ? static_cast<Bin*>(A::AllocateZeroed(size_t{nBins} * sizeof(Bin)))
                      : nullptr;
        if (p == nullptr)
            OrvAtlThrow(ORV_ATL_E_OUTOFMEMORY, __FILE__, __LINE__);
        return p;
    }

    // Storage for one more node, with the bins created when missing; null after an allocation
    // failure (reported; the map as it was, without bins if it had none).
    void* TakeNode() {
        bool bNewBins = false;
        if (m_pBins == nullptr) {
            m_pBins = AllocBins(m_nBins);
            if (m_pBins == nullptr)
                return nullptr;
            bNewBins = true;
        }
        if (m_pFree == nullptr &&
            !orv_coll_detail::AddBlock<CNode, A>(&m_pBlocks, &m_pFree, m_nBlockSize)) {
            OrvAtlThrow(ORV_ATL_E_OUTOFMEMORY, __FILE__, __LINE__);
            if (bNewBins) {
                A::Free(m_pBins);
                m_pBins = nullptr;
            }
            return nullptr;
        }
        void* p = m_pFree;
        m_pFree = orv_coll_detail::FreeNext(p);
        return p;
    }

    CNode* Insert(CNode* pNode, uint32_t h) {
        pNode->m_nHash = h;
        PushFront(m_pBins[BinOf(h)], pNode);
        ++m_nElements;
        AutoRehash();
        return pNode;
    }

    void FreeNode(CNode* p) {
        p->~CNode();
        orv_coll_detail::SetFreeNext(p, m_pFree);
        m_pFree = p;
        if (--m_nElements == 0) {
            m_pFree = nullptr;
            orv_coll_detail::FreeBlocks<A>(&m_pBlocks);
        }
        AutoRehash();
    }

    void AutoRehash() {
        if (m_nLockCount == 0 &&
            (m_nElements > m_nHiRehashThreshold || m_nElements < m_nLoRehashThreshold))
            Rehash(PickSize(m_nElements));
    }

    // The bin count for nElements: nElements / optimal load, raised to the next table prime, or
    // itself beyond the table.
    uint32_t PickSize(size_t nElements) const {
        const float fBins = static_cast<float>(nElements) / m_fOptimalLoad;
        if (!(fBins < 4294967040.0f))  // the largest float below 2^32
            return UINT32_MAX;
        const auto nBins = static_cast<uint32_t>(fBins);
        for (uint32_t nPrime : g_orv_map_primes) {
            if (nPrime >= nBins)
                return nPrime;
        }
        return nBins;
    }

    void SetBinCount(uint32_t nBins) {
        m_nBins = nBins;
        UpdateRehashThresholds();
    }
    void UpdateRehashThresholds() {
        m_nBinMul = orv_coll_detail::FastModMul(m_nBins);
        // Computed in 32-bit float arithmetic, like the loads themselves.
        m_nHiRehashThreshold = static_cast<size_t>(static_cast<float>(m_nBins) * m_fHiThreshold);
        m_nLoRehashThreshold = static_cast<size_t>(static_cast<float>(m_nBins) * m_fLoThreshold);
        if (m_nLoRehashThreshold < 17)
            m_nLoRehashThreshold = 0;
    }

    Bin* m_pBins = nullptr;  // the bins: chain heads with what is kept beside them
    size_t m_nElements = 0;
    uint32_t m_nBins;
    float m_fOptimalLoad;
    float m_fLoThreshold;
    float m_fHiThreshold;
    size_t m_nHiRehashThreshold = 0;
    size_t m_nLoRehashThreshold = 0;
    uint32_t m_nLockCount = 0;
    uint32_t m_nBlockSize;
    orv_coll_detail::Block* m_pBlocks = nullptr;
    void* m_pFree = nullptr;
    uint64_t m_nBinMul = 0;  // reciprocal of m_nBins for the bin computation
};
