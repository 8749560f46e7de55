#include "orv-zip.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

#include "orv-sys.h"
#include "orv-zip-os.h"
#include "support/orv-test-support.h"
#include "sys/orv-zip-test-util.h"

namespace {

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
    EXPECT_EQ(kOrvZipArgs, OrvZipAddData(nullptr, "a", "b", 1));

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

int g_nReads = 0;

// A source that fails to read halfway through a streamed entry: the bytes already written for it
// are cut from the archive, which stays valid with the entries before it.
TEST_F(ZipTest, FailedEntryIsCutFromTheArchive) {
    ASSERT_TRUE(OrvWriteFileBytes(Path("big.bin"), RandomBytes(33 << 20, 13)));
    COrvZip* h = OrvZipCreateFile(Path("cut.zip").c_str(), nullptr);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "before.txt", "before", 6));
    {
        OrvSysScope scope;
        g_nReads = 0;
        g_orv_sys.read = [](int fd, void* p, size_t n) -> long {
            if (++g_nReads > 3) {
                errno = EIO;
                return -1;
            }
            return g_orv_sys_real.read(fd, p, n);
        };
        EXPECT_EQ(kOrvZipRead, OrvZipAddFile(h, "big.bin", Path("big.bin").c_str()));
    }
    EXPECT_EQ(kOrvZipOk, OrvZipClose(h));
    ExpectToolsAccept(Path("cut.zip"));
    EXPECT_EQ(1u, PeerList(Path("cut.zip")).size());
    EXPECT_GT(4096u, OrvReadFileBytes(Path("cut.zip")).size());
}

// Every kind of entry, in file and memory archives, with and without a password: the three peers
// accept it and read back every byte, the attributes, times and extra fields.
TEST_F(ZipTest, PeersReadEveryKindOfEntry) {
    const std::string prose = Prose(200000, 3);
    const std::string random = RandomBytes(70000, 4);
    ASSERT_TRUE(OrvWriteFileBytes(Path("src.txt"), prose));
    ASSERT_TRUE(OrvWriteFileBytes(Path("tool.sh"), "#!/bin/sh\n"));
    chmod(Path("tool.sh").c_str(), 0755);
    ASSERT_EQ(0, Shell("chmod 444 '" + Path("src.txt") + "' && touch -d '2021-06-07 08:09:11' '" +
                       Path("src.txt") + "'"));  // local time; two-second steps
    const std::string zip = Path("mem.zip");
    COrvZip* h = OrvZipCreateMemory(nullptr, 1 << 22, "s3cret");
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(kOrvZipOk, OrvZipAddFile(h, "docs\\src.txt", Path("src.txt").c_str()));
    EXPECT_EQ(kOrvZipOk, OrvZipAddFile(h, "tool.sh", Path("tool.sh").c_str()));
    EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "a.zip", random.data(), random.size()));
    EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "zero.txt", nullptr, 0));
    EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "Grüße/日本.txt", "utf8", 4));
    EXPECT_EQ(kOrvZipOk, OrvZipAddFolder(h, "docs"));
    void* p = nullptr;
    size_t n = 0;
    ASSERT_EQ(kOrvZipOk, OrvZipGetMemory(h, &p, &n));
    ASSERT_TRUE(OrvWriteFileBytes(zip, std::string(static_cast<char*>(p), n)));
    ASSERT_EQ(kOrvZipOk, OrvZipClose(h));
    ExpectToolsAccept(zip, "s3cret");
    auto list = PeerList(zip, "s3cret");  // reads every entry: sizes and CRCs checked
    ASSERT_EQ(6u, list.size());
    for (auto& [name, e] : list) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(e.nMadeBy == 0x0B17u && e.nNeeded == 20u && e.nLocalExtra == 17);
        EXPECT_EQ("55540500", e.sCentralExtra.substr(0, 8)) << e.sCentralExtra;  // 9 bytes
        EXPECT_EQ(18u, e.sCentralExtra.size());
        const bool bFolder = name.back() == '/';
        const bool bAscii = name.find_first_of("\xC3\xE6") == std::string::npos;
        EXPECT_EQ(0x0008u | (bFolder ? 0 : 1) | (bAscii ? 0 : 0x0800), e.nFlags);
        EXPECT_EQ(bFolder || name == "a.zip" ? 0u : 8u, e.nMethod);
    }
    EXPECT_EQ(0x41000010u | 0500u << 16 | 0200u << 16, list["docs/"].nExternal);
    EXPECT_EQ((0x8000u | 0400u) << 16 | 0x21u, list["docs/src.txt"].nExternal);
    EXPECT_EQ((0x8000u | 0700u) << 16 | 0x20u, list["tool.sh"].nExternal);
    EXPECT_EQ("2021-06-07 08:09:10", list["docs/src.txt"].sDateTime);
}

