// The library's one string type: COrvStringT over 8-bit (COrvStringA, UTF-8) and 16-bit
// (COrvStringW, UTF-16) characters and its reference-counted block. Formatting goes through the
// printf engine OrvVFormat (orv-format.h).
//
// A string object is one pointer to NUL-terminated characters; a 12-byte COrvStringData header
// stands immediately in front of them. Copies share the block and count references with atomic
// operations; every writer first makes the block its own (copy on write). Every empty string of
// either width points at one static block, so an empty string never allocates and a string is
// never a null pointer. Nothing here throws: an operation whose allocation fails reports failure
// (false, a null buffer) and leaves the string as it was. Misuse (a bad index, a null format) is
// reported through OrvAssertFailed and the operation carries on with a defined result.
//
// Threads: one string object must not be used by two threads at once without a lock; objects that
// share a block may live on different threads.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "orv-unicode-tables.h"

// The 16-bit character of wide text.
typedef char16_t OrvWChar;

// Header of a string block. The characters follow it directly and are always NUL-terminated.
struct COrvStringData {
    int32_t m_nDataLength;   // characters without the NUL; -1: not known, found by scanning
    int32_t m_nAllocLength;  // capacity without the NUL slot; negative: a static block
    int32_t m_nRefs;         // objects sharing the block; negative while locked

    // The first character.
    void* data() { return this + 1; }
    const void* data() const { return this + 1; }

    // More than one object shares the block.
    bool IsShared() const { return __atomic_load_n(&m_nRefs, __ATOMIC_RELAXED) > 1; }
    // The block is never counted and never freed.
    bool IsStatic() const { return m_nAllocLength < 0; }
    // The block is owned by one locked object (LockBuffer).
    bool IsLocked() const { return m_nRefs < 0 && !IsStatic(); }
    // The block is the process-wide empty block.
    inline bool IsNil() const;

    // Interlocked increment of the reference count.
    void AddRef() { __atomic_fetch_add(&m_nRefs, 1, __ATOMIC_RELAXED); }
    // Stores the length of an owned block; requires 0 <= nLength <= m_nAllocLength (reported as
    // "m_nAllocLength >= 0 && nLength <= m_nAllocLength", nothing stored then). Does not write
    // the NUL.
    void SetDataLength(int nLength);
};
static_assert(sizeof(COrvStringData) == 12, "the block header is three 32-bit integers");

// The process-wide empty block: length 0, capacity -1, references -1, followed by 8 zero bytes
// (a NUL of either width). Built on first use, safely from any thread.
COrvStringData* OrvStringNilData();

inline bool COrvStringData::IsNil() const {
    return this == OrvStringNilData();
}

// When non-zero, a block released while it is neither shared nor static has its characters set
// to zero first. Default 0.
extern unsigned char g_orv_string_wipe;

// The heap behind string blocks. Replaceable (tests install failing functions); the three
// functions have the contracts of malloc, realloc and free. Set it only while no string block
// allocated by a different set is alive, except that a replacement may forward to the previous
// functions.
struct OrvStringAllocator {
    void* (*pfnAlloc)(size_t nBytes);
    void* (*pfnRealloc)(void* p, size_t nBytes);
    void (*pfnFree)(void* p);
};
extern OrvStringAllocator g_orv_string_alloc;

// Bytes of a block for nChars characters of nCharSize (1 or 2) bytes: the header and nChars + 1
// characters, rounded up to a multiple of 8. Negative nChars counts as 0.
int OrvStringBlockSize(int nChars, int nCharSize);

// A new owned block with room for at least nChars characters (references 1, length 0, NUL at
// nChars); null on allocation failure or a negative nChars (reported as "nChars >= 0").
COrvStringData* OrvStringAllocate(int nChars, int nCharSize);
// Resizes an owned, unshared block to the size for nChars characters and recomputes its capacity
// (does not write a NUL). nChars must be above 0 ("nChars > 0") and the block unshared
// ("!pData->IsShared()"); on failure returns null and pData stays valid and unchanged.
COrvStringData* OrvStringReallocate(COrvStringData* pData, int nChars, int nCharSize);
// Drops one reference; frees the block at the last reference or when it is locked. Static blocks
// are left alone. Honours g_orv_string_wipe.
void OrvStringRelease(COrvStringData* pData, int nCharSize);

// The string. T is char or OrvWChar. Narrow text is UTF-8 unless the operation that fills it says
// otherwise. There is no implicit conversion between the widths; use orv-utf.h.
template <typename T>
class COrvStringT {
    static_assert(std::is_same_v<T, char> || std::is_same_v<T, OrvWChar>,
                  "COrvStringT holds char or OrvWChar");
    using OtherT = std::conditional_t<std::is_same_v<T, char>, OrvWChar, char>;

public:
    typedef T XCHAR;
    typedef T* PXSTR;
    typedef const T* PCXSTR;

