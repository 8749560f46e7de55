// UTF converters: the common contract, the decoders' edge cases, the string wrappers, and
// agreement with glibc's iconv on random valid and invalid input.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "orv-trace.h"
#include "orv-utf.h"
#include "support/orv-test-support.h"

namespace {

using U16 = std::u16string;
using U32 = std::u32string;

struct Result8 {
    std::string out;
    int n, status, pos;
};
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

Result8 From16(const U16& in, int nCap = 256, bool bPos = true) {
    std::vector<char> buf(nCap + 1, 'x');
    int st = -9, pos = -9;
    const int n = OrvUtf16ToUtf8(in.data(), static_cast<int>(in.size()), true, buf.data(), nCap,
                                 &st, bPos ? &pos : nullptr);
    return {std::string(buf.data()), n, st, bPos ? pos : -1};
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
        {"\xC0\x80", kRepair, false, enUtfOk, -1, u"\uFFFD\uFFFD"},
        // Encoded surrogates: invalid without the option; a pair is one character with it. A
        // high one with no low one after it stays invalid, a lone low one too; a high one at the
        // end of the input is incomplete.
        {"ab\xED\xA0\x80", kPos, false, enUtfInvalid, 2, u"ab"},
        {"\xED\xA0\x80\xED\xB0\x80", kPos, kSurr, enUtfOk, -1, u"\U00010000"},
        {"\xED\xA0\x80x", kPos, kSurr, enUtfInvalid, 0, nullptr},
        {"x\xED\xB0\x80", kPos, kSurr, enUtfInvalid, 1, nullptr},
        {"\xED\xA0\x80\xED\xB0", kPos, kSurr, enUtfIncomplete, 0, nullptr},
        {"\xED\xA0\x80x", kRepair, kSurr, -1, -1, u"\uFFFDx"},
        // Above U+10FFFF; a supplementary character.
        {"\xF4\x90\x80\x80", kPos, false, enUtfInvalid, 0, nullptr},
        {"\xF0\x9F\x98\x80", kPos, false, enUtfOk, -1, u"\xD83D\xDE00"},
        // Cut short by the end, or by a NUL inside the given length.
        {"A\xE2\x82", kPos, false, enUtfIncomplete, 1, u"A"},
        {std::string("\xE2\x82\0zz", 5), kPos, false, enUtfIncomplete, -1, nullptr},
        {std::string("ab\0cd", 5), kPos, false, enUtfOk, -1, u"ab"},
        // Repair replaces the maximal valid prefix of a broken sequence by one U+FFFD.
        {"\xE2\x82z\x80\xF5\xF0\x9F\x98", kRepair, false, -1, -1, u"\uFFFDz\uFFFD\uFFFD\uFFFD"},
    };
    for (const auto& c : kCases) {
        const Result16 r = To16(c.in, 256, c.bPos, c.bAccept);
        const std::string what = OrvTestHex(c.in);
        if (c.status >= 0) {
            EXPECT_EQ(r.status, c.status) << what;
        }
        if (c.pos >= 0) {
            EXPECT_EQ(r.pos, c.pos) << what;
        }
        if (c.out != nullptr) {
            EXPECT_EQ(r.out, U16(c.out)) << what;
            EXPECT_EQ(r.n, static_cast<int>(U16(c.out).size())) << what;
        }
    }
    char32_t c32[4];
    EXPECT_EQ(OrvUtf8ToUtf32("\xED\xA0\x80\xED\xB0\x80", -1, c32, 4, nullptr, nullptr, true), 1);
    EXPECT_EQ(c32[0], U'\U00010000');
}

TEST(OrvUtf, Utf16DecoderEdgeCases) {
    auto r = From16(U16(u"a\xD800"));
    EXPECT_EQ(r.status, enUtfIncomplete);
    EXPECT_EQ(r.pos, 1);
    EXPECT_EQ(r.out, "a");
    r = From16(U16(u"\xD800\x0041"));
    EXPECT_EQ(r.status, enUtfInvalid);
    EXPECT_EQ(r.pos, 0);
    r = From16(U16(u"\xD800\x0041"), 256, false);
    EXPECT_EQ(r.out,
              "\xEF\xBF\xBD"
              "A");
    r = From16(U16(u"\xDC00x"), 256, false);
    EXPECT_EQ(r.out, "\xEF\xBF\xBDx");

    // UTF-16 to UTF-16 repairs.
    const char16_t bad[] = {u'a', 0xDC00, 0xD83D, 0xDE00, 0xD800, 0};
    char16_t out[16];
    int st = -1;
    EXPECT_EQ(OrvUtf16ToUtf16(bad, -1, true, out, 16, &st), 5);
    EXPECT_EQ(U16(out), U16(u"a\uFFFD\xD83D\xDE00\uFFFD"));
    EXPECT_EQ(st, enUtfOk);

    // UTF-32: surrogates and values above U+10FFFF are invalid.
    const char32_t w[] = {U'x', 0xD800, 0x110000, 0x1F600, 0};
    char o8[32];
    int pos = -7;
    EXPECT_EQ(OrvUtf32ToUtf8(w, -1, o8, 32, &st, &pos), 1);
    EXPECT_EQ(st, enUtfInvalid);
    EXPECT_EQ(pos, 1);
    EXPECT_EQ(OrvUtf32ToUtf8(w, -1, o8, 32), 3 + 3 + 1 + 4);
    EXPECT_EQ(std::string(o8), "x\xEF\xBF\xBD\xEF\xBF\xBD\xF0\x9F\x98\x80");
    char16_t o16[8];
    EXPECT_EQ(OrvUtf32ToUtf16(w + 3, 1, true, o16, 8), 2);
    EXPECT_EQ(U16(o16), U16(u"\xD83D\xDE00"));
}

