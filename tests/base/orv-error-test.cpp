// COrvError: the first failure wins, context goes in front, errno values map through the one
// mapping.
#include <gtest/gtest.h>

#include <cerrno>

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

    err.Clear();
    err.SetFormat(enNetBadRequest, "line %d: %s", 7, "bad");
    EXPECT_STREQ(err.Text(), "line 7: bad");
}

TEST(OrvError, ErrnoAndOkCodesNeverReadAsSuccess) {
    COrvError err;
    err.SetErrno(ENOENT, "Cannot open file /x: ");
    EXPECT_EQ(err.Code(), enNetNotFound);
    EXPECT_EQ(err.Text().Find("Cannot open file /x: "), 0) << err.Text().GetString();

    // A failure recorded with the success code must still read as a failure.
    COrvError ok;
    ok.Set(enNetOk, nullptr);
    EXPECT_TRUE(ok.Failed());
    EXPECT_EQ(ok.Code(), enNetBadRequest);
    EXPECT_TRUE(ok.Text().IsEmpty());
}

}  // namespace
