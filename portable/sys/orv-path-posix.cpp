// The parts of path handling that ask the system: the folder-macro table (XDG base and user
// folders, the mount point of the program's folder) and the mounted volumes behind portable
// volume paths.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "orv-clock.h"
#include "orv-file.h"
#include "orv-path.h"
#include "orv-program-path.h"
#include "orv-sys.h"

namespace {

COrvStringA HomeFolder() {
    const char* psz = getenv("HOME");
    if (psz != nullptr && psz[0] == '/')
        return COrvStringA(psz);
    struct passwd pw;
    struct passwd* pResult = nullptr;
    char szBuf[4096];
    if (getpwuid_r(getuid(), &pw, szBuf, sizeof szBuf, &pResult) == 0 && pResult != nullptr &&
        pResult->pw_dir != nullptr)
        return COrvStringA(pResult->pw_dir);
    return COrvStringA();
}

COrvStringA StripSlash(COrvStringA s) {
    while (s.GetLength() > 1 && s[s.GetLength() - 1] == '/')
        s.Truncate(s.GetLength() - 1);
    return s;
}

// $NAME when set to an absolute path, else sHome + pszDefault (empty without a home).
COrvStringA XdgBase(const char* pszVar, const COrvStringA& sHome, const char* pszDefault) {
    const char* psz = getenv(pszVar);
    if (psz != nullptr && psz[0] == '/')
        return StripSlash(COrvStringA(psz));
    return sHome.IsEmpty() ? COrvStringA() : sHome + pszDefault;
}

// The first absolute entry of a colon-separated list variable, else pszDefault.
COrvStringA XdgFirstDir(const char* pszVar, const char* pszDefault) {
    const char* psz = getenv(pszVar);
    if (psz != nullptr && *psz) {
        const char* pEnd = strchr(psz, ':');
        COrvStringA s(
            psz, pEnd != nullptr ? static_cast<int>(pEnd - psz) : static_cast<int>(strlen(psz)));
        if (s[0] == '/')
            return StripSlash(s);
    }
    return COrvStringA(pszDefault);
}

// Device number (major, minor) of the mount that holds pszPath, and its mount point.
struct MountSearch {
    unsigned nMajor;
    unsigned nMinor;
    COrvStringA sPath;
    COrvStringA sFound;
};

COrvStringA ReadSmallFile(const char* pszPath) {
    COrvStringA s;
    COrvError err;
    if (!OrvReadWholeFile(pszPath, s, err))
        s.Empty();
    return s;
}

// The mount point of the file system that holds pszPath: among the mounts of its device, the
// longest mount point that is a prefix of the path.
COrvStringA MountPointOf(const char* pszPath) {
    struct stat st;
    if (OrvSysRetry([&] { return g_orv_sys.stat(pszPath, &st); }) != 0)
        return COrvStringA();
    const COrvStringA sInfo = ReadSmallFile("/proc/self/mountinfo");
    MountSearch search{major(st.st_dev), minor(st.st_dev), COrvStringA(pszPath), COrvStringA()};
    OrvForEachMount(
        sInfo,
        [](void* pCtx, unsigned nMajor, unsigned nMinor, const COrvStringA& sMount) {
            auto* p = static_cast<MountSearch*>(pCtx);
            if (nMajor != p->nMajor || nMinor != p->nMinor)
                return;
            const int n = sMount.GetLength();
            const bool bPrefix = sMount == "/" || (strncmp(p->sPath, sMount, n) == 0 &&
                                                   (p->sPath[n] == '/' || p->sPath[n] == 0));
            if (bPrefix && n > p->sFound.GetLength())
                p->sFound = sMount;
        },
        &search);
    return search.sFound;
}

COrvStringA ProgramFolder() {
    COrvStringA s;
    COrvError err;
    if (!OrvGetExecutablePath(s, err) || s.IsEmpty())
        return COrvStringA();
    const int iSlash = s.ReverseFind('/');
    return iSlash > 0 ? s.Left(iSlash) : COrvStringA("/");
}

struct MacroTable {
    OrvPathMacro a[20];
    int n = 0;
    void Add(const char* pszMacro, const COrvStringA& sFolder) {
        a[n].sMacro = pszMacro;
        a[n].sFolder = sFolder;
        ++n;
    }
};

MacroTable* BuildTable() {
    static MacroTable table;
    const COrvStringA sHome = HomeFolder();
    const COrvStringA sConfig = XdgBase("XDG_CONFIG_HOME", sHome, "/.config");
    const COrvStringA sUserDirs = ReadSmallFile(sConfig + "/user-dirs.dirs");
    const auto UserDir = [&](const char* pszKey, const char* pszDefault) {
        const COrvStringA s = OrvParseUserDirs(sUserDirs, pszKey, sHome);
        if (!s.IsEmpty())
            return s;
        return sHome.IsEmpty() ? COrvStringA() : sHome + pszDefault;
    };
    const COrvStringA sProgram = ProgramFolder();
    table.Add("%TVDISK%", sProgram.IsEmpty() ? COrvStringA() : MountPointOf(sProgram));
    table.Add("%APPDATA%", sConfig);
    table.Add("%COMMONAPPDATA%", XdgFirstDir("XDG_DATA_DIRS", "/usr/local/share"));
    table.Add("%COMMONDESKTOP%", COrvStringA());
    table.Add("%COMMONDOCUMENTS%", UserDir("XDG_PUBLICSHARE_DIR", "/Public"));
    table.Add("%COMMONFAVORITES%", COrvStringA());
    table.Add("%COMMONMUSIC%", COrvStringA());
    table.Add("%COMMONPICTURES%", COrvStringA());
    table.Add("%COMMONVIDEO%", COrvStringA());
    table.Add("%COOKIES%", COrvStringA());
    table.Add("%DESKTOP%", UserDir("XDG_DESKTOP_DIR", "/Desktop"));
    table.Add("%FAVORITES%", COrvStringA());
    table.Add("%LOCALAPPDATA%", XdgBase("XDG_DATA_HOME", sHome, "/.local/share"));
    table.Add("%MYMUSIC%", UserDir("XDG_MUSIC_DIR", "/Music"));
    table.Add("%MYPICTURES%", UserDir("XDG_PICTURES_DIR", "/Pictures"));
    table.Add("%MYVIDEO%", UserDir("XDG_VIDEOS_DIR", "/Videos"));
    table.Add("%MYDOCUMENTS%", UserDir("XDG_DOCUMENTS_DIR", "/Documents"));
    table.Add("%PROGRAMFILES%", COrvStringA("/opt"));
    table.Add("%COMMONPROGRAMFILES%", COrvStringA("/usr/lib"));
    table.Add("%SYSTEM%", COrvStringA("/usr/bin"));
    return &table;
}

}  // namespace