TEST(OrvUtf, CapacityAndMeasuring) {
    // U+1F600 needs five bytes with the NUL's place.
    const U16 smile(u"\xD83D\xDE00");
    auto r = From16(smile, 4);
    EXPECT_EQ(r.status, enUtfOutputFull);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.n, 0);
    r = From16(smile, 5);
    EXPECT_EQ(r.status, enUtfOk);
    EXPECT_EQ(r.out, "\xF0\x9F\x98\x80");

    // A pair needs two free units besides the NUL; the output keeps every complete character.
    auto q = To16("ab\xF0\x9F\x98\x80", 4);
    EXPECT_EQ(q.status, enUtfOutputFull);
    EXPECT_EQ(q.out, U16(u"ab"));
    // The ASCII fast path respects the capacity too.
    const std::string longAscii(100, 'k');
    q = To16(longAscii, 40);
    EXPECT_EQ(q.status, enUtfOutputFull);
    EXPECT_EQ(q.n, 39);
    EXPECT_EQ(q.out, U16(39, u'k'));
    // Capacity 1 holds only the NUL.
    q = To16("z", 1);
    EXPECT_EQ(q.status, enUtfOutputFull);
    EXPECT_EQ(q.out, U16());

    // Measuring: null output or capacity 0, nothing written.
    const std::string mixed = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80" + longAscii;
    EXPECT_EQ(OrvUtf8ToUtf16(mixed.c_str(), -1, true, nullptr, 0), 1 + 1 + 1 + 2 + 100);
    char16_t untouched = 0x5555;
    EXPECT_EQ(OrvUtf8ToUtf16(mixed.c_str(), -1, true, &untouched, 0), 105);
    EXPECT_EQ(untouched, 0x5555);
    EXPECT_EQ(OrvUtf16ToUtf8(u"\xD83D\xDE00\x00E9", -1, true, nullptr, 0), 6);
    // The error position is -1 when nothing is wrong, and measuring stops at an error.
    int st = -1, pos = 5;
    EXPECT_EQ(OrvUtf8ToUtf16("abc\xFF", -1, true, nullptr, 0, &st, &pos), 3);
    EXPECT_EQ(pos, 3);
    EXPECT_EQ(OrvUtf8ToUtf16("abc", -1, true, nullptr, 0, &st, &pos), 3);
    EXPECT_EQ(pos, -1);
    EXPECT_EQ(st, enUtfOk);
}

