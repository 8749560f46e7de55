// Zip archives: the library's own writer (to a file or to memory), zipping a folder tree, and
// extracting an archive into a folder.
//
// The writer makes standard zip archives of a fixed layout. Each entry has a local header with the
// data-descriptor flag (0x0008) and a 17-byte "UT" extra field (modification, access and creation
// times), its data (stored for already-compressed extensions and folders, raw deflate otherwise)
// and a data descriptor; the central directory gives each entry a 9-byte "UT" field and "version
// made by" 0x0B17, then the end record. External attributes carry the DOS bits in the low byte
// and a Unix mode in the high 16 bits. Zip64 records are written only where a size or offset
// reaches 4 GiB or the entry count 65,535, so every smaller archive keeps this exact layout. Names
// outside ASCII are flagged as UTF-8 (bit 11).
//
// Passwords use the traditional zip encryption (flag 0x0001, a 12-byte encryption header per
// entry). It is weak (known-plaintext attacks recover the keys quickly) and is kept only so that
// the archives open in every common tool; do not rely on it to keep data secret. The header's
// random bytes come from the kernel's generator (getrandom), as strong as the library's other
// cryptographic random source. Folders never get the encryption bit: they carry no data.
//
// Writer calls return a result code (kOrvZip...) and store it as the process-wide last result;
// after a failure further additions give kOrvZipPreviousError, after the end kOrvZipEnded, and the
// archive can still be closed (its central directory lists the entries completed before the
// failure, so it stays readable). One handle belongs to one thread at a time; different handles
// are independent. All calls block on file I/O.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "orv-error.h"
#include "orv-string.h"

// Result codes of the writer.
constexpr uint32_t kOrvZipOk = 0x00000000;
constexpr uint32_t kOrvZipNoDuplicate = 0x00000100;
constexpr uint32_t kOrvZipNoFile = 0x00000200;
constexpr uint32_t kOrvZipNoAlloc = 0x00000300;
constexpr uint32_t kOrvZipWrite = 0x00000400;
constexpr uint32_t kOrvZipNotFound = 0x00000500;
constexpr uint32_t kOrvZipMore = 0x00000600;
constexpr uint32_t kOrvZipCorrupt = 0x00000700;
constexpr uint32_t kOrvZipRead = 0x00000800;
constexpr uint32_t kOrvZipArgs = 0x00010000;
constexpr uint32_t kOrvZipNotMemory = 0x00020000;
constexpr uint32_t kOrvZipMemSize = 0x00030000;
constexpr uint32_t kOrvZipPreviousError = 0x00040000;
constexpr uint32_t kOrvZipEnded = 0x00050000;
constexpr uint32_t kOrvZipMissize = 0x00060000;
constexpr uint32_t kOrvZipPartialUnzip = 0x00070000;
constexpr uint32_t kOrvZipMixed = 0x00080000;
constexpr uint32_t kOrvZipNotInitialised = 0x01000000;
constexpr uint32_t kOrvZipSeek = 0x02000000;
constexpr uint32_t kOrvZipNoChange = 0x04000000;
constexpr uint32_t kOrvZipFlate = 0x05000000;
// Given to OrvZipResultText: the result of the last writer call.
constexpr uint32_t kOrvZipLastResult = 1;

// An archive being written. Opaque: made by OrvZipCreateFile / OrvZipCreateMemory, released by
// OrvZipClose.
class COrvZip;

// Creates (or truncates) the archive file pszPath. Null on failure, with the last result
// kOrvZipNoFile (or kOrvZipArgs for a null path); OrvZipLastError then tells why. pszPassword
// (copied) encrypts every file entry; null or "" for none.
COrvZip* OrvZipCreateFile(const char* pszPath, const char* pszPassword);
// An archive in memory of at most nSize bytes: in pBuffer (the caller's, which must stay valid
// until the close) or, when pBuffer is null, in an anonymous mapping of nSize bytes made here and
// released by the close. nSize 0 gives null and kOrvZipMemSize; a failed mapping kOrvZipNoAlloc.
// Nothing is ever written past nSize: an archive that does not fit fails with kOrvZipMemSize.
COrvZip* OrvZipCreateMemory(void* pBuffer, size_t nSize, const char* pszPassword);
// This writer only creates archives: opening an existing one through a handle is refused (null,
// last result kOrvZipMixed).
COrvZip* OrvZipOpenFile(const char* pszPath, const char* pszPassword);

