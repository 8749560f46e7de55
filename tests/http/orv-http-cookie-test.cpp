// Set-Cookie parsing, the jar and its host matching, and the Content-Range parser.
#include <gtest/gtest.h>

#include <string>

#include "orv-http-cookie.h"
#include "orv-http-range.h"
#include "orv-trace.h"

namespace {

int g_nAsserts = 0;
COrvStringA g_sAssert;
int CountAssert(const char*, int, long, const char* pszExpr, int) {
    ++g_nAsserts;
    g_sAssert = pszExpr;
    return 1;
}

}  // namespace

TEST(HttpCookie, SetCookieVariants) {
    struct {
        const char* pszLine;
        const char* pszName;
        const char* pszValue;
        const char* pszPath;
        const char* pszDomain;
        bool bSecure;
    } cases[] = {
        {"sid=abc", "sid", "abc", "/", "", false},
        {" sid = a=b=c ; Path=/app; HttpOnly", "sid", "a=b=c", "/app", "", false},
        {"e=; expires=Wed, 21 Oct 2015 07:28:00 GMT; Max-Age=0; Version=1; Comment=x", "e", "", "/",
         "", false},
        {"d=1; Domain=..Example.COM.; secure", "d", "1", "/", "example.com", true},
        {"q=\"quoted\";path=/;;unknown=3", "q", "\"quoted\"", "/", "", false},
    };
    for (const auto& c : cases) {
        COrvHttpCookie cookie;
        COrvError err;
        ASSERT_TRUE(OrvHttpParseSetCookie(c.pszLine, "www.example.com", cookie, err))
            << c.pszLine << ": " << err.Text().GetString();
        EXPECT_STREQ(c.pszName, cookie.m_sName);
        EXPECT_STREQ(c.pszValue, cookie.m_sValue);
        EXPECT_STREQ(c.pszPath, cookie.m_sPath);
        EXPECT_STREQ(c.pszDomain, cookie.m_sDomain);
        EXPECT_EQ(c.bSecure, cookie.m_bSecure);
        EXPECT_STREQ("www.example.com", cookie.m_sOriginHost);
    }
    for (const char* psz : {"", "novalue", "=v", " ; path=/"}) {
        COrvHttpCookie cookie;
        COrvError err;
        EXPECT_FALSE(OrvHttpParseSetCookie(psz, "h", cookie, err)) << psz;
        EXPECT_EQ(std::string("bad cookie: ") + psz, err.Text().GetString());
    }
    COrvHttpCookie cookie;
    COrvError err;
    EXPECT_FALSE(OrvHttpParseSetCookie("a=1; domain=evil.test", "www.example.com", cookie, err));
    EXPECT_STREQ("cookie domain does not match host: evil.test", err.Text());
    COrvError err2;  // "ample.com" is not a parent of "example.com"
    EXPECT_FALSE(OrvHttpParseSetCookie("a=1; domain=ample.com", "example.com", cookie, err2));
}

TEST(HttpCookie, DomainMatching) {
    EXPECT_TRUE(OrvHttpDomainMatch("example.com", "example.com"));
    EXPECT_TRUE(OrvHttpDomainMatch("A.Example.com", "example.COM"));
    EXPECT_FALSE(OrvHttpDomainMatch("badexample.com", "example.com"));
    EXPECT_FALSE(OrvHttpDomainMatch("example.com", "a.example.com"));
    EXPECT_FALSE(OrvHttpDomainMatch("example.com", ""));
    EXPECT_TRUE(OrvHttpDomainMatch("127.0.0.1", "127.0.0.1"));
    EXPECT_FALSE(OrvHttpDomainMatch("10.0.0.1", "0.0.1"));
}

