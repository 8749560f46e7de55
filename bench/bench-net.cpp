// Bulk receive of 1 GiB over loopback, plain and TLS (AES-GCM), by COrvSocket and by curl from the
// same server in the same run; TLS handshakes per second with and without the session cache.
// The server is the library's own listener (and TLS server side), on 127.0.0.1 only.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "orv-socket.h"
#include "orv-ssl.h"

namespace {

constexpr int64_t kBytes = int64_t(1) << 30;
constexpr int kChunk = 1 << 20;

// Serves every connection with an HTTP/1.0 answer of kBytes (or, in handshake mode, one byte).
class BulkServer {
public:
    BulkServer(bool bTls, bool bHandshakeOnly) : m_bTls(bTls), m_bHandshakeOnly(bHandshakeOnly) {
        COrvError err;
        if (bTls) {
            char szDir[] = "/tmp/orv-bench-net-XXXXXX";
            m_dir = mkdtemp(szDir);
            const std::string cmd =
                "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                "-subj /CN=bench.example.com -keyout " +
                m_dir + "/key.pem -out " + m_dir + "/cert.pem >/dev/null 2>&1";
            if (system(cmd.c_str()) != 0 ||
                !m_ctx.Load((m_dir + "/cert.pem").c_str(), (m_dir + "/key.pem").c_str(), nullptr,
                            "prime256v1", err)) {
                fprintf(stderr, "bench-net: cannot make the TLS server: %s\n",
                        err.Text().GetString());
                exit(1);
            }
            // TLS 1.2 peers get AES-GCM too; TLS 1.3 uses AES-256-GCM by default.
            (void)m_ctx.SetCipherList("ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256",
                                      err);
        }
        if (!m_listen.Listen("127.0.0.1", 0, 64, err)) {
            fprintf(stderr, "bench-net: %s\n", err.Text().GetString());
            exit(1);
        }
        m_nPort = m_listen.GetLocalPort();
        m_data.assign(kChunk, 'x');
        for (int i = 0; i < kChunk; ++i)
            m_data[i] = static_cast<char>('a' + i % 26);
        m_thread = std::thread([this] { Serve(); });
    }
    ~BulkServer() {
        m_bStop = true;
        m_thread.join();
        if (!m_dir.empty())
            (void)system(("rm -rf " + m_dir).c_str());
    }
    int Port() const { return m_nPort; }

private:
    void Serve() {
        while (!m_bStop) {
            COrvSocket s;
            COrvError err;
            if (!m_listen.Accept(s, 200, err))
                continue;
            if (m_bTls && !s.AcceptTls(m_ctx, err))
                continue;
            if (m_bHandshakeOnly) {
                unsigned char c = 0;
                bool bEof = false;
                if (s.Send("k", 1, err))
                    (void)s.RecvByte(c, bEof, err);
                continue;
            }
            COrvStringA line;
            while (s.RecvLine(line, err) && !line.IsEmpty()) {
            }
            COrvStringA head;
            head.Format("HTTP/1.0 200 OK\r\nContent-Length: %lld\r\n\r\n",
                        static_cast<long long>(kBytes));
            if (!s.SendString(head, err))
                continue;
            for (int64_t n = 0; n < kBytes; n += kChunk) {
                if (!s.Send(m_data.data(), kChunk, err))
                    break;
            }
            s.Close(false);
        }
    }

