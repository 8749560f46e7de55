// The system's proxy settings on Linux, through libproxy: desktop settings, PAC scripts and the
// http_proxy / https_proxy / no_proxy environment.
#include <proxy.h>

#include "orv-http-proxy.h"

bool OrvGetSystemProxySettings(const char* pszUrl, COrvSystemProxy& proxy, COrvError& err) {
    proxy = COrvSystemProxy();
    pxProxyFactory* pFactory = px_proxy_factory_new();
    if (pFactory == nullptr)
        return err.Set(enNetNotFound, "Proxy settings are not available: libproxy has no factory");
    char** ppAnswers = px_proxy_factory_get_proxies(pFactory, pszUrl ? pszUrl : "");
    bool bFound = false;
    for (int i = 0; ppAnswers != nullptr && ppAnswers[i] != nullptr && !bFound; ++i)
        bFound = OrvParseSystemProxyAnswer(ppAnswers[i], proxy);
    px_proxy_factory_free_proxies(ppAnswers);
    px_proxy_factory_free(pFactory);
    if (!bFound) {
        proxy = COrvSystemProxy();
        COrvStringA sText("No proxy settings could be determined for ");
        sText += pszUrl ? pszUrl : "";
        return err.Set(enNetNotFound, sText);
    }
    return true;
}
