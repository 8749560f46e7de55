// Number parsers, number and byte formatting, error texts, text checks and text conversions.
//
// Parsers never log and never throw: they return true on success (error code and text untouched)
// and otherwise leave the value unchanged, store enNetBadRequest (6) in the error code and a UTF-8
// message in the error text. Every function here may be called from any thread; only
// TvGetDecimalDigitsLen writes shared state (g_ThouSep). None of them blocks.
#pragma once

#include <stdint.h>

#include "orv-coll.h"
#include "orv-string.h"

// ---- number parsers ----
// Decimal text (optional leading "-" for the signed ones) ended by NUL, space or line feed; the
// rest of the text after such an end is ignored. An empty text and a lone "-" give 0. A magnitude
// above the type's maximum fails for either sign, so the signed range is -max..max (the type's
// minimum itself is an overflow). pszContext names what is parsed in the format message; null
// text or context count as empty. Failure: overflow ("integer overflow 32-bit: " + whole text)
// or a bad character ("bad Int32(A) number in " + context + ": " + text + ": " + character, the
// character being the whole UTF-8 sequence, or surrogate pair, that starts at the bad unit).
[[nodiscard]] bool OrvParseInt32A(const char* psz, const char* pszContext, int32_t& nValue,
                                  int& nError, COrvStringA& strError);
// As OrvParseInt32A for wide text; the messages carry the text in UTF-8.
[[nodiscard]] bool OrvParseInt32W(const OrvWChar* psz, const char* pszContext, int32_t& nValue,
                                  int& nError, COrvStringA& strError);
[[nodiscard]] bool OrvParseInt64A(const char* psz, const char* pszContext, int64_t& nValue,
                                  int& nError, COrvStringA& strError);
// Unsigned: no sign accepted ("-" is a bad character).
[[nodiscard]] bool OrvParseUInt32A(const char* psz, const char* pszContext, uint32_t& nValue,
                                   int& nError, COrvStringA& strError);
[[nodiscard]] bool OrvParseUInt64A(const char* psz, const char* pszContext, uint64_t& nValue,
                                   int& nError, COrvStringA& strError);
// Octal digits; the value is taken modulo 2^32 (no overflow failure).
[[nodiscard]] bool OrvParseOctalUInt32A(const char* psz, const char* pszContext, uint32_t& nValue,
                                        int& nError, COrvStringA& strError);

// Dotted IPv4 address; on success abAddr holds the four bytes in the order written. On failure
// abAddr is unchanged and strError is "bad IPv4 address '<text>': <reason>".
[[nodiscard]] bool OrvParseIPv4(const char* psz, unsigned char abAddr[4], int& nError,
                                COrvStringA& strError);

// Returned by OrvParseSize for a bad size.
constexpr int64_t kOrvBadSize = 0x7FFFFFFFFFFFFFFFLL;
// Decimal byte count with an optional final "K"/"k" (x1024) or "M"/"m" (x1048576); the empty
// text is 0. Returns kOrvBadSize for a bad size, including one that does not fit 63 bits.
int64_t OrvParseSize(const char* psz);
// Two sizes separated by one ",". On success stores both and returns true; on failure both are
// unchanged and strError is "no comma in size range: " + text, "more than one comma in size
// range: " + text, "first size bad in range: " + first part or "second size bad in range: " +
// second part.
[[nodiscard]] bool OrvParseSizeRange(const char* psz, int64_t& nFirst, int64_t& nSecond,
                                     COrvStringA& strError);

// Splits str from iStart at each chSep (trimming white space, OrvIsSpaceW, from each piece when
// bTrim) and
// appends the pieces to arr. A final separator yields a final empty piece, an empty text one
// empty piece, a start beyond the length (or negative) nothing. Returns the number of pieces
// added; it stops early when the array cannot grow.
int OrvSplit(const COrvStringW& str, int iStart, OrvWChar chSep, bool bTrim,
             COrvArray<COrvStringW>& arr);

