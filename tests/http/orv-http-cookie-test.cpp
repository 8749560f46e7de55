// Set-Cookie parsing, the jar and its host matching, and the Content-Range parser.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "orv-http-cookie.h"
#include "orv-http-range.h"
#include "orv-test-support.h"

namespace {

TEST(HttpCookie, SetCookieVariantsAndDomains) {
    const struct {
        const char *pszLine, *pszHost;
        const char* pszFields;  // name=value|path|domain|secure, or the error text
    } kCases[] = {
        {" sid = a=b=c ; Path=/app; HttpOnly", "www.example.com", "sid=a=b=c|/app||0"},
        {"d=1; Domain=..Example.COM.; secure", "www.example.com", "d=1|/|example.com|1"},
        {"novalue", "h", "bad cookie: novalue"},
        // "ample.com" is not a parent of "example.com"
        {"a=1; domain=ample.com", "example.com", "cookie domain does not match host: ample.com"}};
    for (const auto& c : kCases) {
        COrvHttpCookie cookie;
        COrvError err;
        const bool bOk = OrvHttpParseSetCookie(c.pszLine, c.pszHost, cookie, err);
        EXPECT_EQ(bOk ? OrvStr(cookie.m_sName + "=" + cookie.m_sValue + "|" + cookie.m_sPath + "|" +
                               cookie.m_sDomain + "|" + (cookie.m_bSecure ? "1" : "0"))
                      : OrvStr(err.Text()),
                  c.pszFields)
            << c.pszLine;
    }
    const struct {
        const char *pszHost, *pszDomain;
        bool bMatch;
    } kMatch[] = {{"example.com", "example.com", true},
                  {"badexample.com", "example.com", false},
                  {"example.com", "a.example.com", false},
                  {"10.0.0.1", "0.0.1", false}};
    for (const auto& m : kMatch)
        EXPECT_EQ(m.bMatch, OrvHttpDomainMatch(m.pszHost, m.pszDomain)) << m.pszHost;
}

TEST(HttpCookie, JarSendsCookiesOnlyToTheirHosts) {
    COrvHttpCookieJar jar;
    COrvHttpTxn txn;
    for (const char* psz : {"host=1", "dom=2; domain=example.com", "sec=3; secure", "bad",
                            "foreign=4; domain=other.test"})
        txn.m_setCookieLines.Add(psz);
    EXPECT_EQ(3, jar.AcceptResponse(txn, "www.example.com"));
    EXPECT_EQ(3u, txn.m_responseCookies.GetCount());
    // Another host's cookie of the same name is a cookie of its own.
    COrvHttpTxn txn2;
    txn2.m_setCookieLines.Add("host=9");
    jar.AcceptResponse(txn2, "api.example.com");
    EXPECT_EQ(4u, jar.GetCount());
    const struct {
        const char* pszHost;
        bool bSecure;
        const char* pszHeader;
    } kCases[] = {{"www.example.com", true, "dom=2; host=1; sec=3"},
                  {"api.example.com", true, "dom=2; host=9"},
                  {"example.com.evil", true, ""}};
    for (const auto& c : kCases)
        EXPECT_STREQ(c.pszHeader, jar.BuildHeader(c.pszHost, c.bSecure)) << c.pszHost;
}

TEST(HttpContentRange, GoodAndBadValues) {
    int64_t nFrom = -1, nTo = -1, nTotal = -1;
    COrvError err;
    ASSERT_TRUE(OrvHttpParseContentRange("bytes 5000000000-5000000000/5000000001", nFrom, nTo,
                                         nTotal, err));
    EXPECT_EQ(std::tuple(5000000000LL, 5000000000LL, 5000000001LL), std::tuple(nFrom, nTo, nTotal));

    const struct {
        const char *psz, *pszKind;
    } kBad[] = {{"bytes=0-1/2", "unexpected units in"},
                {"bytes 5-10/10", "bad (to >= total)"},
                {"bytes 0-1/9999999999999999999", "bad (total)"}};
    for (const auto& b : kBad) {
        COrvError e;
        nFrom = 77;
        EXPECT_FALSE(OrvHttpParseContentRange(b.psz, nFrom, nTo, nTotal, e)) << b.psz;
        // "bad (range)" stands for "bad Content-Range (range) '<value>'".
        std::string want = b.pszKind;
        want.insert(want[0] == 'b' ? 3 : want.size(), " Content-Range");
        EXPECT_EQ(want + " '" + b.psz + "'", OrvStr(e.Text()));
        EXPECT_EQ(enNetBadRequest, e.Code());
        EXPECT_EQ(77, nFrom);
    }
}

}  // namespace
