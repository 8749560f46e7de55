// Feeds arbitrary text to the path functions: long-path form, slash collapsing, macro and
// environment expansion, file-name making, portable volume paths, mount and user-dirs parsing;
// and checks what their results must satisfy.
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "orv-path.h"
#include "orv-trace.h"
#include "orv-utf.h"

namespace {

int QuietAssert(const char*, int, long, const char*, int) {
    return 0;
}

const char* FixedEnv(const char* pszName) {
    if (strcmp(pszName, "HOME") == 0)
        return "/home/u";
    if (strcmp(pszName, "LOOP") == 0)
        return "%LOOP%";  // a value is never expanded again
    if (strcmp(pszName, "EMPTY") == 0)
        return "";
    return nullptr;
}

bool IsValidUtf8(const COrvStringA& s) {
    COrvStringW w;
    COrvStringA sErr;
    return OrvUtf8ToUtf16(s, s.GetLength(), w, sErr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    OrvSetAssertHook(QuietAssert);
    const std::string text(reinterpret_cast<const char*>(pData), nSize);
    const char* psz = text.c_str();  // stops at the first NUL, as every caller's text does
    const COrvStringA sIn(psz);

    COrvStringW sLong;
    COrvError err;
    if (OrvToLongPathW(psz, sLong, err)) {
        if (sLong.GetLength() < 4 || sLong.Find(u"\\\\?\\") != 0 || sLong.Find(u'/') >= 0 ||
            err.Failed())
            abort();
    } else if (!sLong.IsEmpty() || err.Code() != 6) {
        abort();
    }

    const COrvStringA sCollapsed = OrvCollapseSlashes(sIn);
    if (sCollapsed.GetLength() > sIn.GetLength() || sCollapsed.Find('\\') >= 0 ||
        OrvCollapseSlashes(sCollapsed) != sCollapsed || sCollapsed.Find("//", 1) >= 0)
        abort();

    const OrvPathMacro table[] = {{"%APPDATA%", "/home/u/.config"}, {"%TVDISK%", "/"}};
    struct tm tm = {};
    tm.tm_year = 124;
    tm.tm_mon = 2;
    tm.tm_mday = 5;
    COrvStringA sPath(sIn);
    COrvStringA sMacro, sFolder;
    if (!OrvExpandPathMacrosWith(sPath, table, 2, FixedEnv, nSize % 2 ? &tm : nullptr, &sMacro,
                                 &sFolder))
        abort();
    if (sIn.Find('%') < 0 && sPath != sIn)
        abort();
    if (!sMacro.IsEmpty() && sMacro != "%APPDATA%" && sMacro != "%TVDISK%")
        abort();

    const bool bUtf8 = IsValidUtf8(sIn);
    const int nMax = static_cast<int>(nSize % 40) + 1;
    COrvStringA sName;
    if (OrvMakeValidFileName(psz, nMax, sName)) {
        if (!OrvIsValidFileName(sName) || sName.GetLength() > nMax || sName[0] == '.' ||
            (bUtf8 && !IsValidUtf8(sName)))
            abort();
    } else if (!sName.IsEmpty()) {
        abort();
    }
    if (OrvMakeValidFolderName(psz, nMax, sName) && !OrvIsValidFileName(sName))
        abort();

    const OrvVolume vols[] = {{"Stick", "/media/s"}, {"stick2", "/"}};
    COrvStringA sResolved;
    COrvError errVol;
    const bool bResolved = OrvResolvePortablePathWith(psz, vols, 2, sResolved, errVol);
    if (sIn[0] != '=' && (!bResolved || sResolved != sIn))
        abort();
    if (!bResolved && (!sResolved.IsEmpty() || !errVol.Failed()))
        abort();

    OrvForEachMount(
        psz,
        [](void*, unsigned, unsigned, const COrvStringA& s) {
            if (s.IsEmpty())
                abort();
        },
        nullptr);
    (void)OrvDecodeMountEscapes(text.data(), static_cast<int>(nSize));
    (void)OrvParseUserDirs(psz, "XDG_DESKTOP_DIR", "/home/u");
    (void)OrvFileUrlToPath(sIn);
    (void)OrvFolderUrl(sIn);
    (void)OrvIsSystemItemToSkip(psz);
    (void)OrvDiskOfWindowsPath(sIn);
    return 0;
}
