// The console pipe against the in-memory pane: conversion, insertion, tags, start failures, the
// reader's end and the child processes it leaves behind.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "console-pipe.h"
#include "support/orv-test-support.h"
#include "text-pane-memory.h"

#ifndef PIPE_CHILD_PATH
#error "PIPE_CHILD_PATH must name the tests' child program"
#endif

namespace {

constexpr int kWaitMs = 20000;  // generous: the suite also runs under ThreadSanitizer

template <class Pred>
bool WaitFor(Pred pred) {
    return OrvWaitFor(pred, kWaitMs);
}

// The tests read UTF-8 output; the program takes the locale's set the same way.
const bool g_bLocale = std::setlocale(LC_ALL, "C.UTF-8") != nullptr;

std::u16string U16(const char* psz) {
    std::u16string s;
    for (; *psz; ++psz) {
        s.push_back(static_cast<unsigned char>(*psz));
    }
    return s;
}

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t ch : s) {
        out.push_back(ch < 0x80 ? static_cast<char>(ch) : '?');
    }
    return out;
}

std::u16string Child(const std::string& args) {
    return U16(("'" PIPE_CHILD_PATH "' " + args).c_str());
}

int CountOpenFds() {
    int n = 0;
    DIR* pDir = opendir("/proc/self/fd");
    while (dirent* pEntry = readdir(pDir)) {
        n += pEntry->d_name[0] != '.';
    }
    closedir(pDir);
    return n - 1;  // the listing's own descriptor
}

// Children of this process that have exited and were not waited for.
int CountZombieChildren() {
    int n = 0;
    const std::string self = std::to_string(getpid());
    DIR* pDir = opendir("/proc");
    while (dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] < '0' || pEntry->d_name[0] > '9') {
            continue;
        }
        std::ifstream stat(std::string("/proc/") + pEntry->d_name + "/stat");
        std::string line;
        std::getline(stat, line);
        const size_t nParen = line.rfind(')');
        if (nParen == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(nParen + 1));
        std::string state;
        std::string ppid;
        rest >> state >> ppid;
        n += state == "Z" && ppid == self;
    }
    closedir(pDir);
    return n;
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
    int Process() const { return m_hProcess; }
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

    // Runs a one-shot command in a self-destroying pipe and waits for its end; the pane's text.
    std::u16string RunToEnd(const std::u16string& command, uint32_t dwFlags = 0,
                            std::shared_ptr<Record> pRecord = std::make_shared<Record>()) {
        const size_t nDone = m_pHost->PipeDoneValues().size();
        auto* pPipe = new CRecordingPipe(m_pHost, dwFlags, pRecord);
        const int nRun = pPipe->Run(command.c_str());
        EXPECT_EQ(nRun, 0);
        if (nRun != 0) {
            delete pPipe;
            return u"";
        }
        EXPECT_TRUE(m_pHost->WaitPipeDone(nDone + 1, kWaitMs));
        return m_pHost->Text();
    }

    // Runs the child's "split": the bytes of hex first, then, once arrived holds, those of hex
    // rest in a read of their own; waits for the end.
    template <class Pred>
    void RunSplit(const std::string& first, const std::string& rest, Pred arrived,
                  std::shared_ptr<Record> pRecord = std::make_shared<Record>()) {
        OrvTempDir dir;
        const std::string go = dir.File("go");
        const size_t nDone = m_pHost->PipeDoneValues().size();
        auto* pPipe = new CRecordingPipe(m_pHost, 0, std::move(pRecord));
        ASSERT_EQ(pPipe->Run(Child("split " + first + " " + rest + " '" + go + "'").c_str()), 0);
        ASSERT_TRUE(WaitFor(arrived));
        ASSERT_TRUE(OrvWriteFileBytes(go, ""));
        ASSERT_TRUE(m_pHost->WaitPipeDone(nDone + 1, kWaitMs));
    }

    std::shared_ptr<CTextPaneMemoryHost> m_pHost;
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

std::u16string DecodeInPieces(CPipeDecoder& decoder, const std::string& bytes, size_t nCut) {
    char16_t out[CPipeDecoder::OutputRoom(64)];
    std::u16string text;
    for (size_t i = 0; i < bytes.size(); i += nCut) {
        const std::string piece = bytes.substr(i, nCut);
        const int n = decoder.Decode(piece.data(), static_cast<int>(piece.size()), out);
        text.append(out, static_cast<size_t>(n));
    }
    const int n = decoder.Flush(out);
    return text.append(out, static_cast<size_t>(n));
}

