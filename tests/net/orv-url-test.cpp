// COrvUrl cracking and rebuilding, escaping, unescaping and "data:" URLs.
#include "orv-url.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Str(const COrvStringA& s) {
    return std::string(s.GetString(), static_cast<size_t>(s.GetLength()));
}

std::u16string Str(const COrvStringW& s) {
    return std::u16string(s.GetString(), static_cast<size_t>(s.GetLength()));
}

struct CrackCase {
    const char* pszUrl;
    const char* pszScheme;
    int nScheme;
    const char* pszUser;
    const char* pszPassword;
    const char* pszHost;
    int nPort;
    const char* pszPath;
    const char* pszExtra;
    const char* pszRebuilt;  // GetUrl after the crack
};

// Real URLs and what the record holds for each.
const CrackCase kCrackCases[] = {
    // A host and nothing after it: default port, empty path.
    {"http://example.com", "http", enUrlSchemeHttp, "", "", "example.com", 80, "", "",
     "http://example.com"},
    // Every part; query and fragment stay together in the extra info.
    {"https://user:pa:ss@host.example:8443/a/b.html?x=1&y=2#frag", "https", enUrlSchemeHttps,
     "user", "pa:ss", "host.example", 8443, "/a/b.html", "?x=1&y=2#frag",
     "https://user:pa:ss@host.example:8443/a/b.html?x=1&y=2#frag"},
    // IPv6 literals keep their brackets; the ":" inside them is not the port separator.
    {"http://[2001:db8::1]:8080/p", "http", enUrlSchemeHttp, "", "", "[2001:db8::1]", 8080, "/p",
     "", "http://[2001:db8::1]:8080/p"},
    {"http://[::1]/", "http", enUrlSchemeHttp, "", "", "[::1]", 80, "/", "", "http://[::1]/"},
    // An empty port is no port; an explicit default port is dropped by the rebuild.
    {"http://host:/p", "http", enUrlSchemeHttp, "", "", "host", 80, "/p", "", "http://host/p"},
    {"http://host:80/p", "http", enUrlSchemeHttp, "", "", "host", 80, "/p", "", "http://host/p"},
    // Query without path, fragment without query, both without a path.
    {"http://host?q=1", "http", enUrlSchemeHttp, "", "", "host", 80, "", "?q=1", "http://host?q=1"},
    {"http://host/p#frag", "http", enUrlSchemeHttp, "", "", "host", 80, "/p", "#frag",
     "http://host/p#frag"},
    {"http://host#frag", "http", enUrlSchemeHttp, "", "", "host", 80, "", "#frag",
     "http://host#frag"},
    // "@" and ":" after the authority belong to the path and query.
    {"http://host/a@b:c?d@e", "http", enUrlSchemeHttp, "", "", "host", 80, "/a@b:c", "?d@e",
     "http://host/a@b:c?d@e"},
    {"http://u@h", "http", enUrlSchemeHttp, "u", "", "h", 80, "", "", "http://u@h"},
    // Scheme names compare ignoring case and are kept as written.
    {"FTP://ftp.example.org/pub/", "FTP", enUrlSchemeFtp, "", "", "ftp.example.org", 21, "/pub/",
     "", "FTP://ftp.example.org/pub/"},
    {"gopher://g.example", "gopher", enUrlSchemeGopher, "", "", "g.example", 70, "", "",
     "gopher://g.example"},
    {"socks://proxy:1081", "socks", enUrlSchemeSocks, "", "", "proxy", 1081, "", "",
     "socks://proxy:1081"},
    // Schemes without "//".
    {"mailto:joe@example.com", "mailto", enUrlSchemeMailto, "joe", "", "example.com", 0, "", "",
     "mailto:joe@example.com"},
    {"news:comp.lang.c", "news", enUrlSchemeNews, "", "", "comp.lang.c", 0, "", "",
     "news:comp.lang.c"},
    // Everything after "file://" is path, "?" and "#" included.
    {"file:///etc/hosts?x#y", "file", enUrlSchemeFile, "", "", "", 0, "/etc/hosts?x#y", "",
     "file:///etc/hosts?x#y"},
    // Unknown schemes: id -1, port 0 unless given; "//" kept as it was.
    {"x-custom://h:99/p", "x-custom", enUrlSchemeUnknown, "", "", "h", 99, "/p", "",
     "x-custom://h:99/p"},
    {"x-opaque:thing", "x-opaque", enUrlSchemeUnknown, "", "", "thing", 0, "", "",
     "x-opaque:thing"},
    // No authority and a path that starts with "//": the rebuild must write "//" to keep it.
    {"x-opaque:://", "x-opaque", enUrlSchemeUnknown, "", "", "", 0, "//", "", "x-opaque:////"},
};

