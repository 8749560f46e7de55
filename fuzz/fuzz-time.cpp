// Feeds arbitrary text to the Internet date parser and the user date, date-time, date-only and
// range parsers, and checks what a successful Internet parse must satisfy.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "orv-time.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string text(reinterpret_cast<const char*>(pData), nSize);
    const char* psz = text.c_str();  // stops at the first NUL, as every caller's text does
    OrvTime t = 0, t2 = 0;
    int nCode = 0;
    COrvStringA strError;
    if (OrvParseInetTime(psz, t, nCode, strError)) {
        if (t < 0 || !strError.IsEmpty()) {
            abort();
        }
        COrvStringA strOut;
        OrvTime tBack = 0;
        // A time in the breakdown range must survive output and parsing again.
        if (t > 0 && t <= OrvTimeUpperLimit() &&
            (!OrvFormatInetTime(t, strOut) || !OrvParseInetTime(strOut, tBack, nCode, strError) ||
             tBack != t)) {
            abort();
        }
    } else if (t != 0 || strError.IsEmpty()) {
        abort();
    }
    if (!OrvParseUserDate(psz, t, nCode, strError) && t != 0) {
        abort();
    }
    if (!OrvParseUserDateTime(psz, t, nCode, strError) && t != 0) {
        abort();
    }
    if (!OrvParseUserDateOnly(psz, t, nCode, strError) && t != 0) {
        abort();
    }
    if (!OrvParseTimeRange(psz, t, t2, nCode, strError) && (t != 0 || t2 != 0)) {
        abort();
    }
    OrvFormatTime(t, psz, false);
    return 0;
}
