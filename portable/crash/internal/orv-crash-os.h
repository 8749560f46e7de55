// What the crashed process hands its crash helper, and the helper's minidump writer. Internal: the
// handler side (orv-crash-posix.cpp), the helper (orv-crash-helper-posix.cpp) and the tests.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "orv-error.h"
#include "orv-string.h"

// The record the crashed process writes into the helper's standard input, followed by
// nSettingsLen bytes of settings ("name=value\n" lines). Plain bytes: both sides are the same
// program.
struct SOrvCrashRecord {
    static constexpr uint32_t kMagic = 0x4f525643;  // "CVRO"
    uint32_t nMagic;
    int32_t nPid;
    int32_t nTid;       // the crashing (or asserting) thread
    int32_t nSignal;    // 0 for the kinds that are not signals
    int32_t nSigCode;   // si_code
    uint32_t nFlags;    // kCrashFlag* bits
    uint64_t nAddress;  // fault address (si_addr)
    char szKind[32];    // "CRASH", "ASSERT", ...
    char szMessage[1024];
    // The crashing thread's registers, as the kernel or getcontext saved them (x86-64 layout of
    // mcontext_t: 23 general registers, then the 512-byte FXSAVE area).
    uint64_t aGregs[23];
    uint8_t aFxSave[512];
    uint32_t nSettingsLen;
};

// The crash sequence already ran once in this process: write the dump file and log only.
constexpr uint32_t kCrashFlagDumpOnly = 1;
// A signal: check the module family before reporting; the helper answers kCrashAnswerPassOn
// when no frame lies in the program's own modules.
constexpr uint32_t kCrashFlagCheckModules = 2;
// A stack overflow (the fault address is in the guard area below the stack): no stack check.
constexpr uint32_t kCrashFlagStackOverflow = 4;

// The helper's one-byte answer on its answer descriptor, once the dump is written.
constexpr char kCrashAnswerDumped = 'D';
constexpr char kCrashAnswerPassOn = 'P';

// The helper's command-line switch: program --orv-crash-report <answer fd>.
constexpr const char* kCrashHelperSwitch = "--orv-crash-report";

// One line of /proc/PID/maps.
struct SOrvMapsLine {
    uint64_t nStart = 0;
    uint64_t nEnd = 0;
    uint64_t nOffset = 0;
    uint64_t nInode = 0;
    bool bRead = false;
    bool bWrite = false;
    bool bExec = false;
    const char* pszPath = nullptr;  // into the line; empty for anonymous mappings
    size_t nPathLen = 0;
};
// Parses one line (without its "\n"); false for a malformed line (the writer skips it).
bool OrvParseMapsLine(const char* pLine, size_t nLen, SOrvMapsLine& line);

// Writes the minidump of the stopped-or-waiting process record.nPid to pszPath: attaches to each
// of its threads with ptrace, reads registers and stack memory, the modules and /proc texts, and
// detaches. bOurs (may be null) receives whether the crashing thread's instruction address or a
// return address found on its stack lies in one of the program family's modules.
[[nodiscard]] bool OrvWriteMinidump(const SOrvCrashRecord& record, const char* pszPath,
                                    bool* pbOurs, COrvError& err);

// The stack-scan rule of the module family: true when the file name of pszPath starts, without
// regard to case, with one of the family's names or with the running program's own name.
bool OrvIsFamilyModule(const char* pszPath);