TEST(OrvUtf, StringWrappers) {
    COrvStringA a;
    EXPECT_TRUE(OrvUtf16ToUtf8(u"h\x00E9\xD800!", a));
    EXPECT_STREQ(a, "h\xC3\xA9\xEF\xBF\xBD!");
    EXPECT_TRUE(OrvUtf16ToUtf8(u"abcdef", 3, a));
    EXPECT_STREQ(a, "abc");
    EXPECT_TRUE(OrvUtf16ToUtf8(u"", a));
    EXPECT_TRUE(a.IsEmpty());

    COrvStringW w;
    COrvStringA err;
    {
        OrvReportCapture cap;
        EXPECT_TRUE(OrvUtf8ToUtf16("", 0, w, err));
        EXPECT_TRUE(w.IsEmpty());
        EXPECT_TRUE(OrvUtf8ToUtf16("\xE2\x82\xAC!", -1, w, err));
        EXPECT_EQ(U16(w.GetString()), U16(u"\u20AC!"));
        EXPECT_TRUE(cap.Exprs().empty());
        // The text quoted in the message is exactly the given bytes, not what follows them.
        const char bytes[] = "ok\xC0\x80tailtail";
        EXPECT_FALSE(OrvUtf8ToUtf16(bytes, 6, w, err));
        EXPECT_TRUE(w.IsEmpty());
        EXPECT_STREQ(err, "bad UTF-8 sequence at pos 2 in string ok\xC0\x80ta");
        ASSERT_EQ(cap.Count(), 1u);
        EXPECT_EQ(cap.Exprs()[0], "FALSE");
    }

    COrvStringA out;
    EXPECT_TRUE(OrvBytesToUtf8(COrvStringA("\xFF\xFE\x41\x00\x42\x00", 6), out));
    EXPECT_STREQ(out, "AB");
    EXPECT_TRUE(OrvBytesToUtf8(COrvStringA("\xFE\xFF\x00\x41\xD8\x3D\xDE\x00", 8), out));
    EXPECT_STREQ(out, "A\xF0\x9F\x98\x80");
    // An odd trailing byte pairs with the terminating zero byte: 0x43 0x00 is "C".
    EXPECT_TRUE(OrvBytesToUtf8(COrvStringA("\xFF\xFE\x41\x00\x43", 5), out));
    EXPECT_STREQ(out, "AC");
    EXPECT_TRUE(OrvBytesToUtf8(COrvStringA("\xEF\xBB\xBFtext"), out));
    EXPECT_STREQ(out, "text");
    COrvStringA same("plain \xC3\xA9");
    EXPECT_TRUE(OrvBytesToUtf8(same, same));
    EXPECT_STREQ(same, "plain \xC3\xA9");
    EXPECT_TRUE(OrvBytesToUtf8(COrvStringA("\xFF\xFE"), out));
    EXPECT_TRUE(out.IsEmpty());

    EXPECT_STREQ(OrvCodePageName(1252), "CP1252");
    EXPECT_STREQ(OrvCodePageName(932), "CP932");
    EXPECT_EQ(OrvCodePageName(437), nullptr);
    EXPECT_EQ(OrvCodePageName(1258), nullptr);
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
std::string Bytes(const T* p, int n) {
    return std::string(reinterpret_cast<const char*>(p), n * sizeof(T));
}

char32_t RandomCodePoint(std::mt19937& rng) {
    switch (rng() % 4) {
        case 0:
            return 1 + rng() % 0x7F;
        case 1:
            return 0x80 + rng() % (0x800 - 0x80);
        case 2: {
            char32_t c = 0x800 + rng() % (0x10000 - 0x800);
            return (c >= 0xD800 && c <= 0xDFFF) ? c - 0x800 : c;
        }
        default:
            return 0x10000 + rng() % (0x110000 - 0x10000);
    }
}

TEST(OrvUtfIconv, ValidInputAgreesInEveryDirection) {
    std::mt19937 rng(20261206);
    for (int iter = 0; iter < 3000; ++iter) {
        U32 text;
        const int nLen = 1 + rng() % 40;
        for (int i = 0; i < nLen; ++i)
            text += RandomCodePoint(rng);
        const std::string in32 = Bytes(text.data(), nLen);
        const std::string s8 = Iconv("UTF-8", "UTF-32LE", in32).out;
        const std::string s16b = Iconv("UTF-16LE", "UTF-32LE", in32).out;
        const U16 s16(reinterpret_cast<const char16_t*>(s16b.data()), s16b.size() / 2);

        std::vector<char16_t> o16(s16.size() + 1);
        std::vector<char> o8(s8.size() + 1);
        std::vector<char32_t> o32(text.size() + 1);
        int st, pos;
        int n = OrvUtf8ToUtf16(s8.data(), s8.size(), true, o16.data(), o16.size(), &st, &pos);
        ASSERT_EQ(st, enUtfOk);
        ASSERT_EQ(Bytes(o16.data(), n), s16b);
        n = OrvUtf8ToUtf32(s8.data(), s8.size(), o32.data(), o32.size(), &st, &pos);
        ASSERT_EQ(Bytes(o32.data(), n), in32);
        n = OrvUtf16ToUtf8(s16.data(), s16.size(), true, o8.data(), o8.size(), &st, &pos);
        ASSERT_EQ(std::string(o8.data(), n), s8);
        n = OrvUtf16ToUtf32(s16.data(), s16.size(), true, o32.data(), o32.size(), &st, &pos);
        ASSERT_EQ(Bytes(o32.data(), n), in32);
        n = OrvUtf32ToUtf8(text.data(), text.size(), o8.data(), o8.size(), &st, &pos);
        ASSERT_EQ(std::string(o8.data(), n), s8);
        n = OrvUtf32ToUtf16(text.data(), text.size(), true, o16.data(), o16.size(), &st, &pos);
        ASSERT_EQ(Bytes(o16.data(), n), s16b);
        n = OrvUtf16ToUtf16(s16.data(), s16.size(), true, o16.data(), o16.size(), &st, &pos);
        ASSERT_EQ(st, enUtfOk);
        ASSERT_EQ(Bytes(o16.data(), n), s16b);
    }
}

// glibc reports EINVAL ("incomplete") for any truncated sequence at the end of the input, even
// when its second byte is already outside the first byte's range (E0 80, ED A0, F0 80, F4 90):
// those are invalid here. So: error positions are compared always; iconv's EILSEQ must be our
// status 1, and our status 2 must be iconv's EINVAL. NUL bytes, which end our input, are not
// generated.
TEST(OrvUtfIconv, InvalidUtf8FirstErrorAgrees) {
    std::mt19937 rng(4242);
    static const unsigned char kPicks[] = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                           0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0,
                                           0xF1, 0xF3, 0xF4, 0xF5, 0xF8, 0xFE, 0xFF};
    int nErrors = 0;
    for (int iter = 0; iter < 5000; ++iter) {
        std::string in;
        const int nLen = 1 + rng() % 12;
        for (int i = 0; i < nLen; ++i)
            in += static_cast<char>(rng() % 3 ? kPicks[rng() % sizeof kPicks] : 1 + rng() % 255);
        const IconvResult ref = Iconv("UTF-16LE", "UTF-8", in);
        std::vector<char16_t> o16(in.size() + 1);
        int st, pos;
        const int n = OrvUtf8ToUtf16(in.data(), in.size(), true, o16.data(), o16.size(), &st, &pos);
        ASSERT_EQ(Bytes(o16.data(), n), ref.out) << "input " << testing::PrintToString(in);
        if (ref.err == 0) {
            ASSERT_EQ(st, enUtfOk);
            continue;
        }
        ++nErrors;
        ASSERT_EQ(pos, ref.pos) << testing::PrintToString(in);
        if (ref.err == EILSEQ) {
            ASSERT_EQ(st, enUtfInvalid) << testing::PrintToString(in);
        }
        if (st == enUtfIncomplete) {
            ASSERT_EQ(ref.err, EINVAL) << testing::PrintToString(in);
        }
    }
    EXPECT_GT(nErrors, 2500);
}

