// IOrvTransferObserver: what a transfer reports to its caller and asks it (log lines, progress,
// whether to stop). Sockets, the HTTP client and the uploads call it; none of them owns it.
#pragma once

#include <cstdint>

#include "orv-string.h"

class IOrvTransferObserver {
public:
    // Slot 0. Observers are owned by their callers; deleting through the interface is allowed.
    virtual ~IOrvTransferObserver() = default;

    // Slot 1. Progress of a transfer: nPosition is the bytes done so far (-1: the transfer is
    // starting), nExtra a caller-defined figure (0 when unused). Returns false to stop the
    // transfer; nCode and strError then say why (the caller reports them as its failure). Called
    // on the transferring thread.
    virtual bool OnProgress(int64_t nPosition, int nExtra, int& nCode, COrvStringA& strError) = 0;

    // Slot 2. One diagnostic line at nLevel (0 always, 3 notice, 4 detail). Transferring thread.
    virtual void OnLog(int nLevel, const char* pszText) = 0;

    // Slot 3. The transfer has ended with nCode (enNetOk on success) and pszText. The default does
    // nothing; no layer of the network stack is required to call it.
    virtual void OnFinished(int nCode, const char* pszText) {
        (void)nCode;
        (void)pszText;
    }

    // Slot 4. Asked between the steps of a blocking operation: returns true when the transfer must
    // stop, with nCode and strError saying why. Transferring thread; must not block.
    virtual bool ShouldAbort(int& nCode, COrvStringA& strError) = 0;

    // Whether OnProgress is called after each send (set by the caller before the transfer).
    unsigned char m_bProgressEnabled = 0;
    // Bytes sent so far; the socket advances it after every successful send.
    int64_t m_nBytesSent = 0;
};
