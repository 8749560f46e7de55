// A command's life in the real window: Stop, the status bar's running time and exit status, the
// end line on a line of its own, and colours kept out of the saved file.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>
#include <string>

#include "main-frame.h"
#include "support/orv-test-support.h"
#include "window-test-util.h"

class RunTest : public CShownFrameTest {};

TEST_F(RunTest, ColoursAndStandardErrorReachThePaneTheEndLineHasALineOfItsOwnAndTheStatus) {
    View().SetCommand(
        QStringLiteral("echo err 1>&2; printf '\\033[41m        \\033[0m \\033]0;title\\007"
                       "\\033[1;34mblue\\033[0m\\033[2K plain\\nabc'; exit 2"));
    View().OnRun();
    ASSERT_TRUE(WaitForEnd());
    auto* pStatus = m_pFrame->statusBar()->findChild<QLabel*>(QStringLiteral("status"));
    ASSERT_NE(pStatus, nullptr);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Exit code 2 after \\d\\.\\d s$"))
                    .match(pStatus->text())
                    .hasMatch())
        << pStatus->text().toStdString();
    const std::u16string text = PaneText(Pane());
    const size_t nLine = text.find(u"         blue plain\r\nabc\r\n--- End of Log ---\r\n\r\n");
    ASSERT_NE(nLine, std::u16string::npos) << std::string(text.begin(), text.end());
    EXPECT_NE(text.find(u"---\r\nerr\r\n"), std::u16string::npos);
    const int nBlue = static_cast<int>(nLine) + 9;
    EXPECT_EQ(Pane().AttrAt(nBlue).nFore, CTextAttr::kColourIndexed | 4);
    EXPECT_EQ(Pane().AttrAt(nBlue).nFlags, CTextAttr::kBold);
    EXPECT_EQ(Pane().AttrAt(static_cast<int>(nLine)).nBack, CTextAttr::kColourIndexed | 1);
    EXPECT_TRUE(Pane().AttrAt(nBlue + 4).IsDefault());
    // the red background reaches the screen, eight columns of one line, and so do the letters
    // in blue
    Pane().FlushLayout();
    const QImage image = Pane().viewport()->grab().toImage();
    int nRed = 0;
    int nBlueText = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            nRed += c.red() > 150 && c.green() < 80 && c.blue() < 80;
            nBlueText += c.blue() > 120 && c.red() < 60 && c.green() < 100;
        }
    }
    EXPECT_GT(nBlueText, 0);
    const QFontMetrics fm(Pane().font());
    EXPECT_EQ(nRed, 8 * fm.horizontalAdvance(QLatin1Char('M')) * fm.lineSpacing());
    // the saved file has no escapes
    OrvTempDir dir;
    COrvStringA strError;
    ASSERT_TRUE(View().SaveLog(dir.File("log.txt").c_str(), strError));
    const std::string saved = OrvReadFileBytes(dir.File("log.txt"));
    EXPECT_EQ(saved.find('\x1b'), std::string::npos);
    EXPECT_NE(saved.find("         blue plain\r\nabc\r\n--- End"), std::string::npos) << saved;
}
