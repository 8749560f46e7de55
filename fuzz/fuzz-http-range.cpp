// Feeds arbitrary text to the Content-Range parser and checks the order of what it accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "orv-http-range.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string text(reinterpret_cast<const char*>(pData), nSize);
    int64_t nFrom = -7;
    int64_t nTo = -7;
    int64_t nTotal = -7;
    COrvError err;
    if (OrvHttpParseContentRange(text.c_str(), nFrom, nTo, nTotal, err)) {
        if (!(0 <= nFrom && nFrom <= nTo && nTo < nTotal))
            abort();
    } else if (nFrom != -7 || err.Text().IsEmpty()) {
        abort();
    }
    return 0;
}
