// The console pipe: runs one command line through /bin/sh as a child process whose standard input,
// output and error are pipes held by the program, and streams everything the child writes into an
// output pane, from a reader thread of its own.
//
// Life of a pipe: the view creates it on the heap and calls Run. On success a reader thread reads
// what the child's output pipe holds (up to 64 KiB a call), cuts it into chunks of at most 255
// bytes (never between a CR LF pair or inside a UTF-8 sequence whose next bytes are in hand),
// converts each chunk from the locale's character set to UTF-16 and hands it to OnOutput, which
// hands it over to the end of the pane (ITextPaneHost::AppendOutput): the pane's owner inserts it
// before anything later happens to the pane, while the reader reads on. When the output ends (every
// writer of the output pipe has closed it), the reader calls OnOutput(nullptr) and then, unless
// CPIPE_KEEP is set, destroys the object. CTvConsolePipe posts the end notification to the pane's
// owner first.
//
// The reader reaps the child (the shell) as soon as it exits, output or not, and reports how it
// ended (CPipeExitReport) before the end of output; a shell whose background jobs still hold the
// output is thus no zombie meanwhile. A child that closes its output but runs on does not delay
// the end: it is handed to a process-wide reaper. The child is stopped only on request (Stop).
//
// The reader also takes the escape sequences out of the output (CEscapeFilter): the pane gets the
// text alone, with the SGR attributes as runs (ITextPane::ReplaceSelStyled), and a CR at the end
// of a read waits for the next read, so that a CR LF pair split between two reads stays a pair.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "escape-filter.h"
#include "orv-iconv.h"
#include "orv-string.h"
#include "orv-utf.h"
#include "output-text.h"
#include "text-pane.h"

class CPipeReaderThread;

// Run's result for a command that the child's character set cannot hold.
constexpr int kPipeUnencodable = 3;

// How a command ended, as its pipe saw it.
struct CPipeExit {
    enum class EKind {
        Unknown,    // not reported (yet)
        Exited,     // the shell exited with nCode
        Signalled,  // the shell was ended by signal nCode
        RunsOn,     // the output ended while the shell still ran (it closed its output)
    };
    EKind kind = EKind::Unknown;
    int nCode = 0;
    bool bCoreDumped = false;
    bool bStopRequested = false;  // Stop was called before the end
};

// The exit of one pipe's command, shared between the pipe and whoever wants to know it after the
// pipe is gone. The reader sets it before the end notification is posted, so its receiver reads
// the final value. Any thread.
class CPipeExitReport {
public:
    void Set(const CPipeExit& exit) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_exit = exit;
    }
    CPipeExit Get() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_exit;
    }

private:
    mutable std::mutex m_lock;
    CPipeExit m_exit;
};

// Time Stop gives a command's process group between SIGTERM and SIGKILL, in milliseconds. Tests
// shorten it. Read by the reader thread when Stop was called.
extern int g_nPipeKillDelayMs;

// Mode bits of CConsolePipe::m_dwFlags (0x1 has no meaning).
constexpr uint32_t CPIPE_PREFIX = 0x2;       // each output line starts with "PIPE %x: "
constexpr uint32_t CPIPE_INTERACTIVE = 0x4;  // the shell reads its commands from the input pipe
constexpr uint32_t CPIPE_KEEP = 0x8;         // the reader leaves the object alive at the end
constexpr uint32_t CPIPE_ANSI = 0x10;        // on Linux the locale's character set, as without it

// The interpreter started for every command: "/bin/sh" unless replaced. Tests point it at a
// program that does not exist to make the start fail. Set it before Run; read by Run only.
extern const char* g_pszPipeInterpreter;
// The character set of the child's bytes; null (the default) means the locale's
// (nl_langinfo(CODESET) as Run sees it). Tests set it to check the conversion. Read by Run only.
extern const char* g_pszPipeCharset;

// The character set a command and its output are converted with, as Run takes it now:
// g_pszPipeCharset when set, else the locale's. ASCII (the set of the C and POSIX locales, the
// locale of many service managers and minimal sessions) is taken as UTF-8: file names and what
// programs write are bytes, in practice UTF-8, and ASCII is a part of UTF-8. The text stays valid
// until the locale or g_pszPipeCharset changes. Any thread.
const char* PipeChildCharset();
// Process-wide: the program has what a console would give the child. Always true on Linux once
// EnsureHiddenConsole ran, since the child's standard handles are pipes.
extern std::atomic<bool> g_bConsoleAllocated;

