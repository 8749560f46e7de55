// The helpers every transport step uses.
#include "orv-transport.h"

#include "orv-socket-os.h"

bool OrvTransportRecvExact(IOrvTransport& t, void* pBuf, int nLen, const char* pszEof,
                           COrvError& err) {
    unsigned char* p = static_cast<unsigned char*>(pBuf);
    while (nLen > 0) {
        int nGot = 0;
        if (!t.Recv(p, nLen, nGot, err))
            return false;
        if (nGot == 0)
            return err.Set(enNetConnection, pszEof);
        p += nGot;
        nLen -= nGot;
    }
    return true;
}

bool OrvTransportSendFlush(IOrvTransport& t, const void* pData, int nLen, COrvError& err) {
    return t.Send(pData, nLen, err) && t.Flush(err);
}

bool OrvTransportBeforeDeadline(int64_t nDeadlineMs, const char* pszStep, COrvError& err) {
    if (nDeadlineMs == 0 || OrvSocketNowMs() < nDeadlineMs)
        return true;
    return err.SetFormat(enNetConnection, "%s: connect time-out", pszStep);
}