TEST(PipeDecoder, Utf8SplitAnywhereDecodesWhole) {
    // One, two, three and four byte characters.
    const std::string bytes = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    const std::u16string whole = u"a\u00E9\u20AC\U0001F600z";
    for (size_t nCut = 1; nCut <= bytes.size(); ++nCut) {
        CPipeDecoder decoder("UTF-8");
        ASSERT_TRUE(decoder.IsUtf8());
        EXPECT_EQ(DecodeInPieces(decoder, bytes, nCut), whole) << "pieces of " << nCut;
    }
    // A NUL is dropped, an invalid byte becomes U+FFFD.
    CPipeDecoder decoder(nullptr);
    EXPECT_EQ(DecodeInPieces(decoder, std::string("x\0y\xFFq", 5), 2), u"xy\uFFFDq");
}

TEST(PipeDecoder, BrokenSequencesBecomeReplacementCharacters) {
    char16_t out[CPipeDecoder::OutputRoom(16)];
    CPipeDecoder decoder("utf8");
    // A lead byte followed by a byte that cannot continue it is not carried over.
    EXPECT_EQ(decoder.Decode("\xE2(", 2, out), 2);
    EXPECT_EQ(std::u16string(out), u"\uFFFD(");
    // An incomplete sequence at the very end of the input is shown as one U+FFFD once flushed,
    // as an invalid piece inside the text is.
    EXPECT_EQ(decoder.Decode("ok\xF0\x9F", 4, out), 2);
    EXPECT_EQ(decoder.Flush(out), 1);
    EXPECT_EQ(out[0], 0xFFFD);
    EXPECT_EQ(decoder.Flush(out), 0);
}

TEST(PipeDecoder, OtherCharacterSetsGoThroughIconvWithCarry) {
    char16_t out[CPipeDecoder::OutputRoom(16)];
    CPipeDecoder latin("ISO-8859-1");
    ASSERT_FALSE(latin.IsUtf8());
    EXPECT_EQ(latin.Decode("caf\xE9", 4, out), 4);
    EXPECT_EQ(std::u16string(out), u"caf\u00E9");
    // The C locale's set: bytes above 127 cannot be converted.
    CPipeDecoder ascii("ANSI_X3.4-1968");
    EXPECT_EQ(ascii.Decode("a\xC3\xA9", 3, out), 3);
    EXPECT_EQ(std::u16string(out), u"a\uFFFD\uFFFD");
    // A two-byte EUC-JP character split between two reads arrives whole.
    CPipeDecoder eucjp("EUC-JP");
    EXPECT_EQ(DecodeInPieces(eucjp, "x\xA4\xA2y", 2), u"x\u3042y");
    // A set iconv does not know falls back to UTF-8.
    CPipeDecoder unknown("NO-SUCH-SET-42");
    EXPECT_TRUE(unknown.IsUtf8());
}

