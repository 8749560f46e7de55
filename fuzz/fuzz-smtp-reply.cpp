// Feeds arbitrary server bytes to the SMTP reply reader over a socket pair: a reply it accepts
// has a code from 200 to 599 and as many line texts as it read lines; a refusal has a text.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz-check.h"
#include "orv-mail.h"
#include "orv-socket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    // The bytes must fit in the socket buffer: they are written before the reader starts.
    if (nSize > 4096)
        return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        abort();
    if (nSize > 0 && write(fds[1], pData, nSize) != static_cast<ssize_t>(nSize))
        abort();
    close(fds[1]);
    COrvSocket sock;
    sock.Attach(fds[0], "fuzz");
    COrvError err;
    (void)sock.SetTimeouts(1, 1, err);
    OrvSmtpReply reply;
    if (OrvSmtpReadReply(sock, "fuzz", reply, err)) {
        Check(!err.Failed() && reply.nCode >= 200 && reply.nCode <= 599);
        Check(reply.lines.GetCount() >= 1 && reply.lines.GetCount() <= 1000);
        // The reply's first line starts the input with its code.
        Check(nSize >= 3 && pData[0] - '0' == reply.nCode / 100);
    } else {
        Check(err.Failed() && !err.Text().IsEmpty());
    }
    return 0;
}
