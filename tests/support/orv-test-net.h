// Connection settings and a transfer observer for the suites that open sockets.
#pragma once

#include <atomic>
#include <string>

#include "orv-connect-settings.h"
#include "orv-result.h"
#include "orv-transfer-observer.h"

// The settings of a test connection: time-outs in seconds, trust-any and the TLS options word.
inline COrvConnectSettings OrvTestNet(int nConnect, int nSend, int nRecv, bool bTrustAny = false,
                                      unsigned nTlsOptions = 816) {
    COrvConnectSettings net;
    net.m_nConnectTimeout = nConnect;
    net.m_nSendTimeout = nSend;
    net.m_nRecvTimeout = nRecv;
    net.m_tls.m_bTrustAny = bTrustAny;
    net.m_tls.m_nOptions = nTlsOptions;
    return net;
}

// Records log lines as "LEVEL text\n" and counts progress calls and abort checks. With
// m_nStopAfter it stops the transfer at that abort check.
class OrvTestObserver : public IOrvTransferObserver {
public:
    bool OnProgress(int64_t, int, int&, COrvStringA&) override {
        ++m_nProgress;
        return true;
    }
    void OnLog(int nLevel, const char* pszText) override {
        lines += std::to_string(nLevel) + " " + pszText + "\n";
    }
    bool ShouldAbort(int& nCode, COrvStringA& strError) override {
        return ++m_nChecks >= m_nStopAfter && m_nStopAfter > 0 && !Stop(nCode, strError);
    }
    // The number of log lines that start with prefix.
    int Count(const std::string& prefix) const {
        int n = 0;
        for (size_t i = 0; i < lines.size(); i = lines.find('\n', i) + 1)
            n += lines.compare(i, prefix.size(), prefix) == 0;
        return n;
    }

    std::string lines;
    std::atomic<int> m_nChecks{0};
    int m_nProgress = 0;
    int m_nStopAfter = 0;

private:
    static bool Stop(int& nCode, COrvStringA& strError) {
        nCode = enNetCancelled;
        strError = "stopped by the user";
        return false;
    }
};
