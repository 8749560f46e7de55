// Library result codes and the one mapping from system error numbers to them.
#pragma once

#include "orv-string.h"

// The result code every fallible operation stores beside its error text.
enum OrvResult : int {
    enNetOk = 0,
    enNetProxyAuth = 1,
    enNetAuth = 2,
    enNetOtpRequired = 3,
    enNetConnection = 4,
    enNetCertificate = 5,
    enNetBadRequest = 6,  // bad format or bad request; also the general failure
    enNetAccessDenied = 7,
    enNetSharing = 8,  // sharing violation or lock
    enNetServer = 9,
    enNetResources = 10,
    enNetNoMemory = 11,
    enNetRetry = 12,
    enNetCancelled = 13,
    enNetTimeout = 15,  // a wait timed out
    enNetNotFound = 17,
    enNetNotReady = 18,
    enNetEndOfStream = 19,
    enNetAlreadyExists = 20,
    enNetFolderNotEmpty = 21,
};

// Library code for a Windows system error number (kept as a pure table).
int OrvResultFromWinError(long nWinError);
// What a system call that set errno was doing; the same value means different things to a caller
// of each kind.
enum class OrvErrnoUse {
    General,  // files, folders, processes and the rest
    Lock,     // taking a lock (a record lock or flock): EWOULDBLOCK (EAGAIN) and EACCES mean
              // "held by someone else" and map to enNetSharing
    Socket,   // a socket call: descriptor tables full (EMFILE, ENFILE) are resources, a bad
              // argument or descriptor (EINVAL, EBADF) a bad request, everything else a failed
              // connection
};
// Library code for an errno value: the only place where errno values are mapped.
int OrvResultFromErrno(int nErrno, OrvErrnoUse use = OrvErrnoUse::General);
// The system's message for an errno value followed by " (error %d)" ("Unknown Error" when the
// system has none; " (error 0x%0X)" for negative values).
COrvStringA OrvErrnoText(int nErrno);