// The Zip64 layout (fields in the local header, 64-bit descriptors, the Zip64 end record) seen on
// a small archive by lowering the limit: streamed and whole entries, offsets past the limit.
TEST_F(ZipTest, Zip64LayoutPassesThePeers) {
    struct Limit {
        Limit() { g_nOrvZip64Limit = 1 << 20; }
        ~Limit() { g_nOrvZip64Limit = 0xFFFFFFFFu; }
    } limit;
    const std::string big = Prose(33 << 20, 11);  // streamed: past the whole-file limit
    ASSERT_TRUE(OrvWriteFileBytes(Path("big.txt"), big));
    const std::string mid = RandomBytes(2 << 20, 12);
    COrvZip* h = OrvZipCreateFile(Path("z64.zip").c_str(), "pw");
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "small.txt", "small", 5));
    EXPECT_EQ(kOrvZipOk, OrvZipAddFile(h, "big.txt", Path("big.txt").c_str()));
    EXPECT_EQ(kOrvZipOk, OrvZipAddData(h, "mid.bin", mid.data(), mid.size()));
    EXPECT_EQ(kOrvZipOk, OrvZipAddFolder(h, "late"));
    ASSERT_EQ(kOrvZipOk, OrvZipClose(h));
    ExpectToolsAccept(Path("z64.zip"), "pw");
    auto list = PeerList(Path("z64.zip"), "pw", 4 << 20);  // the big one is read below
    EXPECT_EQ(4u, list.size());
    EXPECT_EQ(20u, list["small.txt"].nNeeded);
    EXPECT_EQ(45u, list["big.txt"].nNeeded);
    EXPECT_EQ(37, list["big.txt"].nLocalExtra);
    EXPECT_EQ(45u, list["late/"].nNeeded);
    ASSERT_EQ(0, mkdir(Path("out").c_str(), 0755));
    COrvError err;
    ASSERT_TRUE(OrvUnzipToFolder(Path("z64.zip").c_str(), Path("out").c_str(), err, "pw"))
        << err.Text().GetString();
    EXPECT_TRUE(OrvReadFileBytes(Path("out/big.txt")) == big);
    EXPECT_TRUE(OrvReadFileBytes(Path("out/mid.bin")) == mid);
}

// ---- extraction ----

class UnzipTest : public ZipTest {
protected:
    void SetUp() override {
        ASSERT_EQ(0, mkdir(Path("target").c_str(), 0755));
        ASSERT_EQ(0, mkdir(Path("outside").c_str(), 0755));
    }
    std::string Target(const std::string& name = "") const {
        return Path("target") + (name.empty() ? "" : "/" + name);
    }
    bool Unzip(const std::string& zip, COrvError& err, const char* pw = nullptr) {
        return OrvUnzipToFolder(zip.c_str(), Target().c_str(), err, pw);
    }
    std::string Make(const std::string& kind, const std::string& arg = "") {
        const std::string zip = Path(kind + ".zip");
        EXPECT_EQ(0, Shell(Peer() + " make " + kind + " '" + zip + "' '" + arg + "'"));
        return zip;
    }
    static mode_t Mode(const std::string& path) {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
    }
};

// Modes from the archive lose setuid, setgid and world-write, and gain no execute bit.
TEST_F(UnzipTest, ModesAreSanitised) {
    const mode_t nOld = umask(0);
    COrvError err;
    const bool bOk = Unzip(Make("modes"), err);
    umask(nOld);
    ASSERT_TRUE(bOk) << err.Text().GetString();
    EXPECT_EQ(S_IFREG | 0755u, Mode(Target("suid")));
    EXPECT_EQ(S_IFREG | 0775u, Mode(Target("open")));
    EXPECT_EQ(S_IFREG | 0644u, Mode(Target("plain")));
    EXPECT_EQ(S_IFREG | 0755u, Mode(Target("tool")));
    EXPECT_TRUE(S_ISLNK(Mode(Target("sub/link"))));
    EXPECT_EQ("p", OrvReadFileBytes(Target("sub/link")));
}

