// Fuzz target: unescaping arbitrary bytes into buffers of every small capacity (nothing may be
// written past the capacity, the count is the same), and escape/unescape round trips of the
// narrow, query-value and wide escapes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz-check.h"
#include "orv-url.h"
#include "orv-utf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    const char* p = reinterpret_cast<const char*>(data);
    const int n = static_cast<int>(size);

    const COrvStringA whole = OrvUrlUnescapeA(p, n);
    Check(whole.GetLength() <= n);
    for (int nCap = 0; nCap <= 8 && nCap <= n; ++nCap) {
        std::vector<char> buf(static_cast<size_t>(nCap) + 4, '\x5A');
        Check(OrvUrlUnescapeTo(p, n, buf.data(), nCap) == whole.GetLength());
        Check(memcmp(buf.data(), whole.GetString(),
                     static_cast<size_t>(nCap < whole.GetLength() ? nCap : whole.GetLength())) ==
              0);
        for (size_t i = static_cast<size_t>(nCap); i < buf.size(); ++i)
            Check(buf[i] == '\x5A');
    }

    const COrvStringA esc = OrvUrlEscapeA(p, n);
    Check(esc.GetLength() <= 3 * n);
    const COrvStringA back = OrvUrlUnescapeA(esc.GetString(), esc.GetLength());
    Check(back.GetLength() == n && memcmp(back.GetString(), p, size) == 0);
    const COrvStringA q = OrvUrlEscapeQueryValueA(p, n);
    const COrvStringA qBack = OrvUrlUnescapeA(q.GetString(), q.GetLength());
    Check(qBack.GetLength() == n && memcmp(qBack.GetString(), p, size) == 0);

    // Valid UTF-8 without NUL: the wide escape of its UTF-16 form is the narrow escape.
    int nStatus = 0;
    int nPos = -1;
    const int nWide = OrvUtf8ToUtf16(p, n, true, nullptr, 0, &nStatus, &nPos);
    if (nStatus == enUtfOk && memchr(p, 0, size) == nullptr) {
        std::vector<char16_t> w(static_cast<size_t>(nWide) + 1);
        OrvUtf8ToUtf16(p, n, true, w.data(), nWide + 1);
        const COrvStringW wEsc = OrvUrlEscapeW(w.data(), nWide);
        Check(wEsc.GetLength() == esc.GetLength());
        for (int i = 0; i < esc.GetLength(); ++i)
            Check(wEsc[i] == static_cast<char16_t>(esc[i]));
        const COrvStringW wBack = OrvUrlUnescapeW(wEsc.GetString(), wEsc.GetLength());
        Check(wBack.GetLength() == nWide &&
              memcmp(wBack.GetString(), w.data(), static_cast<size_t>(nWide) * 2) == 0);
    }
    return 0;
}
