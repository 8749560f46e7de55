// Fuzz target: Punycode decoding of arbitrary bytes. What decodes must encode again and decode to
// the same text; host-name conversion of the same bytes fails cleanly or succeeds.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz-check.h"
#include "orv-punycode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 2048)
        return 0;
    const char* p = reinterpret_cast<const char*>(data);
    const int n = static_cast<int>(size);
    COrvStringA decoded;
    COrvError err;
    if (OrvPunycodeDecode(p, n, decoded, err)) {
        COrvStringA encoded, again;
        COrvError err2;
        Check(OrvPunycodeEncode(decoded.GetString(), decoded.GetLength(), encoded, err2));
        Check(OrvPunycodeDecode(encoded.GetString(), encoded.GetLength(), again, err2));
        Check(again.GetLength() == decoded.GetLength() &&
              memcmp(again.GetString(), decoded.GetString(),
                     static_cast<size_t>(decoded.GetLength())) == 0);
    } else {
        Check(err.Failed() && decoded.IsEmpty());
    }

    // Host names: both directions run over the bytes; a failure leaves the output empty. (No
    // round trip here: an "xn--" label may decode to ASCII text that itself starts with "xn--".)
    COrvStringA host;
    COrvError err3;
    if (!OrvHostToUnicode(p, n, host, err3))
        Check(host.IsEmpty() && err3.Failed());
    COrvError err4;
    if (!OrvHostToAscii(p, n, host, err4))
        Check(host.IsEmpty() && err4.Failed());
    return 0;
}
