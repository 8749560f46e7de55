// The settings store on the file system: a folder per key, the values file, and the lock that
// serialises writers of one key (flock on the key's folder, released when its holder dies).
#include "orv-registry-os.h"

#include "orv-fd.h"
#include "orv-registry.h"
#include "orv-replacing-file.h"
#include "orv-sys.h"
#include "orv-utf.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

const char kOrvRegValuesFile[] = ".values";

namespace {

unsigned DirMode(bool bMachine) {
    return bMachine ? 0755 : 0700;
}

unsigned FileMode(bool bMachine) {
    return bMachine ? 0644 : 0600;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool IsDir(const std::string& strPath, int& nErr) {
    struct stat st;
    if (g_orv_sys.stat(strPath.c_str(), &st) != 0) {
        nErr = errno;
        return false;
    }
    nErr = S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    return nErr == 0;
}

// Makes strDir and any missing folder above it.
int MakeDirs(const std::string& strDir, unsigned nMode) {
    int nErr;
    if (IsDir(strDir, nErr))
        return 0;
    if (nErr != ENOENT)
        return nErr;
    const size_t nSlash = strDir.rfind('/');
    if (nSlash != std::string::npos && nSlash > 0) {
        const int r = MakeDirs(strDir.substr(0, nSlash), nMode);
        if (r != 0)
            return r;
    }
    if (g_orv_sys.mkdir(strDir.c_str(), nMode) != 0 && errno != EEXIST)
        return errno;
    return IsDir(strDir, nErr) ? 0 : nErr;
}

// Calls fn(name) for every entry of a folder except "." and "..".
template <class Fn>
int ForEachEntry(const std::string& strDir, Fn fn) {
    DIR* pDir = g_orv_sys.opendir(strDir.c_str());
    if (pDir == nullptr)
        return errno;
    while (struct dirent* pEnt = ::readdir(pDir)) {
        if (strcmp(pEnt->d_name, ".") == 0 || strcmp(pEnt->d_name, "..") == 0)
            continue;
        fn(pEnt);
    }
    ::closedir(pDir);
    return 0;
}

bool IsSubKeyEntry(const std::string& strDir, const struct dirent* pEnt) {
    if (pEnt->d_name[0] == '.')
        return false;
    if (pEnt->d_type == DT_DIR)
        return true;
    if (pEnt->d_type != DT_UNKNOWN && pEnt->d_type != DT_LNK)
        return false;
    int nErr;
    return IsDir(strDir + "/" + pEnt->d_name, nErr);
}

// Finds the entry of strDir whose key name equals name without regard to case.
bool FindNoCase(const std::string& strDir, const std::u16string& name, std::string& strFound) {
    bool bFound = false;
    ForEachEntry(strDir, [&](const struct dirent* pEnt) {
        std::u16string decoded;
        if (!bFound && OrvRegDecodeKeyName(pEnt->d_name, decoded) &&
            OrvRegNameEquals(decoded.data(), decoded.size(), name.data(), name.size())) {
            strFound = pEnt->d_name;
            bFound = true;
        }
    });
    return bFound;
}

int ReadWhole(int fd, std::string& text) {
    struct stat st;
    if (g_orv_sys.fstat(fd, &st) != 0)
        return errno;
    if (static_cast<uint64_t>(st.st_size) > kOrvRegFileMax)
        return EBADMSG;
    // One byte more than the size, to see a file that grew under us (it cannot: files are only
    // ever replaced, never written in place).
    text.resize(static_cast<size_t>(st.st_size) + 1);
    const long n = OrvSysReadAll(fd, text.data(), text.size());
    if (n < 0)
        return errno;
    text.resize(static_cast<size_t>(n));
    return text.size() > kOrvRegFileMax ? EBADMSG : 0;
}

void RemoveStaleTemps(const std::string& strDir) {
    std::vector<std::string> stale;
    ForEachEntry(strDir, [&](const struct dirent* pEnt) {
        if (OrvIsReplacementTemp(pEnt->d_name, kOrvRegValuesFile))
            stale.push_back(strDir + "/" + pEnt->d_name);
    });
    for (const std::string& s : stale)
        g_orv_sys.unlink(s.c_str());
}

}  // namespace

int OrvRegHiveFolder(uint32_t nRoot, std::string& strDir, bool& bMachine) {
    const char16_t* pszName = OrvRegRootName(nRoot);
    if (pszName == nullptr)
        return EINVAL;
    bMachine = nRoot != enOrvHKeyCurrentUser;
    const char* pszRoot = getenv("ORV_REGISTRY_ROOT");
    if (pszRoot != nullptr && pszRoot[0] != '\0') {
        strDir = pszRoot;
        strDir += '/';
        for (const char16_t* p = pszName; *p; ++p)
            strDir += static_cast<char>(*p);
        return 0;
    }
    switch (nRoot) {
        case enOrvHKeyCurrentUser: {
            const char* pszXdg = getenv("XDG_CONFIG_HOME");
            if (pszXdg != nullptr && pszXdg[0] == '/') {
                strDir = pszXdg;
            } else {
                const char* pszHome = getenv("HOME");
                if (pszHome == nullptr || pszHome[0] != '/')
                    return ENOENT;
                strDir = std::string(pszHome) + "/.config";
            }
            strDir += "/orv-registry";
            return 0;
        }
        case enOrvHKeyLocalMachine:
            strDir = "/etc/orv-registry";
            return 0;
        case enOrvHKeyClassesRoot:
            strDir = "/etc/orv-registry/Software/Classes";
            return 0;
        default:
            strDir = "/etc/orv-registry-users";
            return 0;
    }
}

int OrvRegEncodeKeyName(const char16_t* pName, size_t nLen, std::string& strOut) {
    strOut.clear();
    if (nLen == 0 || nLen > 255)
        return EINVAL;
    for (size_t i = 0; i < nLen; ++i) {
        uint32_t cp = pName[i];
        if (cp == 0)
            return EINVAL;
        if (OrvIsHighSurrogate(cp) && i + 1 < nLen && OrvIsLowSurrogate(pName[i + 1])) {
            cp = OrvCombineSurrogates(cp, pName[i + 1]);
            ++i;
        } else if (OrvIsSurrogate(cp)) {
            return EINVAL;
        }
        if (cp == '/')
            strOut += "%2F";
        else if (cp == '%')
            strOut += "%25";
        else if (cp == '.' && i == 0)
            strOut += "%2E";
        else
            AppendUtf8(strOut, cp);
    }
    return 0;
}

bool OrvRegDecodeKeyName(const char* pszFolder, std::u16string& strOut) {
    strOut.clear();
    if (pszFolder[0] == '.' || pszFolder[0] == '\0')
        return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pszFolder); *p;) {
        if (*p == '%') {
            if (p[1] == '2' && p[2] == 'F')
                strOut += u'/';
            else if (p[1] == '2' && p[2] == '5')
                strOut += u'%';
            else if (p[1] == '2' && p[2] == 'E' &&
                     p == reinterpret_cast<const unsigned char*>(pszFolder))
                strOut += u'.';
            else
                return false;
            p += 3;
            continue;
        }
        uint32_t cp;
        int nMore;
        uint32_t nMin;
        if (*p < 0x80) {
            cp = *p, nMore = 0, nMin = 0;
        } else if ((*p & 0xE0) == 0xC0) {
            cp = *p & 0x1F, nMore = 1, nMin = 0x80;
        } else if ((*p & 0xF0) == 0xE0) {
            cp = *p & 0x0F, nMore = 2, nMin = 0x800;
        } else if ((*p & 0xF8) == 0xF0) {
            cp = *p & 0x07, nMore = 3, nMin = 0x10000;
        } else {
            return false;
        }
        ++p;
        for (int i = 0; i < nMore; ++i, ++p) {
            if ((*p & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (*p & 0x3F);
        }
        if (cp < nMin || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            strOut += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            strOut += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            strOut += static_cast<char16_t>(cp);
        }
    }
    return strOut.size() <= 255;
}

int OrvRegResolve(const std::string& strBase, const char16_t* pszSubKey, bool bCreate,
                  bool bMachine, std::string& strDir) {
    strDir = strBase;
    int nErr;
    if (bCreate) {
        const int r = MakeDirs(strBase, DirMode(bMachine));
        if (r != 0)
            return r;
    } else if (!IsDir(strBase, nErr)) {
        return nErr;
    }
    const char16_t* p = pszSubKey != nullptr ? pszSubKey : u"";
    while (*p) {
        const char16_t* pEnd = p;
        while (*pEnd && *pEnd != u'\\')
            ++pEnd;
        if (pEnd > p) {
            const std::u16string name(p, pEnd);
            std::string strEnc;
            const int r = OrvRegEncodeKeyName(name.data(), name.size(), strEnc);
            if (r != 0)
                return r;
            std::string strNext = strDir + "/" + strEnc;
            if (!IsDir(strNext, nErr)) {
                if (nErr != ENOENT)
                    return nErr;
                std::string strFound;
                if (FindNoCase(strDir, name, strFound)) {
                    strNext = strDir + "/" + strFound;
                } else if (!bCreate) {
                    return ENOENT;
                } else if (g_orv_sys.mkdir(strNext.c_str(), DirMode(bMachine)) != 0 &&
                           errno != EEXIST) {
                    return errno;
                }
                if (!IsDir(strNext, nErr))
                    return nErr;
            }
            strDir = std::move(strNext);
        }
        p = *pEnd ? pEnd + 1 : pEnd;
    }
    return 0;
}

int OrvRegReadValues(const std::string& strDir, std::vector<OrvRegFileValue>& values,
                     std::string* pstrDetail) {
    values.clear();
    const std::string strFile = strDir + "/" + kOrvRegValuesFile;
    OrvFd fd(OrvSysOpen(strFile.c_str(), O_RDONLY));
    if (!fd) {
        const int nErr = errno;
        if (nErr != ENOENT)
            return nErr;
        int nDirErr;
        return IsDir(strDir, nDirErr) ? 0 : nDirErr;
    }
    std::string text;
    const int r = ReadWhole(fd.Get(), text);
    if (r != 0)
        return r;
    COrvError err;
    if (!OrvRegFileParse(text.data(), text.size(), values, err)) {
        if (pstrDetail != nullptr)
            *pstrDetail = err.Text().GetString();
        return EBADMSG;
    }
    return 0;
}

int OrvRegReadValuesCached(const std::string& strDir, OrvRegValuesCache& cache,
                           const std::vector<OrvRegFileValue>** ppValues) {
    static const std::vector<OrvRegFileValue> s_none;
    *ppValues = &s_none;
    const std::string strFile = strDir + "/" + kOrvRegValuesFile;
    struct stat st;
    if (g_orv_sys.stat(strFile.c_str(), &st) != 0) {
        const int nErr = errno;
        cache.fd.Reset();
        if (nErr != ENOENT)
            return nErr;
        int nDirErr;
        return IsDir(strDir, nDirErr) ? 0 : nDirErr;
    }
    auto same = [&](const struct stat& s) {
        return cache.fd.IsValid() && static_cast<uint64_t>(s.st_dev) == cache.nDev &&
               static_cast<uint64_t>(s.st_ino) == cache.nIno &&
               static_cast<uint64_t>(s.st_size) == cache.nSize &&
               s.st_mtim.tv_sec * 1000000000LL + s.st_mtim.tv_nsec == cache.nMtimeNs &&
               s.st_ctim.tv_sec * 1000000000LL + s.st_ctim.tv_nsec == cache.nCtimeNs;
    };
    if (!same(st)) {
        cache.fd.Reset();
        cache.values.clear();
        OrvFd fd(OrvSysOpen(strFile.c_str(), O_RDONLY));
        if (!fd)
            return errno == ENOENT ? OrvRegReadValuesCached(strDir, cache, ppValues) : errno;
        // The identity of what is read comes from the open file, not from the path.
        struct stat stFd;
        if (g_orv_sys.fstat(fd.Get(), &stFd) != 0)
            return errno;
        std::string text;
        int r = ReadWhole(fd.Get(), text);
        if (r != 0)
            return r;
        COrvError err;
        if (!OrvRegFileParse(text.data(), text.size(), cache.values, err)) {
            cache.values.clear();
            return EBADMSG;
        }
        cache.nDev = static_cast<uint64_t>(stFd.st_dev);
        cache.nIno = static_cast<uint64_t>(stFd.st_ino);
        cache.nSize = static_cast<uint64_t>(stFd.st_size);
        cache.nMtimeNs = stFd.st_mtim.tv_sec * 1000000000LL + stFd.st_mtim.tv_nsec;
        cache.nCtimeNs = stFd.st_ctim.tv_sec * 1000000000LL + stFd.st_ctim.tv_nsec;
        cache.fd = std::move(fd);
    }
    *ppValues = &cache.values;
    return 0;
}

int OrvRegUpdateValues(const std::string& strDir, bool bMachine,
                       const std::function<int(std::vector<OrvRegFileValue>&, bool&)>& change,
                       std::string* pstrDetail) {
    OrvFd fdDir(OrvSysOpen(strDir.c_str(), O_RDONLY | O_DIRECTORY));
    if (!fdDir)
        return errno;
    if (OrvSysRetry([&] { return g_orv_sys.flock(fdDir.Get(), LOCK_EX); }) != 0)
        return errno;
    // The lock is released when fdDir is closed, on every path out of here.
    std::vector<OrvRegFileValue> values;
    int r = OrvRegReadValues(strDir, values, pstrDetail);
    if (r != 0)
        return r;
    bool bWrite = true;
    r = change(values, bWrite);
    if (r != 0 || !bWrite)
        return r;
    const std::string text = OrvRegFileFormat(values);
    if (text.size() > kOrvRegFileMax)
        return EFBIG;
    // A writer killed between creating its temporary file and renaming it leaves the file
    // behind; while we hold the lock no other writer has one open, so any left is stale.
    RemoveStaleTemps(strDir);
    const std::string strFile = strDir + "/" + kOrvRegValuesFile;
    COrvError err;
    if (!OrvReplaceFileContents(strFile.c_str(), text.data(), text.size(), err, FileMode(bMachine)))
        return err.SystemError() != 0 ? err.SystemError() : EIO;
    return 0;
}

int OrvRegListSubKeys(const std::string& strDir, std::vector<std::u16string>& names,
                      int64_t* pnLastWrite) {
    names.clear();
    const int r = ForEachEntry(strDir, [&](const struct dirent* pEnt) {
        std::u16string name;
        if (IsSubKeyEntry(strDir, pEnt) && OrvRegDecodeKeyName(pEnt->d_name, name))
            names.push_back(std::move(name));
    });
    if (r != 0)
        return r;
    std::sort(names.begin(), names.end(), [](const std::u16string& a, const std::u16string& b) {
        const size_t n = std::min(a.size(), b.size());
        for (size_t i = 0; i < n; ++i) {
            const char16_t fa = OrvRegFoldChar(a[i]), fb = OrvRegFoldChar(b[i]);
            if (fa != fb)
                return fa < fb;
        }
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    if (pnLastWrite != nullptr) {
        *pnLastWrite = 0;
        struct stat st;
        if (g_orv_sys.stat(strDir.c_str(), &st) == 0)
            *pnLastWrite = st.st_mtime;
        const std::string strFile = strDir + "/" + kOrvRegValuesFile;
        if (g_orv_sys.stat(strFile.c_str(), &st) == 0 && st.st_mtime > *pnLastWrite)
            *pnLastWrite = st.st_mtime;
    }
    return 0;
}

int OrvRegDeleteKeyFolder(const std::string& strDir) {
    OrvFd fdDir(OrvSysOpen(strDir.c_str(), O_RDONLY | O_DIRECTORY));
    if (!fdDir)
        return errno;
    // Writers of this key hold the same lock: none is between reading and replacing the file.
    if (OrvSysRetry([&] { return g_orv_sys.flock(fdDir.Get(), LOCK_EX); }) != 0)
        return errno;
    bool bHasSubKeys = false;
    std::vector<std::string> files;
    const int r = ForEachEntry(strDir, [&](const struct dirent* pEnt) {
        if (IsSubKeyEntry(strDir, pEnt))
            bHasSubKeys = true;
        else if (strcmp(pEnt->d_name, kOrvRegValuesFile) == 0 ||
                 OrvIsReplacementTemp(pEnt->d_name, kOrvRegValuesFile))
            files.push_back(strDir + "/" + pEnt->d_name);
    });
    if (r != 0)
        return r;
    if (bHasSubKeys)
        return ENOTEMPTY;
    for (const std::string& s : files)
        if (g_orv_sys.unlink(s.c_str()) != 0 && errno != ENOENT)
            return errno;
    if (g_orv_sys.rmdir(strDir.c_str()) != 0)
        return errno;
    return 0;
}
