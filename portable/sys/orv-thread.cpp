// COrvThread: start, the thread body, waits.
#include "orv-thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "orv-result.h"
#include "orv-thread-os.h"
#include "orv-trace.h"
#include "orv-ui-thread.h"

namespace {
thread_local int t_nCrashGuard = 0;
std::atomic<OrvThreadStartHook> s_pfnStartHook{nullptr};
}  // namespace

OrvThreadStartHook OrvSetThreadStartHook(OrvThreadStartHook pfn) {
    s_pfnStartHook.store(pfn);
    return pfn;
}

int OrvGetCrashGuardCount() {
    return t_nCrashGuard;
}

void OrvYield() {
    OrvOsYield();
}

// The handle: shared by the object and its running thread, so that either may let go first.
struct COrvThread::State {
    std::mutex mutex;
    std::condition_variable cond;
    COrvThread* pThread = nullptr;
    int64_t nNumber = 0;
    int nOsId = 0;
    bool bNumbered = false;  // the thread has its number and waits for bResumed
    bool bResumed = false;
    bool bDone = false;  // the thread no longer touches the object
    int nExitCode = 0;
    std::atomic<int> nRefs{2};

    void Release() {
        if (nRefs.fetch_sub(1) == 1) {
            delete this;
        }
    }
};

struct COrvThread::Guard {
    std::mutex mutex;
};

COrvThread::COrvThread() : m_pGuard(new (std::nothrow) Guard) {}

COrvThread::~COrvThread() {
    Wait();
    delete m_pGuard;
}

bool COrvThread::Run(int& nCode, COrvStringA& strError) {
    ASSERT(!"COrvThread::Run must be overridden");
    nCode = enNetBadRequest;
    strError = "COrvThread::Run is not implemented";
    return false;
}

int64_t COrvThread::GetThreadNumber() const {
    std::lock_guard<std::mutex> hold(m_pGuard->mutex);
    return m_nThreadNumber;
}

bool COrvThread::IsFinished() const {
    std::lock_guard<std::mutex> hold(m_pGuard->mutex);
    return m_bFinished;
}

bool COrvThread::HasHandle() const {
    std::lock_guard<std::mutex> hold(m_pGuard->mutex);
    return m_pState != nullptr;
}

int COrvThread::GetExitCode() const {
    std::lock_guard<std::mutex> hold(m_pGuard->mutex);
    if (!m_pState) {
        return 0;
    }
    std::lock_guard<std::mutex> holdState(m_pState->mutex);
    return m_pState->nExitCode;
}

void COrvThread::ReleaseHandleLocked() {
    if (m_pState) {
        m_pState->Release();
        m_pState = nullptr;
    }
}

void COrvThread::CloseHandle() {
    std::lock_guard<std::mutex> hold(m_pGuard->mutex);
    ReleaseHandleLocked();
}

bool COrvThread::Start(int& nCode, COrvStringA& strError) {
    nCode = enNetOk;
    strError.Empty();
    if (!m_pGuard) {
        nCode = enNetNoMemory;
        strError = "CreateThread: cannot create thread";
        return false;
    }
    std::unique_lock<std::mutex> hold(m_pGuard->mutex);
    if (m_pState && !m_bFinished) {
        strError.Format("CreateThread: thread has started already: %lld",
                        static_cast<long long>(m_nThreadNumber));
        SOFTASSERT(!"thread has started already");
        nCode = enNetBadRequest;
        return false;
    }
    ReleaseHandleLocked();  // the handle of a finished run
    m_bFinished = false;
    m_nThreadNumber = 0;

    State* pState = new (std::nothrow) State;
    if (!pState) {
        nCode = enNetBadRequest;
        strError = "CreateThread: cannot create thread";
        return false;
    }
    pState->pThread = this;
    if (!OrvOsStartThread(&COrvThread::Body, pState)) {
        delete pState;
        nCode = enNetBadRequest;
        strError = "CreateThread: cannot create thread";
        return false;
    }
    m_pState = pState;

    // The new thread takes its number and then waits, as a thread created suspended does, until
    // its priority is set.
    std::unique_lock<std::mutex> holdState(pState->mutex);
    pState->cond.wait(holdState, [pState] { return pState->bNumbered; });
    m_nThreadNumber = pState->nNumber;
    if (m_nPriority != 0 && !OrvOsSetThreadPriority(pState->nOsId, m_nPriority)) {
        strError = "CreateThread: cannot set thread priority";
    }
    pState->bResumed = true;
    holdState.unlock();
    pState->cond.notify_all();
    return true;
}

