#include "orv-error.h"

bool COrvError::Set(int nCode, const char* pszText) {
    if (Failed())
        return false;
    m_nCode = nCode != enNetOk ? nCode : enNetBadRequest;
    m_sText = pszText != nullptr ? pszText : "";
    return false;
}

bool COrvError::SetFormat(int nCode, const char* pszFormat, ...) {
    if (Failed())
        return false;
    COrvStringA sText;
    va_list args;
    va_start(args, pszFormat);
    const bool bFormatted = sText.FormatV(pszFormat, args);
    va_end(args);
    // A text that could not be formatted still records the failure, with the format itself.
    return Set(nCode, bFormatted ? sText.GetString() : pszFormat);
}

bool COrvError::SetErrno(int nErrno, const char* pszPrefix) {
    if (Failed())
        return false;
    COrvStringA sText(pszPrefix != nullptr ? pszPrefix : "");
    sText += OrvErrnoText(nErrno);
    return SetErrnoText(nErrno, sText);
}

bool COrvError::SetErrnoText(int nErrno, const COrvStringA& sText) {
    if (Failed())
        return false;
    Set(OrvResultFromErrno(nErrno), sText);
    m_nErrno = nErrno;
    return false;
}

bool COrvError::Pass(const COrvError& inner, const char* pszContext) {
    if (Failed())
        return false;
    m_nCode = inner.Failed() ? inner.m_nCode : enNetBadRequest;
    m_nErrno = inner.m_nErrno;
    m_sText = pszContext != nullptr ? pszContext : "";
    m_sText += inner.m_sText;
    return false;
}

void COrvError::AddContext(const char* pszContext) {
    if (Failed() && pszContext != nullptr)
        m_sText.Insert(0, pszContext);
}

void COrvError::Clear() {
    m_nCode = enNetOk;
    m_nErrno = 0;
    m_sText.Empty();
}

void COrvError::CopyTo(int* pnCode, COrvStringA* psText) const {
    if (pnCode != nullptr)
        *pnCode = m_nCode;
    if (psText != nullptr)
        *psText = m_sText;
}
