// The HTTP client of the socket engine against curl, in the same run, from the same nginx on
// loopback: (1) a 1 GiB body over one connection, plain and TLS; (2) 10,000 small GETs on one
// kept-alive connection (curl gets all URLs in one invocation, so it reuses its connection).
// Real time throughout: curl runs as a child process. The alternating runs take both clients in
// turn, for a ratio that a changing machine load does not skew.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
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

// One 1 GiB download by the socket engine; false with the reason in sWhy.
bool OrvBigBody(bool bTls, std::vector<char>& buf, std::string& sWhy) {
    COrvHttpConnection conn;
    Configure(conn, bTls);
    COrvHttpTxn txn;
    txn.m_sPath = "/big.bin";
    txn.m_nRecvMode = enHttpRecvStream;
    COrvError err;
    if (!OrvHttpSendReceive(conn, txn, err)) {
        sWhy = err.Text().GetString();
        return false;
    }
    int64_t nTotal = 0;
    int n;
    while ((n = conn.ReadBody(txn, buf.data(), static_cast<int>(buf.size()), err)) > 0)
        nTotal += n;
    if (n < 0 || nTotal != kBig) {
        sWhy = "short body";
        return false;
    }
    return true;
}

// The same download by curl.
bool CurlBigBody(bool bTls) {
    const std::string cmd =
        "curl -s -k -f -o /dev/null -w '%{size_download}' " + Url(bTls, "/big.bin");
    int nStatus = 0;
    const std::string out = OrvRunCapture(cmd, &nStatus);
    return nStatus == 0 && atoll(out.c_str()) == kBig;
}

double SecondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_BigBody_Orv(benchmark::State& state) {
    const bool bTls = state.range(0) != 0;
    std::vector<char> buf(1 << 17);
    for (auto _ : state) {
        std::string sWhy;
        if (!OrvBigBody(bTls, buf, sWhy)) {
            state.SkipWithError(sWhy.c_str());
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kBig);
}

void BM_BigBody_Curl(benchmark::State& state) {
    const bool bTls = state.range(0) != 0;
    for (auto _ : state) {
        if (!CurlBigBody(bTls)) {
            state.SkipWithError("curl failed (package curl)");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kBig);
}

// Both clients in turn within every iteration: on a shared machine whose load changes from one
// second to the next, the ratio of the two (orv_vs_curl, above 1 when ours is faster) is the
// figure to read; the separate runs above may each meet another load.
void BM_BigBody_Alternating(benchmark::State& state) {
    const bool bTls = state.range(0) != 0;
    std::vector<char> buf(1 << 17);
    double dOrv = 0;
    double dCurl = 0;
    for (auto _ : state) {
        std::string sWhy;
        auto t0 = std::chrono::steady_clock::now();
        if (!OrvBigBody(bTls, buf, sWhy)) {
            state.SkipWithError(sWhy.c_str());
            return;
        }
        dOrv += SecondsSince(t0);
        t0 = std::chrono::steady_clock::now();
        if (!CurlBigBody(bTls)) {
            state.SkipWithError("curl failed (package curl)");
            return;
        }
        dCurl += SecondsSince(t0);
    }
    const double dMiB = static_cast<double>(state.iterations() * kBig) / (1 << 20);
    state.counters["orv_MiBps"] = dMiB / dOrv;
    state.counters["curl_MiBps"] = dMiB / dCurl;
    state.counters["orv_vs_curl"] = dCurl / dOrv;
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
BENCHMARK(BM_BigBody_Alternating)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("tls")
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallGets_Orv)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallGets_Curl)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
