// Number and text utilities: integer, IPv4 and size parsers with their messages, splitting,
// decimal and grouped texts with the locale's thousands separator, hex, dumps, C escapes, error
// names and texts, text checks, HTML to text, MIME words, character references, comparators.
#include "orv-string-util.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "orv-log.h"
#include "orv-result.h"
#include "orv-trace.h"
#include "support/orv-test-support.h"

namespace {

const auto& S = OrvStr;
const auto& W = OrvStrW;

// ---------------------------------------------------------------------------------------------
// Integer parsers

// The outcome of one parse, with the value and the error fields as they are afterwards.
template <typename V>
struct Parsed {
    bool bOk;
    V nValue;
    int nError;
    std::string strError;
};

constexpr int kUntouchedError = -77;

template <typename V, typename T>
Parsed<V> Try(bool (*pfn)(const T*, const char*, V&, int&, COrvStringA&), const T* psz, V nSentinel,
              const char* pszContext = "ctx") {
    Parsed<V> r{false, nSentinel, kUntouchedError, ""};
    COrvStringA strError("untouched");
    r.bOk = pfn(psz, pszContext, r.nValue, r.nError, strError);
    r.strError = S(strError);
    return r;
}

// Success: the value is set, the error fields are not touched.
template <typename V>
void ExpectValue(const Parsed<V>& r, V nWant) {
    EXPECT_TRUE(r.bOk) << r.strError;
    EXPECT_EQ(r.nValue, nWant);
    EXPECT_EQ(r.nError, kUntouchedError);
    EXPECT_EQ(r.strError, "untouched");
}

// Failure: code 6, the exact message, the value unchanged.
template <typename V>
void ExpectFailure(const Parsed<V>& r, V nSentinel, const std::string& strMessage) {
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(r.nValue, nSentinel) << "the value must stay unchanged";
    EXPECT_EQ(r.nError, 6);
    EXPECT_EQ(r.strError, strMessage);
}

TEST(OrvParseInt, Int32Boundaries) {
    const int32_t kS = 4242;
    ExpectValue(Try(OrvParseInt32A, "2147483647", kS), INT32_MAX);
    ExpectFailure(Try(OrvParseInt32A, "2147483648", kS), kS, "integer overflow 32-bit: 2147483648");
    // The magnitude limit is 2147483647 for both signs: the smallest value is -2147483647 and
    // the type's own minimum fails, like any magnitude above the maximum.
    ExpectValue(Try(OrvParseInt32A, "-2147483647", kS), -INT32_MAX);
    ExpectFailure(Try(OrvParseInt32A, "-2147483648", kS), kS,
                  "integer overflow 32-bit: -2147483648");
    ExpectValue(Try(OrvParseInt32A, "0000000000002147483647", kS), INT32_MAX);
    // The overflow message carries the whole text, the part after the space too.
    ExpectFailure(Try(OrvParseInt32A, "2147483648 rest", kS), kS,
                  "integer overflow 32-bit: 2147483648 rest");
}

TEST(OrvParseInt, Int64Boundaries) {
    const int64_t kS = 4242;
    ExpectValue(Try(OrvParseInt64A, "9223372036854775807", kS), INT64_MAX);
    ExpectFailure(Try(OrvParseInt64A, "9223372036854775808", kS), kS,
                  "integer overflow 64-bit: 9223372036854775808");
    ExpectValue(Try(OrvParseInt64A, "-9223372036854775807", kS), -INT64_MAX);
    ExpectFailure(Try(OrvParseInt64A, "-9223372036854775808", kS), kS,
                  "integer overflow 64-bit: -9223372036854775808");
}

TEST(OrvParseInt, UInt32Boundaries) {
    const uint32_t kS = 4242;
    ExpectValue(Try(OrvParseUInt32A, "4294967295", kS), UINT32_MAX);
    ExpectFailure(Try(OrvParseUInt32A, "4294967296", kS), kS,
                  "uinteger overflow 32-bit: 4294967296");
    ExpectValue(Try(OrvParseUInt32A, "0", kS), 0u);
    // Below the minimum: no sign is accepted, the minus is the bad character.
    ExpectFailure(Try(OrvParseUInt32A, "-1", kS), kS, "bad UInt32(A) number in ctx: -1: -");
    ExpectFailure(Try(OrvParseUInt32A, "-0", kS), kS, "bad UInt32(A) number in ctx: -0: -");
    ExpectFailure(Try(OrvParseUInt32A, "42949672950", kS), kS,
                  "uinteger overflow 32-bit: 42949672950");
}

TEST(OrvParseInt, UInt64Boundaries) {
    const uint64_t kS = 4242;
    ExpectValue(Try(OrvParseUInt64A, "18446744073709551615", kS), UINT64_MAX);
    ExpectFailure(Try(OrvParseUInt64A, "18446744073709551616", kS), kS,
                  "uinteger overflow 64-bit: 18446744073709551616");
    ExpectValue(Try(OrvParseUInt64A, "0", kS), uint64_t{0});
    ExpectFailure(Try(OrvParseUInt64A, "-1", kS), kS, "bad UInt64(A) number in ctx: -1: -");
}

TEST(OrvParseInt, OctalHasNoOverflowAndTakesTheValueModulo2To32) {
    const uint32_t kS = 4242;
    ExpectValue(Try(OrvParseOctalUInt32A, "17", kS), 15u);
    ExpectValue(Try(OrvParseOctalUInt32A, "0755", kS), 0755u);
    ExpectValue(Try(OrvParseOctalUInt32A, "37777777777", kS), UINT32_MAX);  // max
    ExpectValue(Try(OrvParseOctalUInt32A, "40000000000", kS), 0u);          // max + 1 wraps
    ExpectValue(Try(OrvParseOctalUInt32A, "77777777777", kS), UINT32_MAX);
    ExpectValue(Try(OrvParseOctalUInt32A, "0", kS), 0u);
    ExpectFailure(Try(OrvParseOctalUInt32A, "8", kS), kS, "bad OctalUInt32(A) number in ctx: 8: 8");
    ExpectFailure(Try(OrvParseOctalUInt32A, "-1", kS), kS,
                  "bad OctalUInt32(A) number in ctx: -1: -");
    ExpectFailure(Try(OrvParseOctalUInt32A, "129", kS), kS,
                  "bad OctalUInt32(A) number in ctx: 129: 9");
}

TEST(OrvParseInt, EndsAndFormatMessages) {
    const int32_t kS = 4242;
    // Boundary and malformed inputs.
    ExpectValue(Try(OrvParseInt32A, "123 abc", kS), 123);
    ExpectFailure(Try(OrvParseInt32A, "12a", kS), kS, "bad Int32(A) number in ctx: 12a: a");
    ExpectValue(Try(OrvParseInt32A, "-", kS), 0);
    ExpectValue(Try(OrvParseInt32A, "", kS), 0);
    ExpectValue(Try(OrvParseInt32A, static_cast<const char*>(nullptr), kS), 0);
    // A line feed ends the number too; a tab, a CR, a plus or a second minus do not.
    ExpectValue(Try(OrvParseInt32A, "-45\nx", kS), -45);
    ExpectFailure(Try(OrvParseInt32A, "45\t", kS), kS, "bad Int32(A) number in ctx: 45\t: \t");
    ExpectFailure(Try(OrvParseInt32A, "45\r\n", kS), kS, "bad Int32(A) number in ctx: 45\r\n: \r");
    ExpectFailure(Try(OrvParseInt32A, "+5", kS), kS, "bad Int32(A) number in ctx: +5: +");
    ExpectFailure(Try(OrvParseInt32A, "--5", kS), kS, "bad Int32(A) number in ctx: --5: -");
    // A leading space ends the number at once: 0, the rest ignored.
    ExpectValue(Try(OrvParseInt32A, " 5", kS), 0);
    ExpectFailure(Try(OrvParseInt32A, "1.5", kS, "the ratio"), kS,
                  "bad Int32(A) number in the ratio: 1.5: .");
    ExpectFailure(Try(OrvParseInt32A, "7x", kS, nullptr), kS, "bad Int32(A) number in : 7x: x");
    // A bad character outside ASCII is quoted whole (its UTF-8 sequence or surrogate pair).
    ExpectFailure(Try(OrvParseInt32A, "12\xC3\xA9", kS), kS,
                  "bad Int32(A) number in ctx: 12\xC3\xA9: \xC3\xA9");
    ExpectFailure(Try(OrvParseInt32W, u"12\u00e9", kS), kS,
                  "bad Int32(W) number in ctx: 12\xC3\xA9: \xC3\xA9");
    ExpectFailure(Try(OrvParseInt32W, u"9\U0001F600", kS), kS,
                  "bad Int32(W) number in ctx: 9\xF0\x9F\x98\x80: \xF0\x9F\x98\x80");
    ExpectFailure(Try(OrvParseInt32W, u"12a", kS), kS, "bad Int32(W) number in ctx: 12a: a");
    ExpectFailure(Try(OrvParseInt32W, u"-2147483648", kS), kS,
                  "integer overflow 32-bit: -2147483648");
    ExpectFailure(Try(OrvParseInt64A, "12a", int64_t{kS}), int64_t{kS},
                  "bad Int64(A) number in ctx: 12a: a");
    ExpectFailure(Try(OrvParseUInt64A, "12a", uint64_t{4242}), uint64_t{4242},
                  "bad UInt64(A) number in ctx: 12a: a");
    // A bad character after an overflowing prefix: the overflow is found first.
    ExpectFailure(Try(OrvParseInt32A, "99999999999x", kS), kS,
                  "integer overflow 32-bit: 99999999999x");
}

// Random decimal texts: wherever both the parser and the C library accept a text, they agree;
// and the parser accepts exactly the texts the C library reads whole within the type's range
// (minus the signed minimum, which the Part rejects).
std::string RandomDecimal(std::mt19937_64& rng, bool bSigned) {
    std::string s;
    if (bSigned && rng() % 2)
        s += '-';
    // Lengths cluster around the 32-bit and 64-bit limits.
    static const int kLens[] = {1, 2, 5, 9, 10, 10, 11, 12, 18, 19, 19, 20, 20, 21, 25};
    const int nLen = kLens[rng() % (sizeof kLens / sizeof kLens[0])];
    const int nZeros = rng() % 8 == 0 ? static_cast<int>(rng() % 4) : 0;
    s.append(static_cast<size_t>(nZeros), '0');
    for (int i = 0; i < nLen; ++i) {
        // First digits are often at the limits' own first digits, so that near misses occur.
        if (i == 0 && rng() % 2)
            s += "1249"[rng() % 4];
        else
            s += static_cast<char>('0' + rng() % 10);
    }
    if (rng() % 10 == 0)
        s += " tail";
    return s;
}

// Texts right at and around each limit, as printed by the C library.
std::vector<std::string> NearLimits() {
    std::vector<std::string> v;
    char buf[64];
    for (int64_t d = -3; d <= 3; ++d) {
        snprintf(buf, sizeof buf, "%" PRId64, int64_t{INT32_MAX} + d);
        v.push_back(buf);
        snprintf(buf, sizeof buf, "%" PRId64, int64_t{INT32_MIN} + d);
        v.push_back(buf);
        snprintf(buf, sizeof buf, "%" PRId64, int64_t{UINT32_MAX} + d);
        v.push_back(buf);
        snprintf(buf, sizeof buf, "%" PRIu64, static_cast<uint64_t>(INT64_MAX) + d);
        v.push_back(buf);
        v.push_back(std::string("-") + buf);
        snprintf(buf, sizeof buf, "%" PRIu64, UINT64_MAX - static_cast<uint64_t>(d + 3));
        v.push_back(buf);
    }
    return v;
}

TEST(OrvParseInt, AgreesWithStrtollAndStrtoullOnRandomDecimalTexts) {
    std::mt19937_64 rng(20240305);
    std::vector<std::string> texts = NearLimits();
    for (int i = 0; i < 200000; ++i)
        texts.push_back(RandomDecimal(rng, i % 2 == 0));
    int nBothAccept64 = 0;
    int nBothAcceptU64 = 0;
    int nBothAccept32 = 0;
    int nBothAcceptU32 = 0;
    for (const std::string& t : texts) {
        const char* psz = t.c_str();
        const bool bMinus = t[0] == '-';
        char* pEnd = nullptr;
        errno = 0;
        const long long ll = strtoll(psz, &pEnd, 10);
        const bool bLlWhole = *pEnd == 0 || *pEnd == ' ';
        const bool bLlOk = errno != ERANGE && bLlWhole;

        int64_t n64 = 7;
        int nErr = 0;
        COrvStringA strErr;
        const bool b64 = OrvParseInt64A(psz, "r", n64, nErr, strErr);
        EXPECT_EQ(b64, bLlOk && ll != LLONG_MIN) << t;
        if (b64 && bLlOk) {
            ++nBothAccept64;
            EXPECT_EQ(n64, ll) << t;
        }
        if (!b64) {  // random digits never hold a bad character
            EXPECT_EQ(S(strErr), "integer overflow 64-bit: " + t) << t;
        }

        int32_t n32 = 7;
        const bool b32 = OrvParseInt32A(psz, "r", n32, nErr, strErr);
        const bool b32Want = bLlOk && ll >= -INT32_MAX && ll <= INT32_MAX;
        EXPECT_EQ(b32, b32Want) << t;
        if (b32 && b32Want) {
            ++nBothAccept32;
            EXPECT_EQ(n32, ll) << t;
        }

        // The same for wide text.
        std::u16string w(t.begin(), t.end());
        int32_t n32w = 7;
        EXPECT_EQ(OrvParseInt32W(w.c_str(), "r", n32w, nErr, strErr), b32Want) << t;
        if (b32Want) {
            EXPECT_EQ(n32w, ll) << t;
        }

        if (bMinus)
            continue;  // strtoull negates a minus; the unsigned parsers reject it
        errno = 0;
        const unsigned long long ull = strtoull(psz, &pEnd, 10);
        const bool bUllOk = errno != ERANGE && (*pEnd == 0 || *pEnd == ' ');
        uint64_t u64 = 7;
        const bool bU64 = OrvParseUInt64A(psz, "r", u64, nErr, strErr);
        EXPECT_EQ(bU64, bUllOk) << t;
        if (bU64 && bUllOk) {
            ++nBothAcceptU64;
            EXPECT_EQ(u64, ull) << t;
        }
        uint32_t u32 = 7;
        const bool bU32 = OrvParseUInt32A(psz, "r", u32, nErr, strErr);
        EXPECT_EQ(bU32, bUllOk && ull <= UINT32_MAX) << t;
        if (bU32 && bUllOk) {
            ++nBothAcceptU32;
            EXPECT_EQ(u32, ull) << t;
        }
    }
    // The sample really exercises both outcomes.
    EXPECT_GT(nBothAccept64, 50000);
    EXPECT_GT(nBothAcceptU64, 25000);
    EXPECT_GT(nBothAccept32, 20000);
    EXPECT_GT(nBothAcceptU32, 10000);
}

TEST(OrvParseInt, ParsersNeverLog) {
    OrvTempDir dir;
    g_orv_log.SetLogFolder(dir.Path().c_str(), "parse");
    int32_t n32;
    int64_t n64;
    uint32_t u32;
    uint64_t u64;
    int nErr;
    COrvStringA str;
    unsigned char ab[4];
    int64_t a, b;
    (void)OrvParseInt32A("x", "c", n32, nErr, str);
    (void)OrvParseInt32A("99999999999", "c", n32, nErr, str);
    (void)OrvParseInt32W(u"x", "c", n32, nErr, str);
    (void)OrvParseInt64A("x", "c", n64, nErr, str);
    (void)OrvParseUInt32A("x", "c", u32, nErr, str);
    (void)OrvParseUInt64A("x", "c", u64, nErr, str);
    (void)OrvParseOctalUInt32A("9", "c", u32, nErr, str);
    (void)OrvParseIPv4("1.2.3", ab, nErr, str);
    OrvParseSize("x");
    (void)OrvParseSizeRange("x", a, b, str);
    (void)OrvCheckBadChars("\t", str);
    (void)OrvCheckPrintable("\t", str);
    const std::string path = S(g_orv_log.GetFilePath());
    g_orv_log.Reset();
    EXPECT_EQ(OrvReadFileBytes(path), "");
}

// ---------------------------------------------------------------------------------------------
// IPv4

TEST(OrvParseIPv4, AddressesAndEveryMessage) {
    unsigned char ab[4] = {9, 9, 9, 9};
    int nErr = 0;
    COrvStringA str;
    ASSERT_TRUE(OrvParseIPv4("10.0.0.1", ab, nErr, str));
    EXPECT_EQ(ab[0], 10);
    EXPECT_EQ(ab[1], 0);
    EXPECT_EQ(ab[2], 0);
    EXPECT_EQ(ab[3], 1);
    EXPECT_EQ(nErr, 0);
    ASSERT_TRUE(OrvParseIPv4("001.002.003.004", ab, nErr, str));
    EXPECT_EQ(std::vector<int>(ab, ab + 4), (std::vector<int>{1, 2, 3, 4}));
    ASSERT_TRUE(OrvParseIPv4("255.255.255.255", ab, nErr, str));
    EXPECT_EQ(std::vector<int>(ab, ab + 4), (std::vector<int>{255, 255, 255, 255}));
    ASSERT_TRUE(OrvParseIPv4("0.0.0.0", ab, nErr, str));
    ASSERT_TRUE(OrvParseIPv4("192.168.0000255.7", ab, nErr, str));
    EXPECT_EQ(std::vector<int>(ab, ab + 4), (std::vector<int>{192, 168, 255, 7}));

    const struct {
        const char* psz;
        const char* pszWhy;
    } kBad[] = {
        {"", "unexpected end of last octet"},
        {"1.2.3", "missing last octet(s)"},
        {"1", "missing last octet(s)"},
        {"1.2.3.4.5", "extra octet"},
        {"1.2.3.4.", "extra octet"},
        {"1..2.3", "unexpected end of octet"},
        {".1.2.3", "unexpected end of octet"},
        {"1.2.3.", "unexpected end of last octet"},
        {"1.", "unexpected end of last octet"},
        {"256.1.1.1", "octet out of range"},
        {"1.2.3.256", "octet out of range"},
        {"1.2.3.99999999999999999999", "octet out of range"},
        {"1.2.3.x", "expected digit or dot"},
        {"1.2.3.4 ", "expected digit or dot"},
        {"-1.2.3.4", "expected digit or dot"},
        {"1,2.3.4", "expected digit or dot"},
    };
    for (const auto& r : kBad) {
        unsigned char abOut[4] = {7, 7, 7, 7};
        int nCode = 0;
        COrvStringA strErr;
        EXPECT_FALSE(OrvParseIPv4(r.psz, abOut, nCode, strErr)) << r.psz;
        EXPECT_EQ(nCode, 6) << r.psz;
        EXPECT_EQ(S(strErr), std::string("bad IPv4 address '") + r.psz + "': " + r.pszWhy);
        EXPECT_EQ(std::vector<int>(abOut, abOut + 4), (std::vector<int>{7, 7, 7, 7}))
            << "unchanged on failure: " << r.psz;
    }
}

// ---------------------------------------------------------------------------------------------
// Sizes

TEST(OrvParseSize, UnitsAndBadSizes) {
    EXPECT_EQ(OrvParseSize("10K"), 10240);
    EXPECT_EQ(OrvParseSize("10k"), 10240);
    EXPECT_EQ(OrvParseSize("2m"), 2097152);
    EXPECT_EQ(OrvParseSize("2M"), 2097152);
    EXPECT_EQ(OrvParseSize(""), 0);
    EXPECT_EQ(OrvParseSize(nullptr), 0);
    EXPECT_EQ(OrvParseSize("0"), 0);
    EXPECT_EQ(OrvParseSize("123456789"), 123456789);
    EXPECT_EQ(OrvParseSize("K"), 0);  // no digits before the unit: 0 times 1024
    EXPECT_EQ(OrvParseSize("1K0"), kOrvBadSize);
    EXPECT_EQ(OrvParseSize("1KK"), kOrvBadSize);
    EXPECT_EQ(OrvParseSize("1KB"), kOrvBadSize);
    EXPECT_EQ(OrvParseSize("1G"), kOrvBadSize);
    EXPECT_EQ(OrvParseSize("1 K"), kOrvBadSize);
    EXPECT_EQ(OrvParseSize(" 1"), kOrvBadSize);
    EXPECT_EQ(OrvParseSize("-1"), kOrvBadSize);
    EXPECT_EQ(OrvParseSize("1.5K"), kOrvBadSize);
    EXPECT_EQ(kOrvBadSize, 0x7FFFFFFFFFFFFFFFLL);
    // The largest sizes; one that does not fit (or would read as the bad-size value) is bad.
    EXPECT_EQ(OrvParseSize("9223372036854775806"), 9223372036854775806LL);
    EXPECT_EQ(OrvParseSize("9223372036854775807"), kOrvBadSize);
    EXPECT_EQ(OrvParseSize("99999999999999999999"), kOrvBadSize);
    EXPECT_EQ(OrvParseSize("9007199254740991K"), 9007199254740991LL * 1024);
    EXPECT_EQ(OrvParseSize("9007199254740992K"), kOrvBadSize);
    EXPECT_EQ(OrvParseSize("8796093022207M"), 8796093022207LL * 1048576);
    EXPECT_EQ(OrvParseSize("8796093022208M"), kOrvBadSize);
}

TEST(OrvParseSizeRange, BothSizesAndEachMessage) {
    int64_t a = 5;
    int64_t b = 6;
    COrvStringA str("untouched");
    ASSERT_TRUE(OrvParseSizeRange("1K,2M", a, b, str));
    EXPECT_EQ(a, 1024);
    EXPECT_EQ(b, 2097152);
    EXPECT_EQ(S(str), "untouched");
    ASSERT_TRUE(OrvParseSizeRange(",", a, b, str));
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);

