// COrvRBMap, the ordered map (a red-black tree). The failure rule and allocator of every
// container are described in orv-coll-base.h.
#pragma once

#include "orv-coll-base.h"

// COrvRBMap: an ordered map (red-black tree) keyed by KTraits::CompareElementsOrdered. Nodes come
// from node blocks; the sentinel (black, linked to itself) is allocated on the first insertion.
// Iteration is in ascending key order. Positions are node pointers and stay valid until their
// pair is removed.
template <typename K, typename V, class KTraits = COrvElementTraits<K>,
          class VTraits = COrvElementTraits<V>, class A = COrvHeapAllocator>
class COrvRBMap : public orv_coll_detail::MapPairs<COrvRBMap<K, V, KTraits, VTraits, A>, K, V> {
    using Base = orv_coll_detail::MapPairs<COrvRBMap, K, V>;
    friend Base;

public:
    using typename Base::CPair;

private:
    enum : unsigned char { kRed = 0, kBlack = 1 };
    class CNode : public CPair {
    public:
        CNode(const K& key, const V& value) : CPair(key, value) {}
        unsigned char m_eColor;
        CNode* m_pLeft;
        CNode* m_pRight;
        CNode* m_pParent;
    };

public:
    // nBlockSize: nodes per block; 0 is reported as ORV_ATL_E_INVALIDARG and taken as 10.
    explicit COrvRBMap(size_t nBlockSize = 10) : m_nBlockSize(nBlockSize) {
        if (m_nBlockSize == 0) {
            OrvAtlThrow(ORV_ATL_E_INVALIDARG, __FILE__, __LINE__);
            m_nBlockSize = 10;
        }
    }
    ~COrvRBMap() {
        RemoveAll();
        A::Free(m_pNil);
    }
    COrvRBMap(const COrvRBMap&) = delete;
    COrvRBMap& operator=(const COrvRBMap&) = delete;

    size_t GetCount() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }

    // Stores value under key (inserting or overwriting) and returns the pair's position; null
    // after an allocation failure (reported as ORV_ATL_E_OUTOFMEMORY; map unchanged).
    ORVPOSITION SetAt(const K& key, const V& value) {
        bool bNewNil = false;
        if (m_pNil == nullptr) {
            m_pNil = static_cast<CNode*>(A::AllocateZeroed(sizeof(CNode)));
            if (m_pNil == nullptr) {
                OrvAtlThrow(ORV_ATL_E_OUTOFMEMORY, __FILE__, __LINE__);
                return nullptr;
            }
            m_pNil->m_eColor = kBlack;
            m_pNil->m_pLeft = m_pNil->m_pRight = m_pNil->m_pParent = m_pNil;
            m_pRoot = m_pNil;
            bNewNil = true;
        }
        CNode* pParent = m_pNil;
        int nCmp = 0;
        for (CNode* p = m_pRoot; p != m_pNil;) {
            nCmp = KTraits::CompareElementsOrdered(key, p->m_key);
            if (nCmp == 0) {
                p->m_value = value;
                return Pos(p);
            }
            pParent = p;
            p = nCmp < 0 ? p->m_pLeft : p->m_pRight;
        }
        void* pRaw = TakeNode();
        if (pRaw == nullptr) {
            if (bNewNil) {
                A::Free(m_pNil);
                m_pNil = nullptr;
                m_pRoot = nullptr;
            }
            return nullptr;
        }
        CNode* z = ::new (pRaw) CNode(key, value);
        z->m_eColor = kRed;
        z->m_pLeft = z->m_pRight = m_pNil;
        z->m_pParent = pParent;
        if (pParent == m_pNil)
            m_pRoot = z;
        else if (nCmp < 0)
            pParent->m_pLeft = z;
        else
            pParent->m_pRight = z;
        ++m_nCount;
        InsertFixup(z);
        return Pos(z);
    }

    // Removes key; true when it was present.
    bool RemoveKey(const K& key) {
        CNode* p = Find(key);
        if (p == nullptr)
            return false;
        Delete(p);
        return true;
    }
    // Removes the pair at pos; a null pos is reported as ORV_ATL_E_FAIL (result false).
    bool RemoveAt(ORVPOSITION pos) {
        CNode* p = Node(pos);
        if (p == nullptr)
            return false;
        Delete(p);
        return true;
    }

    // Destroys every pair and frees the node blocks and the sentinel.
    void RemoveAll() {
        if (m_pNil != nullptr && m_pRoot != nullptr)
            DestroySubtree(m_pRoot);
        m_pRoot = nullptr;
        m_nCount = 0;
        m_pFree = nullptr;
        orv_coll_detail::FreeBlocks<A>(&m_pBlocks);
        A::Free(m_pNil);
        m_pNil = nullptr;
    }

    // Positions of the smallest and largest key; null when empty.
    ORVPOSITION GetHeadPosition() const { return m_nCount ? Pos(Minimum(m_pRoot)) : nullptr; }
    ORVPOSITION GetTailPosition() const { return m_nCount ? Pos(Maximum(m_pRoot)) : nullptr; }
    // Position of the smallest key greater than key; null when there is none.
    ORVPOSITION FindFirstKeyAfter(const K& key) const {
        const CNode* pBest = nullptr;
        for (const CNode* p = m_pRoot; m_nCount && p != m_pNil;) {
            if (KTraits::CompareElementsOrdered(key, p->m_key) < 0) {
                pBest = p;
                p = p->m_pLeft;
            } else {
                p = p->m_pRight;
            }
        }
        return Pos(pBest);
    }

    // The pair at pos, then pos moves to the next larger (smaller) key, or to null at the end.
    // A null pos is reported as ORV_ATL_E_FAIL and the result is null.
    CPair* GetNext(ORVPOSITION& pos) {
        CNode* p = Node(pos);
        if (p != nullptr)
            pos = Pos(Successor(p));
        return p;
    }
    const CPair* GetNext(ORVPOSITION& pos) const {
        return const_cast<COrvRBMap*>(this)->GetNext(pos);
    }
    CPair* GetPrev(ORVPOSITION& pos) {
        CNode* p = Node(pos);
        if (p != nullptr)
            pos = Pos(Predecessor(p));
        return p;
    }
    const CPair* GetPrev(ORVPOSITION& pos) const {
        return const_cast<COrvRBMap*>(this)->GetPrev(pos);
    }

    // Self-check for tests and debugging: true when the keys ascend, the parent links agree,
    // the root and the sentinel are black, no red node has a red child, every path has the same
    // number of black nodes and the count matches. Walks the whole tree.
    bool IsValidTree() const {
        if (m_pNil == nullptr)
            return m_nCount == 0 && m_pRoot == nullptr;
        if (m_pNil->m_eColor != kBlack || m_pNil->m_pLeft != m_pNil || m_pNil->m_pRight != m_pNil ||
            m_pNil->m_pParent != m_pNil)
            return false;
        if (m_pRoot == m_pNil)
            return m_nCount == 0;
        if (m_pRoot->m_eColor != kBlack || m_pRoot->m_pParent != m_pNil)
            return false;
        size_t nNodes = 0;
        if (CheckSubtree(m_pRoot, nullptr, nullptr, &nNodes) < 0)
            return false;
        return nNodes == m_nCount;
    }

