// The library's own HTTP engine behind IOrvHttpEngine (one COrvHttpConnection per engine).
//
// It is installed by default: COrvHttpEngineConnection makes the socket engine when the
// use-platform-engine byte is 0; OrvHttpSetSocketEngineFactory replaces it.
#pragma once

#include <memory>

#include "orv-http-engine.h"

// Makes the socket engine for a connection configured by cfg (which must outlive the engine;
// it is read at every exchange). The route is chosen at every exchange with OrvHttpChooseRoute
// for the configured host; a change of route closes the kept-alive transport first. The TLS
// settings (a CA file among them) belong to this connection's transports alone. Null only when
// memory runs out.
std::unique_ptr<IOrvHttpEngine> OrvHttpCreateSocketEngine(const COrvHttpConnConfig& cfg);
