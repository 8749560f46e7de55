// Files and folders: the library's one way to the file system.
//
// Every operation takes portable paths (UTF-8, "/" only; on Linux an absolute path starts with
// "/"), returns true on success and fills a COrvError on failure whose text is a fixed prefix,
// the path concerned, ": " and the system's message ("Cannot write local file /a/b: No space
// left on device (error 28)"). Codes come from the one errno mapping (OrvResultFromErrno). Every
// system call goes through the replaceable table and is retried on EINTR; every descriptor is
// close-on-exec. All operations block; any thread may call them; one OrvFile object is not shared
// between threads without the caller's lock. Path texts (Windows forms, macros, names) are in
// orv-path.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-string.h"
#include "orv-time.h"

// ---- item information ----

// Attribute bits of OrvFileInfo::nAttributes. The Windows bits are kept within kOrvAttrMask; the
// portable bits stand beside them.
constexpr uint32_t kOrvAttrReadOnly = 0x1;
constexpr uint32_t kOrvAttrHidden = 0x2;
constexpr uint32_t kOrvAttrSystem = 0x4;
constexpr uint32_t kOrvAttrArchive = 0x20;
constexpr uint32_t kOrvAttrNormal = 0x80;
constexpr uint32_t kOrvAttrNotIndexed = 0x2000;
constexpr uint32_t kOrvAttrMask = 0x20A7;
constexpr uint32_t kOrvAttrPortableHidden = 0x40000000;
constexpr uint32_t kOrvAttrPortableSystem = 0x20000000;
constexpr uint32_t kOrvAttrPortableReadOnly = 0x10000000;
constexpr uint32_t kOrvAttrSkip = 0x02000000;  // a system item that listings leave out

// What the library knows of one file-system item. Before it is read: size all-ones, times 0.
struct OrvFileInfo {
    unsigned char bIsFolder = 0;  // a folder or a link to a folder
    unsigned char bIsLink = 0;    // a symbolic link
    unsigned char bIsFile = 0;    // a regular file or a link to one
    uint32_t nAttributes = 0;
    // Seconds since 1970. The creation time is the birth time where the file system records one,
    // else the status-change time (ctime), which is the closest Linux offers.
    OrvTime tCreation = 0;
    OrvTime tModification = 0;
    uint64_t nSize = UINT64_MAX;  // 0 for folders
    COrvStringA sName;            // the last part of the path
    COrvStringA sPath;            // the path it was read from
    COrvStringA sLinkTarget;      // filled for links by listing and OrvGetFileInfo
};

// Attributes from a mode (st_mode bits) and a name: read-only (0x1 and 0x10000000) when the
// owner has no write bit, hidden (0x2 and 0x40000000) for a name starting with ".", archive for
// a regular file, normal when no other bit is set; the skip bit for OrvIsSystemItemToSkip paths.
uint32_t OrvAttributesFromMode(unsigned nMode, const char* pszName, const char* pszPath);

// ---- an open file ----

// Permission bits given to OrvFile::OpenWrite count only with this bit set; without it new files
// get 0644 (before the umask).
constexpr unsigned kOrvModeGiven = 0x80000000u;

class OrvFile {
public:
    OrvFile() = default;
    // Closes the file (a failure is not reported).
    ~OrvFile();
    OrvFile(const OrvFile&) = delete;
    OrvFile& operator=(const OrvFile&) = delete;

    // Each open closes a file still held first; a failed open leaves the object closed.
    // Opens an existing file for reading. "cannot open file '" path "' for read: ".
    [[nodiscard]] bool OpenRead(const char* pszPath, COrvError& err);
    // Opens (creating when missing) for reading and writing.
    // "Cannot open for read/write local file ".
    [[nodiscard]] bool OpenReadWrite(const char* pszPath, COrvError& err);
    // Opens for writing: bAppend appends to the file (created when missing), otherwise the file is
    // created or truncated. nMode: permission bits with kOrvModeGiven, else 0644.
    // "Cannot open for write local file ".
    [[nodiscard]] bool OpenWrite(const char* pszPath, bool bAppend, unsigned nMode, COrvError& err);
    // Creates a new file that must not exist yet (O_EXCL, not following a link at the name) with
    // mode nMode. "Cannot open for write local file "; code 20 when the name is taken.
    [[nodiscard]] bool CreateNew(const char* pszPath, unsigned nMode, COrvError& err);
    // Closes the file; true when none was open. "Cannot close file: ".
    [[nodiscard]] bool Close(COrvError& err);
    bool IsOpen() const { return m_fd >= 0; }
    const COrvStringA& GetPath() const { return m_sPath; }
    int GetFd() const { return m_fd; }

