# One line per suite. LABELS "threads" marks suites that also run under ThreadSanitizer.
orv_test(orv-sys-test SOURCES posix/orv-sys-test.cpp LINK orv-base)
orv_test(orv-error-test SOURCES base/orv-error-test.cpp LINK orv-base)
orv_test(orv-utf-test SOURCES base/orv-utf-test.cpp LINK orv-base)
orv_test(orv-trace-test SOURCES base/orv-trace-test.cpp LINK orv-base LABELS threads)
orv_test(orv-result-test SOURCES base/orv-result-test.cpp LINK orv-base)
orv_test(orv-coll-test SOURCES base/orv-coll-test.cpp LINK orv-base)
orv_test(orv-buffers-test SOURCES base/orv-buffers-test.cpp LINK orv-base)
orv_test(orv-string-test SOURCES base/orv-string-test.cpp LINK orv-base LABELS threads)
orv_test(orv-format-test SOURCES base/orv-format-test.cpp LINK orv-base)
orv_test(orv-unicode-tables-test SOURCES base/orv-unicode-tables-test.cpp LINK orv-base)
orv_test(orv-lock-test SOURCES sys/orv-lock-test.cpp LINK orv-sys LABELS threads)
orv_test(orv-thread-test SOURCES sys/orv-thread-test.cpp LINK orv-sys LABELS threads)
orv_test(orv-ui-thread-test SOURCES sys/orv-ui-thread-test.cpp LINK orv-sys LABELS threads)
orv_test(orv-log-test SOURCES sys/orv-log-test.cpp LINK orv-sys LABELS threads)
orv_test(orv-time-test SOURCES sys/orv-time-test.cpp LINK orv-sys LABELS threads)
orv_test(orv-timer-test SOURCES sys/orv-timer-test.cpp LINK orv-sys LABELS threads)
orv_test(orv-program-path-test SOURCES sys/orv-program-path-test.cpp LINK orv-sys)
orv_test(orv-iconv-test SOURCES sys/orv-iconv-test.cpp LINK orv-sys)
orv_test(orv-string-util-test SOURCES sys/orv-string-util-test.cpp LINK orv-sys)
orv_test(orv-replacing-file-test SOURCES sys/orv-replacing-file-test.cpp LINK orv-sys)
orv_test(orv-url-test SOURCES net/orv-url-test.cpp LINK orv-net)
orv_test(orv-punycode-test SOURCES net/orv-punycode-test.cpp LINK orv-net)
orv_test(orv-psl-test SOURCES net/orv-psl-test.cpp LINK orv-net)
include(sys-registry.cmake)
orv_test(orv-path-test SOURCES sys/orv-path-test.cpp LINK orv-sys)
orv_test(orv-file-test SOURCES sys/orv-file-test.cpp LINK orv-sys)
orv_test(orv-file-tree-test SOURCES sys/orv-file-tree-test.cpp LINK orv-sys)
orv_test(orv-housekeeping-test SOURCES sys/orv-housekeeping-test.cpp LINK orv-sys)
orv_test(orv-user-test SOURCES sys/orv-user-test.cpp LINK orv-sys LABELS threads)
# PAM's password module calls crypt_r from libcrypt, which it loads late; a sanitizer runtime
# finds the functions it wraps only in libraries present at start, so the suite loads it at once.
target_link_libraries(orv-user-test PRIVATE -Wl,--no-as-needed crypt -Wl,--as-needed)
include(app-window.cmake)
if(TARGET vexil-pipe)
  include(app-pipe.cmake)
endif()
orv_test(orv-http-wire-test SOURCES http/orv-http-wire-test.cpp LINK orv-http)
orv_test(orv-transport-stack-test SOURCES http/orv-transport-stack-test.cpp LINK orv-http)
orv_test(orv-http-body-test SOURCES http/orv-http-body-test.cpp LINK orv-http)
orv_test(orv-http-cookie-test SOURCES http/orv-http-cookie-test.cpp LINK orv-http)
orv_test(orv-http-multipart-test SOURCES http/orv-http-multipart-test.cpp LINK orv-http)
orv_test(orv-stream-test SOURCES http/orv-stream-test.cpp LINK orv-http LABELS threads)
orv_test(orv-socket-test SOURCES net/orv-socket-test.cpp LINK orv-net LABELS threads net)
orv_test(orv-socks-test SOURCES net/orv-socks-test.cpp LINK orv-net LABELS threads net)
orv_test(orv-ssl-test SOURCES net/orv-ssl-test.cpp LINK orv-net LABELS threads net)
orv_test(orv-http-conn-test SOURCES http/orv-http-conn-test.cpp LINK orv-http LABELS threads)
orv_test(orv-http-curl-test SOURCES http/orv-http-curl-test.cpp LINK orv-http orv-test-servers
         LABELS net)
