// The commands the user has run, kept across runs of the program in a small file, and the walk
// through them with Up and Down in the command field.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orv-error.h"

class CHistoryWorker;

// Entries are UTF-8 commands, oldest first, never the same twice in a row. The file holds one
// entry a line, with backslash, CR and LF written as \\, \r and \n, at most kMaxEntries entries
// and kMaxFileBytes bytes (the oldest entries go first); an entry longer than kMaxEntryBytes
// (written form) is kept out of the file whole, never cut. The file is replaced as a whole
// (through a temporary file beside it, so a crash never leaves half of it) under an exclusive
// flock on "history.lock" beside it, so that instances adding at the same moment keep each
// other's entries. A history file that is a symbolic link or anything else but a regular file is
// replaced by a regular file of our own (with a notice in the log); nothing is read or written
// through it.
//
// Every read and write of the file runs on a thread of the history's own, in the order asked
// for: the owner's thread (the UI thread) never waits for the disk or the lock. The entries the
// owner walks are its own copy: an added command is in it at once, and what the file holds (other
// instances' commands included) replaces it whenever no walk is under way.
class CCommandHistory {
public:
    static constexpr size_t kMaxEntries = 1000;
    static constexpr size_t kMaxEntryBytes = 64 * 1024;
    static constexpr size_t kMaxFileBytes = 1024 * 1024;
    // How long a write waits for another instance's lock before it gives up (the entry is then
    // not saved, the reason kept in LastError).
    static constexpr unsigned kLockTimeoutMs = 5000;

    // The history file: $XDG_STATE_HOME/vexil/history, or $HOME/.local/state/vexil/history when
    // XDG_STATE_HOME is unset, empty or not an absolute path. Empty when HOME is not known either.
    static std::string DefaultPath();

    // A history kept in the file at the path (empty: in memory only); starts reading the file.
    // A file that is missing or unreadable gives an empty history; of a file larger than
    // kMaxFileBytes only the entries in its last kMaxFileBytes are read.
    explicit CCommandHistory(std::string strPath);
    // Finishes the writes asked for (each waits for the lock at most kLockTimeoutMs), then stops
    // the history's thread.
    ~CCommandHistory();
    CCommandHistory(const CCommandHistory&) = delete;
    CCommandHistory& operator=(const CCommandHistory&) = delete;

    // Adds a command that was run: at once to the entries walked (unless it equals the newest),
    // and to the file on the history's thread, merged with what the file holds by then. A
    // command too long for the file stays in the entries walked until the next command is added.
    // Ends a walk. Never blocks on the disk.
    void Add(const std::string& strCommand);

    // One step of a walk: Older gives the entry before the one shown (the newest at first, when
    // strShown is kept as the text being typed), Newer the one after it, and after the newest
    // the text that was being typed. False (strOut untouched) when there is no step to take.
    bool Older(const std::string& strShown, std::string& strOut);
    bool Newer(std::string& strOut);
    // Starts the next walk at the newest entry again.
    void ResetWalk();

    // The entries walked, brought up to date with the file's as far as it has been read (unless
    // a walk is under way).
    const std::vector<std::string>& Entries();

    // Waits until the history's thread has done everything asked for so far; false when nMs
    // passed first.
    bool WaitIdle(int nMs);
    // The reason the last read or write failed; no failure (Code 0) after a good one.
    COrvError LastError() const;

private:
    friend class CHistoryWorker;

    // Takes in the file's entries from the history's thread when they are newer than the ones
    // walked and no walk is under way.
    void Sync();

    std::string m_strPath;
    std::vector<std::string> m_entries;
    size_t m_nPos = 0;  // entry shown while walking; m_entries.size() when none
    std::string m_strDraft;
    // The newest command added here when it was too long for the file: kept in the entries walked
    // after each merge with the file, until another command is added.
    std::string m_strUnsaved;

    // Shared with the history's thread, under m_lock.
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::string> m_queue;  // commands to add to the file, oldest first
    bool m_bBusy = true;              // the thread has work (the first read at the start)
    bool m_bQuit = false;
    std::vector<std::string> m_fileEntries;  // what the file held after the last read or write
    uint64_t m_nFileGeneration = 0;          // counts the changes of m_fileEntries
    uint64_t m_nSyncedGeneration = 0;        // the generation taken in by Sync
    COrvError m_lastError;

    std::unique_ptr<CHistoryWorker> m_pWorker;
};