    // Writes all nLen bytes (looping over short writes). "Cannot write local file "; a write that
    // makes no progress: "written less than requested for file %s: %d != %d".
    [[nodiscard]] bool Write(const void* pData, size_t nLen, COrvError& err);
    // Reads up to nLen bytes: the count (0 at the end), or -1. "Cannot read local file ".
    [[nodiscard]] long long Read(void* pBuf, size_t nLen, COrvError& err);
    // Size of the open file. "Cannot get size of ".
    [[nodiscard]] bool GetSize(uint64_t& nSize, COrvError& err);
    // Position. "Cannot get position of " / "Cannot set position of ".
    [[nodiscard]] bool GetPosition(uint64_t& nPos, COrvError& err);
    [[nodiscard]] bool SetPosition(uint64_t nPos, COrvError& err);
    // Cuts or extends the file to nLength bytes. "Cannot set file length: ".
    [[nodiscard]] bool SetLength(uint64_t nLength, COrvError& err);
    // Writes the file's data to the disk. "Cannot sync file: ".
    [[nodiscard]] bool Sync(COrvError& err);
    // Record lock of the bytes 0 to nLength - 1 (shared when the file was opened for reading
    // only), never waiting: code 8 when another holder has a conflicting lock. The lock belongs to
    // this object's open file (not to the process): opening and closing the same file elsewhere
    // leaves it in place, and another OrvFile, in this process or another, is refused.
    // "Cannot lock file: " / "Cannot unlock file: ".
    [[nodiscard]] bool LockRange(uint64_t nLength, COrvError& err);
    [[nodiscard]] bool UnlockRange(uint64_t nLength, COrvError& err);
    // Information of the open file. "Cannot get info of ".
    [[nodiscard]] bool GetInfo(OrvFileInfo& info, COrvError& err);

private:
    friend bool OrvCreateTempFile(const char*, const char*, OrvFile&, COrvStringA&, COrvError&);
    // Opens pszName in the folder fdDir (AT_FDCWD: a path); m_sPath becomes pszPath.
    bool Open(int fdDir, const char* pszName, const char* pszPath, int nFlags, unsigned nMode,
              const char* pszPrefix, const char* pszSuffix, COrvError& err);
    int m_fd = -1;
    bool m_bReadOnly = false;
    COrvStringA m_sPath;
};

// A writer with a buffer of its own over an OrvFile: small writes are gathered and reach the file
// in large pieces. Reads and seeks flush first.
class COrvBufferedFile {
public:
    explicit COrvBufferedFile(size_t nBufferSize = 65536);
    // Flushes and closes (failures are not reported: call Close to see them).
    ~COrvBufferedFile();
    COrvBufferedFile(const COrvBufferedFile&) = delete;
    COrvBufferedFile& operator=(const COrvBufferedFile&) = delete;

    // As OrvFile::OpenWrite; the position starts at the end when appending, else at 0.
    [[nodiscard]] bool OpenWrite(const char* pszPath, bool bAppend, unsigned nMode, COrvError& err);
    // Buffers the bytes, writing full buffers through. Fails as OrvFile::Write.
    [[nodiscard]] bool Write(const void* pData, size_t nLen, COrvError& err);
    // Writes the buffered bytes and advances the file position.
    [[nodiscard]] bool Flush(COrvError& err);
    // Flushes, closes and resets position, count and flag; the first failure is reported.
    [[nodiscard]] bool Close(COrvError& err);
    // Position of the next byte written (file position of the buffer + buffered bytes).
    uint64_t GetPosition() const { return m_nFilePos + m_nCount; }
    OrvFile& File() { return m_file; }

private:
    OrvFile m_file;
    unsigned char* m_pBuf = nullptr;
    size_t m_nCap = 0;
    uint64_t m_nFilePos = 0;  // file position of the buffer's first byte
    size_t m_nCount = 0;      // buffered bytes
    long long m_nReadPos = -1;
    bool m_bDirty = false;
};

// ---- whole files ----

// Reads a whole file into bytes (one read into a string sized from the file). "cannot open file
// to read: ", "cannot read file: ".
[[nodiscard]] bool OrvReadWholeFile(const char* pszPath, COrvStringA& sBytes, COrvError& err);
// Receives one piece of a file read by OrvReadFileChunks; false stops the reading.
using OrvChunkFn = bool (*)(void* pCtx, const void* pData, size_t nLen);
// Reads a file from start to end in pieces of up to nChunk bytes through one buffer, handing each
// piece to fn: the way to go through a large file without holding it in memory. Texts as
// OrvReadWholeFile; fn returning false fails with code 13, "cannot read file: " + path +
// ": cancelled".
[[nodiscard]] bool OrvReadFileChunks(const char* pszPath, OrvChunkFn fn, void* pCtx, COrvError& err,
                                     size_t nChunk = size_t{1} << 20);
