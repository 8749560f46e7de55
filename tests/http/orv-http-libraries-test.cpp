// Libraries loaded on first use: the loader's table and failures, and the HTTP layer's two users
// of it (the platform engine over libcurl, the system proxy lookup over libproxy) when their
// library is missing.
#include <gtest/gtest.h>

#include <string>

#include "orv-http-conn.h"
#include "orv-http-curl.h"
#include "orv-http-libraries.h"
#include "orv-http-proxy.h"
#include "orv-shared-library.h"
#include "orv-test-support.h"

namespace {

std::string Text(const COrvError& err) {
    return err.Text().GetString();
}

bool Mapped(const char* pszName) {
    return OrvReadFileBytes("/proc/self/maps").find(pszName) != std::string::npos;
}

// Runs before anything in this process has used the engine or the lookup.
TEST(HttpLibraries, MissingLibrariesGiveAnErrorAndNeitherIsLoadedAtStart) {
    EXPECT_FALSE(Mapped("libcurl")) << "libcurl is linked into the program";
    EXPECT_FALSE(Mapped("libproxy")) << "libproxy is linked into the program";
    EXPECT_FALSE(Mapped("libpsl")) << "libpsl is linked into the program";

    OrvHttpCurlLibrary().SetFileName("libcurl-orv-missing.so.4");
    COrvHttpConnConfig cfg;
    cfg.m_sHost = "127.0.0.1";
    cfg.m_nPort = 1;
    cfg.m_bUsePlatformEngine = true;
    COrvHttpTxn txn;
    COrvError err;
    EXPECT_FALSE(COrvHttpEngineConnection(cfg).SendReceive(txn, err));
    EXPECT_EQ(err.Code(), enNetNotFound);
    EXPECT_EQ(
        Text(err).rfind("Platform engine not available: Cannot load libcurl-orv-missing.so.4: ", 0),
        0u)
        << Text(err);

    OrvHttpProxyLibrary().SetFileName("libproxy-orv-missing.so.1");
    COrvSystemProxy proxy;
    proxy.m_sHost = "left.example";
    COrvError proxyErr;
    EXPECT_FALSE(OrvGetSystemProxySettings("http://127.0.0.1/", proxy, proxyErr));
    EXPECT_EQ(proxyErr.Code(), enNetNotFound);
    EXPECT_EQ(Text(proxyErr).rfind(
                  "Proxy settings are not available: Cannot load libproxy-orv-missing.so.1: ", 0),
              0u)
        << Text(proxyErr);
    EXPECT_TRUE(proxy.m_sHost.IsEmpty());

    // The real names load on the next use.
    OrvHttpCurlLibrary().SetFileName(nullptr);
    OrvHttpProxyLibrary().SetFileName(nullptr);
    COrvError engineErr;
    EXPECT_NE(OrvHttpCreateCurlEngine(cfg, engineErr), nullptr) << Text(engineErr);
    EXPECT_TRUE(Mapped("libcurl.so.4"));
    COrvError loadErr;
    EXPECT_TRUE(OrvHttpProxyLibrary().Load(loadErr)) << Text(loadErr);
}

}  // namespace
