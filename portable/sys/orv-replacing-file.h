// Writing a file anew so that a failure never costs the old one: the text goes to a temporary file
// beside the target, which replaces the target only once every byte is written and on the disk.
#pragma once

#include <cstddef>

#include "orv-error.h"
#include "orv-string.h"

// One replacement of one file. Open, Write any number of times, then Commit; an object destroyed
// without a successful Commit removes its temporary file and leaves the target as it was.
//
// A regular file (or a link to one) is replaced by a new file with the old one's mode (and owner,
// where the program may set it); the link stays a link. A path to something that is not a regular
// file (a device such as /dev/null, a pipe, a link that leads nowhere) is written directly, as
// there is nothing a temporary file could take the place of; so is a file the user may write in a
// folder where they may not create the temporary file.
//
// Error texts name the path as given and end with the system's reason:
// "Cannot open file PATH: Permission denied", "Error writing to file PATH: No space left on
// device". The system calls go through the replaceable table of posix/orv-sys.h (open, write,
// fsync, rename, close). Not thread-safe; one thread at a time.
class COrvReplacingFile {
public:
    COrvReplacingFile() = default;
    ~COrvReplacingFile();
    COrvReplacingFile(const COrvReplacingFile&) = delete;
    COrvReplacingFile& operator=(const COrvReplacingFile&) = delete;

    // Prepares the replacement of the file at the UTF-8 path: creates the temporary file (new,
    // exclusive, readable by the owner only until Commit). False with "Cannot open file PATH: ..."
    // in err (with the code of the errno value) when the target cannot be written (a folder, a file
    // the user may not write, a folder that does not exist ...); nothing is created then.
    // A file that did not exist is created with nNewMode less the umask.
    [[nodiscard]] bool Open(const char* pszPath, COrvError& err, unsigned nNewMode = 0666);
    // Appends nLen bytes. False with "Error writing to file PATH: ..." (the disk is full ...); the
    // target is untouched and the temporary file removed.
    [[nodiscard]] bool Write(const void* pData, size_t nLen, COrvError& err);
    // Gives the new file the old one's mode, flushes it to the disk and puts it in the target's
    // place in one step. False with "Error writing to file PATH: ..." when any of that fails; the
    // target is then as it was and the temporary file removed.
    [[nodiscard]] bool Commit(COrvError& err);

private:
    bool Fail(const char* pszPrefix, int nErrno, COrvError& err);
    void Discard();

    COrvStringA m_strPath;    // the path as the caller gave it (for the messages)
    COrvStringA m_strTarget;  // the file that is replaced (a link's target)
    COrvStringA m_strTemp;    // the temporary file; empty when writing directly
    int m_fd = -1;
    bool m_bHadOld = false;  // the target existed: its mode and owner carry over
    unsigned m_nOldMode = 0;
    unsigned m_nOldUid = 0;
    unsigned m_nOldGid = 0;
};

// Replaces the file at the UTF-8 path with nLen bytes from pData in one step, as
// COrvReplacingFile does: a reader, or a crash at any moment, sees the old file whole or the new
// one whole. False with the texts of COrvReplacingFile in err; the old file is then untouched.
[[nodiscard]] bool OrvReplaceFileContents(const char* pszPath, const void* pData, size_t nLen,
                                          COrvError& err, unsigned nNewMode = 0666);
// True when pszEntry, a name in the target's folder, is a temporary file that a replacement of the
// file named pszName made (one whose writer was killed before it finished leaves it behind).
bool OrvIsReplacementTemp(const char* pszEntry, const char* pszName);
