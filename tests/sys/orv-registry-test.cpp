#include "orv-registry.h"

#include "orv-regfile.h"
#include "orv-registry-os.h"
#include "orv-sys.h"
#include "orv-test-support.h"
#include "orv-utf.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string Utf8(const COrvStringW& s) {
    COrvStringA a;
    EXPECT_TRUE(OrvUtf16ToUtf8(s.GetString(), a));
    return a.GetString();
}

// The temporary files writers leave in a key's folder.
std::vector<std::string> TempFiles(const std::string& strDir) {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(strDir))
        if (e.path().filename().string().rfind(".values.tmp", 0) == 0)
            found.push_back(e.path());
    return found;
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("ORV_REGISTRY_ROOT", m_dir.Path().c_str(), 1); }
    void TearDown() override {
        unsetenv("ORV_REGISTRY_ROOT");
        g_orv_reg_use_64bit_view = false;
    }
    // A key HKCU\Test\<name> opened for writing.
    void MakeKey(COrvRegKey& key, const char16_t* pszSub = u"Test\\Key") {
        COrvError err;
        ASSERT_TRUE(key.Create(enOrvHKeyCurrentUser, pszSub, ORV_KEY_ALL_ACCESS, err))
            << err.Text().GetString();
    }
    OrvTempDir m_dir;
};

TEST_F(RegistryTest, MissingKeysAndValuesAndReadOnlyKeysAreRefused) {
    COrvRegKey rw, ro;
    COrvError ok, missing, denied, gone;
    EXPECT_FALSE(ro.Open(enOrvHKeyCurrentUser, u"Software\\Missing", ORV_KEY_READ, missing));
    EXPECT_EQ(missing.Code(), enNetNotFound);
    MakeKey(rw);
    ASSERT_TRUE(rw.SetDWORDValue(u"v", 5, ok));
    ASSERT_TRUE(ro.Open(enOrvHKeyCurrentUser, u"Test\\Key", ORV_KEY_READ, ok));
    EXPECT_FALSE(ro.SetDWORDValue(u"v", 6, denied));
    EXPECT_EQ(denied.Code(), enNetAccessDenied);
    ASSERT_TRUE(rw.DeleteValue(u"V", ok));
    EXPECT_FALSE(rw.DeleteValue(u"v", gone));
    EXPECT_EQ(gone.Code(), enNetNotFound);
}

