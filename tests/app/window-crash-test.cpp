// The windows of vexil's crash-report mode (offscreen): the crash dialog, and the interactive crash
// sequence against the test support server as the user sees it, box by box.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <optional>
#include <string>

#include "crash-report.h"
#include "crash/crash-support-server.h"
#include "main-frame.h"
#include "orv-crash-helper.h"
#include "orv-crash-report.h"
#include "orv-crash.h"
#include "orv-log.h"

namespace {

QString Text(QWidget* pWindow, const char* pszName) {
    return pWindow->findChild<QLabel*>(QString::fromLatin1(pszName))->text();
}

TEST(CrashDialog, TextsLinkAndCheckBox) {
    std::unique_ptr<QDialog> dialog(
        VexilMakeCrashDialog("A-KIND-NAME-LONGER-THAN-THIRTY-ONE", "/tmp/a<b/x.zip"));
    EXPECT_EQ(QStringLiteral("A-KIND-NAME-LONGER-THAN-THIRTY-"), dialog->windowTitle());
    EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(QStringLiteral("Application crashed or asserted and will be closed now.\r\nClick OK "
                             "to send a diagnostic file to help us fix the problem."),
              Text(dialog.get(), "intro"));
    EXPECT_EQ(QStringLiteral("If file cannot be uploaded, please attach it to ticket. This file "
                             "will be sent:"),
              Text(dialog.get(), "note"));
    // The path is shown as text (escaped) and links to its folder.
    EXPECT_EQ(QStringLiteral("<a href=\"file:///tmp/a%3Cb\">/tmp/a&lt;b/x.zip</a>"),
              Text(dialog.get(), "link"));
    auto* pTicket = dialog->findChild<QCheckBox*>(QStringLiteral("ticket"));
    EXPECT_EQ(QStringLiteral("Open Browser Window to create a ticket in Product Support System"),
              pTicket->text());
    EXPECT_TRUE(pTicket->isChecked());
    EXPECT_TRUE(dialog->findChild<QPushButton*>(QStringLiteral("ok"))->isDefault());
}

// The progress window's text, or "-" when it is not shown.
std::string ProgressText() {
    for (QWidget* p : QApplication::topLevelWidgets())
        if (p->objectName() == QStringLiteral("crash-progress") && p->isVisible())
            return Text(p, "progress").toStdString();
    return "-";
}

// Answers each modal window of the sequence as it appears and notes it as one line: "box [BUTTONS]
// TEXT" or "dialog TITLE", then " | " and the progress window's text.
class CWindowWatcher {
public:
    CWindowWatcher(int nAnswer, bool bTicket) {
        QObject::connect(&m_timer, &QTimer::timeout, [this, nAnswer, bTicket] {
            QWidget* pModal = QApplication::activeModalWidget();
            if (pModal == nullptr || pModal->property("answered").toBool())
                return;
            pModal->setProperty("answered", true);
            if (auto* pBox = qobject_cast<QMessageBox*>(pModal)) {
                std::string buttons;
                for (QAbstractButton* pButton : pBox->buttons())
                    buttons += pButton->text().remove('&').toStdString();
                Note("box [" + buttons + "] " + pBox->text().toStdString());
                pBox->button(QMessageBox::Ok)->click();
                return;
            }
            Note("dialog " + pModal->windowTitle().toStdString());
            pModal->findChild<QCheckBox*>(QStringLiteral("ticket"))->setChecked(bTicket);
            if (nAnswer == 1)
                pModal->findChild<QPushButton*>(QStringLiteral("ok"))->click();
            else
                QTest::keyClick(pModal, Qt::Key_Escape);
        });
        m_timer.start(10);
    }
    std::string m_seen;

private:
    // One line of the record, with the progress window's text; line ends in texts become "/".
    void Note(std::string line) {
        line += " | " + ProgressText();
        for (char& c : line)
            if (c == '\n')
                c = '/';
        m_seen += line + "\n";
    }

