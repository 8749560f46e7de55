// COrvIconv over the C library's iconv_open, iconv and iconv_close.
#include <iconv.h>

#include "orv-iconv.h"

COrvIconv& COrvIconv::operator=(COrvIconv&& other) noexcept {
    if (this != &other) {
        Close();
        m_h = other.m_h;
        other.m_h = nullptr;
    }
    return *this;
}

bool COrvIconv::Open(const char* pszTo, const char* pszFrom) {
    Close();
    const iconv_t h = ::iconv_open(pszTo, pszFrom);
    if (h == reinterpret_cast<iconv_t>(-1))
        return false;
    m_h = h;
    return true;
}

void COrvIconv::Close() {
    if (m_h != nullptr) {
        ::iconv_close(static_cast<iconv_t>(m_h));
        m_h = nullptr;
    }
}

size_t COrvIconv::Convert(const char** ppIn, size_t* pnIn, char** ppOut, size_t* pnOut) {
    // iconv takes a non-const input pointer but never writes through it.
    char** ppSrc = const_cast<char**>(ppIn);
    return ::iconv(static_cast<iconv_t>(m_h), ppSrc, pnIn, ppOut, pnOut);
}

void COrvIconv::Reset() {
    ::iconv(static_cast<iconv_t>(m_h), nullptr, nullptr, nullptr, nullptr);
}

bool OrvCharsetIsUtf8(const char* pszCharset) {
    if (pszCharset == nullptr)
        return true;
    static const char kName[] = "UTF8";
    size_t n = 0;
    for (const char* p = pszCharset; *p != 0; ++p) {
        if (*p == '-' || *p == '_')
            continue;
        const char ch = *p >= 'a' && *p <= 'z' ? static_cast<char>(*p - 'a' + 'A') : *p;
        if (n == sizeof(kName) - 1 || ch != kName[n])
            return false;
        ++n;
    }
    return n == 0 || n == sizeof(kName) - 1;
}