// Streaming converter of a child's bytes to UTF-16, one per reader thread. In a UTF-8 set an
// incomplete sequence at the end of a chunk is carried over to the next one; invalid bytes become
// U+FFFD. Other sets are converted through iconv, also carrying incomplete sequences over; a byte
// it cannot convert becomes U+FFFD. Not thread-safe; any one thread.
class CPipeDecoder {
public:
    // Bytes carried over at most, and the output room one call needs for nLen input bytes.
    static constexpr int kMaxCarry = 8;
    static constexpr int OutputRoom(int nLen) { return nLen + kMaxCarry + 1; }

    // Decodes from pszCharset (null or empty: UTF-8). A set iconv does not know is decoded as
    // UTF-8 too.
    explicit CPipeDecoder(const char* pszCharset);
    ~CPipeDecoder();
    CPipeDecoder(const CPipeDecoder&) = delete;
    CPipeDecoder& operator=(const CPipeDecoder&) = delete;

    // Converts the bytes carried from the last call followed by nLen bytes at p into pOut, which
    // holds at least OutputRoom(nLen) units; writes a NUL after the output and returns the number
    // of units written. An incomplete sequence at the end is kept for the next call.
    int Decode(const char* p, int nLen, char16_t* pOut);
    // Converts what is still carried (an incomplete UTF-8 sequence becomes one U+FFFD, each byte
    // another set left over one U+FFFD) into pOut (room for kMaxCarry + 1
    // units); returns the count. Called once the input has ended.
    int Flush(char16_t* pOut);
    // Whether this decoder treats its input as UTF-8 (without iconv).
    bool IsUtf8() const { return !m_iconv.IsOpen(); }
    // Whether nothing is carried over: the next byte starts a character.
    bool IsAtCharacterStart() const { return m_nCarry == 0 && m_utf8.Pending() == 0; }

private:
    int DecodeIconv(const char* p, int nLen, char16_t* pOut);

    COrvIconv m_iconv;             // open for a set other than UTF-8
    COrvUtf8StreamDecoder m_utf8;  // for UTF-8, with its own carry
    char m_carry[kMaxCarry];
    int m_nCarry = 0;
};

// Converts nLen UTF-16 units (-1: up to the NUL) to the bytes of pszCharset (null or empty: UTF-8)
// for the child; invalid UTF-16 becomes U+FFFD in UTF-8. Nothing is ever put in place of a
// character the set cannot hold (a "?" would reach the shell as a wildcard): the conversion fails
// instead. Returns false (strOut empty) when a character has no place in the set, with the index
// of its first unit in *pnUnencodable (when given), or when memory runs out (*pnUnencodable -1).
// Any thread.
bool PipeEncode(const char16_t* psz, int nLen, const char* pszCharset, COrvStringA& strOut,
                int* pnUnencodable = nullptr);

// Decodes nLen bytes at p with decoder and takes the escape sequences out with filter, as
// filter.Filter(pScratch, decoder.Decode(p, nLen, pScratch), pOut, runs) does into an empty
// run list, appends the runs and returns the units written to pOut (followed by a NUL). A chunk of
// plain ASCII (no NUL, no ESC, nothing above 0x7F) met by a UTF-8 decoder at a character start and
// a filter between sequences, which is most output, is widened straight into pOut in one pass.
// pScratch and pOut hold CPipeDecoder::OutputRoom(nLen) units each. Any thread.
int PipeDecodeAndFilter(CPipeDecoder& decoder, CEscapeFilter& filter, const char* p, int nLen,
                        char16_t* pScratch, char16_t* pOut, std::vector<CTextAttrRun>& runs);

// The length of the next chunk of the n bytes a read brought at p: all of them when they are at
// most 255, else at most 255, cut before a CR LF pair or (bUtf8) before a UTF-8 sequence that
// the cut would otherwise split. Any thread.
int PipeChunkLength(const char* p, int n, bool bUtf8);

// Applies the line tags of CPIPE_PREFIX to normalised text: a final CR LF is kept without a tag,
// every other CR LF is followed by pszTag. Returns false (strOut empty) when memory runs out.
bool PipeTagLines(const COrvStringW& text, const char16_t* pszTag, COrvStringW& strOut);

class CConsolePipe {
public:
    // A pipe that writes into the pane behind wndOutput (may be null: output is dropped). bWinNT is
    // kept for the record; on Linux both kinds of system run /bin/sh the same way. Idle: no
    // reader, no child, both pipe ends -1. Any thread.
    CConsolePipe(bool bWinNT, std::shared_ptr<ITextPaneHost> wndOutput, uint32_t dwFlags);
    // Calls Close. Destroying a pipe whose reader still runs stops that reader first (see Close);
    // a derived class whose OnOutput uses its own members calls Close in its own destructor, so
    // that the reader has stopped before those members go.
    virtual ~CConsolePipe();
    CConsolePipe(const CConsolePipe&) = delete;
    CConsolePipe& operator=(const CConsolePipe&) = delete;