TEST(PipeEncode, ConvertsForTheChildOrRefusesWithoutAStandIn) {
    COrvStringA out;
    int nAt = 99;
    ASSERT_TRUE(PipeEncode(u"a\u00E9\u20AC", -1, "UTF-8", out, &nAt));
    EXPECT_EQ(std::string(out), "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(nAt, -1);
    ASSERT_TRUE(PipeEncode(u"a\u00E9!", -1, "ISO-8859-1", out));
    EXPECT_EQ(std::string(out), "a\xE9!");
    // The euro sign has no place in Latin-1, nor a character beyond the basic plane, nor half a
    // pair: refused, with the place of the first such character, and nothing in the output.
    EXPECT_FALSE(PipeEncode(u"rm a\u00E9\u20AC.txt", -1, "ISO-8859-1", out, &nAt));
    EXPECT_EQ(nAt, 5);
    EXPECT_TRUE(out.IsEmpty());
    EXPECT_FALSE(PipeEncode(u"ab\U0001F600", -1, "ISO-8859-1", out, &nAt));
    EXPECT_EQ(nAt, 2);
    EXPECT_FALSE(PipeEncode(u"x\xD800", -1, "ISO-8859-1", out, &nAt));
    EXPECT_EQ(nAt, 1);
    ASSERT_TRUE(PipeEncode(u"abc", 2, nullptr, out));
    EXPECT_EQ(std::string(out), "ab");
    ASSERT_TRUE(PipeEncode(nullptr, -1, nullptr, out));
    EXPECT_TRUE(out.IsEmpty());
}

TEST(PipeChildCharset, TheCLocalesAsciiIsTakenAsUtf8) {
    const std::string previous = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    EXPECT_STREQ(PipeChildCharset(), "UTF-8");
    ASSERT_NE(std::setlocale(LC_CTYPE, "POSIX"), nullptr);
    EXPECT_STREQ(PipeChildCharset(), "UTF-8");
    const bool bLatin1 = std::setlocale(LC_CTYPE, "de_DE.ISO-8859-1") != nullptr;
    const std::string latin1 = bLatin1 ? PipeChildCharset() : "";
    std::setlocale(LC_CTYPE, previous.c_str());
    ASSERT_TRUE(bLatin1) << "the de_DE.ISO-8859-1 locale is missing (make setup)";
    EXPECT_EQ(latin1, "ISO-8859-1");
    g_pszPipeCharset = "ANSI_X3.4-1968";
    EXPECT_STREQ(PipeChildCharset(), "UTF-8");
    g_pszPipeCharset = "us-ascii";
    EXPECT_STREQ(PipeChildCharset(), "UTF-8");
    g_pszPipeCharset = "ISO-8859-15";
    EXPECT_STREQ(PipeChildCharset(), "ISO-8859-15");
    g_pszPipeCharset = nullptr;
}

TEST(PipeTagLines, TagsEveryLineEndButTheLast) {
    COrvStringW text(u"a\r\nb\r\nc\r\n");
    COrvStringW out;
    ASSERT_TRUE(PipeTagLines(text, u"T: ", out));
    EXPECT_EQ(std::u16string(out), u"a\r\nT: b\r\nT: c\r\n");
    ASSERT_TRUE(PipeTagLines(COrvStringW(u"x\ry"), u"T: ", out));
    EXPECT_EQ(std::u16string(out), u"x\ry");
    ASSERT_TRUE(PipeTagLines(COrvStringW(u"\r\n"), u"T: ", out));
    EXPECT_EQ(std::u16string(out), u"\r\n");
}

// ---------------------------------------------------------------------------------------------
// Insertion, driven from a thread of the test as the reader would

TEST_F(ConsolePipe, PrefixTagsLinesAcrossChunks) {
    CConsolePipe pipe(false, m_pHost, CPIPE_PREFIX | CPIPE_KEEP);
    const std::u16string tag = Tag(&pipe);
    std::thread reader([&] {
        pipe.OnOutput(u"a\nb");
        pipe.OnOutput(u"c\r\n");
    });
    reader.join();
    EXPECT_EQ(m_pHost->Text(), tag + u"a\r\n" + tag + u"bc\r\n");
    std::thread third([&] { pipe.OnOutput(u"d"); });
    third.join();
    EXPECT_EQ(m_pHost->Text(), tag + u"a\r\n" + tag + u"bc\r\n" + tag + u"d");
}

TEST_F(ConsolePipe, ChunksTrimThePaneAtItsLimitAndDropOutputOnceItIsGone) {
    std::u16string filler(800, u'f');
    m_pHost->RunOnOwner([&](CTextPaneMemory& pane) {
        pane.SetLimitText(1000);
        pane.ReplaceSel(filler.c_str());
        pane.SetSel(0, 0);
    });
    CConsolePipe pipe(false, m_pHost, CPIPE_KEEP);
    std::thread reader([&] { pipe.OnOutput(u"new\n"); });
    reader.join();
    EXPECT_EQ(m_pHost->Text(), std::u16string(545, u'f') + u"new\r\n");
    m_pHost->Detach();
    std::thread late([&] { pipe.OnOutput(u"lost"); });
    late.join();
    EXPECT_EQ(m_pHost->Text(), std::u16string(545, u'f') + u"new\r\n");
}

// ---------------------------------------------------------------------------------------------
// Run and its results

TEST_F(ConsolePipe, EmptyCommandOrFailedStartGivesOneAndLeavesNothingOpen) {
    CRecordingPipe pipe(m_pHost, CPIPE_KEEP);
    const int nFds = CountOpenFds();
    EXPECT_EQ(pipe.Run(nullptr), 1);
    EXPECT_EQ(pipe.Run(u""), 1);
    EXPECT_EQ(CountOpenFds(), nFds);
    EXPECT_TRUE(pipe.IsIdle());

    g_pszPipeInterpreter = "/nonexistent/vexil-test-shell";
    EXPECT_EQ(pipe.Run(u"echo hi"), 1);
    EXPECT_TRUE(pipe.IsIdle());
    EXPECT_EQ(CountOpenFds(), nFds);
    // The same object starts normally once the interpreter is back.
    g_pszPipeInterpreter = "/bin/sh";
    EXPECT_EQ(pipe.Run(u"echo again"), 0);
    EXPECT_TRUE(m_pHost->WaitPipeDone(1, kWaitMs));
    pipe.Close();
    EXPECT_TRUE(pipe.IsIdle());
    EXPECT_EQ(m_pHost->Text(), u"again\r\n--- End of Log ---\r\n");
}

TEST_F(ConsolePipe, RunOnARunningOneShotPipeGivesTwoAndWritesNothing) {
    OrvTempDir dir;
    const std::string flag = dir.File("flag");
    auto* pPipe = new CRecordingPipe(m_pHost, 0);
    // The child reads its input only after the test has tried to write to it.
    const std::string command = "echo ready; while [ ! -e '" + flag +
                                "' ]; do sleep 0.02; done; read line; echo \"got:$line:$?\"";
    ASSERT_EQ(pPipe->Run(U16(command.c_str()).c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text() == u"ready\r\n"; }));
    EXPECT_EQ(pPipe->Run(u"second"), 2);
    EXPECT_FALSE(pPipe->WriteInput(u"first\n"));  // a one-shot command has no input pipe
    ASSERT_TRUE(OrvWriteFileBytes(flag, ""));
    ASSERT_TRUE(m_pHost->WaitPipeDone(1, kWaitMs));
    EXPECT_EQ(m_pHost->Text(), u"ready\r\ngot::1\r\n--- End of Log ---\r\n");
}

