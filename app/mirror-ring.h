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
// the capacity. Not thread-safe.
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
    char* At(uint64_t nOffset) const { return m_map.pBase + nOffset % m_map.nCap; }
    // Copies n bytes (at most the capacity) to the offset.
    void Write(uint64_t nOffset, const void* p, size_t n);
    // The same in two steps, for bytes made in place: BeginWrite gives the place of n bytes at
    // the offset to write them to, EndWrite makes them count.
    char* BeginWrite(uint64_t nOffset, size_t n);
    void EndWrite(uint64_t nOffset, size_t n);
    // Gives the memory up; the capacity is 0 afterwards. The mapping, with the pages it has
    // made, waits for the next ring of the same capacity (see SpareBytes) instead of going back to
    // the system: making the pages of a large ring again, zeroed by the kernel one by one, costs
    // more than the text that flows through it on its first pass.
    void Release();
    // Bytes of memory that released rings keep for reuse (the pages they made), and the same
    // given back to the system. Any thread.
    static size_t SpareBytes();
    static void DropSpares();

    // A ring's memory and what is known of its pages; a released ring's waits as it is for reuse.
    struct CMapping {
        char* pBase = nullptr;
        size_t nCap = 0;
        size_t nPopulated = 0;  // bytes of the lower half, from its start, whose pages exist
        // Without a second mapping of the same pages (no memory file), the upper half is a copy
        // that every write keeps up to date.
        bool bCopied = false;
        int fd = -1;        // the memory file mapped twice; -1 when copied
        size_t nAsked = 0;  // bytes from the file's start the page maker was asked to make
    };

private:
    // How far ahead of a write the first pass makes the pages of the lower half, at least and
    // at most.
    static constexpr size_t kPopulateMin = 64 * 1024;
    static constexpr size_t kPopulateMax = 1024 * 1024;
    // Once a ring's writes have made kMakeFrom of its pages (a flood on its first pass over the
    // memory), the pages up to kMakeAhead past those made for a write are made on a thread of
    // their own. Short output never gets that far: it starts no thread and makes no pages ahead,
    // however large the ring's capacity.
    static constexpr size_t kMakeFrom = 1024 * 1024;
    static constexpr size_t kMakeAhead = 4u << 20;
    void PopulateFor(uint64_t nOffset, size_t n);

    CMapping m_map;
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
    // Writes n elements at nIndex by fill(T* pDst), which sets all n of them in place.
    template <class Fill>
    void WriteWith(uint64_t nIndex, size_t n, Fill fill) {
        fill(reinterpret_cast<T*>(m_bytes.BeginWrite(nIndex * sizeof(T), n * sizeof(T))));
        m_bytes.EndWrite(nIndex * sizeof(T), n * sizeof(T));
    }
    void Release() { m_bytes.Release(); }

private:
    CMirrorRingBytes m_bytes;
};
