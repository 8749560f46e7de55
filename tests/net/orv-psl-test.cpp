// Public suffix positions, registrable domains and the list code generator.
#include "orv-psl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orv-net-test-util.h"
#include "orv-punycode.h"

namespace {

// Suffix positions and registrable domains: case, wildcard (*.ck) and exception (!www.ck) rules,
// a host that is a suffix, a single unknown label (a suffix by the implicit rule), empty labels,
// international names, and hosts of more than eight labels (judged on their last eight; the
// position still counts from the start of the whole host).
TEST(OrvPsl, SuffixPositionsAndRegistrableDomains) {
    const char* const kLong = "a.b.c.d.f.g.h.i.j.example.co.uk";
    const struct {
        const char* pszHost;
        int nPos;
        const char* pszDomain;
    } kCases[] = {{"www.example.co.uk", 12, "example.co.uk"},
                  {"a.b.c.foo.ck", 6, "c.foo.ck"},
                  {"x.www.ck", 6, "www.ck"},
                  {kLong, 26, "example.co.uk"},
                  {"example..com", -2, ""}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszHost);
        if (c.nPos != -2) {
            EXPECT_EQ(OrvPublicSuffixPos(c.pszHost), c.nPos);
        }
        EXPECT_EQ(OrvStr(OrvRegistrableDomain(c.pszHost)), c.pszDomain);
    }
    EXPECT_EQ(OrvPublicSuffixPos("example.comXYZ", 11), 8);  // an explicit length ends the host
}

// Host names made from the rules of the list (wildcard and exception rules included) against the
// psl command on libpsl's built-in data.
TEST(OrvPsl, AgreesWithThePslCommand) {
    ASSERT_TRUE(OrvHaveProgram("psl")) << "the psl command is missing: install package psl";
    std::vector<std::string> hosts;
    const std::vector<std::string> rules = OrvPublicSuffixRules();
    for (const std::string& raw : rules) {
        const bool bException = raw[0] == '!';
        COrvStringA ascii;
        COrvError err;
        ASSERT_TRUE(OrvHostToAscii(raw.c_str() + bException, -1, ascii, err)) << raw;
        std::string host = OrvStr(ascii);
        for (size_t p; (p = host.find('*')) != std::string::npos;)
            host.replace(p, 1, "wild");
        hosts.push_back(host);
        hosts.push_back("x." + host);
        if (bException || hosts.size() % 7 == 0)
            hosts.push_back("a.b." + host);
    }
    ASSERT_GE(hosts.size(), 5000u) << "package publicsuffix is missing or its list is short";
    std::vector<std::string> out;
    ASSERT_TRUE(OrvRunOverLines("psl --use-builtin-data --print-reg-domain", hosts, out));
    ASSERT_EQ(out.size(), hosts.size());
    int nWithDomain = 0;
    for (size_t i = 0; i < hosts.size(); ++i) {
        const std::string prefix = hosts[i] + ": ";
        ASSERT_EQ(out[i].rfind(prefix, 0), 0u) << out[i];
        std::string expected = out[i].substr(prefix.size());
        nWithDomain += expected != "(null)";
        if (expected == "(null)")
            expected.clear();
        EXPECT_EQ(OrvStr(OrvRegistrableDomain(hosts[i].c_str())), expected) << hosts[i];
    }
    // Both outcomes occur in numbers.
    EXPECT_GT(nWithDomain, 1000);
    EXPECT_LT(nWithDomain, static_cast<int>(hosts.size()) - 1000);
}

TEST(OrvPslCode, WritesASmallListAndReportsBadLines) {
    OrvTempDir m_dir;
    const OrvTime m_t = OrvTimeConstruct(true, 2024, 3, 5, 7, 8, 9);
    ASSERT_TRUE(OrvWriteFileBytes(m_dir.File("list.dat"),
                                  "// ===BEGIN ICANN DOMAINS===\ncom\n\nuk\nco.uk\n"
                                  "com.uk   trailing words\r\n*.ck\n!www.ck\nbücher.example-x\n"));
    COrvStringA code;
    COrvError err;
    ASSERT_TRUE(OrvPslGenerateCode(m_dir.File("list.dat").c_str(), enPslCodeC, m_t, code, err))
        << err.Text().GetString();
    const std::string text = OrvStr(code);
    // The wildcard and exception rules, a shared label, an international name, the count.
    for (const char* psz :
         {"// Generated: 2024-03-05 07:08:09\n", "L N_ck_ANY = {\"*\", 0, 0, 0};\n",
          "L N_ck_www = {\"www\", 0, 0, 1};\n", "L N_uk_com = {s_com, 0, 0, 0};\n",
          "{\"xn--bcher-kva\", 0, 0, 0};\n", "\n// Total nodes: 10\n// END LIST\n\n"})
        EXPECT_NE(text.find(psz), std::string::npos) << psz << "\n" << text;

    ASSERT_TRUE(OrvWriteFileBytes(m_dir.File("bad.dat"), "uk\n\xC3\x28.uk\n"));
    EXPECT_FALSE(OrvPslGenerateCode(m_dir.File("bad.dat").c_str(), enPslCodeC, m_t, code, err));
    EXPECT_NE(OrvStr(err.Text()).find("line 2"), std::string::npos) << err.Text().GetString();
}

}  // namespace
