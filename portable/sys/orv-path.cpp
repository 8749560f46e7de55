// Path texts: slashes, long-path and URL forms, file names, macros, portable volume paths. The
// parts that ask the system (macro table, mounted volumes) are in orv-path-posix.cpp.
#include "orv-path.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "orv-trace.h"
#include "orv-utf.h"

const char kOrvForbiddenNameChars[] = "\\/:*?\"<>|\r\n\t";

namespace {

template <typename T>
bool HasBackslash(const COrvStringT<T>& s) {
    return s.Find(static_cast<T>('\\')) >= 0;
}

bool IsAsciiLetter(char16_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool StartsWith(const char* psz, const char* pszPrefix) {
    return strncmp(psz, pszPrefix, strlen(pszPrefix)) == 0;
}

}  // namespace

COrvStringA OrvToWindowsSlashesA(const COrvStringA& sPathA, bool bEnforce) {
    if (bEnforce && HasBackslash(sPathA))
        OrvAssertFailed(__FILE__, __LINE__, 0, "!bEnforce || sPathA.Find('\\\\') < 0", 0);
    COrvStringA s(sPathA);
    s.Replace('/', '\\');
    return s;
}

COrvStringW OrvToWindowsSlashesW(const COrvStringW& sPath, bool bEnforce) {
    if (bEnforce && HasBackslash(sPath))
        OrvAssertFailed(__FILE__, __LINE__, 0, "!bEnforce || sPath.Find('\\\\') < 0", 0);
    COrvStringW s(sPath);
    s.Replace(u'/', u'\\');
    return s;
}

COrvStringA OrvToWindowsSlashesStrictA(const COrvStringA& sPathA) {
    if (HasBackslash(sPathA))
        OrvAssertFailed(__FILE__, __LINE__, 0, "sPathA.Find('\\\\') < 0", 0);
    COrvStringA s(sPathA);
    s.Replace('/', '\\');
    return s;
}

COrvStringW OrvToWindowsSlashesStrictW(const COrvStringW& sPath) {
    if (HasBackslash(sPath))
        OrvAssertFailed(__FILE__, __LINE__, 0, "sPath.Find('\\\\') < 0", 0);
    COrvStringW s(sPath);
    s.Replace(u'/', u'\\');
    return s;
}

COrvStringA OrvToPortableSlashesA(const COrvStringA& sPathA, bool bEnforce) {
    COrvStringA s(sPathA);
    const int nRepl = s.Replace('\\', '/');
    if (bEnforce && nRepl != 0)
        OrvAssertFailed(__FILE__, __LINE__, 0, "!bEnforce || nRepl==0", 1);
    return s;
}

COrvStringW OrvToPortableSlashesW(const COrvStringW& sPath, bool bEnforce) {
    COrvStringW s(sPath);
    const int nRepl = s.Replace(u'\\', u'/');
    if (bEnforce && nRepl != 0)
        OrvAssertFailed(__FILE__, __LINE__, 0, "!bEnforce || nRepl==0", 1);
    return s;
}

COrvStringA OrvCollapseSlashes(const COrvStringA& sPathIn) {
    COrvStringA sPathA(sPathIn);
    sPathA.Replace('\\', '/');
    if (HasBackslash(sPathA))
        OrvAssertFailed(__FILE__, __LINE__, 0, "sPathA.Find('\\\\') < 0", 1);
    const int n = sPathA.GetLength();
    if (n < 3)
        return sPathA;
    // One pass that keeps the first character and drops every "/" that follows a "/" after it.
    COrvStringA sOut;
    char* pOut = sOut.GetBuffer(n);
    if (pOut == nullptr)
        return sPathA;
    const char* p = sPathA.GetString();
    int k = 0;
    pOut[k++] = p[0];
    for (int i = 1; i < n; ++i) {
        if (p[i] == '/' && k >= 2 && pOut[k - 1] == '/')
            continue;
        pOut[k++] = p[i];
    }
    sOut.ReleaseBuffer(k);
    return sOut;
}

bool OrvToLongPathW(const char* pszPath, COrvStringW& sOut, COrvError& err) {
    sOut.Empty();
    const char* psz = pszPath != nullptr ? pszPath : "";
    COrvStringW sWide;
    COrvStringA sUtfError;
    if (!OrvUtf8ToUtf16(psz, -1, sWide, sUtfError))
        return err.SetFormat(enNetBadRequest, "not absolute file path: %s", psz);
    COrvStringW s = OrvToWindowsSlashesW(sWide, true);
    const OrvWChar* p = s.GetString();
    const int n = s.GetLength();
    COrvStringW sResult;
    if (n >= 4 && p[0] == '\\' && p[1] == '\\' && p[2] == '?' && p[3] == '\\') {
        sResult = s;
    } else if (n >= 2 && p[0] == '\\' && p[1] == '\\') {
        // A share: two backslashes, a server name, a backslash and a share name.
        const int iSep = s.Find(u'\\', 2);
        if (iSep <= 2 || iSep + 1 >= n || p[iSep + 1] == '\\')
            return err.SetFormat(enNetBadRequest, "not absolute file path: %s", psz);
        sResult = COrvStringW(u"\\\\?\\UNC") + s.Mid(1);
    } else if (n >= 2 && IsAsciiLetter(p[0]) && p[1] == ':' && (n == 2 || p[2] == '\\')) {
        sResult = COrvStringW(u"\\\\?\\") + s;
    } else {
        return err.SetFormat(enNetBadRequest, "not absolute file path: %s", psz);
    }
    if (sResult.GetLength() == 6 && sResult[5] == ':')
        sResult += u'\\';
    sOut = sResult;
    return true;
}

COrvStringA OrvPathToFileUrl(const COrvStringA& sPath) {
    return COrvStringA("file:///") + sPath;
}

COrvStringA OrvFileUrlToPath(const COrvStringA& sUrl) {
    if (StartsWith(sUrl, "file:///"))
        return sUrl.Mid(8);
    if (StartsWith(sUrl, "smb://"))
        return COrvStringA("//") + sUrl.Mid(6);
    return COrvStringA();
}

COrvStringA OrvFolderUrl(const COrvStringA& sPath) {
    COrvStringA s(sPath);
    s.Replace('\\', '/');
    if (StartsWith(s, "//"))
        return s;
    return COrvStringA("/") + s;
}

bool OrvIsValidFileName(const char* pszName) {
    if (pszName == nullptr || *pszName == 0 || *pszName == ' ')
        return false;
    const size_t n = strlen(pszName);
    if (pszName[n - 1] == '.' || pszName[n - 1] == ' ')
        return false;
    return strpbrk(pszName, kOrvForbiddenNameChars) == nullptr;
}

namespace {

// ASCII white space only: the string's own trimming also takes the byte 0xA0, which in UTF-8 is
// the tail of a character (U+00A0 is "\xC2\xA0") and must not be cut off alone.
bool IsAsciiSpace(char c) {
    return c == ' ' || (c >= 9 && c <= 13);
}

// Trims white space at both ends and "." and " " at the end.
void TrimName(COrvStringA& s) {
    int iStart = 0;
    int iEnd = s.GetLength();
    while (iStart < iEnd && IsAsciiSpace(s[iStart]))
        ++iStart;
    while (iEnd > iStart && (IsAsciiSpace(s[iEnd - 1]) || s[iEnd - 1] == '.'))
        --iEnd;
    if (iStart > 0 || iEnd < s.GetLength())
        s = s.Mid(iStart, iEnd - iStart);
}

bool MakeValidName(const char* pszName, int nMaxUtf8Length, bool bReplace, COrvStringA& sOut) {
    sOut.Empty();
    COrvStringA s(pszName != nullptr ? pszName : "");
    if (bReplace) {
        for (const char* p = kOrvForbiddenNameChars; *p; ++p)
            s.Replace(*p, '_');
        for (int i = 0; i < 3; ++i)
            s.Replace("__", "_");
    }
    TrimName(s);
    if (s.IsEmpty() || s[0] == '.' || s.FindOneOf(kOrvForbiddenNameChars) >= 0)
        return false;
    if (nMaxUtf8Length <= 0) {
        OrvAssertFailed(__FILE__, __LINE__, 0, "nMaxUtf8Length>0", 0);
    } else if (s.GetLength() > nMaxUtf8Length) {
        int nCut = nMaxUtf8Length;
        // Never end inside a character: step back over continuation bytes to a lead byte.
        while (nCut > 0 && (static_cast<unsigned char>(s[nCut]) & 0xC0) == 0x80)
            --nCut;
        s.Truncate(nCut);
        // The cut may expose a trailing "." or blank.
        TrimName(s);
        if (s.IsEmpty())
            return false;
    }
    sOut = s;
    return true;
}

}  // namespace

bool OrvMakeValidFileName(const char* pszName, int nMaxUtf8Length, COrvStringA& sOut) {
    return MakeValidName(pszName, nMaxUtf8Length, true, sOut);
}

bool OrvMakeValidFolderName(const char* pszName, int nMaxUtf8Length, COrvStringA& sOut) {
    return MakeValidName(pszName, nMaxUtf8Length, false, sOut);
}

bool OrvIsSystemItemToSkip(const char* pszPath) {
    if (pszPath == nullptr || !IsAsciiLetter(static_cast<unsigned char>(pszPath[0])) ||
        pszPath[1] != ':' || pszPath[2] != '/')
        return false;
    const COrvStringA sName(pszPath + 3);
    if (sName.IsEmpty() || sName.Find('/') >= 0)
        return false;
    static const char* const kNames[] = {"$recycle.bin", "RECYCLER", "#recycle",
                                         "System Volume Information", "pagefile.sys"};
    for (const char* pszSkip : kNames) {
        if (sName.CompareNoCase(pszSkip) == 0)
            return true;
    }
    return false;
}

COrvStringA OrvDiskOfWindowsPath(const COrvStringA& sPath) {
    if (sPath.IsEmpty() || sPath[0] == '~')
        return COrvStringA();
    if (StartsWith(sPath, "//")) {
        // "//server/share/...": up to the "/" after the share name.
        const int iShare = sPath.Find('/', 2);
        if (iShare < 0)
            return COrvStringA();
        const int iEnd = sPath.Find('/', iShare + 1);
        return iEnd < 0 ? sPath : sPath.Left(iEnd);
    }
    const int iFirst = sPath.Find('/');
    if (iFirst < 0 || sPath.Find('/', iFirst + 1) < 0)
        return COrvStringA();
    return sPath.Left(iFirst);
}

bool OrvExpandEnvironment(const char* psz, COrvStringA& sOut, OrvGetEnvFn pfnGetEnv) {
    if (pfnGetEnv == nullptr)
        pfnGetEnv = [](const char* pszName) -> const char* { return getenv(pszName); };
    COrvStringA s;
    const char* p = psz != nullptr ? psz : "";
    bool bOk = true;
    while (*p) {
        const char* pOpen = strchr(p, '%');
        if (pOpen == nullptr) {
            bOk &= s.Append(p);
            break;
        }
        bOk &= s.Append(p, static_cast<int>(pOpen - p));
        const char* pClose = strchr(pOpen + 1, '%');
        if (pClose == nullptr) {
            bOk &= s.Append(pOpen);
            break;
        }
        const COrvStringA sName(pOpen + 1, static_cast<int>(pClose - pOpen - 1));
        const char* pszValue = sName.IsEmpty() ? nullptr : pfnGetEnv(sName);
        if (pszValue != nullptr) {
            bOk &= s.Append(pszValue);
            p = pClose + 1;
        } else {
            // Left as it stands; the closing "%" may open the next reference.
            bOk &= s.Append(pOpen, static_cast<int>(pClose - pOpen));
            p = pClose;
        }
    }
    if (!bOk)
        return false;
    sOut = s;
    return true;
}

void OrvExpandDateMacros(COrvStringA& sPath, const struct tm* pTm) {
    if (sPath.Find('%') < 0)
        return;
    int nYear = 0, nMonth = 0, nDay = 0, nDow = -1, nWom = 1, nHour = -1, nMinute = -1;
    if (pTm != nullptr) {
        nYear = pTm->tm_year + 1900;
        nMonth = pTm->tm_mon + 1;
        nDay = pTm->tm_mday;
        nDow = pTm->tm_wday;
        nWom = (nDay - 1) / 7 + 1;
        nHour = pTm->tm_hour;
        nMinute = pTm->tm_min;
    }
    const struct {
        const char* pszMacro;
        const char* pszFormat;
        int nValue;
    } kMacros[] = {{"%YYYY%", "%04d", nYear}, {"%MM%", "%02d", nMonth}, {"%DD%", "%02d", nDay},
                   {"%DOW%", "%d", nDow},     {"%WOM%", "%d", nWom},    {"%HH%", "%02d", nHour},
                   {"%II%", "%02d", nMinute}};
    for (const auto& m : kMacros) {
        if (sPath.Find(m.pszMacro) < 0)
            continue;
        COrvStringA sValue;
        sValue.Format(m.pszFormat, m.nValue);
        sPath.Replace(m.pszMacro, sValue);
    }
}

bool OrvExpandPathMacrosWith(COrvStringA& sPath, const OrvPathMacro* pTable, int nTable,
                             OrvGetEnvFn pfnGetEnv, const struct tm* pTm, COrvStringA* psMacro,
                             COrvStringA* psFolder) {
    COrvStringA s(sPath);
    const int iOpen = s.Find('%');
    const int iClose = iOpen >= 0 ? s.Find('%', iOpen + 1) : -1;
    if (iClose > iOpen) {
        const COrvStringA sMacro = s.Mid(iOpen, iClose - iOpen + 1);
        for (int i = 0; i < nTable; ++i) {
            if (pTable[i].sMacro == sMacro && !pTable[i].sFolder.IsEmpty()) {
                if (psMacro != nullptr && psFolder != nullptr) {
                    *psMacro = sMacro;
                    *psFolder = pTable[i].sFolder;
                }
                s.Replace(sMacro, pTable[i].sFolder);
                break;
            }
        }
    }
    COrvStringA sExpanded;
    if (!OrvExpandEnvironment(s, sExpanded, pfnGetEnv))
        return false;
    OrvExpandDateMacros(sExpanded, pTm);
    sPath = sExpanded;
    return true;
}

COrvStringA OrvParseUserDirs(const char* pszText, const char* pszKey, const COrvStringA& sHome) {
    const size_t nKey = strlen(pszKey);
    for (const char* p = pszText; p != nullptr && *p;) {
        const char* pEnd = strchr(p, '\n');
        const int nLine =
            pEnd != nullptr ? static_cast<int>(pEnd - p) : static_cast<int>(strlen(p));
        COrvStringA sLine(p, nLine);
        sLine.Trim();
        p = pEnd != nullptr ? pEnd + 1 : nullptr;
        if (strncmp(sLine, pszKey, nKey) != 0 || sLine[static_cast<int>(nKey)] != '=')
            continue;
        COrvStringA sValue = sLine.Mid(static_cast<int>(nKey) + 1);
        if (sValue.GetLength() < 2 || sValue[0] != '"' || sValue[sValue.GetLength() - 1] != '"')
            return COrvStringA();
        sValue = sValue.Mid(1, sValue.GetLength() - 2);
        if (StartsWith(sValue, "$HOME") && (sValue[5] == '/' || sValue[5] == 0))
            sValue = sHome + sValue.Mid(5);
        else if (sValue[0] != '/')
            return COrvStringA();
        while (sValue.GetLength() > 1 && sValue[sValue.GetLength() - 1] == '/')
            sValue.Truncate(sValue.GetLength() - 1);
        return sValue;
    }
    return COrvStringA();
}

COrvStringA OrvDecodeMountEscapes(const char* psz, int nLen) {
    const auto IsOct = [](char c) { return c >= '0' && c <= '7'; };
    const auto IsHex = [](char c) { return isxdigit(static_cast<unsigned char>(c)) != 0; };
    COrvStringA s;
    for (int i = 0; i < nLen; ++i) {
        const bool bRoom = psz[i] == '\\' && i + 3 < nLen;
        if (bRoom && IsOct(psz[i + 1]) && IsOct(psz[i + 2]) && IsOct(psz[i + 3])) {
            s.AppendChar(static_cast<char>((psz[i + 1] - '0') * 64 + (psz[i + 2] - '0') * 8 +
                                           (psz[i + 3] - '0')));
            i += 3;
        } else if (bRoom && psz[i + 1] == 'x' && IsHex(psz[i + 2]) && IsHex(psz[i + 3])) {
            const char hex[3] = {psz[i + 2], psz[i + 3], 0};
            s.AppendChar(static_cast<char>(strtoul(hex, nullptr, 16)));
            i += 3;
        } else {
            s.AppendChar(psz[i]);
        }
    }
    return s;
}

void OrvForEachMount(const char* pszMountInfo, OrvMountFn fn, void* pCtx) {
    const char* p = pszMountInfo;
    while (p != nullptr && *p) {
        const char* pEnd = p;
        while (*pEnd && *pEnd != '\n')
            ++pEnd;
        // "id parent major:minor root mountpoint options ..."
        const char* f = p;
        const char* apField[5] = {};
        int anLen[5] = {};
        int nFields = 0;
        for (; nFields < 5 && f < pEnd; ++nFields) {
            while (f < pEnd && *f == ' ')
                ++f;
            apField[nFields] = f;
            while (f < pEnd && *f != ' ')
                ++f;
            anLen[nFields] = static_cast<int>(f - apField[nFields]);
        }
        unsigned nMajor = 0, nMinor = 0;
        char chEnd = 0;
        if (nFields == 5 && anLen[4] > 0 && anLen[2] < 32) {
            const COrvStringA sDev(apField[2], anLen[2]);
            if (sscanf(sDev, "%u:%u%c", &nMajor, &nMinor, &chEnd) == 2)
                fn(pCtx, nMajor, nMinor, OrvDecodeMountEscapes(apField[4], anLen[4]));
        }
        p = *pEnd ? pEnd + 1 : pEnd;
    }
}

bool OrvResolvePortablePathWith(const char* pszPath, const OrvVolume* pVolumes, int nVolumes,
                                COrvStringA& sOut, COrvError& err) {
    sOut.Empty();
    const COrvStringA sPath(pszPath != nullptr ? pszPath : "");
    if (sPath.IsEmpty() || sPath[0] != '=') {
        sOut = sPath;
        return true;
    }
    const int iColon = sPath.Find(':');
    if (iColon < 2)
        return err.SetFormat(enNetBadRequest, "bad portable path: %s", sPath.GetString());
    const COrvStringA sName = sPath.Mid(1, iColon - 1);
    const COrvStringA sRest = sPath.Mid(iColon + 1);
    const OrvVolume* pFound = nullptr;
    for (int i = 0; i < nVolumes; ++i) {
        if (pVolumes[i].sLabel.CompareNoCase(sName) != 0)
            continue;
        if (pFound != nullptr) {
            return err.SetFormat(enNetBadRequest,
                                 "Two Portable volumes have the same name: %s on %s and %s on "
                                 "%s. Please give them different names",
                                 pFound->sLabel.GetString(), pFound->sMountPoint.GetString(),
                                 pVolumes[i].sLabel.GetString(),
                                 pVolumes[i].sMountPoint.GetString());
        }
        pFound = &pVolumes[i];
    }
    if (pFound == nullptr)
        return err.SetFormat(enNetNotFound, "portable volume not found: %s", sName.GetString());
    // "/" as a mount point: the rest already starts with "/".
    sOut = (pFound->sMountPoint == "/" && sRest[0] == '/') ? sRest : pFound->sMountPoint + sRest;
    return true;
}
