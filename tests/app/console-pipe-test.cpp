// The console pipe against the in-memory pane: conversion, insertion, tags, start failures, the
// reader's end and the child processes it leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "console-pipe.h"
#include "support/orv-test-support.h"
#include "text-pane-memory.h"

namespace {

constexpr int kWaitMs = 20000;  // generous: the suite also runs under ThreadSanitizer
const std::u16string kEnd = u"--- End of Log ---\r\n";

template <class Pred>
bool WaitFor(Pred pred) {
    return OrvWaitFor(pred, kWaitMs);
}

// The tests read UTF-8 output; the program takes the locale's set the same way.
const bool g_bLocale = std::setlocale(LC_ALL, "C.UTF-8") != nullptr;

std::u16string U16(const std::string& utf8) {
    std::u16string s(utf8.size() + 1, u'\0');
    s.resize(static_cast<size_t>(OrvUtf8ToUtf16(utf8.data(), static_cast<int>(utf8.size()), true,
                                                s.data(), static_cast<int>(s.size()))));
    return s;
}

// A shell command that writes exactly these bytes.
std::string Bytes(const std::string& bytes) {
    std::string cmd = "printf '";
    for (const unsigned char c : bytes) {
        cmd += {'\\', char('0' + c / 64), char('0' + c / 8 % 8), char('0' + c % 8)};
    }
    return cmd + "'";
}

int CountOpenFds() {  // less the listing's own descriptor
    return static_cast<int>(
               std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})) -
           1;
}

// Whether a child of this process has exited and was not waited for.
bool HasZombieChild() {
    siginfo_t info = {};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

// What a recording pipe saw, shared with the test because the pipe may destroy itself.
struct Record {
    std::mutex lock;
    std::vector<std::u16string> chunks;
    int nEnds = 0;
};

// The view's pipe, also recording each chunk before it goes to the pane; exposes the fields.
class CRecordingPipe : public CTvConsolePipe {
public:
    CRecordingPipe(std::shared_ptr<ITextPaneHost> pHost, uint32_t dwFlags,
                   std::shared_ptr<Record> pRecord = std::make_shared<Record>())
        : CTvConsolePipe(false, std::move(pHost), dwFlags), m_pRecord(std::move(pRecord)) {}
    // The reader uses m_pRecord: stop it before the member goes.
    ~CRecordingPipe() override { Close(); }

    void OnOutput(const char16_t* pszText) override {
        {
            std::lock_guard<std::mutex> guard(m_pRecord->lock);
            if (pszText) {
                m_pRecord->chunks.emplace_back(pszText);
            } else {
                ++m_pRecord->nEnds;
            }
        }
        CTvConsolePipe::OnOutput(pszText);
    }

    bool IsIdle() const {
        return m_hReaderThread == 0 && m_hProcess == 0 && m_hStdinWrite == -1 &&
               m_hStdoutRead == -1;
    }
    std::shared_ptr<Record> m_pRecord;
};

class ConsolePipe : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_bLocale) << "the C.UTF-8 locale is missing (package libc-bin)";
        m_pHost = std::make_shared<CTextPaneMemoryHost>();
        // The view's end line, written when the notification arrives.
        m_pHost->SetPipeDoneHandler([](CTextPaneMemory& pane, uintptr_t) {
            TextPaneAppend(pane, u"--- End of Log ---\n");
        });
    }
    void TearDown() override {
        g_nPipeKillDelayMs = 3000;
        g_pszPipeInterpreter = "/bin/sh";
        g_pszPipeCharset = nullptr;
    }

    // Starts a self-destroying pipe (null when Run fails); its exit report in m_pReport, what it
    // saw in m_pRecord.
    CRecordingPipe* Start(const std::string& command, uint32_t dwFlags = 0) {
        m_nDone = m_pHost->PipeDoneValues().size();
        m_pRecord = std::make_shared<Record>();
        auto* pPipe = new CRecordingPipe(m_pHost, dwFlags, m_pRecord);
        m_pReport = pPipe->ExitReport();
        const int nRun = pPipe->Run(U16(command).c_str());
        EXPECT_EQ(nRun, 0) << command;
        if (nRun != 0) {
            delete pPipe;
            return nullptr;
        }
        return pPipe;
    }
    bool WaitEnd() { return m_pHost->WaitPipeDone(m_nDone + 1, kWaitMs); }

    // Runs a one-shot command and waits for its end; the text it added to the pane.
    std::u16string RunToEnd(const std::string& command) {
        const size_t nBefore = m_pHost->Text().size();
        if (Start(command) == nullptr) {
            return u"";
        }
        EXPECT_TRUE(WaitEnd());
        return m_pHost->Text().substr(nBefore);
    }

    // Writes the bytes first, then, once arrived holds, rest in a write of its own; the text the
    // run added.
    template <class Pred>
    std::u16string RunSplit(const std::string& first, const std::string& rest, Pred arrived) {
        OrvTempDir dir;
        const std::string go = dir.File("go");
        const size_t nBefore = m_pHost->Text().size();
        if (Start(Bytes(first) + "; while [ ! -e '" + go + "' ]; do sleep 0.01; done; " +
                  Bytes(rest)) == nullptr) {
            return u"";
        }
        EXPECT_TRUE(WaitFor(arrived));
        EXPECT_TRUE(OrvWriteFileBytes(go, ""));
        EXPECT_TRUE(WaitEnd());
        return m_pHost->Text().substr(nBefore);
    }

    // The chunks the last started pipe saw, and its end count.
    std::pair<std::vector<std::u16string>, int> Seen() {
        std::lock_guard<std::mutex> guard(m_pRecord->lock);
        return {m_pRecord->chunks, m_pRecord->nEnds};
    }
    // The exit the last started pipe reported.
    std::tuple<CPipeExit::EKind, int, bool> Exit() {
        const CPipeExit exit = m_pReport->Get();
        return {exit.kind, exit.nCode, exit.bStopRequested};
    }

    std::shared_ptr<CTextPaneMemoryHost> m_pHost;
    std::shared_ptr<CPipeExitReport> m_pReport;
    std::shared_ptr<Record> m_pRecord;
    size_t m_nDone = 0;
};

