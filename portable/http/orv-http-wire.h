// The HTTP/1.1 wire format: reading header blocks (responses and, for the library's servers,
// requests), writing requests with their framing, writing responses, the method names.
//
// Nothing here owns a connection: reading goes through a COrvHttpReader, writing through an
// IOrvByteSink (orv-http-io.h). Every failure returns false and fills a COrvError.
#pragma once

#include <cstdint>

#include "orv-error.h"
#include "orv-http-io.h"
#include "orv-http-request-context.h"
#include "orv-http-txn.h"
#include "orv-string.h"

// Limits of a header block.
constexpr int kOrvHttpMaxLine = 32768;
constexpr int kOrvHttpMaxHeaderLines = 100;

// The version the User-Agent and server headers carry.
constexpr int kOrvHttpVersion[4] = {11, 7, 9, 9};
// The process-wide client description shown in User-Agent and server headers ("Linux" unless the
// application sets it), and the application's product agent name (empty: none). Set them at
// start-up, before threads use the HTTP client.
extern COrvStringA g_orv_http_client_description;
extern COrvStringA g_orv_http_product_agent;

// A header block as read from the wire.
struct COrvHttpHeaderBlock {
    COrvStringA m_sFirstLine;  // the Status-Line or the Request-Line
    // Every header but "cookie" and "set-cookie"; a name seen twice holds the values joined by
    // ", ".
    COrvHttpHeaderMap m_headers;
    COrvArray<COrvStringA> m_setCookieLines;
    COrvArray<COrvStringA> m_cookieLines;
    int64_t m_n64BodyLen = kOrvHttpLenUnknown;  // from content-length, or -2 for chunked
    bool m_bClose = false;                      // "connection" or "proxy-connection" is "close"
};

// vHttpRecvHeader: reads one header block: the first line and the header lines up to the empty
// line. Lines end at LF; a CR must be followed by LF; a line may hold 32768 characters; the
// 100th header line fails ("More than 100 HTTP headers"). A header line without ":" is
// "Bad HTTP header line: '%s'"; the value starts after ":" and any spaces or tabs, and trailing
// spaces and tabs are cut. "content-length" must be decimal digits optionally followed by spaces
// or tabs ("Bad Content-Length HTTP header: " + value), once ("Duplicate Content-Length line in
// HTTP header", not checked when a transfer coding is given). Transfer codings win over any
// content-length: "chunked" (any case) as the last coding makes the length -2; codings of
// "identity" alone leave it -1 (the body ends with the connection); any other coding, or
// "chunked" before the last place, is "Unsupported Transfer-Encoding: " + the codings. All these
// are enNetServer.
// End of stream before the first byte: "Unexpected EOF when reading reply" and *pbEofAtStart set
// (a kept-alive connection the peer closed); later: "socket EOF while receiving HTTP header"; both
// enNetConnection. The block is cleared first; on failure it holds what was read.
[[nodiscard]] bool vHttpRecvHeader(COrvHttpReader& reader, COrvHttpHeaderBlock& block,
                                   COrvError& err, bool* pbEofAtStart = nullptr);

// Parses a Status-Line: "HTTP/1." and a digit, a space at offset 8, the decimal status from
// offset 9 and, when anything follows, a space and the reason phrase. Else
// "Bad HTTP header Status-Line: '%s'" (enNetServer); the outputs are then 0 and empty.
[[nodiscard]] bool OrvHttpParseStatusLine(const COrvStringA& sLine, int& nStatus,
                                          COrvStringA& sReason, COrvError& err);

// Reads a response header into the txn: status, reason, headers, cookie lines, body length,
// server and the close flag (the response fields are reset first). Failures as vHttpRecvHeader
// and OrvHttpParseStatusLine.
[[nodiscard]] bool OrvHttpRecvResponseHeader(COrvHttpReader& reader, COrvHttpTxn& txn,
                                             COrvError& err, bool* pbEofAtStart = nullptr);

// ---- requests ----

// The request context (COrvHttpRequestContext) is in orv-http-request-context.h.

// Builds the request header exactly as it goes on the wire: the Request-Line ("%s %s HTTP/1.1",
// through an HTTP proxy "%s http://%s:%d%s HTTP/1.1"), "Host" directly after it (the caller's
// Host value if given, else the host with ":port" unless the port is 80 for plain or 443 for
// https), then Authorization, Proxy-Authorization, Cookie, Date, Transfer-Encoding or
// Content-Length, Connection, Pragma, Cache-Control, User-Agent and the caller's headers, all in
// name order with the caller's headers, then the empty line. An empty path is "/". A length of -1
// gives chunked framing; another negative length fails ("bad send body length"), as does a body
// mode other than 0, 1, 2 ("bad type of body upload"), both enNetBadRequest. CR, LF or NUL in the
// method, path, host, a header name or value fails with enNetBadRequest and a text naming the
// place ("CR or LF in request header value of 'X-A'"), so that nothing is sent. Auth failures
// carry the texts and codes of orv-http-auth.h.
[[nodiscard]] bool OrvHttpBuildRequestHeader(const COrvHttpTxn& txn,
                                             const COrvHttpRequestContext& ctx,
                                             COrvStringA& sHeader, COrvError& err);

