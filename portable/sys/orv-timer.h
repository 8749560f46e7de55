// COrvWaitableTimer: a manual-reset timer that other code can wait on, alone or together with
// other descriptors.
#pragma once

#include <cstdint>

#include "orv-string.h"
#include "orv-time.h"

// A manual-reset timer without a name: once its due time passes it stays signalled until it is
// set again or cancelled. Owns its descriptor; one object must not be used by two threads at once
// except that Wait may run while another thread calls Set or Cancel.
class COrvWaitableTimer {
public:
    COrvWaitableTimer() = default;
    ~COrvWaitableTimer();
    COrvWaitableTimer(const COrvWaitableTimer&) = delete;
    COrvWaitableTimer& operator=(const COrvWaitableTimer&) = delete;

    // Makes the timer (closing one made before), not signalled. False with the system's text.
    [[nodiscard]] bool Create(int& nCode, COrvStringA& strError);
    // Arms the timer for an absolute time (seconds since 1970, UTC); a due time already past
    // signals at once. Wakes a suspended system when the process may (else the timer still runs).
    [[nodiscard]] bool Set(OrvTime tDue, int& nCode, COrvStringA& strError);
    // Arms the timer nMilliseconds from now (negative counts as 0).
    [[nodiscard]] bool SetAfter(int64_t nMilliseconds, int& nCode, COrvStringA& strError);
    // Disarms the timer and clears the signalled state.
    [[nodiscard]] bool Cancel(int& nCode, COrvStringA& strError);
    // Waits up to nTimeoutMs (negative: without limit) for the signalled state; true when
    // signalled, false on time-out (nCode enNetTimeout) or failure. Blocks.
    [[nodiscard]] bool Wait(int nTimeoutMs, int& nCode, COrvStringA& strError);
    // Closes the descriptor. Every operation on a timer that was not made (or was closed) fails
    // with "cannot <operation> waitable timer: waitable timer is not created", enNetBadRequest.
    // Failures of the system calls give "cannot <operation> waitable timer: " + the system text.
    bool Close(int& nCode, COrvStringA& strError);
    // The descriptor to wait on together with others (readable while signalled), or -1.
    int GetDescriptor() const { return m_fd; }
    bool IsCreated() const { return m_fd >= 0; }

private:
    bool CheckCreated(const char* pszWhat, int& nCode, COrvStringA& strError) const;
    int m_fd = -1;
};
