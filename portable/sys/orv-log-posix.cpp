// The operating-system side of the log: appending descriptors, standard error and output, the
// sizes of open files.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "orv-clock.h"
#include "orv-log-os.h"
#include "orv-sys.h"

int OrvLogOsOpenAppend(const char* pszPath, int& nErr) {
    // Every process that logs appends whole entries at the end, whoever else has it open.
    const int fd = OrvSysOpen(pszPath, O_WRONLY | O_APPEND | O_CREAT, 0644);
    nErr = fd < 0 ? errno : 0;
    return fd;
}

bool OrvLogOsWrite(int fd, const char* p, size_t n, size_t& nWritten, int& nErr) {
    const bool bOk = OrvSysWriteAllWith(g_orv_sys.write, fd, p, n, &nWritten);
    nErr = bOk ? 0 : errno;
    return bOk;
}

void OrvLogOsClose(int fd) {
    OrvSysClose(fd);
}

long long OrvLogOsFileSize(int fd) {
    struct stat st;
    if (g_orv_sys.fstat(fd, &st) != 0) {
        return -1;
    }
    return static_cast<long long>(st.st_size);
}

void OrvLogOsStderr(const char* p, size_t n) {
    (void)OrvSysWriteAllWith(g_orv_sys_real.write, STDERR_FILENO, p, n, nullptr);
}

void OrvLogOsStdout(const char* p, size_t n) {
    if (n > 0) {
        ::fwrite(p, 1, n, stdout);
    }
    ::fflush(stdout);
}

int OrvLogOsFormatLocal(int64_t t, const char* pszPattern, char* pBuf, size_t nCap) {
    struct tm tmLocal;
    if (!OrvClockBreakdown(t, true, &tmLocal)) {
        return -1;
    }
    if (nCap == 0) {
        return -2;
    }
    pBuf[0] = '\0';
    const size_t n = ::strftime(pBuf, nCap, pszPattern, &tmLocal);
    if (n == 0 && pszPattern[0] != '\0') {
        return -2;
    }
    return static_cast<int>(n);
}
