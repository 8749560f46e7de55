# Writes the system's CA bundle as a C++ array of PEM text lines ending with a null entry.
# cmake -DIN=<bundle.pem> -DOUT=<file.cpp> -P orv-embed-cacert.cmake
if(NOT EXISTS "${IN}")
  message(FATAL_ERROR "CA bundle ${IN} not found: install the ca-certificates package")
endif()
file(STRINGS "${IN}" lines)
set(body "")
set(count 0)
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  endif()
  if(line MATCHES "^-----BEGIN CERTIFICATE")
    math(EXPR count "${count} + 1")
  endif()
  string(APPEND body "    \"${line}\",\n")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no certificate in ${IN}")
endif()
file(WRITE "${OUT}.tmp"
  "// Generated at build time from ${IN} (${count} certificates). Do not edit.\n"
  "extern const char* const g_orv_embedded_cacert[];\n"
  "const char* const g_orv_embedded_cacert[] = {\n${body}    nullptr};\n")
file(RENAME "${OUT}.tmp" "${OUT}")