TEST(OrvUrl, CracksRealUrls) {
    for (const CrackCase& c : kCrackCases) {
        SCOPED_TRACE(c.pszUrl);
        COrvUrl url;
        COrvError err;
        ASSERT_TRUE(url.Crack(c.pszUrl, -1, err)) << err.Text().GetString();
        EXPECT_STREQ(url.GetSchemeName(), c.pszScheme);
        EXPECT_EQ(url.GetScheme(), c.nScheme);
        EXPECT_STREQ(url.GetUserName(), c.pszUser);
        EXPECT_STREQ(url.GetPassword(), c.pszPassword);
        EXPECT_STREQ(url.GetHostName(), c.pszHost);
        EXPECT_EQ(url.GetHostNameLength(), static_cast<int>(strlen(c.pszHost)));
        EXPECT_EQ(url.GetPort(), c.nPort);
        EXPECT_STREQ(url.GetUrlPath(), c.pszPath);
        EXPECT_EQ(url.GetUrlPathLength(), static_cast<int>(strlen(c.pszPath)));
        EXPECT_STREQ(url.GetExtraInfo(), c.pszExtra);
        EXPECT_EQ(Str(url.GetUrl()), c.pszRebuilt);
    }
}

TEST(OrvUrl, SchemeNamesUpTo32CharactersAreAccepted) {
    const std::string s32(32, 's');
    COrvUrl url;
    ASSERT_TRUE(url.Crack((s32 + "://host/").c_str()));
    EXPECT_EQ(url.GetScheme(), enUrlSchemeUnknown);
    EXPECT_EQ(url.GetSchemeNameLength(), 32);
    EXPECT_EQ(url.GetPort(), 0);
    EXPECT_FALSE(url.Crack((s32 + "s://host/").c_str()));
}

TEST(OrvUrl, FieldCapacitiesAreExact) {
    COrvUrl url;
    const std::string host256(256, 'h');
    ASSERT_TRUE(url.Crack(("http://" + host256 + "/").c_str()));
    EXPECT_EQ(url.GetHostNameLength(), 256);
    EXPECT_FALSE(url.Crack(("http://" + host256 + "h/").c_str()));

    const std::string user128(128, 'u');
    EXPECT_TRUE(url.Crack(("http://" + user128 + ":" + user128 + "@h/").c_str()));
    EXPECT_EQ(url.GetUserNameLength(), 128);
    EXPECT_EQ(url.GetPasswordLength(), 128);
    EXPECT_FALSE(url.Crack(("http://" + user128 + "u@h/").c_str()));
    EXPECT_FALSE(url.Crack(("http://u:" + user128 + "p@h/").c_str()));

    const std::string path2048 = "/" + std::string(2047, 'p');
    EXPECT_TRUE(url.Crack(("http://h" + path2048).c_str()));
    EXPECT_EQ(url.GetUrlPathLength(), 2048);
    EXPECT_FALSE(url.Crack(("http://h" + path2048 + "p").c_str()));
    EXPECT_FALSE(url.Crack(("file://" + path2048 + "p").c_str()));

    // The whole URL: 2089 bytes pass, 2090 fail (the path stays within its capacity).
    const std::string head = "http://h/" + std::string(2000, 'p') + "?";
    const std::string url2089 = head + std::string(2089 - head.size(), 'q');
    ASSERT_EQ(url2089.size(), 2089u);
    EXPECT_TRUE(url.Crack(url2089.c_str()));
    EXPECT_EQ(url.GetExtraInfoLength(), static_cast<int>(2089 - 9 - 2000));
    EXPECT_FALSE(url.Crack((url2089 + "q").c_str()));
    EXPECT_FALSE(url.Crack((url2089 + "q").c_str(), static_cast<int>(url2089.size() + 1)));
    // An explicit length is honoured: the text after it is not looked at.
    EXPECT_TRUE(url.Crack((url2089 + "q").c_str(), static_cast<int>(url2089.size())));
}

