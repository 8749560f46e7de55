// The two HTTP engines (the socket engine and the platform engine) side by side, and the curl
// command on the same URLs, in the same run, on an nginx origin on loopback (and through a squid
// proxy): a 1 GiB body (a sparse file, counted, not kept) and 10,000 small GETs on one kept-alive
// connection (the curl command gets the same 10,000 URLs in one config file, so it reuses its
// connection too). Arguments of the engine rows: {0 direct / 1 proxy, 0 socket / 1 platform}.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "orv-http-conn.h"
#include "orv-http-io.h"
#include "orv-http-proxy.h"
#include "orv-test-servers.h"

namespace {

constexpr int64_t kBig = 1LL << 30;
constexpr int kSmallCount = 10000;

struct Peers {
    std::string nginxDir;
    std::string squidDir;
    OrvTestNginx nginx;
    OrvTestSquid squid;
    bool bOk = false;
    std::string error;
    std::string curl;

    Peers() {
        char a[] = "/tmp/orv-bench-XXXXXX";
        char b[] = "/tmp/orv-bench-XXXXXX";
        nginxDir = mkdtemp(a) ? a : "";
        squidDir = mkdtemp(b) ? b : "";
        curl = OrvTestFindProgram("curl");
        bOk = !curl.empty() && nginx.Start(nginxDir, error) && squid.Start(squidDir, error);
        if (curl.empty())
            error = "the curl command is missing: install the package curl";
        if (bOk) {
            const std::string big = nginx.Www() + "/zero/1g.bin";
            const int fd = open(big.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
            bOk = fd >= 0 && ftruncate(fd, kBig) == 0;
            if (fd >= 0)
                close(fd);
            std::ofstream(nginx.Www() + "/zero/small.txt") << "small body of the benchmark\n";
            // One read beforehand, so that the first row measured does not pay for filling the
            // page cache.
            bOk = bOk && OrvTestRunShell("cat '" + big + "' >/dev/null") == 0;
        }
    }
    ~Peers() {
        squid.Stop();
        nginx.Stop();
        OrvTestRunShell("rm -rf '" + nginxDir + "' '" + squidDir + "'");
    }
    std::string Url(bool bProxy, const char* pszPath) const {
        return std::string("http://") + (bProxy ? kOrvTestOriginName : "127.0.0.1") + ":" +
               std::to_string(nginx.Port()) + pszPath;
    }
    std::string CurlProxyArg(bool bProxy) const {
        return bProxy ? " --proxy 127.0.0.1:" + std::to_string(squid.OpenPort()) : " --noproxy '*'";
    }
};

Peers& GetPeers() {
    static Peers peers;
    return peers;
}

// The peers, or null with the case skipped when they could not be started.
Peers* PeersOrSkip(benchmark::State& state) {
    Peers& p = GetPeers();
    if (!p.bOk) {
        state.SkipWithError(p.error.c_str());
        return nullptr;
    }
    return &p;
}

// Counts a streamed body.
struct CountingSink : IOrvByteSink {
    bool WriteAll(const void*, int64_t nLen, COrvError&) override {
        n += nLen;
        return true;
    }
    int64_t n = 0;
};

void UseProxy(bool bProxy) {
    COrvProxySettings s;
    s.m_bUseProxy_Manual = bProxy;
    s.m_sHost = "127.0.0.1";
    s.m_nPort = GetPeers().squid.OpenPort();
    COrvStringA sLog;
    COrvError err;
    (void)OrvSetAndTestEffectiveProxy(s, true, false, sLog, err);
}

COrvHttpConnConfig Config(bool bProxy, bool bPlatform, IOrvByteSink* pSink) {
    COrvHttpConnConfig cfg;
    cfg.m_sHost = bProxy ? kOrvTestOriginName : "127.0.0.1";
    cfg.m_nPort = GetPeers().nginx.Port();
    cfg.m_bUsePlatformEngine = bPlatform;
    cfg.m_pRecvSink = pSink;
    return cfg;
}

void BM_Engine_1GiB(benchmark::State& state) {
    if (PeersOrSkip(state) == nullptr) {
        return;
    }
    const bool bProxy = state.range(0) != 0;
    UseProxy(bProxy);
    CountingSink sink;
    COrvHttpEngineConnection conn(Config(bProxy, state.range(1) != 0, &sink));
    for (auto _ : state) {
        sink.n = 0;
        COrvHttpTxn txn;
        txn.m_sPath = "/zero/1g.bin";
        txn.m_nRecvMode = enHttpRecvStream;
        COrvError err;
        if (!conn.SendReceive(txn, err) || sink.n != kBig) {
            state.SkipWithError(err.Failed() ? err.Text().GetString() : "short body");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kBig);
}

void BM_CurlCommand_1GiB(benchmark::State& state) {
    Peers* pPeers = PeersOrSkip(state);
    if (pPeers == nullptr) {
        return;
    }
    Peers& p = *pPeers;
    const bool bProxy = state.range(0) != 0;
    const std::string cmd = "'" + p.curl + "' -sf -o /dev/null" + p.CurlProxyArg(bProxy) + " '" +
                            p.Url(bProxy, "/zero/1g.bin") + "'";
    for (auto _ : state) {
        if (OrvTestRunShell(cmd) != 0) {
            state.SkipWithError("curl failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kBig);
}

void BM_Engine_10kSmallGets(benchmark::State& state) {
    if (PeersOrSkip(state) == nullptr) {
        return;
    }
    const bool bProxy = state.range(0) != 0;
    UseProxy(bProxy);
    COrvHttpEngineConnection conn(Config(bProxy, state.range(1) != 0, nullptr));
    for (auto _ : state) {
        for (int i = 0; i < kSmallCount; ++i) {
            COrvHttpTxn txn;
            txn.m_sPath = "/zero/small.txt";
            COrvError err;
            if (!conn.SendReceive(txn, err)) {
                state.SkipWithError(err.Text().GetString());
                return;
            }
        }
    }
    state.counters["connections"] = static_cast<double>(conn.ConnectionsOpened());
    state.SetItemsProcessed(state.iterations() * kSmallCount);
}

void BM_CurlCommand_10kSmallGets(benchmark::State& state) {
    Peers* pPeers = PeersOrSkip(state);
    if (pPeers == nullptr) {
        return;
    }
    Peers& p = *pPeers;
    const bool bProxy = state.range(0) != 0;
    const std::string config = p.nginxDir + "/urls.conf";
    {
        std::ofstream f(config);
        for (int i = 0; i < kSmallCount; ++i)
            f << "url = \"" << p.Url(bProxy, "/zero/small.txt") << "\"\noutput = \"/dev/null\"\n";
    }
    const std::string cmd =
        "'" + p.curl + "' -sf" + p.CurlProxyArg(bProxy) + " -K '" + config + "'";
    for (auto _ : state) {
        if (OrvTestRunShell(cmd) != 0) {
            state.SkipWithError("curl failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kSmallCount);
}

// Arg 0: direct; 1: through the proxy.
BENCHMARK(BM_Engine_1GiB)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CurlCommand_1GiB)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Engine_10kSmallGets)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CurlCommand_10kSmallGets)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
