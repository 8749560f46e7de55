// The locale's thousands separator and collation through the C library.
#include <errno.h>
#include <langinfo.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

#include "orv-log.h"
#include "orv-string-util.h"
#include "orv-utf.h"

int OrvCollate(const COrvStringW& a, const COrvStringW& b, bool bNoCase);

namespace {

static_assert(sizeof(wchar_t) == sizeof(char32_t), "wchar_t holds UTF-32");

// UTF-16 to the C library's wide characters (UTF-32 on Linux, invalid units as U+FFFD), case
// folded with towlower when bLower. A stack buffer serves short texts.
class CWideText {
public:
    CWideText(const COrvStringW& str, bool bLower) {
        const int nCap = str.GetLength() + 1;
        m_p = nCap <= kStack ? m_aw : static_cast<wchar_t*>(malloc(sizeof(wchar_t) * nCap));
        if (m_p == nullptr)
            return;
        const int n =
            OrvUtf16ToUtf32(str, str.GetLength(), true, reinterpret_cast<char32_t*>(m_p), nCap);
        if (bLower)
            for (int i = 0; i < n; ++i)
                m_p[i] = static_cast<wchar_t>(towlower(static_cast<wint_t>(m_p[i])));
    }
    ~CWideText() {
        if (m_p != m_aw)
            free(m_p);
    }
    CWideText(const CWideText&) = delete;
    CWideText& operator=(const CWideText&) = delete;
    const wchar_t* Get() const { return m_p; }

private:
    static constexpr int kStack = 128;
    wchar_t m_aw[kStack];
    wchar_t* m_p = nullptr;
};

}  // namespace

int OrvCollate(const COrvStringW& a, const COrvStringW& b, bool bNoCase) {
    const CWideText wa(a, bNoCase);
    const CWideText wb(b, bNoCase);
    if (wa.Get() == nullptr || wb.Get() == nullptr) {
        // Without memory fall back to the ordinal order rather than calling them equal.
        return bNoCase ? OrvCompareOrdinalNoCase(&a, &b) : OrvCompareOrdinal(&a, &b);
    }
    const int n = wcscoll(wa.Get(), wb.Get());
    return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

int TvGetDecimalDigitsLen() {
    // The user's locale comes from the environment; reading it through a locale object leaves
    // the process locale alone. LC_CTYPE comes along so that the separator, which is in the
    // character set of the locale, can be converted.
    locale_t loc = newlocale(LC_NUMERIC_MASK | LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    bool bOk = loc != static_cast<locale_t>(0);
    int nErr = errno;
    COrvStringW str;
    if (bOk) {
        const char* pszSep = nl_langinfo_l(THOUSEP, loc);
        const locale_t old = uselocale(loc);
        wchar_t aw[21] = {0};
        mbstate_t st;
        memset(&st, 0, sizeof(st));
        const char* p = pszSep ? pszSep : "";
        size_t n = mbsrtowcs(aw, &p, 20, &st);
        if (n == static_cast<size_t>(-1)) {
            nErr = errno;
            bOk = false;
            n = 0;
        }
        uselocale(old);
        freelocale(loc);
        aw[n] = 0;
        char16_t au[41] = {0};
        int nUnits = OrvUtf32ToUtf16(reinterpret_cast<const char32_t*>(aw), static_cast<int>(n),
                                     true, au, 41);
        if (nUnits > 20)  // at most 20 characters, never half a surrogate pair
            nUnits = OrvIsHighSurrogate(au[19]) ? 19 : 20;
        str = COrvStringW(au, nUnits);
    }
    if (bOk) {
        g_ThouSep = str;
    } else {
        g_orv_log.Printf("TvGetDecimalDigitsLen: cannot GetLocaleInfo LOCALE_STHOUSAND: %s\n",
                         static_cast<const char*>(OrvErrorText(nErr)));
        g_ThouSep = u",";
    }
    COrvStringA strSep;
    OrvUtf16ToUtf8(g_ThouSep, strSep);
    g_orv_log.Printf("TvGetDecimalDigitsLen: g_ThouSep=%s\n", static_cast<const char*>(strSep));
    return g_ThouSep.GetLength();
}
