// The platform HTTP engine over libcurl: carries the same transaction record as the socket
// engine, over one libcurl handle per connection whose transport stays alive between
// transactions. The only part of the library that includes curl; no curl type leaves it.
#pragma once

#include <memory>

#include "orv-http-engine.h"

// Classes of platform failures.
enum OrvHttpErrorClass : int {
    enHttpErrConnection = 0,  // the transport failed: enNetConnection (retry after reconnect)
    enHttpErrAuth = 1,        // a certificate or a login was refused: enNetAuth
    enHttpErrOther = 2,       // anything else: enNetServer
};

// The library code of a libcurl result code (a CURLcode value; 0 is enNetOk), from one table
// that also gives its class (*pClass when not null; enHttpErrOther for codes not in it).
int OrvHttpCurlResultCode(int nCurlCode, OrvHttpErrorClass* pClass = nullptr);

// Makes the platform engine for a connection; cfg must outlive the engine, which reads it at
// every exchange. libcurl (libcurl.so.4) is loaded the first time: a program that never uses the
// engine never loads it. Null with err set when libcurl is missing (enNetNotFound, "Cannot load
// libcurl.so.4: " + the loader's reason) or cannot make its handles (enNetNotReady). Any thread;
// libcurl's global set-up runs once, the first time.
std::unique_ptr<IOrvHttpEngine> OrvHttpCreateCurlEngine(const COrvHttpConnConfig& cfg,
                                                        COrvError& err);
