#include "orv-zip.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "orv-sys.h"
#include "orv-zip-os.h"
#include "support/orv-test-support.h"

namespace {

// Runs a shell command; its exit status, with its output in *pOut when given.
int Shell(const std::string& cmd, std::string* pOut = nullptr) {
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return -1;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int st = pclose(p);
    if (pOut != nullptr)
        *pOut = out;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string Peer() {
    return std::string("python3 ") + ORV_ZIP_PEER_SCRIPT;
}

// One entry as Python's zipfile sees it.
struct PeerEntry {
    unsigned nFlags = 0, nMethod = 0, nMadeBy = 0, nNeeded = 0;
    uint32_t nExternal = 0;
    std::string sDateTime, sCentralExtra;
    int nLocalExtra = 0;
    uint64_t nSize = 0;
};

// Lists an archive with Python (reading every entry, so CRCs are checked); fails the test when
// Python refuses it.
std::map<std::string, PeerEntry> PeerList(const std::string& zip, const std::string& pw = "") {
    std::string out;
    EXPECT_EQ(0, Shell(Peer() + " list '" + zip + "' " + pw, &out)) << out;
    std::map<std::string, PeerEntry> m;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream ls(line);
        std::string x;
        while (std::getline(ls, x, '\t'))
            f.push_back(x);
        if (f.size() != 10)
            continue;
        PeerEntry e;
        e.nFlags = std::stoul(f[1]);
        e.nMethod = std::stoul(f[2]);
        e.nMadeBy = std::stoul(f[3]);
        e.nNeeded = std::stoul(f[4]);
        e.nExternal = static_cast<uint32_t>(std::stoul(f[5]));
        e.sDateTime = f[6];
        e.nLocalExtra = std::stoi(f[7]);
        e.sCentralExtra = f[8];
        e.nSize = std::stoull(f[9]);
        m[f[0]] = e;
    }
    return m;
}

// unzip -t and 7z t both accept the archive.
void ExpectToolsAccept(const std::string& zip, const std::string& pw = "") {
    std::string out;
    EXPECT_EQ(0,
              Shell("unzip -t -q " + (pw.empty() ? "" : "-P " + pw + " ") + "'" + zip + "'", &out))
        << out;
    EXPECT_EQ(0, Shell("7z t -bd '-p" + pw + "' '" + zip + "'", &out)) << out;
}

std::string DosText(time_t t) {
    struct tm tmLocal;
    localtime_r(&t, &tmLocal);
    char buf[96];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tmLocal.tm_year + 1900,
             tmLocal.tm_mon + 1, tmLocal.tm_mday, tmLocal.tm_hour, tmLocal.tm_min,
             tmLocal.tm_sec / 2 * 2);
    return buf;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

// Text that deflates well but not trivially.
std::string Prose(size_t n, unsigned seed) {
    static const char* const kWords[] = {"zip ", "entry ", "folder ", "data\n", "orv ", "x = 1;\n"};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n)
        s += kWords[rng() % 6];
    s.resize(n);
    return s;
}

class ZipTest : public ::testing::Test {
protected:
    OrvTempDir m_dir;
    std::string Path(const std::string& name) const { return m_dir.File(name); }
};

// ---- writer results and layout ----

TEST_F(ZipTest, ResultCodesOfMisuse) {
    char buf[10];
    EXPECT_EQ(42u, OrvZipResultText(kOrvZipMixed, buf, sizeof buf));
    EXPECT_STREQ("Caller: m", buf);
    EXPECT_EQ(23u, OrvZipResultText(0x12345, nullptr, 0));  // "unknown zip result code"

    EXPECT_EQ(nullptr, OrvZipCreateMemory(nullptr, 0, nullptr));
    EXPECT_EQ(kOrvZipMemSize, OrvZipLastResult());
    EXPECT_EQ(nullptr, OrvZipOpenFile(Path("x.zip").c_str(), nullptr));
    EXPECT_EQ(kOrvZipMixed, OrvZipLastResult());
    EXPECT_EQ(nullptr, OrvZipCreateFile(Path("no/such/x.zip").c_str(), nullptr));
    OrvZipResultText(kOrvZipLastResult, buf, sizeof buf);
    EXPECT_STREQ("Couldn't ", buf);
    EXPECT_EQ(kOrvZipArgs, OrvZipAddData(nullptr, "a", "b", 1));
    EXPECT_EQ(kOrvZipArgs, OrvZipClose(nullptr));

    COrvZip* h = OrvZipCreateFile(Path("f.zip").c_str(), nullptr);
    ASSERT_NE(nullptr, h);
    void* p = nullptr;
    size_t n = 0;
    EXPECT_EQ(kOrvZipNotMemory, OrvZipGetMemory(h, &p, &n));
    EXPECT_EQ(kOrvZipArgs, OrvZipAddData(h, "", "b", 1));
    EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "kept", "k", 1));
    EXPECT_EQ(kOrvZipNoFile, OrvZipAddFile(h, "gone", Path("missing").c_str()));
    // A failure stops later additions, and the archive still closes into a valid one.
    EXPECT_EQ(kOrvZipPreviousError, OrvZipAddData(h, "a", "b", 1));
    EXPECT_EQ(kOrvZipOk, OrvZipClose(h));
    ExpectToolsAccept(Path("f.zip"));
}

