// A command's life in the real window: Stop, the status bar's running time and exit status, the
// end line on a line of its own, and colours drawn and kept out of the saved file.
#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>
#include <csignal>
#include <string>

#include "console-pipe.h"
#include "main-frame.h"
#include "support/orv-test-support.h"
#include "window-test-util.h"

namespace {

class RunTest : public CShownFrameTest {
protected:
    void TearDown() override {
        if (View().IsRunning()) {
            View().Stop();
        }
        CShownFrameTest::TearDown();
        g_nPipeKillDelayMs = 3000;
    }
    QString StatusBarText() {
        auto* pStatus = m_pFrame->statusBar()->findChild<QLabel*>(QStringLiteral("status"));
        return pStatus != nullptr ? pStatus->text() : QString();
    }
    void Run(const QString& strCommand) {
        View().SetCommand(strCommand);
        View().OnRun();
    }
};

}  // namespace

TEST(StatusTexts, DurationsAndExits) {
    for (const auto& [nMs, psz] : {std::pair{0, "0.0 s"},
                                   {3499, "3.4 s"},
                                   {12900, "12 s"},
                                   {125000, "2 min 5 s"},
                                   {3780000, "1 h 3 min"}}) {
        EXPECT_EQ(VexilDurationText(nMs), QString::fromLatin1(psz));
    }
    struct Case {
        CPipeExit exit;
        qint64 nMs;
        const char* pszText;
    };
    const Case cases[] = {
        {{CPipeExit::EKind::Exited, 2}, 3400, "Exit code 2 after 3.4 s"},
        {{CPipeExit::EKind::Signalled, SIGSEGV, true},
         100,
         "Killed by SIGSEGV (core dumped) after 0.1 s"},
        {{CPipeExit::EKind::Signalled, SIGTERM, false, true},
         12000,
         "Stopped (SIGTERM) after 12 s"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VexilExitText(c.exit, c.nMs), QString::fromLatin1(c.pszText));
    }
}

TEST_F(RunTest, StopEndsARunningCommandAndTheStatusBarFollows) {
    QAction* pStop = m_pFrame->ActionStop();
    Run(QStringLiteral("echo begun; sleep 600"));
    ASSERT_TRUE(View().IsRunning());
    EXPECT_TRUE(pStop->isEnabled());
    // whole seconds while it runs (a loaded machine may skip one)
    EXPECT_TRUE(WaitFor([&] {
        return QRegularExpression(QStringLiteral("^Running for [1-9] s$"))
            .match(StatusBarText())
            .hasMatch();
    }));
    ASSERT_TRUE(WaitFor([&] { return PaneText(Pane()).find(u"begun") != std::u16string::npos; }));
    pStop->trigger();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_FALSE(pStop->isEnabled());
    EXPECT_EQ(PaneText(Pane()),
              u"--- echo begun; sleep 600 ---\r\nbegun\r\n--- End of Log ---\r\n\r\n");
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Stopped \\(SIGTERM\\) after \\d\\.\\d s$"))
                    .match(StatusBarText())
                    .hasMatch())
        << StatusBarText().toStdString();
}

TEST_F(RunTest, AfterStopAProcessThatLeftTheGroupKeepsRunningAndTheStatusBarSaysSo) {
    g_nPipeKillDelayMs = 300;
    // the process tells its number once it has left the group
    Run(QStringLiteral("setsid sh -c 'echo \"pid=$$\"; exec sleep 60' & sleep 600"));
    QRegularExpressionMatch pid;
    ASSERT_TRUE(WaitFor([&] {
        pid = QRegularExpression(QStringLiteral("pid=(\\d+)\r\n")).match(Pane().GetText());
        return pid.hasMatch();
    }));
    const pid_t nLeft = pid.captured(1).toInt();
    View().Stop();
    EXPECT_TRUE(WaitFor([&] {
        return StatusBarText().startsWith(
            QStringLiteral("Stopped (SIGTERM); a process that left its group keeps the output "
                           "open ("));
    })) << StatusBarText().toStdString();
    // the shell is gone, the process that left the group still runs and holds the output
    EXPECT_TRUE(View().IsRunning());
    EXPECT_EQ(kill(nLeft, 0), 0);
    kill(nLeft, SIGKILL);
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(StatusBarText().startsWith(QStringLiteral("Stopped (SIGTERM) after ")))
        << StatusBarText().toStdString();
}

TEST_F(RunTest, EndLineOnALineOfItsOwnThenTheExitStatus) {
    // standard error arrives in the pane too; a second run goes below the first
    Run(QStringLiteral("echo err 1>&2; printf abc; exit 2"));
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Exit code 2 after \\d\\.\\d s$"))
                    .match(StatusBarText())
                    .hasMatch())
        << StatusBarText().toStdString();
    Run(QStringLiteral("echo def; kill -SEGV $$"));
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(StatusBarText().startsWith(QStringLiteral("Killed by SIGSEGV")))
        << StatusBarText().toStdString();
    EXPECT_EQ(PaneText(Pane()),
              u"--- echo err 1>&2; printf abc; exit 2 ---\r\nerr\r\nabc\r\n--- End of Log ---\r\n"
              u"\r\n--- echo def; kill -SEGV $$ ---\r\ndef\r\n--- End of Log ---\r\n\r\n");
}

TEST_F(RunTest, ColoursAreDrawnAndTheSavedFileHasNoEscapesAndOnePairPerLineEnd) {
    Run(QStringLiteral(
        "printf '\\033[41m        \\033[0m \\033]0;title\\007\\033[1;34mblue\\033[0m\\033[2K "
        "plain\\n'"));
    ASSERT_TRUE(WaitForEnd());
    const std::u16string text = PaneText(Pane());
    const size_t nLine = text.find(u"         blue plain\r\n");
    ASSERT_NE(nLine, std::u16string::npos) << std::string(text.begin(), text.end());
    const int nBlue = static_cast<int>(nLine) + 9;
    EXPECT_EQ(Pane().AttrAt(nBlue).nFore, CTextAttr::kColourIndexed | 4);
    EXPECT_EQ(Pane().AttrAt(nBlue).nFlags, CTextAttr::kBold);
    EXPECT_EQ(Pane().AttrAt(static_cast<int>(nLine)).nBack, CTextAttr::kColourIndexed | 1);
    EXPECT_TRUE(Pane().AttrAt(nBlue + 4).IsDefault());
    // the red background reaches the screen
    Pane().FlushLayout();
    const QImage image = Pane().viewport()->grab().toImage();
    int nRed = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            nRed += c.red() > 150 && c.green() < 80 && c.blue() < 80;
        }
    }
    EXPECT_GT(nRed, 100);

    OrvTempDir dir;
    COrvStringA strError;
    ASSERT_TRUE(View().SaveLog(dir.File("log.txt").c_str(), strError));
    const std::string saved = OrvReadFileBytes(dir.File("log.txt"));
    EXPECT_EQ(saved.find('\x1b'), std::string::npos);
    EXPECT_NE(saved.find("         blue plain\r\n--- End"), std::string::npos) << saved;
}
