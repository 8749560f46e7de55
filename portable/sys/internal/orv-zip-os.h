// Internals of the zip writer shared by its files and tests: the target, the entry record, the
// traditional cipher and the two-step addition (prepare, then write) that folder zipping runs on
// two threads.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-file.h"
#include "orv-string.h"
#include "orv-time.h"
#include "orv-zip.h"

struct libdeflate_compressor;

// Files up to this size are read and compressed whole (libdeflate); larger ones are streamed
// through zlib.
constexpr uint64_t kOrvZipWholeLimit = uint64_t{32} << 20;

// Sizes and offsets from this value on are written in Zip64 fields (the format's 32-bit limit);
// tests lower it to see the Zip64 layout on small archives.
extern uint64_t g_nOrvZip64Limit;

// What the central directory needs of a written entry.
struct OrvZipEntryRecord {
    COrvStringA sName;
    uint32_t nFlags = 0;
    uint32_t nMethod = 0;
    uint32_t nDosTime = 0;  // date << 16 | time
    uint32_t nCrc = 0;
    uint64_t nCompressed = 0;  // with the encryption header
    uint64_t nSize = 0;
    uint64_t nOffset = 0;  // of the local header
    uint32_t nExternal = 0;
    uint32_t nMTime = 0;
    uint32_t nATime = 0;
    uint32_t nCTime = 0;
    bool bZip64Local = false;  // the local header has a Zip64 field; the descriptor 64-bit sizes
};

// An entry ready to be written: its record and, for data held in memory, the bytes and their
// deflated form.
struct OrvZipPrepared {
    OrvZipPrepared() = default;
    ~OrvZipPrepared();
    OrvZipPrepared(const OrvZipPrepared&) = delete;
    OrvZipPrepared& operator=(const OrvZipPrepared&) = delete;

    OrvZipEntryRecord rec;
    bool bWhole = false;  // data in memory (else streamed from the open file)
    bool bSelf = false;   // the source is the archive being written
    const unsigned char* pData = nullptr;
    size_t nData = 0;
    unsigned char* pOwned = nullptr;  // the file's bytes when read here
    unsigned char* pOut = nullptr;    // deflated bytes
    uint64_t nFileSize = 0;
    COrvError err;  // why the preparation failed
};

// The archive's target: a file written through a buffer, or a memory block of fixed size.
class COrvZipSink {
public:
    COrvZipSink() = default;
    ~COrvZipSink();
    COrvZipSink(const COrvZipSink&) = delete;
    COrvZipSink& operator=(const COrvZipSink&) = delete;

    [[nodiscard]] bool OpenFile(const char* pszPath, COrvError& err);
    // pBuffer null: an anonymous mapping of nSize bytes. False when it cannot be made.
    [[nodiscard]] bool OpenMemory(void* pBuffer, size_t nSize);
    // kOrvZipOk, kOrvZipWrite (err filled) or kOrvZipMemSize (nothing written past the end).
    uint32_t Write(const void* pData, size_t nLen, COrvError& err);
    // Forgets everything written from nPos on (a failed entry).
    void Rewind(uint64_t nPos);
    // Writes what is buffered and cuts the file after the last byte written.
    uint32_t Finish(COrvError& err);
    // Closes the file (a memory block stays until the destructor). False when the close fails.
    [[nodiscard]] bool Close(COrvError& err);
    uint64_t Pos() const { return m_nPos; }
    bool IsMemory() const { return m_pMem != nullptr; }
    unsigned char* Memory() const { return m_pMem; }
    int Fd() const { return m_file.GetFd(); }

private:
    static constexpr size_t kBufSize = size_t{1} << 20;
    uint32_t Flush(COrvError& err);
    OrvFile m_file;
    unsigned char* m_pBuf = nullptr;
    size_t m_nCount = 0;
    unsigned char* m_pMem = nullptr;
    size_t m_nCap = 0;
    bool m_bMapped = false;
    bool m_bCut = false;
    uint64_t m_nPos = 0;
};

// The traditional zip cipher (three 32-bit keys updated per byte).
class COrvZipCrypt {
public:
    void Init(const char* pszPassword);
    void Encrypt(unsigned char* p, size_t n);
    void Decrypt(unsigned char* p, size_t n);

private:
    void Update(unsigned char c);
    uint32_t m_k0 = 0, m_k1 = 0, m_k2 = 0;
};

// Fills n bytes from the kernel's random generator. False (errno set) when it fails.
[[nodiscard]] bool OrvZipRandomBytes(void* p, size_t n);
// A time as DOS date << 16 | time in local time, clamped to 1980-01-01 ... 2107-12-31.
uint32_t OrvZipDosTime(OrvTime t);
// The message of a result code (kOrvZipLastResult: the last result).
const char* OrvZipResultMessage(uint32_t nCode);

// A libdeflate compressor at the writer's level (null when memory runs out) and its release.
struct libdeflate_compressor* OrvZipCompressor();
void OrvZipFreeCompressor(struct libdeflate_compressor* p);
// Name, method and flags of a record.
void OrvZipFillRecord(OrvZipEntryRecord& e, const char* pszName, bool bFolder, bool bEncrypt);
void OrvZipSetTimes(OrvZipEntryRecord& e, OrvTime tMod, OrvTime tAccess, OrvTime tCreate);
// A folder's record with its times and DOS bits.
void OrvZipFolderRecord(OrvZipEntryRecord& e, const char* pszName, OrvTime tMod, OrvTime tAccess,
                        OrvTime tCreate, uint32_t nDos);
// Step one of adding a file, which may run on any thread (it only reads the handle): opens the
// file, fills the record and, for a file up to kOrvZipWholeLimit, reads and deflates it with
// pComp. A result code; prep.err tells why it failed.
uint32_t OrvZipPrepareFile(const COrvZip* h, const char* pszName, const char* pszPath,
                           OrvZipPrepared& prep, OrvFile& file,
                           struct libdeflate_compressor* pComp);
// Step two, on the handle's thread: writes the prepared entry (streaming the file when it was not
// read whole) or records nPrepResult as the failure. Stores the last result.
uint32_t OrvZipAddReady(COrvZip* h, OrvZipPrepared& prep, OrvFile& file, uint32_t nPrepResult);
// Writes a record (a folder when prep holds no data). Stores the last result.
uint32_t OrvZipAddRecord(COrvZip* h, OrvZipPrepared& prep);

// Extracts the archive open on fdArchive (named pszLabel in texts) as OrvUnzipToFolder does.
[[nodiscard]] bool OrvUnzipFromFd(int fdArchive, const char* pszLabel, const char* pszTarget,
                                  COrvError& err, const char* pszPassword);
// OrvZipClose that also hands out the reason of a failed close (when pErr is given).
uint32_t OrvZipCloseKeep(COrvZip* hZip, COrvError* pErr);
