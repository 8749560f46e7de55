// UTF converters: the common contract, the decoders' edge cases, the string wrappers, agreement
// with glibc's iconv on random valid and invalid input, the vector path of UTF-8 to UTF-16
// against the scalar one, and the streaming decoder.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "orv-trace.h"
#include "orv-utf.h"
#include "support/orv-test-support.h"

namespace {

using U16 = std::u16string;

struct Result16 {
    U16 out;
    int n, status, pos;
};

Result16 To16(const std::string& in, int nCap = 256, bool bPos = true, bool bAccept = false) {
    std::vector<char16_t> buf(nCap + 1, 0x7777);
    int st = -9, pos = -9;
    const int n = OrvUtf8ToUtf16(in.data(), static_cast<int>(in.size()), true, buf.data(), nCap,
                                 &st, bPos ? &pos : nullptr, bAccept);
    return {U16(buf.data()), n, st, bPos ? pos : -1};
}

TEST(OrvUtf, Utf8DecoderEdgeCases) {
    // Status and position with a position pointer; with none, broken sequences are repaired.
    // A status of -1 or a null text is not checked.
    constexpr bool kPos = true, kRepair = false, kSurr = true;
    const struct {
        std::string in;
        bool bPos, bAccept;
        int status, pos;
        const char16_t* out;
    } kCases[] = {
        {"\xC0\x80", kPos, false, enUtfInvalid, 0, u""},  // overlong NUL
        // Encoded surrogates: invalid without the option; a pair is one character with it. A
        // high one with no low one after it stays invalid, a lone low one too; a high one at the
        // end of the input is incomplete.
        {"ab\xED\xA0\x80", kPos, false, enUtfInvalid, 2, u"ab"},
        {"\xED\xA0\x80\xED\xB0\x80", kPos, kSurr, enUtfOk, -1, u"\U00010000"},
        {"\xED\xA0\x80x", kPos, kSurr, enUtfInvalid, 0, nullptr},
        {"x\xED\xB0\x80", kPos, kSurr, enUtfInvalid, 1, nullptr},
        {"\xED\xA0\x80\xED\xB0", kPos, kSurr, enUtfIncomplete, 0, nullptr},
        // Above U+10FFFF; a supplementary character.
        {"\xF4\x90\x80\x80", kPos, false, enUtfInvalid, 0, nullptr},
        // Cut short by the end, or by a NUL inside the given length.
        {"A\xE2\x82", kPos, false, enUtfIncomplete, 1, u"A"},
        {std::string("\xE2\x82\0zz", 5), kPos, false, enUtfIncomplete, -1, nullptr},
        // Repair replaces the maximal valid prefix of a broken sequence by one U+FFFD.
        {"\xE2\x82z\x80\xF5\xF0\x9F\x98", kRepair, false, -1, -1, u"\uFFFDz\uFFFD\uFFFD\uFFFD"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(OrvTestHex(c.in));
        const Result16 r = To16(c.in, 256, c.bPos, c.bAccept);
        EXPECT_TRUE(c.status < 0 || r.status == c.status) << r.status;
        EXPECT_TRUE(c.pos < 0 || r.pos == c.pos) << r.pos;
        if (c.out != nullptr) {
            EXPECT_EQ(r.out, U16(c.out));
            EXPECT_EQ(r.n, static_cast<int>(U16(c.out).size()));
        }
    }
}

TEST(OrvUtf, StringWrappers) {
    COrvStringA a;
    EXPECT_TRUE(OrvUtf16ToUtf8(u"h\x00E9\xD800!", a));
    EXPECT_STREQ(a, "h\xC3\xA9\xEF\xBF\xBD!");

    COrvStringW w(u"old");
    COrvStringA err;
    OrvReportCapture cap;
    EXPECT_TRUE(OrvUtf8ToUtf16("\xE2\x82\xAC!", -1, w, err));
    EXPECT_EQ(U16(w.GetString()), U16(u"\u20AC!"));
    // The text quoted in the message is exactly the given bytes, not what follows them.
    EXPECT_FALSE(OrvUtf8ToUtf16("ok\xC0\x80tailtail", 6, w, err));
    EXPECT_TRUE(w.IsEmpty());
    EXPECT_STREQ(err, "bad UTF-8 sequence at pos 2 in string ok\xC0\x80ta");
    EXPECT_EQ(cap.Exprs(), std::vector<std::string>{"FALSE"});
    // Byte-order marks pick the decoding; an odd trailing byte pairs with the terminating zero.
    const std::pair<std::string, std::string> kBytes[] = {
        {std::string("\xFF\xFE\x41\x00\x42\x00", 6), "AB"},
        {std::string("\xFE\xFF\x00\x41\xD8\x3D\xDE\x00", 8), "A\xF0\x9F\x98\x80"},
        {std::string("\xFF\xFE\x41\x00\x43", 5), "AC"},
        {"\xEF\xBB\xBFtext", "text"}};
    for (const auto& [in, want] : kBytes) {
        COrvStringA s(in.data(), static_cast<int>(in.size()));
        EXPECT_TRUE(OrvBytesToUtf8(s, s));  // in place
        EXPECT_EQ(std::string(s, s.GetLength()), want) << OrvTestHex(in);
    }
}

// ---- agreement with iconv ----

struct IconvResult {
    std::string out;
    int err;  // 0, EILSEQ or EINVAL
    long pos;
};

IconvResult Iconv(const char* to, const char* from, const std::string& in) {
    iconv_t cd = iconv_open(to, from);
    EXPECT_NE(cd, (iconv_t)-1) << "iconv_open " << from << " -> " << to;
    std::string out(in.size() * 4 + 16, '\0');
    char* pi = const_cast<char*>(in.data());
    char* po = out.data();
    size_t il = in.size(), ol = out.size();
    int err = 0;
    if (iconv(cd, &pi, &il, &po, &ol) == static_cast<size_t>(-1))
        err = errno;
    iconv_close(cd);
    out.resize(po - out.data());
    return {out, err, static_cast<long>(pi - in.data())};
}

template <typename T>
std::string Bytes(const T* p, size_t n) {
    return std::string(reinterpret_cast<const char*>(p), n * sizeof(T));
}

// A random character drawn with the given weights (ASCII, two, three, four bytes in UTF-8), now
// and then one of the edges of those ranges.
char32_t RandomChar(std::mt19937& rng, const int (&weights)[4]) {
    static const char32_t kEdges[] = {0x01,    0x7F,    0x80,    0x7FF,   0x800,    0xFFF,
                                      0x1000,  0xCFFF,  0xD000,  0xD7FF,  0xE000,   0xFFFF,
                                      0x10000, 0x3FFFF, 0x40000, 0xFFFFF, 0x100000, 0x10FFFF};
    static const char32_t kFrom[] = {1, 0x80, 0x800, 0x10000},
                          kSpan[] = {0x7F, 0x780, 0xF800, 0x100000};
    if (rng() % 16 == 0)
        return kEdges[rng() % std::size(kEdges)];
    int w = static_cast<int>(rng() % (weights[0] + weights[1] + weights[2] + weights[3])), k = 0;
    while (w >= weights[k])
        w -= weights[k++];
    const char32_t c = kFrom[k] + rng() % kSpan[k];
    return c >= 0xD800 && c <= 0xDFFF ? c - 0x800 : c;
}

// Valid UTF-8 of at least nBytes bytes.
std::string ValidText(std::mt19937& rng, size_t nBytes, const int (&weights)[4]) {
    std::u32string t;
    for (size_t n = 0; n < nBytes;) {
        t += RandomChar(rng, weights);
        n += t.back() < 0x80 ? 1 : t.back() < 0x800 ? 2 : t.back() < 0x10000 ? 3 : 4;
    }
    return Iconv("UTF-8", "UTF-32LE", Bytes(t.data(), t.size())).out;
}

// The output before the first error and that error's position agree with iconv. glibc reports
// EINVAL ("incomplete") for any truncated sequence at the end of the input, even when its second
// byte is already outside the first byte's range (E0 80, ED A0, F0 80, F4 90): those are invalid
// here. So iconv's EILSEQ must be our status 1, and our status 2 must be iconv's EINVAL.
TEST(OrvUtfIconv, InvalidInputFirstErrorAgrees) {
    std::mt19937 rng(4242);
    static const unsigned char kPicks[] = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                           0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0,
                                           0xF1, 0xF3, 0xF4, 0xF5, 0xF8, 0xFE, 0xFF};
    for (int iter = 0; iter < 2000 && !testing::Test::HasFailure(); ++iter) {
        // NUL, which ends our input, is not generated.
        std::string in(1 + rng() % 12, 'a');
        for (char& c : in)
            c = static_cast<char>(rng() % 3 ? kPicks[rng() % sizeof kPicks] : 1 + rng() % 255);
        SCOPED_TRACE(OrvTestHex(in));
        const IconvResult ref = Iconv("UTF-16LE", "UTF-8", in);
        std::vector<char16_t> out(in.size() + 1);
        int st, pos;
        const int n =
            OrvUtf8ToUtf16(in.data(), in.size(), true, out.data(), in.size() + 1, &st, &pos);
        EXPECT_EQ(Bytes(out.data(), n), ref.out);
        EXPECT_EQ(st == enUtfOk, ref.err == 0);
        EXPECT_TRUE(ref.err == 0 || pos == ref.pos) << pos;
        EXPECT_TRUE(ref.err != EILSEQ || st == enUtfInvalid) << st;
        EXPECT_TRUE(st != enUtfIncomplete || ref.err == EINVAL);
    }
}

// ---- the vector path of UTF-8 to UTF-16 ----
//
// The vector path takes blocks of 16 input bytes; anything unusual in a block (an error, a NUL, a
// sequence cut by the end of the block, the end of the input or of the output) is left to the
// scalar path. These tests run every case with the vector path allowed and forbidden, and require
// identical results, with the caller's buffer untouched beyond the terminating NUL.

// Restores the vector-path setting on exit.
struct VectorPathScope {
    bool m_bAllow, m_bPrev;
    explicit VectorPathScope(bool bAllow)
        : m_bAllow(bAllow), m_bPrev(OrvUtfAllowVectorPath(bAllow)) {}
    ~VectorPathScope() { EXPECT_EQ(OrvUtfAllowVectorPath(m_bPrev), m_bAllow); }
};

struct Full16 {
    std::vector<char16_t> buf;  // the whole buffer, sentinels included; empty when measuring
    int n, status, pos;
    bool operator==(const Full16&) const = default;
};

constexpr char16_t kSentinel = 0x7777;

// Runs the conversion on a heap copy of exactly the input's size, so that the address sanitizer
// sees any read beyond it. nCap 0 measures.
Full16 Run16(bool bVector, const std::string& in, int nCap, bool bPos, bool bAccept) {
    VectorPathScope scope(bVector);
    const std::unique_ptr<char[]> p(new char[in.size()]);
    memcpy(p.get(), in.data(), in.size());
    Full16 r{std::vector<char16_t>(nCap ? nCap + 8 : 0, kSentinel), 0, -9, -9};
    r.n = OrvUtf8ToUtf16(p.get(), static_cast<int>(in.size()), true, nCap ? r.buf.data() : nullptr,
                         nCap, &r.status, bPos ? &r.pos : nullptr, bAccept);
    return r;
}

// Broken pieces: stray continuations, bytes that never occur, overlong forms, encoded surrogates
// (alone and as a pair), values above U+10FFFF, cut sequences, NUL.
std::vector<std::string> BadPieces() {
    const std::string all =
        "\x80|\xBF|\xC0\x80|\xC1\xBF|\xF5\x80\x80\x80|\xF8|\xFE|\xFF|\xE0\x80\x80|\xE0\x9F\xBF|"
        "\xF0\x80\x80\x80|\xF0\x8F\xBF\xBF|\xED\xA0\x80|\xED\xBF\xBF|\xED\xA0\x80\xED\xB0\x80|"
        "\xED\xAF\xBF\xED\xBF\xBF|\xF4\x90\x80\x80|\xF4\xBF\xBF\xBF|\xC2|\xE2\x82|\xE2|"
        "\xF0\x9F\x98|"
        "\xF0\x9F|\xF0|\xC2\xC2|\xE2\x82\xAC\xAC|\xF0\x9F\x98\x80\x80";
    std::vector<std::string> v = {std::string(1, '\0'), std::string("a\0b", 3)};
    for (size_t i = 0, j; i < all.size(); i = j + 1) {
        j = std::min(all.find('|', i), all.size());
        v.push_back(all.substr(i, j - i));
    }
    return v;
}
const std::vector<std::string> kBadPieces = BadPieces();

TEST(OrvUtfVector, RandomTextAgreesWithScalarPath) {
    std::mt19937 rng(9001);
    static const int kMixes[][4] = {{1, 1, 1, 1}, {4, 4, 1, 0}, {1, 0, 4, 0}, {1, 0, 0, 1},
                                    {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}, {8, 1, 1, 1}};
    for (int iter = 0; iter < 600 && !HasFatalFailure(); ++iter) {
        std::string in = ValidText(rng, 1 + rng() % 120, kMixes[iter % std::size(kMixes)]);
        // Half of the cases get one to three broken pieces somewhere.
        for (int k = iter % 2 ? 1 + rng() % 3 : 0; k > 0; --k)
            in.insert(rng() % (in.size() + 1), kBadPieces[rng() % kBadPieces.size()]);
        // Both paths, every mode: with and without the error position and the surrogate option,
        // measuring, a buffer of exactly the measured size plus one, and a larger one.
        SCOPED_TRACE(testing::PrintToString(in));
        for (int mode = 0; mode < 4; ++mode) {
            const bool bPos = mode & 1, bAccept = mode & 2;
            const Full16 need = Run16(false, in, 0, bPos, bAccept);
            ASSERT_EQ(Run16(true, in, 0, bPos, bAccept), need) << "mode " << mode;
            for (int nCap : {need.n + 1, need.n + 40}) {
                const Full16 v = Run16(true, in, nCap, bPos, bAccept);
                ASSERT_EQ(v, Run16(false, in, nCap, bPos, bAccept)) << mode << " cap " << nCap;
                ASSERT_EQ(v.n, need.n);
                ASSERT_EQ(v.buf[v.n], 0);
                for (size_t k = v.n + 1; k < v.buf.size(); ++k)
                    ASSERT_EQ(v.buf[k], kSentinel) << "written beyond the NUL at " << k;
            }
        }
    }
}

// ---- the streaming decoder and the one-sequence helpers ----

// Decodes in through a stream decoder cut at the given offsets, then finishes the stream.
U16 StreamDecode(const std::string& in, std::vector<size_t> cuts) {
    COrvUtf8StreamDecoder dec;
    U16 out;
    size_t nFrom = 0;
    cuts.push_back(in.size());
    for (size_t nTo : cuts) {
        std::vector<char16_t> buf(nTo - nFrom + COrvUtf8StreamDecoder::kMaxCarry);
        const int n = dec.Decode(in.data() + nFrom, static_cast<int>(nTo - nFrom), buf.data());
        EXPECT_LE(n, static_cast<int>(buf.size()));
        out.append(buf.data(), static_cast<size_t>(n));
        nFrom = nTo;
    }
    char16_t tail[1];
    out.append(tail, static_cast<size_t>(dec.Finish(tail)));
    EXPECT_EQ(dec.Pending(), 0);
    return out;
}

TEST(Utf8Stream, RandomBytesAgreeWithTheConverter) {
    std::mt19937 rng(1234);
    const unsigned char pool[] = {'a',  0x7F, 0x80, 0x9F, 0xA0, 0xBF, 0xC2, 0xDF, 0xE0,
                                  0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0xC0, 0xAF};
    for (int nRound = 0; nRound < 600; ++nRound) {
        std::string in(rng() % 24, 'a');
        for (char& c : in)
            c = static_cast<char>(pool[rng() % sizeof(pool)]);
        std::vector<size_t> cuts;
        for (size_t k = rng() % 8; k > 0 && !in.empty(); --k)
            cuts.push_back(rng() % (in.size() + 1));
        std::sort(cuts.begin(), cuts.end());
        // The lenient whole-text conversion.
        std::vector<char16_t> buf(in.size() + 1);
        const int n = OrvUtf8ToUtf16(in.data(), static_cast<int>(in.size()), true, buf.data(),
                                     static_cast<int>(buf.size()));
        ASSERT_EQ(StreamDecode(in, cuts), U16(buf.data(), n)) << "round " << nRound;
    }
}

}  // namespace
