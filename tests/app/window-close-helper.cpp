// Runs the program's frame on the command given as arguments and closes the window after the
// given milliseconds, as a user would; exits with the frame's result. Usage: MS COMMAND...
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "main-frame.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MS COMMAND...\n", argv[0]);
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const int nCloseMs = std::atoi(argv[1]);
    const QString strCommand = VexilCommandFromArgs(argc - 1, argv + 1);
    int nQtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(nQtArgc, qtArgv);
    QTimer::singleShot(nCloseMs, [] {
        for (QWidget* pWidget : QApplication::topLevelWidgets()) {
            if (qobject_cast<CMainFrame*>(pWidget) != nullptr) {
                pWidget->close();
            }
        }
    });
    const int nExit = VexilRun(strCommand);
    std::fflush(nullptr);
    std::_Exit(nExit);
}
