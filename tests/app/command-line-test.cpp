// vexil's own options: what the parser makes of argument lists, and what the real program prints
// and returns for them, without a display.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "command-line.h"
#include "main-frame.h"
#include "support/orv-test-support.h"

namespace {

struct SParsed {
    EVexilStart eStart;
    std::string command;  // the command VexilMain would run (Run only)
};

SParsed Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "vexil");
    const SVexilCommandLine cl =
        VexilParseCommandLine(static_cast<int>(args.size()), const_cast<char**>(args.data()));
    SParsed parsed{cl.eStart, {}};
    if (cl.eStart == EVexilStart::Run) {
        std::vector<const char*> words{"vexil"};
        words.insert(words.end(), args.begin() + cl.nCommandIndex, args.end());
        parsed.command =
            VexilCommandFromArgs(static_cast<int>(words.size()), const_cast<char**>(words.data()))
                .toStdString();
    }
    return parsed;
}

TEST(CommandLine, OptionsEndAtTheCommandOrAtDoubleDash) {
    struct {
        std::vector<const char*> args;
        EVexilStart eStart;
        const char* pszCommand;
    } const cases[] = {
        {{}, EVexilStart::Run, ""},
        {{"ls", "-l"}, EVexilStart::Run, "ls -l"},
        {{"ls", "--help"}, EVexilStart::Run, "ls --help"},
        {{"--", "-x"}, EVexilStart::Run, "-x"},
        {{"--", "--", "a b"}, EVexilStart::Run, "-- 'a b'"},
        {{"echo", "it's", "", "a/b-c.d=e", "$HOME"},
         EVexilStart::Run,
         "echo 'it'\\''s' '' a/b-c.d=e '$HOME'"},
        {{"printf", "%s\\n", "\xc3\xa9t\xc3\xa9", "-platform"},
         EVexilStart::Run,
         "printf '%s\\n' '\xc3\xa9t\xc3\xa9' -platform"},
        {{"--"}, EVexilStart::Run, ""},
        {{"-"}, EVexilStart::Run, "-"},
        {{"ls -l | sort"}, EVexilStart::Run, "ls -l | sort"},
        {{"--help"}, EVexilStart::Exit, ""},
        {{"-h", "ls"}, EVexilStart::Exit, ""},
        {{"--version"}, EVexilStart::Exit, ""},
        {{"-x"}, EVexilStart::Refused, ""},
        {{"--verbose", "ls"}, EVexilStart::Refused, ""},
        {{"-hv"}, EVexilStart::Refused, ""},
    };
    for (const auto& c : cases) {
        const SParsed parsed = Parse(c.args);
        const std::string where = c.args.empty() ? "(none)" : c.args.back();
        EXPECT_EQ(static_cast<int>(parsed.eStart), static_cast<int>(c.eStart)) << where;
        EXPECT_EQ(parsed.command, c.pszCommand) << where;
    }
}

// Runs the program with a shell command line's arguments, no display and no window; returns its
// exit status and what it wrote to standard output and (separately) standard error.
int RunVexil(const std::string& args, std::string& out, std::string& err) {
    const std::string errFile = ::testing::TempDir() + "vexil-cli-stderr";
    int nStatus = -1;
    out = OrvRunCapture("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " VEXIL_BINARY " " +
                            args + " 2>" + errFile,
                        &nStatus);
    err = OrvReadFileBytes(errFile);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

TEST(CommandLine, TheProgramPrintsAndExitsWithoutAWindow) {
    std::string out, err;
    EXPECT_EQ(RunVexil("--help", out, err), 0);
    EXPECT_EQ(out.rfind("Usage: vexil ", 0), 0u) << out;
    EXPECT_EQ(err, "");

    EXPECT_EQ(RunVexil("--version", out, err), 0);
    EXPECT_EQ(out, "vexil " + VexilVersion().toStdString() + "\n");
    EXPECT_NE(VexilVersion(), QString());

    EXPECT_EQ(RunVexil("--bogus ls", out, err), 2);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("bogus"), std::string::npos) << err;
    EXPECT_NE(err.find("Usage: vexil "), std::string::npos) << err;

    // Without a display a command is not run, and the program says so by its status alone.
    EXPECT_EQ(RunVexil("-- -x", out, err), 0);
    EXPECT_EQ(out, "");
}

}  // namespace
