// Helpers of the zip suites: shell commands and the independent peers (Python's zipfile,
// Info-ZIP unzip and 7-Zip).
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/orv-test-support.h"

// Runs a shell command; its exit status, with its output in *pOut when given.
inline int Shell(const std::string& cmd, std::string* pOut = nullptr) {
    int st = -1;
    const std::string out = OrvRunCapture(cmd + " 2>&1", &st);
    if (pOut != nullptr)
        *pOut = out;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

inline std::string Peer() {
    return std::string("python3 ") + ORV_ZIP_PEER_SCRIPT;
}

// One entry as Python's zipfile sees it.
struct PeerEntry {
    unsigned nFlags = 0, nMethod = 0, nMadeBy = 0, nNeeded = 0;
    uint32_t nExternal = 0;
    std::string sDateTime, sCentralExtra;
    int nLocalExtra = 0;
    uint64_t nSize = 0;
};

// Lists an archive with Python (reading every entry up to nMaxRead bytes, so CRCs are checked);
// fails the test when Python refuses it.
inline std::map<std::string, PeerEntry> PeerList(const std::string& zip, const std::string& pw = "",
                                                 uint64_t nMaxRead = UINT64_MAX >> 2) {
    std::string out;
    EXPECT_EQ(0,
              Shell(Peer() + " list '" + zip + "' '" + pw + "' " + std::to_string(nMaxRead), &out))
        << out;
    std::map<std::string, PeerEntry> m;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream ls(line);
        std::string x;
        while (std::getline(ls, x, '\t'))
            f.push_back(x);
        if (f.size() != 10)
            continue;
        PeerEntry e;
        e.nFlags = std::stoul(f[1]);
        e.nMethod = std::stoul(f[2]);
        e.nMadeBy = std::stoul(f[3]);
        e.nNeeded = std::stoul(f[4]);
        e.nExternal = static_cast<uint32_t>(std::stoul(f[5]));
        e.sDateTime = f[6];
        e.nLocalExtra = std::stoi(f[7]);
        e.sCentralExtra = f[8];
        e.nSize = std::stoull(f[9]);
        m[f[0]] = e;
    }
    return m;
}

// unzip -t and 7z t both accept the archive.
inline void ExpectToolsAccept(const std::string& zip, const std::string& pw = "") {
    std::string out;
    EXPECT_EQ(0,
              Shell("unzip -t -q " + (pw.empty() ? "" : "-P " + pw + " ") + "'" + zip + "'", &out))
        << out;
    EXPECT_EQ(0, Shell("7z t -bd '-p" + pw + "' '" + zip + "'", &out)) << out;
}
