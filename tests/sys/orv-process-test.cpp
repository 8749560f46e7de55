#include "orv-process.h"

#include "orv-test-support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

TEST(ProcessTest, ListEscapesControlCharactersInNames) {
    // A child names itself with a line break and a forged line after it.
    int aPipe[2];
    ASSERT_EQ(pipe(aPipe), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open("/proc/self/comm", O_WRONLY);
        const bool bOk = fd >= 0 && write(fd, "a\r\npid=1 forged", 15) == 15;
        close(fd);
        (void)!write(aPipe[1], bOk ? "y" : "n", 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(aPipe[0], &c, 1), 1);
    const std::string list = RfGetProcessAndModuleList().GetString();
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(aPipe[0]);
    close(aPipe[1]);
    ASSERT_EQ(c, 'y');
    EXPECT_NE(list.find("pid=" + std::to_string(pid) + " a\\r\\npid=1 forged user="),
              std::string::npos);
    EXPECT_EQ(list.find("\npid=1 forged"), std::string::npos);
}

TEST(ProcessTest, SplitArguments) {
    COrvArray<COrvStringA> w;
    ASSERT_TRUE(OrvSplitArguments("  -c 'echo a  b' \"x\\\"\\$y\" back\\ slash ''", w));
    ASSERT_EQ(w.GetCount(), 5u);
    EXPECT_TRUE(OrvStr(w[1]) == "echo a  b" && OrvStr(w[2]) == "x\"$y");
    EXPECT_TRUE(OrvStr(w[3]) == "back slash" && OrvStr(w[4]).empty());
    EXPECT_FALSE(OrvSplitArguments("'open", w) || OrvSplitArguments("\"open", w));
}

TEST(ProcessTest, RunProgramCapturesBothStreamsAndExitCode) {
    OrvTempDir dir;
    const std::string out = dir.File("out.txt");
    ASSERT_TRUE(OrvWriteFileBytes(out, "before\n"));
    int nExit = 0;
    COrvError err;
    ASSERT_TRUE(OrvRunProgramOutputToFile("/bin/sh", "-c 'echo out; echo err >&2; exit 3'",
                                          out.c_str(), nExit, err))
        << err.Text().GetString();
    EXPECT_EQ(nExit, 3);
    EXPECT_EQ(OrvReadFileBytes(out), "before\nout\nerr\n");

    // The child sees no descriptor but 0, 1 and 2 (this one is open without close-on-exec),
    // and reads end of input at once.
    const int fdLeak = open(out.c_str(), O_RDONLY);
    const std::string out2 = dir.File("fds.txt");
    ASSERT_TRUE(OrvRunProgramOutputToFile("/bin/sh", "-c 'ls /proc/self/fd; cat; echo done'",
                                          out2.c_str(), nExit, err));
    close(fdLeak);
    EXPECT_EQ(nExit, 0);
    EXPECT_EQ(OrvReadFileBytes(out2), "0\n1\n2\n3\ndone\n");  // 3: ls's own directory

    // No child left over, zombie or not.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ProcessTest, RunProgramFailures) {
    OrvTempDir dir;
    int nExit = 0;
    COrvError err;
    EXPECT_FALSE(OrvRunProgramOutputToFile(dir.File("no-such-program").c_str(), "",
                                           dir.File("o").c_str(), nExit, err));
    EXPECT_EQ(nExit, -1);
    EXPECT_FALSE(
        OrvRunProgramOutputToFile("/bin/sh", "-c true", dir.File("x/o").c_str(), nExit, err));
}
