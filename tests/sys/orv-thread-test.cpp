#include "orv-thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "orv-lock.h"
#include "orv-result.h"
#include "orv-thread-os.h"
#include "support/orv-test-support.h"
#include "support/orv-test-ui-loop.h"

namespace {

class ThreadTest : public ::testing::Test {
protected:
    OrvReportCapture m_reports;
};

// Runs until released; records its thread number and its runs.
class CGateThread : public COrvThread {
public:
    CGateThread() { m_gate.Create("gate", true, false); }
    bool Run(int& nCode, COrvStringA& strError) override {
        m_nSeenNumber = OrvGetThreadNumber();
        ++m_nRuns;
        m_gate.Wait(kOrvInfinite);
        if (m_bFail) {
            nCode = enNetServer;
            strError = "failed on purpose";
        }
        return !m_bFail;
    }
    COrvEvent m_gate;
    std::atomic<int64_t> m_nSeenNumber{0};
    std::atomic<int> m_nRuns{0};
    bool m_bFail = false;
};

TEST_F(ThreadTest, FinishedThreadKeepsItsHandleAndMayStartAgain) {
    CGateThread thread;
    thread.m_gate.Set();
    thread.m_bFail = true;
    COrvStringA strError;
    ASSERT_TRUE(thread.Start(strError));
    OrvWaitFor([&] { return thread.IsFinished(); });
    ASSERT_TRUE(thread.IsFinished() && thread.HasHandle());
    EXPECT_EQ(1, thread.GetExitCode());                  // Run failed
    const int64_t nFirst = thread.m_nSeenNumber.load();  // the number the first run had

    thread.m_bFail = false;
    thread.m_gate.Reset();  // the second run waits, so its number can be read while it runs
    ASSERT_TRUE(thread.Start(strError));
    const int64_t nSecond = thread.GetThreadNumber();
    EXPECT_NE(nFirst, nSecond);
    thread.m_gate.Set();
    EXPECT_TRUE(thread.Wait());
    EXPECT_EQ(2, thread.m_nRuns.load());
    EXPECT_EQ(0u, m_reports.Count());
}

TEST_F(ThreadTest, NiceLimitArithmetic) {
    EXPECT_EQ(10, OrvOsNiceWithinLimit(10, 0, 0));    // lowering: always
    EXPECT_EQ(0, OrvOsNiceWithinLimit(-10, 0, 20));   // floor 0 = the base: no raise
    EXPECT_EQ(-5, OrvOsNiceWithinLimit(-10, 0, 25));  // floor -5: part of the raise
    EXPECT_EQ(3, OrvOsNiceWithinLimit(-5, 5, 17));    // floor 3
}

TEST_F(ThreadTest, WaitPumpingMessagesLetsTheThreadCallTheUiThread) {
    CTestUiLoop loop;
    // The worker needs the UI thread (a synchronous call); a plain wait there would deadlock.
    struct CCaller : COrvThread {
        bool Run(int&, COrvStringA&) override {
            struct T : IOrvUiTask {
                bool bOnUi = false;
                void Run() override { bOnUi = OrvGetUiThread()->IsUiThread(); }
            } task;
            m_bSent = OrvGetUiThread()->Send(task) && task.bOnUi;
            return true;
        }
        std::atomic<bool> m_bSent{false};
    } worker;
    bool bWaited = false;
    loop.RunOnLoop([&] {
        COrvStringA strError;
        if (worker.Start(strError))
            bWaited = worker.WaitPumpingMessages();
    });
    EXPECT_TRUE(bWaited && worker.m_bSent.load());
}

}  // namespace
