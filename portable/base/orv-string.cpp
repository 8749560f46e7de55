// Blocks of COrvStringT (allocation, the process-wide empty block, release), the template's
// operations.
#include "orv-string.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orv-format.h"
#include "orv-trace.h"
#include "orv-utf.h"

// Reports a failed condition with its fixed text and yields the condition.
#define ORV_STR_CHECK(cond, text) \
    ((cond) ? true : (OrvAssertFailed(__FILE__, __LINE__, 0, text, 1), false))

unsigned char g_orv_string_wipe = 0;

OrvStringAllocator g_orv_string_alloc = {std::malloc, std::realloc, std::free};

namespace {

struct NilBlock {
    COrvStringData m_hdr;
    unsigned char m_aZero[8];
};

NilBlock MakeNil() {
    NilBlock b;
    b.m_hdr.m_nDataLength = 0;
    b.m_hdr.m_nAllocLength = -1;
    b.m_hdr.m_nRefs = -1;
    std::memset(b.m_aZero, 0, sizeof(b.m_aZero));
    return b;
}

// Capacity of a block of nBytes.
inline int CapacityOf(int64_t nBytes, int nCharSize) {
    return static_cast<int>((nBytes - static_cast<int64_t>(sizeof(COrvStringData))) / nCharSize -
                            1);
}

// Block bytes for nChars characters, or -1 when that would not fit the 32-bit fields.
inline int64_t BlockBytes(int64_t nChars, int nCharSize) {
    if (nChars < 0)
        nChars = 0;
    const int64_t n = ((nChars + 1) * nCharSize + 19) & ~int64_t{7};
    return n > 0x7FFFFFF0 ? -1 : n;
}

}  // namespace

COrvStringData* OrvStringNilData() {
    static NilBlock s_nil = MakeNil();
    return &s_nil.m_hdr;
}

void COrvStringData::SetDataLength(int nLength) {
    if (!ORV_STR_CHECK(m_nAllocLength >= 0 && nLength <= m_nAllocLength,
                       "m_nAllocLength >= 0 && nLength <= m_nAllocLength"))
        return;
    m_nDataLength = nLength;
}

int OrvStringBlockSize(int nChars, int nCharSize) {
    return static_cast<int>(BlockBytes(nChars, nCharSize));
}

COrvStringData* OrvStringAllocate(int nChars, int nCharSize) {
    if (!ORV_STR_CHECK(nChars >= 0, "nChars >= 0"))
        return nullptr;
    const int64_t nBytes = BlockBytes(nChars, nCharSize);
    if (nBytes < 0)
        return nullptr;
    auto* p =
        static_cast<COrvStringData*>(g_orv_string_alloc.pfnAlloc(static_cast<size_t>(nBytes)));
    if (p == nullptr)
        return nullptr;
    p->m_nRefs = 1;
    p->m_nDataLength = 0;
    p->m_nAllocLength = CapacityOf(nBytes, nCharSize);
    char* pChars = static_cast<char*>(p->data());
    std::memset(pChars + static_cast<size_t>(nChars) * nCharSize, 0, nCharSize);
    pChars[0] = 0;
    if (nCharSize == 2)
        pChars[1] = 0;
    return p;
}

COrvStringData* OrvStringReallocate(COrvStringData* pData, int nChars, int nCharSize) {
    if (!ORV_STR_CHECK(nChars > 0, "nChars > 0") ||
        !ORV_STR_CHECK(!pData->IsShared(), "!pData->IsShared()"))
        return nullptr;
    const int64_t nBytes = BlockBytes(nChars, nCharSize);
    if (nBytes < 0)
        return nullptr;
    auto* p = static_cast<COrvStringData*>(
        g_orv_string_alloc.pfnRealloc(pData, static_cast<size_t>(nBytes)));
    if (p == nullptr)
        return nullptr;
    p->m_nAllocLength = CapacityOf(nBytes, nCharSize);
    return p;
}

