#include "owner-call-queue.h"

#include <sched.h>

#include <utility>
#include <vector>

namespace {

// A round trip between two threads that both run takes a few microseconds, far less than putting
// a thread to sleep and waking it; both sides watch for the other's answer this long first.
constexpr auto kSpin = std::chrono::microseconds(40);

// Watches pred without the lock for at most kSpin; true once it holds. Between two looks the
// thread yields its core rather than spinning on it: when the machine has no idle core, the other
// side gets to run at once instead of after a sleep and a wake-up, and with an idle core a yield
// returns at once.
template <class Pred>
bool Spin(Pred pred) {
    const auto end = std::chrono::steady_clock::now() + kSpin;
    do {
        for (int i = 0; i < 8; ++i) {
            if (pred()) {
                return true;
            }
            sched_yield();
        }
    } while (std::chrono::steady_clock::now() < end);
    return pred();
}

}  // namespace

COwnerCallQueue::COwnerCallQueue(std::function<void()> wake, bool bSpin)
    : m_wake(std::move(wake)), m_bSpin(bSpin), m_owner(std::this_thread::get_id()) {}

COwnerCallQueue::~COwnerCallQueue() {
    Detach();
}

void COwnerCallQueue::SetOwnerThread(std::thread::id owner) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_owner = owner;
}

bool COwnerCallQueue::IsOwnerThread() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_owner == std::this_thread::get_id();
}

void COwnerCallQueue::WakeLocked() {
    if (!m_bWakeOutstanding) {
        m_bWakeOutstanding = true;
        m_wake();
    }
}

void COwnerCallQueue::QueueLocked(const CEntry& entry) {
    m_queue.push_back(entry);
    m_nQueued.store(static_cast<int>(m_queue.size()), std::memory_order_release);
    WakeLocked();
    m_arrived.notify_one();
}

bool COwnerCallQueue::Call(IOwnerWork& work, bool bAfterDetach) {
    std::unique_lock<std::mutex> guard(m_lock);
    if (m_bDetached && !bAfterDetach) {
        return false;
    }
    if (m_owner == std::this_thread::get_id()) {
        guard.unlock();
        work.Run();
        return true;
    }
    // The state lives on this stack: RunOne sets it under the lock, and Detach takes the entry
    // out of the queue under the lock, so nothing touches it once this call has returned.
    std::atomic<int> nState{kWaiting};
    CEntry entry;
    entry.pWork = &work;
    entry.pnState = &nState;
    entry.bAfterDetach = bAfterDetach;
    QueueLocked(entry);
    guard.unlock();
    if (m_bSpin && Spin([&] { return nState.load(std::memory_order_acquire) != kWaiting; })) {
        return nState.load() == kRan;
    }
    guard.lock();
    m_done.wait(guard, [&] { return nState.load() != kWaiting; });
    return nState.load() == kRan;
}

bool COwnerCallQueue::Post(std::unique_ptr<IOwnerWork>& pWork) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bDetached) {
        return false;
    }
    CEntry entry;
    entry.pWork = pWork.release();
    QueueLocked(entry);
    return true;
}

void COwnerCallQueue::Wake() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_bDetached) {
        WakeLocked();
    }
}

void COwnerCallQueue::OwnerWoke() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bWakeOutstanding = false;
}

void COwnerCallQueue::RewakeIfPending() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_queue.empty()) {
        WakeLocked();
    }
}

bool COwnerCallQueue::RunOne(const std::function<void()>& beforeRun) {
    CEntry entry;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_queue.empty()) {
            return false;
        }
        entry = m_queue.front();
        m_queue.pop_front();
        m_nQueued.store(static_cast<int>(m_queue.size()), std::memory_order_release);
    }
    if (beforeRun) {
        beforeRun();
    }
    // A waiting caller keeps its work alive; the owner may detach the queue inside the work.
    entry.pWork->Run();
    if (entry.pnState == nullptr) {
        delete entry.pWork;
        return true;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        entry.pnState->store(kRan, std::memory_order_release);
    }
    m_done.notify_all();
    return true;
}

bool COwnerCallQueue::WaitForWork(std::chrono::microseconds linger) {
    if (m_bSpin && Spin([&] { return HasPending(); })) {
        return true;
    }
    std::unique_lock<std::mutex> guard(m_lock);
    m_arrived.wait_for(guard, linger, [&] { return !m_queue.empty() || m_bDetached; });
    return !m_queue.empty();
}

void COwnerCallQueue::Detach() {
    std::vector<IOwnerWork*> dropped;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_bDetached) {
            return;
        }
        m_bDetached = true;
        std::deque<CEntry> kept;
        for (const CEntry& entry : m_queue) {
            if (entry.bAfterDetach) {
                kept.push_back(entry);
            } else if (entry.pnState != nullptr) {
                entry.pnState->store(kDropped, std::memory_order_release);
            } else {
                dropped.push_back(entry.pWork);
            }
        }
        m_queue.swap(kept);
        m_nQueued.store(static_cast<int>(m_queue.size()), std::memory_order_release);
    }
    m_done.notify_all();
    m_arrived.notify_all();
    // posted work may post or call again from its destructor: deleted outside the lock
    for (IOwnerWork* pWork : dropped) {
        delete pWork;
    }
}

bool COwnerCallQueue::IsDetached() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bDetached;
}
