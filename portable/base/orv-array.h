// COrvArray, the growable array, and COrvFixedArray, a checked view of a plain array. The
// failure rule and allocator of every container are described in orv-coll-base.h.
#pragma once

#include "orv-coll-base.h"

// COrvArray: a growable array. Elements are moved between buffers by copying their bytes, so E
// must be relocatable by a plain byte copy (every COrvStringT is). Buffers are zero-filled when
// allocated. Growth: when the wanted count exceeds the capacity, a first buffer gets
// max(wanted, growth step) elements; later buffers max(wanted, capacity + step), where the step
// is the growth step, or when that is 0, size / 8 clamped to 4..1024.
template <typename E, class ETraits = COrvElementTraits<E>, class A = COrvHeapAllocator>
class COrvArray {
public:
    // Returned by Add when the element could not be stored.
    static constexpr size_t kNoIndex = SIZE_MAX;

    COrvArray() = default;
    ~COrvArray() { RemoveAll(); }
    COrvArray(const COrvArray&) = delete;
    COrvArray& operator=(const COrvArray&) = delete;

    // Number of elements in use.
    size_t GetCount() const { return m_nSize; }
    size_t GetSize() const { return m_nSize; }
    bool IsEmpty() const { return m_nSize == 0; }
    // Number of elements the buffer holds before it must grow.
    size_t GetCapacity() const { return m_nMaxSize; }
    // The first element, or null while no buffer exists.
    E* GetData() { return m_pData; }
    const E* GetData() const { return m_pData; }

    // Sets the count: new elements are default-constructed, surplus ones destroyed; 0 frees the
    // buffer. nGrowBy >= 0 also sets the growth step (0: automatic); -1 keeps it. Returns false
    // (array unchanged, growth step included) when the buffer cannot grow.
    bool SetCount(size_t nNewSize, int nGrowBy = -1) {
        if (nNewSize > m_nMaxSize) {
            const size_t nSavedGrowBy = m_nGrowBy;
            if (nGrowBy >= 0)
                m_nGrowBy = static_cast<size_t>(nGrowBy);
            E* pOld = nullptr;
            if (!GrowBuffer(nNewSize, &pOld)) {
                m_nGrowBy = nSavedGrowBy;
                return false;
            }
            A::Free(pOld);
        } else if (nGrowBy >= 0) {
            m_nGrowBy = static_cast<size_t>(nGrowBy);
        }
        if (nNewSize == 0) {
            RemoveAll();
        } else if (nNewSize > m_nSize) {
            for (size_t i = m_nSize; i < nNewSize; ++i)
                ::new (static_cast<void*>(m_pData + i)) E();
            m_nSize = nNewSize;
        } else {
            for (size_t i = nNewSize; i < m_nSize; ++i)
                m_pData[i].~E();
            m_nSize = nNewSize;
        }
        return true;
    }
    bool SetSize(size_t nNewSize, int nGrowBy = -1) { return SetCount(nNewSize, nGrowBy); }

    // Adds a copy of element at the end (element may be one of this array's own). Returns its
    // index, or kNoIndex after an allocation failure (reported; array unchanged).
    size_t Add(const E& element) {
        if (m_nSize == m_nMaxSize) {
            E* pOld = nullptr;
            if (!GrowBuffer(m_nSize + 1, &pOld))
                return kNoIndex;
            // element may live in the old buffer: copy it before that buffer goes.
            ::new (static_cast<void*>(m_pData + m_nSize)) E(element);
            A::Free(pOld);
        } else {
            ::new (static_cast<void*>(m_pData + m_nSize)) E(element);
        }
        return m_nSize++;
    }
    // Adds a default-constructed element; as Add(element).
    size_t Add() {
        if (m_nSize == m_nMaxSize && !GrowInPlace(m_nSize + 1))
            return kNoIndex;
        ::new (static_cast<void*>(m_pData + m_nSize)) E();
        return m_nSize++;
    }

