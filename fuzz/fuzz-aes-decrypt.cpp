// Fuzz target: arbitrary bytes as input of both AES password forms. Decryption either succeeds
// or fails with one of its texts and leaves the output untouched; what the repeatable form
// accepts encrypts back to the very same bytes; the random form never yields more bytes than it
// was given.
#include <cstdint>
#include <cstring>

#include "fuzz-check.h"
#include "orv-crypt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    const COrvStringA in(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const char* pszPassword = "fuzz";

    COrvStringA plain("untouched");
    COrvError err;
    if (OrvDecryptAesRandom32(in, pszPassword, plain, err)) {
        Check(plain.GetLength() < in.GetLength());
    } else {
        Check(err.Code() == enNetBadRequest && strcmp(plain.GetString(), "untouched") == 0);
        Check(err.Text().Find("OrvDecryptAesRandom32: string to decrypt too short: ") == 0 ||
              strcmp(err.Text().GetString(), "bad decryption password") == 0);
    }

    COrvStringA plain2("untouched");
    COrvError err2;
    if (OrvDecryptAesRepeatable(in, pszPassword, plain2, err2)) {
        COrvStringA again;
        Check(OrvEncryptAesRepeatable(plain2, pszPassword, again, err2) && again.Equals(in));
    } else {
        Check(err2.Code() == enNetBadRequest && strcmp(plain2.GetString(), "untouched") == 0);
        Check(err2.Text().Find("OrvDecryptAes: ") == 0);
    }
    return 0;
}