TEST(OrvUrl, FailuresLeaveAnEmptyRecord) {
    const char* const kBad[] = {
        "no scheme separator",
        "http://host:8x/",
        "http://host:65536/",
        "http://host:-1/",
        "mailto://joe@example.com",
        "http://a@b@c/",
        "http://[::1/",
        "http://[::1]x/",
        // Port 0 reaches no server, and a rebuilt URL could only drop it (the default port).
        "http://host:0/",
        "http://host:00/",
    };
    for (const char* psz : kBad) {
        SCOPED_TRACE(psz);
        COrvUrl url;
        ASSERT_TRUE(url.Crack("https://u:p@full.example:444/path?x#y"));
        COrvError err;
        EXPECT_FALSE(url.Crack(psz, -1, err));
        EXPECT_EQ(err.Code(), enNetBadRequest);
        EXPECT_FALSE(err.Text().IsEmpty());
        EXPECT_STREQ(url.GetSchemeName(), "");
        EXPECT_EQ(url.GetScheme(), enUrlSchemeUnknown);
        EXPECT_STREQ(url.GetHostName(), "");
        EXPECT_STREQ(url.GetUserName(), "");
        EXPECT_STREQ(url.GetPassword(), "");
        EXPECT_EQ(url.GetPort(), 0);
        EXPECT_STREQ(url.GetUrlPath(), "");
        EXPECT_STREQ(url.GetExtraInfo(), "");
    }
    COrvUrl url;
    EXPECT_TRUE(url.Crack("http://host:65535/"));
    EXPECT_EQ(url.GetPort(), 65535);
    // A NUL inside the given length is refused rather than cut off silently.
    EXPECT_FALSE(url.Crack("http://a\0b/", 11));
}

TEST(OrvUrl, SetSchemeMovesTheDefaultPortOnly) {
    COrvUrl url;
    ASSERT_TRUE(url.Crack("http://host/p"));
    ASSERT_TRUE(url.SetScheme("HTTPS"));
    EXPECT_EQ(url.GetScheme(), enUrlSchemeHttps);
    EXPECT_EQ(url.GetPort(), 443);
    EXPECT_EQ(Str(url.GetUrl()), "HTTPS://host/p");

    ASSERT_TRUE(url.Crack("http://host:8080/p"));
    ASSERT_TRUE(url.SetScheme("https"));
    EXPECT_EQ(url.GetPort(), 8080);
    EXPECT_EQ(Str(url.GetUrl()), "https://host:8080/p");

    EXPECT_FALSE(url.SetScheme(""));
    EXPECT_FALSE(url.SetScheme("ht:tp"));
    EXPECT_FALSE(url.SetScheme(std::string(33, 's').c_str()));
    EXPECT_STREQ(url.GetSchemeName(), "https");

    // A record built by hand.
    COrvUrl built;
    ASSERT_TRUE(built.SetScheme("ftp"));
    ASSERT_TRUE(built.SetHostName("files.example"));
    ASSERT_TRUE(built.SetUrlPath("/pub"));
    ASSERT_TRUE(built.SetExtraInfo("?a=b"));
    EXPECT_EQ(Str(built.GetUrl()), "ftp://files.example/pub?a=b");
    EXPECT_FALSE(built.SetHostName(std::string(257, 'h').c_str()));
    EXPECT_STREQ(built.GetHostName(), "files.example");
}

TEST(OrvUrlEscape, NarrowEscapeKeepsOnlyLettersAndDigits) {
    EXPECT_EQ(Str(OrvUrlEscapeA(" ")), "%20");
    EXPECT_EQ(Str(OrvUrlEscapeA("-")), "%2D");
    EXPECT_EQ(Str(OrvUrlEscapeA("AZaz09")), "AZaz09");
    EXPECT_EQ(Str(OrvUrlEscapeA("a.b_c~d/e?f")), "a%2Eb%5Fc%7Ed%2Fe%3Ff");
    EXPECT_EQ(Str(OrvUrlEscapeA("\xC3\xA9")), "%C3%A9");
    EXPECT_EQ(Str(OrvUrlEscapeA("a\0b", 3)), "a%00b");
    EXPECT_EQ(Str(OrvUrlEscapeA(nullptr)), "");
}