// Hostile and damaged archives: each is refused with a text naming the entry or the archive, and
// nothing lands outside the target folder.
TEST_F(UnzipTest, AttackCorpus) {
    const std::string sAbsolute = "/etc/orv-zip-test-evil-" + std::to_string(getpid());
    struct Case {
        const char* pszKind;
        std::string sText;
    } const aCases[] = {
        {"dotdot", "Unsafe zip entry refused: '../evil.txt': it has a \"..\" part"},
        {"absolute", "Unsafe zip entry refused: '" + sAbsolute + "': it is an absolute path"},
        {"drive", "Unsafe zip entry refused: 'C:\\evil.txt': it starts with a drive letter"},
        {"backslash", "Unsafe zip entry refused: 'a\\..\\..\\b': it holds a backslash"},
        {"link-root", "Unsafe zip entry refused: 'link': its link target '/' leaves"},
        {"link-up", "Unsafe zip entry refused: 'link': its link target '..' leaves"},
        {"link-in", "Unsafe zip entry refused: 'link/evil.txt': its path runs through a link"},
        {"duplicate", "Duplicate zip entry refused: './same.txt'"},
        {"smaller", "Unzip error -105 in zip entry 'data.bin': CRC mismatch"},
        {"larger", "in zip entry 'data.bin': "},
        {"crc", "Unzip error -105 in zip entry 'data.bin': CRC mismatch"},
        {"truncated", "Cannot open zip file: "},
        {"short-dir", "Cannot open zip file: "},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(c.pszKind);
        ASSERT_EQ(0, Shell("rm -rf '" + Target() + "' && mkdir '" + Target() + "'"));
        COrvError err;
        EXPECT_FALSE(Unzip(Make(c.pszKind, sAbsolute), err));
        EXPECT_NE(std::string::npos, std::string(err.Text()).find(c.sText))
            << err.Text().GetString();
        EXPECT_NE(0, access(Path("evil.txt").c_str(), F_OK));
        EXPECT_NE(0, access(sAbsolute.c_str(), F_OK));
        EXPECT_NE(0, access(Target("data.bin").c_str(), F_OK));  // no partial file stays
    }
    std::string out;
    ASSERT_EQ(0, Shell("ls -A '" + Path("outside") + "'", &out));
    EXPECT_EQ("", out);
}

TEST_F(UnzipTest, PasswordsAndTargets) {
    COrvZip* h = OrvZipCreateFile(Path("enc.zip").c_str(), "right");
    ASSERT_NE(nullptr, h);
    ASSERT_EQ(kOrvZipOk, OrvZipAddData(h, "secret.txt", "classified", 10));
    ASSERT_EQ(kOrvZipOk, OrvZipClose(h));
    ASSERT_TRUE(
        OrvWriteFileBytes(Path("sfx.zip"), Prose(3000, 14) + OrvReadFileBytes(Path("enc.zip"))));
    ASSERT_EQ(0, Shell("cd '" + m_dir.Path() + "' && printf abc > p.txt && zip -q -P pw izip.zip " +
                       "p.txt"));
    const struct {
        std::string zip;
        const char* pszPassword;
        std::string sText;  // empty: extracts
    } aCases[] = {
        {Path("enc.zip"), "right", ""},
        {Path("izip.zip"), "pw", ""},
        {Path("sfx.zip"), "right", ""},  // a program in front of the archive
        {Path("enc.zip"), "wrong", "Wrong password for zip entry 'secret.txt'"},
        {Path("enc.zip"), nullptr, "Zip entry 'secret.txt' is encrypted: a password is needed"},
        {Path("p.txt"), nullptr, "Cannot open zip file: " + Path("p.txt")},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(c.zip);
        COrvError err;
        EXPECT_EQ(c.sText.empty(), Unzip(c.zip, err, c.pszPassword));
        EXPECT_EQ(0u, std::string(err.Text()).find(c.sText)) << err.Text().GetString();
    }
    EXPECT_EQ("classified", OrvReadFileBytes(Target("secret.txt")));
    EXPECT_EQ("abc", OrvReadFileBytes(Target("p.txt")));
    // Some wrong passwords pass the check byte (one in 256): they fail on the data, as a wrong
    // password all the same, and leave nothing behind.
    ASSERT_EQ(0, unlink(Target("secret.txt").c_str()));
    int nPastCheck = 0;
    for (int i = 0; i < 3000; ++i) {
        COrvError err;
        const std::string sPassword = "wrong" + std::to_string(i);
        ASSERT_FALSE(Unzip(Path("enc.zip"), err, sPassword.c_str())) << sPassword;
        const std::string sText = err.Text().GetString();
        ASSERT_EQ(0u, sText.find("Wrong password for zip entry 'secret.txt'")) << sText;
        nPastCheck += sText.find("damaged") != std::string::npos ? 1 : 0;
        ASSERT_NE(0, access(Target("secret.txt").c_str(), F_OK)) << sPassword;
    }
    EXPECT_GT(nPastCheck, 0);
}

