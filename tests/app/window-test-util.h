// Helpers of the window tests: waiting on the event loop, the pane's text and a shown frame.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <memory>
#include <string>

#include "main-frame.h"
#include "output-pane.h"

// Processes events until pred holds; false when nMs passed first.
template <class Pred>
bool WaitFor(Pred pred, int nMs = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > nMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

inline std::u16string PaneText(const COutputPane& pane) {
    return std::u16string(pane.Text().Data(), static_cast<size_t>(pane.Text().GetLength()));
}

// A test on the main frame, shown and active; before the next test, a command that still runs is
// waited for and the frame goes.
class CShownFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pFrame = std::make_unique<CMainFrame>();
        m_pFrame->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pFrame.get()));
        m_pFrame->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_pFrame.get()));
    }
    void TearDown() override {
        WaitFor([&] { return !View().IsRunning(); });
        m_pFrame.reset();
    }
    CVexilView& View() { return m_pFrame->View(); }
    COutputPane& Pane() { return *View().OutputPane(); }
    bool WaitForEnd() {
        return WaitFor([&] { return !View().IsRunning(); }, 20000);
    }

    std::unique_ptr<CMainFrame> m_pFrame;
};
