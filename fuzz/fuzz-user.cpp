// Feeds arbitrary bytes to the accounts module's two parsers: the /proc status text and the
// access-list text. A status text that parses holds the ids it claims; an access-list text that
// parses is written back to a text that parses to the same text again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz-check.h"
#include "orv-user-os.h"
#include "orv-user.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const char* pText = reinterpret_cast<const char*>(pData);
    OrvProcIds ids;
    if (OrvParseProcStatusIds(pText, nSize, ids))
        Check(!ids.bHasUmask || ids.nUmask <= 07777);

    // Names are looked up in the account databases; numeric ids keep the run fast and local.
    const std::string text(pText, nSize);
    if (text.find('\0') != std::string::npos || nSize > 4096)
        return 0;
    COrvSecurityDescriptor sd;
    COrvError err;
    if (!OrvStringToSecurityDescriptor(text.c_str(), sd, err)) {
        Check(sd.IsEmpty() && err.Failed() && !err.Text().IsEmpty());
        return 0;
    }
    COrvStringA sOut;
    Check(OrvSecurityDescriptorToString(sd, sOut, err));
    COrvSecurityDescriptor again;
    Check(OrvStringToSecurityDescriptor(sOut.GetString(), again, err));
    COrvStringA sAgain;
    Check(OrvSecurityDescriptorToString(again, sAgain, err));
    Check(sAgain == sOut);
    return 0;
}
