// The operating-system version record and its texts, filled once per process.
#pragma once

#include "orv-string.h"

// Product types of the version record.
constexpr int kOrvOsWorkstation = 1;
constexpr int kOrvOsServer = 3;
// Suite bits that the name table looks at.
constexpr unsigned kOrvSuiteEnterprise = 0x0002;
constexpr unsigned kOrvSuiteDatacenter = 0x0080;
constexpr unsigned kOrvSuitePersonal = 0x0200;
constexpr unsigned kOrvSuiteStorageServer = 0x2000;
constexpr unsigned kOrvSuiteHomeServer = 0x8000;

struct OrvOsVersion {
    bool bValid = false;  // false: the system could not be asked; sRaw says so
    int nMajor = 0;       // on Linux the kernel's numbers: 6.1.0 ...
    int nMinor = 0;
    int nBuild = 0;
    int nPlatform = 2;  // 2 as on the NT family
    int nProductType = kOrvOsWorkstation;
    unsigned nSuiteMask = 0;
    COrvStringA sRaw;       // "%d.%d.%d-%d" (major, minor, build, platform), or
                            // "cannot determine OS version"
    COrvStringA sName;      // PRETTY_NAME of os-release, else the kernel's name
    COrvStringA sBitness;   // "64-bit-OS" or "32-bit-OS" (from the machine)
    COrvStringA sFlags;     // "Wow32on64" and/or "ServerOS", space separated, often empty
    COrvStringA sTypeText;  // "t=%d cd=%S": the product type and the kernel's build text
                            // (uname's version field, "#1 SMP ..."), the service-pack text's
                            // counterpart
};

// The process-wide version record, filled on the first call from uname and /etc/os-release (or
// /usr/lib/os-release). Never fails hard: what cannot be read stays at its default. Any thread;
// the first call blocks on the file read.
const OrvOsVersion& OrvGetOsVersion();

// The Windows product name for a version and product type (workstation = 1) with the suite bits
// and the server-R2 metric, from the fixed table ("Windows 8.1", "WinServer 2003 R2", ...; any
// version the table does not know: "Windows NT %d.%d"). Pure.
COrvStringA OrvWindowsOsName(int nMajor, int nMinor, int nProductType, unsigned nSuiteMask,
                             bool bServerR2);
// The refusal text for a Windows version below 5.0, or empty when the version is enough. Pure.
COrvStringA OrvMinimumWindowsText(int nMajor);
// The text of os-release's PRETTY_NAME (quotes and escapes removed) from the file's contents, or
// empty when there is none. bServer is set when VARIANT_ID or the name says server. Pure.
COrvStringA OrvOsReleaseName(const char* pszText, bool& bServer);
// "IE: " + the value "svcVersion", or else "Version", of Software\Microsoft\Internet Explorer
// under the machine root of the settings store; empty when neither is stored. Blocks.
COrvStringA OrvGetIeVersionText();
