#include "orv-osver.h"

#include "orv-registry.h"

#include <string.h>

COrvStringA OrvWindowsOsName(int nMajor, int nMinor, int nProductType, unsigned nSuiteMask,
                             bool bServerR2) {
    const bool bWorkstation = nProductType == kOrvOsWorkstation;
    struct Row {
        int nMajor, nMinor;
        const char* pszWorkstation;
        const char* pszServer;
    };
    static const Row s_rows[] = {
        {10, 0, "Windows 10", "Windows 10 Server Preview"}, {6, 0, "Vista", "WinServer 2008"},
        {6, 1, "Windows 7", "WinServer 2008 R2"},           {6, 2, "Windows 8", "WinServer 2012"},
        {6, 3, "Windows 8.1", "WinServer 2012 R2"},
    };
    for (const Row& r : s_rows)
        if (r.nMajor == nMajor && r.nMinor == nMinor)
            return bWorkstation ? r.pszWorkstation : r.pszServer;
    if (nMajor == 5 && nMinor == 2) {
        if (bServerR2)
            return "WinServer 2003 R2";
        if (nSuiteMask & kOrvSuiteStorageServer)
            return "Win Storage Server 2003";
        if (nSuiteMask & kOrvSuiteHomeServer)
            return "Win Home Server";
        return bWorkstation ? "XP Pro" : "WinServer 2003";
    }
    if (nMajor == 5 && nMinor == 1)
        return (nSuiteMask & kOrvSuitePersonal) ? "WinXP Home" : "WinXP Pro";
    if (nMajor == 5 && nMinor == 0) {
        if (bWorkstation)
            return "Win2000";
        if (nSuiteMask & kOrvSuiteDatacenter)
            return "Win2000 Datacenter Server";
        if (nSuiteMask & kOrvSuiteEnterprise)
            return "Win2000 Advanced Server";
        return "Win2000 Server";
    }
    COrvStringA s;
    s.Format("Windows NT %d.%d", nMajor, nMinor);
    return s;
}

COrvStringA OrvMinimumWindowsText(int nMajor) {
    return nMajor < 5 ? "Tovrin requires at least Windows 2000 to run" : "";
}

namespace {

// The value of KEY=... on its own line of an os-release text, unquoted; false when absent.
bool OsReleaseField(const char* pszText, const char* pszKey, COrvStringA& strOut) {
    const size_t nKey = strlen(pszKey);
    for (const char* p = pszText; p && *p;) {
        const char* pEnd = strchr(p, '\n');
        const size_t nLine = pEnd ? static_cast<size_t>(pEnd - p) : strlen(p);
        if (nLine > nKey && memcmp(p, pszKey, nKey) == 0 && p[nKey] == '=') {
            const char* v = p + nKey + 1;
            const char* vEnd = p + nLine;
            strOut.Empty();
            if (v < vEnd && (*v == '"' || *v == '\'')) {
                const char q = *v++;
                while (v < vEnd && *v != q) {
                    if (*v == '\\' && q == '"' && v + 1 < vEnd)
                        ++v;
                    strOut.AppendChar(*v++);
                }
            } else {
                strOut.SetString(v, static_cast<int>(vEnd - v));
            }
            return true;
        }
        p = pEnd ? pEnd + 1 : nullptr;
    }
    return false;
}

}  // namespace

COrvStringA OrvOsReleaseName(const char* pszText, bool& bServer) {
    COrvStringA strName, strVariant;
    if (!OsReleaseField(pszText, "PRETTY_NAME", strName))
        OsReleaseField(pszText, "NAME", strName);
    OsReleaseField(pszText, "VARIANT_ID", strVariant);
    COrvStringA strLower = strName;
    strLower.MakeLower();
    strVariant.MakeLower();
    bServer = strVariant.Find("server") >= 0 || strLower.Find("server") >= 0;
    return strName;
}

COrvStringA OrvGetIeVersionText() {
    COrvRegKey key;
    COrvError err;
    if (!key.Open(enOrvHKeyLocalMachine, u"Software\\Microsoft\\Internet Explorer", ORV_KEY_READ,
                  err))
        return "";
    COrvStringA s;
    if (key.QueryStringValueA(u"svcVersion", s, err) || key.QueryStringValueA(u"Version", s, err)) {
        COrvStringA r("IE: ");
        r += s;
        return r;
    }
    return "";
}
