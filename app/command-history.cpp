#include "command-history.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "orv-replacing-file.h"

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

}  // namespace

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
    Load();
    m_nPos = m_entries.size();
}

void CCommandHistory::Load() {
    if (m_strPath.empty()) {
        return;
    }
    FILE* pFile = std::fopen(m_strPath.c_str(), "rbe");
    if (pFile == nullptr) {
        return;  // no history yet (or none that can be read): start anew
    }
    std::vector<std::string> entries;
    std::string line;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pFile)) > 0) {
        for (size_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                entries.push_back(Unescape(line));
                line.clear();
            } else {
                line += buf[i];
            }
        }
    }
    std::fclose(pFile);
    if (!line.empty()) {
        entries.push_back(Unescape(line));  // a last line without its LF
    }
    if (entries.size() > kMaxEntries) {
        entries.erase(entries.begin(), entries.end() - kMaxEntries);
    }
    m_entries = std::move(entries);
}

bool CCommandHistory::Add(const std::string& strCommand, COrvError& err) {
    Load();
    if (m_entries.empty() || m_entries.back() != strCommand) {
        m_entries.push_back(strCommand);
    }
    if (m_entries.size() > kMaxEntries) {
        m_entries.erase(m_entries.begin(), m_entries.end() - kMaxEntries);
    }
    ResetWalk();
    if (m_strPath.empty()) {
        return true;
    }
    std::string text;
    for (const std::string& entry : m_entries) {
        text += Escape(entry);
        text += '\n';
    }
    return MakeParentFolders(m_strPath, err) &&
           OrvReplaceFileContents(m_strPath.c_str(), text.data(), text.size(), err, 0600);
}

bool CCommandHistory::Older(const std::string& strShown, std::string& strOut) {
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
