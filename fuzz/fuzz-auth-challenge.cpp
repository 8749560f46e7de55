// Fuzz target: challenge values of "www-authenticate" and "proxy-authenticate". An accepted value
// holds at least one challenge with a lower-case scheme; a refused one has a text and a code of
// the parser's. Whatever is accepted is then stepped through both machines, which must end each
// step with a retry or a failure and a text.
#include <cstdint>
#include <string>

#include "fuzz-check.h"
#include "orv-http-auth-machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    COrvArray<COrvHttpChallenge> challenges;
    COrvError err;
    if (!OrvHttpParseChallenges(text.c_str(), challenges, err)) {
        Check(!err.Text().IsEmpty() && (err.Code() == enNetAuth || err.Code() == enNetServer));
        return 0;
    }
    Check(challenges.GetCount() > 0);
    for (size_t i = 0; i < challenges.GetCount(); ++i) {
        const COrvStringA& s = challenges[i].m_sScheme;
        COrvStringA lower = s;
        lower.MakeLower();
        Check(!s.IsEmpty() && lower == s);
    }
    COrvHttpAuthMachine m;
    m.m_sUserId = "DOM\\user";
    m.m_sPassword = "pw";
    m.m_sProxyUserId = "p";
    m.m_sProxyPassword = "q";
    COrvHttpTxn txn;
    for (int nStatus : {401, 407, 401, 407, 401}) {
        txn.ResetResponse();
        txn.m_nStatus = nStatus;
        txn.m_responseHeaders.SetAt(COrvStringA("WWW-Authenticate"), COrvStringA(text.c_str()));
        txn.m_responseHeaders.SetAt(COrvStringA("Proxy-Authenticate"), COrvStringA(text.c_str()));
        COrvError stepErr;
        Check(!m.TakeResponse(txn, stepErr) && !stepErr.Text().IsEmpty());
        COrvStringA sAuth, sProxy;
        COrvError headerErr;
        if (m.RequestHeaders(txn, sAuth, sProxy, headerErr))
            Check(sAuth.FindOneOf("\r\n") < 0 && sProxy.FindOneOf("\r\n") < 0);
    }
    return 0;
}
