// Feeds arbitrary bodies to the form-submit parser under a fixed boundary, and checks that every
// part it returns has a name and lies inside the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "orv-http-multipart.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const COrvStringA sBody(reinterpret_cast<const char*>(pData), static_cast<int>(nSize));
    COrvArray<COrvHttpFormPart> parts;
    COrvError err;
    const bool bOk =
        OrvHttpParseFormSubmit("multipart/form-data; boundary=\"b\"", sBody, parts, err);
    if (!bOk && err.Text().IsEmpty())
        abort();
    int nTotal = 0;
    for (size_t i = 0; i < parts.GetCount(); ++i) {
        if (parts[i].m_sName.IsEmpty() && bOk)
            abort();
        nTotal += parts[i].m_sData.GetLength();
    }
    if (nTotal > static_cast<int>(nSize))
        abort();
    return 0;
}