    // Runs pszCommand, or on a running interactive pipe writes it to the shell as an input line.
    // Returns 0 when the command was started or the line handed over (whatever the write gave);
    // 1 when pszCommand is null or empty or the interpreter could not be started; 2 when a
    // one-shot pipe is still running (nothing is written), or a pipe or the reader thread could not
    // be made; 3 (kPipeUnencodable) when the text holds a character that the child's character
    // set (PipeChildCharset) cannot hold: nothing is started or written, since any stand-in would
    // run another command than the one given. On 1, 2 and 3 a pipe that was not running is Idle
    // with every field reset and no descriptor of its own left open. A one-shot command gets an
    // input that is at its end, so that a command reading it ends at once; an interactive shell
    // keeps its input pipe. Called on the UI thread; never blocks on the child (an interactive
    // line is one write to the pipe, which waits only while the pipe is full). On success the
    // object may already be destroyed by its reader when Run returns (without CPIPE_KEEP); the
    // caller must not touch it until its end notification arrives, except for Run on an
    // interactive pipe.
    int Run(const char16_t* pszCommand);

    // Stops a reader that still runs, waiting for it (it stops before its next read, or once the
    // pane call it is in has returned; so do not call this on the pane's owner thread while the
    // reader runs and the pane is attached); hands the child over to the reaper without stopping
    // it; closes both pipe ends; resets the fields. The pipe is Idle afterwards. Safe to call
    // repeatedly. On the reader thread itself (a pipe destroying itself at the end of output) it
    // lets the thread go instead of waiting for it.
    void Close();

    // Called on the reader thread with each converted chunk (never empty), and once with null
    // after the last one. The base hands the chunk over to the end of the pane in one piece (line
    // ends normalised; trimmed near the limit and tagged with CPIPE_PREFIX as it is inserted);
    // the plain chunks of one read go over together once the read is done, each inserted as a
    // piece of its own; output is dropped once the pane is gone. Null hands over what is
    // gathered.
    virtual void OnOutput(const char16_t* pszText);

    // Converts pszText to the child's character set and writes it to the child's standard input in
    // one call. Returns true when every byte was written; false for empty text or text the set
    // cannot hold (nothing written), no input pipe (a one-shot command's input is closed once it
    // runs), or a failed write (a child that has exited: the program is not stopped by SIGPIPE).
    // Blocks while the pipe is full. Any thread but the reader's.
    bool WriteInput(const char16_t* pszText);

    // Starts the interpreter with the command (one-shot: sh -c COMMAND; interactive: sh -s, and the
    // command is then written as its first input line) in a process group of its own, with
    // hStdInput as its standard input and hStdOutput, hStdError as its output and error, the
    // program's environment and current folder, and no other descriptor. A command too long for
    // one argument of the system goes in pieces that the shell joins before it runs them. Returns
    // true and stores the child in m_hProcess on success; false when the command does not fit the
    // child's character set or the interpreter cannot be started.
    bool StartProcess(const char16_t* pszCommand, int hStdOutput, int hStdInput, int hStdError);

    // The reader thread's body for pPipe: reads and converts until the output ends, then runs the
    // end sequence described above. Returns 1.
    static int ReaderThreadProc(CConsolePipe* pPipe);

    // Nothing to do on Linux: sets g_bConsoleAllocated and returns it (true).
    static bool EnsureHiddenConsole();

    // Asks the running command to end: SIGTERM to its process group now, and SIGKILL to the group
    // g_nPipeKillDelayMs later if the output has not ended by then (the reader sends it). Output
    // that arrives meanwhile is shown, and the end of output ends the pipe as usual. Returns false
    // when no command runs. Any thread but the reader's; while the pipe runs (before its end
    // notification has been handled) the object is alive.
    bool Stop();

    // The report the reader fills in before it posts the end notification; stays valid after the
    // pipe is gone. Any thread.
    std::shared_ptr<CPipeExitReport> ExitReport() const { return m_pExitReport; }

protected:
    // Hands the nText units of normalised text at pText (followed by a NUL) over to the end of
    // the pane (with the tags of CPIPE_PREFIX), with the attribute runs pRuns[0..nRuns)
    // (positions in the text); false when the pane is gone. With CPIPE_PREFIX the text goes
    // without attributes.
    // pPieces[0..nPieces) are the lengths of the chunks the text is made of, when more than one
    // (see CTextPaneOutput).
    // pBuffers, when given, are the buffers text, line index and pieces are in (see
    // CTextPaneOutput), which the pane's host may take over.
    bool InsertIntoPane(const char16_t* pText, int nText, const CTextAttrRun* pRuns = nullptr,
                        int nRuns = 0, const CTextLineIndex* pLines = nullptr,
                        const int* pPieces = nullptr, int nPieces = 0,
                        COutputBuffers* pBuffers = nullptr);
    // Hands the plain chunks that OnOutput has gathered from the reader's last read over to the
    // pane together. The reader calls it after each read and before OnOutput(nullptr); OnOutput
    // calls it before any text it does not gather. Reader thread only.
    void FlushOutput();

