// The library's UI-thread services (IOrvUiThread) over Qt's event loop.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "orv-ui-thread.h"

// One FIFO queue of tasks, sends and window messages, drained on the thread that created the
// object (the UI thread) whenever Qt's event loop runs; timers are kept here too, so that PumpOne
// can deliver a due tick. Create it on the UI thread after the QApplication, install it with
// OrvSetUiThread, and call Close (or destroy it) when the event loop has ended: from then on posts
// fail with enOrvUiClosed and every waiting Send is released with false.
class CQtUiThread : public QObject, public IOrvUiThread {
    Q_OBJECT
public:
    CQtUiThread();
    // Closes first; deletes queued tasks unrun. UI thread.
    ~CQtUiThread() override;

    // Ends the service: drops the queue (tasks deleted unrun), stops all timers, releases every
    // waiting Send with false. Repeated calls do nothing. Any thread.
    void Close();

    OrvUiPostStatus Post(IOrvUiTask* pTask) override;
    bool Send(IOrvUiTask& task) override;
    OrvUiPostStatus PostMessage(IOrvUiWindow* pWnd, unsigned nMsg, uintptr_t wParam,
                                intptr_t lParam) override;
    bool StartTimer(IOrvUiWindow* pWnd, unsigned nTimerId, unsigned nIntervalMs) override;
    bool StopTimer(IOrvUiWindow* pWnd, unsigned nTimerId) override;
    void ForgetWindow(IOrvUiWindow* pWnd) override;
    bool IsUiThread() const override;
    bool PumpOne() override;
    int ShowMessageBox(const char* pszTitle, const char* pszMessage, unsigned nStyle) override;

protected:
    bool event(QEvent* pEvent) override;

private:
    using Clock = std::chrono::steady_clock;
    struct CSendState;
    // One queued item: a posted task (owned), a send (not owned), or a window message.
    struct CItem {
        IOrvUiTask* pTask = nullptr;
        bool bOwned = false;
        std::shared_ptr<CSendState> pSend;
        IOrvUiWindow* pWnd = nullptr;
        uint64_t nEpoch = 0;  // the window's epoch when the message was posted
        unsigned nMsg = 0;
        uintptr_t wParam = 0;
        intptr_t lParam = 0;
    };
    struct CTimer {
        unsigned nIntervalMs = 1;
        Clock::time_point due;
    };
    using TimerKey = std::pair<IOrvUiWindow*, unsigned>;

    // Queues an item and wakes the loop; false when closed. Caller holds no lock.
    bool Enqueue(CItem&& item);
    // Runs the first queued item; false when the queue was empty.
    bool RunOneItem();
    // Delivers one due timer tick; false when none is due.
    bool RunOneTimer();
    // Arms the Qt timer for the earliest due tick (UI thread).
    void ArmTimer();
    void WakeLocked();

    const std::thread::id m_uiThread;
    mutable std::mutex m_lock;
    std::condition_variable m_sent;
    std::deque<CItem> m_queue;
    std::map<TimerKey, CTimer> m_timers;
    std::map<IOrvUiWindow*, uint64_t> m_epochs;  // bumped by ForgetWindow
    bool m_bClosed = false;
    bool m_bWakePosted = false;  // a wake event is on its way to the loop
    QTimer m_tickTimer;          // single-shot, armed for the earliest due tick
};
