// Feeds arbitrary proxy answers to the SOCKS5 negotiation and CONNECT reply readers over a socket
// pair (a TCP step over one end), and checks that a success always reports what the bytes said.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "orv-socks-proxy.h"
#include "orv-tcp-transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    // The answer must fit in the socket buffer: the proxy side writes it before the client reads.
    if (nSize > 4096)
        return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        abort();
    if (nSize > 0 && write(fds[1], pData, nSize) != static_cast<ssize_t>(nSize))
        abort();
    // The proxy side stops sending but still takes the client's request bytes.
    shutdown(fds[1], SHUT_WR);
    COrvTcpTransport sock("fuzz", 0, COrvConnectSettings{});
    sock.Attach(fds[0], "fuzz");
    COrvError err;
    (void)sock.SetTimeouts(1, 1, err);
    const unsigned char methods[] = {0};
    int nChosen = -1;
    if (OrvSocks5Negotiate(sock, methods, 1, nChosen, err)) {
        if (nChosen < 0 || nChosen > 2 || nSize < 2 || pData[0] != 5 || pData[1] != nChosen)
            abort();
        COrvStringA strBound;
        int nPort = -1;
        COrvError err2;
        if (OrvSocks5Connect(sock, "example.test", 443, err2, &strBound, &nPort)) {
            // The reply: 4 bytes, the address (4 or 16, or a length byte and the name), 2 port
            // bytes.
            const size_t nAddr = nSize > 6 ? (pData[5] == 1   ? 4
                                              : pData[5] == 4 ? 16
                                                              : 1 + size_t(pData[6]))
                                           : 0;
            const size_t nNeed = nSize > 6 ? 2 + 4 + nAddr + 2 : SIZE_MAX;
            if (nSize < nNeed || pData[2] != 5 || pData[3] != 0 ||
                (pData[5] != 1 && pData[5] != 3 && pData[5] != 4) ||
                nPort != (pData[nNeed - 2] << 8 | pData[nNeed - 1]))
                abort();
        } else if (!err2.Failed() || err2.Text().IsEmpty() || sock.IsOpen()) {
            abort();
        }
    } else if (!err.Failed() || nChosen != -1) {
        abort();
    }
    close(fds[1]);
    return 0;
}
