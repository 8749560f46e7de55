// The console view inside the real frame: a command refused before it runs, a long pasted command,
// and Save with its failures.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QClipboard>
#include <QTest>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "main-frame.h"
#include "orv-sys.h"
#include "support/orv-test-support.h"
#include "window-test-util.h"

namespace {

class ViewTest : public CShownFrameTest {
protected:
    CCommandField* Field() { return View().CommandField(); }
};

}  // namespace

TEST_F(ViewTest, SaveLogWritesUtf8WithTheLineEndsOfThePane) {
    OrvTempDir dir;
    const std::string path = dir.File("log.txt");
    ASSERT_TRUE(OrvWriteFileBytes(path, std::string(5000, 'z')));  // replaced, not kept
    // characters far above 255, a pair, a lone CR, and the pane's CR LF
    View().AppendText(u"caf\u00e9 \u20ac \u4e2d \U0001F600\nbar\rbaz\r\n");
    COrvStringA strError;
    ASSERT_TRUE(View().SaveLog(path.c_str(), strError));
    EXPECT_EQ(OrvReadFileBytes(path),
              "caf\xc3\xa9 \xe2\x82\xac \xe4\xb8\xad \xf0\x9f\x98\x80\r\nbar\rbaz\r\n");
    // a text larger than one write block, with a pair across the block boundary
    View().Clear();
    View().AppendText((std::u16string(64 * 1024 - 1, u'a') + u"\U0001F600tail").c_str());
    ASSERT_TRUE(View().SaveLog(path.c_str(), strError));
    EXPECT_EQ(OrvReadFileBytes(path), std::string(64 * 1024 - 1, 'a') + "\xf0\x9f\x98\x80tail");
}

// The number of entries in a folder.
size_t Entries(const std::string& path) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(path), {}));
}

// Failures injected through the system-call table: a disk that fills up after s_nWriteRoom bytes
// written to files of the test's folder, and a folder that refuses new (hidden) files.
struct CInjected {
    static inline std::string s_folder;
    static inline int s_fd = -1;
    static inline long s_nWriteRoom = -1;  // -1: no limit
    static inline bool s_bNoNewFiles = false;

    static void Install(const std::string& folder) {
        s_folder = folder;
        g_orv_sys.open = [](const char* pszPath, int nFlags, unsigned nMode) {
            if (s_bNoNewFiles && std::strstr(pszPath, "/.") != nullptr) {
                errno = EACCES;
                return -1;
            }
            const int fd = g_orv_sys_real.open(pszPath, nFlags, nMode);
            s_fd = fd >= 0 && std::string(pszPath).rfind(s_folder + "/", 0) == 0 ? fd : s_fd;
            return fd;
        };
        g_orv_sys.write = [](int fd, const void* p, size_t n) -> long {
            if (fd != s_fd || s_nWriteRoom < 0) {
                return g_orv_sys_real.write(fd, p, n);
            }
            if (s_nWriteRoom == 0) {
                errno = ENOSPC;
                return -1;
            }
            const long r =
                g_orv_sys_real.write(fd, p, std::min(n, static_cast<size_t>(s_nWriteRoom)));
            s_nWriteRoom -= r > 0 ? r : 0;
            return r;
        };
    }
};

TEST_F(ViewTest, AFailedSaveKeepsTheOldFileByteForByte) {
    OrvTempDir dir;
    const std::string path = dir.File("log.txt");
    const std::string old = "the old log\r\n" + std::string(100000, 'o');
    ASSERT_TRUE(OrvWriteFileBytes(path, old));
    View().AppendText(std::u16string(200000, u'n').c_str());
    OrvSysScope scope;
    CInjected::Install(dir.Path());
    CInjected::s_nWriteRoom = 70000;  // the disk fills up midway
    COrvStringA strError;
    EXPECT_FALSE(View().SaveLog(path.c_str(), strError));
    EXPECT_EQ(std::string(static_cast<const char*>(strError)),
              "Error writing to file " + path + ": No space left on device");
    EXPECT_EQ(OrvReadFileBytes(path), old);
    EXPECT_EQ(Entries(dir.Path()), 1u);  // no file of its own left behind
    // A folder where no file may be created: the file the user may write is written in place.
    CInjected::s_nWriteRoom = -1;
    CInjected::s_bNoNewFiles = true;
    View().Clear();
    View().AppendText(u"in place\n");
    ASSERT_TRUE(View().SaveLog(path.c_str(), strError)) << static_cast<const char*>(strError);
    EXPECT_EQ(OrvReadFileBytes(path), "in place\r\n");
    CInjected::s_bNoNewFiles = false;
}

TEST_F(ViewTest, SaveThroughALinkReplacesTheFileItLeadsTo) {
    OrvTempDir dir;
    ASSERT_EQ(mkdir(dir.File("real").c_str(), 0700), 0);
    const std::string target = dir.File("real/log.txt");
    const std::string link = dir.File("link.txt");
    ASSERT_TRUE(OrvWriteFileBytes(target, "old"));
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    View().AppendText(u"new\n");
    COrvStringA strError;
    ASSERT_TRUE(View().SaveLog(link.c_str(), strError)) << static_cast<const char*>(strError);
    struct stat st = {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(OrvReadFileBytes(target), "new\r\n");
    EXPECT_EQ(Entries(dir.File("real")), 1u);
}

TEST_F(ViewTest, APastedCommandFarBeyondTheFieldsDefaultLimitRunsWhole) {
    // The field never lays out a long command (seconds per paint): it holds it whole and shows
    // its start, however it comes in.
    const QString command =
        QStringLiteral("echo ") + QString(100000, u'x') + QStringLiteral(" | wc -c");
    const auto Shown = [&] { return Field()->text().size() <= CCommandField::kShownHead + 40; };
    QGuiApplication::clipboard()->setText(command);
    Field()->setFocus();
    Field()->clear();
    QTest::keyClick(Field(), Qt::Key_V, Qt::ControlModifier);
    ASSERT_EQ(Field()->Command(), command);
    EXPECT_TRUE(Shown());
    QTest::keyClick(Field(), Qt::Key_Return);
    ASSERT_TRUE(WaitForEnd());
    const std::u16string text = PaneText(Pane());
    EXPECT_NE(text.find(u" | wc -c ---\r\n100001\r\n--- End of Log ---"), std::u16string::npos);
    // The history brings the command back the same way; Ctrl+C copies it whole; a short command
    // set afterwards is not shortened.
    Field()->setFocus();
    QTest::keyClick(Field(), Qt::Key_Up);
    EXPECT_EQ(Field()->Command(), command);
    EXPECT_TRUE(Shown());
    QTest::keyClick(Field(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), command);
    Field()->insert(QString(CCommandField::kEditableMax + 1, u'z'));
    EXPECT_TRUE(Field()->IsShortened());
    View().SetCommand(QStringLiteral("short"));
    EXPECT_EQ(std::pair(Field()->IsShortened(), Field()->text()),
              std::pair(false, QStringLiteral("short")));
}
