// COrvIconv: an owned character-set conversion of the C library (iconv), closed by its
// destructor. The one place of the library that opens and closes iconv descriptors.
//
// One object must not be used by two threads at once; separate objects may.
#pragma once

#include <cstddef>

class COrvIconv {
public:
    COrvIconv() = default;
    ~COrvIconv() { Close(); }
    COrvIconv(COrvIconv&& other) noexcept : m_h(other.m_h) { other.m_h = nullptr; }
    COrvIconv& operator=(COrvIconv&& other) noexcept;
    COrvIconv(const COrvIconv&) = delete;
    COrvIconv& operator=(const COrvIconv&) = delete;

    // Opens a conversion from the set pszFrom to the set pszTo (iconv names such as "UTF-8",
    // "ISO-8859-1", "UTF-16LE"), closing one opened before. False with errno set (EINVAL: the
    // pair is not supported) and the object closed.
    [[nodiscard]] bool Open(const char* pszTo, const char* pszFrom);
    bool IsOpen() const { return m_h != nullptr; }
    void Close();

    // One conversion step, as iconv(3): converts from *ppIn (*pnIn bytes) into *ppOut (*pnOut
    // bytes) and moves all four past what was used. Returns the count of irreversible
    // conversions, or (size_t)-1 with errno EILSEQ (an invalid sequence at *ppIn), EINVAL (the
    // input ends inside a sequence) or E2BIG (the output is full). Requires IsOpen().
    size_t Convert(const char** ppIn, size_t* pnIn, char** ppOut, size_t* pnOut);
    // Returns to the initial shift state (after skipping bad input).
    void Reset();

private:
    void* m_h = nullptr;
};

// Whether a character-set name (nl_langinfo(CODESET)) names UTF-8: "UTF8" in any case, with any
// '-' or '_' in between ("UTF-8", "utf_8"). Null and the empty name count as UTF-8.
bool OrvCharsetIsUtf8(const char* pszCharset);
