// vexil's own options: what the parser makes of argument lists, and what the real program prints
// and returns for them, without a display and with --exit-at-end.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <string>
#include <vector>

#include "command-line.h"
#include "main-frame.h"
#include "support/orv-test-support.h"

namespace {

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
        {{"ls -l | sort"}, EVexilStart::Run, "ls -l | sort"},
        {{"--exit-at-end", "ls", "-l"}, EVexilStart::Run, "ls -l", true},
        {{"ls", "--exit-at-end"}, EVexilStart::Run, "ls --exit-at-end"},
        {{"-h", "ls"}, EVexilStart::Exit, ""},
        {{"-hv"}, EVexilStart::Refused, ""},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.back());
        c.args.insert(c.args.begin(), "vexil");
        const SVexilCommandLine cl = VexilParseCommandLine(static_cast<int>(c.args.size()),
                                                           const_cast<char**>(c.args.data()));
        EXPECT_EQ(std::pair(static_cast<int>(cl.eStart), cl.bExitAtEnd),
                  std::pair(static_cast<int>(c.eStart), c.bExitAtEnd));
        if (cl.eStart == EVexilStart::Run) {  // the command VexilMain would run
            std::vector<const char*> words{"vexil"};
            words.insert(words.end(), c.args.begin() + cl.nCommandIndex, c.args.end());
            EXPECT_EQ(VexilCommandFromArgs(static_cast<int>(words.size()),
                                           const_cast<char**>(words.data()))
                          .toStdString(),
                      c.pszCommand);
        }
    }
}

// Runs the program through the shell with env(1)'s words (NAME=value sets, -u NAME removes) and a
// shell command line's arguments; its exit status, what it wrote to standard output and, apart,
// to standard error.
int RunVexil(const std::string& env, const std::string& args, std::string& out, std::string& err) {
    // one file per test process: ctest runs the cases of this file side by side
    const std::string errFile =
        ::testing::TempDir() + "vexil-cli-stderr-" + std::to_string(getpid());
    int nStatus = -1;
    out = OrvRunCapture("env " + env + " timeout 60 " VEXIL_BINARY " " + args + " 2>" + errFile,
                        &nStatus);
    err = OrvReadFileBytes(errFile);
    unlink(errFile.c_str());
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

TEST(CommandLine, TheProgramPrintsAndExitsWithoutAWindowOrWhenTheCommandEnds) {
    const std::string noDisplay = "-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM";
    const std::string offscreen = "QT_QPA_PLATFORM=offscreen";
    const struct {
        std::string env;
        std::string args;
        int nStatus;
        std::string out;     // what standard output begins with
        const char* pszErr;  // what standard error holds
    } cases[] = {
        {noDisplay, "--help", 0, "Usage: vexil ", ""},
        {noDisplay, "--version", 0, "vexil " + VexilVersion().toStdString() + "\n", ""},
        {noDisplay, "--bogus ls", 2, "", "Usage: vexil "},
        {noDisplay, "echo hi", 0, "", ""},
        {noDisplay + " DISPLAY=:97", "", 0, "", ""},  // a display that does not exist is none
        // with --exit-at-end the window closes by itself with the command's status
        {offscreen, "--exit-at-end 'echo shown; exit 3'", 3, "", ""},
        {offscreen, "--exit-at-end 'kill -TERM $$'", 128 + 15, "", ""},
    };
    for (const auto& c : cases) {
        std::string out, err;
        EXPECT_EQ(RunVexil(c.env, c.args, out, err), c.nStatus) << c.args << err;
        EXPECT_EQ(out.substr(0, c.out.size()), c.out) << c.args;
        EXPECT_NE(err.find(c.pszErr), std::string::npos) << c.args << err;
    }
}

TEST(CommandLine, TheCommandRunsExactlyAsGivenInItsOwnFolderInTheCAndALatin1Locale) {
    OrvTempDir dir;
    std::string out, err;
    // Qt would take "-platform" and the word after it for itself: here both belong to the command
    // (as $0 and $1 of the inner shell).
    ASSERT_EQ(RunVexil("QT_QPA_PLATFORM=offscreen",
                       "--exit-at-end sh -c 'pwd > \"$1\"' -platform '" + dir.File("pwd") + "'",
                       out, err),
              0)
        << err;
    EXPECT_EQ(OrvReadFileBytes(dir.File("pwd")),
              std::filesystem::canonical(VEXIL_BINARY).parent_path().string() + "\n");
    for (const char* pszName : {"a.txt", "b.txt", "\xC3\xBC.txt"}) {
        ASSERT_TRUE(OrvWriteFileBytes(dir.File(pszName), "x"));
    }
    // the C locale, as under service managers: the u-umlaut must not become a "?" wildcard;
    // Latin-1: the argument's byte for the u-umlaut reaches the shell as that byte
    for (const auto& [pszLocale, command] :
         {std::pair{"LC_ALL=C", "rm '" + dir.Path() + "/\xC3\xBC.txt'"},
          {"LC_ALL=de_DE.ISO-8859-1", "printf '\xFC' > '" + dir.File("latin") + "'"}}) {
        ASSERT_EQ(
            RunVexil("-u LANG -u LC_CTYPE QT_QPA_PLATFORM=offscreen " + std::string(pszLocale),
                     "--exit-at-end \"" + command + "\"", out, err),
            0)
            << pszLocale << " (make setup puts the locales there) " << err;
    }
    EXPECT_EQ(OrvReadFileBytes(dir.File("a.txt")) + OrvReadFileBytes(dir.File("b.txt")), "xx");
    EXPECT_NE(access(dir.File("\xC3\xBC.txt").c_str(), F_OK), 0);
    EXPECT_EQ(OrvReadFileBytes(dir.File("latin")), "\xFC");
}

}  // namespace