TEST(HttpCookie, JarSendsCookiesOnlyToTheirHosts) {
    COrvHttpCookieJar jar;
    COrvHttpTxn txn;
    txn.m_setCookieLines.Add("host=1");
    txn.m_setCookieLines.Add("dom=2; domain=example.com");
    txn.m_setCookieLines.Add("sec=3; secure");
    txn.m_setCookieLines.Add("bad");
    txn.m_setCookieLines.Add("foreign=4; domain=other.test");
    EXPECT_EQ(3, jar.AcceptResponse(txn, "www.example.com"));
    EXPECT_EQ(3u, txn.m_responseCookies.GetCount());

    EXPECT_STREQ("dom=2; host=1; sec=3", jar.BuildHeader("www.example.com", true));
    EXPECT_STREQ("dom=2; host=1", jar.BuildHeader("WWW.example.com", false));
    EXPECT_STREQ("dom=2", jar.BuildHeader("api.example.com", true));
    EXPECT_STREQ("", jar.BuildHeader("other.test", true));
    EXPECT_STREQ("", jar.BuildHeader("example.com.evil", true));

    // Another host's cookie of the same name is a cookie of its own.
    COrvHttpTxn txn2;
    txn2.m_setCookieLines.Add("host=9");
    jar.AcceptResponse(txn2, "api.example.com");
    EXPECT_STREQ("dom=2; host=1; sec=3", jar.BuildHeader("www.example.com", true));
    EXPECT_STREQ("dom=2; host=9", jar.BuildHeader("api.example.com", true));
    EXPECT_EQ(4u, jar.GetCount());
}

TEST(HttpCookie, RawInsertOfAKnownNameAsserts) {
    COrvHttpCookieJar jar;
    COrvHttpCookie c;
    c.m_sName = "n";
    c.m_sValue = "1";
    ASSERT_TRUE(jar.Insert(c));
    OrvAssertHook pOld = OrvSetAssertHook(CountAssert);
    g_nAsserts = 0;
    c.m_sValue = "2";
    EXPECT_FALSE(jar.Insert(c));
    OrvSetAssertHook(pOld);
    EXPECT_EQ(1, g_nAsserts);
    EXPECT_STREQ("key already in Key Map: COrvHttpCookie: n", g_sAssert);
    EXPECT_STREQ("1", jar.Find("n")->m_sValue);
}

TEST(HttpContentRange, GoodAndBadValues) {
    int64_t nFrom = -1;
    int64_t nTo = -1;
    int64_t nTotal = -1;
    COrvError err;
    ASSERT_TRUE(OrvHttpParseContentRange("bytes 0-499/1234", nFrom, nTo, nTotal, err));
    EXPECT_EQ(0, nFrom);
    EXPECT_EQ(499, nTo);
    EXPECT_EQ(1234, nTotal);
    ASSERT_TRUE(OrvHttpParseContentRange("bytes 5000000000-5000000000/5000000001", nFrom, nTo,
                                         nTotal, err));
    EXPECT_EQ(5000000000LL, nFrom);

    struct {
        const char* psz;
        const char* pszKind;
    } bad[] = {{"items 0-1/2", "unexpected units in Content-Range '%s'"},
               {"bytes=0-1/2", "unexpected units in Content-Range '%s'"},
               {"bytes */2", "bad Content-Range (range) '%s'"},
               {"bytes 0-/2", "bad Content-Range (range) '%s'"},
               {"bytes 1-2", "bad Content-Range (range) '%s'"},
               {"bytes 0-1/*", "bad Content-Range (total) '%s'"},
               {"bytes 0-1/2x", "bad Content-Range (total) '%s'"},
               {"bytes 3-2/10", "bad Content-Range (from > to) '%s'"},
               {"bytes 10-10/10", "bad Content-Range (from >= total) '%s'"},
               {"bytes 5-10/10", "bad Content-Range (to >= total) '%s'"},
               {"bytes 0-1/9999999999999999999", "bad Content-Range (total) '%s'"}};
    for (const auto& b : bad) {
        COrvError e;
        nFrom = 77;
        EXPECT_FALSE(OrvHttpParseContentRange(b.psz, nFrom, nTo, nTotal, e)) << b.psz;
        COrvStringA sWant;
        sWant.Format(b.pszKind, b.psz);
        EXPECT_STREQ(sWant, e.Text());
        EXPECT_EQ(enNetBadRequest, e.Code());
        EXPECT_EQ(77, nFrom);
    }
}
