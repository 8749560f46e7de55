// Feeds arbitrary bytes to the response header reader, in slices whose size comes from the first
// byte, and checks what a successful read must satisfy.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "orv-http-wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 1)
        return 0;
    COrvMemorySource source(pData + 1, static_cast<int>(nSize - 1), 1 + pData[0] % 64);
    COrvHttpReader reader(&source, 128);
    COrvHttpTxn txn;
    COrvError err;
    if (OrvHttpRecvResponseHeader(reader, txn, err)) {
        if (err.Failed() || txn.m_responseHeaders.GetCount() >= 100 ||
            txn.m_n64RecvBodyLen < kOrvHttpLenChunked)
            abort();
    } else if (!err.Failed() || err.Text().IsEmpty()) {
        abort();
    }
    // The same bytes as a request of the server side.
    COrvMemorySource source2(pData + 1, static_cast<int>(nSize - 1));
    COrvHttpReader reader2(&source2, 64);
    COrvHttpServerRequest req;
    COrvError err2;
    if (OrvHttpRecvRequestHeader(reader2, req, err2) && req.m_sMethod.IsEmpty())
        abort();
    return 0;
}
