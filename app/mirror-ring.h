// A ring buffer whose storage is mapped twice, back to back: any run of up to Capacity() elements,
// starting anywhere, reads as one contiguous array, also across the wrap. Text that flows through
// a bounded window (new output at the end, the oldest dropped at the front) then never has to be
// moved: dropping is moving a start index, and readers still get a plain pointer and length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// The byte ring. Offsets are absolute (they only grow); an offset's place is its remainder by
// the capacity. The first pass of the writes over the memory goes to the ring's memory file
// (where it has one), not through the mapping: the kernel makes and fills the pages in one go,
// and the ring then maps them as a read does, a run of pages per fault. That costs less than
// making them through the mapping, a write fault (or its like) per page. Later writes, over
// pages that exist, go through the mapping; so do short writes that follow short ones, for which
// a system call each would cost more than the mapping. Not thread-safe.
class CMirrorRingBytes {
public:
    CMirrorRingBytes() = default;
    ~CMirrorRingBytes();
    CMirrorRingBytes(const CMirrorRingBytes&) = delete;
    CMirrorRingBytes& operator=(const CMirrorRingBytes&) = delete;

    // Makes room for at least nBytes (rounded up to whole pages), keeping the nKeep bytes from
    // the absolute offset nFrom where they are. False, leaving the ring as it was, when the
    // memory cannot be had.
    bool Reserve(size_t nBytes, uint64_t nFrom, size_t nKeep);
    size_t Capacity() const { return m_map.nCap; }
    // The place of an offset; valid for Capacity() bytes from there.
    const char* At(uint64_t nOffset) const { return m_map.pBase + nOffset % m_map.nCap; }
    // Copies n bytes (at most the capacity) to the offset.
    void Write(uint64_t nOffset, const void* p, size_t n);
    // Gives the memory up; the capacity is 0 afterwards. The mapping, with the pages it has
    // made, waits for the next ring of the same capacity (see SpareBytes) instead of going back to
    // the system: making the pages of a large ring again, zeroed by the kernel one by one, costs
    // more than the text that flows through it on its first pass.
    void Release();
    // Bytes of memory that released rings keep for reuse (the pages they made), and the same
    // given back to the system. Any thread.
    static size_t SpareBytes();
    static void DropSpares();

    // A ring's memory; a released ring's waits as it is for reuse.
    struct CMapping {
        char* pBase = nullptr;
        size_t nCap = 0;
        // Without a second mapping of the same pages (no memory file), the upper half is a copy
        // that every write keeps up to date.
        bool bCopied = false;
        int fd = -1;  // the memory file mapped twice; -1 when copied
        // The place in the lower half up to which writes have reached (pages from there on are
        // not made yet), and the bytes of the lower half, from its start, whose pages are mapped.
        size_t nWritten = 0;
        size_t nMapped = 0;
    };

private:
    // The shortest write that goes to the memory file (but for the rest of a long one).
    static constexpr size_t kFileWriteMin = 16 * 1024;
    // How far ahead of a write through the mapping its pages are mapped, at least and at most.
    static constexpr size_t kMapAheadMin = 64 * 1024;
    static constexpr size_t kMapAheadMax = 1024 * 1024;
    // Maps the pages of the lower half for a write of n bytes at the place nPlace.
    void MapFor(size_t nPlace, size_t n);
    // Maps the pages of the lower half that exist in the memory file, from those mapped up to
    // nTo (a page boundary).
    void MapMade(size_t nTo);

    CMapping m_map;
    size_t m_nLastWrite = 0;  // bytes of the last write
};

// The ring of trivially copyable elements of type T.
template <class T>
class CMirrorRing {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    // Room for at least n elements, keeping nKeep from the absolute index nFrom.
    bool Reserve(size_t n, uint64_t nFrom, size_t nKeep) {
        return m_bytes.Reserve(n * sizeof(T), nFrom * sizeof(T), nKeep * sizeof(T));
    }
    size_t Capacity() const { return m_bytes.Capacity() / sizeof(T); }
    // The element at an absolute index, with up to Capacity() elements after it in a row.
    const T* At(uint64_t nIndex) const {
        return reinterpret_cast<const T*>(m_bytes.At(nIndex * sizeof(T)));
    }
    void Write(uint64_t nIndex, const T* p, size_t n) {
        m_bytes.Write(nIndex * sizeof(T), p, n * sizeof(T));
    }
    void Set(uint64_t nIndex, const T& value) { Write(nIndex, &value, 1); }
    void Release() { m_bytes.Release(); }

private:
    CMirrorRingBytes m_bytes;
};