TEST_F(ConsolePipe, OneShotCommandsThatReadTheirInputEndAtOnce) {
    const auto t0 = std::chrono::steady_clock::now();
    // cat copies nothing and ends; read finds the end of input (status 1); so does a child of
    // the shell that asks a question.
    EXPECT_EQ(RunToEnd(u"cat; echo \"cat:$?\"; read x; echo \"read:$?\"; head -c 5; echo end"),
              u"cat:0\r\nread:1\r\nend\r\n--- End of Log ---\r\n");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST_F(ConsolePipe, CommandsFarLongerThanOneArgumentRunWhole) {
    // 200 000 letters: more than the system takes in one argument, so the command goes in pieces,
    // and the shell joins them into what was given, leaving nothing of its own behind; $0 is
    // what a short command sees.
    const std::u16string word(200000, u'x');
    EXPECT_EQ(RunToEnd(u"echo " + word +
                       u" | wc -c; echo \"$0 $# ${vexil_command_-none} "
                       u"${vexil_piece_-none}\""),
              u"200001\r\n/bin/sh 0 none none\r\n--- End of Log ---\r\n");
    size_t nBefore = m_pHost->Text().size();
    EXPECT_EQ(RunToEnd(u"echo \"$0\"").substr(nBefore), u"/bin/sh\r\n--- End of Log ---\r\n");
    // A piece boundary inside a two-byte character: the shell joins bytes, not characters.
    nBefore = m_pHost->Text().size();
    const std::u16string cut =
        u"printf %s " + std::u16string(65536 - 10 - 1, u'y') + u"\u00E9\u00E9\u00E9 | wc -c";
    EXPECT_EQ(RunToEnd(cut).substr(nBefore), u"65531\r\n--- End of Log ---\r\n");
}

TEST_F(ConsolePipe, SilentChildGivesOnlyTheEndSequence) {
    auto pRecord = std::make_shared<Record>();
    EXPECT_EQ(RunToEnd(Child("silent"), 0, pRecord), u"--- End of Log ---\r\n");
    std::lock_guard<std::mutex> guard(pRecord->lock);
    EXPECT_TRUE(pRecord->chunks.empty());
    EXPECT_EQ(pRecord->nEnds, 1);
    EXPECT_EQ(m_pHost->PipeDoneValues().size(), 1u);
}

TEST_F(ConsolePipe, LongOutputArrivesInChunksOfAtMost255) {
    auto pRecord = std::make_shared<Record>();
    const std::u16string text = RunToEnd(Child("flood 2000"), 0, pRecord);
    std::u16string expected;
    for (int i = 0; i < 2000; ++i) {
        expected +=
            i % 27 == 26 ? u"\r\n" : std::u16string(1, static_cast<char16_t>(u'a' + i % 27));
    }
    EXPECT_EQ(text, expected + u"--- End of Log ---\r\n");
    std::lock_guard<std::mutex> guard(pRecord->lock);
    EXPECT_GE(pRecord->chunks.size(), 8u);
    size_t nTotal = 0;
    for (const auto& chunk : pRecord->chunks) {
        EXPECT_LE(chunk.size(), 255u);
        nTotal += chunk.size();
    }
    EXPECT_EQ(nTotal, 2000u);
}

TEST(PipeChunks, AReadIsCutWhereNoPairOrSequenceIsSplit) {
    // 300 bytes in hand: the cut falls at 255 unless that splits a CR LF pair or a UTF-8
    // sequence (a sequence only in a UTF-8 set, and only one of up to four bytes)
    struct Case {
        std::string head;  // the bytes before the ones at 253..256
        std::string at;
        bool bUtf8;
        int nExpected;
    };
    const std::string e = "\xC3\xA9";         // two bytes
    const std::string euro = "\xE2\x82\xAC";  // three bytes
    const Case cases[] = {
        {std::string(254, 'a'), "b\r\n", true, 255},
        {std::string(254, 'a'), "\r\n", true, 254},
        {std::string(254, 'a'), e, true, 254},
        {std::string(254, 'a'), e, false, 255},
        {std::string(253, 'a'), euro, true, 253},
        {std::string(253, 'a'), "\r" + e, true, 254},
        {std::string(252, 'a'), "\r" + euro, true, 253},
        {std::string(254, 'a'), "\x80\x80\x80", true, 255},  // no sequence to keep whole
    };
    for (const Case& c : cases) {
        std::string bytes = c.head + c.at;
        bytes.resize(300, 'z');
        EXPECT_EQ(PipeChunkLength(bytes.data(), 300, c.bUtf8), c.nExpected)
            << c.head.size() << " + " << c.at.size() << " utf8 " << c.bUtf8;
    }
    EXPECT_EQ(PipeChunkLength("ab\r", 3, true), 3);  // all that was read fits
}

TEST_F(ConsolePipe, SplitCrLfAndSplitUtf8ReachThePaneAsTheyShould) {
    // "x" CR, then in a separate read LF "y": the CR waits for the next read and the pair stays
    // one line end.
    RunSplit("780d", "0a79", [&] { return m_pHost->Text() == u"x"; });
    EXPECT_EQ(m_pHost->Text(), u"x\r\ny--- End of Log ---\r\n");

    // The first byte of an e-acute in one read, the second in the next: one character.
    auto pRecord = std::make_shared<Record>();
    RunSplit(
        "41c3", "a90a",
        [&] {
            std::lock_guard<std::mutex> guard(pRecord->lock);
            return !pRecord->chunks.empty();
        },
        pRecord);
    EXPECT_EQ(m_pHost->Text(), u"x\r\ny--- End of Log ---\r\nA\u00E9\r\n--- End of Log ---\r\n");
    std::lock_guard<std::mutex> guard(pRecord->lock);
    ASSERT_EQ(pRecord->chunks.size(), 2u);
    EXPECT_EQ(pRecord->chunks[0], u"A");
}

TEST_F(ConsolePipe, CrLfSplitAtByte255StaysOnePair) {
    // 254 letters and a CR fill the first read; the LF comes in the next.
    std::string first;
    for (int i = 0; i < 254; ++i) {
        first += "61";
    }
    RunSplit(first + "0d", "0a62", [&] { return m_pHost->Text().size() == 254; });
    EXPECT_EQ(m_pHost->Text(), std::u16string(254, u'a') + u"\r\nb--- End of Log ---\r\n");
    // A CR that ends the whole output is not lost.
    RunToEnd(Child("bytes 410d"));
    EXPECT_NE(m_pHost->Text().find(u"A\r--- End of Log ---"), std::u16string::npos);
}

TEST_F(ConsolePipe, SgrSequencesBecomeRunsAndOtherSequencesVanish) {
    // Red "red", a title and a cursor move in between, bold "B" whose sequence is split
    // between two reads, and a CR LF that the runs must follow.
    RunSplit("1b5b33316d7265641b5b306d0a1b5d303b741b5c1b5b4878", "1b5b316d421b5b6d0a",
             [&] { return m_pHost->Text() == u"red\r\nx"; });
    EXPECT_EQ(m_pHost->Text(), u"red\r\nxB\r\n--- End of Log ---\r\n");
    std::vector<CTextAttrRun> runs;
    m_pHost->RunOnOwner([&](CTextPaneMemory& pane) { runs = pane.GetRuns(); });
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].nStart, 0);
    EXPECT_EQ(runs[0].nLength, 3);
    EXPECT_EQ(runs[0].attr.nFore, CTextAttr::kColourIndexed | 1);
    EXPECT_EQ(runs[1].nStart, 6);
    EXPECT_EQ(runs[1].nLength, 1);
    EXPECT_EQ(runs[1].attr.nFlags, CTextAttr::kBold);
    // An output of nothing but sequences inserts nothing.
    RunToEnd(Child("bytes 1b5b324a1b5b48"));
    EXPECT_NE(m_pHost->Text().find(u"xB\r\n--- End of Log ---\r\n--- End of Log ---"),
              std::u16string::npos);
}