    // Appends copies of src's elements (src may be this array). Returns the index of the first
    // appended element (the old count); on allocation failure nothing is appended and kNoIndex is
    // returned.
    size_t Append(const COrvArray& src) {
        const size_t nOld = m_nSize;
        const size_t nAdd = src.m_nSize;
        if (nAdd == 0)
            return nOld;
        if (nAdd > SIZE_MAX - nOld) {
            OrvAtlThrow(ORV_ATL_E_OUTOFMEMORY, __FILE__, __LINE__);
            return kNoIndex;
        }
        if (!GrowInPlace(nOld + nAdd))
            return kNoIndex;
        // Read src.m_pData only now: when src is this array it refers to the new buffer.
        for (size_t i = 0; i < nAdd; ++i)
            ::new (static_cast<void*>(m_pData + nOld + i)) E(src.m_pData[i]);
        m_nSize = nOld + nAdd;
        return nOld;
    }

    // Makes this array a copy of src. False on allocation failure, with this array unchanged.
    bool Copy(const COrvArray& src) {
        if (&src == this)
            return true;
        if (!GrowInPlace(src.m_nSize))
            return false;
        for (size_t i = 0; i < m_nSize; ++i)
            m_pData[i].~E();
        m_nSize = 0;
        for (size_t i = 0; i < src.m_nSize; ++i)
            ::new (static_cast<void*>(m_pData + i)) E(src.m_pData[i]);
        m_nSize = src.m_nSize;
        if (m_nSize == 0)
            RemoveAll();
        return true;
    }

    // Inserts nCount copies of element before index iElement (iElement == count appends).
    // iElement above the count is reported as ORV_ATL_E_INVALIDARG; allocation failure as
    // ORV_ATL_E_OUTOFMEMORY; in both cases nothing changes and the result is false.
    bool InsertAt(size_t iElement, const E& element, size_t nCount = 1) {
        if (iElement > m_nSize) {
            OrvAtlThrow(ORV_ATL_E_INVALIDARG, __FILE__, __LINE__);
            return false;
        }
        if (nCount == 0)
            return true;
        if (&element >= m_pData && &element < m_pData + m_nSize) {
            const E copy(element);  // the move below would shift the original
            return InsertAt(iElement, copy, nCount);
        }
        if (nCount > SIZE_MAX - m_nSize) {
            OrvAtlThrow(ORV_ATL_E_OUTOFMEMORY, __FILE__, __LINE__);
            return false;
        }
        if (!GrowInPlace(m_nSize + nCount))
            return false;
        std::memmove(static_cast<void*>(m_pData + iElement + nCount),
                     static_cast<const void*>(m_pData + iElement),
                     (m_nSize - iElement) * sizeof(E));
        for (size_t i = 0; i < nCount; ++i)
            ::new (static_cast<void*>(m_pData + iElement + i)) E(element);
        m_nSize += nCount;
        return true;
    }

    // Removes nCount elements starting at iElement. A run that does not lie inside the array is
    // reported as ORV_ATL_E_INVALIDARG and nothing is removed (result false).
    bool RemoveAt(size_t iElement, size_t nCount = 1) {
        if (iElement > m_nSize || nCount > m_nSize - iElement) {
            OrvAtlThrow(ORV_ATL_E_INVALIDARG, __FILE__, __LINE__);
            return false;
        }
        for (size_t i = 0; i < nCount; ++i)
            m_pData[iElement + i].~E();
        std::memmove(static_cast<void*>(m_pData + iElement),
                     static_cast<const void*>(m_pData + iElement + nCount),
                     (m_nSize - iElement - nCount) * sizeof(E));
        m_nSize -= nCount;
        return true;
    }

    // Destroys every element and frees the buffer.
    void RemoveAll() {
        for (size_t i = 0; i < m_nSize; ++i)
            m_pData[i].~E();
        A::Free(m_pData);
        m_pData = nullptr;
        m_nSize = 0;
        m_nMaxSize = 0;
    }

    // Element at iElement. An index not below the count is reported as ORV_ATL_E_INVALIDARG and
    // the result is the scratch "no element" (see the top of this file).
    const E& GetAt(size_t iElement) const {
        if (iElement >= m_nSize) {
            OrvAtlThrow(ORV_ATL_E_INVALIDARG, __FILE__, __LINE__);
            return orv_coll_detail::NoElement<E>();
        }
        return m_pData[iElement];
    }
    E& GetAt(size_t iElement) {
        if (iElement >= m_nSize) {
            OrvAtlThrow(ORV_ATL_E_INVALIDARG, __FILE__, __LINE__);
            return orv_coll_detail::NoElement<E>();
        }
        return m_pData[iElement];
    }
    const E& operator[](size_t iElement) const { return GetAt(iElement); }
    E& operator[](size_t iElement) { return GetAt(iElement); }

