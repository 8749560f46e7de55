// The crash dialog of vexil's crash-report mode (offscreen): its texts and check box, OK and
// Cancel, and the interactive crash sequence against the test support server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <string>

#include "crash-report.h"
#include "orv-crash-helper.h"
#include "orv-crash-report.h"
#include "orv-crash.h"
#include "orv-log.h"
#include "support/orv-test-servers.h"
#include "support/orv-test-support.h"

namespace {

QString Text(QDialog* pDialog, const char* pszName) {
    return pDialog->findChild<QLabel*>(QString::fromLatin1(pszName))->text();
}

TEST(CrashDialog, TextsLinkAndCheckBox) {
    QDialog* pDialog = VexilMakeCrashDialog("A-KIND-NAME-LONGER-THAN-THIRTY-ONE", "/tmp/a<b/x.zip");
    EXPECT_EQ(QStringLiteral("A-KIND-NAME-LONGER-THAN-THIRTY-"), pDialog->windowTitle());
    EXPECT_TRUE(pDialog->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(QStringLiteral("Application crashed or asserted and will be closed now.\r\nClick OK "
                             "to send a diagnostic file to help us fix the problem."),
              Text(pDialog, "intro"));
    EXPECT_EQ(QStringLiteral("If file cannot be uploaded, please attach it to ticket. This file "
                             "will be sent:"),
              Text(pDialog, "note"));
    // The path is shown as text (escaped) and links to its folder.
    EXPECT_EQ(QStringLiteral("<a href=\"file:///tmp/a%3Cb\">/tmp/a&lt;b/x.zip</a>"),
              Text(pDialog, "link"));
    auto* pTicket = pDialog->findChild<QCheckBox*>(QStringLiteral("ticket"));
    EXPECT_EQ(QStringLiteral("Open Browser Window to create a ticket in Product Support System"),
              pTicket->text());
    EXPECT_TRUE(pTicket->isChecked());
    delete pDialog;
}

// Acts on the crash dialog once it is shown: OK (with the check box cleared) or Escape.
void AnswerDialog(bool bOk) {
    QTimer::singleShot(50, [bOk] {
        auto* pDialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (pDialog == nullptr) {
            AnswerDialog(bOk);
            return;
        }
        if (bOk) {
            pDialog->findChild<QCheckBox*>(QStringLiteral("ticket"))->setChecked(false);
            pDialog->findChild<QPushButton*>(QStringLiteral("ok"))->click();
        } else {
            QTest::keyClick(pDialog, Qt::Key_Escape);
        }
    });
}

TEST(CrashDialog, OkAndCancel) {
    bool bTicket = false;
    AnswerDialog(false);
    EXPECT_EQ(2, VexilCrashDialog("CRASH", "/tmp/x.zip", bTicket));
    EXPECT_TRUE(bTicket);
    AnswerDialog(true);
    EXPECT_EQ(1, VexilCrashDialog("CRASH", "/tmp/x.zip", bTicket));
    EXPECT_FALSE(bTicket);
}

// The interactive sequence: OK uploads the archive, Cancel sends nothing.
TEST(CrashDialog, OkUploadsCancelSendsNothing) {
    OrvTempDir dir;
    OrvTestProcess server;
    std::string error;
    ASSERT_TRUE(server.Start({"python3", ORV_CRASH_SUPPORT_SCRIPT, dir.Path()},
                             dir.File("server.log"), error))
        << error;
    ASSERT_TRUE(
        OrvWaitFor([&] { return server.Output().find("port=") != std::string::npos; }, 30000));
    const std::string out = server.Output();
    const std::string host = "127.0.0.1:" + out.substr(out.find("port=") + 5, out.find('\n') - 5);
    OrvTempDir temp;
    const char* pszOldTemp = getenv("TMPDIR");
    const std::string oldTemp = pszOldTemp ? pszOldTemp : "";
    setenv("TMPDIR", temp.Path().c_str(), 1);
    ASSERT_TRUE(OrvWriteFileBytes(temp.File("dump.tmp"), "MDMP dump"));
    g_orv_support_host = host.c_str();
    g_orv_support_roots = dir.File("ca.pem").c_str();
    g_orv_interactive = 1;
    OrvSetCrashDialog(VexilCrashDialog);

    AnswerDialog(false);
    EXPECT_TRUE(OrvCrashReportSequence("CRASH", "crashed", temp.File("dump.tmp").c_str()));
    EXPECT_EQ("", OrvReadFileBytes(dir.File("requests.jsonl")));
    AnswerDialog(true);
    EXPECT_TRUE(OrvCrashReportSequence("CRASH", "crashed", temp.File("dump.tmp").c_str()));
    const std::string requests = OrvReadFileBytes(dir.File("requests.jsonl"));
    EXPECT_NE(std::string::npos, requests.find("\"path\": \"/scripts/upload-file\"")) << requests;
    EXPECT_NE(std::string::npos, requests.find("\"filename\": \"tv_crash_")) << requests;

    OrvSetCrashDialog(nullptr);
    g_orv_interactive = 0;
    g_orv_support_host = "";
    g_orv_support_roots = "";
    if (pszOldTemp)
        setenv("TMPDIR", oldTemp.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

}  // namespace