void OrvStringRelease(COrvStringData* pData, int nCharSize) {
    if (pData->IsStatic())
        return;
    if (g_orv_string_wipe && !pData->IsShared())
        std::memset(pData->data(), 0, static_cast<size_t>(pData->m_nAllocLength) * nCharSize);
    if (__atomic_sub_fetch(&pData->m_nRefs, 1, __ATOMIC_ACQ_REL) <= 0)
        g_orv_string_alloc.pfnFree(pData);
}

// ---- the string ----

namespace {

template <typename T>
inline bool IsSpaceT(T ch) {
    if constexpr (sizeof(T) == 1)
        return OrvIsSpaceA(ch);
    else
        return OrvIsSpaceW(ch);
}

template <typename T>
inline void CopyChars(T* pDst, const T* pSrc, int n) {
    if (n > 0)
        std::memmove(pDst, pSrc, static_cast<size_t>(n) * sizeof(T));
}

template <typename T>
inline bool PointsInto(const T* p, const T* pBegin, int nLen) {
    return p >= pBegin && p <= pBegin + nLen;
}

// First occurrence of the nSub characters of pSub within [p, p + n), or null.
template <typename T>
const T* FindSub(const T* p, int n, const T* pSub, int nSub) {
    if constexpr (sizeof(T) == 1) {
        return static_cast<const T*>(memmem(p, n, pSub, nSub));
    } else {
        const T* pEnd = p + n - nSub;
        for (; p <= pEnd; ++p) {
            if (*p == *pSub && std::memcmp(p, pSub, nSub * sizeof(T)) == 0)
                return p;
        }
        return nullptr;
    }
}

}  // namespace

template <typename T>
COrvStringT<T>::COrvStringT(const COrvStringT& src) : m_pszData(NilChars()) {
    operator=(src);
}

template <typename T>
COrvStringT<T>::COrvStringT(const T* psz) : m_pszData(NilChars()) {
    SetString(psz, StringLength(psz));
}

template <typename T>
COrvStringT<T>::COrvStringT(const T* pch, int nLength) : m_pszData(NilChars()) {
    if (nLength != 0 && !ORV_STR_CHECK(pch != nullptr, "pch!=NULL"))
        return;
    SetString(pch, nLength);
}