// The tag a prefixing pipe puts before each line.
std::u16string Tag(const void* pPipe) {
    char szTag[32];
    snprintf(szTag, sizeof szTag,
             "PIPE %x: ", static_cast<unsigned>(reinterpret_cast<uintptr_t>(pPipe)));
    return U16(szTag);
}

// ---------------------------------------------------------------------------------------------
// Conversion of the child's bytes

TEST(PipeDecoder, AnySplitOfTheBytesDecodesAsTheWhole) {
    struct Case {
        const char* pszSet;
        std::string bytes;
        std::u16string expected;
    };
    const Case cases[] = {
        // one, two, three and four byte characters
        {"UTF-8", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z", u"a\u00E9\u20AC\U0001F600z"},
        // a NUL is dropped, an invalid byte becomes U+FFFD
        {nullptr, std::string("x\0y\xFFq", 5), u"xy\uFFFDq"},
        // a lead byte that is not continued is not carried over; an incomplete sequence at the
        // very end is one U+FFFD once flushed
        {"utf8", "\xE2(ok\xF0\x9F", u"\uFFFD(ok\uFFFD"},
        {"ANSI_X3.4-1968", "a\xC3\xA9", u"a\uFFFD\uFFFD"},  // the C locale's set
        {"EUC-JP", "x\xA4\xA2y", u"x\u3042y"},              // two bytes that may be split
    };
    for (const Case& c : cases) {
        for (size_t nCut = 1; nCut <= c.bytes.size(); ++nCut) {
            SCOPED_TRACE(std::string(c.pszSet ? c.pszSet : "default") + " in pieces of " +
                         std::to_string(nCut));
            CPipeDecoder decoder(c.pszSet);
            EXPECT_EQ(decoder.IsUtf8(),
                      c.pszSet == nullptr || c.pszSet[0] == 'u' || c.pszSet[0] == 'U');
            char16_t out[CPipeDecoder::OutputRoom(64)];
            std::u16string text;
            for (size_t i = 0; i < c.bytes.size(); i += nCut) {
                const std::string piece = c.bytes.substr(i, nCut);
                text.append(out, static_cast<size_t>(decoder.Decode(
                                     piece.data(), static_cast<int>(piece.size()), out)));
            }
            text.append(out, static_cast<size_t>(decoder.Flush(out)));
            EXPECT_EQ(text, c.expected);
            EXPECT_EQ(decoder.Flush(out), 0);
        }
    }
    // A set iconv does not know falls back to UTF-8.
    EXPECT_TRUE(CPipeDecoder("NO-SUCH-SET-42").IsUtf8());
}

TEST(PipeCharset, TheChildGetsUtf8ForTheCLocaleAndItsOwnSetOtherwise) {
    // a longer name first leaves its letters where the next name is reduced
    const char* const kSets[][2] = {{"ISO-8859-15-EXTRA", "ISO-8859-15-EXTRA"},
                                    {"ANSI_X3.4-1968", "UTF-8"},
                                    {"us-ascii", "UTF-8"},
                                    {"ISO-8859-1", "ISO-8859-1"}};
    for (const auto& set : kSets) {
        g_pszPipeCharset = set[0];
        EXPECT_STREQ(PipeChildCharset(), set[1]);
    }
    g_pszPipeCharset = nullptr;
}

TEST(PipeText, ChunksNeverSplitAPairOrASequence) {
    // 300 bytes in hand: the cut falls at 255 unless that splits a CR LF pair or a UTF-8
    // sequence (a sequence only in a UTF-8 set, and only one of up to four bytes)
    struct Case {
        size_t nHead;  // letters before the bytes at 252..256
        std::string at;
        bool bUtf8;
        int nExpected;
    };
    const std::string e = "\xC3\xA9";         // two bytes
    const std::string euro = "\xE2\x82\xAC";  // three bytes
    const Case cases[] = {
        {254, "b\r\n", true, 255},     {254, "\r\n", true, 254},         {254, e, true, 254},
        {254, e, false, 255},          {253, euro, true, 253},           {253, "\r" + e, true, 254},
        {252, "\r" + euro, true, 253}, {254, "\x80\x80\x80", true, 255},  // no sequence to keep
    };
    for (const Case& c : cases) {
        std::string bytes = std::string(c.nHead, 'a') + c.at;
        bytes.resize(300, 'z');
        EXPECT_EQ(PipeChunkLength(bytes.data(), 300, c.bUtf8), c.nExpected)
            << c.nHead << " + " << c.at.size() << " utf8 " << c.bUtf8;
    }
    EXPECT_EQ(PipeChunkLength("ab\r", 3, true), 3);  // all that was read fits
}

// ---------------------------------------------------------------------------------------------
// Insertion, driven from a thread of the test as the reader would

TEST_F(ConsolePipe, TagsGoBeforeEachLineAcrossChunksButNotAfterALoneCrOrTheLastLineEnd) {
    CConsolePipe pipe(false, m_pHost, CPIPE_PREFIX | CPIPE_KEEP);
    const std::u16string tag = Tag(&pipe);
    std::thread([&] {
        for (const char16_t* psz : {u"a\nb", u"c\r\n", u"x\ry\r\n", u"d"}) {
            pipe.OnOutput(psz);
        }
    }).join();
    EXPECT_EQ(m_pHost->Text(), tag + u"a\r\n" + tag + u"bc\r\n" + tag + u"x\ry\r\n" + tag + u"d");
}

// ---------------------------------------------------------------------------------------------
// Run and its results

TEST_F(ConsolePipe, RunRefusesEmptyFailedAndBusyCommandsLeavingNothingOpen) {
    CRecordingPipe pipe(m_pHost, CPIPE_KEEP);
    const int nFds = CountOpenFds();
    EXPECT_EQ(pipe.Run(nullptr), 1);
    g_pszPipeInterpreter = "/nonexistent/vexil-test-shell";
    EXPECT_EQ(pipe.Run(u"echo hi"), 1);
    EXPECT_TRUE(pipe.IsIdle());
    EXPECT_EQ(CountOpenFds(), nFds);
    // The same object starts normally once the interpreter is back; while the one-shot command
    // runs, Run gives 2 and there is no input to write to.
    g_pszPipeInterpreter = "/bin/sh";
    ASSERT_EQ(pipe.Run(u"sleep 0.3; echo done"), 0);
    EXPECT_EQ(pipe.Run(u"second"), 2);
    EXPECT_FALSE(pipe.WriteInput(u"first\n"));
    ASSERT_TRUE(m_pHost->WaitPipeDone(1, kWaitMs));
    pipe.Close();
    EXPECT_TRUE(pipe.IsIdle());
    EXPECT_EQ(m_pHost->Text(), u"done\r\n" + kEnd);
}

TEST_F(ConsolePipe, OneShotCommandsFindTheirInputAtItsEndAndRunWholeHoweverLong) {
    // cat copies nothing and ends; read finds the end of input (status 1); so does a child of
    // the shell that asks a question.
    EXPECT_EQ(RunToEnd("cat; echo \"cat:$?\"; read x; echo \"read:$?\"; head -c 5; echo end"),
              u"cat:0\r\nread:1\r\nend\r\n" + kEnd);
    // 200 000 letters: more than the system takes in one argument, so the command goes in pieces,
    // and the shell joins them into what was given, leaving nothing of its own behind; $0 is
    // what a short command sees.
    EXPECT_EQ(RunToEnd("echo " + std::string(200000, 'x') +
                       " | wc -c; echo \"$0 $# ${vexil_command_-none} ${vexil_piece_-none}\""),
              u"200001\r\n/bin/sh 0 none none\r\n" + kEnd);
    // A piece boundary inside a two-byte character: the shell joins bytes, not characters.
    EXPECT_EQ(RunToEnd("printf %s " + std::string(65536 - 10 - 1, 'y') +
                       "\xC3\xA9\xC3\xA9\xC3\xA9 | wc -c"),
              u"65531\r\n" + kEnd);
}

TEST_F(ConsolePipe, OutputArrivesInChunksOfAtMost255AndNothingGivesOnlyTheEnd) {
    EXPECT_EQ(RunToEnd("true"), kEnd);
    EXPECT_EQ(Seen(), std::pair(std::vector<std::u16string>{}, 1));
    OrvTempDir dir;
    std::string flood;
    std::u16string expected;
    for (int i = 0; i < 2000; ++i) {
        flood += i % 27 == 26 ? '\n' : static_cast<char>('a' + i % 27);
        expected += i % 27 == 26 ? u"\r\n" : std::u16string(1, static_cast<char16_t>(flood.back()));
    }
    ASSERT_TRUE(OrvWriteFileBytes(dir.File("flood"), flood));
    EXPECT_EQ(RunToEnd("cat '" + dir.File("flood") + "'"), expected + kEnd);
    for (const auto& chunk : Seen().first) {
        EXPECT_LE(chunk.size(), 255u);
    }
    // a prefixing pipe tags each line, and its end notification names it
    CRecordingPipe* pPipe = Start("printf 'one\\ntwo\\n'", CPIPE_PREFIX);
    ASSERT_NE(pPipe, nullptr);
    const std::u16string tag = Tag(pPipe);
    ASSERT_TRUE(WaitEnd());
    EXPECT_TRUE(m_pHost->Text().ends_with(tag + u"one\r\n" + tag + u"two\r\n" + kEnd));
    EXPECT_EQ(m_pHost->PipeDoneValues().back(), reinterpret_cast<uintptr_t>(pPipe));
}

TEST_F(ConsolePipe, CrLfUtf8AndSequencesSplitBetweenReadsReachThePaneWhole) {
    // "x" CR, then in a separate read LF "y": the CR waits for the next read and the pair stays
    // one line end.
    EXPECT_EQ(RunSplit("x\r", "\ny", [&] { return m_pHost->Text() == u"x"; }), u"x\r\ny" + kEnd);
    // The first byte of an e-acute in one read, the second in the next: one character.
    EXPECT_EQ(RunSplit("A\xC3", "\xA9\n", [&] { return !Seen().first.empty(); }),
              u"A\u00E9\r\n" + kEnd);
    EXPECT_EQ(Seen().first, (std::vector<std::u16string>{u"A", u"\u00E9\n"}));
    // A CR that ends the whole output is not lost.
    EXPECT_EQ(RunToEnd(Bytes("A\r")), u"A\r" + kEnd);
    // Red "red", a title and a cursor move in between, green "x" after a line end that gains a
    // CR, bold "B" whose sequence is split between two reads.
    m_pHost->RunOnOwner([](CTextPaneMemory& pane) { pane.SetText(nullptr); });
    EXPECT_EQ(RunSplit("\x1b[31mred\x1b[0m\n\x1b]0;t\x1b\\\x1b[H\x1b[32mx\x1b[m",
                       "\x1b[1mB\x1b[m\n", [&] { return m_pHost->Text() == u"red\r\nx"; }),
              u"red\r\nxB\r\n" + kEnd);
    std::vector<std::tuple<int, int, uint32_t, int>> runs;
    m_pHost->RunOnOwner([&](CTextPaneMemory& pane) {
        for (const CTextAttrRun& run : pane.GetRuns()) {
            runs.emplace_back(run.nStart, run.nLength, run.attr.nFore, run.attr.nFlags);
        }
    });
    EXPECT_EQ(runs, (std::vector<std::tuple<int, int, uint32_t, int>>{
                        {0, 3, CTextAttr::kColourIndexed | 1, 0},
                        {5, 1, CTextAttr::kColourIndexed | 2, 0},
                        {6, 1, 0, CTextAttr::kBold}}));
}

TEST_F(ConsolePipe, ExitStatusIsReportedBeforeTheEndAndTheShellIsReapedAtOnce) {
    using E = CPipeExit::EKind;
    for (const auto& [pszCommand, kind, nCode] :
         {std::tuple{"exit 2", E::Exited, 2}, {"kill -SEGV $$", E::Signalled, SIGSEGV}}) {
        ASSERT_NE(Start(pszCommand), nullptr);
        ASSERT_TRUE(WaitEnd());
        EXPECT_EQ(Exit(), std::tuple(kind, nCode, false)) << pszCommand;
    }
    // The shell's status arrives while its job still holds the output open, and no zombie is
    // left; Stop still reaches the job through the process group, and the end follows.
    m_pHost->RunOnOwner([](CTextPaneMemory& pane) { pane.SetText(nullptr); });
    CRecordingPipe* pPipe = Start("sleep 600 & echo $!; exit 3");
    ASSERT_NE(pPipe, nullptr);
    ASSERT_TRUE(WaitFor([&] { return m_pReport->Get().kind == E::Exited; }));
    EXPECT_EQ(m_pReport->Get().nCode, 3);
    EXPECT_FALSE(HasZombieChild());
    EXPECT_EQ(m_pHost->PipeDoneValues().size(), m_nDone);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text().ends_with(u"\r\n"); }));
    const std::u16string text = m_pHost->Text();
    const pid_t nJob = std::stoi(std::string(text.begin(), text.end() - 2));
    ASSERT_EQ(kill(nJob, 0), 0);
    EXPECT_TRUE(pPipe->Stop());
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(m_pReport->Get().nCode, 3);
    EXPECT_TRUE(WaitFor([&] { return kill(nJob, 0) != 0; }));
}

