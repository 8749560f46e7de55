#include "orv-ui-thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orv-lock.h"
#include "orv-result.h"
#include "orv-trace.h"
#include "support/orv-test-support.h"
#include "support/orv-test-ui-loop.h"

namespace {

using namespace std::chrono_literals;

std::mutex s_lock;
std::vector<std::string> s_lines;
void CaptureLine(const char* pszLine) {
    std::lock_guard<std::mutex> hold(s_lock);
    s_lines.emplace_back(pszLine);
}

class UiThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pfnSink = OrvSetLockLogSink(&CaptureLine);
        std::lock_guard<std::mutex> hold(s_lock);
        s_lines.clear();
    }
    void TearDown() override { OrvSetLockLogSink(m_pfnSink); }
    int Asserts() { return static_cast<int>(m_reports.Count()); }

private:
    OrvLogLineFn m_pfnSink = nullptr;
    OrvReportCapture m_reports;
};

// Records the messages it receives, with the thread they arrived on.
class CRecordingWindow : public IOrvUiWindow {
public:
    void OnMessage(unsigned nMsg, uintptr_t wParam, intptr_t lParam) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_messages.push_back({nMsg, wParam, lParam, OrvGetUiThread()->IsUiThread()});
    }
    void OnTimer(unsigned) override {}
    struct Message {
        unsigned nMsg;
        uintptr_t wParam;
        intptr_t lParam;
        bool bOnUi;
    };
    std::vector<Message> Messages() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_messages;
    }

private:
    std::mutex m_mutex;
    std::vector<Message> m_messages;
};

TEST_F(UiThreadTest, PostMessageDeliversInOrderAndRetriesAFullQueue) {
    CRecordingWindow window;
    int nCode = -1;
    COrvStringA strError;
    EXPECT_FALSE(OrvPostMessage(&window, 1, 0, 0, nCode, strError));  // no UI thread yet
    EXPECT_EQ(enNetNotReady, nCode);
    CTestUiLoop loop;
    ASSERT_TRUE(OrvPostMessage(&window, 10, 1, -1, nCode, strError));

    loop.RefuseNextPosts(1);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(OrvPostMessage(&window, 11, 2, -2, nCode, strError));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 900ms);  // one second between attempts

    ASSERT_TRUE(OrvWaitFor([&] { return window.Messages().size() == 2; }));
    const auto messages = window.Messages();
    EXPECT_TRUE(messages[0].nMsg == 10u && messages[0].lParam == -1 && messages[0].bOnUi);
    EXPECT_TRUE(messages[1].nMsg == 11u && messages[1].wParam == 2u && messages[1].bOnUi);
    loop.Quit();  // the loop has ended: refused as not ready
    EXPECT_FALSE(OrvPostMessage(&window, 12, 0, 0, nCode, strError));
    EXPECT_EQ(enNetNotReady, nCode);
}

// A callable that records its run in a shared journal.
struct CJournal {
    std::mutex mutex;
    std::vector<std::string> entries;
    std::atomic<int> nDeleted{0};
    void Add(const std::string& s) {
        std::lock_guard<std::mutex> hold(mutex);
        entries.push_back(s);
    }
    std::vector<std::string> Get() {
        std::lock_guard<std::mutex> hold(mutex);
        return entries;
    }
};

class CNoteCallable : public COrvGUIThreadCallable {
public:
    CNoteCallable(CJournal& journal, CTestUiLoop& loop, std::string name, bool bResult = true)
        : m_journal(journal), m_loop(loop), m_name(std::move(name)), m_bResult(bResult) {}
    ~CNoteCallable() override { ++m_journal.nDeleted; }
    bool Run() override {
        const bool bOnUi = OrvGetUiThread() && OrvGetUiThread()->IsUiThread();
        m_journal.Add(m_name + (bOnUi ? "@ui" : "@other") + "#" + std::to_string(m_loop.Ticks()));
        return m_bResult;
    }

private:
    CJournal& m_journal;
    CTestUiLoop& m_loop;
    std::string m_name;
    bool m_bResult;
};

