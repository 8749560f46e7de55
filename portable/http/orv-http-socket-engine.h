// The library's own HTTP engine behind IOrvHttpEngine (one COrvHttpConnection per engine), and
// the connect step of its proxy routes: SOCKS5, an HTTP proxy for plain targets and CONNECT
// tunnels for TLS targets.
//
// Both are installed by default: COrvHttpEngineConnection makes the socket engine when the
// use-platform-engine byte is 0, and COrvHttpConnection connects its proxy routes through
// OrvHttpProxyConnect. OrvHttpSetSocketEngineFactory and OrvHttpSetProxyConnector replace them.
#pragma once

#include <memory>

#include "orv-http-connection.h"
#include "orv-http-engine.h"

// Makes the socket engine for a connection configured by cfg (which must outlive the engine;
// it is read at every exchange). The route is chosen at every exchange with OrvHttpChooseRoute
// for the configured host; a change of route closes the kept-alive transport first. The TLS
// settings (a CA file among them) belong to this connection's transports alone. Null only when
// memory runs out.
std::unique_ptr<IOrvHttpEngine> OrvHttpCreateSocketEngine(const COrvHttpConnConfig& cfg);

// The connect step of the proxy routes (see OrvHttpProxyConnectFn), for conn's proxy fields and
// current endpoint:
//  - enSocks5: connects to the proxy (blocking connect, the connection's send and receive
//    time-outs), runs the SOCKS5 handshake and connect request, then TLS to the target when
//    https. Texts: "cannot connect to SOCKS5 proxy: ", "SOCKS5 proxy handshake: ",
//    "SOCKS5 connect: " + the lower layer's text.
//  - enHttpProxy: connects to the proxy (connect, send and receive time-outs of 10 seconds,
//    the connection's own afterwards), logs "Using HTTP proxy %s:%d to connect to host %s:%d"
//    and addresses requests to the proxy with absolute URIs.
//  - enConnectTunnel: connects to the proxy as above, logs "Using CONNECT proxy %s:%d to connect
//    to host %s:%d" and exchanges "CONNECT host:port" through OrvHttpSendReceive on conn with
//    the in-CONNECT byte (proxy Basic authentication on 407 included); then TLS to the target,
//    verified against the target's name. A proxy that closes the tunnel gives "Proxy %s:%d
//    closed connection after CONNECT"; other failures, except the proxy's 503 and 504, get
//    the prefix "Connecting via Proxy: ".
// A redirect that leads to a local host (OrvHttpIsLocalHost) leaves the proxy and connects
// directly. Runs on the connection's thread; blocks.
[[nodiscard]] bool OrvHttpProxyConnect(COrvHttpConnection& conn, OrvHttpRoute route,
                                       COrvError& err);