TEST_F(ConsolePipe, ExitStatusIsReportedBeforeTheEnd) {
    struct Case {
        const char* pszCommand;
        CPipeExit::EKind kind;
        int nCode;
    };
    for (const Case& c :
         {Case{"exit 2", CPipeExit::EKind::Exited, 2}, Case{"true", CPipeExit::EKind::Exited, 0},
          Case{"kill -SEGV $$", CPipeExit::EKind::Signalled, SIGSEGV}}) {
        auto* pPipe = new CRecordingPipe(m_pHost, 0);
        const std::shared_ptr<CPipeExitReport> pReport = pPipe->ExitReport();
        const size_t nDone = m_pHost->PipeDoneValues().size();
        ASSERT_EQ(pPipe->Run(U16(c.pszCommand).c_str()), 0);
        ASSERT_TRUE(m_pHost->WaitPipeDone(nDone + 1, kWaitMs));
        const CPipeExit exit = pReport->Get();
        EXPECT_EQ(exit.kind, c.kind) << c.pszCommand;
        EXPECT_EQ(exit.nCode, c.nCode) << c.pszCommand;
        EXPECT_FALSE(exit.bStopRequested);
    }
    // A shell that closed its output and runs on (here until its input ends, which the end of
    // the pipe brings) is reported as such, and reaped later.
    auto* pPipe = new CRecordingPipe(m_pHost, CPIPE_INTERACTIVE);
    const std::shared_ptr<CPipeExitReport> pReport = pPipe->ExitReport();
    const size_t nDone = m_pHost->PipeDoneValues().size();
    ASSERT_EQ(pPipe->Run((u"exec " + Child("close-stay")).c_str()), 0);
    ASSERT_TRUE(m_pHost->WaitPipeDone(nDone + 1, kWaitMs));
    EXPECT_EQ(pReport->Get().kind, CPipeExit::EKind::RunsOn);
    EXPECT_TRUE(WaitFor([] { return CountZombieChildren() == 0; }));
}

