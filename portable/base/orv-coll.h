// Container templates of orv-lib: the growable array COrvArray, the doubly linked list COrvList,
// the hash map COrvMap, the ordered map COrvRBMap (red-black tree) and the checked view
// COrvFixedArray, with the key traits they use.
//
// All of them are value containers: elements live in the container's own storage and are copied
// in with their copy constructor. None of them locks: an owner that shares one between threads
// holds its own lock around every access.
//
// Failure rule, common to every template here. Misuse and allocation failures are reported through
// OrvAtlThrow (OrvAssertFailed with the condition text "AtlThrow"), with ORV_ATL_E_OUTOFMEMORY when
// storage cannot be allocated, ORV_ATL_E_INVALIDARG for an index out of range and ORV_ATL_E_FAIL
// for a null position or a broken invariant. After an allocation failure the container is exactly
// as it was before the call and the element was not stored; after an invalid index or a null
// position the call changes nothing and returns "no element" (a null position, false, or a
// reference to a default-constructed scratch element that belongs to no container).
//
// Storage comes from the allocator parameter A (static Allocate, AllocateZeroed, Reallocate and
// Free over bytes, malloc-like: null on failure). The default is the runtime heap; tests put in
// an allocator that fails on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "orv-buffers.h"
#include "orv-string.h"
#include "orv-trace.h"

// Position inside a list or map: an opaque node pointer; null means "no position".
struct OrvPositionTag;
using ORVPOSITION = OrvPositionTag*;

