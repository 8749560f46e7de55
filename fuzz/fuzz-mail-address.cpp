// The e-mail address validator on arbitrary text: a refusal always has a text and
// enNetBadRequest, and an accepted address has the properties the validator promises.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz-check.h"
#include "orv-mail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > 1024)
        return 0;
    const std::string s(reinterpret_cast<const char*>(pData), nSize);
    const char* psz = s.c_str();  // stops at the first NUL, as a caller's text would
    int nCode = -1;
    COrvStringA strError;
    if (OrvValidateEmail(psz, nCode, strError)) {
        Check(nCode == 0 && strError.IsEmpty());
        const char* pAt = strchr(psz, '@');
        Check(strlen(psz) >= 6 && pAt != nullptr && strchr(pAt + 1, '@') == nullptr);
        Check(strstr(psz, "..") == nullptr && strpbrk(psz, " \r\n<>\"") == nullptr);
        Check(strchr(pAt + 1, '.') != nullptr);
    } else {
        Check(nCode == 6 && !strError.IsEmpty());
    }
    return 0;
}
