// The client side of a SOCKS version 5 proxy (RFC 1928) over a connected COrvSocket: method
// negotiation and the CONNECT request. Both run on the socket's owner thread and block up to the
// socket's time-outs. End-of-stream failures carry enNetConnection. A failure once bytes have
// been exchanged closes the socket: the stream is then at an unknown point of the exchange.
#pragma once

#include "orv-error.h"
#include "orv-string.h"

class COrvSocket;

// The text of a SOCKS5 reply code ("no error", "general SOCKS server failure", ... and
// "unknown error %d" for codes past 8).
COrvStringA OrvSocks5ReplyText(int nReply);

// Offers the nMethods method bytes (1..255) and reads the proxy's choice: 0, 1 or 2 are returned
// in nChosen. A proxy that does not answer with version 5 fails with "bad SOCKS version number %d
// (not a SOCKS5 proxy?)"; 255 is "unsupported authentication method" and any other choice "proxy
// server returns bad authentication method %d" (both enNetProxyAuth). nChosen is -1 on failure.
[[nodiscard]] bool OrvSocks5Negotiate(COrvSocket& sock, const unsigned char* pMethods, int nMethods,
                                      int& nChosen, COrvError& err);

// Asks the proxy to connect to pszHost:nPort and reads its reply. A dotted IPv4 host goes as an
// address, an IPv6 literal (with or without brackets) as its sixteen bytes, any other name
// (1..255 bytes, no ':') as a name. The bound address of the reply may be IPv4, a name or IPv6
// (given without brackets). An empty host is "empty destination address", one of 256 bytes or more
// "destination address too long" (enNetBadRequest), refused before anything is written. A
// nonzero reply code closes the socket and fails with its text (enNetConnection). On success
// strBound / nBoundPort hold the address the proxy bound (when given).
[[nodiscard]] bool OrvSocks5Connect(COrvSocket& sock, const char* pszHost, int nPort,
                                    COrvError& err, COrvStringA* pstrBound = nullptr,
                                    int* pnBoundPort = nullptr);
