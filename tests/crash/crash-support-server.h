// The support server of the crash tests (support-server.py): HTTPS on loopback with a
// self-signed certificate, every request recorded.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "orv-test-servers.h"
#include "orv-test-support.h"

class CrashSupportServer : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(m_server.Start({"python3", ORV_CRASH_SUPPORT_SCRIPT, m_dir.Path()},
                                   m_dir.File("server.log"), error))
            << error;
        ASSERT_TRUE(
            OrvWaitFor([&] { return m_server.Output().find("port=") != std::string::npos; }, 30000))
            << m_server.Output();
        const std::string out = m_server.Output();
        m_host = "127.0.0.1:" + out.substr(out.find("port=") + 5, out.find('\n') - 5);
        m_roots = m_dir.File("ca.pem");
    }
    std::string Requests() { return OrvReadFileBytes(m_dir.File("requests.jsonl")); }

    OrvTempDir m_dir;
    OrvTestProcess m_server;
    std::string m_host;
    std::string m_roots;
};

// The crash archives in a folder.
inline std::vector<std::string> OrvCrashZips(const OrvTempDir& dir) {
    std::vector<std::string> zips;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        if (entry.path().filename().string().rfind("tv_crash_", 0) == 0)
            zips.push_back(entry.path());
    return zips;
}