TEST_F(RegistryTest, EveryTypeRoundTripsThroughAnotherObject) {
    COrvRegKey key;
    MakeKey(key);
    COrvError err;
    std::u16string longText(300, u'x');
    longText += u"\"quoted\" back\\slash\ttab\nline \U0001F600 \xD800 lone";
    const unsigned char bin[] = {0, 1, 0xFF, '\n', '"'};
    const char16_t noNul[] = {u'a', u'b'};  // a text value stored without its NUL
    COrvArray<COrvStringW> multi;
    multi.Add(COrvStringW(u"one"));
    multi.Add(COrvStringW(u"two words"));
    ASSERT_TRUE(key.SetDWORDValue(u"Version", 0xDEADBEEF, err)) << err.Text().GetString();
    ASSERT_TRUE(key.SetQWORDValue(u"Big", 0x0123456789ABCDEFull, err));
    ASSERT_TRUE(key.SetStringValue(u"Long", longText.c_str(), err));
    ASSERT_TRUE(key.SetMultiStringValue(u"Multi", multi, err));
    ASSERT_TRUE(key.SetValue(u"Bin", ORV_REG_BINARY, bin, sizeof bin, err));
    ASSERT_TRUE(key.SetValue(u"Odd", ORV_REG_SZ, noNul, sizeof noNul, err));
    ASSERT_TRUE(key.SetValue(u"Custom", 0x12345, bin, 3, err));
    ASSERT_TRUE(key.SetStringValue(u"", u"default", err));

    COrvRegKey again;
    ASSERT_TRUE(again.Open(enOrvHKeyCurrentUser, u"Test\\Key", ORV_KEY_READ, err));
    uint32_t n32 = 0;
    uint64_t n64 = 0;
    COrvStringW s;
    ASSERT_TRUE(again.QueryDWORDValue(u"Version", n32, err));
    EXPECT_EQ(n32, 0xDEADBEEF);
    ASSERT_TRUE(again.QueryQWORDValue(u"Big", n64, err));
    EXPECT_EQ(n64, 0x0123456789ABCDEFull);
    ASSERT_TRUE(again.QueryStringValue(u"Long", s, err));  // longer than the first read
    EXPECT_EQ(std::u16string(s.GetString(), static_cast<size_t>(s.GetLength())), longText);
    ASSERT_TRUE(again.QueryStringValue(u"Odd", s, err));
    EXPECT_EQ(Utf8(s), "ab");
    COrvArray<COrvStringW> items;
    ASSERT_TRUE(again.QueryMultiStringValue(u"Multi", items, err));
    ASSERT_EQ(items.GetCount(), 2u);
    EXPECT_EQ(Utf8(items[1]), "two words");

    // Binary reads: too small (size needed), then the exact bytes for any type.
    uint32_t nBytes = 2, nType = 0;
    unsigned char buf[8] = {};
    COrvError small;
    EXPECT_FALSE(again.QueryBinaryValue(u"Bin", buf, nBytes, small));
    EXPECT_EQ(nBytes, sizeof bin);
    nBytes = sizeof buf;
    ASSERT_TRUE(again.QueryBinaryValue(u"Custom", buf, nBytes, err, &nType));
    EXPECT_EQ(nType, 0x12345u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), nBytes), std::string("\0\1\xFF", 3));

    EXPECT_FALSE(again.QueryDWORDValue(u"Big", n32, small));  // the wrong type

    // The file is readable text and written again byte for byte from what it parses into.
    const std::string text = OrvReadFileBytes(std::string(key.GetFolder()) + "/.values");
    EXPECT_NE(text.find("\"Version\" dword 0xdeadbeef\n"), std::string::npos) << text;
    std::vector<OrvRegFileValue> values;
    ASSERT_TRUE(OrvRegFileParse(text.data(), text.size(), values, err));
    EXPECT_EQ(values.size(), 8u);
    EXPECT_EQ(OrvRegFileFormat(values), text);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepIt) {
    COrvRegKey key;
    MakeKey(key, u"Software\\Vexil");
    COrvError err;
    ASSERT_TRUE(key.SetDWORDValue(u"MyValue", 1, err));
    ASSERT_TRUE(key.SetDWORDValue(u"MYVALUE", 2, err));  // the same value
    COrvRegKey other;
    ASSERT_TRUE(other.Open(enOrvHKeyCurrentUser, u"SOFTWARE\\vexil", ORV_KEY_READ, err));
    EXPECT_EQ(std::string(other.GetFolder()), std::string(key.GetFolder()));
    uint32_t n = 0;
    ASSERT_TRUE(other.QueryDWORDValue(u"myvalue", n, err));
    EXPECT_EQ(n, 2u);
    COrvStringW name;
    ASSERT_TRUE(other.EnumValue(0, name, err));
    EXPECT_EQ(Utf8(name), "MyValue");
    // Letters beyond ASCII fold too.
    COrvRegKey k1, k2;
    ASSERT_TRUE(k1.Create(key, u"\u00C9t\u00E9", ORV_KEY_ALL_ACCESS, err));
    ASSERT_TRUE(k2.Open(key, u"\u00E9T\u00C9", ORV_KEY_READ, err));
    EXPECT_EQ(Utf8(k2.GetPath()), "HKEY_CURRENT_USER\\Software\\Vexil\\\xC3\xA9T\xC3\x89");
}