TEST(OrvUrlEscape, QueryValueEscapeAlsoKeepsUnreservedMarks) {
    EXPECT_EQ(Str(OrvUrlEscapeQueryValueA("a-b._~ c&d=e+f")), "a-b._~%20c%26d%3De%2Bf");
    EXPECT_EQ(Str(OrvUrlEscapeQueryValueW(u"x y-\u00E9")), u"x%20y-%C3%A9");
}

TEST(OrvUrlEscape, WideEscapeWritesUtf8Bytes) {
    // Wide and narrow escapes of the same text agree, whatever the character's plane.
    EXPECT_EQ(Str(OrvUrlEscapeW(u"caf\u00E9 \u20AC")), u"caf%C3%A9%20%E2%82%AC");
    EXPECT_EQ(Str(OrvUrlEscapeW(u"\u0100")), u"%C4%80");
    EXPECT_EQ(Str(OrvUrlEscapeW(u"\U0001F600")), u"%F0%9F%98%80");
    // A lone surrogate is escaped as U+FFFD.
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(Str(OrvUrlEscapeW(lone)), u"a%EF%BF%BDb");
    EXPECT_EQ(Str(OrvUrlEscapeW(u"AZaz09-")), u"AZaz09%2D");
}

TEST(OrvUrlUnescape, DecodesEscapesAndCopiesShortOnes) {
    EXPECT_EQ(Str(OrvUrlUnescapeA("%41%4a%4A+b")), "AJJ+b");
    // "%" without two hexadecimal digits is copied as it stands.
    EXPECT_EQ(Str(OrvUrlUnescapeA("100%")), "100%");
    EXPECT_EQ(Str(OrvUrlUnescapeA("%4")), "%4");
    EXPECT_EQ(Str(OrvUrlUnescapeA("%zz%4g")), "%zz%4g");
    EXPECT_EQ(Str(OrvUrlUnescapeA("%%41")), "%A");
    EXPECT_EQ(Str(OrvUrlUnescapeA("a%00b")), std::string("a\0b", 3));
    // A length that ends inside an escape: the digits past it are not read.
    EXPECT_EQ(Str(OrvUrlUnescapeA("%41", 2)), "%4");

    // Every byte survives escape and unescape.
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    const COrvStringA escaped = OrvUrlEscapeA(all.data(), static_cast<int>(all.size()));
    EXPECT_EQ(escaped.GetLength(), 3 * 256 - 2 * 62);
    EXPECT_EQ(Str(OrvUrlUnescapeA(escaped.GetString(), escaped.GetLength())), all);

    EXPECT_EQ(Str(OrvUrlUnescapeW(u"caf%C3%A9%20%E2%82%AC%")), u"caf\u00E9 \u20AC%");
    // An escaped NUL is a U+0000 inside the wide string; what follows it is kept.
    EXPECT_EQ(Str(OrvUrlUnescapeW(u"a%00b%C3%A9")), std::u16string(u"a\0b\u00E9", 4));
}

TEST(OrvUrlUnescape, NeverWritesPastTheOutput) {
    char buf[8];
    memset(buf, '#', sizeof(buf));
    // 12 bytes of result into 4 bytes of room.
    EXPECT_EQ(OrvUrlUnescapeTo("%41%42%43%44%45%46%47%48%49%4A%4B%4C", -1, buf, 4), 12);
    EXPECT_EQ(std::string(buf, 4), "ABCD");
    EXPECT_EQ(std::string(buf + 4, 4), "####");
    EXPECT_EQ(OrvUrlUnescapeTo("abc%", -1, nullptr, 0), 4);
}

TEST(OrvDataUrl, ParsesPercentAndBase64Forms) {
    COrvStringA type, data;
    COrvArray<COrvDataUrlParam> params;
    COrvError err;
    ASSERT_TRUE(OrvParseDataUrl("data:,Hello%2C%20World%21", -1, type, params, data, err));
    EXPECT_EQ(Str(type), "");
    EXPECT_EQ(params.GetCount(), 0u);
    EXPECT_EQ(Str(data), "Hello, World!");

    ASSERT_TRUE(OrvParseDataUrl("DATA:text/plain;charset=utf-8;foo;base64,SGVs%62G8=", -1, type,
                                params, data, err));
    EXPECT_EQ(Str(type), "text/plain");
    ASSERT_EQ(params.GetCount(), 2u);
    EXPECT_EQ(Str(params[0].strName), "charset");
    EXPECT_EQ(Str(params[0].strValue), "utf-8");
    EXPECT_EQ(Str(params[1].strName), "foo");
    EXPECT_EQ(Str(params[1].strValue), "");
    EXPECT_EQ(Str(data), "Hello");

    // Padding optional, white space skipped, binary bytes kept.
    ASSERT_TRUE(OrvParseDataUrl("data:application/octet-stream;base64,AAEC%0A/w", -1, type, params,
                                data, err));
    EXPECT_EQ(Str(data), std::string("\x00\x01\x02\xFF", 4));
    EXPECT_FALSE(err.Failed());
}