TEST_F(ConsolePipe, ShellIsReapedAsItExitsWhileItsJobHoldsTheOutput) {
    auto* pPipe = new CRecordingPipe(m_pHost, 0);
    const std::shared_ptr<CPipeExitReport> pReport = pPipe->ExitReport();
    ASSERT_EQ(pPipe->Run(u"sleep 600 & echo started; exit 3"), 0);
    // The shell's status arrives while the output is still open, and no zombie is left.
    ASSERT_TRUE(WaitFor([&] { return pReport->Get().kind == CPipeExit::EKind::Exited; }));
    EXPECT_EQ(pReport->Get().nCode, 3);
    EXPECT_EQ(CountZombieChildren(), 0);
    EXPECT_TRUE(m_pHost->PipeDoneValues().empty());
    EXPECT_EQ(m_pHost->Text(), u"started\r\n");
    // Stop still reaches the job through the process group, and the end follows.
    EXPECT_TRUE(pPipe->Stop());
    ASSERT_TRUE(m_pHost->WaitPipeDone(1, kWaitMs));
    EXPECT_EQ(pReport->Get().nCode, 3);
}

// Whether a process with this id exists (a zombie counts as gone).
bool ProcessAlive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;
    }
    const size_t nParen = line.rfind(')');
    return nParen != std::string::npos && line.substr(nParen + 2, 1) != "Z";
}

TEST_F(ConsolePipe, StopEndsTheCommandAndItsChildren) {
    auto* pPipe = new CRecordingPipe(m_pHost, 0);
    const std::shared_ptr<CPipeExitReport> pReport = pPipe->ExitReport();
    ASSERT_EQ(pPipe->Run(u"sleep 600 & echo $!; sleep 600"), 0);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text().find(u"\r\n") != std::u16string::npos; }));
    const pid_t nJob = std::stoi(Narrow(m_pHost->Text()));
    ASSERT_TRUE(ProcessAlive(nJob));
    EXPECT_TRUE(pPipe->Stop());
    ASSERT_TRUE(m_pHost->WaitPipeDone(1, kWaitMs));
    const CPipeExit exit = pReport->Get();
    EXPECT_EQ(exit.kind, CPipeExit::EKind::Signalled);
    EXPECT_EQ(exit.nCode, SIGTERM);
    EXPECT_TRUE(exit.bStopRequested);
    EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(nJob); }));
}

TEST_F(ConsolePipe, StopKillsWhatIgnoresSigterm) {
    g_nPipeKillDelayMs = 200;
    auto* pPipe = new CRecordingPipe(m_pHost, 0);
    const std::shared_ptr<CPipeExitReport> pReport = pPipe->ExitReport();
    ASSERT_EQ(pPipe->Run(u"trap '' TERM; echo ready; sleep 600; echo after"), 0);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text() == u"ready\r\n"; }));
    EXPECT_TRUE(pPipe->Stop());
    ASSERT_TRUE(m_pHost->WaitPipeDone(1, kWaitMs));
    g_nPipeKillDelayMs = 3000;
    EXPECT_EQ(pReport->Get().kind, CPipeExit::EKind::Signalled);
    EXPECT_EQ(pReport->Get().nCode, SIGKILL);
    EXPECT_EQ(m_pHost->Text(), u"ready\r\n--- End of Log ---\r\n");
}