template <typename T>
COrvStringT<T>::COrvStringT(T ch, int nRepeat) : m_pszData(NilChars()) {
    if (!ORV_STR_CHECK(nRepeat >= 0, "nLength >= 0") || nRepeat == 0)
        return;
    T* p = GetBuffer(nRepeat);
    if (p == nullptr)
        return;
    for (int i = 0; i < nRepeat; ++i)
        p[i] = ch;
    SetLength(nRepeat);
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::operator=(const COrvStringT& src) {
    COrvStringData* pSrc = src.GetData();
    if (pSrc == GetData())
        return *this;
    if (pSrc->IsStatic()) {
        OrvStringRelease(GetData(), sizeof(T));
        Attach(pSrc);
    } else if (__atomic_load_n(&pSrc->m_nRefs, __ATOMIC_RELAXED) >= 0) {
        pSrc->AddRef();
        OrvStringRelease(GetData(), sizeof(T));
        Attach(pSrc);
    } else {
        // A locked block is never shared: copy it.
        SetString(src.m_pszData, src.GetLength());
    }
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::operator=(COrvStringT&& src) noexcept {
    if (this != &src) {
        OrvStringRelease(GetData(), sizeof(T));
        m_pszData = src.m_pszData;
        src.m_pszData = NilChars();
    }
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::operator=(const T* psz) {
    SetString(psz);
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::operator=(T ch) {
    SetString(&ch, 1);
    return *this;
}

template <typename T>
bool COrvStringT<T>::SetString(const T* psz) {
    return SetString(psz, StringLength(psz));
}

template <typename T>
bool COrvStringT<T>::SetString(const T* pch, int nLength) {
    if (!ORV_STR_CHECK(nLength == 0 || (pch != nullptr && nLength >= 0),
                       "nLength==0 || (pch!=NULL && nLength>=0)"))
        return false;
    if (nLength == 0) {
        Empty();
        return true;
    }
    const int nOld = GetLength();
    const bool bInside = PointsInto(pch, m_pszData, nOld);
    const ptrdiff_t nOffset = pch - m_pszData;
    COrvStringData* pData = GetData();
    if (!bInside && (pData->IsStatic() || pData->IsShared() || pData->m_nAllocLength < nLength)) {
        // Fresh block: no need to copy the old text first.
        COrvStringData* pNew = OrvStringAllocate(nLength, sizeof(T));
        if (pNew == nullptr)
            return false;
        T* p = static_cast<T*>(pNew->data());
        CopyChars(p, pch, nLength);
        p[nLength] = 0;
        pNew->m_nDataLength = nLength;
        if (pData->IsLocked()) {
            // Keep the lock on the new block.
            pNew->m_nRefs = pData->m_nRefs;
        }
        OrvStringRelease(pData, sizeof(T));
        Attach(pNew);
        return true;
    }
    if (!PrepareWrite(nLength))
        return false;
    if (bInside)
        pch = m_pszData + nOffset;
    CopyChars(m_pszData, pch, nLength);
    SetLength(nLength);
    return true;
}

template <typename T>
T COrvStringT<T>::GetAt(int iChar) const {
    if (!ORV_STR_CHECK((iChar >= 0) && (iChar <= GetLength()),
                       "(iChar >= 0) && (iChar <= GetLength())"))
        return 0;
    return m_pszData[iChar];
}

template <typename T>
int COrvStringT<T>::Compare(const T* psz) const {
    using U = std::make_unsigned_t<T>;
    const U* a = reinterpret_cast<const U*>(m_pszData);
    const U* b = reinterpret_cast<const U*>(psz != nullptr ? psz : NilChars());
    while (*a == *b && *a != 0) {
        ++a;
        ++b;
    }
    return static_cast<int>(*a) - static_cast<int>(*b);
}

template <typename T>
int COrvStringT<T>::CompareNoCase(const T* psz) const {
    using U = std::make_unsigned_t<T>;
    const U* a = reinterpret_cast<const U*>(m_pszData);
    const U* b = reinterpret_cast<const U*>(psz != nullptr ? psz : NilChars());
    for (;; ++a, ++b) {
        int ca = *a;
        int cb = *b;
        if (ca >= 'A' && ca <= 'Z')
            ca += 32;
        if (cb >= 'A' && cb <= 'Z')
            cb += 32;
        if (ca != cb || ca == 0)
            return ca - cb;
    }
}

template <typename T>
bool COrvStringT<T>::Equals(const COrvStringT& other) const {
    const int n = GetLength();
    return n == other.GetLength() &&
           std::memcmp(m_pszData, other.m_pszData, static_cast<size_t>(n) * sizeof(T)) == 0;
}

template <typename T>
bool COrvStringT<T>::PrepareWrite(int nNeeded) {
    const int nOld = GetLength();
    if (nNeeded < nOld)
        nNeeded = nOld;
    COrvStringData* pData = GetData();
    if (pData->IsStatic() || pData->IsShared()) {
        COrvStringData* pNew = OrvStringAllocate(nNeeded, sizeof(T));
        if (pNew == nullptr)
            return false;
        const int nCopy = nOld < nNeeded ? nOld : nNeeded;
        T* p = static_cast<T*>(pNew->data());
        CopyChars(p, m_pszData, nCopy);
        p[nCopy] = 0;
        pNew->m_nDataLength = nCopy;
        OrvStringRelease(pData, sizeof(T));
        Attach(pNew);
        return true;
    }
    if (nNeeded <= pData->m_nAllocLength)
        return true;
    const int64_t nCap = pData->m_nAllocLength;
    int64_t nReq = nCap <= 1024 ? nCap * 2 : nCap + 1024;
    if (nReq < nNeeded)
        nReq = nNeeded;
    if (nReq > 0x7FFFFFF0 / static_cast<int64_t>(sizeof(T)))
        nReq = nNeeded;
    COrvStringData* pNew = OrvStringReallocate(pData, static_cast<int>(nReq), sizeof(T));
    if (pNew == nullptr)
        return false;
    Attach(pNew);
    m_pszData[nReq] = 0;
    return true;
}

template <typename T>
void COrvStringT<T>::SetLength(int nLength) {
    COrvStringData* pData = GetData();
    if (!ORV_STR_CHECK(nLength >= 0, "nLength >= 0"))
        return;
    if (!ORV_STR_CHECK(nLength <= GetAllocLength(), "nLength <= GetAllocLength(pData)"))
        return;
    if (pData->IsStatic())
        return;  // the empty block keeps its length 0
    pData->SetDataLength(nLength);
    m_pszData[nLength] = 0;
}

template <typename T>
bool COrvStringT<T>::SetAt(int iChar, T ch) {
    if (!ORV_STR_CHECK(iChar >= 0 && iChar < GetLength(), "iChar >= 0 && iChar < GetLength()"))
        return false;
    if (!PrepareWrite(0))
        return false;
    m_pszData[iChar] = ch;
    return true;
}

template <typename T>
bool COrvStringT<T>::Append(const T* pch, int nLength) {
    if (nLength <= 0)
        return nLength == 0;
    if (!ORV_STR_CHECK(pch != nullptr, "pszSrc!=NULL"))
        return false;
    const int nOld = GetLength();
    if (nLength > 0x7FFFFFF0 / static_cast<int>(sizeof(T)) - nOld)
        return false;
    const ptrdiff_t nOffset = pch - m_pszData;
    const bool bInside = PointsInto(pch, m_pszData, nOld);
    if (GetBufferSetLength(nOld + nLength) == nullptr)
        return false;
    if (bInside)
        pch = m_pszData + nOffset;
    CopyChars(m_pszData + nOld, pch, nLength);
    return true;
}

template <typename T>
bool COrvStringT<T>::Append(const T* psz) {
    return Append(psz, StringLength(psz));
}

template <typename T>
bool COrvStringT<T>::Append(const COrvStringT& str) {
    if (IsEmpty() && !GetData()->IsLocked()) {
        operator=(str);
        return true;
    }
    return Append(str.m_pszData, str.GetLength());
}

template <typename T>
bool COrvStringT<T>::AppendCharSlow(T ch) {
    const int nOld = GetLength();
    if (!PrepareWrite(nOld + 1))
        return false;
    m_pszData[nOld] = ch;
    SetLength(nOld + 1);
    return true;
}

template <typename T>
int COrvStringT<T>::Insert(int iIndex, const T* psz) {
    const int nOld = GetLength();
    if (iIndex < 0)
        iIndex = 0;
    if (iIndex > nOld)
        iIndex = nOld;
    const int nIns = StringLength(psz);
    if (nIns == 0)
        return nOld;
    if (PointsInto(psz, m_pszData, nOld)) {
        const COrvStringT copy(psz, nIns);
        if (copy.GetLength() != nIns)
            return nOld;
        return Insert(iIndex, copy.m_pszData);
    }
    if (nIns > 0x7FFFFFF0 / static_cast<int>(sizeof(T)) - nOld)
        return nOld;
    if (!PrepareWrite(nOld + nIns))
        return nOld;
    CopyChars(m_pszData + iIndex + nIns, m_pszData + iIndex, nOld - iIndex);
    CopyChars(m_pszData + iIndex, psz, nIns);
    SetLength(nOld + nIns);
    return nOld + nIns;
}

template <typename T>
int COrvStringT<T>::Insert(int iIndex, T ch) {
    const T a[2] = {ch, 0};
    if (ch == 0)
        return GetLength();
    return Insert(iIndex, a);
}

template <typename T>
int COrvStringT<T>::Delete(int iIndex, int nCount) {
    const int nOld = GetLength();
    if (iIndex < 0)
        iIndex = 0;
    if (nCount <= 0 || iIndex >= nOld)
        return nOld;
    if (nCount > nOld - iIndex)
        nCount = nOld - iIndex;
    if (!PrepareWrite(0))
        return nOld;
    CopyChars(m_pszData + iIndex, m_pszData + iIndex + nCount, nOld - iIndex - nCount);
    SetLength(nOld - nCount);
    return nOld - nCount;
}

template <typename T>
int COrvStringT<T>::Remove(T ch) {
    const int nOld = GetLength();
    int i = 0;
    while (i < nOld && m_pszData[i] != ch)
        ++i;
    if (i == nOld || !PrepareWrite(0))
        return 0;
    int w = i;
    for (; i < nOld; ++i) {
        if (m_pszData[i] != ch)
            m_pszData[w++] = m_pszData[i];
    }
    SetLength(w);
    return nOld - w;
}

template <typename T>
int COrvStringT<T>::Replace(const T* pszOld, const T* pszNew) {
    const int nOldSub = StringLength(pszOld);
    if (nOldSub == 0)
        return 0;
    const int nLen = GetLength();
    // Arguments inside our own characters are copied first: the buffer is rewritten below.
    if (PointsInto(pszOld, m_pszData, nLen) || PointsInto(pszNew, m_pszData, nLen)) {
        const COrvStringT a(pszOld);
        const COrvStringT b(pszNew);
        if (a.GetLength() != nOldSub || b.GetLength() != StringLength(pszNew))
            return 0;
        return Replace(a.m_pszData, b.m_pszData);
    }
    const int nNewSub = StringLength(pszNew);
    // Pass 1: count. pszOld holds no NUL, so no match crosses a NUL-separated segment.
    int nCount = 0;
    for (const T* p = m_pszData;
         (p = FindSub(p, static_cast<int>(m_pszData + nLen - p), pszOld, nOldSub)) != nullptr;
         p += nOldSub)
        ++nCount;
    if (nCount == 0)
        return 0;
    const int64_t nNewLen64 = nLen + static_cast<int64_t>(nNewSub - nOldSub) * nCount;
    if (nNewLen64 > 0x7FFFFFF0 / static_cast<int64_t>(sizeof(T)))
        return 0;
    const int nNewLen = static_cast<int>(nNewLen64);
    if (!PrepareWrite(nNewLen > nLen ? nNewLen : nLen))
        return 0;
    // Pass 2: when growing, move the text to the end of the buffer first, then rebuild it from
    // the front; the write position never overtakes the read position.
    const int nShift = nNewLen > nLen ? nNewLen - nLen : 0;
    CopyChars(m_pszData + nShift, m_pszData, nLen);
    const T* r = m_pszData + nShift;
    const T* rEnd = r + nLen;
    T* w = m_pszData;
    while (r < rEnd) {
        const T* m = FindSub(r, static_cast<int>(rEnd - r), pszOld, nOldSub);
        const T* pStop = m != nullptr ? m : rEnd;
        const int nPlain = static_cast<int>(pStop - r);
        CopyChars(w, r, nPlain);
        w += nPlain;
        r = pStop;
        if (m == nullptr)
            break;
        CopyChars(w, pszNew, nNewSub);
        w += nNewSub;
        r += nOldSub;
    }
    SetLength(nNewLen);
    ORV_STR_CHECK(m_pszData[nNewLen] == 0, "pszBuffer[nNewLength] == 0");
    return nCount;
}

template <typename T>
int COrvStringT<T>::Replace(T chOld, T chNew) {
    if (chOld == chNew)
        return 0;
    const int nLen = GetLength();
    int i = 0;
    while (i < nLen && m_pszData[i] != chOld)
        ++i;
    if (i == nLen || !PrepareWrite(0))
        return 0;
    int nCount = 0;
    for (; i < nLen; ++i) {
        if (m_pszData[i] == chOld) {
            m_pszData[i] = chNew;
            ++nCount;
        }
    }
    return nCount;
}

template <typename T>
bool COrvStringT<T>::Replace(int nStart, int nCount, const T* pszNew) {
    const int nOldLength = GetLength();
    if (!ORV_STR_CHECK(nStart >= 0 && nStart <= nOldLength, "nStart<=nOldLength"))
        return false;
    if (nCount < 0)
        nCount = 0;
    if (nCount > nOldLength - nStart)
        nCount = nOldLength - nStart;
    const int nNew = StringLength(pszNew);
    COrvStringT str;
    const int64_t nTotal = static_cast<int64_t>(nOldLength) - nCount + nNew;
    if (nTotal == 0) {
        Empty();
        return true;
    }
    if (nTotal > 0x7FFFFFF0 / static_cast<int64_t>(sizeof(T)))
        return false;
    T* p = str.GetBufferSetLength(static_cast<int>(nTotal));
    if (p == nullptr)
        return false;
    CopyChars(p, m_pszData, nStart);
    CopyChars(p + nStart, pszNew, nNew);
    CopyChars(p + nStart + nNew, m_pszData + nStart + nCount, nOldLength - nStart - nCount);
    if (GetData()->IsLocked())
        return SetString(str.m_pszData, str.GetLength());
    *this = static_cast<COrvStringT&&>(str);
    return true;
}

template <typename T>
bool COrvStringT<T>::Truncate(int nLength) {
    const int nOld = GetLength();
    if (nLength >= nOld)
        return true;
    COrvStringData* pData = GetData();
    if (!ORV_STR_CHECK(!pData->IsNil(), "!pData->IsNil()"))
        return false;
    if (nLength < 0)
        nLength = 0;
    if (pData->IsStatic() || pData->IsShared()) {
        if (nLength == 0) {
            Empty();
            return true;
        }
        COrvStringData* pNew = OrvStringAllocate(nLength, sizeof(T));
        if (pNew == nullptr)
            return false;
        T* p = static_cast<T*>(pNew->data());
        CopyChars(p, m_pszData, nLength);
        p[nLength] = 0;
        pNew->m_nDataLength = nLength;
        OrvStringRelease(pData, sizeof(T));
        Attach(pNew);
        return true;
    }
    if (nLength == 0) {
        Empty();
        return true;
    }
    SetLength(nLength);
    return true;
}

template <typename T>
void COrvStringT<T>::Empty() {
    COrvStringData* pData = GetData();
    if (pData->IsNil())
        return;
    if (pData->IsLocked()) {
        pData->m_nDataLength = 0;
        m_pszData[0] = 0;
        return;
    }
    OrvStringRelease(pData, sizeof(T));
    m_pszData = NilChars();
}

template <typename T>
COrvStringT<T> COrvStringT<T>::Mid(int iFirst, int nCount) const {
    const int nLen = GetLength();
    if (iFirst < 0)
        iFirst = 0;
    if (nCount < 0)
        nCount = 0;
    if (iFirst >= nLen)
        return COrvStringT();
    if (nCount > nLen - iFirst)
        nCount = nLen - iFirst;
    if (iFirst == 0 && nCount == nLen)
        return *this;
    return COrvStringT(m_pszData + iFirst, nCount);
}

template <typename T>
COrvStringT<T> COrvStringT<T>::Right(int nCount) const {
    const int nLen = GetLength();
    if (nCount < 0)
        nCount = 0;
    if (nCount > nLen)
        nCount = nLen;
    return Mid(nLen - nCount, nCount);
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::TrimLeft() {
    const int nLen = GetLength();
    int i = 0;
    while (i < nLen && IsSpaceT(m_pszData[i]))
        ++i;
    if (i > 0)
        SetString(m_pszData + i, nLen - i);
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::TrimRight() {
    int n = GetLength();
    while (n > 0 && IsSpaceT(m_pszData[n - 1]))
        --n;
    Truncate(n);
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::TrimLeft(T ch) {
    const int nLen = GetLength();
    int i = 0;
    while (i < nLen && m_pszData[i] == ch)
        ++i;
    if (i > 0)
        SetString(m_pszData + i, nLen - i);
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::TrimRight(T ch) {
    int n = GetLength();
    while (n > 0 && m_pszData[n - 1] == ch)
        --n;
    Truncate(n);
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::MakeLower() {
    const int nLen = GetLength();
    int i = 0;
    while (i < nLen && !(m_pszData[i] >= 'A' && m_pszData[i] <= 'Z'))
        ++i;
    if (i < nLen && PrepareWrite(0)) {
        for (; i < nLen; ++i) {
            if (m_pszData[i] >= 'A' && m_pszData[i] <= 'Z')
                m_pszData[i] = static_cast<T>(m_pszData[i] + 32);
        }
    }
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::MakeUpper() {
    const int nLen = GetLength();
    int i = 0;
    while (i < nLen && !(m_pszData[i] >= 'a' && m_pszData[i] <= 'z'))
        ++i;
    if (i < nLen && PrepareWrite(0)) {
        for (; i < nLen; ++i) {
            if (m_pszData[i] >= 'a' && m_pszData[i] <= 'z')
                m_pszData[i] = static_cast<T>(m_pszData[i] - 32);
        }
    }
    return *this;
}

template <typename T>
COrvStringT<T>& COrvStringT<T>::MakeReverse() {
    const int nLen = GetLength();
    if (nLen > 1 && PrepareWrite(0)) {
        for (int i = 0, j = nLen - 1; i < j; ++i, --j) {
            const T c = m_pszData[i];
            m_pszData[i] = m_pszData[j];
            m_pszData[j] = c;
        }
    }
    return *this;
}

template <typename T>
int COrvStringT<T>::Find(T ch, int iStart) const {
    if (!ORV_STR_CHECK(iStart >= 0, "iStart >= 0"))
        return -1;
    const int nLen = GetLength();
    for (int i = iStart; i < nLen; ++i) {
        if (m_pszData[i] == ch)
            return i;
    }
    return -1;
}

template <typename T>
int COrvStringT<T>::Find(const T* psz, int iStart) const {
    if (!ORV_STR_CHECK(iStart >= 0, "iStart >= 0"))
        return -1;
    const int nLen = GetLength();
    if (psz == nullptr || iStart > nLen)
        return -1;
    const int nSub = StringLength(psz);
    if (nSub == 0)
        return iStart;
    const T* p = FindSub(m_pszData + iStart, nLen - iStart, psz, nSub);
    return p != nullptr ? static_cast<int>(p - m_pszData) : -1;
}

template <typename T>
int COrvStringT<T>::ReverseFind(T ch) const {
    for (int i = GetLength() - 1; i >= 0; --i) {
        if (m_pszData[i] == ch)
            return i;
    }
    return -1;
}

template <typename T>
int COrvStringT<T>::FindOneOf(const T* pszCharSet, int iStart) const {
    if (!ORV_STR_CHECK(pszCharSet != nullptr, "pszCharSet!=NULL") ||
        !ORV_STR_CHECK(iStart >= 0, "iStart >= 0"))
        return -1;
    const int nLen = GetLength();
    for (int i = iStart; i < nLen; ++i) {
        for (const T* s = pszCharSet; *s; ++s) {
            if (*s == m_pszData[i])
                return i;
        }
    }
    return -1;
}

template <typename T>
T* COrvStringT<T>::GetBuffer(int nMinBufferLength) {
    if (nMinBufferLength < 0)
        nMinBufferLength = 0;
    return PrepareWrite(nMinBufferLength) ? m_pszData : nullptr;
}

template <typename T>
T* COrvStringT<T>::GetBufferSetLength(int nLength) {
    if (!ORV_STR_CHECK(nLength >= 0, "nLength >= 0"))
        return nullptr;
    if (!PrepareWrite(nLength))
        return nullptr;
    SetLength(nLength);
    return m_pszData;
}

template <typename T>
void COrvStringT<T>::ReleaseBuffer(int nNewLength) {
    COrvStringData* pData = GetData();
    if (pData->IsStatic() || pData->IsShared()) {
        // Not a block from GetBuffer: keep what is there.
        if (nNewLength >= 0 && nNewLength < GetLength())
            Truncate(nNewLength);
        return;
    }
    const int nCap = pData->m_nAllocLength;
    if (nNewLength == -1) {
        nNewLength = 0;
        while (nNewLength < nCap && m_pszData[nNewLength] != 0)
            ++nNewLength;
        ORV_STR_CHECK(m_pszData[nNewLength] == '\0', "m_pszData[nNewLength]=='\\0'");
    }
    if (nNewLength < 0)
        nNewLength = 0;
    if (nNewLength > nCap) {
        SetLength(nNewLength);  // reports the bad length
        nNewLength = nCap;
    }
    if (nNewLength == 0) {
        Empty();
        return;
    }
    if (!pData->IsLocked() &&
        OrvStringBlockSize(nNewLength, sizeof(T)) < OrvStringBlockSize(nCap, sizeof(T))) {
        COrvStringData* pNew = OrvStringReallocate(pData, nNewLength, sizeof(T));
        if (pNew != nullptr)
            Attach(pNew);
    }
    SetLength(nNewLength);
}

template <typename T>
T* COrvStringT<T>::LockBuffer() {
    if (!PrepareWrite(0))
        return nullptr;
    COrvStringData* pData = GetData();
    ORV_STR_CHECK(pData->m_nRefs == 1 || pData->m_nRefs < 0, "m_nRefs == 1 || m_nRefs < 0");
    if (--pData->m_nRefs == 0)
        pData->m_nRefs = -1;
    return m_pszData;
}

template <typename T>
void COrvStringT<T>::UnlockBuffer() {
    COrvStringData* pData = GetData();
    if (!pData->IsLocked())
        return;
    if (++pData->m_nRefs == 0)
        pData->m_nRefs = 1;
}

template <typename T>
COrvStringT<T> COrvStringT<T>::Concat(const T* a, int na, const T* b, int nb) {
    COrvStringT s;
    if (na + static_cast<int64_t>(nb) > 0x7FFFFFF0 / static_cast<int64_t>(sizeof(T)))
        return s;
    T* p = s.GetBufferSetLength(na + nb);
    if (p == nullptr)
        return s;
    CopyChars(p, a, na);
    CopyChars(p + na, b, nb);
    return s;
}

// Formatting: the first pass writes into a stack buffer, which also keeps arguments that point
// into this string valid while they are read. Output that does not fit that buffer is measured
// exactly by the first pass and written by a second pass into a block of its own.
template <typename T>
bool COrvStringT<T>::FormatImpl(const T* pszFormat, va_list args, bool bAppend) {
    if (!ORV_STR_CHECK(pszFormat != nullptr, "pszFormat!=NULL"))
        return false;
    constexpr int kStack = 512;
    T aBuf[kStack];
    va_list a1;
    va_copy(a1, args);
    const int nLength = OrvVFormat(aBuf, kStack, sizeof(T) == 2, pszFormat, nullptr, a1);
    va_end(a1);
    if (bAppend) {
        if (!ORV_STR_CHECK(nLength >= 0, "nAppendLength>=0"))
            return false;
    } else if (!ORV_STR_CHECK(nLength >= 0, "nLength>=0")) {
        return false;
    }
    if (nLength == 0) {
        if (!bAppend)
            Empty();
        return true;
    }
    if (nLength < kStack)
        return bAppend ? Append(aBuf, nLength) : SetString(aBuf, nLength);
    COrvStringT str;
    T* p = str.GetBuffer(nLength);
    if (p == nullptr)
        return false;
    va_list a2;
    va_copy(a2, args);
    const int act_len = OrvVFormat(p, nLength + 1, sizeof(T) == 2, pszFormat, nullptr, a2);
    va_end(a2);
    if (!ORV_STR_CHECK(act_len >= 0 && act_len < nLength + 1, "act_len>=0")) {
        if (!bAppend)
            Empty();
        return false;
    }
    str.SetLength(act_len);
    if (bAppend)
        return Append(str);
    if (GetData()->IsLocked())
        return SetString(str.m_pszData, act_len);
    *this = static_cast<COrvStringT&&>(str);
    return true;
}

template <typename T>
bool COrvStringT<T>::FormatV(const T* pszFormat, va_list args) {
    return FormatImpl(pszFormat, args, false);
}

template <typename T>
bool COrvStringT<T>::AppendFormatV(const T* pszFormat, va_list args) {
    return FormatImpl(pszFormat, args, true);
}

template <typename T>
bool COrvStringT<T>::Format(const T* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const bool b = FormatImpl(pszFormat, args, false);
    va_end(args);
    return b;
}

template <typename T>
bool COrvStringT<T>::AppendFormat(const T* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const bool b = FormatImpl(pszFormat, args, true);
    va_end(args);
    return b;
}

template class COrvStringT<char>;
template class COrvStringT<OrvWChar>;
