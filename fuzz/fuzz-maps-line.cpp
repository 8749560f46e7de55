// Feeds arbitrary lines to the minidump writer's reader of /proc maps lines, and checks that an
// accepted line describes a proper range and a path inside the line.
#include <cstddef>
#include <cstdint>
#include "fuzz-check.h"
#include "orv-crash-os.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const char* pLine = reinterpret_cast<const char*>(pData);
    SOrvMapsLine line;
    if (!OrvParseMapsLine(pLine, nSize, line))
        return 0;
    Check(line.nEnd >= line.nStart);
    Check(line.pszPath >= pLine && line.pszPath + line.nPathLen <= pLine + nSize);
    return 0;
}