orv_test(orv-http-libraries-test SOURCES http/orv-http-libraries-test.cpp LINK orv-http)
orv_test(orv-http-connection-test SOURCES http/orv-http-connection-test.cpp LINK orv-http
         LABELS net)
target_compile_definitions(orv-http-connection-test PRIVATE
                           ORV_HTTP_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/http/orv-http-peer.py")
orv_test(orv-json2-test SOURCES data/orv-json2-test.cpp LINK orv-data)
target_compile_definitions(orv-json2-test PRIVATE
                           ORV_JSON_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/data/json-peer.py")
orv_test(orv-qrcode-test SOURCES data/orv-qrcode-test.cpp LINK orv-data)
target_compile_definitions(orv-qrcode-test PRIVATE
                           ORV_QR_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/data/orv-qr-peer.py")
orv_test(orv-crypt-test SOURCES net/orv-crypt-test.cpp LINK orv-net OpenSSL::Crypto LABELS net)
target_compile_definitions(orv-crypt-test PRIVATE
                           ORV_CRYPT_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/net/orv-crypt-peer.py")
orv_test(orv-zip-test SOURCES sys/orv-zip-test.cpp LINK orv-sys LABELS threads)
target_compile_definitions(orv-zip-test PRIVATE
                           ORV_ZIP_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/sys/orv-zip-peer.py")
# Reads and checks 5 GiB of (sparse) zeros and 70,000 entries: minutes on a loaded machine.
orv_test(orv-zip64-test SOURCES sys/orv-zip64-test.cpp LINK orv-sys LABELS slow TIMEOUT 900)
target_compile_definitions(orv-zip64-test PRIVATE
                           ORV_ZIP_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/sys/orv-zip-peer.py")
orv_test(orv-http-hostile-test SOURCES http/orv-http-hostile-test.cpp LINK orv-http LABELS net)
target_compile_definitions(orv-http-hostile-test PRIVATE
                           ORV_HTTP_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/http/orv-http-peer.py")
orv_test(orv-mail-test SOURCES http/orv-mail-test.cpp LINK orv-http orv-test-servers LABELS net)
target_compile_definitions(orv-mail-test PRIVATE
                           ORV_SMTP_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/http/orv-smtp-peer.py")
orv_test(orv-ntlm-test SOURCES net/orv-ntlm-test.cpp LINK orv-net OpenSSL::Crypto)
target_compile_definitions(orv-ntlm-test PRIVATE
                           ORV_NTLM_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/net/orv-ntlm-peer.py")
orv_test(orv-http-auth-schemes-test SOURCES http/orv-http-auth-schemes-test.cpp LINK orv-http)
target_compile_definitions(orv-http-auth-schemes-test PRIVATE
                           ORV_DIGEST_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/http/orv-digest-peer.py")
orv_test(orv-http-orvauth-test SOURCES http/orv-http-orvauth-test.cpp LINK orv-http)
orv_test(orv-http-auth-peer-test SOURCES http/orv-http-auth-peer-test.cpp LINK orv-http
         orv-test-servers LABELS net)
target_compile_definitions(orv-http-auth-peer-test PRIVATE
                           ORV_AUTH_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/http/orv-auth-peer.py")
# Crash reports: a real program crashes and its helper traces it. Under the sanitizers the
# deliberate faults are caught by the sanitizers first (they own the fatal signals), so that suite
# is labelled "crash" and left out of the sanitizer runs; the in-process suite runs everywhere.
add_library(orv-foreign-fault SHARED crash/foreign-fault.cpp)
target_link_libraries(orv-foreign-fault PRIVATE orv_flags)
set_target_properties(orv-foreign-fault PROPERTIES OUTPUT_NAME foreignfault)
add_executable(orv-crash-program crash/orv-crash-program.cpp)
target_link_libraries(orv-crash-program PRIVATE orv-crash orv-foreign-fault orv_flags)
orv_test(orv-crash-test SOURCES crash/orv-crash-test.cpp LINK orv-crash orv-test-servers
         LABELS crash net)
orv_test(orv-crash-report-test SOURCES crash/orv-crash-report-test.cpp LINK orv-crash
         orv-test-servers LABELS net)
target_compile_definitions(orv-crash-report-test PRIVATE
                           ORV_CRASH_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/crash/crash-peer.py"
                           ORV_CRASH_SUPPORT_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/crash/support-server.py")
add_dependencies(orv-crash-test orv-crash-program)
target_compile_definitions(orv-crash-test PRIVATE
                           ORV_CRASH_PROGRAM="$<TARGET_FILE:orv-crash-program>"
                           ORV_CRASH_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/crash/crash-peer.py"
                           ORV_CRASH_SUPPORT_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/crash/support-server.py")
