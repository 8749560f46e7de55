// The library's UI-thread services (IOrvUiThread) over Qt's event loop.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <map>
#include <mutex>

#include "orv-ui-thread.h"
#include "owner-call-queue.h"

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
    struct CTimer {
        unsigned nIntervalMs = 1;
        Clock::time_point due;
    };
    using TimerKey = std::pair<IOrvUiWindow*, unsigned>;

    // The window's epoch, bumped by ForgetWindow.
    uint64_t EpochOf(IOrvUiWindow* pWnd) const;
    // Delivers one due timer tick; false when none is due.
    bool RunOneTimer();
    // Arms the Qt timer for the earliest due tick (UI thread).
    void ArmTimer();

    mutable std::mutex m_lock;  // guards the timers and the window epochs
    std::map<TimerKey, CTimer> m_timers;
    std::map<IOrvUiWindow*, uint64_t> m_epochs;  // bumped by ForgetWindow
    // Tasks, sends and window messages in one FIFO; woken by an event posted to this object.
    COwnerCallQueue m_queue;
    QTimer m_tickTimer;  // single-shot, armed for the earliest due tick
};