TEST(OrvUtfIconv, InvalidUtf16FirstErrorAgrees) {
    std::mt19937 rng(777);
    static const char16_t kPicks[] = {0x41,   0xE9,   0xD7FF, 0xD800, 0xDBFF,
                                      0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
    int nErrors = 0;
    for (int iter = 0; iter < 5000; ++iter) {
        U16 in;
        const int nLen = 1 + rng() % 10;
        for (int i = 0; i < nLen; ++i)
            in += rng() % 2 ? kPicks[rng() % 10] : static_cast<char16_t>(1 + rng() % 0xFFFF);
        const IconvResult ref = Iconv("UTF-8", "UTF-16LE", Bytes(in.data(), in.size()));
        std::vector<char> o8(in.size() * 3 + 1);
        int st, pos;
        const int n = OrvUtf16ToUtf8(in.data(), in.size(), true, o8.data(), o8.size(), &st, &pos);
        ASSERT_EQ(std::string(o8.data(), n), ref.out);
        if (ref.err == 0) {
            ASSERT_EQ(st, enUtfOk);
            continue;
        }
        ++nErrors;
        ASSERT_EQ(pos * 2, ref.pos);
        ASSERT_EQ(st, ref.err == EINVAL ? enUtfIncomplete : enUtfInvalid);
    }
    EXPECT_GT(nErrors, 1000);
}

// ---- the vector path of UTF-8 to UTF-16 ----
//
// The vector path takes blocks of 16 input bytes; anything unusual in a block (an error, a NUL, a
// sequence cut by the end of the block, the end of the input or of the output) is left to the
// scalar path. These tests run every case with the vector path allowed and forbidden, and require
// identical results, with the caller's buffer untouched beyond the terminating NUL.

// Restores the vector-path setting on exit.
struct VectorPathScope {
    bool m_bPrev;
    explicit VectorPathScope(bool bAllow) : m_bPrev(OrvUtfAllowVectorPath(bAllow)) {}
    ~VectorPathScope() { OrvUtfAllowVectorPath(m_bPrev); }
};

struct Full16 {
    std::vector<char16_t> buf;  // the whole buffer, sentinels included
    int n, status, pos;
    bool operator==(const Full16&) const = default;
};

constexpr char16_t kSentinel = 0x7777;

// The input in a heap block of exactly its size (plus the NUL when it is NUL-terminated), so that
// the address sanitizer sees any read beyond it.
std::unique_ptr<char[]> ExactCopy(const std::string& in, bool bTerminated) {
    std::unique_ptr<char[]> p(new char[in.size() + (bTerminated ? 1 : 0)]);
    memcpy(p.get(), in.c_str(), in.size() + (bTerminated ? 1 : 0));
    return p;
}

Full16 Run16(bool bVector, const std::string& in, int nCap, bool bPos, bool bAccept,
             bool bTerminated = false) {
    VectorPathScope scope(bVector);
    const std::unique_ptr<char[]> p = ExactCopy(in, bTerminated);
    Full16 r{std::vector<char16_t>(nCap + 8, kSentinel), 0, -9, -9};
    r.n = OrvUtf8ToUtf16(p.get(), bTerminated ? -1 : static_cast<int>(in.size()), true,
                         r.buf.data(), nCap, &r.status, bPos ? &r.pos : nullptr, bAccept);
    return r;
}

int Measure16(bool bVector, const std::string& in, bool bPos, bool bAccept, int* pnStatus) {
    VectorPathScope scope(bVector);
    const std::unique_ptr<char[]> p = ExactCopy(in, false);
    int pos = -9;
    return OrvUtf8ToUtf16(p.get(), static_cast<int>(in.size()), true, nullptr, 0, pnStatus,
                          bPos ? &pos : nullptr, bAccept);
}

// Both paths, every mode: with and without the error position and the surrogate option, measuring,
// a buffer of exactly the measured size plus one, and a larger one.
void ExpectPathsAgree(const std::string& in, const char* what) {
    SCOPED_TRACE(testing::Message() << what << ": " << testing::PrintToString(in));
    for (int mode = 0; mode < 4; ++mode) {
        const bool bPos = mode & 1, bAccept = mode & 2;
        int stV = -1, stS = -1;
        const int nNeed = Measure16(false, in, bPos, bAccept, &stS);
        ASSERT_EQ(Measure16(true, in, bPos, bAccept, &stV), nNeed) << "mode " << mode;
        ASSERT_EQ(stV, stS) << "mode " << mode;
        for (int nCap : {nNeed + 1, nNeed + 40}) {
            const Full16 v = Run16(true, in, nCap, bPos, bAccept);
            const Full16 sc = Run16(false, in, nCap, bPos, bAccept);
            ASSERT_EQ(v, sc) << "mode " << mode << " capacity " << nCap;
            ASSERT_EQ(v.n, nNeed);
            ASSERT_EQ(v.buf[v.n], 0);
            for (size_t k = v.n + 1; k < v.buf.size(); ++k)
                ASSERT_EQ(v.buf[k], kSentinel) << "written beyond the NUL at " << k;
        }
    }
}

std::string Utf8Of(char32_t c) {
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
}

// Valid text of at least nBytes bytes: characters of every length, drawn with the given weights
// (ASCII, two, three, four bytes), including the edges of each range (U+0080, U+07FF, U+0800,
// U+D7FF, U+E000, U+FFFF, U+10000, U+10FFFF).
std::string ValidText(std::mt19937& rng, size_t nBytes, const int (&weights)[4]) {
    static const char32_t kEdges[] = {0x01,    0x7F,    0x80,    0x7FF,   0x800,    0xFFF,
                                      0x1000,  0xCFFF,  0xD000,  0xD7FF,  0xE000,   0xFFFF,
                                      0x10000, 0x3FFFF, 0x40000, 0xFFFFF, 0x100000, 0x10FFFF};
    std::string s;
    const int nTotal = weights[0] + weights[1] + weights[2] + weights[3];
    while (s.size() < nBytes) {
        if (rng() % 16 == 0) {
            s += Utf8Of(kEdges[rng() % std::size(kEdges)]);
            continue;
        }
        int w = static_cast<int>(rng() % nTotal), k = 0;
        while (w >= weights[k])
            w -= weights[k++];
        char32_t c;
        if (k == 0) {
            c = 1 + rng() % 0x7F;
        } else if (k == 1) {
            c = 0x80 + rng() % 0x780;
        } else if (k == 2) {
            c = 0x800 + rng() % 0xF800;
            if (c >= 0xD800 && c <= 0xDFFF)
                c -= 0x800;
        } else {
            c = 0x10000 + rng() % 0x100000;
        }
        s += Utf8Of(c);
    }
    return s;
}

// Broken pieces: stray continuations, bytes that never occur, overlong forms, encoded surrogates
// (alone and as a pair), values above U+10FFFF, cut sequences, NUL.
const std::vector<std::string>& BadPieces() {
    static const std::vector<std::string> k = {"\x80",
                                               "\xBF",
                                               "\xC0\x80",
                                               "\xC1\xBF",
                                               "\xF5\x80\x80\x80",
                                               "\xF8",
                                               "\xFE",
                                               "\xFF",
                                               "\xE0\x80\x80",
                                               "\xE0\x9F\xBF",
                                               "\xF0\x80\x80\x80",
                                               "\xF0\x8F\xBF\xBF",
                                               "\xED\xA0\x80",
                                               "\xED\xBF\xBF",
                                               "\xED\xA0\x80\xED\xB0\x80",
                                               "\xED\xAF\xBF\xED\xBF\xBF",
                                               "\xF4\x90\x80\x80",
                                               "\xF4\xBF\xBF\xBF",
                                               "\xC2",
                                               "\xE2\x82",
                                               "\xE2",
                                               "\xF0\x9F\x98",
                                               "\xF0\x9F",
                                               "\xF0",
                                               "\xC2\xC2",
                                               "\xE2\x82\xAC\xAC",
                                               "\xF0\x9F\x98\x80\x80",
                                               std::string(1, '\0'),
                                               std::string("a\0b", 3)};
    return k;
}

TEST(OrvUtfVector, RandomTextAgreesWithScalarPath) {
    std::mt19937 rng(9001);
    static const int kMixes[][4] = {{1, 1, 1, 1}, {4, 4, 1, 0}, {1, 0, 4, 0}, {1, 0, 0, 1},
                                    {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}, {8, 1, 1, 1}};
    for (int iter = 0; iter < 1500; ++iter) {
        const auto& mix = kMixes[iter % std::size(kMixes)];
        std::string in = ValidText(rng, 1 + rng() % 120, mix);
        // Half of the cases get one to three broken pieces somewhere.
        if (iter % 2) {
            for (int k = 1 + rng() % 3; k > 0; --k) {
                const std::string& bad = BadPieces()[rng() % BadPieces().size()];
                in.insert(rng() % (in.size() + 1), bad);
            }
        }
        ExpectPathsAgree(in, "random");
        if (HasFatalFailure())
            return;
    }
}

// One broken piece at every offset of the first blocks of valid text (all offsets from 0 to 63,
// so the error lands at every position of a 16-byte block, at both character boundaries and
// inside characters).
TEST(OrvUtfVector, ErrorAtEveryOffsetOfABlock) {
    std::mt19937 rng(31337);
    static const int kMixes[][4] = {{1, 1, 1, 1}, {1, 1, 0, 0}, {0, 0, 1, 0}, {1, 0, 0, 1}};
    for (const auto& mix : kMixes) {
        const std::string text = ValidText(rng, 96, mix);
        for (const std::string& bad : BadPieces()) {
            for (size_t off = 0; off < 64; ++off) {
                std::string in = text;
                in.insert(off, bad);
                ExpectPathsAgree(in, "inserted");
                // Replacing the byte there instead breaks the character it belongs to.
                std::string rep = text;
                rep.replace(off, 1, bad);
                ExpectPathsAgree(rep, "replaced");
                if (HasFatalFailure())
                    return;
            }
        }
    }
}

// A multi-byte character cut short by the end of the input, with its lead at each of the last
// bytes of a block, for inputs ending at every length around the block ends.
TEST(OrvUtfVector, TruncatedSequenceAtBlockEnds) {
    static const char* kChars[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xED\x9F\xBF",
                                   "\xF4\x8F\xBF\xBF"};
    for (const char* ch : kChars) {
        const std::string c(ch);
        for (size_t nPrefix = 0; nPrefix < 50; ++nPrefix) {
            for (size_t nKeep = 1; nKeep <= c.size(); ++nKeep) {
                // Plain ASCII prefix, and a prefix of two-byte characters (odd lengths get an 'x').
                std::string a(nPrefix, 'a');
                std::string b;
                while (b.size() + 2 <= nPrefix)
                    b += "\xD0\xB4";
                if (b.size() < nPrefix)
                    b += 'x';
                for (const std::string& prefix : {a, b}) {
                    const std::string cut = prefix + c.substr(0, nKeep);
                    ExpectPathsAgree(cut, "cut at the end");
                    // The same, followed by more text: the cut is then an invalid sequence.
                    ExpectPathsAgree(cut + "tail of twenty bytes!", "cut inside");
                    if (nKeep == c.size())
                        ExpectPathsAgree(cut +
                                             "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"
                                             "\xE2\x82\xAC\xE2\x82\xAC",
                                         "whole");
                    if (HasFatalFailure())
                        return;
                }
            }
        }
    }
    // NUL-terminated input (length -1) ending inside a character.
    const std::string t = std::string(30, 'q') + "\xE2\x82";
    EXPECT_EQ(Run16(true, t, 64, true, false, true), Run16(false, t, 64, true, false, true));
    const Full16 r = Run16(true, t, 64, true, false, true);
    EXPECT_EQ(r.status, enUtfIncomplete);
    EXPECT_EQ(r.pos, 30);
}

// Every output capacity from 1 to beyond the result: status 3 with every complete character
// before the cut, the NUL right after it, and nothing written after the NUL.
TEST(OrvUtfVector, OutputCapacityEndsInsideABlock) {
    std::mt19937 rng(55);
    static const int kMixes[][4] = {{1, 1, 1, 1}, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 0, 1}};
    for (const auto& mix : kMixes) {
        const std::string in = ValidText(rng, 150, mix);
        const Full16 whole = Run16(false, in, 400, true, false);
        ASSERT_EQ(whole.status, enUtfOk);
        for (int nCap = 1; nCap <= whole.n + 3; ++nCap) {
            SCOPED_TRACE(testing::Message() << "capacity " << nCap);
            for (bool bPos : {false, true}) {
                const Full16 v = Run16(true, in, nCap, bPos, false);
                ASSERT_EQ(v, Run16(false, in, nCap, bPos, false));
                ASSERT_LT(v.n, nCap);
                ASSERT_EQ(v.status, nCap > whole.n ? enUtfOk : enUtfOutputFull);
                // A cut never splits a surrogate pair, and the units are the whole result's.
                ASSERT_TRUE(std::equal(v.buf.begin(), v.buf.begin() + v.n, whole.buf.begin()));
                ASSERT_EQ(v.buf[v.n], 0);
                if (v.n > 0) {
                    ASSERT_FALSE(v.buf[v.n - 1] >= 0xD800 && v.buf[v.n - 1] <= 0xDBFF);
                }
                if (nCap <= whole.n) {
                    ASSERT_GE(v.n, nCap - 2);
                }
                for (size_t k = v.n + 1; k < v.buf.size(); ++k)
                    ASSERT_EQ(v.buf[k], kSentinel);
            }
        }
    }
}

