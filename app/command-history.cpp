#include "command-history.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <utility>

#include "orv-descriptor.h"
#include "orv-lock.h"
#include "orv-log.h"
#include "orv-replacing-file.h"
#include "orv-thread.h"

namespace {

std::string Escape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    return out;
}

std::string Unescape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

// Creates the folders of the path up to its last '/' that do not exist yet, for the user alone.
bool MakeParentFolders(const std::string& strPath, COrvError& err) {
    for (size_t nSlash = strPath.find('/', 1); nSlash != std::string::npos;
         nSlash = strPath.find('/', nSlash + 1)) {
        const std::string folder = strPath.substr(0, nSlash);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            err.SetErrno(errno, ("Cannot create folder " + folder + ": ").c_str());
            return false;
        }
    }
    return true;
}

// Drops the oldest entries until the file they make keeps to the bounds.
void Bound(std::vector<std::string>& entries) {
    size_t nBytes = 0;
    size_t nKeep = 0;
    for (auto it = entries.rbegin(); it != entries.rend() && nKeep < CCommandHistory::kMaxEntries;
         ++it, ++nKeep) {
        const size_t nLine = Escape(*it).size() + 1;
        if (nBytes + nLine > CCommandHistory::kMaxFileBytes) {
            break;
        }
        nBytes += nLine;
    }
    entries.erase(entries.begin(), entries.end() - static_cast<ptrdiff_t>(nKeep));
}

// What is at the path: nothing, a regular file, or something we do not read or write through
// (a symbolic link, a pipe, a device ...), which a write replaces.
enum class EFileKind { Missing, Regular, Foreign };

bool Inspect(const std::string& strPath, EFileKind& kind, COrvError& err) {
    struct stat st;
    if (lstat(strPath.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            kind = EFileKind::Missing;
            return true;
        }
        return err.SetErrno(errno, ("Cannot open file " + strPath + ": ").c_str());
    }
    if (S_ISDIR(st.st_mode)) {
        return err.SetErrno(EISDIR, ("Cannot open file " + strPath + ": ").c_str());
    }
    kind = S_ISREG(st.st_mode) ? EFileKind::Regular : EFileKind::Foreign;
    return true;
}

// Reads the entries of the file at the path, of a large file those in its last kMaxFileBytes;
// lines too long to be entries are left out. A file that is missing or not a regular file gives
// none. False with the reason when the file is there but cannot be read.
bool ReadEntries(const std::string& strPath, std::vector<std::string>& entries, EFileKind& kind,
                 COrvError& err) {
    entries.clear();
    if (!Inspect(strPath, kind, err)) {
        return false;
    }
    if (kind != EFileKind::Regular) {
        return true;
    }
    // O_NOFOLLOW and O_NONBLOCK: whatever replaced the file meanwhile is not followed and does
    // not block the read.
    const int fd = OrvFdOpen(strPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int nErr = fd < 0 ? errno : EINVAL;
        if (fd >= 0) {
            OrvFdClose(fd);
        }
        if (nErr == ELOOP || nErr == EINVAL) {
            kind = EFileKind::Foreign;
            return true;
        }
        return err.SetErrno(nErr, ("Cannot open file " + strPath + ": ").c_str());
    }
    // Of a large file, the part from the byte before its last kMaxFileBytes: the line that byte
    // ends is not read whole, and is skipped (an LF there skips an empty line).
    const off_t nSize = st.st_size;
    const off_t nMax = static_cast<off_t>(CCommandHistory::kMaxFileBytes);
    const off_t nFrom = nSize > nMax ? nSize - nMax - 1 : 0;
    std::string text(static_cast<size_t>(nSize - nFrom), '\0');
    size_t nRead = 0;
    while (nRead < text.size()) {
        const long n = OrvFdReadAt(fd, text.data() + nRead, text.size() - nRead,
                                   nFrom + static_cast<off_t>(nRead));
        if (n < 0) {
            const int nErr = errno;
            OrvFdClose(fd);
            return err.SetErrno(nErr, ("Cannot read file " + strPath + ": ").c_str());
        }
        if (n == 0) {
            break;  // cut shorter meanwhile
        }
        nRead += static_cast<size_t>(n);
    }
    OrvFdClose(fd);
    text.resize(nRead);
    size_t nStart = 0;
    if (nFrom > 0) {
        const size_t nLf = text.find('\n');
        nStart = nLf == std::string::npos ? text.size() : nLf + 1;
    }
    while (nStart < text.size()) {
        size_t nEnd = text.find('\n', nStart);
        if (nEnd == std::string::npos) {
            nEnd = text.size();  // a last line without its LF
        }
        if (nEnd - nStart <= CCommandHistory::kMaxEntryBytes) {
            entries.push_back(Unescape(text.substr(nStart, nEnd - nStart)));
        }
        nStart = nEnd + 1;
    }
    Bound(entries);
    return true;
}

