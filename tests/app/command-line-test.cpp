// vexil's own options: what the parser makes of argument lists, and what the real program prints
// and returns for them, without a display and with --exit-at-end.
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
    bool bExitAtEnd;
};

SParsed Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "vexil");
    const SVexilCommandLine cl =
        VexilParseCommandLine(static_cast<int>(args.size()), const_cast<char**>(args.data()));
    SParsed parsed{cl.eStart, {}, cl.bExitAtEnd};
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
        bool bExitAtEnd = false;
    } const cases[] = {
        {{}, EVexilStart::Run, ""},
        {{"ls", "--help"}, EVexilStart::Run, "ls --help"},
        {{"--", "--", "a b"}, EVexilStart::Run, "-- 'a b'"},
        {{"echo", "it's", "", "a/b-c.d=e", "$HOME"},
         EVexilStart::Run,
         "echo 'it'\\''s' '' a/b-c.d=e '$HOME'"},
        {{"printf", "%s\\n", "\xc3\xa9t\xc3\xa9", "-platform"},
         EVexilStart::Run,
         "printf '%s\\n' '\xc3\xa9t\xc3\xa9' -platform"},
        {{"-"}, EVexilStart::Run, "-"},
        {{"ls -l | sort"}, EVexilStart::Run, "ls -l | sort"},
        {{"--exit-at-end", "ls", "-l"}, EVexilStart::Run, "ls -l", true},
        {{"ls", "--exit-at-end"}, EVexilStart::Run, "ls --exit-at-end"},
        {{"--", "--exit-at-end"}, EVexilStart::Run, "--exit-at-end"},
        {{"-h", "ls"}, EVexilStart::Exit, ""},
        {{"--version"}, EVexilStart::Exit, ""},
        {{"--verbose", "ls"}, EVexilStart::Refused, ""},
        {{"-hv"}, EVexilStart::Refused, ""},
    };
    for (const auto& c : cases) {
        const SParsed parsed = Parse(c.args);
        const std::string where = c.args.empty() ? "(none)" : c.args.back();
        EXPECT_EQ(static_cast<int>(parsed.eStart), static_cast<int>(c.eStart)) << where;
        EXPECT_EQ(parsed.command, c.pszCommand) << where;
        EXPECT_EQ(parsed.bExitAtEnd, c.bExitAtEnd) << where;
    }
}

// Runs the program with a shell command line's arguments and the environment given; returns its
// exit status and what it wrote to standard output and (separately) standard error.
int RunVexil(const std::string& env, const std::string& args, std::string& out, std::string& err) {
    const std::string errFile = ::testing::TempDir() + "vexil-cli-stderr";
    int nStatus = -1;
    out = OrvRunCapture("env " + env + " timeout 60 " VEXIL_BINARY " " + args + " 2>" + errFile,
                        &nStatus);
    err = OrvReadFileBytes(errFile);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

TEST(CommandLine, TheProgramPrintsAndExitsWithoutAWindowOrWhenTheCommandEnds) {
    const std::string noDisplay = "-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM";
    std::string out, err;
    EXPECT_EQ(RunVexil(noDisplay, "--help", out, err), 0);
    EXPECT_EQ(out.rfind("Usage: vexil ", 0), 0u) << out;
    EXPECT_EQ(err, "");
    EXPECT_EQ(RunVexil(noDisplay, "--version", out, err), 0);
    EXPECT_EQ(out, "vexil " + VexilVersion().toStdString() + "\n");
    EXPECT_EQ(RunVexil(noDisplay, "--bogus ls", out, err), 2);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("bogus"), std::string::npos) << err;
    EXPECT_NE(err.find("Usage: vexil "), std::string::npos) << err;
    // With --exit-at-end the window closes by itself with the command's status.
    OrvTempDir state;
    const std::string env = "QT_QPA_PLATFORM=offscreen XDG_STATE_HOME='" + state.Path() + "'";
    EXPECT_EQ(RunVexil(env, "--exit-at-end 'echo shown; exit 3'", out, err), 3);
    EXPECT_EQ(RunVexil(env, "--exit-at-end 'kill -TERM $$'", out, err), 128 + 15);
}

}  // namespace