    bool m_bTls, m_bHandshakeOnly;
    std::string m_dir;
    COrvSslServerContext m_ctx;
    COrvSocket m_listen;
    int m_nPort = 0;
    std::string m_data;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

BulkServer& Server(bool bTls) {
    static BulkServer plain(false, false);
    static BulkServer tls(true, false);
    return bTls ? tls : plain;
}

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void OrvFetch(benchmark::State& state, bool bTls) {
    const int nPort = Server(bTls).Port();
    // A read size that stays in the processor's cache, as a streaming consumer would use.
    constexpr int kRead = 128 * 1024;
    std::vector<char> buf(kRead);
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        COrvSocket s;
        COrvError err;
        COrvConnectSettings net;
        net.m_nConnectTimeout = 5;
        net.m_nSendTimeout = net.m_nRecvTimeout = 30;
        net.m_tls.m_bTrustAny = true;
        if (!s.Connect("127.0.0.1", nPort, bTls, net, nullptr, err) ||
            !s.SendString("GET / HTTP/1.0\r\n\r\n", err)) {
            state.SkipWithError(err.Text().GetString());
            return;
        }
        COrvStringA line;
        while (s.RecvLine(line, err) && !line.IsEmpty()) {
        }
        int64_t nTotal = 0;
        int nGot = 0;
        while (s.Recv(buf.data(), kRead, nGot, err) && nGot > 0)
            nTotal += nGot;
        state.SetIterationTime(Seconds(t0));
        if (nTotal != kBytes) {
            state.SkipWithError("short body");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void CurlFetch(benchmark::State& state, bool bTls) {
    const int nPort = Server(bTls).Port();
    const std::string cmd = std::string("curl -s -f -o /dev/null -w '%{size_download}' ") +
                            (bTls ? "-k https://127.0.0.1:" : "http://127.0.0.1:") +
                            std::to_string(nPort) + "/";
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        FILE* p = popen(cmd.c_str(), "r");
        char sz[64] = {};
        const bool bRead = p != nullptr && fgets(sz, sizeof sz, p) != nullptr;
        const int rc = p != nullptr ? pclose(p) : -1;
        state.SetIterationTime(Seconds(t0));
        if (!bRead || rc != 0 || atoll(sz) != kBytes) {
            state.SkipWithError("curl failed (package curl)");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_PlainOrv(benchmark::State& state) {
    OrvFetch(state, false);
}
void BM_PlainCurl(benchmark::State& state) {
    CurlFetch(state, false);
}
void BM_TlsOrv(benchmark::State& state) {
    OrvFetch(state, true);
}
void BM_TlsCurl(benchmark::State& state) {
    CurlFetch(state, true);
}

void Handshakes(benchmark::State& state, bool bCache) {
    static BulkServer server(true, true);
    OrvSslSessionCacheClear();
    const unsigned nOptions = bCache ? (COrvSocket::kDefaultTlsOptions & ~kOrvTlsNoSessionCache)
                                     : COrvSocket::kDefaultTlsOptions;
    int64_t nDone = 0;
    int64_t nReused = 0;
    for (auto _ : state) {
        COrvSocket s;
        COrvError err;
        unsigned char c = 0;
        bool bEof = false;
        // Reading the server's byte also takes in the session tickets that follow a handshake.
        COrvConnectSettings net;
        net.m_nConnectTimeout = net.m_nSendTimeout = net.m_nRecvTimeout = 5;
        net.m_tls.m_bTrustAny = true;
        net.m_tls.m_nOptions = nOptions;
        if (!s.Connect("127.0.0.1", server.Port(), true, net, nullptr, err) ||
            !s.RecvByte(c, bEof, err)) {
            state.SkipWithError(err.Text().GetString());
            return;
        }
        nReused += s.IsTlsSessionReused() ? 1 : 0;
        s.Close(false);
        ++nDone;
    }
    state.counters["handshakes/s"] = benchmark::Counter(double(nDone), benchmark::Counter::kIsRate);
    state.counters["reused"] = double(nReused);
}

void BM_TlsHandshakeNoCache(benchmark::State& state) {
    Handshakes(state, false);
}
void BM_TlsHandshakeCache(benchmark::State& state) {
    Handshakes(state, true);
}

}  // namespace

BENCHMARK(BM_PlainCurl)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainOrv)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TlsCurl)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TlsOrv)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TlsHandshakeNoCache)->Iterations(300)->UseRealTime();
BENCHMARK(BM_TlsHandshakeCache)->Iterations(300)->UseRealTime();

BENCHMARK_MAIN();
