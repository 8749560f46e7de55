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

#include "orv-test-support.h"

extern char** environ;

// A port on 127.0.0.1 that was free a moment ago (for peers that cannot be told to pick one).
inline int OrvFreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
    close(fd);
    return ntohs(sa.sin_port);
}

// Whether something accepts connections at 127.0.0.1:nPort.
inline bool OrvLoopbackListening(int nPort) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(nPort));
    const bool b = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return b;
}

// Whether a program is on the PATH.
inline bool OrvHaveProgram(const std::string& name) {
    return system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// A child process with its standard output and error in a file; stopped by the destructor.
class OrvPeerProcess {
public:
    OrvPeerProcess() = default;
    ~OrvPeerProcess() { Stop(); }
    OrvPeerProcess(const OrvPeerProcess&) = delete;
    OrvPeerProcess& operator=(const OrvPeerProcess&) = delete;

    bool Start(const std::vector<std::string>& args, const std::string& outFile) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawnp(&m_pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0)
            m_pid = -1;
        m_out = outFile;
        return rc == 0;
    }
    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }
    std::string Output() const { return OrvReadFileBytes(m_out); }
    bool Running() const { return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0; }

private:
    pid_t m_pid = -1;
    std::string m_out;
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
