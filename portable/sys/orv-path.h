// Path texts: the portable path convention, the Windows path forms, URL forms, file-name checks,
// folder macros and portable volume paths.
//
// A portable path is UTF-8 with "/" only; a folder path carries no trailing "/". Everything here
// works on text alone (no file-system access) except OrvExpandPathMacros and
// OrvResolvePortablePath, which read the process's macro table, environment, clock and mounts.
// All functions may be called from any thread; none blocks except the first use of the macro
// table (which reads a few small files).
#pragma once

#include <time.h>

#include "orv-error.h"
#include "orv-string.h"

// ---- slashes ----

// "/" to "\\". With bEnforce, a path that already holds "\\" is reported as the soft assertion
// "!bEnforce || sPathA.Find('\\\\') < 0" (wide: "... sPath.Find ...") and converted anyway.
COrvStringA OrvToWindowsSlashesA(const COrvStringA& sPathA, bool bEnforce = true);
COrvStringW OrvToWindowsSlashesW(const COrvStringW& sPath, bool bEnforce = true);
// The same, always checking: "sPathA.Find('\\\\') < 0" / "sPath.Find('\\\\') < 0".
COrvStringA OrvToWindowsSlashesStrictA(const COrvStringA& sPathA);
COrvStringW OrvToWindowsSlashesStrictW(const COrvStringW& sPath);
// "\\" to "/". With bEnforce any replacement is a programming error, reported as the hard
// assertion "!bEnforce || nRepl==0"; the converted path is returned either way.
COrvStringA OrvToPortableSlashesA(const COrvStringA& sPathA, bool bEnforce = false);
COrvStringW OrvToPortableSlashesW(const COrvStringW& sPath, bool bEnforce = false);
// "\\" to "/", then (for paths of three or more characters) every run of "/" after the first
// character becomes one "/", so that the leading "//" of a share survives:
// "//srv//a///b" gives "//srv/a/b".
COrvStringA OrvCollapseSlashes(const COrvStringA& sPathA);

// The Windows long-path form of a portable path: UTF-16 with "\\", and "\\\\?\\" in front of a
// drive path ("c:/a" gives "\\\\?\\c:\\a", "c:" gives "\\\\?\\c:\\"), "\\\\?\\UNC" + the path
// without its first character for a share ("//srv/sh/x" gives "\\\\?\\UNC\\srv\\sh\\x"); a path
// already in that form stays. Anything else fails with "not absolute file path: " + path and
// code 6 (sOut empty); so does text that is not UTF-8.
[[nodiscard]] bool OrvToLongPathW(const char* pszPath, COrvStringW& sOut, COrvError& err);

// ---- URL forms ----

// "file:///" + path.
COrvStringA OrvPathToFileUrl(const COrvStringA& sPath);
// "file:///x" gives "x", "smb://x" gives "//x" (prefixes compared case-sensitively), anything
// else the empty string.
COrvStringA OrvFileUrlToPath(const COrvStringA& sUrl);
// Backslashes to slashes, and "/" in front unless the path starts with "//".
COrvStringA OrvFolderUrl(const COrvStringA& sPath);

// ---- file names ----

// The 13 characters no file name may hold: "\\/:*?\"<>|\r\n\t".
extern const char kOrvForbiddenNameChars[];
// True for a non-empty name without a leading space, without a trailing "." or space and without
// a forbidden character.
bool OrvIsValidFileName(const char* pszName);
// Makes a file name of arbitrary text: each forbidden character becomes "_", "__" is replaced by
// "_" three times, white space is trimmed at both ends and trailing "." and " " are cut. False
// (sOut empty) when the result is empty, starts with "." or still holds a forbidden character;
// otherwise sOut holds it cut to nMaxUtf8Length bytes without splitting a UTF-8 character.
// nMaxUtf8Length must be positive (soft assertion "nMaxUtf8Length>0"; the name is not cut then).
[[nodiscard]] bool OrvMakeValidFileName(const char* pszName, int nMaxUtf8Length, COrvStringA& sOut);
// The same without the character replacement: a forbidden character makes it fail.
[[nodiscard]] bool OrvMakeValidFolderName(const char* pszName, int nMaxUtf8Length,
                                          COrvStringA& sOut);
// True for the items that file listings skip: directly in a drive root ("X:/" + name) and named
// "$recycle.bin", "RECYCLER", "#recycle", "System Volume Information" or "pagefile.sys" (case
// ignored).
bool OrvIsSystemItemToSkip(const char* pszPath);
// The %TVDISK% of a program path in Windows form (portable slashes): "X:" for a drive path,
// "//server/share" for a share, empty when the path starts with "~" or has no second "/".
COrvStringA OrvDiskOfWindowsPath(const COrvStringA& sPath);