TEST_F(ConsolePipe, StopKillsWhatIgnoresSigterm) {
    g_nPipeKillDelayMs = 200;
    CRecordingPipe* pPipe = Start("trap '' TERM; echo ready; sleep 600; echo after");
    ASSERT_NE(pPipe, nullptr);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text() == u"ready\r\n"; }));
    EXPECT_TRUE(pPipe->Stop());
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(Exit(), std::tuple(CPipeExit::EKind::Signalled, SIGKILL, true));
    EXPECT_EQ(m_pHost->Text(), u"ready\r\n" + kEnd);
}

TEST_F(ConsolePipe, InALatin1LocaleWhatTheSetCannotHoldIsRefusedAndTheShellTakesLines) {
    OrvTempDir dir;
    const std::u16string out = U16(dir.File("out"));
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.ISO-8859-1"), nullptr) << "missing (make setup)";
    CRecordingPipe pipe(m_pHost, CPIPE_KEEP);
    EXPECT_EQ(pipe.Run((u"echo \u20AC > '" + out + u"'").c_str()), kPipeUnencodable);
    EXPECT_TRUE(pipe.IsIdle());
    // What the set holds goes to the shell as the locale's bytes, and comes back as text.
    ASSERT_EQ(pipe.Run((u"echo \u00FC | tee '" + out + u"'").c_str()), 0);
    ASSERT_TRUE(m_pHost->WaitPipeDone(1, kWaitMs));
    pipe.Close();
    EXPECT_EQ(OrvReadFileBytes(dir.File("out")), "\xFC\n");
    // An interactive shell keeps its input open: a command of the shell reads the next line
    // given.
    auto* pShell = new CRecordingPipe(m_pHost, CPIPE_INTERACTIVE);
    ASSERT_EQ(pShell->Run(u"echo asking; read x; echo \"got:$x\""), 0);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text().ends_with(u"asking\r\n"); }));
    EXPECT_EQ(pShell->Run(u"typed"), 0);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text().ends_with(u"got:typed\r\n"); }));
    EXPECT_EQ(pShell->Run(u"echo next; exit"), 0);
    ASSERT_TRUE(m_pHost->WaitPipeDone(2, kWaitMs));
    std::setlocale(LC_ALL, previous.c_str());
    EXPECT_EQ(m_pHost->Text(), u"\u00FC\r\n" + kEnd + u"asking\r\ngot:typed\r\nnext\r\n" + kEnd);
}

