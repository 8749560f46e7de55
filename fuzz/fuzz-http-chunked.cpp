// Feeds arbitrary bytes to the chunked body reader with a small limit, and checks that a body
// read whole stays below it and that failures carry a text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "orv-http-body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 1)
        return 0;
    COrvMemorySource source(pData + 1, static_cast<int>(nSize - 1), 1 + pData[0] % 32);
    COrvHttpReader reader(&source, 64);
    COrvHttpTxn txn;
    txn.m_n64RecvBodyLen = kOrvHttpLenChunked;
    COrvError err;
    if (OrvHttpRecvBody(reader, txn, err, 4096)) {
        if (txn.m_sBody.GetLength() >= 4096 || !txn.m_bBodyComplete ||
            txn.m_sBody.GetLength() > static_cast<int>(nSize))
            abort();
    } else if (!err.Failed() || err.Text().IsEmpty() || !txn.m_sBody.IsEmpty()) {
        abort();
    }
    return 0;
}