namespace orv_coll_detail {

// A default-constructed element that belongs to no container: what accessors return as "no
// element" after an invalid index or position. Reset on every use, so writes through the
// reference are lost and never reach a container. Per thread.
template <typename E>
E& NoElement() {
    static thread_local E s_element;
    s_element = E();
    return s_element;
}

// Node blocks: one zero-filled allocation of nNodes nodes behind a link to the block allocated
// before it. New nodes are pushed on the free chain from the last to the first, so the chain hands
// them out in address order. The free chain is linked through the first pointer of each free
// node's storage.
struct Block {
    Block* pNext;
};

template <size_t nAlign>
constexpr size_t BlockHeader() {
    return (sizeof(Block) + nAlign - 1) / nAlign * nAlign;
}

inline void* FreeNext(void* pNode) {
    void* p;
    std::memcpy(&p, pNode, sizeof(p));
    return p;
}

inline void SetFreeNext(void* pNode, void* pNext) {
    std::memcpy(pNode, &pNext, sizeof(pNext));
}

// Allocates a block of nNodes nodes of type Node and pushes them on *ppFree. False (nothing
// changed) when the size overflows or the allocation fails.
template <class Node, class A>
bool AddBlock(Block** ppBlocks, void** ppFree, size_t nNodes) {
    static_assert(alignof(Node) <= alignof(std::max_align_t), "over-aligned nodes");
    constexpr size_t nHeader = BlockHeader<alignof(Node)>();
    if (nNodes == 0 || nNodes > (SIZE_MAX - nHeader) / sizeof(Node))
        return false;
    auto* pBlock = static_cast<Block*>(A::AllocateZeroed(nHeader + nNodes * sizeof(Node)));
    if (pBlock == nullptr)
        return false;
    pBlock->pNext = *ppBlocks;
    *ppBlocks = pBlock;
    char* pFirst = reinterpret_cast<char*>(pBlock) + nHeader;
    for (size_t i = nNodes; i-- > 0;) {
        void* pNode = pFirst + i * sizeof(Node);
        SetFreeNext(pNode, *ppFree);
        *ppFree = pNode;
    }
    return true;
}

template <class A>
void FreeBlocks(Block** ppBlocks) {
    Block* p = *ppBlocks;
    while (p != nullptr) {
        Block* pNext = p->pNext;
        A::Free(p);
        p = pNext;
    }
    *ppBlocks = nullptr;
}

// h % d for 32-bit h and d >= 1, computed with the reciprocal nMul = UINT64_MAX / d + 1 (exact
// for every 32-bit h; see Lemire, Kaser, Kurz, "Faster remainder by direct computation", 2019).
inline uint32_t FastMod(uint32_t h, uint64_t nMul, uint32_t d) {
    const uint64_t nLow = nMul * h;
    return static_cast<uint32_t>((static_cast<unsigned __int128>(nLow) * d) >> 64);
}

inline uint64_t FastModMul(uint32_t d) {
    return UINT64_MAX / d + 1;
}

// Folds the UTF-8 text at p (pEnd is one past its last byte) one piece at a time: writes the
// upper-case bytes of the next piece to out[0..3] and returns how many; *pp moves past the input
// that was used. A well-formed sequence is decoded, mapped and re-encoded; any byte that does not
// start a well-formed sequence is passed through on its own.
inline int FoldUtf8(const char** pp, const char* pEnd, unsigned char out[4]) {
    const auto* p = reinterpret_cast<const unsigned char*>(*pp);
    const auto* e = reinterpret_cast<const unsigned char*>(pEnd);
    const unsigned char b0 = p[0];
    if (b0 < 0x80) {
        out[0] = (b0 >= 'a' && b0 <= 'z') ? static_cast<unsigned char>(b0 - 32) : b0;
        *pp += 1;
        return 1;
    }
    int n = 0;
    char32_t c = 0;
    char32_t cMin = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
        c = b0 & 0x1F;
        cMin = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        c = b0 & 0x0F;
        cMin = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        c = b0 & 0x07;
        cMin = 0x10000;
    }
    bool bOk = n > 0 && e - p >= n;
    for (int i = 1; bOk && i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            bOk = false;
        else
            c = (c << 6) | (p[i] & 0x3F);
    }
    if (!bOk || c < cMin || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        out[0] = b0;
        *pp += 1;
        return 1;
    }
    *pp += n;
    c = OrvUpperCodePoint(c);
    if (c < 0x80) {
        out[0] = static_cast<unsigned char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 4;
}

// Streams the folded bytes of a UTF-8 text.
class FoldedUtf8 {
public:
    FoldedUtf8(const char* p, size_t n) : m_p(p), m_pEnd(p + n) {}
    // Next folded byte into *pb; false at the end.
    bool Next(unsigned char* pb) {
        if (m_nPos == m_nLen) {
            if (m_p == m_pEnd)
                return false;
            m_nLen = FoldUtf8(&m_p, m_pEnd, m_buf);
            m_nPos = 0;
        }
        *pb = m_buf[m_nPos++];
        return true;
    }

private:
    const char* m_p;
    const char* m_pEnd;
    unsigned char m_buf[4] = {};
    int m_nLen = 0;
    int m_nPos = 0;
};

// Ordinal comparison of two code-unit runs as unsigned values; a shorter run that is a prefix of
// the other sorts first.
template <typename C>
int CompareUnits(const C* a, size_t na, const C* b, size_t nb) {
    using U = std::make_unsigned_t<C>;
    const size_t n = na < nb ? na : nb;
    if constexpr (sizeof(C) == 1) {  // memcmp compares bytes as unsigned values
        const int nCmp = n ? std::memcmp(a, b, n) : 0;
        if (nCmp != 0)
            return nCmp < 0 ? -1 : 1;
        return na < nb ? -1 : (na > nb ? 1 : 0);
    }
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return static_cast<U>(a[i]) < static_cast<U>(b[i]) ? -1 : 1;
    }
    return na < nb ? -1 : (na > nb ? 1 : 0);
}

// 33^k in 32-bit arithmetic, for the string hash taken several characters at a time.
constexpr uint32_t Pow33(int k) {
    uint32_t r = 1;
    for (int i = 0; i < k; ++i)
        r *= 33;
    return r;
}

// The value a code unit adds to the string hash: narrow characters as signed 8-bit values, wide
// code units as they are.
template <typename C>
inline uint32_t HashUnit(C c) {
    if constexpr (sizeof(C) == 1)
        return static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
    else
        return static_cast<uint32_t>(static_cast<std::make_unsigned_t<C>>(c));
}