// ---- macros ----

// One entry of the folder-macro table: the macro with its "%" signs, and its folder (empty when
// the system has none).
struct OrvPathMacro {
    COrvStringA sMacro;
    COrvStringA sFolder;
};
// Reads an environment variable: its value, or null when it is not set.
using OrvGetEnvFn = const char* (*)(const char* pszName);

// Our own expansion of environment references: each "%NAME%" whose variable is set becomes its
// value; an unset (or empty-named) reference is left as it stands and scanning goes on at its
// closing "%". pfnGetEnv null: the process environment. False only when memory runs out.
[[nodiscard]] bool OrvExpandEnvironment(const char* psz, COrvStringA& sOut,
                                        OrvGetEnvFn pfnGetEnv = nullptr);
// Replaces "%YYYY%", "%MM%", "%DD%", "%DOW%" (0 = Sunday), "%WOM%" ((day - 1) / 7 + 1), "%HH%"
// and "%II%" (minute) by the fields of *pTm. Null pTm (a time that could not be broken down):
// year, month and day 0, day of week, hour and minute -1, week of month 1.
void OrvExpandDateMacros(COrvStringA& sPath, const struct tm* pTm);
// The three steps of macro expansion with everything supplied: the first "%...%" of the path is
// looked up in the table and, when found with a folder, every occurrence of it is replaced (and
// reported through psMacro / psFolder when both are given); then environment references; then
// the date macros of *pTm. False (sPath unchanged) only when memory runs out.
[[nodiscard]] bool OrvExpandPathMacrosWith(COrvStringA& sPath, const OrvPathMacro* pTable,
                                           int nTable, OrvGetEnvFn pfnGetEnv, const struct tm* pTm,
                                           COrvStringA* psMacro, COrvStringA* psFolder);
// The process's macro table, built on first use (thread-safe): %TVDISK% (the mount point of the
// program's folder) and the XDG folders (see orv-path.cpp for the list). Valid for the process's
// life.
const OrvPathMacro* OrvPathMacroTable(int* pnCount);
// Expands sPath in place with the process's table, environment and current local time. psMacro
// and psFolder (both or neither) receive the first macro found and its folder; they stay
// unchanged when none was found. False only when memory runs out (err filled, sPath unchanged).
[[nodiscard]] bool OrvExpandPathMacros(COrvStringA& sPath, COrvStringA* psMacro,
                                       COrvStringA* psFolder, COrvError& err);
// The folder of a macro from the table ("%APPDATA%"); empty when it is not in the table.
COrvStringA OrvGetMacroFolder(const char* pszMacro);

// Parses the text of an XDG user-dirs file for one key ("XDG_DESKTOP_DIR"): the quoted value with
// a leading "$HOME" replaced by sHome. Empty when the key is missing or its value is not of the
// form "$HOME/..." or "/...".
COrvStringA OrvParseUserDirs(const char* pszText, const char* pszKey, const COrvStringA& sHome);

// ---- portable volume paths ----

// One mounted, labelled volume.
struct OrvVolume {
    COrvStringA sLabel;
    COrvStringA sMountPoint;
};
// Resolves "=LABEL:rest" against the given volumes: the mount point of the one volume whose label
// equals LABEL (ASCII case ignored) + rest. A path not starting with "=" is returned unchanged.
// Failures (sOut empty): "bad portable path: " + path when the first ":" stands before index 2;
// "Two Portable volumes have the same name: %s on %s and %s on %s. Please give them different
// names"; "portable volume not found: " + LABEL (code 17).
[[nodiscard]] bool OrvResolvePortablePathWith(const char* pszPath, const OrvVolume* pVolumes,
                                              int nVolumes, COrvStringA& sOut, COrvError& err);
// The same with the volumes mounted now (labels from /dev/disk/by-label, mount points from
// /proc/self/mountinfo). Blocks briefly.
[[nodiscard]] bool OrvResolvePortablePath(const char* pszPath, COrvStringA& sOut, COrvError& err);
// Mount points of /proc/self/mountinfo text by device: calls fn(pCtx, major, minor, mount point)
// for each line that parses, with "\\040"-style escapes of the mount point decoded.
using OrvMountFn = void (*)(void* pCtx, unsigned nMajor, unsigned nMinor,
                            const COrvStringA& sMountPoint);
void OrvForEachMount(const char* pszMountInfo, OrvMountFn fn, void* pCtx);
// Decodes the escapes of mount and label texts: "\\040" (octal) and "\\x20" (hexadecimal).
COrvStringA OrvDecodeMountEscapes(const char* psz, int nLen);