// Long text with a few invalid bytes, against iconv: the same first error and the same output
// before it, with the vector path allowed (the short cases above stay under one block).
TEST(OrvUtfVector, LongInvalidInputFirstErrorAgreesWithIconv) {
    std::mt19937 rng(2718);
    VectorPathScope scope(true);
    int nErrors = 0;
    for (int iter = 0; iter < 3000; ++iter) {
        std::string in = ValidText(rng, 16 + rng() % 100, {2, 2, 1, 1});
        if (iter % 4) {
            std::string bad;
            for (int k = 1 + rng() % 3; k > 0; --k)
                bad += static_cast<char>(0x80 + rng() % 0x80);
            in.insert(rng() % (in.size() + 1), bad);
        }
        const IconvResult ref = Iconv("UTF-16LE", "UTF-8", in);
        std::vector<char16_t> o16(in.size() + 1);
        int st, pos;
        const int n = OrvUtf8ToUtf16(in.data(), in.size(), true, o16.data(), o16.size(), &st, &pos);
        ASSERT_EQ(Bytes(o16.data(), n), ref.out) << testing::PrintToString(in);
        if (ref.err == 0) {
            ASSERT_EQ(st, enUtfOk);
            continue;
        }
        ++nErrors;
        ASSERT_EQ(pos, ref.pos) << testing::PrintToString(in);
        if (ref.err == EILSEQ) {
            ASSERT_EQ(st, enUtfInvalid) << testing::PrintToString(in);
        }
    }
    EXPECT_GT(nErrors, 1500);
}