// Adds the file pszPath as the entry pszName (backslashes become "/"), with its attributes and
// times. kOrvZipNoFile when it cannot be opened or is not a regular file, kOrvZipRead when reading
// fails, kOrvZipWrite when the target refuses, kOrvZipMemSize when a memory archive is full. A
// failed entry is left out of the archive.
uint32_t OrvZipAddFile(COrvZip* hZip, const char* pszName, const char* pszPath);
// Adds nLen bytes as the entry pszName, with the current time (pData may be null when nLen is 0).
uint32_t OrvZipAddData(COrvZip* hZip, const char* pszName, const void* pData, size_t nLen);
// Adds a folder entry ("/" is appended to the name when it lacks one), with the current time.
uint32_t OrvZipAddFolder(COrvZip* hZip, const char* pszName);
// Ends a memory archive (when not ended yet) and hands out its block: *ppData and *pnLen are the
// archive's bytes, valid until OrvZipClose. A file archive gives kOrvZipNotMemory; the outputs are
// null and 0 on any failure.
uint32_t OrvZipGetMemory(COrvZip* hZip, void** ppData, size_t* pnLen);
// Ends the archive (central directory and end record) unless already ended, releases the target
// and the handle (also after a failure). Null: kOrvZipArgs.
uint32_t OrvZipClose(COrvZip* hZip);
// The last failure's code and system text of a handle (empty when none).
const COrvError& OrvZipLastError(const COrvZip* hZip);
// The result of the last writer call in this process (any thread).
uint32_t OrvZipLastResult();
// Copies the message of a result code (kOrvZipLastResult: the last result) into pszBuf, cut to
// nSize - 1 characters and terminated, when pszBuf is given and nSize > 0; returns the full length
// of the message. Unknown codes give "unknown zip result code".
size_t OrvZipResultText(uint32_t nCode, char* pszBuf, size_t nSize);

// Zips the folder tree pszFolder into a new archive pszZipPath: every file and sub-folder becomes
// an entry named by its path below pszFolder ("sub/file.txt"). A link to a file is stored as that
// file's content; a link to a folder becomes an empty folder entry (its tree is not entered, so a
// link cannot make the walk loop or leave the tree). Up to two entries are compressed at a time.
// Failures: "Can not create zip file" (code 6) when the archive cannot be created; "Can not create
// zip file: " + the writer's message (+ ": " + the reason) when an item cannot be read or
// written, or the close fails. The partial archive is removed on failure.
[[nodiscard]] bool OrvZipFolder(const char* pszFolder, const char* pszZipPath, COrvError& err);
void OrvZipFolder(const char* pszFolder, const char* pszZipPath, int* pnCode, COrvStringA* psError);

// Extracts every entry of pszZipPath below the folder pszTarget, which must exist ("Cannot unzip,
// target is not a folder: " + path). pszPassword (may be null) opens encrypted entries.
//
// Entries: a name ending in "/" makes a folder (0755); a symbolic-link entry makes a link to the
// target stored as its data (at most 2048 bytes); any other entry makes its parent folders and the
// file, whose mode comes from the archive without setuid, setgid, sticky and world-write bits and
// with execute bits only where the archive gives them (0644 when it gives no mode); an existing
// file of the same name is replaced. Times come from the entry's "UT" field when present, else
// from its DOS date and time read as local time.
//
// Nothing is ever written outside pszTarget: every step is taken relative to an open descriptor of
// the folder above it and never through a symbolic link (neither one the archive made nor one that
// was there before). Refused, each with a text that names the entry: a name that is absolute,
// holds a drive letter, a backslash or a ".." part; a link whose target is absolute or leaves the
// target folder; a second entry of a name already extracted from this archive; an entry whose
// path runs through a link.
//
// Extraction stops at the first failure and returns false: an unsafe entry, a damaged archive
// ("Cannot open zip file: " + path; "Unzip error %d" + the entry and the reason for a CRC or size
// mismatch, bad data or a truncated archive), a wrong password, or a write failure such as a full
// disk (the system's reason and code). Entries extracted before the failure stay on disk; the file
// that was being written when it failed is removed; later entries are not extracted.
[[nodiscard]] bool OrvUnzipToFolder(const char* pszZipPath, const char* pszTarget, COrvError& err,
                                    const char* pszPassword = nullptr);
void OrvUnzipToFolder(const char* pszZipPath, const char* pszTarget, int* pnCode,
                      COrvStringA* psError, const char* pszPassword = nullptr);
