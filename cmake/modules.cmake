# The modules of orv-lib, lowest layer first. SOURCES are glob patterns relative to the top folder,
# so a module's files take part as soon as they exist.

# Strings, UTF, trace, assertions, result codes and the replaceable system-call table.
orv_module(orv-core
  SOURCES portable/orv-string.cpp portable/orv-utf.cpp portable/orv-utf-posix.cpp
          portable/orv-trace.cpp portable/orv-trace-posix.cpp portable/orv-result.cpp portable/orv-result-posix.cpp
          posix/orv-sys.cpp)

# Header-only containers.
orv_module(orv-coll DEPS orv-core)

orv_module(orv-time
  SOURCES portable/orv-time.cpp portable/orv-time-posix.cpp
  DEPS orv-core)

orv_module(orv-thread
  SOURCES portable/orv-lock.cpp portable/orv-lock-posix.cpp portable/orv-thread.cpp
          portable/orv-thread-posix.cpp portable/orv-ui-thread.cpp
  DEPS orv-core orv-coll orv-time)

orv_module(orv-log
  SOURCES portable/orv-log.cpp portable/orv-log-posix.cpp portable/orv-console.cpp
  DEPS orv-core orv-coll orv-time orv-thread)

orv_module(orv-string-util
  SOURCES portable/orv-string-util.cpp portable/orv-string-util-posix.cpp
  DEPS orv-core orv-coll orv-log)