TEST_F(ConsolePipe, PrefixedRunTagsEachLine) {
    auto* pPipe = new CRecordingPipe(m_pHost, CPIPE_PREFIX);
    const std::u16string tag = Tag(pPipe);
    ASSERT_EQ(pPipe->Run(u"printf 'one\\ntwo\\n'"), 0);
    ASSERT_TRUE(m_pHost->WaitPipeDone(1, kWaitMs));
    EXPECT_EQ(m_pHost->Text(), tag + u"one\r\n" + tag + u"two\r\n--- End of Log ---\r\n");
    EXPECT_EQ(m_pHost->PipeDoneValues()[0], reinterpret_cast<uintptr_t>(pPipe));
}

TEST_F(ConsolePipe, OutputInTheLocalesCharacterSet) {
    g_pszPipeCharset = "ISO-8859-1";
    EXPECT_EQ(RunToEnd(Child("bytes 63e90a")), u"c\u00E9\r\n--- End of Log ---\r\n");
}

TEST_F(ConsolePipe, InteractiveShellTakesLinesAndEndsWhenItExits) {
    auto* pPipe = new CRecordingPipe(m_pHost, CPIPE_INTERACTIVE);
    ASSERT_EQ(pPipe->Run(u"echo first"), 0);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text() == u"first\r\n"; }));
    EXPECT_EQ(pPipe->Run(u"echo second"), 0);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text() == u"first\r\nsecond\r\n"; }));
    // The input stays open: a command of the shell reads the next line given.
    EXPECT_EQ(pPipe->Run(u"echo asking; read x; echo \"got:$x\""), 0);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text().ends_with(u"asking\r\n"); }));
    EXPECT_EQ(pPipe->Run(u"typed"), 0);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text().ends_with(u"got:typed\r\n"); }));
    EXPECT_TRUE(m_pHost->PipeDoneValues().empty());
    EXPECT_EQ(pPipe->Run(u"exit"), 0);
    ASSERT_TRUE(m_pHost->WaitPipeDone(1, kWaitMs));
    EXPECT_EQ(m_pHost->Text(), u"first\r\nsecond\r\nasking\r\ngot:typed\r\n--- End of Log ---\r\n");
}

// Runs fn with the process in the given locale (all categories), then puts the test's back.
template <class Fn>
void InLocale(const char* pszLocale, Fn fn) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, pszLocale), nullptr)
        << "the " << pszLocale << " locale is missing (make setup)";
    fn();
    std::setlocale(LC_ALL, previous.c_str());
}

TEST_F(ConsolePipe, InTheCLocaleCommandsAndOutputAreUtf8) {
    OrvTempDir dir;
    for (const char* pszName : {"a.txt", "b.txt", "\xC3\xBC.txt"}) {
        ASSERT_TRUE(OrvWriteFileBytes(dir.File(pszName), "x"));
    }
    // "?" in place of the u-umlaut would make the shell remove a.txt and b.txt instead.
    const std::u16string folder = U16(dir.Path().c_str());
    InLocale("C", [&] {
        EXPECT_EQ(RunToEnd(u"export LC_ALL=C; echo \u00FC; ls '" + folder + u"'; rm '" + folder +
                           u"'/\u00FC.txt; ls '" + folder + u"'"),
                  u"\u00FC\r\na.txt\r\nb.txt\r\n\u00FC.txt\r\na.txt\r\nb.txt\r\n"
                  u"--- End of Log ---\r\n");
    });
    EXPECT_EQ(OrvReadFileBytes(dir.File("a.txt")), "x");
    EXPECT_EQ(OrvReadFileBytes(dir.File("b.txt")), "x");
    EXPECT_NE(access(dir.File("\xC3\xBC.txt").c_str(), F_OK), 0);
}