// A full disk fails the extraction with the disk's reason and leaves no partial file.
TEST_F(UnzipTest, FullDisk) {
    const std::string mnt = Path("small");
    ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs (needs root): " << strerror(errno);
    const std::string data = RandomBytes(1 << 20, 7);
    COrvZip* h = OrvZipCreateFile(Path("big.zip").c_str(), nullptr);
    ASSERT_NE(nullptr, h);
    ASSERT_EQ(kOrvZipOk, OrvZipAddData(h, "small.txt", "fits", 4));
    ASSERT_EQ(kOrvZipOk, OrvZipAddData(h, "big.bin", data.data(), data.size()));
    ASSERT_EQ(kOrvZipOk, OrvZipClose(h));
    COrvError err;
    EXPECT_FALSE(OrvUnzipToFolder(Path("big.zip").c_str(), mnt.c_str(), err));
    EXPECT_EQ(enNetResources, err.Code());
    EXPECT_EQ("fits", OrvReadFileBytes(mnt + "/small.txt"));
    std::string out;
    EXPECT_EQ(0, Shell("ls -A '" + mnt + "'", &out));
    EXPECT_EQ("small.txt\n", out);  // neither big.bin nor its partial copy
    umount2(mnt.c_str(), MNT_DETACH);
}

// ---- zipping a folder ----

TEST_F(UnzipTest, FolderRoundTrip) {
    const std::string src = Path("tree");
    ASSERT_EQ(
        0, Shell("mkdir -p '" + src + "/a/b' '" + src + "/empty' && printf x > '" + src +
                 "/a/b/x.txt' && printf 'é' > '" + src + "/ü.txt' && ln -s a/b/x.txt '" + src +
                 "/tofile' && ln -s .. '" + src + "/a/loop' && chmod 755 '" + src + "/a/b/x.txt'"));
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(
            OrvWriteFileBytes(src + "/f" + std::to_string(i) + ".txt", Prose(20000 + i, i)));
    // The archive inside the folder it zips is left out of itself.
    const std::string zip = src + "/self.zip";
    COrvError err;
    ASSERT_TRUE(OrvZipFolder(src.c_str(), zip.c_str(), err)) << err.Text().GetString();
    ExpectToolsAccept(zip);
    auto list = PeerList(zip);
    EXPECT_EQ(0u, list.count("self.zip"));
    EXPECT_EQ(47u, list.size());  // 40 + a/ a/b/ a/b/x.txt a/loop/ empty/ ü.txt tofile

    ASSERT_TRUE(Unzip(zip, err)) << err.Text().GetString();
    EXPECT_EQ(0, Shell("diff -r '" + src + "/a/b' '" + Target("a/b") + "'"));
    EXPECT_FALSE(S_ISLNK(Mode(Target("tofile"))));
    EXPECT_EQ(Prose(20039, 39), OrvReadFileBytes(Target("f39.txt")));
    EXPECT_EQ(S_IFREG | 0100u, Mode(Target("a/b/x.txt")) & (S_IFMT | 0100));
}

}  // namespace