// Adds the command to the file at the path under the lock beside it, keeping what the file
// holds; entries is then what the file holds. A command too long for the file changes nothing.
bool SaveAdded(const std::string& strPath, const std::string& strCommand,
               std::vector<std::string>& entries, COrvError& err) {
    if (!MakeParentFolders(strPath, err)) {
        return false;
    }
    COrvMutex lock((strPath + ".lock").c_str());
    int nCode = 0;
    COrvStringA strLockError;
    if (!lock.Lock(CCommandHistory::kLockTimeoutMs, nCode, strLockError)) {
        const std::string text =
            "Cannot lock file " + strPath + ".lock: " + strLockError.GetString();
        err.Set(nCode, text.c_str());
        return false;
    }
    EFileKind kind = EFileKind::Missing;
    bool bOk = ReadEntries(strPath, entries, kind, err);
    const std::string escaped = Escape(strCommand);
    if (bOk && escaped.size() <= CCommandHistory::kMaxEntryBytes) {
        if (entries.empty() || entries.back() != strCommand) {
            entries.push_back(strCommand);
        }
        Bound(entries);
        if (kind == EFileKind::Foreign) {
            // Replaced, not written through: whatever it leads to is not ours to change.
            g_orv_log.Printf(
                "History file %s is a symbolic link or not a regular file: replaced by a regular "
                "file, whatever it led to left as it is\n",
                strPath.c_str());
            if (unlink(strPath.c_str()) != 0 && errno != ENOENT) {
                bOk = err.SetErrno(errno, ("Cannot replace file " + strPath + ": ").c_str());
            }
        }
        std::string text;
        for (const std::string& entry : entries) {
            text += Escape(entry);
            text += '\n';
        }
        bOk = bOk && OrvReplaceFileContents(strPath.c_str(), text.data(), text.size(), err, 0600);
    }
    lock.Unlock();
    return bOk;
}

}  // namespace

// The history's thread: the first read, then the additions in the order asked for.
class CHistoryWorker : public COrvThread {
public:
    explicit CHistoryWorker(CCommandHistory* pHistory) : m_pHistory(pHistory) {}

    bool Run(int&, COrvStringA&) override {
        CCommandHistory& h = *m_pHistory;
        std::vector<std::string> entries;
        EFileKind kind = EFileKind::Missing;
        COrvError err;
        Publish(ReadEntries(h.m_strPath, entries, kind, err), entries, err);
        for (;;) {
            std::string strCommand;
            {
                std::unique_lock<std::mutex> lock(h.m_lock);
                h.m_bBusy = !h.m_queue.empty();
                if (!h.m_bBusy) {
                    h.m_wake.notify_all();  // WaitIdle
                }
                h.m_wake.wait(lock, [&] { return !h.m_queue.empty() || h.m_bQuit; });
                if (h.m_queue.empty()) {
                    return true;  // quit, with nothing left to do
                }
                h.m_bBusy = true;
                // stays queued until written, so that the owner keeps it meanwhile
                strCommand = h.m_queue.front();
            }
            err.Clear();
            Publish(SaveAdded(h.m_strPath, strCommand, entries, err), entries, err, true);
        }
    }

private:
    // Hands what the file holds and the outcome to the owner; a failed read or write leaves the
    // owner's entries as they are. bDone: the oldest queued command has been dealt with.
    void Publish(bool bOk, const std::vector<std::string>& entries, const COrvError& err,
                 bool bDone = false) {
        CCommandHistory& h = *m_pHistory;
        std::lock_guard<std::mutex> lock(h.m_lock);
        if (bOk) {
            h.m_fileEntries = entries;
            ++h.m_nFileGeneration;
        }
        if (bDone) {
            h.m_queue.pop_front();
        }
        h.m_lastError = err;
    }

