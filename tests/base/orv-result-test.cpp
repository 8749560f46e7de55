// The mapping of system error numbers to result codes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "orv-result.h"

namespace {

TEST(OrvResult, ErrnoMapping) {
    const struct {
        int nErr;
        int nCode;
    } kRows[] = {{ENOSPC, 10}, {ENOMEM, 11}, {ECONNRESET, 4}, {EACCES, 7}, {EBUSY, 8},
                 {ENOENT, 17}, {EEXIST, 20}, {ENOTEMPTY, 21}, {0, 6},      {EIO, 6}};
    for (const auto& r : kRows)
        EXPECT_EQ(OrvResultFromErrno(r.nErr), r.nCode) << strerror(r.nErr);
    // Taking a lock: "would block" and EACCES mean someone else holds it; the rest is unchanged.
    for (const auto& [nErr, nCode] : {std::pair(EWOULDBLOCK, 8), {EACCES, 8}, {ENOLCK, 6}})
        EXPECT_EQ(OrvResultFromErrno(nErr, OrvErrnoUse::Lock), nCode) << strerror(nErr);
}

}  // namespace