// Large text of each kind, both paths, through the string wrapper too.
TEST(OrvUtfVector, LargeTextAndStringWrapper) {
    std::mt19937 rng(77);
    const std::string in = ValidText(rng, 200000, {3, 3, 1, 1});
    const IconvResult ref = Iconv("UTF-16LE", "UTF-8", in);
    ASSERT_EQ(ref.err, 0);
    for (bool bVector : {true, false}) {
        VectorPathScope scope(bVector);
        COrvStringW w;
        COrvStringA err;
        ASSERT_TRUE(OrvUtf8ToUtf16(in.data(), static_cast<int>(in.size()), w, err));
        ASSERT_EQ(Bytes(w.GetString(), w.GetLength()), ref.out);
    }
}

TEST(OrvUtfVector, SettingIsReported) {
    const bool bPrev = OrvUtfAllowVectorPath(false);
    EXPECT_FALSE(OrvUtfAllowVectorPath(bPrev));
    EXPECT_EQ(OrvUtfAllowVectorPath(bPrev), bPrev);
}

}  // namespace

// ---- the streaming decoder and the one-sequence helpers ----

namespace {

// Decodes in through a stream decoder cut at the given offsets, then finishes the stream.
std::u16string StreamDecode(const std::string& in, const std::vector<size_t>& cuts) {
    COrvUtf8StreamDecoder dec;
    std::u16string out;
    size_t nFrom = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(in.size());
    for (size_t nTo : ends) {
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

// The lenient whole-text conversion the stream must agree with.
std::u16string WholeDecode(const std::string& in) {
    std::vector<char16_t> buf(in.size() + 1);
    const int n = OrvUtf8ToUtf16(in.data(), static_cast<int>(in.size()), true, buf.data(),
                                 static_cast<int>(buf.size()));
    return std::u16string(buf.data(), static_cast<size_t>(n));
}

}  // namespace

TEST(Utf8Stream, SequencesCutAtEveryPointDecodeAsWhole) {
    const std::string in = "a\xC3\xA9z\xE2\x82\xAC\xF0\x9F\x98\x80!\xF4\x8F\xBF\xBF";
    const std::u16string want = u"a\u00E9z\u20AC\U0001F600!\U0010FFFF";
    EXPECT_EQ(StreamDecode(in, {}), want);
    for (size_t i = 0; i <= in.size(); ++i) {
        EXPECT_EQ(StreamDecode(in, {i}), want) << "cut at " << i;
        for (size_t j = i; j <= in.size(); ++j)
            EXPECT_EQ(StreamDecode(in, {i, i, j}), want) << "cuts at " << i << ", " << j;
    }
    // One byte at a time: every multi-byte sequence waits in the decoder.
    std::vector<size_t> each;
    for (size_t i = 1; i < in.size(); ++i)
        each.push_back(i);
    EXPECT_EQ(StreamDecode(in, each), want);
}

TEST(Utf8Stream, InvalidBytesSurrogatesAndCutEnds) {
    // Each maximal invalid piece is one U+FFFD; an encoded surrogate is three of them.
    EXPECT_EQ(StreamDecode("\x80x\xFF\xC0\xAF", {}), u"\uFFFDx\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(StreamDecode("\xED\xA0\x80", {1}), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(StreamDecode("\xE2\x82z", {1, 2}), u"\uFFFDz");
    // A lead byte kept from one chunk that the next chunk does not continue.
    EXPECT_EQ(StreamDecode("\xF0\x9F"
                           "ab",
                           {2}),
              u"\uFFFDab");
    // A stream that ends inside a sequence gives one U+FFFD when finished.
    EXPECT_EQ(StreamDecode("ok\xF0\x9F\x98", {3}), u"ok\uFFFD");
    EXPECT_EQ(StreamDecode(std::string("a\0b", 3), {2}), std::u16string(u"a\0b", 3));
}

TEST(Utf8Stream, RandomBytesAgreeWithTheConverter) {
    std::mt19937 rng(1234);
    const unsigned char pool[] = {'a',  0x7F, 0x80, 0x9F, 0xA0, 0xBF, 0xC2, 0xDF, 0xE0,
                                  0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0xC0, 0xAF};
    for (int nRound = 0; nRound < 2000; ++nRound) {
        std::string in(rng() % 24, 'a');
        for (char& c : in)
            c = static_cast<char>(pool[rng() % sizeof(pool)]);
        std::vector<size_t> cuts;
        for (size_t k = rng() % 4; k > 0 && !in.empty(); --k)
            cuts.push_back(rng() % (in.size() + 1));
        std::sort(cuts.begin(), cuts.end());
        ASSERT_EQ(StreamDecode(in, cuts), WholeDecode(in)) << "round " << nRound;
    }
}

TEST(Utf8Helpers, SurrogatesAndSingleSequences) {
    for (char32_t c : {char32_t{0x10000}, char32_t{0x1F600}, char32_t{0x10FFFF}}) {
        const char16_t hi = OrvHighSurrogateOf(c);
        const char16_t lo = OrvLowSurrogateOf(c);
        EXPECT_TRUE(OrvIsHighSurrogate(hi) && OrvIsLowSurrogate(lo));
        EXPECT_FALSE(OrvIsLowSurrogate(hi) || OrvIsHighSurrogate(lo));
        EXPECT_EQ(OrvCombineSurrogates(hi, lo), c);
        char buf[4];
        const int n = OrvUtf8EncodeOne(c, buf);
        EXPECT_EQ(n, OrvUtf8Length(c));
        const OrvUtf8Step st = OrvUtf8DecodeOne(buf, static_cast<size_t>(n));
        EXPECT_EQ(st.eStatus, enUtfOk);
        EXPECT_EQ(st.c, c);
        EXPECT_EQ(st.nLen, n);
        EXPECT_EQ(OrvUtf8DecodeOne(buf, static_cast<size_t>(n - 1)).eStatus, enUtfIncomplete);
    }
    EXPECT_FALSE(OrvIsSurrogate(0xD7FF) || OrvIsSurrogate(0xE000));
    EXPECT_TRUE(OrvIsSurrogate(0xD800) && OrvIsSurrogate(0xDFFF));
    // An encoded high surrogate only when asked for; an encoded low one never.
    EXPECT_EQ(OrvUtf8DecodeOne("\xED\xA0\x80", 3).eStatus, enUtfInvalid);
    const OrvUtf8Step high = OrvUtf8DecodeOne("\xED\xA0\x80", 3, true);
    EXPECT_EQ(high.eStatus, enUtfOk);
    EXPECT_EQ(high.c, 0xD800u);
    EXPECT_EQ(OrvUtf8DecodeOne("\xED\xB0\x80", 3, true).eStatus, enUtfInvalid);
    EXPECT_EQ(OrvUtf8DecodeOne("\xE0\x9F\x80", 3).nLen, 1);  // overlong: the lead byte alone
    EXPECT_EQ(OrvUtf8DecodeOne("\xE2\x82z", 3).nLen, 2);     // cut by a non-continuation byte
}
