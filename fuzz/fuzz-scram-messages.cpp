// Fuzz target: the SCRAM first messages of both sides. An accepted client first message names a
// user and a nonce and writes back as it came; an accepted server first message has at least the
// smallest iteration count and a salt. The first byte chooses the parser.
#include <cstdint>
#include <string>

#include "fuzz-check.h"
#include "orv-http-orvauth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096)
        return 0;
    const COrvStringA text(reinterpret_cast<const char*>(data) + 1, static_cast<int>(size - 1));
    COrvError err;
    if (data[0] & 1) {
        COrvScramServerFirst msg;
        if (OrvScramParseServerFirst(text, msg, err))
            Check(msg.m_nIterations >= kOrvScramMinIterations && !msg.m_sSalt.IsEmpty() &&
                  !msg.m_sNonce.IsEmpty());
        else
            Check(err.Code() == enNetServer && !err.Text().IsEmpty());
        return 0;
    }
    COrvScramClientFirst msg;
    if (!OrvScramParseClientFirst(text, msg, err)) {
        Check(err.Code() == enNetBadRequest);
        return 0;
    }
    Check(!msg.m_sUser.IsEmpty() && !msg.m_sNonce.IsEmpty());
    COrvAuthClient client;
    client.m_sFixedNonce = msg.m_sNonce;
    const COrvStringA again = client.ClientFirst(msg.m_sUser);
    COrvScramClientFirst second;
    Check(OrvScramParseClientFirst(again, second, err) && second.m_sUser == msg.m_sUser &&
          second.m_sNonce == msg.m_sNonce);
    return 0;
}
