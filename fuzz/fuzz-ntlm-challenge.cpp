// Fuzz target: NTLM challenge messages. An accepted message keeps the bytes it came in, and an
// authenticate message made from it is well formed: every field lies inside it.
#include <cstdint>
#include <cstring>

#include "fuzz-check.h"
#include "orv-ntlm.h"
#include "orv-string-util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192)
        return 0;
    COrvNtlmChallenge ch;
    COrvError err;
    if (!OrvNtlmParseChallenge(data, static_cast<int>(size), ch, err)) {
        Check(err.Code() == enNetAuth && !err.Text().IsEmpty());
        return 0;
    }
    Check(ch.m_sMessage.GetLength() == static_cast<int>(size) &&
          memcmp(ch.m_sMessage.GetString(), data, size) == 0);
    COrvNtlmContext ctx;
    (void)ctx.MakeNegotiate();
    Check(ctx.TakeChallenge(OrvBase64Encode(data, static_cast<int>(size)), err));
    COrvStringA sB64;
    Check(ctx.MakeAuthenticate("DOM\\user", "pw", sB64, err));
    const COrvStringA& msg = ctx.AuthenticateMessage();
    const auto* p = reinterpret_cast<const uint8_t*>(msg.GetString());
    for (int iField = 12; iField <= 52; iField += 8) {
        const int n = p[iField] | p[iField + 1] << 8;
        const int off = p[iField + 4] | p[iField + 5] << 8 | p[iField + 6] << 16;
        Check(off >= 88 && off + n <= msg.GetLength());
    }
    return 0;
}
