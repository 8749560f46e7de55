// Punycode both ways and the conversion of international host names.
#include "orv-punycode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orv-net-test-util.h"

namespace {

// Published sample strings with their encodings (mixed-case annotations kept), and the
// failures: a digit asking for another, bad digits, overflow, a decoded surrogate (U+D800).
TEST(OrvPunycode, SamplesBothWaysAndDecodingFailures) {
    const struct {
        const char *pszUnicode, *pszPunycode;
    } kSamples[] = {{"他们为什么不说中文", "ihqwcrb4cv8a8dqg056pqjye"},
                    {"Pročprostěnemluvíčesky", "Proprostnemluvesky-uyb24dma41a"},
                    {"-> $1.00 <-", "-> $1.00 <--"},
                    {nullptr, "99"},
                    {nullptr, "abc-de!"},
                    {nullptr, "99999999999"},
                    {nullptr, "ib9b"}};
    const char* const kTexts[] = {"incomplete string", "bad digit", "integer overflow",
                                  "wrong insert position"};
    int nBad = 0;
    for (const auto& s : kSamples) {
        SCOPED_TRACE(s.pszPunycode);
        COrvStringA out = "old";
        COrvError err;
        if (s.pszUnicode == nullptr) {
            EXPECT_FALSE(OrvPunycodeDecode(s.pszPunycode, -1, out, err));
            EXPECT_EQ(OrvStr(err.Text()),
                      std::string("Punycode decoding error: ") + kTexts[nBad++]);
            EXPECT_EQ(err.Code(), enNetBadRequest);
            EXPECT_TRUE(out.IsEmpty());
            continue;
        }
        ASSERT_TRUE(OrvPunycodeDecode(s.pszPunycode, -1, out, err)) << err.Text().GetString();
        EXPECT_EQ(OrvStr(out), s.pszUnicode);
        ASSERT_TRUE(OrvPunycodeEncode(s.pszUnicode, -1, out, err)) << err.Text().GetString();
        EXPECT_EQ(OrvStr(out), s.pszPunycode);
    }
}

TEST(OrvPunycode, EncodingOverflowAndHostNames) {
    // 5000 ASCII characters make the first delta (0x10FFFF - 0x80) * 5001, beyond 32 bits;
    // 100 of them still fit.
    COrvStringA out, back;
    COrvError err;
    EXPECT_FALSE(
        OrvPunycodeEncode((std::string(5000, 'a') + "\xF4\x8F\xBF\xBF").c_str(), -1, out, err));
    EXPECT_EQ(OrvStr(err.Text()), "Cannot encode to PUNYCODE: overflow");
    EXPECT_TRUE(out.IsEmpty());
    const std::string fits = std::string(100, 'a') + "\xF4\x8F\xBF\xBF";
    ASSERT_TRUE(OrvPunycodeEncode(fits.c_str(), -1, out, err));
    ASSERT_TRUE(OrvPunycodeDecode(out, -1, back, err));
    EXPECT_EQ(OrvStr(back), fits);
    EXPECT_FALSE(OrvPunycodeEncode("\xC3", -1, out, err));
    err.Clear();
    EXPECT_FALSE(OrvHostToUnicode("ok.xn--99.example", -1, out, err));
    EXPECT_EQ(OrvStr(err.Text()), "Punycode decoding error: incomplete string");
    EXPECT_TRUE(out.IsEmpty());
}

// The international names of the Public Suffix List, under "www.", against the idn2 command.
TEST(OrvPunycode, AgreesWithIdn2OnTheListsNames) {
    ASSERT_TRUE(OrvHaveProgram("idn2")) << "the idn2 command is missing: install package idn2";
    std::vector<std::string> names, ascii, back;
    for (const std::string& rule : OrvPublicSuffixRules()) {
        const bool bAscii = std::all_of(rule.begin(), rule.end(), [](char c) { return c > 0; });
        if (!bAscii && rule.find_first_of("*!") == std::string::npos)
            names.push_back("www." + rule);
    }
    ASSERT_GE(names.size(), 300u) << "package publicsuffix is missing or its list is short";
    ASSERT_TRUE(OrvRunOverLines("idn2", names, ascii));
    ASSERT_TRUE(OrvRunOverLines("idn2 -d", ascii, back));
    ASSERT_EQ(back.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        COrvStringA out;
        COrvError err;
        ASSERT_TRUE(OrvHostToAscii(names[i].c_str(), -1, out, err)) << err.Text().GetString();
        EXPECT_EQ(OrvStr(out), ascii[i]);
        ASSERT_TRUE(OrvHostToUnicode(ascii[i].c_str(), -1, out, err)) << err.Text().GetString();
        EXPECT_EQ(OrvStr(out), back[i]);
    }
}

}  // namespace