    const struct {
        const char* psz;
        const char* pszMessage;
    } kBad[] = {
        {"1K", "no comma in size range: 1K"},
        {"", "no comma in size range: "},
        {"1,2,3", "more than one comma in size range: 1,2,3"},
        {",,", "more than one comma in size range: ,,"},
        {"x,2", "first size bad in range: x"},
        {"1K0,2", "first size bad in range: 1K0"},
        {"1,x", "second size bad in range: x"},
        {"1, 2", "second size bad in range:  2"},
    };
    for (const auto& r : kBad) {
        int64_t n1 = 11;
        int64_t n2 = 22;
        COrvStringA strErr;
        EXPECT_FALSE(OrvParseSizeRange(r.psz, n1, n2, strErr)) << r.psz;
        EXPECT_EQ(S(strErr), r.pszMessage);
        EXPECT_EQ(n1, 11) << r.psz;
        EXPECT_EQ(n2, 22) << r.psz;
    }
}

// ---------------------------------------------------------------------------------------------
// Splitting

std::vector<std::u16string> Pieces(const COrvArray<COrvStringW>& arr) {
    std::vector<std::u16string> v;
    for (size_t i = 0; i < arr.GetCount(); ++i)
        v.push_back(W(arr.GetData()[i]));
    return v;
}

