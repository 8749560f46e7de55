// Libraries loaded on first use: the loader's table and failures, and the HTTP layer's two users
// of it (the platform engine over libcurl, the system proxy lookup over libproxy) when their
// library is missing.
#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include "orv-http-conn.h"
#include "orv-http-curl.h"
#include "orv-http-libraries.h"
#include "orv-http-proxy.h"
#include "orv-shared-library.h"

namespace {

std::string Text(const COrvError& err) {
    return err.Text().GetString();
}

bool Mapped(const char* pszName) {
    std::ifstream maps("/proc/self/maps");
    std::stringstream all;
    all << maps.rdbuf();
    return all.str().find(pszName) != std::string::npos;
}

struct SZlibFunctions {
    decltype(&::zlibVersion) pfnVersion = nullptr;
    decltype(&::crc32) pfnCrc32 = nullptr;
};

TEST(SharedLibrary, FillsTheTableOrReportsWhatIsMissing) {
    SZlibFunctions fns;
    const SOrvLibraryFunction wanted[] = {OrvLibraryFunction("zlibVersion", &fns.pfnVersion),
                                          OrvLibraryFunction("crc32", &fns.pfnCrc32)};
    COrvSharedLibrary zlib("libz.so.1", wanted, std::size(wanted));
    COrvError err;
    ASSERT_TRUE(zlib.Load(err)) << Text(err);
    EXPECT_TRUE(zlib.IsLoaded());
    ASSERT_NE(fns.pfnCrc32, nullptr);
    EXPECT_EQ(fns.pfnCrc32(0, reinterpret_cast<const Bytef*>("abc"), 3), 0x352441c2u);
    EXPECT_STREQ(fns.pfnVersion(), zlibVersion());

    // A function the library lacks: nothing of the table is left half filled.
    SZlibFunctions partial;
    const SOrvLibraryFunction lacking[] = {OrvLibraryFunction("zlibVersion", &partial.pfnVersion),
                                           OrvLibraryFunction("orvNoSuchCall", &partial.pfnCrc32)};
    COrvSharedLibrary lacks("libz.so.1", lacking, std::size(lacking));
    COrvError lackErr;
    EXPECT_FALSE(lacks.Load(lackErr));
    EXPECT_EQ(lackErr.Code(), enNetNotFound);
    EXPECT_EQ(Text(lackErr), "Cannot load libz.so.1: function orvNoSuchCall is missing");
    EXPECT_EQ(partial.pfnVersion, nullptr);
    EXPECT_FALSE(lacks.IsLoaded());
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
    {
        COrvHttpEngineConnection conn(cfg);
        EXPECT_FALSE(conn.SendReceive(txn, err));
    }
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
