// The console view inside the real frame: running commands through the real pipe, the messages
// of its failures, Clear, and Save with its dialog and its errors.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "console-pipe.h"
#include "main-frame.h"
#include "orv-sys.h"
#include "support/orv-test-support.h"
#include "window-test-util.h"

namespace {

class ViewTest : public CShownFrameTest {
protected:
    void TearDown() override {
        CShownFrameTest::TearDown();
        g_pszPipeInterpreter = "/bin/sh";
        g_pszPipeCharset = nullptr;
    }
    CCommandField* Field() { return View().CommandField(); }

    // Types the command into the field and presses Enter there.
    void TypeAndEnter(const char* pszCommand) {
        Field()->setFocus();
        Field()->clear();
        QTest::keyClicks(Field(), QString::fromUtf8(pszCommand));
        QTest::keyClick(Field(), Qt::Key_Return);
    }
};

// Puts a full path into the save dialog's file name field, as a user pasting it would. Not key
// by key: each typed prefix that names a folder selects that folder in the dialog's list, and
// whether the next key clears that selection depends on the field having the focus (a matter of
// window activation timing); a folder still selected makes accept() open it instead of saving.
void TypeFileName(QFileDialog* pDialog, const QString& strPath) {
    auto* pEdit = pDialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(pEdit, nullptr);
    pDialog->setDirectory(QFileInfo(strPath).absolutePath());
    pEdit->setText(strPath);
}

// Accepts the dialog; when it stays open (a question refused it, or the name was not taken),
// reports that and closes it, so that a fault fails the test instead of hanging it.
void AcceptOrFail(QFileDialog* pDialog, bool bExpectOpen = false) {
    static_cast<QDialog*>(pDialog)->accept();
    if (pDialog->isVisible() != bExpectOpen) {
        ADD_FAILURE()
            << "save dialog " << (bExpectOpen ? "closed" : "stayed open") << " with "
            << pDialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text().toStdString();
    }
    if (pDialog->isVisible()) {
        pDialog->reject();
    }
}

std::string Narrow(const std::u16string& s) {
    return QString::fromStdU16String(s).toStdString();
}

}  // namespace

TEST_F(ViewTest, RunShowsBannerOutputAndEndLineAndDisablesRunMeanwhile) {
    TypeAndEnter("printf 'one\\ntwo\\n'; sleep 0.2");
    EXPECT_TRUE(View().IsRunning());
    EXPECT_FALSE(View().RunButton()->isEnabled());
    // Enter while Run is disabled runs nothing more
    QTest::keyClick(Field(), Qt::Key_Return);
    View().RunButton()->click();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(View().RunButton()->isEnabled());
    EXPECT_EQ(PaneText(Pane()),
              u"--- printf 'one\\ntwo\\n'; sleep 0.2 ---\r\none\r\ntwo\r\n"
              u"--- End of Log ---\r\n\r\n");
}

TEST_F(ViewTest, AnEmptyCommandAFailedStartAndAnUnencodableCommandRunNothing) {
    auto pBox = ExpectMessageBox();
    View().RunButton()->click();
    ASSERT_TRUE(pBox->bSeen);
    EXPECT_EQ(Pane().GetTextLength(), 0);
    EXPECT_EQ(m_pFrame->focusWidget(), Field());
    // a failed start keeps the banner and selects the command
    g_pszPipeInterpreter = "/nonexistent/interpreter";
    pBox = ExpectMessageBox();
    TypeAndEnter("echo never");
    ASSERT_TRUE(pBox->bSeen);
    EXPECT_EQ(PaneText(Pane()), u"--- echo never ---\r\n");
    EXPECT_TRUE(View().RunButton()->isEnabled());
    EXPECT_EQ(Field()->selectedText(), QStringLiteral("echo never"));
    g_pszPipeInterpreter = "/bin/sh";
    // a character the locale's set cannot hold: refused, nothing runs; what the set holds runs
    OrvTempDir dir;
    const std::string out = dir.File("out");
    g_pszPipeCharset = "ISO-8859-1";
    pBox = ExpectMessageBox();
    const QString command = QString::fromUtf8("echo \xE2\x82\xAC > ") + QString::fromStdString(out);
    Field()->setText(command);  // as a paste: the test tool types ASCII keys only
    QTest::keyClick(Field(), Qt::Key_Return);
    ASSERT_TRUE(pBox->bSeen);
    EXPECT_TRUE(pBox->strText.contains(QStringLiteral("(U+20AC)"))) << pBox->strText.toStdString();
    EXPECT_EQ(Field()->selectedText(), command);
    QTest::qWait(200);
    EXPECT_NE(access(out.c_str(), F_OK), 0);
    Field()->setText(QString::fromUtf8("echo \xC3\xBC"));
    QTest::keyClick(Field(), Qt::Key_Return);
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(PaneText(Pane()).ends_with(u"\r\n\u00FC\r\n--- End of Log ---\r\n\r\n"));
}

