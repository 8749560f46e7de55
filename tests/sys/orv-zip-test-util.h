// Helpers of the zip suites: shell commands and the independent peers (Python's zipfile,
// Info-ZIP unzip and 7-Zip).
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <map>
#include <sstream>
#include <string>

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
    for (std::string line; std::getline(in, line);) {
        std::istringstream ls(line);
        std::string name, date, time, extra;
        PeerEntry e;
        if (std::getline(ls, name, '\t') && ls >> e.nFlags >> e.nMethod >> e.nMadeBy >> e.nNeeded >>
                                                e.nExternal >> date >> time >> e.nLocalExtra >>
                                                extra >> e.nSize) {
            e.sDateTime = date + " " + time;
            e.sCentralExtra = extra.substr(1);  // after the "x" that keeps it from being empty
            m[name] = e;
        }
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