TEST_F(RegistryTest, SubkeysEnumerateInfoAndDelete) {
    COrvRegKey key;
    MakeKey(key);
    COrvError err;
    for (const char16_t* psz : {u"beta", u"Alpha", u"gamma\\deep", u"a/b", u"..", u"%2F"}) {
        COrvRegKey sub;
        ASSERT_TRUE(sub.Create(key, psz, ORV_KEY_ALL_ACCESS, err)) << err.Text().GetString();
        // Names that look like paths never leave the key's folder.
        EXPECT_EQ(std::string(sub.GetFolder()).rfind(std::string(key.GetFolder()) + "/", 0), 0u);
    }
    ASSERT_TRUE(key.SetStringValue(u"LongestName", u"12345", err));
    std::vector<std::string> names;
    COrvStringW name;
    for (uint32_t i = 0; key.EnumKey(i, name, err); ++i)
        names.push_back(Utf8(name));
    EXPECT_EQ(err.Code(), enNetEndOfStream);
    EXPECT_EQ(names, (std::vector<std::string>{"%2F", "..", "a/b", "Alpha", "beta", "gamma"}));
    err.Clear();
    OrvRegKeyInfo info;
    ASSERT_TRUE(key.QueryInfo(info, err));
    EXPECT_TRUE(info.nSubKeys == 6u && info.nMaxSubKeyLen == 5u && info.nValues == 1u);
    EXPECT_TRUE(info.nMaxValueNameLen == 11u && info.nMaxValueLen == 12u);

    COrvError busy;
    EXPECT_FALSE(key.DeleteSubKey(u"GAMMA", busy));
    EXPECT_EQ(busy.Code(), enNetFolderNotEmpty);
    // Separators alone name the key itself, which is never deleted this way.
    for (const char16_t* psz : {u"\\", u"\\\\", u""})
        EXPECT_FALSE(key.DeleteSubKey(psz, busy));
    ASSERT_TRUE(key.DeleteSubKey(u"gamma\\DEEP", err));
    ASSERT_TRUE(key.DeleteSubKey(u"gamma", err));
    ASSERT_TRUE(key.QueryInfo(info, err));
    EXPECT_EQ(info.nSubKeys, 5u);
}

// A reader keeps what it read; each replacement of the file, however quick, must be seen.
TEST_F(RegistryTest, ReaderSeesEveryReplacement) {
    COrvRegKey writer, reader;
    MakeKey(writer);
    COrvError err;
    ASSERT_TRUE(reader.Open(enOrvHKeyCurrentUser, u"Test\\Key", ORV_KEY_READ, err));
    OrvSysScope scope;
    g_orv_sys.fsync = [](int) { return 0; };  // quick writes: the same size within one tick
    for (uint32_t i = 1; i <= 100; ++i) {
        ASSERT_TRUE(writer.SetDWORDValue(u"v", i, err));
        uint32_t n = 0;
        ASSERT_TRUE(reader.QueryDWORDValue(u"v", n, err));
        ASSERT_EQ(n, i);
    }
    ASSERT_TRUE(writer.DeleteValue(u"v", err));
    uint32_t n = 0;
    EXPECT_FALSE(reader.QueryDWORDValue(u"v", n, err));
}

TEST_F(RegistryTest, FailedWriteKeepsOldFileAndADamagedFileIsNotOverwritten) {
    COrvRegKey key;
    MakeKey(key);
    COrvError err;
    ASSERT_TRUE(key.SetDWORDValue(u"v", 1, err));
    {
        OrvSysScope scope;
        g_orv_sys.fsync = [](int) {
            errno = ENOSPC;
            return -1;
        };
        COrvError full;
        EXPECT_FALSE(key.SetDWORDValue(u"v", 2, full));
        EXPECT_EQ(full.Code(), enNetResources);
    }
    uint32_t n = 0;
    ASSERT_TRUE(key.QueryDWORDValue(u"v", n, err));
    EXPECT_EQ(n, 1u);
    EXPECT_TRUE(TempFiles(key.GetFolder().GetString()).empty());
    // A damaged file is an error and is not overwritten.
    const std::string strFile = std::string(key.GetFolder()) + "/.values";
    const std::string damaged = "orv-settings 1\n\"a\" dword 0x12\n";
    ASSERT_TRUE(OrvWriteFileBytes(strFile, damaged));
    EXPECT_FALSE(key.QueryDWORDValue(u"a", n, err) || key.SetDWORDValue(u"b", 1, err));
    EXPECT_EQ(OrvReadFileBytes(strFile), damaged);
}

