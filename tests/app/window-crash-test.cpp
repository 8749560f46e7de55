// The windows of vexil's crash-report mode (offscreen): the crash dialog, and the interactive crash
// sequence against the test support server as the user sees it, box by box.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <string>

#include "crash-report.h"
#include "crash/crash-support-server.h"
#include "orv-crash-helper.h"
#include "orv-crash-report.h"
#include "orv-crash.h"
#include "orv-log.h"

namespace {

// The kind is cut to the title's 31 characters; the path is shown escaped and links to its folder.
TEST(CrashDialog, TitleLinkAndCheckBox) {
    std::unique_ptr<QDialog> dialog(
        VexilMakeCrashDialog("A-KIND-NAME-LONGER-THAN-THIRTY-ONE", "/tmp/a<b/x.zip"));
    EXPECT_EQ(QStringLiteral("A-KIND-NAME-LONGER-THAN-THIRTY-"), dialog->windowTitle());
    EXPECT_EQ(QStringLiteral("<a href=\"file:///tmp/a%3Cb\">/tmp/a&lt;b/x.zip</a>"),
              dialog->findChild<QLabel*>(QStringLiteral("link"))->text());
}

// The progress window's text, or "-" when it is not shown.
std::string ProgressText() {
    for (QWidget* p : QApplication::topLevelWidgets())
        if (p->objectName() == QStringLiteral("crash-progress") && p->isVisible())
            return p->findChild<QLabel*>(QStringLiteral("progress"))->text().toStdString();
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

// The support server, a temporary folder as TMPDIR, an xdg-open that notes the address it is
// given instead of opening it, and the account of support requests.
class CrashWindows : public CrashSupportServer {
protected:
    void SetUp() override {
        CrashSupportServer::SetUp();
        ASSERT_TRUE(OrvWriteFileBytes(m_temp.File("xdg-open"),
                                      "#!/bin/sh\necho \"$1\" >> \"$(dirname \"$0\")/opened\"\n"));
        ASSERT_EQ(0, chmod(m_temp.File("xdg-open").c_str(), 0755));
        g_orv_product_name = "Vexil";
        g_orv_account_user = "tester";
        g_orv_account_password = "secret";
    }
    void TearDown() override {
        g_orv_support_host = g_orv_support_roots = g_orv_account_user = g_orv_account_password = "";
    }
    // What the steps since the last call sent and opened.
    std::string Sent() {
        const std::string sent = Requests() + "opened: " + OrvReadFileBytes(m_temp.File("opened"));
        (void)OrvWriteFileBytes(m_dir.File("requests.jsonl"), "");
        (void)OrvWriteFileBytes(m_temp.File("opened"), "");
        return sent;
    }

    OrvTempDir m_temp;
    OrvScopedEnv m_path{"PATH", (m_temp.Path() + ":" + getenv("PATH")).c_str()};
    OrvScopedEnv m_tmp{"TMPDIR", m_temp.Path().c_str()};
};

// The interactive crash sequence as the user sees it: the crash message, then (with a support
// server) the crash dialog, whose OK uploads and, with the check box, opens the ticket's page.
TEST_F(CrashWindows, WhatTheUserSees) {
    const std::string closing = " | ---closing zip file---\n";
    const struct {
        bool bServer;      // a support server is configured
        bool bRoots;       // its certificate is trusted
        int nAnswer;       // the crash dialog's answer: 1 OK (it uploads), 2 Cancel (Escape)
        bool bTicket;      // the ticket check box when answering
        std::string seen;  // after the crash message; %ZIP% stands for the archive's path
    } kCases[] = {
        {false, true, 1, true,
         "box [OK] Crash report kept in %ZIP%: no support server is set" + closing},
        {true, true, 2, true, "dialog CRASH" + closing},
        {true, true, 1, true, "dialog CRASH" + closing},
        {true, false, 1, false,
         "dialog CRASH" + closing +
             "box [OK] Sending Crash Report:/%ZIP%/"
             "Cannot upload crash report: No Certificate or it does not verify"},
    };
    ASSERT_TRUE(OrvWriteFileBytes(m_temp.File("dump.tmp"), "MDMP dump"));
    g_orv_interactive = 1;
    OrvSetCrashWindows(VexilCrashWindows());
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.seen);
        g_orv_support_host = c.bServer ? m_host.c_str() : "";
        g_orv_support_roots = c.bRoots ? m_roots.c_str() : "";
        CWindowWatcher watcher(c.nAnswer, c.bTicket);
        (void)OrvCrashReportSequence(
            "CRASH",
            "Vexil has crashed and we are sorry for that.\nClick OK to assemble Crash Report.",
            m_temp.File("dump.tmp").c_str());
        const std::vector<std::string> zips = OrvCrashZips(m_temp);
        ASSERT_FALSE(zips.empty());
        std::string expected = std::string(
                                   "box [OK] Vexil has crashed and we are sorry for that./"
                                   "Click OK to assemble Crash Report. | -\n") +
                               c.seen;
        for (size_t at = expected.find("%ZIP%"); at != std::string::npos;
             at = expected.find("%ZIP%"))
            expected.replace(at, 5, zips.back());
        EXPECT_EQ(expected, watcher.m_seen.substr(0, expected.size()));
        // As many windows as expected, the last one's text perhaps cut short.
        EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n') + (expected.back() != '\n'),
                  std::count(watcher.m_seen.begin(), watcher.m_seen.end(), '\n'))
            << watcher.m_seen;
        EXPECT_EQ("-", ProgressText());  // closed at the end
        const std::string sent = Sent();
        const bool bUploaded = c.bServer && c.bRoots && c.nAnswer == 1;
        EXPECT_EQ(bUploaded, sent.find("\"filename\": \"tv_crash_") != std::string::npos) << sent;
        EXPECT_EQ(bUploaded && c.bTicket,
                  sent.find("opened: https://" + m_host + "/tickets/42\n") != std::string::npos)
            << sent;
        for (const std::string& zip : zips)
            unlink(zip.c_str());
    }
    OrvSetCrashWindows(nullptr);
    g_orv_interactive = 0;
}

}  // namespace