TEST(OrvSplit, PiecesTrimmingAndStartIndex) {
    using V = std::vector<std::u16string>;
    {
        COrvArray<COrvStringW> arr;
        EXPECT_EQ(OrvSplit(u"a,b,,c", 0, u',', false, arr), 4);
        EXPECT_EQ(Pieces(arr), (V{u"a", u"b", u"", u"c"}));
    }
    {
        COrvArray<COrvStringW> arr;
        EXPECT_EQ(OrvSplit(u"a,b,", 0, u',', false, arr), 3);  // a final empty piece
        EXPECT_EQ(Pieces(arr), (V{u"a", u"b", u""}));
    }
    {
        COrvArray<COrvStringW> arr;
        EXPECT_EQ(OrvSplit(u"", 0, u',', false, arr), 1);  // one empty piece
        EXPECT_EQ(Pieces(arr), (V{u""}));
    }
    {
        COrvArray<COrvStringW> arr;
        EXPECT_EQ(OrvSplit(u",", 0, u',', false, arr), 2);
        EXPECT_EQ(Pieces(arr), (V{u"", u""}));
    }
    {
        COrvArray<COrvStringW> arr;
        EXPECT_EQ(OrvSplit(u" a , b\t,c ", 0, u',', true, arr), 3);
        EXPECT_EQ(Pieces(arr), (V{u"a", u"b", u"c"}));
        // Appends to what the array holds; without trimming the spaces stay.
        EXPECT_EQ(OrvSplit(u" a ; b", 0, u';', false, arr), 2);
        EXPECT_EQ(Pieces(arr), (V{u"a", u"b", u"c", u" a ", u" b"}));
    }
    {
        COrvArray<COrvStringW> arr;
        EXPECT_EQ(OrvSplit(u"x,y,z", 2, u',', false, arr), 2);
        EXPECT_EQ(Pieces(arr), (V{u"y", u"z"}));
        EXPECT_EQ(OrvSplit(u"x,y,z", 5, u',', false, arr), 1);  // at the end: one empty piece
        EXPECT_EQ(OrvSplit(u"x,y,z", 6, u',', false, arr), 0);  // beyond: nothing
        EXPECT_EQ(OrvSplit(u"x,y,z", -1, u',', false, arr), 0);
        EXPECT_EQ(arr.GetCount(), 3u);
    }
    {
        COrvArray<COrvStringW> arr;
        EXPECT_EQ(OrvSplit(u"no separator", 0, u',', false, arr), 1);
        EXPECT_EQ(Pieces(arr), (V{u"no separator"}));
        EXPECT_EQ(OrvSplit(u"\u00e9\u2013\u00e8", 0, u'\u2013', false, arr), 2);
        EXPECT_EQ(Pieces(arr), (V{u"no separator", u"\u00e9", u"\u00e8"}));
    }
}

