// Fuzz target: COrvUrl::Crack on arbitrary bytes. Checks that fields stay within their
// capacities, that a failure leaves the empty record, and that cracking the rebuilt URL gives the
// same fields (unless the rebuild grew past the URL limit or an explicit port 0 was dropped,
// or a mailto path starts with "//", which no mailto URL can hold).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz-check.h"
#include "orv-url.h"

namespace {

bool SameFields(const COrvUrl& a, const COrvUrl& b) {
    return strcmp(a.GetSchemeName(), b.GetSchemeName()) == 0 && a.GetScheme() == b.GetScheme() &&
           strcmp(a.GetHostName(), b.GetHostName()) == 0 &&
           strcmp(a.GetUserName(), b.GetUserName()) == 0 &&
           strcmp(a.GetPassword(), b.GetPassword()) == 0 && a.GetPort() == b.GetPort() &&
           strcmp(a.GetUrlPath(), b.GetUrlPath()) == 0 &&
           strcmp(a.GetExtraInfo(), b.GetExtraInfo()) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    const char* p = reinterpret_cast<const char*>(data);
    COrvUrl url;
    COrvError err;
    if (!url.Crack(p, static_cast<int>(size), err)) {
        Check(err.Failed());
        Check(url.GetSchemeNameLength() == 0 && url.GetHostNameLength() == 0 &&
              url.GetUserNameLength() == 0 && url.GetPasswordLength() == 0 &&
              url.GetUrlPathLength() == 0 && url.GetExtraInfoLength() == 0 && url.GetPort() == 0 &&
              url.GetScheme() == enUrlSchemeUnknown);
        return 0;
    }
    Check(size <= COrvUrl::kMaxUrl);
    Check(url.GetSchemeNameLength() <= COrvUrl::kMaxScheme);
    Check(url.GetHostNameLength() <= COrvUrl::kMaxHost);
    Check(url.GetUserNameLength() <= COrvUrl::kMaxUser);
    Check(url.GetPasswordLength() <= COrvUrl::kMaxPassword);
    Check(url.GetUrlPathLength() <= COrvUrl::kMaxPath);
    Check(url.GetExtraInfoLength() <= COrvUrl::kMaxExtra);
    Check(url.GetPort() >= 0 && url.GetPort() <= 65535);
    Check(static_cast<int>(strlen(url.GetHostName())) == url.GetHostNameLength());

    const COrvStringA rebuilt = url.GetUrl();
    COrvUrl again;
    const bool bOk = again.Crack(rebuilt.GetString(), rebuilt.GetLength());
    if (rebuilt.GetLength() <= COrvUrl::kMaxUrl &&
        (url.GetPort() != 0 || OrvUrlSchemeDefaultPort(url.GetScheme()) == 0) &&
        !(url.GetScheme() == enUrlSchemeMailto && strncmp(url.GetUrlPath(), "//", 2) == 0)) {
        Check(bOk);
        Check(SameFields(url, again));
    }
    return 0;
}
