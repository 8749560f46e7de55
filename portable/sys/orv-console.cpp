// Console printing.
#include "orv-console.h"

#include <cstdarg>

#include "orv-lock.h"
#include "orv-log-os.h"
#include "orv-string.h"
#include "orv-utf.h"

namespace {

// Cuts the wide text to the per-call limit and writes it as UTF-8 under the stdout lock.
int PrintWide(const COrvStringW& strText) {
    int nLen = strText.GetLength();
    if (nLen > kOrvConsolePrintMax) {
        nLen = kOrvConsolePrintMax;
        const char16_t chLast = strText[nLen - 1];
        if (OrvIsHighSurrogate(chLast)) {
            --nLen;  // keep the pair whole: leave its first half out as well
        }
    }
    COrvStringA strUtf8;
    OrvUtf16ToUtf8(strText, nLen, strUtf8);
    TvAutoCriticalSection hold(g_orv_stdout_cs, "OrvConsolePrint");
    OrvLogOsStdout(strUtf8, static_cast<size_t>(strUtf8.GetLength()));
    return nLen;
}

}  // namespace

int OrvConsolePrint(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    COrvStringA strText;
    strText.FormatV(pszFormat, args);
    va_end(args);
    // Lenient conversion: invalid UTF-8 shows as U+FFFD rather than dropping the whole text.
    COrvStringW strWide;
    const int nNeed = OrvUtf8ToUtf16(strText, strText.GetLength(), true, nullptr, 0);
    char16_t* pWide = nNeed > 0 ? strWide.GetBuffer(nNeed + 1) : nullptr;
    if (pWide) {
        const int nDone = OrvUtf8ToUtf16(strText, strText.GetLength(), true, pWide, nNeed + 1);
        strWide.ReleaseBuffer(nDone);
    }
    return PrintWide(strWide);
}

int OrvConsolePrintW(const char16_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    COrvStringW strText;
    strText.FormatV(pszFormat, args);
    va_end(args);
    return PrintWide(strText);
}
