// The support requests and "send logs to support", in this process (these run under the
// sanitizers; the crashing programs are in orv-crash-test).
#include <sys/stat.h>

#include <string>

#include "crash-support-server.h"
#include "orv-crash-helper.h"
#include "orv-crash-report.h"
#include "orv-crash.h"

namespace {

std::string Peer(const std::string& args) {
    return OrvRunCapture("python3 " ORV_CRASH_PEER_SCRIPT " " + args + " 2>&1");
}

// A refused login is told with the server's words (a login that passes is in SendLogsToSupport).
TEST_F(CrashSupportServer, ARefusedLoginSaysWhy) {
    g_orv_support_host = m_host.c_str();
    g_orv_support_roots = m_roots.c_str();
    g_orv_account_user = "tester";
    g_orv_account_password = "wrong";
    COrvStringA sUrl;
    COrvError err;
    EXPECT_FALSE(TvGetCreateTicketUrl(sUrl, err));
    EXPECT_STREQ("Server Says: \nlogin refused", err.Text().GetString());
    g_orv_support_host = "";
    g_orv_support_roots = "";
}

std::string g_openedUrl;

// "Send logs to support": the archive with the diagnostic folder's files (not its sub-folders,
// ".exe" or executable files) and the trace file goes up, the ticket names it, its page opens.
TEST_F(CrashSupportServer, SendLogsToSupport) {
    OrvTempDir logs;
    ASSERT_TRUE(OrvWriteFileBytes(logs.File("a.log"), "log a\n"));
    ASSERT_TRUE(OrvWriteFileBytes(logs.File("b.exe"), "MZ"));
    ASSERT_TRUE(OrvWriteFileBytes(logs.File("run.sh"), "#!/bin/sh\n"));
    ASSERT_EQ(0, chmod(logs.File("run.sh").c_str(), 0755));
    ASSERT_EQ(0, mkdir(logs.File("sub").c_str(), 0700));
    ASSERT_TRUE(OrvWriteFileBytes(logs.File("sub/c.log"), "c"));
    ASSERT_TRUE(OrvWriteFileBytes(m_dir.File("trace.txt"), "traced"));
    g_orv_diag_paths.RemoveAll();
    g_orv_diag_paths.Add(COrvStringA(logs.Path().c_str()));
    g_orv_support_roots = m_roots.c_str();
    g_orv_account_user = "tester";
    g_orv_account_password = "secret";
    const std::string zip = logs.File("sub/logs.zip");
    COrvError err;
    const bool bOk = TvSendLogsToSupport(
        zip.c_str(), m_host.c_str(), "Logs", "Please look", m_dir.File("trace.txt").c_str(),
        nullptr,
        [](const char* pszUrl, COrvError&) {
            g_openedUrl = pszUrl;
            return true;
        },
        err);
    ASSERT_TRUE(bOk) << err.Text().GetString();
    EXPECT_EQ("https://" + m_host + "/tickets/42", g_openedUrl);
    EXPECT_EQ("_sysinfo.txt\ntrace.txt\n" +
                  std::string(OrvDiagEntryName(logs.File("a.log").c_str())) + "\n",
              Peer("list " + zip));
    const std::string requests = Requests();
    EXPECT_NE(std::string::npos, requests.find("\"text\": \"att-2--tester-logs.zip\"")) << requests;
    EXPECT_NE(std::string::npos,
              requests.find("\"filename\": [\"stored-att-2--tester-logs.zip.zip\"]"))
        << requests;
    g_orv_diag_paths.RemoveAll();
    g_orv_support_roots = "";
}

}  // namespace
