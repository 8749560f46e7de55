// The real program's start-up: without a display, the command line, the program's folder and the
// locale.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "support/orv-test-support.h"

extern char** environ;

namespace {

// Runs a program through env(1), which takes "NAME=value" to set a variable and "-u", "NAME" to
// remove one before the program's own arguments. Without a file to wait for: its exit code, or -1
// when it did not end within 20 s. With one: 0 once the file appeared (the tests' commands make
// theirs whole by a rename or write it last), then the program is killed; -1 when it did not.
int RunProgram(std::vector<std::string> args, const std::string& untilFile = "") {
    args.insert(args.begin(), "/usr/bin/env");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -2;
    }
    int nStatus = 0;
    const bool bDone = OrvWaitFor(
        [&] {
            return untilFile.empty() ? waitpid(pid, &nStatus, WNOHANG) != 0
                                     : access(untilFile.c_str(), F_OK) == 0;
        },
        20000);
    if (!bDone || !untilFile.empty()) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return bDone ? 0 : -1;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}

}  // namespace

TEST(StartUp, WithoutADisplayTheProgramEndsWithZero) {
    const std::vector<std::string> noDisplay = {"-u", "DISPLAY",        "-u", "WAYLAND_DISPLAY",
                                                "-u", "QT_QPA_PLATFORM"};
    std::vector<std::string> args = noDisplay;
    args.insert(args.end(), {VEXIL_BINARY, "echo", "hi"});
    EXPECT_EQ(RunProgram(args), 0);
    // a display that does not exist counts as none
    args = noDisplay;
    args.insert(args.end(), {"DISPLAY=:97", VEXIL_BINARY});
    EXPECT_EQ(RunProgram(args), 0);
}

TEST(StartUp, TheCommandLineRunsExactlyAsGivenInItsOwnFolderInTheCAndALatin1Locale) {
    OrvTempDir dir;
    // Qt would take "-platform" and the word after it for itself: here both belong to the command
    // (as $0 and $1 of the inner shell).
    const std::string out = dir.File("out");
    ASSERT_EQ(RunProgram({"QT_QPA_PLATFORM=offscreen", VEXIL_BINARY, "sh", "-c",
                          "pwd > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"", "-platform", out},
                         out),
              0);
    char szBinary[PATH_MAX];
    ASSERT_NE(realpath(VEXIL_BINARY, szBinary), nullptr);
    const std::string binary = szBinary;
    EXPECT_EQ(OrvReadFileBytes(out), binary.substr(0, binary.rfind('/')) + "\n");

    for (const char* pszName : {"a.txt", "b.txt", "\xC3\xBC.txt"}) {
        ASSERT_TRUE(OrvWriteFileBytes(dir.File(pszName), "x"));
    }
    struct Case {
        std::string locale;
        std::string command;
    };
    const std::string latin = dir.File("latin");
    const Case cases[] = {
        // the C locale, as under service managers: the u-umlaut must not become a "?" wildcard
        {"LC_ALL=C", "rm '" + dir.Path() + "/\xC3\xBC.txt'"},
        // Latin-1: the argument's byte for the u-umlaut reaches the shell as that byte
        {"LC_ALL=de_DE.ISO-8859-1", "printf '\xFC' > '" + latin + "'"},
    };
    for (const Case& c : cases) {
        const std::string done = dir.File("done" + std::to_string(&c - cases));
        ASSERT_EQ(RunProgram({"-u", "LANG", "-u", "LC_CTYPE", c.locale, "QT_QPA_PLATFORM=offscreen",
                              VEXIL_BINARY, c.command + "; touch '" + done + "'"},
                             done),
                  0)
            << c.locale << " (make setup puts the locales there)";
    }
    EXPECT_EQ(OrvReadFileBytes(dir.File("a.txt")), "x");
    EXPECT_EQ(OrvReadFileBytes(dir.File("b.txt")), "x");
    EXPECT_NE(access(dir.File("\xC3\xBC.txt").c_str(), F_OK), 0);
    EXPECT_EQ(OrvReadFileBytes(latin), "\xFC");
}
