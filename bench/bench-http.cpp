// The HTTP client of the socket engine against curl, in the same run, from the same nginx on
// loopback: (1) a 1 GiB body over one connection, plain and TLS; (2) 10,000 small GETs on one
// kept-alive connection (curl gets all URLs in one invocation, so it reuses its connection).
// Real time throughout: curl runs as a child process.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "orv-http-connection.h"
#include "orv-http-peers.h"

namespace {

constexpr int64_t kBig = int64_t(1) << 30;
constexpr int kGets = 10000;

OrvHttpPeers& Peers() {
    static OrvHttpPeers* p = [] {
        auto* peers = new OrvHttpPeers;
        bool bOk = peers->MakeCertificate() && peers->WriteDoc("small.txt", "hello nginx\n") &&
                   peers->WriteDoc("big.bin", "");
        // A sparse file: nginx serves it from the page cache, the same for both clients.
        bOk = bOk && truncate(peers->DocPath("big.bin").c_str(), kBig) == 0;
        bOk = bOk && peers->StartNginx();
        if (!bOk) {
            fprintf(stderr, "bench-http: %s\n", peers->Error().c_str());
            exit(1);
        }
        return peers;
    }();
    return *p;
}

int PortOf(bool bTls) {
    return bTls ? Peers().NginxTlsPort() : Peers().NginxPort();
}

std::string Url(bool bTls, const char* pszPath) {
    return std::string(bTls ? "https" : "http") + "://127.0.0.1:" + std::to_string(PortOf(bTls)) +
           pszPath;
}

void Configure(COrvHttpConnection& conn, bool bTls) {
    conn.m_sHost = "127.0.0.1";
    conn.m_nPort = PortOf(bTls);
    conn.m_bHttps = bTls;
    conn.m_net.m_tls.m_bTrustAny = true;
}

void BM_BigBody_Orv(benchmark::State& state) {
    const bool bTls = state.range(0) != 0;
    std::vector<char> buf(1 << 17);
    for (auto _ : state) {
        COrvHttpConnection conn;
        Configure(conn, bTls);
        COrvHttpTxn txn;
        txn.m_sPath = "/big.bin";
        txn.m_nRecvMode = enHttpRecvStream;
        COrvError err;
        if (!OrvHttpSendReceive(conn, txn, err)) {
            state.SkipWithError(err.Text().GetString());
            return;
        }
        int64_t nTotal = 0;
        int n;
        while ((n = conn.ReadBody(txn, buf.data(), static_cast<int>(buf.size()), err)) > 0)
            nTotal += n;
        if (n < 0 || nTotal != kBig) {
            state.SkipWithError("short body");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kBig);
}

void BM_BigBody_Curl(benchmark::State& state) {
    const bool bTls = state.range(0) != 0;
    const std::string cmd =
        "curl -s -k -f -o /dev/null -w '%{size_download}' " + Url(bTls, "/big.bin");
    for (auto _ : state) {
        int nStatus = 0;
        const std::string out = OrvRunCapture(cmd, &nStatus);
        if (nStatus != 0 || atoll(out.c_str()) != kBig) {
            state.SkipWithError("curl failed (package curl)");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kBig);
}

void BM_SmallGets_Orv(benchmark::State& state) {
    for (auto _ : state) {
        COrvHttpConnection conn;
        Configure(conn, false);
        COrvHttpTxn txn;
        txn.m_sPath = "/small.txt";
        for (int i = 0; i < kGets; ++i) {
            COrvError err;
            if (!OrvHttpSendReceive(conn, txn, err) || txn.m_sBody.GetLength() != 12) {
                state.SkipWithError(err.Text().GetString());
                return;
            }
        }
        if (conn.ConnectionsOpened() != 1) {
            state.SkipWithError("the connection was not kept alive");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kGets);
}

void BM_SmallGets_Curl(benchmark::State& state) {
    const std::string conf = Peers().Dir().File("urls.conf");
    std::string text;
    for (int i = 0; i < kGets; ++i)
        text += "url = \"" + Url(false, "/small.txt") + "\"\noutput = \"/dev/null\"\n";
    if (!OrvWriteFileBytes(conf, text)) {
        state.SkipWithError("cannot write the curl config");
        return;
    }
    const std::string cmd = "curl -s -f -K " + conf + " -w '%{num_connects}\\n'";
    for (auto _ : state) {
        int nStatus = 0;
        const std::string out = OrvRunCapture(cmd, &nStatus);
        // One line per URL; a new connection shows as 1, a reused one as 0.
        int nLines = 0;
        int nConnects = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            if (out[i] == '\n')
                ++nLines;
            else if (out[i] == '1' && (i == 0 || out[i - 1] == '\n'))
                ++nConnects;
        }
        if (nStatus != 0 || nLines != kGets || nConnects != 1) {
            state.SkipWithError("curl failed or did not reuse its connection");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kGets);
}

BENCHMARK(BM_BigBody_Orv)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("tls")
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BigBody_Curl)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("tls")
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallGets_Orv)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallGets_Curl)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