// ---------------------------------------------------------------------------------------------
// Decimal texts and grouping

TEST(OrvFormat, CountAndDecimalTexts) {
    EXPECT_EQ(S(OrvFormatCount(0)), "0");
    EXPECT_EQ(S(OrvFormatCount(9999)), "9999");
    EXPECT_EQ(S(OrvFormatCount(10000)), "10K");
    EXPECT_EQ(S(OrvFormatCount(10999)), "10K");
    EXPECT_EQ(S(OrvFormatCount(9999999)), "9999K");
    EXPECT_EQ(S(OrvFormatCount(10000000)), "10M");
    EXPECT_EQ(S(OrvFormatCount(UINT32_MAX)), "4294M");

    EXPECT_EQ(S(OrvFormatUInt32A(UINT32_MAX)), "4294967295");
    EXPECT_EQ(W(OrvFormatUInt32W(UINT32_MAX)), u"4294967295");
    EXPECT_EQ(S(OrvFormatInt64A(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(W(OrvFormatInt64W(INT64_MAX)), u"9223372036854775807");
    EXPECT_EQ(S(OrvFormatUInt64A(UINT64_MAX)), "18446744073709551615");
    EXPECT_EQ(W(OrvFormatUInt64W(UINT64_MAX)), u"18446744073709551615");
    EXPECT_EQ(S(OrvFormatDouble2A(1.5)), "1.50");
    EXPECT_EQ(S(OrvFormatDouble2A(-2.0 / 3)), "-0.67");
    EXPECT_EQ(W(OrvFormatDouble2W(1e6)), u"1000000.00");
}

// Restores g_ThouSep after a test.
class ThouSepTest : public ::testing::Test {
protected:
    void SetUp() override { m_saved = g_ThouSep; }
    void TearDown() override { g_ThouSep = m_saved; }
    COrvStringW m_saved;
};

TEST_F(ThouSepTest, GroupingWithTheDefaultSeparator) {
    g_ThouSep = u"";
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("1234567"))), "1,234,567");
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("123"))), "123");
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("1234.5"))), "1,234.5");
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("1234"))), "1,234");
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("123456"))), "123,456");
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("1234567.891011"))), "1,234,567.891011");
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA(""))), "");
    // A "." at index 0 counts as no "." at all: the whole text is grouped.
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA(".12345"))), ".12,345");
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("12345."))), "12,345.");
    // A sign is not a digit (left to the implementer; see the header).
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("-123"))), "-123");
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("-1234567"))), "-1,234,567");
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("-123456.5"))), "-123,456.5");
    EXPECT_EQ(W(OrvGroupDigits(COrvStringW(u"1234567"))), u"1,234,567");
    EXPECT_EQ(W(OrvGroupDigits(COrvStringW(u"1234.5"))), u"1,234.5");
}

TEST_F(ThouSepTest, GroupingWithASetSeparator) {
    g_ThouSep = u".";
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("1234567"))), "1.234.567");
    g_ThouSep = u"\u202f";
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("1234567"))),
              "1\xE2\x80\xAF"
              "234\xE2\x80\xAF"
              "567");
    EXPECT_EQ(W(OrvGroupDigits(COrvStringW(u"1234567"))), u"1\u202f234\u202f567");
    g_ThouSep = u"''";
    EXPECT_EQ(W(OrvGroupDigits(COrvStringW(u"1234567"))), u"1''234''567");
}

// Switches the environment's locale for TvGetDecimalDigitsLen and captures g_orv_log.
class LocaleTest : public ThouSepTest {
protected:
    void SetUp() override {
        ThouSepTest::SetUp();
        g_orv_log_verbosity = 2;
        g_orv_log.SetClock(&FixedClock);
        g_orv_log.SetLogFolder(m_dir.Path().c_str(), "su");
    }
    void TearDown() override {
        g_orv_log.Reset();
        g_orv_log.SetClock(nullptr);
        ThouSepTest::TearDown();
    }
    static int64_t FixedClock() { return 1709647620; }  // 2024-03-05 14:07:00 UTC
    // The log's text so far, closing the file.
    std::string LogText() {
        g_orv_log.Close();
        return OrvReadFileBytes(m_dir.File("su-240305.log"));
    }
    std::string Prefix() {
        return "2024-03-05 14:07:00 " + std::to_string(OrvGetThreadNumber()) + " ";
    }
    OrvScopedEnv m_lcAll{"LC_ALL", getenv("LC_ALL")};
    OrvScopedEnv m_tz{"TZ", "UTC"};
    OrvTempDir m_dir;
};

bool HaveLocale(const char* pszName) {
    const locale_t loc = newlocale(LC_ALL_MASK, pszName, static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0))
        return false;
    freelocale(loc);
    return true;
}

#define REQUIRE_LOCALE(name)                                                    \
    do {                                                                        \
        if (!HaveLocale(name))                                                  \
            GTEST_SKIP() << "locale " name                                      \
                            " is not installed; scripts/setup.sh generates it " \
                            "(make setup, as root)";                            \
    } while (0)

TEST_F(LocaleTest, ThousandsSeparatorOfGermanEnglishAndFrenchLocales) {
    REQUIRE_LOCALE("de_DE.UTF-8");
    REQUIRE_LOCALE("en_US.UTF-8");
    REQUIRE_LOCALE("fr_FR.UTF-8");
    const char* pszProcess = setlocale(LC_NUMERIC, nullptr);
    const std::string strProcess = pszProcess ? pszProcess : "";

    setenv("LC_ALL", "de_DE.UTF-8", 1);
    EXPECT_EQ(TvGetDecimalDigitsLen(), 1);
    EXPECT_EQ(W(g_ThouSep), u".");
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("1234567.25"))), "1.234.567.25")
        << "the integer part ends at the first \".\", as the Part says";
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("1234567"))), "1.234.567");

    setenv("LC_ALL", "en_US.UTF-8", 1);
    EXPECT_EQ(TvGetDecimalDigitsLen(), 1);
    EXPECT_EQ(W(g_ThouSep), u",");
    EXPECT_EQ(W(OrvGroupDigits(COrvStringW(u"9876543210"))), u"9,876,543,210");

    setenv("LC_ALL", "fr_FR.UTF-8", 1);
    EXPECT_EQ(TvGetDecimalDigitsLen(), 1);
    EXPECT_EQ(W(g_ThouSep), u"\u202f");  // narrow no-break space
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("1234567"))),
              "1\xE2\x80\xAF"
              "234\xE2\x80\xAF"
              "567");

    // The C locale has no separator: empty, which means ",".
    setenv("LC_ALL", "C", 1);
    EXPECT_EQ(TvGetDecimalDigitsLen(), 0);
    EXPECT_EQ(W(g_ThouSep), u"");
    EXPECT_EQ(S(OrvGroupDigits(COrvStringA("1234567"))), "1,234,567");

    const std::string p = Prefix();
    EXPECT_EQ(LogText(), p + "TvGetDecimalDigitsLen: g_ThouSep=.\r\n" + p +
                             "TvGetDecimalDigitsLen: g_ThouSep=,\r\n" + p +
                             "TvGetDecimalDigitsLen: g_ThouSep=\xE2\x80\xAF\r\n" + p +
                             "TvGetDecimalDigitsLen: g_ThouSep=\r\n");
    // The process locale is left alone.
    EXPECT_EQ(std::string(setlocale(LC_NUMERIC, nullptr)), strProcess);
}

TEST_F(LocaleTest, AMissingLocaleIsLoggedAndGivesAComma) {
    setenv("LC_ALL", "xx_NOSUCH.UTF-8", 1);
    ASSERT_FALSE(HaveLocale("xx_NOSUCH.UTF-8"));
    EXPECT_EQ(TvGetDecimalDigitsLen(), 1);
    EXPECT_EQ(W(g_ThouSep), u",");
    const std::string p = Prefix();
    // newlocale reports a locale it cannot find as ENOENT.
    EXPECT_EQ(LogText(), p + "TvGetDecimalDigitsLen: cannot GetLocaleInfo LOCALE_STHOUSAND: " +
                             S(OrvErrorText(ENOENT)) + "\r\n" + p +
                             "TvGetDecimalDigitsLen: g_ThouSep=,\r\n");
}

