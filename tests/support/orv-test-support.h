// Shared test fixtures.
#pragma once

#include <gtest/gtest.h>

#include <stdio.h>

#include <chrono>
#include <string>
#include <thread>

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class OrvTempDir {
public:
    OrvTempDir();
    ~OrvTempDir();
    OrvTempDir(const OrvTempDir&) = delete;
    OrvTempDir& operator=(const OrvTempDir&) = delete;

    const std::string& Path() const { return m_path; }
    // Path of a name inside the folder.
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Reads a whole file as bytes; empty when it cannot be read.
std::string OrvReadFileBytes(const std::string& path);
// Lower-case hex of bytes, two digits each.
inline std::string OrvTestHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}
// Writes bytes to a file, replacing it; true on success.
bool OrvWriteFileBytes(const std::string& path, const std::string& bytes);

// Polls pred every few milliseconds until it holds (true) or nMs milliseconds have passed (false).
template <class Pred>
bool OrvWaitFor(Pred pred, int nMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs a shell command and returns its standard output (bytes); *pnStatus gets its exit status.
inline std::string OrvRunCapture(const std::string& cmd, int* pnStatus = nullptr) {
    std::string out;
    FILE* f = popen(cmd.c_str(), "r");
    if (f == nullptr) {
        if (pnStatus != nullptr)
            *pnStatus = -1;
        return out;
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    const int rc = pclose(f);
    if (pnStatus != nullptr)
        *pnStatus = rc;
    return out;
}