// h = h * 33 + unit over p[0..n), from h = 0, in 32-bit arithmetic. Eight units at a time: the
// step h * 33^8 + u0 * 33^7 + ... + u7 is the same sum as eight single steps, but its products
// are independent of each other, so only one multiplication per eight units is on the chain.
template <typename C>
inline uint32_t HashUnits(const C* p, size_t n) {
    constexpr uint32_t k1 = Pow33(1), k2 = Pow33(2), k3 = Pow33(3), k4 = Pow33(4);
    constexpr uint32_t k5 = Pow33(5), k6 = Pow33(6), k7 = Pow33(7), k8 = Pow33(8);
    uint32_t h = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const C* q = p + i;
        const uint32_t a = HashUnit(q[0]) * k7 + HashUnit(q[1]) * k6;
        const uint32_t b = HashUnit(q[2]) * k5 + HashUnit(q[3]) * k4;
        const uint32_t c = HashUnit(q[4]) * k3 + HashUnit(q[5]) * k2;
        const uint32_t d = HashUnit(q[6]) * k1 + HashUnit(q[7]);
        h = h * k8 + ((a + b) + (c + d));
    }
    if (i + 4 <= n) {
        const C* q = p + i;
        h = h * k4 +
            ((HashUnit(q[0]) * k3 + HashUnit(q[1]) * k2) + (HashUnit(q[2]) * k1 + HashUnit(q[3])));
        i += 4;
    }
    for (; i < n; ++i)
        h = h * k1 + HashUnit(p[i]);
    return h;
}

// Unaligned loads of 8, 4 and 2 bytes.
inline uint64_t Load64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}
inline uint32_t Load32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// Byte-wise equality of n bytes. Short runs (the usual keys) are compared with a few word loads
// that never read outside the two runs (the last word overlaps the one before it); long runs go
// to memcmp.
inline bool EqualBytes(const void* pa, const void* pb, size_t n) {
    const auto* a = static_cast<const unsigned char*>(pa);
    const auto* b = static_cast<const unsigned char*>(pb);
    if (n >= 8) {
        if (n > 32)
            return std::memcmp(a, b, n) == 0;
        for (size_t i = 0; i + 8 < n; i += 8) {
            if (Load64(a + i) != Load64(b + i))
                return false;
        }
        return Load64(a + n - 8) == Load64(b + n - 8);
    }
    if (n >= 4)
        return ((Load32(a) ^ Load32(b)) | (Load32(a + n - 4) ^ Load32(b + n - 4))) == 0;
    if (n == 0)
        return true;
    // 1 to 3 bytes: the first, the middle and the last (some of them the same byte).
    return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

// The first n (1 to 8) bytes at p as a big-endian number, so that comparing two such numbers
// orders the runs as memcmp does. For n below 8 the bytes are picked with overlapping loads; the
// overlap repeats bytes, which keeps the order (the repeated byte is equal in both runs wherever
// an earlier byte is).
inline uint64_t BigEndianPrefix(const unsigned char* p, size_t n) {
    if (n >= 8)
        return __builtin_bswap64(Load64(p));
    if (n >= 4)
        return (uint64_t{__builtin_bswap32(Load32(p))} << 32) |
               __builtin_bswap32(Load32(p + n - 4));
    return (uint64_t{p[0]} << 16) | (uint64_t{p[n / 2]} << 8) | p[n - 1];
}

// Ordinal comparison of two byte runs (unsigned bytes, a prefix sorts first): -1, 0 or 1. Eight
// bytes at a time as big-endian words; memcmp for long common lengths.
inline int CompareBytes(const void* pa, size_t na, const void* pb, size_t nb) {
    const auto* a = static_cast<const unsigned char*>(pa);
    const auto* b = static_cast<const unsigned char*>(pb);
    const size_t n = na < nb ? na : nb;
    if (n > 32) {
        const int nCmp = std::memcmp(a, b, n);
        if (nCmp != 0)
            return nCmp < 0 ? -1 : 1;
    } else if (n != 0) {
        size_t i = 0;
        for (; i + 8 < n; i += 8) {
            const uint64_t x = Load64(a + i);
            const uint64_t y = Load64(b + i);
            if (x != y)
                return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
        }
        // The last 1 to 8 bytes; when n >= 8 the word ends at n and overlaps bytes known equal.
        const size_t nTail = n - i;
        const uint64_t x = n >= 8 ? BigEndianPrefix(a + n - 8, 8) : BigEndianPrefix(a, nTail);
        const uint64_t y = n >= 8 ? BigEndianPrefix(b + n - 8, 8) : BigEndianPrefix(b, nTail);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return na < nb ? -1 : (na > nb ? 1 : 0);
}

// Starts fetching the cache line at p (a hint only; p may be anything, even null).
inline void Prefetch(const void* p) {
    __builtin_prefetch(p, 0, 3);
}

}  // namespace orv_coll_detail

// Default traits of keys and elements: equality with ==, order with <, and for integers, enums
// and pointers a hash equal to the value itself (truncated to 32 bits). Other key types need
// traits of their own to be used as hash-map keys.
template <typename T>
struct COrvElementTraits {
    static uint32_t Hash(const T& e) {
        if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
            return static_cast<uint32_t>(e);
        } else if constexpr (std::is_pointer_v<T>) {
            return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e));
        } else {
            static_assert(!sizeof(T*), "COrvElementTraits: no hash for this key type");
            return 0;
        }
    }
    static bool CompareElements(const T& a, const T& b) { return a == b; }
    static int CompareElementsOrdered(const T& a, const T& b) {
        return a < b ? -1 : (b < a ? 1 : 0);
    }
};

