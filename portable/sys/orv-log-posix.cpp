// The operating-system side of the log: appending descriptors, standard error and output, the
// program's path.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "orv-log-os.h"
#include "orv-sys.h"

int OrvLogOsOpenAppend(const char* pszPath, int& nErr) {
    // Every process that logs appends whole entries at the end, whoever else has it open.
    const int fd = OrvSysOpen(pszPath, O_WRONLY | O_APPEND | O_CREAT, 0644);
    nErr = fd < 0 ? errno : 0;
    return fd;
}

bool OrvLogOsWrite(int fd, const char* p, size_t n, size_t& nWritten, int& nErr) {
    nWritten = 0;
    nErr = 0;
    while (nWritten < n) {
        const long nDone = g_orv_sys.write(fd, p + nWritten, n - nWritten);
        if (nDone < 0) {
            if (errno == EINTR) {
                continue;
            }
            nErr = errno;
            return false;
        }
        if (nDone == 0) {
            nErr = ENOSPC;
            return false;
        }
        nWritten += static_cast<size_t>(nDone);
    }
    return true;
}

void OrvLogOsClose(int fd) {
    OrvSysClose(fd);
}

long long OrvLogOsFileSize(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return -1;
    }
    return static_cast<long long>(st.st_size);
}

void OrvLogOsStderr(const char* p, size_t n) {
    while (n > 0) {
        const ssize_t nDone = ::write(STDERR_FILENO, p, n);
        if (nDone < 0 && errno == EINTR) {
            continue;
        }
        if (nDone <= 0) {
            return;
        }
        p += nDone;
        n -= static_cast<size_t>(nDone);
    }
}

void OrvLogOsStdout(const char* p, size_t n) {
    if (n > 0) {
        ::fwrite(p, 1, n, stdout);
    }
    ::fflush(stdout);
}

void OrvLogOsModulePath(char* pBuf, size_t nCap) {
    if (nCap == 0) {
        return;
    }
    const ssize_t n = ::readlink("/proc/self/exe", pBuf, nCap - 1);
    pBuf[n > 0 ? n : 0] = '\0';
}

int64_t OrvLogOsTickNs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t OrvLogOsNow() {
    return static_cast<int64_t>(::time(nullptr));
}

bool OrvLogOsBreakdown(int64_t t, bool bLocal, struct tm* pTm) {
    const time_t tt = static_cast<time_t>(t);
    return (bLocal ? ::localtime_r(&tt, pTm) : ::gmtime_r(&tt, pTm)) != nullptr;
}

int OrvLogOsFormatLocal(int64_t t, const char* pszPattern, char* pBuf, size_t nCap) {
    struct tm tmLocal;
    if (!OrvLogOsBreakdown(t, true, &tmLocal)) {
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
