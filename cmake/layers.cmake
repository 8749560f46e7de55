# The layers of orv-lib, lowest first. Each file is named: a missing or misspelt one fails the
# configure.

# The system-call table that tests replace, and the descriptor owner. Internal to the library.
orv_layer(orv-posix DIR posix SOURCES orv-sys.cpp)

# Strings and their printf engine, UTF, containers, result codes and errors, trace.
orv_layer(orv-base DIR portable/base
  SOURCES orv-string.cpp orv-format.cpp orv-unicode-tables.cpp orv-utf.cpp orv-trace.cpp
          orv-trace-posix.cpp orv-result.cpp orv-result-posix.cpp orv-error.cpp orv-clock-posix.cpp)

# Access lists (libacl) and password checks (PAM) of the accounts module.
orv_pkg_module(LIBACL libacl)
orv_pkg_module(PAM pam)

# Time, locks, threads, the UI-thread interface, the log, console output, number and text
# utilities, paths, files and housekeeping, accounts and access lists, zip archives (deflate
# through libdeflate and zlib, reading through minizip).
find_package(ZLIB REQUIRED)
orv_pkg_module(MINIZIP minizip)
orv_pkg_module(LIBDEFLATE libdeflate)
orv_layer(orv-sys DIR portable/sys
  SOURCES orv-time.cpp orv-time-posix.cpp orv-timer.cpp orv-timer-posix.cpp orv-lock.cpp
          orv-lock-posix.cpp orv-thread.cpp orv-thread-posix.cpp orv-ui-thread.cpp orv-log.cpp orv-log-posix.cpp orv-console.cpp
          orv-string-util.cpp orv-string-util-posix.cpp orv-replacing-file-posix.cpp
          orv-registry.cpp orv-registry-posix.cpp orv-regfile.cpp orv-osver.cpp
          orv-osver-posix.cpp orv-process.cpp orv-process-posix.cpp orv-path.cpp orv-path-posix.cpp
          orv-file.cpp orv-file-posix.cpp orv-file-tree-posix.cpp orv-housekeeping.cpp
          orv-program-path-posix.cpp orv-iconv-posix.cpp orv-shared-library-posix.cpp orv-user.cpp
          orv-user-posix.cpp
          orv-zip.cpp orv-zip-folder.cpp orv-unzip-posix.cpp orv-descriptor-posix.cpp
  DEPS orv-base
  LIBS PkgConfig::LIBACL PkgConfig::PAM ZLIB::ZLIB PkgConfig::MINIZIP PkgConfig::LIBDEFLATE)

# Data formats: JSON, QR Code symbols.
orv_layer(orv-data DIR portable/data SOURCES orv-json2.cpp orv-qrcode.cpp DEPS orv-sys)

# Sockets, SOCKS5, TLS, URLs, escaping, international host names, public suffixes, and the crypto
# helpers. orv-ssl and orv-crypt are the only files that include OpenSSL; the root bundle that TLS
# trusts is generated from the system's CA certificates at build time.
find_package(OpenSSL 3 REQUIRED)
# libpsl is loaded on the first lookup (it brings libidn2 and libunistring): headers only here.
pkg_check_modules(LIBPSL REQUIRED libpsl)
orv_layer(orv-net DIR portable/net
  SOURCES orv-socket.cpp orv-socket-posix.cpp orv-socks-proxy.cpp orv-ssl.cpp orv-url.cpp
          orv-transport.cpp orv-tcp-transport.cpp orv-tls-transport.cpp
          orv-punycode.cpp orv-psl.cpp orv-crypt.cpp orv-hash.cpp orv-ntlm.cpp
  DEPS orv-sys orv-data
  LIBS OpenSSL::SSL OpenSSL::Crypto)
target_include_directories(orv-net-obj PRIVATE ${LIBPSL_INCLUDE_DIRS})
set(ORV_CA_BUNDLE /etc/ssl/certs/ca-certificates.crt CACHE FILEPATH
    "System CA bundle compiled into orv-net as its built-in roots")
set(orv_cacert_cpp ${CMAKE_BINARY_DIR}/generated/orv-embedded-cacert.cpp)
add_custom_command(OUTPUT ${orv_cacert_cpp}
  COMMAND ${CMAKE_COMMAND} -DIN=${ORV_CA_BUNDLE} -DOUT=${orv_cacert_cpp}
          -P ${CMAKE_SOURCE_DIR}/cmake/orv-embed-cacert.cmake
  DEPENDS ${ORV_CA_BUNDLE} ${CMAKE_SOURCE_DIR}/cmake/orv-embed-cacert.cmake
  COMMENT "Embedding the system CA bundle")
target_sources(orv-net-obj PRIVATE ${orv_cacert_cpp})

# The HTTP/1.1 wire layer: header and body reading, request and response writing, cookies,
# authorization headers, multipart forms and the response streams, over abstract byte streams;
# connections by engine (the platform engine over libcurl), the effective proxy (the system's
# settings through libproxy), the one-shot entries and the connection pool. libcurl and libproxy
# are loaded on first use (each brings a long chain of libraries of its own that start-up would
# otherwise pay for): only their headers are needed here, and no program links them.
find_package(CURL REQUIRED)
pkg_check_modules(LIBPROXY REQUIRED libproxy-1.0)
orv_layer(orv-http DIR portable/http
  SOURCES orv-http-io.cpp orv-http-txn.cpp orv-http-wire.cpp orv-http-auth.cpp orv-http-body.cpp
          orv-http-cookie.cpp orv-http-range.cpp orv-http-response.cpp orv-http-multipart.cpp
          orv-stream.cpp orv-http-connection.cpp orv-http-conn.cpp orv-http-curl.cpp
          orv-http-proxy.cpp orv-http-proxy-effective.cpp orv-http-proxy-libproxy.cpp orv-http-socket-engine.cpp
          orv-http-tunnel.cpp orv-mail.cpp orv-http-digest.cpp orv-http-orvauth.cpp
          orv-http-auth-machine.cpp
  DEPS orv-net
  LIBS ZLIB::ZLIB OpenSSL::Crypto)
target_include_directories(orv-http-obj PRIVATE ${CURL_INCLUDE_DIRS} ${LIBPROXY_INCLUDE_DIRS})

# Crash reports: the fatal-signal and other handlers, the crash helper with its minidump writer,
# the crash archive and its upload.
orv_layer(orv-crash DIR portable/crash
  SOURCES orv-crash-posix.cpp orv-crash-helper-posix.cpp orv-minidump-posix.cpp
          orv-crash-report.cpp orv-crash-upload.cpp
  DEPS orv-http)
