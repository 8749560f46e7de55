// JSON: the lenient reader, its error texts, the writer's escaping and number forms, the typed
// reader, paths, and a differential against Python's json module on generated documents.
#include "orv-json2.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>

#include "orv-test-support.h"

namespace {

const unsigned kReadable = enJsonWriteKeepUtf8 | enJsonWriteSlashPlain;

// The document read and written back compactly (UTF-8 and slashes kept), or the error text.
std::string Round(const std::string& in, unsigned nOptions = kReadable) {
    COrvJsonRoot root;
    COrvError err;
    if (!OrvJsonParse(in.data(), in.size(), root, err)) {
        EXPECT_EQ(enNetBadRequest, err.Code()) << in;
        EXPECT_TRUE(root.IsUndefined()) << in;
        return std::string("!") + err.Text().GetString();
    }
    COrvStringA out;
    if (!OrvJsonWrite(root.Get(), out, nOptions, err))
        return std::string("!") + err.Text().GetString();
    return std::string(out.GetString(), out.GetLength());
}

TEST(OrvJson, ReadsStandardAndLenientForms) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"{'a': 1, b: [1,2,], }", R"({"a":1,"b":[1,2]})"},
        {"{\"a\":1, // note\n \"b\":2} // end", R"({"a":1,"b":2})"},
        {"[true,false,null,some_Word]", "[true,false,null,some_Word]"},
        {R"("\"\\\/\b\f\n\r\t")", R"("\"\\/\b\f\n\r\t")"},
        {R"("\ud83d\ude00 \u00e9\U00E9")", "\"\xF0\x9F\x98\x80 \xC3\xA9\xC3\xA9\""},
        {"[0,-0,+7,9223372036854775807,-9223372036854775808]",
         "[0,0,7,9223372036854775807,-9223372036854775808]"},
        {"[1.5e3,.5,5.,-0.0,0.1,1E-10,1e300,1e-400,-1e-400,2.5e-324]",
         "[1500.0,0.5,5.0,-0.0,0.1,1e-10,1e+300,0.0,-0.0,5e-324]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.out, Round(c.in)) << c.in;
}

// A reader's error text: a quoted character is a syntax error at that character, anything else
// a read error.
struct ReadError {
    std::string in;
    const char* what;
    int nPos, nLine = 1;
    std::string Text() const {
        return (what[0] == '\'' ? "JSON syntax error: unexpected char " + std::string(what) + " at"
                                : "JSON read error: " + std::string(what) + ", at") +
               " position " + std::to_string(nPos) + ", line " + std::to_string(nLine);
    }
};

TEST(OrvJson, ReadErrorsNameTheirPositionAndLine) {
    const char* kInt = "Integer value out of 64-bit range";
    const char* kEnd = "unexpected end of data";
    const ReadError cases[] = {
        {"/", "'/'(2f)", 0},
        {"{\"a\":1, // note\r\n \"b\":2 // end", kEnd, 30, 2},
        {"\"\\u12\"", "bad escape sequence, hex number expected", 3},
        {"\"\\ud83d\"", "wrong format: expecting second part of UTF16 surrogate pair", 7},
        {"\"a\xC3\"", "invalid UTF-8 sequence", 2},
        {"[9223372036854775808]", kInt, 1},
        {"1e400", "Number out of double range", 0},
        {"\r\r\n\n\x01", "'?'(01)", 4, 4},
        {"{\"a\":[{\"b\":", kEnd, 11},
    };
    for (const auto& c : cases)
        EXPECT_EQ("!" + c.Text(), Round(c.in)) << c.in;
}

TEST(OrvJson, NestingHasALimit) {
    const std::string ok = std::string(kOrvJsonMaxDepth, '[') + std::string(kOrvJsonMaxDepth, ']');
    EXPECT_EQ(ok, Round(ok));
    const std::string deep = "[" + ok + "]";
    EXPECT_EQ("!JSON read error: nesting deeper than 10000 levels, at position 10000, line 1",
              Round(deep));
}

