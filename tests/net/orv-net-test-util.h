// Helpers of the network suites: running a peer program over a list of lines.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "orv-test-support.h"

// Whether a program is on the PATH.
inline bool OrvHaveProgram(const std::string& name) {
    const std::string cmd = "command -v " + name + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

// Runs "cmd < file-of-lines" and returns its output lines; false when it cannot be started or
// ends with a failure status.
inline bool OrvRunOverLines(const std::string& cmd, const std::vector<std::string>& lines,
                            std::vector<std::string>& out) {
    OrvTempDir dir;
    std::string input;
    for (const std::string& l : lines)
        input += l + "\n";
    if (!OrvWriteFileBytes(dir.File("in.txt"), input))
        return false;
    FILE* f = popen((cmd + " < " + dir.File("in.txt")).c_str(), "r");
    if (f == nullptr)
        return false;
    out.clear();
    std::string cur;
    int c;
    while ((c = fgetc(f)) != EOF) {
        if (c == '\n') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(c);
        }
    }
    return pclose(f) == 0;
}

// The rules of the system's copy of the Public Suffix List (package publicsuffix), comments and
// empty lines left out.
inline std::vector<std::string> OrvPublicSuffixRules() {
    std::vector<std::string> rules;
    const std::string text = OrvReadFileBytes("/usr/share/publicsuffix/public_suffix_list.dat");
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        const size_t ws = line.find_first_of(" \t\r");
        if (ws != std::string::npos)
            line.resize(ws);
        if (!line.empty() && line.rfind("//", 0) != 0)
            rules.push_back(line);
    }
    return rules;
}
