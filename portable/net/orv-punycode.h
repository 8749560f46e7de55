// Punycode (RFC 3492) and the conversion of international host names between their Unicode form
// and the ASCII form whose converted labels carry the prefix "xn--".
//
// All text is UTF-8. The functions keep no state: any thread may call them.
#pragma once

#include "orv-error.h"
#include "orv-string.h"

// Encodes UTF-8 text (nLen bytes, -1: up to the NUL) as Punycode, without any prefix: the ASCII
// characters as they are (case kept), then "-" when there were any, then the encoded rest.
// Fails (bad request; output empty) with "Cannot encode to PUNYCODE: overflow" when a number of
// the encoding exceeds 32 bits, or with "Cannot encode to PUNYCODE: bad UTF-8" for invalid input.
[[nodiscard]] bool OrvPunycodeEncode(const char* pszIn, int nLen, COrvStringA& strOut,
                                     COrvError& err);

// Decodes Punycode (without prefix) to UTF-8. Upper-case letters of the ASCII part are kept;
// digits are read in either case. Fails (bad request; output empty) with
// "Punycode decoding error: incomplete string" when the input ends inside a number,
// "Punycode decoding error: bad digit" for a character that is not a Punycode digit (or a
// character outside ASCII before the last "-"), "Punycode decoding error: integer overflow" when
// a number exceeds 32 bits, and "Punycode decoding error: wrong insert position" when a decoded
// character is not one that may be inserted (an ASCII character, a surrogate or a value above
// U+10FFFF).
[[nodiscard]] bool OrvPunycodeDecode(const char* pszIn, int nLen, COrvStringA& strOut,
                                     COrvError& err);

// Converts a host name to its ASCII form label by label (labels separated by "."): ASCII letters
// are lower-cased, a label with characters outside ASCII becomes "xn--" and its Punycode. No other
// mapping or normalisation is done, so a name should be given in the normalised lower-case form
// that registries use. Fails (output empty) as OrvPunycodeEncode fails.
[[nodiscard]] bool OrvHostToAscii(const char* pszHost, int nLen, COrvStringA& strOut,
                                  COrvError& err);

// Converts a host name to its Unicode form: each label that starts with "xn--" (either case) is
// decoded, other labels are copied as they are. Fails (output empty) as OrvPunycodeDecode fails.
[[nodiscard]] bool OrvHostToUnicode(const char* pszHost, int nLen, COrvStringA& strOut,
                                    COrvError& err);
