// The SOCKS5 step against a real proxy (microsocks, started once for the suite on loopback). The
// replies a well-behaved proxy never gives are scripted in the transport stack tests.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "orv-net-test-util.h"
#include "orv-socket.h"
#include "orv-socks-proxy.h"
#include "orv-tcp-transport.h"
#include "orv-test-net.h"

namespace {

// microsocks on 127.0.0.1, started once for the suite.
class SocksEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (m_socks.Start(m_dir.Path(), m_strMissing))
            m_nPort = m_socks.Port();
    }
    void TearDown() override { m_socks.Stop(); }

    static inline int m_nPort = 0;
    static inline std::string m_strMissing;

private:
    OrvTempDir m_dir;
    OrvTestMicrosocks m_socks;
};

const auto* g_env = ::testing::AddGlobalTestEnvironment(new SocksEnvironment);

std::unique_ptr<COrvSocks5Transport> ThroughProxy(const char* pszHost, int nPort) {
    return std::make_unique<COrvSocks5Transport>(
        std::make_unique<COrvTcpTransport>("127.0.0.1", SocksEnvironment::m_nPort,
                                           OrvTestNet(5, 5, 5)),
        pszHost, nPort);
}

TEST(OrvSocks, ConnectThroughARealProxy) {
    ASSERT_TRUE(SocksEnvironment::m_strMissing.empty()) << SocksEnvironment::m_strMissing;
    // An IPv4 target, and an IPv6 one given as a URL writes it.
    COrvError err;
    for (const char* pszDestination : {"127.0.0.1", "[::1]"}) {
        COrvSocket target;
        ASSERT_TRUE(target.Listen(*pszDestination == '[' ? "::1" : pszDestination, 0, 4, err))
            << err.Text().GetString();
        std::thread server([&] {
            COrvSocket s;
            COrvError e;
            ASSERT_TRUE(target.Accept(s, 10000, e)) << e.Text().GetString();
            COrvStringA line;
            ASSERT_TRUE(s.RecvLine(line, e));
            EXPECT_TRUE(s.SendString(COrvStringA("echo:") + line + "\n", e));
        });
        auto p = ThroughProxy(pszDestination, target.GetLocalPort());
        EXPECT_TRUE(p->Connect(0, nullptr, err)) << pszDestination << ": " << err.Text();
        EXPECT_TRUE(OrvTransportSendFlush(*p, "hello\n", 6, err));
        char reply[11] = {};
        EXPECT_TRUE(OrvTransportRecvExact(*p, reply, 11, "eof", err)) << err.Text();
        EXPECT_EQ("echo:hello\n", std::string(reply, 11));
        server.join();
    }

    // A refused destination through the real proxy: a nonzero reply closes the transport.
    auto p = ThroughProxy("127.0.0.1", OrvTestFreePort());
    COrvError errRefused;
    EXPECT_FALSE(p->Connect(0, nullptr, errRefused));
    EXPECT_EQ(0u, std::string(errRefused.Text().GetString()).rfind("SOCKS5 connect: ", 0))
        << errRefused.Text();
    EXPECT_FALSE(p->IsOpen());
}

}  // namespace