    CCommandHistory* m_pHistory;
};

std::string CCommandHistory::DefaultPath() {
    const char* pszState = std::getenv("XDG_STATE_HOME");
    if (pszState != nullptr && pszState[0] == '/') {
        return std::string(pszState) + "/vexil/history";
    }
    const char* pszHome = std::getenv("HOME");
    if (pszHome != nullptr && pszHome[0] != 0) {
        return std::string(pszHome) + "/.local/state/vexil/history";
    }
    return std::string();
}

CCommandHistory::CCommandHistory(std::string strPath) : m_strPath(std::move(strPath)) {
    if (m_strPath.empty()) {
        m_bBusy = false;
        return;
    }
    m_pWorker = std::make_unique<CHistoryWorker>(this);
    COrvStringA strError;
    if (!m_pWorker->Start(strError)) {
        // no thread: the history is kept in memory only
        m_pWorker.reset();
        m_bBusy = false;
        m_lastError.Set(enNetResources, strError);
    }
}

CCommandHistory::~CCommandHistory() {
    if (m_pWorker) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_bQuit = true;
        }
        m_wake.notify_all();
        m_pWorker->Wait();
    }
}

void CCommandHistory::Sync() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_nFileGeneration == m_nSyncedGeneration || m_nPos != m_entries.size()) {
        return;
    }
    m_nSyncedGeneration = m_nFileGeneration;
    m_entries = m_fileEntries;
    // Commands queued for the file but not written yet stay, as does a command too long for it.
    for (const std::string& strCommand : m_queue) {
        if (m_entries.empty() || m_entries.back() != strCommand) {
            m_entries.push_back(strCommand);
        }
    }
    if (!m_strUnsaved.empty() && (m_entries.empty() || m_entries.back() != m_strUnsaved)) {
        m_entries.push_back(m_strUnsaved);
    }
    m_nPos = m_entries.size();
}

const std::vector<std::string>& CCommandHistory::Entries() {
    Sync();
    return m_entries;
}

void CCommandHistory::Add(const std::string& strCommand) {
    ResetWalk();
    Sync();
    if (m_entries.empty() || m_entries.back() != strCommand) {
        m_entries.push_back(strCommand);
    }
    const bool bFits = Escape(strCommand).size() <= kMaxEntryBytes;
    m_strUnsaved = bFits ? std::string() : strCommand;
    if (m_entries.size() > kMaxEntries) {
        m_entries.erase(m_entries.begin(), m_entries.end() - kMaxEntries);
    }
    m_nPos = m_entries.size();
    if (m_pWorker && bFits) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_queue.push_back(strCommand);
            m_bBusy = true;
        }
        m_wake.notify_all();
    }
}

bool CCommandHistory::WaitIdle(int nMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_wake.wait_for(lock, std::chrono::milliseconds(nMs), [&] { return !m_bBusy; });
}

COrvError CCommandHistory::LastError() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lastError;
}

bool CCommandHistory::Older(const std::string& strShown, std::string& strOut) {
    if (m_nPos == m_entries.size()) {
        Sync();  // a new walk starts from what the file holds now
    }
    if (m_nPos == 0) {
        return false;
    }
    if (m_nPos == m_entries.size()) {
        m_strDraft = strShown;
    }
    strOut = m_entries[--m_nPos];
    return true;
}

bool CCommandHistory::Newer(std::string& strOut) {
    if (m_nPos >= m_entries.size()) {
        return false;
    }
    ++m_nPos;
    strOut = m_nPos == m_entries.size() ? m_strDraft : m_entries[m_nPos];
    return true;
}

void CCommandHistory::ResetWalk() {
    m_nPos = m_entries.size();
    m_strDraft.clear();
}
