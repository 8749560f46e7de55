// Archives past the 32-bit limits of the zip format: entries and offsets beyond 4 GiB, more
// than 65,535 entries. The big files are sparse, so the suite costs time (reading and deflating
// zeros, the peers checking them) but little disk beyond the one stored copy.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "orv-zip.h"
#include "support/orv-test-support.h"
#include "sys/orv-zip-test-util.h"

namespace {

// A sparse 5 GiB file stored (its extension says it is compressed already): its size, the offset
// of the entry after it and the directory's offset all pass 4 GiB, while the small entry before
// it keeps the plain layout. The archive is sparse too (the writer leaves holes for zero blocks),
// so the cost is reading and checking zeros, not disk space.
TEST(Zip64Test, EntriesAndOffsetsBeyond4GiB) {
    OrvTempDir dir;
    const off_t nBig = off_t{5} << 30;
    ASSERT_TRUE(OrvWriteFileBytes(dir.File("zeros.gz"), ""));
    ASSERT_EQ(0, truncate(dir.File("zeros.gz").c_str(), nBig));
    const std::string zip = dir.File("big.zip");
    COrvZip* h = OrvZipCreateFile(zip.c_str(), nullptr);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "first.txt", "first", 5));
    EXPECT_EQ(kOrvZipOk, OrvZipAddFile(h, "zeros.gz", dir.File("zeros.gz").c_str()));
    EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "after.txt", "after", 5));
    ASSERT_EQ(kOrvZipOk, OrvZipClose(h));
    unlink(dir.File("zeros.gz").c_str());

    // unzip and 7-Zip check every byte; Python reads the directory and the small entries (its
    // reading of 5 GiB alone would take minutes).
    ExpectToolsAccept(zip);
    auto list = PeerList(zip, "", 1 << 20);
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ(static_cast<uint64_t>(nBig), list["zeros.gz"].nSize);
    EXPECT_EQ(45u, list["after.txt"].nNeeded);  // its offset needs the Zip64 field
    EXPECT_EQ(20u, list["first.txt"].nNeeded);
}

TEST(Zip64Test, MoreThan65535Entries) {
    OrvTempDir dir;
    const std::string zip = dir.File("many.zip");
    COrvZip* h = OrvZipCreateFile(zip.c_str(), nullptr);
    ASSERT_NE(nullptr, h);
    const int nEntries = 70000;
    for (int i = 0; i < nEntries; ++i) {
        const std::string name = "d" + std::to_string(i / 1000) + "/f" + std::to_string(i);
        ASSERT_EQ(kOrvZipOk, OrvZipAddData(h, name.c_str(), name.data(), name.size()));
    }
    ASSERT_EQ(kOrvZipOk, OrvZipClose(h));
    ExpectToolsAccept(zip);
    auto list = PeerList(zip);
    EXPECT_EQ(static_cast<size_t>(nEntries), list.size());
    EXPECT_EQ(20u, list["d69/f69999"].nNeeded);
    const std::string out = dir.File("out");
    ASSERT_EQ(0, mkdir(out.c_str(), 0755));
    COrvError err;
    ASSERT_TRUE(OrvUnzipToFolder(zip.c_str(), out.c_str(), err)) << err.Text().GetString();
    EXPECT_EQ("d69/f69999", OrvReadFileBytes(out + "/d69/f69999"));
}

}  // namespace
