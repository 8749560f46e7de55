// The running program's path from /proc/self/exe, read through the system-call table.
#include <errno.h>

#include "orv-program-path.h"
#include "orv-sys.h"

bool OrvGetExecutablePath(COrvStringA& strPath, COrvError& error) {
    strPath.Empty();
    // readlink gives no length up front: a result that fills the buffer may be cut, so the
    // buffer grows until the path fits with room to spare.
    for (int nCap = 256; nCap <= (1 << 20); nCap *= 4) {
        char* p = strPath.GetBuffer(nCap);
        if (p == nullptr)
            return error.Set(enNetNoMemory, "cannot read the program's path: out of memory");
        const long n = g_orv_sys.readlink("/proc/self/exe", p, static_cast<size_t>(nCap));
        if (n < 0) {
            const int nErr = errno;
            strPath.ReleaseBuffer(0);
            return error.SetErrno(nErr, "cannot read the program's path: ");
        }
        if (n < nCap) {
            strPath.ReleaseBuffer(static_cast<int>(n));
            return true;
        }
    }
    strPath.ReleaseBuffer(0);
    return error.SetErrno(ENAMETOOLONG, "cannot read the program's path: ");
}
