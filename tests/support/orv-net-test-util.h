// Helpers of the network suites: peer processes on loopback, free ports, small servers, peer
// programs run over a list of lines.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "orv-test-servers.h"
#include "orv-test-support.h"

// Whether a program is installed.
inline bool OrvHaveProgram(const std::string& name) {
    return !OrvTestFindProgram(name).empty();
}

// A peer process whose output file starts empty; stopped by the destructor.
class OrvPeerProcess : public OrvTestProcess {
public:
    bool Start(const std::vector<std::string>& args, const std::string& outFile) {
        unlink(outFile.c_str());
        std::string error;
        return OrvTestProcess::Start(args, outFile, error);
    }
};

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
