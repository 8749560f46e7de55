// Result-code mappings and the system error text.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "orv-result.h"

namespace {

TEST(OrvResult, WindowsTable) {
    const struct {
        long nWin;
        int nCode;
    } kRows[] = {{112, 10}, {53, 4},    {55, 4},   {64, 4},   {121, 4},  {1231, 4}, {5, 7},
                 {86, 7},   {1272, 7},  {1307, 7}, {1312, 7}, {1314, 7}, {1326, 7}, {2202, 7},
                 {32, 8},   {33, 8},    {2, 17},   {3, 17},   {18, 17},  {21, 18},  {145, 21},
                 {183, 20}, {1223, 13}, {0, 6},    {1, 6},    {111, 6},  {-5, 6},   {1224, 6}};
    for (const auto& r : kRows)
        EXPECT_EQ(OrvResultFromWinError(r.nWin), r.nCode) << r.nWin;
}

TEST(OrvResult, ErrnoMapping) {
    const struct {
        int nErr;
        int nCode;
    } kRows[] = {{ENOSPC, 10},      {EDQUOT, 10},      {EMFILE, 10},
                 {ENFILE, 10},      {ENOMEM, 11},      {ENETUNREACH, 4},
                 {EHOSTUNREACH, 4}, {ECONNREFUSED, 4}, {ECONNRESET, 4},
                 {ETIMEDOUT, 4},    {ENETDOWN, 4},     {ECONNABORTED, 4},
                 {EPIPE, 4},        {EACCES, 7},       {EPERM, 7},
                 {EROFS, 7},        {EBUSY, 8},        {ETXTBSY, 8},
                 {ENOENT, 17},      {ENOTDIR, 17},     {ENOTEMPTY, 21},
                 {EEXIST, 20},      {ECANCELED, 13},   {ENOMEDIUM, 18},
                 {EINVAL, 6},       {EAGAIN, 6},       {0, 6},
                 {EIO, 6}};
    for (const auto& r : kRows)
        EXPECT_EQ(OrvResultFromErrno(r.nErr), r.nCode) << strerror(r.nErr);
    // Taking a lock: "would block" and EACCES mean someone else holds it; the rest is unchanged.
    EXPECT_EQ(OrvResultFromErrno(EWOULDBLOCK, OrvErrnoUse::Lock), 8);
    EXPECT_EQ(OrvResultFromErrno(EACCES, OrvErrnoUse::Lock), 8);
    EXPECT_EQ(OrvResultFromErrno(ENOLCK, OrvErrnoUse::Lock), 6);
    EXPECT_EQ(OrvResultFromErrno(EBADF, OrvErrnoUse::Lock), 6);
    EXPECT_EQ(OrvResultFromErrno(EINTR, OrvErrnoUse::Lock), 6);
}

TEST(OrvResult, ErrnoText) {
    EXPECT_STREQ(OrvErrnoText(ENOENT), "No such file or directory (error 2)");
    EXPECT_STREQ(OrvErrnoText(987654), "Unknown Error (error 987654)");
    EXPECT_STREQ(OrvErrnoText(-2), "Unknown Error (error 0xFFFFFFFE)");
}

}  // namespace
