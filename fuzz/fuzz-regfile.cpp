// Feeds arbitrary bytes to the settings store's values-file parser. Whatever parses must be
// written back to a text that parses into the same values, and that text is written again
// unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "orv-error.h"
#include "orv-regfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    std::vector<OrvRegFileValue> values;
    COrvError err;
    if (!OrvRegFileParse(reinterpret_cast<const char*>(pData), nSize, values, err)) {
        if (!err.Failed() || err.Text().IsEmpty())
            abort();
        return 0;
    }
    const std::string text = OrvRegFileFormat(values);
    std::vector<OrvRegFileValue> again;
    COrvError err2;
    if (!OrvRegFileParse(text.data(), text.size(), again, err2) || again.size() != values.size())
        abort();
    for (size_t i = 0; i < values.size(); ++i)
        if (again[i].sName != values[i].sName || again[i].nType != values[i].nType ||
            again[i].data != values[i].data)
            abort();
    if (OrvRegFileFormat(again) != text)
        abort();
    return 0;
}
