// vexil: runs a command line and shows its output, as it is written, in a window.
#include <cstdio>
#include <cstdlib>

#include "crash-report.h"
#include "main-frame.h"
#include "orv-crash-report.h"
#include "orv-crash.h"

int main(int argc, char** argv) {
    // Started by a crashing vexil to report its crash: the crash-report mode, with its dialog.
    OrvSetCrashWindows(VexilCrashWindows());
    const int nHelper = OrvCrashHelperMain(argc, argv);
    if (nHelper >= 0) {
        std::fflush(nullptr);
        std::_Exit(nHelper);
    }
    const int nExit = VexilMain(argc, argv);
    // A command may still be running, with its reader thread blocked on the child's output: end
    // the process without running static destructors under that thread.
    std::fflush(nullptr);
    std::_Exit(nExit);
}