TEST(OrvFormatDouble, FractionCutAndShaped) {
    EXPECT_EQ(W(OrvFormatDouble(2.5, 3)), u"2.5");
    EXPECT_EQ(W(OrvFormatDouble(3, 3)), u"3.0");
    EXPECT_EQ(W(OrvFormatDouble(1e20, 3)), u"1.0e+20");
    EXPECT_EQ(W(OrvFormatDouble(0.1, 3)), u"0.1");
    EXPECT_EQ(W(OrvFormatDouble(1.0 / 3, 4)), u"0.3333");
    EXPECT_EQ(W(OrvFormatDouble(2.0 / 3, 4)), u"0.6666");  // cut, not rounded
    EXPECT_EQ(W(OrvFormatDouble(2.56, 1)), u"2.5");
    EXPECT_EQ(W(OrvFormatDouble(2.5, 0)), u"2.0");  // nothing allowed: the empty fraction is "0"
    EXPECT_EQ(W(OrvFormatDouble(-1234.5678, 2)), u"-1234.56");
    EXPECT_EQ(W(OrvFormatDouble(123456789012345678.0, 3)), u"1.234e+17");
    EXPECT_EQ(W(OrvFormatDouble(1.5e-7, 5)), u"1.5e-07");
    EXPECT_EQ(W(OrvFormatDouble(-0.0, 3)), u"-0.0");
    EXPECT_EQ(W(OrvFormatDouble(0.1 + 0.2, 20)), u"0.3");  // 16 digits, trailing zeros go
    EXPECT_EQ(W(OrvFormatDouble(HUGE_VAL, 3)), u"inf");
    EXPECT_EQ(W(OrvFormatDouble(-HUGE_VAL, 3)), u"-inf");
    EXPECT_EQ(W(OrvFormatDouble(std::nan(""), 3)).find(u"nan"), 0u);
}

// ---------------------------------------------------------------------------------------------
// Hex, dumps, C escapes

TEST(OrvHex, EncodeBothCases) {
    const unsigned char ab[] = {0x00, 0xAB, 0xFF, 0x10, 0x9C};
    EXPECT_EQ(W(OrvHexEncode(ab, 5, true)), u"00abff109c");
    EXPECT_EQ(W(OrvHexEncode(ab, 5, false)), u"00ABFF109C");
    EXPECT_EQ(W(OrvHexEncode(ab, 0, true)), u"");
    EXPECT_EQ(W(OrvHexEncode(nullptr, 0, true)), u"");
    std::vector<unsigned char> big(4096);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i * 7);
    const COrvStringW w = OrvHexEncode(big.data(), 4096, false);
    ASSERT_EQ(w.GetLength(), 8192);
    EXPECT_EQ(W(w).substr(0, 8), u"00070E15");
}

TEST(OrvHex, DumpBytesPrintableAndNot) {
    const unsigned char ab[] = {0x41, 0x00};
    EXPECT_EQ(S(OrvHexDump(ab, 2)), "@2:A(41)[00]");
    const unsigned char ab2[] = {31, 32, 126, 127, 128, 255, '%'};
    EXPECT_EQ(S(OrvHexDump(ab2, 7)), "@7:[1F] (20)~(7E)\x7F(7F)[80][FF]%(25)");
    EXPECT_EQ(S(OrvHexDump(ab, 0)), "@0:");
    EXPECT_EQ(S(OrvHexDump(nullptr, 3)), "@3:");
    EXPECT_EQ(S(OrvHexDump(ab, -1)), "@-1:");
}

TEST(OrvHex, DumpStopsAfter131072Bytes) {
    std::vector<unsigned char> v(131073, 'z');
    const std::string strAll = S(OrvHexDump(v.data(), 131072));
    EXPECT_EQ(strAll.size(), std::string("@131072:").size() + 131072 * 5);
    EXPECT_EQ(strAll.substr(0, 13), "@131072:z(7A)");
    EXPECT_EQ(strAll.substr(strAll.size() - 5), "z(7A)");
    const std::string strCut = S(OrvHexDump(v.data(), 131073));
    EXPECT_EQ(strCut.size(), std::string("@131073:").size() + 131072 * 5 + 3);
    EXPECT_EQ(strCut.substr(strCut.size() - 8), "z(7A)...");
}

TEST(OrvEscapeC, EscapesAndTheHexDigitRule) {
    EXPECT_EQ(S(OrvEscapeC("a\nb\tc")), "a\\nb\\tc");
    EXPECT_EQ(S(OrvEscapeC("plain text ~!")), "plain text ~!");
    EXPECT_EQ(S(OrvEscapeC("\x01")), "\\x01");
    EXPECT_EQ(S(OrvEscapeC("\r\n")), "\\x0D\\n");
    EXPECT_EQ(S(OrvEscapeC("\x7F")), "\\x7F");
    EXPECT_EQ(S(OrvEscapeC("\xC3\xA9")), "\\xC3\\xA9");
    // A hex digit right after a \x escape is escaped too, and so on along a run.
    EXPECT_EQ(S(OrvEscapeC("\x01"
                           "A")),
              "\\x01\\x41");
    EXPECT_EQ(S(OrvEscapeC("\x01"
                           "AB9g")),
              "\\x01\\x41\\x42\\x39g");
    EXPECT_EQ(S(OrvEscapeC("\xFF"
                           "0f")),
              "\\xFF\\x30\\x66");
    EXPECT_EQ(S(OrvEscapeC("\x01g")), "\\x01g");
    EXPECT_EQ(S(OrvEscapeC("\x01 a")), "\\x01 a");
    // After "\n" or "\t" a digit cannot be absorbed: it stays.
    EXPECT_EQ(S(OrvEscapeC("\n1\tf")), "\\n1\\tf");
    EXPECT_EQ(S(OrvEscapeC("\\\"")), "\\\"");  // backslash and quote are printable
    EXPECT_EQ(S(OrvEscapeC("")), "");
    EXPECT_EQ(S(OrvEscapeC(nullptr)), "");
}

// ---------------------------------------------------------------------------------------------
// Error names and texts

TEST(OrvErrorText, SystemTextsAndSuffixes) {
    EXPECT_EQ(S(OrvErrorText(5)), std::string(strerror(5)) + " (error 5)");
    EXPECT_EQ(S(OrvErrorText(2)), "No such file or directory (error 2)");
    EXPECT_EQ(S(OrvErrorText(EACCES)), "Permission denied (error 13)");
    EXPECT_EQ(S(OrvErrorText(static_cast<int>(0x80070005))), "Unknown Error (error 0x80070005)");
    EXPECT_EQ(S(OrvErrorText(-1)), "Unknown Error (error 0xFFFFFFFF)");
    EXPECT_EQ(S(OrvErrorText(123456)), "Unknown Error (error 123456)");
    EXPECT_EQ(S(OrvErrorText(0)), "Success (error 0)");
}

TEST(OrvErrorText, HResultNames) {
    const struct {
        uint32_t nCode;
        const char* pszName;
    } kTable[] = {
        {0x00000000u, "S_OK"},
        {0x00000001u, "S_FALSE"},
        {0x80004001u, "E_NOTIMPL"},
        {0x80004005u, "E_FAIL"},
        {0x80020003u, "DISP_E_MEMBERNOTFOUND"},
        {0x80020009u, "DISP_E_EXCEPTION"},
        {0x80070005u, "E_ACCESSDENIED"},
        {0x8007000Eu, "E_OUTOFMEMORY"},
        {0x80070057u, "E_INVALIDARG"},
    };
    for (const auto& r : kTable)
        EXPECT_EQ(S(OrvHResultName(static_cast<int32_t>(r.nCode))), r.pszName);
    EXPECT_EQ(S(OrvHResultName(static_cast<int32_t>(0x8000FFFFu))),
              "Unknown Error (error 0x8000FFFF)");
    EXPECT_EQ(S(OrvHResultName(2)), "No such file or directory (error 2)");
}

// ---------------------------------------------------------------------------------------------
// Checks

