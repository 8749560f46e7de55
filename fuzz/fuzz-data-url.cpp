// Fuzz target: "data:" URLs, with the prefix forced on half of the inputs. Checks that a failure
// leaves every output empty with a text, and that a success gives no more data bytes than the
// input holds.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz-check.h"
#include "orv-url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 8192)
        return 0;
    std::string in(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1)
        in = "data:" + in;
    COrvStringA type, out;
    COrvArray<COrvDataUrlParam> params;
    COrvError err;
    if (!OrvParseDataUrl(in.data(), static_cast<int>(in.size()), type, params, out, err)) {
        Check(err.Failed() && !err.Text().IsEmpty());
        Check(type.IsEmpty() && out.IsEmpty() && params.GetCount() == 0);
        return 0;
    }
    Check(!err.Failed());
    Check(out.GetLength() <= static_cast<int>(in.size()));
    Check(type.GetLength() + 5 <= static_cast<int>(in.size()));
    for (size_t i = 0; i < params.GetCount(); ++i)
        Check(params[i].strName.GetLength() < static_cast<int>(in.size()));
    return 0;
}
