// COrvUrl cracking and rebuilding, escaping, unescaping, "data:" URLs and reference resolution.
#include "orv-url.h"

#include <gtest/gtest.h>

#include <string>

#include "orv-test-support.h"

namespace {

std::string Str(const COrvStringA& s) {
    return OrvStr(s);
}
std::u16string Str(const COrvStringW& s) {
    return OrvStrW(s);
}

// Every field of the record on one line, the lengths checked against the texts.
std::string Fields(const COrvUrl& u) {
    EXPECT_EQ(u.GetHostNameLength(), static_cast<int>(strlen(u.GetHostName())));
    EXPECT_EQ(u.GetUrlPathLength(), static_cast<int>(strlen(u.GetUrlPath())));
    return std::string(u.GetSchemeName()) + "#" + std::to_string(u.GetScheme()) + " " +
           u.GetUserName() + ":" + u.GetPassword() + "@" + u.GetHostName() + ":" +
           std::to_string(u.GetPort()) + " " + u.GetUrlPath() + "|" + u.GetExtraInfo();
}

TEST(OrvUrl, CracksAndRebuildsRealUrls) {
    const struct {
        std::string sUrl, sFields, sRebuilt;  // "": rebuilt as given
    } kCases[] = {
        // Query and fragment stay together in the extra info; ":" in the password.
        {"https://user:pa:ss@host.example:8443/a/b.html?x=1&y=2#frag",
         "https#3 user:pa:ss@host.example:8443 /a/b.html|?x=1&y=2#frag", ""},
        // IPv6 literals keep their brackets; the ":" inside them is not the port separator.
        {"http://[2001:db8::1]:8080/p", "http#2 :@[2001:db8::1]:8080 /p|", ""},
        // An empty port is no port; an explicit default port is dropped by the rebuild.
        {"http://host:/p", "http#2 :@host:80 /p|", "http://host/p"},
        // "@" and ":" after the authority belong to the path and query.
        {"http://host/a@b:c?d@e", "http#2 :@host:80 /a@b:c|?d@e", ""},
        // Schemes without "//".
        {"mailto:joe@example.com", "mailto#6 joe:@example.com:0 |", ""},
        // Everything after "file://" is path, "?" and "#" included.
        {"file:///etc/hosts?x#y", "file#4 :@:0 /etc/hosts?x#y|", ""},
        // No authority and a path that starts with "//": the rebuild writes "//" to keep it.
        {"x-opaque:://", "x-opaque#-1 :@:0 //|", "x-opaque:////"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.sUrl);
        COrvUrl url;
        COrvError err;
        ASSERT_TRUE(url.Crack(c.sUrl.c_str(), -1, err)) << err.Text().GetString();
        EXPECT_EQ(Fields(url), c.sFields);
        EXPECT_EQ(Str(url.GetUrl()), c.sRebuilt.empty() ? c.sUrl : c.sRebuilt);
    }
}

TEST(OrvUrl, LimitsAndFailuresLeaveAnEmptyRecord) {
    const std::string h256(256, 'h'), u128(128, 'u'), p2048 = "/" + std::string(2047, 'p');
    const std::string head = "http://h/" + std::string(2000, 'p') + "?";
    const std::string u2089 = head + std::string(2089 - head.size(), 'q');
    const struct {
        std::string sUrl;
        bool bOk;
        int nLen = -1;
    } kCases[] = {
        // Field capacities exactly: host 256, path 2048, whole URL 2089.
        {"http://" + h256 + "/", true},
        {"http://" + h256 + "h/", false},
        {"http://h" + p2048 + "p", false},
        {u2089, true},
        {u2089 + "q", false, 2090},
        {u2089 + "q", true, 2089},  // the text after an explicit length is not looked at
        {std::string(33, 's') + "://host/", false},
        {"http://host:65536/", false},
        {"http://a@b@c/", false},
        {"http://[::1/", false},
        {"http://[::1]x/", false},
        // Port 0 reaches no server, and a rebuilt URL could only drop it (the default port).
        {"http://host:0/", false},
        {std::string("http://a\0b/", 11), false, 11}};  // a NUL is refused, not cut off
    const std::string empty = Fields(COrvUrl());
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.sUrl.substr(0, 40) + " " + std::to_string(c.sUrl.size()));
        COrvUrl url;
        ASSERT_TRUE(url.Crack("https://u:p@full.example:444/path?x#y"));
        COrvError err;
        EXPECT_EQ(url.Crack(c.sUrl.c_str(), c.nLen, err), c.bOk);
        if (!c.bOk) {
            EXPECT_EQ(err.Code(), enNetBadRequest);
            EXPECT_FALSE(err.Text().IsEmpty());
            EXPECT_EQ(Fields(url), empty);
        }
    }
    COrvUrl url;
    ASSERT_TRUE(url.Crack(("http://" + u128 + ":" + u128 + "@h/").c_str()));
    EXPECT_EQ(url.GetUserNameLength() + url.GetPasswordLength(), 256);
}