// Traits of string keys (COrvStringA, COrvStringW). Narrow text hashes as h = h * 33 + c over its
// characters from h = 0, each character taken as a signed 8-bit value, in 32-bit arithmetic; wide
// text the same way over its 16-bit code units. Equal means equal length and equal characters;
// order is ordinal over unsigned code units.
template <typename C>
struct COrvElementTraits<COrvStringT<C>> {
    static uint32_t Hash(const COrvStringT<C>& s) {
        return orv_coll_detail::HashUnits(static_cast<const C*>(s),
                                          static_cast<size_t>(s.GetLength()));
    }
    // Two strings sharing one block are equal without looking at their characters; otherwise
    // the lengths first, then the characters.
    static bool CompareElements(const COrvStringT<C>& a, const COrvStringT<C>& b) {
        const C* pa = static_cast<const C*>(a);
        const C* pb = static_cast<const C*>(b);
        if (pa == pb)
            return true;
        const int n = a.GetLength();
        return n == b.GetLength() &&
               orv_coll_detail::EqualBytes(pa, pb, static_cast<size_t>(n) * sizeof(C));
    }
    static int CompareElementsOrdered(const COrvStringT<C>& a, const COrvStringT<C>& b) {
        const C* pa = static_cast<const C*>(a);
        const C* pb = static_cast<const C*>(b);
        if constexpr (sizeof(C) == 1) {
            if (pa == pb)
                return 0;
            return orv_coll_detail::CompareBytes(pa, a.GetLength(), pb, b.GetLength());
        } else {
            return orv_coll_detail::CompareUnits(pa, a.GetLength(), pb, b.GetLength());
        }
    }
};

// Case-insensitive traits of string keys. Narrow keys are UTF-8: ASCII letters a to z fold by
// subtracting 32, a well-formed multi-byte sequence is decoded, mapped to upper case, re-encoded
// and its bytes used; bytes that do not decode are used as they are. Wide keys fold each code unit
// with the same mapping. Hash (h = h * 33 + c, characters as signed 8-bit values for narrow text),
// equality and order (unsigned, ordinal) all work on the folded text, so keys that are equal here
// always hash alike.
template <typename S>
struct COrvStringNoCaseTraits;

template <typename C>
struct COrvStringNoCaseTraits<COrvStringT<C>> {
    static uint32_t Hash(const COrvStringT<C>& s) {
        uint32_t h = 0;
        if constexpr (sizeof(C) == 1) {
            orv_coll_detail::FoldedUtf8 f(static_cast<const char*>(s), s.GetLength());
            unsigned char b;
            while (f.Next(&b))
                h = h * 33 +
                    static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(b)));
        } else {
            const C* p = static_cast<const C*>(s);
            const int n = s.GetLength();
            for (int i = 0; i < n; ++i)
                h = h * 33 + static_cast<uint32_t>(FoldUnit(p[i]));
        }
        return h;
    }
    static bool CompareElements(const COrvStringT<C>& a, const COrvStringT<C>& b) {
        return CompareElementsOrdered(a, b) == 0;
    }
    static int CompareElementsOrdered(const COrvStringT<C>& a, const COrvStringT<C>& b) {
        if constexpr (sizeof(C) == 1) {
            orv_coll_detail::FoldedUtf8 fa(static_cast<const char*>(a), a.GetLength());
            orv_coll_detail::FoldedUtf8 fb(static_cast<const char*>(b), b.GetLength());
            for (;;) {
                unsigned char ca;
                unsigned char cb;
                const bool bA = fa.Next(&ca);
                const bool bB = fb.Next(&cb);
                if (!bA || !bB)
                    return bA ? 1 : (bB ? -1 : 0);
                if (ca != cb)
                    return ca < cb ? -1 : 1;
            }
        } else {
            const C* pa = static_cast<const C*>(a);
            const C* pb = static_cast<const C*>(b);
            const int na = a.GetLength();
            const int nb = b.GetLength();
            const int n = na < nb ? na : nb;
            for (int i = 0; i < n; ++i) {
                const uint32_t ca = FoldUnit(pa[i]);
                const uint32_t cb = FoldUnit(pb[i]);
                if (ca != cb)
                    return ca < cb ? -1 : 1;
            }
            return na < nb ? -1 : (na > nb ? 1 : 0);
        }
    }