TEST_F(UiThreadTest, DispatcherRunsPostsInOrderOnePerTick) {
    CTestUiLoop loop;
    CJournal journal;
    COrvGUIThreadCallDispatcher* pDispatcher = nullptr;
    loop.RunOnLoop([&] { pDispatcher = new COrvGUIThreadCallDispatcher(0x8100, 7); });
    // Post both while the UI thread is busy, so that they wait in the queue together.
    loop.RunOnLoop([&] {
        EXPECT_TRUE(pDispatcher->Post(new CNoteCallable(journal, loop, "a")) &&
                    pDispatcher->Post(new CNoteCallable(journal, loop, "b")));
    });
    ASSERT_TRUE(OrvWaitFor([&] { return journal.Get().size() == 2; }));
    const auto entries = journal.Get();
    // Each ran on the UI thread, in posting order, on two successive timer ticks.
    const int nTickA = std::stoi(entries[0].substr(entries[0].find('#') + 1));
    const int nTickB = std::stoi(entries[1].substr(entries[1].find('#') + 1));
    EXPECT_EQ("a@ui", entries[0].substr(0, entries[0].find('#')));
    EXPECT_EQ("b@ui", entries[1].substr(0, entries[1].find('#')));
    EXPECT_EQ(nTickA + 1, nTickB);
    EXPECT_EQ(2, journal.nDeleted.load());
    loop.RunOnLoop([&] { delete pDispatcher; });
}

TEST_F(UiThreadTest, DispatcherCallIsSynchronousFromAnyThread) {
    CTestUiLoop loop;
    CJournal journal;
    COrvGUIThreadCallDispatcher* pDispatcher = nullptr;
    loop.RunOnLoop([&] { pDispatcher = new COrvGUIThreadCallDispatcher(0x8100, 7); });

    EXPECT_TRUE(pDispatcher->Call(new CNoteCallable(journal, loop, "yes", true)));
    EXPECT_FALSE(pDispatcher->Call(new CNoteCallable(journal, loop, "no", false)));
    EXPECT_EQ(0u, journal.Get()[0].find("yes@ui"));
    EXPECT_EQ(2, journal.nDeleted.load());  // the caller's callables are deleted after the call

    // A posted call message carries its own callable.
    int nCode;
    COrvStringA strError;
    ASSERT_TRUE(OrvPostMessage(pDispatcher, 0x8100, 0,
                               reinterpret_cast<intptr_t>(new CNoteCallable(journal, loop, "msg")),
                               nCode, strError));
    ASSERT_TRUE(OrvWaitFor([&] { return journal.nDeleted.load() == 3; }));
    loop.RunOnLoop([&] { delete pDispatcher; });
}

TEST_F(UiThreadTest, DispatcherNeverReentersAndHoldsNoLockWhileRunning) {
    CTestUiLoop loop;
    CJournal journal;
    COrvGUIThreadCallDispatcher* pDispatcher = nullptr;
    loop.RunOnLoop([&] { pDispatcher = new COrvGUIThreadCallDispatcher(0x8100, 7); });

    // The first callable posts a second one and then pumps the loop for a while: the second one
    // must not run inside the first.
    struct CPumping : COrvGUIThreadCallable {
        CJournal* pJournal;
        CTestUiLoop* pLoop;
        COrvGUIThreadCallDispatcher* pDisp;
        std::atomic<bool>& bOtherPostedWhileRunning;
        explicit CPumping(std::atomic<bool>& b) : bOtherPostedWhileRunning(b) {}
        bool Run() override {
            pJournal->Add("outer-begin");
            // Another thread can take the dispatcher lock now: it is not held while this runs
            // (the lock is re-entrant, so a post from this thread alone would not show it).
            std::atomic<bool> bPosted{false};
            std::thread other([&] {
                pDisp->Post(new CNoteCallable(*pJournal, *pLoop, "other"));
                bPosted = true;
            });
            const auto limit = std::chrono::steady_clock::now() + 5s;
            while (!bPosted.load() && std::chrono::steady_clock::now() < limit)
                std::this_thread::sleep_for(1ms);
            bOtherPostedWhileRunning = bPosted.load();
            other.join();
            pDisp->Post(new CNoteCallable(*pJournal, *pLoop, "inner"));
            const auto end = std::chrono::steady_clock::now() + 30ms;
            while (std::chrono::steady_clock::now() < end)
                pLoop->PumpOne();
            pJournal->Add("outer-end");
            return true;
        }
    };
    std::atomic<bool> bOtherPosted{false};
    auto* pOuter = new CPumping(bOtherPosted);
    pOuter->pJournal = &journal;
    pOuter->pLoop = &loop;
    pOuter->pDisp = pDispatcher;
    ASSERT_TRUE(pDispatcher->Post(pOuter));
    ASSERT_TRUE(OrvWaitFor([&] { return journal.Get().size() == 4; }));
    const auto entries = journal.Get();
    EXPECT_TRUE(bOtherPosted.load());
    EXPECT_EQ("outer-end", entries[1]);
    EXPECT_EQ(0u, entries[2].find("other@ui"));  // posting order, after the outer one
    loop.RunOnLoop([&] { delete pDispatcher; });
}

}  // namespace