TEST(OrvUrl, SetSchemeMovesTheDefaultPortOnly) {
    COrvUrl url;
    ASSERT_TRUE(url.Crack("http://host/p"));
    ASSERT_TRUE(url.SetScheme("HTTPS"));
    EXPECT_EQ(Fields(url), "HTTPS#3 :@host:443 /p|");
    EXPECT_EQ(Str(url.GetUrl()), "HTTPS://host/p");
    ASSERT_TRUE(url.Crack("http://host:8080/p"));
    ASSERT_TRUE(url.SetScheme("https"));
    EXPECT_EQ(Str(url.GetUrl()), "https://host:8080/p");
    for (const std::string& bad : {std::string(), std::string("ht:tp"), std::string(33, 's')})
        EXPECT_FALSE(url.SetScheme(bad.c_str()));
    EXPECT_STREQ(url.GetSchemeName(), "https");

    EXPECT_FALSE(url.SetHostName(std::string(257, 'h').c_str()));
    EXPECT_STREQ(url.GetHostName(), "host");
}

TEST(OrvUrlEscape, EscapesAndUnescapes) {
    const struct {
        std::string sIn, sEscaped;
    } kNarrow[] = {{"AZaz09 -", "AZaz09%20%2D"}, {std::string("a\0b\xC3\xA9", 5), "a%00b%C3%A9"}};
    for (const auto& c : kNarrow) {
        EXPECT_EQ(Str(OrvUrlEscapeA(c.sIn.data(), static_cast<int>(c.sIn.size()))), c.sEscaped);
        EXPECT_EQ(Str(OrvUrlUnescapeA(c.sEscaped.c_str())), c.sIn);
    }
    EXPECT_EQ(Str(OrvUrlEscapeQueryValueA("a-b._~ c&d=e+f")), "a-b._~%20c%26d%3De%2Bf");
    // Wide escapes write UTF-8 bytes; a lone surrogate becomes U+FFFD.
    const char16_t lone[] = {u'\u00E9', 0xD800, u'b', 0};
    EXPECT_EQ(Str(OrvUrlEscapeW(lone)), u"%C3%A9%EF%BF%BDb");

    // "%" without two hexadecimal digits is copied as it stands, also when the length ends
    // inside an escape.
    const struct {
        const char* pszIn;
        int nLen;
        const char* pszOut;
    } kUnescape[] = {{"%41%4a%4A+b", -1, "AJJ+b"}, {"%zz%4g", -1, "%zz%4g"}, {"%41", 2, "%4"}};
    for (const auto& c : kUnescape)
        EXPECT_EQ(Str(OrvUrlUnescapeA(c.pszIn, c.nLen)), c.pszOut) << c.pszIn;

    std::string all;  // every byte survives escape and unescape
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    const COrvStringA escaped = OrvUrlEscapeA(all.data(), static_cast<int>(all.size()));
    EXPECT_EQ(escaped.GetLength(), 3 * 256 - 2 * 62);
    EXPECT_EQ(Str(OrvUrlUnescapeA(escaped.GetString(), escaped.GetLength())), all);

    char buf[8];  // 12 bytes of result into 4 bytes of room
    memset(buf, '#', sizeof(buf));
    EXPECT_EQ(OrvUrlUnescapeTo("%41%42%43%44%45%46%47%48%49%4A%4B%4C", -1, buf, 4), 12);
    EXPECT_EQ(std::string(buf, 8), "ABCD####");
}

