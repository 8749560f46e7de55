// COrvError: the first failure wins, context goes in front, errno values map through the one
// mapping.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "orv-error.h"

namespace {

TEST(OrvError, FirstFailureWinsAndContextGoesInFront) {
    COrvError err;
    EXPECT_FALSE(err.Failed());
    EXPECT_EQ(err.Code(), enNetOk);
    // Context on a clean record changes nothing: there is no failure to explain.
    err.AddContext("Receiving body: ");
    EXPECT_TRUE(err.Text().IsEmpty());

    EXPECT_FALSE(err.Set(enNetConnection, "Connection reset"));
    EXPECT_FALSE(err.SetFormat(enNetTimeout, "later %d", 1));
    EXPECT_FALSE(err.SetErrno(ENOSPC, "Writing: "));
    EXPECT_EQ(err.Code(), enNetConnection);
    err.AddContext("Receiving body: ");
    EXPECT_STREQ(err.Text(), "Receiving body: Connection reset");

    int nCode = -1;
    COrvStringA sText("old");
    err.CopyTo(&nCode, &sText);
    EXPECT_EQ(nCode, enNetConnection);
    EXPECT_STREQ(sText, "Receiving body: Connection reset");
    err.Clear();
    err.SetFormat(enNetBadRequest, "line %d: %s", 7, "bad");
    EXPECT_STREQ(err.Text(), "line 7: bad");
}

TEST(OrvError, ErrnoAndOkCodesNeverReadAsSuccess) {
    COrvError err;
    err.SetErrno(ENOENT, "Cannot open file /x: ");
    EXPECT_EQ(err.Code(), enNetNotFound);
    const std::string sText(err.Text().GetString());
    EXPECT_EQ(sText.rfind("Cannot open file /x: ", 0), 0u) << sText;
    EXPECT_EQ(sText.substr(sText.size() - 10), " (error 2)") << sText;

    // A failure recorded with the success code must still read as a failure.
    COrvError ok;
    ok.Set(enNetOk, nullptr);
    EXPECT_TRUE(ok.Failed());
    EXPECT_EQ(ok.Code(), enNetBadRequest);
    EXPECT_TRUE(ok.Text().IsEmpty());
}

}  // namespace