    // ---- construction and assignment ----

    // The empty string (no allocation).
    COrvStringT() : m_pszData(NilChars()) {}
    // Shares src's block (one atomic increment); a locked source is copied. On allocation
    // failure while copying a locked source the result is empty.
    COrvStringT(const COrvStringT& src);
    // Takes src's block; src becomes empty.
    COrvStringT(COrvStringT&& src) noexcept : m_pszData(src.m_pszData) {
        src.m_pszData = NilChars();
    }
    // Copies the NUL-terminated psz (null gives the empty string). On allocation failure the
    // string is empty.
    COrvStringT(const T* psz);
    // Copies nLength characters of pch (a null pch with a non-zero count is reported as
    // "pch!=NULL" and gives the empty string). On allocation failure the string is empty.
    COrvStringT(const T* pch, int nLength);
    // nRepeat copies of ch; a negative count is reported as "nLength >= 0" and gives the empty
    // string, as does allocation failure.
    explicit COrvStringT(T ch, int nRepeat = 1);
    // No implicit conversion between the widths.
    COrvStringT(const OtherT*) = delete;
    COrvStringT(const COrvStringT<OtherT>&) = delete;
    ~COrvStringT() { OrvStringRelease(GetData(), sizeof(T)); }

    // Shares src's block, as the copy constructor; self-assignment does nothing.
    COrvStringT& operator=(const COrvStringT& src);
    // Takes src's block; src becomes empty.
    COrvStringT& operator=(COrvStringT&& src) noexcept;
    // Copies psz (null empties); on allocation failure the string is unchanged.
    COrvStringT& operator=(const T* psz);
    // The one character ch; on allocation failure the string is unchanged.
    COrvStringT& operator=(T ch);
    COrvStringT& operator=(const OtherT*) = delete;

    // Replaces the content with the NUL-terminated psz (null empties). psz may point into the
    // string itself. False on allocation failure, the string unchanged.
    bool SetString(const T* psz);
    // Replaces the content with nLength characters of pch; a count of 0 empties. A null pch with
    // a non-zero count, or a negative count, is reported as
    // "nLength==0 || (pch!=NULL && nLength>=0)" and returns false, unchanged. False on allocation
    // failure, the string unchanged.
    bool SetString(const T* pch, int nLength);

    // ---- queries ----

    // Length in characters (scans when the block's length is not known).
    int GetLength() const {
        const int n = GetData()->m_nDataLength;
        return n >= 0 ? n : StringLength(m_pszData);
    }
    bool IsEmpty() const { return GetLength() == 0; }
    // Capacity in characters without the NUL; for a static block its length.
    int GetAllocLength() const {
        const COrvStringData* p = GetData();
        return p->m_nAllocLength >= 0 ? p->m_nAllocLength : GetLength();
    }
    // The characters, NUL-terminated; valid until the next change of the string.
    operator const T*() const { return m_pszData; }
    const T* GetString() const { return m_pszData; }
    // The character at iChar; iChar may equal the length (the NUL). Otherwise reported as
    // "(iChar >= 0) && (iChar <= GetLength())" and the NUL is returned.
    T GetAt(int iChar) const;
    T operator[](int iChar) const { return GetAt(iChar); }

    // Ordinal comparison as unsigned code units: the difference of the first pair that differs,
    // 0 when equal. A null psz counts as empty.
    int Compare(const T* psz) const;
    // The same after folding ASCII A-Z to a-z.
    int CompareNoCase(const T* psz) const;
    // Same length and same characters.
    bool Equals(const COrvStringT& other) const;

    // ---- editing (each makes the block its own first) ----

    // Sets the character at iChar, 0 <= iChar < length, else reported as
    // "iChar >= 0 && iChar < GetLength()" and false. False on allocation failure, unchanged.
    bool SetAt(int iChar, T ch);
    // Appends nLength characters of pch (which may point into the string itself). 0 does nothing
    // and succeeds; a null pch with a count above 0 is reported as "pszSrc!=NULL" and fails.
    // False on allocation failure, the string unchanged.
    bool Append(const T* pch, int nLength);
    // Appends a NUL-terminated text (null does nothing).
    bool Append(const T* psz);
    bool Append(const COrvStringT& str);
    // Appends one character; false on allocation failure, the string unchanged.
    bool AppendChar(T ch) {
        COrvStringData* p = GetData();
        const int n = p->m_nDataLength;
        if (n >= 0 && n < p->m_nAllocLength && p->m_nRefs == 1) {
            m_pszData[n] = ch;
            m_pszData[n + 1] = 0;
            p->m_nDataLength = n + 1;
            return true;
        }
        return AppendCharSlow(ch);
    }
    // The same; failure leaves the string unchanged and is not reported.
    COrvStringT& operator+=(const COrvStringT& str) {
        Append(str);
        return *this;
    }
    COrvStringT& operator+=(const T* psz) {
        Append(psz);
        return *this;
    }
    COrvStringT& operator+=(T ch) {
        AppendChar(ch);
        return *this;
    }
    COrvStringT& operator+=(const OtherT*) = delete;

