// Owning buffers of orv-lib: COrvHeapPtr (one heap array) and COrvTempBuffer (a scratch buffer
// with 1024 inline elements that moves to the heap only when more are needed), and the heap
// allocator that these and the containers of orv-coll.h use by default.
//
// Both buffers hold plain data: elements are neither constructed nor destroyed, so T must be a
// trivially copyable type. Neither locks; an object belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "orv-trace.h"

// The runtime heap; the default allocator of every buffer and container. Any allocator that
// replaces it offers the same four static functions with the same contracts.
struct COrvHeapAllocator {
    // Uninitialised bytes, or null.
    static void* Allocate(size_t nBytes) { return std::malloc(nBytes); }
    // Zero-filled bytes, or null.
    static void* AllocateZeroed(size_t nBytes) { return std::calloc(1, nBytes); }
    // Resizes p (null allocates); null on failure, and p then stays valid and unchanged.
    static void* Reallocate(void* p, size_t nBytes) { return std::realloc(p, nBytes); }
    // Frees p; null is allowed.
    static void Free(void* p) { std::free(p); }
};

// COrvHeapPtr: owns one heap array of T (or nothing: null). Freed by the destructor. Movable,
// not copyable.
template <typename T, class A = COrvHeapAllocator>
class COrvHeapPtr {
    static_assert(std::is_trivially_copyable_v<T>, "COrvHeapPtr holds plain data");

public:
    COrvHeapPtr() = default;
    // Takes ownership of p, which must come from A (or be null).
    explicit COrvHeapPtr(T* p) : m_p(p) {}
    COrvHeapPtr(COrvHeapPtr&& other) : m_p(other.m_p) { other.m_p = nullptr; }
    COrvHeapPtr& operator=(COrvHeapPtr&& other) {
        if (this != &other) {
            Free();
            m_p = other.m_p;
            other.m_p = nullptr;
        }
        return *this;
    }
    COrvHeapPtr(const COrvHeapPtr&) = delete;
    COrvHeapPtr& operator=(const COrvHeapPtr&) = delete;
    ~COrvHeapPtr() { Free(); }

    // Allocates nElements uninitialised elements (nBytes bytes) for an empty pointer. False when
    // the pointer already owns an array (reported as "m_p == NULL"), when the size overflows or
    // the heap fails; the pointer is then unchanged.
    bool Allocate(size_t nElements = 1) {
        if (nElements > SIZE_MAX / sizeof(T))
            return false;
        return AllocateBytes(nElements * sizeof(T));
    }
    bool AllocateBytes(size_t nBytes) {
        if (m_p != nullptr) {
            ORV_ASSERT_TEXT(false, "m_p == NULL");
            return false;
        }
        m_p = static_cast<T*>(A::Allocate(nBytes));
        return m_p != nullptr;
    }
    // Resizes the array to nElements elements (nBytes bytes), keeping the common prefix; an empty
    // pointer allocates. False on overflow or heap failure, with the old array kept.
    bool Reallocate(size_t nElements) {
        if (nElements > SIZE_MAX / sizeof(T))
            return false;
        return ReallocateBytes(nElements * sizeof(T));
    }
    bool ReallocateBytes(size_t nBytes) {
        T* p = static_cast<T*>(A::Reallocate(m_p, nBytes));
        if (p == nullptr)
            return false;
        m_p = p;
        return true;
    }

    // Frees the array; the pointer becomes null.
    void Free() {
        A::Free(m_p);
        m_p = nullptr;
    }
    // Frees the current array and takes ownership of p.
    void Attach(T* p) {
        if (p != m_p)
            Free();
        m_p = p;
    }
    // Gives up ownership: returns the array (or null) and becomes null.
    T* Detach() {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

    // The array, or null; unchecked, so that it can be compared with null.
    T* Get() const { return m_p; }
    operator T*() const { return m_p; }
    // Member access; on a null pointer reported as "m_p != NULL" (the result is then null).
    T* operator->() const {
        ORV_ASSERT_TEXT(m_p != nullptr, "m_p != NULL");
        return m_p;
    }

private:
    T* m_p = nullptr;
};

// COrvTempBuffer: a scratch buffer of T. Holds 1024 elements inline; Reallocate to more moves it
// to a heap buffer of exactly that many. Contents are not kept across a move. Not copyable.
template <typename T, class A = COrvHeapAllocator>
class COrvTempBuffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T>,
                  "COrvTempBuffer holds plain data");

public:
    static constexpr size_t kInlineElements = 1024;

    COrvTempBuffer() : m_p(m_aInline), m_nAvailable(kInlineElements) {}
    // As the default constructor followed by Reallocate(nElements).
    explicit COrvTempBuffer(size_t nElements) : COrvTempBuffer() { Reallocate(nElements); }
    COrvTempBuffer(const COrvTempBuffer&) = delete;
    COrvTempBuffer& operator=(const COrvTempBuffer&) = delete;
    ~COrvTempBuffer() {
        if (m_p != m_aInline)
            A::Free(m_p);
    }

    // Makes room for nElements elements and returns the buffer. When the current buffer is large
    // enough it is returned unchanged (contents kept). Otherwise a heap buffer in use is freed and
    // a new heap buffer of nElements elements is taken (contents lost). A count of SIZE_MAX /
    // sizeof(T) or more is reported ("nElements < (SIZE_MAX / sizeof(T))") and gives null with the
    // buffer unchanged; a heap failure is reported as ORV_ATL_E_OUTOFMEMORY and gives null, the
    // buffer then being the inline one (GetAvailable() 1024).
    T* Reallocate(size_t nElements) {
        if (!(nElements < (SIZE_MAX / sizeof(T)))) {
            ORV_ASSERT_TEXT(false, "nElements < (SIZE_MAX / sizeof(T))");
            return nullptr;
        }
        ORV_ASSERT_TEXT(m_p != nullptr, "m_p != NULL");
        if (nElements <= m_nAvailable)
            return m_p;
        if (m_p != m_aInline) {
            A::Free(m_p);
            m_p = m_aInline;
            m_nAvailable = kInlineElements;
        }
        if (nElements > kInlineElements) {
            T* p = static_cast<T*>(A::Allocate(nElements * sizeof(T)));
            if (p == nullptr) {
                OrvAtlThrow(ORV_ATL_E_OUTOFMEMORY, __FILE__, __LINE__);
                return nullptr;
            }
            m_p = p;
            m_nAvailable = nElements;
        }
        return m_p;
    }
    T* Allocate(size_t nElements) { return Reallocate(nElements); }

    // The buffer (never null) and the number of elements it holds.
    T* Get() const { return m_p; }
    operator T*() const { return m_p; }
    size_t GetAvailable() const { return m_nAvailable; }
    // Whether the buffer is the inline array.
    bool IsInline() const { return m_p == m_aInline; }

private:
    T* m_p;
    size_t m_nAvailable;
    T m_aInline[kInlineElements];
};
