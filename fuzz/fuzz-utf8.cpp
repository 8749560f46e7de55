// Fuzz target: UTF-8 input through every converter that reads UTF-8, with and without the error
// position, with small output buffers too. Checks the output contract and round trips, and that
// UTF-8 to UTF-16 gives exactly the same results with its vector path allowed and forbidden.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz-check.h"
#include "orv-utf.h"

namespace {

// One UTF-8 to UTF-16 call into a buffer with sentinels after the capacity.
struct Call16 {
    std::vector<char16_t> buf;
    int n, st, pos;
};

Call16 To16(bool bVector, const char* p, int nLen, int nCap, bool bPos, bool bAccept) {
    OrvUtfAllowVectorPath(bVector);
    Call16 c{std::vector<char16_t>(nCap > 0 ? nCap + 4 : 0, 0x7777), 0, -5, -5};
    c.n = OrvUtf8ToUtf16(p, nLen, true, nCap > 0 ? c.buf.data() : nullptr, nCap, &c.st,
                         bPos ? &c.pos : nullptr, bAccept);
    OrvUtfAllowVectorPath(true);
    return c;
}

// Both paths agree on the result, the status, the error position and every unit of the buffer
// (so neither writes after the terminating NUL).
void CheckPathsAgree(const char* p, int nLen, int nCap, bool bPos, bool bAccept) {
    const Call16 v = To16(true, p, nLen, nCap, bPos, bAccept);
    const Call16 s = To16(false, p, nLen, nCap, bPos, bAccept);
    Check(v.n == s.n && v.st == s.st && v.pos == s.pos && v.buf == s.buf);
    for (size_t k = v.n + 1; nCap > 0 && k < v.buf.size(); ++k)
        Check(v.buf[k] == 0x7777);
}

template <typename T>
int Len(const T* p) {
    int n = 0;
    while (p[n])
        ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const bool bAccept = data[0] & 1;
    const bool bTerminated = data[0] & 2;
    const int nSmallCap = data[1] % 9;
    std::vector<char> in(reinterpret_cast<const char*>(data) + 2,
                         reinterpret_cast<const char*>(data) + size);
    const int nIn = static_cast<int>(in.size());
    in.push_back(0);
    const int nLen = bTerminated ? -1 : nIn;

    // Measure, then convert with exactly that room: the lengths agree and nothing is cut.
    const int nNeed = OrvUtf8ToUtf16(in.data(), nLen, true, nullptr, 0, nullptr, nullptr, bAccept);
    Check(nNeed >= 0 && nNeed <= 2 * nIn);
    std::vector<char16_t> w(nNeed + 1, 0x7777);
    int st = -1, pos = -2;
    int n = OrvUtf8ToUtf16(in.data(), nLen, true, w.data(), nNeed + 1, &st, nullptr, bAccept);
    Check(n == nNeed && st == enUtfOk && w[n] == 0);
    // Repaired output is well-formed UTF-16 and goes to UTF-8 and back unchanged.
    std::vector<char> back(3 * n + 1);
    const int nBack = OrvUtf16ToUtf8(w.data(), n, true, back.data(), back.size(), &st, &pos);
    Check(st == enUtfOk && pos == -1 && back[nBack] == 0);
    std::vector<char16_t> again(n + 1);
    Check(OrvUtf8ToUtf16(back.data(), nBack, true, again.data(), again.size(), &st, &pos) == n);
    Check(st == enUtfOk && memcmp(again.data(), w.data(), n * 2) == 0);

    // With the error position: stops at the first error, at a position inside the input.
    std::vector<char16_t> w2(nNeed + 1);
    n = OrvUtf8ToUtf16(in.data(), nLen, true, w2.data(), w2.size(), &st, &pos, bAccept);
    Check(st >= 0 && st <= 2 && w2[n] == 0 && n <= nNeed);
    if (st == enUtfOk) {
        Check(pos == -1 && n == nNeed && memcmp(w2.data(), w.data(), n * 2) == 0);
        if (!bAccept) {
            // Valid input comes back byte for byte (up to the first NUL).
            const int nText = Len(in.data()) < nIn ? Len(in.data()) : nIn;
            Check(nBack == nText && memcmp(back.data(), in.data(), nText) == 0);
        }
    } else {
        Check(pos >= 0 && pos < nIn);
        // What came before the error was converted in full.
        Check(OrvUtf8ToUtf16(in.data(), pos, true, nullptr, 0, &st, nullptr, bAccept) == n);
    }

    // UTF-32 output counts characters; surrogate pairs in UTF-16 are one character.
    std::vector<char32_t> u(nNeed + 1);
    const int n32 = OrvUtf8ToUtf32(in.data(), nLen, u.data(), u.size(), &st, nullptr, bAccept);
    Check(st == enUtfOk && u[n32] == 0 && n32 <= nNeed);
    std::vector<char16_t> w3(nNeed + 1);
    Check(OrvUtf32ToUtf16(u.data(), n32, true, w3.data(), w3.size(), &st, &pos) == nNeed);
    Check(st == enUtfOk && memcmp(w3.data(), w.data(), nNeed * 2) == 0);

    // Vector and scalar paths: measuring, the exact room, more room, and a cut inside the text.
    for (int mode = 0; mode < 4; ++mode) {
        const bool bPos = mode & 1, bAcc = mode & 2;
        CheckPathsAgree(in.data(), nLen, 0, bPos, bAcc);
        CheckPathsAgree(in.data(), nLen, nNeed + 1, bPos, bAcc);
        CheckPathsAgree(in.data(), nLen, nNeed + 33, bPos, bAcc);
        if (nNeed > 1)
            CheckPathsAgree(in.data(), nLen,
                            1 + static_cast<int>((data[1] * 2654435761u + size) % nNeed), bPos,
                            bAcc);
    }

    // Small buffers: the result stays below the capacity and the output is NUL-terminated.
    for (int cap = 1; cap <= nSmallCap + 1; ++cap) {
        std::vector<char16_t> s(cap + 1, 0x7777);
        const int k = OrvUtf8ToUtf16(in.data(), nLen, true, s.data(), cap, &st, nullptr, bAccept);
        Check(k < cap && s[k] == 0 && s[cap] == 0x7777);
        Check(st == enUtfOk ? k == nNeed : (st == enUtfOutputFull && k <= nNeed));
        Check(memcmp(s.data(), w.data(), k * 2) == 0);
        std::vector<char32_t> s32(cap + 1, 0x7777);
        const int k32 = OrvUtf8ToUtf32(in.data(), nLen, s32.data(), cap, &st, &pos, bAccept);
        Check(k32 < cap && s32[k32] == 0 && s32[cap] == 0x7777);
    }
    return 0;
}