TEST_F(ConsolePipe, WritingToAChildThatHasGoneDoesNotStopTheProgram) {
    CRecordingPipe pipe(m_pHost, CPIPE_KEEP | CPIPE_INTERACTIVE);
    ASSERT_EQ(pipe.Run(u"exec 0<&-; echo closed; sleep 3"), 0);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text() == u"closed\r\n"; }));
    // Nobody reads the input any more: the write fails with EPIPE instead of raising SIGPIPE.
    EXPECT_EQ(pipe.Run(u"echo never"), 0);
    EXPECT_FALSE(pipe.WriteInput(u"again\n"));
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    ASSERT_TRUE(m_pHost->WaitPipeDone(1, kWaitMs));
    pipe.Close();
    EXPECT_TRUE(pipe.IsIdle());
}

TEST_F(ConsolePipe, AShellThatClosesItsOutputEndsThePipeAtOnceAndIsReapedLater) {
    // The shell runs on until its input closes, which the end of the pipe does; an interactive
    // one is reported as running on.
    const std::string command = "echo PID $$; exec >&- 2>&-; while read x; do :; done; sleep 0.2";
    for (const uint32_t dwFlags : {0u, CPIPE_INTERACTIVE}) {
        const size_t nBefore = m_pHost->Text().size();
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_NE(Start(command, dwFlags), nullptr);
        ASSERT_TRUE(WaitEnd());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
        const std::u16string text = m_pHost->Text().substr(nBefore);
        const std::string pid(text.begin() + 4, text.begin() + static_cast<long>(text.find(u'\r')));
        EXPECT_TRUE(WaitFor([&] { return access(("/proc/" + pid).c_str(), F_OK) != 0; }))
            << "child " << pid << " was not reaped";
        EXPECT_EQ(m_pReport->Get().kind == CPipeExit::EKind::RunsOn, dwFlags == CPIPE_INTERACTIVE);
    }
}