bool COrvThread::Start(COrvStringA& strError) {
    int nCode;
    return Start(nCode, strError);
}

void COrvThread::Body(void* pArg) {
    State* pState = static_cast<State*>(pArg);
    {
        std::unique_lock<std::mutex> hold(pState->mutex);
        pState->nNumber = OrvGetThreadNumber();  // a new thread: a fresh number
        pState->nOsId = OrvOsThreadId();
        pState->bNumbered = true;
        pState->cond.notify_all();
        pState->cond.wait(hold, [pState] { return pState->bResumed; });
    }
    COrvThread* pThread = pState->pThread;

    if (const OrvThreadStartHook pfnHook = s_pfnStartHook.load())
        pfnHook();
    ++t_nCrashGuard;
    int nCode = enNetOk;
    COrvStringA strError;
    const bool bOk = pThread->Run(nCode, strError);
    --t_nCrashGuard;
    const int nExit = bOk ? 0 : 1;
    {
        std::lock_guard<std::mutex> hold(pState->mutex);
        pState->nExitCode = nExit;
    }

    if (pThread->m_bDeleteWhenDone) {
        pThread->CloseHandle();
        delete pThread;
    } else {
        std::lock_guard<std::mutex> hold(pThread->m_pGuard->mutex);
        pThread->m_nThreadNumber = 0;
        if (pThread->m_bCloseWhenDone) {
            pThread->ReleaseHandleLocked();
        } else {
            pThread->m_bFinished = true;
        }
    }
    // From here on the object may be gone: only the state is touched.
    {
        std::lock_guard<std::mutex> hold(pState->mutex);
        pState->bDone = true;
    }
    pState->cond.notify_all();
    pState->Release();
}

COrvThread::State* COrvThread::AcquireForWait(const char* pszSelfWait, int nHard) {
    if (!m_pGuard) {
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(m_pGuard->mutex);
    if (!m_pState) {
        return nullptr;
    }
    if (m_pState->nNumber == OrvGetThreadNumber()) {
        OrvAssertFailed(__FILE__, __LINE__, 0, pszSelfWait, nHard);
        return nullptr;
    }
    m_pState->nRefs.fetch_add(1);
    return m_pState;
}

bool COrvThread::Wait() {
    State* pState = AcquireForWait("!\"COrvThread::Wait called by the thread itself\"", 0);
    if (!pState) {
        return true;
    }
    {
        std::unique_lock<std::mutex> hold(pState->mutex);
        pState->cond.wait(hold, [pState] { return pState->bDone; });
    }
    pState->Release();
    CloseHandle();
    return true;
}

bool COrvThread::WaitPumpingMessages() {
    State* pState =
        AcquireForWait("!\"COrvThread::WaitPumpingMessages called by the thread itself\"", 1);
    if (!pState) {
        return true;
    }
    for (;;) {
        IOrvUiThread* pUi = OrvGetUiThread();
        const bool bPumped = pUi && pUi->IsUiThread() && pUi->PumpOne();
        std::unique_lock<std::mutex> hold(pState->mutex);
        // After pending work ran, look again at once; otherwise sleep up to 10 ms.
        const auto wait = std::chrono::milliseconds(bPumped ? 0 : 10);
        if (pState->cond.wait_for(hold, wait, [pState] { return pState->bDone; })) {
            break;
        }
    }
    pState->Release();
    CloseHandle();
    return true;
}
