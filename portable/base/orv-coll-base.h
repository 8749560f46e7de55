// What the container templates of orv-lib share: positions, node blocks, the scratch "no
// element", byte and hash helpers, and the key traits (COrvElementTraits, COrvStringNoCaseTraits).
// The containers themselves each have a header of their own; orv-coll.h includes them all.
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
#include "orv-utf.h"

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
    const unsigned char b0 = static_cast<unsigned char>(**pp);
    if (b0 < 0x80) {
        out[0] = (b0 >= 'a' && b0 <= 'z') ? static_cast<unsigned char>(b0 - 32) : b0;
        *pp += 1;
        return 1;
    }
    const OrvUtf8Step st = OrvUtf8DecodeOne(*pp, static_cast<size_t>(pEnd - *pp));
    if (st.eStatus != enUtfOk) {
        out[0] = b0;
        *pp += 1;
        return 1;
    }
    *pp += st.nLen;
    return OrvUtf8EncodeOne(OrvUpperCodePoint(st.c), reinterpret_cast<char*>(out));
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
        if (OrvIsSurrogate(u))
            return u;
        const char32_t up = OrvUpperCodePoint(u);
        return up <= 0xFFFF ? static_cast<uint32_t>(up) : u;
    }
};

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