TEST_F(ViewTest, ClearDuringARunContinuesAtTheTop) {
    TypeAndEnter("echo first; sleep 0.5; echo second");
    // the banner holds the command itself: wait for the output line
    ASSERT_TRUE(
        WaitFor([&] { return PaneText(Pane()).find(u"first\r\n") != std::u16string::npos; }));
    // Ctrl+N with the focus in the command field
    Field()->setFocus();
    QTest::keyClick(Field(), Qt::Key_N, Qt::ControlModifier);
    EXPECT_EQ(Pane().GetTextLength(), 0);
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(PaneText(Pane()), u"second\r\n--- End of Log ---\r\n\r\n");
}

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
    std::u16string big(64 * 1024 - 1, u'a');
    big += u"\U0001F600tail";
    View().Clear();
    View().AppendText(big.c_str());
    ASSERT_TRUE(View().SaveLog(path.c_str(), strError));
    EXPECT_EQ(OrvReadFileBytes(path), std::string(64 * 1024 - 1, 'a') + "\xf0\x9f\x98\x80tail");
}

TEST_F(ViewTest, SaveLogReportsOpenAndWriteFailuresWithTheirReasons) {
    View().AppendText(u"some text\n");
    OrvTempDir dir;
    const std::string missing = dir.File("missing/log.txt");
    for (const auto& [path, expected] :
         {std::pair<std::string, std::string>{"/dev/full",
                                              "Error writing to file /dev/full: "
                                              "No space left on device"},
          {missing, "Cannot open file " + missing + ": No such file or directory"},
          {dir.Path(), "Cannot open file " + dir.Path() + ": Is a directory"}}) {
        COrvStringA strError;
        EXPECT_FALSE(View().SaveLog(path.c_str(), strError));
        EXPECT_EQ(std::string(static_cast<const char*>(strError)), expected);
    }
    EXPECT_EQ(access(missing.c_str(), F_OK), -1);
}