    // Inserts psz before index iIndex (clamped to 0..length); a null or empty psz changes
    // nothing. Returns the new length (the old one on allocation failure).
    int Insert(int iIndex, const T* psz);
    int Insert(int iIndex, T ch);
    // Removes nCount characters from iIndex (both clipped to the string). Returns the new length.
    int Delete(int iIndex, int nCount = 1);
    // Removes every ch; returns how many were removed.
    int Remove(T ch);

    // Replaces every occurrence of pszOld, left to right and without overlap, by pszNew (null
    // counts as empty); every NUL-separated segment up to the length is searched. A null or
    // empty pszOld changes nothing. Returns the number of replacements; 0 (unchanged) on
    // allocation failure.
    int Replace(const T* pszOld, const T* pszNew);
    // Replaces every chOld by chNew; returns the count (0 when they are equal, or on allocation
    // failure).
    int Replace(T chOld, T chNew);
    // Replaces nCount characters from nStart (nCount clipped to the end, negative counts as 0)
    // by pszNew (null counts as empty). nStart above the length (or negative) is reported as
    // "nStart<=nOldLength" and changes nothing. False on that or allocation failure.
    bool Replace(int nStart, int nCount, const T* pszNew);

    // Cuts the string to nLength characters; nLength not below the length changes nothing. On
    // the empty block reported as "!pData->IsNil()". False on allocation failure, unchanged.
    bool Truncate(int nLength);
    // Makes the string empty (a locked block keeps its buffer with length 0). Never allocates.
    void Empty();

    // ---- substrings (the result shares the block when it covers the whole string) ----

    // nCount characters from iFirst; negative arguments count as 0, nCount is clipped to the
    // end, iFirst past the end gives the empty string. On allocation failure the result is
    // empty.
    COrvStringT Mid(int iFirst, int nCount) const;
    // From iFirst to the end.
    COrvStringT Mid(int iFirst) const { return Mid(iFirst, GetLength()); }
    // The first / last nCount characters (clipped; negative counts as 0).
    COrvStringT Left(int nCount) const { return Mid(0, nCount); }
    COrvStringT Right(int nCount) const;

    // ---- trimming and case (no copy is made when nothing changes) ----

    // Removes leading / trailing / both whitespace (OrvIsSpaceW for wide text, OrvIsSpaceA for
    // narrow text).
    COrvStringT& TrimLeft();
    COrvStringT& TrimRight();
    COrvStringT& Trim() { return TrimRight().TrimLeft(); }
    // Removes leading / trailing copies of ch.
    COrvStringT& TrimLeft(T ch);
    COrvStringT& TrimRight(T ch);
    // ASCII letters only; other characters are left as they are.
    COrvStringT& MakeLower();
    COrvStringT& MakeUpper();
    // Reverses the code units.
    COrvStringT& MakeReverse();

    // ---- search ----

    // Index of the first ch at or after iStart; -1 when none, when iStart is not below the
    // length, or when iStart is negative (reported as "iStart >= 0").
    int Find(T ch, int iStart = 0) const;
    // Index of the first occurrence of psz at or after iStart (iStart may equal the length; an
    // empty psz is found at iStart); -1 when none, for a null psz, iStart past the length or a
    // negative iStart (reported as "iStart >= 0").
    int Find(const T* psz, int iStart = 0) const;
    // Index of the last ch, or -1.
    int ReverseFind(T ch) const;
    // Index of the first character at or after iStart that occurs in pszCharSet, or -1. A null
    // set is reported as "pszCharSet!=NULL" and gives -1.
    int FindOneOf(const T* pszCharSet, int iStart = 0) const;

    // ---- buffer access ----

    // Makes the block its own with room for at least nMinBufferLength characters (and the
    // present length); the characters are kept. Returns the writable characters, or null on
    // allocation failure (the string unchanged). Finish with ReleaseBuffer.
    T* GetBuffer(int nMinBufferLength);
    T* GetBuffer() { return GetBuffer(0); }
    // GetBuffer(nLength) and sets the length to nLength (NUL at nLength). Null on failure or a
    // negative nLength (reported as "nLength >= 0"), the string unchanged.
    T* GetBufferSetLength(int nLength);
    // Ends a buffer access: nNewLength -1 means up to the first NUL within the capacity (a
    // missing NUL is reported as "m_pszData[nNewLength]=='\0'" and the capacity is taken); 0
    // empties the string; a block that would fit a smaller allocation is shrunk.
    void ReleaseBuffer(int nNewLength = -1);
    // Makes sure the capacity is at least nLength without changing the text. False on failure.
    bool Preallocate(int nLength) { return GetBuffer(nLength) != nullptr; }
    // Makes the block this object's own and locks it: copies of a locked string get their own
    // block. Returns the writable characters, or null on allocation failure.
    T* LockBuffer();
    // Undoes one LockBuffer; the block may then be shared again.
    void UnlockBuffer();