TEST(OrvChecks, BadChars) {
    COrvStringA str("untouched");
    EXPECT_TRUE(OrvCheckBadChars("hello world", str));
    EXPECT_TRUE(OrvCheckBadChars("", str));
    EXPECT_TRUE(OrvCheckBadChars(nullptr, str));
    EXPECT_TRUE(OrvCheckBadChars("\x01\n\r\x19 \x7F\x80\xFF", str));  // the allowed controls
    EXPECT_EQ(S(str), "untouched");
    EXPECT_FALSE(OrvCheckBadChars("a\tb", str));
    EXPECT_EQ(S(str), "String contains bad char 0x09");
    EXPECT_FALSE(OrvCheckBadChars("ok\x02\x03", str));
    EXPECT_EQ(S(str), "String contains bad char 0x02");
    EXPECT_FALSE(OrvCheckBadChars("\x1B[0m", str));
    EXPECT_EQ(S(str), "String contains bad char 0x1B");
    // The exempt form: "S", at least 14 bytes, "-" 14 and "_" 7 bytes before the end.
    EXPECT_TRUE(OrvCheckBadChars("S-aa\taaa_bbbbbb", str));
    EXPECT_TRUE(
        OrvCheckBadChars("SXYZ-aa\taaa_bb\x02"
                         "bbb",
                         str));
    EXPECT_FALSE(OrvCheckBadChars("T-aa\taaa_bbbbbb", str));  // no "S"
    EXPECT_FALSE(OrvCheckBadChars("S-aa\taaa-bbbbbb", str));  // no "_"
    EXPECT_FALSE(OrvCheckBadChars("S_aa\taaa_bbbbbb", str));  // no "-"
    EXPECT_FALSE(OrvCheckBadChars("S-a\taa_bbbbbb", str));    // "-" 13 bytes before the end
}

TEST(OrvChecks, Printable) {
    COrvStringA str("untouched");
    EXPECT_TRUE(OrvCheckPrintable("printable \x7F \xC3\xA9", str));
    EXPECT_TRUE(OrvCheckPrintable("", str));
    EXPECT_EQ(S(str), "untouched");
    EXPECT_FALSE(OrvCheckPrintable("line\n", str));
    EXPECT_EQ(S(str), "String contains unprintable character 0x0A");
    EXPECT_FALSE(OrvCheckPrintable("\x01", str));
    EXPECT_EQ(S(str), "String contains unprintable character 0x01");
    EXPECT_FALSE(OrvCheckPrintable("S-aa\taaa_bbbbbb", str));  // no exempt form here
    EXPECT_EQ(S(str), "String contains unprintable character 0x09");
}

// ---------------------------------------------------------------------------------------------
// HTML to text

std::string Html(const char* psz, bool bLineBreaks = false, bool* pbResult = nullptr) {
    COrvStringA out("old");
    const bool b = OrvHtmlToText(psz, out, bLineBreaks);
    if (pbResult)
        *pbResult = b;
    return S(out);
}

TEST(OrvHtmlToText, OnlyHtmlIsConverted) {
    bool b = true;
    EXPECT_EQ(Html("no <b>html</b> here", false, &b), "no <b>html</b> here");
    EXPECT_FALSE(b);
    EXPECT_EQ(Html("", false, &b), "");
    EXPECT_FALSE(b);
    EXPECT_EQ(Html("<htmlx>a</htmlx>", false, &b), "<htmlx>a</htmlx>");
    EXPECT_FALSE(b);
    EXPECT_EQ(Html("<html><b>x</b></html>", false, &b), "x");
    EXPECT_TRUE(b);
    EXPECT_EQ(Html("<HTML><BODY>Up</BODY></HTML>", false, &b), "Up");
    EXPECT_TRUE(b);
    EXPECT_EQ(Html("<!DOCTYPE html>\n<html lang=\"de\">\n<p>Hallo</p>\n</html>", false, &b),
              "\n\nHallo\n");
    EXPECT_TRUE(b);
}

TEST(OrvHtmlToText, TagsScriptsStylesAndComments) {
    EXPECT_EQ(Html("<html><head><title>T</title><style type=\"text/css\">p { color: red; }"
                   "</style></head><body><p>Hello <b>world</b></p><script>var x = '<p>';"
                   "</script>Bye</body></html>"),
              "THello worldBye");
    EXPECT_EQ(Html("<html>a<SCRIPT language=js>if (a > b) x();</SCRIPT>b"), "ab");
    EXPECT_EQ(Html("<html>a<script>never closed"), "a");
    EXPECT_EQ(Html("<html>a<scripting>b</scripting>c"), "abc");  // not a script element
    EXPECT_EQ(Html("<html>a<!-- x > y -->b"), "ab");
    EXPECT_EQ(Html("<html>a<b"), "a");  // a tag without its ">" runs to the end
    EXPECT_EQ(Html("<html>1 > 0</html>"), "1 > 0");
}

