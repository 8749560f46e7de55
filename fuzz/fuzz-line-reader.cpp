// Feeds arbitrary bytes to the socket's line reader over a socket pair: every line returned has
// no LF and is shorter than the limit, and every line but the last (which may end without LF)
// ends without CR.
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "orv-socket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > 200000)
        return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        abort();
    std::thread writer([&] {
        size_t nDone = 0;
        while (nDone < nSize) {
            const ssize_t n = write(fds[1], pData + nDone, nSize - nDone);
            if (n <= 0)
                break;
            nDone += static_cast<size_t>(n);
        }
        close(fds[1]);
    });
    COrvSocket sock;
    sock.Attach(fds[0], "fuzz");
    COrvError err;
    (void)sock.SetTimeouts(5, 5, err);
    size_t nLines = 0;
    bool bPrevEndsInCr = false;
    for (;;) {
        COrvStringA line;
        COrvError e;
        if (!sock.RecvLine(line, e)) {
            if (!e.Failed() || strncmp(e.Text(), "receiving line: ", 16) != 0)
                abort();
            break;
        }
        const int n = line.GetLength();
        if (n >= COrvSocket::kMaxLine || bPrevEndsInCr ||
            memchr(line.GetString(), '\n', n) != nullptr)
            abort();
        bPrevEndsInCr = n > 0 && line[n - 1] == '\r';
        if (++nLines > nSize + 1)
            abort();
    }
    sock.Close(true);
    writer.join();
    return 0;
}