TEST_F(ConsolePipe, ChildSeesOnlyItsThreeDescriptorsAndManyRunsLeakNothing) {
    // A descriptor of the program's without close-on-exec must still not reach the child (ls
    // shows its own listing's descriptor, 3).
    const int hLeaky = open("/dev/null", O_RDONLY);
    ASSERT_GE(hLeaky, 0);
    EXPECT_EQ(RunToEnd("exec ls /proc/self/fd"), u"0\r\n1\r\n2\r\n3\r\n" + kEnd);
    close(hLeaky);
    // The pipes of earlier runs let go of their descriptors just after their end notification.
    int nFds = CountOpenFds();
    WaitFor([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int n = CountOpenFds();
        return std::exchange(nFds, n) == n;
    });
    const size_t nDone = m_pHost->PipeDoneValues().size();
    for (int i = 0; i < 10; ++i) {
        auto* pPipe = new CTvConsolePipe(false, m_pHost, 0);
        ASSERT_EQ(pPipe->Run(i % 2 ? u"true" : u"echo x"), 0);
    }
    ASSERT_TRUE(m_pHost->WaitPipeDone(nDone + 10, kWaitMs));
    EXPECT_TRUE(WaitFor([] { return !HasZombieChild(); }));
    EXPECT_TRUE(WaitFor([&] { return CountOpenFds() == nFds; }))
        << CountOpenFds() << " descriptors open, " << nFds << " before";
}