// --- Other processes ---------------------------------------------------------------------

pid_t Spawn(std::vector<std::string> args, int* pStdout = nullptr) {
    std::vector<char*> argv;
    args.insert(args.begin(), REG_CHILD_PATH);
    for (std::string& s : args)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int fds[2] = {-1, -1};
    if (pStdout != nullptr) {
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    }
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, REG_CHILD_PATH, &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    if (pStdout != nullptr) {
        close(fds[1]);
        *pStdout = fds[0];
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

TEST_F(RegistryTest, TwoProcessesLoseNoUpdate) {
    const pid_t a = Spawn({"add", "A", "200", "--no-sync"});
    const pid_t b = Spawn({"add", "B", "200", "--no-sync"});
    for (const int st : {Wait(a), Wait(b)})
        ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    COrvRegKey key;
    COrvError err;
    ASSERT_TRUE(key.Open(enOrvHKeyCurrentUser, u"Test\\Shared", ORV_KEY_READ, err));
    OrvRegKeyInfo info;
    ASSERT_TRUE(key.QueryInfo(info, err));
    EXPECT_EQ(info.nValues, 400u);
    uint32_t n = 0;
    ASSERT_TRUE(key.QueryDWORDValue(u"B0199", n, err));
    EXPECT_EQ(n, 199u);
}

// After each kill, every value is one generation's whole value and the file parses.
TEST_F(RegistryTest, KilledWriterLeavesWholeValues) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> delayUs(0, 4000);
    uint32_t nMaxGen = 0;
    for (int round = 0; round < 20; ++round) {
        int fdOut = -1;
        const pid_t pid = Spawn({"rewrite", "--no-sync"}, &fdOut);
        char ready[6] = {};
        ASSERT_EQ(read(fdOut, ready, 6), 6) << "the child did not start writing";
        close(fdOut);
        usleep(static_cast<useconds_t>(delayUs(rng)));
        kill(pid, SIGKILL);
        Wait(pid);

        COrvRegKey key;
        COrvError err;
        ASSERT_TRUE(key.Open(enOrvHKeyCurrentUser, u"Test\\Crash", ORV_KEY_READ, err));
        std::vector<OrvRegFileValue> values;
        ASSERT_EQ(OrvRegReadValues(key.GetFolder().GetString(), values), 0) << "round " << round;
        uint32_t g = 0;
        ASSERT_TRUE(key.QueryDWORDValue(u"D", g, err)) << err.Text().GetString();
        nMaxGen = std::max(nMaxGen, g);
        COrvStringW s;
        ASSERT_TRUE(key.QueryStringValue(u"S", s, err));
        const std::string text = Utf8(s);
        // S is from generation g or g - 1 (the child writes D first).
        bool bWhole = false;
        for (uint32_t gen : {g, g - 1}) {
            std::string expect;
            for (uint32_t i = 0; gen > 0 && i < gen % 700; ++i)
                expect += std::to_string(gen);
            bWhole = bWhole || text == expect;
        }
        EXPECT_TRUE(bWhole) << "round " << round << " generation " << g;
    }
    EXPECT_GT(nMaxGen, 1u);
    // Temporary files of killed writers go at the next write.
    COrvRegKey key;
    MakeKey(key, u"Test\\Crash");
    COrvError err;
    ASSERT_TRUE(key.SetDWORDValue(u"D", 0, err));
    EXPECT_TRUE(TempFiles(key.GetFolder().GetString()).empty());
}

}  // namespace
