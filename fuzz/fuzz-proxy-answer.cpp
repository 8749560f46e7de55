// Fuzz target: the proxy answers of the system's settings. A usable answer names a host and a
// port from 1 to 65535 (or says direct); any other answer leaves the empty record. An accepted
// answer written back without its credentials reads the same.
#include <cstdint>
#include <string>

#include "fuzz-check.h"
#include "orv-http-proxy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 2048)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    COrvSystemProxy proxy;
    if (!OrvParseSystemProxyAnswer(text.c_str(), proxy)) {
        Check(proxy.m_bDirect && proxy.m_sHost.IsEmpty() && proxy.m_nPort == 0 &&
              proxy.m_sUserId.IsEmpty() && proxy.m_sPasswd.IsEmpty());
        return 0;
    }
    if (proxy.m_bDirect) {
        Check(proxy.m_sHost.IsEmpty() && proxy.m_nPort == 0);
        return 0;
    }
    Check(!proxy.m_sHost.IsEmpty() && proxy.m_nPort >= 1 && proxy.m_nPort <= 65535);
    const std::string host(proxy.m_sHost.GetString(), proxy.m_sHost.GetLength());
    const bool bSocks = host.rfind("socks5://", 0) == 0;
    const std::string again =
        (bSocks ? host : "http://" + host) + ":" + std::to_string(proxy.m_nPort);
    COrvSystemProxy second;
    Check(OrvParseSystemProxyAnswer(again.c_str(), second));
    Check(!second.m_bDirect && second.m_nPort == proxy.m_nPort &&
          second.m_sHost.Compare(proxy.m_sHost) == 0);
    return 0;
}