    // ---- formatting (OrvVFormat rules) ----

    // Replaces the content with the formatted text. A null format is reported as
    // "pszFormat!=NULL". False on a format error or allocation failure: a format error found
    // while measuring, or any allocation failure, leaves the string unchanged; a failure of the
    // writing pass empties it. An empty result empties the string.
    // No printf format attribute: the engine accepts "I64", "%S" and other forms the compiler's
    // checker would reject.
    bool Format(const T* pszFormat, ...);
    bool FormatV(const T* pszFormat, va_list args);
    // Appends the formatted text; an empty result changes nothing. False on a format error or
    // allocation failure, the string unchanged.
    bool AppendFormat(const T* pszFormat, ...);
    bool AppendFormatV(const T* pszFormat, va_list args);

    // ---- low level ----

    // The block header.
    COrvStringData* GetData() const { return reinterpret_cast<COrvStringData*>(m_pszData) - 1; }
    // Length of a NUL-terminated text; 0 for null.
    static int StringLength(const T* psz) {
        if (psz == nullptr)
            return 0;
        const T* p = psz;
        while (*p)
            ++p;
        return static_cast<int>(p - psz);
    }

    // ---- operators ----

    friend bool operator==(const COrvStringT& a, const COrvStringT& b) { return a.Equals(b); }
    friend bool operator==(const COrvStringT& a, const T* b) { return a.Compare(b) == 0; }
    friend bool operator==(const T* a, const COrvStringT& b) { return b.Compare(a) == 0; }
    friend bool operator!=(const COrvStringT& a, const COrvStringT& b) { return !a.Equals(b); }
    friend bool operator!=(const COrvStringT& a, const T* b) { return a.Compare(b) != 0; }
    friend bool operator!=(const T* a, const COrvStringT& b) { return b.Compare(a) != 0; }
    friend bool operator<(const COrvStringT& a, const COrvStringT& b) { return a.Compare(b) < 0; }
    friend bool operator<(const COrvStringT& a, const T* b) { return a.Compare(b) < 0; }
    friend bool operator<(const T* a, const COrvStringT& b) { return b.Compare(a) > 0; }
    friend bool operator>(const COrvStringT& a, const COrvStringT& b) { return a.Compare(b) > 0; }
    friend bool operator<=(const COrvStringT& a, const COrvStringT& b) { return a.Compare(b) <= 0; }
    friend bool operator>=(const COrvStringT& a, const COrvStringT& b) { return a.Compare(b) >= 0; }

    // Concatenations; on allocation failure the result holds what could be built.
    friend COrvStringT operator+(const COrvStringT& a, const COrvStringT& b) {
        return Concat(a.m_pszData, a.GetLength(), b.m_pszData, b.GetLength());
    }
    friend COrvStringT operator+(const COrvStringT& a, const T* b) {
        return Concat(a.m_pszData, a.GetLength(), b, StringLength(b));
    }
    friend COrvStringT operator+(const T* a, const COrvStringT& b) {
        return Concat(a, StringLength(a), b.m_pszData, b.GetLength());
    }
    friend COrvStringT operator+(const COrvStringT& a, T b) {
        return Concat(a.m_pszData, a.GetLength(), &b, 1);
    }
    friend COrvStringT operator+(T a, const COrvStringT& b) {
        return Concat(&a, 1, b.m_pszData, b.GetLength());
    }

private:
    static T* NilChars() { return static_cast<T*>(OrvStringNilData()->data()); }
    void Attach(COrvStringData* p) { m_pszData = static_cast<T*>(p->data()); }
    // Makes the block owned and writable with room for nNeeded characters (at least the
    // length). False on allocation failure, unchanged.
    bool PrepareWrite(int nNeeded);
    // Stores nLength (0..capacity) and the NUL.
    void SetLength(int nLength);
    bool AppendCharSlow(T ch);
    bool FormatImpl(const T* pszFormat, va_list args, bool bAppend);
    static COrvStringT Concat(const T* a, int na, const T* b, int nb);

    T* m_pszData;
};

extern template class COrvStringT<char>;
extern template class COrvStringT<OrvWChar>;

typedef COrvStringT<char> COrvStringA;
typedef COrvStringT<OrvWChar> COrvStringW;
static_assert(sizeof(COrvStringA) == sizeof(void*), "a string is one pointer");
