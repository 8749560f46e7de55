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
        // Sent back along its own path unless it has expired already.
        const bool bLive = (cookie.m_tExpires == 0 || cookie.m_tExpires > OrvTimeNow()) &&
                           cookie.m_sPath.FindOneOf("?#") < 0;
        if (!jar.Set(cookie) || jar.BuildHeader(pszHost, true, cookie.m_sPath).IsEmpty() == bLive)
            abort();
        if (!cookie.m_sDomain.IsEmpty() && !OrvHttpDomainMatch(pszHost, cookie.m_sDomain))
            abort();
    } else if (err.Text().IsEmpty()) {
        abort();
    }
    return 0;
}
