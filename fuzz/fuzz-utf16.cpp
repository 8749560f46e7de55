// Fuzz target: UTF-16 input (little-endian units from the data) through every converter that
// reads UTF-16, with and without the error position and the pairing flag, with small buffers.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz-check.h"
#include "orv-utf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const bool bPairs = !(data[0] & 1);
    const bool bTerminated = data[0] & 2;
    const int nSmallCap = data[1] % 13;
    std::vector<char16_t> in;
    for (size_t i = 2; i + 1 < size; i += 2)
        in.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    const int nIn = static_cast<int>(in.size());
    in.push_back(0);
    const int nLen = bTerminated ? -1 : nIn;

    int st = -1, pos = -2;
    const int nNeed = OrvUtf16ToUtf8(in.data(), nLen, bPairs, nullptr, 0);
    Check(nNeed >= 0 && nNeed <= 3 * nIn);
    std::vector<char> a(nNeed + 1, 'x');
    const int n8 = OrvUtf16ToUtf8(in.data(), nLen, bPairs, a.data(), a.size(), &st);
    Check(n8 == nNeed && st == enUtfOk && a[n8] == 0);

    // Repair through UTF-16 gives the same text as the direct conversion.
    std::vector<char16_t> r(nIn + 1);
    const int n16 = OrvUtf16ToUtf16(in.data(), nLen, bPairs, r.data(), r.size(), &st);
    Check(st == enUtfOk && r[n16] == 0 && n16 <= nIn);
    if (bPairs) {
        // The repaired text is valid and survives UTF-8 and back.
        std::vector<char16_t> back(n16 + 1);
        Check(OrvUtf8ToUtf16(a.data(), n8, true, back.data(), back.size(), &st, &pos) == n16);
        Check(st == enUtfOk && pos == -1 && memcmp(back.data(), r.data(), n16 * 2) == 0);
        std::vector<char32_t> u(n16 + 1);
        const int n32 = OrvUtf16ToUtf32(r.data(), n16, true, u.data(), u.size(), &st, &pos);
        Check(st == enUtfOk && pos == -1 && u[n32] == 0);
        std::vector<char> a2(nNeed + 1);
        Check(OrvUtf32ToUtf8(u.data(), n32, a2.data(), a2.size(), &st, &pos) == n8);
        Check(st == enUtfOk && memcmp(a2.data(), a.data(), n8) == 0);
    }

    // With the error position.
    std::vector<char> e(nNeed + 1);
    const int ne = OrvUtf16ToUtf8(in.data(), nLen, bPairs, e.data(), e.size(), &st, &pos);
    Check(st >= 0 && st <= 2 && e[ne] == 0 && ne <= nNeed);
    Check(st == enUtfOk ? (pos == -1 && ne == nNeed) : (pos >= 0 && pos < nIn));
    Check(memcmp(e.data(), a.data(), ne) == 0);

    // Small buffers.
    for (int cap = 1; cap <= nSmallCap + 1; ++cap) {
        std::vector<char> s(cap + 1, 'x');
        const int k = OrvUtf16ToUtf8(in.data(), nLen, bPairs, s.data(), cap, &st);
        Check(k < cap && s[k] == 0 && s[cap] == 'x' && memcmp(s.data(), a.data(), k) == 0);
        Check(st == enUtfOk ? k == nNeed : st == enUtfOutputFull);
        std::vector<char16_t> s16(cap + 1, 0x7777);
        const int k16 = OrvUtf16ToUtf16(in.data(), nLen, bPairs, s16.data(), cap, &st, &pos);
        Check(k16 < cap && s16[k16] == 0 && s16[cap] == 0x7777);
        std::vector<char32_t> s32(cap + 1, 0x7777);
        const int k32 = OrvUtf16ToUtf32(in.data(), nLen, bPairs, s32.data(), cap, &st, nullptr);
        Check(k32 < cap && s32[k32] == 0 && s32[cap] == 0x7777);
    }
    return 0;
}
