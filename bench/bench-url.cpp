// Cracking URLs: COrvUrl::Crack against libcurl's URL API (curl_url_set) on the same 10,000
// varied URLs, in the same run. Before timing, both are checked to accept every URL of the set
// and to agree on its host. Prints URLs/s for both and the ratio.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "orv-url.h"

namespace {

// Schemes, user information, hosts (names, IPv4, IPv6 literals), ports, paths of 0-6 segments,
// queries and fragments in varied mixes, as seen in requests and redirects.
std::vector<std::string> MakeUrls() {
    static const char* kSchemes[] = {"http", "https", "https", "https", "ftp", "HTTP"};
    static const char* kHosts[] = {"example.com",
                                   "www.example.org",
                                   "api.service.example",
                                   "cdn-12.static.example.net",
                                   "192.168.10.20",
                                   "[2001:db8::1]",
                                   "[::1]",
                                   "localhost",
                                   "a.b.c.d.example.co.uk"};
    static const char* kSegments[] = {"index.html", "api",       "v2",    "users",
                                      "12345",      "search",    "img",   "a%20b",
                                      "assets",     "style.css", "x-y_z~"};
    static const char* kQueries[] = {"q=test", "id=42&sort=asc", "utm_source=mail&x=%2F",
                                     "a=1&b=2&c=3&d=4", "token=abcdefABCDEF0123456789"};
    std::mt19937 rng(7);
    std::vector<std::string> urls;
    while (urls.size() < 10000) {
        std::string u = kSchemes[rng() % 6];
        u += "://";
        if (rng() % 8 == 0)
            u += (rng() % 2) ? "user:pa%3Ass@" : "alice@";
        u += kHosts[rng() % 9];
        if (rng() % 4 == 0)
            u += ":" + std::to_string(1024 + rng() % 60000);
        const unsigned nSeg = rng() % 7;
        for (unsigned i = 0; i < nSeg; ++i) {
            u += "/";
            u += kSegments[rng() % 11];
        }
        if (nSeg > 0 && rng() % 3 == 0)
            u += "/";
        if (rng() % 3 == 0) {
            u += "?";
            u += kQueries[rng() % 5];
        }
        if (rng() % 6 == 0)
            u += "#section-" + std::to_string(rng() % 100);
        urls.push_back(u);
    }
    return urls;
}

const std::vector<std::string>& Urls() {
    static const std::vector<std::string> urls = MakeUrls();
    return urls;
}

bool CheckAgreement() {
    CURLU* h = curl_url();
    COrvUrl url;
    int nBad = 0;
    for (const std::string& s : Urls()) {
        char* pszHost = nullptr;
        if (!url.Crack(s.c_str()) || curl_url_set(h, CURLUPART_URL, s.c_str(), 0) != CURLUE_OK ||
            curl_url_get(h, CURLUPART_HOST, &pszHost, 0) != CURLUE_OK ||
            std::string(pszHost) != url.GetHostName()) {
            if (++nBad < 5)
                fprintf(stderr, "disagreement on %s\n", s.c_str());
        }
        curl_free(pszHost);
    }
    curl_url_cleanup(h);
    return nBad == 0;
}

double g_dOrvRate = 0;
double g_dCurlRate = 0;

void BM_OrvUrlCrack(benchmark::State& state) {
    const std::vector<std::string>& urls = Urls();
    COrvUrl url;
    const auto t0 = std::chrono::steady_clock::now();
    int64_t n = 0;
    for (auto _ : state) {
        for (const std::string& s : urls) {
            benchmark::DoNotOptimize(url.Crack(s.data(), static_cast<int>(s.size())));
            benchmark::ClobberMemory();
        }
        n += static_cast<int64_t>(urls.size());
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    g_dOrvRate = static_cast<double>(n) / secs;
    state.SetItemsProcessed(n);
}
BENCHMARK(BM_OrvUrlCrack)->Unit(benchmark::kMicrosecond);

void BM_CurlUrlSet(benchmark::State& state) {
    const std::vector<std::string>& urls = Urls();
    CURLU* h = curl_url();
    const auto t0 = std::chrono::steady_clock::now();
    int64_t n = 0;
    for (auto _ : state) {
        for (const std::string& s : urls)
            benchmark::DoNotOptimize(curl_url_set(h, CURLUPART_URL, s.c_str(), 0));
        n += static_cast<int64_t>(urls.size());
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    g_dCurlRate = static_cast<double>(n) / secs;
    curl_url_cleanup(h);
    state.SetItemsProcessed(n);
}
BENCHMARK(BM_CurlUrlSet)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (!CheckAgreement()) {
        fprintf(stderr, "the two parsers disagree on the URL set\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_dCurlRate > 0) {
        printf("crack %.0f URLs/s, curl_url_set %.0f URLs/s, ratio %.2f\n", g_dOrvRate, g_dCurlRate,
               g_dOrvRate / g_dCurlRate);
    }
    return 0;
}
