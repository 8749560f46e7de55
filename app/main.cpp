// vexil: runs a command line and shows its output, as it is written, in a window.
#include <cstdio>
#include <cstdlib>

#include "main-frame.h"

int main(int argc, char** argv) {
    const int nExit = VexilMain(argc, argv);
    // A command may still be running, with its reader thread blocked on the child's output: end
    // the process without running static destructors under that thread.
    std::fflush(nullptr);
    std::_Exit(nExit);
}
