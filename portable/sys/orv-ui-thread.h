// The user-interface thread as the library sees it.
//
// The library never talks to a toolkit. It declares IOrvUiThread, the few services it needs from
// the thread that runs the program's event loop (queue work to it, run work on it and wait, timers,
// "is this the UI thread", a message box), and the program installs one implementation over its
// own event loop with OrvSetUiThread (the window program over Qt, the tests over a small loop of
// their own). Windows in the library's sense are IOrvUiWindow objects: they receive posted
// messages and timer ticks on the UI thread.
//
// On top of that interface this header declares OrvPostMessage (the safe message poster) and
// COrvGUIThreadCallDispatcher (runs callables on the UI thread, synchronously or queued).
#pragma once

#include <cstdint>

#include "orv-string.h"

// A unit of work carried to the UI thread.
class IOrvUiTask {
public:
    virtual ~IOrvUiTask() = default;
    // Called once, on the UI thread.
    virtual void Run() = 0;
};

// A receiver of posted messages and timer ticks: what a window is to the library. Every member is
// called on the UI thread only, from the event loop (never from inside a Post call).
class IOrvUiWindow {
public:
    virtual ~IOrvUiWindow() = default;
    // A message posted with IOrvUiThread::PostMessage (or OrvPostMessage), in posting order.
    virtual void OnMessage(unsigned nMsg, uintptr_t wParam, intptr_t lParam) = 0;
    // A tick of the timer nTimerId started with IOrvUiThread::StartTimer for this window.
    virtual void OnTimer(unsigned nTimerId) = 0;
};

// Outcome of a post.
enum OrvUiPostStatus : int {
    enOrvUiPosted = 0,     // queued; the UI thread owns what was posted
    enOrvUiQueueFull = 1,  // the queue is full for now; nothing queued, the caller may retry later
    enOrvUiClosed = 2,     // the loop has ended (or never ran); nothing queued
};

// The services of the UI thread. Implementations are thread-safe: every member may be called from
// any thread unless its comment says otherwise.
class IOrvUiThread {
public:
    virtual ~IOrvUiThread() = default;

    // Queues pTask to run on the UI thread after everything queued before it. Never blocks, never
    // runs the task inside the call (not even on the UI thread). On enOrvUiPosted the UI thread
    // owns the task: it runs it once and deletes it, or deletes it unrun when the loop ends. On
    // any other result nothing was queued and the caller still owns pTask.
    virtual OrvUiPostStatus Post(IOrvUiTask* pTask) = 0;

    // Runs task.Run() on the UI thread and waits until it has returned. Called on the UI thread, it
    // runs the task directly. Returns true once the task has run; false, without running it, when
    // the loop has ended (a call waiting when the loop ends is released with false). Blocks for
    // as long as the UI thread takes to get to the task. The caller keeps ownership of task.
    virtual bool Send(IOrvUiTask& task) = 0;

    // Queues the message (nMsg, wParam, lParam) for pWnd->OnMessage on the UI thread, after every
    // message and task queued before it. Never blocks. pWnd must not be null (the implementation
    // returns enOrvUiClosed for it). Results as for Post; nothing is owned.
    virtual OrvUiPostStatus PostMessage(IOrvUiWindow* pWnd, unsigned nMsg, uintptr_t wParam,
                                        intptr_t lParam) = 0;

    // Starts, or restarts with a new interval, the periodic timer (pWnd, nTimerId): pWnd->OnTimer
    // (nTimerId) runs on the UI thread every nIntervalMs milliseconds (at least 1) until the timer
    // is stopped. Ticks do not pile up: a timer that is late fires once. Returns false when the
    // loop has ended or pWnd is null.
    virtual bool StartTimer(IOrvUiWindow* pWnd, unsigned nTimerId, unsigned nIntervalMs) = 0;

    // Stops the timer (pWnd, nTimerId). Returns false when no such timer runs. After a call on the
    // UI thread no further tick of it is delivered; from another thread at most a tick already
    // being delivered completes.
    virtual bool StopTimer(IOrvUiWindow* pWnd, unsigned nTimerId) = 0;

    // Drops every message queued for pWnd and stops its timers, so that nothing reaches it again.
    // A window calls it before it is destroyed. UI thread only.
    virtual void ForgetWindow(IOrvUiWindow* pWnd) = 0;

