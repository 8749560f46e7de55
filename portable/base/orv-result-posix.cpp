// errno values to library result codes, and the system's text for them.
//
// The mapping follows the Windows table beside it: each errno value goes where its Windows
// counterpart goes. Additions with no single Windows counterpart: ENOMEM (no memory), EMFILE and
// ENFILE (descriptor tables full: resources), EPIPE, EHOSTDOWN and ENETRESET (the peer or the
// network is gone: connection), ENOMEDIUM (not ready). EAGAIN stays with the general failure:
// it means "try later" for a non-blocking call and "resource short" for others, and no caller
// should retry blindly on it, except on a lock, where it (and EACCES, which fcntl record locks
// report on some systems) means the lock is held elsewhere: a sharing violation. 0 is not a success
// here: a failed operation never reports enNetOk.
#include <errno.h>
#include <string.h>

#include "orv-result.h"

int OrvResultFromErrno(int nErrno, OrvErrnoUse use) {
    if (use == OrvErrnoUse::Lock && (nErrno == EWOULDBLOCK || nErrno == EAGAIN || nErrno == EACCES))
        return enNetSharing;
    if (use == OrvErrnoUse::Socket) {
        switch (nErrno) {
            case EMFILE:
            case ENFILE:
                return enNetResources;
            case EINVAL:
            case EBADF:
                return enNetBadRequest;
            default:
                return enNetConnection;
        }
    }
    switch (nErrno) {
        case ENOSPC:
        case EDQUOT:
        case EMFILE:
        case ENFILE:
            return enNetResources;
        case ENOMEM:
            return enNetNoMemory;
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ECONNREFUSED:
        case ECONNRESET:
        case ETIMEDOUT:
        case ENETDOWN:
        case ECONNABORTED:
        case ENETRESET:
        case EHOSTDOWN:
        case EPIPE:
            return enNetConnection;
        case EACCES:
        case EPERM:
        case EROFS:
            return enNetAccessDenied;
        case EBUSY:
        case ETXTBSY:
            return enNetSharing;
        case ENOENT:
        case ENOTDIR:
            return enNetNotFound;
        case ENOMEDIUM:
            return enNetNotReady;
        case ENOTEMPTY:
            return enNetFolderNotEmpty;
        case EEXIST:
            return enNetAlreadyExists;
        case ECANCELED:
            return enNetCancelled;
        default:
            return enNetBadRequest;
    }
}

COrvStringA OrvErrnoText(int nErrno) {
    char szBuf[1024];
    szBuf[0] = 0;
    // GNU strerror_r: returns the text, which may or may not be in szBuf.
    const char* psz = strerror_r(nErrno, szBuf, sizeof szBuf);
    // glibc makes up "Unknown error N" for numbers it has no message for.
    if (psz == nullptr || *psz == 0 || strncmp(psz, "Unknown error", 13) == 0)
        psz = "Unknown Error";
    COrvStringA str;
    if (nErrno < 0)
        str.Format("%s (error 0x%0X)", psz, static_cast<unsigned>(nErrno));
    else
        str.Format("%s (error %d)", psz, nErrno);
    return str;
}
