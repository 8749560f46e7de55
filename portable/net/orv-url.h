// URLs: a fixed-size URL record (crack, rebuild, accessors), percent-escaping and unescaping, and
// "data:" URLs.
//
// COrvUrl keeps every part of a URL in a field of its own with a fixed capacity, so that cracking
// never allocates. Narrow text is UTF-8; capacities count bytes. Nothing here blocks or keeps
// global state: any thread may call any function, one COrvUrl object is not shared between
// threads without a lock.
#pragma once

#include "orv-coll.h"
#include "orv-error.h"
#include "orv-string.h"

// Scheme ids: the index of a scheme in the scheme table; -1 for a scheme the table does not know.
enum OrvUrlScheme : int {
    enUrlSchemeUnknown = -1,
    enUrlSchemeFtp = 0,
    enUrlSchemeGopher = 1,
    enUrlSchemeHttp = 2,
    enUrlSchemeHttps = 3,
    enUrlSchemeFile = 4,
    enUrlSchemeNews = 5,
    enUrlSchemeMailto = 6,
    enUrlSchemeSocks = 7,
};

// Name and default port of a known scheme id, or null and 0 for any other value.
const char* OrvUrlSchemeName(int nScheme);
int OrvUrlSchemeDefaultPort(int nScheme);

class COrvUrl {
public:
    // Field capacities in bytes (the terminating NUL not counted).
    static constexpr int kMaxScheme = 32;
    static constexpr int kMaxHost = 256;
    static constexpr int kMaxUser = 128;
    static constexpr int kMaxPassword = 128;
    static constexpr int kMaxPath = 2048;
    static constexpr int kMaxExtra = 2048;
    // The longest URL text that Crack accepts.
    static constexpr int kMaxUrl = 2089;

    // An empty record: every field empty, scheme id -1, port 0.
    COrvUrl() { Reset(); }

    // Empties the record as the constructor does.
    void Reset();

    // Splits a URL (nLen bytes, -1: up to the NUL) into the fields:
    //   scheme ":" ["//"] [user [":" password] "@"] host [":" port] path extra
    // The scheme is the text before the first ":"; a table scheme (compared ignoring case) sets
    // the id and default port, any other name of at most 32 characters is kept with id -1 and port
    // 0. "//" after the scheme is skipped (a mailto URL with "//" fails). For a file URL everything
    // after the scheme and "//" is path. The authority ends at "/", "?" or "#"; the first ":" of
    // the user information splits user and password (the password may hold more ":"). A host in
    // "[" "]" (IPv6 literal) is kept with its brackets. An empty port (host ":" with nothing after
    // it) counts as no port. The path runs from the end of the authority to "?" or "#"; the rest,
    // query and fragment together, is the extra info. No field is unescaped.
    // Fails (bad request, with a text) and leaves the empty record for: no ":", an unknown scheme
    // over 32 characters, a URL over 2089 bytes or holding a NUL inside nLen, any field over its
    // capacity, a port that is not a decimal number from 1 to 65535, "//" after mailto, a second
    // "@" in the authority, a "[" host without its "]".
    [[nodiscard]] bool Crack(const char* pszUrl, int nLen, COrvError& err);
    // The same without a reason.
    [[nodiscard]] bool Crack(const char* pszUrl, int nLen = -1);

    // Rebuilds the URL text from the fields: scheme name ":", "//" unless the scheme is mailto or
    // news (or the record was cracked from an unknown-scheme URL without "//"; the "//" is written
    // all the same when the authority is empty and the path starts with "//"), user information,
    // host, ":" port when the port is not 0 and not the default of a known scheme, path, extra
    // info. Fails only when memory runs out (output empty then).
    [[nodiscard]] bool GetUrl(COrvStringA& strUrl) const;
    COrvStringA GetUrl() const;

    // Sets the scheme by name: the id (ignoring case) and, when the port was the old scheme's
    // default (or 0), the new scheme's default port. False (record unchanged) for an empty name,
    // a name over 32 characters or one that holds ":", "/", "?", "#" or "@".
    [[nodiscard]] bool SetScheme(const char* pszName);

    // Field setters: false (field unchanged) when the text exceeds the field's capacity.
    [[nodiscard]] bool SetHostName(const char* psz, int nLen = -1);
    [[nodiscard]] bool SetUserName(const char* psz, int nLen = -1);
    [[nodiscard]] bool SetPassword(const char* psz, int nLen = -1);
    [[nodiscard]] bool SetUrlPath(const char* psz, int nLen = -1);
    [[nodiscard]] bool SetExtraInfo(const char* psz, int nLen = -1);
    void SetPort(int nPort) { m_nPort = nPort; }

    // Accessors: NUL-terminated field texts and their lengths.
    const char* GetSchemeName() const { return m_scheme.sz; }
    int GetSchemeNameLength() const { return m_scheme.nLen; }
    int GetScheme() const { return m_nScheme; }
    const char* GetHostName() const { return m_host.sz; }
    int GetHostNameLength() const { return m_host.nLen; }
    const char* GetUserName() const { return m_user.sz; }
    int GetUserNameLength() const { return m_user.nLen; }
    const char* GetPassword() const { return m_password.sz; }
    int GetPasswordLength() const { return m_password.nLen; }
    int GetPort() const { return m_nPort; }
    const char* GetUrlPath() const { return m_path.sz; }
    int GetUrlPathLength() const { return m_path.nLen; }
    const char* GetExtraInfo() const { return m_extra.sz; }
    int GetExtraInfoLength() const { return m_extra.nLen; }

private:
    template <int N>
    struct Field {
        int nLen;
        char sz[N + 1];
        bool Set(const char* p, int n) {
            if (n < 0 || n > N)
                return false;
            __builtin_memcpy(sz, p, static_cast<size_t>(n));
            sz[n] = 0;
            nLen = n;
            return true;
        }
        void Clear() {
            nLen = 0;
            sz[0] = 0;
        }
    };