private:
    static uint32_t FoldUnit(C c) {
        const auto u = static_cast<std::make_unsigned_t<C>>(c);
        if (u >= 0xD800 && u <= 0xDFFF)
            return u;
        const char32_t up = OrvUpperCodePoint(u);
        return up <= 0xFFFF ? static_cast<uint32_t>(up) : u;
    }
};

// ---------------------------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------------------------
// The bin counts a hash map picks from, in ascending order.
inline constexpr uint32_t g_orv_map_primes[] = {
    17,      23,      29,      37,      41,      53,      67,      83,      103,      131,
    163,     211,     257,     331,     409,     521,     647,     821,     1031,     1291,
    1627,    2053,    2591,    3251,    4099,    5167,    6521,    8209,    10331,    13007,
    16411,   20663,   26017,   32771,   41299,   52021,   65537,   82571,   104033,   131101,
    165161,  208067,  262147,  330287,  416147,  524309,  660563,  832291,  1048583,  1321139,
    1664543, 2097169, 2642257, 3329023, 4194319, 5284493, 6658049, 8388617, 10568993, 13316089};

namespace orv_coll_detail {

// What the hash map and the ordered map share: the pair type (a node derives from it and adds its
// links) and the lookups and position accessors that need only the map's Find (key to node, or
// null), Node (position to node; a null position reported as ORV_ATL_E_FAIL) and GetNext. D is
// the map, which makes this class its friend.
template <class D, typename K, typename V>
class MapPairs {
public:
    // What a position refers to: the key and its value.
    class CPair {
    public:
        const K m_key;
        V m_value;

    protected:
        CPair(const K& key, const V& value) : m_key(key), m_value(value) {}
        explicit CPair(const K& key) : m_key(key), m_value() {}
    };

    // True and a copy of the value in value when key is present; false (value untouched) if not.
    bool Lookup(const K& key, V& value) const {
        const CPair* p = Self().Find(key);
        if (p == nullptr)
            return false;
        value = p->m_value;
        return true;
    }
    // The pair of key, or null when absent.
    const CPair* Lookup(const K& key) const { return Self().Find(key); }
    CPair* Lookup(const K& key) { return Self().Find(key); }

    // As GetNext, copying key and value instead (left untouched for a null pos).
    void GetNextAssoc(ORVPOSITION& pos, K& key, V& value) const {
        const CPair* p = Self().GetNext(pos);
        if (p != nullptr) {
            key = p->m_key;
            value = p->m_value;
        }
    }
    // Key and value at pos (null pos: reported as ORV_ATL_E_FAIL; scratch element).
    const K& GetKeyAt(ORVPOSITION pos) const {
        const CPair* p = D::Node(pos);
        return p ? p->m_key : NoElement<K>();
    }
    V& GetValueAt(ORVPOSITION pos) {
        CPair* p = D::Node(pos);
        return p ? p->m_value : NoElement<V>();
    }
    const V& GetValueAt(ORVPOSITION pos) const {
        return const_cast<MapPairs*>(this)->GetValueAt(pos);
    }

protected:
    MapPairs() = default;
    ~MapPairs() = default;

private:
    const D& Self() const { return static_cast<const D&>(*this); }
};

}  // namespace orv_coll_detail

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

// ---------------------------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------------------------
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