// ---- formatting ----
// "9999", "10K" .. "9999K", "10M" ... (integer division).
COrvStringA OrvFormatCount(uint32_t nCount);
// Decimal texts ("%u", "%lld", "%llu", "%.2f").
COrvStringA OrvFormatUInt32A(uint32_t n);
COrvStringW OrvFormatUInt32W(uint32_t n);
COrvStringA OrvFormatInt64A(int64_t n);
COrvStringW OrvFormatInt64W(int64_t n);
COrvStringA OrvFormatUInt64A(uint64_t n);
COrvStringW OrvFormatUInt64W(uint64_t n);
COrvStringA OrvFormatDouble2A(double d);
COrvStringW OrvFormatDouble2W(double d);

// The user's thousands separator (at most 20 characters); empty means ",". Filled by
// TvGetDecimalDigitsLen; read by OrvGroupDigits. Not locked: set it before threads use it.
extern COrvStringW g_ThouSep;
// Reads the thousands separator of the user's locale (the environment's LC_ALL / LC_NUMERIC /
// LANG, through newlocale; the process locale is not changed) into g_ThouSep, cut to 20 UTF-16
// units. When the locale cannot be loaded, logs "TvGetDecimalDigitsLen: cannot GetLocaleInfo
// LOCALE_STHOUSAND: " + OrvErrorText(errno) and sets ","; then always logs
// "TvGetDecimalDigitsLen: g_ThouSep=" + the separator. Returns its length. Call it before other
// threads read g_ThouSep.
int TvGetDecimalDigitsLen();
// Inserts the thousands separator (g_ThouSep, "," when empty; UTF-8 for narrow text) into the
// integer part of a decimal text (up to the first "." after index 0) every three digits counted
// from the end of that part; a leading "-" is not counted as a digit ("-123456" -> "-123,456").
COrvStringA OrvGroupDigits(const COrvStringA& str);
COrvStringW OrvGroupDigits(const COrvStringW& str);

// "%#.16g" with the fraction cut (not rounded) to nMaxDecimals and stripped of trailing zeros
// ("0" when empty); ".0" is appended to a text without ".". Infinities and NaN stay as formatted
// ("inf", "-inf", "nan").
COrvStringW OrvFormatDouble(double d, int nMaxDecimals);

// The value of a hexadecimal digit (either case), -1 for any other character (a negative char
// converts to a large value and gives -1 too). Pure.
inline int OrvHexDigitValue(unsigned c) {
    if (c - '0' < 10u)
        return static_cast<int>(c - '0');
    const unsigned l = c | 0x20u;
    return l - 'a' < 6u ? static_cast<int>(l - 'a' + 10) : -1;
}
// The value of a character of the standard Base64 alphabet ("+", "/"), or of the URL-safe one
// ("-", "_") with bUrlSafe; -1 for any other (padding "=" included). Pure.
int OrvBase64DigitValue(unsigned c, bool bUrlSafe = false);
// Base64 with "=" padding in the standard or the URL-safe alphabet; empty for no bytes.
COrvStringA OrvBase64Encode(const void* pData, int nLen, bool bUrlSafe = false);
// Decodes nLen characters of Base64 in one alphabet into out: padding is optional, but nothing
// but "=" may follow it. False (out unchanged) for any other character, white space included, or
// for a lone last character that carries no whole byte.
[[nodiscard]] bool OrvBase64Decode(const char* p, int nLen, bool bUrlSafe, COrvStringA& out);
// Base32 of RFC 4648 (A-Z, 2-7), with "=" padding to a multiple of 8 characters when bPad.
COrvStringA OrvBase32Encode(const void* pData, int nLen, bool bPad);
// Decodes Base32 in either case, padding optional; false (out unchanged) for another character or
// a length that no whole number of bytes gives.
[[nodiscard]] bool OrvBase32Decode(const char* p, int nLen, COrvStringA& out);

// Two hex digits per byte, high nibble first; exactly 2 * nCount characters (empty for a null
// pointer or a count not above 0).
COrvStringW OrvHexEncode(const void* pBytes, int nCount, bool bLower);
COrvStringA OrvHexEncodeA(const void* pBytes, int nCount, bool bLower);
// "@<count>:" then "c(XX)" for bytes 32..127 and "[XX]" for others; only the first 131072 bytes
// are dumped, followed by "..." when there are more. One allocation of the final size.
COrvStringA OrvHexDump(const void* pBytes, int nCount);
// C-style escapes: "\n", "\t", printable ASCII as is, others "\xXX"; a hex digit right after a
// "\xXX" escape is escaped too.
COrvStringA OrvEscapeC(const char* psz);

