// The commands the user has run, kept across runs of the program in a small file, and the walk
// through them with Up and Down in the command field.
#pragma once

#include <string>
#include <vector>

#include "orv-error.h"

// Entries are UTF-8 commands, oldest first, at most kMaxEntries, never the same twice in a row.
// The file holds one entry a line, with backslash, CR and LF written as \\, \r and \n; it is
// replaced as a whole (through a temporary file beside it), so a crash never leaves half of it.
// Not thread-safe; the UI thread.
class CCommandHistory {
public:
    static constexpr size_t kMaxEntries = 1000;

    // The history file: $XDG_STATE_HOME/vexil/history, or $HOME/.local/state/vexil/history when
    // XDG_STATE_HOME is unset, empty or not an absolute path. Empty when HOME is not known either.
    static std::string DefaultPath();

    // A history kept in the file at the path (empty: in memory only); reads the file now. A file
    // that is missing or unreadable gives an empty history.
    explicit CCommandHistory(std::string strPath);

    // Adds a command that was run. The file is read again first, so that what other instances
    // added meanwhile stays; a command equal to the newest entry is not added again; the oldest
    // entries go beyond kMaxEntries; the file (and its folders, for the user alone) is written
    // at once. False with the reason in err when it cannot be written; the entry is kept in
    // memory then. Ends a walk.
    bool Add(const std::string& strCommand, COrvError& err);

    // One step of a walk: Older gives the entry before the one shown (the newest at first, when
    // strShown is kept as the text being typed), Newer the one after it, and after the newest
    // the text that was being typed. False (strOut untouched) when there is no step to take.
    bool Older(const std::string& strShown, std::string& strOut);
    bool Newer(std::string& strOut);
    // Starts the next walk at the newest entry again.
    void ResetWalk();

    const std::vector<std::string>& Entries() const { return m_entries; }

private:
    void Load();

    std::string m_strPath;
    std::vector<std::string> m_entries;
    size_t m_nPos = 0;  // entry shown while walking; m_entries.size() when none
    std::string m_strDraft;
};
