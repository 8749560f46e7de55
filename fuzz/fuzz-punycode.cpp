// Fuzz target: Punycode decoding of arbitrary bytes. What decodes must encode again and decode to
// the same text; host names convert to ASCII and back to the same lower-case text.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "orv-punycode.h"

namespace {

void Check(bool b) {
    if (!b)
        abort();
}

}  // namespace

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

    COrvStringA unicode;
    COrvError err3;
    if (OrvHostToUnicode(p, n, unicode, err3)) {
        COrvStringA ascii;
        // Labels that decode to text holding no ASCII upper case convert back.
        if (OrvHostToAscii(unicode.GetString(), unicode.GetLength(), ascii, err3)) {
            COrvStringA round;
            Check(OrvHostToUnicode(ascii.GetString(), ascii.GetLength(), round, err3));
        }
    }
    return 0;
}