// Creates or replaces a file with nLen bytes. "Cannot open for write local file ",
// "Cannot write local file ".
[[nodiscard]] bool OrvWriteWholeFile(const char* pszPath, const void* pData, size_t nLen,
                                     COrvError& err);
// Copies a regular file's bytes and mode (in-kernel where the file systems allow it, else in
// blocks of 256 KiB). A link at the destination leads to its target, as the caller named it. Only
// a regular file is read or overwritten (a FIFO or device is refused, never opened to block), and
// never the source itself (same file under another name or through a link): "cannot write file:
// " + to + ": it is the source file itself", with the file untouched. A failed copy removes the
// partial destination. "cannot open file to read: ", "cannot read file: ", "cannot write file: ".
[[nodiscard]] bool OrvCopyFile(const char* pszFrom, const char* pszTo, COrvError& err);
// Size of a file by path. "Cannot open file " / "Cannot get size of ".
[[nodiscard]] bool OrvGetFileSize(const char* pszPath, uint64_t& nSize, COrvError& err);

// ---- items ----

// Information of an item (lstat, then the target's status for a link: a link to a folder has
// bIsFolder and bIsLink; a dangling link has neither bIsFolder nor bIsFile). An item that cannot
// be read: "OrvGetFileInfo: Invalid attributes for " + path + ": " + reason; info is then in its
// not-read state.
[[nodiscard]] bool OrvGetFileInfo(const char* pszPath, OrvFileInfo& info, COrvError& err);
// Sets the modification time, and the creation time when tCreation is not 0 (Linux keeps no
// settable creation time: the request is accepted and only the modification time changes); a
// link itself, not its target. "Cannot OrvSetFileTimes (open): " when the item is missing,
// "Cannot OrvSetFileTimes: " when the change fails.
[[nodiscard]] bool OrvSetFileTimes(const char* pszPath, OrvTime tModification, OrvTime tCreation,
                                   COrvError& err);
// Deletes a file or link; when the system refuses for want of permission, gives the owner write
// access to the item's folder (which is what removing a name needs) for a second try and puts the
// folder's mode back afterwards; other failures are not retried. "Cannot delete file (set attrs):
// " (also when the item is missing), "Cannot delete file (2nd try): ".
[[nodiscard]] bool TvDeleteFile(const char* pszPath, COrvError& err);
// Moves a file (or a link or special item, as itself), replacing an existing target. Across file
// systems it is recreated beside the target under a scratch name with its mode, times and (for
// root) owner, renamed over the target (a link there is replaced, never written through), and the
// source deleted last; a failed copy leaves both ends as they were. When the system refuses for
// want of permission, the owner gets write access to both folders for a second try, and their
// modes are put back afterwards (a failure to change them adds "; SetFileAttributes error: ").
// "Cannot move file " + from + " to " + to + ": ".
[[nodiscard]] bool OrvMoveFile(const char* pszFrom, const char* pszTo, COrvError& err);
// Moves a folder. A destination folder with items in it is put aside, the move made, and only then
// is the old destination deleted (a failed move puts it back); any other refusal (access denied, a
// file in the way) fails with both ends untouched. Across file systems the tree is copied into a
// scratch folder beside the destination (modes, times, links, FIFOs and device nodes as they are,
// owners too for root), renamed into place, and the source tree deleted; a failed copy leaves
// both ends as they were. "Cannot move folder " + from + " to " + to + ": ".
[[nodiscard]] bool OrvMoveFolder(const char* pszFrom, const char* pszTo, COrvError& err);
// Creates a folder and its missing parents with mode nMode (0777 before the umask when 0); true
// when it exists already. "Cannot create folder because Root folder does not exist: ",
// "Cannot create folder because its place is taken by a file with the same name: ",
// "Can not create folder ".
[[nodiscard]] bool OrvCreateFolder(const char* pszPath, unsigned nMode, COrvError& err);
// Lists a folder's items (without "." and ".."; system items to skip are left out) into aItems,
// optionally only names matching pszMask (shell wildcards * and ?; null or "*.*": all). Links are
// reported as links and never followed for listing. "TvListDirFiles: " + folder + ": ".
[[nodiscard]] bool TvListDirFiles(const char* pszFolder, COrvArray<OrvFileInfo>& aItems,
                                  COrvError& err, const char* pszMask = nullptr);