TEST(OrvDataUrl, RejectsBadUrlsWithTheirTexts) {
    struct {
        const char* pszUrl;
        const char* pszText;
    } const kBad[] = {
        {"http://example.com/", "Not a 'data:' URL"},
        {"dat", "Not a 'data:' URL"},
        {"data:text/plain", "Bad 'data:' URL"},
        {"data:text/plain;charset=x", "Bad 'data:' URL"},
        {"data:;base64,SGV@sbG8=", "Bad Base64 data in 'data:' URL"},
        {"data:;base64,QQ=QQ", "Bad Base64 data in 'data:' URL"},
        {"data:;base64,QUJDR", "Bad Base64 data in 'data:' URL"},
    };
    for (const auto& c : kBad) {
        SCOPED_TRACE(c.pszUrl);
        COrvStringA type = "old", data = "old";
        COrvArray<COrvDataUrlParam> params;
        params.Add();
        int nCode = 0;
        COrvStringA text;
        EXPECT_FALSE(OrvParseDataUrl(c.pszUrl, type, params, data, &nCode, &text));
        EXPECT_EQ(nCode, enNetBadRequest);
        EXPECT_EQ(Str(text), c.pszText);
        EXPECT_TRUE(type.IsEmpty());
        EXPECT_TRUE(data.IsEmpty());
        EXPECT_EQ(params.GetCount(), 0u);
    }
}

}  // namespace

// Every example of the generic syntax's reference resolution, normal and abnormal, against its
// base "http://a/b/c/d;p?q".
TEST(OrvUrlResolve, ReferenceExamples) {
    static const char* const kCases[][2] = {
        {"g:h", "g:h"},
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q#s"},
        {"g#s", "http://a/b/c/g#s"},
        {"g?y#s", "http://a/b/c/g?y#s"},
        {";x", "http://a/b/c/;x"},
        {"g;x", "http://a/b/c/g;x"},
        {"g;x?y#s", "http://a/b/c/g;x?y#s"},
        {"", "http://a/b/c/d;p?q"},
        {".", "http://a/b/c/"},
        {"./", "http://a/b/c/"},
        {"..", "http://a/b/"},
        {"../", "http://a/b/"},
        {"../g", "http://a/b/g"},
        {"../..", "http://a/"},
        {"../../", "http://a/"},
        {"../../g", "http://a/g"},
        {"../../../g", "http://a/g"},
        {"../../../../g", "http://a/g"},
        {"/./g", "http://a/g"},
        {"/../g", "http://a/g"},
        {"g.", "http://a/b/c/g."},
        {".g", "http://a/b/c/.g"},
        {"g..", "http://a/b/c/g.."},
        {"..g", "http://a/b/c/..g"},
        {"./../g", "http://a/b/g"},
        {"./g/.", "http://a/b/c/g/"},
        {"g/./h", "http://a/b/c/g/h"},
        {"g/../h", "http://a/b/c/h"},
        {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
        {"g;x=1/../y", "http://a/b/c/y"},
        {"g?y/./x", "http://a/b/c/g?y/./x"},
        {"g?y/../x", "http://a/b/c/g?y/../x"},
        {"g#s/./x", "http://a/b/c/g#s/./x"},
        {"g#s/../x", "http://a/b/c/g#s/../x"},
        {"http:g", "http:g"},
    };
    for (const auto& c : kCases) {
        COrvStringA s;
        COrvError err;
        ASSERT_TRUE(OrvUrlResolveReference("http://a/b/c/d;p?q", c[0], s, err)) << c[0];
        EXPECT_STREQ(c[1], s) << c[0];
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
