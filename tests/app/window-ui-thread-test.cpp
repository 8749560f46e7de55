// The library's UI-thread services over Qt: order of posts, sends and messages, timers, forgetting
// a window, and the release of every waiter when the service closes.
#include <gtest/gtest.h>

#include <QTest>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "qt-ui-thread.h"
#include "window-test-util.h"

namespace {

// Appends its letter to a log on the UI thread; counts its deletions.
struct CLogTask : IOrvUiTask {
    CLogTask(std::string& log, char c, int* pnDeleted)
        : m_log(log), m_c(c), m_pnDeleted(pnDeleted) {}
    ~CLogTask() override {
        if (m_pnDeleted != nullptr) {
            ++*m_pnDeleted;
        }
    }
    void Run() override { m_log += m_c; }
    std::string& m_log;
    char m_c;
    int* m_pnDeleted;
};

struct CLogWindow : IOrvUiWindow {
    explicit CLogWindow(std::string& log) : m_log(log) {}
    void OnMessage(unsigned nMsg, uintptr_t wParam, intptr_t) override {
        m_log += 'm';
        m_log += std::to_string(nMsg) + ":" + std::to_string(wParam) + " ";
    }
    void OnTimer(unsigned) override { ++m_nTicks; }
    std::string& m_log;
    int m_nTicks = 0;
};

}  // namespace

TEST(QtUiThread, PostsSendsAndMessagesRunInOneOrder) {
    CQtUiThread ui;
    std::string log;
    int nDeleted = 0;
    CLogWindow wnd(log);
    std::atomic<bool> bSent{false};
    std::atomic<bool> bWorkerSawUi{true};
    std::thread worker([&] {
        bWorkerSawUi = ui.IsUiThread();
        ASSERT_EQ(ui.Post(new CLogTask(log, 'a', &nDeleted)), enOrvUiPosted);
        ASSERT_EQ(ui.PostMessage(&wnd, 7, 3, 0), enOrvUiPosted);
        CLogTask send(log, 's', nullptr);
        bSent = ui.Send(send);  // runs after what was queued before it
        ASSERT_EQ(ui.Post(new CLogTask(log, 'b', &nDeleted)), enOrvUiPosted);
    });
    ASSERT_TRUE(WaitFor([&] { return log.size() >= 7 && nDeleted == 2; }));
    worker.join();
    EXPECT_FALSE(bWorkerSawUi);
    EXPECT_TRUE(bSent);
    // posting never runs the task inside the call, even on the UI thread; a send there runs at
    // once
    ASSERT_EQ(ui.Post(new CLogTask(log, 'c', &nDeleted)), enOrvUiPosted);
    log += '|';
    EXPECT_TRUE(ui.PumpOne());
    EXPECT_FALSE(ui.PumpOne());
    CLogTask direct(log, 'd', nullptr);
    EXPECT_TRUE(ui.Send(direct));
    EXPECT_EQ(log, "am7:3 sb|cd");
    EXPECT_EQ(ui.PostMessage(nullptr, 1, 0, 0), enOrvUiClosed);
}

TEST(QtUiThread, ForgottenWindowsGetNothingMore) {
    CQtUiThread ui;
    std::string log;
    CLogWindow wnd(log);
    ui.PostMessage(&wnd, 1, 1, 0);
    ASSERT_TRUE(ui.StartTimer(&wnd, 5, 1));
    ui.ForgetWindow(&wnd);
    QTest::qWait(50);
    EXPECT_EQ(std::pair(log, wnd.m_nTicks), std::pair(std::string(), 0));
    EXPECT_FALSE(ui.StopTimer(&wnd, 5));  // forgetting stopped it
}

TEST(QtUiThread, CloseReleasesSendersAndRefusesPosts) {
    CQtUiThread ui;
    std::string log;
    int nDeleted = 0;
    ASSERT_EQ(ui.Post(new CLogTask(log, 'q', &nDeleted)), enOrvUiPosted);
    std::atomic<int> nSent{-1};
    std::thread worker([&] {
        CLogTask send(log, 's', nullptr);
        nSent = ui.Send(send) ? 1 : 0;
    });
    // the UI thread runs no events: the send waits until Close releases it
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ui.Close();
    worker.join();
    EXPECT_EQ(nSent, 0);
    EXPECT_EQ(nDeleted, 1);  // the queued task was deleted unrun
    CLogTask task(log, 'x', nullptr);
    EXPECT_EQ(ui.Post(&task), enOrvUiClosed);  // still the caller's
    EXPECT_FALSE(ui.Send(task));
    QCoreApplication::processEvents();
    EXPECT_EQ(log, "");
}
