// COrvList, the doubly linked list. The failure rule and allocator of every container are
// described in orv-coll-base.h.
#pragma once

#include "orv-coll-base.h"

// COrvList: a doubly linked list whose nodes are carved from node blocks (10 nodes per block
// unless given). Positions are node pointers and stay valid until their element is removed.
template <typename E, class ETraits = COrvElementTraits<E>, class A = COrvHeapAllocator>
class COrvList {
    struct CNode {
        CNode* m_pNext;
        CNode* m_pPrev;
        E m_element;
    };

public:
    // nBlockSize: nodes per block; 0 is reported as ORV_ATL_E_INVALIDARG and taken as 10.
    explicit COrvList(size_t nBlockSize = 10) : m_nBlockSize(nBlockSize) {
        if (m_nBlockSize == 0) {
            OrvAtlThrow(ORV_ATL_E_INVALIDARG, __FILE__, __LINE__);
            m_nBlockSize = 10;
        }
    }
    ~COrvList() { RemoveAll(); }
    COrvList(const COrvList&) = delete;
    COrvList& operator=(const COrvList&) = delete;

    size_t GetCount() const { return m_nElements; }
    bool IsEmpty() const { return m_nElements == 0; }
    // Positions of the first and last element; null when empty.
    ORVPOSITION GetHeadPosition() const { return Pos(m_pHead); }
    ORVPOSITION GetTailPosition() const { return Pos(m_pTail); }

    // First and last element. On an empty list reported as ORV_ATL_E_FAIL; the result is then
    // the scratch "no element".
    E& GetHead() { return m_pHead ? m_pHead->m_element : Fail(); }
    const E& GetHead() const { return m_pHead ? m_pHead->m_element : Fail(); }
    E& GetTail() { return m_pTail ? m_pTail->m_element : Fail(); }
    const E& GetTail() const { return m_pTail ? m_pTail->m_element : Fail(); }

    // Element at pos, then pos moves to the next (previous) element or to null at the end. A null
    // pos is reported as ORV_ATL_E_FAIL, stays null, and the result is the scratch element.
    E& GetNext(ORVPOSITION& pos) {
        CNode* p = Node(pos);
        if (p == nullptr)
            return orv_coll_detail::NoElement<E>();
        pos = Pos(p->m_pNext);
        return p->m_element;
    }
    const E& GetNext(ORVPOSITION& pos) const { return const_cast<COrvList*>(this)->GetNext(pos); }
    E& GetPrev(ORVPOSITION& pos) {
        CNode* p = Node(pos);
        if (p == nullptr)
            return orv_coll_detail::NoElement<E>();
        pos = Pos(p->m_pPrev);
        return p->m_element;
    }
    const E& GetPrev(ORVPOSITION& pos) const { return const_cast<COrvList*>(this)->GetPrev(pos); }

    // Element at pos (null pos: reported as ORV_ATL_E_FAIL, scratch element).
    E& GetAt(ORVPOSITION pos) {
        CNode* p = Node(pos);
        return p ? p->m_element : orv_coll_detail::NoElement<E>();
    }
    const E& GetAt(ORVPOSITION pos) const { return const_cast<COrvList*>(this)->GetAt(pos); }
    // Replaces the element at pos; a null pos is reported as ORV_ATL_E_FAIL and changes nothing.
    void SetAt(ORVPOSITION pos, const E& element) {
        CNode* p = Node(pos);
        if (p != nullptr)
            p->m_element = element;
    }

    // Adds a copy of element (default-constructed without one) at the head or tail. Returns its
    // position, or null after an allocation failure (reported; list unchanged).
    ORVPOSITION AddHead(const E& element) { return Pos(Link(NewNode(element), nullptr, m_pHead)); }
    ORVPOSITION AddHead() { return Pos(Link(NewNode(), nullptr, m_pHead)); }
    ORVPOSITION AddTail(const E& element) { return Pos(Link(NewNode(element), m_pTail, nullptr)); }
    ORVPOSITION AddTail() { return Pos(Link(NewNode(), m_pTail, nullptr)); }

    // Inserts a copy of element before (after) pos and returns the new position. A null pos is
    // reported as ORV_ATL_E_FAIL; an allocation failure as ORV_ATL_E_OUTOFMEMORY; both return
    // null and change nothing.
    ORVPOSITION InsertBefore(ORVPOSITION pos, const E& element) {
        CNode* p = Node(pos);
        if (p == nullptr)
            return nullptr;
        return Pos(Link(NewNode(element), p->m_pPrev, p));
    }
    ORVPOSITION InsertAfter(ORVPOSITION pos, const E& element) {
        CNode* p = Node(pos);
        if (p == nullptr)
            return nullptr;
        return Pos(Link(NewNode(element), p, p->m_pNext));
    }

