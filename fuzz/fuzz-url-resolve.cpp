// Fuzz target: OrvUrlResolveReference on arbitrary base and reference texts (the input split at
// its first NUL). Checks that it succeeds exactly when the base has a scheme, that the result
// starts with the reference's or the base's scheme and ":", and that it never grows past the two
// inputs together (dot segments only shorten a path).
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz-check.h"
#include "orv-url.h"

namespace {

// The scheme of a text: the run before the first ":" when it is a valid scheme name.
std::string SchemeOf(const std::string& s) {
    const size_t i = s.find_first_of(":/?#");
    if (i == std::string::npos || i == 0 || s[i] != ':' ||
        !isalpha(static_cast<unsigned char>(s[0])))
        return "";
    for (size_t k = 1; k < i; ++k) {
        const char c = s[k];
        if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return "";
    }
    return s.substr(0, i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192)
        return 0;
    const std::string in(reinterpret_cast<const char*>(data), size);
    const size_t nul = in.find('\0');
    const std::string base = in.substr(0, nul);
    const std::string ref = nul == std::string::npos ? "" : in.substr(nul + 1);
    if (ref.find('\0') != std::string::npos)
        return 0;
    COrvStringA out;
    COrvError err;
    const bool bOk = OrvUrlResolveReference(base.c_str(), ref.c_str(), out, err);
    const std::string baseScheme = SchemeOf(base);
    Check(bOk == !baseScheme.empty());
    if (!bOk) {
        Check(err.Failed() && out.IsEmpty());
        return 0;
    }
    const std::string refScheme = SchemeOf(ref);
    const std::string scheme = refScheme.empty() ? baseScheme : refScheme;
    const std::string result(out.GetString(), static_cast<size_t>(out.GetLength()));
    Check(result.compare(0, scheme.size() + 1, scheme + ":") == 0);
    Check(result.size() <= base.size() + ref.size() + 4);
    return 0;
}
