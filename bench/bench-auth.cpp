// Authenticated requests per second: a fresh 401 -> 200 Digest exchange, and a fresh
// three-message NTLM handshake, for each of 1,000 requests on one kept-alive connection, by the
// socket engine with the auth machine and by the curl command (--digest, --ntlm; one config file
// of 1,000 URLs separated by "next", so that each starts its own exchange on the reused
// connection), against the same server in the same run. The server (a small one in this
// program, on loopback) accepts any well-formed answer: what is measured is the client.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "orv-http-auth-machine.h"
#include "orv-http-connection.h"
#include "orv-string-util.h"
#include "orv-test-servers.h"

namespace {

constexpr int kCount = 1000;

std::string NtlmChallenge() {
    // Flags 0xe2898215, target information: NetBIOS domain "CO", a timestamp.
    static const char kHex[] =
        "4e544c4d53535000020000000000000030000000158289e21122334455667788000000000000000018001800"
        "300000000700080001020304050607080200040043004f0000000000";
    std::string s;
    for (const char* p = kHex; p[0] && p[1]; p += 2)
        s += static_cast<char>(OrvHexDigitValue(p[0]) * 16 + OrvHexDigitValue(p[1]));
    return OrvBase64Encode(s.data(), static_cast<int>(s.size())).GetString();
}

void Serve(int fd) {
    const std::string challenge = NtlmChallenge();
    std::string buf;
    char chunk[8192];
    for (;;) {
        size_t end;
        while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                close(fd);
                return;
            }
            buf.append(chunk, static_cast<size_t>(n));
        }
        const std::string head = buf.substr(0, end);
        buf.erase(0, end + 4);
        std::string status = "401 Unauthorized", extra;
        if (head.find(" /digest") != std::string::npos) {
            if (head.find("\nAuthorization: Digest ") != std::string::npos)
                status = "200 OK";
            else
                extra = "WWW-Authenticate: Digest realm=\"r\",qop=\"auth\",nonce=\"abcdef\"\r\n";
        } else if (head.find("\nAuthorization: NTLM TlRMTVNTUAAB") != std::string::npos) {
            extra = "WWW-Authenticate: NTLM " + challenge + "\r\n";
        } else if (head.find("\nAuthorization: NTLM TlRMTVNTUAAD") != std::string::npos) {
            status = "200 OK";
        } else {
            extra = "WWW-Authenticate: NTLM\r\n";
        }
        const std::string out =
            "HTTP/1.1 " + status + "\r\n" + extra + "Content-Length: 2\r\n\r\nok";
        if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
            close(fd);
            return;
        }
    }
}

struct Server {
    int listenFd = -1;
    int port = 0;
    Server() {
        listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(listenFd, 64) != 0 ||
            getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
        std::thread([fd = listenFd] {
            for (int c; (c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
                std::thread(Serve, c).detach();
        }).detach();
    }
};

Server& GetServer() {
    static Server server;
    return server;
}

void BM_Ours(benchmark::State& state) {
    const bool bNtlm = state.range(0) != 0;
    COrvHttpAuthMachine machine;
    COrvHttpConnection conn;
    conn.m_sHost = "127.0.0.1";
    conn.m_nPort = GetServer().port;
    conn.m_sUserId = bNtlm ? "DOM\\u" : "u";
    conn.m_sPassword = "p";
    conn.m_pAuthSchemes = &machine;
    for (auto _ : state) {
        for (int i = 0; i < kCount; ++i) {
            conn.SetServerAuthState(0);  // a fresh exchange for every request
            COrvHttpTxn txn;
            txn.m_sPath = bNtlm ? "/ntlm" : "/digest";
            COrvError err;
            if (!OrvHttpSendReceive(conn, txn, err) || txn.m_nStatus != 200) {
                state.SkipWithError(err.Text().GetString());
                return;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}

void BM_CurlCommand(benchmark::State& state) {
    const bool bNtlm = state.range(0) != 0;
    const std::string curl = OrvTestFindProgram("curl");
    if (curl.empty()) {
        state.SkipWithError("the curl command is missing: install the package curl");
        return;
    }
    char dir[] = "/tmp/orv-bench-auth-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string config = std::string(dir) + "/urls.txt";
    {
        std::ofstream f(config);
        for (int i = 0; i < kCount; ++i) {
            if (i > 0)
                f << "next\n";
            f << "url = \"http://127.0.0.1:" << GetServer().port << (bNtlm ? "/ntlm" : "/digest")
              << "\"\n"
              << (bNtlm ? "ntlm\nuser = \"DOM\\\\u:p\"\n" : "digest\nuser = \"u:p\"\n")
              << "output = \"/dev/null\"\nfail\n";
        }
    }
    const std::string cmd = "'" + curl + "' -s --noproxy '*' -K '" + config + "'";
    for (auto _ : state) {
        if (OrvTestRunShell(cmd) != 0) {
            state.SkipWithError("curl failed");
            break;
        }
    }
    OrvTestRunShell(std::string("rm -rf '") + dir + "'");
    state.SetItemsProcessed(state.iterations() * kCount);
}

}  // namespace

// Argument: 0 Digest, 1 NTLM.
BENCHMARK(BM_Ours)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurlCommand)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