TEST(OrvHtmlToText, ReferencesAndLineBreaks) {
    EXPECT_EQ(Html("<html>&lt;tag&gt; &amp; &quot;q&quot; &apos;a&apos; x&nbsp;y"),
              "<tag> & \"q\" 'a' x y");
    EXPECT_EQ(Html("<html>&#233;&#xE9;&#X20AC;&#128512;"),
              "\xC3\xA9\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(Html("<html>&unknown; &#; &#x; &#12 &amp"), "&unknown; &#; &#x; &#12 &amp");
    EXPECT_EQ(Html("<html>&#0;&#xD800;&#99999999999999;"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(Html("<html>a<br>b<br/>c<BR />d</p>e</div>f</tr>g</li>h</h2>i<p>j", true),
              "a\nb\nc\nd\ne\nf\ng\nh\nij");
    EXPECT_EQ(Html("<html>a<br>b</p>c", false), "abc");
    EXPECT_EQ(Html("<html>a<bridge>b", true), "ab");
    EXPECT_EQ(Html("<html>line one\r\nline two", true), "line one\r\nline two");
}

// ---------------------------------------------------------------------------------------------
// MIME words

std::string Mime(const char* psz) {
    return S(OrvDecodeMimeWords(psz));
}

TEST(OrvDecodeMimeWords, RealHeadersQForm) {
    // RFC 2047, section 8.
    EXPECT_EQ(Mime("=?ISO-8859-1?Q?Keld_J=F8rn_Simonsen?= <keld@dkuug.dk>"),
              "Keld J\xC3\xB8rn Simonsen <keld@dkuug.dk>");
    EXPECT_EQ(Mime("=?ISO-8859-1?Q?Andr=E9?= Pirard <PIRARD@vm1.ulg.ac.be>"),
              "Andr\xC3\xA9 Pirard <PIRARD@vm1.ulg.ac.be>");
    EXPECT_EQ(Mime("Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_M=C3=BCnchen?="),
              "Subject: Gr\xC3\xBC\xC3\x9F"
              "e aus M\xC3\xBCnchen");
    EXPECT_EQ(Mime("=?utf-8?q?Caf=C3=A9?="), "Caf\xC3\xA9");
    EXPECT_EQ(Mime("=?windows-1252?Q?=93Quoted=94_=96_=80100_=85?="),
              "\xE2\x80\x9CQuoted\xE2\x80\x9D \xE2\x80\x93 \xE2\x82\xAC"
              "100 \xE2\x80\xA6");
    EXPECT_EQ(Mime("=?Windows-1252?Q?=81=E9?="), "\xC2\x81\xC3\xA9");  // an undefined byte
    // ISO-8859-1 keeps 0x80..0x9F as C1 controls where windows-1252 has letters.
    EXPECT_EQ(Mime("=?iso-8859-1?q?=80?="), "\xC2\x80");
    // "=" and two hex digits in either case; "_" is a space, a literal "=XX" is needed for "_".
    EXPECT_EQ(Mime("=?UTF-8?Q?a=5fb=5Fc_d?="), "a_b_c d");
}

TEST(OrvDecodeMimeWords, RealHeadersBForm) {
    // RFC 2047, section 8: the second word's charset is not one of the three, so it stays, and
    // the space before it with it.
    EXPECT_EQ(Mime("Subject: =?ISO-8859-1?B?SWYgeW91IGNhbiByZWFkIHRoaXMgeW8=?= "
                   "=?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?="),
              "Subject: If you can read this yo "
              "=?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?=");
    EXPECT_EQ(Mime("=?UTF-8?B?0J/RgNC40LLQtdGCLCDQvNC40YAh?="),
              "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, "
              "\xD0\xBC\xD0\xB8\xD1\x80!");  // "Привет, мир!"
    EXPECT_EQ(Mime("=?utf-8?b?8J+YgCBzbWlsZQ==?="), "\xF0\x9F\x98\x80 smile");
    EXPECT_EQ(Mime("=?ISO-8859-1?B?QW5kcuk=?="), "Andr\xC3\xA9");
    EXPECT_EQ(Mime("=?windows-1252?B?gCA1?="), "\xE2\x82\xAC 5");
    // Padding may be left out.
    EXPECT_EQ(Mime("=?UTF-8?B?YWI?="), "ab");
    EXPECT_EQ(Mime("=?UTF-8?B?YQ?="), "a");
}

TEST(OrvDecodeMimeWords, SeveralWordsAndTheWhiteSpaceRule) {
    // A long subject split into several encoded words (as mail programs fold it): the folding
    // white space between them disappears.
    EXPECT_EQ(Mime("Subject: =?UTF-8?B?UmU6IEVpbmxhZHVuZyB6dXIgU2l0enVuZyBhbSBNb250YWcg?=\r\n"
                   " =?UTF-8?B?dW0gMTQ6MDAgVWhyIGluIE3DvG5jaGVu?="),
              "Subject: Re: Einladung zur Sitzung am Montag um 14:00 Uhr in M\xC3\xBCnchen");
    // RFC 2047, section 8, the table of adjacent words.
    EXPECT_EQ(Mime("(=?ISO-8859-1?Q?a?=)"), "(a)");
    EXPECT_EQ(Mime("(=?ISO-8859-1?Q?a?= b)"), "(a b)");
    EXPECT_EQ(Mime("(=?ISO-8859-1?Q?a?= =?ISO-8859-1?Q?b?=)"), "(ab)");
    EXPECT_EQ(Mime("(=?ISO-8859-1?Q?a?=  =?ISO-8859-1?Q?b?=)"), "(ab)");
    EXPECT_EQ(Mime("(=?ISO-8859-1?Q?a?=\r\n    =?ISO-8859-1?Q?b?=)"), "(ab)");
    EXPECT_EQ(Mime("(=?ISO-8859-1?Q?a_b?=)"), "(a b)");
    EXPECT_EQ(Mime("(=?ISO-8859-1?Q?a?= =?ISO-8859-2?Q?_b?=)"), "(a =?ISO-8859-2?Q?_b?=)");
    // Different charsets in one header; text between words stays.
    EXPECT_EQ(Mime("From: =?ISO-8859-1?Q?J=FCrgen?= =?UTF-8?Q?M=C3=BCller?= <jm@example.de>, "
                   "=?windows-1252?Q?Fran=E7ois?= <f@example.fr>"),
              "From: J\xC3\xBCrgenM\xC3\xBCller <jm@example.de>, Fran\xC3\xA7ois <f@example.fr>");
    EXPECT_EQ(Mime("=?UTF-8?Q?a?=x=?UTF-8?Q?b?="), "axb");
    // White space before the first word and after the last one stays.
    EXPECT_EQ(Mime("  =?UTF-8?Q?a?=  "), "  a  ");
    // A malformed word between two good ones keeps the white space around it.
    EXPECT_EQ(Mime("=?UTF-8?Q?a?= =?UTF-8?Q?=ZZ?= =?UTF-8?Q?b?="), "a =?UTF-8?Q?=ZZ?= b");
}

TEST(OrvDecodeMimeWords, MalformedWordsStayAsTheyAre) {
    const char* kUnchanged[] = {
        "plain subject, no words",
        "=?",
        "=?UTF-8",
        "=?UTF-8?",
        "=?UTF-8?Q",
        "=?UTF-8?Q?",
        "=?UTF-8?Q?unterminated",
        "=?UTF-8?Q?no end?= later",    // white space inside the encoded text
        "=?UTF-8?X?abc?=",             // no such encoding
        "=?UTF-8?QB?abc?=",            // a two-letter encoding
        "=?UTF-8?Q?bad=ZZhex?=",       // "=" without two hex digits
        "=?UTF-8?Q?cut=4?=",           // cut short
        "=?UTF-8?Q?end=?=",            // "=" at the end
        "=?UTF-8?B?not*base64?=",      // outside the alphabet
        "=?UTF-8?B?QQ=x?=",            // text after the padding
        "=?UTF-8?B?QUJDR?=",           // a lone last sextet
        "=?US-ASCII?Q?Keith_Moore?=",  // another charset
        "=?ISO-8859-15?Q?=A4?=",       // another charset
        "=?utf8?Q?alias?=",            // not the exact name
        "=? UTF-8?Q?space?=",          // white space in the charset
        "=??Q?empty_charset?=",        // no charset
        "a=?b",
        "=?UTF-8?Q?x?",
    };
    for (const char* psz : kUnchanged)
        EXPECT_EQ(Mime(psz), psz);
    EXPECT_EQ(Mime(nullptr), "");
    EXPECT_EQ(Mime(""), "");
    // A broken word in front does not swallow a good one after it.
    EXPECT_EQ(Mime("=?UTF-8?Q?broken and =?UTF-8?Q?ok?="), "=?UTF-8?Q?broken and ok");
    EXPECT_EQ(Mime("=?UTF-8?B?=?UTF-8?Q?ok?="), "=?UTF-8?B?ok");
}

TEST(OrvDecodeMimeWords, CharsetDetails) {
    // Charset names in any case; an RFC 2231 language suffix is ignored.
    EXPECT_EQ(Mime("=?Utf-8?Q?x?="), "x");
    EXPECT_EQ(Mime("=?UTF-8*de?Q?Gr=C3=BC=C3=9Fe?="),
              "Gr\xC3\xBC\xC3\x9F"
              "e");
    EXPECT_EQ(Mime("=?ISO-8859-1*en-US?B?QW5kcuk=?="), "Andr\xC3\xA9");
    // Invalid UTF-8 becomes U+FFFD; decoded NUL bytes are dropped.
    EXPECT_EQ(Mime("=?UTF-8?Q?a=FFb?="),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(Mime("=?UTF-8?Q?a=00b=C3=00=A9?="), "ab\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(Mime("=?ISO-8859-1?Q?a=00b?="), "ab");
    // A literal "?" inside Q text (broken mailers write it) is kept; the end is the first "?=".
    EXPECT_EQ(Mime("=?ISO-8859-1?Q?Was?\?="), "Was?");
    EXPECT_EQ(Mime("=?UTF-8?Q?\?="), "");  // empty encoded text
}

// ---------------------------------------------------------------------------------------------
// Character references and the telephone formatter

TEST(OrvToNumericCharRefs, OutsideAsciiAsDecimalReferences) {
    EXPECT_EQ(S(OrvToNumericCharRefs(u"plain & <ascii>")), "plain & <ascii>");
    EXPECT_EQ(S(OrvToNumericCharRefs(u"Gr\u00fc\u00dfe \u20ac5")), "Gr&#252;&#223;e &#8364;5");
    EXPECT_EQ(S(OrvToNumericCharRefs(u"\u0080\u00ff\uffff")), "&#128;&#255;&#65535;");
    EXPECT_EQ(S(OrvToNumericCharRefs(u"\U0001F600!")), "&#128512;!");  // a pair is one character
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    EXPECT_EQ(S(OrvToNumericCharRefs(lone)), "a&#65533;b&#65533;");
    EXPECT_EQ(S(OrvToNumericCharRefs(u"")), "");
    EXPECT_EQ(S(OrvToNumericCharRefs(nullptr)), "");
}

TEST(OrvFormatPhoneNumber, DigitsPlusAndGroups) {
    EXPECT_EQ(S(OrvFormatPhoneNumber(COrvStringA("+49 (0) 89 / 12-34"))), "+49 (0) 891234");
    EXPECT_EQ(S(OrvFormatPhoneNumber(COrvStringA("(089) 123 456"))), "(089) 123456");
    EXPECT_EQ(S(OrvFormatPhoneNumber(COrvStringA("+1-800-555-0199"))), "+18005550199");
    EXPECT_EQ(S(OrvFormatPhoneNumber(COrvStringA("tel: 0171.2345 ext +5"))), "017123455");
    EXPECT_EQ(S(OrvFormatPhoneNumber(COrvStringA("12 () 34"))), "1234");
    EXPECT_EQ(S(OrvFormatPhoneNumber(COrvStringA("1 (2)(3) 4"))), "1 (2) (3) 4");
    EXPECT_EQ(S(OrvFormatPhoneNumber(COrvStringA("5 (67"))), "5 (67)");
    EXPECT_EQ(S(OrvFormatPhoneNumber(COrvStringA("5 (x"))), "5");
    EXPECT_EQ(S(OrvFormatPhoneNumber(COrvStringA(""))), "");
    EXPECT_EQ(W(OrvFormatPhoneNumber(COrvStringW(u"+33 (0)1\u00a042 68 53 00"))),
              u"+33 (0) 142685300");
}

// ---------------------------------------------------------------------------------------------
// Comparators

class CompareTest : public ::testing::Test {
protected:
    OrvReportCapture m_reports;
    static int Sign(int n) { return n < 0 ? -1 : (n > 0 ? 1 : 0); }
    static int Ord(const char16_t* a, const char16_t* b) {
        const COrvStringW x(a), y(b);
        return Sign(OrvCompareOrdinal(&x, &y));
    }
    static int OrdNoCase(const char16_t* a, const char16_t* b) {
        const COrvStringW x(a), y(b);
        return Sign(OrvCompareOrdinalNoCase(&x, &y));
    }
    static int Loc(const char16_t* a, const char16_t* b) {
        const COrvStringW x(a), y(b);
        return Sign(OrvCompareLocale(&x, &y));
    }
    static int LocNoCase(const char16_t* a, const char16_t* b) {
        const COrvStringW x(a), y(b);
        return Sign(OrvCompareLocaleNoCase(&x, &y));
    }
};

TEST_F(CompareTest, Ordinal) {
    EXPECT_EQ(Ord(u"a", u"b"), -1);
    EXPECT_EQ(Ord(u"b", u"a"), 1);
    EXPECT_EQ(Ord(u"abc", u"abc"), 0);
    EXPECT_EQ(Ord(u"", u""), 0);
    EXPECT_EQ(Ord(u"a", u"ab"), -1);
    EXPECT_EQ(Ord(u"ab", u"a"), 1);
    EXPECT_EQ(Ord(u"B", u"a"), -1);
    EXPECT_EQ(Ord(u"\u00e4", u"b"), 1);
    EXPECT_EQ(Ord(u"\uffff", u"\U0001F600"), 1);  // code units, not code points
    EXPECT_EQ(m_reports.Count(), 0u);
}

TEST_F(CompareTest, OrdinalNoCaseUsesTheLibraryMappingToLowerCase) {
    EXPECT_EQ(OrdNoCase(u"ABC", u"abc"), 0);
    EXPECT_EQ(OrdNoCase(u"abc", u"ABD"), -1);
    EXPECT_EQ(OrdNoCase(u"B", u"a"), 1);
    // Mapped to lower case: "_" (5F) sorts before letters, as before "a" (61).
    EXPECT_EQ(OrdNoCase(u"_", u"A"), -1);
    EXPECT_EQ(OrdNoCase(u"A", u"_"), 1);
    EXPECT_EQ(OrdNoCase(u"[", u"a"), -1);
    // Letters beyond ASCII.
    EXPECT_EQ(OrdNoCase(u"\u00c4PFEL", u"\u00e4pfel"), 0);
    EXPECT_EQ(OrdNoCase(u"\u0178", u"\u00ff"), 0);              // Ÿ ÿ
    EXPECT_EQ(OrdNoCase(u"\u0100\u0139", u"\u0101\u013a"), 0);  // Ā Ĺ
    EXPECT_EQ(
        OrdNoCase(u"\u041f\u0420\u0418\u0412\u0415\u0422", u"\u043f\u0440\u0438\u0432\u0435\u0442"),
        0);                                         // ПРИВЕТ привет
    EXPECT_EQ(OrdNoCase(u"\u0401", u"\u0451"), 0);  // Ё ё
    EXPECT_EQ(OrdNoCase(u"\u039F\u0394\u039F\u03A3", u"\u03BF\u03B4\u03BF\u03C3"), 0);  // ΟΔΟΣ
    EXPECT_EQ(OrdNoCase(u"\u0386", u"\u03AC"), 0);                                      // Ά ά
    EXPECT_EQ(OrdNoCase(u"\u0531", u"\u0561"), 0);                                      // Armenian
    EXPECT_EQ(OrdNoCase(u"\uff21", u"\uff41"), 0);        // full-width A a
    EXPECT_EQ(OrdNoCase(u"\u2160", u"\u2170"), 0);        // Roman numeral one
    EXPECT_EQ(OrdNoCase(u"\u24B6", u"\u24D0"), 0);        // circled A a
    EXPECT_EQ(OrdNoCase(u"\u04C0", u"\u04CF"), 0);        // palochka
    EXPECT_NE(OrdNoCase(u"Stra\u00dfe", u"STRASSE"), 0);  // one unit is not two
    EXPECT_NE(OrdNoCase(u"i", u"\u0131"), 0);             // dotless i is its own lower case
    EXPECT_EQ(OrdNoCase(u"\U0001F600", u"\U0001F600"), 0);
    EXPECT_EQ(m_reports.Count(), 0u);
}

TEST_F(CompareTest, NullArgumentsAreReportedAndSortFirst) {
    const COrvStringW a(u"a");
    int (*const kFns[])(const COrvStringW*, const COrvStringW*) = {
        OrvCompareOrdinal, OrvCompareOrdinalNoCase, OrvCompareLocale, OrvCompareLocaleNoCase};
    for (auto pfn : kFns) {
        m_reports.Clear();
        EXPECT_LT(pfn(nullptr, &a), 0);
        EXPECT_EQ(m_reports.Exprs(), (std::vector<std::string>{"pstr1"}));
        m_reports.Clear();
        EXPECT_GT(pfn(&a, nullptr), 0);
        EXPECT_EQ(m_reports.Exprs(), (std::vector<std::string>{"pstr2"}));
        m_reports.Clear();
        EXPECT_EQ(pfn(nullptr, nullptr), 0);
        EXPECT_EQ(m_reports.Exprs(), (std::vector<std::string>{"pstr1", "pstr2"}));
    }
}

// Runs the calling thread in a locale for the duration of a scope.
class ScopedThreadLocale {
public:
    explicit ScopedThreadLocale(const char* pszName)
        : m_loc(newlocale(LC_ALL_MASK, pszName, static_cast<locale_t>(0))) {
        if (m_loc != static_cast<locale_t>(0))
            m_old = uselocale(m_loc);
    }
    ~ScopedThreadLocale() {
        if (m_loc != static_cast<locale_t>(0)) {
            uselocale(m_old);
            freelocale(m_loc);
        }
    }

private:
    locale_t m_loc;
    locale_t m_old = static_cast<locale_t>(0);
};

TEST_F(CompareTest, LocaleAwareInTheCLocaleIsCodePointOrder) {
    ScopedThreadLocale loc("C");
    EXPECT_EQ(Loc(u"B", u"a"), -1);
    EXPECT_EQ(Loc(u"a", u"a"), 0);
    EXPECT_EQ(Loc(u"a", u"ab"), -1);
    EXPECT_EQ(Loc(u"\uffff", u"\U0001F600"), -1);  // code points, unlike the ordinal form
    EXPECT_EQ(LocNoCase(u"ABC", u"abc"), 0);
}

TEST_F(CompareTest, LocaleAwareInAGermanLocale) {
    REQUIRE_LOCALE("de_DE.UTF-8");
    ScopedThreadLocale loc("de_DE.UTF-8");
    EXPECT_EQ(Loc(u"\u00e4", u"b"), -1);  // ä before b, where the ordinal order has it after
    EXPECT_EQ(Ord(u"\u00e4", u"b"), 1);
    EXPECT_EQ(Loc(u"a", u"B"), -1);
    EXPECT_EQ(Loc(u"\u00c4pfel", u"\u00e4pfel"), 1);  // case still counts
    EXPECT_EQ(LocNoCase(u"\u00c4PFEL", u"\u00e4pfel"), 0);
    EXPECT_EQ(LocNoCase(u"Zebra", u"\u00e4rger"), 1);
    EXPECT_EQ(Loc(u"abc", u"abc"), 0);
    // A long text goes through the heap rather than the stack buffer.
    const std::u16string strLong(1000, u'x');
    const std::u16string strLonger = strLong + u"y";
    EXPECT_EQ(Loc(strLong.c_str(), strLonger.c_str()), -1);

    // Sorting a list of names with the comparators.
    std::vector<COrvStringW> names = {COrvStringW(u"\u00d6rjan"), COrvStringW(u"Zoe"),
                                      COrvStringW(u"anna"), COrvStringW(u"Bernd"),
                                      COrvStringW(u"\u00e4rger")};
    std::vector<const COrvStringW*> v;
    for (const auto& n : names)
        v.push_back(&n);
    std::sort(v.begin(), v.end(), [](const COrvStringW* a, const COrvStringW* b) {
        return OrvCompareLocale(a, b) < 0;
    });
    std::vector<std::u16string> got;
    for (auto p : v)
        got.push_back(W(*p));
    EXPECT_EQ(got, (std::vector<std::u16string>{u"anna", u"\u00e4rger", u"Bernd", u"\u00d6rjan",
                                                u"Zoe"}));
    std::sort(v.begin(), v.end(), [](const COrvStringW* a, const COrvStringW* b) {
        return OrvCompareOrdinal(a, b) < 0;
    });
    got.clear();
    for (auto p : v)
        got.push_back(W(*p));
    EXPECT_EQ(got, (std::vector<std::u16string>{u"Bernd", u"Zoe", u"anna", u"\u00d6rjan",
                                                u"\u00e4rger"}));
    EXPECT_EQ(m_reports.Count(), 0u);
}

}  // namespace
