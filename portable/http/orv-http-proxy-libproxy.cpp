// The system's proxy settings on Linux, through libproxy: desktop settings, PAC scripts and the
// http_proxy / https_proxy / no_proxy environment.
#include <proxy.h>

#include <mutex>

#include "orv-http-proxy.h"

namespace {

// One factory for the process: making and freeing one per lookup tears down the PAC runner
// while its engine still holds state, which crashes the process after a few lookups. The
// factory lives until the process ends; lookups are serialised, since PAC runners are not all
// safe to enter from several threads at once.
std::mutex g_factoryMutex;
pxProxyFactory* g_pFactory = nullptr;

}  // namespace

bool OrvGetSystemProxySettings(const char* pszUrl, COrvSystemProxy& proxy, COrvError& err) {
    proxy = COrvSystemProxy();
    std::lock_guard<std::mutex> guard(g_factoryMutex);
    if (g_pFactory == nullptr)
        g_pFactory = px_proxy_factory_new();
    if (g_pFactory == nullptr)
        return err.Set(enNetNotFound, "Proxy settings are not available: libproxy has no factory");
    char** ppAnswers = px_proxy_factory_get_proxies(g_pFactory, pszUrl ? pszUrl : "");
    bool bFound = false;
    for (int i = 0; ppAnswers != nullptr && ppAnswers[i] != nullptr && !bFound; ++i)
        bFound = OrvParseSystemProxyAnswer(ppAnswers[i], proxy);
    px_proxy_factory_free_proxies(ppAnswers);
    if (!bFound) {
        proxy = COrvSystemProxy();
        COrvStringA sText("No proxy settings could be determined for ");
        sText += pszUrl ? pszUrl : "";
        return err.Set(enNetNotFound, sText);
    }
    return true;
}
