// The version record from uname and os-release.
#include "orv-osver.h"

#include "orv-fd.h"
#include "orv-registry.h"
#include "orv-sys.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/utsname.h>

#include <mutex>

namespace {

COrvStringA ReadSmallFile(const char* pszPath) {
    OrvFd fd(OrvSysOpen(pszPath, O_RDONLY));
    if (!fd)
        return "";
    char buf[16384];
    const long n = OrvSysReadAll(fd.Get(), buf, sizeof buf - 1);
    return n > 0 ? COrvStringA(buf, static_cast<int>(n)) : COrvStringA();
}

void Fill(OrvOsVersion& v) {
    struct utsname u;
    if (::uname(&u) != 0) {
        v.sRaw = "cannot determine OS version";
        return;
    }
    v.bValid = true;
    // "6.1.0-18-amd64": the first three numbers; missing ones stay 0.
    sscanf(u.release, "%d.%d.%d", &v.nMajor, &v.nMinor, &v.nBuild);
    v.nPlatform = 2;
    v.sRaw.Format("%d.%d.%d-%d", v.nMajor, v.nMinor, v.nBuild, v.nPlatform);

    bool bServer = false;
    COrvStringA strRelease = ReadSmallFile("/etc/os-release");
    if (strRelease.IsEmpty())
        strRelease = ReadSmallFile("/usr/lib/os-release");
    v.sName = OrvOsReleaseName(strRelease, bServer);
    if (v.sName.IsEmpty())
        v.sName = u.sysname;
    v.nProductType = bServer ? kOrvOsServer : kOrvOsWorkstation;

    static const char* const s_64bit[] = {"x86_64",  "aarch64", "ppc64",   "ppc64le",     "s390x",
                                          "riscv64", "mips64",  "sparc64", "loongarch64", "alpha"};
    bool b64 = false;
    for (const char* psz : s_64bit)
        b64 = b64 || strcmp(u.machine, psz) == 0;
    v.sBitness = b64 ? "64-bit-OS" : "32-bit-OS";
    if (OrvIsWow64Process())
        v.sFlags = "Wow32on64";
    if (bServer) {
        if (!v.sFlags.IsEmpty())
            v.sFlags += " ";
        v.sFlags += "ServerOS";
    }
    COrvStringW strBuild;
    for (const char* p = u.version; *p; ++p)
        strBuild.AppendChar(static_cast<unsigned char>(*p) < 0x80 ? *p : u'?');
    v.sTypeText.Format("t=%d cd=%S", v.nProductType, strBuild.GetString());
}

}  // namespace

const OrvOsVersion& OrvGetOsVersion() {
    static OrvOsVersion s_version;
    static std::once_flag s_once;
    std::call_once(s_once, [] { Fill(s_version); });
    return s_version;
}
