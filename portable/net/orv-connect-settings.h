// The settings of one outgoing connection, as one record of plain data: its time-outs, connect
// attempts, the address families it may use and the settings of its TLS step. Passed by const
// reference (the observer, a live object, goes beside it); nothing in it is shared with another
// connection.
#pragma once

#include "orv-string.h"

// The TLS client of one connection.
struct COrvTlsSettings {
    // Bits of orv-ssl.h (kOrvTlsNoSsl3 ...); the default is COrvSocket::kDefaultTlsOptions.
    unsigned m_nOptions = 816;
    // Accept any server certificate (no chain or name check).
    bool m_bTrustAny = false;
    // A PEM file of certificates this connection trusts beside the process's roots ("" none).
    // The trust of every other connection stays as it was.
    COrvStringA m_sCaFile;
    // A PEM file holding the client certificate and its private key ("" none).
    COrvStringA m_sClientCertificate;
};

// How one connection is made and how long its steps may take.
struct COrvConnectSettings {
    // Seconds of the first connect attempt; 0 blocks. Every further attempt waits twice as long.
    int m_nConnectTimeout = 0;
    // Seconds of the longest silence while sending and while receiving; 0 means 90.
    int m_nSendTimeout = 90;
    int m_nRecvTimeout = 90;
    // Connect attempts while they fail with enNetConnection (at least 1).
    int m_nAttempts = 1;
    bool m_bAllowIPv6 = true;
    COrvTlsSettings m_tls;
};