// Sends a request: builds the header, writes it in one write (m_n64BytesSent = its length) and,
// for body modes 0 and 1, the body (chunked when the length is -1, ending with the last chunk),
// then flushes. Body mode 2 returns after the header; the caller writes the body with
// OrvHttpWriteBody and ends it with OrvHttpFinishBody. Write failures keep the sink's text.
[[nodiscard]] bool OrvHttpSendRequest(IOrvByteSink& sink, COrvHttpTxn& txn,
                                      const COrvHttpRequestContext& ctx, COrvError& err);

// Writes body bytes of a streamed (mode 2) or buffered body: as they are for a known length, as
// one chunk ("%x\r\n", the bytes, "\r\n") when the txn's body length is -1. Adds to
// m_n64BytesSent. Zero bytes write nothing (a zero-size chunk would end the body).
[[nodiscard]] bool OrvHttpWriteBody(IOrvByteSink& sink, COrvHttpTxn& txn, const void* pData,
                                    int64_t nLen, COrvError& err);
// Ends a streamed body: for a chunked body writes the last chunk "0\r\n\r\n" ("Cannot write
// chunk: " + the sink's text), then flushes ("Cannot flush chunk: " + the sink's text).
[[nodiscard]] bool OrvHttpFinishBody(IOrvByteSink& sink, COrvHttpTxn& txn, COrvError& err);
// Writes a file's content as body bytes in 32768-byte blocks. Failures: "cannot open file to
// read: ", "cannot read file: " (each + path and system text), "cannot write file: " + the
// sink's text.
[[nodiscard]] bool OrvHttpWriteFileBody(IOrvByteSink& sink, COrvHttpTxn& txn, const char* pszPath,
                                        COrvError& err);

// ---- the server side ----

// Method names the server side recognises.
enum OrvHttpMethod : int {
    enHttpMethodOther = 0,
    enHttpMethodGet,
    enHttpMethodHead,
    enHttpMethodMove,
    enHttpMethodMkcol,
    enHttpMethodCopy,
    enHttpMethodOptions,
    enHttpMethodDelete,
};
// The method of a name, ignoring case ("get", "head", "move", "mkcol", "copy", "options",
// "delete"); enHttpMethodOther for any other name.
OrvHttpMethod OrvHttpMethodFromName(const char* pszName);

// A request as the server side reads it.
struct COrvHttpServerRequest {
    COrvStringA m_sMethod;  // as sent
    OrvHttpMethod m_eMethod = enHttpMethodOther;
    COrvStringA m_sTarget;   // trimmed request target
    COrvStringA m_sVersion;  // "HTTP/1.0" or "HTTP/1.1" as sent
    COrvHttpHeaderBlock m_block;
};

// Reads a request header: the block as vHttpRecvHeader; the Request-Line must end with
// " http/1.0" or " http/1.1" (any case; else "Bad HTTP header tail: '%s'"), the method is the
// text up to the first space ("Bad HTTP header middle: '%s'" when there is none), the target the
// trimmed text between. enNetServer.
[[nodiscard]] bool OrvHttpRecvRequestHeader(COrvHttpReader& reader, COrvHttpServerRequest& req,
                                            COrvError& err, bool* pbEofAtStart = nullptr);

// Writes a response header in one write: "HTTP/1.1 %03d %s\r\n", a "server" header unless
// headers has one (see OrvHttpServerHeaderValue), each header as "name: value\r\n", an empty
// line. CR, LF or NUL in the reason, a name or a value fails with enNetBadRequest before writing.
[[nodiscard]] bool OrvHttpWriteResponseHeader(IOrvByteSink& sink, int nStatus,
                                              const char* pszReason,
                                              const COrvHttpHeaderMap& headers, COrvError& err);
// The default server header: "OrvSocket/11.7.9.9 (description)"; with a product agent name
// "name (description)", or the name alone when the description is empty.
COrvStringA OrvHttpServerHeaderValue();
// The default User-Agent: "OrvSocket/11.7.9.9 (description)", or with a product agent name
// "name (description)".
COrvStringA OrvHttpUserAgentValue();
