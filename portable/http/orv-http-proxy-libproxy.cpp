// The system's proxy settings on Linux, through libproxy: desktop settings, PAC scripts and the
// http_proxy / https_proxy / no_proxy environment. libproxy (and the desktop and script engines it
// brings) is loaded on the first lookup, not at program start.
#include <proxy.h>

#include <iterator>
#include <mutex>

#include "orv-http-libraries.h"
#include "orv-http-proxy.h"

namespace {

struct SProxyFunctions {
    decltype(&::px_proxy_factory_new) pfnFactoryNew = nullptr;
    decltype(&::px_proxy_factory_get_proxies) pfnGetProxies = nullptr;
    decltype(&::px_proxy_factory_free_proxies) pfnFreeProxies = nullptr;
};
SProxyFunctions g_px;
const SOrvLibraryFunction kProxyFunctions[] = {
    OrvLibraryFunction("px_proxy_factory_new", &g_px.pfnFactoryNew),
    OrvLibraryFunction("px_proxy_factory_get_proxies", &g_px.pfnGetProxies),
    OrvLibraryFunction("px_proxy_factory_free_proxies", &g_px.pfnFreeProxies),
};

// One factory for the process: making and freeing one per lookup tears down the PAC runner
// while its engine still holds state, which crashes the process after a few lookups. The
// factory lives until the process ends; lookups are serialised, since PAC runners are not all
// safe to enter from several threads at once.
std::mutex g_factoryMutex;
pxProxyFactory* g_pFactory = nullptr;

}  // namespace

COrvSharedLibrary& OrvHttpProxyLibrary() {
    static COrvSharedLibrary s_library("libproxy.so.1", kProxyFunctions,
                                       std::size(kProxyFunctions));
    return s_library;
}

bool OrvGetSystemProxySettings(const char* pszUrl, COrvSystemProxy& proxy, COrvError& err) {
    proxy = COrvSystemProxy();
    COrvError loadErr;
    if (!OrvHttpProxyLibrary().Load(loadErr))
        return err.Pass(loadErr, "Proxy settings are not available: ");
    std::lock_guard<std::mutex> guard(g_factoryMutex);
    if (g_pFactory == nullptr)
        g_pFactory = g_px.pfnFactoryNew();
    if (g_pFactory == nullptr)
        return err.Set(enNetNotFound, "Proxy settings are not available: libproxy has no factory");
    char** ppAnswers = g_px.pfnGetProxies(g_pFactory, pszUrl ? pszUrl : "");
    bool bFound = false;
    for (int i = 0; ppAnswers != nullptr && ppAnswers[i] != nullptr && !bFound; ++i)
        bFound = OrvParseSystemProxyAnswer(ppAnswers[i], proxy);
    g_px.pfnFreeProxies(ppAnswers);
    if (!bFound) {
        proxy = COrvSystemProxy();
        COrvStringA sText("No proxy settings could be determined for ");
        sText += pszUrl ? pszUrl : "";
        return err.Set(enNetNotFound, sText);
    }
    return true;
}