// A value written alone with the given options.
std::string Write(COrvJsonValue* p, unsigned nOptions = 0) {
    COrvJsonRoot root;
    root.Reset(p);
    COrvStringA out;
    COrvError err;
    if (!OrvJsonWrite(root.Get(), out, nOptions, err)) {
        EXPECT_EQ(0, out.GetLength());
        return std::string("!") + err.Text().GetString();
    }
    return std::string(out.GetString(), out.GetLength());
}

COrvJsonValue* Str(const char* psz) {
    return new COrvJsonString(COrvStringA(psz));
}

COrvJsonNumber* Num(double d) {
    return new COrvJsonNumber(d);
}

TEST(OrvJson, WriterEscapesStringsByOption) {
    const struct {
        const char* in;
        unsigned opt;
        const char* out;
    } cases[] = {
        {"\x01<>&", 0, R"("\u0001\u003c\u003e&")"},
        {"\xF0\x9F\x98\x80", 0, R"("\ud83d\ude00")"},
        {"a/b\"\\\b\f\n\r\t\x1f\x7f", 0, "\"a\\/b\\\"\\\\\\b\\f\\n\\r\\t\\u001f\x7f\""},
        {"bad \xC3(", 0, "!JSON string is not valid UTF-8 (byte 4 of \"bad \xC3(\")"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.out, Write(Str(c.in), c.opt)) << c.in;
}

TEST(OrvJson, WriterRefusesNonFiniteNumbers) {
    EXPECT_EQ("!JSON can not represent the number NaN", Write(Num(NAN)));
    EXPECT_EQ("!JSON can not represent the number -infinity", Write(Num(-INFINITY)));
}

TEST(OrvJson, WriterBareNamesAndIndentation) {
    auto* o = new COrvJsonObject();
    ASSERT_TRUE(o->GetPropList().Add("_x9", COrvJsonString::NewNull()) &&
                o->GetPropList().Add("a-b", COrvJsonString::NewNull()));
    EXPECT_EQ("!JSON property name or identifier can not hold char '-' (2d)",
              Write(o, enJsonWriteBareNames));
    const std::string in = R"({"a":[1,{}],"b":{"c":[]},"d":"x"})";
    EXPECT_EQ(
        "{\n  \"a\": [\n    1,\n    {}\n  ],\n  \"b\": {\n    \"c\": []\n  },\n"
        "  \"d\": \"x\"\n}",
        Round(in, enJsonWriteIndent));
    // Indented text reads back as the same tree.
    EXPECT_EQ(in, Round(Round(in, enJsonWriteIndent)));
}

// ---- typed reader ----

// Known fields are read by type, the others skipped whatever they hold.
TEST(OrvJsonReader, ReadsFieldsAndSkipsTheRest) {
    const std::string in =
        "{id: 9007199254740993, extra: {a: [1, {b: 'x'}]}, name: 'Zo\\u00eb',"
        " ok: true, avatar: 'aGVsbG8',}";
    COrvJsonReader r(in.data(), in.size());
    COrvError err;
    bool bHave = true, bOk = r.BeginObject(err), bFlag = false;
    int64_t nId = 0;
    COrvStringA name, s;
    std::string got;
    while (bOk && (bOk = r.NextProperty(bHave, name, err)) && bHave) {
        if (name == "id")
            bOk = r.ReadInt64(nId, err);
        else if (name == "ok")
            bOk = r.ReadBool(bFlag, err);
        else if (name == "name" || name == "avatar")
            bOk = (name == "name" ? r.ReadString(s, err) : r.ReadBinary(s, err)) &&
                  (got += OrvStr(s) + "|", true);
        else
            bOk = r.Skip(err);
    }
    ASSERT_TRUE(bOk && r.Finish(err)) << err.Text().GetString();
    EXPECT_EQ(std::tuple(9007199254740993, true, std::string("Zo\xC3\xAB|hello|")),
              std::tuple(nId, bFlag, got));
}

TEST(OrvJsonReader, Depth) {
    COrvError err;
    bool bHave = true;
    // Depth: the reader's own levels and those of a value skipped inside them count together.
    const std::string deep(kOrvJsonMaxDepth + 1, '[');
    COrvJsonReader r3(deep.data(), deep.size());
    err.Clear();
    int nLevels = 0;
    while (r3.BeginArray(err))
        ++nLevels;
    EXPECT_EQ(kOrvJsonMaxDepth, nLevels);
    EXPECT_NE(nullptr, strstr(err.Text(), "nesting deeper than 10000 levels"));
    const std::string half = "[" + std::string(kOrvJsonMaxDepth, '[');
    COrvJsonReader r4(half.data(), half.size());
    err.Clear();
    ASSERT_TRUE(r4.BeginArray(err) && r4.NextElement(bHave, err));
    EXPECT_FALSE(r4.Skip(err));
    EXPECT_NE(nullptr, strstr(err.Text(), "nesting deeper than 10000 levels"));
}

// ---- paths ----

TEST(OrvJsonPath, SetCreatesTheWayAndQuotedNamesHoldDots) {
    COrvJsonRoot root;
    COrvError err;
    ASSERT_TRUE(OrvJsonParse(COrvStringA(R"({"x.y": 1, "x": {"y": 2}})"), root, err));
    ASSERT_TRUE(root->SetAt("a.b[1].c", Num(1.5), err)) << err.Text().GetString();
    ASSERT_TRUE(root->SetAt("a.n", COrvJsonString::NewBool(true), err));
    ASSERT_TRUE(root->SetAt("a.n.m", Str("y"), err));  // replaces the boolean by an object
    COrvJsonObject* o = nullptr;
    ASSERT_TRUE(root->GetObj("a.n", o, false));
    // Setting a member to itself keeps it (the sanitizers see a use after free otherwise).
    ASSERT_TRUE(o->GetPropList().Set("m", o->GetPropList().Find("m")));
    const COrvJsonValue* v = root->GetAt("[\"x.y\"]");
    ASSERT_TRUE(v != nullptr && v->IsNumber());
    EXPECT_EQ(1, static_cast<const COrvJsonNumber*>(v)->GetInt64());
    COrvStringA out;
    ASSERT_TRUE(OrvJsonWrite(root.Get(), out, 0, err));
    EXPECT_STREQ(R"({"x.y":1,"x":{"y":2},"a":{"b":[null,{"c":1.5}],"n":{"m":"y"}}})", out);
    // An index far past the end would allocate the gap: refused.
    EXPECT_FALSE(root->SetAt("a.b[70000]", Num(0), err));
    EXPECT_STREQ("JSON path: index too far past the end in 'a.b[70000]'", err.Text());
}

// ---- differential ----

TEST(OrvJson, SameValuesAsPythonOnGeneratedDocuments) {
    OrvTempDir dir;
    const std::string script = ORV_JSON_PEER_SCRIPT;
    const std::string docs = dir.File("docs.jsonl"), ours = dir.File("ours.jsonl");
    ASSERT_EQ(0, system(("python3 " + script + " gen 500 34 " + docs).c_str()))
        << "python3 is needed (package python3)";
    const std::string text = OrvReadFileBytes(docs);
    std::string written;
    size_t nDocs = 0;
    for (size_t pos = 0; pos < text.size();) {
        const size_t eol = text.find('\n', pos);
        const std::string doc = text.substr(pos, eol - pos);
        pos = eol + 1;
        COrvJsonRoot root, again;
        COrvError err;
        ASSERT_TRUE(OrvJsonParse(doc.data(), doc.size(), root, err)) << doc << "\n" << err.Text();
        // Every combination of the escaping options over the documents.
        COrvStringA out;
        ASSERT_TRUE(OrvJsonWrite(root.Get(), out, nDocs % 4, err)) << err.Text();
        ASSERT_TRUE(OrvJsonParse(out, again, err)) << out.GetString();
        ASSERT_TRUE(OrvJsonEqual(root.Get(), again.Get())) << doc << "\n" << out.GetString();
        written.append(out.GetString(), out.GetLength());
        written += '\n';
        ++nDocs;
    }
    EXPECT_EQ(500u, nDocs);
    ASSERT_TRUE(OrvWriteFileBytes(ours, written));
    int nStatus = -1;
    const std::string report =
        OrvRunCapture("python3 " + script + " check " + docs + " " + ours + " 2>&1", &nStatus);
    EXPECT_EQ(0, nStatus) << report;
    EXPECT_NE(std::string::npos, report.find("500 documents, 0 differ")) << report;
}

}  // namespace
