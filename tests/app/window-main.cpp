// Entry of the window tests: one QApplication for the whole run, on the offscreen platform unless
// the environment names another, and the library's UI-thread services over it.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "qt-ui-thread.h"
#include "support/orv-test-support.h"

int main(int argc, char** argv) {
    // Test discovery runs this program at build time, where no display may exist.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    // Qt's file dialog keeps its last folder and history in the user's configuration; test
    // processes running side by side would read each other's. Each run gets a folder of its own.
    OrvTempDir configHome;
    setenv("XDG_CONFIG_HOME", configHome.Path().c_str(), 1);
    // The views keep their command history there: not in the user's.
    OrvTempDir stateHome;
    setenv("XDG_STATE_HOME", stateHome.Path().c_str(), 1);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    int nResult = 0;
    {
        CQtUiThread ui;
        OrvSetUiThread(&ui);
        nResult = RUN_ALL_TESTS();
        ui.Close();
        OrvSetUiThread(nullptr);
    }
    return nResult;
}
