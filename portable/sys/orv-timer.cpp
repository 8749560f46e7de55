// The checks of COrvWaitableTimer that do not depend on the system.
#include "orv-timer.h"
#include "orv-result.h"

bool COrvWaitableTimer::CheckCreated(const char* pszWhat, int& nCode, COrvStringA& strError) const {
    if (m_fd >= 0) {
        return true;
    }
    nCode = enNetBadRequest;
    strError.Format("cannot %s waitable timer: waitable timer is not created", pszWhat);
    return false;
}
