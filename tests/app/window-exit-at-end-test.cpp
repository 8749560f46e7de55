// --exit-at-end: the real program closes its window by itself once the command given on its
// command line has ended, and exits with the command's status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "command-line.h"
#include "support/orv-test-support.h"

namespace {

TEST(ExitAtEnd, OnlyBeforeTheCommandIsItAnOption) {
    struct {
        std::vector<const char*> args;
        bool bExitAtEnd;
        int nCommandIndex;
    } const cases[] = {
        {{"vexil", "--exit-at-end", "ls", "-l"}, true, 2},
        {{"vexil", "ls", "--exit-at-end"}, false, 1},
        {{"vexil", "--", "--exit-at-end"}, false, 2},
    };
    for (const auto& c : cases) {
        const SVexilCommandLine cl = VexilParseCommandLine(static_cast<int>(c.args.size()),
                                                           const_cast<char**>(c.args.data()));
        EXPECT_EQ(static_cast<int>(cl.eStart), static_cast<int>(EVexilStart::Run)) << c.args[1];
        EXPECT_EQ(cl.bExitAtEnd, c.bExitAtEnd) << c.args[1];
        EXPECT_EQ(cl.nCommandIndex, c.nCommandIndex) << c.args[1];
    }
}

TEST(ExitAtEnd, TheWindowClosesWithTheCommandsStatus) {
    OrvTempDir state;
    struct {
        const char* pszCommand;
        int nStatus;
    } const cases[] = {
        {"'echo shown; exit 3'", 3},
        {"true", 0},
        {"'kill -TERM $$'", 128 + 15},
    };
    for (const auto& c : cases) {
        int nStatus = -1;
        OrvRunCapture("env QT_QPA_PLATFORM=offscreen XDG_STATE_HOME='" + state.Path() +
                          "' timeout 60 " VEXIL_BINARY " --exit-at-end " + c.pszCommand,
                      &nStatus);
        ASSERT_TRUE(WIFEXITED(nStatus)) << c.pszCommand;
        EXPECT_EQ(WEXITSTATUS(nStatus), c.nStatus) << c.pszCommand;
    }
}

}  // namespace