    // Replaces the element at iElement with a copy of element; an invalid index is reported as
    // ORV_ATL_E_INVALIDARG and changes nothing (result false).
    bool SetAt(size_t iElement, const E& element) {
        if (iElement >= m_nSize) {
            OrvAtlThrow(ORV_ATL_E_INVALIDARG, __FILE__, __LINE__);
            return false;
        }
        m_pData[iElement] = element;
        return true;
    }

    // Shrinks the buffer to the count (frees it when empty). When the smaller buffer cannot be
    // allocated the report is ORV_ATL_E_OUTOFMEMORY and the array keeps its buffer.
    void FreeExtra() {
        if (m_nSize == m_nMaxSize)
            return;
        if (m_nSize == 0) {
            RemoveAll();
            return;
        }
        E* pNew = static_cast<E*>(A::AllocateZeroed(m_nSize * sizeof(E)));
        if (pNew == nullptr) {
            OrvAtlThrow(ORV_ATL_E_OUTOFMEMORY, __FILE__, __LINE__);
            return;
        }
        std::memcpy(static_cast<void*>(pNew), static_cast<const void*>(m_pData),
                    m_nSize * sizeof(E));
        A::Free(m_pData);
        m_pData = pNew;
        m_nMaxSize = m_nSize;
    }

private:
    // Makes room for nNewSize elements by the growth rule. The old buffer's bytes are copied and
    // the old buffer is handed back through *ppOld for the caller to free (so that an element
    // being added from it stays readable). False (reported, nothing changed) on failure.
    bool GrowBuffer(size_t nNewSize, E** ppOld) {
        *ppOld = nullptr;
        if (nNewSize <= m_nMaxSize)
            return true;
        size_t nAlloc;
        if (m_pData == nullptr) {
            nAlloc = nNewSize > m_nGrowBy ? nNewSize : m_nGrowBy;
        } else {
            size_t nStep = m_nGrowBy;
            if (nStep == 0) {
                nStep = m_nSize / 8;
                nStep = nStep < 4 ? 4 : (nStep > 1024 ? 1024 : nStep);
            }
            nAlloc = m_nMaxSize > SIZE_MAX - nStep ? SIZE_MAX : m_nMaxSize + nStep;
            if (nAlloc < nNewSize)
                nAlloc = nNewSize;
        }
        if (nAlloc > SIZE_MAX / sizeof(E)) {
            OrvAtlThrow(ORV_ATL_E_OUTOFMEMORY, __FILE__, __LINE__);
            return false;
        }
        E* pNew = static_cast<E*>(A::AllocateZeroed(nAlloc * sizeof(E)));
        if (pNew == nullptr) {
            OrvAtlThrow(ORV_ATL_E_OUTOFMEMORY, __FILE__, __LINE__);
            return false;
        }
        if (m_pData != nullptr)
            std::memcpy(static_cast<void*>(pNew), static_cast<const void*>(m_pData),
                        m_nSize * sizeof(E));
        *ppOld = m_pData;
        m_pData = pNew;
        m_nMaxSize = nAlloc;
        return true;
    }
    bool GrowInPlace(size_t nNewSize) {
        E* pOld = nullptr;
        if (!GrowBuffer(nNewSize, &pOld))
            return false;
        A::Free(pOld);
        return true;
    }

    E* m_pData = nullptr;
    size_t m_nSize = 0;
    size_t m_nMaxSize = 0;
    size_t m_nGrowBy = 0;
};

// COrvFixedArray: a view of nSize elements at pData that checks its indexes. It owns nothing.
template <typename E>
class COrvFixedArray {
public:
    COrvFixedArray(E* pData, size_t nSize) : m_pData(pData), m_nSize(nSize) {}
    size_t GetCount() const { return m_nSize; }
    E* GetData() const { return m_pData; }
    // Element nIndex. An index not below the size is reported ("nIndex < m_nSize") and the
    // result is the scratch "no element".
    E& operator[](size_t nIndex) const {
        if (nIndex >= m_nSize) {
            OrvAssertFailed(__FILE__, __LINE__, 0, "nIndex < m_nSize", 1);
            return orv_coll_detail::NoElement<E>();
        }
        return m_pData[nIndex];
    }

private:
    E* m_pData;
    size_t m_nSize;
};