const OrvPathMacro* OrvPathMacroTable(int* pnCount) {
    static std::once_flag once;
    static MacroTable* pTable = nullptr;
    std::call_once(once, [] { pTable = BuildTable(); });
    if (pnCount != nullptr)
        *pnCount = pTable->n;
    return pTable->a;
}

COrvStringA OrvGetMacroFolder(const char* pszMacro) {
    int n = 0;
    const OrvPathMacro* p = OrvPathMacroTable(&n);
    for (int i = 0; i < n; ++i) {
        if (p[i].sMacro == pszMacro)
            return p[i].sFolder;
    }
    return COrvStringA();
}

bool OrvExpandPathMacros(COrvStringA& sPath, COrvStringA* psMacro, COrvStringA* psFolder,
                         COrvError& err) {
    int n = 0;
    const OrvPathMacro* pTable = OrvPathMacroTable(&n);
    struct tm tmNow;
    const bool bTime = OrvClockBreakdown(OrvClockNow(), true, &tmNow);
    if (!OrvExpandPathMacrosWith(sPath, pTable, n, nullptr, bTime ? &tmNow : nullptr, psMacro,
                                 psFolder))
        return err.SetFormat(enNetNoMemory, "cannot expand path macros: %s", sPath.GetString());
    return true;
}

bool OrvResolvePortablePath(const char* pszPath, COrvStringA& sOut, COrvError& err) {
    if (pszPath == nullptr || pszPath[0] != '=')
        return OrvResolvePortablePathWith(pszPath, nullptr, 0, sOut, err);
    // Every label under /dev/disk/by-label, with the mount point of its device.
    OrvVolume aVolumes[64];
    int nVolumes = 0;
    const COrvStringA sInfo = ReadSmallFile("/proc/self/mountinfo");
    DIR* pDir = nullptr;
    do {
        pDir = g_orv_sys.opendir("/dev/disk/by-label");
    } while (pDir == nullptr && errno == EINTR);
    if (pDir != nullptr) {
        while (const struct dirent* pEnt = readdir(pDir)) {
            if (pEnt->d_name[0] == '.' || nVolumes == 64)
                continue;
            const COrvStringA sLink = COrvStringA("/dev/disk/by-label/") + pEnt->d_name;
            struct stat st;
            if (OrvSysRetry([&] { return g_orv_sys.stat(sLink, &st); }) != 0 ||
                !S_ISBLK(st.st_mode))
                continue;
            MountSearch search{major(st.st_rdev), minor(st.st_rdev), COrvStringA(), COrvStringA()};
            OrvForEachMount(
                sInfo,
                [](void* pCtx, unsigned nMajor, unsigned nMinor, const COrvStringA& sMount) {
                    auto* p = static_cast<MountSearch*>(pCtx);
                    // The shortest mount point of the device: the volume's root, not a bind
                    // mount of a folder inside it.
                    if (nMajor == p->nMajor && nMinor == p->nMinor &&
                        (p->sFound.IsEmpty() || sMount.GetLength() < p->sFound.GetLength()))
                        p->sFound = sMount;
                },
                &search);
            if (search.sFound.IsEmpty())
                continue;  // labelled but not mounted
            aVolumes[nVolumes].sLabel =
                OrvDecodeMountEscapes(pEnt->d_name, static_cast<int>(strlen(pEnt->d_name)));
            aVolumes[nVolumes].sMountPoint = search.sFound;
            ++nVolumes;
        }
        closedir(pDir);
    }
    return OrvResolvePortablePathWith(pszPath, aVolumes, nVolumes, sOut, err);
}
