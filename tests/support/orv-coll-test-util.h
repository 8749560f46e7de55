// Test helpers shared by the container and buffer suites: an allocator that counts and fails on
// request, and a capture of the assertion reports.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "orv-trace.h"

// Counts allocations and makes the n-th one (counted from Reset) fail.
struct OrvTestAlloc {
    static inline long s_nCalls = 0;   // allocation calls since Reset
    static inline long s_nFailAt = 0;  // call number that fails; 0: none
    static inline long s_nFailed = 0;  // calls that were failed on purpose
    static inline long s_nLive = 0;    // allocations not yet freed

    static void Reset(long nFailAt = 0) {
        s_nCalls = 0;
        s_nFailAt = nFailAt;
        s_nFailed = 0;
    }
    static void* Allocate(size_t n) {
        if (FailNow())
            return nullptr;
        return Count(std::malloc(n));
    }
    static void* AllocateZeroed(size_t n) {
        if (FailNow())
            return nullptr;
        return Count(std::calloc(1, n));
    }
    static void* Reallocate(void* p, size_t n) {
        if (FailNow())
            return nullptr;
        void* q = std::realloc(p, n);
        if (q != nullptr && p == nullptr)
            ++s_nLive;
        return q;
    }
    static void Free(void* p) {
        if (p != nullptr) {
            --s_nLive;
            std::free(p);
        }
    }

private:
    static bool FailNow() {
        ++s_nCalls;
        if (s_nFailAt != 0 && s_nCalls == s_nFailAt) {
            ++s_nFailed;
            return true;
        }
        return false;
    }
    static void* Count(void* p) {
        if (p != nullptr)
            ++s_nLive;
        return p;
    }
};

// One assertion report.
struct OrvReport {
    long nErr;
    std::string strExpr;
};

// Installs an assertion hook for its lifetime (removing it at the end) and records every report.
class OrvReportCapture {
public:
    OrvReportCapture() {
        s_reports.clear();
        OrvSetAssertHook(&Hook);
    }
    ~OrvReportCapture() { OrvSetAssertHook(nullptr); }
    OrvReportCapture(const OrvReportCapture&) = delete;
    OrvReportCapture& operator=(const OrvReportCapture&) = delete;

    size_t Count() const { return s_reports.size(); }
    // Number of "AtlThrow" reports with error code nErr.
    size_t CountAtl(long nErr) const {
        size_t n = 0;
        for (const OrvReport& r : s_reports)
            n += (r.nErr == nErr && r.strExpr == "AtlThrow") ? 1 : 0;
        return n;
    }
    // Number of reports with the condition text strExpr.
    size_t CountExpr(const std::string& strExpr) const {
        size_t n = 0;
        for (const OrvReport& r : s_reports)
            n += r.strExpr == strExpr ? 1 : 0;
        return n;
    }
    void Clear() { s_reports.clear(); }

private:
    static int Hook(const char*, int, long nErr, const char* pszExpr, int) {
        s_reports.push_back({nErr, pszExpr ? pszExpr : ""});
        return 1;
    }
    static inline std::vector<OrvReport> s_reports;
};
