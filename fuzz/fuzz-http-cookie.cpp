// Feeds arbitrary text to the Set-Cookie parser and the jar, and checks that a cookie accepted
// for a host is sent back to that host and never carries a line break.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "orv-http-cookie.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string text(reinterpret_cast<const char*>(pData), nSize);
    const char* pszHost = "www.example.com";
    COrvHttpCookie cookie;
    COrvError err;
    if (OrvHttpParseSetCookie(text.c_str(), pszHost, cookie, err)) {
        if (cookie.m_sName.IsEmpty() || !OrvHttpCookieMatches(cookie, pszHost, true))
            abort();
        COrvHttpCookieJar jar;
        if (!jar.Set(cookie) || jar.BuildHeader(pszHost, true).IsEmpty())
            abort();
        if (!cookie.m_sDomain.IsEmpty() && !OrvHttpDomainMatch(pszHost, cookie.m_sDomain))
            abort();
    } else if (err.Text().IsEmpty()) {
        abort();
    }
    return 0;
}
