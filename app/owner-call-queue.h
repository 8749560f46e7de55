// Running work on an owner thread and waiting for it: one FIFO queue of calls (the caller waits)
// and posted work (the caller does not), carried out in order on the thread that owns the queue.
// How the owner thread is woken is the holder's business (a posted event, a condition variable);
// the queue only calls the wake function and lets the owner run what is queued.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// A piece of work for the owner thread.
class IOwnerWork {
public:
    virtual ~IOwnerWork() = default;
    virtual void Run() = 0;
};

// The queue. Any thread calls, posts and detaches; the owner thread runs the items (RunOne).
// Detach releases every waiting caller with false, drops the posted work unrun and refuses new
// items; only calls made with bAfterDetach survive it and still run.
class COwnerCallQueue {
public:
    // wake is called, with the queue's lock held, when an item has been queued and no wake is
    // outstanding; the owner clears the outstanding wake with OwnerWoke before it runs the queue.
    // It must not call back into the queue. With bSpin, a waiting caller and a waiting owner
    // watch for the other side's answer a few tens of microseconds before they sleep. The thread
    // that constructs the queue is its owner until SetOwnerThread says otherwise.
    explicit COwnerCallQueue(std::function<void()> wake, bool bSpin = false);
    // Detaches; posted work still queued is deleted unrun.
    ~COwnerCallQueue();
    COwnerCallQueue(const COwnerCallQueue&) = delete;
    COwnerCallQueue& operator=(const COwnerCallQueue&) = delete;

    void SetOwnerThread(std::thread::id owner);
    bool IsOwnerThread() const;

    // Runs work on the owner thread and waits until it has returned; from the owner thread it
    // runs it at once. True once it has run; false, without running it, when the queue is
    // detached or becomes detached while the call waits in the queue (a call that the owner has
    // already taken runs to its end and returns true). With bAfterDetach the call is neither
    // refused nor released by Detach. Any thread.
    bool Call(IOwnerWork& work, bool bAfterDetach = false);
    // Queues work that the owner runs and then deletes; no one waits for it. Takes pWork; once
    // detached, returns false and leaves pWork with the caller. Any thread.
    bool Post(std::unique_ptr<IOwnerWork>& pWork);
    // Calls the wake function unless a wake is outstanding or the queue is detached (the owner
    // has something besides the queue to look at). Any thread.
    void Wake();

    // Clears the outstanding wake: items queued from now on wake the owner again. Owner thread.
    void OwnerWoke();
    // Runs the first queued item; false when the queue was empty. beforeRun, when given, is
    // called once the item has been taken from the queue and before it runs: what another
    // thread handed over by other means before it queued the item is there to be seen then,
    // which is not so for a look taken before RunOne. Owner thread.
    bool RunOne(const std::function<void()>& beforeRun = nullptr);
    // Wakes the owner again when items are left (after a drain that stopped early). Owner thread.
    void RewakeIfPending();
    // Whether items are queued; never blocks. A hint for the owner's loop.
    bool HasPending() const { return m_nQueued.load(std::memory_order_acquire) > 0; }
    // Waits up to linger for an item to arrive (spinning first with bSpin); true once one is
    // queued, false after linger or once detached. Owner thread.
    bool WaitForWork(std::chrono::microseconds linger);

    // Detaches: releases the waiting callers, deletes the posted work unrun and refuses new
    // items. Repeated calls do nothing. Any thread.
    void Detach();
    bool IsDetached() const;

private:
    enum : int { kWaiting = 0, kRan = 1, kDropped = 2 };
    struct CEntry {
        IOwnerWork* pWork = nullptr;
        std::atomic<int>* pnState = nullptr;  // the waiting caller's state; null for posted work
        bool bAfterDetach = false;
    };
    // Queues an entry and wakes the owner. Caller holds m_lock.
    void QueueLocked(const CEntry& entry);
    void WakeLocked();

    const std::function<void()> m_wake;
    const bool m_bSpin;
    mutable std::mutex m_lock;
    std::condition_variable m_done;     // a call has been carried out or released
    std::condition_variable m_arrived;  // an item was queued, or the queue was detached
    std::deque<CEntry> m_queue;
    std::atomic<int> m_nQueued{0};  // m_queue's size, for looking without the lock
    std::thread::id m_owner;        // guarded by m_lock
    bool m_bWakeOutstanding = false;
    bool m_bDetached = false;
};