    // Room for nUnits at the end of the text gathered for FlushOutput, where the reader normalises
    // a chunk of plain text itself (m_nChunkNormalised); null when chunks are not gathered (line
    // tags). Valid until the next call of OnOutput or FlushOutput. Reader thread only.
    char16_t* GatherRoom(size_t nUnits);
    // The same whatever the mode, for text that OnOutput writes there itself.
    char16_t* TextRoom(size_t nUnits);

    // The chunk the reader is handing to OnOutput and its attribute runs: OnOutput gives the runs
    // to the pane when it is called with exactly this text. Reader thread only.
    const char16_t* m_pszChunk = nullptr;
    int m_nChunkLen = 0;
    // When not -1: the chunk's normalised units, which the reader has written at GatherRoom in the
    // pass that widened it; OnOutput gathers them as they are when it gathers the chunk.
    int m_nChunkNormalised = -1;
    // OnOutput's buffers: the plain chunks of a read gathered in m_out.text[0..m_nGathered), their
    // lengths in m_out.pieces, and their line index once FlushOutput has scanned them, handed to
    // the pane's host to take over; also the normalised text of a chunk that goes on its own.
    // Reader thread only.
    COutputBuffers m_out;
    size_t m_nGathered = 0;
    std::vector<CTextAttrRun> m_normalisedRuns;
    // The line index of the normalised chunk, worked out here rather than on the pane's owner
    // thread. Reader thread only.
    CTextLineScan m_lineScan;
    const CTextAttrRun* m_pChunkRuns = nullptr;
    int m_nChunkRuns = 0;

    uint32_t m_dwFlags;                          // mode bits, fixed at construction
    std::shared_ptr<ITextPaneHost> m_wndOutput;  // the output pane and its owner
    bool m_bWinNT;                               // kept for the record; no effect on Linux
    // The reader thread's number (OrvGetThreadNumber), 0 when none. Stays set after a CPIPE_KEEP
    // pipe's reader has ended, until the next Run or Close collects the thread.
    uint64_t m_hReaderThread = 0;
    int m_hProcess = 0;      // the child's process id; 0 when none
    int m_hStdinWrite = -1;  // the program's end of the child's input pipe; -1 when none
    int m_hStdoutRead = -1;  // the program's end of the child's output pipe; -1 when none

private:
    // The reader's end: releases the descriptors and hands the child to the reaper.
    void ReleaseHandles();
    // Collects the thread of a reader that has ended (CPIPE_KEEP) so that the pipe is Idle.
    void CollectEndedReader();
    // Reaps the child if it has exited and records how; true once it is reaped (or gone).
    // Reader thread.
    bool ReapIfExited();
    // Records the exit in the report (adding whether Stop was called).
    void ReportExit(CPipeExit exit);

    CPipeReaderThread* m_pReader = nullptr;  // the reader thread object, while m_hReaderThread
    std::mutex m_lock;                       // guards the descriptors against WriteInput
    std::mutex m_gate;                       // held by Run until it is done with the object
    std::atomic<bool> m_bStop{false};        // Close asks the reader to stop
    std::atomic<bool> m_bReaderEnded{false};
    int m_hWake = -1;         // eventfd that wakes the reader for Close and Stop; -1 when none
    int m_hPidFd = -1;        // the child's pidfd (readable once it exits); -1 when none
    int m_nProcessGroup = 0;  // the child's process group, kept after it is reaped; guarded
    std::atomic<bool> m_bStopRequested{false};
    std::atomic<int64_t> m_nKillAtMs{0};  // monotonic time of the SIGKILL; 0 when none due
    std::shared_ptr<CPipeExitReport> m_pExitReport = std::make_shared<CPipeExitReport>();
    char m_szCharset[48] = {};  // the child's character set, taken by Run
};

// The pipe the view uses: at the end of the output it also posts the end notification, carrying
// the object's address as a plain value, to the pane's owner.
class CTvConsolePipe : public CConsolePipe {
public:
    using CConsolePipe::CConsolePipe;
    // Null: posts the end notification, then does what the base does. Reader thread.
    void OnOutput(const char16_t* pszText) override;
};
