// Where the running program lives.
#pragma once

#include "orv-error.h"
#include "orv-string.h"

// The absolute path of the running program's file (on Linux the target of /proc/self/exe). On
// failure strPath is empty and error holds "cannot read the program's path: " and the system's
// text. Any thread; does not block beyond one system call per attempt.
[[nodiscard]] bool OrvGetExecutablePath(COrvStringA& strPath, COrvError& error);
