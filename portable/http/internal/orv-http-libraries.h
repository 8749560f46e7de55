// The shared libraries the HTTP layer loads on first use: libcurl for the platform engine,
// libproxy for the system's proxy settings. Tests point them at other file names.
#pragma once

#include "orv-shared-library.h"

COrvSharedLibrary& OrvHttpCurlLibrary();
COrvSharedLibrary& OrvHttpProxyLibrary();
