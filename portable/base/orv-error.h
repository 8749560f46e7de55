// COrvError: the one way a fallible operation of the library reports why it failed.
//
// A fallible function returns [[nodiscard]] bool (true: success) or a count, and fills a
// COrvError& with a result code (OrvResult) and a text. The first failure recorded wins: a lower
// layer records the cause, and a higher layer that fails because of it adds its context in front
// ("Receiving body: " + the socket's text) instead of replacing it. Functions whose shape is fixed
// with a separate code and text keep that shape as a thin wrapper over this type.
#pragma once

#include <stdarg.h>

#include "orv-result.h"
#include "orv-string.h"

class COrvError {
public:
    COrvError() = default;

    // True once a failure has been recorded.
    bool Failed() const { return m_nCode != enNetOk; }
    explicit operator bool() const { return Failed(); }
    // The recorded code, enNetOk when none.
    int Code() const { return m_nCode; }
    // The recorded text, empty when none.
    const COrvStringA& Text() const { return m_sText; }
    // The errno value behind the recorded failure, 0 when it did not come from a system call.
    int SystemError() const { return m_nErrno; }

    // Records a failure unless one is recorded already. A code of enNetOk is recorded as
    // enNetBadRequest, so that a failure is never mistaken for success. Always returns false, so
    // that a failing function can end with `return err.Set(...)`.
    bool Set(int nCode, const char* pszText);
    bool Set(int nCode, const COrvStringA& sText) { return Set(nCode, sText.GetString()); }
    // The same with a text in the library's printf format.
    bool SetFormat(int nCode, const char* pszFormat, ...) __attribute__((format(printf, 3, 4)));
    // Records an errno value: its library code (OrvResultFromErrno) and the text pszPrefix
    // followed by the system's message for it (OrvErrnoText). Returns false.
    bool SetErrno(int nErrno, const char* pszPrefix);
    // Records an errno value with a text of the caller's own (which usually names the system's
    // reason in its own words). Returns false.
    bool SetErrnoText(int nErrno, const COrvStringA& sText);

    // Puts pszContext in front of a recorded text; nothing when no failure is recorded.
    void AddContext(const char* pszContext);
    // Passes a lower layer's failure up: records inner's code, system error number and text,
    // with pszContext in front of the text, unless a failure is recorded already. An inner
    // without a failure is recorded as enNetBadRequest, as Set does. Returns false, like Set.
    bool Pass(const COrvError& inner, const char* pszContext = "");
    // Forgets the recorded failure.
    void Clear();
    // Copies code and text into the out-parameters of the older shape (either may be null).
    void CopyTo(int* pnCode, COrvStringA* psText) const;

private:
    int m_nCode = enNetOk;
    int m_nErrno = 0;
    COrvStringA m_sText;
};