    // Whether the calling thread is the UI thread. Never blocks.
    virtual bool IsUiThread() const = 0;

    // Runs at most one pending message, task or due timer tick. Returns true when one ran, false
    // when nothing was pending. Never waits. UI thread only (message-pumping waits use it).
    virtual bool PumpOne() = 0;

    // Shows a modal message box with the UTF-8 title and message; nStyle carries the design's
    // message-box style bits (buttons, icon), which an implementation maps as far as it can.
    // Returns the button chosen (1 OK, 2 Cancel, 6 Yes, 7 No), 0 when no box could be shown.
    // Blocks until the box is dismissed; from another thread the box is shown by the UI thread.
    virtual int ShowMessageBox(const char* pszTitle, const char* pszMessage, unsigned nStyle) = 0;
};

// Installs the process-wide implementation (null removes it) and returns the previous one. The
// program installs it on the UI thread before other threads use it and removes it only after
// they stopped; the object must stay alive while installed. Any thread; never blocks.
IOrvUiThread* OrvSetUiThread(IOrvUiThread* pUi);
// The installed implementation, or null. Any thread; never blocks.
IOrvUiThread* OrvGetUiThread();

// The queue-full error code that OrvPostMessage retries on.
constexpr int kOrvErrorQueueFull = 1816;

// Posts (nMsg, wParam, lParam) to pWnd through the installed UI thread. A null pWnd logs
// "OrvPostMessage: REFUSE to post to NULL window: nMsg=%d\n" and fails with enNetBadRequest. A full
// queue is retried once a second until the post succeeds (so the call may block that long). A loop
// that has ended, or no installed UI thread, fails with enNetNotReady. Returns true when posted;
// on failure nCode and strError say why. Any thread.
bool OrvPostMessage(IOrvUiWindow* pWnd, unsigned nMsg, uintptr_t wParam, intptr_t lParam,
                    int& nCode, COrvStringA& strError);

// A callable handed to COrvGUIThreadCallDispatcher.
class COrvGUIThreadCallable {
public:
    virtual ~COrvGUIThreadCallable() = default;
    // Runs on the UI thread; the result is what Call returns.
    virtual bool Run() = 0;
};

// Runs callables on the UI thread: Call synchronously, Post queued, one queued callable per
// 1-millisecond timer tick, in posting order, never one inside another. The dispatcher lock is
// never held while a callable runs. Create and destroy it on the UI thread, after the UI thread
// implementation is installed.
class COrvGUIThreadCallDispatcher : public IOrvUiWindow {
public:
    // nCallMsg: the message number of synchronous calls; nTimerId: the id of its drain timer.
    COrvGUIThreadCallDispatcher(unsigned nCallMsg, unsigned nTimerId);
    // Stops the timer, forgets the window and deletes the callables still queued, unrun. UI thread.
    ~COrvGUIThreadCallDispatcher() override;
    COrvGUIThreadCallDispatcher(const COrvGUIThreadCallDispatcher&) = delete;
    COrvGUIThreadCallDispatcher& operator=(const COrvGUIThreadCallDispatcher&) = delete;

    // Runs pCallable->Run() on the UI thread (directly when called there), waits for it, deletes
    // the callable and returns its result. False (after a soft assertion when there is no UI
    // thread) when it could not run; the callable is deleted in every case. Any thread; blocks.
    bool Call(COrvGUIThreadCallable* pCallable);

    // Appends pCallable to the queue (the dispatcher owns it from now on) and starts the 1 ms drain
    // timer. Returns false only for a null callable. Never blocks beyond the dispatcher lock.
    // Any thread.
    bool Post(COrvGUIThreadCallable* pCallable);

    // Number of callables waiting in the queue. Any thread.
    int GetQueuedCount();

    // The window procedure: nCallMsg runs the callable in lParam. UI thread.
    void OnMessage(unsigned nMsg, uintptr_t wParam, intptr_t lParam) override;
    // A tick of the drain timer runs the first queued callable. UI thread.
    void OnTimer(unsigned nTimerId) override;

private:
    unsigned m_nCallMsg;
    unsigned m_nTimerId;
    struct Impl;  // the named lock, the queue and the draining counter
    Impl* m_pImpl;
};