// Name of a well-known HRESULT (S_OK, S_FALSE, E_NOTIMPL, E_FAIL, DISP_E_MEMBERNOTFOUND,
// DISP_E_EXCEPTION, E_ACCESSDENIED, E_OUTOFMEMORY, E_INVALIDARG), otherwise OrvErrorText(nCode).
COrvStringA OrvHResultName(int32_t nCode);
// The system's message for the errno value nCode ("Unknown Error" when it has none) with
// " (error %d)", or " (error 0x%0X)" when nCode is negative (an HRESULT has no errno text).
COrvStringA OrvErrorText(int nCode);

// ---- checks ----
// Bytes must be >= 32 or one of 1, 10, 13, 25; else "String contains bad char 0x%02X" (the first
// bad byte). A text starting with "S", at least 14 bytes long, with "-" 14 bytes and "_" 7 bytes
// before its end passes unchecked. strError is untouched on success.
[[nodiscard]] bool OrvCheckBadChars(const char* psz, COrvStringA& strError);
// Bytes must be >= 32; else "String contains unprintable character 0x%02X".
[[nodiscard]] bool OrvCheckPrintable(const char* psz, COrvStringA& strError);

// ---- conversions ----
// When psz contains an html start tag ("<html>" or "<html" with attributes, any case): strOut
// gets the text with every tag ("<" to the next ">") removed, script and style elements and
// comments dropped whole, the references &amp; &lt; &gt; &quot; &apos; &nbsp; (a space), &#N; and
// &#xH; decoded (to UTF-8; unknown ones stay as written); with bLineBreaks, <br>, </p>, </div>,
// </tr>, </li> and </h1>..</h6> become line feeds. Line breaks and spaces of the text are kept.
// Returns true then; otherwise strOut is a copy of psz and the result is false.
[[nodiscard]] bool OrvHtmlToText(const char* psz, COrvStringA& strOut, bool bLineBreaks);
// Decodes RFC 2047 encoded words "=?charset?enc?text?=" (enc B or Q in either case; charsets
// exactly utf-8, iso-8859-1, windows-1252, in any case as RFC 2047 allows, an RFC 2231 "*lang"
// suffix ignored) to UTF-8, the text ending at the first "?=". White space between two decoded
// words is dropped. Words that are malformed (white space in the text, a bad "=XX" or Base64),
// or in other charsets, are left as they are. Decoded NUL bytes are dropped; invalid UTF-8 in a
// utf-8 word becomes U+FFFD.
COrvStringA OrvDecodeMimeWords(const char* psz);
// Wide text to ASCII with every other character (surrogate pairs combined; a lone surrogate as
// U+FFFD) as "&#%d;".
COrvStringA OrvToNumericCharRefs(const OrvWChar* psz);

// Telephone-number-like text: keeps digits and a leading "+"; a part in parentheses is written
// as " (" + its digits + ") " (dropped when it has none; an unclosed one runs to the end); every
// other character is dropped; doubled spaces are merged and the ends trimmed.
// "+49 (0) 89 / 12-34" -> "+49 (0) 891234".
COrvStringA OrvFormatPhoneNumber(const COrvStringA& str);
COrvStringW OrvFormatPhoneNumber(const COrvStringW& str);

// Comparators for sorting, -1, 0 or 1; a null argument is reported through ASSERT ("pstr1" /
// "pstr2") and sorts first. Ordinal: unsigned code units, a prefix first.
int OrvCompareOrdinal(const COrvStringW* pstr1, const COrvStringW* pstr2);
// Ordinal after mapping each code unit to lower case with the library's case mapping (the one of
// orv-coll.h: ASCII, Latin-1, Latin Extended, Greek, Cyrillic, Armenian, ...).
int OrvCompareOrdinalNoCase(const COrvStringW* pstr1, const COrvStringW* pstr2);
// The C library's collation (wcscoll) of the calling thread's LC_COLLATE locale; the NoCase form
// first maps both texts with towlower of its LC_CTYPE locale. Negative, zero or positive.
int OrvCompareLocale(const COrvStringW* pstr1, const COrvStringW* pstr2);
int OrvCompareLocaleNoCase(const COrvStringW* pstr1, const COrvStringW* pstr2);
