// The Content-Range header of partial responses.
#pragma once

#include <cstdint>

#include "orv-error.h"

// Parses "bytes FROM-TO/TOTAL" (decimal, at most 18 digits each, blanks allowed around the
// parts). Failures, each with the whole value and enNetBadRequest: units other than "bytes"
// "unexpected units in Content-Range '%s'", an unreadable range "bad Content-Range (range) '%s'",
// an unreadable total "bad Content-Range (total) '%s'", and "bad Content-Range (from > to) '%s'",
// "bad Content-Range (from >= total) '%s'", "bad Content-Range (to >= total) '%s'". The outputs
// are set only on success.
[[nodiscard]] bool OrvHttpParseContentRange(const char* pszValue, int64_t& n64From, int64_t& n64To,
                                            int64_t& n64Total, COrvError& err);