TEST(OrvDataUrl, ParsesBothFormsAndRefusesBadOnes) {
    COrvStringA type, data;
    COrvArray<COrvDataUrlParam> params;
    COrvError err;
    ASSERT_TRUE(OrvParseDataUrl("DATA:text/plain;charset=utf-8;foo;base64,SGVs%62G8=", -1, type,
                                params, data, err));
    EXPECT_EQ(Str(type) + "|" + Str(data), "text/plain|Hello");
    ASSERT_EQ(params.GetCount(), 2u);
    EXPECT_EQ(Str(params[1].strName + "=" + params[1].strValue), "foo=");
    // Padding optional, white space skipped, binary bytes kept.
    ASSERT_TRUE(OrvParseDataUrl("data:application/octet-stream;base64,AAEC%0A/w", -1, type, params,
                                data, err));
    EXPECT_EQ(Str(data), std::string("\x00\x01\x02\xFF", 4));

    const struct {
        const char *pszUrl, *pszText;
    } kBad[] = {{"data:text/plain", "Bad 'data:' URL"},
                {"data:;base64,QUJDR", "Bad Base64 data in 'data:' URL"}};
    for (const auto& c : kBad) {
        SCOPED_TRACE(c.pszUrl);
        type = data = "old";
        params.Add();
        int nCode = 0;
        COrvStringA text;
        EXPECT_FALSE(OrvParseDataUrl(c.pszUrl, type, params, data, &nCode, &text));
        EXPECT_EQ(nCode, enNetBadRequest);
        EXPECT_EQ(Str(text), c.pszText);
        EXPECT_TRUE(type.IsEmpty() && data.IsEmpty() && params.GetCount() == 0);
    }
}

}  // namespace

// Every example of the generic syntax's reference resolution, normal and abnormal, against its
// base "http://a/b/c/d;p?q".
TEST(OrvUrlResolve, ReferenceExamples) {
    // Cases two spaces apart: the reference, a space, its resolution ("" resolves to the base).
    const std::string kCases =
        "g:h g:h  g http://a/b/c/g  ./g http://a/b/c/g  g/ http://a/b/c/g/  /g http://a/g  "
        "//g http://g  ?y http://a/b/c/d;p?y  g?y http://a/b/c/g?y  "
        "#s http://a/b/c/d;p?q#s  g#s http://a/b/c/g#s  g?y#s http://a/b/c/g?y#s  "
        ";x http://a/b/c/;x  g;x http://a/b/c/g;x  g;x?y#s http://a/b/c/g;x?y#s  "
        ". http://a/b/c/  ./ http://a/b/c/  .. http://a/b/  ../ http://a/b/  "
        "../g http://a/b/g  ../.. http://a/  ../../ http://a/  ../../g http://a/g  "
        "../../../g http://a/g  ../../../../g http://a/g  /./g http://a/g  "
        "/../g http://a/g  g. http://a/b/c/g.  .g http://a/b/c/.g  g.. http://a/b/c/g..  "
        "..g http://a/b/c/..g  ./../g http://a/b/g  ./g/. http://a/b/c/g/  "
        "g/./h http://a/b/c/g/h  g/../h http://a/b/c/h  g;x=1/./y http://a/b/c/g;x=1/y  "
        "g;x=1/../y http://a/b/c/y  g?y/./x http://a/b/c/g?y/./x  "
        "g?y/../x http://a/b/c/g?y/../x  g#s/./x http://a/b/c/g#s/./x  "
        "g#s/../x http://a/b/c/g#s/../x  http:g http:g  "
        "\"\" http://a/b/c/d;p?q";
    for (size_t i = 0, e; i < kCases.size(); i = e + 2) {
        e = std::min(kCases.find("  ", i), kCases.size());
        const std::string c = kCases.substr(i, e - i);
        const std::string ref = c[0] == '"' ? "" : c.substr(0, c.find(' '));
        COrvStringA s;
        COrvError err;
        ASSERT_TRUE(OrvUrlResolveReference("http://a/b/c/d;p?q", ref.c_str(), s, err)) << c;
        EXPECT_EQ(c.substr(c.find(' ') + 1), Str(s));
    }
    // A base with an authority and no path merges under "/"; a base must be absolute.
    COrvStringA s;
    COrvError err;
    ASSERT_TRUE(OrvUrlResolveReference("https://h:8443", "x/../y?z", s, err));
    EXPECT_STREQ("https://h:8443/y?z", s);
    EXPECT_FALSE(OrvUrlResolveReference("/only/a/path", "g", s, err));
    EXPECT_EQ(enNetBadRequest, err.Code());
    EXPECT_TRUE(s.IsEmpty());
}
