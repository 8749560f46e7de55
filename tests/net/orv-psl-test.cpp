// Public suffix positions, registrable domains and the list code generator.
#include "orv-psl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orv-net-test-util.h"
#include "orv-punycode.h"

namespace {

std::string Str(const COrvStringA& s) {
    return std::string(s.GetString(), static_cast<size_t>(s.GetLength()));
}

TEST(OrvPsl, PublicSuffixPosition) {
    EXPECT_EQ(OrvPublicSuffixPos("www.example.co.uk"), 12);
    EXPECT_EQ(OrvPublicSuffixPos("WWW.Example.CO.UK"), 12);
    EXPECT_EQ(OrvPublicSuffixPos("example.com"), 8);
    // A host that is a suffix, and a single unknown label (a suffix by the implicit rule).
    EXPECT_EQ(OrvPublicSuffixPos("co.uk"), 0);
    EXPECT_EQ(OrvPublicSuffixPos("localhost"), 0);
    EXPECT_EQ(OrvPublicSuffixPos(""), -1);
    EXPECT_EQ(OrvPublicSuffixPos(nullptr), -1);
    // Wildcard and exception: *.ck makes "foo.ck" a suffix, !www.ck makes "www.ck" none.
    EXPECT_EQ(OrvPublicSuffixPos("a.foo.ck"), 2);
    EXPECT_EQ(OrvPublicSuffixPos("www.ck"), 4);
    // An explicit length ends the host.
    EXPECT_EQ(OrvPublicSuffixPos("example.comXYZ", 11), 8);
}

TEST(OrvPsl, LongHostsAreJudgedOnTheirLastEightLabels) {
    const std::string tail8 = "f.g.h.i.j.example.co.uk";  // 8 labels
    const std::string host12 = "a.b.c.d." + tail8;        // 12 labels
    const int nTail = OrvPublicSuffixPos(tail8.c_str());
    ASSERT_EQ(nTail, static_cast<int>(tail8.size() - 5));
    // The position counts from the start of the whole host.
    EXPECT_EQ(OrvPublicSuffixPos(host12.c_str()), nTail + 8);
    EXPECT_EQ(Str(OrvRegistrableDomain(host12.c_str())), "example.co.uk");
}

TEST(OrvPsl, RegistrableDomainAndSplit) {
    EXPECT_EQ(Str(OrvRegistrableDomain("www.Example.co.uk")), "example.co.uk");
    EXPECT_EQ(Str(OrvRegistrableDomain("example.co.uk")), "example.co.uk");
    EXPECT_EQ(Str(OrvRegistrableDomain("www.bücher.de")), "xn--bcher-kva.de");
    EXPECT_EQ(Str(OrvRegistrableDomain("a.b.c.foo.ck")), "c.foo.ck");
    EXPECT_EQ(Str(OrvRegistrableDomain("x.www.ck")), "www.ck");
    // No registrable domain: a suffix itself, no dot, empty labels, nothing.
    EXPECT_EQ(Str(OrvRegistrableDomain("co.uk")), "");
    EXPECT_EQ(Str(OrvRegistrableDomain("localhost")), "");
    EXPECT_EQ(Str(OrvRegistrableDomain(".com")), "");
    EXPECT_EQ(Str(OrvRegistrableDomain(".example.com")), "");
    EXPECT_EQ(Str(OrvRegistrableDomain("example..com")), "");
    EXPECT_EQ(Str(OrvRegistrableDomain("a..example.com")), "");
    EXPECT_EQ(Str(OrvRegistrableDomain("")), "");

    COrvStringA sub = "old", dom = "old";
    ASSERT_TRUE(OrvSplitHost("a.b.example.com", sub, dom));
    EXPECT_EQ(Str(sub), "a.b");
    EXPECT_EQ(Str(dom), "example.com");
    ASSERT_TRUE(OrvSplitHost("example.com", sub, dom));
    EXPECT_EQ(Str(sub), "");
    EXPECT_EQ(Str(dom), "example.com");
    EXPECT_FALSE(OrvSplitHost("com", sub, dom));
    EXPECT_TRUE(sub.IsEmpty());
    EXPECT_TRUE(dom.IsEmpty());
}

// Host names made from the rules of the list (wildcard and exception rules included) against the
// psl command on libpsl's built-in data.
TEST(OrvPsl, AgreesWithThePslCommand) {
    ASSERT_TRUE(OrvHaveProgram("psl")) << "the psl command is missing: install package psl";
    std::vector<std::string> hosts;
    const std::vector<std::string> rules = OrvPublicSuffixRules();
    for (const std::string& raw : rules) {
        std::string rule = raw;
        const bool bException = !rule.empty() && rule[0] == '!';
        if (bException)
            rule.erase(0, 1);
        COrvStringA ascii;
        COrvError err;
        ASSERT_TRUE(OrvHostToAscii(rule.c_str(), -1, ascii, err)) << rule;
        std::string host = Str(ascii);
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
        if (expected == "(null)")
            expected.clear();
        else
            ++nWithDomain;
        EXPECT_EQ(Str(OrvRegistrableDomain(hosts[i].c_str())), expected) << hosts[i];
    }
    // Both outcomes occur in numbers.
    EXPECT_GT(nWithDomain, 1000);
    EXPECT_LT(nWithDomain, static_cast<int>(hosts.size()) - 1000);
}

class OrvPslCode : public ::testing::Test {
protected:
    OrvTempDir m_dir;
    const OrvTime m_t = OrvTimeConstruct(true, 2024, 3, 5, 7, 8, 9);
};

TEST_F(OrvPslCode, WritesTheCFormOfASmallList) {
    const std::string list =
        "// ===BEGIN ICANN DOMAINS===\n"
        "com\n"
        "\n"
        "uk\n"
        "co.uk\n"
        "com.uk   trailing words\r\n"
        "*.ck\n"
        "!www.ck\n"
        "bücher.example-x\n";
    ASSERT_TRUE(OrvWriteFileBytes(m_dir.File("list.dat"), list));
    COrvStringA code;
    COrvError err;
    ASSERT_TRUE(OrvPslGenerateCode(m_dir.File("list.dat").c_str(), enPslCodeC, m_t, code, err))
        << err.Text().GetString();
    const std::string text = Str(code);
    const std::string head =
        "// Public Suffix List\n// https://publicsuffix.org/list/public_suffix_list.dat\n"
        "// Generated: 2024-03-05 07:08:09\n// BEGIN LIST\n\n";
    ASSERT_EQ(text.rfind(head, 0), 0u) << text;
    const std::string nodes =
        "S s_com[] = \"com\";\n"
        "#undef S\n\n"
        "L N_ck_ANY = {\"*\", 0, 0, 0};\n"
        "L N_ck_www = {\"www\", 0, 0, 1};\n"
        "A A_SUBDOMAINS_OF_ck[] = {&N_ck_ANY, &N_ck_www};\n"
        "L N_ck = {\"ck\", A_SUBDOMAINS_OF_ck, 2, 2};\n"
        "L N_com = {s_com, 0, 0, 0};\n"
        "L N_exampleHx_xnHHbcherHkva = {\"xn--bcher-kva\", 0, 0, 0};\n"
        "A A_SUBDOMAINS_OF_exampleHx[] = {&N_exampleHx_xnHHbcherHkva};\n"
        "L N_exampleHx = {\"example-x\", A_SUBDOMAINS_OF_exampleHx, 1, 2};\n"
        "L N_uk_co = {\"co\", 0, 0, 0};\n"
        "L N_uk_com = {s_com, 0, 0, 0};\n"
        "A A_SUBDOMAINS_OF_uk[] = {&N_uk_co, &N_uk_com};\n"
        "L N_uk = {\"uk\", A_SUBDOMAINS_OF_uk, 2, 0};\n"
        "A A_SUBDOMAINS_OF_ROOT[] = {&N_ck, &N_com, &N_exampleHx, &N_uk};\n"
        "L g_PSLTree = {\"\", A_SUBDOMAINS_OF_ROOT, 4, 2};\n"
        "#undef L\n#undef A\n#pragma pack(pop)\n\n// Total nodes: 10\n// END LIST\n\n";
    ASSERT_GE(text.size(), nodes.size());
    EXPECT_EQ(text.substr(text.size() - nodes.size()), nodes) << text;
    EXPECT_NE(text.find("struct PSLNode {"), std::string::npos);
    EXPECT_NE(text.find("short m_children_count;"), std::string::npos);
    EXPECT_NE(text.find("#pragma pack(push, 1)"), std::string::npos);
}

TEST_F(OrvPslCode, ScriptFormsAndFailures) {
    ASSERT_TRUE(OrvWriteFileBytes(m_dir.File("list.dat"), "uk\nco.uk\n"));
    COrvStringA code;
    COrvError err;
    ASSERT_TRUE(
        OrvPslGenerateCode(m_dir.File("list.dat").c_str(), enPslCodeScript, m_t, code, err));
    const std::string script = Str(code);
    EXPECT_NE(script.find("// BEGIN LIST\n\nvar PSLTree = {m_label: \"\", m_exclusion: 2, "
                          "m_children: [\n  {m_label: \"uk\", m_exclusion: 0, m_children: [\n"
                          "    {m_label: \"co\", m_exclusion: 0, m_children: []}]}]};\n"
                          "// Total nodes: 3\n// END LIST\n\n"),
              std::string::npos)
        << script;
    ASSERT_TRUE(
        OrvPslGenerateCode(m_dir.File("list.dat").c_str(), enPslCodeModule, m_t, code, err));
    EXPECT_NE(Str(code).find("\n\nexport const PSLTree = {m_label: \"\""), std::string::npos);

    EXPECT_FALSE(OrvPslGenerateCode(m_dir.File("missing.dat").c_str(), enPslCodeC, m_t, code, err));
    EXPECT_EQ(err.Code(), enNetNotFound);
    EXPECT_NE(Str(err.Text()).find("missing.dat"), std::string::npos);
    EXPECT_TRUE(code.IsEmpty());

    ASSERT_TRUE(OrvWriteFileBytes(m_dir.File("bad.dat"), "uk\n\xC3\x28.uk\n"));
    COrvError err2;
    EXPECT_FALSE(OrvPslGenerateCode(m_dir.File("bad.dat").c_str(), enPslCodeC, m_t, code, err2));
    EXPECT_NE(Str(err2.Text()).find("line 2"), std::string::npos) << err2.Text().GetString();
}

// The C form of the system's list compiles, and its tree holds as many nodes as it says.
TEST_F(OrvPslCode, TheSystemListCompilesAsC) {
    ASSERT_TRUE(OrvHaveProgram("cc")) << "no C compiler: install package gcc";
    COrvStringA code;
    COrvError err;
    ASSERT_TRUE(OrvPslGenerateCode("/usr/share/publicsuffix/public_suffix_list.dat", enPslCodeC,
                                   m_t, code, err))
        << err.Text().GetString() << " (package publicsuffix)";
    const std::string text = Str(code);
    const size_t at = text.rfind("// Total nodes: ");
    ASSERT_NE(at, std::string::npos);
    const int nTotal = atoi(text.c_str() + at + 16);
    ASSERT_GT(nTotal, 9000);
    const std::string main =
        "#include <stdio.h>\n#include \"tree.h\"\n"
        "static int Count(const struct PSLNode* n) {\n"
        "    int c = 1;\n"
        "    for (int i = 0; i < n->m_children_count; ++i) c += Count(n->m_children[i]);\n"
        "    return c;\n"
        "}\n"
        "int main(void) { printf(\"%d %d\\n\", Count(&g_PSLTree), (int)sizeof(struct PSLNode)); "
        "return 0; }\n";
    ASSERT_TRUE(OrvWriteFileBytes(m_dir.File("tree.h"), text));
    ASSERT_TRUE(OrvWriteFileBytes(m_dir.File("main.c"), main));
    const std::string exe = m_dir.File("tree");
    ASSERT_EQ(system(("cc -O0 -o " + exe + " " + m_dir.File("main.c")).c_str()), 0);
    std::vector<std::string> out;
    ASSERT_TRUE(OrvRunOverLines(exe, {}, out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], std::to_string(nTotal) + " " + std::to_string(2 * sizeof(void*) + 4));
}

}  // namespace