    QTimer m_timer;
};

// Sets an environment variable for the life of the object.
class CEnvScope {
public:
    CEnvScope(const char* pszName, const std::string& value) : m_name(pszName) {
        const char* pszOld = getenv(pszName);
        m_bHad = pszOld != nullptr;
        m_old = m_bHad ? pszOld : "";
        setenv(pszName, value.c_str(), 1);
    }
    ~CEnvScope() {
        if (m_bHad)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::string m_old;
    bool m_bHad;
};

struct SWindowsCase {
    const char* pszName;
    bool bServer;         // a support server is configured
    bool bRoots;          // its test CA is trusted
    int nAnswer;          // the crash dialog's answer: 1 OK, 2 Cancel (Escape)
    bool bTicket;         // the ticket check box when answering
    const char* pszSeen;  // the windows in order; %ZIP% stands for the archive's path, a line
                          // ending in "*" for any line that starts with the rest
    bool bUploaded;
};

const char kCrashBox[] =
    "box [OK] Vexil has crashed and we are sorry for that./Click OK to assemble Crash Report. | "
    "-\n";

const SWindowsCase kWindowsCases[] = {
    {"NoServerNamesTheArchive", false, true, 1, true,
     "box [OK] Crash report kept in %ZIP%: no support server is set | ---closing zip file---\n",
     false},
    {"CancelSendsNothing", true, true, 2, true, "dialog CRASH | ---closing zip file---\n", false},
    {"OkUploads", true, true, 1, false, "dialog CRASH | ---closing zip file---\n", true},
    {"UnverifiedServerFails", true, false, 1, false,
     "dialog CRASH | ---closing zip file---\n"
     "box [OK] Sending Crash Report:/%ZIP%/Cannot upload crash report: No Certificate or it does "
     "not verify*\n",
     false},
    {"OkUploadsAndOpensTicket", true, true, 1, true, "dialog CRASH | ---closing zip file---\n",
     true},
};

void PrintTo(const SWindowsCase& c, std::ostream* os) {
    *os << c.pszName;
}

// Compares line by line; an expected line ending in "*" matches any line with its beginning.
void ExpectLines(const std::string& expected, const std::string& seen) {
    size_t e = 0;
    size_t s = 0;
    while (e < expected.size() && s < seen.size()) {
        const std::string want = expected.substr(e, expected.find('\n', e) - e);
        const std::string got = seen.substr(s, seen.find('\n', s) - s);
        if (!want.empty() && want.back() == '*')
            EXPECT_EQ(want.substr(0, want.size() - 1), got.substr(0, want.size() - 1)) << seen;
        else
            EXPECT_EQ(want, got) << seen;
        e += want.size() + 1;
        s += got.size() + 1;
    }
    EXPECT_EQ(e >= expected.size(), s >= seen.size()) << seen;
}

// The support server, a temporary folder as TMPDIR, an xdg-open that notes the address it is
// given instead of opening it, and the account of support requests.
class CrashWindowsTest : public CrashSupportServer {
protected:
    void SetUp() override {
        CrashSupportServer::SetUp();
        ASSERT_TRUE(OrvWriteFileBytes(m_temp.File("xdg-open"),
                                      "#!/bin/sh\necho \"$1\" > \"$(dirname \"$0\")/opened\"\n"));
        ASSERT_EQ(0, chmod(m_temp.File("xdg-open").c_str(), 0755));
        const char* pszPath = getenv("PATH");
        m_path.emplace("PATH", m_temp.Path() + ":" + (pszPath ? pszPath : "/usr/bin:/bin"));
        m_tmp.emplace("TMPDIR", m_temp.Path());
        g_orv_product_name = "Vexil";
        g_orv_account_user = "tester";
        g_orv_account_password = "secret";
    }
    void TearDown() override {
        g_orv_support_host = "";
        g_orv_support_roots = "";
        g_orv_account_user = "";
        g_orv_account_password = "";
    }
    std::string Opened() { return OrvReadFileBytes(m_temp.File("opened")); }

    OrvTempDir m_temp;
    std::optional<CEnvScope> m_path;
    std::optional<CEnvScope> m_tmp;
};

class CrashWindows : public CrashWindowsTest, public testing::WithParamInterface<SWindowsCase> {};

TEST_P(CrashWindows, WhatTheUserSees) {
    const SWindowsCase& c = GetParam();
    const OrvTempDir& temp = m_temp;
    ASSERT_TRUE(OrvWriteFileBytes(temp.File("dump.tmp"), "MDMP dump"));
    g_orv_support_host = c.bServer ? m_host.c_str() : "";
    g_orv_support_roots = c.bRoots ? m_roots.c_str() : "";
    g_orv_interactive = 1;
    OrvSetCrashWindows(VexilCrashWindows());

    std::string seen;
    {
        CWindowWatcher watcher(c.nAnswer, c.bTicket);
        (void)OrvCrashReportSequence(
            "CRASH",
            "Vexil has crashed and we are sorry for that.\nClick OK to assemble Crash Report.",
            temp.File("dump.tmp").c_str());
        seen = watcher.m_seen;
    }
    OrvSetCrashWindows(nullptr);
    g_orv_interactive = 0;

    const std::vector<std::string> zips = OrvCrashZips(temp);
    ASSERT_EQ(1u, zips.size());
    const std::string& zip = zips[0];
    std::string expected = std::string(kCrashBox) + c.pszSeen;
    for (size_t at = expected.find("%ZIP%"); at != std::string::npos; at = expected.find("%ZIP%"))
        expected.replace(at, 5, zip);
    ExpectLines(expected, seen);
    EXPECT_EQ("-", ProgressText());  // closed at the end
    const std::string requests = Requests();
    EXPECT_EQ(c.bUploaded, requests.find("\"filename\": \"tv_crash_") != std::string::npos)
        << requests;
    const bool bTicketOpened = c.bUploaded && c.bTicket;
    EXPECT_EQ(bTicketOpened ? "https://" + m_host + "/tickets/42\n" : "", Opened());
}

INSTANTIATE_TEST_SUITE_P(Sequence, CrashWindows, testing::ValuesIn(kWindowsCases),
                         [](const testing::TestParamInfo<SWindowsCase>& info) {
                             return std::string(info.param.pszName);
                         });

// Help offers "Send logs to support..." only with a support server; the command sends the logs,
// opens the ticket's page and says so.
TEST_F(CrashWindowsTest, SendLogsFromHelp) {
    for (const bool bServer : {false, true}) {
        g_orv_support_host = bServer ? m_host.c_str() : "";
        g_orv_support_roots = m_roots.c_str();
        CMainFrame frame;
        auto* pSend = frame.findChild<QAction*>(QStringLiteral("send-logs"));
        ASSERT_EQ(bServer, pSend != nullptr);
        if (pSend == nullptr)
            continue;
        CWindowWatcher watcher(1, false);
        pSend->trigger();
        EXPECT_EQ("box [OK] The logs were sent to support. | -\n", watcher.m_seen);
        EXPECT_EQ("https://" + m_host + "/tickets/42\n", Opened());
        EXPECT_NE(std::string::npos, Requests().find("\"filename\": \"vexil-logs.zip\""))
            << Requests();
    }
}

}  // namespace
