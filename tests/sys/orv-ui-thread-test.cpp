#include "orv-ui-thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orv-result.h"
#include "support/orv-test-support.h"
#include "support/orv-test-ui-loop.h"

namespace {

using namespace std::chrono_literals;

// Records the messages it receives as "msg,wParam,lParam,ui" (ui: 1 on the UI thread).
class CRecordingWindow : public IOrvUiWindow {
public:
    void OnMessage(unsigned nMsg, uintptr_t wParam, intptr_t lParam) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_messages.push_back(std::to_string(nMsg) + "," + std::to_string(wParam) + "," +
                             std::to_string(lParam) + "," +
                             std::to_string(OrvGetUiThread()->IsUiThread()));
    }
    void OnTimer(unsigned) override {}
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_messages;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_messages;
};

TEST(UiThreadTest, PostMessageDeliversInOrderAndRetriesAFullQueue) {
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
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);  // one second between attempts

    ASSERT_TRUE(OrvWaitFor([&] { return window.Messages().size() == 2; }));
    EXPECT_EQ(window.Messages(), (std::vector<std::string>{"10,1,-1,1", "11,2,-2,1"}));
    loop.Quit();  // the loop has ended: refused as not ready
    EXPECT_FALSE(OrvPostMessage(&window, 12, 0, 0, nCode, strError));
    EXPECT_EQ(enNetNotReady, nCode);
}

// A shared journal of callable runs: "name@ui#tick" or "name@other#tick".
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

class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_loop.RunOnLoop([&] { m_pDispatcher = new COrvGUIThreadCallDispatcher(0x8100, 7); });
    }
    void TearDown() override {
        m_loop.RunOnLoop([&] { delete m_pDispatcher; });
    }
    CNoteCallable* Note(const char* pszName, bool bResult = true) {
        return new CNoteCallable(m_journal, m_loop, pszName, bResult);
    }

    CTestUiLoop m_loop;
    CJournal m_journal;
    COrvGUIThreadCallDispatcher* m_pDispatcher = nullptr;
};

TEST_F(DispatcherTest, PostsRunInOrderOnePerTickAndCallsAreSynchronous) {
    // Post both while the UI thread is busy, so that they wait in the queue together.
    m_loop.RunOnLoop(
        [&] { EXPECT_TRUE(m_pDispatcher->Post(Note("a")) && m_pDispatcher->Post(Note("b"))); });
    ASSERT_TRUE(OrvWaitFor([&] { return m_journal.Get().size() == 2; }));
    auto entries = m_journal.Get();
    const auto tick = [&](int i) { return std::stoi(entries[i].substr(entries[i].find('#') + 1)); };
    EXPECT_EQ(0u, entries[0].find("a@ui#"));
    EXPECT_EQ(0u, entries[1].find("b@ui#"));
    EXPECT_EQ(tick(0) + 1, tick(1));

    EXPECT_TRUE(m_pDispatcher->Call(Note("yes", true)));
    EXPECT_FALSE(m_pDispatcher->Call(Note("no", false)));
    entries = m_journal.Get();
    EXPECT_EQ(0u, entries.at(2).find("yes@ui"));
    EXPECT_EQ(4, m_journal.nDeleted.load());  // the callables are deleted after their run

    // A posted call message carries its own callable.
    int nCode;
    COrvStringA strError;
    ASSERT_TRUE(OrvPostMessage(m_pDispatcher, 0x8100, 0, reinterpret_cast<intptr_t>(Note("msg")),
                               nCode, strError));
    ASSERT_TRUE(OrvWaitFor([&] { return m_journal.nDeleted.load() == 5; }));
}

// The first callable pumps the loop after posting a second one, which must not run inside it;
// another thread can post meanwhile, so the dispatcher lock is not held while a callable runs
// (the lock is re-entrant: a post from the UI thread alone would not show it).
struct CPumping : COrvGUIThreadCallable {
    CJournal* pJournal;
    CTestUiLoop* pLoop;
    COrvGUIThreadCallDispatcher* pDisp;
    std::atomic<bool> bOtherPosted{false};
    bool Run() override {
        pJournal->Add("outer-begin");
        std::thread other([&] {
            pDisp->Post(new CNoteCallable(*pJournal, *pLoop, "other"));
            bOtherPosted = true;
        });
        OrvWaitFor([&] { return bOtherPosted.load(); });
        other.join();
        pDisp->Post(new CNoteCallable(*pJournal, *pLoop, "inner"));
        const auto end = std::chrono::steady_clock::now() + 30ms;
        while (std::chrono::steady_clock::now() < end)
            pLoop->PumpOne();
        pJournal->Add("outer-end");
        return true;
    }
};

TEST_F(DispatcherTest, NeverReentersAndHoldsNoLockWhileRunning) {
    auto* pOuter = new CPumping;
    pOuter->pJournal = &m_journal;
    pOuter->pLoop = &m_loop;
    pOuter->pDisp = m_pDispatcher;
    ASSERT_TRUE(m_pDispatcher->Post(pOuter));
    ASSERT_TRUE(OrvWaitFor([&] { return m_journal.Get().size() == 4; }));
    const auto entries = m_journal.Get();
    EXPECT_EQ("outer-end", entries[1]);
    EXPECT_EQ(0u, entries[2].find("other@ui"));  // posting order, after the outer one
}

}  // namespace
