// Punycode both ways and the conversion of international host names.
#include "orv-punycode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orv-net-test-util.h"

namespace {

std::string Str(const COrvStringA& s) {
    return std::string(s.GetString(), static_cast<size_t>(s.GetLength()));
}

// The sample strings of RFC 3492, section 7.1, with their encodings (mixed-case annotations kept).
const struct {
    const char* pszUnicode;
    const char* pszPunycode;
} kSamples[] = {
    {"他们为什么不说中文", "ihqwcrb4cv8a8dqg056pqjye"},
    {"他們爲什麽不說中文", "ihqwctvzc91f659drss3x8bo0yb"},
    {"Pročprostěnemluvíčesky", "Proprostnemluvesky-uyb24dma41a"},
    {"почемужеонинеговорятпорусски", "b1abfaaepdrnnbgefbadotcwatmq2g4l"},
    {"PorquénopuedensimplementehablarenEspañol", "PorqunopuedensimplementehablarenEspaol-fmd56a"},
    {"TạisaohọkhôngthểchỉnóitiếngViệt", "TisaohkhngthchnitingVit-kjcr8268qyxafd2f1b9g"},
    {"3年B組金八先生", "3B-ww4c5e180e575a65lsy2b"},
    {"安室奈美恵-with-SUPER-MONKEYS", "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
    {"Hello-Another-Way-それぞれの場所", "Hello-Another-Way--fc4qua05auwb3674vfr0b"},
    {"ひとつ屋根の下2", "2-u9tlzr9756bt3uc0v"},
    {"MajiでKoiする5秒前", "MajiKoi5-783gue6qz075azm5e"},
    {"パフィーdeルンバ", "de-jg4avhby1noc0d"},
    {"そのスピードで", "d9juau41awczczp"},
    {"-> $1.00 <-", "-> $1.00 <--"},
};

TEST(OrvPunycode, RfcSamplesBothWays) {
    for (const auto& s : kSamples) {
        SCOPED_TRACE(s.pszPunycode);
        COrvStringA out;
        COrvError err;
        ASSERT_TRUE(OrvPunycodeEncode(s.pszUnicode, -1, out, err)) << err.Text().GetString();
        EXPECT_EQ(Str(out), s.pszPunycode);
        ASSERT_TRUE(OrvPunycodeDecode(s.pszPunycode, -1, out, err)) << err.Text().GetString();
        EXPECT_EQ(Str(out), s.pszUnicode);
    }
    // Digits decode in either case.
    COrvStringA out;
    COrvError err;
    ASSERT_TRUE(OrvPunycodeDecode("IHQWCRB4CV8A8DQG056PQJYE", -1, out, err));
    EXPECT_EQ(Str(out), "他们为什么不说中文");
}

TEST(OrvPunycode, DecodingFailuresHaveTheirTexts) {
    const struct {
        const char* pszIn;
        const char* pszText;
    } kBad[] = {
        // "9" is a digit that asks for another one.
        {"99", "Punycode decoding error: incomplete string"},
        {"abc-de!", "Punycode decoding error: bad digit"},
        {"\xC3\xA9-abc", "Punycode decoding error: bad digit"},
        {"99999999999", "Punycode decoding error: integer overflow"},
        // Decodes to U+D800, a surrogate.
        {"ib9b", "Punycode decoding error: wrong insert position"},
    };
    for (const auto& c : kBad) {
        SCOPED_TRACE(c.pszIn);
        COrvStringA out = "old";
        COrvError err;
        EXPECT_FALSE(OrvPunycodeDecode(c.pszIn, -1, out, err));
        EXPECT_EQ(Str(err.Text()), c.pszText);
        EXPECT_EQ(err.Code(), enNetBadRequest);
        EXPECT_TRUE(out.IsEmpty());
    }
}

TEST(OrvPunycode, EncodingOverflowIsReported) {
    // 5000 ASCII characters make the first delta (0x10FFFF - 0x80) * 5001, beyond 32 bits.
    const std::string in = std::string(5000, 'a') + "\xF4\x8F\xBF\xBF";
    COrvStringA out;
    COrvError err;
    EXPECT_FALSE(OrvPunycodeEncode(in.c_str(), -1, out, err));
    EXPECT_EQ(Str(err.Text()), "Cannot encode to PUNYCODE: overflow");
    EXPECT_TRUE(out.IsEmpty());
    // A shorter run of the same kind still fits.
    const std::string fits = std::string(100, 'a') + "\xF4\x8F\xBF\xBF";
    COrvError err2;
    ASSERT_TRUE(OrvPunycodeEncode(fits.c_str(), -1, out, err2));
    COrvStringA back;
    ASSERT_TRUE(OrvPunycodeDecode(out, -1, back, err2));
    EXPECT_EQ(Str(back), fits);
    EXPECT_FALSE(OrvPunycodeEncode("\xC3", -1, out, err2));
}

TEST(OrvPunycode, HostNamesConvertLabelByLabel) {
    COrvStringA out;
    COrvError err;
    ASSERT_TRUE(OrvHostToAscii("WWW.Bücher.Example", -1, out, err));
    EXPECT_EQ(Str(out), "www.xn--bcher-kva.example");
    ASSERT_TRUE(OrvHostToUnicode("www.XN--bcher-kva.example.", -1, out, err));
    EXPECT_EQ(Str(out), "www.bücher.example.");
    ASSERT_TRUE(OrvHostToAscii("", -1, out, err));
    EXPECT_EQ(Str(out), "");
    EXPECT_FALSE(OrvHostToUnicode("ok.xn--99.example", -1, out, err));
    EXPECT_EQ(Str(err.Text()), "Punycode decoding error: incomplete string");
    EXPECT_TRUE(out.IsEmpty());
}

// The international names of the Public Suffix List, under "www.", against the idn2 command.
TEST(OrvPunycode, AgreesWithIdn2OnTheListsNames) {
    ASSERT_TRUE(OrvHaveProgram("idn2")) << "the idn2 command is missing: install package idn2";
    std::vector<std::string> names;
    for (const std::string& rule : OrvPublicSuffixRules()) {
        bool bAscii = true;
        for (char c : rule)
            bAscii = bAscii && static_cast<unsigned char>(c) < 0x80;
        if (!bAscii && rule.find_first_of("*!") == std::string::npos)
            names.push_back("www." + rule);
    }
    ASSERT_GE(names.size(), 300u) << "package publicsuffix is missing or its list is short";

    std::vector<std::string> ascii;
    ASSERT_TRUE(OrvRunOverLines("idn2", names, ascii));
    ASSERT_EQ(ascii.size(), names.size());
    std::vector<std::string> back;
    ASSERT_TRUE(OrvRunOverLines("idn2 -d", ascii, back));
    ASSERT_EQ(back.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        COrvStringA out;
        COrvError err;
        ASSERT_TRUE(OrvHostToAscii(names[i].c_str(), -1, out, err)) << err.Text().GetString();
        EXPECT_EQ(Str(out), ascii[i]);
        ASSERT_TRUE(OrvHostToUnicode(ascii[i].c_str(), -1, out, err)) << err.Text().GetString();
        EXPECT_EQ(Str(out), back[i]);
    }
}

}  // namespace