    // Removes the first (last) element and returns it. On an empty list reported as
    // ORV_ATL_E_FAIL; the result is then a default-constructed E.
    E RemoveHead() {
        if (m_pHead == nullptr) {
            OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
            return E();
        }
        E element(m_pHead->m_element);
        FreeNode(m_pHead);
        return element;
    }
    E RemoveTail() {
        if (m_pTail == nullptr) {
            OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
            return E();
        }
        E element(m_pTail->m_element);
        FreeNode(m_pTail);
        return element;
    }
    // As RemoveHead / RemoveTail without the copy; false (reported) on an empty list.
    bool RemoveHeadNoReturn() {
        if (m_pHead == nullptr) {
            OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
            return false;
        }
        FreeNode(m_pHead);
        return true;
    }
    bool RemoveTailNoReturn() {
        if (m_pTail == nullptr) {
            OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
            return false;
        }
        FreeNode(m_pTail);
        return true;
    }
    // Removes the element at pos; a null pos is reported as ORV_ATL_E_FAIL (result false).
    bool RemoveAt(ORVPOSITION pos) {
        CNode* p = Node(pos);
        if (p == nullptr)
            return false;
        FreeNode(p);
        return true;
    }

    // Destroys every element and frees every node block.
    void RemoveAll() {
        for (CNode* p = m_pHead; p != nullptr;) {
            CNode* pNext = p->m_pNext;
            p->m_element.~E();
            p = pNext;
        }
        m_pHead = m_pTail = nullptr;
        m_nElements = 0;
        m_pFree = nullptr;
        orv_coll_detail::FreeBlocks<A>(&m_pBlocks);
    }

    // Position of the first element equal to value (ETraits::CompareElements) after posStartAfter
    // (null: from the head); null when there is none.
    ORVPOSITION Find(const E& value, ORVPOSITION posStartAfter = nullptr) const {
        CNode* p = posStartAfter ? reinterpret_cast<CNode*>(posStartAfter)->m_pNext : m_pHead;
        for (; p != nullptr; p = p->m_pNext) {
            if (ETraits::CompareElements(p->m_element, value))
                return Pos(p);
        }
        return nullptr;
    }
    // Position of the element with index iElement (0 = head); null when iElement is not below
    // the count.
    ORVPOSITION FindIndex(size_t iElement) const {
        if (iElement >= m_nElements)
            return nullptr;
        CNode* p = m_pHead;
        for (size_t i = 0; i < iElement; ++i)
            p = p->m_pNext;
        return Pos(p);
    }

private:
    static ORVPOSITION Pos(CNode* p) { return reinterpret_cast<ORVPOSITION>(p); }
    static CNode* Node(ORVPOSITION pos) {
        if (pos == nullptr)
            OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
        return reinterpret_cast<CNode*>(pos);
    }
    static E& Fail() {
        OrvAtlThrow(ORV_ATL_E_FAIL, __FILE__, __LINE__);
        return orv_coll_detail::NoElement<E>();
    }

    // A node from the free chain (a new block first when it is empty), not yet linked; null
    // after an allocation failure (reported).
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
    CNode* NewNode(const E& element) {
        void* p = TakeNode();
        if (p == nullptr)
            return nullptr;
        CNode* pNode = static_cast<CNode*>(p);
        ::new (static_cast<void*>(&pNode->m_element)) E(element);
        return pNode;
    }
    CNode* NewNode() {
        void* p = TakeNode();
        if (p == nullptr)
            return nullptr;
        CNode* pNode = static_cast<CNode*>(p);
        ::new (static_cast<void*>(&pNode->m_element)) E();
        return pNode;
    }
    // Links pNode between pPrev and pNext (either may be null for the ends); passes null through.
    CNode* Link(CNode* pNode, CNode* pPrev, CNode* pNext) {
        if (pNode == nullptr)
            return nullptr;
        pNode->m_pPrev = pPrev;
        pNode->m_pNext = pNext;
        if (pPrev != nullptr)
            pPrev->m_pNext = pNode;
        else
            m_pHead = pNode;
        if (pNext != nullptr)
            pNext->m_pPrev = pNode;
        else
            m_pTail = pNode;
        ++m_nElements;
        return pNode;
    }
    void FreeNode(CNode* p) {
        if (p->m_pPrev != nullptr)
            p->m_pPrev->m_pNext = p->m_pNext;
        else
            m_pHead = p->m_pNext;
        if (p->m_pNext != nullptr)
            p->m_pNext->m_pPrev = p->m_pPrev;
        else
            m_pTail = p->m_pPrev;
        p->m_element.~E();
        orv_coll_detail::SetFreeNext(p, m_pFree);
        m_pFree = p;
        if (--m_nElements == 0)
            RemoveAll();
    }

    CNode* m_pHead = nullptr;
    CNode* m_pTail = nullptr;
    size_t m_nElements = 0;
    orv_coll_detail::Block* m_pBlocks = nullptr;
    void* m_pFree = nullptr;
    size_t m_nBlockSize;
};
