// A small event loop of the tests that implements IOrvUiThread: one thread that runs posted tasks,
// window messages and timer ticks in order, a queue whose fullness the test controls, and message
// boxes that are recorded instead of shown.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orv-ui-thread.h"

class CTestUiLoop : public IOrvUiThread {
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
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_bQuit = true;
        }
        m_cond.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    // The next n posts report a full queue.
    void RefuseNextPosts(int n) {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_nRefuse = n;
    }
    int RefusedPosts() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_nRefused;
    }
    // Number of timer ticks delivered so far.
    int Ticks() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_nTicks;
    }
    std::vector<std::pair<std::string, std::string>> Boxes() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_boxes;
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

    OrvUiPostStatus Post(IOrvUiTask* pTask) override {
        return Enqueue(Item{pTask, nullptr, 0, 0, 0, nullptr});
    }
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
        if (!pWnd) {
            return enOrvUiClosed;
        }
        return Enqueue(Item{nullptr, pWnd, nMsg, wParam, lParam, nullptr});
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
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_timers.erase({pWnd, nTimerId}) > 0;
    }
    void ForgetWindow(IOrvUiWindow* pWnd) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            it = it->pWnd == pWnd ? m_queue.erase(it) : it + 1;
        }
        for (auto it = m_timers.begin(); it != m_timers.end();) {
            it = it->first.first == pWnd ? m_timers.erase(it) : std::next(it);
        }
    }
    bool IsUiThread() const override { return std::this_thread::get_id() == m_id; }
    bool PumpOne() override {
        std::unique_lock<std::mutex> hold(m_mutex);
        return RunOneLocked(hold);
    }
    int ShowMessageBox(const char* pszTitle, const char* pszMessage, unsigned) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_boxes.emplace_back(pszTitle, pszMessage);
        return 1;
    }

private:
    using Clock = std::chrono::steady_clock;
    struct Item {
        IOrvUiTask* pTask;
        IOrvUiWindow* pWnd;
        unsigned nMsg;
        uintptr_t wParam;
        intptr_t lParam;
        bool* pbDone;  // a send: the sender waits for it; the task is not owned
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
            ++m_nRefused;
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
                if (entry.second.due < due) {
                    due = entry.second.due;
                }
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
    std::vector<std::pair<std::string, std::string>> m_boxes;
    std::thread m_thread;
    std::thread::id m_id;
    bool m_bRunning = false;
    bool m_bQuit = false;
    int m_nRefuse = 0;
    int m_nRefused = 0;
    int m_nTicks = 0;
    IOrvUiThread* m_pPrevious = nullptr;
};
