// Shared test fixtures.
#pragma once

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orv-string.h"
#include "orv-trace.h"

// The bytes of a library string, for comparisons and messages.
inline std::string OrvStr(const COrvStringA& s) {
    return std::string(s.GetString(), static_cast<size_t>(s.GetLength()));
}
inline std::u16string OrvStrW(const COrvStringW& s) {
    return std::u16string(s.GetString(), static_cast<size_t>(s.GetLength()));
}

// Sets (or with null removes) an environment variable for its lifetime; the old value comes back
// at the end, also when a test stops early. TZ changes take effect at once.
class OrvScopedEnv {
public:
    OrvScopedEnv(const char* pszName, const char* pszValue)
        : m_name(pszName),
          m_bHad(getenv(pszName) != nullptr),
          m_old(m_bHad ? getenv(pszName) : "") {
        Set(pszValue);
    }
    ~OrvScopedEnv() { Set(m_bHad ? m_old.c_str() : nullptr); }
    OrvScopedEnv(const OrvScopedEnv&) = delete;
    OrvScopedEnv& operator=(const OrvScopedEnv&) = delete;
    void Set(const char* pszValue) {
        if (pszValue != nullptr)
            setenv(m_name.c_str(), pszValue, 1);
        else
            unsetenv(m_name.c_str());
        if (m_name == "TZ")
            tzset();
    }

private:
    std::string m_name;
    bool m_bHad;
    std::string m_old;
};

// One assertion report.
struct OrvReport {
    long nErr;
    std::string strExpr;
    int nHard;
};

// Installs an assertion hook for its lifetime (putting the previous one back at the end) and
// records every report, from any thread.
class OrvReportCapture {
public:
    OrvReportCapture() {
        Clear();
        m_pPrev = OrvSetAssertHook(&Hook);
    }
    ~OrvReportCapture() { OrvSetAssertHook(m_pPrev); }
    OrvReportCapture(const OrvReportCapture&) = delete;
    OrvReportCapture& operator=(const OrvReportCapture&) = delete;

    std::vector<OrvReport> Reports() const {
        std::lock_guard<std::mutex> hold(s_lock);
        return s_reports;
    }
    size_t Count() const { return Reports().size(); }
    // The condition texts, in order.
    std::vector<std::string> Exprs() const {
        std::vector<std::string> v;
        for (const OrvReport& r : Reports())
            v.push_back(r.strExpr);
        return v;
    }
    // Number of reports with the condition text strExpr (and the error code nErr, if given).
    size_t CountExpr(const std::string& strExpr, const long* pnErr = nullptr) const {
        size_t n = 0;
        for (const OrvReport& r : Reports())
            n += r.strExpr == strExpr && (pnErr == nullptr || r.nErr == *pnErr);
        return n;
    }
    // Number of "AtlThrow" reports with error code nErr.
    size_t CountAtl(long nErr) const { return CountExpr("AtlThrow", &nErr); }
    void Clear() {
        std::lock_guard<std::mutex> hold(s_lock);
        s_reports.clear();
    }

private:
    static int Hook(const char*, int, long nErr, const char* pszExpr, int nHard) {
        std::lock_guard<std::mutex> hold(s_lock);
        s_reports.push_back({nErr, pszExpr ? pszExpr : "", nHard});
        return 1;
    }
    static inline std::mutex s_lock;
    static inline std::vector<OrvReport> s_reports;
    OrvAssertHook m_pPrev = nullptr;
};

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
    for (unsigned char c : bytes)
        out += {kDigits[c >> 4], kDigits[c & 15]};
    return out;
}
// Writes bytes to a file, replacing it; true on success.
bool OrvWriteFileBytes(const std::string& path, const std::string& bytes);

// Polls pred every few milliseconds until it holds (true) or nMs milliseconds have passed (false).
template <class Pred>
bool OrvWaitFor(Pred pred, int nMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs a shell command and returns its standard output (bytes); *pnStatus gets its exit status.
inline std::string OrvRunCapture(const std::string& cmd, int* pnStatus = nullptr) {
    std::string out;
    FILE* f = popen(cmd.c_str(), "r");
    char buf[65536];
    for (size_t n; f != nullptr && (n = fread(buf, 1, sizeof buf, f)) > 0;)
        out.append(buf, n);
    const int rc = f != nullptr ? pclose(f) : -1;
    if (pnStatus != nullptr)
        *pnStatus = rc;
    return out;
}
