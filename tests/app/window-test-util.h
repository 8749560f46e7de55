// Helpers of the window tests: waiting on the event loop and answering modal dialogs.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <functional>
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

// What a message box showed.
struct CSeenBox {
    bool bSeen = false;
    QString strTitle;
    QString strText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int nButtons = 0;
};

// Arms a poll that waits for the next modal widget of type T (that bAccept, when given, takes)
// and hands it to fn, which must close it; gives up after nMs. Call before the action that opens
// the dialog.
template <class T = QWidget>
void OnNextModal(std::function<void(T*)> fn, std::function<bool(T*)> bAccept = {},
                 int nMs = 10000) {
    // owned by the application, so that a timer still waiting when a test ends is freed with it
    auto* pTimer = new QTimer(qApp);
    auto pElapsed = std::make_shared<QElapsedTimer>();
    pElapsed->start();
    QObject::connect(pTimer, &QTimer::timeout, [pTimer, pElapsed, fn, bAccept, nMs] {
        T* pModal = qobject_cast<T*>(QApplication::activeModalWidget());
        if (pModal != nullptr && bAccept && !bAccept(pModal)) {
            pModal = nullptr;
        }
        if (pModal == nullptr && pElapsed->elapsed() < nMs) {
            return;
        }
        pTimer->stop();
        pTimer->deleteLater();
        if (pModal != nullptr) {
            fn(pModal);
        }
    });
    pTimer->start(20);
}

// Records the next message box (that bAccept, when given, takes) and closes it with the answer
// given, or rejects it when it has no such button.
inline std::shared_ptr<CSeenBox> ExpectMessageBox(
    QMessageBox::StandardButton answer = QMessageBox::Ok,
    std::function<bool(QMessageBox*)> bAccept = {}) {
    auto pSeen = std::make_shared<CSeenBox>();
    OnNextModal<QMessageBox>(
        [pSeen, answer](QMessageBox* pBox) {
            pSeen->bSeen = true;
            pSeen->strTitle = pBox->windowTitle();
            pSeen->strText = pBox->text();
            pSeen->icon = pBox->icon();
            pSeen->nButtons = static_cast<int>(pBox->buttons().size());
            QAbstractButton* pButton = pBox->button(answer);
            if (pButton != nullptr) {
                pButton->click();
            } else {
                pBox->reject();
            }
        },
        std::move(bAccept));
    return pSeen;
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