    Field<kMaxScheme> m_scheme;
    int m_nScheme;
    Field<kMaxHost> m_host;
    Field<kMaxUser> m_user;
    Field<kMaxPassword> m_password;
    int m_nPort;
    Field<kMaxPath> m_path;
    Field<kMaxExtra> m_extra;
    bool m_bNoSlashes;  // cracked from an unknown-scheme URL without "//" after the ":"
};

// Percent-escaping. Letters A-Z, a-z and digits 0-9 are copied; every other byte becomes "%" and
// two upper-case hexadecimal digits ("a b-" -> "a%20b%2D"). Never fails except on lack of memory
// (result empty then).
COrvStringA OrvUrlEscapeA(const char* psz, int nLen = -1);
// The wide form: ASCII letters and digits are copied, every other character is escaped as the
// percent-escapes of its UTF-8 bytes, so that wide and narrow escapes of the same text agree
// (u"\u00E9" -> "%C3%A9"); a surrogate pair is one character, a lone surrogate is escaped as
// U+FFFD. nLen counts UTF-16 units (-1: up to the NUL).
COrvStringW OrvUrlEscapeW(const char16_t* psz, int nLen = -1);
// The escape for query values (form fields): as OrvUrlEscapeA, but the other characters that
// RFC 3986 calls unreserved ("-", ".", "_", "~") are copied too. A space becomes "%20".
COrvStringA OrvUrlEscapeQueryValueA(const char* psz, int nLen = -1);
COrvStringW OrvUrlEscapeQueryValueW(const char16_t* psz, int nLen = -1);

// Unescapes nLen bytes (-1: up to the NUL): "%" followed by two hexadecimal digits (either case)
// becomes that byte; a "%" not followed by two hexadecimal digits is copied as it stands, as is
// every other byte ("+" stays "+"). The result may hold any byte, NUL included; its length never
// exceeds the input's. Never fails except on lack of memory (result empty then).
COrvStringA OrvUrlUnescapeA(const char* psz, int nLen = -1);
// Unescapes wide text: the unescaped bytes are read as UTF-8 (invalid sequences become U+FFFD).
// An escaped NUL ("%00") is a U+0000 inside the result, which keeps the text after it: use the
// length, not the terminator, to see all of it.
COrvStringW OrvUrlUnescapeW(const char16_t* psz, int nLen = -1);
// Unescapes into a caller buffer of nOutCap bytes: never writes more than nOutCap bytes (no
// terminating NUL is added). Returns the count of bytes the whole result needs; when that exceeds
// nOutCap only the first nOutCap bytes were written.
int OrvUrlUnescapeTo(const char* pIn, int nInLen, char* pOut, int nOutCap);

// One parameter of a "data:" URL (";" name "=" value; a bare name has an empty value).
struct COrvDataUrlParam {
    COrvStringA strName;
    COrvStringA strValue;
};

// Parses a "data:" URL (nLen bytes, -1: up to the NUL): the media type as written between
// "data:" and the first ";" or "," (may be empty), the parameters up to the ",", and the data
// after it, Base64-decoded when a bare "base64" parameter is present (percent-escapes are
// removed first, white space is skipped, padding is optional), percent-unescaped otherwise. The
// "data:" prefix is compared ignoring case; parameter names and values are kept as written, the
// "base64" marker is not listed among the parameters.
// Fails (bad request; all outputs empty) with "Not a 'data:' URL" when the prefix is missing,
// "Bad 'data:' URL" when there is no ";" or "," after it, or when the parameters do not end in
// ",", "Bad Base64 data in 'data:' URL" for a character outside the Base64 alphabet or a lone
// final character.
[[nodiscard]] bool OrvParseDataUrl(const char* pszUrl, int nLen, COrvStringA& strMediaType,
                                   COrvArray<COrvDataUrlParam>& params, COrvStringA& strData,
                                   COrvError& err);
// The shape with a separate result code and text (either may be null); as above.
[[nodiscard]] bool OrvParseDataUrl(const char* pszUrl, COrvStringA& strMediaType,
                                   COrvArray<COrvDataUrlParam>& params, COrvStringA& strData,
                                   int* pnCode, COrvStringA* pstrError);

// Resolves the URI reference pszRef against the absolute URI pszBase as RFC 3986 section 5.2
// does (the strict form: a reference with a scheme starts over). Each component is taken from
// the reference or the base, "." and ".." segments are removed from the path, and the result is
// recomposed: scheme ":" ["//" authority] path ["?" query] ["#" fragment]; the fragment comes
// from the reference alone. A text before the first ":" that is no scheme name (a letter, then
// letters, digits, "+", "-", ".") leaves the reference relative. Nothing is escaped or
// unescaped. Fails (enNetBadRequest, strOut empty) only for a base without a scheme.
[[nodiscard]] bool OrvUrlResolveReference(const char* pszBase, const char* pszRef,
                                          COrvStringA& strOut, COrvError& err);