TEST_F(ConsolePipe, InALatin1LocaleWhatTheSetCannotHoldIsRefused) {
    OrvTempDir dir;
    const std::u16string out = U16(dir.File("out").c_str());
    InLocale("de_DE.ISO-8859-1", [&] {
        const int nFds = CountOpenFds();
        CRecordingPipe pipe(m_pHost, CPIPE_KEEP);
        EXPECT_EQ(pipe.Run((u"echo \u20AC > '" + out + u"'").c_str()), kPipeUnencodable);
        EXPECT_TRUE(pipe.IsIdle());
        EXPECT_EQ(CountOpenFds(), nFds);
        // What the set holds goes to the shell as the locale's bytes, and comes back as text.
        ASSERT_EQ(pipe.Run((u"echo \u00FC | tee '" + out + u"'").c_str()), 0);
        ASSERT_TRUE(m_pHost->WaitPipeDone(1, kWaitMs));
        pipe.Close();
        EXPECT_EQ(OrvReadFileBytes(dir.File("out")), "\xFC\n");
        EXPECT_EQ(m_pHost->Text(), u"\u00FC\r\n--- End of Log ---\r\n");

        // An interactive line is refused the same way, and the shell takes the next one.
        auto* pShell = new CRecordingPipe(m_pHost, CPIPE_INTERACTIVE);
        ASSERT_EQ(pShell->Run(u"echo start"), 0);
        EXPECT_EQ(pShell->Run(u"echo \u20AC; echo not-refused"), kPipeUnencodable);
        EXPECT_EQ(pShell->Run(u"echo next; exit"), 0);
        ASSERT_TRUE(m_pHost->WaitPipeDone(2, kWaitMs));
        EXPECT_EQ(m_pHost->Text(),
                  u"\u00FC\r\n--- End of Log ---\r\nstart\r\nnext\r\n"
                  u"--- End of Log ---\r\n");
    });
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

TEST_F(ConsolePipe, ChildThatClosesItsOutputDoesNotHoldUpTheEndAndIsReaped) {
    const auto t0 = std::chrono::steady_clock::now();
    // exec: the shell itself would otherwise keep the output open while it waits for the child.
    const std::u16string text = RunToEnd(u"exec " + Child("close-stay"));
    // The child runs on until its input closes, which the end of the pipe does.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    ASSERT_EQ(text.substr(0, 4), u"PID ");
    const std::string pid = Narrow(text.substr(4, text.find(u'\r') - 4));
    EXPECT_TRUE(WaitFor([&] { return access(("/proc/" + pid).c_str(), F_OK) != 0; }))
        << "child " << pid << " was not reaped";
}

TEST_F(ConsolePipe, ChildSeesOnlyItsThreeDescriptorsAndManyRunsLeakNothing) {
    // A descriptor of the program's without close-on-exec must still not reach the child.
    const int hLeaky = open("/dev/null", O_RDONLY);
    ASSERT_GE(hLeaky, 0);
    EXPECT_EQ(RunToEnd(Child("fds")), u"FDS 0 1 2\r\n--- End of Log ---\r\n");
    close(hLeaky);

    // The pipes of earlier runs let go of their descriptors just after their end notification.
    int nFds = CountOpenFds();
    WaitFor([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int n = CountOpenFds();
        return std::exchange(nFds, n) == n;
    });
    const size_t nDone = m_pHost->PipeDoneValues().size();
    for (int i = 0; i < 25; ++i) {
        auto* pPipe = new CTvConsolePipe(false, m_pHost, 0);
        ASSERT_EQ(pPipe->Run(i % 2 ? u"true" : u"echo x"), 0);
    }
    ASSERT_TRUE(m_pHost->WaitPipeDone(nDone + 25, kWaitMs));
    EXPECT_TRUE(WaitFor([] { return CountZombieChildren() == 0; }));
    EXPECT_TRUE(WaitFor([&] { return CountOpenFds() == nFds; }))
        << CountOpenFds() << " descriptors open, " << nFds << " before";
}

TEST_F(ConsolePipe, DestroyingARunningPipeStopsItsReaderButNotTheChild) {
    auto pRecord = std::make_shared<Record>();
    auto pPipe = std::make_unique<CRecordingPipe>(m_pHost, CPIPE_KEEP, pRecord);
    ASSERT_EQ(pPipe->Run(Child("slow 400 10").c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return m_pHost->Text().size() > 10; }));
    const auto t0 = std::chrono::steady_clock::now();
    pPipe.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    std::lock_guard<std::mutex> guard(pRecord->lock);
    EXPECT_EQ(pRecord->nEnds, 0);  // stopped, not ended: no end sequence
}

TEST_F(ConsolePipe, PaneGoneWhileRunningDropsOutputAndThePipeStillEnds) {
    auto pRecord = std::make_shared<Record>();
    auto* pPipe = new CRecordingPipe(m_pHost, 0, pRecord);
    ASSERT_EQ(pPipe->Run(Child("slow 20 5").c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return !m_pHost->Text().empty(); }));
    m_pHost->Detach();
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> guard(pRecord->lock);
        return pRecord->nEnds == 1;
    }));
    EXPECT_TRUE(m_pHost->PipeDoneValues().empty());
    EXPECT_EQ(m_pHost->Text().find(u"line 19"), std::u16string::npos);
}

}  // namespace
