// vexil's own options, read before the window exists: --help and --version print and end the
// program; --exit-at-end closes the window once the command has ended; "--" ends the options;
// anything else that starts with "-" before the first word of the command is refused. Every word
// from the first one that is not an option on is the command.
#pragma once

#include <QString>

enum class EVexilStart {
    Run,      // open the window (and run the command when there is one)
    Exit,     // the text goes to standard output; exit code 0
    Refused,  // the text goes to standard error; exit code 2
};

struct SVexilCommandLine {
    EVexilStart eStart = EVexilStart::Run;
    // Run: the index in argv of the command's first word (argc when there is none).
    int nCommandIndex = 0;
    // Run: --exit-at-end was given (close the window once the command has ended).
    bool bExitAtEnd = false;
    // Exit and Refused: what to print, ending with a line end.
    QString strText;
};

// The program's version, as the build gives it ("1.0").
QString VexilVersion();

// Reads the options at the start of argv (the program name first). Needs no QCoreApplication.
SVexilCommandLine VexilParseCommandLine(int argc, char** argv);