// Deletes a folder's files and sub-folders and, with bDeleteSelf, the folder itself; logs
// "TvRecursiveDeleteFolder: deleted " + path per item and the failures. A link (to a folder or
// not) is removed, never followed: what it points to stays. The tree is walked by descriptor, so a
// folder swapped for a link during the walk is never entered, and trees deeper than a path can
// name are deleted too. Goes on after a failure; false when
// anything could not be deleted (the first failure in err).
[[nodiscard]] bool TvRecursiveDeleteFolder(const char* pszFolder, bool bDeleteSelf, COrvError& err);
// The same, reporting one line per item into aReport: "Deleted file: ", "Deleted folder: ",
// "Deleted Unresolved Link: " + path, or "Cannot delete file '%s': %s",
// "Cannot delete folder '%s': %s", "Cannot Delete Unresolved Link %s: %s",
// "Cannot list folder '%s': %s".
[[nodiscard]] bool TvRecursiveDeleteFolderReport(const char* pszFolder, bool bDeleteSelf,
                                                 COrvArray<COrvStringA>& aReport, COrvError& err);
// Copies the files and sub-folders of a folder into another (created when missing; existing
// folders are merged into, existing regular files overwritten). Links are copied as links; nothing
// is written through a link in the destination (a link where a folder or file goes is refused).
// FIFOs, sockets and device nodes are made anew, or left out with the reason in the log when the
// system refuses (devices need root); they are never opened. A folder is not copied onto or into
// itself. "TvCopyFolder: list source files: ", "TvCopyFolder: making dest folder: ",
// "TvCopyFolder: copy file: ".
[[nodiscard]] bool TvCopyFolder(const char* pszFrom, const char* pszTo, COrvError& err);

// ---- links ----

// The target of a symbolic link as stored. "Cannot open link: " + path + ": ".
[[nodiscard]] bool OrvReadLink(const char* pszPath, COrvStringA& sTarget, COrvError& err);
// Creates a symbolic link at pszLink pointing to pszTarget. bJunction asks for a junction: on
// Linux a symbolic link to a folder, so the target must be an existing folder ("Cannot open
// link: " otherwise). "Cannot create symlink: " + link + ": ".
[[nodiscard]] bool OrvCreateLink(const char* pszLink, const char* pszTarget, bool bJunction,
                                 COrvError& err);

// ---- temporary files ----

// The user's temporary folder: $TMPDIR when set to an absolute path (created with parents when
// missing), else /tmp/orv-<uid>, which is created with mode 0700 and, on every call, refused when
// another user owns it or it is not a real folder (and closed to others again when it was opened
// up). Under g_temp_folder_lock.
// "cannot get temp folder: ", "cannot create temp folder: ".
[[nodiscard]] bool OrvGetTempFolder(COrvStringA& sFolder, COrvError& err);
// A temporary-file path: folder (null: the temporary folder) + "/" + prefix (null: "tvt") + "_" +
// process id + "_" + counter + ".tmp". The name is predictable: create the file with
// OrvCreateTempFile, not with an ordinary open.
[[nodiscard]] bool OrvGetTempFilePath(const char* pszFolder, const char* pszPrefix,
                                      COrvStringA& sPath, COrvError& err);
// Creates a new temporary file (O_EXCL, mode 0600, never through a link) under the next free
// temporary-file path and opens it for writing; sPath receives its path.
[[nodiscard]] bool OrvCreateTempFile(const char* pszFolder, const char* pszPrefix, OrvFile& file,
                                     COrvStringA& sPath, COrvError& err);

// ---- desktop ----

// $COMPUTERNAME when set, else the host name, else "-UnknownComputer-".
COrvStringA OrvGetComputerName();
// Writes sText (line ends made "\n") to pszPath and opens it with the desktop's handler
// (xdg-open, found through PATH), waiting for the handler to hand it on. A relative path is handed
// on as "./" + path, so that a name starting with "-" is never taken for an option.
// "Cannot open text file: " + path + ": " + reason.
[[nodiscard]] bool OrvOpenTextInEditor(const char* pszPath, const char* pszText, COrvError& err);

// ---- disk space ----

// The disk that OrvCheckDiskSpace looks at; "/" until set. Any thread.
void OrvSetSystemDiskPath(const char* pszPath);
COrvStringA OrvGetSystemDiskPath();
// Checks the system disk's free space. Low when (available * 20 < total, or available below
// 100 MiB) and available below 5 GiB: bLow is set and sMessage holds
// "System disk (%s) space is way too low: %lld Mbytes". With bLog the sizes ("Disk of %s:
// avail=... free=... total=...") and the message go to g_orv_log. False (bLow clear) when the
// query fails ("Disk of %s: free space error=%s" logged).
bool OrvCheckDiskSpace(bool bLog, bool& bLow, COrvStringA& sMessage);