// The names in a folder, sorted.
std::vector<std::string> FolderNames(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Failures injected through the system-call table: the descriptors of files opened in one folder
// fail as the test chooses, everything else goes to the real calls.
struct CInjected {
    static inline std::string s_folder;
    static inline int s_fd = -1;
    static inline long s_nWriteRoom = -1;  // bytes a write may still put; -1: no limit
    static inline int s_nFsyncErrno = 0;
    static inline int s_nRenameErrno = 0;
    static inline bool s_bNoNewFiles = false;  // the folder refuses new (hidden) files

    // Fails with the error when it is set.
    static bool Fail(int nErrno) {
        errno = nErrno;
        return nErrno != 0;
    }
    static void Install(const std::string& folder) {
        s_folder = folder;
        s_fd = -1;
        s_nWriteRoom = -1;
        s_nFsyncErrno = s_nRenameErrno = 0;
        s_bNoNewFiles = false;
        g_orv_sys.open = [](const char* pszPath, int nFlags, unsigned nMode) {
            if (Fail(s_bNoNewFiles && std::strstr(pszPath, "/.") != nullptr ? EACCES : 0)) {
                return -1;
            }
            const int fd = g_orv_sys_real.open(pszPath, nFlags, nMode);
            s_fd = fd >= 0 && std::string(pszPath).rfind(s_folder + "/", 0) == 0 ? fd : s_fd;
            return fd;
        };
        // a disk that fills up: a short write, then ENOSPC
        g_orv_sys.write = [](int fd, const void* p, size_t n) -> long {
            if (fd != s_fd || s_nWriteRoom < 0) {
                return g_orv_sys_real.write(fd, p, n);
            }
            if (Fail(s_nWriteRoom == 0 ? ENOSPC : 0)) {
                return -1;
            }
            const long r =
                g_orv_sys_real.write(fd, p, std::min(n, static_cast<size_t>(s_nWriteRoom)));
            s_nWriteRoom -= r > 0 ? r : 0;
            return r;
        };
        g_orv_sys.fsync = [](int fd) {
            return fd == s_fd && Fail(s_nFsyncErrno) ? -1 : g_orv_sys_real.fsync(fd);
        };
        g_orv_sys.rename = [](const char* pszFrom, const char* pszTo) {
            return Fail(s_nRenameErrno) ? -1 : g_orv_sys_real.rename(pszFrom, pszTo);
        };
    }
};

TEST_F(ViewTest, AFailedSaveKeepsTheOldFileByteForByte) {
    OrvTempDir dir;
    const std::string path = dir.File("log.txt");
    const std::string old = "the old log\r\n" + std::string(100000, 'o');
    ASSERT_TRUE(OrvWriteFileBytes(path, old));
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    std::u16string text(200000, u'n');
    View().AppendText(text.c_str());
    OrvSysScope scope;
    CInjected::Install(dir.Path());

    struct Case {
        const char* pszName;
        long nWriteRoom;
        int nFsyncErrno;
        int nRenameErrno;
        const char* pszReason;
    };
    for (const Case& c : {Case{"disk full at once", 0, 0, 0, "No space left on device"},
                          Case{"disk full midway", 70000, 0, 0, "No space left on device"},
                          Case{"flush to disk fails", -1, EIO, 0, "Input/output error"},
                          Case{"rename fails", -1, 0, EXDEV, "Invalid cross-device link"}}) {
        CInjected::s_nWriteRoom = c.nWriteRoom;
        CInjected::s_nFsyncErrno = c.nFsyncErrno;
        CInjected::s_nRenameErrno = c.nRenameErrno;
        COrvStringA strError;
        EXPECT_FALSE(View().SaveLog(path.c_str(), strError)) << c.pszName;
        EXPECT_EQ(std::string(static_cast<const char*>(strError)),
                  "Error writing to file " + path + ": " + c.pszReason)
            << c.pszName;
        EXPECT_EQ(OrvReadFileBytes(path), old) << c.pszName;
        // the temporary file is gone again
        EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{"log.txt"}) << c.pszName;
    }

    // With room on the disk the new text replaces the old, with the old file's mode.
    CInjected::Install(dir.Path());
    COrvStringA strError;
    ASSERT_TRUE(View().SaveLog(path.c_str(), strError)) << static_cast<const char*>(strError);
    EXPECT_EQ(OrvReadFileBytes(path), std::string(200000, 'n'));
    struct stat st = {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(FolderNames(dir.Path()), std::vector<std::string>{"log.txt"});

    // A folder where no file may be created: the file the user may write is written in place.
    CInjected::s_bNoNewFiles = true;
    View().Clear();
    View().AppendText(u"in place\n");
    ASSERT_TRUE(View().SaveLog(path.c_str(), strError)) << static_cast<const char*>(strError);
    EXPECT_EQ(OrvReadFileBytes(path), "in place\r\n");
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
    EXPECT_EQ(FolderNames(dir.File("real")), std::vector<std::string>{"log.txt"});
    // a new file gets the mode of any new file (0666 less the umask), not the private one
    const std::string fresh = dir.File("fresh.txt");
    const mode_t nMask = umask(022);
    ASSERT_TRUE(View().SaveLog(fresh.c_str(), strError));
    umask(nMask);
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(ViewTest, APastedCommandFarBeyondTheFieldsDefaultLimitRunsWhole) {
    // The field never lays out a long command (seconds per paint): it holds it whole and shows
    // its start, however it comes in.
    const QString command =
        QStringLiteral("echo ") + QString(100000, u'x') + QStringLiteral(" | wc -c");
    const int nShownMax = CCommandField::kShownHead + 40;
    QGuiApplication::clipboard()->setText(command);
    Field()->setFocus();
    Field()->clear();
    QTest::keyClick(Field(), Qt::Key_V, Qt::ControlModifier);
    ASSERT_EQ(Field()->Command(), command);
    EXPECT_LE(Field()->text().size(), nShownMax);
    QTest::keyClick(Field(), Qt::Key_Return);
    ASSERT_TRUE(WaitForEnd());
    const std::u16string text = PaneText(Pane());
    EXPECT_NE(text.find(u" | wc -c ---\r\n100001\r\n--- End of Log ---"), std::u16string::npos)
        << Narrow(text.substr(text.size() - std::min<size_t>(text.size(), 60)));
    // Delete empties the field; the history brings the command back the same way; Ctrl+C copies
    // it whole; a short command set afterwards is not shortened.
    Field()->setFocus();
    QTest::keyClick(Field(), Qt::Key_Delete);
    EXPECT_EQ(Field()->Command(), QString());
    QTest::keyClick(Field(), Qt::Key_Up);
    EXPECT_EQ(Field()->Command(), command);
    EXPECT_LE(Field()->text().size(), nShownMax);
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(Field(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), command);
    Field()->insert(QString(CCommandField::kEditableMax + 1, u'z'));
    EXPECT_TRUE(Field()->IsShortened());
    View().SetCommand(QStringLiteral("short"));
    EXPECT_FALSE(Field()->IsShortened());
    EXPECT_EQ(Field()->text(), QStringLiteral("short"));
}

TEST_F(ViewTest, SaveDialogProposesTheNameAsksBeforeReplacingAndReportsErrors) {
    OrvTempDir dir;
    const QString path = QString::fromStdString(dir.File("saved.txt"));
    View().AppendText(u"saved text\n");
    // Arms the save dialog to take the name and the question about replacing to get the answer
    // (none: no question expected); answered No, the dialog stays open.
    bool bAsked = false;
    const auto Arm = [&](const QString& name, QMessageBox::StandardButton answer) {
        bAsked = false;
        OnNextModal<QFileDialog>([&, name, answer](QFileDialog* pDialog) {
            TypeFileName(pDialog, name);
            if (answer != QMessageBox::NoButton) {
                OnNextModal<QMessageBox>(
                    [&, answer](QMessageBox* pBox) {
                        bAsked = true;
                        pBox->button(answer)->click();
                    },
                    [](QMessageBox* pBox) { return pBox->button(QMessageBox::No) != nullptr; });
            }
            AcceptOrFail(pDialog, answer == QMessageBox::No);  // returns once answered
        });
    };
    // Ctrl+S in the command field opens the dialog; a new file is written without a question
    Arm(path, QMessageBox::NoButton);
    Field()->setFocus();
    QTest::keyClick(Field(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(OrvReadFileBytes(path.toStdString()), "saved text\r\n");
    // an existing file: No keeps it and the dialog open, Yes replaces it
    View().AppendText(u"more\n");
    Arm(path, QMessageBox::No);
    m_pFrame->ActionSave()->trigger();
    EXPECT_TRUE(bAsked);
    EXPECT_EQ(OrvReadFileBytes(path.toStdString()), "saved text\r\n");
    Arm(path, QMessageBox::Yes);
    m_pFrame->ActionSave()->trigger();
    EXPECT_EQ(OrvReadFileBytes(path.toStdString()), "saved text\r\nmore\r\n");
    // a write failure is reported with the error icon (a name with the proposed suffix that
    // leads to a full device, since the dialog adds ".txt" to a bare name)
    const QString full = QString::fromStdString(dir.File("full.txt"));
    ASSERT_EQ(symlink("/dev/full", full.toUtf8().constData()), 0);
    Arm(full, QMessageBox::Yes);
    auto pError = ExpectMessageBox(QMessageBox::Ok, [](QMessageBox* pBox) {
        return pBox->button(QMessageBox::No) == nullptr;
    });
    m_pFrame->ActionSave()->trigger();
    ASSERT_TRUE(pError->bSeen);
    EXPECT_TRUE(pError->strText.endsWith(QStringLiteral(": No space left on device")));
    EXPECT_EQ(pError->icon, QMessageBox::Critical);
}
