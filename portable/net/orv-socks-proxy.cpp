// SOCKS5 method negotiation and CONNECT over a connected transport, and the SOCKS5 step.
#include "orv-socks-proxy.h"

#include <arpa/inet.h>
#include <string.h>

#include "orv-socket.h"
#include "orv-trace.h"
#include "orv-transport.h"

namespace {

// Reads one byte; the end of the stream fails with pszEof (enNetConnection).
bool ReadByte(IOrvTransport& sock, unsigned char& ch, const char* pszEof, COrvError& err) {
    return OrvTransportRecvExact(sock, &ch, 1, pszEof, err);
}

bool CheckVersion(unsigned char nVersion, COrvError& err) {
    if (nVersion == 5)
        return true;
    return err.SetFormat(enNetConnection, "bad SOCKS version number %d (not a SOCKS5 proxy?)",
                         nVersion);
}

}  // namespace

COrvStringA OrvSocks5ReplyText(int nReply) {
    static const char* const kTexts[] = {"no error",
                                         "general SOCKS server failure",
                                         "connection not allowed by ruleset",
                                         "network unreachable",
                                         "host unreachable",
                                         "connection refused",
                                         "TTL expired",
                                         "command not supported",
                                         "address type not supported"};
    COrvStringA s;
    if (nReply >= 0 && nReply < static_cast<int>(sizeof kTexts / sizeof kTexts[0]))
        s = kTexts[nReply];
    else
        s.Format("unknown error %d", nReply);
    return s;
}

