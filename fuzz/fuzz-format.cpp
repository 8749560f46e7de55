// Arbitrary format strings against OrvVFormat in both widths. The first input byte chooses the
// width and the buffer size; the rest is the format (pairs of bytes for wide formats). The
// format's conversions are scanned here with the engine's own rules so that every argument it
// reads is supplied with the right type; formats that need more than three arguments, or widths
// and precisions above 10000, are skipped.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "orv-format.h"

namespace {

enum Kind { kInt, kLong, kLongLong, kDouble, kPtr, kStrA, kStrW };

const char g_szA[] = "narrow text";
const char16_t g_szW[] = u"wide \u00E9\U0001F600 text";

struct Target {
    void* pBuffer;
    int nSize;
    bool bWide;
    const void* pFormat;
};

int CallEngine(const Target* t, ...) {
    va_list args;
    va_start(args, t);
    const void* pEnd = nullptr;
    const int n = OrvVFormat(t->pBuffer, t->nSize, t->bWide, t->pFormat, &pEnd, args);
    va_end(args);
    return n;
}

template <typename... A>
int Dispatch(const Target& t, const std::vector<Kind>& kinds, size_t i, A... a) {
    if (i == kinds.size())
        return CallEngine(&t, a...);
    if constexpr (sizeof...(A) < 3) {
        switch (kinds[i]) {
            case kInt:
                return Dispatch(t, kinds, i + 1, a..., -12345);
            case kLong:
                return Dispatch(t, kinds, i + 1, a..., 1234567890123L);
            case kLongLong:
                return Dispatch(t, kinds, i + 1, a..., -1234567890123LL);
            case kDouble:
                return Dispatch(t, kinds, i + 1, a..., 3.25e10);
            case kPtr:
                return Dispatch(t, kinds, i + 1, a..., static_cast<const void*>(&t));
            case kStrA:
                return Dispatch(t, kinds, i + 1, a..., static_cast<const char*>(g_szA));
            case kStrW:
                return Dispatch(t, kinds, i + 1, a..., static_cast<const char16_t*>(g_szW));
        }
    }
    return 0;
}

// The arguments the engine may read for the format f of n units, in order; false to skip.
template <typename C>
bool ScanArguments(const C* f, std::vector<Kind>* pKinds) {
    const bool bWideFormat = sizeof(C) == 2;
    while (*f) {
        if (*f++ != '%')
            continue;
        if (*f == '%') {
            ++f;
            continue;
        }
        while (*f == '#' || *f == '-' || *f == '+' || *f == ' ' || *f == '0' || *f == '*') {
            if (*f == '*')
                pKinds->push_back(kInt);
            ++f;
        }
        long n = 0;
        for (; *f >= '0' && *f <= '9'; ++f) {
            if ((n = n * 10 + (*f - '0')) > 10000)
                return false;
        }
        if (*f == '.') {
            ++f;
            if (*f == '*') {
                pKinds->push_back(kInt);
                ++f;
            }
            for (n = 0; *f >= '0' && *f <= '9'; ++f) {
                if ((n = n * 10 + (*f - '0')) > 10000)
                    return false;
            }
        }
        int nSize = 0;   // 0 int, 1 long, 2 64-bit
        int nWidth = 0;  // 0 natural, 1 narrow, 2 wide
        for (;;) {
            if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
                nSize = 2;
                f += 3;
            } else if (f[0] == 'I' && f[1] == '3' && f[2] == '2') {
                f += 3;
            } else if (f[0] == 'l' && f[1] == 'l') {
                nSize = 2;
                f += 2;
            } else if (*f == 'l' || *f == 'w') {
                if (nSize != 2)
                    nSize = 1;
                nWidth = 2;
                ++f;
            } else if (*f == 'h') {
                nWidth = 1;
                ++f;
            } else if (*f == 'F' || *f == 'L' || *f == 'N') {
                ++f;
            } else {
                break;
            }
        }
        const C c = *f;
        if (c == 0)
            break;
        ++f;
        if (c == 'c' || c == 'C') {
            pKinds->push_back(kInt);
        } else if (c == 's' || c == 'S') {
            bool bWideArg = c == 's' ? bWideFormat : !bWideFormat;
            if (nWidth != 0)
                bWideArg = nWidth == 2;
            pKinds->push_back(bWideArg ? kStrW : kStrA);
        } else if (c == 'd' || c == 'i' || c == 'o' || c == 'u' || c == 'x' || c == 'X') {
            pKinds->push_back(nSize == 2 ? kLongLong : nSize == 1 ? kLong : kInt);
        } else if (c == 'p') {
            pKinds->push_back(kPtr);
        } else if (c == 'e' || c == 'E' || c == 'f' || c == 'g' || c == 'G') {
            pKinds->push_back(kDouble);
        } else {
            break;  // the engine stops here with a format error
        }
        if (pKinds->size() > 3)
            return false;
    }
    return pKinds->size() <= 3;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 1 || nSize > 4096)
        return 0;
    const bool bWide = (pData[0] & 1) != 0;
    const int nBuffer = (pData[0] >> 1) % 64;  // 0: measuring only
    std::vector<Kind> kinds;
    std::vector<char> fa;
    std::vector<char16_t> fw;
    if (bWide) {
        for (size_t i = 1; i + 1 < nSize; i += 2)
            fw.push_back(static_cast<char16_t>(pData[i] | (pData[i + 1] << 8)));
        fw.push_back(0);
        if (!ScanArguments(fw.data(), &kinds))
            return 0;
    } else {
        fa.assign(pData + 1, pData + nSize);
        fa.push_back(0);
        if (!ScanArguments(fa.data(), &kinds))
            return 0;
    }
    const void* pFormat = bWide ? static_cast<const void*>(fw.data()) : fa.data();
    // The measure bounds what is written; a written result never overruns the buffer.
    const Target measure{nullptr, 0, bWide, pFormat};
    const int nMeasure = Dispatch(measure, kinds, 0);
    // Exactly nBuffer characters, so that the address sanitizer sees any write past the end.
    std::vector<char> buf(static_cast<size_t>(nBuffer) * (bWide ? 2 : 1));
    const Target write{nBuffer > 0 ? buf.data() : nullptr, nBuffer, bWide, pFormat};
    const int nWritten = Dispatch(write, kinds, 0);
    if (nWritten >= 0 && (nMeasure < 0 || nWritten > nMeasure))
        __builtin_trap();  // the measure was not an upper bound
    if ((nWritten < 0) != (nMeasure < 0) && nBuffer > 0)
        __builtin_trap();  // the passes disagree about the format
    return 0;
}