TEST_F(ZipTest, MemoryArchiveNeverWritesPastItsSize) {
    std::string block(4096 + 64, '\x5A');
    COrvZip* h = OrvZipCreateMemory(block.data(), 4096, nullptr);
    ASSERT_NE(nullptr, h);
    const std::string data = RandomBytes(3000, 1);
    EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "one.bin", data.data(), data.size()));
    EXPECT_EQ(kOrvZipMemSize, OrvZipAddData(h, "two.bin", data.data(), data.size()));
    EXPECT_EQ(std::string(64, '\x5A'), block.substr(4096));
    void* p = nullptr;
    size_t n = 0;
    ASSERT_EQ(kOrvZipOk, OrvZipGetMemory(h, &p, &n));
    EXPECT_EQ(kOrvZipEnded, OrvZipAddFolder(h, "late"));
    ASSERT_TRUE(OrvWriteFileBytes(Path("m.zip"), std::string(static_cast<char*>(p), n)));
    EXPECT_EQ(kOrvZipOk, OrvZipClose(h));
    auto list = PeerList(Path("m.zip"));
    EXPECT_EQ(1u, list.size());
    EXPECT_EQ(3000u, list["one.bin"].nSize);
}

TEST_F(ZipTest, WriteFailureOfTheTarget) {
    COrvZip* h = OrvZipCreateFile(Path("full.zip").c_str(), nullptr);
    ASSERT_NE(nullptr, h);
    OrvSysScope scope;
    g_orv_sys.write = [](int, const void*, size_t) -> long {
        errno = ENOSPC;
        return -1;
    };
    const std::string data = RandomBytes(3 << 20, 2);
    EXPECT_EQ(kOrvZipWrite, OrvZipAddData(h, "big.bin", data.data(), data.size()));
    EXPECT_NE(nullptr, strstr(OrvZipLastError(h).Text(), "No space left on device"));
    EXPECT_EQ(enNetResources, OrvZipLastError(h).Code());
    EXPECT_EQ(kOrvZipPreviousError, OrvZipAddFolder(h, "d"));
    EXPECT_EQ(kOrvZipWrite, OrvZipClose(h));
}