namespace {

bool NegotiateImpl(IOrvTransport& sock, const unsigned char* pMethods, int nMethods, int& nChosen,
                   COrvError& err) {
    nChosen = -1;
    if (pMethods == nullptr || nMethods < 1 || nMethods > 255)
        return err.SetFormat(enNetBadRequest, "bad number of SOCKS methods %d", nMethods);
    unsigned char req[257];
    req[0] = 5;
    req[1] = static_cast<unsigned char>(nMethods);
    memcpy(req + 2, pMethods, nMethods);
    if (!sock.Send(req, nMethods + 2, err) || !sock.Flush(err))
        return false;
    unsigned char nVersion = 0, nMethod = 0;
    if (!ReadByte(sock, nVersion, "unexpected EOF before version number", err) ||
        !CheckVersion(nVersion, err) ||
        !ReadByte(sock, nMethod, "unexpected EOF after version number", err))
        return false;
    if (nMethod <= 2) {
        nChosen = nMethod;
        return true;
    }
    if (nMethod == 255)
        return err.Set(enNetProxyAuth, "unsupported authentication method");
    return err.SetFormat(enNetProxyAuth, "proxy server returns bad authentication method %d",
                         nMethod);
}

bool ConnectImpl(IOrvTransport& sock, const char* pszHost, int nPort, COrvError& err,
                 COrvStringA* pstrBound, int* pnBoundPort, bool& bWritten) {
    if (pstrBound != nullptr)
        pstrBound->Empty();
    if (pnBoundPort != nullptr)
        *pnBoundPort = 0;
    const size_t nHost = pszHost != nullptr ? strlen(pszHost) : 0;
    if (nHost == 0)
        return err.Set(enNetBadRequest, "empty destination address");
    if (nHost >= 256)
        return err.Set(enNetBadRequest, "destination address too long");
    unsigned char req[4 + 1 + 255 + 2];
    int n = 0;
    req[n++] = 5;  // version
    req[n++] = 1;  // CONNECT
    req[n++] = 0;  // reserved
    in_addr a4{};
    if (inet_pton(AF_INET, pszHost, &a4) == 1) {
        req[n++] = 1;
        memcpy(req + n, &a4, 4);
        n += 4;
    } else if (strchr(pszHost, ':') == nullptr) {
        req[n++] = 3;
        req[n++] = static_cast<unsigned char>(nHost);
        memcpy(req + n, pszHost, nHost);
        n += static_cast<int>(nHost);
    } else {
        // An IPv6 literal, with or without the brackets of a URL, goes as its sixteen bytes.
        COrvStringA strAddr(pszHost);
        if (nHost > 2 && pszHost[0] == '[' && pszHost[nHost - 1] == ']')
            strAddr = COrvStringA(pszHost + 1, static_cast<int>(nHost) - 2);
        in6_addr a6{};
        if (inet_pton(AF_INET6, strAddr, &a6) != 1)
            return err.SetFormat(enNetBadRequest, "bad IPv6 destination address %s", pszHost);
        req[n++] = 4;
        memcpy(req + n, &a6, 16);
        n += 16;
    }
    req[n++] = static_cast<unsigned char>((nPort >> 8) & 0xFF);
    req[n++] = static_cast<unsigned char>(nPort & 0xFF);
    bWritten = true;
    if (!sock.Send(req, n, err) || !sock.Flush(err))
        return false;

    unsigned char nVersion = 0, nReply = 0, nReserved = 0, nType = 0;
    if (!ReadByte(sock, nVersion, "unexpected EOF before version number", err) ||
        !CheckVersion(nVersion, err) ||
        !ReadByte(sock, nReply, "unexpected EOF after version number", err))
        return false;
    if (nReply != 0) {
        sock.Close(true);
        return err.Set(enNetConnection, OrvSocks5ReplyText(nReply));
    }
    if (!ReadByte(sock, nReserved, "unexpected EOF after RSV", err) ||
        !ReadByte(sock, nType, "unexpected EOF after RSV", err))
        return false;
    COrvStringA strBound;
    if (nType == 1) {
        unsigned char a[4];
        for (unsigned char& b : a) {
            if (!ReadByte(sock, b, "unexpected EOF in BND.ADDR", err))
                return false;
        }
        strBound.Format("%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    } else if (nType == 4) {
        // A proxy that reaches the destination over IPv6 names the address it bound there.
        unsigned char a[16];
        for (unsigned char& b : a) {
            if (!ReadByte(sock, b, "unexpected EOF in BND.ADDR", err))
                return false;
        }
        char sz[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, a, sz, sizeof sz);
        strBound = sz;
    } else if (nType == 3) {
        unsigned char nLen = 0;
        if (!ReadByte(sock, nLen, "unexpected EOF in BND.ADDR", err))
            return false;
        for (int i = 0; i < nLen; ++i) {
            unsigned char c = 0;
            if (!ReadByte(sock, c, "unexpected EOF after BND.ADDR length", err))
                return false;
            strBound.AppendChar(static_cast<char>(c));
        }
    } else {
        return err.SetFormat(enNetBadRequest, "unrecognized address type %d", nType);
    }
    unsigned char p0 = 0, p1 = 0;
    if (!ReadByte(sock, p0, "unexpected EOF after BND.ADDR", err) ||
        !ReadByte(sock, p1, "unexpected EOF in BND.PORT", err))
        return false;
    if (pstrBound != nullptr)
        *pstrBound = strBound;
    if (pnBoundPort != nullptr)
        *pnBoundPort = (p0 << 8) | p1;
    return true;
}

}  // namespace

// A failure part-way through a negotiation leaves the stream at an unknown point of the
// exchange: the socket is closed so that nobody reads proxy bytes as the destination's.
bool OrvSocks5Negotiate(IOrvTransport& sock, const unsigned char* pMethods, int nMethods,
                        int& nChosen, COrvError& err) {
    if (NegotiateImpl(sock, pMethods, nMethods, nChosen, err))
        return true;
    if (pMethods != nullptr && nMethods >= 1 && nMethods <= 255)
        sock.Close(true);
    return false;
}

bool OrvSocks5Connect(IOrvTransport& sock, const char* pszHost, int nPort, COrvError& err,
                      COrvStringA* pstrBound, int* pnBoundPort) {
    bool bWritten = false;
    if (ConnectImpl(sock, pszHost, nPort, err, pstrBound, pnBoundPort, bWritten))
        return true;
    if (bWritten)
        sock.Close(true);
    return false;
}

// ---------------------------------------------------------------------------------------------
// The SOCKS5 step

COrvSocks5Transport::COrvSocks5Transport(std::unique_ptr<IOrvTransport> pLower, const char* pszHost,
                                         int nPort)
    : m_pLower(std::move(pLower)), m_sHost(pszHost), m_nPort(nPort) {}

bool COrvSocks5Transport::Connect(int64_t nDeadlineMs, IOrvTransferObserver* pObserver,
                                  COrvError& err) {
    COrvError e;
    if (!m_pLower->Connect(nDeadlineMs, pObserver, e))
        return err.Pass(e, "cannot connect to SOCKS5 proxy: ");
    static const unsigned char kNoAuth[] = {0};
    int nChosen = -1;
    if (!OrvTransportBeforeDeadline(nDeadlineMs, "SOCKS5 proxy", e) ||
        !OrvSocks5Negotiate(*m_pLower, kNoAuth, 1, nChosen, e)) {
        m_pLower->Close(true);
        return err.Pass(e, "SOCKS5 proxy handshake: ");
    }
    if (!OrvSocks5Connect(*m_pLower, m_sHost, m_nPort, e)) {
        m_pLower->Close(true);
        return err.Pass(e, "SOCKS5 connect: ");
    }
    return true;
}

COrvStringA COrvSocks5Transport::Describe() const {
    COrvStringA s;
    s.Format("SOCKS5 to %s:%d over ", OrvHostUrlForm(m_sHost).GetString(), m_nPort);
    return s + m_pLower->Describe();
}
