// Connection settings for the suites that open sockets.
#pragma once

#include "orv-connect-settings.h"

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