// Every kind of entry, in file and memory archives, with and without a password: the three peers
// accept it and read back every byte, the attributes, times and extra fields.
TEST_F(ZipTest, PeersReadEveryKindOfEntry) {
    const std::string prose = Prose(200000, 3);
    const std::string random = RandomBytes(70000, 4);
    ASSERT_TRUE(OrvWriteFileBytes(Path("src.txt"), prose));
    ASSERT_TRUE(OrvWriteFileBytes(Path("tool.sh"), "#!/bin/sh\n"));
    ASSERT_TRUE(OrvWriteFileBytes(Path("empty"), ""));
    chmod(Path("tool.sh").c_str(), 0755);
    chmod(Path("src.txt").c_str(), 0444);
    struct stat st;
    ASSERT_EQ(0, stat(Path("src.txt").c_str(), &st));
    const std::string sSrcTime = DosText(st.st_mtime);

    for (const std::string pw : {"", "s3cret"}) {
        for (const bool bMemory : {false, true}) {
            SCOPED_TRACE(std::string(bMemory ? "memory" : "file") + " password '" + pw + "'");
            const std::string zip = Path(bMemory ? "mem.zip" : "file.zip");
            COrvZip* h = bMemory ? OrvZipCreateMemory(nullptr, 1 << 22, pw.c_str())
                                 : OrvZipCreateFile(zip.c_str(), pw.c_str());
            ASSERT_NE(nullptr, h);
            EXPECT_EQ(kOrvZipOk, OrvZipAddFile(h, "docs\\src.txt", Path("src.txt").c_str()));
            EXPECT_EQ(kOrvZipOk, OrvZipAddFile(h, "tool.sh", Path("tool.sh").c_str()));
            EXPECT_EQ(kOrvZipOk, OrvZipAddFile(h, "empty", Path("empty").c_str()));
            EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "a.zip", random.data(), random.size()));
            EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "B.TGZ", "tgz", 3));
            EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "log.txt", prose.data(), 1000));
            EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "zero.txt", nullptr, 0));
            EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "Grüße/日本.txt", "utf8", 4));
            EXPECT_EQ(kOrvZipOk, OrvZipAddFolder(h, "docs"));
            EXPECT_EQ(kOrvZipOk, OrvZipAddFolder(h, "empty-folder/"));
            if (bMemory) {
                void* p = nullptr;
                size_t n = 0;
                ASSERT_EQ(kOrvZipOk, OrvZipGetMemory(h, &p, &n));
                ASSERT_TRUE(OrvWriteFileBytes(zip, std::string(static_cast<char*>(p), n)));
            }
            ASSERT_EQ(kOrvZipOk, OrvZipClose(h));
            ExpectToolsAccept(zip, pw);
            auto list = PeerList(zip, pw);
            ASSERT_EQ(10u, list.size());
            const unsigned nCrypt = pw.empty() ? 0 : 1;
            for (auto& [name, e] : list) {
                SCOPED_TRACE(name);
                EXPECT_EQ(0x0B17u, e.nMadeBy);
                EXPECT_EQ(20u, e.nNeeded);
                EXPECT_EQ(17, e.nLocalExtra);
                EXPECT_EQ(18u, e.sCentralExtra.size());  // 9 bytes
                EXPECT_EQ("55540500", e.sCentralExtra.substr(0, 8) + "") << e.sCentralExtra;
                const bool bFolder = name.back() == '/';
                const bool bAscii = name.find_first_of("\xC3\xE6") == std::string::npos;
                EXPECT_EQ(0x0008u | (bFolder ? 0 : nCrypt) | (bAscii ? 0 : 0x0800), e.nFlags);
                const bool bStored = bFolder || name == "a.zip" || name == "B.TGZ";
                EXPECT_EQ(bStored ? 0u : 8u, e.nMethod);
            }
            EXPECT_EQ(0x41000010u | 0500u << 16 | 0200u << 16, list["docs/"].nExternal);
            EXPECT_EQ((0x8000u | 0400u) << 16 | 0x21u, list["docs/src.txt"].nExternal);
            EXPECT_EQ((0x8000u | 0700u) << 16 | 0x20u, list["tool.sh"].nExternal);
            EXPECT_EQ(sSrcTime, list["docs/src.txt"].sDateTime);
            EXPECT_EQ(200000u, list["docs/src.txt"].nSize);

            // The bytes themselves, through Python and Info-ZIP's extraction.
            const std::string out = Path("out");
            ASSERT_EQ(0, Shell("rm -rf '" + out + "' && " + Peer() + " extract '" + zip + "' '" +
                               out + "' " + pw));
            EXPECT_EQ(prose, OrvReadFileBytes(out + "/docs/src.txt"));
            EXPECT_EQ(random, OrvReadFileBytes(out + "/a.zip"));
            EXPECT_EQ("utf8", OrvReadFileBytes(out + "/Grüße/日本.txt"));
            if (!pw.empty()) {
                ASSERT_EQ(0, Shell("rm -rf '" + out + "' && unzip -q -P " + pw + " '" + zip +
                                   "' -d '" + out + "'"));
                EXPECT_EQ(prose.substr(0, 1000), OrvReadFileBytes(out + "/log.txt"));
            }
        }
    }
}

// A 100 MB file is streamed rather than held whole; it still reads back exactly.
TEST_F(ZipTest, LargeFileStreams) {
    std::string big = Prose(100 << 20, 5);
    memcpy(&big[50 << 20], RandomBytes(1 << 20, 6).data(), 1 << 20);
    ASSERT_TRUE(OrvWriteFileBytes(Path("big.txt"), big));
    COrvZip* h = OrvZipCreateFile(Path("big.zip").c_str(), "pw");
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(kOrvZipOk, OrvZipAddFile(h, "big.txt", Path("big.txt").c_str()));
    ASSERT_EQ(kOrvZipOk, OrvZipClose(h));
    ExpectToolsAccept(Path("big.zip"), "pw");
    COrvError err;
    ASSERT_EQ(0, mkdir(Path("out").c_str(), 0755));
    ASSERT_TRUE(OrvUnzipToFolder(Path("big.zip").c_str(), Path("out").c_str(), err, "pw"))
        << err.Text().GetString();
    EXPECT_TRUE(OrvReadFileBytes(Path("out/big.txt")) == big);
}

}  // namespace
