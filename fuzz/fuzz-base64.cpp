// Fuzz target: Base64 (both alphabets) and Base32 decoding of arbitrary bytes. What decodes must
// encode and decode to the same bytes; a failure leaves the output untouched; any bytes encode
// and decode back unchanged.
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "fuzz-check.h"
#include "orv-string-util.h"

namespace {

bool Same(const COrvStringA& a, const COrvStringA& b) {
    return a.GetLength() == b.GetLength() &&
           memcmp(a.GetString(), b.GetString(), static_cast<size_t>(a.GetLength())) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    const char* p = reinterpret_cast<const char*>(data);
    const int n = static_cast<int>(size);
    const COrvStringA raw(p, n);
    for (bool bUrl : {false, true}) {
        COrvStringA out("untouched"), again;
        if (OrvBase64Decode(p, n, bUrl, out)) {
            const COrvStringA enc = OrvBase64Encode(out.GetString(), out.GetLength(), bUrl);
            Check(OrvBase64Decode(enc.GetString(), enc.GetLength(), bUrl, again) &&
                  Same(again, out));
        } else {
            Check(strcmp(out.GetString(), "untouched") == 0);
        }
        const COrvStringA enc = OrvBase64Encode(p, n, bUrl);
        Check(OrvBase64Decode(enc.GetString(), enc.GetLength(), bUrl, again) && Same(again, raw));
    }
    COrvStringA out("untouched"), again;
    if (OrvBase32Decode(p, n, out)) {
        const COrvStringA enc = OrvBase32Encode(out.GetString(), out.GetLength(), true);
        Check(OrvBase32Decode(enc.GetString(), enc.GetLength(), again) && Same(again, out));
    } else {
        Check(strcmp(out.GetString(), "untouched") == 0);
    }
    const COrvStringA enc = OrvBase32Encode(p, n, size % 2 == 0);
    Check(OrvBase32Decode(enc.GetString(), enc.GetLength(), again) && Same(again, raw));
    return 0;
}
