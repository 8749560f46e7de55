// Test helpers shared by the container and buffer suites: an allocator that counts and fails on
// request (the capture of assertion reports is in orv-test-support.h).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "orv-test-support.h"

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
        s_nLive += q != nullptr && p == nullptr;
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
        const bool bFail = ++s_nCalls == s_nFailAt;
        s_nFailed += bFail;
        return bFail;
    }
    static void* Count(void* p) {
        s_nLive += p != nullptr;
        return p;
    }
};

// Resets the allocator, captures the reports and checks that every block is freed.
class OrvAllocTest : public ::testing::Test {
protected:
    void SetUp() override {
        OrvTestAlloc::Reset();
        m_nLiveAtStart = OrvTestAlloc::s_nLive;
    }
    void TearDown() override { EXPECT_EQ(OrvTestAlloc::s_nLive, m_nLiveAtStart) << "leaked"; }

    OrvReportCapture m_reports;
    long m_nLiveAtStart = 0;
};
