// Worker threads: COrvThread with its start / finish / self-delete life cycle, the thread numbers
// given at start, waits (plain and message-pumping) and OrvYield.
#pragma once

#include <cstdint>

#include "orv-string.h"

// The base class of worker threads. A derived class overrides Run; Start runs it on a new thread.
//
// Life cycle: not started (no handle) -> running (handle, thread number) -> finished (Run
// returned; the handle stays until Wait or CloseHandle) or gone (with m_bCloseWhenDone the thread
// drops its handle itself; with m_bDeleteWhenDone it also deletes the object). Starting again is
// allowed once it finished.
class COrvThread {
public:
    COrvThread();
    // Waits for a running thread first (a thread never outlives its object, except the
    // self-deleting kind, which deletes the object itself).
    virtual ~COrvThread();
    COrvThread(const COrvThread&) = delete;
    COrvThread& operator=(const COrvThread&) = delete;

    // The thread's work, on the new thread. True on success; on failure nCode and strError say
    // why. The base implementation reports a hard assertion and returns false.
    virtual bool Run(int& nCode, COrvStringA& strError);

    // Starts the thread. A thread that is still running fails with "CreateThread: thread has
    // started already: " + its number; a system failure with "CreateThread: cannot create
    // thread". On failure nCode is enNetBadRequest. The priority becomes a nice value relative to
    // the caller's (lowest +10, below normal +5, above normal -5, highest -10, idle 19, time
    // critical -20); a raise that needs privileges is applied as far as RLIMIT_NICE allows. When
    // none of it can be applied the priority is left as it was: Start still succeeds, with
    // "CreateThread: cannot set thread priority" in strError. Returns once the thread has its
    // number (GetThreadNumber). Any thread but its own.
    [[nodiscard]] bool Start(int& nCode, COrvStringA& strError);
    [[nodiscard]] bool Start(COrvStringA& strError);

    // Waits without limit for the thread to end and drops the handle. True when there is no handle
    // or the wait succeeded; called from the thread itself it reports a soft assertion and
    // returns true at once.
    bool Wait();

    // Wait for the UI thread: keeps running the UI thread's pending work (IOrvUiThread::PumpOne)
    // while it waits, in steps of at most 10 ms. True once the thread ended (or there was no
    // handle). From the thread itself: hard assertion, true.
    bool WaitPumpingMessages();

    // Drops the handle without waiting; the thread runs on. Any thread.
    void CloseHandle();

    // Number given to the thread at start; 0 before the first start and after the thread ended.
    int64_t GetThreadNumber() const;
    // Whether Run returned and the object stayed (the handle is still held).
    bool IsFinished() const;
    // Whether a handle is held (started and neither waited for nor closed).
    bool HasHandle() const;
    // Run's result of the last finished run: 0 success, 1 failure.
    int GetExitCode() const;

    // Settings read at Start.
    int m_nPriority = 0;             // Windows-style priority (-15..15); 0 leaves it unchanged
    bool m_bKeepAwake = false;       // recorded; Linux offers no unprivileged equivalent
    bool m_bUseOle = false;          // recorded; there is no OLE on Linux
    bool m_bCloseWhenDone = false;   // the thread drops its own handle when Run returns
    bool m_bDeleteWhenDone = false;  // the thread drops its handle and deletes the object

private:
    struct State;
    static void Body(void* pArg);
    void ReleaseHandleLocked();
    // The running thread's state with a reference held for a wait, or null when there is nothing
    // to wait for (no handle, or called by the thread itself: an assertion with pszSelfWait).
    State* AcquireForWait(const char* pszSelfWait, int nHard);

    State* m_pState = nullptr;  // the handle: shared with the running thread
    int64_t m_nThreadNumber = 0;
    bool m_bFinished = false;
    struct Guard;
    Guard* m_pGuard;  // guards the fields above against the thread's own epilogue
};

// Gives up the processor to another ready thread.
void OrvYield();

// The calling thread's crash-guard counter: raised while a COrvThread body runs; the crash handler
// reads it.
int OrvGetCrashGuardCount();

// Called on each COrvThread's new thread before Run (null: nothing). The crash handlers use it to
// give every worker thread an alternate signal stack, so that its stack overflow is reported too.
// Set once, before threads start; returns what it stored.
using OrvThreadStartHook = void (*)();
OrvThreadStartHook OrvSetThreadStartHook(OrvThreadStartHook pfn);