TEST_F(ConsolePipe, AnEndWithoutThePaneOrWithoutThePipeLosesNothingElse) {
    const auto Slow = [](int n) {
        return "i=0; while [ $i -lt " + std::to_string(n) +
               " ]; do echo line $i; i=$((i+1)); sleep 0.01; done";
    };
    // Destroying a running pipe stops its reader at once, without an end sequence.
    auto pRecord = std::make_shared<Record>();
    auto pPipe = std::make_unique<CRecordingPipe>(m_pHost, CPIPE_KEEP, pRecord);
    ASSERT_EQ(pPipe->Run(U16(Slow(400)).c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text().size() > 10; }));
    const auto t0 = std::chrono::steady_clock::now();
    pPipe.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(pRecord->nEnds, 0);  // the reader is gone
    // The pane gone while a command runs: its output is dropped and the pipe still ends.
    ASSERT_NE(Start(Slow(20)), nullptr);
    ASSERT_TRUE(WaitFor([&] { return !Seen().first.empty(); }));
    m_pHost->Detach();
    const size_t nHeld = m_pHost->Text().size();
    ASSERT_TRUE(WaitFor([&] { return Seen().second == 1; }));
    EXPECT_EQ(m_pHost->PipeDoneValues().size(), m_nDone);
    EXPECT_EQ(m_pHost->Text().size(), nHeld);
}

}  // namespace
