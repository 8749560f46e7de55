#include "orv-http-txn.h"

#include <cstdarg>

#include "orv-error.h"

bool OrvHttpCheckAbort(IOrvTransferObserver* pObserver, COrvError& err) {
    if (pObserver == nullptr)
        return true;
    int nCode = enNetOk;
    COrvStringA sText;
    if (!pObserver->ShouldAbort(nCode, sText))
        return true;
    return err.Set(nCode == enNetOk ? enNetCancelled : nCode,
                   sText.IsEmpty() ? COrvStringA("transfer cancelled") : sText);
}

void OrvHttpObserverLog(IOrvTransferObserver* pObserver, int nLevel, const char* pszFormat, ...) {
    if (pObserver == nullptr)
        return;
    COrvStringA s;
    va_list args;
    va_start(args, pszFormat);
    const bool bOk = s.FormatV(pszFormat, args);
    va_end(args);
    if (bOk)
        pObserver->OnLog(nLevel, s);
}

void COrvHttpTxn::ResetResponse() {
    m_nStatus = 0;
    m_sReason.Empty();
    m_responseHeaders.RemoveAll();
    m_setCookieLines.RemoveAll();
    m_cookieLines.RemoveAll();
    m_responseCookies.RemoveAll();
    m_bBodyComplete = false;
    m_n64RecvBodyLen = kOrvHttpLenUnknown;
    m_bConnectionClose = false;
    m_sBody.Empty();
    m_sServer.Empty();
}

COrvStringA COrvHttpTxn::GetResponseHeader(const char* pszName) const {
    const auto* p = m_responseHeaders.Lookup(COrvStringA(pszName));
    return p ? p->m_value : COrvStringA();
}

COrvStringA COrvHttpTxn::GetRequestHeader(const char* pszName, bool* pbFound) const {
    const auto* p = m_requestHeaders.Lookup(COrvStringA(pszName));
    if (pbFound)
        *pbFound = p != nullptr;
    return p ? p->m_value : COrvStringA();
}

COrvStringA OrvHttpDescribeHeaders(const COrvHttpHeaderMap& headers) {
    COrvStringA s;
    for (ORVPOSITION pos = headers.GetHeadPosition(); pos != nullptr;) {
        const auto* p = headers.GetNext(pos);
        if (!s.IsEmpty())
            s += "; ";
        s += p->m_key;
        s += ": ";
        s += p->m_value;
    }
    return s;
}

COrvStringA OrvHttpDescribeBody(int64_t n64Len, bool bComplete) {
    COrvStringA s;
    if (n64Len == kOrvHttpLenChunked)
        s = "[chunked]";
    else if (n64Len < 0)
        s = "[unknown]";
    else
        s.Format("%lld", static_cast<long long>(n64Len));
    if (!bComplete)
        s += "(incomplete)";
    return s;
}
