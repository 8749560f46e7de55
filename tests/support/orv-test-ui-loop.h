// A small event loop of the tests that implements IOrvUiThread: one thread that runs posted tasks,
// window messages and timer ticks in order, a queue whose fullness the test controls, and message
// boxes that are answered at once instead of shown.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "orv-ui-thread.h"

class CTestUiLoop : public IOrvUiThread {
    // Runs fn under the loop's lock; its result. Defined before its users, which deduce its type.
    template <class F>
    auto Locked(F fn) {
        std::lock_guard<std::mutex> hold(m_mutex);
        return fn();
    }

public:
    // Starts the loop thread and installs the loop as the process-wide UI thread.
    CTestUiLoop() {
        m_thread = std::thread([this] { Loop(); });
        std::unique_lock<std::mutex> hold(m_mutex);
        m_cond.wait(hold, [this] { return m_bRunning; });
        m_pPrevious = OrvSetUiThread(this);
    }
    ~CTestUiLoop() override {
        OrvSetUiThread(m_pPrevious);
        Quit();
    }

    // Ends the loop: queued work is dropped (tasks deleted), waiting senders are released.
    void Quit() {
        Locked([&] { m_bQuit = true; });
        m_cond.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    // The next n posts report a full queue.
    void RefuseNextPosts(int n) {
        Locked([&] { m_nRefuse = n; });
    }
    // Number of timer ticks delivered so far.
    int Ticks() {
        return Locked([&] { return m_nTicks; });
    }
    // Runs fn on the loop thread and waits.
    template <class F>
    void RunOnLoop(F fn) {
        struct T : IOrvUiTask {
            F* p;
            void Run() override { (*p)(); }
        } task;
        task.p = &fn;
        Send(task);
    }

    OrvUiPostStatus Post(IOrvUiTask* pTask) override { return Enqueue(Item{pTask}); }
    bool Send(IOrvUiTask& task) override {
        if (IsUiThread()) {
            task.Run();
            return true;
        }
        bool bDone = false;
        std::unique_lock<std::mutex> hold(m_mutex);
        if (m_bQuit) {
            return false;
        }
        m_queue.push_back(Item{&task, nullptr, 0, 0, 0, &bDone});
        m_cond.notify_all();
        m_cond.wait(hold, [&] { return bDone || m_bQuit; });
        return bDone;
    }
    OrvUiPostStatus PostMessage(IOrvUiWindow* pWnd, unsigned nMsg, uintptr_t wParam,
                                intptr_t lParam) override {
        return pWnd ? Enqueue(Item{nullptr, pWnd, nMsg, wParam, lParam}) : enOrvUiClosed;
    }
    bool StartTimer(IOrvUiWindow* pWnd, unsigned nTimerId, unsigned nIntervalMs) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        if (!pWnd || m_bQuit) {
            return false;
        }
        const auto interval = std::chrono::milliseconds(nIntervalMs ? nIntervalMs : 1);
        m_timers[{pWnd, nTimerId}] = Timer{interval, Clock::now() + interval};
        m_cond.notify_all();
        return true;
    }
    bool StopTimer(IOrvUiWindow* pWnd, unsigned nTimerId) override {
        return Locked([&] { return m_timers.erase({pWnd, nTimerId}) > 0; });
    }
    void ForgetWindow(IOrvUiWindow* pWnd) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        std::erase_if(m_queue, [&](const Item& item) { return item.pWnd == pWnd; });
        std::erase_if(m_timers, [&](const auto& entry) { return entry.first.first == pWnd; });
    }
    bool IsUiThread() const override { return std::this_thread::get_id() == m_id; }
    bool PumpOne() override {
        std::unique_lock<std::mutex> hold(m_mutex);
        return RunOneLocked(hold);
    }
    int ShowMessageBox(const char*, const char*, unsigned) override { return 1; }

private:
    using Clock = std::chrono::steady_clock;
    struct Item {
        IOrvUiTask* pTask;
        IOrvUiWindow* pWnd = nullptr;
        unsigned nMsg = 0;
        uintptr_t wParam = 0;
        intptr_t lParam = 0;
        bool* pbDone = nullptr;  // a send: the sender waits for it; the task is not owned
    };
    struct Timer {
        std::chrono::milliseconds interval;
        Clock::time_point due;
    };

    OrvUiPostStatus Enqueue(const Item& item) {
        std::lock_guard<std::mutex> hold(m_mutex);
        if (m_bQuit) {
            return enOrvUiClosed;
        }
        if (m_nRefuse > 0) {
            --m_nRefuse;
            return enOrvUiQueueFull;
        }
        m_queue.push_back(item);
        m_cond.notify_all();
        return enOrvUiPosted;
    }

    // Runs the first queued item, else the first due timer; the lock is released meanwhile.
    bool RunOneLocked(std::unique_lock<std::mutex>& hold) {
        if (!m_queue.empty()) {
            Item item = m_queue.front();
            m_queue.pop_front();
            hold.unlock();
            if (item.pTask) {
                item.pTask->Run();
                if (!item.pbDone) {
                    delete item.pTask;
                }
            } else {
                item.pWnd->OnMessage(item.nMsg, item.wParam, item.lParam);
            }
            hold.lock();
            if (item.pbDone) {
                *item.pbDone = true;
                m_cond.notify_all();
            }
            return true;
        }
        const auto now = Clock::now();
        for (auto& [key, timer] : m_timers) {
            if (timer.due <= now) {
                timer.due = now + timer.interval;  // a late timer fires once
                const auto [pWnd, nId] = key;
                ++m_nTicks;
                hold.unlock();
                pWnd->OnTimer(nId);
                hold.lock();
                return true;
            }
        }
        return false;
    }

    void Loop() {
        std::unique_lock<std::mutex> hold(m_mutex);
        m_id = std::this_thread::get_id();
        m_bRunning = true;
        m_cond.notify_all();
        while (!m_bQuit) {
            if (RunOneLocked(hold)) {
                continue;
            }
            auto due = Clock::now() + std::chrono::milliseconds(50);
            for (auto& entry : m_timers) {
                due = std::min(due, entry.second.due);
            }
            m_cond.wait_until(hold, due);
        }
        for (Item& item : m_queue) {
            if (item.pTask && !item.pbDone) {
                delete item.pTask;
            }
        }
        m_queue.clear();
        m_cond.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<Item> m_queue;
    std::map<std::pair<IOrvUiWindow*, unsigned>, Timer> m_timers;
    std::thread m_thread;
    std::thread::id m_id;
    bool m_bRunning = false;
    bool m_bQuit = false;
    int m_nRefuse = 0;
    int m_nTicks = 0;
    IOrvUiThread* m_pPrevious = nullptr;
};
