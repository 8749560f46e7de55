// The installed UI thread, the safe message poster and the GUI-thread call dispatcher.
#include "orv-ui-thread.h"

#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "orv-coll.h"
#include "orv-lock.h"
#include "orv-result.h"
#include "orv-trace.h"

namespace {

std::atomic<IOrvUiThread*> s_pUi{nullptr};

// Pause between two attempts to post to a full queue.
constexpr auto kQueueFullRetry = std::chrono::seconds(1);

// Delivers a synchronous call on the UI thread.
class CCallTask : public IOrvUiTask {
public:
    explicit CCallTask(COrvGUIThreadCallable* pCallable) : m_pCallable(pCallable) {}
    void Run() override { m_bResult = m_pCallable->Run(); }
    bool Result() const { return m_bResult; }

private:
    COrvGUIThreadCallable* m_pCallable;
    bool m_bResult = false;
};

}  // namespace

IOrvUiThread* OrvSetUiThread(IOrvUiThread* pUi) {
    return s_pUi.exchange(pUi);
}

IOrvUiThread* OrvGetUiThread() {
    return s_pUi.load(std::memory_order_acquire);
}

bool OrvPostMessage(IOrvUiWindow* pWnd, unsigned nMsg, uintptr_t wParam, intptr_t lParam,
                    int& nCode, COrvStringA& strError) {
    if (pWnd == nullptr) {
        OrvLockLog("OrvPostMessage: REFUSE to post to NULL window: nMsg=%d\n",
                   static_cast<int>(nMsg));
        nCode = enNetBadRequest;
        strError.Format("OrvPostMessage: REFUSE to post to NULL window: nMsg=%d",
                        static_cast<int>(nMsg));
        return false;
    }
    for (;;) {
        IOrvUiThread* pUi = OrvGetUiThread();
        if (pUi == nullptr) {
            nCode = enNetNotReady;
            strError = "PostMessage: no UI thread";
            return false;
        }
        const OrvUiPostStatus status = pUi->PostMessage(pWnd, nMsg, wParam, lParam);
        if (status == enOrvUiPosted) {
            nCode = enNetOk;
            strError.Empty();
            return true;
        }
        if (status != enOrvUiQueueFull) {
            nCode = enNetNotReady;
            strError = "PostMessage: the UI thread's loop has ended";
            return false;
        }
        // The target's queue is full (error 1816): give it time to drain, then try again.
        std::this_thread::sleep_for(kQueueFullRetry);
    }
}

// ---------------------------------------------------------------------------------------------
// COrvGUIThreadCallDispatcher

struct COrvGUIThreadCallDispatcher::Impl {
    COrvCriticalSection lock{"COrvGUIThreadCallDispatcher"};
    COrvList<COrvGUIThreadCallable*> queue{10};
    std::atomic<int> nDraining{0};
};

COrvGUIThreadCallDispatcher::COrvGUIThreadCallDispatcher(unsigned nCallMsg, unsigned nTimerId)
    : m_nCallMsg(nCallMsg), m_nTimerId(nTimerId), m_pImpl(new (std::nothrow) Impl) {}

COrvGUIThreadCallDispatcher::~COrvGUIThreadCallDispatcher() {
    if (IOrvUiThread* pUi = OrvGetUiThread()) {
        pUi->ForgetWindow(this);
    }
    if (!m_pImpl) {
        return;
    }
    for (;;) {
        COrvGUIThreadCallable* pCallable = nullptr;
        {
            TvAutoCriticalSection hold(m_pImpl->lock);
            if (m_pImpl->queue.IsEmpty()) {
                break;
            }
            pCallable = m_pImpl->queue.RemoveHead();
        }
        delete pCallable;
    }
    delete m_pImpl;
}

bool COrvGUIThreadCallDispatcher::Call(COrvGUIThreadCallable* pCallable) {
    if (pCallable == nullptr) {
        SOFTASSERT(pCallable != nullptr);
        return false;
    }
    IOrvUiThread* pUi = OrvGetUiThread();
    ORV_ASSERT_TEXT(pUi != nullptr, "m_hWnd != NULL && ::IsWindow(m_hWnd)");
    bool bResult = false;
    if (pUi != nullptr) {
        CCallTask task(pCallable);
        if (pUi->Send(task)) {
            bResult = task.Result();
        }
    }
    delete pCallable;
    return bResult;
}

bool COrvGUIThreadCallDispatcher::Post(COrvGUIThreadCallable* pCallable) {
    if (pCallable == nullptr || m_pImpl == nullptr) {
        SOFTASSERT(pCallable != nullptr && m_pImpl != nullptr);
        delete pCallable;
        return false;
    }
    {
        TvAutoCriticalSection hold(m_pImpl->lock);
        if (m_pImpl->queue.AddTail(pCallable) == nullptr) {
            // Out of memory: the dispatcher owns the callable, so it goes.
            hold.Unlock();
            delete pCallable;
            return false;
        }
    }
    if (IOrvUiThread* pUi = OrvGetUiThread()) {
        pUi->StartTimer(this, m_nTimerId, 1);
    }
    return true;
}

int COrvGUIThreadCallDispatcher::GetQueuedCount() {
    if (!m_pImpl) {
        return 0;
    }
    TvAutoCriticalSection hold(m_pImpl->lock);
    return static_cast<int>(m_pImpl->queue.GetCount());
}

void COrvGUIThreadCallDispatcher::OnMessage(unsigned nMsg, uintptr_t /*wParam*/, intptr_t lParam) {
    if (nMsg != m_nCallMsg || lParam == 0) {
        return;
    }
    // A posted call message: the callable came with it, so it is deleted here.
    auto* pCallable = reinterpret_cast<COrvGUIThreadCallable*>(lParam);
    pCallable->Run();
    delete pCallable;
}

void COrvGUIThreadCallDispatcher::OnTimer(unsigned nTimerId) {
    if (nTimerId != m_nTimerId || m_pImpl == nullptr) {
        return;
    }
    if (m_pImpl->nDraining.fetch_add(1) != 0) {
        // A callable is running and this tick came from inside it: never re-enter.
        m_pImpl->nDraining.fetch_sub(1);
        return;
    }
    IOrvUiThread* pUi = OrvGetUiThread();
    if (pUi) {
        pUi->StopTimer(this, m_nTimerId);
    }
    COrvGUIThreadCallable* pCallable = nullptr;
    {
        TvAutoCriticalSection hold(m_pImpl->lock);
        if (!m_pImpl->queue.IsEmpty()) {
            pCallable = m_pImpl->queue.RemoveHead();
        }
    }
    if (pCallable) {
        // The dispatcher lock is not held here, so the callable may post more.
        pCallable->Run();
        delete pCallable;
        bool bMore;
        {
            TvAutoCriticalSection hold(m_pImpl->lock);
            bMore = !m_pImpl->queue.IsEmpty();
        }
        if (bMore && pUi) {
            pUi->StartTimer(this, m_nTimerId, 1);
        }
    }
    m_pImpl->nDraining.fetch_sub(1);
}
