# The layers of orv-lib, lowest first. Each file is named: a missing or misspelt one fails the
# configure.

# The system-call table that tests replace, and the descriptor owner. Internal to the library.
orv_layer(orv-posix DIR posix SOURCES orv-sys.cpp)

# Strings and their printf engine, UTF, containers, result codes and errors, trace.
orv_layer(orv-base DIR portable/base
  SOURCES orv-string.cpp orv-format.cpp orv-unicode-tables.cpp orv-utf.cpp orv-trace.cpp orv-trace-posix.cpp orv-result.cpp
          orv-result-posix.cpp orv-error.cpp orv-clock-posix.cpp)

# Time, locks, threads, the UI-thread interface, the log, console output, number and text
# utilities.
orv_layer(orv-sys DIR portable/sys
  SOURCES orv-time.cpp orv-time-posix.cpp orv-timer.cpp orv-timer-posix.cpp orv-lock.cpp orv-lock-posix.cpp orv-thread.cpp
          orv-thread-posix.cpp orv-ui-thread.cpp orv-log.cpp orv-log-posix.cpp orv-console.cpp
          orv-string-util.cpp orv-string-util-posix.cpp orv-program-path-posix.cpp orv-iconv-posix.cpp
  DEPS orv-base)