private:
    static ORVPOSITION Pos(const CNode* p) {
        return reinterpret_cast<ORVPOSITION>(const_cast<CNode*>(p));
    }
    static CNode* Node(ORVPOSITION pos) {
        if (pos == nullptr)
            OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
        return reinterpret_cast<CNode*>(pos);
    }

    CNode* Find(const K& key) const {
        if (m_nCount == 0)
            return nullptr;
        // Descend to the first key not below key with one two-way decision per level (which the
        // compiler can make branch-free), then test that key for equality once.
        CNode* pCandidate = m_pNil;
        for (CNode* p = m_pRoot; p != m_pNil;) {
            // Both children are fetched while this node's key is compared, so the next level's
            // node is (mostly) at hand when the decision is made.
            orv_coll_detail::Prefetch(p->m_pLeft);
            orv_coll_detail::Prefetch(p->m_pRight);
            if (KTraits::CompareElementsOrdered(p->m_key, key) < 0) {
                p = p->m_pRight;
            } else {
                pCandidate = p;
                p = p->m_pLeft;
            }
        }
        if (pCandidate == m_pNil || KTraits::CompareElementsOrdered(key, pCandidate->m_key) != 0)
            return nullptr;
        return pCandidate;
    }

    CNode* Minimum(CNode* p) const {
        while (p->m_pLeft != m_pNil)
            p = p->m_pLeft;
        return p;
    }
    CNode* Maximum(CNode* p) const {
        while (p->m_pRight != m_pNil)
            p = p->m_pRight;
        return p;
    }
    CNode* Successor(CNode* p) const {
        if (p->m_pRight != m_pNil)
            return Minimum(p->m_pRight);
        CNode* q = p->m_pParent;
        while (q != m_pNil && p == q->m_pRight) {
            p = q;
            q = q->m_pParent;
        }
        return q == m_pNil ? nullptr : q;
    }
    CNode* Predecessor(CNode* p) const {
        if (p->m_pLeft != m_pNil)
            return Maximum(p->m_pLeft);
        CNode* q = p->m_pParent;
        while (q != m_pNil && p == q->m_pLeft) {
            p = q;
            q = q->m_pParent;
        }
        return q == m_pNil ? nullptr : q;
    }

    void* TakeNode() {
        if (m_pFree == nullptr &&
            !orv_coll_detail::AddBlock<CNode, A>(&m_pBlocks, &m_pFree, m_nBlockSize)) {
            OrvAtlThrow(ORV_ATL_E_OUTOFMEMORY, __FILE__, __LINE__);
            return nullptr;
        }
        void* p = m_pFree;
        m_pFree = orv_coll_detail::FreeNext(p);
        return p;
    }

    // Rotations; a missing child to rotate up is a broken invariant (reported, nothing done).
    void RotateLeft(CNode* x) {
        CNode* y = x->m_pRight;
        if (y == m_pNil) {
            OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
            return;
        }
        x->m_pRight = y->m_pLeft;
        if (y->m_pLeft != m_pNil)
            y->m_pLeft->m_pParent = x;
        y->m_pParent = x->m_pParent;
        if (x->m_pParent == m_pNil)
            m_pRoot = y;
        else if (x == x->m_pParent->m_pLeft)
            x->m_pParent->m_pLeft = y;
        else
            x->m_pParent->m_pRight = y;
        y->m_pLeft = x;
        x->m_pParent = y;
    }
    void RotateRight(CNode* x) {
        CNode* y = x->m_pLeft;
        if (y == m_pNil) {
            OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
            return;
        }
        x->m_pLeft = y->m_pRight;
        if (y->m_pRight != m_pNil)
            y->m_pRight->m_pParent = x;
        y->m_pParent = x->m_pParent;
        if (x->m_pParent == m_pNil)
            m_pRoot = y;
        else if (x == x->m_pParent->m_pRight)
            x->m_pParent->m_pRight = y;
        else
            x->m_pParent->m_pLeft = y;
        y->m_pRight = x;
        x->m_pParent = y;
    }

    void InsertFixup(CNode* z) {
        while (z->m_pParent->m_eColor == kRed) {
            CNode* zp = z->m_pParent;
            CNode* zpp = zp->m_pParent;
            if (zp == zpp->m_pLeft) {
                CNode* y = zpp->m_pRight;
                if (y->m_eColor == kRed) {
                    zp->m_eColor = kBlack;
                    y->m_eColor = kBlack;
                    zpp->m_eColor = kRed;
                    z = zpp;
                } else {
                    if (z == zp->m_pRight) {
                        z = zp;
                        RotateLeft(z);
                        zp = z->m_pParent;
                    }
                    zp->m_eColor = kBlack;
                    zpp->m_eColor = kRed;
                    RotateRight(zpp);
                }
            } else {
                CNode* y = zpp->m_pLeft;
                if (y->m_eColor == kRed) {
                    zp->m_eColor = kBlack;
                    y->m_eColor = kBlack;
                    zpp->m_eColor = kRed;
                    z = zpp;
                } else {
                    if (z == zp->m_pLeft) {
                        z = zp;
                        RotateRight(z);
                        zp = z->m_pParent;
                    }
                    zp->m_eColor = kBlack;
                    zpp->m_eColor = kRed;
                    RotateLeft(zpp);
                }
            }
        }
        m_pRoot->m_eColor = kBlack;
    }

    // Puts v in u's place under u's parent (v may be the sentinel, whose parent is then set).
    void Transplant(CNode* u, CNode* v) {
        if (u->m_pParent == m_pNil)
            m_pRoot = v;
        else if (u == u->m_pParent->m_pLeft)
            u->m_pParent->m_pLeft = v;
        else
            u->m_pParent->m_pRight = v;
        v->m_pParent = u->m_pParent;
    }

    void Delete(CNode* z) {
        CNode* y = z;
        unsigned char eOrig = y->m_eColor;
        CNode* x;
        if (z->m_pLeft == m_pNil) {
            x = z->m_pRight;
            Transplant(z, z->m_pRight);
        } else if (z->m_pRight == m_pNil) {
            x = z->m_pLeft;
            Transplant(z, z->m_pLeft);
        } else {
            y = Minimum(z->m_pRight);
            eOrig = y->m_eColor;
            x = y->m_pRight;
            if (y->m_pParent == z) {
                x->m_pParent = y;
            } else {
                Transplant(y, y->m_pRight);
                y->m_pRight = z->m_pRight;
                y->m_pRight->m_pParent = y;
            }
            Transplant(z, y);
            y->m_pLeft = z->m_pLeft;
            y->m_pLeft->m_pParent = y;
            y->m_eColor = z->m_eColor;
        }
        if (eOrig == kBlack)
            DeleteFixup(x);
        // The sentinel's parent served as x's parent during the fix-up; restore its self-link.
        m_pNil->m_pParent = m_pNil;
        z->~CNode();
        orv_coll_detail::SetFreeNext(z, m_pFree);
        m_pFree = z;
        if (--m_nCount == 0) {
            m_pFree = nullptr;
            orv_coll_detail::FreeBlocks<A>(&m_pBlocks);
            m_pRoot = m_pNil;
        }
    }

    void DeleteFixup(CNode* x) {
        while (x != m_pRoot && x->m_eColor == kBlack) {
            CNode* xp = x->m_pParent;
            if (x == xp->m_pLeft) {
                CNode* w = xp->m_pRight;
                if (w->m_eColor == kRed) {
                    w->m_eColor = kBlack;
                    xp->m_eColor = kRed;
                    RotateLeft(xp);
                    w = xp->m_pRight;
                }
                if (w->m_pLeft->m_eColor == kBlack && w->m_pRight->m_eColor == kBlack) {
                    w->m_eColor = kRed;
                    x = xp;
                } else {
                    if (w->m_pRight->m_eColor == kBlack) {
                        w->m_pLeft->m_eColor = kBlack;
                        w->m_eColor = kRed;
                        RotateRight(w);
                        w = xp->m_pRight;
                    }
                    w->m_eColor = xp->m_eColor;
                    xp->m_eColor = kBlack;
                    w->m_pRight->m_eColor = kBlack;
                    RotateLeft(xp);
                    x = m_pRoot;
                }
            } else {
                CNode* w = xp->m_pLeft;
                if (w->m_eColor == kRed) {
                    w->m_eColor = kBlack;
                    xp->m_eColor = kRed;
                    RotateRight(xp);
                    w = xp->m_pLeft;
                }
                if (w->m_pRight->m_eColor == kBlack && w->m_pLeft->m_eColor == kBlack) {
                    w->m_eColor = kRed;
                    x = xp;
                } else {
                    if (w->m_pLeft->m_eColor == kBlack) {
                        w->m_pRight->m_eColor = kBlack;
                        w->m_eColor = kRed;
                        RotateLeft(w);
                        w = xp->m_pLeft;
                    }
                    w->m_eColor = xp->m_eColor;
                    xp->m_eColor = kBlack;
                    w->m_pLeft->m_eColor = kBlack;
                    RotateRight(xp);
                    x = m_pRoot;
                }
            }
        }
        x->m_eColor = kBlack;
    }

    void DestroySubtree(CNode* p) {
        // Iterative post-order walk, so that deep trees cannot exhaust the stack.
        while (p != m_pNil) {
            if (p->m_pLeft != m_pNil) {
                p = p->m_pLeft;
            } else if (p->m_pRight != m_pNil) {
                p = p->m_pRight;
            } else {
                CNode* pParent = p->m_pParent;
                if (pParent != m_pNil) {
                    if (pParent->m_pLeft == p)
                        pParent->m_pLeft = m_pNil;
                    else
                        pParent->m_pRight = m_pNil;
                }
                p->~CNode();
                p = pParent;
            }
        }
    }

    // Black height of the subtree, or -1 when an invariant fails. pLo / pHi bound its keys.
    int CheckSubtree(const CNode* p, const CNode* pLo, const CNode* pHi, size_t* pnNodes) const {
        if (p == m_pNil)
            return 1;
        ++*pnNodes;
        if (*pnNodes > m_nCount)
            return -1;
        if (pLo != nullptr && KTraits::CompareElementsOrdered(pLo->m_key, p->m_key) >= 0)
            return -1;
        if (pHi != nullptr && KTraits::CompareElementsOrdered(p->m_key, pHi->m_key) >= 0)
            return -1;
        if (p->m_eColor != kRed && p->m_eColor != kBlack)
            return -1;
        if (p->m_pLeft != m_pNil && p->m_pLeft->m_pParent != p)
            return -1;
        if (p->m_pRight != m_pNil && p->m_pRight->m_pParent != p)
            return -1;
        if (p->m_eColor == kRed && (p->m_pLeft->m_eColor == kRed || p->m_pRight->m_eColor == kRed))
            return -1;
        const int nLeft = CheckSubtree(p->m_pLeft, pLo, p, pnNodes);
        const int nRight = CheckSubtree(p->m_pRight, p, pHi, pnNodes);
        if (nLeft < 0 || nRight < 0 || nLeft != nRight)
            return -1;
        return nLeft + (p->m_eColor == kBlack ? 1 : 0);
    }

    CNode* m_pRoot = nullptr;
    size_t m_nCount = 0;
    void* m_pFree = nullptr;
    orv_coll_detail::Block* m_pBlocks = nullptr;
    size_t m_nBlockSize;
    CNode* m_pNil = nullptr;
};
