// Number and text utilities: integer, IPv4 and size parsers with their messages, splitting,
// decimal and grouped texts, hex, dumps, C escapes, error texts, text checks, HTML to text, MIME
// words, character references, comparators.
#include "orv-string-util.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "orv-result.h"
#include "orv-trace.h"
#include "support/orv-test-support.h"

namespace {

const auto& S = OrvStr;
const auto& W = OrvStrW;

// One parse: on success the value is set and the error fields untouched; on failure code 6, the
// exact message, and the value unchanged.
template <typename V, typename T>
void ExpectParse(bool (*pfn)(const T*, const char*, V&, int&, COrvStringA&), const T* psz,
                 const char* pszError, V nWant = 0, const char* pszContext = "ctx") {
    SCOPED_TRACE(pszError ? pszError : "ok");
    V n = 4242;
    int nError = -77;
    COrvStringA strError("untouched");
    const bool b = pfn(psz, pszContext, n, nError, strError);
    EXPECT_EQ(b, pszError == nullptr);
    EXPECT_EQ(n, pszError ? V(4242) : nWant);
    EXPECT_EQ(nError, pszError ? 6 : -77);
    EXPECT_EQ(S(strError), pszError ? pszError : "untouched");
}

TEST(OrvParseInt, BoundariesEndsAndMessages) {
    ExpectParse(OrvParseInt32A, "2147483647", nullptr, INT32_MAX);
    ExpectParse(OrvParseInt32A, "-2147483647", nullptr, -INT32_MAX);
    ExpectParse<int32_t>(OrvParseInt32A, "2147483648 rest",
                         "integer overflow 32-bit: 2147483648 rest");
    // The magnitude limit holds for both signs: the type's own minimum is refused.
    ExpectParse<int32_t>(OrvParseInt32A, "-2147483648", "integer overflow 32-bit: -2147483648");
    ExpectParse<uint32_t>(OrvParseUInt32A, "-0", "bad UInt32(A) number in ctx: -0: -");
    // Octal has no overflow check: the value is taken modulo 2^32.
    ExpectParse(OrvParseOctalUInt32A, "37777777777", nullptr, UINT32_MAX);
    ExpectParse(OrvParseOctalUInt32A, "40000000000", nullptr, 0u);
    ExpectParse<uint32_t>(OrvParseOctalUInt32A, "129", "bad OctalUInt32(A) number in ctx: 129: 9");
    // A space or a line feed ends the number; a tab, a CR, a plus or a second minus do not.
    ExpectParse(OrvParseInt32A, "123 abc", nullptr, 123);
    ExpectParse(OrvParseInt32A, "-45\nx", nullptr, -45);
    ExpectParse<int32_t>(OrvParseInt32A, "45\r\n", "bad Int32(A) number in ctx: 45\r\n: \r");
    ExpectParse<int32_t>(OrvParseInt32A, "7x", "bad Int32(A) number in : 7x: x", 0, nullptr);
    // A bad character outside ASCII is quoted whole (its UTF-8 sequence or surrogate pair).
    ExpectParse<int32_t>(OrvParseInt32W, u"9\U0001F600",
                         "bad Int32(W) number in ctx: 9\xF0\x9F\x98\x80: \xF0\x9F\x98\x80");
    // An overflowing prefix is found before a bad character after it.
    ExpectParse<int32_t>(OrvParseInt32A, "99999999999x", "integer overflow 32-bit: 99999999999x");
}

// Addresses, sizes and ranges: values, limits, and outputs left untouched on failure.
TEST(OrvParseIPv4AndSizes, ValuesLimitsAndFailures) {
    // clang-format off
    const std::pair<const char*, std::vector<int>> kAddresses[] = {
        {"10.0.0.1", {10, 0, 0, 1}}, {"255.255.255.255", {255, 255, 255, 255}},
        {"192.168.0000255.7", {192, 168, 255, 7}}, {"", {}}, {"1.2.3", {}}, {"1..2.3", {}},
        {"1.2.3.", {}}, {"256.1.1.1", {}}, {"1.2.3.4 ", {}}, {"-1.2.3.4", {}}};
    // clang-format on
    for (const auto& [psz, want] : kAddresses) {
        unsigned char ab[4] = {7, 7, 7, 7};
        int nCode = 0;
        COrvStringA strErr;
        EXPECT_EQ(OrvParseIPv4(psz, ab, nCode, strErr), !want.empty()) << psz;
        EXPECT_EQ(std::vector<int>(ab, ab + 4),
                  (want.empty() ? std::vector<int>{7, 7, 7, 7} : want));
        EXPECT_EQ(nCode, want.empty() ? 6 : 0) << psz;
    }
    // clang-format off
    const std::pair<const char*, int64_t> kSizes[] = {
        {"10K", 10240}, {nullptr, 0}, {"1K0", kOrvBadSize}, {"1G", kOrvBadSize},
        {"-1", kOrvBadSize},
        {"9007199254740991K", 9007199254740991LL * 1024}, {"9007199254740992K", kOrvBadSize},
        {"8796093022208M", kOrvBadSize}};
    // clang-format on
    for (const auto& [psz, n] : kSizes)
        EXPECT_EQ(OrvParseSize(psz), n) << (psz ? psz : "null");
    const struct {
        const char* psz;
        int64_t n1, n2;  // -1: refused, both left as they were
    } kRanges[] = {{"1K,2M", 1024, 2097152}, {",", 0, 0},       {"1K", -1, -1},
                   {"1,2,3", -1, -1},        {"1K0,2", -1, -1}, {"1, 2", -1, -1}};
    for (const auto& r : kRanges) {
        int64_t n1 = 11, n2 = 22;
        COrvStringA strErr;
        EXPECT_EQ(OrvParseSizeRange(r.psz, n1, n2, strErr), r.n1 >= 0) << r.psz;
        EXPECT_EQ(n1, r.n1 >= 0 ? r.n1 : 11) << r.psz;
        EXPECT_EQ(n2, r.n2 >= 0 ? r.n2 : 22) << r.psz;
    }
}

// Controls and non-ASCII bytes become \x escapes, and a hex digit right after one is escaped too
// (so that a C compiler does not read it as part of the escape).
TEST(OrvEscapeC, EscapesAndTheHexDigitRule) {
    // clang-format off
    const std::pair<const char*, const char*> kCases[] = {
        {"a\nb\tc", "a\\nb\\tc"}, {"\r\n", "\\x0D\\n"}, {"\xC3\xA9", "\\xC3\\xA9"},
        {"\\\"", "\\\""}, {nullptr, ""}, {"\x01" "AB9g", "\\x01\\x41\\x42\\x39g"},
        {"\x01 a", "\\x01 a"}, {"\n1\tf", "\\n1\\tf"}};
    // clang-format on
    for (const auto& [psz, pszWant] : kCases)
        EXPECT_EQ(S(OrvEscapeC(psz)), pszWant);
}

TEST(OrvFormat, CountDecimalAndDoubleTexts) {
    const std::pair<uint32_t, const char*> kCounts[] = {
        {9999, "9999"}, {10000, "10K"}, {9999999, "9999K"}, {10000000, "10M"}};
    for (const auto& [n, psz] : kCounts)
        EXPECT_EQ(S(OrvFormatCount(n)), psz);
    // The fraction is cut, not rounded, trailing zeros go, and the form is shaped.
    // clang-format off
    const struct { double d; int nDigits; const char16_t* pszWant; } kDoubles[] = {
        {3, 3, u"3.0"}, {1e20, 3, u"1.0e+20"}, {2.0 / 3, 4, u"0.6666"},
        {123456789012345678.0, 3, u"1.234e+17"}, {0.1 + 0.2, 20, u"0.3"}};
    // clang-format on
    for (const auto& r : kDoubles)
        EXPECT_EQ(W(OrvFormatDouble(r.d, r.nDigits)), r.pszWant) << r.d;
}

TEST(OrvChecks, BadCharsAndPrintable) {
    COrvStringA str("untouched");
    EXPECT_TRUE(OrvCheckBadChars(nullptr, str));
    EXPECT_TRUE(OrvCheckBadChars("\x01\n\r\x19 \x7F\x80\xFF", str));  // the allowed controls
    EXPECT_TRUE(OrvCheckPrintable("printable \x7F \xC3\xA9", str));
    EXPECT_FALSE(OrvCheckBadChars("ok\x02\x03", str));
    EXPECT_EQ(S(str), "String contains bad char 0x02");
    // The exempt form: "S", at least 14 bytes, "-" 14 and "_" 7 bytes before the end.
    EXPECT_TRUE(OrvCheckBadChars("S-aa\taaa_bbbbbb", str));
    for (const char* psz :
         {"T-aa\taaa_bbbbbb", "S-aa\taaa-bbbbbb", "S_aa\taaa_bbbbbb", "S-a\taa_bbbbbb"})
        EXPECT_FALSE(OrvCheckBadChars(psz, str)) << psz;
    EXPECT_FALSE(OrvCheckPrintable("line\n", str));
    EXPECT_FALSE(OrvCheckPrintable("S-aa\taaa_bbbbbb", str));  // no exempt form here
}

TEST(OrvHtmlToText, TagsReferencesAndLineBreaks) {
    const struct {
        const char* psz;
        bool bBreaks;
        const char* pszWant;
    } kCases[] = {
        {"<HTML><BODY>Up</BODY></HTML>", false, "Up"},
        {"<!DOCTYPE html>\n<html lang=\"de\">\n<p>Hallo</p>\n</html>", false, "\n\nHallo\n"},
        {"<html><head><title>T</title><style>p { color: red; }</style></head><p>Hello <b>w</b>"
         "</p><script>var x = '<p>';</script>Bye</html>",
         false, "THello wBye"},
        {"<html>&lt;t&gt; &amp; &quot;q&quot; &apos;a&apos; x&nbsp;y", false,
         "<t> & \"q\" 'a' x y"},
        {"<html>&#233;&#xE9;&#X20AC;&#128512;", false,
         "\xC3\xA9\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"<html>&unknown; &#x; &#12 &amp", false, "&unknown; &#x; &#12 &amp"},
        {"<html>&#0;&#xD800;&#99999999999999;", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"<html>a<br>b<br/>c<BR />d</p>e</div>f</tr>g</li>h</h2>i<p>j", true,
         "a\nb\nc\nd\ne\nf\ng\nh\nij"}};
    for (const auto& r : kCases) {
        COrvStringA out("old");
        EXPECT_TRUE(OrvHtmlToText(r.psz, out, r.bBreaks)) << r.psz;
        EXPECT_EQ(S(out), r.pszWant);
    }
    for (const char* psz : {"no <b>html</b> here", "<htmlx>a</htmlx>"}) {
        COrvStringA out("old");
        EXPECT_FALSE(OrvHtmlToText(psz, out, false));
        EXPECT_EQ(S(out), psz);  // anything but HTML is left as it is
    }
}

TEST(OrvDecodeMimeWords, WordsWhiteSpaceAndCharsets) {
    const std::pair<const char*, const char*> kCases[] = {
        {"=?ISO-8859-1?Q?Keld_J=F8rn_Simonsen?= <keld@dkuug.dk>",
         "Keld J\xC3\xB8rn Simonsen <keld@dkuug.dk>"},
        {"=?windows-1252?Q?=93Quoted=94_=96_=80100_=85?=",
         "\xE2\x80\x9CQuoted\xE2\x80\x9D \xE2\x80\x93 \xE2\x82\xAC"
         "100 \xE2\x80\xA6"},
        {"=?UTF-8?B?0J/RgNC40LLQtdGCLCDQvNC40YAh?=",
         "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80!"},
        // Another charset stays, with the space before it.
        {"Subject: =?ISO-8859-1?B?SWYgeW91IGNhbiByZWFkIHRoaXMgeW8=?= "
         "=?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?=",
         "Subject: If you can read this yo =?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?="},
        // White space between adjacent words goes; text between words stays.
        {"Subject: =?UTF-8?B?UmU6IEVpbmxhZHVuZyB6dXIgU2l0enVuZyBhbSBNb250YWcg?=\r\n"
         " =?UTF-8?B?dW0gMTQ6MDAgVWhyIGluIE3DvG5jaGVu?=",
         "Subject: Re: Einladung zur Sitzung am Montag um 14:00 Uhr in M\xC3\xBCnchen"},
        {"(=?ISO-8859-1?Q?a?=\r\n    =?ISO-8859-1?Q?b?=)", "(ab)"},
        {"=?UTF-8?Q?a?= =?UTF-8?Q?=ZZ?= =?UTF-8?Q?b?=", "a =?UTF-8?Q?=ZZ?= b"},
        // A broken word in front does not swallow a good one after it.
        {"=?UTF-8?Q?broken and =?UTF-8?Q?ok?=", "=?UTF-8?Q?broken and ok"},
        // Charset names in any case, a language suffix ignored; bad UTF-8 becomes U+FFFD and
        // decoded NUL bytes are dropped; a literal "?" in Q text is kept.
        {"=?UTF-8*de?Q?Gr=C3=BC=C3=9Fe?=",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"=?UTF-8?Q?a=00b=C3=00=A9?=", "ab\xEF\xBF\xBD\xEF\xBF\xBD"},
        {nullptr, ""}};
    for (const auto& [psz, pszWant] : kCases)
        EXPECT_EQ(S(OrvDecodeMimeWords(psz)), pszWant) << (psz ? psz : "null");
    // Malformed words stay as they are.
    for (const char* psz : {"=?UTF-8?", "=?UTF-8?Q?unterminated", "=?UTF-8?X?abc?=",
                            "=?UTF-8?Q?cut=4?=", "=?UTF-8?B?QUJDR?=", "=??Q?x?="})
        EXPECT_EQ(S(OrvDecodeMimeWords(psz)), psz);
}

}  // namespace
